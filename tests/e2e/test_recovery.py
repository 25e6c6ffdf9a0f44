"""The recorder is killed (kill -9) three seconds into a take: the next start
offers the take back, and it saves as the tone that was recorded up to the
kill. A second recorder running meanwhile never takes the first one's take."""

import os
import signal
import time

import pytest
from driver import APP_TITLE, MAIN_TITLE, RATE, START_BUTTON, wait_for, window_size, windows
from test_faults import FRAGMENT, assert_the_tone, listening


def new_window(*known):
    """A main window that is none of those."""
    return wait_for(lambda: [w for w in windows(MAIN_TITLE) if w not in known and window_size(w) == (361, 220)],
                    15, "the main window")[0]


def told(recorder):
    with open(recorder.log_path, encoding="utf-8", errors="replace") as log:
        return log.read()


@pytest.mark.session("--signal=tone:440", "--witness")
@pytest.mark.parametrize("second", [False, True], ids=["alone", "beside a second recorder"])
def test_a_killed_take_comes_back(session, launch, second):
    first = launch()
    first.window = first.main_window()
    witness = listening(session)
    first.click(first.window, START_BUTTON)
    started = time.monotonic()
    time.sleep(3)
    if second:
        # Started while the first records: that take is not for it.
        other = launch()
        other.window = new_window(first.window)
        time.sleep(1.5)
        assert not windows(APP_TITLE), "the second recorder offered the first one's take"
    os.kill(first.process.pid, signal.SIGKILL)
    first.process.wait()
    killed = time.monotonic()
    heard = witness()
    left = list((session / "home/.local/state/molan-recorder").glob("take-*.wav"))
    assert len(left) == 1 and (left[0].stat().st_mode & 0o777) == 0o600, left

    again = launch()
    box = wait_for(lambda: windows(APP_TITLE), 15, "the message about the take left over")[0]
    assert "找到上次运行时没有保存的录音" in told(again)
    again.key(box, "Return")
    again.window = new_window(*([other.window] if second else []))
    take = again.save_and_read(again.window, str(session / "recovered"))
    # What was recorded up to the kill, less at most the last second (fed
    # once a second) and the fragment the server had not handed over.
    lost = 1 + FRAGMENT + 0.1
    assert (killed - started - lost) * RATE <= take["frames"] <= (killed - started + 0.1) * RATE, take["frames"]
    assert_the_tone(take["samples"], heard)
    assert not list(left[0].parent.glob("take-*.wav")), "the saved take's recovery file is still there"
    again.close(again.window)
    assert again.wait() == 0
    if second:
        assert other.running() and not windows(APP_TITLE)
