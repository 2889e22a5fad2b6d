"""The type stubs installed with terrak describe the modules as they are, and mypy uses them.

The stubs are read as source (ast) and compared with the imported modules: names both ways, class
bases, the kind of every class member (method, property, class method, static method, abstract
method) and the parameters of every callable. The native functions carry no text signature, so
their parameters are read from the message pybind11 gives for a call it cannot match.
"""

import ast
import importlib
import inspect
import os
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest

MODULES = [
    "terrak.geo",
    "terrak.external.slipcircle",
    "terrak.external._strux",
    "terrak.core",
    "terrak.errors",
    "terrak.geometry",
    "terrak._geometry",
    "terrak.views",
    "terrak.external.external_program",
    "terrak.external._worker",
    "terrak._jobs",
]


# Class members a stub need not repeat: the language's bookkeeping (copy and pickle leave
# __slotnames__ on a class), pybind11's own helper, and the text forms, which every object has
# with the same signature.
IGNORED_MEMBERS = {
    "__module__", "__qualname__", "__doc__", "__dict__", "__weakref__", "__slots__", "__abstractmethods__",
    "_abc_impl", "__annotations__", "__firstlineno__", "__static_attributes__", "__slotnames__",
    "_pybind11_conduit_v1_",
    "__repr__", "__str__",
}


def stub_file(module):
    path = Path(module.__file__)
    return path.parent / (path.name.split(".")[0] + ".pyi")


def parse(path):
    return ast.parse(path.read_text(encoding="utf-8"), filename=str(path))


def decorator_names(node):
    return {ast.unparse(d).rsplit(".", 1)[-1] for d in node.decorator_list}


def stub_functions(body):
    """name -> list of FunctionDef (overloads in order)."""
    out = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            out.setdefault(node.name, []).append(node)
    return out


def stub_module_names(tree):
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.ImportFrom):
            # In a stub only "import X as X" re-exports a name.
            names.update(a.asname for a in node.names if a.asname == a.name)
    names.discard("__all__")
    return names


def stub_all(tree):
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets):
            return ast.literal_eval(node.value)
    return None


def imported_elsewhere(module, name, value):
    """True when the value is bound under the same name in another terrak module: an import."""
    return any(
        other is not module and other_name.startswith("terrak") and getattr(other, name, None) is value
        for other_name, other in list(sys.modules.items())
    )


def runtime_own_names(module):
    """The names the module defines or exports, without the helpers it merely imports."""
    if module.__file__.endswith(".py"):
        names = set(stub_module_names(parse(Path(module.__file__))))
        names.update(getattr(module, "__all__", ()))
        return {n for n in names if not (n.startswith("__") and n.endswith("__"))}
    names = set()
    for name, value in vars(module).items():
        if name.startswith("__") and name.endswith("__"):
            continue
        if isinstance(value, types.ModuleType):
            continue
        if isinstance(value, type) or callable(value):
            if getattr(value, "__module__", None) == module.__name__:
                names.add(name)
        elif not imported_elsewhere(module, name, value):
            names.add(name)
    return names


@pytest.mark.parametrize("name", MODULES)
def test_stub_is_installed_with_the_marker(name):
    module = importlib.import_module(name)
    assert stub_file(module).is_file()
    assert (Path(importlib.import_module("terrak").__file__).parent / "py.typed").is_file()


@pytest.mark.parametrize("name", MODULES)
def test_stub_names_match_the_module(name):
    module = importlib.import_module(name)
    tree = parse(stub_file(module))
    in_stub = stub_module_names(tree)
    missing_at_runtime = {n for n in in_stub if not hasattr(module, n)}
    missing_in_stub = runtime_own_names(module) - in_stub
    assert (sorted(missing_at_runtime), sorted(missing_in_stub)) == ([], [])
    assert stub_all(tree) == getattr(module, "__all__", None)


def runtime_kind(value):
    if isinstance(value, property):
        return "property"
    if isinstance(value, classmethod):
        return "classmethod"
    if isinstance(value, staticmethod):
        return "staticmethod"
    if getattr(value, "__isabstractmethod__", False):
        return "abstractmethod"
    if callable(value):
        return "method"
    return "attribute"


def stub_kind(nodes):
    if isinstance(nodes, ast.AST):
        return "attribute"
    decorators = set().union(*(decorator_names(n) for n in nodes))
    for kind in ("property", "classmethod", "staticmethod", "abstractmethod"):
        if kind in decorators:
            return kind
    return "method"


def own_classes(name):
    module = importlib.import_module(name)
    tree = parse(stub_file(module))
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            yield module, node, getattr(module, node.name, None)


CLASSES = [(name, node.name) for name in MODULES for _, node, _ in own_classes(name)]


