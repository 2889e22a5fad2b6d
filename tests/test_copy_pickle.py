"""Every value of the modules and of the host survives copy.copy, copy.deepcopy and a pickle round
trip (every protocol, and into a fresh interpreter), holding what it held; a deep copy shares no
mutable part with the original, so changing it leaves the original as it was."""

import copy
import io
import pickle
import subprocess
import sys
from collections.abc import Mapping
from pathlib import Path

import pytest

import terrak.geo as geo
from terrak.core import Color, File
from terrak.errors import GEFParsingError
from terrak.external._strux import _StruxConnection
from terrak.external.slipcircle import SlipCircleAnalysis
from terrak.geometry import (CircularExtrusion, Group, Line, Material, Point, Polygon, Polyline,
                             TransformableObject)
from terrak.views import Label


class TaggedPolyline(Polyline):
    """A subclass whose initialiser takes other arguments than the base's."""

    def __init__(self, tag, points):
        self.tag = tag
        super().__init__(points)


class SlottedPoint(Point):
    __slots__ = ("label",)


def values():
    """id -> value: one of each kind, holding shared and nested parts as applications make them."""
    sand = geo.Soil("Sand", Color(200, 180, 90), {"gamma_wet": 20.0, "phi": [30, 32]})
    clay = geo.Soil("Clay", Color(0, 128, 0))
    layer = geo.SoilLayer(sand, 0.0, -1000.0, {"cu": 10})
    layout = geo.SoilLayout([layer, geo.SoilLayer(clay, -1000.0, -3000.0)])
    ground = Polyline([Point(0, 0), Point(5, 1), Point(10, 0)])
    middle = Polyline([Point(0, -4), Point(10, -5)])
    bottom = Polyline([Point(0, -10), Point(10, -10)])
    phreatic = geo.PiezoLine([Point(0, -1), Point(10, -2)], True)
    lower = geo.SoilLayer2D(clay, middle, bottom, {"k": 1e-8}, piezo_line_top=phreatic)
    upper = geo.SoilLayer2D(sand, ground, middle)
    tagged = TaggedPolyline("seam", [Point(0, 0), Point(1, 1)])
    tagged.notes = ["first"]
    slotted = SlottedPoint(1, 2)
    slotted.label = "corner"
    gef = geo.GEFData({"headers": {"name": "CPT", "ground_level_wrt_reference": 0.0, "height_system": "NAP",
                                   "max_measurement_depth_wrt_reference": -2000.0},
                       "measurement_data": {"elevation": [-1000.0, -2000.0], "qc": [1.0, 2.0],
                                            "Rf": [0.01, 0.02]}})
    material = Material("soil", color=Color(1, 2, 3), opacity=0.5)
    file = File.from_data(b"\x00binary\xff")
    return {
        "point": Point(1, 2, 3), "slotted-point": slotted, "line": Line(Point(0, 0), Point(1, 1)),
        "polyline": ground, "empty-polyline": Polyline([]), "tagged-polyline": tagged,
        "polygon": Polygon([Point(0, 0), Point(4, 0), Point(0, 3)], material=material),
        "transformable": TransformableObject(), "material": material,
        "group": Group([Point(0, 0), ground]), "tube": CircularExtrusion(0.1, Line(Point(0, 0), Point(0, 1))),
        "label": Label(Point(1, 1), "A", color=Color(9, 9, 9)),
        "color": Color(10, 20, 30), "file": file, "error": GEFParsingError("bad row 5"),
        "soil": sand, "undefined-soil": geo.UndefinedSoil(), "soil-layer": layer, "soil-layout": layout,
        "positional-layout": geo.PositionalSoilLayout(5.0, [layer]),
        "piezo-line": phreatic, "soil-layer-2d": lower,
        "soil-layout-2d": geo.SoilLayout2D([lower, upper], [phreatic]),
        "gef-file": geo.GEFFile("#GEFID= 1, 1, 0\n#EOH=\n"), "gef-data": gef,
        "robertson": geo.RobertsonMethod([{"name": "Robertson zone 1", "extra_property1": [1]}]),
        "table": geo.TableMethod([{"name": "Clay", "color": "0, 128, 0", "qc_min": 0, "qc_max": 1}], -1.0),
        "ic": geo.NormalizedSoilBehaviourTypeIndexMethod([{"name": "Peat", "color": "0, 0, 0"}], -1.0, 18.0),
        "slipcircle": SlipCircleAnalysis(io.BytesIO(b"input")), "strux": _StruxConnection(),
    }


VALUES = values()
IDS = list(VALUES)


