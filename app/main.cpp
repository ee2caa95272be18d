// quorvel-printer-app: an IPP Everywhere printer application for Quorvel
// printers. papplMainloop gives it the usual sub-commands; this file makes
// the system object, because the PDF filter has to be registered before the
// system runs.
#include <pappl/pappl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "access.h"
#include "appearance.h"
#include "command_line.h"
#include "document_check.h"
#include "driver.h"
#include "document_filters.h"
#include "option_check.h"
#include "pappl/layer.h"
#include "pappl/shutdown.h"
#include "pappl/state_save.h"
#include "pappl/tls_folder.h"
#include "pdf_filter.h"
#include "print_job.h"
#include "printer_vocabulary.h"
#include "renderer_process.h"
#include "service_socket.h"

namespace {

constexpr const char* kName = "quorvel-printer-app";

// serverOptions: PAPPL's server-options keywords on top of our defaults:
// several printers, the web interface with its log page. Administration
// answers loopback (and the sub-commands' socket) only unless web-remote
// is given (access.cpp); printing is open to everyone who can reach the
// printer. No Security page: its access password is not what logs an
// administrator in (their own account is), so it is never offered.
pappl_soptions_t serverOptions(const char* value)
{
    pappl_soptions_t soptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE |
                                PAPPL_SOPTIONS_WEB_LOG;
    static const struct {
        const char* name;
        pappl_soptions_t set, clear;
    } kWords[] = {
        {"none", 0, ~0u},
        {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, 0},
        {"no-multi-queue", 0, PAPPL_SOPTIONS_MULTI_QUEUE},
        {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, 0},
        {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER, 0},
        {"no-web-interface", 0, PAPPL_SOPTIONS_WEB_INTERFACE},
        {"web-log", PAPPL_SOPTIONS_WEB_LOG, 0},
        {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, 0},
        {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, 0},
        {"web-tls", PAPPL_SOPTIONS_WEB_TLS, 0},
        {"no-tls", PAPPL_SOPTIONS_NO_TLS, 0},
    };
    std::string list = value ? value : "";
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string word = list.substr(start, end - start);
        bool known = false;
        for (const auto& w : kWords)
            if (word == w.name) {
                soptions = (soptions & ~w.clear) | w.set;
                known = true;
            }
        if (!known && word == "web-security")
            std::fprintf(stderr, "%s: ignoring 'web-security': administrators log in with their own account\n",
                         kName);
        else if (!known)
            std::fprintf(stderr, "%s: ignoring unknown server option '%s'\n", kName, word.c_str());
        start = end + 1;
    }
    return soptions;
}

// logLevel: PAPPL's log-level keywords; warnings and worse by default.
pappl_loglevel_t logLevel(const char* value)
{
    static const struct {
        const char* name;
        pappl_loglevel_t level;
    } kLevels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL}, {"error", PAPPL_LOGLEVEL_ERROR},
                   {"warn", PAPPL_LOGLEVEL_WARN},   {"info", PAPPL_LOGLEVEL_INFO},
                   {"debug", PAPPL_LOGLEVEL_DEBUG}};
    for (const auto& l : kLevels)
        if (value && std::strcmp(value, l.name) == 0)
            return l.level;
    return PAPPL_LOGLEVEL_WARN;
}

// spoolDirectory: where jobs are spooled unless spool-directory says: the
// snap's area, the system spool for root, else the user's configuration.
std::string spoolDirectory(const char* option)
{
    if (option)
        return option;
    if (const char* snap = std::getenv("SNAP_COMMON"))
        return std::string(snap) + "/" + kName + ".d";
    if (getuid() == 0)
        return std::string("/var/spool/") + kName;
    if (const char* home = std::getenv("HOME"))
        return std::string(home) + "/.config/" + kName + ".d";
    return std::string(papplGetTempDir()) + "/" + kName + std::to_string(getuid()) + ".d";
}

// tlsFolder: where the server keeps its TLS credentials: beside its state
// file (where PAPPL's main loop puts that), never in CUPS's own folder.
std::string tlsFolder()
{
    std::string folder;
    if (const char* snap = std::getenv("SNAP_COMMON"))
        folder = snap;
    else if (getuid() == 0)
        folder = "/var/lib";
    else if (const char* config = std::getenv("XDG_CONFIG_HOME"))
        folder = config;
    else if (const char* home = std::getenv("HOME"))
        folder = std::string(home) + "/.config";
    else
        folder = std::string(papplGetTempDir()) + "/" + kName + std::to_string(getuid());
    return folder + "/" + kName + ".tls";
}

