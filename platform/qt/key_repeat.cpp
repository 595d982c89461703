// Held Shift repeats (window host of the Qt back end). Every held key repeats its key-down
// on Windows, Shift included, and the logic strikes its note again at each; X11 and Wayland
// repeat no modifier, so the host repeats Shift itself: at the desktop's own delay and rate
// where it says them (X11's keyboard settings, the Wayland compositor's repeat information),
// else at Windows' defaults.
//
// As on Windows only the key pressed last repeats: another key's press ends Shift's repeat.
#include <QtCore/QTimer>
#include <QtGui/QGuiApplication>

#include "platform/platform.h"
#include "platform/qt/host_state.h"

// After Qt: Xlib's macros (None, KeyPress, Bool...) would break Qt's headers.
#include <X11/XKBlib.h>

namespace zm_qt {
namespace {

constexpr int kDefaultDelayMs = 500;
constexpr int kDefaultIntervalMs = 33; // 30 a second

struct Repeat {
    QTimer* timer = nullptr;
    uint32_t lParam = 0;
    int intervalMs = kDefaultIntervalMs;
};

Repeat& TheRepeat()
{
    static Repeat* repeat = new Repeat; // never destroyed, like the host
    return *repeat;
}

void RepeatRate(int* delayMs, int* intervalMs)
{
    *delayMs = kDefaultDelayMs;
    *intervalMs = kDefaultIntervalMs;
    if (WaylandRepeatRate(delayMs, intervalMs)) {
        return;
    }
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        return; // offscreen has none
    }
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    Display* display = x11 != nullptr ? x11->display() : nullptr;
    unsigned delay = 0;
    unsigned interval = 0;
    if (display != nullptr && XkbGetAutoRepeatRate(display, XkbUseCoreKbd, &delay, &interval) &&
        delay > 0 && interval > 0) {
        *delayMs = static_cast<int>(delay);
        *intervalMs = static_cast<int>(interval);
    }
}

} // namespace

void StartShiftRepeat(uint32_t lParam)
{
    Repeat& r = TheRepeat();
    if (r.timer == nullptr) {
        r.timer = new QTimer;
        r.timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(r.timer, &QTimer::timeout, [] {
            Repeat& rep = TheRepeat();
            if (rep.timer->interval() != rep.intervalMs) {
                rep.timer->setInterval(rep.intervalMs); // after the delay, the rate
            }
            Send(PM_KEYDOWN, PVK_SHIFT, static_cast<intptr_t>(rep.lParam));
        });
    }
    int delayMs = 0;
    RepeatRate(&delayMs, &r.intervalMs);
    if (r.intervalMs <= 0) {
        r.timer->stop(); // the desktop repeats no key
        return;
    }
    r.lParam = lParam | 1u << 30; // a repeat: the key was down before
    r.timer->start(delayMs);
}

void StopShiftRepeat()
{
    if (QTimer* timer = TheRepeat().timer) {
        timer->stop();
    }
}

} // namespace zm_qt
