// The one page loop of the application's filters. A filter reads its
// document as a page source (raster as sent, raster placed grey, a
// picture, a renderer's page); the loop owns the rest of the job's life:
// the media, job start and end, each page's start, rows and end through the
// driver's raster callbacks, the cancel test, the job's impressions and
// the job's messages about what the printer did with its pages.
#pragma once

#include <pappl/pappl.h>

#include "page_layout.h"

// JobMedia: what the driver prints a job's pages with: PAPPL's options for
// the job (the header for its media, made 1-bit black) and the driver.
struct JobMedia {
    pappl_pr_options_t* options = nullptr;
    pappl_pr_driver_data_t driver = {};
    int width = 0, height = 0, bytesPerLine = 0;
    double dpi = 600;
    ~JobMedia();
};

// jobMediaOpen: the job's media and options for job, whose document has pages pages; false when
// PAPPL has no options for it.
bool jobMediaOpen(pappl_job_t* job, unsigned pages, JobMedia& media);

// scalingFor, orientationFor: the job's print-scaling and
// orientation-requested (Auto when the job sent none).
Scaling scalingFor(pappl_scaling_t s);
Orientation orientationFor(pappl_job_t* job, const pappl_pr_options_t* options);

// PageHead: what a page source says of its next page: the header the driver
// prints it with (the loop fills in the media's; a page sent as it came has
// its own), and a raster page as the client sent it, which the printer
// judges by its size.
struct PageHead {
    cups_page_header2_t header;
    const cups_page_header2_t* client = nullptr;
};

// PageSource: a document's pages, in order, from a filter. next gives the
// next page's head: false when there is none or the document cannot go on
// (the filter keeps why). row gives row y of the page, 1-bit with black
// set: false when the page's data ends there (the rest of the page goes out
// white). finish follows the page's rows: whether the page came whole, so
// the job goes on.
struct PageSource {
    void* context = nullptr;
    bool (*next)(void* context, PageHead& head) = nullptr;
    bool (*row)(void* context, unsigned y, unsigned char* out) = nullptr;
    bool (*finish)(void* context) = nullptr;
};

// PageLoop: one job through the loop: what the filter says of it, and
// what became of it.
struct PageLoop {
    pappl_job_t* job = nullptr;
    pappl_device_t* device = nullptr;
    JobMedia* media = nullptr;
    const char* format = nullptr; // the document's MIME type
    int impressions = 0;          // the document's pages, when known before it prints
    bool startAtOnce = true;      // the job starts before its first page is read, else at it
    bool started = false;         // the driver's job start was called
    bool ok = true;               // the printer took every write
    bool whole = true;            // every page came whole
    int printed = 0;              // pages printed whole
};

// printPages: print source's pages as loop says, the job's start and end
// included; false when the job did not print whole (the job's message says
// why, unless the filter has a reason of its own to give).
bool printPages(PageLoop& loop, const PageSource& source);

// GreySource: a grey page placed on the media and dithered: a picture or a
// raster page that does not fit the media as it is.
struct GreySource {
    const GreyPage* page = nullptr;
    Placement place;
    const JobMedia* media = nullptr;
};

// greyRow: row y of the media from a GreySource.
bool greyRow(void* context, unsigned y, unsigned char* out);
