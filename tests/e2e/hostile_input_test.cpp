// Input the filter must survive: pages it cannot hold, rasters of other
// kinds, cancellation, and a printer stream that goes away.
#include <gtest/gtest.h>

#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "e2e.h"
#include "stream_decoder.h"

using namespace e2e;
using qtest::RasterPage;

namespace {

RasterPage stripedPage(unsigned width, unsigned height)
{
    RasterPage page = qtest::whitePage(qtest::makeHeader(width, height, 300));
    for (unsigned r = 0; r < height; r += 3)
        for (std::size_t i = 0; i < page.rows[r].size(); i += 2)
            page.rows[r][i] = static_cast<unsigned char>(r * 7 + i);
    return page;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(HostileInput, PagesTooLargeAreRefusedAndTheJobGoesOn)
{
    RasterPage tall = qtest::whitePage(qtest::makeHeader(64, 10001, 300));
    tall.rows[5].assign(8, 0x00);
    RasterPage wide = qtest::whitePage(qtest::makeHeader(6384, 2, 300)); // 798 bytes a row
    wide.rows[0].assign(798, 0x00);
    RasterPage wideBytes = qtest::whitePage(qtest::makeHeader(64, 2, 300));
    wideBytes.header.cupsBytesPerLine = 800; // the row holds more than the width says
    for (Bytes& row : wideBytes.rows)
        row.assign(800, 0x00);
    const RasterPage good = stripedPage(200, 40);
    const std::string raster = rasterPath("refused");
    qtest::writeRaster(raster, {tall, good, wide, wideBytes, good});

    // The first page printed sets up the job, and only printable pages are sent.
    Bytes expected = settingsFor(good.header);
    append(expected, pageBytes(good));
    append(expected, pageBytes(good));
    append(expected, kEndJob);
    const qtest::RunResult r = runFilter(raster);
    EXPECT_TRUE(sameStream(r.out, expected));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "ERROR: Page 1 is 64 x 10001 pixels with 8 bytes per line; this printer "
                                "takes at most 10000 lines of 797 bytes\n"));
    EXPECT_TRUE(contains(r.err, "ERROR: Page 3 is 6384 x 2 pixels with 798 bytes per line;"));
    EXPECT_TRUE(contains(r.err, "ERROR: Page 4 is 64 x 2 pixels with 800 bytes per line;"));
    EXPECT_TRUE(contains(r.err, kEndLine));
}

TEST(HostileInput, HugePageWithoutDataEndsTheJobCleanly)
{
    for (bool afterGoodPage : {false, true}) {
        RasterPage huge{qtest::makeHeader(800000, 2, 300), {}};
        huge.header.cupsHeight = 4000000000u;
        const RasterPage good = stripedPage(64, 10);
        std::vector<RasterPage> pages;
        if (afterGoodPage)
            pages.push_back(good);
        pages.push_back(huge);
        const std::string raster = rasterPath("huge");
        qtest::writeRaster(raster, pages);

        Bytes expected;
        if (afterGoodPage) {
            expected = settingsFor(good.header);
            append(expected, pageBytes(good));
        }
        append(expected, kEndJob);
        const qtest::RunResult r = runFilter(raster);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(sameStream(r.out, expected));
        EXPECT_TRUE(contains(r.err, "ERROR: Page " + std::string(afterGoodPage ? "2" : "1") +
                                        " is 800000 x 4000000000 pixels with 100000 bytes per line;"));
    }
}

TEST(HostileInput, OtherRasterKinds)
{
    const RasterPage good = stripedPage(64, 6);

    RasterPage grey = qtest::whitePage(qtest::makeHeader(64, 6, 300));
    grey.header.cupsBitsPerColor = grey.header.cupsBitsPerPixel = 8;
    grey.header.cupsBytesPerLine = 64;
    grey.header.cupsColorSpace = CUPS_CSPACE_SW;
    for (Bytes& row : grey.rows)
        row.assign(64, 0x80);
    RasterPage rgb = good;
    rgb.header.cupsColorSpace = CUPS_CSPACE_RGB;
    // A number no colour space has: stored as the stream would hold it.
    RasterPage unknown = good;
    const std::uint32_t noSuchSpace = 4000;
    std::memcpy(&unknown.header.cupsColorSpace, &noSuchSpace, sizeof noSuchSpace);
    const std::string raster = rasterPath("kinds");
    qtest::writeRaster(raster, {grey, rgb, unknown, good});
    Bytes expected = settingsFor(good.header);
    append(expected, pageBytes(good));
    append(expected, kEndJob);
    const qtest::RunResult r = runFilter(raster);
    EXPECT_TRUE(sameStream(r.out, expected));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "ERROR: Page 1 has 8 bits per pixel; this printer takes 1 bit per pixel\n"));
    EXPECT_TRUE(contains(r.err, "ERROR: Page 2 has colour space 1;"));
    EXPECT_TRUE(contains(r.err, "ERROR: Page 3 has colour space 4000;"));

    // Black-is-set prints exactly like the white-is-set page it mirrors;
    // sGray is taken as it is.
    RasterPage black = good;
    black.header.cupsColorSpace = CUPS_CSPACE_K;
    for (Bytes& row : black.rows)
        for (unsigned char& b : row)
            b = static_cast<unsigned char>(~b);
    RasterPage sgray = good;
    sgray.header.cupsColorSpace = CUPS_CSPACE_SW;
    qtest::writeRaster(raster, {black, sgray});
    Bytes mirrored = settingsFor(good.header);
    append(mirrored, pageBytes(good));
    append(mirrored, pageBytes(good));
    append(mirrored, kEndJob);
    const qtest::RunResult k = runFilter(raster);
    EXPECT_EQ(k.status, 0);
    EXPECT_TRUE(sameStream(k.out, mirrored));
}

