"""Each test runs on a private desktop of its own (scripts/session), with
its options from a `session` mark or an indirect parametrization; the
program under test is MOLAN_PROGRAM."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))

from driver import SESSION, Recorder  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line("markers", "session(*options): options of the test's session (scripts/session --help)")


@pytest.fixture
def session(request, monkeypatch):
    """The session's directory; until the test ends, this process has the
    session's environment, so that whatever it starts lands on that desktop."""
    marker = request.node.get_closest_marker("session")
    options = [*getattr(request, "param", "").split(), *(marker.args if marker else ())]
    # The session lasts while its command waits on our pipe, after telling its environment.
    holder = subprocess.Popen([SESSION, *options, "--", "sh", "-c", r"env -0; printf '\0'; exec cat >/dev/null"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    told = b""
    while not told.endswith(b"\0\0"):
        more = holder.stdout.read1()
        if not more:
            pytest.fail(f"the session did not start (status {holder.wait()})")
        told += more
    env = dict(entry.split("=", 1) for entry in os.fsdecode(told[:-2]).split("\0"))
    for name in set(os.environ) - set(env):
        monkeypatch.delenv(name)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    yield Path(env["SESSION_DIR"])
    holder.stdin.close()
    try:
        holder.wait(30)
    except subprocess.TimeoutExpired:
        holder.terminate()
        holder.wait()


@pytest.fixture
def launch(session, request):
    """Starts the program; kills it at the end if it is still running."""
    started = []

    def start():
        started.append(Recorder(os.environ["MOLAN_PROGRAM"]))
        request.node.program_log = started[-1].log_path
        return started[-1]

    yield start
    for recorder in started:
        recorder.process.kill()
        recorder.process.wait()


@pytest.fixture
def recorder(launch):
    """The program with its main window (`recorder.window`) up."""
    started = launch()
    started.window = started.main_window()
    return started


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    log = getattr(item, "program_log", None)
    if report.failed and log and os.path.exists(log):
        with open(log, errors="replace") as f:
            report.sections.append(("the program's output", f.read()))
