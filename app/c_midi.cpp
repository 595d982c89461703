#include "app/c_midi.h"

#include "app/action.h"
#include "surface/winui.h"

C_Midi gMidi;
void (*gPostObserver)(int action, int arg) = nullptr;

C_Midi::C_Midi()
{
    leftDown = 0;
    rightDown = 0;
}

int C_Midi::Post(int action, int arg)
{
    if (gPostObserver)
        gPostObserver(action, arg);
    gWinUI.Dispatch(action, arg);
    return action;
}

// The held-button flag changes before posting, so a handler of the press already sees it.
void C_Midi::OnMouseMove()
{
    if (leftDown)
        Post(AC_LDRAG, 0);
    else if (rightDown)
        Post(AC_RDRAG, 0);
    Post(AC_MOVE, 0);
}

void C_Midi::OnLButtonDown()
{
    leftDown = 1;
    Post(AC_LDOWN, 0);
    RequestRedraw(REDRAW_FULL);
}

void C_Midi::OnLButtonUp()
{
    leftDown = 0;
    Post(AC_LUP, 0);
    RequestRedraw(REDRAW_FULL);
}

void C_Midi::OnRButtonDown()
{
    rightDown = 1;
    Post(AC_RDOWN, 0);
    RequestRedraw(REDRAW_FULL);
}

void C_Midi::OnRButtonUp()
{
    rightDown = 0;
    Post(AC_RUP, 0);
    RequestRedraw(REDRAW_FULL);
}

void C_Midi::OnWheel(int step)
{
    Post(AC_WHEEL, step);
    RequestRedraw(REDRAW_FULL);
}

bool C_Midi::OnSetCursor()
{
    return Post(AC_SETCURSOR, 0) != 0;
}

void C_Midi::OnKey(int code)
{
    Post(code, 0);
}

void C_Midi::RequestRedraw(int bits)
{
    redrawFlags |= bits;
}

void C_Midi::RequestFullRedraw()
{
    redrawFlags = REDRAW_FULL;
}

void C_Midi::SendShort(int output, int channel, int status, int data1, int data2)
{
    // A slot past the count, whose open failed, or closed by a device check holds no
    // device: sending there must not reach a dead or foreign handle.
    if (output < 0 || output >= outCount || output >= 5)
        return;
    const PlatMidiHandle handle = outHandle[output];
    if (handle == kNoMidiDevice)
        return;
    const uint32_t word = static_cast<uint32_t>(status) + static_cast<uint32_t>(channel) +
                          static_cast<uint32_t>(data1) * 256u +
                          static_cast<uint32_t>(data2) * 65536u;
    PlatMidiOutShortMsg(handle, word);
}
