import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import terrak.geo as geo
from terrak.core import Color
from terrak.geo import PositionalSoilLayout, Soil, SoilLayer, SoilLayer2D, SoilLayout2D
from terrak.geometry import Point, Polyline

FEWER = "Combine soil_layouts_2d needs at least 2 SoilLayout2D instances"
APART = "Combined soil layout 2d's have no intersection"
NOT_ONE = "Two soil layouts to combine should have exactly one intersection."


def line(*xy):
    return Polyline([Point(x, y) for x, y in xy])


SOILS = {name: Soil(name, Color(*rgb)) for name, rgb in
         [("Gravel", (90, 90, 90)), ("Sand", (200, 180, 90)), ("Clay", (120, 90, 60)), ("Fill", (150, 60, 40))]}


def horizontal_layout(levels, names, x0=0, x1=10):
    return SoilLayout2D([SoilLayer2D(SOILS[name], line((x0, top), (x1, top)), line((x0, bottom), (x1, bottom)))
                         for name, bottom, top in zip(names, levels, levels[1:])])


@pytest.fixture
def ground():
    """Sand from -10 to -5 under clay from -5 to 0, 0 <= x <= 10."""
    return horizontal_layout([-10, -5, 0], ["Sand", "Clay"])


@pytest.fixture
def embankment():
    """Fill from 0 to 2 between x = 3 and x = 7, with sloped sides."""
    return SoilLayout2D([SoilLayer2D(SOILS["Fill"], line((3, 0), (4, 2), (6, 2), (7, 0)), line((3, 0), (7, 0)))])


def thickness(layout, x):
    result = {}
    for layer in layout.layers:
        result[layer.soil.name] = result.get(layer.soil.name, 0) + layer.height_at_x(x)
    return result


def assert_valid(layout, samples=()):
    """Valid for both constructors; no layer negative at the sampled x."""
    assert SoilLayout2D(list(layout.layers)).layers == layout.layers
    for layer in layout.layers:
        SoilLayer2D(layer.soil, layer.top_profile, layer.bottom_profile)
        assert layer.left_boundary == layout.left_boundary and layer.right_boundary == layout.right_boundary
        for x in samples:
            assert layer.height_at_x(x) >= -1e-9


def names(layout):
    return [layer.soil.name for layer in layout.layers]


# Joins --------------------------------------------------------------------------------------------

@pytest.mark.parametrize("cut", [
    line((-1, -3), (11, -3)),
    line((-1, -5), (11, -5)),
    line((2, 2), (8.5, -11)),
    line((1.5, -11), (8, 2)),
    line((3, 0), (4, -7), (6, -7), (7, 0)),
    line((-1, -3), (5, -3), (5, -7), (11, -7)),
    line((5, 2), (5, -12)),
], ids=["horizontal", "along-layer-boundary", "falling", "rising", "dip", "vertical-step", "vertical"])
def test_split_then_combine_gives_the_layout_back(ground, cut):
    bottom, top = ground.split(cut)
    combined = SoilLayout2D.combine_soil_layouts_2d(bottom, top)
    samples = [0.3, 1.7, 2.9, 4.1, 5.5, 6.3, 7.7, 9.6]
    assert (combined.left_boundary, combined.right_boundary) == (0, 10)
    assert_valid(combined, samples)
    for x in samples:
        assert thickness(combined, x) == pytest.approx(thickness(ground, x), abs=1e-9)
    assert combined.bottom_profile.is_equal_to(ground.bottom_profile)
    assert combined.top_profile.is_equal_to(ground.top_profile)


def test_cut_along_a_layer_boundary_combines_to_the_same_layers(ground):
    combined = SoilLayout2D.combine_soil_layouts_2d(*ground.split(line((-1, -5), (11, -5))))
    assert names(combined) == ["Sand", "Clay"]
    for new, old in zip(combined.layers, ground.layers):
        assert new.top_profile.is_equal_to(old.top_profile) and new.bottom_profile.is_equal_to(old.bottom_profile)
        assert new.soil is old.soil


@pytest.mark.parametrize("order", ["ground-first", "embankment-first"])
def test_embankment_on_top_of_a_layout(ground, embankment, order):
    pair = (ground, embankment) if order == "ground-first" else (embankment, ground)
    combined = SoilLayout2D.combine_soil_layouts_2d(*pair)
    # The lower layout's layers come first; the fill is continued flat along the surface.
    assert names(combined) == ["Sand", "Clay", "Fill"]
    assert (combined.left_boundary, combined.right_boundary) == (0, 10)
    assert_valid(combined, [1, 3.5, 5, 6.5, 9])
    assert combined.layers[2].top_profile.is_equal_to(line((0, 0), (3, 0), (4, 2), (6, 2), (7, 0), (10, 0)))
    assert combined.layers[2].bottom_profile.is_equal_to(line((0, 0), (10, 0)))
    assert thickness(combined, 5) == pytest.approx({"Sand": 5, "Clay": 5, "Fill": 2})
    assert thickness(combined, 1) == pytest.approx({"Sand": 5, "Clay": 5, "Fill": 0})


