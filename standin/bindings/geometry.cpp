// terrak._geometry: the value types of terrak.geometry over the plane polyline kernel.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "geometry/polyline.hpp"
#include "pyclass/pyclass.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

struct TransformableObject {
    virtual ~TransformableObject() = default;
};

struct PointObj : TransformableObject {
    geometry::Point p;
    explicit PointObj(geometry::Point p) : p(p) {}
};

struct LineObj : TransformableObject {
    geometry::Point start, end;
    LineObj(geometry::Point start, geometry::Point end) : start(start), end(end) {}
};

// The points are shared and never changed in place: a new initialisation swaps in a new list, so a
// kernel running without the GIL keeps its own reference while another thread re-initialises or
// drops the polyline.
struct PolylineObj : TransformableObject {
    std::shared_ptr<const geometry::Points> pts = std::make_shared<const geometry::Points>();
    // Known once per list of points: profiles take the fast point-on-line lookup.
    bool x_ascending = true;
    PolylineObj() = default;
    explicit PolylineObj(geometry::Points p)
        : pts(std::make_shared<const geometry::Points>(std::move(p))), x_ascending(geometry::x_never_decreases(*pts)) {}
};

// Shared and never changed in place, as a polyline's points are: a method that reads them while
// Python code runs (making the result's objects) keeps its own reference through a new __init__.
struct PolygonObj : TransformableObject {
    std::shared_ptr<const geometry::Points> pts;
    py::object material = py::none();
};

}  // namespace

// An instance made by __new__ alone (a subclass whose __init__ failed before or without calling
// the base initialiser, a traceback keeping a half-made object) has no C++ value: pybind11 would
// hand the methods fresh uninitialised memory. Every argument and `self` of these types passes
// this check first, so such an object raises TypeError instead.
namespace pybind11::detail {
template <class T>
struct initialised_caster : type_caster_base<T> {
    bool load(handle src, bool convert) {
        if (src && isinstance<T>(src)) {
            auto* inst = reinterpret_cast<instance*>(src.ptr());
            const value_and_holder vh = inst->get_value_and_holder(get_type_info(typeid(T)), false);
            if (vh.inst == nullptr || !vh.holder_constructed()) {
                const std::string base = str(get_type_handle(typeid(T), true).attr("__name__"));
                const std::string shown = str(type::handle_of(src).attr("__name__"));
                throw type_error("'" + shown + "' object is not initialised: " + base +
                                 ".__init__() was never called on it");
            }
        }
        return type_caster_base<T>::load(src, convert);
    }
};
template <> struct type_caster<PointObj> : initialised_caster<PointObj> {};
template <> struct type_caster<LineObj> : initialised_caster<LineObj> {};
template <> struct type_caster<PolylineObj> : initialised_caster<PolylineObj> {};
template <> struct type_caster<PolygonObj> : initialised_caster<PolygonObj> {};
}  // namespace pybind11::detail

namespace {

// A type's name as Python shows it in messages: without the module.
std::string short_name(PyTypeObject* type) {
    const std::string full = type->tp_name;
    return full.substr(full.rfind('.') + 1);
}

std::string type_name(py::handle h) { return short_name(Py_TYPE(h.ptr())); }

std::string short_repr(py::handle value) {
    std::string text = py::repr(value);
    if (text.size() > 80) text = text.substr(0, 77) + "...";
    return text;
}

// A number given by the caller as a double: an exact float directly, anything else through the
// number protocol (an int, a numpy scalar, a Decimal), as float(x) would take it but for text.
// Returns false, with no error set, for a value that is no real number.
bool to_double(py::handle value, double& out) {
    PyObject* o = value.ptr();
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    // An int converts without the float object the number protocol would make; one too large
    // for a float raises OverflowError either way.
    const double v = PyLong_CheckExact(o) ? PyLong_AsDouble(o) : PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}

// The shared tolerances are read on every call, so changing terrak.core's values takes effect.
double tolerance_value(py::handle core, PyObject* interned) {
    const char* name = PyUnicode_AsUTF8(interned);
    py::object value = core.attr(interned);
    double v;
    if (!to_double(value, v))
        throw py::type_error(std::string("terrak.core.") + name + " must be a real number, not " + type_name(value) +
                             " (" + short_repr(value) + ")");
    if (!(v >= 0.0) || !std::isfinite(v))
        throw py::value_error(std::string("terrak.core.") + name + " must be a finite number not below zero, not " +
                              short_repr(value));
    return v;
}

// terrak.core, imported on first use (it imports this module) and kept: the values are read from
// it at every call, the import machinery is not.
py::handle core_module() {
    static PyObject* core = nullptr;  // a plain pointer: two threads racing here only import twice
    if (core == nullptr) core = py::module_::import("terrak.core").release().ptr();
    return core;
}

geometry::Tolerance tolerance() {
    static PyObject* const rtol = PyUnicode_InternFromString("ISCLOSE_RTOL");
    static PyObject* const atol = PyUnicode_InternFromString("ISCLOSE_ATOL");
    py::handle core = core_module();
    return geometry::Tolerance{tolerance_value(core, rtol), tolerance_value(core, atol)};
}

geometry::Points to_points(const py::handle& points, const char* owner) {
    if (!py::isinstance<py::iterable>(points))
        throw py::type_error(std::string(owner) + " points must be an iterable of Point, not '" + type_name(points) +
                             "'");
    geometry::Points out;
    for (py::handle item : points) {
        if (!py::isinstance<PointObj>(item))
            throw py::type_error(std::string(owner) + " points must be Point objects, not '" + type_name(item) + "'");
        out.push_back(item.cast<const PointObj&>().p);
    }
    return out;
}

py::list to_list(const geometry::Points& pts) {
    py::list out(pts.size());
    for (std::size_t k = 0; k < pts.size(); ++k) out[k] = py::cast(PointObj(pts[k]));
    return out;
}

std::string float_repr(double v) { return py::repr(py::float_(v)); }

std::string point_repr(const geometry::Point& p) {
    return "Point(x=" + float_repr(p.x) + ", y=" + float_repr(p.y) + ", z=" + float_repr(p.z) + ")";
}

// A kernel call on fewer points is over in microseconds and keeps the GIL (threads that build
// many small lines would otherwise mostly wait for each other's turns).
constexpr std::size_t kUnlockFromPoints = 1000;

template <class F>
auto unlocked(std::size_t points, F&& f) {
    return pyclass::without_gil_if(points >= kUnlockFromPoints, std::forward<F>(f));
}

py::object polyline(geometry::Points pts) { return py::cast(PolylineObj(std::move(pts))); }

// Methods that behave like a Python class's: the arguments are bound by Python's rules (with its
// messages for a call that does not fit), help() and inspect.signature() show the parameters, and
// a call costs no more than pybind11's own dispatch. The messages of a failed call are built only
// once it has failed.

struct Param {
    const char* name;
    py::object fallback;  // the default value; null for a required parameter
};

struct Call;
using Impl = py::object (*)(const Call&);

struct MethodInfo {
    std::string name, qualname, doc;
    std::vector<Param> params;
    PyTypeObject* owner;
    bool takes_self;  // an instance or class method: the first parameter is bound on access
    Impl impl;
};

constexpr std::size_t kMaxParams = 4;

// The arguments of one call, one per parameter in order, defaults filled in.
struct Call {
    const MethodInfo& info;
    PyObject* const* args;
    py::handle operator[](std::size_t i) const { return args[i]; }
    std::string argument(std::size_t i) const {
        return info.qualname + "() argument '" + info.params[i].name + "'";
    }
};

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodInfo* info;
    PyObject* signature;  // inspect.Signature, made when first asked for
};

