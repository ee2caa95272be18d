// Line output: the rows of a page on the wire. All-white rows become
// blank-line commands, held back until the next data row or the page end;
// every other row goes to the line encoder with three white bytes in front.
#pragma once

#include <cups/raster.h>

#include <cstdint>

#include "line_encoder.h"

// Page store geometry. The store holds up to 10000 rows of up to 797 bytes
// of pixels (the room of rows of 800 bytes that each begin with the three
// white lead bytes the printer expects). Rows are kept one after the other,
// pageRowStride bytes apart, so a page is read in a few large reads; the
// lead bytes are added by the encoder rather than stored.
constexpr std::uint32_t kStoreRows = 10000;
constexpr std::uint32_t kStoreRowBytes = 800;
constexpr std::uint32_t kMaxRowBytes = kStoreRowBytes - kRowLead; // 797

// pageRowStride: bytes from one stored row to the next: the bytes per line,
// or the sent width when a header claims fewer bytes than its width needs.
inline std::uint32_t pageRowStride(const cups_page_header2_t& header)
{
    const std::uint32_t sent = header.cupsWidth / 8;
    return header.cupsBytesPerLine > sent ? header.cupsBytesPerLine : sent;
}

extern int gFeed; // blank rows seen on this page and not yet sent

// isBlankRow: true when all n bytes are white (0xFF); true for n = 0.
bool isBlankRow(const unsigned char* p, std::uint32_t n);

// SendBlankLineData: append count blank-line commands (none if count <= 0).
void SendBlankLineData(int count);

// SendOneLineData: send pending blank rows, then the row of bytes pixel
// bytes (with its three white lead bytes).
void SendOneLineData(const unsigned char* pixels, std::uint32_t bytes);

// SendPageRaster: send every row of the page held in store, rows
// pageRowStride(*header) bytes apart.
void SendPageRaster(const cups_page_header2_t* header, const unsigned char* store);
