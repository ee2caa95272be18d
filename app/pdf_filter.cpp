// PDF jobs. PAPPL renders no PDF, so this filter runs Ghostscript for each
// job, under a CPU and memory limit, and reads its pages from a pipe as
// they are rendered. A small PostScript program of ours has Ghostscript
// draw every page already turned, scaled and centred on the sheet and
// halftoned to 1 bit, so each page comes as the sheet's own rows and goes
// to the driver's raster callbacks as it arrives: the first page is
// printing while the next is rendered. Two Ghostscripts render alternate
// pages at once, and the pages are printed in order.
#include "pdf_filter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
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

// Renderers for one job: pages alternate between them, so one renders a
// page while the other's is being printed.
constexpr int kRenderers = 2;

// A renderer's pipe holds this much, so it can run a page ahead of the
// printer (the kernel may give less).
constexpr int kPipeBytes = 1 << 20;

// Child: a renderer process, the socket its program goes in by (when it
// reads one) and the pipe its output comes through.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1;
};

// spawn: run argv with its output on a pipe and its errors in errPath,
// limited so a hostile document cannot take the machine. With input, its
// standard input is a socket the program is sent by (a socket, not a pipe:
// a send to a renderer that died fails instead of raising SIGPIPE).
Child spawn(const std::vector<std::string>& argv, const std::string& errPath, bool input = false)
{
    Child child;
    int fds[2], sock[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0)
        return child;
    if (input && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sock) != 0) {
        close(fds[0]);
        close(fds[1]);
        return child;
    }
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
        const int in = input ? sock[1] : open("/dev/null", O_RDONLY);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(fds[1], 1);
        dup2(err >= 0 ? err : in, 2);
        // Nothing else of the server's: PAPPL opens file devices without
        // close-on-exec, and a renderer (one waiting for the next job
        // above all) must not hold a printer or a client open.
        closefrom(3);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    if (input)
        close(sock[1]);
    if (child.pid < 0) {
        close(fds[0]);
        if (input)
            close(sock[0]);
        return child;
    }
    child.out = fds[0];
    child.in = sock[0];
    return child;
}

