#include <algorithm>

#include "app/action.h"
#include "app/c_midi.h"
#include "app/clock.h"
#include "app/window.h"
#include "lcd/lcd.h"
#include "platform/platform.h"
#include "surface/winui.h"

int32_t ClientWidth = 0;
int32_t ClientHeight = 0;
int32_t ScrollX = 0;
int32_t ScrollY = 0;
int32_t MouseX = 0;
int32_t MouseY = 0;
int32_t WheelStep = 1;

// Only what was drawn since the last present goes to the screen: repainting the whole
// window a hundred times a second would cost more than everything else together.
void Present()
{
    int x, y, w, h;
    if (!gLcd.TakeChanged(&x, &y, &w, &h))
        return;
    const long long left = std::max<long long>(0, static_cast<long long>(x) - ScrollX);
    const long long top = std::max<long long>(0, static_cast<long long>(y) - ScrollY);
    const long long right =
        std::min<long long>(ClientWidth, static_cast<long long>(x) + w - ScrollX);
    const long long bottom =
        std::min<long long>(ClientHeight, static_cast<long long>(y) + h - ScrollY);
    if (left < right && top < bottom)
        PlatPresentRect(static_cast<int>(left), static_cast<int>(top),
                        static_cast<int>(right - left), static_cast<int>(bottom - top));
}

namespace {

constexpr int kCreateClearColour = 190;

int KeyAction(uint32_t vk)
{
    if (vk >= PVK_NUMPAD0 && vk <= PVK_NUMPAD0 + 9)
        vk -= PVK_NUMPAD0 - PVK_0; // keypad digits act like the main row
    if (vk >= PVK_0 + 1 && vk <= PVK_0 + 9)
        return AC_KEY1 + static_cast<int>(vk - PVK_0 - 1);
    if (vk >= PVK_F1 && vk <= PVK_F12)
        return AC_F1 + static_cast<int>(vk - PVK_F1);
    switch (vk) {
    case PVK_RETURN:
        return AC_ENTER;
    case PVK_SHIFT:
        return AC_SHIFT;
    case PVK_LEFT:
        return AC_LEFT;
    case PVK_UP:
        return AC_UP;
    case PVK_RIGHT:
        return AC_RIGHT;
    case PVK_DOWN:
        return AC_DOWN;
    case PVK_0:
        return AC_KEY0;
    case PVK_ADD:
        return AC_NUM_PLUS;
    case PVK_SUBTRACT:
        return AC_NUM_MINUS;
    default:
        return 0;
    }
}

// Client position (unsigned 16-bit words) plus the scroll offset; a pointer dragged past
// the left or top edge reports a huge coordinate, which becomes 0.
void StorePointer(intptr_t lParam)
{
    const int32_t x = static_cast<int32_t>(static_cast<uint32_t>(lParam) & 0xFFFF) + ScrollX;
    const int32_t y = static_cast<int32_t>(static_cast<uint32_t>(lParam) >> 16 & 0xFFFF) + ScrollY;
    MouseX = x > 0x7FFF ? 0 : x;
    MouseY = y > 0x7FFF ? 0 : y;
}

bool OnCreate()
{
    if (!gLcd.SetUpCanvas())
        return false; // nothing may draw into a canvas that does not exist
    PlatSetTimer(kWindowTimerId, kWindowTimerMs);
    gMidi.OpenInputs();
    gMidi.OpenOutputs();
    PlatAcceptFiles(true);
    PlatStartTick(TickCallback);
    gLcd.FillRect(0, 0, CanvasWidth, CanvasHeight, kCreateClearColour);
    gWinUI.Init();
    gMidi.RequestFullRedraw();
    PlatSetArrowCursor();
    return true;
}

void OnDestroy()
{
    PlatStopTick();
    PlatKillTimer(kWindowTimerId);
    gLcd.ReleaseCanvas();
    PlatPostQuit(0);
}

void OnSize(intptr_t lParam)
{
    ClientWidth = static_cast<int32_t>(static_cast<uint32_t>(lParam) & 0xFFFF);
    ClientHeight = static_cast<int32_t>(static_cast<uint32_t>(lParam) >> 16 & 0xFFFF);
    PlatScrollInfo bar;
    bar.min = 0;
    bar.max = CanvasHeight;
    bar.page = static_cast<unsigned>(ClientHeight);
    PlatSetScrollInfo(PSB_VERT, PSIF_RANGE | PSIF_PAGE, bar, true);
    bar.max = CanvasWidth;
    bar.page = static_cast<unsigned>(ClientWidth);
    PlatSetScrollInfo(PSB_HORZ, PSIF_RANGE | PSIF_PAGE, bar, true);
}

// The offset takes the bar's position from before this request, so the view follows the
// bar one message late; the end-of-scroll that ends every action settles it.
void OnScroll(int bar, uintptr_t wParam)
{
    PlatScrollInfo info;
    PlatGetScrollInfo(bar, &info);
    (bar == PSB_HORZ ? ScrollX : ScrollY) = info.pos;
    int pos = info.pos;
    switch (static_cast<uint32_t>(wParam) & 0xFFFF) {
    case PSB_LINEUP:
        pos = pos - 10 < 0 ? 0 : pos - 10;
        break;
    case PSB_LINEDOWN:
        pos += 10;
        break;
    case PSB_THUMBTRACK:
        pos = info.trackPos;
        break;
    default:
        break;
    }
    info.pos = pos;
    PlatSetScrollInfo(bar, PSIF_POS, info, true);
    gLcd.FillRect(0, 0, CanvasWidth, CanvasHeight, kCreateClearColour);
    gMidi.RequestFullRedraw();
    Present();
}

} // namespace

