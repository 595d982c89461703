#include "tests/support/jack_server.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace zm_test {
namespace {

std::atomic<int> serial{0};

void Quiet(const char*) {}

void Sleep(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// libjack keeps a machine-wide table of at most eight servers and reclaims the entry of a
// killed server only for a new server of the same name. Names from a small pool, each
// held by a lock while in use, keep killed test servers from filling that table.
constexpr int kNamePool = 6;

int TakeNameSlot(int* lockFd)
{
    for (int slot = 0; slot < kNamePool; ++slot) {
        const std::string path = "/tmp/zm-jack-name-" + std::to_string(slot) + ".lock";
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            *lockFd = fd;
            return slot;
        }
        close(fd);
    }
    return -1;
}

} // namespace

JackServer::JackServer(int periodFrames, bool realtime)
    : period_(std::to_string(periodFrames)), realtime_(realtime)
{
    const int slot = TakeNameSlot(&nameLock_);
    name_ = slot >= 0
                ? "zmtest" + std::to_string(slot)
                : "zmtest-" + std::to_string(getpid()) + "-" + std::to_string(serial.fetch_add(1));
}

JackServer::~JackServer()
{
    Stop();
    if (nameLock_ >= 0)
        close(nameLock_);
}

bool JackServer::Start()
{
    if (pid_ > 0)
        return true;
    if (External()) {
        // A server of the caller's (PipeWire's JACK): only wait until it answers.
        jack_set_error_function(Quiet);
        jack_set_info_function(Quiet);
        return WaitReady(10000);
    }
    // Every probe before the server is up would print its failure.
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // A test that crashes or times out must not leave its server running.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() == 1)
            _exit(127);
        // jackd's chatter would drown the test output.
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, STDOUT_FILENO);
            dup2(devnull, STDERR_FILENO);
        }
        execlp("jackd", "jackd", realtime_ ? "-R" : "--no-realtime", "-n", name_.c_str(), "-d",
               "dummy", "-r", "48000", "-p", period_.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = pid;
    if (!WaitReady(10000)) {
        Kill();
        return false;
    }
    return true;
}

bool JackServer::External()
{
    return std::getenv("ZM_TEST_JACK_EXTERNAL") != nullptr;
}

bool JackServer::WaitReady(int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (!External() && waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1; // it exited by itself
            return false;
        }
        jack_status_t js{};
        jack_client_t* probe =
            External()
                ? jack_client_open("zmtest probe", JackNoStartServer, &js)
                : jack_client_open("zmtest probe",
                                   static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                   &js, name_.c_str());
        if (probe != nullptr) {
            jack_client_close(probe);
            return true;
        }
        Sleep(20);
    }
    return false;
}

bool JackServer::Reap(int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || r < 0) {
            pid_ = -1;
            return true;
        }
        Sleep(5);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

void JackServer::Stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    kill(pid_, SIGCONT); // a paused server would never see it
    if (!Reap(3000))
        Kill();
}

void JackServer::Pause()
{
    if (pid_ > 0)
        kill(pid_, SIGSTOP);
}

void JackServer::Resume()
{
    if (pid_ > 0)
        kill(pid_, SIGCONT);
}

void JackServer::Kill()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    Reap(3000);
}

} // namespace zm_test
