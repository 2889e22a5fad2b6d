"""Geotechnical soil data: soils, 1D and 2D soil layouts, piezometric lines, GEF files and their
classification, and the standard plots."""

import os
from abc import ABC, abstractmethod
from collections.abc import Iterable, Mapping, MutableMapping, Sequence
from io import BytesIO, StringIO
from typing import Any, ClassVar, Literal, Self, overload

import pandas as pd
from matplotlib.axes import Axes
from munch import Munch

from terrak.core import Color, File
from terrak.errors import GEFParsingError
from terrak.geometry import Group, Line, Material, Point, Polygon, Polyline
from terrak.views import Label

# The old name of the parsing error, for callers that still catch it.
GEFParsingException = GEFParsingError

class _ClassificationMethod(ABC):
    """Abstract class to allow new classification methods to be added"""

    @abstractmethod
    def get_method_params(self) -> dict[str, Any]: ...

class RobertsonMethod(_ClassificationMethod):
    """Classification after Robertson's soil behaviour type chart; one dict per zone."""

    soil_properties: list[dict[str, Any]]
    def __init__(self, soil_properties: list[dict[str, Any]]) -> None: ...
    def get_method_params(self) -> dict[str, Any]: ...

class TableMethod(_ClassificationMethod):
    """Classification by a qualification table of cone resistance and friction number ranges."""

    qualification_table: list[dict[str, Any]]
    ground_water_level: float
    def __init__(self, qualification_table: list[dict[str, Any]], ground_water_level: float) -> None: ...
    def get_method_params(self) -> dict[str, Any]: ...
    @overload
    def get_qualification_table_plot(self, fileformat: Literal["svg"]) -> StringIO:
        """The qualification table as a chart: SVG text in a StringIO, or PNG/PDF bytes in a BytesIO."""
    @overload
    def get_qualification_table_plot(self, fileformat: Literal["pdf", "png"]) -> BytesIO: ...
    @overload
    def get_qualification_table_plot(self, fileformat: str) -> StringIO | BytesIO: ...

class NormalizedSoilBehaviourTypeIndexMethod(_ClassificationMethod):
    """Classification by the normalised soil behaviour type index Ic."""

    ic_table: list[dict[str, Any]]
    ground_water_level: float
    specific_weight_soil: float
    resolution: float | None
    def __init__(
        self,
        ic_table: list[dict[str, Any]],
        ground_water_level: float,
        specific_weight_soil: float,
        resolution: float | None = None,
    ) -> None: ...
    def get_method_params(self) -> dict[str, Any]: ...

class _QualificationTablePlot:
    filename: str
    qualification_table: list[dict[str, Any]]
    def __init__(self, filename: str, qualification_table: list[dict[str, Any]]) -> None: ...
    @overload
    def _get_visualization(self, fileformat: Literal["svg"]) -> StringIO: ...
    @overload
    def _get_visualization(self, fileformat: Literal["pdf", "png"]) -> BytesIO: ...
    @overload
    def _get_visualization(self, fileformat: str) -> StringIO | BytesIO: ...
    @property
    def body(self) -> bytes:
        """The chart as PDF bytes."""
    def _get_bounds_for_parameter(self, parameter: str) -> tuple[float | None, float | None]: ...
    def _get_ticks_and_labels(
        self, parameter: str, lowerbound: float, upperbound: float
    ) -> tuple[list[float], list[Any]]: ...
    def _get_values_column_parameter(self, parameter: str, min_or_max: str) -> list[Any]: ...
    def _plot_rf_qc_of_choice_classification_table(
        self,
        qc_choice: str,
        mpl_axes_object: Axes,
        lowerbound_rf: float,
        upperbound_rf: float,
        lowerbound_qc_of_choice: float,
        upperbound_qc_of_choice: float,
    ) -> None: ...
    def _get_plot_values_parameter_in_row(
        self, row: Mapping[str, Any], parameter: str, lowerbound: float, upperbound: float
    ) -> tuple[float, float]: ...

