// Drawing: the full redraw of the panel (legend, the three widgets, the monitor) beside a
// memset of the same canvas and beside the same redraw without the glyph cache (every text
// through QPainter), at three canvas sizes; and the ordinary UI cycle (update
// redraw, monitor with eight rows, present on the real window) beside the 10 ms cycle.
#include <QtWidgets/QApplication>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/action.h"
#include "app/c_midi.h"
#include "app/window.h"
#include "bench/bench_util.h"
#include "bench/midi_recorder.h"
#include "bench/window_util.h"
#include "lcd/lcd.h"
#include "platform/qt/glyph_cache.h"
#include "platform/qt/host.h"
#include "surface/winui.h"

using namespace zm_bench;

namespace {

struct Size {
    int w;
    int h;
};

// A mix of what the monitor shows: notes, pressure, controls, programs, bend, transport.
constexpr uint32_t kMessages[] = {
    0x00643C90, 0x00003C90, 0x00403C80, 0x00207BA0, 0x00400AB0, 0x000005C0,
    0x00003FD0, 0x004000E0, 0x000000FA, 0x000000FC, 0x00000CC3, 0x00117FB5,
};

// Paints that really reached the window: a present that paints nothing would flatter.
int gPaints = 0;

void CountPaint(uint32_t message, uintptr_t, intptr_t, intptr_t)
{
    if (message == PM_PAINT)
        ++gPaints;
}

uint32_t NextMessage()
{
    static size_t i = 0;
    return kMessages[i++ % (sizeof kMessages / sizeof kMessages[0])];
}

// Median of reps runs of f, in microseconds.
template <typename F> Stats Time(int reps, F&& f)
{
    std::vector<double> us;
    us.reserve(static_cast<size_t>(reps));
    for (int i = 0; i < reps; ++i) {
        const Clock::time_point t0 = Clock::now();
        f();
        us.push_back(Us(Clock::now() - t0));
    }
    return Summarize(us);
}

// One canvas size in this process: the offscreen platform exposes only the first main
// window a process makes, and a present must really paint.
int RunSize(const Size& size)
{
    constexpr double kGoalRatio = 2.0;
    constexpr double kCycleUs = 10'000.0;
    constexpr double kGoalCycleShare = 0.05;

    zm_qt::SetMessageObserver(CountPaint);
    if (!OpenMainWindow(size.w, size.h)) {
        std::fprintf(stderr, "draw: the main window could not be made and shown at %dx%d\n", size.w,
                     size.h);
        return 1;
    }
    // Eight rows in the monitor, as after any playing.
    for (int i = 0; i < 8; ++i)
        gMidi.OnMidiData(recorder::InputHandle(), NextMessage());

    const size_t pixels = static_cast<size_t>(size.w) * static_cast<size_t>(size.h);
    const int reps = pixels > 4'000'000 ? 60 : 200;
    uint32_t* canvas = gLcd.bits;
    int fill = 0;
    // Interleaved rounds, so a noisy neighbour on the machine hits both alike.
    const auto redraw = [] {
        gWinUI.Dispatch(AC_FULL_REDRAW, 0);
        gMidi.monitorStale = true; // as Refresh does: else the monitor's rows are never drawn
        gMidi.DrawMonitor();
    };
    std::vector<double> memsetUs;
    std::vector<double> redrawUs;
    std::vector<double> uncachedUs; // every text through QPainter: the reference
    for (int round = 0; round < 4; ++round) {
        const Stats m =
            Time(reps, [&] { std::memset(canvas, ++fill & 0xFF, pixels * sizeof(uint32_t)); });
        zm_qt::SetGlyphCache(true);
        const Stats r = Time(reps, redraw);
        zm_qt::SetGlyphCache(false);
        const Stats u = Time(reps, redraw);
        memsetUs.push_back(m.median);
        redrawUs.push_back(r.median);
        uncachedUs.push_back(u.median);
    }
    zm_qt::SetGlyphCache(true);
    const double memsetMedian = Summarize(memsetUs).min;
    const double redrawMedian = Summarize(redrawUs).min;
    const double uncachedMedian = Summarize(uncachedUs).min;
    const double ratio = redrawMedian / memsetMedian;
    std::printf("full_redraw_%dx%d_us=%.1f without_glyph_cache_us=%.1f memset_us=%.1f ratio=%.2f "
                "goal:ratio<=%.1f %s\n",
                size.w, size.h, redrawMedian, uncachedMedian, memsetMedian, ratio, kGoalRatio,
                Verdict(ratio <= kGoalRatio));

    // The ordinary cycle: what Poll does every 10 ms when nothing asked for more.
    std::vector<double> cycleUs;
    gPaints = 0;
    for (int i = 0; i < 500; ++i) {
        gMidi.OnMidiData(recorder::InputHandle(), NextMessage());
        recorder::Clear();
        const Clock::time_point t0 = Clock::now();
        gMidi.Refresh(REDRAW_UPDATE);
        cycleUs.push_back(Us(Clock::now() - t0));
    }
    const Stats c = Summarize(cycleUs);
    const double share = c.median / kCycleUs;
    std::printf("ordinary_cycle_%dx%d_us=%.1f p99_us=%.1f cycle_us=%.0f share=%.2f%% (paints=%d "
                "client=%dx%d) "
                "goal:share<%.0f%% %s\n",
                size.w, size.h, c.median, c.p99, kCycleUs, share * 100.0, gPaints, ClientWidth,
                ClientHeight, kGoalCycleShare * 100.0,
                Verdict(share < kGoalCycleShare && gPaints == 500));
    std::fflush(stdout);
    CloseMainWindow();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const Size sizes[] = {{800, 600}, {1920, 1080}, {3840, 2160}};
    if (argc > 1) {
        Size size{};
        if (std::sscanf(argv[1], "%dx%d", &size.w, &size.h) != 2 || size.w <= 0 || size.h <= 0) {
            std::fprintf(stderr, "usage: zm_bench_draw [WIDTHxHEIGHT]\n");
            return 2;
        }
        UseOffscreenUnlessSet();
        QApplication app(argc, argv);
        return RunSize(size);
    }

    // Every size in a process of its own, then the growth across them.
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    double perMegapixel[3] = {};
    for (int i = 0; i < 3; ++i) {
        const std::string command = std::string("'") + self + "' " + std::to_string(sizes[i].w) +
                                    "x" + std::to_string(sizes[i].h) + " 2>/dev/null";
        FILE* child = popen(command.c_str(), "r");
        if (child == nullptr)
            return 1;
        char line[512];
        while (std::fgets(line, sizeof line, child) != nullptr) {
            std::fputs(line, stdout);
            double us = 0;
            const std::string prefix = "full_redraw_" + std::to_string(sizes[i].w) + "x" +
                                       std::to_string(sizes[i].h) + "_us=%lf";
            if (std::sscanf(line, prefix.c_str(), &us) == 1)
                perMegapixel[i] = us / (static_cast<double>(sizes[i].w) * sizes[i].h) * 1e6;
        }
        if (pclose(child) != 0)
            return 1;
    }
    std::fflush(stdout);
    // Growing with the pixel count: the cost per megapixel stays within a factor of two.
    const double lo = std::min({perMegapixel[0], perMegapixel[1], perMegapixel[2]});
    const double hi = std::max({perMegapixel[0], perMegapixel[1], perMegapixel[2]});
    std::printf(
        "full_redraw_us_per_megapixel 800x600=%.1f 1920x1080=%.1f 3840x2160=%.1f spread=%.2f "
        "goal:grows_with_pixels(spread<=2.0) %s\n",
        perMegapixel[0], perMegapixel[1], perMegapixel[2], hi / lo,
        Verdict(lo > 0 && hi / lo <= 2.0));
    return 0;
}
