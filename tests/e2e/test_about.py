"""The About window on the real program: one at most, centred and out of the
taskbar like the main window is centred, OK closes it, and it goes with the
main window."""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

from driver import (ABOUT_BUTTON, MAIN_TITLE, STOP_BUTTON, Recorder, check, run_cases, wait_for,
                    window_size, windows)


def about_windows():
    return [w for w in windows(MAIN_TITLE) if window_size(w) == (233, 135)]


def frame_off_centre(window):
    """How far the window with its frame stands from the middle of the 1280 x 1024 screen."""
    info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
    field = {k.strip(): v.strip() for k, v in (line.split(":", 1) for line in info.splitlines() if ":" in line)}
    x, y = int(field["Absolute upper-left X"]), int(field["Absolute upper-left Y"])
    width, height = int(field["Width"]), int(field["Height"])
    extents = wait_for(lambda: xprop(window, "_NET_FRAME_EXTENTS").partition("=")[2], 5, "the frame")
    left, right, top, bottom = (int(n) for n in extents.split(","))
    return (x - left + (left + width + right) / 2 - 640, y - top + (top + height + bottom) / 2 - 512)


def xprop(window, name):
    return subprocess.run(["xprop", "-id", window, name], capture_output=True, text=True).stdout


def placed_like_a_tool(main, about):
    for window in (main, about):
        dx, dy = frame_off_centre(window)
        check(abs(dx) <= 1 and abs(dy) <= 1, f"window {window} opened {dx:+.0f}, {dy:+.0f} px off centre")
    check("_NET_WM_STATE_SKIP_TASKBAR" in xprop(about, "_NET_WM_STATE"), "the About window is in the taskbar")
    check("_NET_WM_STATE_SKIP_TASKBAR" not in xprop(main, "_NET_WM_STATE"), "the main window is not")


def one_about_window(program):
    recorder = Recorder(program)
    main = recorder.main_window()
    recorder.click(main, ABOUT_BUTTON)
    first = wait_for(about_windows, 10, "the About window")
    placed_like_a_tool(main, first[0])
    recorder.click(main, ABOUT_BUTTON)
    time.sleep(0.5)
    check(about_windows() == first, f"About windows {about_windows()} after a second click, was {first}")

    # OK (Enter) closes it; the next click makes it anew.
    recorder.key(first[0], "Return")
    wait_for(lambda: not about_windows(), 10, "the About window to close")
    recorder.click(main, ABOUT_BUTTON)
    wait_for(about_windows, 10, "the About window again")

    # Recording goes on with it open; closing the main window takes both.
    recorder.key(main, "alt+k")
    time.sleep(1.2)
    check(len(about_windows()) == 1, "the About window went away while recording")
    recorder.click(main, STOP_BUTTON)
    recorder.close(main)
    check(recorder.wait() == 0, "closing failed")
    check(not windows(MAIN_TITLE), "a window outlived the program")


CASES = {"one About window": (["--signal=tone:440"], one_about_window)}

if __name__ == "__main__":
    run_cases(CASES, sys.argv[1])
