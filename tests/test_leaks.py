"""Reference and memory leaks: each public operation, repeated many times, must not grow memory.

Without a debug interpreter (``sys.gettotalrefcount``) three measures stand in: the number of
live small Python objects (``sys.getallocatedblocks``; a missing decref keeps one per call),
``tracemalloc``'s traced bytes (a kept container with its contents) and the bytes malloc has
handed out (C++ memory that is never freed; the resident set size where malloc cannot tell). The interpreter's own caches make the first calls of an
operation keep a few objects; so each operation first runs as many times as it is then
measured, caches are emptied, and the smaller growth of two equal batches is taken, which a real
leak keeps high in both. The limits lie below one object,
16 bytes per call (plus 1 KB) and 256 KB of native memory in all; `test_the_measure_sees_leaks` shows that each measure
sees a leak of that size.
"""

import base64
import ctypes
import gc
import io
import math
import sys
import tracemalloc
from contextlib import suppress
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import pytest  # noqa: E402

from terrak import _jobs  # noqa: E402
from terrak.core import Color, JobFailure  # noqa: E402
from terrak.errors import GEFParsingError  # noqa: E402
from terrak.external import _worker, external_program  # noqa: E402
from terrak.external._strux import _StruxConnection  # noqa: E402
from terrak.external.slipcircle import SlipCircleAnalysis  # noqa: E402
from terrak.geo import (GEFData, GEFFile, NormalizedSoilBehaviourTypeIndexMethod, PiezoLine,  # noqa: E402
                        PositionalSoilLayout, RobertsonMethod, Soil, SoilLayer, SoilLayer2D, SoilLayout, SoilLayout2D,
                        TableMethod, gef_visualization)
from terrak.geometry import Point, Polygon, Polyline  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "data"
PAGE = 4096

PY_BYTES_PER_CALL = 16  # a float, the smallest object a leak can keep, is 24
PY_SLACK = 1024
NATIVE_LIMIT = 256 * 1024
RSS_LIMIT = 16 * 1024 * 1024


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = MallInfo2
except AttributeError:  # not glibc 2.33 or later
    _mallinfo2 = None


def native():
    """Bytes in use from malloc (C++ new included); the resident size where malloc cannot tell,
    None under a sanitizer (which serves malloc itself and holds freed memory back for a while).

    The resident size alone misses a leak that fills memory freed earlier and kept by malloc."""
    if _mallinfo2 is None:
        return rss()
    info = _mallinfo2()
    return (info.uordblks + info.hblkhd) or None


def settle():
    # The interpreter's attribute lookup cache keeps a reference to the name of each of its last
    # few thousand lookups; a name made afresh for each lookup (attribute access from C++ by a
    # char* name) stays alive until its entry is reused. Emptying the cache, like collecting
    # cycles, leaves only what is really kept.
    sys._clear_type_cache()
    gc.collect()


def growth(op, rounds):
    """Growth over `rounds` calls after as many settling calls: (small objects, traced bytes),
    each the smaller of two batches; native bytes over both; total references or None."""
    refs = getattr(sys, "gettotalrefcount", lambda: None)
    tracemalloc.start()
    try:
        for _ in range(rounds):
            op()
        settle()
        batches = []
        start_native, start_refs = native(), refs()
        for _ in range(2):
            blocks, traced = sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]
            for _ in range(rounds):
                op()
            settle()
            batches.append((sys.getallocatedblocks() - blocks, tracemalloc.get_traced_memory()[0] - traced))
        end_native, end_refs = native(), refs()
    finally:
        tracemalloc.stop()
    return (min(b for b, _ in batches), min(t for _, t in batches),
            None if start_native is None or end_native is None else end_native - start_native,
            None if start_refs is None else (end_refs - start_refs) / 2)


