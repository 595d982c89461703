// Internal to the Qt back end and its tests: handles on the main window's parts and a
// message observer. The logic uses platform/platform.h only.
#pragma once

#include <cstdint>

class QScrollBar;
class QWidget;

namespace zm_qt {

// Object names of the window's parts (QObject::objectName), for tests and debugging.
inline constexpr const char* kMainWindowName = "zm_main_window";
inline constexpr const char* kClientAreaName = "zm_client_area";
inline constexpr const char* kHorzBarName = "zm_hscroll";
inline constexpr const char* kVertBarName = "zm_vscroll";

// The top-level main window, its client area (the widget that shows the canvas and takes the
// mouse) and its standard scroll bars (PSB_HORZ, PSB_VERT); nullptr when there is no window.
QWidget* MainWindow();
QWidget* ClientArea();
QScrollBar* ScrollBar(int bar);

// Called after every message the host hands to MainWndProc, with the message and its result.
// For tests (for instance, to see a value right after one scroll message); nullptr removes it.
using MessageObserver = void (*)(uint32_t message, uintptr_t wParam, intptr_t lParam,
                                 intptr_t result);
void SetMessageObserver(MessageObserver observer);

// Windows virtual-key code for a Qt key event's key, modifiers, native scan code and (xcb,
// wayland) keysym; 0 when the key has none. Exposed for unit tests of the mapping.
uint32_t VirtualKeyFor(int qtKey, unsigned modifiers, uint32_t nativeScanCode, bool positional,
                       uint32_t keysym = 0);

} // namespace zm_qt
