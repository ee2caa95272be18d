// A job through the driver: settings, pages left out, the stream, and the
// device writes that carry it.
#include "print_job.h"

#include "printer_vocabulary.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

namespace {

// appendSentence: add text to a job message, one sentence after another.
void appendSentence(std::string& message, const std::string& text)
{
    if (!message.empty())
        message += "; ";
    message += text;
}

// noteWrite: remember the first write failure; true while there is none.
bool noteWrite(AppJob& job, int err)
{
    if (err != 0 && job.writeErrno == 0)
        job.writeErrno = err;
    return job.writeErrno == 0;
}

} // namespace

// darknessLevel: the printer's darkness plus the job's, in five bands, the
// darkest band first.
int darknessLevel(int configured, int printDarkness)
{
    const int d = std::clamp(configured + printDarkness, 0, 100);
    return d >= 80 ? 0 : 4 - d / 20;
}

// paperWeightLevel: keyword to level; unknown keywords keep the default,
// since PAPPL has already refused values outside paper-weight-supported.
int paperWeightLevel(const std::string& keyword)
{
    for (const std::string& k : {keyword, std::string(kPaperWeightDefault)})
        for (int i = 0; i < kPaperWeightCount; ++i)
            if (k == kPaperWeights[i])
                return i;
    return 0;
}

// jobAttrFromOptions: density, weight and the duplex fields; the CmdCancel
// switches are a CUPS-queue matter and stay off here.
PrintJobAttr jobAttrFromOptions(const JobOptions& options)
{
    PrintJobAttr attr;
    attr.m_printDensity = darknessLevel(options.darknessConfigured, options.printDarkness);
    attr.m_paperWeight = paperWeightLevel(options.paperWeight);
    attr.m_duplex = options.sides == 2 ? 1 : options.sides == 4 ? 2 : 0;
    attr.m_manualDuplex = options.manualDuplex ? 3 : 0;
    return attr;
}

// pageProblem: the library's sentence, the same the CUPS filter writes.
std::string pageProblem(const QuorvelPage& page, int pageNumber)
{
    char text[256];
    return quorvelPageProblem(page, pageNumber, text, sizeof text) ? text : "";
}

// appJobBegin: a fresh stream.
void appJobBegin(AppJob& job, const JobOptions& options, DeviceWrite write, void* device)
{
    job.options = options;
    job.attr = jobAttrFromOptions(options);
    job.write = write;
    job.device = device;
    quorvelJobInit(job.stream, appDeviceSink, &job);
}

QuorvelPage appPageAsSent(const AppJob& job, const QuorvelPage& page)
{
    QuorvelPage sent = page;
    if (job.clientSet) {
        sent.width = job.client.width;
        sent.height = job.client.height;
        sent.bytesPerLine = (job.client.width + 7) / 8;
    }
    return sent;
}

// appPageBegin: the settings block comes from the first page printed, with
// the job's copies when the printer is to make them.
bool appPageBegin(AppJob& job, const QuorvelPage& page, const QuorvelPage& sent)
{
    ++job.pagesSeen;
    job.skipPage = true;
    if (job.writeErrno != 0)
        return false;
    if (job.options.singlePage && job.pagesSeen > 1)
        return true; // PAPPL's copy of the one page: the printer makes copies
    const std::string problem = pageProblem(sent, job.pagesSeen);
    if (!problem.empty()) {
        appendSentence(job.refused, problem);
        return true;
    }
    job.skipPage = false;
    if (!job.started) {
        job.started = true;
        QuorvelPage first = page;
        if (job.options.copiesInSettings)
            first.numCopies = static_cast<unsigned>(std::max(job.options.copies, 1));
        if (!noteWrite(job, quorvelStartJob(job.stream, first, job.attr)))
            return false;
    }
    ++job.pagesPrinted;
    return noteWrite(job, quorvelStartPage(job.stream, page));
}

bool appRow(AppJob& job, const unsigned char* row)
{
    if (job.skipPage || job.writeErrno != 0)
        return job.writeErrno == 0;
    return noteWrite(job, quorvelSendRow(job.stream, row, true));
}

bool appPageEnd(AppJob& job)
{
    if (job.skipPage || job.writeErrno != 0) {
        job.skipPage = false;
        return job.writeErrno == 0;
    }
    // The rest of the page goes out white, so the stream stays whole; the
    // job still has to say that its document stopped early.
    if (job.stream.rowsSent < job.stream.height && job.shortPage.empty())
        job.shortPage = "Page " + std::to_string(job.pagesSeen) + " ended after " +
                        std::to_string(job.stream.rowsSent) + " of its " +
                        std::to_string(job.stream.height) + " rows: the document data stopped early";
    return noteWrite(job, quorvelEndPage(job.stream));
}

// appJobEnd: ends an open page too, so a cancelled job leaves a whole
// stream.
bool appJobEnd(AppJob& job)
{
    noteWrite(job, quorvelEndJob(job.stream));
    return job.writeErrno == 0;
}

// appDeviceSink: a write cut short by a signal or a slow device goes on
// where it stopped; only a real error ends it.
int appDeviceSink(void* context, const unsigned char* bytes, std::size_t len)
{
    AppJob& job = *static_cast<AppJob*>(context);
    int idle = 0;
    while (len > 0) {
        errno = 0;
        const ssize_t n = job.write(job.device, bytes, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN && ++idle < 1000) {
                usleep(1000);
                continue;
            }
            return errno != 0 ? errno : EIO;
        }
        if (n == 0) {
            if (++idle < 1000)
                continue;
            return EIO; // a device that takes nothing, again and again, is gone
        }
        idle = 0;
        bytes += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}
