"""The installer (MOLAN_INSTALLER) installed silently, once, into a fresh
Wine prefix in a scratch folder; each test on a private desktop of its own
(tests/support/session_fixtures.py), with the installed program under Wine.
One case alone:

    MOLAN_INSTALLER=dist/molan-recorder-1.0-setup.exe python3 -m pytest tests/windows -k 'About'
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "scripts"), str(ROOT / "tests" / "support")]

from driver import PRODUCT, Recorder  # noqa: E402
from session_fixtures import (case_time_limit, launch, private_session, pytest_configure,  # noqa: E402,F401
                              pytest_runtest_makereport, recorder, session, time_limit)


class Prefix:
    """A Wine prefix, with a home folder beside it that outlives each session:
    the prefix links its Desktop, Documents, Music... to it, and the save
    dialog would open on folders that are gone."""

    def __init__(self, folder):
        self.path = folder / "prefix"
        self.home = folder / "home"
        self.home.mkdir()
        self.installed = self.path / "drive_c" / "Program Files" / PRODUCT

    def env(self, *disabled):
        """The environment of a Wine process, with the DLLs `disabled` left unloaded."""
        overrides = ",".join(("mscoree", "mshtml", *disabled)) + "="
        return dict(os.environ, WINEPREFIX=str(self.path), WINEDEBUG="-all", WINEDLLOVERRIDES=overrides,
                    HOME=str(self.home))

    def run(self, *command, timeout=120):
        result = subprocess.run(command, env=self.env(), capture_output=True, timeout=timeout)
        assert result.returncode == 0, f"{' '.join(command)}: status {result.returncode}"

    def import_registry(self, entries):
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
        path = self.home / "settings.reg"
        path.write_text("\r\n".join(lines), encoding="utf-16")
        self.run("wine", "regedit", "/S", "Z:" + str(path).replace("/", "\\"))

    def end(self):
        """Stops the prefix's wineserver, which would outlive the session, and
        waits for it to write the registry out."""
        subprocess.run(["wineserver", "-k"], env=self.env(), check=False, timeout=30)
        subprocess.run(["wineserver", "-w"], env=self.env(), check=False, timeout=30)


@pytest.fixture(scope="session")
def prefix():
    installer = os.path.abspath(os.environ.get("MOLAN_INSTALLER", ""))
    assert os.path.isfile(installer), f"no installer at MOLAN_INSTALLER={installer}"
    scratch = Path(tempfile.mkdtemp(prefix="molan-wine."))
    made = Prefix(scratch)
    try:
        with time_limit(300, "making the prefix"), pytest.MonkeyPatch.context() as env, private_session(env):
            made.run("wineboot", "-i", timeout=180)
            # Windows 10 rather than Wine's default 7, and Chinese glyphs for the
            # dialog fonts, which lack them, from the Song/Ming face.
            song = ["uming.ttc,AR PL UMing CN"]
            made.import_registry({
                r"HKEY_CURRENT_USER\Software\Wine": {"Version": "win10"},
                r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink": {
                    face: song for face in ("Tahoma", "Microsoft Sans Serif", "MS Shell Dlg", "MS Shell Dlg 2")},
            })
            made.run("wine", installer, "/S", timeout=300)
            made.end()
        yield made
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


class WineRecorder(Recorder):
    def __init__(self, prefix, *disabled):
        super().__init__("wine", str(prefix.installed / "molan-recorder.exe"), env=prefix.env(*disabled))

    def main_window(self, timeout=60):
        window = super().main_window(timeout)
        # Wine maps the window a moment before the program takes keys and clicks.
        time.sleep(1.0)
        return window


@pytest.fixture
def start_program(prefix):
    """Starts the installed program under Wine, with the DLLs given left
    unloaded; in the end (before the test's session, which `launch` started
    first), the prefix's wineserver is stopped."""
    yield lambda *disabled: WineRecorder(prefix, *disabled)
    prefix.end()
