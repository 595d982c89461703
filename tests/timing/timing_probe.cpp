// When the program's notes leave, measured from outside as a musician's setup sees it: a
// JACK client plays into the program's first input at known frames, another reads its output;
// an XTest keyboard strikes F1 at absolute deadlines. Beside them, the same schedule runs
// through a direct connection of the probe's own ports, the reference.
//
//   zm_timing_probe thru COUNT SPACING    the thru's latency, frame by frame
//   zm_timing_probe keys COUNT INTERVAL   F1's note-on intervals against the played ones (ms)
//   zm_timing_probe burst SOURCES COUNT   SOURCES inputs play COUNT messages each in one period
//   zm_timing_probe raw                   a note-on of velocity 0 through the thru
//
// Prints one line of figures (name=value) and "N passed, N failed" for what it checks:
// nothing lost, nothing reordered, and the limits given by ZM_MAX_SPREAD (frames) and
// ZM_MAX_KEY_ERROR_MS (95 % of the intervals within it) when they are set. When every
// failure may be the machine's (a limit missed, or a loss while the server reported that
// it ran late), it also prints "retry": a slow fault of ours misses the limit every time.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kSources = 4;

struct Scheduled {
    jack_nframes_t frame;
    uint8_t bytes[3];
    uint8_t size;
};

struct Arrival {
    jack_nframes_t frame;
    uint8_t bytes[3];
    uint8_t size;
};

// Written by the sink's process callback only, read by the main thread: room made before,
// so that reading never costs the callback a period.
class Arrivals {
  public:
    void Add(const Arrival& a)
    {
        const size_t n = count_.load(std::memory_order_relaxed);
        if (n == kMost)
            return;
        items_[n] = a;
        count_.store(n + 1, std::memory_order_release);
    }
    std::vector<Arrival> Copy() const
    {
        return {items_.get(), items_.get() + count_.load(std::memory_order_acquire)};
    }

  private:
    static constexpr size_t kMost = 1 << 16;
    std::unique_ptr<Arrival[]> items_{new Arrival[kMost]};
    std::atomic<size_t> count_{0};
};

// What the process callback writes and reads; the schedules are filled before it looks.
// Two clients, so that the graph runs source, program, sink in one period: a client that
// both fed the program and read it back would close a loop that JACK delays by a period.
struct Probe {
    jack_client_t* client = nullptr; // the source
    jack_client_t* sink = nullptr;
    jack_port_t* out[kSources] = {};
    jack_port_t* loopOut = nullptr;
    jack_port_t* in = nullptr;
    jack_port_t* loopIn = nullptr;
    std::vector<Scheduled> schedule[kSources];
    std::vector<Scheduled> loopSchedule;
    size_t next[kSources] = {};
    size_t loopNext = 0;
    std::atomic<bool> armed{false};
    Arrivals got, loopGot;
};

Probe probe;

void WriteDue(jack_port_t* port, std::vector<Scheduled>& list, size_t& next, jack_nframes_t start,
              jack_nframes_t frames)
{
    void* buffer = jack_port_get_buffer(port, frames);
    jack_midi_clear_buffer(buffer);
    while (next < list.size()) {
        const Scheduled& s = list[next];
        const int32_t offset = static_cast<int32_t>(s.frame - start);
        if (offset >= static_cast<int32_t>(frames))
            break;
        const jack_nframes_t at = offset < 0 ? 0 : static_cast<jack_nframes_t>(offset);
        if (jack_midi_event_write(buffer, at, s.bytes, s.size) != 0)
            break;
        ++next;
    }
}

void ReadAll(jack_port_t* port, Arrivals& into, jack_nframes_t start, jack_nframes_t frames)
{
    void* buffer = jack_port_get_buffer(port, frames);
    const uint32_t count = jack_midi_get_event_count(buffer);
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t e;
        if (jack_midi_event_get(&e, buffer, i) != 0 || e.size == 0 || e.size > 3)
            continue;
        Arrival a{start + e.time, {}, static_cast<uint8_t>(e.size)};
        std::copy(e.buffer, e.buffer + e.size, a.bytes);
        into.Add(a);
    }
}

