// Job attributes: what the first page's header and the job options say
// about the job, written into the printer commands and kept in
// g_printJobAttr for the job prologue and epilogue.
#pragma once

#include <cups/ppd.h>
#include <cups/raster.h>

#include <cstdint>

struct PrintJobAttr {
    int m_cancelAttr;      // 1: send no settings block
    int m_cancelJobFinish; // 2: send no end-of-job command
    int m_manualDuplex;    // 3 would mean manual duplex; never set
    int m_duplex;          // 0 single-sided; never set otherwise
    int m_printDensity;    // 0 darkest .. 4 lightest
    int m_paperWeight;     // 0 heaviest .. 4 lightest
};

extern PrintJobAttr g_printJobAttr; // the job's attributes, set on the first page

// cyg_crc16: CRC-16/XMODEM of len bytes (0 when len <= 0).
std::uint16_t cyg_crc16(const unsigned char* data, int len);

// getPrintJobAttrFromPPD: paper size in dots and copy count from the header.
void getPrintJobAttrFromPPD(const cups_page_header2_t* header);

// getPrintJobAttrFromArgs: density, paper weight and the CmdCancel switches
// from the options string; an option the user did not give falls back to the
// queue's default in ppd (when ppd is not null).
void getPrintJobAttrFromArgs(const char* options, ppd_file_t* ppd = nullptr);

// getOptionChoiceFromPPD: leading integer of the marked (else default)
// choice of the PPD option keyword, or -1 when there is none.
int getOptionChoiceFromPPD(ppd_file_t* ppd, const char* keyword);
