import functools
import json
import math
import re
import struct

import pytest
from munch import Munch

import terrak.core
import terrak.geometry
from terrak.core import Color
from terrak.geometry import (CircularExtrusion, Group, Line, Material, Point, Polygon, Polyline,
                             TransformableObject)


def pts(*xy):
    return [Point(x, y) for x, y in xy]


def xy(points):
    return [(p.x, p.y) for p in points]


def test_module_exports_exactly_the_geometry_types():
    assert terrak.geometry.__all__ == ["Point", "Line", "Polyline", "Polygon", "Material", "Group",
                                       "CircularExtrusion", "TransformableObject"]
    for name in ("Point", "Line", "Polyline", "Polygon", "Group", "CircularExtrusion"):
        assert issubclass(getattr(terrak.geometry, name), TransformableObject)


# Points

def test_point_coordinates_are_floats_with_z_defaulting_to_zero():
    p = Point(1, 2)
    assert (p.x, p.y, p.z) == (1.0, 2.0, 0.0) and all(type(c) is float for c in p)
    x, y, z = Point(1, 2, 3)
    assert (x, y, z) == (1.0, 2.0, 3.0)
    assert Point(*Point(4, 5, 6)) == Point(4, 5, 6)
    assert repr(Point(1, 2.5)) == "Point(x=1.0, y=2.5, z=0.0)"


@pytest.mark.parametrize("coords", [(math.nan, 0), (0, math.inf), (0, 0, -math.inf)], ids=["nan", "inf", "z"])
def test_point_refuses_non_finite_coordinates(coords):
    with pytest.raises(ValueError, match="finite"):
        Point(*coords)


@pytest.mark.parametrize(("a", "b", "equal"), [
    (Point(0, 0), Point(5e-7, -5e-7), True),
    (Point(0, 0), Point(2e-6, 0), False),
    (Point(1e6, 1e6), Point(1e6 + 5e-4, 1e6), True),  # relative tolerance of large values
    (Point(1, 2, 3), Point(1, 2, 4), False),
], ids=["within-atol", "beyond-atol", "within-rtol", "z-differs"])
def test_point_equality_uses_host_tolerances(a, b, equal):
    assert (a == b) is equal and (a != b) is not equal


def test_point_equality_follows_tolerance_changes(monkeypatch):
    assert Point(0, 0) != Point(0.01, 0)
    monkeypatch.setattr(terrak.core, "ISCLOSE_ATOL", 0.1)
    assert Point(0, 0) == Point(0.01, 0)


def test_point_is_not_equal_to_other_types_and_not_hashable():
    assert Point(1, 2) != (1.0, 2.0, 0.0)
    assert not Point(1, 2) == "Point"
    with pytest.raises(TypeError):
        hash(Point(1, 2))


def test_line_keeps_its_points():
    line = Line(Point(0, 0, 1), Point(1, 2, 1))
    assert line.start_point == Point(0, 0, 1) and line.end_point == Point(1, 2, 1)


# Polylines: values, data form, subclassing

def test_polyline_keeps_points_in_order_and_hands_out_copies():
    points = pts((0, 0), (3, 1), (1, 2))
    line = Polyline(points)
    points.append(Point(9, 9))
    got = line.points
    got.clear()
    assert xy(line.points) == [(0, 0), (3, 1), (1, 2)]
    assert line.start_point == Point(0, 0) and line.end_point == Point(1, 2)


def test_empty_polyline():
    empty = Polyline([])
    assert empty.points == [] and empty.serialize() == {"points": []}
    with pytest.raises(IndexError):
        empty.start_point
    with pytest.raises(IndexError):
        empty.end_point


@pytest.mark.parametrize(("arg", "text"), [
    ([(0, 0), (1, 1)], "Polyline points must be Point objects, not 'tuple'"),
    (5, "Polyline points must be an iterable of Point, not 'int'"),
])
def test_polyline_refuses_non_points(arg, text):
    with pytest.raises(TypeError) as exc:
        Polyline(arg)
    assert str(exc.value) == text


def test_serialize_is_plain_data_and_round_trips():
    line = Polyline([Point(0, 0), Point(1.5, -2, 3)])
    data = line.serialize()
    assert json.loads(json.dumps(data)) == data
    assert data == {"points": [{"x": 0.0, "y": 0.0, "z": 0.0}, {"x": 1.5, "y": -2.0, "z": 3.0}]}
    back = Polyline._deserialize(data)
    assert type(back) is Polyline and back.points == line.points
    assert Polyline._deserialize(Munch(points=[Munch(x=1, y=2)])).points == [Point(1, 2)]


