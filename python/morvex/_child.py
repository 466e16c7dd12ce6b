"""Joins the trace of a parent process.

A traced process exports MORVEX_CHILD_OUTPUT and MORVEX_CHILD_FORMAT to the
processes it starts, and MORVEX_CHILD_OPTIONS (Tracer's keyword options, as
JSON) when it has any. Interpreters with morvex installed run `start()` from a
one-line .pth file, but only when MORVEX_CHILD_OUTPUT is set: a child then
appends its own run, under its own process id, to its parent's trace, and
finishes it at interpreter exit. Nothing here may break the child program, so
every failure is swallowed.

The child's run starts with its program: the first code that runs in the
`__main__` namespace (the script's `<module>`, the `-c` code, the `-m`
module's `<module>`), not the rest of the interpreter's start-up (site's
.pth files and sitecustomize, runpy for `-m`).
"""

import atexit
import json
import os
import sys

_tracer = None
_gate = None  # (tool id, callback) while the watch for the program's start is on


def _stop():
    global _tracer
    if _gate is not None:  # not called otherwise: this runs traced, at exit
        _close_gate()
    tracer, _tracer = _tracer, None
    if tracer is not None:
        _exit_quietly(tracer)


def _exit_quietly(tracer):
    try:
        tracer.__exit__(None, None, None)
    except Exception:
        pass


def _close_gate():
    global _gate
    gate, _gate = _gate, None
    if gate is None:
        return
    mon = sys.monitoring
    try:
        mon.set_events(gate[0], 0)
        mon.register_callback(gate[0], mon.events.PY_START, None)
        mon.free_tool_id(gate[0])
    except Exception:
        pass


def _enter(tracer):
    global _tracer
    tracer._enter_as_child()
    _tracer = tracer
    atexit.register(_stop)


def _enter_at_program_start(tracer):
    """Enters `tracer` when the program's first code starts, with that start
    as the run's first event. Until then the profiler slot, which the run
    takes anyway, holds a watch on PY_START of its own."""
    global _gate
    mon = sys.monitoring
    tool = mon.PROFILER_ID
    if mon.get_tool(tool) is not None:
        _enter(tracer)  # and fails as it would have: the slot is taken
        return
    main = sys.modules["__main__"].__dict__

    def program_started(code, offset):
        # Not DISABLE for other code: that would stay with the slot and hide
        # those functions from the run. Only start-up code runs until then.
        if sys._getframe(1).f_globals is not main:
            return None
        _close_gate()
        try:
            _enter(tracer)
            # The interpreter told the watch of this start, not the
            # tracer's callback that took its place: handed over here.
            start = mon.register_callback(tool, mon.events.PY_START, None)
            mon.register_callback(tool, mon.events.PY_START, start)
            if start is not None:
                start(code, offset)
        except BaseException:
            pass
        return None

    mon.use_tool_id(tool, "morvex")
    _gate = (tool, program_started)
    mon.register_callback(tool, mon.events.PY_START, program_started)
    mon.set_events(tool, mon.events.PY_START)


def start():
    try:
        output = os.environ.get("MORVEX_CHILD_OUTPUT")
        if not output or _tracer is not None or _gate is not None:
            return
        from morvex._core import Tracer

        options = os.environ.get("MORVEX_CHILD_OPTIONS")
        tracer = Tracer(output, os.environ.get("MORVEX_CHILD_FORMAT", "protobuf"),
                        **(json.loads(options) if options else {}))
        _enter_at_program_start(tracer)
    except BaseException:
        _close_gate()
