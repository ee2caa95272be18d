// Checks on a job's document before it is printed.
#include "document_check.h"

#include <algorithm>
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

const char* documentFormat(const unsigned char* head, std::size_t n)
{
    auto starts = [&](const char* magic, std::size_t len) { return n >= len && std::memcmp(head, magic, len) == 0; };
    if (starts("RaS2", 4))
        return "image/pwg-raster";
    if (starts("UNIRAST", 8))
        return "image/urf";
    if (starts("\xFF\xD8\xFF", 3))
        return "image/jpeg";
    if (starts("\x89PNG\r\n\x1A\n", 8))
        return "image/png";
    if (n >= 5 && memmem(head, std::min<std::size_t>(n, 1024), "%PDF-", 5) != nullptr)
        return "application/pdf";
    return nullptr;
}

bool isRasterFormat(const char* mime)
{
    return mime != nullptr && (std::strcmp(mime, "image/pwg-raster") == 0 || std::strcmp(mime, "image/urf") == 0);
}

const char* formatName(const char* mime)
{
    static const struct {
        const char* mime;
        const char* name;
    } kNames[] = {{"application/pdf", "a PDF document"},    {"image/pwg-raster", "a PWG raster document"},
                  {"image/urf", "an Apple raster document"}, {"image/jpeg", "a JPEG image"},
                  {"image/png", "a PNG image"}};
    for (const auto& n : kNames)
        if (mime && std::strcmp(mime, n.mime) == 0)
            return n.name;
    return "a document of an unknown format";
}