int Play(jack_nframes_t frames, void*)
{
    const jack_nframes_t start = jack_last_frame_time(probe.client);
    const bool armed = probe.armed.load(std::memory_order_acquire);
    for (int i = 0; i < kSources; ++i) {
        if (armed) {
            WriteDue(probe.out[i], probe.schedule[i], probe.next[i], start, frames);
        } else {
            jack_midi_clear_buffer(jack_port_get_buffer(probe.out[i], frames));
        }
    }
    if (armed) {
        WriteDue(probe.loopOut, probe.loopSchedule, probe.loopNext, start, frames);
    } else {
        jack_midi_clear_buffer(jack_port_get_buffer(probe.loopOut, frames));
    }
    return 0;
}

int Record(jack_nframes_t frames, void*)
{
    const jack_nframes_t start = jack_last_frame_time(probe.sink);
    ReadAll(probe.in, probe.got, start, frames);
    ReadAll(probe.loopIn, probe.loopGot, start, frames);
    return 0;
}

int passed = 0, failed = 0, ours = 0;
std::atomic<int> xruns{0};

int CountXrun(void*)
{
    ++xruns;
    return 0;
}

// Which failures may be the machine's rather than the program's.
enum class Excuse {
    kNone,
    kLate,   // a loss while the server ran late: it drops whole periods between clients
    kLimits, // a timing limit missed: a loaded machine delays the events themselves
};

void Check(bool ok, const char* what, Excuse excuse = Excuse::kNone)
{
    if (ok) {
        ++passed;
        return;
    }
    ++failed;
    const bool excused = excuse == Excuse::kLimits || (excuse == Excuse::kLate && xruns.load() > 0);
    ours += !excused;
    std::printf("FAIL: %s%s\n", what, excused ? " (maybe the machine's)" : "");
}

double EnvLimit(const char* name)
{
    const char* v = std::getenv(name);
    return v != nullptr ? std::atof(v) : -1;
}

