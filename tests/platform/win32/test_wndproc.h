// A window procedure for the back end's tests: it records what the host hands over and
// answers as the logic would, with knobs the tests set.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace test_wndproc {

struct Message {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

struct Knobs {
    bool refuseCreate = false;
    int quitCode = 0;           // given to PlatPostQuit on PM_DESTROY
    int paintX = 0, paintY = 0; // what PM_PAINT copies from the canvas
    int paintW = 0, paintH = 0;
};

Knobs& Set();
const std::vector<Message>& Log();
void ClearLog();
int Count(uint32_t message);
const Message* Last(uint32_t message);

// Handles waiting messages of this thread until pred is true or timeoutMs has passed.
template <typename Pred> bool PumpUntil(Pred pred, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(1);
    }
    return true;
}

void Pump(DWORD ms);

// Creates the main window (640 x 480 at 0, 0) for a test and destroys it again.
class Window {
  public:
    Window();
    ~Window();
    bool created = false;
};

} // namespace test_wndproc
