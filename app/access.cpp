// The server's access policy, as CUPS's default one on Debian: printing is
// open to everyone who can reach the printer, over ipp:// and ipps://, with
// no login; administration (every page or form that changes something, the
// log, the IPP administration operations) needs an administrator; a job
// belongs to the user who sent it, and only its owner or an administrator
// changes it or sees its name.
//
// An administrator is
// - whoever reaches the sub-commands' UNIX-domain socket (its folder's
//   permissions decide who that is);
// - on a private server (no admin group: the demo, the tests, a server a
//   user starts from a shell), whoever connects over loopback; nobody from
//   another address;
// - on the service (an admin group), a member of that group who gives
//   their own login password, checked with PAM, by HTTP Basic
//   authentication: over loopback plain HTTP may carry it, from any other
//   address only TLS, and only when the server was started with
//   server-options=web-remote.
//
// PAPPL asks papplSystemSetAuthCallback's callback for every
// administration request over TCP that it does not answer itself (it
// answers a plain-HTTP one from another address with 426, or a redirect to
// https://); the stand-ins in pappl/access_hooks.cpp keep printing open
// and jobs their owners'.
#include "access.h"

#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The policy the server was started with.
QuorvelAccess gAccess;

// One client's last answer, so that one request (or a connection that
// sends the same credentials again) runs PAM once: PAPPL serves each
// client on a thread of its own.
struct Verdict {
    pappl_client_t* client = nullptr;
    std::string authorization; // the Authorization header it was given for
    http_status_t status = HTTP_STATUS_NONE;
    std::string user;          // who the credentials proved, "" if none
};
thread_local Verdict tVerdict;

// Credentials from an Authorization header.
struct Credentials {
    std::string user, password;
};

// basicCredentials: the user and password of a Basic Authorization value.
bool basicCredentials(const char* authorization, Credentials& c)
{
    if (!authorization || std::strncmp(authorization, "Basic ", 6) != 0)
        return false;
    const char* in = authorization + 6;
    while (*in == ' ')
        ++in;
    std::vector<char> out(std::strlen(in) + 4);
    int length = static_cast<int>(out.size()) - 1;
    if (!httpDecode64_2(out.data(), &length, in))
        return false;
    const std::string text(out.data(), static_cast<std::size_t>(length));
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    c.user = text.substr(0, colon);
    c.password = text.substr(colon + 1);
    return true;
}

// answerPam: PAM's questions; the password for hidden ones, the user name
// for the others.
int answerPam(int count, const pam_message** messages, pam_response** responses, void* data)
{
    const auto* c = static_cast<const Credentials*>(data);
    auto* replies = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (!replies)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF)
            replies[i].resp = strdup(c->password.c_str());
        else if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON)
            replies[i].resp = strdup(c->user.c_str());
    }
    *responses = replies;
    return PAM_SUCCESS;
}

// passwordChecks: whether PAM's service takes the user's password and
// account.
bool passwordChecks(pappl_client_t* client, const Credentials& c)
{
    if (gAccess.pamService.empty())
        return false;
    pam_conv conv = {answerPam, const_cast<Credentials*>(&c)};
    pam_handle_t* pamh = nullptr;
    int status = pam_start(gAccess.pamService.c_str(), c.user.c_str(), &conv, &pamh);
    if (status == PAM_SUCCESS)
        status = pam_set_item(pamh, PAM_RHOST, papplClientGetHostName(client));
    if (status == PAM_SUCCESS)
        status = pam_authenticate(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS)
        status = pam_acct_mgmt(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status != PAM_SUCCESS)
        papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Login of '%s' refused: %s", c.user.c_str(),
                       pam_strerror(pamh, status));
    if (pamh)
        pam_end(pamh, status);
    return status == PAM_SUCCESS;
}

