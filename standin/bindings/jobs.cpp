// terrak._jobs: the built-in handlers of the job service, "parsecptfile/v2/jobs/" and
// "classifycpt/v2/jobs/", over the C++ GEF and BRO-XML readers and classifiers.
//
// Each handler reads the whole payload into plain C++ values first, runs the kernel without
// the GIL, and builds the Python answer afterwards. A failed job raises
// terrak.core.JobFailure(error_name, message); the dispatcher maps the name onto the
// caller's exception type.

#include <pybind11/pybind11.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/broxml.hpp"
#include "jobs/classify.hpp"
#include "jobs/error.hpp"
#include "jobs/gef.hpp"
#include "json_payload.hpp"
#include "pyclass/pyclass.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

[[noreturn]] void raise_failure(const std::string& name, const std::string& message) {
    py::object failure_type = py::module_::import("terrak.core").attr("JobFailure");
    py::object failure = failure_type(name, message);
    PyErr_SetObject(failure_type.ptr(), failure.ptr());
    throw py::error_already_set();
}

template <class F>
py::object run_job(F&& body) {
    try {
        return body();
    } catch (const jobs::JobError& e) {
        raise_failure(e.name(), e.what());
    }
}

[[noreturn]] void fail(const char* name, const std::string& message) { throw jobs::JobError(name, message); }

// An interned str for a literal, made once per place of use and kept for the life of the
// process (a static py::object would be released after the interpreter has shut down).
#define JOB_NAME(text) \
    (py::handle([] { \
        static PyObject* const name_ = PyUnicode_InternFromString(text); \
        return name_; \
    }()))

void set_item(const py::dict& dict, py::handle key, py::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }
std::string repr_of(py::handle value) { return py::repr(value).cast<std::string>(); }

bool is_mapping(py::handle value) {
    // Kept for the life of the process: a static py::object would be released after the
    // interpreter has shut down.
    static py::handle mapping = py::object(py::module_::import("collections.abc").attr("Mapping")).release();
    return PyDict_Check(value.ptr()) || py::isinstance(value, mapping);
}

bool is_real(py::handle value) {
    if (PyBool_Check(value.ptr())) return false;
    if (PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr())) return true;
    static py::handle real = py::object(py::module_::import("numbers").attr("Real")).release();
    return py::isinstance(value, real);
}

// The value under `key` of an exact dict, held; nullopt when absent. An exact dict's own
// __contains__ and __getitem__ cannot be replaced, so this is what asking it gives.
std::optional<py::object> plain_dict_entry(py::handle dict, const char* key) {
    const py::str name(key);
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), name.ptr());
    if (!value) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return std::nullopt;
    }
    return py::reinterpret_borrow<py::object>(value);
}

std::optional<py::object> optional_entry(py::handle mapping, const char* key) {
    if (PyDict_CheckExact(mapping.ptr())) return plain_dict_entry(mapping, key);
    if (!mapping.attr("__contains__")(key).cast<bool>()) return std::nullopt;
    return py::reinterpret_borrow<py::object>(mapping[py::str(key)]);
}

// A required entry of a mapping, failing with the job's error name when it is absent.
py::object entry(py::handle mapping, const char* key, const char* error, const std::string& where) {
    if (!is_mapping(mapping)) fail(error, where + " must be a dictionary, not " + text_of(py::type::of(mapping).attr("__name__")));
    auto value = optional_entry(mapping, key);
    if (!value) fail(error, where + " has no '" + key + "'");
    return *std::move(value);
}

double number(py::handle value, const char* error, const std::string& what) {
    if (!is_real(value)) fail(error, what + " must be a number, not " + repr_of(value));
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    if (!std::isfinite(v)) fail(error, what + " must be a finite number, not " + repr_of(value));
    return v;
}

// A column as doubles; any sequence of real numbers. Converting an item that is not an exact
// float can run Python code (__float__, __instancecheck__, __repr__ for a message) that may
// change a list, and another thread may run meanwhile: so the size and each item are read
// afresh on every step, as iterating the list in Python would, and the item being converted is
// held by a reference of its own. A column that shrinks this way ends early and is then
// refused as shorter than the others.
std::vector<double> column(py::handle values, const char* error, const std::string& name) {
    PyObject* seq = PySequence_Fast(values.ptr(), "");
    if (!seq) {
        PyErr_Clear();
        fail(error, "column '" + name + "' must be a list of numbers");
    }
    const py::object owner = py::reinterpret_steal<py::object>(seq);
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq)));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
        double value = 0.0;
        if (PyFloat_CheckExact(item)) {
            value = PyFloat_AS_DOUBLE(item);
        } else {
            const py::object held = py::reinterpret_borrow<py::object>(item);
            value = number(held, error, "value " + std::to_string(i) + " of column '" + name + "'");
        }
        if (!std::isfinite(value))
            fail(error, "value " + std::to_string(i) + " of column '" + name + "' must be a finite number");
        out.push_back(value);
    }
    return out;
}

