// Helpers shared by the tests: bytes from hex and back, rasters written with
// libcups' own writer, and programs run through the shell as the scheduler
// runs a filter.
#pragma once

#include <cups/raster.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qtest {

using Bytes = std::vector<unsigned char>;

inline Bytes hex(const std::string& text) // "1B 2A 41" -> bytes
{
    Bytes bytes;
    std::istringstream in(text);
    for (std::string token; in >> token;)
        bytes.push_back(static_cast<unsigned char>(std::stoul(token, nullptr, 16)));
    return bytes;
}

inline std::string hex(const Bytes& bytes) // and back, for readable failures
{
    std::string text;
    for (const unsigned char b : bytes)
        text += std::string{"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15], ' '};
    return text;
}

// One page: its header and its rows; fewer rows than cupsHeight make a
// truncated page.
struct RasterPage {
    cups_page_header2_t header;
    std::vector<Bytes> rows;
};

// whitePage: a white-is-set 1-bit page of width x height pixels, all white.
inline RasterPage whitePage(unsigned width, unsigned height, unsigned dpi = 600)
{
    cups_page_header2_t h;
    std::memset(&h, 0, sizeof h);
    h.HWResolution[0] = h.HWResolution[1] = dpi;
    h.PageSize[0] = width * 72 / dpi, h.PageSize[1] = height * 72 / dpi;
    h.NumCopies = h.cupsBitsPerColor = h.cupsBitsPerPixel = h.cupsNumColors = 1;
    h.cupsWidth = width, h.cupsHeight = height, h.cupsBytesPerLine = (width + 7) / 8;
    h.cupsColorSpace = CUPS_CSPACE_W;
    return {h, std::vector<Bytes>(height, Bytes(h.cupsBytesPerLine, 0xFF))};
}

inline void writeRaster(const std::string& path, const std::vector<RasterPage>& pages,
                        cups_mode_t mode = CUPS_RASTER_WRITE_COMPRESSED)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t* ras = cupsRasterOpen(fd, mode);
    for (RasterPage page : pages) {
        cupsRasterWriteHeader2(ras, &page.header);
        for (Bytes& row : page.rows)
            cupsRasterWritePixels(ras, row.data(), static_cast<unsigned>(row.size()));
    }
    cupsRasterClose(ras);
    close(fd);
}

inline std::string tempDir() // a fresh directory for this test process
{
    static std::string dir;
    if (dir.empty()) {
        dir = (std::filesystem::temp_directory_path() / "quorvel-test-XXXXXX").string();
        if (mkdtemp(dir.data()) == nullptr)
            std::abort();
        std::atexit([] { std::filesystem::remove_all(dir); });
    }
    return dir;
}

inline std::string readFile(const std::string& path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

inline void writeFile(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

struct RunResult {
    int status = -1; // exit status, -1 when a signal ended it
    Bytes out;       // standard output
    std::string err; // standard error
};

// run: a shell command line, its output and error captured.
inline RunResult run(const std::string& command)
{
    const std::string out = tempDir() + "/run.out", err = tempDir() + "/run.err";
    const int status = std::system(("(" + command + ") >" + out + " 2>" + err).c_str());
    const std::string bytes = readFile(out);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Bytes(bytes.begin(), bytes.end()), readFile(err)};
}

}  // namespace qtest
