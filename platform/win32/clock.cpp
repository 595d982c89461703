// Clock of the Win32 back end (contract: platform/platform.h): timeGetTime and a periodic
// 1 ms multimedia timer, with the timer resolution raised to 1 ms while it runs.
#include "platform/win32/win32.h"

#include <mmsystem.h>

#include <atomic>

#include "platform/platform.h"

namespace {

std::atomic<void (*)()> gCallback{nullptr};
UINT gTimer = 0;

void CALLBACK OnTimer(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (void (*callback)() = gCallback.load(std::memory_order_acquire)) {
        callback();
    }
}

} // namespace

uint32_t PlatTimeMs()
{
    return timeGetTime();
}

bool PlatStartTick(void (*callback)())
{
    if (callback == nullptr || gTimer != 0) {
        return false;
    }
    gCallback.store(callback, std::memory_order_release);
    timeBeginPeriod(1);
    // Synchronous kill: once PlatStopTick returns, no callback runs any more.
    gTimer = timeSetEvent(1, 1, OnTimer, 0, TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
    if (gTimer == 0) {
        timeEndPeriod(1);
        gCallback.store(nullptr, std::memory_order_release);
        return false;
    }
    return true;
}

void PlatStopTick()
{
    if (gTimer == 0) {
        return;
    }
    timeKillEvent(gTimer);
    gTimer = 0;
    timeEndPeriod(1);
    gCallback.store(nullptr, std::memory_order_release);
}
