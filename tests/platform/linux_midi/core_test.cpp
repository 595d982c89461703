// The pieces both MIDI systems share, without a server: byte rules, names, the queues.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux_midi/in_queue.h"
#include "platform/linux_midi/names.h"
#include "platform/linux_midi/out_queue.h"
#include "platform/linux_midi/short_msg.h"

using namespace zm_midi;

namespace {

std::vector<uint32_t> Split(std::vector<uint8_t> bytes)
{
    std::vector<uint32_t> out;
    SplitShortMessages(bytes.data(), bytes.size(), [&](uint32_t w) { out.push_back(w); });
    return out;
}

} // namespace

TEST(MidiBytes, UnpackSendsWhatTheStatusCallsForAndNothingElse)
{
    uint8_t b[3];
    ASSERT_EQ(UnpackShort(0x00643C90, b), 3);
    EXPECT_EQ(b[0], 0x90);
    EXPECT_EQ(b[2], 0x64);
    EXPECT_EQ(UnpackShort(0x000005C0, b), 2);
    EXPECT_EQ(UnpackShort(0x000010F1, b), 2);
    EXPECT_EQ(UnpackShort(0x000201F2, b), 3);
    EXPECT_EQ(UnpackShort(0x00FFFFF8, b), 1); // bytes above a one-byte message are ignored
    for (uint32_t bad : {0x00643C7Fu, 0u, 0xF0u, 0xF7u, 0x00803C90u, 0x000090C0u})
        EXPECT_EQ(UnpackShort(bad, b), 0) << bad;
}

TEST(MidiBytes, SplitHonoursRunningStatusAndSkipsWhatIsNoShortMessage)
{
    EXPECT_EQ(Split({0x90, 0x3C, 0x64}), (std::vector<uint32_t>{0x643C90}));
    // Running status inside one event; a clock in the middle of a message.
    EXPECT_EQ(Split({0x90, 0x3C, 0x64, 0x3E, 0xF8, 0x00, 0xC1, 0x05, 0x06}),
              (std::vector<uint32_t>{0x643C90, 0xF8, 0x003E90, 0x05C1, 0x06C1}));
    // SysEx, stray data, a message cut short, and system common ending running status.
    EXPECT_EQ(Split({0xF0, 0x7E, 0x01, 0xF7, 0x40, 0xF2, 0x01, 0x02, 0x03, 0xF6, 0x80, 0x3C}),
              (std::vector<uint32_t>{0x0201F2, 0xF6}));
    EXPECT_TRUE(Split({}).empty());
    // One whole message keeps its data bytes as they came; inside a longer event they are
    // status bytes.
    EXPECT_EQ(Split({0x90, 0xBC, 0xC1}), std::vector<uint32_t>{0xC1BC90});
    EXPECT_EQ(Split({0x90, 0x3C, 0x64, 0xBC, 0x01}), std::vector<uint32_t>{0x643C90});
}

TEST(MidiNames, CutAtCharacterBoundariesAndKnowTheLoopback)
{
    char buf[40];
    EXPECT_EQ(CopyDeviceName(std::string(40, 'a'), buf, sizeof buf), 32u);
    EXPECT_EQ(CopyDeviceName(std::string(31, 'b') + "\xC3\xA9", buf, sizeof buf), 31u);
    const std::string kana = "\xE3\x82\xB7\xE3\x83\xB3";
    EXPECT_EQ(CopyDeviceName(kana, buf, 6), 3u);
    EXPECT_STREQ(buf, "\xE3\x82\xB7");
    EXPECT_EQ(CopyDeviceName(kana, buf, 3), 0u);

    // A 64-byte ALSA field may end inside a character.
    EXPECT_EQ(TrimCutCharacter("Synth \xE3\x82"), "Synth ");
    EXPECT_EQ(TrimCutCharacter("Synth \xE3\x82\xB7"), "Synth \xE3\x82\xB7");
    EXPECT_EQ(TrimCutCharacter("S\xC3"), "S");

    PortRef alsa{"14:0", "Midi Through Port-0", "Midi Through", {}, 0};
    PortRef jack2{"system:midi_capture_1",
                  "system:midi_capture_1",
                  "system",
                  {"alsa_pcm:Midi-Through/midi_capture_1"},
                  0};
    PortRef pipewire{
        "Midi-Bridge:Midi Through:(capture_0) Midi Through Port-0", "x", "Midi-Bridge", {}, 0};
    PortRef synth{"fluidsynth:midi_00", "FLUID Synth", "fluidsynth", {"alsa_pcm:Synth"}, 0};
    EXPECT_TRUE(IsLoopback(alsa));
    EXPECT_TRUE(IsLoopback(jack2));
    EXPECT_TRUE(IsLoopback(pipewire));
    EXPECT_FALSE(IsLoopback(synth));
    const uint64_t before = PortId(synth);
    synth.incarnation = 1;
    EXPECT_NE(PortId(synth), before);
}