def test_narrow_layout_on_a_wider_one_reaching_further_right(ground):
    upper = SoilLayout2D([SoilLayer2D(SOILS["Fill"], line((-2, 3), (6, 3)), line((-2, 0), (6, 0)))])
    combined = SoilLayout2D.combine_soil_layouts_2d(ground, upper)
    assert (combined.left_boundary, combined.right_boundary) == (-2, 10)
    assert names(combined) == ["Sand", "Clay", "Fill"]
    assert_valid(combined, [-1, 1, 5, 7, 9])
    # Left of the ground, its layers run along the fill's base and down its old boundary.
    assert combined.layers[0].bottom_profile.is_equal_to(line((-2, 0), (0, 0), (0, -10), (10, -10)))
    # Right of the fill, the fill runs with zero thickness along the ground's surface.
    assert combined.layers[2].top_profile.is_equal_to(line((-2, 3), (6, 3), (6, 0), (10, 0)))
    assert thickness(combined, -1) == pytest.approx({"Sand": 0, "Clay": 0, "Fill": 3})
    assert thickness(combined, 8) == pytest.approx({"Sand": 5, "Clay": 5, "Fill": 0})


@pytest.mark.parametrize("order", ["left-first", "right-first"])
def test_neighbours_sharing_a_vertical_boundary(ground, order):
    right = horizontal_layout([-8, -4, 0], ["Gravel", "Fill"], 10, 20)
    pair = (ground, right) if order == "left-first" else (right, ground)
    combined = SoilLayout2D.combine_soil_layouts_2d(*pair)
    assert (combined.left_boundary, combined.right_boundary) == (0, 20)
    assert_valid(combined, [1, 5, 9, 11, 15, 19])
    # The added layout takes the role of the top member: its layers come last.
    expected = ["Sand", "Clay", "Gravel", "Fill"] if order == "left-first" else ["Gravel", "Fill", "Sand", "Clay"]
    assert names(combined) == expected
    for x in (2, 8):
        assert thickness(combined, x) == pytest.approx({"Sand": 5, "Clay": 5, "Gravel": 0, "Fill": 0})
    for x in (12, 18):
        assert thickness(combined, x) == pytest.approx({"Sand": 0, "Clay": 0, "Gravel": 4, "Fill": 4})
    assert combined.bottom_profile.is_equal_to(line((0, -10), (10, -10), (10, -8), (20, -8)))
    assert combined.top_profile.is_equal_to(line((0, 0), (20, 0)))


def test_three_layouts_each_touching_the_union_before_it(ground, embankment):
    right = horizontal_layout([-8, 0], ["Gravel"], 10, 20)
    combined = SoilLayout2D.combine_soil_layouts_2d(ground, right, embankment)
    assert names(combined) == ["Sand", "Clay", "Gravel", "Fill"]
    assert (combined.left_boundary, combined.right_boundary) == (0, 20)
    assert thickness(combined, 5) == pytest.approx({"Sand": 5, "Clay": 5, "Gravel": 0, "Fill": 2})
    # The fold never reorders: the embankment and the right neighbour do not touch.
    with pytest.raises(ValueError) as exc:
        SoilLayout2D.combine_soil_layouts_2d(right, embankment, ground)
    assert str(exc.value) == APART


def test_combine_builds_the_class_it_is_called_on(ground, embankment):
    class Section(SoilLayout2D):
        pass

    combined = Section.combine_soil_layouts_2d(ground, embankment)
    assert type(combined) is Section and combined.piezo_lines == []
    assert type(Section._combine_top_bottom_layouts(embankment, ground)) is Section


def test_combine_leaves_its_inputs_alone(ground, embankment):
    before = [ground.serialize(), embankment.serialize()]
    layers = [ground.layers, embankment.layers]
    combined = SoilLayout2D.combine_soil_layouts_2d(ground, embankment)
    assert [ground.serialize(), embankment.serialize()] == before
    assert [ground.layers, embankment.layers] == layers and ground.layers is layers[0]
    assert all(new is not old for new, old in zip(combined.layers, ground.layers + embankment.layers))
    assert [l.soil for l in combined.layers] == [l.soil for l in ground.layers + embankment.layers]


