// The C++ view of the host package: how a module reaches the names it imported.
//
// Every host name (Polyline, Color, _post_on_addon_endpoint, GEFParsingError, ...) and every
// third-party name (np, plt, munchify, ...) is read from the calling module's namespace when the
// call runs, never cached: an application or a test that replaces `terrak.geo.Polyline` changes
// every later call. Each extension module is its own shared library, so each has its own copy of
// the namespace handle below.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>
#include <algorithm>
#include <cmath>

namespace host {

namespace py = pybind11;

namespace detail {
// The module object, kept alive for the life of the process (a module cannot be initialised twice).
inline PyObject* module_namespace = nullptr;
}  // namespace detail

namespace detail {
// The standard library's math.isclose, for the identity test of the fast path below; taken when
// the module is initialised, as a lazy static could wait for another thread inside an import.
inline PyObject* standard_isclose = nullptr;
}  // namespace detail

// Called once by the module body, before anything that looks names up.
inline void bind_namespace(py::module_& module) {
    detail::module_namespace = py::object(module.attr("__dict__")).release().ptr();
    detail::standard_isclose = py::object(py::module_::import("math").attr("isclose")).release().ptr();
}

// An interned str made once and kept for the life of the process: attribute and name lookups
// with it neither build a string nor hash one.
inline PyObject* intern(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw py::error_already_set();
    return name;
}

namespace detail {
// The interned form of each name the module looks up, keyed by the address of the caller's
// text (names are string literals); the text is compared too, so a reused buffer is never
// taken for another name. Only touched with the GIL held.
inline PyObject* interned_name(const char* name) {
    struct Entry {
        const char* text;
        PyObject* name;
    };
    static std::unordered_map<const char*, Entry> names;
    auto found = names.find(name);
    if (found != names.end() && std::strcmp(found->second.text, name) == 0) return found->second.name;
    PyObject* interned = intern(name);
    names[name] = Entry{PyUnicode_AsUTF8(interned), interned};
    return interned;
}
}  // namespace detail

// The interned str of a name given as a literal, made once per place of use:
// `obj.attr(HOST_NAME("x"))` costs neither a new string nor a hash.
#define HOST_NAME(text) \
    (::pybind11::handle([] { \
        static PyObject* const host_name_ = ::host::intern(text); \
        return host_name_; \
    }()))

// The current binding of `name` (an interned str) in the module namespace.
inline py::object global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(detail::module_namespace, name);  // borrowed
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

// The current binding of `name` in the module namespace, as a global name lookup in Python code
// would see it; a missing name raises NameError with Python's text.
inline py::object global(const char* name) { return global(detail::interned_name(name)); }

// `from module import name`, binding it in the namespace under `as`.
inline void import_from(py::module_& into, const char* module, const char* name, const char* as = nullptr) {
    into.attr(as ? as : name) = py::module_::import(module).attr(name);
}

// `import module` (or `import module as as`); a dotted module binds the module itself.
inline void import_module(py::module_& into, const char* module, const char* as) {
    into.attr(as) = py::module_::import(module);
}

// munchify and unmunchify of the munch package, done in C++ for plain data.
//
// Properties are converted on every layer made and written back on every layout serialised, and
// munch's own functions cost several microseconds per dictionary. While the module's names are
// still munch's functions, unchanged, data made only of dicts, lists, tuples, Munches and
// str/int/float/bool/None values is converted here, following munch's algorithm step by step
// (the same sharing of objects met twice, the same cycles, the same results for tuples); anything
// else goes to the function itself, which then does the whole conversion. No Python code runs on
// the fast path, so nothing can change the data while it is walked.
namespace munch_fast {

struct Originals {
    PyObject* munchify = nullptr;
    PyObject* munchify_code = nullptr;
    PyObject* unmunchify = nullptr;
    PyObject* unmunchify_code = nullptr;
    PyTypeObject* munch_type = nullptr;
    PyObject* munch_init = nullptr;
    PyObject* munch_update = nullptr;
};

inline Originals& originals() {
    static Originals kept;
    return kept;
}

// Called once by the module body, right after it imported munch's names.
inline void remember(py::handle munchify, py::handle unmunchify, py::handle munch_type) {
    Originals& kept = originals();
    kept.munchify = py::reinterpret_borrow<py::object>(munchify).release().ptr();
    kept.munchify_code = py::object(munchify.attr("__code__")).release().ptr();
    kept.unmunchify = py::reinterpret_borrow<py::object>(unmunchify).release().ptr();
    kept.unmunchify_code = py::object(unmunchify.attr("__code__")).release().ptr();
    kept.munch_type = reinterpret_cast<PyTypeObject*>(py::reinterpret_borrow<py::object>(munch_type).release().ptr());
    kept.munch_init = py::object(munch_type.attr("__dict__")["__init__"]).release().ptr();
    kept.munch_update = py::object(munch_type.attr("__dict__")["update"]).release().ptr();
}

// Munch as munch defines it: nothing of what the conversion relies on (its initialiser and update
// method, dict's item access, keys and iteration) replaced on the class.
inline bool munch_class_unchanged() {
    const Originals& kept = originals();
    if (kept.munch_type == nullptr || kept.munch_type->tp_base != &PyDict_Type) return false;
    static PyObject* const init = intern("__init__");
    static PyObject* const update = intern("update");
    static PyObject* const overridable[] = {intern("__getitem__"), intern("__setitem__"), intern("keys"),
                                            intern("__iter__"), intern("__new__")};
    PyObject* dict = kept.munch_type->tp_dict;
    if (PyDict_GetItemWithError(dict, init) != kept.munch_init) return false;
    if (PyDict_GetItemWithError(dict, update) != kept.munch_update) return false;
    for (PyObject* name : overridable) {
        if (PyDict_GetItemWithError(dict, name) != nullptr) return false;
    }
    return !PyErr_Occurred();
}

inline bool is_unchanged_function(PyObject* function, PyObject* original, PyObject* code) {
    return function == original && original != nullptr && PyFunction_GET_CODE(function) == code;
}

// munchify(x) with munch's default factory, which must still be munch's Munch.
inline bool munchify_is_original(PyObject* function) {
    const Originals& kept = originals();
    if (!is_unchanged_function(function, kept.munchify, kept.munchify_code)) return false;
    PyObject* defaults = PyFunction_GET_DEFAULTS(function);
    return defaults != nullptr && PyTuple_GET_SIZE(defaults) == 1 &&
           PyTuple_GET_ITEM(defaults, 0) == reinterpret_cast<PyObject*>(kept.munch_type) && munch_class_unchanged();
}

inline bool unmunchify_is_original(PyObject* function) {
    const Originals& kept = originals();
    return is_unchanged_function(function, kept.unmunchify, kept.unmunchify_code) && munch_class_unchanged();
}

// Values that both functions hand back as they are, and whose hashing and comparison run no
// Python code.
inline bool is_plain_value(PyObject* value) {
    return value == Py_None || PyUnicode_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyLong_CheckExact(value) || PyBool_Check(value);
}

struct Unsupported {};  // met a value the fast path leaves to munch's own function

inline py::object steal_or_throw(PyObject* object) {
    if (object == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(object);
}

// The (key, value) pairs of an exact dict or a Munch, in order, with new references; keys must be
// plain values so that storing them elsewhere runs no Python code.
inline std::vector<std::pair<py::object, py::object>> items_of(PyObject* mapping) {
    std::vector<std::pair<py::object, py::object>> items;
    items.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(mapping)));
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(mapping, &position, &key, &value)) {
        if (!is_plain_value(key)) throw Unsupported{};
        items.emplace_back(py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(value));
    }
    return items;
}

