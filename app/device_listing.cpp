// Devices for the sub-commands. PAPPL lists network printers through
// avahi-daemon; without it the list says why they are missing instead of
// stopping. A device given to `add` is checked by its scheme, so that a
// printer that could never print is refused when it is added.
#include "device_listing.h"

#include <pappl/pappl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// avahiRunning: whether avahi-daemon takes connections, as its clients
// find it.
bool avahiRunning()
{
    const char* path = std::getenv("AVAHI_SOCKET");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path ? path : "/run/avahi-daemon/socket");
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// listDevice: one device for `devices`, as PAPPL lists it.
bool listDevice(const char* info, const char* uri, const char* id, void* verbose)
{
    std::puts(uri);
    if (verbose && info)
        std::printf("    %s\n", info);
    if (verbose && id)
        std::printf("    %s\n", id);
    return false;
}

// deviceError: a device search's error, with the program's name.
void deviceError(const char* message, void* name)
{
    std::fprintf(stderr, "%s: %s\n", static_cast<const char*>(name), message);
}

// usbDevices: the URIs of the USB printers connected now.
std::vector<std::string> usbDevices()
{
    std::vector<std::string> found;
    papplDeviceList(
        PAPPL_DEVTYPE_USB,
        [](const char*, const char* uri, const char*, void* data) {
            static_cast<std::vector<std::string>*>(data)->push_back(uri);
            return false;
        },
        &found, [](const char*, void*) {}, nullptr);
    return found;
}

// fileProblem: a file device writes into a folder that is there.
std::string fileProblem(const std::string& uri, const char* resource)
{
    struct stat info {};
    std::string path = resource;
    if (const std::size_t q = path.find('?'); q != std::string::npos)
        path.erase(q);
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return "";
    const std::string folder = path.substr(0, path.rfind('/') == 0 ? 1 : path.rfind('/'));
    if (folder.empty() || stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return "'" + uri + "': there is no folder '" + folder + "' to write into";
    return "";
}

// usbProblem: a USB device is connected now, or named by its serial number.
std::string usbProblem(const std::string& uri, const char* host, const char* resource)
{
    const std::vector<std::string> connected = usbDevices();
    std::string list;
    for (const std::string& d : connected) {
        if (d == uri)
            return "";
        list += "\n  " + d;
    }
    // A printer switched off now is added by the URI that `devices`
    // listed for it, which names its serial number.
    if (*host && std::strlen(resource) > 1 && std::strstr(resource, "?serial=") && !std::strstr(resource, "..."))
        return "";
    return "no USB printer '" + uri + "' is connected" +
           (list.empty() ? std::string(" (none is)") : "; connected now:" + list) +
           "\n  connect it and switch it on; 'devices' lists the URIs of the printers it can see";
}

} // namespace

// quorvelListDevices: without Avahi, the local printers and a line saying
// why network printers are missing.
int quorvelListDevices(const char* program, bool verbose)
{
    pappl_devtype_t types = PAPPL_DEVTYPE_ALL;
    if (!avahiRunning()) {
        std::fprintf(stderr, "%s: network printers are not listed: finding them needs avahi-daemon, which is "
                             "not running.\n", program);
        types &= ~PAPPL_DEVTYPE_DNS_SD;
    }
    papplDeviceList(types, listDevice, verbose ? const_cast<char*>("v") : nullptr, deviceError,
                    const_cast<char*>(program));
    return 0;
}

// quorvelDeviceProblem: by scheme, whether a device can be there.
std::string quorvelDeviceProblem(const char* device_uri)
{
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    const std::string uri = device_uri ? device_uri : "";
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof scheme, user, sizeof user, host, sizeof host,
                        &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return "'" + uri + "' is not a device URI";
    const std::string s = scheme;
    if (s == "file")
        return fileProblem(uri, resource);
    if (s == "usb")
        return usbProblem(uri, host, resource);
    if (s == "socket" || s == "snmp" || s == "dnssd") {
        if (!*host || std::strstr(host, "..."))
            return "'" + uri + "' names no printer: give its host name or address";
        return "";
    }
    return "'" + uri + "': the printer application has no '" + s +
           "' devices; it drives printers through usb://, socket://, snmp://, dnssd:// and file:// URIs";
}
