// The renderers (Ghostscript) a PDF job prints with. Each may read its own
// folder only, where the job that takes it puts the job's document, and
// runs as a renderer process (renderer_process.h). Ready renderers are started
// before their job, since part of Ghostscript's time on a short document is
// its own start.
#include "renderer_pool.h"

#include <pappl/pappl.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// The name a job's document has in its renderer's folder.
constexpr const char* kDocumentName = "/document.pdf";

// dropsUser: renderers run as another user (the server is root), so their
// folders are made where that user can reach them and their documents are
// copies the user may read.
bool dropsUser()
{
    return geteuid() == 0;
}

// folderBase: where renderers' folders are made: the server's temporary
// folder, or /tmp, which everyone may enter, when renderers run as
// another user.
std::string folderBase()
{
    return dropsUser() ? "/tmp" : papplGetTempDir();
}

// kFolderPrefix: the start of a renderer folder's name, before the
// server's process id.
constexpr const char* kFolderPrefix = "quorvel-render-";

// sweepFolders: remove the folders, and the documents in them, that a
// server of ours which is gone left behind (one killed outright cannot
// clean up). Only our own folders, never through a link.
void sweepFolders()
{
    const std::string base = folderBase();
    DIR* dir = opendir(base.c_str());
    if (!dir)
        return;
    const std::size_t prefix = std::strlen(kFolderPrefix);
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        char* end = nullptr;
        if (std::strncmp(name, kFolderPrefix, prefix) != 0)
            continue;
        const long pid = std::strtol(name + prefix, &end, 10);
        struct stat info;
        if (end == name + prefix || *end != '-' || pid <= 0)
            continue;
        const bool gone = kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
        if (!gone || fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode) ||
            info.st_uid != geteuid())
            continue;
        const int fd = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        fchmod(fd, 0700);
        unlinkat(fd, kDocumentName + 1, 0);
        close(fd);
        unlinkat(dirfd(dir), name, AT_REMOVEDIR);
    }
    closedir(dir);
}

// makeFolder: a fresh, empty folder for one renderer: the server's own
// (0700), or, when renderers run as another user, root's with the
// renderer's group let in to read (0750).
bool makeFolder(std::string& folder)
{
    uid_t uid;
    gid_t gid;
    if (!renderUser(uid, gid))
        return false;
    folder = folderBase() + "/" + kFolderPrefix + std::to_string(getpid()) + "-XXXXXX";
    if (!mkdtemp(folder.data())) {
        folder.clear();
        return false;
    }
    if (dropsUser() && (chown(folder.c_str(), 0, gid) != 0 || chmod(folder.c_str(), 0750) != 0)) {
        rmdir(folder.c_str());
        folder.clear();
        return false;
    }
    return true;
}

// removeFolder: a renderer's folder and the document in it.
void removeFolder(std::string& folder)
{
    if (folder.empty())
        return;
    chmod(folder.c_str(), 0700);
    unlink((folder + kDocumentName).c_str());
    rmdir(folder.c_str());
    folder.clear();
}

