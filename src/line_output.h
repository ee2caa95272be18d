// Line output: a page's rows as blank-line and line data commands.
#pragma once

#include <cstdint>

#include "printer_stream.h"

// startRows: a page of height rows, of which the first n bytes are sent;
// false when a page that is kept whole finds no memory.
bool startRows(QuorvelJob& job, std::uint32_t n, std::uint32_t height);

// endRows: what the page still holds back, with the rows it never got as
// white rows.
void endRows(QuorvelJob& job);