def test_deserialize_refuses_bad_data():
    with pytest.raises(KeyError):
        Polyline._deserialize({"pts": []})
    with pytest.raises(ValueError):
        Polyline._deserialize({"points": [{"x": math.nan, "y": 0}]})


class Flagged(Polyline):
    def __init__(self, points, flag=False):
        self.flag = flag  # set before the base initialiser, as the soil model's piezometric line does
        Polyline.__init__(self, points)


def test_subclass_sets_attributes_before_base_init_and_round_trips():
    line = Flagged(pts((0, 0), (1, 1)), True)
    assert line.flag is True and line.__dict__ == {"flag": True}
    assert xy(line.points) == [(0, 0), (1, 1)]
    assert Polyline.serialize(line) == Polyline(line.points).serialize()
    back = Flagged._deserialize(line.serialize())
    assert type(back) is Flagged and back.flag is False


def test_subclass_made_through_the_metaclass_and_operations_return_plain_polylines():
    Made = type(Polyline)("Made", (Polyline,), {"__module__": __name__})
    line = Made(pts((0, 0), (2, 0)))
    assert type(line.get_reversed_polyline()) is Polyline
    assert type(line.combine_with(Polyline([]))) is Polyline
    assert all(type(p) is Polyline for p in line.split(Point(1, 0)))


def test_subclass_must_call_base_init():
    class Broken(Polyline):
        def __init__(self, points):
            pass

    with pytest.raises(TypeError, match="__init__"):
        Broken(pts((0, 0), (1, 1)))


# Polyline operations at the Python surface

@pytest.fixture
def zigzag():
    return Polyline(pts((0, 0), (2, 2), (4, 0), (6, 2)))


def test_get_polyline_between_positional_and_keyword(zigzag):
    want = [(1, 1), (2, 2), (4, 0), (5, 1)]
    assert xy(zigzag.get_polyline_between(Point(1, 1), Point(5, 1), True).points) == want
    assert xy(zigzag.get_polyline_between(Point(1, 1), Point(5, 1), inclusive=True).points) == want
    assert xy(zigzag.get_polyline_between(Point(1, 1), Point(5, 1)).points) == want
    assert xy(zigzag.get_polyline_between(Point(1, 1), Point(5, 1), False).points) == want[1:-1]


@pytest.mark.parametrize(("call", "text"), [
    (lambda line: line.get_polyline_between(Point(1, 5), Point(5, 1)), "Start point does not lie on the polyline"),
    (lambda line: line.get_polyline_between(Point(1, 1), Point(5, 5)), "End point does not lie on the polyline"),
    (lambda line: line.split(Point(3, 3)), "Split point does not lie on the polyline"),
    (lambda line: Polyline.get_lowest_or_highest_profile_x(line, Polyline(pts((7, 0), (8, 0))), lowest=True),
     "The profiles have no x range in common"),
    (lambda line: Polyline.get_lowest_or_highest_profile_x(line, Polyline(pts((0, 0), (5, 0), (4, 0))), lowest=True),
     "Envelope profiles must be monotonic ascending in x"),
    (lambda line: Polyline.get_lowest_or_highest_profile_x(line, Polyline([]), lowest=False),
     "Cannot take the envelope of an empty polyline"),
    (lambda line: line.intersections_with_x_location(math.inf), "x must be a finite number (no NaN or infinity)"),
], ids=["between-start", "between-end", "split", "envelope-disjoint", "envelope-not-monotonic", "envelope-empty",
        "x-location-inf"])
def test_operations_refuse_bad_input_and_leave_the_line_unchanged(zigzag, call, text):
    before = zigzag.serialize()
    with pytest.raises(ValueError) as exc:
        call(zigzag)
    assert str(exc.value) == text
    assert zigzag.serialize() == before


def test_operations_leave_their_inputs_unchanged(zigzag):
    other = Polyline(pts((0, 1), (6, 1)))
    before = (zigzag.serialize(), other.serialize())
    zigzag.intersections_with_polyline(other)
    zigzag.combine_with(other)
    zigzag.find_overlaps(other)
    zigzag.get_reversed_polyline()
    Polyline.get_lowest_or_highest_profile_x(zigzag, other, lowest=False)
    Polyline._concatenate(zigzag, other)
    assert (zigzag.serialize(), other.serialize()) == before


def test_split_returns_both_parts_holding_the_point(zigzag):
    first, second = zigzag.split(Point(3, 1))
    assert xy(first.points) == [(0, 0), (2, 2), (3, 1)]
    assert xy(second.points) == [(3, 1), (4, 0), (6, 2)]


