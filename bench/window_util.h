// The real main window for the in-process benchmarks: the Qt application on the offscreen
// platform (unless QT_QPA_PLATFORM names another), then the window made the way the
// program's entry makes it, with a canvas of the size asked for.
#pragma once

namespace zm_bench {

// Before the QApplication is made.
void UseOffscreenUnlessSet();
// Sets the canvas size, creates and shows the main window and waits until it is exposed.
bool OpenMainWindow(int width, int height);
void CloseMainWindow();
// Runs the event loop (timers, MIDI wake-ups, paints) for this long.
void RunEventLoopMs(int ms);

} // namespace zm_bench
