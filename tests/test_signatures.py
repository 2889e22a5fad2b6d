"""The classes and functions made in C++ by the toolkit read and fail like their Python twins.

Every function of terrak.geo, terrak.external.slipcircle and terrak.external._strux (methods,
initialisers, property getters, class and static methods, module functions) is compared with a
Python function of the same signature and names: the interpreter's own TypeError for calls that
do not bind, help() text and inspect.signature of the classes.
"""

import copy
import importlib
import inspect
import pickle
import pydoc
import types

import pytest

from terrak.core import Color

MODULES = ["terrak.geo", "terrak.external.slipcircle", "terrak.external._strux"]


def is_toolkit_function(value):
    return type(value).__module__ == "pyclass" and type(value).__name__ == "function"


def own_classes(module):
    return [value for value in vars(module).values()
            if inspect.isclass(value) and value.__module__ == module.__name__]


def functions_of(member):
    """The toolkit functions behind a class member (a property's getter, a class method's function)."""
    if isinstance(member, property):
        member = member.fget
    elif isinstance(member, (classmethod, staticmethod)):
        member = member.__func__
    return [member] if is_toolkit_function(member) else []


def toolkit_functions():
    found = []
    for name in MODULES:
        module = importlib.import_module(name)
        found += [(f"{name}.{key}", value) for key, value in vars(module).items() if is_toolkit_function(value)]
        for cls in own_classes(module):
            for key, member in vars(cls).items():
                found += [(f"{name}.{cls.__name__}.{key}", function) for function in functions_of(member)]
    return found


FUNCTIONS = toolkit_functions()


def python_twin(function):
    """A Python function with the signature, names and documentation of `function`; it does nothing."""
    signature = inspect.signature(function)
    defaults, parameters = {}, []
    for parameter in signature.parameters.values():
        if parameter.default is not parameter.empty:
            defaults[f"_default_{len(defaults)}"] = parameter.default
            parameter = parameter.replace(default=_Placeholder(f"_default_{len(defaults) - 1}"))
        parameters.append(parameter)
    namespace = dict(defaults)
    exec(f"def twin{signature.replace(parameters=parameters)}: pass", namespace)  # noqa: S102 - test helper
    twin = namespace["twin"]
    twin.__name__, twin.__qualname__ = function.__name__, function.__qualname__
    twin.__module__, twin.__doc__ = function.__module__, function.__doc__
    if getattr(function, "__isabstractmethod__", False):
        twin.__isabstractmethod__ = True
    return twin


