// PAPPL opens and closes a printer's device through papplDeviceOpen and
// papplDeviceClose, which it reaches through the dynamic linker. These
// stand in front of them so that a device is never closed while a job's
// run still writes to it (see device_share.h).
#include <pappl/pappl.h>

#include "device_share.h"
#include "interpose.h"

extern "C" pappl_device_t* papplDeviceOpen(const char* uri, const char* name, pappl_deverror_cb_t err_cb,
                                           void* err_data)
{
    static const auto open = nextDefinition("papplDeviceOpen", &papplDeviceOpen);
    pappl_device_t* device = open ? open(uri, name, err_cb, err_data) : nullptr;
    if (device)
        deviceOpened(device);
    return device;
}

extern "C" void papplDeviceClose(pappl_device_t* device)
{
    static const auto close = nextDefinition("papplDeviceClose", &papplDeviceClose);
    if (device && close && deviceCloseNow(device))
        close(device);
}
