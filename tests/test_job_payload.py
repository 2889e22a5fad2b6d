"""The job service's JSON check of payloads: the native proof for plain data and json.dumps for the
rest must accept and refuse exactly what json.dumps alone would."""

import json
import math
from collections import OrderedDict

import pytest
from hypothesis import given, strategies as st

import terrak.core as core
from terrak._jobs import payload_is_plain_json


def echo(data):
    return {"echo": True}


@pytest.fixture
def echo_job():
    core.register_job_handler("echo/", echo)
    yield lambda data: core._post_on_addon_endpoint("echo/", data)
    core.unregister_job_handler("echo/")


def json_decision(data):
    try:
        json.dumps(data, allow_nan=True)
    except (TypeError, ValueError) as error:
        return f"The payload of job 'echo/' cannot be sent as JSON: {error}"
    return None


class Number(float):
    pass


def cyclic_list():
    items = [1.0]
    items.append(items)
    return items


shared = [1.0, 2.0]

PLAIN = [
    {"cpt_data": {"measurement_data": {"qc": [1.5, math.nan, -math.inf], "n": [1, 2**80]}}},
    {1: "a", 2.5: None, True: False, None: (1, "x")},
    [shared, shared, {"again": shared}],  # shared, not cyclic
    "text",
    [],
]
NOT_PROVEN = [
    ({"a": OrderedDict(b=1)}, None),
    ({"a": Number(1.5)}, None),
    ({"a": {1, 2}}, "Object of type set is not JSON serializable"),
    ({(1, 2): "tuple key"}, "keys must be str, int, float, bool or None, not tuple"),
    ({"a": cyclic_list()}, "Circular reference detected"),
    ({"a": b"bytes"}, "Object of type bytes is not JSON serializable"),
]


@pytest.mark.parametrize("data", PLAIN)
def test_plain_payloads_are_proven_and_accepted(echo_job, data):
    assert payload_is_plain_json(data) is True
    assert echo_job(data) == {"echo": True}


@pytest.mark.parametrize(("data", "refusal"), NOT_PROVEN)
def test_other_payloads_get_json_dumps_decision(echo_job, data, refusal):
    assert payload_is_plain_json(data) is False
    assert json_decision(data) == (None if refusal is None else
                                   f"The payload of job 'echo/' cannot be sent as JSON: {refusal}")
    if refusal is None:
        assert echo_job(data) == {"echo": True}
    else:
        with pytest.raises(TypeError) as error:
            echo_job(data)
        assert str(error.value) == json_decision(data)


def test_deep_nesting_is_left_to_json(echo_job):
    deep = [1.0]
    for _ in range(100_000):
        deep = [deep]
    assert payload_is_plain_json(deep) is False
    with pytest.raises(RecursionError):
        echo_job(deep)


def test_replaced_json_dumps_is_used(echo_job, monkeypatch):
    calls = []

    def refusing_dumps(data, **options):
        calls.append(data)
        raise ValueError("refused by the replacement")

    monkeypatch.setattr(json, "dumps", refusing_dumps)
    with pytest.raises(TypeError, match="refused by the replacement"):
        echo_job({"plain": [1.0]})
    assert calls == [{"plain": [1.0]}]


scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=3),
                    st.builds(Number, st.floats()), st.sets(st.integers(), max_size=2), st.binary(max_size=2))
keys = st.one_of(st.text(max_size=3), st.integers(), st.floats(), st.none(), st.tuples(st.integers()))
payloads = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.tuples(inner, inner), st.dictionaries(keys, inner, max_size=4),
    st.builds(OrderedDict, st.dictionaries(st.text(max_size=2), inner, max_size=3))), max_leaves=12)


@given(payloads)
def test_check_decides_as_json_dumps(data):
    core.register_job_handler("echo/", echo)
    try:
        try:
            core._post_on_addon_endpoint("echo/", data)
            decision = None
        except TypeError as error:
            decision = str(error)
    finally:
        core.unregister_job_handler("echo/")
    assert decision == json_decision(data)
    if payload_is_plain_json(data):
        assert decision is None
