#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/rtmidi/midi_bytes.h"

using namespace zm_rtmidi;

TEST(MidiBytes, UnpackSendsWhatTheStatusCallsFor) {
    uint8_t b[3];
    ASSERT_EQ(UnpackShort(0x00643C90, b), 3);
    EXPECT_EQ(b[0], 0x90);
    EXPECT_EQ(b[1], 0x3C);
    EXPECT_EQ(b[2], 0x64);
    EXPECT_EQ(UnpackShort(0x00400000 | 0xE0, b), 3);
    EXPECT_EQ(UnpackShort(0x000005C0, b), 2);
    EXPECT_EQ(UnpackShort(0x00007FD3, b), 2);  // channel pressure
    EXPECT_EQ(UnpackShort(0x000010F1, b), 2);
    EXPECT_EQ(UnpackShort(0x000002F3, b), 2);
    EXPECT_EQ(UnpackShort(0x000201F2, b), 3);
    EXPECT_EQ(UnpackShort(0x00FFFFF8, b), 1);  // bytes above a one-byte message are ignored
    EXPECT_EQ(UnpackShort(0x000000FE, b), 1);
    EXPECT_EQ(UnpackShort(0x000000F6, b), 1);
    // Not short messages.
    EXPECT_EQ(UnpackShort(0x00643C7F, b), 0);
    EXPECT_EQ(UnpackShort(0x00000000, b), 0);
    EXPECT_EQ(UnpackShort(0x000000F0, b), 0);
    EXPECT_EQ(UnpackShort(0x000000F7, b), 0);
    // A data byte that would read as a status byte downstream.
    EXPECT_EQ(UnpackShort(0x00803C90, b), 0);
    EXPECT_EQ(UnpackShort(0x000090C0, b), 0);
}

TEST(MidiBytes, PackTakesOnlyShortMessages) {
    uint32_t w = 0;
    const unsigned char note[] = {0x90, 0x3C, 0x64};
    ASSERT_TRUE(PackShort(note, 3, &w));
    EXPECT_EQ(w, 0x00643C90u);
    const unsigned char clock[] = {0xF8};
    ASSERT_TRUE(PackShort(clock, 1, &w));
    EXPECT_EQ(w, 0xF8u);
    const unsigned char sysex[] = {0xF0, 0x7E, 0xF7};
    const unsigned char running[] = {0x3C, 0x64};
    const unsigned char highData[] = {0x90, 0xBC, 0xC1};
    const unsigned char longer[] = {0x90, 0x3C, 0x64, 0x00};
    w = 0x12345678;
    EXPECT_FALSE(PackShort(sysex, 3, &w));
    EXPECT_FALSE(PackShort(sysex + 2, 1, &w));
    EXPECT_FALSE(PackShort(running, 2, &w));
    EXPECT_FALSE(PackShort(longer, 4, &w));
    EXPECT_FALSE(PackShort(note, 0, &w));
    EXPECT_FALSE(PackShort(note, 2, &w));   // cut short
    EXPECT_FALSE(PackShort(clock, 0, &w));
    const unsigned char paddedClock[] = {0xF8, 0x01};
    EXPECT_FALSE(PackShort(paddedClock, 2, &w));
    EXPECT_EQ(w, 0x12345678u);
    // Data bytes with the top bit set arrive as they are; the logic masks them.
    ASSERT_TRUE(PackShort(highData, 3, &w));
    EXPECT_EQ(w, 0x00C1BC90u);
}

TEST(MidiBytes, DeviceNamesAreCutAtCharacterBoundaries) {
    char buf[40];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(CopyDeviceName("synth:in", buf, sizeof buf), 8u);
    EXPECT_STREQ(buf, "synth:in");

    const std::string long40(40, 'a');
    EXPECT_EQ(CopyDeviceName(long40, buf, sizeof buf), 32u);
    EXPECT_EQ(std::string(buf), std::string(32, 'a'));
    EXPECT_EQ(CopyDeviceName(long40, buf, 6), 5u);
    EXPECT_STREQ(buf, "aaaaa");

    // 31 ASCII bytes and a two-byte character: it would end at byte 33, so it is left out.
    const std::string edge = std::string(31, 'b') + "\xC3\xA9";
    EXPECT_EQ(CopyDeviceName(edge, buf, sizeof buf), 31u);
    // Three-byte characters cut by the buffer size.
    const std::string kana = "\xE3\x82\xB7\xE3\x83\xB3\xE3\x82\xBB";
    EXPECT_EQ(CopyDeviceName(kana, buf, 6), 3u);
    EXPECT_STREQ(buf, "\xE3\x82\xB7");
    EXPECT_EQ(CopyDeviceName(kana, buf, 3), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(CopyDeviceName(kana, buf, 0), 0u);
}

namespace {
std::vector<InQueue::Item> drained;
int wakes = 0;
InQueue* nested = nullptr;
void Sink(PlatMidiHandle h, uint32_t m) {
    drained.push_back({h, m});
    if (nested != nullptr) {
        EXPECT_EQ(nested->Drain(Sink), 0u);
    }
}
void Wake() { ++wakes; }
}  // namespace

TEST(MidiBytes, QueueWakesOnceWhenItTurnsNonEmptyAndKeepsOrder) {
    InQueue q(4);
    drained.clear();
    wakes = 0;
    q.Push(7, 0x90);  // before anyone listens
    q.SetWake(Wake);
    EXPECT_EQ(wakes, 1);
    for (uint32_t i = 1; i < 1000; ++i) q.Push(7 + (i % 3), 0x90 + i);  // grows past its reserve
    EXPECT_EQ(wakes, 1);
    nested = &q;
    EXPECT_EQ(q.Drain(Sink, 600), 600u);  // a bounded batch, and a wake for the rest
    EXPECT_EQ(wakes, 2);
    q.Push(5000, 0xF8);  // arrives behind the rest of the batch
    EXPECT_EQ(wakes, 3);
    EXPECT_EQ(q.Drain(Sink, 600), 400u);
    EXPECT_EQ(wakes, 3);
    EXPECT_EQ(q.Drain(Sink, 600), 1u);
    nested = nullptr;
    ASSERT_EQ(drained.size(), 1001u);
    EXPECT_EQ(drained.back().handle, 5000u);
    for (uint32_t i = 0; i < 1000; ++i) {
        EXPECT_EQ(drained[i].message, 0x90 + i);
        EXPECT_EQ(drained[i].handle, 7 + (i % 3));
    }
    EXPECT_EQ(q.Drain(Sink), 0u);
    q.Push(9, 0xF8);
    EXPECT_EQ(wakes, 4);
}
