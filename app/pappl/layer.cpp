// The PAPPL layer's registry: the hooks the application hands in, and the
// symbols the stand-ins rely on, checked before the server starts.
//
// Each stand-in is a definition of a PAPPL, libcups, Avahi or C library
// function in this program, which PAPPL reaches through the dynamic
// linker, and most hand on to the definition they hide. When that
// definition is not there (a PAPPL that renamed a private function, a
// library built without it) the stand-in could only do nothing, and a job
// would vanish without a word: so the server does not start instead, and
// says what is missing.
//
// Built for PAPPL QUORVEL_PAPPL_VERSION (major * 10000 + minor * 100 +
// patch, from CMake), which compiles out the stand-ins for faults that
// version no longer has.
#include "layer.h"

#include <dlfcn.h>

namespace {

LayerHooks gHooks; // set once, before the server starts

} // namespace

void layerSetHooks(const LayerHooks& hooks)
{
    gHooks = hooks;
}

const LayerHooks& layerHooks()
{
    return gHooks;
}

const std::vector<LayerSymbol>& layerSymbols()
{
    static const std::vector<LayerSymbol> kSymbols = {
        // access_hooks.cpp: _papplPrinterIsAuthorized replaces PAPPL's
        // whole, which must still be there to be replaced.
        {"_papplPrinterIsAuthorized", true},
        {"_papplPrinterProcessIPP", true},
        {"_papplSystemProcessIPP", true},
        {"_papplJobCopyAttributesNoLock", true},
        {"papplClientIsValidForm", true},
        {"_papplPrinterWebHome", true},
        {"papplJobGetName", true},
        {"papplJobGetUsername", true},
        {"papplPrinterCreate", true},
#if QUORVEL_PAPPL_VERSION < 10405
        {"avahi_service_browser_new", true}, // avahi_guard.cpp
#endif
        {"_papplJobValidateDocumentAttributes", true}, // document_formats.cpp
        {"papplPrinterSetDriverDefaults", true},        // driver_defaults.cpp
#if QUORVEL_PAPPL_VERSION < 10410
        {"ippCopyAttributes", true}, // ipp_copies.cpp
#endif
        {"_papplJobProcess", true},          // job_once.cpp
        {"_papplJobCopyDocumentData", true}, // raster_spool.cpp, with:
        {"_papplJobSubmitFile", false},
        {"_papplJobReasonString", false},
        {"signal", true},            // shutdown.cpp
        {"papplSystemDelete", true}, // state_save.cpp
#if QUORVEL_PAPPL_VERSION < 10406
        {"ippAddStrings", true}, // strings_languages.cpp
#endif
        {"cupsSetServerCredentials", true}, // tls_folder.cpp
    };
    return kSymbols;
}

std::vector<std::string> layerMissing(const std::vector<LayerSymbol>& symbols)
{
    std::vector<std::string> missing;
    for (const LayerSymbol& s : symbols)
        if (dlsym(s.next ? RTLD_NEXT : RTLD_DEFAULT, s.name) == nullptr)
            missing.emplace_back(s.name);
    return missing;
}

std::vector<std::string> layerMissing()
{
    std::vector<std::string> missing = layerMissing(layerSymbols());
    const LayerHooks& h = gHooks;
    const struct {
        const char* name;
        bool set;
    } kHooks[] = {
        {"jobsPrinting", h.jobsPrinting != nullptr},       {"eachPrintingJob", h.eachPrintingJob != nullptr},
        {"noteStop", h.noteStop != nullptr},               {"stopping", h.stopping != nullptr},
        {"formats", !h.formats.empty()},                   {"formatsInWords", !h.formatsInWords.empty()},
        {"detectFormat", h.detectFormat != nullptr},       {"isRaster", h.isRaster != nullptr},
        {"keywordProblem", h.keywordProblem != nullptr},   {"defaultsProblem", h.defaultsProblem != nullptr},
        {"identify", h.identify != nullptr},               {"administrator", h.administrator != nullptr},
        {"requester", h.requester != nullptr},             {"isOwner", h.isOwner != nullptr},
        {"ownsOrAdministers", h.ownsOrAdministers != nullptr}, {"deviceProblem", h.deviceProblem != nullptr},
        {"hidden", h.hidden != nullptr},
    };
    for (const auto& hook : kHooks)
        if (!hook.set)
            missing.push_back(std::string("hook ") + hook.name);
    return missing;
}

std::string layerProblem(const std::vector<std::string>& missing)
{
    std::string symbols, hooks;
    for (const std::string& name : missing) {
        std::string& list = name.rfind("hook ", 0) == 0 ? hooks : symbols;
        list += (list.empty() ? "" : ", ") + name;
    }
    std::string problem;
    if (!symbols.empty())
        problem = "the work-rounds for PAPPL's faults need " + symbols +
                  ", which this PAPPL and its libraries do not have (the application is written for PAPPL "
                  QUORVEL_PAPPL_VERSIONS ")";
    if (!hooks.empty())
        problem += (problem.empty() ? "" : "; ") + std::string("the application handed in no ") + hooks;
    return problem.empty() ? "" : "not starting: " + problem;
}
