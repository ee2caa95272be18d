// The printer's bytes as the protocol tables give them, typed out once for
// every test area. Nothing here is computed by the code under test: the CRC
// values are literals too.
#pragma once

#include <map>

#include "test_support.h"

namespace proto {

using qtest::Bytes;
using qtest::hex;

inline const Bytes kBeginPage = hex("1B 24 41 1B 21 41 00 00 10");
inline const Bytes kBlank = hex("1B 2A 42 01 00");
inline const Bytes kEndPage = hex("1B 24 42");
inline const Bytes kEndOfJob = hex("1C 16 04 45 00");
inline const Bytes kEndOfJobDouble = hex("1C 16 04 45 01");

inline Bytes cat(const std::vector<Bytes>& parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// le16: a 16-bit field as the commands carry it, low byte first.
inline Bytes le16(unsigned v)
{
    return {static_cast<unsigned char>(v & 0xFF), static_cast<unsigned char>(v >> 8 & 0xFF)};
}

// settings: the 71-byte block for a paper size in dots, copies, levels and
// the duplex fields (duplex 0, 1 long edge, 2 short edge; manual 3 is on).
inline Bytes settings(unsigned widthDots, unsigned heightDots, unsigned copies = 1, int density = 2,
                      int weight = 3, int duplex = 0, int manual = 0)
{
    static const std::map<unsigned, const char*> kCopiesCrc = {
        {0, "78 16"}, {1, "49 25"}, {2, "1A 70"}, {3, "2B 43"}, {5, "8D E9"}, {300, "D2 45"}, {32767, "FF 9A"}};
    auto u8 = [](int v) { return Bytes{static_cast<unsigned char>(v)}; };
    return cat({hex("1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 01 42"), u8(0x10 + weight), hex("1C 16 02 42"),
                u8(0x10 + density), hex("1C 16 03 42 10 1B 26 41 01 00 01 1B 78"), le16(widthDots), hex("1B 79"),
                le16(heightDots), hex("1B 26 41 03 00 00 00 1B 26 6C"), le16(copies), hex(kCopiesCrc.at(copies)),
                hex("1B 26 41 09 00"), u8(duplex), hex("1C 16 04 42"), u8(duplex != 0), hex("1C 16 05 46"),
                u8(manual == 3)});
}

// lineCmd: a line data command around an encoded body.
inline Bytes lineCmd(const Bytes& encoded)
{
    return cat({hex("1B 2A 41 02"), le16(static_cast<unsigned>(encoded.size())), encoded});
}

// Worked encodings of whole lines, the three white lead bytes included
// where a row is sent with them.
struct Encoding {
    Bytes line, encoded;
};

inline std::vector<Encoding> workedEncodings()
{
    Bytes alternating, literal127 = {0x7E};
    for (int i = 0; i < 128; ++i)
        alternating.push_back(i & 1 ? 0xAA : 0x55), literal127.push_back(i & 1 ? 0x55 : 0xAA);
    literal127.pop_back();
    const Bytes white3(3, 0xFF);
    return {
        {hex("01 02 03 04 05"), hex("03 FE FD FC FB 00 FA")},
        {hex("01 02"), hex("00 FE 00 FD")},
        {hex("5A"), hex("00 A5")},
        {white3, hex("FE 00")},
        {hex("FF FF FF FF"), hex("FD 00")},
        {hex("FF FF FF 00 00"), hex("FE 00 FF FF")},
        {hex("FF FF FF 00 00 00 00"), hex("FE 00 FD FF")},
        {hex("FF FF FF FF 0F"), hex("FD 00 00 F0")},
        {hex("FF FF FF FF FF 00"), hex("FC 00 00 FF")},
        {hex("FF FF FF 0F 0F 0F 0F 80 01 02 03 04"), hex("FE 00 FD F0 03 7F FE FD FC 00 FB")},
        {hex("01 02 03 03"), hex("01 FE FD FF FC")},
        {hex("01 02 02"), hex("00 FE FF FD")},
        {Bytes(130, 0x07), hex("82 F8 FE F8")},
        {Bytes(300, 0x00), hex("82 FF 82 FF D3 FF")},
        {Bytes(128, 0x11), hex("82 EE 00 EE")},
        {Bytes(129, 0x11), hex("82 EE FF EE")},
        {cat({Bytes(128, 0x11), hex("22 33")}), hex("82 EE 01 EE DD 00 CC")},
        {Bytes(130, 0xFF), hex("82 00 FE 00")},
        {cat({white3, Bytes(200, 0x00)}), hex("FE 00 82 FF B8 FF")},
        {alternating, cat({literal127, hex("00 55")})},
    };
}

}  // namespace proto
