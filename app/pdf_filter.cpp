// PDF jobs. PAPPL renders no PDF, so this filter runs Ghostscript for each
// job, under a CPU and memory limit, and reads its pages from a pipe as
// they are rendered. A small PostScript program of ours has Ghostscript
// draw every page already turned, scaled and centred on the sheet and
// halftoned to 1 bit, so each page comes as the sheet's own rows and goes
// to the driver's raster callbacks as it arrives: the first page is
// printing while the next is rendered. Two Ghostscripts render alternate
// pages at once, and the pages are printed in order.
//
// A document from the network is untrusted: each Ghostscript may read its
// own folder only, where the job that takes it puts the job's document,
// and runs as a renderer process (renderer_process.h). The job never
// blocks on a renderer: it polls, so a cancel, the server's stop or a page
// that keeps it waiting past the time limit kills the renderers at once,
// and the page and the job still end properly for the printer.
#include "pdf_filter.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
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
#include "renderer_process.h"

namespace {

// Renderers for one job: pages alternate between them, so one renders a
// page while the other's is being printed.
constexpr int kRenderers = 2;

// A renderer's pipe holds this much, so it can run a page ahead of the
// printer (the kernel may give less).
constexpr int kPipeBytes = 1 << 20;

// How long a wait for a renderer's output goes before the job looks again
// whether it was cancelled, the server stopped or the page's time ran out.
constexpr int kPollMilliseconds = 100;

// The longest a job waits for one page, in seconds (render-time-limit).
std::atomic<int> gPageSeconds{60};

// Stop: why a job stopped waiting for its renderer.
enum class Stop { None, Canceled, TimedOut };

// Watch: a job's wait for a renderer: the time waited for the page in hand
// and why the wait was given up.
struct Watch {
    pappl_job_t* job = nullptr;
    double waited = 0; // seconds, for this page
    Stop stop = Stop::None;
};

// waitFor: wait until fd can be read (or has ended); false, with the
// reason in watch, once the job is cancelled, the server stops or the page
// has been waited for longer than its limit. A renderer that spins on a
// page is never waited for in a read, so a cancel stops it at once.
bool waitFor(int fd, Watch& watch)
{
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        const auto since = std::chrono::steady_clock::now();
        const int n = poll(&p, 1, kPollMilliseconds);
        watch.waited += std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
        if (n > 0 || (n < 0 && errno != EINTR))
            return true; // the read says what came
        if ((watch.job && papplJobIsCanceled(watch.job)) || quorvelStopping()) {
            watch.stop = Stop::Canceled;
            return false;
        }
        if (watch.waited >= gPageSeconds) {
            watch.stop = Stop::TimedOut;
            return false;
        }
    }
}

// finish: reap a renderer, killing it first when the job no longer wants
// its output; returns its wait status.
int finish(RenderProcess& child, bool stop)
{
    return renderEnd(child, stop);
}

// Reader: the renderer's output, read in large pieces: a page comes as
// thousands of short rows, and a read for each would cost more than
// encoding them.
struct Reader {
    int fd = -1;
    Watch* watch = nullptr;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(1 << 16);
    std::size_t at = 0, end = 0;
};

