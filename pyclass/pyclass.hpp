// The small toolkit that builds ordinary Python classes out of C++ functions.
//
// The classes of terrak's modules behave exactly like classes written in Python: instances keep
// their attributes in __dict__, bases may be host classes or abc.ABC, and methods bind like
// functions. So a module does not bind C++ structs; it creates classes at import (as a class
// statement would) and fills them with pybind11 cpp_functions.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pyclass {

namespace py = pybind11;

// Runs `work`, which touches no Python object, without the GIL when `long_enough`. Letting go of
// the GIL hands it to any thread that waits for it, and that thread gives it back only after its
// whole turn of Python work: for short work the caller would mostly wait, so short work keeps it.
template <class Work>
auto without_gil_if(bool long_enough, Work&& work) {
    std::optional<py::gil_scoped_release> released;
    if (long_enough) released.emplace();
    return work();
}

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

namespace detail {

inline py::object steal(PyObject* object) {
    if (object == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(object);
}

// How a function takes its arguments, in the terms of a Python signature: the parameters that may
// be given by position come first (the leading `positional_only` of them only so), then the
// keyword-only ones; *args and **kwargs are flags.
struct Parameters {
    std::vector<py::object> names;  // interned, so that keywords of a call compare by identity
    std::vector<bool> has_default;
    Py_ssize_t positional = 0;
    Py_ssize_t positional_only = 0;
    bool var_positional = false;
    bool var_keyword = false;
    // required_from[i]: the parameters without a default from index i on, keyword-only ones
    // included, for i from 0 to `positional`.
    std::vector<Py_ssize_t> required_from;

    Py_ssize_t count() const { return static_cast<Py_ssize_t>(names.size()); }

    // The parameter a keyword names (positional-only ones cannot be named), or -1.
    Py_ssize_t keyword_index(PyObject* keyword) const {
        for (Py_ssize_t i = positional_only; i < count(); ++i)
            if (names[i].ptr() == keyword) return i;
        for (Py_ssize_t i = positional_only; i < count(); ++i)
            if (PyUnicode_Compare(names[i].ptr(), keyword) == 0) return i;
        return -1;
    }

    // Whether a call with `nargs` positional arguments and these keywords binds as it would to a
    // Python function with this signature. Runs on every call: comparisons only.
    bool binds(Py_ssize_t nargs, PyObject* kwnames) const {
        if (nargs > positional && !var_positional) return false;
        const Py_ssize_t by_position = std::min(nargs, positional);
        Py_ssize_t missing = required_from[by_position];
        const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(keyword)) return false;
            const Py_ssize_t i = keyword_index(keyword);
            if (i < 0) {
                if (!var_keyword) return false;
                continue;
            }
            if (i < by_position) return false;
            if (!has_default[i]) --missing;
        }
        return missing == 0;
    }
};

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists missing arguments.
inline py::object quoted_list(const std::vector<py::object>& names) {
    std::vector<py::object> quoted;
    for (const auto& name : names) quoted.push_back(steal(PyObject_Repr(name.ptr())));
    const std::size_t n = quoted.size();
    if (n == 1) return quoted[0];
    if (n == 2) return steal(PyUnicode_FromFormat("%U and %U", quoted[0].ptr(), quoted[1].ptr()));
    py::object text = quoted[0];
    for (std::size_t i = 1; i + 1 < n; ++i)
        text = steal(PyUnicode_FromFormat("%U, %U", text.ptr(), quoted[i].ptr()));
    return steal(PyUnicode_FromFormat("%U, and %U", text.ptr(), quoted[n - 1].ptr()));
}

inline py::object missing_arguments(PyObject* qualname, const char* kind, const std::vector<py::object>& names) {
    return steal(PyUnicode_FromFormat("%U() missing %zd required %s argument%s: %U", qualname,
                                      static_cast<Py_ssize_t>(names.size()), kind, names.size() == 1 ? "" : "s",
                                      quoted_list(names).ptr()));
}

