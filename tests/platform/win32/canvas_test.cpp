// The canvas and the text renderer on GDI: pixel layout, text colour, transparency, fonts.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/win32/win32.h"

namespace {

constexpr int kW = 200, kH = 100;
constexpr uint32_t kBg = 0x000044;

class Win32Canvas : public ::testing::Test {
protected:
    void SetUp() override
    {
        bits = PlatCanvasCreate(kW, kH);
        ASSERT_NE(bits, nullptr);
        Fill(kBg);
    }
    void TearDown() override { PlatCanvasRelease(); }
    void Fill(uint32_t pixel)
    {
        for (int i = 0; i < kW * kH; ++i) {
            bits[i] = pixel;
        }
    }
    uint32_t At(int x, int y) const { return bits[y * kW + x] & 0xFFFFFF; }
    // Pixels that are no longer the background, and how many of them are exactly `colour`;
    // `box` receives the rectangle around the changed ones.
    int Changed(uint32_t colour, int* exact, RECT* box) const
    {
        int n = 0;
        *exact = 0;
        *box = RECT {kW, kH, -1, -1};
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                if (At(x, y) == kBg) {
                    continue;
                }
                ++n;
                *exact += At(x, y) == colour;
                box->left = std::min<LONG>(box->left, x);
                box->top = std::min<LONG>(box->top, y);
                box->right = std::max<LONG>(box->right, x + 1);
                box->bottom = std::max<LONG>(box->bottom, y + 1);
            }
        }
        return n;
    }
    uint32_t* bits = nullptr;
};

TEST_F(Win32Canvas, IsTopDownWordsOfRedGreenBlue)
{
    PlatCanvasRelease();
    bits = PlatCanvasCreate(kW, kH);
    ASSERT_NE(bits, nullptr);
    EXPECT_EQ(At(0, 0), 0u);  // a new canvas is black
    EXPECT_EQ(At(kW - 1, kH - 1), 0u);
    bits[1 * kW + 3] = 0x00FF8000;  // row 1 from the top, column 3
    HDC dc = nullptr;
    int w = 0, h = 0;
    ASSERT_TRUE(zm_win32::CanvasSource(&dc, &w, &h));
    EXPECT_EQ(w, kW);
    EXPECT_EQ(h, kH);
    EXPECT_EQ(GetPixel(dc, 3, 1), RGB(0xFF, 0x80, 0x00));
    EXPECT_EQ(GetPixel(dc, 3, kH - 2), RGB(0, 0, 0));
    EXPECT_EQ(PlatCanvasCreate(0, 10), nullptr);
    EXPECT_FALSE(zm_win32::CanvasSource(&dc, &w, &h));
}

TEST_F(Win32Canvas, TextIsDrawnInItsColourTransparentlyFromTheTopLeftCorner)
{
    const PlatFont font = PlatCreateFont(35, 15, 700, 0, "arial");
    ASSERT_NE(font, 0u);
    PlatSelectFont(font);
    PlatSetTextColor(0x0000FF);  // 0x00BBGGRR: red
    PlatTextOut(20, 30, "WM", 2);
    int exact = 0;
    RECT box {};
    const int n = Changed(0xFF0000, &exact, &box);
    EXPECT_GT(exact, 60);  // solid strokes of a bold 35-pixel face
    EXPECT_GE(box.left, 20);
    EXPECT_GE(box.top, 30);
    HDC dc = nullptr;
    int w = 0, h = 0;
    ASSERT_TRUE(zm_win32::CanvasSource(&dc, &w, &h));
    SIZE extent {};
    GetTextExtentPoint32A(dc, "WM", 2, &extent);
    EXPECT_LE(box.right, 20 + extent.cx + 2);
    EXPECT_LE(box.bottom, 30 + extent.cy);
    // Transparent: the background inside the text's cell is still there.
    EXPECT_LT(n, extent.cx * extent.cy / 2);
    EXPECT_EQ(At(20, 30 + extent.cy - 1), kBg);
    PlatSelectFont(PlatStockFont(PSTOCK_SYSTEM));
    PlatDeleteFont(font);
}

