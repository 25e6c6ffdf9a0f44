#!/usr/bin/env python3
"""Benchmarks the real recorder on a private desktop (scripts/session: its own
sound server, PulseAudio and then PipeWire, and X server, a 440 Hz tone in the
default source): start-up
time, CPU and memory of a 19-s recording against parecord doing the same, how
exactly a recording matches the clicks that made it, where the automatic stop
lands, and how long saving takes. Prints medians with min and max beside each
target.

Usage: run_bench.py [--runs N] [--build DIR] [--server NAME]..."""

import argparse
import ctypes
import ctypes.util
import json
import os
import platform
import queue
import re
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "scripts"))

from driver import (DIALOG_TITLE, MAIN_TITLE, SESSION, START_BUTTON, STOP_BUTTON, Failure,  # noqa: E402
                    Recorder, read_wave, wait_for, windows, xdotool)

RATE = 22050
AUTO_STOP_S = 19.0
CAPTURE_S = 3.0


# ---- X: the main window's appearance as an event, and clicks at known moments ----

class XEvent(ctypes.Structure):
    # The fields shared by the events watched here; XEvent is 24 longs in all.
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("w1", ctypes.c_ulong), ("w2", ctypes.c_ulong),
                ("w3", ctypes.c_ulong), ("pad", ctypes.c_long * 17)]


class XWindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int), ("height", ctypes.c_int),
                ("border_width", ctypes.c_int), ("depth", ctypes.c_int), ("visual", ctypes.c_void_p),
                ("root", ctypes.c_ulong), ("c_class", ctypes.c_int), ("bit_gravity", ctypes.c_int),
                ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int),
                ("backing_planes", ctypes.c_ulong), ("backing_pixel", ctypes.c_ulong),
                ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
                ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


class XImageHead(ctypes.Structure):
    # The leading fields of XImage, up to the row length.
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p), ("byte_order", ctypes.c_int),
                ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int)]


ALL_PLANES, Z_PIXMAP = 0xFFFFFFFF, 2
CREATE_NOTIFY = 16
STRUCTURE_NOTIFY_MASK, SUBSTRUCTURE_NOTIFY_MASK, PROPERTY_CHANGE_MASK = 1 << 17, 1 << 19, 1 << 22
IS_VIEWABLE = 2
ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)