def test_reverse_and_concatenate(zigzag):
    assert xy(zigzag.get_reversed_polyline().points) == [(6, 2), (4, 0), (2, 2), (0, 0)]
    # Concatenation appends as it is: a shared joint point stays twice.
    joined = Polyline._concatenate(zigzag, Polyline(pts((6, 2), (8, 0))))
    assert xy(joined.points) == [(0, 0), (2, 2), (4, 0), (6, 2), (6, 2), (8, 0)]


def test_monotonic_and_equality_flags(zigzag):
    step = Polyline(pts((0, 0), (5, 0), (5, 3), (10, 3)))
    assert step.is_monotonic_ascending_x(False) is True and step.is_monotonic_ascending_x() is False
    assert step.is_equal_to(Polyline(pts((0, 0), (2, 0), (5, 0), (5, 1), (5, 3), (10, 3)))) is True
    assert step.is_equal_to(step.get_reversed_polyline()) is False
    assert zigzag.point_is_on_polyline(Point(5, 1)) is True


# What the two-dimensional soil model builds from these operations

# The private helpers terrak.geo takes for the host's own geometry: each must answer exactly what
# the public calls it stands for would.

PROFILES = [
    pts((0, 0), (1, 1), (1, 3), (2, 3), (5, -1), (9, 0)),
    pts((0, 0), (2, 2), (4, 0), (2, 1)),  # x decreases: no profile shortcut
    pts((0, 2), (3, 1), (3, 1), (6, 3)),
]


@pytest.mark.parametrize("line", PROFILES, ids=["steps", "turning", "repeated"])
def test_all_points_on_agrees_with_asking_point_by_point(line):
    line = Polyline(line)
    others = [Polyline(pts((0, 0), (9, 0))), Polyline(pts((1, 1), (1, 2), (2, 3))), line.get_reversed_polyline(),
              Polyline([]), Polyline(pts((0.5, 0.5000001), (1, 1)))]
    for other in others:
        assert other._all_points_on(line) == all(line.point_is_on_polyline(p) for p in other.points)


def test_all_points_on_follows_tolerance_changes(monkeypatch):
    line, near = Polyline(pts((0, 0), (4, 0))), Polyline(pts((1, 0.05), (3, 0)))
    assert not near._all_points_on(line)
    monkeypatch.setattr(terrak.core, "ISCLOSE_ATOL", 0.1)
    assert near._all_points_on(line)


@pytest.mark.parametrize("coordinates", [[], [(1.5, -2.0, 0.0)], [(0.0, 1.0, 0.0), (2.0, -1e300, 3.0)]])
def test_polyline_from_coordinates_is_the_polyline_of_those_points(coordinates):
    data = struct.pack(f"={3 * len(coordinates)}d", *[v for point in coordinates for v in point])
    made = Polyline._from_coordinates(data)
    assert type(made) is Polyline
    assert [tuple(p) for p in made.points] == coordinates
    assert made.serialize() == Polyline([Point(*c) for c in coordinates]).serialize()


@pytest.mark.parametrize(("data", "error", "text"), [
    ([0.0, 1.0, 0.0], TypeError, "Polyline._from_coordinates() argument 'coordinates' must be bytes of x, y, z "
                                 "doubles, not list"),
    (struct.pack("=2d", 0.0, 1.0), TypeError, "must be bytes of x, y, z doubles, not bytes"),
    (struct.pack("=3d", 0.0, math.nan, 0.0), ValueError, "Point coordinates must be finite numbers"),
], ids=["list", "short", "nan"])
def test_polyline_from_coordinates_refuses_bad_data(data, error, text):
    with pytest.raises(error, match=re.escape(text)):
        Polyline._from_coordinates(data)


def stretches_by_the_public_calls(top, bottom):
    """Polygon._between_profiles spelled out with public calls."""
    meets = bottom.intersections_with_polyline(top)
    ends = [None] + meets + [None]
    result = []
    for previous, current in zip(ends, ends[1:]):
        points = top.get_polyline_between(previous or top.start_point, current or top.end_point).points
        for p in reversed(bottom.get_polyline_between(previous or bottom.start_point, current or bottom.end_point).points):
            if p != points[0] and p != points[-1]:
                points.append(p)
        if len(points) > 2:
            try:
                result.append(Polygon(points))
            except ValueError:
                pass
    return result


