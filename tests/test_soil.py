import math
import types

import munch
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

import terrak.geo as geo
from terrak.core import Color
from terrak.errors import GEFParsingError
from terrak.geo import PositionalSoilLayout, Soil, SoilLayer, SoilLayout, UndefinedSoil

RED = Color(255, 0, 0)
BLACK = Color(0, 0, 0)


def levels(layout):
    return [(layer.soil.name, layer.top_of_layer, layer.bottom_of_layer) for layer in layout.layers]


# --- Soil --------------------------------------------------------------------------------------


def test_soil_keeps_name_and_colour_and_munchifies_a_copy_of_the_properties():
    given = {"a": {"b": 1}}
    soil = Soil("Sand", RED, given)
    assert soil.color is RED and soil._color is RED
    assert type(soil.properties) is munch.Munch and soil.properties.a.b == 1
    given["a"]["b"] = 2
    assert soil.properties.a.b == 1
    empty = Soil("Sand", RED)
    assert type(empty.properties) is munch.Munch and empty.properties == {}
    with pytest.raises(AttributeError):
        soil.color = BLACK


@pytest.mark.parametrize(("a", "b", "equal"), [
    (Soil("Sand", RED), Soil("Sand", BLACK, {"x": 1}), True),
    (Soil("Sand", RED), Soil("Clay", RED), False),
    (Soil(float("nan"), RED), None, False),  # compared with itself: a NaN name is not equal to itself
], ids=["same-name", "other-name", "nan-name"])
def test_soil_equality_is_equality_of_names(a, b, equal):
    b = a if b is None else b
    assert (a == b) is equal and (a != b) is (not equal)


def test_soil_is_unhashable_and_needs_a_name_to_compare():
    with pytest.raises(TypeError, match="unhashable"):
        hash(Soil("Sand", RED))
    with pytest.raises(AttributeError):
        Soil("Sand", RED) == object()


def test_soil_repr_shows_name_colour_and_plain_properties():
    assert repr(Soil("Sand", RED, {"a": 1})) == f"Soil(name=Sand, color={RED}, properties={{'a': 1}})"
    assert repr(UndefinedSoil()) == f"Soil(name=Undefined soil layer, color={BLACK}, properties={{}})"


def test_soil_serialize_gives_plain_dicts_in_key_order():
    data = Soil("Sand", RED, {"a": {"b": 1}}).serialize()
    assert list(data) == ["name", "color", "properties"]
    assert data == {"name": "Sand", "color": RED.rgb, "properties": {"a": {"b": 1}}}
    assert type(data["properties"]) is dict and type(data["properties"]["a"]) is dict


def test_soil_from_dict_round_trips_and_builds_the_called_class():
    class MySoil(Soil):
        pass

    soil = Soil("Sand", RED, {"gamma": 18})
    again = MySoil.from_dict(munch.munchify(soil.serialize()))
    assert type(again) is MySoil and again == soil and again.color == RED and again.properties == {"gamma": 18}
    assert Soil.from_dict({"name": "Clay", "color": [0, 0, 255]}).properties == {}
    with pytest.raises(TypeError):
        UndefinedSoil.from_dict(soil.serialize())


@pytest.mark.parametrize(("data", "error", "text"), [
    ({"color": 5}, KeyError, "'name'"),
    ({"name": "Sand"}, KeyError, "'color'"),
    ({"name": "Sand", "color": 5}, TypeError, "terrak.core.Color() argument after * must be an iterable, not int"),
    ({"name": "Sand", "color": [1, 2]}, TypeError, None),
], ids=["no-name-first", "no-color", "color-not-iterable", "color-rejected"])
def test_soil_from_dict_failures(data, error, text):
    with pytest.raises(error) as caught:
        Soil.from_dict(data)
    if text is not None:
        assert str(caught.value) == text


def test_soil_update_properties_replaces_everything():
    soil = Soil("Sand", RED, {"old": 1})
    soil.update_properties({"x": {"y": 2}})
    assert soil.properties == {"x": {"y": 2}} and soil.properties.x.y == 2
    soil.update_properties(None)
    assert soil.properties is None


def test_undefined_soil():
    soil = UndefinedSoil()
    assert isinstance(soil, Soil)
    assert soil.serialize() == {"name": "Undefined soil layer", "color": BLACK.rgb, "properties": {}}


