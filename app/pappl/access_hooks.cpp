// Where PAPPL 1.3.1 (and 1.4) decides who may do what, and gets it wrong
// for a server on a network: the stand-ins that put the application's
// policy (its access hooks, layer.h) in its place. Each is reached through
// the dynamic linker.
//
// - _papplPrinterIsAuthorized, asked for printing and for a job's changes:
//   once an auth callback is set (ours, for administration) it answers a
//   plain-HTTP print job from another address with 426, and with an auth
//   service it wants a login for printing; it lets anyone cancel, hold or
//   release anyone's job when nobody logs in, and lets Enable-Printer and
//   Disable-Printer through with the printing rule. Here printing stays
//   open, a job's changes need its owner or an administrator (a client
//   that may log in is asked to, with 401), and enabling or disabling a
//   printer an administrator.
// - _papplPrinterProcessIPP: Cancel-My-Jobs cancels every job of the
//   printer (for an administrator, nobody else): here the caller's own.
//   And Get-Notifications (with _papplSystemProcessIPP for the system's)
//   gives any subscriber the name and owner of every new job (1.4 of
//   every job event): others' are hidden there too.
// - _papplJobCopyAttributesNoLock: Get-Jobs and Get-Job-Attributes show
//   every job's name and owner to everyone: here only to its owner and
//   administrators; others see a placeholder, and the job's state.
// - papplClientIsValidForm, which every web form's handler asks before it
//   changes anything: the printer page's own forms (hold new jobs, test
//   page, ...) do not ask for authorization at all. Here a form is taken
//   from administrators only.
// - _papplPrinterWebHome with papplJobGetName and papplJobGetUsername: the
//   printer page lists every job's name and owner to everyone: there,
//   others see the placeholder.
// - papplPrinterCreate: a LAN client could add a printer whose device is
//   any file the server may write: a file: device only under the folder
//   the server was given.
//
// The app_server_access case (job owners and privacy over loopback) and
// the access_probes test (the service's policy from a LAN) fail without
// them.
#include <pappl/pappl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "interpose.h"
#include "layer.h"

namespace {

// Whether this thread draws a page for someone who may not see job names.
thread_local bool tHideJobs = false;

// respondNotOwner: the answer to a change of someone else's job.
bool respondNotOwner(pappl_client_t* client, pappl_job_t* job)
{
    papplClientRespondIPP(client, IPP_STATUS_ERROR_NOT_AUTHORIZED,
                          "Only the owner of job %d or an administrator may change it.", papplJobGetID(job));
    return false;
}

// processingJob: the job the printer prints now, or nullptr.
pappl_job_t* processingJob(pappl_printer_t* printer)
{
    pappl_job_t* found = nullptr;
    papplPrinterIterateActiveJobs(
        printer,
        [](pappl_job_t* job, void* data) {
            if (papplJobGetState(job) == IPP_JSTATE_PROCESSING)
                *static_cast<pappl_job_t**>(data) = job;
        },
        &found, 1, 0);
    return found;
}

// The job values only their owners and administrators see.
const char* const kPrivate[] = {"job-name", "document-name-supplied", "job-originating-user-name",
                                "job-originating-host-name"};

// isPrivate: whether an attribute is one of those.
bool isPrivate(ipp_attribute_t* attr)
{
    const char* name = ippGetName(attr);
    for (const char* p : kPrivate)
        if (name && std::strcmp(name, p) == 0)
            return true;
    return false;
}

// hide: the attribute's value replaced by the placeholder.
void hide(ipp_t* ipp, ipp_attribute_t* attr)
{
    ippSetString(ipp, &attr, 0, layerHooks().hidden);
    while (ippGetCount(attr) > 1)
        ippDeleteValues(ipp, &attr, 1, 1);
}

// hideNotifications: in a Get-Notifications answer, the private values of
// each event about a job the client may not see whole.
void hideNotifications(pappl_client_t* client)
{
    ipp_t* response = papplClientGetResponse(client);
    pappl_printer_t* printer = papplClientGetPrinter(client);
    std::vector<ipp_attribute_t*> event; // the private values of one event
    int jobId = 0;
    auto finish = [&]() {
        pappl_job_t* job = printer && jobId > 0 ? papplPrinterFindJob(printer, jobId) : nullptr;
        if (!event.empty() && !(job && layerHooks().ownsOrAdministers(client, job)))
            for (ipp_attribute_t* attr : event)
                hide(response, attr);
        event.clear();
        jobId = 0;
    };
    for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
        if (!ippGetName(a) || ippGetGroupTag(a) != IPP_TAG_EVENT_NOTIFICATION) {
            finish();
            continue;
        }
        // The job's number: notify-job-id, or job-id in PAPPL 1.4's events
        // of a printer's subscription.
        if (std::strcmp(ippGetName(a), "notify-job-id") == 0 || std::strcmp(ippGetName(a), "job-id") == 0)
            jobId = ippGetInteger(a, 0);
        else if (isPrivate(a))
            event.push_back(a);
    }
    finish();
}

} // namespace