class Display:
    """A connection of our own to the private X server. Windows of the
    program are seen through X events, not by polling: xdotool's own
    `search --sync` looks only every 500 ms."""

    def __init__(self):
        x = self.x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        self.xtst = ctypes.CDLL(ctypes.util.find_library("Xtst") or "libXtst.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
        x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x.XPending.argtypes = [ctypes.c_void_p]
        x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(XEvent)]
        x.XConnectionNumber.argtypes = [ctypes.c_void_p]
        x.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(XWindowAttributes)]
        x.XInternAtom.restype = ctypes.c_ulong
        x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x.XGetWindowProperty.argtypes = [
            ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long, ctypes.c_int,
            ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int),
            ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
        x.XFree.argtypes = [ctypes.c_void_p]
        x.XGetImage.restype = ctypes.c_void_p
        x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        x.XDestroyImage.argtypes = [ctypes.c_void_p]
        x.XTranslateCoordinates.argtypes = [
            ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
            ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong)]
        self.xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                                   ctypes.c_ulong]
        # Windows may vanish between an event and a look at them; the default
        # handler would end this process for that.
        self._on_error = ERROR_HANDLER(lambda display, error: 0)
        x.XSetErrorHandler(self._on_error)
        self.dpy = x.XOpenDisplay(None)
        if not self.dpy:
            raise Failure("cannot open the X display")
        self.root = x.XDefaultRootWindow(self.dpy)
        self.net_wm_name = x.XInternAtom(self.dpy, b"_NET_WM_NAME", 0)
        self.utf8 = x.XInternAtom(self.dpy, b"UTF8_STRING", 0)
        x.XSelectInput(self.dpy, self.root, SUBSTRUCTURE_NOTIFY_MASK)
        x.XSync(self.dpy, 0)
        self.fd = x.XConnectionNumber(self.dpy)

    def drain(self):
        """Forgets the events so far; new windows are looked at from now on."""
        event = XEvent()
        self.x.XSync(self.dpy, 0)
        while self.x.XPending(self.dpy):
            self.x.XNextEvent(self.dpy, ctypes.byref(event))

    def title(self, window):
        kind, fmt = ctypes.c_ulong(), ctypes.c_int()
        count, after, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
        if self.x.XGetWindowProperty(self.dpy, window, self.net_wm_name, 0, 1024, 0, self.utf8, ctypes.byref(kind),
                                     ctypes.byref(fmt), ctypes.byref(count), ctypes.byref(after),
                                     ctypes.byref(data)) != 0 or not data:
            return None
        text = ctypes.string_at(data, count.value).decode("utf-8", "replace")
        self.x.XFree(data)
        return text

    def attributes(self, window):
        attrs = XWindowAttributes()
        if not self.x.XGetWindowAttributes(self.dpy, window, ctypes.byref(attrs)):
            return None
        return attrs

    def wait_for_window(self, title, size, timeout):
        """The first window titled `title` of `size` to become viewable, and
        the moment this process learnt of it."""
        deadline = time.monotonic() + timeout
        event = XEvent()
        candidates = []
        while True:
            while self.x.XPending(self.dpy):
                self.x.XNextEvent(self.dpy, ctypes.byref(event))
                if event.type == CREATE_NOTIFY and event.w1 == self.root:
                    # Its own map and title changes, whichever comes last.
                    self.x.XSelectInput(self.dpy, event.w2, STRUCTURE_NOTIFY_MASK | PROPERTY_CHANGE_MASK)
                    candidates.append(event.w2)
            seen = time.monotonic()
            for window in candidates:
                attrs = self.attributes(window)
                if (attrs and attrs.map_state == IS_VIEWABLE and (attrs.width, attrs.height) == size
                        and self.title(window) == title):
                    return window, seen
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure(f"no window {title!r} within {timeout} s")
            if not self.x.XPending(self.dpy):
                select.select([self.fd], [], [], left)

    def wait_for_paint(self, window, width, rows, timeout):
        """The moment the window first holds drawn pixels: until the program
        draws, a newly mapped window reads as all black. Looks at a few whole
        rows, about every half millisecond; returns the moment and the median
        time between looks."""
        deadline = time.monotonic() + timeout
        looks = [time.monotonic()]
        while True:
            for y in rows:
                image = self.x.XGetImage(self.dpy, window, 0, y, width, 1, ALL_PLANES, Z_PIXMAP)
                if not image:
                    continue
                header = XImageHead.from_address(image)
                drawn = ctypes.string_at(header.data, header.bytes_per_line).strip(b"\0") != b""
                self.x.XDestroyImage(image)
                if drawn:
                    now = time.monotonic()
                    looks.append(now)
                    return now, statistics.median(b - a for a, b in zip(looks, looks[1:]))
            now = time.monotonic()
            looks.append(now)
            if now > deadline:
                raise Failure(f"the window stayed blank for {timeout} s")
            time.sleep(0.0005)

    def root_position(self, window, x, y):
        rx, ry, child = ctypes.c_int(), ctypes.c_int(), ctypes.c_ulong()
        self.x.XTranslateCoordinates(self.dpy, window, self.root, x, y, ctypes.byref(rx), ctypes.byref(ry),
                                     ctypes.byref(child))
        return rx.value, ry.value

    def click(self, window, where):
        """A left click on `where` in `window`. Returns the moment of the
        release, which is when a button acts, and how uncertain it is: the
        release is taken by the server somewhere inside a round trip."""
        x, y = self.root_position(window, *where)
        self.xtst.XTestFakeMotionEvent(self.dpy, -1, x, y, 0)
        self.xtst.XTestFakeButtonEvent(self.dpy, 1, 1, 0)
        self.x.XSync(self.dpy, 0)
        time.sleep(0.02)
        before = time.monotonic()
        self.xtst.XTestFakeButtonEvent(self.dpy, 1, 0, 0)
        self.x.XSync(self.dpy, 0)
        after = time.monotonic()
        return (before + after) / 2, (after - before) / 2

    def move(self, window, where):
        x, y = self.root_position(window, *where)
        self.xtst.XTestFakeMotionEvent(self.dpy, -1, x, y, 0)
        self.x.XSync(self.dpy, 0)


