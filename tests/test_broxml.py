"""CPTs in the registry's XML (BRO-XML), read by the built-in parse job into the GEF answer."""

import base64
import math
from pathlib import Path
from xml.etree import ElementTree

import matplotlib

matplotlib.use("Agg")

import pytest  # noqa: E402

from terrak import _jobs  # noqa: E402
from terrak.core import JobFailure  # noqa: E402
from terrak.errors import GEFParsingError  # noqa: E402
from terrak.geo import (GEFFile, NormalizedSoilBehaviourTypeIndexMethod, RobertsonMethod, TableMethod,  # noqa: E402
                        gef_visualization)
from test_leaks import TABLE  # noqa: E402  (one qualification table for the CPT tests)
from test_threads import assert_releases_gil, no_forced_switches  # noqa: E402,F401  (a fixture)

DATA = Path(__file__).resolve().parent.parent / "data"
SAMPLES = sorted((DATA / "broxml").glob("*.xml"))
COLUMNS = ["penetration_length", "corrected_depth", "fs", "u2", "inclination", "inclination_n_s", "inclination_e_w"]
VOID = -999999.0


def read(path, **options):
    return GEFFile.from_file(path).parse(additional_columns=COLUMNS, **options)


def parse_bytes(data):
    """The job itself, given the document's own bytes."""
    return _jobs.parse_cpt_file({"file_content": base64.b64encode(data).decode()})


# ---- the samples ------------------------------------------------------------------------------

# Header values from the registry's own figures for the two samples. The deepest level counts
# the rows that are kept: the last rows have no friction reading and go, as they do in GEF files
# (the registry's deepest rows with a cone resistance lie at -6480 and -3029 mm).
HEADERS = {
    "CPT000000155283.xml": {
        "name": "CPT000000155283", "ground_level_wrt_reference": 90.0, "max_measurement_depth_wrt_reference": -6390.0,
        "height_system": "NAP", "x_y_coordinates": [132782.52, 448030.34], "coordinate_system": "RD",
        "gef_file_date": "2020-07-15", "cone_tip_area": 1007.0, "cone_type": "CP10-CF10PB1TE30SN2/1706-2169",
        "surface_area_quotient_tip": 0.75, "excavation_depth": 500.0, "measurement_standard": "ISO22476D1 / klasse1"},
    "example.xml": {
        "name": "CPT000000099543", "ground_level_wrt_reference": 4410.0, "max_measurement_depth_wrt_reference": -2929.0,
        "height_system": "NAP", "x_y_coordinates": [170112.2, 486406.5], "coordinate_system": "RD",
        "gef_file_date": "2019-04-23", "cone_tip_area": 1500.0, "cone_type": "I-CFXY-15/190206",
        "surface_area_quotient_tip": 0.67, "excavation_depth": 0.0, "measurement_standard": "ISO22476D1 / klasse2"},
}
# Of 305 and 373 rows, those complete in every measured column once inner voids are bridged.
KEPT_ROWS = {"CPT000000155283.xml": 296, "example.xml": 367}


def registry_rows(path):
    """The file's measurement rows read independently: lists of 25 numbers, None for void."""
    text = ElementTree.parse(path).find(".//{*}cptResult/{*}values").text
    return [[None if float(token) == VOID else float(token) for token in block.split(",")]
            for block in text.split(";") if block]


@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.name)
def test_sample_headers_are_the_registry_values(path):
    data = read(path)
    assert data.classification_data["headers"] == HEADERS[path.name]
    assert list(data.classification_data["headers"]) == list(HEADERS[path.name])


@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.name)
def test_sample_rows_are_the_file_values_in_depth_order(path):
    data = read(path)
    rows = {round(row[0] * 1000, 6): row for row in registry_rows(path)}
    columns = data.classification_data["measurement_data"]
    assert list(columns) == [c for c in ["penetration_length", "corrected_depth", "elevation", "qc", "fs", "Rf", "u2",
                                         "inclination", "inclination_n_s", "inclination_e_w"] if c in columns]
    lengths = columns["penetration_length"]
    assert len(lengths) == KEPT_ROWS[path.name]
    assert lengths == sorted(lengths) and len(set(lengths)) == len(lengths)
    ground = HEADERS[path.name]["ground_level_wrt_reference"]
    wanted = {"qc": (3, 1), "fs": (18, 1), "Rf": (24, 0.01), "u2": (22, 1), "inclination": (15, 1),
              "inclination_n_s": (12, 1), "inclination_e_w": (11, 1), "corrected_depth": (1, 1000)}
    exact = 0
    for k, length in enumerate(lengths):
        row = rows[length]
        assert columns["qc"][k] == row[3]  # never made up
        for name, (index, scale) in wanted.items():
            if name in columns and row[index] is not None:
                assert columns[name][k] == pytest.approx(row[index] * scale, rel=1e-12, abs=1e-9), (length, name)
        assert columns["elevation"][k] == pytest.approx(ground - columns["corrected_depth"][k], abs=1e-6)
        exact += all(row[index] is not None for name, (index, _) in wanted.items() if name in columns)
    assert exact >= len(lengths) - 3


