import pytest

import terrak.geo as geo
from terrak.core import Color
from terrak.geo import PiezoLine, Soil, SoilLayer2D, SoilLayout2D
from terrak.geometry import Point, Polyline

MONOTONIC = "A SoilLayout2D can only be split by a polyline that is monotonic ascending in x direction"
INSIDE = "Start point or end point of split line lies within the soil_layout to split"
TOO_FEW = "A SoilLayout2D can only be split by a polyline that has at least 2 intersections with its boundary; {} " \
          "intersections found."


def line(*xy):
    return Polyline([Point(x, y) for x, y in xy])


def flat(*xy):
    """A horizontal profile at level y from x0 to x1."""
    (x0, x1), y = xy[:2], xy[2]
    return line((x0, y), (x1, y))


SOILS = {name: Soil(name, Color(*rgb)) for name, rgb in
         [("Gravel", (90, 90, 90)), ("Sand", (200, 180, 90)), ("Clay", (120, 90, 60))]}


def horizontal_layout(levels, names, x0=0, x1=10):
    """Horizontal layers between the given levels (bottom up), one soil name per layer."""
    return SoilLayout2D([SoilLayer2D(SOILS[name], flat(x0, x1, top), flat(x0, x1, bottom))
                         for name, bottom, top in zip(names, levels, levels[1:])])


@pytest.fixture
def stack():
    """Sand from -10 to -5 under clay from -5 to 0, 0 <= x <= 10."""
    return horizontal_layout([-10, -5, 0], ["Sand", "Clay"])


@pytest.fixture
def three():
    """Gravel -10..-8, sand -8..-5, clay -5..0, 0 <= x <= 10."""
    return horizontal_layout([-10, -8, -5, 0], ["Gravel", "Sand", "Clay"])


def thickness(layout, x):
    """Thickness per soil name at x, layers of one soil summed."""
    result = {}
    for layer in layout.layers:
        result[layer.soil.name] = result.get(layer.soil.name, 0) + layer.height_at_x(x)
    return result


def assert_valid(layout):
    """The layout's layers pass both constructors again, and no layer is ever negative."""
    assert type(SoilLayout2D(list(layout.layers))) is SoilLayout2D
    for layer in layout.layers:
        SoilLayer2D(layer.soil, layer.top_profile, layer.bottom_profile)
        for k in range(1, 8):
            x = layout.left_boundary + (layout.right_boundary - layout.left_boundary) * k / 8
            assert layer.height_at_x(x) >= -1e-9


def same_profile(a, b):
    return a.is_equal_to(b)


# Cuts ---------------------------------------------------------------------------------------------

def test_horizontal_cut_keeps_the_crossed_layer_in_both_halves(stack):
    bottom, top = stack._split_into_top_and_bottom(line((-1, -3), (11, -3)))
    assert [l.soil.name for l in bottom.layers] == ["Sand", "Clay"]
    assert [l.soil.name for l in top.layers] == ["Clay"]
    for part in (bottom, top):
        assert (part.left_boundary, part.right_boundary) == (0, 10)
        assert_valid(part)
    assert same_profile(bottom.layers[1].top_profile, flat(0, 10, -3))
    assert same_profile(top.layers[0].bottom_profile, flat(0, 10, -3))
    assert same_profile(top.layers[0].top_profile, stack.top_profile)
    assert same_profile(bottom.layers[0].bottom_profile, stack.bottom_profile)


def test_falling_cut_leaves_the_bottom_part_left_and_the_top_part_right(stack):
    # y = 2 - 2 (x - 2): enters the surface at x = 3, leaves through the base at x = 8.
    bottom, top = stack._split_into_top_and_bottom(line((2, 2), (8.5, -11)))
    assert (bottom.left_boundary, bottom.right_boundary) == (0, 8)
    assert (top.left_boundary, top.right_boundary) == (3, 10)
    for part in (bottom, top):
        assert_valid(part)
    assert thickness(bottom, 1) == pytest.approx({"Sand": 5, "Clay": 5})
    assert thickness(bottom, 6) == pytest.approx({"Sand": 4, "Clay": 0})
    assert thickness(top, 4) == pytest.approx({"Sand": 0, "Clay": 2})
    assert thickness(top, 6) == pytest.approx({"Sand": 1, "Clay": 5})
    assert thickness(top, 9) == pytest.approx({"Sand": 5, "Clay": 5})


