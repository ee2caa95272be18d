// What the preview tests share: hand-built printer streams and running the
// built quorvel-preview on them.
#pragma once

#include <string>
#include <vector>

#include "protocol.h"
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
    return proto::settings(width, height, copies, density, weight);
}

inline const Bytes kBeginPage = proto::kBeginPage;
inline const Bytes kBlank = proto::kBlank;
inline const Bytes kEndPage = proto::kEndPage;
inline const Bytes kEndOfJob = proto::kEndOfJob;

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
