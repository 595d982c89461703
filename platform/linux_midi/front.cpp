// The MIDI services of platform.h on Linux: JACK when a server answers, else the ALSA
// sequencer, else no devices; chosen again at every device check. This file owns what
// both systems share: the handles, the lists and their rules, the received-message queue,
// the service thread that opens and closes ALSA clients and relays wakes, and the probe
// thread that does everything that may wait on libjack for good (opening and closing JACK
// clients, reading names from its metadata database).
//
// Longer than most files here because those parts share the handle table and the service
// thread's locking; the queues, rings and names already live in files of their own.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/linux_midi/backends.h"
#include "platform/linux_midi/names.h"
#include "platform/linux_midi/short_msg.h"
#include "platform/platform.h"

namespace zm_midi {
namespace {

enum Result : int {
    kOk = 0,
    kFailed = 1,
    kNoDevice = 2,
    kAllocated = 4,
    kBadHandle = 5,
    kBadParam = 11,
};

// Big enough for several periods of the densest traffic a JACK port buffer can carry.
constexpr size_t kInQueueCapacity = 32768;
// How long a JACK probe may go unanswered before the ALSA sequencer is used meanwhile.
constexpr auto kJackGrace = std::chrono::seconds(1);

void AskDrain();
void KickService();
void AskNames();

bool IsJack(const System* s)
{
    return s != nullptr && std::string_view(s->Name()) == "JACK";
}

struct Listed {
    PortRef port;
    uint64_t id;
};

struct HandleInfo {
    bool input;
    int slot;
    uint64_t system; // serial of the system it was opened on
};

class Front {
  public:
    Front() : in_(kInQueueCapacity, &AskDrain)
    {
        efd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        probeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        shared_.in = &in_;
        shared_.askDrain = &AskDrain;
        shared_.kickService = &KickService;
        shared_.askNames = &AskNames;
        shared_.overruns = &overruns_;
        thread_ = std::thread([this] { ServiceLoop(); });
        probeThread_ = std::thread([this] { ProbeLoop(); });
    }

    // ---- any thread
    void Kick()
    {
        const uint64_t one = 1;
        // A full counter already means "look again"; nothing else can go wrong here.
        [[maybe_unused]] ssize_t r = write(efd_, &one, sizeof one);
    }
    void WantDrain()
    {
        drainWanted_.store(true, std::memory_order_release);
        Kick();
    }
    void WantNames()
    {
        namesWanted_.store(true, std::memory_order_release);
        KickProbe();
    }

    // ---- UI thread
    void SetWake(void (*wake)())
    {
        wake_.store(wake, std::memory_order_release);
        // Messages that came before anyone listened must not wait for the next one.
        if (wake != nullptr)
            WantDrain();
    }

    size_t Drain(void (*sink)(PlatMidiHandle, uint32_t))
    {
        if (sys_ != nullptr) {
            for (int s = 0; s < kOutSlots; ++s) {
                if (outUsed_[s] && sys_->Out(s).Refill())
                    sys_->Sent(s);
            }
        }
        return in_.Drain(sink, wake_.load(std::memory_order_acquire));
    }

    void Rescan()
    {
        scanned_ = true;
        const uint64_t before = sysSerial_; // a serial, not an address: those get reused
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
                probeDone_.wait_for(lock, std::chrono::seconds(2),
                                    [this] { return !alsaOpening_; });
            }
        }
        Adopt();
        if (!IsJack(sys_.get()))
            Probe();

        if (lost || (everFound_ && sysSerial_ != before))
            ++epoch_;
        if (sys_ != nullptr)
            everFound_ = true;
        Report();
        List();
    }

    uint32_t Epoch() const { return epoch_; }
    const std::vector<Listed>& Inputs()
    {
        if (!scanned_)
            Rescan();
        return ins_;
    }
    const std::vector<Listed>& Outputs()
    {
        if (!scanned_)
            Rescan();
        return outs_;
    }

