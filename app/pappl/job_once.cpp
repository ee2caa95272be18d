// Three faults of PAPPL 1.3.1's job threads, one stand-in.
//
// It starts a printer's next pending job from whichever thread asks (a job
// arriving, a job ending, a printer resumed) and checks that the printer is
// idle before it takes the printer's lock; the job thread marks the printer
// busy only once it runs. Two threads that ask at once both start the same
// pending job: two job threads print it over one device and finish it twice.
//
// And a job's thread marks the printer idle before it closes the printer's
// device: a job started in between finds the device still open and writes
// into it, so on a file device two jobs land in one file, and the first
// job's close pulls the device from under the second.
//
// And it keeps a printer's jobs newest first and starts the first pending
// one: jobs sent while another prints come out in the reverse order.
//
// This stands in front of _papplJobProcess, the job thread's body, which
// PAPPL hands to pthread_create through the dynamic linker: a printer runs
// one job thread at a time, from the job's start to its device's close,
// and that thread prints the printer's oldest pending job, whichever job it
// was started for (the jobs it passes over get threads of their own when
// this one ends). A job is thus printed once, in the order it was sent. The
// soak case of the application's server tests (12 jobs a printer, each in
// its own file) and the stream case's queue order fail without it.
#include <pappl/pappl.h>

#include <map>
#include <mutex>

#include "interpose.h"

namespace {

// oldestPending: the printer's pending job sent first, nullptr if none.
pappl_job_t* oldestPending(pappl_printer_t* printer)
{
    pappl_job_t* oldest = nullptr;
    papplPrinterIterateActiveJobs(
        printer,
        [](pappl_job_t* job, void* data) {
            auto* found = static_cast<pappl_job_t**>(data);
            if (papplJobGetState(job) == IPP_JSTATE_PENDING &&
                (*found == nullptr || papplJobGetID(job) < papplJobGetID(*found)))
                *found = job;
        },
        &oldest, 1, 0);
    return oldest;
}

} // namespace

extern "C" void* _papplJobProcess(pappl_job_t* job)
{
    static const auto process = nextDefinition("_papplJobProcess", &_papplJobProcess);
    static std::mutex mutex;                             // guards turns
    static std::map<pappl_printer_t*, std::mutex> turns; // one job thread a printer
    pappl_printer_t* printer = papplJobGetPrinter(job);
    std::mutex* turn;
    {
        std::lock_guard<std::mutex> lock(mutex);
        turn = &turns[printer];
    }
    std::lock_guard<std::mutex> printerTurn(*turn);
    // Whatever this thread was started for: a job cancelled while it waited
    // has ended already, and one that another thread printed is no longer
    // pending.
    pappl_job_t* next = oldestPending(printer);
    return next != nullptr ? process(next) : nullptr;
}