@pytest.mark.parametrize(("top", "bottom"), [
    (pts((0, 0), (2, 2), (4, 0), (6, 2)), pts((0, 0), (6, 0))),
    (pts((0, 1), (2, 1), (4, 1)), pts((0, 0), (1, 1), (3, 1), (4, 0))),
    (pts((0, 0), (4, 0)), pts((0, 0), (4, 0))),
    (pts((0, 1), (1, 1), (1, 3), (3, 3), (3, 1), (5, 1)), pts((0, 1), (5, 1))),
    (pts((0, 2), (4, 2), (2, 3)), pts((0, 0), (4, 0))),
], ids=["zigzag", "touching-stretch", "no-thickness", "vertical-steps", "turning-top"])
def test_polygons_between_profiles_agree_with_the_public_calls(top, bottom):
    top, bottom = Polyline(top), Polyline(bottom)
    got = Polygon._between_profiles(top, bottom)
    assert all(type(p) is Polygon and p.material is None for p in got)
    assert [xy(p.points) for p in got] == [xy(p.points) for p in stretches_by_the_public_calls(top, bottom)]


def test_polygons_between_an_empty_profile_fail_as_the_public_calls_do():
    for top, bottom in [(Polyline([]), Polyline(pts((0, 0), (1, 0)))), (Polyline(pts((0, 0), (1, 0))), Polyline([]))]:
        with pytest.raises(IndexError) as general:
            stretches_by_the_public_calls(top, bottom)
        with pytest.raises(IndexError, match=re.escape(str(general.value))):
            Polygon._between_profiles(top, bottom)


@pytest.fixture
def two_layer_layout():
    """Profiles of a layout of two layers from x 0 to 10: bottom, middle and a ground profile."""
    bottom = Polyline(pts((0, -10), (10, -10)))
    middle = Polyline(pts((0, -5), (4, -6), (10, -5)))
    top = Polyline(pts((0, 0), (6, 1), (10, 0)))
    return bottom, middle, top


def ring_of(bottom, middle, top):
    left = Polyline([bottom.start_point, middle.start_point, top.start_point])
    right = Polyline([bottom.end_point, middle.end_point, top.end_point])
    parts = [bottom, right, top.get_reversed_polyline(), left.get_reversed_polyline()]
    return functools.reduce(Polyline._concatenate, parts)


@pytest.mark.parametrize(("point", "inside"), [
    (Point(5, -3), True), (Point(5, 3), False), (Point(5, -12), False), (Point(-1, -3), False), (Point(6, 0.5), True),
], ids=["inside", "above", "below", "beside", "under-top-vertex"])
def test_ring_parity_tells_inside_from_outside(two_layer_layout, point, inside):
    ring = ring_of(*two_layer_layout)
    below = [p for p in ring.intersections_with_x_location(point.x) if p.y < point.y]
    assert (len(below) % 2 == 1) is inside


def test_vertical_cut_meets_boundary_on_its_own_x(two_layer_layout):
    bottom, middle, top = two_layer_layout
    ring = ring_of(bottom, middle, top)
    cut = Polyline(pts((7.3, 5), (7.3, -20)))
    hits = cut.intersections_with_polyline(ring)
    assert [p.x for p in hits] == [7.3, 7.3]
    part = cut.get_polyline_between(hits[0], hits[-1], True)
    assert top.point_is_on_polyline(part.start_point) and bottom.point_is_on_polyline(part.end_point)


def test_upper_envelope_exposes_a_top_that_dips_below_a_straight_bottom():
    # The top dips below the bottom between the bottom's two vertices: walking the envelope's
    # points must find a point that is not on the top profile.
    top = Polyline(pts((0, 5), (5, -1), (10, 5)))
    bottom = Polyline(pts((0, 0), (10, 0)))
    envelope = Polyline.get_lowest_or_highest_profile_x(top, bottom, lowest=False)
    assert not all(top.point_is_on_polyline(p) for p in envelope.points)
    fine = Polyline.get_lowest_or_highest_profile_x(Polyline(pts((0, 5), (5, 1), (10, 5))), bottom, lowest=False)
    assert all(Polyline(pts((0, 5), (5, 1), (10, 5))).point_is_on_polyline(p) for p in fine.points)


def test_envelope_at_a_vertical_step_and_over_the_common_range():
    step = Polyline(pts((0, 5), (5, 5), (5, 0), (12, 0)))
    flat = Polyline(pts((-2, 3), (10, 3)))
    low = Polyline.get_lowest_or_highest_profile_x(step, flat, lowest=True)
    high = Polyline.get_lowest_or_highest_profile_x(step, flat, lowest=False)
    assert xy(low.points) == [(0, 3), (5, 3), (5, 0), (10, 0)]
    assert xy(high.points) == [(0, 5), (5, 5), (5, 3), (10, 3)]


