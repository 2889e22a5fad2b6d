"""terrak.cpt: reading any CPT file, processing many on threads, processes and a Dask cluster, and
laying a site's CPTs along a section."""

import math
import multiprocessing
import pathlib
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest

from terrak import cpt
from terrak.geo import (GEFData, GEFFile, NormalizedSoilBehaviourTypeIndexMethod, RobertsonMethod, SoilLayout,
                        TableMethod)

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
SITE = sorted((DATA / "site").glob("*.gef"))
ZONES = [{"name": "Robertson zone unknown"}] + [{"name": f"Robertson zone {z}", "zone": z} for z in range(1, 10)]
TABLE = [
    {"name": "Clay", "color": "0,128,0", "qc_min": "", "qc_max": 3.0, "qc_norm_min": "", "qc_norm_max": "",
     "rf_min": 1.5, "rf_max": "", "gamma_dry_min": "", "gamma_dry_max": "", "gamma_wet_min": "", "gamma_wet_max": ""},
    {"name": "Sand", "color": "255,215,0", "qc_min": "", "qc_max": "", "qc_norm_min": "", "qc_norm_max": "",
     "rf_min": "", "rf_max": "", "gamma_dry_min": "", "gamma_dry_max": "", "gamma_wet_min": "", "gamma_wet_max": ""},
]
IC_TABLE = [{"name": "Sand", "ic_min": 0, "ic_max": 2.6, "color": "255,215,0", "cone_factor": 20},
            {"name": "Clay", "ic_min": 2.6, "ic_max": 10, "color": "0,128,0", "cone_factor": 15}]
