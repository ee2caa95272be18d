// The application's job logic where a server cannot show it: option bands,
// two jobs printing at once, device writes that are interrupted or cut short,
// page placement, 1-bit rows, the JPEG end check, a document's format and
// pictures read as grey.
#include <gtest/gtest.h>

#include <jpeglib.h>
#include <png.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "document_check.h"
#include "driver.h"
#include "image_decode.h"
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
    EXPECT_EQ(pageProblem(grey, 1), "Page 1 has 8 bits per pixel; this printer takes 1 bit per pixel");
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

// The small page: 16 x 2 pixels on a 4 x 6 inch sheet at 600 dpi (2400 x
// 3600 dots), the first 8 pixels of row 0 black.
const QuorvelPage kSmallPage{288, 432, 600, 600, 1, 16, 2, 2, 1, 3};
const unsigned char kRow0[] = {0xFF, 0x00}, kRow1[] = {0x00, 0x00};

// printSmallPage: the small page through a job's page calls.
bool printSmallPage(AppJob& job)
{
    return appPageBegin(job, kSmallPage, kSmallPage) && appRow(job, kRow0) && appRow(job, kRow1) && appPageEnd(job);
}

// runPages: pages small pages into device.
bool runPages(AppJob& job, Device& device, int pages)
{
    appJobBegin(job, JobOptions{}, deviceWrite, &device);
    bool ok = true;
    for (int p = 0; p < pages; ++p)
        ok = printSmallPage(job) && ok;
    return appJobEnd(job) && ok;
}

// That job as the printer gets it: row 0 behind its three white lead bytes
// (FF FF FF 00 FF once inverted), one blank line.
const Bytes kSmallJob = cat({proto::settings(2400, 3600), proto::kBeginPage, proto::lineCmd(hex("FE 00 00 FF 00 00")),
                             proto::kBlank, proto::kEndPage, proto::kEndOfJob});

// Each job's state is its own: two jobs whose pages and rows interleave,
// as on two printers at once, each send their whole stream to their own
// device, and a job begun again starts a fresh stream.
TEST(AppJobStream, JobsAtOnceEachSendTheirOwnStream)
{
    AppJob first, second, again;
    Device one, two, three;
    appJobBegin(first, JobOptions{}, deviceWrite, &one);
    appJobBegin(second, JobOptions{}, deviceWrite, &two);
    EXPECT_TRUE(appPageBegin(first, kSmallPage, kSmallPage));
    EXPECT_TRUE(appPageBegin(second, kSmallPage, kSmallPage));
    EXPECT_TRUE(appRow(first, kRow0) && appRow(second, kRow0) && appRow(second, kRow1) && appRow(first, kRow1));
    EXPECT_TRUE(appPageEnd(second) && appPageEnd(first));
    EXPECT_TRUE(appJobEnd(first));
    EXPECT_EQ(one.bytes, kSmallJob);
    EXPECT_TRUE(two.bytes.size() < kSmallJob.size()); // still held in its own output cache
    EXPECT_TRUE(appJobEnd(second));
    EXPECT_EQ(two.bytes, kSmallJob);
    EXPECT_TRUE(runPages(again, three, 1));
    EXPECT_EQ(three.bytes, kSmallJob);
}

TEST(AppDeviceWrites, InterruptedAndShortWritesResume)
{
    AppJob job;
    Device device{{}, 3, 7};
    EXPECT_TRUE(runPages(job, device, 1));
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
        mediaRow(page, turned, y, 9, thresholds, out, 2);
        EXPECT_EQ(Bytes(out, out + 2), turnedRows[y]) << y;
    }
    // Turned right, the black pixel is on top. A black top left corner
    // turned over is the bottom right one.
    mediaRow(page, Placement{Turn::Right, 1, 0, 0, 1, 2}, 0, 9, thresholds, out, 2);
    EXPECT_EQ(Bytes(out, out + 2), hex("80 00"));
    mediaRow(GreyPage{2, 2, {0, 255, 255, 255}}, Placement{Turn::UpsideDown, 1, 0, 0, 2, 2}, 1, 9, thresholds, out, 2);
    EXPECT_EQ(Bytes(out, out + 2), hex("40 00"));
    // Moved right by 7: grey 100 is darker than the threshold, 200 lighter;
    // halved, 0+255 averages to black and 100+200 to white.
    GreyPage grey{4, 1, {0, 255, 100, 200}};
    mediaRow(grey, Placement{Turn::None, 1, 7, 0, 4, 1}, 0, 16, thresholds, out, 2);
    EXPECT_EQ(Bytes(out, out + 2), hex("01 40"));
    mediaRow(grey, Placement{Turn::None, 0.5, 0, 0, 2, 1}, 0, 8, thresholds, out, 1);
    EXPECT_EQ(out[0], 0x80);

    // 1-bit rows: 12 pixels "F0 F0" (black, white, black, white in fours)
    // moved onto a sheet of 20 pixels.
    const std::uint8_t bits[] = {0xF0, 0xF0};
    struct {
        int left;
        const char* row;
    } const shifts[] = {{0, "F0 F0 00"}, {8, "00 F0 F0"}, {3, "1E 1E 00"}, {-4, "0F 00 00"},
                        {13, "00 07 80"}, {20, "00 00 00"}, {-12, "00 00 00"},
                        {-8, "F0 00 00"}, {16, "00 00 F0"}};
    for (const auto& s : shifts) {
        std::fill(std::begin(out), std::end(out), 0xAA);
        placeBits(bits, 12, s.left, 20, out, 3);
        EXPECT_EQ(Bytes(out, out + 3), hex(s.row)) << s.left;
    }
}

