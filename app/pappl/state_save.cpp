// When the server saves its state.
//
// PAPPL 1.3.1 saves the state from its main loop holding the system's lock
// while it takes each printer's; a job whose document it fails to receive
// is aborted holding that printer's lock while it takes the system's. When
// both happen at once the server hangs for good. The main loop saves after
// every new and every finished job, so under a burst of such jobs the two
// meet within seconds. (A raster job refused as busy was the common case,
// before raster_spool.cpp; a spool folder that fills up is what is left.)
//
// So the save waits for a quiet moment. The application sets the save
// callback itself (papplMainloop then sets none of its own): the state is
// saved from a timer once no job has come, ended or printed for two
// seconds, and when the server stops. What is still waiting then is saved
// before PAPPL lets go of the system: this stands in front of
// papplSystemDelete, which papplMainloop reaches through the dynamic
// linker. A change made on the web page or with `modify` is saved within a
// few seconds of the printers falling idle. The file is kept 0600.
#include "state_save.h"

#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <string>

#include "interpose.h"
#include "layer.h"

namespace {

constexpr time_t kQuietSeconds = 2;

struct Saver {
    std::string file; // the state file; "" until the server sets it
    std::atomic<bool> pending{false};
    std::atomic<time_t> lastChange{0};
};

Saver& saver()
{
    static Saver s;
    return s;
}

// saveNow: the state saved, readable by the server only (it holds the
// settings; a file left 0644 by an older version is made 0600 first, since
// PAPPL rewrites it in place).
void saveNow(pappl_system_t* system)
{
    Saver& s = saver();
    chmod(s.file.c_str(), 0600);
    papplSystemSaveState(system, s.file.c_str());
}

// saveWhenQuiet: the timer; saves what is pending once the printers are idle.
bool saveWhenQuiet(pappl_system_t* system, void*)
{
    Saver& s = saver();
    if (s.pending && layerHooks().jobsPrinting() == 0 && time(nullptr) - s.lastChange >= kQuietSeconds) {
        s.pending = false;
        saveNow(system);
    }
    return true;
}

// saveLater: what the main loop calls on each change, the last one as the
// server stops too (papplSystemDelete below saves that).
bool saveLater(pappl_system_t*, void*)
{
    Saver& s = saver();
    s.lastChange = time(nullptr);
    s.pending = true;
    return true;
}

} // namespace

extern "C" void papplSystemDelete(pappl_system_t* system)
{
    static const auto del = nextDefinition("papplSystemDelete", &papplSystemDelete);
    Saver& s = saver();
    if (system != nullptr && !s.file.empty() && s.pending.exchange(false))
        saveNow(system);
    del(system);
}

void quorvelSaveWhenQuiet(pappl_system_t* system, const std::string& file)
{
    saver().file = file;
    papplSystemSetSaveCallback(system, saveLater, nullptr);
    papplSystemAddTimerCallback(system, 0, 1, saveWhenQuiet, nullptr);
}
