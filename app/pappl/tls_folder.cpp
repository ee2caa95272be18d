// PAPPL 1.3.1 (and 1.4) sets its TLS credentials with
// cupsSetServerCredentials(NULL, host, 1), which lets libcups pick the
// folder: ~/.cups/ssl for a user, CUPS's own /etc/cups/ssl for root, where
// a server run as root wrote its key readable by everyone. This stands in
// front of that libcups call, which PAPPL reaches through the dynamic
// linker: with no folder given, the credentials go into the application's
// own folder beside its state (made 0700; the key is 0600, the server's
// mask being 077). The app_access_secrets case (a private server) and the
// access_probes test (the service's user, and root, whose /etc/cups/ssl
// must stay empty) check the key's folder and mode.
#include "tls_folder.h"

#include <cups/cups.h>
#include <sys/stat.h>

#include <mutex>

#include "interpose.h"

namespace {

std::mutex gMutex;   // guards gFolder
std::string gFolder; // "" until the server sets it

} // namespace

void quorvelSetTlsFolder(const std::string& folder)
{
    std::lock_guard<std::mutex> lock(gMutex);
    gFolder = folder;
    mkdir(folder.c_str(), 0700);
    chmod(folder.c_str(), 0700);
}

extern "C" int cupsSetServerCredentials(const char* path, const char* common_name, int auto_create)
{
    static const auto set = nextDefinition("cupsSetServerCredentials", &cupsSetServerCredentials);
    std::string folder;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        folder = gFolder;
    }
    return set(path || folder.empty() ? path : folder.c_str(), common_name, auto_create);
}