// stateFile: where the server keeps its state, where PAPPL's main loop
// would keep it: the snap's area, /var/lib for root, the user's
// configuration, else the temporary folder.
std::string stateFile()
{
    const char* snap = std::getenv("SNAP_COMMON");
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    const std::string name = std::string(kName) + ".state";
    if (snap) {
        if (access(snap, X_OK) == 0)
            return std::string(snap) + "/" + name;
    } else if (getuid() == 0) {
        if (mkdir("/var/lib", 0777) == 0 || errno == EEXIST)
            return "/var/lib/" + name;
    } else if (config) {
        if (access(config, X_OK) == 0)
            return std::string(config) + "/" + name;
    } else if (home) {
        const std::string folder = std::string(home) + "/.config";
        if (mkdir(folder.c_str(), 0777) == 0 || errno == EEXIST)
            return folder + "/" + name;
    }
    return std::string(papplGetTempDir()) + "/" + kName + std::to_string(getuid()) + ".state";
}

// makeParents: the folders above path, so that PAPPL can make the spool
// folder itself (a new user may have no ~/.config yet).
void makeParents(const std::string& path)
{
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0700);
}

// Option: a server option's value, or nullptr when none was given.
using Option = std::function<const char*(const char*)>;

// setRendering: the renderers' time limit and user; false, having said
// why, when they cannot be used.
bool setRendering(const Option& option)
{
    if (const char* value = option("render-time-limit")) {
        char* end = nullptr;
        const long seconds = std::strtol(value, &end, 10);
        if (!std::isdigit(static_cast<unsigned char>(*value)) || *end || seconds < 1 || seconds > 86400) {
            std::fprintf(stderr, "%s: Bad 'render-time-limit' value (seconds, 1 to 86400).\n", kName);
            return false;
        }
        quorvelSetRenderTimeLimit(static_cast<int>(seconds));
    }
    if (const char* user = option("render-user"))
        renderSetUserName(user);
    uid_t renderUid;
    gid_t renderGid;
    if (!renderUser(renderUid, renderGid)) {
        std::fprintf(stderr, "%s: No user to render documents as: 'render-user' must name a user other than root.\n",
                     kName);
        return false;
    }
    return true;
}

// setAccess: who administers (admin-group, the service's lpadmin) and
// where file: devices may go.
void setAccess(pappl_system_t* system, const Option& option, pappl_soptions_t soptions)
{
    QuorvelAccess access;
    const char* group = option("admin-group");
    if (!group && option("service"))
        group = "lpadmin";
    if (group && *group) {
        access.adminGroup = group;
        const char* pam = option("auth-service");
        access.pamService = pam ? pam : kName;
        papplSystemSetAdminGroup(system, group);
    }
    access.webRemote = (soptions & PAPPL_SOPTIONS_WEB_REMOTE) != 0;
    if (const char* folder = option("file-devices"))
        access.fileFolder = folder;
    quorvelSetAccess(system, access);
}

// setIdentity: the name and version the web interface and IPP show.
void setIdentity(pappl_system_t* system)
{
    // Every page of the web interface ends with the footer; PAPPL 1.3
    // crashes drawing a page when none is set.
    papplSystemSetFooterHTML(system, (std::string(kAppTitle) + " " + kAppVersion).c_str());
    pappl_version_t version = {};
    std::snprintf(version.name, sizeof version.name, "%s", kName);
    std::snprintf(version.sversion, sizeof version.sversion, "%s", kAppVersion);
    std::sscanf(kAppVersion, "%hu.%hu.%hu", &version.version[0], &version.version[1], &version.version[2]);
    papplSystemSetVersions(system, 1, &version);
}

// loadState: the printers and settings saved last time. The state is saved
// once the printers are quiet (state_save.h), so the save callback is ours
// and papplMainloop leaves loading to us.
void loadState(pappl_system_t* system)
{
    static const std::string state = stateFile();
    const bool loaded = papplSystemLoadState(system, state.c_str());
    quorvelSaveWhenQuiet(system, state);
#if QUORVEL_PAPPL_VERSION >= 10400
    // As papplMainloop does on a first start: the printers connected here.
    if (!loaded)
        papplSystemCreatePrinters(system, PAPPL_DEVTYPE_LOCAL, nullptr, nullptr);
#else
    (void)loaded;
#endif
}

// makeSystem: the system object for the server sub-command, honouring the
// server options users pass with -o, with its state loaded. papplMainloop
// adds the local socket and runs it.
pappl_system_t* makeSystem(int num_options, cups_option_t* options, void*)
{
    const Option option = [&](const char* name) { return cupsGetOption(name, num_options, options); };

    int port = 0;
    if (const char* value = option("server-port")) {
        if (!std::isdigit(static_cast<unsigned char>(*value))) {
            std::fprintf(stderr, "%s: Bad 'server-port' value.\n", kName);
            return nullptr;
        }
        port = std::atoi(value);
    }
    if (!setRendering(option))
        return nullptr;
    const std::string spool = spoolDirectory(option("spool-directory"));
    makeParents(spool);
    const char* logFile = option("log-file");
    const char* systemName = option("system-name");
    const pappl_soptions_t soptions = serverOptions(option("server-options"));

    // What the server writes is its own: the state file (with its
    // settings), the TLS key, the spool. The sub-commands' socket is made
    // for everyone who reaches its folder whatever the mask.
    umask(077);
    quorvelSetTlsFolder(tlsFolder());

    // PAPPL is given no auth service: the policy checks passwords itself
    // (access.cpp), so that printing never asks for one.
    pappl_system_t* system = papplSystemCreate(
        soptions, systemName ? systemName : kAppTitle, port, "_print,_universal", spool.c_str(),
        logFile ? logFile : "-", logLevel(option("log-level")), nullptr, false);
    if (!system)
        return nullptr;

    setAccess(system, option, soptions);
    // A private server (one that a sub-command started for itself) is only
    // reached through the local socket.
    if (!option("private-server"))
        papplSystemAddListeners(system, option("listen-hostname"));
    papplSystemSetHostName(system, option("server-hostname"));
    setIdentity(system);
    quorvelSetDrivers(system);
    quorvelAddFilters(system);
    quorvelStopWatch(system);
    quorvelAddResources(system);
    if (option("service"))
        quorvelListenAsService(system, kName);
    loadState(system);
    return system;
}

