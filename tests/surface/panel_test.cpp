#include <gtest/gtest.h>

#include <set>

#include "app/action.h"
#include "app/c_midi.h"
#include "app/window.h"
#include "canvas_check.h"
#include "host_double.h"
#include "lcd/lcd.h"
#include "midi_double.h"
#include "surface/winui.h"

namespace {

using host_double::Pixel;
using host_double::Text;

constexpr uint32_t kBg = 0x000044, kArrow = 0xDDDDDD, kWhite = 0xFFFFFF;

class PanelTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetProgramState();
        midi_double::Reset();
        gWinUI.Init();
    }
    void Outputs(int n)
    {
        std::vector<midi_double::Device> d;
        for (int i = 0; i < n; ++i)
            d.push_back({"out " + std::to_string(i)});
        midi_double::SetOutputs(d);
        gMidi.OpenOutputs();
    }
    void PressAt(int x, int y)
    {
        MouseX = x;
        MouseY = y;
        gMidi.OnLButtonDown();
        gMidi.OnLButtonUp();
    }
    // Rows drawn in the output list by the last drawing: number texts at x 14 and their colour.
    std::vector<std::pair<int, uint32_t>> OutRows()
    {
        std::vector<std::pair<int, uint32_t>> rows;
        for (const Text& t : host_double::Texts())
            if (t.x == 14 && t.y >= 51 && t.y < 130)
                rows.emplace_back(t.y, t.color);
        return rows;
    }
};

TEST_F(PanelTest, LegendArrowsAndBarsAreExact)
{
    gWinUI.DrawLegend();
    EXPECT_EQ(Pixel(0, 0), kBg);
    // Up arrow: tip at row 169, base at row 187, nothing on row 168.
    for (int x = 80; x < 140; ++x) {
        EXPECT_EQ(Pixel(x, 168), kBg) << x;
        EXPECT_EQ(Pixel(x, 169), x == 109 || x == 110 ? kArrow : kBg) << x;
        EXPECT_EQ(Pixel(x, 187), x >= 91 && x <= 128 ? kArrow : kBg) << x;
        EXPECT_EQ(Pixel(x, 249), x >= 91 && x <= 128 ? kArrow : kBg) << x; // down arrow base
    }
    // Left arrow: column 56 holds y 218..219, column 74 y 200..237, column 55 nothing.
    for (int y = 190; y < 250; ++y) {
        EXPECT_EQ(Pixel(55, y), kBg) << y;
        EXPECT_EQ(Pixel(56, y), y == 218 || y == 219 ? kArrow : kBg) << y;
        EXPECT_EQ(Pixel(74, y), y >= 200 && y <= 237 ? kArrow : kBg) << y;
        EXPECT_EQ(Pixel(159, y), y == 218 || y == 219 ? kArrow : kBg) << y; // right arrow tip
    }
    EXPECT_EQ(CountColour(800, 600, kArrow), 4 * 380);
    // The two minus bars: exactly 6 x 2 white pixels each (the doubles draw no glyphs).
    EXPECT_EQ(CountColour(800, 600, kWhite), 24);
    for (int y = 321; y <= 324; ++y)
        for (int x = 107; x <= 114; ++x)
            EXPECT_EQ(Pixel(x, y), x >= 108 && x <= 113 && y >= 322 && y <= 323 ? kWhite : kBg);
    EXPECT_EQ(Pixel(321, 382), kWhite);
    EXPECT_EQ(Pixel(326, 383), kWhite);
    EXPECT_EQ(Pixel(327, 383), kBg);
}

