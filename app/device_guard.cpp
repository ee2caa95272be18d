// PAPPL opens and closes a printer's device through papplDeviceOpen and
// papplDeviceClose, which it reaches through the dynamic linker. These
// stand in front of them so that a device is never closed while a job's
// run still writes to it (see device_share.h).
#include <pappl/pappl.h>

#include <dlfcn.h>

#include "device_share.h"

extern "C" pappl_device_t* papplDeviceOpen(const char* uri, const char* name, pappl_deverror_cb_t err_cb,
                                           void* err_data)
{
    using Open = pappl_device_t* (*)(const char*, const char*, pappl_deverror_cb_t, void*);
    static const auto open = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "papplDeviceOpen"));
    pappl_device_t* device = open ? open(uri, name, err_cb, err_data) : nullptr;
    if (device)
        deviceOpened(device);
    return device;
}

extern "C" void papplDeviceClose(pappl_device_t* device)
{
    using Close = void (*)(pappl_device_t*);
    static const auto close = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "papplDeviceClose"));
    if (device && close && deviceCloseNow(device))
        close(device);
}
