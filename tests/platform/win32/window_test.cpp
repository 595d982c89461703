// The window host on the real system: creation, scroll bars, painting, timers, capture,
// the default handling and the end of the message loop.
#include <gtest/gtest.h>

#include "platform/win32/win32.h"

#include <mmsystem.h>

#include <algorithm>

#include "test_wndproc.h"

namespace {

using namespace test_wndproc;

RECT Client()
{
    RECT r{};
    GetClientRect(zm_win32::MainWindow(), &r);
    return r;
}

intptr_t Packed(int w, int h)
{
    return static_cast<intptr_t>(static_cast<uint32_t>(w) | static_cast<uint32_t>(h) << 16);
}

TEST(Win32Window, IsCreatedAsAskedWithCreateAndSizeInside)
{
    Window w;
    ASSERT_TRUE(w.created);
    HWND window = zm_win32::MainWindow();
    ASSERT_NE(window, nullptr);
    char text[64] = {};
    GetClassNameA(window, text, sizeof text);
    EXPECT_STREQ(text, "ZYN_MOUSE_TEST");
    GetWindowTextA(window, text, sizeof text);
    EXPECT_STREQ(text, "Test window");
    const LONG style = GetWindowLongA(window, GWL_STYLE);
    EXPECT_EQ(style & 0x00CF0000, 0x00CF0000);
    EXPECT_EQ(style & (WS_HSCROLL | WS_VSCROLL), 0);
    RECT outer{};
    GetWindowRect(window, &outer);
    EXPECT_EQ(outer.left, 0);
    EXPECT_EQ(outer.top, 0);
    EXPECT_EQ(outer.right - outer.left, 640);
    EXPECT_EQ(outer.bottom - outer.top, 480);
    // The creation runs inside PlatCreateMainWindow; an overlapped window learns its
    // client size when it is first shown.
    EXPECT_EQ(Count(PM_CREATE), 1);
    EXPECT_EQ(Log().front().message, static_cast<uint32_t>(WM_GETMINMAXINFO));
    PlatShowWindow();
    EXPECT_NE(IsWindowVisible(window), FALSE);
    const Message* size = Last(PM_SIZE);
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(size->lParam, Packed(Client().right, Client().bottom));
    // A second main window is refused.
    EXPECT_FALSE(PlatCreateMainWindow("ZYN_MOUSE_TEST", "again", 0, 0, 100, 100));
}

TEST(Win32Window, RefusedCreationLeavesNoWindow)
{
    Set() = Knobs{};
    Set().refuseCreate = true;
    ClearLog();
    EXPECT_FALSE(PlatCreateMainWindow("ZYN_MOUSE_TEST", "refused", 0, 0, 200, 200));
    EXPECT_EQ(zm_win32::MainWindow(), nullptr);
    EXPECT_EQ(Count(PM_CREATE), 1);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    Set().refuseCreate = false;
    Window w; // the class stays registered: a later window still comes
    EXPECT_TRUE(w.created);
}

TEST(Win32Window, ScrollBarsShowAndResizeTheClient)
{
    Window w;
    ASSERT_TRUE(w.created);
    const int widthBefore = Client().right;
    ClearLog();
    PlatScrollInfo set;
    set.min = 0;
    set.max = 480;
    set.page = 200;
    PlatSetScrollInfo(PSB_VERT, PSIF_RANGE | PSIF_PAGE, set, true);
    EXPECT_NE(GetWindowLongA(zm_win32::MainWindow(), GWL_STYLE) & WS_VSCROLL, 0);
    EXPECT_LT(Client().right, widthBefore); // the bar takes its room from the client...
    const Message* size = Last(PM_SIZE);    // ...and the window is told at once
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(size->lParam & 0xFFFF, Client().right);

    // A page as large as the range: no bar, the client gets its room back.
    set.page = 481;
    PlatSetScrollInfo(PSB_VERT, PSIF_PAGE, set, true);
    EXPECT_EQ(GetWindowLongA(zm_win32::MainWindow(), GWL_STYLE) & WS_VSCROLL, 0);
    EXPECT_EQ(Client().right, widthBefore);
}

TEST(Win32Window, PresentPaintsAtOnceFromTheCanvasAndBlackBeyondIt)
{
    Window w;
    ASSERT_TRUE(w.created);
    PlatShowWindow();
    uint32_t* bits = PlatCanvasCreate(300, 200);
    ASSERT_NE(bits, nullptr);
    for (int y = 0; y < 200; ++y) {
        for (int x = 0; x < 300; ++x) {
            bits[y * 300 + x] =
                static_cast<uint32_t>(x & 0xFF) << 16 | static_cast<uint32_t>(y) << 8 | 0x40;
        }
    }
    Set().paintX = 250; // the last 50 columns of the canvas, then 30 beyond it
    Set().paintY = 20;
    Set().paintW = 80;
    Set().paintH = 100;
    const int before = Count(PM_PAINT);
    PlatPresent();
    EXPECT_EQ(Count(PM_PAINT), before + 1); // synchronous: painted before Present returns

    HDC dc = GetDC(zm_win32::MainWindow());
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(250, 20, 0x40));
    EXPECT_EQ(GetPixel(dc, 49, 99), RGB(299 & 0xFF, 119, 0x40));
    EXPECT_EQ(GetPixel(dc, 30, 5), RGB(280 & 0xFF, 25, 0x40));
    EXPECT_EQ(GetPixel(dc, 50, 0), RGB(0, 0, 0)); // beyond the canvas
    EXPECT_EQ(GetPixel(dc, 79, 99), RGB(0, 0, 0));
    ReleaseDC(zm_win32::MainWindow(), dc);
    PlatCanvasRelease();
    PlatPaintFromCanvas(0, 0, 10, 10); // outside PM_PAINT: nothing happens
}

