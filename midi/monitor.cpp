#include "app/c_midi.h"
#include "lcd/lcd.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kWhite = 0;
constexpr int kYellow = 4;
constexpr int kLightGrey = 248;
constexpr int kGrey = 250;
constexpr int kBlack = 255;
constexpr int kTitleFont = 6;
constexpr int kBodyFont = 1;
constexpr int kRows = 8;
constexpr int kSerialRange = 10000;

void DrawRow(int y, LogEntry entry, int serial)
{
    const int channel = static_cast<int>(entry & 0x0F);
    const int type = static_cast<int>(entry >> 4 & 0x0F);
    const int data1 = static_cast<int>(entry >> 8 & 0x7F);
    const int data2 = static_cast<int>(entry >> 16 & 0x7F);
    const int device = static_cast<int>(entry >> 24 & 0x7F);
    const int status = static_cast<int>(entry & 0xFF);

    gLcd.PutNumber(14, y, serial, 99999, kWhite);
    gLcd.PutNumber(47, y, device + 1, 9, kWhite);
    if (type < 15)
        gLcd.PutNumber(68, y, channel + 1, 99, kWhite);

    switch (type) {
    case 8:
        gLcd.PutText(97, y, "NOTE OFF", kLightGrey);
        gLcd.PutNote(167, y, data1, kLightGrey);
        break;
    case 9:
        if (data2 != 0) {
            gLcd.PutText(97, y, "NOTE ON ", kWhite);
            gLcd.PutNote(167, y, data1, kWhite);
            gLcd.PutNumber(232, y, data2, 999, kWhite);
        } else {
            // A note-on with velocity 0 is a release; show it as one.
            gLcd.PutText(97, y, "NOTE OFF", kLightGrey);
            gLcd.PutNote(167, y, data1, kLightGrey);
        }
        break;
    case 10:
        gLcd.PutText(97, y, "Po.PRESS", kYellow);
        gLcd.PutNote(157, y, data1, kWhite);
        gLcd.PutNumber(232, y, data2, 999, kYellow);
        break;
    case 11:
        gLcd.PutText(97, y, "CONTROL", kYellow);
        gLcd.PutNumber(182, y, data1, 999, kYellow);
        gLcd.PutNumber(232, y, data2, 999, kYellow);
        break;
    case 12:
        gLcd.PutText(97, y, "PROGRAM", kYellow);
        gLcd.PutNumber(182, y, data1, 999, kYellow);
        break;
    case 13:
        gLcd.PutText(97, y, "Ch.PRESS", kYellow);
        gLcd.PutNumber(182, y, data1, 999, kYellow);
        break;
    case 14:
        gLcd.PutText(97, y, "BEND", kYellow);
        gLcd.PutNumber(182, y, data1, 999, kYellow);
        gLcd.PutNumber(232, y, data2, 999, kYellow);
        break;
    case 15:
        if (status == 0xFA)
            gLcd.PutText(97, y, "START", kWhite);
        else if (status == 0xFB)
            gLcd.PutText(97, y, "PLAY", kWhite);
        else if (status == 0xFC)
            gLcd.PutText(97, y, "STOP", kWhite);
        break;
    default:
        break;
    }
}

// Rows sit in bands of their own, kPitch high, newest (row 0) at the bottom.
constexpr int kPitch = 12;
constexpr int kBottomRowY = 578;
constexpr int kRowLeft = 13;
constexpr int kRowWidth = 248;
// Where a row's glyphs are looked for outside its band: the frame's box.
constexpr int kBoxLeft = 12, kBoxTop = 476, kBoxRight = 262, kBoxBottom = 593;

int RowY(int j)
{
    return kBottomRowY - kPitch * j;
}

// The box around row j's band, a band above and below (inside the frame box): where its
// glyphs could land if they left the band.
struct Around {
    int top, bottom;
};

Around AroundRow(int j)
{
    return {std::max(kBoxTop, RowY(j) - kPitch), std::min(kBoxBottom, RowY(j) + 2 * kPitch)};
}

bool BoxOnCanvas()
{
    return gLcd.bits && CanvasWidth >= kBoxRight && CanvasHeight >= kBoxBottom;
}

