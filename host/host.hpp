// The C++ view of the host package: how a module reaches the names it imported.
//
// Every host name (Polyline, Color, _post_on_addon_endpoint, GEFParsingError, ...) and every
// third-party name (np, plt, munchify, ...) is read from the calling module's namespace when the
// call runs, never cached: an application or a test that replaces `terrak.geo.Polyline` changes
// every later call. Each extension module is its own shared library, so each has its own copy of
// the namespace handle below.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace host {

namespace py = pybind11;

namespace detail {
// The module object, kept alive for the life of the process (a module cannot be initialised twice).
inline PyObject* module_namespace = nullptr;
}  // namespace detail

// Called once by the module body, before anything that looks names up.
inline void bind_namespace(py::module_& module) {
    detail::module_namespace = py::object(module.attr("__dict__")).release().ptr();
}

// The current binding of `name` in the module namespace, as a global name lookup in Python code
// would see it; a missing name raises NameError with Python's text.
inline py::object global(const char* name) {
    PyObject* value = PyDict_GetItemString(detail::module_namespace, name);  // borrowed
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

// `from module import name`, binding it in the namespace under `as`.
inline void import_from(py::module_& into, const char* module, const char* name, const char* as = nullptr) {
    into.attr(as ? as : name) = py::module_::import(module).attr(name);
}

// `import module` (or `import module as as`); a dotted module binds the module itself.
inline void import_module(py::module_& into, const char* module, const char* as) {
    into.attr(as) = py::module_::import(module);
}

// Raises an exception whose type is a host name (a class living in Python), with the exact text.
[[noreturn]] inline void raise(const char* type_name, const std::string& text) {
    py::object type = global(type_name);
    PyErr_SetString(type.ptr(), text.c_str());
    throw py::error_already_set();
}

}  // namespace host
