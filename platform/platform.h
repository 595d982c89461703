// The contract between the logic (app/ surface/ midi/ lcd/) and a platform back end.
// Small and C-like on purpose: a back end translates native services into these calls and
// never decides anything; the logic never sees a toolkit or MIDI library type.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------
// Window messages. Values follow the Win32 numbering so a native back end can pass its own
// messages straight through; the names carry a PM_ prefix so they never clash with it.
enum : uint32_t {
    PM_CREATE = 0x0001,
    PM_DESTROY = 0x0002,
    PM_SIZE = 0x0005, // lParam: client width (low word), height (high word)
    PM_SETFOCUS = 0x0007,
    PM_PAINT = 0x000F,
    PM_CLOSE = 0x0010,
    PM_ERASEBKGND = 0x0014,
    PM_SETCURSOR = 0x0020,
    PM_KEYDOWN = 0x0100, // wParam: virtual-key code
    PM_KEYUP = 0x0101,
    PM_CHAR = 0x0102,
    PM_SYSKEYDOWN = 0x0104, // F10, and every key pressed with Alt
    PM_SYSKEYUP = 0x0105,
    PM_SYSCHAR = 0x0106,
    PM_TIMER = 0x0113,   // wParam: timer id
    PM_HSCROLL = 0x0114, // wParam low word: scroll request code (PSB_*)
    PM_VSCROLL = 0x0115,
    PM_MOUSEMOVE = 0x0200, // lParam: client x (low word), y (high word), unsigned 16-bit
    PM_LBUTTONDOWN = 0x0201,
    PM_LBUTTONUP = 0x0202,
    PM_RBUTTONDOWN = 0x0204,
    PM_RBUTTONUP = 0x0205,
    PM_MBUTTONDOWN = 0x0207,
    PM_MBUTTONUP = 0x0208,
    PM_MOUSEWHEEL = 0x020A, // wParam high word: signed distance, positive = away from the user
    PM_DROPFILES = 0x0233,
    PM_MOUSELEAVE = 0x02A3,
    PM_WOM_OPEN = 0x03BB,
    PM_WOM_CLOSE = 0x03BC,
    PM_WOM_DONE = 0x03BD,
    PM_MIM_DATA = 0x03C3, // wParam: input handle, lParam: packed short message
    PM_USER = 0x0400,
};

// Scroll request codes (low word of wParam of PM_HSCROLL / PM_VSCROLL).
enum : uint32_t {
    PSB_LINEUP = 0,
    PSB_LINEDOWN = 1,
    PSB_PAGEUP = 2,
    PSB_PAGEDOWN = 3,
    PSB_THUMBPOSITION = 4,
    PSB_THUMBTRACK = 5,
    PSB_TOP = 6,
    PSB_BOTTOM = 7,
    PSB_ENDSCROLL = 8,
};

// Virtual-key codes the logic knows.
enum : uint32_t {
    PVK_RETURN = 0x0D,
    PVK_SHIFT = 0x10,
    PVK_LEFT = 0x25,
    PVK_UP = 0x26,
    PVK_RIGHT = 0x27,
    PVK_DOWN = 0x28,
    PVK_0 = 0x30,
    PVK_NUMPAD0 = 0x60,
    PVK_ADD = 0x6B,
    PVK_SUBTRACT = 0x6D,
    PVK_F1 = 0x70,
    PVK_F10 = 0x79,
    PVK_F12 = 0x7B,
};

// The window procedure, defined by the logic (app/). The host calls it for every message.
intptr_t MainWndProc(uint32_t message, uintptr_t wParam, intptr_t lParam);

// ---------------------------------------------------------------------------------------
// Window host.
enum : int { PSB_HORZ = 0, PSB_VERT = 1 };
enum : uint32_t { PSIF_RANGE = 0x1, PSIF_PAGE = 0x2, PSIF_POS = 0x4, PSIF_TRACKPOS = 0x10 };

struct PlatScrollInfo {
    int min = 0;
    int max = 0;
    unsigned page = 0;
    int pos = 0;
    int trackPos = 0;
};

// Default handling of a message the logic does not take: PM_CLOSE destroys the window,
// PM_SETCURSOR shows the arrow cursor; everything else is ignored. Returns its result.
intptr_t PlatDefWindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam);
// Reads range, page, position and track position of a bar.
void PlatGetScrollInfo(int bar, PlatScrollInfo* info);
// Writes the fields named by mask; the position is clamped to min .. max - page + 1.
void PlatSetScrollInfo(int bar, uint32_t mask, const PlatScrollInfo& info, bool redraw);
void PlatSetCapture();
void PlatReleaseCapture();
void PlatSetArrowCursor();
void PlatAcceptFiles(bool accept);
// A UI-thread timer that delivers PM_TIMER with this id.
void PlatSetTimer(uint32_t id, uint32_t intervalMs);
void PlatKillTimer(uint32_t id);
// Repaints the whole client area from the canvas before it returns (the host then
// delivers PM_PAINT).
void PlatPresent();
// The same for one rectangle of the client area (client coordinates).
void PlatPresentRect(int x, int y, int width, int height);
// During PM_PAINT only: copies width x height canvas pixels from (srcX, srcY) to the
// client area at (0, 0); what lies outside the canvas shows nothing.
void PlatPaintFromCanvas(int srcX, int srcY, int width, int height);
// Ends the message loop with this exit code once the current message is handled.
void PlatPostQuit(int code);