// The TypeError of a call that does not fit, worded and ordered by the class toolkit that gives the
// modules' own functions Python's messages, so that every class of terrak words them alike.
void raise_binding_error(const MethodInfo& info, std::size_t given, PyObject* kwnames) {
    try {
        pyclass::detail::Parameters parameters;
        for (const Param& p : info.params) {
            parameters.names.push_back(py::reinterpret_steal<py::object>(PyUnicode_InternFromString(p.name)));
            parameters.has_default.push_back(static_cast<bool>(p.fallback));
        }
        parameters.positional = parameters.count();
        const py::object message = pyclass::detail::binding_error(parameters, py::str(info.qualname).ptr(),
                                                                  static_cast<Py_ssize_t>(given), kwnames);
        PyErr_SetObject(PyExc_TypeError, message.ptr());
    } catch (py::error_already_set& e) {
        e.restore();
    }
}

// Binds the arguments of a call to the parameters, all positional-or-keyword, as Python binds
// those of a function; false, with Python's TypeError set, for a call that does not fit.
bool bind(const MethodInfo& info, PyObject* const* args, std::size_t given, PyObject* kwnames, PyObject** out) {
    const std::size_t count = info.params.size();
    // The common case first: positional arguments only, the rest from defaults.
    if (kwnames == nullptr && given < count && info.params[given].fallback) {
        std::copy(args, args + given, out);
        for (std::size_t i = given; i < count; ++i) out[i] = info.params[i].fallback.ptr();
        return true;
    }
    const auto refuse = [&] {
        raise_binding_error(info, given, kwnames);
        return false;
    };
    if (given > count) return refuse();
    std::fill(out, out + count, nullptr);
    std::copy(args, args + given, out);
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t j = 0;
        while (j < count && PyUnicode_CompareWithASCIIString(key, info.params[j].name) != 0) ++j;
        if (j == count || out[j] != nullptr) return refuse();
        out[j] = args[given + static_cast<std::size_t>(k)];
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (out[i] != nullptr) continue;
        if (!info.params[i].fallback) return refuse();
        out[i] = info.params[i].fallback.ptr();
    }
    return true;
}

PyObject* call_method(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const MethodInfo& info = *reinterpret_cast<MethodObject*>(callable)->info;
    const std::size_t given = PyVectorcall_NARGS(nargsf);
    PyObject* bound[kMaxParams];
    PyObject* const* use = args;
    if (kwnames != nullptr || given != info.params.size()) {
        if (!bind(info, args, given, kwnames, bound)) return nullptr;
        use = bound;
    }
    try {
        return info.impl(Call{info, use}).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
    return nullptr;
}

MethodObject* as_method(PyObject* self) { return reinterpret_cast<MethodObject*>(self); }

PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None || !as_method(self)->info->takes_self) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(as_method(self)->signature);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyObject* method_repr(PyObject* self) {
    const MethodInfo& info = *as_method(self)->info;
    return PyUnicode_FromFormat("<method '%s' of '%s' objects>", info.name.c_str(), short_name(info.owner).c_str());
}

