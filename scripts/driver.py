"""Drives the real recorder the way a person would: under a private session
(its own X server and sound server), with keys and clicks from xdotool."""

import os
import subprocess
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
SESSION = os.environ.get("MOLAN_SESSION") or os.path.join(HERE, "session")

MAIN_TITLE = "墨岚录音软件V1.0"
APP_TITLE = "墨岚录音软件"
PRODUCT = "墨岚录音软件"  # as Windows knows it: the install folder, the shortcut, the version resource
DIALOG_TITLE = "保存音频文件"
RATE = 22050  # frames per second of a saved recording

# Button centres in the main window, in pixels at 96 dpi.
START_BUTTON = (16 + 44, 184 + 16)
STOP_BUTTON = (104 + 44, 184 + 16)
ABOUT_BUTTON = (280 + 36, 184 + 16)


class Failure(AssertionError):
    pass


class MessageInstead(Failure):
    """A message box came up where the program was asked for something else."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def xdotool(*args, check_status=True):
    result = subprocess.run(["xdotool", *args], capture_output=True, text=True)
    if check_status and result.returncode != 0:
        raise Failure(f"xdotool {' '.join(args)}: {result.stderr.strip()}")
    return result.stdout.strip()


def windows(title):
    """Visible windows whose title is exactly `title`."""
    out = xdotool("search", "--onlyvisible", "--name", f"^{title}$", check_status=False)
    return [w for w in out.split() if w]


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise Failure(f"timed out waiting for {what}")


def timed(*args):
    """Runs xdotool; the moment it acted, taken as the middle of the call, and
    how far that can be off: half the call."""
    before = time.monotonic()
    xdotool(*args)
    after = time.monotonic()
    return (before + after) / 2, (after - before) / 2


def window_size(window):
    out = xdotool("getwindowgeometry", "--shell", window)
    fields = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return int(fields["WIDTH"]), int(fields["HEIGHT"])


class Recorder:
    def __init__(self, *command, env=None):
        self.log_path = os.path.join(os.environ["SESSION_DIR"], "recorder.log")
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen(command, env=env, stdout=self.log, stderr=subprocess.STDOUT)

    def main_window(self, timeout=15):
        found = wait_for(lambda: [w for w in windows(MAIN_TITLE) if window_size(w) == (361, 220)],
                         timeout, "the main window")
        return found[0]

    def activate(self, window):
        xdotool("windowactivate", "--sync", window, check_status=False)
        xdotool("windowfocus", "--sync", window, check_status=False)

    def key(self, window, keys):
        self.activate(window)
        xdotool("key", "--clearmodifiers", keys)

    def click(self, window, where):
        self.activate(window)
        xdotool("mousemove", "--window", window, str(where[0]), str(where[1]))
        xdotool("click", "1")

    def record(self, seconds):
        """A click on Start, a wait, a click on Stop; returns the time between
        the clicks, and how far that can be off as xdotool takes its time. A
        button acts on its release, which alone is timed: xdotool's click
        takes 100 ms. (Alt+K would click Start only after Qt's 100 ms button
        animation.)"""
        self.activate(self.window)
        moments = []
        for button in (START_BUTTON, STOP_BUTTON):
            xdotool("mousemove", "--window", self.window, *map(str, button))
            if moments:
                time.sleep(max(0, seconds - (time.monotonic() - moments[0][0])))
            xdotool("mousedown", "1")
            moments.append(timed("mouseup", "1"))
        (started, early), (stopped, late) = moments
        return stopped - started, early + late

    def save_as(self, window, path, then=None):
        """Alt+S, then the file name typed into the save dialog and Enter;
        `then` is called right after that Enter."""
        # A dialog that does not come is said, and Alt+S pressed once more, as
        # a person would; if that does not help either, what is up tells
        # where the take went.
        for attempt in (1, 2):
            self.key(window, "alt+s")
            try:
                dialog = self.save_dialog()
                break
            except MessageInstead:
                raise
            except Failure:
                if attempt == 2:
                    raise Failure(f"no save dialog after Alt+S, twice; {self.state()}") from None
                print(f"no save dialog 3 s after Alt+S; {self.state()}", flush=True)
        self.activate(dialog)
        xdotool("key", "ctrl+a")
        type_text(path)
        # The dialog's completer lists what was typed in the background; a
        # list still up would take the Return for itself, as it would a
        # person's who types faster than the folder is read.
        time.sleep(0.3)
        xdotool("key", "Return")
        if then:
            then()
        # A list that came up all the same took that Return, as it would a
        # person's, who then presses Return again.
        def closed():
            return not windows(DIALOG_TITLE) or windows(APP_TITLE)
        try:
            wait_for(closed, 1.5, "the dialog to close")
        except Failure:
            self.activate(dialog)
            xdotool("key", "Return")
            # Gone before anything else is done: a click meant for the window
            # would land in the dialog while it is still on the screen.
            wait_for(closed, 10, "the dialog to close")
        return dialog

    def save_and_read(self, window, path):
        """save_as, then the saved file (path with ".wav") as read_wave reads it.
        The program puts the file in place only once it is complete."""
        self.save_as(window, path)
        saved = path + ".wav"
        wait_for(lambda: os.path.exists(saved) and os.path.getsize(saved) > 44, 10, saved)
        return read_wave(saved)

    def close(self, window):
        subprocess.run(["wmctrl", "-i", "-c", window], check=False)

    def wait(self, timeout=15):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("the recorder did not end")

    def save_dialog(self):
        """The save dialog once it is up; MessageInstead if a message came first."""
        wait_for(lambda: windows(DIALOG_TITLE) or windows(APP_TITLE), 3, "the save dialog")
        dialog = windows(DIALOG_TITLE)
        if not dialog:
            with open(self.log_path, encoding="utf-8", errors="replace") as log:
                raise MessageInstead(f"a message came up instead of the save dialog: {log.read()[-300:]}")
        return dialog[0]

    def state(self):
        """What a failure report needs: the program's windows, and its
        recovery files twice a second apart (one that grows is a take still
        recording; none, a take that never began or was saved)."""
        shown = xdotool("search", "--onlyvisible", "--pid", str(self.process.pid), check_status=False).split()
        titles = [xdotool("getwindowname", w, check_status=False) for w in shown]
        folder = os.path.join(os.environ.get("XDG_STATE_HOME", ""), "molan-recorder")

        def files():
            found = {}
            for name in os.listdir(folder) if os.path.isdir(folder) else ():
                try:
                    found[name] = os.path.getsize(os.path.join(folder, name))
                except OSError:
                    pass
            return found
        before = files()
        time.sleep(1)
        return f"windows {titles}, recovery files {before}, a second later {files()}"

    def running(self):
        return self.process.poll() is None

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], check=False)


def type_text(text):
    """Types like a person. Characters off the keyboard map need xdotool to
    remap a key for each, which drops some unless it goes slowly."""
    chunks = []
    for ch in text:
        slow = ord(ch) > 127
        if chunks and chunks[-1][0] == slow:
            chunks[-1][1].append(ch)
        else:
            chunks.append((slow, [ch]))
    for slow, chars in chunks:
        if slow:
            time.sleep(0.3)  # the first remapped key comes only after the last plain one has reached the program
        xdotool("type", "--delay", "120" if slow else "5", "".join(chars))


def read_wave(path):
    """Format and samples as Python's own wave module reads them."""
    with wave.open(path, "rb") as w:
        return {
            "channels": w.getnchannels(),
            "width": w.getsampwidth(),
            "rate": w.getframerate(),
            "frames": w.getnframes(),
            "samples": w.readframes(w.getnframes()),
        }


def frequency(samples):
    """Frequency of an 8-bit tone: whole periods between the first and last
    upward crossings of the midpoint."""
    crossings = [i for i in range(1, len(samples)) if samples[i - 1] < 128 <= samples[i]]
    if len(crossings) < 2:
        return 0
    return (len(crossings) - 1) * RATE / (crossings[-1] - crossings[0])


# ---- the sound server, as a desktop changes it ----

def pactl(*args):
    return subprocess.run(["pactl", *args], check=True, capture_output=True, text=True).stdout.strip()


def unplug_the_microphone():
    """As a USB microphone pulled out: its module goes, and with it the source."""
    for line in pactl("list", "short", "modules").splitlines():
        index, name, *args = line.split("\t") + [""]
        if name == "module-remap-source" and "rec_mic" in " ".join(args):
            pactl("unload-module", index)
            return
    raise AssertionError("no module for rec_mic")
