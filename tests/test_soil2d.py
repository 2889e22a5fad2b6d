import types

import pytest
from munch import Munch

import terrak.geo as geo
from terrak.core import Color
from terrak.geo import (PiezoLine, PositionalSoilLayout, Soil, SoilLayer, SoilLayer2D, SoilLayout, SoilLayout2D,
                        _check_soil_layouts)
from terrak.geometry import CircularExtrusion, Group, Line, Material, Point, Polygon, Polyline
from terrak.views import Label


def line(*xy):
    return Polyline([Point(x, y) for x, y in xy])


def xy(polyline):
    return [(p.x, p.y) for p in polyline.points]


@pytest.fixture
def clay():
    return Soil("Clay", Color(120, 90, 60), {"gamma": 17})


@pytest.fixture
def sand():
    return Soil("Sand", Color(200, 180, 90))


@pytest.fixture
def stack(clay, sand):
    """Sand from -10 to -5 under clay from -5 to 0, 0 <= x <= 10."""
    bottom = SoilLayer2D(sand, line((0, -5), (10, -5)), line((0, -10), (10, -10)))
    top = SoilLayer2D(clay, line((0, 0), (10, 0)), line((0, -5), (10, -5)))
    return [bottom, top]


# PiezoLine ----------------------------------------------------------------------------------------

def test_piezo_line_is_a_flagged_polyline():
    points = [Point(0, -1), Point(10, -2)]
    assert PiezoLine(points).phreatic is False
    phreatic = PiezoLine(points, True)
    assert phreatic.serialize() == {"points": Polyline(points).serialize(), "phreatic": True}
    assert list(phreatic.serialize()) == ["points", "phreatic"]
    again = PiezoLine.from_dict(phreatic.serialize())
    assert type(again) is PiezoLine and again.phreatic is True and xy(again) == [(0, -1), (10, -2)]
    with pytest.raises(KeyError):
        PiezoLine.from_dict({"points": phreatic.serialize()["points"]})


def test_piezo_line_sets_its_flag_before_the_base_initialiser(monkeypatch):
    seen = []

    def recording_init(self, points):
        seen.append(getattr(self, "phreatic", "unset"))
        Polyline.__init__(self, points)

    monkeypatch.setattr(geo, "Polyline", types.SimpleNamespace(__init__=recording_init))
    PiezoLine([Point(0, 0), Point(1, 0)], "flag")
    assert seen == ["flag"]


a, b, c, d, m = Point(0, 0), Point(1, 1), Point(2, 0), Point(3, 3), Point(0.5, 2)


@pytest.mark.parametrize(("pieces", "expected"), [
    ([Line(a, b), Line(b, c)], [a, b, c]),
    ([Polyline([a, m, b]), Line(b, c)], [a, b, c]),
    ([Line(a, b)], [a, b]),
    ((Line(a, b), Line(b, c)), [a, b, c]),
])
def test_from_lines_joins_end_points(pieces, expected):
    piezo = PiezoLine.from_lines(pieces, phreatic=True)
    assert piezo.points == expected and piezo.phreatic is True


def test_from_lines_reports_the_piece_that_does_not_join():
    with pytest.raises(ValueError) as error:
        PiezoLine.from_lines([Line(a, b), Line(b, c), Line(d, a)])
    assert str(error.value) == "Start point of line 2 does not coincide with end point of previous line."


# SoilLayer2D --------------------------------------------------------------------------------------

@pytest.mark.parametrize(("top", "bottom", "message"), [
    (line((0, 0), (10, 0)), line((1e-12, -1), (10, -1)),
     "Top and bottom of soil layer 2D do not have identical start points. top_profile.start_point.x: 0.0, "
     "bottom_profile.start_point.x: 1e-12"),
    (line((0, 0), (10, 0)), line((0, -1), (9.5, -1)),
     "Top and bottom of soil layer 2D do not have identical end points. top_profile.end_point.x: 10.0, "
     "bottom_profile.end_point.x: 9.5"),
    (line((0, 0), (10, 0)), line((0, -1), (5, 0.5), (10, -1)), "Top profile lies (partly) below bottom profile of layer"),
], ids=["start", "end", "below"])
def test_layer_construction_checks(clay, top, bottom, message):
    with pytest.raises(ValueError) as error:
        SoilLayer2D(clay, top, bottom)
    assert str(error.value) == message