# --- SoilLayer ---------------------------------------------------------------------------------


def test_layer_thickness_is_absolute_and_follows_the_levels():
    sand = Soil("Sand", RED)
    layer = SoilLayer(sand, -2, 0)
    assert layer.soil is sand and layer.thickness == 2 and SoilLayer(sand, 0, -2).thickness == 2
    layer.bottom_of_layer = -5
    assert layer.thickness == 3
    with pytest.raises(TypeError):
        SoilLayer(sand, None, 0).thickness


def test_layer_repr():
    layer = SoilLayer(Soil("Sand", RED), 0, -1.5, {"qc": 2})
    assert repr(layer) == (f"SoilLayer(soil='Soil(name=Sand, color={RED}, properties={{}})', top_of_layer=0, "
                           "bottom_of_layer=-1.5, properties={'qc': 2})")


def test_layer_serialize_and_from_dict():
    sand = Soil("Sand", RED, {"gamma": 18})
    layer = SoilLayer(sand, 0, -1.5, {"qc": {"mean": 2}})
    data = layer.serialize()
    assert list(data) == ["soil", "top_of_layer", "bottom_of_layer", "properties"]
    assert data == {"soil": sand.serialize(), "top_of_layer": 0, "bottom_of_layer": -1.5,
                    "properties": {"qc": {"mean": 2}}}
    assert type(data["properties"]["qc"]) is dict
    again = SoilLayer.from_dict(data)
    assert again.soil == sand and again.soil is not sand and type(again.soil) is Soil
    assert (again.top_of_layer, again.bottom_of_layer, again.properties.qc.mean) == (0, -1.5, 2)
    assert type(SoilLayer(sand, 0, -1).properties) is munch.Munch


@pytest.mark.parametrize("missing", ["soil", "top_of_layer", "bottom_of_layer", "properties"])
def test_layer_from_dict_reports_the_first_missing_key(missing):
    data = SoilLayer(Soil("Sand", RED), 0, -1).serialize()
    keys = list(data)
    for key in keys[keys.index(missing):]:
        del data[key]
    with pytest.raises(KeyError) as caught:
        SoilLayer.from_dict(data)
    assert caught.value.args == (missing,)


def test_layer_updates_reach_shared_soils_and_own_properties():
    sand = Soil("Sand", RED)
    first, second = SoilLayer(sand, 0, -1, {"a": 1}), SoilLayer(sand, -1, -2)
    first.update_soil_properties({"a": 1})
    assert second.soil.properties.a == 1
    first.update_properties({"b": 2})
    assert first.properties == {"b": 2} and type(first.properties) is munch.Munch
    first.update_properties(None)
    assert first.properties is None


# --- SoilLayout --------------------------------------------------------------------------------


def test_layout_keeps_the_callers_list():
    layers = [SoilLayer(Soil("Sand", RED), 0, -1)]
    layout = SoilLayout(layers)
    assert layout.layers is layers
    layout.append(SoilLayer(Soil("Clay", RED), -1, -3))
    assert len(layers) == 2 and (layout.top, layout.bottom, layout.number_of_layers) == (0, -3, 2)


def test_empty_layout():
    layout = SoilLayout([])
    assert layout.number_of_layers == 0 and repr(layout) == "SoilLayout(layers=[[]])"
    with pytest.raises(IndexError):
        layout.top
    with pytest.raises(IndexError):
        layout.bottom


def test_layout_repr_lists_quoted_layer_reprs_and_ignores_x():
    layer = SoilLayer(Soil("Sand", RED), 0, -1)
    text = f"SoilLayout(layers=[{[repr(layer)]}])"
    assert repr(SoilLayout([layer])) == text == repr(PositionalSoilLayout(3.0, [layer]))
    assert text.startswith('SoilLayout(layers=[["SoilLayer(') and text.endswith(')"]])')


def test_layout_serialize_and_from_dict_give_each_layer_its_own_soil():
    sand = Soil("Sand", RED)
    layout = SoilLayout([SoilLayer(sand, 0, -1), SoilLayer(sand, -1, -2, {"qc": 1})])
    data = layout.serialize()
    assert data == {"layers": [layer.serialize() for layer in layout.layers]}
    again = SoilLayout.from_dict(munch.munchify(data))
    assert type(again) is SoilLayout and type(again.layers) is list
    assert levels(again) == levels(layout) and again.layers[1].properties == {"qc": 1}
    assert again.layers[0].soil is not again.layers[1].soil


