// The CUPS road's job options: the options string and the queue's defaults.
#include <gtest/gtest.h>

#include <string>

#include "job_attributes.h"
#include "test_support.h"


namespace {

struct OptionCase {
    const char* options;
    int density, weight, cancelAttr, cancelJobFinish;
};

PrintJobAttr g_printJobAttr;

// Options are read with a fresh record, as on the one call a job makes.
void readOptions(const char* options, ppd_file_t* ppd = nullptr, std::string* log = nullptr)
{
    g_printJobAttr = PrintJobAttr{0, 0, 0, 0, 0, 0};
    testing::internal::CaptureStderr();
    getPrintJobAttrFromArgs(options, ppd, g_printJobAttr);
    const std::string text = testing::internal::GetCapturedStderr();
    if (log)
        *log = text;
}

TEST(JobAttributesFromOptions, Levels)
{
    const OptionCase cases[] = {
        {"", 2, 3, 0, 0},
        {"PrintDensity=4Light PaperWeight=0VeryHeavy", 4, 0, 0, 0},
        {"PrintDensity=1MediumDark", 1, 3, 0, 0},
        {"PrintDensity=2Medium PaperWeight=3Medium", 2, 3, 0, 0},
        {"PaperWeight=2MediumHeavy", 2, 2, 0, 0},
        {"PaperWeight=4Light PrintDensity=3MediumLight", 3, 4, 0, 0},
        {"PrintDensity=7", 0, 3, 0, 0},            // unknown value: darkest
        {"PaperWeight=heavy", 2, 0, 0, 0},         // unknown value: heaviest
        {"printdensity=4Light", 2, 3, 0, 0},       // case matters
        {"CmdCancel=CancelAttr", 2, 3, 1, 0},
        {"CmdCancel=CancelJobFinish", 2, 3, 0, 2},
        {"CmdCancel=CancelAttr CmdCancel=CancelJobFinish", 2, 3, 1, 2},
        {"noPrintDensity=0Darkish", 0, 3, 0, 0},   // substring search, not split
    };
    for (const OptionCase& c : cases) {
        std::string log;
        readOptions(c.options, nullptr, &log);
        EXPECT_EQ(g_printJobAttr.m_printDensity, c.density) << c.options;
        EXPECT_EQ(g_printJobAttr.m_paperWeight, c.weight) << c.options;
        EXPECT_EQ(g_printJobAttr.m_cancelAttr, c.cancelAttr) << c.options;
        EXPECT_EQ(g_printJobAttr.m_cancelJobFinish, c.cancelJobFinish) << c.options;
        EXPECT_EQ(log, "-------getPrintJobAttrFromArgs---------g_printJobAttr.m_printDensity = " +
                           std::to_string(c.density) +
                           " \n-------getPrintJobAttrFromArgs---------g_printJobAttr.m_paperWeight = " +
                           std::to_string(c.weight) + " \n")
            << c.options;
    }
}

// writePpd: a small PPD with the two options and the given defaults.
ppd_file_t* openPpd(const std::string& name, const std::string& density, const std::string& weight)
{
    std::string text =
        "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
        "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"T.PPD\"\n"
        "*Manufacturer: \"T\"\n*Product: \"(T)\"\n*ModelName: \"T\"\n*ShortNickName: \"T\"\n"
        "*NickName: \"T\"\n*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n";
    if (!density.empty())
        text += "*OpenUI *PrintDensity/Density: PickOne\n*DefaultPrintDensity: " + density +
                "\n*PrintDensity 0Dark/Dark: \"\"\n*PrintDensity 2Medium/Medium: \"\"\n"
                "*PrintDensity 4Light/Light: \"\"\n*PrintDensity 9Odd/Odd: \"\"\n*CloseUI: *PrintDensity\n";
    if (!weight.empty())
        text += "*OpenUI *PaperWeight/Weight: PickOne\n*DefaultPaperWeight: " + weight +
                "\n*PaperWeight 1Heavy/Heavy: \"\"\n*PaperWeight 3Medium/Medium: \"\"\n*CloseUI: *PaperWeight\n";
    const std::string path = qtest::tempDir() + "/" + name + ".ppd";
    qtest::writeFile(path, text);
    return ppdOpenFile(path.c_str());
}

TEST(JobAttributesFromOptions, QueueDefaultsFillInMissingOptions)
{
    ppd_file_t* dark = openPpd("dark", "0Dark", "1Heavy");
    ASSERT_NE(dark, nullptr);
    EXPECT_EQ(getOptionChoiceFromPPD(dark, "PrintDensity"), 0);
    EXPECT_EQ(getOptionChoiceFromPPD(dark, "Missing"), -1);

    readOptions("", dark);
    EXPECT_EQ(g_printJobAttr.m_printDensity, 0);
    EXPECT_EQ(g_printJobAttr.m_paperWeight, 1);

    // The job's own choice always wins, also an unknown one.
    readOptions("PrintDensity=4Light PaperWeight=3Medium", dark);
    EXPECT_EQ(g_printJobAttr.m_printDensity, 4);
    EXPECT_EQ(g_printJobAttr.m_paperWeight, 3);
    readOptions("PrintDensity=x", dark);
    EXPECT_EQ(g_printJobAttr.m_printDensity, 0);
    EXPECT_EQ(g_printJobAttr.m_paperWeight, 1);

    // A choice the user marked counts before the file's default.
    ppdMarkOption(dark, "PrintDensity", "4Light");
    readOptions("", dark);
    EXPECT_EQ(g_printJobAttr.m_printDensity, 4);
    ppdClose(dark);

    // Out-of-range defaults and PPDs without the options keep the built-in ones.
    ppd_file_t* odd = openPpd("odd", "9Odd", "");
    ASSERT_NE(odd, nullptr);
    readOptions("", odd);
    EXPECT_EQ(g_printJobAttr.m_printDensity, 2);
    EXPECT_EQ(g_printJobAttr.m_paperWeight, 3);
    ppdClose(odd);
}

}  // namespace

