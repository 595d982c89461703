// The front's lines on stderr: which MIDI system the devices come from (or why none),
// received messages lost, and a JACK that does not answer.
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/linux_midi/front.h"

namespace zm_midi {

// UI thread: one line each time the answer changes.
void Front::Report()
{
    std::string line = sys_ != nullptr ? std::string("ZYN_MOUSE: MIDI devices from ") + sys_->Name()
                                       : "ZYN_MOUSE: no MIDI devices: " + lastWhy_;
    if (line == lastReport_)
        return;
    lastReport_ = line;
    std::fprintf(stderr, "%s\n", line.c_str());
}

// Service thread: at most one line a second, with the count since the last one.
void Front::ReportLosses()
{
    const uint64_t lost = in_.Lost();
    const uint64_t overruns = overruns_.load(std::memory_order_relaxed);
    if (lost == reportedLost_ && overruns == reportedOverruns_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastLossReport_ < std::chrono::seconds(1))
        return;
    if (lost != reportedLost_) {
        std::fprintf(stderr,
                     "ZYN_MOUSE: %llu received MIDI messages lost: the program could not take them "
                     "in time\n",
                     static_cast<unsigned long long>(lost - reportedLost_));
    }
    if (overruns != reportedOverruns_) {
        std::fprintf(stderr,
                     "ZYN_MOUSE: received MIDI messages lost: the MIDI system's input buffer "
                     "overran %llu times\n",
                     static_cast<unsigned long long>(overruns - reportedOverruns_));
    }
    reportedLost_ = lost;
    reportedOverruns_ = overruns;
    lastLossReport_ = now;
}

// UI thread, under mutex_. jack_client_open never returns while JACK's metadata database is
// locked by a client that died holding it, or while the server is stopped; nothing can time
// it out, so at least say so.
void Front::WarnIfStuck()
{
    const auto waited = std::chrono::steady_clock::now() - probeStart_;
    if (warnedStuck_ || !jackProbing_ || waited < std::chrono::seconds(10))
        return;
    warnedStuck_ = true;
    std::fprintf(
        stderr,
        "ZYN_MOUSE: JACK has not answered for %lld s (a JACK client that crashed may "
        "have left JACK's "
        "database in /dev/shm locked, or the server is stopped); JACK is not used "
        "until it answers\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(waited).count()));
}

} // namespace zm_midi