@pytest.mark.parametrize("wrong", ["x", 3, Soil("Sand", RED)], ids=["str", "int", "soil"])
def test_append_rejects_non_layers(wrong):
    layers = []
    with pytest.raises(GEFParsingError) as caught:
        SoilLayout(layers).append(wrong)
    assert str(caught.value) == ("SoilClassification.append: Appended object should be an instance of SoilLayer "
                                 f"but is {type(wrong).__name__}")
    assert layers == []


def test_append_accepts_layer_subclasses():
    class MyLayer(SoilLayer):
        pass

    layout = SoilLayout([])
    layout.append(MyLayer(Soil("Sand", RED), 0, -1))
    assert layout.number_of_layers == 1


def test_filter_unique_soils_keeps_the_first_of_each_name():
    sand, clay, other_sand = Soil("Sand", RED), Soil("Clay", RED), Soil("Sand", BLACK)
    layout = SoilLayout([SoilLayer(s, 0, -1) for s in (sand, clay, other_sand, clay)])
    unique = layout.filter_unique_soils()
    assert len(unique) == 2 and unique[0] is sand and unique[1] is clay


def test_update_soil_properties_from_a_frame():
    sand, clay = Soil("Sand", RED, {"old": 1}), Soil("Clay", RED, {"kept": 1})
    layout = SoilLayout([SoilLayer(sand, 0, -1), SoilLayer(clay, -1, -2), SoilLayer(Soil("Sand", RED), -2, -3)])
    frame = pd.DataFrame({"gamma": [18, 20], "name": ["Sand", "Sand"], "phi": [30.5, 31.0]})
    layout.update_soil_properties(frame)
    for layer in (layout.layers[0], layout.layers[2]):
        assert layer.soil.properties == {"gamma": 18, "phi": 30.5}
        assert list(layer.soil.properties) == ["gamma", "phi"] and type(layer.soil.properties) is munch.Munch
    assert clay.properties == {"kept": 1}


def test_update_soil_properties_without_name_column_changes_nothing():
    sand = Soil("Sand", RED, {"old": 1})
    with pytest.raises(KeyError):
        SoilLayout([SoilLayer(sand, 0, -1)]).update_soil_properties(pd.DataFrame({"gamma": [18]}))
    assert sand.properties == {"old": 1}
    SoilLayout([]).update_soil_properties(pd.DataFrame({"gamma": [18]}))


@pytest.mark.parametrize(("top_of_second", "bottom_of_first"), [
    (-1.2, -1.2),
    (-1 - 1e-7, -1),  # within the host's absolute tolerance: left alone
    (-1, -1),
], ids=["gap", "within-tolerance", "touching"])
@pytest.mark.parametrize("kind", [float, lambda value: value], ids=["floats", "as-given"])
def test_update_bottom_depth_moves_bottoms_to_the_next_top(top_of_second, bottom_of_first, kind):
    sand = Soil("Sand", RED)
    first, second = SoilLayer(sand, kind(0), kind(-1)), SoilLayer(sand, kind(top_of_second), kind(-3))
    SoilLayout([first, second])._update_bottom_depth()
    assert first.bottom_of_layer == bottom_of_first and first.top_of_layer == 0
    assert (second.top_of_layer, second.bottom_of_layer) == (top_of_second, -3)


@pytest.mark.parametrize("count", [0, 1])
def test_update_bottom_depth_on_short_layouts(count):
    layers = [SoilLayer(Soil("Sand", RED), 0, -1)][:count]
    SoilLayout(layers)._update_bottom_depth()
    assert [layer.bottom_of_layer for layer in layers] == [-1][:count]


