// The platform contract as the logic sees it, run against each back end (Qt and Win32):
// canvas memory, text into it, scroll-bar state. Only platform/platform.h is used here;
// what a single back end adds is tested beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "contract.h"
#include "platform/platform.h"

namespace {

constexpr int kW = 200, kH = 100;
constexpr uint32_t kBg = 0x000044;
constexpr uint32_t kDots = 0x00CC33;

struct Box {
    int left = kW, top = kH, right = 0, bottom = 0; // right and bottom exclusive
    int Height() const { return bottom - top; }
};

class ContractCanvas : public testing::Test {
  protected:
    void SetUp() override
    {
        bits = PlatCanvasCreate(kW, kH);
        ASSERT_NE(bits, nullptr);
        Fill();
        big = PlatCreateFont(35, 15, 700, 0, "arial");
        small = PlatCreateFont(14, 0, 700, 0, "arial");
        ASSERT_NE(big, 0u);
        ASSERT_NE(small, 0u);
        PlatSetTextColor(0xFFFFFF);
        PlatSelectFont(big);
    }
    void TearDown() override
    {
        EXPECT_TRUE(contract::CanvasIntact());
        PlatSelectFont(PlatStockFont(PSTOCK_SYSTEM));
        PlatDeleteFont(big);
        PlatDeleteFont(small);
        PlatCanvasRelease();
    }
    // Background, with a dot in every seventh word when dotted (to see what text keeps).
    void Fill(bool dotted = false)
    {
        dotted_ = dotted;
        for (int i = 0; i < kW * kH; ++i) {
            bits[i] = dotted && i % 7 == 0 ? kDots : kBg;
        }
    }
    uint32_t At(int x, int y) const { return bits[y * kW + x] & 0xFFFFFF; }
    bool Kept(int x, int y) const
    {
        return At(x, y) == (dotted_ && (y * kW + x) % 7 == 0 ? kDots : kBg);
    }
    // Pixels that differ from the background (dotted or not), how many are exactly colour,
    // and the box around them.
    int Changed(uint32_t colour, int* exact, Box* box) const
    {
        int n = 0;
        *exact = 0;
        *box = Box{};
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                if (Kept(x, y)) {
                    continue;
                }
                ++n;
                *exact += At(x, y) == colour;
                box->left = std::min(box->left, x);
                box->top = std::min(box->top, y);
                box->right = std::max(box->right, x + 1);
                box->bottom = std::max(box->bottom, y + 1);
            }
        }
        return n;
    }
    uint32_t* bits = nullptr;
    PlatFont big = 0, small = 0;
    bool dotted_ = false;
};

TEST_F(ContractCanvas, StartsBlackAndNeedsASize)
{
    PlatCanvasRelease();
    bits = PlatCanvasCreate(kW, kH);
    ASSERT_NE(bits, nullptr);
    EXPECT_EQ(bits[0], 0u); // black, top byte 0
    EXPECT_EQ(bits[kW * kH - 1], 0u);
    EXPECT_EQ(PlatCanvasCreate(0, 10), nullptr);
    EXPECT_EQ(PlatCanvasCreate(10, -1), nullptr);
    bits = PlatCanvasCreate(kW, kH);
    ASSERT_NE(bits, nullptr);
}

TEST_F(ContractCanvas, TextLandsInItsCellInItsColourOverTransparentGround)
{
    Fill(true);
    PlatSetTextColor(0x00336699); // 0x00BBGGRR: red 0x99, green 0x66, blue 0x33
    PlatTextOut(20, 30, "WM", 2);
    int exact = 0;
    Box box;
    const int n = Changed(0x996633, &exact, &box);
    EXPECT_GT(exact, 60); // solid strokes of a bold 35-pixel face
    EXPECT_GE(box.left, 20);
    EXPECT_GE(box.top, 30); // rows run top down from the first word
    EXPECT_LE(box.bottom, 30 + 35);
    EXPECT_LE(box.right, 20 + 2 * 35);
    // Transparent: most of the cell still shows what was there, dots included.
    EXPECT_LT(n, (box.right - box.left) * (box.bottom - box.top) * 3 / 4);
    EXPECT_TRUE(Kept(20, 30 + 34));
}

TEST_F(ContractCanvas, TextIsClippedAtTheEdgesAndNeedsACanvasAndText)
{
    int exact = 0;
    Box box;
    PlatTextOut(kW - 20, 30, "WWW", 3); // cut at the right edge, never into the next rows
    EXPECT_GT(Changed(0xFFFFFF, &exact, &box), 0);
    EXPECT_GE(box.left, kW - 20);
    EXPECT_GT(box.right, kW - 5);
    Fill();
    PlatTextOut(-12, -12, "WWW", 3);
    PlatTextOut(10, kH - 2, "gjpq", 4);
    EXPECT_GT(Changed(0xFFFFFF, &exact, &box), 0);
    EXPECT_EQ(box.left, 0);
    EXPECT_EQ(box.top, 0);
    Fill();
    PlatTextOut(100000, 100000, "W", 1);
    PlatTextOut(-100000, 50, "W", 1);
    PlatTextOut(5, 5, "", 0);
    PlatTextOut(5, 5, nullptr, 3);
    PlatTextOut(5, 5, "abc", -1);
    EXPECT_EQ(Changed(0xFFFFFF, &exact, &box), 0);
    EXPECT_TRUE(contract::CanvasIntact());
    PlatCanvasRelease();
    PlatTextOut(5, 5, "WWW", 3); // no canvas: nothing to draw into, and no crash
    bits = PlatCanvasCreate(kW, kH);
    ASSERT_NE(bits, nullptr);
}

