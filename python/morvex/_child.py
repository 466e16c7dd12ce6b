"""Joins the trace of a parent process.

A traced process exports MORVEX_CHILD_OUTPUT and MORVEX_CHILD_FORMAT to the
processes it starts. Interpreters with morvex installed run `start()` from a
one-line .pth file, but only when MORVEX_CHILD_OUTPUT is set: a child then
appends its own run, under its own process id, to its parent's trace, and
finishes it at interpreter exit. Nothing here may break the child program, so
every failure is swallowed.
"""

import atexit
import os
import sys

_tracer = None


def _stop():
    global _tracer
    tracer, _tracer = _tracer, None
    if tracer is None:
        return
    try:
        tracer.__exit__(None, None, None)
    except Exception:
        pass


class _Anchor:
    """Kept alive for multiprocessing's after-fork registry (weak values)."""


_ANCHOR = _Anchor()


def _finish_with_multiprocessing(_):
    sys.modules["multiprocessing.util"].Finalize(None, _stop, exitpriority=-(2**31))


def _on_fork_in_child():
    # A process forked from this one continues the trace in a run of its own
    # (the extension's fork hooks start it). multiprocessing ends such
    # children with os._exit, which skips atexit, but runs its finalizers;
    # those registered before its bootstrap are cleared, its after-fork
    # callbacks are not.
    mp_util = sys.modules.get("multiprocessing.util")
    if _tracer is not None and mp_util is not None:
        try:
            mp_util.register_after_fork(_ANCHOR, _finish_with_multiprocessing)
        except Exception:
            pass


def start():
    global _tracer
    try:
        output = os.environ.get("MORVEX_CHILD_OUTPUT")
        if not output or _tracer is not None:
            return
        from morvex._core import Tracer

        tracer = Tracer(output, os.environ.get("MORVEX_CHILD_FORMAT", "protobuf"))
        tracer._enter_as_child()
        _tracer = tracer
        atexit.register(_stop)
        os.register_at_fork(after_in_child=_on_fork_in_child)
    except BaseException:
        pass
