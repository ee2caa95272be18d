// Finding the server a sub-command talks to, and asking it for a printer's
// attributes.
//
// PAPPL's sub-commands find their server by the caller's user (root: a
// socket in /run; others: one in their own temporary folder, then root's),
// and start a private server of their own when none answers there. The
// service runs as its own user with a private /tmp, so neither place is
// its own: it also listens on /run/quorvel-printer-app/
// (service_socket.cpp), and a sub-command that finds only that socket
// points PAPPL at it.
#include "server_client.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service_socket.h"

namespace {

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

} // namespace

// quorvelFindServer: the caller's own server, root's, then the service's.
// PAPPL looks for root's server in SNAP_COMMON when that is set, so that
// is where it is told the service's is.
std::string quorvelFindServer(const std::string& name)
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

// quorvelPrinterAttributes: one Get-Printer-Attributes, as PAPPL's own
// sub-commands ask it.
ipp_t* quorvelPrinterAttributes(const std::string& program, const std::string& printer, const std::string& socket)
{
    http_t* http = httpConnect2(socket.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
    if (!http) {
        std::fprintf(stderr, "%s: Unable to connect to the server: %s\n", program.c_str(), cupsLastErrorString());
        return nullptr;
    }
    const std::string name = printer.empty() ? defaultPrinter(http) : printer;
    if (name.empty()) {
        std::fprintf(stderr, "%s: No default printer available.\n", program.c_str());
        httpClose(http);
        return nullptr;
    }
    const std::string resource = printerResource(name);
    char uri[1024];
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, resource.c_str());
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ipp_t* response = cupsDoRequest(http, request, resource.c_str());
    httpClose(http);
    if (cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
        std::fprintf(stderr, "%s: Unable to get the printer's options: %s\n", program.c_str(), cupsLastErrorString());
        ippDelete(response);
        return nullptr;
    }
    return response;
}
