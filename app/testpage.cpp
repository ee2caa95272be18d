// The test page, drawn at the printer's own resolution so what comes out
// shows the printer, not a renderer: a ruler grid every 10 mm (heavier
// every 50 mm), the printer's name and resolution in a small bitmap font,
// and a ramp of eleven dithered patches from white to black.
#include "testpage.h"

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kDpi = 600;

// Glyphs of 5 x 7 dots, one string per character, rows top to bottom:
// every printable ASCII character (small letters print as capitals), so a
// printer's name prints as it is written; anything else prints as '?'.
struct Glyph {
    char c;
    const char* rows[7];
};
const Glyph kFont[] = {
    {' ', {".....", ".....", ".....", ".....", ".....", ".....", "....."}},
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"####.", "....#", "....#", ".###.", "....#", "....#", "####."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'6', {".###.", "#....", "#....", "####.", "#...#", "#...#", ".###."}},
    {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
    {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
    {'9', {".###.", "#...#", "#...#", ".####", "....#", "....#", ".###."}},
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {'D', {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
    {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"}},
    {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'J', {"..###", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."}},
    {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {'N', {"#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'Q', {".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'W', {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."}},
    {'X', {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"}},
    {'Y', {"#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."}},
    {'Z', {"#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"}},
    {'-', {".....", ".....", ".....", "#####", ".....", ".....", "....."}},
    {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
    {':', {".....", ".##..", ".##..", ".....", ".##..", ".##..", "....."}},
    {'/', {"....#", "....#", "...#.", "..#..", ".#...", "#....", "#...."}},
    {'_', {".....", ".....", ".....", ".....", ".....", ".....", "#####"}},
    {'%', {"##..#", "##..#", "...#.", "..#..", ".#...", "#..##", "#..##"}},
    {'?', {".###.", "#...#", "....#", "...#.", "..#..", ".....", "..#.."}},
    {',', {".....", ".....", ".....", ".....", ".##..", "..#..", ".#..."}},
    {';', {".....", ".##..", ".##..", ".....", ".##..", "..#..", ".#..."}},
    {'!', {"..#..", "..#..", "..#..", "..#..", "..#..", ".....", "..#.."}},
    {'\'', {"..#..", "..#..", ".#...", ".....", ".....", ".....", "....."}},
    {'"', {".#.#.", ".#.#.", ".....", ".....", ".....", ".....", "....."}},
    {'`', {".#...", "..#..", ".....", ".....", ".....", ".....", "....."}},
    {'(', {"...#.", "..#..", ".#...", ".#...", ".#...", "..#..", "...#."}},
    {')', {".#...", "..#..", "...#.", "...#.", "...#.", "..#..", ".#..."}},
    {'[', {".###.", ".#...", ".#...", ".#...", ".#...", ".#...", ".###."}},
    {']', {".###.", "...#.", "...#.", "...#.", "...#.", "...#.", ".###."}},
    {'{', {"...##", "..#..", "..#..", ".#...", "..#..", "..#..", "...##"}},
    {'}', {"##...", "..#..", "..#..", "...#.", "..#..", "..#..", "##..."}},
    {'<', {"...#.", "..#..", ".#...", "#....", ".#...", "..#..", "...#."}},
    {'>', {".#...", "..#..", "...#.", "....#", "...#.", "..#..", ".#..."}},
    {'=', {".....", ".....", "#####", ".....", "#####", ".....", "....."}},
    {'+', {".....", "..#..", "..#..", "#####", "..#..", "..#..", "....."}},
    {'*', {".....", "#.#.#", ".###.", "#####", ".###.", "#.#.#", "....."}},
    {'#', {".#.#.", ".#.#.", "#####", ".#.#.", "#####", ".#.#.", ".#.#."}},
    {'&', {".##..", "#..#.", "#.#..", ".#...", "#.#.#", "#..#.", ".##.#"}},
    {'@', {".###.", "#...#", "#.###", "#.#.#", "#.###", "#....", ".###."}},
    {'$', {"..#..", ".####", "#.#..", ".###.", "..#.#", "####.", "..#.."}},
    {'^', {"..#..", ".#.#.", "#...#", ".....", ".....", ".....", "....."}},
    {'|', {"..#..", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'~', {".....", ".....", ".#...", "#.#.#", "...#.", ".....", "....."}},
    {'\\', {"#....", "#....", ".#...", "..#..", "...#.", "....#", "....#"}},
};

// Bitmap: a 1-bit page, set bits black, rows packed as PWG raster wants.
struct Bitmap {
    int width, height, bytesPerLine;
    std::vector<unsigned char> bits;

    void set(int x, int y)
    {
        if (x >= 0 && y >= 0 && x < width && y < height)
            bits[static_cast<std::size_t>(y) * bytesPerLine + x / 8] |=
                static_cast<unsigned char>(0x80 >> (x & 7));
    }
    void clear(int x, int y)
    {
        if (x >= 0 && y >= 0 && x < width && y < height)
            bits[static_cast<std::size_t>(y) * bytesPerLine + x / 8] &=
                static_cast<unsigned char>(~(0x80 >> (x & 7)));
    }
    void fill(int x0, int y0, int w, int h, bool black)
    {
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x)
                black ? set(x, y) : clear(x, y);
    }
};

int mm(double millimetres)
{
    return static_cast<int>(millimetres * kDpi / 25.4 + 0.5);
}

// glyphFor: the glyph for c (small letters as capitals), or nullptr.
const Glyph* glyphFor(char c)
{
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const Glyph& g : kFont)
        if (g.c == c)
            return &g;
    return nullptr;
}

// text: draw s with its top left at (x, y), each font dot scale pixels.
void text(Bitmap& b, int x, int y, const std::string& s, int scale)
{
    for (char c : testPageText(s)) {
        const Glyph* g = glyphFor(c);
        for (int r = 0; r < 7; ++r)
            for (int col = 0; col < 5; ++col)
                if (g->rows[r][col] == '#')
                    b.fill(x + col * scale, y + r * scale, scale, scale, true);
        x += 6 * scale;
    }
}

// grid: the ruler lines, from the page's top left corner.
void grid(Bitmap& b)
{
    for (int i = 0;; i += 10) {
        const int at = mm(i), weight = i % 50 == 0 ? 6 : 2;
        if (at >= b.width && at >= b.height)
            break;
        if (at < b.width)
            b.fill(at, 0, weight, b.height, true);
        if (at < b.height)
            b.fill(0, at, b.width, weight, true);
    }
}

// ramp: eleven patches, 0 % to 100 % black in steps of 10, with an ordered
// dither so the printer's density setting shows in every patch.
void ramp(Bitmap& b, int x0, int y0, int patch)
{
    static const int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    for (int p = 0; p <= 10; ++p) {
        const int left = x0 + p * patch;
        b.fill(left, y0, patch, patch, false);
        for (int y = 0; y < patch - 4; ++y)
            for (int x = 0; x < patch - 4; ++x)
                if (kBayer[y & 3][x & 3] * 10 < p * 16)
                    b.set(left + 2 + x, y0 + 2 + y);
        b.fill(left, y0 + patch, patch, mm(6), false);
        text(b, left + mm(1), y0 + patch + mm(1), std::to_string(p * 10), mm(0.6));
    }
}

} // namespace

// testPageText: capitals, '?' for what the font lacks, one per UTF-8 character.
std::string testPageText(const std::string& s)
{
    std::string shown;
    for (char c : s) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 && byte < 0xc0) // the rest of a UTF-8 character
            continue;
        shown += glyphFor(c) ? static_cast<char>(std::toupper(byte)) : '?';
    }
    return shown;
}

// testPageLines: title, printer, resolution, media size.
std::vector<std::string> testPageLines(const std::string& printerName, int widthMm100, int lengthMm100)
{
    char size[64];
    std::snprintf(size, sizeof size, "SHEET %.1f X %.1f MM", widthMm100 / 100.0, lengthMm100 / 100.0);
    return {"QUORVEL TEST PAGE", printerName, "600 X 600 DPI, 1 BIT", size};
}

bool writeTestPage(const std::string& path, const std::string& printerName, int widthMm100,
                   int lengthMm100)
{
    Bitmap b;
    b.width = static_cast<int>(static_cast<long>(widthMm100) * kDpi / 2540);
    b.height = static_cast<int>(static_cast<long>(lengthMm100) * kDpi / 2540);
    b.bytesPerLine = (b.width + 7) / 8;
    if (b.width <= 0 || b.height <= 0)
        return false;
    b.bits.assign(static_cast<std::size_t>(b.bytesPerLine) * b.height, 0);

    grid(b);
    const int left = mm(15), line = mm(9);
    b.fill(left - mm(3), mm(12), std::min(b.width - 2 * left + mm(6), mm(180)), mm(46), false);
    const std::vector<std::string> lines = testPageLines(printerName, widthMm100, lengthMm100);
    for (std::size_t i = 0; i < lines.size(); ++i)
        text(b, left, mm(15) + static_cast<int>(i) * line, lines[i], i ? mm(0.8) : mm(1));
    const int patch = std::min(mm(15), (b.width - 2 * left) / 11);
    b.fill(left - mm(3), mm(70) - mm(3), 11 * patch + mm(6), patch + mm(12), false);
    ramp(b, left, mm(70), patch);

    cups_page_header2_t header;
    pwg_media_t* media = pwgMediaForSize(widthMm100, lengthMm100);
    if (!cupsRasterInitPWGHeader(&header, media, "black_1", kDpi, kDpi, "one-sided", nullptr))
        return false;
    header.cupsWidth = static_cast<unsigned>(b.width);
    header.cupsHeight = static_cast<unsigned>(b.height);
    header.cupsBytesPerLine = static_cast<unsigned>(b.bytesPerLine);

    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
    bool ok = raster && cupsRasterWriteHeader2(raster, &header);
    for (int y = 0; ok && y < b.height; ++y)
        ok = cupsRasterWritePixels(raster, &b.bits[static_cast<std::size_t>(y) * b.bytesPerLine],
                                   header.cupsBytesPerLine) == header.cupsBytesPerLine;
    if (raster)
        cupsRasterClose(raster);
    return close(fd) == 0 && ok;
}

// quorvelTestPage: the page for this printer on its default media.
const char* quorvelTestPage(pappl_printer_t* printer, char* buffer, size_t bufsize)
{
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    std::snprintf(buffer, bufsize, "%s/quorvel-testpage-XXXXXX", papplGetTempDir());
    const int fd = mkstemp(buffer);
    if (fd < 0)
        return nullptr;
    close(fd);
    const char* name = papplPrinterGetName(printer);
    if (!writeTestPage(buffer, name ? name : "", data.media_default.size_width,
                       data.media_default.size_length)) {
        unlink(buffer);
        return nullptr;
    }
    return buffer;
}
