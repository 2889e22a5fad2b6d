// CPT processing: classification methods, GEF data and GEF files.
#include "geo/geo.hpp"

namespace geo {

using namespace pybind11::literals;

py::dict classification_method_body() {
    py::dict body;
    body["__doc__"] = "Abstract class to allow new classification methods to be added";
    py::object get_method_params = py::cpp_function(
        [](py::object) -> py::dict {
            pyclass::raise(PyExc_NotImplementedError, "fallback to _ClassificationMethod baseclass");
        },
        py::name("get_method_params"), "self"_a);
    body["get_method_params"] = pyclass::abstract_method(get_method_params);
    return body;
}

}  // namespace geo
