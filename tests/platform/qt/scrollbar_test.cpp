// The scroll-bar model: when a bar shows, and the thumb's track position. Its clamping is
// tested through the contract (tests/platform/contract), on every back end.
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

TEST(ScrollBarModel, ShownOnlyWhileThePageIsSmallerThanTheRange)
{
    ScrollBarModel m;
    EXPECT_FALSE(m.Visible());
    m.Set(PSIF_RANGE | PSIF_PAGE, RangePage(0, 600, 600));
    EXPECT_EQ(m.Count(), 601);
    EXPECT_EQ(m.MaxPos(), 1); // max - page + 1
    EXPECT_TRUE(m.Visible()); // 601 positions, 600 visible
    m.Set(PSIF_PAGE, RangePage(0, 0, 601));
    EXPECT_FALSE(m.Visible());
    m.Set(PSIF_PAGE, RangePage(0, 0, 5000));
    EXPECT_EQ(m.Get().page, 601u); // a page never exceeds the range
    EXPECT_FALSE(m.Visible());
    m.Set(PSIF_PAGE, RangePage(0, 0, 0));
    EXPECT_TRUE(m.Visible());
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
    EXPECT_EQ(m.Get().pos, 30); // the position moves only when written
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

} // namespace
