"""The Windows installer on a fresh Wine prefix (conftest.py): a silent
install, the version resource of the installed exe, then the installed program
driven with keys and clicks on a private screen and sound server, as the
Linux end-to-end tests do."""

import os
import struct
import subprocess
import time

import pytest
from driver import (ABOUT_BUTTON, APP_TITLE, DIALOG_TITLE, MAIN_TITLE, PRODUCT, RATE, START_BUTTON, STOP_BUTTON,
                    Failure, frequency, pactl, read_wave, timed, unplug_the_microphone, wait_for, window_size,
                    windows, xdotool)

pytestmark = pytest.mark.session("--signal=tone:440")
# Qt clicks a button 100 ms after its access key, once the press has been shown.
ACCESS_KEY_DELAY = 0.1


def test_silent_install_into_a_fresh_prefix(prefix):
    for part in ("molan-recorder.exe", "uninstall.exe", "qt.conf", "Qt6Core.dll", "Qt6Gui.dll", "Qt6Widgets.dll",
                 "libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll", "platforms/qwindows.dll",
                 "styles/qwindowsvistastyle.dll", "imageformats/qjpeg.dll", "translations/qtbase_zh_CN.qm"):
        assert (prefix.installed / part).is_file(), f"{part} is not installed"
    programs = prefix.path / "drive_c" / "ProgramData" / "Microsoft" / "Windows" / "Start Menu" / "Programs"
    assert (programs / f"{PRODUCT}.lnk").is_file(), "no Start-menu shortcut"
    system_reg = (prefix.path / "system.reg").read_text(encoding="utf-8", errors="replace")
    assert "CurrentVersion\\\\Uninstall\\\\molan-recorder]" in system_reg, "no uninstall entry"


# ---- the version resource, read from the installed exe ----

