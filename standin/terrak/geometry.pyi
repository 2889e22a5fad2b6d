from collections.abc import Iterable

from terrak._geometry import Line as Line
from terrak._geometry import Point as Point
from terrak._geometry import Polygon as Polygon
from terrak._geometry import Polyline as Polyline
from terrak._geometry import TransformableObject as TransformableObject
from terrak.core import Color

__all__ = [
    "Point",
    "Line",
    "Polyline",
    "Polygon",
    "Material",
    "Group",
    "CircularExtrusion",
    "TransformableObject",
]

class Material:
    """How a surface looks: name, colour, metalness, roughness and opacity (each from 0 to 1)."""

    name: str
    color: Color | None
    metalness: float
    roughness: float
    opacity: float
    def __init__(
        self,
        name: str,
        color: Color | None = None,
        metalness: float = 0.5,
        roughness: float = 0.5,
        opacity: float = 1.0,
    ) -> None: ...

class Group(TransformableObject):
    """A container of geometry objects (and of other groups), kept in the given order."""

    objects: list[TransformableObject]
    def __init__(self, objects: Iterable[TransformableObject]) -> None: ...

class CircularExtrusion(TransformableObject):
    """A tube of the given diameter along a line."""

    diameter: float
    line: Line
    material: Material | None
    def __init__(self, diameter: float, line: Line, material: Material | None = None) -> None: ...
