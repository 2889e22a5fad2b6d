"""The soil model's fast paths against the general ones: the results must be the same objects,
types, key orders and errors whichever path runs."""

import decimal

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
