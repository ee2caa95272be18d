// Fuzz target: the application's checks on a document and its picture
// readers. The input is taken as a document's first bytes (its format), as
// JPEG data to be checked whole, and as a JPEG or PNG file to be read into
// a small picture (so the box filter runs too).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "document_check.h"
#include "image_decode.h"

static std::string gPath; // where each input is written to be read back

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char path[] = "/tmp/quorvel-fuzz-document-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    close(fd);
    gPath = path;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* format = documentFormat(data, size);
    jpegEndsWhole(data, size);
    std::FILE* f = std::fopen(gPath.c_str(), "wb");
    if (f == nullptr)
        std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    Picture picture;
    const bool png = format != nullptr && std::string(format) == "image/png";
    const bool read = png ? decodePng(gPath.c_str(), 4096, picture) : decodeJpeg(gPath.c_str(), 4096, picture);
    // A picture that was read is whole and no larger than asked for.
    if (read && (picture.page.pixels.size() != static_cast<size_t>(picture.page.width) * picture.page.height ||
                 picture.page.pixels.size() > 4096))
        std::abort();
    return 0;
}
