// C_WinUI: the control surface. It decides what every input means (the note mapping and
// the gesture test) and draws the panel: legend, device lists and speed box.
#pragma once

#include <cstdint>

class C_WinUI {
  public:
    void Init();
    void Dispatch(int action, int arg);
    void SendShort(int status, int data1, int data2);
    void Strike(int note);

    void DrawLegend();
    void OutDevicePanel(int action, int arg);
    void InDevicePanel(int action, int arg);
    void SpeedPanel(int action, int arg);

    int16_t speed = 0;  // 0..9, shown as 1..10
    int16_t outSel = 0; // output slot that notes and the thru go to

  private:
    void GestureTest();
};

extern C_WinUI gWinUI;

// Gesture reference point in canvas coordinates.
extern int32_t GestureRefX;
extern int32_t GestureRefY;

// Movement threshold in pixels for each speed index.
inline constexpr int16_t kSpeedThreshold[10] = {60, 40, 35, 30, 25, 20, 15, 10, 10, 5};
constexpr int16_t kDefaultSpeed = 4;
constexpr int16_t kMaxSpeed = 9;

// The note an action code strikes, 0 for none (F2's velocity is its own).
int NoteForAction(int action);
