// The sub-commands' side of the server: finding the one to talk to (the
// service's too) and asking it for a printer's attributes.
#pragma once

#include <pappl/pappl.h>

#include <string>

// quorvelFindServer: the socket of the server program name's sub-commands
// talk to, or "" when none answers. When it is the service's, PAPPL is
// pointed at it.
std::string quorvelFindServer(const std::string& name);

// quorvelPrinterAttributes: every attribute of printer (the server's
// default one when printer is ""), from the server on socket; nullptr, with
// a message that begins with program, when it cannot be had.
ipp_t* quorvelPrinterAttributes(const std::string& program, const std::string& printer, const std::string& socket);
