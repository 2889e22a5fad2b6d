from collections.abc import Callable, Mapping
from io import BytesIO
from typing import Any, SupportsIndex

__all__ = [
    "ExternalProgram",
    "ProgramRunFailed",
    "set_worker_backend",
    "get_worker_backend",
]

class ProgramRunFailed(Exception):
    """Raised by a worker backend when the program run fails; carries the program's message."""

    message: str
    def __init__(self, message: str) -> None: ...

_worker_backend: Callable[[str, int | None, _JobContent, float], dict[str, Any]] | None

def set_worker_backend(
    backend: Callable[[str, int | None, _JobContent, float], dict[str, Any]] | None,
) -> Callable[[str, int | None, _JobContent, float], dict[str, Any]] | None:
    """Runs later jobs with ``backend`` (or with none, given ``None``); returns the previous one."""

def get_worker_backend() -> Callable[[str, int | None, _JobContent, float], dict[str, Any]] | None:
    """The configured worker backend, or ``None``."""

class _JobContent:
    """The content of one job: ``body`` is the program input as Base64 text."""

    body: str
    def __init__(self, *, body: str) -> None: ...

_dseries_exception_map: dict[str, tuple[str, type[Exception]]]

def _get_dseries_file_body(result_content: Mapping[str, Any], extension: str) -> BytesIO | None:
    """The result file whose name ends with ``extension`` as a ``BytesIO``, or ``None``."""

def _check_timeout(timeout: float | SupportsIndex) -> None:
    """Refuses a time-out that is not a real number of seconds above zero and finite."""

class ExternalProgram:
    """An external program run on a worker."""

    _program: str
    _version: int | None
    _result_content: dict[str, Any] | None
    def __init__(self, program: str, *, version: int | None = None) -> None: ...
    def _generate_job_content(self) -> _JobContent: ...
    def _handle_execution_error(self, message: str) -> None: ...
    def execute(self, timeout: float | SupportsIndex) -> None:
        """Runs the program on the worker and waits at most ``timeout`` seconds."""
    def _get_result_content(self) -> dict[str, Any]:
        """The result content of the last successful run."""