def plain(value):
    """What a value holds, as data that == compares: its dictionary form where it has one, and
    every attribute and slot, down to numbers and text."""
    if isinstance(value, (str, bytes, int, float, bool, type(None))):
        return value
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, Mapping):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, io.IOBase):
        return value.getvalue()
    if isinstance(value, BaseException):
        return type(value).__qualname__, plain(value.args)
    held = {"type": f"{type(value).__module__}.{type(value).__qualname__}"}
    if hasattr(type(value), "serialize"):  # a proxy answers every public name
        held["serialized"] = plain(value.serialize())
    if isinstance(value, (Point, Line, Polygon)):
        held["repr"] = repr(value)
    if isinstance(value, Polygon):
        held["material"] = plain(value.material)
    if isinstance(value, Color):
        held["rgb"] = value.rgb
    if isinstance(value, File):
        held["data"] = value.getvalue_binary()
    held["attributes"] = plain(getattr(value, "__dict__", {}))
    for cls in type(value).__mro__:
        for slot in cls.__dict__.get("__slots__", ()):
            if slot != "_rgb" and hasattr(value, slot):
                held[slot] = plain(getattr(value, slot))
    return held


def mutable_parts(value, found=None):
    """id -> object of every mutable object reachable from the value: containers, streams and
    objects with attributes (classes, functions and modules are shared by design)."""
    found = {} if found is None else found
    if isinstance(value, (str, bytes, int, float, bool, type(None), type)) or callable(value) and not hasattr(
            value, "__dict__"):
        return found
    if id(value) in found:
        return found
    if not isinstance(value, tuple):
        found[id(value)] = value
    if isinstance(value, (list, tuple, set)):
        for item in value:
            mutable_parts(item, found)
    elif isinstance(value, Mapping):
        for item in value.values():
            mutable_parts(item, found)
    else:
        for item in getattr(value, "__dict__", {}).values():
            mutable_parts(item, found)
        if isinstance(value, Polygon):
            mutable_parts(value.material, found)
    return found


@pytest.mark.parametrize("name", IDS)
def test_copy_and_deepcopy_hold_the_same_value(name):
    value = VALUES[name]
    for duplicate in (copy.copy(value), copy.deepcopy(value)):
        assert type(duplicate) is type(value) and duplicate is not value
        assert plain(duplicate) == plain(value)


@pytest.mark.parametrize("name", IDS)
def test_deepcopy_shares_no_mutable_part(name):
    value = VALUES[name]
    duplicate = copy.deepcopy(value)
    original_parts, copied_parts = mutable_parts(value), mutable_parts(duplicate)
    shared = [type(original_parts[k]).__name__ for k in original_parts.keys() & copied_parts.keys()]
    assert shared == []


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", IDS)
def test_pickle_round_trip_in_every_protocol(name, protocol):
    if name == "slipcircle" and protocol < 2:
        pytest.skip("the input it holds, an io.BytesIO, pickles from protocol 2 on only")
    value = VALUES[name]
    back = pickle.loads(pickle.dumps(value, protocol))
    assert type(back) is type(value) and plain(back) == plain(value)


def test_changing_a_deep_copy_of_a_layout_leaves_the_original():
    layout = VALUES["soil-layout-2d"]
    before = layout.serialize()
    duplicate = copy.deepcopy(layout)
    duplicate.layers[0].soil.name = "Peat"
    duplicate.layers[0].properties["k"] = 1.0
    duplicate.piezo_lines[0].phreatic = False
    Polyline.__init__(duplicate.layers[1].top_profile, [Point(0, 9), Point(10, 9)])
    assert layout.serialize() == before
    assert duplicate.serialize() != before


def test_shared_parts_stay_shared_within_a_copy():
    # Two layers on one Soil and a line used by a layer and the layout remain one object each.
    duplicate = pickle.loads(pickle.dumps(VALUES["soil-layout-2d"]))
    assert duplicate.layers[0].piezo_line_top is duplicate.piezo_lines[0]
    layout = copy.deepcopy(VALUES["soil-layout"])
    sand = VALUES["soil"]
    assert sand is VALUES["soil-layer"].soil and layout.layers[0].soil is not sand


def test_pickles_load_in_a_fresh_interpreter(tmp_path):
    path = tmp_path / "values.pickle"
    path.write_bytes(pickle.dumps([VALUES[name] for name in IDS]))
    # The subclasses defined here are found under the name this module was imported as.
    script = (
        f"import pickle, sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
        f"values = pickle.loads(open({str(path)!r}, 'rb').read())\n"
        f"from {__name__} import plain\n"
        "sys.stdout.buffer.write(pickle.dumps([plain(v) for v in values]))\n"
    )
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, check=False)
    assert done.returncode == 0, done.stderr.decode()
    assert pickle.loads(done.stdout) == [plain(VALUES[name]) for name in IDS]
