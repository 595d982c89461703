#include <gtest/gtest.h>

#include "app/action.h"
#include "app/c_midi.h"
#include "app/clock.h"
#include "app/window.h"
#include "host_double.h"
#include "midi_double.h"

namespace {

std::vector<int> dispatched;
void Record(int action, int)
{
    dispatched.push_back(action);
}

class ClockTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetProgramState();
        midi_double::Reset();
        dispatched.clear();
    }
    void TearDown() override { gPostObserver = nullptr; }
    void Tick(uint32_t t)
    {
        host_double::SetTime(t);
        TickCallback();
    }
    void PollAt(uint32_t ms)
    {
        gMidi.tickMs = ms;
        gMidi.Poll();
    }
};

TEST_F(ClockTest, TickAddsSmallStepsAndDropsGaps)
{
    Tick(5000); // first event: the difference from 0 is a gap
    EXPECT_EQ(gMidi.tickMs, 0u);
    Tick(5001);
    Tick(5101); // exactly 100 is added
    EXPECT_EQ(gMidi.tickMs, 101u);
    Tick(5202); // 101 is dropped
    EXPECT_EQ(gMidi.tickMs, 101u);
    Tick(5202); // no change
    Tick(5205);
    EXPECT_EQ(gMidi.tickMs, 104u);
}

TEST_F(ClockTest, TickSurvivesThePlatformClockWrapping)
{
    Tick(0xFFFFFFF0u);
    Tick(0xFFFFFFF8u);
    Tick(0x00000004u);
    EXPECT_EQ(gMidi.tickMs, 20u);
}

TEST_F(ClockTest, PollRunsAtMostEveryTenMilliseconds)
{
    gPostObserver = Record;
    PollAt(10);
    EXPECT_EQ(dispatched.size(), 1u);
    PollAt(13);
    PollAt(19);
    EXPECT_EQ(dispatched.size(), 1u);
    PollAt(23);
    EXPECT_EQ(dispatched, (std::vector<int>{AC_TICK, AC_TICK}));
    EXPECT_EQ(gMidi.redrawFlags, 0);
    PollAt(0xFFFFFFFFu); // signed difference: a clock "behind" the last cycle does not run
    EXPECT_EQ(dispatched.size(), 2u);
}

TEST_F(ClockTest, APressBetweenCyclesMakesTheNextOneFull)
{
    gPostObserver = Record;
    PollAt(10);
    gMidi.OnLButtonDown();
    dispatched.clear();
    host_double::ClearTexts();
    PollAt(20);
    EXPECT_EQ(dispatched, std::vector<int>{AC_TICK});
    // The legend's title is only drawn by a full redraw.
    bool title = false;
    for (const auto& t : host_double::Texts())
        title |= t.text == "ZYN MOUSE";
    EXPECT_TRUE(title);
}

TEST_F(ClockTest, OrdinaryCyclesPresentOnlyWhatChanged)
{
    midi_double::SetInputs({{"keys"}});
    gMidi.OpenInputs();
    MainWndProc(PM_SIZE, 0, 800 | 600 << 16);
    gMidi.RequestFullRedraw();
    PollAt(10);
    EXPECT_EQ(host_double::Presents(), 1);
    EXPECT_EQ(host_double::LastPresent().w, 800); // the full redraw shows everything
    EXPECT_EQ(host_double::LastPresent().h, 600);

    host_double::ClearTexts();
    PollAt(20); // nothing new: nothing drawn, nothing presented
    EXPECT_TRUE(host_double::Texts().empty());
    EXPECT_EQ(host_double::Presents(), 1);

    gMidi.OnMidiData(gMidi.inHandle[0], 0x00403C90);
    PollAt(30); // the monitor's rows alone
    EXPECT_FALSE(host_double::Texts().empty());
    ASSERT_EQ(host_double::Presents(), 2);
    const auto r = host_double::LastPresent();
    EXPECT_LE(r.x, 13);
    EXPECT_LE(r.y, 494);
    EXPECT_GE(r.x + r.w, 261);
    EXPECT_EQ(r.y + r.h, 600); // the text allowance reaches the canvas edge
    EXPECT_LT(static_cast<long>(r.w) * r.h, 800L * 600 / 3);

    ScrollY = 100; // the same change seen through a scrolled view
    gMidi.OnMidiData(gMidi.inHandle[0], 0x00403C90);
    PollAt(40);
    EXPECT_EQ(host_double::LastPresent().y, 394);
}

TEST_F(ClockTest, EveryFiveHundredthCycleChecksTheDevices)
{
    midi_double::SetOutputs({{"late arrival"}});
    uint32_t t = 0;
    for (int i = 0; i < 499; ++i)
        PollAt(t += 10);
    EXPECT_EQ(gMidi.outCount, 0);
    EXPECT_EQ(gClock.cycleCount, 499);
    PollAt(t += 10);
    EXPECT_EQ(gMidi.outCount, 1);
    EXPECT_EQ(gClock.cycleCount, 0);
    EXPECT_EQ(gMidi.redrawFlags, REDRAW_FULL); // the next cycle redraws the lists
}

// A cycle that leaves nothing to show slows the window timer; any message brings it back
// at once, and the device check keeps its time at either cadence.
TEST_F(ClockTest, IdleCyclesSlowTheTimerAndAnyMessageWakesIt)
{
    MainWndProc(PM_CREATE, 0, 0);
    MainWndProc(PM_SIZE, 0, 800 | 600 << 16);
    ASSERT_EQ(host_double::TimerInterval(kWindowTimerId), kWindowTimerMs);
    PollAt(10); // the full redraw of the start
    EXPECT_EQ(host_double::TimerInterval(kWindowTimerId), kIdleWindowTimerMs);
    MainWndProc(PM_PAINT, 0, 0); // showing the canvas again changes nothing on it
    EXPECT_EQ(host_double::TimerInterval(kWindowTimerId), kIdleWindowTimerMs);
    MainWndProc(PM_LBUTTONDOWN, 0, 0);
    EXPECT_EQ(host_double::TimerInterval(kWindowTimerId), kWindowTimerMs);
    PollAt(28);
    EXPECT_EQ(host_double::TimerInterval(kWindowTimerId), kIdleWindowTimerMs);

    midi_double::SetOutputs({{"late arrival"}});
    gClock.cycleCount = 0;
    uint32_t t = 28;
    for (int i = 0; i < 249; ++i)
        PollAt(t += kIdleWindowTimerMs);
    EXPECT_EQ(gMidi.outCount, 0);
    PollAt(t += kIdleWindowTimerMs); // 250 cycles of 18 ms: 4.5 s
    EXPECT_EQ(gMidi.outCount, 1);
    EXPECT_EQ(host_double::TimerInterval(kWindowTimerId), kWindowTimerMs); // the lists to draw
}

} // namespace
