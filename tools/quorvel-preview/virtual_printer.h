// The virtual printer: quorvel-preview --listen takes jobs on a raw TCP port,
// as the printer's network port does, and keeps each one as a folder.
#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

struct ListenOptions {
    std::string address = "localhost";  // where to listen; every address the name has
    std::string port;                   // a number or a service name; 0 lets the system pick
    std::string dir;                    // DIR/job-N/ per job
    std::uint64_t rate = 0;             // bytes a second a connection is read at; 0 as fast as they come
};

// parseListenAddress: "[ADDRESS:]PORT" ("[::1]:9100" for an IPv6 address)
// into opts; false when there is no port.
bool parseListenAddress(const std::string& text, ListenOptions& opts);

// listenForJobs: serve jobs until SIGTERM or SIGINT; the exit status (0
// after a signal, 1 when it cannot listen or cannot make DIR).
int listenForJobs(const ListenOptions& opts);

}  // namespace quorvel
