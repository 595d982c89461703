#include "app/action.h"
#include "app/c_midi.h"
#include "app/window.h"
#include "lcd/lcd.h"
#include "surface/winui.h"

namespace {

constexpr int kOutline = 246;
constexpr int kBoxBackground = 0;
constexpr int kPlainRow = 0;
constexpr int kPlainText = 255;
constexpr int kSelectedRow = 128;
constexpr int kSelectedText = 0;
constexpr int kRowPitch = 15;
constexpr int kListFont = 3;
constexpr int kSpeedCaptionFont = 5;
constexpr int kSpeedDigitFont = 10;

struct Box {
    int x, y, w, h;
};
constexpr Box kOutList = {10, 50, 250, 77};
constexpr Box kInList = {10, 385, 250, 68};
constexpr Box kSpeedBox = {95, 210, 25, 26};

void DrawRow(int top, int number, const char* name, bool selected)
{
    const int text = selected ? kSelectedText : kPlainText;
    gLcd.FillRect(12, top, 247, 16, selected ? kSelectedRow : kPlainRow);
    gLcd.PutNumber(14, top + 1, number, 9, text);
    gLcd.PutText(25, top + 1, name, text);
}

// Outline just outside the box, white background, then one row per device.
void DrawList(const Box& box, int count, const char (*names)[40], int selected)
{
    gLcd.DrawRoundFrame(box.x - 1, box.y - 1, box.w + 2, box.h + 2, kOutline);
    gLcd.FillRect(box.x, box.y, box.w, box.h, kBoxBackground);
    gLcd.UseFont(kListFont);
    for (int i = 0; i < count; ++i)
        DrawRow(box.y + kRowPitch * i, i + 1, names[i], i == selected);
}

} // namespace

bool C_Midi::HitTest(int action, int x, int y, int w, int h)
{
    switch (action) {
    case AC_LDOWN:
    case AC_LUP:
    case AC_RDOWN:
    case AC_RUP:
    case AC_LDRAG:
    case AC_RDRAG:
    case AC_WHEEL:
        return x <= MouseX && MouseX < static_cast<long long>(x) + w && y <= MouseY &&
               MouseY < static_cast<long long>(y) + h;
    default:
        return true;
    }
}

void C_WinUI::OutDevicePanel(int action, int)
{
    if (!C_Midi::HitTest(action, kOutList.x, kOutList.y, kOutList.w, kOutList.h))
        return;
    if (action == AC_LDOWN) {
        const int row = (MouseY - kOutList.y) / kRowPitch;
        const int count = gMidi.outCount;
        // A click below the last row picks the last device.
        outSel = static_cast<int16_t>(count == 0 ? 0 : row < count ? row : count - 1);
    } else if (action != AC_FULL_REDRAW) {
        return;
    }
    DrawList(kOutList, gMidi.outCount, gMidi.outName, outSel);
}

void C_WinUI::InDevicePanel(int action, int)
{
    if (action != AC_FULL_REDRAW)
        return;
    DrawList(kInList, gMidi.inCount, gMidi.inName, -1);
}

void C_WinUI::SpeedPanel(int action, int arg)
{
    if (!C_Midi::HitTest(action, kSpeedBox.x, kSpeedBox.y, kSpeedBox.w, kSpeedBox.h))
        return;
    if (action == AC_FULL_REDRAW) {
        gLcd.UseFont(kSpeedCaptionFont);
        gLcd.PutText(90, 192, "SPEED", 0);
        gLcd.FillRect(kSpeedBox.x, kSpeedBox.y, kSpeedBox.w, kSpeedBox.h, kBoxBackground);
        gLcd.UseFont(kSpeedDigitFont);
        if (speed >= kMaxSpeed)
            gLcd.PutNumber(96, 210, speed + 1, 99, 255);
        else
            gLcd.PutNumber(102, 210, speed + 1, 9, 255);
    } else if (action == AC_WHEEL) {
        // 16-bit arithmetic, then clamped: one notch moves by one, ten with the middle
        // button held, which takes it straight to an end.
        int16_t s = static_cast<int16_t>(speed + arg);
        if (s < 0)
            s = 0;
        if (s > kMaxSpeed)
            s = kMaxSpeed;
        speed = s;
    }
}
