// Who holds each device PAPPL opened, and closes that wait for them.
#include "device_share.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace {

struct Use {
    std::thread::id holder;  // the thread whose run writes to it
    int depth = 0;           // how many times that thread took it
    int waiting = 0;         // runs waiting to write to it
    bool closeAsked = false; // PAPPL asked to close it while it was held
};

std::mutex gMutex;
std::condition_variable gFree;
std::map<pappl_device_t*, Use> gDevices;

} // namespace

void deviceOpened(pappl_device_t* device)
{
    std::lock_guard<std::mutex> lock(gMutex);
    gDevices[device] = Use{};
}

bool deviceCloseNow(pappl_device_t* device)
{
    std::lock_guard<std::mutex> lock(gMutex);
    const auto at = gDevices.find(device);
    if (at == gDevices.end())
        return true;
    if (at->second.depth > 0 || at->second.waiting > 0) {
        at->second.closeAsked = true;
        return false;
    }
    gDevices.erase(at);
    return true;
}

void deviceTake(pappl_device_t* device)
{
    std::unique_lock<std::mutex> lock(gMutex);
    Use& use = gDevices[device];
    const std::thread::id self = std::this_thread::get_id();
    ++use.waiting;
    gFree.wait(lock, [&] { return use.depth == 0 || use.holder == self; });
    --use.waiting;
    use.holder = self;
    ++use.depth;
}

void deviceLetGo(pappl_device_t* device)
{
    {
        std::lock_guard<std::mutex> lock(gMutex);
        const auto at = gDevices.find(device);
        if (at == gDevices.end())
            return;
        if (at->second.depth > 0 && --at->second.depth > 0)
            return;
        gFree.notify_all();
        if (!at->second.closeAsked || at->second.waiting > 0)
            return;
        gDevices.erase(at);
    }
    papplDeviceClose(device);
}
