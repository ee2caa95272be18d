// Checks on a job's document, and what PAPPL's refusals mean to a user.
#include "document_check.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned char kMarker = 0xFF, kStart = 0xD8, kEnd = 0xD9, kScan = 0xDA;

// standalone: markers that carry no length (restarts and TEM).
bool standalone(unsigned char m)
{
    return m == 0x01 || (m >= 0xD0 && m <= 0xD7);
}

} // namespace

// jpegEndsWhole: walk the segments; after a scan header, the coded data runs
// to the next marker that is neither a stuffed 0xFF nor a restart.
bool jpegEndsWhole(const unsigned char* data, std::size_t size)
{
    if (size < 4 || data[0] != kMarker || data[1] != kStart)
        return false;
    std::size_t at = 2;
    while (at + 1 < size) {
        if (data[at] != kMarker)
            return false;
        const unsigned char m = data[at + 1];
        at += 2;
        if (m == kMarker) { // fill byte before a marker
            --at;
            continue;
        }
        if (m == kEnd)
            return true;
        if (standalone(m))
            continue;
        if (at + 1 >= size)
            return false;
        const std::size_t len = static_cast<std::size_t>(data[at]) << 8 | data[at + 1];
        if (len < 2)
            return false;
        at += len;
        if (m != kScan)
            continue;
        while (at + 1 < size &&
               !(data[at] == kMarker && data[at + 1] != 0 && data[at + 1] != kMarker && !standalone(data[at + 1])))
            ++at;
    }
    return false;
}

bool jpegFileEndsWhole(const char* path)
{
    std::FILE* f = std::fopen(path, "rb");
    if (!f)
        return false;
    std::vector<unsigned char> data;
    unsigned char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        data.insert(data.end(), buffer, buffer + n);
    std::fclose(f);
    return jpegEndsWhole(data.data(), data.size());
}

const char* documentProblem(const char* format, bool formatError)
{
    if (!format)
        return nullptr;
    const bool jpeg = std::strcmp(format, "image/jpeg") == 0, png = std::strcmp(format, "image/png") == 0;
    const bool raster = std::strcmp(format, "image/pwg-raster") == 0 || std::strcmp(format, "image/urf") == 0;
    if (formatError) {
        if (jpeg)
            return "The document is not a readable JPEG image (damaged or cut short).";
        if (png)
            return "The document is not a readable PNG image (damaged or cut short).";
        if (raster)
            return "The raster document is damaged: a page header is not valid.";
        return nullptr;
    }
    if (jpeg || png)
        return "The image cannot be printed: it is too large or its pixels are not square.";
    if (raster)
        return "The raster document is in colour; this printer takes black and grey pages.";
    return nullptr;
}
