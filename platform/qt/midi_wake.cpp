// Received MIDI reaches the window (Qt back end, contract: platform/platform.h): the MIDI
// back end calls the wake from its own threads, JACK's real-time one included; it writes an
// event counter the UI thread watches, which then drains the queue, one PM_MIM_DATA per
// message. At most one wake is pending at a time.
#include <QtCore/QCoreApplication>
#include <QtCore/QEvent>
#include <QtCore/QObject>
#include <QtCore/QSocketNotifier>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/qt/host_state.h"

namespace zm_qt {
namespace {

const QEvent::Type kMidiWakeEvent = static_cast<QEvent::Type>(QEvent::User + 0x3C3);

void DrainIntoWindow()
{
    PlatMidiDrain([](PlatMidiHandle handle, uint32_t message) {
        Send(PM_MIM_DATA, handle, static_cast<intptr_t>(message));
    });
}

class MidiWakeTarget : public QObject {
  public:
    MidiWakeTarget() : fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (fd < 0) {
            std::perror("ZYN_MOUSE: received MIDI wakes the window by posted events: eventfd");
            return;
        }
        auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        QObject::connect(notifier, &QSocketNotifier::activated, this, [this] {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t r = read(fd, &count, sizeof count);
            pending.store(false, std::memory_order_release);
            DrainIntoWindow();
        });
    }

    const int fd;
    std::atomic<bool> pending{false};
    std::atomic<bool> accepting{false}; // while the main window exists

  protected:
    // Without an event counter: a posted event, which allocates (no wake from a real-time
    // thread should come to this).
    bool event(QEvent* e) override
    {
        if (e->type() == kMidiWakeEvent) {
            pending.store(false, std::memory_order_release);
            DrainIntoWindow();
            return true;
        }
        return QObject::event(e);
    }
};

// Made once on the UI thread and never deleted, so a MIDI thread never wakes a dead object.
std::atomic<MidiWakeTarget*>& WakeTarget()
{
    static std::atomic<MidiWakeTarget*>* target = new std::atomic<MidiWakeTarget*>(nullptr);
    return *target;
}

void MidiWake()
{
    MidiWakeTarget* target = WakeTarget().load(std::memory_order_acquire);
    if (target == nullptr || !target->accepting.load(std::memory_order_acquire) ||
        target->pending.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    if (target->fd >= 0) {
        const uint64_t one = 1;
        // A full counter already means "look"; nothing else can go wrong here.
        [[maybe_unused]] const ssize_t r = write(target->fd, &one, sizeof one);
    } else {
        QCoreApplication::postEvent(target, new QEvent(kMidiWakeEvent));
    }
}

} // namespace

void StartMidiWake()
{
    if (WakeTarget().load() == nullptr) {
        WakeTarget().store(new MidiWakeTarget, std::memory_order_release);
    }
    WakeTarget().load()->accepting.store(true, std::memory_order_release);
    PlatMidiSetWake(&MidiWake);
}

// No more deliveries: the window that took them is gone.
void StopMidiWake()
{
    PlatMidiSetWake(nullptr);
    if (MidiWakeTarget* target = WakeTarget().load()) {
        target->accepting.store(false, std::memory_order_release);
    }
}

} // namespace zm_qt