class GEFData:
    """Parsed GEF data; every header and measurement column is also an attribute of its own name."""

    classification_data: dict[str, Any]
    name: str
    Rf: list[float]
    qc: list[float]
    elevation: list[float]
    num_of_measurements: int
    max_measurement_depth_wrt_reference: float | None
    ground_level_wrt_reference: float | None
    height_system: str | None
    def __init__(self, gef_dict: Mapping[str, Any]) -> None: ...
    def serialize(self) -> dict[str, Any]:
        """The GEF dictionary the object was built from (the very object)."""
    @overload
    def classify(self, method: _ClassificationMethod, return_soil_layout_obj: Literal[True] = True) -> SoilLayout: ...
    @overload
    def classify(self, method: _ClassificationMethod, return_soil_layout_obj: Literal[False]) -> dict[str, Any]: ...
    @overload
    def classify(
        self, method: _ClassificationMethod, return_soil_layout_obj: bool = True
    ) -> SoilLayout | dict[str, Any]: ...
    def get_cone_visualization(self, axes: Axes) -> None: ...
    def get_resistance_visualization(self, axes: Axes) -> None: ...
    def get_plotted_denotation_large_qc_values(self, axes: Axes, x_loc_text: float) -> None: ...

class GEFFile:
    file_content: str
    def __init__(self, file_content: str) -> None: ...
    @classmethod
    def from_file(
        cls, file_path: str | bytes | os.PathLike[str] | os.PathLike[bytes], encoding: str = "ISO-8859-1"
    ) -> Self:
        """Reads a GEF file as text."""
    @overload
    def parse(
        self, additional_columns: list[str] | None = None, verbose: bool = True, return_gef_data_obj: Literal[True] = True
    ) -> GEFData: ...
    @overload
    def parse(
        self, additional_columns: list[str] | None, verbose: bool, return_gef_data_obj: Literal[False]
    ) -> dict[str, Any]: ...
    @overload
    def parse(
        self, additional_columns: list[str] | None = None, verbose: bool = True, *, return_gef_data_obj: Literal[False]
    ) -> dict[str, Any]: ...
    @overload
    def parse(
        self, additional_columns: list[str] | None = None, verbose: bool = True, return_gef_data_obj: bool = True
    ) -> GEFData | dict[str, Any]: ...

@overload
def gef_visualization(
    gef_data: GEFData, soil_layout_original: SoilLayout, soil_layout_user: SoilLayout, as_file: Literal[False] = False
) -> str: ...
@overload
def gef_visualization(
    gef_data: GEFData, soil_layout_original: SoilLayout, soil_layout_user: SoilLayout, as_file: Literal[True]
) -> File: ...
@overload
def gef_visualization(
    gef_data: GEFData, soil_layout_original: SoilLayout, soil_layout_user: SoilLayout, as_file: bool = False
) -> str | File: ...

class Soil:
    """A soil material: a name, a display colour and a dictionary of extra properties."""

    name: str
    _color: Color
    properties: Munch
    def __init__(self, name: str, color: Color, properties: Mapping[str, Any] | None = None) -> None: ...
    @property
    def color(self) -> Color: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __repr__(self) -> str: ...
    def update_properties(self, properties: Mapping[str, Any]) -> None: ...
    def serialize(self) -> dict[str, Any]: ...
    @classmethod
    def from_dict(cls, d: Mapping[str, Any]) -> Self: ...

class UndefinedSoil(Soil):
    """The soil of layers whose soil is not determined: "Undefined soil layer", black."""

    def __init__(self) -> None: ...

class PiezoLine(Polyline):
    """A piezometric line: a polyline with a flag that marks the phreatic line."""

    phreatic: bool
    def __init__(self, points: Iterable[Point], phreatic: bool = False) -> None: ...
    def serialize(self) -> dict[str, Any]: ...
    @classmethod
    def from_dict(cls, piezo_line_dict: Mapping[str, Any]) -> Self: ...
    @classmethod
    def from_lines(cls, lines: Iterable[Line | Polyline], phreatic: bool = False) -> Self: ...

