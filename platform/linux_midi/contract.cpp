// The MIDI part of platform.h on Linux: each call handed to the front.
#include <vector>

#include "platform/linux_midi/front.h"
#include "platform/linux_midi/names.h"
#include "platform/platform.h"

namespace {

using zm_midi::Front;
using zm_midi::TheFront;

bool NameOf(const std::vector<Front::Listed>& list, int index, char* name, size_t size)
{
    if (index < 0 || static_cast<size_t>(index) >= list.size() || name == nullptr || size == 0)
        return false;
    zm_midi::CopyDeviceName(list[static_cast<size_t>(index)].port.shown, name, size);
    return true;
}

uint64_t IdOf(const std::vector<Front::Listed>& list, int index)
{
    return index < 0 || static_cast<size_t>(index) >= list.size()
               ? 0
               : list[static_cast<size_t>(index)].id;
}

} // namespace

void PlatMidiRescan()
{
    TheFront().Rescan();
}
uint32_t PlatMidiIncarnation()
{
    return TheFront().Incarnation();
}
int PlatMidiInCount()
{
    return static_cast<int>(TheFront().Inputs().size());
}
int PlatMidiOutCount()
{
    return static_cast<int>(TheFront().Outputs().size());
}
bool PlatMidiInName(int index, char* name, size_t size)
{
    return NameOf(TheFront().Inputs(), index, name, size);
}
bool PlatMidiOutName(int index, char* name, size_t size)
{
    return NameOf(TheFront().Outputs(), index, name, size);
}
uint64_t PlatMidiInId(int index)
{
    return IdOf(TheFront().Inputs(), index);
}
uint64_t PlatMidiOutId(int index)
{
    return IdOf(TheFront().Outputs(), index);
}
int PlatMidiInOpen(PlatMidiHandle* handle, int index)
{
    return TheFront().Open(handle, index, true);
}
int PlatMidiInStart(PlatMidiHandle handle)
{
    return TheFront().Run(handle, true);
}
int PlatMidiInStop(PlatMidiHandle handle)
{
    return TheFront().Run(handle, false);
}
int PlatMidiInClose(PlatMidiHandle handle)
{
    return TheFront().Close(handle, true);
}
int PlatMidiOutOpen(PlatMidiHandle* handle, int index)
{
    return TheFront().Open(handle, index, false);
}
int PlatMidiOutClose(PlatMidiHandle handle)
{
    return TheFront().Close(handle, false);
}
int PlatMidiOutShortMsg(PlatMidiHandle handle, uint32_t message)
{
    return TheFront().Send(handle, message);
}
void PlatMidiSetWake(void (*wake)())
{
    TheFront().SetWake(wake);
}
size_t PlatMidiDrain(void (*sink)(PlatMidiHandle handle, uint32_t message))
{
    return TheFront().Drain(sink);
}
