// The glyph cache against QPainter: the real window's full redraw, and texts over mixed grounds
// and across the canvas edges, must leave every 32-bit word of the canvas as QPainter leaves it
// (the top byte Qt writes included). And the monitor's rows, moved up as messages come, must
// leave the words a redraw would.
#include <QtCore/QCoreApplication>
#include <QtTest/QTest>
#include <QtWidgets/QWidget>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

#include "app/action.h"
#include "app/c_midi.h"
#include "app/window.h"
#include "lcd/lcd.h"
#include "midi_double.h"
#include "platform/platform.h"
#include "platform/qt/canvas.h"
#include "platform/qt/glyph_cache.h"
#include "platform/qt/host.h"
#include "surface/winui.h"

namespace {

std::vector<uint32_t> Canvas()
{
    const uint32_t* bits = nullptr;
    int w = 0;
    int h = 0;
    if (!zm_qt::CanvasPixels(&bits, &w, &h)) {
        return {};
    }
    return {bits, bits + static_cast<size_t>(w) * static_cast<size_t>(h)};
}

// Where two canvases first differ, for the failure message.
testing::AssertionResult SameWords(const std::vector<uint32_t>& want,
                                   const std::vector<uint32_t>& got)
{
    if (want.size() != got.size()) {
        return testing::AssertionFailure() << "sizes " << want.size() << " and " << got.size();
    }
    size_t differing = 0;
    size_t first = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        if (want[i] != got[i] && differing++ == 0) {
            first = i;
        }
    }
    if (differing == 0) {
        return testing::AssertionSuccess();
    }
    char words[64];
    std::snprintf(words, sizeof words, "reference %08X, drawn %08X", want[first], got[first]);
    return testing::AssertionFailure()
           << differing << " words differ; first at (" << first % CanvasWidth << ", "
           << first / CanvasWidth << "): " << words;
}

// Draws with the cache off (the reference), then on: each text first seen, then kept, then
// drawn from the cache.
void ExpectSameWithAndWithoutCache(const std::function<void()>& draw, const char* what)
{
    zm_qt::SetGlyphCache(false);
    draw();
    const std::vector<uint32_t> reference = Canvas();
    zm_qt::SetGlyphCache(true);
    for (const char* pass : {"first seen", "kept", "from the cache"}) {
        draw();
        EXPECT_TRUE(SameWords(reference, Canvas())) << what << ", " << pass;
    }
    int masks = 0;
    int viaQt = 0;
    size_t bytes = 0;
    zm_qt::GlyphCacheUsage(&masks, &viaQt, &bytes);
    EXPECT_GT(masks, 0) << what; // else the comparison proved nothing
    EXPECT_EQ(viaQt, 0) << what << ": texts left to QPainter";
}

void ShowMainWindow()
{
    midi_double::Reset();
    midi_double::SetOutputs({{"Synth A"}, {"Synth \xC3\x84 \xE3\x82\xB7\xE3\x83\xB3\xE3\x82\xBB"}});
    midi_double::SetInputs({{"Keys In"}});
    PlatScreenSize(&CanvasWidth, &CanvasHeight);
    ASSERT_TRUE(
        PlatCreateMainWindow("ZYN_MOUSE", "ZYN_MOUSE Ver1.02", 0, 0, CanvasWidth, CanvasHeight));
    PlatShowWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(zm_qt::MainWindow()));
    QTest::qWait(30);
}

