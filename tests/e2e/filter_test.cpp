// The filter as the scheduler runs it, on rasters written by libcups: whole
// printer streams, standard error and exit status, for sound jobs and for
// input it must survive: pages it cannot hold, other raster kinds, streams
// cut short, cancellation and a printer that goes away or is slow.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "e2e.h"
#include "stream_decoder.h"

using namespace e2e;
using proto::cat;
using qtest::RasterPage;

namespace {

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

RasterPage page(unsigned width, unsigned height, unsigned dpi = 300)
{
    return qtest::whitePage(qtest::makeHeader(width, height, dpi));
}

// Every third row striped with changing bytes.
RasterPage stripedPage(unsigned width, unsigned height)
{
    RasterPage p = page(width, height);
    for (unsigned r = 0; r < height; r += 3)
        for (std::size_t i = 0; i < p.rows[r].size(); i += 2)
            p.rows[r][i] = static_cast<unsigned char>(r * 7 + i);
    return p;
}

// job: the settings block of the first page, the pages, the end of job.
Bytes job(const std::vector<RasterPage>& pages)
{
    Bytes out = settingsFor(pages[0].header);
    for (const RasterPage& p : pages)
        append(out, pageBytes(p));
    append(out, kEndJob);
    return out;
}

const std::string kLevels23 = "-------getPrintJobAttrFromArgs---------g_printJobAttr.m_printDensity = 2 \n"
                              "-------getPrintJobAttrFromArgs---------g_printJobAttr.m_paperWeight = 3 \n";

// The job of the filter's documentation: a 4 x 6 inch label at 203 dpi
// whose rows 100 to 120 hold black, from a file and from standard input.
TEST(Filter, LabelJobFromFileAndFromStandardInput)
{
    RasterPage label = qtest::whitePage(qtest::makeHeader(812, 1218, 203, 288, 432));
    for (unsigned r = 100; r <= 120; ++r)
        for (unsigned i = 10; i < 90; ++i)
            label.rows[r][i] = static_cast<unsigned char>(i % 7 == 0 ? 0x00 : 0x0F);
    const std::string raster = rasterPath("label");
    qtest::writeRaster(raster, {label});

    Bytes expected = cat({settings(812, 1218), kBeginPage});
    for (int i = 0; i < 100; ++i)
        append(expected, kBlank);
    for (unsigned r = 100; r <= 120; ++r)
        append(expected, lineCommand(label.rows[r], 812));
    for (int i = 0; i < 1097; ++i)
        append(expected, kBlank);
    append(expected, cat({kEndPage, kEndJob}));
    for (bool viaStdin : {false, true}) {
        const qtest::RunResult r = runFilter(raster, "", viaStdin);
        EXPECT_EQ(r.status, 0) << viaStdin;
        EXPECT_TRUE(sameStream(r.out, expected)) << viaStdin;
        EXPECT_EQ(r.err, kStartLine +
                             "-------getPrintJobAttrFromPPD---------header->PageSize[0] = 288 \n"
                             "-------getPrintJobAttrFromPPD---------header->PageSize[1] = 432 \n"
                             "-------getPrintJobAttrFromPPD---------header->HWResolution[0] = 203 \n"
                             "-------getPrintJobAttrFromPPD---------header->HWResolution[1] = 203 \n" +
                             kLevels23 + kEndLine)
            << viaStdin;
    }
}

TEST(Filter, Jobs)
{
    RasterPage truncated = page(64, 100, 600);
    truncated.rows.assign(10, Bytes(8, 0x00));
    RasterPage first = page(128, 20), second = page(400, 30, 600);
    first.rows[3].assign(16, 0x55);
    second.header.NumCopies = 4;      // only the first page's count counts
    second.rows[29].assign(50, 0x00); // wider than the first page
    RasterPage copies = stripedPage(16, 2);
    copies.header.NumCopies = 3;
    RasterPage narrow = page(12, 3);  // one whole byte is sent, the partial one is not
    narrow.rows = {hex("F0 FF"), hex("FF 00"), hex("00 0F")};
    std::vector<RasterPage> noisy;
    unsigned seed = 7;
    for (int p = 0; p < 3; ++p) {
        noisy.push_back(page(6376, 300, 600));
        for (Bytes& row : noisy.back().rows) {
            seed = seed * 1103515245u + 12345u;
            for (unsigned i = 0; i < 797 && seed % 3 != 0; ++i) {
                seed = seed * 1103515245u + 12345u;
                row[i] = (seed >> 16) % 4 == 0 ? static_cast<unsigned char>(seed >> 8) : 0xFF;
            }
        }
    }
    // A page of black-is-set rows prints as the white-is-set page it mirrors;
    // sGray is taken as it is.
    const RasterPage good = stripedPage(64, 6);
    RasterPage black = good, sgray = good;
    black.header.cupsColorSpace = CUPS_CSPACE_K;
    for (Bytes& row : black.rows)
        for (unsigned char& b : row)
            b = static_cast<unsigned char>(~b);
    sgray.header.cupsColorSpace = CUPS_CSPACE_SW;
    // Rows shorter than the width: the rest of each line is white, whatever
    // the page before left behind.
    RasterPage blackRows = page(64, 2), shortRows = page(64, 2);
    blackRows.rows.assign(2, Bytes(8, 0x00));
    shortRows.header.cupsBytesPerLine = 4;
    shortRows.rows.assign(2, Bytes(4, 0x00));
    RasterPage shortSeen = page(64, 2);
    shortSeen.rows.assign(2, hex("00 00 00 00 FF FF FF FF"));

    const struct {
        const char* name;
        std::vector<RasterPage> pages;
        cups_mode_t mode;
        const char* options;
        Bytes expected;
    } cases[] = {
        {"uncompressed", {good}, CUPS_RASTER_WRITE, "", job({good})},
        {"truncated page: the rest is white", {truncated}, CUPS_RASTER_WRITE, "", job({truncated})},
        {"the first page sets up the job", {first, second}, CUPS_RASTER_WRITE_COMPRESSED, "", job({first, second})},
        {"the header's copies, not argv's", {copies}, CUPS_RASTER_WRITE_COMPRESSED, "",
         cat({settingsFor(copies.header, 3), pageBytes(copies), kEndJob})},
        {"narrow rows", {narrow}, CUPS_RASTER_WRITE_COMPRESSED, "",
         cat({settingsFor(narrow.header), kBeginPage, hex("1B 2A 41 02 04 00 FE 00 00 0F"), kBlank,
              hex("1B 2A 41 02 04 00 FE 00 00 FF"), kEndPage, kEndJob})},
        {"an unknown density is the darkest", {good}, CUPS_RASTER_WRITE_COMPRESSED, "PrintDensity=7",
         cat({settingsFor(good.header, 1, 0), pageBytes(good), kEndJob})},
        {"both frame switches", {good}, CUPS_RASTER_WRITE_COMPRESSED,
         "CmdCancel=CancelAttr CmdCancel=CancelJobFinish", pageBytes(good)},
        {"long job, many write-outs", noisy, CUPS_RASTER_WRITE_COMPRESSED, "", job(noisy)},
        {"black-is-set and sGray", {black, sgray}, CUPS_RASTER_WRITE_COMPRESSED, "", job({good, good})},
        {"short rows", {blackRows, shortRows}, CUPS_RASTER_WRITE_COMPRESSED, "", job({blackRows, shortSeen})},
    };
    for (const auto& c : cases) {
        const std::string raster = rasterPath("jobs");
        qtest::writeRaster(raster, c.pages, c.mode);
        const qtest::RunResult r = runFilter(raster, c.options);
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_TRUE(sameStream(r.out, c.expected)) << c.name;
    }
}

TEST(Filter, CommandLineFailures)
{
    const std::string f = qtest::filterPath();
    const std::string notPpd = qtest::tempDir() + "/not.ppd";
    qtest::writeFile(notPpd, "hello\n");
    const std::string raster = rasterPath("ppdless");
    qtest::writeRaster(raster, {stripedPage(16, 2)});
    const struct {
        std::vector<std::string> argv;
        std::string ppd;
    } cases[] = {
        {{f, "1", "u", "t", "1"}, ppdPath()},
        {{f, "1", "u", "t", "1", "", "x", "y"}, ppdPath()},
        {{f, "1", "u", "t", "1", "", qtest::tempDir() + "/nope"}, ppdPath()}, // after a pause
        {{f, "1", "u", "t", "1", "", raster}, ""},
        {{f, "1", "u", "t", "1", "", raster}, qtest::tempDir() + "/none.ppd"},
        {{f, "1", "u", "t", "1", "", raster}, notPpd},
    };
    for (const auto& c : cases) {
        std::map<std::string, std::string> env;
        if (!c.ppd.empty())
            env["PPD"] = c.ppd;
        const qtest::RunResult r = qtest::run(c.argv, env);
        EXPECT_EQ(r.status, 1) << c.argv.size() << " " << c.ppd;
        EXPECT_TRUE(r.out.empty()) << c.argv.size() << " " << c.ppd;
        EXPECT_EQ(r.err, kStartLine) << c.argv.size() << " " << c.ppd;
    }
}

TEST(Filter, EmptyStreamSendsOnlyTheEndOfJob)
{
    const std::string empty = qtest::tempDir() + "/empty.ras";
    qtest::writeFile(empty, "");
    for (bool viaStdin : {false, true}) {
        const qtest::RunResult r = runFilter(empty, "", viaStdin);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kEndJob);
        EXPECT_EQ(r.err, kStartLine + kEndLine);
    }
    // The options are never read without a page, so CancelJobFinish cannot apply.
    EXPECT_EQ(runFilter(empty, "CmdCancel=CancelJobFinish").out, kEndJob);
}

