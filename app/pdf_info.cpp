// What a PDF document says of itself, from pdfinfo: its page count and
// its pages' sizes as they are shown. pdfinfo is a renderer too: it reads
// the document from its standard input, and its wait is watched as a
// page's is.
#include "pdf_info.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "renderer_process.h"

namespace {

// parseInfo: the page count and the sizes pdfinfo wrote, each page's size
// as it is shown (turned when the page is).
void parseInfo(const std::string& text, PdfInfo& info)
{
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
}

} // namespace

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
    const int status = renderEnd(child, watch.stop != Stop::None);
    parseInfo(text, info);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && info.pages > 0 && watch.stop == Stop::None)
        return true;
    if (watch.stop == Stop::TimedOut) {
        error = "reading it took longer than " + std::to_string(renderTimeLimit()) + " seconds";
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

TempFile::TempFile()
{
    path = std::string(papplGetTempDir()) + "/quorvel-pdf-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0)
        path = "/dev/null";
    else
        close(fd);
}

TempFile::~TempFile()
{
    if (path != "/dev/null" && !path.empty())
        unlink(path.c_str());
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
