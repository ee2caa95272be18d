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

// JpegDecoder: everything one JPEG read needs, kept apart from the stack of
// the function that libjpeg may jump out of.
struct JpegDecoder {
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
    JpegDecoder* dec = static_cast<JpegDecoder*>(info->client_data);
    (*info->err->format_message)(info, dec->message);
    std::longjmp(dec->jump, 1);
}

// jpegMessage: libjpeg's warnings; data that ends early is one of them.
void jpegMessage(j_common_ptr info, int level)
{
    JpegDecoder* dec = static_cast<JpegDecoder*>(info->client_data);
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
        dec->cutShort = true;
}

// readJpeg: the reading itself; 0 when read, 1 on libjpeg's error.
int readJpeg(JpegDecoder* dec)
{
    if (setjmp(dec->jump))
        return 1;
    jpeg_read_header(&dec->info, TRUE);
    const long w = dec->info.image_width, h = dec->info.image_height;
    const bool cmyk = dec->info.num_components == 4;
    dec->info.out_color_space = cmyk ? JCS_CMYK : JCS_GRAYSCALE;
    // libjpeg makes the picture 2, 4 or 8 times smaller nearly for free;
    // the box filter makes the rest of the way.
    dec->info.scale_num = 1;
    dec->info.scale_denom = 1;
    for (unsigned d = 8; d >= 2; d /= 2)
        if (((w + d - 1) / d) * ((h + d - 1) / d) >= dec->maxPixels) {
            dec->info.scale_denom = d;
            break;
        }
    jpeg_start_decompress(&dec->info);
    const int outW = static_cast<int>(dec->info.output_width), outH = static_cast<int>(dec->info.output_height);
    const int channels = dec->info.output_components;
    int dstW, dstH;
    fittedSize(outW, outH, dec->maxPixels, dstW, dstH);
    scalerStart(*dec->scaler, outW, outH, dstW, dstH, dec->picture->page);
    dec->row = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(outW) * channels));
    dec->grey = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(outW)));
    if (!dec->row || !dec->grey) {
        std::snprintf(dec->message, sizeof dec->message, "no memory for a row of the picture");
        return 1;
    }
    // Adobe's CMYK pictures keep their ink inverted.
    const bool inverted = cmyk && dec->info.saw_Adobe_marker;
    while (dec->info.output_scanline < dec->info.output_height) {
        JSAMPROW rows[1] = {dec->row};
        jpeg_read_scanlines(&dec->info, rows, 1);
        const unsigned char* grey = dec->row;
        if (cmyk) {
            for (int x = 0; x < outW; ++x) {
                const unsigned char* p = dec->row + 4 * x;
                dec->grey[x] = inverted ? inkToGrey(255 - p[0], 255 - p[1], 255 - p[2], 255 - p[3])
                                        : inkToGrey(p[0], p[1], p[2], p[3]);
            }
            grey = dec->grey;
        }
        scalerRow(*dec->scaler, grey);
    }
    jpeg_finish_decompress(&dec->info);
    const double unit = dec->info.density_unit == 1 ? 1 : dec->info.density_unit == 2 ? 2.54 : 0;
    if (unit > 0 && dec->info.X_density > 0)
        dec->picture->dpi = dec->info.X_density * unit * dstW / static_cast<double>(w);
    return 0;
}

// PngDecoder: everything one PNG read needs.
struct PngDecoder {
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
    PngDecoder* dec = static_cast<PngDecoder*>(png_get_error_ptr(png));
    std::snprintf(dec->message, sizeof dec->message, "%s", message);
    png_longjmp(png, 1);
}

// pngWarning: warnings (a damaged ancillary chunk) leave the picture whole.
void pngWarning(png_structp, png_const_charp) {}

// greyRow: a row of grey, or grey and alpha, as grey on white paper.
const unsigned char* greyRow(PngDecoder* dec, const unsigned char* row, int w, int channels)
{
    if (channels == 1)
        return row;
    for (int x = 0; x < w; ++x) {
        const int g = row[2 * x], a = row[2 * x + 1];
        dec->grey[x] = static_cast<unsigned char>((g * a + 255 * (255 - a) + 127) / 255);
    }
    return dec->grey;
}

