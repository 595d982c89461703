#include <gtest/gtest.h>

#include "canvas_check.h"
#include "host_double.h"
#include "lcd/lcd.h"

namespace {

constexpr int W = 800, H = 600;
constexpr int kBase = 190; // 0x00CC33
constexpr int kInk = 4;    // 0xFFFF33

struct Rect {
    int x0, y0, x1, y1; // inclusive
    bool Has(int x, int y) const { return x >= x0 && x <= x1 && y >= y0 && y <= y1; }
};

class FillTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetProgramState(W, H);
        gLcd.FillRect(0, 0, W, H, kBase);
    }
    // The canvas must hold the ink exactly inside the rectangles and the base elsewhere.
    void ExpectInk(std::initializer_list<Rect> rects)
    {
        const CanvasDiff d = CompareCanvas(W, H, [&](int x, int y) {
            for (const Rect& r : rects)
                if (r.Has(x, y))
                    return Palette[kInk];
            return Palette[kBase];
        });
        EXPECT_EQ(d.mismatches, 0) << d.first;
        EXPECT_TRUE(host_double::GuardsIntact());
    }
};

TEST_F(FillTest, WholeCanvasClear)
{
    EXPECT_EQ(CountColour(W, H, 0x00CC33), W * H);
}

TEST_F(FillTest, ZeroSizesAndStartsOffTheCanvasPaintNothing)
{
    gLcd.FillRect(10, 10, 0, 5, kInk);
    gLcd.FillRect(10, 10, 5, 0, kInk);
    gLcd.FillRect(-1, 0, 10, 10, kInk);
    gLcd.FillRect(0, -1, 10, 10, kInk);
    gLcd.FillRect(0, 5, -4, 3, kInk);
    gLcd.FillRect(5, 0, 3, -4, kInk);
    gLcd.HLine(10, 10, 5, 0, kInk);
    gLcd.HLine(10, 10, -5, 1, kInk);
    gLcd.VLine(10, 20, 5, 0, kInk);
    gLcd.VLine(-1, 20, 5, 1, kInk);
    gLcd.DrawFrame(10, 10, 0, 4, kInk);
    gLcd.DrawFrame(10, 10, -5, 4, kInk);
    ExpectInk({});
}

TEST_F(FillTest, RightwardAndDownwardExtentsClipAtTheEdges)
{
    gLcd.FillRect(797, 0, 10, 1, kInk);
    gLcd.FillRect(850, 10, 20, 5, kInk); // start moved onto the last column
    gLcd.FillRect(10, 598, 2, 10, kInk);
    ExpectInk({{797, 0, 799, 0}, {799, 10, 799, 14}, {10, 598, 11, 599}});
}

TEST_F(FillTest, LeftwardAndUpwardExtentsStopShortOfColumnAndRowZero)
{
    gLcd.FillRect(5, 5, -3, 2, kInk);
    gLcd.FillRect(5, 20, -10, 1, kInk); // cut to x columns: 1..5
    gLcd.FillRect(10, 10, 4, -3, kInk);
    gLcd.FillRect(30, 3, -2, -10, kInk); // both negative, cut to rows 1..3
    ExpectInk({{3, 5, 5, 6}, {1, 20, 5, 20}, {10, 8, 13, 10}, {29, 1, 30, 3}});
    EXPECT_EQ(host_double::Pixel(0, 20), Palette[kBase]);
}

TEST_F(FillTest, StartBelowTheCanvasRunsUpwardInFull)
{
    gLcd.FillRect(100, 700, 2, -5, kInk); // start clamped to row 599
    ExpectInk({{100, 595, 101, 599}});
}

TEST_F(FillTest, BandsFollowTheirOwnRules)
{
    gLcd.HLine(20, 30, 5, 2, kInk);
    gLcd.VLine(10, 20, -5, 2, kInk);
    gLcd.VLine(40, 3, -10, 1, kInk);
    gLcd.VLine(60, 590, 50, 3, kInk);
    gLcd.VLine(798, 100, 2, 5, kInk); // thickness cut at the right edge
    ExpectInk({{20, 30, 24, 31},
               {10, 16, 11, 20},
               {40, 1, 40, 3},
               {60, 590, 62, 599},
               {798, 100, 799, 101}});
}

TEST_F(FillTest, FramesPaintOnlyTheirOutline)
{
    gLcd.DrawFrame(10, 10, 5, 4, kInk);
    gLcd.DrawFrame(50, 50, 1, 1, kInk);
    ExpectInk(
        {{10, 10, 14, 10}, {10, 13, 14, 13}, {10, 11, 10, 12}, {14, 11, 14, 12}, {50, 50, 50, 50}});
}

TEST_F(FillTest, RoundFrameLeavesItsCornersOut)
{
    gLcd.DrawRoundFrame(9, 49, 252, 79, kInk);
    ExpectInk({{10, 49, 259, 49}, {10, 127, 259, 127}, {9, 50, 9, 126}, {260, 50, 260, 126}});
    EXPECT_EQ(CountColour(W, H, Palette[kInk]), 654);
}

TEST_F(FillTest, ColoursAreTakenModulo256)
{
    gLcd.FillRect(0, 0, 1, 1, 256 + kInk);
    EXPECT_EQ(host_double::Pixel(0, 0), Palette[kInk]);
}

TEST(FillNoCanvas, NothingDrawsWithoutACanvas)
{
    ResetProgramState(W, H);
    gLcd.ReleaseCanvas();
    gLcd.FillRect(0, 0, W, H, kInk);
    gLcd.DrawRoundFrame(0, 0, 10, 10, kInk);
    gLcd.PutText(0, 0, "x", 0);
    EXPECT_FALSE(host_double::CanvasExists());
    EXPECT_TRUE(host_double::Texts().empty());
}

TEST(PaletteTest, EntriesFollowTheCubeTheExceptionsAndTheRamps)
{
    const std::pair<int, uint32_t> cases[] = {
        {0, 0xFFFFFF},   {5, 0xFFFF00},   {6, 0x77736A},   {7, 0xEEE7D4},   {8, 0xFFCCFF},
        {36, 0xCCFFFF},  {214, 0x000033}, {215, 0xEE0000}, {224, 0x110000}, {225, 0x00EE00},
        {235, 0x0000EE}, {245, 0xEEEEEE}, {254, 0x111111}, {255, 0x000000}, {128, 0x666699},
        {190, 0x00CC33}, {242, 0x000044}, {246, 0xDDDDDD}, {248, 0xAAAAAA}, {250, 0x777777},
        {4, 0xFFFF33},
    };
    for (auto [index, colour] : cases)
        EXPECT_EQ(Palette[index], colour) << "entry " << index;
    for (uint32_t c : Palette)
        EXPECT_EQ(c >> 24, 0u);
}

} // namespace
