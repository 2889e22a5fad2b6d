import base64
import builtins
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from munch import Munch

import terrak.geo as geo
from terrak import core
from terrak.core import JobFailure
from terrak.errors import GEFClassificationError, GEFParsingError, JobError
from terrak.geo import (GEFData, GEFFile, NormalizedSoilBehaviourTypeIndexMethod, RobertsonMethod, TableMethod,
                        _ClassificationMethod)

ZONES = ["Robertson zone unknown"] + [f"Robertson zone {n}" for n in range(1, 10)]


class FakePost:
    """Stands in for terrak.geo._post_on_addon_endpoint: records each call, answers with `answer`."""

    def __init__(self):
        self.calls = []
        self.answer = None

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.answer

    @property
    def only_call(self):
        assert len(self.calls) == 1
        return self.calls[0]


@pytest.fixture
def post(monkeypatch):
    fake = FakePost()
    monkeypatch.setattr(geo, "_post_on_addon_endpoint", fake)
    return fake


@pytest.fixture
def failing_job(monkeypatch):
    """Runs the real job function with a handler that fails with the given error name."""
    monkeypatch.setattr(core, "_job_handlers", {})

    def fail_with(path, error_name, message):
        def handler(data):
            raise JobFailure(error_name, message)

        core.register_job_handler(path, handler)

    return fail_with


class FakeLayout:
    """Stands in for SoilLayout: keeps what from_dict was given."""

    def __init__(self, d):
        self.d = d

    @classmethod
    def from_dict(cls, d):
        return cls(d)

    def serialize(self):
        return {"serialized": self.d}


@pytest.fixture
def layouts(monkeypatch):
    monkeypatch.setattr(geo, "SoilLayout", FakeLayout)
    return FakeLayout


def gef_dict(headers=None, **columns):
    data = {"elevation": [-100, -120], "qc": [1.5, 2.0], "Rf": [0.8, 1.1]}
    data.update(columns)
    return {"headers": {"name": "CPT-1", **(headers or {})}, "measurement_data": data}


def items(mapping):
    return list(mapping.items())


# Classification methods

def test_classification_method_is_abstract():
    assert _ClassificationMethod.__bases__ == (geo.ABC,)
    assert _ClassificationMethod.__doc__ == "Abstract class to allow new classification methods to be added"
    with pytest.raises(TypeError, match="abstract method"):
        _ClassificationMethod()

    class Incomplete(_ClassificationMethod):
        pass

    with pytest.raises(TypeError, match="abstract method"):
        Incomplete()

    class FallsBack(_ClassificationMethod):
        def get_method_params(self):
            return super().get_method_params()

    with pytest.raises(NotImplementedError) as exc:
        FallsBack().get_method_params()
    assert str(exc.value) == "fallback to _ClassificationMethod baseclass"


ROBERTSON_PROPERTIES = [{"name": "Robertson zone 1", "extra_property1": 7}]
TABLE = [{"name": "Sand", "color": "166,42,42", "qc_min": ""}]
NO_ZONES = []
LEVEL, WEIGHT, STEP = -1.5, 18.5, 0.1


@pytest.mark.parametrize(("make", "expected"), [
    (lambda: RobertsonMethod(ROBERTSON_PROPERTIES), [("soil_properties", ROBERTSON_PROPERTIES)]),
    (lambda: RobertsonMethod(soil_properties=NO_ZONES), [("soil_properties", NO_ZONES)]),
    (lambda: TableMethod(TABLE, LEVEL), [("qualification_table", TABLE), ("ground_water_level", LEVEL)]),
    (lambda: TableMethod(ground_water_level=LEVEL, qualification_table=TABLE),
     [("qualification_table", TABLE), ("ground_water_level", LEVEL)]),
    (lambda: NormalizedSoilBehaviourTypeIndexMethod(TABLE, LEVEL, WEIGHT),
     [("ic_table", TABLE), ("ground_water_level", LEVEL), ("specific_weight_soil", WEIGHT), ("resolution", None)]),
    (lambda: NormalizedSoilBehaviourTypeIndexMethod(TABLE, LEVEL, WEIGHT, resolution=STEP),
     [("ic_table", TABLE), ("ground_water_level", LEVEL), ("specific_weight_soil", WEIGHT), ("resolution", STEP)]),
], ids=["robertson", "robertson-empty", "table", "table-keywords", "ic-default-resolution", "ic"])
def test_method_params_hold_the_given_objects_in_order(make, expected):
    method = make()
    assert isinstance(method, _ClassificationMethod)
    params = method.get_method_params()
    assert items(params) == expected
    assert all(params[key] is value for key, value in expected)
    assert items(vars(method)) == expected  # the attributes are the constructor arguments
    assert method.get_method_params() is not params


