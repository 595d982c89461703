// Rules for the names of MIDI ports, shared by the back ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/linux_midi/system.h"

namespace zm_midi {

// Writes name NUL-terminated into dest: at most size - 1 and at most 32 bytes, never
// cutting a UTF-8 sequence in half. Returns the bytes written before the NUL.
size_t CopyDeviceName(std::string_view name, char* dest, size_t size);

// Drops an incomplete UTF-8 sequence at the end (fixed-size name fields cut them).
std::string TrimCutCharacter(std::string_view name);

// A port the MIDI system loops back onto itself (the kernel's "Midi Through", also when
// bridged into JACK or PipeWire): reading it and writing it would feed the thru back.
bool IsLoopback(const PortRef& port);

// A value that stands for the port: the same while it is the same port, another once it
// was replaced, even under the same name.
uint64_t PortId(const PortRef& port);

} // namespace zm_midi
