import os
from collections.abc import Callable, Iterable
from types import TracebackType
from typing import Any, Literal, ParamSpec, Sequence, TypeVar, final, overload

__all__ = ["Tracer", "cli_main", "_before_fork", "_after_fork_in_parent", "_after_fork_in_child"]

_P = ParamSpec("_P")
_R = TypeVar("_R")
_ArgValue = str | int | float | bool | None

__version__: str

@final
class Tracer:
    """Traces the Python functions run inside a `with` block into `output`.

    `format` is "protobuf" (a Perfetto trace; "proto" and "pb" are accepted
    too) or "json" (a Chrome trace-event file). The keyword options record
    less (`include`, `exclude`: module names, path globs, ":stdlib" or
    ":site-packages"; `max_depth`; `min_duration`: seconds or "50us") or make
    a complete trace wait for the writers rather than lose events
    (`lossless`), or set the raw events aside and write the trace only when
    the run ends (`spool`), or write a Perfetto trace deflated, in bundles
    with incremental timestamps (`compress`). `c_calls` records calls of
    builtins, methods of C types and other callables that are not Python
    functions as slices of their own; `async_tasks` puts each asyncio task's
    coroutine slices on a track of its own, named after the task.
    """

    def __new__(
        cls,
        output: str | os.PathLike[str],
        format: str = "protobuf",
        *,
        include: str | Iterable[str] | None = None,
        exclude: str | Iterable[str] | None = None,
        max_depth: int | None = None,
        min_duration: float | str | None = None,
        lossless: bool = False,
        spool: bool = False,
        compress: bool = False,
        c_calls: bool = False,
        async_tasks: bool = False,
    ) -> Tracer: ...
    def __enter__(self) -> Tracer: ...
    def _enter_as_child(self) -> Tracer: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None = None,
        _exc_val: BaseException | None = None,
        _exc_tb: TracebackType | None = None,
    ) -> Literal[False]: ...
    def start(self) -> Tracer: ...
    def stop(self) -> Literal[False]: ...
    @property
    def events(self) -> int | None:
        """Events the last finished run recorded, dropped ones included; None
        until a run has ended, and while one runs."""
    @property
    def dropped(self) -> int | None:
        """Of those events, the ones its trace does not hold; None as for events."""

@final
class Span:
    """A stretch of time on the calling thread's track; also a decorator."""

    @property
    def name(self) -> str: ...
    def __enter__(self) -> Span: ...
    def __exit__(self, *exc_info: object) -> Literal[False]: ...
    def __call__(self, func: Callable[_P, _R], /) -> Callable[_P, _R]: ...

@overload
def span(name: str, /, **args: _ArgValue) -> Span: ...
@overload
def span(func: Callable[_P, _R], /) -> Callable[_P, _R]: ...
def instant(name: str, /, **args: _ArgValue) -> None: ...
def counter(name: str, value: int | float) -> None: ...
def cli_main(argv: Sequence[str]) -> int: ...
def _before_fork() -> None: ...
def _after_fork_in_parent() -> None: ...
def _after_fork_in_child() -> None: ...
