"""The kernel against shapely where both have the same notion; integer coordinates keep both sides
exact, so any difference is a fault and not rounding."""

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from shapely.geometry import LineString
from shapely.geometry import Point as ShapelyPoint
from shapely.ops import linemerge, substring

from terrak.geometry import Point, Polyline

settings.register_profile("geometry", max_examples=150, deadline=None)
settings.load_profile("geometry")


def xy(points):
    return [(p.x, p.y) for p in points]


def flat(points):
    return [c for p in points for c in (p.x, p.y)]


@st.composite
def profiles(draw, strict=True):
    """Points with ascending x (a ground or layer profile)."""
    n = draw(st.integers(2, 7))
    xs = sorted(draw(st.lists(st.integers(-20, 20), min_size=n, max_size=n, unique=strict)))
    ys = draw(st.lists(st.integers(-20, 20), min_size=n, max_size=n))
    points = [Point(x, y) for x, y in zip(xs, ys)]
    assume(len({(p.x, p.y) for p in points}) >= 2)
    return points


@st.composite
def lines(draw):
    """Any polyline without repeated consecutive points."""
    coords = draw(st.lists(st.tuples(st.integers(-10, 10), st.integers(-10, 10)), min_size=2, max_size=7))
    coords = [c for k, c in enumerate(coords) if k == 0 or c != coords[k - 1]]
    assume(len(coords) >= 2)
    return [Point(x, y) for x, y in coords]


@given(profiles(), profiles())
def test_intersections_match_shapely(a, b):
    hit = LineString(xy(a)).intersection(LineString(xy(b)))
    assume(hit.is_empty or hit.geom_type in ("Point", "MultiPoint"))  # shared stretches: own test
    want = sorted([] if hit.is_empty else getattr(hit, "geoms", [hit]), key=LineString(xy(a)).project)
    got = Polyline(a).intersections_with_polyline(Polyline(b))
    assert flat(got) == pytest.approx([c for p in want for c in (p.x, p.y)])


@given(lines(), lines())
def test_intersections_hold_every_meeting_point_once(a, b):
    """Also with shared stretches: the ends of each shared stretch and every isolated meeting
    point, each once, all lying on both lines."""
    got = Polyline(a).intersections_with_polyline(Polyline(b))
    shared = LineString(xy(a)).intersection(LineString(xy(b)))
    parts = [] if shared.is_empty else list(getattr(shared, "geoms", [shared]))
    want = set()
    for part in parts:
        if part.geom_type == "Point":
            want.add((part.x, part.y))
    stretches = [p for p in parts if p.geom_type == "LineString"]
    if stretches:
        merged = linemerge(stretches)
        for s in getattr(merged, "geoms", [merged]):
            want.add(s.coords[0])
            want.add(s.coords[-1])
    got_set = {(round(p.x, 9), round(p.y, 9)) for p in got}
    assert len(got_set) == len(got)  # no duplicates
    assert {(round(x, 9), round(y, 9)) for x, y in want} <= got_set
    la, lb = LineString(xy(a)), LineString(xy(b))
    assert all(la.distance(ShapelyPoint(p.x, p.y)) < 1e-9 and lb.distance(ShapelyPoint(p.x, p.y)) < 1e-9 for p in got)


@given(lines(), lines())
def test_overlaps_match_shapely(a, b):
    # A line that runs back over itself meets a shared stretch once per pass; shapely's set
    # intersection counts it once.
    assume(LineString(xy(a)).is_simple)
    shared = LineString(xy(a)).intersection(LineString(xy(b)))
    parts = [] if shared.is_empty else list(getattr(shared, "geoms", [shared]))
    stretches = [p for p in parts if p.geom_type == "LineString"]
    want_length = sum(s.length for s in stretches)
    got = Polyline(a).find_overlaps(Polyline(b))
    assert sum(LineString(xy(s.points)).length for s in got) == pytest.approx(want_length)
    line_a = LineString(xy(a))
    for stretch in got:
        coords = xy(stretch.points)
        if not line_a.is_closed:  # a ring's end point projects to its start
            positions = [line_a.project(ShapelyPoint(c)) for c in coords]
            assert positions == sorted(positions)  # in the direction of self
        assert all(LineString(xy(b)).distance(ShapelyPoint(c)) < 1e-9 for c in coords)


