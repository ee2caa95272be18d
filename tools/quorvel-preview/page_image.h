// Page images: one decoded page as a 1-bit greyscale PNG, drawn exactly as
// the printer receives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stream_decoder.h"

namespace quorvel {

// The size of a page's image: as wide as the paper or the widest line,
// whichever is wider, one row per line command. A page without lines still
// needs a row, and PNG allows no empty image, so it is one white row of at
// least one pixel. A turned page is drawn with the lead bytes its lines lack.
struct ImageSize {
    std::uint32_t width = 1, height = 1;
};
ImageSize pageImageSize(const DecodedPage& page, unsigned paperWidthDots, bool turned = false);

// PageRowSource: a page's line commands, decoded, by their place in the
// page (0 the first sent); rowAt is false when there is no such row.
struct PageRowSource {
    void* ctx = nullptr;
    bool (*rowAt)(void* ctx, std::size_t index, std::vector<unsigned char>& row) = nullptr;
};

// writePageImage: page to path, its rows from source, one at a time, so no
// page sits whole in memory. Black where the printer prints a dot. A turned
// page (the back of a long-edge sheet, sent bottom-up and mirrored) is drawn
// the way the sheet will show it. False, with why filled and no file left
// behind, when the file cannot be written.
bool writePageImage(const std::string& path, const DecodedPage& page, unsigned paperWidthDots, bool turned,
                    const PageRowSource& source, std::string& why);

// writePagePng: writePageImage for a page found by decodeStream or scanStream
// in the stream data, size.
bool writePagePng(const std::string& path, const unsigned char* data, std::size_t size, const DecodedPage& page,
                  unsigned paperWidthDots, bool turned, std::string& why);

}  // namespace quorvel
