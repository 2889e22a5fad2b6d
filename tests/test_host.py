import base64
import io
import math
from fractions import Fraction
from io import BytesIO

import numpy as np

import pytest

from terrak import core, errors
from terrak.core import Color, File, JobFailure, _post_on_addon_endpoint
from terrak.external import _worker, external_program
from terrak.external.external_program import ExternalProgram, ProgramRunFailed, _JobContent
from terrak.views import Label


@pytest.mark.parametrize("rgb", [(0, 0, 0), (255, 255, 255), (166, 42, 42)])
def test_color_round_trips(rgb):
    color = Color(*rgb)
    assert color.rgb == rgb and Color(*color.rgb) == color
    assert Color.from_hex(color.hex) == color and color.hex == "#{:02x}{:02x}{:02x}".format(*rgb)
    assert str(color) == "Color(r={}, g={}, b={})".format(*rgb)


@pytest.mark.parametrize("bad", [(-1, 0, 0), (0, 256, 0), (0.5, 0, 0), ("1", 0, 0), (True, 0, 0), (None, 0, 0)])
def test_color_rejects_bad_channels(bad):
    with pytest.raises(ValueError, match="must be an integer from 0 to 255"):
        Color(*bad)


@pytest.mark.parametrize("text", ["#a62a2a", "A62A2A", "#0Af9e1"])
def test_color_from_hex_takes_six_hexadecimal_digits(text):
    assert Color.from_hex(text).hex == "#" + text.removeprefix("#").lower()


@pytest.mark.parametrize("text", [" 1ffff", "+1ffff", "1ffff ", "-1ffff", "1_ffff", "#ffffff\n", "١٢٣٤٥٦",
                                  "#１２３４５６", "#fffff", "#fffffff", "##ffffff", "", "#"])
def test_color_from_hex_refuses_anything_else(text):
    with pytest.raises(ValueError) as raised:
        Color.from_hex(text)
    assert str(raised.value) == f"Not a hexadecimal colour: {text!r}"


def test_file_round_trips_bytes_and_text():
    file = File()
    assert file.getvalue_binary() == b""
    with file.open_binary() as stream:
        stream.write("°C\n".encode())
    assert file.getvalue_binary() == "°C\n".encode() and file.getvalue() == "°C\n"
    assert File.from_data(b"\x00\xff").getvalue_binary() == b"\x00\xff"
    assert File.from_data("tekst").getvalue_binary() == b"tekst"


def test_file_keeps_content_when_writing_fails():
    file = File.from_data(b"kept")
    with pytest.raises(RuntimeError):
        with file.open_binary() as stream:
            stream.write(b"lost")
            raise RuntimeError("interrupted")
    assert file.getvalue_binary() == b"kept"


def close_directly(stream):
    stream.write(b"written")
    stream.close()


def close_through_a_text_wrapper(stream):
    text = io.TextIOWrapper(stream, encoding="utf-8")
    text.write("written")
    del text  # collected: flushes, then closes the stream it wraps


@pytest.mark.parametrize("write_and_close", [close_directly, close_through_a_text_wrapper])
def test_file_keeps_what_a_stream_closed_in_the_block_held(write_and_close):
    file = File()
    with file.open_binary() as stream:
        write_and_close(stream)
    assert file.getvalue_binary() == b"written"


class MappedError(Exception):
    pass


@pytest.fixture
def job(monkeypatch):
    """Registers a handler for a test path; the handler's behaviour is given per test."""
    monkeypatch.setattr(core, "_job_handlers", {})
    calls = []

    def register(behaviour):
        def handler(data):
            calls.append(data)
            return behaviour(data)

        core.register_job_handler("test/v1/jobs/", handler)
        return calls

    return register


def test_job_returns_the_handler_result(job):
    calls = job(lambda data: {"echo": data["x"]})
    assert _post_on_addon_endpoint("test/v1/jobs/", {"x": 1}, timeout=60, error_mapping={}) == {"echo": 1}
    assert calls == [{"x": 1}]