# Refusals -----------------------------------------------------------------------------------------

@pytest.mark.parametrize(("others", "text"), [
    ([], FEWER),
    ([horizontal_layout([-10, 0], ["Sand"], 12, 20)], APART),
    ([horizontal_layout([0, 3], ["Fill"], 12, 20)], APART),
    ([horizontal_layout([0, 3], ["Fill"], 10, 20)], NOT_ONE),
], ids=["alone", "gap", "gap-above", "corner-touch"])
def test_combine_refusals(ground, others, text):
    with pytest.raises(ValueError) as exc:
        SoilLayout2D.combine_soil_layouts_2d(ground, *others)
    assert str(exc.value) == text


def test_combine_without_layouts():
    with pytest.raises(ValueError) as exc:
        SoilLayout2D.combine_soil_layouts_2d()
    assert str(exc.value) == FEWER


def test_overlapping_layouts_are_refused(ground):
    inside = horizontal_layout([-8, -2], ["Fill"], 2, 8)
    with pytest.raises(ValueError):
        SoilLayout2D.combine_soil_layouts_2d(ground, inside)


# The parts of a join --------------------------------------------------------------------------------

def test_join_calls_its_parts_in_order_through_the_namespace(ground, monkeypatch):
    upper = SoilLayout2D([SoilLayer2D(SOILS["Fill"], line((-2, 3), (6, 3)), line((-2, 0), (6, 0)))])
    calls = []
    for name in ["_loop_through_bottom_layout", "_loop_through_top_layout", "_follow_left_portion_of_top_profile",
                 "_follow_right_portion_of_top_profile", "_follow_left_portion_of_bottom_profile",
                 "_follow_right_portion_of_bottom_profile", "_follow_old_layer_profiles"]:
        def recorder(*args, _name=name, _real=getattr(geo, name)):
            calls.append(_name)
            return _real(*args)
        monkeypatch.setattr(geo, name, recorder)
    SoilLayout2D.combine_soil_layouts_2d(ground, upper)
    # Ground layers reach left along the fill; the fill layer reaches right along the ground.
    assert calls == ["_loop_through_bottom_layout",
                     "_follow_left_portion_of_top_profile", "_follow_old_layer_profiles",
                     "_follow_left_portion_of_top_profile", "_follow_old_layer_profiles",
                     "_loop_through_top_layout",
                     "_follow_old_layer_profiles", "_follow_right_portion_of_bottom_profile"]


def test_follow_old_layer_profiles_adds_the_seam_vertices(ground):
    seem = line((3, 0), (7, 0))
    bottom, top = geo._follow_old_layer_profiles(ground.layers[1], seem)
    assert bottom is ground.layers[1].bottom_profile
    assert [(p.x, p.y) for p in top.points] == [(0, 0), (3, 0), (7, 0), (10, 0)]


def test_continuations_return_bottom_and_top_pieces(ground, embankment):
    seem = line((3, 0), (7, 0))
    fill = embankment.layers[0]
    bottom, top = geo._follow_right_portion_of_bottom_profile(embankment.get_right_boundary_polyline(), ground,
                                                              fill, seem)
    assert [(p.x, p.y) for p in bottom.points] == [(7, 0), (10, 0)]
    assert [(p.x, p.y) for p in top.points] == [(7, 0), (10, 0)]
    bottom, top = geo._follow_left_portion_of_bottom_profile(embankment.get_left_boundary_polyline(), ground,
                                                             fill, seem)
    assert [(p.x, p.y) for p in bottom.points] == [(0, 0), (3, 0)]
    assert [(p.x, p.y) for p in top.points] == [(0, 0), (3, 0)]


def test_missing_connector_raises_the_index_error(ground):
    # A layer whose profiles do not start on the guide: find_overlaps has nothing to offer.
    stray = SoilLayer2D(SOILS["Fill"], line((5, 9), (8, 9)), line((5, 8), (8, 8)))
    with pytest.raises(IndexError):
        geo._follow_left_portion_of_top_profile(line((5, 8), (5, 9)), ground, stray, line((0, -10), (10, -10)))


# Property: split then combine --------------------------------------------------------------------------

@st.composite
def layouts(draw):
    n_pos = draw(st.integers(2, 4))
    xs = sorted(draw(st.lists(st.integers(0, 20), min_size=n_pos, max_size=n_pos, unique=True)))
    n_layers = draw(st.integers(1, 4))
    soils = [SOILS[name] for name in ["Gravel", "Sand", "Clay", "Fill"][:n_layers]]
    positional, tops = [], []
    for x in xs:
        level = draw(st.integers(-20, -12))
        layers = []
        for soil in soils:
            top = level + draw(st.integers(0, 4))
            layers.append(SoilLayer(soil, top, level))
            level = top
        positional.append(PositionalSoilLayout(x, layers))
        tops.append(Point(x, level))
    return SoilLayout2D.from_positional_soil_layouts(positional, Polyline(tops))


