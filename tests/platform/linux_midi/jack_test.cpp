// The RtMidi back end against a real JACK server of the test's own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/jack_peer.h"
#include "tests/support/jack_server.h"

using namespace std::chrono;
using zm_test::JackPeer;
using zm_test::JackServer;

namespace {

struct Got {
    PlatMidiHandle handle;
    uint32_t message;
};
std::vector<Got> got;
std::atomic<int> wakes{0};

void Sink(PlatMidiHandle h, uint32_t m) { got.push_back({h, m}); }
void Wake() { wakes.fetch_add(1); }

// Drains until at least count messages arrived (bounded); the UI thread's part.
bool DrainUntil(size_t count, int timeoutMs = 2000) {
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        PlatMidiDrain(Sink);
        if (got.size() >= count) return true;
        if (steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
}

std::vector<std::string> Names(bool input) {
    std::vector<std::string> names;
    const int n = input ? PlatMidiInCount() : PlatMidiOutCount();
    for (int i = 0; i < n; ++i) {
        char buf[64];
        EXPECT_TRUE(input ? PlatMidiInName(i, buf, sizeof buf) : PlatMidiOutName(i, buf, sizeof buf));
        names.emplace_back(buf);
    }
    return names;
}

int IndexOf(bool input, const std::string& name) {
    const std::vector<std::string> names = Names(input);
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) return static_cast<int>(i);
    }
    return -1;
}

// Rescans until the back end sees the expected counts (bounded).
bool RescanUntil(int ins, int outs, int timeoutMs = 3000) {
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        PlatMidiRescan();
        if (PlatMidiInCount() == ins && PlatMidiOutCount() == outs) return true;
        if (steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

std::vector<uint8_t> Bytes(uint32_t word, size_t n) {
    std::vector<uint8_t> b;
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(word >> (8 * i)));
    return b;
}

class RtMidiJack : public ::testing::Test {
protected:
    void SetUp() override {
        got.clear();
        ASSERT_TRUE(server_.Start()) << "jackd did not come up";
        peer_ = std::make_unique<JackPeer>("zmpeer", "midi_out", "midi_in");
        ASSERT_TRUE(peer_->Ok());
        ASSERT_TRUE(RescanUntil(1, 1));
    }

    void TearDown() override {
        for (PlatMidiHandle h : ins_) PlatMidiInClose(h);
        for (PlatMidiHandle h : outs_) PlatMidiOutClose(h);
        peer_.reset();
        server_.Stop();
        // The back end lets go of the stopped server before anything opens a new client.
        EXPECT_TRUE(RescanUntil(0, 0));
    }

    // Opens and starts the peer's output as our input and the peer's input as our output.
    void OpenBoth(PlatMidiHandle* in, PlatMidiHandle* out) {
        const int i = IndexOf(true, "zmpeer:midi_out");
        const int o = IndexOf(false, "zmpeer:midi_in");
        ASSERT_GE(i, 0);
        ASSERT_GE(o, 0);
        ASSERT_EQ(PlatMidiInOpen(in, i), 0);
        ins_.push_back(*in);
        ASSERT_EQ(PlatMidiInStart(*in), 0);
        ASSERT_EQ(PlatMidiOutOpen(out, o), 0);
        outs_.push_back(*out);
    }

    // Peer -> our input -> drain -> our output -> peer, byte for byte.
    void ExpectRoundTrip(PlatMidiHandle in, PlatMidiHandle out) {
        got.clear();
        peer_->ClearReceived();
        peer_->Send({0x90, 0x3C, 0x64});
        ASSERT_TRUE(DrainUntil(1));
        EXPECT_EQ(got[0].handle, in);
        EXPECT_EQ(got[0].message, 0x00643C90u);
        EXPECT_EQ(PlatMidiOutShortMsg(out, got[0].message), 0);
        ASSERT_TRUE(peer_->WaitReceived(1, 2000));
        EXPECT_EQ(peer_->Received()[0].bytes, std::vector<uint8_t>({0x90, 0x3C, 0x64}));
    }

    JackServer server_;
    std::unique_ptr<JackPeer> peer_;
    std::vector<PlatMidiHandle> ins_, outs_;
};

TEST_F(RtMidiJack, ListsOnlyThePeersPortsAndPassesShortMessagesByteForByte) {
    EXPECT_EQ(Names(true), std::vector<std::string>({"zmpeer:midi_out"}));
    EXPECT_EQ(Names(false), std::vector<std::string>({"zmpeer:midi_in"}));
    PlatMidiSetWake(Wake);
    PlatMidiHandle in = 0, out = 0;
    OpenBoth(&in, &out);
    EXPECT_NE(in, kNoMidiDevice);
    EXPECT_NE(out, kNoMidiDevice);
    EXPECT_NE(in, out);

    // Our own freshly opened ports stay out of the lists.
    PlatMidiRescan();
    EXPECT_EQ(Names(true), std::vector<std::string>({"zmpeer:midi_out"}));
    EXPECT_EQ(Names(false), std::vector<std::string>({"zmpeer:midi_in"}));

    const int wakesBefore = wakes.load();
    const std::vector<std::vector<uint8_t>> sent = {
        {0x90, 0x3C, 0x64},                    // note on
        {0xC0, 0x05},                          // program change
        {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},  // SysEx: must not come through
        {0xF8},                                // timing clock
        {0xE0, 0x00, 0x40},                    // pitch bend
        {0xFE},                                // active sensing
        {0x80, 0x3C, 0x00},                    // note off, the last one
    };
    for (const auto& m : sent) peer_->Send(m);
    ASSERT_TRUE(DrainUntil(6));
    std::this_thread::sleep_for(milliseconds(30));  // anything late would show up now
    PlatMidiDrain(Sink);
    EXPECT_GT(wakes.load(), wakesBefore);
    const std::vector<uint32_t> expected = {0x00643C90, 0x000005C0, 0xF8, 0x004000E0, 0xFE, 0x00003C80};
    ASSERT_EQ(got.size(), expected.size());
    const size_t lengths[] = {3, 2, 1, 3, 1, 3};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(got[i].handle, in);
        EXPECT_EQ(got[i].message, expected[i]) << i;
        EXPECT_EQ(PlatMidiOutShortMsg(out, got[i].message), 0);
    }
    ASSERT_TRUE(peer_->WaitReceived(expected.size(), 2000));
    std::this_thread::sleep_for(milliseconds(10));
    const std::vector<JackPeer::Event> back = peer_->Received();
    ASSERT_EQ(back.size(), expected.size());
    for (size_t i = 0; i < back.size(); ++i) EXPECT_EQ(back[i].bytes, Bytes(expected[i], lengths[i])) << i;
    PlatMidiSetWake(nullptr);
}

