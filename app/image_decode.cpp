// JPEG and PNG pictures as grey, made smaller as they are read. libjpeg and
// libpng report errors by jumping out of the reading function, so each
// reader keeps all of its state in one plain struct that outlives the jump
// and runs in a function that holds nothing that needs destroying.
#include "image_decode.h"

#include <jpeglib.h>
#include <jerror.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// libjpeg's working memory for one picture; a progressive picture keeps
// all of its coefficients, and one that needs more is refused.
constexpr long kJpegMemory = 256L << 20;

// An interlaced PNG is read whole before it is made smaller; this many
// bytes at most.
constexpr long kPngInterlacedBytes = 256L << 20;

// The largest side libpng is asked to read.
constexpr unsigned kPngMaxSide = 200000;

// inkToGrey: grey for CMYK ink amounts.
unsigned char inkToGrey(int c, int m, int y, int k)
{
    const int ink = (30 * c + 59 * m + 11 * y) / 100 + k;
    return static_cast<unsigned char>(255 - std::min(ink, 255));
}

// JpegRun: everything one JPEG read needs, kept apart from the stack of
// the function that libjpeg may jump out of.
struct JpegRun {
    jpeg_decompress_struct info;
    jpeg_error_mgr err;
    std::jmp_buf jump;
    bool cutShort = false;
    char message[JMSG_LENGTH_MAX] = "";
    std::FILE* file = nullptr;
    unsigned char* row = nullptr;
    unsigned char* grey = nullptr;
    BoxScaler* scaler = nullptr;
    Picture* picture = nullptr;
    long maxPixels = 0;
};

// jpegErrorExit: libjpeg's fatal error: keep its words, jump out.
void jpegErrorExit(j_common_ptr info)
{
    JpegRun* run = static_cast<JpegRun*>(info->client_data);
    (*info->err->format_message)(info, run->message);
    std::longjmp(run->jump, 1);
}

// jpegMessage: libjpeg's warnings; data that ends early is one of them.
void jpegMessage(j_common_ptr info, int level)
{
    JpegRun* run = static_cast<JpegRun*>(info->client_data);
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
        run->cutShort = true;
}

// readJpeg: the reading itself; 0 when read, 1 on libjpeg's error.
int readJpeg(JpegRun* run)
{
    if (setjmp(run->jump))
        return 1;
    jpeg_read_header(&run->info, TRUE);
    const long w = run->info.image_width, h = run->info.image_height;
    const bool cmyk = run->info.num_components == 4;
    run->info.out_color_space = cmyk ? JCS_CMYK : JCS_GRAYSCALE;
    // libjpeg makes the picture 2, 4 or 8 times smaller nearly for free;
    // the box filter makes the rest of the way.
    run->info.scale_num = 1;
    run->info.scale_denom = 1;
    for (unsigned d = 8; d >= 2; d /= 2)
        if (((w + d - 1) / d) * ((h + d - 1) / d) >= run->maxPixels) {
            run->info.scale_denom = d;
            break;
        }
    jpeg_start_decompress(&run->info);
    const int outW = static_cast<int>(run->info.output_width), outH = static_cast<int>(run->info.output_height);
    const int channels = run->info.output_components;
    int dstW, dstH;
    fittedSize(outW, outH, run->maxPixels, dstW, dstH);
    scalerStart(*run->scaler, outW, outH, dstW, dstH, run->picture->page);
    run->row = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(outW) * channels));
    run->grey = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(outW)));
    if (!run->row || !run->grey) {
        std::snprintf(run->message, sizeof run->message, "no memory for a row of the picture");
        return 1;
    }
    // Adobe's CMYK pictures keep their ink inverted.
    const bool inverted = cmyk && run->info.saw_Adobe_marker;
    while (run->info.output_scanline < run->info.output_height) {
        JSAMPROW rows[1] = {run->row};
        jpeg_read_scanlines(&run->info, rows, 1);
        const unsigned char* grey = run->row;
        if (cmyk) {
            for (int x = 0; x < outW; ++x) {
                const unsigned char* p = run->row + 4 * x;
                run->grey[x] = inverted ? inkToGrey(255 - p[0], 255 - p[1], 255 - p[2], 255 - p[3])
                                        : inkToGrey(p[0], p[1], p[2], p[3]);
            }
            grey = run->grey;
        }
        scalerRow(*run->scaler, grey);
    }
    jpeg_finish_decompress(&run->info);
    const double unit = run->info.density_unit == 1 ? 1 : run->info.density_unit == 2 ? 2.54 : 0;
    if (unit > 0 && run->info.X_density > 0)
        run->picture->dpi = run->info.X_density * unit * dstW / static_cast<double>(w);
    return 0;
}

