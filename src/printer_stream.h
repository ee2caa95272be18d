// The printer stream library: everything that turns 1-bit raster rows into
// the Quorvel printer's command stream. One QuorvelJob holds one job; the
// caller drives it in the order the printer sees a job:
//
//   quorvelJobInit          once, with the sink the bytes go to
//   quorvelStartJob         on the first page: settings block
//   quorvelStartPage        begin page
//   quorvelSendRow          each row the page has, top to bottom
//   quorvelEndPage          rows never sent are white; end page
//   quorvelEndJob           end-of-job command, write out what is held
//
// A cancelled job makes the same calls: it ends the page it is in with
// quorvelEndPage and the job with quorvelEndJob.
//
// The library keeps no state outside the job, writes only through the sink
// and prints nothing: it returns what went wrong and the caller says it.
// Jobs are independent, so each thread may drive its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// QuorvelSink: write len bytes; 0 when all of them were written, else the
// errno that stopped the write. A write-out is one call.
using QuorvelSink = int (*)(void* context, const unsigned char* bytes, std::size_t len);

// PrintJobAttr: the job's settings, as the printer's commands encode them.
struct PrintJobAttr {
    int m_cancelAttr = 0;      // 1: send no settings block
    int m_cancelJobFinish = 0; // 2: send no end-of-job command
    int m_manualDuplex = 0;    // 3: manual duplex on
    int m_duplex = 0;          // 0 one-sided, 1 long-edge flip, 2 short-edge flip
    int m_printDensity = 2;    // 0 darkest .. 4 lightest
    int m_paperWeight = 3;     // 0 heaviest .. 4 lightest
};

// QuorvelPage: what the library needs of a page's raster header.
struct QuorvelPage {
    unsigned pageWidthPt = 0, pageHeightPt = 0; // PageSize, points
    unsigned xDpi = 0, yDpi = 0;                // HWResolution
    unsigned numCopies = 0;                     // NumCopies as stored
    unsigned width = 0;                         // cupsWidth, pixels
    unsigned height = 0;                        // cupsHeight, rows
    unsigned bytesPerLine = 0;                  // cupsBytesPerLine
    unsigned bitsPerPixel = 1;                  // cupsBitsPerPixel
    unsigned colorSpace = 0;                    // cupsColorSpace as stored: 0 W, 3 K, 18 sW
};

// Limits of the printer: a page of at most kStoreRows rows whose rows have at
// most kMaxRowBytes bytes of pixels.
constexpr std::uint32_t kStoreRows = 10000;
constexpr std::uint32_t kMaxRowBytes = 797;

// Bytes the output cache holds before it writes out.
constexpr std::uint32_t kPrnCacheSize = 5120;

// Readable bytes the row scans may touch past the end of a row they scan,
// and writable bytes an encoder may touch past what it emits.
constexpr std::uint32_t kScanSlack = 128;

// QuorvelPageCheck: why a page cannot be printed.
enum QuorvelPageCheck {
    kPagePrintable,
    kPageBitsPerPixel, // not 1 bit per pixel
    kPageColorSpace,   // not white (W, sW) or black (K)
    kPageTooLarge,     // more than kStoreRows rows or kMaxRowBytes bytes a row
};

// quorvelCheckPage: whether the printer can take this page.
QuorvelPageCheck quorvelCheckPage(const QuorvelPage& page);

// quorvelPageProblem: why the printer cannot take page number pageNumber
// (from 1), as a sentence written into text (no line end); false, with text
// empty, when it can.
bool quorvelPageProblem(const QuorvelPage& page, int pageNumber, char* text, std::size_t size);

// The job context. Plain data: set it up with quorvelJobInit.
struct QuorvelJob {
    QuorvelSink sink = nullptr;
    void* sinkContext = nullptr;
    int failedErrno = 0;          // the sink's first failure; nothing is written after it

    // Output cache: bytes held until the next piece would fill it.
    std::uint32_t prnBufSize = 0; // bytes held
    int jobFinishFlag = 0;        // 1 once the job end made the cache write-through
    std::array<unsigned char, kPrnCacheSize + kScanSlack> prnBuffCache{};

    // Set on the first page.
    PrintJobAttr attr;

    // The page being sent.
    bool inPage = false;
    std::uint32_t rowBytes = 0;   // bytes of a row that are sent: cupsWidth / 8
    std::uint32_t height = 0;     // rows the page has
    std::uint32_t rowsSent = 0;   // rows handed over so far
    int feed = 0;                 // blank rows held back, not yet sent

    // Encode scratch: a row with room for the scans' slack, and the encoded
    // line when it cannot be built straight into the cache.
    std::array<unsigned char, kMaxRowBytes + kScanSlack> row{};
    std::array<unsigned char, 2 * (kMaxRowBytes + 3) + kScanSlack> compressBuf{};

    // A long-edge two-sided page, kept whole until its end; allocated for
    // such a job only, released by quorvelEndJob.
    unsigned char* backPage = nullptr;
    std::size_t backPageSize = 0;
};

// quorvelJobInit: a fresh job whose bytes go to sink. A job that was used
// before must have ended with quorvelEndJob.
void quorvelJobInit(QuorvelJob& job, QuorvelSink sink, void* sinkContext);

// quorvelStartJob: set the job up from its first printed page and its
// settings, and send the settings block (unless m_cancelAttr is 1). Call once,
// before that page's quorvelStartPage. Returns the sink's errno, or 0.
int quorvelStartJob(QuorvelJob& job, const QuorvelPage& first, const PrintJobAttr& attr);

// quorvelStartPage: begin a page that quorvelCheckPage accepts (EINVAL for
// one it refuses; ENOMEM when a long-edge two-sided page finds no memory,
// both before anything is sent). Returns the sink's errno, or 0.
int quorvelStartPage(QuorvelJob& job, const QuorvelPage& page);

// quorvelSendRow: the page's next row; its first width / 8 bytes are read
// and sent, the rest of the row is ignored. Set bits are white, or black when blackIsSet.
// Rows past the page's height are ignored. Returns the sink's errno, or 0.
int quorvelSendRow(QuorvelJob& job, const unsigned char* row, bool blackIsSet);

// quorvelSendRows: count rows, stride bytes apart, set bits white, with
// kScanSlack readable bytes after the last row's sent bytes; the same as
// count calls of quorvelSendRow, without copying each row first.
int quorvelSendRows(QuorvelJob& job, const unsigned char* rows, std::size_t stride, std::uint32_t count);

// quorvelEndPage: the rows the page did not get are white; end the page.
// Returns the sink's errno, or 0.
int quorvelEndPage(QuorvelJob& job);

// quorvelEndJob: end-of-job command (unless m_cancelJobFinish is 2), then
// write out everything held. Ends an open page first. Returns the sink's
// errno, or 0.
int quorvelEndJob(QuorvelJob& job);

// quorvelScanName: which row scans this process uses, "avx2" or "portable";
// chosen once, at first use (QUORVEL_SCANS=portable in the environment picks
// the portable ones).
const char* quorvelScanName();