extern "C" bool _papplPrinterIsAuthorized(pappl_client_t* client)
{
    if (!layerHooks().identify(client))
        return false;
    switch (papplClientGetOperation(client)) {
    case IPP_OP_ENABLE_PRINTER:
    case IPP_OP_DISABLE_PRINTER: {
        const http_status_t status = layerHooks().administrator(client);
        if (status == HTTP_STATUS_CONTINUE)
            return true;
        papplClientRespond(client, status, nullptr, nullptr, 0, 0);
        return false;
    }
    case IPP_OP_CANCEL_JOB:
    case IPP_OP_HOLD_JOB:
    case IPP_OP_RELEASE_JOB:
    case IPP_OP_SET_JOB_ATTRIBUTES:
    case IPP_OP_CANCEL_DOCUMENT:
    case IPP_OP_CANCEL_CURRENT_JOB: {
        pappl_job_t* job = papplClientGetOperation(client) == IPP_OP_CANCEL_CURRENT_JOB
                               ? processingJob(papplClientGetPrinter(client))
                               : papplClientGetJob(client);
        if (!job)
            return true;
        if (layerHooks().isOwner(layerHooks().requester(client), job))
            return true;
        const http_status_t status = layerHooks().administrator(client);
        if (status == HTTP_STATUS_CONTINUE)
            return true;
        // An administrator's client sends a password once asked for one
        // (where one may be sent at all).
        const char* authorization = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
        if (status == HTTP_STATUS_UNAUTHORIZED && (!authorization || !*authorization)) {
            papplClientRespond(client, status, nullptr, nullptr, 0, 0);
            return false;
        }
        return respondNotOwner(client, job);
    }
    default:
        return true;
    }
}

extern "C" void _papplPrinterProcessIPP(pappl_client_t* client)
{
    static const auto process = nextDefinition("_papplPrinterProcessIPP", &_papplPrinterProcessIPP);
    if (papplClientGetOperation(client) != IPP_OP_CANCEL_MY_JOBS || !papplClientGetPrinter(client)) {
        process(client);
        if (papplClientGetOperation(client) == IPP_OP_GET_NOTIFICATIONS)
            hideNotifications(client);
        return;
    }
    if (!layerHooks().identify(client))
        return;
    struct Mine {
        std::string user;
        std::vector<int> ids;
    } mine{layerHooks().requester(client), {}};
    pappl_printer_t* printer = papplClientGetPrinter(client);
    papplPrinterIterateActiveJobs(
        printer,
        [](pappl_job_t* job, void* data) {
            auto* m = static_cast<Mine*>(data);
            if (layerHooks().isOwner(m->user, job))
                m->ids.push_back(papplJobGetID(job));
        },
        &mine, 1, 0);
    // Cancelled outside the iteration, which holds the printer's lock.
    for (int id : mine.ids)
        if (pappl_job_t* job = papplPrinterFindJob(printer, id))
            papplJobCancel(job);
    papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
}

extern "C" void _papplSystemProcessIPP(pappl_client_t* client)
{
    static const auto process = nextDefinition("_papplSystemProcessIPP", &_papplSystemProcessIPP);
    process(client);
    if (papplClientGetOperation(client) == IPP_OP_GET_NOTIFICATIONS)
        hideNotifications(client);
}

extern "C" void _papplJobCopyAttributesNoLock(pappl_job_t* job, pappl_client_t* client, cups_array_t* ra)
{
    static const auto copy = nextDefinition("_papplJobCopyAttributesNoLock", &_papplJobCopyAttributesNoLock);
    ipp_t* response = papplClientGetResponse(client);
    int before = 0;
    for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response))
        ++before;
    copy(job, client, ra);
    if (layerHooks().ownsOrAdministers(client, job))
        return;
    int index = 0;
    for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response))
        if (index++ >= before && isPrivate(a))
            hide(response, a);
}

extern "C" bool papplClientIsValidForm(pappl_client_t* client, int num_form, cups_option_t* form)
{
    static const auto valid = nextDefinition("papplClientIsValidForm", &papplClientIsValidForm);
    if (!valid(client, num_form, form))
        return false;
    if (layerHooks().administrator(client) == HTTP_STATUS_CONTINUE)
        return true;
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Form refused: not from an administrator.");
    return false;
}

extern "C" void _papplPrinterWebHome(pappl_client_t* client, pappl_printer_t* printer)
{
    static const auto home = nextDefinition("_papplPrinterWebHome", &_papplPrinterWebHome);
    tHideJobs = layerHooks().administrator(client) != HTTP_STATUS_CONTINUE;
    home(client, printer);
    tHideJobs = false;
}

extern "C" const char* papplJobGetName(pappl_job_t* job)
{
    static const auto get = nextDefinition("papplJobGetName", &papplJobGetName);
    return tHideJobs ? layerHooks().hidden : get(job);
}

extern "C" const char* papplJobGetUsername(pappl_job_t* job)
{
    static const auto get = nextDefinition("papplJobGetUsername", &papplJobGetUsername);
    return tHideJobs ? layerHooks().hidden : get(job);
}

extern "C" pappl_printer_t* papplPrinterCreate(pappl_system_t* system, int printer_id, const char* printer_name,
                                               const char* driver_name, const char* device_id,
                                               const char* device_uri)
{
    static const auto create = nextDefinition("papplPrinterCreate", &papplPrinterCreate);
    const std::string problem = layerHooks().deviceProblem(device_uri);
    if (!problem.empty()) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Printer '%s' refused: %s.", printer_name ? printer_name : "",
                 problem.c_str());
        errno = EPERM;
        return nullptr;
    }
    return create(system, printer_id, printer_name, driver_name, device_id, device_uri);
}