TEST_F(PanelTest, LegendTextsStandAtTheirPlacesInTheirFonts)
{
    gWinUI.DrawLegend();
    const auto& t = host_double::Texts();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t[0].text, "ZYN MOUSE");
    EXPECT_EQ(t[0].font, 11);
    EXPECT_EQ(t[0].x, 45);
    EXPECT_EQ(t[0].y, 5);
    std::set<std::tuple<std::string, int, int>> seen;
    for (size_t i = 1; i < t.size(); ++i) {
        EXPECT_EQ(t[i].font, 6) << t[i].text;
        EXPECT_EQ(t[i].color, 0xFFFFFFu) << t[i].text;
        seen.emplace(t[i].text, t[i].x, t[i].y);
    }
    const std::tuple<std::string, int, int> expected[] = {
        {"MIDI OUT DEVICE", 85, 35},
        {"Mouse To Note Number", 40, 132},
        {"01", 104, 150},
        {"02", 104, 270},
        {"03", 167, 212},
        {"04", 33, 212},
        {"WHEEL+", 60, 300},
        {"WHEEL", 60, 315},
        {"LEFT   BUTTON", 20, 330},
        {"RIGHT BUTTON", 20, 345},
        {"=05", 120, 300},
        {"=06", 120, 315},
        {"=07", 120, 330},
        {"=08", 120, 345},
        {"MIDI IN DEVICE", 85, 370},
        {"Keyboard To Note Nunber", 300, 10},
        {"F1", 320, 30},
        {"=09", 380, 30},
        {"F10", 320, 165},
        {"NO ASSIGN", 380, 165},
        {"F12", 320, 195},
        {"=20", 380, 195},
        {"1", 320, 210},
        {"0", 320, 345},
        {"=30", 380, 345},
        {"+", 320, 360},
        {"=31", 380, 360},
        {"=32", 380, 375},
        {"ENTER", 320, 390},
        {"LEFT", 320, 405},
        {"RIGHT", 320, 420},
        {"UP", 320, 435},
        {"DOWN", 320, 450},
        {"SHIFT", 320, 465},
        {"=38", 380, 465},
    };
    for (const auto& e : expected)
        EXPECT_TRUE(seen.count(e))
            << std::get<0>(e) << " at " << std::get<1>(e) << "," << std::get<2>(e);
    EXPECT_EQ(t.size(), 1u + 15u + 1u + 59u); // title, left column, caption, rows less the minus
}

TEST_F(PanelTest, FullRedrawDrawsListsAndSpeedBoxOverTheLegend)
{
    Outputs(3);
    gWinUI.Dispatch(AC_FULL_REDRAW, 0);
    EXPECT_EQ(Pixel(0, 0), kBg);
    EXPECT_EQ(Pixel(10, 50), kWhite);    // list background
    EXPECT_EQ(Pixel(9, 49), kBg);        // outline corner left out
    EXPECT_EQ(Pixel(10, 49), kArrow);    // outline
    EXPECT_EQ(Pixel(12, 50), 0x666699u); // selected row 0
    EXPECT_EQ(Pixel(12, 66), kWhite);    // row 1 plain
    EXPECT_EQ(Pixel(95, 210), kWhite);   // speed box
    const auto& t = host_double::Texts();
    auto find = [&](const std::string& s) {
        for (auto it = t.rbegin(); it != t.rend(); ++it) // the widgets draw after the legend
            if (it->text == s)
                return *it;
        return Text{-2, 0, 0, 0, ""};
    };
    const Text speed = find("SPEED");
    EXPECT_EQ(speed.font, 5);
    EXPECT_EQ(speed.x, 90);
    EXPECT_EQ(speed.y, 192);
    const Text digit = find("5");
    EXPECT_EQ(digit.font, 10);
    EXPECT_EQ(digit.x, 102);
    EXPECT_EQ(digit.y, 210);
    EXPECT_EQ(digit.color, 0u);
    const Text name = find("out 1");
    EXPECT_EQ(name.font, 3);
    EXPECT_EQ(name.x, 25);
    EXPECT_EQ(name.y, 66);
    EXPECT_EQ(name.color, 0u); // plain rows: black text
    EXPECT_EQ(find("out 0").color, 0xFFFFFFu);
}

TEST_F(PanelTest, SpeedBoxShowsTenInATwoCharacterField)
{
    gWinUI.speed = 9;
    gWinUI.SpeedPanel(AC_FULL_REDRAW, 0);
    const Text& last = host_double::Texts().back();
    EXPECT_EQ(last.text, "10");
    EXPECT_EQ(last.x, 96);
}

TEST_F(PanelTest, HitTestEdges)
{
    auto hit = [](int action, int x, int y) {
        MouseX = x;
        MouseY = y;
        return C_Midi::HitTest(action, 10, 50, 250, 77);
    };
    EXPECT_TRUE(hit(AC_LDOWN, 10, 50));
    EXPECT_TRUE(hit(AC_LDOWN, 259, 126));
    EXPECT_FALSE(hit(AC_LDOWN, 260, 50));
    EXPECT_FALSE(hit(AC_LDOWN, 10, 127));
    EXPECT_FALSE(hit(AC_LDOWN, 9, 60));
    for (int action : {AC_LUP, AC_RDOWN, AC_RUP, AC_LDRAG, AC_RDRAG, AC_WHEEL})
        EXPECT_FALSE(hit(action, 0, 0)) << action;
    for (int action :
         {AC_MOVE, AC_SETCURSOR, AC_FULL_REDRAW, AC_UPDATE_REDRAW, AC_TICK, AC_F1, AC_SHIFT})
        EXPECT_TRUE(hit(action, 5000, -5)) << action;
}

