// The driver in a real scheduler: a private cupsd with queues on file
// devices, made with lpadmin and printed to with lp, as a user would. What
// lands at the device is checked against the raster CUPS renders for the
// queue's PPD with the same options.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cups_harness.h"
#include "stream_decoder.h"

namespace {

using cupstest::PrivateCupsd;
using qtest::Bytes;

class Scheduler : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server_ = std::make_unique<PrivateCupsd>(qtest::tempDir() + "/cupsd");
        if (!server_->start(startError_))
            server_.reset();
    }

    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(server_) << "the private cupsd did not start: " << startError_;
    }

    static PrivateCupsd& server() { return *server_; }

    // addQueue: lpadmin a queue on its own file device with extra arguments
    // (-P ppd or -m model, -o defaults).
    static void addQueue(const std::string& name, std::vector<std::string> args)
    {
        std::vector<std::string> argv = {"lpadmin", "-p", name, "-E", "-v",
                                         "file://" + server().devicePath(name)};
        argv.insert(argv.end(), args.begin(), args.end());
        const qtest::RunResult r = server().tool(argv);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // print: lp the file to queue with options and wait for the job.
    static void print(const std::string& queue, const std::vector<std::string>& options,
                      const std::string& file, Bytes& stream)
    {
        std::string why;
        const int job = server().submit(queue, options, file, why);
        ASSERT_GT(job, 0) << why;
        ASSERT_TRUE(server().waitForJob(job, why)) << why;
        const std::string bytes = qtest::readFile(server().devicePath(queue));
        stream.assign(bytes.begin(), bytes.end());
        ASSERT_FALSE(stream.empty()) << "nothing reached the device";
    }

    // rendered: the raster CUPS makes for the queue's PPD and options.
    static void rendered(const std::string& queue, const std::vector<std::string>& options,
                         const std::string& file, std::vector<qtest::RasterPage>& raster)
    {
        const qtest::RunResult r = cupstest::cupsfilter().run(
            server().queuePpd(queue), "application/vnd.cups-raster", options, file);
        ASSERT_EQ(r.status, 0) << r.err;
        raster = cupstest::readRaster(r.out);
        ASSERT_FALSE(raster.empty());
    }

    static quorvel::StreamSettings settingsOf(const Bytes& stream)
    {
        quorvel::DecodedStream ds;
        quorvel::DecodeError err;
        EXPECT_TRUE(quorvel::decodeStream(stream.data(), stream.size(), ds, err))
            << "breaks at byte " << err.offset << ": expected " << err.expected;
        return ds.settings;
    }

private:
    static std::unique_ptr<PrivateCupsd> server_;
    static std::string startError_;
};

std::unique_ptr<PrivateCupsd> Scheduler::server_;
std::string Scheduler::startError_;

TEST_F(Scheduler, QueueFromOurPpdPrintsTestPageWithOptions)
{
    ASSERT_NO_FATAL_FAILURE(addQueue("Quorvel", {"-P", cupstest::sourcePpd()}));
    const std::vector<std::string> options = {"PrintDensity=3MediumLight",
                                              "PaperWeight=2MediumHeavy", "media=Letter"};
    Bytes stream;
    ASSERT_NO_FATAL_FAILURE(print("Quorvel", options, cupstest::testPage(), stream));
    std::vector<qtest::RasterPage> raster;
    ASSERT_NO_FATAL_FAILURE(rendered("Quorvel", options, cupstest::testPage(), raster));
    ASSERT_EQ(raster.size(), 1u);
    EXPECT_EQ(raster[0].header.PageSize[0], 612u);
    cupstest::expectPrintsRaster(stream, raster, 3, 2);
}

