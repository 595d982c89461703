// A JACK client on libjack for the thru benchmarks: MIDI output ports that play a loaded
// list of messages (a few per period at set places, or as many as the port takes), MIDI
// input ports that keep what arrives, everything stamped with its absolute frame time.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zm_bench {

struct MidiMsg {
    uint8_t bytes[3] = {};
    uint8_t size = 0;
};

inline bool SameMsg(const MidiMsg& a, const MidiMsg& b)
{
    if (a.size != b.size)
        return false;
    for (int i = 0; i < a.size; ++i)
        if (a.bytes[i] != b.bytes[i])
            return false;
    return true;
}

class BenchPeer {
  public:
    struct Received {
        MidiMsg msg;
        jack_nframes_t frame;
    };

    explicit BenchPeer(const std::string& name);
    ~BenchPeer();
    BenchPeer(const BenchPeer&) = delete;
    BenchPeer& operator=(const BenchPeer&) = delete;

    // Ports are added before Activate; indices count from 0 on each side.
    bool AddOutput(const std::string& port);
    bool AddInput(const std::string& port, size_t capacity);
    bool Activate();
    bool Ok() const { return client_ != nullptr; }
    jack_client_t* Client() const { return client_; }
    std::string OutName(int out) const;
    std::string InName(int in) const;

    // perPeriod > 0: that many each period, spread evenly over it (the first at a place
    // that moves from period to period); 0: as many as the port buffer takes, at frame 0.
    // Only while stopped.
    void Load(int out, std::vector<MidiMsg> messages, int perPeriod);
    void Start(); // every loaded output begins in the next period
    void Stop();
    size_t SentCount(int out) const;
    jack_nframes_t SentFrame(int out, size_t i) const;
    const std::vector<MidiMsg>& Loaded(int out) const;
    size_t ReceivedCount(int in) const;
    const Received& ReceivedAt(int in, size_t i) const;
    size_t ReceivedOverflow(int in) const;
    void ClearReceived(int in);
    // Periods in which an output could not take all it was offered.
    uint64_t FullPeriods() const { return fullPeriods_.load(); }
    // Periods the server reported late (xruns) since the client was activated.
    uint64_t Xruns() const { return xruns_.load(); }

  private:
    struct Out {
        jack_port_t* port = nullptr;
        std::vector<MidiMsg> messages;
        std::vector<jack_nframes_t> sentFrames;
        int perPeriod = 0;
        std::atomic<size_t> next{0};
    };
    struct In {
        jack_port_t* port = nullptr;
        std::vector<Received> events;
        std::atomic<size_t> count{0};
        std::atomic<size_t> overflow{0};
    };

    static int Process(jack_nframes_t frames, void* arg);
    static int OnXrun(void* arg);

    jack_client_t* client_ = nullptr;
    std::vector<std::unique_ptr<Out>> outs_;
    std::vector<std::unique_ptr<In>> ins_;
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> fullPeriods_{0};
    std::atomic<uint64_t> xruns_{0};
    uint32_t period_ = 0; // process thread only
};

} // namespace zm_bench