// The walk both conversions share: `seen` maps each container met (by identity, as munch's id())
// to its converted partial object.
class Converter {
public:
    explicit Converter(bool to_munch) : to_munch_(to_munch) {}

    py::object convert(PyObject* object) { return to_munch_ ? munchify_cycles(object) : unmunchify_cycles(object); }

private:
    bool is_mapping(PyObject* object) const {
        return PyDict_CheckExact(object) || Py_TYPE(object) == originals().munch_type;
    }

    void check_supported(PyObject* object) const {
        if (!is_mapping(object) && !PyList_CheckExact(object) && !PyTuple_CheckExact(object) && !is_plain_value(object))
            throw Unsupported{};
    }

    py::object new_mapping() const {
        if (!to_munch_) return steal_or_throw(PyDict_New());
        // Munch({}): munch's initialiser adds nothing for an empty dict, so dict's allocation alone
        // gives the same object.
        PyTypeObject* type = originals().munch_type;
        py::object empty = steal_or_throw(PyTuple_New(0));
        return steal_or_throw(type->tp_new(type, empty.ptr(), nullptr));
    }

    py::object* find(PyObject* object) {
        auto found = seen_.find(object);
        return found == seen_.end() ? nullptr : &found->second;
    }

    // munch's pre_munchify: a skeleton, filled by post_munchify.
    py::object pre(PyObject* object) {
        check_supported(object);
        if (is_mapping(object)) return new_mapping();
        if (PyList_CheckExact(object)) return steal_or_throw(PyList_New(0));
        if (PyTuple_CheckExact(object)) {
            const Py_ssize_t n = PyTuple_GET_SIZE(object);
            py::object tuple = steal_or_throw(PyTuple_New(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* item = PyTuple_GET_ITEM(object, i);
                // munchify takes the items' skeletons, unmunchify their full conversions.
                Depth guard(depth_);
                py::object converted = to_munch_ ? pre_cycles(item).first : unmunchify_cycles(item);
                PyTuple_SET_ITEM(tuple.ptr(), i, converted.release().ptr());
            }
            return tuple;
        }
        return py::reinterpret_borrow<py::object>(object);
    }

    std::pair<py::object, bool> pre_cycles(PyObject* object) {
        if (py::object* known = find(object)) return {*known, true};
        py::object partial = pre(object);
        seen_.insert_or_assign(object, partial);  // munch overwrites: a tuple may meet itself while it is made
        return {partial, false};
    }

    // Deep data goes to munch's function, which raises RecursionError where Python would.
    struct Depth {
        explicit Depth(int& depth) : depth_(depth) {
            if (++depth_ > 100) {
                --depth_;
                throw Unsupported{};
            }
        }
        ~Depth() { --depth_; }
        int& depth_;
    };

    py::object child(PyObject* object) {
        Depth guard(depth_);
        return to_munch_ ? munchify_cycles(object) : unmunchify_cycles(object);
    }

    // munch's post_munchify / post_unmunchify.
    py::object post(const py::object& partial, PyObject* object) {
        if (is_mapping(object)) {
            // munchify fills a Munch through Munch.update, which collects every pair before storing
            // one; unmunchify fills a dict pair by pair. Either way the pairs land in key order.
            std::vector<std::pair<py::object, py::object>> converted;
            for (auto& [key, value] : items_of(object)) {
                py::object result = child(value.ptr());
                if (to_munch_) {
                    converted.emplace_back(key, std::move(result));
                } else if (PyDict_SetItem(partial.ptr(), key.ptr(), result.ptr()) < 0) {
                    throw py::error_already_set();
                }
            }
            for (auto& [key, value] : converted) {
                if (PyDict_SetItem(partial.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
            }
        } else if (PyList_CheckExact(object)) {
            // The list is read by index: a cycle may make it the very list being filled.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
                py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(object, i));
                py::object result = child(item.ptr());
                if (PyList_Append(partial.ptr(), result.ptr()) < 0) throw py::error_already_set();
            }
        } else if (PyTuple_CheckExact(object)) {
            const Py_ssize_t n = std::min(PyTuple_GET_SIZE(object), PyTuple_GET_SIZE(partial.ptr()));
            Depth guard(depth_);
            for (Py_ssize_t i = 0; i < n; ++i) {
                post(py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(partial.ptr(), i)),
                     PyTuple_GET_ITEM(object, i));
            }
        }
        return partial;
    }

