// CPT processing: classification methods, GEF data and GEF files.
//
// Nothing here parses or classifies: the job service does both. These classes validate what they
// can before a job is sent, build the job payloads in the order the service and stored data rely
// on, and turn the answers into GEF dictionaries, GEFData objects and soil layouts.
#include "geo/geo.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace geo {

using namespace pybind11::literals;

namespace {

constexpr const char* parse_job_path = "parsecptfile/v2/jobs/";
constexpr const char* classify_job_path = "classifycpt/v2/jobs/";
constexpr int job_timeout_seconds = 60;

// The zone names the classification service knows; any other name would be silently unmatched there.
constexpr const char* robertson_zone_names[] = {
    "Robertson zone unknown", "Robertson zone 1", "Robertson zone 2", "Robertson zone 3", "Robertson zone 4",
    "Robertson zone 5",       "Robertson zone 6", "Robertson zone 7", "Robertson zone 8", "Robertson zone 9",
};

// The classes are created empty with their final bases before any member exists, so ABCMeta
// counted the inherited abstract method as missing; recount once the concrete one is in place.
void recount_abstract_methods(py::handle cls) { py::module_::import("abc").attr("update_abstractmethods")(cls); }

bool is_true_itself(py::handle value) { return value.ptr() == Py_True; }

// `needle in container`, including the fallback to iteration for containers without __contains__.
bool contains(py::handle container, py::handle needle) {
    const int found = PySequence_Contains(container.ptr(), needle.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

// hasattr() as Python has it: only AttributeError means "absent"; any other error propagates.
bool has_attribute(py::handle object, const char* name) {
    try {
        py::getattr(object, name);  // attr() alone is lazy and would look nothing up
        return true;
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_AttributeError)) return false;
        throw;
    }
}

// `key, value = item`, with the language's own errors for items that are not pairs.
std::pair<py::object, py::object> unpack_pair(py::handle item) {
    py::iterator it = py::iter(item);
    std::vector<py::object> values;
    for (; it != py::iterator::sentinel(); ++it) {
        values.push_back(py::reinterpret_borrow<py::object>(*it));
        if (values.size() > 2) throw py::value_error("too many values to unpack (expected 2)");
    }
    if (values.size() < 2)
        throw py::value_error("not enough values to unpack (expected 2, got " + std::to_string(values.size()) + ")");
    return {values[0], values[1]};
}

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks) of `size` bytes into `out`,
// which has room for base64_length(size) characters.
constexpr std::size_t base64_length(std::size_t size) { return (size + 2) / 3 * 4; }

#if defined(__x86_64__) && defined(__GNUC__)
// 24 bytes at a time into 32 characters while at least 32 bytes are left to read; returns the
// bytes encoded (a multiple of 24).
__attribute__((target("avx2"))) std::size_t base64_encode_avx2(const unsigned char* in, std::size_t size, char* out) {
    // The 12 bytes of each half go to its own 128-bit lane, each group of three as b1 b0 b2 b1
    // so that 16-bit multiplies can cut it into four 6-bit values.
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
    const __m256i groups = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,
                                            1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m256i first_third = _mm256_set1_epi32(0x0fc0fc00), first_third_shift = _mm256_set1_epi32(0x04000040);
    const __m256i second_fourth = _mm256_set1_epi32(0x003f03f0), second_fourth_shift = _mm256_set1_epi32(0x01000010);
    // A 6-bit value v becomes a character by adding a shift picked by its range: v < 26 (slot 13)
    // 'A', v < 52 (slot 0) 'a' - 26, then digits, '+' and '/' (slots 1 to 12).
    const __m256i shifts = _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                            '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0,
                                            'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                            '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    const __m256i fifty_one = _mm256_set1_epi8(51), twenty_six = _mm256_set1_epi8(26), thirteen = _mm256_set1_epi8(13);
    std::size_t done = 0;
    for (; size - done >= 32; done += 24, out += 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + done));
        const __m256i spread = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(bytes, lanes), groups);
        const __m256i values = _mm256_or_si256(
            _mm256_mulhi_epu16(_mm256_and_si256(spread, first_third), first_third_shift),
            _mm256_mullo_epi16(_mm256_and_si256(spread, second_fourth), second_fourth_shift));
        __m256i slot = _mm256_subs_epu8(values, fifty_one);
        slot = _mm256_or_si256(slot, _mm256_and_si256(_mm256_cmpgt_epi8(twenty_six, values), thirteen));
        const __m256i text = _mm256_add_epi8(values, _mm256_shuffle_epi8(shifts, slot));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), text);
    }
    return done;
}

