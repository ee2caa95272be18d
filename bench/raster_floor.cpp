// The floor of the job benchmark: read every row of a CUPS raster with
// libcups, the way a raster filter must, and do nothing else with it. A
// filter cannot cost less than this on the same input.
//
//   raster_floor [FILE]     reads standard input when FILE is absent
#include <cups/raster.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    int fd = 0;
    if (argc > 1 && (fd = open(argv[1], O_RDONLY)) < 0) {
        std::perror(argv[1]);
        return 1;
    }
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (ras == nullptr)
        return 1;

    cups_page_header2_t header;
    std::vector<unsigned char> row;
    unsigned pages = 0;
    unsigned long long checksum = 0; // keeps the reads from being optimised away
    while (cupsRasterReadHeader2(ras, &header)) {
        row.resize(header.cupsBytesPerLine);
        for (unsigned y = 0; y < header.cupsHeight; ++y) {
            if (cupsRasterReadPixels(ras, row.data(), header.cupsBytesPerLine) == 0)
                break;
            checksum += row[0];
        }
        ++pages;
    }
    cupsRasterClose(ras);
    if (fd != 0)
        close(fd);
    std::fprintf(stderr, "raster_floor: %u pages, checksum %llu\n", pages, checksum);
    return pages > 0 ? 0 : 1;
}
