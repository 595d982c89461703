#!/usr/bin/env python3
"""A USB MIDI keyboard in the VM (vm-guest.sh runs it as a coprocess): the configfs MIDI
gadget on dummy_udc, which snd-usb-audio on the host side takes for a real device ("USB
Keys"). Its own end, the gadget card's rawmidi, is held open both ways from each plug-in
on, so that nobody can subscribe the gadget's sequencer port ("f_midi") and loop it; what
the host sends to the keyboard is appended to OUT/usb-in.raw.
    usb-keys.py OUT
Commands, one a line on stdin, each answered with one line on stdout:
    plug                 binds the gadget to the UDC (the cable plugged in)
    play HEX...          the keyboard plays these bytes
    stream COUNT INTERVAL_MS PULL_AT DOWN_S SINK PID...
                         plays COUNT notes at a steady rate into the host; before note
                         PULL_AT the cable is pulled, DOWN_S later plugged back in, and once
                         the host's port is open again the rest is played; times what
                         arrives at the raw MIDI device SINK and the CPU that the processes
                         PID used while the cable was out
    quit
"""
import glob
import os
import re
import select
import sys
import threading
import time

GADGET = "/sys/kernel/config/usb_gadget/g1"
out_dir = sys.argv[1]
fd = None
card = None
recorder = None


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def gadget_card():
    with open("/proc/asound/cards") as f:
        m = re.search(r"^ *(\d+) \[.*\]: MIDI Gadget - f_midi", f.read(), re.M)
    return int(m.group(1)) if m else None


def record(held):
    # Ends when the cable is pulled: the card goes and its reads fail.
    with open(os.path.join(out_dir, "usb-in.raw"), "ab", buffering=0) as log:
        try:
            while True:
                chunk = os.read(held, 256)
                if not chunk:
                    return
                log.write(chunk)
        except OSError:
            return


def plug():
    global fd, card, recorder
    if not os.path.isdir(GADGET):
        if not os.path.ismount("/sys/kernel/config"):
            os.system("mount -t configfs none /sys/kernel/config")
        os.makedirs(GADGET + "/strings/0x409")
        write(GADGET + "/idVendor", "0x1d6b")
        write(GADGET + "/idProduct", "0x0104")
        write(GADGET + "/strings/0x409/manufacturer", "Test")
        write(GADGET + "/strings/0x409/product", "USB Keys")
        os.makedirs(GADGET + "/configs/c.1")
        os.makedirs(GADGET + "/functions/midi.usb0")
        os.symlink(GADGET + "/functions/midi.usb0", GADGET + "/configs/c.1/midi.usb0")
    start = time.monotonic()
    write(GADGET + "/UDC", os.listdir("/sys/class/udc")[0])
    # At once: a device check of the program's that came first would subscribe "f_midi".
    while time.monotonic() - start < 10:
        card = gadget_card()
        if card is not None:
            try:
                fd = os.open("/dev/snd/midiC%dD0" % card, os.O_RDWR)
                break
            except FileNotFoundError:
                pass
        time.sleep(0.005)
    else:
        return "no gadget card within 10 s"
    recorder = threading.Thread(target=record, args=(fd,), daemon=True)
    recorder.start()
    return "plugged card=%d held_after_ms=%.0f" % (card, (time.monotonic() - start) * 1000)


def pull():
    global fd
    write(GADGET + "/UDC", "\n")
    # Closed only once its reader has seen the card go: a new plug-in may get the number.
    recorder.join(5)
    os.close(fd)
    fd = None


def host_port():
    """None while the host side's port is not there; else whether it has a subscriber both
    ways: the program opened it."""
    with open("/proc/asound/seq/clients") as f:
        text = f.read()
    m = re.search(r'^Client +\d+ : "USB Keys".*?(?=^Client|\Z)', text, re.M | re.S)
    return None if not m else "Connecting To" in m.group(0) and "Connected From" in m.group(0)


def host_port_open():
    return bool(host_port())


def cpu_ticks(pids):
    """{(pid, tid, name): utime + stime} of every thread of the processes."""
    ticks = {}
    for pid in pids:
        for stat in glob.glob("/proc/%d/task/*/stat" % pid):
            try:
                with open(stat) as f:
                    text = f.read()
            except OSError:
                continue
            name = text[text.index("(") + 1:text.rindex(")")]
            fields = text[text.rindex(")") + 2:].split()
            ticks[(pid, stat.split("/")[4], name)] = int(fields[11]) + int(fields[12])
    return ticks


def wait_until(deadline):
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(left, 0.002))