# ---- the sound server's view: record streams opening and closing ----

class StreamWatch:
    """Record streams (source outputs) appearing and going, as the sound
    server announces them."""

    def __init__(self):
        self.process = subprocess.Popen(["stdbuf", "-oL", "pactl", "subscribe"], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        pattern = re.compile(r"Event '(\w+)' on source-output #(\d+)")
        for line in self.process.stdout:
            match = pattern.search(line)
            if match:
                self.events.put((time.monotonic(), match.group(1), int(match.group(2))))

    def clear(self):
        while not self.events.empty():
            self.events.get_nowait()

    def wait(self, kind, timeout):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure(f"no record stream '{kind}' event within {timeout} s")
            try:
                when, what, _ = self.events.get(timeout=left)
            except queue.Empty:
                continue
            if what == kind:
                return when

    def close(self):
        self.process.terminate()
        self.process.wait()


# ---- one run of the program ----

class Timespec(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


LIBC = ctypes.CDLL(None, use_errno=True)
LIBC.clock_getcpuclockid.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
LIBC.clock_gettime.argtypes = [ctypes.c_int, ctypes.POINTER(Timespec)]


def cpu_ns(pid):
    """The process's time on a CPU so far, in ns: its CPU-time clock, which
    counts every thread, those that already ended too. (/proc/PID/stat counts
    10-ms ticks; the task directories hold only the threads still there.)"""
    clock, now = ctypes.c_int(), Timespec()
    error = LIBC.clock_getcpuclockid(pid, ctypes.byref(clock))
    if error:
        raise Failure(f"no CPU clock for process {pid}: {os.strerror(error)}")
    if LIBC.clock_gettime(clock.value, ctypes.byref(now)):
        raise Failure(f"cannot read the CPU clock of process {pid}: {os.strerror(ctypes.get_errno())}")
    return now.tv_sec * 1_000_000_000 + now.tv_nsec


def threads(pid):
    """Each live thread's name, ns on a CPU and voluntary context switches
    (how often it went to sleep, so about how often it was woken)."""
    found = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                ns = int(f.read().split()[0])
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                sleeps = int(re.search(r"^voluntary_ctxt_switches:\s*(\d+)", f.read(), re.M).group(1))
        except FileNotFoundError:
            continue  # it ended meanwhile
        found[int(tid)] = (name, ns, sleeps)
    return found


def cpu_mark(pid):
    """A reading of the process's CPU time, whole and by thread, and when."""
    at = time.monotonic()
    return {"at": at, "ns": cpu_ns(pid), "threads": threads(pid)}


def cpu_span(pid, start, end):
    """CPU seconds between two marks, scaled to 19 s so that spans a few ms
    apart compare; the main thread, the sound library's loop thread and the
    rest apart, with the loop and main threads' wake-ups."""
    span = end["at"] - start["at"]
    scale = AUTO_STOP_S / span
    spent = {}
    for tid, (name, ns, sleeps) in end["threads"].items():
        _, ns0, sleeps0 = start["threads"].get(tid, (name, 0, 0))
        part = "main" if tid == pid else "loop" if name == "threaded-ml" else "other"
        ns_sum, sleeps_sum = spent.get(part, (0, 0))
        spent[part] = (ns_sum + ns - ns0, sleeps_sum + sleeps - sleeps0)
    total = end["ns"] - start["ns"]
    figures = {"cpu_s": total / 1e9 * scale, "span_s": span,
               # what threads that ended within the span took: the clock has it, the threads no more
               "cpu_gone_s": (total - sum(ns for ns, _ in spent.values())) / 1e9 * scale}
    for part, (ns, sleeps) in spent.items():
        figures[f"{part}_cpu_s"] = ns / 1e9 * scale
        figures[f"{part}_wakeups"] = sleeps * scale
    return figures


def memory_kib(pid, path, keys):
    """Fields of /proc/PID/status or smaps_rollup, in KiB."""
    found = {}
    with open(f"/proc/{pid}/{path}") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in keys:
                found[key] = int(value.split()[0])
    return found


def reap(process, timeout=15):
    """Waits for the child and returns its own resource usage."""
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            process.returncode = os.waitstatus_to_exitcode(status)
            return usage
        if time.monotonic() > deadline:
            process.kill()
            pid, status, usage = os.wait4(process.pid, 0)
            process.returncode = os.waitstatus_to_exitcode(status)
            raise Failure("the recorder did not end after its window was closed")
        time.sleep(0.01)


def peak_kib(pid):
    """The highest resident memory of the process since its exec. (A child's
    ru_maxrss would also count this Python process, which it was a copy of
    until its exec.)"""
    return memory_kib(pid, "status", {"VmHWM"})["VmHWM"]


def cpu_figures(usage):
    return {"cpu_s": usage.ru_utime + usage.ru_stime}


class Run:
    """The program started and its main window awaited."""

    def __init__(self, program, display):
        display.drain()
        self.started = time.monotonic()
        self.recorder = Recorder(program)
        self.spawned = time.monotonic()
        self.xid, self.mapped = display.wait_for_window(MAIN_TITLE, (361, 220), 15)
        self.window = str(self.xid)  # as xdotool and wmctrl name it
        self.display = display

    @property
    def pid(self):
        return self.recorder.process.pid

    def close(self):
        """Closes the window; the program's CPU time and peak memory, whole run."""
        peak = peak_kib(self.pid)
        self.recorder.close(self.window)
        usage = reap(self.recorder.process)
        if self.recorder.process.returncode != 0:
            raise Failure(f"the recorder ended with status {self.recorder.process.returncode}")
        return {**cpu_figures(usage), "peak_kib": peak}

    def save(self, path):
        """Saves through the dialog and reads the file back. The file only
        appears complete (it is written aside and then put in place)."""
        self.recorder.save_as(self.window, path)
        wait_for(lambda: os.path.exists(path + ".wav"), 10, path + ".wav")
        wait_for(lambda: not windows(DIALOG_TITLE), 10, "the save dialog to close")
        take = read_wave(path + ".wav")
        if (take["channels"], take["width"], take["rate"]) != (1, 1, RATE):
            raise Failure(f"saved as {take['channels']} channels, {take['width']} bytes, {take['rate']} Hz")
        return take["frames"]


def start_run(program, display, _out, _streams):
    run = Run(program, display)
    # Rows through the banner and through the buttons' strip.
    painted, look_ms = display.wait_for_paint(run.xid, 361, (5, 175), 5)
    figures = {"mapped_ms": (run.mapped - run.started) * 1000, "painted_ms": (painted - run.started) * 1000,
               "paint_look_ms": look_ms * 1000, "spawn_ms": (run.spawned - run.started) * 1000}
    # What polling with xdotool instead would cost per look, for comparison.
    before = time.monotonic()
    for _ in range(5):
        xdotool("search", "--onlyvisible", "--name", f"^{MAIN_TITLE}$", check_status=False)
    figures["xdotool_look_ms"] = (time.monotonic() - before) / 5 * 1000
    figures.update(run.close())
    return figures


def capture_run(program, display, out, _streams):
    run = Run(program, display)
    run.recorder.activate(run.window)
    started, start_doubt = display.click(run.xid, START_BUTTON)
    display.move(run.xid, STOP_BUTTON)
    time.sleep(max(0.0, CAPTURE_S - (time.monotonic() - started)))
    stopped, stop_doubt = display.click(run.xid, STOP_BUTTON)
    frames = run.save(os.path.join(out, "capture"))
    figures = run.close()
    elapsed_ms = (stopped - started) * 1000
    figures.update(clicks_ms=elapsed_ms, frames=frames, error_ms=frames / RATE * 1000 - elapsed_ms,
                   doubt_ms=(start_doubt + stop_doubt) * 1000)
    return figures


def auto_run(program, display, out, streams):
    run = Run(program, display)
    run.recorder.activate(run.window)
    streams.clear()
    started, _ = display.click(run.xid, START_BUTTON)
    opened = streams.wait("new", 5)
    cpu_at_start = cpu_mark(run.pid)
    # The end is awaited as the sound server sees it: the record stream closing.
    closed = streams.wait("remove", AUTO_STOP_S + 5)
    cpu_recording = cpu_span(run.pid, cpu_at_start, cpu_mark(run.pid))
    peak_recording = peak_kib(run.pid)
    frames = run.save(os.path.join(out, "auto"))
    anonymous = memory_kib(run.pid, "smaps_rollup", {"Anonymous"})["Anonymous"]
    figures = run.close()
    figures.update(frames=frames, stop_error_ms=(frames / RATE - AUTO_STOP_S) * 1000,
                   stream_open_s=closed - opened, click_to_stream_ms=(opened - started) * 1000,
                   recording_peak_kib=peak_recording, anonymous_kib=anonymous,
                   **{f"recording_{key}": value for key, value in cpu_recording.items()})
    return figures


def parecord_run(_program, _display, out, streams):
    path = os.path.join(out, "parecord.wav")
    streams.clear()
    with open(os.path.join(os.environ["SESSION_DIR"], "parecord.log"), "w") as log:
        process = subprocess.Popen(["parecord", "--format=u8", "--rate=22050", "--channels=1",
                                    "--file-format=wav", path], stdout=log, stderr=log)
        # Its 19 s of recording, counted as the recorder's are: from its
        # record stream appearing on the server.
        streams.wait("new", 5)
        cpu_at_start = cpu_mark(process.pid)
        time.sleep(max(0.0, AUTO_STOP_S - (time.monotonic() - cpu_at_start["at"])))
        recording = cpu_span(process.pid, cpu_at_start, cpu_mark(process.pid))
        peak = peak_kib(process.pid)
        process.send_signal(signal.SIGINT)
        figures = {**cpu_figures(reap(process)), "peak_kib": peak,
                   **{f"recording_{key}": value for key, value in recording.items()}}
    if process.returncode != 0:
        raise Failure(f"parecord ended with status {process.returncode}")
    figures["frames"] = read_wave(path)["frames"]
    return figures


KINDS = {"start": start_run, "capture": capture_run, "auto": auto_run, "parecord": parecord_run}
# What each kind's client asks of the source, for a card-like one to post at
# (scripts/session): the program 400-ms fragments, parecord the server's
# default of 2 s.
CARD_LATENCY_MS = {"parecord": 2000}
PROGRAM_FRAGMENT_MS = 400


# ---- memory: the same window with no sound behind it ----

# Time left to a shown and drawn window before its peak is read, for what Qt
# does in it after the first paint.
BARE_SETTLE_S = 1.0


def bare_run(program, display, _out, _streams):
    """bench/bare_window: the recorder's main window and application set-up,
    the sound never opened. Its peak once shown is the floor for the
    recorder's own."""
    binary = os.path.join(os.path.dirname(program), "bench", "bare_window")
    display.drain()
    with open(os.path.join(os.environ["SESSION_DIR"], "bare_window.log"), "w") as log:
        process = subprocess.Popen([binary], stdout=log, stderr=log)
        xid, _ = display.wait_for_window(MAIN_TITLE, (361, 220), 15)
        display.wait_for_paint(xid, 361, (5, 175), 5)
        time.sleep(BARE_SETTLE_S)
        peak = peak_kib(process.pid)
        subprocess.run(["wmctrl", "-i", "-c", str(xid)], check=False)
        reap(process)
    if process.returncode != 0:
        raise Failure(f"the bare window ended with status {process.returncode}")
    return {"peak_kib": peak}


KINDS["bare"] = bare_run


def over_bare_kib(results):
    """Per run, the recorder's peak up to the automatic stop minus the bare
    window's peak: the runs take turns, so each pair shares the machine's state."""
    return [auto["recording_peak_kib"] - bare["peak_kib"] for auto, bare in zip(results["auto"], results["bare"])]


def memory_checks(results):
    return [("peak memory: over the bare window", [k / 1024 for k in over_bare_kib(results)], "MiB", ".2f",
             "< 3 MiB", lambda m, v: m < 3)]


def memory_beside(results):
    return [("bare window: peak memory once shown", [r["peak_kib"] / 1024 for r in results["bare"]], "MiB",
             ".1f")]


def inside(args):
    """On the private desktop: the runs, taking turns, so a drift touches every kind alike."""
    program = os.path.abspath(os.path.join(args.build, "molan-recorder"))
    out = os.path.join(os.environ["SESSION_DIR"], "out")
    os.makedirs(out, exist_ok=True)
    display = Display()
    streams = StreamWatch()
    results = {kind: [] for kind in KINDS}
    try:
        for i in range(args.runs):
            for kind, run in KINDS.items():
                print(f"  run {i + 1}/{args.runs}: {kind}", file=sys.stderr, flush=True)
                with open(os.path.join(os.environ["SESSION_DIR"], "card-latency-ms"), "w") as f:
                    f.write(str(CARD_LATENCY_MS.get(kind, PROGRAM_FRAGMENT_MS)))
                results[kind].append(run(program, display, out, streams))
                for name in os.listdir(out):
                    os.remove(os.path.join(out, name))
    except Failure as failure:
        print(f"  {failure}", file=sys.stderr)
        log = os.path.join(os.environ["SESSION_DIR"], "recorder.log")
        if os.path.exists(log):
            sys.stderr.write(open(log, errors="replace").read())
        sys.exit(1)
    finally:
        streams.close()
    with open(args.inside, "w") as f:
        json.dump(results, f)


# ---- outside: the machine, bench_save, the table ----

def machine():
    def first(path, key):
        with open(path) as f:
            for line in f:
                if line.startswith(key):
                    return line.split(":", 1)[1].strip()
        return "?"

    def version(*command):
        out = subprocess.run(command, capture_output=True, text=True).stdout.strip().splitlines()
        return out[-1].split()[-1] if out else "?"

    return {
        "cpu": first("/proc/cpuinfo", "model name"),
        "cores": os.cpu_count(),
        "memory": f"{int(first('/proc/meminfo', 'MemTotal').split()[0]) / 1024 / 1024:.1f} GiB",
        "kernel": f"{platform.system()} {platform.release()}",
        "pulseaudio": version("pulseaudio", "--version"),
        "pipewire": version("pipewire", "--version"),
        # Other work on the machine shows in the figures; this says how much there was.
        "load": "load average {:.2f} {:.2f} {:.2f} before the runs".format(*os.getloadavg()),
    }


def run_save_bench(build):
    binary = os.path.join(build, "bench", "bench_save")
    if not os.access(binary, os.X_OK):
        sys.exit(f"run_bench: {binary} is missing; build with the bench directory added")
    out = subprocess.run([binary], capture_output=True, text=True, check=True).stdout
    result = {}
    for line in out.splitlines():
        fields = line.split("\t")
        if len(fields) == 4:
            result[fields[0]] = [float(v) for v in fields[1:]]
        elif len(fields) == 2:
            result[fields[0]] = fields[1]
    return result


def check_bare_window(build):
    binary = os.path.join(build, "bench", "bare_window")
    if not os.access(binary, os.X_OK):
        sys.exit(f"run_bench: {binary} is missing; build with the bench directory added")


def spread(values):
    return statistics.median(values), min(values), max(values)


def aligned(rows, right):
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return ["  ".join(c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths))).rstrip()
            for r in rows]


