// The sub-commands' side of the command line, read before papplMainloop
// reads it (the server's own socket for them is service_socket.cpp).
//
// PAPPL's sub-commands find their server by the caller's user (root: a
// socket in /run; others: one in their own temporary folder, then root's),
// and start a private server of their own when none answers there. The
// service runs as its own user with a private /tmp, so neither place is
// its own: it also listens on /run/quorvel-printer-app/, and a sub-command
// that finds only that socket points PAPPL at it. A sub-command that finds
// no server says so and stops, instead of starting one that nobody stops.
#include "command_line.h"

#include <libgen.h>
#include <pappl/pappl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "option_check.h"
#include "service_socket.h"

namespace {

// What a command line asks for, read as papplMainloop reads it.
struct Command {
    std::string name;                 // program's base name
    std::string sub;                  // sub-command ("submit" when none)
    std::string printer;              // -d
    std::string printerUri;           // -u
    std::string deviceUri;            // -v
    bool hasDevice = false;
    std::vector<int> optionArgs;      // indexes of -o arguments in argv
    int numOptions = 0;
    cups_option_t* options = nullptr; // every -o NAME=VALUE
};

// PAPPL's own sub-commands (papplMainloop's list, the same in 1.3.1 and
// 1.4.11; PAPPL does not export it): the one word among the arguments that
// names what to do.
const char* const kSubCommands[] = {"add",     "autoadd", "cancel", "default",  "delete", "devices",
                                    "drivers", "jobs",    "modify", "options",  "pause",  "printers",
                                    "resume",  "server",  "shutdown", "status", "submit"};

// parse: the command line, or false when PAPPL should report what is wrong.
bool parse(int argc, char* argv[], Command& c)
{
    std::vector<char> nameCopy(argv[0], argv[0] + std::strlen(argv[0]) + 1);
    c.name = basename(nameCopy.data());
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) {
            ++i;
            continue;
        }
        if (std::strncmp(arg, "--", 2) == 0)
            return false;
        if (arg[0] == '-' && arg[1]) {
            if (std::strchr("dhjmnotuv", arg[1]) == nullptr)
                continue;
            if (++i >= argc)
                return false;
            switch (arg[1]) {
            case 'd': c.printer = argv[i]; break;
            case 'u': c.printerUri = argv[i]; break;
            case 'v': c.deviceUri = argv[i], c.hasDevice = true; break;
            case 'o':
                c.optionArgs.push_back(i);
                c.numOptions = cupsParseOptions(argv[i], c.numOptions, &c.options);
                break;
            default: break;
            }
            continue;
        }
        for (const char* s : kSubCommands)
            if (std::strcmp(arg, s) == 0) {
                if (!c.sub.empty())
                    return false;
                c.sub = arg;
            }
    }
    if (c.sub.empty())
        c.sub = "submit";
    return true;
}

// answers: whether a server takes connections on the socket path.
bool answers(const std::string& path)
{
    http_t* http = httpConnect2(path.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 5000, nullptr);
    if (!http)
        return false;
    httpClose(http);
    return true;
}

// rootSocket: where PAPPL looks for root's server.
std::string rootSocket(const std::string& name)
{
    if (const char* snap = std::getenv("SNAP_COMMON"))
        return std::string(snap) + "/" + name + ".sock";
    return "/run/" + name + ".sock";
}

// findServer: the socket of the server the sub-command will talk to, or "".
// When it is the service's, PAPPL is pointed at it: it looks for root's
// server in SNAP_COMMON when that is set.
std::string findServer(const std::string& name)
{
    if (getuid() != 0) {
        const std::string own = std::string(papplGetTempDir()) + "/" + name + std::to_string(getuid()) + ".sock";
        if (answers(own))
            return own;
    }
    const std::string root = rootSocket(name);
    if (answers(root))
        return root;
    const std::string service = quorvelServiceSocket(name.c_str());
    if (answers(service)) {
        const std::string folder = service.substr(0, service.rfind('/'));
        setenv("SNAP_COMMON", folder.c_str(), 1);
        return service;
    }
    return "";
}

// printerResource: a printer's resource path, as PAPPL's sub-commands make it.
std::string printerResource(const std::string& printer)
{
    std::string resource = "/ipp/print/";
    for (char ch : printer) {
        const bool odd = static_cast<unsigned char>(ch) <= ' ' || std::strchr("\177/\\'\"?#", ch);
        if (!odd)
            resource += ch;
        else if (resource.back() != '_')
            resource += '_';
    }
    if (resource.back() == '_' && resource.size() > 11)
        resource.pop_back();
    return resource;
}

