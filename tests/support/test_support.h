// Helpers shared by the tests: bytes from hex and back, files, and programs
// run through the shell as the scheduler runs a filter.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qtest {

using Bytes = std::vector<unsigned char>;

inline Bytes hex(const std::string& text) // "1B 2A 41" -> bytes
{
    Bytes bytes;
    std::istringstream in(text);
    for (std::string token; in >> token;)
        bytes.push_back(static_cast<unsigned char>(std::stoul(token, nullptr, 16)));
    return bytes;
}

inline std::string hex(const Bytes& bytes) // and back, for readable failures
{
    std::string text;
    for (const unsigned char b : bytes)
        text += std::string{"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15], ' '};
    return text;
}

inline std::string tempDir() // a fresh directory for this test process
{
    static std::string dir;
    if (dir.empty()) {
        dir = (std::filesystem::temp_directory_path() / "quorvel-test-XXXXXX").string();
        if (mkdtemp(dir.data()) == nullptr)
            std::abort();
        std::atexit([] { std::filesystem::remove_all(dir); });
    }
    return dir;
}

inline std::string readFile(const std::string& path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

template <class Data> void writeFile(const std::string& path, const Data& data)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
}

struct RunResult {
    int status = -1; // exit status, -1 when a signal ended it
    Bytes out;       // standard output
    std::string err; // standard error
};

// run: a shell command line, its output and error captured.
inline RunResult run(const std::string& command)
{
    const std::string out = tempDir() + "/run.out", err = tempDir() + "/run.err";
    const int status = std::system(("(" + command + ") >" + out + " 2>" + err).c_str());
    const std::string bytes = readFile(out);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Bytes(bytes.begin(), bytes.end()), readFile(err)};
}

}  // namespace qtest