def test_rows_stored_out_of_order_are_sorted():
    # The file stores the row at 5.060 m before those at 5.000-5.040 m.
    columns = read(DATA / "broxml" / "CPT000000155283.xml").classification_data["measurement_data"]
    k = columns["penetration_length"].index(5060.0)
    assert columns["penetration_length"][k - 3:k + 2] == [5000.0, 5020.0, 5040.0, 5060.0, 5080.0]
    # Its own numbers, as the file holds them: "5.060,5.060,7634.2,3.849,...,0.024,...,0.047,-999999,0.6"
    assert [columns[name][k] for name in ("qc", "fs", "u2", "corrected_depth")] == [3.849, 0.024, 0.047, 5060.0]
    assert columns["Rf"][k] == pytest.approx(0.006)
    assert columns["qc"][k - 3:k] == [3.690, 3.726, 3.762]


def test_friction_ratio_of_zero_without_friction_counts_as_void():
    # example.xml: the last five rows have no local friction but a friction ratio of 0.0; they
    # go like any row with a void at the end of a column, and no ratio of 0 is left.
    columns = read(DATA / "broxml" / "example.xml").classification_data["measurement_data"]
    assert columns["penetration_length"][-1] == 7340.0
    assert min(columns["Rf"]) > 0


def gef_rendering(path):
    """The same CPT written as a GEF file: the registry's own numbers, rows in depth order."""
    root = ElementTree.parse(path).getroot()

    def text(name):
        return root.find(f".//{{*}}{name}").text.strip()

    rows = sorted(registry_rows(path), key=lambda row: row[0])
    flags = [child.text.strip() == "ja" for child in root.find(".//{*}conePenetrometerSurvey/{*}parameters")]
    # File column, unit and GEF quantity number of each registry column this reader uses.
    quantities = [(0, "m", 1), (1, "m", 11), (3, "MPa", 2), (18, "MPa", 3), (24, "%", 4), (22, "MPa", 6),
                  (15, "deg", 8), (12, "deg", 9), (11, "deg", 10)]
    used = [(index, unit, quantity) for index, unit, quantity in quantities if flags[index]]
    x, y = text("deliveredLocation/{*}location/{*}pos").split()
    date = text("researchReportDate/{*}date").split("-")
    header = [
        "#GEFID= 1, 1, 0", "#REPORTCODE= GEF-CPT-Report, 1, 1, 2", f"#TESTID= {text('broId')}",
        f"#ZID= 31000, {text('offset')}", f"#XYID= 31000, {x}, {y}", f"#FILEDATE= {', '.join(date)}",
        f"#MEASUREMENTVAR= 1, {text('coneSurfaceArea')}, mm2, cone area",
        f"#MEASUREMENTVAR= 3, {text('coneSurfaceQuotient')}, -, area quotient",
        f"#MEASUREMENTVAR= 13, {text('predrilledDepth')}, m, pre-excavated depth",
        f"#MEASUREMENTTEXT= 4, {text('conePenetrometerType')}",
        f"#MEASUREMENTTEXT= 6, {text('cptStandard')} / {text('qualityClass')}",
        "#COLUMNSEPARATOR= ;", "#RECORDSEPARATOR= !",
    ]
    for number, (_, unit, quantity) in enumerate(used, start=1):
        header += [f"#COLUMNINFO= {number}, {unit}, q{quantity}, {quantity}", f"#COLUMNVOID= {number}, -999999"]
    lines = [";".join("-999999" if row[index] is None else repr(row[index]) for index, _, _ in used) + ";!"
             for row in rows]
    return "\n".join(header + ["#EOH="] + lines) + "\n"


@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.name)
def test_same_cpt_gives_the_same_answer_from_xml_and_gef(path):
    from_xml = read(path, return_gef_data_obj=False)
    from_gef = GEFFile(gef_rendering(path)).parse(additional_columns=COLUMNS, return_gef_data_obj=False)
    assert from_xml["measurement_data"] == from_gef["measurement_data"]
    gef_headers = {key: value for key, value in from_gef["headers"].items() if key != "gef_version_number"}
    assert from_xml["headers"] == gef_headers


