// MIDI services of platform.h on RtMidi: JACK when a server answers, else the ALSA
// sequencer, else no devices.
#include <jack/jack.h>
#include <jack/metadata.h>
#include <pthread.h>
#include <rtmidi/RtMidi.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <deque>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "platform/rtmidi/midi_bytes.h"

namespace {

using zm_rtmidi::CopyDeviceName;
using zm_rtmidi::InQueue;
using zm_rtmidi::PackShort;
using zm_rtmidi::UnpackShort;

// Every client of ours carries this prefix, so our own ports can be told apart from the
// devices (JACK and ALSA both list them).
constexpr const char* kPrefix = "ZYN_MOUSE";

enum Result : int {
    kOk = 0,
    kFailed = 1,
    kNoDevice = 2,
    kBadHandle = 5,
    kBadParam = 11,
};

enum class Api { None, Jack, Alsa };

const char* ApiName(Api api) {
    switch (api) {
        case Api::Jack: return "JACK";
        case Api::Alsa: return "ALSA sequencer";
        default: return "none";
    }
}

RtMidi::Api RtApi(Api api) { return api == Api::Jack ? RtMidi::UNIX_JACK : RtMidi::LINUX_ALSA; }

bool IsOurs(const std::string& rtName) { return rtName.rfind(kPrefix, 0) == 0; }

// Once an RtMidi object exists its errors come here instead of as exceptions, so that
// warnings (port gone, ring full) do not spill onto stderr.
struct RtErrors {
    bool failed = false;
    std::string text;
};

void OnRtError(RtMidiError::Type type, const std::string& text, void* user) {
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) return;
    auto* errors = static_cast<RtErrors*>(user);
    errors->failed = true;
    errors->text = text;
}

// libjack reports every failed connection attempt on stderr; we probe every few seconds.
void QuietJack(const char*) {}

void BlockSigpipe() {
    // Closing a client of a dead server writes into its closed socket.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// A client of our own that only watches the server: it learns that the server is gone
// and gives the ports their readable names.
InQueue& Queue();

// RtMidi hands JACK output through a fixed ring that refuses what does not fit, and the
// port takes only so much per period: a burst is paced out at this many messages per
// output and period, the rest waits in the device's backlog.
constexpr int kSendsPerPeriod = 256;

class JackWatch {
public:
    bool Open() {
        jack_status_t status{};
        client_ = jack_client_open("ZYN_MOUSE watch", JackNoStartServer, &status);
        if (client_ == nullptr) return false;
        lost_.store(false);
        jack_on_shutdown(client_, &JackWatch::OnShutdown, this);
        jack_set_process_callback(client_, &JackWatch::OnProcess, this);
        if (jack_activate(client_) != 0) {
            jack_client_close(client_);
            client_ = nullptr;
            return false;
        }
        return true;
    }

    bool IsOpen() const { return client_ != nullptr; }
    bool Lost() const { return client_ != nullptr && lost_.load(); }

    // Hands the client over for closing; the caller closes it (the server may be dead).
    jack_client_t* Release() {
        jack_client_t* c = client_;
        client_ = nullptr;
        return c;
    }

    // The port's pretty name when its owner set one, else "client:port".
    std::string Shown(const std::string& fullName) const {
        if (client_ == nullptr) return fullName;
        jack_port_t* port = jack_port_by_name(client_, fullName.c_str());
        if (port == nullptr) return fullName;
        std::string shown = fullName;
        char* value = nullptr;
        char* type = nullptr;
        if (jack_get_property(jack_port_uuid(port), JACK_METADATA_PRETTY_NAME, &value, &type) == 0) {
            if (value != nullptr && value[0] != '\0') shown = value;
        }
        if (value != nullptr) jack_free(value);
        if (type != nullptr) jack_free(type);
        return shown;
    }

    // The JACK period now running, counted from the server's start (any thread).
    uint64_t Period() const {
        if (client_ == nullptr) return 0;
        const jack_nframes_t size = jack_get_buffer_size(client_);
        return size == 0 ? 0 : jack_frame_time(client_) / size;
    }

    // While a backlog waits, every period brings the UI thread round to send more.
    void SetBacklog(bool waiting) { backlog_.store(waiting, std::memory_order_relaxed); }

private:
    static void OnShutdown(void* arg) { static_cast<JackWatch*>(arg)->lost_.store(true); }
    static int OnProcess(jack_nframes_t, void* arg) {
        if (static_cast<JackWatch*>(arg)->backlog_.load(std::memory_order_relaxed)) Queue().WakeNow();
        return 0;
    }

    jack_client_t* client_ = nullptr;
    std::atomic<bool> lost_{false};
    std::atomic<bool> backlog_{false};
};

// What the input callback needs; it outlives the RtMidiIn that calls it.
struct InTap {
    PlatMidiHandle handle = 0;
    std::atomic<bool> running{false};
};

struct InDevice {
    Api api = Api::None;
    std::unique_ptr<InTap> tap;
    std::unique_ptr<RtMidiIn> midi;  // null once its server is gone
};

struct OutDevice {
    Api api = Api::None;
    std::unique_ptr<RtMidiOut> midi;  // null once its server is gone
    std::deque<std::array<uint8_t, 4>> backlog;  // bytes, then their count; JACK only
    uint64_t period = 0;
    int sentInPeriod = 0;
};

struct Listed {
    std::string rtName;  // what RtMidi calls it, to find it again at open
    std::string shown;
};

// ALSA names end in the numeric address ("Synth:Synth MIDI 1 20:0"), noise for a list.
std::string AlsaShown(const std::string& rtName) {
    const size_t space = rtName.rfind(' ');
    if (space == std::string::npos) return rtName;
    const std::string tail = rtName.substr(space + 1);
    const size_t colon = tail.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == tail.size()) return rtName;
    for (size_t i = 0; i < tail.size(); ++i) {
        if (i != colon && (tail[i] < '0' || tail[i] > '9')) return rtName;
    }
    return rtName.substr(0, space);
}

