// The service's socket for the sub-commands. The service runs as its own
// user with a private /tmp, so the socket PAPPL's main loop makes (in that
// /tmp, or /run for root) is found by nobody else: it also listens in its
// runtime folder, which the sub-commands look in (server_client.cpp).
#include "service_socket.h"

#include <cerrno>
#include <cstring>

// quorvelServiceSocket: /run/NAME/NAME.sock, in the service's runtime folder.
std::string quorvelServiceSocket(const char* name)
{
    return std::string("/run/") + name + "/" + name + ".sock";
}

// quorvelListenAsService: the service's socket beside the server's own.
void quorvelListenAsService(pappl_system_t* system, const char* name)
{
    const std::string socket = quorvelServiceSocket(name);
    if (!papplSystemAddListeners(system, socket.c_str()))
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to listen on '%s' for the sub-commands: %s", socket.c_str(),
                 std::strerror(errno));
}
