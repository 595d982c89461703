// How long MIDI holds the UI thread: a device check that opens nine ports (four inputs,
// five outputs) on a realtime JACK server (or PipeWire's, with ZM_TEST_JACK_EXTERNAL=1
// under pw-jack), the check after a restarted peer, and every call of the next check and
// of the sends after the server is killed with SIGKILL. Before those, an output closed with 300
// messages waiting: all delivered, and what the close and the reopen cost the caller.
#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/c_midi.h"
#include "platform/linux_midi/backends.h"
#include "platform/platform.h"
#include "tests/support/jack_peer.h"
#include "tests/support/jack_server.h"

using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

template <typename F> double Timed(F&& f)
{
    const auto t0 = Clock::now();
    f();
    return Ms(Clock::now() - t0);
}

struct HandOver {
    int delivered = 0;
    std::vector<double> closeMs, reopenMs;
    double lastMs = 0; // from the close to the last message's arrival
};

// An output closed at once after 150 note-on/off pairs and opened again on the same port,
// as a device check does, five times; two more after the reopen mark the order.
HandOver MeasureHandOver(zm_test::JackPeer& peer)
{
    HandOver h;
    int index = -1;
    for (int i = 0; i < PlatMidiOutCount(); ++i) {
        char name[64];
        if (PlatMidiOutName(i, name, sizeof name) && peer.InName() == name)
            index = i;
    }
    for (int round = 0; round < 5 && index >= 0; ++round) {
        PlatMidiHandle out = 0, again = 0;
        if (PlatMidiOutOpen(&out, index) != 0)
            break;
        std::this_thread::sleep_for(
            std::chrono::milliseconds(20)); // the connection is in the graph
        peer.ClearReceived();
        for (uint32_t n = 0; n < 150; ++n) {
            PlatMidiOutShortMsg(out, 0x400090 | n % 128 << 8);
            PlatMidiOutShortMsg(out, 0x000080 | n % 128 << 8);
        }
        const auto closed = Clock::now();
        h.closeMs.push_back(Timed([&] { PlatMidiOutClose(out); }));
        h.reopenMs.push_back(Timed([&] { PlatMidiOutOpen(&again, index); }));
        PlatMidiOutShortMsg(again, 0x7F7F90);
        PlatMidiOutShortMsg(again, 0x007F80);
        peer.WaitReceived(302, 3000);
        h.lastMs = std::max(h.lastMs, Ms(Clock::now() - closed));
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // anything extra shows now
        const auto got = peer.Received();
        int inOrder = 0;
        for (size_t k = 0; k < got.size() && k < 300; ++k) {
            const uint8_t n = static_cast<uint8_t>(k / 2 % 128);
            const std::vector<uint8_t> want = k % 2 == 0 ? std::vector<uint8_t>{0x90, n, 0x40}
                                                         : std::vector<uint8_t>{0x80, n, 0x00};
            if (got[k].bytes != want)
                break;
            ++inOrder;
        }
        if (inOrder == 300 && (got.size() != 302 || got[300].bytes[1] != 0x7F))
            inOrder = 0;
        h.delivered += inOrder;
        PlatMidiOutClose(again);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return h;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main()
{
    zm_test::JackServer server(128, true);
    if (!server.Start()) {
        std::fprintf(stderr, "midi_stall: jackd -R could not be started\n");
        return 1;
    }
    std::vector<std::unique_ptr<zm_test::JackPeer>> peers;
    for (int i = 0; i < 5; ++i)
        peers.push_back(
            std::make_unique<zm_test::JackPeer>("peer" + std::to_string(i + 1), "out", "in"));

    // Wait until the service thread found the server; the first check then opens all nine.
    for (int i = 0; i < 200 && PlatMidiOutCount() < 5; ++i) {
        PlatMidiRescan();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const HandOver hand = MeasureHandOver(*peers[1]);
    double open = Timed([] { gMidi.CheckDevices(); });
    if (gMidi.inCount != 4 || gMidi.outCount != 5) {
        // The first check only found the server; the next one opens the ports.
        open = Timed([] { gMidi.CheckDevices(); });
    }
    const int ins = gMidi.inCount, outs = gMidi.outCount;
    double rescan = Timed([] { PlatMidiRescan(); });
    for (int i = 0; i < 5; ++i)
        rescan = std::min(rescan, Timed([] { PlatMidiRescan(); }));
    // A restarted peer: same counts, the outputs reopen (close five, open five).
    peers[0] = std::make_unique<zm_test::JackPeer>("peer1", "out", "in");
    const double reopen = Timed([] { gMidi.CheckDevices(); });

    double worst = 0;
    for (int n = 0; n < 2000; ++n)
        worst = std::max(worst, Timed([n] { gMidi.SendShort(n % 5, 0, 0x90, n & 0x7F, 64); }));
    server.Kill();
    for (auto& p : peers)
        p->Close();
    for (int n = 0; n < 2000; ++n)
        worst = std::max(worst, Timed([n] { gMidi.SendShort(n % 5, 0, 0x90, n & 0x7F, 64); }));
    const double check = Timed([] { gMidi.CheckDevices(); });
    worst = std::max(worst, check);
    zm_midi::WaitServiceIdle(5000);

    // Every device check, and every call around a killed server: no server round trip
    // is the UI thread's to wait for.
    const double longest = std::max({open, reopen, worst});
    std::printf("midi_stall device_check_open_9_ports_ms=%.2f ports_open=%d+%d "
                "reopen_after_restarted_peer_ms=%.2f "
                "killed_server_longest_call_ms=%.2f rescan_alone_ms=%.2f goal:<=2ms %s\n",
                open, ins, outs, reopen, worst, rescan, longest <= 2.0 ? "OK" : "MISSED");
    const double closeMax =
        hand.closeMs.empty() ? 0 : *std::max_element(hand.closeMs.begin(), hand.closeMs.end());
    const double reopenMax =
        hand.reopenMs.empty() ? 0 : *std::max_element(hand.reopenMs.begin(), hand.reopenMs.end());
    std::printf("midi_stall close_handover rounds=%zu delivered_in_order=%d/1500 "
                "close_median_ms=%.3f close_max_ms=%.3f "
                "reopen_max_ms=%.3f last_arrival_after_close_max_ms=%.1f goal:all,close<=5ms %s\n",
                hand.closeMs.size(), hand.delivered, Median(hand.closeMs), closeMax, reopenMax,
                hand.lastMs, hand.delivered == 1500 && closeMax <= 5.0 ? "OK" : "MISSED");
    std::fflush(stdout);
    std::_Exit(0);
}
