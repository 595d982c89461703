// The reference of the idle cost: a bare thread that wakes every 1 ms and does nothing,
// the least any program with a 1 ms clock can cost while it waits.
#include <time.h>

#include <cerrno>
#include <cstdlib>

int main(int argc, char** argv)
{
    const long seconds = argc > 1 ? std::atol(argv[1]) : 0; // 0: until killed
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    const time_t end = next.tv_sec + seconds;
    volatile unsigned long ticks = 0;
    for (;;) {
        next.tv_nsec += 1'000'000;
        if (next.tv_nsec >= 1'000'000'000) {
            next.tv_nsec -= 1'000'000'000;
            ++next.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        ticks = ticks + 1;
        if (seconds > 0 && next.tv_sec >= end)
            return 0;
    }
}