def table(results, save, info, runs, server, source):
    def get(kind, key, scale=1.0):
        return [r[key] * scale for r in results[kind]]

    mib = 1 / 1024
    # parecord's own 19 s of recording, over the same span as the program's
    floor_cpu = statistics.median(get("parecord", "recording_cpu_s"))
    floor_whole = statistics.median(get("parecord", "cpu_s"))
    # parecord takes whatever the server sends (PipeWire: 2-s chunks); the
    # program asks for 400-ms fragments and keeps a recovery file besides.
    allowance = 0.020
    plain = save["QFile"][0]

    # name, figures, unit, format, target, whether met (given median and all figures)
    checks = [
        ("start: exec to main window drawn", get("start", "painted_ms"), "ms", ".1f", "< 100 ms",
         lambda m, v: m < 100),
        ("CPU: the 19 s of recording", get("auto", "recording_cpu_s"), "s", ".4f",
         f"<= parecord {floor_cpu:.4f} s" + (f" + {allowance:.3f}" if allowance else ""),
         lambda m, v: m <= floor_cpu + allowance),
        ("CPU: whole 19-s run (start to close)", get("auto", "cpu_s"), "s", ".3f",
         f"<= parecord's whole run {floor_whole:.3f} s", lambda m, v: m <= floor_whole),
        ("peak memory: up to the automatic stop", get("auto", "recording_peak_kib", mib), "MiB", ".1f",
         "< 40 MiB", lambda m, v: m < 40),
        ("peak memory: whole 19-s run", get("auto", "peak_kib", mib), "MiB", ".1f", "< 40 MiB",
         lambda m, v: m < 40),
        ("capture: file minus clicks", get("capture", "error_ms"), "ms", "+.1f", "5 ms, every run 10 ms",
         lambda m, v: abs(m) <= 5 and all(abs(x) <= 10 for x in v)),
        ("automatic stop: file minus 19.000 s", get("auto", "stop_error_ms"), "ms", "+.1f", "within 10 ms",
         lambda m, v: all(abs(x) <= 10 for x in v)),
    ]
    checks += memory_checks(results)
    rows = [("measure", "median", "min", "max", "target", "")]
    for name, values, unit, fmt, target, met in checks:
        med, low, high = spread(values)
        rows.append((name, f"{med:{fmt}} {unit}", f"{low:{fmt}}", f"{high:{fmt}}", target,
                     "pass" if met(med, values) else "MISS"))
    med, low, high = save["writeWaveFile"]
    rows.append(("save 19 s: writeWaveFile", f"{med:.3f} ms", f"{low:.3f}", f"{high:.3f}",
                 f"<= 2 x plain copy {plain:.3f} ms", "pass" if med <= 2 * plain else "MISS"))

    beside = [
        ("start: exec to main window mapped", get("start", "mapped_ms"), "ms", ".1f"),
        ("start: of which starting the process", get("start", "spawn_ms"), "ms", ".2f"),
        ("start: time between looks for drawing", get("start", "paint_look_ms"), "ms", ".2f"),
        ("start: one xdotool search, for comparison", get("start", "xdotool_look_ms"), "ms", ".1f"),
        ("start and close: CPU", get("start", "cpu_s"), "s", ".3f"),
        ("start: peak memory", get("start", "peak_kib", mib), "MiB", ".1f"),
        ("recording: CPU of the main thread", get("auto", "recording_main_cpu_s"), "s", ".4f"),
        ("recording: CPU of the sound loop thread", get("auto", "recording_loop_cpu_s"), "s", ".4f"),
        ("recording: CPU of the other threads", get("auto", "recording_other_cpu_s"), "s", ".4f"),
        ("recording: CPU of threads that ended", get("auto", "recording_cpu_gone_s"), "s", ".4f"),
        ("recording: wake-ups of the main thread", get("auto", "recording_main_wakeups"), "", ".0f"),
        ("recording: wake-ups of the sound loop", get("auto", "recording_loop_wakeups"), "", ".0f"),
        ("recording: span measured", get("auto", "recording_span_s"), "s", ".3f"),
        ("recording minus parecord, run by run",
         [a - b for a, b in zip(get("auto", "recording_cpu_s"), get("parecord", "recording_cpu_s"))], "s", "+.4f"),
        ("parecord, 19 s of recording: CPU", get("parecord", "recording_cpu_s"), "s", ".4f"),
        ("parecord, 19 s of recording: wake-ups", get("parecord", "recording_main_wakeups"), "", ".0f"),
        ("parecord, 19 s of recording: span", get("parecord", "recording_span_s"), "s", ".3f"),
        ("parecord, whole run: CPU", get("parecord", "cpu_s"), "s", ".3f"),
        ("parecord, 19 s: peak memory", get("parecord", "peak_kib", mib), "MiB", ".1f"),
        ("19-s run: anonymous memory after saving", get("auto", "anonymous_kib", mib), "MiB", ".1f"),
        ("19-s run: record stream open on the server", get("auto", "stream_open_s"), "s", ".4f"),
        ("19-s run: Start click to record stream", get("auto", "click_to_stream_ms"), "ms", ".1f"),
        ("capture: time between the clicks", get("capture", "clicks_ms"), "ms", ".1f"),
        ("capture: click timing uncertainty (+/-)", get("capture", "doubt_ms"), "ms", ".2f"),
        ("capture: |file minus clicks|", [abs(x) for x in get("capture", "error_ms")], "ms", ".1f"),
    ]
    beside += memory_beside(results)
    other = [("", "median", "min", "max")]
    for name, values, unit, fmt in beside:
        med, low, high = spread(values)
        other.append((name, f"{med:{fmt}} {unit}".rstrip(), f"{low:{fmt}}", f"{high:{fmt}}"))
    writes = [("", "median", "min", "max")]
    for name in ("writeWaveFile", "QSaveFile", "QFile+fdatasync", "QFile", "ofstream"):
        if name in save:
            med, low, high = save[name]
            writes.append((name, f"{med:.3f} ms", f"{low:.3f}", f"{high:.3f}"))

    lines = [f"Molan Recorder benchmark on {server}, {SOURCES[source]}: {runs} runs of each kind; "
             "median, min and max.",
             "A target is met when the median meets it; for \"within\", when every run does.", ""]
    body = aligned(rows, {1, 2, 3})
    lines += [body[0], "-" * max(len(b) for b in body)] + body[1:]
    lines += ["", "Beside them:"] + aligned(other, {1, 2, 3})
    lines += ["", f"Saving {save['bytes']} bytes ({save['reps']} writes each; "
                  "the plain copy is QFile):"] + aligned(writes, {1, 2, 3})
    lines += ["", f"Machine: {info['cpu']}, {info['cores']} cores, {info['memory']} memory",
              f"         {info['kernel']}, Qt {save['qt']}, {server} {info[server]}",
              f"         {info['load']}"]
    return "\n".join(lines)


