// The printer's command vocabulary: every fixed command the printer takes,
// as named byte strings. They hold zero bytes, so they are always sent with
// their length. Four of them carry fields (paper weight, darkness, paper
// size, copies) that a job fills into its own copy of the settings block.
// The stream reader (quorvel-preview) reads the same table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

using Cmd5 = std::array<unsigned char, 5>;
using Cmd6 = std::array<unsigned char, 6>;
using Cmd7 = std::array<unsigned char, 7>;

// Settings block, in the order it is sent.
inline constexpr std::array<unsigned char, 12> szInitCmd = {0x1B, 0x26, 0x42, 0x1B, 0x25, 0x2D,
                                                            0x39, 0x38, 0x37, 0x36, 0x35, 0x58};
inline constexpr Cmd5 szPaperWeightCmd = {0x1C, 0x16, 0x01, 0x42, 0x13}; // byte 4: 0x10 + weight level
inline constexpr Cmd5 szDarknessCmd = {0x1C, 0x16, 0x02, 0x42, 0x12};    // byte 4: 0x10 + density level
inline constexpr Cmd5 szRenderTypeCmd = {0x1C, 0x16, 0x03, 0x42, 0x10};
inline constexpr Cmd6 szInputBinCmd = {0x1B, 0x26, 0x41, 0x01, 0x00, 0x01};
// ESC x width, ESC y height, in dots, low byte first.
inline constexpr std::array<unsigned char, 8> szPaperSizeCustomCmd = {0x1B, 0x78, 0x60, 0x13,
                                                                      0x1B, 0x79, 0xC2, 0x1B};
inline constexpr Cmd7 szResolutionCmd = {0x1B, 0x26, 0x41, 0x03, 0x00, 0x00, 0x00};
// ESC &l copy count, then the CRC-16 of the five bytes before it.
inline constexpr Cmd7 szNumCopiesCmd = {0x1B, 0x26, 0x6C, 0x01, 0x00, 0x00, 0x00};
inline constexpr Cmd6 szDuplexSingleCmd = {0x1B, 0x26, 0x41, 0x09, 0x00, 0x00};
inline constexpr Cmd6 szDuplexLongflipCmd = {0x1B, 0x26, 0x41, 0x09, 0x00, 0x01};
inline constexpr Cmd6 szDuplexShortflipCmd = {0x1B, 0x26, 0x41, 0x09, 0x00, 0x02};
inline constexpr Cmd5 szBeginDuplexSingleCmd = {0x1C, 0x16, 0x04, 0x42, 0x00};
inline constexpr Cmd5 szBeginDuplexDoubleCmd = {0x1C, 0x16, 0x04, 0x42, 0x01};
inline constexpr Cmd5 szManualDuplexDisableCmd = {0x1C, 0x16, 0x05, 0x46, 0x00};
inline constexpr Cmd5 szManualDuplexEnableCmd = {0x1C, 0x16, 0x05, 0x46, 0x01};

// Page bracket and blank rows.
inline constexpr std::array<unsigned char, 9> szBeginPageCmd = {0x1B, 0x24, 0x41, 0x1B, 0x21,
                                                                0x41, 0x00, 0x00, 0x10};
inline constexpr Cmd5 szBlankLineCmd = {0x1B, 0x2A, 0x42, 0x01, 0x00};
inline constexpr std::array<unsigned char, 3> szEndPageCmd = {0x1B, 0x24, 0x42};

// End of job.
inline constexpr Cmd5 szEndDuplexSingleCmd = {0x1C, 0x16, 0x04, 0x45, 0x00};
inline constexpr Cmd5 szEndDuplexDoubleCmd = {0x1C, 0x16, 0x04, 0x45, 0x01};

// Line data command: ESC *A 02, the 16-bit encoded length, the encoded row.
inline constexpr std::array<unsigned char, 4> kLineDataPrefix = {0x1B, 0x2A, 0x41, 0x02};
constexpr std::uint32_t kLineDataHeaderSize = 6;

// White bytes the printer gets in front of every row's pixels.
constexpr std::uint32_t kRowLead = 3;

// The settings block: where each command and each field sits in it.
constexpr std::size_t kSettingsSize = 71;
constexpr std::size_t kWeightAt = 16, kDensityAt = 21;        // level bytes
constexpr std::size_t kWidthAt = 35, kHeightAt = 39;          // 16-bit dots
constexpr std::size_t kCopiesCmdAt = 48;                      // the copies command
constexpr std::size_t kCopiesAt = 51, kCrcAt = 53;            // 16-bit count and CRC
constexpr std::size_t kDuplexModeAt = 55, kBeginDuplexAt = 61, kManualDuplexAt = 66;

// cyg_crc16: CRC-16/XMODEM (polynomial 0x1021, start 0, no final XOR) of len
// bytes; 0 when len <= 0. The printer checks the copy count with it.
std::uint16_t cyg_crc16(const unsigned char* data, int len);

// mirrorBytes: n bytes of in into out, last pixel first (bit order and byte
// order reversed), as a long-edge back side is sent; undoes itself.
void mirrorBytes(const unsigned char* in, std::uint32_t n, unsigned char* out);

// putLe16: a 16-bit value into two command bytes, low byte first.
inline void putLe16(unsigned char* at, std::uint32_t value)
{
    at[0] = static_cast<unsigned char>(value & 0xFF);
    at[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}