METHODS = {
    "robertson": lambda: RobertsonMethod(ZONES),
    "table": lambda: TableMethod(TABLE, -2.5),
    "ic": lambda: NormalizedSoilBehaviourTypeIndexMethod(IC_TABLE, -2.5, 18.0, 0.25),
}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Good files with a corrupt one, one without friction data and a missing one among them."""
    folder = tmp_path_factory.mktemp("cpts")
    corrupt = folder / "corrupt.gef"
    corrupt.write_bytes(b"#GEFID= 1, 1, 0\n#EOH=\n\x00\xff garbage;;;\n")
    return [DATA / "cpt.gef", corrupt, SITE[0], DATA / "cpt_voids.gef", folder / "missing.gef", SITE[1],
            DATA / "cpt2.gef"]


EXPECTED_ERRORS = {1: "GEFParsingError: ", 3: "GEFParsingError: The file has no friction data",
                   4: "FileNotFoundError: "}


@pytest.fixture(scope="module")
def sequential(files):
    return {kind: cpt.process_cpts(files, make(), min_layer_thickness=500, workers=1) for kind, make in METHODS.items()}


def snapshot(result):
    """Everything a result carries, as plain values."""
    if not result.ok:
        return result.path, result.error
    return (result.path, result.gef.serialize(), result.classified.serialize(), result.layout.serialize())


def test_sequential_results_in_input_order_with_each_files_error(files, sequential):
    results = sequential["robertson"]
    assert [r.path for r in results] == [str(f) for f in files]
    assert [r.status for r in results] == ["ok", "failed", "ok", "failed", "failed", "ok", "ok"]
    for index, prefix in EXPECTED_ERRORS.items():
        assert results[index].error.startswith(prefix), results[index].error
        assert results[index].layout is None and results[index].gef is None
    good = results[0]
    assert isinstance(good.gef, GEFData) and isinstance(good.layout, SoilLayout)
    assert good.layout.number_of_layers < good.classified.number_of_layers
    assert all(layer.thickness >= 500 for layer in good.layout.layers)
    reference = GEFFile.from_file(files[0]).parse(additional_columns=list(cpt.DEFAULT_COLUMNS))
    assert good.classified.serialize() == reference.classify(RobertsonMethod(ZONES)).serialize()


@pytest.mark.parametrize(("min_layer_thickness", "merge"), [(None, False), (None, True), (1000, False)])
def test_cleaning_options(min_layer_thickness, merge):
    result = cpt.process_cpt(SITE[0], RobertsonMethod(ZONES), min_layer_thickness=min_layer_thickness, merge=merge)
    names = [layer.soil.name for layer in result.layout.layers]
    if min_layer_thickness is None and not merge:
        assert result.layout is result.classified
    else:
        assert result.layout is not result.classified  # the classified layout stays as it came
    if merge:
        assert all(a != b for a, b in zip(names, names[1:]))
    if min_layer_thickness:
        assert result.classified.number_of_layers > result.layout.number_of_layers
        assert all(layer.thickness >= min_layer_thickness for layer in result.layout.layers[:-1])


def test_utf8_and_latin1_files_read_alike(tmp_path):
    text = (DATA / "cpt.gef").read_text(encoding="ISO-8859-1").replace("#TESTID= ", "#TESTID= Sondering ë ", 1)
    assert "Sondering ë" in text
    (tmp_path / "utf8.gef").write_text(text, encoding="utf-8")
    (tmp_path / "latin1.gef").write_text(text, encoding="ISO-8859-1")
    utf8, latin1 = cpt.read_cpt(tmp_path / "utf8.gef"), cpt.read_cpt(tmp_path / "latin1.gef")
    assert utf8.name.startswith("Sondering ë") and utf8.serialize() == latin1.serialize()


@pytest.mark.parametrize(("arguments", "error"), [
    ({"workers": 0}, ValueError), ({"workers": 2.0}, ValueError), ({"chunksize": 0}, ValueError),
    ({"min_layer_thickness": 0}, ValueError), ({"min_layer_thickness": -1}, ValueError),
    ({"additional_columns": "fs"}, TypeError), ({"executor": object()}, TypeError),
])
def test_bad_arguments_are_refused_before_any_work(arguments, error):
    with pytest.raises(error):
        cpt.process_cpts(SITE, RobertsonMethod(ZONES), **arguments)


def test_executor_that_refuses_work_fails_its_files_and_says_why():
    pool = ThreadPoolExecutor(1)
    pool.shutdown()
    results = cpt.process_cpts(SITE[:2], RobertsonMethod(ZONES), executor=pool)
    assert [r.status for r in results] == ["failed", "failed"]
    assert results[0].error.startswith("worker failed: RuntimeError: cannot schedule new futures")


class RecordingPool(ThreadPoolExecutor):
    def __init__(self):
        super().__init__(1)
        self.futures = []

    def submit(self, *args, **kwargs):
        self.futures.append(super().submit(*args, **kwargs))
        return self.futures[-1]


def test_stopping_early_leaves_no_work_queued():
    with RecordingPool() as pool:
        iterator = cpt.iter_cpts(SITE * 20, RobertsonMethod(ZONES), executor=pool)
        assert next(iterator).ok
        iterator.close()
    ran = [f for f in pool.futures if not f.cancelled()]
    assert len(pool.futures) == 80 and len(ran) < 10


# Across a process boundary ----------------------------------------------------------------------

@pytest.fixture(scope="module")
def process_pool():
    # forkserver: a fork of a process that runs threads (pytest plugins, matplotlib) may deadlock.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")) as pool:
        yield pool


@pytest.fixture(scope="module")
def dask_executor():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client.get_executor()


@pytest.fixture(params=["threads", "processes", "dask"])
def executor(request):
    if request.param == "threads":
        with ThreadPoolExecutor(3) as pool:
            yield pool
    else:
        yield request.getfixturevalue({"processes": "process_pool", "dask": "dask_executor"}[request.param])


@pytest.mark.parametrize("kind", METHODS)
def test_executor_gives_the_sequential_results(executor, kind, files, sequential):
    results = cpt.process_cpts(files, METHODS[kind](), min_layer_thickness=500, executor=executor, chunksize=2)
    assert [snapshot(r) for r in results] == [snapshot(r) for r in sequential[kind]]
    good = results[0]
    assert type(good.gef) is GEFData and type(good.layout) is SoilLayout
    # The values that came back are whole: their own methods work on them.
    assert good.gef.classify(METHODS[kind]()).serialize() == good.classified.serialize()
    assert good.layout.layers[0].soil.color == sequential[kind][0].layout.layers[0].soil.color
    assert good.layout.filter_layers_on_thickness(2000, True) is good.layout


def test_serialized_results_are_plain_dictionaries(executor, files, sequential):
    results = cpt.process_cpts(files, METHODS["robertson"](), min_layer_thickness=500, executor=executor,
                               serialize=True, keep_gef=False, keep_classified=False)
    assert [r.status for r in results] == [r.status for r in sequential["robertson"]]
    for got, want in zip(results, sequential["robertson"]):
        if want.ok:
            assert got.gef is None and got.classified is None
            assert got.layout == want.layout.serialize()
            assert SoilLayout.from_dict(got.layout).serialize() == got.layout


# Sections ----------------------------------------------------------------------------------------

# Distances from CPT 063045 measured between the registry's coordinates.
SITE_CHAINAGE = {"CPT000000063045": 0.0, "CPT000000064413": 64.2, "CPT000000063044": 129.8,
                 "CPT000000065880": 194.6}
SITE_GROUND = {"CPT000000063044": -1.59, "CPT000000063045": -1.70, "CPT000000064413": -1.53,
               "CPT000000065880": -1.49}


@pytest.fixture(scope="module")
def site():
    results = cpt.process_cpts(SITE, TableMethod(TABLE, -2.5), min_layer_thickness=500)
    assert all(r.ok for r in results)
    return results


def test_site_cpts_stand_at_their_chainages_along_the_line(site):
    placed = cpt.chainages([r.gef for r in site])
    for result, (chainage, offset) in zip(site, placed):
        assert chainage == pytest.approx(SITE_CHAINAGE[result.gef.name], abs=0.15)
        assert abs(offset) < 0.5  # the four stand almost on one line
    reversed_order = cpt.chainages([r.gef for r in reversed(site)])
    assert [c for c, _ in reversed(reversed_order)] == pytest.approx([194.58 - c for c, _ in placed], abs=0.01)


def test_site_section_has_the_cpts_at_their_chainages_and_ground_levels(site):
    section, positions = cpt.section_from_cpts([r.gef for r in site], [r.layout for r in site], sand="*sand*")
    assert [gef.name for _, _, gef in positions] == list(SITE_CHAINAGE)
    assert section.left_boundary == 0.0 and section.right_boundary == pytest.approx(194.6, abs=0.15)
    for chainage, _, gef in positions:
        (ground,) = section.top_profile.intersections_with_x_location(chainage)
        assert ground.y == pytest.approx(SITE_GROUND[gef.name])
        assert gef.ground_level_wrt_reference == pytest.approx(SITE_GROUND[gef.name] * 1000)
    assert [layer.soil.name for layer in section.layers] == ["Deep layers", "Sand", "Cover layer"]
    # The Holocene cover of this polder site is 7 to 12 m thick; the sand below it reaches the base.
    sand_top = section.layers[1].top_profile
    for chainage, _, _ in positions:
        assert -14.0 < sand_top.intersections_with_x_location(chainage)[0].y < -8.0
    assert min(p.y for p in section.bottom_profile.points) == max(p.y for p in section.bottom_profile.points)


def test_section_without_a_thick_sand_is_all_cover_layer(site):
    section, _ = cpt.section_from_cpts([r.gef for r in site], [r.layout for r in site], sand="no such soil")
    cover = section.layers[-1]
    for x in (0.0, 100.0, section.right_boundary):
        ground = section.top_profile.intersections_with_x_location(x)[0].y
        base = section.bottom_profile.intersections_with_x_location(x)[0].y
        assert cover.height_at_x(x) == pytest.approx(ground - base)


@pytest.mark.parametrize(("coordinates", "message"), [
    ([(1.0, 2.0)], "at least two CPTs"),
    ([(1.0, 2.0), (1.0, 2.0)], "at one point"),
    ([(1.0, 2.0), None], "has no coordinates"),
])
def test_chainages_refuse_what_gives_no_line(site, coordinates, message):
    gefs = []
    for xy in coordinates:
        data = dict(site[0].gef.serialize(), headers=dict(site[0].gef.serialize()["headers"], x_y_coordinates=xy))
        gefs.append(GEFData(data))
    with pytest.raises(ValueError, match=message):
        cpt.chainages(gefs)


def test_chainage_of_a_north_south_line_runs_towards_the_last_cpt(site):
    def at(x, y):
        data = site[0].gef.serialize()
        return GEFData(dict(data, headers=dict(data["headers"], x_y_coordinates=[x, y])))
    placed = cpt.chainages([at(100.0, 500.0), at(100.0, 400.0), at(100.0, 450.0)])
    assert [c for c, _ in placed] == pytest.approx([0.0, 100.0, 50.0])
    assert all(math.isclose(o, 0.0, abs_tol=1e-9) for _, o in placed)


def test_thin_sandy_crust_does_not_start_the_sand_and_sand_layers_count_together(site):
    from terrak.core import Color
    from terrak.geo import Soil, SoilLayer
    sand, loose, clay = (Soil(name, Color(0, 0, 0)) for name in ("Sand", "Sand, loose", "Clay"))

    def layout(ground):
        levels = [ground, ground - 1500, ground - 9000, ground - 10000, ground - 11000, ground - 16000, ground - 40000]
        soils = [sand, clay, loose, sand, clay, sand]  # crust, cover, 1 m + 1 m of sand, 5 m clay, sand
        return SoilLayout([SoilLayer(s, top, bottom) for s, top, bottom in zip(soils, levels, levels[1:])])

    gefs = [r.gef for r in site[:2]]
    section, positions = cpt.section_from_cpts(gefs, [layout(g.ground_level_wrt_reference) for g in gefs])
    for chainage, _, gef in positions:
        ground = gef.ground_level_wrt_reference / 1000
        sand_top = section.layers[1].top_profile.intersections_with_x_location(chainage)[0].y
        deep_top = section.layers[0].top_profile.intersections_with_x_location(chainage)[0].y
        assert (sand_top, deep_top) == (pytest.approx(ground - 9.0), pytest.approx(ground - 11.0))
