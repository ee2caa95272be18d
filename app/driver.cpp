// The quorvel driver: printer capabilities for PAPPL, and the raster
// callbacks, which hand each job's pages to its own AppJob (print_job.h).
#include "driver.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "appearance.h"
#include "cups_page.h"
#include "document_filters.h"
#include "job_data.h"
#include "job_log.h"
#include "print_job.h"
#include "printer_vocabulary.h"
#include "testpage.h"

namespace {

pappl_pr_driver_t kDrivers[] = {
    {"quorvel", "Quorvel Monochrome Printer, 600dpi", "MFG:Quorvel;", nullptr},
};

// deviceWrite: PAPPL's device write, as the job's sink wants it.
ssize_t deviceWrite(void* device, const void* bytes, std::size_t len)
{
    return papplDeviceWrite(static_cast<pappl_device_t*>(device), bytes, len);
}

// isFormat: whether the job's document is of MIME type format.
bool isFormat(const AppJob& data, const char* format)
{
    return data.format && std::strcmp(data.format, format) == 0;
}

// vendorOption: the job's value of a vendor option, else the printer's
// NAME-default as it stands now: PAPPL passes on only what the job sent.
std::string vendorOption(pappl_job_t* job, const pappl_pr_options_t* options, const char* name)
{
    if (const char* value = cupsGetOption(name, options->num_vendor, options->vendor))
        return value;
    std::string result;
    if (ipp_t* attrs = papplPrinterGetDriverAttributes(papplJobGetPrinter(job))) {
        const std::string deflt = std::string(name) + "-default";
        if (ipp_attribute_t* attr = ippFindAttribute(attrs, deflt.c_str(), IPP_TAG_KEYWORD))
            result = ippGetString(attr, 0, nullptr);
        ippDelete(attrs);
    }
    return result;
}

// jobOptions: what the driver takes from PAPPL's job options. Images and
// PDF carry the job's copies in the settings block and are sent once;
// raster streams bring their own copy count.
JobOptions jobOptions(pappl_job_t* job, const pappl_pr_options_t* options, const AppJob& data)
{
    JobOptions o;
    o.darknessConfigured = options->darkness_configured;
    o.printDarkness = options->print_darkness;
    o.paperWeight = vendorOption(job, options, "paper-weight");
    o.manualDuplex = vendorOption(job, options, "manual-duplex") == "on";
    o.sides = static_cast<int>(options->sides);
    o.copies = options->copies;
    o.singlePage = isFormat(data, "image/jpeg") || isFormat(data, "image/png");
    o.copiesInSettings = o.singlePage || isFormat(data, "application/pdf");
    return o;
}

// The driver's raster callbacks: adapters from PAPPL's calls to the job's
// AppJob, which the page loop keeps on the job (job_data.h). What goes
// wrong is kept there, and the loop says it.

bool startJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device)
{
    AppJob* data = appJobOf(job);
    if (!data)
        return false;
    const JobOptions o = jobOptions(job, options, *data);
    appJobBegin(*data, o, deviceWrite, device);
    jobLog(job, PAPPL_LOGLEVEL_INFO,
           "Darkness %d%+d (density level %d), paper weight '%s' (level %d), sides %d, "
           "manual duplex %s, copies %d%s.",
           o.darknessConfigured, o.printDarkness, data->attr.m_printDensity, o.paperWeight.c_str(),
           data->attr.m_paperWeight, o.sides, o.manualDuplex ? "on" : "off", o.copies,
           o.copiesInSettings ? " (made by the printer)" : "");
    return true;
}

// startPage: a raster page is judged by its size as sent, before the
// raster filter fitted it to the media: one the printer cannot take is
// left out.
bool startPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned)
{
    AppJob* data = appJobOf(job);
    const QuorvelPage page = quorvelPageFromHeader(options->header);
    return data && appPageBegin(*data, page, appPageAsSent(*data, page));
}

bool writeLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned, const unsigned char* line)
{
    AppJob* data = appJobOf(job);
    return data && appRow(*data, line);
}

bool endPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned)
{
    AppJob* data = appJobOf(job);
    return data && appPageEnd(*data);
}

// endJob: the end-of-job command goes out however the job ended, so the
// printer is left ready.
bool endJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*)
{
    AppJob* data = appJobOf(job);
    if (!data)
        return true;
    const bool ok = appJobEnd(*data);
    papplDeviceFlush(static_cast<pappl_device_t*>(data->device));
    return ok;
}

// printFile: a document of the native format, for which PAPPL 1.4.10 and
// later want a callback; PAPPL finds our filter for every format first, so
// this only hands on to it.
bool printFile(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device)
{
    return quorvelAnyFilter(job, device, nullptr);
}