ZONES = ["Robertson zone unknown"] + [f"Robertson zone {number}" for number in range(1, 10)]
IC_TABLE = [{"name": "Grind", "ic_min": 0, "ic_max": 1.31, "color": "200, 200, 200"},
            {"name": "Zand", "ic_min": 1.31, "ic_max": 2.05, "color": "230, 200, 60"},
            {"name": "Zand, siltig", "ic_min": 2.05, "ic_max": 2.6, "color": "200, 200, 60"},
            {"name": "Klei", "ic_min": 2.6, "ic_max": 9, "color": "0, 160, 0"}]
METHODS = {
    "robertson": lambda: RobertsonMethod([{"name": zone} for zone in ZONES]),
    "table": lambda: TableMethod(TABLE, -1.0),
    "ic": lambda: NormalizedSoilBehaviourTypeIndexMethod(IC_TABLE, -1.0, 18.0),
}


@pytest.mark.parametrize("method", METHODS, ids=METHODS.keys())
@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.name)
def test_samples_classify_into_continuous_layouts_and_draw(path, method):
    data = read(path)
    layout = data.classify(METHODS[method]())
    layers = layout.layers
    assert len(layers) >= 2
    assert layers[0].top_of_layer == data.elevation[0]
    assert layers[-1].bottom_of_layer == data.elevation[-1]
    for upper, lower in zip(layers, layers[1:]):
        assert upper.bottom_of_layer == lower.top_of_layer
        assert upper.top_of_layer > upper.bottom_of_layer
    assert "<svg" in gef_visualization(data, layout, layout)


# ---- small documents ------------------------------------------------------------------------

NS = {
    "dscpt": "http://www.broservices.nl/xsd/dscpt/1.1",
    "brocom": "http://www.broservices.nl/xsd/brocommon/3.0",
    "cptcommon": "http://www.broservices.nl/xsd/cptcommon/1.1",
    "gml": "http://www.opengis.net/gml/3.2",
    "swe": "http://www.opengis.net/swe/2.0",
}
PARAMETERS = [
    "penetrationLength", "depth", "elapsedTime", "coneResistance", "correctedConeResistance", "netConeResistance",
    "magneticFieldStrengthX", "magneticFieldStrengthY", "magneticFieldStrengthZ", "magneticFieldStrengthTotal",
    "electricalConductivity", "inclinationEW", "inclinationNS", "inclinationX", "inclinationY",
    "inclinationResultant", "magneticInclination", "magneticDeclination", "localFriction", "poreRatio",
    "temperature", "porePressureU1", "porePressureU2", "porePressureU3", "frictionRatio"]
DECLARATION = '<?xml version="1.0" encoding="UTF-8"?>'
# Prefixes per namespace as the registry's deliveries use them.
REST = {"dscpt": "", "brocom": "brocom", "cptcommon": "cptcommon", "gml": "gml", "swe": "swe"}


def el(namespace, name, content=(), **attributes):
    return namespace, name, attributes, content


def row(length, qc="1.000", fs="0.010", rf="1.0", depth=None, **others):
    """One cptResult row of 25 values, void where not given (values as the file writes them)."""
    tokens = ["-999999"] * 25
    tokens[0], tokens[1], tokens[3], tokens[18], tokens[24] = length, length if depth is None else depth, qc, fs, rf
    for name, value in others.items():
        tokens[PARAMETERS.index(name)] = value
    return ",".join(tokens)


ROWS = [row("0.500", "1.000", "0.010", "1.0"), row("0.520", "2.000", "0.030", "1.5"),
        row("0.540", "3.000", "0.030", "1.0")]
MEASURED = {"penetrationLength", "depth", "coneResistance", "localFriction", "frictionRatio"}


def cpt(rows=ROWS, cone_type="T-1", measured=MEASURED, encoding=None, before_id=()):
    encoding = encoding or {"decimalSeparator": ".", "tokenSeparator": ",", "blockSeparator": ";"}
    return el("dscpt", "CPT_O", [
        *before_id,
        el("brocom", "broId", "CPT000000000001"),
        el("dscpt", "researchReportDate", [el("brocom", "date", "2024-02-01")]),
        el("dscpt", "cptStandard", "NEN5140"),
        el("dscpt", "deliveredLocation", [
            el("cptcommon", "location", [el("gml", "pos", "100000.000 400000.000")],
               srsName="urn:ogc:def:crs:EPSG::28992")]),
        el("dscpt", "deliveredVerticalPosition", [
            el("cptcommon", "localVerticalReferencePoint", "maaiveld"), el("cptcommon", "offset", "1.500"),
            el("cptcommon", "verticalDatum", "NAP")]),
        el("dscpt", "conePenetrometerSurvey", [
            el("cptcommon", "qualityClass", "klasse2"),
            el("cptcommon", "trajectory", [el("cptcommon", "predrilledDepth", "0.50")]),
            el("cptcommon", "conePenetrometer", [
                el("cptcommon", "conePenetrometerType", cone_type), el("cptcommon", "coneSurfaceArea", "1500"),
                el("cptcommon", "coneSurfaceQuotient", "0.80")]),
            el("cptcommon", "conePenetrationTest", [el("cptcommon", "cptResult", [
                el("swe", "encoding", [el("swe", "TextEncoding", **encoding)]),
                el("cptcommon", "values", "".join(r + encoding.get("blockSeparator", ";") for r in rows))])]),
            el("cptcommon", "parameters",
               [el("cptcommon", name, "ja" if name in measured else "nee") for name in PARAMETERS]),
        ]),
    ])