// defaultPrinter: the server's default printer, or "".
std::string defaultPrinter(http_t* http)
{
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_DEFAULT);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "printer-name");
    ipp_t* response = cupsDoRequest(http, request, "/ipp/system");
    const char* name = ippGetString(ippFindAttribute(response, "printer-name", IPP_TAG_NAME), 0, nullptr);
    std::string result = name ? name : "";
    ippDelete(response);
    return result;
}

// printerAttributes: every attribute of the command's printer (-d, else the
// default one), or nullptr with a message.
ipp_t* printerAttributes(const Command& c, const std::string& socket)
{
    http_t* http = httpConnect2(socket.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
    if (!http) {
        std::fprintf(stderr, "%s: Unable to connect to the server: %s\n", c.name.c_str(), cupsLastErrorString());
        return nullptr;
    }
    const std::string printer = c.printer.empty() ? defaultPrinter(http) : c.printer;
    if (printer.empty()) {
        std::fprintf(stderr, "%s: No default printer available.\n", c.name.c_str());
        httpClose(http);
        return nullptr;
    }
    const std::string resource = printerResource(printer);
    char uri[1024];
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, resource.c_str());
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ipp_t* response = cupsDoRequest(http, request, resource.c_str());
    httpClose(http);
    if (cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
        std::fprintf(stderr, "%s: Unable to get the printer's options: %s\n", c.name.c_str(), cupsLastErrorString());
        ippDelete(response);
        return nullptr;
    }
    return response;
}

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
    const char* name;      // as given to modify -o
    const char* supported; // the xxx-supported attribute its values come from
    Kind kind;
};
const Default kDefaults[] = {
    {"media-ready", "media", Kind::SizeList},
    {"printer-darkness-configured", "printer-darkness", Kind::Darkness},
    {"print-darkness-default", "print-darkness", Kind::Offset},
    {"paper-weight-default", "paper-weight", Kind::Keyword},
    {"manual-duplex-default", "manual-duplex", Kind::Keyword},
    {"print-color-mode-default", "print-color-mode", Kind::Keyword},
    {"print-quality-default", "print-quality", Kind::Enum},
};
// (PAPPL 1.3 takes orientation-requested-default but never stores it, and
// refuses sides-default and print-scaling-default over IPP: the web page
// sets those.)

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

// defaultProblem: why modify cannot set d to value on this printer, or "".
std::string defaultProblem(const Default& d, const char* value, ipp_t* attrs)
{
    ipp_attribute_t* supported =
        ippFindAttribute(attrs, (std::string(d.supported) + "-supported").c_str(), IPP_TAG_ZERO);
    const std::string given = std::string(d.name) + "=" + value;
    int n = 0;
    switch (d.kind) {
    case Kind::Darkness:
        if (!wholeNumber(value, &n))
            return given + " is not a number; the printer takes " +
                   quorvelDarknessSteps(ippGetInteger(supported, 0));
        return quorvelDarknessProblem(n, ippGetInteger(supported, 0));
    case Kind::Offset:
        return wholeNumber(value, &n) && n >= -100 && n <= 100 ? "" : given + " is not a number from -100 to 100";
    case Kind::SizeList: {
        const std::string list = value;
        for (std::size_t start = 0; start <= list.size();) {
            std::size_t end = list.find(',', start);
            if (end == std::string::npos)
                end = list.size();
            const std::string size = list.substr(start, end - start);
            if (!inList(supported, size) || size.rfind("custom_", 0) == 0)
                return given + ": " + size + " is not a size the printer has; it takes " +
                       choices(attrs, "media", "");
            start = end + 1;
        }
        return "";
    }
    case Kind::Keyword:
    case Kind::Enum:
        return inList(supported, value) ? ""
                                        : given + " is not a value the printer has; it takes " +
                                              choices(attrs, d.supported, "");
    }
    return "";
}