PyObject* text(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }
PyObject* get_name(PyObject* self, void*) { return text(as_method(self)->info->name); }
PyObject* get_qualname(PyObject* self, void*) { return text(as_method(self)->info->qualname); }
PyObject* get_doc(PyObject* self, void*) { return text(as_method(self)->info->doc); }
PyObject* get_module(PyObject*, void*) { return PyUnicode_FromString("terrak._geometry"); }
PyObject* get_objclass(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<PyObject*>(as_method(self)->info->owner));
}

PyObject* get_signature(PyObject* self, void*) {
    MethodObject* m = as_method(self);
    if (m->signature == nullptr) {
        try {
            py::module_ inspect = py::module_::import("inspect");
            py::object parameter = inspect.attr("Parameter");
            py::list params;
            for (const Param& p : m->info->params) {
                py::object fallback = p.fallback ? p.fallback : inspect.attr("Parameter").attr("empty");
                params.append(parameter(p.name, parameter.attr("POSITIONAL_OR_KEYWORD"), "default"_a = fallback));
            }
            m->signature = inspect.attr("Signature")(params).release().ptr();
        } catch (py::error_already_set& e) {
            e.restore();
            return nullptr;
        }
    }
    return Py_NewRef(m->signature);
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(MethodObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_getset, method_getset},
    {Py_tp_members, method_members},
    {0, nullptr},
};

// A method descriptor like those of the built-in types: calls through it skip the bound method.
PyType_Spec method_type_layout = {
    "terrak._geometry.method", sizeof(MethodObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    method_slots};

PyTypeObject* method_type = nullptr;

enum class Kind { instance, static_, class_ };

// Puts a method on the class; its description (names, parameters, body) lives as long as the process, as the class does.
void define(py::handle cls, const char* name, std::vector<Param> params, Impl impl, const char* doc,
            Kind kind = Kind::instance) {
    auto* owner = reinterpret_cast<PyTypeObject*>(cls.ptr());
    auto* info = new MethodInfo{name, short_name(owner) + "." + name, doc, std::move(params), owner,
                                kind != Kind::static_, impl};
    if (info->params.size() > kMaxParams) py::pybind11_fail("too many parameters for a geometry method");
    auto* m = PyObject_New(MethodObject, method_type);
    if (m == nullptr) throw py::error_already_set();
    m->vectorcall = call_method;
    m->info = info;
    m->signature = nullptr;
    py::object method = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(m));
    if (kind == Kind::static_) method = py::reinterpret_steal<py::object>(PyStaticMethod_New(method.ptr()));
    if (kind == Kind::class_) method = py::reinterpret_steal<py::object>(PyClassMethod_New(method.ptr()));
    if (!method) throw py::error_already_set();
    cls.attr(name) = method;
}

Param req(const char* name) { return Param{name, py::object()}; }
Param opt(const char* name, py::object fallback) { return Param{name, std::move(fallback)}; }

py::type_error not_applicable(const Call& c) {
    return py::type_error("descriptor '" + c.info.name + "' for '" + short_name(c.info.owner) +
                          "' objects doesn't apply to a '" + type_name(c[0]) + "' object");
}

// `self` of an instance method; called through the class with something else, it fails as a
// method descriptor of a built-in type does.
template <class T>
const T& self_of(const Call& c) {
    py::detail::make_caster<T> caster;
    if (!caster.load(c[0], false))
        throw not_applicable(c);
    return py::detail::cast_op<const T&>(caster);
}

template <class T>
const T& value_of(const Call& c, std::size_t i, const char* shown) {
    py::detail::make_caster<T> caster;
    if (!caster.load(c[i], false))
        throw py::type_error(c.argument(i) + " must be " + shown + ", not " + type_name(c[i]));
    return py::detail::cast_op<const T&>(caster);
}

double real_of(const Call& c, std::size_t i) {
    double v;
    if (!to_double(c[i], v)) throw py::type_error(c.argument(i) + " must be a real number, not " + type_name(c[i]));
    return v;
}

bool truth_of(const Call& c, std::size_t i) {
    const int v = PyObject_IsTrue(c[i].ptr());
    if (v < 0) throw py::error_already_set();
    return v != 0;
}

geometry::Point point_of(const Call& c, std::size_t i) { return value_of<PointObj>(c, i, "Point").p; }
std::shared_ptr<const geometry::Points> points_of(const Call& c, std::size_t i) {
    return value_of<PolylineObj>(c, i, "Polyline").pts;
}

// Gives the instance its C++ value: a first initialisation constructs it in place, a later one
// replaces it (as a Python class's __init__ would), once everything that can fail has run.
template <class T>
void install(py::handle self, T value) {
    auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
    py::detail::value_and_holder vh = inst->get_value_and_holder(py::detail::get_type_info(typeid(T)), true);
    if (vh.holder_constructed()) {
        *vh.value_ptr<T>() = std::move(value);
        return;
    }
    vh.value_ptr() = new T(std::move(value));
    vh.type->init_instance(inst, nullptr);
}

// `self` of __init__ and __setstate__, which may still lack its C++ value.
void check_init_self(const Call& c) {
    if (!PyObject_TypeCheck(c[0].ptr(), c.info.owner)) throw not_applicable(c);
}