# What rec_mic is: a source that posts as a capture card does (the default),
# or the rig's old one, a player at 20-100 ms latency that posts every 10 ms.
SOURCES = {"card": "a source posting like a capture card", "rig": "the 10-ms source"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="runs of each kind (default 5)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="build directory (default build/)")
    parser.add_argument("--server", action="append", choices=["pulseaudio", "pipewire"],
                        help="sound server to run on (default both, one after the other)")
    parser.add_argument("--source", choices=SOURCES, default="card",
                        help="card: rec_mic posts as a capture card does (default); "
                             "rig: every 10 ms")
    parser.add_argument("--inside", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    args.build = os.path.abspath(args.build)
    if args.inside:
        inside(args)
        return 0

    program = os.path.join(args.build, "molan-recorder")
    if not os.access(program, os.X_OK):
        sys.exit(f"run_bench: no program at {program}")
    check_bare_window(args.build)
    info = machine()
    save = run_save_bench(args.build)
    for server in args.server or ["pulseaudio", "pipewire"]:
        with tempfile.TemporaryDirectory() as scratch:
            results_path = os.path.join(scratch, "results.json")
            print(f"Running the recorder {3 * args.runs} times and parecord {args.runs} times on {server} "
                  f"(about {args.runs * 45} s)...", file=sys.stderr, flush=True)
            card = ["--card-like"] if args.source == "card" else []
            status = subprocess.run([SESSION, f"--server={server}", "--signal=tone:440", *card, "--", sys.executable,
                                     os.path.abspath(__file__), "--runs", str(args.runs), "--build", args.build,
                                     "--inside", results_path]).returncode
            if status != 0:
                sys.exit(f"run_bench: the runs on {server} failed (status {status})")
            with open(results_path) as f:
                results = json.load(f)
        print(table(results, save, info, args.runs, server, args.source), end="\n\n", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