def test_rising_cut_mirrors_the_falling_one(stack):
    bottom, top = stack._split_into_top_and_bottom(line((1.5, -11), (8, 2)))
    assert (bottom.left_boundary, bottom.right_boundary) == (2, 10)
    assert (top.left_boundary, top.right_boundary) == (0, 7)
    assert thickness(bottom, 6) == pytest.approx({"Sand": 5, "Clay": 3})
    assert thickness(top, 6) == pytest.approx({"Sand": 0, "Clay": 2})
    assert thickness(top, 1) == pytest.approx({"Sand": 5, "Clay": 5})


@pytest.mark.parametrize("cut", [
    line((3, 0), (4, -6), (6, -6), (7, 0)),
    line((2.5, 3), (4, -6), (6, -6), (7.5, 3)),
], ids=["ends-on-the-surface", "ends-above-it"])
def test_dip_from_the_surface(three, cut):
    bottom, top = three._split_into_top_and_bottom(cut)
    # The bottom part is the layout without the dipped-out region; gravel lies wholly below the dip.
    assert [l.soil.name for l in bottom.layers] == ["Gravel", "Sand", "Clay"]
    assert [l.soil.name for l in top.layers] == ["Sand", "Clay"]
    assert (bottom.left_boundary, bottom.right_boundary) == (0, 10)
    assert (top.left_boundary, top.right_boundary) == pytest.approx((3, 7))
    assert thickness(bottom, 5) == pytest.approx({"Gravel": 2, "Sand": 2, "Clay": 0})
    assert thickness(top, 5) == pytest.approx({"Sand": 1, "Clay": 5})
    assert thickness(bottom, 1) == pytest.approx({"Gravel": 2, "Sand": 3, "Clay": 5})
    for part in (bottom, top):
        assert_valid(part)


def test_bulge_from_the_base(three):
    bottom, top = three._split_into_top_and_bottom(line((3, -12), (4, -7), (6, -7), (7, -12)))
    assert [l.soil.name for l in bottom.layers] == ["Gravel", "Sand"]
    assert [l.soil.name for l in top.layers] == ["Gravel", "Sand", "Clay"]
    assert thickness(bottom, 5) == pytest.approx({"Gravel": 2, "Sand": 1})
    assert thickness(top, 5) == pytest.approx({"Gravel": 0, "Sand": 2, "Clay": 5})
    assert (top.left_boundary, top.right_boundary) == (0, 10)


def test_split_at_vertical_step(stack):
    bottom, top = stack._split_into_top_and_bottom(line((-1, -3), (5, -3), (5, -7), (11, -7)))
    for part in (bottom, top):
        assert (part.left_boundary, part.right_boundary) == (0, 10)
        assert_valid(part)
    assert thickness(bottom, 2) == pytest.approx({"Sand": 5, "Clay": 2})
    assert thickness(bottom, 8) == pytest.approx({"Sand": 3, "Clay": 0})
    assert thickness(top, 2) == pytest.approx({"Sand": 0, "Clay": 3})
    assert thickness(top, 8) == pytest.approx({"Sand": 2, "Clay": 5})
    # The step is kept in the new profiles, not smoothed into a slope.
    assert same_profile(bottom.top_profile, line((0, -3), (5, -3), (5, -7), (10, -7)))


def test_cut_along_a_layer_boundary_separates_the_layers(stack):
    bottom, top = stack._split_into_top_and_bottom(line((-1, -5), (11, -5)))
    assert [l.soil.name for l in bottom.layers] == ["Sand"]
    assert [l.soil.name for l in top.layers] == ["Clay"]
    assert same_profile(bottom.layers[0].top_profile, stack.layers[0].top_profile)
    assert same_profile(top.layers[0].bottom_profile, stack.layers[1].bottom_profile)


