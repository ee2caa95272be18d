// A renderer's output, read without ever blocking the job: the job waits
// for it in short polls, so a cancel, the server's stop or a page that
// keeps it waiting past the time limit ends the wait at once; the output
// is read in large pieces and parsed as the PBM pages Ghostscript writes.
#include "pbm_reader.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "document_filters.h"
#include "pdf_filter.h"

namespace {

// How long a wait for a renderer's output goes before the job looks again
// whether it was cancelled, the server stopped or the page's time ran out.
constexpr int kPollMilliseconds = 100;

// The longest a job waits for one page, in seconds (render-time-limit).
std::atomic<int> gPageSeconds{60};

} // namespace

int renderTimeLimit()
{
    return gPageSeconds;
}

void quorvelSetRenderTimeLimit(int seconds)
{
    gPageSeconds = std::max(1, seconds);
}

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
        if (watch.waited >= renderTimeLimit()) {
            watch.stop = Stop::TimedOut;
            return false;
        }
    }
}

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

namespace {

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

} // namespace

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