// Text read as a number exactly as Python's float() reads it, whatever the C locale says: a
// decimal point, never a decimal comma; surrounding whitespace, underscores between digits and
// non-ASCII digits as float() takes them. nullopt when float() refuses the text.
std::optional<double> number_from_text(py::handle text) {
    const py::object value = py::reinterpret_steal<py::object>(PyFloat_FromString(text.ptr()));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
        PyErr_Clear();
        return std::nullopt;
    }
    return PyFloat_AS_DOUBLE(value.ptr());
}

// Empty or whitespace only, as str.strip() sees whitespace (read from the characters, so a
// subclass's own strip() is not consulted).
bool is_blank(py::handle text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    for (Py_ssize_t i = 0; i < length; ++i)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text.ptr(), i))) return false;
    return true;
}

// A bound of a table row: None, '' (or blank text) and an absent key mean no bound; numbers
// and numeric text are bounds.
std::optional<double> bound(py::handle row, const char* key, const std::string& row_name) {
    const auto value = optional_entry(row, key);
    if (!value || value->is_none()) return std::nullopt;
    const std::string what = "row '" + row_name + "': " + key;
    if (PyUnicode_Check(value->ptr())) {
        if (is_blank(*value)) return std::nullopt;
        if (const auto v = number_from_text(*value); v && std::isfinite(*v)) return v;
        fail(jobs::kClassificationError, what + " must be a number or '', not " + repr_of(*value));
    }
    return number(*value, jobs::kClassificationError, what);
}

jobs::Rgb colour(py::handle row, const std::string& row_name) {
    const py::object value = entry(row, "color", jobs::kClassificationError, "row '" + row_name + "'");
    if (PyUnicode_Check(value.ptr()))
        if (const auto rgb = jobs::parse_rgb(value.cast<std::string>())) return *rgb;
    fail(jobs::kClassificationError,
         "row '" + row_name + "': color must be text \"r, g, b\" with whole numbers 0 to 255, not " + repr_of(value));
}

// The characters of a payload text as bytes, without a copy when the str is ASCII (a valid
// payload always is, and runs to many megabytes). Otherwise each character other than ASCII
// becomes one byte that no decoder accepts, so an error still names the right character.
// The view lives as long as the str, which is immutable, or as `storage`.
std::string_view ascii_text(const py::object& text, std::string& storage) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (PyUnicode_IS_ASCII(text.ptr()))
        return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.ptr())), static_cast<std::size_t>(length)};
    storage.resize(static_cast<std::size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), i);
        storage[static_cast<std::size_t>(i)] = c < 0x80 ? static_cast<char>(c) : '\x80';
    }
    return storage;
}

// Python floats for a column. A CPT repeats many readings (friction ratios, inclinations, a
// steady sleeve friction), and equal readings share one float object, floats being immutable:
// a third fewer objects to make on a typical file. A NaN never shares, so that `in` and
// `index`, which try identity first, still see each void as a value of its own.
py::list float_list(const std::vector<double>& values) {
    py::list out(values.size());
    constexpr int kSlotBits = 8;
    std::array<std::uint64_t, 1 << kSlotBits> recent_bits{};
    std::array<PyObject*, 1 << kSlotBits> recent{};  // borrowed: `out` holds them
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double value = values[i];
        const auto bits = std::bit_cast<std::uint64_t>(value);
        const std::size_t slot = (bits * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits);
        PyObject* item;
        if (recent[slot] != nullptr && recent_bits[slot] == bits) {
            item = Py_NewRef(recent[slot]);
        } else {
            item = PyFloat_FromDouble(value);
            if (item == nullptr) throw py::error_already_set();
            if (!std::isnan(value)) {
                recent[slot] = item;
                recent_bits[slot] = bits;
            }
        }
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), item);
    }
    return out;
}

// The kernels let go of the GIL only for inputs large enough to pay for it (see
// pyclass::without_gil_if).
constexpr std::size_t kUnlockFromBase64Chars = 32 * 1024;  // a file of 24 kB: about 0.1 ms to read
constexpr std::size_t kUnlockFromRows = 500;               // about 0.04 ms for Robertson, more for the others

// ---- parse --------------------------------------------------------------------------------