def version_resource(path):
    """(language, fixed file version, strings, has an icon group) from a PE file's resources."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    assert struct.unpack_from("<H", data, optional)[0] == 0x20B, "not a 64-bit program"
    resource_rva = struct.unpack_from("<I", data, optional + 112 + 2 * 8)[0]
    table = optional + optional_size
    spans = [struct.unpack_from("<8xIIII", data, table + 40 * i) for i in range(sections)]

    def offset(rva):
        for size, address, raw_size, raw in spans:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise AssertionError(f"RVA {rva:#x} outside the sections")

    root = offset(resource_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<12xHH", data, root + directory)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, root + directory + 16 + 8 * i)
            yield name, target & 0x7FFFFFFF, bool(target & 0x80000000)

    types = {name: target for name, target, _ in entries(0)}
    assert 16 in types, "no version resource"
    _, names, _ = next(entries(types[16]))
    language, leaf, _ = next(entries(names))
    rva, size = struct.unpack_from("<II", data, root + leaf)
    block = data[offset(rva):offset(rva) + size]

    def parse(at):
        """One VS_VERSIONINFO block: (key, value bytes, children, end)."""
        length, value_length, kind = struct.unpack_from("<HHH", block, at)
        end = at + length
        key_end = at + 6
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[at + 6:key_end].decode("utf-16-le")
        here = (key_end + 2 + 3) & ~3
        value_bytes = value_length * 2 if kind == 1 else value_length
        value = block[here:here + value_bytes]
        here = (here + value_bytes + 3) & ~3
        children = []
        while here < end:
            child = parse(here)
            children.append(child)
            here = (child[3] + 3) & ~3
        return key, value, children, end

    key, fixed, children, _ = parse(0)
    assert key == "VS_VERSION_INFO", f"version block is {key!r}"
    file_ms, file_ls = struct.unpack_from("<8xII", fixed)
    strings = {}
    for child in children:
        if child[0] == "StringFileInfo":
            for table_block in child[2]:
                for name, value, _, _ in table_block[2]:
                    strings[(table_block[0], name)] = value.decode("utf-16-le").rstrip("\0")
    version = (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF)
    return language, version, strings, 14 in types


def test_version_resource_of_the_installed_exe(prefix):
    language, version, strings, icon = version_resource(prefix.installed / "molan-recorder.exe")
    assert language == 0x0804, f"resource language {language:#06x}, not Chinese (PRC)"
    assert version == (1, 0, 0, 0)
    wanted = {"ProductName": PRODUCT, "InternalName": "墨岚录音系统", "FileVersion": "1.00", "ProductVersion": "1.00"}
    assert {name: strings.get(("080404b0", name)) for name in wanted} == wanted
    assert icon, "no icon"


# ---- the installed program ----

def steady_frequency(samples, window=RATE // 4):
    """The tone's frequency as most quarter seconds of it read. Wine keeps the
    capture's clock when the machine is too busy to deliver sound in time, by
    filling a few milliseconds with silence; a gap skews a whole-take reading
    by several hertz, but only one quarter second's."""
    readings = sorted(f for f in (frequency(samples[i:i + window]) for i in range(0, len(samples) - window + 1, window)) if f)
    return readings[len(readings) // 2] if readings else 0


def gaps(samples):
    """Runs of silence longer than a period: what Wine fills in."""
    count, run = 0, 0
    for value in samples:
        run = run + 1 if abs(value - 128) <= 2 else 0
        count += run == 60
    return count


def take(recorder, folder, start_key, name, known):
    """Start (Alt+K or a click), 3 s, a click on Stop, then save(); the saved
    file, and the time between starting and the click on Stop."""
    window = recorder.window
    recorder.activate(window)
    if start_key:
        started = timed("key", "--clearmodifiers", "alt+k")[0] + ACCESS_KEY_DELAY
    else:
        xdotool("mousemove", "--window", window, str(START_BUTTON[0]), str(START_BUTTON[1]))
        started = timed("click", "1")[0]
    xdotool("mousemove", "--window", window, str(STOP_BUTTON[0]), str(STOP_BUTTON[1]))
    time.sleep(3.0 - (time.monotonic() - started))
    elapsed = timed("click", "1")[0] - started
    return save(recorder, folder, name, known), elapsed


def save(recorder, folder, name, known):
    """Alt+S, a Z: path typed into the save dialog, Return; the saved file as
    read_wave reads it. What Wine got wrong on the way goes into `known`."""
    window = recorder.window
    before = set(os.listdir(folder))
    target = os.path.join(folder, name)
    recorder.key(window, "alt+s")
    saved = target + ".wav"
    # A dialog still reading its folders (the first one in a fresh prefix) can
    # drop what is typed: type again while it stays open and nothing is saved.
    for tries in range(3):
        dialog = wait_for(lambda: windows(DIALOG_TITLE), 20, f"the save dialog for {name}")[0]
        time.sleep(0.5)
        recorder.activate(dialog)
        # The dialog offers the name chosen last: replace it.
        xdotool("key", "End", "shift+Home")
        xdotool("type", "--delay", "20", "Z:" + target.replace("/", "\\"))
        xdotool("key", "Return")
        try:
            wait_for(lambda: os.path.exists(saved) and os.path.getsize(saved) > 44, 10, saved)
            break
        except Failure:
            recorder.screenshot(os.path.join(os.environ["SESSION_DIR"], "save-dialog.png"))
            assert windows(DIALOG_TITLE), f"nothing saved as {saved}; the folder holds {sorted(os.listdir(folder))}"
    else:
        raise Failure(f"nothing saved as {saved}")
    if tries:
        known.append(f"the save dialog dropped the name typed for {name!r} {tries} time(s)")
    # The main window takes clicks again once Wine has given it back from the dialog.
    wait_for(lambda: not windows(DIALOG_TITLE), 10, "the save dialog to close")
    time.sleep(0.5)
    assert set(os.listdir(folder)) - before == {os.path.basename(saved)}
    wave_file = read_wave(saved)
    assert (wave_file["channels"], wave_file["width"], wave_file["rate"]) == (1, 1, RATE)
    return wave_file


def test_records_three_seconds_and_saves(session, recorder):
    assert windows(MAIN_TITLE) == [recorder.window], "more than one main window"
    # Typed with xdotool, which Wine follows reliably only on the keyboard's own
    # keys; Chinese names go through the same file functions in tst_saving.
    # Alt+K and a click on Stop; Wine passes the key on a little later than a click.
    out = session / "out"
    out.mkdir()
    known = []
    for start_key, name, tolerance_ms in ((True, "three seconds", 150), (False, "again 3 s", 50)):
        wave_file, elapsed = take(recorder, out, start_key, name, known)
        error_ms = (wave_file["frames"] - elapsed * RATE) / RATE * 1000
        assert abs(error_ms) <= tolerance_ms, f"recorded {wave_file['frames']} frames in {elapsed:.3f} s"
        holes = gaps(wave_file["samples"])
        hz = (steady_frequency if holes else frequency)(wave_file["samples"])
        assert hz == pytest.approx(440, abs=5), f"tone read {hz:.1f} Hz in {name!r}"
        if holes:
            known.append(f"{holes} gaps in {name!r} filled with silence; the tone read as most quarter seconds read it")

    recorder.close(recorder.window)
    assert recorder.wait(30) == 0, "closing failed"
    assert not windows(MAIN_TITLE), "a window outlived the program"
    if known:
        pytest.xfail("Wine: " + "; ".join(known))


def window_property(window, name):
    return subprocess.run(["xprop", "-id", window, name], capture_output=True, text=True).stdout


def test_about_window(session, recorder):
    main = recorder.window
    recorder.click(main, ABOUT_BUTTON)
    about = wait_for(lambda: [w for w in windows(MAIN_TITLE) if w != main], 20, "the About window")
    assert len(about) == 1, f"{len(about)} About windows"
    # A tool window: Wine draws its narrow title bar itself, and leaves it out of the taskbar.
    width, height = window_size(about[0])
    assert 233 <= width < 233 + 16 and 135 <= height < 135 + 40, f"About window of {width} x {height}"
    state = window_property(about[0], "_NET_WM_STATE")
    assert "_NET_WM_STATE_SKIP_TASKBAR" in state, f"the About window is in the taskbar: {state.strip()}"
    state = window_property(main, "_NET_WM_STATE")
    assert "_NET_WM_STATE_SKIP_TASKBAR" not in state, "the main window is not in the taskbar"
    recorder.screenshot(str(session / "about.png"))
    # OK (Enter) closes it; the main window stays.
    recorder.key(about[0], "Return")
    wait_for(lambda: windows(MAIN_TITLE) == [main], 20, "the About window to close")
    recorder.close(main)
    assert recorder.wait(30) == 0, "closing failed"


def test_no_audio_driver(session, launch):
    # Wine's audio drivers left unloaded in this process alone: no sound
    # devices for DirectSound to open, while the prefix keeps its own.
    recorder = launch("winepulse.drv", "winealsa.drv", "wineoss.drv")
    box = wait_for(lambda: windows(APP_TITLE), 60, "the message box")[0]
    assert not windows(MAIN_TITLE), "the main window was shown"
    recorder.screenshot(str(session / "startup-failure.png"))
    recorder.key(box, "Return")
    assert recorder.wait(30) != 0, "start-up failure ended with status 0"
    assert not windows(MAIN_TITLE), "the main window appeared after the message"


def test_a_killed_take_comes_back(session, prefix, launch):
    first = launch()
    first.window = first.main_window()
    first.click(first.window, START_BUTTON)
    time.sleep(3)
    # As Task Manager's End task does: no chance to tidy up.
    prefix.run("wine", "taskkill", "/F", "/IM", "molan-recorder.exe")
    first.process.wait(30)
    left = list((prefix.path / "drive_c" / "users").glob("*/AppData/Local/molan-recorder/take-*.wav"))
    assert len(left) == 1, left

    again = launch()
    box = wait_for(lambda: windows(APP_TITLE), 60, "the message about the take left over")[0]
    again.key(box, "Return")
    again.window = again.main_window()
    out = session / "out"
    out.mkdir()
    known = []
    wave_file = save(again, out, "recovered", known)
    # What was recorded up to the kill, less at most the last second.
    assert 2 * RATE <= wave_file["frames"] <= 4 * RATE, wave_file["frames"]
    assert steady_frequency(wave_file["samples"]) == pytest.approx(440, abs=5)
    assert not list(left[0].parent.glob("take-*.wav")), "the saved take's recovery file is still there"
    again.close(again.window)
    assert again.wait(30) == 0, "closing failed"
    if known:
        pytest.xfail("Wine: " + "; ".join(known))


# ---- the microphone unplugged or muted, as a desktop does it (pactl) ----

def said(recorder):
    """What the program told, which it also writes to its standard error in
    the ANSI code page: GBK, as on a Chinese Windows (see chinese_recorder)."""
    with open(recorder.log_path, encoding="gbk", errors="replace") as log:
        return log.read()


@pytest.fixture
def chinese_recorder(session, launch, monkeypatch):
    """The program as a Chinese Windows runs it, whose ANSI code page (936)
    has the characters of its messages. Wine takes it from the locale's name
    alone; the data under that name is C.UTF-8's, which is always there."""
    locales = session / "locales"
    locales.mkdir()
    (locales / "zh_CN.UTF-8").symlink_to("/usr/lib/locale/C.utf8")
    with monkeypatch.context() as env:
        env.setenv("LOCPATH", str(locales))
        env.setenv("LC_ALL", "zh_CN.UTF-8")
        started = launch()
    started.window = started.main_window()
    return started


def message_within(seconds):
    try:
        return wait_for(lambda: windows(APP_TITLE), seconds, "a message")[0]
    except Failure:
        return None


# (before Start, after 1.5 s of recording, what is told, seconds of tone kept)
FAULTS = {
    "unplugged": (None, unplug_the_microphone, "录音设备已被拔出或移除", 1.5),
    # DirectSound knows nothing of a mute: the take is told as one of silence at Stop.
    "muted before Start": (lambda: pactl("set-source-mute", "rec_mic", "1"), None, "全是静音", 0),
}


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.session("--signal=tone:440", "--decoy-source")
def test_a_device_fault(session, chinese_recorder, fault):
    recorder = chinese_recorder
    before, during, told, kept = FAULTS[fault]
    if before:
        before()
    recorder.click(recorder.window, START_BUTTON)
    time.sleep(1.5)
    if during:
        during()
    since, faulted = "the fault", time.monotonic()
    box = during and message_within(1.5)
    if not box:
        recorder.click(recorder.window, STOP_BUTTON)
        since, faulted = "the Stop", time.monotonic()
        box = message_within(3)
    if box:
        print(f"{fault}: told {time.monotonic() - faulted:.2f} s after {since}")
        recorder.key(box, "Return")
        wait_for(lambda: not windows(APP_TITLE), 5, "the message to go")
    log = said(recorder)

    out = session / "out"
    out.mkdir()
    known = []
    take = save(recorder, out, "take", known)
    samples = take["samples"]
    sound = next((i + 1 for i in range(len(samples) - 1, -1, -1) if abs(samples[i] - 128) > 1), 0)
    print(f"{fault}: the tone up to {sound / RATE:.2f} s of a {take['frames'] / RATE:.2f}-s take; "
          f"told: {log.splitlines()[0] if log else 'nothing'}")
    # The tone up to the fault, and only silence after it; when the fault came
    # is known to the click and pactl's time.
    assert abs(sound / RATE - kept) <= 0.35, f"sound up to {sound / RATE:.3f} s of the take"
    if kept:
        tone = samples[: sound - 1102]
        assert steady_frequency(tone) == pytest.approx(440, abs=5), "the take is not the tone up to the fault"
        if gaps(tone):
            known.append(f"{gaps(tone)} gaps in the tone filled with silence")
    recorder.close(recorder.window)
    assert recorder.wait(30) == 0, "closing failed"
    if box or fault != "unplugged":
        assert told in log, log
        assert log.count("全是静音") == (told == "全是静音"), "told more than once a take: " + log
        if fault == "unplugged":
            assert take["frames"] - sound < 0.05 * RATE, "the take went on after its device"
    else:
        # Wine's default capture endpoint is PulseAudio's default source, on a
        # stream the server may move, and does when the source goes: to the
        # fallback, the silent decoy. No DirectSound call fails, the position
        # never stalls (it jumps ahead by the silence Wine fills in at the
        # move), and mmdevapi keeps the endpoints it found at start-up, all
        # active, and calls no notification client (session events are a stub).
        assert take["frames"] - sound > RATE, "the take ended at the fault, untold"
        known.append("an unplugged default microphone goes on untold as the fallback source's silence")
    if known:
        pytest.xfail("Wine: " + "; ".join(known))
