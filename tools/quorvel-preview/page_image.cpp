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

// onPngError: keep libpng's message and go back to writePagePng's setjmp.
void onPngError(png_structp png, png_const_charp message)
{
    *static_cast<std::string*>(png_get_error_ptr(png)) = message;
    png_longjmp(png, 1);
}

// onPngWarning: libpng's warnings say nothing about the page; drop them.
void onPngWarning(png_structp, png_const_charp) {}

// fillRow: the next image row in PNG polarity (0 = black), white past the
// end of the line and for blank lines.
void fillRow(PageRows& walk, std::vector<unsigned char>& line, std::vector<unsigned char>& image)
{
    std::fill(image.begin(), image.end(), 0xFF);
    if (nextPageRow(walk, line))
        for (std::size_t i = 0; i < line.size() && i < image.size(); ++i)
            image[i] = static_cast<unsigned char>(~line[i]);
}

// fillTurnedRow: a row of a long-edge back side, turned back the way the
// sheet shows it: the row's bytes (it has no lead bytes) mirrored back, behind
// three white lead bytes, so it lines up with the front sides.
void fillTurnedRow(PageRows& walk, std::vector<unsigned char>& line, std::vector<unsigned char>& image)
{
    std::fill(image.begin(), image.end(), 0xFF);
    if (nextPageRow(walk, line) && !line.empty()) {
        std::vector<unsigned char> unturned(line.size());
        mirrorBytes(line.data(), static_cast<std::uint32_t>(line.size()), unturned.data());
        for (std::size_t i = 0; i < unturned.size() && kRowLead + i < image.size(); ++i)
            image[kRowLead + i] = static_cast<unsigned char>(~unturned[i]);
    }
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

bool writePagePng(const std::string& path, const unsigned char* data, std::size_t size, const DecodedPage& page,
                  unsigned paperWidthDots, bool turned, std::string& why)
{
    // Everything with a destructor lives outside the setjmp region: a
    // longjmp from libpng must not skip one.
    const ImageSize dims = pageImageSize(page, paperWidthDots, turned);
    std::vector<unsigned char> line, image((dims.width + 7) / 8);
    PageRows walk{data, size, page.offset};
    std::string pngMessage;
    // A turned page is sent bottom row first: find where each row starts,
    // and draw them from the last.
    std::vector<std::size_t> rowsAt;
    if (turned) {
        for (PageRows scan = walk; rowsAt.push_back(scan.pos), nextPageRow(scan, line);)
            ;
        rowsAt.pop_back();
    }

    std::FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) {
        why = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &pngMessage, onPngError, onPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, &info);
        std::fclose(fp);
        std::remove(path.c_str());
        why = "cannot write " + path + ": out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(fp);
        std::remove(path.c_str());
        why = "cannot write " + path + ": " + pngMessage;
        return false;
    }
    png_init_io(png, fp);
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);  // tall pages are legal, however many blank lines
    png_set_IHDR(png, info, dims.width, dims.height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::uint32_t r = 0; r < dims.height; ++r) {
        if (turned && r < rowsAt.size()) {
            walk.pos = rowsAt[rowsAt.size() - 1 - r];
            fillTurnedRow(walk, line, image);
        } else {
            fillRow(walk, line, image);
        }
        png_write_row(png, image.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(fp) != 0) {
        why = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(path.c_str());
        return false;
    }
    return true;
}

}  // namespace quorvel
