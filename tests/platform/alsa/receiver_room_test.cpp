// A program's free FIFO cells, with the kernel's answer faked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/alsa/receiver_room.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using zm_alsa::ReceiverRoom;

constexpr int64_t kNsPerMs = 1'000'000;

int freeCells = 0;
int asked = 0;
int FakeQuery(int /*seqFd*/, int /*client*/, int /*port*/)
{
    ++asked;
    return freeCells;
}

// A program at 128:0; freeCells is the room the kernel says it has for us.
ReceiverRoom Watched()
{
    ReceiverRoom room;
    room.Watch(3, 128, 0, &FakeQuery);
    asked = 0;
    return room;
}

TEST(ReceiverRoom, SendsSpendWhatTheKernelSaidIsFreeBeforeItIsAskedAgain)
{
    ReceiverRoom room = Watched();
    freeCells = 3;
    EXPECT_TRUE(room.Allows(2, 0, 5));
    room.Spend(2);
    EXPECT_TRUE(room.Allows(1, 0, 4));
    room.Spend(1);
    EXPECT_EQ(asked, 1);
    freeCells = 0;
    EXPECT_FALSE(room.Allows(1, 0, 3));
    EXPECT_EQ(asked, 2);

    // A new pass asks again, however much was known free.
    freeCells = 100;
    EXPECT_TRUE(room.Allows(1, 0, 3));
    room.Forget();
    EXPECT_TRUE(room.Allows(1, 0, 3));
    EXPECT_EQ(asked, 4);
}

TEST(ReceiverRoom, AFullProgramIsAskedAgainLaterEachTimeUpTo16Ms)
{
    ReceiverRoom room = Watched();
    freeCells = 0;
    int waits[7];
    for (int& wait : waits) {
        EXPECT_FALSE(room.Allows(1, 0, 1));
        wait = room.WaitMs();
    }
    EXPECT_EQ(std::vector<int>(waits, waits + 7), (std::vector<int>{1, 2, 4, 8, 16, 16, 16}));
    freeCells = 1;
    EXPECT_TRUE(room.Allows(1, 0, 1));
    freeCells = 0;
    room.Forget();
    EXPECT_FALSE(room.Allows(1, 0, 1));
    EXPECT_EQ(room.WaitMs(), 1);
}

TEST(ReceiverRoom, KernelClientsAndGoneProgramsAreNotHeldBack)
{
    ReceiverRoom kernelClient;
    kernelClient.Watch(3, 20, 0, nullptr); // plays at once
    asked = 0;
    freeCells = 0;
    EXPECT_TRUE(kernelClient.Allows(1, 0, 1));
    EXPECT_EQ(asked, 0);

    // A program that is gone cannot be asked: the send finds out.
    ReceiverRoom room = Watched();
    freeCells = -1;
    EXPECT_TRUE(room.Allows(2, 0, 1));
}

TEST(ReceiverRoom, ALastingStallAndARefusalAreEachSaidOnce)
{
    ReceiverRoom room = Watched();
    freeCells = 0;
    CaptureStderr();
    EXPECT_FALSE(room.Allows(1, 500 * kNsPerMs, 7));
    EXPECT_FALSE(room.Allows(1, 1499 * kNsPerMs, 7));
    EXPECT_EQ(GetCapturedStderr(), "");
    CaptureStderr();
    EXPECT_FALSE(room.Allows(1, 1500 * kNsPerMs, 7));
    EXPECT_FALSE(room.Allows(1, 1800 * kNsPerMs, 9));
    freeCells = 10;
    EXPECT_TRUE(room.Allows(1, 2000 * kNsPerMs, 9));
    EXPECT_EQ(GetCapturedStderr(),
              "ZYN_MOUSE: MIDI output 128:0 has taken nothing for 1 s; 7 messages wait for it\n"
              "ZYN_MOUSE: MIDI output 128:0 takes messages again after 1.5 s\n");

    CaptureStderr();
    room.Refused();
    room.Refused();
    EXPECT_EQ(GetCapturedStderr(), "ZYN_MOUSE: MIDI output 128:0 was filled up by other senders "
                                   "too; it loses what waited in its buffer\n");
    asked = 0;
    EXPECT_TRUE(room.Allows(1, 2000 * kNsPerMs, 9)); // a refusal spends what was known free
    EXPECT_EQ(asked, 1);
}

} // namespace
