// PDF jobs. PAPPL renders no PDF, so this filter runs Ghostscript for each
// job, under a CPU and memory limit, and reads its pages from a pipe as
// they are rendered. A small PostScript program of ours has Ghostscript
// draw every page already turned, scaled and centred on the media and
// halftoned to 1 bit, so each page comes as the media's own rows and goes
// to the driver's raster callbacks as it arrives: the first page is
// printing while the next is rendered. Two Ghostscripts render alternate
// pages at once, and the pages are printed in order.
//
// A document from the network is untrusted: each Ghostscript may read its
// own folder only, where the job that takes it puts the job's document,
// and runs as a renderer process (renderer_pool.h). The job never blocks
// on a renderer: it polls (pbm_reader.h), so a cancel, the server's stop
// or a page that keeps it waiting past the time limit kills the renderers
// at once, and the page and the job still end properly for the printer.
// What the document says of itself comes from pdfinfo (pdf_info.h); this
// file places the pages, writes the renderers' program and is the page
// source the page loop prints from.
#include "pdf_filter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "document_filters.h"
#include "job_log.h"
#include "page_loop.h"
#include "pbm_reader.h"
#include "pdf_info.h"
#include "renderer_pool.h"

namespace {

// A renderer's pipe holds this much, so it can run a page ahead of the
// printer (the kernel may give less).
constexpr int kPipeBytes = 1 << 20;

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

// PagePlace: a page of the document and how it lands on the media.
struct PagePlace {
    int number;  // in the document, from 1
    double m[6]; // pageMatrix
    double w, h; // its size in points, as shown
};

// The program's body: for each page, Ghostscript's own set-up for the page
// (its box, its rotation) is moved onto the media by the page's matrix and
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
// every step-th from the from-th, onto the media. The path goes in as hex,
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


// PdfJob: a PDF job as it prints: its pages, where they land, its
// renderers and the wait for them; as a page source, the page in hand.
struct PdfJob {
    pappl_job_t* job = nullptr;
    const JobMedia* media = nullptr;
    std::vector<PagePlace> pages;
    Renderer renderers[kRenderers];
    int used = 0; // renderers the job uses
    Watch watch;
    int index = 0;                // pages read from the renderers
    int width = 0, height = 0;    // the page in hand, as rendered
    int got = 0;                  // its header: 1 read, 0 the output's end, -1 damaged output
    int rowsRead = 0;             // its rows read so far
    std::vector<std::uint8_t> band; // one of its rows
};

// placePages: where each page from first to last lands: where a page of
// its size in pixels at the media's resolution is placed, drawn there by
// Ghostscript.
std::vector<PagePlace> placePages(pappl_job_t* job, const JobMedia& media, const PdfInfo& info, int first, int last)
{
    const Scaling scaling = scalingFor(media.options->print_scaling);
    const Orientation orientation = orientationFor(job, media.options);
    std::vector<PagePlace> pages;
    for (int number = first; number <= last; ++number) {
        const auto [w, h] = sizeOf(info, number);
        const Placement place = placePage(static_cast<int>(std::lround(w * media.dpi / 72)),
                                          static_cast<int>(std::lround(h * media.dpi / 72)), media.dpi, media.width,
                                          media.height, media.dpi, scaling, orientation);
        PagePlace p{number, {}, w, h};
        pageMatrix(place, w, h, media.height, media.dpi, p.m);
        pages.push_back(p);
    }
    return pages;
}

// startRenderers: each renderer takes every other page; a one-page job
// needs one. Each reads the document from its own folder, where it is put
// now; a ready renderer that cannot take its program gives way to a new renderer.
bool startRenderers(PdfJob& pdf, const std::string& path, const std::vector<std::string>& args)
{
    pdf.used = std::min(kRenderers, static_cast<int>(pdf.pages.size()));
    for (int r = 0; r < pdf.used; ++r) {
        Renderer& renderer = pdf.renderers[r];
        const std::string& source = r == 0 ? path : pdf.renderers[0].document;
        bool sent = false;
        for (int attempt = 0; !sent && attempt < 2; ++attempt) {
            if (attempt > 0)
                endGhost(renderer.ghost, true);
            if (attempt > 0 ? (renderer.ghost = startGhost(args)).child.out < 0 : !takeGhost(args, renderer.ghost))
                continue;
            renderer.document = placeDocument(source, r > 0, renderer.ghost.folder);
            sent = !renderer.document.empty() &&
                   sendProgram(renderer.ghost.child, program(renderer.document, pdf.pages, static_cast<std::size_t>(r),
                                                             static_cast<std::size_t>(pdf.used)));
        }
        if (!sent)
            return false;
        fcntl(renderer.ghost.child.out, F_SETPIPE_SZ, kPipeBytes);
        renderer.output.fd = renderer.ghost.child.out;
        renderer.output.watch = &pdf.watch;
    }
    return true;
}

// pdfNext: the next page's header from its renderer. A page has the time
// limit to come, rows and all; printing it (a slow printer) is not counted.
bool pdfNext(void* context, PageHead&)
{
    PdfJob& pdf = *static_cast<PdfJob*>(context);
    if (pdf.index >= static_cast<int>(pdf.pages.size()))
        return false;
    Renderer& renderer = pdf.renderers[pdf.index++ % pdf.used];
    pdf.watch.waited = 0;
    pdf.got = readPageHeader(renderer.output, pdf.width, pdf.height);
    if (pdf.watch.stop != Stop::None)
        return false;
    if (pdf.got <= 0) {
        renderer.atEnd = pdf.got == 0;
        return false;
    }
    pdf.band.resize((static_cast<std::size_t>(pdf.width) + 7) / 8);
    pdf.rowsRead = 0;
    return true;
}

// pdfRow: the page is the media, row for row, as the renderer sends it: the
// first rows print early and a page never sits whole in memory. Rows after
// the output ended inside the page are white; a page given up ends where
// it is.
bool pdfRow(void* context, unsigned y, unsigned char* out)
{
    PdfJob& pdf = *static_cast<PdfJob*>(context);
    Reader& output = pdf.renderers[(pdf.index - 1) % pdf.used].output;
    const bool inPage = static_cast<int>(y) < pdf.height;
    if (inPage && pdf.got > 0) {
        if (readAll(output, pdf.band.data(), pdf.band.size()))
            ++pdf.rowsRead;
        else if (pdf.watch.stop != Stop::None)
            return false;
        else
            pdf.got = -1;
    }
    placeBits(pdf.band.data(), inPage && pdf.got > 0 ? pdf.width : 0, 0, pdf.media->width, out,
              pdf.media->bytesPerLine);
    return true;
}

// pdfFinish: rows of the page that fell off the media are read past; the
// page is whole unless the renderer's output ended inside it, or the wait
// for it did.
bool pdfFinish(void* context)
{
    PdfJob& pdf = *static_cast<PdfJob*>(context);
    Reader& output = pdf.renderers[(pdf.index - 1) % pdf.used].output;
    for (; pdf.got > 0 && pdf.watch.stop == Stop::None && pdf.rowsRead < pdf.height && !papplJobIsCanceled(pdf.job);
         ++pdf.rowsRead)
        if (!readAll(output, pdf.band.data(), pdf.band.size()) && pdf.watch.stop == Stop::None)
            pdf.got = -1;
    return pdf.got >= 0 && pdf.watch.stop == Stop::None;
}

// endRenderers: renderers that sent all their pages end by themselves,
// within the page limit; any other is killed. Returns the wait status that
// says how the job's rendering ended: the renderer of the page the job
// stopped at, else the first that failed.
int endRenderers(PdfJob& pdf, bool whole, int printed)
{
    for (int r = 0; whole && r < pdf.used; ++r)
        drain(pdf.renderers[r], pdf.watch);
    int status = 0;
    const int count = static_cast<int>(pdf.pages.size());
    for (int r = 0; r < pdf.used; ++r) {
        const int s = endGhost(pdf.renderers[r].ghost, !pdf.renderers[r].atEnd);
        if (printed < count ? r == printed % pdf.used : status == 0)
            status = s;
    }
    return status;
}

// readDocument: pdfinfo's facts for the pages the job prints, and the
// media for a document of that many pages; false, with the job's end
// decided in result, when it cannot go on.
bool readDocument(PdfJob& pdf, const std::string& path, JobMedia& media, int& first, int& last, bool& result)
{
    const TempFile infoErr;
    PdfInfo info;
    std::string error;
    auto fail = [&] {
        result = pdf.watch.stop == Stop::Canceled ||
                 jobFail(pdf.job, "The PDF document cannot be printed: " + error + ".");
        return false;
    };
    if (!readInfo(path, 1, kInfoPages, infoErr.path, pdf.watch, info, error))
        return fail();
    if (!jobMediaOpen(pdf.job, static_cast<unsigned>(info.pages), media)) {
        result = jobFail(pdf.job, "Unable to get the job's print options.");
        return false;
    }
    first = std::max(1, static_cast<int>(media.options->first_page));
    last = std::min(info.pages, static_cast<int>(media.options->last_page));
    if (first > last) {
        result = jobFail(pdf.job, "page-ranges selects none of the document's " + std::to_string(info.pages) +
                                      " pages.");
        return false;
    }
    if (!info.sizes.count(first) || !info.sizes.count(last))
        readInfo(path, first, last, infoErr.path, pdf.watch, info, error);
    if (pdf.watch.stop != Stop::None)
        return fail();
    pdf.pages = placePages(pdf.job, media, info, first, last);
    return true;
}

// PdfEnd: how a PDF job's printing ended, for its message.
struct PdfEnd {
    bool printedOk = false; // what the page loop said
    int printed = 0, count = 0;
    int first = 0;          // the first page printed, in the document
    int status = 0;         // the renderers' wait status (endRenderers)
};

// pdfOutcome: the job's end in words, when it did not print whole.
bool pdfOutcome(PdfJob& pdf, const PageLoop& loop, const PdfEnd& end)
{
    if (!loop.ok)
        return false;
    if (papplJobIsCanceled(pdf.job))
        return end.printedOk;
    const int status = end.status;
    if (pdf.watch.stop == Stop::TimedOut) {
        const int stoppedPage = end.printed < end.count ? pdf.pages[static_cast<std::size_t>(end.printed)].number : 0;
        return jobFail(pdf.job,
                       (stoppedPage ? "Page " + std::to_string(stoppedPage) : std::string("The document's end")) +
                           " took longer than " + std::to_string(renderTimeLimit()) + " seconds to render.");
    }
    // A stop signal reaches the renderer and the server at once: a renderer
    // killed by it waits a moment for the server's handler to say so.
    const bool killedByStop = WIFSIGNALED(status) && (WTERMSIG(status) == SIGTERM || WTERMSIG(status) == SIGINT);
    for (int i = 0; killedByStop && !quorvelStopping() && i < 50; ++i)
        usleep(10000);
    if ((pdf.got < 0 || !WIFEXITED(status) || pdf.watch.stop == Stop::Canceled) && quorvelStopping())
        return jobFail(pdf.job, "The printer application was stopped after " + std::to_string(end.printed) + " of " +
                                    std::to_string(end.count) + " pages.");
    if (!end.printedOk)
        return false;
    if (pdf.got < 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return jobFail(pdf.job, "The PDF renderer's output ended inside page " +
                                    std::to_string(end.first + end.printed) + ".");
    if (end.printed < end.count || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return jobFail(pdf.job, "The PDF renderer stopped after " + std::to_string(end.printed) + " of " +
                                    std::to_string(end.count) + " pages: " + why(status) + ".");
    return true;
}

} // namespace

bool quorvelPdfFilter(pappl_job_t* job, pappl_device_t* device, void*)
{
    const char* file = papplJobGetFilename(job);
    const std::string path = file ? file : "";
    if (!looksLikePdf(path))
        return jobFail(job, "The document is not a PDF file.");
    {
        // Renderers for the media start now, while pdfinfo reads the
        // document, unless ready renderers for it are waiting already.
        JobMedia probe;
        if (jobMediaOpen(job, 0, probe))
            keepRenderersReady(rendererArgs(probe.dpi, probe.width, probe.height));
    }
    PdfJob pdf;
    pdf.job = job;
    pdf.watch.job = job;
    JobMedia media;
    int first = 0, last = 0;
    bool result = false;
    if (!readDocument(pdf, path, media, first, last, result))
        return result;
    const std::vector<std::string> args = rendererArgs(media.dpi, media.width, media.height);
    if (!startRenderers(pdf, path, args))
        return jobFail(job, "Unable to start the PDF renderer (Ghostscript).");
    jobLog(job, PAPPL_LOGLEVEL_INFO, "Rendering pages %d to %d onto the sheet, 1-bit, %d at a time.", first, last,
           pdf.used);

    pdf.media = &media;
    PageLoop loop;
    loop.job = job;
    loop.device = device;
    loop.media = &media;
    loop.format = "application/pdf";
    loop.impressions = static_cast<int>(pdf.pages.size());
    PdfEnd end;
    end.printedOk = printPages(loop, PageSource{&pdf, pdfNext, pdfRow, pdfFinish});
    end.printed = loop.printed;
    end.count = static_cast<int>(pdf.pages.size());
    end.first = first;
    const bool whole = loop.ok && pdf.watch.stop == Stop::None && !papplJobIsCanceled(job) && pdf.got >= 0 &&
                       end.printed == end.count;
    end.status = endRenderers(pdf, whole, end.printed);
    if (!quorvelStopping())
        keepRenderersReady(args);
    return pdfOutcome(pdf, loop, end);
}
