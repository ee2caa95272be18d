// A printer's device as PAPPL 1.3.1 shares it. Its scheduler can let two
// jobs print on one printer at once (a raster job that arrives while the
// scheduler is starting another job's thread, or one job started twice),
// and whichever ends first closes the printer's device under the other.
// So the driver keeps count: a run takes the device before it writes and
// waits while another run is writing to it; a close PAPPL asks for while a
// run still holds the device waits until the last run lets go of it.
#pragma once

#include <pappl/pappl.h>

// deviceOpened: PAPPL opened device.
void deviceOpened(pappl_device_t* device);

// deviceCloseNow: PAPPL asks to close device; true when nothing holds it
// and it may close now, false when the last run to let go closes it.
bool deviceCloseNow(pappl_device_t* device);

// deviceTake: hold device for a run, waiting while a run on another thread
// holds it; a thread may take it again, and lets go as often.
void deviceTake(pappl_device_t* device);

// deviceLetGo: a run is done with device; when PAPPL asked to close it
// meanwhile and nothing else holds it, it is closed now.
void deviceLetGo(pappl_device_t* device);
