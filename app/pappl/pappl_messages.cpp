// PAPPL 1.3 stops a job whose JPEG, PNG or raster data it cannot read with
// a job-state-reason and a log line, but leaves the job's message empty, so
// a user sees only "Job aborted.". This stands in front of
// papplJobSetReasons, which PAPPL reaches through the dynamic linker, and
// gives such a job a message that says what was wrong with its document.
#include <pappl/pappl.h>

#include "document_check.h"
#include "interpose.h"

extern "C" void papplJobSetReasons(pappl_job_t* job, pappl_jreason_t add, pappl_jreason_t remove)
{
    static const auto set = nextDefinition("papplJobSetReasons", &papplJobSetReasons);
    if (set == nullptr)
        return;
    set(job, add, remove);
    const bool formatError = add & PAPPL_JREASON_DOCUMENT_FORMAT_ERROR;
    if (!formatError && !(add & PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR))
        return;
    if (papplJobGetMessage(job) != nullptr)
        return;
    if (const char* problem = documentProblem(papplJobGetFormat(job), formatError))
        papplJobSetMessage(job, "%s", problem);
}
