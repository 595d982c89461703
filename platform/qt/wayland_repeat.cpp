// The compositor's key repeat delay and rate on Wayland (window host of the Qt back end).
//
// The compositor tells them to each wl_keyboard (repeat_info), and Qt's wayland plugin
// keeps them to itself. So the host opens a connection of its own to the same display, with
// a keyboard of its own: that keyboard never has the focus (the connection has no surface),
// so it receives no keys, only the keymap and the repeat settings, again whenever the
// desktop's settings change. Its events are read on the UI thread when they come.
#include <QtCore/QSocketNotifier>
#include <QtGui/QGuiApplication>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <unistd.h>
#include <wayland-client.h>

#include "platform/qt/host_state.h"

namespace zm_qt {
namespace {

struct WaylandRepeat {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    wl_keyboard* keyboard = nullptr;
    QSocketNotifier* notifier = nullptr;
    bool known = false;
    int32_t rate = 0;  // keys a second; 0: keys do not repeat
    int32_t delay = 0; // ms
};

WaylandRepeat& TheRepeatInfo()
{
    static WaylandRepeat* r = new WaylandRepeat; // lives as long as the process
    return *r;
}

void KeymapEvent(void*, wl_keyboard*, uint32_t, int32_t fd, uint32_t)
{
    close(fd);
}
void EnterEvent(void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {}
void LeaveEvent(void*, wl_keyboard*, uint32_t, wl_surface*) {}
void KeyEvent(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t) {}
void ModifiersEvent(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}
void RepeatInfoEvent(void*, wl_keyboard*, int32_t rate, int32_t delay)
{
    WaylandRepeat& r = TheRepeatInfo();
    r.rate = rate;
    r.delay = delay;
    r.known = true;
}
const wl_keyboard_listener kKeyboardListener = {KeymapEvent, EnterEvent,     LeaveEvent,
                                                KeyEvent,    ModifiersEvent, RepeatInfoEvent};

void SeatCapabilities(void*, wl_seat* seat, uint32_t capabilities)
{
    WaylandRepeat& r = TheRepeatInfo();
    const bool hasKeyboard = (capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
    if (hasKeyboard && r.keyboard == nullptr) {
        r.keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(r.keyboard, &kKeyboardListener, nullptr);
    } else if (!hasKeyboard && r.keyboard != nullptr) {
        wl_keyboard_destroy(r.keyboard);
        r.keyboard = nullptr;
        r.known = false;
    }
}
void SeatName(void*, wl_seat*, const char*) {}
const wl_seat_listener kSeatListener = {SeatCapabilities, SeatName};

void RegistryGlobal(void*, wl_registry* registry, uint32_t name, const char* interface,
                    uint32_t version)
{
    WaylandRepeat& r = TheRepeatInfo();
    // repeat_info came with version 4; Qt takes the first seat for its keyboard too.
    if (r.seat == nullptr && std::strcmp(interface, wl_seat_interface.name) == 0 && version >= 4) {
        r.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 4));
        wl_seat_add_listener(r.seat, &kSeatListener, nullptr);
    }
}
void RegistryGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistryListener = {RegistryGlobal, RegistryGlobalRemove};

void Disconnect()
{
    WaylandRepeat& r = TheRepeatInfo();
    if (r.notifier != nullptr) {
        r.notifier->setEnabled(false);
        r.notifier->deleteLater(); // this may run inside its own signal
    }
    if (r.keyboard != nullptr) {
        wl_keyboard_destroy(r.keyboard);
    }
    if (r.seat != nullptr) {
        wl_seat_destroy(r.seat);
    }
    if (r.registry != nullptr) {
        wl_registry_destroy(r.registry);
    }
    if (r.display != nullptr) {
        wl_display_disconnect(r.display);
    }
    r = WaylandRepeat();
}

} // namespace

void WatchWaylandRepeat()
{
    WaylandRepeat& r = TheRepeatInfo();
    if (r.display != nullptr ||
        !QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        return;
    }
    // WAYLAND_DISPLAY names the display Qt connected to (a WAYLAND_SOCKET handed over by the
    // compositor cannot be shared: then the defaults stay).
    r.display = wl_display_connect(nullptr);
    if (r.display == nullptr) {
        return;
    }
    r.registry = wl_display_get_registry(r.display);
    wl_registry_add_listener(r.registry, &kRegistryListener, nullptr);
    // The seat, its capabilities and the keyboard's first repeat_info: three round trips at
    // most, once, when the window is made.
    for (int i = 0; i < 3 && !r.known; ++i) {
        if (wl_display_roundtrip(r.display) < 0) {
            Disconnect();
            return;
        }
    }
    r.notifier = new QSocketNotifier(wl_display_get_fd(r.display), QSocketNotifier::Read);
    QObject::connect(r.notifier, &QSocketNotifier::activated, [] {
        WaylandRepeat& rep = TheRepeatInfo();
        if (wl_display_dispatch(rep.display) < 0) {
            Disconnect(); // the compositor went: Qt ends the program on its own connection
        }
    });
}

bool WaylandRepeatRate(int* delayMs, int* intervalMs)
{
    const WaylandRepeat& r = TheRepeatInfo();
    if (!r.known) {
        return false;
    }
    *delayMs = r.delay > 0 ? r.delay : 1;
    // A rate of 0 means keys do not repeat: no interval.
    *intervalMs = r.rate > 0 ? std::max(1, static_cast<int>((1000 + r.rate / 2) / r.rate)) : 0;
    return true;
}

} // namespace zm_qt
