import copy
import inspect
import pickle

import pytest

import terrak.external._strux as strux
from terrak.errors import BackendNotConfiguredError
from terrak.external import _worker
from terrak.external._strux import _StruxConnection
from terrak.external._worker import _RemoteProxy, _SessionProxy


class Operations(list):
    """The operations a session received; `answer_with` sets the answer (or the error) to give."""


@pytest.fixture
def session(monkeypatch):
    """A session backend that records every operation and gives the answer set per test."""
    monkeypatch.setattr(_worker, "_session_backend", None)
    operations = Operations()
    answer = {"ret": 0}

    def backend(operation):
        operations.append(operation)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def answer_with(value):
        nonlocal answer
        answer = value

    _worker.set_session_backend(backend)
    operations.answer_with = answer_with
    return operations


@pytest.fixture
def conn(session):
    return _StruxConnection()


def test_module_surface():
    names = [name for name in vars(strux) if not (name.startswith("__") and name.endswith("__"))]
    assert names == ["_SessionProxy", "_RemoteProxy", "_StruxConnection"]
    assert strux._SessionProxy is _SessionProxy and strux._RemoteProxy is _RemoteProxy
    assert _StruxConnection.__bases__ == (_SessionProxy,)
    assert (_StruxConnection.__module__, _StruxConnection.__qualname__) == ("terrak.external._strux", "_StruxConnection")
    assert _StruxConnection.__doc__ and _StruxConnection.application.__doc__
    assert str(inspect.signature(_StruxConnection._dispatch_call)) == "(self, path, args)"


def test_member_chain_reaches_the_session_as_one_operation(conn, session):
    assert conn.SapModel.File.Save("x") == 0
    assert session == [{"path": "SapModel.File.Save", "args": ["x"], "kind": "call"}]
    assert list(session[0]) == ["path", "args", "kind"]
    assert type(session[0]["args"]) is list


def test_application_is_the_reserved_root(conn, session):
    root = conn.application
    assert type(root) is _RemoteProxy and root._path == ("__root__",) and root._connection is conn
    session.answer_with({"ret": 1.25})
    assert conn.application.GetOAPIVersionNumber() == 1.25
    assert session == [{"path": "__root__.GetOAPIVersionNumber", "args": [], "kind": "call"}]
    with pytest.raises(AttributeError):
        conn.application = None


def test_first_member_starts_a_path(conn, session):
    proxy = conn.SapModel
    assert type(proxy) is _RemoteProxy and proxy._path == ("SapModel",) and proxy._connection is conn
    assert session == []  # reading members sends nothing


def test_arguments_pass_through_untouched(conn, session):
    marker, nested = object(), [1, [2]]
    conn.SapModel.PointObj.AddCartesian(1.5, marker, nested)
    sent = session[0]["args"]
    assert sent == [1.5, marker, nested] and sent[1] is marker and sent[2] is nested


@pytest.mark.parametrize(("answer", "expected"), [
    ({"ret": 0}, 0),
    ({"ret": 0, "out": [3, ["A", "B"]]}, [3, ["A", "B"], 0]),
    ({"ret": 0, "out": []}, 0),
    ({"out": [7, "x"]}, [7, "x", None]),
    ({}, None),
    ({"ret": 2, "out": (1, 2)}, [1, 2, 2]),
    ({"ret": "r", "out": None}, "r"),
    ({"out": [], "ret": [4]}, [4]),
], ids=["ret-only", "out-and-ret", "empty-out", "out-without-ret", "nothing", "tuple-out", "none-out",
        "list-ret-alone"])
def test_answers_are_reshaped(conn, session, answer, expected):
    session.answer_with(answer)
    assert conn.SapModel.Do() == expected


def test_reshaped_answer_is_a_new_list(conn, session):
    out = [1, 2]
    session.answer_with({"ret": 0, "out": out})
    result = conn.SapModel.Do()
    assert result == [1, 2, 0] and result is not out and out == [1, 2]


def test_dispatch_call_directly(conn, session):
    session.answer_with({"ret": "done"})
    assert conn._dispatch_call("SapModel.View.RefreshView", (0, False)) == "done"
    assert session == [{"path": "SapModel.View.RefreshView", "args": [0, False], "kind": "call"}]