def test_vertical_cut_makes_left_and_right_parts(stack):
    bottom, top = stack._split_into_top_and_bottom(line((5, 2), (5, -12)))
    assert (bottom.left_boundary, bottom.right_boundary) == (0, 5)
    assert (top.left_boundary, top.right_boundary) == (5, 10)
    assert thickness(bottom, 2) == thickness(top, 8) == pytest.approx({"Sand": 5, "Clay": 5})


# End points on the boundary: a crossing count on the vertical through the point would call these
# inside (a boundary polyline with a point per layer, or a point on the surface itself).
@pytest.mark.parametrize("cut", [
    line((0, 1), (5, -3), (11, -3)),
    line((0, -7), (11, -7)),
    line((-1, -3), (10, -3)),
    line((3, 0), (4, -2), (6, -2), (7, 0)),
], ids=["above-left-corner", "on-left-boundary", "on-right-boundary", "on-surface"])
def test_split_with_end_points_on_the_boundary(stack, cut):
    result = stack.split(cut)
    assert len(result) == 2
    for part in result:
        assert_valid(part)


def test_cut_through_two_corners(stack):
    bottom, top = stack._split_into_top_and_bottom(line((-1, 1), (11, -11)))
    assert thickness(bottom, 2) == pytest.approx({"Sand": 5, "Clay": 3})
    assert thickness(top, 2) == pytest.approx({"Sand": 0, "Clay": 2})
    assert thickness(top, 8) == pytest.approx({"Sand": 3, "Clay": 5})


# Refusals -----------------------------------------------------------------------------------------

@pytest.mark.parametrize(("cut", "text"), [
    (line((-1, -3), (5, -3), (4, -4), (11, -4)), MONOTONIC),
    (line((5, -3), (4, -4)), MONOTONIC),                      # also starts inside: monotony first
    (line((5, -3), (11, -3)), INSIDE),
    (line((5, -3), (6, -3)), INSIDE),                         # also no meeting point: the ends first
    (line((-1, -3), (5, -3)), INSIDE),
    (line((-1, 5), (11, 5)), TOO_FEW.format(0)),
    (line((11, -3), (12, -3)), TOO_FEW.format(0)),
    (line((-1, -3), (0, -3)), TOO_FEW.format(1)),
], ids=["decreasing", "decreasing-inside", "start-inside", "start-inside-misses", "end-inside", "above",
        "beside", "touches-once"])
def test_split_refusals(stack, cut, text):
    assert_refused_and_kept(stack, cut, text)


def assert_refused_and_kept(stack, cut, text):
    """The cut is refused with `text`, and split() keeps the layout whole and unchanged."""
    before = stack.serialize()
    with pytest.raises(ValueError) as exc:
        stack._split_into_top_and_bottom(cut)
    assert str(exc.value) == text
    result = stack.split(cut)
    assert len(result) == 1 and result[0] is stack
    assert stack.serialize() == before


def test_split_keeps_the_piece_on_a_value_error_of_any_origin(stack):
    along_base = line((-1, -10), (11, -10))
    with pytest.raises(ValueError, match="soil layers are empty"):
        stack._split_into_top_and_bottom(along_base)
    assert stack.split(along_base)[0] is stack


ZERO_WIDTH = "A SoilLayout2D can only be split by a polyline that divides it; a line along its left or right " \
             "boundary leaves a piece of no width"


@pytest.mark.parametrize("cut", [
    line((0, -12), (0, 2)),
    line((0, -10), (0, 0)),
    line((10, -12), (10, 2)),
    line((10, -12), (10, -5), (10, 2)),
], ids=["left-beyond-both-ends", "left-corner-to-corner", "right", "right-with-vertex-on-layer-boundary"])
def test_split_along_left_or_right_boundary(stack, cut):
    assert_refused_and_kept(stack, cut, ZERO_WIDTH)


def test_split_along_a_boundary_between_real_cuts_makes_no_zero_width_piece(stack):
    result = stack.split(line((-1, -3), (11, -3)), line((10, -12), (10, 2)), line((5, 2), (5, -12)))
    assert [(p.left_boundary, p.right_boundary) for p in result] == [(0, 5), (5, 10), (0, 5), (5, 10)]
    combined = SoilLayout2D.combine_soil_layouts_2d(*result)
    assert (combined.left_boundary, combined.right_boundary) == (0, 10)


