"""The slope-stability program run on a worker: input file in, result files out."""

from io import BytesIO
from typing import Literal, overload

from terrak.core import File
from terrak.external.external_program import ExternalProgram, _JobContent

__all__ = ["SlipCircleAnalysis"]

class SlipCircleAnalysis(ExternalProgram):
    """A run of the slope-stability program on its input file."""

    input_file: BytesIO | File
    def __init__(self, input_file: BytesIO | File) -> None: ...
    def _generate_job_content(self) -> _JobContent: ...
    def _handle_execution_error(self, message: str) -> None: ...
    @overload
    def get_output_file(self, extension: str = ".sto", as_file: Literal[False] = False) -> BytesIO | None:
        """A result file of the run by extension (".sto", ".error.log", ".err"), or None."""
    @overload
    def get_output_file(self, extension: str, as_file: Literal[True]) -> File | None: ...
    @overload
    def get_output_file(self, extension: str = ".sto", *, as_file: Literal[True]) -> File | None: ...
    @overload
    def get_output_file(self, extension: str = ".sto", as_file: bool = False) -> BytesIO | File | None: ...
