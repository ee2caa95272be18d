// The virtual printer: one thread per connection, each checking its jobs as
// the bytes arrive. A connection may carry jobs back to back, as a printer's
// raw port takes them: the bytes after an end-of-job command begin the next
// job. What a job costs in memory is fixed whatever it sends: the stream
// goes to disk as it comes, the checker holds one command, and a page is
// drawn at its end from the disk, one row at a time.
#include "virtual_printer.h"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "page_image.h"
#include "printer_commands.h"
#include "stream_decoder.h"
#include "stream_report.h"

namespace quorvel {
namespace {

// Connections read at once; further ones wait in the listen queue, so the
// number of connections does not grow memory either.
constexpr std::size_t kMaxConnections = 16;

// The next job's number, for new connections and for jobs that follow
// another on one connection alike.
std::atomic<int> gNextJob{1};

// Written by the SIGTERM/SIGINT handler: once readable, every thread stops.
int gStopPipe[2] = {-1, -1};

// Serialises the job lines on standard output.
std::mutex gOutputLock;

// onStopSignal: wake every thread through the pipe; it is never drained.
void onStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(gStopPipe[1], &byte, 1);
    errno = saved;
}

// stopRequested: whether a stop signal has come, without waiting.
bool stopRequested()
{
    pollfd p{gStopPipe[0], POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

// One job: its folder, the checker and what the pages need.
struct Job {
    int number = 0;
    std::string dir;
    std::FILE* stream = nullptr;  // the job's raw bytes, as received
    std::uint64_t saved = 0;      // bytes written to stream
    std::FILE* rows = nullptr;    // the current page's row offsets, 8 bytes each
    std::FILE* lines = nullptr;   // the summary's page lines, until the count is known
    StreamChecker checker;
    std::size_t pagesDrawn = 0;
    std::string trouble;          // the first file that could not be written
    std::vector<unsigned char> command;  // one line command read back
};

// One connection and the options its jobs are read with.
struct Connection {
    int fd = -1;
    std::string dir;  // where the job folders go
    std::uint64_t rate = 0;
    int firstJob = 0;  // numbered when accepted, so numbers follow the connections' order
    std::atomic<bool> done{false};
};

// noteTrouble: keep the first reason a file could not be written.
void noteTrouble(Job& job, const std::string& why)
{
    if (job.trouble.empty())
        job.trouble = why;
}

// readAt: n bytes at offset of fd; false when they are not all there.
bool readAt(int fd, void* to, std::size_t n, std::uint64_t offset)
{
    auto* p = static_cast<unsigned char*>(to);
    while (n > 0) {
        const ssize_t got = pread(fd, p, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got, n -= static_cast<std::size_t>(got), offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

// jobRowAt: PageRowSource::rowAt over the saved stream, through the page's
// row offsets.
bool jobRowAt(void* ctx, std::size_t index, std::vector<unsigned char>& row)
{
    Job& job = *static_cast<Job*>(ctx);
    std::uint64_t at = 0;
    unsigned char head[kLineDataHeaderSize];
    if (!readAt(fileno(job.rows), &at, sizeof at, index * std::uint64_t{sizeof at}) ||
        !readAt(fileno(job.stream), head, szBlankLineCmd.size(), at))
        return false;
    row.clear();
    if (std::memcmp(head, szBlankLineCmd.data(), szBlankLineCmd.size()) == 0)
        return true;
    if (!readAt(fileno(job.stream), head, sizeof head, at))
        return false;
    const std::size_t len = head[4] | head[5] << 8;
    job.command.resize(len);
    return readAt(fileno(job.stream), job.command.data(), len, at + sizeof head) &&
           decodeLine(job.command.data(), len, row);
}

// onPageBegun: a new page's row offsets start from nothing.
void onPageBegun(void* ctx, std::size_t)
{
    Job& job = *static_cast<Job*>(ctx);
    std::rewind(job.rows);
    if (ftruncate(fileno(job.rows), 0) != 0)
        noteTrouble(job, "cannot reuse the row list: " + std::string(std::strerror(errno)));
}

// onRow: where the row's command sits, for drawing the page at its end.
void onRow(void* ctx, std::size_t offset, const std::vector<unsigned char>&)
{
    Job& job = *static_cast<Job*>(ctx);
    const std::uint64_t at = offset;
    if (std::fwrite(&at, sizeof at, 1, job.rows) != 1)
        noteTrouble(job, "cannot write the row list: " + std::string(std::strerror(errno)));
}

// onPageEnded: the page is whole: draw it and keep its summary line.
void onPageEnded(void* ctx, const DecodedPage& page)
{
    Job& job = *static_cast<Job*>(ctx);
    const std::size_t number = ++job.pagesDrawn;
    std::fputs(describePage(number, page).c_str(), job.lines);
    if (std::fflush(job.stream) != 0 || std::fflush(job.rows) != 0) {
        noteTrouble(job, "cannot write " + job.dir + ": " + std::strerror(errno));
        return;
    }
    const StreamSettings& s = job.checker.settings;
    std::string why;
    if (!writePageImage(job.dir + "/page-" + std::to_string(number) + ".png", page, s.widthDots, s.duplex == 1,
                        PageRowSource{&job, jobRowAt}, why))
        noteTrouble(job, why);
}

// openIn: a file in the job's folder, or null with the trouble noted.
std::FILE* openIn(Job& job, const char* name, const char* mode)
{
    std::FILE* fp = std::fopen((job.dir + "/" + name).c_str(), mode);
    if (!fp)
        noteTrouble(job, "cannot create " + job.dir + "/" + name + ": " + std::strerror(errno));
    return fp;
}

// jobLine: the one line on standard output that says how the job went.
std::string jobLine(const Job& job, bool stopped)
{
    const StreamChecker& c = job.checker;
    const StreamSettings& s = c.settings;
    std::string line = "job " + std::to_string(job.number) + ": " + std::to_string(job.pagesDrawn) +
                       (job.pagesDrawn == 1 ? " page, " : " pages, ");
    if (s.present)
        line += std::string(s.duplex == 1 ? "long edge" : s.duplex == 2 ? "short edge" : "one-sided") +
                (s.manualDuplex ? " by hand" : "") + ", copies " + std::to_string(s.copies) + ", density " +
                std::to_string(s.density) + ", weight " + std::to_string(s.weight) + ", ";
    else if (c.pages > 0 || c.endOfJob)  // a job sent without one
        line += "no settings block, ";
    const DecodeError& e = c.err;
    if (c.broken && e.found == "end of stream")
        line += "cut short at offset " + std::to_string(e.offset) + ": expected " + e.expected;
    else if (c.broken)
        line += "bad byte at offset " + std::to_string(e.offset) + ": expected " + e.expected + ", found " + e.found;
    else if (stopped && !c.endOfJob)
        line += "cut short at offset " + std::to_string(c.consumed) + ": stopped before the end-of-job command";
    else
        line += c.endOfJob ? "well-formed" : "well-formed, without the end-of-job command";
    if (stopped && !c.endOfJob)
        line += " (the virtual printer was stopped)";
    if (!job.trouble.empty())
        line += "; not all saved: " + job.trouble;
    return line;
}

// writeSummary: DIR/job-N/summary.txt, the preview's summary of what came,
// with the error line when the stream broke.
void writeSummary(Job& job)
{
    const StreamChecker& c = job.checker;
    std::FILE* fp = openIn(job, "summary.txt", "w");
    if (!fp)
        return;
    std::string text = describeHead(c.settings) + "pages: " + std::to_string(job.pagesDrawn) + "\n";
    std::fputs(text.c_str(), fp);
    std::rewind(job.lines);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, job.lines)) > 0;)
        std::fwrite(buf, 1, n, fp);
    text = std::string("end of job: ") + (c.endOfJob ? "yes" : "no") + "\n";
    if (c.broken)
        text += "error: " + describeError(c.err) + "\n";
    std::fputs(text.c_str(), fp);
    if (std::fclose(fp) != 0)
        noteTrouble(job, "cannot write " + job.dir + "/summary.txt: " + std::strerror(errno));
}

// startJob: job number's folder and files; its stream is null when they
// cannot be made.
std::unique_ptr<Job> startJob(const Connection& conn, int number)
{
    auto job = std::make_unique<Job>();
    job->number = number;
    job->dir = conn.dir + "/job-" + std::to_string(number);
    job->checker.events = CheckEvents{job.get(), nullptr, onPageBegun, onRow, onPageEnded};
    if (mkdir(job->dir.c_str(), 0755) != 0) {
        noteTrouble(*job, "cannot create " + job->dir + ": " + std::strerror(errno));
    } else if (!(job->stream = openIn(*job, "stream.prn", "w+b")) || !(job->rows = std::tmpfile()) ||
               !(job->lines = std::tmpfile())) {
        noteTrouble(*job, std::string("cannot make scratch files: ") + std::strerror(errno));
        if (job->stream)
            std::fclose(job->stream);
        job->stream = nullptr;
    }
    return job;
}

// takeBytes: the job's share of n received bytes, saved and checked; returns
// how many it took (fewer than n when its end-of-job command came first).
std::size_t takeBytes(Job& job, const unsigned char* data, std::size_t n)
{
    // Saved before they are checked: a page is drawn from the file as soon
    // as its end-page command is in. Flushed as they come, so the file shows
    // what has arrived.
    if (std::fwrite(data, 1, n, job.stream) != n || std::fflush(job.stream) != 0)
        noteTrouble(job, "cannot write " + job.dir + "/stream.prn: " + std::strerror(errno));
    job.saved += n;
    const std::size_t took = checkJobBytes(job.checker, data, n);
    if (took < n) {
        // The rest is the next job's: this file keeps only this job's bytes.
        job.saved -= n - took;
        if (ftruncate(fileno(job.stream), static_cast<off_t>(job.saved)) != 0)
            noteTrouble(job, "cannot write " + job.dir + "/stream.prn: " + std::strerror(errno));
    }
    return took;
}

// finishJob: the job's verdict, its summary and its line on standard output.
void finishJob(Job& job, bool stopped)
{
    if (job.stream && !job.checker.broken)
        checkEnd(job.checker);
    if (job.stream && std::fclose(job.stream) != 0)
        noteTrouble(job, "cannot write " + job.dir + "/stream.prn: " + std::strerror(errno));
    if (job.lines)
        writeSummary(job);
    for (std::FILE* fp : {job.rows, job.lines})
        if (fp)
            std::fclose(fp);
    std::lock_guard<std::mutex> hold(gOutputLock);
    std::printf("%s\n", jobLine(job, stopped).c_str());
    std::fflush(stdout);
}

// serveConnection: read a connection until it ends, a job in it breaks or a
// stop signal comes, at most conn.rate bytes a second when set; every job it
// carries from its first byte to its job line. A job ends as soon as its
// end-of-job command is in; the next starts with the next byte, if one comes.
void serveConnection(Connection* connPtr)
{
    Connection& conn = *connPtr;
    std::vector<unsigned char> buf(65536);
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t received = 0;
    // A slow printer takes small bites, a twentieth of a second's worth, so
    // the sender feels it as soon as the socket's buffers are full.
    const std::size_t bite = conn.rate ? static_cast<std::size_t>(std::clamp<std::uint64_t>(conn.rate / 20, 1, buf.size()))
                                       : buf.size();
    std::unique_ptr<Job> job = startJob(conn, conn.firstJob);
    bool stopped = false, over = !job->stream;
    while (!over) {
        pollfd p[2] = {{conn.fd, POLLIN, 0}, {gStopPipe[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[1].revents) {
            stopped = true;
            break;
        }
        const ssize_t n = read(conn.fd, buf.data(), bite);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)  // the sender closed, or the connection broke
            break;
        const unsigned char* at = buf.data();
        for (std::size_t left = static_cast<std::size_t>(n); left > 0 && !over;) {
            if (!job && !(job = startJob(conn, gNextJob++))->stream) {
                over = true;  // nowhere to keep it: the connection ends with it
                break;
            }
            const std::size_t took = takeBytes(*job, at, left);
            at += took, left -= took;
            if (job->checker.broken) {
                over = true;  // a bad job closes its connection
            } else if (job->checker.endOfJob) {
                finishJob(*job, false);
                job.reset();
            }
        }
        received += static_cast<std::uint64_t>(n);
        if (conn.rate && !over) {
            // Wait until the bytes so far are due; a stop signal cuts it short.
            const auto due = start + std::chrono::microseconds(received * 1000000 / conn.rate);
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
            if (wait.count() > 0 && poll(&p[1], 1, static_cast<int>(std::min<long long>(wait.count(), 60000))) > 0)
                stopped = true, over = true;
        }
    }
    // Closed before the verdict: a sender waiting for the printer to hang up
    // is not kept waiting on our files.
    close(conn.fd);
    if (job)
        finishJob(*job, stopped);
    conn.done = true;
}

// firstJobNumber: one past the highest DIR/job-N already there, so a
// restarted printer keeps earlier jobs.
int firstJobNumber(const std::string& dir)
{
    int highest = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            int n = 0;
            char tail = 0;
            if (std::sscanf(e->d_name, "job-%d%c", &n, &tail) == 1)
                highest = std::max(highest, n);
        }
        closedir(d);
    }
    return highest + 1;
}

// openListeners: a listening socket on every address the name has, all on
// one port (the one the system picked for the first, when asked for 0).
std::vector<int> openListeners(const ListenOptions& opts, std::string& port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    std::vector<int> fds;
    port = opts.port;
    const int rc = getaddrinfo(opts.address.empty() ? nullptr : opts.address.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        std::fprintf(stderr, "quorvel-preview: cannot listen on %s:%s: %s\n", opts.address.c_str(), opts.port.c_str(),
                     gai_strerror(rc));
        return fds;
    }
    for (addrinfo* a = found; a; a = a->ai_next) {
        char service[NI_MAXSERV];
        if (!fds.empty()) {  // the port the first one got
            auto* sa = a->ai_addr;
            const auto p = htons(static_cast<std::uint16_t>(std::stoi(port)));
            if (sa->sa_family == AF_INET)
                reinterpret_cast<sockaddr_in*>(sa)->sin_port = p;
            else if (sa->sa_family == AF_INET6)
                reinterpret_cast<sockaddr_in6*>(sa)->sin6_port = p;
        }
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        const int on = 1;
        if (fd < 0)
            continue;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (a->ai_family == AF_INET6)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        if (opts.rate) {
            // A small receive buffer, so a slow printer pushes back soon.
            const int size = 16384;
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 64) != 0) {
            std::fprintf(stderr, "quorvel-preview: cannot listen on %s port %s: %s\n", opts.address.c_str(),
                         port.c_str(), std::strerror(errno));
            close(fd);
            continue;
        }
        if (fds.empty()) {
            sockaddr_storage at{};
            socklen_t len = sizeof at;
            if (getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) == 0 &&
                getnameinfo(reinterpret_cast<sockaddr*>(&at), len, nullptr, 0, service, sizeof service,
                            NI_NUMERICSERV) == 0)
                port = service;
        }
        fds.push_back(fd);
    }
    freeaddrinfo(found);
    return fds;
}