    int Open(PlatMidiHandle* handle, int index, bool input)
    {
        if (handle == nullptr)
            return kBadParam;
        const std::vector<Listed>& list = input ? Inputs() : Outputs();
        if (sys_ == nullptr || !sys_->Alive() || index < 0 ||
            static_cast<size_t>(index) >= list.size())
            return kNoDevice;
        bool* used = input ? inUsed_ : outUsed_;
        const int slots = input ? kInSlots : kOutSlots;
        int slot = 0;
        while (slot < slots && used[slot])
            ++slot;
        if (slot == slots)
            return kAllocated;
        const PortRef& port = list[static_cast<size_t>(index)].port;
        if (!(input ? sys_->OpenIn(slot, port) : sys_->OpenOut(slot, port)))
            return kFailed;
        used[slot] = true;
        *handle = next_++;
        handles_[*handle] = HandleInfo{input, slot, sysSerial_};
        return kOk;
    }

    int Run(PlatMidiHandle handle, bool run)
    {
        HandleInfo* info = Find(handle, true);
        if (info == nullptr)
            return kBadHandle;
        if (!Live(*info))
            return run ? kFailed : kOk;
        sys_->RunIn(info->slot, run ? handle : 0);
        return kOk;
    }

    int Close(PlatMidiHandle handle, bool input)
    {
        HandleInfo* info = Find(handle, input);
        if (info == nullptr)
            return kBadHandle;
        if (Live(*info)) {
            if (input) {
                sys_->RunIn(info->slot, 0);
                sys_->CloseIn(info->slot);
                inUsed_[info->slot] = false;
            } else {
                sys_->CloseOut(info->slot);
                outUsed_[info->slot] = false;
            }
        }
        handles_.erase(handle);
        return kOk;
    }

    int Send(PlatMidiHandle handle, uint32_t word)
    {
        HandleInfo* info = Find(handle, false);
        if (info == nullptr)
            return kBadHandle;
        uint8_t bytes[3];
        if (UnpackShort(word, bytes) == 0)
            return kBadParam;
        if (!Live(*info) || !sys_->Alive())
            return kFailed;
        sys_->Out(info->slot).Send(word & 0xFFFFFF);
        sys_->Sent(info->slot);
        return kOk;
    }