def side_by_side_outlines():
    """Half rounds of two layouts side by side: a deep one on the left (bottom member), a shallow
    one on the right (top member); they share the vertical boundary x = 10 from y 0 to y -4."""
    left = Polyline(pts((0, -10), (0, -5), (0, 0)))
    deep_top = Polyline(pts((0, 0), (10, 0)))
    deep_right = Polyline(pts((10, -10), (10, -4), (10, 0)))
    bottom_half_round = left.combine_with(deep_top).combine_with(deep_right.get_reversed_polyline())
    shallow_left = Polyline(pts((10, -4), (10, -2), (10, 0)))
    shallow_bottom = Polyline(pts((10, -4), (20, -4)))
    shallow_right = Polyline(pts((20, -4), (20, 0)))
    top_half_round = shallow_left.get_reversed_polyline().combine_with(shallow_bottom).combine_with(shallow_right)
    return bottom_half_round, top_half_round, deep_right


def test_seam_of_side_by_side_layouts_runs_down_with_the_vertices_of_both():
    bottom_half_round, top_half_round, _ = side_by_side_outlines()
    assert xy(bottom_half_round.points) == [(0, -10), (0, -5), (0, 0), (10, 0), (10, -4), (10, -10)]
    seams = bottom_half_round.find_overlaps(top_half_round)
    assert len(seams) == 1
    assert xy(seams[0].points) == [(10, 0), (10, -2), (10, -4)]


def test_seam_joined_to_a_boundary_it_lies_on_does_not_double_back():
    bottom_half_round, top_half_round, deep_right = side_by_side_outlines()
    seam = bottom_half_round.find_overlaps(top_half_round)[0]
    # The guide of a right-hand continuation: the boundary upwards, then the seam downwards
    # along it. The seam adds its vertices and nothing else.
    guide = deep_right.combine_with(seam)
    assert xy(guide.points) == [(10, -10), (10, -4), (10, -2), (10, 0)]
    connector = Polyline(pts((10, -7), (10, -4))).find_overlaps(guide)
    assert [xy(c.points) for c in connector] == [[(10, -7), (10, -4)]]


def test_layers_continued_under_a_wider_upper_layout_still_stack():
    """Layers of a lower layout (x 0..10, boundaries at y -10, -5, 0) continued left along the
    bottom of an upper layout that starts at x -5: each continued top must be the next bottom."""
    left_boundary = Polyline(pts((0, -10), (0, -5), (0, 0)))
    upper_bottom = Polyline(pts((-5, 0), (10, 0)))
    seam = Polyline(pts((0, 0), (10, 0)))
    followed = upper_bottom.combine_with(Polyline(pts((10, 0), (10, 3)))).split(seam.start_point)[0]
    guide = left_boundary.combine_with(seam)

    def continued(profile):
        piece = followed
        if followed.end_point != profile.start_point:
            connector = Polyline([followed.end_point, profile.start_point]).find_overlaps(guide)[0]
            piece = followed.combine_with(connector)
        shared = profile.find_overlaps(seam)
        own = profile.combine_with(shared[0]) if len(shared) == 1 else profile
        return Polyline([]).combine_with(piece).combine_with(own)

    levels = [Polyline(pts((0, y), (10, y))) for y in (-10, -5, 0)]
    bounds = [continued(level) for level in levels]
    assert xy(bounds[0].points) == [(-5, 0), (0, 0), (0, -5), (0, -10), (10, -10)]
    assert xy(bounds[1].points) == [(-5, 0), (0, 0), (0, -5), (10, -5)]
    assert bounds[2].is_equal_to(upper_bottom.combine_with(upper_bottom.find_overlaps(seam)[0]))
    assert all(b.is_monotonic_ascending_x(False) for b in bounds)


def test_partial_continuation_and_end_to_start_joins():
    profile = Polyline(pts((0, 0), (10, 0)))
    onward = Polyline(pts((6, 0), (10, 0), (10, 5)))
    assert xy(profile.combine_with(onward).points) == [(0, 0), (10, 0), (10, 5)]
    assert xy(Polyline([]).combine_with(onward).points) == xy(onward.points)
    assert xy(profile.combine_with(Polyline(pts((10, 0), (12, 1)))).points) == [(0, 0), (10, 0), (12, 1)]
    assert xy(profile.combine_with(Polyline(pts((11, 0), (12, 1)))).points) == [(0, 0), (10, 0), (11, 0), (12, 1)]


# Polygons and scene values

