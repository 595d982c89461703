#include <gtest/gtest.h>

#include "app/action.h"
#include "app/c_midi.h"
#include "app/window.h"
#include "host_double.h"
#include "midi_double.h"
#include "surface/winui.h"

namespace {

using midi_double::SentTo;
using Words = std::vector<uint32_t>;

uint32_t On(int note, int velocity = 127)
{
    return 0x90u | static_cast<uint32_t>(note) << 8 | static_cast<uint32_t>(velocity) << 16;
}
Words Struck(std::initializer_list<int> notes)
{
    Words w;
    for (int n : notes) {
        w.push_back(On(n));
        w.push_back(On(n, 0));
    }
    return w;
}

class NotesTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetProgramState();
        midi_double::Reset();
        midi_double::SetOutputs({{"Synth A"}, {"Synth B"}});
        gMidi.OpenOutputs();
        gWinUI.Init();
    }
    void MoveTo(int x, int y)
    {
        MouseX = x;
        MouseY = y;
        gMidi.OnMouseMove();
    }
};

TEST_F(NotesTest, EveryKeyStrikesItsNoteThroughDispatch)
{
    const std::pair<int, int> table[] = {
        {AC_F1, 9},        {AC_F1 + 2, 11},   {AC_F1 + 3, 12},    {AC_F1 + 4, 13},
        {AC_F1 + 5, 14},   {AC_F1 + 6, 15},   {AC_F1 + 7, 16},    {AC_F1 + 8, 17},
        {AC_F10, 18},      {AC_F1 + 10, 19},  {AC_F12, 20},       {AC_KEY1, 21},
        {AC_KEY1 + 1, 22}, {AC_KEY1 + 2, 23}, {AC_KEY1 + 3, 24},  {AC_KEY1 + 4, 25},
        {AC_KEY1 + 5, 26}, {AC_KEY1 + 6, 27}, {AC_KEY1 + 7, 28},  {AC_KEY9, 29},
        {AC_KEY0, 30},     {AC_NUM_PLUS, 31}, {AC_NUM_MINUS, 32}, {AC_ENTER, 33},
        {AC_LEFT, 34},     {AC_RIGHT, 35},    {AC_UP, 36},        {AC_DOWN, 37},
        {AC_SHIFT, 38},
    };
    for (auto [action, note] : table) {
        midi_double::ClearSent();
        gWinUI.Dispatch(action, 0);
        EXPECT_EQ(SentTo(0), Struck({note})) << "action " << action;
    }
}

TEST_F(NotesTest, ExactWordsOfF1AndTheSoftF2)
{
    gMidi.OnKey(AC_F1);
    gMidi.OnKey(AC_F2);
    EXPECT_EQ(SentTo(0), (Words{0x007F0990, 0x00000990, 0x001B0A90, 0x00000A90}));
    EXPECT_EQ(gMidi.redrawFlags, 0); // keys change nothing on screen
}

TEST_F(NotesTest, ButtonsAndWheelStrikeTheirNotes)
{
    gMidi.OnLButtonDown();
    gMidi.OnLButtonUp();
    gMidi.OnRButtonDown();
    gMidi.OnRButtonUp();
    gMidi.OnWheel(+1);
    gMidi.OnWheel(-10);
    gMidi.OnWheel(0); // no direction, no note
    EXPECT_EQ(SentTo(0), Struck({7, 8, 5, 6}));
}

TEST_F(NotesTest, CodesWithoutANoteSendNothing)
{
    for (int action :
         {0, 2, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 17, 20, 30, 32, 33, 63, 100, -1})
        gWinUI.Dispatch(action, 0);
    EXPECT_TRUE(midi_double::SentWords().empty());
}

TEST_F(NotesTest, NotesGoToTheSelectedOutputOnly)
{
    gWinUI.outSel = 1;
    gMidi.OnKey(AC_KEY0);
    EXPECT_TRUE(SentTo(0).empty());
    EXPECT_EQ(SentTo(1), Struck({30}));
}

TEST_F(NotesTest, GestureThresholdIsStrict)
{
    GestureRefX = GestureRefY = 100;
    MoveTo(100, 75); // exactly 25 up: nothing
    EXPECT_TRUE(SentTo(0).empty());
    MoveTo(100, 74);
    EXPECT_EQ(SentTo(0), Struck({1}));
    EXPECT_EQ(GestureRefY, 74);
    EXPECT_EQ(GestureRefX, 100);
}

TEST_F(NotesTest, VerticalNoteComesBeforeHorizontal)
{
    MoveTo(40, 40);
    EXPECT_EQ(SentTo(0), Struck({2, 3}));
    midi_double::ClearSent();
    MoveTo(14, 14); // 26 back on both axes
    EXPECT_EQ(SentTo(0), Struck({1, 4}));
}

TEST_F(NotesTest, SlowMovementAccumulatesUntilItCrosses)
{
    for (int x = 1; x <= 25; ++x)
        MoveTo(x, 0);
    EXPECT_TRUE(SentTo(0).empty());
    MoveTo(26, 0);
    EXPECT_EQ(SentTo(0), Struck({3}));
}

TEST_F(NotesTest, EachSpeedIndexHasItsThreshold)
{
    const int expected[10] = {60, 40, 35, 30, 25, 20, 15, 10, 10, 5};
    for (int speed = 0; speed < 10; ++speed) {
        gWinUI.speed = static_cast<int16_t>(speed);
        GestureRefX = GestureRefY = 0;
        midi_double::ClearSent();
        MoveTo(expected[speed], 0);
        EXPECT_TRUE(SentTo(0).empty()) << "speed " << speed;
        MoveTo(expected[speed] + 1, 0);
        EXPECT_EQ(SentTo(0), Struck({3})) << "speed " << speed;
    }
}

TEST_F(NotesTest, MovingWithAButtonHeldPostsTheDragCodeFirst)
{
    gMidi.leftDown = 1;
    gMidi.rightDown = 1;
    MoveTo(0, 30);
    EXPECT_EQ(SentTo(0), Struck({2})); // only the gesture test strikes
    gMidi.leftDown = 0;
    gMidi.rightDown = 0;
}

TEST_F(NotesTest, WheelMovesTheGestureReference)
{
    MouseX = 300;
    MouseY = 300;
    gMidi.OnWheel(1);
    midi_double::ClearSent();
    MoveTo(310, 310);
    EXPECT_TRUE(SentTo(0).empty());
    EXPECT_EQ(GestureRefX, 300);
}

TEST_F(NotesTest, NothingIsSentWithoutAnOpenOutput)
{
    gWinUI.outSel = 4; // beyond the two outputs
    gMidi.OnKey(AC_F1);
    midi_double::SetOutputs({{"Broken", true}});
    midi_double::Reset();
    ResetProgramState();
    midi_double::SetOutputs({{"Broken", true}});
    gMidi.OpenOutputs();
    gMidi.OnKey(AC_F1);
    EXPECT_TRUE(midi_double::SentWords().empty());
    EXPECT_FALSE(midi_double::AnyUseOfClosedHandle());
}

TEST_F(NotesTest, SendShortAddsChannelAndDataBytes)
{
    midi_double::SetOutputs({{"a"}, {"b"}, {"c"}});
    gMidi.OpenOutputs();
    gMidi.SendShort(2, 0, 0x90, 60, 127);
    gMidi.SendShort(2, 9, 0xB0, 7, 100);
    EXPECT_EQ(SentTo(2), (Words{0x007F3C90, 0x006407B9}));
}

} // namespace
