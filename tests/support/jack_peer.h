// The other side of a MIDI connection in tests: a JACK client written directly on
// libjack with one MIDI output and one MIDI input port.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace zm_test {

class JackPeer {
  public:
    struct Event {
        std::vector<uint8_t> bytes;
        jack_nframes_t frame; // absolute frame time of the event
    };

    JackPeer(const std::string& clientName, const std::string& outPort, const std::string& inPort);
    ~JackPeer();
    JackPeer(const JackPeer&) = delete;
    JackPeer& operator=(const JackPeer&) = delete;

    bool Ok() const { return client_ != nullptr && out_ != nullptr && in_ != nullptr; }
    // "client:port" of one of this client's ports.
    std::string FullName(const std::string& port) const;
    std::string OutName() const;
    std::string InName() const;

    // Queues one event for the output port; it goes out in the next period.
    void Send(const std::vector<uint8_t>& bytes);
    // At most this many events a period (a steady stream instead of full buffers).
    void SetPerPeriod(size_t count)
    {
        std::lock_guard lock(mutex_);
        perPeriod_ = count;
    }
    bool AllSent() const
    {
        std::lock_guard lock(mutex_);
        return outgoing_.empty();
    }
    std::vector<Event> Received() const;
    // Waits (bounded) until at least count events have arrived.
    bool WaitReceived(size_t count, int timeoutMs) const;
    void ClearReceived();
    // Periods the server ran late since this client started; each may have dropped what
    // one client wrote for the next.
    int Xruns() const { return xruns_.load(); }

    bool AddPort(const std::string& name, bool output);
    bool RemovePort(const std::string& name);
    bool SetPrettyName(const std::string& port, const std::string& pretty);
    bool SetAlias(const std::string& port, const std::string& alias);
    bool Rename(const std::string& port, const std::string& name);
    // Any two ports, by full name; the connections of others' ports too.
    bool Connect(const std::string& from, const std::string& to);
    bool Connected(const std::string& from, const std::string& to) const;

    // Closes the client; safe after its server died.
    void Close();

  private:
    static int Process(jack_nframes_t frames, void* arg);
    static int OnXrun(void* arg);

    jack_client_t* client_ = nullptr;
    jack_port_t* out_ = nullptr;
    jack_port_t* in_ = nullptr;
    std::map<std::string, jack_port_t*> extra_;
    std::atomic<int> xruns_{0};
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> outgoing_; // guarded by mutex_
    size_t nextOut_ = 0;                         // guarded by mutex_
    size_t perPeriod_ = SIZE_MAX;                // guarded by mutex_
    std::vector<Event> received_;                // guarded by mutex_
};

} // namespace zm_test