def render(node, prefixes, layout, depth=0):
    """XML text of a node. layout: "indented", "pretty" (text values followed by a line break and
    indentation) or "one-line"."""
    indent = "" if layout == "one-line" else "  " * depth
    if isinstance(node, str):
        return indent + node
    namespace, name, attributes, content = node
    tag = f"{prefixes[namespace]}:{name}" if prefixes[namespace] else name
    attrs = "".join(f' {key}="{value}"' for key, value in attributes.items())
    if isinstance(content, str):
        text = content + "\n" + indent + "  " if layout == "pretty" else content
        return f"{indent}<{tag}{attrs}>{text}</{tag}>"
    if not content:
        return f"{indent}<{tag}{attrs}/>"
    joint = "" if layout == "one-line" else "\n"
    inner = joint.join(render(child, prefixes, layout, depth + 1) for child in content)
    return f"{indent}<{tag}{attrs}>{joint}{inner}{joint}{indent}</{tag}>"


def document(*objects, prefixes=REST, decoys=None, root="dispatchDataResponse", declaration=DECLARATION,
             layout="indented"):
    """A registry dispatch document holding the given objects (one small CPT by default)."""
    bindings = {(f"xmlns:{prefix}" if prefix else "xmlns"): NS[namespace] for namespace, prefix in prefixes.items()}
    bindings.update({f"xmlns:{prefix}": uri for prefix, uri in (decoys or {}).items()})
    tree = el("dscpt", root, [el("brocom", "responseType", "dispatch"),
                              el("dscpt", "dispatchDocument", list(objects or [cpt()]))], **bindings)
    text = render(tree, prefixes, layout)
    return text if declaration is None else declaration + ("" if layout == "one-line" else "\n") + text


def parse_text(text, **options):
    return GEFFile(text).parse(additional_columns=COLUMNS, return_gef_data_obj=False, **options)


SMALL = {
    "headers": {
        "name": "CPT000000000001", "ground_level_wrt_reference": 1500.0, "max_measurement_depth_wrt_reference": 960.0,
        "height_system": "NAP", "x_y_coordinates": [100000.0, 400000.0], "coordinate_system": "RD",
        "gef_file_date": "2024-02-01", "cone_tip_area": 1500.0, "cone_type": "T-1", "surface_area_quotient_tip": 0.8,
        "excavation_depth": 500.0, "measurement_standard": "NEN5140 / klasse2"},
    "measurement_data": {
        "penetration_length": [500.0, 520.0, 540.0], "corrected_depth": [500.0, 520.0, 540.0],
        "elevation": [1000.0, 980.0, 960.0], "qc": [1.0, 2.0, 3.0], "fs": [0.01, 0.03, 0.03],
        "Rf": [0.01, 0.015, 0.01]},
}
SCHEMA_HOST = "https://schema.broservices.nl/xsd"


@pytest.mark.parametrize("text", [
    document(),
    # The web download: other prefixes for the used namespaces, and the usual ones declared
    # for URIs that no element uses.
    document(prefixes={"dscpt": "ns13", "brocom": "ns12", "cptcommon": "ns14", "gml": "gml", "swe": "swe"},
             decoys={"brocom": f"{SCHEMA_HOST}/brocommon/3.0", "cptcommon": f"{SCHEMA_HOST}/cptcommon/1.1",
                     "dscpt": f"{SCHEMA_HOST}/dscpt/1.1"}),
    # A re-serialised copy: no declaration, numbered prefixes, one line, no white space at all.
    document(prefixes={"dscpt": "ns0", "brocom": "ns1", "cptcommon": "ns3", "gml": "ns2", "swe": "ns8"},
             declaration=None, layout="one-line"),
    document(prefixes={**REST, "dscpt": "ns11"}, root="dispatchDataResponseType"),
    # Text values followed by a line break and indentation.
    document(layout="pretty"),
    # Namespaces of later versions on the registry's other host.
    document().replace("www.broservices.nl/xsd/dscpt/1.1", "schema.broservices.nl/xsd/dscpt/2.0")
              .replace("www.broservices.nl/xsd/cptcommon/1.1", "schema.broservices.nl/xsd/cptcommon/1.2"),
], ids=["rest-service", "web-download", "re-serialised", "dispatch-response-type", "pretty-printed", "new-versions"])
def test_document_variants_give_the_same_answer(text):
    assert parse_text(text) == SMALL


