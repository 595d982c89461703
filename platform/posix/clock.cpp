// Clock on POSIX (no toolkit): the monotonic millisecond time and the 1 ms
// tick thread. Contract: platform/platform.h.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/tick.h"

namespace {

constexpr long kPeriodNs = 1'000'000;
constexpr int64_t kMaxLagNs = 50'000'000; // further behind than this: skip, do not burst

struct Tick {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> stop; // one flag per thread, shared with it
};

std::atomic<uint32_t> gLastTick{0};
std::atomic<bool> gTicking{false};

Tick& TheTick()
{
    static Tick* tick = new Tick; // never destroyed (a joinable std::thread must not be)
    return *tick;
}

int64_t Ns(const timespec& t)
{
    return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void TickLoop(void (*callback)(), std::shared_ptr<std::atomic<bool>> stop)
{
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!stop->load(std::memory_order_acquire)) {
        next.tv_nsec += kPeriodNs;
        if (next.tv_nsec >= 1'000'000'000) {
            next.tv_nsec -= 1'000'000'000;
            ++next.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        if (stop->load(std::memory_order_acquire)) {
            break;
        }
        gLastTick.store(PlatTimeMs(), std::memory_order_release);
        callback();
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (Ns(now) - Ns(next) > kMaxLagNs) {
            next = now; // stalled (suspend, debugger): go on from now
        }
    }
}

} // namespace

uint32_t PlatTimeMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000u;
    return static_cast<uint32_t>(ms);
}

bool PlatStartTick(void (*callback)())
{
    Tick& t = TheTick();
    if (callback == nullptr || t.thread.joinable()) {
        return false;
    }
    try {
        t.stop = std::make_shared<std::atomic<bool>>(false);
        t.thread = std::thread(TickLoop, callback, t.stop);
    } catch (...) {
        return false;
    }
    gTicking.store(true, std::memory_order_release);
    pthread_setname_np(t.thread.native_handle(), "zm-tick");
    return true;
}

void PlatStopTick()
{
    Tick& t = TheTick();
    if (!t.thread.joinable()) {
        return;
    }
    t.stop->store(true, std::memory_order_release);
    gTicking.store(false, std::memory_order_release);
    if (t.thread.get_id() == std::this_thread::get_id()) {
        t.thread.detach(); // stopped from its own callback: it ends after this call
        return;
    }
    t.thread.join();
}

bool zm_posix::LastTick(uint32_t* ms)
{
    *ms = gLastTick.load(std::memory_order_acquire);
    return gTicking.load(std::memory_order_acquire);
}