// One connection being read and its thread.
struct Running {
    std::unique_ptr<Connection> conn;
    std::thread thread;
};

// reap: join the connections that are done.
void reap(std::list<Running>& running, bool all)
{
    for (auto it = running.begin(); it != running.end();) {
        if (all || it->conn->done) {
            it->thread.join();
            it = running.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

bool parseListenAddress(const std::string& text, ListenOptions& opts)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        opts.port = text;
    } else {
        opts.address = text.substr(0, colon);
        opts.port = text.substr(colon + 1);
        if (opts.address.size() >= 2 && opts.address.front() == '[' && opts.address.back() == ']')
            opts.address = opts.address.substr(1, opts.address.size() - 2);
    }
    return !opts.port.empty();
}

int listenForJobs(const ListenOptions& opts)
{
    if (mkdir(opts.dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "quorvel-preview: cannot create %s: %s\n", opts.dir.c_str(), std::strerror(errno));
        return 1;
    }
    if (pipe2(gStopPipe, O_CLOEXEC) != 0) {
        std::perror("quorvel-preview: pipe");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string port;
    const std::vector<int> listeners = openListeners(opts, port);
    if (listeners.empty())
        return 1;
    std::fprintf(stderr, "quorvel-preview: listening on %s port %s, jobs into %s\n", opts.address.c_str(),
                 port.c_str(), opts.dir.c_str());

    // The job threads leave the signals to this one.
    sigset_t stopSignals, old;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);

    gNextJob = firstJobNumber(opts.dir);
    std::list<Running> running;
    while (!stopRequested()) {
        reap(running, false);
        std::vector<pollfd> p{{gStopPipe[0], POLLIN, 0}};
        if (running.size() < kMaxConnections)
            for (int fd : listeners)
                p.push_back({fd, POLLIN, 0});
        // At the limit, look again for finished jobs a few times a second.
        if (poll(p.data(), p.size(), p.size() == 1 ? 200 : -1) < 0 && errno != EINTR)
            break;
        for (std::size_t i = 1; i < p.size(); ++i) {
            if (!(p[i].revents & POLLIN))
                continue;
            const int fd = accept4(p[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            auto conn = std::make_unique<Connection>();
            conn->fd = fd;
            conn->dir = opts.dir;
            conn->rate = opts.rate;
            conn->firstJob = gNextJob++;
            Connection* raw = conn.get();
            pthread_sigmask(SIG_BLOCK, &stopSignals, &old);
            running.push_back({std::move(conn), std::thread(serveConnection, raw)});
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
        }
    }
    // Every job ends as cut short, through the same pipe.
    for (int fd : listeners)
        close(fd);
    reap(running, true);
    return 0;
}

}  // namespace quorvel
