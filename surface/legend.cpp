#include "lcd/lcd.h"
#include "surface/winui.h"

namespace {

constexpr int kBackground = 242;
constexpr int kText = 0;
constexpr int kArrow = 246;
constexpr int kTitleFont = 11;
constexpr int kLegendFont = 6;

struct Label {
    const char* text;
    int x;
    int y;
};

const Label kMouseLabels[] = {
    {"MIDI OUT DEVICE", 85, 35},
    {"Mouse To Note Number", 40, 132},
    {"01", 104, 150},
    {"02", 104, 270},
    {"03", 167, 212},
    {"04", 33, 212},
};

const Label kWheelLabels[] = {
    {"WHEEL+", 60, 300},
    {"WHEEL", 60, 315},
};

const Label kButtonLabels[] = {
    {"LEFT   BUTTON", 20, 330}, {"RIGHT BUTTON", 20, 345}, {"=05", 120, 300},
    {"=06", 120, 315},          {"=07", 120, 330},         {"=08", 120, 345},
};

// Key label and note label of each keyboard row; row 23's key is the drawn minus bar.
const char* const kKeyRows[30][2] = {
    {"F1", "=09"},   {"F2", "=10"},    {"F3", "=11"}, {"F4", "=12"},    {"F5", "=13"},
    {"F6", "=14"},   {"F7", "=15"},    {"F8", "=16"}, {"F9", "=17"},    {"F10", "NO ASSIGN"},
    {"F11", "=19"},  {"F12", "=20"},   {"1", "=21"},  {"2", "=22"},     {"3", "=23"},
    {"4", "=24"},    {"5", "=25"},     {"6", "=26"},  {"7", "=27"},     {"8", "=28"},
    {"9", "=29"},    {"0", "=30"},     {"+", "=31"},  {nullptr, "=32"}, {"ENTER", "=33"},
    {"LEFT", "=34"}, {"RIGHT", "=35"}, {"UP", "=36"}, {"DOWN", "=37"},  {"SHIFT", "=38"},
};

void PutLabels(const Label* labels, int count)
{
    for (int i = 0; i < count; ++i)
        gLcd.PutText(labels[i].x, labels[i].y, labels[i].text, kText);
}

} // namespace

void C_WinUI::DrawLegend()
{
    gLcd.FillRect(0, 0, CanvasWidth, CanvasHeight, kBackground);
    gLcd.UseFont(kTitleFont);
    gLcd.PutText(45, 5, "ZYN MOUSE", kText);
    gLcd.UseFont(kLegendFont);
    PutLabels(kMouseLabels, 6);

    // Four arrows of 19 lines each, symmetric about the seam between x 109/110 or y 218/219.
    for (int i = 0; i < 20; ++i)
        gLcd.HLine(110 - i, 168 + i, 2 * i, 1, kArrow); // up
    for (int i = 0; i < 20; ++i)
        gLcd.HLine(110 - i, 268 - i, 2 * i, 1, kArrow); // down
    for (int i = 0; i < 20; ++i)
        gLcd.VLine(160 - i, 219 - i, 2 * i, 1, kArrow); // right
    for (int i = 0; i < 20; ++i)
        gLcd.VLine(55 + i, 219 - i, 2 * i, 1, kArrow); // left

    PutLabels(kWheelLabels, 2);
    gLcd.HLine(108, 322, 6, 2, kText); // the minus of "WHEEL-"
    PutLabels(kButtonLabels, 6);

    gLcd.PutText(85, 370, "MIDI IN DEVICE", kText);

    gLcd.PutText(300, 10, "Keyboard To Note Nunber", kText);
    for (int row = 0; row < 30; ++row) {
        const int y = 30 + 15 * row;
        if (kKeyRows[row][0])
            gLcd.PutText(320, y, kKeyRows[row][0], kText);
        else
            gLcd.HLine(321, 382, 6, 2, kText); // keypad minus
        gLcd.PutText(380, y, kKeyRows[row][1], kText);
    }
}
