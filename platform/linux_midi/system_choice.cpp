// Which MIDI system answers, asked again at every device check: a JACK server that answers
// is taken, even in place of the ALSA sequencer; the sequencer is taken when JACK said no
// or kept silent a while. A system is opened and closed on the thread it belongs to (JACK's
// on the probe thread, ALSA's on the service thread); the UI thread only takes the answers.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "platform/linux_midi/backends.h"
#include "platform/linux_midi/front.h"

namespace zm_midi {
namespace {

// How long a JACK probe may go unanswered before the ALSA sequencer is used meanwhile.
constexpr auto kJackGrace = std::chrono::seconds(1);

bool IsJack(const System* system)
{
    return system != nullptr && std::string_view(system->Name()) == "JACK";
}

} // namespace

void Front::Rescan()
{
    scanned_ = true;
    const uint64_t before = sysIncarnation_;
    bool lost = false;
    if (sys_ != nullptr && !sys_->Alive()) {
        lastWhy_ =
            IsJack(sys_.get()) ? "the JACK server went away" : "the ALSA sequencer went away";
        Retire();
        lost = true;
    }
    if (firstScan_) {
        // Only at start: the lists are wanted now, not at the next check. A JACK server
        // gets a moment to answer; without its answer the ALSA sequencer is asked.
        firstScan_ = false;
        AskJack();
        std::unique_lock lock(mutex_);
        probeDone_.wait_for(lock, kJackGrace, [this] { return !jackProbing_; });
        if (jackProbed_ == nullptr) {
            lock.unlock();
            AskAlsa();
            lock.lock();
            probeDone_.wait_for(lock, std::chrono::seconds(2), [this] { return !alsaOpening_; });
        }
    }
    Adopt();
    if (!IsJack(sys_.get()))
        Probe();

    if (lost || (everFound_ && sysIncarnation_ != before))
        ++incarnation_;
    if (sys_ != nullptr)
        everFound_ = true;
    Report();
    List();
}

// Looks for a better system than the one in use: a JACK server, on the probe thread;
// with no system in use, the ALSA sequencer once JACK said no or kept silent a while.
void Front::Probe()
{
    bool alsa;
    {
        std::lock_guard lock(mutex_);
        alsa = sys_ == nullptr &&
               (jackSaidNo_ ||
                (jackProbing_ && std::chrono::steady_clock::now() - probeStart_ >= kJackGrace));
    }
    if (alsa)
        AskAlsa();
    AskJack();
}

void Front::AskJack()
{
    {
        std::lock_guard lock(mutex_);
        if (jackProbing_ || jackProbed_ != nullptr) {
            WarnIfStuck();
            return;
        }
        jackProbing_ = true;
        jackSaidNo_ = false;
    }
    probeStart_ = std::chrono::steady_clock::now();
    warnedStuck_ = false;
    probe_.Post([this] {
        std::string why;
        std::unique_ptr<System> found = OpenJackSystem(shared_, &why);
        if (found != nullptr)
            jackServed_ = found.get();
        std::lock_guard lock(mutex_);
        jackSaidNo_ = found == nullptr;
        jackProbed_ = std::move(found);
        jackWhy_ = why;
        jackProbing_ = false;
        probeDone_.notify_all();
    });
}

void Front::AskAlsa()
{
    {
        std::lock_guard lock(mutex_);
        if (alsaOpening_ || alsaProbed_ != nullptr)
            return;
        alsaOpening_ = true;
    }
    service_.Post([this] {
        std::string why;
        std::unique_ptr<System> found = OpenAlsaSystem(shared_, &why);
        if (found != nullptr)
            served_.push_back(found.get());
        std::lock_guard lock(mutex_);
        alsaProbed_ = std::move(found);
        alsaWhy_ = why;
        alsaOpening_ = false;
        probeDone_.notify_all();
    });
}

// Takes what the probes found since the last check.
void Front::Adopt()
{
    std::unique_ptr<System> jack, alsa;
    {
        std::lock_guard lock(mutex_);
        jack = std::move(jackProbed_);
        alsa = std::move(alsaProbed_);
        if (jack == nullptr && alsa == nullptr && sys_ == nullptr) {
            if (!alsaWhy_.empty())
                lastWhy_ = alsaWhy_;
            else if (!jackWhy_.empty())
                lastWhy_ = jackWhy_;
        }
    }
    if (alsa != nullptr && (jack != nullptr || sys_ != nullptr)) {
        Drop(alsa.release());
    } else if (alsa != nullptr) {
        Use(std::move(alsa));
    }
    if (jack != nullptr)
        Use(std::move(jack));
}

void Front::Use(std::unique_ptr<System> found)
{
    if (sys_ != nullptr)
        Retire();
    sys_ = std::move(found);
    sysIncarnation_ = ++lastIncarnation_;
}

// Lets go of the system in use.
void Front::Retire()
{
    for (bool& used : inUsed_)
        used = false;
    for (bool& used : outUsed_)
        used = false;
    System* old = sys_.release();
    sysIncarnation_ = 0;
    Drop(old);
}

// Clients close on the thread that opened them, since closing a client of a dead server
// may take its time, and a JACK one may wait on libjack for good.
void Front::Drop(System* old)
{
    if (IsJack(old)) {
        probe_.Post([this, old] {
            if (jackServed_ == old)
                jackServed_ = nullptr;
            delete old;
        });
        return;
    }
    service_.Post([this, old] {
        served_.erase(std::remove(served_.begin(), served_.end(), old), served_.end());
        delete old;
    });
}

} // namespace zm_midi