@pytest.mark.parametrize("points", [
    pts((0, 0), (1, 1)),
    pts((0, 0), (1, 1), (0, 0), (1, 1.0000001)),
    pts((0, 0), (5, 0), (10, 0)),
    pts((0, 0), (5, 1e-9), (10, 0), (5, 0)),
], ids=["two-points", "two-distinct", "collinear", "sliver"])
def test_polygon_refuses_degenerate_outlines(points):
    with pytest.raises(ValueError, match="polygon"):
        Polygon(points)


def test_polygon_points_centroid_and_material():
    square = Polygon(pts((0, 0), (2, 0), (2, 2), (0, 2)))
    assert square.material is None
    assert xy(square.points) == [(0, 0), (2, 0), (2, 2), (0, 2)]
    assert Point(*square.centroid) == Point(1, 1)
    m = Material("soil_material", color=Color(1, 2, 3), opacity=0.5)
    square.material = m
    assert square.material is m


def test_scene_values_keep_what_they_are_given():
    line = Line(Point(0, 0, 1), Point(1, 0, 1))
    red = Material("soil_border", color=Color(255, 0, 0), metalness=0, roughness=1)
    tube = CircularExtrusion(0.05, line, material=red)
    assert (tube.diameter, tube.line, tube.material) == (0.05, line, red)
    assert (red.name, red.color, red.metalness, red.roughness, red.opacity) == ("soil_border", Color(255, 0, 0), 0, 1,
                                                                                1.0)
    inner = Group([tube])
    assert Group([inner, tube]).objects == [inner, tube]


# Behaviour of a Python class: calls, signatures, initialisation, __class__

@pytest.mark.parametrize(("call", "text"), [
    (lambda: Point(1), "Point.__init__() missing 1 required positional argument: 'y'"),
    (lambda: Point(), "Point.__init__() missing 2 required positional arguments: 'x' and 'y'"),
    (lambda: Point(1, 2, 3, 4), "Point.__init__() takes from 3 to 4 positional arguments but 5 were given"),
    (lambda: Point(1, 2, w=3), "Point.__init__() got an unexpected keyword argument 'w'"),
    (lambda: Point(1, 2, x=3), "Point.__init__() got multiple values for argument 'x'"),
    (lambda: Point("1", 2), "Point.__init__() argument 'x' must be a real number, not str"),
    (lambda: Line(Point(0, 0)), "Line.__init__() missing 1 required positional argument: 'end_point'"),
    (lambda: Line(Point(0, 0), (1, 1)), "Line.__init__() argument 'end_point' must be Point, not tuple"),
    (lambda: Polyline(), "Polyline.__init__() missing 1 required positional argument: 'points'"),
    (lambda: Polyline([]).intersections_with_x_location(0, 1),
     "Polyline.intersections_with_x_location() takes 2 positional arguments but 3 were given"),
    (lambda: Polyline([]).intersections_with_x_location(None),
     "Polyline.intersections_with_x_location() argument 'x' must be a real number, not NoneType"),
    (lambda: Polyline([]).split(point=(0, 0)), "Polyline.split() argument 'point' must be Point, not tuple"),
    (lambda: Polyline([]).is_equal_to(other=[]), "Polyline.is_equal_to() argument 'other' must be Polyline, not list"),
    (lambda: Polyline.get_lowest_or_highest_profile_x(Polyline([])),
     "Polyline.get_lowest_or_highest_profile_x() missing 1 required positional argument: 'polyline_2'"),
    (lambda: Polyline._deserialize(), "Polyline._deserialize() missing 1 required positional argument: 'data'"),
    (lambda: Polygon([], None, None), "Polygon.__init__() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: Polyline.split(Point(0, 0), Point(0, 0)),
     "descriptor 'split' for 'Polyline' objects doesn't apply to a 'Point' object"),
])
def test_wrong_calls_read_like_pythons_own_messages(call, text):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == text


def test_keywords_and_numbers_as_python_takes_them():
    from decimal import Decimal
    from fractions import Fraction

    assert Point(y=2, x=Fraction(1, 2), z=Decimal("1.5")) == Point(0.5, 2, 1.5)
    line = Polyline(points=pts((0, 0), (2, 2)))
    assert line.get_polyline_between(end_point=Point(1, 1), start_point=Point(0, 0), inclusive=0).points == []
    assert line.is_monotonic_ascending_x(strict="yes") is True  # any truth value, as a Python function takes it
    assert Point(1, 2).__eq__("other") is NotImplemented


