// Reading a renderer's output: the job's watch on its wait, and the 1-bit
// PBM pages Ghostscript writes, read through a buffer.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>
#include <vector>

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
bool waitFor(int fd, Watch& watch);

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
bool readAll(Reader& in, void* out, std::size_t len);

// readPageHeader: the size of the next page of the renderer's 1-bit
// output; 0 at its end, -1 when the output is damaged.
int readPageHeader(Reader& in, int& width, int& height);

// renderTimeLimit: the longest a job waits for one page, in seconds
// (quorvelSetRenderTimeLimit, pdf_filter.h).
int renderTimeLimit();