def test_elements_are_matched_by_namespace_not_by_prefix():
    # Look-alikes in foreign namespaces, one with the registry's own prefix bound elsewhere,
    # come first and are passed over; so is a CPT_O of another vocabulary.
    decoy_id = '<brocom:broId xmlns:brocom="http://example.com/not-the-registry">DECOY</brocom:broId>'
    decoy_location = ('<deliveredLocation xmlns="http://example.com/other"><location srsName="EPSG:4326">'
                      '<pos xmlns="http://www.opengis.net/gml/3.2">1 2</pos></location></deliveredLocation>')
    text = document(cpt(before_id=[decoy_id, decoy_location]), '<x:CPT_O xmlns:x="urn:elsewhere"/>')
    assert parse_text(text) == SMALL


@pytest.mark.parametrize(("encoding", "codec", "cone_type"), [
    ("UTF-8", "utf-8", "Sonde ë° € Ω"),
    (None, "utf-8", "Sonde ë° € Ω"),
    ("UTF-8", "utf-8-sig", "Sonde ë° € Ω"),
    ("ISO-8859-1", "latin-1", "Sonde ë°"),
    ("windows-1252", "cp1252", "Sonde ë° €"),
    ("UTF-16", "utf-16", "Sonde ë° € Ω"),
    ("UTF-16", "utf-16-le", "Sonde ë° € Ω"),
], ids=["utf-8", "undeclared-utf-8", "utf-8-bom", "iso-8859-1", "windows-1252", "utf-16", "utf-16-without-bom"])
def test_encodings_as_declared_whichever_way_the_text_arrives(tmp_path, encoding, codec, cone_type):
    declaration = f'<?xml version="1.0" encoding="{encoding}"?>' if encoding else None
    path = tmp_path / "cpt.xml"
    path.write_bytes(document(cpt(cone_type=cone_type), declaration=declaration).encode(codec))
    # Read as text the default way (ISO-8859-1), in the file's own encoding, and, for the byte
    # order mark, as UTF-8 that keeps the mark as a character; and the bytes as they are.
    readings = ["ISO-8859-1", codec] + (["utf-8"] if codec == "utf-8-sig" else [])
    answers = [GEFFile.from_file(path, encoding=reading).parse(return_gef_data_obj=False) for reading in readings]
    for answer in answers + [parse_bytes(path.read_bytes())]:
        assert answer["headers"]["cone_type"] == cone_type
        assert answer["measurement_data"]["qc"] == [1.0, 2.0, 3.0]


def test_declared_separators_are_honoured():
    separators = {"decimalSeparator": ",", "tokenSeparator": " ", "blockSeparator": "|"}
    rows = [r.replace(",", " ").replace(".", ",") for r in ROWS]
    assert parse_text(document(cpt(rows=rows, encoding=separators))) == SMALL
    # A line break, written as a character reference: a literal one in an attribute reads as a space.
    words = {"decimalSeparator": ".", "tokenSeparator": "::", "blockSeparator": "@@&#10;"}
    rows = [r.replace(",", "::") for r in ROWS]
    assert parse_text(document(cpt(rows=rows, encoding=words))) == SMALL


def test_depth_is_derived_from_the_inclination_where_the_document_gives_none():
    rows = [row("0.000", inclinationResultant="0"), row("1.000", inclinationResultant="60"),
            row("2.000", inclinationResultant="60", depth="-999999"),
            row("3.000", inclinationNS="10", inclinationEW="10", inclinationResultant="0")]
    measured = MEASURED - {"depth"} | {"inclinationResultant"}
    columns = parse_text(document(cpt(rows=rows, measured=measured)))["measurement_data"]
    assert columns["corrected_depth"] == [0.0, 500.0, 1000.0, 2000.0]
    assert columns["elevation"] == [1500.0, 1000.0, 500.0, -500.0]
    # Two perpendicular tilts without a resultant: the axis runs along (tan a, tan b, 1).
    rows = [row("0.000", inclinationX="0", inclinationY="0"), row("1.000", inclinationX="45", inclinationY="45")]
    measured = MEASURED - {"depth"} | {"inclinationX", "inclinationY"}
    columns = parse_text(document(cpt(rows=[r.replace("1.000,1.000", "1.000,-999999") for r in rows],
                                      measured=measured)))["measurement_data"]
    assert columns["corrected_depth"] == pytest.approx([0.0, 1000 / math.sqrt(3)])
    assert "inclination" not in columns  # X/Y tilts have no column of their own in the answer