    py::object munchify_cycles(PyObject* object) {
        if (is_plain_value(object)) return py::reinterpret_borrow<py::object>(object);
        auto [partial, already_seen] = pre_cycles(object);
        if (already_seen) return partial;
        return post(partial, object);
    }

    py::object unmunchify_cycles(PyObject* object) {
        if (is_plain_value(object)) return py::reinterpret_borrow<py::object>(object);
        if (py::object* known = find(object)) return *known;
        py::object partial = pre(object);
        seen_.insert_or_assign(object, partial);  // munch overwrites: a tuple may meet itself while it is made
        return post(partial, object);
    }

    bool to_munch_;
    int depth_ = 0;
    std::unordered_map<PyObject*, py::object> seen_;
};

// A mapping of plain keys and values (the common properties dictionary) converted into a fresh
// mapping: with no container inside, nothing is shared and the walk reduces to a copy.
inline py::object convert_flat(PyObject* mapping, bool to_munch) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(mapping, &position, &key, &value)) {
        if (!is_plain_value(key) || !is_plain_value(value)) return py::object();
    }
    py::object result;
    if (to_munch) {
        py::object empty = steal_or_throw(PyTuple_New(0));
        result = steal_or_throw(originals().munch_type->tp_new(originals().munch_type, empty.ptr(), nullptr));
    } else {
        result = steal_or_throw(PyDict_New());
    }
    position = 0;
    while (PyDict_Next(mapping, &position, &key, &value)) {
        if (PyDict_SetItem(result.ptr(), key, value) < 0) throw py::error_already_set();
    }
    return result;
}