// Draws row j and says whether every pixel it changed is inside its band: then the row
// reads the same wherever it is moved, and a move shows what a redraw would.
bool DrawRowConfined(int j, LogEntry entry, int serial)
{
    if (!BoxOnCanvas()) {
        DrawRow(RowY(j), entry, serial);
        return false;
    }
    static uint32_t before[(kBoxRight - kBoxLeft) * 3 * kPitch];
    const Around a = AroundRow(j);
    const int w = kBoxRight - kBoxLeft;
    for (int y = a.top; y < a.bottom; ++y)
        std::memcpy(before + (y - a.top) * w,
                    gLcd.bits + static_cast<size_t>(y) * CanvasWidth + kBoxLeft,
                    sizeof(uint32_t) * w);
    DrawRow(RowY(j), entry, serial);
    for (int y = a.top; y < a.bottom; ++y) {
        const uint32_t* now = gLcd.bits + static_cast<size_t>(y) * CanvasWidth + kBoxLeft;
        const uint32_t* was = before + (y - a.top) * w;
        const bool inBand = y >= RowY(j) && y < RowY(j) + kPitch;
        const int from = inBand ? kRowLeft - kBoxLeft : 0;
        const int to = inBand ? kRowLeft + kRowWidth - kBoxLeft : w;
        if (std::memcmp(now, was, sizeof(uint32_t) * from) != 0 ||
            std::memcmp(now + to, was + to, sizeof(uint32_t) * (w - to)) != 0 ||
            (!inBand && std::memcmp(now + from, was + from, sizeof(uint32_t) * (to - from)) != 0)) {
            return false;
        }
    }
    return true;
}

} // namespace

// The entry and running number of row j as the log stands.
bool C_Midi::DrawMonitorRow(int j)
{
    const LogEntry entry = log[(logHead - j + 32) % 32];
    if (entry == 0)
        return true;
    int serial = logSerial - j;
    if (serial < 0)
        serial += kSerialRange;
    return DrawRowConfined(j, entry, serial);
}

void C_Midi::DrawMonitor()
{
    // Unchanged log, untouched panel: the pixels would come out the same.
    if (!monitorStale && monitorShows == logWrites)
        return;
    const uint32_t fresh = logWrites - monitorShows;
    monitorShows = logWrites;

    // A few new messages: the rows shown move up and only the new ones are drawn, as long
    // as every row stays in its band (else the moved rows could differ from a redraw).
    if (!monitorStale && monitorRowsMove && fresh <= kRows) {
        const int k = static_cast<int>(fresh);
        gLcd.MoveUp(kRowLeft, RowY(kRows - 1), kRowWidth, kPitch * kRows, kPitch * k);
        gLcd.FillRect(kRowLeft, RowY(k - 1), kRowWidth, kPitch * k, kBlack);
        gLcd.UseFont(kBodyFont);
        bool confined = true;
        for (int j = 0; j < k && confined; ++j)
            confined = DrawMonitorRow(j);
        if (confined)
            return;
    }
    monitorStale = false;

    gLcd.UseFont(kTitleFont);
    gLcd.FillRect(12, 457, 250, 19, kBlack);
    gLcd.PutText(85, 459, "MIDI IN MONITOR", kWhite);
    gLcd.UseFont(kBodyFont);
    gLcd.DrawFrame(12, 476, 250, 117, kGrey);
    gLcd.FillRect(13, 477, 248, 14, kBlack);
    gLcd.PutText(42, 477, "Dev.", kWhite);
    gLcd.PutText(67, 477, "Ch.", kWhite);
    gLcd.PutText(100, 477, "Status", kWhite);
    gLcd.PutText(177, 477, "Data1", kWhite);
    gLcd.PutText(224, 477, "Data2", kWhite);
    gLcd.HLine(13, 491, 248, 1, kWhite);
    gLcd.FillRect(kRowLeft, 492, kRowWidth, 100, kBlack);

    // Newest at the bottom; rows keep their places while the ring is still filling.
    bool confined = true;
    for (int j = 0; j < kRows; ++j)
        confined &= DrawMonitorRow(j);
    monitorRowsMove = confined;
}