// A stream that ends inside a row: the rows before it and the bytes of that
// row which arrived are printed, the rest of the page is white. Black-is-set
// pages are inverted only where bytes arrived.
TEST(Filter, StreamEndingInsideARowKeepsWhatArrived)
{
    for (bool black : {false, true}) {
        RasterPage cut = page(64, 40, 600);
        if (black)
            cut.header.cupsColorSpace = CUPS_CSPACE_K;
        cut.rows.resize(12);
        for (std::size_t r = 0; r < cut.rows.size(); ++r)
            cut.rows[r].assign(8, static_cast<unsigned char>(0x11 * (r + 1)));
        const std::string raster = rasterPath(black ? "midrow-k" : "midrow-w");
        qtest::writeRaster(raster, {cut}, CUPS_RASTER_WRITE);
        const long size = static_cast<long>(qtest::readFile(raster).size());
        ASSERT_EQ(truncate(raster.c_str(), size - 12 * 8 + 11 * 8 + 3), 0);

        RasterPage seen = page(64, 40, 600);
        for (std::size_t r = 0; r < 12; ++r)
            for (std::size_t i = 0; i < (r < 11 ? 8u : 3u); ++i)
                seen.rows[r][i] = black ? static_cast<unsigned char>(~cut.rows[r][i]) : cut.rows[r][i];
        const qtest::RunResult r = runFilter(raster);
        EXPECT_EQ(r.status, 0) << black;
        EXPECT_TRUE(sameStream(r.out, cat({settingsFor(cut.header), pageBytes(seen), kEndJob}))) << black;
    }
}

