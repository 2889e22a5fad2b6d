"""Parsing, classification and geometry from several threads at once.

The GEF parser, the classifiers and the polyline kernel run without the GIL on large inputs; the
results must be those of a single thread, and the GIL must really be given up while they run.
"""

import base64
import random
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from terrak import _jobs, geo
from terrak.geo import GEFFile, NormalizedSoilBehaviourTypeIndexMethod, RobertsonMethod, TableMethod
from terrak.geometry import Point, Polyline

DATA = Path(__file__).resolve().parent.parent / "data"
GEF_FILES = sorted(DATA.glob("*.gef"))
ZONES = ["Robertson zone unknown"] + [f"Robertson zone {number}" for number in range(1, 10)]
TABLE = [
    {"name": "Klei", "color": "0, 160, 0", "qc_min": None, "qc_max": 2, "qc_norm_min": None, "qc_norm_max": None,
     "rf_min": 2, "rf_max": None, "gamma_dry_min": 16, "gamma_dry_max": None, "gamma_wet_min": 17,
     "gamma_wet_max": None},
    {"name": "Zand", "color": "230, 200, 60", "qc_min": None, "qc_max": None, "qc_norm_min": None,
     "qc_norm_max": None, "rf_min": None, "rf_max": 2, "gamma_dry_min": 18, "gamma_dry_max": None,
     "gamma_wet_min": 20, "gamma_wet_max": None},
]
IC_TABLE = [{"name": "Zand", "ic_min": 0, "ic_max": 2.6, "color": "230, 200, 60"},
            {"name": "Klei", "ic_min": 2.6, "ic_max": 9, "color": "0, 160, 0"}]
METHODS = [lambda: RobertsonMethod([{"name": zone} for zone in ZONES]), lambda: TableMethod(TABLE, -1.0),
           lambda: NormalizedSoilBehaviourTypeIndexMethod(IC_TABLE, -1.0, 18.0)]


def parse_and_classify(path, method):
    """Everything a GEF file gives, as plain data: the parsed dictionary and one classification."""
    text = path.read_text(encoding="ISO-8859-1")
    try:
        data = GEFFile(text).parse(additional_columns=["u2", "corrected_depth", "fs"])
    except Exception as error:  # a sample the parser refuses must be refused the same way
        return type(error).__name__, str(error)
    try:
        layout = data.classify(METHODS[method](), return_soil_layout_obj=False)
    except Exception as error:
        layout = (type(error).__name__, str(error))
    return data.serialize(), layout


def profile(rng, n):
    xs = sorted(rng.sample(range(-5 * n, 5 * n), n))
    return Polyline([Point(x, rng.randint(-50, 50)) for x in xs])


def geometry_case(seed):
    """A run of every kernel operation on random profiles, as plain data."""
    rng = random.Random(seed)
    a, b = profile(rng, rng.randint(2, 400)), profile(rng, rng.randint(2, 400))
    out = [p.serialize() for p in (a, b)]
    hits = a.intersections_with_polyline(b)
    out.append([tuple(p) for p in hits])
    out.append([tuple(p) for p in a.intersections_with_x_location(rng.uniform(-100, 100))])
    for lowest in (True, False):
        out.append(Polyline.get_lowest_or_highest_profile_x(a, b, lowest=lowest).serialize())
    out.append([overlap.serialize() for overlap in a.find_overlaps(b)])
    out.append(a.combine_with(b).serialize())
    out.append((a.is_monotonic_ascending_x(), a.is_equal_to(b), a.point_is_on_polyline(b.start_point)))
    if hits:
        first, second = a.split(hits[0])
        out.append((first.serialize(), second.serialize()))
        out.append(a.get_polyline_between(a.start_point, hits[-1]).serialize())
    return out


def run_in_threads(function, cases, threads=4):
    with ThreadPoolExecutor(max_workers=threads) as pool:
        return list(pool.map(lambda case: function(*case), cases))


def test_parse_and_classify_in_threads_match_one_thread():
    cases = [(path, method) for path in GEF_FILES for method in range(len(METHODS))] * 2
    expected = [parse_and_classify(*case) for case in cases]
    assert run_in_threads(parse_and_classify, cases) == expected


def test_geometry_in_threads_matches_one_thread():
    cases = [(seed,) for seed in range(120)]
    expected = [geometry_case(*case) for case in cases]
    assert run_in_threads(geometry_case, cases) == expected


