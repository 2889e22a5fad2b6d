"""The soil model's fast paths against the general ones: the results must be the same objects,
types, key orders and errors whichever path runs."""

import decimal
import math

import munch
import pytest
from hypothesis import given, settings, strategies as st

import terrak.geo as geo
from terrak.core import Color
from terrak.geo import Soil, SoilLayer, SoilLayout

RED = Color(255, 0, 0)


def same_graph(got, want, pairs=None):
    """True when two object graphs have the same shape: equal plain values (the very objects),
    containers of the same types with the same key order, and an object met twice on one side
    met twice on the other (shared sub-objects and cycles alike)."""
    pairs = {} if pairs is None else pairs
    if id(want) in pairs:
        return pairs[id(want)] is got
    if type(got) is not type(want):
        return False
    pairs[id(want)] = got
    if isinstance(want, dict):
        return list(got) == list(want) and all(same_graph(got[k], want[k], pairs) for k in want)
    if isinstance(want, (list, tuple)):
        return len(got) == len(want) and all(same_graph(g, w, pairs) for g, w in zip(got, want))
    return got is want


plain = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=3))
keys = st.one_of(st.text(max_size=3), st.integers(-3, 3))
nested = st.recursive(plain, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.tuples(inner, inner), st.dictionaries(keys, inner, max_size=3)), max_leaves=12)


def converted(data):
    """(munchify through a Soil, the same by munch itself)."""
    return Soil("Sand", RED, data).properties, munch.munchify(data)


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(keys, nested, max_size=4))
def test_munchify_and_unmunchify_match_munch(data):
    got, want = converted(data)
    assert same_graph(got, want)
    soil = Soil("Sand", RED)
    soil.properties = want
    assert same_graph(soil.serialize()["properties"], munch.unmunchify(want))


def shared_and_cyclic():
    inner = {"a": 1}
    looped = {"x": [1.5]}
    looped["x"].append(looped)
    listed = [1]
    tupled = ([2], {"k": "v"})
    tupled[0].append(tupled)
    return {
        "shared": {"first": inner, "second": inner, "in list": [inner, inner]},
        "cycle": looped,
        "same list twice in a tuple": {"t": (listed, listed)},
        "cycle through a tuple": {"t": tupled},
        "munch inside": {"m": munch.Munch(b=munch.Munch(c=[1]))},
        "empty": {},
    }


@pytest.mark.parametrize("name", list(shared_and_cyclic()))
def test_munchify_keeps_sharing_cycles_and_tuple_quirks(name):
    data = shared_and_cyclic()[name]
    got, want = converted(data)
    assert same_graph(got, want)
    soil = Soil("Sand", RED)
    soil.properties = want
    assert same_graph(soil.serialize()["properties"], munch.unmunchify(want))


class Key(str):
    pass


def nest(depth):
    value = [1]
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize("data", [
    {"d": decimal.Decimal("1.5")},
    {Key("k"): 1},
    {"ordered": munch.DefaultMunch(None, {"a": 1})},
    {"sub": type("Sub", (dict,), {})(a=1)},
    {"deep": nest(150)},
], ids=["decimal", "str-subclass-key", "default-munch", "dict-subclass", "deep"])
def test_values_the_fast_path_leaves_to_munch_convert_as_munch_does(data):
    got, want = converted(data)
    assert same_graph(got, want)


def test_replaced_munchify_and_unmunchify_are_called(monkeypatch):
    calls = []

    def my_munchify(value):
        calls.append(("munchify", value))
        return munch.munchify(value)

    def my_unmunchify(value):
        calls.append(("unmunchify", value))
        return {"replaced": True}

    monkeypatch.setattr(geo, "munchify", my_munchify)
    monkeypatch.setattr(geo, "unmunchify", my_unmunchify)
    layer = SoilLayer(Soil("Sand", RED), 0, -1, {"a": 1})
    assert [name for name, _ in calls] == ["munchify", "munchify"]
    assert layer.serialize()["properties"] == {"replaced": True}