intptr_t MainWndProc(uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    if (message != PM_TIMER && message != PM_PAINT)
        WakeCycles(); // whatever it does is shown by the next cycle allowed, not a slow one
    switch (message) {
    case PM_CREATE:
        return OnCreate() ? 0 : -1;
    case PM_DESTROY:
        OnDestroy();
        return 0;
    case PM_SIZE:
        OnSize(lParam);
        return 0;
    case PM_PAINT:
        PlatPaintFromCanvas(ScrollX, ScrollY, ClientWidth, ClientHeight);
        return 0;
    case PM_TIMER:
        gMidi.Poll();
        return 0;
    case PM_HSCROLL:
        OnScroll(PSB_HORZ, wParam);
        return 0;
    case PM_VSCROLL:
        OnScroll(PSB_VERT, wParam);
        return 0;
    case PM_MOUSEMOVE:
        StorePointer(lParam);
        gMidi.OnMouseMove();
        return 0;
    case PM_LBUTTONDOWN:
        PlatSetCapture();
        StorePointer(lParam);
        gMidi.OnLButtonDown();
        return 0;
    case PM_LBUTTONUP:
        PlatReleaseCapture();
        gMidi.OnLButtonUp();
        return 0;
    case PM_RBUTTONDOWN:
        PlatSetCapture();
        StorePointer(lParam);
        gMidi.OnRButtonDown();
        return 0;
    case PM_RBUTTONUP:
        PlatReleaseCapture();
        gMidi.OnRButtonUp();
        return 0;
    case PM_MBUTTONDOWN:
        WheelStep = 10;
        PlatSetCapture();
        return 0;
    case PM_MBUTTONUP:
        WheelStep = 1;
        PlatReleaseCapture();
        return 0;
    case PM_MOUSEWHEEL:
        // The sign of the whole word is the sign of the distance in its high word.
        if (static_cast<int32_t>(static_cast<uint32_t>(wParam)) >= 0)
            gMidi.OnWheel(-WheelStep);
        else
            gMidi.OnWheel(WheelStep);
        return 0;
    case PM_KEYDOWN:
        if (const int action = KeyAction(static_cast<uint32_t>(wParam)))
            gMidi.OnKey(action);
        return 0;
    case PM_SETCURSOR:
        gMidi.OnSetCursor();
        return PlatDefWindowProc(message, wParam, lParam);
    case PM_MIM_DATA:
        gMidi.OnMidiData(wParam, static_cast<uint32_t>(lParam));
        return 0;
    case PM_SETFOCUS:
    case PM_ERASEBKGND:
    case PM_KEYUP:
    case PM_CHAR:
    case PM_SYSKEYDOWN: // F10 and Alt chords, Alt+F4 included, do nothing
    case PM_SYSKEYUP:
    case PM_SYSCHAR:
    case PM_DROPFILES:
    case PM_MOUSELEAVE:
    case PM_WOM_OPEN:
    case PM_WOM_CLOSE:
    case PM_WOM_DONE:
    case PM_USER:
        return 0;
    default:
        return PlatDefWindowProc(message, wParam, lParam);
    }
}
