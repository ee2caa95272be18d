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

// documentFormat: the formats known by their first bytes first, then one
// whose bytes may come later (a PDF), so a raster page that happens to hold
// "%PDF-" is still raster.
const char* documentFormat(const unsigned char* head, std::size_t n)
{
    for (const bool anywhere : {false, true})
        for (const DocumentFormat& f : kDocumentFormats) {
            if (f.magicAnywhere != anywhere)
                continue;
            const std::size_t len = f.magicLength;
            if (!anywhere && n >= len && std::memcmp(head, f.magic, len) == 0)
                return f.mime;
            if (anywhere && n >= len && memmem(head, std::min<std::size_t>(n, 1024), f.magic, len) != nullptr)
                return f.mime;
        }
    return nullptr;
}
