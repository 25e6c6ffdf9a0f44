"""The About window on the real program: one at most, centred and out of the
taskbar like the main window is centred, OK closes it, and it goes with the
main window."""

import subprocess
import time

import pytest
from driver import ABOUT_BUTTON, MAIN_TITLE, STOP_BUTTON, wait_for, window_size, windows


def about_windows():
    return [w for w in windows(MAIN_TITLE) if window_size(w) == (233, 135)]


def xprop(window, name):
    return subprocess.run(["xprop", "-id", window, name], capture_output=True, text=True).stdout


def frame_off_centre(window):
    """How far the window with its frame stands from the middle of the 1280 x 1024 screen."""
    info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
    field = {k.strip(): v.strip() for k, v in (line.split(":", 1) for line in info.splitlines() if ":" in line)}
    x, y = int(field["Absolute upper-left X"]), int(field["Absolute upper-left Y"])
    width, height = int(field["Width"]), int(field["Height"])
    extents = wait_for(lambda: xprop(window, "_NET_FRAME_EXTENTS").partition("=")[2], 5, "the frame")
    left, right, top, bottom = (int(n) for n in extents.split(","))
    return (x - left + (left + width + right) / 2 - 640, y - top + (top + height + bottom) / 2 - 512)


@pytest.mark.session("--signal=tone:440")
def test_one_about_window(recorder):
    main = recorder.window
    recorder.click(main, ABOUT_BUTTON)
    first = wait_for(about_windows, 10, "the About window")
    for window in (main, first[0]):
        assert frame_off_centre(window) == pytest.approx((0, 0), abs=1), f"window {window}"
    assert "_NET_WM_STATE_SKIP_TASKBAR" in xprop(first[0], "_NET_WM_STATE")
    assert "_NET_WM_STATE_SKIP_TASKBAR" not in xprop(main, "_NET_WM_STATE")
    recorder.click(main, ABOUT_BUTTON)
    time.sleep(0.5)
    assert about_windows() == first

    # OK (Enter) closes it; the next click makes it anew.
    recorder.key(first[0], "Return")
    wait_for(lambda: not about_windows(), 10, "the About window to close")
    recorder.click(main, ABOUT_BUTTON)
    wait_for(about_windows, 10, "the About window again")

    # Recording goes on with it open; closing the main window takes both.
    recorder.key(main, "alt+k")
    time.sleep(1.2)
    assert len(about_windows()) == 1, "the About window went away while recording"
    recorder.click(main, STOP_BUTTON)
    recorder.close(main)
    assert recorder.wait() == 0
    assert not windows(MAIN_TITLE), "a window outlived the program"
