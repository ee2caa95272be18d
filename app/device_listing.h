// Devices for the sub-commands: the ones `devices` lists, and whether the
// device `add` is given can be there at all.
#pragma once

#include <string>

// quorvelListDevices: the printers this machine can see, one URI a line
// (with their descriptions and IDs when verbose), as PAPPL lists them;
// messages begin with program. Returns the exit status.
int quorvelListDevices(const char* program, bool verbose);

// quorvelDeviceProblem: why a printer on device_uri could never print, or
// "" when the device exists or can exist.
std::string quorvelDeviceProblem(const char* device_uri);
