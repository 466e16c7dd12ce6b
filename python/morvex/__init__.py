"""morvex: a low-overhead function tracer for CPython built on sys.monitoring.

    with morvex.Tracer("trace.pftrace"):          # Perfetto trace
        work()
    with morvex.Tracer("trace.json", "json"):     # Chrome trace-event JSON
        work()
"""

from morvex._core import Tracer, cli_main

__all__ = ["Tracer", "cli_main"]