def test_layer_boundary_check_uses_relative_tolerance(clay):
    layer = SoilLayer2D(clay, line((1000, 0), (2000, 0)), line((1000.0000000001, -1), (2000, -1)))
    assert layer.left_boundary == 1000.0000000001 and layer.right_boundary == 2000


def test_layer_stores_what_it_is_given(clay):
    top, bottom = line((0, 0), (10, 0)), line((0, -1), (5, 0), (10, -1))  # touching is allowed
    piezo = PiezoLine([Point(0, -0.5), Point(10, -0.5)])
    layer = SoilLayer2D(clay, top, bottom, {"k": {"v": 1}}, piezo_line_bottom=piezo)
    assert layer.soil is clay and layer.top_profile is top and layer.bottom_profile is bottom
    assert layer.piezo_line_top is None and layer.piezo_line_bottom is piezo
    assert isinstance(layer.properties, Munch) and layer.properties.k.v == 1
    assert list(vars(layer)) == ["soil", "top_profile", "bottom_profile", "piezo_line_top", "piezo_line_bottom",
                                 "properties"]
    assert SoilLayer2D(clay, top, bottom).properties == Munch()
    assert repr(layer) == "<SoilLayer type='Clay'>"


def test_layer_round_trips(clay):
    layer = SoilLayer2D(clay, line((0, 0), (10, 0)), line((0, -1), (10, -1)), {"k": 1})
    data = layer.serialize()
    assert list(data) == ["soil", "top_profile", "bottom_profile", "properties"]
    assert type(data["properties"]) is dict
    again = SoilLayer2D.from_dict(data)
    assert again.soil == clay and again.soil is not clay and again.piezo_line_top is None
    assert xy(again.top_profile) == [(0, 0), (10, 0)] and again.properties == {"k": 1}
    with_lines = SoilLayer2D(clay, layer.top_profile, layer.bottom_profile,
                             piezo_line_top=PiezoLine([Point(0, 0), Point(10, 0)], True),
                             piezo_line_bottom=PiezoLine([Point(0, -1), Point(10, -1)]))
    data = with_lines.serialize()
    assert list(data)[-2:] == ["piezo_line_top", "piezo_line_bottom"]
    again = SoilLayer2D.from_dict(Munch(data))
    assert isinstance(again.piezo_line_top, PiezoLine) and again.piezo_line_top.phreatic is True
    del data["properties"]
    assert SoilLayer2D.from_dict(data).properties == Munch()


def test_heights_take_first_top_hit_and_last_bottom_hit(clay):
    # Both profiles step down vertically at x = 5.
    top = line((0, 0), (5, 0), (5, -2), (10, -2))
    bottom = line((0, -3), (5, -3), (5, -4), (10, -4))
    layer = SoilLayer2D(clay, top, bottom)
    assert layer.top_y_coordinate(5) == 0 and layer.bottom_y_coordinate(5) == -4
    assert layer.height_at_x(5) == 4 and layer.height_at_x(2) == 3
    with pytest.raises(IndexError):
        layer.height_at_x(11)


def test_zero_thickness_layer(clay):
    ground = line((0, 0), (10, 0))
    layer = SoilLayer2D(clay, ground, line((0, 0), (10, 0)))
    assert layer.height_at_x(3) == 0 and layer.polygons() == []


