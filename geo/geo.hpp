// What the subsystem sources of terrak.geo give the module frame.
#pragma once

#include "host/host.hpp"
#include "pyclass/pyclass.hpp"

namespace geo {

namespace py = pybind11;

// The namespace entries _ClassificationMethod needs when it is created (its abstract method).
py::dict classification_method_body();

// Fills the classification methods, GEFData and GEFFile with their members.
void register_cpt(py::module_& m);

}  // namespace geo
