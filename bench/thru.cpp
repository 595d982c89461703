// The MIDI thru on a real JACK server (private jackd, dummy driver, 48 kHz, 128 frames)
// with the real program: the main window (offscreen), its event loop, the MIDI back end.
//
//   thru latency   one peer plays 10,000 mixed messages into the program's input and
//                  takes them back from its output; beforehand the same peer plays the
//                  same list through a direct JACK connection of its own ports
//   thru flood     four peers play 2,500 messages each as fast as JACK carries them
#include <QtCore/QEventLoop>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>

#include <jack/jack.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/action.h"
#include "app/c_midi.h"
#include "bench/bench_util.h"
#include "bench/jack_bench_peer.h"
#include "bench/window_util.h"
#include "platform/qt/host.h"
#include "tests/support/jack_server.h"

using namespace zm_bench;

namespace {

constexpr jack_nframes_t kPeriod = 128;

// UI cycles, stamped as the program posts them.
struct Ticks {
    std::vector<Clock::time_point> at = std::vector<Clock::time_point>(1 << 16);
    size_t count = 0;
    bool on = false;
} gTicks;

void ObservePost(int action, int)
{
    if (action != AC_TICK || !gTicks.on || gTicks.count >= gTicks.at.size())
        return;
    gTicks.at[gTicks.count++] = Clock::now();
}

// Messages the window procedure was handed: tells a loss on the way in from one on the way out.
size_t gDelivered = 0;

void CountDelivered(uint32_t message, uintptr_t, intptr_t, intptr_t)
{
    if (message == PM_MIM_DATA)
        ++gDelivered;
}

double MaxTickGapMs()
{
    double worst = 0;
    for (size_t i = 1; i < gTicks.count; ++i)
        worst = std::max(
            worst,
            std::chrono::duration<double, std::milli>(gTicks.at[i] - gTicks.at[i - 1]).count());
    return worst;
}

// Runs the program's event loop until done says so or the time is up.
bool RunUntil(const std::function<bool()>& done, int timeoutMs)
{
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done() || Clock::now() >= end)
            loop.quit();
    });
    check.start(5);
    loop.exec();
    return done();
}

bool WaitPlain(const std::function<bool()>& done, int timeoutMs)
{
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done() && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

MidiMsg Msg(uint8_t a, uint8_t b = 0, uint8_t c = 0, uint8_t size = 3)
{
    MidiMsg m;
    m.bytes[0] = a;
    m.bytes[1] = b;
    m.bytes[2] = c;
    m.size = size;
    return m;
}

// Every kind of short message the thru forwards, on changing channels, with the serial
// number in the data bytes where there is room for it.
std::vector<MidiMsg> MixedMessages(size_t count)
{
    static const uint8_t kRealtime[] = {0xF8, 0xFA, 0xFB, 0xFC, 0xFE};
    std::vector<MidiMsg> list;
    list.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t lo = static_cast<uint8_t>(i & 0x7F);
        const uint8_t hi = static_cast<uint8_t>(i >> 7 & 0x7F);
        const uint8_t channel = static_cast<uint8_t>(i % 16);
        switch (i % 10) {
        case 0:
            list.push_back(Msg(0x90 | channel, lo, hi | 1));
            break;
        case 1:
            list.push_back(Msg(0x80 | channel, lo, hi));
            break;
        case 2:
            list.push_back(Msg(0x90 | channel, lo, 0));
            break;
        case 3:
            list.push_back(Msg(0xB0 | channel, lo, hi));
            break;
        case 4:
            list.push_back(Msg(0xE0 | channel, lo, hi));
            break;
        case 5:
            list.push_back(Msg(0xC0 | channel, lo, 0, 2));
            break;
        case 6:
            list.push_back(Msg(0xD0 | channel, lo, 0, 2));
            break;
        case 7:
            list.push_back(Msg(0xA0 | channel, lo, hi));
            break;
        case 8:
            list.push_back(Msg(kRealtime[i / 10 % 5], 0, 0, 1));
            break;
        default:
            list.push_back(Msg(0x90 | channel, hi, lo));
            break;
        }
    }
    return list;
}

