"""morvex: a low-overhead function tracer for CPython built on sys.monitoring.

    with morvex.Tracer("trace.pftrace"):          # Perfetto trace
        work()
    with morvex.Tracer("trace.json", "json"):     # Chrome trace-event JSON
        work()

The program can mark its own timeline while a trace runs (and costs next to
nothing when none does):

    with morvex.span("load", path=path):          # a slice on this thread
        ...
    morvex.instant("cache miss", key=key)          # a marker
    morvex.counter("queue", len(queue))            # a counter track
"""

from morvex._core import Tracer, __version__, cli_main, counter, instant, span

__all__ = ["Tracer", "cli_main", "span", "instant", "counter"]