InQueue& Queue() {
    static InQueue* queue = new InQueue();  // never destroyed: input threads may outlive main
    return *queue;
}

void OnInput(double, std::vector<unsigned char>* message, void* user) {
    auto* tap = static_cast<InTap*>(user);
    if (message == nullptr || !tap->running.load(std::memory_order_acquire)) return;
    uint32_t word = 0;
    if (PackShort(message->data(), message->size(), &word)) Queue().Push(tap->handle, word);
}

template <typename T>
int FindPort(T& midi, const std::string& rtName) {
    const unsigned count = midi.getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        if (midi.getPortName(i) == rtName) return static_cast<int>(i);
    }
    return -1;
}

class Backend {
public:
    Backend() {
        jack_set_error_function(QuietJack);
        jack_set_info_function(QuietJack);
    }

    void Rescan() {
        scanned_ = true;
        const Api before = api_;
        bool lost = false;
        if (api_ == Api::Jack && watch_.Lost()) {
            DropJack();
            lost = true;
        }

        std::string why;
        Api found = Api::None;
        if (api_ == Api::Jack || watch_.Open()) {
            found = Api::Jack;
        } else if (api_ == Api::Alsa) {
            found = Api::Alsa;
        } else {
            // Without the device node RtMidi and alsa-lib would each complain on stderr at
            // every check.
            if (access("/dev/snd/seq", R_OK | W_OK) != 0) {
                why = "no JACK server answers and the ALSA sequencer is not available (/dev/snd/seq: " +
                      std::string(std::strerror(errno)) + ")";
            } else if (MakeScanners(Api::Alsa, &why)) {
                found = Api::Alsa;
            }
        }

        if (found == Api::Jack && api_ != Api::Jack) {
            inScan_.reset();
            outScan_.reset();
            if (!MakeScanners(Api::Jack, &why)) {
                jack_client_close(watch_.Release());
                found = Api::None;
            }
        }
        if (found == Api::None) {
            inScan_.reset();
            outScan_.reset();
        }
        api_ = found;

        if (lost || (everFound_ && found != before)) ++epoch_;
        if (found != Api::None) everFound_ = true;
        Report(found == Api::None && why.empty() ? "no JACK server answers and the ALSA sequencer is not available"
                                                 : why);
        List();
    }

