// The job object on the PAPPL job. PAPPL's job data is a bare pointer,
// read and written without a lock; the job's own thread sets and clears
// it, and the server's stop reads it from a thread of its own, so both take
// gDataLock. Lock order: gDataLock, then PAPPL's system and printer locks
// (taken by their iterators); a job's thread holds none of PAPPL's locks
// while it prints.
#include "job_data.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex gDataLock;                          // guards the job data of every job
std::atomic<pappl_system_t*> gSystem{nullptr}; // the system jobs print on, known from the first job

// Each: a walk over the jobs printing now.
struct Each {
    int count = 0;
    void (*fn)(const void* job, void* device) = nullptr;
};

// eachJob: a printer's active job, if it prints with our data.
void eachJob(pappl_job_t* job, void* context)
{
    Each& each = *static_cast<Each*>(context);
    const auto* data = static_cast<const AppJob*>(papplJobGetData(job));
    if (data == nullptr)
        return;
    ++each.count;
    if (each.fn)
        each.fn(job, data->device);
}

// eachPrinter: the printer's active jobs.
void eachPrinter(pappl_printer_t* printer, void* context)
{
    papplPrinterIterateActiveJobs(printer, eachJob, context, 1, 0);
}

// walk: every job printing now, under gDataLock so that none ends
// meanwhile; the number of them.
int walk(void (*fn)(const void* job, void* device))
{
    pappl_system_t* system = gSystem;
    if (system == nullptr)
        return 0; // no job has printed yet
    Each each;
    each.fn = fn;
    std::lock_guard<std::mutex> lock(gDataLock);
    papplSystemIteratePrinters(system, eachPrinter, &each);
    return each.count;
}

} // namespace

void appJobAttach(pappl_job_t* job, AppJob* data)
{
    gSystem = papplPrinterGetSystem(papplJobGetPrinter(job));
    std::lock_guard<std::mutex> lock(gDataLock);
    papplJobSetData(job, data);
}

void appJobDetach(pappl_job_t* job)
{
    std::lock_guard<std::mutex> lock(gDataLock);
    papplJobSetData(job, nullptr);
}

AppJob* appJobOf(pappl_job_t* job)
{
    return static_cast<AppJob*>(papplJobGetData(job));
}

int appJobsRunning()
{
    return walk(nullptr);
}

void appJobsEach(void (*fn)(const void* key, void* device))
{
    walk(fn);
}
