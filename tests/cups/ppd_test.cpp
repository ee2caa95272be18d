// The PPD as libcups reads it: the printer it names, the raster it asks CUPS
// to render, its page sizes, and options whose choice names are exactly the
// settings the filter looks for.
#include <gtest/gtest.h>

#include <cups/cups.h>
#include <cups/ppd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cups_harness.h"
#include "stream_decoder.h"

namespace {

struct PpdCloser {
    void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};
using Ppd = std::unique_ptr<ppd_file_t, PpdCloser>;

Ppd openPpd(const std::string& path = cupstest::sourcePpd())
{
    return Ppd(ppdOpenFile(path.c_str()));
}

// headerFor: the raster header CUPS makes from the PPD with these options.
bool headerFor(ppd_file_t* ppd, const std::string& options, cups_page_header2_t& h)
{
    ppdMarkDefaults(ppd);
    cups_option_t* opts = nullptr;
    const int n = cupsParseOptions(options.c_str(), 0, &opts);
    cupsMarkOptions(ppd, n, opts);
    const int rc = cupsRasterInterpretPPD(&h, ppd, n, opts, nullptr);
    cupsFreeOptions(n, opts);
    return rc == 0;
}

std::vector<std::string> choiceNames(ppd_option_t* option)
{
    std::vector<std::string> names;
    for (int i = 0; option != nullptr && i < option->num_choices; ++i)
        names.push_back(option->choices[i].choice);
    return names;
}

TEST(Ppd, NamesThePrinterAndTheDriver)
{
    Ppd ppd = openPpd();
    ASSERT_TRUE(ppd) << ppdErrorString(ppdLastError(nullptr));
    EXPECT_STREQ(ppd->manufacturer, "Quorvel");
    EXPECT_NE(std::strstr(ppd->modelname, "Quorvel"), nullptr) << ppd->modelname;
    EXPECT_NE(std::strstr(ppd->nickname, "Quorvel"), nullptr) << ppd->nickname;
    EXPECT_NE(std::strstr(ppd->nickname, "rastertoquorvel"), nullptr) << ppd->nickname;
    EXPECT_FALSE(ppd->color_device);

    // One filter: raster straight into ours, at no extra cost.
    ASSERT_EQ(ppd->num_filters, 1);
    EXPECT_STREQ(ppd->filters[0], "application/vnd.cups-raster 0 rastertoquorvel");
}

TEST(Ppd, AsksForOneBitWhiteIsSetRasterAt600Dpi)
{
    Ppd ppd = openPpd();
    ASSERT_TRUE(ppd);
    ppd_option_t* res = ppdFindOption(ppd.get(), "Resolution");
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(choiceNames(res), std::vector<std::string>{"600dpi"});
    EXPECT_STREQ(res->defchoice, "600dpi");

    cups_page_header2_t h;
    ASSERT_TRUE(headerFor(ppd.get(), "", h));
    EXPECT_EQ(h.HWResolution[0], 600u);
    EXPECT_EQ(h.HWResolution[1], 600u);
    EXPECT_EQ(h.cupsBitsPerColor, 1u);
    EXPECT_EQ(h.cupsBitsPerPixel, 1u);
    EXPECT_EQ(h.cupsColorSpace, CUPS_CSPACE_W);
    EXPECT_EQ(h.cupsColorOrder, CUPS_ORDER_CHUNKED);
    // A4 is the default size.
    EXPECT_EQ(h.PageSize[0], 595u);
    EXPECT_EQ(h.PageSize[1], 842u);
}

struct Size {
    const char* name;
    int width, length;  // points
};

constexpr Size kSizes[] = {
    {"A4", 595, 842},     {"Letter", 612, 792}, {"Legal", 612, 1008},
    {"A5", 420, 595},     {"B5", 516, 729},     {"Executive", 522, 756},
};
// The raster covers the whole sheet, since the printer places line 0 at its
// top edge: no margins.
constexpr int kMargin = 0;

// dots: points at 600 dpi, rounded as CUPS rounds them.
unsigned dots(double points)
{
    return static_cast<unsigned>(points * 600 / 72 + 0.5);
}

TEST(Ppd, PageSizesImageableAreasAndTheirRaster)
{
    Ppd ppd = openPpd();
    ASSERT_TRUE(ppd);
    EXPECT_STREQ(ppdFindOption(ppd.get(), "PageSize")->defchoice, "A4");
    EXPECT_STREQ(ppdFindOption(ppd.get(), "PageRegion")->defchoice, "A4");

    std::vector<std::string> expected;
    for (const Size& s : kSizes)
        expected.push_back(s.name);
    expected.push_back("Custom");  // libcups' choice for the custom sizes
    EXPECT_EQ(choiceNames(ppdFindOption(ppd.get(), "PageSize")), expected);
    EXPECT_EQ(choiceNames(ppdFindOption(ppd.get(), "PageRegion")), expected);

    for (const Size& s : kSizes) {
        SCOPED_TRACE(s.name);
        ppd_size_t* size = ppdPageSize(ppd.get(), s.name);
        ASSERT_NE(size, nullptr);
        EXPECT_EQ(size->width, s.width);
        EXPECT_EQ(size->length, s.length);
        EXPECT_EQ(size->left, kMargin);
        EXPECT_EQ(size->bottom, kMargin);
        EXPECT_EQ(size->right, s.width - kMargin);
        EXPECT_EQ(size->top, s.length - kMargin);

        // What CUPS renders for the size fits the filter's page store.
        cups_page_header2_t h;
        ASSERT_TRUE(headerFor(ppd.get(), std::string("PageSize=") + s.name, h));
        EXPECT_EQ(h.PageSize[0], static_cast<unsigned>(s.width));
        EXPECT_EQ(h.PageSize[1], static_cast<unsigned>(s.length));
        EXPECT_EQ(h.cupsWidth, dots(s.width));
        EXPECT_EQ(h.cupsHeight, dots(s.length));
        EXPECT_LE(h.cupsBytesPerLine, 797u);
        EXPECT_LE(h.cupsHeight, 10000u);
    }
}

TEST(Ppd, CustomSizesStopAtWhatTheFilterHolds)
{
    Ppd ppd = openPpd();
    ASSERT_TRUE(ppd);
    ASSERT_TRUE(ppd->variable_sizes);
    // 797 bytes a row and 10000 rows at 600 dpi.
    EXPECT_EQ(ppd->custom_max[0], 765.0f);
    EXPECT_EQ(ppd->custom_max[1], 1200.0f);
    EXPECT_GT(ppd->custom_min[0], 0.0f);
    EXPECT_GT(ppd->custom_min[1], 0.0f);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ppd->custom_margins[i], static_cast<float>(kMargin));

