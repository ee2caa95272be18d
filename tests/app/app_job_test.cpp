// The application's job logic where a server cannot show it: option bands,
// a job started twice, device writes that are interrupted or cut short,
// page placement, 1-bit rows and the JPEG end check.
#include <gtest/gtest.h>

#include <cerrno>

#include "document_check.h"
#include "driver.h"
#include "page_layout.h"
#include "print_job.h"
#include "protocol.h"

using proto::Bytes;
using proto::cat;
using proto::hex;

namespace {

TEST(AppOptions, LevelsAndDuplex)
{
    const int darkness[][3] = {{50, 0, 2},  {0, 0, 4},    {19, 0, 4},    {20, 0, 3},   {39, 0, 3},
                               {40, 0, 2},  {59, 0, 2},   {60, 0, 1},    {79, 0, 1},   {80, 0, 0},
                               {100, 0, 0}, {50, 100, 0}, {50, -100, 4}, {90, -45, 2}, {0, -100, 4}};
    for (const auto& d : darkness)
        EXPECT_EQ(darknessLevel(d[0], d[1]), d[2]) << d[0] << " " << d[1];
    const std::pair<const char*, int> weights[] = {{"very-heavy", 0}, {"heavy", 1}, {"medium-heavy", 2},
                                                   {"medium", 3},     {"light", 4}, {"", 3}, {"cardboard", 3}};
    for (const auto& w : weights)
        EXPECT_EQ(paperWeightLevel(w.first), w.second) << w.first;
    const int duplexes[][4] = {{1, 0, 0, 0}, {2, 0, 1, 0}, {4, 0, 2, 0}, {1, 1, 0, 3}, {2, 1, 1, 3}};
    for (const auto& d : duplexes) {
        JobOptions o;
        o.sides = d[0];
        o.manualDuplex = d[1] != 0;
        const PrintJobAttr attr = jobAttrFromOptions(o);
        EXPECT_EQ(attr.m_duplex, d[2]) << d[0];
        EXPECT_EQ(attr.m_manualDuplex, d[3]) << d[0];
        EXPECT_EQ(attr.m_cancelAttr + attr.m_cancelJobFinish, 0);
    }
    QuorvelPage grey{595, 842, 600, 600, 1, 4960, 7015, 4960, 8, 18};
    EXPECT_EQ(pageProblem(grey, 1), "Page 1 has 8 bits per pixel; this printer takes 1-bit pages");
    // A printer found on USB is ours when its IEEE 1284 ID names the maker.
    for (const char* id : {"MFG:Quorvel;MDL:Q1;", "MANUFACTURER:quorvel;MODEL:Q1;"})
        EXPECT_STREQ(quorvelDriverForDeviceId(id), "quorvel") << id;
    EXPECT_EQ(quorvelDriverForDeviceId("MFG:Other;MDL:Quorvel;"), nullptr);
}

// Device: a device in memory that first fails `interrupts` writes with
// EINTR, then takes at most `piece` bytes a write (0: all).
struct Device {
    Bytes bytes;
    int interrupts = 0;
    std::size_t piece = 0;
};

ssize_t deviceWrite(void* device, const void* data, std::size_t len)
{
    Device& d = *static_cast<Device*>(device);
    if (d.interrupts > 0 && d.interrupts--)
        return errno = EINTR, -1;
    const std::size_t n = std::min(len, d.piece ? d.piece : len);
    d.bytes.insert(d.bytes.end(), static_cast<const unsigned char*>(data), static_cast<const unsigned char*>(data) + n);
    return static_cast<ssize_t>(n);
}

// runPages: pages of 16 x 2 pixels on a 4 x 6 inch sheet at 600 dpi (2400 x
// 3600 dots), the first 8 pixels of row 0 black, into device.
bool runPages(AppJob& job, const void* key, Device& device, int pages)
{
    const unsigned char row0[] = {0xFF, 0x00}, row1[] = {0x00, 0x00};
    const QuorvelPage page{288, 432, 600, 600, 1, 16, 2, 2, 1, 3};
    appJobBegin(job, key, JobOptions{}, deviceWrite, &device);
    bool ok = true;
    for (int p = 0; p < pages; ++p)
        ok = appPageBegin(job, page, page) && appRow(job, row0) && appRow(job, row1) && appPageEnd(job) && ok;
    return appJobEnd(job) && ok;
}

// That job as the printer gets it: row 0 behind its three white lead bytes
// (FF FF FF 00 FF once inverted), one blank line.
const Bytes kSmallJob = cat({proto::settings(2400, 3600), proto::kBeginPage, proto::lineCmd(hex("FE 00 00 FF 00 00")),
                             proto::kBlank, proto::kEndPage, proto::kEndOfJob});

TEST(AppJobStream, SameJobStartedTwiceWritesOnce)
{
    AppJob first, second, again;
    Device one, two;
    int key = 0;
    appJobBegin(first, &key, JobOptions{}, deviceWrite, &one);
    EXPECT_TRUE(runPages(second, &key, two, 1));
    EXPECT_TRUE(second.shadow);
    EXPECT_TRUE(two.bytes.empty());
    EXPECT_EQ(appJobsRunning(), 1);
    EXPECT_TRUE(appJobEnd(first));
    EXPECT_EQ(appJobsRunning(), 0);
    // Once the first run has ended, the job may run again.
    EXPECT_TRUE(runPages(again, &key, two, 1));
    EXPECT_FALSE(again.shadow);
    EXPECT_EQ(two.bytes, kSmallJob);
}

TEST(AppDeviceWrites, InterruptedAndShortWritesResume)
{
    AppJob job;
    Device device{{}, 3, 7};
    EXPECT_TRUE(runPages(job, &job, device, 1));
    EXPECT_EQ(device.bytes, kSmallJob);
}

TEST(AppLayout, Placement)
{
    struct {
        const char* name;
        int w, h;
        Scaling scaling;
        Orientation orientation;
        Turn turn;
        int width, height, left, top;
    } const cases[] = {
        {"Letter fits A4", 612, 792, Scaling::Auto, Orientation::Auto, Turn::None, 4960, 6419, 0, 298},
        {"A5 stays its size", 420, 595, Scaling::Auto, Orientation::Auto, Turn::None, 3500, 4958, 730, 1028},
        {"landscape A4 turned", 842, 595, Scaling::Auto, Orientation::Auto, Turn::Left, 4958, 7017, 1, -1},
        {"Letter fills A4", 612, 792, Scaling::Fill, Orientation::Auto, Turn::None, 5421, 7015, -231, 0},
        {"Letter as it is", 612, 792, Scaling::None, Orientation::Auto, Turn::None, 5100, 6600, -70, 207},
        {"A5 fitted", 420, 595, Scaling::Fit, Orientation::Auto, Turn::None, 4952, 7015, 4, 0},
        {"landscape kept upright", 842, 595, Scaling::Fit, Orientation::Portrait, Turn::None, 4960, 3505, 0, 1755},
        {"portrait asked landscape", 612, 792, Scaling::Fit, Orientation::Landscape, Turn::Left, 4960, 3833, 0, 1591},
        {"reverse landscape", 612, 792, Scaling::Fit, Orientation::ReverseLandscape, Turn::Right, 4960, 3833, 0, 1591},
    };
    for (const auto& c : cases) {
        const Placement p = placePage(c.w, c.h, 72, 4960, 7015, 600, c.scaling, c.orientation);
        EXPECT_EQ(std::vector<int>({static_cast<int>(p.turn), p.width, p.height, p.left, p.top}),
                  std::vector<int>({static_cast<int>(c.turn), c.width, c.height, c.left, c.top})) << c.name;
    }
}

TEST(AppLayout, RowsTurnedDitheredAndShifted)
{
    unsigned char thresholds[16][16];
    for (auto& row : thresholds)
        std::fill(std::begin(row), std::end(row), 110);
    // Two pixels side by side, black and white; turned left they stand
    // upright, white on top.
    GreyPage page{2, 1, {0, 255}};
    const Placement turned{Turn::Left, 1, 0, 0, 1, 2};
    std::uint8_t out[3];
    const Bytes turnedRows[] = {hex("00 00"), hex("80 00"), hex("00 00")};
    for (int y = 0; y < 3; ++y) {
        sheetRow(page, turned, y, 9, thresholds, out, 2);
        EXPECT_EQ(Bytes(out, out + 2), turnedRows[y]) << y;
    }
    // Turned right, the black pixel is on top. A black top left corner
    // turned over is the bottom right one.
    sheetRow(page, Placement{Turn::Right, 1, 0, 0, 1, 2}, 0, 9, thresholds, out, 2);
    EXPECT_EQ(Bytes(out, out + 2), hex("80 00"));
    sheetRow(GreyPage{2, 2, {0, 255, 255, 255}}, Placement{Turn::UpsideDown, 1, 0, 0, 2, 2}, 1, 9, thresholds, out, 2);
    EXPECT_EQ(Bytes(out, out + 2), hex("40 00"));
    // Moved right by 7: grey 100 is darker than the threshold, 200 lighter;
    // halved, 0+255 averages to black and 100+200 to white.
    GreyPage grey{4, 1, {0, 255, 100, 200}};
    sheetRow(grey, Placement{Turn::None, 1, 7, 0, 4, 1}, 0, 16, thresholds, out, 2);
    EXPECT_EQ(Bytes(out, out + 2), hex("01 40"));
    sheetRow(grey, Placement{Turn::None, 0.5, 0, 0, 2, 1}, 0, 8, thresholds, out, 1);
    EXPECT_EQ(out[0], 0x80);

    // 1-bit rows: 12 pixels "F0 F0" (black, white, black, white in fours)
    // moved onto a sheet of 20 pixels.
    const std::uint8_t bits[] = {0xF0, 0xF0};
    struct {
        int left;
        const char* row;
    } const shifts[] = {{0, "F0 F0 00"}, {8, "00 F0 F0"}, {3, "1E 1E 00"}, {-4, "0F 00 00"},
                        {13, "00 07 80"}, {20, "00 00 00"}, {-12, "00 00 00"}};
    for (const auto& s : shifts) {
        std::fill(std::begin(out), std::end(out), 0xAA);
        placeBits(bits, 12, s.left, 20, out, 3);
        EXPECT_EQ(Bytes(out, out + 3), hex(s.row)) << s.left;
    }
}

TEST(AppDocuments, JpegEndsWhole)
{
    struct {
        const char* name;
        const char* bytes;
        bool whole;
    } const cases[] = {
        {"segments, scan, end", "FF D8 FF E0 00 04 00 00 FF DA 00 02 12 FF 00 34 FF D0 56 FF D9", true},
        {"fill bytes before the end", "FF D8 FF DA 00 02 12 FF FF D9", true},
        {"cut inside the scan", "FF D8 FF E0 00 04 00 00 FF DA 00 02 12 FF 00 34", false},
        {"cut inside a segment", "FF D8 FF E0 00 10 00 00", false},
        {"end marker inside a segment", "FF D8 FF E1 00 06 FF D9 00 00", false},
        {"no start marker", "00 D8 FF D9", false},
    };
    for (const auto& c : cases) {
        const Bytes b = hex(c.bytes);
        EXPECT_EQ(jpegEndsWhole(b.data(), b.size()), c.whole) << c.name;
    }
    EXPECT_FALSE(jpegFileEndsWhole("/nonexistent/picture.jpg"));
}

TEST(AppDocuments, FormatFromFirstBytes)
{
    struct {
        const char* bytes;
        const char* format;
    } const cases[] = {
        {"52 61 53 32 50 77 67 52", "image/pwg-raster"},       // RaS2PwgR
        {"55 4E 49 52 41 53 54 00", "image/urf"},              // UNIRAST
        {"FF D8 FF E1", "image/jpeg"},                         // Exif, not only JFIF
        {"89 50 4E 47 0D 0A 1A 0A", "image/png"},
        {"89 50 4E 47 0D 0A", nullptr},                        // a PNG signature cut short
        {"0A 0A 25 50 44 46 2D 31 2E 37", "application/pdf"},  // header after blank lines
        {"25 50 44 46", nullptr},                              // "%PDF" without "-"
        {"48 65 6C 6C 6F 0A", nullptr},                        // text
        {"", nullptr},
    };
    for (const auto& c : cases) {
        const Bytes b = hex(c.bytes);
        const char* got = documentFormat(b.data(), b.size());
        EXPECT_STREQ(got ? got : "none", c.format ? c.format : "none") << c.bytes;
    }
}

} // namespace