bool has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

void base64_encode(const unsigned char* in, std::size_t size, char* out) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
#if defined(__x86_64__) && defined(__GNUC__)
    if (has_avx2() && size >= 32) {
        const std::size_t done = base64_encode_avx2(in, size, out);
        in += done;
        size -= done;
        out += done / 3 * 4;
    }
#endif
    const unsigned char* const whole_end = in + size / 3 * 3;
    for (; in != whole_end; in += 3, out += 4) {
        const std::uint32_t n = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
        out[0] = alphabet[(n >> 18) & 63];
        out[1] = alphabet[(n >> 12) & 63];
        out[2] = alphabet[(n >> 6) & 63];
        out[3] = alphabet[n & 63];
    }
    const std::size_t rest = size % 3;
    if (rest == 0) return;
    const std::uint32_t n = (std::uint32_t{in[0]} << 16) | (rest == 2 ? std::uint32_t{in[1]} << 8 : 0);
    out[0] = alphabet[(n >> 18) & 63];
    out[1] = alphabet[(n >> 12) & 63];
    out[2] = rest == 2 ? alphabet[(n >> 6) & 63] : '=';
    out[3] = '=';
}

// Characters of a one-byte str (code points below U+0100) that take two bytes in UTF-8.
std::size_t count_above_ascii(const unsigned char* text, std::size_t size) {
    std::size_t count = 0, i = 0;
    for (; size - i >= 8; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + i, 8);
        count += static_cast<std::size_t>(std::popcount(word & 0x8080808080808080ull));
    }
    for (; i < size; ++i) count += text[i] >> 7;
    return count;
}

// The UTF-8 bytes of a one-byte str: what str.encode("utf-8") gives for it.
std::string latin1_to_utf8(const unsigned char* text, std::size_t size, std::size_t above_ascii) {
    std::string out(size + above_ascii, '\0');
    char* o = out.data();
    std::size_t i = 0;
    while (i < size) {
        // Runs of ASCII, nearly all of a file, are copied eight bytes at a time.
        std::uint64_t word;
        if (size - i >= 8 && (std::memcpy(&word, text + i, 8), (word & 0x8080808080808080ull) == 0)) {
            std::memcpy(o, &word, 8);
            o += 8;
            i += 8;
            continue;
        }
        const unsigned char c = text[i++];
        if (c < 0x80) {
            *o++ = static_cast<char>(c);
        } else {
            *o++ = static_cast<char>(0xC0 | (c >> 6));
            *o++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A new str of `length` ASCII characters, to be filled in.
py::str ascii_str(std::size_t length, char*& data) {
    if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    auto result = py::reinterpret_steal<py::str>(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    if (!result) throw py::error_already_set();
    data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result.ptr()));
    return result;
}

// Encoding runs at a gigabyte a second or more: below this size it is done in moments and keeps
// the GIL (see pyclass::without_gil_if).
constexpr std::size_t kUnlockFromBytes = std::size_t{1} << 21;

// The payload text of a file: Base64 of its UTF-8 bytes, as text, written straight into the new
// (ASCII) str; without the GIL for files of megabytes. An exact str of one-byte characters (a
// file read as ISO-8859-1, the default) is read in place: as ASCII it is its own UTF-8, and
// otherwise its UTF-8 form is made here. Any other text goes through its own encode().
py::str base64_of_utf8(const py::object& text) {
    py::object utf8;
    const unsigned char* data = nullptr;
    std::size_t size = 0, above_ascii = 0;
    if (PyUnicode_CheckExact(text.ptr()) && PyUnicode_KIND(text.ptr()) == PyUnicode_1BYTE_KIND) {
        data = static_cast<const unsigned char*>(PyUnicode_1BYTE_DATA(text.ptr()));
        size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()));
        above_ascii = PyUnicode_IS_ASCII(text.ptr()) ? 0 : count_above_ascii(data, size);
    } else {
        utf8 = text.attr("encode")("utf-8");
        char* bytes = nullptr;
        Py_ssize_t length = 0;
        if (PyBytes_AsStringAndSize(utf8.ptr(), &bytes, &length) != 0) throw py::error_already_set();
        data = reinterpret_cast<const unsigned char*>(bytes);
        size = static_cast<std::size_t>(length);
    }
    char* out = nullptr;
    py::str result = ascii_str(base64_length(size + above_ascii), out);
    // Only this function holds the new str, and `text` or `utf8` (immutable, held) keeps the input
    // alive.
    pyclass::without_gil_if(size >= kUnlockFromBytes, [&] {
        if (above_ascii == 0) {
            base64_encode(data, size, out);
        } else {
            const std::string converted = latin1_to_utf8(data, size, above_ascii);
            base64_encode(reinterpret_cast<const unsigned char*>(converted.data()), converted.size(), out);
        }
    });
    return result;
}

