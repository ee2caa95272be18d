// Test helpers: rasters through libcups' writer, programs through the shell.
#include "test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qtest {

Bytes hex(const std::string& text)
{
    Bytes bytes;
    std::istringstream in(text);
    for (std::string token; in >> token;)
        bytes.push_back(static_cast<unsigned char>(std::stoul(token, nullptr, 16)));
    return bytes;
}

std::string hex(const Bytes& bytes)
{
    std::string text;
    for (const unsigned char b : bytes)
        text += "0123456789ABCDEF"[b >> 4] + std::string(1, "0123456789ABCDEF"[b & 15]) + " ";
    return text;
}

RasterPage whitePage(unsigned width, unsigned height, unsigned dpi)
{
    cups_page_header2_t h;
    std::memset(&h, 0, sizeof h);
    h.HWResolution[0] = h.HWResolution[1] = dpi;
    h.PageSize[0] = width * 72 / dpi;
    h.PageSize[1] = height * 72 / dpi;
    h.NumCopies = 1;
    h.cupsWidth = width;
    h.cupsHeight = height;
    h.cupsBitsPerColor = h.cupsBitsPerPixel = 1;
    h.cupsBytesPerLine = (width + 7) / 8;
    h.cupsColorSpace = CUPS_CSPACE_W;
    h.cupsNumColors = 1;
    return {h, std::vector<Bytes>(height, Bytes(h.cupsBytesPerLine, 0xFF))};
}

void writeRaster(const std::string& path, const std::vector<RasterPage>& pages, cups_mode_t mode)
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

RunResult run(const std::string& command)
{
    const std::string out = tempDir() + "/run.out", err = tempDir() + "/run.err";
    const int status = std::system(("(" + command + ") >" + out + " 2>" + err).c_str());
    const std::string bytes = readFile(out);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Bytes(bytes.begin(), bytes.end()), readFile(err)};
}

std::string tempDir()
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

std::string readFile(const std::string& path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

}  // namespace qtest