def test_method_params_follow_later_changes_to_the_lists():
    properties, table = [], []
    robertson, ic = RobertsonMethod(properties), NormalizedSoilBehaviourTypeIndexMethod(table, 0, 17)
    properties.append({"name": "Robertson zone 2"})
    table.append({"name": "Peat"})
    assert robertson.get_method_params()["soil_properties"] == [{"name": "Robertson zone 2"}]
    assert ic.get_method_params()["ic_table"] == [{"name": "Peat"}]


@pytest.mark.parametrize("make", [
    lambda: RobertsonMethod(), lambda: RobertsonMethod([], []), lambda: TableMethod([]),
    lambda: TableMethod([], 0, 1), lambda: NormalizedSoilBehaviourTypeIndexMethod([], 0),
    lambda: NormalizedSoilBehaviourTypeIndexMethod([], 0, 17, 0.1, 1), lambda: TableMethod([], level=0),
], ids=["robertson-none", "robertson-two", "table-one", "table-three", "ic-two", "ic-five", "unknown-keyword"])
def test_constructors_take_exact_argument_counts(make):
    with pytest.raises(TypeError):
        make()


def test_robertson_accepts_every_zone_name():
    properties = [{"name": zone, "color": "1,2,3"} for zone in ZONES]
    assert RobertsonMethod(properties).soil_properties is properties


MISSING_NAME = 'Error: Missing "name" key in soil_properties dict. Every soil must have at least a "name" key!'


def unknown_zone(text):
    return f'Error: "name":{text} provided in soil_properties does not match with Robertson zone names'


@pytest.mark.parametrize(("properties", "text"), [
    ([{"name": "Robertson zone 10"}], unknown_zone("Robertson zone 10")),
    ([{"name": "robertson zone 1"}], unknown_zone("robertson zone 1")),
    ([{"name": 3}], unknown_zone("3")),
    ([{"name": 2.5}], unknown_zone("2.5")),
    ([{"name": None}], unknown_zone("None")),
    ([{"name": "zone \ud800"}], unknown_zone("zone \ud800")),
    ([{"color": "166,42,42"}], MISSING_NAME),
    ([{"name": "Robertson zone 1"}, {}], MISSING_NAME),
    ([{}, {"name": "zone X"}], MISSING_NAME),
    ([{"name": "zone X"}, {}], unknown_zone("zone X")),
], ids=["zone-10", "lower-case", "int", "float", "none", "lone-surrogate", "no-name", "second-entry",
        "first-error-wins-1", "first-error-wins-2"])
def test_robertson_rejects_bad_zones_with_parsing_error(properties, text):
    method = RobertsonMethod.__new__(RobertsonMethod)
    with pytest.raises(GEFParsingError) as exc:
        method.__init__(properties)
    assert str(exc.value) == text and not isinstance(exc.value, GEFClassificationError)
    assert vars(method) == {}  # nothing stored when validation fails


# GEFData

def test_gef_data_attributes_in_order_and_precedence():
    d = gef_dict(headers={"height_system": "NAP", "name": "CPT-2", "project_name": "Dike", "u2": "header"},
                 fs=[0.01, 0.02], u2=[0.1, 0.2])
    data = GEFData(d)
    assert list(vars(data)) == [
        "classification_data", "name", "Rf", "qc", "elevation", "num_of_measurements",
        "max_measurement_depth_wrt_reference", "ground_level_wrt_reference", "height_system",
        "project_name", "u2", "fs",
    ]
    assert data.classification_data is d and data.serialize() is d
    assert data.name == "CPT-2" and data.height_system == "NAP" and data.project_name == "Dike"
    assert data.u2 is d["measurement_data"]["u2"]  # a column wins over a header
    assert data.elevation is d["measurement_data"]["elevation"] and data.num_of_measurements == 2
    assert data.max_measurement_depth_wrt_reference is None and data.ground_level_wrt_reference is None