class Tagged(list):
    pass


class Reversing(list):
    def __iter__(self):
        return reversed(self)


@pytest.mark.parametrize(("args", "sent"), [
    ([1, [2]], [1, [2]]), (Tagged([1, [2]]), [1, [2]]), (Reversing([1, [2]]), [[2], 1]), ((1, [2]), [1, [2]]),
], ids=["list", "list-subclass", "list-subclass-with-own-iter", "tuple"])
def test_dispatch_call_sends_a_new_plain_list(conn, session, args, sent):
    def appending_worker(operation):
        session.append(operation)
        operation["args"].append("added by the worker")
        return {"ret": 0}

    _worker.set_session_backend(appending_worker)
    before = list(args)
    conn._dispatch_call("SapModel.Do", args)
    received = session[0]["args"]
    assert type(received) is list and received[:-1] == sent and received is not args
    assert list(args) == before and received[-1] == "added by the worker"


class WorkerDown(Exception):
    pass


def test_session_errors_propagate_unchanged(conn, session):
    failure = WorkerDown("gone")
    session.answer_with(failure)
    with pytest.raises(WorkerDown) as raised:
        conn.SapModel.File.Save("x")
    assert raised.value is failure


def test_missing_backend_is_reported(monkeypatch):
    monkeypatch.setattr(_worker, "_session_backend", None)
    with pytest.raises(BackendNotConfiguredError, match="No session backend is configured"):
        _StruxConnection().SapModel.File.Save("x")


@pytest.mark.parametrize("name", ["_x", "_session_id", "__deepcopy__", "__getstate__x", "_"])
def test_private_names_are_not_members(conn, session, name):
    assert not hasattr(conn, name)
    with pytest.raises(AttributeError) as raised:
        getattr(conn, name)
    assert raised.value.args == (name,)
    assert session == []


def test_language_probes_behave_normally(conn, session):
    shallow = copy.copy(conn)
    assert type(shallow) is _StruxConnection and shallow._session is conn._session
    deep = copy.deepcopy(conn)
    assert type(deep) is _StruxConnection and deep._session is not conn._session
    restored = pickle.loads(pickle.dumps(conn))
    assert type(restored) is _StruxConnection and type(restored._session) is type(conn._session)
    assert repr(conn).startswith("<terrak.external._strux._StruxConnection object at ")
    assert session == []


def test_connection_without_session_fails_as_python_would(session):
    bare = _StruxConnection.__new__(_StruxConnection)
    with pytest.raises(AttributeError) as raised:
        bare._session
    assert raised.value.args == ("_session",)
    with pytest.raises(AttributeError) as raised:
        bare.SapModel.File.Save("x")
    assert raised.value.args == ("_session",)
    assert session == []


def test_own_members_are_found_before_the_remote_ones(session):
    class Product(_StruxConnection):
        """A product connection with a member of its own."""

        kind = "product"

        def close(self):
            return "closed locally"

    product = Product()
    product.model_name = "bridge"
    assert (product.kind, product.close(), product.model_name) == ("product", "closed locally", "bridge")
    assert product.SapModel._path == ("SapModel",)
    assert session == []


def test_remote_proxy_type_is_read_at_call_time(conn, monkeypatch):
    made = []
    monkeypatch.setattr(strux, "_RemoteProxy", lambda connection, path: made.append((connection, path)) or "proxy")
    assert conn.SapModel == "proxy" and conn.application == "proxy"
    assert made == [(conn, ("SapModel",)), (conn, ("__root__",))]


def test_getattr_on_non_text_fails_as_python_would(conn):
    with pytest.raises(AttributeError, match="'int' object has no attribute 'startswith'"):
        conn.__getattr__(5)


def test_second_initialisation_raises_import_error(run_python):
    result = run_python("""
        import sys, terrak.external._strux
        del sys.modules["terrak.external._strux"]
        try:
            import terrak.external._strux
        except ImportError as error:
            print("ImportError:", error)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == ("ImportError: module 'terrak.external._strux' is already initialised in "
                                     "this process; it cannot be initialised a second time")
