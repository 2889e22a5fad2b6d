"""The built-in job service: GEF CPT parsing and CPT classification, payload in, answer out."""

import base64
import copy
import json
import math
import os
import threading
from collections.abc import Mapping
from pathlib import Path

import pytest

from terrak import _jobs, core
from terrak.core import Color, _post_on_addon_endpoint
from terrak.errors import GEFClassificationError, GEFParsingError
from terrak.geo import GEFData, NormalizedSoilBehaviourTypeIndexMethod

DATA = Path(__file__).resolve().parent.parent / "data"
PARSE = "parsecptfile/v2/jobs/"
CLASSIFY = "classifycpt/v2/jobs/"
# The mappings the geo module's GEFFile.parse and GEFData.classify pass.
PARSE_ERRORS = {"NotImplementedError": NotImplementedError, "ParsingError": GEFParsingError}
CLASSIFY_ERRORS = {"CPTClassificationError": GEFClassificationError,
                   "RobertsonProcessingException": GEFClassificationError}
ZONES = ["Robertson zone unknown"] + [f"Robertson zone {k}" for k in range(1, 10)]


def encode(text):
    return base64.b64encode(text.encode("utf-8")).decode("utf-8")


def parse_text(text):
    return _post_on_addon_endpoint(PARSE, {"file_content": encode(text)}, timeout=60, error_mapping=PARSE_ERRORS)


def parse_sample(name):
    # As GEFFile.from_file reads it: ISO-8859-1 text, line ends normalised.
    with open(DATA / name, encoding="ISO-8859-1") as handle:
        return parse_text(handle.read())


def classify(cpt_data, method, params):
    payload = {"cpt_data": cpt_data, "classification_method": method, "method_params": params}
    return _post_on_addon_endpoint(CLASSIFY, payload, timeout=60, error_mapping=CLASSIFY_ERRORS)


def gef(rows="0.00;1.0;0.010;1.0;!\n0.02;2.0;0.030;1.5;!\n", header=""):
    """A small CPT file: penetration length, qc, fs and Rf, separated by ';', records by '!'."""
    return ("#GEFID= 1, 1, 0\n#REPORTCODE= GEF-CPT-Report, 1, 1, 2\n#TESTID= T1\n#ZID= 31000, 1.5, 0.01\n"
            "#COLUMNSEPARATOR= ;\n#RECORDSEPARATOR= !\n#COLUMNINFO= 1, m, length, 1\n#COLUMNINFO= 2, MPa, qc, 2\n"
            "#COLUMNINFO= 3, MPa, fs, 3\n#COLUMNINFO= 4, %, Rf, 4\n#COLUMNVOID= 2, -9999\n"
            + header + "#EOH=\n" + rows)


def test_handlers_serve_both_paths():
    assert _jobs.HANDLERS == {PARSE: _jobs.parse_cpt_file, CLASSIFY: _jobs.classify_cpt}
    assert core.get_job_handler(PARSE) is _jobs.parse_cpt_file


