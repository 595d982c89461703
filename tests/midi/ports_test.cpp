#include <gtest/gtest.h>

#include <cstring>

#include "app/action.h"
#include "app/c_midi.h"
#include "host_double.h"
#include "midi_double.h"
#include "surface/winui.h"

namespace {

using midi_double::Device;

std::vector<Device> Named(std::initializer_list<const char*> names)
{
    std::vector<Device> d;
    for (const char* n : names)
        d.push_back({n});
    return d;
}

class PortsTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetProgramState();
        midi_double::Reset();
    }
    void TearDown() override
    {
        EXPECT_FALSE(midi_double::AnyHandleClosedTwice());
        EXPECT_FALSE(midi_double::AnyUseOfClosedHandle());
    }
    int CountCalls(const std::string& op)
    {
        int n = 0;
        for (const auto& c : midi_double::Calls())
            n += c.op == op ? 1 : 0;
        return n;
    }
};

TEST_F(PortsTest, CountsAreCappedAtFourInputsAndFiveOutputs)
{
    midi_double::SetInputs(Named({"i0", "i1", "i2", "i3", "i4", "i5"}));
    midi_double::SetOutputs(Named({"o0", "o1", "o2", "o3", "o4", "o5", "o6"}));
    gMidi.OpenInputs();
    gMidi.OpenOutputs();
    EXPECT_EQ(gMidi.inCount, 4);
    EXPECT_EQ(gMidi.outCount, 5);
    EXPECT_EQ(midi_double::OpenHandles(), 9);
    EXPECT_STREQ(gMidi.inName[3], "i3");
    EXPECT_STREQ(gMidi.inName[4], "");
    EXPECT_STREQ(gMidi.outName[4], "o4");

    // Six inputs becoming five is above the cap: nothing is reopened.
    midi_double::SetInputs(Named({"i0", "i1", "i2", "i3", "i4"}));
    const size_t calls = midi_double::Calls().size();
    gMidi.CheckDevices();
    EXPECT_EQ(midi_double::Calls().size(), calls);
    EXPECT_EQ(gMidi.redrawFlags, 0);
}

TEST_F(PortsTest, AFailedOpenKeepsTheSlotCountedAndUnnamed)
{
    midi_double::SetOutputs({{"Synth A"}, {"Broken", true}, {"Synth C"}});
    gMidi.OpenOutputs();
    EXPECT_EQ(gMidi.outCount, 3);
    EXPECT_STREQ(gMidi.outName[0], "Synth A");
    EXPECT_STREQ(gMidi.outName[1], "");
    EXPECT_STREQ(gMidi.outName[2], "Synth C");
    EXPECT_EQ(gMidi.outHandle[1], kNoMidiDevice);
    gWinUI.outSel = 1;
    gWinUI.Strike(60); // nothing to send to, nothing sent
    EXPECT_TRUE(midi_double::SentWords().empty());

    // Nor does a slot whose device was replaced by one that fails: the old name would
    // stand for a port that is gone.
    midi_double::SetOutputs({{"Synth A"}, {"Broken", true}, {"Broken too", true}});
    midi_double::SetInputs({{"Keys"}});
    gMidi.OpenInputs();
    midi_double::SetInputs({{"Pads", false, true}});
    gMidi.CheckDevices();
    EXPECT_STREQ(gMidi.outName[2], "");
    EXPECT_STREQ(gMidi.inName[0], "");
}

TEST_F(PortsTest, AnInputThatFailsToStartStaysOpenButUnnamed)
{
    midi_double::SetInputs({{"Keys"}, {"Pads", false, true}});
    gMidi.OpenInputs();
    EXPECT_EQ(gMidi.inCount, 2);
    EXPECT_STREQ(gMidi.inName[1], "");
    EXPECT_NE(gMidi.inHandle[1], kNoMidiDevice);
    EXPECT_EQ(midi_double::OpenHandles(), 2);
}

