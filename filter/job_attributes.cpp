// Job attributes from the header and the options string.
#include "job_attributes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
void getPrintJobAttrFromArgs(const char* options, ppd_file_t* ppd, PrintJobAttr& attr)
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
        attr.m_printDensity = queueDefault(ppd, "PrintDensity", 2);
    else
        attr.m_printDensity =
            levelFromOptions(options, densities, 5, attr.m_printDensity);

    if (std::strstr(options, "PaperWeight") == nullptr)
        attr.m_paperWeight = queueDefault(ppd, "PaperWeight", 3);
    else
        attr.m_paperWeight =
            levelFromOptions(options, weights, 5, attr.m_paperWeight);

    std::fprintf(stderr, "-------%s---------g_printJobAttr.m_printDensity = %d \n", fn,
                 attr.m_printDensity);
    std::fprintf(stderr, "-------%s---------g_printJobAttr.m_paperWeight = %d \n", fn,
                 attr.m_paperWeight);

    attr.m_cancelAttr = std::strstr(options, "CmdCancel=CancelAttr") ? 1 : 0;
    attr.m_cancelJobFinish = std::strstr(options, "CmdCancel=CancelJobFinish") ? 2 : 0;

    getDuplexFromArgs(options, ppd, attr);
}

// choiceFromPPD: the name of the marked (else default) choice of a PPD
// option, or null.
static const char* choiceFromPPD(ppd_file_t* ppd, const char* keyword)
{
    if (ppd == nullptr)
        return nullptr;
    if (ppd_choice_t* marked = ppdFindMarkedChoice(ppd, keyword))
        return marked->choice;
    ppd_option_t* option = ppdFindOption(ppd, keyword);
    return option != nullptr ? option->defchoice : nullptr;
}

// duplexMode: the mode a Duplex choice or a sides keyword names; -1 for
// anything else.
static int duplexMode(const char* value)
{
    static constexpr struct {
        const char* name;
        int mode;
    } kModes[] = {{"None", 0},         {"DuplexNoTumble", 1},      {"DuplexTumble", 2},
                  {"one-sided", 0},    {"two-sided-long-edge", 1}, {"two-sided-short-edge", 2}};
    for (const auto& m : kModes)
        if (value != nullptr && std::strcmp(value, m.name) == 0)
            return m.mode;
    return -1;
}

// getDuplexFromArgs: options are matched by their whole name here, unlike
// the level options, so that Duplex= is not found inside ManualDuplex=. The
// job's Duplex wins, then its sides (what cupsfilter and some clients pass),
// then the queue's default.
void getDuplexFromArgs(const char* options, ppd_file_t* ppd, PrintJobAttr& attr)
{
    cups_option_t* parsed = nullptr;
    const int count = cupsParseOptions(options, 0, &parsed);
    int mode = duplexMode(cupsGetOption("Duplex", count, parsed));
    if (mode < 0)
        mode = duplexMode(cupsGetOption("sides", count, parsed));
    if (mode < 0)
        mode = duplexMode(choiceFromPPD(ppd, "Duplex"));
    attr.m_duplex = mode < 0 ? 0 : mode;

    const char* manual = cupsGetOption("ManualDuplex", count, parsed);
    if (manual == nullptr)
        manual = choiceFromPPD(ppd, "ManualDuplex");
    attr.m_manualDuplex = manual != nullptr && std::strcmp(manual, "True") == 0 ? 3 : 0;
    cupsFreeOptions(count, parsed);
}
