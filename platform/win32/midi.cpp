// MIDI services of the Win32 back end (contract: platform/platform.h) on winmm.
//
// Inputs are opened with the main window as their notification target, so every received
// short message arrives on the UI thread as MM_MIM_DATA (host.cpp); there is no queue of our
// own to wake or drain. A closed input's messages still in that queue stay its own, also
// when a reopen gets the same native handle: they end with a marker posted after the close.
// The MIDI system itself is never replaced while the program runs.
//
// The contract's indices are not winmm's device ids: a device named "Midi Through" (Wine
// lists the kernel's loopback port first) is never an input and comes after the other
// outputs, so the thru cannot feed itself and the default output is a real device.
#include "platform/win32/win32.h"

#include <mmsystem.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/loopback.h"
#include "platform/platform.h"
#include "platform/win32/handle_table.h"

namespace {

HandleTable<HMIDIIN>& Inputs()
{
    static HandleTable<HMIDIIN> table;
    return table;
}

HandleTable<HMIDIOUT>& Outputs()
{
    static HandleTable<HMIDIOUT> table;
    return table;
}

struct Listed {
    UINT device;      // winmm's id
    bool named;       // the capability query answered
    std::string name; // szPname
    std::string key;  // stands for the device: side, name and which of that name it is
};

struct Devices {
    bool scanned = false;
    std::vector<Listed> ins, outs;
    // Counts up for a device each time it answered as gone; part of its id, so that the
    // next device check closes and reopens it.
    std::map<std::string, uint64_t> incarnation;
    std::map<PlatMidiHandle, std::string> inKey, outKey;
};

Devices& D()
{
    static Devices devices;
    return devices;
}

// szPname holds up to 31 characters and its terminator.
std::string NameOf(const char (&pname)[MAXPNAMELEN])
{
    return std::string(pname, strnlen(pname, MAXPNAMELEN));
}

// Two devices of one name (two keyboards of the same make) get keys of their own.
void AddListed(std::vector<Listed>* list, char side, UINT device, bool named,
               const std::string& name)
{
    int same = 0;
    for (const Listed& l : *list) {
        if (l.named == named && l.name == name)
            ++same;
    }
    list->push_back(Listed{device, named, name, side + name + '\n' + std::to_string(same)});
}

void Scan()
{
    Devices& d = D();
    d.scanned = true;
    d.ins.clear();
    d.outs.clear();
    const UINT ins = midiInGetNumDevs();
    for (UINT i = 0; i < ins; ++i) {
        MIDIINCAPSA caps{};
        const bool named = midiInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR;
        const std::string name = named ? NameOf(caps.szPname) : std::string();
        AddListed(&d.ins, 'i', i, named, name);
    }
    const UINT outs = midiOutGetNumDevs();
    for (UINT i = 0; i < outs; ++i) {
        MIDIOUTCAPSA caps{};
        const bool named = midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR;
        const std::string name = named ? NameOf(caps.szPname) : std::string();
        AddListed(&d.outs, 'o', i, named, name);
    }
    // A loopback's key counts only devices of its own name, which are loopbacks too: the
    // keys are the same as if it had never been listed beside the others.
    ApplyLoopbackRule(&d.ins, &d.outs, [](const Listed& l) { return MentionsMidiThrough(l.name); });
}

Devices& Scanned()
{
    if (!D().scanned)
        Scan();
    return D();
}

const Listed* At(const std::vector<Listed>& list, int index)
{
    return index < 0 || static_cast<size_t>(index) >= list.size()
               ? nullptr
               : &list[static_cast<size_t>(index)];
}

bool CopyName(const Listed* l, char* name, size_t size)
{
    if (l == nullptr || !l->named || name == nullptr || size == 0) {
        return false;
    }
    const size_t n = std::min(l->name.size(), size - 1);
    std::memcpy(name, l->name.data(), n);
    name[n] = '\0';
    return true;
}

uint64_t IdOf(const Listed* l)
{
    if (l == nullptr)
        return 0;
    uint64_t h = 1469598103934665603ull; // FNV-1a
    for (char c : l->key)
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    const auto inc = D().incarnation.find(l->key);
    if (inc != D().incarnation.end())
        h ^= inc->second * 0x9E3779B97F4A7C15ull;
    return h == 0 ? 1 : h;
}

// Answers that mean the device is not there any more (unplugged, its driver gone).
bool Gone(MMRESULT r)
{
    return r == MMSYSERR_NODRIVER || r == MMSYSERR_BADDEVICEID || r == MIDIERR_NODEVICE ||
           r == MMSYSERR_INVALHANDLE;
}

// What a device answered: a gone one counts as replaced from now on.
int Answer(MMRESULT r, const std::string& key)
{
    if (Gone(r))
        ++D().incarnation[key];
    return static_cast<int>(r);
}

int AnswerFor(MMRESULT r, const std::map<PlatMidiHandle, std::string>& keys, PlatMidiHandle handle)
{
    if (!Gone(r))
        return static_cast<int>(r); // every send comes here: no look-up then
    const auto it = keys.find(handle);
    return it == keys.end() ? static_cast<int>(r) : Answer(r, it->second);
}

DWORD_PTR NotificationTarget()
{
    return reinterpret_cast<DWORD_PTR>(zm_win32::MainWindow());
}

} // namespace

