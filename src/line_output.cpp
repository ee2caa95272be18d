// Line output: the rows of a page on the wire. An all-white row becomes a
// blank-line command, held back until the next data row or the page end;
// every other row is encoded into a line data command. A row goes straight
// down: blank test, encode, cache, sink.
//
// A long-edge two-sided page is the exception: its back is printed upside
// down and mirrored, so the page is kept whole, stored bottom-up, and sent
// at its end with every data row mirrored and without lead bytes.
#include "line_output.h"

#include <cstdlib>
#include <cstring>

#include "line_encoder.h"
#include "output_cache.h"
#include "printer_commands.h"
#include "row_scan.h"

namespace {

// The longest piece a row can append: its command with the worst encoding.
constexpr std::uint32_t kWorstLineCmd = kLineDataHeaderSize + 2 * (kMaxRowBytes + kRowLead);
static_assert(kWorstLineCmd < kPrnCacheSize, "a line command always fits the cache");

// sendFeed: the blank rows held back, one command each.
void sendFeed(QuorvelJob& job)
{
    if (job.feed > 0) {
        cacheRepeat(job, szBlankLineCmd, job.feed);
        job.feed = 0;
    }
}

// sendLine: the line data command for n bytes at pixels (kScanSlack readable
// after them), with the three white lead bytes in front when lead is set.
// When the whole command is sure to fit without a write-out it is encoded
// straight into the cache; otherwise header and body are two pieces, and a
// write-out may fall between them.
void sendLine(QuorvelJob& job, const unsigned char* pixels, std::uint32_t n, bool lead)
{
    sendFeed(job);
    const std::uint32_t worst = 2 * (n + (lead ? kRowLead : 0));
    unsigned char* tail = cacheTailFor(job, kLineDataHeaderSize + worst);
    unsigned char* body = tail != nullptr ? tail + kLineDataHeaderSize : job.compressBuf.data();
    const std::uint32_t len = lead ? encodeRow(pixels, n, body) : encodeLine(pixels, n, body);
    unsigned char header[kLineDataHeaderSize];
    std::memcpy(header, kLineDataPrefix.data(), kLineDataPrefix.size());
    putLe16(header + kLineDataPrefix.size(), len);
    if (tail != nullptr) {
        std::memcpy(tail, header, kLineDataHeaderSize);
        cacheCommit(job, kLineDataHeaderSize + len);
    } else {
        cachePrnCmd(job, header, kLineDataHeaderSize);
        cachePrnCmd(job, body, len);
    }
}

// storeBackRow: a long-edge back side is stored bottom-up, whole, and sent
// at the page end.
inline void storeBackRow(QuorvelJob& job, const unsigned char* pixels)
{
    const std::uint32_t n = job.rowBytes;
    std::memcpy(job.backPage + std::size_t{n} * (job.height - 1 - job.rowsSent), pixels, n);
    ++job.rowsSent;
}

} // namespace

// mirrorBytes: the back of a long-edge sheet is printed turned round, so
// its rows go out right to left: byte order and bit order reversed.
void mirrorBytes(const unsigned char* in, std::uint32_t n, unsigned char* out)
{
    static constexpr unsigned char kReverse4[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (std::uint32_t i = 0; i < n; ++i) {
        const unsigned char b = in[n - 1 - i];
        out[i] = static_cast<unsigned char>(kReverse4[b & 15] << 4 | kReverse4[b >> 4]);
    }
}

// startRows: a page of height rows of n sent bytes begins.
bool startRows(QuorvelJob& job, std::uint32_t n, std::uint32_t height)
{
    job.rowBytes = n;
    job.height = height;
    job.rowsSent = 0;
    job.feed = 0;
    if (job.attr.m_duplex == 1) {
        const std::size_t need = std::size_t{n} * height + kScanSlack;
        if (need > job.backPageSize) {
            void* grown = std::realloc(job.backPage, need);
            if (grown == nullptr)
                return false;
            job.backPage = static_cast<unsigned char*>(grown);
            job.backPageSize = need;
        }
        // Rows the page never gets stay white.
        std::memset(job.backPage, 0xFF, need);
    }
    return true;
}

// quorvelSendRow: the row is copied first: the caller's row may end where
// its memory does, and the scans read past the row.
int quorvelSendRow(QuorvelJob& job, const unsigned char* row, bool blackIsSet)
{
    if (!job.inPage || job.failedErrno != 0)
        return job.failedErrno;
    std::memcpy(job.row.data(), row, job.rowBytes);
    if (blackIsSet)
        invertBytes(job.row.data(), job.rowBytes);
    return quorvelSendRows(job, job.row.data(), 0, 1);
}

// quorvelSendRows: the row loop every page pays for, so the checks and the
// choice of scans are made once.
int quorvelSendRows(QuorvelJob& job, const unsigned char* rows, std::size_t stride, std::uint32_t count)
{
    if (!job.inPage)
        return job.failedErrno;
    if (count > job.height - job.rowsSent)
        count = job.height - job.rowsSent;
    const std::uint32_t n = job.rowBytes;
    if (job.attr.m_duplex == 1) {
        for (std::uint32_t k = 0; k < count; ++k, rows += stride)
            storeBackRow(job, rows);
        return job.failedErrno;
    }
    const auto allWhiteRow = scans().allWhite;
    for (std::uint32_t k = 0; k < count && job.failedErrno == 0; ++k, rows += stride) {
        ++job.rowsSent;
        if (allWhiteRow(rows, n))
            ++job.feed;
        else
            sendLine(job, rows, n, true);
    }
    return job.failedErrno;
}

// endRows: the rows the page did not get are white; then everything held.
void endRows(QuorvelJob& job)
{
    const std::uint32_t n = job.rowBytes;
    if (job.attr.m_duplex == 1) {
        const unsigned char* at = job.backPage;
        for (std::uint32_t k = 0; k < job.height; ++k, at += n) {
            if (allWhite(at, n)) {
                ++job.feed;
            } else {
                mirrorBytes(at, n, job.row.data());
                sendLine(job, job.row.data(), n, false);
            }
        }
    } else {
        job.feed += static_cast<int>(job.height - job.rowsSent);
    }
    sendFeed(job);
}
