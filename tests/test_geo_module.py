import abc
import types

import pytest

import terrak.core
import terrak.errors
import terrak.geo as geo
import terrak.geometry
import terrak.views

IMPORTED = [
    "base64", "math", "os", "warnings", "functools", "ABC", "abstractmethod", "BytesIO", "StringIO",
    "cast", "Dict", "List", "Optional", "Tuple", "Union",
    "Color", "ISCLOSE_RTOL", "ISCLOSE_ATOL", "_post_on_addon_endpoint", "File",
    "GEFClassificationError", "GEFParsingError",
    "CircularExtrusion", "Group", "Line", "Material", "Point", "Polyline", "Polygon", "TransformableObject",
    "Label",
    "np", "pd", "plt", "Rectangle", "Munch", "munchify", "unmunchify",
    "GEFParsingException",
]
CLASSES = [
    "_ClassificationMethod", "RobertsonMethod", "TableMethod", "NormalizedSoilBehaviourTypeIndexMethod",
    "_QualificationTablePlot", "GEFData", "GEFFile", "Soil", "UndefinedSoil", "PiezoLine", "SoilLayer",
    "SoilLayer2D", "SoilLayout", "PositionalSoilLayout", "SoilLayout2D",
]
FUNCTIONS = [
    "gef_visualization", "_get_replacement_dict_from_soil_layer_block", "_loop_through_top_layout",
    "_loop_through_bottom_layout", "_follow_left_portion_of_top_profile", "_follow_right_portion_of_top_profile",
    "_follow_left_portion_of_bottom_profile", "_follow_right_portion_of_bottom_profile",
    "_follow_old_layer_profiles", "_check_soil_layouts",
]


def test_namespace_holds_imports_then_classes_in_order():
    names = [name for name in vars(geo) if not (name.startswith("__") and name.endswith("__"))]
    # Module functions join the classes as their subsystems are built; the rest is fixed.
    assert [name for name in names if name not in FUNCTIONS] == IMPORTED + CLASSES


def test_functions_that_exist_stand_where_they_belong():
    names = list(vars(geo))
    after = {"gef_visualization": "GEFFile", "_get_replacement_dict_from_soil_layer_block": "PositionalSoilLayout"}
    for function, anchor in after.items():
        if function in names:
            assert names.index(function) > names.index(anchor)
            assert names.index(function) < names.index("Soil" if anchor == "GEFFile" else "SoilLayout2D")
    for function in FUNCTIONS[2:]:
        if function in names:
            assert names.index(function) > names.index("SoilLayout2D")


@pytest.mark.parametrize(("name", "source"), [
    ("Color", terrak.core), ("File", terrak.core), ("_post_on_addon_endpoint", terrak.core),
    ("ISCLOSE_RTOL", terrak.core), ("GEFParsingError", terrak.errors), ("GEFClassificationError", terrak.errors),
    ("Polyline", terrak.geometry), ("Point", terrak.geometry), ("Label", terrak.views),
])
def test_host_names_are_the_host_objects(name, source):
    assert getattr(geo, name) is getattr(source, name)


def test_third_party_and_standard_names():
    import matplotlib.patches
    import matplotlib.pyplot
    import munch
    import numpy
    import pandas

    assert geo.np is numpy and geo.pd is pandas and geo.plt is matplotlib.pyplot
    assert geo.Rectangle is matplotlib.patches.Rectangle and geo.munchify is munch.munchify
    assert geo.ABC is abc.ABC and isinstance(geo.base64, types.ModuleType)


def test_alias_is_the_host_parsing_error():
    assert geo.GEFParsingException is geo.GEFParsingError is terrak.errors.GEFParsingError


def test_class_hierarchy():
    assert issubclass(geo.UndefinedSoil, geo.Soil)
    assert issubclass(geo.PositionalSoilLayout, geo.SoilLayout)
    assert issubclass(geo.PiezoLine, terrak.geometry.Polyline)
    assert not issubclass(geo.SoilLayer, geo.SoilLayer2D) and not issubclass(geo.SoilLayer2D, geo.SoilLayer)
    for name in ("RobertsonMethod", "TableMethod", "NormalizedSoilBehaviourTypeIndexMethod"):
        assert getattr(geo, name).__bases__ == (geo._ClassificationMethod,)
    for name in ("_QualificationTablePlot", "GEFData", "GEFFile", "Soil", "SoilLayer", "SoilLayer2D",
                 "SoilLayout", "SoilLayout2D"):
        assert getattr(geo, name).__bases__ == (object,)


