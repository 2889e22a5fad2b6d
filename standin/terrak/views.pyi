from terrak.core import Color
from terrak.geometry import Point

__all__ = ["Label"]

class Label:
    """A text shown at a point."""

    point: Point
    text: str
    size_factor: float
    color: Color | None
    def __init__(self, point: Point, text: str, *, size_factor: float = 1, color: Color | None = None) -> None: ...