def test_a_changed_munch_class_takes_the_general_path(monkeypatch):
    seen = []

    def update(self, *args, **kwargs):
        seen.append(args)
        for key, value in dict(*args, **kwargs).items():
            self[key] = value

    monkeypatch.setattr(munch.Munch, "update", update)
    assert Soil("Sand", RED, {"a": {"b": 1}}).properties == {"a": {"b": 1}}
    assert len(seen) == 4  # Munch({}) and the filling update, for each of the two dictionaries


# --- Soil members reached directly while they are the module's own --------------------------------

def test_overridden_members_are_used():
    class Thick(SoilLayer):
        @property
        def thickness(self):
            return 10.0  # never thin: nothing is filtered

    class Loose(Soil):
        def __eq__(self, other):
            return False  # never the same soil: nothing is merged

    soil = Soil("Sand", RED)
    layers = [Thick(soil, 0.0, -0.1), Thick(soil, -0.1, -0.2)]
    assert SoilLayout(layers).filter_layers_on_thickness(0.5).layers == layers
    loose = [SoilLayer(Loose("Sand", RED), 0.0, -1.0), SoilLayer(Loose("Sand", RED), -1.0, -2.0)]
    layout = SoilLayout(list(loose))
    layout.update_layers()
    assert layout.layers == loose


def test_instance_and_class_replacements_of_serialize_are_called(monkeypatch):
    layer = SoilLayer(Soil("Sand", RED), 0, -1)
    layer.serialize = lambda: "own"
    assert SoilLayout([layer]).serialize() == {"layers": ["own"]}
    monkeypatch.setattr(Soil, "serialize", lambda self: "soil")
    assert SoilLayer(Soil("Sand", RED), 0, -1).serialize()["soil"] == "soil"
    monkeypatch.setattr(Soil, "color", property(lambda self: Color(0, 0, 1)))
    monkeypatch.undo()
    monkeypatch.setattr(Soil, "color", property(lambda self: Color(0, 0, 1)))
    assert Soil("Sand", RED).serialize()["color"] == (0, 0, 1)


def test_replaced_initialisers_and_from_dict_are_called(monkeypatch):
    made = []
    original = SoilLayer.__init__

    def init(self, *args):
        made.append(args[1:3])
        original(self, *args)

    monkeypatch.setattr(SoilLayer, "__init__", init)
    soil = Soil("Sand", RED)
    layout = SoilLayout([SoilLayer(soil, 0.0, -0.2), SoilLayer(soil, -0.2, -2.0)])
    made.clear()
    layout.filter_layers_on_thickness(0.5)
    assert made == [(0.0, -2.0)]  # the replacement layer, made through the class's current __init__
    made.clear()
    SoilLayout.from_dict(layout.serialize())
    assert made == [(0.0, -2.0)]
    monkeypatch.setattr(Soil, "from_dict", classmethod(lambda cls, d: "replaced"))
    assert SoilLayer.from_dict(layout.layers[0].serialize()).soil == "replaced"


@pytest.mark.parametrize("level", [decimal.Decimal, int, float], ids=["decimal", "int", "float"])
def test_levels_of_any_number_type_merge_as_python_computes(level):
    soil = Soil("Sand", RED)
    layout = SoilLayout([SoilLayer(soil, level(0), level(-10), {"a": 5}), SoilLayer(soil, level(-10), level(-50), {"a": 2})])
    layout.update_layers()
    expected = (level(10) * 5 + level(40) * 2) / (level(10) + level(40))
    assert layout.layers[0].properties.a == expected and type(layout.layers[0].properties.a) is type(expected)
    assert layout.layers[0].bottom_of_layer == level(-50)


def test_merging_two_layers_without_thickness_raises_python_s_error():
    soil = Soil("Sand", RED)
    layout = SoilLayout([SoilLayer(soil, 0.0, 0.0, {"a": 1.0}), SoilLayer(soil, 0.0, 0.0, {"a": 2.0})])
    with pytest.raises(ZeroDivisionError, match="float division by zero"):
        layout.update_layers()


# --- The 2D model with the host's geometry read as numbers -----------------------------------------