py::object parse_cpt_file(py::object data) {
    return run_job([&]() -> py::object {
        const py::object content = entry(data, "file_content", jobs::kParsingError, "the payload");
        if (!PyUnicode_Check(content.ptr()))
            fail(jobs::kParsingError, "file_content must be Base64 text, not " +
                                          text_of(py::type::of(content).attr("__name__")));
        std::string storage;
        const std::string_view encoded = ascii_text(content, storage);
        const jobs::GefCpt cpt = pyclass::without_gil_if(encoded.size() >= kUnlockFromBase64Chars, [&] {
            const std::string bytes = jobs::decode_base64(encoded);
            // A CPT comes as GEF text or as the registry's XML, told apart by content.
            return jobs::is_xml_document(bytes) ? jobs::parse_bro_xml(bytes) : jobs::parse_gef(bytes);
        });
        py::dict headers;
        for (const auto& [key, value] : cpt.headers) {
            if (const auto* d = std::get_if<double>(&value)) headers[py::str(key)] = py::float_(*d);
            else if (const auto* s = std::get_if<std::string>(&value)) headers[py::str(key)] = py::str(*s);
            else headers[py::str(key)] = float_list(std::get<std::vector<double>>(value));
        }
        py::dict measurements;
        for (const auto& [key, values] : cpt.columns) measurements[py::str(key)] = float_list(values);
        py::dict answer;
        set_item(answer, JOB_NAME("headers"), headers);
        set_item(answer, JOB_NAME("measurement_data"), measurements);
        return answer;
    });
}

// ---- classify -----------------------------------------------------------------------------

struct Soil {
    py::object name;
    jobs::Rgb color;
    py::dict properties;
};

// A row's entries except the ones that define the class (name, colour, bounds).
py::dict properties_of(py::handle row, std::initializer_list<const char*> excluded) {
    py::dict out;
    for (auto item : row.attr("items")()) {
        // Held rather than borrowed from the item: reading the value may run Python code.
        const py::object key = item[py::int_(0)];
        bool skip = false;
        if (PyUnicode_Check(key.ptr())) {
            const std::string k = key.cast<std::string>();
            for (const char* e : excluded) skip = skip || k == e;
        }
        if (!skip) out[key] = item[py::int_(1)];
    }
    return out;
}

py::list rows_of(py::handle params, const char* key, const char* error) {
    const py::object rows = entry(params, key, error, "method_params");
    if (!PyList_Check(rows.ptr()) && !PyTuple_Check(rows.ptr()))
        fail(error, std::string(key) + " must be a list of dictionaries");
    py::list out;
    for (auto row : rows) {
        if (!is_mapping(row)) fail(error, std::string("every entry of ") + key + " must be a dictionary, not " + repr_of(row));
        out.append(row);
    }
    return out;
}

jobs::Measurements measurements_of(py::handle cpt_data, bool robertson) {
    const char* error = jobs::kClassificationError;
    const char* specific = robertson ? jobs::kRobertsonError : jobs::kClassificationError;
    const py::object headers = entry(cpt_data, "headers", error, "cpt_data");
    const py::object data = entry(cpt_data, "measurement_data", error, "cpt_data");
    if (!is_mapping(headers)) fail(error, "the headers of cpt_data must be a dictionary");
    jobs::Measurements m;
    m.elevation = column(entry(data, "elevation", error, "measurement_data"), error, "elevation");
    m.qc = column(entry(data, "qc", error, "measurement_data"), error, "qc");
    m.rf = column(entry(data, "Rf", error, "measurement_data"), error, "Rf");
    if (robertson) m.fs = column(entry(data, "fs", specific, "measurement_data"), specific, "fs");
    else if (auto fs = optional_entry(data, "fs")) m.fs = column(*fs, error, "fs");
    if (auto u2 = optional_entry(data, "u2")) m.u2 = column(*u2, error, "u2");
    if (auto depth = optional_entry(data, "corrected_depth")) {
        m.depth = column(*depth, specific, "corrected_depth");
    } else if (robertson) {
        fail(specific, "measurement_data has no 'corrected_depth'");
    } else if (auto ground = optional_entry(headers, "ground_level_wrt_reference")) {
        // Without a corrected depth the depth below the surface follows from the levels.
        const double level = number(*ground, error, "ground_level_wrt_reference");
        m.depth.reserve(m.elevation.size());
        for (double e : m.elevation) m.depth.push_back(level - e);
    } else {
        fail(error, "cpt_data needs a 'corrected_depth' column or a 'ground_level_wrt_reference' header");
    }
    if (auto a = optional_entry(headers, "surface_area_quotient_tip"); a && !a->is_none())
        m.area_quotient = number(*a, error, "surface_area_quotient_tip");
    return m;
}