@pytest.mark.parametrize("name", CLASSES)
def test_classes_look_like_python_classes(name):
    cls = getattr(geo, name)
    assert cls.__module__ == "terrak.geo" and cls.__qualname__ == cls.__name__ == name
    assert isinstance(cls, type) and "__dict__" in dir(cls)


def test_classification_method_is_abstract():
    method = geo._ClassificationMethod
    assert type(method) is abc.ABCMeta and issubclass(method, abc.ABC)
    assert method.__abstractmethods__ == frozenset({"get_method_params"})
    assert method.__doc__ == "Abstract class to allow new classification methods to be added"
    with pytest.raises(TypeError, match="abstract"):
        method()

    class WithoutOverride(method):
        pass

    with pytest.raises(TypeError, match="abstract"):
        WithoutOverride()

    class CallsBase(method):
        def get_method_params(self):
            return super().get_method_params()

    with pytest.raises(NotImplementedError) as error:
        CallsBase().get_method_params()
    assert str(error.value) == "fallback to _ClassificationMethod baseclass"


def test_instances_keep_attributes_in_dict():
    class Plain(geo.SoilLayout2D):
        pass

    obj = object.__new__(geo.GEFFile)
    obj.anything = 1
    assert vars(obj) == {"anything": 1}
    assert isinstance(Plain.__new__(Plain), geo.SoilLayout2D)


def test_application_warning_filters_survive_the_import(run_python):
    result = run_python("""
        import warnings
        warnings.simplefilter("error", UserWarning)
        warnings.filterwarnings("ignore", message="application filter")
        before = list(warnings.filters)
        import terrak.geo
        assert warnings.filters == before, warnings.filters[:3]
        try:
            warnings.warn("raised as an error", UserWarning)
        except UserWarning:
            print("still in force")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "still in force"


def test_warnings_of_third_party_imports_are_suppressed(run_python, tmp_path):
    (tmp_path / "munch").mkdir()
    (tmp_path / "munch" / "__init__.py").write_text(
        "import warnings\nwarnings.warn('noisy import', DeprecationWarning)\n"
        "Munch = dict\ndef munchify(x): return x\ndef unmunchify(x): return x\n")
    result = run_python(f"""
        import sys, warnings
        sys.path.insert(0, {str(tmp_path)!r})
        warnings.simplefilter("error")
        import terrak.geo
        assert terrak.geo.Munch is dict
        print("quiet")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "quiet"


def test_missing_dependency_fails_the_import_with_its_own_error(run_python):
    result = run_python("""
        import sys
        sys.modules["munch"] = None  # makes `import munch` fail as if it were not installed
        try:
            import terrak.geo
        except ImportError as error:
            print(type(error).__name__, "terrak.geo" in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ModuleNotFoundError", "False"]


SECOND_INITIALISATIONS = {
    "reload": """
        import importlib, terrak.geo
        importlib.reload(terrak.geo)
    """,
    "import-after-removal": """
        import sys, terrak.geo
        del sys.modules["terrak.geo"]
        import terrak.geo
    """,
    "load-file-again": """
        import importlib.util, terrak.geo
        found = importlib.util.spec_from_file_location("terrak.geo", terrak.geo.__file__)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
    """,
}


@pytest.mark.parametrize("attempt", SECOND_INITIALISATIONS.values(), ids=SECOND_INITIALISATIONS.keys())
def test_second_initialisation_raises_import_error(second_initialisation, attempt):
    printed = second_initialisation(attempt, 'import terrak; terrak.geo.Soil')
    assert printed == ("ImportError: module 'terrak.geo' is already initialised in this process; "
                       "it cannot be initialised a second time")


@pytest.mark.parametrize("first_in_main", [False, True], ids=["sub-only", "main-first"])
def test_sub_interpreter_import_raises_import_error(run_python, first_in_main):
    result = run_python(f"""
        import _xxsubinterpreters as interpreters
        if {first_in_main}:
            import terrak.geo
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import terrak.geo")
        except interpreters.RunFailedError as error:
            print(error)
        finally:
            interpreters.destroy(interp)
    """)
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout


def test_replacing_a_module_attribute_is_allowed():
    original = geo.Polyline
    try:
        geo.Polyline = object
        assert geo.Polyline is object
    finally:
        geo.Polyline = original