def assert_no_leak(op, rounds):
    objects, traced, native_bytes, refs = growth(op, rounds)
    assert objects < rounds / 2, f"{objects} Python objects kept by {rounds} calls"
    assert traced < PY_BYTES_PER_CALL * rounds + PY_SLACK, f"{traced} traced bytes kept by {rounds} calls"
    if native_bytes is not None:
        assert native_bytes < NATIVE_LIMIT, f"native memory grew by {native_bytes} bytes over {2 * rounds} calls"
    if refs is not None:
        assert refs < rounds, f"{refs} references gained over {rounds} calls"


def raising(op, *errors):
    """The operation as a call that must fail with one of `errors` (the error path is measured)."""
    def call():
        with suppress(*errors):
            op()
            raise AssertionError("the operation was expected to fail")
    return call


def test_the_measure_sees_leaks():
    rounds = 30
    kept = []
    if sys.getallocatedblocks():  # zero when Python's small-object allocator is off (PYTHONMALLOC=malloc)
        assert growth(lambda: kept.append(len(kept) + 0.5), rounds)[0] >= rounds / 2  # one float per call
    assert growth(lambda: kept.append(bytes(600)), rounds)[1] >= PY_BYTES_PER_CALL * rounds + PY_SLACK  # not a block

    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    lost = []

    def lose_native_memory():
        block = libc.malloc(8 * 1024)
        ctypes.memset(block, 1, 8 * 1024)
        lost.append(block)

    try:
        native_bytes = growth(lose_native_memory, rounds)[2]
        assert native_bytes is None or native_bytes >= NATIVE_LIMIT
    finally:
        for block in lost:
            libc.free(ctypes.c_void_p(block))


# Geometry -----------------------------------------------------------------------------------------

def zigzag(n, dy=0.0):
    return [Point(float(i), (i % 2) + dy) for i in range(n)]


N = 1000  # a C++ copy of the points is 24 kB: kept by each call, it shows in native memory
BIG = zigzag(N)
BIG_LINE = Polyline(BIG)
CROSSING = Polyline(zigzag(N, 0.5))
FLAT = Polyline([Point(0, 0.5), Point(N - 1, 0.5)])
SERIALIZED = BIG_LINE.serialize()