// setMedia: one tray, A4 in it by default, no margins.
void setMedia(pappl_pr_driver_data_t* data)
{
    data->num_media = kMediaCount;
    for (int i = 0; i < data->num_media; ++i)
        data->media[i] = kMedia[i];
    data->left_right = 0;
    data->bottom_top = 0;
    data->borderless = false;
    data->num_source = 1;
    data->source[0] = "main";
    data->num_type = 1;
    data->type[0] = "stationery";

    pappl_media_col_t& ready = data->media_ready[0];
    ready = pappl_media_col_t{};
    std::snprintf(ready.size_name, sizeof ready.size_name, "%s", kMedia[0]);
    ready.size_width = kMediaDefaultWidth;
    ready.size_length = kMediaDefaultLength;
    std::snprintf(ready.source, sizeof ready.source, "main");
    std::snprintf(ready.type, sizeof ready.type, "stationery");
    data->media_default = ready;
}

// addKeywords: a vendor option's -supported and -default attributes.
void addKeywords(ipp_t* attrs, const KeywordOption& option)
{
    const std::string supported = std::string(option.name) + "-supported";
    const std::string deflt = std::string(option.name) + "-default";
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, supported.c_str(), option.count, nullptr,
                  option.keywords);
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, deflt.c_str(), nullptr, option.defaultKeyword);
}

} // namespace

int quorvelDriverCount()
{
    return static_cast<int>(sizeof kDrivers / sizeof kDrivers[0]);
}

pappl_pr_driver_t* quorvelDrivers()
{
    return kDrivers;
}

void quorvelSetDrivers(pappl_system_t* system)
{
    papplSystemSetPrinterDrivers(system, quorvelDriverCount(), kDrivers, quorvelAutoAdd, nullptr,
                                 quorvelDriverCallback, nullptr);
}

// quorvelDriverCallback: a 600 dpi black-and-white printer; PAPPL renders
// and dithers everything else down to 1-bit black for it.
bool quorvelDriverCallback(pappl_system_t*, const char* driver_name, const char*, const char*,
                           pappl_pr_driver_data_t* data, ipp_t** attrs, void*)
{
    if (!driver_name || std::strcmp(driver_name, "quorvel") != 0)
        return false;

    data->rstartjob_cb = startJob;
    data->rstartpage_cb = startPage;
    data->rwriteline_cb = writeLine;
    data->rendpage_cb = endPage;
    data->rendjob_cb = endJob;
    data->testpage_cb = quorvelTestPage;
    // Every document comes through our own filters (document_filters.h).
    data->format = kNativeFormat;
    data->printfile_cb = printFile;
    quorvelSetIcons(data);

    std::snprintf(data->make_and_model, sizeof data->make_and_model, "%s", kPrinterMakeModel);
    data->ppm = 20;
    data->kind = PAPPL_KIND_DOCUMENT;
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->scaling_default = PAPPL_SCALING_AUTO;
    data->raster_types = PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_BLACK_8 |
                         PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    data->force_raster_type = PAPPL_PWG_RASTER_TYPE_BLACK_1;

    // The stream turns long-edge back sides itself.
    data->duplex = PAPPL_DUPLEX_NORMAL;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE |
                            PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;

    data->num_resolution = 1;
    data->x_resolution[0] = data->y_resolution[0] = 600;
    data->x_default = data->y_default = 600;

    setMedia(data);

    data->darkness_supported = kDarknessLevels;
    data->darkness_configured = kDarknessDefault;
    data->darkness_default = 0;

    data->num_vendor = kVendorOptionCount;
    if (!*attrs)
        *attrs = ippNew();
    for (int i = 0; i < kVendorOptionCount; ++i) {
        data->vendor[i] = kVendorOptions[i].name;
        addKeywords(*attrs, kVendorOptions[i]);
    }
    return true;
}

const char* quorvelDriverForDeviceId(const char* device_id)
{
    if (!device_id)
        return nullptr;
    cups_option_t* pairs = nullptr;
    const int count = papplDeviceParseID(device_id, &pairs);
    const char* maker = cupsGetOption("MANUFACTURER", count, pairs);
    if (!maker)
        maker = cupsGetOption("MFG", count, pairs);
    const char* driver = maker && strcasecmp(maker, kPrinterMaker) == 0 ? "quorvel" : nullptr;
    cupsFreeOptions(count, pairs);
    return driver;
}

const char* quorvelAutoAdd(const char*, const char*, const char* device_id, void*)
{
    return quorvelDriverForDeviceId(device_id);
}
