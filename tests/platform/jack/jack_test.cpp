// The MIDI services on a real JACK server of the test's own (realtime, as musicians run it).
// The UI thread's part drains only when the back end wakes it, as the window does.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "platform/jack/hold_points.h"
#include "platform/linux_midi/backends.h"
#include "platform/linux_midi/short_msg.h"
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
// Posted from JACK's real-time thread too: a semaphore's release neither locks nor waits.
std::counting_semaphore<> wakes{0};

void Sink(PlatMidiHandle h, uint32_t m)
{
    got.push_back({h, m});
}
void Wake()
{
    wakes.release();
}

bool WaitWoken(milliseconds timeout)
{
    if (!wakes.try_acquire_for(timeout))
        return false;
    while (wakes.try_acquire()) {
    }
    return true;
}

// Drains whenever woken until count messages came, or no wake for timeoutMs.
bool DrainOnWakes(size_t count, int timeoutMs = 2000)
{
    while (got.size() < count) {
        if (!WaitWoken(milliseconds(timeoutMs)))
            return false;
        PlatMidiDrain(Sink);
    }
    return true;
}

std::vector<std::string> Names(bool input)
{
    std::vector<std::string> names;
    const int n = input ? PlatMidiInCount() : PlatMidiOutCount();
    for (int i = 0; i < n; ++i) {
        char buf[64];
        EXPECT_TRUE(input ? PlatMidiInName(i, buf, sizeof buf)
                          : PlatMidiOutName(i, buf, sizeof buf));
        names.emplace_back(buf);
    }
    return names;
}

int IndexOf(bool input, const std::string& name)
{
    const std::vector<std::string> names = Names(input);
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name)
            return static_cast<int>(i);
    }
    return -1;
}

