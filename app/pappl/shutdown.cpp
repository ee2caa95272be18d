// On SIGTERM or SIGINT (the service being stopped) PAPPL 1.3.1 stops only
// once no job is active, pending and held jobs included, or after a
// minute; a job that is slow to print keeps the server up that long, and
// every job queued behind it starts meanwhile.
//
// This stands in front of the C library's signal(), through which PAPPL
// installs its handlers for those signals: ours notes the signal and hands
// it to PAPPL's. A timer (quorvelStopWatch) then cancels every active job
// from a thread of its own: the job being printed ends its page and the
// job properly for the printer, the rest never start, and the server stops
// within seconds. app_server_documents stops a server in the middle of a
// long job and times nothing, but fails when the stop takes the minute.
#include <pappl/pappl.h>

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

#include "document_filters.h"
#include "pappl/shutdown.h"

namespace {

std::atomic<bool> gStop{false};        // a stop signal came
std::atomic<bool> gCancelled{false};   // the jobs were cancelled for it
void (*gHandlers[NSIG])(int) = {};     // PAPPL's handlers

// noteStop: our handler; PAPPL's does the rest.
void noteStop(int sig)
{
    gStop = true;
    quorvelNoteStop();
    if (sig > 0 && sig < NSIG && gHandlers[sig] != nullptr)
        gHandlers[sig](sig);
}

// collectJob: a job to cancel.
void collectJob(pappl_job_t* job, void* data)
{
    static_cast<std::vector<int>*>(data)->push_back(papplJobGetID(job));
}

// cancelPrinterJobs: cancel a printer's active jobs, found first and
// cancelled after, as cancelling takes the printer's lock.
void cancelPrinterJobs(pappl_printer_t* printer, void*)
{
    std::vector<int> ids;
    papplPrinterIterateActiveJobs(printer, collectJob, &ids, 1, 0);
    for (int id : ids)
        if (pappl_job_t* job = papplPrinterFindJob(printer, id)) {
            papplJobSetMessage(job, "The printer application was stopped.");
            papplJobCancel(job);
        }
}

// watchStop: the timer; off the main loop's locks, cancel every job once.
bool watchStop(pappl_system_t* system, void*)
{
    if (gStop && !gCancelled.exchange(true))
        std::thread([system] { papplSystemIteratePrinters(system, cancelPrinterJobs, nullptr); }).detach();
    return true;
}

} // namespace

extern "C" sighandler_t signal(int sig, sighandler_t handler)
{
    struct sigaction action = {}, old = {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = handler;
    const bool stop = (sig == SIGTERM || sig == SIGINT) && handler != SIG_IGN && handler != SIG_DFL && handler != SIG_ERR;
    if (stop) {
        gHandlers[sig] = handler;
        action.sa_handler = noteStop;
    }
    if (sigaction(sig, &action, &old) != 0)
        return SIG_ERR;
    if (old.sa_handler == noteStop && sig > 0 && sig < NSIG)
        return gHandlers[sig];
    return old.sa_handler;
}

void quorvelStopWatch(pappl_system_t* system)
{
    papplSystemAddTimerCallback(system, 0, 1, watchStop, nullptr);
}