class SoilLayer:
    """One horizontal layer of a 1D soil layout: a soil between two levels."""

    soil: Soil
    top_of_layer: float
    bottom_of_layer: float
    properties: Munch
    def __init__(
        self, soil: Soil, top_of_layer: float, bottom_of_layer: float, properties: Mapping[str, Any] | None = None
    ) -> None: ...
    @property
    def thickness(self) -> float: ...
    def __repr__(self) -> str: ...
    def serialize(self) -> dict[str, Any]: ...
    @classmethod
    def from_dict(cls, soil_layer_dict: Mapping[str, Any]) -> Self: ...
    def update_soil_properties(self, properties: Mapping[str, Any]) -> None: ...
    def update_properties(self, properties: Mapping[str, Any]) -> None: ...

class SoilLayer2D:
    """A layer of a 2D soil layout: a soil between a top and a bottom profile."""

    soil: Soil
    top_profile: Polyline
    bottom_profile: Polyline
    properties: Munch
    piezo_line_top: PiezoLine | None
    piezo_line_bottom: PiezoLine | None
    def __init__(
        self,
        soil: Soil,
        top_profile: Polyline,
        bottom_profile: Polyline,
        properties: Mapping[str, Any] | None = None,
        piezo_line_top: PiezoLine | None = None,
        piezo_line_bottom: PiezoLine | None = None,
    ) -> None: ...
    @property
    def left_boundary(self) -> float: ...
    @property
    def right_boundary(self) -> float: ...
    def serialize(self) -> dict[str, Any]: ...
    @classmethod
    def from_dict(cls, soil_layer_dict: Mapping[str, Any]) -> Self: ...
    def __repr__(self) -> str: ...
    def update_soil_properties(self, properties: Mapping[str, Any]) -> None: ...
    def update_properties(self, properties: Mapping[str, Any]) -> None: ...
    def polygons(self) -> list[Polygon]: ...
    def visualize_geometry(
        self, visualize_border: bool = False, opacity: float = 1, material: Material | None = None
    ) -> tuple[Group, list[Label]]: ...
    def height_at_x(self, x: float) -> float: ...
    def top_y_coordinate(self, x: float) -> float: ...
    def bottom_y_coordinate(self, x: float) -> float: ...

class SoilLayout:
    """A 1D soil layout: a list of SoilLayer objects from the top down."""

    layers: list[SoilLayer]
    def __init__(self, soil_layers: list[SoilLayer]) -> None: ...
    @classmethod
    def from_dict(cls, soil_layout_dict: Mapping[str, Any]) -> Self: ...
    def serialize(self) -> dict[str, Any]: ...
    def __repr__(self) -> str: ...
    @property
    def top(self) -> float: ...
    @property
    def bottom(self) -> float: ...
    @property
    def number_of_layers(self) -> int: ...
    def append(self, layer: SoilLayer) -> None: ...
    def filter_unique_soils(self) -> list[Soil]: ...
    def update_soil_properties(self, df: pd.DataFrame) -> None: ...
    def update_layers(self) -> None: ...
    def _update_bottom_depth(self) -> None: ...
    def _merge_adjacent_same_soil_layers(self) -> None: ...
    def filter_layers_on_thickness(
        self, min_layer_thickness: float, merge_adjacent_same_soil_layers: bool = False
    ) -> Self: ...
    def get_visualization(self, axes: Axes) -> None: ...

class PositionalSoilLayout(SoilLayout):
    """A SoilLayout at an x location, for building a SoilLayout2D."""

    x: float
    def __init__(self, x: float, soil_layers: list[SoilLayer]) -> None: ...
    @classmethod
    def from_dict(cls, positional_soil_layout_dict: MutableMapping[str, Any]) -> Self:  # type: ignore[override]
        """Reads the layout; the "x" entry is taken out of the given dictionary."""
    def serialize(self) -> dict[str, Any]: ...