def test_update_bottom_depth_reads_tolerances_and_math_at_each_call(monkeypatch):
    sand = Soil("Sand", RED)
    first, second = SoilLayer(sand, 0.0, -1.0), SoilLayer(sand, -1.05, -3.0)
    monkeypatch.setattr(geo, "ISCLOSE_ATOL", 0.1)
    SoilLayout([first, second])._update_bottom_depth()
    assert first.bottom_of_layer == -1.0
    seen = []
    monkeypatch.setattr(geo, "math", types.SimpleNamespace(isclose=lambda a, b, **kw: seen.append((a, b, kw))))
    SoilLayout([first, second])._update_bottom_depth()
    assert seen == [(-1.0, -1.05, {"rel_tol": geo.ISCLOSE_RTOL, "abs_tol": 0.1})] and first.bottom_of_layer == -1.05


def test_positional_layout_serialize_and_from_dict_pops_x():
    layers = [SoilLayer(Soil("Sand", RED), 0, -1)]
    layout = PositionalSoilLayout(2.5, layers)
    assert layout.layers is layers and isinstance(layout, SoilLayout)
    data = layout.serialize()
    assert list(data) == ["layers", "x"] and data["x"] == 2.5
    again = PositionalSoilLayout.from_dict(data)
    assert type(again) is PositionalSoilLayout and again.x == 2.5 and levels(again) == levels(layout)
    assert "x" not in data
    with pytest.raises(KeyError):
        PositionalSoilLayout.from_dict(data)


def test_positional_from_dict_that_fails_leaves_the_dict_as_it_was():
    data = {"x": 1.0, "layers": [{"soil": {"name": "Sand"}}]}
    with pytest.raises(KeyError):
        PositionalSoilLayout.from_dict(data)
    assert data == {"x": 1.0, "layers": [{"soil": {"name": "Sand"}}]}


# --- Merging -----------------------------------------------------------------------------------


class ListSubclass(list):
    """Takes the step-by-step path of the layout operations (their one-pass path is for plain lists)."""


@pytest.fixture(params=[list, ListSubclass], ids=["list", "list-subclass"])
def container(request):
    return request.param


def test_merge_weights_numeric_properties_by_thickness(container):
    sand = Soil("Sand", RED)
    layout = SoilLayout(container([SoilLayer(sand, 0, -10, {"A": 5, "kind": "x", "wet": True}),
                                   SoilLayer(sand, -10, -50, {"A": 2, "kind": "x", "wet": True})]))
    layers = layout.layers
    layout.update_layers()
    assert layout.layers is layers and levels(layout) == [("Sand", 0, -50)]
    assert layout.layers[0].properties == {"A": 2.6, "kind": "x", "wet": True}


def test_merge_runs_collapse_with_the_average_over_the_run(container):
    sand, clay = Soil("Sand", RED), Soil("Clay", RED)
    first = SoilLayer(sand, 0, -1, {"v": 1})
    layout = SoilLayout(container([first, SoilLayer(Soil("Sand", BLACK), -1, -3, {"v": 4}),
                                   SoilLayer(sand, -3, -4, {"v": 2}), SoilLayer(clay, -4, -5, {"v": 9}),
                                   SoilLayer(sand, -5, -6, {"v": 7})]))
    layout._merge_adjacent_same_soil_layers()
    assert levels(layout) == [("Sand", 0, -4), ("Clay", -4, -5), ("Sand", -5, -6)]
    assert layout.layers[0] is first and first.properties.v == pytest.approx((1 + 8 + 2) / 4)


def test_merge_of_integers_gives_a_float_and_keeps_equal_booleans():
    sand = Soil("Sand", RED)
    layout = SoilLayout([SoilLayer(sand, 0, -1, {"n": 2, "flag": True}), SoilLayer(sand, -1, -2, {"n": 2, "flag": True})])
    layout._merge_adjacent_same_soil_layers()
    assert layout.layers[0].properties.n == 2.0 and type(layout.layers[0].properties.n) is float
    assert layout.layers[0].properties.flag is True


