// Input to MIDI: a key event delivered to the real main window (offscreen) until both words
// of its note are handed to the MIDI back end (here a recorder that timestamps each word).
#include <QtCore/QCoreApplication>
#include <QtGui/QKeyEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QWidget>

#include <cstdio>
#include <vector>

#include "bench/bench_util.h"
#include "bench/midi_recorder.h"
#include "bench/window_util.h"
#include "platform/qt/host.h"

using namespace zm_bench;

namespace {

struct Key {
    int key;
    Qt::KeyboardModifiers mods;
};

// Every key that plays a note (F10 is a system key and plays none).
std::vector<Key> PlayingKeys()
{
    std::vector<Key> keys;
    for (int k = Qt::Key_F1; k <= Qt::Key_F12; ++k)
        if (k != Qt::Key_F10)
            keys.push_back({k, Qt::NoModifier});
    for (int k = Qt::Key_0; k <= Qt::Key_9; ++k) {
        keys.push_back({k, Qt::NoModifier});
        keys.push_back({k, Qt::KeypadModifier});
    }
    keys.push_back({Qt::Key_Plus, Qt::KeypadModifier});
    keys.push_back({Qt::Key_Minus, Qt::KeypadModifier});
    keys.push_back({Qt::Key_Return, Qt::NoModifier});
    keys.push_back({Qt::Key_Enter, Qt::KeypadModifier});
    keys.push_back({Qt::Key_Left, Qt::NoModifier});
    keys.push_back({Qt::Key_Right, Qt::NoModifier});
    keys.push_back({Qt::Key_Up, Qt::NoModifier});
    keys.push_back({Qt::Key_Down, Qt::NoModifier});
    keys.push_back({Qt::Key_Shift, Qt::NoModifier});
    return keys;
}

QWidget* Target()
{
    QWidget* focus = QApplication::focusWidget();
    return focus != nullptr ? focus : zm_qt::MainWindow();
}

} // namespace

int main(int argc, char** argv)
{
    constexpr int kStrikes = 10000;
    constexpr int kWarmUp = 500;
    constexpr int kKeysPerCycle = 50; // then the loop runs a UI cycle (redraw, present)
    constexpr double kGoalP99Us = 50.0;

    UseOffscreenUnlessSet();
    QApplication app(argc, argv);
    if (!OpenMainWindow(1920, 1080)) {
        std::fprintf(stderr, "input_latency: the main window could not be made\n");
        return 1;
    }

    const std::vector<Key> keys = PlayingKeys();
    std::vector<double> latency;
    latency.reserve(kStrikes);
    int missing = 0;
    for (int i = 0; i < kWarmUp + kStrikes; ++i) {
        const Key& k = keys[static_cast<size_t>(i) % keys.size()];
        QKeyEvent press(QEvent::KeyPress, k.key, k.mods);
        QKeyEvent release(QEvent::KeyRelease, k.key, k.mods);
        QWidget* target = Target();
        const size_t before = recorder::Count();
        const Clock::time_point start = Clock::now();
        QApplication::sendEvent(target, &press);
        const size_t after = recorder::Count();
        QApplication::sendEvent(target, &release);
        if (i >= kWarmUp) {
            if (after == before + 2 && after <= recorder::Capacity())
                latency.push_back(Us(recorder::At(before + 1).at - start));
            else
                ++missing;
        }
        QCoreApplication::processEvents();
        if (i % kKeysPerCycle == kKeysPerCycle - 1) {
            RunEventLoopMs(11);
            recorder::Clear();
        }
    }
    CloseMainWindow();

    const Stats s = Summarize(latency);
    const bool ok = missing == 0 && s.n == kStrikes && s.p99 < kGoalP99Us;
    std::printf("input_to_midi n=%zu median_us=%.2f p99_us=%.2f max_us=%.2f missing=%d "
                "goal:p99<%.0fus %s\n",
                s.n, s.median, s.p99, s.max, missing, kGoalP99Us, Verdict(ok));
    return 0;
}
