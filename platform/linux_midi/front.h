// The MIDI services of platform.h on Linux: JACK when a server answers, else the ALSA
// sequencer, else no devices; chosen again at every device check. The front owns what both
// systems share: the handles, the slots, the lists and their rules, the received-message
// queue, and two threads of its own.
//
//   front.cpp          handles, slots, lists, drain, send
//   system_choice.cpp  which system answers: the probes, taking a system, letting one go
//   threads.cpp        what the service and probe threads run, and the wake
//   report.cpp         the lines on stderr
//   contract.cpp       the PlatMidi* functions over the front
//
// Threads: the UI thread makes every call unless one says otherwise. The service thread
// opens, serves and closes ALSA clients; the probe thread opens and closes JACK clients and
// reads names from JACK's metadata, since each of those may wait on libjack for good.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/linux_midi/system.h"
#include "platform/linux_midi/worker.h"

namespace zm_midi {

class Front {
  public:
    struct Listed {
        PortRef port;
        uint64_t id; // what PlatMidiInId and PlatMidiOutId answer
    };

    Front();

    // ---- any thread; the three are safe on a real-time thread
    void KickService() { service_.Kick(); }
    void WantDrain();
    void WantNames();

    // ---- UI thread
    void SetWake(void (*wake)());
    size_t Drain(void (*sink)(PlatMidiHandle, uint32_t));
    void Rescan();
    // Moves when the system in use was lost or replaced by another.
    uint32_t Incarnation() const { return incarnation_; }
    const std::vector<Listed>& Inputs();
    const std::vector<Listed>& Outputs();
    int Open(PlatMidiHandle* handle, int index, bool input);
    int Run(PlatMidiHandle handle, bool run);
    int Close(PlatMidiHandle handle, bool input);
    int Send(PlatMidiHandle handle, uint32_t word);

    // Any thread but the front's own two: waits until both have run what was posted to
    // them so far.
    bool WaitIdle(int timeoutMs);
    bool Connected() { return sys_ == nullptr || sys_->Connected(); }

  private:
    struct HandleInfo {
        bool input;
        int slot;
        uint64_t system; // the incarnation of the system it was opened on
    };

    // front.cpp
    HandleInfo* Find(PlatMidiHandle handle, bool input);
    bool Live(const HandleInfo& info) const;
    void List();
    // system_choice.cpp
    void Probe();
    void AskJack();
    void AskAlsa();
    void Adopt();
    void Use(std::unique_ptr<System> found);
    void Retire();
    void Drop(System* old);
    // threads.cpp
    void ServiceLoop();
    void ProbeLoop();
    // report.cpp
    void Report();
    void ReportLosses();
    void WarnIfStuck();

    // ---- UI thread
    std::unique_ptr<System> sys_;
    // Every system taken gets an incarnation of its own: an address would be reused.
    uint64_t sysIncarnation_ = 0; // of the system in use; 0 for none
    uint64_t lastIncarnation_ = 0;
    uint32_t incarnation_ = 0; // what Incarnation answers
    bool scanned_ = false, firstScan_ = true, everFound_ = false;
    PlatMidiHandle next_ = 1;
    std::unordered_map<PlatMidiHandle, HandleInfo> handles_;
    bool inUsed_[kInSlots] = {};
    bool outUsed_[kOutSlots] = {};
    std::vector<Listed> ins_, outs_;
    std::string lastWhy_ = "no JACK server answers and the ALSA sequencer is not available";
    std::string lastReport_;
    std::chrono::steady_clock::time_point probeStart_{};
    bool warnedStuck_ = false;

    // ---- several threads
    InQueue in_;    // a system's reader pushes, the UI thread drains
    Shared shared_; // set in the constructor, read by the systems on any thread
    std::atomic<void (*)()> wake_{nullptr};
    std::atomic<bool> namesWanted_{false}; // any thread sets it, the probe thread fetches
    std::atomic<uint64_t> overruns_{0};    // a system counts, the service thread reports
    // The probes' answers: asked for on the UI thread, given on the service thread (ALSA)
    // and the probe thread (JACK).
    std::mutex mutex_;
    std::condition_variable probeDone_;
    bool jackProbing_ = false, jackSaidNo_ = false; // guarded by mutex_
    std::unique_ptr<System> jackProbed_;            // guarded by mutex_
    std::string jackWhy_;                           // guarded by mutex_
    bool alsaOpening_ = false;                      // guarded by mutex_
    std::unique_ptr<System> alsaProbed_;            // guarded by mutex_
    std::string alsaWhy_;                           // guarded by mutex_

    // ---- service thread
    Worker service_;
    std::vector<System*> served_; // the ALSA systems it opened and has not closed
    uint64_t reportedLost_ = 0, reportedOverruns_ = 0;
    std::chrono::steady_clock::time_point lastLossReport_{};

    // ---- probe thread
    Worker probe_;
    System* jackServed_ = nullptr; // the JACK system it opened and has not closed
};

// The one front. Never destroyed: libjack's and the service thread's work may outlive main.
Front& TheFront();

} // namespace zm_midi
