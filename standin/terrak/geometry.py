"""Geometry values: points, lines, polylines and polygons (C++ kernel), and the light scene
objects that carry them (materials, groups, tubes along a line).

Every comparison of coordinates uses the shared tolerances ``terrak.core.ISCLOSE_RTOL`` and
``ISCLOSE_ATOL``, read when the comparison runs: two values are the same when
``math.isclose(a, b, rel_tol=ISCLOSE_RTOL, abs_tol=ISCLOSE_ATOL)``, and a point lies on a line when
its distance to it is at most ``max(ISCLOSE_ATOL, ISCLOSE_RTOL * its largest coordinate)``.

Coordinates may be any finite numbers, up to the largest a float holds: no operation overflows or
answers with a non-finite number. The values behave as those of Python classes: ``__init__``
called again re-initialises, and they copy, deep-copy and pickle (a subclass with its own
attributes too; it is remade without calling its ``__init__``).

>>> line = Polyline([Point(0, 0), Point(10, 0)])
>>> line.intersections_with_polyline(Polyline([Point(5, -1), Point(5, 1)]))
[Point(x=5.0, y=0.0, z=0.0)]
"""

from terrak._geometry import Line, Point, Polygon, Polyline, TransformableObject

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
    """How a surface looks: a name, a colour (a ``terrak.core.Color`` or None) and its
    metalness, roughness and opacity, each from 0 to 1."""

    def __init__(self, name, color=None, metalness=0.5, roughness=0.5, opacity=1.0):
        self.name = name
        self.color = color
        self.metalness = metalness
        self.roughness = roughness
        self.opacity = opacity

    def __repr__(self):
        return (
            f"Material(name={self.name!r}, color={self.color!r}, metalness={self.metalness!r}, "
            f"roughness={self.roughness!r}, opacity={self.opacity!r})"
        )


class Group(TransformableObject):
    """A container of geometry objects (and of other groups), kept in the given order."""

    def __init__(self, objects):
        super().__init__()
        self.objects = list(objects)

    def __repr__(self):
        return f"Group({self.objects!r})"


class CircularExtrusion(TransformableObject):
    """A tube of the given diameter along a line."""

    def __init__(self, diameter, line, material=None):
        super().__init__()
        self.diameter = diameter
        self.line = line
        self.material = material

    def __repr__(self):
        return f"CircularExtrusion(diameter={self.diameter!r}, line={self.line!r}, material={self.material!r})"
