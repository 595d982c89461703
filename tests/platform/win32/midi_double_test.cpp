// The winmm MIDI back end against a winmm of the test's own: devices that are unplugged and
// plugged back while the list stays the same, and a reopen that gets the closed handle's
// value while its messages still wait, which neither Wine nor a test machine do on cue.
// Built with _WINMM_, so the back end calls the functions below instead of winmm.dll; the
// window host is the real one, so received messages go through a real message queue.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/win32/win32.h"

#include <mmsystem.h>

#include "test_wndproc.h"

namespace {

// A device as the system lists it. Replugging gives it a new incarnation: handles opened
// before answer "no device" for good, as a real driver's do.
struct Device {
    explicit Device(const char* n) : name(n) {}
    std::string name;
    bool present = true;
    uintptr_t incarnation = 1;
    std::vector<DWORD> received;
    HWND window = nullptr; // an input's notification target
    HMIDIIN native = nullptr;
};
std::vector<Device> gIns, gOuts;

// Native handle: device index and incarnation.
template <typename H> H Native(UINT device, uintptr_t incarnation)
{
    return reinterpret_cast<H>((incarnation << 8) | (device + 1));
}

template <typename H> Device* Live(std::vector<Device>& list, H handle)
{
    const auto v = reinterpret_cast<uintptr_t>(handle);
    const size_t i = (v & 0xFF) - 1;
    if (i >= list.size() || !list[i].present || list[i].incarnation != (v >> 8))
        return nullptr;
    return &list[i];
}

template <typename C> MMRESULT Caps(const std::vector<Device>& list, UINT_PTR id, C* caps)
{
    if (id >= list.size())
        return MMSYSERR_BADDEVICEID;
    *caps = C{};
    list[id].name.copy(caps->szPname, MAXPNAMELEN - 1);
    return MMSYSERR_NOERROR;
}

template <typename H> MMRESULT Open(std::vector<Device>& list, H* handle, UINT id)
{
    if (id >= list.size())
        return MMSYSERR_BADDEVICEID;
    if (!list[id].present)
        return MIDIERR_NODEVICE;
    *handle = Native<H>(id, list[id].incarnation);
    return MMSYSERR_NOERROR;
}

void Replug(Device& d)
{
    d.present = true;
    ++d.incarnation;
}

// A short message from the device, posted as winmm posts it to a window.
void Play(const Device& d, DWORD message)
{
    PostMessageA(d.window, MM_MIM_DATA, reinterpret_cast<WPARAM>(d.native), message);
}

} // namespace

extern "C" {
UINT WINAPI midiInGetNumDevs()
{
    return static_cast<UINT>(gIns.size());
}
UINT WINAPI midiOutGetNumDevs()
{
    return static_cast<UINT>(gOuts.size());
}
MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR id, LPMIDIINCAPSA caps, UINT)
{
    return Caps(gIns, id, caps);
}
MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR id, LPMIDIOUTCAPSA caps, UINT)
{
    return Caps(gOuts, id, caps);
}
MMRESULT WINAPI midiInOpen(LPHMIDIIN h, UINT id, DWORD_PTR callback, DWORD_PTR, DWORD flags)
{
    const MMRESULT r = Open(gIns, h, id);
    if (r == MMSYSERR_NOERROR) {
        gIns[id].native = *h;
        gIns[id].window = (flags & CALLBACK_TYPEMASK) == CALLBACK_WINDOW
                              ? reinterpret_cast<HWND>(callback)
                              : nullptr;
    }
    return r;
}
MMRESULT WINAPI midiOutOpen(LPHMIDIOUT h, UINT id, DWORD_PTR, DWORD_PTR, DWORD)
{
    return Open(gOuts, h, id);
}
MMRESULT WINAPI midiInStart(HMIDIIN h)
{
    return Live(gIns, h) ? MMSYSERR_NOERROR : MIDIERR_NODEVICE;
}
MMRESULT WINAPI midiInStop(HMIDIIN h)
{
    return Live(gIns, h) ? MMSYSERR_NOERROR : MIDIERR_NODEVICE;
}
MMRESULT WINAPI midiInClose(HMIDIIN h)
{
    return Live(gIns, h) ? MMSYSERR_NOERROR : MIDIERR_NODEVICE;
}
MMRESULT WINAPI midiOutClose(HMIDIOUT h)
{
    return Live(gOuts, h) ? MMSYSERR_NOERROR : MIDIERR_NODEVICE;
}
MMRESULT WINAPI midiOutShortMsg(HMIDIOUT h, DWORD message)
{
    Device* d = Live(gOuts, h);
    if (d == nullptr)
        return MIDIERR_NODEVICE;
    d->received.push_back(message);
    return MMSYSERR_NOERROR;
}
}

