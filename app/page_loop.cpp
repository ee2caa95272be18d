// The page loop: one job's life through the driver's raster callbacks,
// whatever its document. The job's AppJob lives here, on the loop's stack,
// and on the PAPPL job while it prints; what the driver found (pages left
// out, a page cut short, a printer that stopped taking data) is said here,
// once, as the job's message.
#include "page_loop.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "cups_page.h"
#include "job_data.h"
#include "job_log.h"

namespace {

// noteRefused: a page the driver left out is said at once, in the log and
// in the job's message.
void noteRefused(pappl_job_t* job, const AppJob& data, std::size_t before)
{
    if (data.refused.size() == before)
        return;
    jobLog(job, PAPPL_LOGLEVEL_WARN, "%s", data.refused.c_str() + (before ? before + 2 : 0));
    jobMessage(job, data.refused + ".");
}

// reportJob: why the printer did not print the job whole, from what the
// driver found; false then. A long-edge back side is kept whole before it
// goes out: no memory for it is ours to report, not the printer's.
bool reportJob(pappl_job_t* job, const AppJob& data)
{
    if (data.writeErrno == ENOMEM)
        return jobFail(job, "No memory to hold a two-sided page.");
    if (data.writeErrno != 0) {
        jobLog(job, PAPPL_LOGLEVEL_ERROR, "Unable to send to the printer: %s", std::strerror(data.writeErrno));
        jobMessage(job, std::string("The printer stopped taking data (") + std::strerror(data.writeErrno) + ").");
        return false;
    }
    if (!data.shortPage.empty() && !papplJobIsCanceled(job))
        return jobFail(job, data.shortPage + ".");
    // The pages that fit printed; the job says which did not, and ends in
    // error as the CUPS filter does.
    if (!data.refused.empty()) {
        jobMessage(job, data.refused + ".");
        return false;
    }
    return true;
}

// printPage: one page: its start, its rows (a cancel ends the page where it
// is; its other rows are white), its end; whether it came whole.
bool printPage(PageLoop& loop, const PageSource& source, const PageHead& head, AppJob& data, unsigned index)
{
    pappl_pr_options_t* options = loop.media->options;
    const pappl_pr_driver_data_t& driver = loop.media->driver;
    const cups_page_header2_t mediaHeader = options->header;
    options->header = head.header;
    data.clientSet = head.client != nullptr;
    if (head.client)
        data.client = quorvelPageFromHeader(*head.client);
    const std::size_t refusedBefore = data.refused.size();
    bool ok = driver.rstartpage_cb(loop.job, options, loop.device, index);
    noteRefused(loop.job, data, refusedBefore);
    std::vector<unsigned char> row(head.header.cupsBytesPerLine + 16);
    for (unsigned y = 0; ok && y < head.header.cupsHeight; ++y) {
        if ((y & 255) == 0 && papplJobIsCanceled(loop.job))
            break;
        if (!source.row(source.context, y, row.data()))
            break;
        ok = driver.rwriteline_cb(loop.job, options, loop.device, y, row.data());
    }
    const bool whole = ok && source.finish(source.context);
    if (ok)
        ok = driver.rendpage_cb(loop.job, options, loop.device, index);
    options->header = mediaHeader;
    loop.ok = ok;
    return whole;
}

} // namespace

JobMedia::~JobMedia()
{
    papplJobDeletePrintOptions(options);
}

bool jobMediaOpen(pappl_job_t* job, unsigned pages, JobMedia& media)
{
    media.options = papplJobCreatePrintOptions(job, pages, false);
    if (!media.options)
        return false;
    papplPrinterGetDriverData(papplJobGetPrinter(job), &media.driver);
    cups_page_header2_t& header = media.options->header;
    header.cupsBitsPerColor = 1;
    header.cupsBitsPerPixel = 1;
    header.cupsColorSpace = CUPS_CSPACE_K;
    header.cupsNumColors = 1;
    header.cupsBytesPerLine = (header.cupsWidth + 7) / 8;
    media.width = static_cast<int>(header.cupsWidth);
    media.height = static_cast<int>(header.cupsHeight);
    media.bytesPerLine = static_cast<int>(header.cupsBytesPerLine);
    media.dpi = header.HWResolution[1] ? header.HWResolution[1] : 600;
    return true;
}

Scaling scalingFor(pappl_scaling_t s)
{
    if (s & PAPPL_SCALING_FIT)
        return Scaling::Fit;
    if (s & PAPPL_SCALING_FILL)
        return Scaling::Fill;
    if (s & PAPPL_SCALING_NONE)
        return Scaling::None;
    return Scaling::Auto;
}

Orientation orientationFor(pappl_job_t* job, const pappl_pr_options_t* options)
{
    if (!papplJobGetAttribute(job, "orientation-requested"))
        return Orientation::Auto;
    switch (options->orientation_requested) {
    case IPP_ORIENT_PORTRAIT:
        return Orientation::Portrait;
    case IPP_ORIENT_LANDSCAPE:
        return Orientation::Landscape;
    case IPP_ORIENT_REVERSE_LANDSCAPE:
        return Orientation::ReverseLandscape;
    case IPP_ORIENT_REVERSE_PORTRAIT:
        return Orientation::ReversePortrait;
    default:
        return Orientation::Auto;
    }
}

// printPages: a page that did not come whole ends the job after it; a
// page counts as an impression once it is printed whole and not cancelled.
bool printPages(PageLoop& loop, const PageSource& source)
{
    AppJob data;
    data.format = loop.format;
    appJobAttach(loop.job, &data);
    pappl_pr_options_t* options = loop.media->options;
    const pappl_pr_driver_data_t& driver = loop.media->driver;
    if (loop.impressions > 0)
        papplJobSetImpressions(loop.job, loop.impressions);
    if (loop.startAtOnce)
        loop.ok = loop.started = driver.rstartjob_cb(loop.job, options, loop.device);
    PageHead head;
    for (unsigned index = 0; loop.ok && loop.whole && !papplJobIsCanceled(loop.job); ++index) {
        head.header = options->header;
        head.client = nullptr;
        if (!source.next(source.context, head))
            break;
        if (!loop.started && !(loop.ok = loop.started = driver.rstartjob_cb(loop.job, options, loop.device)))
            break;
        loop.whole = printPage(loop, source, head, data, index);
        if (loop.ok && loop.whole && !papplJobIsCanceled(loop.job)) {
            ++loop.printed;
            papplJobSetImpressionsCompleted(loop.job, 1);
        }
    }
    const bool ended = !loop.started || driver.rendjob_cb(loop.job, options, loop.device);
    appJobDetach(loop.job);
    const bool reported = reportJob(loop.job, data);
    return loop.ok && ended && reported;
}

bool greyRow(void* context, unsigned y, unsigned char* out)
{
    const GreySource& g = *static_cast<const GreySource*>(context);
    mediaRow(*g.page, g.place, static_cast<int>(y), g.media->width, g.media->options->dither, out,
             g.media->bytesPerLine);
    return true;
}