def test_gef_data_column_named_name_wins_and_defaults_stay_none():
    data = GEFData(gef_dict(name=["column"]))
    assert data.name == ["column"] and data.height_system is None


def test_gef_data_serialize_returns_the_given_mapping():
    d = Munch(gef_dict(elevation=[]))
    data = GEFData(d)
    data.qc = [99]
    assert data.serialize() is d and d["measurement_data"]["qc"] == [1.5, 2.0]
    assert data.num_of_measurements == 0


class SubGEFData(GEFData):
    pass


def remove(path):
    def change(d):
        *parents, key = path
        target = d
        for parent in parents:
            target = target[parent]
        del target[key]

    return change


@pytest.mark.parametrize(("change", "error", "text"), [
    (remove(["headers"]), KeyError, "'headers'"),
    (remove(["headers", "name"]), KeyError, "'name'"),
    (lambda d: (remove(["headers", "name"])(d), remove(["measurement_data", "Rf"])(d)), KeyError, "'name'"),
    (remove(["measurement_data"]), KeyError, "'measurement_data'"),
    (lambda d: (remove(["measurement_data", "Rf"])(d), remove(["measurement_data", "qc"])(d)), KeyError, "'Rf'"),
    (lambda d: (remove(["measurement_data", "qc"])(d), remove(["measurement_data", "elevation"])(d)),
     KeyError, "'qc'"),
    (remove(["measurement_data", "elevation"]), KeyError, "'elevation'"),
    (lambda d: d["measurement_data"].update(elevation=5), TypeError, "object of type 'int' has no len()"),
    (lambda d: d["headers"].update({1: "x"}), TypeError, "attribute name must be string, not 'int'"),
    (lambda d: d["measurement_data"].update({("a",): [1]}), TypeError, "attribute name must be string, not 'tuple'"),
    (lambda d: d["headers"].update(__class__="CPT"), ValueError,
     "GEFData cannot take the header '__class__': names that start and end with '__' are reserved for Python"),
    (lambda d: d["headers"].update(__class__=SubGEFData), ValueError,
     "GEFData cannot take the header '__class__': names that start and end with '__' are reserved for Python"),
    (lambda d: d["measurement_data"].update(__dict__={"qc": [0]}), ValueError,
     "GEFData cannot take the column '__dict__': names that start and end with '__' are reserved for Python"),
    (lambda d: d["measurement_data"].update({"__init__": [1], 5: [2]}), ValueError,
     "GEFData cannot take the column '__init__': names that start and end with '__' are reserved for Python"),
], ids=["headers", "name", "name-before-Rf", "measurement_data", "Rf-before-qc", "qc-before-elevation",
        "elevation", "elevation-without-length", "header-key-int", "column-key-tuple", "class-header-text",
        "class-header-subclass", "dict-column", "dunder-column-before-bad-key"])
def test_gef_data_constructor_fails_without_setting_anything(change, error, text):
    d = gef_dict(headers={"project_name": "Dike"}, fs=[0.01, 0.02])
    change(d)
    data = GEFData.__new__(GEFData)
    with pytest.raises(error) as exc:
        data.__init__(d)
    if text is not None:
        assert str(exc.value) == text
    assert vars(data) == {} and type(data) is GEFData


def test_gef_data_keeps_names_with_underscores_at_one_end_only():
    data = GEFData(gef_dict({"__note": 1, "note__": 2}, _x_=[3]))
    assert (getattr(data, "__note"), data.note__, data._x_) == (1, 2, [3])


@pytest.mark.parametrize(("method", "kind"), [
    (RobertsonMethod([{"name": "Robertson zone 3"}]), "robertson"),
    (TableMethod(TABLE, -1.0), "table"),
    (NormalizedSoilBehaviourTypeIndexMethod(TABLE, -1.0, 18.0, 0.2), "ic"),
    (type("MyRobertson", (RobertsonMethod,), {})([]), "robertson"),
], ids=["robertson", "table", "ic", "robertson-subclass"])
def test_classify_posts_the_job(post, layouts, method, kind):
    d = gef_dict(corrected_depth=[0.1, 0.2], fs=[0.01, 0.02])
    layers = [{"soil": {"name": "Robertson zone 3"}}]
    post.answer = {"soil_layers": layers}
    layout = GEFData(d).classify(method)
    args, kwargs = post.only_call
    assert args[0] == "classifycpt/v2/jobs/" and len(args) == 2
    payload = args[1]
    assert items(payload) == [("cpt_data", d), ("classification_method", kind),
                              ("method_params", method.get_method_params())]
    assert payload["cpt_data"] is d
    assert list(kwargs) == ["timeout", "error_mapping"] and kwargs["timeout"] == 60
    mapping = items(kwargs["error_mapping"])
    assert [name for name, _ in mapping] == ["CPTClassificationError", "RobertsonProcessingException"]
    assert all(error is GEFClassificationError for _, error in mapping)
    assert type(layout) is FakeLayout and items(layout.d) == [("layers", layers)] and layout.d["layers"] is layers


