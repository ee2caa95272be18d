// A CUPS raster page header as the printer stream library sees it. Both the
// filter and the printer application get their pages as CUPS headers.
#pragma once

#include <cups/raster.h>

#include <cstdint>
#include <cstring>

#include "printer_stream.h"

// quorvelPageFromHeader: the fields the library uses. The colour space is an
// enum, and a stream may hold any number there: it is read as its stored
// bits, never loaded as an enum value the type does not have.
inline QuorvelPage quorvelPageFromHeader(const cups_page_header2_t& h)
{
    QuorvelPage page;
    page.pageWidthPt = h.PageSize[0];
    page.pageHeightPt = h.PageSize[1];
    page.xDpi = h.HWResolution[0];
    page.yDpi = h.HWResolution[1];
    page.numCopies = h.NumCopies;
    page.width = h.cupsWidth;
    page.height = h.cupsHeight;
    page.bytesPerLine = h.cupsBytesPerLine;
    page.bitsPerPixel = h.cupsBitsPerPixel;
    std::uint32_t space;
    static_assert(sizeof space == sizeof h.cupsColorSpace, "colour space is stored in 32 bits");
    std::memcpy(&space, &h.cupsColorSpace, sizeof space);
    page.colorSpace = space;
    return page;
}
