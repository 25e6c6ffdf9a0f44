"""The sound server dies in the middle of a recording: the recording stops
by itself and says so, what was captured is saved, and the next Start
records again once a server is back."""

import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

from driver import (APP_TITLE, START_BUTTON, STOP_BUTTON, Recorder, check, frequency, run_cases,
                    wait_for, windows)

RATE = 22050


def session_process(name):
    """The pid and command line of this session's process called `name`."""
    mark = f"SESSION_DIR={os.environ['SESSION_DIR']}".encode()
    found = subprocess.run(["pgrep", "-x", name], capture_output=True, text=True).stdout.split()
    for pid in found:
        with open(f"/proc/{pid}/environ", "rb") as f:
            if mark in f.read().split(b"\0"):
                with open(f"/proc/{pid}/cmdline", "rb") as c:
                    return int(pid), [a.decode() for a in c.read().split(b"\0")[:-1]]
    raise AssertionError(f"no {name} in this session")


# Ahead of other work, as the session starts its own, so that a busy machine
# does not put gaps into the sound.
AHEAD = ["nice", "-n", "-10"] if os.geteuid() == 0 else []


def play_tone():
    """The tone again, as the session played it, once the server has it."""
    player = subprocess.Popen(
        f"{' '.join(AHEAD)} sox -q -n -t raw -r 44100 -c 2 -b 16 -e signed-integer - synth sine 440 vol 0.5 | "
        f"{' '.join(AHEAD)} pacat --playback --device=rec_sink --raw --format=s16le --rate=44100 --channels=2 "
        "--latency-msec=100",
        shell=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: subprocess.run(["pactl", "list", "short", "sink-inputs"], capture_output=True).stdout, 10,
             "the tone to play")
    if os.environ.get("MOLAN_SOUND_SERVER") != "pipewire":
        # As the session does: a fresh null sink's first block is under way
        # before the tone, so its monitor would start with a jump.
        for state in ("1", "0"):
            subprocess.run(["pactl", "suspend-sink", "rec_sink", state], check=True)
    return player


def restart_server(command):
    """The same server again, with the session's devices."""
    server = subprocess.Popen(AHEAD + command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: subprocess.run(["pactl", "info"], capture_output=True).returncode == 0, 10, "the new server")
    devices = os.path.join(os.environ["SESSION_DIR"], "pulse", "devices")
    if os.path.exists(devices):  # pipewire-pulse's devices went with it
        for line in open(devices):
            subprocess.run(["pactl", *line.split()], check=True, capture_output=True)
    return server


def saved(recorder, window, name):
    return recorder.save_and_read(window, os.path.join(os.environ["SESSION_DIR"], name))


def server_dies_while_recording(program):
    name = "pipewire-pulse" if os.environ.get("MOLAN_SOUND_SERVER") == "pipewire" else "pulseaudio"
    pid, command = session_process(name)
    recorder = Recorder(program)
    window = recorder.main_window()
    recorder.click(window, START_BUTTON)
    time.sleep(1.5)
    os.kill(pid, signal.SIGKILL)
    box = wait_for(lambda: windows(APP_TITLE), 5, "the message that recording was interrupted")[0]
    said = open(recorder.log_path, encoding="utf-8").read()
    check("录音被中断" in said and "可以保存" in said, f"the program said {said!r}")
    recorder.key(box, "Return")
    check(recorder.running(), "the program ended when its sound server died")

    # Saving works only once the window is back in its stopped state.
    take = saved(recorder, window, "before")
    print(f"  kept {take['frames'] / RATE:.2f} s recorded before the server died")
    # All but what the server held back when it died (a fragment on PipeWire).
    check(1.2 * RATE <= take["frames"] <= 1.8 * RATE, f"{take['frames']} frames kept")
    check(abs(frequency(take["samples"]) - 440) <= 5, "the kept sound is not the tone")

    server = restart_server(command)
    try:
        player = play_tone()
        time.sleep(0.5)
        recorder.click(window, START_BUTTON)
        time.sleep(1.0)
        recorder.click(window, STOP_BUTTON)
        again = saved(recorder, window, "after")
        print(f"  recorded {again['frames'] / RATE:.2f} s on the new server")
        check(0.8 * RATE <= again["frames"] <= 1.6 * RATE, f"{again['frames']} frames after the restart")
        hz = frequency(again["samples"])
        check(abs(hz - 440) <= 5, f"the new recording is not the tone: {hz:.1f} Hz")
        recorder.close(window)
        check(recorder.wait() == 0, "closing failed")
        player.kill()
    finally:
        server.kill()
        server.wait()


CASES = {"sound server dies while recording": (["--signal=tone:440"], server_dies_while_recording)}

if __name__ == "__main__":
    run_cases(CASES, sys.argv[1])
