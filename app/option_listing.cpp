// A printer's options and defaults, shown and checked for the sub-commands
// from the printer's own attributes, so that `options` lists what the
// printer has and `modify` refuses, with a reason, what it does not.
#include "option_listing.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "option_check.h"
#include "printer_vocabulary.h"

namespace {

// valueText: one value of an attribute as a user types it.
std::string valueText(ipp_attribute_t* attr, int i)
{
    const char* name = ippGetName(attr);
    switch (ippGetValueTag(attr)) {
    case IPP_TAG_ENUM:
        return ippEnumString(name, ippGetInteger(attr, i));
    case IPP_TAG_INTEGER:
        return std::to_string(ippGetInteger(attr, i));
    default: {
        const char* s = ippGetString(attr, i, nullptr);
        return s ? s : "";
    }
    }
}

// choices: "a, b (now), c" for name's supported values, marking the value
// of the attribute current with mark.
std::string choices(ipp_t* attrs, const char* name, const char* current, const char* mark = " (now)")
{
    ipp_attribute_t* supported = ippFindAttribute(attrs, (std::string(name) + "-supported").c_str(), IPP_TAG_ZERO);
    ipp_attribute_t* now = ippFindAttribute(attrs, current, IPP_TAG_ZERO);
    const std::string nowText = now ? valueText(now, 0) : "";
    std::string list;
    for (int i = 0, n = supported ? ippGetCount(supported) : 0; i < n; ++i) {
        const std::string v = valueText(supported, i);
        if (v.rfind("custom_", 0) == 0)
            continue;
        list += (list.empty() ? "" : ", ") + v + (v == nowText ? mark : "");
    }
    return list;
}

// A printer default that modify changes, and the values it takes.
enum class Kind { Keyword, Enum, Darkness, Offset, SizeList };
struct Default {
    std::string name;      // as given to modify -o
    std::string supported; // the xxx-supported attribute its values come from
    Kind kind;
};

// printerDefaults: the defaults modify changes, in the order `options`
// lists them; the vendor options' come from the printer's vocabulary.
// (PAPPL 1.3 takes orientation-requested-default but never stores it, and
// refuses sides-default and print-scaling-default over IPP: the web page
// sets those.)
const std::vector<Default>& printerDefaults()
{
    static const std::vector<Default> defaults = [] {
        std::vector<Default> d = {
            {"media-ready", "media", Kind::SizeList},
            {"printer-darkness-configured", "printer-darkness", Kind::Darkness},
            {"print-darkness-default", "print-darkness", Kind::Offset},
        };
        for (const KeywordOption& o : kVendorOptions)
            d.push_back({std::string(o.name) + "-default", o.name, Kind::Keyword});
        d.push_back({"print-color-mode-default", "print-color-mode", Kind::Keyword});
        d.push_back({"print-quality-default", "print-quality", Kind::Enum});
        return d;
    }();
    return defaults;
}

// wholeNumber: value as an int, or false.
bool wholeNumber(const char* value, int* n)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(value, &end, 10);
    if (!*value || *end || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    *n = static_cast<int>(v);
    return true;
}

// inList: whether value is one of the supported ones (as text).
bool inList(ipp_attribute_t* supported, const std::string& value)
{
    for (int i = 0, n = supported ? ippGetCount(supported) : 0; i < n; ++i)
        if (valueText(supported, i) == value)
            return true;
    return false;
}

// sizeListProblem: why a media-ready list names a size the printer does not
// have, or "".
std::string sizeListProblem(const std::string& given, const std::string& list, ipp_attribute_t* supported,
                            ipp_t* attrs)
{
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string size = list.substr(start, end - start);
        if (!inList(supported, size) || size.rfind("custom_", 0) == 0)
            return given + ": " + size + " is not a size the printer has; it takes " + choices(attrs, "media", "");
        start = end + 1;
    }
    return "";
}

// defaultProblem: why modify cannot set d to value on this printer, or "".
std::string defaultProblem(const Default& d, const char* value, ipp_t* attrs)
{
    ipp_attribute_t* supported = ippFindAttribute(attrs, (d.supported + "-supported").c_str(), IPP_TAG_ZERO);
    const std::string given = d.name + "=" + value;
    int n = 0;
    switch (d.kind) {
    case Kind::Darkness:
        if (!wholeNumber(value, &n))
            return given + " is not a number; the printer takes " +
                   quorvelDarknessSteps(ippGetInteger(supported, 0));
        return quorvelDarknessProblem(n, ippGetInteger(supported, 0));
    case Kind::Offset:
        return wholeNumber(value, &n) && n >= -100 && n <= 100 ? "" : given + " is not a number from -100 to 100";
    case Kind::SizeList:
        return sizeListProblem(given, value, supported, attrs);
    case Kind::Keyword:
    case Kind::Enum:
        return inList(supported, value) ? ""
                                        : given + " is not a value the printer has; it takes " +
                                              choices(attrs, d.supported.c_str(), "");
    }
    return "";
}

