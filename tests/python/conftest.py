import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))


# Every variable a run exports to the processes it starts.
CHILD_VARIABLES = ("MORVEX_CHILD_OUTPUT", "MORVEX_CHILD_FORMAT", "MORVEX_CHILD_CLOCK_ZERO",
                   "MORVEX_CHILD_OPTIONS")


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