TEST_F(PortsTest, LoweredOutputCountReopensAndKeepsTheOldThirdName)
{
    midi_double::SetInputs(Named({"in"}));
    midi_double::SetOutputs(Named({"A", "B", "C"}));
    gMidi.OpenInputs();
    gMidi.OpenOutputs();
    gWinUI.outSel = 2;
    midi_double::SetOutputs(Named({"A", "B"}));
    gMidi.CheckDevices();
    EXPECT_EQ(CountCalls("outClose"), 3);
    EXPECT_EQ(CountCalls("outOpen"), 5);
    EXPECT_EQ(CountCalls("inClose"), 0); // the inputs did not change
    EXPECT_EQ(gMidi.outCount, 2);
    EXPECT_STREQ(gMidi.outName[2], "C");
    EXPECT_EQ(gWinUI.outSel, 2);
    EXPECT_EQ(gMidi.redrawFlags & REDRAW_FULL, REDRAW_FULL);
    gWinUI.Strike(60);
    EXPECT_TRUE(midi_double::SentWords().empty());
}

TEST_F(PortsTest, AChangedInputCountAloneLeavesTheOutputsOpen)
{
    midi_double::SetInputs(Named({"a"}));
    midi_double::SetOutputs(Named({"x"}));
    gMidi.OpenInputs();
    gMidi.OpenOutputs();
    const PlatMidiHandle out = gMidi.outHandle[0];
    midi_double::SetInputs(Named({"a", "b"}));
    gMidi.CheckDevices();
    EXPECT_EQ(CountCalls("inStop"), 1);
    EXPECT_EQ(CountCalls("inClose"), 1);
    EXPECT_EQ(gMidi.inCount, 2);
    EXPECT_STREQ(gMidi.inName[1], "b");
    EXPECT_EQ(gMidi.outHandle[0], out);
    EXPECT_EQ(gMidi.redrawFlags, REDRAW_FULL);
}

TEST_F(PortsTest, SlotsThatNeverOpenedAreNeverClosed)
{
    midi_double::SetInputs({{"bad", true}, {"good"}});
    gMidi.OpenInputs();
    midi_double::SetInputs({});
    gMidi.CheckDevices();
    EXPECT_EQ(CountCalls("inClose"), 1);
    EXPECT_EQ(CountCalls("inStop"), 1);
    EXPECT_EQ(gMidi.inCount, 0);
    EXPECT_EQ(midi_double::OpenHandles(), 0);
}

TEST_F(PortsTest, ALostMidiSystemReopensBothSidesEvenWithEqualCounts)
{
    midi_double::SetInputs(Named({"a"}));
    midi_double::SetOutputs(Named({"x"}));
    gMidi.OpenInputs();
    gMidi.OpenOutputs();
    const PlatMidiHandle oldOut = gMidi.outHandle[0];
    midi_double::BumpIncarnation();
    gMidi.CheckDevices();
    EXPECT_NE(gMidi.outHandle[0], oldOut);
    EXPECT_EQ(midi_double::OpenHandles(), 2);
    gWinUI.Strike(1);
    EXPECT_EQ(midi_double::SentTo(0).size(), 2u);
    const size_t calls = midi_double::Calls().size();
    gMidi.CheckDevices(); // same incarnation, same counts: nothing happens
    EXPECT_EQ(midi_double::Calls().size(), calls);
}

TEST_F(PortsTest, NamesFillExactlyThirtyTwoBytes)
{
    const std::string n31(31, 'x');
    const std::string n40(40, 'y');
    midi_double::SetOutputs({{n31}, {"Short"}, {n40}, {"lost", false, false, true}});
    std::memset(gMidi.outName[1], 'Q', 40);
    std::memset(gMidi.outName[1] + 32, 0, 8);
    std::memcpy(gMidi.outName[3], "old", 4);
    gMidi.OpenOutputs();
    EXPECT_EQ(std::string(gMidi.outName[0]), n31);
    EXPECT_STREQ(gMidi.outName[1], "Short");
    for (int i = 5; i < 40; ++i)
        EXPECT_EQ(gMidi.outName[1][i], 0) << i;
    EXPECT_EQ(std::string(gMidi.outName[2]), std::string(32, 'y'));
    EXPECT_STREQ(gMidi.outName[3], ""); // opened without a name: no stale one either
}

} // namespace
