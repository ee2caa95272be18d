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
#include <utility>
#include <vector>

#include "document_check.h"
#include "image_decode.h"
#include "job_log.h"
#include "page_loop.h"
#include "pdf_filter.h"
#include "printer_vocabulary.h"

namespace {

// A picture is held at no more pixels than a page of the media at 300 dpi has (a
// quarter of what the printer prints): fine enough for a photo dithered at
// 600 dpi, and bounded whatever the picture's size.
constexpr long kPicturePixels = 5100L * 7016 / 4;

// Pages larger than this in either direction are not read: no media the
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

// matchesMedia: whether a 1-bit page goes out as it came: black or white, at
// the media's size and resolution, as the CUPS filter would print it.
bool matchesMedia(const cups_page_header2_t& h, const JobMedia& media)
{
    return h.cupsBitsPerPixel == 1 && rasterLayout(h) && h.cupsWidth == static_cast<unsigned>(media.width) &&
           h.cupsHeight == static_cast<unsigned>(media.height) &&
           h.HWResolution[0] == h.HWResolution[1] && h.HWResolution[1] == static_cast<unsigned>(media.dpi);
}

// RasterSource: a raster document's pages as they are read. A page that
// matches the media goes out row for row (a white-is-set page turned
// black-is-set); any other is read whole as grey and placed on the media.
struct RasterSource {
    pappl_job_t* job;
    cups_raster_t* ras;
    JobMedia& media;
    Scaling scaling = Scaling::Auto;
    Orientation orientation = Orientation::Auto;
    cups_page_header2_t h = {};    // the page's header as sent
    unsigned index = 0;            // pages read, from 1
    bool asSent = false;           // the page goes out as it came
    unsigned rows = 0;             // rows read of a page that goes out as it came
    GreyPage grey{};                 // any other page, as grey
    GreySource placed{};             // and where it lands
    std::vector<unsigned char> in{}; // one row as read
    std::string problem{};           // why the document cannot go on
};

// headerProblem: why a raster page header cannot be printed, or "".
std::string headerProblem(const cups_page_header2_t& h, unsigned index)
{
    const std::string page = "Page " + std::to_string(index);
    if (h.cupsWidth == 0 || h.cupsHeight == 0 || h.cupsWidth > kMaxRasterSide || h.cupsHeight > kMaxRasterSide ||
        h.cupsBytesPerLine != (h.cupsWidth * h.cupsBitsPerPixel + 7) / 8)
        return "The raster document is damaged: the header of page " + std::to_string(index) + " is not valid.";
    if (h.HWResolution[0] != h.HWResolution[1])
        return page + " of the raster document has pixels that are not square (" + std::to_string(h.HWResolution[0]) +
               " x " + std::to_string(h.HWResolution[1]) + " dpi), which this printer cannot print.";
    if (!rasterLayout(h))
        return page + " of the raster document is " + spaceName(h.cupsColorSpace) + " at " +
               std::to_string(h.cupsBitsPerPixel) + " bits a pixel, which this printer cannot print.";
    return "";
}

// readGrey: the page read whole as grey and placed on the media; a page
// that ends early is printed with the rest white, and stops the job.
void readGrey(RasterSource& r)
{
    const cups_page_header2_t& h = r.h;
    r.grey.width = static_cast<int>(h.cupsWidth);
    r.grey.height = static_cast<int>(h.cupsHeight);
    r.grey.pixels.assign(static_cast<std::size_t>(r.grey.width) * r.grey.height, 255);
    unsigned y = 0;
    for (; y < h.cupsHeight && !papplJobIsCanceled(r.job); ++y) {
        if (cupsRasterReadPixels(r.ras, r.in.data(), h.cupsBytesPerLine) != h.cupsBytesPerLine)
            break;
        greyFromRaster(h, r.in.data(), r.grey.pixels.data() + static_cast<std::size_t>(y) * r.grey.width);
    }
    if (y < h.cupsHeight && !papplJobIsCanceled(r.job))
        r.problem = "Page " + std::to_string(r.index) + " ended after " + std::to_string(y) + " of its " +
                    std::to_string(h.cupsHeight) + " rows: the document data stopped early.";
    const JobMedia& s = r.media;
    const double dpi = h.HWResolution[1] ? h.HWResolution[1] : s.dpi;
    r.placed = GreySource{&r.grey, placePage(r.grey.width, r.grey.height, dpi, s.width, s.height, s.dpi,
                                             r.scaling, r.orientation), &s};
}

// rasterNext: the next page's header. Raster documents bring their own
// copies, page after page; the first page's count goes in the settings
// block as the filter's.
bool rasterNext(void* context, PageHead& head)
{
    RasterSource& r = *static_cast<RasterSource*>(context);
    if (!cupsRasterReadHeader2(r.ras, &r.h))
        return false;
    r.problem = headerProblem(r.h, ++r.index);
    if (!r.problem.empty())
        return false;
    if (r.index == 1)
        head.header.NumCopies = r.media.options->header.NumCopies = std::max(r.h.NumCopies, 1u);
    head.client = &r.h;
    r.in.assign(r.h.cupsBytesPerLine + 16, 0);
    r.asSent = matchesMedia(r.h, r.media);
    r.rows = 0;
    if (r.asSent) {
        head.header = r.h;
        head.header.cupsColorSpace = CUPS_CSPACE_K;
    } else
        readGrey(r);
    return true;
}

// rasterRow: a row as it came, or the placed page's.
bool rasterRow(void* context, unsigned y, unsigned char* out)
{
    RasterSource& r = *static_cast<RasterSource*>(context);
    if (!r.asSent)
        return greyRow(&r.placed, y, out);
    const unsigned bytes = r.h.cupsBytesPerLine;
    if (cupsRasterReadPixels(r.ras, out, bytes) != bytes)
        return false;
    ++r.rows;
    if (r.h.cupsColorSpace != CUPS_CSPACE_K)
        for (unsigned i = 0; i < bytes; ++i)
            out[i] = static_cast<unsigned char>(~out[i]);
    return true;
}

// rasterFinish: a page sent as it came that ended early has gone out with
// the rest white; the driver names it at the job's end.
bool rasterFinish(void* context)
{
    const RasterSource& r = *static_cast<const RasterSource*>(context);
    if (r.asSent)
        return r.rows == r.h.cupsHeight || papplJobIsCanceled(r.job);
    return r.problem.empty();
}

// PictureSource: a picture, its one page placed on the media.
struct PictureSource {
    GreySource placed;
    bool given = false; // the page has been given to the loop
};

// printPicture: a decoded picture on one page.
bool printPicture(pappl_job_t* job, pappl_device_t* device, const char* format, const Picture& picture)
{
    JobMedia media;
    if (!jobMediaOpen(job, 1, media))
        return jobFail(job, "Unable to get the job's print options.");
    // A picture that says nothing of its size is fitted to the media, whole,
    // unless the job asks otherwise; one that does keeps its size when it
    // fits.
    Scaling scaling = scalingFor(media.options->print_scaling);
    if (scaling == Scaling::Auto && picture.dpi <= 0)
        scaling = Scaling::Fit;
    const double dpi = picture.dpi > 0 ? picture.dpi : 72;
    PictureSource one{{&picture.page,
                        placePage(picture.page.width, picture.page.height, dpi, media.width, media.height,
                                  media.dpi, scaling, orientationFor(job, media.options)),
                        &media}};
    PageLoop loop;
    loop.job = job;
    loop.device = device;
    loop.media = &media;
    loop.format = format;
    loop.impressions = 1;
    PageSource source;
    source.context = &one;
    source.next = [](void* context, PageHead&) { return !std::exchange(static_cast<PictureSource*>(context)->given, true); };
    source.row = [](void* context, unsigned y, unsigned char* out) {
        return greyRow(&static_cast<PictureSource*>(context)->placed, y, out);
    };
    source.finish = [](void*) { return true; };
    return printPages(loop, source);
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

bool quorvelRasterFilter(pappl_job_t* job, pappl_device_t* device, void* data)
{
    const char* format = data ? static_cast<const char*>(data) : "image/pwg-raster";
    if (!checkFormat(job, format))
        return false;
    const int fd = open(spoolFile(job).c_str(), O_RDONLY | O_CLOEXEC);
    cups_raster_t* ras = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_READ) : nullptr;
    JobMedia media;
    if (!ras || !jobMediaOpen(job, 0, media)) {
        if (ras)
            cupsRasterClose(ras);
        if (fd >= 0)
            close(fd);
        return jobFail(job, "Unable to read the raster document.");
    }
    RasterSource r{job, ras, media};
    r.scaling = scalingFor(media.options->print_scaling);
    r.orientation = orientationFor(job, media.options);
    PageLoop loop;
    loop.job = job;
    loop.device = device;
    loop.media = &media;
    loop.format = format;
    loop.startAtOnce = false; // a document with no page to print sends nothing
    const bool ok = printPages(loop, PageSource{&r, rasterNext, rasterRow, rasterFinish});
    if (r.index == 0 && r.problem.empty() && !papplJobIsCanceled(job))
        r.problem = "The raster document is damaged: it has no page that can be read.";
    cupsRasterClose(ras);
    close(fd);
    return r.problem.empty() ? ok : jobFail(job, r.problem);
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