GEOMETRY = {
    "point": lambda: repr(Point(1.5, -2.25, 3.0)),
    "polyline": lambda: Polyline(BIG),
    "points": lambda: BIG_LINE.points,
    "repr": lambda: repr(BIG_LINE),
    "serialize": BIG_LINE.serialize,
    "deserialize": lambda: Polyline._deserialize(SERIALIZED),
    "intersections": lambda: BIG_LINE.intersections_with_polyline(FLAT),
    "intersections-many": lambda: BIG_LINE.intersections_with_polyline(CROSSING),
    "x-location": lambda: BIG_LINE.intersections_with_x_location(N / 2 + 0.5),
    "between": lambda: BIG_LINE.get_polyline_between(Point(10, 0), Point(N - 50, 0)),
    "on-line": lambda: BIG_LINE.point_is_on_polyline(Point(N - 1.5, 0.5)),
    "monotonic": BIG_LINE.is_monotonic_ascending_x,
    "equal": lambda: BIG_LINE.is_equal_to(Polyline(BIG)),
    "reversed": BIG_LINE.get_reversed_polyline,
    "split": lambda: BIG_LINE.split(Point(N / 2 + 0.5, 0.5)),
    "combine": lambda: BIG_LINE.combine_with(Polyline([Point(N - 1, 1), Point(N + 100, 7)])),
    "overlaps": lambda: BIG_LINE.find_overlaps(Polyline(BIG[N // 4:N // 2])),
    "envelope": lambda: Polyline.get_lowest_or_highest_profile_x(BIG_LINE, CROSSING),
    "concatenate": lambda: Polyline._concatenate(BIG_LINE, BIG_LINE),
    "polygon": lambda: Polygon(BIG + [Point(N - 1, -5), Point(0, -5)]).centroid,
    # Error paths: each raises from C++ after building some of its result.
    "non-finite-point": raising(lambda: Point(1.0, math.nan), ValueError),
    "wrong-item": raising(lambda: Polyline(BIG + [None]), TypeError),
    "not-iterable": raising(lambda: Polyline(3), TypeError),
    "split-off-line": raising(lambda: BIG_LINE.split(Point(0, 50)), ValueError),
    "between-off-line": raising(lambda: BIG_LINE.get_polyline_between(Point(0, 0), Point(5, 50)), ValueError),
    "flat-polygon": raising(lambda: Polygon([Point(i, 0) for i in range(1000)]), ValueError),
    "bad-serialized": raising(lambda: Polyline._deserialize({"points": [{"x": 1.0}]}), KeyError),
    "half-made": raising(lambda: repr(Polyline.__new__(Polyline)), TypeError),
}


@pytest.mark.parametrize("op", GEOMETRY.values(), ids=GEOMETRY.keys())
def test_geometry_does_not_leak(op):
    assert_no_leak(op, rounds=30)


# Job service: parse and classify ------------------------------------------------------------------

GEF_TEXT = (DATA / "cpt.gef").read_text(encoding="ISO-8859-1")
GEF_PAYLOAD = {"file_content": base64.b64encode(GEF_TEXT.encode()).decode()}
BAD_PAYLOAD = {"file_content": base64.b64encode(GEF_TEXT.replace("#EOH=", "#EOX=").encode()).decode()}
ZONES = ["Robertson zone unknown"] + [f"Robertson zone {number}" for number in range(1, 10)]


@pytest.fixture(scope="module")
def gef_data():
    """The first 150 measurements of a parsed sample file (enough for every method's layers)."""
    parsed = GEFFile(GEF_TEXT).parse(additional_columns=["u2", "corrected_depth", "fs"]).serialize()
    rows = {name: values[:150] for name, values in parsed["measurement_data"].items()}
    return GEFData({"headers": parsed["headers"], "measurement_data": rows})


TABLE = [
    {"name": "Veen", "color": "150, 90, 40", "qc_min": None, "qc_max": 1, "qc_norm_min": None, "qc_norm_max": None,
     "rf_min": 5, "rf_max": None, "gamma_dry_min": 10, "gamma_dry_max": None, "gamma_wet_min": 10,
     "gamma_wet_max": None},
    {"name": "Klei", "color": "0, 160, 0", "qc_min": None, "qc_max": 2, "qc_norm_min": None, "qc_norm_max": None,
     "rf_min": 2, "rf_max": 5, "gamma_dry_min": 16, "gamma_dry_max": None, "gamma_wet_min": 17,
     "gamma_wet_max": None},
    {"name": "Zand", "color": "230, 200, 60", "qc_min": 2, "qc_max": None, "qc_norm_min": None,
     "qc_norm_max": None, "rf_min": None, "rf_max": 2, "gamma_dry_min": 18, "gamma_dry_max": None,
     "gamma_wet_min": 20, "gamma_wet_max": None},
]
IC_TABLE = [{"name": "Zand", "ic_min": 0, "ic_max": 2.6, "color": "230, 200, 60"},
            {"name": "Klei", "ic_min": 2.6, "ic_max": 9, "color": "0, 160, 0"}]
METHODS = {
    "robertson": lambda: RobertsonMethod([{"name": zone} for zone in ZONES]),
    "table": lambda: TableMethod(TABLE, -1.0),
    "ic": lambda: NormalizedSoilBehaviourTypeIndexMethod(IC_TABLE, -1.0, 18.0),
}

JOBS = {
    "parse-job": lambda data: _jobs.parse_cpt_file(GEF_PAYLOAD),
    "parse": lambda data: GEFFile(GEF_TEXT).parse(additional_columns=["u2", "corrected_depth", "fs"]),
    "serialize": lambda data: GEFData(data.serialize()).serialize(),
    **{f"classify-{name}": (lambda make: lambda data: data.classify(make(), return_soil_layout_obj=True))(make)
       for name, make in METHODS.items()},
    "parse-failure": lambda data: raising(lambda: GEFFile(GEF_TEXT.replace("#EOH=", "#EOX=")).parse(),
                                          GEFParsingError)(),
    "parse-job-failure": lambda data: raising(lambda: _jobs.parse_cpt_file(BAD_PAYLOAD), JobFailure)(),
    "payload-of-wrong-type": lambda data: raising(lambda: _jobs.parse_cpt_file({"file_content": 5}), JobFailure)(),
    "classify-failure": lambda data: raising(
        lambda: _jobs.classify_cpt({"cpt_data": {"measurement_data": {"qc": [1.0, "x"]}},
                                    "classification_method": "robertson", "method_params": {}}), JobFailure)(),
}


@pytest.mark.parametrize("op", JOBS.values(), ids=JOBS.keys())
def test_jobs_do_not_leak(op, gef_data):
    assert_no_leak(lambda: op(gef_data), rounds=20)


# Soil model ---------------------------------------------------------------------------------------

def column(n=60):
    soils = [Soil(f"soil {k}", Color(10 * k, 20, 30), {"gamma": 17 + k}) for k in range(5)]
    return SoilLayout([SoilLayer(soils[(i // 3) % 5], -i * 100.0, -(i + 1) * 100.0, {"cu": i % 7})
                       for i in range(n)])


COLUMN = column()
COLUMN_DICT = COLUMN.serialize()

SOIL = {
    "build": column,
    "serialize": COLUMN.serialize,
    "from-dict": lambda: SoilLayout.from_dict(COLUMN_DICT),
    "repr": lambda: repr(COLUMN),
    "merge": lambda: column().update_layers(),
    "filter-thin": lambda: column().filter_layers_on_thickness(250.0, merge_adjacent_same_soil_layers=True),
    "unique-soils": COLUMN.filter_unique_soils,
    "positional": lambda: PositionalSoilLayout.from_dict(PositionalSoilLayout(5.0, COLUMN.layers).serialize()),
    "merge-conflict": raising(lambda: SoilLayout([SoilLayer(Soil("a", Color(1, 2, 3)), 0, -1, {"v": "x"}),
                                                  SoilLayer(Soil("a", Color(1, 2, 3)), -1, -2, {"v": "y"})]
                                                 ).update_layers(), ValueError),
    "bad-dict": raising(lambda: SoilLayout.from_dict({"layers": [{"soil": {}}]}), KeyError),
}


@pytest.mark.parametrize("op", SOIL.values(), ids=SOIL.keys())
def test_soil_model_does_not_leak(op):
    assert_no_leak(op, rounds=30)


# Two-dimensional model ----------------------------------------------------------------------------

def profile(*xy):
    return Polyline([Point(x, y) for x, y in xy])


def section():
    clay, sand = Soil("Clay", Color(120, 90, 60)), Soil("Sand", Color(200, 180, 90))
    layouts = [PositionalSoilLayout(x, [SoilLayer(sand, -4 - x / 20, -10), SoilLayer(clay, 0, -4 - x / 20)])
               for x in range(0, 101, 10)]
    ground = profile(*[(x, -0.2 * (x % 3)) for x in range(0, 101)])
    piezo = PiezoLine([Point(0, -1), Point(100, -2)], True)
    return SoilLayout2D.from_positional_soil_layouts(layouts, ground, [piezo])


SECTION = section()
SECTION_DICT = SECTION.serialize()
SAND = Soil("Sand", Color(200, 180, 90))
CUT = profile((-1, -3), (101, -3))
PIECES = SECTION.split(CUT)

TWO_D = {
    "build": section,
    "serialize": SECTION.serialize,
    "from-dict": lambda: SoilLayout2D.from_dict(SECTION_DICT),
    "polygons": lambda: [layer.polygons() for layer in SECTION.layers],
    "heights": lambda: [layer.height_at_x(x) for layer in SECTION.layers for x in (0.5, 50.25, 99.0)],
    "boundaries": lambda: (SECTION.get_left_boundary_polyline(), SECTION.get_right_boundary_polyline()),
    "view": SECTION.visualize_geometry,
    "piezo-round-trip": lambda: PiezoLine.from_dict(SECTION.piezo_lines[0].serialize()),
    "split": lambda: SECTION.split(CUT),
    "split-vertical": lambda: SECTION.split(profile((50, 5), (50, -20))),
    "combine": lambda: SoilLayout2D.combine_soil_layouts_2d(*PIECES),
    "combine-disjoint": raising(lambda: SoilLayout2D.combine_soil_layouts_2d(SECTION, SECTION), ValueError),
    "split-not-a-line": raising(lambda: SECTION.split("not a line"), AttributeError),
    "crossed-profiles": raising(lambda: SoilLayer2D(SAND, profile((0, 0), (10, -20)), profile((0, -10), (10, -10))),
                                ValueError),
    "bad-piezo-points": raising(lambda: PiezoLine([1, 2], True), TypeError),
    "bad-layout": raising(lambda: SoilLayout2D([]), (ValueError, IndexError)),
}


@pytest.mark.parametrize("op", TWO_D.values(), ids=TWO_D.keys())
def test_two_dimensional_model_does_not_leak(op):
    assert_no_leak(op, rounds=30)


# Plots: a figure left open would keep megabytes per call ------------------------------------------

def plot_inputs(gef_data):
    user = SoilLayout([SoilLayer(Soil("Klei", Color(0, 160, 0)), -90.0, -12000.0),
                       SoilLayer(Soil("Zand", Color(230, 200, 60)), -12000.0, -21300.0)])
    return gef_data, user, user


PLOTS = {
    "visualization": lambda gef_data: gef_visualization(*plot_inputs(gef_data)),
    "visualization-failure": lambda gef_data: raising(
        lambda: gef_visualization(gef_data, SoilLayout([]), SoilLayout([])), (ValueError, IndexError))(),
    "table": lambda gef_data: TableMethod(TABLE, -1.0).get_qualification_table_plot("png"),
    "table-failure": lambda gef_data: raising(
        lambda: TableMethod(TABLE, -1.0).get_qualification_table_plot("jpg"), TypeError)(),
}


@pytest.mark.parametrize("op", PLOTS.values(), ids=PLOTS.keys())
def test_plots_do_not_leak(op, gef_data):
    # A figure left open is kept by pyplot: each call must close the figures it made, also when it
    # fails. The memory of the figures is megabytes: the resident size of a few calls shows any
    # kept elsewhere (tracemalloc would make each call many times slower).
    with matplotlib.rc_context():
        for _ in range(3):
            op(gef_data)
        settle()
        before = rss()
        for _ in range(4):
            op(gef_data)
            assert plt.get_fignums() == []
        settle()
    assert rss() - before < RSS_LIMIT


# External modules ---------------------------------------------------------------------------------

@pytest.fixture
def backends(monkeypatch):
    monkeypatch.setattr(external_program, "_worker_backend", None)
    monkeypatch.setattr(_worker, "_session_backend", None)
    result = base64.b64encode(b"result " * 1000).decode()
    external_program.set_worker_backend(lambda program, version, job, timeout: {"files": {"input.sto": result}})
    _worker.set_session_backend(lambda operation: {"ret": 0, "values": [1.0, 2.0]})


EXTERNAL = {
    "slipcircle-job": lambda: SlipCircleAnalysis(io.BytesIO(b"input " * 1000))._generate_job_content(),
    "slipcircle-run": lambda: SlipCircleAnalysis(io.BytesIO(b"input " * 1000)).execute(timeout=5),
    "strux-call": lambda: _StruxConnection().SapModel.File.NewBlank(),
    "strux-path": lambda: _StruxConnection().SapModel.FrameObj.GetNameList,
    "slipcircle-no-output": raising(lambda: SlipCircleAnalysis(io.BytesIO(b"x")).get_output_file(), Exception),
}


@pytest.mark.parametrize("op", EXTERNAL.values(), ids=EXTERNAL.keys())
def test_external_modules_do_not_leak(op, backends):
    assert_no_leak(op, rounds=30)
