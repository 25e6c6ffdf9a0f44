"""Start-up and closing of the real program on a private desktop, with and
without a usable sound server."""

import os
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

from driver import APP_TITLE, MAIN_TITLE, Recorder, check, run_cases, wait_for, window_size, windows


def told_and_ended(recorder):
    """The start-up message instead of the window, then the end of the program."""
    box = wait_for(lambda: windows(APP_TITLE), 15, "the message box")[0]
    check(not windows(MAIN_TITLE), "the main window was shown")
    check(window_size(box)[0] < 361, "the box is not a message box")
    recorder.screenshot(os.path.join(os.environ["SESSION_DIR"], "startup-failure.png"))
    recorder.key(box, "Return")
    status = recorder.wait()
    check(status != 0, "start-up failure ended with status 0")
    check(not windows(MAIN_TITLE), "the main window appeared after the message")
    # The box's text is echoed on standard error, where it can be read here.
    said = open(recorder.log_path, encoding="utf-8").read()
    check("molan-recorder: 无法初始化声卡，退出程序\n" in said, f"the program said {said!r}")


def fails_to_start(program):
    told_and_ended(Recorder(program))


def server_does_not_answer(program):
    """A server that takes the connection and then says nothing: the program
    gives up after a bounded wait instead of hanging before its window."""
    path = os.path.join(os.environ["SESSION_DIR"], "silent-server")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(8)
    os.environ["PULSE_SERVER"] = f"unix:{path}"
    started = time.monotonic()
    recorder = Recorder(program)
    wait_for(lambda: windows(APP_TITLE), 10, "the message box")
    waited = time.monotonic() - started
    print(f"  gave up after {waited:.2f} s")
    check(waited <= 3.5, f"waited {waited:.2f} s for a server that does not answer")
    told_and_ended(recorder)


def starts_and_closes(program):
    recorder = Recorder(program)
    window = recorder.main_window()
    check(recorder.running(), "the recorder ended by itself")
    recorder.close(window)
    check(recorder.wait() == 0, "closing did not end the program cleanly")


CASES = {
    "no sound server": (["--sound=none"], fails_to_start),
    "a sound server that does not answer": (["--sound=none"], server_does_not_answer),
    "no capture device": (["--sound=no-source"], fails_to_start),
    "no playback device": (["--sound=no-sink"], fails_to_start),
    "normal start and close": ([], starts_and_closes),
}

if __name__ == "__main__":
    run_cases(CASES, sys.argv[1])
