// Who may do what on the server: printing is open to everyone who reaches
// it; administration needs an administrator; a job belongs to its sender.
#pragma once

#include <pappl/pappl.h>

#include <string>

// How the server was started: the policy's settings.
struct QuorvelAccess {
    std::string adminGroup; // members administer over TCP; empty: a private server
    std::string pamService; // the PAM service that checks their passwords
    bool webRemote = false; // administration from addresses other than loopback
    std::string fileFolder; // file: devices only under this folder; empty: none
};

// quorvelSetAccess: the policy for this server; hooks it into PAPPL.
void quorvelSetAccess(pappl_system_t* system, const QuorvelAccess& access);

// quorvelAdministrator: HTTP_STATUS_CONTINUE when the client's request
// comes from an administrator, else the answer it gets (401, 403, 426).
http_status_t quorvelAdministrator(pappl_client_t* client);

// quorvelIdentify: a client that sent credentials with a print request is
// that user once they check out; false (and the answer sent) when they do
// not.
bool quorvelIdentify(pappl_client_t* client);

// quorvelRequester: who sends the request: the authenticated user, else
// its requesting-user-name, else "guest" (the owner PAPPL gives a job).
std::string quorvelRequester(pappl_client_t* client);

// quorvelIsOwner: whether requester sent job.
bool quorvelIsOwner(const std::string& requester, pappl_job_t* job);

// quorvelOwnsOrAdministers: whether the client may change or see the
// whole of job: its owner or an administrator.
bool quorvelOwnsOrAdministers(pappl_client_t* client, pappl_job_t* job);

// quorvelFileDeviceProblem: why a printer may not have device_uri (a file:
// device outside the folder the server was given), or "".
std::string quorvelFileDeviceProblem(const char* device_uri);

// What others see of a job's private values.
constexpr const char* kQuorvelHidden = "(hidden)";
