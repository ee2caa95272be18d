// PDF jobs. PAPPL renders no PDF, so this filter runs Ghostscript for each
// job, under a CPU and memory limit, and reads its pages from a pipe as
// they are rendered: each page is turned and scaled onto the sheet,
// dithered to 1 bit and handed to the driver's raster callbacks, so the
// first page is printing while the next is rendered.
#include "pdf_filter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "document_filters.h"
#include "driver.h"
#include "job_log.h"
#include "page_layout.h"

namespace {

// Limits for one job's renderer: CPU seconds and address space.
constexpr rlim_t kRenderCpuSeconds = 600;
constexpr rlim_t kRenderMemory = rlim_t(2) << 30;

// Renderer resolutions outside this range mean a page far from the sheet's
// size; the page is then resampled instead.
constexpr double kMinRenderDpi = 30, kMaxRenderDpi = 1200;

// Child: a renderer process and the pipe its output comes through.
struct Child {
    pid_t pid = -1;
    int out = -1;
};

// spawn: run argv with its output on a pipe and its errors in errPath,
// limited so a hostile document cannot take the machine.
Child spawn(const std::vector<std::string>& argv, const std::string& errPath)
{
    Child child;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return child;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    child.pid = fork();
    if (child.pid == 0) {
        const rlimit cpu = {kRenderCpuSeconds, kRenderCpuSeconds + 10};
        const rlimit mem = {kRenderMemory, kRenderMemory};
        setrlimit(RLIMIT_CPU, &cpu);
        setrlimit(RLIMIT_AS, &mem);
        const int in = open("/dev/null", O_RDONLY);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(fds[1], 1);
        dup2(err >= 0 ? err : in, 2);
        // Nothing else of the server's: PAPPL opens file devices without
        // close-on-exec, and a renderer must not hold another job's
        // printer open after that job has closed it.
        closefrom(3);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    if (child.pid < 0) {
        close(fds[0]);
        return child;
    }
    child.out = fds[0];
    return child;
}

// finish: reap the child, stopping it first when the job no longer wants
// its output; returns its wait status.
int finish(Child& child, bool stop)
{
    if (child.out >= 0)
        close(child.out);
    child.out = -1;
    if (child.pid <= 0)
        return -1;
    if (stop)
        kill(child.pid, SIGTERM);
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    child.pid = -1;
    return status;
}

// Reader: the renderer's output, read in large pieces: a page comes as
// thousands of short rows, and a read for each would cost more than
// encoding them.
struct Reader {
    int fd = -1;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(1 << 16);
    std::size_t at = 0, end = 0;
};

// readAll: read exactly len bytes; false at the end of the output.
bool readAll(Reader& in, void* out, std::size_t len)
{
    auto* p = static_cast<unsigned char*>(out);
    while (len > 0) {
        if (in.at == in.end) {
            const ssize_t n = read(in.fd, in.buffer.data(), in.buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            in.at = 0;
            in.end = static_cast<std::size_t>(n);
        }
        const std::size_t take = std::min(len, in.end - in.at);
        std::memcpy(p, in.buffer.data() + in.at, take);
        in.at += take;
        p += take;
        len -= take;
    }
    return true;
}

// pgmNumber: the next number of a PGM header, skipping blanks and comments.
bool pgmNumber(Reader& in, long& value)
{
    char c;
    do {
        if (!readAll(in, &c, 1))
            return false;
        if (c == '#')
            while (c != '\n')
                if (!readAll(in, &c, 1))
                    return false;
    } while (c == ' ' || c == '\t' || c == '\r' || c == '\n');
    value = 0;
    while (c >= '0' && c <= '9') {
        value = value * 10 + (c - '0');
        if (value > 1000000)
            return false;
        if (!readAll(in, &c, 1))
            return false;
    }
    return true; // the single blank after the number is used up
}

// readPageHeader: the size of the next page of the renderer's output (PGM,
// or PBM when oneBit); 0 at its end, -1 when the output is damaged.
int readPageHeader(Reader& in, bool oneBit, GreyPage& page)
{
    char magic[2];
    if (!readAll(in, magic, 2))
        return 0;
    long w, h, maxval = 255;
    if (magic[0] != 'P' || magic[1] != (oneBit ? '4' : '5') || !pgmNumber(in, w) || !pgmNumber(in, h) ||
        (!oneBit && !pgmNumber(in, maxval)) || maxval != 255 || w <= 0 || h <= 0)
        return -1;
    page.width = static_cast<int>(w);
    page.height = static_cast<int>(h);
    return 1;
}

// readRows: the next rows of the page into its pixels, each rowBytes long;
// false when the output ends first.
bool readRows(Reader& in, GreyPage& page, int rows, int rowBytes)
{
    page.pixels.resize(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(rows));
    return readAll(in, page.pixels.data(), page.pixels.size());
}

// greyFromBits: a 1-bit page (set bits black) as grey, for turning or
// scaling.
void greyFromBits(GreyPage& page)
{
    const std::size_t rowBytes = (static_cast<std::size_t>(page.width) + 7) / 8;
    std::vector<std::uint8_t> grey(static_cast<std::size_t>(page.width) * static_cast<std::size_t>(page.height));
    for (int y = 0; y < page.height; ++y)
        for (int x = 0; x < page.width; ++x)
            grey[static_cast<std::size_t>(y) * page.width + x] =
                page.pixels[y * rowBytes + x / 8] & (0x80 >> (x & 7)) ? 0 : 255;
    page.pixels.swap(grey);
}

// PdfInfo: the document's page count and the sizes of the pages pdfinfo
// was asked about, in points, as each page is shown.
struct PdfInfo {
    int pages = 0;
    std::map<int, std::pair<double, double>> sizes;
};

// Pages whose sizes one pdfinfo run reports; a job that starts later in a
// longer document asks again for its first page.
constexpr int kInfoPages = 2000;

// readInfo: ask pdfinfo about pages first to last; its first error line
// explains a failure.
bool readInfo(const std::string& path, int first, int last, const std::string& errPath, PdfInfo& info,
              std::string& error)
{
    Child child = spawn({"pdfinfo", "-f", std::to_string(first), "-l", std::to_string(last), path},
                        errPath);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while (child.out >= 0 && ((n = read(child.out, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
        if (n > 0 && text.size() < (1u << 20))
            text.append(buffer, static_cast<std::size_t>(n));
    const int status = finish(child, false);
    std::map<int, int> rotation;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        int number, rotate;
        double w, h;
        if (std::sscanf(line.c_str(), "Pages: %d", &number) == 1)
            info.pages = number;
        else if (std::sscanf(line.c_str(), "Page %d size: %lf x %lf", &number, &w, &h) == 3)
            info.sizes[number] = {w, h};
        else if (std::sscanf(line.c_str(), "Page %d rot: %d", &number, &rotate) == 2)
            rotation[number] = rotate;
        at = end + 1;
    }
    for (auto& [number, size] : info.sizes)
        if (rotation[number] % 180 != 0)
            std::swap(size.first, size.second);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && info.pages > 0)
        return true;
    error = "the file cannot be read as a PDF";
    if (FILE* f = std::fopen(errPath.c_str(), "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, f)) {
            line[std::strcspn(line, "\r\n")] = '\0';
            error += std::string(" (") + line + ")";
        }
        std::fclose(f);
    }
    return false;
}

// sameSize: whether pdfinfo reported every page from first to last, all of
// the size of the first.
bool sameSize(const PdfInfo& info, int first, int last)
{
    const auto from = info.sizes.find(first);
    if (from == info.sizes.end())
        return false;
    for (int page = first + 1; page <= last; ++page) {
        const auto at = info.sizes.find(page);
        if (at == info.sizes.end() || std::fabs(at->second.first - from->second.first) > 0.5 ||
            std::fabs(at->second.second - from->second.second) > 0.5)
            return false;
    }
    return true;
}

// looksLikePdf: PDF readers find the header within the first kilobyte.
bool looksLikePdf(const std::string& path)
{
    char head[1024];
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = read(fd, head, sizeof head);
    close(fd);
    return n > 5 && memmem(head, static_cast<std::size_t>(n), "%PDF-", 5) != nullptr;
}

// Renderer: one job's Ghostscript and where its errors go.
struct Renderer {
    Child child;
    std::string errPath;
    ~Renderer()
    {
        finish(child, true);
        if (!errPath.empty())
            unlink(errPath.c_str());
    }
};

// tempPath: a fresh file name for a child's error output.
std::string tempPath()
{
    std::string path = std::string(papplGetTempDir()) + "/quorvel-pdf-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0)
        return "/dev/null";
    close(fd);
    return path;
}

} // namespace

bool quorvelPdfFilter(pappl_job_t* job, pappl_device_t* device, void*)
{
    const char* file = papplJobGetFilename(job);
    const std::string path = file ? file : "";
    if (!looksLikePdf(path))
        return jobFail(job, "The document is not a PDF file.");

    Renderer renderer;
    renderer.errPath = tempPath();
    PdfInfo info;
    std::string error;
    if (!readInfo(path, 1, kInfoPages, renderer.errPath, info, error))
        return jobFail(job, "The PDF document cannot be printed: " + error + ".");

    Sheet sheet;
    if (!sheetOpen(job, static_cast<unsigned>(info.pages), sheet))
        return jobFail(job, "Unable to get the job's print options.");
    pappl_pr_options_t* options = sheet.options;
    const int first = std::max(1, static_cast<int>(options->first_page));
    const int last = std::min(info.pages, static_cast<int>(options->last_page));
    if (first > last)
        return jobFail(job, "page-ranges selects none of the document's " + std::to_string(info.pages) + " pages.");
    if (!info.sizes.count(first))
        readInfo(path, first, first, renderer.errPath, info, error);
    const auto [firstW, firstH] = info.sizes[first];

    const cups_page_header2_t& header = options->header;
    const int sheetW = sheet.width, sheetH = sheet.height;
    const double sheetDpi = sheet.dpi;

    // Render at the resolution that puts the first page on the sheet at
    // its final size, so pages of that size need no resampling.
    const Scaling scaling = scalingFor(options->print_scaling);
    const Orientation orientation = orientationFor(job, options);
    const Placement firstPlace = placePage(static_cast<int>(std::lround(firstW)),
                                           static_cast<int>(std::lround(firstH)), 72, sheetW,
                                           sheetH, sheetDpi, scaling, orientation);
    double dpi = std::clamp(firstPlace.scale * 72, kMinRenderDpi, kMaxRenderDpi);
    if (!std::isfinite(dpi))
        dpi = sheetDpi;
    // When every page lands upright at its rendered size, Ghostscript
    // renders and halftones straight to 1 bit, which is much quicker than
    // grey pixels dithered here; other pages come as grey to be turned or
    // scaled.
    const bool oneBit = sameSize(info, first, last) && firstPlace.turn == Turn::None && dpi == firstPlace.scale * 72;
    char dpiText[32];
    std::snprintf(dpiText, sizeof dpiText, "-r%.3f", dpi);
    renderer.child = spawn({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE",
                            "-sstdout=%stderr", oneBit ? "-sDEVICE=pbmraw" : "-sDEVICE=pgmraw", dpiText,
                            "-dUseCropBox",
                            "-dFirstPage=" + std::to_string(first), "-dLastPage=" + std::to_string(last),
                            "-sOutputFile=-", "-f", path},
                           renderer.errPath);
    if (renderer.child.out < 0)
        return jobFail(job, "Unable to start the PDF renderer (Ghostscript).");
    jobLog(job, PAPPL_LOGLEVEL_INFO, "Rendering pages %d to %d at %.1f dpi, %s.", first, last, dpi,
                oneBit ? "1-bit" : "grey");

    const pappl_pr_driver_data_t& driver = sheet.driver;
    quorvelSetJobFormat("application/pdf");
    papplJobSetImpressions(job, last - first + 1);
    bool ok = driver.rstartjob_cb(job, options, device);
    Reader output;
    output.fd = renderer.child.out;
    std::vector<std::uint8_t> row(header.cupsBytesPerLine + 16);
    GreyPage page;
    int printed = 0, got = 0;
    for (unsigned index = 0; ok && !papplJobIsCanceled(job); ++index) {
        got = readPageHeader(output, oneBit, page);
        if (got <= 0)
            break;
        const Placement place = placePage(page.width, page.height, dpi, sheetW, sheetH, sheetDpi,
                                          scaling, orientation);
        // A page rendered upright at the sheet's size goes out row by row
        // as the renderer sends it: the first rows print early and a page
        // never sits whole in memory. A page to turn or scale is read whole.
        const bool streamed = place.turn == Turn::None && place.scale == 1;
        const int rowBytes = oneBit ? (page.width + 7) / 8 : page.width;
        if (!streamed) {
            if (!readRows(output, page, page.height, rowBytes)) {
                got = -1;
                break;
            }
            if (oneBit)
                greyFromBits(page);
        }
        const int height = page.height;
        int rowsRead = 0;
        GreyPage band{page.width, 1, {}};
        const GreyPage white;
        const int bytesPerLine = static_cast<int>(header.cupsBytesPerLine);
        ok = driver.rstartpage_cb(job, options, device, index);
        for (int y = 0; ok && y < sheetH; ++y) {
            // A cancel ends the page where it is; its other rows are white.
            if ((y & 255) == 0 && papplJobIsCanceled(job))
                break;
            if (streamed) {
                const int sy = y - place.top;
                for (; rowsRead <= sy && sy < height && got > 0; ++rowsRead)
                    if (!readRows(output, band, 1, rowBytes))
                        got = -1;
                const bool inPage = sy >= 0 && sy < height && got > 0;
                if (oneBit)
                    placeBits(band.pixels.data(), inPage ? page.width : 0, place.left, sheetW, row.data(),
                              bytesPerLine);
                else
                    sheetRow(inPage ? band : white, Placement{Turn::None, 1, place.left, y, page.width, 1}, y,
                             sheetW, options->dither, row.data(), bytesPerLine);
            } else {
                sheetRow(page, place, y, sheetW, options->dither, row.data(), bytesPerLine);
            }
            ok = driver.rwriteline_cb(job, options, device, static_cast<unsigned>(y), row.data());
        }
        // Rows of the page that fell off the sheet are read past.
        for (; streamed && ok && got > 0 && rowsRead < height && !papplJobIsCanceled(job); ++rowsRead)
            if (!readRows(output, band, 1, rowBytes))
                got = -1;
        if (ok)
            ok = driver.rendpage_cb(job, options, device, index);
        if (got < 0)
            break; // the renderer's output ended inside this page
        ++printed;
        papplJobSetImpressionsCompleted(job, 1);
    }
    const bool canceled = papplJobIsCanceled(job);
    const bool ended = driver.rendjob_cb(job, options, device);
    const int status = finish(renderer.child, got != 0 || canceled || !ok);
    if (!ok || !ended)
        return false;
    if (canceled)
        return true;
    // A stop signal reaches the renderer and the server at once: a renderer
    // killed by it waits a moment for the server's handler to say so.
    const bool killedByStop = WIFSIGNALED(status) && (WTERMSIG(status) == SIGTERM || WTERMSIG(status) == SIGINT);
    for (int i = 0; killedByStop && !quorvelStopping() && i < 50; ++i)
        usleep(10000);
    if ((got < 0 || !WIFEXITED(status)) && quorvelStopping())
        return jobFail(job, "The printer application was stopped after " + std::to_string(printed) + " of " +
                                std::to_string(last - first + 1) + " pages.");
    if (got < 0)
        return jobFail(job, "The PDF renderer's output ended inside page " + std::to_string(first + printed) + ".");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string why = WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU
                              ? "it ran out of time"
                              : "it reported an error";
        return jobFail(job, "The PDF renderer stopped after " + std::to_string(printed) + " of " +
                             std::to_string(last - first + 1) + " pages: " + why + ".");
    }
    return true;
}