// Values that copy.deepcopy gives back as they are: for these exact types a deep copy of a
// dict is a shallow one.
bool copied_as_is(PyObject* value) {
    return value == Py_None || PyUnicode_CheckExact(value) || PyFloat_CheckExact(value) || PyLong_CheckExact(value) ||
           PyBool_Check(value);
}

// copy.deepcopy(properties), without the call for the usual flat dict of names and numbers.
py::object deep_copy(const py::dict& properties) {
    static py::handle deepcopy = py::object(py::module_::import("copy").attr("deepcopy")).release();
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *value = nullptr;
    bool flat = true;
    // Only type checks run inside the walk: no Python code can change the dict meanwhile.
    while (flat && PyDict_Next(properties.ptr(), &position, &key, &value)) flat = copied_as_is(key) && copied_as_is(value);
    if (!flat) return deepcopy(properties);
    PyObject* copy = PyDict_Copy(properties.ptr());
    if (!copy) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(copy);
}

py::dict layer(const Soil& soil, double top, double bottom) {
    // Every layer gets properties of its own, so that changing one layer's soil in the
    // answer changes no other layer and not the caller's parameters.
    py::list color(3);
    const int channels[3] = {soil.color.r, soil.color.g, soil.color.b};
    for (Py_ssize_t i = 0; i < 3; ++i) PyList_SET_ITEM(color.ptr(), i, py::int_(channels[i]).release().ptr());
    py::dict soil_dict;
    set_item(soil_dict, JOB_NAME("name"), soil.name);
    set_item(soil_dict, JOB_NAME("color"), color);
    set_item(soil_dict, JOB_NAME("properties"), deep_copy(soil.properties));
    py::dict out;
    set_item(out, JOB_NAME("soil"), soil_dict);
    set_item(out, JOB_NAME("top_of_layer"), py::float_(top));
    set_item(out, JOB_NAME("bottom_of_layer"), py::float_(bottom));
    set_item(out, JOB_NAME("properties"), py::dict());
    return out;
}

// What a measurement that no row holds is called in a layout: the soil model's own name for
// a layer without a determined soil.
Soil undefined_soil() { return {py::str("Undefined soil layer"), {0, 0, 0}, py::dict()}; }

