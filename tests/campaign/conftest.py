"""The fault campaign runs on a private desktop of its own, like the
end-to-end tests, in a mount namespace of its own where it can (root), so
that it can put a full or read-only file system over the recovery folder."""

import ctypes
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "scripts"), str(ROOT / "tests" / "support"), str(ROOT / "tests" / "e2e")]

from driver import Recorder  # noqa: E402
from session_fixtures import launch, pytest_runtest_makereport, session  # noqa: E402,F401
from session_fixtures import pytest_configure as session_markers  # noqa: E402

CLONE_NEWNS = 0x20000


def pytest_configure(config):
    session_markers(config)
    config.addinivalue_line("markers", "campaign: the seeded fault campaign (make campaign)")


@pytest.fixture(scope="session")
def own_mounts():
    """Whether mounts made from here on are seen by this process and its children only."""
    if os.geteuid() != 0:
        return False
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        return False
    return subprocess.run(["mount", "--make-rprivate", "/"], capture_output=True).returncode == 0


@pytest.fixture
def start_program():
    return lambda: Recorder(os.environ["MOLAN_PROGRAM"])