// Pages the printer cannot take are refused with an ERROR line and left
// out; the job goes on with the next page and fails.
TEST(Filter, PagesItCannotTakeAreLeftOut)
{
    RasterPage tall = page(64, 10001), wide = page(6384, 2), wideBytes = page(64, 2), grey = page(64, 6);
    tall.rows[5].assign(8, 0x00);
    wide.rows[0].assign(798, 0x00);
    wideBytes.header.cupsBytesPerLine = 800;
    wideBytes.rows.assign(2, Bytes(800, 0x00));
    grey.header.cupsBitsPerColor = grey.header.cupsBitsPerPixel = 8;
    grey.header.cupsBytesPerLine = 64;
    grey.rows.assign(6, Bytes(64, 0x80));
    const RasterPage good = stripedPage(200, 40);
    RasterPage rgb = good, unknown = good;
    rgb.header.cupsColorSpace = CUPS_CSPACE_RGB;
    const std::uint32_t noSuchSpace = 4000; // stored as a stream may hold it
    std::memcpy(&unknown.header.cupsColorSpace, &noSuchSpace, sizeof noSuchSpace);
    RasterPage huge{qtest::makeHeader(800000, 2, 300), {}}; // no data follows its header
    huge.header.cupsHeight = 4000000000u;

    const std::string raster = rasterPath("refused");
    qtest::writeRaster(raster, {tall, good, wide, wideBytes, grey, rgb, unknown, good, huge});
    const qtest::RunResult r = runFilter(raster);
    EXPECT_TRUE(sameStream(r.out, job({good, good})));
    EXPECT_EQ(r.status, 1);
    for (const char* line :
         {"ERROR: Page 1 is 64 x 10001 pixels with 8 bytes per line; this printer takes at most 10000 lines of "
          "797 bytes\n",
          "ERROR: Page 3 is 6384 x 2 pixels with 798 bytes per line;", "ERROR: Page 4 is 64 x 2 pixels with 800 bytes",
          "ERROR: Page 5 has 8 bits per pixel; this printer takes 1 bit per pixel\n",
          "ERROR: Page 6 has colour space 1; this printer takes white (0, 18) or black (3) only\n",
          "ERROR: Page 7 has colour space 4000;", "ERROR: Page 9 is 800000 x 4000000000 pixels with 100000 bytes"})
        EXPECT_TRUE(contains(r.err, line)) << line;
    EXPECT_TRUE(contains(r.err, kEndLine));

    // A refused page first: the job ends cleanly without a settings block.
    qtest::writeRaster(raster, {huge});
    const qtest::RunResult alone = runFilter(raster);
    EXPECT_EQ(alone.signal, 0);
    EXPECT_EQ(alone.out, kEndJob);
}

