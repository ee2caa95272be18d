// The sub-commands' side of the command line, read before papplMainloop
// reads it: the arguments parsed as PAPPL parses them, then each check or
// sub-command done here handed to its file (server_client.cpp finds the
// server, option_listing.cpp shows and checks options, device_listing.cpp
// lists and checks devices); everything else goes on to PAPPL.
//
// A sub-command that finds no server says so and stops, instead of
// starting one that nobody stops.
#include "command_line.h"

#include <libgen.h>
#include <pappl/pappl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device_listing.h"
#include "option_listing.h"
#include "server_client.h"
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
    ~Command() { cupsFreeOptions(numOptions, options); }
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

// serverCommand: `server`, except the one server PAPPL starts by itself,
// for a sub-command that found none: never, so that no server runs that
// nobody started.
int serverCommand(const Command& c, int argc, char* argv[])
{
    if (argc == 4 && std::strcmp(argv[2], "-o") == 0 && std::strcmp(argv[3], "private-server=true") == 0) {
        std::fprintf(stderr, "%s: not starting a server for a sub-command; start one yourself.\n", c.name.c_str());
        return 1;
    }
    return -1;
}

// checkArguments: what can be refused before any server is asked (a device
// that cannot be there, a print-darkness that is not a number); 1 then,
// else -1.
int checkArguments(const Command& c, char* argv[])
{
    if (c.sub == "add" && c.hasDevice) {
        const std::string problem = quorvelDeviceProblem(c.deviceUri.c_str());
        if (!problem.empty()) {
            std::fprintf(stderr, "%s: %s.\n", c.name.c_str(), problem.c_str());
            return 1;
        }
    }
    if (c.sub == "submit" && !quorvelClampJobDarkness(c.name.c_str(), c.optionArgs, argv))
        return 1;
    return -1;
}

// noServer: why no server answered, for the person who typed the command.
int noServer(const Command& c)
{
    const char* name = c.name.c_str();
    struct stat info {};
    if (stat(quorvelServiceSocket(name).c_str(), &info) != 0 && errno == EACCES) {
        std::fprintf(stderr, "%s: Only root and group lp may use the service's server: run it with sudo.\n", name);
        return 1;
    }
    std::fprintf(stderr,
                 "%s: No server is running. Start the service with 'sudo systemctl start %s', or a server "
                 "of your own with '%s server &'.\n",
                 name, name, name);
    return 1;
}

// printerCommand: `options` shown, and `modify` checked, from the
// printer's attributes; -1 hands a sound modify on to PAPPL.
int printerCommand(const Command& c, const std::string& socket)
{
    ipp_t* attrs = quorvelPrinterAttributes(c.name, c.printer, socket);
    if (!attrs)
        return 1;
    int status = -1;
    if (c.sub == "options") {
        status = quorvelShowOptions(attrs);
    } else if (const std::string problem = quorvelModifyProblem(c.numOptions, c.options, attrs); !problem.empty()) {
        std::fprintf(stderr, "%s: %s.\n", c.name.c_str(), problem.c_str());
        status = 1;
    }
    ippDelete(attrs);
    return status;
}

} // namespace

// quorvelCommandLine: the checks and sub-commands done here, in the order a
// person meets them.
int quorvelCommandLine(int argc, char* argv[])
{
    Command c;
    if (!parse(argc, argv, c))
        return -1;
    if (c.sub == "server")
        return serverCommand(c, argc, argv);
    if (c.sub == "devices")
        return quorvelListDevices(c.name.c_str(), cupsGetOption("verbose", c.numOptions, c.options) != nullptr);
    if (c.sub == "drivers" || !c.printerUri.empty())
        return -1;
    if (const int status = checkArguments(c, argv); status != -1)
        return status;
    const std::string socket = quorvelFindServer(c.name);
    if (socket.empty())
        return noServer(c);
    if (c.sub == "modify" || c.sub == "options")
        return printerCommand(c, socket);
    return -1;
}
