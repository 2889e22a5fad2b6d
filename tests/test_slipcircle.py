import base64
import inspect
import io
from io import BytesIO

import pytest

import terrak.core
import terrak.external.slipcircle as slipcircle
from terrak.core import File
from terrak.errors import ExecutionError
from terrak.external import external_program
from terrak.external.external_program import ExternalProgram, ProgramRunFailed, _JobContent
from terrak.external.slipcircle import SlipCircleAnalysis

# Every byte value: the Base64 text then holds "+", "/" and "=" padding, and is longer than the
# 76 characters after which MIME encoders break lines.
ALL_BYTES = bytes(range(256))


@pytest.fixture
def worker(monkeypatch):
    """A worker backend that records its jobs and answers with the result files given per test."""
    monkeypatch.setattr(external_program, "_worker_backend", None)
    jobs = []

    def use(files=None, fail=None):
        def backend(program, version, job, timeout):
            jobs.append((program, version, job, timeout))
            if fail is not None:
                raise ProgramRunFailed(fail)
            return {"files": {name: base64.b64encode(data).decode() for name, data in (files or {}).items()}}

        external_program.set_worker_backend(backend)
        return jobs

    return use


def test_module_surface():
    names = [name for name in vars(slipcircle) if not (name.startswith("__") and name.endswith("__"))]
    assert names == ["base64", "BytesIO", "File", "ExternalProgram", "_JobContent", "_dseries_exception_map",
                     "_get_dseries_file_body", "SlipCircleAnalysis"]
    assert slipcircle.__all__ == ["SlipCircleAnalysis"]
    assert slipcircle.base64 is base64 and slipcircle.BytesIO is io.BytesIO and slipcircle.File is terrak.core.File
    for name in ("ExternalProgram", "_JobContent", "_dseries_exception_map", "_get_dseries_file_body"):
        assert getattr(slipcircle, name) is getattr(external_program, name)
    assert SlipCircleAnalysis.__bases__ == (ExternalProgram,)
    assert SlipCircleAnalysis.__module__ == "terrak.external.slipcircle"
    assert SlipCircleAnalysis.__qualname__ == "SlipCircleAnalysis"
    assert "execute" in SlipCircleAnalysis.__doc__ and "get_output_file" in SlipCircleAnalysis.__doc__
    assert str(inspect.signature(SlipCircleAnalysis.get_output_file)) == "(self, extension='.sto', as_file=False)"
    assert ".error.log" in SlipCircleAnalysis.get_output_file.__doc__


def test_input_file_is_stored_before_the_base_initialiser(monkeypatch):
    seen = []
    original = ExternalProgram.__init__

    def recording_init(self, *args, **kwargs):
        seen.append((vars(self).get("input_file"), args, kwargs))
        original(self, *args, **kwargs)

    monkeypatch.setattr(ExternalProgram, "__init__", recording_init)
    stream = BytesIO(b"input")
    analysis = SlipCircleAnalysis(stream)
    assert seen == [(stream, ("slipcircle",), {"version": 1})]
    assert analysis.input_file is stream


@pytest.mark.parametrize(("args", "kwargs"), [((), {}), ((BytesIO(), BytesIO()), {}), ((), {"file": BytesIO()}),
                                               ((BytesIO(),), {"version": 2})],
                         ids=["none", "two", "wrong-keyword", "extra-keyword"])
def test_takes_exactly_the_input_file(args, kwargs):
    with pytest.raises(TypeError):
        SlipCircleAnalysis(*args, **kwargs)


def test_initialisation_cooperates_with_other_bases():
    reached = []

    class Logged(ExternalProgram):
        def __init__(self, program, *, version=None):
            reached.append((program, version))
            super().__init__(program, version=version)

    class Analysis(SlipCircleAnalysis, Logged):
        pass

    analysis = Analysis(input_file=File.from_data(b""))
    assert reached == [("slipcircle", 1)]
    assert vars(analysis)["_program"] == "slipcircle"


