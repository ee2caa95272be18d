// Helpers shared by the tests: write CUPS rasters with libcups' own writer,
// and run a program as the scheduler runs a filter, capturing everything.
#pragma once

#include <cups/raster.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qtest {

using Bytes = std::vector<unsigned char>;

// One page: its header and its rows (cupsBytesPerLine bytes each). Rows may
// be fewer than cupsHeight to write a truncated page (see writeRaster).
struct RasterPage {
    cups_page_header2_t header;
    std::vector<Bytes> rows;
};

// A 1-bit white-is-set header (set bits are white) of width x height pixels.
cups_page_header2_t makeHeader(unsigned width, unsigned height, unsigned dpi = 600,
                               unsigned pageWidthPt = 0, unsigned pageHeightPt = 0);

// A page of all-white rows for header.
RasterPage whitePage(const cups_page_header2_t& header);

// Write pages to path with cupsRasterWriteHeader2/WritePixels. When
// truncateAfterBytes is set, the file is cut to that many bytes afterwards.
void writeRaster(const std::string& path, const std::vector<RasterPage>& pages,
                 cups_mode_t mode = CUPS_RASTER_WRITE_COMPRESSED);

struct RunResult {
    int status = -1;  // exit status, or -1 when killed by a signal
    int signal = 0;   // the signal that ended it, else 0
    Bytes out;        // standard output
    std::string err;  // standard error
};

// Run program with argv (argv[0] included) and extra environment entries,
// standard input from stdinPath (empty: /dev/null).
RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              const std::string& stdinPath = "");

// Paths the build gives the tests.
std::string filterPath();   // the built rastertoquorvel
std::string previewPath();  // the built quorvel-preview
std::string sourceDir();    // the project's source tree
std::string tempDir();      // a fresh directory for this test process

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);
Bytes hex(const std::string& text); // "1B 2A 41" -> bytes

}  // namespace qtest

namespace qtest {

// referenceEncode: the line encoding worked out byte by byte, the plain way:
// the yardstick the filter's fast encoder is checked against.
Bytes referenceEncode(const Bytes& line);

} // namespace qtest