// The TypeError text the interpreter gives when a call does not bind to a Python function with
// these parameters, checked in the interpreter's order; None when the call binds.
inline py::object binding_error(const Parameters& p, PyObject* qualname, Py_ssize_t nargs, PyObject* kwnames) {
    std::vector<bool> given(static_cast<std::size_t>(p.count()), false);
    const Py_ssize_t by_position = std::min(nargs, p.positional);
    for (Py_ssize_t i = 0; i < by_position; ++i) given[i] = true;
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) return steal(PyUnicode_FromFormat("%U() keywords must be strings", qualname));
        const Py_ssize_t i = p.keyword_index(keyword);
        if (i < 0) {
            if (p.var_keyword) continue;
            std::vector<py::object> positional_only;
            for (Py_ssize_t j = 0; j < p.positional_only; ++j)
                for (Py_ssize_t kk = 0; kk < keywords; ++kk)
                    if (PyUnicode_Compare(p.names[j].ptr(), PyTuple_GET_ITEM(kwnames, kk)) == 0)
                        positional_only.push_back(p.names[j]);
            if (!positional_only.empty()) {
                py::object joined = py::str(", ").attr("join")(positional_only);
                return steal(PyUnicode_FromFormat(
                    "%U() got some positional-only arguments passed as keyword arguments: '%U'", qualname, joined.ptr()));
            }
            return steal(PyUnicode_FromFormat("%U() got an unexpected keyword argument '%S'", qualname, keyword));
        }
        if (given[i]) return steal(PyUnicode_FromFormat("%U() got multiple values for argument '%S'", qualname, keyword));
        given[i] = true;
    }
    if (nargs > p.positional && !p.var_positional) {
        Py_ssize_t defaults = 0, keyword_only_given = 0;
        for (Py_ssize_t i = 0; i < p.positional; ++i) defaults += p.has_default[i];
        for (Py_ssize_t i = p.positional; i < p.count(); ++i) keyword_only_given += given[i];
        py::object takes = defaults ? steal(PyUnicode_FromFormat("from %zd to %zd", p.positional - defaults, p.positional))
                                    : steal(PyUnicode_FromFormat("%zd", p.positional));
        const bool plural = defaults || p.positional != 1;
        py::object keyword_only = keyword_only_given
            ? steal(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)", nargs != 1 ? "s" : "",
                                         keyword_only_given, keyword_only_given != 1 ? "s" : ""))
            : py::str("");
        return steal(PyUnicode_FromFormat("%U() takes %U positional argument%s but %zd%U %s given", qualname, takes.ptr(),
                                          plural ? "s" : "", nargs, keyword_only.ptr(),
                                          nargs == 1 && !keyword_only_given ? "was" : "were"));
    }
    std::vector<py::object> missing;
    for (Py_ssize_t i = nargs; i < p.positional; ++i)
        if (!given[i] && !p.has_default[i]) missing.push_back(p.names[i]);
    if (!missing.empty()) return missing_arguments(qualname, "positional", missing);
    for (Py_ssize_t i = p.positional; i < p.count(); ++i)
        if (!given[i] && !p.has_default[i]) missing.push_back(p.names[i]);
    if (!missing.empty()) return missing_arguments(qualname, "keyword-only", missing);
    return py::none();
}

// A function of the toolkit, as Python sees it: it binds to an instance like a function defined
// in a class body (help() and inspect see an ordinary function with its own signature), and a call
// whose arguments do not fit the parameters fails with the interpreter's own TypeError before any
// C++ runs. Calls that fit go straight to the pybind11 function that runs the C++ body.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* callable;  // the pybind11 function
    PyObject* dict;      // __name__, __qualname__, __module__, __doc__, ... as a function's
    Parameters* parameters;  // null: arguments are passed on unchecked
};

inline PyObject* function_qualname(FunctionObject* function) {
    PyObject* qualname = function->dict ? PyDict_GetItemString(function->dict, "__qualname__") : nullptr;
    return qualname != nullptr && PyUnicode_Check(qualname) ? qualname : nullptr;
}

// Cold path: sets the TypeError of a call that does not bind; false if it binds after all.
inline bool set_binding_error(FunctionObject* function, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        py::object qualname = function_qualname(function)
                                  ? py::reinterpret_borrow<py::object>(function_qualname(function))
                                  : py::str("function");
        py::object text = binding_error(*function->parameters, qualname.ptr(), nargs, kwnames);
        if (text.is_none()) return false;
        PyErr_SetObject(PyExc_TypeError, text.ptr());
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_MemoryError, error.what());
    }
    return true;
}

inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    if (function->callable == nullptr) {
        PyErr_SetString(PyExc_TypeError, "the function was cleared by the garbage collector");
        return nullptr;
    }
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (function->parameters != nullptr && !function->parameters->binds(nargs, kwnames) &&
        set_binding_error(function, nargs, kwnames))
        return nullptr;
    return PyObject_Vectorcall(function->callable, args, nargsf, kwnames);
}

