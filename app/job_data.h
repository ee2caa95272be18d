// The job object on the PAPPL job: the page loop puts a job's AppJob there
// with papplJobSetData for as long as the job prints, the driver's
// callbacks find it there, and the jobs printing now are found from
// PAPPL's own job lists (appJobsRunning, appJobsEach in print_job.h).
#pragma once

#include <pappl/pappl.h>

#include "print_job.h"

// appJobAttach, appJobDetach: job prints with data from now on; job no
// longer prints.
void appJobAttach(pappl_job_t* job, AppJob* data);
void appJobDetach(pappl_job_t* job);

// appJobOf: the AppJob of a job printing on this thread, or nullptr.
AppJob* appJobOf(pappl_job_t* job);
