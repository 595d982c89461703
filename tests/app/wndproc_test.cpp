#include <gtest/gtest.h>

#include "app/action.h"
#include "app/appmain.h"
#include "app/c_midi.h"
#include "app/clock.h"
#include "app/window.h"
#include "host_double.h"
#include "lcd/lcd.h"
#include "midi_double.h"
#include "surface/winui.h"

namespace {

intptr_t Pos(int x, int y)
{
    return static_cast<intptr_t>(static_cast<uint16_t>(x) |
                                 static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16);
}

uintptr_t WheelParam(int delta)
{
    return static_cast<uintptr_t>(static_cast<uint32_t>(static_cast<uint16_t>(delta)) << 16);
}

class WndProcTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetProgramState();
        gLcd.ReleaseCanvas();
        midi_double::Reset();
        midi_double::SetInputs({{"Keys"}});
        midi_double::SetOutputs({{"Synth"}});
        ASSERT_EQ(MainWndProc(PM_CREATE, 0, 0), 0);
        midi_double::ClearSent();
    }
    std::vector<uint32_t> Sent() { return midi_double::SentTo(0); }
};

TEST_F(WndProcTest, CreationSetsUpEverythingAndClearsTheCanvas)
{
    EXPECT_TRUE(host_double::CanvasExists());
    EXPECT_EQ(host_double::TimerInterval(kWindowTimerId), 2u);
    EXPECT_TRUE(host_double::TickRunning());
    EXPECT_TRUE(host_double::DropsAccepted());
    EXPECT_EQ(gMidi.inCount, 1);
    EXPECT_EQ(gMidi.outCount, 1);
    EXPECT_EQ(gWinUI.speed, 4);
    EXPECT_EQ(gMidi.redrawFlags, REDRAW_FULL);
    EXPECT_EQ(host_double::Pixel(0, 0), 0x00CC33u);
    EXPECT_EQ(host_double::Pixel(799, 599), 0x00CC33u);
}

TEST_F(WndProcTest, DestructionStopsTimersFreesTheCanvasAndQuits)
{
    MainWndProc(PM_CLOSE, 0, 0); // default handling destroys the window
    int code = -1;
    EXPECT_TRUE(host_double::Quit(&code));
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(host_double::TickRunning());
    EXPECT_FALSE(host_double::TimerRunning(kWindowTimerId));
    EXPECT_FALSE(host_double::CanvasExists());
    EXPECT_EQ(gLcd.bits, nullptr);
    EXPECT_EQ(midi_double::OpenHandles(), 2); // devices stay open until the process ends
}

TEST_F(WndProcTest, ACanvasThatCannotBeMadeFailsTheCreation)
{
    ResetProgramState();
    gLcd.ReleaseCanvas();
    host_double::FailNextCanvas();
    EXPECT_EQ(MainWndProc(PM_CREATE, 0, 0), -1);
    EXPECT_FALSE(host_double::TickRunning());
}

TEST_F(WndProcTest, SizeSetsRangesAndPagesButNotTheOffsets)
{
    ScrollX = 30;
    ScrollY = 40;
    MainWndProc(PM_SIZE, 0, Pos(640, 480));
    EXPECT_EQ(ClientWidth, 640);
    EXPECT_EQ(ClientHeight, 480);
    EXPECT_EQ(host_double::Bar(PSB_HORZ).max, 800);
    EXPECT_EQ(host_double::Bar(PSB_HORZ).page, 640u);
    EXPECT_EQ(host_double::Bar(PSB_VERT).max, 600);
    EXPECT_EQ(host_double::Bar(PSB_VERT).page, 480u);
    EXPECT_EQ(ScrollX, 30);
    EXPECT_EQ(ScrollY, 40);
    MainWndProc(PM_PAINT, 0, 0);
    EXPECT_EQ(host_double::LastPaint().x, 30);
    EXPECT_EQ(host_double::LastPaint().w, 640);
}

