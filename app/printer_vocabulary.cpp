// The printer's vocabulary: look-ups over the tables in the header.
#include "printer_vocabulary.h"

#include <cstring>

const DocumentFormat* findFormat(const char* mime)
{
    for (const DocumentFormat& f : kDocumentFormats)
        if (mime && std::strcmp(mime, f.mime) == 0)
            return &f;
    return nullptr;
}

bool isRasterFormat(const char* mime)
{
    return mime != nullptr && (std::strcmp(mime, "image/pwg-raster") == 0 || std::strcmp(mime, "image/urf") == 0);
}

const char* formatName(const char* mime)
{
    const DocumentFormat* f = findFormat(mime);
    return f ? f->inWords : "a document of an unknown format";
}

// quorvelFormatList: commas between the names, "and" before the last.
std::string quorvelFormatList()
{
    std::string list;
    const std::size_t n = sizeof kDocumentFormats / sizeof kDocumentFormats[0];
    for (std::size_t i = 0; i < n; ++i)
        list += std::string(i == 0 ? "" : i + 1 == n ? " and " : ", ") + kDocumentFormats[i].shortName;
    return list;
}

int darknessStep(int i, int levels)
{
    return levels > 1 ? 100 * i / (levels - 1) : 0;
}