namespace zm_win32 {

PlatMidiHandle InputHandleFor(uintptr_t nativeHandle)
{
    return Inputs().HandleFor(reinterpret_cast<HMIDIIN>(nativeHandle));
}

void InputDrained(PlatMidiHandle handle)
{
    Inputs().Drained(handle);
}

void AllInputsDrained()
{
    Inputs().DrainedAll();
}

} // namespace zm_win32

void PlatMidiRescan()
{
    Scan();
}

uint32_t PlatMidiIncarnation()
{
    return 0;
}

int PlatMidiInCount()
{
    return static_cast<int>(Scanned().ins.size());
}

int PlatMidiOutCount()
{
    return static_cast<int>(Scanned().outs.size());
}

bool PlatMidiInName(int index, char* name, size_t size)
{
    return CopyName(At(Scanned().ins, index), name, size);
}

bool PlatMidiOutName(int index, char* name, size_t size)
{
    return CopyName(At(Scanned().outs, index), name, size);
}

uint64_t PlatMidiInId(int index)
{
    return IdOf(At(Scanned().ins, index));
}

uint64_t PlatMidiOutId(int index)
{
    return IdOf(At(Scanned().outs, index));
}

int PlatMidiInOpen(PlatMidiHandle* handle, int index)
{
    const Listed* l = At(Scanned().ins, index);
    if (handle == nullptr || l == nullptr) {
        return MMSYSERR_BADDEVICEID;
    }
    HMIDIIN native = nullptr;
    const MMRESULT r = midiInOpen(&native, l->device, NotificationTarget(), 0, CALLBACK_WINDOW);
    if (r == MMSYSERR_NOERROR) {
        *handle = Inputs().Add(native);
        D().inKey[*handle] = l->key;
    }
    return Answer(r, l->key);
}

int PlatMidiInStart(PlatMidiHandle handle)
{
    HMIDIIN native = nullptr;
    return Inputs().Find(handle, &native) ? AnswerFor(midiInStart(native), D().inKey, handle)
                                          : MMSYSERR_INVALHANDLE;
}

int PlatMidiInStop(PlatMidiHandle handle)
{
    HMIDIIN native = nullptr;
    return Inputs().Find(handle, &native) ? static_cast<int>(midiInStop(native))
                                          : MMSYSERR_INVALHANDLE;
}

// A close the device refuses (it is gone) still lets go of the handle: the device check
// that follows opens the side anew, and nothing may reach a dead native handle after it.
int PlatMidiInClose(PlatMidiHandle handle)
{
    HMIDIIN native = nullptr;
    if (!Inputs().Find(handle, &native)) {
        return MMSYSERR_INVALHANDLE;
    }
    const MMRESULT r = midiInClose(native);
    if (r == MMSYSERR_NOERROR || Gone(r)) {
        // Its messages may still wait in the window's queue (none without a window). A queue
        // too full for the marker (10,000 messages) may hand them to a reopen of that value.
        HWND window = zm_win32::MainWindow();
        if (window != nullptr &&
            PostMessageA(window, zm_win32::kInputDrainedMessage, 0, static_cast<LPARAM>(handle))) {
            Inputs().Close(handle);
        } else {
            Inputs().Remove(handle);
        }
        D().inKey.erase(handle);
    }
    return static_cast<int>(r);
}

int PlatMidiOutOpen(PlatMidiHandle* handle, int index)
{
    const Listed* l = At(Scanned().outs, index);
    if (handle == nullptr || l == nullptr) {
        return MMSYSERR_BADDEVICEID;
    }
    HMIDIOUT native = nullptr;
    const MMRESULT r = midiOutOpen(&native, l->device, NotificationTarget(), 0, CALLBACK_WINDOW);
    if (r == MMSYSERR_NOERROR) {
        *handle = Outputs().Add(native);
        D().outKey[*handle] = l->key;
    }
    return Answer(r, l->key);
}

int PlatMidiOutClose(PlatMidiHandle handle)
{
    HMIDIOUT native = nullptr;
    if (!Outputs().Find(handle, &native)) {
        return MMSYSERR_INVALHANDLE;
    }
    const MMRESULT r = midiOutClose(native);
    if (r == MMSYSERR_NOERROR || Gone(r)) {
        Outputs().Remove(handle);
        D().outKey.erase(handle);
    }
    return static_cast<int>(r);
}

int PlatMidiOutShortMsg(PlatMidiHandle handle, uint32_t message)
{
    HMIDIOUT native = nullptr;
    return Outputs().Find(handle, &native)
               ? AnswerFor(midiOutShortMsg(native, message), D().outKey, handle)
               : MMSYSERR_INVALHANDLE;
}

// Data comes as window messages (see above): nothing waits here.
void PlatMidiSetWake(void (*)()) {}

size_t PlatMidiDrain(void (*)(PlatMidiHandle, uint32_t))
{
    return 0;
}
