// The line encoder: one raster row becomes the body of one line data
// command, run-length encoded in the PackBits manner with every data byte
// inverted (the rows have set bits white; the printer wants set bits black).
#pragma once

#include <cstdint>

#include "printer_stream.h"

// encodeRow: encode the line of three white lead bytes followed by the
// n <= kMaxRowBytes pixel bytes; returns the encoded length. pixels must have
// kScanSlack readable bytes after the row, and out room for 2 x (n + 3) +
// kScanSlack bytes.
std::uint32_t encodeRow(const unsigned char* pixels, std::uint32_t n, unsigned char* out);

// encodeLine: encode the n <= kMaxRowBytes bytes of line as they are, with
// no lead bytes (the mirrored rows of a long-edge back side); the same
// buffer rules as encodeRow.
std::uint32_t encodeLine(const unsigned char* line, std::uint32_t n, unsigned char* out);
