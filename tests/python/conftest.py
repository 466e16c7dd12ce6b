import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))


# Every variable a run exports to the processes it starts.
CHILD_VARIABLES = ("MORVEX_CHILD_OUTPUT", "MORVEX_CHILD_FORMAT", "MORVEX_CHILD_CLOCK_ZERO",
                   "MORVEX_CHILD_OPTIONS")


@pytest.fixture(autouse=True)
def no_tracer_left_behind():
    """Every test leaves the profiler slot free and the child variables unset."""
    yield
    assert sys.monitoring.get_tool(sys.monitoring.PROFILER_ID) is None
    for var in CHILD_VARIABLES:
        assert var not in os.environ, var