TEST_F(PanelTest, PressesSelectRowsAndBelowTheLastPicksTheLast)
{
    Outputs(3);
    const std::pair<int, int> cases[] = {{50, 0}, {64, 0}, {65, 1}, {79, 1}, {80, 2}, {126, 2}};
    for (auto [y, row] : cases) {
        PressAt(100, y);
        EXPECT_EQ(gWinUI.outSel, row) << y;
    }
    Outputs(5);
    PressAt(100, 125);
    EXPECT_EQ(gWinUI.outSel, 4);
    PressAt(100, 126);
    EXPECT_EQ(gWinUI.outSel, 4);
    Outputs(0);
    PressAt(100, 100);
    EXPECT_EQ(gWinUI.outSel, 0);
}

TEST_F(PanelTest, ThePressStrikesOnTheOldOutputBeforeTheSelectionChanges)
{
    Outputs(3);
    PressAt(100, 82);
    EXPECT_EQ(midi_double::SentTo(0), (std::vector<uint32_t>{0x007F0790, 0x00000790}));
    EXPECT_TRUE(midi_double::SentTo(2).empty());
    gMidi.OnKey(AC_F1);
    EXPECT_EQ(midi_double::SentTo(2), (std::vector<uint32_t>{0x007F0990, 0x00000990}));
}

TEST_F(PanelTest, OutlineRightPressAndOtherBoxesChangeNoSelection)
{
    Outputs(3);
    gWinUI.outSel = 1;
    for (auto [x, y] : {std::pair{9, 60}, {260, 60}, {100, 49}, {100, 127}, {15, 390}, {100, 220}})
        PressAt(x, y);
    EXPECT_EQ(gWinUI.outSel, 1);
    EXPECT_EQ(midi_double::SentTo(1).size(), 12u); // note 7 every time
    MouseX = 100;
    MouseY = 90;
    gMidi.OnRButtonDown();
    gMidi.OnRButtonUp();
    EXPECT_EQ(gWinUI.outSel, 1);
    EXPECT_EQ(midi_double::SentTo(1).back(), 0x00000890u);
}

TEST_F(PanelTest, PressDrawsTheListAtOnce)
{
    Outputs(3);
    host_double::ClearTexts();
    PressAt(100, 70);
    EXPECT_EQ(Pixel(12, 66), 0x666699u);
    EXPECT_EQ(Pixel(12, 50), kWhite);
    const auto rows = OutRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].second, 0xFFFFFFu);
}

TEST_F(PanelTest, ALoweredCountLeavesNoRowHighlightedUntilTheNextClick)
{
    Outputs(3);
    gWinUI.outSel = 2;
    midi_double::SetOutputs({{"a"}, {"b"}});
    gMidi.CheckDevices();
    host_double::ClearTexts();
    gWinUI.Dispatch(AC_FULL_REDRAW, 0);
    auto rows = OutRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].second, 0u);
    EXPECT_EQ(rows[1].second, 0u);
    PressAt(100, 55);
    host_double::ClearTexts();
    gWinUI.Dispatch(AC_FULL_REDRAW, 0);
    rows = OutRows();
    EXPECT_EQ(rows[0].second, 0xFFFFFFu);
}

TEST_F(PanelTest, InputRowsAreNeverHighlighted)
{
    midi_double::SetInputs({{"k1"}, {"k2"}, {"k3"}, {"k4"}});
    gMidi.OpenInputs();
    gWinUI.InDevicePanel(AC_FULL_REDRAW, 0);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Pixel(12, 386 + 15 * i), kWhite);
    EXPECT_EQ(Pixel(9, 384), 0x000000u); // the corner is left untouched
    PressAt(50, 400);
    EXPECT_EQ(Pixel(12, 386), kWhite);
}

TEST_F(PanelTest, WheelOverTheSpeedBoxChangesTheIndexWithinItsRange)
{
    MouseX = 100;
    MouseY = 220;
    gMidi.OnWheel(1);
    EXPECT_EQ(gWinUI.speed, 5);
    gWinUI.speed = 9;
    gMidi.OnWheel(1);
    EXPECT_EQ(gWinUI.speed, 9);
    gWinUI.speed = 0;
    gMidi.OnWheel(-1);
    EXPECT_EQ(gWinUI.speed, 0);
    gWinUI.speed = 4;
    gMidi.OnWheel(10);
    EXPECT_EQ(gWinUI.speed, 9);
    gMidi.OnWheel(-10);
    EXPECT_EQ(gWinUI.speed, 0);
    MouseX = 94; // just outside
    gMidi.OnWheel(1);
    EXPECT_EQ(gWinUI.speed, 0);
}

} // namespace
