// How often the UI cycle runs on the real window: the window timer, the 1 ms tick thread
// and the 10 ms gate together, over 20 s of an idle window (offscreen, 1920x1080 canvas),
// where the timer keeps its idle cadence. Prints cycles a second and the shortest and
// longest gap between two cycles.
#include <QtWidgets/QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/action.h"
#include "app/c_midi.h"
#include "bench/window_util.h"

using Clock = std::chrono::steady_clock;

namespace {

std::vector<Clock::time_point> gCycles;

void Observe(int action, int)
{
    if (action == AC_TICK && gCycles.size() < gCycles.capacity())
        gCycles.push_back(Clock::now());
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    zm_bench::UseOffscreenUnlessSet();
    QApplication app(argc, argv);
    if (!zm_bench::OpenMainWindow(1920, 1080)) {
        std::fprintf(stderr, "cycles: the main window did not come up\n");
        return 1;
    }
    gCycles.reserve(static_cast<size_t>(seconds) * 200 + 16);
    gPostObserver = Observe;
    zm_bench::RunEventLoopMs(seconds * 1000);
    gPostObserver = nullptr;
    if (gCycles.size() < 2) {
        std::fprintf(stderr, "cycles: no UI cycle ran\n");
        return 1;
    }
    double shortest = 1e9, longest = 0;
    for (size_t i = 1; i < gCycles.size(); ++i) {
        const double ms =
            std::chrono::duration<double, std::milli>(gCycles[i] - gCycles[i - 1]).count();
        shortest = std::min(shortest, ms);
        longest = std::max(longest, ms);
    }
    const double span = std::chrono::duration<double>(gCycles.back() - gCycles.front()).count();
    const double rate = static_cast<double>(gCycles.size() - 1) / span;
    std::printf("ui_cycles per_s=%.1f shortest_gap_ms=%.1f longest_gap_ms=%.1f over_s=%d "
                "goal:longest<=20ms,none_within_10ms_of_the_tick %s\n",
                rate, shortest, longest, seconds, longest <= 20.0 ? "OK" : "MISSED");
    zm_bench::CloseMainWindow();
    return 0;
}
