// The filter as the scheduler runs it, on rasters written by libcups: its
// arguments, standard error, exit status and stream, for sound jobs and for
// input it must survive: pages it cannot hold, other raster kinds, streams
// cut short, a cancel, and a printer that goes away or is slow.
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <thread>

#include "protocol.h"
#include "stream_decoder.h"

using namespace proto;

namespace {

const std::string kPpd = "PPD=" QUORVEL_SOURCE_DIR "/ppd/quorvel.ppd ";
const std::string kStart = "----------------StartPage...\n", kEnd = "-------main---------JobFinish end \n";

// One page: its header and its rows; fewer rows than cupsHeight make a page
// cut short.
struct RasterPage {
    cups_page_header2_t header;
    std::vector<Bytes> rows;
};

// page: a white-is-set 1-bit page, width pixels wide, its rows given (fewer
// than height: the stream stops there), on a 4 x 6 inch sheet at 203 x 204
// dpi: 812 x 1224 dots.
RasterPage page(unsigned width, std::vector<Bytes> rows, unsigned height = 0)
{
    cups_page_header2_t h;
    std::memset(&h, 0, sizeof h);
    h.HWResolution[0] = 203, h.HWResolution[1] = 204, h.PageSize[0] = 288, h.PageSize[1] = 432;
    h.NumCopies = h.cupsBitsPerColor = h.cupsBitsPerPixel = h.cupsNumColors = 1;
    h.cupsWidth = width, h.cupsHeight = height ? height : static_cast<unsigned>(rows.size());
    h.cupsBytesPerLine = (width + 7) / 8, h.cupsColorSpace = CUPS_CSPACE_W;
    return {h, std::move(rows)};
}

// rasterFile: the pages as libcups writes them, less the last cut bytes.
std::string rasterFile(const std::vector<RasterPage>& pages, cups_mode_t mode = CUPS_RASTER_WRITE_COMPRESSED,
                       long cut = 0)
{
    static int n = 0;
    const std::string path = qtest::tempDir() + "/" + std::to_string(++n) + ".ras";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t* ras = cupsRasterOpen(fd, mode);
    for (RasterPage p : pages) {
        cupsRasterWriteHeader2(ras, &p.header);
        for (Bytes& row : p.rows)
            cupsRasterWritePixels(ras, row.data(), static_cast<unsigned>(row.size()));
    }
    cupsRasterClose(ras);
    if (ftruncate(fd, lseek(fd, 0, SEEK_END) - cut) != 0 || close(fd) != 0)
        ADD_FAILURE() << path;
    return path;
}

// filter: the command line of the last filter of a job.
std::string filter(const std::string& options, const std::string& file)
{
    return kPpd + QUORVEL_FILTER " 7 user title 1 '" + options + "' " + file;
}

const Bytes kSettings = settings(812, 1224);
const std::string kLevels = "-------getPrintJobAttrFromArgs---------g_printJobAttr.m_printDensity = 2 \n"
                            "-------getPrintJobAttrFromArgs---------g_printJobAttr.m_paperWeight = 3 \n";

TEST(Filter, Jobs)
{
    const Bytes data = lineCmd(hex("FE 00 00 FF 00 00"));
    const Bytes black = cat({kBeginPage, lineCmd(hex("FE 00 F9 FF")), kBlank, kBlank, kBlank, kEndPage});
    const RasterPage one = page(16, {hex("FF FF"), hex("00 FF")});
    // 32 bytes of rows in one read: the vector fill's short road.
    const RasterPage blackRow = page(64, {Bytes(8, 0x00), Bytes(8, 0xFF), Bytes(8, 0xFF), Bytes(8, 0xFF)});
    RasterPage copies = one, wide = blackRow, kPage = one, sgray = one;
    copies.header.NumCopies = 3;
    wide.header.NumCopies = 4; // only the first page's count counts
    kPage.header.cupsColorSpace = CUPS_CSPACE_K;
    kPage.rows = {hex("00 00"), hex("FF 00")};
    sgray.header.cupsColorSpace = CUPS_CSPACE_SW;
    // Rows shorter than the width: the rest of each line is white, whatever
    // the page before left behind.
    RasterPage cutK = page(16, {hex("EE DD"), hex("CC BB")}, 3);
    cutK.header.cupsColorSpace = CUPS_CSPACE_K; // inverted only where bytes arrived
    RasterPage shortRows = page(64, {hex("00 00 00 00")});
    shortRows.header.cupsBytesPerLine = 4;
    const Bytes cutRow = cat({kSettings, kBeginPage, lineCmd(hex("FE 00 00 EE 00 DD")),
                              lineCmd(hex("FE 00 00 CC 00 00")), kBlank, kEndPage, kEndOfJob});
    const struct {
        std::vector<RasterPage> pages;
        const char* options;
        Bytes out;
        cups_mode_t mode = CUPS_RASTER_WRITE_COMPRESSED;
        long cut = 0;
    } cases[] = {
        {{one}, "", cat({kSettings, kBeginPage, kBlank, data, kEndPage, kEndOfJob}), CUPS_RASTER_WRITE},
        {{copies, wide}, "", cat({settings(812, 1224, 3), kBeginPage, kBlank, data, kEndPage, black, kEndOfJob})},
        {{page(12, {hex("F0 FF"), hex("FF 00"), hex("00 0F")})}, "", // the partial byte is not sent
         cat({kSettings, kBeginPage, lineCmd(hex("FE 00 00 0F")), kBlank, lineCmd(hex("FE 00 00 FF")), kEndPage,
              kEndOfJob})},
        {{kPage, sgray}, "", cat({kSettings, kBeginPage, kBlank, data, kEndPage, kBeginPage, kBlank, data,
                                  kEndPage, kEndOfJob})},
        {{blackRow, shortRows}, "",
         cat({kSettings, black, kBeginPage, lineCmd(hex("FE 00 FD FF FD 00")), kEndPage, kEndOfJob})},
        {{page(16, {hex("00 FF")}, 3)}, "", // a page cut short: the rest is white
         cat({kSettings, kBeginPage, data, kBlank, kBlank, kEndPage, kEndOfJob}), CUPS_RASTER_WRITE},
        {{page(16, {hex("11 22"), hex("33 44")}, 3)}, "", cutRow, CUPS_RASTER_WRITE, 1}, // ... also inside a row
        {{cutK}, "", cutRow, CUPS_RASTER_WRITE, 1},
        {{one}, "PrintDensity=7 PaperWeight=2MediumHeavy", // an unknown density is the darkest
         cat({settings(812, 1224, 1, 0, 2), kBeginPage, kBlank, data, kEndPage, kEndOfJob})},
        {{one}, "CmdCancel=CancelAttr CmdCancel=CancelJobFinish", cat({kBeginPage, kBlank, data, kEndPage})},
        {{page(16, {hex("FF FF"), hex("FF 01")})}, "Duplex=DuplexNoTumble ManualDuplex=False",
         cat({settings(812, 1224, 1, 2, 3, 1, 0), kBeginPage, lineCmd(hex("00 7F 00 00")), kBlank, kEndPage,
              kEndOfJobDouble})},
    };
    for (const auto& c : cases) {
        const qtest::RunResult r = qtest::run(filter(c.options, rasterFile(c.pages, c.mode, c.cut)));
        EXPECT_EQ(r.status, 0) << &c - cases;
        EXPECT_EQ(hex(r.out), hex(c.out)) << &c - cases;
    }
}

// Wide noisy pages, white-is-set and black-is-set, one cut short, read back
// through the preview's decoder: every row is printed as the raster has
// it, whatever the reads (82 rows of 797 bytes at a time) and scans.
TEST(Filter, WidePagesReadBack)
{
    std::vector<RasterPage> pages(3, page(6376, std::vector<Bytes>(300, Bytes(797, 0xFF))));
    unsigned seed = 7;
    for (RasterPage& p : pages)
        for (std::size_t y = 0; y < p.rows.size(); ++y) { // every fourth row solid, so white rows follow black ones
            if (y % 4 == 0)
                p.rows[y].assign(797, 0x00);
            for (unsigned i = 0; i < 797 && (seed = seed * 1103515245u + 12345u) % 3 != 0; ++i)
                p.rows[y][y % 2 ? i : 796 - i] = seed >> 16 & 3 ? 0xFF : static_cast<unsigned char>(seed >> 8);
        }
    pages[1].header.cupsColorSpace = CUPS_CSPACE_K;
    pages[2].rows.resize(100);
    const qtest::RunResult r = qtest::run(filter("", rasterFile(pages, CUPS_RASTER_WRITE)));
    quorvel::DecodedStream got;
    quorvel::DecodeError why;
    ASSERT_TRUE(quorvel::decodeStream(r.out.data(), r.out.size(), got, why)) << why.offset << " " << why.expected;
    ASSERT_EQ(got.pages.size(), 3u);
    for (std::size_t p = 0; p < 3; ++p)
        for (std::size_t y = 0; y < 300; ++y) {
            Bytes want(3, 0x00); // printer bytes, set bits black, behind the white lead
            for (unsigned char b : y < pages[p].rows.size() ? pages[p].rows[y] : Bytes(797, 0xFF))
                want.push_back(static_cast<unsigned char>(p == 1 ? b : ~b));
            if (want == Bytes(800, 0x00))
                want.clear();
            ASSERT_EQ(hex(got.pages[p].rows[y]), hex(want)) << "page " << p << " row " << y;
        }
}

// The scheduler's view of a sound job, from a file and from standard input,
// and of jobs that cannot start: what the filter logs and its exit status.
TEST(Filter, LogAndExitStatus)
{
    const std::string raster = rasterFile({page(16, {hex("00 FF")})}), empty = rasterFile({});
    const std::string header = "-------getPrintJobAttrFromPPD---------header->PageSize[0] = 288 \n"
                               "-------getPrintJobAttrFromPPD---------header->PageSize[1] = 432 \n"
                               "-------getPrintJobAttrFromPPD---------header->HWResolution[0] = 203 \n"
                               "-------getPrintJobAttrFromPPD---------header->HWResolution[1] = 204 \n";
    const Bytes job = cat({kSettings, kBeginPage, lineCmd(hex("FE 00 00 FF 00 00")), kEndPage, kEndOfJob});
    const std::string bin = QUORVEL_FILTER " 1 u t 1 ";
    const struct {
        std::string command;
        int status;
        Bytes out;
        std::string err;
    } cases[] = {
        {filter("", raster), 0, job, kStart + header + kLevels + kEnd},
        {filter("", "<" + raster), 0, job, kStart + header + kLevels + kEnd},
        {filter("", empty), 1, kEndOfJob, kStart + kEnd},
        {filter("CmdCancel=CancelJobFinish", "<" + empty), 1, kEndOfJob, kStart + kEnd}, // options need a page
        {kPpd + bin, 1, {}, kStart},
        {kPpd + bin + "'' x y", 1, {}, kStart},
        {kPpd + bin + "'' /nonexistent", 1, {}, kStart},
        {"env -u PPD " + bin + "'' " + raster, 1, {}, kStart},
        {"PPD=/nonexistent " + bin + "'' " + raster, 1, {}, kStart},
        {"PPD=" + raster + " " + bin + "'' " + raster, 1, {}, kStart},
    };
    for (const auto& c : cases) {
        const qtest::RunResult r = qtest::run(c.command);
        EXPECT_EQ(r.status, c.status) << c.command;
        EXPECT_EQ(r.out, c.out) << c.command;
        EXPECT_EQ(r.err, c.err) << c.command;
    }
}

// Pages the printer cannot take are refused with an ERROR line and left
// out; the job goes on with the next page and fails.
TEST(Filter, PagesItCannotTakeAreLeftOut)
{
    const RasterPage good = page(16, {hex("00 FF")});
    RasterPage tall = page(64, std::vector<Bytes>(10001, Bytes(8, 0x00))), wide = page(6384, {Bytes(798, 0)}),
               grey = page(64, {Bytes(64, 0x80)}), rgb = good, unknown = good, wideRows = page(64, {Bytes(798, 0)});
    wideRows.header.cupsBytesPerLine = 798;
    grey.header.cupsBitsPerColor = grey.header.cupsBitsPerPixel = 8;
    grey.header.cupsBytesPerLine = 64;
    rgb.header.cupsColorSpace = CUPS_CSPACE_RGB;
    const unsigned space = 4000; // as a stream may hold it
    std::memcpy(&unknown.header.cupsColorSpace, &space, sizeof space);
    RasterPage huge = page(800000, {});                                // no data follows its header
    huge.header.cupsHeight = 4000000000u;
    const qtest::RunResult r = qtest::run(filter("", rasterFile({tall, good, wide, grey, rgb, unknown, good, wideRows, huge})));
    const Bytes sent = cat({kBeginPage, lineCmd(hex("FE 00 00 FF 00 00")), kEndPage});
    EXPECT_EQ(r.out, cat({kSettings, sent, sent, kEndOfJob}));
    EXPECT_EQ(r.status, 1);
    for (const char* line :
         {"ERROR: Page 1 is 64 x 10001 pixels with 8 bytes per line; this printer takes at most 10000 lines of "
          "797 bytes\n", "ERROR: Page 3 is 6384 x 1 pixels with 798 bytes per line;",
          "ERROR: Page 4 has 8 bits per pixel; this printer takes 1 bit per pixel\n",
          "ERROR: Page 5 has colour space 1; this printer takes white (0, 18) or black (3) only\n",
          "ERROR: Page 6 has colour space 4000;", "ERROR: Page 8 is 64 x 1 pixels with 798 bytes",
          "ERROR: Page 9 is 800000 x 4000000000 pixels with 100000 bytes"})
        EXPECT_NE(r.err.find(line), std::string::npos) << line;
    EXPECT_NE(r.err.find(kEnd), std::string::npos);
    // A refused page first: the job ends cleanly without a settings block.
    EXPECT_EQ(qtest::run(filter("", rasterFile({huge}))).out, kEndOfJob);
}

// busyJob: eight pages of rows that all differ, some 3 MB of printer stream.
std::string busyJob()
{
    std::vector<Bytes> rows(1200, Bytes(300));
    for (unsigned r = 0; r < rows.size(); ++r)
        for (std::size_t i = 0; i < rows[r].size(); ++i)
            rows[r][i] = static_cast<unsigned char>(r * 31 + i * 7);
    return rasterFile(std::vector<RasterPage>(8, page(2400, rows)), CUPS_RASTER_WRITE);
}

// A printer that goes away: said once, and the job stops.
TEST(Filter, PrinterGoneStopsTheJobWithAnError)
{
    const qtest::RunResult r = qtest::run("{ " + filter("", busyJob()) + "; echo status $? >&2; } | true");
    const std::size_t at = r.err.find("ERROR:");
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(at), "ERROR: Unable to write to the printer stream: Broken pipe\n" + kEnd + "status 1\n");
}

