"""Error types of the terrak package."""

__all__ = [
    "TerrakError",
    "GEFParsingError",
    "GEFClassificationError",
    "ExecutionError",
    "JobError",
    "BackendNotConfiguredError",
]


class TerrakError(Exception):
    """Base class of terrak's own errors; built with one message text."""


class GEFParsingError(TerrakError):
    """A GEF file or its classification settings could not be read."""


class GEFClassificationError(TerrakError):
    """The cone measurements could not be classified into soil layers."""


class ExecutionError(TerrakError):
    """An external program run failed."""


class JobError(TerrakError):
    """A job of the job service failed with an error that the caller did not map."""


class BackendNotConfiguredError(TerrakError, RuntimeError):
    """Work was handed to a worker or session backend, but none is configured."""
