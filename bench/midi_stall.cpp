// How long MIDI holds the UI thread: a device check that opens nine ports (four inputs,
// five outputs) on a realtime JACK server, and every call of the next check and of the
// sends after the server is killed with SIGKILL.
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
#include "tests/support/jack_peer.h"
#include "tests/support/jack_server.h"

using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

template <typename F>
double Timed(F&& f)
{
    const auto t0 = Clock::now();
    f();
    return Ms(Clock::now() - t0);
}

}  // namespace

int main()
{
    zm_test::JackServer server(128, true);
    if (!server.Start()) {
        std::fprintf(stderr, "midi_stall: jackd -R could not be started\n");
        return 1;
    }
    std::vector<std::unique_ptr<zm_test::JackPeer>> peers;
    for (int i = 0; i < 5; ++i)
        peers.push_back(std::make_unique<zm_test::JackPeer>("peer" + std::to_string(i + 1), "out", "in"));

    // Wait until the service thread found the server; the first check then opens all nine.
    for (int i = 0; i < 200 && PlatMidiOutCount() < 5; ++i) {
        PlatMidiRescan();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    double open = Timed([] { gMidi.CheckDevices(); });
    if (gMidi.inCount != 4 || gMidi.outCount != 5) {
        // The first check only found the server; the next one opens the ports.
        open = Timed([] { gMidi.CheckDevices(); });
    }
    const int ins = gMidi.inCount, outs = gMidi.outCount;
    double rescan = Timed([] { PlatMidiRescan(); });
    for (int i = 0; i < 5; ++i) rescan = std::min(rescan, Timed([] { PlatMidiRescan(); }));
    // A restarted peer: same counts, the outputs reopen (close five, open five).
    peers[0] = std::make_unique<zm_test::JackPeer>("peer1", "out", "in");
    const double reopen = Timed([] { gMidi.CheckDevices(); });

    double worst = 0;
    for (int n = 0; n < 2000; ++n) worst = std::max(worst, Timed([n] { gMidi.SendShort(n % 5, 0, 0x90, n & 0x7F, 64); }));
    server.Kill();
    for (auto& p : peers) p->Close();
    for (int n = 0; n < 2000; ++n) worst = std::max(worst, Timed([n] { gMidi.SendShort(n % 5, 0, 0x90, n & 0x7F, 64); }));
    const double check = Timed([] { gMidi.CheckDevices(); });
    worst = std::max(worst, check);
    zm_midi::WaitServiceIdle(5000);

    // The goal covers the check that opens the ports and the calls around a killed server;
    // the reopen after a restarted peer is shown beside them.
    const double longest = std::max({open, worst});
    std::printf("midi_stall device_check_open_9_ports_ms=%.2f ports_open=%d+%d reopen_after_restarted_peer_ms=%.2f "
                "killed_server_longest_call_ms=%.2f rescan_alone_ms=%.2f goal:<=5ms %s\n",
                open, ins, outs, reopen, worst, rescan, longest <= 5.0 ? "OK" : "MISSED");
    std::fflush(stdout);
    std::_Exit(0);
}
