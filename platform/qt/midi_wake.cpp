// Received MIDI reaches the window (Qt back end, contract: platform/platform.h): the MIDI
// back end calls the wake from its own threads; a posted event brings the UI thread to drain
// the queue, one PM_MIM_DATA per message. At most one wake event is pending at a time.
#include <QtCore/QCoreApplication>
#include <QtCore/QEvent>
#include <QtCore/QObject>

#include <atomic>

#include "platform/platform.h"
#include "platform/qt/host_state.h"

namespace zm_qt {
namespace {

const QEvent::Type kMidiWakeEvent = static_cast<QEvent::Type>(QEvent::User + 0x3C3);

class MidiWakeTarget : public QObject {
  public:
    std::atomic<bool> pending{false};
    std::atomic<bool> accepting{false}; // while the main window exists

  protected:
    bool event(QEvent* e) override
    {
        if (e->type() == kMidiWakeEvent) {
            pending.store(false, std::memory_order_release);
            PlatMidiDrain([](PlatMidiHandle handle, uint32_t message) {
                Send(PM_MIM_DATA, handle, static_cast<intptr_t>(message));
            });
            return true;
        }
        return QObject::event(e);
    }
};

// Made once on the UI thread and never deleted, so a MIDI thread never posts to a dead object.
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
    QCoreApplication::postEvent(target, new QEvent(kMidiWakeEvent));
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
