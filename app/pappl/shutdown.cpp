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
// long job on a slow printer.
//
// A network printer that takes no data at all would still hold a job in
// its device write, which PAPPL 1.3.1 never gives up on: after a few
// seconds the connections of the jobs still printing are shut, so their
// writes fail and the jobs end. This relies on PAPPL 1.3.1's socket
// device keeping its file descriptor first in its data.
#include <pappl/pappl.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include "layer.h"
#include "shutdown.h"

namespace {

std::atomic<bool> gCancelled{false};   // the jobs were cancelled for it
void (*gHandlers[NSIG])(int) = {};     // PAPPL's handlers

// noteStop: our handler; PAPPL's does the rest.
void noteStop(int sig)
{
    layerHooks().noteStop();
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

// Seconds a cancelled job has to end before its connection is shut.
constexpr int kGraceSeconds = 3;

// shutConnection: end a network printer's connection under a job that
// still writes to it.
void shutConnection(const void* key, void* device)
{
    pappl_printer_t* printer = papplJobGetPrinter(static_cast<pappl_job_t*>(const_cast<void*>(key)));
    const char* uri = printer ? papplPrinterGetDeviceURI(printer) : nullptr;
    const int* fd = static_cast<const int*>(papplDeviceGetData(static_cast<pappl_device_t*>(device)));
    if (uri && std::strncmp(uri, "socket://", 9) == 0 && fd && *fd >= 0)
        shutdown(*fd, SHUT_RDWR);
}

// stopJobs: cancel every job, then shut what still hangs on a printer.
void stopJobs(pappl_system_t* system)
{
    papplSystemIteratePrinters(system, cancelPrinterJobs, nullptr);
    for (int i = 0; i < kGraceSeconds * 10 && layerHooks().jobsPrinting() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    layerHooks().eachPrintingJob(shutConnection);
}

// watchStop: the timer; off the main loop's locks, stop the jobs once.
bool watchStop(pappl_system_t* system, void*)
{
    if (layerHooks().stopping() && !gCancelled.exchange(true))
        std::thread(stopJobs, system).detach();
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