// finish: reap the child, stopping it first when the job no longer wants
// its output; returns its wait status.
int finish(Child& child, bool stop)
{
    for (int* fd : {&child.in, &child.out})
        if (*fd >= 0)
            close(*fd);
    child.in = child.out = -1;
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

// pbmNumber: the next number of a PBM header, skipping blanks and comments.
bool pbmNumber(Reader& in, long& value)
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

// readPageHeader: the size of the next page of the renderer's 1-bit
// output; 0 at its end, -1 when the output is damaged.
int readPageHeader(Reader& in, int& width, int& height)
{
    char magic[2];
    if (!readAll(in, magic, 2))
        return 0;
    long w, h;
    if (magic[0] != 'P' || magic[1] != '4' || !pbmNumber(in, w) || !pbmNumber(in, h) || w <= 0 || h <= 0)
        return -1;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return 1;
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

// TempFile: a fresh file for pdfinfo's error output, removed with it.
struct TempFile {
    std::string path;
    TempFile()
    {
        path = std::string(papplGetTempDir()) + "/quorvel-pdf-XXXXXX";
        const int fd = mkstemp(path.data());
        if (fd < 0)
            path = "/dev/null";
        else
            close(fd);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile()
    {
        if (path != "/dev/null" && !path.empty())
            unlink(path.c_str());
    }
};

// Renderer: one of a job's Ghostscripts and its output as it is read. Its
// messages are not kept: what a job says about a document comes from
// pdfinfo and from how the renderer ended.
struct Renderer {
    Child child;
    Reader output;
    bool atEnd = false; // its output has ended
    ~Renderer() { finish(child, true); }
};

// Spare: a renderer started before its job, waiting for its program: part
// of Ghostscript's time on a short document is its own start, which a job
// that finds spares does not wait for. key says what it was started for.
struct Spare {
    Child child;
    std::string key;
};

// Sheets spares are kept for: an office that prints on A4 and Letter keeps
// both warm, at some 20 MB a waiting Ghostscript.
constexpr std::size_t kSpareSheets = 2;

// SparePool: the spares and the sheets they are kept for.
struct SparePool {
    std::mutex lock;
    std::vector<Spare> spares;       // kRenderers for each sheet in sheets, at most
    std::vector<std::string> sheets; // the sheets printed last, latest first
};

// The server's spares; never destroyed, since a job's thread may still
// use it while the server exits.
SparePool& gPool = *new SparePool;

// rendererArgs: Ghostscript for sheets of w x h pixels at dpi, reading
// documents from folder dir and its program from standard input.
std::vector<std::string> rendererArgs(double dpi, int w, int h, const std::string& dir)
{
    char dpiText[32], sizeText[48];
    std::snprintf(dpiText, sizeof dpiText, "-r%g", dpi);
    std::snprintf(sizeText, sizeof sizeText, "-g%dx%d", w, h);
    return {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE", "-sstdout=%stderr",
            "-sDEVICE=pbmraw", dpiText, sizeText, "-dFIXEDMEDIA", "-dUseCropBox",
            "--permit-file-read=" + dir + "/", "-sOutputFile=-", "-"};
}

// keyOf: what a spare for args is known by.
std::string keyOf(const std::vector<std::string>& args)
{
    std::string key;
    for (const std::string& a : args)
        key += a + '\n';
    return key;
}

// startRenderer: a renderer for args, a spare if one was started for them.
bool startRenderer(const std::vector<std::string>& args, Renderer& renderer)
{
    const std::string key = keyOf(args);
    {
        std::lock_guard<std::mutex> lock(gPool.lock);
        for (auto at = gPool.spares.begin(); at != gPool.spares.end();) {
            if (at->key != key) {
                ++at;
                continue;
            }
            int status;
            if (waitpid(at->child.pid, &status, WNOHANG) == 0) {
                renderer.child = at->child;
                gPool.spares.erase(at);
                return true;
            }
            // It ended while it waited (and is reaped); nobody needs its say.
            at->child.pid = -1;
            finish(at->child, false);
            at = gPool.spares.erase(at);
        }
    }
    renderer.child = spawn(args, "/dev/null", true);
    return renderer.child.out >= 0;
}

// keepSpares: have kRenderers spares waiting for the sheet args are for,
// starting what is missing. Spares are kept for the two sheets printed
// last (A4 and Letter, say), no more.
void keepSpares(const std::vector<std::string>& args)
{
    const std::string key = keyOf(args);
    std::lock_guard<std::mutex> lock(gPool.lock);
    gPool.sheets.erase(std::remove(gPool.sheets.begin(), gPool.sheets.end(), key), gPool.sheets.end());
    gPool.sheets.insert(gPool.sheets.begin(), key);
    if (gPool.sheets.size() > kSpareSheets)
        gPool.sheets.resize(kSpareSheets);
    std::size_t kept = 0;
    for (auto at = gPool.spares.begin(); at != gPool.spares.end();) {
        if (std::find(gPool.sheets.begin(), gPool.sheets.end(), at->key) != gPool.sheets.end()) {
            kept += at->key == key;
            ++at;
            continue;
        }
        finish(at->child, true);
        at = gPool.spares.erase(at);
    }
    for (; kept < static_cast<std::size_t>(kRenderers); ++kept) {
        const Spare spare{spawn(args, "/dev/null", true), key};
        if (spare.child.out < 0)
            return;
        gPool.spares.push_back(spare);
    }
}

// PagePlace: a page of the document and how it lands on the sheet.
struct PagePlace {
    int number;  // in the document, from 1
    double m[6]; // pageMatrix
    double w, h; // its size in points, as shown
};

// The program's body: for each page, Ghostscript's own set-up for the page
// (its box, its rotation) is moved onto the sheet by the page's matrix and
// clipped to the page, then the page is drawn. A page the interpreter cannot
// find prints blank, so every page the job counts comes out.
constexpr const char* kProgramBody = R"(QPDF (r) file runpdfbegin
QPages {
  aload pop /QH exch def /QW exch def /QM exch def
  pdfgetpage dup null eq {
    pop showpage
  } {
    pdfshowpage_init pdfshowpage_setpage
    matrix currentmatrix matrix defaultmatrix matrix invertmatrix matrix concatmatrix
    initmatrix QM concat newpath 0 0 QW QH rectclip concat
    pdfshowpage_finish
  } ifelse
} forall
runpdfend
)";

// program: the PostScript program that renders document path's pages,
// every step-th from the from-th, onto the sheet. The path goes in as hex,
// so no character of it means anything to PostScript.
std::string program(const std::string& path, const std::vector<PagePlace>& pages, std::size_t from,
                    std::size_t step)
{
    std::string text = "/QPDF <";
    char buffer[200];
    for (const unsigned char c : path) {
        std::snprintf(buffer, sizeof buffer, "%02x", c);
        text += buffer;
    }
    text += "> def\n/QPages [\n";
    for (std::size_t i = from; i < pages.size(); i += step) {
        const PagePlace& p = pages[i];
        std::snprintf(buffer, sizeof buffer, "[%d [%.6f %.6f %.6f %.6f %.4f %.4f] %.4f %.4f]\n", p.number, p.m[0],
                      p.m[1], p.m[2], p.m[3], p.m[4], p.m[5], p.w, p.h);
        text += buffer;
    }
    return text + "] def\n" + kProgramBody;
}

// sendProgram: the whole program to the renderer, whose input then ends.
bool sendProgram(Child& child, const std::string& text)
{
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t n = send(child.in, text.data() + at, text.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += static_cast<std::size_t>(n);
    }
    close(child.in);
    child.in = -1;
    return true;
}

// sizeOf: a page's size as pdfinfo gave it; a page it said nothing of
// (past what it was asked) takes the size of the nearest page before it.
std::pair<double, double> sizeOf(const PdfInfo& info, int page)
{
    const auto at = info.sizes.upper_bound(page);
    if (at == info.sizes.begin())
        return at == info.sizes.end() ? std::pair<double, double>{612, 792} : at->second;
    return std::prev(at)->second;
}

// why: a renderer's wait status in words.
std::string why(int status)
{
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU ? "it ran out of time" : "it reported an error";
}

} // namespace

bool quorvelPdfFilter(pappl_job_t* job, pappl_device_t* device, void*)
{
    const char* file = papplJobGetFilename(job);
    const std::string path = file ? file : "";
    if (!looksLikePdf(path))
        return jobFail(job, "The document is not a PDF file.");
    const std::string folder = path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
    {
        // Renderers for the sheet start now, while pdfinfo reads the
        // document, unless spares for it are waiting already.
        Sheet probe;
        if (sheetOpen(job, 0, probe))
            keepSpares(rendererArgs(probe.dpi, probe.width, probe.height, folder));
    }

    Renderer renderers[kRenderers];
    const TempFile infoErr;
    PdfInfo info;
    std::string error;
    if (!readInfo(path, 1, kInfoPages, infoErr.path, info, error))
        return jobFail(job, "The PDF document cannot be printed: " + error + ".");

    Sheet sheet;
    if (!sheetOpen(job, static_cast<unsigned>(info.pages), sheet))
        return jobFail(job, "Unable to get the job's print options.");
    pappl_pr_options_t* options = sheet.options;
    const int first = std::max(1, static_cast<int>(options->first_page));
    const int last = std::min(info.pages, static_cast<int>(options->last_page));
    if (first > last)
        return jobFail(job, "page-ranges selects none of the document's " + std::to_string(info.pages) + " pages.");
    if (!info.sizes.count(first) || !info.sizes.count(last))
        readInfo(path, first, last, infoErr.path, info, error);

    // Where each page lands: where a page of its size in pixels at the
    // sheet's resolution is placed, drawn there by Ghostscript.
    const int sheetW = sheet.width, sheetH = sheet.height;
    const double sheetDpi = sheet.dpi;
    const Scaling scaling = scalingFor(options->print_scaling);
    const Orientation orientation = orientationFor(job, options);
    std::vector<PagePlace> pages;
    for (int number = first; number <= last; ++number) {
        const auto [w, h] = sizeOf(info, number);
        const Placement place = placePage(static_cast<int>(std::lround(w * sheetDpi / 72)),
                                          static_cast<int>(std::lround(h * sheetDpi / 72)), sheetDpi, sheetW, sheetH,
                                          sheetDpi, scaling, orientation);
        PagePlace p{number, {}, w, h};
        pageMatrix(place, w, h, sheetH, sheetDpi, p.m);
        pages.push_back(p);
    }

    // Each renderer takes every other page; a one-page job needs one.
    const int count = static_cast<int>(pages.size());
    const int used = std::min(kRenderers, count);
    const std::vector<std::string> args = rendererArgs(sheetDpi, sheetW, sheetH, folder);
    for (int r = 0; r < used; ++r) {
        Renderer& renderer = renderers[r];
        const std::string text = program(path, pages, static_cast<std::size_t>(r), static_cast<std::size_t>(used));
        // A spare that cannot take its program gives way to a new renderer.
        bool sent = startRenderer(args, renderer) && sendProgram(renderer.child, text);
        if (!sent && renderer.child.pid > 0) {
            finish(renderer.child, true);
            renderer.child = spawn(args, "/dev/null", true);
            sent = renderer.child.out >= 0 && sendProgram(renderer.child, text);
        }
        if (!sent)
            return jobFail(job, "Unable to start the PDF renderer (Ghostscript).");
        fcntl(renderer.child.out, F_SETPIPE_SZ, kPipeBytes);
        renderer.output.fd = renderer.child.out;
    }
    jobLog(job, PAPPL_LOGLEVEL_INFO, "Rendering pages %d to %d onto the sheet, 1-bit, %d at a time.", first, last,
           used);

    const pappl_pr_driver_data_t& driver = sheet.driver;
    quorvelSetJobFormat("application/pdf");
    papplJobSetImpressions(job, count);
    bool ok = driver.rstartjob_cb(job, options, device);
    const int bytesPerLine = sheet.bytesPerLine;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(bytesPerLine) + 16), band;
    int printed = 0, got = 0;
    for (int index = 0; ok && index < count && !papplJobIsCanceled(job); ++index) {
        Renderer& renderer = renderers[index % used];
        int width = 0, height = 0;
        got = readPageHeader(renderer.output, width, height);
        if (got <= 0) {
            renderer.atEnd = got == 0;
            break;
        }
        // The page is the sheet, row for row, as the renderer sends it: the
        // first rows print early and a page never sits whole in memory.
        const std::size_t rowBytes = (static_cast<std::size_t>(width) + 7) / 8;
        band.resize(rowBytes);
        int rowsRead = 0;
        ok = driver.rstartpage_cb(job, options, device, static_cast<unsigned>(index));
        for (int y = 0; ok && y < sheetH; ++y) {
            // A cancel ends the page where it is; its other rows are white.
            if ((y & 255) == 0 && papplJobIsCanceled(job))
                break;
            if (y < height && got > 0) {
                if (readAll(renderer.output, band.data(), rowBytes))
                    ++rowsRead;
                else
                    got = -1;
            }
            placeBits(band.data(), y < height && got > 0 ? width : 0, 0, sheetW, row.data(), bytesPerLine);
            ok = driver.rwriteline_cb(job, options, device, static_cast<unsigned>(y), row.data());
        }
        // Rows of the page that fell off the sheet are read past.
        for (; ok && got > 0 && rowsRead < height && !papplJobIsCanceled(job); ++rowsRead)
            if (!readAll(renderer.output, band.data(), rowBytes))
                got = -1;
        if (ok)
            ok = driver.rendpage_cb(job, options, device, static_cast<unsigned>(index));
        if (got < 0)
            break; // the renderer's output ended inside this page
        ++printed;
        papplJobSetImpressionsCompleted(job, 1);
    }
    const bool canceled = papplJobIsCanceled(job);
    const bool ended = driver.rendjob_cb(job, options, device);
    // Renderers that sent all their pages end by themselves; any other is
    // stopped. The one whose page did not come says why.
    const bool whole = ok && !canceled && got >= 0 && printed == count;
    int status = 0;
    for (int r = 0; r < used; ++r) {
        const int s = finish(renderers[r].child, !whole && !renderers[r].atEnd);
        if (printed < count ? r == printed % used : status == 0)
            status = s;
    }
    if (!quorvelStopping())
        keepSpares(args);
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
                                std::to_string(count) + " pages.");
    if (got < 0)
        return jobFail(job, "The PDF renderer's output ended inside page " + std::to_string(first + printed) + ".");
    if (printed < count || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return jobFail(job, "The PDF renderer stopped after " + std::to_string(printed) + " of " +
                                std::to_string(count) + " pages: " + why(status) + ".");
    return true;
}
