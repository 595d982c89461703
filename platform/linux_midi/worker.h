// A thread of the front's own that runs the jobs posted to it, in order, woken through an
// eventfd. The front has two: the service thread, which also waits on the ALSA clients'
// descriptors, and the probe thread, which runs what may wait on libjack for good.
#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace zm_midi {

class Worker {
  public:
    Worker() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

    // The thread runs loop for good: the front is never destroyed, nor is its worker.
    void Start(std::function<void()> loop) { thread_ = std::thread(std::move(loop)); }

    // Any thread. Safe on a real-time thread: one write to the eventfd.
    void Kick()
    {
        const uint64_t one = 1;
        // A full counter already means "look again"; nothing else can go wrong here.
        [[maybe_unused]] ssize_t r = write(fd_, &one, sizeof one);
    }
    // Any thread but a real-time one.
    void Post(std::function<void()> job)
    {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        Kick();
    }

    // The worker's thread: waits until kicked, until one of fds[1..n) is ready or for
    // timeoutMs (-1: no limit), then runs the jobs posted so far. fds[0] is the worker's
    // own. Returns whether any job ran.
    bool WaitAndRun(pollfd* fds, int n, int timeoutMs)
    {
        fds[0] = pollfd{fd_, POLLIN, 0};
        poll(fds, static_cast<nfds_t>(n), timeoutMs);
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] ssize_t r = read(fd_, &count, sizeof count);
        }
        std::vector<std::function<void()>> jobs;
        {
            std::lock_guard lock(mutex_);
            jobs.swap(jobs_);
        }
        for (auto& job : jobs)
            job();
        return !jobs.empty();
    }

  private:
    int fd_ = -1;
    std::mutex mutex_;
    std::vector<std::function<void()>> jobs_; // guarded by mutex_
    std::thread thread_;
};

} // namespace zm_midi
