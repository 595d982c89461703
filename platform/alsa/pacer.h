// Paces writes to a port whose other end is a MIDI byte stream with a 4 KiB kernel buffer
// that drops silently when full: no faster than the wire's 3,125 bytes a second, after a
// burst the buffer takes at once.
#pragma once

#include <algorithm>
#include <cstdint>

namespace zm_alsa {

class WirePacer {
  public:
    using Clock = int64_t (*)(); // monotonic nanoseconds

    static constexpr int64_t kBytesPerSecond = 3125; // 31,250 baud, 10 bits a byte
    static constexpr int64_t kBurstBytes = 256;

    explicit WirePacer(Clock clock) : clock_(clock) {}

    // 0 when bytes may be written now, else the nanoseconds to wait before they may.
    int64_t WaitFor(int bytes) const
    {
        const int64_t now = clock_();
        const int64_t due = std::max(lineFree_, now) + Cost(bytes) - Cost(kBurstBytes);
        return due > now ? due - now : 0;
    }

    // Counts bytes as written.
    void Take(int bytes) { lineFree_ = std::max(lineFree_, clock_()) + Cost(bytes); }

  private:
    static constexpr int64_t Cost(int64_t bytes) { return bytes * 1'000'000'000 / kBytesPerSecond; }

    Clock clock_;
    int64_t lineFree_ = 0; // when the wire will have sent everything taken so far
};

} // namespace zm_alsa