// modifyProblem: why modify's -o options cannot all be set, or "".
std::string modifyProblem(const Command& c, ipp_t* attrs)
{
    for (int i = 0; i < c.numOptions; ++i) {
        const Default* known = nullptr;
        for (const Default& d : kDefaults)
            if (std::strcmp(c.options[i].name, d.name) == 0)
                known = &d;
        if (!known)
            return std::string("modify does not change '") + c.options[i].name +
                   "'; 'options' lists the printer defaults it changes, the web page has the rest";
        const std::string problem = defaultProblem(*known, c.options[i].value, attrs);
        if (!problem.empty())
            return problem;
    }
    return "";
}

// showOptions: what submit and modify take on this printer, with the
// printer's current defaults.
int showOptions(const Command& c, ipp_t* attrs)
{
    std::printf("Print job options (submit -o NAME=VALUE):\n"
                "  -n COPIES (1 to 9999)\n");
    const char* const job[] = {"media", "orientation-requested", "print-color-mode", "print-content-optimize",
                               "print-quality", "print-scaling", "sides", "paper-weight", "manual-duplex"};
    for (const char* name : job)
        std::printf("  -o %s=%s\n", name, choices(attrs, name, (std::string(name) + "-default").c_str(), " (default)").c_str());
    std::printf("  -o print-darkness=-100 to 100 (added to the printer's darkness; beyond, the nearest)\n"
                "  -o page-ranges=FIRST-LAST\n"
                "\nPrinter defaults (modify -o NAME=VALUE):\n");
    for (const Default& d : kDefaults) {
        std::string list;
        if (d.kind == Kind::Darkness) {
            ipp_attribute_t* now = ippFindAttribute(attrs, "printer-darkness-configured", IPP_TAG_INTEGER);
            list = quorvelDarknessSteps(ippGetInteger(ippFindAttribute(attrs, "printer-darkness-supported",
                                                                       IPP_TAG_INTEGER), 0)) +
                   (now ? " (now " + std::to_string(ippGetInteger(now, 0)) + ")" : "");
        } else if (d.kind == Kind::Offset) {
            ipp_attribute_t* now = ippFindAttribute(attrs, "print-darkness-default", IPP_TAG_INTEGER);
            list = "-100 to 100" + (now ? " (now " + std::to_string(ippGetInteger(now, 0)) + ")" : std::string());
        } else if (d.kind == Kind::SizeList) {
            list = "SIZE[,SIZE] loaded, the first is the default: " + choices(attrs, "media", "media-ready");
        } else {
            list = choices(attrs, d.supported, d.name);
        }
        std::printf("  -o %s=%s\n", d.name, list.c_str());
    }
    (void)c;
    return 0;
}

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

