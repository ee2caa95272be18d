// The line decoder: the worked encodings, and random rows through the
// library's encoder and back.
#include <gtest/gtest.h>

#include <random>

#include "line_encoder.h"
#include "preview_test.h"
#include "stream_decoder.h"

using namespace ptest;

namespace {

Bytes inverted(Bytes b)
{
    for (unsigned char& c : b)
        c = static_cast<unsigned char>(~c);
    return b;
}

TEST(DecodeLine, WorkedEncodingsGiveTheInvertedLine)
{
    for (const proto::Encoding& e : proto::workedEncodings()) {
        Bytes out{0x55};
        ASSERT_TRUE(quorvel::decodeLine(e.encoded.data(), e.encoded.size(), out)) << e.name;
        EXPECT_EQ(out, inverted(e.line)) << e.name;
    }
}

TEST(DecodeLine, RandomRowsSurviveTheFilterEncoder)
{
    std::mt19937 rng(20240607);
    auto pick = [&rng](unsigned n) { return static_cast<unsigned>(rng() % n); };
    for (int round = 0; round < 3000; ++round) {
        Bytes row(3, 0xFF);  // the lead bytes every sent line starts with
        const unsigned width = round < 800 ? round % 798 : pick(798);
        const unsigned kind = pick(5);
        while (row.size() < 3 + width) {
            const unsigned char b = static_cast<unsigned char>(kind == 0 ? 0xFF : kind == 1 ? 0x00 : rng());
            const unsigned run = kind == 2 ? 1 : kind == 3 ? 1 + pick(300) : 1 + pick(4);
            row.insert(row.end(), std::min<std::size_t>(run, 3 + width - row.size()), b);
        }
        Bytes pixels(row.begin() + 3, row.end());
        pixels.resize(width + kScanSlack, static_cast<unsigned char>(rng()));
        Bytes encoded(2 * row.size() + kScanSlack);
        encoded.resize(encodeRow(pixels.data(), width, encoded.data()));
        Bytes decoded;
        ASSERT_TRUE(quorvel::decodeLine(encoded.data(), encoded.size(), decoded)) << "round " << round;
        ASSERT_EQ(decoded, inverted(row)) << "round " << round << ", kind " << kind;
    }
}

}  // namespace
