"""Recording through a real sound server and saving with the real dialog,
driven by keys and clicks; the files are read back with Python's wave module."""

import os
import time

import pytest
from driver import APP_TITLE, DIALOG_TITLE, RATE, Failure, MessageInstead, frequency, wait_for, windows

# The decoy comes first in the list of sources: recording must use the default one.
pytestmark = pytest.mark.session("--signal=tone:440", "--decoy-source")


def close(recorder):
    recorder.close(recorder.window)
    assert recorder.wait() == 0


def test_records_the_tone_between_the_clicks(session, recorder):
    elapsed, slack = recorder.record(2.0)
    take = recorder.save_and_read(recorder.window, str(session / "第一次 录音"))
    assert (take["channels"], take["width"], take["rate"]) == (1, 1, RATE)
    # 5 ms for the recorder, the rest for xdotool's own timing.
    assert abs(take["frames"] / RATE - elapsed) <= 0.005 + slack, (
        f"{take['frames']} frames in {elapsed:.4f} s, ± {slack * 1000:.1f} ms for xdotool"
    )
    assert frequency(take["samples"]) == pytest.approx(440, abs=5)
    close(recorder)


def test_a_cancelled_save_writes_nothing_and_save_stays(session, recorder):
    recorder.record(0.5)
    recorder.key(recorder.window, "alt+s")
    dialog = wait_for(lambda: windows(DIALOG_TITLE), 10, "the save dialog")[0]
    recorder.key(dialog, "Escape")
    wait_for(lambda: not windows(DIALOG_TITLE), 10, "the dialog to close")
    assert not [f for f in session.rglob("*.wav") if "molan-recorder" not in f.parts], "a cancelled save wrote"

    frames = recorder.save_and_read(recorder.window, str(session / "kept"))["frames"]
    assert frames == pytest.approx(0.5 * RATE, abs=0.1 * RATE)
    close(recorder)


def test_recording_stops_by_itself_at_19_seconds(session, recorder):
    recorder.key(recorder.window, "alt+k")
    time.sleep(20.5)
    # Saving is only possible once it has stopped.
    frames = recorder.save_and_read(recorder.window, str(session / "auto"))["frames"]
    assert frames == pytest.approx(19 * RATE, abs=441)
    close(recorder)


def usage(pid):
    """The program's resident memory in bytes and its open file descriptors,
    once the take just saved has let go of its recovery file."""
    time.sleep(0.5)
    with open(f"/proc/{pid}/statm") as f:
        resident = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return resident, len(os.listdir(f"/proc/{pid}/fd"))


def test_many_takes_cost_nothing(session, recorder):
    """Start, Stop and Save over and over: memory and file descriptors stay flat."""
    pid, name = recorder.process.pid, str(session / "take")
    lost = []
    for n in range(35):
        if n == 5:  # the first takes fill caches and pools that are meant to stay
            before = usage(pid)
        # A short take, as someone trying the program out makes.
        recorder.record(0.3)
        try:
            recorder.save_as(recorder.window, name)
        except MessageInstead as why:
            # A busy machine's sound server may link a new take late, and
            # that is told; answered, and the next take goes on.
            print(f"take {n}: {why}")
            for box in windows(APP_TITLE):
                recorder.key(box, "Return")
            continue
        except Failure as why:
            # Now and then a busy machine loses a click, and there is nothing
            # to save; what this test is about goes on with the next take.
            # Twice in one run is not chance.
            print(f"take {n}: {why}")
            lost.append(why)
            assert len(lost) < 2, lost
            continue
        wait_for(lambda: os.path.exists(name + ".wav"), 10, "the take saved")
        os.remove(name + ".wav")
    (memory, descriptors), (memory_before, descriptors_before) = usage(pid), before
    print(f"30 takes: resident memory {(memory - memory_before) // 1024:+} KiB, "
          f"descriptors {descriptors_before} -> {descriptors}")
    assert descriptors == descriptors_before
    with open(f"/proc/{pid}/maps") as f:
        sanitized = "libasan" in f.read()  # freed memory sits in quarantine there
    assert sanitized or memory - memory_before < 1024 * 1024
    close(recorder)