struct LoopResult {
    Stats delay; // frames
    size_t sent = 0;
    size_t received = 0;
    size_t mismatched = 0; // arrivals that match nothing sent (extra or changed)
    size_t matched = 0;
    std::vector<MidiMsg> lostExamples;
};

// Messages keep their order through both routes, so the i-th back is the i-th sent.
LoopResult Measure(BenchPeer& peer, const std::vector<MidiMsg>& list,
                   const std::function<bool(const std::function<bool()>&, int)>& wait)
{
    peer.ClearReceived(0);
    peer.Load(0, list, 4);
    peer.Start();
    // Done when all came back, or all went out and nothing more arrived for half a second.
    size_t seen = 0;
    Clock::time_point lastChange = Clock::now();
    wait(
        [&] {
            const size_t now = peer.ReceivedCount(0);
            if (now != seen) {
                seen = now;
                lastChange = Clock::now();
            }
            return now >= list.size() ||
                   (peer.SentCount(0) == list.size() &&
                    Clock::now() - lastChange > std::chrono::milliseconds(500));
        },
        60'000);
    // Anything late or extra still has a moment to show up.
    wait([] { return false; }, 100);
    peer.Stop();
    LoopResult r;
    r.sent = peer.SentCount(0);
    r.received = peer.ReceivedCount(0);
    std::vector<double> delay;
    delay.reserve(r.received);
    // Order is kept, so each arrival is the next sent message that matches it; the ones
    // passed over were lost.
    size_t next = 0;
    for (size_t i = 0; i < r.received; ++i) {
        const BenchPeer::Received& got = peer.ReceivedAt(0, i);
        // A bounded look-ahead: the one-byte messages repeat, and must not match far ahead.
        size_t j = next;
        const size_t limit = std::min(r.sent, next + 40);
        while (j < limit && !SameMsg(got.msg, list[j]))
            ++j;
        if (j == limit) {
            ++r.mismatched;
            continue;
        }
        for (size_t k = next; k < j && r.lostExamples.size() < 8; ++k)
            r.lostExamples.push_back(list[k]);
        r.matched++;
        delay.push_back(
            static_cast<double>(static_cast<int32_t>(got.frame - peer.SentFrame(0, j))));
        next = j + 1;
    }
    r.delay = Summarize(delay);
    return r;
}

int Latency()
{
    constexpr size_t kCount = 10'000;
    BenchPeer peer("bench_loop");
    if (!peer.AddOutput("out") || !peer.AddInput("in", kCount * 2) || !peer.Activate()) {
        std::fprintf(stderr, "thru: the peer client could not be made\n");
        return 1;
    }
    std::printf("jack_server rate=%u period=%u\n", jack_get_sample_rate(peer.Client()),
                jack_get_buffer_size(peer.Client()));
    const std::vector<MidiMsg> list = MixedMessages(kCount);

    // The reference: the peer's output straight into its own input.
    if (jack_connect(peer.Client(), peer.OutName(0).c_str(), peer.InName(0).c_str()) != 0) {
        std::fprintf(stderr, "thru: the direct loop could not be connected\n");
        return 1;
    }
    const LoopResult direct = Measure(peer, list, WaitPlain);
    jack_disconnect(peer.Client(), peer.OutName(0).c_str(), peer.InName(0).c_str());

    // The program: its device check at window creation opens the peer's ports.
    if (!OpenMainWindow(1920, 1080) || gMidi.inCount != 1 || gMidi.outCount != 1) {
        std::fprintf(stderr, "thru: the program did not open the peer (in %d, out %d)\n",
                     gMidi.inCount, gMidi.outCount);
        return 1;
    }
    gTicks.count = 0;
    gTicks.on = true;
    gDelivered = 0;
    const uint64_t xrunsBefore = peer.Xruns();
    const LoopResult thru = Measure(peer, list, RunUntil);
    gTicks.on = false;
    CloseMainWindow();

    const size_t lost = thru.sent - thru.matched;
    for (const MidiMsg& m : thru.lostExamples)
        std::printf("thru_latency_lost_example size=%u bytes=%02X %02X %02X\n", m.size, m.bytes[0],
                    m.bytes[1], m.bytes[2]);
    const double medianAbove = thru.delay.median - direct.delay.median;
    const double maxAbove = thru.delay.max - direct.delay.max;
    const bool ok = lost == 0 && thru.mismatched == 0 && thru.sent == kCount &&
                    medianAbove <= kPeriod && maxAbove <= 2 * kPeriod;
    std::printf("thru_direct_loop_frames n=%zu median=%.0f p99=%.0f max=%.0f min=%.0f lost=%zu\n",
                direct.delay.n, direct.delay.median, direct.delay.p99, direct.delay.max,
                direct.delay.min, direct.sent - direct.matched);
    std::printf("thru_latency_frames n=%zu median=%.0f p99=%.0f max=%.0f min=%.0f (median_us=%.0f "
                "max_us=%.0f) "
                "lost=%zu mismatched=%zu\n",
                thru.delay.n, thru.delay.median, thru.delay.p99, thru.delay.max, thru.delay.min,
                thru.delay.median * 1e6 / 48000.0, thru.delay.max * 1e6 / 48000.0, lost,
                thru.mismatched);
    std::printf("thru_latency median_above_direct=%.0f max_above_direct=%.0f frames "
                "goal:median<=+%u,max<=+%u,"
                "none_lost %s\n",
                medianAbove, maxAbove, kPeriod, 2 * kPeriod, Verdict(ok));
    std::printf(
        "thru_latency_ui_cycle_max_gap_ms=%.1f delivered_to_window=%zu jack_xruns_during=%llu\n",
        MaxTickGapMs(), gDelivered, static_cast<unsigned long long>(peer.Xruns() - xrunsBefore));
    return 0;
}

int Flood()
{
    constexpr int kPeers = 4;
    constexpr size_t kEach = 2'500;
    std::vector<std::unique_ptr<BenchPeer>> peers;
    std::vector<std::vector<MidiMsg>> lists(kPeers);
    for (int p = 0; p < kPeers; ++p) {
        peers.push_back(std::make_unique<BenchPeer>("bench_flood" + std::to_string(p + 1)));
        if (!peers.back()->AddOutput("out") || !peers.back()->Activate()) {
            std::fprintf(stderr, "thru: flood peer %d could not be made\n", p + 1);
            return 1;
        }
        // The input is told by the channel, the order by the serial in the data bytes.
        static const uint8_t kTypes[] = {0x90, 0x80, 0xB0, 0xE0, 0xA0};
        for (size_t i = 0; i < kEach; ++i)
            lists[p].push_back(Msg(static_cast<uint8_t>(kTypes[i % 5] | p),
                                   static_cast<uint8_t>(i & 0x7F),
                                   static_cast<uint8_t>(i >> 7 & 0x7F)));
    }
    BenchPeer sink("bench_sink");
    if (!sink.AddInput("in", kPeers * kEach * 2) || !sink.Activate()) {
        std::fprintf(stderr, "thru: the sink client could not be made\n");
        return 1;
    }
    std::printf("jack_server rate=%u period=%u\n", jack_get_sample_rate(sink.Client()),
                jack_get_buffer_size(sink.Client()));
    if (!OpenMainWindow(1920, 1080) || gMidi.inCount != kPeers || gMidi.outCount != 1) {
        std::fprintf(stderr, "thru: the program did not open the peers (in %d, out %d)\n",
                     gMidi.inCount, gMidi.outCount);
        return 1;
    }
    for (int p = 0; p < kPeers; ++p)
        peers[p]->Load(0, lists[p], 0);

    gTicks.count = 0;
    gTicks.on = true;
    gDelivered = 0;
    RunEventLoopMs(100); // a few ordinary cycles before, for the gap figure
    const jack_nframes_t startFrame = jack_frame_time(sink.Client());
    const Clock::time_point start = Clock::now();
    for (auto& p : peers)
        p->Start();
    const size_t total = kPeers * kEach;
    size_t seen = 0;
    Clock::time_point lastChange = Clock::now();
    RunUntil(
        [&] {
            const size_t now = sink.ReceivedCount(0);
            if (now != seen) {
                seen = now;
                lastChange = Clock::now();
            }
            size_t out = 0;
            for (auto& p : peers)
                out += p->SentCount(0);
            return now >= total ||
                   (out == total && Clock::now() - lastChange > std::chrono::milliseconds(500));
        },
        30'000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    RunEventLoopMs(200); // late or extra messages, and cycles after
    gTicks.on = false;
    for (auto& p : peers)
        p->Stop();

    size_t sent = 0;
    for (auto& p : peers)
        sent += p->SentCount(0);
    const size_t got = sink.ReceivedCount(0);
    // Per input: what came back on its channel must be its list, in order. Each arrival is
    // the next message of its input that matches; passed-over ones were lost, and one that
    // matches nothing ahead came out of order (or was never sent).
    size_t outOfOrder = 0;
    size_t perInput[kPeers] = {};
    size_t next[kPeers] = {};
    jack_nframes_t lastFrame = startFrame;
    jack_nframes_t lastSent = startFrame;
    for (size_t i = 0; i < got; ++i) {
        const BenchPeer::Received& r = sink.ReceivedAt(0, i);
        lastFrame = r.frame;
        const int p = r.msg.bytes[0] & 0x0F;
        size_t j = p < kPeers ? next[p] : kEach;
        while (j < kEach && !SameMsg(r.msg, lists[p][j]))
            ++j;
        if (j >= kEach) {
            ++outOfOrder;
            continue;
        }
        ++perInput[p];
        next[p] = j + 1;
    }
    for (int p = 0; p < kPeers; ++p)
        if (peers[p]->SentCount(0) > 0)
            lastSent = std::max(lastSent, peers[p]->SentFrame(0, peers[p]->SentCount(0) - 1));
    size_t forwarded = 0;
    for (int p = 0; p < kPeers; ++p)
        forwarded += perInput[p];
    const double gap = MaxTickGapMs();
    const bool ok =
        sent == total && forwarded == total && got == total && outOfOrder == 0 && gap <= 20.0;
    std::printf("thru_flood sent=%zu forwarded_in_order=%zu received=%zu lost=%zu "
                "out_of_order_or_extra=%zu "
                "per_input=%zu/%zu/%zu/%zu\n",
                sent, forwarded, got, total - forwarded, outOfOrder, perInput[0], perInput[1],
                perInput[2], perInput[3]);
    std::printf("thru_flood_timing peers_done_after_frames=%u last_back_after_frames=%u (%.1f ms) "
                "full_periods_at_peers=%llu wall_s=%.2f\n",
                lastSent - startFrame, lastFrame - startFrame,
                (lastFrame - startFrame) * 1000.0 / 48000.0,
                static_cast<unsigned long long>(peers[0]->FullPeriods() + peers[1]->FullPeriods() +
                                                peers[2]->FullPeriods() + peers[3]->FullPeriods()),
                seconds);
    std::printf("thru_flood_delivered_to_window=%zu jack_xruns_during=%llu\n", gDelivered,
                static_cast<unsigned long long>(sink.Xruns()));
    std::printf("thru_flood all_forwarded=%s ui_cycle_max_gap_ms=%.1f ui_cycles=%zu "
                "goal:all_in_order,gap<=20ms %s\n",
                forwarded == total ? "yes" : "no", gap, gTicks.count, Verdict(ok));
    CloseMainWindow();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "latency" && mode != "flood") {
        std::fprintf(stderr, "usage: zm_bench_thru latency|flood\n");
        return 2;
    }
    UseOffscreenUnlessSet();
    // A server of the caller's (for instance one with realtime scheduling), else a private one.
    zm_test::JackServer server(kPeriod, std::getenv("ZM_BENCH_NO_REALTIME") ==
                                            nullptr); // dummy driver, 48 kHz
    const char* external = std::getenv("ZM_BENCH_JACK_SERVER");
    if (external != nullptr && *external != '\0') {
        setenv("JACK_DEFAULT_SERVER", external, 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        std::printf("jack_server external=%s\n", external);
    } else if (!server.Start()) {
        std::fprintf(stderr, "thru: jackd could not be started\n");
        return 1;
    }
    gPostObserver = ObservePost;
    zm_qt::SetMessageObserver(CountDelivered);
    int rc = 0;
    {
        QApplication app(argc, argv);
        rc = mode == "latency" ? Latency() : Flood();
    }
    std::fflush(stdout);
    server.Stop();
    // The back end keeps its JACK clients to the end of the process; let them go with it.
    std::_Exit(rc);
}