    uint32_t Epoch() const { return epoch_; }

    const std::vector<Listed>& Inputs() {
        if (!scanned_) Rescan();
        return inList_;
    }
    const std::vector<Listed>& Outputs() {
        if (!scanned_) Rescan();
        return outList_;
    }

    int InOpen(PlatMidiHandle* handle, int index) {
        if (handle == nullptr) return kBadParam;
        NoticeLoss();
        const std::vector<Listed>& list = Inputs();
        if (index < 0 || static_cast<size_t>(index) >= list.size() || api_ == Api::None) return kNoDevice;
        auto tap = std::make_unique<InTap>();
        std::unique_ptr<RtMidiIn> midi;
        try {
            midi = std::make_unique<RtMidiIn>(RtApi(api_), std::string(kPrefix) + " in");
            errors_ = RtErrors{};
            midi->setErrorCallback(OnRtError, &errors_);
            const int port = FindPort(*midi, list[static_cast<size_t>(index)].rtName);
            if (port < 0) return kNoDevice;
            midi->ignoreTypes(true, false, false);
            midi->setCallback(OnInput, tap.get());
            midi->openPort(static_cast<unsigned>(port), "in");
            if (errors_.failed || !midi->isPortOpen()) return kFailed;
        } catch (const RtMidiError&) {
            return kFailed;
        }
        const PlatMidiHandle h = next_++;
        tap->handle = h;
        ins_[h] = InDevice{api_, std::move(tap), std::move(midi)};
        *handle = h;
        return kOk;
    }

    int InStart(PlatMidiHandle handle, bool run) {
        auto it = ins_.find(handle);
        if (it == ins_.end()) return kBadHandle;
        if (it->second.midi == nullptr) return run ? kFailed : kOk;
        it->second.tap->running.store(run, std::memory_order_release);
        return kOk;
    }

    int InClose(PlatMidiHandle handle) {
        NoticeLoss();  // a dead server's clients must not be closed one by one
        auto it = ins_.find(handle);
        if (it == ins_.end()) return kBadHandle;
        InDevice device = std::move(it->second);
        ins_.erase(it);
        device.tap->running.store(false);
        device.midi.reset();  // stops its thread before the tap goes
        return kOk;
    }

    int OutOpen(PlatMidiHandle* handle, int index) {
        if (handle == nullptr) return kBadParam;
        NoticeLoss();
        const std::vector<Listed>& list = Outputs();
        if (index < 0 || static_cast<size_t>(index) >= list.size() || api_ == Api::None) return kNoDevice;
        std::unique_ptr<RtMidiOut> midi;
        try {
            midi = std::make_unique<RtMidiOut>(RtApi(api_), std::string(kPrefix) + " out");
            errors_ = RtErrors{};
            midi->setErrorCallback(OnRtError, &errors_);
            const int port = FindPort(*midi, list[static_cast<size_t>(index)].rtName);
            if (port < 0) return kNoDevice;
            midi->openPort(static_cast<unsigned>(port), "out");
            if (errors_.failed || !midi->isPortOpen()) return kFailed;
        } catch (const RtMidiError&) {
            return kFailed;
        }
        *handle = next_++;
        OutDevice& device = outs_[*handle];
        device.api = api_;
        device.midi = std::move(midi);
        return kOk;
    }

    int OutClose(PlatMidiHandle handle) {
        NoticeLoss();
        auto it = outs_.find(handle);
        if (it == outs_.end()) return kBadHandle;
        outs_.erase(it);
        return kOk;
    }

    int Send(PlatMidiHandle handle, uint32_t word) {
        auto it = outs_.find(handle);
        if (it == outs_.end()) return kBadHandle;
        uint8_t bytes[3];
        const int n = UnpackShort(word, bytes);
        if (n == 0) return kBadParam;
        OutDevice& device = it->second;
        if (device.midi == nullptr || (device.api == Api::Jack && watch_.Lost())) return kFailed;
        if (device.api == Api::Jack) {
            Pace(device);
            if (!device.backlog.empty() || device.sentInPeriod >= kSendsPerPeriod) {
                device.backlog.push_back({bytes[0], bytes[1], bytes[2], static_cast<uint8_t>(n)});
                watch_.SetBacklog(true);
                return kOk;
            }
        }
        return Write(device, bytes, n);
    }