@pytest.mark.parametrize(("upper", "lower", "error", "text"), [
    ({"a": 1}, {"b": 1}, AttributeError,
     "Cannot merge layers: layers do not share all properties. First layer properties: \n['a'], \n second layer "
     "properties: \n['b']"),
    ({"kind": "x"}, {"kind": "y"}, ValueError, "Cannot merge layers: values for property 'kind' do not match ('x' != 'y')."),
    ({"flag": True}, {"flag": False}, ValueError,
     "Cannot merge layers: values for property 'flag' do not match ('True' != 'False')."),
    ({"v": [1]}, {"v": [1]}, NotImplementedError,
     "Cannot merge layers: values of property 'v' are of type '<class 'list'>', which is not supported."),
    ({"v": None}, {"v": None}, NotImplementedError,
     "Cannot merge layers: values of property 'v' are of type '<class 'NoneType'>', which is not supported."),
], ids=["key-sets-differ", "text-differs", "bool-differs", "list-value", "none-value"])
def test_merge_rejects(upper, lower, error, text):
    sand = Soil("Sand", RED)
    layout = SoilLayout([SoilLayer(sand, 0, -1, upper), SoilLayer(sand, -1, -2, lower)])
    with pytest.raises(error) as caught:
        layout.update_layers()
    assert str(caught.value) == text
    assert len(layout.layers) == 2 and layout.layers[0].bottom_of_layer == -1


def test_merge_key_order_does_not_matter_and_is_shown_as_stored():
    sand = Soil("Sand", RED)
    layout = SoilLayout([SoilLayer(sand, 0, -1, {"b": 1, "a": 3}), SoilLayer(sand, -1, -2, {"a": 1, "b": 3})])
    layout.update_layers()
    assert layout.layers[0].properties == {"b": 2.0, "a": 2.0} and list(layout.layers[0].properties) == ["b", "a"]
    layout.layers.append(SoilLayer(sand, -2, -3, {"c": 1}))
    with pytest.raises(AttributeError, match=r"\n\['b', 'a'\], \n second layer properties: \n\['c'\]$"):
        layout.update_layers()


def test_failed_merge_keeps_what_was_done(container):
    sand, clay = Soil("Sand", RED), Soil("Clay", RED)
    a, b = SoilLayer(sand, 0, -1, {"x": 1}), SoilLayer(sand, -1, -2, {"x": 3})
    c, d = SoilLayer(sand, -3, -4, {"v": 1, "k": "a"}), SoilLayer(sand, -4, -5, {"v": 3, "k": "b"})
    middle = SoilLayer(clay, -2, -3)
    layout = SoilLayout(container([a, b, middle, c, d]))
    with pytest.raises(ValueError):
        layout.update_layers()
    assert [id(layer) for layer in layout.layers] == [id(a), id(middle), id(c), id(d)]
    assert a.bottom_of_layer == -2 and a.properties.x == 2.0
    assert c.properties.v == 2.0 and c.bottom_of_layer == -4  # averaged before the text property failed


def test_merge_without_properties_joins_levels_only(container):
    sand = Soil("Sand", RED)
    upper = SoilLayer(sand, 0, -1)
    upper.properties = None
    layout = SoilLayout(container([upper, SoilLayer(sand, -1, -2, {"v": 1})]))
    layout._merge_adjacent_same_soil_layers()
    assert levels(layout) == [("Sand", 0, -2)] and upper.properties is None


def test_merge_property_named_like_a_dict_method():
    sand = Soil("Sand", RED)
    layout = SoilLayout([SoilLayer(sand, 0, -1, {"values": 1, "items": "x"}),
                         SoilLayer(sand, -1, -3, {"values": 4, "items": "x"})])
    layout._merge_adjacent_same_soil_layers()
    assert layout.layers[0].properties == {"values": 3.0, "items": "x"}


def test_merge_of_zero_thick_layers_with_numbers_divides_by_zero():
    sand = Soil("Sand", RED)
    layout = SoilLayout([SoilLayer(sand, -1, -1, {"v": 1}), SoilLayer(sand, -1, -1, {"v": 2})])
    with pytest.raises(ZeroDivisionError):
        layout.update_layers()


# --- Thin-layer filtering ----------------------------------------------------------------------


@pytest.fixture
def soils():
    return {name: Soil(name, RED) for name in ("S1", "S2", "S3", "S4")}


def stack(soils, names, tops, properties=None):
    """Layers of the named soils between consecutive levels, from the top down."""
    properties = properties or [None] * len(names)
    return [SoilLayer(soils[name], top, bottom, props)
            for name, top, bottom, props in zip(names, tops, tops[1:], properties)]