// readAll: read exactly len bytes; false at the end of the output, or when
// the job's watch gave up waiting for it.
bool readAll(Reader& in, void* out, std::size_t len)
{
    auto* p = static_cast<unsigned char*>(out);
    while (len > 0) {
        if (in.at == in.end) {
            if (in.watch && !waitFor(in.fd, *in.watch))
                return false;
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
// explains a failure. pdfinfo is a renderer too: it reads the document
// from its standard input, and its wait is watched as a page's is.
bool readInfo(const std::string& path, int first, int last, const std::string& errPath, Watch& watch,
              PdfInfo& info, std::string& error)
{
    RenderRequest request;
    request.argv = {"pdfinfo", "-f", std::to_string(first), "-l", std::to_string(last), "fd://0"};
    request.errPath = errPath;
    request.inputFd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    RenderProcess child;
    if (request.inputFd >= 0) {
        child = renderSpawn(request);
        close(request.inputFd);
    }
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    watch.waited = 0;
    while (child.out >= 0 && waitFor(child.out, watch) &&
           ((n = read(child.out, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
        if (n > 0 && text.size() < (1u << 20))
            text.append(buffer, static_cast<std::size_t>(n));
    const int status = finish(child, watch.stop != Stop::None);
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
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && info.pages > 0 && watch.stop == Stop::None)
        return true;
    if (watch.stop == Stop::TimedOut) {
        error = "reading it took longer than " + std::to_string(gPageSeconds) + " seconds";
        return false;
    }
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

// The name a job's document has in its renderer's folder.
constexpr const char* kDocumentName = "/document.pdf";

// Ghost: a Ghostscript and the folder that is all it may read: empty
// until a job puts its document there. A renderer started for one job and
// kept for the next reads the next job's document only.
struct Ghost {
    RenderProcess child;
    std::string folder;
};

// dropsUser: renderers run as another user (the server is root), so their
// folders are made where that user can reach them and their documents are
// copies the user may read.
bool dropsUser()
{
    return geteuid() == 0;
}

// folderBase: where renderers' folders are made: the server's temporary
// folder, or /tmp, which everyone may enter, when renderers run as
// another user.
std::string folderBase()
{
    return dropsUser() ? "/tmp" : papplGetTempDir();
}

// kFolderPrefix: the start of a renderer folder's name, before the
// server's process id.
constexpr const char* kFolderPrefix = "quorvel-render-";

// sweepFolders: remove the folders, and the documents in them, that a
// server of ours which is gone left behind (one killed outright cannot
// clean up). Only our own folders, never through a link.
void sweepFolders()
{
    const std::string base = folderBase();
    DIR* dir = opendir(base.c_str());
    if (!dir)
        return;
    const std::size_t prefix = std::strlen(kFolderPrefix);
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        char* end = nullptr;
        if (std::strncmp(name, kFolderPrefix, prefix) != 0)
            continue;
        const long pid = std::strtol(name + prefix, &end, 10);
        struct stat info;
        if (end == name + prefix || *end != '-' || pid <= 0)
            continue;
        const bool gone = kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
        if (!gone || fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode) ||
            info.st_uid != geteuid())
            continue;
        const int fd = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        fchmod(fd, 0700);
        unlinkat(fd, kDocumentName + 1, 0);
        close(fd);
        unlinkat(dirfd(dir), name, AT_REMOVEDIR);
    }
    closedir(dir);
}

// makeFolder: a fresh, empty folder for one renderer: the server's own
// (0700), or, when renderers run as another user, root's with the
// renderer's group let in to read (0750).
bool makeFolder(std::string& folder)
{
    uid_t uid;
    gid_t gid;
    if (!renderUser(uid, gid))
        return false;
    folder = folderBase() + "/" + kFolderPrefix + std::to_string(getpid()) + "-XXXXXX";
    if (!mkdtemp(folder.data())) {
        folder.clear();
        return false;
    }
    if (dropsUser() && (chown(folder.c_str(), 0, gid) != 0 || chmod(folder.c_str(), 0750) != 0)) {
        rmdir(folder.c_str());
        folder.clear();
        return false;
    }
    return true;
}

// removeFolder: a renderer's folder and the document in it.
void removeFolder(std::string& folder)
{
    if (folder.empty())
        return;
    chmod(folder.c_str(), 0700);
    unlink((folder + kDocumentName).c_str());
    rmdir(folder.c_str());
    folder.clear();
}

// copyFile: from to a new file to, readable by group gid only besides us.
bool copyFile(const std::string& from, const std::string& to, gid_t gid)
{
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool ok = out >= 0 && (!dropsUser() || (fchown(out, 0, gid) == 0 && fchmod(out, 0640) == 0));
    char buffer[1 << 16];
    ssize_t n = 0;
    while (ok && ((n = read(in, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
        for (ssize_t at = 0; ok && n > 0 && at < n;) {
            const ssize_t w = write(out, buffer + at, static_cast<std::size_t>(n - at));
            if (w < 0 && errno == EINTR)
                continue;
            ok = w > 0;
            at += w;
        }
    ok = ok && n == 0;
    close(in);
    if (out >= 0 && close(out) != 0)
        ok = false;
    if (!ok)
        unlink(to.c_str());
    return ok;
}

// placeDocument: the job's document (path) into a renderer's folder: a
// hard link where the folder's file system allows and the renderer runs as
// us, else a copy. copied says path is such a copy already, which a
// renderer of the other user may read as it is. Returns the document's
// name there.
std::string placeDocument(const std::string& path, bool copied, const std::string& folder)
{
    uid_t uid;
    gid_t gid;
    if (!renderUser(uid, gid))
        return "";
    const std::string to = folder + kDocumentName;
    chmod(folder.c_str(), dropsUser() ? 0750 : 0700);
    const bool ok = ((!dropsUser() || copied) && link(path.c_str(), to.c_str()) == 0) || copyFile(path, to, gid);
    // The renderer may not write there (it writes nothing but its output).
    chmod(folder.c_str(), dropsUser() ? 0750 : 0500);
    return ok ? to : "";
}

// startGhost: Ghostscript for args, reading its folder only.
Ghost startGhost(const std::vector<std::string>& args)
{
    Ghost ghost;
    if (!makeFolder(ghost.folder))
        return ghost;
    RenderRequest request;
    request.argv = args;
    request.argv.insert(request.argv.end() - 2, "--permit-file-read=" + ghost.folder + "/");
    request.tmpDir = ghost.folder;
    request.input = true;
    ghost.child = renderSpawn(request);
    if (ghost.child.out < 0)
        removeFolder(ghost.folder);
    return ghost;
}

// endGhost: reap a Ghostscript (killing it first when stop is set) and
// empty its folder; returns its wait status.
int endGhost(Ghost& ghost, bool stop)
{
    const int status = finish(ghost.child, stop);
    removeFolder(ghost.folder);
    return status;
}

// Renderer: one of a job's Ghostscripts and its output as it is read. Its
// messages are not kept: what a job says about a document comes from
// pdfinfo and from how the renderer ended.
struct Renderer {
    Ghost ghost;
    Reader output;
    std::string document; // the job's document in its folder
    bool atEnd = false;   // its output has ended
    ~Renderer() { endGhost(ghost, true); }
};

// Spare: a renderer started before its job, waiting for its program: part
// of Ghostscript's time on a short document is its own start, which a job
// that finds spares does not wait for. key says what it was started for.
struct Spare {
    Ghost ghost;
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

// rendererArgs: Ghostscript for sheets of w x h pixels at dpi, reading its
// program from standard input (startGhost adds the folder it may read).
std::vector<std::string> rendererArgs(double dpi, int w, int h)
{
    char dpiText[32], sizeText[48];
    std::snprintf(dpiText, sizeof dpiText, "-r%g", dpi);
    std::snprintf(sizeText, sizeof sizeText, "-g%dx%d", w, h);
    return {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE", "-sstdout=%stderr",
            "-sDEVICE=pbmraw", dpiText, sizeText, "-dFIXEDMEDIA", "-dUseCropBox", "-sOutputFile=-", "-"};
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
            if (waitpid(at->ghost.child.pid, &status, WNOHANG) == 0) {
                renderer.ghost = at->ghost;
                gPool.spares.erase(at);
                return true;
            }
            // It ended while it waited (and is reaped); nobody needs its say.
            at->ghost.child.pid = -1;
            endGhost(at->ghost, false);
            at = gPool.spares.erase(at);
        }
    }
    renderer.ghost = startGhost(args);
    return renderer.ghost.child.out >= 0;
}

// endSpares: at the server's exit, the spares' folders go (the spares
// themselves die with the server).
void endSpares()
{
    std::lock_guard<std::mutex> lock(gPool.lock);
    for (Spare& spare : gPool.spares)
        removeFolder(spare.ghost.folder);
    gPool.spares.clear();
}

// keepSpares: have kRenderers spares waiting for the sheet args are for,
// starting what is missing. Spares are kept for the two sheets printed
// last (A4 and Letter, say), no more. The first call also clears what a
// server of ours killed before left behind.
void keepSpares(const std::vector<std::string>& args)
{
    static std::once_flag once;
    std::call_once(once, [] {
        sweepFolders();
        std::atexit(endSpares);
    });
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
        endGhost(at->ghost, true);
        at = gPool.spares.erase(at);
    }
    for (; kept < static_cast<std::size_t>(kRenderers); ++kept) {
        const Spare spare{startGhost(args), key};
        if (spare.ghost.child.out < 0)
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
bool sendProgram(RenderProcess& child, const std::string& text)
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
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)
        return "it ran out of time";
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        return "it was killed";
    if (WIFSIGNALED(status))
        return "it crashed (signal " + std::to_string(WTERMSIG(status)) + ")";
    return "it reported an error";
}

// drain: the rest of a renderer's output after its last page, until it
// ends; false when the job stopped waiting for it first.
bool drain(Renderer& renderer, Watch& watch)
{
    unsigned char byte;
    watch.waited = 0;
    while (!renderer.atEnd && readAll(renderer.output, &byte, 1))
        ;
    renderer.atEnd = watch.stop == Stop::None;
    return renderer.atEnd;
}

} // namespace

void quorvelSetRenderTimeLimit(int seconds)
{
    gPageSeconds = std::max(1, seconds);
}

bool quorvelPdfFilter(pappl_job_t* job, pappl_device_t* device, void*)
{
    const char* file = papplJobGetFilename(job);
    const std::string path = file ? file : "";
    if (!looksLikePdf(path))
        return jobFail(job, "The document is not a PDF file.");
    {
        // Renderers for the sheet start now, while pdfinfo reads the
        // document, unless spares for it are waiting already.
        Sheet probe;
        if (sheetOpen(job, 0, probe))
            keepSpares(rendererArgs(probe.dpi, probe.width, probe.height));
    }

    Renderer renderers[kRenderers];
    Watch watch;
    watch.job = job;
    const TempFile infoErr;
    PdfInfo info;
    std::string error;
    if (!readInfo(path, 1, kInfoPages, infoErr.path, watch, info, error))
        return watch.stop == Stop::Canceled ? true
                                            : jobFail(job, "The PDF document cannot be printed: " + error + ".");

    Sheet sheet;
    if (!sheetOpen(job, static_cast<unsigned>(info.pages), sheet))
        return jobFail(job, "Unable to get the job's print options.");
    pappl_pr_options_t* options = sheet.options;
    const int first = std::max(1, static_cast<int>(options->first_page));
    const int last = std::min(info.pages, static_cast<int>(options->last_page));
    if (first > last)
        return jobFail(job, "page-ranges selects none of the document's " + std::to_string(info.pages) + " pages.");
    if (!info.sizes.count(first) || !info.sizes.count(last))
        readInfo(path, first, last, infoErr.path, watch, info, error);
    if (watch.stop != Stop::None)
        return watch.stop == Stop::Canceled ? true
                                            : jobFail(job, "The PDF document cannot be printed: " + error + ".");

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

    // Each renderer takes every other page; a one-page job needs one. Each
    // reads the document from its own folder, where it is put now.
    const int count = static_cast<int>(pages.size());
    const int used = std::min(kRenderers, count);
    const std::vector<std::string> args = rendererArgs(sheetDpi, sheetW, sheetH);
    for (int r = 0; r < used; ++r) {
        Renderer& renderer = renderers[r];
        const std::string& source = r == 0 ? path : renderers[0].document;
        // A spare that cannot take its program gives way to a new renderer.
        bool sent = false;
        for (int attempt = 0; !sent && attempt < 2; ++attempt) {
            if (attempt > 0)
                endGhost(renderer.ghost, true);
            if (attempt > 0 ? (renderer.ghost = startGhost(args)).child.out < 0 : !startRenderer(args, renderer))
                continue;
            renderer.document = placeDocument(source, r > 0, renderer.ghost.folder);
            sent = !renderer.document.empty() &&
                   sendProgram(renderer.ghost.child, program(renderer.document, pages, static_cast<std::size_t>(r),
                                                             static_cast<std::size_t>(used)));
        }
        if (!sent)
            return jobFail(job, "Unable to start the PDF renderer (Ghostscript).");
        fcntl(renderer.ghost.child.out, F_SETPIPE_SZ, kPipeBytes);
        renderer.output.fd = renderer.ghost.child.out;
        renderer.output.watch = &watch;
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
        // A page has the time limit to come, rows and all; printing it
        // (a slow printer) is not counted.
        watch.waited = 0;
        got = readPageHeader(renderer.output, width, height);
        if (watch.stop != Stop::None)
            break;
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
                else if (watch.stop != Stop::None)
                    break; // a page given up ends where it is
                else
                    got = -1;
            }
            placeBits(band.data(), y < height && got > 0 ? width : 0, 0, sheetW, row.data(), bytesPerLine);
            ok = driver.rwriteline_cb(job, options, device, static_cast<unsigned>(y), row.data());
        }
        // Rows of the page that fell off the sheet are read past.
        for (; ok && got > 0 && watch.stop == Stop::None && rowsRead < height && !papplJobIsCanceled(job); ++rowsRead)
            if (!readAll(renderer.output, band.data(), rowBytes) && watch.stop == Stop::None)
                got = -1;
        if (ok)
            ok = driver.rendpage_cb(job, options, device, static_cast<unsigned>(index));
        if (got < 0 || watch.stop != Stop::None)
            break; // the renderer's output ended inside this page, or the wait for it did
        ++printed;
        papplJobSetImpressionsCompleted(job, 1);
    }
    const int stoppedPage = printed < count ? pages[static_cast<std::size_t>(printed)].number : 0;
    // Renderers that sent all their pages end by themselves, within the
    // page limit; any other is killed.
    const bool whole = ok && watch.stop == Stop::None && !papplJobIsCanceled(job) && got >= 0 && printed == count;
    for (int r = 0; whole && r < used; ++r)
        drain(renderers[r], watch);
    int status = 0;
    for (int r = 0; r < used; ++r) {
        const int s = endGhost(renderers[r].ghost, !renderers[r].atEnd);
        if (printed < count ? r == printed % used : status == 0)
            status = s;
    }
    const bool canceled = papplJobIsCanceled(job);
    const bool ended = driver.rendjob_cb(job, options, device);
    if (!quorvelStopping())
        keepSpares(args);
    if (!ok)
        return false;
    if (canceled)
        return ended;
    if (watch.stop == Stop::TimedOut)
        return jobFail(job, (stoppedPage ? "Page " + std::to_string(stoppedPage) : std::string("The document's end")) +
                                " took longer than " + std::to_string(gPageSeconds) + " seconds to render.");
    // A stop signal reaches the renderer and the server at once: a renderer
    // killed by it waits a moment for the server's handler to say so.
    const bool killedByStop = WIFSIGNALED(status) && (WTERMSIG(status) == SIGTERM || WTERMSIG(status) == SIGINT);
    for (int i = 0; killedByStop && !quorvelStopping() && i < 50; ++i)
        usleep(10000);
    if ((got < 0 || !WIFEXITED(status) || watch.stop == Stop::Canceled) && quorvelStopping())
        return jobFail(job, "The printer application was stopped after " + std::to_string(printed) + " of " +
                                std::to_string(count) + " pages.");
    if (!ended)
        return false;
    if (got < 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return jobFail(job, "The PDF renderer's output ended inside page " + std::to_string(first + printed) + ".");
    if (printed < count || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return jobFail(job, "The PDF renderer stopped after " + std::to_string(printed) + " of " +
                                std::to_string(count) + " pages: " + why(status) + ".");
    return true;
}
