// Page images: rows are decoded one at a time from the stream and written
// straight to libpng, so a long page never sits whole in memory.
#include "page_image.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "printer_commands.h"

namespace quorvel {
namespace {

// Where libpng's error handler leaves its message: a fixed buffer, so that
// nothing in the handler allocates or throws on its way back to setjmp.
struct PngError {
    char message[200] = "";
};

// onPngError: keep libpng's message and go back to encodePng's setjmp.
void onPngError(png_structp png, png_const_charp message)
{
    PngError* error = static_cast<PngError*>(png_get_error_ptr(png));
    std::snprintf(error->message, sizeof error->message, "%s", message ? message : "libpng error");
    png_longjmp(png, 1);
}

// onPngWarning: libpng's warnings say nothing about the page; drop them.
void onPngWarning(png_structp, png_const_charp) {}

// toImageRow: a decoded line into an image row in PNG polarity (0 = black),
// white past the end of the line. A turned row (it has no lead bytes) is
// mirrored back behind three white lead bytes, so it lines up with the front
// sides.
void toImageRow(const std::vector<unsigned char>& line, bool turned, std::vector<unsigned char>& scratch,
                std::vector<unsigned char>& image)
{
    std::fill(image.begin(), image.end(), 0xFF);
    const unsigned char* bytes = line.data();
    std::size_t at = 0;
    if (turned && !line.empty()) {
        scratch.resize(line.size());
        mirrorBytes(line.data(), static_cast<std::uint32_t>(line.size()), scratch.data());
        bytes = scratch.data();
        at = kRowLead;
    }
    for (std::size_t i = 0; i < line.size() && at + i < image.size(); ++i)
        image[at + i] = static_cast<unsigned char>(~bytes[i]);
}

// A page in memory: walked in order, or through the rows' offsets when a
// turned page is drawn from its last row.
struct MemoryRows {
    PageRows walk;
    std::vector<std::size_t> rowsAt;
};

// memoryRowAt: PageRowSource::rowAt for a page in memory.
bool memoryRowAt(void* ctx, std::size_t index, std::vector<unsigned char>& row)
{
    auto* m = static_cast<MemoryRows*>(ctx);
    if (!m->rowsAt.empty()) {
        if (index >= m->rowsAt.size())
            return false;
        m->walk.pos = m->rowsAt[index];
    }
    return nextPageRow(m->walk, row);
}

// A page being drawn: where its rows come from, and the buffers a row is
// drawn in, which live outside encodePng's setjmp region.
struct PageDrawing {
    const PageRowSource& source;
    std::size_t rows;
    bool turned;
    std::vector<unsigned char> line, scratch, image;
};

// writeRows: every row of the image to libpng; a turned page is sent bottom
// row first, so it is drawn from the last.
void writeRows(png_structp png, std::uint32_t height, PageDrawing& d)
{
    for (std::uint32_t r = 0; r < height; ++r) {
        d.line.clear();
        if (r < d.rows && !d.source.rowAt(d.source.ctx, d.turned ? d.rows - 1 - r : r, d.line))
            d.line.clear();
        toImageRow(d.line, d.turned, d.scratch, d.image);
        png_write_row(png, d.image.data());
    }
}

// encodePng: the image as a PNG into fp. The only function with a setjmp:
// it holds nothing with a destructor and changes no local after the setjmp,
// so libpng's longjmp back to it skips nothing and finds its locals as they
// were. False, with libpng's message, on an error.
bool encodePng(std::FILE* fp, ImageSize dims, PageDrawing& d, PngError& error)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, onPngError, onPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        std::snprintf(error.message, sizeof error.message, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, fp);
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);  // tall pages are legal, however many blank lines
    png_set_IHDR(png, info, dims.width, dims.height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    writeRows(png, dims.height, d);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

ImageSize pageImageSize(const DecodedPage& page, unsigned paperWidthDots, bool turned)
{
    ImageSize size;
    const std::size_t widest = page.widestLine + (turned ? kRowLead : 0);
    size.width = std::max<std::uint32_t>({1u, paperWidthDots, static_cast<std::uint32_t>(widest * 8)});
    size.height = std::max(1u, page.dataLines + page.blankLines);
    return size;
}

bool writePageImage(const std::string& path, const DecodedPage& page, unsigned paperWidthDots, bool turned,
                    const PageRowSource& source, std::string& why)
{
    const ImageSize dims = pageImageSize(page, paperWidthDots, turned);
    PageDrawing d{source, std::size_t{page.dataLines} + page.blankLines, turned, {}, {}, {}};
    d.image.resize((dims.width + 7) / 8);
    d.line.reserve(page.widestLine);
    d.scratch.reserve(page.widestLine);

    std::FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) {
        why = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    PngError error;
    if (!encodePng(fp, dims, d, error)) {
        std::fclose(fp);
        std::remove(path.c_str());
        why = "cannot write " + path + ": " + error.message;
        return false;
    }
    if (std::fclose(fp) != 0) {
        why = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(path.c_str());
        return false;
    }
    return true;
}

bool writePagePng(const std::string& path, const unsigned char* data, std::size_t size, const DecodedPage& page,
                  unsigned paperWidthDots, bool turned, std::string& why)
{
    MemoryRows rows{{data, size, page.offset}, {}};
    if (turned) {
        std::vector<unsigned char> line;
        for (PageRows scan = rows.walk; rows.rowsAt.push_back(scan.pos), nextPageRow(scan, line);)
            ;
        rows.rowsAt.pop_back();
    }
    return writePageImage(path, page, paperWidthDots, turned, PageRowSource{&rows, memoryRowAt}, why);
}

}  // namespace quorvel