class PieceError(ValueError):
    pass


@pytest.mark.parametrize(("error", "kept"), [(PieceError, True), (ValueError, True), (TypeError, False),
                                             (KeyError, False)])
def test_split_passes_on_only_value_errors(stack, error, kept):
    class Failing(SoilLayout2D):
        def _split_into_top_and_bottom(self, polyline):
            raise error("no")

    layout = Failing(stack.layers)
    if kept:
        assert layout.split(line((-1, -3), (11, -3)))[0] is layout
    else:
        with pytest.raises(error):
            layout.split(line((-1, -3), (11, -3)))


def test_split_lets_other_errors_through(stack):
    with pytest.raises(AttributeError):
        stack.split("not a line")


# The split operation ------------------------------------------------------------------------------

def test_split_without_lines_returns_an_empty_list(stack):
    assert stack.split() == []


def test_second_cut_is_applied_to_every_piece_in_place(three):
    first_bottom, first_top = three._split_into_top_and_bottom(line((-1, -3), (11, -3)))
    result = three.split(line((-1, -3), (11, -3)), line((-1, -7), (11, -7)))
    # The second cut splits the lower piece only; the upper piece passes on, at its place, unchanged.
    assert len(result) == 3
    assert [[l.soil.name for l in piece.layers] for piece in result] == [["Gravel", "Sand"], ["Sand", "Clay"],
                                                                         ["Clay"]]
    assert same_profile(result[2].bottom_profile, first_top.bottom_profile)
    assert same_profile(result[0].top_profile, flat(0, 10, -7))


def test_crossing_cuts_make_four_pieces(stack):
    result = stack.split(line((-1, -3), (11, -3)), line((5, 2), (5, -12)))
    assert [(p.left_boundary, p.right_boundary) for p in result] == [(0, 5), (5, 10), (0, 5), (5, 10)]
    assert [thickness(p, 2.5 if i % 2 == 0 else 7.5) for i, p in enumerate(result)] == [
        pytest.approx({"Sand": 5, "Clay": 2})] * 2 + [pytest.approx({"Clay": 3})] * 2


def test_split_pieces_share_the_layer_data_and_are_plain_layouts(stack):
    piezo_top = PiezoLine([Point(0, -1), Point(10, -1)], True)
    piezo_bottom = PiezoLine([Point(0, -6), Point(10, -6)])
    clay = stack.layers[1]
    layer = SoilLayer2D(clay.soil, clay.top_profile, clay.bottom_profile, {"k": 1}, piezo_top, piezo_bottom)

    class Section(SoilLayout2D):
        pass

    layout = Section([stack.layers[0], layer], [PiezoLine([Point(0, -2), Point(10, -2)])])
    layers_before = layout.layers
    before = layout.serialize()
    pieces = layout.split(line((-1, -3), (11, -3)))
    assert [type(p) for p in pieces] == [SoilLayout2D, SoilLayout2D]
    assert all(p.piezo_lines == [] for p in pieces)
    for new in (pieces[0].layers[1], pieces[1].layers[0]):
        assert new is not layer
        # The layer constructor munchifies what it is given, so the properties arrive as an equal copy.
        assert new.soil is layer.soil and new.properties == layer.properties == {"k": 1}
        assert new.piezo_line_top is piezo_top and new.piezo_line_bottom is piezo_bottom
    assert layout.layers is layers_before and layout.serialize() == before


def test_split_reads_names_when_it_runs(stack, monkeypatch):
    made = []

    class Recording(SoilLayout2D):
        def __init__(self, layers, piezo_lines=None):
            made.append(len(layers))
            super().__init__(layers, piezo_lines)

    monkeypatch.setattr(geo, "SoilLayout2D", Recording)
    bottom, top = stack._split_into_top_and_bottom(line((-1, -3), (11, -3)))
    assert made == [2, 1] and type(bottom) is Recording and type(top) is Recording