// readPng: the reading itself; 0 when read, 1 on libpng's error.
int readPng(PngDecoder* dec)
{
    if (setjmp(png_jmpbuf(dec->png)))
        return 1;
    png_init_io(dec->png, dec->file);
    png_set_user_limits(dec->png, kPngMaxSide, kPngMaxSide);
    png_read_info(dec->png, dec->info);
    const long w = png_get_image_width(dec->png, dec->info), h = png_get_image_height(dec->png, dec->info);
    const int color = png_get_color_type(dec->png, dec->info);
    png_set_expand(dec->png);
    png_set_strip_16(dec->png);
    if (color & PNG_COLOR_MASK_COLOR)
        png_set_rgb_to_gray_fixed(dec->png, 1, -1, -1);
    const int passes = png_set_interlace_handling(dec->png);
    png_read_update_info(dec->png, dec->info);
    const int channels = png_get_channels(dec->png, dec->info);
    const std::size_t rowBytes = png_get_rowbytes(dec->png, dec->info);
    int dstW, dstH;
    fittedSize(w, h, dec->maxPixels, dstW, dstH);
    if (passes > 1 && static_cast<double>(rowBytes) * h > kPngInterlacedBytes) {
        dec->tooLarge = true;
        return 1;
    }
    scalerStart(*dec->scaler, static_cast<int>(w), static_cast<int>(h), dstW, dstH, dec->picture->page);
    dec->grey = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(w)));
    dec->image = static_cast<unsigned char*>(std::malloc(rowBytes * (passes > 1 ? static_cast<std::size_t>(h) : 1)));
    if (!dec->grey || !dec->image)
        png_error(dec->png, "no memory for the picture's rows");
    if (passes > 1) {
        // Each pass fills in more of every row: the whole picture is read
        // before its rows can be made smaller.
        dec->rows = static_cast<unsigned char**>(std::malloc(sizeof(unsigned char*) * static_cast<std::size_t>(h)));
        if (!dec->rows)
            png_error(dec->png, "no memory for the picture's rows");
        for (long y = 0; y < h; ++y)
            dec->rows[y] = dec->image + static_cast<std::size_t>(y) * rowBytes;
        png_read_image(dec->png, dec->rows);
        for (long y = 0; y < h; ++y)
            scalerRow(*dec->scaler, greyRow(dec, dec->rows[y], static_cast<int>(w), channels));
    } else {
        for (long y = 0; y < h; ++y) {
            png_read_row(dec->png, dec->image, nullptr);
            scalerRow(*dec->scaler, greyRow(dec, dec->image, static_cast<int>(w), channels));
        }
    }
    png_read_end(dec->png, nullptr);
    const png_uint_32 ppi = png_get_x_pixels_per_inch(dec->png, dec->info);
    if (ppi > 0)
        dec->picture->dpi = ppi * static_cast<double>(dstW) / static_cast<double>(w);
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
    JpegDecoder* dec = new JpegDecoder;
    BoxScaler scaler;
    dec->scaler = &scaler;
    dec->picture = &picture;
    dec->maxPixels = maxPixels;
    dec->info.err = jpeg_std_error(&dec->err);
    dec->err.error_exit = jpegErrorExit;
    dec->err.emit_message = jpegMessage;
    jpeg_create_decompress(&dec->info);
    dec->info.client_data = dec;
    dec->info.mem->max_memory_to_use = kJpegMemory;
    dec->file = std::fopen(path, "rb");
    int status = 1;
    if (dec->file) {
        jpeg_stdio_src(&dec->info, dec->file);
        status = readJpeg(dec);
    }
    if (!dec->file)
        picture.problem = "The JPEG image cannot be opened.";
    else if (status != 0 && dec->err.msg_code == JERR_NO_BACKING_STORE)
        picture.problem = "The JPEG image is too large to print.";
    else if (status != 0)
        picture.problem = std::string("The document is not a readable JPEG image (") + dec->message + ").";
    else if (dec->cutShort)
        picture.problem = "The JPEG image is cut short: its data ends before the end of the picture.";
    jpeg_destroy_decompress(&dec->info);
    if (dec->file)
        std::fclose(dec->file);
    std::free(dec->row);
    std::free(dec->grey);
    delete dec;
    return picture.problem.empty();
}

bool decodePng(const char* path, long maxPixels, Picture& picture)
{
    PngDecoder* dec = new PngDecoder;
    BoxScaler scaler;
    dec->scaler = &scaler;
    dec->picture = &picture;
    dec->maxPixels = maxPixels;
    dec->file = std::fopen(path, "rb");
    dec->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, dec, pngError, pngWarning);
    dec->info = dec->png ? png_create_info_struct(dec->png) : nullptr;
    int status = 1;
    if (dec->file && dec->info)
        status = readPng(dec);
    if (!dec->file)
        picture.problem = "The PNG image cannot be opened.";
    else if (dec->tooLarge)
        picture.problem = "The PNG image is too large to print (an interlaced picture is read whole).";
    else if (status != 0)
        picture.problem = std::string("The document is not a readable PNG image (damaged or cut short: ") +
                          (dec->message[0] ? dec->message : "no memory") + ").";
    png_destroy_read_struct(dec->png ? &dec->png : nullptr, dec->info ? &dec->info : nullptr, nullptr);
    if (dec->file)
        std::fclose(dec->file);
    std::free(dec->image);
    std::free(dec->rows);
    std::free(dec->grey);
    delete dec;
    return picture.problem.empty();
}