@pytest.mark.parametrize(("name", "class_name"), CLASSES, ids=[f"{m}.{c}" for m, c in CLASSES])
def test_stub_class_matches_the_class(name, class_name):
    module, node, cls = next(c for c in own_classes(name) if c[1].name == class_name)
    assert isinstance(cls, type), f"{class_name} is not a class at run time"

    runtime_bases = [b.__name__ for b in cls.__bases__ if b.__name__ not in ("object", "pybind11_object")]
    assert [ast.unparse(b).rsplit(".", 1)[-1] for b in node.bases] == runtime_bases

    members = dict(stub_functions(node.body))
    for item in node.body:
        if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            members.setdefault(item.target.id, item)

    faults = []
    for member, value in vars(cls).items():
        if member in IGNORED_MEMBERS or type(value).__name__ == "member_descriptor":
            continue
        if member not in members:
            faults.append(f"{member}: missing in the stub")
            continue
        want, got = runtime_kind(value), stub_kind(members[member])
        # A property with a setter is an ordinary attribute to a type checker.
        if want == "property" and value.fset is not None and got == "attribute":
            continue
        if want != got:
            faults.append(f"{member}: {got} in the stub, {want} at run time")
    for member, nodes in members.items():
        if isinstance(nodes, list) and member not in vars(cls):
            faults.append(f"{member}: in the stub, not defined by the class")
    assert faults == []


def parameters_of_native(function, name):
    """Parameters as pybind11 shows them: in the docstring's first line where it writes one, otherwise
    in the message of a call that matches no overload (the call runs no code of the function)."""
    first_line = (function.__doc__ or "").partition("\n")[0]
    if first_line.startswith(name + "(") and ") -> " in first_line:
        text = "    1. " + first_line[len(name):]
    else:
        try:
            function(__signature_probe__=None)
        except TypeError as error:
            text = str(error)
        else:  # pragma: no cover - a probe must never succeed
            raise AssertionError(f"{function!r} accepted an unknown keyword")
    match = re.search(r"^\s*1\. \((.*)\) -> ", text, re.MULTILINE)
    assert match, text
    out, depth, current = [], 0, ""
    for char in match.group(1) + ",":
        depth += char in "[(" and 1 or 0
        depth -= char in "])" and 1 or 0
        if char == "," and depth == 0:
            out.append(current.strip())
            current = ""
        else:
            current += char
    params = []
    for part in filter(None, out):
        if part.startswith("**"):
            params.append(("**", "VAR_KEYWORD", None))
        elif part.startswith("*"):
            params.append(("*", "VAR_POSITIONAL", None))
        else:
            name, _, rest = part.partition(":")
            _, _, default = rest.partition(" = ")
            params.append((name.strip(), "POSITIONAL_OR_KEYWORD", default.strip() or None))
    return params


def runtime_parameters(owner, member):
    value = vars(owner)[member] if isinstance(owner, type) else getattr(owner, member)
    function = value.__func__ if isinstance(value, (classmethod, staticmethod)) else value
    if isinstance(value, property):
        return None, False
    try:
        signature = inspect.signature(function)
    except (TypeError, ValueError):
        return parameters_of_native(function, member), True
    params = []
    for p in signature.parameters.values():
        default = None if p.default is inspect.Parameter.empty else repr(p.default)
        if p.kind is p.VAR_POSITIONAL:
            params.append(("*", "VAR_POSITIONAL", None))
        elif p.kind is p.VAR_KEYWORD:
            params.append(("**", "VAR_KEYWORD", None))
        else:
            params.append((p.name, p.kind.name, default))
    return params, False


def stub_parameters(node, native):
    a = node.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
    # pybind11 names no parameter keyword-only; a native "*" would show as a bare star.
    kind = "POSITIONAL_OR_KEYWORD"
    params = [(p.arg, "POSITIONAL_ONLY" if p in a.posonlyargs else kind, d) for p, d in zip(positional, defaults)]
    if a.vararg:
        params.append(("*", "VAR_POSITIONAL", None))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        params.append((p.arg, "KEYWORD_ONLY", None if d is None else ast.unparse(d)))
    if a.kwarg:
        params.append(("**", "VAR_KEYWORD", None))
    if native:
        params = [(n, "POSITIONAL_OR_KEYWORD" if k == "POSITIONAL_ONLY" else k, d) for n, k, d in params]
    return [(n, k, d.replace('"', "'") if d else d) for n, k, d in params]


def callables(name):
    module = importlib.import_module(name)
    tree = parse(stub_file(module))
    for member, nodes in stub_functions(tree.body).items():
        yield module, member, nodes[-1]
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            for member, nodes in stub_functions(node.body).items():
                if member.startswith("__") and member != "__init__":
                    continue  # operators: pybind11 names their parameters arg0, arg1
                yield getattr(module, node.name), f"{node.name}.{member}", nodes[-1]


CALLABLES = [(name, member) for name in MODULES for _, member, _ in callables(name)]