def test_voids_are_bridged_and_rows_without_cone_resistance_dropped():
    rows = [row("0.000", fs="-999999", rf="-999999"), row("0.020", qc="-999999"), row("0.040", fs="-999999", rf="0.0"),
            row("0.060", fs="0.050", rf="-999999", qc="2.000"), row("0.080", fs="0.070"),
            row("-999999", qc="9.000"), row("0.100", fs="-999999.0")]
    columns = parse_text(document(cpt(rows=rows)))["measurement_data"]
    # The top row's friction is void at the end of the column, the second has no cone
    # resistance, the last a void friction (written "-999999.0") at the end; the row without
    # a penetration length cannot be placed. At 0.040 the friction is bridged (ratio 0 without
    # friction is void, then bridged too); at 0.060 the ratio is the row's own fs / qc.
    assert columns["penetration_length"] == [40.0, 60.0, 80.0]
    assert columns["fs"] == pytest.approx([0.03, 0.05, 0.07])
    assert columns["Rf"] == pytest.approx([0.0175, 0.025, 0.01])


def test_numbers_do_not_depend_on_the_c_locale(run_python):
    result = run_python(f"""
        import locale
        from terrak.geo import GEFFile
        try:
            locale.setlocale(locale.LC_ALL, "nl_NL.UTF-8")   # decimal comma
        except locale.Error:
            print("no locale")
        else:
            data = GEFFile.from_file({str(SAMPLES[0])!r}).parse()
            print(locale.localeconv()["decimal_point"], data.qc[:3], data.elevation[-1])
    """)
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "no locale":
        pytest.skip("the nl_NL.UTF-8 locale is not installed")
    expected = read(SAMPLES[0])
    assert result.stdout.split(" ", 1) == [",", f"{expected.qc[:3]} {expected.elevation[-1]}\n"]


# ---- refusals ---------------------------------------------------------------------------------

def without(element, text=None):
    """The small document without the first element of that local name (with its content)."""
    text = text or document()
    start = text.index(f":{element}>") if f":{element}>" in text else text.index(f"<{element}>")
    start = text.rindex("<", 0, start + 1)
    tag = text[start + 1:text.index(">", start)].split()[0]
    return text[:start] + text[text.index(f"</{tag}>", start) + len(tag) + 3:]


BOREHOLE = document(el("dscpt", "BHR_GT_O", [el("brocom", "broId", "BHR000000000001")]))
WELL = document(el("dscpt", "GMW_O", [el("brocom", "broId", "GMW000000000001")]))
NO_FRICTION = MEASURED - {"localFriction", "frictionRatio"}


