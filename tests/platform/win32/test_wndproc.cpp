#include "test_wndproc.h"

#include "platform/win32/win32.h"

namespace test_wndproc {
namespace {

Knobs gKnobs;
std::vector<Message> gLog;

} // namespace

Knobs& Set()
{
    return gKnobs;
}

const std::vector<Message>& Log()
{
    return gLog;
}

void ClearLog()
{
    gLog.clear();
}

int Count(uint32_t message)
{
    int n = 0;
    for (const Message& m : gLog) {
        n += m.message == message;
    }
    return n;
}

const Message* Last(uint32_t message)
{
    for (auto it = gLog.rbegin(); it != gLog.rend(); ++it) {
        if (it->message == message) {
            return &*it;
        }
    }
    return nullptr;
}

void Pump(DWORD ms)
{
    PumpUntil([] { return false; }, ms);
}

Window::Window()
{
    gKnobs = Knobs{};
    gLog.clear();
    created = PlatCreateMainWindow("ZYN_MOUSE_TEST", "Test window", 0, 0, 640, 480);
}

Window::~Window()
{
    if (HWND window = zm_win32::MainWindow()) {
        DestroyWindow(window);
    }
    // The quit message posted by PM_DESTROY must not end the next test's loop.
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

} // namespace test_wndproc

intptr_t MainWndProc(uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    using namespace test_wndproc;
    gLog.push_back({message, wParam, lParam});
    switch (message) {
    case PM_CREATE:
        return gKnobs.refuseCreate ? -1 : 0;
    case PM_DESTROY:
        PlatPostQuit(gKnobs.quitCode);
        return 0;
    case PM_PAINT:
        PlatPaintFromCanvas(gKnobs.paintX, gKnobs.paintY, gKnobs.paintW, gKnobs.paintH);
        return 0;
    case PM_ERASEBKGND:
        return 0;
    default:
        return PlatDefWindowProc(message, wParam, lParam);
    }
}