// Copy and pickle: the value as bytes of little-endian doubles (compact, and copied as one
// object by deepcopy), the Python attributes as object.__getstate__ gives them. A subclass is
// remade by __new__ and __setstate__, never through its own __init__, whose parameters may differ.

py::bytes encode(const geometry::Points& pts) {
    std::string out;
    out.reserve(pts.size() * 24);
    for (const geometry::Point& p : pts) {
        for (double v : {p.x, p.y, p.z}) {
            std::uint64_t u;
            std::memcpy(&u, &v, 8);
            for (int k = 0; k < 8; ++k) out.push_back(static_cast<char>(u >> (8 * k)));
        }
    }
    return py::bytes(out);
}

geometry::Points decode(py::handle value, const char* cls) {
    if (!PyBytes_Check(value.ptr()) || PyBytes_GET_SIZE(value.ptr()) % 24 != 0)
        throw py::type_error(std::string(cls) + " state must hold the points as bytes from __reduce__(), not " +
                             type_name(value));
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(value.ptr()));
    const std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(value.ptr())) / 24;
    geometry::Points pts;
    pts.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        double xyz[3];
        for (int c = 0; c < 3; ++c) {
            std::uint64_t u = 0;
            for (int k = 0; k < 8; ++k) u |= static_cast<std::uint64_t>(data[i * 24 + c * 8 + k]) << (8 * k);
            std::memcpy(&xyz[c], &u, 8);
        }
        pts.push_back(geometry::make_point(xyz[0], xyz[1], xyz[2]));
    }
    return pts;
}

py::object reduce_with(py::handle self, py::object value) {
    py::object newobj = py::module_::import("copyreg").attr("__newobj__");
    py::object attributes = self.attr("__getstate__")();
    return py::make_tuple(newobj, py::make_tuple(py::type::handle_of(self)), py::make_tuple(value, attributes));
}

// The (value, attributes) pair made by __reduce__.
std::pair<py::handle, py::handle> state_of(const Call& c) {
    py::handle state = c[1];
    if (!PyTuple_Check(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 2)
        throw py::type_error(c.argument(1) + " must be the (value, attributes) pair made by __reduce__(), not " +
                             type_name(state));
    return {PyTuple_GET_ITEM(state.ptr(), 0), PyTuple_GET_ITEM(state.ptr(), 1)};
}

// The attributes as pickle restores them without a __setstate__: a dict, or a pair of the dict
// and the slot values.
void restore_attributes(py::handle self, py::handle attributes) {
    if (attributes.is_none()) return;
    py::handle dict_part = attributes, slots = py::none();
    if (PyTuple_Check(attributes.ptr()) && PyTuple_GET_SIZE(attributes.ptr()) == 2) {
        dict_part = PyTuple_GET_ITEM(attributes.ptr(), 0);
        slots = PyTuple_GET_ITEM(attributes.ptr(), 1);
    }
    if (!dict_part.is_none()) {
        py::object own = self.attr("__dict__");
        for (py::handle item : dict_part.attr("items")()) own[item[py::int_(0)]] = item[py::int_(1)];
    }
    if (!slots.is_none())
        for (py::handle item : slots.attr("items")()) py::setattr(self, item[py::int_(0)], item[py::int_(1)]);
}

const char* kReduceDoc = "Helper for pickle and copy: the value and the attributes, remade without __init__.";
const char* kSetstateDoc = "Helper for pickle and copy: restores what __reduce__() gave.";

// Stored data: each coordinate is checked with its key and place, as a reader of the data would.

double stored_coordinate(const char* key, std::size_t index, py::handle value) {
    double v;
    const std::string where = "coordinate '" + std::string(key) + "' of point " + std::to_string(index);
    try {
        if (!to_double(value, v))
            throw py::type_error(where + " must be a real number, not " + type_name(value) + " (" + short_repr(value) +
                                 ")");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OverflowError)) throw;
        throw py::value_error(where + " is too large for a float: " + short_repr(value));
    }
    if (!std::isfinite(v)) throw py::value_error(where + " must be a finite number, not " + short_repr(value));
    return v;
}

py::object deserialize(py::handle cls, py::handle data) {
    py::list points;
    std::size_t index = 0;
    for (py::handle item : data[py::str("points")]) {
        py::object obj = py::reinterpret_borrow<py::object>(item);
        // Read in the order of a reader that builds Point(p["x"], p["y"], p.get("z", 0.0)).
        const double x = stored_coordinate("x", index, obj[py::str("x")]);
        const double y = stored_coordinate("y", index, obj[py::str("y")]);
        const double z = stored_coordinate("z", index, obj.attr("get")("z", 0.0));
        points.append(py::cast(PointObj(geometry::make_point(x, y, z))));
        ++index;
    }
    return cls(points);
}

// __class__ assignment: CPython allows it between types of the same memory layout, and all
// pybind11 instances share one. Each value type gets a layout of its own (a few unused bytes at
// the end), so that an assignment between types holding different C++ values is refused by
// CPython itself ("object layout differs"), while a Python subclass and its base stay
// interchangeable. Done right after the class is made, before any instance or subclass exists.
void give_own_layout(py::handle cls, int words) {
    reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_basicsize += words * static_cast<Py_ssize_t>(sizeof(void*));
}

}  // namespace

