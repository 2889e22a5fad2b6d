// The small toolkit that builds ordinary Python classes out of C++ functions.
//
// The classes of terrak's modules behave exactly like classes written in Python: instances keep
// their attributes in __dict__, bases may be host classes or abc.ABC, and methods bind like
// functions. So a module does not bind C++ structs; it creates classes at import (as a class
// statement would) and fills them with pybind11 cpp_functions.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <utility>

namespace pyclass {

namespace py = pybind11;

// Python's truth value of an object (`if value:`); py::handle's own bool only tests for null.
inline bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

// Python's rich comparison (`a == b` with op Py_EQ, and so on), without pybind11's identity
// shortcut; errors of a comparison method propagate.
inline py::object compare(py::handle a, py::handle b, int op) {
    PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

inline py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

// Creates a class the way a class statement does: types.new_class computes the metaclass from the
// bases (ABCMeta for abc.ABC), runs __prepare__, __set_name__ and __init_subclass__. `extra` goes
// into the class namespace before the class exists, which is what ABCMeta needs to see abstract
// methods. The class is bound in the module under its name.
inline py::object make_class(py::module_& module, const char* name, py::tuple bases = py::tuple(),
                             py::dict extra = py::dict()) {
    py::dict body;
    body["__module__"] = module.attr("__name__");
    body["__qualname__"] = name;
    for (auto item : extra) body[item.first] = item.second;
    py::cpp_function exec_body([body](py::object ns) { ns.attr("update")(body); });
    py::object cls = py::module_::import("types").attr("new_class")(name, bases, py::dict(), exec_body);
    module.attr(name) = cls;
    return cls;
}

// CPython reads a builtin's signature for inspect.signature() and help() from a first line
// "name(a, b=1)\n--\n\n" of its documentation. pybind11 knows the argument names and defaults
// (the py::arg extras), so the toolkit writes that line for every function it makes; a
// documentation string that already starts with its own signature line is left as it is.
inline void add_text_signature(py::handle function) {
    py::handle cfunction = py::detail::get_function(function);
    if (!cfunction || !PyCFunction_Check(cfunction.ptr())) return;
    auto* record = py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(cfunction.ptr()));
    if (record == nullptr || record->next != nullptr || record->def == nullptr) return;  // overloads: no single signature
    const std::string doc = record->doc ? record->doc : "";
    const std::string name = record->name ? record->name : "";
    if (doc.rfind(name + "(", 0) == 0 && doc.find("\n--\n\n") != std::string::npos) return;
    std::string signature = name + "(";
    for (std::size_t i = 0; i < record->nargs; ++i) {
        // Functions bound without py::arg extras have no argument records: pybind11 calls them
        // self (for a method) and arg0, arg1, ...
        const bool described = i < record->args.size();
        std::string parameter = described && record->args[i].name ? record->args[i].name
                                : (record->is_method && i == 0) ? "self"
                                                                 : "arg" + std::to_string(i);
        if (record->has_args && i == record->nargs_pos) parameter = "*" + parameter;
        if (record->has_kwargs && i + 1 == record->nargs) parameter = "**" + parameter;
        if (described && record->args[i].value) parameter += "=" + std::string(py::repr(record->args[i].value));
        signature += (i ? ", " : "") + parameter;
    }
    signature += ")\n--\n\n" + doc;
    // The function lives as long as its class or module, which live to the end of the process.
    record->def->ml_doc = strdup(signature.c_str());
}

// A method: is_method() makes the builtin bind `self` the way a def does; keyword arguments and
// defaults come from the py::arg extras.
template <class F, class... Extra>
void method(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function function(std::forward<F>(f), py::name(name), py::is_method(cls), extra...);
    add_text_signature(function);
    cls.attr(name) = function;
}

// Never name the C++ function "__init__": pybind11 takes that name for the constructor of one of
// its own types and reaches into instance memory that a plain object does not have.
template <class F, class... Extra>
void init(py::handle cls, F&& f, const Extra&... extra) {
    const std::string shown = py::str(cls.attr("__name__"));
    py::cpp_function function(std::forward<F>(f), py::name(shown.c_str()), py::is_method(cls), extra...);
    add_text_signature(function);
    cls.attr("__init__") = function;
}

template <class F>
void readonly_property(py::handle cls, const char* name, F&& get, const char* doc) {
    py::cpp_function fget(std::forward<F>(get), py::name(name), py::is_method(cls));
    cls.attr(name) = builtin("property")(fget, py::none(), py::none(), doc);
}

template <class F, class... Extra>
void classmethod(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), extra...);
    add_text_signature(fn);
    cls.attr(name) = builtin("classmethod")(fn);
}

template <class F, class... Extra>
void staticmethod(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), extra...);
    add_text_signature(fn);
    cls.attr(name) = builtin("staticmethod")(fn);
}

// A module-level function whose __module__ is the module's name.
template <class F, class... Extra>
void function(py::module_& module, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function function(std::forward<F>(f), py::name(name), py::scope(module), extra...);
    add_text_signature(function);
    module.attr(name) = function;
}

inline void set_doc(py::handle target, const char* doc) { py::setattr(target, "__doc__", py::str(doc)); }