def _get_replacement_dict_from_soil_layer_block(
    block: list[SoilLayer], layers: list[SoilLayer], min_layer_thickness: float, replacements_so_far: list[dict[str, Any]]
) -> dict[str, Any]: ...

class SoilLayout2D:
    """A 2D soil layout: SoilLayer2D objects from the bottom up, with piezometric lines."""

    left_boundary: float
    right_boundary: float
    piezo_lines: list[PiezoLine]
    layers: list[SoilLayer2D]
    def __init__(self, soil_layers: list[SoilLayer2D], piezo_lines: list[PiezoLine] | None = None) -> None: ...
    @property
    def top_profile(self) -> Polyline: ...
    @property
    def bottom_profile(self) -> Polyline: ...
    @classmethod
    def from_positional_soil_layouts(
        cls,
        positional_soil_layouts: Sequence[PositionalSoilLayout],
        top_profile: Polyline,
        piezo_lines: list[PiezoLine] | None = None,
    ) -> Self: ...
    @classmethod
    def from_single_soil_layout(
        cls,
        soil_layout: SoilLayout,
        left_boundary: float,
        right_boundary: float,
        top_profile: Polyline,
        piezo_lines: list[PiezoLine] | None = None,
    ) -> Self: ...
    @classmethod
    def from_dict(cls, soil_layout_2d_dict: Mapping[str, Any]) -> Self: ...
    def serialize(self) -> dict[str, Any]: ...
    def visualize_geometry(self, visualize_border: bool = False, opacity: float = 1) -> tuple[Group, list[Label]]: ...
    def get_left_boundary_polyline(self) -> Polyline: ...
    def get_right_boundary_polyline(self) -> Polyline: ...
    def split(self, *split_lines: Polyline) -> list[SoilLayout2D]: ...
    def _split_into_top_and_bottom(self, polyline: Polyline) -> tuple[SoilLayout2D, SoilLayout2D]: ...
    @classmethod
    def combine_soil_layouts_2d(cls, *soil_layouts_2d: SoilLayout2D) -> Self: ...
    @classmethod
    def _combine_top_bottom_layouts(cls, top_soil_layout: SoilLayout2D, bottom_soil_layout: SoilLayout2D) -> Self: ...

def _loop_through_top_layout(
    bottom_soil_layout: SoilLayout2D, top_soil_layout: SoilLayout2D, seem: Polyline
) -> list[SoilLayer2D]: ...
def _loop_through_bottom_layout(
    bottom_soil_layout: SoilLayout2D, top_soil_layout: SoilLayout2D, seem: Polyline
) -> list[SoilLayer2D]: ...
def _follow_left_portion_of_top_profile(
    bottom_left_boundary: Polyline, top_soil_layout: SoilLayout2D, layer: SoilLayer2D, seem: Polyline
) -> tuple[Polyline, Polyline]: ...
def _follow_right_portion_of_top_profile(
    bottom_right_boundary: Polyline, top_soil_layout: SoilLayout2D, layer: SoilLayer2D, seem: Polyline
) -> tuple[Polyline, Polyline]: ...
def _follow_left_portion_of_bottom_profile(
    top_left_boundary: Polyline, bottom_soil_layout: SoilLayout2D, layer: SoilLayer2D, seem: Polyline
) -> tuple[Polyline, Polyline]: ...
def _follow_right_portion_of_bottom_profile(
    top_right_boundary: Polyline, bottom_soil_layout: SoilLayout2D, layer: SoilLayer2D, seem: Polyline
) -> tuple[Polyline, Polyline]: ...
def _follow_old_layer_profiles(layer: SoilLayer2D, seem: Polyline) -> tuple[Polyline, Polyline]: ...
def _check_soil_layouts(soil_layouts: Sequence[PositionalSoilLayout]) -> None: ...
