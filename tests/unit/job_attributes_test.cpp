// Job attributes: CRC, paper size arithmetic, copy count and option strings.
#include <gtest/gtest.h>

#include <string>

#include "job_attributes.h"
#include "printer_commands.h"
#include "test_support.h"

using qtest::Bytes;
using qtest::hex;

namespace {

template <std::size_t N>
Bytes bytesOf(const std::array<unsigned char, N>& cmd)
{
    return Bytes(cmd.begin(), cmd.end());
}

TEST(Crc16, MatchesKnownValues)
{
    const Bytes copies = hex("1B 26 6C 01 00");
    EXPECT_EQ(cyg_crc16(copies.data(), 5), 0x2549);
    const std::string check = "123456789"; // the standard XMODEM check value
    EXPECT_EQ(cyg_crc16(reinterpret_cast<const unsigned char*>(check.data()), 9), 0x31C3);
    const unsigned char one = 1;
    EXPECT_EQ(cyg_crc16(&one, 1), 0x1021);
    EXPECT_EQ(cyg_crc16(copies.data(), 0), 0);
    EXPECT_EQ(cyg_crc16(copies.data(), -3), 0);
}

struct SizeCase {
    unsigned widthPt, heightPt, dpi;
    const char* paperCmd;
};

TEST(JobAttributesFromHeader, PaperSizeInDots)
{
    const SizeCase cases[] = {
        {288, 432, 203, "1B 78 2C 03 1B 79 C2 04"},  // 4 x 6 in: 812 x 1218
        {595, 842, 300, "1B 78 AF 09 1B 79 B4 0D"},  // A4: 2479 x 3508
        {595, 842, 600, "1B 78 5E 13 1B 79 68 1B"},  // A4: 4958 x 7016
        {12000, 12000, 600, "1B 78 A0 86 1B 79 A0 86"},  // 100000 dots: sent modulo 65536
    };
    for (const SizeCase& c : cases) {
        cups_page_header2_t h = qtest::makeHeader(8, 8, c.dpi, c.widthPt, c.heightPt);
        testing::internal::CaptureStderr();
        getPrintJobAttrFromPPD(&h);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(bytesOf(szPaperSizeCustomCmd), hex(c.paperCmd)) << c.widthPt << "x" << c.heightPt;
    }
}

TEST(JobAttributesFromHeader, CopyCountAndItsCrc)
{
    const struct {
        int numCopies;
        unsigned expected;
    } cases[] = {{1, 1}, {0, 1}, {-5, 1}, {65536 + 2, 2}, {32768, 1}, {32767, 32767}, {3, 3}};
    for (const auto& c : cases) {
        cups_page_header2_t h = qtest::makeHeader(8, 8);
        h.NumCopies = static_cast<unsigned>(c.numCopies);
        testing::internal::CaptureStderr();
        getPrintJobAttrFromPPD(&h);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(szNumCopiesCmd[3] | szNumCopiesCmd[4] << 8, static_cast<int>(c.expected)) << c.numCopies;
        EXPECT_EQ(szNumCopiesCmd[5] | szNumCopiesCmd[6] << 8, cyg_crc16(szNumCopiesCmd.data(), 5));
    }
    cups_page_header2_t one = qtest::makeHeader(8, 8);
    testing::internal::CaptureStderr();
    getPrintJobAttrFromPPD(&one);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(bytesOf(szNumCopiesCmd), hex("1B 26 6C 01 00 49 25"));
    EXPECT_EQ(log, "-------getPrintJobAttrFromPPD---------header->PageSize[0] = 0 \n"
                   "-------getPrintJobAttrFromPPD---------header->PageSize[1] = 0 \n"
                   "-------getPrintJobAttrFromPPD---------header->HWResolution[0] = 600 \n"
                   "-------getPrintJobAttrFromPPD---------header->HWResolution[1] = 600 \n");
}

struct OptionCase {
    const char* options;
    int density, weight, cancelAttr, cancelJobFinish;
};

// Options are read with a fresh record, as on the one call a job makes.
void readOptions(const char* options, ppd_file_t* ppd = nullptr, std::string* log = nullptr)
{
    g_printJobAttr = PrintJobAttr{0, 0, 0, 0, 0, 0};
    testing::internal::CaptureStderr();
    getPrintJobAttrFromArgs(options, ppd);
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
        EXPECT_EQ(szDarknessCmd[4], 0x10 + c.density) << c.options;
        EXPECT_EQ(szPaperWeightCmd[4], 0x10 + c.weight) << c.options;
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
