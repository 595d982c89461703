// Long runs on a real JACK server (a long period, so a busy machine's stalls do not make
// JACK itself drop events) through the logic's own paths: a steady load from four
// inputs while keys are played, and ports that come and go while another peer plays.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "app/c_midi.h"
#include "host_double.h"
#include "platform/linux_midi/backends.h"
#include "platform/platform.h"
#include "surface/winui.h"
#include "tests/support/jack_load.h"
#include "tests/support/jack_logic.h"
#include "tests/support/jack_peer.h"
#include "tests/support/jack_server.h"

using namespace std::chrono;
using zm_test::CheckDevicesUntil;
using zm_test::DeliverToWindow;
using zm_test::JackLoad;
using zm_test::JackPeer;
using zm_test::JackServer;

namespace {

long PeakRssKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

int OutputIndex(const std::string& name)
{
    for (int i = 0; i < gMidi.outCount; ++i)
        if (name == gMidi.outName[i])
            return i;
    return -1;
}

TEST(JackSoak, HundredThousandMessagesFromFourInputsWhileKeysPlay)
{
    ResetProgramState();
    JackServer server(1024);
    ASSERT_TRUE(server.Start());
    {
        JackLoad load("load", 4, 25000, 25000.0 / 58.0);
        ASSERT_TRUE(load.Ok());
        ASSERT_TRUE(CheckDevicesUntil(4, 1));
        const int out = OutputIndex(load.InName());
        ASSERT_GE(out, 0);
        gWinUI.outSel = static_cast<int16_t>(out);

        load.Start();
        long rssAfterWarmUp = -1;
        int keys = 0;
        const auto start = steady_clock::now();
        auto nextKey = start;
        while (!load.AllSent() && steady_clock::now() - start < seconds(90)) {
            PlatMidiDrain(DeliverToWindow);
            if (steady_clock::now() >= nextKey) {
                MainWndProc(PM_KEYDOWN, PVK_F1 + static_cast<uint32_t>(keys % 9), 0);
                ++keys;
                nextKey += milliseconds(50);
            }
            if (rssAfterWarmUp < 0 && steady_clock::now() - start > seconds(5))
                rssAfterWarmUp = PeakRssKb();
            std::this_thread::sleep_for(milliseconds(1));
        }
        ASSERT_TRUE(load.AllSent());
        const auto settle = steady_clock::now() + seconds(3);
        while (steady_clock::now() < settle) {
            PlatMidiDrain(DeliverToWindow);
            std::this_thread::sleep_for(milliseconds(1));
        }
        const long rssEnd = PeakRssKb();
        for (int s = 0; s < 4; ++s)
            EXPECT_EQ(load.Received(s), 25000) << "input " << s;
        EXPECT_EQ(load.OutOfOrder(), 0);
        EXPECT_EQ(load.Foreign(), 0);
        EXPECT_EQ(load.Notes(), 2L * keys);
        EXPECT_EQ(gMidi.logSerial, 100000 % 10000);
        EXPECT_LT(rssEnd - rssAfterWarmUp, 1024)
            << "kB after warm-up " << rssAfterWarmUp << ", at the end " << rssEnd;
        std::printf("load: %ld forwarded, %d keys, %ld xruns, peak RSS %ld kB -> %ld kB\n",
                    load.Received(0) + load.Received(1) + load.Received(2) + load.Received(3), keys,
                    load.Xruns(), rssAfterWarmUp, rssEnd);
    }
    server.Stop();
    EXPECT_TRUE(CheckDevicesUntil(0, 0));
}

TEST(JackSoak, PortsComingAndGoingWhileAnotherPeerPlays)
{
    ResetProgramState();
    JackServer server(1024);
    ASSERT_TRUE(server.Start());
    {
        JackLoad player("player", 1, 1000000, 200.0);
        JackPeer churn("churn", "out", "in");
        ASSERT_TRUE(player.Ok() && churn.Ok());
        ASSERT_TRUE(CheckDevicesUntil(2, 2));
        player.Start();

        const auto start = steady_clock::now();
        auto nextCheck = start;
        int flips = 0;
        bool present = false;
        while (steady_clock::now() - start < seconds(30)) {
            present ? churn.RemovePort("extra") : churn.AddPort("extra", (flips / 2) % 2 == 0);
            present = !present;
            ++flips;
            const auto flipEnd = steady_clock::now() + milliseconds(100);
            while (steady_clock::now() < flipEnd) {
                PlatMidiDrain(DeliverToWindow);
                if (steady_clock::now() >= nextCheck) { // far more often than the program does
                    gMidi.CheckDevices();
                    nextCheck += milliseconds(150);
                }
                std::this_thread::sleep_for(milliseconds(1));
            }
        }
        if (present)
            churn.RemovePort("extra");
        ASSERT_TRUE(CheckDevicesUntil(2, 2));
        const std::set<std::string> ins = {gMidi.inName[0], gMidi.inName[1]};
        const std::set<std::string> outs = {gMidi.outName[0], gMidi.outName[1]};
        EXPECT_EQ(ins, (std::set<std::string>{"churn:out", "player:play1"}));
        EXPECT_EQ(outs, (std::set<std::string>{"churn:in", "player:check"}));

        // The thru still reaches the player's check port after all that.
        gWinUI.outSel = static_cast<int16_t>(OutputIndex(player.InName()));
        const long before = player.Received(0);
        const auto end = steady_clock::now() + seconds(2);
        while (steady_clock::now() < end) {
            PlatMidiDrain(DeliverToWindow);
            std::this_thread::sleep_for(milliseconds(1));
        }
        EXPECT_GT(player.Received(0), before + 200);
        EXPECT_EQ(player.Foreign(), 0);
        std::printf("churn: %d port changes survived\n", flips);
    }
    server.Stop();
    EXPECT_TRUE(CheckDevicesUntil(0, 0));
}

} // namespace

