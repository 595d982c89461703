#include "app/c_midi.h"
#include "lcd/lcd.h"

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

} // namespace

void C_Midi::DrawMonitor()
{
    // Unchanged log, untouched panel: the pixels would come out the same.
    if (!monitorStale && monitorShows == logWrites)
        return;
    monitorStale = false;
    monitorShows = logWrites;

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
    gLcd.FillRect(13, 492, 248, 100, kBlack);

    // Newest at the bottom; rows keep their places while the ring is still filling.
    for (int j = 0; j < kRows; ++j) {
        const LogEntry entry = log[(logHead - j + 32) % 32];
        if (entry == 0)
            continue;
        int serial = logSerial - j;
        if (serial < 0)
            serial += kSerialRange;
        DrawRow(578 - 12 * j, entry, serial);
    }
}