@st.composite
def cuts(draw, left, right):
    inner = draw(st.lists(st.tuples(st.integers(int(left), int(right)), st.integers(-24, 4)), max_size=3))
    ys = draw(st.lists(st.integers(-24, 4), min_size=2, max_size=2))
    points = [(left - draw(st.integers(1, 3)), ys[0])] + sorted(inner) + [(right + draw(st.integers(1, 3)), ys[1])]
    return line(*points)


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_split_then_combine_keeps_every_soil_thickness(data):
    layout = data.draw(layouts())
    cut = data.draw(cuts(layout.left_boundary, layout.right_boundary))
    pieces = layout.split(cut)
    assume(len(pieces) == 2)
    combined = SoilLayout2D.combine_soil_layouts_2d(*pieces)
    assert (combined.left_boundary, combined.right_boundary) == (layout.left_boundary, layout.right_boundary)
    width = layout.right_boundary - layout.left_boundary
    samples = [layout.left_boundary + width * f for f in (0.013, 0.21, 0.377, 0.5031, 0.69, 0.8417, 0.987)]
    assert_valid(combined)
    for x in samples:
        want, got = thickness(layout, x), thickness(combined, x)
        # A layer without thickness over a whole piece is left out of that piece: it counts as 0.
        soils = set(want) | set(got)
        assert {n: got.get(n, 0) for n in soils} == pytest.approx({n: want.get(n, 0) for n in soils}, abs=1e-6)


@st.composite
def neighbours(draw, layout):
    """An embankment resting on the layout's surface, or a block beside it."""
    left, right = int(layout.left_boundary), int(layout.right_boundary)
    kind = draw(st.sampled_from(["embankment", "right", "left"]))
    if kind == "embankment":
        a, b = sorted(draw(st.lists(st.integers(left, right), min_size=2, max_size=2, unique=True)))
        start, end = (layout.top_profile.intersections_with_x_location(x) for x in (a, b))
        bottom = layout.top_profile.get_polyline_between(start[-1], end[0], True)
        rise = draw(st.integers(1, 3))
        top = Polyline([Point(p.x, p.y + rise) for p in bottom.points])
        return SoilLayout2D([SoilLayer2D(SOILS["Fill"], top, bottom)])
    width, low = draw(st.integers(1, 10)), draw(st.integers(-25, -5))
    high = low + draw(st.integers(1, 20))
    x0, x1 = (right, right + width) if kind == "right" else (left - width, left)
    return horizontal_layout([low, high], ["Fill"], x0, x1)


def thickness_at_both_ends(layout):
    return all(layout.top_profile.intersections_with_x_location(x)[0].y >
               layout.bottom_profile.intersections_with_x_location(x)[-1].y
               for x in (layout.left_boundary, layout.right_boundary))


@settings(max_examples=100, deadline=None)
@given(st.data())
def test_combined_layout_holds_both_layouts_thicknesses(data):
    ground = data.draw(layouts())
    assume(thickness_at_both_ends(ground))
    other = data.draw(neighbours(ground))
    pair = (ground, other) if data.draw(st.booleans()) else (other, ground)
    try:
        combined = SoilLayout2D.combine_soil_layouts_2d(*pair)
    except ValueError as exc:
        # A block beside the layout whose height range misses the shared boundary touches it at most in a point.
        assert other.left_boundary in (ground.right_boundary, ground.left_boundary - (other.right_boundary -
                                                                                       other.left_boundary))
        assert str(exc) == NOT_ONE
        return
    left = min(ground.left_boundary, other.left_boundary)
    right = max(ground.right_boundary, other.right_boundary)
    assert (combined.left_boundary, combined.right_boundary) == (left, right)
    assert_valid(combined)
    for f in (0.013, 0.21, 0.377, 0.5031, 0.69, 0.8417, 0.987):
        x = left + (right - left) * f
        want = {}
        for part in (ground, other):
            if part.left_boundary < x < part.right_boundary:
                for name, value in thickness(part, x).items():
                    want[name] = want.get(name, 0) + value
        got = thickness(combined, x)
        soils = set(want) | set(got)
        assert {n: got.get(n, 0) for n in soils} == pytest.approx({n: want.get(n, 0) for n in soils}, abs=1e-6)
