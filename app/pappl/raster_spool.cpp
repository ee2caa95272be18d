// PAPPL 1.3.1 (and 1.4) takes a PWG or Apple raster document its own way
// when a job's document arrives, with two faults:
//
// - While the printer prints another job it refuses the document with
//   server-error-busy and aborts the new job holding the printer's lock
//   while it takes the system's. A Get-Printer-Attributes for that printer
//   at the same moment holds the system's lock and waits for the
//   printer's: the two wait for each other for good, and so does every new
//   connection after them, since the main loop takes the system's lock to
//   accept one. Many desktop clients polling a printer while raster jobs
//   arrive is all it takes.
// - Otherwise it prints the document while the client sends it, on the
//   client's own thread, through its own raster path, which overruns its
//   row buffer when an 8-bit page is wider than the loaded media (a Letter
//   page on an A4 printer corrupts the heap and the server aborts).
//
// So raster documents are received like any other: this stands in front
// of _papplJobCopyDocumentData, which PAPPL's Print-Job and Send-Document
// reach through the dynamic linker. A raster document is spooled whole and
// submitted, and the client answered; the printer's job thread prints it
// through the application's raster filter after the jobs before it. Other formats go on to PAPPL's own receipt, which spools them the
// same way. The app_server_documents case (a Letter sgray_8 page on A4)
// kills the server without it, and the app_server_soak case, whose raster
// jobs arrive while others print, gets busy answers.
#include <dlfcn.h>
#include <pappl/pappl.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "interpose.h"
#include "layer.h"

namespace {

using Submit = void(pappl_job_t*, const char*);
using ReasonString = const char*(pappl_jreason_t);

// spool: the client's document into the job's spool file, then submitted;
// a job whose document cannot be spooled is cancelled, and the message
// why is returned (nullptr when it was submitted).
const char* spool(pappl_job_t* job, pappl_client_t* client, Submit* submit)
{
    char filename[1024];
    const int fd = papplJobOpenFile(job, filename, sizeof filename, nullptr, nullptr, "w");
    if (fd < 0) {
        static const char* const kNoFile = "Unable to spool the raster document.";
        papplJobSetMessage(job, kNoFile);
        papplJobCancel(job);
        return kNoFile;
    }
    // What the client sends is spooled whole; a connection that breaks
    // leaves a document that ends early, which the raster filter reports.
    http_t* http = papplClientGetHTTP(client);
    char buffer[65536];
    ssize_t n;
    bool written = true;
    while (written && (n = httpRead2(http, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const ssize_t w = write(fd, buffer + at, static_cast<std::size_t>(n - at));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                written = false;
                break;
            }
            at += w;
        }
    }
    close(fd);
    if (!written) {
        unlink(filename);
        static const char* const kFull = "Unable to spool the raster document: the spool folder is full.";
        papplJobSetMessage(job, kFull);
        papplJobCancel(job);
        return kFull;
    }
    submit(job, filename);
    return nullptr;
}

// stateMessage: what PAPPL says of a job in this state that has no message.
const char* stateMessage(ipp_jstate_t state)
{
    switch (state) {
    case IPP_JSTATE_PENDING:
        return "Job pending.";
    case IPP_JSTATE_HELD:
        return "Job held.";
    case IPP_JSTATE_PROCESSING:
        return "Job printing.";
    case IPP_JSTATE_STOPPED:
        return "Job stopped.";
    case IPP_JSTATE_CANCELED:
        return "Job canceled.";
    case IPP_JSTATE_ABORTED:
        return "Job aborted.";
    default:
        return "Job completed.";
    }
}

// respond: the answer PAPPL gives to a job's document: successful-ok and
// the job's id, URI and state. (The job's own message is not read: its
// thread may be replacing it, and PAPPL hands it out unlocked.)
void respond(pappl_client_t* client, pappl_job_t* job, const char* message, ReasonString* reasonString)
{
    papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
    ipp_t* response = papplClientGetResponse(client);
    for (const char* name : {"job-id", "job-uri"})
        if (ipp_attribute_t* attr = papplJobGetAttribute(job, name))
            ippCopyAttribute(response, attr, 0);
    const ipp_jstate_t state = papplJobGetState(job);
    ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_ENUM, "job-state", state);
    ippAddString(response, IPP_TAG_JOB, IPP_TAG_TEXT, "job-state-message", nullptr,
                 message != nullptr ? message : stateMessage(state));
    const pappl_jreason_t reasons = papplJobGetReasons(job);
    ipp_attribute_t* attr = nullptr;
    for (unsigned bit = 1; bit != 0 && reasonString != nullptr; bit <<= 1) {
        const char* keyword = (reasons & bit) != 0 ? reasonString(static_cast<pappl_jreason_t>(bit)) : nullptr;
        if (keyword == nullptr)
            continue;
        if (attr == nullptr)
            attr = ippAddString(response, IPP_TAG_JOB, IPP_CONST_TAG(IPP_TAG_KEYWORD), "job-state-reasons", nullptr,
                                keyword);
        else
            ippSetString(response, &attr, ippGetCount(attr), keyword);
    }
    if (attr == nullptr)
        ippAddString(response, IPP_TAG_JOB, IPP_CONST_TAG(IPP_TAG_KEYWORD), "job-state-reasons", nullptr, "none");
}

} // namespace

extern "C" void _papplJobCopyDocumentData(pappl_client_t* client, pappl_job_t* job)
{
    static const auto copy = nextDefinition("_papplJobCopyDocumentData", &_papplJobCopyDocumentData);
    // Private to PAPPL, and not declared in its headers: found by name
    // (layer.cpp checks at start that they are there).
    static const auto submit = reinterpret_cast<Submit*>(dlsym(RTLD_DEFAULT, "_papplJobSubmitFile"));
    static const auto reasonString = reinterpret_cast<ReasonString*>(dlsym(RTLD_DEFAULT, "_papplJobReasonString"));
    if (!layerHooks().isRaster(papplJobGetFormat(job))) {
        copy(client, job);
        return;
    }
    const char* failed = spool(job, client, submit);
    respond(client, job, failed, reasonString);
}
