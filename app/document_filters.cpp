// The document filters: PWG and Apple raster, JPEG and PNG, and documents
// sent without a format. Each reads the job's spool file and prints through
// the driver's raster callbacks (driver.h).
#include "document_filters.h"

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "document_check.h"
#include "driver.h"
#include "image_decode.h"
#include "job_log.h"
#include "pdf_filter.h"

namespace {

// A picture is held at no more pixels than a sheet at 300 dpi has (a
// quarter of what the printer prints): fine enough for a photo dithered at
// 600 dpi, and bounded whatever the picture's size.
constexpr long kPicturePixels = 5100L * 7016 / 4;

// Pages larger than this in either direction are not read: no sheet the
// printer takes comes near it (the page is then left out or refused).
constexpr unsigned kMaxRasterSide = 1u << 16;

std::atomic<bool> gStopping{false}; // the server was told to stop

// spoolFile: the job's document file, or "" when PAPPL has none.
std::string spoolFile(pappl_job_t* job)
{
    const char* path = papplJobGetFilename(job);
    return path ? path : "";
}

// readHead: the first bytes of a file.
std::size_t readHead(const std::string& path, unsigned char* head, std::size_t size)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const ssize_t n = read(fd, head, size);
    close(fd);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// The colour spaces a raster page may come in, as words.
const char* spaceName(unsigned space)
{
    switch (space) {
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_SW:
        return "grey";
    case CUPS_CSPACE_K:
        return "black";
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_SRGB:
    case CUPS_CSPACE_ADOBERGB:
        return "RGB colour";
    case CUPS_CSPACE_CMYK:
        return "CMYK colour";
    default:
        return "an unusual colour space";
    }
}

// rasterLayout: whether rows of a page in this header can be turned into
// grey here: white or black at 1, 8 or 16 bits, RGB or CMYK at 8 or 16
// bits a colour, all colours of a pixel together.
bool rasterLayout(const cups_page_header2_t& h)
{
    const unsigned bpc = h.cupsBitsPerColor, bpp = h.cupsBitsPerPixel;
    if (h.cupsColorOrder != CUPS_ORDER_CHUNKED || (bpc != 1 && bpc != 8 && bpc != 16))
        return false;
    switch (h.cupsColorSpace) {
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_SW:
    case CUPS_CSPACE_K:
        return bpp == bpc;
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_SRGB:
    case CUPS_CSPACE_ADOBERGB:
        return bpc != 1 && bpp == 3 * bpc;
    case CUPS_CSPACE_CMYK:
        return bpc != 1 && bpp == 4 * bpc;
    default:
        return false;
    }
}

// greyFromRaster: one raster row as grey, 0 black to 255 white. Sixteen-bit
// values are big-endian: their first byte is enough.
void greyFromRaster(const cups_page_header2_t& h, const unsigned char* in, unsigned char* out)
{
    const unsigned w = h.cupsWidth, step = h.cupsBitsPerColor / 8;
    const bool black = h.cupsColorSpace == CUPS_CSPACE_K;
    if (h.cupsBitsPerColor == 1) {
        for (unsigned x = 0; x < w; ++x) {
            const bool set = in[x / 8] & (0x80 >> (x & 7));
            out[x] = set == black ? 0 : 255;
        }
        return;
    }
    const unsigned colours = h.cupsBitsPerPixel / h.cupsBitsPerColor;
    for (unsigned x = 0; x < w; ++x) {
        const unsigned char* p = in + static_cast<std::size_t>(x) * colours * step;
        if (colours == 1)
            out[x] = black ? static_cast<unsigned char>(255 - p[0]) : p[0];
        else if (colours == 3)
            out[x] = static_cast<unsigned char>((30 * p[0] + 59 * p[step] + 11 * p[2 * step]) / 100);
        else {
            const int ink = (30 * p[0] + 59 * p[step] + 11 * p[2 * step]) / 100 + p[3 * step];
            out[x] = static_cast<unsigned char>(255 - std::min(ink, 255));
        }
    }
}

// sameSheet: whether a 1-bit page goes out as it came: black or white, at
// the sheet's size and resolution, as the CUPS filter would print it.
bool sameSheet(const cups_page_header2_t& h, const Sheet& sheet)
{
    return h.cupsBitsPerPixel == 1 && rasterLayout(h) && h.cupsWidth == static_cast<unsigned>(sheet.width) &&
           h.cupsHeight == static_cast<unsigned>(sheet.height) &&
           h.HWResolution[0] == h.HWResolution[1] && h.HWResolution[1] == static_cast<unsigned>(sheet.dpi);
}

// RasterRun: one raster job as it goes.
struct RasterRun {
    pappl_job_t* job;
    pappl_device_t* device;
    cups_raster_t* ras;
    Sheet& sheet;
    Scaling scaling;
    Orientation orientation;
    std::vector<unsigned char> in; // one row as read
    bool cutShort = false;         // a page sent as it came ended early
};

// rasterPageAsSent: a page that matches the sheet goes out row for row, a
// white-is-set page turned black-is-set; false once the printer stopped
// taking data. A page that ends early is noted in cutShort: the rest of it
// goes out white and the driver names the page at the job's end.
bool rasterPageAsSent(RasterRun& r, const cups_page_header2_t& h, unsigned index)
{
    pappl_pr_options_t* options = r.sheet.options;
    const cups_page_header2_t sheetHeader = options->header;
    options->header = h;
    options->header.cupsColorSpace = CUPS_CSPACE_K;
    bool ok = r.sheet.driver.rstartpage_cb(r.job, options, r.device, index);
    const bool invert = h.cupsColorSpace != CUPS_CSPACE_K;
    unsigned y = 0;
    for (; ok && y < h.cupsHeight; ++y) {
        if ((y & 255) == 0 && papplJobIsCanceled(r.job))
            break;
        if (cupsRasterReadPixels(r.ras, r.in.data(), h.cupsBytesPerLine) != h.cupsBytesPerLine)
            break;
        if (invert)
            for (unsigned i = 0; i < h.cupsBytesPerLine; ++i)
                r.in[i] = static_cast<unsigned char>(~r.in[i]);
        ok = r.sheet.driver.rwriteline_cb(r.job, options, r.device, y, r.in.data());
    }
    if (ok)
        ok = r.sheet.driver.rendpage_cb(r.job, options, r.device, index);
    options->header = sheetHeader;
    r.cutShort = y < h.cupsHeight && !papplJobIsCanceled(r.job);
    return ok;
}

// rasterPagePlaced: any other page, read whole as grey, then turned, scaled
// and dithered onto the sheet like a rendered PDF page.
bool rasterPagePlaced(RasterRun& r, const cups_page_header2_t& h, unsigned index, std::string& problem)
{
    GreyPage page;
    page.width = static_cast<int>(h.cupsWidth);
    page.height = static_cast<int>(h.cupsHeight);
    page.pixels.assign(static_cast<std::size_t>(page.width) * page.height, 255);
    unsigned y = 0;
    for (; y < h.cupsHeight && !papplJobIsCanceled(r.job); ++y) {
        if (cupsRasterReadPixels(r.ras, r.in.data(), h.cupsBytesPerLine) != h.cupsBytesPerLine)
            break;
        greyFromRaster(h, r.in.data(), page.pixels.data() + static_cast<std::size_t>(y) * page.width);
    }
    if (y < h.cupsHeight && !papplJobIsCanceled(r.job))
        problem = "Page " + std::to_string(index) + " ended after " + std::to_string(y) + " of its " +
                  std::to_string(h.cupsHeight) + " rows: the document data stopped early.";
    const double dpi = h.HWResolution[1] ? h.HWResolution[1] : r.sheet.dpi;
    const Placement place = placePage(page.width, page.height, dpi, r.sheet.width, r.sheet.height, r.sheet.dpi,
                                      r.scaling, r.orientation);
    const bool ok = printGreyPage(r.job, r.device, r.sheet, page, place, index);
    return ok && problem.empty();
}

// printPicture: a decoded picture on one sheet.
bool printPicture(pappl_job_t* job, pappl_device_t* device, const char* format, const Picture& picture)
{
    Sheet sheet;
    if (!sheetOpen(job, 1, sheet))
        return jobFail(job, "Unable to get the job's print options.");
    // A picture that says nothing of its size is fitted to the sheet, whole,
    // unless the job asks otherwise; one that does keeps its size when it
    // fits.
    Scaling scaling = scalingFor(sheet.options->print_scaling);
    if (scaling == Scaling::Auto && picture.dpi <= 0)
        scaling = Scaling::Fit;
    const double dpi = picture.dpi > 0 ? picture.dpi : 72;
    const Placement place = placePage(picture.page.width, picture.page.height, dpi, sheet.width, sheet.height,
                                      sheet.dpi, scaling, orientationFor(job, sheet.options));
    quorvelSetJobFormat(format);
    papplJobSetImpressions(job, 1);
    bool ok = sheet.driver.rstartjob_cb(job, sheet.options, device);
    if (ok)
        ok = printGreyPage(job, device, sheet, picture.page, place, 0);
    const bool ended = sheet.driver.rendjob_cb(job, sheet.options, device);
    if (ok && ended && !papplJobIsCanceled(job))
        papplJobSetImpressionsCompleted(job, 1);
    return ok && ended;
}

// filterFor: our filter for a MIME type we print; its data is the type.
pappl_mime_filter_cb_t filterFor(const char* format)
{
    if (std::strcmp(format, "application/pdf") == 0)
        return quorvelPdfFilter;
    return isRasterFormat(format) ? quorvelRasterFilter : quorvelImageFilter;
}

// checkFormat: whether the spool file holds the format the job says; if
// not, the job stops saying what it holds.
bool checkFormat(pappl_job_t* job, const char* format)
{
    unsigned char head[1024];
    const std::size_t n = readHead(spoolFile(job), head, sizeof head);
    const char* found = documentFormat(head, n);
    if (found && std::strcmp(found, format) == 0)
        return true;
    if (n == 0)
        return jobFail(job, "The document is empty.");
    return jobFail(job, std::string("The document was sent as ") + formatName(format) + " but is " +
                            (found ? formatName(found) : "not one") + ".");
}

} // namespace

