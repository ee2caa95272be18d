// Job prologue and epilogue.
#include "job_frame.h"

#include <cstdlib>

#include "job_attributes.h"
#include "line_encoder.h"
#include "output_cache.h"
#include "printer_commands.h"

// send: append one whole command string.
template <std::size_t N>
static void send(const std::array<unsigned char, N>& cmd)
{
    cachePrnCmd(cmd.data(), static_cast<std::uint32_t>(N));
}

// sendSettingsToPrinter: init, weight, darkness, render, bin, size,
// resolution, copies, then the single-sided duplex settings every job uses.
void sendSettingsToPrinter()
{
    if (g_printJobAttr.m_cancelAttr == 1)
        return;
    send(szInitCmd);
    send(szPaperWeightCmd);
    send(szDarknessCmd);
    send(szRenderTypeCmd);
    send(szInputBinCmd);
    send(szPaperSizeCustomCmd);
    send(szResolutionCmd);
    send(szNumCopiesCmd);
    send(szDuplexSingleCmd);
    send(szBeginDuplexSingleCmd);
    send(szManualDuplexDisableCmd);
}

// JobFinish: the cache goes write-through, so the empty append pushes out
// whatever is still held.
void JobFinish()
{
    if (g_printJobAttr.m_cancelJobFinish != 2)
        send(szEndDuplexSingleCmd);
    gJobFinishFlag = 1;
    cachePrnCmd(nullptr, 0);
    if (szCompressBuf != nullptr) {
        std::free(szCompressBuf);
        szCompressBuf = nullptr;
        gCompressBufSize = 0;
    }
}