// Program entry services.
void PlatScreenSize(int* width, int* height); // the primary screen's usable size
// Takes the named single-instance lock, held until the process ends (the system drops it
// when the process dies); false when another running instance holds it.
bool PlatTakeInstanceLock(const char* name);
void PlatMessageBox(const char* text, const char* caption); // modal, one OK button
// Creates the main window at (x, y) with outer size w x h; PM_CREATE runs inside.
bool PlatCreateMainWindow(const char* className, const char* caption, int x, int y, int w, int h);
void PlatShowWindow();
int PlatRunMessageLoop(); // returns the code given to PlatPostQuit

// ---------------------------------------------------------------------------------------
// Canvas and text. The canvas is W x H 32-bit words, row after row, 0x00RRGGBB; the text
// renderer draws into the same words.
uint32_t* PlatCanvasCreate(int width, int height); // nullptr when it cannot be made
void PlatCanvasRelease();

using PlatFont = uintptr_t; // 0 = no font
enum : int {
    PSTOCK_ANSI_FIXED = 0,
    PSTOCK_ANSI_VAR = 1,
    PSTOCK_DEVICE_DEFAULT = 2,
    PSTOCK_DEFAULT_GUI = 3,
    PSTOCK_SYSTEM = 4,
};
PlatFont PlatStockFont(int which);
// height: character cell in pixels; width: average character width, 0 = natural;
// face: 8-bit face name (Shift-JIS for the Japanese gothic face).
PlatFont PlatCreateFont(int height, int width, int weight, int charset, const char* face);
void PlatDeleteFont(PlatFont font);
void PlatSelectFont(PlatFont font);       // 0 leaves the current font in place
void PlatSetTextColor(uint32_t colorRef); // 0x00BBGGRR
// Draws len bytes of 8-bit text with (x, y) its top-left corner, transparent, clipped.
void PlatTextOut(int x, int y, const char* text, int len);

// ---------------------------------------------------------------------------------------
// Clock.
uint32_t PlatTimeMs();                  // monotonic milliseconds, wrapping
bool PlatStartTick(void (*callback)()); // every 1 ms on a thread of its own
void PlatStopTick();

// ---------------------------------------------------------------------------------------
// MIDI. Handles are never 0 and never reused within a run.
using PlatMidiHandle = uintptr_t;
constexpr PlatMidiHandle kNoMidiDevice = 0;

// Looks at the MIDI system again (a server started or gone, ports added or removed);
// the counts, names and indices below refer to what it found until the next call.
void PlatMidiRescan();
// Counts up every time the MIDI system itself was lost or replaced since start.
uint32_t PlatMidiIncarnation();
int PlatMidiInCount();
int PlatMidiOutCount();
// Writes the device's name, NUL-terminated, at most size - 1 bytes; false if unknown.
bool PlatMidiInName(int index, char* name, size_t size);
bool PlatMidiOutName(int index, char* name, size_t size);
// Stands for the device at the index: the same value while it is the same device, another
// once it was replaced (a synth restarted under the same name); 0 if there is none.
uint64_t PlatMidiInId(int index);
uint64_t PlatMidiOutId(int index);
// Results: 0 = success.
int PlatMidiInOpen(PlatMidiHandle* handle, int index);
int PlatMidiInStart(PlatMidiHandle handle);
int PlatMidiInStop(PlatMidiHandle handle);
int PlatMidiInClose(PlatMidiHandle handle);
int PlatMidiOutOpen(PlatMidiHandle* handle, int index);
int PlatMidiOutClose(PlatMidiHandle handle);
// Sends a packed short message (status | data1 << 8 | data2 << 16) with as many bytes
// as its status byte calls for.
int PlatMidiOutShortMsg(PlatMidiHandle handle, uint32_t message);

// Received short messages wait in a queue until the UI thread takes them. The back end
// calls wake when the queue turns non-empty, from any thread, a real-time one included:
// wake must return at once, without locking, allocating or waiting. The UI thread then calls
// PlatMidiDrain, which hands the waiting messages, in order, to sink: a bounded batch per
// call, calling wake again while more wait (and while sends still wait to go out).
void PlatMidiSetWake(void (*wake)());
size_t PlatMidiDrain(void (*sink)(PlatMidiHandle handle, uint32_t message));