@pytest.mark.parametrize(("names", "tops", "minimum", "expected"), [
    # a thin group below the minimum: the layer above grows down over it
    (["S1", "S2", "S3"], [0, -2, -2.2, -5.2], 0.5, [("S1", 0, -2.2), ("S3", -2.2, -5.2)]),
    # a thin group at the top: the layer below grows up over it
    (["S2", "S1", "S3"], [0, -0.2, -2.2, -5.2], 0.5, [("S1", 0, -2.2), ("S3", -2.2, -5.2)]),
    # a group reaching the minimum becomes its dominant soil (a tie goes to the soil met first); the next
    # thin group then extends that new layer
    (["S1", "S2", "S3", "S2", "S4"], [0, -1, -1.25, -1.5, -1.625, -3.625], 0.5,
     [("S1", 0, -1), ("S2", -1, -1.625), ("S4", -1.625, -3.625)]),
    # a layer exactly as thick as the minimum is never grouped
    (["S1", "S2", "S3"], [0, -1, -1.5, -3], 0.5, [("S1", 0, -1), ("S2", -1, -1.5), ("S3", -1.5, -3)]),
    # the dominant soil is the one with the largest total thickness, even when spread out
    (["S1", "S2", "S3", "S2", "S3", "S4"], [0, -2, -2.3, -2.7, -2.9, -3.2, -5], 1.0,
     [("S1", 0, -2), ("S3", -2, -3.2), ("S4", -3.2, -5)]),
    # a thin group after the layer that grew up at the top extends that layer again
    (["S2", "S1", "S3", "S4"], [0, -0.2, -1.2, -1.4, -3], 0.5, [("S1", 0, -1.4), ("S4", -1.4, -3)]),
    # a thin group after a dominant-soil replacement closed by a thick layer is absorbed from above
    (["S1", "S2", "S3", "S4", "S3", "S1"], [0, -1, -1.3, -1.6, -3, -3.1, -5], 0.5,
     [("S1", 0, -1), ("S2", -1, -1.6), ("S4", -1.6, -3.1), ("S1", -3.1, -5)]),
], ids=["absorbed-from-above", "absorbed-from-below", "dominant-then-extended", "exactly-minimum",
        "dominant-by-total", "top-then-extended", "dominant-then-above"])
def test_filter_layers_on_thickness(soils, container, names, tops, minimum, expected):
    layers = container(stack(soils, names, tops))
    layout = SoilLayout(layers)
    assert layout.filter_layers_on_thickness(minimum) is layout
    assert layout.layers is layers
    assert [(n, pytest.approx(t), pytest.approx(b)) for n, t, b in levels(layout)] == expected


def test_filter_shares_soils_gives_fresh_properties_and_keeps_untouched_layers(soils):
    layers = stack(soils, ["S1", "S2", "S3", "S4"], [0, -2, -2.2, -2.4, -5], [{"a": 1}, None, None, {"b": 2}])
    first, last = layers[0], layers[3]
    layout = SoilLayout(layers).filter_layers_on_thickness(0.5)
    grown, kept = layout.layers
    assert kept is last and grown is not first and first.bottom_of_layer == -2  # the replaced layer is untouched
    assert grown.soil is soils["S1"] and grown.properties == {"a": 1} and grown.properties is not first.properties


def test_filter_dominant_layer_takes_properties_of_its_thickest_layer(soils):
    layers = stack(soils, ["S1", "S2", "S3", "S2", "S2", "S4"], [0, -2, -2.125, -2.25, -2.5, -2.75, -5],
                   [None, {"p": "thin"}, None, {"p": "upper"}, {"p": "lower"}, None])
    layout = SoilLayout(layers).filter_layers_on_thickness(0.75)
    assert levels(layout) == [("S1", 0, -2), ("S2", -2, -2.75), ("S4", -2.75, -5)]
    assert layout.layers[1].properties == {"p": "upper"} and layout.layers[1].soil is soils["S2"]


@pytest.mark.parametrize(("flag", "merged"), [(False, False), (1, False), ("yes", False), (True, True)])
def test_filter_merges_afterwards_only_for_true_itself(soils, flag, merged):
    layers = stack(soils, ["S1", "S2", "S1"], [0, -2, -2.2, -4])
    layout = SoilLayout(layers).filter_layers_on_thickness(0.5, flag)
    expected = [("S1", 0, -4)] if merged else [("S1", 0, -2.2), ("S1", -2.2, -4)]
    assert levels(layout) == expected


