// Writes a CUPS raster N times over into one job, page for page: the input
// of the "same pages twice against once" measurement, without rendering
// the document again.
//
//   raster_repeat COUNT IN OUT
#include <cups/raster.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: raster_repeat COUNT IN OUT\n");
        return 2;
    }
    const int count = std::atoi(argv[1]);
    const int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (count < 1 || out < 0) {
        std::perror(argv[3]);
        return 1;
    }
    cups_raster_t* w = cupsRasterOpen(out, CUPS_RASTER_WRITE);
    std::vector<unsigned char> row;
    unsigned pages = 0;
    for (int i = 0; i < count; ++i) {
        const int in = open(argv[2], O_RDONLY);
        if (in < 0) {
            std::perror(argv[2]);
            return 1;
        }
        cups_raster_t* r = cupsRasterOpen(in, CUPS_RASTER_READ);
        cups_page_header2_t header;
        while (cupsRasterReadHeader2(r, &header)) {
            if (!cupsRasterWriteHeader2(w, &header))
                return 1;
            row.resize(header.cupsBytesPerLine);
            for (unsigned y = 0; y < header.cupsHeight; ++y) {
                if (cupsRasterReadPixels(r, row.data(), header.cupsBytesPerLine) == 0)
                    return 1;
                cupsRasterWritePixels(w, row.data(), header.cupsBytesPerLine);
            }
            ++pages;
        }
        cupsRasterClose(r);
        close(in);
    }
    cupsRasterClose(w);
    close(out);
    std::fprintf(stderr, "raster_repeat: wrote %u pages\n", pages);
    return 0;
}
