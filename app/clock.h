// The 1 ms tick clock and the pacing of the UI cycle.
#pragma once

#include <cstdint>

struct ClockState {
    uint32_t lastPlatformTime = 0; // tick thread only
    int32_t lastPollTime = 0;      // UI thread only
    int32_t cycleCount = 0;        // UI thread only, 0..499
    bool timerIdle = false;        // UI thread only: the window timer at its idle cadence
};

extern ClockState gClock;

constexpr uint32_t kMaxTickStepMs = 100;
constexpr int32_t kCycleMs = 10;
constexpr int32_t kCyclesPerDeviceCheck = 500;

void TickCallback();
// The window timer back at its fast cadence, if the cycles had slowed it.
void WakeCycles();
