// Keys of the window host (Qt back end, contract: platform/platform.h): Qt key events
// become PM_KEYDOWN / PM_KEYUP with Windows virtual-key codes, or PM_SYSKEYDOWN /
// PM_SYSKEYUP for F10 and every key pressed with Alt.
#include <QtGui/QGuiApplication>
#include <QtGui/QKeyEvent>

#include "platform/platform.h"
#include "platform/qt/host_state.h"

namespace zm_qt {
namespace {

constexpr uint32_t kVkMenu = 0x12;  // Alt

bool PositionalScanCodes()
{
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("xcb") || name.startsWith(QLatin1String("wayland"));
}

}  // namespace

void DeliverKey(QKeyEvent* e, bool down)
{
    if (!down && e->isAutoRepeat()) {
        return;  // Win32 repeats key-down messages only
    }
    const uint32_t vk =
        VirtualKeyFor(e->key(), static_cast<unsigned>(e->modifiers()),
                      e->nativeScanCode(), PositionalScanCodes());
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
    uint32_t lParam = 1;  // repeat count
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
    Send(message, vk, static_cast<intptr_t>(lParam));
}

uint32_t VirtualKeyFor(int qtKey, unsigned modifiers, uint32_t nativeScanCode, bool positional)
{
    const bool keypad = (modifiers & Qt::KeypadModifier) != 0;
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) {
        return static_cast<uint32_t>(qtKey - Qt::Key_0) + (keypad ? PVK_NUMPAD0 : PVK_0);
    }
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24) {
        return PVK_F1 + static_cast<uint32_t>(qtKey - Qt::Key_F1);
    }
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) {
        return static_cast<uint32_t>(qtKey);  // same codes as VK 'A'..'Z'
    }
    switch (qtKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return PVK_RETURN;
    case Qt::Key_Shift:
        return PVK_SHIFT;
    case Qt::Key_Control:
        return 0x11;
    case Qt::Key_Alt:
        return 0x12;
    case Qt::Key_Left:
        return PVK_LEFT;
    case Qt::Key_Up:
        return PVK_UP;
    case Qt::Key_Right:
        return PVK_RIGHT;
    case Qt::Key_Down:
        return PVK_DOWN;
    case Qt::Key_Backspace:
        return 0x08;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return 0x09;
    case Qt::Key_Clear:
        return 0x0C;
    case Qt::Key_Pause:
        return 0x13;
    case Qt::Key_CapsLock:
        return 0x14;
    case Qt::Key_Escape:
        return 0x1B;
    case Qt::Key_Space:
        return 0x20;
    case Qt::Key_PageUp:
        return 0x21;
    case Qt::Key_PageDown:
        return 0x22;
    case Qt::Key_End:
        return 0x23;
    case Qt::Key_Home:
        return 0x24;
    case Qt::Key_Print:
        return 0x2C;
    case Qt::Key_Insert:
        return 0x2D;
    case Qt::Key_Delete:
        return 0x2E;
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
        return 0x5B;
    case Qt::Key_Super_R:
        return 0x5C;
    case Qt::Key_Menu:
        return 0x5D;
    case Qt::Key_NumLock:
        return 0x90;
    case Qt::Key_ScrollLock:
        return 0x91;
    default:
        break;
    }
    if (keypad) {
        switch (qtKey) {
        case Qt::Key_Asterisk:
            return 0x6A;  // VK_MULTIPLY
        case Qt::Key_Plus:
            return PVK_ADD;
        case Qt::Key_Minus:
            return PVK_SUBTRACT;
        case Qt::Key_Period:
        case Qt::Key_Comma:
            return 0x6E;  // VK_DECIMAL
        case Qt::Key_Slash:
            return 0x6F;  // VK_DIVIDE
        default:
            return 0;
        }
    }
    // The main-row digit keys by position (evdev key codes 10..19 = "1".."9", "0"), so that
    // shifted digits and layouts whose digit row types other characters still give the digit
    // codes, as the Win32 virtual keys of those keys do.
    if (positional && nativeScanCode >= 10 && nativeScanCode <= 19) {
        return nativeScanCode == 19 ? PVK_0 : PVK_0 + (nativeScanCode - 9);
    }
    switch (qtKey) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        return 0xBB;  // VK_OEM_PLUS
    case Qt::Key_Comma:
        return 0xBC;
    case Qt::Key_Minus:
        return 0xBD;
    case Qt::Key_Period:
        return 0xBE;
    default:
        return 0;
    }
}

}  // namespace zm_qt
