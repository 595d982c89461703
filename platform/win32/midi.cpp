// MIDI services of the Win32 back end (contract: platform/platform.h) on winmm.
//
// Inputs are opened with the main window as their notification target, so every received
// short message arrives on the UI thread as MM_MIM_DATA (host.cpp); there is no queue of our
// own to wake or drain. The device counts and names are live in winmm, so a rescan has
// nothing to do, and the MIDI system is never replaced while the program runs.
#include "platform/win32/win32.h"

#include <mmsystem.h>

#include <cstring>

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

// szPname holds up to 31 characters and its terminator.
bool CopyName(const char (&pname)[MAXPNAMELEN], char* name, size_t size)
{
    if (name == nullptr || size == 0) {
        return false;
    }
    const size_t len = strnlen(pname, MAXPNAMELEN);
    const size_t n = len < size - 1 ? len : size - 1;
    std::memcpy(name, pname, n);
    name[n] = '\0';
    return true;
}

DWORD_PTR NotificationTarget()
{
    return reinterpret_cast<DWORD_PTR>(zm_win32::MainWindow());
}

}  // namespace

namespace zm_win32 {

PlatMidiHandle InputHandleFor(uintptr_t nativeHandle)
{
    return Inputs().HandleFor(reinterpret_cast<HMIDIIN>(nativeHandle));
}

}  // namespace zm_win32

void PlatMidiRescan() {}

uint32_t PlatMidiEpoch()
{
    return 0;
}

int PlatMidiInCount()
{
    return static_cast<int>(midiInGetNumDevs());
}

int PlatMidiOutCount()
{
    return static_cast<int>(midiOutGetNumDevs());
}

bool PlatMidiInName(int index, char* name, size_t size)
{
    MIDIINCAPSA caps {};
    if (index < 0 || midiInGetDevCapsA(static_cast<UINT_PTR>(index), &caps, sizeof caps) != MMSYSERR_NOERROR) {
        return false;
    }
    return CopyName(caps.szPname, name, size);
}

bool PlatMidiOutName(int index, char* name, size_t size)
{
    MIDIOUTCAPSA caps {};
    if (index < 0 || midiOutGetDevCapsA(static_cast<UINT_PTR>(index), &caps, sizeof caps) != MMSYSERR_NOERROR) {
        return false;
    }
    return CopyName(caps.szPname, name, size);
}

// winmm gives a device nothing but its index and name.
static uint64_t NameId(bool ok, const char* name)
{
    uint64_t h = 1469598103934665603ull;
    for (const char* p = name; ok && *p != '\0'; ++p) h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
    return ok ? (h | 1) : 0;
}

uint64_t PlatMidiInId(int index)
{
    char name[64] = {};
    return NameId(PlatMidiInName(index, name, sizeof name), name);
}

uint64_t PlatMidiOutId(int index)
{
    char name[64] = {};
    return NameId(PlatMidiOutName(index, name, sizeof name), name);
}

int PlatMidiInOpen(PlatMidiHandle* handle, int index)
{
    if (handle == nullptr || index < 0) {
        return MMSYSERR_INVALPARAM;
    }
    HMIDIIN native = nullptr;
    const MMRESULT r = midiInOpen(&native, static_cast<UINT>(index), NotificationTarget(), 0,
                                  CALLBACK_WINDOW);
    if (r == MMSYSERR_NOERROR) {
        *handle = Inputs().Add(native);
    }
    return static_cast<int>(r);
}

int PlatMidiInStart(PlatMidiHandle handle)
{
    HMIDIIN native = nullptr;
    return Inputs().Find(handle, &native) ? static_cast<int>(midiInStart(native))
                                          : MMSYSERR_INVALHANDLE;
}

int PlatMidiInStop(PlatMidiHandle handle)
{
    HMIDIIN native = nullptr;
    return Inputs().Find(handle, &native) ? static_cast<int>(midiInStop(native))
                                          : MMSYSERR_INVALHANDLE;
}

int PlatMidiInClose(PlatMidiHandle handle)
{
    HMIDIIN native = nullptr;
    if (!Inputs().Find(handle, &native)) {
        return MMSYSERR_INVALHANDLE;
    }
    const MMRESULT r = midiInClose(native);
    if (r == MMSYSERR_NOERROR) {
        Inputs().Remove(handle);
    }
    return static_cast<int>(r);
}

int PlatMidiOutOpen(PlatMidiHandle* handle, int index)
{
    if (handle == nullptr || index < 0) {
        return MMSYSERR_INVALPARAM;
    }
    HMIDIOUT native = nullptr;
    const MMRESULT r = midiOutOpen(&native, static_cast<UINT>(index), NotificationTarget(), 0,
                                   CALLBACK_WINDOW);
    if (r == MMSYSERR_NOERROR) {
        *handle = Outputs().Add(native);
    }
    return static_cast<int>(r);
}

int PlatMidiOutClose(PlatMidiHandle handle)
{
    HMIDIOUT native = nullptr;
    if (!Outputs().Find(handle, &native)) {
        return MMSYSERR_INVALHANDLE;
    }
    const MMRESULT r = midiOutClose(native);
    if (r == MMSYSERR_NOERROR) {
        Outputs().Remove(handle);
    }
    return static_cast<int>(r);
}

int PlatMidiOutShortMsg(PlatMidiHandle handle, uint32_t message)
{
    HMIDIOUT native = nullptr;
    return Outputs().Find(handle, &native) ? static_cast<int>(midiOutShortMsg(native, message))
                                           : MMSYSERR_INVALHANDLE;
}

// Data comes as window messages (see above): nothing waits here.
void PlatMidiSetWake(void (*)()) {}

size_t PlatMidiDrain(void (*)(PlatMidiHandle, uint32_t))
{
    return 0;
}
