// The job's calls: settings block, page bracket, rows, end of job.
#include "printer_stream.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "line_output.h"
#include "output_cache.h"
#include "printer_commands.h"

namespace {

// crc16_tab: CRC-16 table for polynomial 0x1021, most significant bit first.
constexpr std::array<std::uint16_t, 256> crc16_tab = [] {
    std::array<std::uint16_t, 256> tab{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned crc = b << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        tab[b] = static_cast<std::uint16_t>(crc);
    }
    return tab;
}();

// put: one command into the settings block at at; returns where the next goes.
template <std::size_t N>
std::size_t put(std::array<unsigned char, kSettingsSize>& block, std::size_t at,
                const std::array<unsigned char, N>& cmd)
{
    std::memcpy(block.data() + at, cmd.data(), N);
    return at + N;
}

// send: append one whole command.
template <std::size_t N>
void send(QuorvelJob& job, const std::array<unsigned char, N>& cmd)
{
    cachePrnCmd(job, cmd.data(), static_cast<std::uint32_t>(N));
}

// buildSettings: the settings block for the job's first page and attributes.
// Points times dots per inch over 72 gives dots; the product wraps at 32 bits
// and the printer takes the low 16 bits of the quotient. The copy count is
// the header's low 16 bits read as signed; none or a negative count is one.
std::array<unsigned char, kSettingsSize> buildSettings(const PrintJobAttr& a, const QuorvelPage& first)
{
    std::array<unsigned char, kSettingsSize> block{};
    std::size_t at = put(block, 0, szInitCmd);
    at = put(block, at, szPaperWeightCmd);
    at = put(block, at, szDarknessCmd);
    at = put(block, at, szRenderTypeCmd);
    at = put(block, at, szInputBinCmd);
    at = put(block, at, szPaperSizeCustomCmd);
    at = put(block, at, szResolutionCmd);
    at = put(block, at, szNumCopiesCmd);
    at = put(block, at, a.m_duplex == 1 ? szDuplexLongflipCmd
                        : a.m_duplex == 2 ? szDuplexShortflipCmd : szDuplexSingleCmd);
    at = put(block, at, a.m_duplex == 1 || a.m_duplex == 2 ? szBeginDuplexDoubleCmd : szBeginDuplexSingleCmd);
    put(block, at, a.m_manualDuplex == 3 ? szManualDuplexEnableCmd : szManualDuplexDisableCmd);

    block[kWeightAt] = static_cast<unsigned char>(0x10 + a.m_paperWeight);
    block[kDensityAt] = static_cast<unsigned char>(0x10 + a.m_printDensity);
    putLe16(&block[kWidthAt], static_cast<std::uint32_t>(first.pageWidthPt * first.xDpi) / 72);
    putLe16(&block[kHeightAt], static_cast<std::uint32_t>(first.pageHeightPt * first.yDpi) / 72);
    int copies = static_cast<std::int16_t>(first.numCopies & 0xFFFF);
    if (copies <= 0)
        copies = 1;
    putLe16(&block[kCopiesAt], static_cast<std::uint32_t>(copies));
    putLe16(&block[kCrcAt], cyg_crc16(&block[kCopiesCmdAt], 5));
    return block;
}

} // namespace

std::uint16_t cyg_crc16(const unsigned char* data, int len)
{
    std::uint16_t crc = 0;
    for (int i = 0; i < len; ++i)
        crc = static_cast<std::uint16_t>((crc << 8) ^ crc16_tab[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

QuorvelPageCheck quorvelCheckPage(const QuorvelPage& page)
{
    if (page.bitsPerPixel != 1)
        return kPageBitsPerPixel;
    if (page.colorSpace != 0 && page.colorSpace != 3 && page.colorSpace != 18)
        return kPageColorSpace;
    if (page.height > kStoreRows || page.bytesPerLine > kMaxRowBytes || page.width / 8 > kMaxRowBytes)
        return kPageTooLarge;
    return kPagePrintable;
}

// quorvelPageProblem: the check's reason in words a user can act on.
bool quorvelPageProblem(const QuorvelPage& page, int pageNumber, char* text, std::size_t size)
{
    switch (quorvelCheckPage(page)) {
    case kPagePrintable:
        break;
    case kPageBitsPerPixel:
        std::snprintf(text, size, "Page %d has %u bits per pixel; this printer takes 1 bit per pixel", pageNumber,
                      page.bitsPerPixel);
        return true;
    case kPageColorSpace:
        std::snprintf(text, size, "Page %d has colour space %u; this printer takes white (0, 18) or black (3) only",
                      pageNumber, page.colorSpace);
        return true;
    case kPageTooLarge:
        std::snprintf(text, size,
                      "Page %d is %u x %u pixels with %u bytes per line; this printer takes at most %u lines of "
                      "%u bytes",
                      pageNumber, page.width, page.height, page.bytesPerLine, kStoreRows, kMaxRowBytes);
        return true;
    }
    if (size > 0)
        text[0] = '\0';
    return false;
}

void quorvelJobInit(QuorvelJob& job, QuorvelSink sink, void* sinkContext)
{
    job = QuorvelJob{};
    job.sink = sink;
    job.sinkContext = sinkContext;
}

// quorvelStartJob: the settings block goes out once, before the first page.
int quorvelStartJob(QuorvelJob& job, const QuorvelPage& first, const PrintJobAttr& attr)
{
    job.attr = attr;
    if (attr.m_cancelAttr != 1)
        cachePrnCmd(job, buildSettings(attr, first).data(), kSettingsSize);
    return job.failedErrno;
}

// quorvelStartPage: a page the printer cannot hold is never begun.
int quorvelStartPage(QuorvelJob& job, const QuorvelPage& page)
{
    if (quorvelCheckPage(page) != kPagePrintable)
        return EINVAL;
    if (job.inPage)
        quorvelEndPage(job);
    if (!startRows(job, page.width / 8, page.height))
        return ENOMEM;
    send(job, szBeginPageCmd);
    job.inPage = true;
    return job.failedErrno;
}

int quorvelEndPage(QuorvelJob& job)
{
    if (!job.inPage)
        return job.failedErrno;
    endRows(job);
    send(job, szEndPageCmd);
    job.inPage = false;
    return job.failedErrno;
}

// quorvelEndJob: the end-of-job command names the duplex mode the job began
// with; then the cache goes write-through and the empty append pushes out
// whatever is still held.
int quorvelEndJob(QuorvelJob& job)
{
    quorvelEndPage(job);
    if (job.attr.m_cancelJobFinish != 2) {
        const bool twoSided = job.attr.m_duplex != 0 && job.attr.m_manualDuplex != 3;
        send(job, twoSided ? szEndDuplexDoubleCmd : szEndDuplexSingleCmd);
    }
    job.jobFinishFlag = 1;
    cachePrnCmd(job, nullptr, 0);
    std::free(job.backPage);
    job.backPage = nullptr;
    job.backPageSize = 0;
    return job.failedErrno;
}
