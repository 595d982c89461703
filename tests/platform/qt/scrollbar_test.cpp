// The scroll-bar model: Win32 standard-bar rules for range, page, position and tracking.
#include "platform/scrollbar.h"

#include <gtest/gtest.h>

namespace {

PlatScrollInfo RangePage(int min, int max, unsigned page)
{
    PlatScrollInfo i;
    i.min = min;
    i.max = max;
    i.page = page;
    return i;
}

PlatScrollInfo Pos(int pos)
{
    PlatScrollInfo i;
    i.pos = pos;
    return i;
}

TEST(ScrollBarModel, StartsEmptyAndHidden)
{
    ScrollBarModel m;
    const PlatScrollInfo i = m.Get();
    EXPECT_EQ(i.min, 0);
    EXPECT_EQ(i.max, 0);
    EXPECT_EQ(i.page, 0u);
    EXPECT_EQ(i.pos, 0);
    EXPECT_EQ(i.trackPos, 0);
    EXPECT_FALSE(m.Visible());
}

TEST(ScrollBarModel, RangeMaximumIsTheCanvasSizeItself)
{
    // Window procedure: range 0 .. CanvasHeight (600), page = client height.
    ScrollBarModel m;
    m.Set(PSIF_RANGE | PSIF_PAGE, RangePage(0, 600, 400));
    EXPECT_EQ(m.Count(), 601);
    EXPECT_EQ(m.MaxPos(), 201);  // max - page + 1
    m.Set(PSIF_POS, Pos(1000));
    EXPECT_EQ(m.Get().pos, 201);
    m.Set(PSIF_POS, Pos(-5));
    EXPECT_EQ(m.Get().pos, 0);
}

TEST(ScrollBarModel, ShownOnlyWhileThePageIsSmallerThanTheRange)
{
    ScrollBarModel m;
    m.Set(PSIF_RANGE | PSIF_PAGE, RangePage(0, 600, 600));
    EXPECT_TRUE(m.Visible());  // 601 positions, 600 visible
    m.Set(PSIF_PAGE, RangePage(0, 0, 601));
    EXPECT_FALSE(m.Visible());
    m.Set(PSIF_PAGE, RangePage(0, 0, 5000));
    EXPECT_EQ(m.Get().page, 601u);  // a page never exceeds the range
    EXPECT_FALSE(m.Visible());
    m.Set(PSIF_PAGE, RangePage(0, 0, 0));
    EXPECT_TRUE(m.Visible());
}

TEST(ScrollBarModel, PageAndRangeChangesReclampThePosition)
{
    ScrollBarModel m;
    m.Set(PSIF_RANGE | PSIF_PAGE, RangePage(0, 600, 100));
    m.Set(PSIF_POS, Pos(450));
    EXPECT_EQ(m.Get().pos, 450);
    m.Set(PSIF_PAGE, RangePage(0, 0, 300));
    EXPECT_EQ(m.Get().pos, 301);
    m.Set(PSIF_RANGE, RangePage(0, 200, 0));
    EXPECT_EQ(m.Get().page, 201u);
    EXPECT_EQ(m.Get().pos, 0);
}

TEST(ScrollBarModel, WritesOnlyTheFieldsOfTheMask)
{
    ScrollBarModel m;
    m.Set(PSIF_RANGE | PSIF_PAGE, RangePage(0, 600, 100));
    m.Set(PSIF_POS, Pos(20));
    PlatScrollInfo other = RangePage(5, 9, 1);
    other.pos = 7;
    m.Set(PSIF_PAGE, other);
    EXPECT_EQ(m.Get().min, 0);
    EXPECT_EQ(m.Get().max, 600);
    EXPECT_EQ(m.Get().page, 1u);
    EXPECT_EQ(m.Get().pos, 20);
    m.Set(PSIF_TRACKPOS, other);  // read-only: changes nothing
    EXPECT_EQ(m.Get().pos, 20);
    EXPECT_EQ(m.Get().trackPos, 20);
}

TEST(ScrollBarModel, ZeroPageClampsToTheRangeMaximum)
{
    ScrollBarModel m;
    m.Set(PSIF_RANGE, RangePage(10, 50, 0));
    m.Set(PSIF_POS, Pos(99));
    EXPECT_EQ(m.Get().pos, 50);
    m.Set(PSIF_POS, Pos(3));
    EXPECT_EQ(m.Get().pos, 10);
}

TEST(ScrollBarModel, TrackPositionFollowsTheThumbOnlyWhileTracking)
{
    ScrollBarModel m;
    m.Set(PSIF_RANGE | PSIF_PAGE, RangePage(0, 600, 400));
    m.Set(PSIF_POS, Pos(30));
    EXPECT_EQ(m.Get().trackPos, 30);
    m.BeginTrack();
    EXPECT_EQ(m.Get().trackPos, 30);
    m.Track(120);
    EXPECT_EQ(m.Get().trackPos, 120);
    EXPECT_EQ(m.Get().pos, 30);  // the position moves only when written
    m.Track(999);
    EXPECT_EQ(m.Get().trackPos, 201);
    m.Set(PSIF_POS, Pos(201));
    m.EndTrack();
    EXPECT_EQ(m.Get().trackPos, 201);
    m.Set(PSIF_POS, Pos(0));
    EXPECT_EQ(m.Get().trackPos, 0);
}

TEST(ScrollBarModel, InvertedRangeCollapses)
{
    ScrollBarModel m;
    m.Set(PSIF_RANGE, RangePage(40, 10, 0));
    EXPECT_EQ(m.Get().min, 40);
    EXPECT_EQ(m.Get().max, 40);
    EXPECT_FALSE(m.Visible());
}

}  // namespace
