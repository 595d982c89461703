// A private JACK server for one test process: dummy driver, no sound hardware needed.
#pragma once

#include <sys/types.h>

#include <string>

namespace zm_test {

class JackServer {
  public:
    // Picks a name unique to this process; JACK_DEFAULT_SERVER is set to it at Start.
    // Long runs may ask for a longer period, which rides out a busy machine's stalls.
    // Realtime by default: that is what musicians run, and where loss is judged.
    explicit JackServer(int periodFrames = 128, bool realtime = true);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // Starts jackd and waits (bounded) until a client can connect. False on failure.
    // With ZM_TEST_JACK_EXTERNAL set, uses the running default server (PipeWire's JACK)
    // instead; stopping and killing it are then left to its owner.
    static bool External();
    bool Start();
    // SIGTERM, then SIGKILL if it has not gone within a bounded wait.
    void Stop();
    // SIGKILL at once, as a crash would.
    void Kill();
    // SIGSTOP: the server stops answering, and a client being opened waits for it.
    void Pause();
    void Resume();
    bool Running() const { return pid_ > 0; }
    const std::string& Name() const { return name_; }

  private:
    bool WaitReady(int timeoutMs);
    bool Reap(int timeoutMs);

    std::string name_;
    std::string period_;
    bool realtime_;
    int nameLock_ = -1;
    pid_t pid_ = -1;
};

} // namespace zm_test
