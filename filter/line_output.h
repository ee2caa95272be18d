// Line output: the rows of a page on the wire. All-white rows become
// blank-line commands, held back until the next data row or the page end;
// every other row goes to the line encoder with three white bytes in front.
#pragma once

#include <cups/raster.h>

#include <cstdint>

// Page store geometry: rows of 800 bytes whose pixel data starts at byte 3,
// so each row carries the three white lead bytes the printer expects.
constexpr std::uint32_t kStoreRows = 10000;
constexpr std::uint32_t kStoreRowBytes = 800;
constexpr std::uint32_t kRowLead = 3;
constexpr std::uint32_t kMaxRowBytes = kStoreRowBytes - kRowLead; // 797

extern int gFeed; // blank rows seen on this page and not yet sent

// isBlankRow: true when all n bytes are white (0xFF); true for n = 0.
bool isBlankRow(const unsigned char* p, std::uint32_t n);

// SendBlankLineData: append count blank-line commands (none if count <= 0).
void SendBlankLineData(int count);

// SendOneLineData: send pending blank rows, then the line of dots / 8 bytes.
void SendOneLineData(const unsigned char* line, std::uint32_t dots);

// SendPageRaster: send every row of the page held in store.
void SendPageRaster(const cups_page_header2_t* header, const unsigned char* store);