void CloseMainWindow()
{
    if (QWidget* w = zm_qt::MainWindow()) {
        w->close();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(GlyphCache, DrawsEveryWordAsQPainterDoes)
{
    ShowMainWindow();

    // The full redraw with the monitor showing notes, controls, bend and transport.
    const uint32_t messages[] = {0x00643C90, 0x00003C90, 0x00403C80, 0x00207BA0, 0x00400AB0,
                                 0x000005C0, 0x00003FD0, 0x004000E0, 0x000000FA, 0x00117FB5};
    for (uint32_t m : messages) {
        gMidi.OnMidiData(midi_double::InputHandle(0), m);
    }
    ExpectSameWithAndWithoutCache(
        [] {
            gWinUI.Dispatch(AC_FULL_REDRAW, 0);
            gMidi.monitorStale = true; // as after any full redraw: the rows are drawn again
            gMidi.DrawMonitor();
        },
        "full redraw");

    // Every kind of font over stripes of grounds (one with Qt's 0xFF top byte, as a text
    // leaves it), over earlier text, and cut by each edge of the canvas.
    const PlatFont fonts[] = {
        PlatStockFont(PSTOCK_ANSI_FIXED),
        PlatStockFont(PSTOCK_SYSTEM),
        PlatCreateFont(14, 0, 700, 0, "arial"),
        PlatCreateFont(21, 7, 700, 0, "arial"),
        PlatCreateFont(35, 15, 700, 0, "arial"),
        PlatCreateFont(16, 0, 700, 128,
                       "\x82\x6C\x82\x72\x81\x40\x83\x53\x83\x56\x83\x62\x83\x4E")};
    const uint32_t grounds[] = {0x00000044, 0x00FFFFFF, 0xFF123456, 0x00808080, 0x00000000};
    const uint32_t colours[] = {0x00FFFFFF, 0x00000000, 0x000080FF, 0x00CC6633}; // 0x00BBGGRR
    const int W = CanvasWidth;
    const int H = CanvasHeight;
    ExpectSameWithAndWithoutCache(
        [&] {
            uint32_t* bits = gLcd.bits;
            for (int y = 0; y < H; ++y) {
                for (int x = 0; x < W; ++x) {
                    bits[static_cast<size_t>(y) * W + x] = grounds[(x / 7 + y / 5) % 5];
                }
            }
            const int places[][2] = {{-9, -6},   {W - 30, H - 9}, {-200, 40}, {W - 12, 100},
                                     {300, -30}, {200, H - 3},    {40, 60},   {41, 61},
                                     {W, 10},    {10, H}};
            int k = 0;
            for (const PlatFont f : fonts) {
                PlatSelectFont(f);
                for (const auto& at : places) {
                    PlatSetTextColor(colours[k++ % 4]);
                    PlatTextOut(at[0], at[1], "Wavy fjord 0123 =99 AVW", 23);
                }
            }
        },
        "grounds and edges");
    EXPECT_TRUE(zm_qt::CanvasGuardsIntact());
    CloseMainWindow();
}

TEST(MonitorRows, MovedUpTheyLeaveTheWordsARedrawWould)
{
    ShowMainWindow();
    gWinUI.Dispatch(AC_FULL_REDRAW, 0);
    gMidi.monitorStale = true;
    gMidi.DrawMonitor();
    // Every kind of row, the running number passing 9999, and 1 to 9 messages a run (9 is
    // more than the rows: a redraw).
    const uint32_t messages[] = {0x00643C90, 0x00003C90, 0x00403C80, 0x00207BA0, 0x00400AB0,
                                 0x000005C0, 0x00003FD0, 0x004000E0, 0x000000FA, 0x000000FB,
                                 0x000000FC, 0x000000F8, 0x00117FB5, 0x00000099};
    gMidi.logSerial = 9980;
    size_t next = 0;
    int moves = 0;
    for (int run = 0; run < 45; ++run) {
        const int count = 1 + run % 9;
        for (int i = 0; i < count; ++i) {
            gMidi.OnMidiData(midi_double::InputHandle(0), messages[next++ % std::size(messages)]);
        }
        int x = 0;
        int y = 0;
        int w = 0;
        int h = 0;
        gLcd.TakeChanged(&x, &y, &w, &h);
        gMidi.DrawMonitor();
        ASSERT_TRUE(gLcd.TakeChanged(&x, &y, &w, &h));
        moves += y >= 494; // the heading untouched: the rows moved
        const std::vector<uint32_t> moved = Canvas();
        gMidi.monitorStale = true;
        gMidi.DrawMonitor();
        ASSERT_TRUE(SameWords(Canvas(), moved)) << "run " << run << ", " << count << " new";
    }
    EXPECT_EQ(moves, 40); // all but the runs of nine
    CloseMainWindow();
}

} // namespace