from terrak.geo import PositionalSoilLayout, SoilLayer2D, SoilLayout2D  # noqa: E402
from terrak.geometry import Point, Polygon, Polyline  # noqa: E402


def positional(levels_per_x):
    soils = [Soil(f"S{k}", RED) for k in range(len(levels_per_x[0]) - 1)]
    return [PositionalSoilLayout(float(x), [SoilLayer(soils[k], levels[k + 1], levels[k]) for k in range(len(soils))])
            for x, levels in enumerate(levels_per_x)]


def section_outcome():
    layouts = positional([[-10.0, -6.0, -2.0], [-9.0, -6.5, -1.0], [-11.0, -5.0, -3.0], [-10.0, -6.0, 0.5]])
    ground = Polyline([Point(0, -1.5), Point(1.5, 0.5), Point(3, -2.5)])
    layout = SoilLayout2D.from_positional_soil_layouts(layouts, ground)
    polygons = [[[(p.x, p.y) for p in polygon.points] for polygon in layer.polygons()] for layer in layout.layers]
    pieces = [piece.serialize() for piece in layout.split(Polyline([Point(-1, 0), Point(4, -12)]))]
    try:
        SoilLayer2D(Soil("X", RED), Polyline([Point(0, 0), Point(2, -1)]), Polyline([Point(0, -1), Point(2, 0)]))
        crossing = None
    except ValueError as error:
        crossing = str(error)
    return layout.serialize(), polygons, pieces, crossing


class OwnPoint(Point):
    pass


@pytest.mark.parametrize("general", [
    lambda mp: mp.setattr(geo, "Point", OwnPoint),
    lambda mp: mp.setattr("terrak.core.ISCLOSE_ATOL", decimal.Decimal("1e-6")),
    lambda mp: mp.setattr(Point, "__eq__", lambda a, b: tuple(a) == tuple(b) or Point.__ne__(a, b) is False),
], ids=["replaced-point", "decimal-tolerance", "patched-point-equality"])
def test_2d_results_match_the_host_calls(monkeypatch, general):
    fast = section_outcome()
    general(monkeypatch)
    assert section_outcome() == fast
    assert fast[3] == "Top profile lies (partly) below bottom profile of layer"


def test_isclose_follows_the_module_names(monkeypatch):
    import math
    import types

    calls = []

    def isclose(a, b, rel_tol=1e-09, abs_tol=0.0):
        calls.append((a, b))
        return math.isclose(a, b, rel_tol=rel_tol, abs_tol=abs_tol)

    gap = [PositionalSoilLayout(x, [SoilLayer(Soil("A", RED), -6.0, -10.0), SoilLayer(Soil("B", RED), -2.0, -3.0)])
           for x in (0.0, 1.0)]  # B starts 3 above the top of A
    ground = Polyline([Point(0, 0), Point(1, 0)])
    with pytest.raises(ValueError, match="not ordered from bottom to top or not continuous"):
        SoilLayout2D.from_positional_soil_layouts(gap, ground)
    # An int tolerance, read at the call, lets the check of the positional layouts pass; the gap
    # is then found between the 2D layers, whose profiles the host compares with its own tolerance.
    monkeypatch.setattr(geo, "ISCLOSE_ATOL", 5)
    later = "Bottom profile of layer 1 does not coincide with top profile of previous layer"
    with pytest.raises(ValueError, match=later):
        SoilLayout2D.from_positional_soil_layouts(gap, ground)
    monkeypatch.setattr(geo, "math", types.SimpleNamespace(isclose=isclose))
    with pytest.raises(ValueError, match=later):
        SoilLayout2D.from_positional_soil_layouts(gap, ground)
    assert (-3.0, -6.0) in calls


def spied(calls, function):
    def spy(*args, **kwargs):
        calls.append(function.__name__)
        return function(*args, **kwargs)
    return spy


def subclass_with_spied_init(base, calls):
    return type("Own" + base.__name__, (base,), {"__init__": spied(calls, base.__init__)})