// layerHooksOfApp: what the stand-ins for PAPPL's faults ask of the application.
LayerHooks layerHooksOfApp()
{
    LayerHooks h;
    h.jobsPrinting = appJobsRunning;
    h.eachPrintingJob = appJobsEach;
    h.noteStop = quorvelNoteStop;
    h.stopping = quorvelStopping;
    for (const DocumentFormat& format : kDocumentFormats)
        h.formats.push_back({format.mime, format.shortName});
    h.formatsInWords = quorvelFormatList();
    h.detectFormat = documentFormat;
    h.isRaster = isRasterFormat;
    h.keywordProblem = quorvelKeywordProblem;
    h.defaultsProblem = quorvelDefaultsProblem;
    h.identify = quorvelIdentify;
    h.administrator = quorvelAdministrator;
    h.requester = quorvelRequester;
    h.isOwner = quorvelIsOwner;
    h.ownsOrAdministers = quorvelOwnsOrAdministers;
    h.deviceProblem = quorvelFileDeviceProblem;
    h.hidden = kQuorvelHidden;
    return h;
}

// usage: what the program is, then PAPPL's sub-commands.
void usage(void*)
{
    std::printf(
        "Usage: %s SUB-COMMAND [OPTIONS] [FILES]\n"
        "\n"
        "A printer application for Quorvel monochrome printers: phones, tablets and\n"
        "computers print to it as to any IPP Everywhere printer; it renders what it\n"
        "receives (%s)\n"
        "and drives the printer over USB or the network.\n"
        "\n"
        "Sub-commands:\n"
        "  server                       Run the server (web interface, IPP, DNS-SD).\n"
        "  add PRINTER -d -v URI -m quorvel   Add a printer.\n"
        "  delete -d PRINTER            Delete a printer.\n"
        "  modify -d PRINTER -o NAME=VALUE    Change a printer's defaults.\n"
        "  printers | devices | drivers | jobs | status | options  List things.\n"
        "  default [-d PRINTER]         Show or set the default printer.\n"
        "  submit [-d PRINTER] [-o NAME=VALUE] FILE   Print a file.\n"
        "  cancel [-d PRINTER] [-j JOB-ID|-a]   Cancel jobs.\n"
        "  shutdown                     Stop the server.\n"
        "\n"
        "Options:\n"
        "  --help  --version  -d PRINTER  -j JOB-ID  -m DRIVER  -n COPIES\n"
        "  -o NAME=VALUE  -u URI  -v DEVICE-URI\n"
        "Server options (-o with 'server'): server-port=N, listen-hostname=NAME,\n"
        "  server-hostname=NAME, server-options=LIST, spool-directory=DIR,\n"
        "  log-file=FILE, log-level=fatal|error|warn|info|debug, file-devices=FOLDER\n"
        "  (file: devices only under it; none without), admin-group=GROUP (its members\n"
        "  administer with their own password; none: loopback administers),\n"
        "  auth-service=PAM-SERVICE (checks those passwords; default %s),\n"
        "  service=true (also listen on %s for every user's sub-commands, as\n"
        "  the system service does; admin-group defaults to lpadmin),\n"
        "  render-time-limit=SECONDS (the longest a PDF page may take to render,\n"
        "  default 60), render-user=USER (who renders documents when the server runs\n"
        "  as root, default nobody).\n",
        kName, quorvelFormatList().c_str(), kName, quorvelServiceSocket(kName).c_str());
}

} // namespace

int main(int argc, char* argv[])
{
    // The stand-ins in pappl/ hand on to PAPPL's own functions: without
    // one of those nothing starts, rather than a job failing silently.
    layerSetHooks(layerHooksOfApp());
    const std::string problem = layerProblem(layerMissing());
    if (!problem.empty()) {
        std::fprintf(stderr, "%s: %s.\n", kName, problem.c_str());
        return 1;
    }
    const int status = quorvelCommandLine(argc, argv);
    if (status >= 0)
        return status;
    return papplMainloop(argc, argv, kAppVersion, nullptr, quorvelDriverCount(), quorvelDrivers(),
                         quorvelAutoAdd, quorvelDriverCallback, nullptr, nullptr, makeSystem, usage,
                         nullptr);
}
