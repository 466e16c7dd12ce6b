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
import sys

_tracer = None


def _stop():
    global _tracer
    tracer, _tracer = _tracer, None
    if tracer is not None:
        _exit_quietly(tracer)


class _Anchor:
    """Kept alive for multiprocessing's after-fork registry (weak values)."""


_ANCHOR = _Anchor()


def _after_fork(tracer):
    """Called by the extension in a forked child once its run has started.

    multiprocessing ends the children it forks with os._exit, which skips
    atexit and so would lose the child's part of the trace. It does run its
    finalizers first; those registered before the child's bootstrap are
    cleared, its after-fork callbacks are not, so one of those registers the
    finalizer that ends the run.
    """
    mp_util = sys.modules.get("multiprocessing.util")
    if mp_util is None:
        return

    def finish(_):
        mp_util.Finalize(None, _exit_quietly, args=(tracer,), exitpriority=-(2**31))

    mp_util.register_after_fork(_ANCHOR, finish)


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
