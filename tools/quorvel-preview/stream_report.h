// The words quorvel-preview prints: the job summary and the error line.
#pragma once

#include <string>

#include "stream_decoder.h"

namespace quorvel {

// describeStream: the summary, one fact per line:
//   settings: paper W x H dots, copies C, density D, weight W   (or "settings block: suppressed")
//   duplex: one-sided|long edge|short edge, manual duplex off|on (with the settings)
//   pages: N
//   page 1: R rows, D data lines, B blank lines, N bytes       (one line per page)
//   end of job: yes|no
std::string describeStream(const DecodedStream& stream);

// describeHead: the summary's settings (and duplex) lines.
std::string describeHead(const StreamSettings& settings);

// describePage: the summary's line for page number (from 1).
std::string describePage(std::size_t number, const DecodedPage& page);

// describeError: "offset N: expected X, found Y" (no newline).
std::string describeError(const DecodeError& err);

}  // namespace quorvel
