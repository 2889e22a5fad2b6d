"""Core services of the terrak package: colours, in-memory files, shared tolerances and the job
service.

Jobs
----
``_post_on_addon_endpoint(path, data, timeout=60, error_mapping=None)`` runs one job. Jobs are
looked up by path in a registry; the built-in handlers ("parsecptfile/v2/jobs/" and
"classifycpt/v2/jobs/") run locally in C++ and need no set-up. Another transport, for instance an
HTTP client of a remote job service, is plugged in per path with :func:`register_job_handler`::

    def remote_parse(data):
        answer = session.post(url + "parsecptfile/v2/jobs/", json=data).json()
        if "error" in answer:
            raise JobFailure(answer["error"]["name"], answer["error"]["message"])
        return answer["result"]

    register_job_handler("parsecptfile/v2/jobs/", remote_parse)

A handler takes the payload dictionary and returns the result as a mapping; it reports a failed
job by raising :class:`JobFailure` with the job's error name and message.
"""

import io
import json
import numbers
import re
from collections.abc import Mapping
from contextlib import contextmanager

from terrak.errors import JobError

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

# Tolerances of every is-close comparison of levels and coordinates (math.isclose arguments).
ISCLOSE_RTOL = 1e-9
ISCLOSE_ATOL = 1e-6

_HEX_COLOUR = re.compile(r"#?[0-9A-Fa-f]{6}")


class Color:
    """An RGB colour with integer channels from 0 to 255.

    >>> c = Color(166, 42, 42)
    >>> c.rgb, c.hex
    ((166, 42, 42), '#a62a2a')
    >>> Color(*c.rgb) == c
    True
    """

    __slots__ = ("_rgb",)

    def __init__(self, r, g, b):
        if type(r) is int and type(g) is int and type(b) is int and 0 <= r <= 255 and 0 <= g <= 255 and 0 <= b <= 255:
            self._rgb = (r, g, b)  # the common case, checked without a generator or the ABC check
            return
        self._rgb = tuple(self._channel(name, value) for name, value in (("r", r), ("g", g), ("b", b)))

    @staticmethod
    def _channel(name, value):
        if type(value) is int and 0 <= value <= 255:  # the common case, without the ABC check
            return value
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise ValueError(f"Color channel {name} must be an integer from 0 to 255, not {value!r}")
        if not 0 <= value <= 255:
            raise ValueError(f"Color channel {name} must be an integer from 0 to 255, not {value!r}")
        return int(value)

    @classmethod
    def from_hex(cls, text):
        """Builds a colour from "#rrggbb" (the "#" is optional): exactly six hexadecimal digits."""
        if not isinstance(text, str):
            raise TypeError(f"A hexadecimal colour must be a str, not {type(text).__name__}")
        # int(..., 16) alone would also take signs, blanks, underscores and non-ASCII digits.
        if _HEX_COLOUR.fullmatch(text) is None:
            raise ValueError(f"Not a hexadecimal colour: {text!r}")
        digits = text.removeprefix("#")
        return cls(*(int(digits[i:i + 2], 16) for i in (0, 2, 4)))

    @property
    def r(self):
        return self._rgb[0]

    @property
    def g(self):
        return self._rgb[1]

    @property
    def b(self):
        return self._rgb[2]

    @property
    def rgb(self):
        """The channels as a tuple (r, g, b); ``Color(*c.rgb)`` rebuilds the colour."""
        return self._rgb

    @property
    def hex(self):
        """The colour as "#rrggbb"."""
        return "#{:02x}{:02x}{:02x}".format(*self._rgb)

    def __eq__(self, other):
        if not isinstance(other, Color):
            return NotImplemented
        return self._rgb == other._rgb

    def __hash__(self):
        return hash(self._rgb)

    def __getstate__(self):
        # Defined so that pickle protocols 0 and 1 accept a class with __slots__ too.
        return object.__getstate__(self)

    def __repr__(self):
        return "Color({}, {}, {})".format(*self._rgb)

    def __str__(self):
        return "Color(r={}, g={}, b={})".format(*self._rgb)


class _FileStream(io.BytesIO):
    """The stream of ``File.open_binary``: remembers its bytes when it is closed."""

    def __init__(self, data):
        super().__init__(data)
        self._closed_with = None

    def close(self):
        if not self.closed:
            self._closed_with = self.getvalue()
        super().close()

    def content(self):
        """The bytes it holds, or held when it was closed."""
        return self._closed_with if self.closed else self.getvalue()