py::object classify_cpt(py::object data) {
    return run_job([&]() -> py::object {
        const char* error = jobs::kClassificationError;
        const py::object method_obj = entry(data, "classification_method", error, "the payload");
        const std::string method = PyUnicode_Check(method_obj.ptr()) ? method_obj.cast<std::string>() : "";
        if (method != "robertson" && method != "table" && method != "ic")
            fail(error, "unknown classification method " + repr_of(method_obj) +
                            "; expected 'robertson', 'table' or 'ic'");
        const bool robertson = method == "robertson";
        const py::object cpt_data = entry(data, "cpt_data", error, "the payload");
        const py::object params = entry(data, "method_params", robertson ? jobs::kRobertsonError : error, "the payload");
        if (!is_mapping(params)) fail(error, "method_params must be a dictionary");
        const jobs::Measurements m = measurements_of(cpt_data, robertson);

        std::vector<jobs::ClassLayer> layers;
        std::vector<Soil> soils;  // by class number; -1 is the undefined soil
        if (robertson) {
            const py::list entries = rows_of(params, "soil_properties", jobs::kRobertsonError);
            for (std::size_t zone = 0; zone < jobs::kRobertsonZoneNames.size(); ++zone)
                soils.push_back({py::str(jobs::kRobertsonZoneNames[zone]), jobs::kRobertsonZoneColors[zone], py::dict()});
            std::vector<bool> given(soils.size(), false);
            for (auto e : entries) {
                const py::object name = entry(e, "name", jobs::kRobertsonError, "an entry of soil_properties");
                std::size_t zone = 0;
                while (zone < soils.size() && !(PyUnicode_Check(name.ptr()) && name.cast<std::string>() == jobs::kRobertsonZoneNames[zone])) ++zone;
                if (zone == soils.size())
                    fail(jobs::kRobertsonError, "soil_properties name " + repr_of(name) + " is not a Robertson zone name");
                // The first entry of a zone counts, as a lookup by name would find it.
                if (!given[zone]) soils[zone].properties = properties_of(e, {"name"});
                given[zone] = true;
            }
            layers = pyclass::without_gil_if(m.qc.size() >= kUnlockFromRows, [&] { return jobs::classify_robertson(m); });
        } else if (method == "table") {
            const py::list rows = rows_of(params, "qualification_table", error);
            const double water = number(entry(params, "ground_water_level", error, "method_params"), error, "ground_water_level");
            std::vector<jobs::QualificationRow> table;
            for (auto row : rows) {
                const py::object name = entry(row, "name", error, "a row of qualification_table");
                const std::string shown = text_of(name);
                jobs::QualificationRow r{shown};
                r.qc_min = bound(row, "qc_min", shown);
                r.qc_max = bound(row, "qc_max", shown);
                r.qc_norm_min = bound(row, "qc_norm_min", shown);
                r.qc_norm_max = bound(row, "qc_norm_max", shown);
                r.rf_min = bound(row, "rf_min", shown);
                r.rf_max = bound(row, "rf_max", shown);
                r.gamma_dry_min = bound(row, "gamma_dry_min", shown);
                r.gamma_dry_max = bound(row, "gamma_dry_max", shown);
                r.gamma_wet_min = bound(row, "gamma_wet_min", shown);
                r.gamma_wet_max = bound(row, "gamma_wet_max", shown);
                table.push_back(r);
                soils.push_back({name, colour(row, shown),
                                 properties_of(row, {"name", "color", "qc_min", "qc_max", "qc_norm_min", "qc_norm_max",
                                                     "rf_min", "rf_max"})});
            }
            layers = pyclass::without_gil_if(m.qc.size() >= kUnlockFromRows, [&] { return jobs::classify_table(m, table, water); });
        } else {
            const py::list rows = rows_of(params, "ic_table", error);
            const double water = number(entry(params, "ground_water_level", error, "method_params"), error, "ground_water_level");
            const double weight = number(entry(params, "specific_weight_soil", error, "method_params"), error, "specific_weight_soil");
            std::optional<double> resolution;
            if (auto r = optional_entry(params, "resolution"); r && !r->is_none())
                resolution = number(*r, error, "resolution");
            std::vector<jobs::IcRow> table;
            for (auto row : rows) {
                const py::object name = entry(row, "name", error, "a row of ic_table");
                const std::string shown = text_of(name);
                table.push_back({shown, bound(row, "ic_min", shown), bound(row, "ic_max", shown)});
                soils.push_back({name, colour(row, shown), properties_of(row, {"name", "color", "ic_min", "ic_max"})});
            }
            layers = pyclass::without_gil_if(m.qc.size() >= kUnlockFromRows,
                                     [&] { return jobs::classify_ic(m, table, water, weight, resolution); });
        }

        py::list out;
        for (const auto& l : layers) {
            out.append(layer(l.cls < 0 ? undefined_soil() : soils[static_cast<std::size_t>(l.cls)], l.top, l.bottom));
        }
        py::dict answer;
        set_item(answer, JOB_NAME("soil_layers"), out);
        return answer;
    });
}

}  // namespace

PYBIND11_MODULE(_jobs, m) {
    m.doc() = "Built-in handlers of the terrak job service: CPT parsing (GEF files and the registry's "
            "BRO-XML files) and CPT classification.";
    m.def("parse_cpt_file", &parse_cpt_file, "data"_a,
          "Parses a CPT file: GEF text or BRO-XML, told apart by content.\n\n"
          "data: {\"file_content\": <Base64 of the file's text>}. Returns {\"headers\": {...},\n"
          "\"measurement_data\": {column: [values]}} with lengths and levels in mm, qc, fs and u2 in\n"
          "MPa, Rf as a fraction and inclinations in degrees. Raises terrak.core.JobFailure named\n"
          "\"ParsingError\" or \"NotImplementedError\".");
    m.def("classify_cpt", &classify_cpt, "data"_a,
          "Classifies CPT measurements into soil layers.\n\n"
          "data: {\"cpt_data\": <GEF dictionary>, \"classification_method\": \"robertson\" | \"table\" |\n"
          "\"ic\", \"method_params\": {...}}. Returns {\"soil_layers\": [layer dictionaries, top first]}\n"
          "with levels in mm. Raises terrak.core.JobFailure named \"CPTClassificationError\" or\n"
          "\"RobertsonProcessingException\".");
    m.def("payload_is_plain_json", [](py::handle value) { return json_payload::is_plain_json(value.ptr()); },
          "value"_a,
          "True when json.dumps(value, allow_nan=True) is sure to succeed: plain dicts, lists, tuples,\n"
          "text, numbers, booleans and None, without cycles. False means \"not proven\": run json.dumps.");
    py::dict handlers;
    handlers["parsecptfile/v2/jobs/"] = m.attr("parse_cpt_file");
    handlers["classifycpt/v2/jobs/"] = m.attr("classify_cpt");
    m.attr("HANDLERS") = handlers;
}
