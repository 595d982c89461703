// Byte-level rules of the MIDI back end, kept free of RtMidi so they can be tested alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace zm_rtmidi {

// Bytes a short message with this status byte takes on the wire; 0 when it is no short
// message (a data byte, or the SysEx frame bytes 0xF0 / 0xF7).
constexpr int ShortMsgLength(uint8_t status) {
    if (status < 0x80 || status == 0xF0 || status == 0xF7) return 0;
    if (status < 0xC0) return 3;
    if (status < 0xE0) return 2;
    if (status < 0xF0) return 3;
    if (status == 0xF1 || status == 0xF3) return 2;
    if (status == 0xF2) return 3;
    return 1;
}

// Unpacks a word into its wire bytes; 0 when it must not be sent (no short message, or a
// data byte with the top bit set, which would read as a status byte downstream).
inline int UnpackShort(uint32_t word, uint8_t out[3]) {
    const int n = ShortMsgLength(static_cast<uint8_t>(word));
    for (int i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(word >> (8 * i));
        if (i > 0 && out[i] >= 0x80) return 0;
    }
    return n;
}

// Packs a received message; false for what is no short message: empty, SysEx, not led by
// a status byte, or not exactly as long as its status byte calls for.
inline bool PackShort(const unsigned char* bytes, size_t size, uint32_t* word) {
    // A message cut short or padded is malformed: completing it would invent data.
    if (size == 0 || size > 3 || ShortMsgLength(bytes[0]) != static_cast<int>(size)) return false;
    uint32_t w = bytes[0];
    // Data bytes go up as received; the thru and the monitor cut them to 7 bits.
    for (size_t i = 1; i < size; ++i)
        w |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    *word = w;
    return true;
}

// Writes name NUL-terminated into dest: at most size - 1 and at most 32 bytes, never
// cutting a UTF-8 sequence in half. Returns the bytes written before the NUL.
inline size_t CopyDeviceName(std::string_view name, char* dest, size_t size) {
    if (dest == nullptr || size == 0) return 0;
    size_t n = name.size();
    if (n > 32) n = 32;
    if (n > size - 1) n = size - 1;
    if (n < name.size()) {
        // Step back over continuation bytes to the lead byte that was cut off.
        while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
    }
    for (size_t i = 0; i < n; ++i) dest[i] = name[i];
    dest[n] = '\0';
    return n;
}

// Received messages on their way from the input threads to the UI thread. Two vectors
// swapped under a mutex: pushes never drop, and once the vectors have grown to the
// traffic nothing is allocated any more.
class InQueue {
public:
    struct Item {
        PlatMidiHandle handle;
        uint32_t message;
    };

    explicit InQueue(size_t reserve = 4096) {
        pending_.reserve(reserve);
        draining_.reserve(reserve);
    }

    void SetWake(void (*wake)()) {
        bool waiting;
        {
            std::lock_guard lock(mutex_);
            wake_ = wake;
            waiting = !pending_.empty();
        }
        // Messages that came before anyone listened must not wait for the next one.
        if (wake != nullptr && waiting) wake();
    }

    // Any thread.
    void Push(PlatMidiHandle handle, uint32_t message) {
        void (*wake)() = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty()) wake = wake_;
            pending_.push_back(Item{handle, message});
        }
        if (wake != nullptr) wake();
    }

    // UI thread only. Hands over at most maxItems, oldest first, so that a flood cannot hold
    // the UI thread (and its 10 ms cycle) for long; when some are left, the wake is called
    // again so the rest follows in the next turn of the event loop. A sink that drains
    // again from inside gets nothing: the outer call still owns the batch.
    size_t Drain(void (*sink)(PlatMidiHandle, uint32_t), size_t maxItems = 512) {
        if (inDrain_) return 0;
        inDrain_ = true;
        if (next_ == draining_.size()) {
            draining_.clear();
            next_ = 0;
            std::lock_guard lock(mutex_);
            pending_.swap(draining_);
        }
        size_t count = 0;
        for (; next_ < draining_.size() && count < maxItems; ++next_, ++count) {
            if (sink != nullptr) sink(draining_[next_].handle, draining_[next_].message);
        }
        inDrain_ = false;
        if (next_ < draining_.size()) WakeNow();
        return count;
    }

    // Calls the wake now if anything waits (any thread).
    void WakeNow() {
        void (*wake)() = nullptr;
        {
            std::lock_guard lock(mutex_);
            wake = wake_;
        }
        if (wake != nullptr) wake();
    }

private:
    std::mutex mutex_;
    std::vector<Item> pending_;   // guarded by mutex_
    void (*wake_)() = nullptr;    // guarded by mutex_
    std::vector<Item> draining_;  // UI thread only
    size_t next_ = 0;             // UI thread only: first item of draining_ not yet handed over
    bool inDrain_ = false;        // UI thread only
};

}  // namespace zm_rtmidi