# Values read by hand from the files. cpt.gef: the first row is void and the last four rows
# have no friction, so 999 of 1004 rows remain; example.gef: the first 301 rows (pre-excavated)
# are void.
@pytest.mark.parametrize(("name", "rows", "header", "first", "last"), [
    ("cpt.gef", 999, {"name": "CPTU17.8 + 83BITE", "ground_level_wrt_reference": -90.0, "height_system": "NAP",
                      "x_y_coordinates": [79578.38, 424838.97], "coordinate_system": "RD",
                      "gef_file_date": "2019-02-13", "gef_version_number": "1.1.0", "cone_tip_area": 1000.0,
                      "surface_area_quotient_tip": 0.8, "cone_type": "S10-CFIIP.1721",
                      "measurement_standard": "NEN-EN-ISO22476-1 / klasse 2 / TE2",
                      "max_measurement_depth_wrt_reference": -20015.0},
     {"penetration_length": 10.0, "qc": 0.013, "fs": 0.002, "Rf": 0.00647, "u2": 0.0, "corrected_depth": 10.0,
      "elevation": -100.0, "inclination": 1.071, "inclination_e_w": 0.522, "inclination_n_s": -0.934},
     {"penetration_length": 19970.0, "qc": 14.698, "fs": 0.05, "Rf": 0.0034, "u2": 0.21,
      "corrected_depth": 19925.0, "elevation": -20015.0, "inclination": 8.545}),
    ("cpt2.gef", 1039, {"name": "N04-25", "ground_level_wrt_reference": -1630.0, "project_id": "01.1138-233",
                        "project_name": "Ringdijk 2de bedijking", "excavation_depth": 2000.0, "water_level": 0.0,
                        "gef_file_date": "2021-05-03"},
     {"penetration_length": 0.0, "qc": 0.0017, "Rf": 0.0, "elevation": -1630.0, "inclination": 1.5429},
     {"penetration_length": 10380.0, "qc": 12.6132, "fs": 0.0695, "Rf": 0.005846}),
    ("cpt3.gef", 5939, {"name": "A01-1", "ground_level_wrt_reference": 1240.0, "gef_version_number": "1.0.0",
                        "project_name": "OVERSTORTEN WESTPOORTWEG", "measurement_standard": "NEN 5140 KL. 4"},
     {"penetration_length": 5.0, "qc": 0.02, "fs": 0.0002, "Rf": 0.0002 / 0.02, "elevation": 1235.0},
     {"penetration_length": 29695.0, "qc": 24.45, "Rf": 0.1823 / 24.45, "elevation": 1240.0 - 29695.0}),
    ("example.gef", 1183, {"name": "S04", "ground_level_wrt_reference": 3056.0, "excavation_depth": 6000.0,
                           "project_name": "Inrit Noord Corio te Utrecht", "cone_type": "CFI"},
     {"penetration_length": 6020.0, "corrected_depth": 6019.0, "qc": 16.72, "Rf": 0.0055691},
     {"penetration_length": 29660.0, "corrected_depth": 29481.0, "elevation": 3056.0 - 29481.0, "qc": 16.46}),
])
def test_sample_files_parse(name, rows, header, first, last):
    answer = parse_sample(name)
    assert list(answer) == ["headers", "measurement_data"]
    for key, value in header.items():
        assert answer["headers"][key] == value, key
    columns = answer["measurement_data"]
    assert {len(values) for values in columns.values()} == {rows}
    for key, value in first.items():
        assert columns[key][0] == pytest.approx(value, rel=1e-12, abs=1e-12), key
    for key, value in last.items():
        assert columns[key][-1] == pytest.approx(value, rel=1e-12, abs=1e-12), key


@pytest.mark.parametrize("name", ["cpt_voids.gef", "cpt_pre_excavated.gef"])
def test_file_without_friction_is_refused(name):
    # GEF data cannot be built or classified without a friction ratio: say so at the parse.
    with pytest.raises(GEFParsingError, match="no friction data"):
        parse_sample(name)


def test_answer_key_order_and_types():
    answer = parse_sample("cpt.gef")
    assert list(answer["headers"]) == [
        "name", "ground_level_wrt_reference", "max_measurement_depth_wrt_reference", "height_system",
        "x_y_coordinates", "coordinate_system", "gef_file_date", "gef_version_number", "project_id",
        "project_name", "cone_tip_area", "cone_type", "surface_area_quotient_tip", "excavation_depth",
        "measurement_standard"]
    assert list(answer["measurement_data"]) == [
        "penetration_length", "corrected_depth", "elevation", "qc", "fs", "Rf", "u2", "inclination",
        "inclination_n_s", "inclination_e_w"]
    assert all(type(v) is float for column in answer["measurement_data"].values() for v in column)


def test_depth_from_inclination_matches_the_files_own_corrected_depth():
    text = (DATA / "cpt.gef").read_text(encoding="ISO-8859-1")
    without_depth = text.replace("#COLUMNINFO= 10, m, Gecorrigeerde diepte, 11",
                                 "#COLUMNINFO= 10, m, Gecorrigeerde diepte, 99")
    depth = parse_text(without_depth)["measurement_data"]["corrected_depth"]
    assert depth[-1] == pytest.approx(19925.0, abs=2.0)
    assert depth[-1] < 19970.0


def test_encodings_and_line_ends_give_one_answer():
    raw = (DATA / "cpt.gef").read_bytes()
    as_text = parse_sample("cpt.gef")
    # The raw ISO-8859-1 bytes, not re-encoded, and the same text with CRLF and CR line ends.
    latin1 = _jobs.parse_cpt_file({"file_content": base64.b64encode(raw).decode()})
    crlf = parse_text(raw.decode("ISO-8859-1").replace("\n", "\r\n"))
    cr = parse_text(raw.decode("ISO-8859-1").replace("\n", "\r"))
    assert latin1 == as_text == crlf == cr
    degree = parse_text(gef(header="#PROJECTNAME= 10\xb0 helling, co\xebffici\xebnt\n"))
    assert degree["headers"]["project_name"] == "10° helling, coëfficiënt"


