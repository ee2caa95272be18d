// The application's job logic without a server: option mapping, the
// stream a run sends (against literal protocol bytes), runs on two threads,
// device writes that are interrupted or fail, page placement, test page.
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "page_layout.h"
#include "print_job.h"
#include "protocol.h"
#include "testpage.h"

using proto::Bytes;
using proto::cat;
using proto::hex;

namespace {

struct LevelCase {
    int configured, job, level;
};

TEST(AppOptions, DarknessBands)
{
    const LevelCase cases[] = {{50, 0, 2},  {0, 0, 4},   {19, 0, 4},   {20, 0, 3},  {39, 0, 3},
                               {40, 0, 2},  {59, 0, 2},  {60, 0, 1},   {79, 0, 1},  {80, 0, 0},
                               {100, 0, 0}, {50, 100, 0}, {50, -100, 4}, {90, -45, 2}, {0, -100, 4}};
    for (const LevelCase& c : cases)
        EXPECT_EQ(darknessLevel(c.configured, c.job), c.level) << c.configured << " " << c.job;
}

TEST(AppOptions, PaperWeightAndDuplex)
{
    const std::pair<const char*, int> weights[] = {{"very-heavy", 0}, {"heavy", 1}, {"medium-heavy", 2},
                                                   {"medium", 3},     {"light", 4}, {"", 3},
                                                   {"cardboard", 3}};
    for (const auto& w : weights)
        EXPECT_EQ(paperWeightLevel(w.first), w.second) << w.first;

    struct {
        int sides;
        bool manual;
        int duplex, manualField;
    } const duplexes[] = {{1, false, 0, 0}, {2, false, 1, 0}, {4, false, 2, 0}, {1, true, 0, 3}, {2, true, 1, 3}};
    for (const auto& d : duplexes) {
        JobOptions o;
        o.sides = d.sides;
        o.manualDuplex = d.manual;
        const PrintJobAttr attr = jobAttrFromOptions(o);
        EXPECT_EQ(attr.m_duplex, d.duplex) << d.sides;
        EXPECT_EQ(attr.m_manualDuplex, d.manualField) << d.sides;
        EXPECT_EQ(attr.m_cancelAttr, 0);
        EXPECT_EQ(attr.m_cancelJobFinish, 0);
    }
}

TEST(AppOptions, PageProblems)
{
    QuorvelPage wide{468, 842, 600, 600, 1, 6400, 7015, 800, 1, 3};
    EXPECT_EQ(pageProblem(wide, 2), "Page 2 is 6400 x 7015 pixels with 800 bytes per line; this printer "
                                    "takes at most 10000 lines of 797 bytes");
    QuorvelPage grey{595, 842, 600, 600, 1, 4960, 7015, 4960, 8, 18};
    EXPECT_EQ(pageProblem(grey, 1), "Page 1 has 8 bits per pixel; this printer takes 1-bit pages");
    QuorvelPage a4{595, 841, 600, 600, 1, 4960, 7015, 620, 1, 3};
    EXPECT_EQ(pageProblem(a4, 1), "");
}

// Device: a device in memory; it can interrupt writes, cut them short or
// fail after a number of bytes.
struct Device {
    Bytes bytes;
    int interrupts = 0;     // writes to fail with EINTR first
    std::size_t piece = 0;  // take at most this many bytes a write (0: all)
    std::size_t room = ~std::size_t(0); // bytes before ENOSPC
};

ssize_t deviceWrite(void* device, const void* data, std::size_t len)
{
    Device& d = *static_cast<Device*>(device);
    if (d.interrupts > 0) {
        --d.interrupts;
        errno = EINTR;
        return -1;
    }
    if (d.bytes.size() >= d.room) {
        errno = ENOSPC;
        return -1;
    }
    std::size_t n = d.piece ? std::min(len, d.piece) : len;
    n = std::min(n, d.room - d.bytes.size());
    const auto* p = static_cast<const unsigned char*>(data);
    d.bytes.insert(d.bytes.end(), p, p + n);
    return static_cast<ssize_t>(n);
}

// A 4 x 6 inch page at 600 dpi, 16 pixels by 2 rows: 2400 x 3600 dots.
QuorvelPage smallPage(unsigned copies = 1)
{
    return QuorvelPage{288, 432, 600, 600, copies, 16, 2, 2, 1, 3};
}

// Rows with black set: the first 8 pixels of row 0 black, row 1 white.
const unsigned char kRow0[] = {0xFF, 0x00}, kRow1[] = {0x00, 0x00};

// The page above as the printer gets it: row 0 with its three white lead
// bytes (FF FF FF 00 FF once inverted) and one blank line.
Bytes smallPageBytes()
{
    return cat({proto::kBeginPage, proto::lineCmd(hex("FE 00 00 FF 00 00")), proto::kBlank, proto::kEndPage});
}

// runPages: a run of pages small pages, with options, into device.
bool runPages(AppJob& job, const void* key, const JobOptions& o, Device& device, int pages,
              unsigned headerCopies = 1)
{
    appJobBegin(job, key, o, deviceWrite, &device);
    bool ok = true;
    for (int p = 0; p < pages; ++p)
        ok = appPageBegin(job, smallPage(headerCopies), smallPage(headerCopies)) && appRow(job, kRow0) && appRow(job, kRow1) &&
             appPageEnd(job) && ok;
    return appJobEnd(job) && ok;
}

TEST(AppJobStream, CopiesAndDefaults)
{
    struct {
        const char* name;
        JobOptions options;
        int pages;
        unsigned headerCopies;
        Bytes expected;
    } const cases[] = {
        {"raster keeps its header's copies, two pages", JobOptions{}, 2, 2,
         cat({proto::settings(2400, 3600, 2), smallPageBytes(), smallPageBytes(), proto::kEndOfJob})},
        {"JPEG: PAPPL's three copies become one page and copies 3",
         JobOptions{50, 0, "", 1, false, 3, true, true}, 3, 0,
         cat({proto::settings(2400, 3600, 3), smallPageBytes(), proto::kEndOfJob})},
        {"PDF: pages kept, copies in the settings",
         JobOptions{50, 0, "", 1, false, 2, true, false}, 2, 0,
         cat({proto::settings(2400, 3600, 2), smallPageBytes(), smallPageBytes(), proto::kEndOfJob})},
        {"darkness 90, heavy paper", JobOptions{90, 0, "heavy", 1, false, 1, false, false}, 1, 1,
         cat({proto::settings(2400, 3600, 1, 0, 1), smallPageBytes(), proto::kEndOfJob})},
        {"job darkness lowers the printer's", JobOptions{90, -45, "light", 1, false, 1, false, false}, 1, 1,
         cat({proto::settings(2400, 3600, 1, 2, 4), smallPageBytes(), proto::kEndOfJob})},
    };
    for (const auto& c : cases) {
        AppJob job;
        Device device;
        EXPECT_TRUE(runPages(job, &job, c.options, device, c.pages, c.headerCopies)) << c.name;
        EXPECT_EQ(device.bytes, c.expected) << c.name;
    }
}

TEST(AppJobStream, PageTooLargeIsLeftOut)
{
    AppJob job;
    Device device;
    appJobBegin(job, &job, JobOptions{}, deviceWrite, &device);
    QuorvelPage wide{468, 842, 600, 600, 1, 6400, 7015, 800, 1, 3};
    EXPECT_TRUE(appPageBegin(job, wide, wide));
    EXPECT_TRUE(appRow(job, kRow0));
    EXPECT_TRUE(appPageEnd(job));
    EXPECT_TRUE(appPageBegin(job, smallPage(), smallPage()) && appRow(job, kRow0) && appRow(job, kRow1) && appPageEnd(job));
    EXPECT_TRUE(appJobEnd(job));
    EXPECT_EQ(device.bytes, cat({proto::settings(2400, 3600), smallPageBytes(), proto::kEndOfJob}));
    EXPECT_EQ(job.refused.rfind("Page 1 is 6400 x 7015 pixels", 0), 0u) << job.refused;
    EXPECT_EQ(job.pagesPrinted, 1);
}

TEST(AppJobStream, ShortPageEndsWhiteAndIsNoted)
{
    AppJob job;
    Device device;
    appJobBegin(job, &job, JobOptions{}, deviceWrite, &device);
    EXPECT_TRUE(appPageBegin(job, smallPage(), smallPage()) && appRow(job, kRow0) && appPageEnd(job) && appJobEnd(job));
    EXPECT_EQ(device.bytes, cat({proto::settings(2400, 3600), smallPageBytes(), proto::kEndOfJob}));
    EXPECT_EQ(job.shortPage, "Page 1 ended after 1 of its 2 rows: the document data stopped early");
}

TEST(AppDeviceWrites, InterruptedAndShortWritesAreResumed)
{
    AppJob job;
    Device device;
    device.interrupts = 3;
    device.piece = 7;
    EXPECT_TRUE(runPages(job, &job, JobOptions{}, device, 1));
    EXPECT_EQ(device.bytes, cat({proto::settings(2400, 3600), smallPageBytes(), proto::kEndOfJob}));
}

TEST(AppDeviceWrites, FailureStopsTheRun)
{
    AppJob job;
    Device device;
    device.room = 40; // inside the settings block
    EXPECT_FALSE(runPages(job, &job, JobOptions{}, device, 2));
    EXPECT_EQ(job.writeErrno, ENOSPC);
    EXPECT_EQ(device.bytes.size(), 40u);
}

// Turns: lets two threads take strict turns, so their calls interleave.
struct Turns {
    std::mutex m;
    std::condition_variable cv;
    int next = 0;
    void take(int who)
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return next == who; });
    }
    void pass(int who)
    {
        std::lock_guard<std::mutex> lock(m);
        next = 1 - who;
        cv.notify_all();
    }
};