    cups_page_header2_t h;
    ASSERT_TRUE(headerFor(ppd.get(), "PageSize=Custom.765x1200", h));
    EXPECT_EQ(h.PageSize[0], 765u);
    EXPECT_EQ(h.PageSize[1], 1200u);
    EXPECT_EQ(h.cupsWidth, dots(765));
    EXPECT_EQ(h.cupsHeight, dots(1200));
    EXPECT_LE(h.cupsBytesPerLine, 797u);
    EXPECT_LE(h.cupsHeight, 10000u);
    // One point more in either direction would not fit.
    EXPECT_GT((766 * 600 / 72 + 7) / 8, 797);
    EXPECT_GT(1201 * 600 / 72, 10000);
}

struct Choice {
    const char* name;
    const char* label;
};

void expectChoices(ppd_file_t* ppd, const char* keyword, const std::vector<Choice>& choices,
                   const char* defchoice)
{
    SCOPED_TRACE(keyword);
    ppd_option_t* option = ppdFindOption(ppd, keyword);
    ASSERT_NE(option, nullptr);
    EXPECT_EQ(option->ui, PPD_UI_PICKONE);
    EXPECT_STREQ(option->defchoice, defchoice);
    ASSERT_EQ(option->num_choices, static_cast<int>(choices.size()));
    for (std::size_t i = 0; i < choices.size(); ++i) {
        EXPECT_STREQ(option->choices[i].choice, choices[i].name);
        EXPECT_STREQ(option->choices[i].text, choices[i].label);
        // Nothing to render: the filter reads the choice from its options.
        EXPECT_TRUE(option->choices[i].code == nullptr || option->choices[i].code[0] == '\0');
    }
}

