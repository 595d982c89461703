#include <gtest/gtest.h>

#include "host_double.h"
#include "lcd/lcd.h"

namespace {

using host_double::Texts;

class TextTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetProgramState(); }
    std::string Last() const { return Texts().empty() ? "<none>" : Texts().back().text; }
};

TEST_F(TextTest, DigitCountBoundaries)
{
    EXPECT_EQ(C_Lcd::DigitCount(9), 1);
    EXPECT_EQ(C_Lcd::DigitCount(10), 2);
    EXPECT_EQ(C_Lcd::DigitCount(99999), 5);
    EXPECT_EQ(C_Lcd::DigitCount(100000), 6);
    EXPECT_EQ(C_Lcd::DigitCount(99999999), 8);
    EXPECT_EQ(C_Lcd::DigitCount(100000000), 9);
    EXPECT_EQ(C_Lcd::DigitCount(2147483647), 9);
    EXPECT_EQ(C_Lcd::DigitCount(-5), 1);
}

TEST_F(TextTest, NumbersAreRightAlignedAndCapped)
{
    const struct {
        int value, max;
        const char* text;
    } cases[] = {{7, 999, "  7"}, {1234, 999, "999"},       {0, 99999, "    0"},
                 {5, 9, "5"},     {100000, 99999, "99999"}, {42, 99999, "   42"},
                 {5, 0, "0"},     {9999, 99999, " 9999"}};
    for (const auto& c : cases) {
        gLcd.PutNumber(3, 4, c.value, c.max, 0);
        EXPECT_EQ(Last(), c.text) << c.value << " max " << c.max;
        EXPECT_EQ(Texts().back().x, 3);
        EXPECT_EQ(Texts().back().y, 4);
    }
}

TEST_F(TextTest, NegativeNumberIsThreeBlackQuestionMarks)
{
    gLcd.PutNumber(0, 0, -1, 999, 0);
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_EQ(Texts()[0].text, "???");
    EXPECT_EQ(Texts()[0].color, 0x000000u);
    EXPECT_EQ(gLcd.textColorIndex, 255);
}

TEST_F(TextTest, NotesShowNumberNameAndOctave)
{
    const struct {
        int note;
        const char *number, *name, *octave;
    } cases[] = {{0, "  0", "C_", "-2"},  {11, " 11", "B_", "-2"}, {12, " 12", "C_", "-1"},
                 {23, " 23", "B_", "-1"}, {24, " 24", "C_", "0"},  {60, " 60", "C_", "3"},
                 {61, " 61", "C#", "3"},  {127, "127", "G_", "8"}};
    for (const auto& c : cases) {
        host_double::ClearTexts();
        gLcd.PutNote(100, 7, c.note, 0);
        ASSERT_EQ(Texts().size(), 3u);
        EXPECT_EQ(Texts()[0].text, c.number);
        EXPECT_EQ(Texts()[1].text, c.name);
        EXPECT_EQ(Texts()[2].text, c.octave);
        EXPECT_EQ(Texts()[0].x, 100);
        EXPECT_EQ(Texts()[1].x, 125);
        EXPECT_EQ(Texts()[2].x, 141);
    }
}

TEST_F(TextTest, ColourIsSetOnlyWhenItChanges)
{
    const int before = host_double::ColorSets();
    gLcd.PutText(0, 0, "a", 255); // black is what the renderer starts with
    EXPECT_EQ(host_double::ColorSets(), before);
    gLcd.PutText(0, 0, "a", 4);
    gLcd.PutText(0, 0, "b", 4);
    EXPECT_EQ(host_double::ColorSets(), before + 1);
    EXPECT_EQ(Texts().back().color, 0x33FFFFu); // red and blue exchanged
    gLcd.PutText(0, 0, "c", 0);
    EXPECT_EQ(host_double::ColorSets(), before + 2);
    gLcd.PutText(0, 0, "", 128); // draws nothing, still sets the colour
    EXPECT_EQ(host_double::ColorSets(), before + 3);
    EXPECT_EQ(Texts().size(), 4u);
    EXPECT_EQ(gLcd.textColorIndex, 128);
}

TEST_F(TextTest, FontSelectionStaysUntilTheNext)
{
    gLcd.UseFont(6);
    gLcd.UseFont(3);
    gLcd.PutText(0, 0, "x", 0);
    EXPECT_EQ(Texts().back().font, 3);
    gLcd.UseFont(99); // no such slot: the current font stays
    gLcd.PutText(0, 0, "y", 0);
    EXPECT_EQ(Texts().back().font, 3);
}

} // namespace