@pytest.mark.parametrize("make", [BytesIO, File.from_data], ids=["BytesIO", "File"])
@pytest.mark.parametrize("data", [b"", b"abc", ALL_BYTES], ids=["empty", "short", "all-bytes"])
def test_job_body_is_the_base64_text_of_the_input(make, data):
    job = SlipCircleAnalysis(make(data))._generate_job_content()
    assert type(job) is _JobContent
    assert job.body == base64.b64encode(data).decode("ascii") and "\n" not in job.body


def test_job_body_takes_the_whole_stream_wherever_it_is_positioned():
    stream = BytesIO()
    stream.write(b"written, not rewound")
    assert SlipCircleAnalysis(stream)._generate_job_content().body == base64.b64encode(b"written, not rewound").decode()


@pytest.mark.parametrize(("input_file", "missing"), [(b"raw bytes", "getvalue_binary"), ("text", "getvalue_binary"),
                                                     (None, "getvalue_binary")])
def test_unsupported_input_fails_when_the_job_is_made(worker, input_file, missing):
    jobs = worker({"a.sto": b""})
    analysis = SlipCircleAnalysis(input_file)  # stored unchanged: nothing is checked yet
    with pytest.raises(AttributeError) as raised:
        analysis.execute(10)
    assert str(raised.value) == f"'{type(input_file).__name__}' object has no attribute '{missing}'"
    assert jobs == []


@pytest.mark.parametrize("make", [BytesIO, File.from_data], ids=["BytesIO", "File"])
def test_execute_then_get_output_files(worker, make):
    jobs = worker({"model.sto": ALL_BYTES, "model.error.log": b"warnings\n"})
    analysis = SlipCircleAnalysis(make(b"[INPUT]\n"))
    analysis.execute(timeout=30)

    [(program, version, job, timeout)] = jobs
    assert (program, version, timeout) == ("slipcircle", 1, 30)
    assert base64.b64decode(job.body) == b"[INPUT]\n"

    report = analysis.get_output_file()
    assert type(report) is BytesIO and report.getvalue() == ALL_BYTES
    wrapped = analysis.get_output_file(as_file=True)
    assert type(wrapped) is File and wrapped.getvalue_binary() == ALL_BYTES
    assert analysis.get_output_file(".error.log").getvalue() == b"warnings\n"
    assert analysis.get_output_file(extension=".error.log", as_file=True).getvalue_binary() == b"warnings\n"


@pytest.mark.parametrize("as_file", [False, True])
def test_absent_output_file_is_none(worker, as_file):
    worker({"model.sto": b"result"})
    analysis = SlipCircleAnalysis(BytesIO(b"input"))
    analysis.execute(10)
    assert analysis.get_output_file(".err", as_file=as_file) is None


@pytest.mark.parametrize(("as_file", "kind"), [(1, File), ("yes", File), (0, BytesIO), ("", BytesIO), (None, BytesIO)])
def test_as_file_is_a_truth_test(worker, as_file, kind):
    worker({"model.sto": b"result"})
    analysis = SlipCircleAnalysis(BytesIO(b"input"))
    analysis.execute(10)
    assert type(analysis.get_output_file(".sto", as_file)) is kind


def test_output_file_before_execute_reports_the_host_error():
    with pytest.raises(ExecutionError, match="has not run yet"):
        SlipCircleAnalysis(BytesIO(b""))._get_result_content()
    with pytest.raises(ExecutionError, match="has not run yet"):
        SlipCircleAnalysis(BytesIO(b"")).get_output_file()


class LicenceLost(Exception):
    pass


@pytest.mark.parametrize(("message", "error", "text"), [
    ("License not available", ExecutionError, "No licence of the program was available on the worker; try again later."),
    ("Input file could not be read", ExecutionError,
     "The calculation input could not be read by the program; check the input file."),
    ("Disk full", ExecutionError, "Disk full"),  # not in the map: the base class reports the message itself
], ids=["mapped-licence", "mapped-input", "unmapped"])
def test_failed_runs_raise_translated_errors(worker, message, error, text):
    worker(fail=message)
    analysis = SlipCircleAnalysis(BytesIO(b"input"))
    with pytest.raises(error) as raised:
        analysis.execute(10)
    assert type(raised.value) is error and str(raised.value) == text
    with pytest.raises(ExecutionError, match="has not run yet"):
        analysis.get_output_file()


