#include "surface/winui.h"

#include "app/action.h"
#include "app/c_midi.h"
#include "app/window.h"

C_WinUI gWinUI;
int32_t GestureRefX = 0;
int32_t GestureRefY = 0;

namespace {

constexpr int kNoteOn = 0x90;
constexpr int kFullVelocity = 127;
constexpr int kF2Velocity = 27;

enum GestureNote { NOTE_UP = 1, NOTE_DOWN = 2, NOTE_RIGHT = 3, NOTE_LEFT = 4 };
enum ButtonNote {
    NOTE_WHEEL_TOWARD = 5,
    NOTE_WHEEL_AWAY = 6,
    NOTE_LEFT_BUTTON = 7,
    NOTE_RIGHT_BUTTON = 8
};

} // namespace

int NoteForAction(int action)
{
    if (action >= AC_F1 && action <= AC_F12)
        return 9 + (action - AC_F1); // F1..F12: 9..20
    if (action >= AC_KEY1 && action <= AC_KEY9)
        return 21 + (action - AC_KEY1); // "1".."9": 21..29
    switch (action) {
    case AC_KEY0:
        return 30;
    case AC_NUM_PLUS:
        return 31;
    case AC_NUM_MINUS:
        return 32;
    case AC_ENTER:
        return 33;
    case AC_LEFT:
        return 34;
    case AC_RIGHT:
        return 35;
    case AC_UP:
        return 36;
    case AC_DOWN:
        return 37;
    case AC_SHIFT:
        return 38;
    default:
        return 0;
    }
}

void C_WinUI::Init()
{
    speed = kDefaultSpeed;
}

void C_WinUI::SendShort(int status, int data1, int data2)
{
    gMidi.SendShort(outSel, 0, status & 0xFF, data1 & 0xFF, data2 & 0xFF);
}

// A note-on and at once its release (a note-on with velocity 0): a drum-style hit.
void C_WinUI::Strike(int note)
{
    SendShort(kNoteOn, note, kFullVelocity);
    SendShort(kNoteOn, note, 0);
}

void C_WinUI::Dispatch(int action, int arg)
{
    switch (action) {
    case AC_MOVE:
        GestureTest();
        break;
    case AC_LDOWN:
        Strike(NOTE_LEFT_BUTTON);
        break;
    case AC_RDOWN:
        Strike(NOTE_RIGHT_BUTTON);
        break;
    case AC_FULL_REDRAW:
        DrawLegend();
        break;
    case AC_WHEEL:
        if (arg > 0)
            Strike(NOTE_WHEEL_TOWARD);
        else if (arg < 0)
            Strike(NOTE_WHEEL_AWAY);
        // The wheel moves the hand: measure the next gesture from here.
        GestureRefX = MouseX;
        GestureRefY = MouseY;
        break;
    case AC_F2:
        SendShort(kNoteOn, NoteForAction(AC_F2), kF2Velocity);
        SendShort(kNoteOn, NoteForAction(AC_F2), 0);
        break;
    default:
        if (const int note = NoteForAction(action))
            Strike(note);
        break;
    }
    OutDevicePanel(action, arg);
    InDevicePanel(action, arg);
    SpeedPanel(action, arg);
}

// An axis keeps its reference until the pointer has gone further than the threshold, so
// slow movement adds up; the vertical axis is tested first.
void C_WinUI::GestureTest()
{
    const int t = kSpeedThreshold[speed < 0 ? 0 : speed > kMaxSpeed ? kMaxSpeed : speed];
    if (GestureRefY - t > MouseY) {
        Strike(NOTE_UP);
        GestureRefY = MouseY;
    } else if (GestureRefY + t < MouseY) {
        Strike(NOTE_DOWN);
        GestureRefY = MouseY;
    }
    if (GestureRefX + t < MouseX) {
        Strike(NOTE_RIGHT);
        GestureRefX = MouseX;
    } else if (GestureRefX - t > MouseX) {
        Strike(NOTE_LEFT);
        GestureRefX = MouseX;
    }
}