TEST_F(WndProcTest, ScrollingFollowsTheBarOneMessageLate)
{
    MainWndProc(PM_SIZE, 0, Pos(400, 300));
    const int presents = host_double::Presents();
    MainWndProc(PM_VSCROLL, PSB_LINEDOWN, 0);
    EXPECT_EQ(ScrollY, 0);
    EXPECT_EQ(host_double::Bar(PSB_VERT).pos, 10);
    EXPECT_EQ(host_double::Pixel(0, 0), 0x00CC33u);
    EXPECT_EQ(gMidi.redrawFlags, REDRAW_FULL);
    EXPECT_EQ(host_double::Presents(), presents + 1);
    MainWndProc(PM_VSCROLL, PSB_ENDSCROLL, 0);
    EXPECT_EQ(ScrollY, 10);

    MainWndProc(PM_VSCROLL, PSB_PAGEDOWN, 0);
    MainWndProc(PM_VSCROLL, PSB_ENDSCROLL, 0);
    EXPECT_EQ(ScrollY, 10); // page requests do not scroll

    MainWndProc(PM_VSCROLL, PSB_LINEUP, 0);
    MainWndProc(PM_VSCROLL, PSB_LINEUP, 0);
    MainWndProc(PM_VSCROLL, PSB_ENDSCROLL, 0);
    EXPECT_EQ(ScrollY, 0); // never below 0

    host_double::Bar(PSB_HORZ).trackPos = 250;
    MainWndProc(PM_HSCROLL, PSB_THUMBTRACK, 0);
    MainWndProc(PM_HSCROLL, PSB_ENDSCROLL, 0);
    EXPECT_EQ(ScrollX, 250);
    for (int i = 0; i < 50; ++i)
        MainWndProc(PM_HSCROLL, PSB_LINEDOWN, 0);
    MainWndProc(PM_HSCROLL, PSB_ENDSCROLL, 0);
    EXPECT_EQ(ScrollX, 401); // clamped by the bar: range 800, page 400
}

TEST_F(WndProcTest, PointerIsStoredInCanvasCoordinates)
{
    ScrollX = 100;
    MainWndProc(PM_LBUTTONDOWN, 0, Pos(5, 7));
    EXPECT_EQ(MouseX, 105);
    EXPECT_EQ(MouseY, 7);
    EXPECT_EQ(Sent(), (std::vector<uint32_t>{0x007F0790, 0x00000790}));
    MainWndProc(PM_MOUSEMOVE, 0, Pos(-3, 20)); // dragged past the left edge
    EXPECT_EQ(MouseX, 0);
    EXPECT_EQ(MouseY, 20);
    MainWndProc(PM_LBUTTONUP, 0, Pos(50, 50)); // a release stores nothing
    EXPECT_EQ(MouseY, 20);
    EXPECT_EQ(host_double::CaptureDepth(), 0);
}

TEST_F(WndProcTest, WheelNotchSignAndMiddleButtonStep)
{
    MainWndProc(PM_MOUSEWHEEL, WheelParam(120), 0);  // away from the user
    MainWndProc(PM_MOUSEWHEEL, WheelParam(-120), 0); // toward
    EXPECT_EQ(Sent(), (std::vector<uint32_t>{0x007F0690, 0x00000690, 0x007F0590, 0x00000590}));
    MouseX = 100;
    MouseY = 220; // over the speed box
    MainWndProc(PM_MBUTTONDOWN, 0, Pos(1, 1));
    EXPECT_EQ(WheelStep, 10);
    MainWndProc(PM_MOUSEWHEEL, WheelParam(1), 0);
    EXPECT_EQ(gWinUI.speed, 0);
    MainWndProc(PM_MOUSEWHEEL, WheelParam(-1), 0);
    EXPECT_EQ(gWinUI.speed, 9);
    MainWndProc(PM_MBUTTONUP, 0, 0);
    EXPECT_EQ(WheelStep, 1);
}

