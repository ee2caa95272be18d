// A stop signal ends the jobs in hand, so the server stops within seconds
// (see shutdown.cpp).
#pragma once

#include <pappl/pappl.h>

// quorvelStopWatch: watch for a stop signal on system's timer.
void quorvelStopWatch(pappl_system_t* system);