bool OpenProbe()
{
    probe.client = jack_client_open("timing_source", JackNoStartServer, nullptr);
    probe.sink = jack_client_open("timing_sink", JackNoStartServer, nullptr);
    if (probe.client == nullptr || probe.sink == nullptr)
        return false;
    // Registered in this order, so that the program's device lists put our outputs first
    // among its sources and "in" first among its destinations.
    for (int i = 0; i < kSources; ++i) {
        const std::string name = "out_" + std::to_string(i + 1);
        probe.out[i] = jack_port_register(probe.client, name.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                          JackPortIsOutput, 0);
    }
    probe.loopOut =
        jack_port_register(probe.client, "loop_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    probe.in = jack_port_register(probe.sink, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    probe.loopIn =
        jack_port_register(probe.sink, "loop_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(probe.client, Play, nullptr);
    jack_set_xrun_callback(probe.client, CountXrun, nullptr);
    jack_set_process_callback(probe.sink, Record, nullptr);
    if (jack_activate(probe.client) != 0 || jack_activate(probe.sink) != 0)
        return false;
    return jack_connect(probe.client, jack_port_name(probe.loopOut),
                        jack_port_name(probe.loopIn)) == 0;
}

// The program connected to our first input and to "in" (it opens them at start).
bool WaitForProgram(int sources, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        bool all = jack_port_connected(probe.in) > 0;
        for (int i = 0; i < sources; ++i)
            all = all && jack_port_connected(probe.out[i]) > 0;
        if (all)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::vector<Arrival> Got(bool loop)
{
    return loop ? probe.loopGot.Copy() : probe.got.Copy();
}

bool WaitGot(size_t count, int timeoutMs, uint8_t statusMask, uint8_t status)
{
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        size_t n = 0;
        for (const Arrival& a : Got(false))
            n += (a.bytes[0] & statusMask) == status;
        if (n >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(
        std::min<double>(v.size() - 1, std::floor(p * (v.size() - 1) + 0.5)))];
}

// Controller messages on channel 16 carry their index: controller = i / 128, value = i % 128.
Scheduled Indexed(jack_nframes_t frame, int i, int source)
{
    return Scheduled{frame,
                     {static_cast<uint8_t>(0xBF - source), static_cast<uint8_t>(i >> 7 & 0x7F),
                      static_cast<uint8_t>(i & 0x7F)},
                     3};
}
int IndexOf(const Arrival& a)
{
    return a.bytes[1] << 7 | a.bytes[2];
}

int Thru(int count, int spacing)
{
    const jack_nframes_t rate = jack_get_sample_rate(probe.client);
    const jack_nframes_t period = jack_get_buffer_size(probe.client);
    const jack_nframes_t first = jack_frame_time(probe.client) + 4 * period + rate / 10;
    for (int i = 0; i < count; ++i) {
        const jack_nframes_t at = first + static_cast<jack_nframes_t>(i * spacing);
        probe.schedule[0].push_back(Indexed(at, i, 0));
        probe.loopSchedule.push_back(Indexed(at, i, 0));
    }
    probe.armed.store(true, std::memory_order_release);
    const int playMs = static_cast<int>(1000.0 * count * spacing / rate);
    Check(WaitGot(static_cast<size_t>(count), playMs + 3000, 0xFF, 0xBF),
          "every message came back through the thru", Excuse::kLate);
    // Latency by index; -1 for what did not arrive.
    // A client the server ran late for leaves its last buffer in place: the next one reads
    // it again. So a repeat is told apart from a message overtaken.
    auto latencies = [&](bool loop, int* reordered, int* repeated) {
        std::vector<double> v(static_cast<size_t>(count), -1);
        int last = -1;
        for (const Arrival& a : Got(loop)) {
            const int i = IndexOf(a);
            if (a.bytes[0] != 0xBF || a.size != 3 || i >= count)
                continue;
            if (v[static_cast<size_t>(i)] >= 0) {
                ++*repeated;
                continue;
            }
            *reordered += i < last;
            last = i;
            v[static_cast<size_t>(i)] =
                static_cast<int32_t>(a.frame - probe.schedule[0][static_cast<size_t>(i)].frame);
        }
        return v;
    };
    int reordered = 0, directReordered = 0, repeated = 0, directRepeated = 0;
    const std::vector<double> thruByIndex = latencies(false, &reordered, &repeated);
    const std::vector<double> directByIndex = latencies(true, &directReordered, &directRepeated);
    // A period the server ran late delays the direct connection as much as the thru: beside
    // the raw figures, the thru's latency less the direct one's for the same message.
    std::vector<double> thru, direct, relative;
    for (size_t i = 0; i < thruByIndex.size(); ++i) {
        if (thruByIndex[i] >= 0)
            thru.push_back(thruByIndex[i]);
        if (directByIndex[i] >= 0)
            direct.push_back(directByIndex[i]);
        if (thruByIndex[i] >= 0 && directByIndex[i] >= 0)
            relative.push_back(thruByIndex[i] - directByIndex[i]);
    }
    auto spread = [](const std::vector<double>& v) {
        return v.empty()
                   ? NAN
                   : *std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end());
    };
    std::printf("thru period=%u rate=%u count=%d spacing=%d latency_min=%.0f latency_median=%.0f "
                "latency_max=%.0f spread=%.0f spread_beside_direct=%.0f direct_spread=%.0f "
                "lost=%zu reordered=%d repeated=%d\n",
                period, rate, count, spacing, Percentile(thru, 0), Percentile(thru, 0.5),
                Percentile(thru, 1), spread(thru), spread(relative), spread(direct),
                static_cast<size_t>(count) - thru.size(), reordered, repeated);
    Check(thru.size() == static_cast<size_t>(count), "nothing lost", Excuse::kLate);
    Check(reordered == 0, "nothing reordered");
    Check(repeated == 0, "nothing repeated", Excuse::kLate);
    // The probe's own connection: when it is not exact, the machine spoiled the run.
    Check(direct.size() == static_cast<size_t>(count) && directReordered == 0 &&
              directRepeated == 0 && spread(direct) == 0,
          "the direct connection is exact (the reference)", Excuse::kLimits);
    const double maxSpread = EnvLimit("ZM_MAX_SPREAD");
    if (maxSpread >= 0)
        Check(spread(relative) <= maxSpread,
              "the thru's latency spread is within ZM_MAX_SPREAD frames", Excuse::kLimits);
    return 0;
}

int Keys(int count, int intervalMs)
{
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        Check(false, "the X display opens");
        return 1;
    }
    const KeyCode f1 = XKeysymToKeycode(display, XK_F1);
    probe.armed.store(true, std::memory_order_release);
    timespec at{};
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += 1;
    // When each strike was really played, as a loaded machine wakes the probe late too; a
    // strike the probe was held up in the middle of has no sure time.
    std::vector<jack_nframes_t> played;
    std::vector<bool> sure;
    const jack_nframes_t sureWithin = jack_get_sample_rate(probe.client) / 4000; // 0.25 ms
    for (int i = 0; i < count; ++i) {
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        const jack_nframes_t before = jack_frame_time(probe.client);
        XTestFakeKeyEvent(display, f1, True, CurrentTime);
        XTestFakeKeyEvent(display, f1, False, CurrentTime);
        XFlush(display);
        const jack_nframes_t after = jack_frame_time(probe.client);
        played.push_back(before);
        sure.push_back(after - before <= sureWithin);
        at.tv_nsec += static_cast<long>(intervalMs) * 1'000'000;
        at.tv_sec += at.tv_nsec / 1'000'000'000;
        at.tv_nsec %= 1'000'000'000;
    }
    XCloseDisplay(display);
    Check(WaitGot(2 * static_cast<size_t>(count), 3000, 0xEF, 0x80), "every strike arrived",
          Excuse::kLate);

    const double rate = jack_get_sample_rate(probe.client);
    std::vector<jack_nframes_t> ons;
    int releasesOnTheirFrame = 0, releasesFirst = 0;
    bool pending = false;
    for (const Arrival& a : Got(false)) {
        const bool on = a.size == 3 && a.bytes[0] == 0x90 && a.bytes[1] == 9 && a.bytes[2] == 127;
        const bool off = a.size == 3 && (a.bytes[0] & 0xEF) == 0x80 && a.bytes[1] == 9 &&
                         (a.bytes[0] == 0x80 || a.bytes[2] == 0);
        if (on) {
            releasesFirst += pending;
            ons.push_back(a.frame);
            pending = true;
        } else if (off) {
            if (!pending)
                ++releasesFirst;
            else if (a.frame == ons.back())
                ++releasesOnTheirFrame;
            pending = false;
        }
    }
    auto ms = [&](jack_nframes_t from, jack_nframes_t to) {
        return static_cast<int32_t>(to - from) / rate * 1000.0;
    };
    std::vector<double> errors, playedErrors;
    const bool all = ons.size() == played.size();
    for (size_t i = 1; i < ons.size(); ++i) {
        if (!all)
            errors.push_back(std::fabs(ms(ons[i - 1], ons[i]) - intervalMs));
        else if (sure[i - 1] && sure[i])
            errors.push_back(std::fabs(ms(ons[i - 1], ons[i]) - ms(played[i - 1], played[i])));
    }
    for (size_t i = 1; i < played.size(); ++i)
        playedErrors.push_back(std::fabs(ms(played[i - 1], played[i]) - intervalMs));
    const double limit = EnvLimit("ZM_MAX_KEY_ERROR_MS");
    const double within =
        errors.empty() ? 0 : 100.0 * std::count_if(errors.begin(), errors.end(), [&](double e) {
                                 return e <= (limit >= 0 ? limit : 1.0);
                             }) / errors.size();
    std::printf(
        "keys period=%u count=%d interval_ms=%d strikes=%zu error_ms_p50=%.2f error_ms_p95=%.2f "
        "error_ms_max=%.2f within_limit_pct=%.1f judged=%zu played_error_ms_p95=%.2f "
        "releases_on_strike_frame=%d releases_first=%d\n",
        jack_get_buffer_size(probe.client), count, intervalMs, ons.size(), Percentile(errors, 0.5),
        Percentile(errors, 0.95), Percentile(errors, 1), within, errors.size(),
        Percentile(playedErrors, 0.95), releasesOnTheirFrame, releasesFirst);
    Check(ons.size() == static_cast<size_t>(count), "one note-on for every strike", Excuse::kLate);
    Check(releasesOnTheirFrame == 0, "every release arrives after its strike, never on its frame");
    // A release with no strike before it is one whose strike the server lost, if any was.
    Check(releasesFirst == 0, "no release comes before its strike",
          ons.size() == static_cast<size_t>(count) ? Excuse::kNone : Excuse::kLate);
    if (limit >= 0) {
        Check(errors.size() * 2 >= static_cast<size_t>(count),
              "half the intervals or more were played at a sure time", Excuse::kLimits);
        Check(within >= 95.0, "95 % of the intervals within ZM_MAX_KEY_ERROR_MS of the played one",
              Excuse::kLimits);
    }
    return 0;
}

int Burst(int sources, int count)
{
    const jack_nframes_t period = jack_get_buffer_size(probe.client);
    const jack_nframes_t at = jack_frame_time(probe.client) + 4 * period;
    for (int s = 0; s < sources; ++s) {
        for (int i = 0; i < count; ++i)
            probe.schedule[s].push_back(
                Indexed(at + static_cast<jack_nframes_t>(i) % period, i, s));
    }
    probe.armed.store(true, std::memory_order_release);
    WaitGot(static_cast<size_t>(sources * count), 5000, 0xF0, 0xB0);
    std::vector<int> last(static_cast<size_t>(sources), -1);
    int arrived = 0, reordered = 0;
    for (const Arrival& a : Got(false)) {
        const int s = 0xBF - a.bytes[0];
        if (a.size != 3 || s < 0 || s >= sources)
            continue;
        ++arrived;
        reordered += IndexOf(a) <= last[static_cast<size_t>(s)];
        last[static_cast<size_t>(s)] = IndexOf(a);
    }
    std::printf("burst period=%u sources=%d each=%d arrived=%d reordered=%d\n", period, sources,
                count, arrived, reordered);
    Check(arrived == sources * count, "every message of the burst arrived", Excuse::kLate);
    Check(reordered == 0, "each source's messages kept their order");
    return 0;
}

int Raw()
{
    const jack_nframes_t at =
        jack_frame_time(probe.client) + 4 * jack_get_buffer_size(probe.client);
    probe.schedule[0].push_back(Scheduled{at, {0x90, 0x3C, 0x00}, 3});
    probe.armed.store(true, std::memory_order_release);
    WaitGot(1, 3000, 0xE0, 0x80);
    std::vector<Arrival> got = Got(false);
    const bool one = got.size() == 1;
    std::printf("raw sent=90_3C_00 received=%02X_%02X_%02X\n", one ? got[0].bytes[0] : 0,
                one ? got[0].bytes[1] : 0, one ? got[0].bytes[2] : 0);
    Check(one && got[0].bytes[0] == 0x90 && got[0].bytes[1] == 0x3C && got[0].bytes[2] == 0,
          "the thru sends the bytes that were played");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s thru|keys|burst|raw [numbers]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const int a = argc > 2 ? std::atoi(argv[2]) : 0;
    const int b = argc > 3 ? std::atoi(argv[3]) : 0;
    // The probe reads what the program sent, not PipeWire's rewrite of it.
    setenv("PIPEWIRE_PROPS", "{ jack.fix-midi-events = false }", 1);
    if (!OpenProbe()) {
        std::printf("FAIL: the probe's JACK client opens\n0 passed, 1 failed\n");
        return 1;
    }
    // Ready for the program; the script starts it once this line is out.
    std::printf("probe ready\n");
    std::fflush(stdout);
    const int sources = mode == "burst" ? a : 1;
    if (!WaitForProgram(sources, 20000)) {
        Check(false, "the program connected to the probe");
    } else if (mode == "thru") {
        Thru(a, b);
    } else if (mode == "keys") {
        Keys(a, b);
    } else if (mode == "burst") {
        Burst(a, b);
    } else if (mode == "raw") {
        Raw();
    }
    jack_client_close(probe.client);
    jack_client_close(probe.sink);
    std::printf("xruns=%d\n", xruns.load());
    if (failed > 0 && ours == 0)
        std::printf("retry\n");
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
