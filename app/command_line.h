// The sub-commands as a person types them, before PAPPL's own handling:
// finding the server (the service's too), refusing what would go wrong
// later (a device that cannot exist, a default the printer does not have),
// and listing devices and options the way this printer takes them.
#pragma once

#include <pappl/pappl.h>

#include <string>

// quorvelCommandLine: handles or checks a command line. Returns an exit
// status when it is done with it, or -1 to hand it (perhaps with some
// -o arguments rewritten in argv) on to papplMainloop.
int quorvelCommandLine(int argc, char* argv[]);

// quorvelServiceSocket: where the machine's service listens for the
// sub-commands of every user: /run/NAME/NAME.sock.
std::string quorvelServiceSocket(const char* name);

// quorvelListenAsService: the server also listens on the service's socket.
void quorvelListenAsService(pappl_system_t* system, const char* name);

// quorvelDeviceProblem: why a printer on device_uri could never print, or
// "" when the device exists or can exist.
std::string quorvelDeviceProblem(const char* device_uri);

// quorvelClampDarkness: a job's print-darkness brought into -100 to 100;
// false when value is not a whole number.
bool quorvelClampDarkness(const char* value, int* clamped);
