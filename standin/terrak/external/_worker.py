"""Sessions with applications driven by a worker.

A session sends one operation (a dictionary) at a time to the session backend, a callable set
with :func:`set_session_backend`, and returns its answer (a mapping)::

    def backend(operation):
        ...
        return {"ret": 0, "out": []}

With no backend configured, ``_execute`` raises ``BackendNotConfiguredError``.
"""

from collections.abc import Mapping

from terrak.errors import BackendNotConfiguredError, ExecutionError

__all__ = ["_SessionProxy", "_RemoteProxy", "set_session_backend", "get_session_backend"]

_session_backend = None


def set_session_backend(backend):
    """Sends later operations to ``backend`` (or to none, given ``None``); returns the previous one."""
    global _session_backend
    if backend is not None and not callable(backend):
        raise TypeError(f"A session backend must be callable, not {type(backend).__name__}")
    previous, _session_backend = _session_backend, backend
    return previous


def get_session_backend():
    """The configured session backend, or ``None``."""
    return _session_backend


class _WorkerSession:
    """One session with an application on the worker."""

    def __init__(self, backend=None):
        self._backend = backend

    def _execute(self, operation):
        backend = self._backend if self._backend is not None else _session_backend
        if backend is None:
            raise BackendNotConfiguredError(
                "No session backend is configured; set one with terrak.external._worker.set_session_backend()"
            )
        answer = backend(operation)
        if not isinstance(answer, Mapping):
            raise ExecutionError(f"The worker answered {type(answer).__name__} instead of a mapping")
        return answer


class _SessionProxy:
    """Base of application proxies: instances hold their worker session as ``_session``."""

    def __init__(self, session=None):
        self._session = session if session is not None else _WorkerSession()


class _RemoteProxy:
    """A member path on a connection: reading an attribute extends the path, calling it runs it."""

    __slots__ = ("_connection", "_path")

    def __init__(self, connection, path):
        self._connection = connection
        self._path = tuple(path)

    def __getattr__(self, name):
        # Private and special names are the language's own probes (copy, pickle, ...), never members.
        if name.startswith("_"):
            raise AttributeError(name)
        return _RemoteProxy(self._connection, self._path + (name,))

    def __call__(self, *args):
        return self._connection._dispatch_call(".".join(self._path), args)

    def __repr__(self):
        return f"<remote {'.'.join(self._path)}>"