TEST_F(Scheduler, InstalledModelIsListedAndPrintsText)
{
    // The install tree is this server's DataDir, so lpinfo lists what
    // `cmake --install` put there.
    const qtest::RunResult models = server().tool({"lpinfo", "-m"});
    const std::string list(models.out.begin(), models.out.end());
    ASSERT_EQ(models.status, 0) << models.err;
    EXPECT_NE(list.find("quorvel/quorvel.ppd Quorvel Monochrome Printer, rastertoquorvel"),
              std::string::npos)
        << list;

    ASSERT_NO_FATAL_FAILURE(addQueue("Model", {"-m", "quorvel/quorvel.ppd"}));
    const std::vector<std::string> options = {"PrintDensity=1MediumDark", "PaperWeight=4Light"};
    Bytes stream;
    ASSERT_NO_FATAL_FAILURE(print("Model", options, cupstest::textFile(), stream));
    std::vector<qtest::RasterPage> raster;
    ASSERT_NO_FATAL_FAILURE(rendered("Model", options, cupstest::textFile(), raster));
    EXPECT_GE(raster.size(), 2u);
    cupstest::expectPrintsRaster(stream, raster, 1, 4);
}

TEST_F(Scheduler, QueueDefaultsSetWithLpadminReachThePrinter)
{
    ASSERT_NO_FATAL_FAILURE(addQueue("Defaults", {"-P", cupstest::sourcePpd(), "-o",
                                                  "PrintDensity=0Dark", "-o", "PaperWeight=1Heavy"}));

    // A job that names neither option gets the queue's defaults...
    Bytes plain;
    ASSERT_NO_FATAL_FAILURE(print("Defaults", {}, cupstest::testPage(), plain));
    std::vector<qtest::RasterPage> raster;
    ASSERT_NO_FATAL_FAILURE(rendered("Defaults", {}, cupstest::testPage(), raster));
    cupstest::expectPrintsRaster(plain, raster, 0, 1);

    // ...and one that names one of them overrides only that one.
    Bytes light;
    ASSERT_NO_FATAL_FAILURE(print("Defaults", {"PrintDensity=4Light"}, cupstest::testPage(), light));
    const quorvel::StreamSettings s = settingsOf(light);
    EXPECT_EQ(s.density, 4);
    EXPECT_EQ(s.weight, 1);
}

TEST_F(Scheduler, CopiesAndCancelOptionsThroughTheScheduler)
{
    ASSERT_NO_FATAL_FAILURE(addQueue("Options", {"-P", cupstest::sourcePpd()}));
    Bytes stream;
    ASSERT_NO_FATAL_FAILURE(
        print("Options", {"copies=2", "CmdCancel=CancelJobFinish"}, cupstest::testPage(), stream));
    quorvel::DecodedStream ds;
    quorvel::DecodeError err;
    ASSERT_TRUE(quorvel::decodeStream(stream.data(), stream.size(), ds, err))
        << "breaks at byte " << err.offset << ": expected " << err.expected;
    EXPECT_TRUE(ds.settings.present);
    EXPECT_EQ(ds.settings.copies, 2u);
    EXPECT_EQ(ds.pages.size(), 1u);
    EXPECT_FALSE(ds.endOfJob);
}

TEST_F(Scheduler, DuplexQueueDefaultReachesThePrinter)
{
    ASSERT_NO_FATAL_FAILURE(addQueue("TwoSided", {"-P", cupstest::sourcePpd(), "-o", "Duplex=DuplexNoTumble"}));
    Bytes stream;
    ASSERT_NO_FATAL_FAILURE(print("TwoSided", {}, cupstest::testPage(), stream));
    EXPECT_EQ(settingsOf(stream).duplex, 1);
    EXPECT_EQ(Bytes(stream.end() - 5, stream.end()), qtest::hex("1C 16 04 45 01"));
    // A job that asks for one side gets one side.
    ASSERT_NO_FATAL_FAILURE(print("TwoSided", {"sides=one-sided"}, cupstest::testPage(), stream));
    EXPECT_EQ(settingsOf(stream).duplex, 0);
}

}  // namespace
