// Keys of the window host (Qt back end, contract: platform/platform.h): Qt key events
// become PM_KEYDOWN / PM_KEYUP with Windows virtual-key codes, or PM_SYSKEYDOWN /
// PM_SYSKEYUP for F10 and every key pressed with Alt.
#include <QtGui/QGuiApplication>
#include <QtGui/QKeyEvent>

#include "platform/platform.h"
#include "platform/qt/host_state.h"

namespace zm_qt {
namespace {

constexpr uint32_t kVkMenu = 0x12; // Alt

bool PositionalScanCodes()
{
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("xcb") || name.startsWith(QLatin1String("wayland"));
}

} // namespace

void DeliverKey(QKeyEvent* e, bool down)
{
    if (!down && e->isAutoRepeat()) {
        return; // Win32 repeats key-down messages only
    }
    const bool x11Codes = PositionalScanCodes();
    const uint32_t vk =
        VirtualKeyFor(e->key(), static_cast<unsigned>(e->modifiers()), e->nativeScanCode(),
                      x11Codes, x11Codes ? e->nativeVirtualKey() : 0);
    if (vk == 0) {
        return;
    }
    const bool alt = (e->modifiers() & Qt::AltModifier) != 0;
    const bool system = alt || vk == PVK_F10 || vk == kVkMenu;
    uint32_t message = 0;
    if (down) {
        message = system ? PM_SYSKEYDOWN : PM_KEYDOWN;
    } else {
        message = system ? PM_SYSKEYUP : PM_KEYUP;
    }
    uint32_t lParam = 1; // repeat count
    const uint32_t scan = e->nativeScanCode();
    if (scan >= 8 && scan < 8 + 256 && PositionalScanCodes()) {
        lParam |= (scan - 8) << 16;
    }
    if (alt) {
        lParam |= 1u << 29;
    }
    if (!down || e->isAutoRepeat()) {
        lParam |= 1u << 30;
    }
    if (!down) {
        lParam |= 1u << 31;
    }
    // The toolkit repeats no modifier: the host repeats Shift (a desktop that does repeat
    // it takes over). A system key never repeats, and any other press ends the repeat.
    if (vk == PVK_SHIFT && message == PM_KEYDOWN && !e->isAutoRepeat()) {
        StartShiftRepeat(lParam);
    } else if (down || vk == PVK_SHIFT) {
        StopShiftRepeat();
    }
    Send(message, vk, static_cast<intptr_t>(lParam));
}

// Only the keys the logic reads, and Alt, which with F10 makes the system keys; every other
// key gives no message at all.
uint32_t VirtualKeyFor(int qtKey, unsigned modifiers, uint32_t nativeScanCode, bool positional,
                       uint32_t keysym)
{
    // Qt's wayland plugin (6.4) sets no KeypadModifier; the keysym says it (XK_KP_Space ..
    // XK_KP_9: KP_Add 0xFFAB, KP_Subtract 0xFFAD).
    const bool keypad =
        (modifiers & Qt::KeypadModifier) != 0 || (keysym >= 0xFF80 && keysym <= 0xFFBD);
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) {
        return static_cast<uint32_t>(qtKey - Qt::Key_0) + (keypad ? PVK_NUMPAD0 : PVK_0);
    }
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F12) {
        return PVK_F1 + static_cast<uint32_t>(qtKey - Qt::Key_F1);
    }
    switch (qtKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return PVK_RETURN;
    case Qt::Key_Shift:
        return PVK_SHIFT;
    case Qt::Key_Alt:
        return kVkMenu;
    case Qt::Key_Left:
        return PVK_LEFT;
    case Qt::Key_Up:
        return PVK_UP;
    case Qt::Key_Right:
        return PVK_RIGHT;
    case Qt::Key_Down:
        return PVK_DOWN;
    default:
        break;
    }
    if (keypad) {
        return qtKey == Qt::Key_Plus    ? uint32_t{PVK_ADD}
               : qtKey == Qt::Key_Minus ? uint32_t{PVK_SUBTRACT}
                                        : 0;
    }
    // The main-row digit keys by position (evdev key codes 10..19 = "1".."9", "0"), so that
    // shifted digits and layouts whose digit row types other characters still give the digit
    // codes, as the Win32 virtual keys of those keys do.
    if (positional && nativeScanCode >= 10 && nativeScanCode <= 19) {
        return nativeScanCode == 19 ? PVK_0 : PVK_0 + (nativeScanCode - 9);
    }
    return 0;
}

} // namespace zm_qt
