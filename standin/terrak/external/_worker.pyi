from collections.abc import Callable, Iterable, Mapping
from typing import Any

__all__ = ["_SessionProxy", "_RemoteProxy", "set_session_backend", "get_session_backend"]

_session_backend: Callable[[dict[str, Any]], Mapping[str, Any]] | None

def set_session_backend(
    backend: Callable[[dict[str, Any]], Mapping[str, Any]] | None,
) -> Callable[[dict[str, Any]], Mapping[str, Any]] | None:
    """Sends later operations to ``backend`` (or to none, given ``None``); returns the previous one."""

def get_session_backend() -> Callable[[dict[str, Any]], Mapping[str, Any]] | None:
    """The configured session backend, or ``None``."""

class _WorkerSession:
    """One session with an application on the worker."""

    _backend: Callable[[dict[str, Any]], Mapping[str, Any]] | None
    def __init__(self, backend: Callable[[dict[str, Any]], Mapping[str, Any]] | None = None) -> None: ...
    def _execute(self, operation: dict[str, Any]) -> Mapping[str, Any]: ...

class _SessionProxy:
    """Base of application proxies: instances hold their worker session as ``_session``."""

    _session: _WorkerSession
    def __init__(self, session: _WorkerSession | None = None) -> None: ...

class _RemoteProxy:
    """A member path on a connection: reading an attribute extends the path, calling it runs it."""

    _connection: Any
    _path: tuple[str, ...]
    def __init__(self, connection: Any, path: Iterable[str]) -> None: ...
    def __getattr__(self, name: str) -> _RemoteProxy: ...
    def __call__(self, *args: Any) -> Any: ...