// PngRun: everything one PNG read needs.
struct PngRun {
    png_structp png = nullptr;
    png_infop info = nullptr;
    char message[200] = "";
    std::FILE* file = nullptr;
    unsigned char* image = nullptr;
    unsigned char** rows = nullptr;
    unsigned char* grey = nullptr;
    BoxScaler* scaler = nullptr;
    Picture* picture = nullptr;
    long maxPixels = 0;
    bool tooLarge = false;
};

// pngError: libpng's fatal error: keep its words, jump out.
void pngError(png_structp png, png_const_charp message)
{
    PngRun* run = static_cast<PngRun*>(png_get_error_ptr(png));
    std::snprintf(run->message, sizeof run->message, "%s", message);
    png_longjmp(png, 1);
}

// pngWarning: warnings (a damaged ancillary chunk) leave the picture whole.
void pngWarning(png_structp, png_const_charp) {}

// greyRow: a row of grey, or grey and alpha, as grey on white paper.
const unsigned char* greyRow(PngRun* run, const unsigned char* row, int w, int channels)
{
    if (channels == 1)
        return row;
    for (int x = 0; x < w; ++x) {
        const int g = row[2 * x], a = row[2 * x + 1];
        run->grey[x] = static_cast<unsigned char>((g * a + 255 * (255 - a) + 127) / 255);
    }
    return run->grey;
}

// readPng: the reading itself; 0 when read, 1 on libpng's error.
int readPng(PngRun* run)
{
    if (setjmp(png_jmpbuf(run->png)))
        return 1;
    png_init_io(run->png, run->file);
    png_set_user_limits(run->png, kPngMaxSide, kPngMaxSide);
    png_read_info(run->png, run->info);
    const long w = png_get_image_width(run->png, run->info), h = png_get_image_height(run->png, run->info);
    const int color = png_get_color_type(run->png, run->info);
    png_set_expand(run->png);
    png_set_strip_16(run->png);
    if (color & PNG_COLOR_MASK_COLOR)
        png_set_rgb_to_gray_fixed(run->png, 1, -1, -1);
    const int passes = png_set_interlace_handling(run->png);
    png_read_update_info(run->png, run->info);
    const int channels = png_get_channels(run->png, run->info);
    const std::size_t rowBytes = png_get_rowbytes(run->png, run->info);
    int dstW, dstH;
    fittedSize(w, h, run->maxPixels, dstW, dstH);
    if (passes > 1 && static_cast<double>(rowBytes) * h > kPngInterlacedBytes) {
        run->tooLarge = true;
        return 1;
    }
    scalerStart(*run->scaler, static_cast<int>(w), static_cast<int>(h), dstW, dstH, run->picture->page);
    run->grey = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(w)));
    run->image = static_cast<unsigned char*>(std::malloc(rowBytes * (passes > 1 ? static_cast<std::size_t>(h) : 1)));
    if (!run->grey || !run->image)
        png_error(run->png, "no memory for the picture's rows");
    if (passes > 1) {
        // Each pass fills in more of every row: the whole picture is read
        // before its rows can be made smaller.
        run->rows = static_cast<unsigned char**>(std::malloc(sizeof(unsigned char*) * static_cast<std::size_t>(h)));
        if (!run->rows)
            png_error(run->png, "no memory for the picture's rows");
        for (long y = 0; y < h; ++y)
            run->rows[y] = run->image + static_cast<std::size_t>(y) * rowBytes;
        png_read_image(run->png, run->rows);
        for (long y = 0; y < h; ++y)
            scalerRow(*run->scaler, greyRow(run, run->rows[y], static_cast<int>(w), channels));
    } else {
        for (long y = 0; y < h; ++y) {
            png_read_row(run->png, run->image, nullptr);
            scalerRow(*run->scaler, greyRow(run, run->image, static_cast<int>(w), channels));
        }
    }
    png_read_end(run->png, nullptr);
    const png_uint_32 ppi = png_get_x_pixels_per_inch(run->png, run->info);
    if (ppi > 0)
        run->picture->dpi = ppi * static_cast<double>(dstW) / static_cast<double>(w);
    return 0;
}

} // namespace

void fittedSize(long w, long h, long maxPixels, int& outW, int& outH)
{
    if (w * h <= maxPixels) {
        outW = static_cast<int>(w);
        outH = static_cast<int>(h);
        return;
    }
    const double f = std::sqrt(static_cast<double>(maxPixels) / (static_cast<double>(w) * h));
    outW = std::max(1, static_cast<int>(w * f));
    outH = std::max(1, static_cast<int>(h * f));
    // A picture one pixel across keeps that pixel: its length gives way.
    if (static_cast<long>(outW) * outH > maxPixels) {
        if (outW == 1)
            outH = static_cast<int>(std::max(1L, maxPixels));
        else
            outW = static_cast<int>(std::max(1L, maxPixels / outH));
    }
}