Sheet::~Sheet()
{
    papplJobDeletePrintOptions(options);
}

bool sheetOpen(pappl_job_t* job, unsigned pages, Sheet& sheet)
{
    sheet.options = papplJobCreatePrintOptions(job, pages, false);
    if (!sheet.options)
        return false;
    papplPrinterGetDriverData(papplJobGetPrinter(job), &sheet.driver);
    cups_page_header2_t& header = sheet.options->header;
    header.cupsBitsPerColor = 1;
    header.cupsBitsPerPixel = 1;
    header.cupsColorSpace = CUPS_CSPACE_K;
    header.cupsNumColors = 1;
    header.cupsBytesPerLine = (header.cupsWidth + 7) / 8;
    sheet.width = static_cast<int>(header.cupsWidth);
    sheet.height = static_cast<int>(header.cupsHeight);
    sheet.bytesPerLine = static_cast<int>(header.cupsBytesPerLine);
    sheet.dpi = header.HWResolution[1] ? header.HWResolution[1] : 600;
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

bool printGreyPage(pappl_job_t* job, pappl_device_t* device, Sheet& sheet, const GreyPage& page,
                   const Placement& place, unsigned index)
{
    std::vector<std::uint8_t> row(static_cast<std::size_t>(sheet.bytesPerLine) + 16);
    bool ok = sheet.driver.rstartpage_cb(job, sheet.options, device, index);
    for (int y = 0; ok && y < sheet.height; ++y) {
        if ((y & 255) == 0 && papplJobIsCanceled(job))
            break;
        sheetRow(page, place, y, sheet.width, sheet.options->dither, row.data(), sheet.bytesPerLine);
        ok = sheet.driver.rwriteline_cb(job, sheet.options, device, static_cast<unsigned>(y), row.data());
    }
    return ok && sheet.driver.rendpage_cb(job, sheet.options, device, index);
}

bool quorvelRasterFilter(pappl_job_t* job, pappl_device_t* device, void* data)
{
    const char* format = data ? static_cast<const char*>(data) : "image/pwg-raster";
    if (!checkFormat(job, format))
        return false;
    const int fd = open(spoolFile(job).c_str(), O_RDONLY | O_CLOEXEC);
    cups_raster_t* ras = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_READ) : nullptr;
    Sheet sheet;
    if (!ras || !sheetOpen(job, 0, sheet)) {
        if (ras)
            cupsRasterClose(ras);
        if (fd >= 0)
            close(fd);
        return jobFail(job, "Unable to read the raster document.");
    }
    RasterRun r{job, device, ras, sheet, scalingFor(sheet.options->print_scaling),
                orientationFor(job, sheet.options), {}};
    quorvelSetJobFormat(format);
    cups_page_header2_t h;
    unsigned index = 0;
    bool ok = true, started = false;
    std::string problem;
    while (ok && problem.empty() && !r.cutShort && !papplJobIsCanceled(job) && cupsRasterReadHeader2(ras, &h)) {
        ++index;
        if (h.cupsWidth == 0 || h.cupsHeight == 0 || h.cupsWidth > kMaxRasterSide || h.cupsHeight > kMaxRasterSide ||
            h.cupsBytesPerLine != (h.cupsWidth * h.cupsBitsPerPixel + 7) / 8) {
            problem = "The raster document is damaged: the header of page " + std::to_string(index) +
                      " is not valid.";
            break;
        }
        if (h.HWResolution[0] != h.HWResolution[1]) {
            problem = "Page " + std::to_string(index) + " of the raster document has pixels that are not square (" +
                      std::to_string(h.HWResolution[0]) + " x " + std::to_string(h.HWResolution[1]) +
                      " dpi), which this printer cannot print.";
            break;
        }
        if (!rasterLayout(h)) {
            problem = "Page " + std::to_string(index) + " of the raster document is " + spaceName(h.cupsColorSpace) +
                      " at " + std::to_string(h.cupsBitsPerPixel) + " bits a pixel, which this printer cannot print.";
            break;
        }
        if (!started) {
            // Raster documents bring their own copies, page after page; the
            // first page's count goes in the settings block as the filter's.
            sheet.options->header.NumCopies = std::max(h.NumCopies, 1u);
            ok = started = sheet.driver.rstartjob_cb(job, sheet.options, device);
            if (!ok)
                break;
        }
        quorvelNoteClientHeader(h);
        r.in.assign(h.cupsBytesPerLine + 16, 0);
        ok = sameSheet(h, sheet) ? rasterPageAsSent(r, h, index) : rasterPagePlaced(r, h, index, problem);
        if (ok && !r.cutShort && problem.empty())
            papplJobSetImpressionsCompleted(job, 1);
    }
    if (index == 0 && problem.empty() && !papplJobIsCanceled(job))
        problem = "The raster document is damaged: it has no page that can be read.";
    const bool ended = !started || sheet.driver.rendjob_cb(job, sheet.options, device);
    cupsRasterClose(ras);
    close(fd);
    if (!problem.empty())
        return jobFail(job, problem);
    return ok && ended;
}

