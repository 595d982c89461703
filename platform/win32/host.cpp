// Window host of the Win32 back end (contract: platform/platform.h).
//
// The contract's message codes are the Win32 ones, so the window procedure hands native
// messages to MainWndProc unchanged. Only these need the host: WM_PAINT is bracketed by
// BeginPaint / EndPaint so that PlatPaintFromCanvas has a device context to copy into,
// MM_MIM_DATA carries a native input handle that becomes the contract's handle, and the
// marker after an input's close (win32.h) goes to the MIDI side, never to MainWndProc.
// The scroll bars, capture, cursor, timers and the default handling are the system's own.
#include "platform/win32/win32.h"

#include <mmsystem.h>
#include <shellapi.h>

#include "platform/platform.h"

namespace {

struct Host {
    HINSTANCE instance = nullptr;
    int showCommand = SW_SHOWDEFAULT;
    HWND window = nullptr;
    HDC paintDC = nullptr; // during PM_PAINT only
    zm_win32::MessageObserver observer = nullptr;
};

Host& TheHost()
{
    static Host host;
    return host;
}

intptr_t Deliver(uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    const intptr_t result = MainWndProc(message, wParam, lParam);
    if (zm_win32::MessageObserver observer = TheHost().observer) {
        observer(message, wParam, lParam, result);
    }
    return result;
}

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Host& h = TheHost();
    if (h.window == nullptr) {
        h.window = window; // its first messages come before CreateWindowExA returns
    }
    if (window != h.window) {
        return DefWindowProcA(window, message, wParam, lParam);
    }
    LRESULT result = 0;
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        h.paintDC = BeginPaint(window, &ps);
        result = Deliver(PM_PAINT, wParam, lParam);
        h.paintDC = nullptr;
        EndPaint(window, &ps);
        break;
    }
    case MM_MIM_DATA:
        result = Deliver(PM_MIM_DATA, zm_win32::InputHandleFor(wParam), lParam);
        break;
    case zm_win32::kInputDrainedMessage: // the back end's own, not the logic's
        zm_win32::InputDrained(static_cast<PlatMidiHandle>(lParam));
        break;
    default:
        result = Deliver(message, wParam, lParam);
        break;
    }
    if (message == WM_NCDESTROY) {
        h.window = nullptr;
        zm_win32::AllInputsDrained();
    }
    return result;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Internal to the back end.

namespace zm_win32 {

void SetStartup(HINSTANCE instance, int showCommand)
{
    TheHost().instance = instance;
    TheHost().showCommand = showCommand;
}

HWND MainWindow()
{
    return TheHost().window;
}

void SetMessageObserver(MessageObserver observer)
{
    TheHost().observer = observer;
}

} // namespace zm_win32

// ---------------------------------------------------------------------------------------
// Contract: window host.

intptr_t PlatDefWindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    HWND window = TheHost().window;
    return window != nullptr ? DefWindowProcA(window, message, wParam, lParam) : 0;
}

void PlatGetScrollInfo(int bar, PlatScrollInfo* info)
{
    if (info == nullptr || (bar != PSB_HORZ && bar != PSB_VERT)) {
        return;
    }
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_TRACKPOS;
    // A bar that was never set up has no state yet: it reads as all zeros.
    if (TheHost().window == nullptr || !GetScrollInfo(TheHost().window, bar, &si)) {
        si = SCROLLINFO{};
    }
    info->min = si.nMin;
    info->max = si.nMax;
    info->page = si.nPage;
    info->pos = si.nPos;
    info->trackPos = si.nTrackPos;
}

void PlatSetScrollInfo(int bar, uint32_t mask, const PlatScrollInfo& info, bool redraw)
{
    HWND window = TheHost().window;
    if (window == nullptr || (bar != PSB_HORZ && bar != PSB_VERT)) {
        return;
    }
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = mask & (SIF_RANGE | SIF_PAGE | SIF_POS); // the track position is read-only
    si.nMin = info.min;
    si.nMax = info.max;
    si.nPage = info.page;
    si.nPos = info.pos;
    SetScrollInfo(window, bar, &si, redraw ? TRUE : FALSE);
}

void PlatSetCapture()
{
    if (HWND window = TheHost().window) {
        SetCapture(window);
    }
}

void PlatReleaseCapture()
{
    ReleaseCapture();
}

void PlatSetArrowCursor()
{
    SetCursor(LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW)));
}

void PlatAcceptFiles(bool accept)
{
    if (HWND window = TheHost().window) {
        DragAcceptFiles(window, accept ? TRUE : FALSE);
    }
}

