// The built program as a process on the offscreen platform: a second start is refused with
// its message and exit status 1 while the first runs; after the first is killed with SIGKILL
// (no chance to clean up) a new start succeeds.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

class Program : public testing::Test {
  protected:
    void SetUp() override
    {
        char dir[] = "/tmp/zm_process_test_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        chmod(dir_.c_str(), 0700);
    }

    void TearDown() override
    {
        for (pid_t pid : started_) {
            kill(pid, SIGKILL); // still ours: not reaped yet
            int status = 0;
            waitpid(pid, &status, 0);
        }
        std::remove((dir_ + "/ZYN_MOUSE.lock").c_str());
        for (int i = 0; i < 8; ++i) {
            std::remove((dir_ + "/err" + std::to_string(i)).c_str());
        }
        rmdir(dir_.c_str());
    }

    // Starts zyn_mouse with its own runtime directory (so the lock is ours alone), the
    // offscreen platform and the message box closing itself after 200 ms.
    pid_t Start(int n)
    {
        const std::string err = dir_ + "/err" + std::to_string(n);
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
            setenv("QT_QPA_PLATFORM", ZM_OFFSCREEN, 1);
            setenv("ZM_MESSAGEBOX_AUTOCLOSE_MS", "200", 1);
            setenv("JACK_NO_START_SERVER", "1", 1);
            const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) {
                dup2(fd, 2);
                close(fd);
            }
            execl(ZM_MOUSE_EXE, ZM_MOUSE_EXE, static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid > 0) {
            started_.push_back(pid);
        }
        return pid;
    }

    std::string Stderr(int n) const
    {
        std::ifstream in(dir_ + "/err" + std::to_string(n));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // True once the process holds an flock on the lock file (read from /proc/locks, which
    // does not disturb the lock the way trying to take it would).
    bool HoldsLock(pid_t pid) const
    {
        struct stat st {};
        if (stat((dir_ + "/ZYN_MOUSE.lock").c_str(), &st) != 0) {
            return false;
        }
        std::ifstream locks("/proc/locks");
        std::string line;
        // snprintf, not operator+: GCC 12 at -O3 warns falsely (-Wrestrict) on "x" + std::string.
        char inode[32];
        char owner[32];
        std::snprintf(inode, sizeof inode, ":%llu ", static_cast<unsigned long long>(st.st_ino));
        std::snprintf(owner, sizeof owner, " %d ", static_cast<int>(pid));
        while (std::getline(locks, line)) {
            if (line.find("FLOCK") != std::string::npos && line.find(inode) != std::string::npos &&
                line.find(owner) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    bool WaitForLock(pid_t pid, int ms) const
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            if (HoldsLock(pid)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Waits for the process to end; false if it is still running after ms.
    bool WaitExit(pid_t pid, int ms, int* status)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            const pid_t r = waitpid(pid, status, WNOHANG);
            if (r == pid) {
                started_.erase(std::remove(started_.begin(), started_.end(), pid), started_.end());
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    static bool Running(pid_t pid)
    {
        int status = 0;
        return waitpid(pid, &status, WNOHANG) == 0;
    }

    std::string dir_;
    std::vector<pid_t> started_;
};

TEST_F(Program, ASecondStartIsRefusedAndAKilledFirstLeavesNoLock)
{
    const pid_t first = Start(0);
    ASSERT_GT(first, 0);
    ASSERT_TRUE(WaitForLock(first, 15000)) << Stderr(0);

    const pid_t second = Start(1);
    ASSERT_GT(second, 0);
    int status = 0;
    const auto t0 = Clock::now();
    ASSERT_TRUE(WaitExit(second, 15000, &status)) << "the second start keeps running";
    const auto waited = Clock::now() - t0;
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    // It showed its box (which closed itself after 200 ms) before it ended.
    EXPECT_NE(Stderr(1).find("message box \"ZYN_MOUSE\": Proram still running?"), std::string::npos)
        << Stderr(1);
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_TRUE(Running(first)) << "the first instance must keep running";

    kill(first, SIGKILL);
    ASSERT_TRUE(WaitExit(first, 5000, &status));
    EXPECT_TRUE(WIFSIGNALED(status));

    const pid_t third = Start(2);
    ASSERT_GT(third, 0);
    EXPECT_TRUE(WaitForLock(third, 15000)) << Stderr(2);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(Running(third)) << Stderr(2);
    kill(third, SIGKILL);
    ASSERT_TRUE(WaitExit(third, 5000, &status));
}

TEST_F(Program, SigtermWhileRunningDoesNotLeaveALockEither)
{
    const pid_t first = Start(3);
    ASSERT_GT(first, 0);
    ASSERT_TRUE(WaitForLock(first, 15000)) << Stderr(3);
    kill(first, SIGTERM);
    int status = 0;
    ASSERT_TRUE(WaitExit(first, 5000, &status));
    const pid_t next = Start(4);
    EXPECT_TRUE(WaitForLock(next, 15000)) << Stderr(4);
}

} // namespace