// interleaved: two runs on two threads, one call each in turn.
void interleaved(AppJob (&jobs)[2], const void* (&keys)[2], const JobOptions (&options)[2], Device (&devices)[2],
                 int pages, bool (&results)[2])
{
    Turns turns;
    auto drive = [&](int who) {
        auto step = [&](auto call) {
            turns.take(who);
            const bool ok = call();
            turns.pass(who);
            return ok;
        };
        AppJob& job = jobs[who];
        bool ok = step([&] {
            appJobBegin(job, keys[who], options[who], deviceWrite, &devices[who]);
            return true;
        });
        for (int p = 0; p < pages; ++p) {
            ok = step([&] { return appPageBegin(job, smallPage(), smallPage()); }) && ok;
            ok = step([&] { return appRow(job, kRow0); }) && ok;
            ok = step([&] { return appRow(job, kRow1); }) && ok;
            ok = step([&] { return appPageEnd(job); }) && ok;
        }
        results[who] = step([&] { return appJobEnd(job); }) && ok;
    };
    std::thread a(drive, 0), b(drive, 1);
    a.join();
    b.join();
}

TEST(AppJobThreads, TwoJobsInterleaved)
{
    AppJob jobs[2];
    Device devices[2];
    int keyA = 0, keyB = 0;
    const void* keys[2] = {&keyA, &keyB};
    const JobOptions options[2] = {JobOptions{}, JobOptions{90, 0, "light", 1, false, 1, false, false}};
    bool results[2];
    interleaved(jobs, keys, options, devices, 3, results);
    EXPECT_TRUE(results[0] && results[1]);
    const Bytes pages = cat({smallPageBytes(), smallPageBytes(), smallPageBytes(), proto::kEndOfJob});
    EXPECT_EQ(devices[0].bytes, cat({proto::settings(2400, 3600), pages}));
    EXPECT_EQ(devices[1].bytes, cat({proto::settings(2400, 3600, 1, 0, 4), pages}));
}