void scalerStart(BoxScaler& s, int srcW, int srcH, int dstW, int dstH, GreyPage& out)
{
    s.srcW = srcW;
    s.srcH = srcH;
    s.y = 0;
    s.rowsInBand = 0;
    s.out = &out;
    out.width = dstW;
    out.height = dstH;
    out.pixels.assign(static_cast<std::size_t>(dstW) * static_cast<std::size_t>(dstH), 255);
    s.sums.assign(static_cast<std::size_t>(dstW), 0);
    s.column.resize(static_cast<std::size_t>(srcW));
    s.columnWidth.assign(static_cast<std::size_t>(dstW), 0);
    for (int x = 0; x < srcW; ++x) {
        s.column[x] = static_cast<int>(static_cast<long long>(x) * dstW / srcW);
        ++s.columnWidth[s.column[x]];
    }
}

void scalerRow(BoxScaler& s, const unsigned char* row)
{
    if (s.y >= s.srcH)
        return;
    for (int x = 0; x < s.srcW; ++x)
        s.sums[s.column[x]] += row[x];
    ++s.rowsInBand;
    const int dstH = s.out->height, dstW = s.out->width;
    const int dy = static_cast<int>(static_cast<long long>(s.y) * dstH / s.srcH);
    ++s.y;
    const int next = s.y < s.srcH ? static_cast<int>(static_cast<long long>(s.y) * dstH / s.srcH) : dstH;
    if (next == dy)
        return;
    unsigned char* out = s.out->pixels.data() + static_cast<std::size_t>(dy) * dstW;
    for (int c = 0; c < dstW; ++c) {
        const unsigned n = static_cast<unsigned>(s.rowsInBand * s.columnWidth[c]);
        out[c] = static_cast<unsigned char>(n ? (s.sums[c] + n / 2) / n : 255);
    }
    std::fill(s.sums.begin(), s.sums.end(), 0u);
    s.rowsInBand = 0;
}

bool decodeJpeg(const char* path, long maxPixels, Picture& picture)
{
    JpegRun* run = new JpegRun;
    BoxScaler scaler;
    run->scaler = &scaler;
    run->picture = &picture;
    run->maxPixels = maxPixels;
    run->info.err = jpeg_std_error(&run->err);
    run->err.error_exit = jpegErrorExit;
    run->err.emit_message = jpegMessage;
    jpeg_create_decompress(&run->info);
    run->info.client_data = run;
    run->info.mem->max_memory_to_use = kJpegMemory;
    run->file = std::fopen(path, "rb");
    int status = 1;
    if (run->file) {
        jpeg_stdio_src(&run->info, run->file);
        status = readJpeg(run);
    }
    if (!run->file)
        picture.problem = "The JPEG image cannot be opened.";
    else if (status != 0 && run->err.msg_code == JERR_NO_BACKING_STORE)
        picture.problem = "The JPEG image is too large to print.";
    else if (status != 0)
        picture.problem = std::string("The document is not a readable JPEG image (") + run->message + ").";
    else if (run->cutShort)
        picture.problem = "The JPEG image is cut short: its data ends before the end of the picture.";
    jpeg_destroy_decompress(&run->info);
    if (run->file)
        std::fclose(run->file);
    std::free(run->row);
    std::free(run->grey);
    delete run;
    return picture.problem.empty();
}

bool decodePng(const char* path, long maxPixels, Picture& picture)
{
    PngRun* run = new PngRun;
    BoxScaler scaler;
    run->scaler = &scaler;
    run->picture = &picture;
    run->maxPixels = maxPixels;
    run->file = std::fopen(path, "rb");
    run->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, run, pngError, pngWarning);
    run->info = run->png ? png_create_info_struct(run->png) : nullptr;
    int status = 1;
    if (run->file && run->info)
        status = readPng(run);
    if (!run->file)
        picture.problem = "The PNG image cannot be opened.";
    else if (run->tooLarge)
        picture.problem = "The PNG image is too large to print (an interlaced picture is read whole).";
    else if (status != 0)
        picture.problem = std::string("The document is not a readable PNG image (damaged or cut short: ") +
                          (run->message[0] ? run->message : "no memory") + ").";
    png_destroy_read_struct(run->png ? &run->png : nullptr, run->info ? &run->info : nullptr, nullptr);
    if (run->file)
        std::fclose(run->file);
    std::free(run->image);
    std::free(run->rows);
    std::free(run->grey);
    delete run;
    return picture.problem.empty();
}