@given(lines(), st.integers(-10, 10), st.integers(-10, 10))
def test_point_on_polyline_matches_shapely(a, x, y):
    assert Polyline(a).point_is_on_polyline(Point(x, y)) == (LineString(xy(a)).distance(ShapelyPoint(x, y)) == 0)


@given(profiles(), profiles(), st.booleans(), st.lists(st.integers(0, 8), min_size=1, max_size=9))
def test_envelope_heights_match_pointwise_min_max(a, b, lowest, eighths):
    lo, hi = max(a[0].x, b[0].x), min(a[-1].x, b[-1].x)
    assume(lo < hi)
    env = Polyline.get_lowest_or_highest_profile_x(Polyline(a), Polyline(b), lowest=lowest)
    assert env.is_monotonic_ascending_x(False)
    assert (env.start_point.x, env.end_point.x) == (lo, hi)
    pick = np.minimum if lowest else np.maximum
    for k in eighths:  # exact binary fractions: on a vertex or well away from it
        x = lo + k / 8 * (hi - lo)
        want = pick(np.interp(x, [p.x for p in a], [p.y for p in a]), np.interp(x, [p.x for p in b], [p.y for p in b]))
        got = env.intersections_with_x_location(x)
        assert got and got[0].y == pytest.approx(want, abs=1e-9)
    # Every vertex of the envelope lies on one of the profiles.
    assert all(Polyline(a).point_is_on_polyline(p) or Polyline(b).point_is_on_polyline(p) for p in env.points)


@given(lines(), st.floats(0, 1), st.floats(0, 1))
def test_polyline_between_matches_shapely_substring(a, f1, f2):
    line = LineString(xy(a))
    assume(line.is_simple)
    d1, d2 = sorted((f1 * line.length, f2 * line.length))
    p1, p2 = line.interpolate(d1), line.interpolate(d2)
    assume(line.project(p1) == pytest.approx(d1) and line.project(p2) == pytest.approx(d2))
    got = Polyline(a).get_polyline_between(Point(p1.x, p1.y), Point(p2.x, p2.y), True)
    want = substring(line, d1, d2)
    if Point(p1.x, p1.y) == Point(p2.x, p2.y):  # the same point within tolerance, coordinate by coordinate
        assert len(got.points) == 1
    else:
        # An end point within the tolerance of a vertex is snapped to it, so each end may move by
        # up to the point tolerance (about 1e-6 here).
        assert LineString(xy(got.points)).length == pytest.approx(want.length, abs=4e-6)
        assert got.is_equal_to(Polyline([Point(x, y) for x, y in want.coords]))


@given(lines())
def test_reversing_twice_and_split_then_combine_give_the_line_back(a):
    line = Polyline(a)
    assert xy(line.get_reversed_polyline().get_reversed_polyline().points) == xy(a)
    middle = LineString(xy(a)).interpolate(0.5, normalized=True)
    first, second = line.split(Point(middle.x, middle.y))
    assert first.end_point == second.start_point == Point(middle.x, middle.y)
    assert first.combine_with(second).is_equal_to(line) or not LineString(xy(a)).is_simple


@given(profiles(), profiles(), st.sampled_from([480, 600, 900, 1015]))
def test_figures_scaled_to_huge_coordinates_give_scaled_answers(a, b, exponent):
    """Scaling by a power of two is exact, so even where products of coordinates would overflow
    the answers are those of the figure at ordinary size, scaled."""
    k = 2.0 ** exponent

    def scaled(points):
        return [Point(p.x * k, p.y * k) for p in points]

    line, other = Polyline(a), Polyline(b)
    big, big_other = Polyline(scaled(a)), Polyline(scaled(b))
    assert xy(big.intersections_with_polyline(big_other)) == xy(scaled(line.intersections_with_polyline(other)))
    assert [xy(part.points) for part in big.find_overlaps(big_other)] == [
        xy(scaled(part.points)) for part in line.find_overlaps(other)]
    if max(a[0].x, b[0].x) <= min(a[-1].x, b[-1].x):  # an x range in common
        low = Polyline.get_lowest_or_highest_profile_x(line, other, lowest=True)
        assert xy(Polyline.get_lowest_or_highest_profile_x(big, big_other, lowest=True).points) == xy(scaled(low.points))
    x = a[len(a) // 2].x + 0.5
    assert xy(big.intersections_with_x_location(x * k)) == xy(scaled(line.intersections_with_x_location(x)))
