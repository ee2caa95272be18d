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

#include "cups_page.h"
#include "job_attributes.h"
#include "printer_stream.h"
#include "row_scan.h"

static int gPage = 0;                          // page headers read so far
static volatile sig_atomic_t gCanceled = 0;    // set by SIGTERM: end the job cleanly
static int gJobFailed = 0;                     // a page was refused or the job could not go on
static int gOutputReported = 0;                // the write failure has been logged
static QuorvelJob gJob;                        // the printer stream being built
// The page store: up to 10000 rows of up to 797 bytes, packed; the slack
// lets the row scans read a little past the last row.
static unsigned char szImageRaster[kStoreRows * kMaxRowBytes + kScanSlack];

// CancelJob: SIGTERM handler; the loop notices the flag and ends the job
// so the printer still gets a whole page and the end-of-job command.
static void CancelJob(int)
{
    gCanceled = 1;
}

// writeStdout: the job's sink. A signal (the cancel) may interrupt a write
// to a slow printer, or cut it short: the rest is written, so a cancel never
// leaves the printer inside a command. Only a real error stops it.
static int writeStdout(void*, const unsigned char* bytes, std::size_t len)
{
    while (len > 0) {
        const ssize_t n = write(1, bytes, len);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return errno != 0 ? errno : EIO;
        }
        bytes += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

// sent: after each call that may write; says once why the printer no
// longer takes the stream.
static void sent(int err)
{
    if (err != 0 && !gOutputReported) {
        gOutputReported = 1;
        std::fprintf(stderr, "ERROR: Unable to write to the printer stream: %s\n", std::strerror(err));
    }
}

// PageSetup: begin a page; false when it cannot be printed. A long-edge
// back side is held whole, and no memory for it is not the printer's fault.
static bool PageSetup(const QuorvelPage& page)
{
    const int err = quorvelStartPage(gJob, page);
    if (err == ENOMEM) {
        std::fputs("ERROR: Unable to allocate memory to hold a two-sided page\n", stderr);
        gJobFailed = 1;
        return false;
    }
    sent(err);
    return err == 0;
}

// PageFinish: the rows the page did not get are white; end the page.
static void PageFinish()
{
    sent(quorvelEndPage(gJob));
}

// JobFinish: end of job, and everything still held goes out.
static void JobFinish()
{
    sent(quorvelEndJob(gJob));
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

// readInput: libcups reads the job through here. A signal (the cancel) may
// interrupt a read; it is tried again, and the loop notices the cancel.
static ssize_t readInput(void* ctx, unsigned char* buf, std::size_t bytes)
{
    const int fd = *static_cast<int*>(ctx);
    ssize_t got;
    while ((got = read(fd, buf, bytes)) < 0)
        if (errno != EINTR && errno != EAGAIN)
            return -1;
    return got;
}

// Rows asked for in one read: large reads cost libcups and the kernel far
// less than one call per row, and a cancel is still noticed within a few
// dozen rows.
constexpr std::uint32_t kReadBytes = 65536;

// readRows: bytes of rows of the page into at, in one read; false when the
// read fails. The rows are made white first, so whatever a failed read did
// not reach is white and whatever it did reach is kept. A black-is-set page
// is inverted as it is read, so it prints like its white-is-set mirror.
static bool readRows(cups_raster_t* ras, unsigned char* at, std::uint32_t bytes, bool invert)
{
    fillBytes(at, bytes, invert ? 0x00 : 0xFF);
    const unsigned got = cupsRasterReadPixels(ras, at, bytes);
    if (invert)
        invertBytes(at, bytes);
    return got != 0;
}

// pageRowStride: bytes from one stored row to the next: the bytes per line,
// or the sent width when a header claims fewer bytes than its width needs.
static std::uint32_t pageRowStride(const cups_page_header2_t& header)
{
    const std::uint32_t sent = header.cupsWidth / 8;
    return header.cupsBytesPerLine > sent ? header.cupsBytesPerLine : sent;
}

// ReadPageRaster: read the page's rows into the store, rows packed
// pageRowStride bytes apart; returns how many rows it holds. Reading stops
// at the first failed read or a cancel; the rows not read are left to be
// sent white.
static std::uint32_t ReadPageRaster(cups_raster_t* ras, const cups_page_header2_t* header)
{
    const std::uint32_t bpl = header->cupsBytesPerLine;
    const std::uint32_t stride = pageRowStride(*header);
    const std::uint32_t rows = header->cupsHeight;
    const bool invert = quorvelPageFromHeader(*header).colorSpace == CUPS_CSPACE_K;
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
    return k;
}

// SendPageRaster: the rows read, top to bottom.
static void SendPageRaster(const cups_page_header2_t* header, std::uint32_t rows)
{
    sent(quorvelSendRows(gJob, szImageRaster, pageRowStride(*header), rows));
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
    // kill the filter before it can say so. The job state is reset before
    // the handler goes in, so a cancel that comes while the stream is being
    // opened is not lost.
    gCanceled = 0;
    gJobFailed = 0;
    quorvelJobInit(gJob, writeStdout, nullptr);
    gPage = 0;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = CancelJob;
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);

    cups_raster_t* ras = cupsRasterOpenIO(readInput, &fd, CUPS_RASTER_READ);

    bool setupDone = false;
    PrintJobAttr attr = {0, 0, 0, 0, 0, 0}; // the job's attributes start out all zero
    cups_page_header2_t header;
    char why[256];
    while (cupsRasterReadHeader2(ras, &header)) {
        if (gCanceled || gOutputReported)
            break;
        ++gPage;
        const QuorvelPage page = quorvelPageFromHeader(header);
        if (quorvelPageProblem(page, gPage, why, sizeof why)) {
            std::fprintf(stderr, "ERROR: %s\n", why);
            gJobFailed = 1;
            if (!SkipPage(ras, header))
                break;
            continue;
        }
        if (!setupDone) {
            // The first printed page sets up the whole job.
            getPrintJobAttrFromPPD(&header);
            getPrintJobAttrFromArgs(argv[5], ppd, attr);
            sent(quorvelStartJob(gJob, page, attr));
            setupDone = true;
        }
        if (!PageSetup(page))
            break;
        const std::uint32_t rows = ReadPageRaster(ras, &header);
        SendPageRaster(&header, rows);
        PageFinish();
        if (gCanceled || gOutputReported)
            break;
    }

    JobFinish();

    std::fprintf(stderr, "-------%s---------JobFinish end \n", "main");
    ppdClose(ppd);
    if (ras != nullptr)
        cupsRasterClose(ras);
    if (fd != 0)
        close(fd);

    if (gJobFailed || gOutputReported)
        return 1;
    return gPage != 0 ? 0 : 1;
}
