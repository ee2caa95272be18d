// The quorvel driver for PAPPL: what the printer offers (media, resolution,
// darkness, sides, vendor options) and the raster callbacks that turn
// PAPPL's pages into the printer stream.
#pragma once

#include <pappl/pappl.h>

int quorvelDriverCount();
pappl_pr_driver_t* quorvelDrivers();

// quorvelSetDrivers: make the drivers known to a system.
void quorvelSetDrivers(pappl_system_t* system);

// quorvelDriverCallback: fill in a printer's driver data.
bool quorvelDriverCallback(pappl_system_t* system, const char* driver_name, const char* device_uri,
                           const char* device_id, pappl_pr_driver_data_t* data, ipp_t** attrs,
                           void* cbdata);

// quorvelAutoAdd: our driver for any device whose IEEE 1284 ID names the
// maker Quorvel.
const char* quorvelAutoAdd(const char* device_info, const char* device_uri, const char* device_id,
                           void* data);

// quorvelDriverForDeviceId: the driver name for a device ID, or nullptr.
const char* quorvelDriverForDeviceId(const char* device_id);
