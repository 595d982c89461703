// Where sends land, period by period, as the process callback places them.
#include "platform/jack/send_timing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

using zm_midi::SendTiming;

namespace {

struct Send {
    uint32_t word, made;
};
struct Landed {
    uint32_t word, frame;
    bool operator==(const Landed&) const = default;
};

// Runs periods of `frames` from `start` over the waiting sends, as the process callback
// does: in order, each where Place puts it, the rest left for a later period.
std::vector<Landed> Periods(std::deque<Send> waiting, uint32_t start, uint32_t frames,
                            uint32_t delay, int periods,
                            int room = SendTiming::kMostEventsPerPeriod)
{
    SendTiming timing;
    std::vector<Landed> landed;
    for (int p = 0; p < periods; ++p, start += frames) {
        for (int written = 0; written < room && !waiting.empty(); ++written) {
            const uint32_t at =
                timing.Place(waiting.front().word, waiting.front().made, delay, start, frames);
            if (at == SendTiming::kLater)
                break;
            timing.Wrote(waiting.front().word, start + at);
            landed.push_back({waiting.front().word, start + at});
            waiting.pop_front();
        }
    }
    return landed;
}

} // namespace

// Each send a delay after its stamp; a late one at once, but never before what went
// before it; a full period leaves the rest for the next, in order. Across the clock's wrap.
TEST(SendTiming, SendsKeepTheirSpacingInOrderAndLateOnesGoAtOnce)
{
    for (const uint32_t base : {1'000'000u, 0xFFFFFF00u}) {
        const uint32_t start = base + 256; // the first period written
        const std::vector<Landed> landed = Periods(
            {
                {0xB0, base + 10},   // due at start + 10
                {0xB1, base + 300},  // due in the next period
                {0xB2, base + 200},  // made earlier than the one before: after it all the same
                {0xB3, base - 900},  // long late: at once, behind the one before
                {0xB4, base + 9000}, // no stamp of this clock: at once
            },
            start, 256, 256, 3);
        EXPECT_EQ(landed, (std::vector<Landed>{{0xB0, start + 10},
                                               {0xB1, start + 300},
                                               {0xB2, start + 300},
                                               {0xB3, start + 300},
                                               {0xB4, start + 300}}))
            << std::hex << base;
    }
    // Room for two a period: the third waits, then goes at once.
    const std::vector<Landed> full =
        Periods({{0xC0, 0}, {0xC1, 1}, {0xC2, 2}}, 256, 256, 256, 2, 2);
    EXPECT_EQ(full, (std::vector<Landed>{{0xC0, 256}, {0xC1, 257}, {0xC2, 512}}));
}

// A release goes a frame after its strike even when both were made at once, also when the
// strike took the period's last frame; other notes and channels are not held back.
TEST(SendTiming, AReleaseNeverSharesItsStrikesFrame)
{
    const std::vector<Landed> landed = Periods(
        {
            {0x7F2490, 356}, // strike
            {0x002490, 356}, // its release, by velocity 0
            {0x7F2690, 511}, // a strike on the period's last frame
            {0x402580, 511}, // another key's note-off: not held back
            {0x7F2691, 511}, // the same key on another channel: not held back
            {0x402680, 511}, // the release: the next period's first frame
        },
        256, 256, 0, 3);
    EXPECT_EQ(landed, (std::vector<Landed>{{0x7F2490, 356},
                                           {0x002490, 357},
                                           {0x7F2690, 511},
                                           {0x402580, 511},
                                           {0x7F2691, 511},
                                           {0x402680, 512}}));
}
