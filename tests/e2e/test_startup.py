"""Start-up and closing of the real program on a private desktop, with and
without a usable sound server."""

import socket
import time

import pytest
from driver import APP_TITLE, MAIN_TITLE, wait_for, window_size, windows


def told_and_ended(recorder):
    """The start-up message instead of the window, then the end of the program."""
    box = wait_for(lambda: windows(APP_TITLE), 15, "the message box")[0]
    assert not windows(MAIN_TITLE), "the main window was shown"
    assert window_size(box)[0] < 361, "the box is not a message box"
    recorder.key(box, "Return")
    assert recorder.wait() != 0
    assert not windows(MAIN_TITLE), "the main window appeared after the message"
    # The box's text is echoed on standard error, where it can be read here.
    with open(recorder.log_path, encoding="utf-8") as log:
        assert "molan-recorder: 无法初始化声卡，退出程序\n" in log.read()


@pytest.mark.parametrize("session", ["--sound=none", "--sound=no-source", "--sound=no-sink"], indirect=True)
def test_without_sound_devices_it_says_so_and_ends(launch):
    told_and_ended(launch())


@pytest.mark.session("--sound=none")
def test_a_server_that_does_not_answer_is_given_up_on(session, launch, monkeypatch):
    """It takes the connection and then says nothing: no hang before the window."""
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(str(session / "silent-server"))
    listener.listen(8)
    monkeypatch.setenv("PULSE_SERVER", f"unix:{session / 'silent-server'}")
    started = time.monotonic()
    recorder = launch()
    wait_for(lambda: windows(APP_TITLE), 10, "the message box")
    assert time.monotonic() - started <= 3.5
    told_and_ended(recorder)


@pytest.mark.parametrize("recording", [False, True], ids=["idle", "recording"])
def test_closing_ends_the_program_and_writes_nothing(session, recorder, recording):
    if recording:
        recorder.key(recorder.window, "alt+k")
        time.sleep(0.5)
    assert recorder.running()
    recorder.close(recorder.window)
    assert recorder.wait() == 0
    assert not list(session.rglob("*.wav"))
