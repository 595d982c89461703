#include "midi_double.h"

#include <deque>
#include <functional>
#include <map>
#include <set>

namespace midi_double {
namespace {

struct HandleInfo {
    bool input;
    int device;
    bool open;
};

struct State {
    std::vector<Device> inputs, outputs;
    uint32_t incarnation = 0;
    PlatMidiHandle nextHandle = 1000;
    std::map<PlatMidiHandle, HandleInfo> handles;
    std::vector<Sent> sent;
    std::vector<Call> calls;
    bool closedTwice = false;
    bool usedClosed = false;
    std::deque<std::pair<PlatMidiHandle, uint32_t>> queue;
    void (*wake)() = nullptr;
};

State& S()
{
    static State s;
    return s;
}

int DeviceOf(PlatMidiHandle h)
{
    auto it = S().handles.find(h);
    return it == S().handles.end() ? -1 : it->second.device;
}

// Records the call; answers whether the handle is a live one of the given side.
bool Use(const char* op, PlatMidiHandle h, bool input)
{
    S().calls.push_back({op, DeviceOf(h), h});
    auto it = S().handles.find(h);
    if (it == S().handles.end() || it->second.input != input)
        return false;
    if (!it->second.open) {
        S().usedClosed = true;
        return false;
    }
    return true;
}

int Open(PlatMidiHandle* handle, int index, bool input)
{
    const auto& list = input ? S().inputs : S().outputs;
    S().calls.push_back({input ? "inOpen" : "outOpen", index, 0});
    if (index < 0 || index >= static_cast<int>(list.size()) || list[index].openFails)
        return 2;
    *handle = S().nextHandle++;
    S().handles[*handle] = {input, index, true};
    S().calls.back().handle = *handle;
    return 0;
}

int Close(PlatMidiHandle h, bool input)
{
    S().calls.push_back({input ? "inClose" : "outClose", DeviceOf(h), h});
    auto it = S().handles.find(h);
    if (it == S().handles.end() || it->second.input != input)
        return 5;
    if (!it->second.open) {
        S().closedTwice = true;
        return 5;
    }
    it->second.open = false;
    return 0;
}

bool Name(const std::vector<Device>& list, int index, char* name, size_t size)
{
    if (index < 0 || index >= static_cast<int>(list.size()) || list[index].nameFails || size == 0)
        return false;
    const std::string& n = list[index].name;
    const size_t len = n.size() < size - 1 ? n.size() : size - 1;
    n.copy(name, len);
    name[len] = '\0';
    return true;
}

PlatMidiHandle Live(bool input, int device)
{
    for (const auto& [h, info] : S().handles)
        if (info.input == input && info.device == device && info.open)
            return h;
    return 0;
}

} // namespace

void Reset()
{
    auto wake = S().wake;
    S() = State{};
    S().wake = wake;
}
void SetInputs(std::vector<Device> devices)
{
    S().inputs = std::move(devices);
}
void SetOutputs(std::vector<Device> devices)
{
    S().outputs = std::move(devices);
}
void BumpIncarnation()
{
    ++S().incarnation;
}
const std::vector<Sent>& SentWords()
{
    return S().sent;
}
void ClearSent()
{
    S().sent.clear();
}
const std::vector<Call>& Calls()
{
    return S().calls;
}
bool AnyHandleClosedTwice()
{
    return S().closedTwice;
}
bool AnyUseOfClosedHandle()
{
    return S().usedClosed;
}
PlatMidiHandle InputHandle(int device)
{
    return Live(true, device);
}
PlatMidiHandle OutputHandle(int device)
{
    return Live(false, device);
}

std::vector<uint32_t> SentTo(int device)
{
    std::vector<uint32_t> words;
    for (const Sent& s : S().sent)
        if (s.device == device)
            words.push_back(s.word);
    return words;
}

int OpenHandles()
{
    int n = 0;
    for (const auto& [h, info] : S().handles)
        n += info.open ? 1 : 0;
    return n;
}

void Receive(PlatMidiHandle handle, uint32_t message)
{
    const bool wasEmpty = S().queue.empty();
    S().queue.emplace_back(handle, message);
    if (wasEmpty && S().wake)
        S().wake();
}

} // namespace midi_double

using namespace midi_double;

void PlatMidiRescan() {}
uint32_t PlatMidiIncarnation()
{
    return S().incarnation;
}
int PlatMidiInCount()
{
    return static_cast<int>(S().inputs.size());
}
int PlatMidiOutCount()
{
    return static_cast<int>(S().outputs.size());
}
bool PlatMidiInName(int index, char* name, size_t size)
{
    return Name(S().inputs, index, name, size);
}
bool PlatMidiOutName(int index, char* name, size_t size)
{
    return Name(S().outputs, index, name, size);
}
int PlatMidiInOpen(PlatMidiHandle* handle, int index)
{
    return Open(handle, index, true);
}
int PlatMidiOutOpen(PlatMidiHandle* handle, int index)
{
    return Open(handle, index, false);
}
int PlatMidiInClose(PlatMidiHandle handle)
{
    return Close(handle, true);
}
int PlatMidiOutClose(PlatMidiHandle handle)
{
    return Close(handle, false);
}

int PlatMidiInStart(PlatMidiHandle handle)
{
    if (!Use("inStart", handle, true))
        return 5;
    return S().inputs[DeviceOf(handle)].startFails ? 3 : 0;
}

int PlatMidiInStop(PlatMidiHandle handle)
{
    return Use("inStop", handle, true) ? 0 : 5;
}

int PlatMidiOutShortMsg(PlatMidiHandle handle, uint32_t message)
{
    if (!Use("send", handle, false))
        return 5;
    S().sent.push_back({DeviceOf(handle), message});
    return 0;
}

namespace {
uint64_t IdOf(const std::vector<Device>& list, int index)
{
    if (index < 0 || index >= static_cast<int>(list.size()))
        return 0;
    const Device& d = list[index];
    return d.id != 0 ? d.id : std::hash<std::string>{}(d.name) | 1;
}
} // namespace

uint64_t PlatMidiInId(int index)
{
    return IdOf(S().inputs, index);
}
uint64_t PlatMidiOutId(int index)
{
    return IdOf(S().outputs, index);
}

void PlatMidiSetWake(void (*wake)())
{
    S().wake = wake;
}

size_t PlatMidiDrain(void (*sink)(PlatMidiHandle, uint32_t))
{
    size_t n = 0;
    while (!S().queue.empty()) {
        auto [h, m] = S().queue.front();
        S().queue.pop_front();
        sink(h, m);
        ++n;
    }
    return n;
}
