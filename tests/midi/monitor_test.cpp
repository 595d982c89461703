#include <gtest/gtest.h>

#include <cstdio>

#include "app/c_midi.h"
#include "canvas_check.h"
#include "host_double.h"
#include "lcd/lcd.h"
#include "midi_double.h"

namespace {

using host_double::Text;

uint32_t Ref(int index)
{
    const uint32_t p = Palette[index];
    return (p & 0xFF) << 16 | (p & 0xFF00) | p >> 16;
}

struct Want {
    int x;
    std::string text;
    int colour;
};

class MonitorTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetProgramState();
        midi_double::Reset();
        midi_double::SetInputs({{"a"}, {"b"}});
        gMidi.OpenInputs();
    }
    // The texts drawn on the row at y, after the fixed heading texts.
    std::vector<Text> Row(int y)
    {
        host_double::ClearTexts();
        gMidi.DrawMonitor();
        std::vector<Text> row;
        for (const Text& t : host_double::Texts())
            if (t.y == y)
                row.push_back(t);
        return row;
    }
    void ExpectRow(uint32_t word, std::vector<Want> want, int device = 0)
    {
        gMidi.OnMidiData(gMidi.inHandle[device], word);
        const std::vector<Text> row = Row(578);
        ASSERT_EQ(row.size(), want.size()) << std::hex << word;
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(row[i].x, want[i].x) << std::hex << word << " item " << i;
            EXPECT_EQ(row[i].text, want[i].text) << std::hex << word << " item " << i;
            EXPECT_EQ(row[i].color, Ref(want[i].colour)) << std::hex << word << " item " << i;
            EXPECT_EQ(row[i].font, 1);
        }
    }
    std::vector<Want> Head(int serial, int device, int channel)
    {
        char n[16];
        std::snprintf(n, sizeof n, "%5d", serial);
        std::vector<Want> w = {{14, n, 0}, {47, std::to_string(device), 0}};
        if (channel > 0) {
            char c[16];
            std::snprintf(c, sizeof c, "%2d", channel);
            w.push_back({68, c, 0});
        }
        return w;
    }
    // (y, text) of the running-number column after a fresh draw.
    std::vector<std::pair<int, std::string>> RunningNumbers()
    {
        host_double::ClearTexts();
        gMidi.DrawMonitor();
        std::vector<std::pair<int, std::string>> numbers;
        for (const Text& t : host_double::Texts())
            if (t.x == 14)
                numbers.emplace_back(t.y, t.text);
        return numbers;
    }
    static std::vector<Want> Cat(std::vector<Want> a, const std::vector<Want>& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
};

TEST_F(MonitorTest, DecodesEveryMessageType)
{
    ExpectRow(0x00003C90,
              Cat(Head(1, 1, 1),
                  {{97, "NOTE OFF", 248}, {167, " 60", 248}, {192, "C_", 248}, {208, "3", 248}}));
    ExpectRow(0x00643C99, Cat(Head(2, 1, 10), {{97, "NOTE ON ", 0},
                                               {167, " 60", 0},
                                               {192, "C_", 0},
                                               {208, "3", 0},
                                               {232, "100", 0}}));
    ExpectRow(0x00403D81,
              Cat(Head(3, 1, 2),
                  {{97, "NOTE OFF", 248}, {167, " 61", 248}, {192, "C#", 248}, {208, "3", 248}}));
    ExpectRow(0x00203CA0, Cat(Head(4, 1, 1), {{97, "Po.PRESS", 4},
                                              {157, " 60", 0},
                                              {182, "C_", 0},
                                              {198, "3", 0},
                                              {232, " 32", 4}}));
    ExpectRow(0x007F07B0,
              Cat(Head(5, 1, 1), {{97, "CONTROL", 4}, {182, "  7", 4}, {232, "127", 4}}));
    ExpectRow(0x000005C3, Cat(Head(6, 1, 4), {{97, "PROGRAM", 4}, {182, "  5", 4}}));
    ExpectRow(0x000050DF, Cat(Head(7, 1, 16), {{97, "Ch.PRESS", 4}, {182, " 80", 4}}));
    ExpectRow(0x00400AE0, Cat(Head(8, 1, 1), {{97, "BEND", 4}, {182, " 10", 4}, {232, " 64", 4}}));
    ExpectRow(0xFA, Cat(Head(9, 2, 0), {{97, "START", 0}}), 1);
    ExpectRow(0xFB, Cat(Head(10, 1, 0), {{97, "PLAY", 0}}));
    ExpectRow(0xFC, Cat(Head(11, 1, 0), {{97, "STOP", 0}}));
    ExpectRow(0xF8, Head(12, 1, 0));
    ExpectRow(0x00BCC190, Cat(Head(13, 1, 1), {{97, "NOTE ON ", 0},
                                               {167, " 65", 0},
                                               {192, "F_", 0},
                                               {208, "3", 0},
                                               {232, " 60", 0}}));
}