namespace {

std::string OutName(int i)
{
    char name[40] = {};
    return PlatMidiOutName(i, name, sizeof name) ? name : "?";
}

// What the device check does with the ids: a device that answered as gone is reopened,
// the others are left alone; the loopback is never an input and the last output.
TEST(Win32MidiDouble, ADeviceThatAnsweredGoneIsReplacedTheLoopbackNeverFeedsBack)
{
    gIns = {Device("Midi Through Port-0"), Device("Keys")};
    gOuts = {Device("Midi Through Port-0"), Device("Synth"), Device("MIDI-THROUGH 2")};
    PlatMidiRescan();
    ASSERT_EQ(PlatMidiInCount(), 1);
    char name[40] = {};
    ASSERT_TRUE(PlatMidiInName(0, name, sizeof name));
    EXPECT_STREQ(name, "Keys");
    ASSERT_EQ(PlatMidiOutCount(), 3);
    EXPECT_EQ(OutName(0), "Synth");
    EXPECT_EQ(OutName(1), "Midi Through Port-0");
    EXPECT_EQ(OutName(2), "MIDI-THROUGH 2");

    PlatMidiHandle out = kNoMidiDevice, in = kNoMidiDevice;
    ASSERT_EQ(PlatMidiOutOpen(&out, 0), 0);
    ASSERT_EQ(PlatMidiInOpen(&in, 0), 0);
    ASSERT_EQ(PlatMidiInStart(in), 0);
    ASSERT_EQ(PlatMidiOutShortMsg(out, 0x7F0990), 0);
    const uint64_t synth = PlatMidiOutId(0), loop = PlatMidiOutId(1), keys = PlatMidiInId(0);

    // Both unplugged and plugged back between two checks: same list, dead handles.
    Replug(gOuts[1]);
    Replug(gIns[1]);
    EXPECT_NE(PlatMidiOutShortMsg(out, 0x000990), 0);
    PlatMidiRescan();
    EXPECT_NE(PlatMidiOutId(0), synth) << "a send answered \"no device\": the check must reopen it";
    EXPECT_EQ(PlatMidiOutId(1), loop);
    EXPECT_EQ(PlatMidiInId(0), keys) << "nothing told of the input yet";

    // The check reopens the outputs: the note reaches the device again.
    PlatMidiOutClose(out);
    ASSERT_EQ(PlatMidiOutOpen(&out, 0), 0);
    ASSERT_EQ(PlatMidiOutShortMsg(out, 0x000990), 0);
    EXPECT_EQ(gOuts[1].received, (std::vector<DWORD>{0x7F0990, 0x000990}));
    const uint64_t reopened = PlatMidiOutId(0);
    PlatMidiRescan();
    EXPECT_EQ(PlatMidiOutId(0), reopened) << "a device that works is left open";

    // An input gone at a reopen: its open answers "no device", so the next check tries again.
    PlatMidiInStop(in);
    PlatMidiInClose(in);
    gIns[1].present = false;
    EXPECT_NE(PlatMidiInOpen(&in, 0), 0);
    PlatMidiRescan();
    const uint64_t absent = PlatMidiInId(0);
    EXPECT_NE(absent, keys);
    Replug(gIns[1]);
    ASSERT_EQ(PlatMidiInOpen(&in, 0), 0);
    EXPECT_EQ(PlatMidiInStart(in), 0);
    // A start that answers "no device" counts the same way.
    PlatMidiHandle again = kNoMidiDevice;
    ASSERT_EQ(PlatMidiInOpen(&again, 0), 0);
    Replug(gIns[1]);
    EXPECT_NE(PlatMidiInStart(again), 0);
    PlatMidiRescan();
    EXPECT_NE(PlatMidiInId(0), absent);
}

// The same device reopened gets the same native handle here, as it may from winmm, while the
// messages of the closed one still wait in the window's queue.
TEST(Win32MidiDouble, MessagesQueuedBeforeAReopenStayWithTheClosedInput)
{
    gIns = {Device("Keys")};
    gOuts = {};
    PlatMidiRescan();
    test_wndproc::Window window;
    ASSERT_TRUE(window.created);

    PlatMidiHandle first = kNoMidiDevice, second = kNoMidiDevice, third = kNoMidiDevice;
    ASSERT_EQ(PlatMidiInOpen(&first, 0), 0);
    ASSERT_EQ(PlatMidiInStart(first), 0);
    Play(gIns[0], 0x7F3C90);
    Play(gIns[0], 0x003C80);
    PlatMidiInStop(first);
    ASSERT_EQ(PlatMidiInClose(first), 0);
    ASSERT_EQ(PlatMidiInOpen(&second, 0), 0);
    ASSERT_EQ(PlatMidiInStart(second), 0);
    Play(gIns[0], 0x7F4090);
    ASSERT_EQ(PlatMidiInClose(second), 0);
    ASSERT_EQ(PlatMidiInOpen(&third, 0), 0);
    ASSERT_EQ(PlatMidiInStart(third), 0);
    Play(gIns[0], 0x7F4390);

    using Data = std::vector<std::pair<uintptr_t, intptr_t>>;
    Data got;
    test_wndproc::PumpUntil([] { return test_wndproc::Count(PM_MIM_DATA) >= 4; }, 2000);
    for (const test_wndproc::Message& m : test_wndproc::Log()) {
        if (m.message == PM_MIM_DATA)
            got.emplace_back(m.wParam, m.lParam);
    }
    EXPECT_EQ(got,
              (Data{{first, 0x7F3C90}, {first, 0x003C80}, {second, 0x7F4090}, {third, 0x7F4390}}));
    PlatMidiInClose(third);
}

} // namespace