@pytest.mark.parametrize("replace", [
    lambda mp, calls: mp.setattr(geo, "Point", subclass_with_spied_init(Point, calls)),
    lambda mp, calls: mp.setattr(geo, "Polyline", subclass_with_spied_init(Polyline, calls)),
    lambda mp, calls: mp.setattr(geo, "Polygon", subclass_with_spied_init(Polygon, calls)),
    lambda mp, calls: mp.setattr(Point, "__init__", spied(calls, Point.__init__)),
    lambda mp, calls: mp.setattr(Polyline, "__init__", spied(calls, Polyline.__init__)),
    lambda mp, calls: mp.setattr(Polygon, "__init__", spied(calls, Polygon.__init__)),
    lambda mp, calls: mp.setattr(Polyline, "get_polyline_between", spied(calls, Polyline.get_polyline_between)),
    lambda mp, calls: mp.setattr(Polyline, "point_is_on_polyline", spied(calls, Polyline.point_is_on_polyline)),
], ids=["geo-point", "geo-polyline", "geo-polygon", "point-init", "polyline-init", "polygon-init",
        "polyline-between", "point-on-polyline"])
def test_replaced_host_geometry_is_called_with_the_same_results(monkeypatch, replace):
    fast = section_outcome()
    calls = []
    replace(monkeypatch, calls)
    assert section_outcome() == fast
    assert calls


def test_methods_set_on_a_profile_instance_are_called():
    layout = SoilLayout2D.from_positional_soil_layouts(
        positional([[-10.0, -6.0, -2.0], [-9.0, -6.5, -1.0], [-11.0, -5.0, -3.0]]),
        Polyline([Point(0, -1.5), Point(1, 0.5), Point(2, -4.0)]))
    layer = layout.layers[-1]
    fast = [[tuple(p) for p in polygon.points] for polygon in layer.polygons()]
    calls = []
    top = layer.top_profile
    top.get_polyline_between = spied(calls, top.get_polyline_between)
    assert [[tuple(p) for p in polygon.points] for polygon in layer.polygons()] == fast
    assert calls
    top.point_is_on_polyline = spied(calls, top.point_is_on_polyline)
    calls.clear()
    SoilLayer2D(layer.soil, top, layer.bottom_profile)
    assert calls == ["point_is_on_polyline"] * len(calls) and calls


def build_with(level_type):
    levels = [[-10.0, -6.0, -2.0], [-9.0, -6.5, -1.0], [-11.0, -5.0, -3.0], [-10.0, -6.0, 0.5]]
    # One position has its levels of the given type: the profiles switch to Points part way.
    levels[2] = [level_type(v) for v in levels[2]]
    layouts = positional(levels)
    layouts[1].x = level_type(1)
    ground = Polyline([Point(0, -1.5), Point(1.5, 0.5), Point(3, -2.5)])
    return SoilLayout2D.from_positional_soil_layouts(layouts, ground).serialize()


@pytest.mark.parametrize(("level_type", "fails"), [
    (decimal.Decimal, False), (int, False), (lambda v: 2 ** 2000 if v == -3.0 else v, True)],
    ids=["decimal", "int", "huge-int"])
def test_positions_of_any_number_type_build_as_with_points(monkeypatch, level_type, fails):
    def outcome():
        try:
            return build_with(level_type)
        except OverflowError as error:
            return repr(error)

    fast = outcome()
    assert isinstance(fast, str) == fails
    monkeypatch.setattr(geo, "Point", subclass_with_spied_init(Point, []))
    assert outcome() == fast


def test_a_non_finite_level_fails_as_the_point_would(monkeypatch):
    layouts = positional([[-10.0, -6.0, -2.0], [-9.0, -6.5, math.nan]])
    ground = Polyline([Point(0, -1.5), Point(1, 0.5)])
    with pytest.raises(ValueError) as fast:
        SoilLayout2D.from_positional_soil_layouts(layouts, ground)
    monkeypatch.setattr(geo, "Point", subclass_with_spied_init(Point, []))
    with pytest.raises(ValueError) as general:
        SoilLayout2D.from_positional_soil_layouts(layouts, ground)
    assert str(fast.value) == str(general.value) == "Point coordinates must be finite numbers (no NaN or infinity)"
