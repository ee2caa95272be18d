// Real documents through CUPS's real filter chain with our PPD (cupsfilter):
// the printer stream carries the chosen settings, and every page is the
// raster CUPS rendered for it, pixel for pixel.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cups_harness.h"
#include "stream_decoder.h"

namespace {

using cupstest::cupsfilter;
using qtest::Bytes;

struct Printed {
    std::vector<qtest::RasterPage> raster;  // what CUPS rendered for the printer
    Bytes stream;                           // what the printer gets
};

// render: the document through cupsfilter twice with the same PPD and
// options, once up to the raster CUPS renders for the printer, once all the
// way through our filter.
void render(const std::string& ppd, const std::vector<std::string>& options,
            const std::string& file, Printed& out, int copies = 1)
{
    const qtest::RunResult raster =
        cupsfilter().run(ppd, "application/vnd.cups-raster", options, file, copies);
    ASSERT_EQ(raster.status, 0) << raster.err;
    out.raster = cupstest::readRaster(raster.out);
    ASSERT_FALSE(out.raster.empty()) << raster.err;

    const qtest::RunResult job = cupsfilter().run(ppd, "printer/quorvel", options, file, copies);
    ASSERT_EQ(job.status, 0) << job.err;
    // The chain really ended in our filter.
    ASSERT_NE(job.err.find("-------main---------JobFinish end"), std::string::npos) << job.err;
    out.stream = job.out;
}

// inkedRows: rows of the page that carry black, so a comparison of blank
// pages cannot pass for one of real output.
unsigned inkedRows(const Bytes& stream, std::size_t page)
{
    quorvel::DecodedStream ds;
    quorvel::DecodeError err;
    if (!quorvel::decodeStream(stream.data(), stream.size(), ds, err) || page >= ds.pages.size())
        return 0;
    return ds.pages[page].dataLines;
}

TEST(Cupsfilter, TestPagePrintsAsRenderedWithChosenSettings)
{
    Printed p;
    ASSERT_NO_FATAL_FAILURE(render(cupstest::sourcePpd(), {"PrintDensity=0Dark", "PaperWeight=1Heavy"},
                                   cupstest::testPage(), p));
    ASSERT_EQ(p.raster.size(), 1u);
    // A4, the default size, at 600 dpi.
    EXPECT_EQ(p.raster[0].header.PageSize[0], 595u);
    EXPECT_EQ(p.raster[0].header.PageSize[1], 842u);
    cupstest::expectPrintsRaster(p.stream, p.raster, 0, 1);
    EXPECT_GT(inkedRows(p.stream, 0), 1000u);
}

TEST(Cupsfilter, TextFilePrintsAsRenderedOnLetter)
{
    Printed p;
    ASSERT_NO_FATAL_FAILURE(render(cupstest::sourcePpd(),
                                   {"PageSize=Letter", "PrintDensity=4Light", "PaperWeight=2MediumHeavy"},
                                   cupstest::textFile(), p));
    ASSERT_GE(p.raster.size(), 2u) << "150 lines of text fill more than one page";
    EXPECT_EQ(p.raster[0].header.PageSize[0], 612u);
    EXPECT_EQ(p.raster[0].header.PageSize[1], 792u);
    cupstest::expectPrintsRaster(p.stream, p.raster, 4, 2);
    for (std::size_t page = 0; page < p.raster.size(); ++page)
        EXPECT_GT(inkedRows(p.stream, page), 100u) << "page " << page + 1;
}

TEST(Cupsfilter, NoOptionsGiveThePpdDefaults)
{
    Printed p;
    ASSERT_NO_FATAL_FAILURE(render(cupstest::sourcePpd(), {}, cupstest::testPage(), p));
    cupstest::expectPrintsRaster(p.stream, p.raster, 2, 3);
}

TEST(Cupsfilter, EveryPageSizeAndTheLargestCustomSize)
{
    struct Case {
        const char* size;
        unsigned width, length;  // points
    };
    const Case cases[] = {
        {"A4", 595, 842},         {"Letter", 612, 792},      {"Legal", 612, 1008},
        {"A5", 420, 595},         {"B5", 516, 729},          {"Executive", 522, 756},
        {"Custom.765x1200", 765, 1200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Printed p;
        ASSERT_NO_FATAL_FAILURE(render(cupstest::sourcePpd(),
                                       {std::string("PageSize=") + c.size, "PrintDensity=3MediumLight"},
                                       cupstest::testPage(), p));
        ASSERT_EQ(p.raster.size(), 1u);
        EXPECT_EQ(p.raster[0].header.PageSize[0], c.width);
        EXPECT_EQ(p.raster[0].header.PageSize[1], c.length);
        cupstest::expectPrintsRaster(p.stream, p.raster, 3, 3);
    }
}

TEST(Cupsfilter, CopiesAreMadeByThePrinter)
{
    Printed p;
    ASSERT_NO_FATAL_FAILURE(render(cupstest::sourcePpd(), {}, cupstest::testPage(), p, 3));
    // One page, sent once, with the printer's copy count set to 3.
    ASSERT_EQ(p.raster.size(), 1u);
    EXPECT_EQ(p.raster[0].header.NumCopies, 3u);
    cupstest::expectPrintsRaster(p.stream, p.raster, 2, 3);
}

TEST(Cupsfilter, CmdCancelLeavesOutItsCommands)
{
    struct Case {
        const char* choice;
        bool settings, endOfJob;
    };
    for (const Case& c : {Case{"None", true, true}, Case{"CancelAttr", false, true},
                          Case{"CancelJobFinish", true, false}}) {
        SCOPED_TRACE(c.choice);
        const qtest::RunResult job =
            cupsfilter().run(cupstest::sourcePpd(), "printer/quorvel",
                             {std::string("CmdCancel=") + c.choice}, cupstest::testPage());
        ASSERT_EQ(job.status, 0) << job.err;
        quorvel::DecodedStream ds;
        quorvel::DecodeError err;
        ASSERT_TRUE(quorvel::decodeStream(job.out.data(), job.out.size(), ds, err))
            << "breaks at byte " << err.offset << ": expected " << err.expected;
        EXPECT_EQ(ds.settings.present, c.settings);
        EXPECT_EQ(ds.endOfJob, c.endOfJob);
        EXPECT_EQ(ds.pages.size(), 1u);
    }
}

// Two-sided printing asked for with sides, as cupsfilter and many clients
// pass it: the settings block and the job's end say so, and the stream holds
// every page.
TEST(Cupsfilter, SidesReachTheStream)
{
    for (const auto& c : {std::make_pair("two-sided-long-edge", 1), std::make_pair("two-sided-short-edge", 2)}) {
        SCOPED_TRACE(c.first);
        const qtest::RunResult job = cupsfilter().run(cupstest::sourcePpd(), "printer/quorvel",
                                                      {std::string("sides=") + c.first}, cupstest::testPage());
        ASSERT_EQ(job.status, 0) << job.err;
        quorvel::DecodedStream ds;
        quorvel::DecodeError err;
        ASSERT_TRUE(quorvel::decodeStream(job.out.data(), job.out.size(), ds, err))
            << "breaks at byte " << err.offset << ": expected " << err.expected;
        EXPECT_EQ(ds.settings.duplex, c.second);
        EXPECT_EQ(Bytes(job.out.end() - 5, job.out.end()), qtest::hex("1C 16 04 45 01"));
        EXPECT_GT(inkedRows(job.out, 0), 1000u);
    }
}

}  // namespace
