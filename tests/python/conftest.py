import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))


@pytest.fixture(autouse=True)
def no_tracer_left_behind():
    """Every test leaves the profiler slot free and the child variables unset."""
    yield
    assert sys.monitoring.get_tool(sys.monitoring.PROFILER_ID) is None
    for var in ("MORVEX_CHILD_OUTPUT", "MORVEX_CHILD_FORMAT"):
        assert var not in os.environ, var