@pytest.mark.parametrize(("name", "member"), CALLABLES, ids=[f"{m}:{c}" for m, c in CALLABLES])
def test_stub_parameters_match(name, member):
    """Names, order, defaults and kinds; the last overload is the general one and must match."""
    owner, _, node = next(c for c in callables(name) if c[1] == member)
    attribute = member.rsplit(".", 1)[-1]
    present = attribute in vars(owner) if isinstance(owner, type) else hasattr(owner, attribute)
    assert present, f"{member} is in the stub but not in the module"
    runtime, native = runtime_parameters(owner, attribute)
    if runtime is None:
        return  # a property: its getter takes only self
    assert stub_parameters(node, native) == runtime


# Application code as engineers write it; every line must type-check.
GOOD_USE = '''
import io
from terrak.core import Color, File
from terrak.errors import GEFParsingError
from terrak.external._strux import _StruxConnection
from terrak.external.slipcircle import SlipCircleAnalysis
from terrak.geo import (GEFData, GEFFile, PiezoLine, PositionalSoilLayout, Soil, SoilLayer,
                        SoilLayout, SoilLayout2D, TableMethod, UndefinedSoil, _ClassificationMethod)
from terrak.geometry import Point, Polyline

sand = Soil("Sand", Color(200, 180, 90), {"gamma": 18.0})
layout = SoilLayout([SoilLayer(sand, 0.0, -1.5), SoilLayer(UndefinedSoil(), -1.5, -3)])
top: float = layout.top
count: int = layout.number_of_layers
same: SoilLayout = layout.filter_layers_on_thickness(0.5, merge_adjacent_same_soil_layers=True)
layout.update_layers()
copy: SoilLayout = SoilLayout.from_dict(layout.serialize())
rgb: tuple[int, int, int] = sand.color.rgb

method: _ClassificationMethod = TableMethod([{"name": "Sand", "color": "1, 2, 3"}], ground_water_level=-1.0)
try:
    data: GEFData = GEFFile.from_file("cpt.gef").parse(additional_columns=["fs"])
    classified: SoilLayout = data.classify(method)
    as_dict: dict[str, object] = data.classify(method, return_soil_layout_obj=False)
except GEFParsingError as error:
    print(error)

ground = Polyline([Point(0, 0), Point(10, 1)])
piezo = PiezoLine([Point(0, -1), Point(10, -1)], phreatic=True)
section = SoilLayout2D.from_positional_soil_layouts(
    [PositionalSoilLayout(0, layout.layers), PositionalSoilLayout(10, layout.layers)], ground, [piezo])
thickness: float = section.layers[0].height_at_x(5.0)
top_profile: Polyline = section.top_profile
parts: list[SoilLayout2D] = section.split(Polyline([Point(0, -1), Point(10, -1)]))

analysis = SlipCircleAnalysis(io.BytesIO(b"input"))
analysis.execute(timeout=60)
result: io.BytesIO | None = analysis.get_output_file()
log: File | None = analysis.get_output_file(".err", as_file=True)

version = _StruxConnection().application.GetOAPIVersionNumber()
'''

# Each line marked "# error: CODE" must be reported with that code, and nothing else.
WRONG_USE = '''
from terrak.core import Color
from terrak.geo import Soil, SoilLayer, SoilLayout, GEFFile, _ClassificationMethod
from terrak.geometry import Point

sand = Soil("Sand", Color(200, 180, 90))
layer = SoilLayer(sand, "0", -1.5)  # error: arg-type
layout = SoilLayout([layer])
layout.merge_layers()  # error: attr-defined
sand.color = Color(0, 0, 0)  # error: misc
layout.top = 3.0  # error: misc
name: int = GEFFile("text").parse().name  # error: assignment
method = _ClassificationMethod()  # error: abstract
GEFFile("text").parse(return_gef_data_obj=False).classify  # error: attr-defined
Point(0, 1).x = 2.0  # error: misc
'''


def test_mypy_accepts_correct_use_and_reports_wrong_use(tmp_path):
    (tmp_path / "good_use.py").write_text(GOOD_USE, encoding="utf-8")
    (tmp_path / "wrong_use.py").write_text(WRONG_USE, encoding="utf-8")
    expected = sorted(
        ("wrong_use.py", number, line.rpartition("# error: ")[2])
        for number, line in enumerate(WRONG_USE.splitlines(), start=1) if "# error: " in line
    )
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         "--cache-dir", str(tmp_path / "cache"), "good_use.py", "wrong_use.py"],
        cwd=tmp_path, capture_output=True, text=True, env=env, timeout=600,
    )
    reported = sorted(
        (m.group(1), int(m.group(2)), m.group(3))
        for m in re.finditer(r"^(\S+?):(\d+): error: .*\[([\w-]+)\]$", run.stdout, re.MULTILINE)
    )
    assert reported == expected, run.stdout + run.stderr
