// A MIDI load for long runs: a JACK client with several output ports that each play a
// numbered stream at a steady rate, and one input port that checks what comes back.
// Everything runs in the process callback without allocating, so the test process's own
// memory stays flat and the program's can be judged.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <string>
#include <vector>

namespace zm_test {

class JackLoad {
  public:
    // streams: output ports; perStream: messages each; ratePerSecond: per stream.
    JackLoad(const std::string& clientName, int streams, int perStream, double ratePerSecond);
    ~JackLoad();
    JackLoad(const JackLoad&) = delete;
    JackLoad& operator=(const JackLoad&) = delete;

    bool Ok() const { return client_ != nullptr; }
    std::string OutName(int stream) const;
    std::string InName() const;

    void Start() { running_.store(true); }
    bool AllSent() const;
    long Received(int stream) const { return received_[stream].load(); }
    long OutOfOrder() const { return outOfOrder_.load(); }
    long Notes() const { return notes_.load(); }
    long Foreign() const { return foreign_.load(); }
    // Cycles the server reported late: JACK itself may drop MIDI then.
    long Xruns() const { return xruns_.load(); }

  private:
    static int Process(jack_nframes_t frames, void* arg);
    void Play(jack_nframes_t frames);
    void Check(jack_nframes_t frames);

    static constexpr int kMaxStreams = 8;
    jack_client_t* client_ = nullptr;
    std::vector<jack_port_t*> outs_;
    jack_port_t* in_ = nullptr;
    int streams_;
    int perStream_;
    double perFrame_ = 0; // messages per frame per stream
    std::atomic<bool> running_{false};
    double due_ = 0; // messages each stream owes so far (process thread only)
    int sent_[kMaxStreams] = {};
    std::atomic<int> sentAll_{0};
    int expected_[kMaxStreams] = {}; // process thread only
    std::atomic<long> received_[kMaxStreams] = {};
    std::atomic<long> outOfOrder_{0}, notes_{0}, foreign_{0}, xruns_{0};
};

} // namespace zm_test