@pytest.mark.parametrize(("bottom", "count"), [
    (line((0, -1), (10, -1)), 1),
    (line((0, 0), (10, -1)), 1),
    (line((0, -1), (5, 0), (10, -1)), 2),
    (line((0, -1), (3, 0), (6, 0), (8, -1), (10, 0)), 2),
    (line((0, -1), (2, 0), (4, -1), (6, 0), (8, -1), (10, -1)), 3),
], ids=["apart", "meet-at-left", "touch-once", "shared-stretch", "touch-twice"])
def test_polygons_one_per_stretch_of_thickness(clay, bottom, count):
    layer = SoilLayer2D(clay, line((0, 0), (10, 0)), bottom)
    polygons = layer.polygons()
    assert len(polygons) == count and all(isinstance(p, Polygon) for p in polygons)


def test_polygon_outline_runs_along_top_then_back_along_bottom(clay):
    layer = SoilLayer2D(clay, line((0, 0), (5, 1), (10, 0)), line((0, -1), (10, -1)))
    [polygon] = layer.polygons()
    assert xy(polygon) == [(0, 0), (5, 1), (10, 0), (10, -1), (0, -1)]


def test_polygons_swallow_only_value_errors(clay, monkeypatch):
    layer = SoilLayer2D(clay, line((0, 0), (10, 0)), line((0, -1), (10, -1)))

    def refuse(points):
        raise ValueError("zero area")

    monkeypatch.setattr(geo, "Polygon", refuse)
    assert layer.polygons() == []

    def broken(points):
        raise RuntimeError("host failure")

    monkeypatch.setattr(geo, "Polygon", broken)
    with pytest.raises(RuntimeError):
        layer.polygons()


def test_layer_view_with_borders(clay):
    layer = SoilLayer2D(clay, line((0, 0), (5, 1), (10, 0)), line((0, -1), (10, -1)))
    group, labels = layer.visualize_geometry(visualize_border=True, opacity=0.5)
    polygon, *tubes = group.objects
    assert isinstance(group, Group) and isinstance(polygon, Polygon) and len(tubes) == 5
    assert polygon.material.name == "soil_material" and polygon.material.color is clay.color
    assert polygon.material.opacity == 0.5
    first = tubes[0]
    assert isinstance(first, CircularExtrusion) and first.diameter == 0.05
    assert first.material.name == "soil_border" and first.material.color == Color(255, 0, 0)
    assert (first.line.start_point.z, first.line.end_point.z) == (1, 1)
    assert (tubes[-1].line.end_point.x, tubes[-1].line.end_point.y) == (0, 0)  # the outline is closed
    [label] = labels
    assert isinstance(label, Label) and label.text == "Clay"
    assert (label.point.x, label.point.y) == pytest.approx(tuple(polygon.centroid)[:2])


def test_layer_view_with_given_material(clay):
    layer = SoilLayer2D(clay, line((0, 0), (10, 0)), line((0, -1), (5, 0), (10, -1)))
    material = Material("mine")
    group, labels = layer.visualize_geometry(material=material, opacity=0.1)
    assert len(group.objects) == 2 == len(labels)
    assert all(p.material is material for p in group.objects)


def test_layer_soil_updates_are_shared(clay):
    top, bottom = line((0, 0), (10, 0)), line((0, -1), (10, -1))
    first, second = SoilLayer2D(clay, top, bottom), SoilLayer2D(clay, top, bottom)
    first.update_soil_properties({"phi": 30})
    assert second.soil.properties == {"phi": 30}
    first.update_properties({"a": {"b": 2}})
    assert first.properties.a.b == 2 and second.properties == {}


# SoilLayout2D -------------------------------------------------------------------------------------

def test_layout_stores_the_given_list(stack):
    layout = SoilLayout2D(stack)
    assert layout.layers is stack and layout.piezo_lines == []
    assert list(vars(layout)) == ["left_boundary", "right_boundary", "piezo_lines", "layers"]
    assert (layout.left_boundary, layout.right_boundary) == (0, 10)
    assert layout.top_profile is stack[1].top_profile and layout.bottom_profile is stack[0].bottom_profile
    assert SoilLayout2D(stack, []).piezo_lines == []
    lines = [PiezoLine([Point(0, -1), Point(10, -1)])]
    assert SoilLayout2D(stack, lines).piezo_lines is lines


