// The application's document filters. Every document a job brings, in
// whatever format, is read here from its spool file and handed to the
// driver's raster callbacks; none goes down PAPPL's own image or raster
// paths. Each filter either prints the document whole or stops the job
// with a message that says why.
#pragma once

#include <pappl/pappl.h>

#include "page_layout.h"

// kNativeFormat: what the driver says it prints. PAPPL looks for a filter
// from a job's format to this first; it is not a format of its own, so
// PAPPL adds nothing to document-format-supported for it.
constexpr const char* kNativeFormat = "application/octet-stream";

// quorvelAddFilters: register the filters for every format we print.
void quorvelAddFilters(pappl_system_t* system);

// Sheet: the sheet the driver prints a job's pages on: PAPPL's options for
// the job (the header for its media, made 1-bit black) and the driver.
struct Sheet {
    pappl_pr_options_t* options = nullptr;
    pappl_pr_driver_data_t driver = {};
    int width = 0, height = 0, bytesPerLine = 0;
    double dpi = 600;
    ~Sheet();
};

// sheetOpen: the sheet for job, whose document has pages pages; false when
// PAPPL has no options for it.
bool sheetOpen(pappl_job_t* job, unsigned pages, Sheet& sheet);

// scalingFor, orientationFor: the job's print-scaling and
// orientation-requested (Auto when the job sent none).
Scaling scalingFor(pappl_scaling_t s);
Orientation orientationFor(pappl_job_t* job, const pappl_pr_options_t* options);

// printGreyPage: page index, placed on the sheet and dithered, through the
// driver's page and row callbacks; false once the printer stopped taking
// data. A cancel ends the page where it is; its other rows are white.
bool printGreyPage(pappl_job_t* job, pappl_device_t* device, Sheet& sheet, const GreyPage& page,
                   const Placement& place, unsigned index);

// quorvelNoteStop, quorvelStopping: the server was told to stop (a signal
// handler notes it); a renderer killed with it is not the document's fault.
void quorvelNoteStop();
bool quorvelStopping();

// quorvelRasterFilter, quorvelImageFilter, quorvelAnyFilter: PWG and Apple
// raster; JPEG and PNG (data: the MIME type); a document sent as
// application/octet-stream, recognised by its first bytes.
bool quorvelRasterFilter(pappl_job_t* job, pappl_device_t* device, void* data);
bool quorvelImageFilter(pappl_job_t* job, pappl_device_t* device, void* data);
bool quorvelAnyFilter(pappl_job_t* job, pappl_device_t* device, void* data);
