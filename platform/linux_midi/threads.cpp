// What the front's two threads run. The service thread serves the ALSA clients it opened
// and says what was lost; the probe thread reads names for the JACK client it opened. Both
// run the jobs posted to them first.
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/linux_midi/backends.h"
#include "platform/linux_midi/front.h"

namespace zm_midi {

// Straight from the producer's thread, a real-time one included: the wake only writes a
// counter (a hop through the service thread cost a thread switch a message).
void Front::WantDrain()
{
    if (void (*wake)() = wake_.load(std::memory_order_acquire))
        wake();
}

void Front::WantNames()
{
    namesWanted_.store(true, std::memory_order_release);
    probe_.Kick();
}

bool Front::WaitIdle(int timeoutMs)
{
    auto done = std::make_shared<int>(0);
    auto mark = [this, done] {
        std::lock_guard lock(mutex_);
        ++*done;
        probeDone_.notify_all();
    };
    service_.Post(mark);
    probe_.Post(mark);
    std::unique_lock lock(mutex_);
    return probeDone_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return *done == 2; });
}

void Front::ServiceLoop()
{
    constexpr int kMaxFds = 16;
    pollfd fds[kMaxFds];
    int owner[kMaxFds]; // index into served_ of each fd after the first
    int timeout = -1;
    for (;;) {
        int n = 1;
        for (size_t i = 0; i < served_.size(); ++i) {
            const int got = served_[i]->PollFds(fds + n, kMaxFds - n);
            for (int f = 0; f < got; ++f)
                owner[n + f] = static_cast<int>(i);
            n += got;
        }
        const bool unreported =
            in_.Lost() != reportedLost_ || overruns_.load() != reportedOverruns_;
        if (unreported && (timeout < 0 || timeout > 1000))
            timeout = 1000;
        if (service_.WaitAndRun(fds, n, timeout)) {
            // served_ may have changed under the fds: look again at once.
            timeout = 0;
            continue;
        }

        timeout = -1;
        for (size_t i = 0; i < served_.size(); ++i) {
            int first = 1;
            while (first < n && owner[first] != static_cast<int>(i))
                ++first;
            int count = 0;
            while (first + count < n && owner[first + count] == static_cast<int>(i))
                ++count;
            const int want = served_[i]->Serve(fds + first, count);
            if (want >= 0 && (timeout < 0 || want < timeout))
                timeout = want;
        }
        ReportLosses();
    }
}

void Front::ProbeLoop()
{
    for (;;) {
        pollfd fd;
        probe_.WaitAndRun(&fd, 1, -1);
        if (namesWanted_.exchange(false, std::memory_order_acq_rel) && jackServed_ != nullptr)
            jackServed_->FetchNames();
    }
}

bool WaitServiceIdle(int timeoutMs)
{
    return TheFront().WaitIdle(timeoutMs);
}

bool WaitConnected(int timeoutMs)
{
    for (int waited = 0; !TheFront().Connected(); ++waited) {
        if (waited == timeoutMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace zm_midi