py::object post_job(const char* path, py::dict payload, py::dict error_mapping) {
    return host::global("_post_on_addon_endpoint")(path, payload, "timeout"_a = job_timeout_seconds,
                                                   "error_mapping"_a = error_mapping);
}

void register_classification_methods() {
    py::object robertson = host::global("RobertsonMethod");
    pyclass::set_doc(robertson,
                     "Classification after Robertson's soil behaviour type chart.\n\n"
                     "Args:\n"
                     "    soil_properties: list of dicts, one per Robertson zone. Each must have a \"name\" key\n"
                     "        holding one of the zone names \"Robertson zone unknown\" and \"Robertson zone 1\" to\n"
                     "        \"Robertson zone 9\"; any further keys (e.g. \"extra_property1\") are passed on to\n"
                     "        the resulting soils unchanged.\n\n"
                     "Raises:\n"
                     "    GEFParsingError: an entry has no \"name\" key, or its name is not a Robertson zone name.\n\n"
                     "Example:\n"
                     "    >>> RobertsonMethod([{\"name\": \"Robertson zone 1\", \"extra_property1\": 1}])");
    pyclass::init(robertson, [](py::object self, py::object soil_properties) {
        py::set zone_names;
        for (const char* name : robertson_zone_names) zone_names.add(name);
        // Validate every entry before storing anything: a method with a bad zone must not exist.
        for (py::handle entry : soil_properties) {
            if (!contains(entry, py::str("name")))
                host::raise("GEFParsingError",
                            "Error: Missing \"name\" key in soil_properties dict. "
                            "Every soil must have at least a \"name\" key!");
            py::object name = entry[py::str("name")];
            if (!contains(zone_names, name)) {
                // str.format shows the value as an f-string field would, and keeps any text intact.
                py::str text = py::str("Error: \"name\":{} provided in soil_properties does not match with "
                                       "Robertson zone names").format(name);
                PyErr_SetObject(host::global("GEFParsingError").ptr(), text.ptr());
                throw py::error_already_set();
            }
        }
        self.attr("soil_properties") = soil_properties;
    }, "soil_properties"_a);
    pyclass::method(robertson, "get_method_params", [](py::object self) {
        return py::dict("soil_properties"_a = self.attr("soil_properties"));
    }, "Returns {\"soil_properties\": soil_properties}, holding the list given to the constructor.");
    recount_abstract_methods(robertson);

    py::object table = host::global("TableMethod");
    pyclass::set_doc(table,
                     "Classification by a qualification table of cone resistance and friction number ranges.\n\n"
                     "Args:\n"
                     "    qualification_table: list of dicts, one row per soil. Required keys: \"name\",\n"
                     "        \"color\" (text \"r, g, b\", e.g. \"166,42,42\"), \"qc_min\", \"qc_max\", \"qc_norm_min\",\n"
                     "        \"qc_norm_max\", \"rf_min\", \"rf_max\", \"gamma_dry_min\", \"gamma_dry_max\",\n"
                     "        \"gamma_wet_min\" and \"gamma_wet_max\"; a bound may be the empty string '' when it is\n"
                     "        absent. Further material properties may follow.\n"
                     "    ground_water_level: decides whether the dry or the wet unit weight is used when the\n"
                     "        normalised cone resistance qc_norm of each measurement is computed (table 2.b of\n"
                     "        NEN 9997-1+C1:2012, point g).\n\n"
                     "Example:\n"
                     "    >>> TableMethod([{\"name\": \"Sand\", \"color\": \"255,255,0\", \"qc_min\": 5, \"qc_max\": '',\n"
                     "    ...               \"qc_norm_min\": '', \"qc_norm_max\": '', \"rf_min\": '', \"rf_max\": 1,\n"
                     "    ...               \"gamma_dry_min\": 17, \"gamma_dry_max\": '', \"gamma_wet_min\": 19,\n"
                     "    ...               \"gamma_wet_max\": ''}], ground_water_level=-1.5)");
    pyclass::init(table, [](py::object self, py::object qualification_table, py::object ground_water_level) {
        self.attr("qualification_table") = qualification_table;
        self.attr("ground_water_level") = ground_water_level;
    }, "qualification_table"_a, "ground_water_level"_a);
    pyclass::method(table, "get_method_params", [](py::object self) {
        py::dict params;
        params["qualification_table"] = self.attr("qualification_table");
        params["ground_water_level"] = self.attr("ground_water_level");
        return params;
    }, "Returns {\"qualification_table\": ..., \"ground_water_level\": ...}, holding the objects given to "
       "the constructor.");
    recount_abstract_methods(table);

    py::object ic = host::global("NormalizedSoilBehaviourTypeIndexMethod");
    pyclass::set_doc(ic,
                     "Classification by the normalised soil behaviour type index Ic.\n\n"
                     "Each measurement gets Ic after Robertson (2009), with pa = 100 kPa:\n"
                     "    Qtn = ((qt - sigma_v0) / pa) * Cn, where the stress normalisation factor\n"
                     "        Cn = (pa / sigma'_v0)^n is limited to at most 1.7;\n"
                     "    n = 0.381 Ic + 0.05 sigma'_v0 / pa - 0.15, at most 1 (solved together with Ic);\n"
                     "    Ic = sqrt((3.47 - log10 Qtn)^2 + (log10 Fr + 1.22)^2), Fr = fs / (qt - sigma_v0) in %.\n"
                     "A measurement (or, with a resolution, each step's mean Ic) belongs to the first row of\n"
                     "ic_table whose ic_min to ic_max holds it.\n\n"
                     "Args:\n"
                     "    ic_table: list of dicts, one row per soil, with the keys \"name\", \"ic_min\", \"ic_max\",\n"
                     "        \"color\" (text \"r, g, b\") and \"cone_factor\".\n"
                     "    ground_water_level: used to compute the normalised cone resistance qc_norm.\n"
                     "    specific_weight_soil: unit weight of the soil in kN/m^3, used for the effective vertical\n"
                     "        stress (one value for all layers).\n"
                     "    resolution: classification step in metres; None classifies each measurement line by\n"
                     "        itself.\n\n"
                     "Example:\n"
                     "    >>> NormalizedSoilBehaviourTypeIndexMethod([{\"name\": \"Sand\", \"ic_min\": 1.31,\n"
                     "    ...     \"ic_max\": 2.05, \"color\": \"255,255,0\", \"cone_factor\": 20}], -1.5, 18, 0.1)");
    pyclass::init(ic, [](py::object self, py::object ic_table, py::object ground_water_level,
                         py::object specific_weight_soil, py::object resolution) {
        self.attr("ic_table") = ic_table;
        self.attr("ground_water_level") = ground_water_level;
        self.attr("specific_weight_soil") = specific_weight_soil;
        self.attr("resolution") = resolution;
    }, "ic_table"_a, "ground_water_level"_a, "specific_weight_soil"_a, "resolution"_a = py::none());
    pyclass::method(ic, "get_method_params", [](py::object self) {
        py::dict params;
        params["ic_table"] = self.attr("ic_table");
        params["ground_water_level"] = self.attr("ground_water_level");
        params["specific_weight_soil"] = self.attr("specific_weight_soil");
        params["resolution"] = self.attr("resolution");
        return params;
    }, "Returns {\"ic_table\": ..., \"ground_water_level\": ..., \"specific_weight_soil\": ..., "
       "\"resolution\": ...}, holding the objects given to the constructor.");
    recount_abstract_methods(ic);
}

