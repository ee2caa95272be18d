// Two faults of PAPPL 1.3.1's job threads, one stand-in.
//
// It starts a printer's next pending job from whichever thread asks (a job
// arriving, a job ending, a printer resumed) and checks that the printer is
// idle before it takes the printer's lock; the job thread marks the printer
// busy only once it runs. Two threads that ask at once both start the same
// pending job: two runs print it over one device and finish it twice.
//
// And a job's thread marks the printer idle before it closes the printer's
// device: a job started in between finds the device still open and writes
// into it, so on a file device two jobs land in one file, and the first
// job's close pulls the device from under the second.
//
// This stands in front of _papplJobProcess, the job thread's body, which
// PAPPL hands to pthread_create through the dynamic linker: a job runs once
// (a second start of a job that is running or has run ends at once), and a
// printer runs one job thread at a time, from the job's start to its
// device's close. The soak case of the application's server tests (12 jobs a
// printer, each in its own file) fails without it.
#include <pappl/pappl.h>

#include <map>
#include <mutex>
#include <set>

#include "interpose.h"

extern "C" void* _papplJobProcess(pappl_job_t* job)
{
    static const auto process = nextDefinition("_papplJobProcess", &_papplJobProcess);
    static std::mutex mutex;                              // guards the two below
    static std::set<pappl_job_t*> started;                // jobs whose thread runs
    static std::map<pappl_printer_t*, std::mutex> turns;  // one job thread a printer
    std::mutex* turn;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (process == nullptr || papplJobGetState(job) != IPP_JSTATE_PENDING || !started.insert(job).second)
            return nullptr;
        turn = &turns[papplJobGetPrinter(job)];
    }
    void* result = nullptr;
    {
        std::lock_guard<std::mutex> printerTurn(*turn);
        // A job cancelled while it waited its turn has ended already.
        if (papplJobGetState(job) == IPP_JSTATE_PENDING)
            result = process(job);
    }
    std::lock_guard<std::mutex> lock(mutex);
    started.erase(job);
    return result;
}