// copyFile: from to a new file to, readable by group gid only besides us.
bool copyFile(const std::string& from, const std::string& to, gid_t gid)
{
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool ok = out >= 0 && (!dropsUser() || (fchown(out, 0, gid) == 0 && fchmod(out, 0640) == 0));
    char buffer[1 << 16];
    ssize_t n = 0;
    while (ok && ((n = read(in, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
        for (ssize_t at = 0; ok && n > 0 && at < n;) {
            const ssize_t w = write(out, buffer + at, static_cast<std::size_t>(n - at));
            if (w < 0 && errno == EINTR)
                continue;
            ok = w > 0;
            at += w;
        }
    ok = ok && n == 0;
    close(in);
    if (out >= 0 && close(out) != 0)
        ok = false;
    if (!ok)
        unlink(to.c_str());
    return ok;
}

// ReadyRenderer: a renderer started before its job, waiting for its program: part
// of Ghostscript's time on a short document is its own start, which a job
// that finds ready renderers does not wait for. key says what it was started for.
struct ReadyRenderer {
    Ghost ghost;
    std::string key;
};

// Media sizes ready renderers are kept for: an office that prints on A4 and Letter keeps
// both warm, at some 20 MB a waiting Ghostscript.
constexpr std::size_t kReadySizes = 2;

// ReadyPool: the ready renderers and the media sizes they are kept for.
struct ReadyPool {
    std::mutex lock;
    std::vector<ReadyRenderer> ready;       // kRenderers for each size in sizes, at most
    std::vector<std::string> sizes;  // the media sizes printed last, latest first
};

// The server's ready renderers; never destroyed, since a job's thread may still
// use it while the server exits.
ReadyPool& gPool = *new ReadyPool;

// keyOf: what a ready renderer for args is known by.
std::string keyOf(const std::vector<std::string>& args)
{
    std::string key;
    for (const std::string& a : args)
        key += a + '\n';
    return key;
}

} // namespace

// placeDocument: the job's document (path) into a renderer's folder: a
// hard link where the folder's file system allows and the renderer runs as
// us, else a copy. copied says path is such a copy already, which a
// renderer of the other user may read as it is. Returns the document's
// name there.
std::string placeDocument(const std::string& path, bool copied, const std::string& folder)
{
    uid_t uid;
    gid_t gid;
    if (!renderUser(uid, gid))
        return "";
    const std::string to = folder + kDocumentName;
    chmod(folder.c_str(), dropsUser() ? 0750 : 0700);
    const bool ok = ((!dropsUser() || copied) && link(path.c_str(), to.c_str()) == 0) || copyFile(path, to, gid);
    // The renderer may not write there (it writes nothing but its output).
    chmod(folder.c_str(), dropsUser() ? 0750 : 0500);
    return ok ? to : "";
}

// startGhost: Ghostscript for args, reading its folder only.
Ghost startGhost(const std::vector<std::string>& args)
{
    Ghost ghost;
    if (!makeFolder(ghost.folder))
        return ghost;
    RenderRequest request;
    request.argv = args;
    request.argv.insert(request.argv.end() - 2, "--permit-file-read=" + ghost.folder + "/");
    request.tmpDir = ghost.folder;
    request.input = true;
    ghost.child = renderSpawn(request);
    if (ghost.child.out < 0)
        removeFolder(ghost.folder);
    return ghost;
}

// endGhost: reap a Ghostscript (killing it first when stop is set) and
// empty its folder; returns its wait status.
int endGhost(Ghost& ghost, bool stop)
{
    const int status = renderEnd(ghost.child, stop);
    removeFolder(ghost.folder);
    return status;
}

// rendererArgs: Ghostscript for pages of w x h pixels at dpi, reading its
// program from standard input (startGhost adds the folder it may read).
std::vector<std::string> rendererArgs(double dpi, int w, int h)
{
    char dpiText[32], sizeText[48];
    std::snprintf(dpiText, sizeof dpiText, "-r%g", dpi);
    std::snprintf(sizeText, sizeof sizeText, "-g%dx%d", w, h);
    return {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE", "-sstdout=%stderr",
            "-sDEVICE=pbmraw", dpiText, sizeText, "-dFIXEDMEDIA", "-dUseCropBox", "-sOutputFile=-", "-"};
}

// takeGhost: a renderer for args, a ready renderer if one was started for them.
bool takeGhost(const std::vector<std::string>& args, Ghost& ghost)
{
    const std::string key = keyOf(args);
    {
        std::lock_guard<std::mutex> lock(gPool.lock);
        for (auto at = gPool.ready.begin(); at != gPool.ready.end();) {
            if (at->key != key) {
                ++at;
                continue;
            }
            int status;
            if (waitpid(at->ghost.child.pid, &status, WNOHANG) == 0) {
                ghost = at->ghost;
                gPool.ready.erase(at);
                return true;
            }
            // It ended while it waited (and is reaped); nobody needs its say.
            at->ghost.child.pid = -1;
            endGhost(at->ghost, false);
            at = gPool.ready.erase(at);
        }
    }
    ghost = startGhost(args);
    return ghost.child.out >= 0;
}


namespace {

// endReadyRenderers: at the server's exit, the ready renderers' folders go (the ready renderers
// themselves die with the server).
void endReadyRenderers()
{
    std::lock_guard<std::mutex> lock(gPool.lock);
    for (ReadyRenderer& ready : gPool.ready)
        removeFolder(ready.ghost.folder);
    gPool.ready.clear();
}

} // namespace

// keepRenderersReady: have kRenderers ready renderers waiting for the media args are for,
// starting what is missing. Ready renderers are kept for the two media sizes printed
// last (A4 and Letter, say), no more. The first call also clears what a
// server of ours killed before left behind.
void keepRenderersReady(const std::vector<std::string>& args)
{
    static std::once_flag once;
    std::call_once(once, [] {
        sweepFolders();
        std::atexit(endReadyRenderers);
    });
    const std::string key = keyOf(args);
    std::lock_guard<std::mutex> lock(gPool.lock);
    gPool.sizes.erase(std::remove(gPool.sizes.begin(), gPool.sizes.end(), key), gPool.sizes.end());
    gPool.sizes.insert(gPool.sizes.begin(), key);
    if (gPool.sizes.size() > kReadySizes)
        gPool.sizes.resize(kReadySizes);
    std::size_t kept = 0;
    for (auto at = gPool.ready.begin(); at != gPool.ready.end();) {
        if (std::find(gPool.sizes.begin(), gPool.sizes.end(), at->key) != gPool.sizes.end()) {
            kept += at->key == key;
            ++at;
            continue;
        }
        endGhost(at->ghost, true);
        at = gPool.ready.erase(at);
    }
    for (; kept < static_cast<std::size_t>(kRenderers); ++kept) {
        const ReadyRenderer ready{startGhost(args), key};
        if (ready.ghost.child.out < 0)
            return;
        gPool.ready.push_back(ready);
    }
}