// Binds like a function: itself on the class, a bound method on an instance.
inline PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

inline PyObject* function_repr(PyObject* self) {
    PyObject* qualname = function_qualname(reinterpret_cast<FunctionObject*>(self));
    return PyUnicode_FromFormat("<function %S at %p>", qualname ? qualname : Py_None, self);
}

// Pickled by reference, like a function: its module and qualified name.
inline PyObject* function_reduce(PyObject* self, PyObject*) {
    PyObject* qualname = function_qualname(reinterpret_cast<FunctionObject*>(self));
    if (qualname == nullptr) {
        PyErr_SetString(PyExc_TypeError, "cannot pickle a function without a __qualname__");
        return nullptr;
    }
    return Py_NewRef(qualname);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->callable);
    Py_VISIT(function->dict);
    return 0;
}

inline int function_clear(PyObject* self) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(function->callable);
    Py_CLEAR(function->dict);
    return 0;
}

inline void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    delete reinterpret_cast<FunctionObject*>(self)->parameters;
    type->tp_free(self);
    Py_DECREF(type);
}

// One type per extension module (each is its own shared library); it lives as long as the process.
inline PyTypeObject* function_type() {
    static PyTypeObject* type = [] {
        static PyMemberDef members[] = {
            {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
            {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
            {nullptr, 0, 0, 0, nullptr}};
        static PyGetSetDef getset[] = {
            {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr}};
        static PyMethodDef methods[] = {{"__reduce__", function_reduce, METH_NOARGS, nullptr},
                                        {nullptr, nullptr, 0, nullptr}};
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
            {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
            {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
            {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
            {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
            {Py_tp_members, members},
            {Py_tp_getset, getset},
            {Py_tp_methods, methods},
            {0, nullptr}};
        static PyType_Spec layout = {"pyclass.function", sizeof(FunctionObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                       Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                       Py_TPFLAGS_IMMUTABLETYPE,
                                   slots};
        PyObject* made = PyType_FromSpec(&layout);
        if (made == nullptr) throw py::error_already_set();
        return reinterpret_cast<PyTypeObject*>(made);
    }();
    return type;
}

inline bool is_toolkit_function(py::handle value) { return Py_TYPE(value.ptr()) == function_type(); }

// The pybind11 record behind a function, or null for any other callable (and for overloads,
// which have no single signature).
inline py::detail::function_record* record_of(py::handle function) {
    py::handle cfunction = py::detail::get_function(function);
    if (!cfunction || !PyCFunction_Check(cfunction.ptr()) || PyCFunction_GET_SELF(cfunction.ptr()) == nullptr)
        return nullptr;
    auto* record = py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(cfunction.ptr()));
    return record != nullptr && record->next == nullptr ? record : nullptr;
}

// The parameter names of a documentation string's own signature line, "name(a, b=1, *c)\n--\n\n",
// without the variadic ones; empty without such a line.
inline std::vector<std::string> documented_names(const py::detail::function_record* record) {
    const std::string doc = record->doc ? record->doc : "";
    const std::string name = record->name ? record->name : "";
    const std::size_t end = doc.find(")\n--\n\n");
    if (doc.rfind(name + "(", 0) != 0 || end == std::string::npos) return {};
    std::vector<std::string> names;
    std::string item;
    int depth = 0;
    char quote = 0;
    for (const char c : doc.substr(name.size() + 1, end - name.size() - 1) + ",") {
        if (quote != 0 || c == '\'' || c == '"') {
            quote = quote == 0 ? c : (c == quote ? 0 : quote);
        } else if (c == ',' && depth == 0) {
            std::string parameter = item.substr(0, item.find_first_of("=:"));
            parameter.erase(0, parameter.find_first_not_of(" $"));
            parameter.erase(parameter.find_last_not_of(' ') + 1);
            if (!parameter.empty() && parameter[0] != '*' && parameter != "/") names.push_back(parameter);
            item.clear();
            continue;
        } else {
            depth += (c == '(' || c == '[' || c == '{') - (c == ')' || c == ']' || c == '}');
        }
        item += c;
    }
    return names;
}

// Makes pybind11 accept every call that binds by Python's rules (the toolkit's functions take
// Python objects, so only the binding itself can fail). A function given no py::arg names gets
// its parameters named, as its documented signature line names them (or as pybind11 shows them:
// self, arg1, ...), so that `Cls.method(self=obj)` binds; and no parameter refuses None, which
// pybind11 does for an implicit `self` (`Cls.method(None)` runs the body, as in Python).
inline void accept_python_calls(py::detail::function_record* record) {
    const std::size_t named = record->nargs - record->has_args - record->has_kwargs;
    if (record->args.empty() && named > 0) {
        std::vector<std::string> names = documented_names(record);
        for (std::size_t i = 0; i < named; ++i) {
            const std::string name = names.size() == named             ? names[i]
                                     : (record->is_method && i == 0) ? "self"
                                                                       : "arg" + std::to_string(i);
            record->args.emplace_back(strdup(name.c_str()), nullptr, py::handle(), true, true);
        }
    }
    for (auto& argument : record->args) argument.none = true;
}

inline Parameters* parameters_of(const py::detail::function_record* record) {
    auto parameters = std::make_unique<Parameters>();
    const std::size_t named = record->nargs - record->has_args - record->has_kwargs;
    for (std::size_t i = 0; i < named; ++i) {
        const bool described = i < record->args.size() && record->args[i].name;
        const std::string name = described ? record->args[i].name : "arg" + std::to_string(i);
        parameters->names.push_back(steal(PyUnicode_InternFromString(name.c_str())));
        parameters->has_default.push_back(i < record->args.size() && record->args[i].value);
    }
    parameters->positional = std::min<Py_ssize_t>(record->nargs_pos, static_cast<Py_ssize_t>(named));
    parameters->positional_only = record->nargs_pos_only;
    parameters->var_positional = record->has_args;
    parameters->var_keyword = record->has_kwargs;
    parameters->required_from.assign(static_cast<std::size_t>(parameters->positional) + 1, 0);
    Py_ssize_t required = 0;
    for (Py_ssize_t i = parameters->count() - 1; i >= 0; --i) {
        required += !parameters->has_default[i];
        if (i <= parameters->positional) parameters->required_from[i] = required;
    }
    return parameters.release();
}

// The signature line of a function's documentation, "name(a, b=1, *args, c, **kwargs)".
inline std::string signature_line(const char* name, const py::detail::function_record* record, const Parameters& p) {
    std::string line = std::string(name) + "(";
    auto add = [&line](const std::string& item) { line += (line.back() == '(' ? "" : ", ") + item; };
    for (Py_ssize_t i = 0; i < p.count(); ++i) {
        if (i == p.positional) add(p.var_positional ? "*args" : "*");
        std::string parameter = py::str(p.names[i]);
        if (p.has_default[i]) parameter += "=" + std::string(py::repr(record->args[i].value));
        add(parameter);
        if (i + 1 == p.positional_only) add("/");
    }
    if (p.var_positional && p.positional == p.count()) add("*args");
    if (p.var_keyword) add("**kwargs");
    return line + ")";
}

// CPython reads a builtin's signature for inspect.signature() and help() from a first line
// "name(a, b=1)\n--\n\n" of its documentation; the toolkit writes that line from the parameters.
// A documentation string that already starts with its own signature line is left as it is.
inline void add_text_signature(py::detail::function_record* record, const Parameters& parameters) {
    if (record->def == nullptr) return;
    const std::string doc = record->doc ? record->doc : "";
    const std::string name = record->name ? record->name : "";
    if (doc.rfind(name + "(", 0) == 0 && doc.find("\n--\n\n") != std::string::npos) return;
    const std::string text = signature_line(name.c_str(), record, parameters) + "\n--\n\n" + doc;
    // The function lives as long as its class or module, which live to the end of the process.
    record->def->ml_doc = strdup(text.c_str());
}

}  // namespace detail

// Wraps a pybind11 function (or any callable) as a toolkit function with the given names.
inline py::object wrap_function(py::handle callable, const std::string& name, const std::string& qualname,
                                py::handle module_name) {
    std::unique_ptr<detail::Parameters> parameters;
    if (auto* record = detail::record_of(callable)) {
        detail::accept_python_calls(record);
        parameters.reset(detail::parameters_of(record));
        detail::add_text_signature(record, *parameters);
    }
    py::object inner = py::reinterpret_borrow<py::object>(py::detail::get_function(callable));
    py::dict attributes;
    attributes["__module__"] = module_name;
    attributes["__name__"] = name;
    attributes["__qualname__"] = qualname;
    attributes["__doc__"] = py::getattr(inner, "__doc__", py::none());
    py::object text_signature = py::getattr(inner, "__text_signature__", py::none());
    if (!text_signature.is_none()) attributes["__text_signature__"] = text_signature;

    auto* function = PyObject_GC_New(detail::FunctionObject, detail::function_type());
    if (function == nullptr) throw py::error_already_set();
    function->vectorcall = detail::function_vectorcall;
    function->callable = inner.release().ptr();
    function->dict = attributes.release().ptr();
    function->parameters = parameters.release();
    PyObject_GC_Track(function);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(function));
}

inline std::string qualified_name(py::handle cls, const std::string& name) {
    return py::str(cls.attr("__qualname__")).cast<std::string>() + "." + name;
}

// A function defined in a class body: its qualified name and module, and the class it belongs to,
// where inspect finds the documentation an undocumented override inherits.
inline py::object class_function(py::handle cls, py::handle callable, const std::string& name) {
    py::object function = wrap_function(callable, name, qualified_name(cls, name), cls.attr("__module__"));
    function.attr("__objclass__") = cls;
    return function;
}

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
    for (auto item : extra) {
        if (!detail::is_toolkit_function(item.second)) continue;
        const std::string member = py::str(item.first);
        item.second.attr("__qualname__") = qualified_name(cls, member);
        item.second.attr("__module__") = cls.attr("__module__");
        item.second.attr("__objclass__") = cls;
    }
    module.attr(name) = cls;
    return cls;
}

// A method: is_method() makes pybind11 take `self` first; keyword arguments and defaults come from
// the py::arg extras.
template <class F, class... Extra>
void method(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function function(std::forward<F>(f), py::name(name), py::is_method(cls), extra...);
    cls.attr(name) = class_function(cls, function, name);
}

// Never name the C++ function "__init__": pybind11 takes that name for the constructor of one of
// its own types and reaches into instance memory that a plain object does not have. The toolkit
// function around it is named __init__, as Python sees it.
template <class F, class... Extra>
void init(py::handle cls, F&& f, const Extra&... extra) {
    const std::string shown = py::str(cls.attr("__name__"));
    py::cpp_function function(std::forward<F>(f), py::name(shown.c_str()), py::is_method(cls), extra...);
    cls.attr("__init__") = class_function(cls, function, "__init__");
}

template <class F>
void readonly_property(py::handle cls, const char* name, F&& get, const char* doc) {
    py::cpp_function fget(std::forward<F>(get), py::name(name), py::is_method(cls));
    py::object getter = wrap_function(fget, name, qualified_name(cls, name), cls.attr("__module__"));
    cls.attr(name) = builtin("property")(getter, py::none(), py::none(), doc);
}

template <class F, class... Extra>
void classmethod(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), extra...);
    cls.attr(name) = builtin("classmethod")(wrap_function(fn, name, qualified_name(cls, name), cls.attr("__module__")));
}

