// The line encoder: one raster row becomes one line data command, run-length
// encoded in the PackBits manner with every data byte inverted (the raster
// has set bits white; the printer wants set bits black).
#pragma once

#include <cstdint>

// White bytes the printer gets in front of every row's pixels.
constexpr std::uint32_t kRowLead = 3;

extern unsigned char* szCompressBuf;    // encode buffer, allocated on the first page
extern std::uint32_t gCompressBufSize;  // its size: 2 x bytes per line + 2 (plus scan slack)

// encodeLine: encode n bytes of line into out, which must hold 2 x n bytes;
// returns the number of encoded bytes (0 only for n = 0, or when a line of
// more than 4096 bytes finds no memory for its masks).
std::uint32_t encodeLine(const unsigned char* line, std::uint32_t n, unsigned char* out);

// encodeRow: encode the line of three white bytes followed by n bytes of
// pixels, as encodeLine would. pixels must have kScanSlack readable bytes
// after the row, and out room for 2 x (n + 3) + kScanSlack bytes. Rows are
// at most 4096 bytes (the page store's are at most 797); a longer one
// encodes as nothing.
std::uint32_t encodeRow(const unsigned char* pixels, std::uint32_t n, unsigned char* out);

// compressImageData: append the line data command for n bytes of line.
void compressImageData(const unsigned char* line, std::uint32_t n);

// compressRow: append the line data command for a row of n pixel bytes with
// its three white lead bytes (the filter's path; slack as for encodeRow, and
// szCompressBuf must hold 2 x (n + 3) + kScanSlack bytes).
void compressRow(const unsigned char* pixels, std::uint32_t n);
