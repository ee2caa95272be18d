// The printer's darkness is one of as many steps as it has levels, because
// the web page offers only those (a value between two would show as the
// first step, and saving the page would then set that); a job's
// print-darkness moves it by -100 to 100. Vendor options take only the
// keywords the driver lists as supported.
#include "option_check.h"

#include <cstring>

#include "printer_vocabulary.h"

// quorvelDarknessSteps: the steps as a list for messages.
std::string quorvelDarknessSteps(int levels)
{
    std::string steps;
    for (int i = 0; i < levels; ++i)
        steps += (i ? ", " : "") + std::to_string(darknessStep(i, levels));
    return steps;
}

// quorvelDarknessProblem: configured must be one of the steps.
std::string quorvelDarknessProblem(int configured, int levels)
{
    for (int i = 0; i < levels; ++i)
        if (configured == darknessStep(i, levels))
            return "";
    return "printer-darkness-configured=" + std::to_string(configured) +
           " is not a darkness the printer has; it takes " + quorvelDarknessSteps(levels);
}

// quorvelKeywordProblem: value must be one of the supported keywords.
std::string quorvelKeywordProblem(const char* name, const char* value, ipp_attribute_t* supported)
{
    if (!supported)
        return "";
    std::string list;
    for (int i = 0, n = ippGetCount(supported); i < n; ++i) {
        const char* keyword = ippGetString(supported, i, nullptr);
        if (keyword && value && std::strcmp(keyword, value) == 0)
            return "";
        list += (i ? ", " : "") + std::string(keyword ? keyword : "");
    }
    return std::string(name) + "=" + (value ? value : "") + " is not a value the printer has; it takes " + list;
}

// quorvelDefaultsProblem: darkness, darkness offset, then each vendor value.
std::string quorvelDefaultsProblem(const pappl_pr_driver_data_t& data, int num_vendor, cups_option_t* vendor,
                                   ipp_t* attrs)
{
    if (data.darkness_supported > 0) {
        const std::string problem = quorvelDarknessProblem(data.darkness_configured, data.darkness_supported);
        if (!problem.empty())
            return problem;
    }
    if (data.darkness_default < -100 || data.darkness_default > 100)
        return "print-darkness-default=" + std::to_string(data.darkness_default) + " is outside -100 to 100";
    for (int i = 0; i < num_vendor; ++i) {
        const std::string supported = std::string(vendor[i].name) + "-supported";
        ipp_attribute_t* attr = attrs ? ippFindAttribute(attrs, supported.c_str(), IPP_TAG_KEYWORD) : nullptr;
        const std::string problem =
            quorvelKeywordProblem((std::string(vendor[i].name) + "-default").c_str(), vendor[i].value, attr);
        if (!problem.empty())
            return problem;
    }
    return "";
}
