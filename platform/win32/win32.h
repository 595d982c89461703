// Internal to the Win32 back end and its tests: what the parts of the back end need from
// each other. The logic uses platform/platform.h only.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

namespace zm_win32 {

// From WinMain: the module that holds the icon resource and the show-state for ShowWindow.
void SetStartup(HINSTANCE instance, int showCommand);

// The main window, nullptr before its creation and after its destruction.
HWND MainWindow();

// Called after every message the window procedure hands to MainWndProc, with the message
// as MainWndProc saw it and its result. For tests; nullptr removes it.
using MessageObserver = void (*)(uint32_t message, uintptr_t wParam, intptr_t lParam,
                                 intptr_t result);
void SetMessageObserver(MessageObserver observer);

// The canvas's memory device context and size (host.cpp copies from it while painting);
// false when there is no canvas.
bool CanvasSource(HDC* dc, int* width, int* height);

// The contract's handle of the input device that an MM_MIM_DATA with this native handle
// comes from; kNoMidiDevice when none has it. A closed input keeps its native handle until
// its kInputDrainedMessage arrives, even when a reopen got the same value.
PlatMidiHandle InputHandleFor(uintptr_t nativeHandle);

// Posted to the main window once midiInClose has returned; lParam: the closed input's
// contract handle. Winmm posts an input's MM_MIM_DATA before its close returns, and posted
// messages arrive in the order they were posted, so no message of that input comes after.
constexpr UINT kInputDrainedMessage = WM_APP;
void InputDrained(PlatMidiHandle handle);
// The main window went, and its queue with it: no closed input has a message to come.
void AllInputsDrained();

} // namespace zm_win32
