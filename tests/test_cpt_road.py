"""The road from a GEF file to a soil layout through the built-in job service (no fakes)."""

from pathlib import Path

import pytest

from terrak.errors import GEFParsingError
from terrak.geo import (GEFData, GEFFile, NormalizedSoilBehaviourTypeIndexMethod, RobertsonMethod, SoilLayout,
                        TableMethod)

DATA = Path(__file__).resolve().parent.parent / "data"
ZONES = [{"name": "Robertson zone unknown"}] + [{"name": f"Robertson zone {n}", "zone": n} for n in range(1, 10)]
BOUNDS = ["qc_min", "qc_max", "qc_norm_min", "qc_norm_max", "rf_min", "rf_max", "gamma_dry_min", "gamma_dry_max",
          "gamma_wet_min", "gamma_wet_max"]
QUALIFICATION_TABLE = [
    {"name": "Clay", "color": "0,128,0", **dict.fromkeys(BOUNDS, ""), "qc_max": 2, "gamma_dry_min": 14,
     "gamma_wet_min": 15},
    {"name": "Sand", "color": "255,255,0", **dict.fromkeys(BOUNDS, ""), "qc_min": 2, "gamma_dry_min": 17,
     "gamma_wet_min": 19},
]
IC_TABLE = [
    {"name": "Sand", "ic_min": 0, "ic_max": 2.6, "color": "255,255,0", "cone_factor": 20},
    {"name": "Clay", "ic_min": 2.6, "ic_max": 10, "color": "0,128,0", "cone_factor": 20},
]
METHODS = {
    "robertson": lambda: RobertsonMethod(ZONES),
    "table": lambda: TableMethod(QUALIFICATION_TABLE, -1000),
    "ic": lambda: NormalizedSoilBehaviourTypeIndexMethod(IC_TABLE, -1000, 18.0, 0.5),
}


@pytest.fixture(scope="module")
def cpt():
    return GEFFile.from_file(DATA / "cpt.gef").parse(additional_columns=["fs", "corrected_depth"])


def test_parse_reads_the_sample_into_gef_data(cpt):
    assert type(cpt) is GEFData and cpt.name == "CPTU17.8 + 83BITE"
    columns = cpt.serialize()["measurement_data"]
    assert set(columns) == {"elevation", "qc", "Rf", "fs", "corrected_depth"}  # u2 and others were not asked for
    assert all(len(values) == cpt.num_of_measurements > 900 for values in columns.values())
    # Elevations in mm below the file's ground level (-0.09 m), in step with the corrected depth.
    assert cpt.elevation == pytest.approx([-90 - depth for depth in cpt.corrected_depth], abs=1)
    assert cpt.elevation[-1] < -19000


@pytest.mark.parametrize("kind", METHODS)
def test_classify_gives_a_layout_spanning_the_measurements(cpt, kind):
    layout = cpt.classify(METHODS[kind]())
    assert type(layout) is SoilLayout and layout.number_of_layers >= 2
    layers = layout.layers
    assert all(upper.bottom_of_layer == pytest.approx(lower.top_of_layer) for upper, lower in zip(layers, layers[1:]))
    assert layers[0].top_of_layer >= cpt.elevation[-1] and layers[-1].bottom_of_layer <= layers[0].top_of_layer
    as_dict = cpt.classify(METHODS[kind](), return_soil_layout_obj=False)
    assert as_dict == layout.serialize()


def test_robertson_layers_carry_the_zone_properties(cpt):
    layout = cpt.classify(RobertsonMethod(ZONES))
    numbered = [layer for layer in layout.layers if layer.soil.name != "Robertson zone unknown"]
    assert numbered
    for layer in numbered:
        assert layer.soil.properties.zone == int(layer.soil.name.removeprefix("Robertson zone "))


def test_stored_gef_dictionary_classifies_like_the_parsed_one(cpt):
    stored = GEFData(cpt.serialize())
    assert stored.classify(METHODS["table"](), False) == cpt.classify(METHODS["table"](), False)


def test_file_without_friction_data_fails_at_the_parse():
    with pytest.raises(GEFParsingError):
        GEFFile.from_file(DATA / "cpt_voids.gef").parse()