@pytest.mark.parametrize(("switch", "object_form"), [(True, True), (False, False), (1, False), ("yes", False)])
def test_classify_returns_layout_object_only_for_true_itself(post, layouts, switch, object_form):
    post.answer = {"soil_layers": []}
    result = GEFData(gef_dict()).classify(TableMethod([], 0), return_soil_layout_obj=switch)
    if object_form:
        assert type(result) is FakeLayout
    else:
        assert result == {"serialized": {"layers": []}}


@pytest.mark.parametrize(("columns", "headers", "text"), [
    ({}, {}, "The corrected_depth is necessary for robertson classification"),
    ({"fs": [0.1, 0.1]}, {}, "The corrected_depth is necessary for robertson classification"),
    ({"corrected_depth": [1, 2]}, {}, "The attribute fs is necessary for robertson classification"),
    ({}, {"fs": "h"}, "The corrected_depth is necessary for robertson classification"),
], ids=["neither", "fs-only", "corrected-depth-only", "fs-header-only"])
def test_robertson_classify_needs_corrected_depth_then_fs(post, columns, headers, text):
    with pytest.raises(AttributeError) as exc:
        GEFData(gef_dict(headers, **columns)).classify(RobertsonMethod([]))
    assert str(exc.value) == text and post.calls == []


def test_robertson_classify_accepts_columns_from_headers(post, layouts):
    post.answer = {"soil_layers": []}
    GEFData(gef_dict({"fs": 0.1, "corrected_depth": 1.0})).classify(RobertsonMethod([]))
    assert post.only_call[0][1]["classification_method"] == "robertson"


class OtherMethod(_ClassificationMethod):
    def get_method_params(self):
        return {}


@pytest.mark.parametrize("method", [object(), OtherMethod(), "table", None])
def test_classify_rejects_unsupported_methods_before_posting(post, method):
    with pytest.raises(OSError) as exc:
        GEFData(gef_dict()).classify(method)
    assert type(exc.value) is OSError
    assert exc.value.args == ("Unsupported classification method of type:", type(method))
    assert post.calls == []


@pytest.mark.parametrize(("error_name", "error"), [
    ("CPTClassificationError", GEFClassificationError),
    ("RobertsonProcessingException", GEFClassificationError),
    ("ParsingError", JobError),
])
def test_classify_maps_job_errors(failing_job, error_name, error):
    failing_job("classifycpt/v2/jobs/", error_name, "no layers found")
    with pytest.raises(error) as exc:
        GEFData(gef_dict(corrected_depth=[1, 2], fs=[1, 1])).classify(RobertsonMethod([]))
    assert type(exc.value) is error and "no layers found" in str(exc.value)


def test_classify_without_soil_layers_is_a_key_error(post, layouts):
    post.answer = {"layers": []}
    with pytest.raises(KeyError, match="soil_layers"):
        GEFData(gef_dict()).classify(TableMethod([], 0))


# GEFFile

def test_gef_file_keeps_the_content_object():
    text = "#GEFID= 1, 1, 0\n"
    assert GEFFile(text).file_content is text and GEFFile.__doc__ is None
    assert GEFFile(file_content=text).file_content is text


