// The filter as the scheduler runs it, on rasters written by libcups:
// whole printer streams, standard error and exit status.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "e2e.h"

using namespace e2e;
using qtest::RasterPage;

namespace {

const std::string kHeaderLog203 =
    "-------getPrintJobAttrFromPPD---------header->PageSize[0] = 288 \n"
    "-------getPrintJobAttrFromPPD---------header->PageSize[1] = 432 \n"
    "-------getPrintJobAttrFromPPD---------header->HWResolution[0] = 203 \n"
    "-------getPrintJobAttrFromPPD---------header->HWResolution[1] = 203 \n";

std::string levelsLog(int density, int weight)
{
    return "-------getPrintJobAttrFromArgs---------g_printJobAttr.m_printDensity = " +
           std::to_string(density) +
           " \n-------getPrintJobAttrFromArgs---------g_printJobAttr.m_paperWeight = " +
           std::to_string(weight) + " \n";
}

// A 4 x 6 inch label at 203 dpi whose rows 100 to 120 hold black pixels.
RasterPage labelPage()
{
    RasterPage page = qtest::whitePage(qtest::makeHeader(812, 1218, 203, 288, 432));
    for (unsigned r = 100; r <= 120; ++r)
        for (unsigned i = 10; i < 90; ++i)
            page.rows[r][i] = static_cast<unsigned char>(i % 7 == 0 ? 0x00 : 0x0F);
    return page;
}

TEST(FilterJob, OnePageJobFromFileAndFromStandardInput)
{
    const RasterPage page = labelPage();
    const std::string raster = rasterPath("label");
    qtest::writeRaster(raster, {page});

    Bytes expected = settings(812, 1218);
    append(expected, kBeginPage);
    for (int i = 0; i < 100; ++i)
        append(expected, kBlank);
    for (unsigned r = 100; r <= 120; ++r)
        append(expected, lineCommand(page.rows[r], 812));
    for (int i = 0; i < 1097; ++i)
        append(expected, kBlank);
    append(expected, kEndPage);
    append(expected, kEndJob);
    EXPECT_EQ(pageBytes(page).size() + 71 + 5, expected.size());

    for (bool viaStdin : {false, true}) {
        const qtest::RunResult r = runFilter(raster, "", viaStdin);
        EXPECT_EQ(r.status, 0) << viaStdin;
        EXPECT_TRUE(sameStream(r.out, expected)) << viaStdin;
        EXPECT_EQ(r.err, kStartLine + kHeaderLog203 + levelsLog(2, 3) + kEndLine) << viaStdin;
    }
}

TEST(FilterJob, UncompressedRastersPrintTheSame)
{
    const RasterPage page = labelPage();
    const std::string compressed = rasterPath("compressed");
    const std::string plain = rasterPath("plain");
    qtest::writeRaster(compressed, {page});
    qtest::writeRaster(plain, {page}, CUPS_RASTER_WRITE);
    EXPECT_EQ(runFilter(plain).out, runFilter(compressed).out);
}

TEST(FilterJob, CommandLineFailures)
{
    const std::string ppd = ppdPath();
    const std::string f = qtest::filterPath();
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{f, "1", "u", "t", "1"},
          std::vector<std::string>{f, "1", "u", "t", "1", "", "x", "y"}}) {
        const qtest::RunResult r = qtest::run(argv, {{"PPD", ppd}});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.empty());
        EXPECT_EQ(r.err, kStartLine);
    }
    // A missing input file: a pause, then failure without a message.
    qtest::RunResult missing = qtest::run({f, "1", "u", "t", "1", "", qtest::tempDir() + "/nope"}, {{"PPD", ppd}});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.out.empty());
    EXPECT_EQ(missing.err, kStartLine);

    // No usable PPD: unset, missing, or not a PPD at all.
    const std::string notPpd = qtest::tempDir() + "/not.ppd";
    qtest::writeFile(notPpd, "hello\n");
    const std::string raster = rasterPath("ppdless");
    qtest::writeRaster(raster, {labelPage()});
    for (const std::string& path : {std::string(), qtest::tempDir() + "/none.ppd", notPpd}) {
        std::map<std::string, std::string> env;
        if (!path.empty())
            env["PPD"] = path;
        const qtest::RunResult r = qtest::run({f, "1", "u", "t", "1", "", raster}, env);
        EXPECT_EQ(r.status, 1) << path;
        EXPECT_TRUE(r.out.empty()) << path;
        EXPECT_EQ(r.err, kStartLine) << path;
    }
}