void PlatSetTimer(uint32_t id, uint32_t intervalMs)
{
    if (HWND window = TheHost().window) {
        SetTimer(window, id, intervalMs, nullptr);
    }
}

void PlatKillTimer(uint32_t id)
{
    if (HWND window = TheHost().window) {
        KillTimer(window, id);
    }
}

void PlatPresent()
{
    if (HWND window = TheHost().window) {
        InvalidateRect(window, nullptr, TRUE);
        UpdateWindow(window);
    }
}

void PlatPresentRect(int x, int y, int width, int height)
{
    HWND window = TheHost().window;
    if (window == nullptr || width <= 0 || height <= 0) {
        return;
    }
    const RECT r{x, y, x + width, y + height};
    InvalidateRect(window, &r, TRUE);
    UpdateWindow(window);
}

void PlatPaintFromCanvas(int srcX, int srcY, int width, int height)
{
    HDC target = TheHost().paintDC;
    if (target == nullptr || width <= 0 || height <= 0) {
        return;
    }
    HDC source = nullptr;
    int cw = 0;
    int ch = 0;
    RECT copied{};
    if (zm_win32::CanvasSource(&source, &cw, &ch)) {
        const RECT want{srcX, srcY, srcX + width, srcY + height};
        const RECT canvas{0, 0, cw, ch};
        if (IntersectRect(&copied, &want, &canvas)) {
            BitBlt(target, copied.left - srcX, copied.top - srcY, copied.right - copied.left,
                   copied.bottom - copied.top, source, copied.left, copied.top, SRCCOPY);
            OffsetRect(&copied, -srcX, -srcY);
        }
    }
    // Outside the canvas there is nothing to show: black, never what was there before.
    HRGN rest = CreateRectRgn(0, 0, width, height);
    HRGN done = CreateRectRgn(copied.left, copied.top, copied.right, copied.bottom);
    if (rest != nullptr && done != nullptr &&
        CombineRgn(rest, rest, done, RGN_DIFF) != NULLREGION) {
        FillRgn(target, rest, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    }
    DeleteObject(done);
    DeleteObject(rest);
}

void PlatPostQuit(int code)
{
    PostQuitMessage(code);
}

// ---------------------------------------------------------------------------------------
// Contract: program entry services.

void PlatScreenSize(int* width, int* height)
{
    if (width != nullptr) {
        *width = GetSystemMetrics(SM_CXFULLSCREEN);
    }
    if (height != nullptr) {
        *height = GetSystemMetrics(SM_CYFULLSCREEN);
    }
}

bool PlatTakeInstanceLock(const char* name)
{
    if (HANDLE other = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name)) {
        CloseHandle(other);
        return false;
    }
    // Kept open for the life of the process; the system drops the mutex when it ends.
    HANDLE mine = CreateMutexA(nullptr, TRUE, name);
    // Another instance that made it between the two calls holds it too.
    return !(mine != nullptr && GetLastError() == ERROR_ALREADY_EXISTS);
}

void PlatMessageBox(const char* text, const char* caption)
{
    MessageBoxA(nullptr, text, caption, MB_OK);
}

bool PlatCreateMainWindow(const char* className, const char* caption, int x, int y, int w, int h)
{
    Host& host = TheHost();
    if (host.window != nullptr) {
        return false;
    }
    if (host.instance == nullptr) {
        host.instance = GetModuleHandleA(nullptr);
    }
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = host.instance;
    wc.hIcon = LoadIconA(host.instance, "IDI_ICON1"); // the system derives the small one
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszMenuName = className; // no such menu resource: no menu bar
    wc.lpszClassName = className;
    // Registered once per process; a window made again after its destruction reuses it.
    if (RegisterClassExA(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return false;
    }
    // Overlapped window: caption, system menu, sizing border, minimise and maximise boxes.
    constexpr DWORD kStyle = 0x00CF0000;
    HWND window = CreateWindowExA(0, className, caption, kStyle, x, y, w, h, nullptr, nullptr,
                                  host.instance, nullptr);
    if (window == nullptr) {
        host.window = nullptr; // refused in PM_CREATE: the system destroyed it again
        return false;
    }
    host.window = window;
    return true;
}

void PlatShowWindow()
{
    Host& h = TheHost();
    if (h.window != nullptr) {
        ShowWindow(h.window, h.showCommand);
        UpdateWindow(h.window);
    }
}

int PlatRunMessageLoop()
{
    MSG msg{};
    BOOL got = 0;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1) {
            return 1;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
