// The programs that read documents from the network (Ghostscript, pdfinfo)
// run as renderer processes: started with the least they need, stopped
// whole when told, and never left behind when the server ends.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// RenderProcess: a renderer, the socket its program goes in by (when it
// reads one) and the pipe its output comes through.
struct RenderProcess {
    pid_t pid = -1;
    int in = -1, out = -1;
};

// RenderRequest: what to run and what it gets: its standard input is a
// socket the caller writes (input), else inputFd (a document the caller
// opened), else nothing; its errors go to errPath; tmpDir is its TMPDIR.
struct RenderRequest {
    std::vector<std::string> argv;
    std::string errPath = "/dev/null";
    std::string tmpDir = "/nonexistent";
    bool input = false;
    int inputFd = -1;
};

// renderSpawn: start a renderer. It runs in a process group of its own,
// dies with the server, holds no descriptor of the server's, cannot open a
// network socket, writes no file larger than a megabyte, has CPU and
// memory limits, and runs as an unprivileged user when the server runs as
// root. pid is -1 when it could not be started.
RenderProcess renderSpawn(const RenderRequest& request);

// renderEnd: close the renderer's pipes and reap it, killing it (its whole
// process group) first when stop is set; returns its wait status.
int renderEnd(RenderProcess& process, bool stop);

// renderUser: the user and group renderers run as: the server's own, or
// when the server runs as root the user renderUserName names (nobody by
// default). False when the server runs as root and that user is unknown.
bool renderUser(uid_t& uid, gid_t& gid);

// renderSetUserName: the user renderers run as when the server is root.
void renderSetUserName(const std::string& name);