TEST(FilterJob, EmptyStreamSendsOnlyTheEndOfJob)
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

TEST(FilterJob, TruncatedPageIsSentWholeWithWhiteRows)
{
    RasterPage page = qtest::whitePage(qtest::makeHeader(64, 100, 600));
    page.rows.resize(10);
    for (Bytes& row : page.rows)
        row.assign(8, 0x00);
    // Uncompressed, so every row given reaches the file (the compressing
    // writer holds repeated rows back until the page is complete).
    const std::string raster = rasterPath("truncated");
    qtest::writeRaster(raster, {page}, CUPS_RASTER_WRITE);
    Bytes expected = settingsFor(page.header);
    append(expected, pageBytes(page));
    append(expected, kEndJob);
    const qtest::RunResult r = runFilter(raster);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(sameStream(r.out, expected));
}

// A stream that ends inside a row: the rows before it and the bytes of that
// row which arrived are printed, the rest of the page is white. Black-is-set
// pages are inverted only where bytes arrived.
TEST(FilterJob, StreamEndingInsideARowKeepsWhatArrived)
{
    for (bool black : {false, true}) {
        RasterPage page = qtest::whitePage(qtest::makeHeader(64, 40, 600));
        if (black)
            page.header.cupsColorSpace = CUPS_CSPACE_K;
        page.rows.resize(12);
        for (std::size_t r = 0; r < page.rows.size(); ++r)
            page.rows[r].assign(8, static_cast<unsigned char>(0x11 * (r + 1)));
        const std::string raster = rasterPath(black ? "midrow-k" : "midrow-w");
        qtest::writeRaster(raster, {page}, CUPS_RASTER_WRITE);
        FILE* f = std::fopen(raster.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        std::fseek(f, 0, SEEK_END);
        const long rowsStart = std::ftell(f) - 12 * 8;
        std::fclose(f);
        ASSERT_EQ(truncate(raster.c_str(), rowsStart + 11 * 8 + 3), 0);

        // What the printer should get: the white-is-set rows that arrived.
        RasterPage seen = qtest::whitePage(qtest::makeHeader(64, 40, 600));
        for (std::size_t r = 0; r < 12; ++r) {
            const std::size_t arrived = r < 11 ? 8 : 3;
            for (std::size_t i = 0; i < arrived; ++i)
                seen.rows[r][i] = black ? static_cast<unsigned char>(~page.rows[r][i]) : page.rows[r][i];
        }
        Bytes expected = settingsFor(page.header);
        append(expected, pageBytes(seen));
        append(expected, kEndJob);
        const qtest::RunResult r = runFilter(raster);
        EXPECT_EQ(r.status, 0) << black;
        EXPECT_TRUE(sameStream(r.out, expected)) << black;
    }
}

TEST(FilterJob, OnlyTheFirstPageSetsUpTheJob)
{
    RasterPage first = qtest::whitePage(qtest::makeHeader(128, 20, 300));
    first.rows[3].assign(16, 0x55);
    RasterPage second = qtest::whitePage(qtest::makeHeader(400, 30, 600));
    second.header.NumCopies = 4;
    second.rows[29].assign(50, 0x00); // wider than the first page's encode buffer
    const std::string raster = rasterPath("twopages");
    qtest::writeRaster(raster, {first, second});

    Bytes expected = settingsFor(first.header);
    append(expected, pageBytes(first));
    append(expected, pageBytes(second));
    append(expected, kEndJob);
    const qtest::RunResult r = runFilter(raster);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(sameStream(r.out, expected));
    // The header is logged once, for the first page.
    EXPECT_EQ(r.err.find("HWResolution[0] = 600"), std::string::npos);
}

TEST(FilterJob, CopyCountComesFromTheHeader)
{
    const struct {
        unsigned numCopies, sent;
        const char* argvCopies;
    } cases[] = {{1, 1, "5"}, {3, 3, "1"}, {0, 1, "2"}, {65536 + 2, 2, "1"}, {32768, 1, "1"}};
    for (const auto& c : cases) {
        RasterPage page = qtest::whitePage(qtest::makeHeader(16, 2, 72));
        page.header.NumCopies = c.numCopies;
        const std::string raster = rasterPath("copies");
        qtest::writeRaster(raster, {page});
        const qtest::RunResult r =
            qtest::run({qtest::filterPath(), "1", "u", "t", c.argvCopies, "", raster}, {{"PPD", ppdPath()}});
        Bytes expected = settingsFor(page.header, c.sent);
        append(expected, pageBytes(page));
        append(expected, kEndJob);
        EXPECT_TRUE(sameStream(r.out, expected)) << c.numCopies;
    }
}

TEST(FilterJob, NarrowRowsSendOnlyWholeBytes)
{
    // 12 pixels: one whole byte is tested and sent; the partial byte is not.
    RasterPage page = qtest::whitePage(qtest::makeHeader(12, 3, 72));
    page.rows[0] = hex("F0 FF");
    page.rows[1] = hex("FF 00"); // black only in the ignored part: blank
    page.rows[2] = hex("00 0F");
    const std::string raster = rasterPath("narrow");
    qtest::writeRaster(raster, {page});
    Bytes expected = settingsFor(page.header);
    append(expected, kBeginPage);
    append(expected, hex("1B 2A 41 02 04 00 FE 00 00 0F"));
    append(expected, kBlank);
    append(expected, hex("1B 2A 41 02 04 00 FE 00 00 FF"));
    append(expected, kEndPage);
    append(expected, kEndJob);
    EXPECT_TRUE(sameStream(runFilter(raster).out, expected));

    // Under 8 pixels there is no whole byte: every row is a blank line.
    RasterPage tiny = qtest::whitePage(qtest::makeHeader(5, 4, 72));
    for (Bytes& row : tiny.rows)
        row = hex("00");
    qtest::writeRaster(raster, {tiny});
    Bytes blanks = settingsFor(tiny.header);
    append(blanks, kBeginPage);
    for (int i = 0; i < 4; ++i)
        append(blanks, kBlank);
    append(blanks, kEndPage);
    append(blanks, kEndJob);
    const qtest::RunResult r = runFilter(raster);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(sameStream(r.out, blanks));
}

TEST(FilterJob, OptionsSetLevelsAndSuppressTheFrame)
{
    RasterPage page = qtest::whitePage(qtest::makeHeader(32, 4, 203, 288, 432));
    page.rows[1].assign(4, 0x81);
    const std::string raster = rasterPath("options");
    qtest::writeRaster(raster, {page});
    const Bytes body = pageBytes(page);

    const struct {
        const char* options;
        int density, weight;
        bool settingsSent, endSent;
    } cases[] = {
        {"PrintDensity=4Light PaperWeight=0VeryHeavy", 4, 0, true, true},
        {"PrintDensity=7", 0, 3, true, true},
        {"CmdCancel=CancelAttr", 2, 3, false, true},
        {"CmdCancel=CancelJobFinish", 2, 3, true, false},
        {"CmdCancel=CancelAttr CmdCancel=CancelJobFinish", 2, 3, false, false},
    };
    for (const auto& c : cases) {
        Bytes expected;
        if (c.settingsSent)
            expected = settings(812, 1218, 1, c.density, c.weight);
        append(expected, body);
        if (c.endSent)
            append(expected, kEndJob);
        const qtest::RunResult r = runFilter(raster, c.options);
        EXPECT_EQ(r.status, 0) << c.options;
        EXPECT_TRUE(sameStream(r.out, expected)) << c.options;
        EXPECT_NE(r.err.find(levelsLog(c.density, c.weight)), std::string::npos) << c.options;
    }
}

TEST(FilterJob, LongJobsArriveWhole)
{
    // Enough rows to make the cache write itself out many times, with
    // lines of every kind on both sides of each write-out.
    std::vector<RasterPage> pages;
    unsigned seed = 7;
    for (int p = 0; p < 3; ++p) {
        RasterPage page = qtest::whitePage(qtest::makeHeader(6376, 300, 600));
        for (unsigned r = 0; r < 300; ++r) {
            seed = seed * 1103515245u + 12345u;
            if (seed % 3 == 0)
                continue;
            for (unsigned i = 0; i < 797; ++i) {
                seed = seed * 1103515245u + 12345u;
                page.rows[r][i] = (seed >> 16) % 4 == 0 ? static_cast<unsigned char>(seed >> 8) : 0xFF;
            }
        }
        pages.push_back(page);
    }
    const std::string raster = rasterPath("long");
    qtest::writeRaster(raster, pages);
    Bytes expected = settingsFor(pages[0].header);
    for (const RasterPage& page : pages)
        append(expected, pageBytes(page));
    append(expected, kEndJob);
    const qtest::RunResult r = runFilter(raster);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(sameStream(r.out, expected));
}

}  // namespace
