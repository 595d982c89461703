// Window timers of the Qt back end (contract: platform/platform.h), kept in step with the
// tick thread.
#include <QtCore/QTimer>

#include <algorithm>

#include "platform/platform.h"
#include "platform/posix/tick.h"
#include "platform/qt/host_state.h"

namespace zm_qt {

void KillAllTimers()
{
    Host& h = TheHost();
    for (auto& [id, timer] : h.timers) {
        timer->stop();
        timer->deleteLater();
    }
    h.timers.clear();
    h.timerTicks.clear();
}

} // namespace zm_qt

using namespace zm_qt;

// A window timer on the desktop the program was written for fires no more often than every
// 10 ms; a shorter request is raised to that. Such a timer runs the UI cycle, which only
// proceeds once the 1 ms tick thread has counted 10 ms since the last one: a fire a
// millisecond early would skip a whole period. So it fires only when the tick thread has
// seen 11 ms pass since the last delivery (one more for the millisecond the tick may have
// turned between its read and the logic's), and otherwise tries again when that is due.
namespace {

constexpr uint32_t kTimerMinimumMs = 10;
constexpr uint32_t kTickStepMs = kTimerMinimumMs + 1;

// The tick of this delivery, for the next stepped one to count from.
void Deliver(uint32_t id)
{
    uint32_t tick = 0;
    if (zm_posix::LastTick(&tick)) {
        TheHost().timerTicks[id] = tick;
    }
    Send(PM_TIMER, id, 0);
}

void FireSteppedTimer(uint32_t id, QTimer* timer)
{
    Host& h = TheHost();
    uint32_t tick = 0;
    if (zm_posix::LastTick(&tick)) {
        const uint32_t since = tick - h.timerTicks[id];
        if (since < kTickStepMs) {
            timer->start(static_cast<int>(kTickStepMs - since));
            return;
        }
    }
    timer->start(static_cast<int>(kTickStepMs));
    Deliver(id);
}

} // namespace

void PlatSetTimer(uint32_t id, uint32_t intervalMs)
{
    Host& h = TheHost();
    if (!h.window) {
        return;
    }
    QTimer*& timer = h.timers[id];
    const bool stepped = intervalMs < kTimerMinimumMs;
    if (timer != nullptr) {
        timer->disconnect();
    } else {
        timer = new QTimer(h.window);
        timer->setTimerType(Qt::PreciseTimer);
    }
    timer->setSingleShot(stepped);
    QTimer* t = timer;
    if (stepped) {
        // At once if a step has passed since the last delivery: a timer set again (the UI
        // cycle's, woken from its idle cadence) fires as soon as the step allows.
        QObject::connect(timer, &QTimer::timeout, [id, t] { FireSteppedTimer(id, t); });
        timer->start(0);
    } else {
        QObject::connect(timer, &QTimer::timeout, [id] { Deliver(id); });
        timer->start(static_cast<int>(std::min<uint32_t>(intervalMs, 0x7FFFFFFF)));
    }
}

void PlatKillTimer(uint32_t id)
{
    Host& h = TheHost();
    auto it = h.timers.find(id);
    if (it == h.timers.end()) {
        return;
    }
    it->second->stop();
    it->second->deleteLater();
    h.timers.erase(it);
    h.timerTicks.erase(id);
}
