// Clock, instance lock, MIDI services and the program's icon resource on the real system.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/win32/win32.h"

#include <mmsystem.h>

#include "platform/win32/handle_table.h"

namespace {

std::atomic<int> gTicks{0};

void CountTick()
{
    gTicks.fetch_add(1, std::memory_order_relaxed);
}

TEST(Win32Clock, TimeFollowsTheSystemAndTheTickRunsEveryMillisecondUntilStopped)
{
    const uint32_t t0 = PlatTimeMs();
    Sleep(100);
    const uint32_t elapsed = PlatTimeMs() - t0;
    EXPECT_GE(elapsed, 90u);
    EXPECT_LT(elapsed, 1000u);

    gTicks = 0;
    ASSERT_TRUE(PlatStartTick(CountTick));
    EXPECT_FALSE(PlatStartTick(CountTick)); // one tick at a time
    const uint32_t start = PlatTimeMs();
    Sleep(300);
    const int ticks = gTicks.load();
    const uint32_t ms = PlatTimeMs() - start;
    PlatStopTick();
    // About one per millisecond; a busy machine may drop some, never add any.
    EXPECT_GT(ticks, static_cast<int>(ms) / 3);
    EXPECT_LE(ticks, static_cast<int>(ms) + 5);
    const int stopped = gTicks.load();
    Sleep(30);
    EXPECT_EQ(gTicks.load(), stopped);
    EXPECT_FALSE(PlatStartTick(nullptr));
    ASSERT_TRUE(PlatStartTick(CountTick)); // and again after a stop
    PlatStopTick();
    PlatStopTick();
}

TEST(Win32InstanceLock, IsHeldUntilTheProcessEnds)
{
    const std::string name = "ZYN_MOUSE_TEST_" + std::to_string(GetCurrentProcessId());
    EXPECT_TRUE(PlatTakeInstanceLock(name.c_str()));
    EXPECT_FALSE(PlatTakeInstanceLock(name.c_str()));
    EXPECT_FALSE(PlatTakeInstanceLock(name.c_str()));
    HANDLE seen = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()); // a named system mutex
    EXPECT_NE(seen, nullptr);
    CloseHandle(seen);
    EXPECT_TRUE(PlatTakeInstanceLock((name + "_other").c_str()));
}

TEST(Win32Midi, FollowsTheSystemsDevicesAndRefusesWhatIsNotOpen)
{
    PlatMidiRescan();
    EXPECT_EQ(PlatMidiIncarnation(), 0u);
    const int ins = PlatMidiInCount();
    const int outs = PlatMidiOutCount();
    EXPECT_LE(ins, static_cast<int>(midiInGetNumDevs())); // the loopback is no input
    EXPECT_EQ(outs, static_cast<int>(midiOutGetNumDevs()));
    char name[8] = "keep";
    EXPECT_FALSE(PlatMidiInName(ins, name, sizeof name));
    EXPECT_FALSE(PlatMidiOutName(outs, name, sizeof name));
    EXPECT_FALSE(PlatMidiInName(-1, name, sizeof name));
    if (outs > 0) { // names are cut to the room given, always terminated
        ASSERT_TRUE(PlatMidiOutName(0, name, sizeof name));
        EXPECT_LT(strnlen(name, sizeof name), sizeof name);
    }
    PlatMidiHandle handle = 77;
    EXPECT_NE(PlatMidiInOpen(&handle, ins), 0);
    EXPECT_NE(PlatMidiOutOpen(&handle, outs), 0);
    EXPECT_EQ(handle, 77u);
    EXPECT_NE(PlatMidiInStart(12345), 0);
    EXPECT_NE(PlatMidiInStop(12345), 0);
    EXPECT_NE(PlatMidiInClose(12345), 0);
    EXPECT_NE(PlatMidiOutShortMsg(12345, 0x403C90), 0);
    EXPECT_NE(PlatMidiOutClose(kNoMidiDevice), 0);
    PlatMidiSetWake(nullptr);
    EXPECT_EQ(PlatMidiDrain([](PlatMidiHandle, uint32_t) { ADD_FAILURE(); }), 0u);
}

TEST(Win32Midi, HandlesAreFreshForEveryOpenAndGoWithTheClose)
{
    HandleTable<int> table;
    const uintptr_t a = table.Add(10);
    const uintptr_t b = table.Add(20);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    int native = 0;
    ASSERT_TRUE(table.Find(b, &native));
    EXPECT_EQ(native, 20);
    EXPECT_EQ(table.HandleFor(10), a);
    table.Remove(a);
    EXPECT_FALSE(table.Find(a, &native));
    EXPECT_EQ(table.HandleFor(10), 0u);
    // The system gives the closed device's native handle to the next one: a new handle.
    const uintptr_t c = table.Add(10);
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    EXPECT_EQ(table.HandleFor(10), c);
    EXPECT_FALSE(table.Find(0, &native));
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
struct GroupIcon {
    WORD reserved, type, count;
    GroupIconEntry entries[1];
};
#pragma pack(pop)

TEST(Win32Program, CarriesOneIconOf32By32In24BitColour)
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string exe(path);
    exe = exe.substr(0, exe.find_last_of("\\/") + 1) + ZM_EXE_FROM_TEST;
    HMODULE program = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr) << exe;
    HRSRC group = FindResourceA(program, "IDI_ICON1", MAKEINTRESOURCEA(14)); // RT_GROUP_ICON
    ASSERT_NE(group, nullptr);
    const auto* dir = static_cast<const GroupIcon*>(LockResource(LoadResource(program, group)));
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(dir->type, 1);
    ASSERT_EQ(dir->count, 1);
    EXPECT_EQ(dir->entries[0].width, 32);
    EXPECT_EQ(dir->entries[0].height, 32);
    EXPECT_EQ(dir->entries[0].bitCount, 24);
    // The image itself: a bitmap header of 32 x (2 x 32) pixels, 24 bits.
    HRSRC image = FindResourceA(program, MAKEINTRESOURCEA(dir->entries[0].id), MAKEINTRESOURCEA(3));
    ASSERT_NE(image, nullptr);
    const auto* header =
        static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(program, image)));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->biWidth, 32);
    EXPECT_EQ(header->biHeight, 64);
    EXPECT_EQ(header->biBitCount, 24);
    FreeLibrary(program);
}

} // namespace