TEST(Ppd, OptionChoicesAreTheNamesTheFilterLooksFor)
{
    Ppd ppd = openPpd();
    ASSERT_TRUE(ppd);
    expectChoices(ppd.get(), "PrintDensity",
                  {{"0Dark", "Dark"},
                   {"1MediumDark", "Medium Dark"},
                   {"2Medium", "Medium"},
                   {"3MediumLight", "Medium Light"},
                   {"4Light", "Light"}},
                  "2Medium");
    expectChoices(ppd.get(), "PaperWeight",
                  {{"0VeryHeavy", "Very Heavy"},
                   {"1Heavy", "Heavy"},
                   {"2MediumHeavy", "Medium Heavy"},
                   {"3Medium", "Medium"},
                   {"4Light", "Light"}},
                  "3Medium");
    expectChoices(ppd.get(), "CmdCancel",
                  {{"None", "None"},
                   {"CancelAttr", "Settings Block"},
                   {"CancelJobFinish", "End-of-Job Command"}},
                  "None");

    // CmdCancel is for experts: not among the everyday options.
    const char* group = nullptr;
    for (int g = 0; g < ppd->num_groups; ++g)
        for (int o = 0; o < ppd->groups[g].num_options; ++o)
            if (std::strcmp(ppd->groups[g].options[o].keyword, "CmdCancel") == 0)
                group = ppd->groups[g].name;
    EXPECT_STREQ(group, "Advanced");
}

// filterSettings: the built filter on a one-page raster with ppd and
// options, as the scheduler runs it; the decoded stream.
quorvel::DecodedStream filterSettings(const std::string& ppd, const std::string& options)
{
    const std::string raster = qtest::tempDir() + "/small.ras";
    qtest::RasterPage page = qtest::whitePage(qtest::makeHeader(96, 4));
    page.rows[1][2] = 0x0F;
    qtest::writeRaster(raster, {page});
    const qtest::RunResult r =
        qtest::run({qtest::filterPath(), "1", "user", "title", "1", options, raster}, {{"PPD", ppd}});
    quorvel::DecodedStream ds;
    quorvel::DecodeError err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(quorvel::decodeStream(r.out.data(), r.out.size(), ds, err))
        << "breaks at " << err.offset << ": expected " << err.expected;
    return ds;
}

// withDefault: a copy of the PPD whose default for keyword is choice, as
// `lpadmin -o keyword=choice` leaves the queue's copy.
std::string withDefault(const std::string& keyword, const std::string& choice)
{
    std::string text = qtest::readFile(cupstest::sourcePpd());
    const std::string line = "*Default" + keyword + ": ";
    const std::size_t at = text.find(line);
    const std::size_t end = text.find('\n', at);
    text.replace(at, end - at, line + choice);
    const std::string path = qtest::tempDir() + "/default-" + keyword + "-" + choice + ".ppd";
    qtest::writeFile(path, text);
    return path;
}

TEST(Ppd, EveryChoiceReachesThePrinterAsItsLevel)
{
    Ppd ppd = openPpd();
    ASSERT_TRUE(ppd);
    const auto levelOf = [](const std::string& keyword, const quorvel::StreamSettings& s) {
        return keyword == "PrintDensity" ? s.density : s.weight;
    };
    for (const std::string keyword : {"PrintDensity", "PaperWeight"}) {
        for (const std::string& choice : choiceNames(ppdFindOption(ppd.get(), keyword.c_str()))) {
            SCOPED_TRACE(keyword + "=" + choice);
            const int level = std::atoi(choice.c_str());
            // Chosen for the job...
            const quorvel::DecodedStream job =
                filterSettings(cupstest::sourcePpd(), keyword + "=" + choice);
            EXPECT_EQ(levelOf(keyword, job.settings), level);
            // ...or made the queue's default.
            const quorvel::DecodedStream queue = filterSettings(withDefault(keyword, choice), "");
            EXPECT_EQ(levelOf(keyword, queue.settings), level);
        }
    }

    // The PPD's defaults are the filter's own.
    const quorvel::DecodedStream plain = filterSettings(cupstest::sourcePpd(), "");
    EXPECT_EQ(plain.settings.density, 2);
    EXPECT_EQ(plain.settings.weight, 3);

    // The CmdCancel choices leave out what they say.
    const quorvel::DecodedStream none = filterSettings(cupstest::sourcePpd(), "CmdCancel=None");
    EXPECT_TRUE(none.settings.present);
    EXPECT_TRUE(none.endOfJob);
    const quorvel::DecodedStream attr = filterSettings(cupstest::sourcePpd(), "CmdCancel=CancelAttr");
    EXPECT_FALSE(attr.settings.present);
    EXPECT_TRUE(attr.endOfJob);
    const quorvel::DecodedStream fin =
        filterSettings(cupstest::sourcePpd(), "CmdCancel=CancelJobFinish");
    EXPECT_TRUE(fin.settings.present);
    EXPECT_FALSE(fin.endOfJob);
}

}  // namespace
