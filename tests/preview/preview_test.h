// What the preview tests share: hand-built printer streams and running the
// built quorvel-preview on them.
#pragma once

#include <string>
#include <vector>

#include "job_attributes.h"
#include "test_support.h"

namespace ptest {

using qtest::Bytes;
using qtest::hex;

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// settingsBlock: the block the filter sends for these values.
inline Bytes settingsBlock(unsigned width, unsigned height, unsigned copies = 1, int density = 2, int weight = 3)
{
    auto le = [](unsigned v) { return Bytes{static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)}; };
    Bytes copiesCmd = cat({hex("1B 26 6C"), le(copies)});
    copiesCmd = cat({copiesCmd, le(cyg_crc16(copiesCmd.data(), 5))});
    return cat({hex("1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 01 42"), {static_cast<unsigned char>(0x10 + weight)},
                hex("1C 16 02 42"), {static_cast<unsigned char>(0x10 + density)},
                hex("1C 16 03 42 10 1B 26 41 01 00 01 1B 78"), le(width), hex("1B 79"), le(height),
                hex("1B 26 41 03 00 00 00"), copiesCmd, hex("1B 26 41 09 00 00 1C 16 04 42 00 1C 16 05 46 00")});
}

inline const Bytes kBeginPage = hex("1B 24 41 1B 21 41 00 00 10");
inline const Bytes kBlank = hex("1B 2A 42 01 00");
inline const Bytes kEndPage = hex("1B 24 42");
inline const Bytes kEndOfJob = hex("1C 16 04 45 00");

// runPreview: quorvel-preview with args on stream, given on standard input.
inline qtest::RunResult runPreview(const Bytes& stream, std::vector<std::string> args = {})
{
    static int count = 0;
    const std::string path = qtest::tempDir() + "/stream-" + std::to_string(++count) + ".bin";
    qtest::writeFile(path, std::string(stream.begin(), stream.end()));
    args.insert(args.begin(), qtest::previewPath());
    return qtest::run(args, {}, path);
}

}  // namespace ptest
