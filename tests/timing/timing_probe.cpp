// When the program's notes leave, measured from outside as a musician's setup sees it: a
// JACK client plays into the program's first input at known frames, another reads its output;
// an XTest keyboard strikes F1 at absolute deadlines. Beside them, the same schedule runs
// through a direct connection of the probe's own ports, the reference.
//
//   zm_timing_probe thru COUNT SPACING_FRAMES    latency of the thru, frame by frame
//   zm_timing_probe keys COUNT INTERVAL_MS       intervals of F1's note-ons against the played ones
//   zm_timing_probe burst SOURCES COUNT          SOURCES inputs each play COUNT messages in one
//   period zm_timing_probe raw                          a note-on of velocity 0 through the thru
//
// Prints one line of figures (name=value) and "N passed, N failed" for what it checks:
// nothing lost, nothing reordered, and the limits given by ZM_MAX_SPREAD (frames) and
// ZM_MAX_KEY_ERROR_MS (95 % of the intervals within it) when they are set.
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
#include <mutex>
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
    std::mutex mutex;
    std::vector<Arrival> got, loopGot; // guarded by mutex
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

void ReadAll(jack_port_t* port, std::vector<Arrival>& into, jack_nframes_t start,
             jack_nframes_t frames)
{
    void* buffer = jack_port_get_buffer(port, frames);
    const uint32_t count = jack_midi_get_event_count(buffer);
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t e;
        if (jack_midi_event_get(&e, buffer, i) != 0 || e.size == 0 || e.size > 3)
            continue;
        Arrival a{start + e.time, {}, static_cast<uint8_t>(e.size)};
        std::copy(e.buffer, e.buffer + e.size, a.bytes);
        into.push_back(a);
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
    // A test thread that holds the lock for long only costs this period's reading of it.
    std::unique_lock lock(probe.mutex, std::try_to_lock);
    if (lock.owns_lock()) {
        ReadAll(probe.in, probe.got, start, frames);
        ReadAll(probe.loopIn, probe.loopGot, start, frames);
    }
    return 0;
}

int passed = 0, failed = 0;

void Check(bool ok, const char* what)
{
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAIL: %s\n", what);
    }
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
    std::lock_guard lock(probe.mutex);
    return loop ? probe.loopGot : probe.got;
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
          "every message came back through the thru");
    auto latencies = [&](bool loop) {
        std::vector<double> v;
        int last = -1;
        int reordered = 0;
        for (const Arrival& a : Got(loop)) {
            if (a.bytes[0] != 0xBF || a.size != 3)
                continue;
            const int i = IndexOf(a);
            if (i >= count)
                continue;
            reordered += i <= last;
            last = i;
            v.push_back(
                static_cast<int32_t>(a.frame - probe.schedule[0][static_cast<size_t>(i)].frame));
        }
        return std::make_pair(v, reordered);
    };
    const auto [thru, reordered] = latencies(false);
    const auto [direct, directReordered] = latencies(true);
    auto spread = [](const std::vector<double>& v) {
        return v.empty()
                   ? NAN
                   : *std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end());
    };
    std::printf("thru period=%u rate=%u count=%d spacing=%d latency_min=%.0f latency_median=%.0f "
                "latency_max=%.0f spread=%.0f direct_spread=%.0f lost=%zu reordered=%d\n",
                period, rate, count, spacing, Percentile(thru, 0), Percentile(thru, 0.5),
                Percentile(thru, 1), spread(thru), spread(direct),
                static_cast<size_t>(count) - std::min<size_t>(thru.size(), count), reordered);
    Check(thru.size() == static_cast<size_t>(count) && reordered == 0, "nothing lost or reordered");
    Check(direct.size() == static_cast<size_t>(count) && directReordered == 0 &&
              spread(direct) == 0,
          "the direct connection is exact (the reference)");
    const double maxSpread = EnvLimit("ZM_MAX_SPREAD");
    if (maxSpread >= 0)
        Check(spread(thru) <= maxSpread,
              "the thru's latency spread is within ZM_MAX_SPREAD frames");
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
    for (int i = 0; i < count; ++i) {
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        XTestFakeKeyEvent(display, f1, True, CurrentTime);
        XTestFakeKeyEvent(display, f1, False, CurrentTime);
        XFlush(display);
        at.tv_nsec += static_cast<long>(intervalMs) * 1'000'000;
        at.tv_sec += at.tv_nsec / 1'000'000'000;
        at.tv_nsec %= 1'000'000'000;
    }
    XCloseDisplay(display);
    Check(WaitGot(2 * static_cast<size_t>(count), 3000, 0xEF, 0x80), "every strike arrived");

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
    std::vector<double> errors;
    for (size_t i = 1; i < ons.size(); ++i) {
        const double interval = static_cast<int32_t>(ons[i] - ons[i - 1]) / rate * 1000.0;
        errors.push_back(std::fabs(interval - intervalMs));
    }
    const double limit = EnvLimit("ZM_MAX_KEY_ERROR_MS");
    const double within =
        errors.empty() ? 0 : 100.0 * std::count_if(errors.begin(), errors.end(), [&](double e) {
                                 return e <= (limit >= 0 ? limit : 1.0);
                             }) / errors.size();
    std::printf(
        "keys period=%u count=%d interval_ms=%d strikes=%zu error_ms_p50=%.2f error_ms_p95=%.2f "
        "error_ms_max=%.2f within_limit_pct=%.1f releases_on_strike_frame=%d releases_first=%d\n",
        jack_get_buffer_size(probe.client), count, intervalMs, ons.size(), Percentile(errors, 0.5),
        Percentile(errors, 0.95), Percentile(errors, 1), within, releasesOnTheirFrame,
        releasesFirst);
    Check(ons.size() == static_cast<size_t>(count), "one note-on for every strike");
    Check(releasesOnTheirFrame == 0 && releasesFirst == 0,
          "every release arrives after its strike, never on its frame");
    if (limit >= 0)
        Check(within >= 95.0, "95 % of the intervals within ZM_MAX_KEY_ERROR_MS of the played one");
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
    Check(arrived == sources * count, "every message of the burst arrived");
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
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