TEST(AppJobThreads, SameJobStartedTwiceWritesOnce)
{
    AppJob jobs[2];
    Device devices[2];
    int key = 0;
    const void* keys[2] = {&key, &key};
    const JobOptions options[2] = {JobOptions{}, JobOptions{}};
    bool results[2];
    interleaved(jobs, keys, options, devices, 2, results);
    EXPECT_TRUE(results[0] && results[1]);
    EXPECT_FALSE(jobs[0].shadow);
    EXPECT_TRUE(jobs[1].shadow);
    EXPECT_EQ(devices[0].bytes,
              cat({proto::settings(2400, 3600), smallPageBytes(), smallPageBytes(), proto::kEndOfJob}));
    EXPECT_TRUE(devices[1].bytes.empty());

    // Once the first run has ended, the job may run again.
    AppJob again;
    Device device;
    EXPECT_TRUE(runPages(again, &key, JobOptions{}, device, 1));
    EXPECT_FALSE(again.shadow);
    EXPECT_EQ(device.bytes, cat({proto::settings(2400, 3600), smallPageBytes(), proto::kEndOfJob}));
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
        EXPECT_EQ(p.turn, c.turn) << c.name;
        EXPECT_EQ(p.width, c.width) << c.name;
        EXPECT_EQ(p.height, c.height) << c.name;
        EXPECT_EQ(p.left, c.left) << c.name;
        EXPECT_EQ(p.top, c.top) << c.name;
    }
}

