// rastertoquorvel: CUPS filter from 1-bit CUPS raster to the Quorvel
// printer's command stream. One process prints one job: settings block,
// then every page as begin page, its rows, end page, then end of job.
#include <cups/ppd.h>
#include <cups/raster.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "job_attributes.h"
#include "job_frame.h"
#include "line_encoder.h"
#include "line_output.h"
#include "output_cache.h"
#include "printer_commands.h"
#include "row_scan.h"

static int gPage = 0;                          // page headers read so far
static volatile sig_atomic_t gCanceled = 0;    // set by SIGTERM: end the job cleanly
static int gJobFailed = 0;                     // a page was refused or the job could not go on
// The page store; the slack lets the row scans read a little past the last
// row of the largest page.
static unsigned char szImageRaster[kStoreRows * kStoreRowBytes + kScanSlack];

// CancelJob: SIGTERM handler; the loop notices the flag and ends the job
// so the printer still gets a whole page and the end-of-job command.
static void CancelJob(int)
{
    gCanceled = 1;
}

// PageSetup: begin a page; no blank rows are pending yet.
static void PageSetup()
{
    cachePrnCmd(szBeginPageCmd.data(), static_cast<std::uint32_t>(szBeginPageCmd.size()));
    gFeed = 0;
}

// PageFinish: end the page.
static void PageFinish()
{
    cachePrnCmd(szEndPageCmd.data(), static_cast<std::uint32_t>(szEndPageCmd.size()));
}

// colourSpace: the header's colour space as the number in the stream. The
// field is an enum, and a stream may hold any number there; reading it as
// its stored bits avoids loading an enum value the type does not have.
static unsigned colourSpace(const cups_page_header2_t& h)
{
    std::uint32_t raw;
    static_assert(sizeof raw == sizeof h.cupsColorSpace, "colour space is stored in 32 bits");
    std::memcpy(&raw, &h.cupsColorSpace, sizeof raw);
    return raw;
}

// pageProblem: why this page cannot be printed, written into why, or false
// when it can. The store holds 10000 rows of 797 bytes of 1-bit pixels.
static bool pageProblem(const cups_page_header2_t& h, int page, char* why, std::size_t size)
{
    if (h.cupsBitsPerPixel != 1) {
        std::snprintf(why, size,
                      "ERROR: Page %d has %u bits per pixel; this printer takes 1 bit per pixel\n",
                      page, h.cupsBitsPerPixel);
        return true;
    }
    const unsigned space = colourSpace(h);
    if (space != CUPS_CSPACE_W && space != CUPS_CSPACE_SW && space != CUPS_CSPACE_K) {
        std::snprintf(why, size,
                      "ERROR: Page %d has colour space %u; this printer takes white (0, 18) "
                      "or black (3) only\n",
                      page, space);
        return true;
    }
    if (h.cupsHeight > kStoreRows || h.cupsBytesPerLine > kMaxRowBytes ||
        h.cupsWidth / 8 > kMaxRowBytes) {
        std::snprintf(why, size,
                      "ERROR: Page %d is %u x %u pixels with %u bytes per line; this printer "
                      "takes at most %u lines of %u bytes\n",
                      page, h.cupsWidth, h.cupsHeight, h.cupsBytesPerLine, kStoreRows,
                      kMaxRowBytes);
        return true;
    }
    return false;
}

// SkipPage: read past a refused page so the next one can be printed;
// false when the stream ends first and cannot be followed.
static bool SkipPage(cups_raster_t* ras, const cups_page_header2_t& h)
{
    static unsigned char scratch[65536];
    unsigned long long left = static_cast<unsigned long long>(h.cupsBytesPerLine) * h.cupsHeight;
    while (left > 0 && !gCanceled) {
        const unsigned chunk = static_cast<unsigned>(std::min<unsigned long long>(left, sizeof scratch));
        if (cupsRasterReadPixels(ras, scratch, chunk) == 0)
            return false;
        left -= chunk;
    }
    return true;
}