def test_error_map_is_read_when_the_error_is_handled(worker, monkeypatch):
    monkeypatch.setattr(slipcircle, "_dseries_exception_map", {"License not available": ("lost it", LicenceLost)})
    worker(fail="License not available")
    with pytest.raises(LicenceLost) as raised:
        SlipCircleAnalysis(BytesIO(b"")).execute(10)
    assert raised.value.args == ("lost it",)
    assert isinstance(raised.value.__context__, ProgramRunFailed)  # raised while the failure is handled


def test_unmapped_message_raises_nothing():
    assert SlipCircleAnalysis(BytesIO(b""))._handle_execution_error("Something unexpected") is None


def reference_handle_execution_error(exception_map, message):
    """What the translation does, written as plain Python: the oracle for unusual map values."""
    text, error_type = exception_map.get(message, ("", None))
    if error_type is None:
        return None
    raise error_type(text)


class Proxy:
    """A forwarding proxy: answers every attribute lookup, yet is not iterable."""

    def __getattr__(self, name):
        return f"remote {name}"


class BrokenIter:
    def __iter__(self):
        raise TypeError("iteration refused")


@pytest.mark.parametrize("value", [
    ("text",), ("text", KeyError, "extra"), 5, None, ("text", 3), ("text", dict), ["as", LicenceLost],
    iter(["from", LicenceLost]), ("text", LicenceLost("made already")), ("", None), ("ignored", None),
    Proxy(), BrokenIter(),
], ids=["one-item", "three-items", "not-iterable", "none", "not-callable", "not-an-exception", "list",
        "iterator", "instance-factory", "empty-none", "text-none", "forwarding-proxy", "iter-raises-type-error"])
def test_unusual_map_values_fail_as_python_would(monkeypatch, value):
    def outcome(run):
        try:
            return "returned", run()
        except Exception as error:  # noqa: BLE001 - the comparison is the point
            return type(error), str(error)

    expected = outcome(lambda: reference_handle_execution_error({"m": value}, "m"))
    if type(value) is type(iter([])):
        value = iter(["from", LicenceLost])  # the oracle used up the iterator
    monkeypatch.setattr(slipcircle, "_dseries_exception_map", {"m": value})
    assert outcome(lambda: SlipCircleAnalysis(BytesIO(b""))._handle_execution_error("m")) == expected


def test_host_names_are_read_at_call_time(worker, monkeypatch):
    worker({"model.sto": b"result"})
    analysis = SlipCircleAnalysis(BytesIO(b"input"))
    analysis.execute(10)
    calls = []

    class RecordingFile:
        @classmethod
        def from_data(cls, data):
            calls.append(("from_data", data))
            return "wrapped"

    def body(result_content, extension):
        calls.append(("body", extension))
        return BytesIO(b"replaced")

    monkeypatch.setattr(slipcircle, "File", RecordingFile)
    monkeypatch.setattr(slipcircle, "_get_dseries_file_body", body)
    monkeypatch.setattr(slipcircle, "_JobContent", lambda *, body: ("job", body))
    assert analysis.get_output_file(".err", as_file=True) == "wrapped"
    assert calls == [("body", ".err"), ("from_data", b"replaced")]
    assert analysis._generate_job_content() == ("job", base64.b64encode(b"input").decode())


SECOND_INITIALISATIONS = {
    "reload": """
        import importlib, terrak.external.slipcircle
        importlib.reload(terrak.external.slipcircle)
    """,
    "import-after-removal": """
        import sys, terrak.external.slipcircle
        del sys.modules["terrak.external.slipcircle"]
        import terrak.external.slipcircle
    """,
}


@pytest.mark.parametrize("attempt", SECOND_INITIALISATIONS.values(), ids=SECOND_INITIALISATIONS.keys())
def test_second_initialisation_raises_import_error(second_initialisation, attempt):
    printed = second_initialisation(attempt, 'import terrak.external; terrak.external.slipcircle.SlipCircleAnalysis')
    assert printed == ("ImportError: module 'terrak.external.slipcircle' is already initialised in "
                       "this process; it cannot be initialised a second time")