@pytest.mark.parametrize(("name", "mapping", "error", "text"), [
    ("Known", {"Known": MappedError}, MappedError, "went wrong"),
    ("ParsingError", {"ParsingError": errors.GEFParsingError}, errors.GEFParsingError, "went wrong"),
    ("Unknown", {"Known": MappedError}, errors.JobError, "Job 'test/v1/jobs/' failed with Unknown: went wrong"),
    ("Known", None, errors.JobError, "Job 'test/v1/jobs/' failed with Known: went wrong"),
])
def test_job_failures_raise_the_mapped_type(job, name, mapping, error, text):
    def fail(data):
        raise JobFailure(name, "went wrong")

    job(fail)
    with pytest.raises(error) as raised:
        _post_on_addon_endpoint("test/v1/jobs/", {}, timeout=60, error_mapping=mapping)
    assert type(raised.value) is error and str(raised.value) == text


def test_job_errors_of_the_caller(job):
    job(lambda data: ["not", "a", "mapping"])
    with pytest.raises(errors.JobError, match="returned list, not a mapping"):
        _post_on_addon_endpoint("test/v1/jobs/", {})
    with pytest.raises(TypeError, match="cannot be sent as JSON"):
        _post_on_addon_endpoint("test/v1/jobs/", {"file": object()})
    with pytest.raises(errors.JobError, match="No job handler is registered for the path 'nowhere/'"):
        _post_on_addon_endpoint("nowhere/", {})


@pytest.mark.parametrize(("mapping", "text"), [
    (["Known"], "error_mapping must be a mapping from job error names to exception types, not list"),
    (MappedError, "error_mapping must be a mapping from job error names to exception types, not type"),
], ids=["list", "exception-type"])
def test_job_refuses_an_error_mapping_that_is_not_a_mapping(job, mapping, text):
    calls = job(lambda data: {})
    with pytest.raises(TypeError) as raised:
        _post_on_addon_endpoint("test/v1/jobs/", {}, error_mapping=mapping)
    assert str(raised.value) == text and calls == []


def test_job_failure_with_an_unhashable_error_name_is_reported(job):
    def fail(data):
        raise JobFailure(["Known"], "went wrong")

    job(fail)
    with pytest.raises(errors.JobError) as raised:
        _post_on_addon_endpoint("test/v1/jobs/", {}, error_mapping={"Known": MappedError})
    assert str(raised.value) == ("Job 'test/v1/jobs/' failed with an error name that cannot be looked up, "
                                 "['Known'] (error names are hashable, e.g. str): went wrong")


def test_job_error_mapping_to_something_not_callable_is_reported(job):
    def fail(data):
        raise JobFailure("Known", "went wrong")

    job(fail)
    with pytest.raises(TypeError) as raised:
        _post_on_addon_endpoint("test/v1/jobs/", {}, error_mapping={"Known": "MappedError"})
    assert str(raised.value) == "error_mapping['Known'] must be an exception type, not str"


def test_unregistering_restores_the_previous_state(job):
    job(lambda data: {})
    core.unregister_job_handler("test/v1/jobs/")
    assert core.get_job_handler("test/v1/jobs/") is None


class Echo(ExternalProgram):
    def __init__(self, data):
        self.data = data
        super().__init__("echo", version=3)

    def _generate_job_content(self):
        return _JobContent(body=base64.b64encode(self.data).decode())

    def _handle_execution_error(self, message):
        if message == "known":
            raise MappedError("translated")


@pytest.fixture
def worker(monkeypatch):
    monkeypatch.setattr(external_program, "_worker_backend", None)
    return external_program.set_worker_backend


def test_program_runs_on_the_worker_backend(worker):
    seen = []

    def backend(program, version, job, timeout):
        seen.append((program, version, job.body, timeout))
        return {"files": {"out.sto": job.body}}

    worker(backend)
    program = Echo(b"input")
    program.execute(timeout=30)
    assert seen == [("echo", 3, base64.b64encode(b"input").decode(), 30)]
    body = external_program._get_dseries_file_body(program._get_result_content(), ".sto")
    assert isinstance(body, BytesIO) and body.getvalue() == b"input"
    assert external_program._get_dseries_file_body(program._get_result_content(), ".err") is None


