// The machine's service: where it listens for every user's sub-commands,
// beside the socket PAPPL's main loop makes for the server's own user.
#pragma once

#include <pappl/pappl.h>

#include <string>

// quorvelServiceSocket: where the machine's service listens for the
// sub-commands of every user: /run/NAME/NAME.sock.
std::string quorvelServiceSocket(const char* name);

// quorvelListenAsService: the server also listens on the service's socket.
void quorvelListenAsService(pappl_system_t* system, const char* name);
