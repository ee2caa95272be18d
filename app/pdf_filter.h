// PDF documents: rendered by Ghostscript, one page at a time, into the
// driver's raster callbacks.
#pragma once

#include <pappl/pappl.h>

// quorvelPdfFilter: PAPPL's MIME filter for application/pdf.
bool quorvelPdfFilter(pappl_job_t* job, pappl_device_t* device, void* data);