@pytest.mark.parametrize(("raw", "encoding", "text"), [
    (b"#COLUMNINFO= 1, \xb0, Helling, 8\r\n#EOH=\r\n", "ISO-8859-1", "#COLUMNINFO= 1, \u00b0, Helling, 8\n#EOH=\n"),
    (b"a\rb\r\nc\n", "ISO-8859-1", "a\nb\nc\n"),
    ("co\u00ebffici\u00ebnt \u00b0\r\n".encode(), "utf-8", "co\u00ebffici\u00ebnt \u00b0\n"),
    (b"", "ISO-8859-1", ""),
], ids=["degree-sign-crlf", "cr-and-crlf", "utf-8", "empty"])
def test_from_file_reads_text_with_universal_newlines(tmp_path, raw, encoding, text):
    path = tmp_path / "cpt.gef"
    path.write_bytes(raw)
    args = (str(path),) if encoding == "ISO-8859-1" else (path, encoding)
    assert GEFFile.from_file(*args).file_content == text


def test_from_file_builds_the_class_it_is_called_on(tmp_path):
    class MyGEFFile(GEFFile):
        pass

    path = tmp_path / "cpt.gef"
    path.write_bytes(b"#EOH=\n")
    assert type(MyGEFFile.from_file(bytes(path))) is MyGEFFile


@pytest.mark.parametrize(("name", "raw", "encoding", "error"), [
    ("missing.gef", None, "ISO-8859-1", FileNotFoundError),
    ("cpt.gef", b"\xb0C", "utf-8", UnicodeDecodeError),
    ("cpt.gef", b"x", "no-such-encoding", LookupError),
])
def test_from_file_lets_errors_through(tmp_path, name, raw, encoding, error):
    if raw is not None:
        (tmp_path / name).write_bytes(raw)
    with pytest.raises(error):
        GEFFile.from_file(tmp_path / name, encoding=encoding)


@pytest.mark.parametrize("descriptor", [0, 1, True])
def test_from_file_refuses_file_descriptors(descriptor):
    with pytest.raises(TypeError) as exc:
        GEFFile.from_file(descriptor)
    assert str(exc.value) == f"expected str, bytes or os.PathLike object, not {type(descriptor).__name__}"
    os.fstat(descriptor)  # still open


def test_from_file_closes_the_file_when_reading_fails(tmp_path, monkeypatch):
    path = tmp_path / "cpt.gef"
    path.write_bytes(b"\xff")
    opened = []
    real_open = builtins.open

    def recording_open(*args, **kwargs):
        opened.append(real_open(*args, **kwargs))
        return opened[-1]

    with monkeypatch.context() as patch:
        patch.setattr(builtins, "open", recording_open)
        with pytest.raises(UnicodeDecodeError):
            GEFFile.from_file(path, "utf-8")
        GEFFile.from_file(path)
    assert len(opened) == 2 and all(file.closed for file in opened)
    assert opened[0].mode == "r" and opened[0].encoding == "utf-8" and opened[1].encoding == "ISO-8859-1"


PARSED = {
    "headers": {"name": "CPT-1", "height_system": "NAP"},
    "measurement_data": {"penetration_length": [0.1, 0.2], "Rf": [1, 2], "fs": [3, 4], "qc": [5, 6],
                         "elevation": [-1, -2], "u2": [7, 8], "inclination": [0, 1]},
}


@pytest.mark.parametrize(("content", "encoded"), [
    ("\u00b0C\n", "wrBDCg=="),
    ("", ""),
    ("#EOH=\n0.1;1.5\n", "I0VPSD0KMC4xOzEuNQo="),
    ("\u00eb" * 60, "w6vDq8Or" * 20),  # 160 characters: no line breaks
], ids=["degree-sign", "empty", "ascii", "long-no-line-breaks"])
def test_parse_posts_base64_of_utf8(post, content, encoded):
    post.answer = PARSED
    GEFFile(content).parse()
    args, kwargs = post.only_call
    assert args == ("parsecptfile/v2/jobs/", {"file_content": encoded})
    assert list(kwargs) == ["timeout", "error_mapping"] and kwargs["timeout"] == 60
    mapping = items(kwargs["error_mapping"])
    assert mapping == [("NotImplementedError", NotImplementedError), ("ParsingError", GEFParsingError)]
    assert mapping[0][1] is NotImplementedError and mapping[1][1] is GEFParsingError