template <class F, class... Extra>
void staticmethod(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), extra...);
    cls.attr(name) = builtin("staticmethod")(wrap_function(fn, name, qualified_name(cls, name), cls.attr("__module__")));
}

// A module-level function whose __module__ is the module's name.
template <class F, class... Extra>
void function(py::module_& module, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), py::scope(module), extra...);
    module.attr(name) = wrap_function(fn, name, name, module.attr("__name__"));
}

inline void set_doc(py::handle target, const char* doc) { py::setattr(target, "__doc__", py::str(doc)); }

// An abstract method for the namespace of make_class (a cpp_function made without is_method, its
// first parameter named "self"): flagged so that ABCMeta sees it when the class is created, and
// otherwise a method like any other (a subclass calling super() reaches the body). make_class gives
// it its qualified name once the class exists.
inline py::object abstract_method(py::object function) {
    const std::string name = py::str(function.attr("__name__"));
    py::object method = wrap_function(function, name, name, py::none());
    method.attr("__isabstractmethod__") = true;
    return method;
}

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
        method(cls, "__setattr__", [module_type](py::object self, py::object name, py::object value) {
            const bool renames = PyUnicode_Check(name.ptr()) && (PyUnicode_CompareWithASCIIString(name.ptr(), "__name__") == 0 ||
                                                                 PyUnicode_CompareWithASCIIString(name.ptr(), "__spec__") == 0);
            if (renames) throw py::import_error(once_only_message(self));
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