TEST(AppLayout, PageMatrixPutsThePageWherePlaced)
{
    // A 300 x 400 point page at half size, its corner 100 pixels from the
    // left and 200 from the top of a sheet 2000 pixels high at 72 dpi (a
    // pixel a point): its top edge is 1800 points up.
    struct {
        Turn turn;
        double m[6];
    } const cases[] = {
        {Turn::None, {0.5, 0, 0, 0.5, 100, 1600}},
        {Turn::Left, {0, 0.5, -0.5, 0, 300, 1650}},
        {Turn::Right, {0, -0.5, 0.5, 0, 100, 1800}},
        {Turn::UpsideDown, {-0.5, 0, 0, -0.5, 250, 1800}},
    };
    for (const auto& c : cases) {
        double m[6];
        pageMatrix(Placement{c.turn, 0.5, 100, 200, 0, 0}, 300, 400, 2000, 72, m);
        EXPECT_EQ(std::vector<double>(m, m + 6), std::vector<double>(c.m, c.m + 6)) << static_cast<int>(c.turn);
    }
    // At 144 dpi a pixel is half a point.
    double m[6];
    pageMatrix(Placement{Turn::None, 1, 10, 20, 0, 0}, 100, 50, 400, 144, m);
    EXPECT_EQ(std::vector<double>(m, m + 6), std::vector<double>({1, 0, 0, 1, 5, 140}));
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

namespace {

// writePng: a picture written with libpng itself, rows of raw samples.
std::string writePng(const char* name, int w, int h, int colorType, int depth, const Bytes& samples,
                     bool interlaced = false)
{
    const std::string path = ::testing::TempDir() + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, w, h, depth, colorType, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t rowBytes = samples.size() / h;
    std::vector<png_bytep> rows;
    for (int y = 0; y < h; ++y)
        rows.push_back(const_cast<png_bytep>(samples.data() + y * rowBytes));
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return path;
}

// writeJpeg: a picture written with libjpeg itself.
std::string writeJpeg(const char* name, int w, int h, J_COLOR_SPACE space, int channels, const Bytes& samples)
{
    const std::string path = ::testing::TempDir() + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = w;
    c.image_height = h;
    c.input_components = channels;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 100, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + c.next_scanline * w * channels);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
    return path;
}

} // namespace

