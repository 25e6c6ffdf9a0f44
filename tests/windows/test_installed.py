"""The Windows installer on a fresh Wine prefix: a silent install, the version
resource of the installed exe, then the installed program driven with keys and
clicks on a private screen and sound server, as the Linux end-to-end tests do.

    test_installed.py SETUP_EXE
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

from driver import (ABOUT_BUTTON, APP_TITLE, DIALOG_TITLE, MAIN_TITLE, START_BUTTON, STOP_BUTTON, Failure, Recorder,
                    check, frequency, read_wave, run_cases, wait_for, window_size, windows, xdotool)

PRODUCT = "墨岚录音软件"
RATE = 22050
# Qt clicks a button 100 ms after its access key, once the press has been shown.
ACCESS_KEY_DELAY = 0.1


def prefix():
    return os.environ["MOLAN_WINEPREFIX"]


def install_dir():
    return os.path.join(prefix(), "drive_c", "Program Files", PRODUCT)


def wine_env(**extra):
    # The prefix links its Desktop, Documents, Music... to the home folder of
    # whoever made it: one that outlives each session, or the save dialog
    # would open on folders that are gone.
    home = os.path.join(os.path.dirname(prefix()), "home")
    os.makedirs(home, exist_ok=True)
    env = dict(os.environ, WINEPREFIX=prefix(), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", HOME=home)
    env.update(extra)
    return env


def wine(*args, timeout=120):
    result = subprocess.run(["wine", *args], env=wine_env(), capture_output=True, timeout=timeout)
    check(result.returncode == 0, f"wine {' '.join(args)}: status {result.returncode}")


def end_wine():
    """Stops this prefix's wineserver, which would outlive the session, and
    waits for it to write the registry out."""
    subprocess.run(["wineserver", "-k"], env=wine_env(), check=False)
    subprocess.run(["wineserver", "-w"], env=wine_env(), check=False)


def import_registry(entries):
    """Imports {key: {name: value}}: str values as REG_SZ, lists as REG_MULTI_SZ."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, values in entries.items():
        lines.append(f"[{key}]")
        for name, value in values.items():
            if isinstance(value, list):
                data = ("\0".join(value) + "\0\0").encode("utf-16-le")
                lines.append(f'"{name}"=hex(7):' + ",".join(f"{b:02x}" for b in data))
            else:
                lines.append(f'"{name}"="{value}"')
        lines.append("")
    path = os.path.join(os.environ["SESSION_DIR"], "settings.reg")
    with open(path, "w", encoding="utf-16") as f:
        f.write("\r\n".join(lines))
    wine("regedit", "/S", "Z:" + path.replace("/", "\\"))


