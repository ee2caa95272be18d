// Blank-line feed and line sending.
#include "line_output.h"

#include <cstring>

#include "line_encoder.h"
#include "output_cache.h"
#include "printer_commands.h"

int gFeed = 0;

// isBlankRow: a word at a time; a text page is mostly white rows, so this is
// the test every row pays for.
bool isBlankRow(const unsigned char* p, std::uint32_t n)
{
    std::uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, sizeof w);
        if (w != ~std::uint64_t{0})
            return false;
    }
    for (; i < n; ++i)
        if (p[i] != 0xFF)
            return false;
    return true;
}

// SendBlankLineData: blank rows are never merged; one command per row.
void SendBlankLineData(int count)
{
    for (int i = 0; i < count; ++i)
        cachePrnCmd(szBlankLineCmd.data(), static_cast<std::uint32_t>(szBlankLineCmd.size()));
}

// SendOneLineData: the held-back blank rows go out first, keeping row order.
// The encoder writes only the bytes it emits, so the encode buffer needs no
// clearing between lines.
void SendOneLineData(const unsigned char* line, std::uint32_t dots)
{
    if (gFeed > 0) {
        SendBlankLineData(gFeed);
        gFeed = 0;
    }
    compressImageData(line, dots / 8);
}

// SendPageRaster: only the first cupsWidth / 8 bytes of a row count; a
// trailing partial byte is read but neither tested nor sent. A page less
// than 8 pixels wide has nothing to send, so its rows are all blank.
void SendPageRaster(const cups_page_header2_t* header, const unsigned char* store)
{
    const std::uint32_t bytes = header->cupsWidth / 8;
    gFeed = 0;
    for (std::uint32_t k = 0; k < header->cupsHeight; ++k) {
        const unsigned char* row = store + std::size_t{k} * kStoreRowBytes;
        if (isBlankRow(row + kRowLead, bytes))
            ++gFeed;
        else
            SendOneLineData(row, header->cupsWidth + 8 * kRowLead);
    }
    if (gFeed > 0) {
        SendBlankLineData(gFeed);
        gFeed = 0;
    }
}