TEST_F(WndProcTest, KeysMapThroughTheVirtualKeyTable)
{
    MainWndProc(PM_KEYDOWN, 0x65, 0); // keypad 5
    MainWndProc(PM_KEYDOWN, 0x35, 0); // main-row 5
    EXPECT_EQ(Sent(), (std::vector<uint32_t>{0x007F1990, 0x00001990, 0x007F1990, 0x00001990}));
    midi_double::ClearSent();
    const std::pair<uint32_t, int> keys[] = {
        {0x0D, 33}, {0x10, 38}, {0x25, 34}, {0x26, 36}, {0x27, 35}, {0x28, 37}, {0x30, 30},
        {0x60, 30}, {0x69, 29}, {0x6B, 31}, {0x6D, 32}, {0x70, 9},  {0x7A, 19}, {0x7B, 20}};
    for (auto [vk, note] : keys) {
        midi_double::ClearSent();
        MainWndProc(PM_KEYDOWN, vk, 0);
        ASSERT_EQ(Sent().size(), 2u) << std::hex << vk;
        EXPECT_EQ(Sent()[0], 0x007F0090u | static_cast<uint32_t>(note) << 8) << std::hex << vk;
    }
}

TEST_F(WndProcTest, SystemKeysAndOtherMessagesDoNothing)
{
    for (uint32_t vk : {0x70u, 0x73u, 0x79u})
        EXPECT_EQ(MainWndProc(PM_SYSKEYDOWN, vk, 0), 0);
    for (uint32_t vk : {0x41u, 0x20u, 0x6Au, 0x7Cu, 0x11u})
        MainWndProc(PM_KEYDOWN, vk, 0);
    for (uint32_t m : {PM_KEYUP, PM_CHAR, PM_SYSKEYUP, PM_SYSCHAR, PM_DROPFILES, PM_SETFOCUS,
                       PM_ERASEBKGND, PM_MOUSELEAVE, PM_USER})
        EXPECT_EQ(MainWndProc(m, 0x70, 0), 0);
    EXPECT_TRUE(Sent().empty());
    EXPECT_FALSE(host_double::Quit(nullptr));
    EXPECT_EQ(host_double::DefWindowProcCalls(PM_SYSKEYDOWN), 0);
}

TEST_F(WndProcTest, SetCursorGoesOnToDefaultHandling)
{
    MainWndProc(PM_SETCURSOR, 0, 0);
    EXPECT_EQ(host_double::DefWindowProcCalls(PM_SETCURSOR), 1);
}

TEST_F(WndProcTest, MidiDataIsForwardedAndLogged)
{
    MainWndProc(PM_MIM_DATA, gMidi.inHandle[0], 0x00403C90);
    EXPECT_EQ(Sent(), std::vector<uint32_t>{0x00403C90});
    EXPECT_EQ(gMidi.logSerial, 1);
}

TEST(AppMainTest, SecondInstanceShowsTheMessageAndExitsWithOne)
{
    ResetProgramState();
    midi_double::Reset();
    host_double::SetOtherInstance(true);
    EXPECT_EQ(AppMain(), 1);
    ASSERT_EQ(host_double::MessageBoxes().size(), 1u);
    EXPECT_EQ(host_double::MessageBoxes()[0], "ZYN_MOUSE: Proram still running?");
    EXPECT_FALSE(host_double::WindowCreated());
}

TEST(AppMainTest, FirstInstanceSizesTheCanvasFromTheScreen)
{
    ResetProgramState();
    gLcd.ReleaseCanvas();
    midi_double::Reset();
    host_double::SetScreen(1024, 700);
    EXPECT_EQ(AppMain(), 0);
    EXPECT_EQ(CanvasWidth, 1024);
    EXPECT_EQ(CanvasHeight, 700);
    EXPECT_EQ(host_double::Caption(), "ZYN_MOUSE Ver1.02");
    EXPECT_TRUE(host_double::WindowCreated());
    EXPECT_TRUE(host_double::MessageBoxes().empty());
}

} // namespace
