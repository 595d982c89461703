/* A virtual keyboard and pointer on a wlroots compositor, fed from standard input, for the
 * Wayland test (scripts/test-wayland.sh). Both devices are made at start and kept: Qt binds
 * the seat's devices when the program under test starts, so they must exist before it.
 *
 * Usage: zm_vinput WIDTH HEIGHT   (the output's size in the compositor's units)
 * Prints "ready" once both devices exist, and "ok" after each "sync". Commands, one a line:
 *   key CODE | down CODE | up CODE      tap, press or release an evdev key (KEY_* code)
 *   extent W H                          the output's size changed (an output scale)
 *   move X Y                            pointer to (X, Y) of the output
 *   rel DX DY                           pointer moved by (DX, DY)
 *   bdown BUTTON | bup BUTTON           evdev button (272 left, 273 right, 274 middle)
 *   wheel N                             N notches, positive toward the user
 *   sync                                wait until the compositor has all of it, print "ok"
 * The modifier state is worked out here from the keys (with xkbcommon) and sent after each
 * key that changes it: wlroots does not do that for a virtual keyboard. */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

static struct wl_seat* seat;
static struct zwp_virtual_keyboard_manager_v1* keyboard_manager;
static struct zwlr_virtual_pointer_manager_v1* pointer_manager;

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                   uint32_t version)
{
    (void)data;
    (void)version;
    if (strcmp(interface, wl_seat_interface.name) == 0 && seat == NULL)
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
        keyboard_manager =
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
    else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        pointer_manager =
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
}

static void global_remove(void* data, struct wl_registry* registry, uint32_t name)
{
    (void)data;
    (void)registry;
    (void)name;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

static uint32_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

static int die(const char* what)
{
    fprintf(stderr, "zm_vinput: %s\n", what);
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 3)
        return die("usage: zm_vinput WIDTH HEIGHT");
    uint32_t width = (uint32_t)atoi(argv[1]);
    uint32_t height = (uint32_t)atoi(argv[2]);
    struct wl_display* display = wl_display_connect(NULL);
    if (display == NULL)
        return die("no Wayland display");
    struct wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, NULL);
    wl_display_roundtrip(display);
    if (seat == NULL || keyboard_manager == NULL || pointer_manager == NULL)
        return die("the compositor offers no seat, virtual keyboard or virtual pointer");

    /* The keymap the compositor hands to its clients: evdev rules, US layout. */
    struct xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    const struct xkb_rule_names names = {"evdev", "pc105", "us", "", ""};
    struct xkb_keymap* keymap =
        context ? xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS) : NULL;
    if (keymap == NULL)
        return die("no xkb keymap (is xkb-data installed?)");
    struct xkb_state* state = xkb_state_new(keymap);
    char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
    const size_t size = strlen(text) + 1;
    const int fd = memfd_create("zm-keymap", MFD_CLOEXEC);
    if (fd < 0 || write(fd, text, size) != (ssize_t)size)
        return die("cannot hand over the keymap");
    free(text);

    struct zwp_virtual_keyboard_v1* keyboard =
        zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboard_manager, seat);
    zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, (uint32_t)size);
    close(fd);
    struct zwlr_virtual_pointer_v1* pointer =
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointer_manager, seat);
    if (wl_display_roundtrip(display) < 0)
        return die("the compositor refused the devices");
    printf("ready\n");
    fflush(stdout);

    xkb_mod_mask_t sent[3] = {0, 0, 0};
    char line[256];
    while (fgets(line, sizeof line, stdin) != NULL) {
        char command[16] = "";
        long a = 0;
        long b = 0;
        const int n = sscanf(line, "%15s %ld %ld", command, &a, &b);
        if (n < 1)
            continue;
        const uint32_t t = now_ms();
        if (strcmp(command, "key") == 0 || strcmp(command, "down") == 0 ||
            strcmp(command, "up") == 0) {
            for (int press = 1; press >= 0; --press) {
                if ((press && strcmp(command, "up") == 0) ||
                    (!press && strcmp(command, "down") == 0))
                    continue;
                zwp_virtual_keyboard_v1_key(keyboard, t, (uint32_t)a,
                                            press ? WL_KEYBOARD_KEY_STATE_PRESSED
                                                  : WL_KEYBOARD_KEY_STATE_RELEASED);
                /* xkb key codes are evdev codes + 8 */
                xkb_state_update_key(state, (xkb_keycode_t)a + 8,
                                     press ? XKB_KEY_DOWN : XKB_KEY_UP);
                const xkb_mod_mask_t now[3] = {
                    xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
                    xkb_state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
                    xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
                };
                if (memcmp(now, sent, sizeof sent) != 0) {
                    zwp_virtual_keyboard_v1_modifiers(
                        keyboard, now[0], now[1], now[2],
                        xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE));
                    memcpy(sent, now, sizeof sent);
                }
            }
        } else if (strcmp(command, "extent") == 0 && n == 3) {
            width = (uint32_t)a;
            height = (uint32_t)b;
            continue;
        } else if (strcmp(command, "move") == 0 && n == 3) {
            zwlr_virtual_pointer_v1_motion_absolute(pointer, t, (uint32_t)a, (uint32_t)b, width,
                                                    height);
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (strcmp(command, "rel") == 0 && n == 3) {
            zwlr_virtual_pointer_v1_motion(pointer, t, wl_fixed_from_int((int)a),
                                           wl_fixed_from_int((int)b));
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (strcmp(command, "bdown") == 0 || strcmp(command, "bup") == 0) {
            zwlr_virtual_pointer_v1_button(pointer, t, (uint32_t)a,
                                           command[1] == 'd' ? WL_POINTER_BUTTON_STATE_PRESSED
                                                             : WL_POINTER_BUTTON_STATE_RELEASED);
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (strcmp(command, "wheel") == 0) {
            zwlr_virtual_pointer_v1_axis_source(pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
            zwlr_virtual_pointer_v1_axis_discrete(pointer, t, WL_POINTER_AXIS_VERTICAL_SCROLL,
                                                  wl_fixed_from_int((int)(15 * a)), (int32_t)a);
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (strcmp(command, "sync") == 0) {
            if (wl_display_roundtrip(display) < 0)
                return die("the compositor went away");
            printf("ok\n");
            fflush(stdout);
            continue;
        } else {
            fprintf(stderr, "zm_vinput: unknown command: %s", line);
            continue;
        }
        if (wl_display_flush(display) < 0)
            return die("the compositor went away");
    }
    zwlr_virtual_pointer_v1_destroy(pointer);
    zwp_virtual_keyboard_v1_destroy(keyboard);
    wl_display_roundtrip(display);
    wl_display_disconnect(display);
    xkb_state_unref(state);
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
    return 0;
}