TEST(AppLayout, RowsTurnedAndDithered)
{
    unsigned char thresholds[16][16];
    for (auto& row : thresholds)
        std::fill(std::begin(row), std::end(row), 110);
    // A page of two pixels side by side: black, white. Turned left it
    // stands upright: white on top, black below.
    GreyPage page{2, 1, {0, 255}};
    Placement turned{Turn::Left, 1, 0, 0, 1, 2};
    std::uint8_t out[2];
    sheetRow(page, turned, 0, 9, thresholds, out, 2);
    EXPECT_EQ(Bytes(out, out + 2), hex("00 00"));
    sheetRow(page, turned, 1, 9, thresholds, out, 2);
    EXPECT_EQ(Bytes(out, out + 2), hex("80 00"));
    sheetRow(page, turned, 2, 9, thresholds, out, 2);
    EXPECT_EQ(Bytes(out, out + 2), hex("00 00"));

    // Upright, moved right by 7 pixels: black at pixel 7, white at 8; grey
    // 100 is darker than the threshold, grey 200 lighter.
    GreyPage grey{4, 1, {0, 255, 100, 200}};
    Placement moved{Turn::None, 1, 7, 0, 4, 1};
    sheetRow(grey, moved, 0, 16, thresholds, out, 2);
    EXPECT_EQ(Bytes(out, out + 2), hex("01 40"));

    // Halved: each sheet pixel averages two page pixels: 0 and 255 give ink
    // 128, black; 100 and 200 give 105, white.
    Placement half{Turn::None, 0.5, 0, 0, 2, 1};
    sheetRow(grey, half, 0, 8, thresholds, out, 1);
    EXPECT_EQ(out[0], 0x80);
}

TEST(AppTestPage, IsOneBitA4At600Dpi)
{
    char path[] = "/tmp/qapp-testpage-XXXXXX";
    close(mkstemp(path));
    ASSERT_TRUE(writeTestPage(path, "office-1", 21000, 29700));
    const int fd = open(path, O_RDONLY);
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t h;
    ASSERT_TRUE(cupsRasterReadHeader2(raster, &h));
    EXPECT_EQ(h.cupsBitsPerPixel, 1u);
    EXPECT_EQ(h.cupsColorSpace, CUPS_CSPACE_K);
    EXPECT_EQ(h.HWResolution[0], 600u);
    EXPECT_EQ(h.cupsWidth, 4960u);
    EXPECT_EQ(h.cupsHeight, 7015u);
    Bytes row(h.cupsBytesPerLine);
    ASSERT_EQ(cupsRasterReadPixels(raster, row.data(), h.cupsBytesPerLine), h.cupsBytesPerLine);
    EXPECT_EQ(row, Bytes(h.cupsBytesPerLine, 0xFF)); // the ruler's top line
    cupsRasterClose(raster);
    close(fd);
    unlink(path);
}

} // namespace