TEST(AppPictures, ReadAsGreyOnWhitePaper)
{
    struct {
        const char* name;
        int w, h, type, depth;
        const char* samples;
        const char* grey;
    } const cases[] = {
        {"grey.png", 4, 1, PNG_COLOR_TYPE_GRAY, 8, "00 40 80 FF", "00 40 80 FF"},
        {"deep.png", 3, 1, PNG_COLOR_TYPE_GRAY, 16, "00 00 FF FF 80 00", "00 FF 80"},
        // Black opaque, black transparent, black half covering white paper.
        {"alpha.png", 3, 1, PNG_COLOR_TYPE_GRAY_ALPHA, 8, "00 FF 00 00 00 80", "00 FF 7F"},
        // libpng's weights: red 6968, green 23434, blue 2366 of 32768.
        {"rgb.png", 3, 1, PNG_COLOR_TYPE_RGB, 8, "FF 00 00 00 FF 00 FF FF FF", "36 B6 FF"},
        {"bits.png", 8, 1, PNG_COLOR_TYPE_GRAY, 1, "A5", "FF 00 FF 00 00 FF 00 FF"},
    };
    for (const auto& c : cases) {
        Picture p;
        ASSERT_TRUE(decodePng(writePng(c.name, c.w, c.h, c.type, c.depth, hex(c.samples)).c_str(), 1000, p)) << p.problem;
        EXPECT_EQ(Bytes(p.page.pixels.begin(), p.page.pixels.end()), hex(c.grey)) << c.name;
    }
    // Interlaced, the picture is the same.
    const Bytes ramp = hex("00 10 20 30 40 50 60 70 80 90 A0 B0 C0 D0 E0 F0 FF 00 10 20 30 40 50 60 70 80 90");
    Picture flat, laced;
    ASSERT_TRUE(decodePng(writePng("flat.png", 9, 3, PNG_COLOR_TYPE_GRAY, 8, ramp).c_str(), 1000, flat));
    ASSERT_TRUE(decodePng(writePng("laced.png", 9, 3, PNG_COLOR_TYPE_GRAY, 8, ramp, true).c_str(), 1000, laced));
    EXPECT_EQ(laced.page.pixels, flat.page.pixels);
    EXPECT_EQ(Bytes(flat.page.pixels.begin(), flat.page.pixels.end()), ramp);
}

TEST(AppPictures, LargePicturesAreAveragedDown)
{
    // 4 x 2 averaged into 2 x 1 (at most 2 pixels): each pixel is the mean
    // of a 2 x 2 block, rounded.
    Picture p;
    ASSERT_TRUE(decodePng(writePng("big.png", 4, 2, PNG_COLOR_TYPE_GRAY, 8, hex("00 FF 10 20 FF 00 30 41")).c_str(), 2, p));
    EXPECT_EQ(p.page.width, 2);
    EXPECT_EQ(p.page.height, 1);
    EXPECT_EQ(Bytes(p.page.pixels.begin(), p.page.pixels.end()), hex("80 28"));
    struct {
        long w, h, max;
        int outW, outH;
    } const sizes[] = {{100, 50, 5000, 100, 50}, {100, 50, 1250, 50, 25}, {30000, 30000, 900, 30, 30},
                       {1, 40000, 100, 1, 100}};
    for (const auto& s : sizes) {
        int w, h;
        fittedSize(s.w, s.h, s.max, w, h);
        EXPECT_EQ(w, s.outW) << s.w << "x" << s.h;
        EXPECT_EQ(h, s.outH) << s.w << "x" << s.h;
    }
}

TEST(AppPictures, JpegGreyAndAdobeCmyk)
{
    Picture grey, cmyk;
    ASSERT_TRUE(decodeJpeg(writeJpeg("grey.jpg", 8, 8, JCS_GRAYSCALE, 1, Bytes(64, 0x80)).c_str(), 1000, grey));
    for (unsigned char v : grey.page.pixels)
        EXPECT_NEAR(v, 0x80, 2);
    // Adobe's CMYK keeps ink inverted: FF FF FF 00 is black ink alone, all
    // FF no ink at all. Left half black, right half white.
    Bytes samples;
    for (int i = 0; i < 64; ++i)
        for (unsigned char b : hex(i % 8 < 4 ? "FF FF FF 00" : "FF FF FF FF"))
            samples.push_back(b);
    ASSERT_TRUE(decodeJpeg(writeJpeg("cmyk.jpg", 8, 8, JCS_CMYK, 4, samples).c_str(), 1000, cmyk));
    EXPECT_NEAR(cmyk.page.pixels[0], 0, 8);
    EXPECT_NEAR(cmyk.page.pixels[7], 255, 8);
}

// cutFile: the first bytes of file path, as a new file named name.
std::string cutFile(const std::string& path, const char* name, std::size_t bytes)
{
    const std::string cut = ::testing::TempDir() + name;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    std::FILE* out = std::fopen(cut.c_str(), "wb");
    std::vector<char> buffer(bytes);
    std::fwrite(buffer.data(), 1, std::fread(buffer.data(), 1, bytes, in), out);
    std::fclose(in);
    std::fclose(out);
    return cut;
}