TEST_F(ContractCanvas, FontZeroKeepsTheCurrentOneAndFontAndColourOutliveTheCanvas)
{
    int exact = 0;
    Box box;
    PlatSetTextColor(0x00FF00);
    PlatSelectFont(small);
    PlatTextOut(5, 5, "HHHH", 4);
    const int smallCount = Changed(0x00FF00, &exact, &box);
    const int smallHeight = box.Height();
    ASSERT_GT(smallCount, 0);

    Fill();
    PlatSelectFont(big);
    PlatTextOut(5, 5, "HHHH", 4);
    const int bigCount = Changed(0x00FF00, &exact, &box);
    EXPECT_GT(bigCount, smallCount);
    EXPECT_GT(box.Height(), smallHeight + 10);

    Fill();
    PlatSelectFont(0);
    PlatTextOut(5, 5, "HHHH", 4);
    EXPECT_EQ(Changed(0x00FF00, &exact, &box), bigCount);

    PlatCanvasRelease(); // a new canvas draws with the same font and colour
    bits = PlatCanvasCreate(kW, kH);
    ASSERT_NE(bits, nullptr);
    Fill();
    PlatTextOut(5, 5, "HHHH", 4);
    EXPECT_EQ(Changed(0x00FF00, &exact, &box), bigCount);
    EXPECT_GT(exact, 0);
}

TEST_F(ContractCanvas, StockFontsAreStableAndSurviveBeingDeleted)
{
    for (int i = PSTOCK_ANSI_FIXED; i <= PSTOCK_SYSTEM; ++i) {
        EXPECT_NE(PlatStockFont(i), 0u) << i;
        EXPECT_EQ(PlatStockFont(i), PlatStockFont(i)) << i;
    }
    EXPECT_EQ(PlatStockFont(-1), 0u);
    EXPECT_EQ(PlatStockFont(PSTOCK_SYSTEM + 1), 0u);
    PlatDeleteFont(PlatStockFont(PSTOCK_ANSI_VAR)); // does nothing
    PlatSelectFont(PlatStockFont(PSTOCK_ANSI_VAR));
    PlatTextOut(5, 5, "HHHH", 4);
    int exact = 0;
    Box box;
    EXPECT_GT(Changed(0xFFFFFF, &exact, &box), 0);
}

PlatScrollInfo Set(int bar, uint32_t mask, int min, int max, unsigned page, int pos)
{
    PlatScrollInfo in;
    in.min = min;
    in.max = max;
    in.page = page;
    in.pos = pos;
    PlatSetScrollInfo(bar, mask, in, true);
    PlatScrollInfo out;
    PlatGetScrollInfo(bar, &out);
    return out;
}

TEST(ContractScrollBars, ClampPageAndPositionToTheRangeAndWriteOnlyWhatTheMaskNames)
{
    ASSERT_TRUE(contract::OpenWindow());
    PlatScrollInfo info;
    info.pos = 99;
    PlatGetScrollInfo(PSB_VERT, &info); // never set up: zeros
    EXPECT_EQ(info.max, 0);
    EXPECT_EQ(info.pos, 0);

    // The range maximum is the canvas size itself: 601 positions, 400 shown.
    info = Set(PSB_VERT, PSIF_RANGE | PSIF_PAGE, 0, 600, 400, 0);
    EXPECT_EQ(info.max, 600);
    EXPECT_EQ(info.page, 400u);
    EXPECT_EQ(Set(PSB_VERT, PSIF_POS, 0, 0, 0, 1000).pos, 201); // max - page + 1
    EXPECT_EQ(Set(PSB_VERT, PSIF_POS, 0, 0, 0, -5).pos, 0);
    info = Set(PSB_VERT, PSIF_POS, 5, 9, 1, 150);
    EXPECT_EQ(info.pos, 150);
    EXPECT_EQ(info.trackPos, 150); // not dragging: the position
    EXPECT_EQ(info.max, 600);      // range and page were not in the mask
    EXPECT_EQ(info.page, 400u);
    EXPECT_EQ(Set(PSB_VERT, PSIF_TRACKPOS, 0, 0, 0, 7).pos, 150); // read-only

    // A larger page, then a smaller range, clamp what was there.
    EXPECT_EQ(Set(PSB_VERT, PSIF_PAGE, 0, 0, 500, 0).pos, 101);
    info = Set(PSB_VERT, PSIF_RANGE, 0, 200, 0, 0);
    EXPECT_EQ(info.page, 201u);
    EXPECT_EQ(info.pos, 0);

    // A zero page: the position reaches the range maximum.
    info = Set(PSB_HORZ, PSIF_RANGE | PSIF_PAGE | PSIF_POS, 10, 50, 0, 99);
    EXPECT_EQ(info.pos, 50);
    EXPECT_EQ(Set(PSB_HORZ, PSIF_POS, 0, 0, 0, 3).pos, 10);
    PlatGetScrollInfo(PSB_VERT, &info); // the other bar is another
    EXPECT_EQ(info.max, 200);
    contract::CloseWindow();
}

} // namespace