// Names that start and end with a double underscore belong to Python ("__class__", "__dict__"):
// as attributes they would change what the object is rather than add data to it.
bool is_reserved_name(py::handle name) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
    if (length < 2) return false;
    auto underscore = [&](Py_ssize_t i) { return PyUnicode_READ_CHAR(name.ptr(), i) == '_'; };
    return underscore(0) && underscore(1) && underscore(length - 2) && underscore(length - 1);
}

// Collects `mapping.items()` as (name, value) pairs, refusing a name that setattr would refuse
// or that is reserved, so that the constructor fails before it has set anything. `kind` says
// what the names are ("header" or "column") in the message.
void collect_attributes(py::handle mapping, const char* kind, std::vector<std::pair<py::object, py::object>>& into) {
    for (py::handle item : mapping.attr("items")()) {
        auto pair = unpack_pair(item);
        if (!PyUnicode_Check(pair.first.ptr()))
            throw py::type_error("attribute name must be string, not '" +
                                 std::string(py::str(py::type::of(pair.first).attr("__name__"))) + "'");
        if (is_reserved_name(pair.first)) {
            py::str text = py::str("GEFData cannot take the {} {!r}: names that start and end with '__' are "
                                   "reserved for Python").format(kind, pair.first);
            PyErr_SetObject(PyExc_ValueError, text.ptr());
            throw py::error_already_set();
        }
        into.push_back(std::move(pair));
    }
}

