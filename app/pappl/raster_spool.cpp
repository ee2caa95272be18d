// PAPPL 1.3.1 (and 1.4) prints a PWG or Apple raster job while the client
// is still sending it, on the client's own thread, through its own raster
// path. That path overruns its row buffer when an 8-bit page is wider than
// the loaded media (a Letter page on an A4 printer corrupts the heap and
// the server aborts), and it can print while the printer's job thread
// prints another job on the same device.
//
// So raster never goes down that path: this stands in front of
// _papplJobProcessRaster, which PAPPL's document receipt reaches through
// the dynamic linker, and spools the document like any other; the printer's
// job thread then prints it through our raster filter
// (document_filters.h), one job after another. Without it the
// app_server_documents case with a Letter sgray_8 page on A4 kills the
// server.
#include <dlfcn.h>
#include <pappl/pappl.h>
#include <unistd.h>

#include <cerrno>

#include "interpose.h"

extern "C" void _papplJobProcessRaster(pappl_job_t* job, pappl_client_t* client)
{
    using Submit = void(pappl_job_t*, const char*);
    static const auto submit = reinterpret_cast<Submit*>(dlsym(RTLD_DEFAULT, "_papplJobSubmitFile"));
    static const auto process = nextDefinition("_papplJobProcessRaster", &_papplJobProcessRaster);
    if (submit == nullptr) { // a PAPPL without it: its own path
        if (process != nullptr)
            process(job, client);
        return;
    }
    char filename[1024];
    const int fd = papplJobOpenFile(job, filename, sizeof filename, nullptr, nullptr, "w");
    if (fd < 0) {
        papplJobSetMessage(job, "Unable to spool the raster document.");
        papplJobCancel(job);
        return;
    }
    // What the client sends is spooled whole; a connection that breaks
    // leaves a document that ends early, which the raster filter reports.
    http_t* http = papplClientGetHTTP(client);
    char buffer[65536];
    ssize_t n;
    bool written = true;
    while (written && (n = httpRead2(http, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const ssize_t w = write(fd, buffer + at, static_cast<std::size_t>(n - at));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                written = false;
                break;
            }
            at += w;
        }
    }
    close(fd);
    if (!written) {
        unlink(filename);
        papplJobSetMessage(job, "Unable to spool the raster document: the spool folder is full.");
        papplJobCancel(job);
        return;
    }
    submit(job, filename);
}
