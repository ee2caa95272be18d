// Blank-line feed and line sending.
#include "line_output.h"

#include "line_encoder.h"
#include "output_cache.h"
#include "printer_commands.h"
#include "row_scan.h"

int gFeed = 0;

// isBlankRow: a text page is mostly white rows, so this is the test every
// row pays for; it works a vector (or a word) at a time.
bool isBlankRow(const unsigned char* p, std::uint32_t n)
{
    return allWhite(p, n);
}

// SendBlankLineData: blank rows are never merged; one command per row,
// copied into the cache in runs.
void SendBlankLineData(int count)
{
    if (count > 0)
        cacheRepeat(szBlankLineCmd.data(), static_cast<std::uint32_t>(szBlankLineCmd.size()), count);
}

// SendOneLineData: the held-back blank rows go out first, keeping row order.
// The encoder writes only the bytes it emits, so the encode buffer needs no
// clearing between lines.
void SendOneLineData(const unsigned char* pixels, std::uint32_t bytes)
{
    if (gFeed > 0) {
        SendBlankLineData(gFeed);
        gFeed = 0;
    }
    compressRow(pixels, bytes);
}

// SendPageRaster: only the first cupsWidth / 8 bytes of a row count; a
// trailing partial byte is read but neither tested nor sent. A page less
// than 8 pixels wide has nothing to send, so its rows are all blank.
void SendPageRaster(const cups_page_header2_t* header, const unsigned char* store)
{
    const std::uint32_t bytes = header->cupsWidth / 8;
    const std::uint32_t stride = pageRowStride(*header);
    gFeed = 0;
    const unsigned char* row = store;
    for (std::uint32_t k = 0; k < header->cupsHeight; ++k, row += stride) {
        if (isBlankRow(row, bytes))
            ++gFeed;
        else
            SendOneLineData(row, bytes);
    }
    if (gFeed > 0) {
        SendBlankLineData(gFeed);
        gFeed = 0;
    }
}
