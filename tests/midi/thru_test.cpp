#include <gtest/gtest.h>

#include "app/c_midi.h"
#include "host_double.h"
#include "midi_double.h"
#include "surface/winui.h"

namespace {

class ThruTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetProgramState();
        midi_double::Reset();
        midi_double::SetInputs({{"in 1"}, {"in 2"}});
        midi_double::SetOutputs({{"out 1"}, {"out 2"}});
        gMidi.OpenInputs();
        gMidi.OpenOutputs();
    }
};

TEST_F(ThruTest, ForwardsWithDataBytesCutToSevenBits)
{
    gMidi.OnMidiData(gMidi.inHandle[0], 0x00BCC190);
    EXPECT_EQ(midi_double::SentTo(0), std::vector<uint32_t>{0x003C4190});
    EXPECT_EQ(gMidi.log[1], 0x00BCC190u); // logged as received
}

TEST_F(ThruTest, EveryTypeIsForwardedToTheSelectedOutput)
{
    gWinUI.outSel = 1;
    const uint32_t words[] = {0x00403C90, 0x00003C80, 0x000005C3, 0x00407FE0, 0xF8, 0xFA, 0x0001F2};
    for (uint32_t w : words)
        gMidi.OnMidiData(gMidi.inHandle[1], w);
    EXPECT_EQ(midi_double::SentTo(1), std::vector<uint32_t>(std::begin(words), std::end(words)));
    EXPECT_TRUE(midi_double::SentTo(0).empty());
}

TEST_F(ThruTest, HandleSearchFindsTheSlotOrFallsBackToTheCount)
{
    gMidi.OnMidiData(gMidi.inHandle[1], 0x90);
    EXPECT_EQ(gMidi.log[1] >> 24, 1u);
    gMidi.OnMidiData(987654, 0x90); // a handle no slot holds
    EXPECT_EQ(gMidi.log[2] >> 24, 2u);
    gMidi.OnMidiData(kNoMidiDevice, 0x90);
    EXPECT_EQ(gMidi.log[3] >> 24, 2u);
    EXPECT_EQ(midi_double::SentTo(0).size(), 3u); // still forwarded
}

TEST_F(ThruTest, RingStartsAtSlotOneAndWraps)
{
    for (uint32_t i = 1; i <= 33; ++i)
        gMidi.OnMidiData(gMidi.inHandle[0], 0x90 | i << 8);
    EXPECT_EQ(gMidi.logSerial, 33);
    EXPECT_EQ(gMidi.logHead, 1);
    EXPECT_EQ(gMidi.log[1], 0x90u | 33u << 8); // the 33rd overwrote the first
    EXPECT_EQ(gMidi.log[0], 0x90u | 32u << 8); // slot 0 first written by the 32nd
    EXPECT_EQ(gMidi.log[2], 0x90u | 2u << 8);
}

TEST_F(ThruTest, SerialWrapsFrom9999ToZero)
{
    gMidi.logSerial = 9998;
    gMidi.OnMidiData(gMidi.inHandle[0], 0xF8);
    EXPECT_EQ(gMidi.logSerial, 9999);
    gMidi.OnMidiData(gMidi.inHandle[0], 0xF8);
    EXPECT_EQ(gMidi.logSerial, 0);
}

TEST_F(ThruTest, WordsWithoutAStatusByteAreNeitherForwardedNorLogged)
{
    gMidi.OnMidiData(gMidi.inHandle[0], 0x00000040);
    gMidi.OnMidiData(gMidi.inHandle[0], 0);
    EXPECT_TRUE(midi_double::SentWords().empty());
    EXPECT_EQ(gMidi.logSerial, 0);
    EXPECT_EQ(gMidi.logHead, 0);
    gMidi.OnMidiData(gMidi.inHandle[0], 0xFF000090); // stray top byte cannot fake a device
    EXPECT_EQ(gMidi.log[1], 0x90u);
}

TEST_F(ThruTest, NothingIsSentWhenTheSelectedOutputIsGone)
{
    gWinUI.outSel = 3;
    gMidi.OnMidiData(gMidi.inHandle[0], 0x00403C90);
    EXPECT_TRUE(midi_double::SentWords().empty());
    EXPECT_EQ(gMidi.logSerial, 1);
}

} // namespace
