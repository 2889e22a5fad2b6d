"""Shared base of the connection proxies to the structural-analysis applications on a worker."""

from typing import Any

from terrak.external._worker import _RemoteProxy, _SessionProxy

class _StruxConnection(_SessionProxy):
    """Attribute chains build an OAPI path; calling one forwards the call to the worker session."""

    def __getattr__(self, name: str) -> _RemoteProxy: ...
    @property
    def application(self) -> _RemoteProxy:
        """The top-level application object, e.g. ``conn.application.GetOAPIVersionNumber()``."""
    def _dispatch_call(self, path: str, args: tuple[Any, ...]) -> Any: ...
