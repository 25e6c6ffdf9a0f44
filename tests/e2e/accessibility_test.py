"""The recorder without sight and without a mouse: what AT-SPI shows of it, what
Orca says, and the program on a headless Wayland compositor driven through
AT-SPI actions. Runs inside `scripts/session --a11y`."""

import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pyatspi
import pytest
from gi.repository import GLib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

from driver import DIALOG_TITLE, MAIN_TITLE, read_wave, type_text, windows, xdotool  # noqa: E402

PROGRAM = os.environ["MOLAN_PROGRAM"]
AUTO_STOP = "录音已自动停止"


def pump(until, timeout, what):
    """Lets AT-SPI events in until `until()` holds."""
    deadline = time.monotonic() + timeout
    context = GLib.MainContext.default()
    while True:
        while context.iteration(False):
            pass
        value = until()
        if value or time.monotonic() > deadline:
            assert value, f"timed out waiting for {what}"
            return value
        time.sleep(0.02)


def find(node, role, name=None):
    """The first control under `node` with that role (and name), leaving lists and tables out."""
    for child in filter(None, node):
        if child.getRole() == role and name in (None, child.name):
            return child
        if child.getRole() not in (pyatspi.ROLE_LIST, pyatspi.ROLE_TABLE, pyatspi.ROLE_TREE_TABLE):
            found = find(child, role, name)
            if found:
                return found
    return None


def key_of(node):
    """The access key of a control's first action; a disabled control has no actions."""
    try:
        action = node.queryAction()
    except NotImplementedError:
        return ""
    return action.getKeyBinding(0) if action.nActions else ""


def press(node):
    node.queryAction().doAction(0)


# Qt 6.8 and later announce with announcement events; before, a notification shows.
EVENTS = ("object:state-changed:showing", "object:state-changed:focused", "object:announcement")


class Recorder:
    """The program with its AT-SPI application, and what it announced and focused."""

    def __init__(self, log, **env):
        self.log = log
        self.events = []
        self.process = subprocess.Popen(
            [PROGRAM], stdout=open(log, "w"), stderr=subprocess.STDOUT, env={**os.environ, **env}
        )
        pyatspi.Registry.registerEventListener(self.heard, *EVENTS)
        self.app = pump(self.application, 15, "the recorder on the accessibility bus")

    def application(self):
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.get_process_id() == self.process.pid:
                app.clearCache()  # asked before its window was there
                return app if app.childCount else None
        return None

    def heard(self, event):
        if event.detail1 and event.source.get_process_id() == self.process.pid:
            said = event.any_data if event.type == "object:announcement" else event.source.name
            self.events.append((time.monotonic(), event.type, event.source.getRole(), said))

    def announces_by_event(self):
        return tuple(map(int, self.app.get_toolkit_version().split(".")[:2])) >= (6, 8)

    def windows(self):
        self.app.clearCache()
        return [w for w in self.app if w is not None]

    def announcements(self):
        return [(t, name) for t, kind, role, name in self.events
                if kind == "object:announcement" or role == pyatspi.ROLE_NOTIFICATION]

    def focus(self):
        return next((name for _, kind, _, name in reversed(self.events) if kind.endswith("focused")), None)

    def wait_focus(self, name):
        pump(lambda: self.focus() == name, 10, f"focus on {name}")

    def close(self):
        pyatspi.Registry.deregisterEventListener(self.heard, *EVENTS)
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


@pytest.fixture
def tmp_path(request):
    """Files of a test, in the session's directory, which goes with the session."""
    path = Path(os.environ["SESSION_DIR"], request.node.name)
    path.mkdir()
    return path


@pytest.fixture
def recorder(tmp_path):
    made = []
    # A state folder of its own: a take the test ends the program on is not
    # offered back to the next test.
    state = {"XDG_STATE_HOME": str(tmp_path / "state")}
    yield lambda **env: made.append(Recorder(str(tmp_path / "recorder.log"), **state, **env)) or made[0]
    for r in made:
        r.close()


def keys(*sequence):
    """Keys for the active window."""
    for k in sequence:
        xdotool("key", "--clearmodifiers", k)


MAIN_CONTROLS = [
    # role, name, access key
    (pyatspi.ROLE_PUSH_BUTTON, "开始录音(K)", "Alt+K"),
    (pyatspi.ROLE_PUSH_BUTTON, "停止录音(T)", ""),  # disabled, and no access key anyway
    (pyatspi.ROLE_PUSH_BUTTON, "保存到文件(S)", ""),  # disabled
    (pyatspi.ROLE_LABEL, None, ""),  # lblTIME, empty: named after its label
    (pyatspi.ROLE_LABEL, "已录音时间：", ""),
    (pyatspi.ROLE_PUSH_BUTTON, "关于(A)", "Alt+A"),
    (pyatspi.ROLE_IMAGE, "墨岚录音软件", ""),
    (pyatspi.ROLE_NOTIFICATION, "", ""),
]
ABOUT_CONTROLS = [
    (pyatspi.ROLE_LABEL, "墨岚录音软件v1.0", ""),
    (pyatspi.ROLE_LABEL, "墨岚录音软件v1.0\n官方网站：https://example.com", ""),
    (pyatspi.ROLE_PUSH_BUTTON, "确定(Q)", "Alt+Q"),
]


def controls(window, expected):
    return [(c.getRole(), c.name if name is not None else None, key_of(c)) for c, (_, name, _) in zip(window, expected)]


