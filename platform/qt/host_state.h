// Internal to the window host (host.cpp, window.cpp, present.cpp, panel_surface.cpp,
// x11_present.cpp, timers.cpp, scrollbars.cpp, keymap.cpp, key_repeat.cpp, wayland_repeat.cpp,
// midi_wake.cpp): the state they share and the calls between them.
#pragma once

#include <QtCore/QPoint>
#include <QtCore/QPointer>
#include <QtCore/QRect>
#include <QtCore/QSize>
#include <QtCore/qnamespace.h>
#include <QtWidgets/QWidget>

#include <cstdint>
#include <map>

#include "platform/qt/host.h"
#include "platform/scrollbar.h"

class QKeyEvent;
class QPainter;
class QPointF;
class QTimer;

namespace zm_qt {

struct Host {
    QPointer<QWidget> window;
    QWidget* client = nullptr;
    QScrollBar* bars[2] = {nullptr, nullptr};
    QWidget* corner = nullptr;
    ScrollBarModel models[2];

    bool alive = false; // between PM_CREATE and PM_DESTROY
    bool destroying = false;
    std::map<uint32_t, QTimer*> timers;
    // Short window timers fire in step with the tick thread: its time at each one's last fire.
    std::map<uint32_t, uint32_t> timerTicks;

    QPainter* paintPainter = nullptr; // during PM_PAINT only
    bool paintDirect = false;         // during PM_PAINT of a client that paints on screen
    QRect paintRect;                  // what this paint must cover, client coordinates
    bool painted = false;
    QPoint canvasOrigin; // the canvas point at the client's top-left, as the last paint had it

    int sentWidth = -1; // client size last sent with PM_SIZE
    int sentHeight = -1;
    bool inLayout = false;
    bool layoutAgain = false;

    QSize outerSize; // requested outer (frame) size
    QPoint outerPos;
    bool frameAdjusted = false;

    bool arrowSet = false;
    bool quitPending = false;
    int quitCode = 0;

    MessageObserver observer = nullptr;
};

Host& TheHost();

// Hands a message to MainWndProc while the window lives (then to the observer); 0 otherwise.
intptr_t Send(uint32_t message, uintptr_t wParam, intptr_t lParam);
// Stops and forgets every window timer (timers.cpp); the window is going.
void KillAllTimers();

// Client point as unsigned 16-bit words, x low, y high.
intptr_t PackPoint(int x, int y);
intptr_t PackPoint(const QPointF& p);

// Win32 mouse key-state flags (MK_*) of buttons and modifiers.
uint32_t KeyState(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers);

// host.cpp: Win32 DestroyWindow (PM_DESTROY, then the window goes).
void DestroyMainWindow(bool deleteNow = false);

// present.cpp: the canvas's pixels of wanted (client coordinates; origin: the canvas point
// at the client's top-left) painted with p, whose (0, 0) is the client's point at.
void PaintCanvas(QPainter* p, const QRect& wanted, const QPoint& origin, const QPoint& at);

// panel_surface.cpp: a rectangle presented again and again, on a surface of its own where
// that saves a copy of the whole window. PanelPresent: true when the present is done
// there; PanelFollow: the client area was repainted there, the panel shows the same;
// PanelDrop: the layout changed or the window goes.
bool PanelPresent(const QRect& rect);
void PanelFollow(const QRect& rect);
void PanelDrop();

// x11_present.cpp: the client area put on screen straight from the canvas, on X11.
// DirectSetUp: at the client's creation, makes it paint on screen where that works;
// DirectOn: it does; DirectPut: the canvas's pixels of rect (client coordinates; origin: the
// canvas point at the client's top-left) on screen now; DirectDrop: the window goes.
void DirectSetUp(QWidget* client);
bool DirectOn();
void DirectPut(const QRect& rect, const QPoint& origin);
void DirectDrop();

// window.cpp: the top-level window and its client area.
QWidget* NewHostWindow();
QWidget* NewClientView(QWidget* window);

// scrollbars.cpp: the bars and the layout they change.
QScrollBar* NewScrollBar(int bar, QWidget* window);
void SyncBar(int bar);
void Relayout();

// keymap.cpp: a key event of the window as PM_KEYDOWN / PM_KEYUP / PM_SYSKEY*.
void DeliverKey(QKeyEvent* e, bool down);

// key_repeat.cpp: Shift's own repeat, from the PM_KEYDOWN of its press.
void StartShiftRepeat(uint32_t lParam);
void StopShiftRepeat();

// wayland_repeat.cpp: the compositor's key repeat settings, watched from the window's creation
// on; false (and nothing written) where none are known. An interval of 0: no key repeats.
void WatchWaylandRepeat();
bool WaylandRepeatRate(int* delayMs, int* intervalMs);

// midi_wake.cpp: received MIDI reaches the window while it accepts it.
void StartMidiWake();
void StopMidiWake();

} // namespace zm_qt
