// Job attributes on the CUPS road: what the first page's header and the job
// options say about the job, logged as the scheduler expects and gathered
// into the PrintJobAttr the printer stream library sends.
#pragma once

#include <cups/cups.h>
#include <cups/ppd.h>
#include <cups/raster.h>

#include "printer_stream.h"

// getPrintJobAttrFromPPD: log the header values the settings block is built
// from (the library builds the paper size and copy fields from them).
void getPrintJobAttrFromPPD(const cups_page_header2_t* header);

// getPrintJobAttrFromArgs: density, paper weight and the CmdCancel switches
// from the options string into attr; an option the user did not give falls
// back to the queue's default in ppd (when ppd is not null).
void getPrintJobAttrFromArgs(const char* options, ppd_file_t* ppd, PrintJobAttr& attr);

// getDuplexFromArgs: the duplex mode (Duplex, else sides, else the queue's
// Duplex default) and manual duplex (ManualDuplex, else the queue's default)
// into attr.
void getDuplexFromArgs(const char* options, ppd_file_t* ppd, PrintJobAttr& attr);

// getOptionChoiceFromPPD: leading integer of the marked (else default)
// choice of the PPD option keyword, or -1 when there is none.
int getOptionChoiceFromPPD(ppd_file_t* ppd, const char* keyword);