    // Both threads that may be closing a client.
    bool WaitIdle(int timeoutMs)
    {
        auto done = std::make_shared<int>(0);
        auto mark = [this, done] {
            std::lock_guard lock(mutex_);
            ++*done;
            probeDone_.notify_all();
        };
        Post(mark);
        PostProbe(mark);
        std::unique_lock lock(mutex_);
        return probeDone_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return *done == 2; });
    }

    // ---- service thread
    void RelayWake()
    {
        if (!drainWanted_.exchange(false, std::memory_order_acq_rel))
            return;
        if (void (*wake)() = wake_.load(std::memory_order_acquire))
            wake();
    }

  private:
    HandleInfo* Find(PlatMidiHandle handle, bool input)
    {
        auto it = handles_.find(handle);
        return it == handles_.end() || it->second.input != input ? nullptr : &it->second;
    }
    bool Live(const HandleInfo& info) const { return sys_ != nullptr && info.system == sysSerial_; }

    // Looks for a better system than the one in use: a JACK server, on the probe thread;
    // with no system in use, the ALSA sequencer once JACK said no or kept silent a while.
    void Probe()
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

    void AskJack()
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
        PostProbe([this] {
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

    void AskAlsa()
    {
        {
            std::lock_guard lock(mutex_);
            if (alsaOpening_ || alsaProbed_ != nullptr)
                return;
            alsaOpening_ = true;
        }
        Post([this] {
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

    // jack_client_open never returns while JACK's metadata database is locked by a client
    // that died holding it, or while the server is stopped; nothing can time it out, so at
    // least say so.
    void WarnIfStuck()
    {
        const auto waited = std::chrono::steady_clock::now() - probeStart_;
        if (warnedStuck_ || !jackProbing_ || waited < std::chrono::seconds(10))
            return;
        warnedStuck_ = true;
        std::fprintf(stderr,
                     "ZYN_MOUSE: JACK has not answered for %lld s (a JACK client that crashed may "
                     "have left JACK's "
                     "database in /dev/shm locked, or the server is stopped); JACK is not used "
                     "until it answers\n",
                     static_cast<long long>(
                         std::chrono::duration_cast<std::chrono::seconds>(waited).count()));
    }

    // A JACK server that answers is taken, even in place of the ALSA sequencer.
    void Adopt()
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

    void Use(std::unique_ptr<System> found)
    {
        if (sys_ != nullptr)
            Retire();
        sys_ = std::move(found);
        sysSerial_ = ++serials_;
    }

    // Lets go of the system in use.
    void Retire()
    {
        for (bool& u : inUsed_)
            u = false;
        for (bool& u : outUsed_)
            u = false;
        System* old = sys_.release();
        sysSerial_ = 0;
        Drop(old);
    }

    // Clients close on the thread that opened them, since closing a client of a dead
    // server may take its time, and a JACK one may wait on libjack for good.
    void Drop(System* old)
    {
        if (IsJack(old)) {
            PostProbe([this, old] {
                if (jackServed_ == old)
                    jackServed_ = nullptr;
                delete old;
            });
            return;
        }
        Post([this, old] {
            served_.erase(std::remove(served_.begin(), served_.end(), old), served_.end());
            delete old;
        });
    }

    void List()
    {
        ins_.clear();
        outs_.clear();
        if (sys_ == nullptr)
            return;
        std::vector<PortRef> sources, destinations;
        sys_->List(&sources, &destinations);
        for (PortRef& p : sources) {
            // The loopback is never an input: whatever the thru sends to it would return.
            if (!IsLoopback(p))
                ins_.push_back(Listed{std::move(p), 0});
        }
        // ...and it is the last output, so the default output is a real device.
        std::stable_partition(destinations.begin(), destinations.end(),
                              [](const PortRef& p) { return !IsLoopback(p); });
        for (PortRef& p : destinations)
            outs_.push_back(Listed{std::move(p), 0});
        for (Listed& l : ins_)
            l.id = PortId(l.port) ^ sysSerial_;
        for (Listed& l : outs_)
            l.id = PortId(l.port) ^ sysSerial_;
    }

    void Report()
    {
        std::string line = sys_ != nullptr
                               ? std::string("ZYN_MOUSE: MIDI devices from ") + sys_->Name()
                               : "ZYN_MOUSE: no MIDI devices: " + lastWhy_;
        if (line == lastReport_)
            return;
        // While a probe is still out after a loss, say nothing yet: it may find the next one.
        lastReport_ = line;
        std::fprintf(stderr, "%s\n", line.c_str());
    }

    void Post(std::function<void()> job)
    {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        Kick();
    }
    void PostProbe(std::function<void()> job)
    {
        {
            std::lock_guard lock(mutex_);
            probeJobs_.push_back(std::move(job));
        }
        KickProbe();
    }
    void KickProbe()
    {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t r = write(probeFd_, &one, sizeof one);
    }

    void ServiceLoop();
    void ProbeLoop();
    void ReportLosses();

    // UI thread.
    std::unique_ptr<System> sys_;
    uint64_t sysSerial_ = 0, serials_ = 0;
    bool scanned_ = false, firstScan_ = true, everFound_ = false;
    uint32_t epoch_ = 0;
    PlatMidiHandle next_ = 1;
    std::unordered_map<PlatMidiHandle, HandleInfo> handles_;
    bool inUsed_[kInSlots] = {};
    bool outUsed_[kOutSlots] = {};
    std::vector<Listed> ins_, outs_;
    std::string lastWhy_ = "no JACK server answers and the ALSA sequencer is not available";
    std::string lastReport_;
    std::chrono::steady_clock::time_point probeStart_{};
    bool warnedStuck_ = false;

    // Shared between the UI and the service thread.
    InQueue in_;
    Shared shared_;
    int efd_ = -1;
    std::atomic<void (*)()> wake_{nullptr};
    std::atomic<bool> drainWanted_{false};
    std::mutex mutex_;
    std::condition_variable probeDone_;
    std::vector<std::function<void()>> jobs_;       // guarded by mutex_
    std::vector<std::function<void()>> probeJobs_;  // guarded by mutex_
    bool jackProbing_ = false, jackSaidNo_ = false; // guarded by mutex_
    std::unique_ptr<System> jackProbed_;            // guarded by mutex_
    std::string jackWhy_;                           // guarded by mutex_
    bool alsaOpening_ = false;                      // guarded by mutex_
    std::unique_ptr<System> alsaProbed_;            // guarded by mutex_
    std::string alsaWhy_;                           // guarded by mutex_
    int probeFd_ = -1;
    std::atomic<bool> namesWanted_{false};

    // Service thread.
    std::vector<System*> served_;
    std::thread thread_;
    // Probe thread.
    System* jackServed_ = nullptr; // the JACK system it opened and has not closed
    std::thread probeThread_;
    std::atomic<uint64_t> overruns_{0};
    uint64_t reportedLost_ = 0, reportedOverruns_ = 0;
    std::chrono::steady_clock::time_point lastLossReport_{};
};

void Front::ServiceLoop()
{
    constexpr int kMaxFds = 16;
    pollfd fds[kMaxFds];
    int owner[kMaxFds]; // index into served_ of each fd after the first
    int timeout = -1;
    for (;;) {
        fds[0] = pollfd{efd_, POLLIN, 0};
        int n = 1;
        for (size_t s = 0; s < served_.size(); ++s) {
            const int got = served_[s]->PollFds(fds + n, kMaxFds - n);
            for (int i = 0; i < got; ++i)
                owner[n + i] = static_cast<int>(s);
            n += got;
        }
        const bool unreported =
            in_.Lost() != reportedLost_ || overruns_.load() != reportedOverruns_;
        if (unreported && (timeout < 0 || timeout > 1000))
            timeout = 1000;
        poll(fds, static_cast<nfds_t>(n), timeout);
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] ssize_t r = read(efd_, &count, sizeof count);
        }
        std::vector<std::function<void()>> jobs;
        {
            std::lock_guard lock(mutex_);
            jobs.swap(jobs_);
        }
        for (auto& job : jobs)
            job();
        if (!jobs.empty()) {
            // served_ may have changed under the fds: look again at once.
            timeout = 0;
            continue;
        }

        timeout = -1;
        for (size_t s = 0; s < served_.size(); ++s) {
            int first = 1;
            while (first < n && owner[first] != static_cast<int>(s))
                ++first;
            int count = 0;
            while (first + count < n && owner[first + count] == static_cast<int>(s))
                ++count;
            const int want = served_[s]->Serve(fds + first, count);
            if (want >= 0 && (timeout < 0 || want < timeout))
                timeout = want;
        }
        RelayWake();
        ReportLosses();
    }
}

void Front::ProbeLoop()
{
    for (;;) {
        pollfd fd{probeFd_, POLLIN, 0};
        poll(&fd, 1, -1);
        uint64_t count;
        [[maybe_unused]] ssize_t r = read(probeFd_, &count, sizeof count);
        std::vector<std::function<void()>> jobs;
        {
            std::lock_guard lock(mutex_);
            jobs.swap(probeJobs_);
        }
        for (auto& job : jobs)
            job();
        if (namesWanted_.exchange(false, std::memory_order_acq_rel) && jackServed_ != nullptr)
            jackServed_->FetchNames();
    }
}

// At most one line a second, with the count since the last one.
void Front::ReportLosses()
{
    const uint64_t lost = in_.Lost();
    const uint64_t overruns = overruns_.load(std::memory_order_relaxed);
    if (lost == reportedLost_ && overruns == reportedOverruns_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastLossReport_ < std::chrono::seconds(1))
        return;
    if (lost != reportedLost_) {
        std::fprintf(stderr,
                     "ZYN_MOUSE: %llu received MIDI messages lost: the program could not take them "
                     "in time\n",
                     static_cast<unsigned long long>(lost - reportedLost_));
    }
    if (overruns != reportedOverruns_) {
        std::fprintf(stderr,
                     "ZYN_MOUSE: received MIDI messages lost: the MIDI system's input buffer "
                     "overran %llu times\n",
                     static_cast<unsigned long long>(overruns - reportedOverruns_));
    }
    reportedLost_ = lost;
    reportedOverruns_ = overruns;
    lastLossReport_ = now;
}

// Never destroyed: libjack's and the service thread's work may outlive main.
Front& F()
{
    static Front* front = new Front();
    return *front;
}

void AskDrain()
{
    F().WantDrain();
}
void KickService()
{
    F().Kick();
}
void AskNames()
{
    F().WantNames();
}

bool NameOf(const std::vector<Listed>& list, int index, char* name, size_t size)
{
    if (index < 0 || static_cast<size_t>(index) >= list.size() || name == nullptr || size == 0)
        return false;
    CopyDeviceName(list[static_cast<size_t>(index)].port.shown, name, size);
    return true;
}

uint64_t IdOf(const std::vector<Listed>& list, int index)
{
    return index < 0 || static_cast<size_t>(index) >= list.size()
               ? 0
               : list[static_cast<size_t>(index)].id;
}

} // namespace

bool WaitServiceIdle(int timeoutMs)
{
    return F().WaitIdle(timeoutMs);
}

} // namespace zm_midi