void register_gef_data() {
    py::object gef_data = host::global("GEFData");
    pyclass::set_doc(gef_data,
                     "The parsed data of one GEF file: its headers and measurement columns as attributes.\n\n"
                     "Args:\n"
                     "    gef_dict: the GEF dictionary (a dict or a Munch), as made by GEFFile.parse or as\n"
                     "        returned by serialize:\n"
                     "        {\n"
                     "            \"headers\": {header name: value, ...},\n"
                     "            \"measurement_data\": {column name: [value per measurement line], ...},\n"
                     "        }\n\n"
                     "        Compulsory headers: \"name\" and \"ground_level_wrt_reference\". Usual optional\n"
                     "        headers: \"height_system\", \"project_name\", \"project_id\", \"gef_file_date\",\n"
                     "        \"gef_version_number\", \"x_y_coordinates\", \"coordinate_system\",\n"
                     "        \"excavation_depth\", \"measurement_standard\", \"surface_area_quotient_tip\",\n"
                     "        \"water_level\", \"cone_tip_area\" and \"cone_type\". The plots also need\n"
                     "        \"max_measurement_depth_wrt_reference\".\n\n"
                     "        Compulsory columns: \"elevation\" (mm), \"qc\" and \"Rf\". Optional columns: \"u2\",\n"
                     "        \"fs\", \"penetration_length\", \"corrected_depth\", \"inclination\",\n"
                     "        \"inclination_n_s\" and \"inclination_e_w\".\n\n"
                     "Every header and every column becomes an attribute of the same name; a column wins over a\n"
                     "header of the same name. num_of_measurements is the length of \"elevation\".\n\n"
                     "Example:\n"
                     "    >>> gef_data = GEFFile.from_file(\"cpt.gef\").parse(additional_columns=[\"fs\"])\n"
                     "    >>> layout = gef_data.classify(TableMethod(qualification_table, ground_water_level=-1.5))");

    pyclass::init(gef_data, [](py::object self, py::object gef_dict) {
        // Everything that can fail is read first: a failing constructor leaves the object bare.
        py::object name = gef_dict[py::str("headers")][py::str("name")];
        py::object rf = gef_dict[py::str("measurement_data")][py::str("Rf")];
        py::object qc = gef_dict[py::str("measurement_data")][py::str("qc")];
        py::object elevation = gef_dict[py::str("measurement_data")][py::str("elevation")];
        const Py_ssize_t count = PyObject_Length(elevation.ptr());
        if (count < 0) throw py::error_already_set();
        std::vector<std::pair<py::object, py::object>> attributes = {
            {py::str("classification_data"), gef_dict},
            {py::str("name"), name},
            {py::str("Rf"), rf},
            {py::str("qc"), qc},
            {py::str("elevation"), elevation},
            {py::str("num_of_measurements"), py::int_(count)},
            {py::str("max_measurement_depth_wrt_reference"), py::none()},
            {py::str("ground_level_wrt_reference"), py::none()},
            {py::str("height_system"), py::none()},
        };
        // Headers first, then columns: a later source wins for a shared name.
        collect_attributes(gef_dict[py::str("headers")], "header", attributes);
        collect_attributes(gef_dict[py::str("measurement_data")], "column", attributes);

        // A subclass's property or __setattr__ can still make setattr fail half-way; put the
        // instance's own attributes back as they were so that no partially built object remains.
        py::dict own = self.attr("__dict__");
        py::dict before = own.attr("copy")();
        try {
            for (auto& [key, value] : attributes) py::setattr(self, key, value);
        } catch (py::error_already_set&) {
            own.clear();
            own.attr("update")(before);
            throw;
        }
    }, "gef_dict"_a);

    pyclass::method(gef_data, "serialize", [](py::object self) { return self.attr("classification_data"); },
                    "Returns the GEF dictionary the object was built from (the very object, not a copy).\n\n"
                    "Changing attributes of the GEFData object does not change it; changing the returned\n"
                    "dictionary does.");

    pyclass::method(gef_data, "classify", [](py::object self, py::object method,
                                             py::object return_soil_layout_obj) -> py::object {
        const char* kind = nullptr;
        if (py::isinstance(method, host::global("RobertsonMethod"))) {
            kind = "robertson";
            if (!has_attribute(self, "corrected_depth"))
                throw py::attribute_error("The corrected_depth is necessary for robertson classification");
            if (!has_attribute(self, "fs"))
                throw py::attribute_error("The attribute fs is necessary for robertson classification");
        } else if (py::isinstance(method, host::global("TableMethod"))) {
            kind = "table";
        } else if (py::isinstance(method, host::global("NormalizedSoilBehaviourTypeIndexMethod"))) {
            kind = "ic";
        } else {
            py::object error = pyclass::builtin("OSError")("Unsupported classification method of type:",
                                                            py::type::of(method));
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
            throw py::error_already_set();
        }

        py::dict payload;
        payload["cpt_data"] = self.attr("serialize")();
        payload["classification_method"] = kind;
        payload["method_params"] = method.attr("get_method_params")();
        py::dict error_mapping;
        error_mapping["CPTClassificationError"] = host::global("GEFClassificationError");
        error_mapping["RobertsonProcessingException"] = host::global("GEFClassificationError");
        py::object result = post_job(classify_job_path, payload, error_mapping);

        py::dict layout_dict;
        layout_dict["layers"] = result[py::str("soil_layers")];
        py::object layout = host::global("SoilLayout").attr("from_dict")(layout_dict);
        if (is_true_itself(return_soil_layout_obj)) return layout;
        return layout.attr("serialize")();
    }, "method"_a, "return_soil_layout_obj"_a = true,
       "Classifies the measurements into a soil layout with the job service.\n\n"
       "Args:\n"
       "    method: a RobertsonMethod, TableMethod or NormalizedSoilBehaviourTypeIndexMethod.\n"
       "        Robertson classification needs the columns \"corrected_depth\" and \"fs\".\n"
       "    return_soil_layout_obj: True (the value itself) returns a SoilLayout; any other value\n"
       "        returns its dictionary form (SoilLayout.serialize()).\n\n"
       "Raises:\n"
       "    AttributeError: Robertson classification without corrected_depth or fs.\n"
       "    IOError: the method is of an unsupported type.\n"
       "    GEFClassificationError: the job could not classify the measurements.");
}