class _Placeholder:
    """Shows as a name in a signature's text, so that exec() reads the default from the namespace."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


def python_twin_class(cls):
    """A class made by a class statement with the members of `cls`, its functions as Python twins."""
    def twin_member(member):
        if is_toolkit_function(member):
            return python_twin(member)
        if isinstance(member, property) and is_toolkit_function(member.fget):
            return property(python_twin(member.fget), member.fset, member.fdel, member.__doc__)
        if isinstance(member, (classmethod, staticmethod)) and is_toolkit_function(member.__func__):
            return type(member)(python_twin(member.__func__))
        return member

    def body(namespace):
        for key, member in vars(cls).items():
            if key not in ("__dict__", "__weakref__", "_abc_impl", "__abstractmethods__"):
                namespace[key] = twin_member(member)

    return types.new_class(cls.__name__, cls.__bases__, {"metaclass": type(cls)}, body)


def outcome(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - the comparison is the point
        return type(error), str(error)
    return "bound"


def calls_that_do_not_bind(signature):
    """Argument lists that fail to bind to a Python function with this signature, one per rule."""
    params = list(signature.parameters.values())
    positional = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    required = [p for p in positional if p.default is p.empty]
    filled = [object()] * len(required)
    yield "nothing", (), {}
    yield "one-short", filled[:-1], {}
    yield "one-too-many", [object()] * (len(positional) + 1), {}
    yield "two-too-many", [object()] * (len(positional) + 2), {}
    yield "unknown-keyword", filled, {"unknown": 1}
    if positional:
        yield "twice", [object()] * max(len(required), 1), {positional[0].name: 1}
        yield "keywords-only", [], {positional[-1].name: 1}


@pytest.mark.parametrize(("name", "function"), FUNCTIONS, ids=[name for name, _ in FUNCTIONS])
def test_calls_that_do_not_bind_fail_as_in_python(name, function):
    twin = python_twin(function)
    compared = 0
    for case, args, kwargs in calls_that_do_not_bind(inspect.signature(function)):
        expected = outcome(lambda: twin(*args, **kwargs))
        if expected == "bound":
            continue  # the call binds: the C++ body would run
        assert (case, outcome(lambda: function(*args, **kwargs))) == (case, expected)
        compared += 1
    assert compared


@pytest.fixture
def clay():
    from terrak.geo import Soil

    return Soil("Clay", Color(0, 128, 0))


@pytest.mark.parametrize(("call", "text"), [
    (lambda geo, soil: geo.Soil("Clay"), "Soil.__init__() missing 1 required positional argument: 'color'"),
    (lambda geo, soil: geo.Soil(), "Soil.__init__() missing 2 required positional arguments: 'name' and 'color'"),
    (lambda geo, soil: geo.SoilLayout([]).serialize(1), "SoilLayout.serialize() takes 1 positional argument but 2 were given"),
    (lambda geo, soil: geo.Soil("Clay", soil.color, x=1), "Soil.__init__() got an unexpected keyword argument 'x'"),
    (lambda geo, soil: geo.Soil("Clay", soil.color, name="Sand"), "Soil.__init__() got multiple values for argument 'name'"),
    (lambda geo, soil: geo.Soil("Clay", soil.color, {}, 1),
     "Soil.__init__() takes from 3 to 4 positional arguments but 5 were given"),
    (lambda geo, soil: soil.update_properties(), "Soil.update_properties() missing 1 required positional argument: 'properties'"),
    (lambda geo, soil: geo.Soil.from_dict(), "Soil.from_dict() missing 1 required positional argument: 'd'"),
    (lambda geo, soil: geo.Soil.serialize(), "Soil.serialize() missing 1 required positional argument: 'self'"),
    (lambda geo, soil: geo.gef_visualization(gef=1), "gef_visualization() got an unexpected keyword argument 'gef'"),
    (lambda geo, soil: geo.SoilLayout2D.split(1, polyline=1), "SoilLayout2D.split() got an unexpected keyword argument 'polyline'"),
], ids=["one-missing", "two-missing", "too-many", "unknown-keyword", "twice", "range", "bound-method",
        "class-method", "unbound-method", "module-function", "star-args"])
def test_argument_errors_read_as_in_python(clay, call, text):
    import terrak.geo as geo

    with pytest.raises(TypeError) as raised:
        call(geo, clay)
    assert type(raised.value) is TypeError and str(raised.value) == text


def test_calls_that_bind_reach_the_body(clay):
    from terrak.geo import Soil, SoilLayout

    assert Soil(name="Clay", color=clay.color, properties={"a": 1}).properties == {"a": 1}
    assert Soil.serialize(self=clay) == clay.serialize()
    assert SoilLayout.from_dict(soil_layout_dict={"layers": []}).layers == []
    # The body runs for any self, as a Python method's would (pybind11 refused None before).
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'name'"):
        Soil.serialize(None)


CLASSES = [cls for name in MODULES for cls in own_classes(importlib.import_module(name))]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda cls: cls.__qualname__)
def test_members_are_toolkit_functions(cls):
    members = {key: member for key, member in vars(cls).items()
               if callable(member) or isinstance(member, (property, classmethod, staticmethod))}
    assert members and [key for key, member in members.items() if not functions_of(member)] == []


@pytest.mark.parametrize("cls", CLASSES, ids=lambda cls: cls.__qualname__)
def test_help_reads_as_for_a_python_class(monkeypatch, cls):
    render = lambda value: pydoc.render_doc(value, renderer=pydoc.plaintext)  # noqa: E731
    shown = render(cls)
    assert "function_record" not in shown.partition("inherited from")[0]  # pybind11's "method of" label
    twin = python_twin_class(cls)
    # pydoc finds the class of a function through its module and qualified name.
    monkeypatch.setattr(importlib.import_module(cls.__module__), cls.__name__, twin)
    assert shown == render(twin)
    assert str(inspect.signature(cls)) == str(inspect.signature(twin))


def test_help_of_a_class_shows_its_constructor_and_plain_methods():
    from terrak.geo import Soil

    text = pydoc.render_doc(Soil, renderer=pydoc.plaintext)
    assert str(inspect.signature(Soil)) == "(name, color, properties=None)"
    assert " |  Soil(name, color, properties=None)\n" in text
    assert " |  serialize(self)\n" in text and " |  __init__(self, name, color, properties=None)\n" in text
    assert "pybind11" not in text and "method of" not in text


@pytest.mark.parametrize(("name", "function"), [(name, f) for name, f in FUNCTIONS if f.__qualname__.count(".") == 0],
                         ids=lambda value: value if isinstance(value, str) else "")
def test_help_of_module_functions_reads_as_for_python_functions(name, function):
    assert pydoc.plaintext.document(function) == pydoc.plaintext.document(python_twin(function))


def test_functions_copy_and_pickle_by_reference():
    from terrak.geo import SoilLayout, gef_visualization

    for function in (SoilLayout.serialize, SoilLayout.__init__, gef_visualization):
        assert pickle.loads(pickle.dumps(function)) is function
        assert copy.copy(function) is function and copy.deepcopy(function) is function