TEST(HostileInput, RowsShorterThanTheWidthAreWhitePastTheirEnd)
{
    // The header says 64 pixels but only 4 bytes a row: the rest of each
    // sent line is white, whatever an earlier page left in the store.
    const RasterPage black = [] {
        RasterPage p = qtest::whitePage(qtest::makeHeader(64, 2, 300));
        for (Bytes& row : p.rows)
            row.assign(8, 0x00);
        return p;
    }();
    RasterPage shortRows = qtest::whitePage(qtest::makeHeader(64, 2, 300));
    shortRows.header.cupsBytesPerLine = 4;
    for (Bytes& row : shortRows.rows)
        row.assign(4, 0x00);
    const std::string raster = rasterPath("shortrows");
    qtest::writeRaster(raster, {black, shortRows});
    Bytes expected = settingsFor(black.header);
    append(expected, pageBytes(black));
    append(expected, kBeginPage);
    for (int r = 0; r < 2; ++r)
        append(expected, lineCommand(hex("00 00 00 00 FF FF FF FF"), 64));
    append(expected, kEndPage);
    append(expected, kEndJob);
    const qtest::RunResult r = runFilter(raster);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(sameStream(r.out, expected));
}

// Filter: the filter reading a pipe that the test feeds, so the test
// decides what it has been given when a signal arrives.
struct PipedFilter {
    pid_t pid = 0;
    int in = -1, out = -1, watch = -1;