// PipedFilter: the filter reading a pipe that the test feeds, so the test
// decides what it has been given when a signal arrives.
struct PipedFilter {
    pid_t pid = 0;
    int in = -1, watch = -1;

    explicit PipedFilter(const std::string& outPath)
    {
        int p[2];
        EXPECT_EQ(pipe(p), 0);
        watch = dup(p[0]);
        in = p[1];
        fcntl(in, F_SETFD, FD_CLOEXEC);
        fcntl(watch, F_SETFD, FD_CLOEXEC);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = open("/dev/null", O_WRONLY | O_CLOEXEC);
        pid = spawnFilter("", out, err, p[0]);
        close(p[0]);
        close(out);
        close(err);
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

TEST(Filter, CancelledJobEndsItsPageAndTheJob)
{
    const RasterPage first = stripedPage(64, 30);
    RasterPage second = page(64, 30), third = page(64, 30);
    for (unsigned r = 0; r < 5; ++r) // distinct rows: the writer sends each as it comes
        second.rows[r] = {static_cast<unsigned char>(r), 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
    third.rows.assign(30, Bytes(8, 0x00));

    // The raster up to the fifth row of page 2, then the rest.
    RasterPage secondPart = second;
    secondPart.rows.resize(5);
    qtest::writeRaster(rasterPath("cancel-all"), {first, second, third}, CUPS_RASTER_WRITE);
    qtest::writeRaster(rasterPath("cancel-part"), {first, secondPart}, CUPS_RASTER_WRITE);
    const std::string whole = qtest::readFile(rasterPath("cancel-all"));
    const std::string part = qtest::readFile(rasterPath("cancel-part"));
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
    const std::string got = qtest::readFile(outPath);
    EXPECT_TRUE(sameStream(Bytes(got.begin(), got.end()), job({first, secondPart})));
}

TEST(Filter, PrinterGoneStopsTheJobWithAnError)
{
    const std::string raster = rasterPath("gone");
    qtest::writeRaster(raster, std::vector<RasterPage>(20, stripedPage(2000, 300)));
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

// A printer that reads its stream slowly keeps the filter blocked in its
// writes; a cancel then arrives in the middle of one. The job must still
// end as a cancel ends it: the page finished, the end-of-job command sent,
// no write error, status 0.
TEST(Filter, CancelWhileThePrinterIsSlow)
{
    RasterPage busy = page(2400, 1200);
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
        const std::string name = std::to_string(t.chunk) + " bytes every " + std::to_string(t.periodUs) + " us";
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
        // From the first bytes on the filter is printing; the cancel comes
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

        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name;
        EXPECT_FALSE(contains(log, "Unable to write")) << name << ": " << log;
        quorvel::DecodedStream decoded;
        quorvel::DecodeError why;
        EXPECT_TRUE(quorvel::scanStream(reinterpret_cast<const unsigned char*>(stream.data()), stream.size(),
                                        decoded, why))
            << name << ": offset " << why.offset << ", expected " << why.expected;
        EXPECT_TRUE(decoded.endOfJob) << name;
        EXPECT_LT(decoded.pages.size(), 8u) << name << ": the cancel came after the last page";
        for (const quorvel::DecodedPage& p : decoded.pages)
            EXPECT_EQ(p.dataLines + p.blankLines, 1200u) << name;
    }
}

}  // namespace
