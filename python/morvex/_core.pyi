from types import TracebackType
from typing import Literal, Sequence, final

__all__ = ["Tracer", "cli_main", "_before_fork", "_after_fork_in_parent", "_after_fork_in_child"]

@final
class Tracer:
    """Traces the Python functions run inside a `with` block into `output`.

    `format` is "protobuf" (a Perfetto trace; "proto" and "pb" are accepted
    too) or "json" (a Chrome trace-event file).
    """

    def __new__(cls, output: str, format: str = "protobuf") -> Tracer: ...
    def __enter__(self) -> Tracer: ...
    def _enter_as_child(self) -> Tracer: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None = None,
        _exc_val: BaseException | None = None,
        _exc_tb: TracebackType | None = None,
    ) -> Literal[False]: ...

def cli_main(argv: Sequence[str]) -> int: ...
def _before_fork() -> None: ...
def _after_fork_in_parent() -> None: ...
def _after_fork_in_child() -> None: ...
