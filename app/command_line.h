// The sub-commands as a person types them, before PAPPL's own handling:
// finding the server (the service's too), refusing what would go wrong
// later (a device that cannot exist, a default the printer does not have),
// and listing devices and options the way this printer takes them.
#pragma once

// quorvelCommandLine: handles or checks a command line. Returns an exit
// status when it is done with it, or -1 to hand it (perhaps with some
// -o arguments rewritten in argv) on to papplMainloop.
int quorvelCommandLine(int argc, char* argv[]);