// defaultChoices: the values a default takes, with the printer's now.
std::string defaultChoices(const Default& d, ipp_t* attrs)
{
    switch (d.kind) {
    case Kind::Darkness: {
        ipp_attribute_t* now = ippFindAttribute(attrs, "printer-darkness-configured", IPP_TAG_INTEGER);
        return quorvelDarknessSteps(
                   ippGetInteger(ippFindAttribute(attrs, "printer-darkness-supported", IPP_TAG_INTEGER), 0)) +
               (now ? " (now " + std::to_string(ippGetInteger(now, 0)) + ")" : "");
    }
    case Kind::Offset: {
        ipp_attribute_t* now = ippFindAttribute(attrs, "print-darkness-default", IPP_TAG_INTEGER);
        return "-100 to 100" + (now ? " (now " + std::to_string(ippGetInteger(now, 0)) + ")" : std::string());
    }
    case Kind::SizeList:
        return "SIZE[,SIZE] loaded, the first is the default: " + choices(attrs, "media", "media-ready");
    case Kind::Keyword:
    case Kind::Enum:
        break;
    }
    return choices(attrs, d.supported.c_str(), d.name.c_str());
}

// showJobOption: one job option with its values, the default marked.
void showJobOption(const char* name, ipp_t* attrs)
{
    std::printf("  -o %s=%s\n", name,
                choices(attrs, name, (std::string(name) + "-default").c_str(), " (default)").c_str());
}

// darknessOptions: submit -o ARGUMENT with its print-darkness brought into
// -100 to 100 (clamped), each value escaped as cupsParseOptions reads it.
std::string darknessOptions(int n, const cups_option_t* opts, int clamped)
{
    std::string joined;
    for (int i = 0; i < n; ++i) {
        std::string v = std::strcmp(opts[i].name, "print-darkness") == 0 ? std::to_string(clamped) : opts[i].value;
        std::string escaped;
        for (char ch : v) {
            if (ch == ' ' || ch == '\t' || ch == '\\' || ch == '"' || ch == '\'')
                escaped += '\\';
            escaped += ch;
        }
        joined += (i ? " " : "") + std::string(opts[i].name) + "=" + escaped;
    }
    return joined;
}

} // namespace

// quorvelShowOptions: the job options PAPPL's submit takes, the driver's
// own among them, then the printer defaults modify changes.
int quorvelShowOptions(ipp_t* attrs)
{
    std::printf("Print job options (submit -o NAME=VALUE):\n"
                "  -n COPIES (1 to 9999)\n");
    const char* const job[] = {"media",         "orientation-requested", "print-color-mode", "print-content-optimize",
                               "print-quality", "print-scaling",         "sides"};
    for (const char* name : job)
        showJobOption(name, attrs);
    for (const KeywordOption& o : kVendorOptions)
        showJobOption(o.name, attrs);
    std::printf("  -o print-darkness=-100 to 100 (added to the printer's darkness; beyond, the nearest)\n"
                "  -o page-ranges=FIRST-LAST\n"
                "\nPrinter defaults (modify -o NAME=VALUE):\n");
    for (const Default& d : printerDefaults())
        std::printf("  -o %s=%s\n", d.name.c_str(), defaultChoices(d, attrs).c_str());
    return 0;
}

// quorvelModifyProblem: the first option modify does not change, or the
// first value the printer does not have.
std::string quorvelModifyProblem(int num_options, cups_option_t* options, ipp_t* attrs)
{
    for (int i = 0; i < num_options; ++i) {
        const Default* known = nullptr;
        for (const Default& d : printerDefaults())
            if (d.name == options[i].name)
                known = &d;
        if (!known)
            return std::string("modify does not change '") + options[i].name +
                   "'; 'options' lists the printer defaults it changes, the web page has the rest";
        const std::string problem = defaultProblem(*known, options[i].value, attrs);
        if (!problem.empty())
            return problem;
    }
    return "";
}

// quorvelClampJobDarkness: an -o argument whose print-darkness is beyond
// the range is written again with the nearest value, and says so.
bool quorvelClampJobDarkness(const char* program, const std::vector<int>& optionArgs, char* argv[])
{
    static std::vector<std::string> rewritten; // argv points into it until exit
    rewritten.reserve(optionArgs.size());
    for (int index : optionArgs) {
        cups_option_t* opts = nullptr;
        const int n = cupsParseOptions(argv[index], 0, &opts);
        const char* value = cupsGetOption("print-darkness", n, opts);
        int clamped = 0;
        bool ok = true;
        if (value && !quorvelClampDarkness(value, &clamped)) {
            std::fprintf(stderr, "%s: print-darkness=%s is not a number from -100 to 100.\n", program, value);
            ok = false;
        } else if (value && std::to_string(clamped) != value) {
            std::fprintf(stderr, "%s: print-darkness=%s is beyond -100 to 100; printing with %d.\n", program, value,
                         clamped);
            rewritten.push_back(darknessOptions(n, opts, clamped));
            argv[index] = &rewritten.back()[0];
        }
        cupsFreeOptions(n, opts);
        if (!ok)
            return false;
    }
    return true;
}

// quorvelClampDarkness: a whole number brought into -100 to 100.
bool quorvelClampDarkness(const char* value, int* clamped)
{
    int n = 0;
    if (!value || !wholeNumber(value, &n))
        return false;
    *clamped = n < -100 ? -100 : n > 100 ? 100 : n;
    return true;
}