namespace {

// Drains into the window procedure and plays a key now and then, for a while.
void Play(milliseconds howLong)
{
    const auto end = steady_clock::now() + howLong;
    int keys = 0;
    while (steady_clock::now() < end) {
        PlatMidiDrain(DeliverToWindow);
        if (++keys % 50 == 0)
            MainWndProc(PM_KEYDOWN, PVK_F1, 0);
        std::this_thread::sleep_for(milliseconds(1));
    }
}

TEST(JackSoak, ServerKilledMidStreamAndStartedAgain)
{
    ResetProgramState();
    JackServer server;
    ASSERT_TRUE(server.Start());
    auto stream = std::make_unique<JackLoad>("stream", 1, 1000000, 500.0);
    ASSERT_TRUE(stream->Ok());
    ASSERT_TRUE(CheckDevicesUntil(1, 1));
    gWinUI.outSel = static_cast<int16_t>(OutputIndex(stream->InName()));
    stream->Start();
    Play(milliseconds(1000));
    EXPECT_GT(stream->Received(0), 300);

    server.Kill(); // while the stream flows and keys are played
    const long before = gMidi.logSerial;
    Play(milliseconds(300));
    // libjack frees a dead server's leftover clients at the next client it opens: the
    // test's own dead client goes before the device check opens one.
    stream.reset();
    ASSERT_TRUE(CheckDevicesUntil(0, 0));
    Play(milliseconds(200)); // keys with nothing to send to
    EXPECT_LE(gMidi.logSerial - before, 200);

    ASSERT_TRUE(zm_midi::WaitServiceIdle(5000));
    ASSERT_TRUE(server.Start());
    stream = std::make_unique<JackLoad>("stream", 1, 1000000, 500.0);
    ASSERT_TRUE(stream->Ok());
    ASSERT_TRUE(CheckDevicesUntil(1, 1));
    gWinUI.outSel = static_cast<int16_t>(OutputIndex(stream->InName()));
    stream->Start();
    Play(milliseconds(1000));
    EXPECT_GT(stream->Received(0), 300);
    // A late period may lose or repeat a buffer, the server's doing: one break in the
    // numbers for it in each direction at most, and none without.
    EXPECT_LE(stream->OutOfOrder(), 2 * stream->Xruns()) << stream->Xruns() << " xruns";
    EXPECT_EQ(stream->Foreign(), 0);
    stream.reset();
    server.Stop();
    EXPECT_TRUE(CheckDevicesUntil(0, 0));
}

} // namespace
