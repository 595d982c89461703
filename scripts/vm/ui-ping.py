#!/usr/bin/env python3
"""How long the program's UI thread takes to answer, from outside: a _NET_WM_PING to its
window every INTERVAL_MS, timed until the answer reaches the root window (window managers
ask the same to find a hung program; Qt and Wine answer it from the thread that owns the
window, between its other work). With a screen region, also a checksum of its pixels every
tenth ping: when the program redrew it (grabbing so little keeps the X server free for the
pings, which a whole screenshot does not). Runs until killed; prints "SENT_S RTT_MS [CRC]" a
line (RTT_MS -1: no answer in 2 s), flushed as it goes.
    ui-ping.py WINDOW_ID INTERVAL_MS [X Y W H]
"""
import ctypes
import select
import sys
import time
import zlib

CLIENT_MESSAGE = 33
STRUCTURE_NOTIFY, SUBSTRUCTURE_NOTIFY = 1 << 17, 1 << 19
TIMEOUT_S = 2.0


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("l", ctypes.c_long * 5)]


class Image(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p), ("byte_order", ctypes.c_int),
                ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int),
                ("bitmap_pad", ctypes.c_int), ("depth", ctypes.c_int),
                ("bytes_per_line", ctypes.c_int)]


class Event(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("client", ClientMessage), ("pad", ctypes.c_long * 24)]


x11 = ctypes.CDLL("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                           ctypes.POINTER(Event)]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XPending.argtypes = [ctypes.c_void_p]
x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(Event)]
x11.XConnectionNumber.argtypes = [ctypes.c_void_p]
x11.XGetImage.restype = ctypes.POINTER(Image)
x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                          ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
x11.XDestroyImage.argtypes = [ctypes.POINTER(Image)]
ALL_PLANES, Z_PIXMAP = 0xFFFFFFFF, 2


def region_crc(x, y, w, h):
    image = x11.XGetImage(display, root, x, y, w, h, ALL_PLANES, Z_PIXMAP)
    crc = zlib.crc32(ctypes.string_at(image.contents.data, image.contents.bytes_per_line * h))
    x11.XDestroyImage(image)
    return "%08x" % crc

window, interval = int(sys.argv[1], 0), float(sys.argv[2]) / 1000
region = [int(v) for v in sys.argv[3:7]]
display = x11.XOpenDisplay(None)
root = x11.XDefaultRootWindow(display)
protocols = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
ping = x11.XInternAtom(display, b"_NET_WM_PING", 0)
# Qt answers with StructureNotify, Wine with SubstructureNotify in the mask.
x11.XSelectInput(display, root, STRUCTURE_NOTIFY | SUBSTRUCTURE_NOTIFY)
fd = x11.XConnectionNumber(display)
event = Event()
serial = 0
while True:
    serial += 1
    event.client = ClientMessage(type=CLIENT_MESSAGE, window=window, message_type=protocols,
                                 format=32, l=(ctypes.c_long * 5)(ping, serial, window, 0, 0))
    sent = time.monotonic()
    x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    # The next ping waits for this answer, so a stall of any length is timed whole.
    rtt = -1.0
    while rtt < 0 and time.monotonic() - sent < TIMEOUT_S:
        if not x11.XPending(display):
            select.select([fd], [], [], TIMEOUT_S)
            continue
        x11.XNextEvent(display, ctypes.byref(event))
        if (event.type == CLIENT_MESSAGE and event.client.l[0] == ping
                and event.client.l[1] == serial):
            rtt = (time.monotonic() - sent) * 1000
    crc = " " + region_crc(*region) if region and serial % 10 == 1 else ""
    print("%.4f %.2f%s" % (sent, rtt, crc), flush=True)
    time.sleep(max(0.0, sent + interval - time.monotonic()))
