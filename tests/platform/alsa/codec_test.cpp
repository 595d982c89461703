// Sequencer events <-> short messages, on hand-built events.
#include <gtest/gtest.h>

#include <vector>

#include "platform/alsa/codec.h"
#include "tests/platform/alsa/seq_event.h"

namespace {

using Words = std::vector<uint32_t>;

Words Decode(const snd_seq_event_t& ev)
{
    uint32_t out[zm_alsa::kMaxDecoded] = {};
    const int n = zm_alsa::DecodeEvent(ev, out);
    return Words(out, out + n);
}

TEST(AlsaDecode, ChannelEventsBecomeOneMessageEach)
{
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_noteon(&ev, 3, 60, 0);
    EXPECT_EQ(Decode(ev), Words{0x003C93}); // velocity 0 stays a note-on
    snd_seq_ev_set_noteoff(&ev, 15, 127, 64);
    EXPECT_EQ(Decode(ev), Words{0x407F8F});
    snd_seq_ev_set_keypress(&ev, 0, 1, 2);
    EXPECT_EQ(Decode(ev), Words{0x0201A0});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_CONTROLLER, 2, 7, 100)), Words{0x6407B2});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_PGMCHANGE, 9, 0, 5)), Words{0x05C9});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_CHANPRESS, 1, 0, 90)), Words{0x5AD1});
}

TEST(AlsaDecode, PitchBendCoversItsRangeAndClampsBeyond)
{
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_PITCHBEND, 0, 0, -8192)), Words{0x0000E0});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_PITCHBEND, 0, 0, 0)), Words{0x4000E0});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_PITCHBEND, 0, 0, 8191)), Words{0x7F7FE0});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_PITCHBEND, 4, 0, 1)), Words{0x4001E4}); // LSB first
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_PITCHBEND, 0, 0, 100000)), Words{0x7F7FE0});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_PITCHBEND, 0, 0, -100000)), Words{0x0000E0});
}

TEST(AlsaDecode, FourteenBitControllersBecomeTwoAndParametersFour)
{
    // 0x1234 = MSB 0x24, LSB 0x34
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_CONTROL14, 1, 7, 0x1234)), (Words{0x2407B1, 0x3427B1}));
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_CONTROL14, 0, 31, 16383)), (Words{0x7F1FB0, 0x7F3FB0}));
    // Controllers from 32 on have no fine partner: one 7-bit message.
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_CONTROL14, 0, 64, 127)), Words{0x7F40B0});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_NONREGPARAM, 2, 0x0102, 0x1234)),
              (Words{0x0263B2, 0x0262B2, 0x2406B2, 0x3426B2}));
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_REGPARAM, 0, 0, 0x2000)),
              (Words{0x0065B0, 0x0064B0, 0x4006B0, 0x0026B0}));
}

TEST(AlsaDecode, SystemMessages)
{
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_SONGPOS, 0, 0, 0x1234)), Words{0x2434F2});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_SONGSEL, 0, 0, 3)), Words{0x03F3});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_QFRAME, 0, 0, 0x35)), Words{0x35F1});
    const std::pair<snd_seq_event_type_t, uint32_t> single[] = {
        {SND_SEQ_EVENT_TUNE_REQUEST, 0xF6}, {SND_SEQ_EVENT_CLOCK, 0xF8},
        {SND_SEQ_EVENT_START, 0xFA},        {SND_SEQ_EVENT_CONTINUE, 0xFB},
        {SND_SEQ_EVENT_STOP, 0xFC},         {SND_SEQ_EVENT_SENSING, 0xFE},
        {SND_SEQ_EVENT_RESET, 0xFF}};
    for (const auto& [type, word] : single)
        EXPECT_EQ(Decode(Control(type, 0, 0, 0)), Words{word}) << int(type);
}

TEST(AlsaDecode, WhatMidiCannotSayGivesNothing)
{
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    uint8_t sysex[] = {0xF0, 0x7E, 0x7F, 0xF7};
    snd_seq_ev_set_sysex(&ev, sizeof sysex, sysex);
    EXPECT_EQ(Decode(ev), Words{});
    snd_seq_ev_set_noteon(&ev, 16, 60, 100); // no such channel
    EXPECT_EQ(Decode(ev), Words{});
    snd_seq_ev_set_noteon(&ev, 0, 128, 100);
    EXPECT_EQ(Decode(ev), Words{});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_CONTROLLER, 0, 128, 1)), Words{});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_PGMCHANGE, 0, 0, 128)), Words{});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_NONREGPARAM, 0, 16384, 0)), Words{});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_PORT_START, 0, 0, 0)), Words{});
    // Values out of range are clamped, never wrapped into another value.
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_CONTROLLER, 0, 7, 300)), Words{0x7F07B0});
    EXPECT_EQ(Decode(Control(SND_SEQ_EVENT_CONTROLLER, 0, 7, -1)), Words{0x0007B0});
    snd_seq_ev_set_noteon(&ev, 0, 60, 200);
    EXPECT_EQ(Decode(ev), Words{0x7F3C90});
}

// Every short message we send comes back from the decoder as it went, the undefined
// one-byte messages excepted: they go as their raw byte.
TEST(AlsaEncode, WhatIsEncodedDecodesToTheSameWord)
{
    const uint32_t words[] = {0x003C93, 0x407F8F, 0x0201A0, 0x6407B2, 0x05C9, 0x5AD1, 0x0000E0,
                              0x4000E0, 0x7F7FE0, 0x4001E4, 0x2434F2, 0x03F3, 0x35F1, 0xF6,
                              0xF8,     0xFA,     0xFB,     0xFC,     0xFE,   0xFF};
    for (uint32_t word : words) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        uint8_t raw[1] = {};
        ASSERT_TRUE(zm_alsa::EncodeEvent(word, &ev, raw)) << std::hex << word;
        EXPECT_EQ(Decode(ev), Words{word}) << std::hex << word;
    }
    for (uint8_t status : {0xF4, 0xF5, 0xF9, 0xFD}) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        uint8_t raw[1] = {};
        ASSERT_TRUE(zm_alsa::EncodeEvent(status, &ev, raw));
        EXPECT_EQ(ev.type, SND_SEQ_EVENT_SYSEX);
        ASSERT_EQ(ev.data.ext.len, 1u);
        EXPECT_EQ(static_cast<const uint8_t*>(ev.data.ext.ptr)[0], status);
    }
    snd_seq_event_t ev;
    uint8_t raw[1] = {};
    EXPECT_FALSE(zm_alsa::EncodeEvent(0x8090, &ev, raw)); // a data byte with its top bit set
    EXPECT_FALSE(zm_alsa::EncodeEvent(0x3C, &ev, raw));   // no status byte
    EXPECT_FALSE(zm_alsa::EncodeEvent(0xF0, &ev, raw));   // SysEx is not a short message
}

} // namespace
