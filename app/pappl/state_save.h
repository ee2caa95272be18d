// When the server saves its state (state_save.cpp).
#pragma once

#include <pappl/pappl.h>

#include <string>

// quorvelSaveWhenQuiet: system's save callback: its state saved to file
// once the printers are quiet, and when it stops. Set before papplMainloop
// would set its own, with the state loaded from the same file.
void quorvelSaveWhenQuiet(pappl_system_t* system, const std::string& file);
