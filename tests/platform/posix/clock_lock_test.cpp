// The clock (monotonic milliseconds, 1 ms tick thread) and the single-instance lock.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

uint64_t MonotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

TEST(Clock, TimeIsMonotonicMillisecondsTruncatedTo32Bits)
{
    const uint32_t before = static_cast<uint32_t>(MonotonicMs());
    const uint32_t t = PlatTimeMs();
    const uint32_t after = static_cast<uint32_t>(MonotonicMs());
    EXPECT_LE(static_cast<uint32_t>(t - before), static_cast<uint32_t>(after - before));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const uint32_t later = PlatTimeMs();
    EXPECT_GE(static_cast<uint32_t>(later - t), 30u);
    EXPECT_LT(static_cast<uint32_t>(later - t), 1000u);
}

std::atomic<int> gTicks{0};
std::atomic<bool> gOffThread{false};
std::thread::id gTestThread;

void CountTick()
{
    if (std::this_thread::get_id() == gTestThread) {
        gOffThread.store(false);
    }
    gTicks.fetch_add(1, std::memory_order_relaxed);
}

TEST(Clock, TickRunsEveryMillisecondOnItsOwnThreadUntilStopped)
{
    gTestThread = std::this_thread::get_id();
    gOffThread.store(true);
    gTicks.store(0);
    ASSERT_TRUE(PlatStartTick(CountTick));
    EXPECT_FALSE(PlatStartTick(CountTick)); // one tick thread at a time
    const uint64_t start = MonotonicMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    PlatStopTick();
    const uint64_t elapsed = MonotonicMs() - start;
    const int ticks = gTicks.load();
    // Absolute deadlines: close to one tick per millisecond (generous for a loaded machine).
    EXPECT_GE(ticks, static_cast<int>(elapsed) / 2);
    EXPECT_LE(ticks, static_cast<int>(elapsed) + 2);
    EXPECT_TRUE(gOffThread.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(gTicks.load(), ticks);       // stop joined the thread: no tick after it
    PlatStopTick();                        // a second stop is harmless
    ASSERT_TRUE(PlatStartTick(CountTick)); // and it can start again
    PlatStopTick();
}

// A private runtime directory, so that the tests never meet a real instance's lock.
class InstanceLock : public testing::Test {
  protected:
    void SetUp() override
    {
        char dir[] = "/tmp/zm_lock_test_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
        name_ = "ZM_LOCK_TEST";
    }
    void TearDown() override
    {
        std::remove((dir_ + "/" + name_ + ".lock").c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_;
    std::string name_;
};

TEST_F(InstanceLock, AChildHoldingTheLockRefusesUsAndItsDeathReleasesIt)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const char answer = PlatTakeInstanceLock(name_.c_str()) ? 'y' : 'n';
        (void)!write(ready[1], &answer, 1);
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    close(ready[0]);
    EXPECT_EQ(answer, 'y');
    EXPECT_EQ(access((dir_ + "/" + name_ + ".lock").c_str(), F_OK), 0);

    EXPECT_FALSE(PlatTakeInstanceLock(name_.c_str()));
    EXPECT_TRUE(PlatTakeInstanceLock("ZM_LOCK_TEST_OTHER")); // another name: another lock
    std::remove((dir_ + "/ZM_LOCK_TEST_OTHER.lock").c_str());

    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(PlatTakeInstanceLock(name_.c_str()));
    EXPECT_FALSE(PlatTakeInstanceLock(name_.c_str())); // now we hold it ourselves
}

TEST_F(InstanceLock, WithoutARuntimeDirectoryTheLockLivesInTmp)
{
    unsetenv("XDG_RUNTIME_DIR");
    const std::string name = "ZM_LOCK_TEST_" + std::to_string(getpid());
    ASSERT_TRUE(PlatTakeInstanceLock(name.c_str()));
    const std::string path = "/tmp/" + name + "-" + std::to_string(getuid()) + ".lock";
    EXPECT_EQ(access(path.c_str(), F_OK), 0) << path;
    EXPECT_FALSE(PlatTakeInstanceLock(name.c_str()));
    std::remove(path.c_str());
}

} // namespace
