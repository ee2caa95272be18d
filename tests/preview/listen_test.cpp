// The virtual printer (quorvel-preview --listen) as people stop it, with
// Ctrl-C or SIGTERM: in every state a connection can be in, it stops, exits
// 0 and leaves the jobs that had ended whole.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "protocol.h"

using namespace proto;

namespace {

// A whole job of A4 pages at 600 dpi, every row blank: pages the printer
// draws at full size, some 35 KB of stream each.
Bytes a4Job(int pages)
{
    Bytes page = kBeginPage;
    for (int row = 0; row < 7016; ++row)
        page.insert(page.end(), kBlank.begin(), kBlank.end());
    page.insert(page.end(), kEndPage.begin(), kEndPage.end());
    std::vector<Bytes> parts{settings(4958, 7016)};
    for (int i = 0; i < pages; ++i)
        parts.push_back(page);
    parts.push_back(kEndOfJob);
    return cat(parts);
}

// A job the printer takes whole before the state under test is made.
const Bytes kFirstJob = a4Job(1);
// The job the states send a part of, or all of.
const Bytes kLongJob = a4Job(40);

// Printer: a virtual printer started for one case.
struct Printer {
    pid_t pid = -1;
    int port = 0;
    std::string dir;
};

// startPrinter: the program listening on a loopback port of its choice,
// its jobs under a fresh folder; port 0 when it did not come up.
Printer startPrinter(const std::string& name, const std::vector<std::string>& extra)
{
    Printer p;
    p.dir = qtest::tempDir() + "/" + name;
    mkdir(p.dir.c_str(), 0755);
    std::vector<std::string> args = {QUORVEL_PREVIEW, "--listen", "127.0.0.1:0", "--output", p.dir + "/jobs"};
    args.insert(args.end(), extra.begin(), extra.end());
    int err[2];
    if (pipe(err) != 0)
        return p;
    p.pid = fork();
    if (p.pid == 0) {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int out = open((p.dir + "/lines").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err[1], 2);
        close(err[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(err[1]);
    std::string said;
    char c;
    while (said.find('\n') == std::string::npos && read(err[0], &c, 1) == 1)
        said += c;
    close(err[0]); // what it says later goes nowhere: it only says it fails
    std::sscanf(said.c_str() + std::min(said.size(), said.find(" port ")), " port %d", &p.port);
    return p;
}

// connectTo: a connection to the printer, or -1.
int connectTo(const Printer& p)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(p.port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// sendAll: n bytes of data on fd; false when the printer stopped taking them.
bool sendAll(int fd, const Bytes& data, std::size_t n)
{
    for (std::size_t at = 0; at < n;) {
        const ssize_t sent = send(fd, data.data() + at, n - at, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        at += static_cast<std::size_t>(sent);
    }
    return true;
}

// lineCount: how many job lines the printer has written.
int lineCount(const Printer& p)
{
    const std::string lines = qtest::readFile(p.dir + "/lines");
    int n = 0;
    for (std::size_t at = 0; (at = lines.find("job ", at)) != std::string::npos; ++at)
        n += at == 0 || lines[at - 1] == '\n';
    return n;
}

// waitFor: until what holds, for at most a minute.
bool waitFor(const std::function<bool()>& what)
{
    for (int i = 0; i < 600; ++i) {
        if (what())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// stopWithin: the stop signal; true when the printer ended within seconds
// (with its wait status), false when it had to be killed.
bool stopWithin(const Printer& p, int sig, double seconds, int& status)
{
    kill(p.pid, sig);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (waitpid(p.pid, &status, WNOHANG) == p.pid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(p.pid, SIGKILL);
    waitpid(p.pid, &status, 0);
    return false;
}

// Open: the connections a state holds while the stop comes, and a sender
// that keeps sending through it.
struct Open {
    std::vector<int> fds;
    std::thread sender;
    ~Open()
    {
        for (int fd : fds)
            shutdown(fd, SHUT_RDWR); // a sender still sending gives up
        if (sender.joinable())
            sender.join();
        for (int fd : fds)
            close(fd);
    }
};

// resetWith: close fd with a reset instead of a goodbye, as a killed CUPS
// backend's connection ends.
void resetWith(int fd)
{
    const linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

// Every state the printer may be in when it is stopped, each after a first
// job it has taken whole; SIGTERM and SIGINT alike end it, exit 0, in the
// time a person waits for Ctrl-C (2 s, and a margin for a busy machine).
TEST(VirtualPrinter, StopsInEveryState)
{
    const std::size_t half = kLongJob.size() / 2;
    const struct {
        const char* state;
        std::vector<std::string> options;
        std::function<void(const Printer&, Open&)> make;
    } cases[] = {
        {"listening", {}, [](const Printer&, Open&) {}},
        {"a connection that sends nothing", {}, [](const Printer& p, Open& o) { o.fds.push_back(connectTo(p)); }},
        {"a job half sent", {},
         [&](const Printer& p, Open& o) {
             o.fds.push_back(connectTo(p));
             sendAll(o.fds[0], kLongJob, half);
         }},
        {"a sender that has half-closed", {},
         [&](const Printer& p, Open& o) {
             o.fds.push_back(connectTo(p));
             sendAll(o.fds[0], kLongJob, half);
             shutdown(o.fds[0], SHUT_WR);
         }},
        {"more connections than are read at once", {},
         [&](const Printer& p, Open& o) {
             for (int i = 0; i < 20; ++i) {
                 o.fds.push_back(connectTo(p));
                 if (i % 4 == 0)
                     sendAll(o.fds.back(), kLongJob, 20000);
             }
         }},
        {"a slow printer with a sender still sending", {"--rate", "100000"},
         [&](const Printer& p, Open& o) {
             const int fd = connectTo(p);
             o.fds.push_back(fd);
             o.sender = std::thread([fd] { sendAll(fd, kLongJob, kLongJob.size()); });
             std::this_thread::sleep_for(std::chrono::milliseconds(500));
         }},
        {"a long job received, its pages still being drawn", {},
         [&](const Printer& p, Open&) {
             const int fd = connectTo(p);
             sendAll(fd, kLongJob, kLongJob.size());
             close(fd);
         }},
        {"a peer that reset the connection", {},
         [&](const Printer& p, Open&) {
             const int fd = connectTo(p);
             sendAll(fd, kLongJob, half);
             resetWith(fd);
         }},
    };
    for (const auto& c : cases) {
        for (const int sig : {SIGTERM, SIGINT}) {
            const std::string name = std::string(c.state) + (sig == SIGTERM ? ", SIGTERM" : ", SIGINT");
            SCOPED_TRACE(name);
            std::string folder = name;
            for (char& ch : folder)
                ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '-';
            const Printer p = startPrinter(folder, c.options);
            ASSERT_GT(p.port, 0) << "the printer did not come up";
            {
                const int fd = connectTo(p);
                ASSERT_TRUE(sendAll(fd, kFirstJob, kFirstJob.size()));
                close(fd);
                ASSERT_TRUE(waitFor([&] { return lineCount(p) == 1; }));
            }
            int status = 0;
            {
                Open open;
                c.make(p, open);
                EXPECT_TRUE(stopWithin(p, sig, 10, status)) << "still running 10 s after the stop";
            }
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
            EXPECT_EQ(qtest::readFile(p.dir + "/jobs/job-1/stream.prn"),
                      std::string(kFirstJob.begin(), kFirstJob.end()));
            EXPECT_NE(qtest::readFile(p.dir + "/jobs/job-1/summary.txt").find("pages: 1\n"), std::string::npos);
            EXPECT_NE(qtest::readFile(p.dir + "/jobs/job-1/summary.txt").find("end of job: yes\n"), std::string::npos);
        }
    }
}

} // namespace