@pytest.mark.parametrize(("callable_", "text"), [
    (Point, "(x, y, z=0.0)"),
    (Line, "(start_point, end_point)"),
    (Polyline, "(points)"),
    (Polygon, "(points, material=None)"),
    (Polyline.get_polyline_between, "(self, start_point, end_point, inclusive=True)"),
    (Polyline([]).split, "(point)"),
    (Polyline.get_lowest_or_highest_profile_x, "(polyline_1, polyline_2, lowest=True)"),
    (Polyline._deserialize, "(data)"),
])
def test_signatures_show_the_parameters(callable_, text):
    import inspect

    assert str(inspect.signature(callable_)) == text


def test_help_reads_like_a_python_class():
    import pydoc

    text = pydoc.render_doc(Polyline, renderer=pydoc.plaintext)
    assert "Polyline(points)" in text
    assert "split(self, point)\n |      The two parts before and after point" in text
    assert "function_record" not in text and "(...)" not in text


@pytest.mark.parametrize(("value", "again", "want"), [
    (Point(1, 2), (5, 6), "Point(x=5.0, y=6.0, z=0.0)"),
    (Line(Point(0, 0), Point(1, 1)), (Point(2, 2), Point(3, 3)),
     "Line(Point(x=2.0, y=2.0, z=0.0), Point(x=3.0, y=3.0, z=0.0))"),
    (Polyline(pts((0, 0), (1, 1))), ([Point(7, 7)],), "Polyline([Point(x=7.0, y=7.0, z=0.0)])"),
    (Polygon(pts((0, 0), (1, 0), (0, 1))), (pts((0, 0), (2, 0), (0, 2)),),
     "Polygon([Point(x=0.0, y=0.0, z=0.0), Point(x=2.0, y=0.0, z=0.0), Point(x=0.0, y=2.0, z=0.0)])"),
], ids=["point", "line", "polyline", "polygon"])
def test_init_again_reinitialises_a_live_value(value, again, want):
    value.__init__(*again)
    assert repr(value) == want


def test_failed_init_again_leaves_the_value_unchanged():
    line = Polyline(pts((0, 0), (1, 1)))
    with pytest.raises(TypeError):
        line.__init__([Point(2, 2), "x"])
    point = Point(1, 2)
    with pytest.raises(ValueError):
        point.__init__(math.nan, 0)
    assert xy(line.points) == [(0, 0), (1, 1)] and point == Point(1, 2)


def test_piezo_line_init_again_takes_the_new_points():
    from terrak.geo import PiezoLine

    line = PiezoLine(pts((0, 0), (10, 0)))
    PiezoLine.__init__(line, pts((0, -1), (5, -2), (10, -1)), True)
    assert line.phreatic is True and xy(line.points) == [(0, -1), (5, -2), (10, -1)]
    assert line.serialize()["points"] == Polyline(line.points).serialize()


class OtherPolyline(Polyline):
    pass


@pytest.mark.parametrize(("make", "target"), [
    (lambda: Polyline(pts((0, 0), (1, 1))), Point),
    (lambda: Point(1, 2), Polyline),
    (lambda: Line(Point(0, 0), Point(1, 1)), Polygon),
    (lambda: Polygon(pts((0, 0), (1, 0), (0, 1))), Line),
    (TransformableObject, Polyline),
    (lambda: Group([]), Point),
    (lambda: OtherPolyline([]), Polygon),
], ids=["polyline-point", "point-polyline", "line-polygon", "polygon-line", "base-polyline", "group-point",
        "subclass-polygon"])
def test_class_assignment_across_value_types_is_refused(make, target):
    value = make()
    before = type(value)
    with pytest.raises(TypeError, match="__class__ assignment: .* object layout differs"):
        value.__class__ = target
    assert type(value) is before


def test_class_assignment_between_a_value_type_and_its_subclasses_works():
    from terrak.geo import PiezoLine

    line = Polyline(pts((0, 0), (1, 1)))
    line.__class__ = OtherPolyline
    assert repr(line).startswith("OtherPolyline([") and xy(line.points) == [(0, 0), (1, 1)]
    line.__class__ = PiezoLine
    line.__class__ = Polyline
    assert line.serialize() == Polyline(pts((0, 0), (1, 1))).serialize()


@pytest.mark.parametrize("state", [None, (), (b"", None, None), (b"\x00" * 23, None), ("xyz", None),
                                   (b"\x00" * 48, None)], ids=["none", "empty", "triple", "short", "text", "two"])
def test_setstate_refuses_what_reduce_never_made(state):
    point = Point(1, 2)
    with pytest.raises(TypeError):
        point.__setstate__(state)
    assert point == Point(1, 2)


def test_setstate_refuses_non_finite_coordinates():
    _, _, (value, attributes) = Polyline(pts((0, 0))).__reduce__()
    bad = value[:8] + struct.pack("<d", math.inf) + value[16:]
    with pytest.raises(ValueError, match="finite"):
        Polyline.__new__(Polyline).__setstate__((bad, attributes))