def silent_install(installer):
    started = time.monotonic()
    subprocess.run(["wineboot", "-i"], env=wine_env(), capture_output=True, timeout=180, check=True)
    # Windows 10 rather than Wine's default 7, and Chinese glyphs for the
    # dialog fonts, which lack them, from the Song/Ming face.
    song = ["uming.ttc,AR PL UMing CN"]
    import_registry({
        r"HKEY_CURRENT_USER\Software\Wine": {"Version": "win10"},
        r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink": {
            face: song for face in ("Tahoma", "Microsoft Sans Serif", "MS Shell Dlg", "MS Shell Dlg 2")},
    })
    wine(installer, "/S", timeout=300)
    end_wine()
    print(f"  prefix made and installed in {time.monotonic() - started:.1f} s")

    for part in ("molan-recorder.exe", "uninstall.exe", "qt.conf", "Qt6Core.dll", "Qt6Gui.dll", "Qt6Widgets.dll",
                 "libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll", "platforms/qwindows.dll",
                 "styles/qwindowsvistastyle.dll", "imageformats/qjpeg.dll", "translations/qtbase_zh_CN.qm"):
        check(os.path.isfile(os.path.join(install_dir(), part)), f"{part} is not installed")
    shortcut = os.path.join(prefix(), "drive_c", "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                            f"{PRODUCT}.lnk")
    check(os.path.isfile(shortcut), "no Start-menu shortcut")
    system_reg = open(os.path.join(prefix(), "system.reg"), encoding="utf-8", errors="replace").read()
    check("CurrentVersion\\\\Uninstall\\\\molan-recorder]" in system_reg, "no uninstall entry")


# ---- the version resource, read from the installed exe ----

def version_resource(path):
    """(language, fixed file version, strings, has an icon group) from a PE file's resources."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    check(data[pe:pe + 4] == b"PE\0\0", "not a PE file")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    check(struct.unpack_from("<H", data, optional)[0] == 0x20B, "not a 64-bit program")
    resource_rva = struct.unpack_from("<I", data, optional + 112 + 2 * 8)[0]
    table = optional + optional_size
    spans = [struct.unpack_from("<8xIIII", data, table + 40 * i) for i in range(sections)]

    def offset(rva):
        for size, address, raw_size, raw in spans:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise Failure(f"RVA {rva:#x} outside the sections")

    root = offset(resource_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<12xHH", data, root + directory)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, root + directory + 16 + 8 * i)
            yield name, target & 0x7FFFFFFF, bool(target & 0x80000000)

    types = {name: target for name, target, _ in entries(0)}
    check(16 in types, "no version resource")
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
    check(key == "VS_VERSION_INFO", f"version block is {key!r}")
    file_ms, file_ls = struct.unpack_from("<8xII", fixed)
    strings = {}
    for child in children:
        if child[0] == "StringFileInfo":
            for table_block in child[2]:
                for name, value, _, _ in table_block[2]:
                    strings[(table_block[0], name)] = value.decode("utf-16-le").rstrip("\0")
    version = (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF)
    return language, version, strings, 14 in types


def version_resource_of_installed_exe(_program):
    language, version, strings, icon = version_resource(os.path.join(install_dir(), "molan-recorder.exe"))
    check(language == 0x0804, f"resource language {language:#06x}, not Chinese (PRC)")
    check(version == (1, 0, 0, 0), f"file version {version}")
    wanted = {"ProductName": PRODUCT, "InternalName": "墨岚录音系统", "FileVersion": "1.00",
              "ProductVersion": "1.00"}
    for name, value in wanted.items():
        found = strings.get(("080404b0", name))
        check(found == value, f"{name} is {found!r}, not {value!r}")
    check(icon, "no icon")
    print(f"  {', '.join(f'{name}={strings[(block, name)]}' for block, name in sorted(strings))}")


# ---- the installed program ----

class WineRecorder(Recorder):
    def __init__(self, **env):
        self.log_path = os.path.join(os.environ["SESSION_DIR"], "recorder.log")
        self.log = open(self.log_path, "w")
        exe = os.path.join(install_dir(), "molan-recorder.exe")
        self.process = subprocess.Popen(["wine", exe], env=wine_env(**env), stdout=self.log,
                                        stderr=subprocess.STDOUT)

    def main_window(self, timeout=60):
        window = super().main_window(timeout)
        # Wine maps the window a moment before the program takes keys and clicks.
        time.sleep(1.0)
        return window


def in_wine(case):
    def run(program):
        try:
            case(program)
        finally:
            end_wine()
    return run


def timed(*args):
    """Runs xdotool; the moment it acted is taken as the middle of the call."""
    before = time.monotonic()
    xdotool(*args)
    return (before + time.monotonic()) / 2


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


def take(recorder, window, start_key, name):
    """Start (Alt+K or a click), 3 s, a click on Stop, Alt+S, a Z: path typed
    into the save dialog, Return; the saved file as read_wave reads it, and
    the time between starting and the click on Stop."""
    recorder.activate(window)
    if start_key:
        started = timed("key", "--clearmodifiers", "alt+k") + ACCESS_KEY_DELAY
    else:
        xdotool("mousemove", "--window", window, str(START_BUTTON[0]), str(START_BUTTON[1]))
        started = timed("click", "1")
    xdotool("mousemove", "--window", window, str(STOP_BUTTON[0]), str(STOP_BUTTON[1]))
    time.sleep(3.0 - (time.monotonic() - started))
    elapsed = timed("click", "1") - started

    out = os.path.join(os.environ["SESSION_DIR"], "out")
    os.makedirs(out, exist_ok=True)
    before = set(os.listdir(out))
    target = os.path.join(out, name)
    recorder.key(window, "alt+s")
    saved = target + ".wav"
    # A dialog still reading its folders (the first one in a fresh prefix) can
    # drop what is typed: type again while it stays open and nothing is saved.
    for _ in range(3):
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
            if not windows(DIALOG_TITLE):
                raise Failure(f"nothing saved as {saved}; the folder holds {sorted(os.listdir(out))}")
    else:
        raise Failure(f"nothing saved as {saved}")
    # The main window takes clicks again once Wine has given it back from the dialog.
    wait_for(lambda: not windows(DIALOG_TITLE), 10, "the save dialog to close")
    time.sleep(0.5)
    check(set(os.listdir(out)) - before == {os.path.basename(saved)}, f"saved {sorted(set(os.listdir(out)) - before)}")
    wave_file = read_wave(saved)
    check((wave_file["channels"], wave_file["width"], wave_file["rate"]) == (1, 1, RATE), f"format {wave_file}")
    return wave_file, elapsed


# Typed with xdotool, which Wine follows reliably only on the keyboard's own
# keys; Chinese names go through the same file functions in tst_saving.
NAMES = ("three seconds", "again 3 s")


def records_and_saves(_program):
    recorder = WineRecorder()
    window = recorder.main_window()
    check(windows(MAIN_TITLE) == [window], "more than one main window")

    # Alt+K and a click on Stop; Wine passes the key on a little later than a click.
    for start_key, name, tolerance_ms in zip((True, False), NAMES, (150, 50)):
        wave_file, elapsed = take(recorder, window, start_key, name)
        error_ms = (wave_file["frames"] - elapsed * RATE) / RATE * 1000
        hz = steady_frequency(wave_file["samples"])
        how = "Alt+K" if start_key else "a click on Start"
        print(f"  from {how}: {wave_file['frames']} frames over {elapsed * 1000:.1f} ms: {error_ms:+.1f} ms; "
              f"{hz:.2f} Hz ({frequency(wave_file['samples']):.2f} over the whole take, {gaps(wave_file['samples'])} gaps)")
        check(abs(error_ms) <= tolerance_ms, f"recorded {wave_file['frames']} frames in {elapsed:.3f} s")
        check(abs(hz - 440) <= 5, f"tone read {hz:.1f} Hz")

    recorder.close(window)
    check(recorder.wait(30) == 0, "closing failed")
    check(not windows(MAIN_TITLE), "a window outlived the program")


def window_property(window, name):
    result = subprocess.run(["xprop", "-id", window, name], capture_output=True, text=True)
    return result.stdout


def about_window(_program):
    recorder = WineRecorder()
    main = recorder.main_window()
    recorder.click(main, ABOUT_BUTTON)
    about = wait_for(lambda: [w for w in windows(MAIN_TITLE) if w != main], 20, "the About window")
    check(len(about) == 1, f"{len(about)} About windows")
    # A tool window: Wine draws its narrow title bar itself, and leaves it out of the taskbar.
    width, height = window_size(about[0])
    check(233 <= width < 233 + 16 and 135 <= height < 135 + 40, f"About window of {width} x {height}")
    state = window_property(about[0], "_NET_WM_STATE")
    check("_NET_WM_STATE_SKIP_TASKBAR" in state, f"the About window is in the taskbar: {state.strip()}")
    check("_NET_WM_STATE_SKIP_TASKBAR" not in window_property(main, "_NET_WM_STATE"),
          "the main window is not in the taskbar")
    recorder.screenshot(os.path.join(os.environ["SESSION_DIR"], "about.png"))
    # OK (Enter) closes it; the main window stays.
    recorder.key(about[0], "Return")
    wait_for(lambda: windows(MAIN_TITLE) == [main], 20, "the About window to close")
    recorder.close(main)
    check(recorder.wait(30) == 0, "closing failed")


def no_audio_driver(_program):
    # Wine with no audio driver has no sound devices for DirectSound to open.
    import_registry({r"HKEY_CURRENT_USER\Software\Wine\Drivers": {"Audio": ""}})
    recorder = WineRecorder()
    box = wait_for(lambda: windows(APP_TITLE), 60, "the message box")[0]
    check(not windows(MAIN_TITLE), "the main window was shown")
    recorder.screenshot(os.path.join(os.environ["SESSION_DIR"], "startup-failure.png"))
    recorder.key(box, "Return")
    status = recorder.wait(30)
    check(status != 0, "start-up failure ended with status 0")
    check(not windows(MAIN_TITLE), "the main window appeared after the message")


TONE = ["--signal=tone:440"]
CASES = {
    "silent install into a fresh prefix": ([], None),
    "version resource of the installed exe": (["--sound=none", "--no-display"], version_resource_of_installed_exe),
    "record three seconds and save": (TONE, in_wine(records_and_saves)),
    "About window": (TONE, in_wine(about_window)),
    # Last: it takes the prefix's sound away.
    "no audio driver": (TONE, in_wine(no_audio_driver)),
}

if __name__ == "__main__":
    installer = os.path.abspath(sys.argv[1])
    CASES["silent install into a fresh prefix"] = ([], in_wine(lambda _: silent_install(installer)))
    if "--inside" in sys.argv:
        run_cases(CASES, installer)
    else:
        check(os.path.isfile(installer), f"no installer at {installer}")
        scratch = tempfile.mkdtemp(prefix="molan-wine.")
        os.environ["MOLAN_WINEPREFIX"] = os.path.join(scratch, "prefix")
        try:
            run_cases(CASES, installer)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