// The conversion, or an empty object when the data holds something the fast path leaves alone.
inline py::object try_convert(py::handle value, bool to_munch) {
    PyObject* object = value.ptr();
    if (PyDict_CheckExact(object) || Py_TYPE(object) == originals().munch_type) {
        if (py::object converted = convert_flat(object, to_munch)) return converted;
    }
    try {
        return Converter(to_munch).convert(value.ptr());
    } catch (const Unsupported&) {
        return py::object();
    }
}

}  // namespace munch_fast

// `munchify(value)` with the name as currently bound in the module.
inline py::object munchify(py::handle value) {
    static PyObject* const name = intern("munchify");
    py::object function = global(name);
    if (munch_fast::munchify_is_original(function.ptr())) {
        if (py::object converted = munch_fast::try_convert(value, true)) return converted;
    }
    return function(value);
}

// `unmunchify(value)` with the name as currently bound in the module.
inline py::object unmunchify(py::handle value) {
    static PyObject* const name = intern("unmunchify");
    py::object function = global(name);
    if (munch_fast::unmunchify_is_original(function.ptr())) {
        if (py::object converted = munch_fast::try_convert(value, false)) return converted;
    }
    return function(value);
}

// math.isclose for two doubles, as the C library computes it.
inline bool isclose_doubles(double a, double b, double rel_tol, double abs_tol) {
    if (a == b) return true;
    if (std::isinf(a) || std::isinf(b)) return false;
    const double diff = std::fabs(b - a);
    return diff <= std::fabs(rel_tol * b) || diff <= std::fabs(rel_tol * a) || diff <= abs_tol;
}

// A value math.isclose takes as exactly this double without running Python code: an exact float,
// or an exact int that converts without rounding.
inline bool as_exact_double(py::handle value, double& out) {
    PyObject* v = value.ptr();
    if (PyFloat_CheckExact(v)) {
        out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0 && !(n == -1 && PyErr_Occurred()) && n > -(1LL << 53) && n < (1LL << 53)) {
            out = static_cast<double>(n);
            return true;
        }
        PyErr_Clear();
    }
    return false;
}

// `math.isclose(a, b, rel_tol=ISCLOSE_RTOL, abs_tol=ISCLOSE_ATOL)` with the names as bound now:
// computed here while `math.isclose` is the standard library's and every value is a plain number,
// called otherwise.
inline bool isclose_with_host_tolerances(py::handle a, py::handle b) {
    py::object isclose = global(HOST_NAME("math").ptr()).attr(HOST_NAME("isclose"));
    py::object rel_tol = global(HOST_NAME("ISCLOSE_RTOL").ptr());
    py::object abs_tol = global(HOST_NAME("ISCLOSE_ATOL").ptr());
    double x, y, r, t;
    if (isclose.ptr() == detail::standard_isclose && as_exact_double(a, x) && as_exact_double(b, y) &&
        as_exact_double(rel_tol, r) && as_exact_double(abs_tol, t) && r >= 0.0 && t >= 0.0)
        return isclose_doubles(x, y, r, t);
    py::object result = isclose(a, b, py::arg("rel_tol") = rel_tol, py::arg("abs_tol") = abs_tol);
    const int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

// Raises an exception whose type is a host name (a class living in Python), with the exact text.
[[noreturn]] inline void raise(const char* type_name, const std::string& text) {
    py::object type = global(type_name);
    PyErr_SetString(type.ptr(), text.c_str());
    throw py::error_already_set();
}

}  // namespace host
