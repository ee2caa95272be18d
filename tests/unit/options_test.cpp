// The CUPS road's job options: the options string, and the queue's defaults
// for what the job leaves out.
#include <gtest/gtest.h>

#include "job_attributes.h"
#include "test_support.h"

namespace {

// openPpd: a PPD whose body declares options and their defaults.
ppd_file_t* openPpd(const std::string& name, const std::string& body)
{
    const std::string path = qtest::tempDir() + "/" + name + ".ppd";
    qtest::writeFile(path, "*PPD-Adobe: \"4.3\"\n" + body);
    return ppdOpenFile(path.c_str());
}

TEST(JobOptions, FromTheOptionsThenTheQueue)
{
    ppd_file_t* queue = openPpd("queue", "*OpenUI *PrintDensity: PickOne\n*DefaultPrintDensity: 0Dark\n"
                                         "*PrintDensity 0Dark: \"\"\n*PrintDensity 4Light: \"\"\n*CloseUI: *PrintDensity\n"
                                         "*OpenUI *PaperWeight: PickOne\n*DefaultPaperWeight: 1Heavy\n"
                                         "*PaperWeight 1Heavy: \"\"\n*CloseUI: *PaperWeight\n"
                                         "*OpenUI *Duplex: PickOne\n*DefaultDuplex: DuplexTumble\n"
                                         "*Duplex DuplexTumble: \"\"\n*CloseUI: *Duplex\n"
                                         "*OpenUI *ManualDuplex: Boolean\n*DefaultManualDuplex: True\n"
                                         "*ManualDuplex True: \"\"\n*CloseUI: *ManualDuplex\n");
    ppd_file_t* odd = openPpd("odd", "*OpenUI *PrintDensity: PickOne\n*DefaultPrintDensity: 9Odd\n"
                                     "*PrintDensity 9Odd: \"\"\n*CloseUI: *PrintDensity\n");
    ppd_file_t* marked = openPpd("marked", "*OpenUI *PrintDensity: PickOne\n*DefaultPrintDensity: 0Dark\n"
                                           "*PrintDensity 0Dark: \"\"\n*PrintDensity 1MediumDark: \"\"\n"
                                           "*CloseUI: *PrintDensity\n");
    ASSERT_TRUE(queue && odd && marked);
    ppdMarkOption(marked, "PrintDensity", "1MediumDark"); // the user's choice counts before the default
    const struct {
        const char* options;
        ppd_file_t* ppd;
        int density, weight, cancelAttr, cancelEnd, duplex, manual;
    } cases[] = {
        {"", nullptr, 2, 3, 0, 0, 0, 0},
        {"PrintDensity=4Light PaperWeight=0VeryHeavy", nullptr, 4, 0, 0, 0, 0, 0},
        {"PrintDensity=1MediumDark PaperWeight=2MediumHeavy", nullptr, 1, 2, 0, 0, 0, 0},
        {"PrintDensity=2Medium PaperWeight=3Medium", queue, 2, 3, 0, 0, 2, 3},
        {"PaperWeight=4Light PrintDensity=3MediumLight", nullptr, 3, 4, 0, 0, 0, 0},
        {"PrintDensity=7 PaperWeight=heavy", nullptr, 0, 0, 0, 0, 0, 0}, // unknown values keep the start
        {"PrintDensity=x", queue, 0, 1, 0, 0, 2, 3},
        {"printdensity=4Light", nullptr, 2, 3, 0, 0, 0, 0},           // case matters
        {"noPrintDensity=0Darkish", nullptr, 0, 3, 0, 0, 0, 0},       // found inside other text
        {"CmdCancel=CancelAttr", nullptr, 2, 3, 1, 0, 0, 0},
        {"CmdCancel=CancelAttr CmdCancel=CancelJobFinish", nullptr, 2, 3, 1, 2, 0, 0},
        {"", queue, 0, 1, 0, 0, 2, 3},
        {"", odd, 2, 3, 0, 0, 0, 0},                                   // out of range: the built-in level
        {"", marked, 1, 3, 0, 0, 0, 0},
        {"Duplex=DuplexNoTumble", nullptr, 2, 3, 0, 0, 1, 0},
        {"Duplex=None sides=two-sided-long-edge", nullptr, 2, 3, 0, 0, 0, 0},
        {"sides=two-sided-long-edge", nullptr, 2, 3, 0, 0, 1, 0},
        {"sides=two-sided-short-edge", nullptr, 2, 3, 0, 0, 2, 0},
        {"sides=one-sided ManualDuplex=False", queue, 0, 1, 0, 0, 0, 0},
        {"ManualDuplex=DuplexNoTumble", nullptr, 2, 3, 0, 0, 0, 0},     // Duplex= is a whole name
        {"ManualDuplex=True Duplex=DuplexTumble", nullptr, 2, 3, 0, 0, 2, 3},
        {"Duplex=Sideways", nullptr, 2, 3, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        PrintJobAttr a{0, 0, 0, 0, 0, 0}; // as the filter starts a job
        testing::internal::CaptureStderr(); // the levels are logged; the filter's tests read that
        getPrintJobAttrFromArgs(c.options, c.ppd, a);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ((std::vector<int>{a.m_printDensity, a.m_paperWeight, a.m_cancelAttr, a.m_cancelJobFinish,
                                    a.m_duplex, a.m_manualDuplex}),
                  (std::vector<int>{c.density, c.weight, c.cancelAttr, c.cancelEnd, c.duplex, c.manual}))
            << c.options;
    }
    EXPECT_EQ(getOptionChoiceFromPPD(queue, "Missing"), -1);
    for (ppd_file_t* p : {queue, odd, marked})
        ppdClose(p);
}

}  // namespace