class File:
    """A file held in memory.

    ``File()`` is empty; write it through ``open_binary()``::

        f = File()
        with f.open_binary() as stream:
            stream.write(b"...")

    ``File.from_data(data)`` holds bytes (or text, stored as UTF-8).
    """

    def __init__(self):
        self._data = b""

    @classmethod
    def from_data(cls, data):
        """A file holding ``data`` (bytes, or str stored as UTF-8)."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        elif isinstance(data, (bytearray, memoryview)):
            data = bytes(data)
        elif not isinstance(data, bytes):
            raise TypeError(f"File data must be bytes or str, not {type(data).__name__}")
        file = cls()
        file._data = data
        return file

    @classmethod
    def from_path(cls, path):
        """A file holding the bytes of the file at ``path``."""
        with open(path, "rb") as handle:
            return cls.from_data(handle.read())

    @contextmanager
    def open_binary(self):
        """A writable (and readable) binary stream; what it holds at the end becomes the content.

        The stream starts with the current content, positioned at the start; an error inside the
        ``with`` block leaves the content unchanged. A stream closed inside the block (as a
        ``TextIOWrapper`` around it does) keeps what it held when it was closed.
        """
        stream = _FileStream(self._data)
        yield stream
        self._data = stream.content()

    def getvalue(self, encoding="utf-8"):
        """The content as text."""
        return self._data.decode(encoding)

    def getvalue_binary(self):
        """The content as bytes."""
        return self._data

    def __len__(self):
        return len(self._data)

    def __repr__(self):
        return f"File({len(self._data)} bytes)"


class JobFailure(Exception):
    """Raised by a job handler when its job fails: the job's error name and its message."""

    def __init__(self, error_name, message):
        super().__init__(error_name, message)
        self.error_name = error_name
        self.message = message

    def __str__(self):
        return f"{self.error_name}: {self.message}"


_job_handlers = {}


def register_job_handler(path, handler):
    """Runs the jobs of ``path`` with ``handler(data) -> Mapping``; returns the handler it replaces
    (``None`` when the path had none of its own)."""
    if not callable(handler):
        raise TypeError(f"A job handler must be callable, not {type(handler).__name__}")
    previous = _job_handlers.get(path)
    _job_handlers[path] = handler
    return previous


def unregister_job_handler(path):
    """Removes the handler registered for ``path``; the built-in one, if any, serves it again."""
    _job_handlers.pop(path, None)


def _builtin_job_handlers():
    # Imported on first use: the native job service is not needed by programs that never run a job.
    from terrak import _jobs

    return _jobs.HANDLERS


def get_job_handler(path):
    """The handler that runs the jobs of ``path``, or ``None``."""
    handler = _job_handlers.get(path)
    if handler is None:
        try:
            handler = _builtin_job_handlers().get(path)
        except ImportError:
            handler = None
    return handler


_json_dumps = json.dumps


def _payload_is_plain_json(data):
    # The native walk proves the common case (plain dicts, lists and numbers) without encoding;
    # it only answers for the standard encoder, and anything it cannot prove goes to json.dumps.
    if json.dumps is not _json_dumps:
        return False
    try:
        from terrak._jobs import payload_is_plain_json
    except ImportError:
        return False
    return payload_is_plain_json(data)


def _check_payload_is_json(path, data):
    if _payload_is_plain_json(data):
        return
    try:
        json.dumps(data, allow_nan=True)
    except (TypeError, ValueError) as error:
        raise TypeError(f"The payload of job {path!r} cannot be sent as JSON: {error}") from None


def _is_hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


def _post_on_addon_endpoint(path, data, timeout=60, error_mapping=None):
    """Runs one job of the job service and returns its result as a mapping.

    Args:
        path: the job's endpoint path, e.g. "parsecptfile/v2/jobs/".
        data: the payload, a dictionary that can be sent as JSON.
        timeout: seconds the job may take (handled by transports that can wait).
        error_mapping: job error name -> exception type; a failed job whose error name is a key
            raises that type with the job's message, any other failure raises ``JobError``.
    """
    if error_mapping is not None and not isinstance(error_mapping, Mapping):
        raise TypeError(
            "error_mapping must be a mapping from job error names to exception types, "
            f"not {type(error_mapping).__name__}"
        )
    handler = get_job_handler(path)
    if handler is None:
        raise JobError(f"No job handler is registered for the path {path!r}")
    _check_payload_is_json(path, data)
    try:
        result = handler(data)
    except JobFailure as failure:
        if not _is_hashable(failure.error_name):
            raise JobError(
                f"Job {path!r} failed with an error name that cannot be looked up, "
                f"{failure.error_name!r} (error names are hashable, e.g. str): {failure.message}"
            ) from None
        mapped = None if error_mapping is None else error_mapping.get(failure.error_name)
        if mapped is not None:
            if not callable(mapped):
                raise TypeError(
                    f"error_mapping[{failure.error_name!r}] must be an exception type, not {type(mapped).__name__}"
                ) from None
            raise mapped(failure.message) from None
        raise JobError(f"Job {path!r} failed with {failure.error_name}: {failure.message}") from None
    if not isinstance(result, Mapping):
        raise JobError(f"Job {path!r} returned {type(result).__name__}, not a mapping")
    return result

