// What the end-to-end tests share: a PPD, running the filter as the
// scheduler does, and the expected printer bytes of rows and pages.
#pragma once

#include <gtest/gtest.h>

#include <spawn.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "protocol.h"
#include "test_support.h"

namespace e2e {

using qtest::Bytes;
using qtest::hex;

inline const Bytes kBeginPage = proto::kBeginPage;
inline const Bytes kEndPage = proto::kEndPage;
inline const Bytes kBlank = proto::kBlank;
inline const Bytes kEndJob = proto::kEndOfJob;
inline const std::string kStartLine = "----------------StartPage...\n";
inline const std::string kEndLine = "-------main---------JobFinish end \n";

// ppdPath: a plain PPD the filter can open.
inline std::string ppdPath()
{
    const std::string path = qtest::tempDir() + "/e2e.ppd";
    qtest::writeFile(path,
                     "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
                     "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n"
                     "*PCFileName: \"E2E.PPD\"\n*Manufacturer: \"Test\"\n*Product: \"(Test)\"\n"
                     "*ModelName: \"Test\"\n*ShortNickName: \"Test\"\n*NickName: \"Test\"\n"
                     "*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n");
    return path;
}

// runFilter: the filter on a raster file, as the last filter of a job.
inline qtest::RunResult runFilter(const std::string& raster, const std::string& options = "",
                                  bool viaStdin = false)
{
    std::vector<std::string> argv = {qtest::filterPath(), "7", "user", "title", "1", options};
    if (!viaStdin)
        argv.push_back(raster);
    return qtest::run(argv, {{"PPD", ppdPath()}}, viaStdin ? raster : "");
}

// spawnFilter: the filter on a raster file (or, for an empty name, on
// inFd) with its standard output and error on the given descriptors;
// returns its pid.
inline pid_t spawnFilter(const std::string& raster, int outFd, int errFd, int inFd = -1)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (inFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, inFd, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    const std::string ppd = "PPD=" + ppdPath();
    const std::string filter = qtest::filterPath();
    std::vector<char*> argv = {const_cast<char*>(filter.c_str()), const_cast<char*>("1"), const_cast<char*>("u"),
                               const_cast<char*>("t"), const_cast<char*>("1"), const_cast<char*>("")};
    if (!raster.empty())
        argv.push_back(const_cast<char*>(raster.c_str()));
    argv.push_back(nullptr);
    char* envp[] = {const_cast<char*>(ppd.c_str()), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// readAll: everything until the other end closes.
inline std::string readAll(int fd)
{
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    return text;
}

inline std::string rasterPath(const std::string& name)
{
    return qtest::tempDir() + "/" + name + ".ras";
}

inline void append(Bytes& to, const Bytes& more)
{
    to.insert(to.end(), more.begin(), more.end());
}

// settings: the 71-byte block for a paper size in dots, copies and levels.
inline Bytes settings(unsigned widthDots, unsigned heightDots, unsigned copies = 1, int density = 2, int weight = 3)
{
    return proto::settings(widthDots, heightDots, copies, density, weight);
}

// settingsFor: the block a page header leads to.
inline Bytes settingsFor(const cups_page_header2_t& h, unsigned copies = 1, int density = 2)
{
    return settings(h.PageSize[0] * h.HWResolution[0] / 72, h.PageSize[1] * h.HWResolution[1] / 72, copies,
                    density);
}

// lineCommand: the line data command for one row's first width / 8 bytes.
inline Bytes lineCommand(const Bytes& row, unsigned width)
{
    Bytes line = hex("FF FF FF");
    line.insert(line.end(), row.begin(), row.begin() + width / 8);
    const Bytes encoded = qtest::referenceEncode(line);
    Bytes cmd = hex("1B 2A 41 02");
    cmd.push_back(encoded.size() & 0xFF);
    cmd.push_back(encoded.size() >> 8);
    append(cmd, encoded);
    return cmd;
}

// pageBytes: begin page, one command per row, end page. Rows past those
// given are white.
inline Bytes pageBytes(const qtest::RasterPage& page)
{
    const unsigned width = page.header.cupsWidth;
    Bytes out = kBeginPage;
    for (unsigned r = 0; r < page.header.cupsHeight; ++r) {
        bool blank = true;
        if (r < page.rows.size())
            for (unsigned i = 0; i < width / 8; ++i)
                blank = blank && page.rows[r][i] == 0xFF;
        append(out, blank ? kBlank : lineCommand(page.rows[r], width));
    }
    append(out, kEndPage);
    return out;
}

// sameStream: equal streams, or where they first part, for a readable failure.
inline ::testing::AssertionResult sameStream(const Bytes& actual, const Bytes& expected)
{
    std::size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i])
        ++i;
    if (i == actual.size() && i == expected.size())
        return ::testing::AssertionSuccess();
    auto around = [i](const Bytes& b) {
        std::string text;
        char buf[4];
        for (std::size_t k = i < 8 ? 0 : i - 8; k < b.size() && k < i + 8; ++k) {
            std::snprintf(buf, sizeof buf, "%02X ", b[k]);
            text += buf;
        }
        return text;
    };
    return ::testing::AssertionFailure() << "streams of " << actual.size() << " and " << expected.size()
                                         << " bytes differ at offset " << i << ": got " << around(actual)
                                         << "| expected " << around(expected);
}

}  // namespace e2e