def test_voids_are_dropped_or_bridged_and_rf_is_computed():
    answer = parse_text(gef(rows="0.00;1.0;0.010;1.0;!\n0.02;-9999;0.020;1.0;!\n0.04;2.0;-9999;1.0;!\n"
                                 "0.06;3.0;0.030;1.0;!\n0.08;3.0;-9999;1.0;!\n",
                            header="#COLUMNVOID= 3, -9999\n"))["measurement_data"]
    assert answer["penetration_length"] == [0.0, 40.0, 60.0]
    assert answer["fs"] == pytest.approx([0.010, 0.025, 0.030])
    no_ratio = gef(rows="0.00;2.0;0.010;!\n0.02;4.0;0.030;!\n").replace("#COLUMNINFO= 4, %, Rf, 4\n", "")
    assert parse_text(no_ratio)["measurement_data"]["Rf"] == pytest.approx([0.005, 0.0075])


@pytest.mark.parametrize(("content", "error", "message"), [
    ("", GEFParsingError, "the file is empty"),
    ("#GEFID= 1, 1, 0\n#TESTID= T1\n", GEFParsingError, r"no #EOH line .* ends at line 2"),
    (gef().replace("#COLUMNINFO= 2, MPa, qc, 2\n", ""), GEFParsingError, "no cone resistance column"),
    (gef(rows="0.00;1.0;0.010;!\n"), GEFParsingError, "line 13: 3 values in the row, but the header describes 4"),
    (gef(rows="0.00;1.0;0.1;1;!\n0.02;1.0;0.1;1;7;!\n"), GEFParsingError, "line 14: 5 values in the row"),
    (gef(rows="0.00;1.0;1,5;1;!\n"), GEFParsingError, "line 13: value '1,5' in column 3 \\(local friction\\)"),
    (gef(rows="0.00;1.0;;1;!\n"), GEFParsingError, "line 13: value '' in column 3"),
    (gef(rows="0.00;+-1.0;0.1;1;!\n"), GEFParsingError, "line 13: value '\\+-1.0' in column 2"),
    (gef(rows="0.00;++1.0;0.1;1;!\n"), GEFParsingError, "line 13: value '\\+\\+1.0' in column 2"),
    (gef(header="#COLUMNVOID= 3, +-9999\n"), GEFParsingError, "#COLUMNVOID value '\\+-9999' is not a number"),
    (gef(header="#COLUMNINFO= 99999999999, m, x, 1\n"), GEFParsingError, "out of range"),
    ("#GEFID= 1,1,0\n#REPORTCODE= GEF-BORE-Report, 1, 0, 0\n#EOH=\n", GEFParsingError, "is a bore log"),
    ("#GEFID= 1,1,0\n#REPORTCODE= GEF-DISS-Report, 1, 1, 0\n#EOH=\n", NotImplementedError, "dissipation"),
    (gef(header="#DATAFORMAT= BINARY\n"), NotImplementedError, "only ASCII data"),
    ("\x00\x01binary", GEFParsingError, "binary data"),
    ("<html>not a gef</html>", GEFParsingError, "line 1: not a GEF file"),
    (gef(rows="0.00;-9999;0.1;1;!\n"), GEFParsingError, "only void values"),
], ids=["empty", "no-eoh", "no-qc", "narrow-row", "wide-row", "comma-decimal", "empty-value",
        "plus-minus-value", "plus-plus-value", "plus-minus-void", "huge-column",
        "bore-log", "dissipation", "binary-format", "nul-bytes", "not-gef", "all-void"])
def test_bad_files_are_refused(content, error, message):
    with pytest.raises(error, match=message):
        parse_text(content)


@pytest.mark.parametrize(("payload", "message"), [
    ({"file_content": "#GEFID"}, "not Base64"),
    ({"file_content": "SGVsbG8"}, "not Base64"),
    ({"file_content": "SGVs\udcffbG8="}, r"not Base64 text \(character 5 is not allowed there\)"),
    ({"file_content": b"SGVsbG8="}, "must be Base64 text, not bytes"),
    ({}, "the payload has no 'file_content'"),
], ids=["not-alphabet", "bad-padding", "lone-surrogate", "bytes", "no-key"])
def test_bad_payloads_are_refused(payload, message):
    # Called directly: the dispatcher itself refuses payloads that are not JSON (bytes).
    with pytest.raises(core.JobFailure, match=message) as failure:
        _jobs.parse_cpt_file(payload)
    assert failure.value.error_name == "ParsingError"


def test_plus_sign_before_a_number_is_still_read():
    answer = parse_text(gef(rows="+0.00;+1.0;0.010;+1.0;!\n0.02;2.0;0.030;1.5;!\n"))
    assert answer["measurement_data"]["qc"] == [1.0, 2.0]


@pytest.mark.parametrize(("code", "name"), [
    ("31000", "RD"), ("28992", "RD"), ("32000", "Belgian Lambert 72"), ("31370", "Belgian Lambert 72"),
    ("00000", "local"), ("12345", "12345"),
])
def test_coordinate_system_named_for_gef_and_epsg_codes(code, name):
    answer = parse_text(gef(header=f"#XYID= {code}, 100000.0, 400000.0\n"))
    assert answer["headers"]["coordinate_system"] == name


