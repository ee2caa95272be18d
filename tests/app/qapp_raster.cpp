// qapp_raster: writes the PWG rasters the application tests print.
//
//   qapp_raster OUT.pwg PAGES [WIDTH HEIGHT [WIDE-PAGE]]
//
// 1-bit black pages at 600 dpi on A4 (or WIDTH x HEIGHT pixels), each with
// a frame, a bar whose place depends on the page number and a diagonal, so
// pages differ from each other and from their neighbours' rows. Page
// WIDE-PAGE (from 1), when given, is 6400 pixels wide: more than the
// printer takes.
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: qapp_raster OUT.pwg PAGES [WIDTH HEIGHT [WIDE-PAGE]]\n");
        return 2;
    }
    const int pages = std::atoi(argv[2]);
    const int wide = argc == 6 ? std::atoi(argv[5]) : 0;
    const int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
    for (int p = 1; p <= pages; ++p) {
        cups_page_header2_t h;
        cupsRasterInitPWGHeader(&h, pwgMediaForPWG("iso_a4_210x297mm"), "black_1", 600, 600,
                                "one-sided", nullptr);
        if (argc >= 5) {
            h.cupsWidth = static_cast<unsigned>(std::atoi(argv[3]));
            h.cupsHeight = static_cast<unsigned>(std::atoi(argv[4]));
        }
        if (p == wide)
            h.cupsWidth = 6400;
        h.cupsBytesPerLine = (h.cupsWidth + 7) / 8;
        if (!cupsRasterWriteHeader2(raster, &h))
            return 1;
        std::vector<unsigned char> row(h.cupsBytesPerLine);
        for (unsigned y = 0; y < h.cupsHeight; ++y) {
            std::fill(row.begin(), row.end(), 0);
            auto set = [&](unsigned x) {
                if (x < h.cupsWidth)
                    row[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
            };
            const bool edge = y < 40 || y + 40 >= h.cupsHeight;
            for (unsigned x = 0; x < h.cupsWidth; ++x)
                if (edge || x < 40 || x + 40 >= h.cupsWidth)
                    set(x);
            if (y >= 300u * p && y < 300u * p + 120)
                for (unsigned x = 200; x < 200 + 400u * p; ++x)
                    set(x);
            set(y % h.cupsWidth);
            if (cupsRasterWritePixels(raster, row.data(), h.cupsBytesPerLine) != h.cupsBytesPerLine)
                return 1;
        }
    }
    cupsRasterClose(raster);
    return close(fd) == 0 ? 0 : 1;
}
