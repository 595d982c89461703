// Module-wide values of the main window, read by the control surface and the tests.
#pragma once

#include <cstdint>

extern int32_t ClientWidth;
extern int32_t ClientHeight;
extern int32_t ScrollX;
extern int32_t ScrollY;
extern int32_t MouseX;
extern int32_t MouseY;
extern int32_t WheelStep;

constexpr uint32_t kWindowTimerId = 2;
constexpr uint32_t kWindowTimerMs = 2;
// The window timer while nothing waits to be shown: the longest cadence that still runs a
// cycle at least every 20 ms. Any message to the window brings the fast one back.
constexpr uint32_t kIdleWindowTimerMs = 18;

// Repaints the window from the canvas at once.
void Present();
