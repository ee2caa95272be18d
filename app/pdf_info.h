// What a PDF document says of itself, asked of pdfinfo.
#pragma once

#include <pappl/pappl.h>

#include <map>
#include <string>
#include <utility>

#include "pbm_reader.h"

// PdfInfo: the document's page count and the sizes of the pages pdfinfo
// was asked about, in points, as each page is shown.
struct PdfInfo {
    int pages = 0;
    std::map<int, std::pair<double, double>> sizes;
};

// Pages whose sizes one pdfinfo run reports; a job that starts later in a
// longer document asks again for its first page.
constexpr int kInfoPages = 2000;

// readInfo: ask pdfinfo about pages first to last; its first error line
// (in errPath) explains a failure.
bool readInfo(const std::string& path, int first, int last, const std::string& errPath, Watch& watch,
              PdfInfo& info, std::string& error);

// looksLikePdf: PDF readers find the header within the first kilobyte.
bool looksLikePdf(const std::string& path);

// TempFile: a fresh file for pdfinfo's error output, removed with it.
struct TempFile {
    std::string path;
    TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();
};

// sizeOf: a page's size as pdfinfo gave it; a page it said nothing of
// (past what it was asked) takes the size of the nearest page before it.
std::pair<double, double> sizeOf(const PdfInfo& info, int page);