namespace {

// Duplex options are matched by their whole name; the job's Duplex wins over
// its sides, and both over the queue's defaults.
TEST(JobAttributesFromOptions, Duplex)
{
    const std::string ppdPath = qtest::tempDir() + "/duplex.ppd";
    qtest::writeFile(ppdPath, "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
                              "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"D.PPD\"\n"
                              "*Manufacturer: \"T\"\n*Product: \"(T)\"\n*ModelName: \"T\"\n*ShortNickName: \"T\"\n"
                              "*NickName: \"T\"\n*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n"
                              "*OpenUI *Duplex/Duplex: PickOne\n*DefaultDuplex: DuplexTumble\n"
                              "*Duplex None/Off: \"\"\n*Duplex DuplexNoTumble/Long: \"\"\n"
                              "*Duplex DuplexTumble/Short: \"\"\n*CloseUI: *Duplex\n"
                              "*OpenUI *ManualDuplex/Manual: Boolean\n*DefaultManualDuplex: True\n"
                              "*ManualDuplex False/Off: \"\"\n*ManualDuplex True/On: \"\"\n*CloseUI: *ManualDuplex\n");
    ppd_file_t* queue = ppdOpenFile(ppdPath.c_str());
    ASSERT_NE(queue, nullptr);
    const struct {
        const char* options;
        bool withQueue;
        int duplex, manual;
    } cases[] = {
        {"", false, 0, 0},
        {"Duplex=DuplexNoTumble", false, 1, 0},
        {"Duplex=DuplexTumble", false, 2, 0},
        {"Duplex=None sides=two-sided-long-edge", false, 0, 0},
        {"sides=two-sided-long-edge", false, 1, 0},
        {"sides=two-sided-short-edge", false, 2, 0},
        {"sides=one-sided", true, 0, 3},
        {"ManualDuplex=True", false, 0, 3},          // not a Duplex= option
        {"ManualDuplex=DuplexNoTumble", false, 0, 0},
        {"ManualDuplex=True Duplex=DuplexTumble", false, 2, 3},
        {"", true, 2, 3},                            // the queue's defaults
        {"ManualDuplex=False Duplex=DuplexNoTumble", true, 1, 0},
        {"Duplex=Sideways", false, 0, 0},            // an unknown value counts as none
    };
    for (const auto& c : cases) {
        PrintJobAttr attr{0, 0, 0, 0, 0, 0};
        getDuplexFromArgs(c.options, c.withQueue ? queue : nullptr, attr);
        EXPECT_EQ(attr.m_duplex, c.duplex) << c.options;
        EXPECT_EQ(attr.m_manualDuplex, c.manual) << c.options;
    }
    ppdClose(queue);
}

}  // namespace
