#include "app/clock.h"

#include <algorithm>

#include "app/action.h"
#include "app/c_midi.h"
#include "app/window.h"
#include "surface/winui.h"

ClockState gClock;

void TickCallback()
{
    const uint32_t now = PlatTimeMs();
    const uint32_t step = now - gClock.lastPlatformTime; // unsigned: survives the wrap
    if (step == 0)
        return;
    gClock.lastPlatformTime = now;
    // A stall (or the first call) must not make the clock jump.
    if (step <= kMaxTickStepMs)
        gMidi.tickMs.store(gMidi.tickMs.load(std::memory_order_relaxed) + step,
                           std::memory_order_relaxed);
}

namespace {

void SetIdleCadence(bool idle)
{
    if (gClock.timerIdle == idle)
        return;
    gClock.timerIdle = idle;
    PlatSetTimer(kWindowTimerId, idle ? kIdleWindowTimerMs : kWindowTimerMs);
}

} // namespace

void WakeCycles()
{
    SetIdleCadence(false);
}

void C_Midi::Poll()
{
    const uint32_t now = tickMs.load(std::memory_order_relaxed);
    const int32_t since = static_cast<int32_t>(now - static_cast<uint32_t>(gClock.lastPollTime));
    if (since < kCycleMs)
        return;
    gClock.lastPollTime = static_cast<int32_t>(now);
    Post(AC_TICK, 0);
    redrawFlags |= REDRAW_UPDATE;
    Refresh(redrawFlags & 0xFFFF);
    redrawFlags = 0;
    // A cycle counts the 10 ms cycles its gap stands for (one at the fast cadence, two at
    // the idle one), so that the device check stays about 5 s apart.
    gClock.cycleCount += std::clamp((since + kCycleMs / 2) / kCycleMs, 1, kCyclesPerDeviceCheck);
    if (gClock.cycleCount >= kCyclesPerDeviceCheck) {
        gClock.cycleCount = 0;
        CheckDevices();
    }
    // Nothing left to show: the idle cadence, until a message to the window brings
    // something (a request made here, the device check's, needs the fast one).
    SetIdleCadence(redrawFlags == 0);
}

void C_Midi::Refresh(int flags)
{
    if ((flags & 0xFFFF) == 0)
        return;
    if (flags & REDRAW_FULL) {
        gWinUI.Dispatch(AC_FULL_REDRAW, 0);
        monitorStale = true; // the legend cleared the whole canvas
    } else {
        gWinUI.Dispatch(AC_UPDATE_REDRAW, 0);
    }
    DrawMonitor();
    Present();
}
