// What a renderer process may do, seen from inside one: programs run as
// renderers report what they find, and a renderer outlives the thread
// that asked for it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "renderer_process.h"

namespace {

// run: the output and wait status of a shell command run as a renderer.
std::pair<std::string, int> run(const std::string& command)
{
    RenderRequest request;
    request.argv = {"sh", "-c", command};
    RenderProcess child = renderSpawn(request);
    EXPECT_GT(child.pid, 0) << command;
    std::string text;
    char buffer[512];
    ssize_t n;
    while (child.out >= 0 && (n = read(child.out, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    const int status = renderEnd(child, false);
    return {text, status};
}

TEST(Renderer, GetsTheLeastItNeeds)
{
    const std::string user = std::to_string(geteuid() == 0 ? 65534 : geteuid());
    const char* socketTry = "python3 -c 'import socket, sys\n"
                            "for f in (socket.AF_INET, socket.AF_INET6, socket.AF_UNIX):\n"
                            "    try: socket.socket(f); print(\"opened\")\n"
                            "    except OSError: print(\"refused\")'";
    const struct {
        std::string command, output;
    } cases[] = {
        {"id -u; id -G", user + "\n" + std::to_string(geteuid() == 0 ? 65534 : getegid()) + "\n"},
        {socketTry, "refused\nrefused\nrefused\n"},
        {"ls /proc/self/fd | tr '\\n' ' '", "0 1 2 3 "}, // 3: ls's own listing
        {"pwd; echo $TMPDIR", "/\n/nonexistent\n"},
        {"[ \"$(cut -d' ' -f5 /proc/$$/stat)\" = $$ ] && echo own group", "own group\n"},
        {"grep -E '^(NoNewPrivs|Seccomp):' /proc/self/status | tr -s '\\t' ' '", "NoNewPrivs: 1\nSeccomp: 2\n"},
        {"cat /proc/self/limits | grep -E '^Max (file size|cpu time|address space)' | tr -s ' '",
         "Max cpu time 600 610 seconds \nMax file size 1048576 1048576 bytes \n"
         "Max address space 2147483648 2147483648 bytes \n"},
    };
    for (const auto& c : cases) {
        const auto [output, status] = run(c.command);
        EXPECT_EQ(output, c.output) << c.command;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.command << ": " << status;
    }
    // A file past a megabyte stops the renderer.
    char folder[] = "/tmp/quorvel-renderer-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    chmod(folder, 0777);
    const auto [output, status] = run(std::string("exec head -c 2000000 /dev/zero > ") + folder + "/big");
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    unlink((std::string(folder) + "/big").c_str());
    rmdir(folder);
}

TEST(Renderer, OutlivesTheThreadThatAskedAndStopsWhole)
{
    // Spares are asked for by job threads, which end with their job; the
    // renderer must not die with them.
    RenderProcess child;
    std::thread([&] {
        RenderRequest request;
        request.argv = {"sh", "-c", "sleep 60 & sleep 60"};
        child = renderSpawn(request);
        usleep(200000); // a job thread lives on a while after its start
    }).join();
    ASSERT_GT(child.pid, 0);
    usleep(300000);
    int status = 0;
    EXPECT_EQ(waitpid(child.pid, &status, WNOHANG), 0) << "the renderer died with the thread that asked for it";
    // Stopped, it goes with everything it started (its output ends only
    // once the background sleep, which holds it, is gone too).
    const int out = dup(child.out);
    status = renderEnd(child, true);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    char byte;
    EXPECT_EQ(read(out, &byte, 1), 0);
    close(out);
}

} // namespace
