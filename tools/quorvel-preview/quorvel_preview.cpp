// quorvel-preview: reads a printer stream as the filter sends it, checks it
// command by command and, on request, draws each page as a PNG, so a job can
// be looked at without paper.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "page_image.h"
#include "stream_decoder.h"
#include "stream_report.h"
#include "virtual_printer.h"

namespace {

constexpr const char* kUsage = "usage: quorvel-preview [--output PREFIX] [FILE|-]\n"
                                "       quorvel-preview --listen [ADDRESS:]PORT --output DIR [--rate BYTES/S]\n";

// optionValue: the value of --name VALUE or --name=VALUE at argv[i] (i moved
// past it), or false when argv[i] is not that option or lacks a value.
bool optionValue(int argc, char** argv, int& i, const std::string& name, std::string& value)
{
    const std::string arg = argv[i];
    if (arg == name && i + 1 < argc && argv[i + 1][0] != '\0') {
        value = argv[++i];
        return true;
    }
    if (arg.rfind(name + "=", 0) == 0 && arg.size() > name.size() + 1) {
        value = arg.substr(name.size() + 1);
        return true;
    }
    return false;
}

// readAll: the whole of fp into bytes; false on a read error.
bool readAll(std::FILE* fp, std::vector<unsigned char>& bytes)
{
    unsigned char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    return !std::ferror(fp);
}

// preview: the program, apart from running out of memory.
int preview(int argc, char** argv)
{
    std::string prefix, input = "-", listen, rate;
    bool haveInput = false, optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsDone && arg == "-o" && i + 1 < argc && argv[i + 1][0] != '\0')
            prefix = argv[++i];
        else if (!optionsDone && (optionValue(argc, argv, i, "--output", prefix) ||
                                  optionValue(argc, argv, i, "--listen", listen) ||
                                  optionValue(argc, argv, i, "--rate", rate)))
            continue;
        else if (!optionsDone && (arg == "--help" || arg == "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (!optionsDone && arg == "--")
            optionsDone = true;
        else if ((optionsDone || arg == "-" || arg[0] != '-') && !haveInput) {
            input = arg;
            haveInput = true;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }

    // The virtual printer: a folder to keep jobs in, no input file; a rate
    // is a whole number of bytes a second.
    if (!listen.empty() || !rate.empty()) {
        quorvel::ListenOptions opts;
        opts.dir = prefix;
        char* end = nullptr;
        errno = 0;
        opts.rate = rate.empty() ? 0 : std::strtoull(rate.c_str(), &end, 10);
        if (listen.empty() || prefix.empty() || haveInput || !quorvel::parseListenAddress(listen, opts) ||
            (!rate.empty() && (*end != '\0' || errno != 0 || opts.rate == 0 || rate[0] == '-'))) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        return quorvel::listenForJobs(opts);
    }

    std::vector<unsigned char> stream;
    const bool fromStdin = input == "-" && !optionsDone;
    std::FILE* fp = fromStdin ? stdin : std::fopen(input.c_str(), "rb");
    const bool ok = fp && readAll(fp, stream);
    const int readErrno = errno;
    if (fp && !fromStdin)
        std::fclose(fp);
    if (!ok) {
        std::fprintf(stderr, "quorvel-preview: cannot read %s: %s\n", fromStdin ? "standard input" : input.c_str(),
                     std::strerror(readErrno));
        return 1;
    }

    // The whole stream is checked before any image is written, so a damaged
    // job never leaves half its pages behind.
    quorvel::DecodedStream decoded;
    quorvel::DecodeError err;
    if (!quorvel::scanStream(stream.data(), stream.size(), decoded, err)) {
        std::fprintf(stderr, "quorvel-preview: %s\n", quorvel::describeError(err).c_str());
        return 1;
    }
    std::fputs(quorvel::describeStream(decoded).c_str(), stdout);

    if (!prefix.empty())
        for (std::size_t i = 0; i < decoded.pages.size(); ++i) {
            const std::string path = prefix + "-" + std::to_string(i + 1) + ".png";
            std::string why;
            if (!quorvel::writePagePng(path, stream.data(), stream.size(), decoded.pages[i],
                                       decoded.settings.widthDots, decoded.settings.duplex == 1, why)) {
                std::fflush(stdout);
                std::fprintf(stderr, "quorvel-preview: %s\n", why.c_str());
                return 1;
            }
            std::printf("wrote %s\n", path.c_str());
        }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

// main: quorvel-preview [--output PREFIX] [FILE|-]; exit 0 for a sound
// stream, 1 for a damaged or unreadable one, 2 for a bad command line. With
// --listen, the virtual printer: 0 when stopped by a signal.
int main(int argc, char** argv)
{
    try {
        return preview(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("quorvel-preview: out of memory\n", stderr);
        return 1;
    }
}