def test_what_a_screen_reader_finds(recorder, tmp_path):
    rec = recorder()
    rec.wait_focus("开始录音(K)")
    [main] = rec.windows()
    assert (main.getRole(), main.name) == (pyatspi.ROLE_FRAME, MAIN_TITLE)
    expected = MAIN_CONTROLS[:-1] if rec.announces_by_event() else MAIN_CONTROLS
    assert controls(main, expected) == expected and main.childCount == len(expected)
    caption, seconds = main[4], main[3]
    label_for = caption.getRelationSet()[0]
    assert (label_for.getRelationType(), label_for.getTarget(0)) == (pyatspi.RELATION_LABEL_FOR, seconds)

    # The About window is told apart by its role and description; no stray line feeds.
    keys("alt+a")
    about = pump(lambda: rec.windows()[1:], 10, "the About window")[0]
    assert (about.getRole(), about.name, about.description) == (pyatspi.ROLE_DIALOG, MAIN_TITLE, "关于墨岚录音软件")
    assert controls(about, ABOUT_CONTROLS) == ABOUT_CONTROLS
    rec.wait_focus("确定(Q)")
    keys("Return")
    pump(lambda: len(rec.windows()) == 1, 10, "the About window to close")

    # Return presses the focused button; focus goes where the work goes on.
    keys("Return")
    rec.wait_focus("停止录音(T)")
    pump(lambda: len(rec.announcements()) == 2, 5, "two seconds announced")
    keys("Return")
    rec.wait_focus("保存到文件(S)")
    assert key_of(main[2]) == "Alt+S"
    first = [name for _, name in rec.announcements()]
    assert first == ["0秒", "1秒"]

    # Alt+K with the focus on Save, then the automatic stop.
    keys("alt+k")
    rec.wait_focus("停止录音(T)")
    pump(lambda: rec.announcements()[-1][1] == AUTO_STOP, 25, "the automatic stop")
    second = rec.announcements()[len(first) :]
    assert [name for _, name in second] == [f"{n}秒" for n in range(19)] + [AUTO_STOP]
    gaps = [b[0] - a[0] for a, b in zip(second, second[1:])]
    assert all(0.5 < gap < 1.5 for gap in gaps), gaps
    rec.wait_focus("保存到文件(S)")

    # Save's dialog, and back on Start once it closes.
    keys("Return")
    dialog = pump(lambda: windows(DIALOG_TITLE), 10, "the save dialog")[0]
    xdotool("windowactivate", "--sync", dialog)
    xdotool("key", "ctrl+a")
    type_text(str(tmp_path / "auto"))
    xdotool("key", "Return")
    rec.wait_focus("开始录音(K)")
    pump((tmp_path / "auto.wav").exists, 10, "the saved file")
    assert abs(read_wave(str(tmp_path / "auto.wav"))["frames"] - 19 * 22050) < 2205


def test_orca_speaks_the_seconds(recorder, tmp_path):
    log = tmp_path / "orca.log"
    orca = subprocess.Popen(["orca", "--debug-file", log], stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)

    def spoken():
        return re.findall(r"SPEECH OUTPUT: '(.*?)'", log.read_text(errors="replace"), re.S) if log.exists() else []

    try:
        pump(spoken, 30, "Orca to start speaking")
        rec = recorder()
        rec.wait_focus("开始录音(K)")
        keys("alt+k")
        # Each second once, in order: Orca 43 says "notification 1秒.", Orca 48
        # (Qt's announcements) "1秒".
        def seconds():
            return [int(m.group(1)) for s in spoken() if (m := re.fullmatch(r"(?:notification )?(\d+)秒\.?", s))]

        pump(lambda: 2 in seconds(), 10, "Orca to say 2秒")
        assert seconds()[:3] == [0, 1, 2], spoken()

        # The microphone muted while recording: the message is read out, and
        # once it is dismissed the focus is back on Stop, the recording on.
        subprocess.run(["pactl", "set-source-mute", "rec_mic", "1"], check=True)
        pump(lambda: any("处于静音状态" in s for s in spoken()), 10, "Orca to read the message")
        heard = len(spoken())
        keys("Return")
        rec.wait_focus("停止录音(T)")
        pump(lambda: any("停止录音" in s for s in spoken()[heard:]), 10, "Orca to say where the focus is")
    finally:
        subprocess.run(["pactl", "set-source-mute", "rec_mic", "0"], check=False)
        orca.kill()
        orca.wait()


def test_wayland_records_and_saves(recorder, tmp_path):
    socket = "molan-wayland"
    weston = subprocess.Popen(
        ["weston", "--backend=headless-backend.so", "--use-pixman", f"--socket={socket}", "--idle-time=0"],
        stdout=open(tmp_path / "weston.log", "w"),
        stderr=subprocess.STDOUT,
    )
    try:
        pump(lambda: os.path.exists(os.path.join(os.environ["XDG_RUNTIME_DIR"], socket)), 10, "weston")
        rec = recorder(QT_QPA_PLATFORM="wayland", WAYLAND_DISPLAY=socket, QT_IM_MODULE="compose")
        main = rec.windows()[0]
        press(main[0])
        time.sleep(1.5)
        press(main[1])
        pump(lambda: key_of(main[2]), 10, "Save to be offered")
        press(main[2])
        dialog = pump(lambda: find(rec.app, pyatspi.ROLE_DIALOG, DIALOG_TITLE), 10, "the save dialog")
        find(dialog, pyatspi.ROLE_TEXT).queryEditableText().setTextContents(str(tmp_path / "wayland"))
        press(find(dialog, pyatspi.ROLE_PUSH_BUTTON, "保存(S)"))
        pump((tmp_path / "wayland.wav").exists, 10, "the saved file")
        frames = read_wave(str(tmp_path / "wayland.wav"))["frames"]
        assert abs(frames - 1.5 * 22050) < 0.2 * 22050, frames
        rec.process.terminate()
        rec.process.wait(10)
        assert open(rec.log).read() == ""  # no warnings from Qt's Wayland plugin
    finally:
        weston.kill()
        weston.wait()