@pytest.mark.parametrize(("minimum", "error", "text"), [
    (None, TypeError, "'min_layer_thickness' must be a real number, not NoneType"),
    ("0.5", TypeError, None),
])
def test_filter_rejects_a_bad_minimum_before_changing_anything(soils, minimum, error, text):
    layers = stack(soils, ["S1", "S2", "S3"], [0, -2, -2.2, -5])
    before = list(layers)
    with pytest.raises(error) as caught:
        SoilLayout(layers).filter_layers_on_thickness(minimum)
    if text is not None:
        assert str(caught.value) == text
    assert layers == before and [layer.bottom_of_layer for layer in layers] == [-2, -2.2, -5]


@pytest.mark.parametrize(("names", "tops", "expected"), [
    (["S1"], [0, -0.2], [("S1", 0, -0.2)]),
    (["S1", "S2", "S2"], [0, -0.1, -0.2, -0.3], [("S2", 0, -0.3)]),
], ids=["one-thin-layer", "all-thin"])
def test_filter_layout_thinner_than_the_minimum_becomes_its_dominant_soil(soils, container, names, tops, expected):
    layout = SoilLayout(container(stack(soils, names, tops)))
    layout.filter_layers_on_thickness(0.5)
    assert [(n, t, pytest.approx(b)) for n, t, b in levels(layout)] == expected


def test_filter_calls_the_module_function_as_currently_bound(soils, monkeypatch):
    original = geo._get_replacement_dict_from_soil_layer_block
    calls = []

    def spy(block, layers, minimum, replacements):
        calls.append([layer.soil.name for layer in block])
        return original(block, layers, minimum, replacements)

    monkeypatch.setattr(geo, "_get_replacement_dict_from_soil_layer_block", spy)
    layout = SoilLayout(stack(soils, ["S1", "S2", "S3", "S2", "S4"], [0, -1, -1.25, -1.5, -1.625, -3.625]))
    layout.filter_layers_on_thickness(0.5)
    assert calls == [["S2", "S3"], ["S2"]]
    assert levels(layout) == [("S1", 0, -1), ("S2", -1, -1.625), ("S4", -1.625, -3.625)]


def test_filter_keeps_replacement_values_a_colliding_key_removes(soils, monkeypatch):
    # A key whose hash equals "end_index" is compared while "end_index" is looked up, after
    # "start_index" was read; its __eq__ takes "start_index" (an int nothing else holds) out.
    original = geo._get_replacement_dict_from_soil_layer_block

    class Colliding:
        armed = False

        def __init__(self, replacement):
            self.replacement = replacement

        def __hash__(self):
            return hash("end_index")

        def __eq__(self, other):
            if Colliding.armed:
                Colliding.armed = False
                self.replacement.pop("start_index", None)
            return False

    def colliding(block, layers, minimum, replacements):
        found = original(block, layers, minimum, replacements)
        replacement = {"start_index": int(str(found["start_index"]))}
        replacement[Colliding(replacement)] = None
        replacement.update(end_index=found["end_index"], new_layer=found["new_layer"])
        Colliding.armed = True
        return replacement

    tops = [-float(k) for k in range(301)] + [-300.25, -302.0]
    names = ["S1", "S2"] * 150 + ["S3", "S4"]
    expected = SoilLayout(stack(soils, names, tops)).filter_layers_on_thickness(0.5)
    monkeypatch.setattr(geo, "_get_replacement_dict_from_soil_layer_block", colliding)
    layout = SoilLayout(stack(soils, names, tops)).filter_layers_on_thickness(0.5)
    assert len(layout.layers) == 301
    assert levels(layout) == levels(expected)


