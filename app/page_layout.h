// Placing a rendered page on the sheet: turning it, scaling it to fit or
// fill, centring it, and dithering the grey result into printer rows.
#pragma once

#include <cstdint>
#include <vector>

// Scaling: the print-scaling choices.
enum class Scaling { Auto, Fit, Fill, None };

// Turn: how the page is turned on the sheet, counter-clockwise.
enum class Turn { None, Left, UpsideDown, Right };

// Orientation: orientation-requested, or Auto when the job sent none.
enum class Orientation { Auto, Portrait, Landscape, ReverseLandscape, ReversePortrait };

// Placement: where a page of srcW x srcH pixels lands on the sheet.
struct Placement {
    Turn turn = Turn::None;
    double scale = 1;      // sheet pixels per page pixel
    int left = 0, top = 0; // sheet position of the turned, scaled page's corner
    int width = 0, height = 0; // the turned, scaled page on the sheet, pixels
};

// turnFor: the turn for a page of w x h on a sheet of sheetW x sheetH: a
// landscape page goes on a portrait sheet turned left, unless the job says.
Turn turnFor(Orientation orientation, double w, double h, double sheetW, double sheetH);

// placePage: turn, scale and centre a page of srcW x srcH pixels at srcDpi
// on a sheet of sheetW x sheetH pixels at sheetDpi. Auto fits a page larger
// than the sheet and leaves a smaller one at its size.
Placement placePage(int srcW, int srcH, double srcDpi, int sheetW, int sheetH, double sheetDpi,
                    Scaling scaling, Orientation orientation);

// GreyPage: a rendered page, one byte a pixel, 0 black to 255 white.
struct GreyPage {
    int width = 0, height = 0;
    std::vector<std::uint8_t> pixels;
};

// Dither: a 16 x 16 threshold matrix (PAPPL's dither arrays).
using Dither = unsigned char[16][16];

// sheetRow: row y of the sheet as 1-bit black-is-set bytes (bytesPerLine of
// them, sheetW pixels): the page where it lands, white elsewhere.
void sheetRow(const GreyPage& page, const Placement& place, int y, int sheetW,
              const Dither& dither, std::uint8_t* out, int bytesPerLine);

// pageMatrix: the PostScript matrix [a b c d e f] that draws a page of
// w x h points (its user space as shown, origin at its lower left corner)
// where place puts it on a sheet sheetH pixels high at sheetDpi, in the
// sheet's default user space (points, origin at its lower left corner).
// place comes from placePage with the page's size in pixels at sheetDpi.
void pageMatrix(const Placement& place, double w, double h, int sheetH, double sheetDpi, double m[6]);

// placeBits: a 1-bit row of srcW pixels (set bits black, as Ghostscript's
// PBM output has them) moved right by left pixels (left of the sheet when
// negative) onto a sheet row of sheetW pixels, white elsewhere.
void placeBits(const std::uint8_t* src, int srcW, int left, int sheetW, std::uint8_t* out, int bytesPerLine);
