"""Each test runs on a private desktop of its own (tests/support/session_fixtures.py);
the program under test is MOLAN_PROGRAM."""

import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "scripts"), str(ROOT / "tests" / "support")]

from driver import Recorder  # noqa: E402
from session_fixtures import launch, pytest_configure, pytest_runtest_makereport, recorder, session  # noqa: E402,F401


@pytest.fixture
def start_program():
    return lambda: Recorder(os.environ["MOLAN_PROGRAM"])
