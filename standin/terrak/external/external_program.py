"""Base class of external programs that run on a worker.

A run is handed to the worker backend, a callable set with :func:`set_worker_backend`::

    def backend(program, version, job, timeout):
        ...               # run `program` (str) at `version` (int) on job.body, within `timeout` s
        return {"files": {"result.sto": "<base64 of the file's bytes>"}}

The backend returns the result content: a dictionary whose "files" entry maps file names to the
Base64 text of their bytes. It reports a failed run by raising :class:`ProgramRunFailed` with the
program's error message. With no backend configured, ``execute`` raises
``BackendNotConfiguredError``: nothing ever pretends to have run.
"""

import base64
import binascii
import math
import numbers
import operator
from io import BytesIO

from terrak.errors import BackendNotConfiguredError, ExecutionError

__all__ = [
    "ExternalProgram",
    "ProgramRunFailed",
    "set_worker_backend",
    "get_worker_backend",
]


class ProgramRunFailed(Exception):
    """Raised by a worker backend when the program run fails; carries the program's message."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


_worker_backend = None


def set_worker_backend(backend):
    """Runs later jobs with ``backend`` (or with none, given ``None``); returns the previous one."""
    global _worker_backend
    if backend is not None and not callable(backend):
        raise TypeError(f"A worker backend must be callable, not {type(backend).__name__}")
    previous, _worker_backend = _worker_backend, backend
    return previous


def get_worker_backend():
    """The configured worker backend, or ``None``."""
    return _worker_backend


class _JobContent:
    """The content of one job: ``body`` is the program input as Base64 text."""

    def __init__(self, *, body):
        if not isinstance(body, str):
            raise TypeError(f"Job body must be Base64 text (str), not {type(body).__name__}")
        self.body = body

    def __repr__(self):
        return f"_JobContent(body=<{len(self.body)} characters>)"


# A program's error message -> (text of the exception raised, exception type).
_dseries_exception_map = {
    "Input file could not be read": (
        "The calculation input could not be read by the program; check the input file.",
        ExecutionError,
    ),
    "No valid slip circle found": (
        "No valid slip circle was found: widen the search grid or check the geometry.",
        ExecutionError,
    ),
    "License not available": (
        "No licence of the program was available on the worker; try again later.",
        ExecutionError,
    ),
}


def _get_dseries_file_body(result_content, extension):
    """The result file whose name ends with ``extension`` as a ``BytesIO``, or ``None``."""
    files = result_content.get("files") or {}
    for name, encoded in files.items():
        if name.endswith(extension):
            try:
                return BytesIO(base64.b64decode(encoded, validate=True))
            except (binascii.Error, TypeError, ValueError):
                raise ExecutionError(f"The result file {name!r} is not valid Base64") from None
    return None


def _check_timeout(timeout):
    """Refuses a time-out that is not a real number of seconds above zero and finite.

    Any real number is taken (int, float, Fraction, numpy scalars, or a type with ``__index__``),
    except ``bool``: True is not a number of seconds.
    """
    seconds = None
    if not isinstance(timeout, bool):
        try:
            if isinstance(timeout, numbers.Real):
                seconds = float(timeout)
            elif hasattr(type(timeout), "__index__"):
                seconds = float(operator.index(timeout))
        except OverflowError:
            seconds = math.inf
    if seconds is None:
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
    if not (math.isfinite(seconds) and seconds > 0):
        raise ValueError(f"timeout must be a finite number of seconds above zero, not {timeout!r}")


class ExternalProgram:
    """An external program run on a worker.

    Subclasses provide ``_generate_job_content()`` and ``_handle_execution_error(message)``.
    ``execute(timeout)`` runs the job; ``_get_result_content()`` then gives the result.
    """

    def __init__(self, program, *, version=None):
        if not isinstance(program, str):
            raise TypeError(f"The program identifier must be a str, not {type(program).__name__}")
        self._program = program
        self._version = version
        self._result_content = None

    def _generate_job_content(self):
        raise NotImplementedError(f"{type(self).__name__} must provide _generate_job_content()")

    def _handle_execution_error(self, message):
        return None

    def execute(self, timeout):
        """Runs the program on the worker and waits at most ``timeout`` seconds."""
        _check_timeout(timeout)
        backend = _worker_backend
        if backend is None:
            raise BackendNotConfiguredError(
                f"No worker backend is configured to run {self._program!r}; "
                "set one with terrak.external.external_program.set_worker_backend()"
            )
        job = self._generate_job_content()
        try:
            result = backend(self._program, self._version, job, timeout)
        except ProgramRunFailed as failure:
            # The subclass translates the messages it knows; any other failure is still a failure.
            self._handle_execution_error(failure.message)
            raise ExecutionError(failure.message) from None
        if not isinstance(result, dict):
            raise ExecutionError(f"The worker returned {type(result).__name__} instead of a result dictionary")
        self._result_content = result

    def _get_result_content(self):
        """The result content of the last successful run."""
        if self._result_content is None:
            raise ExecutionError("The program has not run yet: call execute(timeout) first")
        return self._result_content
