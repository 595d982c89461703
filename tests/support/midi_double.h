// A scripted MIDI system for the logic's unit tests: devices with names that can fail to
// open or start, handles that are never reused, and a record of every call and word sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace midi_double {

struct Device {
    std::string name;
    bool openFails = false;
    bool startFails = false;
    bool nameFails = false;
    uint64_t id = 0; // 0: stands for its name
};

struct Call {
    std::string op; // "inOpen", "inStart", "inStop", "inClose", "outOpen", "outClose", "send"
    int device;     // device index the handle was opened for, -1 for an unknown handle
    PlatMidiHandle handle;
};

// Back to no devices, no records, incarnation 0.
void Reset();
void SetInputs(std::vector<Device> devices);
void SetOutputs(std::vector<Device> devices);
void BumpIncarnation();

// Every word sent, in order, with the output device index it went to.
struct Sent {
    int device;
    uint32_t word;
};
const std::vector<Sent>& SentWords();
std::vector<uint32_t> SentTo(int device);
void ClearSent();

const std::vector<Call>& Calls();
int OpenHandles(); // handles opened and not yet closed
bool AnyHandleClosedTwice();
bool AnyUseOfClosedHandle();            // a send, start or stop on a handle already closed
PlatMidiHandle InputHandle(int device); // the live handle of an input device, or 0
PlatMidiHandle OutputHandle(int device);

// Queues a received message as the back end would; PlatMidiDrain hands it over.
void Receive(PlatMidiHandle handle, uint32_t message);

} // namespace midi_double