def test_single_layer_layout(stack):
    layout = SoilLayout2D(stack[:1])
    assert layout.top_profile is stack[0].top_profile


@pytest.mark.parametrize(("change", "message"), [
    (lambda layers, clay: layers.clear(), "soil layers are empty"),
    (lambda layers, clay: layers.append(SoilLayer2D(clay, line((0, 1), (11, 1)), line((0, 0), (11, 0)))),
     "Right boundary of SoilLayer2D does not match with the SoilLayout2D"),
    (lambda layers, clay: layers.append(SoilLayer2D(clay, line((-1, 1), (10, 1)), line((-1, 0), (10, 0)))),
     "Left boundary of SoilLayer2D does not match with the SoilLayout2D"),
    (lambda layers, clay: layers.append(SoilLayer2D(clay, line((0, 1), (10, 1)), line((0, 0), (5, 0.1), (10, 0)))),
     "Bottom profile of layer 2 does not coincide with top profile of previous layer"),
], ids=["empty", "right", "left", "gap"])
def test_layout_checks(stack, clay, change, message):
    change(stack, clay)
    with pytest.raises(ValueError) as error:
        SoilLayout2D(stack)
    assert str(error.value) == message


def test_piezo_lines_must_span_the_layout(stack):
    with pytest.raises(ValueError) as error:
        SoilLayout2D(stack, [PiezoLine([Point(0.5, -1), Point(10, -1)])])
    assert str(error.value) == "Not all pl lines span the entire soil layout from left to right boundary."


def test_layout_round_trip_drops_piezo_lines(stack):
    layout = SoilLayout2D(stack, [PiezoLine([Point(0, -1), Point(10, -1)], True)])
    data = layout.serialize()
    assert list(data) == ["layers"] and len(data["layers"]) == 2
    again = SoilLayout2D.from_dict(data)
    assert again.piezo_lines == [] and [layer.soil.name for layer in again.layers] == ["Sand", "Clay"]
    assert again.serialize() == data


def test_layout_view_groups_layers(stack):
    group, labels = SoilLayout2D(stack).visualize_geometry()
    assert len(group.objects) == 2 and all(isinstance(g, Group) for g in group.objects)
    assert [label.text for label in labels] == ["Sand", "Clay"]


def test_boundary_polyline_skips_zero_thickness(clay, sand):
    bottom = SoilLayer2D(sand, line((0, -5), (10, -5)), line((0, -10), (10, -10)))
    middle = SoilLayer2D(clay, line((0, -5), (10, -3)), line((0, -5), (10, -5)))  # zero thickness at x = 0
    top = SoilLayer2D(sand, line((0, 0), (10, 0)), line((0, -5), (10, -3)))
    layout = SoilLayout2D([bottom, middle, top])
    assert xy(layout.get_left_boundary_polyline()) == [(0, -10), (0, -5), (0, 0)]
    assert xy(layout.get_right_boundary_polyline()) == [(10, -10), (10, -5), (10, -3), (10, 0)]


# From one-dimensional layouts ---------------------------------------------------------------------

def positional(x, soils_and_levels):
    """Layers listed from the bottom up as (soil, bottom, top)."""
    return PositionalSoilLayout(x, [SoilLayer(soil, top, bottom) for soil, bottom, top in soils_and_levels])


def test_single_layer_under_horizontal_ground(clay):
    ground = line((0, 0), (10, 0))
    layout = SoilLayout2D.from_positional_soil_layouts(
        [positional(0, [(clay, -5, 0)]), positional(10, [(clay, -5, 0)])], ground)
    [layer] = layout.layers
    assert layer.top_profile is ground and xy(layer.bottom_profile) == [(0, -5), (10, -5)]


