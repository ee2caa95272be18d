// PAPPL 1.3.1 (before 1.4.10) answers Get-Printer-Attributes (and Get-System-Attributes)
// with a copy of the printer's attributes in which, as libcups 2.4 copies
// them, every collection (media-col-database, media-col-ready...) is the
// printer's own, shared and counted. With two clients asking at once, as
// desktops polling a printer do, two threads write the same collections
// into their answers, and libcups keeps its place in a collection inside
// the collection itself: each answer skips or repeats members of the
// other's, its body no longer matches the length sent ahead of it, and the
// client waits for bytes that never come (30 s, then it gives up). The
// shared counts are raised and lowered by threads at once too, so a
// collection can be freed while the printer still holds it.
//
// So collections are never shared: this stands in front of libcups'
// ippCopyAttributes, which PAPPL reaches through the dynamic linker, and
// copies each collection whole, member by member (strings too), leaving
// the other attributes to libcups. The app_server_soak case, whose two
// readers ask for the printer's attributes at once, got answers cut short
// without it. Compiled out for PAPPL 1.4.10 and later, which no longer
// copy them from several threads at once.
#if QUORVEL_PAPPL_VERSION < 10410
#include <cups/cups.h>

#include "interpose.h"

namespace {

// Filter: the caller's choice of attributes.
struct Filter {
    ipp_copycb_t cb;
    void* context;
};

int copyWhole(void* data, ipp_t* dst, ipp_attribute_t* attr);

// copyAll: libcups' own ippCopyAttributes.
int copyAll(ipp_t* dst, ipp_t* src, ipp_copycb_t cb, void* context)
{
    static const auto copy = nextDefinition("ippCopyAttributes", &ippCopyAttributes);
    return copy(dst, src, 0, cb, context);
}

// copyWhole: the copy callback; a collection chosen by the caller's filter
// is copied here, whole, and libcups told to skip it.
int copyWhole(void* data, ipp_t* dst, ipp_attribute_t* attr)
{
    const Filter* filter = static_cast<const Filter*>(data);
    if (filter->cb != nullptr && !filter->cb(filter->context, dst, attr))
        return 0;
    if (ippGetValueTag(attr) != IPP_TAG_BEGIN_COLLECTION)
        return 1;
    const int count = ippGetCount(attr);
    ipp_attribute_t* copy = ippAddCollections(dst, ippGetGroupTag(attr), ippGetName(attr), count, nullptr);
    const Filter all{nullptr, nullptr};
    for (int i = 0; copy != nullptr && i < count; ++i) {
        ipp_t* col = ippNew();
        copyAll(col, ippGetCollection(attr, i), copyWhole, const_cast<Filter*>(&all));
        ippSetCollection(dst, &copy, i, col);
        ippDelete(col);
    }
    return 0;
}

} // namespace

extern "C" int ippCopyAttributes(ipp_t* dst, ipp_t* src, int /*quickcopy*/, ipp_copycb_t cb, void* context)
{
    Filter filter{cb, context};
    return copyAll(dst, src, copyWhole, &filter);
}
#endif
