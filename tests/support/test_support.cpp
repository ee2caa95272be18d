// Test helpers: rasters through libcups' writer, the filter as a subprocess.
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace qtest {

cups_page_header2_t makeHeader(unsigned width, unsigned height, unsigned dpi,
                               unsigned pageWidthPt, unsigned pageHeightPt)
{
    cups_page_header2_t h;
    std::memset(&h, 0, sizeof h);
    h.HWResolution[0] = h.HWResolution[1] = dpi;
    h.PageSize[0] = pageWidthPt ? pageWidthPt : width * 72 / dpi;
    h.PageSize[1] = pageHeightPt ? pageHeightPt : height * 72 / dpi;
    h.NumCopies = 1;
    h.cupsWidth = width;
    h.cupsHeight = height;
    h.cupsBitsPerColor = 1;
    h.cupsBitsPerPixel = 1;
    h.cupsBytesPerLine = (width + 7) / 8;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = CUPS_CSPACE_W;
    h.cupsNumColors = 1;
    return h;
}

RasterPage whitePage(const cups_page_header2_t& header)
{
    RasterPage page{header, {}};
    page.rows.assign(header.cupsHeight, Bytes(header.cupsBytesPerLine, 0xFF));
    return page;
}

void writeRaster(const std::string& path, const std::vector<RasterPage>& pages, cups_mode_t mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path);
    cups_raster_t* ras = cupsRasterOpen(fd, mode);
    for (const RasterPage& page : pages) {
        cups_page_header2_t h = page.header;
        cupsRasterWriteHeader2(ras, &h);
        for (const Bytes& row : page.rows) {
            Bytes copy = row;
            cupsRasterWritePixels(ras, copy.data(), static_cast<unsigned>(copy.size()));
        }
    }
    cupsRasterClose(ras);
    close(fd);
}

// drain: read both pipes to their end without letting either fill up.
static void drain(int outFd, int errFd, RunResult& result)
{
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open_ = 2;
    char buf[65536];
    while (open_ > 0) {
        if (poll(fds, 2, -1) < 0)
            break;
        for (pollfd& p : fds) {
            if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = read(p.fd, buf, sizeof buf);
            if (n <= 0) {
                close(p.fd);
                p.fd = -1;
                --open_;
            } else if (p.fd == outFd) {
                result.out.insert(result.out.end(), buf, buf + n);
            } else {
                result.err.append(buf, static_cast<std::size_t>(n));
            }
        }
    }
}

RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              const std::string& stdinPath)
{
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        if (env.count(key) == 0)
            envStrings.push_back(entry);
    }
    for (const auto& kv : env)
        envStrings.push_back(kv.first + "=" + kv.second);

    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : envStrings)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.empty() ? "/dev/null" : stdinPath.c_str(),
                                     O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);

    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0]);

    RunResult result;
    drain(outPipe[0], errPipe[0], result);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

std::string filterPath() { return QUORVEL_FILTER_PATH; }
std::string previewPath() { return QUORVEL_PREVIEW_PATH; }
std::string sourceDir() { return QUORVEL_SOURCE_DIR; }

std::string tempDir()
{
    static std::string dir;
    if (dir.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorvel-test-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        // Keep a failed run's files for a look: QUORVEL_KEEP_TEMP=1.
        if (std::getenv("QUORVEL_KEEP_TEMP") == nullptr)
            std::atexit([] {
                std::error_code ignored;
                std::filesystem::remove_all(dir, ignored);
            });
    }
    return dir;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary);
    out << data;
}

Bytes hex(const std::string& text)
{
    Bytes bytes;
    std::istringstream in(text);
    std::string token;
    while (in >> token)
        bytes.push_back(static_cast<unsigned char>(std::stoul(token, nullptr, 16)));
    return bytes;
}

}  // namespace qtest

namespace qtest {

Bytes referenceEncode(const Bytes& line)
{
    constexpr std::size_t kMax = 127;
    const std::size_t n = line.size();
    Bytes out;
    std::size_t i = 0;
    while (i < n) {
        const std::size_t left = n - i;
        if (left >= 2 && line[i] == line[i + 1]) {
            std::size_t count = 2;
            while (count < left && count < kMax && line[i + count] == line[i])
                ++count;
            out.push_back(static_cast<unsigned char>(1 - static_cast<int>(count)));
            out.push_back(static_cast<unsigned char>(~line[i]));
            i += count;
            continue;
        }
        // A literal: up to the next equal pair, never taking the last byte
        // unless it is the only one left.
        std::size_t count = 1;
        while (i + count < n - 1 && count < kMax && line[i + count] != line[i + count + 1])
            ++count;
        out.push_back(static_cast<unsigned char>(count - 1));
        for (std::size_t k = 0; k < count; ++k)
            out.push_back(static_cast<unsigned char>(~line[i + k]));
        i += count;
    }
    return out;
}

} // namespace qtest
