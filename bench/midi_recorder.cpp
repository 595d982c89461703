#include "bench/midi_recorder.h"

#include <cstdio>
#include <vector>

namespace zm_bench::recorder {
namespace {

constexpr PlatMidiHandle kIn = 101;
constexpr PlatMidiHandle kOut = 201;

struct State {
    // Grown once up front: the timed path must not allocate.
    std::vector<Word> words = std::vector<Word>(1 << 20);
    size_t count = 0;
    bool inOpen = false;
    bool outOpen = false;
};

State& S()
{
    static State* s = new State;
    return *s;
}

bool CopyName(const char* from, char* name, size_t size)
{
    if (name == nullptr || size == 0)
        return false;
    std::snprintf(name, size, "%s", from);
    return true;
}

} // namespace

size_t Count()
{
    return S().count < S().words.size() ? S().count : S().words.size();
}
size_t Capacity()
{
    return S().words.size();
}
const Word& At(size_t i)
{
    return S().words[i];
}
void Clear()
{
    S().count = 0;
}
PlatMidiHandle InputHandle()
{
    return S().inOpen ? kIn : kNoMidiDevice;
}

} // namespace zm_bench::recorder

using namespace zm_bench::recorder;

void PlatMidiRescan() {}
uint32_t PlatMidiIncarnation()
{
    return 0;
}
int PlatMidiInCount()
{
    return 1;
}
int PlatMidiOutCount()
{
    return 1;
}
bool PlatMidiInName(int index, char* name, size_t size)
{
    return index == 0 && CopyName("Bench Keys", name, size);
}
bool PlatMidiOutName(int index, char* name, size_t size)
{
    return index == 0 && CopyName("Bench Recorder", name, size);
}
uint64_t PlatMidiInId(int index)
{
    return index == 0 ? 1 : 0;
}
uint64_t PlatMidiOutId(int index)
{
    return index == 0 ? 2 : 0;
}

int PlatMidiInOpen(PlatMidiHandle* handle, int index)
{
    if (handle == nullptr || index != 0)
        return 2;
    S().inOpen = true;
    *handle = kIn;
    return 0;
}
int PlatMidiInStart(PlatMidiHandle handle)
{
    return handle == kIn ? 0 : 5;
}
int PlatMidiInStop(PlatMidiHandle handle)
{
    return handle == kIn ? 0 : 5;
}
int PlatMidiInClose(PlatMidiHandle handle)
{
    if (handle != kIn)
        return 5;
    S().inOpen = false;
    return 0;
}
int PlatMidiOutOpen(PlatMidiHandle* handle, int index)
{
    if (handle == nullptr || index != 0)
        return 2;
    S().outOpen = true;
    *handle = kOut;
    return 0;
}
int PlatMidiOutClose(PlatMidiHandle handle)
{
    if (handle != kOut)
        return 5;
    S().outOpen = false;
    return 0;
}

int PlatMidiOutShortMsg(PlatMidiHandle handle, uint32_t message)
{
    // The clock is read first: the figure ends when the word is handed over.
    const auto now = zm_bench::Clock::now();
    if (handle != kOut || !S().outOpen)
        return 5;
    State& s = S();
    if (s.count < s.words.size())
        s.words[s.count] = Word{message, now};
    ++s.count;
    return 0;
}

void PlatMidiSetWake(void (*)()) {}
size_t PlatMidiDrain(void (*)(PlatMidiHandle, uint32_t))
{
    return 0;
}
