// The printer's command vocabulary: every fixed command the filter can send,
// kept as named byte strings. Four of them carry fields that the job
// attributes fill in on the first page; all are sent with their explicit
// length because they contain zero bytes.
#pragma once

#include <array>
#include <cstdint>

// Settings block, in the order it is sent.
extern std::array<unsigned char, 12> szInitCmd;             // ESC &B, ESC %-98765X
extern std::array<unsigned char, 5> szPaperWeightCmd;       // byte 4: 0x10 + weight level
extern std::array<unsigned char, 5> szDarknessCmd;          // byte 4: 0x10 + density level
extern std::array<unsigned char, 5> szRenderTypeCmd;        // render type
extern std::array<unsigned char, 6> szInputBinCmd;          // ESC &A 01: input bin
extern std::array<unsigned char, 8> szPaperSizeCustomCmd;   // ESC x width, ESC y height (dots)
extern std::array<unsigned char, 7> szResolutionCmd;        // ESC &A 03: resolution
extern std::array<unsigned char, 7> szNumCopiesCmd;         // ESC &l count, CRC-16
extern std::array<unsigned char, 6> szDuplexSingleCmd;      // ESC &A 09 00
extern std::array<unsigned char, 5> szBeginDuplexSingleCmd; // FS SYN 04 B 00
extern std::array<unsigned char, 5> szManualDuplexDisableCmd; // FS SYN 05 F 00

// Page bracket and blank rows.
extern std::array<unsigned char, 9> szBeginPageCmd;  // ESC $A, ESC !A, 00 00 10
extern std::array<unsigned char, 5> szBlankLineCmd;  // ESC *B 01 00
extern std::array<unsigned char, 3> szEndPageCmd;    // ESC $B

// End of job.
extern std::array<unsigned char, 5> szEndDuplexSingleCmd; // FS SYN 04 E 00

// Duplex and paper variants this driver never selects; kept so the whole
// vocabulary of the printer lives in one place.
extern std::array<unsigned char, 6> szDuplexLongflipCmd;
extern std::array<unsigned char, 6> szDuplexShortflipCmd;
extern std::array<unsigned char, 5> szBeginDuplexDoubleCmd;
extern std::array<unsigned char, 5> szEndDuplexDoubleCmd;
extern std::array<unsigned char, 5> szManualDuplexEnableCmd;
extern std::array<unsigned char, 7> szPaperSizeNormalCmd;

// Header of the line data command (ESC *A 02, then the 16-bit encoded
// length); its body is produced by the line encoder.
constexpr std::array<unsigned char, 4> kLineDataPrefix = {0x1B, 0x2A, 0x41, 0x02};
constexpr std::uint32_t kLineDataHeaderSize = 6;

// Put a 16-bit value into two command bytes, low byte first.
inline void putLe16(unsigned char* at, std::uint32_t value)
{
    at[0] = static_cast<unsigned char>(value & 0xFF);
    at[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}