// listDevices: the printers this machine can see; without Avahi, the local
// ones and a line saying why network printers are missing.
int listDevices(const Command& c)
{
    pappl_devtype_t types = PAPPL_DEVTYPE_ALL;
    if (!avahiRunning()) {
        std::fprintf(stderr, "%s: network printers are not listed: finding them needs avahi-daemon, which is "
                             "not running.\n", c.name.c_str());
        types &= ~PAPPL_DEVTYPE_DNS_SD;
    }
    void* verbose = cupsGetOption("verbose", c.numOptions, c.options) ? const_cast<char*>("v") : nullptr;
    papplDeviceList(types, listDevice, verbose, deviceError, const_cast<char*>(c.name.c_str()));
    return 0;
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

// clampJobDarkness: submit's print-darkness brought into -100 to 100 in
// argv (PAPPL's submit drops a value outside it); false with a message
// when it is not a number.
bool clampJobDarkness(const Command& c, char* argv[])
{
    static std::vector<std::string> rewritten; // argv points into it until exit
    rewritten.reserve(c.optionArgs.size());
    for (int index : c.optionArgs) {
        cups_option_t* opts = nullptr;
        const int n = cupsParseOptions(argv[index], 0, &opts);
        const char* value = cupsGetOption("print-darkness", n, opts);
        int clamped = 0;
        bool ok = true;
        if (value && !quorvelClampDarkness(value, &clamped)) {
            std::fprintf(stderr, "%s: print-darkness=%s is not a number from -100 to 100.\n", c.name.c_str(), value);
            ok = false;
        } else if (value && std::to_string(clamped) != value) {
            std::fprintf(stderr, "%s: print-darkness=%s is beyond -100 to 100; printing with %d.\n", c.name.c_str(),
                         value, clamped);
            std::string joined;
            for (int i = 0; i < n; ++i) {
                std::string v = std::strcmp(opts[i].name, "print-darkness") == 0 ? std::to_string(clamped)
                                                                                   : opts[i].value;
                std::string escaped;
                for (char ch : v) {
                    if (ch == ' ' || ch == '\t' || ch == '\\' || ch == '"' || ch == '\'')
                        escaped += '\\';
                    escaped += ch;
                }
                joined += (i ? " " : "") + std::string(opts[i].name) + "=" + escaped;
            }
            rewritten.push_back(joined);
            argv[index] = &rewritten.back()[0];
        }
        cupsFreeOptions(n, opts);
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

// quorvelClampDarkness: a whole number brought into -100 to 100.
bool quorvelClampDarkness(const char* value, int* clamped)
{
    int n = 0;
    if (!value || !wholeNumber(value, &n))
        return false;
    *clamped = n < -100 ? -100 : n > 100 ? 100 : n;
    return true;
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
    if (s == "file") {
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
    if (s == "usb") {
        const std::vector<std::string> connected = usbDevices();
        std::string list;
        for (const std::string& d : connected) {
            if (d == uri)
                return "";
            list += "\n  " + d;
        }
        // A printer switched off now is added by the URI that `devices`
        // listed for it, which names its serial number.
        if (*host && std::strlen(resource) > 1 && std::strstr(resource, "?serial=") &&
            !std::strstr(resource, "..."))
            return "";
        return "no USB printer '" + uri + "' is connected" +
               (list.empty() ? std::string(" (none is)") : "; connected now:" + list) +
               "\n  connect it and switch it on; 'devices' lists the URIs of the printers it can see";
    }
    if (s == "socket" || s == "snmp" || s == "dnssd") {
        if (!*host || std::strstr(host, "..."))
            return "'" + uri + "' names no printer: give its host name or address";
        return "";
    }
    return "'" + uri + "': the printer application has no '" + s +
           "' devices; it drives printers through usb://, socket://, snmp://, dnssd:// and file:// URIs";
}

// quorvelCommandLine: the checks and sub-commands done here, in the order a
// person meets them.
int quorvelCommandLine(int argc, char* argv[])
{
    Command c;
    if (!parse(argc, argv, c))
        return -1;
    struct Done {
        Command& c;
        ~Done() { cupsFreeOptions(c.numOptions, c.options); }
    } done{c};
    const char* name = c.name.c_str();

    if (c.sub == "server") {
        // The one server PAPPL starts by itself, for a sub-command that
        // found none: never, so that no server runs that nobody started.
        if (argc == 4 && std::strcmp(argv[2], "-o") == 0 && std::strcmp(argv[3], "private-server=true") == 0) {
            std::fprintf(stderr, "%s: not starting a server for a sub-command; start one yourself.\n", name);
            return 1;
        }
        return -1;
    }
    if (c.sub == "devices")
        return listDevices(c);
    if (c.sub == "drivers" || !c.printerUri.empty())
        return -1;

    if (c.sub == "add" && c.hasDevice) {
        const std::string problem = quorvelDeviceProblem(c.deviceUri.c_str());
        if (!problem.empty()) {
            std::fprintf(stderr, "%s: %s.\n", name, problem.c_str());
            return 1;
        }
    }
    if (c.sub == "submit" && !clampJobDarkness(c, argv))
        return 1;

    const std::string socket = findServer(c.name);
    struct stat info {};
    if (socket.empty() && stat(quorvelServiceSocket(name).c_str(), &info) != 0 && errno == EACCES) {
        std::fprintf(stderr, "%s: Only root and group lp may use the service's server: run it with sudo.\n", name);
        return 1;
    }
    if (socket.empty()) {
        std::fprintf(stderr,
                     "%s: No server is running. Start the service with 'sudo systemctl start %s', or a server "
                     "of your own with '%s server &'.\n",
                     name, name, name);
        return 1;
    }
    if (c.sub == "modify" || c.sub == "options") {
        ipp_t* attrs = printerAttributes(c, socket);
        if (!attrs)
            return 1;
        int status = -1;
        if (c.sub == "options") {
            status = showOptions(c, attrs);
        } else if (const std::string problem = modifyProblem(c, attrs); !problem.empty()) {
            std::fprintf(stderr, "%s: %s.\n", name, problem.c_str());
            status = 1;
        }
        ippDelete(attrs);
        return status;
    }
    return -1;
}
