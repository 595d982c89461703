// The text renderer on the offscreen platform: the fonts have the requested cells and widths,
// UTF-8 texts draw their characters. What every back end must do is in contract_test.cpp,
// run here with the hooks at the end of this file.
#include <QtCore/QCoreApplication>
#include <QtGui/QFont>
#include <QtGui/QFontInfo>
#include <QtGui/QFontMetrics>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "contract.h"
#include "platform/platform.h"
#include "platform/qt/canvas.h"
#include "platform/qt/fonts.h"

namespace {

constexpr int W = 320;
constexpr int H = 120;
constexpr uint32_t kBackground = 0x000044; // palette 242
constexpr uint32_t kWhiteRef = 0x00FFFFFF; // palette 0 as a colour reference
const char kGothic[] = "\x82\x6C\x82\x72\x81\x40\x83\x53\x83\x56\x83\x62\x83\x4E";

// The fonts as C_Lcd asks for them at program start (before any QApplication existed in
// the real program; here the application exists, which the renderer must not mind either).
struct Slots {
    PlatFont f[14] = {};
    Slots()
    {
        for (int i = 0; i < 5; ++i) {
            f[i] = PlatStockFont(i);
        }
        const int heights[7] = {14, 16, 18, 21, 22, 28, 35};
        const int widths[7] = {0, 0, 0, 7, 8, 10, 15};
        for (int i = 0; i < 7; ++i) {
            f[5 + i] = PlatCreateFont(heights[i], widths[i], 700, 0, "arial");
        }
        f[12] = PlatCreateFont(16, 0, 700, 128, kGothic);
        f[13] = PlatCreateFont(12, 0, 700, 128, kGothic);
    }
};

Slots& TheSlots()
{
    static Slots fontSlots;
    return fontSlots;
}

class TextRenderer : public testing::Test {
  protected:
    void SetUp() override
    {
        bits_ = PlatCanvasCreate(W, H);
        ASSERT_NE(bits_, nullptr);
        std::fill(bits_, bits_ + W * H, kBackground);
    }
    void TearDown() override
    {
        EXPECT_TRUE(zm_qt::CanvasGuardsIntact());
        PlatCanvasRelease();
    }
    uint32_t Px(int x, int y) const { return bits_[y * W + x] & 0xFFFFFF; }