    explicit PipedFilter(const std::string& outPath)
    {
        int p[2];
        EXPECT_EQ(pipe(p), 0);
        watch = dup(p[0]);
        in = p[1];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, p[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addclose(&actions, p[1]);
        posix_spawn_file_actions_addclose(&actions, watch);
        const std::string ppd = "PPD=" + ppdPath();
        const std::string filter = qtest::filterPath();
        char* argv[] = {const_cast<char*>(filter.c_str()), const_cast<char*>("1"), const_cast<char*>("u"),
                        const_cast<char*>("t"), const_cast<char*>("1"), const_cast<char*>(""), nullptr};
        char* envp[] = {const_cast<char*>(ppd.c_str()), nullptr};
        EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(p[0]);
    }
    void feed(const std::string& data) const
    {
        EXPECT_EQ(write(in, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }
    // waitUntilDrained: the filter has taken everything and waits for more.
    void waitUntilDrained() const
    {
        for (int i = 0; i < 5000; ++i) {
            int pending = 0;
            ioctl(watch, FIONREAD, &pending);
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string pidField, name, state;
            stat >> pidField >> name >> state;
            if (pending == 0 && state == "S")
                return;
            usleep(2000);
        }
        ADD_FAILURE() << "the filter never waited for input";
    }
    int finish()
    {
        close(in);
        close(watch);
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST(HostileInput, CancelledJobEndsItsPageAndTheJob)
{
    const RasterPage first = stripedPage(64, 30);
    RasterPage second = qtest::whitePage(qtest::makeHeader(64, 30, 300));
    for (unsigned r = 0; r < 30; ++r)
        second.rows[r].assign(8, r < 5 ? 0x11 : 0xFF);
    // Distinct rows, so the compressing writer sends each row as it comes.
    for (unsigned r = 0; r < 5; ++r)
        second.rows[r][0] = static_cast<unsigned char>(r);
    RasterPage third = qtest::whitePage(qtest::makeHeader(64, 30, 300));
    for (Bytes& row : third.rows)
        row.assign(8, 0x00);

    // The raster in three parts: up to the fifth row of page 2, the rest
    // of page 2, page 3.
    const std::string all = rasterPath("cancel-all");
    const std::string upToCut = rasterPath("cancel-part");
    RasterPage secondPart = second;
    secondPart.rows.resize(5);
    qtest::writeRaster(all, {first, second, third}, CUPS_RASTER_WRITE);
    qtest::writeRaster(upToCut, {first, secondPart}, CUPS_RASTER_WRITE);
    const std::string whole = qtest::readFile(all);
    const std::string part = qtest::readFile(upToCut);
    ASSERT_EQ(whole.compare(0, part.size(), part), 0);

    const std::string outPath = qtest::tempDir() + "/cancel.prn";
    PipedFilter filter(outPath);
    filter.feed(part);
    filter.waitUntilDrained();
    kill(filter.pid, SIGTERM);
    filter.feed(whole.substr(part.size()));
    EXPECT_EQ(filter.finish(), 0);

    // Page 2 ends with the rows read before the cancel, the rest white;
    // page 3 is never started and the job is closed properly.
    Bytes expected = settingsFor(first.header);
    append(expected, pageBytes(first));
    append(expected, pageBytes(second));
    append(expected, kEndJob);
    const std::string got = qtest::readFile(outPath);
    EXPECT_TRUE(sameStream(Bytes(got.begin(), got.end()), expected));
}

TEST(HostileInput, PrinterGoneStopsTheJobWithAnError)
{
    std::vector<RasterPage> pages(20, stripedPage(2000, 300));
    const std::string raster = rasterPath("gone");
    qtest::writeRaster(raster, pages);

    int out[2], err[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    close(out[0]); // nobody will ever read the printer stream
    const pid_t pid = spawnFilter(raster, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    const std::string text = readAll(err[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_TRUE(contains(text, "ERROR: Unable to write to the printer stream: Broken pipe\n"));
    // Said once, and the filter did not go on working through the job.
    EXPECT_EQ(text.find("ERROR:"), text.rfind("ERROR:"));
    EXPECT_TRUE(contains(text, kEndLine));
}

}  // namespace

namespace {

// A printer that reads its stream slowly keeps the filter blocked in its
// writes; a cancel then arrives in the middle of one. The job must still
// end as a cancel ends it: the page finished, the end-of-job command sent,
// no write error, status 0.
TEST(HostileInput, CancelWhileThePrinterIsSlow)
{
    RasterPage busy = qtest::whitePage(qtest::makeHeader(2400, 1200, 300));
    for (unsigned r = 0; r < busy.rows.size(); ++r)
        for (std::size_t i = 0; i < busy.rows[r].size(); ++i)
            busy.rows[r][i] = static_cast<unsigned char>(r * 31 + i * 7);
    const std::string raster = rasterPath("slow");
    qtest::writeRaster(raster, std::vector<RasterPage>(8, busy), CUPS_RASTER_WRITE);

    const struct {
        std::size_t chunk;
        unsigned periodUs, cancelAfterUs;
    } trials[] = {{512, 500, 50000}, {4096, 2000, 300000}, {65536, 10000, 150000}, {512, 500, 400000}};
    for (const auto& t : trials) {
        int out[2], err[2];
        ASSERT_EQ(pipe(out), 0);
        ASSERT_EQ(pipe(err), 0);
        const pid_t pid = spawnFilter(raster, out[1], err[1]);
        close(out[1]);
        close(err[1]);
        std::string stream;
        std::atomic<bool> started{false}, ended{false};
        std::thread reader([&] {
            std::vector<char> buf(t.chunk);
            for (ssize_t n; (n = read(out[0], buf.data(), buf.size())) > 0; usleep(t.periodUs)) {
                stream.append(buf.data(), static_cast<std::size_t>(n));
                started = true;
            }
            ended = true;
        });
        // From the first bytes on, the filter is printing; the cancel comes
        // some time into the job.
        while (!started && !ended)
            usleep(1000);
        usleep(t.cancelAfterUs);
        kill(pid, SIGTERM);
        const std::string log = readAll(err[0]);
        reader.join();
        close(out[0]);
        close(err[0]);
        int status = 0;
        waitpid(pid, &status, 0);

        const std::string name = std::to_string(t.chunk) + " bytes every " + std::to_string(t.periodUs) + " us";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name;
        EXPECT_FALSE(contains(log, "Unable to write")) << name << ": " << log;
        quorvel::DecodedStream decoded;
        quorvel::DecodeError why;
        const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
        EXPECT_TRUE(quorvel::scanStream(bytes, stream.size(), decoded, why))
            << name << ": offset " << why.offset << ", expected " << why.expected;
        EXPECT_TRUE(decoded.endOfJob) << name;
        EXPECT_LT(decoded.pages.size(), 8u) << name << ": the cancel came after the last page";
        for (const quorvel::DecodedPage& page : decoded.pages)
            EXPECT_EQ(page.dataLines + page.blankLines, 1200u) << name;
    }
}

}  // namespace