TEST(AppPictures, DamagedPicturesSayWhy)
{
    const std::string whole = writePng("whole.png", 64, 64, PNG_COLOR_TYPE_GRAY, 8, Bytes(64 * 64, 0x33));
    Picture p;
    EXPECT_FALSE(decodePng(cutFile(whole, "cut.png", 60).c_str(), 1000, p));
    EXPECT_EQ(p.problem.rfind("The document is not a readable PNG image (damaged or cut short", 0), 0u) << p.problem;
    Picture q;
    EXPECT_FALSE(decodeJpeg(whole.c_str(), 1000, q));
    EXPECT_EQ(q.problem.rfind("The document is not a readable JPEG image (", 0), 0u) << q.problem;
    // A JPEG whose data stops halfway: libjpeg only warns, and fills in.
    Bytes stripes(64 * 64);
    for (std::size_t i = 0; i < stripes.size(); ++i)
        stripes[i] = static_cast<unsigned char>((i / 3) % 2 ? 0x10 : 0xf0);
    const std::string jpeg = writeJpeg("stripes.jpg", 64, 64, JCS_GRAYSCALE, 1, stripes);
    std::FILE* f = std::fopen(jpeg.c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    Picture r;
    EXPECT_FALSE(decodeJpeg(cutFile(jpeg, "cut.jpg", static_cast<std::size_t>(size) * 2 / 3).c_str(), 1000, r));
    EXPECT_EQ(r.problem, "The JPEG image is cut short: its data ends before the end of the picture.");
}

// Copies of attributes hold collections of their own (the server answers
// clients from such copies on many threads at once), nested ones too, and
// keep to the caller's choice of attributes.
TEST(AppIppCopies, CollectionsAreCopiedWhole)
{
#if QUORVEL_PAPPL_VERSION >= 10410
    GTEST_SKIP() << "PAPPL 1.4.10 and later copy attributes safely; the stand-in is not built";
#endif
    ipp_t* size = ippNew();
    ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "x-dimension", 21000);
    ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "y-dimension", 29700);
    ipp_t* col = ippNew();
    ippAddCollection(col, IPP_TAG_ZERO, "media-size", size);
    ippAddString(col, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-source", nullptr, "main");
    ipp_t* src = ippNew();
    ippAddCollection(src, IPP_TAG_PRINTER, "media-col-default", col);
    ippAddString(src, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "sides-default", nullptr, "one-sided");
    ippAddInteger(src, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "copies-default", 1);

    ipp_t* dst = ippNew();
    const auto notCopies = [](void*, ipp_t*, ipp_attribute_t* attr) {
        return std::string(ippGetName(attr)) == "copies-default" ? 0 : 1;
    };
    ASSERT_TRUE(ippCopyAttributes(dst, src, 1, notCopies, nullptr));

    EXPECT_EQ(ippFindAttribute(dst, "copies-default", IPP_TAG_ZERO), nullptr);
    ipp_attribute_t* sides = ippFindAttribute(dst, "sides-default", IPP_TAG_KEYWORD);
    ASSERT_NE(sides, nullptr);
    EXPECT_STREQ(ippGetString(sides, 0, nullptr), "one-sided");
    ipp_attribute_t* copied = ippFindAttribute(dst, "media-col-default", IPP_TAG_BEGIN_COLLECTION);
    ASSERT_NE(copied, nullptr);
    EXPECT_EQ(ippGetGroupTag(copied), IPP_TAG_PRINTER);
    ipp_t* copiedCol = ippGetCollection(copied, 0);
    ASSERT_NE(copiedCol, nullptr);
    EXPECT_NE(copiedCol, col);
    ipp_attribute_t* copiedSize = ippFindAttribute(copiedCol, "media-size", IPP_TAG_BEGIN_COLLECTION);
    ASSERT_NE(copiedSize, nullptr);
    EXPECT_NE(ippGetCollection(copiedSize, 0), size);
    EXPECT_EQ(ippGetInteger(ippFindAttribute(ippGetCollection(copiedSize, 0), "x-dimension", IPP_TAG_INTEGER), 0), 21000);
    EXPECT_EQ(ippGetInteger(ippFindAttribute(ippGetCollection(copiedSize, 0), "y-dimension", IPP_TAG_INTEGER), 0), 29700);
    EXPECT_STREQ(ippGetString(ippFindAttribute(copiedCol, "media-source", IPP_TAG_KEYWORD), 0, nullptr), "main");

    // The source is whole after its copy is gone.
    ippDelete(dst);
    EXPECT_EQ(ippGetInteger(ippFindAttribute(size, "y-dimension", IPP_TAG_INTEGER), 0), 29700);
    ippDelete(src);
    ippDelete(col);
    ippDelete(size);
}