// growCompressBuf: make the encode buffer hold the longest line of this
// page. Sized from the first page; a wider later page gets a larger one.
static bool growCompressBuf(const cups_page_header2_t& h)
{
    const std::uint32_t need = std::max(2 * h.cupsBytesPerLine + 2, 2 * (h.cupsWidth / 8 + kRowLead));
    if (szCompressBuf != nullptr && need <= gCompressBufSize)
        return true;
    void* grown = std::realloc(szCompressBuf, std::size_t{need} + kScanSlack);
    if (grown == nullptr) {
        std::fprintf(stderr, "ERROR: Unable to allocate %u bytes for line compression\n", need);
        return false;
    }
    szCompressBuf = static_cast<unsigned char*>(grown);
    gCompressBufSize = need;
    return true;
}

// Rows asked for in one read: large reads cost libcups and the kernel far
// less than one call per row, and a cancel is still noticed within a few
// dozen rows.
constexpr std::uint32_t kReadBytes = 65536;

// The raster input. libcups reads the job through readRaster, which lets
// the filter see two things libcups keeps to itself: the stream's sync word
// (whether rows are stored compressed), and, for an uncompressed stream,
// how far a read into the page store got, since libcups then reads rows
// straight into the buffer it is given. With that, a failed read of many
// rows still keeps every byte that arrived, as row-by-row reading would,
// without making the rows white before every read.
struct RasterInput {
    int fd = 0;
    unsigned char sync[4] = {};  // the first four bytes of the stream
    std::size_t seen = 0;        // bytes read so far, up to four
    std::uintptr_t from = 0;     // the page store range being read into
    std::uintptr_t to = 0;
    std::uintptr_t reached = 0;  // end of the bytes read into that range
};
static RasterInput gInput;
static bool gDirectRows = false; // rows arrive uncompressed, straight into the store

static ssize_t readRaster(void* ctx, unsigned char* buf, std::size_t bytes)
{
    auto* in = static_cast<RasterInput*>(ctx);
    ssize_t got;
    while ((got = read(in->fd, buf, bytes)) < 0)
        if (errno != EINTR && errno != EAGAIN)
            return -1;
    for (ssize_t i = 0; i < got && in->seen < sizeof in->sync; ++i)
        in->sync[in->seen++] = buf[i];
    const auto at = reinterpret_cast<std::uintptr_t>(buf);
    if (got > 0 && at >= in->from && at < in->to && at + static_cast<std::size_t>(got) > in->reached)
        in->reached = at + static_cast<std::size_t>(got);
    return got;
}

// uncompressedSync: version 1 and 3 rasters (either byte order) store rows
// as they are.
static bool uncompressedSync(const unsigned char* sync)
{
    static const char* const kPlain[] = {"RaSt", "tSaR", "RaS3", "3SaR"};
    for (const char* s : kPlain)
        if (std::memcmp(sync, s, 4) == 0)
            return true;
    return false;
}

// readRows: bytes of rows of the page into at, one read; false when the
// read fails. Whatever the read did not reach is white. A black-is-set page
// is inverted as it is read, so it prints like its white-is-set mirror.
static bool readRows(cups_raster_t* ras, unsigned char* at, std::uint32_t bytes, bool invert)
{
    if (!gDirectRows) {
        // A compressed stream: libcups decodes the rows, so how far a
        // failed read got cannot be seen; the rows are made white
        // (black-is-set white, 0x00, for a page that will be inverted)
        // before the read.
        fillBytes(at, bytes, invert ? 0x00 : 0xFF);
        const unsigned got = cupsRasterReadPixels(ras, at, bytes);
        if (invert)
            invertBytes(at, bytes);
        return got != 0;
    }
    gInput.from = reinterpret_cast<std::uintptr_t>(at);
    gInput.to = gInput.from + bytes;
    gInput.reached = gInput.from;
    const unsigned got = cupsRasterReadPixels(ras, at, bytes);
    const std::size_t valid = got != 0 ? bytes : std::min<std::size_t>(gInput.reached - gInput.from, bytes);
    gInput.from = gInput.to = 0;
    if (invert)
        invertBytes(at, valid);
    if (valid < bytes)
        fillBytes(at + valid, bytes - valid, 0xFF);
    return got != 0;
}

