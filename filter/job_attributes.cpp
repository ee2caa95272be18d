// Job attributes and the CRC-16 that guards the copy count.
#include "job_attributes.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "printer_commands.h"

PrintJobAttr g_printJobAttr = {0, 0, 0, 0, 0, 0};

// crc16_tab: CRC-16 table for polynomial 0x1021, most significant bit first.
static constexpr std::array<std::uint16_t, 256> crc16_tab = [] {
    std::array<std::uint16_t, 256> tab{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned crc = b << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        tab[b] = static_cast<std::uint16_t>(crc);
    }
    return tab;
}();

// cyg_crc16: table-driven CRC-16/XMODEM, initial value 0, no final XOR.
std::uint16_t cyg_crc16(const unsigned char* data, int len)
{
    std::uint16_t crc = 0;
    for (int i = 0; i < len; ++i)
        crc = static_cast<std::uint16_t>((crc << 8) ^ crc16_tab[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

// getPrintJobAttrFromPPD: despite its name this reads the page header; the
// name says where the values come from in the scheduler's view of a job.
void getPrintJobAttrFromPPD(const cups_page_header2_t* header)
{
    static const char* const fn = "getPrintJobAttrFromPPD";
    std::fprintf(stderr, "-------%s---------header->PageSize[0] = %d \n", fn,
                 static_cast<int>(header->PageSize[0]));
    std::fprintf(stderr, "-------%s---------header->PageSize[1] = %d \n", fn,
                 static_cast<int>(header->PageSize[1]));
    std::fprintf(stderr, "-------%s---------header->HWResolution[0] = %d \n", fn,
                 static_cast<int>(header->HWResolution[0]));
    std::fprintf(stderr, "-------%s---------header->HWResolution[1] = %d \n", fn,
                 static_cast<int>(header->HWResolution[1]));

    // Points times dots per inch over 72; the product wraps at 32 bits and
    // the printer takes the low 16 bits of the quotient.
    const std::uint32_t width = static_cast<std::uint32_t>(header->PageSize[0] * header->HWResolution[0]) / 72;
    const std::uint32_t height = static_cast<std::uint32_t>(header->PageSize[1] * header->HWResolution[1]) / 72;
    putLe16(&szPaperSizeCustomCmd[2], width);
    putLe16(&szPaperSizeCustomCmd[6], height);

    int copies = static_cast<std::int16_t>(header->NumCopies & 0xFFFF);
    if (copies <= 0)
        copies = 1;
    putLe16(&szNumCopiesCmd[3], static_cast<std::uint32_t>(copies));
    putLe16(&szNumCopiesCmd[5], cyg_crc16(szNumCopiesCmd.data(), 5));
}

// getOptionChoiceFromPPD: the marked choice wins over the default one.
int getOptionChoiceFromPPD(ppd_file_t* ppd, const char* keyword)
{
    if (ppd == nullptr)
        return -1;
    ppd_choice_t* choice = ppdFindMarkedChoice(ppd, keyword);
    if (choice == nullptr) {
        ppd_option_t* option = ppdFindOption(ppd, keyword);
        if (option == nullptr)
            return -1;
        choice = ppdFindChoice(option, option->defchoice);
        if (choice == nullptr)
            return -1;
    }
    return std::atoi(choice->choice);
}

struct LevelName {
    const char* text; // the option as it appears in the options string
    int level;
};

// levelFromOptions: the first listed setting found in options; current is
// kept when the option is there with a value not in the list.
static int levelFromOptions(const char* options, const LevelName* names, std::size_t count,
                            int current)
{
    for (std::size_t i = 0; i < count; ++i)
        if (std::strstr(options, names[i].text) != nullptr)
            return names[i].level;
    return current;
}

// queueDefault: the queue's own default for an option the job left out, so
// that a default set with lpadmin reaches the printer.
static int queueDefault(ppd_file_t* ppd, const char* keyword, int fallback)
{
    const int level = getOptionChoiceFromPPD(ppd, keyword);
    return (level >= 0 && level <= 4) ? level : fallback;
}

// getPrintJobAttrFromArgs: substring tests, case-sensitive, in a fixed order.
void getPrintJobAttrFromArgs(const char* options, ppd_file_t* ppd)
{
    static const char* const fn = "getPrintJobAttrFromArgs";
    static constexpr LevelName densities[] = {
        {"PrintDensity=0Dark", 0},        {"PrintDensity=1MediumDark", 1},
        {"PrintDensity=2Medium", 2},      {"PrintDensity=3MediumLight", 3},
        {"PrintDensity=4Light", 4},
    };
    static constexpr LevelName weights[] = {
        {"PaperWeight=0VeryHeavy", 0},    {"PaperWeight=1Heavy", 1},
        {"PaperWeight=2MediumHeavy", 2},  {"PaperWeight=3Medium", 3},
        {"PaperWeight=4Light", 4},
    };
    if (options == nullptr)
        options = "";

    if (std::strstr(options, "PrintDensity") == nullptr)
        g_printJobAttr.m_printDensity = queueDefault(ppd, "PrintDensity", 2);
    else
        g_printJobAttr.m_printDensity =
            levelFromOptions(options, densities, 5, g_printJobAttr.m_printDensity);
    szDarknessCmd[4] = static_cast<unsigned char>(0x10 + g_printJobAttr.m_printDensity);

    if (std::strstr(options, "PaperWeight") == nullptr)
        g_printJobAttr.m_paperWeight = queueDefault(ppd, "PaperWeight", 3);
    else
        g_printJobAttr.m_paperWeight =
            levelFromOptions(options, weights, 5, g_printJobAttr.m_paperWeight);
    szPaperWeightCmd[4] = static_cast<unsigned char>(0x10 + g_printJobAttr.m_paperWeight);

    std::fprintf(stderr, "-------%s---------g_printJobAttr.m_printDensity = %d \n", fn,
                 g_printJobAttr.m_printDensity);
    std::fprintf(stderr, "-------%s---------g_printJobAttr.m_paperWeight = %d \n", fn,
                 g_printJobAttr.m_paperWeight);

    g_printJobAttr.m_cancelAttr = std::strstr(options, "CmdCancel=CancelAttr") ? 1 : 0;
    g_printJobAttr.m_cancelJobFinish = std::strstr(options, "CmdCancel=CancelJobFinish") ? 2 : 0;
}
