// PAPPL 1.3.1 starts a printer's next pending job from whichever thread asks
// (a job arriving, a job ending, a printer resumed) and checks that the
// printer is idle before it takes the printer's lock; the job thread marks
// the printer busy only once it runs. Two threads that ask at once both
// start the same pending job: two runs print it over one device and finish
// it twice.
//
// This stands in front of _papplJobProcess, the job thread's body, which
// PAPPL hands to pthread_create through the dynamic linker: a job runs
// once; a second start of a job that is running or has run ends at once.
// The load and soak cases of the application's server tests show it (the
// driver's shadow runs, print_job.h, are the last line behind it).
#include <pappl/pappl.h>

#include <mutex>
#include <set>

#include "interpose.h"

extern "C" void* _papplJobProcess(pappl_job_t* job)
{
    static const auto process = nextDefinition("_papplJobProcess", &_papplJobProcess);
    static std::mutex mutex;
    static std::set<pappl_job_t*> running;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (process == nullptr || papplJobGetState(job) != IPP_JSTATE_PENDING || !running.insert(job).second)
            return nullptr;
    }
    void* result = process(job);
    std::lock_guard<std::mutex> lock(mutex);
    running.erase(job);
    return result;
}
