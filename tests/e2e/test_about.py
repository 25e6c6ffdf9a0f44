"""The About window on the real program: one at most, OK closes it, and it
goes with the main window."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

from driver import (ABOUT_BUTTON, MAIN_TITLE, STOP_BUTTON, Recorder, check, run_cases, wait_for,
                    window_size, windows)


def about_windows():
    return [w for w in windows(MAIN_TITLE) if window_size(w) == (233, 135)]


def one_about_window(program):
    recorder = Recorder(program)
    main = recorder.main_window()
    recorder.click(main, ABOUT_BUTTON)
    first = wait_for(about_windows, 10, "the About window")
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
