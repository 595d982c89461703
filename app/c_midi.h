// C_Midi: the application object. It holds the state shared by the window procedure, the
// UI cycle, the MIDI ports and the control surface, and turns input into action codes.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

using LogEntry = uint32_t;

class C_Midi {
  public:
    C_Midi();

    // Entry operations (UI thread).
    int Post(int action, int arg);
    void OnMouseMove();
    void OnLButtonDown();
    void OnLButtonUp();
    void OnRButtonDown();
    void OnRButtonUp();
    void OnWheel(int step);
    bool OnSetCursor();
    void OnKey(int code);
    void RequestRedraw(int bits);
    void RequestFullRedraw();
    void SendShort(int output, int channel, int status, int data1, int data2);

    // UI cycle.
    void Poll();
    void Refresh(int flags);

    // Ports, thru and monitor.
    void OpenInputs();
    void OpenOutputs();
    void CheckDevices();
    void OnMidiData(PlatMidiHandle handle, uint32_t message);
    void DrawMonitor();
    bool DrawMonitorRow(int j);

    static bool HitTest(int action, int x, int y, int w, int h);

    // Written only by the 1 ms tick thread, read by the UI thread.
    std::atomic<uint32_t> tickMs{0};
    int32_t leftDown = 0;
    int32_t rightDown = 0;
    int32_t redrawFlags = 0;
    // kNoMidiDevice in a slot means it holds no open device.
    PlatMidiHandle inHandle[5] = {};
    PlatMidiHandle outHandle[5] = {};
    int32_t inCount = 0;
    int32_t outCount = 0;
    char outName[5][40] = {};
    char inName[5][40] = {};
    // What the platform called each listed device at the last open (PlatMidiInId): a
    // device replaced under the same count shows as a changed value.
    uint64_t inId[5] = {};
    uint64_t outId[5] = {};
    int32_t logHead = 0;
    LogEntry log[32] = {};
    int32_t logSerial = 0;
    // The MIDI system's incarnation at the last device check; a new one means every handle died.
    uint32_t midiIncarnation = 0;
    // Messages logged so far (wrapping), and what the monitor on the canvas shows: it is
    // drawn again only when the log moved on or something drew over it.
    uint32_t logWrites = 0;
    uint32_t monitorShows = 0;
    bool monitorStale = true;
    // Every row shown stayed within its band when drawn: the rows may move up.
    bool monitorRowsMove = false;
};

extern C_Midi gMidi;

// Sees every posted action before it is dispatched (diagnostics and tests); may be null.
extern void (*gPostObserver)(int action, int arg);

// Every name slot holds at most this many bytes of text.
constexpr int kNameBytes = 32;
