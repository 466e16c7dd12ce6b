"""Joins the trace of a parent process.

A traced process exports MORVEX_CHILD_OUTPUT and MORVEX_CHILD_FORMAT to the
processes it starts, and MORVEX_CHILD_OPTIONS (Tracer's keyword options, as
JSON) when it has any. Interpreters with morvex installed run `start()` from a
one-line .pth file, but only when MORVEX_CHILD_OUTPUT is set: a child then
appends its own run, under its own process id, to its parent's trace, and
finishes it at interpreter exit. Nothing here may break the child program, so
every failure is swallowed.
"""

import atexit
import json
import os

_tracer = None


def _stop():
    global _tracer
    tracer, _tracer = _tracer, None
    if tracer is not None:
        _exit_quietly(tracer)


def _exit_quietly(tracer):
    try:
        tracer.__exit__(None, None, None)
    except Exception:
        pass


def start():
    global _tracer
    try:
        output = os.environ.get("MORVEX_CHILD_OUTPUT")
        if not output or _tracer is not None:
            return
        from morvex._core import Tracer

        options = os.environ.get("MORVEX_CHILD_OPTIONS")
        tracer = Tracer(output, os.environ.get("MORVEX_CHILD_FORMAT", "protobuf"),
                        **(json.loads(options) if options else {}))
        tracer._enter_as_child()
        _tracer = tracer
        atexit.register(_stop)
    except BaseException:
        pass