PYBIND11_MODULE(_geometry, m) {
    m.doc() = "Geometry value types over a C++ plane polyline kernel.";
    method_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&method_type_layout));
    if (method_type == nullptr) throw py::error_already_set();

    py::class_<TransformableObject> transformable_cls(m, "TransformableObject", py::dynamic_attr(),
                                                      "Base of the geometry objects that can be placed in a scene.");
    // The base carries no state. On a Point, Line, Polyline or Polygon (a cooperative
    // super().__init__() chain, or TransformableObject.__init__(point)) there is nothing to do.
    define(transformable_cls, "__init__", {req("self")}, [](const Call& c) -> py::object {
        check_init_self(c);
        auto* inst = reinterpret_cast<py::detail::instance*>(c[0].ptr());
        const auto own = inst->get_value_and_holder(py::detail::get_type_info(typeid(TransformableObject)), false);
        if (own.inst != nullptr && !own.holder_constructed()) install(c[0], TransformableObject{});
        return py::none();
    }, "Initialise self.");
    define(transformable_cls, "__reduce__", {req("self")}, [](const Call& c) -> py::object {
        return reduce_with(c[0], py::bytes(""));
    }, kReduceDoc);
    define(transformable_cls, "__setstate__", {req("self"), req("state")}, [](const Call& c) -> py::object {
        check_init_self(c);
        auto [value, attributes] = state_of(c);
        (void)value;
        auto* inst = reinterpret_cast<py::detail::instance*>(c[0].ptr());
        const auto own = inst->get_value_and_holder(py::detail::get_type_info(typeid(TransformableObject)), false);
        if (own.inst == nullptr) throw py::type_error("TransformableObject state does not fit a " + type_name(c[0]));
        if (!own.holder_constructed()) install(c[0], TransformableObject{});
        restore_attributes(c[0], attributes);
        return py::none();
    }, kSetstateDoc);

    py::class_<PointObj, TransformableObject> point_cls(m, "Point", "A point in space; z is 0 for a point in the plane.");
    give_own_layout(point_cls, 1);
    define(point_cls, "__init__", {req("self"), req("x"), req("y"), opt("z", py::float_(0.0))},
           [](const Call& c) -> py::object {
               check_init_self(c);
               const geometry::Point p = geometry::make_point(real_of(c, 1), real_of(c, 2), real_of(c, 3));
               install(c[0], PointObj(p));
               return py::none();
           }, "Initialise self.");
    point_cls.def_property_readonly("x", [](const PointObj& s) { return s.p.x; })
        .def_property_readonly("y", [](const PointObj& s) { return s.p.y; })
        .def_property_readonly("z", [](const PointObj& s) { return s.p.z; });
    define(point_cls, "__eq__", {req("self"), req("other")}, [](const Call& c) -> py::object {
        const geometry::Point a = self_of<PointObj>(c).p;
        if (!py::isinstance<PointObj>(c[1])) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(geometry::same_xyz(a, point_of(c, 1), tolerance()));
    }, "Return self==value.");
    define(point_cls, "__ne__", {req("self"), req("other")}, [](const Call& c) -> py::object {
        const geometry::Point a = self_of<PointObj>(c).p;
        if (!py::isinstance<PointObj>(c[1])) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(!geometry::same_xyz(a, point_of(c, 1), tolerance()));
    }, "Return self!=value.");
    point_cls.attr("__hash__") = py::none();
    define(point_cls, "__iter__", {req("self")}, [](const Call& c) -> py::object {
        const geometry::Point p = self_of<PointObj>(c).p;
        return py::iter(py::make_tuple(p.x, p.y, p.z));
    }, "Implement iter(self): x, y and z.");
    define(point_cls, "__repr__", {req("self")}, [](const Call& c) -> py::object {
        return py::str(point_repr(self_of<PointObj>(c).p));
    }, "Return repr(self).");
    define(point_cls, "__reduce__", {req("self")}, [](const Call& c) -> py::object {
        return reduce_with(c[0], encode({self_of<PointObj>(c).p}));
    }, kReduceDoc);
    define(point_cls, "__setstate__", {req("self"), req("state")}, [](const Call& c) -> py::object {
        check_init_self(c);
        auto [value, attributes] = state_of(c);
        const geometry::Points pts = decode(value, "Point");
        if (pts.size() != 1) throw py::type_error("Point state must hold one point, not " + std::to_string(pts.size()));
        install(c[0], PointObj(pts[0]));
        restore_attributes(c[0], attributes);
        return py::none();
    }, kSetstateDoc);

    py::class_<LineObj, TransformableObject> line_cls(m, "Line", "A straight line from a start point to an end point.");
    give_own_layout(line_cls, 2);
    define(line_cls, "__init__", {req("self"), req("start_point"), req("end_point")}, [](const Call& c) -> py::object {
        check_init_self(c);
        const geometry::Point a = point_of(c, 1), b = point_of(c, 2);
        install(c[0], LineObj(a, b));
        return py::none();
    }, "Initialise self.");
    line_cls.def_property_readonly("start_point", [](const LineObj& s) { return PointObj(s.start); })
        .def_property_readonly("end_point", [](const LineObj& s) { return PointObj(s.end); });
    define(line_cls, "__repr__", {req("self")}, [](const Call& c) -> py::object {
        const LineObj& s = self_of<LineObj>(c);
        return py::str("Line(" + point_repr(s.start) + ", " + point_repr(s.end) + ")");
    }, "Return repr(self).");
    define(line_cls, "__reduce__", {req("self")}, [](const Call& c) -> py::object {
        const LineObj& s = self_of<LineObj>(c);
        return reduce_with(c[0], encode({s.start, s.end}));
    }, kReduceDoc);
    define(line_cls, "__setstate__", {req("self"), req("state")}, [](const Call& c) -> py::object {
        check_init_self(c);
        auto [value, attributes] = state_of(c);
        const geometry::Points pts = decode(value, "Line");
        if (pts.size() != 2) throw py::type_error("Line state must hold two points, not " + std::to_string(pts.size()));
        install(c[0], LineObj(pts[0], pts[1]));
        restore_attributes(c[0], attributes);
        return py::none();
    }, kSetstateDoc);

    py::class_<PolylineObj, TransformableObject> polyline_cls(m, "Polyline", py::dynamic_attr(),
                                                               "A chain of straight segments through its points.");
    give_own_layout(polyline_cls, 3);
    define(polyline_cls, "__init__", {req("self"), req("points")}, [](const Call& c) -> py::object {
        check_init_self(c);
        install(c[0], PolylineObj(to_points(c[1], "Polyline")));
        return py::none();
    }, "Initialise self.");
    polyline_cls
        .def_property_readonly(
            "points", [](const PolylineObj& s) { auto pts = s.pts; return to_list(*pts); },
            "The points, in order (a new list).")
        .def_property_readonly("start_point",
                               [](const PolylineObj& s) {
                                   if (s.pts->empty()) throw py::index_error("An empty polyline has no start point");
                                   return PointObj(s.pts->front());
                               })
        .def_property_readonly("end_point", [](const PolylineObj& s) {
            if (s.pts->empty()) throw py::index_error("An empty polyline has no end point");
            return PointObj(s.pts->back());
        });
    define(polyline_cls, "serialize", {req("self")}, [](const Call& c) -> py::object {
        auto pts = self_of<PolylineObj>(c).pts;
        py::list out(pts->size());
        for (std::size_t k = 0; k < pts->size(); ++k) {
            const auto& p = (*pts)[k];
            out[k] = py::dict("x"_a = p.x, "y"_a = p.y, "z"_a = p.z);
        }
        return py::dict("points"_a = out);
    }, "The polyline as plain data: {'points': [{'x': .., 'y': .., 'z': ..}, ...]}.");
    define(polyline_cls, "_deserialize", {req("cls"), req("data")}, [](const Call& c) -> py::object {
        return deserialize(c[0], c[1]);
    }, "Rebuilds a polyline from the result of serialize().", Kind::class_);
    define(polyline_cls, "intersections_with_polyline", {req("self"), req("other")}, [](const Call& c) -> py::object {
        auto a = self_of<PolylineObj>(c).pts, b = points_of(c, 1);
        const auto tol = tolerance();
        return to_list(unlocked(a->size() + b->size(), [&] { return geometry::intersections(*a, *b, tol); }));
    }, "Every point where the two lines meet (crossings, touching points, ends of shared stretches), in "
       "order along this line, each once.");
    define(polyline_cls, "intersections_with_x_location", {req("self"), req("x")}, [](const Call& c) -> py::object {
        auto a = self_of<PolylineObj>(c).pts;
        const double x = real_of(c, 1);
        const auto tol = tolerance();
        return to_list(unlocked(a->size(), [&] { return geometry::intersections_with_x(*a, x, tol); }));
    }, "The points of this line at x, in order along it; a vertical segment at x gives both its ends.");
    define(polyline_cls, "get_polyline_between",
           {req("self"), req("start_point"), req("end_point"), opt("inclusive", py::bool_(true))},
           [](const Call& c) -> py::object {
               const PolylineObj& s = self_of<PolylineObj>(c);
               auto a = s.pts;
               const bool ascending = s.x_ascending;
               const geometry::Point p1 = point_of(c, 1), p2 = point_of(c, 2);
               const bool inclusive = truth_of(c, 3);
               const auto tol = tolerance();
               return polyline(
                   unlocked(a->size(), [&] { return geometry::polyline_between(*a, p1, p2, inclusive, tol, ascending); }));
           },
           "The part of this line from start_point to end_point (both on the line, both included unless "
           "inclusive is false).");
    define(polyline_cls, "point_is_on_polyline", {req("self"), req("point")}, [](const Call& c) -> py::object {
        const PolylineObj& s = self_of<PolylineObj>(c);
        auto a = s.pts;
        const bool ascending = s.x_ascending;
        const geometry::Point p = point_of(c, 1);
        const auto tol = tolerance();
        if (ascending) return py::bool_(unlocked(a->size(), [&] { return geometry::point_on_x_ascending_polyline(*a, p, tol); }));
        return py::bool_(unlocked(a->size(), [&] { return geometry::point_on_polyline(*a, p, tol); }));
    }, "True when the point lies on the line, within the shared tolerances.");
    define(polyline_cls, "_all_points_on", {req("self"), req("other")}, [](const Call& c) -> py::object {
        auto a = self_of<PolylineObj>(c).pts;
        const PolylineObj& other = value_of<PolylineObj>(c, 1, "Polyline");
        auto b = other.pts;
        const bool ascending = other.x_ascending;
        const auto tol = tolerance();
        return py::bool_(unlocked(a->size() + b->size(), [&] { return geometry::points_on_polyline(*a, *b, ascending, tol); }));
    }, "True when every point of this line lies on other, as other.point_is_on_polyline tells point by point.");
    define(polyline_cls, "is_monotonic_ascending_x", {req("self"), opt("strict", py::bool_(true))},
           [](const Call& c) -> py::object {
               auto a = self_of<PolylineObj>(c).pts;
               const bool strict = truth_of(c, 1);
               const auto tol = tolerance();
               return py::bool_(unlocked(a->size(), [&] { return geometry::is_monotonic_ascending_x(*a, strict, tol); }));
           },
           "True when x grows along the line; with strict=False when x never decreases.");
    define(polyline_cls, "is_equal_to", {req("self"), req("other")}, [](const Call& c) -> py::object {
        auto a = self_of<PolylineObj>(c).pts, b = points_of(c, 1);
        const auto tol = tolerance();
        return py::bool_(unlocked(a->size() + b->size(), [&] { return geometry::is_equal(*a, *b, tol); }));
    }, "True for the same path in the same direction; repeated points and vertices lying straight between "
       "their neighbours do not count.");
    define(polyline_cls, "get_reversed_polyline", {req("self")}, [](const Call& c) -> py::object {
        auto a = self_of<PolylineObj>(c).pts;
        return polyline(geometry::Points(a->rbegin(), a->rend()));
    }, "A new polyline through the same points in the opposite order.");
    define(polyline_cls, "split", {req("self"), req("point")}, [](const Call& c) -> py::object {
        const PolylineObj& s = self_of<PolylineObj>(c);
        auto a = s.pts;
        const bool ascending = s.x_ascending;
        const geometry::Point p = point_of(c, 1);
        const auto tol = tolerance();
        auto parts = unlocked(a->size(), [&] { return geometry::split(*a, p, tol, ascending); });
        return py::make_tuple(polyline(std::move(parts.first)), polyline(std::move(parts.second)));
    }, "The two parts before and after point (which must lie on the line); both hold point.");
    define(polyline_cls, "combine_with", {req("self"), req("other")}, [](const Call& c) -> py::object {
        auto a = self_of<PolylineObj>(c).pts, b = points_of(c, 1);
        const auto tol = tolerance();
        return polyline(unlocked(a->size() + b->size(), [&] { return geometry::combine(*a, *b, tol); }));
    }, "This line then other. An empty side gives the other; other lying on this line adds its vertices; "
       "other continuing from this line's end (possibly after running along it) is appended without "
       "doubling back; otherwise the two are joined straight.");
    define(polyline_cls, "find_overlaps", {req("self"), req("other")}, [](const Call& c) -> py::object {
        auto a = self_of<PolylineObj>(c).pts, b = points_of(c, 1);
        const auto tol = tolerance();
        auto stretches = unlocked(a->size() + b->size(), [&] { return geometry::find_overlaps(*a, *b, tol); });
        py::list out;
        for (auto& st : stretches) out.append(polyline(std::move(st)));
        return out;
    }, "The stretches of non-zero length both lines share, in the direction of this line, each holding the "
       "vertices of both lines on it; touching points are left out.");
    define(polyline_cls, "get_lowest_or_highest_profile_x",
           {req("polyline_1"), req("polyline_2"), opt("lowest", py::bool_(true))}, [](const Call& c) -> py::object {
               auto a = points_of(c, 0), b = points_of(c, 1);
               const bool lowest = truth_of(c, 2);
               const auto tol = tolerance();
               return polyline(unlocked(a->size() + b->size(), [&] { return geometry::envelope(*a, *b, lowest, tol); }));
           },
           "Over the x range both profiles share, the lower (lowest=True) or higher of the two at each x, with a "
           "vertex at every vertex of either profile and at every crossing.",
           Kind::static_);
    define(polyline_cls, "_from_coordinates", {req("coordinates")}, [](const Call& c) -> py::object {
        PyObject* data = c[0].ptr();
        if (!PyBytes_Check(data) || PyBytes_GET_SIZE(data) % (3 * sizeof(double)) != 0)
            throw py::type_error(c.argument(0) + " must be bytes of x, y, z doubles, not " + type_name(c[0]));
        const std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(data)) / (3 * sizeof(double));
        geometry::Points pts;
        pts.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            double xyz[3];
            std::memcpy(xyz, PyBytes_AS_STRING(data) + i * sizeof(xyz), sizeof(xyz));
            pts.push_back(geometry::make_point(xyz[0], xyz[1], xyz[2]));
        }
        return polyline(std::move(pts));
    }, "The polyline through the points whose x, y and z follow one another in coordinates, as doubles in the "
       "machine's own layout (array('d') of x0, y0, z0, x1, ...): Polyline([Point(x, y, z), ...]) without the "
       "Point objects.", Kind::static_);
    define(polyline_cls, "_concatenate", {req("polyline_1"), req("polyline_2")}, [](const Call& c) -> py::object {
        auto a = points_of(c, 0), b = points_of(c, 1);
        geometry::Points out(*a);
        out.insert(out.end(), b->begin(), b->end());
        return polyline(std::move(out));
    }, "The points of the first polyline followed by those of the second.", Kind::static_);
    define(polyline_cls, "__repr__", {req("self")}, [](const Call& c) -> py::object {
        auto pts = self_of<PolylineObj>(c).pts;
        std::string s = std::string(Py_TYPE(c[0].ptr())->tp_name);
        s = s.substr(s.rfind('.') + 1) + "([";
        for (std::size_t k = 0; k < pts->size(); ++k) {
            if (pts->size() > 8 && k == 3) {
                s += "... " + std::to_string(pts->size() - 6) + " more ..., ";
                k = pts->size() - 3;
            }
            s += point_repr((*pts)[k]) + (k + 1 < pts->size() ? ", " : "");
        }
        return py::str(s + "])");
    }, "Return repr(self).");
    define(polyline_cls, "__reduce__", {req("self")}, [](const Call& c) -> py::object {
        auto pts = self_of<PolylineObj>(c).pts;
        return reduce_with(c[0], encode(*pts));
    }, kReduceDoc);
    define(polyline_cls, "__setstate__", {req("self"), req("state")}, [](const Call& c) -> py::object {
        check_init_self(c);
        auto [value, attributes] = state_of(c);
        install(c[0], PolylineObj(decode(value, "Polyline")));
        restore_attributes(c[0], attributes);
        return py::none();
    }, kSetstateDoc);

    py::class_<PolygonObj, TransformableObject> polygon_cls(m, "Polygon", "A closed outline with a material.");
    give_own_layout(polygon_cls, 4);
    define(polygon_cls, "__init__", {req("self"), req("points"), opt("material", py::none())},
           [](const Call& c) -> py::object {
               check_init_self(c);
               PolygonObj out;
               geometry::Points pts = to_points(c[1], "Polygon");
               geometry::check_polygon(pts, tolerance());
               out.pts = std::make_shared<const geometry::Points>(std::move(pts));
               out.material = py::reinterpret_borrow<py::object>(c[2]);
               install(c[0], std::move(out));
               return py::none();
           }, "Initialise self.");
    define(polygon_cls, "_between_profiles", {req("top_profile"), req("bottom_profile")},
           [](const Call& c) -> py::object {
               const PolylineObj& t = value_of<PolylineObj>(c, 0, "Polyline");
               const PolylineObj& b = value_of<PolylineObj>(c, 1, "Polyline");
               auto top = t.pts, bottom = b.pts;
               const bool top_ascending = t.x_ascending, bottom_ascending = b.x_ascending;
               const auto tol = tolerance();
               if (top->empty() || bottom->empty()) throw py::index_error("An empty polyline has no start point");
               auto outlines = unlocked(top->size() + bottom->size(), [&] {
                   std::vector<geometry::Points> kept;
                   for (auto& outline : geometry::stretch_outlines(*top, *bottom, tol, top_ascending, bottom_ascending)) {
                       try {
                           geometry::check_polygon(outline, tol);
                       } catch (const std::invalid_argument&) {
                           continue;  // a stretch of no area has no polygon
                       }
                       kept.push_back(std::move(outline));
                   }
                   return kept;
               });
               py::list out;
               for (auto& outline : outlines) {
                   PolygonObj polygon;
                   polygon.pts = std::make_shared<const geometry::Points>(std::move(outline));
                   out.append(py::cast(std::move(polygon)));
               }
               return out;
           },
           "A Polygon per stretch between consecutive meeting points of the two profiles, left to right: the top "
           "profile's part, then the bottom profile's part back without repeating a point; stretches of no area "
           "give none.",
           Kind::static_);
    polygon_cls.def_property_readonly("points", [](const PolygonObj& s) { auto pts = s.pts; return to_list(*pts); })
        .def_property_readonly("centroid", [](const PolygonObj& s) { return PointObj(geometry::polygon_centroid(*s.pts)); })
        .def_readwrite("material", &PolygonObj::material);
    define(polygon_cls, "__repr__", {req("self")}, [](const Call& c) -> py::object {
        auto pts = self_of<PolygonObj>(c).pts;
        std::string out = "Polygon([";
        for (std::size_t k = 0; k < pts->size(); ++k) out += point_repr((*pts)[k]) + (k + 1 < pts->size() ? ", " : "");
        return py::str(out + "])");
    }, "Return repr(self).");
    define(polygon_cls, "__reduce__", {req("self")}, [](const Call& c) -> py::object {
        const PolygonObj& s = self_of<PolygonObj>(c);
        return reduce_with(c[0], py::make_tuple(encode(*s.pts), s.material));
    }, kReduceDoc);
    define(polygon_cls, "__setstate__", {req("self"), req("state")}, [](const Call& c) -> py::object {
        check_init_self(c);
        auto [value, attributes] = state_of(c);
        if (!PyTuple_Check(value.ptr()) || PyTuple_GET_SIZE(value.ptr()) != 2)
            throw py::type_error("Polygon state must hold (points, material), not " + type_name(value));
        PolygonObj out;
        geometry::Points pts = decode(PyTuple_GET_ITEM(value.ptr(), 0), "Polygon");
        geometry::check_polygon(pts, tolerance());
        out.pts = std::make_shared<const geometry::Points>(std::move(pts));
        out.material = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(value.ptr(), 1));
        install(c[0], std::move(out));
        restore_attributes(c[0], attributes);
        return py::none();
    }, kSetstateDoc);
}