// inAdminGroup: whether the user is a member of the admin group.
bool inAdminGroup(const std::string& user)
{
    std::vector<char> buffer(65536);
    group grp{}, *g = nullptr;
    if (getgrnam_r(gAccess.adminGroup.c_str(), &grp, buffer.data(), buffer.size(), &g) != 0 || !g)
        return false;
    const gid_t admin = g->gr_gid;
    passwd pw{}, *p = nullptr;
    if (getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &p) != 0 || !p)
        return false;
    if (p->pw_gid == admin)
        return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (getgrouplist(user.c_str(), p->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (getgrouplist(user.c_str(), p->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    for (int i = 0; i < count; ++i)
        if (groups[static_cast<std::size_t>(i)] == admin)
            return true;
    return false;
}

// verdict: the answer for the client's credentials (cached per client
// and header): CONTINUE for an administrator, 401 for a wrong password or
// an unknown user, 403 for a user outside the admin group; user says who
// the password proved.
const Verdict& verdict(pappl_client_t* client)
{
    const char* header = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
    const std::string authorization = header ? header : "";
    Verdict& v = tVerdict;
    if (v.client == client && v.authorization == authorization && v.status != HTTP_STATUS_NONE)
        return v;
    v = Verdict();
    v.client = client;
    v.authorization = authorization;
    Credentials c;
    if (authorization.empty() || !basicCredentials(header, c)) {
        v.status = HTTP_STATUS_UNAUTHORIZED;
    } else if (!passwordChecks(client, c)) {
        v.status = HTTP_STATUS_UNAUTHORIZED;
    } else {
        v.user = c.user;
        v.status = inAdminGroup(c.user) ? HTTP_STATUS_CONTINUE : HTTP_STATUS_FORBIDDEN;
        if (v.status == HTTP_STATUS_FORBIDDEN)
            papplLogClient(client, PAPPL_LOGLEVEL_WARN, "'%s' is not in group '%s': no administration.",
                           c.user.c_str(), gAccess.adminGroup.c_str());
    }
    return v;
}

// isLocalSocket: whether the client came through a UNIX-domain socket.
bool isLocalSocket(pappl_client_t* client)
{
    return httpAddrFamily(httpGetAddress(papplClientGetHTTP(client))) == AF_LOCAL;
}

// isLoopback: whether the client connected over loopback.
bool isLoopback(pappl_client_t* client)
{
    return httpAddrLocalhost(httpGetAddress(papplClientGetHTTP(client))) != 0;
}

// authorize: the callback PAPPL asks for administration requests.
http_status_t authorize(pappl_client_t* client, const char*, gid_t, void*)
{
    return quorvelAdministrator(client);
}

// withoutDots: whether a path has no "." or ".." component.
bool withoutDots(const std::string& path)
{
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

// resolved: path with its links resolved (its folder's, when the file is
// not there yet), or "" (also for a link to nowhere, which a write would
// follow).
std::string resolved(const std::string& path)
{
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer))
        return buffer;
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0)
        return "";
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return "";
    if (!realpath(path.substr(0, slash).c_str(), buffer))
        return "";
    return std::string(buffer) + path.substr(slash);
}

} // namespace

void quorvelSetAccess(pappl_system_t* system, const QuorvelAccess& access)
{
    gAccess = access;
    papplSystemSetAuthCallback(system, "Basic", authorize, nullptr);
}

http_status_t quorvelAdministrator(pappl_client_t* client)
{
    if (!client)
        return HTTP_STATUS_FORBIDDEN;
    if (isLocalSocket(client))
        return HTTP_STATUS_CONTINUE;
    const bool loopback = isLoopback(client);
    if (gAccess.adminGroup.empty())
        return loopback ? HTTP_STATUS_CONTINUE : HTTP_STATUS_FORBIDDEN;
    if (!loopback && !gAccess.webRemote)
        return HTTP_STATUS_FORBIDDEN;
    if (!loopback && !httpIsEncrypted(papplClientGetHTTP(client)))
        return HTTP_STATUS_UPGRADE_REQUIRED;
    const Verdict& v = verdict(client);
    if (!v.user.empty())
        papplClientSetUsername(client, v.user.c_str());
    return v.status;
}

bool quorvelIdentify(pappl_client_t* client)
{
    if (isLocalSocket(client))
        return true;
    const char* header = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
    if (!header || !*header || gAccess.pamService.empty()) {
        // PAPPL keeps a connection's user from one request to the next: a
        // request without credentials is nobody's but its requesting-user-name's.
        papplClientSetUsername(client, nullptr);
        return true;
    }
    const Verdict& v = verdict(client);
    if (v.user.empty()) {
        papplClientRespond(client, HTTP_STATUS_UNAUTHORIZED, nullptr, nullptr, 0, 0);
        return false;
    }
    papplClientSetUsername(client, v.user.c_str());
    return true;
}

std::string quorvelRequester(pappl_client_t* client)
{
    if (const char* user = papplClientGetUsername(client))
        return user;
    const char* name = ippGetString(
        ippFindAttribute(papplClientGetRequest(client), "requesting-user-name", IPP_TAG_NAME), 0, nullptr);
    return name && *name ? name : "guest";
}

bool quorvelIsOwner(const std::string& requester, pappl_job_t* job)
{
    // User names compare as CUPS and PAPPL compare them, without case.
    const char* owner = papplJobGetUsername(job);
    return owner && strcasecmp(requester.c_str(), owner) == 0;
}

bool quorvelOwnsOrAdministers(pappl_client_t* client, pappl_job_t* job)
{
    if (quorvelIsOwner(quorvelRequester(client), job))
        return true;
    // Asking never prompts: a request without credentials is simply not
    // an administrator's (a phone's Get-Jobs sees placeholders).
    return quorvelAdministrator(client) == HTTP_STATUS_CONTINUE;
}

std::string quorvelFileDeviceProblem(const char* device_uri)
{
    if (!device_uri || strncasecmp(device_uri, "file:", 5) != 0)
        return "";
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, device_uri, scheme, sizeof scheme, user, sizeof user, host,
                        sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return std::string("'") + device_uri + "' is not a device URI";
    if (gAccess.fileFolder.empty())
        return "this server takes no file: devices (start it with -o file-devices=FOLDER)";
    std::string path = resource;
    if (const std::size_t q = path.find('?'); q != std::string::npos)
        path.erase(q);
    const std::string folder = resolved(gAccess.fileFolder);
    const std::string target = withoutDots(path) ? resolved(path) : "";
    const std::string under = folder == "/" ? folder : folder + "/";
    if (folder.empty() || target.empty() || (target != folder && target.compare(0, under.size(), under) != 0))
        return "file: devices must be under " + gAccess.fileFolder;
    return "";
}