def test_registry_gef_files_name_their_coordinate_system_rd():
    for path in sorted((DATA / "site").glob("*.gef")):
        assert parse_sample(Path("site") / path.name)["headers"]["coordinate_system"] == "RD", path.name


def wrapped(encoded, layout):
    if layout == "lines":
        return "\n".join(encoded[i:i + 76] for i in range(0, len(encoded), 76))
    if layout == "crlf":
        return "\r\n".join(encoded[i:i + 64] for i in range(0, len(encoded), 64)) + "\r\n"
    if layout == "spaced":
        return " ".join(encoded[i:i + 5] for i in range(0, len(encoded), 5))
    if layout == "spaced-padding":
        return encoded[:-2] + " \t" + encoded[-2:] + "\n"
    return encoded


@pytest.mark.parametrize("layout", ["plain", "lines", "crlf", "spaced", "spaced-padding"])
@pytest.mark.parametrize("tail", ["", "\n", "\n\n"], ids=["no-pad", "two-pad", "one-pad"])
def test_base64_decoding_matches_the_standard_decoder(layout, tail):
    # Long runs take the four-character step, breaks and padding the one-character step: every
    # way the two meet must give the same answer as the unbroken text.
    text = gef(rows="".join(f"{k * 0.02:.2f};{1 + k % 7}.5;0.0{k % 9}1;1.{k % 5};!\n" for k in range(200))) + tail
    encoded = base64.b64encode(text.encode()).decode()
    answer = _jobs.parse_cpt_file({"file_content": wrapped(encoded, layout)})
    assert answer == _jobs.parse_cpt_file({"file_content": encoded})
    assert answer["measurement_data"]["qc"][:3] == [1.5, 2.5, 3.5]
    assert len(answer["measurement_data"]["qc"]) == 200


def test_truncated_files_never_crash():
    # Every prefix of a real file either parses or fails with the parsing error.
    text = (DATA / "cpt_voids.gef").read_text(encoding="ISO-8859-1")
    for end in range(len(text)):
        try:
            parse_text(text[:end])
        except GEFParsingError:
            pass


REFUSED_FILE_PEAK = """
    import base64, json
    from terrak import _jobs
    from terrak.core import JobFailure

    def high_water():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))

    head = {head!r}
    head += "\\n" * (-len(head) % 3)  # so that the Base64 of the file's parts joins up
    unit = {unit!r}
    repeats = {size} // (3 * len(unit))
    # The payload is joined from the Base64 of the file's parts: the file itself never exists here.
    body = base64.b64encode((unit * 3).encode()).decode() * repeats
    payload = "".join([base64.b64encode(head.encode()).decode(), body, base64.b64encode(b"\\n").decode()])
    del body
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the high-water mark restarts at the present resident size
    before = high_water()
    try:
        _jobs.parse_cpt_file({{"file_content": payload}})
        message = None
    except JobFailure as failure:
        message = failure.message
    print(json.dumps([len(head) + 3 * len(unit) * repeats + 1, high_water() - before, message]))
"""
HEAD = ("#GEFID= 1, 1, 0\n#TESTID= T1\n#ZID= 31000, 0.0\n#COLUMNINFO= 1, m, length, 1\n#COLUMNINFO= 2, MPa, qc, 2\n"
        "#COLUMNINFO= 3, MPa, fs, 3\n#COLUMNINFO= 4, %, Rf, 4\n")


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's own memory dwarfs the file")
@pytest.mark.parametrize(("head", "unit", "message"), [
    (HEAD + "#COLUMNSEPARATOR= ;\n#EOH=\n", "1;", ": 4200000 values in the row, but the header describes 4 columns"),
    (HEAD + "#EOH=\n", "1 ", ": 4200000 values in the row, but the header describes 4 columns"),
    (HEAD, "#A=\n", ": the header has more than 10000 lines; a CPT file's header ends with #EOH long before that"),
], ids=["wide-row", "wide-row-whitespace", "endless-header"])
def test_refused_file_takes_memory_of_about_its_size(run_python, head, unit, message):
    # 8.4 MB of one data line of 4.2 million values, or of 2.1 million header lines: the reader
    # keeps no more fields than a row may have (while still counting them all), and no more header
    # lines than a header may have.
    result = run_python(REFUSED_FILE_PEAK.format(head=head, unit=unit, size=8_400_000))
    assert result.returncode == 0, result.stderr
    size, peak, refusal = json.loads(result.stdout)
    assert refusal.endswith(message)
    assert peak < 2 * size, f"parsing a refused file of {size} bytes took {peak} bytes"