// A builtin function cannot carry __isabstractmethod__, so an abstract method is wrapped in a small
// descriptor that does: ABCMeta sees the flag when the class is created, and the descriptor still
// binds and calls like the function it wraps (a subclass calling super() reaches the body).
inline py::object abstract_method_type() {
    static py::handle type = [] {
        py::dict body;
        body["__module__"] = "pyclass";
        body["__qualname__"] = "abstractmethod";
        body["__isabstractmethod__"] = true;
        body["__slots__"] = py::make_tuple("__func__");
        py::object types = py::module_::import("types");
        py::cpp_function exec_body([body](py::object ns) { ns.attr("update")(body); });
        py::object cls = types.attr("new_class")("abstractmethod", py::tuple(), py::dict(), exec_body);
        init(cls, [](py::object self, py::object function) { self.attr("__func__") = function; }, py::arg("function"));
        method(cls, "__get__", [types](py::object self, py::object instance, py::object) -> py::object {
            if (instance.is_none()) return self;
            return types.attr("MethodType")(self.attr("__func__"), instance);
        }, py::arg("instance"), py::arg("owner") = py::none());
        method(cls, "__call__", [](py::object self, py::args args, py::kwargs kwargs) {
            return self.attr("__func__")(*args, **kwargs);
        });
        readonly_property(cls, "__doc__", [](py::object self) -> py::object { return self.attr("__func__").attr("__doc__"); },
                          "The wrapped function's documentation.");
        return cls.release();  // lives as long as the process: the classes that use it do too
    }();
    return py::reinterpret_borrow<py::object>(type);
}

// Wraps `function` (a cpp_function made without is_method) as an abstract method.
inline py::object abstract_method(py::object function) { return abstract_method_type()(function); }

// Raises a Python exception whose type is a class living in Python (a host error type).
[[noreturn]] inline void raise(py::handle type, const std::string& text) {
    PyErr_SetString(type.ptr(), text.c_str());
    throw py::error_already_set();
}

inline std::string once_only_message(py::handle module) {
    const std::string name = py::str(module.attr("__name__"));
    return "module '" + name + "' is already initialised in this process; it cannot be initialised a second time";
}

// CPython skips the body of an extension module on importlib.reload() and hands back the module
// as it is; terrak's modules say so instead. Reload starts by re-binding __name__ and __spec__ on
// the module, which nothing else does to an initialised module, so a module class that refuses
// exactly that turns the reload into an ImportError. Everything else (reading and replacing names,
// which applications and tests rely on) behaves as on any module.
inline py::object once_only_module_type() {
    static py::handle type = [] {
        py::object module_type = py::module_::import("types").attr("ModuleType");
        py::dict body;
        body["__module__"] = "builtins";
        body["__qualname__"] = "module";
        py::cpp_function exec_body([body](py::object ns) { ns.attr("update")(body); });
        py::object cls = py::module_::import("types").attr("new_class")("module", py::make_tuple(module_type),
                                                                        py::dict(), exec_body);
        method(cls, "__setattr__", [module_type](py::object self, py::str name, py::object value) {
            const std::string key = name;
            if (key == "__name__" || key == "__spec__") throw py::import_error(once_only_message(self));
            module_type.attr("__setattr__")(self, name, value);
        }, py::arg("name"), py::arg("value"));
        return cls.release();
    }();
    return py::reinterpret_borrow<py::object>(type);
}

// Runs a module's body once per process. A second execution (a fresh import after removal from
// sys.modules, loading the extension file again) fails with ImportError instead of building a
// second set of classes that would not be the ones existing objects were made from. Errors of the
// body keep their type: a missing numpy stays a ModuleNotFoundError.
inline int exec_module_once(PyObject* module, bool& initialised, void (*body)(py::module_&)) {
    try {
        auto m = py::reinterpret_borrow<py::module_>(module);
        if (initialised) throw py::import_error(once_only_message(m));
        // Documentation strings are shown exactly as written (with the signature line the
        // toolkit adds), not with pybind11's generated C++-typed signatures.
        py::options options;
        options.disable_function_signatures();
        body(m);
        m.attr("__class__") = once_only_module_type();
        initialised = true;
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

}  // namespace pyclass

// Defines an extension module with multi-phase initialisation that refuses sub-interpreters and a
// second initialisation in the same process. Use like PYBIND11_MODULE(name, m) { ... }.
#define TERRAK_MODULE(name, variable)                                                            \
    static void terrak_module_body_##name(::pybind11::module_&);                                  \
    static int terrak_module_exec_##name(PyObject* module) {                                      \
        static bool initialised = false;                                                          \
        return ::pyclass::exec_module_once(module, initialised, &terrak_module_body_##name);      \
    }                                                                                             \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                        \
        static PyModuleDef_Slot slots[] = {                                                       \
            {Py_mod_exec, reinterpret_cast<void*>(&terrak_module_exec_##name)},                   \
            {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},           \
            {0, nullptr}};                                                                        \
        static PyModuleDef definition = {PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr,       \
                                         slots, nullptr, nullptr, nullptr};                       \
        return PyModuleDef_Init(&definition);                                                     \
    }                                                                                             \
    static void terrak_module_body_##name(::pybind11::module_& variable)
