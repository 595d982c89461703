// Native MIDI handles behind the contract's handles. Windows may give a closed device's
// handle value to the next device it opens; the contract promises handles that are never
// reused within a run, so each open gets a fresh serial number. Pure C++, UI thread only.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

template <typename Native> class HandleTable {
  public:
    // A new handle for a device just opened: never 0, never one given out before.
    uintptr_t Add(Native native)
    {
        const uintptr_t handle = ++last_;
        open_[handle] = native;
        return handle;
    }

    // The native handle, or false when the handle belongs to no open device.
    bool Find(uintptr_t handle, Native* native) const
    {
        const auto it = open_.find(handle);
        if (it == open_.end()) {
            return false;
        }
        *native = it->second;
        return true;
    }

    // The handle of the device that this native handle's messages come from: the earliest
    // closed one not yet drained, else the open one; 0 when there is none.
    uintptr_t HandleFor(Native native) const
    {
        for (const auto& [handle, n] : closing_) {
            if (n == native) {
                return handle;
            }
        }
        for (const auto& [handle, n] : open_) {
            if (n == native) {
                return handle;
            }
        }
        return 0;
    }

    void Remove(uintptr_t handle) { open_.erase(handle); }

    // Closed, but messages of the device may still be on their way: HandleFor answers this
    // handle for its native one, whoever opens that value next, until Drained(handle).
    void Close(uintptr_t handle)
    {
        const auto it = open_.find(handle);
        if (it != open_.end()) {
            closing_.emplace_back(handle, it->second);
            open_.erase(it);
        }
    }

    // The last message of a closed device has been handed over, or never will be.
    void Drained(uintptr_t handle)
    {
        std::erase_if(closing_, [handle](const auto& c) { return c.first == handle; });
    }
    void DrainedAll() { closing_.clear(); }

  private:
    uintptr_t last_ = 0;
    std::map<uintptr_t, Native> open_;
    std::vector<std::pair<uintptr_t, Native>> closing_; // in the order of their closes
};
