// The summary is read by people and grepped by scripts, so it keeps a fixed
// shape: one line per fact, numbers in decimal.
#include "stream_report.h"

namespace quorvel {

std::string describeHead(const StreamSettings& s)
{
    if (!s.present)
        return "settings block: suppressed\n";
    return "settings: paper " + std::to_string(s.widthDots) + " x " + std::to_string(s.heightDots) + " dots, copies " +
           std::to_string(s.copies) + ", density " + std::to_string(s.density) + ", weight " +
           std::to_string(s.weight) + "\n" + "duplex: " +
           (s.duplex == 1 ? "long edge" : s.duplex == 2 ? "short edge" : "one-sided") + ", manual duplex " +
           (s.manualDuplex ? "on" : "off") + "\n";
}

std::string describePage(std::size_t number, const DecodedPage& p)
{
    return "page " + std::to_string(number) + ": " + std::to_string(std::size_t{p.dataLines} + p.blankLines) +
           " rows, " + std::to_string(p.dataLines) + " data lines, " + std::to_string(p.blankLines) +
           " blank lines, " + std::to_string(p.bytes) + " bytes\n";
}

std::string describeStream(const DecodedStream& stream)
{
    std::string text = describeHead(stream.settings);
    text += "pages: " + std::to_string(stream.pages.size()) + "\n";
    for (std::size_t i = 0; i < stream.pages.size(); ++i)
        text += describePage(i + 1, stream.pages[i]);
    text += std::string("end of job: ") + (stream.endOfJob ? "yes" : "no") + "\n";
    return text;
}

std::string describeError(const DecodeError& err)
{
    return "offset " + std::to_string(err.offset) + ": expected " + err.expected + ", found " + err.found;
}

}  // namespace quorvel
