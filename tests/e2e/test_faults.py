"""The sound server dies or hangs in the middle of a recording, or hangs when
Start is pressed: the recording stops by itself and says so, what was
captured is saved and is sound to its end, and the next Start records again
once the server is back."""

import os
import signal
import subprocess
import time

import pytest
from driver import APP_TITLE, RATE, START_BUTTON, frequency, wait_for, windows

# Ahead of other work, as the session starts its own, so that a busy machine
# does not put gaps into the sound.
AHEAD = "nice -n -10" if os.geteuid() == 0 else ""


# A take once the server is back is as long as its clicks, give or take how
# late a busy machine lets the program see each click (3-10 ms with a busy
# loop beside it, once 26 ms), and xdotool's own timing; a fragment held back
# (400 ms) or a late start (100 ms or more) is far beyond it.
AGAIN = 0.05
# The server hands sound over 0.4 s at a time; PipeWire holds that much back.
FRAGMENT = 0.4

SERVERS = ("pulseaudio", "pipewire", "pipewire-pulse", "wireplumber")


def session_pids():
    """This session's sound server processes."""
    mark = f"SESSION_DIR={os.environ['SESSION_DIR']}".encode()
    found = []
    for name in SERVERS:
        for pid in subprocess.run(["pgrep", "-x", name], capture_output=True, text=True).stdout.split():
            with open(f"/proc/{pid}/environ", "rb") as f:
                if mark in f.read().split(b"\0"):
                    found.append(int(pid))
    return found


def silent_runs(samples, window=441):
    """Stretches of 20 ms or more with nothing but silence in them, in seconds from the start."""
    quiet = [t for t in range(0, len(samples) - window + 1, window)
             if max(samples[t:t + window]) - min(samples[t:t + window]) < 4]
    return [t / RATE for t in quiet]


def listening(session):
    """What the session's second reader of the microphone (--witness) hears
    from now on: a function that returns what it has heard so far."""
    path = session / "witness.raw"
    began = path.stat().st_size

    def heard():
        with open(path, "rb") as f:
            f.seek(began)
            return f.read()
    return heard


def assert_the_tone(samples, heard):
    """The tone throughout, without silence, unless the session's own player
    ran dry: `heard`, from its second reader over the same time, has silence too."""
    gaps = silent_runs(samples)
    assert not gaps or silent_runs(heard), f"silence where the tone was, at {gaps} s"
    if not gaps:
        assert frequency(samples) == pytest.approx(440, abs=5), "not the tone"


def session_process(name):
    """The pid and command line of this session's process called `name`."""
    mark = f"SESSION_DIR={os.environ['SESSION_DIR']}".encode()
    for pid in subprocess.run(["pgrep", "-x", name], capture_output=True, text=True).stdout.split():
        with open(f"/proc/{pid}/environ", "rb") as f:
            if mark in f.read().split(b"\0"):
                with open(f"/proc/{pid}/cmdline", "rb") as c:
                    return int(pid), [a.decode() for a in c.read().split(b"\0")[:-1]]
    raise AssertionError(f"no {name} in this session")


def restart_server(command, session):
    """The same server again, with the session's devices, and the tone as the session played it."""
    subprocess.Popen([*AHEAD.split(), *command], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: subprocess.run(["pactl", "info"], capture_output=True).returncode == 0, 10, "the new server")
    devices = session / "pulse" / "devices"
    if devices.exists():  # pipewire-pulse's devices went with it
        for line in devices.read_text().splitlines():
            subprocess.run(["pactl", *line.split()], check=True, capture_output=True)
    subprocess.Popen(
        f"{AHEAD} sox -q -n -t raw -r 44100 -c 2 -b 16 -e signed-integer - synth sine 440 vol 0.5 | "
        f"{AHEAD} pacat --playback --device=rec_sink --raw --format=s16le --rate=44100 --channels=2 --latency-msec=100",
        shell=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: subprocess.run(["pactl", "list", "short", "sink-inputs"], capture_output=True).stdout, 10,
             "the tone to play")
    if os.environ["MOLAN_SOUND_SERVER"] != "pipewire":
        # As the session does: a fresh null sink's first block is under way
        # before the tone, so its monitor would start with a jump.
        for state in ("1", "0"):
            subprocess.run(["pactl", "suspend-sink", "rec_sink", state], check=True)


