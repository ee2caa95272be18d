// The printer's bytes as the protocol tables give them, typed out once for
// every test area. Nothing here is computed by the code under test: the CRC
// values are literals too.
#pragma once

#include <map>
#include <string>

#include "test_support.h"

namespace proto {

using qtest::Bytes;
using qtest::hex;

inline const Bytes kInit = hex("1B 26 42 1B 25 2D 39 38 37 36 35 58");
inline const Bytes kBeginPage = hex("1B 24 41 1B 21 41 00 00 10");
inline const Bytes kBlank = hex("1B 2A 42 01 00");
inline const Bytes kEndPage = hex("1B 24 42");
inline const Bytes kEndOfJob = hex("1C 16 04 45 00");
inline const Bytes kEndOfJobDouble = hex("1C 16 04 45 01");

// The copies command with its CRC-16, for the counts the tests send.
inline Bytes copiesCmd(unsigned copies)
{
    static const std::map<unsigned, const char*> kCrc = {
        {0, "78 16"}, {1, "49 25"}, {2, "1A 70"}, {3, "2B 43"}, {5, "8D E9"}, {99, "01 48"}, {300, "D2 45"}, {32767, "FF 9A"}};
    Bytes cmd = hex("1B 26 6C");
    cmd.push_back(copies & 0xFF);
    cmd.push_back(copies >> 8);
    const Bytes crc = hex(kCrc.at(copies));
    cmd.insert(cmd.end(), crc.begin(), crc.end());
    return cmd;
}

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// le16: a 16-bit number as the commands carry it, low byte first.
inline Bytes le16(unsigned v)
{
    return {static_cast<unsigned char>(v & 0xFF), static_cast<unsigned char>((v >> 8) & 0xFF)};
}

// Rows 9 to 11 of the settings block: duplex mode, begin duplex, manual duplex.
inline Bytes duplexRows(int duplex, int manual)
{
    const Bytes mode[] = {hex("1B 26 41 09 00 00"), hex("1B 26 41 09 00 01"), hex("1B 26 41 09 00 02")};
    return cat({mode[duplex], duplex != 0 ? hex("1C 16 04 42 01") : hex("1C 16 04 42 00"),
                manual == 3 ? hex("1C 16 05 46 01") : hex("1C 16 05 46 00")});
}

// settings: the 71-byte block for a paper size in dots, copies, levels and
// duplex fields.
inline Bytes settings(unsigned widthDots, unsigned heightDots, unsigned copies = 1, int density = 2,
                      int weight = 3, int duplex = 0, int manual = 0)
{
    return cat({kInit, hex("1C 16 01 42"), {static_cast<unsigned char>(0x10 + weight)}, hex("1C 16 02 42"),
                {static_cast<unsigned char>(0x10 + density)}, hex("1C 16 03 42 10 1B 26 41 01 00 01 1B 78"),
                le16(widthDots), hex("1B 79"), le16(heightDots), hex("1B 26 41 03 00 00 00"), copiesCmd(copies),
                duplexRows(duplex, manual)});
}

// The default block written out whole: 4 x 6 inches at 203 dpi (812 x 1218
// dots), one copy, density 2, weight 3, one-sided.
inline const Bytes kDefaultSettings4x6 = hex(
    "1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 01 42 13 1C 16 02 42 12 1C 16 03 42 10 1B 26 41 01 00 01 "
    "1B 78 2C 03 1B 79 C2 04 1B 26 41 03 00 00 00 1B 26 6C 01 00 49 25 1B 26 41 09 00 00 1C 16 04 42 00 "
    "1C 16 05 46 00");

// lineCmd: a line data command around an encoded body.
inline Bytes lineCmd(const Bytes& encoded)
{
    return cat({hex("1B 2A 41 02"), le16(static_cast<unsigned>(encoded.size())), encoded});
}

// Worked encodings of whole lines (the three white lead bytes included where
// a row is sent with them).
struct Encoding {
    const char* name;
    Bytes line;
    Bytes encoded;
};

inline Bytes repeat(std::size_t n, unsigned char b)
{
    return Bytes(n, b);
}

inline std::vector<Encoding> workedEncodings()
{
    Bytes alternating(128);
    for (std::size_t i = 0; i < alternating.size(); ++i)
        alternating[i] = static_cast<unsigned char>(i & 1 ? 0xAA : 0x55);
    Bytes literal127 = {0x7E};
    for (std::size_t i = 0; i < 127; ++i)
        literal127.push_back(static_cast<unsigned char>(i & 1 ? 0x55 : 0xAA));
    return {
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
        {"literal stops before pair", hex("01 02 03 03"), hex("01 FE FD FF FC")},
        {"literal one before pair", hex("01 02 02"), hex("00 FE FF FD")},
        {"128 distinct", alternating, cat({literal127, hex("00 55")})},
        {"black row with lead", cat({repeat(3, 0xFF), repeat(200, 0x00)}), hex("FE 00 82 FF B8 FF")},
        {"run of 127 then 1", repeat(128, 0x11), hex("82 EE 00 EE")},
        {"run of 129", repeat(129, 0x11), hex("82 EE FF EE")},
        {"white lead run of 127", repeat(130, 0xFF), hex("82 00 FE 00")},
        {"lead, white, then black", cat({repeat(5, 0xFF), hex("00")}), hex("FC 00 00 FF")},
    };
}

}  // namespace proto