def test_replacement_dict_for_a_block(soils):
    layers = stack(soils, ["S1", "S2", "S3", "S2", "S4"], [0, -1, -1.25, -1.5, -1.625, -3.625])
    replacements = []
    first = geo._get_replacement_dict_from_soil_layer_block(layers[1:3], layers, 0.5, replacements)
    assert list(first) == ["start_index", "end_index", "new_layer"]
    assert (first["start_index"], first["end_index"]) == (1, 3) and first["new_layer"].soil is soils["S2"]
    replacements.append(first)
    second = geo._get_replacement_dict_from_soil_layer_block(layers[3:4], layers, 0.5, replacements)
    assert replacements == [] and (second["start_index"], second["end_index"]) == (1, 4)
    assert (second["new_layer"].top_of_layer, second["new_layer"].bottom_of_layer) == (-1, -1.625)
    with pytest.raises(ValueError):  # the block must be taken from the layers
        geo._get_replacement_dict_from_soil_layer_block([SoilLayer(soils["S1"], 0, -1)], layers, 0.5, [])


# --- The one-pass paths against the step-by-step ones -------------------------------------------

@st.composite
def layouts(draw):
    """Continuous layouts of a few soils with thicknesses exact in binary, some sharing text properties."""
    soils = [Soil(name, RED) for name in ("A", "B", "C")]
    count = draw(st.integers(1, 12))
    top, rows = 0.0, []
    for _ in range(count):
        thickness = draw(st.sampled_from([0.125, 0.25, 0.5, 1.0, 2.0]))
        properties = {"v": draw(st.one_of(st.integers(0, 9), st.floats(-10, 10)))}
        if draw(st.booleans()):
            properties["k"] = draw(st.sampled_from(["x", "y"]))
        rows.append((draw(st.integers(0, 2)), top, top - thickness, properties))
        top -= thickness
    return soils, rows


class SlowSoil(Soil):
    """Soils and layers of subclasses, with properties in a dict subclass: every member is reached
    through attribute lookup and every conversion through munch's own functions."""


class SlowLayer(SoilLayer):
    pass


class SlowDict(dict):
    pass


def build(data, container, members="fast"):
    soils, rows = data
    if members == "slow":
        soils = [SlowSoil(soil.name, soil.color) for soil in soils]
        return SoilLayout(container([SlowLayer(soils[s], top, bottom, SlowDict(p)) for s, top, bottom, p in rows]))
    return SoilLayout(container([SoilLayer(soils[s], top, bottom, dict(p)) for s, top, bottom, p in rows]))


def outcome(layout, operation):
    try:
        operation(layout)
        error = None
    except Exception as caught:  # the comparison covers failures too: type, text and state left
        error = (type(caught), str(caught))
    return error, [(l.soil.name, l.top_of_layer, l.bottom_of_layer, dict(l.properties or {})) for l in layout.layers]


@settings(max_examples=300, deadline=None)
@given(layouts(), st.sampled_from([0.25, 0.5, 1.0, 3.0]), st.booleans())
def test_list_and_list_subclass_give_the_same_results(data, minimum, merge):
    for operation in (lambda layout: layout.update_layers(),
                      lambda layout: layout.filter_layers_on_thickness(minimum, merge)):
        fast = outcome(build(data, list), operation)
        assert fast == outcome(build(data, ListSubclass), operation)
        assert fast == outcome(build(data, list, members="slow"), operation)


def test_module_names_are_looked_up_when_called(monkeypatch):
    class MySoil(Soil):
        pass

    class MyLayer(SoilLayer):
        pass

    monkeypatch.setattr(geo, "Soil", MySoil)
    monkeypatch.setattr(geo, "SoilLayer", MyLayer)
    layout = SoilLayout.from_dict(SoilLayout([SoilLayer(Soil("Sand", RED), 0, -1)]).serialize())
    assert type(layout.layers[0]) is MyLayer
    assert type(SoilLayer.from_dict(layout.layers[0].serialize()).soil) is MySoil
    with pytest.raises(GEFParsingError):
        layout.append(SoilLayer(Soil("Sand", RED), -1, -2))  # not an instance of the SoilLayer now bound


def test_documented_keyword_arguments():
    soil = Soil(name="Sand", color=RED, properties={"a": 1})
    layer = SoilLayer(soil=soil, top_of_layer=0, bottom_of_layer=-0.2, properties=None)
    layout = PositionalSoilLayout(x=1.0, soil_layers=[layer, SoilLayer(soil, -0.2, -2)])
    assert layout.filter_layers_on_thickness(min_layer_thickness=0.5, merge_adjacent_same_soil_layers=True) is layout
    assert levels(layout) == [("Sand", 0, -2)]
    assert Soil.from_dict(d=soil.serialize()) == soil
