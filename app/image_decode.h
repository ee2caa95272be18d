// JPEG and PNG pictures read as grey, made smaller while they are read so
// that a picture of any size takes bounded memory: a phone's photo or a
// 30000 x 30000 scan is held at no more pixels than the page can show.
#pragma once

#include <string>
#include <vector>

#include "page_layout.h"

// Picture: a decoded picture and the resolution it asks to be printed at.
struct Picture {
    GreyPage page;       // the picture, possibly made smaller
    double dpi = 0;      // its resolution as held (0: the file gives none)
    std::string problem; // why it could not be read, for the job message
};

// decodeJpeg, decodePng: read the file at path into picture, at most
// maxPixels pixels; false with picture.problem set when it cannot be read,
// is cut short or is too large to read in bounded memory.
bool decodeJpeg(const char* path, long maxPixels, Picture& picture);
bool decodePng(const char* path, long maxPixels, Picture& picture);

// BoxScaler: averages rows of srcW grey pixels, given top to bottom, into a
// picture of dstW x dstH (no larger than the source).
struct BoxScaler {
    int srcW = 0, srcH = 0;
    int y = 0;                      // source rows taken so far
    int rowsInBand = 0;             // of them, in the destination row being gathered
    std::vector<unsigned> sums;     // the destination row being gathered
    std::vector<int> column;        // destination column of each source column
    std::vector<int> columnWidth;   // source columns per destination column
    GreyPage* out = nullptr;
};

// scalerStart: ready to make srcW x srcH into a dstW x dstH out.
void scalerStart(BoxScaler& s, int srcW, int srcH, int dstW, int dstH, GreyPage& out);

// scalerRow: the next source row.
void scalerRow(BoxScaler& s, const unsigned char* row);

// fittedSize: the size a w x h picture is held at for at most maxPixels.
void fittedSize(long w, long h, long maxPixels, int& outW, int& outH);
