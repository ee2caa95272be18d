// The filter's real output read back: decoded rows against the raster that
// libcups wrote, pixel for pixel, and the PNG pages quorvel-preview draws.
#include <gtest/gtest.h>

#include <png.h>

#include <random>

#include "preview_test.h"
#include "stream_decoder.h"

using namespace ptest;

namespace {

// A page whose rows cycle through white, black, noise, stripes and a single
// dot; the partial byte past width / 8, which the filter ignores, is black.
qtest::RasterPage patternPage(unsigned width, unsigned height, unsigned seed)
{
    qtest::RasterPage page = qtest::whitePage(qtest::makeHeader(width, height, 300));
    std::mt19937 rng(seed);
    for (unsigned r = 0; r < height; ++r) {
        Bytes& row = page.rows[r];
        for (std::size_t i = 0; i < width / 8; ++i) {
            const unsigned kind = r % 5;
            row[i] = kind == 0 ? 0xFF : kind == 1 ? 0x00 : kind == 2 ? static_cast<unsigned char>(rng())
                   : kind == 3 ? (i / 9 % 2 ? 0x0F : 0xFF) : 0xFF;
        }
        if (r % 5 == 4)
            row[rng() % (width / 8)] = 0xFE;
        if (width % 8)
            row.back() = 0x00;
    }
    return page;
}

const std::vector<qtest::RasterPage> kPages = {patternPage(1001, 120, 7), patternPage(64, 40, 8)};

// filterOutput: the job above through the built filter, as the scheduler runs it.
Bytes filterOutput(const std::string& options = "")
{
    const std::string raster = qtest::tempDir() + "/pages.ras";
    qtest::writeRaster(raster, kPages);
    const qtest::RunResult r = qtest::run({qtest::filterPath(), "1", "user", "title", "1", options, raster},
                                          {{"PPD", qtest::sourceDir() + "/ppd/quorvel.ppd"}});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// readGrey: a PNG file as 8-bit grey pixels (0 black, 255 white), after
// checking that it is stored as 1-bit greyscale.
Bytes readGrey(const std::string& path, png_uint_32& width, png_uint_32& height)
{
    const std::string file = qtest::readFile(path);
    EXPECT_TRUE(file.size() > 26 && file[24] == 1 && file[25] == 0) << path << " is not 1-bit grey";
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Bytes grey;
    if (png_image_begin_read_from_file(&image, path.c_str())) {
        image.format = PNG_FORMAT_GRAY;
        grey.resize(PNG_IMAGE_SIZE(image));
        EXPECT_TRUE(png_image_finish_read(&image, nullptr, grey.data(), 0, nullptr)) << path;
    }
    width = image.width;
    height = image.height;
    return grey;
}

// The pages as drawn, one-sided and as the backs of long-edge sheets (sent
// bottom-up and mirrored, drawn turned back): both show the raster.
TEST(FilterPreview, PngPagesShowTheRasterAsPrinted)
{
  for (const std::string options : {"", "Duplex=DuplexNoTumble"}) {
    SCOPED_TRACE(options);
    const std::string prefix = qtest::tempDir() + "/job";
    const qtest::RunResult r = runPreview(filterOutput(options), {"--output", prefix});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string summary(r.out.begin(), r.out.end());
    EXPECT_NE(summary.find("page 1: 120 rows, 96 data lines, 24 blank lines, "), std::string::npos) << summary;
    EXPECT_NE(summary.find("wrote " + prefix + "-2.png\n"), std::string::npos) << summary;

    const unsigned expectedWidth[] = {1024, 1000};  // the widest line, else the paper
    for (std::size_t p = 0; p < kPages.size(); ++p) {
        png_uint_32 width = 0, height = 0;
        const Bytes grey = readGrey(prefix + "-" + std::to_string(p + 1) + ".png", width, height);
        const qtest::RasterPage& page = kPages[p];
        EXPECT_EQ(width, expectedWidth[p]);
        ASSERT_EQ(height, page.header.cupsHeight);
        const unsigned dataBits = page.header.cupsWidth / 8 * 8;
        for (unsigned y = 0; y < height; ++y)
            for (unsigned x = 0; x < width; ++x) {
                const unsigned px = x - 24;  // past the three lead bytes, which are white
                const bool white = x < 24 || px >= dataBits || (page.rows[y][px / 8] >> (7 - px % 8) & 1);
                ASSERT_EQ(grey[y * width + x], white ? 255 : 0) << "page " << p << " x " << x << " y " << y;
            }
    }
  }
}

// Hand-made pages: one without lines is one white row; a line that starts
// black is drawn from its first pixel.
TEST(FilterPreview, HandMadePages)
{
    const struct {
        Bytes page;
        png_uint_32 width;
        Bytes grey;
    } cases[] = {
        {cat({kBeginPage, kEndPage}), 100, Bytes(100, 255)},
        {cat({kBeginPage, proto::lineCmd(hex("01 FF 0F")), kEndPage}), 100,
         cat({Bytes(8, 0), Bytes(4, 255), Bytes(4, 0), Bytes(84, 255)})},
    };
    for (const auto& c : cases) {
        const std::string prefix = qtest::tempDir() + "/hand";
        const qtest::RunResult r = runPreview(cat({settingsBlock(100, 50), c.page}), {"-o", prefix});
        ASSERT_EQ(r.status, 0) << r.err;
        png_uint_32 width = 0, height = 0;
        EXPECT_EQ(readGrey(prefix + "-1.png", width, height), c.grey);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, 1u);
    }
}

}  // namespace