# ---- classification ------------------------------------------------------------------------

def check_layout(layers):
    """Top layer first, continuous, each in the form of SoilLayer.serialize."""
    assert layers
    for upper, lower in zip(layers, layers[1:]):
        assert upper["bottom_of_layer"] == lower["top_of_layer"]
        assert upper["soil"]["name"] != lower["soil"]["name"]
    for layer in layers:
        assert list(layer) == ["soil", "top_of_layer", "bottom_of_layer", "properties"]
        assert list(layer["soil"]) == ["name", "color", "properties"]
        assert layer["top_of_layer"] >= layer["bottom_of_layer"]
        Color(*layer["soil"]["color"])


@pytest.mark.parametrize("name", ["cpt.gef", "cpt2.gef", "cpt3.gef", "example.gef"])
def test_robertson_classifies_every_sample(name):
    cpt = parse_sample(name)
    params = {"soil_properties": [{"name": "Robertson zone 3", "gamma": 17}, {"name": "Robertson zone 6"}]}
    before = copy.deepcopy(params)
    layers = classify(cpt, "robertson", params)["soil_layers"]
    check_layout(layers)
    elevation = cpt["measurement_data"]["elevation"]
    assert layers[0]["top_of_layer"] == elevation[0] and layers[-1]["bottom_of_layer"] == min(elevation)
    names = {layer["soil"]["name"] for layer in layers}
    assert names <= set(ZONES) and len(names - {"Robertson zone unknown"}) >= 3
    for layer in layers:
        expected = {"gamma": 17} if layer["soil"]["name"] == "Robertson zone 3" else {}
        assert layer["soil"]["properties"] == expected
    assert params == before


class Tag(str):
    """Text of a type of its own, which copy.deepcopy copies through __deepcopy__."""

    def __deepcopy__(self, memo):
        return Tag(self + " (copied)")


@pytest.mark.parametrize("extra", [
    {"gamma": 17, "wet": 19.5, "dry": True, "note": None, "label": "peat"},
    {"limits": [1, 2], "nested": {"a": [3]}},
    {"tag": Tag("own copy")},
], ids=["flat", "nested", "own-deepcopy"])
def test_every_layer_gets_a_deep_copy_of_its_zone_properties(extra):
    # Flat names and numbers are copied without copy.deepcopy, anything else through it: both
    # must give each layer properties of its own, equal to what deepcopy makes.
    cpt = parse_sample("cpt.gef")
    properties = [{"name": zone, **extra} for zone in ZONES]
    layers = classify(cpt, "robertson", {"soil_properties": properties})["soil_layers"]
    expected = copy.deepcopy(extra)
    assert all(layer["soil"]["properties"] == expected for layer in layers)
    assert all(list(layer["soil"]["properties"]) == list(extra) for layer in layers)
    copies = [layer["soil"]["properties"] for layer in layers]
    assert len({id(c) for c in copies}) == len(copies) and all(c is not p for c in copies for p in properties)
    for key, value in extra.items():
        if isinstance(value, (list, dict, Tag)):
            assert len({id(c[key]) for c in copies}) == len(copies) and copies[0][key] is not value
    if "tag" in extra:
        assert copies[0]["tag"] == "own copy (copied)"


def measurements(depths, qc, rf, ground=0.0, **extra):
    columns = {"elevation": [ground - d for d in depths], "qc": qc, "Rf": rf, **extra}
    return {"headers": {"name": "synthetic", "ground_level_wrt_reference": ground}, "measurement_data": columns}


ROW_KEYS = ["qc_min", "qc_max", "qc_norm_min", "qc_norm_max", "rf_min", "rf_max",
            "gamma_dry_min", "gamma_dry_max", "gamma_wet_min", "gamma_wet_max"]


def row(name, color, **bounds):
    return {"name": name, "color": color, **{k: bounds.get(k, "") for k in ROW_KEYS}, "cohesion": 0}