TEST_F(MonitorTest, UnmatchedHandleShowsTheDeviceAfterTheLast)
{
    gMidi.OnMidiData(424242, 0xF8);
    const auto row = Row(578);
    ASSERT_GE(row.size(), 2u);
    EXPECT_EQ(row[1].text, "3"); // inCount 2, so device index 2, shown as 3
}

TEST_F(MonitorTest, NewestIsAtTheBottomAndOnlyEightAreDrawn)
{
    for (int i = 0; i < 10; ++i)
        gMidi.OnMidiData(gMidi.inHandle[0], 0xF8);
    const auto numbers = RunningNumbers();
    ASSERT_EQ(numbers.size(), 8u);
    for (int j = 0; j < 8; ++j) {
        EXPECT_EQ(numbers[j].first, 578 - 12 * j);
        char n[8];
        std::snprintf(n, sizeof n, "%5d", 10 - j);
        EXPECT_EQ(numbers[j].second, n);
    }
}

TEST_F(MonitorTest, FewMessagesKeepTheirRowsAndSerialsWrapBackwards)
{
    gMidi.logSerial = 9998;
    for (int i = 0; i < 3; ++i)
        gMidi.OnMidiData(gMidi.inHandle[0], 0xF8); // numbers 9999, 0, 1
    const auto numbers = RunningNumbers();
    ASSERT_EQ(numbers.size(), 3u);
    EXPECT_EQ(numbers[0], std::make_pair(578, std::string("    1")));
    EXPECT_EQ(numbers[1], std::make_pair(566, std::string("    0")));
    EXPECT_EQ(numbers[2], std::make_pair(554, std::string(" 9999")));
}

TEST_F(MonitorTest, HeadingTextsFontsAndColours)
{
    host_double::ClearTexts();
    gMidi.DrawMonitor();
    const auto& t = host_double::Texts();
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[0].text, "MIDI IN MONITOR");
    EXPECT_EQ(t[0].font, 6);
    EXPECT_EQ(t[0].x, 85);
    EXPECT_EQ(t[0].y, 459);
    const Want heads[] = {
        {42, "Dev.", 0}, {67, "Ch.", 0}, {100, "Status", 0}, {177, "Data1", 0}, {224, "Data2", 0}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(t[1 + i].text, heads[i].text);
        EXPECT_EQ(t[1 + i].x, heads[i].x);
        EXPECT_EQ(t[1 + i].y, 477);
        EXPECT_EQ(t[1 + i].font, 1);
        EXPECT_EQ(t[1 + i].color, 0xFFFFFFu);
    }
}

TEST_F(MonitorTest, PanelPixels)
{
    gLcd.FillRect(0, 0, 800, 600, 242);
    gMidi.DrawMonitor();
    const CanvasDiff d = CompareCanvas(800, 600, [](int x, int y) -> uint32_t {
        if (x >= 12 && x <= 261 && y >= 457 && y <= 475)
            return 0x000000; // title bar
        if (x >= 12 && x <= 261 && y >= 476 && y <= 592) {
            if (x == 12 || x == 261 || y == 476 || y == 592)
                return 0x777777; // frame
            if (y == 491)
                return 0xFFFFFF; // separator
            return 0x000000;     // heading band and body
        }
        return 0x000044;
    });
    EXPECT_EQ(d.mismatches, 0) << d.first;
}

} // namespace
