// The line encoder against known encodings, and the blank-row test.
#include <gtest/gtest.h>

#include <random>

#include "line_encoder.h"
#include "line_output.h"
#include "row_scan.h"
#include "test_support.h"

using qtest::Bytes;
using qtest::hex;

namespace {

Bytes encode(const Bytes& in)
{
    Bytes out(2 * in.size() + 2, 0xEE);
    out.resize(encodeLine(in.data(), static_cast<std::uint32_t>(in.size()), out.data()));
    return out;
}

Bytes repeat(std::size_t n, unsigned char b) { return Bytes(n, b); }

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct Case {
    const char* name;
    Bytes input;
    Bytes encoded;
};

TEST(LineEncoder, KnownEncodings)
{
    Bytes alternating(128);
    for (std::size_t i = 0; i < alternating.size(); ++i)
        alternating[i] = static_cast<unsigned char>(i & 1 ? 0xAA : 0x55);
    Bytes literal127 = {0x7E};
    for (std::size_t i = 0; i < 127; ++i)
        literal127.push_back(static_cast<unsigned char>(~alternating[i]));

    const Case cases[] = {
        {"five distinct", hex("01 02 03 04 05"), hex("03 FE FD FC FB 00 FA")},
        {"two distinct", hex("01 02"), hex("00 FE 00 FD")},
        {"three white", hex("FF FF FF"), hex("FE 00")},
        {"pair at end", hex("FF FF FF 00 00"), hex("FE 00 FF FF")},
        {"run of four", hex("FF FF FF 00 00 00 00"), hex("FE 00 FD FF")},
        {"run then one", hex("FF FF FF FF 0F"), hex("FD 00 00 F0")},
        {"mixed", hex("FF FF FF 0F 0F 0F 0F 80 01 02 03 04"), hex("FE 00 FD F0 03 7F FE FD FC 00 FB")},
        {"130 equal", repeat(130, 0x07), hex("82 F8 FE F8")},
        {"300 equal", repeat(300, 0x00), hex("82 FF 82 FF D3 FF")},
        {"single byte", hex("5A"), hex("00 A5")},
        {"empty", Bytes{}, Bytes{}},
        {"literal stops before pair", hex("01 02 03 03"), hex("01 FE FD FF FC")},
        {"literal one before pair", hex("01 02 02"), hex("00 FE FF FD")},
        {"128 distinct", alternating, concat({literal127, hex("00 55")})},
        {"black row with lead", concat({repeat(3, 0xFF), repeat(200, 0x00)}), hex("FE 00 82 FF B8 FF")},
        {"run of 127 then 1", repeat(128, 0x11), hex("82 EE 00 EE")},
        {"run of 129", repeat(129, 0x11), hex("82 EE FF EE")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(encode(c.input), c.encoded) << c.name;
}

// The buffer bound the filter relies on: the worst case, a row with no two
// neighbours equal behind its three lead bytes, stays within 2 x L + 2.
TEST(LineEncoder, WorstCaseFitsTheLineBuffer)
{
    for (std::uint32_t width : {1u, 2u, 3u, 127u, 128u, 255u, 797u}) {
        Bytes line = repeat(3, 0xFF);
        for (std::uint32_t i = 0; i < width; ++i)
            line.push_back(static_cast<unsigned char>(i & 1 ? 0x12 : 0x34));
        EXPECT_LE(encode(line).size(), 2 * width + 2) << width;
    }
}

TEST(BlankRow, OnlyAllWhiteIsBlank)
{
  for (bool portable : {true, false}) {
    usePortableScans(portable);
    Bytes row(797, 0xFF);
    EXPECT_TRUE(isBlankRow(row.data(), 797));
    EXPECT_TRUE(isBlankRow(row.data(), 0));
    for (std::size_t pos : {0u, 1u, 7u, 8u, 9u, 400u, 795u, 796u}) {
        Bytes dirty = row;
        dirty[pos] = 0xFE;
        EXPECT_FALSE(isBlankRow(dirty.data(), 797)) << pos;
        // Only the tested length counts: black past it is ignored.
        EXPECT_TRUE(isBlankRow(dirty.data(), static_cast<std::uint32_t>(pos))) << pos;
    }
    // A row of one repeated non-white byte is not blank.
    Bytes grey(797, 0xAA);
    EXPECT_FALSE(isBlankRow(grey.data(), 797));
    for (std::uint32_t n = 1; n < 300; ++n) {
        Bytes last(n, 0xFF);
        last[n - 1] = 0x7F;
        EXPECT_FALSE(isBlankRow(last.data(), n)) << n;
        EXPECT_TRUE(isBlankRow(last.data(), n - 1)) << n;
    }
  }
  usePortableScans(false);
}

// withLead: the line the printer gets for a row: three white bytes first.
Bytes withLead(const Bytes& row)
{
    Bytes line(row.size() + 3, 0xFF);
    std::copy(row.begin(), row.end(), line.begin() + 3);
    return line;
}

// Rows the way a page has them: runs of a few byte values whose lengths
// cross the 127-byte token limit and the 64-byte mask words, broken by
// noise. kind picks the mix.
Bytes patternRow(std::mt19937& rng, std::size_t n, int kind)
{
    static const unsigned char kValues[] = {0xFF, 0x00, 0xF0, 0x0F, 0x81, 0xFE};
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> value(0, kind == 0 ? 1 : 5);
    std::uniform_int_distribution<std::size_t> shortRun(1, 4);
    std::uniform_int_distribution<std::size_t> longRun(1, 300);
    Bytes row;
    while (row.size() < n) {
        if (kind == 3) {
            row.push_back(static_cast<unsigned char>(byte(rng)));
            continue;
        }
        const std::size_t run = (kind == 1 ? shortRun(rng) : longRun(rng));
        const unsigned char b = (kind == 2 && run < 3) ? static_cast<unsigned char>(byte(rng))
                                                        : kValues[value(rng)];
        row.insert(row.end(), std::min(run, n - row.size()), b);
    }
    return row;
}

// The fast encoder against the byte-by-byte one, on both the portable and
// the vector scans, for whole lines and for rows with their white lead.
TEST(LineEncoder, MatchesTheReferenceOnPageLikeRows)
{
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<std::size_t> width(1, 900);
    for (bool portable : {true, false}) {
        usePortableScans(portable);
        for (int round = 0; round < 3000; ++round) {
            const std::size_t n = round < 300 ? static_cast<std::size_t>(round % 150 + 1) : width(rng);
            const int kind = round % 4;
            const Bytes row = patternRow(rng, n, kind);
            ASSERT_EQ(encode(row), qtest::referenceEncode(row))
                << "portable " << portable << " round " << round << " kind " << kind;

            Bytes padded = row;
            padded.resize(row.size() + kScanSlack, static_cast<unsigned char>(round));
            Bytes out(2 * (row.size() + 3) + kScanSlack);
            out.resize(encodeRow(padded.data(), static_cast<std::uint32_t>(row.size()), out.data()));
            const Bytes line = withLead(row);
            ASSERT_EQ(out, qtest::referenceEncode(line))
                << "row: portable " << portable << " round " << round << " kind " << kind;
        }
        // Longer than any row: the encoder's own buffers give way to the heap.
        const Bytes longLine = patternRow(rng, 6000, 2);
        EXPECT_EQ(encode(longLine), qtest::referenceEncode(longLine)) << "portable " << portable;
    }
    usePortableScans(false);
}

// White leads of every length around the 127-byte limit and a word edge.
TEST(LineEncoder, RowLeadMergesWithLeadingWhite)
{
    for (std::size_t white : {0u, 1u, 2u, 60u, 61u, 62u, 123u, 124u, 125u, 126u, 251u, 252u}) {
        for (unsigned char after : {0x00, 0xFE}) {
            Bytes row = repeat(white, 0xFF);
            row.push_back(after);
            row.push_back(0x5A);
            Bytes padded = row;
            padded.resize(row.size() + kScanSlack, 0xFF);
            Bytes out(2 * (row.size() + 3) + kScanSlack);
            out.resize(encodeRow(padded.data(), static_cast<std::uint32_t>(row.size()), out.data()));
            const Bytes line = withLead(row);
            EXPECT_EQ(out, qtest::referenceEncode(line)) << white << " then " << int(after);
        }
    }
    Bytes out(2 + kScanSlack);
    const unsigned char none[kScanSlack] = {};
    out.resize(encodeRow(none, 0, out.data()));
    EXPECT_EQ(out, hex("FE 00"));
}

}  // namespace