TEST_F(RtMidiJack, BurstArrivesWholeAndInOrderWhileNobodyDrains) {
    PlatMidiHandle in = 0, out = 0;
    OpenBoth(&in, &out);
    // Far beyond RtMidi's own polling queue of 100.
    constexpr uint32_t kCount = 2000;
    for (uint32_t i = 0; i < kCount; ++i) {
        peer_->Send({static_cast<uint8_t>(0x90 | (i & 0x0F)), static_cast<uint8_t>((i >> 4) & 0x7F), 0x40});
    }
    std::this_thread::sleep_for(milliseconds(400));
    ASSERT_TRUE(DrainUntil(kCount, 3000));
    ASSERT_EQ(got.size(), kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(got[i].message, (0x90 | (i & 0x0F)) | (((i >> 4) & 0x7F) << 8) | (0x40u << 16)) << i;
    }
}

TEST_F(RtMidiJack, StoppedInputIsSilentAndMessagesOfAClosedHandleStillArrive) {
    PlatMidiHandle in = 0, out = 0;
    OpenBoth(&in, &out);
    ASSERT_EQ(PlatMidiInStop(in), 0);
    peer_->Send({0x90, 0x01, 0x01});
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(PlatMidiDrain(Sink), 0u);
    ASSERT_EQ(PlatMidiInStart(in), 0);
    peer_->Send({0x90, 0x02, 0x02});
    // Wait for it to be queued, then close before the drain.
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_EQ(PlatMidiInClose(in), 0);
    ins_.clear();
    ASSERT_TRUE(DrainUntil(1));
    EXPECT_EQ(got[0].handle, in);
    EXPECT_EQ(got[0].message, 0x00020290u);
}

TEST_F(RtMidiJack, RescanFollowsPortsAddedRenamedAndRemoved) {
    ASSERT_TRUE(peer_->AddPort("extra_out", true));
    EXPECT_EQ(PlatMidiInCount(), 1);  // the snapshot holds until the next rescan
    PlatMidiRescan();
    const std::vector<std::string> names = Names(true);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(IndexOf(true, "zmpeer:extra_out") >= 0, true);
    EXPECT_EQ(PlatMidiOutCount(), 1);

    // A pretty name wins over "client:port"; it is cut to 32 bytes at a character boundary.
    ASSERT_TRUE(peer_->SetPrettyName("extra_out", "Stage Piano \xE2\x80\x94 Lower Manual Keys"));
    PlatMidiRescan();
    const int pretty = IndexOf(true, "Stage Piano \xE2\x80\x94 Lower Manual Key");
    ASSERT_GE(pretty, 0) << Names(true)[0] << " / " << Names(true)[1];
    char small[15];
    ASSERT_TRUE(PlatMidiInName(pretty, small, sizeof small));
    EXPECT_STREQ(small, "Stage Piano ");  // the dash would end at byte 15
    EXPECT_FALSE(PlatMidiInName(2, small, sizeof small));
    EXPECT_FALSE(PlatMidiInName(-1, small, sizeof small));

    // Gone after the scan that listed it: opening its index fails, and nothing else opens.
    ASSERT_TRUE(peer_->RemovePort("extra_out"));
    PlatMidiHandle h = 0;
    EXPECT_NE(PlatMidiInOpen(&h, pretty), 0);
    EXPECT_EQ(h, kNoMidiDevice);
    PlatMidiRescan();
    EXPECT_EQ(Names(true), std::vector<std::string>({"zmpeer:midi_out"}));
}

