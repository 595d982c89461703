#include "app/clock.h"

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

void C_Midi::Poll()
{
    const uint32_t now = tickMs.load(std::memory_order_relaxed);
    if (static_cast<int32_t>(now - static_cast<uint32_t>(gClock.lastPollTime)) < kCycleMs)
        return;
    gClock.lastPollTime = static_cast<int32_t>(now);
    Post(AC_TICK, 0);
    redrawFlags |= REDRAW_UPDATE;
    Refresh(redrawFlags & 0xFFFF);
    redrawFlags = 0;
    if (++gClock.cycleCount < kCyclesPerDeviceCheck)
        return;
    gClock.cycleCount = 0;
    CheckDevices();
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