@pytest.mark.parametrize(("content", "encoded"), [
    ("f", "Zg=="), ("fo", "Zm8="), ("foo", "Zm9v"), ("foob", "Zm9vYg=="), ("fooba", "Zm9vYmE="),
    ("foobar", "Zm9vYmFy"), ("\x7f\x80\xff", "f8KAw78="), ("\U0001f600", "8J+YgA=="),
])
def test_parse_base64_matches_the_standard_vectors(post, content, encoded):
    post.answer = PARSED
    GEFFile(content).parse()
    assert post.only_call[0][1] == {"file_content": encoded}


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.text(st.characters(exclude_categories=["Cs"])))
def test_parse_base64_decodes_back_to_the_text(post, content):
    post.calls.clear()
    post.answer = PARSED
    GEFFile(content).parse()
    assert base64.b64decode(post.only_call[0][1]["file_content"], validate=True).decode("utf-8") == content


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.text(st.characters(max_codepoint=0xFF), max_size=100))
def test_parse_base64_of_one_byte_text_is_that_of_its_utf8(post, content):
    # Text read as ISO-8859-1 (every file, by default) is turned into UTF-8 apart from encode().
    post.calls.clear()
    post.answer = PARSED
    GEFFile(content).parse()
    assert post.only_call[0][1]["file_content"] == base64.b64encode(content.encode("utf-8")).decode()


