#!/usr/bin/env python3
"""When the program's notes leave on the ALSA sequencer, in the VM (vm-guest.sh runs it).

F1 is struck through XTest at fixed deadlines, then controllers are played into the thru at
fixed deadlines; what arrives at a VirMIDI raw end is timed as it is read. Prints two lines
of figures (name=value) for the host to judge:
    strike-timing.py RAW_OUT RAW_IN COUNT INTERVAL_MS
"""
import ctypes
import os
import statistics
import sys
import threading
import time

out_dev, in_dev = sys.argv[1], sys.argv[2]
count, interval_ns = int(sys.argv[3]), int(float(sys.argv[4]) * 1e6)
# A strike the script was held up in the middle of has no sure time (the guest is emulated:
# its calls are slow).
SURE_NS = 2_000_000

arrivals = []  # (ns, status, data1, data2), the read's time for each message in it


def read():
    fd = os.open(out_dev, os.O_RDONLY)
    status, data = 0, []
    while True:
        chunk = os.read(fd, 256)
        now = time.monotonic_ns()
        for byte in chunk:
            if byte >= 0xF8:
                continue
            if byte & 0x80:
                status, data = byte, []
                continue
            data.append(byte)
            if len(data) == 2:
                arrivals.append((now, status, data[0], data[1]))
                data = []


def wait_until(deadline):
    while True:
        left = deadline - time.monotonic_ns()
        if left <= 0:
            return
        time.sleep(min(left, 2_000_000) / 1e9)


def percentile(values, p):
    if not values:
        return float("nan")
    v = sorted(values)
    return v[min(len(v) - 1, int(p * (len(v) - 1) + 0.5))]


threading.Thread(target=read, daemon=True).start()
time.sleep(0.3)

x11 = ctypes.CDLL("libX11.so.6")
xtst = ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XKeysymToKeycode.restype = ctypes.c_ubyte
x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
x11.XFlush.argtypes = [ctypes.c_void_p]
display = x11.XOpenDisplay(None)
f1 = x11.XKeysymToKeycode(display, 0xFFBE)

played = []
start = time.monotonic_ns() + 200_000_000
for i in range(count):
    wait_until(start + i * interval_ns)
    before = time.monotonic_ns()
    xtst.XTestFakeKeyEvent(display, f1, 1, 0)
    xtst.XTestFakeKeyEvent(display, f1, 0, 0)
    x11.XFlush(display)
    played.append((before, time.monotonic_ns() - before <= SURE_NS))
time.sleep(1.0)

ons = [a for a in arrivals if a[1] == 0x90 and a[2] == 9 and a[3] > 0]
in_order = all(arrivals[i][1:] == (0x90, 9, 0x7F) and arrivals[i + 1][1:] == (0x90, 9, 0)
               for i in range(0, len(arrivals) - 1, 2)) and len(arrivals) == 2 * len(ons)
errors, nominal = [], []
if len(ons) == count:
    for i in range(1, count):
        if played[i - 1][1] and played[i][1]:
            got = ons[i][0] - ons[i - 1][0]
            want = played[i][0] - played[i - 1][0]
            errors.append(abs(got - want) / 1e6)
        nominal.append(abs(ons[i][0] - ons[i - 1][0] - interval_ns) / 1e6)
print("alsa keys count=%d strikes=%d each_release_after_its_strike=%d judged=%d "
      "error_ms_p50=%.2f error_ms_p95=%.2f error_ms_max=%.2f against_31_ms_p95=%.2f"
      % (count, len(ons), in_order, len(errors), percentile(errors, 0.5),
         percentile(errors, 0.95), percentile(errors, 1), percentile(nominal, 0.95)))

first = len(arrivals)
sent = []
fd = os.open(in_dev, os.O_WRONLY)
start = time.monotonic_ns() + 200_000_000
for i in range(count):
    wait_until(start + i * interval_ns)
    os.write(fd, bytes([0xB0, 0x10, i & 0x7F]))
    sent.append(time.monotonic_ns())
time.sleep(1.0)
thru = [a for a in arrivals[first:] if a[1] == 0xB0 and a[2] == 0x10]
values = [a[3] for a in thru]
latencies = [(a[0] - sent[i]) / 1e6 for i, a in enumerate(thru)] if len(thru) == count else []
print("alsa thru count=%d arrived=%d in_order=%d latency_ms_min=%.2f latency_ms_median=%.2f "
      "latency_ms_max=%.2f spread_ms=%.2f"
      % (count, len(thru), values == [i & 0x7F for i in range(count)],
         min(latencies, default=float("nan")),
         statistics.median(latencies) if latencies else float("nan"),
         max(latencies, default=float("nan")),
         (max(latencies) - min(latencies)) if latencies else float("nan")))