@pytest.mark.parametrize(("text", "message"), [
    (document().replace("</cptcommon:offset>", "</cptcommon:offst>"),
     "line 18: malformed XML (start-end tags mismatch)"),
    (document()[:document().index("</researchReportDate>")], "line 9: malformed XML (start-end tags mismatch)"),
    (BOREHOLE, "line 5: this BRO-XML document holds a borehole (BHR_GT_O), not a CPT (CPT_O)"),
    (WELL, "line 5: this BRO-XML document holds a groundwater monitoring well (GMW_O), not a CPT (CPT_O)"),
    (document(el("dscpt", "rejection", "none")),
     "line 2: this BRO-XML document holds no CPT (no CPT_O element)"),
    ("<?xml version='1.0'?>\n<html><body>not a CPT</body></html>",
     "line 2: not a GEF file nor a BRO-XML CPT: the XML document's root element is 'html'"),
    (document(cpt(), cpt(), cpt()),
     "the document holds 3 CPTs (CPT_O elements), but one CPT is read at a time: send each in a document of its own"),
    (without("cptResult"), "line 5: the CPT holds no measurements (no conePenetrationTest/cptResult/values)"),
    (document(cpt(rows=[])), "line 36: the CPT holds no measurements (its cptResult values are empty)"),
    (document(cpt(rows=ROWS[:1] + [ROWS[1] + ",0.1"])),
     "line 36: row 2 of the measurements holds 26 values, but a CPT result row has 25"),
    (document(cpt(rows=[r.replace("2.000", "2,000") for r in ROWS])),
     "line 36: row 2 of the measurements holds 26 values, but a CPT result row has 25"),
    (document(cpt(rows=[r.replace("3.000", "3.0x") for r in ROWS])),
     "line 36: value '3.0x' in row 3, column 4 (cone resistance) is not a number"),
    (document(cpt(rows=[r.replace("1.000", "nan") for r in ROWS])),
     "line 36: value 'nan' in row 1, column 4 (cone resistance) is not a number"),
    (document(cpt(measured=MEASURED - {"coneResistance"})),
     "the CPT has no cone resistance: column 4 (coneResistance) of the measurements holds no value"),
    (document(cpt(rows=[row(length, qc="-999999") for length in ("0.1", "0.2")])),
     "the CPT has no cone resistance: column 4 (coneResistance) of the measurements holds no value"),
    (document(cpt(measured=NO_FRICTION)),
     "The file has no friction data: neither a friction ratio nor a local friction column"),
    (document(cpt(rows=[row("0.1", fs="-999999", rf="-999999"), row("0.2", qc="-999999")])),
     "no measurement row remains once rows with void values are removed"),
    (without("broId"), "line 5: the CPT has no broId, so the test has no name"),
    (without("deliveredVerticalPosition"),
     "line 5: the CPT has no deliveredVerticalPosition/offset, so the ground level is unknown"),
    (document().replace(">1.500<", ">1,5<"), "line 18: the offset '1,5' is not a number"),
    (document(cpt(encoding={"decimalSeparator": ".", "tokenSeparator": ","})),
     "line 34: the measurements declare no blockSeparator"),
    (document(cpt(encoding={"decimalSeparator": ",", "tokenSeparator": ",", "blockSeparator": ";"})),
     "line 34: the separators ',' (token) and ';' (block) cannot separate numbers written with ',' as decimal "
     "separator"),
    (without("encoding"), "line 32: the measurements declare no encoding (swe:TextEncoding)"),
    (document(cpt(cone_type="T-ë"), declaration='<?xml version="1.0" encoding="Shift_JIS"?>'),
     "the XML declaration names the encoding 'shift_jis', which is not read here; UTF-8, UTF-16, ISO-8859-1 and "
     "windows-1252 are"),
], ids=["malformed", "truncated", "borehole", "groundwater-well", "no-object", "not-from-the-registry", "three-cpts",
        "no-result", "no-rows", "wide-row", "comma-in-number", "bad-number", "not-finite", "qc-not-measured",
        "qc-all-void", "no-friction", "nothing-complete", "no-bro-id", "no-ground-level", "bad-offset",
        "no-block-separator", "clashing-separators", "no-encoding", "unknown-encoding"])
def test_refusals_name_their_cause(text, message):
    with pytest.raises(GEFParsingError) as error:
        parse_text(text)
    assert str(error.value) == message


@pytest.mark.parametrize(("data", "message"), [
    ('<?xml version="1.0"?>\n<a>\xe9</a>'.encode("latin-1"),
     "line 2: the document is not valid UTF-8 text, which a document without an encoding declaration must be"),
    ('<?xml version="1.0" encoding="UTF-16"?><a/>'.encode("latin-1") + b"\xff",
     "the XML declaration names 'utf-16', but the document has no UTF-16 byte order mark"),
    (b"\xff\xfe" + "<a/>".encode("utf-16-le")[:-1], "the document is not UTF-16: it has an odd number of bytes"),
    ("\ufeff<a>\ud800</a>".encode("utf-16-le", "surrogatepass"),
     "line 1: the document is not valid UTF-16 (an unpaired surrogate)"),
    (b"<a>\x00</a>", "line 1: the XML document holds a NUL character"),
], ids=["undeclared-latin-1", "false-utf-16", "odd-utf-16", "lone-surrogate", "nul"])
def test_bytes_that_are_not_the_declared_encoding_are_refused(data, message):
    with pytest.raises(JobFailure) as failure:
        parse_bytes(data)
    assert (failure.value.error_name, failure.value.message) == ("ParsingError", message)


def test_gef_files_still_go_to_the_gef_reader():
    with pytest.raises(GEFParsingError, match="^line 1: not a GEF file: it must begin with a #GEFID line$"):
        parse_text("CPT_O")


# ---- hostile documents ------------------------------------------------------------------------

def test_entities_are_neither_expanded_nor_fetched():
    laughs = "".join(f'<!ENTITY lol{k} "{("&lol%d;" % (k - 1)) * 10}">' for k in range(1, 10))
    doctype = (f'<!DOCTYPE dispatchDataResponse [<!ENTITY lol0 "lol">{laughs}'
               '<!ENTITY xxe SYSTEM "file:///etc/passwd"><!ENTITY net SYSTEM "http://192.0.2.1/x.dtd">]>')
    text = document().replace(DECLARATION, DECLARATION + doctype)
    text = text.replace(">CPT000000000001<", ">&lol9;&xxe;&net;<").replace(">T-1<", ">&amp;&#65;<")
    headers = parse_text(text)["headers"]
    assert headers["name"] == "&lol9;&xxe;&net;"
    assert headers["cone_type"] == "&A"  # the predefined entity and character references are read


