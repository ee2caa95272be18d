// Helpers shared by the tests: bytes from hex, rasters written with libcups'
// own writer, and programs run as the scheduler runs a filter.
#pragma once

#include <cups/raster.h>

#include <string>
#include <vector>

namespace qtest {

using Bytes = std::vector<unsigned char>;

Bytes hex(const std::string& text);  // "1B 2A 41" -> bytes
std::string hex(const Bytes& bytes); // and back, for readable failures

// One page: its header and its rows; fewer rows than cupsHeight make a
// truncated page.
struct RasterPage {
    cups_page_header2_t header;
    std::vector<Bytes> rows;
};

// whitePage: a white-is-set 1-bit page of width x height pixels, all white.
RasterPage whitePage(unsigned width, unsigned height, unsigned dpi = 600);

void writeRaster(const std::string& path, const std::vector<RasterPage>& pages,
                 cups_mode_t mode = CUPS_RASTER_WRITE_COMPRESSED);

struct RunResult {
    int status = -1; // exit status, -1 when a signal ended it
    Bytes out;       // standard output
    std::string err; // standard error
};

// run: a shell command line, its output and error captured.
RunResult run(const std::string& command);

std::string tempDir(); // a fresh directory for this test process
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

}  // namespace qtest