# Stored data and tolerances: errors that name what is wrong

@pytest.mark.parametrize(("coordinate", "error", "text"), [
    (None, TypeError, "coordinate 'x' of point 1 must be a real number, not NoneType (None)"),
    ("1.5", TypeError, "coordinate 'x' of point 1 must be a real number, not str ('1.5')"),
    (10 ** 400, ValueError, "coordinate 'x' of point 1 is too large for a float: 1000000000"),
    (math.nan, ValueError, "coordinate 'x' of point 1 must be a finite number, not nan"),
], ids=["none", "numeric-text", "huge-int", "nan"])
def test_stored_coordinates_that_are_no_finite_numbers_are_named(coordinate, error, text):
    from terrak.geo import PiezoLine, SoilLayer2D

    data = {"points": [{"x": 0, "y": 0}, {"x": coordinate, "y": 1}]}
    layer = {"soil": {"name": "Sand", "color": [1, 2, 3], "properties": {}}, "top_profile": data,
             "bottom_profile": data, "properties": {}}
    for load in (lambda: Polyline._deserialize(data), lambda: PiezoLine.from_dict({"points": data, "phreatic": True}),
                 lambda: SoilLayer2D.from_dict(layer)):
        with pytest.raises(error) as exc:
            load()
        assert str(exc.value).startswith(text)


@pytest.mark.parametrize(("name", "value", "error", "text"), [
    ("ISCLOSE_RTOL", "1e-9", TypeError, "terrak.core.ISCLOSE_RTOL must be a real number, not str ('1e-9')"),
    ("ISCLOSE_ATOL", None, TypeError, "terrak.core.ISCLOSE_ATOL must be a real number, not NoneType (None)"),
    ("ISCLOSE_ATOL", -1.0, ValueError, "terrak.core.ISCLOSE_ATOL must be a finite number not below zero, not -1.0"),
    ("ISCLOSE_RTOL", math.nan, ValueError, "terrak.core.ISCLOSE_RTOL must be a finite number not below zero, not nan"),
])
def test_tolerances_that_are_no_numbers_are_named(monkeypatch, zigzag, name, value, error, text):
    monkeypatch.setattr(terrak.core, name, value)
    for use in (lambda: Point(0, 0) == Point(0, 0), lambda: zigzag.point_is_on_polyline(Point(1, 1))):
        with pytest.raises(error) as exc:
            use()
        assert str(exc.value) == text


# Extreme magnitudes: products of coordinates beyond about 1e154 overflow a double

def test_lines_crossing_at_huge_coordinates_meet():
    across = Polyline(pts((0, 1e200), (2e200, 1e200)))
    assert xy(across.intersections_with_polyline(Polyline(pts((1e200, 0), (1e200, 2e200))))) == [(1e200, 1e200)]
    rising, falling = Polyline(pts((0, -1e200), (2e200, 1e200))), Polyline(pts((0, 1e200), (2e200, -1e200)))
    assert xy(rising.intersections_with_polyline(falling)) == [(1e200, 0)]


def test_x_location_between_the_largest_coordinates_is_finite():
    hits = Polyline([Point(0, -1e308), Point(1, 1e308)]).intersections_with_x_location(0.5)
    assert xy(hits) == [(0.5, 0.0)]


def test_centroid_of_a_huge_square_is_its_middle():
    side = 1e155
    square = Polygon(pts((0, 0), (side, 0), (side, side), (0, side)))
    assert tuple(square.centroid) == pytest.approx((side / 2, side / 2, 0.0))
    widest = Polygon(pts((-1e308, -1e308), (1e308, -1e308), (1e308, 1e308), (-1e308, 1e308)))
    assert tuple(widest.centroid) == (0.0, 0.0, 0.0)


def test_init_again_while_another_thread_runs_a_kernel_on_the_line():
    import threading

    wide = [Point(float(i), float(i % 5)) for i in range(2000)]
    narrow = pts((0, 0), (10, 0))
    line, cut = Polyline(wide), Polyline(pts((3.5, -1), (3.5, 9)))
    answers, stop = set(), threading.Event()

    def cut_repeatedly():
        while not stop.is_set():
            answers.add(tuple(xy(line.intersections_with_polyline(cut))))

    worker = threading.Thread(target=cut_repeatedly)
    worker.start()
    try:
        for k in range(100):
            line.__init__(narrow if k % 2 else wide)
    finally:
        stop.set()
        worker.join()
    assert answers <= {((3.5, 3.5),), ((3.5, 0.0),)}