bool RescanUntil(int ins, int outs, int timeoutMs = 5000)
{
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        PlatMidiRescan();
        if (PlatMidiInCount() == ins && PlatMidiOutCount() == outs)
            return true;
        if (steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

// A connection made or removed shows in every client's view of the graph from the next
// period on.
bool Eventually(const std::function<bool()>& done, int timeoutMs = 1000)
{
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    while (!done()) {
        if (steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

std::vector<uint8_t> Bytes(uint32_t word)
{
    std::vector<uint8_t> b;
    for (int i = 0; i < zm_midi::ShortMsgLength(static_cast<uint8_t>(word)); ++i)
        b.push_back(static_cast<uint8_t>(word >> (8 * i)));
    return b;
}

uint32_t Note(uint32_t i)
{
    return 0x90 | (i & 0x0F) | ((i >> 4) & 0x7F) << 8 | ((i >> 11) & 0x7F) << 16;
}

// An xrun can drop what one client wrote for another in that period, or leave a late
// client's last buffer in place to be read again: the server's doing, not ours. So what
// came must be what was sent, in order, short or repeated by no more than the xruns seen can
// explain; without an xrun, exactly all of it.
void ExpectAllButXrunLoss(const std::vector<uint32_t>& came, const std::vector<uint32_t>& sent,
                          int xruns, size_t perPeriod)
{
    size_t at = 0, matched = 0, repeated = 0;
    for (size_t i = 0; i < came.size(); ++i) {
        // A repeat is one of the period's worth matched just before.
        const auto recent = sent.begin() + static_cast<long>(at - std::min(at, perPeriod));
        if ((at == sent.size() || sent[at] != came[i]) &&
            std::find(recent, sent.begin() + static_cast<long>(at), came[i]) !=
                sent.begin() + static_cast<long>(at)) {
            ++repeated;
            continue;
        }
        while (at < sent.size() && sent[at] != came[i])
            ++at;
        ASSERT_LT(at, sent.size()) << "arrived out of order or unsent, at " << i;
        ++at;
        ++matched;
    }
    const size_t lost = sent.size() - matched;
    const size_t explained = static_cast<size_t>(xruns) * perPeriod;
    EXPECT_LE(lost, explained) << xruns << " xruns";
    EXPECT_LE(repeated, explained) << xruns << " xruns";
    if (xruns > 0)
        std::printf("%d xruns of the server, %zu of %zu lost and %zu repeated in them\n", xruns,
                    lost, sent.size(), repeated);
}

// The words a peer received, and the most that any one period carried to it.
std::vector<uint32_t> WordsReceived(const JackPeer& peer, jack_nframes_t period, size_t* most)
{
    std::vector<uint32_t> words;
    std::map<jack_nframes_t, size_t> perPeriod;
    for (const JackPeer::Event& e : peer.Received()) {
        words.push_back(e.bytes[0] | e.bytes[1] << 8 | e.bytes[2] << 16);
        *most = std::max(*most, ++perPeriod[e.frame / period]);
    }
    return words;
}

// Two keyboards in one client, for a given number of periods: "early" plays a note-off at
// the start of each period, "late" the same note's note-on in the middle; at the last frame
// both play a controller at the same time.
class TwoKeyboards {
  public:
    explicit TwoKeyboards(int periods) : periods_(periods)
    {
        jack_status_t status{};
        client_ = jack_client_open("zmkeys", JackNoStartServer, &status);
        if (client_ == nullptr)
            return;
        late_ = jack_port_register(client_, "late", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        early_ = jack_port_register(client_, "early", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client_, &TwoKeyboards::Process, this);
        jack_activate(client_);
    }
    ~TwoKeyboards()
    {
        if (client_ != nullptr)
            jack_client_close(client_);
    }
    bool Ok() const { return client_ != nullptr && late_ != nullptr && early_ != nullptr; }
    void Start() { on_.store(true); }

    static uint32_t Off(uint32_t n) { return 0x80 | n << 8; }
    static uint32_t On(uint32_t n) { return 0x90 | n << 8 | 100 << 16; }
    static uint32_t LateTie(uint32_t n) { return 0xB0 | 1 << 8 | n << 16; }
    static uint32_t EarlyTie(uint32_t n) { return 0xB1 | 1 << 8 | n << 16; }

  private:
    static int Process(jack_nframes_t frames, void* arg)
    {
        auto* self = static_cast<TwoKeyboards*>(arg);
        void* late = jack_port_get_buffer(self->late_, frames);
        void* early = jack_port_get_buffer(self->early_, frames);
        jack_midi_clear_buffer(late);
        jack_midi_clear_buffer(early);
        if (!self->on_.load() || self->played_ >= self->periods_)
            return 0;
        const uint32_t n = static_cast<uint32_t>(self->played_++) & 0x7F;
        auto put = [](void* buffer, jack_nframes_t at, uint32_t word) {
            const uint8_t bytes[3] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                                      static_cast<uint8_t>(word >> 16)};
            jack_midi_event_write(buffer, at, bytes, 3);
        };
        put(early, 0, Off(n));
        put(late, frames / 2, On(n));
        put(late, frames - 1, LateTie(n));
        put(early, frames - 1, EarlyTie(n));
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* late_ = nullptr;
    jack_port_t* early_ = nullptr;
    const int periods_;
    int played_ = 0; // process thread only
    std::atomic<bool> on_{false};
};

class JackMidi : public ::testing::TestWithParam<int> {
  protected:
    JackMidi() : server_(GetParam()) {}

    void SetUp() override
    {
        got.clear();
        ASSERT_TRUE(server_.Start()) << "jackd did not come up";
        peer_ = std::make_unique<JackPeer>("zmpeer", "midi_out", "midi_in");
        ASSERT_TRUE(peer_->Ok());
        ASSERT_TRUE(RescanUntil(1, 1));
        PlatMidiSetWake(Wake);
    }

    void TearDown() override
    {
        PlatMidiSetWake(nullptr);
        for (PlatMidiHandle h : ins_)
            PlatMidiInClose(h);
        for (PlatMidiHandle h : outs_)
            PlatMidiOutClose(h);
        peer_.reset();
        server_.Stop();
        EXPECT_TRUE(RescanUntil(0, 0));
        EXPECT_TRUE(zm_midi::WaitServiceIdle(5000));
    }

    void OpenBoth(PlatMidiHandle* in, PlatMidiHandle* out)
    {
        const int i = IndexOf(true, "zmpeer:midi_out");
        const int o = IndexOf(false, "zmpeer:midi_in");
        ASSERT_GE(i, 0);
        ASSERT_GE(o, 0);
        ASSERT_EQ(PlatMidiInOpen(in, i), 0);
        ins_.push_back(*in);
        ASSERT_EQ(PlatMidiInStart(*in), 0);
        ASSERT_EQ(PlatMidiOutOpen(out, o), 0);
        outs_.push_back(*out);
        ASSERT_TRUE(zm_midi::WaitConnected(2000));
    }

    void ExpectRoundTrip(PlatMidiHandle in, PlatMidiHandle out)
    {
        got.clear();
        peer_->ClearReceived();
        peer_->Send({0x90, 0x3C, 0x64});
        ASSERT_TRUE(DrainOnWakes(1));
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

// Every message kind byte for byte both ways, through one client of ours.
TEST_P(JackMidi, OneClientPassesShortMessagesByteForByte)
{
    EXPECT_EQ(Names(true), std::vector<std::string>({"zmpeer:midi_out"}));
    EXPECT_EQ(Names(false), std::vector<std::string>({"zmpeer:midi_in"}));
    PlatMidiHandle in = 0, out = 0;
    OpenBoth(&in, &out);
    EXPECT_NE(in, out);

    // Exactly one client of ours, its four inputs and five outputs, never listed.
    PlatMidiRescan();
    EXPECT_EQ(Names(true), std::vector<std::string>({"zmpeer:midi_out"}));
    jack_status_t status{};
    jack_client_t* look = jack_client_open("zmlook", JackNoStartServer, &status);
    ASSERT_NE(look, nullptr);
    const char** ours = jack_get_ports(look, "^ZYN_MOUSE", nullptr, 0);
    std::vector<std::string> ourPorts;
    for (const char** p = ours; p != nullptr && *p != nullptr; ++p)
        ourPorts.emplace_back(*p);
    jack_free(ours);
    jack_client_close(look);
    std::sort(ourPorts.begin(), ourPorts.end());
    EXPECT_EQ(ourPorts,
              (std::vector<std::string>{"ZYN_MOUSE:in_1", "ZYN_MOUSE:in_2", "ZYN_MOUSE:in_3",
                                        "ZYN_MOUSE:in_4", "ZYN_MOUSE:out_1", "ZYN_MOUSE:out_2",
                                        "ZYN_MOUSE:out_3", "ZYN_MOUSE:out_4", "ZYN_MOUSE:out_5"}));

    const std::vector<std::vector<uint8_t>> sent = {
        {0x90, 0x3C, 0x64, 0x3E, 0x01},       // a note-on and, by running status, another
        {0xC0, 0x05},                         // program change
        {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, // SysEx: must not come through
        {0xF8},                               // timing clock
        {0xE0, 0x00, 0x40},                   // pitch bend
        {0xF2, 0x10, 0x02},                   // song position
        {0xFE},                               // active sensing
        {0x80, 0x3C, 0x00},                   // note off, the last one
    };
    for (const auto& m : sent)
        peer_->Send(m);
    const std::vector<uint32_t> expected = {0x643C90, 0x013E90, 0x05C0, 0xF8,
                                            0x4000E0, 0x0210F2, 0xFE,   0x3C80};
    ASSERT_TRUE(DrainOnWakes(expected.size()));
    std::this_thread::sleep_for(milliseconds(30)); // anything extra would show up now
    PlatMidiDrain(Sink);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(got[i].handle, in);
        EXPECT_EQ(got[i].message, expected[i]) << i;
        EXPECT_EQ(PlatMidiOutShortMsg(out, got[i].message), 0);
    }
    ASSERT_TRUE(peer_->WaitReceived(expected.size(), 2000));
    std::this_thread::sleep_for(milliseconds(10));
    const std::vector<JackPeer::Event> back = peer_->Received();
    ASSERT_EQ(back.size(), expected.size());
    for (size_t i = 0; i < back.size(); ++i)
        EXPECT_EQ(back[i].bytes, Bytes(expected[i])) << i;
}

// 20,000 sends at once, and 5,000 messages arriving in one period: all of them, in order.
TEST_P(JackMidi, BurstsBothWaysArriveWholeAndInOrder)
{
    PlatMidiHandle in = 0, out = 0;
    OpenBoth(&in, &out);
    const int xruns = peer_->Xruns();
    constexpr uint32_t kOut = 20000;
    std::vector<uint32_t> sent;
    for (uint32_t i = 0; i < kOut; ++i) {
        sent.push_back(Note(i));
        ASSERT_EQ(PlatMidiOutShortMsg(out, sent.back()), 0);
    }
    // The sends that did not fit go out as the process thread makes room and wakes us.
    size_t seen = 0;
    auto progress = steady_clock::now();
    while (!peer_->WaitReceived(kOut, 1) && steady_clock::now() - progress < seconds(1)) {
        DrainOnWakes(got.size() + 1, 50);
        const size_t now = peer_->Received().size();
        if (now != seen)
            progress = steady_clock::now();
        seen = now;
    }
    size_t most = 0;
    const std::vector<uint32_t> came = WordsReceived(*peer_, GetParam(), &most);
    ExpectAllButXrunLoss(came, sent, peer_->Xruns() - xruns, most);

    constexpr uint32_t kIn = 5000;
    std::vector<uint8_t> event = {0x90};
    sent.clear();
    for (uint32_t i = 0; i < kIn; ++i) {
        event.push_back(static_cast<uint8_t>(i & 0x7F));
        event.push_back(static_cast<uint8_t>((i >> 7) & 0x7F));
        sent.push_back(0x90 | (i & 0x7F) << 8 | ((i >> 7) & 0x7F) << 16);
    }
    got.clear();
    peer_->Send(event);
    ASSERT_TRUE(DrainOnWakes(kIn)) << got.size();
    for (uint32_t i = 0; i < kIn; ++i)
        ASSERT_EQ(got[i].message, sent[i]) << i;
}

// A burst at 600 a period, a second of silence, then a few more: the last ones are
// handled too (the queue once stopped waking the window after a burst).
TEST_P(JackMidi, InputGoesOnAfterABurstAndASilence)
{
    const int i = IndexOf(true, "zmpeer:midi_out");
    PlatMidiHandle in = 0;
    ASSERT_EQ(PlatMidiInOpen(&in, i), 0);
    ins_.push_back(in);
    ASSERT_EQ(PlatMidiInStart(in), 0);
    ASSERT_TRUE(zm_midi::WaitConnected(2000));
    const int xruns = peer_->Xruns();
    peer_->SetPerPeriod(600);
    constexpr uint32_t kBurst = 60000;
    std::vector<uint32_t> sent;
    for (uint32_t n = 0; n < kBurst; ++n) {
        sent.push_back(0x90 | (n & 0x7F) << 8 | ((n >> 7) & 0x7F) << 16);
        peer_->Send(Bytes(sent.back()));
    }
    DrainOnWakes(kBurst, 3000);
    std::this_thread::sleep_for(seconds(1));
    for (uint32_t n = 0; n < 8; ++n) {
        sent.push_back(0x07B0 | n << 16);
        peer_->Send(Bytes(sent.back()));
    }
    DrainOnWakes(kBurst + 8, 2000);
    std::vector<uint32_t> came;
    for (const Got& g : got)
        came.push_back(g.message);
    ExpectAllButXrunLoss(came, sent, peer_->Xruns() - xruns, 600);
}

TEST_P(JackMidi, StoppedInputIsSilentAndMessagesOfAClosedHandleStillArrive)
{
    PlatMidiHandle in = 0, out = 0;
    OpenBoth(&in, &out);
    ASSERT_EQ(PlatMidiInStop(in), 0);
    peer_->Send({0x90, 0x01, 0x01});
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(PlatMidiDrain(Sink), 0u);
    ASSERT_EQ(PlatMidiInStart(in), 0);
    peer_->Send({0x90, 0x02, 0x02});
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_EQ(PlatMidiInClose(in), 0);
    ins_.clear();
    ASSERT_TRUE(DrainOnWakes(1));
    EXPECT_EQ(got[0].handle, in);
    EXPECT_EQ(got[0].message, 0x00020290u);
}

// Pretty name, else alias, else "client:port", cut to 32 bytes of whole characters; a
// port that went is refused; a port that came back under its name is another device.
TEST_P(JackMidi, ListsFollowPortsAddedRenamedReplacedAndRemoved)
{
    ASSERT_TRUE(peer_->AddPort("extra_out", true));
    EXPECT_EQ(PlatMidiInCount(), 1); // the snapshot holds until the next rescan
    PlatMidiRescan();
    ASSERT_GE(IndexOf(true, "zmpeer:extra_out"), 0);
    ASSERT_TRUE(peer_->SetAlias("extra_out", "alsa_pcm:USB Keys/midi_capture_1"));
    PlatMidiRescan();
    ASSERT_GE(IndexOf(true, "alsa_pcm:USB Keys/midi_capture_1"), 0);
    ASSERT_TRUE(peer_->SetPrettyName("extra_out",
                                     "\xC3\x9Cn\xC3\xAF"
                                     "c\xC3\xB8"
                                     "d\xC3\xA9 S\xC3\xBFnth \xE2\x80\x94 Lower Keys"));
    // The server tells of changed metadata on its own thread; a later check sees it.
    for (int n = 0; n < 100 && IndexOf(true, "zmpeer:midi_out") >= 0 && PlatMidiInCount() == 2 &&
                    IndexOf(true, "alsa_pcm:USB Keys/midi_capture_1") >= 0;
         ++n) {
        std::this_thread::sleep_for(milliseconds(10));
        PlatMidiRescan();
    }
    const int pretty = IndexOf(true, "\xC3\x9Cn\xC3\xAF"
                                     "c\xC3\xB8"
                                     "d\xC3\xA9 S\xC3\xBFnth \xE2\x80\x94 Lower Key");
    ASSERT_GE(pretty, 0) << Names(true)[0] << " / " << Names(true)[1];
    char small[22];
    ASSERT_TRUE(PlatMidiInName(pretty, small, sizeof small));
    EXPECT_STREQ(small, "\xC3\x9Cn\xC3\xAF"
                        "c\xC3\xB8"
                        "d\xC3\xA9 S\xC3\xBFnth "); // the dash would end at byte 22
    EXPECT_FALSE(PlatMidiInName(2, small, sizeof small));

    PlatMidiHandle h = 0;
    ASSERT_EQ(PlatMidiInOpen(&h, pretty), 0);
    ins_.push_back(h);
    ASSERT_TRUE(zm_midi::WaitConnected(2000)); // a port replaced before is seen a check later
    const uint64_t id = PlatMidiInId(pretty);
    PlatMidiRescan();
    EXPECT_EQ(PlatMidiInId(pretty), id);
    ASSERT_TRUE(peer_->RemovePort("extra_out"));
    ASSERT_TRUE(peer_->AddPort("extra_out", true));
    PlatMidiRescan();
    const int again = IndexOf(true, "zmpeer:extra_out");
    ASSERT_GE(again, 0);
    EXPECT_NE(PlatMidiInId(again), id);

    ASSERT_TRUE(peer_->RemovePort("extra_out"));
    PlatMidiHandle gone = 0;
    EXPECT_NE(PlatMidiInOpen(&gone, again), 0);
    EXPECT_EQ(gone, kNoMidiDevice);
    PlatMidiRescan();
    EXPECT_EQ(Names(true), std::vector<std::string>({"zmpeer:midi_out"}));
}

TEST_P(JackMidi, UnknownAndClosedHandlesAndBadWordsAreRefused)
{
    PlatMidiHandle in = 0, out = 0;
    OpenBoth(&in, &out);
    for (uint32_t bad : {0x00643C7Fu, 0xF0u, 0xF7u, 0x00803C90u})
        EXPECT_NE(PlatMidiOutShortMsg(out, bad), 0);
    EXPECT_NE(PlatMidiOutShortMsg(in, 0x00643C90), 0); // an input is no output
    EXPECT_NE(PlatMidiOutShortMsg(12345, 0x00643C90), 0);
    EXPECT_NE(PlatMidiInStart(out), 0);
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
    EXPECT_TRUE(peer_->Received().empty());

    PlatMidiHandle again = 0;
    ASSERT_EQ(PlatMidiOutOpen(&again, 0), 0);
    outs_.push_back(again);
    EXPECT_NE(again, out);
    ExpectRoundTrip(in, again);
}

// kill -9 while messages flow both ways: no call holds the caller, the incarnation moves, and
// a restarted server is found and works.
TEST_P(JackMidi, KilledServerMidBurstIsLetGoAndARestartedOneWorks)
{
    PlatMidiHandle in = 0, out = 0;
    OpenBoth(&in, &out);
    ExpectRoundTrip(in, out);
    const uint32_t incarnation = PlatMidiIncarnation();
    for (uint32_t n = 0; n < 20000; ++n)
        peer_->Send({0x90, static_cast<uint8_t>(n & 0x7F), 0x40});
    long long worstUs = 0;
    auto timed = [&worstUs](auto&& call) {
        const auto t0 = steady_clock::now();
        call();
        worstUs = std::max<long long>(
            worstUs, duration_cast<microseconds>(steady_clock::now() - t0).count());
    };
    for (int n = 0; n < 3000; ++n)
        timed([&] { PlatMidiOutShortMsg(out, Note(static_cast<uint32_t>(n))); });
    server_.Kill();
    peer_->Close();
    for (int n = 0; n < 3000; ++n)
        timed([&] { PlatMidiOutShortMsg(out, Note(static_cast<uint32_t>(n))); });
    timed([] { PlatMidiDrain(Sink); });
    timed([] { PlatMidiRescan(); });
    timed([&] { PlatMidiInClose(in); });
    timed([&] { PlatMidiOutClose(out); });
    ins_.clear();
    outs_.clear();
    std::printf("[ figure ] longest call while the server was killed: %lld us\n", worstUs);
    EXPECT_LT(worstUs, 50000);
    EXPECT_NE(PlatMidiIncarnation(), incarnation);
    EXPECT_EQ(PlatMidiInCount(), 0);
    EXPECT_NE(PlatMidiOutShortMsg(out, 0x00643C90), 0);
    const uint32_t lostIncarnation = PlatMidiIncarnation();
    while (PlatMidiDrain(Sink) > 0) {
    }
    for (const Got& g : got)
        ASSERT_EQ(g.handle, in); // what came before the kill, nothing invented

    ASSERT_TRUE(zm_midi::WaitServiceIdle(5000));
    ASSERT_TRUE(server_.Start());
    peer_ = std::make_unique<JackPeer>("zmpeer", "midi_out", "midi_in");
    ASSERT_TRUE(peer_->Ok());
    ASSERT_TRUE(RescanUntil(1, 1));
    EXPECT_NE(PlatMidiIncarnation(), lostIncarnation);
    PlatMidiHandle in2 = 0, out2 = 0;
    OpenBoth(&in2, &out2);
    ExpectRoundTrip(in2, out2);
}

// A note-off on one keyboard and the same note again on another, in one period: handed on
// as played. Events at the same frame keep the order of the inputs.
TEST_P(JackMidi, InputsOfOnePeriodAreMergedInTimeOrder)
{
    constexpr int kPeriods = 100;
    TwoKeyboards keys(kPeriods);
    ASSERT_TRUE(keys.Ok());
    ASSERT_TRUE(RescanUntil(3, 1));
    PlatMidiHandle late = 0, early = 0; // the earlier events on the second input
    ASSERT_EQ(PlatMidiInOpen(&late, IndexOf(true, "zmkeys:late")), 0);
    ins_.push_back(late);
    ASSERT_EQ(PlatMidiInOpen(&early, IndexOf(true, "zmkeys:early")), 0);
    ins_.push_back(early);
    ASSERT_EQ(PlatMidiInStart(late), 0);
    ASSERT_EQ(PlatMidiInStart(early), 0);
    ASSERT_TRUE(Eventually([&] {
        return peer_->Connected("zmkeys:late", "ZYN_MOUSE:in_1") &&
               peer_->Connected("zmkeys:early", "ZYN_MOUSE:in_2");
    }));
    const int xruns = peer_->Xruns();
    keys.Start();
    DrainOnWakes(4 * kPeriods);
    // Each message with its input in the top bit.
    auto key = [&](PlatMidiHandle h, uint32_t m) { return m | (h == early ? 1u << 31 : 0); };
    std::vector<uint32_t> want, came;
    for (uint32_t n = 0; n < kPeriods; ++n) {
        want.push_back(key(early, TwoKeyboards::Off(n)));
        want.push_back(key(late, TwoKeyboards::On(n)));
        want.push_back(key(late, TwoKeyboards::LateTie(n)));
        want.push_back(key(early, TwoKeyboards::EarlyTie(n)));
    }
    for (const Got& g : got)
        came.push_back(key(g.handle, g.message));
    ExpectAllButXrunLoss(came, want, peer_->Xruns() - xruns, 4);
}

// Our ports carry only what we connected: closing lets go of a peer renamed meanwhile, and
// a check removes connections into our inputs from our own outputs and from the loopback,
// whoever made them. A keyboard connected by hand stays.
TEST_P(JackMidi, OurInputsCarryOnlyWhatWeConnectedAndNoLoop)
{
    ASSERT_TRUE(peer_->AddPort("keys", true));
    ASSERT_TRUE(peer_->AddPort("loop", true));
    ASSERT_TRUE(peer_->SetAlias("loop", "alsa_pcm:Midi-Through/midi_capture_1"));
    ASSERT_TRUE(RescanUntil(2, 1)); // the loopback is no input
    PlatMidiHandle in = 0;
    ASSERT_EQ(PlatMidiInOpen(&in, IndexOf(true, "zmpeer:midi_out")), 0);
    ASSERT_TRUE(Eventually([&] { return peer_->Connected("zmpeer:midi_out", "ZYN_MOUSE:in_1"); }));
    ASSERT_TRUE(peer_->Rename("midi_out", "renamed"));
    ASSERT_EQ(PlatMidiInClose(in), 0);
    EXPECT_TRUE(Eventually([&] { return !peer_->Connected("zmpeer:renamed", "ZYN_MOUSE:in_1"); }));

    ASSERT_TRUE(peer_->Connect("ZYN_MOUSE:out_2", "ZYN_MOUSE:in_2"));
    ASSERT_TRUE(peer_->Connect("zmpeer:loop", "ZYN_MOUSE:in_3"));
    ASSERT_TRUE(peer_->Connect("zmpeer:keys", "ZYN_MOUSE:in_3"));
    ASSERT_TRUE(Eventually([&] { return peer_->Connected("zmpeer:keys", "ZYN_MOUSE:in_3"); }));
    PlatMidiRescan();
    EXPECT_TRUE(Eventually([&] { return !peer_->Connected("ZYN_MOUSE:out_2", "ZYN_MOUSE:in_2"); }));
    EXPECT_TRUE(Eventually([&] { return !peer_->Connected("zmpeer:loop", "ZYN_MOUSE:in_3"); }));
    EXPECT_TRUE(peer_->Connected("zmpeer:keys", "ZYN_MOUSE:in_3"));
}

// An output closed with more waiting than a period's buffer takes, as a device check does,
// and at once opened on another synth: the first gets all of it in order, the second only
// what came after, and the close does not wait for the hand-over.
TEST_P(JackMidi, ClosedOutputHandsOverWhatWaitsBeforeTheReopenedOneSends)
{
    JackPeer second("zmpeer2", "midi_out", "midi_in");
    ASSERT_TRUE(second.Ok());
    ASSERT_TRUE(RescanUntil(2, 2));
    PlatMidiHandle out = 0;
    ASSERT_EQ(PlatMidiOutOpen(&out, IndexOf(false, "zmpeer:midi_in")), 0);
    ASSERT_TRUE(Eventually([&] { return peer_->Connected("ZYN_MOUSE:out_1", "zmpeer:midi_in"); }));
    const int xruns = peer_->Xruns();
    constexpr uint32_t kOld = 6000, kNew = 100; // more than the ring too: a backlog waits
    for (uint32_t i = 0; i < kOld; ++i)
        ASSERT_EQ(PlatMidiOutShortMsg(out, Note(i)), 0);
    auto t0 = steady_clock::now();
    ASSERT_EQ(PlatMidiOutClose(out), 0);
    const long long closeUs = duration_cast<microseconds>(steady_clock::now() - t0).count();
    PlatMidiHandle again = 0;
    t0 = steady_clock::now();
    ASSERT_EQ(PlatMidiOutOpen(&again, IndexOf(false, "zmpeer2:midi_in")), 0);
    const long long openUs = duration_cast<microseconds>(steady_clock::now() - t0).count();
    outs_.push_back(again);
    for (uint32_t i = 0; i < kNew; ++i)
        ASSERT_EQ(PlatMidiOutShortMsg(again, Note(kOld + i)), 0);
    std::printf("[ figure ] close with %u waiting: %lld us; the reopen after it: %lld us\n", kOld,
                closeUs, openUs);
    EXPECT_LT(closeUs, 50000);

    peer_->WaitReceived(kOld, 3000);
    second.WaitReceived(kNew, 3000);
    std::this_thread::sleep_for(milliseconds(100)); // anything extra would show up now
    // What one period carried to either peer: the most a late period of the server can take.
    size_t most = 0;
    const std::vector<uint32_t> cameFirst = WordsReceived(*peer_, GetParam(), &most);
    const std::vector<uint32_t> cameNext = WordsReceived(second, GetParam(), &most);
    std::vector<uint32_t> sentFirst, sentNext;
    for (uint32_t i = 0; i < kOld; ++i)
        sentFirst.push_back(Note(i));
    for (uint32_t i = 0; i < kNew; ++i)
        sentNext.push_back(Note(kOld + i));
    ExpectAllButXrunLoss(cameFirst, sentFirst, peer_->Xruns() - xruns, most);
    ExpectAllButXrunLoss(cameNext, sentNext, peer_->Xruns() - xruns, most);
    EXPECT_FALSE(peer_->Connected("ZYN_MOUSE:out_1", "zmpeer:midi_in"));
}

// An idle output closed and opened again at once, a message sent right after each open, as a
// note-off after a device check's reopen: none is lost to a connection not yet in the graph.
TEST_P(JackMidi, AMessageRightAfterAReopenArrives)
{
    const int o = IndexOf(false, "zmpeer:midi_in");
    constexpr uint32_t kRounds = 100;
    const auto idle = milliseconds(1 + 3 * GetParam() / 48); // three periods: nothing in flight
    const int xruns = peer_->Xruns();
    std::vector<uint32_t> sent;
    for (uint32_t i = 0; i < kRounds; ++i) {
        const size_t before = peer_->Received().size();
        PlatMidiHandle out = 0;
        ASSERT_EQ(PlatMidiOutOpen(&out, o), 0);
        sent.push_back(Note(i));
        ASSERT_EQ(PlatMidiOutShortMsg(out, sent.back()), 0);
        peer_->WaitReceived(before + 1, 500);
        std::this_thread::sleep_for(idle);
        ASSERT_EQ(PlatMidiOutClose(out), 0);
    }
    size_t most = 0;
    ExpectAllButXrunLoss(WordsReceived(*peer_, GetParam(), &most), sent, peer_->Xruns() - xruns, 1);
}

// The connection thread held up for some periods just as a closed output goes off the
// air, and then the real-time thread held up in the next period that still writes its
// queue: the queue must outlive that period (AddressSanitizer sees it freed under the
// writer).
TEST_P(JackMidi, AClosedQueueOutlivesThePeriodsThatMayStillWriteIt)
{
    static milliseconds periods;
    static std::atomic<bool> armed, taken, held;
    periods = milliseconds(1 + 3 * GetParam() / 48);
    armed = taken = held = false;
    PlatMidiHandle out = 0;
    ASSERT_EQ(PlatMidiOutOpen(&out, IndexOf(false, "zmpeer:midi_in")), 0);
    ASSERT_EQ(PlatMidiOutShortMsg(out, 0x00643C90u), 0);
    ASSERT_TRUE(peer_->WaitReceived(1, 2000));
    zm_midi::hold::afterTaking = [] {
        if (armed.exchange(false)) {
            taken = true;
            std::this_thread::sleep_for(periods);
        }
    };
    zm_midi::hold::afterOffAir = [] {
        std::this_thread::sleep_for(periods);
        armed = true;
        for (int i = 0; i < 50 && !taken; ++i)
            std::this_thread::sleep_for(milliseconds(1));
        held = true;
    };
    EXPECT_EQ(PlatMidiOutClose(out), 0);
    for (int i = 0; i < 2000 && !held; ++i)
        std::this_thread::sleep_for(milliseconds(1));
    zm_midi::hold::afterOffAir = nullptr;
    std::this_thread::sleep_for(4 * periods);
    zm_midi::hold::afterTaking = nullptr;
    ASSERT_TRUE(held) << "the close never took the queue off the air";
    EXPECT_FALSE(taken) << "a period took the queue after it went off the air";
}

INSTANTIATE_TEST_SUITE_P(Period, JackMidi, ::testing::Values(64, 1024), [](const auto& info) {
    // Appended, not "p" + std::string: GCC 12 at -O3 warns falsely (-Wrestrict).
    std::string name = "p";
    name += std::to_string(info.param);
    return name;
});

TEST(JackMidiNoServer, CountsAreZeroAndNothingHangs)
{
    setenv("JACK_DEFAULT_SERVER", ("zmtest-none-" + std::to_string(getpid())).c_str(), 1);
    const auto t0 = steady_clock::now();
    EXPECT_EQ(PlatMidiInCount(), 0);
    const uint32_t incarnation = PlatMidiIncarnation();
    PlatMidiRescan();
    PlatMidiRescan();
    EXPECT_EQ(PlatMidiOutCount(), 0);
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 1000);
    EXPECT_EQ(PlatMidiIncarnation(), incarnation);
    PlatMidiHandle h = 0;
    EXPECT_NE(PlatMidiInOpen(&h, 0), 0);
    EXPECT_EQ(h, kNoMidiDevice);
    EXPECT_EQ(PlatMidiDrain(Sink), 0u);
}

// A server that stopped answering (SIGSTOP; as with JACK's database left locked by a
// crashed client, jack_client_open then waits for good): the probe waits alone. The
// caller's calls return, the service thread still relays, and once the server answers it
// is taken.
TEST(JackMidiStoppedServer, AProbeThatHangsHoldsNeitherTheCallerNorTheServiceThread)
{
    JackServer server(128);
    ASSERT_TRUE(server.Start());
    // libjack opens one client at a time: the peer must be there before the hang.
    auto peer = std::make_unique<JackPeer>("zmpeer", "midi_out", "midi_in");
    ASSERT_TRUE(peer->Ok());
    server.Pause();
    auto t0 = steady_clock::now();
    PlatMidiRescan(); // the first check: a JACK server gets a moment
    const long long firstMs = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    std::printf("[ figure ] first check with the server stopped: %lld ms\n", firstMs);
    EXPECT_LT(firstMs, 2000);
    t0 = steady_clock::now();
    EXPECT_EQ(PlatMidiInCount(), 0);
    PlatMidiRescan();
    PlatMidiRescan();
    PlatMidiHandle h = 0;
    EXPECT_NE(PlatMidiOutOpen(&h, 0), 0);
    EXPECT_EQ(PlatMidiDrain(Sink), 0u);
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 50);

    // Setting the wake asks for a drain at once, whatever the paused server holds.
    while (wakes.try_acquire()) {
    }
    PlatMidiSetWake(Wake);
    EXPECT_TRUE(WaitWoken(milliseconds(1000)));

    server.Resume();
    ASSERT_TRUE(RescanUntil(1, 1));
    EXPECT_EQ(Names(true), std::vector<std::string>({"zmpeer:midi_out"}));
    PlatMidiSetWake(nullptr);
    peer.reset();
    server.Stop();
    EXPECT_TRUE(RescanUntil(0, 0));
    EXPECT_TRUE(zm_midi::WaitServiceIdle(5000));
}

} // namespace