    // Sends what the outputs' backlogs may send in this period (UI thread).
    void Flush() {
        bool waiting = false;
        for (auto& [handle, device] : outs_) {
            if (device.backlog.empty()) continue;
            if (device.midi == nullptr || watch_.Lost()) {
                device.backlog.clear();  // its server is gone, and these with it
                continue;
            }
            Pace(device);
            while (!device.backlog.empty() && device.sentInPeriod < kSendsPerPeriod) {
                const auto& m = device.backlog.front();
                Write(device, m.data(), m[3]);
                device.backlog.pop_front();
            }
            waiting |= !device.backlog.empty();
        }
        watch_.SetBacklog(waiting);
    }

private:
    // A new period gives every output a fresh budget.
    void Pace(OutDevice& device) {
        const uint64_t period = watch_.Period();
        if (period != device.period) {
            device.period = period;
            device.sentInPeriod = 0;
        }
    }

    int Write(OutDevice& device, const uint8_t* bytes, int n) {
        errors_ = RtErrors{};
        ++device.sentInPeriod;
        try {
            device.midi->sendMessage(bytes, static_cast<size_t>(n));
        } catch (const RtMidiError&) {
            return kFailed;
        }
        return errors_.failed ? kFailed : kOk;
    }

    bool MakeScanners(Api api, std::string* why) {
        try {
            auto in = std::make_unique<RtMidiIn>(RtApi(api), std::string(kPrefix) + " scan");
            auto out = std::make_unique<RtMidiOut>(RtApi(api), std::string(kPrefix) + " scan");
            in->setErrorCallback(OnRtError, &errors_);
            out->setErrorCallback(OnRtError, &errors_);
            inScan_ = std::move(in);
            outScan_ = std::move(out);
            return true;
        } catch (const RtMidiError& e) {
            *why = std::string(api == Api::Alsa ? "no JACK server answers and the " : "the ") + ApiName(api) +
                   " cannot be opened (" + e.getMessage() + ")";
            return false;
        }
    }

    void List() {
        inList_.clear();
        outList_.clear();
        if (api_ == Api::None) return;
        auto shown = [this](const std::string& rtName) {
            return api_ == Api::Jack ? watch_.Shown(rtName) : AlsaShown(rtName);
        };
        const unsigned ni = inScan_->getPortCount();
        for (unsigned i = 0; i < ni; ++i) {
            std::string name = inScan_->getPortName(i);
            if (!name.empty() && !IsOurs(name)) inList_.push_back(Listed{name, shown(name)});
        }
        const unsigned no = outScan_->getPortCount();
        for (unsigned i = 0; i < no; ++i) {
            std::string name = outScan_->getPortName(i);
            if (!name.empty() && !IsOurs(name)) outList_.push_back(Listed{name, shown(name)});
        }
    }

    // A server that went away between scans: let go of it now, before anything could
    // open a new client (libjack reclaims dead clients on the next open, and closing them
    // after that would touch freed memory).
    void NoticeLoss() {
        if (api_ != Api::Jack || !watch_.Lost()) return;
        DropJack();
        ++epoch_;
        Report("the JACK server went away");
        inList_.clear();
        outList_.clear();
    }

