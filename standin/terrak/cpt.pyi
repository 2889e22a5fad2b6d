import os
from collections.abc import Iterable, Iterator
from concurrent.futures import Executor
from typing import Any

from terrak.geo import GEFData, Soil, SoilLayout, SoilLayout2D, _ClassificationMethod

__all__ = [
    "DEFAULT_COLUMNS",
    "CPTResult",
    "read_cpt",
    "process_cpt",
    "process_cpts",
    "iter_cpts",
    "chainages",
    "section_from_cpts",
    "SECTION_UNITS",
]

DEFAULT_COLUMNS: tuple[str, ...]
SECTION_UNITS: dict[str, Soil]

class CPTResult:
    """The outcome of one CPT file: its data and layouts, or the error that stopped it."""

    path: str
    error: str | None
    gef: GEFData | dict[str, Any] | None
    classified: SoilLayout | dict[str, Any] | None
    layout: SoilLayout | dict[str, Any] | None
    def __init__(
        self,
        path: str,
        error: str | None = None,
        gef: GEFData | dict[str, Any] | None = None,
        classified: SoilLayout | dict[str, Any] | None = None,
        layout: SoilLayout | dict[str, Any] | None = None,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    @property
    def ok(self) -> bool: ...
    @property
    def status(self) -> str: ...
    @property
    def name(self) -> str: ...

def read_cpt(path: str | os.PathLike[str], additional_columns: Iterable[str] = ("fs", "corrected_depth", "u2", "penetration_length")) -> GEFData: ...
def process_cpt(
    path: str | os.PathLike[str],
    method: _ClassificationMethod,
    *,
    min_layer_thickness: float | None = None,
    merge: bool = True,
    additional_columns: Iterable[str] = ("fs", "corrected_depth", "u2", "penetration_length"),
    serialize: bool = False,
    keep_gef: bool = True,
    keep_classified: bool = True,
) -> CPTResult: ...
def iter_cpts(
    paths: Iterable[str | os.PathLike[str]],
    method: _ClassificationMethod,
    *,
    min_layer_thickness: float | None = None,
    merge: bool = True,
    additional_columns: Iterable[str] = ("fs", "corrected_depth", "u2", "penetration_length"),
    serialize: bool = False,
    keep_gef: bool = True,
    keep_classified: bool = True,
    executor: Executor | None = None,
    workers: int | None = None,
    chunksize: int | None = None,
) -> Iterator[CPTResult]: ...
def process_cpts(
    paths: Iterable[str | os.PathLike[str]],
    method: _ClassificationMethod,
    *,
    min_layer_thickness: float | None = None,
    merge: bool = True,
    additional_columns: Iterable[str] = ("fs", "corrected_depth", "u2", "penetration_length"),
    serialize: bool = False,
    keep_gef: bool = True,
    keep_classified: bool = True,
    executor: Executor | None = None,
    workers: int | None = None,
    chunksize: int | None = None,
) -> list[CPTResult]: ...
def chainages(gefs: Iterable[GEFData]) -> list[tuple[float, float]]: ...
def section_from_cpts(
    gefs: Iterable[GEFData],
    layouts: Iterable[SoilLayout],
    *,
    sand: str | Iterable[str] = ("*sand*",),
    min_unit_thickness: float = 2000.0,
    piezo_lines: list[Any] | None = None,
) -> tuple[SoilLayout2D, list[tuple[float, float, GEFData]]]: ...
