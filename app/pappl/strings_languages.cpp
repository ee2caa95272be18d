// PAPPL 1.3.1 (before 1.4.6) answers Get-Printer-Attributes by
// adding printer-strings-languages-supported to the printer's own
// attributes, once more on every request, as soon as the application has a
// strings resource (ours gives our options their words): the answer then
// lists the attribute twice, three times and so on (ipptool's ipp-2.0.test
// fails on the duplicate, as app_server_ipp and ui_test.sh's "pages" case
// show without this), and the printer's attributes grow without end. This
// stands in front of libcups' ippAddStrings, which PAPPL reaches through
// the dynamic linker, and adds that attribute only where it is not yet:
// the languages do not change while the server runs. Compiled out for
// PAPPL 1.4.6 and later, which add it to each answer instead.
#if QUORVEL_PAPPL_VERSION < 10406
#include <cups/ipp.h>

#include <cstring>

#include "interpose.h"

extern "C" ipp_attribute_t* ippAddStrings(ipp_t* ipp, ipp_tag_t group, ipp_tag_t value_tag, const char* name,
                                          int num_values, const char* language, const char* const* values)
{
    static const auto add = nextDefinition("ippAddStrings", &ippAddStrings);
    if (ipp && name && std::strcmp(name, "printer-strings-languages-supported") == 0)
        if (ipp_attribute_t* there = ippFindAttribute(ipp, name, IPP_TAG_ZERO))
            return there;
    return add(ipp, group, value_tag, name, num_values, language, values);
}
#endif