def test_table_takes_the_first_row_that_holds_each_measurement():
    table = [row("Veen", "120,80,40", qc_max=1.0, rf_min=5.0, gamma_dry_min=10, gamma_wet_min=11),
             row("Klei", "40,120,70", qc_max=2.0, rf_min=2.0, gamma_dry_min=17, gamma_wet_min=17),
             row("Zand", "240,210,90", qc_min=2.0, rf_max=2.0, gamma_dry_min=18, gamma_wet_min=20),
             row("Zand ook", "1,2,3", qc_min=2.0, rf_max=2.0)]
    cpt = measurements([1000, 1100, 1200, 1300, 1400], [0.5, 0.5, 1.5, 10.0, 1.5], [0.06, 0.03, 0.03, 0.01, 0.01])
    layers = classify(cpt, "table", {"qualification_table": table, "ground_water_level": -1.0})["soil_layers"]
    check_layout(layers)
    assert [(l["soil"]["name"], l["top_of_layer"], l["bottom_of_layer"]) for l in layers] == [
        ("Veen", -1000.0, -1050.0), ("Klei", -1050.0, -1250.0), ("Zand", -1250.0, -1350.0),
        ("Undefined soil layer", -1350.0, -1400.0)]
    assert layers[0]["soil"] == {"name": "Veen", "color": [120, 80, 40], "properties": {
        "gamma_dry_min": 10, "gamma_dry_max": "", "gamma_wet_min": 11, "gamma_wet_max": "", "cohesion": 0}}
    assert layers[-1]["soil"] == {"name": "Undefined soil layer", "color": [0, 0, 0], "properties": {}}


def test_table_normalises_qc_with_dry_weight_above_and_wet_weight_below_the_water():
    # Ground at 0, water 1 m down, measurement 3 m down: s'v = 18 + 2 x 20 - 2 x 9.81 = 38.38 kPa;
    # qc = 1 MPa normalises to 1 x (100 / 38.38)^0.67 = 1.8995 MPa (NEN 9997-1 table 2.b).
    weights = {"gamma_dry_min": 17, "gamma_dry_max": 19, "gamma_wet_min": 20, "gamma_wet_max": 20}
    table = [row("below", "1,1,1", qc_norm_max=1.899, **weights),
             row("inside", "2,2,2", qc_norm_min=1.899, qc_norm_max=1.900, **weights),
             row("above", "3,3,3", qc_norm_min=1.900, **weights)]
    cpt = measurements([3000.0], [1.0], [0.02])
    layers = classify(cpt, "table", {"qualification_table": table, "ground_water_level": -1.0})["soil_layers"]
    assert [l["soil"]["name"] for l in layers] == ["inside"]
    # With the water at the surface the whole stretch is wet: s'v = 60 - 29.43 = 30.57 kPa.
    layers = classify(cpt, "table", {"qualification_table": table, "ground_water_level": 0.0})["soil_layers"]
    assert [l["soil"]["name"] for l in layers] == ["above"]


def ic_by_bisection(qt, sigma_v0, sigma_eff, fs, pa=100.0):
    """Robertson (2009) Ic solved independently: the root of Ic - f(Ic) by bisection, with the
    stress normalisation factor (pa / s'v0)^n limited to 1.7."""
    fr = fs / (qt - sigma_v0) * 100.0

    def ic_for(n):
        q = (qt - sigma_v0) / pa * min(1.7, (pa / sigma_eff) ** n)
        return math.hypot(3.47 - math.log10(q), math.log10(fr) + 1.22)

    lo, hi = 0.0, 1.0
    exponent = lambda n: min(1.0, 0.381 * ic_for(n) + 0.05 * sigma_eff / pa - 0.15) - n
    if exponent(hi) >= 0:
        return ic_for(1.0)
    for _ in range(200):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if exponent(mid) > 0 else (lo, mid)
    return ic_for((lo + hi) / 2)


# The last case is shallow soft soil, where the stress normalisation reaches its limit.
@pytest.mark.parametrize(("depth", "qc", "rf"), [(5.0, 8.0, 0.006), (12.0, 1.2, 0.03), (2.0, 0.3, 0.05)])
def test_ic_method_finds_the_stress_exponent(depth, qc, rf):
    # Water at the surface, unit weight 18: sv0 = 18 d, s'v0 = (18 - 9.81) d (kPa).
    expected = ic_by_bisection(qc * 1000, 18 * depth, (18 - 9.81) * depth, rf * qc * 1000)
    table = [{"name": "below", "ic_min": 0, "ic_max": expected - 1e-6, "color": "1,1,1", "cone_factor": 10},
             {"name": "at", "ic_min": expected - 1e-6, "ic_max": expected + 1e-6, "color": "2,2,2", "cone_factor": 20},
             {"name": "above", "ic_min": expected + 1e-6, "ic_max": 10, "color": "3,3,3", "cone_factor": 30}]
    cpt = measurements([depth * 1000], [qc], [rf], corrected_depth=[depth * 1000])
    params = {"ic_table": table, "ground_water_level": 0.0, "specific_weight_soil": 18.0, "resolution": None}
    layers = classify(cpt, "ic", params)["soil_layers"]
    assert [l["soil"] for l in layers] == [{"name": "at", "color": [2, 2, 2], "properties": {"cone_factor": 20}}]


