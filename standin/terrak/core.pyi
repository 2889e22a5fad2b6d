import os
import re
from collections.abc import Callable, Mapping
from contextlib import AbstractContextManager
from io import BytesIO
from typing import Any, Self

__all__ = [
    "Color",
    "File",
    "ISCLOSE_RTOL",
    "ISCLOSE_ATOL",
    "JobFailure",
    "register_job_handler",
    "unregister_job_handler",
    "get_job_handler",
]

ISCLOSE_RTOL: float
ISCLOSE_ATOL: float

_HEX_COLOUR: re.Pattern[str]

class Color:
    """An RGB colour with integer channels from 0 to 255."""

    def __init__(self, r: int, g: int, b: int) -> None: ...
    @staticmethod
    def _channel(name: str, value: int) -> int: ...
    @classmethod
    def from_hex(cls, text: str) -> Self:
        """Builds a colour from "#rrggbb" (the "#" is optional): exactly six hexadecimal digits."""
    @property
    def r(self) -> int: ...
    @property
    def g(self) -> int: ...
    @property
    def b(self) -> int: ...
    @property
    def rgb(self) -> tuple[int, int, int]:
        """The channels as a tuple (r, g, b); ``Color(*c.rgb)`` rebuilds the colour."""
    @property
    def hex(self) -> str:
        """The colour as "#rrggbb"."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __getstate__(self) -> object: ...

class _FileStream(BytesIO):
    """The stream of ``File.open_binary``: remembers its bytes when it is closed."""

    _closed_with: bytes | None
    def __init__(self, data: bytes) -> None: ...
    def close(self) -> None: ...
    def content(self) -> bytes:
        """The bytes it holds, or held when it was closed."""

class File:
    """A file held in memory."""

    def __init__(self) -> None: ...
    @classmethod
    def from_data(cls, data: bytes | bytearray | memoryview | str) -> Self:
        """A file holding ``data`` (bytes, or str stored as UTF-8)."""
    @classmethod
    def from_path(cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Self:
        """A file holding the bytes of the file at ``path``."""
    def open_binary(self) -> AbstractContextManager[BytesIO]:
        """A writable (and readable) binary stream; what it holds at the end becomes the content."""
    def getvalue(self, encoding: str = "utf-8") -> str:
        """The content as text."""
    def getvalue_binary(self) -> bytes:
        """The content as bytes."""
    def __len__(self) -> int: ...

class JobFailure(Exception):
    """Raised by a job handler when its job fails: the job's error name and its message."""

    error_name: str
    message: str
    def __init__(self, error_name: str, message: str) -> None: ...

_job_handlers: dict[str, Callable[[dict[str, Any]], Mapping[str, Any]]]

def register_job_handler(
    path: str, handler: Callable[[dict[str, Any]], Mapping[str, Any]]
) -> Callable[[dict[str, Any]], Mapping[str, Any]] | None:
    """Runs the jobs of ``path`` with ``handler(data) -> Mapping``; returns the handler it replaces."""

def unregister_job_handler(path: str) -> None:
    """Removes the handler registered for ``path``; the built-in one, if any, serves it again."""

def _builtin_job_handlers() -> dict[str, Callable[[dict[str, Any]], Mapping[str, Any]]]: ...
def get_job_handler(path: str) -> Callable[[dict[str, Any]], Mapping[str, Any]] | None:
    """The handler that runs the jobs of ``path``, or ``None``."""

_json_dumps: Callable[..., str]

def _payload_is_plain_json(data: Any) -> bool: ...
def _check_payload_is_json(path: str, data: Any) -> None: ...
def _is_hashable(value: object) -> bool: ...
def _post_on_addon_endpoint(
    path: str,
    data: dict[str, Any],
    timeout: float = 60,
    error_mapping: Mapping[str, type[BaseException]] | None = None,
) -> Mapping[str, Any]:
    """Runs one job of the job service and returns its result as a mapping."""