@pytest.mark.parametrize("top", [0x80, 0x100, 0x250], ids=["ascii", "one-byte", "two-byte"])
@pytest.mark.parametrize("length", [31, 32, 33, 55, 56, 57, 1000, 4099])
def test_parse_base64_of_long_text(post, length, top):
    # Long enough for the encoder's wide steps, with every remainder after them.
    content = "".join(chr((i * 37 + i // 7) % top) for i in range(length))
    post.answer = PARSED
    GEFFile(content).parse()
    assert post.only_call[0][1]["file_content"] == base64.b64encode(content.encode("utf-8")).decode()


def test_parse_sends_what_the_encode_of_a_str_subclass_gives(post):
    class Text(str):
        def encode(self, *args, **kwargs):
            return b"#GEFID= 1, 1, 0\n"

    post.answer = PARSED
    GEFFile(Text("\u00e9t\u00e9")).parse()
    assert post.only_call[0][1] == {"file_content": base64.b64encode(b"#GEFID= 1, 1, 0\n").decode()}


def test_parse_refuses_text_that_has_no_utf8_form(post):
    with pytest.raises(UnicodeEncodeError):
        GEFFile("\ud800").parse()
    assert post.calls == []


def test_parse_sends_the_same_request_whatever_verbose(post):
    post.answer = PARSED
    GEFFile("x").parse(verbose=True)
    GEFFile("x").parse(["fs"], False, False)
    assert post.calls[0] == post.calls[1]


@pytest.mark.parametrize(("additional", "columns"), [
    (None, ["Rf", "qc", "elevation"]),
    ([], ["Rf", "qc", "elevation"]),
    (["fs", "u2"], ["Rf", "fs", "qc", "elevation", "u2"]),
    (["u2", "qc", "u2", "corrected_depth"], ["Rf", "qc", "elevation", "u2"]),
], ids=["default", "empty", "fs-u2", "duplicates-and-absent"])
def test_parse_keeps_requested_columns_in_job_order(post, additional, columns):
    post.answer = PARSED
    result = GEFFile("x").parse(additional_columns=additional, return_gef_data_obj=False)
    assert type(result) is dict and list(result) == ["headers", "measurement_data"]
    assert result["headers"] is PARSED["headers"]
    assert list(result["measurement_data"]) == columns
    assert all(result["measurement_data"][c] is PARSED["measurement_data"][c] for c in columns)
    assert result["measurement_data"] is not PARSED["measurement_data"]


@pytest.mark.parametrize("switch", [False, 1, "yes", None])
def test_parse_returns_the_dictionary_unless_true_itself(post, switch):
    post.answer = PARSED
    result = GEFFile("x").parse(return_gef_data_obj=switch)
    assert type(result) is dict and list(result) == ["headers", "measurement_data"]


def test_parse_returns_gef_data_for_true(post, monkeypatch):
    post.answer = Munch(PARSED)
    made = []

    class RecordingGEFData(GEFData):
        def __init__(self, **kwargs):
            made.append(kwargs)
            super().__init__(**kwargs)

    monkeypatch.setattr(geo, "GEFData", RecordingGEFData)
    data = GEFFile("x").parse(["fs"])
    assert type(data) is RecordingGEFData and list(made[0]) == ["gef_dict"]
    assert data.serialize() is made[0]["gef_dict"]
    assert data.name == "CPT-1" and data.fs == [3, 4] and data.height_system == "NAP"
    assert not hasattr(data, "u2")


@pytest.mark.parametrize(("answer", "error"), [
    ({"measurement_data": {}}, KeyError),
    ({"headers": {}}, KeyError),
    ({"headers": {}, "measurement_data": None}, AttributeError),
])
def test_parse_lets_bad_answers_fail(post, answer, error):
    post.answer = answer
    with pytest.raises(error):
        GEFFile("x").parse()


def test_parse_needs_a_list_of_columns(post):
    with pytest.raises(TypeError, match="can only concatenate list"):
        GEFFile("x").parse(additional_columns=("fs",))
    assert post.calls == []


@pytest.mark.parametrize(("error_name", "error"), [
    ("ParsingError", GEFParsingError),
    ("NotImplementedError", NotImplementedError),
    ("CPTClassificationError", JobError),
])
def test_parse_maps_job_errors(failing_job, error_name, error):
    failing_job("parsecptfile/v2/jobs/", error_name, "bad #COLUMNINFO")
    with pytest.raises(error) as exc:
        GEFFile("#EOH=\n").parse()
    assert type(exc.value) is error and "bad #COLUMNINFO" in str(exc.value)


def test_file_to_layout_through_recorded_jobs(tmp_path, post, layouts):
    path = tmp_path / "cpt.gef"
    path.write_bytes(b"#TESTID= CPT-1\r\n#EOH=\r\n")
    post.answer = PARSED
    data = GEFFile.from_file(path).parse(additional_columns=["fs", "corrected_depth"])
    post.answer = {"soil_layers": [{"top": 0}]}
    data.corrected_depth = [0.1, 0.2]
    layout = data.classify(RobertsonMethod([{"name": "Robertson zone 4"}]), return_soil_layout_obj=False)
    assert layout == {"serialized": {"layers": [{"top": 0}]}}
    assert post.calls[1][0][1]["cpt_data"] == {"headers": PARSED["headers"], "measurement_data": {
        "Rf": [1, 2], "fs": [3, 4], "qc": [5, 6], "elevation": [-1, -2]}}


@pytest.mark.parametrize("member", [
    RobertsonMethod, TableMethod, NormalizedSoilBehaviourTypeIndexMethod, GEFData,
    _ClassificationMethod.get_method_params, RobertsonMethod.get_method_params, TableMethod.get_method_params,
    NormalizedSoilBehaviourTypeIndexMethod.get_method_params, GEFData.serialize, GEFData.classify,
    GEFFile.from_file, GEFFile.parse,
], ids=lambda member: getattr(member, "__name__", "?"))
def test_public_members_are_documented(member):
    assert isinstance(member.__doc__, str) and len(member.__doc__) > 40


JOB_LAYERS = [
    {"soil": {"name": "Robertson zone 3", "color": [166, 42, 42], "properties": {"extra_property1": 1}},
     "top_of_layer": -90, "bottom_of_layer": -1500, "properties": {}},
    {"soil": {"name": "Robertson zone 6", "color": [255, 255, 0], "properties": {}},
     "top_of_layer": -1500, "bottom_of_layer": -4200, "properties": {"qc_avg": 12.5}},
]


def test_classify_builds_a_soil_layout_from_the_job_layers(post):
    post.answer = {"soil_layers": JOB_LAYERS}
    data = GEFData(gef_dict(corrected_depth=[0.1, 0.2], fs=[0.01, 0.02]))
    layout = data.classify(RobertsonMethod([{"name": "Robertson zone 3", "extra_property1": 1}]))
    assert type(layout) is geo.SoilLayout and layout.number_of_layers == 2
    top, bottom = layout.layers
    assert (top.soil.name, top.top_of_layer, top.bottom_of_layer) == ("Robertson zone 3", -90, -1500)
    assert top.soil.color == core.Color(166, 42, 42) and top.soil.properties.extra_property1 == 1
    assert bottom.properties.qc_avg == 12.5

    as_dict = data.classify(TableMethod([], 0), return_soil_layout_obj=False)
    assert as_dict == layout.serialize() and type(as_dict) is dict
    assert [layer["soil"]["name"] for layer in as_dict["layers"]] == ["Robertson zone 3", "Robertson zone 6"]