    // Bounding box of the pixels that differ from the background; false if none do.
    bool Changed(int* left, int* top, int* right, int* bottom) const
    {
        *left = W;
        *top = H;
        *right = -1;
        *bottom = -1;
        for (int y = 0; y < H; ++y) {
            for (int x = 0; x < W; ++x) {
                if (Px(x, y) != kBackground) {
                    *left = std::min(*left, x);
                    *top = std::min(*top, y);
                    *right = std::max(*right, x);
                    *bottom = std::max(*bottom, y);
                }
            }
        }
        return *right >= 0;
    }
    uint32_t* bits_ = nullptr;
};

TEST_F(TextRenderer, TheHostSeesTheCanvasMemory)
{
    const uint32_t* bits = nullptr;
    int w = 0;
    int h = 0;
    ASSERT_TRUE(zm_qt::CanvasPixels(&bits, &w, &h));
    EXPECT_EQ(bits, bits_);
    EXPECT_EQ(w, W);
    EXPECT_EQ(h, H);
}

TEST_F(TextRenderer, ArialCellsHaveTheRequestedHeights)
{
    const int heights[7] = {14, 16, 18, 21, 22, 28, 35};
    for (int i = 0; i < 7; ++i) {
        int cell = 0;
        double average = 0;
        ASSERT_TRUE(zm_qt::FontCell(TheSlots().f[5 + i], &cell, &average)) << i;
        if (heights[i] == 18) {
            // Liberation Sans has no whole pixel size with an 18-pixel cell (16 px gives 17,
            // 17 px gives 19): the largest cell that fits is taken.
            EXPECT_EQ(cell, 17);
        } else {
            EXPECT_EQ(cell, heights[i]) << "slot " << 5 + i;
        }
    }
}

TEST_F(TextRenderer, GivenWidthsBecomeTheAverageCharacterWidth)
{
    const int slotsWithWidth[4] = {8, 9, 10, 11};
    const int widths[4] = {7, 8, 10, 15};
    for (int i = 0; i < 4; ++i) {
        int cell = 0;
        double average = 0;
        ASSERT_TRUE(zm_qt::FontCell(TheSlots().f[slotsWithWidth[i]], &cell, &average));
        EXPECT_NEAR(average, widths[i], 0.35) << "slot " << slotsWithWidth[i];
    }
    QFont f;
    int ascent = 0;
    ASSERT_TRUE(zm_qt::ResolveFont(TheSlots().f[8], &f, &ascent));
    EXPECT_LT(f.stretch(), 100); // 21 px cells with 7 px characters: condensed
    EXPECT_EQ(f.weight(), QFont::Bold);
}

TEST_F(TextRenderer, StockFontsAndTheGothicFaceResolve)
{
    for (int i : {0, 1, 2, 3, 4, 12, 13}) {
        int cell = 0;
        double average = 0;
        ASSERT_TRUE(zm_qt::FontCell(TheSlots().f[i], &cell, &average)) << i;
        const int wanted = (i == 4 || i == 12) ? 16 : (i == 13 ? 12 : 13);
        EXPECT_LE(cell, wanted) << i;
        EXPECT_GE(cell, wanted - 2) << i;
    }
    QFont f;
    int ascent = 0;
    ASSERT_TRUE(zm_qt::ResolveFont(TheSlots().f[4], &f, &ascent));
    EXPECT_EQ(f.weight(), QFont::Bold); // the system font is bold
    ASSERT_TRUE(zm_qt::ResolveFont(TheSlots().f[0], &f, &ascent));
    EXPECT_TRUE(QFontInfo(f).fixedPitch());
}

} // namespace

// Device names come as UTF-8: they must read as the same letters a Latin-1 text of them
// gives, every pixel, and bytes that are no UTF-8 still draw as Latin-1.
TEST_F(TextRenderer, Utf8TextDrawsTheCharactersItEncodes)
{
    PlatSelectFont(TheSlots().f[6]);
    PlatSetTextColor(kWhiteRef);
    auto draw = [this](const char* text, int len) {
        std::fill(bits_, bits_ + W * H, kBackground);
        PlatTextOut(4, 4, text, len);
        return std::vector<uint32_t>(bits_, bits_ + W * H);
    };
    const std::string utf8 = "\xC3\x9Cn\xC3\xAF"
                             "c\xC3\xB8"
                             "d\xC3\xA9 S\xC3\xBFnth";
    const std::string latin1 = "\xDCn\xEF"
                               "c\xF8"
                               "d\xE9 S\xFFnth";
    const std::vector<uint32_t> asUtf8 = draw(utf8.data(), static_cast<int>(utf8.size()));
    EXPECT_EQ(asUtf8, draw(latin1.data(), static_cast<int>(latin1.size())));
    EXPECT_NE(asUtf8, draw("\xC3\x9Cn\xC3\xAF", 5));
    // A character cut in half: the whole text reads as Latin-1, two letters ("Ãn").
    int l, t, r, b, l1, t1, r1, b1;
    draw("n", 1);
    ASSERT_TRUE(Changed(&l1, &t1, &r1, &b1));
    draw("\xC3n", 2);
    ASSERT_TRUE(Changed(&l, &t, &r, &b));
    EXPECT_GT(r - l, 2 * (r1 - l1));
}

// ---------------------------------------------------------------------------------------
// The contract tests' hooks: a window procedure that takes nothing and leaves the bars alone.

intptr_t MainWndProc(uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    return message == PM_CLOSE ? PlatDefWindowProc(message, wParam, lParam) : 0;
}

bool contract::OpenWindow()
{
    return PlatCreateMainWindow("ZYN_MOUSE_TEST", "contract", 0, 0, 640, 480);
}

void contract::CloseWindow()
{
    MainWndProc(PM_CLOSE, 0, 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool contract::CanvasIntact()
{
    return zm_qt::CanvasGuardsIntact();
}
