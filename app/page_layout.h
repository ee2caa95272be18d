// Placing a rendered page on the media: turning it, scaling it to fit or
// fill, centring it, and dithering the grey result into printer rows.
#pragma once

#include <cstdint>
#include <vector>

// Scaling: the print-scaling choices.
enum class Scaling { Auto, Fit, Fill, None };

// Turn: how the page is turned on the media, counter-clockwise.
enum class Turn { None, Left, UpsideDown, Right };

// Orientation: orientation-requested, or Auto when the job sent none.
enum class Orientation { Auto, Portrait, Landscape, ReverseLandscape, ReversePortrait };

// Placement: where a page of srcW x srcH pixels lands on the media.
struct Placement {
    Turn turn = Turn::None;
    double scale = 1;      // media pixels per page pixel
    int left = 0, top = 0; // media position of the turned, scaled page's corner
    int width = 0, height = 0; // the turned, scaled page on the media, pixels
};

// turnFor: the turn for a page of w x h on media of mediaW x mediaH: a
// landscape page goes on portrait media turned left, unless the job says.
Turn turnFor(Orientation orientation, double w, double h, double mediaW, double mediaH);

// placePage: turn, scale and centre a page of srcW x srcH pixels at srcDpi
// on media of mediaW x mediaH pixels at mediaDpi. Auto fits a page larger
// than the media and leaves a smaller one at its size.
Placement placePage(int srcW, int srcH, double srcDpi, int mediaW, int mediaH, double mediaDpi,
                    Scaling scaling, Orientation orientation);

// GreyPage: a rendered page, one byte a pixel, 0 black to 255 white.
struct GreyPage {
    int width = 0, height = 0;
    std::vector<std::uint8_t> pixels;
};

// Dither: a 16 x 16 threshold matrix (PAPPL's dither arrays).
using Dither = unsigned char[16][16];

// mediaRow: row y of the media as 1-bit black-is-set bytes (bytesPerLine of
// them, mediaW pixels): the page where it lands, white elsewhere.
void mediaRow(const GreyPage& page, const Placement& place, int y, int mediaW,
              const Dither& dither, std::uint8_t* out, int bytesPerLine);

// pageMatrix: the PostScript matrix [a b c d e f] that draws a page of
// w x h points (its user space as shown, origin at its lower left corner)
// where place puts it on media mediaH pixels high at mediaDpi, in the
// media's default user space (points, origin at its lower left corner).
// place comes from placePage with the page's size in pixels at mediaDpi.
void pageMatrix(const Placement& place, double w, double h, int mediaH, double mediaDpi, double m[6]);

// placeBits: a 1-bit row of srcW pixels (set bits black, as Ghostscript's
// PBM output has them) moved right by left pixels (left of the media when
// negative) onto a row of the media, mediaW pixels, white elsewhere.
void placeBits(const std::uint8_t* src, int srcW, int left, int mediaW, std::uint8_t* out, int bytesPerLine);