namespace {

// The UI thread's part, as the host does it: it drains only when woken.
struct WokenDrainer {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
    static WokenDrainer* self;
    static void Wake()
    {
        std::lock_guard lock(self->mutex);
        self->woken = true;
        self->cv.notify_one();
    }
    bool WaitWake(int ms)
    {
        std::unique_lock lock(mutex);
        const bool got = cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return woken; });
        woken = false;
        return got;
    }
};
WokenDrainer* WokenDrainer::self = nullptr;
std::vector<uint32_t> drained;
InQueue* nested = nullptr;

void Sink(PlatMidiHandle, uint32_t m)
{
    drained.push_back(m);
    if (nested != nullptr) {
        EXPECT_EQ(nested->Drain(Sink, nullptr), 0u);
    }
}

} // namespace

// A burst, a silence, then a few more: everything is handed over though the UI thread
// drains only when it is woken, in batches, while the producer keeps pushing.
TEST(MidiInQueue, EveryPushLeadsToADrainAfterABurst)
{
    WokenDrainer ui;
    WokenDrainer::self = &ui;
    InQueue q(65536, &WokenDrainer::Wake);
    drained.clear();
    nested = &q;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        uint32_t n = 0;
        for (int batch = 0; batch < 100; ++batch) {
            for (int i = 0; i < 600; ++i)
                q.Push(1, 0x90 | (n++ & 0xFFFF) << 8);
            q.Pushed();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (int i = 0; i < 8; ++i)
            q.Push(2, 0xF8);
        q.Pushed();
        done = true;
    });
    while (drained.size() < 60008 && ui.WaitWake(2000))
        q.Drain(Sink, &WokenDrainer::Wake, 512);
    producer.join();
    nested = nullptr;
    ASSERT_EQ(drained.size(), 60008u);
    for (uint32_t i = 0; i < 60000; ++i)
        ASSERT_EQ(drained[i], 0x90 | (i & 0xFFFF) << 8) << i;
    EXPECT_EQ(drained.back(), 0xF8u);
    EXPECT_EQ(q.Lost(), 0u);
}

TEST(MidiInQueue, AFullQueueCountsWhatItRefused)
{
    InQueue q(4, nullptr);
    for (uint32_t i = 0; i < 6; ++i)
        q.Push(1, i);
    EXPECT_EQ(q.Lost(), 2u);
    drained.clear();
    EXPECT_EQ(q.Drain(Sink, nullptr), 4u);
    EXPECT_EQ(drained, (std::vector<uint32_t>{0, 1, 2, 3}));
}

// Two threads through the ring and the backlog: every message, in order, none twice.
// Run under ThreadSanitizer too.
TEST(MidiOutQueue, BacklogKeepsOrderAcrossAFullRing)
{
    OutQueue out(64);
    constexpr uint32_t kCount = 200000;
    std::atomic<bool> stop{false};
    std::vector<uint32_t> got;
    got.reserve(kCount);
    std::thread writer([&] {
        uint32_t w;
        while (!stop.load() || out.Peek(&w)) {
            while (out.Peek(&w)) {
                got.push_back(w);
                out.Pop();
            }
            std::this_thread::yield();
        }
    });
    for (uint32_t i = 0; i < kCount; ++i) {
        out.Send(i);
        if (i % 1000 == 0)
            out.Refill();
    }
    while (out.Backlog() > 0) {
        out.Refill();
        std::this_thread::yield();
    }
    stop = true;
    writer.join();
    ASSERT_EQ(got.size(), kCount);
    for (uint32_t i = 0; i < kCount; ++i)
        ASSERT_EQ(got[i], i);

    // A closed output's queue handed to the writer's thread, which then drains ring and
    // backlog itself: all of it, in order, and counted while it waits.
    OutQueue closed(64);
    for (uint32_t i = 0; i < 100; ++i)
        closed.Send(i);
    EXPECT_EQ(closed.Waiting(), 100u);
    std::vector<uint32_t> left;
    std::thread([&] {
        uint32_t w;
        do {
            while (closed.Peek(&w)) {
                left.push_back(w);
                closed.Pop();
            }
        } while (closed.Refill());
    }).join();
    ASSERT_EQ(left.size(), 100u);
    for (uint32_t i = 0; i < 100; ++i)
        EXPECT_EQ(left[i], i);
    EXPECT_EQ(closed.Waiting(), 0u);
}