// ReadPageRaster: read the page's rows into the store, rows packed
// pageRowStride bytes apart. Only the rows of this page are made white, not
// the whole store. Reading stops at the first failed read or a cancel; the
// rows not read are white.
static void ReadPageRaster(cups_raster_t* ras, const cups_page_header2_t* header)
{
    const std::uint32_t bpl = header->cupsBytesPerLine;
    const std::uint32_t stride = pageRowStride(*header);
    const std::uint32_t rows = header->cupsHeight;
    const bool invert = colourSpace(*header) == CUPS_CSPACE_K;
    std::uint32_t k = 0;
    if (bpl == stride && bpl > 0) {
        const std::uint32_t perRead = std::max<std::uint32_t>(1, kReadBytes / bpl);
        while (k < rows && !gCanceled) {
            const std::uint32_t n = std::min(perRead, rows - k);
            const bool ok = readRows(ras, szImageRaster + std::size_t{k} * stride, n * bpl, invert);
            k += n;
            if (!ok)
                break;
        }
    } else {
        // A header whose bytes per line fall short of its width: each row
        // is read on its own and the rest of it is white.
        for (; k < rows && !gCanceled; ++k) {
            unsigned char* row = szImageRaster + std::size_t{k} * stride;
            fillBytes(row + bpl, stride - bpl, 0xFF);
            if (!readRows(ras, row, bpl, invert)) {
                ++k;
                break;
            }
        }
    }
    if (k < rows)
        fillBytes(szImageRaster + std::size_t{k} * stride, std::size_t{rows - k} * stride, 0xFF);
}

// main: the whole job.
int main(int argc, char* argv[])
{
    std::fwrite("----------------StartPage...\n", 1, 29, stderr);
    std::setbuf(stderr, nullptr);

    if (argc != 6 && argc != 7)
        return 1;

    int fd = 0;
    if (argc == 7) {
        fd = open(argv[6], O_RDONLY);
        if (fd < 0) {
            sleep(1);
            return 1;
        }
    }

    const char* ppdPath = std::getenv("PPD");
    ppd_file_t* ppd = ppdPath != nullptr ? ppdOpenFile(ppdPath) : nullptr;
    if (ppd == nullptr)
        return 1;

    // A cancelled job still finishes its page; a vanished printer must not
    // kill the filter before it can say so.
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = CancelJob;
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);

    gInput = RasterInput();
    gInput.fd = fd;
    cups_raster_t* ras = cupsRasterOpenIO(readRaster, &gInput, CUPS_RASTER_READ);
    gDirectRows = uncompressedSync(gInput.sync);

    gCanceled = 0;
    gJobFailed = 0;
    resetOutputCache();
    gPage = 0;

    bool setupDone = false;
    cups_page_header2_t header;
    char why[256];
    while (cupsRasterReadHeader2(ras, &header)) {
        if (gCanceled || gOutputFailed)
            break;
        ++gPage;
        if (pageProblem(header, gPage, why, sizeof why)) {
            std::fputs(why, stderr);
            gJobFailed = 1;
            if (!SkipPage(ras, header))
                break;
            continue;
        }
        if (!growCompressBuf(header)) {
            gJobFailed = 1;
            break;
        }
        if (!setupDone) {
            // The first printed page sets up the whole job.
            getPrintJobAttrFromPPD(&header);
            getPrintJobAttrFromArgs(argv[5], ppd);
            sendSettingsToPrinter();
            setupDone = true;
        }
        PageSetup();
        ReadPageRaster(ras, &header);
        SendPageRaster(&header, szImageRaster);
        PageFinish();
        if (gCanceled || gOutputFailed)
            break;
    }

    JobFinish();

    std::fprintf(stderr, "-------%s---------JobFinish end \n", "main");
    ppdClose(ppd);
    if (ras != nullptr)
        cupsRasterClose(ras);
    if (fd != 0)
        close(fd);

    if (gJobFailed || gOutputFailed)
        return 1;
    return gPage != 0 ? 0 : 1;
}
