// Output cache. Standard output is written in whole pieces of fewer than
// 5120 bytes, each followed by a flush; a piece is never split.
#include "output_cache.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "row_scan.h"

std::uint32_t g_prnBufSize = 0;
int gJobFinishFlag = 0;
int gOutputFailed = 0;

// The held bytes. The slack past the cache lets an encoder building in place
// write a few bytes beyond its piece; they are never sent.
static std::array<unsigned char, kPrnCacheSize + kScanSlack> szPrnBuffCache;
static std::FILE* gPrnStream = stdout;                            // where they go

// reportWriteFailure: say once that the printer can no longer be reached.
static void reportWriteFailure(int err)
{
    if (gOutputFailed)
        return;
    gOutputFailed = 1;
    std::fprintf(stderr, "ERROR: Unable to write to the printer stream: %s\n",
                 std::strerror(err ? err : EIO));
}

// writePiece: write len bytes and flush; a failure stops all later output.
static void writePiece(const unsigned char* src, std::uint32_t len)
{
    if (gOutputFailed)
        return;
    errno = 0;
    if (std::fwrite(src, 1, len, gPrnStream) != len || std::fflush(gPrnStream) != 0)
        reportWriteFailure(errno);
}

// resetOutputCache: job start state.
void resetOutputCache()
{
    szPrnBuffCache.fill(0);
    g_prnBufSize = 0;
    gJobFinishFlag = 0;
    gOutputFailed = 0;
}

// cmdprn_to_out: write out and empty the cache.
void cmdprn_to_out()
{
    writePiece(szPrnBuffCache.data(), g_prnBufSize);
    g_prnBufSize = 0;
}

// cachePrnCmd: append one piece, writing out first if it would not fit.
void cachePrnCmd(const unsigned char* src, std::uint32_t len)
{
    if (g_prnBufSize + len >= kPrnCacheSize)
        cmdprn_to_out();
    if (src != nullptr) {
        if (len > kPrnCacheSize) {
            // Larger than the whole cache: what was held has just gone out,
            // so the piece follows it directly and order is kept.
            writePiece(src, len);
        } else {
            std::memcpy(szPrnBuffCache.data() + g_prnBufSize, src, len);
            g_prnBufSize += len;
        }
    }
    if (gJobFinishFlag && g_prnBufSize)
        cmdprn_to_out();
}

// cacheRepeat: count copies of one piece, each appended as cachePrnCmd
// would, but filling the cache up to each write-out in one go.
void cacheRepeat(const unsigned char* src, std::uint32_t len, int count)
{
    if (len == 0 || len >= kPrnCacheSize || gJobFinishFlag) {
        for (int i = 0; i < count; ++i)
            cachePrnCmd(src, len);
        return;
    }
    while (count > 0) {
        // A piece goes in without a write-out while it leaves the cache
        // short of full.
        if (g_prnBufSize + len >= kPrnCacheSize)
            cmdprn_to_out();
        const std::uint32_t room = (kPrnCacheSize - 1 - g_prnBufSize) / len;
        const std::uint32_t take = room < static_cast<std::uint32_t>(count) ? room : static_cast<std::uint32_t>(count);
        unsigned char* at = szPrnBuffCache.data() + g_prnBufSize;
        for (std::uint32_t i = 0; i < take; ++i, at += len)
            std::memcpy(at, src, len);
        g_prnBufSize += take * len;
        count -= static_cast<int>(take);
    }
}

// cacheTailFor: room for an in-place piece that cannot cause a write-out.
unsigned char* cacheTailFor(std::uint32_t len)
{
    if (len >= kPrnCacheSize || g_prnBufSize + len >= kPrnCacheSize)
        return nullptr;
    return szPrnBuffCache.data() + g_prnBufSize;
}

// cacheCommit: account for a piece built in place, as cachePrnCmd would.
void cacheCommit(std::uint32_t len)
{
    g_prnBufSize += len;
    if (gJobFinishFlag && g_prnBufSize)
        cmdprn_to_out();
}

// setPrinterStream: redirect the printer bytes.
void setPrinterStream(std::FILE* stream)
{
    gPrnStream = stream;
}