def ic_rows_around(value, margin):
    return [{"name": "below", "ic_min": 0, "ic_max": value - margin, "color": "1,1,1"},
            {"name": "at", "ic_min": value - margin, "ic_max": value + margin, "color": "2,2,2"},
            {"name": "above", "ic_min": value + margin, "ic_max": 10, "color": "3,3,3"}]


def test_ic_method_limits_the_stress_normalisation_to_1_7():
    # qt = 1 MPa, sv0 = 150 kPa, s'v0 = 50 kPa, fs = 100 kPa: n settles at 1, so (pa / s'v0)^n = 2
    # is held to 1.7 and Ic is 3.2532 (3.2035 without the limit). Unit weight 15 kN/m3 at 10 m
    # gives sv0; the water level, 100 / 9.81 m above the measurement, gives u0 = 100 kPa.
    water = -10.0 + 100.0 / 9.81
    cpt = measurements([10000.0], [1.0], [0.1], corrected_depth=[10000.0], fs=[0.1])
    params = {"ic_table": ic_rows_around(3.2532, 5e-5), "ground_water_level": water, "specific_weight_soil": 15.0,
              "resolution": None}
    layers = classify(cpt, "ic", params)["soil_layers"]
    assert [l["soil"]["name"] for l in layers] == ["at"]


def test_ic_resolution_averages_windows():
    depths = [100.0 * k for k in range(1, 21)]
    cpt = measurements(depths, [10.0] * 10 + [0.5] * 10, [0.005] * 10 + [0.04] * 10)
    table = [{"name": "sand", "ic_min": "", "ic_max": 2.05, "color": "240,210,90", "cone_factor": 1},
             {"name": "clay", "ic_min": 2.05, "ic_max": None, "color": "40,120,70", "cone_factor": 2}]
    params = {"ic_table": table, "ground_water_level": -0.5, "specific_weight_soil": 18.0, "resolution": None}
    single = classify(cpt, "ic", params)["soil_layers"]
    assert [(l["soil"]["name"], l["bottom_of_layer"]) for l in single] == [("sand", -1050.0), ("clay", -2000.0)]
    params["resolution"] = 0.5  # windows from the highest measurement (-100 mm): edges at -600, -1100, ...
    windows = classify(cpt, "ic", params)["soil_layers"]
    check_layout(windows)
    assert [(l["soil"]["name"], l["bottom_of_layer"]) for l in windows] == [("sand", -1100.0), ("clay", -2000.0)]


GOOD = measurements([1000.0, 1100.0], [1.0, 2.0], [0.01, 0.02], corrected_depth=[1000.0, 1100.0], fs=[0.01, 0.04])
TABLE = {"qualification_table": [row("Zand", "1,2,3")], "ground_water_level": 0.0}
IC = {"ic_table": [{"name": "x", "ic_min": 0, "ic_max": 5, "color": "1,2,3"}], "ground_water_level": 0.0,
      "specific_weight_soil": 18.0, "resolution": None}


def without(mapping, key):
    return {k: v for k, v in mapping.items() if k != key}


class Aliased(dict):
    """A dict subclass that answers for "qc" with the values under "cone"."""

    def __contains__(self, key):
        return key == "qc" or super().__contains__(key)

    def __getitem__(self, key):
        return super().__getitem__("cone" if key == "qc" else key)


class Frozen(Mapping):
    def __init__(self, items):
        self._items = dict(items)

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


def test_payload_mappings_other_than_dict_are_asked_through_their_own_methods():
    data = GOOD["measurement_data"]
    expected = classify(GOOD, "table", TABLE)
    aliased = Aliased({("cone" if key == "qc" else key): value for key, value in data.items()})
    assert classify({**GOOD, "measurement_data": aliased}, "table", TABLE) == expected
    frozen = Frozen({"cpt_data": Frozen(GOOD), "classification_method": "table", "method_params": Frozen(TABLE)})
    assert _jobs.classify_cpt(frozen) == expected
    with pytest.raises(core.JobFailure, match="measurement_data has no 'Rf'"):
        _jobs.classify_cpt({"cpt_data": {**GOOD, "measurement_data": Aliased(without(aliased, "Rf"))},
                            "classification_method": "table", "method_params": TABLE})