// A printer that reads its stream slowly keeps the filter blocked in its
// writes, and a cancel arrives in the middle of one. The job must still
// end as a cancel ends it: the page finished, the end-of-job command sent,
// no write error, status 0.
TEST(Filter, CancelWhileThePrinterIsSlow)
{
    const std::string raster = busyJob();
    for (const unsigned chunk : {512u, 65536u}) {
        // The shell says its pid, which exec hands to the filter.
        std::FILE* f = popen(("echo $$; exec env " + filter("", raster) + " 2>/dev/null").c_str(), "r");
        int pid = 0;
        ASSERT_TRUE(std::fscanf(f, "%d", &pid) == 1 && std::fgetc(f) == '\n');
        std::string stream;
        std::vector<char> buf(chunk);
        for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), f)) > 0; usleep(chunk)) {
            if (stream.empty())
                std::thread([pid] { usleep(200000); kill(pid, SIGTERM); }).detach();
            stream.append(buf.data(), n);
        }
        const int status = pclose(f);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << chunk;
        quorvel::DecodedStream decoded;
        quorvel::DecodeError why;
        EXPECT_TRUE(quorvel::scanStream(reinterpret_cast<const unsigned char*>(stream.data()), stream.size(),
                                        decoded, why)) << chunk << ": offset " << why.offset << ", " << why.expected;
        EXPECT_TRUE(decoded.endOfJob) << chunk;
        EXPECT_LT(decoded.pages.size(), 8u) << chunk << ": the cancel came after the last page";
        for (const quorvel::DecodedPage& p : decoded.pages)
            EXPECT_EQ(p.dataLines + p.blankLines, 1200u) << chunk;
    }
}

}  // namespace
