// Page placement and the row dither for rendered pages.
#include "page_layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// A page this close to its media's size counts as fitting: PDF sizes in
// points rarely land on whole pixels, and a pixel's sliver is not worth
// resampling the whole page for.
constexpr double kFitSlack = 1.01;

// A scale this close to 1 is 1, so a page rendered at the media's own
// resolution is copied pixel for pixel.
constexpr double kUnitSlack = 0.002;

} // namespace

Turn turnFor(Orientation orientation, double w, double h, double mediaW, double mediaH)
{
    switch (orientation) {
    case Orientation::Portrait:
        return Turn::None;
    case Orientation::Landscape:
        return Turn::Left;
    case Orientation::ReverseLandscape:
        return Turn::Right;
    case Orientation::ReversePortrait:
        return Turn::UpsideDown;
    case Orientation::Auto:
    default:
        return (w > h) != (mediaW > mediaH) && w != h && mediaW != mediaH ? Turn::Left : Turn::None;
    }
}

Placement placePage(int srcW, int srcH, double srcDpi, int mediaW, int mediaH, double mediaDpi,
                    Scaling scaling, Orientation orientation)
{
    Placement p;
    p.turn = turnFor(orientation, srcW, srcH, mediaW, mediaH);
    const bool sideways = p.turn == Turn::Left || p.turn == Turn::Right;
    const double tw = sideways ? srcH : srcW, th = sideways ? srcW : srcH;
    const double natural = mediaDpi / srcDpi;
    const double fit = std::min(mediaW / tw, mediaH / th);
    const double fill = std::max(mediaW / tw, mediaH / th);
    switch (scaling) {
    case Scaling::Fit:
        p.scale = fit;
        break;
    case Scaling::Fill:
        p.scale = fill;
        break;
    case Scaling::None:
        p.scale = natural;
        break;
    case Scaling::Auto:
    default:
        p.scale = tw * natural > mediaW * kFitSlack || th * natural > mediaH * kFitSlack ? fit : natural;
        break;
    }
    if (std::fabs(p.scale - 1) < kUnitSlack)
        p.scale = 1;
    p.width = static_cast<int>(std::lround(tw * p.scale));
    p.height = static_cast<int>(std::lround(th * p.scale));
    p.left = static_cast<int>(std::floor((mediaW - p.width) / 2.0));
    p.top = static_cast<int>(std::floor((mediaH - p.height) / 2.0));
    return p;
}

namespace {

// span: the page pixels, along one turned axis of length n, that media
// pixel o covers.
bool span(int o, int origin, double scale, int n, int& from, int& to)
{
    const double a = (o - origin) / scale, b = (o + 1 - origin) / scale;
    from = static_cast<int>(std::floor(a));
    to = std::max(from + 1, static_cast<int>(std::floor(b)));
    if (to <= 0 || from >= n)
        return false;
    from = std::max(from, 0);
    to = std::min(to, n);
    return true;
}

// pixel: the grey of the turned page at (x, y).
int pixel(const GreyPage& page, Turn turn, int x, int y)
{
    int sx = x, sy = y;
    switch (turn) {
    case Turn::Left:
        sx = page.width - 1 - y;
        sy = x;
        break;
    case Turn::Right:
        sx = y;
        sy = page.height - 1 - x;
        break;
    case Turn::UpsideDown:
        sx = page.width - 1 - x;
        sy = page.height - 1 - y;
        break;
    case Turn::None:
        break;
    }
    return page.pixels[static_cast<std::size_t>(sy) * page.width + sx];
}

} // namespace

void mediaRow(const GreyPage& page, const Placement& place, int y, int mediaW,
              const Dither& dither, std::uint8_t* out, int bytesPerLine)
{
    std::memset(out, 0, static_cast<std::size_t>(bytesPerLine));
    const bool sideways = place.turn == Turn::Left || place.turn == Turn::Right;
    const int tw = sideways ? page.height : page.width;
    const int th = sideways ? page.width : page.height;
    int y0, y1;
    if (page.pixels.empty() || !span(y, place.top, place.scale, th, y0, y1))
        return;
    const unsigned char* thresholds = dither[y & 15];
    if (place.turn == Turn::None && place.scale == 1) {
        // Rendered at the media's size: one page pixel per media pixel,
        // which is what the general loop below computes, at a fraction of
        // the cost.
        const std::uint8_t* src = page.pixels.data() + static_cast<std::size_t>(y0) * page.width;
        const int from = std::max(0, place.left), to = std::min(mediaW, place.left + page.width);
        for (int x = from; x < to; ++x) {
            const int ink = 255 - src[x - place.left];
            if (ink == 255 || ink > thresholds[x & 15])
                out[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
        }
        return;
    }
    for (int x = 0; x < mediaW; ++x) {
        int x0, x1;
        if (!span(x, place.left, place.scale, tw, x0, x1))
            continue;
        int sum = 0;
        for (int v = y0; v < y1; ++v)
            for (int u = x0; u < x1; ++u)
                sum += pixel(page, place.turn, u, v);
        const int ink = 255 - sum / ((y1 - y0) * (x1 - x0));
        if (ink == 255 || ink > thresholds[x & 15])
            out[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
    }
}

void pageMatrix(const Placement& place, double w, double h, int mediaH, double mediaDpi, double m[6])
{
    // The page's corners go where the turned page's corners are on the
    // media; media pixels count down from the top, points up from the
    // bottom.
    const double g = place.scale, k = 72 / mediaDpi;
    const double left = place.left * k, top = (mediaH - place.top) * k;
    switch (place.turn) {
    case Turn::Left: // the page's top edge along the media's left
        m[0] = 0, m[1] = g, m[2] = -g, m[3] = 0, m[4] = left + g * h, m[5] = top - g * w;
        break;
    case Turn::Right:
        m[0] = 0, m[1] = -g, m[2] = g, m[3] = 0, m[4] = left, m[5] = top;
        break;
    case Turn::UpsideDown:
        m[0] = -g, m[1] = 0, m[2] = 0, m[3] = -g, m[4] = left + g * w, m[5] = top;
        break;
    case Turn::None:
        m[0] = g, m[1] = 0, m[2] = 0, m[3] = g, m[4] = left, m[5] = top - g * h;
        break;
    }
}

void placeBits(const std::uint8_t* src, int srcW, int left, int mediaW, std::uint8_t* out, int bytesPerLine)
{
    std::memset(out, 0, static_cast<std::size_t>(bytesPerLine));
    const int from = std::max(0, left), to = std::min(mediaW, left + srcW);
    if (from >= to)
        return;
    // Row byte b takes the low bits of source byte b - q - 1 and the high
    // bits of source byte b - q, where left = 8q + shift.
    const int shift = ((left % 8) + 8) % 8, q = (left - shift) / 8;
    const int srcBytes = (srcW + 7) / 8;
    if (shift == 0) {
        // Whole bytes (a page rendered onto the media itself): a copy.
        std::memcpy(out + from / 8, src + (from / 8 - q), static_cast<std::size_t>((to - 1) / 8 - from / 8 + 1));
    } else {
        auto at = [&](int k) { return k >= 0 && k < srcBytes ? static_cast<unsigned>(src[k]) : 0u; };
        for (int b = from / 8; b <= (to - 1) / 8; ++b)
            out[b] = static_cast<std::uint8_t>((at(b - q - 1) << (8 - shift)) | (at(b - q) >> shift));
    }
    out[from / 8] &= static_cast<std::uint8_t>(0xFF >> (from % 8));
    if (to % 8)
        out[(to - 1) / 8] &= static_cast<std::uint8_t>(0xFF00 >> (to % 8));
}