bool quorvelImageFilter(pappl_job_t* job, pappl_device_t* device, void* data)
{
    const char* format = data ? static_cast<const char*>(data) : "image/jpeg";
    if (!checkFormat(job, format))
        return false;
    const std::string path = spoolFile(job);
    const bool jpeg = std::strcmp(format, "image/jpeg") == 0;
    Picture picture;
    if (!(jpeg ? decodeJpeg(path.c_str(), kPicturePixels, picture) : decodePng(path.c_str(), kPicturePixels, picture)))
        return jobFail(job, picture.problem);
    // A JPEG cut short still decodes, its missing part grey: it is refused
    // before anything reaches the printer.
    if (jpeg && !jpegFileEndsWhole(path.c_str()))
        return jobFail(job, "The JPEG image is cut short: its data ends before the end of the picture.");
    jobLog(job, PAPPL_LOGLEVEL_INFO, "Picture held at %d x %d pixels, %.1f dpi.", picture.page.width,
           picture.page.height, picture.dpi);
    return printPicture(job, device, format, picture);
}

bool quorvelAnyFilter(pappl_job_t* job, pappl_device_t* device, void*)
{
    unsigned char head[1024];
    const std::size_t n = readHead(spoolFile(job), head, sizeof head);
    if (n == 0)
        return jobFail(job, "The document is empty.");
    const char* format = documentFormat(head, n);
    if (!format)
        return jobFail(job, "The document's format is not one this printer reads: it prints " + quorvelFormatList() +
                                ".");
    jobLog(job, PAPPL_LOGLEVEL_INFO, "The document is %s.", formatName(format));
    return filterFor(format)(job, device, const_cast<char*>(format));
}

void quorvelNoteStop()
{
    gStopping = true;
}

bool quorvelStopping()
{
    return gStopping;
}

void quorvelAddFilters(pappl_system_t* system)
{
    for (const DocumentFormat& f : kDocumentFormats)
        papplSystemAddMIMEFilter(system, f.mime, kNativeFormat, filterFor(f.mime), const_cast<char*>(f.mime));
    papplSystemAddMIMEFilter(system, kNativeFormat, kNativeFormat, quorvelAnyFilter, nullptr);
}