TEST(Win32Window, PresentRectRepaintsThatRectangleOnly)
{
    Window w;
    ASSERT_TRUE(w.created);
    PlatShowWindow();
    uint32_t* bits = PlatCanvasCreate(100, 100);
    ASSERT_NE(bits, nullptr);
    std::fill(bits, bits + 100 * 100, 0x112233u);
    Set().paintW = 100;
    Set().paintH = 100;
    PlatPresent();
    std::fill(bits, bits + 100 * 100, 0x445566u);
    const int before = Count(PM_PAINT);
    PlatPresentRect(10, 20, 30, 40);
    EXPECT_EQ(Count(PM_PAINT), before + 1);
    HDC dc = GetDC(zm_win32::MainWindow());
    EXPECT_EQ(GetPixel(dc, 10, 20), RGB(0x44, 0x55, 0x66));
    EXPECT_EQ(GetPixel(dc, 39, 59), RGB(0x44, 0x55, 0x66));
    EXPECT_EQ(GetPixel(dc, 40, 59), RGB(0x11, 0x22, 0x33));
    EXPECT_EQ(GetPixel(dc, 10, 60), RGB(0x11, 0x22, 0x33));
    EXPECT_EQ(GetPixel(dc, 9, 19), RGB(0x11, 0x22, 0x33));
    ReleaseDC(zm_win32::MainWindow(), dc);
    PlatPresentRect(0, 0, 0, 10); // empty: no paint
    EXPECT_EQ(Count(PM_PAINT), before + 1);
    PlatCanvasRelease();
}

TEST(Win32Window, TimersDeliverTheirIdUntilKilled)
{
    Window w;
    ASSERT_TRUE(w.created);
    PlatSetTimer(7, 5);
    ASSERT_TRUE(PumpUntil([] { return Count(PM_TIMER) >= 3; }, 3000));
    EXPECT_EQ(Last(PM_TIMER)->wParam, 7u);
    PlatKillTimer(7);
    Pump(50);
    const int after = Count(PM_TIMER);
    Pump(100);
    EXPECT_EQ(Count(PM_TIMER), after);
}

TEST(Win32Window, CaptureAndFileDropsAreTheWindows)
{
    Window w;
    ASSERT_TRUE(w.created);
    HWND window = zm_win32::MainWindow();
    PlatSetCapture();
    EXPECT_EQ(GetCapture(), window);
    PlatReleaseCapture();
    EXPECT_EQ(GetCapture(), nullptr);
    PlatAcceptFiles(true);
    EXPECT_NE(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_ACCEPTFILES, 0);
    PlatAcceptFiles(false);
    EXPECT_EQ(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_ACCEPTFILES, 0);
}

TEST(Win32Window, MidiDataCarriesTheContractsHandle)
{
    Window w;
    ASSERT_TRUE(w.created);
    // No open input has this native handle: the message still comes, with no device's handle.
    PostMessageA(zm_win32::MainWindow(), MM_MIM_DATA, 0x1234, 0x403C90);
    ASSERT_TRUE(PumpUntil([] { return Count(PM_MIM_DATA) == 1; }, 2000));
    EXPECT_EQ(Last(PM_MIM_DATA)->wParam, kNoMidiDevice);
    EXPECT_EQ(Last(PM_MIM_DATA)->lParam, 0x403C90);
}

TEST(Win32Window, CloseDestroysByDefaultAndTheLoopReturnsTheQuitCode)
{
    Window w;
    ASSERT_TRUE(w.created);
    Set().quitCode = 7;
    PostMessageA(zm_win32::MainWindow(), WM_CLOSE, 0, 0);
    EXPECT_EQ(PlatRunMessageLoop(), 7);
    EXPECT_EQ(Count(PM_DESTROY), 1);
    EXPECT_EQ(zm_win32::MainWindow(), nullptr);
}

} // namespace
