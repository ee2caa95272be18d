// PAPPL 1.3 (before 1.4.5) browses for network printers (the web page's "add printer"
// list) with the Avahi client it made at start-up, without checking that
// there is one: when avahi-daemon is not running, Avahi's own assertion then
// aborts the whole server. This stands in front of Avahi's browser call,
// which PAPPL reaches through the dynamic linker: with no client there is
// nothing to browse, and the list simply has no network printers.
// Compiled out for PAPPL 1.4.5 and later, which check.
#if QUORVEL_PAPPL_VERSION < 10405
#include <avahi-client/lookup.h>

#include "interpose.h"

extern "C" AvahiServiceBrowser* avahi_service_browser_new(AvahiClient* client, AvahiIfIndex interface,
                                                          AvahiProtocol protocol, const char* type,
                                                          const char* domain, AvahiLookupFlags flags,
                                                          AvahiServiceBrowserCallback callback, void* userdata)
{
    static const auto avahi = nextDefinition("avahi_service_browser_new", &avahi_service_browser_new);
    if (client == nullptr)
        return nullptr;
    return avahi(client, interface, protocol, type, domain, flags, callback, userdata);
}
#endif
