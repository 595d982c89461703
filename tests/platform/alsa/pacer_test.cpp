// The wire pacer on a fake clock.
#include <gtest/gtest.h>

#include "platform/alsa/pacer.h"

namespace {

int64_t fakeNs = 0;
int64_t FakeClock()
{
    return fakeNs;
}

constexpr int64_t kNsPerMs = 1'000'000;

TEST(WirePacer, ABurstGoesAtOnceThenTheWireRateHolds)
{
    fakeNs = 5'000 * kNsPerMs;
    zm_alsa::WirePacer pacer(&FakeClock);
    int sent = 0;
    while (pacer.WaitFor(3) == 0) {
        pacer.Take(3);
        sent += 3;
    }
    EXPECT_GE(sent, 240);
    EXPECT_LE(sent, 256);
    // The next message may go once the wire sent its three bytes' worth: 0.96 ms.
    const int64_t wait = pacer.WaitFor(3);
    EXPECT_GT(wait, 0);
    EXPECT_LE(wait, 960'000);

    // Over a simulated second of taking whatever is allowed, no more than the wire's rate.
    const int64_t start = fakeNs;
    sent = 0;
    while (fakeNs < start + 1000 * kNsPerMs) {
        const int64_t w = pacer.WaitFor(3);
        if (w > 0) {
            fakeNs += w;
            continue;
        }
        pacer.Take(3);
        sent += 3;
    }
    EXPECT_GE(sent, 3120);
    EXPECT_LE(sent, 3128);
}

TEST(WirePacer, AnIdleLineSavesNoMoreThanOneBurst)
{
    fakeNs = 0;
    zm_alsa::WirePacer pacer(&FakeClock);
    pacer.Take(30);
    fakeNs += 60'000 * kNsPerMs; // a minute of silence
    int sent = 0;
    while (pacer.WaitFor(1) == 0 && sent < 10'000) {
        pacer.Take(1);
        ++sent;
    }
    EXPECT_EQ(sent, 256);
}

} // namespace
