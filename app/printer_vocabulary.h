// The printer's vocabulary, written once: the document formats it prints,
// its vendor options and their keywords, its darkness steps, its media, and
// its name and version. The filters, the driver, the option checks, the
// command line and the web strings all take their words from here.
#pragma once

#include <cstddef>
#include <string>

// The name the printer and the application go by, and the version.
constexpr const char* kPrinterMakeModel = "Quorvel Monochrome Printer";
constexpr const char* kPrinterMaker = "Quorvel";
constexpr const char* kAppTitle = "Quorvel Printer Application";
constexpr const char* kAppVersion = "1.0.0";

// DocumentFormat: a format the printer prints: its MIME type, its short
// name in the list of formats, how a message names a document of it, and
// the bytes a document of it starts with (a PDF has them within its first
// kilobyte, as PDF readers find them).
struct DocumentFormat {
    const char* mime;
    const char* shortName;
    const char* inWords;
    const char* magic;
    std::size_t magicLength;
    bool magicAnywhere;
};

// kDocumentFormats: every format the printer prints, in the order the list
// of formats names them.
constexpr DocumentFormat kDocumentFormats[] = {
    {"application/pdf", "PDF", "a PDF document", "%PDF-", 5, true},
    {"image/jpeg", "JPEG", "a JPEG image", "\xFF\xD8\xFF", 3, false},
    {"image/png", "PNG", "a PNG image", "\x89PNG\r\n\x1A\n", 8, false},
    {"image/pwg-raster", "PWG raster", "a PWG raster document", "RaS2", 4, false},
    {"image/urf", "Apple raster", "an Apple raster document", "UNIRAST", 8, false},
};

// findFormat: the format of MIME type mime, or nullptr when the printer does
// not print it.
const DocumentFormat* findFormat(const char* mime);

// isRasterFormat: whether mime is PWG or Apple raster.
bool isRasterFormat(const char* mime);

// formatName: a format's name in words, for messages.
const char* formatName(const char* mime);

// quorvelFormatList: "PDF, JPEG, PNG, PWG raster and Apple raster", for the
// sentences that say what the printer prints.
std::string quorvelFormatList();

// KeywordOption: a vendor job option: its name, its keywords and its default.
struct KeywordOption {
    const char* name;
    const char* const* keywords;
    int count;
    const char* defaultKeyword;
};

// The paper-weight keywords, heaviest first: the position of a keyword is the
// printer's paper weight level.
constexpr const char* kPaperWeights[] = {"very-heavy", "heavy", "medium-heavy", "medium", "light"};
constexpr int kPaperWeightCount = static_cast<int>(sizeof kPaperWeights / sizeof kPaperWeights[0]);
constexpr const char* kPaperWeightDefault = "medium";
constexpr const char* kOnOff[] = {"off", "on"};

// kVendorOptions: the driver's own job options, as IPP attributes.
constexpr KeywordOption kVendorOptions[] = {
    {"paper-weight", kPaperWeights, kPaperWeightCount, kPaperWeightDefault},
    {"manual-duplex", kOnOff, 2, "off"},
};
constexpr int kVendorOptionCount = static_cast<int>(sizeof kVendorOptions / sizeof kVendorOptions[0]);

// The printer's density levels; printer-darkness-configured takes one step
// per level, and the middle one is the printer's own setting.
constexpr int kDarknessLevels = 5;
constexpr int kDarknessDefault = 50;

// darknessStep: the printer-darkness-configured value of step i of levels.
int darknessStep(int i, int levels);

// The sizes the printer takes, the first the default; the custom range ends
// at the largest page the stream holds (765 x 1200 points).
constexpr const char* kMedia[] = {
    "iso_a4_210x297mm",      "na_letter_8.5x11in",          "na_legal_8.5x14in", "iso_a5_148x210mm",
    "jis_b5_182x257mm",      "na_executive_7.25x10.5in",    "custom_min_76.2x127mm",
    "custom_max_269.875x423.333mm",
};
constexpr int kMediaCount = static_cast<int>(sizeof kMedia / sizeof kMedia[0]);
// The default size in hundredths of millimetres.
constexpr int kMediaDefaultWidth = 21000, kMediaDefaultLength = 29700;