# The new server and its tone end with the session.
@pytest.mark.session("--signal=tone:440")
def test_the_sound_server_dies_while_recording(session, recorder):
    name = "pipewire-pulse" if os.environ["MOLAN_SOUND_SERVER"] == "pipewire" else "pulseaudio"
    pid, command = session_process(name)
    recorder.click(recorder.window, START_BUTTON)
    time.sleep(1.5)
    os.kill(pid, signal.SIGKILL)
    box = wait_for(lambda: windows(APP_TITLE), 5, "the message that recording was interrupted")[0]
    with open(recorder.log_path, encoding="utf-8") as log:
        said = log.read()
    assert "录音被中断" in said and "可以保存" in said
    recorder.key(box, "Return")
    assert recorder.running(), "the program ended when its sound server died"

    # Saving works only once the window is back in its stopped state. All
    # is kept but what the server held back when it died (a fragment on PipeWire).
    take = recorder.save_and_read(recorder.window, str(session / "before"))
    assert (1.4 - FRAGMENT) * RATE <= take["frames"] <= 1.8 * RATE
    assert frequency(take["samples"]) == pytest.approx(440, abs=5), "the kept sound is not the tone"

    restart_server(command, session)
    time.sleep(0.5)
    elapsed, slack = recorder.record(1.0)
    again = recorder.save_and_read(recorder.window, str(session / "after"))
    assert abs(again["frames"] / RATE - elapsed) <= AGAIN + slack, (again["frames"], elapsed)
    assert frequency(again["samples"]) == pytest.approx(440, abs=5), "the new recording is not the tone"
    recorder.close(recorder.window)
    assert recorder.wait() == 0


# A stuck server (SIGSTOP, as a swap storm or a debugger would) during a take,
# and when Start is pressed: told within seconds, never filled with silence.
@pytest.mark.session("--signal=tone:440", "--witness")
@pytest.mark.parametrize("when", [1.5, 0], ids=["during a take", "at start"])
def test_a_hung_sound_server_is_told(session, recorder, when):
    pids = session_pids()
    assert pids
    try:
        if not when:
            for pid in pids:
                os.kill(pid, signal.SIGSTOP)
        recorder.click(recorder.window, START_BUTTON)
        time.sleep(when)
        hung = time.monotonic()
        for pid in pids:
            os.kill(pid, signal.SIGSTOP)
        box = wait_for(lambda: windows(APP_TITLE), 5, "the message that the server stopped answering")[0]
        told_after = time.monotonic() - hung
    finally:
        for pid in pids:
            os.kill(pid, signal.SIGCONT)
    with open(recorder.log_path, encoding="utf-8") as log:
        said = log.read()
    assert "录音被中断" in said and "声音服务器停止了响应" in said, said
    assert told_after < 3, told_after
    recorder.key(box, "Return")
    if not when:
        assert "没有录下任何声音" in said
    else:
        # Up to the hang, less what PipeWire held back; the tone to the end.
        assert "可以保存" in said
        take = recorder.save_and_read(recorder.window, str(session / "hung"))
        assert (1.3 - FRAGMENT) * RATE <= take["frames"] <= 1.7 * RATE, take["frames"]
        assert frequency(take["samples"]) == pytest.approx(440, abs=5)
        assert silent_runs(take["samples"]) == [], "silence where the tone was"

    # Once the server answers again, so does the recorder. The session's own
    # player hung with the server and may still be catching up: where the
    # session's second reader heard silence too, the take is made again.
    for attempt in (1, 2):
        witness = listening(session)
        elapsed, slack = recorder.record(1.0)
        time.sleep(0.2)  # its latency
        heard = witness()
        again = recorder.save_and_read(recorder.window, str(session / f"after {attempt}"))
        if not (silent_runs(again["samples"]) and silent_runs(heard)):
            break
    assert abs(again["frames"] / RATE - elapsed) <= AGAIN + slack, (again["frames"], elapsed)
    assert frequency(again["samples"]) == pytest.approx(440, abs=5)
    assert silent_runs(again["samples"]) == []
    recorder.close(recorder.window)
    assert recorder.wait() == 0
