"""What the end-to-end suites (tests/e2e, tests/windows) share, taken into
each one's conftest: a private desktop for each test (scripts/session), with
its options from a `session` mark or an indirect parametrization; `launch`
and `recorder`, which start the program through the conftest's own
`start_program` fixture; the program's output beside a failure; and a time
limit for each test (`case_time_limit`, which tests/windows takes)."""

import os
import signal
import subprocess
from contextlib import contextmanager
from pathlib import Path

import pytest
from driver import SESSION


def pytest_configure(config):
    config.addinivalue_line("markers", "session(*options): options of the test's session (scripts/session --help)")


@contextmanager
def private_session(monkeypatch, *options):
    """A session of its own for the with-block, which gets its directory;
    until monkeypatch undoes it, this process has the session's environment,
    so that whatever it starts lands on that desktop."""
    # The session lasts while its command waits on our pipe, after telling its environment.
    holder = subprocess.Popen([SESSION, *options, "--", "sh", "-c", r"env -0; printf '\0'; exec cat >/dev/null"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
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
    finally:
        holder.stdin.close()
        try:
            holder.wait(30)
        except subprocess.TimeoutExpired:
            holder.terminate()
            holder.wait()


@contextmanager
def time_limit(seconds, what):
    """Fails the with-block once it has taken `seconds`: SIGALRM interrupts
    whatever waits, a process, a window or a sleep."""
    def expire(*_):
        pytest.fail(f"{what} took more than {seconds} s")

    before = signal.signal(signal.SIGALRM, expire)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, before)


@pytest.fixture(autouse=True)
def case_time_limit(request):
    """90 s for each test, its own session and program included; fixtures
    shared by several tests are set up before it starts, and keep to limits
    of their own."""
    with time_limit(90, request.node.name):
        yield


@pytest.fixture
def session(request, monkeypatch):
    """The session's directory (see private_session)."""
    marker = request.node.get_closest_marker("session")
    options = [*getattr(request, "param", "").split(), *(marker.args if marker else ())]
    with private_session(monkeypatch, *options) as folder:
        yield folder


@pytest.fixture
def launch(session, start_program, request):
    """Starts the program: start_program(*args, **kwargs); kills it at the
    end if it is still running."""
    started = []

    def start(*args, **kwargs):
        started.append(start_program(*args, **kwargs))
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
