import os
import select
import signal
import subprocess
import sys
import textwrap

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import morvex  # noqa: E402
import tracefiles  # noqa: E402


# Every variable a run exports to the processes it starts.
CHILD_VARIABLES = ("MORVEX_CHILD_OUTPUT", "MORVEX_CHILD_FORMAT", "MORVEX_CHILD_CLOCK_ZERO",
                   "MORVEX_CHILD_OPTIONS", "MORVEX_CHILD_TALLY")

# The command line of this interpreter's morvex.
MORVEX = [sys.executable, "-m", "morvex"]

# A bound on any one process a test starts: a hang fails the test, not CI.
TIMEOUT = 120


# Set by `make test` for its run against an extension built with
# AddressSanitizer: that allocator is not fork-safe while other threads
# allocate (a forked child can inherit its lock held and hang), so the tests
# that fork are left to the plain runs.
SANITIZED = os.environ.get("MORVEX_SANITIZED") == "1"


def pytest_configure(config):
    config.addinivalue_line("markers", "forks: the test forks the traced process")


def pytest_collection_modifyitems(config, items):
    # A trace's writer threads are running when these tests fork, which is
    # what they check; the interpreter's warning about forking a threaded
    # process says nothing about morvex there.
    quiet = pytest.mark.filterwarnings(
        "ignore:This process .* is multi-threaded, use of fork:DeprecationWarning")
    skip = pytest.mark.skip(reason="forks; AddressSanitizer's allocator is not fork-safe")
    for item in items:
        if item.get_closest_marker("forks"):
            item.add_marker(quiet)
            if SANITIZED:
                item.add_marker(skip)


@pytest.fixture(autouse=True)
def no_tracer_left_behind():
    """Every test leaves the profiler slot free and the child variables unset."""
    yield
    assert sys.monitoring.get_tool(sys.monitoring.PROFILER_ID) is None
    for var in CHILD_VARIABLES:
        assert var not in os.environ, var


@pytest.fixture(params=["json", "protobuf"])
def fmt(request):
    return request.param


def trace_path(directory, fmt):
    return directory / ("t.json" if fmt == "json" else "t.pftrace")


def traced(directory, fmt, fn, *, open_slices=False, **options):
    """Runs fn under a tracer and returns the decoded trace, each thread's
    events checked nested (allowing slices still open at the end with
    open_slices) and in time order. The run is lossless: what these tests
    count must not depend on how loaded the machine is."""
    path = trace_path(directory, fmt)
    options.setdefault("lossless", True)
    with morvex.Tracer(str(path), fmt, **options):
        fn()
    t = tracefiles.read(path, fmt)
    for evs in t.events.values():
        tracefiles.assert_nested(evs, allow_open=open_slices)
        tracefiles.assert_time_ordered(evs)
    return t


def environment(**extra):
    """This process's environment without the variables of a run it is in,
    so that a process a test starts joins no trace of ours."""
    env = {k: v for k, v in os.environ.items() if k not in CHILD_VARIABLES}
    env.update(extra)
    return env


def run(command, cwd=None, env=None, timeout=TIMEOUT, **kwargs):
    """Runs a command to its end (within the timeout), its output captured as text."""
    return subprocess.run(command, cwd=cwd, env=environment() if env is None else env,
                          capture_output=True, text=True, timeout=timeout, **kwargs)


def reap(pid, timeout=TIMEOUT):
    """Waits for a forked child to end, within the timeout (its pidfd turns
    readable when it does); its exit status."""
    fd = os.pidfd_open(pid)
    try:
        if not select.select([fd], [], [], timeout)[0]:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail(f"child {pid} still ran after {timeout} s")
    finally:
        os.close(fd)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def write_script(path, text):
    path.write_text(textwrap.dedent(text))
    return path
