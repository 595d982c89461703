#include "platform/linux_midi/hand_over.h"

#include <chrono>
#include <cstdio>

namespace zm_midi {

const char* const kHandOverTooSlow = "the port could not take them within a second of its close";

int64_t MonotonicNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void ReportDropped(const std::string& output, uint64_t count, const char* why)
{
    if (count == 0)
        return;
    std::fprintf(stderr, "ZYN_MOUSE: %llu MIDI messages for output %s were dropped%s%s\n",
                 static_cast<unsigned long long>(count), output.c_str(), why != nullptr ? ": " : "",
                 why != nullptr ? why : "");
}

} // namespace zm_midi
