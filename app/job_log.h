// Job log lines and job messages. PAPPL 1.3.1's logger computes the room
// left in its buffer backwards when it formats a number, and with newer C
// libraries every number it formats loses its last digit; so every line of
// ours is formatted here and handed to PAPPL as one string.
#pragma once

#include <pappl/pappl.h>

#include <string>

// jobLog: a printf-style line in the job's log.
void jobLog(pappl_job_t* job, pappl_loglevel_t level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// jobFail: the job stops with message, which its user sees, and an error
// line in the log; returns false for the filter to return.
bool jobFail(pappl_job_t* job, const std::string& message);

// jobMessage: the job's message (job-state-message) becomes message. This
// and jobFail are the only places that set it.
void jobMessage(pappl_job_t* job, const std::string& message);
