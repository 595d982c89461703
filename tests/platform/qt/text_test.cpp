// The text renderer on the offscreen platform: texts land in the canvas words, in the colour
// set, inside their cell, clipped at the canvas edges; the fonts have the requested cells.
#include <QtGui/QFont>
#include <QtGui/QFontInfo>
#include <QtGui/QFontMetrics>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/qt/canvas.h"
#include "platform/qt/fonts.h"

namespace {

constexpr int W = 320;
constexpr int H = 120;
constexpr uint32_t kBackground = 0x000044;  // palette 242
constexpr uint32_t kWhiteRef = 0x00FFFFFF;  // palette 0 as a colour reference
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

TEST_F(TextRenderer, CanvasIsTheContractsMemoryLayout)
{
    const uint32_t* bits = nullptr;
    int w = 0;
    int h = 0;
    ASSERT_TRUE(zm_qt::CanvasPixels(&bits, &w, &h));
    EXPECT_EQ(bits, bits_);
    EXPECT_EQ(w, W);
    EXPECT_EQ(h, H);
    // Pixel (x, y) is word y * W + x: a text drawn in the last row lands in the last words.
    PlatSelectFont(TheSlots().f[6]);
    PlatSetTextColor(kWhiteRef);
    PlatTextOut(0, H - 8, "HHHH", 4);
    int changedLastRow = 0;
    for (int x = 0; x < W; ++x) {
        changedLastRow += Px(x, H - 1) != kBackground;
    }
    EXPECT_GT(changedLastRow, 0);
}

TEST_F(TextRenderer, WhiteTextChangesPixelsOnlyInsideItsCell)
{
    const PlatFont font = TheSlots().f[6];  // arial bold 16, the legend's font
    PlatSelectFont(font);
    PlatSetTextColor(kWhiteRef);
    const char* text = "Keyboard To Note 1/2 (F10)";
    const int x = 20;
    const int y = 30;
    PlatTextOut(x, y, text, static_cast<int>(std::strlen(text)));

    QFont qf;
    int ascent = 0;
    ASSERT_TRUE(zm_qt::ResolveFont(font, &qf, &ascent));
    const int width = QFontMetrics(qf).horizontalAdvance(QString::fromLatin1(text));
    int l, t, r, b;
    ASSERT_TRUE(Changed(&l, &t, &r, &b));
    EXPECT_GE(l, x);
    EXPECT_GE(t, y);
    EXPECT_LE(r, x + width);
    EXPECT_LT(b, y + 16);
    // The text spans most of its box, and its brightest pixels are the colour set.
    EXPECT_GT(r - l, width * 3 / 4);
    EXPECT_GT(b - t, 10);
    int white = 0;
    for (int yy = t; yy <= b; ++yy) {
        for (int xx = l; xx <= r; ++xx) {
            white += Px(xx, yy) == 0xFFFFFF;
        }
    }
    EXPECT_GT(white, 50);
}

TEST_F(TextRenderer, TheColourSetIsTheColourDrawn)
{
    PlatSelectFont(TheSlots().f[11]);  // arial bold 35: thick strokes with solid middles
    PlatSetTextColor(0x00336699);      // 0x00BBGGRR: red 0x99, green 0x66, blue 0x33
    PlatTextOut(10, 10, "IHM", 3);
    int exact = 0;
    int other = 0;
    for (int i = 0; i < W * H; ++i) {
        const uint32_t p = bits_[i] & 0xFFFFFF;
        if (p == 0x996633) {
            ++exact;
        } else if (p != kBackground) {
            ++other;  // anti-aliased edges, between the two colours
        }
    }
    EXPECT_GT(exact, 100);
    EXPECT_GT(exact, other);
}

TEST_F(TextRenderer, TransparentBackgroundKeepsThePixelsBetweenGlyphs)
{
    for (int i = 0; i < W * H; ++i) {
        bits_[i] = (i % 7 == 0) ? 0x00CC33 : kBackground;
    }
    PlatSelectFont(TheSlots().f[6]);
    PlatSetTextColor(kWhiteRef);
    PlatTextOut(5, 5, "i    i", 6);  // four blanks of about 4 pixels between two letters
    int kept = 0;
    for (int y = 5; y < 21; ++y) {
        for (int x = 11; x < 21; ++x) {  // inside the blanks
            const int i = y * W + x;
            kept += (bits_[i] & 0xFFFFFF) == ((i % 7 == 0) ? 0x00CC33u : kBackground);
        }
    }
    EXPECT_EQ(kept, 160);
}

TEST_F(TextRenderer, TextAtTheEdgesIsClippedWithoutHarm)
{
    PlatSelectFont(TheSlots().f[11]);
    PlatSetTextColor(kWhiteRef);
    PlatTextOut(W - 3, 40, "WWWW", 4);
    PlatTextOut(W - 3, H - 3, "WWWW", 4);
    PlatTextOut(-20, -20, "WWWW", 4);
    PlatTextOut(10, H - 2, "gjpq", 4);
    PlatTextOut(100000, 100000, "W", 1);
    PlatTextOut(-100000, 50, "W", 1);
    EXPECT_TRUE(zm_qt::CanvasGuardsIntact());
    int l, t, r, b;
    ASSERT_TRUE(Changed(&l, &t, &r, &b));
    EXPECT_EQ(r, W - 1);  // the "W" at W - 3 reaches the last column
}

TEST_F(TextRenderer, NothingIsDrawnWithoutACanvasOrText)
{
    PlatSelectFont(TheSlots().f[6]);
    PlatSetTextColor(kWhiteRef);
    PlatTextOut(5, 5, "", 0);
    PlatTextOut(5, 5, nullptr, 3);
    PlatTextOut(5, 5, "abc", -1);
    int l, t, r, b;
    EXPECT_FALSE(Changed(&l, &t, &r, &b));
    PlatCanvasRelease();
    PlatTextOut(5, 5, "abc", 3);  // no canvas: a no-op
    bits_ = PlatCanvasCreate(W, H);
    ASSERT_NE(bits_, nullptr);
    EXPECT_EQ(bits_[0], 0u);  // a new canvas starts black, top byte 0
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
    EXPECT_LT(f.stretch(), 100);  // 21 px cells with 7 px characters: condensed
    EXPECT_EQ(f.weight(), QFont::Bold);
}

TEST_F(TextRenderer, ArialBold35IsTallerThanArialBold16)
{
    PlatSetTextColor(kWhiteRef);
    PlatSelectFont(TheSlots().f[6]);
    PlatTextOut(10, 10, "ZYN", 3);
    int l, t, r, b;
    ASSERT_TRUE(Changed(&l, &t, &r, &b));
    const int small = b - t + 1;
    std::fill(bits_, bits_ + W * H, kBackground);
    PlatSelectFont(TheSlots().f[11]);
    PlatTextOut(10, 10, "ZYN", 3);
    ASSERT_TRUE(Changed(&l, &t, &r, &b));
    const int big = b - t + 1;
    EXPECT_GT(big, small + 10);
    EXPECT_LT(b, 10 + 35);
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
    EXPECT_EQ(f.weight(), QFont::Bold);  // the system font is bold
    ASSERT_TRUE(zm_qt::ResolveFont(TheSlots().f[0], &f, &ascent));
    EXPECT_TRUE(QFontInfo(f).fixedPitch());
    EXPECT_EQ(PlatStockFont(3), TheSlots().f[3]);  // stock handles are stable
    EXPECT_EQ(PlatStockFont(7), 0u);
}

TEST_F(TextRenderer, SelectingZeroOrADeletedFontKeepsTheCurrentOne)
{
    PlatSetTextColor(kWhiteRef);
    PlatSelectFont(TheSlots().f[11]);
    PlatSelectFont(0);
    const PlatFont temp = PlatCreateFont(14, 0, 700, 0, "arial");
    ASSERT_NE(temp, 0u);
    PlatDeleteFont(temp);
    PlatSelectFont(temp);
    PlatTextOut(10, 10, "H", 1);
    int l, t, r, b;
    ASSERT_TRUE(Changed(&l, &t, &r, &b));
    EXPECT_GT(b - t + 1, 20);  // still the 35-pixel face
    PlatDeleteFont(TheSlots().f[0]);  // deleting a stock font does nothing
    QFont f;
    int ascent = 0;
    EXPECT_TRUE(zm_qt::ResolveFont(TheSlots().f[0], &f, &ascent));
}

}  // namespace

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
    const std::string utf8 = "\xC3\x9Cn\xC3\xAF" "c\xC3\xB8" "d\xC3\xA9 S\xC3\xBFnth";
    const std::string latin1 = "\xDCn\xEF" "c\xF8" "d\xE9 S\xFFnth";
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