TEST_F(Win32Canvas, FontAndColourOutliveTheCanvasAndFontZeroKeepsTheCurrentOne)
{
    const PlatFont big = PlatCreateFont(28, 10, 700, 0, "arial");
    const PlatFont small = PlatCreateFont(14, 0, 700, 0, "arial");
    ASSERT_NE(big, 0u);
    ASSERT_NE(small, 0u);
    int exact = 0;
    RECT box {};

    PlatSetTextColor(0x00FF00);
    PlatSelectFont(small);
    PlatTextOut(5, 5, "HHHH", 4);
    const int smallCount = Changed(0x00FF00, &exact, &box);
    ASSERT_GT(smallCount, 0);

    Fill(kBg);
    PlatSelectFont(big);
    PlatTextOut(5, 5, "HHHH", 4);
    const int bigCount = Changed(0x00FF00, &exact, &box);
    EXPECT_GT(bigCount, smallCount);

    Fill(kBg);
    PlatSelectFont(0);
    PlatTextOut(5, 5, "HHHH", 4);
    EXPECT_EQ(Changed(0x00FF00, &exact, &box), bigCount);

    // A new canvas draws with the same font and colour.
    PlatCanvasRelease();
    bits = PlatCanvasCreate(kW, kH);
    ASSERT_NE(bits, nullptr);
    Fill(kBg);
    PlatTextOut(5, 5, "HHHH", 4);
    EXPECT_EQ(Changed(0x00FF00, &exact, &box), bigCount);
    EXPECT_GT(exact, 0);

    PlatSelectFont(PlatStockFont(PSTOCK_SYSTEM));
    PlatDeleteFont(big);
    PlatDeleteFont(small);
}

TEST_F(Win32Canvas, TextIsClippedAtTheEdgesAndNeedsACanvas)
{
    const PlatFont font = PlatCreateFont(35, 15, 700, 0, "arial");
    PlatSelectFont(font);
    PlatSetTextColor(0xFFFFFF);
    int exact = 0;
    RECT box {};
    // Past the right edge: cut there, never carried over into the start of the next rows.
    PlatTextOut(kW - 20, 30, "WWW", 3);
    EXPECT_GT(Changed(0xFFFFFF, &exact, &box), 0);
    EXPECT_GE(box.left, kW - 20);
    EXPECT_GT(box.right, kW - 5);
    // Above and left of the canvas: the visible part only.
    Fill(kBg);
    PlatTextOut(-12, -12, "WWW", 3);
    EXPECT_GT(Changed(0xFFFFFF, &exact, &box), 0);
    EXPECT_EQ(box.left, 0);
    EXPECT_EQ(box.top, 0);
    PlatCanvasRelease();
    PlatTextOut(5, 5, "WWW", 3);  // no canvas: nothing to draw into, and no crash
    PlatSelectFont(PlatStockFont(PSTOCK_SYSTEM));
    PlatDeleteFont(font);
    bits = PlatCanvasCreate(kW, kH);
}

TEST(Win32Fonts, StockSlotsAreTheSystemsAndOthersAreNone)
{
    EXPECT_EQ(PlatStockFont(PSTOCK_ANSI_FIXED), reinterpret_cast<PlatFont>(GetStockObject(ANSI_FIXED_FONT)));
    EXPECT_EQ(PlatStockFont(PSTOCK_ANSI_VAR), reinterpret_cast<PlatFont>(GetStockObject(ANSI_VAR_FONT)));
    EXPECT_EQ(PlatStockFont(PSTOCK_DEVICE_DEFAULT), reinterpret_cast<PlatFont>(GetStockObject(DEVICE_DEFAULT_FONT)));
    EXPECT_EQ(PlatStockFont(PSTOCK_DEFAULT_GUI), reinterpret_cast<PlatFont>(GetStockObject(DEFAULT_GUI_FONT)));
    EXPECT_EQ(PlatStockFont(PSTOCK_SYSTEM), reinterpret_cast<PlatFont>(GetStockObject(SYSTEM_FONT)));
    for (int i = 0; i <= PSTOCK_SYSTEM; ++i) {
        EXPECT_NE(PlatStockFont(i), 0u) << i;
    }
    EXPECT_EQ(PlatStockFont(-1), 0u);
    EXPECT_EQ(PlatStockFont(5), 0u);
    PlatDeleteFont(PlatStockFont(PSTOCK_ANSI_VAR));  // a stock font stays usable
    EXPECT_EQ(GetObjectType(reinterpret_cast<HGDIOBJ>(PlatStockFont(PSTOCK_ANSI_VAR))), static_cast<DWORD>(OBJ_FONT));
}

}  // namespace