void register_gef_file() {
    // GEFFile keeps no class docstring; its methods are documented.
    py::object gef_file = host::global("GEFFile");
    pyclass::init(gef_file, [](py::object self, py::object file_content) {
        self.attr("file_content") = file_content;
    }, "file_content"_a);

    pyclass::classmethod(gef_file, "from_file", [](py::object cls, py::object file_path, py::object encoding) {
        // open() also takes an int as a file descriptor and closes it afterwards: a stray number
        // (or a bool) would read and then close one of the process's own descriptors, such as
        // stdin or stdout. Only paths are accepted; os.fspath gives the usual TypeError otherwise.
        py::object path = host::global("os").attr("fspath")(file_path);
        py::object file = pyclass::builtin("open")(path, "r", "encoding"_a = encoding);
        // As a with-block: the file is closed on every path, and an error of reading wins.
        py::object content;
        file.attr("__enter__")();
        try {
            content = file.attr("read")();
        } catch (py::error_already_set& e) {
            file.attr("__exit__")(e.type(), e.value(), e.trace());
            throw;
        }
        file.attr("__exit__")(py::none(), py::none(), py::none());
        return cls(content);
    }, "cls"_a, "file_path"_a, "encoding"_a = "ISO-8859-1",
       "Reads a GEF file as text and returns a GEFFile (an instance of the class it is called on).\n\n"
       "Args:\n"
       "    file_path: path of the file (str, bytes or os.PathLike); a file descriptor is refused.\n"
       "    encoding: text encoding of the file; the default \"ISO-8859-1\" decodes every byte.\n\n"
       "Line ends \"\\r\\n\" and \"\\r\" are read as \"\\n\".");

    pyclass::method(gef_file, "parse", [](py::object self, py::object additional_columns, py::object /*verbose*/,
                                          py::object return_gef_data_obj) -> py::object {
        if (additional_columns.is_none()) additional_columns = py::list();
        py::list always;
        for (const char* column : {"elevation", "qc", "Rf"}) always.append(column);
        // List concatenation, as documented: a tuple or a string of columns is refused with its TypeError.
        auto requested_list = py::reinterpret_steal<py::object>(PyNumber_Add(always.ptr(), additional_columns.ptr()));
        if (!requested_list) throw py::error_already_set();
        py::set requested(requested_list);

        py::dict payload;
        payload["file_content"] = base64_of_utf8(self.attr("file_content"));
        py::dict error_mapping;
        error_mapping["NotImplementedError"] = py::handle(PyExc_NotImplementedError);
        error_mapping["ParsingError"] = host::global("GEFParsingError");
        py::object result = post_job(parse_job_path, payload, error_mapping);

        py::object headers = result[py::str("headers")];
        py::object measurement_data = result[py::str("measurement_data")];
        // Kept in the job's order: plots and stored dictionaries show the columns as measured.
        py::dict columns;
        for (py::handle item : measurement_data.attr("items")()) {
            auto [key, value] = unpack_pair(item);
            if (contains(requested, key)) columns[key] = value;
        }
        py::dict gef_dict;
        gef_dict["headers"] = headers;
        gef_dict["measurement_data"] = columns;
        if (is_true_itself(return_gef_data_obj)) return host::global("GEFData")("gef_dict"_a = gef_dict);
        return gef_dict;
    }, "additional_columns"_a = py::none(), "verbose"_a = true, "return_gef_data_obj"_a = true,
       "Parses the GEF file with the job service.\n\n"
       "Args:\n"
       "    additional_columns: list of measurement columns wanted besides \"elevation\", \"qc\" and \"Rf\",\n"
       "        e.g. \"penetration_length\", \"corrected_depth\", \"fs\", \"u2\", \"inclination\",\n"
       "        \"inclination_n_s\" and \"inclination_e_w\". Columns the file lacks are left out.\n"
       "    verbose: accepted for compatibility; it has no effect.\n"
       "    return_gef_data_obj: True (the value itself) returns a GEFData object; any other value\n"
       "        returns the GEF dictionary {\"headers\": ..., \"measurement_data\": ...}.\n\n"
       "Raises:\n"
       "    GEFParsingError: the file could not be parsed.\n"
       "    NotImplementedError: the file holds data the parser does not support.");
}

}  // namespace

py::dict classification_method_body() {
    py::dict body;
    body["__doc__"] = "Abstract class to allow new classification methods to be added";
    py::object get_method_params = py::cpp_function(
        [](py::object) -> py::dict {
            pyclass::raise(PyExc_NotImplementedError, "fallback to _ClassificationMethod baseclass");
        },
        py::name("get_method_params"), "self"_a,
        "Returns the parameters of the classification method as a dictionary.\n\n"
        "Every classification method overrides it; this base version raises NotImplementedError.");
    body["get_method_params"] = pyclass::abstract_method(get_method_params);
    return body;
}

void register_cpt(py::module_&) {
    register_classification_methods();
    register_gef_data();
    register_gef_file();
}

}  // namespace geo