def test_parse_and_geometry_mixed_in_threads():
    cases = [("parse", path, 0) for path in GEF_FILES] + [("geometry", seed) for seed in range(60)]
    random.Random(7).shuffle(cases)

    def run(kind, *args):
        return parse_and_classify(*args) if kind == "parse" else geometry_case(*args)

    expected = [run(*case) for case in cases]
    assert run_in_threads(run, cases, threads=6) == expected


# The GIL is given up inside the kernels: with a switch interval far longer than the test, the
# interpreter never takes the GIL from a running thread, so the main thread can run while a worker
# is still busy only if the worker's calls release it.


@pytest.fixture
def no_forced_switches():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    yield
    sys.setswitchinterval(before)


def gef_payload(rows):
    """cpt.gef with its data lines repeated or cut to `rows` lines, as a parse job's payload."""
    text = (DATA / "cpt.gef").read_text(encoding="ISO-8859-1")
    head, _, body = text.partition("#EOH=")
    lines = body.lstrip("\r\n").splitlines(keepends=True)
    lines = (lines * (rows // len(lines) + 1))[:rows]
    return {"file_content": base64.b64encode((head + "#EOH=\n" + "".join(lines)).encode()).decode()}


def classify_payload(rows):
    answer = _jobs.parse_cpt_file(gef_payload(rows))
    return {"cpt_data": answer, "classification_method": "robertson",
            "method_params": {"soil_properties": [{"name": zone} for zone in ZONES]}}


def profiles(points):
    rng = random.Random(3)
    xs = [float(x) for x in range(points)]
    a = Polyline([Point(x, rng.uniform(-1, 1)) for x in xs])
    b = Polyline([Point(x, rng.uniform(-1, 1)) for x in xs])
    return a, b


# Letting go of the GIL hands it to any waiting thread, and getting it back can take that
# thread's whole turn: only calls on large inputs let go of it.
@pytest.mark.parametrize(("work", "large", "small"), [
    (lambda payload: _jobs.parse_cpt_file(payload), lambda: gef_payload(20_000), lambda: gef_payload(40)),
    (lambda payload: _jobs.classify_cpt(payload), lambda: classify_payload(20_000), lambda: classify_payload(40)),
    (lambda lines: lines[0].intersections_with_polyline(lines[1]), lambda: profiles(200_000), lambda: profiles(3)),
    (lambda lines: Polyline.get_lowest_or_highest_profile_x(*lines), lambda: profiles(200_000), lambda: profiles(3)),
], ids=["parse", "classify", "intersections", "envelope"])
@pytest.mark.parametrize("size", ["large", "small"])
def test_kernels_release_the_gil_for_large_inputs_only(no_forced_switches, work, large, small, size):
    argument = large() if size == "large" else small()
    assert releases_gil(lambda: work(argument)) is (size == "large")


@pytest.mark.parametrize(("size", "releases"), [(100_000, False), (3 << 20, True)], ids=["file", "megabytes"])
def test_sending_a_file_lets_go_of_the_gil_only_for_megabytes(no_forced_switches, monkeypatch, size, releases):
    # The payload's Base64 is made in a moment for a file of common size; only megabytes are
    # worth another thread's turn. The job's answer comes from Python here, which keeps the GIL.
    answer = {"headers": {"name": "CPT-1"}, "measurement_data": {"elevation": [-1.0], "qc": [1.0], "Rf": [1.0]}}
    monkeypatch.setattr(geo, "_post_on_addon_endpoint", lambda path, data, **options: answer)
    text = "\u00e9" + "1;2;3\n" * (size // 6)
    assert releases_gil(lambda: GEFFile(text).parse()) is releases


def assert_releases_gil(call):
    assert releases_gil(call)


def releases_gil(call):
    """Runs call() three times in a worker thread; with no forced switches the main thread runs
    again before the worker is done only if the calls let go of the GIL."""
    finished = []
    started = threading.Event()

    def worker():
        started.set()
        for _ in range(3):
            call()
        finished.append(True)

    thread = threading.Thread(target=worker)
    thread.start()
    started.wait()  # returns once the worker lets go of the GIL: inside a kernel, or at its end
    seen_running = not finished
    thread.join()
    return seen_running