using zm_midi::F;

void PlatMidiRescan()
{
    F().Rescan();
}
uint32_t PlatMidiEpoch()
{
    return F().Epoch();
}
int PlatMidiInCount()
{
    return static_cast<int>(F().Inputs().size());
}
int PlatMidiOutCount()
{
    return static_cast<int>(F().Outputs().size());
}
bool PlatMidiInName(int index, char* name, size_t size)
{
    return zm_midi::NameOf(F().Inputs(), index, name, size);
}
bool PlatMidiOutName(int index, char* name, size_t size)
{
    return zm_midi::NameOf(F().Outputs(), index, name, size);
}
uint64_t PlatMidiInId(int index)
{
    return zm_midi::IdOf(F().Inputs(), index);
}
uint64_t PlatMidiOutId(int index)
{
    return zm_midi::IdOf(F().Outputs(), index);
}
int PlatMidiInOpen(PlatMidiHandle* handle, int index)
{
    return F().Open(handle, index, true);
}
int PlatMidiInStart(PlatMidiHandle handle)
{
    return F().Run(handle, true);
}
int PlatMidiInStop(PlatMidiHandle handle)
{
    return F().Run(handle, false);
}
int PlatMidiInClose(PlatMidiHandle handle)
{
    return F().Close(handle, true);
}
int PlatMidiOutOpen(PlatMidiHandle* handle, int index)
{
    return F().Open(handle, index, false);
}
int PlatMidiOutClose(PlatMidiHandle handle)
{
    return F().Close(handle, false);
}
int PlatMidiOutShortMsg(PlatMidiHandle handle, uint32_t message)
{
    return F().Send(handle, message);
}
void PlatMidiSetWake(void (*wake)())
{
    F().SetWake(wake);
}
size_t PlatMidiDrain(void (*sink)(PlatMidiHandle handle, uint32_t message))
{
    return F().Drain(sink);
}
