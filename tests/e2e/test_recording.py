"""Recording through a real sound server and saving with the real dialog,
driven by keys and clicks; the files are read back with Python's wave module."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

from driver import (DIALOG_TITLE, START_BUTTON, STOP_BUTTON, Recorder, check, frequency,
                    run_cases, wait_for, windows, xdotool)

RATE = 22050


def out_dir():
    path = os.path.join(os.environ["SESSION_DIR"], "out")
    os.makedirs(path, exist_ok=True)
    return path


def timed(*args):
    """Runs xdotool; the moment it acted is taken as the middle of the call."""
    before = time.monotonic()
    xdotool(*args)
    return (before + time.monotonic()) / 2


def record_for(recorder, window, seconds):
    """A click on Start, a wait, a click on Stop; returns the time between the clicks.
    (Alt+K would click Start only after Qt's 100 ms button animation.)"""
    recorder.activate(window)
    xdotool("mousemove", "--window", window, str(START_BUTTON[0]), str(START_BUTTON[1]))
    started = timed("click", "1")
    xdotool("mousemove", "--window", window, str(STOP_BUTTON[0]), str(STOP_BUTTON[1]))
    time.sleep(seconds - (time.monotonic() - started))
    return timed("click", "1") - started


def records_and_saves(program):
    recorder = Recorder(program)
    window = recorder.main_window()
    elapsed = record_for(recorder, window, 2.0)
    target = os.path.join(out_dir(), "第一次 录音")
    take = recorder.save_and_read(window, target)
    check((take["channels"], take["width"], take["rate"]) == (1, 1, RATE), f"format {take}")
    error_ms = (take["frames"] - elapsed * RATE) / RATE * 1000
    print(f"  {take['frames']} frames over {elapsed * 1000:.1f} ms between the clicks: {error_ms:+.1f} ms")
    # 5 ms for the recorder, the rest for xdotool's own timing.
    check(abs(error_ms) <= 10, f"recorded {take['frames']} frames in {elapsed:.3f} s")
    hz = frequency(take["samples"])
    check(abs(hz - 440) <= 5, f"tone read {hz:.1f} Hz")

    recorder.close(window)
    check(recorder.wait() == 0, "closing failed")


def cancel_writes_nothing(program):
    recorder = Recorder(program)
    window = recorder.main_window()
    record_for(recorder, window, 0.5)
    recorder.key(window, "alt+s")
    dialog = wait_for(lambda: windows(DIALOG_TITLE), 10, "the save dialog")[0]
    recorder.key(dialog, "Escape")
    wait_for(lambda: not windows(DIALOG_TITLE), 10, "the dialog to close")
    check(os.listdir(out_dir()) == [], "cancelling wrote a file")
    check(not any(name.endswith(".wav") for name in os.listdir(os.environ["SESSION_DIR"])), "stray file")

    # Save is still there for the same recording.
    target = os.path.join(out_dir(), "kept")
    frames = recorder.save_and_read(window, target)["frames"]
    check(abs(frames - 0.5 * RATE) < 0.1 * RATE, f"{frames} frames")
    recorder.close(window)
    check(recorder.wait() == 0, "closing failed")


def stops_by_itself(program):
    recorder = Recorder(program)
    window = recorder.main_window()
    recorder.key(window, "alt+k")
    time.sleep(20.5)
    target = os.path.join(out_dir(), "auto")
    frames = recorder.save_and_read(window, target)["frames"]  # only possible once it has stopped
    print(f"  stopped itself after {frames / RATE:.4f} s")
    check(abs(frames - 19 * RATE) <= 441, f"{frames} frames, not 19 s")
    recorder.close(window)
    check(recorder.wait() == 0, "closing failed")


def closing_while_recording_writes_nothing(program):
    recorder = Recorder(program)
    window = recorder.main_window()
    recorder.key(window, "alt+k")
    time.sleep(0.5)
    recorder.close(window)
    check(recorder.wait() == 0, "closing while recording failed")
    check(os.listdir(out_dir()) == [], "something was written")


TONE = ["--signal=tone:440", "--decoy-source"]
CASES = {
    "record two seconds and save": (TONE, records_and_saves),
    "cancelled dialog writes nothing": (TONE, cancel_writes_nothing),
    "close while recording": (TONE, closing_while_recording_writes_nothing),
    "automatic stop at 19 s": (TONE, stops_by_itself),
}

if __name__ == "__main__":
    run_cases(CASES, sys.argv[1])
