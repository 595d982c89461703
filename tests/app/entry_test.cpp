#include <gtest/gtest.h>

#include "app/action.h"
#include "app/c_midi.h"
#include "host_double.h"
#include "midi_double.h"

namespace {

class EntryTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetProgramState();
        midi_double::Reset();
    }
};

TEST_F(EntryTest, ButtonFlagsChangeBeforeTheirCodeIsPosted)
{
    gMidi.OnLButtonDown();
    EXPECT_EQ(gMidi.leftDown, 1);
    EXPECT_EQ(gMidi.redrawFlags, REDRAW_FULL);
    gMidi.OnRButtonDown();
    EXPECT_EQ(gMidi.rightDown, 1);
    gMidi.OnLButtonUp();
    gMidi.OnRButtonUp();
    EXPECT_EQ(gMidi.leftDown, 0);
    EXPECT_EQ(gMidi.rightDown, 0);
}

TEST_F(EntryTest, RedrawRequestsOrOrAssign)
{
    gMidi.RequestRedraw(REDRAW_UPDATE);
    gMidi.RequestRedraw(REDRAW_FULL);
    EXPECT_EQ(gMidi.redrawFlags, 3);
    gMidi.RequestFullRedraw();
    EXPECT_EQ(gMidi.redrawFlags, 2);
    gMidi.redrawFlags = 0;
    gMidi.OnKey(AC_F1);
    gMidi.OnMouseMove();
    EXPECT_EQ(gMidi.redrawFlags, 0);
    gMidi.OnWheel(1);
    EXPECT_EQ(gMidi.redrawFlags, 2);
}

TEST_F(EntryTest, PostReturnsTheActionAndSetCursorAnswersTrue)
{
    EXPECT_EQ(gMidi.Post(AC_TICK, 0), AC_TICK);
    EXPECT_TRUE(gMidi.OnSetCursor());
}

} // namespace

namespace {

std::vector<std::pair<int, int>> posted;
void Record(int action, int arg)
{
    posted.emplace_back(action, arg);
}

class PostOrderTest : public EntryTest {
  protected:
    void SetUp() override
    {
        EntryTest::SetUp();
        posted.clear();
        gPostObserver = Record;
    }
    void TearDown() override { gPostObserver = nullptr; }
};

using Posts = std::vector<std::pair<int, int>>;

TEST_F(PostOrderTest, MovePostsTheDragCodeFirstAndLeftWins)
{
    gMidi.OnMouseMove();
    gMidi.rightDown = 1;
    gMidi.OnMouseMove();
    gMidi.leftDown = 1;
    gMidi.OnMouseMove();
    EXPECT_EQ(posted,
              (Posts{{AC_MOVE, 0}, {AC_RDRAG, 0}, {AC_MOVE, 0}, {AC_LDRAG, 0}, {AC_MOVE, 0}}));
}

TEST_F(PostOrderTest, EachEntryPostsExactlyItsCode)
{
    gMidi.OnLButtonDown();
    gMidi.OnLButtonUp();
    gMidi.OnRButtonDown();
    gMidi.OnRButtonUp();
    gMidi.OnWheel(-10);
    gMidi.OnSetCursor();
    gMidi.OnKey(AC_SHIFT);
    EXPECT_EQ(posted, (Posts{{AC_LDOWN, 0},
                             {AC_LUP, 0},
                             {AC_RDOWN, 0},
                             {AC_RUP, 0},
                             {AC_WHEEL, -10},
                             {AC_SETCURSOR, 0},
                             {AC_SHIFT, 0}}));
}

} // namespace
