// The printer's test page: its name and resolution, a darkness ramp and a
// ruler grid, drawn as a 1-bit PWG raster page on the default media.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <vector>

// quorvelTestPage: PAPPL's test page callback; writes the page to a
// temporary file and returns its name in buffer.
const char* quorvelTestPage(pappl_printer_t* printer, char* buffer, size_t bufsize);

// writeTestPage: draw the page for printerName on media of widthMm100 x
// lengthMm100 (hundredths of millimetres) into path.
bool writeTestPage(const std::string& path, const std::string& printerName, int widthMm100,
                   int lengthMm100);

// testPageLines: the lines of text on the page, top to bottom.
std::vector<std::string> testPageLines(const std::string& printerName, int widthMm100, int lengthMm100);

// testPageText: s as the page prints it: capitals, and '?' for each
// character its font does not have.
std::string testPageText(const std::string& s);