def test_horizontal_stack_under_kinked_ground(clay, sand):
    ground = line((0, -2), (4, 2), (10, 2))
    soil_layout = SoilLayout([SoilLayer(sand, -1, -4), SoilLayer(clay, 1, -1), SoilLayer(sand, 2, 1)])
    layout = SoilLayout2D.from_single_soil_layout(soil_layout, 0, 10, ground)
    lowest, middle, upper = layout.layers
    assert layout.top_profile is ground
    # Where the ground is below a boundary, the layers above it have zero thickness.
    assert upper.height_at_x(0) == 0 and middle.height_at_x(0) == 0 and lowest.height_at_x(0) == 2
    assert middle.height_at_x(2) == pytest.approx(1) and upper.height_at_x(2) == 0
    assert upper.height_at_x(8) == pytest.approx(1) and middle.height_at_x(8) == pytest.approx(2)
    assert [layer.soil.name for layer in layout.layers] == ["Sand", "Clay", "Sand"]
    assert upper.polygons() and len(lowest.polygons()) == 1


def test_interpolation_between_positional_layouts(clay, sand):
    layouts = [positional(0, [(sand, -10, -6), (clay, -6, 0)]), positional(10, [(sand, -10, -2), (clay, -2, 0)])]
    layout = SoilLayout2D.from_positional_soil_layouts(layouts, line((0, 0), (10, 0)))
    assert layout.layers[0].top_y_coordinate(5) == pytest.approx(-4)
    assert layout.layers[0].soil is layouts[0].layers[0].soil


def test_layers_listed_from_the_top_are_refused(clay, sand):
    top_down = SoilLayout([SoilLayer(clay, 0, -1), SoilLayer(sand, -1, -2)])
    with pytest.raises(ValueError) as error:
        SoilLayout2D.from_single_soil_layout(top_down, 0, 10, line((0, 0), (10, 0)))
    assert str(error.value) == "SoilLayout is not ordered from bottom to top or not continuous"


def test_top_profile_must_ascend(clay):
    layouts = [positional(0, [(clay, -5, 0)]), positional(10, [(clay, -5, 0)])]
    with pytest.raises(ValueError) as error:
        SoilLayout2D.from_positional_soil_layouts(layouts, line((0, 0), (6, 0), (5, 0), (10, 0)))
    assert str(error.value) == "X values of top profile points are not ascending"


@pytest.fixture
def check_cases(clay, sand):
    other_clay = Soil("Clay", Color(1, 2, 3), {"gamma": 18})

    def case(name):
        one = [(sand, -10, -5), (clay, -5, 0)]
        return {
            "single": [positional(0, one)],
            "descending": [positional(0, one), positional(10, one), positional(5, one)],
            "equal-x": [positional(0, one), positional(0, one), positional(10, one)],
            "gap": [positional(0, [(sand, -10, -6), (clay, -5, 0)]), positional(10, one)],
            "count": [positional(0, one), positional(7.5, one + [(sand, 0, 1)])],
            "layer-properties": [positional(0, one), PositionalSoilLayout(10, [
                SoilLayer(sand, -5, -10), SoilLayer(other_clay, 0, -5, {"x": 1})])],
            "soil-properties": [positional(0, one), positional(10, [(sand, -10, -5), (other_clay, -5, 0)])],
        }[name]

    return case


@pytest.mark.parametrize(("case", "message"), [
    ("single", "A SoilLayout2D needs at least 2 positional soil layouts."),
    ("descending", "X locations of positional soil layouts are not ascending."),
    ("equal-x", None),
    ("gap", "SoilLayout is not ordered from bottom to top or not continuous"),
    ("count", "Number of soil layers is not identical in all soil layouts for soil layout at 7.5"),
    ("layer-properties", "Soil layer 1 is not identical in all soil layouts"),
    ("soil-properties", "The soil in layer 1 is not identical in all soil layouts"),
])
def test_check_soil_layouts(check_cases, case, message):
    layouts = check_cases(case)
    if message is None:
        assert _check_soil_layouts(layouts) is None
        return
    with pytest.raises(ValueError) as error:
        _check_soil_layouts(layouts)
    assert str(error.value) == message