@pytest.mark.parametrize(("cpt", "method", "params", "message"), [
    (GOOD, "nen", TABLE, "unknown classification method 'nen'; expected 'robertson', 'table' or 'ic'"),
    ({"headers": {}}, "table", TABLE, "cpt_data has no 'measurement_data'"),
    (measurements([1.0], [1.0], [None]), "table", TABLE, r"value 0 of column 'Rf' must be a number, not None"),
    (measurements([1.0, 2.0], [1.0], [0.1, 0.1]), "table", TABLE, "differ in length"),
    (GOOD, "table", {"qualification_table": [row("Zand", "red")], "ground_water_level": 0},
     "row 'Zand': color must be text \"r, g, b\""),
    (GOOD, "table", {"qualification_table": [row("Zand", "1,2,3", qc_min=5, qc_max=1)], "ground_water_level": 0},
     "row 'Zand': qc_min 5 exceeds qc_max 1"),
    (GOOD, "table", {"qualification_table": [row("Zand", "1,2,3", rf_max="veel")], "ground_water_level": 0},
     "row 'Zand': rf_max must be a number or '', not 'veel'"),
    (GOOD, "table", {"qualification_table": [row("Zand", "1,2,3", qc_norm_min=1)], "ground_water_level": 0},
     "gives no unit weight"),
    (GOOD, "table", without(TABLE, "ground_water_level"), "method_params has no 'ground_water_level'"),
    (GOOD, "ic", {**IC, "resolution": 0}, "resolution must be a number of metres"),
    (GOOD, "ic", {**IC, "specific_weight_soil": "18"}, "specific_weight_soil must be a number, not '18'"),
    (GOOD, "ic", {**IC, "ic_table": "x"}, "ic_table must be a list of dictionaries"),
    ({"headers": {"name": "x"}, "measurement_data": without(GOOD["measurement_data"], "fs")}, "robertson",
     {"soil_properties": []}, "measurement_data has no 'fs'"),
    ({"headers": {"name": "x"}, "measurement_data": without(GOOD["measurement_data"], "corrected_depth")},
     "robertson", {"soil_properties": []}, "measurement_data has no 'corrected_depth'"),
    (GOOD, "robertson", {"soil_properties": [{"name": "Robertson zone 10"}]}, "is not a Robertson zone name"),
], ids=["method", "no-data", "none-value", "lengths", "colour", "reversed", "text-bound", "no-weight", "no-water",
        "resolution", "weight-text", "table-type", "robertson-fs", "robertson-depth", "robertson-zone"])
def test_bad_classification_input_is_refused(cpt, method, params, message):
    before = copy.deepcopy((cpt, params))
    with pytest.raises(GEFClassificationError, match=message):
        classify(cpt, method, params)
    assert (cpt, params) == before


def test_robertson_failures_carry_their_own_error_name():
    cpt = {"headers": {"name": "x"}, "measurement_data": without(GOOD["measurement_data"], "fs")}
    with pytest.raises(core.JobFailure) as failure:
        _jobs.classify_cpt({"cpt_data": cpt, "classification_method": "robertson",
                            "method_params": {"soil_properties": []}})
    assert failure.value.error_name == "RobertsonProcessingException"
    assert failure.value.message == "measurement_data has no 'fs'"


# ---- columns that change while they are read -----------------------------------------------

class Meddling(int):
    """A measurement value whose conversion to float first calls its `meddle` attribute."""

    def __float__(self):
        self.meddle()
        return float(int(self))


def in_another_thread(change):
    """A meddle that has a second thread make the change while the conversion waits."""
    def meddle():
        thread = threading.Thread(target=change)
        thread.start()
        thread.join()
    return meddle


@pytest.mark.parametrize("change", [list.clear, lambda column: column.extend([0.5] * 10_000)],
                         ids=["emptied", "grown"])
@pytest.mark.parametrize("run", [lambda change: change, in_another_thread], ids=["in-float", "other-thread"])
def test_column_changed_while_read_is_refused(change, run):
    # Fresh float objects that only the column holds: emptying it frees them, growing it moves
    # its item array. The values read are those the column holds at each step, as a loop over it
    # in Python would see them, so the column no longer matches the others in length.
    first = Meddling(1)
    qc = [first] + [float(k) + 0.5 for k in range(1, 40)]
    first.meddle = run(lambda: change(qc))
    depths = [100.0 * k for k in range(1, 41)]
    data = GEFData(measurements(depths, qc, [0.01] * 40, corrected_depth=depths))
    with pytest.raises(GEFClassificationError, match="the measurement columns of the CPT data differ in length"):
        data.classify(NormalizedSoilBehaviourTypeIndexMethod(IC["ic_table"], 0.0, 18.0))


def test_column_items_converted_by_python_code_are_read():
    # The general path: an int subclass's own __float__ gives the value.
    class Doubled(int):
        def __float__(self):
            return 2.0 * int(self)

    cpt = measurements([100.0, 200.0], [Doubled(1), 2.0], [0.01, 0.01], corrected_depth=[100.0, 200.0])
    table = {"qualification_table": [row("low", "1,1,1", qc_max=1.5), row("high", "2,2,2", qc_min=1.5)],
             "ground_water_level": 0.0}
    layers = classify(cpt, "table", table)["soil_layers"]
    assert [l["soil"]["name"] for l in layers] == ["high"]
