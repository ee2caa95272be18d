// The line encoder: one raster row becomes one line data command, run-length
// encoded in the PackBits manner with every data byte inverted (the raster
// has set bits white; the printer wants set bits black).
#pragma once

#include <cstdint>

extern unsigned char* szCompressBuf;    // encode buffer, allocated on the first page
extern std::uint32_t gCompressBufSize;  // its size: 2 x bytes per line + 2

// encodeLine: encode n bytes of line into out, which must hold 2 x n bytes;
// returns the number of encoded bytes.
std::uint32_t encodeLine(const unsigned char* line, std::uint32_t n, unsigned char* out);

// compressImageData: append the line data command for n bytes of line.
void compressImageData(const unsigned char* line, std::uint32_t n);
