// PDF documents: rendered by Ghostscript, one page at a time, into the
// driver's raster callbacks.
#pragma once

#include <pappl/pappl.h>

// quorvelPdfFilter: PAPPL's MIME filter for application/pdf.
bool quorvelPdfFilter(pappl_job_t* job, pappl_device_t* device, void* data);

// quorvelSetRenderTimeLimit: the longest a job waits for one page of a PDF
// document to be rendered, in seconds; a page that takes longer aborts it.
void quorvelSetRenderTimeLimit(int seconds);
