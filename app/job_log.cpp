// Job log lines and messages, formatted before PAPPL sees them.
#include "job_log.h"

#include <cstdarg>
#include <cstdio>

void jobLog(pappl_job_t* job, pappl_loglevel_t level, const char* format, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    papplLogJob(job, level, "%s", text);
}

bool jobFail(pappl_job_t* job, const std::string& message)
{
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message.c_str());
    jobMessage(job, message);
    return false;
}

void jobMessage(pappl_job_t* job, const std::string& message)
{
    papplJobSetMessage(job, "%s", message.c_str());
}
