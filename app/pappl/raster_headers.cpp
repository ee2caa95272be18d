// PAPPL 1.3 gives a driver that takes 1-bit pages its own page header for
// the job's media and fits every page of a PWG or Apple raster job into it,
// so the driver never sees a page that the printer cannot take. This
// stands in front of libcups' cupsRasterReadHeader2, which PAPPL reaches
// through the dynamic linker, and notes each page header the client sent
// for the driver on the thread that reads it (PAPPL reads a raster job and
// runs its driver callbacks on one thread).
#include <cups/raster.h>

#include "driver.h"
#include "interpose.h"

extern "C" unsigned cupsRasterReadHeader2(cups_raster_t* r, cups_page_header2_t* h)
{
    static const auto read = nextDefinition("cupsRasterReadHeader2", &cupsRasterReadHeader2);
    if (read == nullptr)
        return 0;
    const unsigned ok = read(r, h);
    if (ok)
        quorvelNoteClientHeader(*h);
    return ok;
}