def note(i):
    # Each note its own key and velocity, so that every one is known when it arrives.
    return bytes([0x90, 36 + i % 64, 1 + i // 64, 0x80, 36 + i % 64, 0])


def cpu_pct(before, after, seconds):
    """{thread name: % of one CPU} between two cpu_ticks, the busiest first."""
    clock = os.sysconf("SC_CLK_TCK")
    used = {}
    for key, ticks in before.items():
        name = key[2].replace(" ", "_")
        used[name] = used.get(name, 0) + 100 * (after.get(key, ticks) - ticks) / clock / seconds
    return sorted(used.items(), key=lambda kv: -kv[1])


def stream(count, interval_ms, pull_at, down_s, sink, pids):
    arrivals = []
    stop = threading.Event()

    def read():
        sink_fd = os.open(sink, os.O_RDONLY | os.O_NONBLOCK)
        status, data = 0, []
        # Closed when done: a card with a file still open cannot be removed.
        while not stop.is_set():
            if not select.select([sink_fd], [], [], 0.1)[0]:
                continue
            for byte in os.read(sink_fd, 256):
                if byte & 0x80:
                    status, data = byte, []
                    continue
                data.append(byte)
                if len(data) == 2:
                    if status == 0x90 and data[1] > 0:
                        arrivals.append((data[0] - 36) + 64 * (data[1] - 1))
                    data = []
        os.close(sink_fd)

    # A virmidi raw end drops what comes before its first read.
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    idle = cpu_ticks(pids)
    time.sleep(2)
    idle = cpu_pct(idle, cpu_ticks(pids), 2)
    interval = interval_ms / 1000
    sent = []
    start = time.monotonic()
    for i in range(pull_at):
        wait_until(start + i * interval)
        os.write(fd, note(i))
        sent.append(time.monotonic())
    # Pulled 1 ms after a note was played, as the next would be: mid-stream.
    wait_until(sent[-1] + 0.001)
    before = cpu_ticks(pids)
    pulled = time.monotonic()
    pull()
    # A line before the plug-in, for a screenshot of the lists meanwhile.
    time.sleep(max(0.0, down_s - 1))
    print("unplugged", flush=True)
    wait_until(pulled + down_s)
    unplugged = cpu_pct(before, cpu_ticks(pids), time.monotonic() - pulled)
    out_s = time.monotonic() - pulled
    plugged = time.monotonic()
    answer = plug()
    if fd is None:
        return answer
    # The card's enumeration takes its own time under emulation; a device check takes the
    # port within its 5 s of the port appearing.
    appeared = None
    while time.monotonic() - plugged < 15:
        state = host_port()
        if state is not None and appeared is None:
            appeared = time.monotonic()
        if state:
            break
        time.sleep(0.02)
    opened = time.monotonic()
    appeared = opened if appeared is None else appeared
    resume = opened + 0.2
    for i in range(pull_at, count):
        wait_until(resume + (i - pull_at) * interval)
        os.write(fd, note(i))
        sent.append(time.monotonic())
    ended = time.monotonic()
    time.sleep(1.5)
    stop.set()
    reader.join()

    got = set(arrivals)
    lost = [i for i in range(count) if i not in got]
    lost_before = [i for i in lost if i < pull_at]
    # How long before the pull the earliest lost note was played: what was in flight.
    window_ms = (pulled - sent[lost_before[0]]) * 1000 if lost_before else 0
    idle_of = dict(idle)
    busiest, busiest_pct = unplugged[0] if unplugged else ("none", 0)
    return ("stream count=%d interval_ms=%g pull_at=%d arrived=%d lost_at_pull=%d "
            "lost_sent_within_ms=%.1f lost_after_plug=%d in_order=%d appeared_to_open_s=%.2f "
            "plugged_to_open_s=%.2f "
            "unplugged_s=%.2f cpu_idle_pct=%.1f cpu_unplugged_pct=%.1f busiest_thread=%s "
            "busiest_pct=%.1f busiest_idle_pct=%.1f threads_unplugged=%s "
            "at_start=%.4f at_pull=%.4f at_plug=%.4f at_open=%.4f at_end=%.4f"
            % (count, interval_ms, pull_at, len(arrivals), len(lost_before), window_ms,
               len(lost) - len(lost_before), arrivals == sorted(arrivals),
               opened - appeared, opened - plugged, out_s, sum(v for _, v in idle),
               sum(v for _, v in unplugged), busiest, busiest_pct, idle_of.get(busiest, 0),
               ",".join("%s:%.1f" % kv for kv in unplugged[:6]),
               start, pulled, plugged, opened, ended))


for line in sys.stdin:
    words = line.split()
    if not words:
        continue
    try:
        if words[0] == "plug":
            reply = plug()
        elif words[0] == "play":
            os.write(fd, bytes.fromhex("".join(words[1:])))
            reply = "played"
        elif words[0] == "stream":
            reply = stream(int(words[1]), float(words[2]), int(words[3]), float(words[4]),
                           words[5], [int(p) for p in words[6:]])
        elif words[0] == "quit":
            break
        else:
            reply = "unknown command " + words[0]
    except OSError as e:
        reply = "failed: %s" % e
    print(reply, flush=True)
