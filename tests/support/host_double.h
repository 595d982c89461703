// A window host, canvas, text renderer and clock for the logic's unit tests. The canvas is
// plain memory with guard words around it; texts are recorded, not drawn.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace host_double {

struct Text {
    int font;       // font slot 0..13, -1 if none selected
    uint32_t color; // the renderer's colour, 0x00BBGGRR
    int x, y;
    std::string text;
};

// Recorded texts and renderer calls.
const std::vector<Text>& Texts();
void ClearTexts();
int ColorSets();    // PlatSetTextColor calls so far
int SelectedFont(); // slot selected last, -1 for none
const std::vector<int>& FontSelections();

// The canvas. Guard words around it must keep their value.
uint32_t Pixel(int x, int y); // low 24 bits
bool GuardsIntact();
bool CanvasExists();
void FailNextCanvas(); // the next PlatCanvasCreate answers nullptr

// Window host.
PlatScrollInfo& Bar(int bar);
int Presents();
int Paints();
struct PaintCall {
    int x, y, w, h;
};
const PaintCall& LastPaint();
const PaintCall& LastPresent(); // client rectangle of the last present
int CaptureDepth();
bool TimerRunning(uint32_t id);
uint32_t TimerInterval(uint32_t id);
bool TickRunning();
bool Quit(int* code);
bool DropsAccepted();
int DefWindowProcCalls(uint32_t message);

// Program entry.
void SetScreen(int width, int height);
void SetOtherInstance(bool running);
const std::vector<std::string>& MessageBoxes();
bool WindowCreated();
std::string Caption();

// Clock.
void SetTime(uint32_t ms);

// Back to the state at start: no canvas, no texts, bars zero, no timers.
void Reset();

} // namespace host_double

// Rebuilds the three global objects and every module-wide value, as at program start,
// with a canvas of w x h already set up (the window's creation is not run).
void ResetProgramState(int w = 800, int h = 600);
