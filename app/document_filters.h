// The application's document filters. Every document a job brings, in
// whatever format, is read here from its spool file as a page source for
// the page loop (page_loop.h); none goes down PAPPL's own image or raster
// paths. Each filter either prints the document whole or stops the job
// with a message that says why.
#pragma once

#include <pappl/pappl.h>

#include "page_loop.h"

// kNativeFormat: what the driver says it prints. PAPPL looks for a filter
// from a job's format to this first; it is not a format of its own, so
// PAPPL adds nothing to document-format-supported for it.
constexpr const char* kNativeFormat = "application/octet-stream";

// quorvelAddFilters: register the filters for every format we print.
void quorvelAddFilters(pappl_system_t* system);

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