    // Closes every client of the dead server. RtMidi waits up to a second for a JACK
    // output to flush, which a dead server never does, so they all close side by side.
    void DropJack() {
        // The taps stay with their handles and outlive the objects closed here.
        std::vector<std::unique_ptr<RtMidiIn>> graveIn;
        std::vector<std::unique_ptr<RtMidiOut>> graveOut;
        for (auto& [h, device] : ins_) {
            if (device.api != Api::Jack || device.midi == nullptr) continue;
            device.tap->running.store(false);
            graveIn.push_back(std::move(device.midi));
        }
        for (auto& [h, device] : outs_) {
            if (device.api == Api::Jack && device.midi != nullptr) graveOut.push_back(std::move(device.midi));
        }
        if (api_ == Api::Jack) {
            if (inScan_ != nullptr) graveIn.push_back(std::move(inScan_));
            if (outScan_ != nullptr) graveOut.push_back(std::move(outScan_));
        }
        jack_client_t* watcher = watch_.Release();

        std::vector<std::thread> closers;
        for (auto& in : graveIn) {
            closers.emplace_back([p = std::move(in)]() mutable {
                BlockSigpipe();
                p.reset();
            });
        }
        for (auto& out : graveOut) {
            closers.emplace_back([p = std::move(out)]() mutable {
                BlockSigpipe();
                p.reset();
            });
        }
        if (watcher != nullptr) {
            closers.emplace_back([watcher] {
                BlockSigpipe();
                jack_client_close(watcher);
            });
        }
        for (std::thread& t : closers) t.join();
        api_ = Api::None;
    }

    void Report(const std::string& why) {
        std::string line;
        if (api_ == Api::None) {
            line = "ZYN_MOUSE: no MIDI devices: " + why;
        } else {
            line = std::string("ZYN_MOUSE: MIDI devices from ") + ApiName(api_);
        }
        if (line == lastReport_) return;
        lastReport_ = line;
        std::fprintf(stderr, "%s\n", line.c_str());
    }

    Api api_ = Api::None;
    bool scanned_ = false;
    bool everFound_ = false;
    uint32_t epoch_ = 0;
    PlatMidiHandle next_ = 1;
    JackWatch watch_;
    RtErrors errors_;
    std::unique_ptr<RtMidiIn> inScan_;
    std::unique_ptr<RtMidiOut> outScan_;
    std::vector<Listed> inList_;
    std::vector<Listed> outList_;
    std::unordered_map<PlatMidiHandle, InDevice> ins_;
    std::unordered_map<PlatMidiHandle, OutDevice> outs_;
    std::string lastReport_;
};

// Never destroyed: the devices stay open until the process ends, and closing JACK
// clients from a static destructor races libjack's own teardown.
Backend& B() {
    static Backend* backend = new Backend();
    return *backend;
}

bool NameOf(const std::vector<Listed>& list, int index, char* name, size_t size) {
    if (index < 0 || static_cast<size_t>(index) >= list.size() || name == nullptr || size == 0) return false;
    CopyDeviceName(list[static_cast<size_t>(index)].shown, name, size);
    return true;
}

}  // namespace

void PlatMidiRescan() { B().Rescan(); }
uint32_t PlatMidiEpoch() { return B().Epoch(); }
int PlatMidiInCount() { return static_cast<int>(B().Inputs().size()); }
int PlatMidiOutCount() { return static_cast<int>(B().Outputs().size()); }
bool PlatMidiInName(int index, char* name, size_t size) { return NameOf(B().Inputs(), index, name, size); }
bool PlatMidiOutName(int index, char* name, size_t size) { return NameOf(B().Outputs(), index, name, size); }
int PlatMidiInOpen(PlatMidiHandle* handle, int index) { return B().InOpen(handle, index); }
int PlatMidiInStart(PlatMidiHandle handle) { return B().InStart(handle, true); }
int PlatMidiInStop(PlatMidiHandle handle) { return B().InStart(handle, false); }
int PlatMidiInClose(PlatMidiHandle handle) { return B().InClose(handle); }
int PlatMidiOutOpen(PlatMidiHandle* handle, int index) { return B().OutOpen(handle, index); }
int PlatMidiOutClose(PlatMidiHandle handle) { return B().OutClose(handle); }
int PlatMidiOutShortMsg(PlatMidiHandle handle, uint32_t message) { return B().Send(handle, message); }
void PlatMidiSetWake(void (*wake)()) { Queue().SetWake(wake); }
size_t PlatMidiDrain(void (*sink)(PlatMidiHandle handle, uint32_t message)) {
    B().Flush();
    return Queue().Drain(sink);
}