@pytest.mark.parametrize("timeout", [30, 0.5, np.int64(60), np.float64(60), np.uint8(1), Fraction(1, 2), 10**300],
                         ids=["int", "float", "np-int64", "np-float64", "np-uint8", "fraction", "huge-int"])
def test_execute_takes_any_real_number_of_seconds(worker, timeout):
    seen = []
    worker(lambda program, version, job, given: seen.append(given) or {"files": {}})
    Echo(b"").execute(timeout)
    assert seen == [timeout] and type(seen[0]) is type(timeout)


@pytest.mark.parametrize(("timeout", "text"), [
    (math.nan, "timeout must be a finite number of seconds above zero, not nan"),
    (np.float64("nan"), "timeout must be a finite number of seconds above zero, not np.float64(nan)"),
    (math.inf, "timeout must be a finite number of seconds above zero, not inf"),
    (-math.inf, "timeout must be a finite number of seconds above zero, not -inf"),
    (10**400, f"timeout must be a finite number of seconds above zero, not {10**400!r}"),
    (0, "timeout must be a finite number of seconds above zero, not 0"),
    (-1.5, "timeout must be a finite number of seconds above zero, not -1.5"),
    (True, "timeout must be a positive number of seconds, not True"),
    (np.bool_(True), "timeout must be a positive number of seconds, not np.True_"),
    ("60", "timeout must be a positive number of seconds, not '60'"),
    (None, "timeout must be a positive number of seconds, not None"),
], ids=["nan", "np-nan", "inf", "minus-inf", "beyond-float", "zero", "negative", "bool", "np-bool", "text", "none"])
def test_execute_refuses_timeouts_that_are_no_time(worker, timeout, text):
    calls = []
    worker(lambda *args: calls.append(args) or {"files": {}})
    with pytest.raises(ValueError) as raised:
        Echo(b"").execute(timeout)
    assert str(raised.value) == text and calls == []


@pytest.mark.parametrize(("message", "error", "text"), [
    ("known", MappedError, "translated"),
    ("anything else", errors.ExecutionError, "anything else"),
])
def test_failed_runs_are_never_silent(worker, message, error, text):
    def backend(program, version, job, timeout):
        raise ProgramRunFailed(message)

    worker(backend)
    with pytest.raises(error) as raised:
        Echo(b"").execute(10)
    assert str(raised.value) == text


def test_missing_backends_are_reported(worker, monkeypatch):
    with pytest.raises(errors.BackendNotConfiguredError, match="No worker backend is configured"):
        Echo(b"").execute(10)
    with pytest.raises(errors.ExecutionError, match="has not run yet"):
        Echo(b"")._get_result_content()
    monkeypatch.setattr(_worker, "_session_backend", None)
    with pytest.raises(errors.BackendNotConfiguredError, match="No session backend is configured"):
        _worker._SessionProxy()._session._execute({"kind": "call"})


def test_remote_proxy_builds_dotted_paths():
    class Connection(_worker._SessionProxy):
        def _dispatch_call(self, path, args):
            return path, args

    connection = Connection()
    proxy = _worker._RemoteProxy(connection, ("SapModel",))
    assert proxy.File.Save("x.sdb") == ("SapModel.File.Save", ("x.sdb",))
    with pytest.raises(AttributeError):
        proxy.__deepcopy__


def test_session_backend_answers(monkeypatch):
    monkeypatch.setattr(_worker, "_session_backend", None)
    _worker.set_session_backend(lambda operation: {"ret": operation["args"][0]})
    assert _worker._SessionProxy()._session._execute({"args": [7]}) == {"ret": 7}


def test_label_keeps_point_and_text():
    label = Label((1, 2), "Klei")
    assert (label.point, label.text) == ((1, 2), "Klei")
    with pytest.raises(TypeError):
        Label((0, 0), 3)