TEST_F(RtMidiJack, UnknownAndClosedHandlesAndBadWordsAreRefused) {
    PlatMidiHandle in = 0, out = 0;
    OpenBoth(&in, &out);
    EXPECT_NE(PlatMidiOutShortMsg(out, 0x00643C7F), 0);  // no status byte
    EXPECT_NE(PlatMidiOutShortMsg(out, 0x000000F0), 0);
    EXPECT_NE(PlatMidiOutShortMsg(out, 0x000000F7), 0);
    EXPECT_NE(PlatMidiOutShortMsg(in, 0x00643C90), 0);  // an input is no output
    EXPECT_NE(PlatMidiOutShortMsg(12345, 0x00643C90), 0);
    EXPECT_NE(PlatMidiInStart(out), 0);
    EXPECT_NE(PlatMidiInStop(12345), 0);
    EXPECT_NE(PlatMidiInClose(12345), 0);
    EXPECT_NE(PlatMidiOutClose(in), 0);
    EXPECT_NE(PlatMidiInOpen(nullptr, 0), 0);
    PlatMidiHandle h = 0;
    EXPECT_NE(PlatMidiInOpen(&h, 1), 0);
    EXPECT_NE(PlatMidiOutOpen(&h, -1), 0);

    ASSERT_EQ(PlatMidiOutClose(out), 0);
    outs_.clear();
    EXPECT_NE(PlatMidiOutShortMsg(out, 0x00643C90), 0);
    EXPECT_NE(PlatMidiOutClose(out), 0);
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_TRUE(peer_->Received().empty());  // nothing of the refused words went out

    // A reopened device gets a new handle.
    PlatMidiHandle again = 0;
    ASSERT_EQ(PlatMidiOutOpen(&again, 0), 0);
    outs_.push_back(again);
    EXPECT_NE(again, out);
    EXPECT_NE(again, in);
    ExpectRoundTrip(in, again);
}

TEST_F(RtMidiJack, KilledServerIsLetGoAndARestartedOneWorks) {
    PlatMidiHandle in = 0, out = 0;
    OpenBoth(&in, &out);
    ExpectRoundTrip(in, out);
    const uint32_t epoch = PlatMidiEpoch();

    server_.Kill();
    peer_->Close();  // the peer shares libjack with us; it lets go of the dead server too
    std::this_thread::sleep_for(milliseconds(50));
    const auto t0 = steady_clock::now();
    PlatMidiRescan();
    const auto ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    std::printf("[ figure ] rescan that let go of a killed server: %lld ms\n", static_cast<long long>(ms));
    EXPECT_LT(ms, 2500);
    EXPECT_NE(PlatMidiEpoch(), epoch);
    EXPECT_EQ(PlatMidiInCount(), 0);
    EXPECT_EQ(PlatMidiOutCount(), 0);
    EXPECT_NE(PlatMidiOutShortMsg(out, 0x00643C90), 0);
    EXPECT_NE(PlatMidiInStart(in), 0);
    EXPECT_EQ(PlatMidiInStop(in), 0);
    EXPECT_EQ(PlatMidiInClose(in), 0);
    EXPECT_EQ(PlatMidiOutClose(out), 0);
    ins_.clear();
    outs_.clear();
    const uint32_t lostEpoch = PlatMidiEpoch();

    ASSERT_TRUE(server_.Start());
    peer_ = std::make_unique<JackPeer>("zmpeer", "midi_out", "midi_in");
    ASSERT_TRUE(peer_->Ok());
    ASSERT_TRUE(RescanUntil(1, 1));
    EXPECT_NE(PlatMidiEpoch(), lostEpoch);
    PlatMidiHandle in2 = 0, out2 = 0;
    OpenBoth(&in2, &out2);
    EXPECT_NE(in2, in);
    EXPECT_NE(out2, out);
    ExpectRoundTrip(in2, out2);
}

TEST(RtMidiNoServer, CountsAreZeroAndNothingHangs) {
    // A server name nobody runs; ALSA has no /dev/snd/seq on these machines either.
    setenv("JACK_DEFAULT_SERVER", ("zmtest-none-" + std::to_string(getpid())).c_str(), 1);
    const auto t0 = steady_clock::now();
    EXPECT_EQ(PlatMidiInCount(), 0);
    const uint32_t epoch = PlatMidiEpoch();
    PlatMidiRescan();
    PlatMidiRescan();
    EXPECT_EQ(PlatMidiInCount(), 0);
    EXPECT_EQ(PlatMidiOutCount(), 0);
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 1000);
    EXPECT_EQ(PlatMidiEpoch(), epoch);  // nothing was there to lose
    char name[8] = "x";
    EXPECT_FALSE(PlatMidiInName(0, name, sizeof name));
    PlatMidiHandle h = 0;
    EXPECT_NE(PlatMidiInOpen(&h, 0), 0);
    EXPECT_NE(PlatMidiOutOpen(&h, 0), 0);
    EXPECT_EQ(h, kNoMidiDevice);
    EXPECT_EQ(PlatMidiDrain(Sink), 0u);
}

}  // namespace
