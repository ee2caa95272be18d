// Renderer processes. Every renderer is forked by one thread of ours that
// lives as long as the server: the kernel's parent-death signal fires when
// the thread that forked a child ends, and PAPPL's job threads end with
// their job, while renderers started ahead wait for the next one.
#include "renderer_process.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

extern char** environ;

namespace {

// Limits for one renderer: CPU seconds, address space, and the largest
// file it may write (it writes none; pdfinfo's errors go to a file).
constexpr rlim_t kRenderCpuSeconds = 600;
constexpr rlim_t kRenderMemory = rlim_t(2) << 30;
constexpr rlim_t kRenderFileBytes = rlim_t(1) << 20;

// Pending: a start asked of the forking thread, and its answer.
struct Pending {
    const RenderRequest* request;
    RenderProcess result;
    bool done = false;
};

// Forker: the thread that forks every renderer and the starts it has to
// do. Never destroyed: the thread waits on it while the server exits.
struct Forker {
    std::mutex lock;
    std::condition_variable wake, done;
    std::deque<Pending*> queue;
    bool running = false;
};
Forker& gForker = *new Forker;

std::mutex gUserLock;                     // guards gUserName
std::string gUserName = "nobody";         // who renderers run as under root

#if defined(__x86_64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
#elif defined(__i386__)
constexpr unsigned kAuditArch = AUDIT_ARCH_I386;
#else
constexpr unsigned kAuditArch = 0;
#endif

// noNetwork: refuse the renderer every new socket, and io_uring, which
// opens sockets without socket(). Its standard input, a socket pair the
// server made, is not new. Where the machine's system calls are not known
// here, the renderer goes without the filter.
void noNetwork()
{
    if (kAuditArch == 0)
        return;
    constexpr unsigned kRefuse = SECCOMP_RET_ERRNO | EACCES;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#if defined(__x86_64__)
        // The x32 calls would go round the numbers below.
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, __X32_SYSCALL_BIT, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, kRefuse),
#endif
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 3, 0),
#if defined(__NR_socketcall)
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socketcall, 2, 0),
#else
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 2, 0),
#endif
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, kRefuse),
    };
    const sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program);
}

// Start: what the child needs, made before the fork (the child only makes
// system calls until it runs the program).
struct Start {
    std::vector<char*> args, env;
    std::vector<std::string> envText;
    bool drop = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

// childRun: in the new child: limits, descriptors, user, then the program.
[[noreturn]] void childRun(const RenderRequest& request, const Start& start, pid_t parent, int out, int in)
{
    setpgid(0, 0);
    const rlimit cpu = {kRenderCpuSeconds, kRenderCpuSeconds + 10};
    const rlimit mem = {kRenderMemory, kRenderMemory};
    const rlimit file = {kRenderFileBytes, kRenderFileBytes};
    const rlimit core = {0, 0};
    setrlimit(RLIMIT_CPU, &cpu);
    setrlimit(RLIMIT_AS, &mem);
    setrlimit(RLIMIT_FSIZE, &file);
    setrlimit(RLIMIT_CORE, &core);
    if (in < 0)
        in = open("/dev/null", O_RDONLY);
    const int err = open(request.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(127);
    // Nothing else of the server's: PAPPL opens file devices without
    // close-on-exec, and a renderer (one waiting for the next job above
    // all) must not hold a printer or a client open.
    closefrom(3);
    if (chdir("/") != 0)
        _exit(127);
    // Never a renderer as root: one that cannot leave root does not run.
    if (start.drop && (setgroups(0, nullptr) != 0 || setgid(start.gid) != 0 || setuid(start.uid) != 0 ||
                       getuid() == 0))
        _exit(126);
    // Dies with the server, even when the server is killed outright (set
    // once the user is changed, which clears it); a server that died before
    // is seen by the parent changing.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    noNetwork();
    execvpe(start.args[0], start.args.data(), const_cast<char**>(start.env.data()));
    _exit(127);
}

// forkRenderer: on the forking thread, the renderer for request.
RenderProcess forkRenderer(const RenderRequest& request)
{
    RenderProcess child;
    Start start;
    uid_t uid;
    gid_t gid;
    if (!renderUser(uid, gid))
        return child;
    start.drop = geteuid() == 0;
    start.uid = uid;
    start.gid = gid;
    for (const std::string& a : request.argv)
        start.args.push_back(const_cast<char*>(a.c_str()));
    start.args.push_back(nullptr);
    // The server's environment, but for its temporary folder.
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "TMPDIR=", 7) != 0)
            start.envText.emplace_back(*e);
    start.envText.push_back("TMPDIR=" + request.tmpDir);
    for (std::string& e : start.envText)
        start.env.push_back(e.data());
    start.env.push_back(nullptr);

    int fds[2], sock[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0)
        return child;
    if (request.input && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sock) != 0) {
        close(fds[0]);
        close(fds[1]);
        return child;
    }
    const pid_t parent = getpid();
    child.pid = fork();
    if (child.pid == 0)
        childRun(request, start, parent, fds[1], request.input ? sock[1] : request.inputFd);
    close(fds[1]);
    if (request.input)
        close(sock[1]);
    if (child.pid < 0) {
        close(fds[0]);
        if (request.input)
            close(sock[0]);
        return child;
    }
    setpgid(child.pid, child.pid); // as the child does, whichever comes first
    child.out = fds[0];
    child.in = sock[0];
    return child;
}

// forker: the forking thread's loop.
void forker()
{
    std::unique_lock<std::mutex> lock(gForker.lock);
    for (;;) {
        gForker.wake.wait(lock, [] { return !gForker.queue.empty(); });
        Pending* pending = gForker.queue.front();
        gForker.queue.pop_front();
        lock.unlock();
        pending->result = forkRenderer(*pending->request);
        lock.lock();
        pending->done = true;
        gForker.done.notify_all();
    }
}

} // namespace

RenderProcess renderSpawn(const RenderRequest& request)
{
    Pending pending{&request, {}};
    std::unique_lock<std::mutex> lock(gForker.lock);
    if (!gForker.running) {
        std::thread(forker).detach();
        gForker.running = true;
    }
    gForker.queue.push_back(&pending);
    gForker.wake.notify_one();
    gForker.done.wait(lock, [&] { return pending.done; });
    return pending.result;
}

int renderEnd(RenderProcess& process, bool stop)
{
    for (int* fd : {&process.in, &process.out})
        if (*fd >= 0)
            close(*fd);
    process.in = process.out = -1;
    if (process.pid <= 0)
        return -1;
    // Killed before it is reaped, so the group is still its own.
    if (stop)
        kill(-process.pid, SIGKILL);
    int status = 0;
    while (waitpid(process.pid, &status, 0) < 0 && errno == EINTR) {
    }
    process.pid = -1;
    return status;
}

bool renderUser(uid_t& uid, gid_t& gid)
{
    if (geteuid() != 0) {
        uid = geteuid();
        gid = getegid();
        return true;
    }
    std::string name;
    {
        std::lock_guard<std::mutex> lock(gUserLock);
        name = gUserName;
    }
    char buffer[4096];
    passwd entry, *found = nullptr;
    if (getpwnam_r(name.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || !found || found->pw_uid == 0)
        return false;
    uid = found->pw_uid;
    gid = found->pw_gid;
    return true;
}

void renderSetUserName(const std::string& name)
{
    std::lock_guard<std::mutex> lock(gUserLock);
    gUserName = name;
}