def test_deep_nesting_and_huge_attributes_stay_in_bounds(run_python):
    result = run_python(f"""
        import base64, resource
        from terrak import _jobs
        from terrak.core import JobFailure

        def run(text):
            try:
                return _jobs.parse_cpt_file({{"file_content": base64.b64encode(text.encode()).decode()}})["headers"]["name"]
            except JobFailure as failure:
                return failure.message

        base = {document()!r}
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        depth = 1_000_000
        print(run("<a>" * depth + "</a>" * depth))
        print(run(base.replace("<brocom:broId>", "<x>" * depth + "</x>" * depth + "<brocom:broId>")))
        print(run("<dispatchDataResponse xmlns='{NS["dscpt"]}'>" + "<CPT_O>" * depth + "</CPT_O>" * depth
                  + "</dispatchDataResponse>"))
        print(run(base.replace("<dispatchDocument>", "<dispatchDocument huge='" + "x" * 50_000_000 + "'>")))
        print(run(base.replace("<dispatchDocument>", "<dispatchDocument " + " ".join(
            f"xmlns:p{{k}}='urn:{{k}}'" for k in range(200_000)) + ">")))
        # Many look-alike candidates under a parent with many attributes: linear, not quadratic.
        print(run(base.replace("<deliveredVerticalPosition>", "<deliveredVerticalPosition " + " ".join(
            f"a{{k}}='1'" for k in range(100_000)) + ">" + "".join(
            f"<p{{k}}:offset>9</p{{k}}:offset>" for k in range(100_000)))))
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """)
    assert result.returncode == 0, result.stderr
    *answers, megabytes = result.stdout.splitlines()
    assert answers == [
        "line 1: not a GEF file nor a BRO-XML CPT: the XML document's root element is 'a'",
        "CPT000000000001",
        "the document holds 1000000 CPTs (CPT_O elements), but one CPT is read at a time: send each in a document "
        "of its own",
        "CPT000000000001",
        "CPT000000000001",
        "CPT000000000001",
    ]
    # A document's tree costs a bounded multiple of its size (the largest here is 50 MB).
    assert int(megabytes) < 500


# ---- threads and memory -----------------------------------------------------------------------

def big_payload():
    """example.xml with its measurement block repeated fifty times (some 18,000 rows)."""
    text = (DATA / "broxml" / "example.xml").read_text()
    start = text.index("<cptcommon:values>") + len("<cptcommon:values>")
    end = text.index("</cptcommon:values>")
    rows = text[start:end].split(";")[:-1]
    block = "".join(f"{float(r.split(',', 1)[0]) + 10 * k:.3f},{r.split(',', 1)[1]};" for k in range(50) for r in rows)
    return {"file_content": base64.b64encode((text[:start] + block + text[end:]).encode()).decode()}


def test_parsing_in_threads_matches_one_thread():
    def job(path):
        try:
            return read(path, return_gef_data_obj=False)
        except GEFParsingError as error:
            return str(error)

    cases = SAMPLES * 6 + [DATA / "cpt.gef"] * 2
    expected = [job(path) for path in cases]
    from concurrent.futures import ThreadPoolExecutor
    with ThreadPoolExecutor(max_workers=4) as pool:
        assert list(pool.map(job, cases)) == expected


def test_xml_parsing_releases_the_gil(no_forced_switches):
    payload = big_payload()
    assert len(_jobs.parse_cpt_file(payload)["measurement_data"]["qc"]) > 18_000
    assert_releases_gil(lambda: _jobs.parse_cpt_file(payload))


def test_xml_parsing_does_not_leak():
    from test_leaks import assert_no_leak
    good = {"file_content": base64.b64encode((DATA / "broxml" / "example.xml").read_bytes()).decode()}
    bad = {"file_content": base64.b64encode(document(cpt(), cpt()).encode()).decode()}

    def refused():
        with pytest.raises(JobFailure):
            _jobs.parse_cpt_file(bad)

    assert_no_leak(lambda: _jobs.parse_cpt_file(good), rounds=20)
    assert_no_leak(refused, rounds=20)


@pytest.mark.parametrize("path", sorted((DATA.parent / "fuzz" / "regressions" / "broxml").glob("*")),
                         ids=lambda path: path.name)
def test_broxml_fuzzer_findings_stay_fixed(path):
    try:
        answer = parse_bytes(path.read_bytes())
    except JobFailure as failure:
        assert failure.error_name == "ParsingError"
        return
    values = [v for column in answer["measurement_data"].values() for v in column]
    assert values and all(math.isfinite(v) for v in values)
