// The soil model: soils, layers and one-dimensional layouts, with merging of equal neighbours and
// removal of thin layers.
//
// Everything here works on Python objects and in Python's terms (comparisons, arithmetic, item and
// attribute access), so the errors raised are the language's own and any number type the
// application stores in levels or properties behaves as it would in plain Python. The layout
// operations edit the caller's list in place; on plain lists they build the result in one pass and
// store it with a single slice assignment, so that a classified CPT of many thousands of layers is
// not cleaned up by shifting the list once per removed layer.
#include "geo/geo.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <unordered_map>
#include <vector>

namespace geo {

using namespace pybind11::literals;

namespace {

py::object global(const char* name) { return host::global(name); }

py::object steal(PyObject* object) {
    if (object == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(object);
}

// The truth of `a <op> b` as an if-statement sees it: no identity shortcut, so a NaN is unequal to
// itself here just as in Python code.
bool compare(py::handle a, py::handle b, int op) {
    py::object result = steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    const int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

bool truth(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

bool is_instance(py::handle object, py::handle types) {
    const int result = PyObject_IsInstance(object.ptr(), types.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

// What an f-string shows for a value: format(value, "").
std::string shown(py::handle value) {
    return py::str(steal(PyObject_Format(value.ptr(), py::str("").ptr())));
}

py::object abs_difference(py::handle a, py::handle b) {
    py::object difference = steal(PyNumber_Subtract(a.ptr(), b.ptr()));
    return steal(PyNumber_Absolute(difference.ptr()));
}

Py_ssize_t length(py::handle sequence) {
    const Py_ssize_t n = PyObject_Size(sequence.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

py::object item(py::handle sequence, Py_ssize_t index) {
    return steal(PySequence_GetItem(sequence.ptr(), index));
}

py::object munchify_or_empty(py::handle properties) {
    return host::munchify(properties.is_none() ? py::object(py::dict()) : py::reinterpret_borrow<py::object>(properties));
}

// `function(*iterable)`, failing with the text the interpreter gives for a value that cannot be
// unpacked (so `Color(*5)` reads the same as in Python code).
py::object call_unpacked(py::handle function, py::handle iterable) {
    PyObject* value = iterable.ptr();
    if (!PyTuple_CheckExact(value) && Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
        py::object described = steal(_PyObject_FunctionStr(function.ptr()));
        PyErr_Format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s", described.ptr(),
                     Py_TYPE(value)->tp_name);
        throw py::error_already_set();
    }
    py::object arguments = steal(PySequence_Tuple(value));
    return steal(PyObject_Call(function.ptr(), arguments.ptr(), nullptr));
}

py::object super_of(py::handle cls, py::handle self) { return pyclass::builtin("super")(cls, self); }

// ---------------------------------------------------------------------------------------------
// Fast paths
//
// Inside the layout operations the classes' own members are reached many times per layer. While
// an attribute still resolves to the member this file bound, its C++ body is run directly instead
// of through the attribute lookup and the call machinery; anything else (a subclass overriding it,
// a replaced class attribute, an instance attribute shadowing a method, a replaced module name)
// takes the general path, which does exactly what Python code would.

// The members as bound, kept for identity tests for the life of the process.
struct Members {
    PyTypeObject* soil = nullptr;
    PyTypeObject* soil_layer = nullptr;
    PyObject* soil_eq = nullptr;          // Soil.__dict__["__eq__"]
    PyObject* soil_color = nullptr;       // the property Soil.color
    PyObject* soil_serialize = nullptr;   // the function behind Soil.serialize
    PyObject* soil_init = nullptr;        // Soil.__dict__["__init__"]
    PyObject* soil_from_dict = nullptr;   // Soil.__dict__["from_dict"] (the classmethod)
    PyObject* layer_thickness = nullptr;  // the property SoilLayer.thickness
    PyObject* layer_serialize = nullptr;
    PyObject* layer_init = nullptr;
    PyObject* layer_from_dict = nullptr;
    PyTypeObject* layout = nullptr;
    PyObject* layout_init = nullptr;
    PyObject* layout_unique_soils = nullptr;  // SoilLayout.__dict__["filter_unique_soils"]
};

Members& members() {
    static Members kept;
    return kept;
}

PyObject* class_entry(py::handle cls, const char* name) {
    return py::object(cls.attr("__dict__")[name]).release().ptr();
}

// The function a method entry of a class dict wraps (pybind11 binds methods as instancemethod).
PyObject* function_of(PyObject* entry) {
    return PyInstanceMethod_Check(entry) ? PyInstanceMethod_GET_FUNCTION(entry) : entry;
}

// `object.name` is the property `original` (a data descriptor: no instance attribute can hide it).
bool property_is(PyObject* object, py::handle name, PyObject* original) {
    PyTypeObject* type = Py_TYPE(object);
    return type->tp_getattro == PyObject_GenericGetAttr && _PyType_Lookup(type, name.ptr()) == original;
}

// `object.name` is the method `original` bound to `object`; `bound` receives the attribute, so the
// general path calls what it got instead of looking it up twice.
bool method_is(PyObject* object, py::handle name, PyObject* original, py::object& bound) {
    bound = steal(PyObject_GetAttr(object, name.ptr()));
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == function_of(original) &&
           PyMethod_GET_SELF(bound.ptr()) == object;
}

// `cls(...)` would create a plain instance and run the initialiser `original_init` on it.
bool constructs_with(py::handle cls, PyTypeObject* original_class, PyObject* original_init) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    return type == original_class && Py_IS_TYPE(cls.ptr(), &PyType_Type) &&
           type->tp_new == PyBaseObject_Type.tp_new &&
           _PyType_Lookup(type, HOST_NAME("__init__").ptr()) == original_init;
}

py::object bare_instance(py::handle cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    py::object no_arguments = steal(PyTuple_New(0));
    return steal(type->tp_new(type, no_arguments.ptr(), nullptr));
}

// `cls.name` on a class is the classmethod `original`.
bool class_method_is(py::handle cls, PyTypeObject* original_class, py::handle name, PyObject* original) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    return type == original_class && Py_IS_TYPE(cls.ptr(), &PyType_Type) &&
           _PyType_Lookup(type, name.ptr()) == original;
}

py::object get(py::handle object, py::handle name) { return steal(PyObject_GetAttr(object.ptr(), name.ptr())); }

void set(py::handle object, py::handle name, py::handle value) {
    if (PyObject_SetAttr(object.ptr(), name.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// SoilLayer.thickness: abs(top_of_layer - bottom_of_layer).
py::object thickness_body(py::handle layer) {
    py::object top = get(layer, HOST_NAME("top_of_layer"));
    py::object bottom = get(layer, HOST_NAME("bottom_of_layer"));
    return abs_difference(top, bottom);
}

// `layer.thickness`.
py::object thickness(py::handle layer) {
    if (property_is(layer.ptr(), HOST_NAME("thickness"), members().layer_thickness)) return thickness_body(layer);
    return get(layer, HOST_NAME("thickness"));
}

// `a == b` for two soils, as an if-statement sees it. Soil.__eq__ compares the names.
bool soils_equal(py::handle a, py::handle b) {
    PyTypeObject* type = Py_TYPE(a.ptr());
    if (Py_IS_TYPE(b.ptr(), type) && type->tp_getattro == PyObject_GenericGetAttr &&
        _PyType_Lookup(type, HOST_NAME("__eq__").ptr()) == members().soil_eq) {
        py::object own = get(a, HOST_NAME("name"));
        py::object others = get(b, HOST_NAME("name"));
        return compare(own, others, Py_EQ);
    }
    return compare(a, b, Py_EQ);
}

// ---------------------------------------------------------------------------------------------
// Merging adjacent layers of one soil

// ---------------------------------------------------------------------------------------------
// Member bodies, shared by the bindings and the fast paths

void soil_init(py::handle self, py::handle name, py::handle color, py::handle properties) {
    py::object converted = munchify_or_empty(properties);
    set(self, HOST_NAME("name"), name);  // assigned only after everything that can fail
    set(self, HOST_NAME("_color"), color);
    set(self, HOST_NAME("properties"), converted);
}

void layer_init(py::handle self, py::handle soil, py::handle top, py::handle bottom, py::handle properties) {
    py::object converted = munchify_or_empty(properties);
    set(self, HOST_NAME("soil"), soil);
    set(self, HOST_NAME("top_of_layer"), top);
    set(self, HOST_NAME("bottom_of_layer"), bottom);
    set(self, HOST_NAME("properties"), converted);
}

// `cls(soil, top, bottom, properties)`.
py::object make_layer(py::handle cls, py::handle soil, py::handle top, py::handle bottom, py::handle properties) {
    if (constructs_with(cls, members().soil_layer, members().layer_init)) {
        py::object layer = bare_instance(cls);
        layer_init(layer, soil, top, bottom, properties);
        return layer;
    }
    return py::reinterpret_borrow<py::object>(cls)(soil, top, bottom, properties);
}

// `cls(name, color, properties)`.
py::object make_soil(py::handle cls, py::handle name, py::handle color, py::handle properties) {
    if (constructs_with(cls, members().soil, members().soil_init)) {
        py::object soil = bare_instance(cls);
        soil_init(soil, name, color, properties);
        return soil;
    }
    return py::reinterpret_borrow<py::object>(cls)(name, color, properties);
}

// `soil.color`.
py::object soil_color(py::handle soil) {
    if (property_is(soil.ptr(), HOST_NAME("color"), members().soil_color)) return get(soil, HOST_NAME("_color"));
    return get(soil, HOST_NAME("color"));
}

py::dict soil_serialize(py::handle self) {
    py::dict d;
    d[HOST_NAME("name")] = get(self, HOST_NAME("name"));
    d[HOST_NAME("color")] = get(soil_color(self), HOST_NAME("rgb"));
    d[HOST_NAME("properties")] = host::unmunchify(get(self, HOST_NAME("properties")));
    return d;
}

// `value.serialize()`: the C++ body `own` while the value's serialize is still the class's
// `original` method, else whatever the name is bound to.
py::object call_serialize(py::handle value, PyObject* original, py::dict (*own)(py::handle)) {
    py::object bound;
    if (method_is(value.ptr(), HOST_NAME("serialize"), original, bound)) return own(value);
    return bound();
}

// `soil.serialize()`.
py::object serialize_soil(py::handle soil) { return call_serialize(soil, members().soil_serialize, soil_serialize); }

py::dict layer_serialize(py::handle self) {
    py::dict d;
    d[HOST_NAME("soil")] = serialize_soil(get(self, HOST_NAME("soil")));
    d[HOST_NAME("top_of_layer")] = get(self, HOST_NAME("top_of_layer"));
    d[HOST_NAME("bottom_of_layer")] = get(self, HOST_NAME("bottom_of_layer"));
    d[HOST_NAME("properties")] = host::unmunchify(get(self, HOST_NAME("properties")));
    return d;
}

// `layer.serialize()`.
py::object serialize_layer(py::handle layer) {
    return call_serialize(layer, members().layer_serialize, layer_serialize);
}

// `d.get(key, None)`.
py::object get_or_none(py::handle d, py::handle key) {
    if (PyDict_CheckExact(d.ptr())) {
        PyObject* value = PyDict_GetItemWithError(d.ptr(), key.ptr());
        if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(value ? value : Py_None);
    }
    return d.attr(HOST_NAME("get"))(key, py::none());
}

py::object soil_from_dict(py::handle cls, py::handle d) {
    py::object name = d[HOST_NAME("name")];
    py::object color = call_unpacked(global("Color"), d[HOST_NAME("color")]);
    py::object properties = get_or_none(d, HOST_NAME("properties"));
    return make_soil(cls, name, color, properties);
}

// `cls.from_dict(d)` for a soil class.
py::object soil_class_from_dict(py::handle cls, py::handle d) {
    if (class_method_is(cls, members().soil, HOST_NAME("from_dict"), members().soil_from_dict)) return soil_from_dict(cls, d);
    return cls.attr(HOST_NAME("from_dict"))(d);
}

py::object layer_from_dict(py::handle cls, py::handle d) {
    py::object soil = soil_class_from_dict(global("Soil"), d[HOST_NAME("soil")]);
    py::object top = d[HOST_NAME("top_of_layer")];
    py::object bottom = d[HOST_NAME("bottom_of_layer")];
    py::object properties = d[HOST_NAME("properties")];
    return make_layer(cls, soil, top, bottom, properties);
}

// `cls.from_dict(d)` for a layer class.
py::object layer_class_from_dict(py::handle cls, py::handle d) {
    if (class_method_is(cls, members().soil_layer, HOST_NAME("from_dict"), members().layer_from_dict))
        return layer_from_dict(cls, d);
    return cls.attr(HOST_NAME("from_dict"))(d);
}

// SoilLayout.filter_unique_soils over a sequence of layers: `soil not in unique` compares by
// identity first, then with ==, as list membership does.
py::list unique_soils_of(py::handle layers) {
    py::list unique;
    std::vector<py::object> kept;
    for (py::handle layer : layers) {
        py::object soil = get(layer, HOST_NAME("soil"));
        bool present = false;
        for (const py::object& known : kept) {
            if (known.ptr() == soil.ptr() || soils_equal(known, soil)) {
                present = true;
                break;
            }
        }
        if (present) continue;
        kept.push_back(soil);
        unique.append(soil);
    }
    return unique;
}

// `SoilLayout(block).filter_unique_soils()`.
py::object unique_soils_of_block(py::handle block) {
    py::object SoilLayout = global("SoilLayout");
    if (constructs_with(SoilLayout, members().layout, members().layout_init) &&
        _PyType_Lookup(members().layout, HOST_NAME("filter_unique_soils").ptr()) == members().layout_unique_soils)
        return unique_soils_of(block);
    return SoilLayout(block).attr(HOST_NAME("filter_unique_soils"))();
}

bool same_soil(py::handle upper, py::handle lower) {
    py::object upper_soil = get(upper, HOST_NAME("soil"));
    py::object lower_soil = get(lower, HOST_NAME("soil"));
    return soils_equal(upper_soil, lower_soil);
}

// A dict or a Munch whose key handling is dict's own.
bool is_plain_mapping(py::handle value) {
    return PyDict_CheckExact(value.ptr()) ||
           (Py_TYPE(value.ptr()) == host::munch_fast::originals().munch_type && host::munch_fast::munch_class_unchanged());
}

// `a.keys() != b.keys()`, decided without Python code when both are plain mappings with plain keys;
// nullopt otherwise.
std::optional<bool> plain_keys_differ(py::handle a, py::handle b) {
    if (!is_plain_mapping(a) || !is_plain_mapping(b)) return std::nullopt;
    if (PyDict_GET_SIZE(a.ptr()) != PyDict_GET_SIZE(b.ptr())) return true;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(a.ptr(), &position, &key, &value)) {
        if (!host::munch_fast::is_plain_value(key)) return std::nullopt;
        const int present = PyDict_Contains(b.ptr(), key);
        if (present < 0) throw py::error_already_set();
        if (!present) return true;
    }
    return false;
}

// A number that Python's float arithmetic takes exactly as this double: an exact float, or an exact
// int small enough to convert without rounding.
std::optional<double> exact_double(py::handle value) {
    PyObject* v = value.ptr();
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0 && !(n == -1 && PyErr_Occurred()) && n > -(1LL << 53) && n < (1LL << 53))
            return static_cast<double>(n);
        PyErr_Clear();
    }
    return std::nullopt;
}

// (t1 * v1 + t2 * v2) / (t1 + t2) in doubles, when Python would compute it in floats step by step
// with the same values: both thicknesses floats, both values exact, a denominator not zero.
std::optional<double> weighted_mean(py::handle t1, py::handle v1, py::handle t2, py::handle v2) {
    if (!PyFloat_CheckExact(t1.ptr()) || !PyFloat_CheckExact(t2.ptr())) return std::nullopt;
    const auto a = exact_double(v1), b = exact_double(v2);
    if (!a || !b) return std::nullopt;
    const double x = PyFloat_AS_DOUBLE(t1.ptr()), y = PyFloat_AS_DOUBLE(t2.ptr());
    const double denominator = x + y;
    if (denominator == 0.0) return std::nullopt;  // Python's ZeroDivisionError, from the general path
    const double weighted_1 = x * *a;
    const double weighted_2 = y * *b;
    return (weighted_1 + weighted_2) / denominator;
}

// Joins `lower` into `upper` (both layers of one soil): properties first, then the level. Property
// values are written one by one, so an error leaves the ones already averaged in place.
void merge_pair(py::handle upper, py::handle lower) {
    py::object upper_properties = upper.attr(HOST_NAME("properties"));
    if (!upper_properties.is_none()) {
        py::object lower_properties = lower.attr(HOST_NAME("properties"));
        const std::optional<bool> differ = plain_keys_differ(upper_properties, lower_properties);
        py::object upper_keys, lower_keys;  // a plain mapping's keys() is its key list, in order
        if (differ) {
            upper_keys = steal(PyDict_Keys(upper_properties.ptr()));
            lower_keys = steal(PyDict_Keys(lower_properties.ptr()));
        } else {
            upper_keys = upper_properties.attr(HOST_NAME("keys"))();
            lower_keys = lower_properties.attr(HOST_NAME("keys"))();
        }
        if (differ ? *differ : compare(upper_keys, lower_keys, Py_NE)) {
            std::string text = "Cannot merge layers: layers do not share all properties. First layer properties: \n" +
                               std::string(py::str(py::list(upper_keys)));
            text += ", \n second layer properties: \n" + std::string(py::str(py::list(lower_keys)));
            throw py::attribute_error(text);
        }
        // Item access rather than attribute access: a property called "items" or "values", or a
        // key that is not a string, would otherwise reach a dictionary method or fail.
        py::object bool_or_str, int_or_float;  // made when a value is not of an exact builtin type
        auto is_bool_or_str = [&](py::handle value) {
            if (PyBool_Check(value.ptr()) || PyUnicode_CheckExact(value.ptr())) return true;
            if (PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr())) return false;
            if (!bool_or_str) bool_or_str = py::make_tuple(pyclass::builtin("bool"), pyclass::builtin("str"));
            return is_instance(value, bool_or_str);
        };
        auto is_int_or_float = [&](py::handle value) {
            if (PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr())) return true;
            if (!int_or_float) int_or_float = py::make_tuple(pyclass::builtin("int"), pyclass::builtin("float"));
            return is_instance(value, int_or_float);
        };
        py::object upper_thickness, lower_thickness;  // read on the first numeric value only
        for (py::handle name : py::list(upper_keys)) {
            py::object value_1 = upper_properties[name];
            py::object value_2 = lower_properties[name];
            py::object merged;
            if (is_bool_or_str(value_1)) {
                if (compare(value_1, value_2, Py_NE)) {
                    std::string text = "Cannot merge layers: values for property '" + std::string(py::str(name));
                    text += "' do not match ('" + std::string(py::str(value_1));
                    text += "' != '" + std::string(py::str(value_2)) + "').";
                    throw py::value_error(text);
                }
                merged = value_1;
            } else if (is_int_or_float(value_1)) {
                if (!upper_thickness) {
                    upper_thickness = thickness(upper);
                    lower_thickness = thickness(lower);
                }
                if (auto mean = weighted_mean(upper_thickness, value_1, lower_thickness, value_2)) {
                    merged = steal(PyFloat_FromDouble(*mean));
                } else {
                    // Operands one by one, left to right, as Python evaluates the expression.
                    py::object weighted_1 = upper_thickness * value_1;
                    py::object weighted_2 = lower_thickness * value_2;
                    py::object weighted_sum = weighted_1 + weighted_2;
                    merged = weighted_sum / (upper_thickness + lower_thickness);
                }
            } else {
                pyclass::raise(PyExc_NotImplementedError,
                               "Cannot merge layers: values of property '" + std::string(py::str(name)) +
                                   "' are of type '" + std::string(py::str(py::type::handle_of(value_1))) +
                                   "', which is not supported.");
            }
            upper_properties[name] = merged;
        }
    }
    upper.attr(HOST_NAME("bottom_of_layer")) = lower.attr(HOST_NAME("bottom_of_layer"));
}

// The documented algorithm step by step, for layer containers other than a plain list (their own
// deletion is used, whatever it does).
void merge_in_sequence(py::handle layers) {
    Py_ssize_t i = 0;
    while (i < length(layers) - 1) {
        py::object upper = item(layers, i);
        py::object lower = item(layers, i + 1);
        if (!same_soil(upper, lower)) {
            ++i;
            continue;
        }
        merge_pair(upper, lower);
        if (PySequence_DelItem(layers.ptr(), i + 1) < 0) throw py::error_already_set();
    }
}

// The same on a plain list, without deleting layers one at a time: the layers kept are collected
// and stored once. After an error the list holds what the step-by-step algorithm would have left:
// the merges done so far, the layer being grown, and the untouched rest.
void merge_in_one_pass(py::list layers) {
    std::vector<py::object> before;
    for (py::handle layer : layers) before.emplace_back(py::reinterpret_borrow<py::object>(layer));
    if (before.size() < 2) return;
    py::list kept;
    py::object upper = before[0];
    bool merged_any = false;
    std::size_t j = 1;
    try {
        for (; j < before.size(); ++j) {
            const py::object& lower = before[j];
            if (!same_soil(upper, lower)) {
                kept.append(upper);
                upper = lower;
                continue;
            }
            merged_any = true;
            merge_pair(upper, lower);
        }
    } catch (...) {  // Python errors and the merge errors raised from C++ alike
        if (merged_any) {
            kept.append(upper);
            for (std::size_t k = j; k < before.size(); ++k) kept.append(before[k]);
            layers[py::slice(py::none(), py::none(), py::none())] = kept;
        }
        throw;
    }
    if (!merged_any) return;
    kept.append(upper);
    layers[py::slice(py::none(), py::none(), py::none())] = kept;
}

void merge_adjacent_same_soil_layers(py::object self) {
    py::object layers = self.attr(HOST_NAME("layers"));
    if (PyList_CheckExact(layers.ptr()))
        merge_in_one_pass(py::reinterpret_borrow<py::list>(layers));
    else
        merge_in_sequence(layers);
}

// ---------------------------------------------------------------------------------------------
// Thin-layer filtering

py::object span(py::handle block) {
    py::object top = item(block, 0).attr(HOST_NAME("top_of_layer"));
    py::object bottom = item(block, length(block) - 1).attr(HOST_NAME("bottom_of_layer"));
    return abs_difference(top, bottom);
}

// The replacement for one group of thin layers found at [start_index, end_index) of `layers`.
py::dict replacement_for_block(py::handle block, py::handle layers, py::handle min_layer_thickness,
                               py::handle replacements_so_far, Py_ssize_t start_index, Py_ssize_t end_index) {
    py::object SoilLayer = global("SoilLayer");
    py::object first = item(block, 0);
    py::object last = item(block, length(block) - 1);
    py::object new_layer;

    // A group that is the whole layout has no neighbour to grow over it; it becomes one layer of its
    // dominant soil, as a thick enough group does, instead of failing on the missing neighbour.
    const bool whole_layout = start_index == 0 && end_index >= length(layers);
    if (whole_layout || compare(span(block), min_layer_thickness, Py_GE)) {
        py::object unique_soils = unique_soils_of_block(block);
        py::dict cumulative;
        for (py::handle soil : unique_soils) cumulative[soil.attr(HOST_NAME("name"))] = py::float_(0.0);
        for (py::handle layer : block) {
            py::object name = layer.attr(HOST_NAME("soil")).attr(HOST_NAME("name"));
            py::object sum = py::object(cumulative[name]) + thickness(layer);
            cumulative[name] = sum;
        }
        // The largest cumulative thickness; on a tie the soil met first from the top.
        py::object dominant_name, largest;
        for (auto entry : cumulative) {
            if (!largest || compare(entry.second, largest, Py_GT)) {
                dominant_name = py::reinterpret_borrow<py::object>(entry.first);
                largest = py::reinterpret_borrow<py::object>(entry.second);
            }
        }
        py::object dominant_soil;
        for (py::handle soil : unique_soils) {
            if (compare(soil.attr(HOST_NAME("name")), dominant_name, Py_EQ)) {
                dominant_soil = py::reinterpret_borrow<py::object>(soil);
                break;
            }
        }
        if (!dominant_soil) {
            PyErr_SetNone(PyExc_ValueError);
            throw py::error_already_set();
        }
        // Properties of the thickest layer of the dominant soil; the upper one on equal thickness.
        py::object properties = py::none(), thickest;
        for (py::handle layer : block) {
            if (!soils_equal(get(layer, HOST_NAME("soil")), dominant_soil)) continue;
            py::object layer_thickness = thickness(layer);
            if (!thickest || compare(layer_thickness, thickest, Py_GT)) {
                thickest = layer_thickness;
                properties = layer.attr(HOST_NAME("properties"));
            }
        }
        new_layer = make_layer(SoilLayer, dominant_soil, first.attr(HOST_NAME("top_of_layer")), last.attr(HOST_NAME("bottom_of_layer")), properties);
    } else if (start_index == 0) {
        // At the top: the layer below grows upwards over the group.
        py::object below = item(layers, end_index);
        new_layer = make_layer(SoilLayer, below.attr(HOST_NAME("soil")), first.attr(HOST_NAME("top_of_layer")), below.attr(HOST_NAME("bottom_of_layer")),
                              below.attr(HOST_NAME("properties")));
        end_index += 1;
    } else {
        py::object previous;
        const Py_ssize_t replaced = length(replacements_so_far);
        if (replaced > 0) {
            previous = item(replacements_so_far, replaced - 1);
            if (!compare(py::int_(start_index), previous["end_index"], Py_EQ)) previous = py::object();
        }
        if (previous) {
            // The layer above is itself being replaced: that replacement grows down over the group
            // and takes the place of the earlier entry.
            py::object grown = previous["new_layer"];
            new_layer = make_layer(SoilLayer, grown.attr(HOST_NAME("soil")), grown.attr(HOST_NAME("top_of_layer")), last.attr(HOST_NAME("bottom_of_layer")),
                                  grown.attr(HOST_NAME("properties")));
            start_index = py::cast<Py_ssize_t>(previous["start_index"]);
            if (PySequence_DelItem(replacements_so_far.ptr(), replaced - 1) < 0) throw py::error_already_set();
        } else {
            py::object above = item(layers, start_index - 1);
            new_layer = make_layer(SoilLayer, above.attr(HOST_NAME("soil")), above.attr(HOST_NAME("top_of_layer")), last.attr(HOST_NAME("bottom_of_layer")),
                                  above.attr(HOST_NAME("properties")));
            start_index = std::max<Py_ssize_t>(start_index - 1, 0);
        }
    }
    py::dict replacement;
    replacement["start_index"] = start_index;
    replacement["end_index"] = end_index;
    replacement["new_layer"] = new_layer;
    return replacement;
}

py::object get_replacement_dict_from_soil_layer_block(py::object block, py::object layers,
                                                      py::object min_layer_thickness,
                                                      py::object replacements_so_far) {
    const Py_ssize_t start_index = py::cast<Py_ssize_t>(layers.attr(HOST_NAME("index"))(item(block, 0)));
    const Py_ssize_t end_index =
        py::cast<Py_ssize_t>(layers.attr(HOST_NAME("index"))(item(block, length(block) - 1))) + 1;
    return replacement_for_block(block, layers, min_layer_thickness, replacements_so_far, start_index, end_index);
}

// The module function as first bound; while the module still holds it, filtering may call the C++
// body directly with the positions it already knows instead of searching the list for each group.
PyObject* original_block_function = nullptr;

// Positions of the first occurrence of each layer object, which is what `list.index` finds as long
// as no layer type defines its own equality. Empty when one does (then `list.index` is used).
std::unordered_map<PyObject*, Py_ssize_t> first_positions(const std::vector<py::object>& layers) {
    std::unordered_map<PyObject*, Py_ssize_t> positions;
    for (const py::object& layer : layers) {
        if (Py_TYPE(layer.ptr())->tp_richcompare != PyBaseObject_Type.tp_richcompare) return {};
    }
    positions.reserve(layers.size());
    for (std::size_t i = 0; i < layers.size(); ++i) positions.emplace(layers[i].ptr(), static_cast<Py_ssize_t>(i));
    return positions;
}

struct Replacement {
    Py_ssize_t start, end;
    py::object new_layer;
};

// A dictionary's value under `key` with a reference of its own; null when the key is absent.
py::object held_value(const py::object& dict, const py::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!value && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(value);
}

// Applies the replacements, given for the list as it was, in one pass when they are ordered
// integer ranges that do not overlap; that is what applying them from the last to the first gives.
bool apply_in_one_pass(py::list layers, py::list replacements) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(layers.size());
    std::vector<Replacement> ranges;
    Py_ssize_t reached = 0;
    // By index, not through the list's item array: reading a dictionary may run Python code.
    for (std::size_t k = 0; k < replacements.size(); ++k) {
        py::object entry = replacements[k];
        if (!PyDict_CheckExact(entry.ptr())) return false;
        // Each value is held as soon as it is found: a later lookup can run a colliding key's
        // __eq__, which may take the earlier value out of the dictionary.
        const py::object start = held_value(entry, HOST_NAME("start_index"));
        const py::object end = held_value(entry, HOST_NAME("end_index"));
        const py::object new_layer = held_value(entry, HOST_NAME("new_layer"));
        if (!start || !end || !new_layer || !PyLong_CheckExact(start.ptr()) || !PyLong_CheckExact(end.ptr())) return false;
        const Py_ssize_t s = PyLong_AsSsize_t(start.ptr()), e = PyLong_AsSsize_t(end.ptr());
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (s < reached || e < s || e > n) return false;
        ranges.push_back({s, e, new_layer});
        reached = e;
    }
    py::list result;
    Py_ssize_t position = 0;
    for (const Replacement& range : ranges) {
        for (; position < range.start; ++position) result.append(layers[static_cast<std::size_t>(position)]);
        result.append(range.new_layer);
        position = range.end;
    }
    for (; position < n; ++position) result.append(layers[static_cast<std::size_t>(position)]);
    layers[py::slice(py::none(), py::none(), py::none())] = result;
    return true;
}

void apply_from_last(py::object layers, py::list replacements) {
    for (Py_ssize_t k = static_cast<Py_ssize_t>(replacements.size()) - 1; k >= 0; --k) {
        py::object replacement = replacements[k];
        py::object start = replacement["start_index"];
        py::object end = replacement["end_index"];
        py::object range = steal(PySlice_New(start.ptr(), end.ptr(), nullptr));
        if (PyObject_DelItem(layers.ptr(), range.ptr()) < 0) throw py::error_already_set();
        layers.attr(HOST_NAME("insert"))(replacement["start_index"], replacement["new_layer"]);
    }
}

py::object filter_layers_on_thickness(py::object self, py::object min_layer_thickness,
                                      py::object merge_adjacent_same_soil_layers) {
    if (min_layer_thickness.is_none())
        throw py::type_error("'min_layer_thickness' must be a real number, not NoneType");
    py::object layers = self.attr(HOST_NAME("layers"));
    const bool plain_list = PyList_CheckExact(layers.ptr());

    // Steps that only compute: the layout is not touched until every replacement is known.
    std::vector<py::object> walked;
    for (py::handle layer : layers) walked.emplace_back(py::reinterpret_borrow<py::object>(layer));
    const auto positions = plain_list ? first_positions(walked) : std::unordered_map<PyObject*, Py_ssize_t>{};

    py::list replacements;
    py::list group;
    auto close_group = [&] {
        py::object function = global("_get_replacement_dict_from_soil_layer_block");
        if (function.ptr() == original_block_function && !positions.empty()) {
            const Py_ssize_t start = positions.at(group[0].ptr());
            const Py_ssize_t end = positions.at(group[py::len(group) - 1].ptr()) + 1;
            replacements.append(replacement_for_block(group, layers, min_layer_thickness, replacements, start, end));
        } else {
            replacements.append(function(group, layers, min_layer_thickness, replacements));
        }
        group = py::list();
    };
    for (const py::object& layer : walked) {
        if (py::len(group) > 0 && compare(span(group), min_layer_thickness, Py_GE)) close_group();
        if (compare(thickness(layer), min_layer_thickness, Py_LT))
            group.append(layer);
        else if (py::len(group) > 0)
            close_group();
    }
    if (py::len(group) > 0) close_group();

    if (replacements.size() > 0) {
        if (!plain_list || !apply_in_one_pass(py::reinterpret_borrow<py::list>(layers), replacements))
            apply_from_last(layers, replacements);
    }
    // Only the value True itself asks for merging, not any true value.
    if (merge_adjacent_same_soil_layers.ptr() == Py_True) self.attr(HOST_NAME("_merge_adjacent_same_soil_layers"))();
    return self;
}

// ---------------------------------------------------------------------------------------------
// Level repair

void update_bottom_depth(py::object self) {
    py::object layers = self.attr(HOST_NAME("layers"));
    py::object python_isclose = global("math").attr(HOST_NAME("isclose"));
    py::object rel_tol = global("ISCLOSE_RTOL");
    py::object abs_tol = global("ISCLOSE_ATOL");
    const bool fast = python_isclose.ptr() == host::detail::standard_isclose && PyFloat_CheckExact(rel_tol.ptr()) &&
                      PyFloat_CheckExact(abs_tol.ptr()) && PyFloat_AS_DOUBLE(rel_tol.ptr()) >= 0.0 &&
                      PyFloat_AS_DOUBLE(abs_tol.ptr()) >= 0.0;
    const Py_ssize_t pairs = length(layers) - 1;
    for (Py_ssize_t i = 0; i < pairs; ++i) {
        py::object upper = item(layers, i);
        py::object lower = item(layers, i + 1);
        py::object bottom = upper.attr(HOST_NAME("bottom_of_layer"));
        py::object top = lower.attr(HOST_NAME("top_of_layer"));
        bool close;
        if (fast && PyFloat_CheckExact(bottom.ptr()) && PyFloat_CheckExact(top.ptr()))
            close = host::isclose_doubles(PyFloat_AS_DOUBLE(bottom.ptr()), PyFloat_AS_DOUBLE(top.ptr()),
                            PyFloat_AS_DOUBLE(rel_tol.ptr()), PyFloat_AS_DOUBLE(abs_tol.ptr()));
        else
            close = truth(python_isclose(bottom, top, "rel_tol"_a = rel_tol, "abs_tol"_a = abs_tol));
        if (!close) upper.attr(HOST_NAME("bottom_of_layer")) = top;
    }
}

// ---------------------------------------------------------------------------------------------
// Classes

void fill_soil(py::module_& m) {
    py::object Soil = m.attr(HOST_NAME("Soil"));
    pyclass::set_doc(Soil, "A soil material: a name, a display colour and a dictionary of extra properties.\n\n"
                           "Two soils are equal when their names are equal; soils are not hashable.");
    pyclass::init(Soil, [](py::object self, py::object name, py::object color, py::object properties) {
        soil_init(self, name, color, properties);
    }, "name"_a, "color"_a, "properties"_a = py::none(),
        "Set name and colour of the soil material. Extra properties can be added with a dictionary; its keys\n"
        "become attributes through munchify and can be read as ``self.properties.{extra_property_name}``.\n\n"
        ":param name: name of the soil\n"
        ":param color: display colour of the soil (Color)\n"
        ":param properties: optional dictionary of extra soil properties");
    pyclass::readonly_property(Soil, "color", [](py::object self) { return self.attr(HOST_NAME("_color")); },
                               "The display colour of the soil (read-only).");
    pyclass::method(Soil, "__eq__", [](py::object self, py::object other) {
        py::object own = self.attr(HOST_NAME("name"));
        py::object others = other.attr(HOST_NAME("name"));
        return steal(PyObject_RichCompare(own.ptr(), others.ptr(), Py_EQ));
    }, "other"_a, "Soils are equal when their names are equal; colour and properties are not compared.");
    Soil.attr(HOST_NAME("__hash__")) = py::none();  // equality by name without a hash, as a class body defining __eq__ gets
    pyclass::method(Soil, "__repr__", [](py::object self) {
        std::string text = "Soil(name=" + shown(self.attr(HOST_NAME("name")));
        text += ", color=" + shown(self.attr(HOST_NAME("color")));
        text += ", properties=" + shown(host::unmunchify(self.attr(HOST_NAME("properties")))) + ")";
        return text;
    }, "Soil(name=..., color=..., properties=...), the properties shown as a plain dictionary.");
    pyclass::method(Soil, "update_properties", [](py::object self, py::object properties) {
        self.attr(HOST_NAME("properties")) = host::munchify(properties);
    }, "properties"_a,
        "Replace the extra properties of the soil with the given dictionary (earlier entries are dropped).\n\n"
        "Kept for backwards compatibility; to change single entries, change ``self.properties`` directly.\n\n"
        ":param properties: dictionary of soil properties");
    pyclass::method(Soil, "serialize", [](py::object self) { return soil_serialize(self); }, "Return the soil as a dictionary with the keys \"name\", \"color\" (RGB triple) and \"properties\".");
    pyclass::classmethod(Soil, "from_dict", [](py::object cls, py::object d) { return soil_from_dict(cls, d); }, "cls"_a, "d"_a,
        "Create a soil from a dictionary made by ``Soil.serialize()``: \"name\", \"color\" (the RGB triple)\n"
        "and, optionally, \"properties\".\n\n"
        ":param d: dictionary (or Munch) of the soil");

    Members& kept = members();
    kept.soil = reinterpret_cast<PyTypeObject*>(Soil.ptr());
    kept.soil_eq = class_entry(Soil, "__eq__");
    kept.soil_color = class_entry(Soil, "color");
    kept.soil_serialize = class_entry(Soil, "serialize");
    kept.soil_init = class_entry(Soil, "__init__");
    kept.soil_from_dict = class_entry(Soil, "from_dict");

    py::object UndefinedSoil = m.attr(HOST_NAME("UndefinedSoil"));
    pyclass::set_doc(UndefinedSoil, "A soil for layers whose soil is not determined: named \"Undefined soil layer\", "
                                    "coloured black, without properties.");
    pyclass::init(UndefinedSoil, [UndefinedSoil](py::object self) {
        super_of(UndefinedSoil, self).attr(HOST_NAME("__init__"))("Undefined soil layer", global("Color")(0, 0, 0));
    }, "Create the undefined soil: name \"Undefined soil layer\", colour black, no properties.");
}

void fill_soil_layer(py::module_& m) {
    py::object SoilLayer = m.attr(HOST_NAME("SoilLayer"));
    pyclass::set_doc(SoilLayer, "One horizontal layer of a one-dimensional soil profile: a soil, the levels of its "
                                "top and bottom, and layer properties.");
    pyclass::init(SoilLayer, [](py::object self, py::object soil, py::object top_of_layer,
                                py::object bottom_of_layer, py::object properties) {
        layer_init(self, soil, top_of_layer, bottom_of_layer, properties);
    }, "soil"_a, "top_of_layer"_a, "bottom_of_layer"_a, "properties"_a = py::none(),
        "Create a SoilLayer to be used in a SoilLayout.\n\n"
        ":param soil: the type of soil (Soil)\n"
        ":param top_of_layer: level of the top of the layer\n"
        ":param bottom_of_layer: level of the bottom of the layer\n"
        ":param properties: optional dictionary of extra parameters of the layer");
    pyclass::readonly_property(SoilLayer, "thickness", [](py::object self) { return thickness_body(self); }, "Thickness of the layer: the absolute difference of its top and bottom levels (read-only).");
    pyclass::method(SoilLayer, "__repr__", [](py::object self) {
        std::string text = "SoilLayer(soil='" + shown(self.attr(HOST_NAME("soil")));
        text += "', top_of_layer=" + shown(self.attr(HOST_NAME("top_of_layer")));
        text += ", bottom_of_layer=" + shown(self.attr(HOST_NAME("bottom_of_layer")));
        text += ", properties=" + shown(host::unmunchify(self.attr(HOST_NAME("properties")))) + ")";
        return text;
    }, "SoilLayer(soil='...', top_of_layer=..., bottom_of_layer=..., properties=...), the soil in its own "
       "representation and the properties as a plain dictionary.");
    pyclass::method(SoilLayer, "serialize", [](py::object self) { return layer_serialize(self); }, "Return the layer as a dictionary with the keys \"soil\", \"top_of_layer\", \"bottom_of_layer\" and "
       "\"properties\".");
    pyclass::classmethod(SoilLayer, "from_dict", [](py::object cls, py::object soil_layer_dict) {
        return layer_from_dict(cls, soil_layer_dict);
    }, "cls"_a, "soil_layer_dict"_a,
        "Create a layer from a dictionary made by ``SoilLayer.serialize()``. The layer gets a soil object of its "
        "own.\n\n"
        ":param soil_layer_dict: dictionary (or Munch) of the layer");
    pyclass::method(SoilLayer, "update_soil_properties", [](py::object self, py::object properties) {
        self.attr(HOST_NAME("soil")).attr(HOST_NAME("update_properties"))(properties);
    }, "properties"_a,
        "Replace the properties of the layer's soil; every layer sharing that soil object sees the change.\n\n"
        ":param properties: dictionary of soil properties");
    pyclass::method(SoilLayer, "update_properties", [](py::object self, py::object properties) {
        self.attr(HOST_NAME("properties")) = host::munchify(properties);
    }, "properties"_a,
        "Replace the properties of the layer with the given dictionary (earlier entries are dropped).\n\n"
        "Kept for backwards compatibility; to change single entries, change ``self.properties`` directly.\n\n"
        ":param properties: dictionary of layer properties");

    Members& kept = members();
    kept.soil_layer = reinterpret_cast<PyTypeObject*>(SoilLayer.ptr());
    kept.layer_thickness = class_entry(SoilLayer, "thickness");
    kept.layer_serialize = class_entry(SoilLayer, "serialize");
    kept.layer_init = class_entry(SoilLayer, "__init__");
    kept.layer_from_dict = class_entry(SoilLayer, "from_dict");
}

py::list layers_from_dicts(py::object layer_dicts) {
    py::list layers;
    for (py::handle layer_dict : layer_dicts) layers.append(layer_class_from_dict(global("SoilLayer"), layer_dict));
    return layers;
}

void fill_soil_layout(py::module_& m) {
    py::object SoilLayout = m.attr(HOST_NAME("SoilLayout"));
    pyclass::set_doc(SoilLayout, "A one-dimensional soil profile: a list of SoilLayer objects from the top down.");
    pyclass::init(SoilLayout, [](py::object self, py::object soil_layers) { self.attr(HOST_NAME("layers")) = soil_layers; },
                  "soil_layers"_a,
                  "Aggregation object of SoilLayer.\n\n"
                  ":param soil_layers: list of SoilLayer objects, from the top down; the list is kept, not copied");
    pyclass::classmethod(SoilLayout, "from_dict", [](py::object cls, py::object soil_layout_dict) {
        return cls(layers_from_dicts(soil_layout_dict["layers"]));
    }, "cls"_a, "soil_layout_dict"_a,
        "Create a SoilLayout with a dictionary from ``SoilLayout.serialize()``; useful when the layout is stored "
        "in the database.\n\n"
        ":param soil_layout_dict: dictionary (or Munch) with the key \"layers\"");
    pyclass::method(SoilLayout, "serialize", [](py::object self) {
        py::list layers;
        for (py::handle layer : self.attr(HOST_NAME("layers"))) layers.append(serialize_layer(layer));
        py::dict d;
        d[HOST_NAME("layers")] = layers;
        return d;
    }, "Serialize the layout to a dictionary {\"layers\": [...]}, for example to store it in a database.");
    pyclass::method(SoilLayout, "__repr__", [](py::object self) {
        py::list shown_layers;
        for (py::handle layer : self.attr(HOST_NAME("layers"))) shown_layers.append(py::repr(layer));
        return "SoilLayout(layers=[" + shown(shown_layers) + "])";
    }, "SoilLayout(layers=[[...]]): the list of the layers' representations, as strings.");
    pyclass::readonly_property(SoilLayout, "top", [](py::object self) -> py::object {
        return self.attr(HOST_NAME("layers"))[py::int_(0)].attr(HOST_NAME("top_of_layer"));
    }, "Level of the top of the layout: the top of the first layer (read-only).");
    pyclass::readonly_property(SoilLayout, "bottom", [](py::object self) -> py::object {
        return self.attr(HOST_NAME("layers"))[py::int_(-1)].attr(HOST_NAME("bottom_of_layer"));
    }, "Level of the bottom of the layout: the bottom of the last layer (read-only).");
    pyclass::readonly_property(SoilLayout, "number_of_layers", [](py::object self) {
        return py::int_(length(self.attr(HOST_NAME("layers"))));
    }, "The number of layers (read-only).");
    pyclass::method(SoilLayout, "append", [](py::object self, py::object layer) {
        if (!is_instance(layer, global("SoilLayer"))) {
            host::raise("GEFParsingError",
                        "SoilClassification.append: Appended object should be an instance of SoilLayer but is " +
                            std::string(py::str(py::type::handle_of(layer).attr(HOST_NAME("__name__")))));
        }
        self.attr(HOST_NAME("layers")).attr(HOST_NAME("append"))(layer);
    }, "layer"_a,
        "Add a layer at the bottom of the layout.\n\n"
        ":param layer: the SoilLayer to add; anything else raises GEFParsingError");
    pyclass::method(SoilLayout, "filter_unique_soils", [](py::object self) {
        return unique_soils_of(self.attr(HOST_NAME("layers")));
    }, "Return the distinct soils of the layout (by name), the first of each met from the top, in order.");
    pyclass::method(SoilLayout, "update_soil_properties", [](py::object self, py::object df) {
        for (py::handle layer : self.attr(HOST_NAME("layers"))) {
            py::object name = layer.attr(HOST_NAME("soil")).attr(HOST_NAME("name"));
            py::object mask = steal(PyObject_RichCompare(df["name"].ptr(), name.ptr(), Py_EQ));
            py::list rows = df.attr(HOST_NAME("loc"))[mask].attr(HOST_NAME("to_dict"))("orient"_a = "records");
            if (rows.size() == 0) continue;
            py::dict properties = rows[0];
            properties.attr(HOST_NAME("pop"))("name");
            layer.attr(HOST_NAME("update_soil_properties"))(properties);
        }
    }, "df"_a,
        "Update the layout with soil properties. The data frame holds soil properties by soil name, one row per "
        "soil, and must at least have the column \"name\"; the first row of a layer's soil name replaces the "
        "soil's properties (without \"name\"). Soils without a row keep their properties.\n\n"
        ":param df: pandas DataFrame of soil properties");
    pyclass::method(SoilLayout, "update_layers", [](py::object self) {
        self.attr(HOST_NAME("_merge_adjacent_same_soil_layers"))();
        self.attr(HOST_NAME("_update_bottom_depth"))();
    }, "Merge adjacent layers that have the same soil type, the merged layer getting the thickness-weighted "
       "average of the layers' properties; after merging, correct the layer depths by going from top to bottom "
       "and setting each bottom_of_layer equal to the top_of_layer of the next layer.");
    pyclass::method(SoilLayout, "_update_bottom_depth", &update_bottom_depth,
                    "Synchronise top and bottom depths of all layers by setting the bottom depth to the next top "
                    "depth (differences within the tolerances ISCLOSE_RTOL and ISCLOSE_ATOL stay). Use "
                    "update_layers for this.");
    pyclass::method(SoilLayout, "_merge_adjacent_same_soil_layers", &merge_adjacent_same_soil_layers,
                    "Go through the layers and, when two consecutive entries have the same soil type, merge them "
                    "into a single layer. This only succeeds if both layers have the same soil and the same set of "
                    "properties; the merged layer has, for each numeric property, the average weighted by "
                    "thickness. Example: a layer of thickness 10 with A = 5 and a layer of thickness 40 with A = 2 "
                    "give a layer of thickness 50 with A = (10 * 5 + 40 * 2) / (10 + 40) = 2.6. Text and boolean "
                    "properties must be equal; other values cannot be merged.");
    pyclass::method(SoilLayout, "filter_layers_on_thickness", &filter_layers_on_thickness,
                    "min_layer_thickness"_a, "merge_adjacent_same_soil_layers"_a = false,
                    "Collect layers thinner than min_layer_thickness in groups of consecutive layers and replace "
                    "each group: a group thinner than the minimum by elongating a neighbouring layer (the layer "
                    "above, or the layer below at the top of the layout), a group at least as thick as the minimum "
                    "by one new layer with the soil and properties of the most dominant soil of the group, by "
                    "cumulative thickness. Afterwards, if merge_adjacent_same_soil_layers is True, adjacent layers "
                    "of the same soil are merged. The method alters the instance and returns it.\n\n"
                    ":param min_layer_thickness: minimum thickness of a layer\n"
                    ":param merge_adjacent_same_soil_layers: merge adjacent layers of one soil afterwards\n"
                    ":return: the layout itself");

    Members& kept = members();
    kept.layout = reinterpret_cast<PyTypeObject*>(SoilLayout.ptr());
    kept.layout_init = class_entry(SoilLayout, "__init__");
    kept.layout_unique_soils = class_entry(SoilLayout, "filter_unique_soils");

    py::object PositionalSoilLayout = m.attr(HOST_NAME("PositionalSoilLayout"));
    pyclass::set_doc(PositionalSoilLayout, "A subclass of SoilLayout that adds an x location, useful to generate a "
                                           "2D soil layout.");
    pyclass::init(PositionalSoilLayout, [PositionalSoilLayout](py::object self, py::object x, py::object soil_layers) {
        super_of(PositionalSoilLayout, self).attr(HOST_NAME("__init__"))(soil_layers);
        self.attr(HOST_NAME("x")) = x;
    }, "x"_a, "soil_layers"_a,
        "A SoilLayout placed at a horizontal position.\n\n"
        ":param x: x location of the layout\n"
        ":param soil_layers: list of SoilLayer objects; the list is kept, not copied");
    pyclass::classmethod(PositionalSoilLayout, "from_dict", [](py::object cls, py::object d) {
        // "x" is taken out of the caller's dictionary, but only once the layout could be read, so a
        // dictionary that fails to read is left as it was.
        py::object present = d["x"];
        py::list layers = layers_from_dicts(d["layers"]);
        py::object x = d.attr(HOST_NAME("pop"))("x");
        return cls(x, layers);
    }, "cls"_a, "positional_soil_layout_dict"_a,
        "Create a PositionalSoilLayout from a dictionary made by ``PositionalSoilLayout.serialize()``. The entry "
        "\"x\" is removed from the given dictionary.\n\n"
        ":param positional_soil_layout_dict: dictionary (or Munch) with the keys \"layers\" and \"x\"");
    pyclass::method(PositionalSoilLayout, "serialize", [PositionalSoilLayout](py::object self) {
        py::object d = super_of(PositionalSoilLayout, self).attr(HOST_NAME("serialize"))();
        d[HOST_NAME("x")] = self.attr(HOST_NAME("x"));
        return d;
    }, "Generate a JSON-serialisable dict {\"layers\": [...], \"x\": x} from this positional soil layout.");
}

}  // namespace

void define_soil_layer_block_function(py::module_& m) {
    pyclass::function(m, "_get_replacement_dict_from_soil_layer_block", &get_replacement_dict_from_soil_layer_block,
                      "block"_a, "layers"_a, "min_layer_thickness"_a, "replacements_so_far"_a,
                      "Find the replacement for a block of consecutive thin layers, as described in the "
                      "documentation of SoilLayout.filter_layers_on_thickness. Returns a dictionary with the keys "
                      "\"start_index\" and \"end_index\" (the half-open range of layers to remove) and \"new_layer\" "
                      "(the layer inserted in its place). May remove the last entry of replacements_so_far when the "
                      "new replacement covers it.");
    original_block_function = m.attr(HOST_NAME("_get_replacement_dict_from_soil_layer_block")).ptr();
    Py_INCREF(original_block_function);  // kept for the identity test for as long as the process lives
}

void register_soil(py::module_& m) {
    fill_soil(m);
    fill_soil_layer(m);
    fill_soil_layout(m);
}

}  // namespace geo
