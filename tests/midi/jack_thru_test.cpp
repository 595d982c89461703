// The port manager, thru and log on a real JACK server, through the logic's own paths:
// device check, window-message delivery and the thru send.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "app/c_midi.h"
#include "host_double.h"
#include "platform/linux_midi/backends.h"
#include "platform/platform.h"
#include "surface/winui.h"
#include "tests/support/jack_logic.h"
#include "tests/support/jack_peer.h"
#include "tests/support/jack_server.h"

using namespace std::chrono;
using zm_test::CheckDevicesUntil;
using zm_test::DeliverToWindow;
using zm_test::JackPeer;
using zm_test::JackServer;

namespace {

// The UI thread's part: drain into the window procedure until count messages were logged.
bool PumpUntilLogged(int count, int timeoutMs = 3000)
{
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    while (gMidi.logSerial < count) {
        PlatMidiDrain(DeliverToWindow);
        if (steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

// Waits for the peer while doing the UI thread's part: sends that had to wait for the
// next JACK period go out from the drain.
bool PeerReceives(JackPeer& peer, size_t count, int timeoutMs = 3000)
{
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    while (!peer.WaitReceived(count, 1)) {
        PlatMidiDrain(DeliverToWindow);
        if (steady_clock::now() >= end)
            return false;
    }
    return true;
}

class JackThru : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetProgramState();
        ASSERT_TRUE(server_.Start());
        peer_ = std::make_unique<JackPeer>("drums", "out", "in");
        ASSERT_TRUE(peer_->Ok());
        ASSERT_TRUE(CheckDevicesUntil(1, 1));
    }
    void TearDown() override
    {
        peer_.reset();
        server_.Stop();
        EXPECT_TRUE(CheckDevicesUntil(0, 0));
        EXPECT_TRUE(zm_midi::WaitServiceIdle(5000));
    }
    std::vector<std::vector<uint8_t>> PeerGot()
    {
        std::vector<std::vector<uint8_t>> all;
        for (const auto& e : peer_->Received())
            all.push_back(e.bytes);
        return all;
    }

    JackServer server_;
    std::unique_ptr<JackPeer> peer_;
};

using ByteList = std::vector<std::vector<uint8_t>>;

TEST_F(JackThru, ListsThePeerOnlyAndForwardsEveryShortMessage)
{
    EXPECT_STREQ(gMidi.inName[0], "drums:out");
    EXPECT_STREQ(gMidi.outName[0], "drums:in");
    const ByteList sent = {{0x90, 0x3C, 0x64}, {0xC3, 0x05},       {0xF8}, {0xE0, 0x0A, 0x40},
                           {0xF0, 0x7E, 0xF7}, {0x90, 0xBC, 0xC1}, {0xFA}};
    for (const auto& m : sent)
        peer_->Send(m);
    ASSERT_TRUE(PumpUntilLogged(6));
    ASSERT_TRUE(peer_->WaitReceived(6, 3000));
    std::this_thread::sleep_for(milliseconds(50)); // nothing more may follow
    EXPECT_EQ(PeerGot(), (ByteList{{0x90, 0x3C, 0x64},
                                   {0xC3, 0x05},
                                   {0xF8},
                                   {0xE0, 0x0A, 0x40},
                                   {0x90, 0x3C, 0x41},
                                   {0xFA}}));
    EXPECT_EQ(gMidi.logSerial, 6);
    EXPECT_EQ(gMidi.log[5], 0x00C1BC90u); // logged as received, from input 0
    EXPECT_EQ(gMidi.log[6], 0xFAu);
}

TEST_F(JackThru, NotesReachTheSelectedOutput)
{
    gWinUI.Strike(7);
    ASSERT_TRUE(peer_->WaitReceived(2, 3000));
    EXPECT_EQ(PeerGot(), (ByteList{{0x90, 0x07, 0x7F}, {0x90, 0x07, 0x00}}));
}

TEST_F(JackThru, ADeviceCheckFindsAddedPortsAndTheNamesFollow)
{
    ASSERT_TRUE(peer_->AddPort("pads", true));
    ASSERT_TRUE(CheckDevicesUntil(2, 1));
    EXPECT_STREQ(gMidi.inName[1], "drums:pads");
    ASSERT_TRUE(peer_->RemovePort("pads"));
    ASSERT_TRUE(CheckDevicesUntil(1, 1));
    EXPECT_STREQ(gMidi.inName[0], "drums:out");
}

// A synth restarted between two checks keeps the counts as they were; the check still
// connects to the new one, and notes reach it.
TEST_F(JackThru, ARestartedPeerIsReconnectedAtTheNextCheck)
{
    peer_.reset();
    peer_ = std::make_unique<JackPeer>("drums", "out", "in");
    ASSERT_TRUE(peer_->Ok());
    gMidi.CheckDevices();
    ASSERT_TRUE(zm_midi::WaitConnected(2000));
    EXPECT_STREQ(gMidi.outName[0], "drums:in");
    gWinUI.Strike(7);
    ASSERT_TRUE(PeerReceives(*peer_, 2));
    peer_->Send({0xB0, 0x07, 0x64});
    ASSERT_TRUE(PumpUntilLogged(1));
}

TEST_F(JackThru, AKilledServerIsSurvivedAndItsComebackUsed)
{
    peer_->Send({0x90, 0x3C, 0x64});
    ASSERT_TRUE(PumpUntilLogged(1));
    server_.Kill();
    peer_->Close(); // a dead client is let go before anything opens a new one
    ASSERT_TRUE(CheckDevicesUntil(0, 0));
    gWinUI.Strike(9); // nothing to send to: must be harmless
    PlatMidiDrain(DeliverToWindow);

    ASSERT_TRUE(zm_midi::WaitServiceIdle(5000));
    ASSERT_TRUE(server_.Start());
    peer_ = std::make_unique<JackPeer>("drums", "out", "in");
    ASSERT_TRUE(peer_->Ok());
    ASSERT_TRUE(CheckDevicesUntil(1, 1));
    peer_->Send({0xB0, 0x07, 0x64});
    ASSERT_TRUE(PumpUntilLogged(2));
    ASSERT_TRUE(peer_->WaitReceived(1, 3000));
    EXPECT_EQ(PeerGot().front(), (std::vector<uint8_t>{0xB0, 0x07, 0x64}));
}

} // namespace

namespace {

TEST_F(JackThru, OddBytesAreForwardedByTheRulesOrIgnored)
{
    const ByteList odd = {
        {0x90},                         // cut short
        {0x90, 0x3C},                   // cut short
        {0x3C, 0x64},                   // running status: no status byte
        {0x90, 0x3C, 0x64, 0x00},       // a message, then one cut short by running status
        {0xF0, 0x01, 0x02, 0x03, 0xF7}, // SysEx
        {0xF7},
        {0xF8, 0x00}, // a real-time byte, then a stray data byte
        {0xF4},
        {0xF5},
        {0xF9},
        {0xFD},             // undefined, but whole
        {0x80, 0xFF, 0x80}, // data bytes with bit 7 set
    };
    for (const auto& m : odd)
        peer_->Send(m);
    for (int i = 0; i < 500; ++i)
        peer_->Send({0xFE}); // a flood of active sensing
    const int expected = 7 + 500;
    ASSERT_TRUE(PumpUntilLogged(expected, 5000));
    ASSERT_TRUE(PeerReceives(*peer_, expected, 5000));
    std::this_thread::sleep_for(milliseconds(100));
    PlatMidiDrain(DeliverToWindow);
    EXPECT_EQ(gMidi.logSerial, expected);
    const ByteList got = PeerGot();
    ASSERT_EQ(got.size(), static_cast<size_t>(expected));
    // The whole first message of an event too long is used, and the rest dropped.
    EXPECT_EQ(
        ByteList(got.begin(), got.begin() + 7),
        (ByteList{{0x90, 0x3C, 0x64}, {0xF8}, {0xF4}, {0xF5}, {0xF9}, {0xFD}, {0x80, 0x7F, 0x00}}));
    for (size_t i = 7; i < got.size(); ++i)
        ASSERT_EQ(got[i], std::vector<uint8_t>{0xFE}) << i;
}

} // namespace
