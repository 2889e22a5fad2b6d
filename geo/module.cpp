// terrak.geo: the module frame. Imports bind the host and third-party names in a fixed order, then
// the classes are created in the order applications have always seen them; each subsystem source
// fills its classes with members afterwards.
#include "geo/geo.hpp"

namespace geo {
namespace {

void import_standard_library(py::module_& m) {
    for (const char* name : {"base64", "math", "os", "warnings", "functools"}) host::import_module(m, name, name);
    host::import_from(m, "abc", "ABC");
    host::import_from(m, "abc", "abstractmethod");
    host::import_from(m, "io", "BytesIO");
    host::import_from(m, "io", "StringIO");
    for (const char* name : {"cast", "Dict", "List", "Optional", "Tuple", "Union"}) host::import_from(m, "typing", name);
}

void import_host(py::module_& m) {
    for (const char* name : {"Color", "ISCLOSE_RTOL", "ISCLOSE_ATOL", "_post_on_addon_endpoint", "File"})
        host::import_from(m, "terrak.core", name);
    for (const char* name : {"GEFClassificationError", "GEFParsingError"}) host::import_from(m, "terrak.errors", name);
    for (const char* name : {"CircularExtrusion", "Group", "Line", "Material", "Point", "Polyline", "Polygon",
                             "TransformableObject"})
        host::import_from(m, "terrak.geometry", name);
    host::import_from(m, "terrak.views", "Label");
}

// The third-party modules warn on import in some version combinations; an application's own
// warning filters must come out of this import as they went in, so the suppression is scoped.
void import_third_party(py::module_& m) {
    py::object context = py::module_::import("warnings").attr("catch_warnings")();
    context.attr("__enter__")();
    try {
        py::module_::import("warnings").attr("simplefilter")("ignore");
        host::import_module(m, "numpy", "np");
        host::import_module(m, "pandas", "pd");
        host::import_module(m, "matplotlib.pyplot", "plt");
        host::import_from(m, "matplotlib.patches", "Rectangle");
        for (const char* name : {"Munch", "munchify", "unmunchify"}) host::import_from(m, "munch", name);
        host::munch_fast::remember(host::global("munchify"), host::global("unmunchify"), host::global("Munch"));
    } catch (py::error_already_set&) {
        // Leave the context as the with-statement would (catch_warnings never swallows an error),
        // then let the import error through unchanged.
        context.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    context.attr("__exit__")(py::none(), py::none(), py::none());
}

void create_classes(py::module_& m) {
    auto g = [](const char* name) { return host::global(name); };
    pyclass::make_class(m, "_ClassificationMethod", py::make_tuple(g("ABC")), classification_method_body());
    pyclass::make_class(m, "RobertsonMethod", py::make_tuple(g("_ClassificationMethod")));
    pyclass::make_class(m, "TableMethod", py::make_tuple(g("_ClassificationMethod")));
    pyclass::make_class(m, "NormalizedSoilBehaviourTypeIndexMethod", py::make_tuple(g("_ClassificationMethod")));
    pyclass::make_class(m, "_QualificationTablePlot");
    pyclass::make_class(m, "GEFData");
    pyclass::make_class(m, "GEFFile");
    define_gef_visualization(m);
    pyclass::make_class(m, "Soil");
    pyclass::make_class(m, "UndefinedSoil", py::make_tuple(g("Soil")));
    pyclass::make_class(m, "PiezoLine", py::make_tuple(g("Polyline")));
    pyclass::make_class(m, "SoilLayer");
    pyclass::make_class(m, "SoilLayer2D");
    pyclass::make_class(m, "SoilLayout");
    pyclass::make_class(m, "PositionalSoilLayout", py::make_tuple(g("SoilLayout")));
    define_soil_layer_block_function(m);
    pyclass::make_class(m, "SoilLayout2D");
    define_split_combine_functions(m);
    define_check_soil_layouts(m);
}

}  // namespace
}  // namespace geo

TERRAK_MODULE(geo, m) {
    host::bind_namespace(m);
    geo::import_standard_library(m);
    geo::import_host(m);
    geo::import_third_party(m);
    m.attr("GEFParsingException") = host::global("GEFParsingError");
    geo::create_classes(m);
    geo::register_cpt(m);
    geo::register_soil(m);
    geo::register_soil2d(m);
    geo::register_plots(m);
}
