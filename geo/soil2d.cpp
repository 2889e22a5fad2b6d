// Two-dimensional soil model: piezometric lines, 2D layers bounded by polylines, and 2D layouts.
//
// All geometry is the host's: these classes only call Polyline operations, in the order the
// layout rules need them, so a replaced host type changes their behaviour consistently.
#include "geo/geo.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace geo {
namespace {

using namespace pybind11::literals;
using host::global;

std::string text(py::handle value) { return py::str(value); }

// Python's `a == b` (no identity shortcut), then its truth value.
bool equals(py::handle a, py::handle b) {
    return pyclass::truthy(pyclass::compare(a, b, Py_EQ));
}

// Python's `a != b`.
bool differs(py::handle a, py::handle b) {
    return pyclass::truthy(pyclass::compare(a, b, Py_NE));
}

// math.isclose with the host's shared tolerances, read at each call.
bool isclose_host(py::handle a, py::handle b) { return host::isclose_with_host_tolerances(a, b); }

// ---------------------------------------------------------------------------------------------
// Host points read as numbers
//
// The host documents its geometry's tolerance model: two coordinates are the same when
// |a - b| <= max(ISCLOSE_RTOL * max(|a|, |b|), ISCLOSE_ATOL) (tolerances from terrak.core, read
// when the comparison runs), and a point lies on a line when its distance to it is within
// max(ISCLOSE_ATOL, ISCLOSE_RTOL * its largest coordinate), so a vertex of a line lies on it. Each
// host call costs far more than that arithmetic, so the loops over many points below compare
// exact host Points here, while the host's Point and Polyline classes are still the ones this
// module imported, unchanged, and the tolerances are plain non-negative floats. Anything else is
// asked of the host.

struct HostGeometry {
    PyTypeObject* point = nullptr;
    PyObject* point_eq = nullptr;
    PyObject* point_coordinates[3] = {nullptr, nullptr, nullptr};  // the properties x, y, z
    PyTypeObject* polyline = nullptr;
    // What the shortcuts below stand in for: each name with its entry in the Polyline class.
    std::vector<std::pair<PyObject*, PyObject*>> polyline_methods;
    PyObject* all_points_on = nullptr;  // Polyline._all_points_on
    PyObject* polyline_from_coordinates = nullptr;  // Polyline._from_coordinates
    PyObject* point_init = nullptr;
    PyObject* polyline_init = nullptr;
    PyTypeObject* polygon = nullptr;
    PyObject* polygon_init = nullptr;
    PyObject* polygons_between = nullptr;  // Polygon._between_profiles
};

HostGeometry& host_geometry() {
    static HostGeometry kept;
    return kept;
}

PyObject* class_entry(py::handle cls, const char* name) {
    return py::object(cls.attr("__dict__")[name]).release().ptr();
}

void remember_host_geometry(py::module_& m) {
    HostGeometry& kept = host_geometry();
    py::object Point = m.attr("Point");
    py::object Polyline = m.attr("Polyline");
    py::object Polygon = m.attr("Polygon");
    kept.point = reinterpret_cast<PyTypeObject*>(Point.ptr());
    kept.point_eq = class_entry(Point, "__eq__");
    const char* coordinates[3] = {"x", "y", "z"};
    for (int k = 0; k < 3; ++k) kept.point_coordinates[k] = class_entry(Point, coordinates[k]);
    kept.polyline = reinterpret_cast<PyTypeObject*>(Polyline.ptr());
    for (const char* name : {"points", "start_point", "end_point", "point_is_on_polyline", "intersections_with_polyline",
                             "get_polyline_between"})
        kept.polyline_methods.emplace_back(host::intern(name), class_entry(Polyline, name));
    kept.all_points_on = py::object(Polyline.attr("_all_points_on")).release().ptr();
    kept.polyline_from_coordinates = py::object(Polyline.attr("_from_coordinates")).release().ptr();
    kept.point_init = class_entry(Point, "__init__");
    kept.polyline_init = class_entry(Polyline, "__init__");
    kept.polygon = reinterpret_cast<PyTypeObject*>(Polygon.ptr());
    kept.polygon_init = class_entry(Polygon, "__init__");
    kept.polygons_between = py::object(Polygon.attr("_between_profiles")).release().ptr();
    for (py::object* cls : {&Point, &Polyline, &Polygon}) cls->release();  // kept for the life of the process
}

// An exact host Polyline whose class still has the methods and properties this module imported,
// none of them hidden by an attribute of the instance: its answers are then the kernel's, and a
// shortcut into the kernel gives what the calls would.
bool is_host_polyline(py::handle line) {
    const HostGeometry& kept = host_geometry();
    if (kept.polyline == nullptr || !Py_IS_TYPE(line.ptr(), kept.polyline)) return false;
    for (const auto& [name, entry] : kept.polyline_methods)
        if (_PyType_Lookup(kept.polyline, name) != entry) return false;
    PyObject** dict = _PyObject_GetDictPtr(line.ptr());
    if (dict == nullptr || *dict == nullptr || PyDict_GET_SIZE(*dict) == 0) return true;
    for (const auto& method : kept.polyline_methods) {
        const int shadowed = PyDict_Contains(*dict, method.first);
        if (shadowed != 0) {
            if (shadowed < 0) throw py::error_already_set();
            return false;
        }
    }
    return true;
}

// Host Points compare by the host's own equality.
bool host_point_equality_unchanged() {
    const HostGeometry& kept = host_geometry();
    return kept.point != nullptr && _PyType_Lookup(kept.point, HOST_NAME("__eq__").ptr()) == kept.point_eq;
}

struct Tolerance {
    double rtol, atol;
};

// The tolerances the host's geometry reads, when its classes are as imported; nullopt otherwise.
std::optional<Tolerance> host_point_tolerance() {
    const HostGeometry& kept = host_geometry();
    if (kept.point == nullptr || global("Point").ptr() != reinterpret_cast<PyObject*>(kept.point)) return std::nullopt;
    PyTypeObject* point = kept.point;
    if (_PyType_Lookup(point, HOST_NAME("__eq__").ptr()) != kept.point_eq ||
        _PyType_Lookup(point, HOST_NAME("x").ptr()) != kept.point_coordinates[0] ||
        _PyType_Lookup(point, HOST_NAME("y").ptr()) != kept.point_coordinates[1] ||
        _PyType_Lookup(point, HOST_NAME("z").ptr()) != kept.point_coordinates[2])
        return std::nullopt;
    py::object core = py::module_::import("terrak.core");
    py::object rtol = core.attr(HOST_NAME("ISCLOSE_RTOL"));
    py::object atol = core.attr(HOST_NAME("ISCLOSE_ATOL"));
    if (!PyFloat_CheckExact(rtol.ptr()) || !PyFloat_CheckExact(atol.ptr())) return std::nullopt;
    const Tolerance tol{PyFloat_AS_DOUBLE(rtol.ptr()), PyFloat_AS_DOUBLE(atol.ptr())};
    if (!(tol.rtol >= 0.0 && tol.atol >= 0.0 && std::isfinite(tol.rtol) && std::isfinite(tol.atol))) return std::nullopt;
    return tol;
}

struct Coordinates {
    double x, y, z;
};

// The coordinates of an exact host Point; false for anything else.
bool coordinates_of(py::handle point, Coordinates& out) {
    if (!Py_IS_TYPE(point.ptr(), host_geometry().point)) return false;
    double* fields[3] = {&out.x, &out.y, &out.z};
    const py::handle names[3] = {HOST_NAME("x"), HOST_NAME("y"), HOST_NAME("z")};
    for (int k = 0; k < 3; ++k) {
        py::object value = py::reinterpret_steal<py::object>(PyObject_GetAttr(point.ptr(), names[k].ptr()));
        if (!value) throw py::error_already_set();
        if (!PyFloat_CheckExact(value.ptr())) return false;
        *fields[k] = PyFloat_AS_DOUBLE(value.ptr());
    }
    return true;
}

bool same_coordinate(double a, double b, const Tolerance& tol) {
    if (a == b) return true;
    return std::fabs(a - b) <= std::max(tol.rtol * std::max(std::fabs(a), std::fabs(b)), tol.atol);
}

bool same_point(const Coordinates& a, const Coordinates& b, const Tolerance& tol) {
    return same_coordinate(a.x, b.x, tol) && same_coordinate(a.y, b.y, tol) && same_coordinate(a.z, b.z, tol);
}

// Polyline.get_lowest_or_highest_profile_x(a, b, lowest=lowest), called without the dictionary
// of keywords a generic call builds: layouts take several envelopes per layer.
py::object envelope(py::handle a, py::handle b, bool lowest) {
    static PyObject* const keywords = py::make_tuple(HOST_NAME("lowest")).release().ptr();
    py::object function = global("Polyline").attr(HOST_NAME("get_lowest_or_highest_profile_x"));
    PyObject* args[] = {nullptr, a.ptr(), b.ptr(), lowest ? Py_True : Py_False};
    PyObject* result = PyObject_Vectorcall(function.ptr(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords);
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// ---------------------------------------------------------------------------------------------
// PiezoLine

void register_piezo_line(py::module_& m) {
    py::object cls = m.attr(HOST_NAME("PiezoLine"));
    pyclass::set_doc(cls,
        "A piezometric line: essentially a polyline with a flag added to mark the phreatic polyline.\n\n"
        "Args:\n    points: the points of the line, left to right.\n"
        "    phreatic: True for the phreatic (free water) line.");

    pyclass::init(cls, [](py::object self, py::object points, py::object phreatic) {
        self.attr(HOST_NAME("phreatic")) = phreatic;  // before the base initialiser, as subclasses may rely on
        global("Polyline").attr(HOST_NAME("__init__"))(self, points);
    }, "points"_a, "phreatic"_a = false);

    pyclass::method(cls, "serialize", [](py::object self) {
        py::dict result;
        result[HOST_NAME("points")] = global("Polyline").attr(HOST_NAME("serialize"))(self);  // the base form, never an override
        result[HOST_NAME("phreatic")] = self.attr(HOST_NAME("phreatic"));
        return result;
    }, py::doc("The line as a dictionary: {'points': <serialised polyline>, 'phreatic': bool}."));

    pyclass::classmethod(cls, "from_dict", [](py::object cls, py::object d) {
        py::object points = global("Polyline").attr(HOST_NAME("_deserialize"))(d["points"]).attr(HOST_NAME("points"));
        return cls(points, d["phreatic"]);
    }, "cls"_a, "piezo_line_dict"_a, py::doc("Rebuilds a line from the dictionary made by serialize()."));

    pyclass::classmethod(cls, "from_lines", [](py::object cls, py::object lines, py::object phreatic) {
        py::list points;
        std::size_t index = 0;
        for (py::handle line : lines) {
            if (index == 0) {
                points.append(line.attr(HOST_NAME("start_point")));
            } else if (!equals(points[py::len(points) - 1], line.attr(HOST_NAME("start_point")))) {
                throw py::value_error("Start point of line " + std::to_string(index) +
                                      " does not coincide with end point of previous line.");
            }
            points.append(line.attr(HOST_NAME("end_point")));
            ++index;
        }
        return cls(points, phreatic);
    }, "cls"_a, "lines"_a, "phreatic"_a = false,
       py::doc("Builds one line from consecutive Lines or Polylines; the end of each piece must coincide with "
               "the start of the next. Only the pieces' end points are used."));
}

// ---------------------------------------------------------------------------------------------
// SoilLayer2D

void check_layer_boundary(py::handle top, py::handle bottom, const char* end, const char* which) {
    py::object top_x = top.attr(end).attr(HOST_NAME("x"));
    py::object bottom_x = bottom.attr(end).attr(HOST_NAME("x"));
    // The standard library's tolerances on purpose: the boundaries of one layer must be the same x.
    if (!pyclass::truthy(global("math").attr(HOST_NAME("isclose"))(top_x, bottom_x))) {
        throw py::value_error(std::string("Top and bottom of soil layer 2D do not have identical ") + which +
                              " points. top_profile." + end + ".x: " + text(top_x) + ", bottom_profile." + end +
                              ".x: " + text(bottom_x));
    }
}

void check_top_not_below_bottom(py::handle top, py::handle bottom) {
    // Where the bottom rises above the top, the upper envelope leaves the top profile.
    py::object upper = envelope(top, bottom, false);
    if (is_host_polyline(upper) && is_host_polyline(top)) {
        if (!pyclass::truthy(py::handle(host_geometry().all_points_on)(upper, top)))
            throw py::value_error("Top profile lies (partly) below bottom profile of layer");
        return;
    }
    py::object points = upper.attr(HOST_NAME("points"));
    for (py::handle point : points) {
        if (!pyclass::truthy(top.attr(HOST_NAME("point_is_on_polyline"))(point)))
            throw py::value_error("Top profile lies (partly) below bottom profile of layer");
    }
}

py::object profile_between(py::handle profile, py::handle start, py::handle end) {
    return profile.attr(HOST_NAME("get_polyline_between"))(start, end, "inclusive"_a = true);
}

// The outline of one stretch between two meeting points of the profiles (or the boundaries):
// along the top left to right, back along the bottom, leaving out a bottom point equal to the
// outline's first point or to its last point so far.
py::list stretch_outline(py::handle top, py::handle bottom, py::handle previous, py::handle current) {
    auto start_of = [&](py::handle profile) { return previous.is_none() ? profile.attr(HOST_NAME("start_point")) : py::reinterpret_borrow<py::object>(previous); };
    auto end_of = [&](py::handle profile) { return current.is_none() ? profile.attr(HOST_NAME("end_point")) : py::reinterpret_borrow<py::object>(current); };
    py::list points = profile_between(top, start_of(top), end_of(top)).attr(HOST_NAME("points"));
    py::list bottom_points = profile_between(bottom, start_of(bottom), end_of(bottom)).attr(HOST_NAME("points"));
    // Host points are compared as numbers, by the host's documented rule, while their equality is
    // the host's own.
    const std::optional<Tolerance> tol = host_point_tolerance();
    std::optional<Coordinates> first, last;
    Coordinates read{};
    if (tol && py::len(points) > 0 && coordinates_of(points[0], read)) first = read;
    if (tol && py::len(points) > 0 && coordinates_of(points[py::len(points) - 1], read)) last = read;
    for (Py_ssize_t i = py::len(bottom_points) - 1; i >= 0; --i) {
        py::object point = bottom_points[i];
        std::optional<Coordinates> here;
        if (tol && coordinates_of(point, read)) here = read;
        const bool repeated = here && first && last
                                  ? same_point(*here, *first, *tol) || same_point(*here, *last, *tol)
                                  : equals(point, points[0]) || equals(point, points[py::len(points) - 1]);
        if (repeated) continue;
        points.append(point);
        last = here;
    }
    return points;
}

py::list layer_polygons(py::object self) {
    py::object top = self.attr(HOST_NAME("top_profile"));
    py::object bottom = self.attr(HOST_NAME("bottom_profile"));
    const HostGeometry& kept = host_geometry();
    // The whole walk in the kernel, while every object it stands for is the host's own.
    if (global("Polygon").ptr() == reinterpret_cast<PyObject*>(kept.polygon) &&
        _PyType_Lookup(kept.polygon, HOST_NAME("__init__").ptr()) == kept.polygon_init &&
        host_point_equality_unchanged() && is_host_polyline(top) && is_host_polyline(bottom))
        return py::handle(kept.polygons_between)(top, bottom);
    py::list intersections = bottom.attr(HOST_NAME("intersections_with_polyline"))(top);
    py::list result;
    py::object previous = py::none();
    const Py_ssize_t count = py::len(intersections);
    for (Py_ssize_t i = 0; i <= count; ++i) {
        py::object current = i < count ? py::object(intersections[i]) : py::none();
        py::list points = stretch_outline(top, bottom, previous, current);
        if (py::len(points) > 2) {
            try {
                result.append(global("Polygon")(points));
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_ValueError)) throw;  // a stretch of zero area has no polygon
            }
        }
        previous = current;
    }
    return result;
}

py::tuple layer_view(py::object self, py::object visualize_border, py::object opacity, py::object material) {
    py::object Material = global("Material");
    py::object Point = global("Point");
    py::object border_material = Material("soil_border", "color"_a = global("Color")(255, 0, 0), "metalness"_a = 0,
                                          "roughness"_a = 1);
    py::list content;
    py::list labels;
    if (!pyclass::truthy(material))
        material = Material("soil_material", "color"_a = self.attr(HOST_NAME("soil")).attr(HOST_NAME("color")), "opacity"_a = opacity);
    for (py::handle polygon : layer_polygons(self)) {
        polygon.attr(HOST_NAME("material")) = material;
        content.append(polygon);
        labels.append(global("Label")(Point(*polygon.attr(HOST_NAME("centroid"))), self.attr(HOST_NAME("soil")).attr(HOST_NAME("name"))));
        if (!pyclass::truthy(visualize_border)) continue;
        py::list outline = polygon.attr(HOST_NAME("points"));
        outline.append(outline[0]);
        for (Py_ssize_t i = 0; i + 1 < py::len(outline); ++i) {
            py::object a = outline[i];
            py::object b = outline[i + 1];
            py::object edge = global("Line")(Point(a.attr(HOST_NAME("x")), a.attr(HOST_NAME("y")), 1), Point(b.attr(HOST_NAME("x")), b.attr(HOST_NAME("y")), 1));
            content.append(global("CircularExtrusion")(0.05, edge, "material"_a = border_material));
        }
    }
    return py::make_tuple(global("Group")(content), labels);
}

py::object first_hit(py::handle profile, py::handle x, bool last) {
    py::object hits = profile.attr(HOST_NAME("intersections_with_x_location"))(x);
    return hits[py::int_(last ? -1 : 0)].attr(HOST_NAME("y"));  // an empty list raises IndexError, as indexing it would
}

void register_soil_layer_2d(py::module_& m) {
    py::object cls = m.attr(HOST_NAME("SoilLayer2D"));
    pyclass::set_doc(cls,
        "One layer of a two-dimensional soil layout: a soil between a top and a bottom profile.\n\n"
        "Both profiles are monotonic ascending in x and have identical start x and end x, which are the left and "
        "right boundaries. The profiles may overlap (zero thickness over one or more ranges) but not cross, and the "
        "top profile may never lie below the bottom profile.\n\n"
        "Args:\n    soil: the Soil of the layer.\n    top_profile: upper boundary (Polyline), left to right.\n"
        "    bottom_profile: lower boundary (Polyline), left to right.\n"
        "    properties: optional layer properties (dict or Munch).\n"
        "    piezo_line_top: optional PiezoLine of the top of the layer.\n"
        "    piezo_line_bottom: optional PiezoLine of the bottom of the layer.");

    pyclass::init(cls, [](py::object self, py::object soil, py::object top, py::object bottom, py::object properties,
                          py::object piezo_top, py::object piezo_bottom) {
        check_layer_boundary(top, bottom, "start_point", "start");
        check_layer_boundary(top, bottom, "end_point", "end");
        check_top_not_below_bottom(top, bottom);
        py::object munched = host::munchify(properties.is_none() ? py::dict() : properties);
        self.attr(HOST_NAME("soil")) = soil;
        self.attr(HOST_NAME("top_profile")) = top;
        self.attr(HOST_NAME("bottom_profile")) = bottom;
        self.attr(HOST_NAME("piezo_line_top")) = piezo_top;
        self.attr(HOST_NAME("piezo_line_bottom")) = piezo_bottom;
        self.attr(HOST_NAME("properties")) = munched;
    }, "soil"_a, "top_profile"_a, "bottom_profile"_a, "properties"_a = py::none(), "piezo_line_top"_a = py::none(),
       "piezo_line_bottom"_a = py::none());

    pyclass::readonly_property(cls, "left_boundary",
        [](py::object self) -> py::object { return self.attr(HOST_NAME("bottom_profile")).attr(HOST_NAME("start_point")).attr(HOST_NAME("x")); },
        "x of the left boundary (the start of the bottom profile).");
    pyclass::readonly_property(cls, "right_boundary",
        [](py::object self) -> py::object { return self.attr(HOST_NAME("bottom_profile")).attr(HOST_NAME("end_point")).attr(HOST_NAME("x")); },
        "x of the right boundary (the end of the bottom profile).");

    pyclass::method(cls, "serialize", [](py::object self) {
        py::dict result;
        result[HOST_NAME("soil")] = self.attr(HOST_NAME("soil")).attr(HOST_NAME("serialize"))();
        result[HOST_NAME("top_profile")] = self.attr(HOST_NAME("top_profile")).attr(HOST_NAME("serialize"))();
        result[HOST_NAME("bottom_profile")] = self.attr(HOST_NAME("bottom_profile")).attr(HOST_NAME("serialize"))();
        result[HOST_NAME("properties")] = host::unmunchify(self.attr(HOST_NAME("properties")));
        for (const char* key : {"piezo_line_top", "piezo_line_bottom"}) {
            py::object line = self.attr(key);
            if (!line.is_none()) result[key] = line.attr(HOST_NAME("serialize"))();
        }
        return result;
    }, py::doc("The layer as a dictionary with the keys 'soil', 'top_profile', 'bottom_profile', 'properties' and, "
               "when present, 'piezo_line_top' and 'piezo_line_bottom'."));

    pyclass::classmethod(cls, "from_dict", [](py::object cls, py::object d) {
        py::object soil = global("Soil").attr(HOST_NAME("from_dict"))(d["soil"]);
        py::object top = global("Polyline").attr(HOST_NAME("_deserialize"))(d["top_profile"]);
        py::object bottom = global("Polyline").attr(HOST_NAME("_deserialize"))(d["bottom_profile"]);
        py::object properties = d.attr(HOST_NAME("get"))("properties", py::none());
        py::object lines[2];
        const char* keys[2] = {"piezo_line_top", "piezo_line_bottom"};
        for (int i = 0; i < 2; ++i) {
            lines[i] = d.contains(keys[i]) ? global("PiezoLine").attr(HOST_NAME("from_dict"))(d[keys[i]]) : py::none();
        }
        return cls(soil, top, bottom, properties, lines[0], lines[1]);
    }, "cls"_a, "soil_layer_dict"_a, py::doc("Rebuilds a layer from the dictionary made by serialize()."));

    pyclass::method(cls, "__repr__", [](py::object self) {
        return "<SoilLayer type='" + text(self.attr(HOST_NAME("soil")).attr(HOST_NAME("name"))) + "'>";
    });
    pyclass::method(cls, "update_soil_properties", [](py::object self, py::object properties) {
        self.attr(HOST_NAME("soil")).attr(HOST_NAME("update_properties"))(properties);
    }, "properties"_a, py::doc("Updates the properties of the layer's soil (shared by every layer that has it)."));
    pyclass::method(cls, "update_properties", [](py::object self, py::object properties) {
        self.attr(HOST_NAME("properties")) = host::munchify(properties);
    }, "properties"_a, py::doc("Replaces the layer's properties."));
    pyclass::method(cls, "polygons", [](py::object self) { return layer_polygons(self); },
        py::doc("One Polygon per stretch of non-zero thickness, left to right."));
    pyclass::method(cls, "visualize_geometry", &layer_view, "visualize_border"_a = false, "opacity"_a = 1,
        "material"_a = py::none(),
        py::doc("The layer's view: (Group of its polygons, and edge tubes when visualize_border, list of Labels)."));
    pyclass::method(cls, "height_at_x", [](py::object self, py::object x) -> py::object {
        return self.attr(HOST_NAME("top_y_coordinate"))(x) - self.attr(HOST_NAME("bottom_y_coordinate"))(x);
    }, "x"_a, py::doc("Thickness of the layer at x."));
    pyclass::method(cls, "top_y_coordinate", [](py::object self, py::object x) -> py::object {
        return first_hit(self.attr(HOST_NAME("top_profile")), x, false);
    }, "x"_a, py::doc("y where the top profile first reaches x."));
    pyclass::method(cls, "bottom_y_coordinate", [](py::object self, py::object x) -> py::object {
        return first_hit(self.attr(HOST_NAME("bottom_profile")), x, true);
    }, "x"_a, py::doc("y where the bottom profile last leaves x."));
}

// ---------------------------------------------------------------------------------------------
// SoilLayout2D

void check_layout(py::handle layers, py::handle left, py::handle right) {
    py::object previous_top;
    std::size_t index = 0;
    for (py::handle layer : layers) {
        if (!isclose_host(layer.attr(HOST_NAME("left_boundary")), left))
            throw py::value_error("Left boundary of SoilLayer2D does not match with the SoilLayout2D");
        if (!isclose_host(layer.attr(HOST_NAME("right_boundary")), right))
            throw py::value_error("Right boundary of SoilLayer2D does not match with the SoilLayout2D");
        if (previous_top && !pyclass::truthy(layer.attr(HOST_NAME("bottom_profile")).attr(HOST_NAME("is_equal_to"))(previous_top)))
            throw py::value_error("Bottom profile of layer " + std::to_string(index) +
                                  " does not coincide with top profile of previous layer");
        previous_top = layer.attr(HOST_NAME("top_profile"));
        ++index;
    }
}

py::object boundary_polyline(py::object self, const char* end) {
    py::list points;
    bool first = true;
    for (py::handle layer : self.attr(HOST_NAME("layers"))) {
        if (first) points.append(layer.attr(HOST_NAME("bottom_profile")).attr(end));
        first = false;
        py::object top = layer.attr(HOST_NAME("top_profile")).attr(end);
        if (!equals(top, points[py::len(points) - 1])) points.append(top);
    }
    return global("Polyline")(points);
}

void check_positional_order(py::handle layouts) {
    py::object previous;
    for (py::handle layout : layouts) {
        if (previous && layout.attr(HOST_NAME("x")) < previous.attr(HOST_NAME("x")))
            throw py::value_error("X locations of positional soil layouts are not ascending.");
        py::object previous_layer;
        for (py::handle layer : layout.attr(HOST_NAME("layers"))) {
            if (previous_layer && !isclose_host(layer.attr(HOST_NAME("bottom_of_layer")), previous_layer.attr(HOST_NAME("top_of_layer"))))
                throw py::value_error("SoilLayout is not ordered from bottom to top or not continuous");
            previous_layer = py::reinterpret_borrow<py::object>(layer);
        }
        previous = py::reinterpret_borrow<py::object>(layout);
    }
}

void check_positional_sameness(py::handle layouts) {
    py::list reference = layouts[py::int_(0)].attr(HOST_NAME("layers"));
    bool first = true;
    for (py::handle layout : layouts) {
        if (first) { first = false; continue; }
        py::list layers = layout.attr(HOST_NAME("layers"));
        if (py::len(layers) != py::len(reference))
            throw py::value_error("Number of soil layers is not identical in all soil layouts for soil layout at " +
                                  text(layout.attr(HOST_NAME("x"))));
        for (std::size_t i = 0; i < py::len(reference); ++i) {
            py::object expected = reference[i];
            py::object layer = layers[i];
            if (differs(expected.attr(HOST_NAME("properties")), layer.attr(HOST_NAME("properties"))))
                throw py::value_error("Soil layer " + std::to_string(i) + " is not identical in all soil layouts");
            py::object a = expected.attr(HOST_NAME("soil"));
            py::object b = layer.attr(HOST_NAME("soil"));
            if (differs(a.attr(HOST_NAME("name")), b.attr(HOST_NAME("name"))) || differs(a.attr(HOST_NAME("properties")), b.attr(HOST_NAME("properties"))))
                throw py::value_error("The soil in layer " + std::to_string(i) + " is not identical in all soil layouts");
        }
    }
}

py::object check_soil_layouts(py::object soil_layouts) {
    if (py::len(soil_layouts) < 2) throw py::value_error("A SoilLayout2D needs at least 2 positional soil layouts.");
    check_positional_order(soil_layouts);
    check_positional_sameness(soil_layouts);
    return py::none();
}

// The host's Point and Polyline classes are the ones this module imported, unchanged: a
// Polyline of Points made from numbers is then the kernel's line through those numbers.
bool host_point_and_polyline_in_place(py::handle Point, py::handle Polyline) {
    const HostGeometry& kept = host_geometry();
    return Point.ptr() == reinterpret_cast<PyObject*>(kept.point) &&
           Polyline.ptr() == reinterpret_cast<PyObject*>(kept.polyline) &&
           _PyType_Lookup(kept.point, HOST_NAME("__init__").ptr()) == kept.point_init &&
           _PyType_Lookup(kept.polyline, HOST_NAME("__init__").ptr()) == kept.polyline_init;
}

// A coordinate the host's Point takes as exactly this finite double, without running Python code.
bool plain_coordinate(py::handle value, double& out) {
    if (PyFloat_CheckExact(value.ptr())) {
        out = PyFloat_AS_DOUBLE(value.ptr());
    } else if (PyLong_CheckExact(value.ptr())) {
        out = PyLong_AsDouble(value.ptr());  // the host's own conversion of an int
        if (out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();  // too large: Point raises its error on the general path
            return false;
        }
    } else {
        return false;
    }
    return std::isfinite(out);
}

// The points of one boundary profile, in order. While `as_numbers` holds and every coordinate is
// plain, they are kept as numbers and the host makes the line in one call; from the first other
// coordinate on, each is a Point(x, y) made when it is added, as the plain loop would (those kept
// as numbers become Points first: making a Point of finite numbers has no effect to order).
class ProfilePoints {
public:
    // Point and Polyline as the caller read them from the module when it began.
    ProfilePoints(py::handle Point, py::handle Polyline, bool as_numbers)
        : Point_(Point), Polyline_(Polyline), as_numbers_(as_numbers) {}

    void add(py::handle x, py::handle y) {
        double a = 0.0, b = 0.0;
        if (as_numbers_ && plain_coordinate(x, a) && plain_coordinate(y, b)) {
            coordinates_.insert(coordinates_.end(), {a, b, 0.0});
            return;
        }
        if (as_numbers_) switch_to_points();
        points_.append(Point_(x, y));
    }

    py::object polyline() {
        if (!as_numbers_) return Polyline_(points_);
        py::bytes data(reinterpret_cast<const char*>(coordinates_.data()), coordinates_.size() * sizeof(double));
        return py::handle(host_geometry().polyline_from_coordinates)(data);
    }

private:
    void switch_to_points() {
        as_numbers_ = false;
        for (std::size_t k = 0; k < coordinates_.size(); k += 3)
            points_.append(Point_(coordinates_[k], coordinates_[k + 1]));
        coordinates_.clear();
    }

    py::handle Point_, Polyline_;
    bool as_numbers_;
    std::vector<double> coordinates_;  // x, y, z of each point
    py::list points_;
};

py::object layout_from_positional(py::object cls, py::object layouts, py::object top_profile, py::object piezo_lines) {
    global("_check_soil_layouts")(layouts);
    if (!pyclass::truthy(top_profile.attr(HOST_NAME("is_monotonic_ascending_x"))(false)))
        throw py::value_error("X values of top profile points are not ascending");
    py::object Point = global("Point");
    py::object Polyline = global("Polyline");
    py::list reference = layouts[py::int_(0)].attr(HOST_NAME("layers"));
    const std::size_t count = py::len(reference);
    py::list layers;
    for (std::size_t i = 0; i < count; ++i) {
        // Asked per layer: the layer made before may have run code that changed the classes.
        const bool as_numbers = host_point_and_polyline_in_place(Point, Polyline);
        ProfilePoints top_points(Point, Polyline, as_numbers), bottom_points(Point, Polyline, as_numbers);
        for (py::handle layout : layouts) {
            py::object layer = layout.attr(HOST_NAME("layers"))[py::int_(i)];
            py::object x = layout.attr(HOST_NAME("x"));
            top_points.add(x, layer.attr(HOST_NAME("top_of_layer")));
            bottom_points.add(layout.attr(HOST_NAME("x")), layer.attr(HOST_NAME("bottom_of_layer")));
        }
        // Interior boundaries are cut off at the ground: above it, the ground takes over.
        py::object top = i + 1 == count ? top_profile : envelope(top_points.polyline(), top_profile, true);
        py::object bottom = envelope(bottom_points.polyline(), top_profile, true);
        py::object reference_layer = reference[i];
        layers.append(global("SoilLayer2D")(reference_layer.attr(HOST_NAME("soil")), top, bottom,
                                            reference_layer.attr(HOST_NAME("properties"))));
    }
    return cls(layers, piezo_lines);
}

void register_soil_layout_2d(py::module_& m) {
    py::object cls = m.attr(HOST_NAME("SoilLayout2D"));
    pyclass::set_doc(cls,
        "A two-dimensional soil layout: SoilLayer2Ds stacked from the bottom layer up, with piezometric lines.\n\n"
        "Every layer stretches from the left boundary to the right boundary; there are no holes (the top profile of "
        "a layer is identical to the bottom profile of the next); a layer may have zero thickness over part of the "
        "width; all layers and piezometric lines span exactly the same x range. A layout is treated as immutable: "
        "operations that change it return a new one.\n\n"
        "Args:\n    soil_layers: the layers, bottom layer first.\n    piezo_lines: optional list of PiezoLines.");

    pyclass::init(cls, [](py::object self, py::object layers, py::object piezo_lines) {
        if (py::len(layers) == 0) throw py::value_error("soil layers are empty");
        py::object first = layers[py::int_(0)];
        py::object left = first.attr(HOST_NAME("left_boundary"));
        py::object right = first.attr(HOST_NAME("right_boundary"));
        check_layout(layers, left, right);
        py::object lines = pyclass::truthy(piezo_lines) ? piezo_lines : py::list();
        for (py::handle line : lines) {
            if (!isclose_host(line.attr(HOST_NAME("start_point")).attr(HOST_NAME("x")), left) ||
                !isclose_host(line.attr(HOST_NAME("end_point")).attr(HOST_NAME("x")), right))
                throw py::value_error("Not all pl lines span the entire soil layout from left to right boundary.");
        }
        self.attr(HOST_NAME("left_boundary")) = left;
        self.attr(HOST_NAME("right_boundary")) = right;
        self.attr(HOST_NAME("piezo_lines")) = lines;
        self.attr(HOST_NAME("layers")) = layers;
    }, "soil_layers"_a, "piezo_lines"_a = py::none());

    pyclass::readonly_property(cls, "top_profile",
        [](py::object self) -> py::object { return self.attr(HOST_NAME("layers"))[py::int_(-1)].attr(HOST_NAME("top_profile")); },
        "The top profile of the top layer.");
    pyclass::readonly_property(cls, "bottom_profile",
        [](py::object self) -> py::object { return self.attr(HOST_NAME("layers"))[py::int_(0)].attr(HOST_NAME("bottom_profile")); },
        "The bottom profile of the bottom layer.");

    pyclass::classmethod(cls, "from_positional_soil_layouts", &layout_from_positional, "cls"_a,
        "positional_soil_layouts"_a, "top_profile"_a, "piezo_lines"_a = py::none(),
        py::doc("Builds a layout from one-dimensional layouts at x locations (layers listed from the bottom up) and "
                "a ground profile. All layouts must have the same layers in the same order; heights and thicknesses "
                "may vary; the top profile must be monotonic ascending in x. Layer boundaries are interpolated "
                "linearly between the x locations and cut off at the ground profile."));

    pyclass::classmethod(cls, "from_single_soil_layout", [](py::object cls, py::object soil_layout, py::object left,
                                                            py::object right, py::object top_profile,
                                                            py::object piezo_lines) {
        py::object Positional = global("PositionalSoilLayout");
        py::object layers = soil_layout.attr(HOST_NAME("layers"));
        py::list layouts;
        layouts.append(Positional(left, layers));
        layouts.append(Positional(right, layers));
        return cls.attr(HOST_NAME("from_positional_soil_layouts"))(layouts, top_profile, piezo_lines);
    }, "cls"_a, "soil_layout"_a, "left_boundary"_a, "right_boundary"_a, "top_profile"_a, "piezo_lines"_a = py::none(),
       py::doc("Horizontal layers of one SoilLayout (listed from the bottom up) between two x locations, under a "
               "ground profile."));

    pyclass::classmethod(cls, "from_dict", [](py::object cls, py::object d) {
        py::list layers;
        py::object SoilLayer2D = global("SoilLayer2D");
        for (py::handle layer : d["layers"]) layers.append(SoilLayer2D.attr(HOST_NAME("from_dict"))(layer));
        return cls(layers);
    }, "cls"_a, "soil_layout_2d_dict"_a,
       py::doc("Rebuilds a layout from the dictionary made by serialize(); piezometric lines are not stored."));

    pyclass::method(cls, "serialize", [](py::object self) {
        py::list layers;
        for (py::handle layer : self.attr(HOST_NAME("layers"))) layers.append(layer.attr(HOST_NAME("serialize"))());
        py::dict result;
        result[HOST_NAME("layers")] = layers;
        return result;
    }, py::doc("The layout as {'layers': [layer dictionaries, bottom layer first]}."));

    pyclass::method(cls, "visualize_geometry", [](py::object self, py::object border, py::object opacity) {
        py::list groups, labels;
        for (py::handle layer : self.attr(HOST_NAME("layers"))) {
            py::tuple view = layer.attr(HOST_NAME("visualize_geometry"))(border, opacity);
            groups.append(view[0]);
            labels.attr(HOST_NAME("extend"))(view[1]);
        }
        return py::make_tuple(global("Group")(groups), labels);
    }, "visualize_border"_a = false, "opacity"_a = 1,
       py::doc("The layout's view: (Group of the layers' groups, bottom first; all their labels)."));

    pyclass::method(cls, "get_left_boundary_polyline", [](py::object self) {
        return boundary_polyline(self, "start_point");
    }, py::doc("The left boundary from the bottom-left to the top-left corner, with a point on every layer boundary."));
    pyclass::method(cls, "get_right_boundary_polyline", [](py::object self) {
        return boundary_polyline(self, "end_point");
    }, py::doc("The right boundary from the bottom-right to the top-right corner, with a point on every layer "
               "boundary."));
}

// ---------------------------------------------------------------------------------------------
// SoilLayout2D split

const char* const not_monotonic_message =
    "A SoilLayout2D can only be split by a polyline that is monotonic ascending in x direction";
const char* const zero_width_message =
    "A SoilLayout2D can only be split by a polyline that divides it; a line along its left or right boundary "
    "leaves a piece of no width";
const char* const end_inside_message = "Start point or end point of split line lies within the soil_layout to split";

bool on_line(py::handle line, py::handle point) { return pyclass::truthy(line.attr(HOST_NAME("point_is_on_polyline"))(point)); }

// `first, second = value`, with the errors Python's unpacking raises.
std::pair<py::object, py::object> unpack_pair(py::handle value) {
    if (!py::isinstance<py::iterable>(value)) {
        throw py::type_error("cannot unpack non-iterable " + text(py::type::handle_of(value).attr(HOST_NAME("__name__"))) +
                             " object");
    }
    py::object items[2];
    std::size_t count = 0;
    for (py::handle item : value) {
        if (count == 2) throw py::value_error("too many values to unpack (expected 2)");
        items[count++] = py::reinterpret_borrow<py::object>(item);
    }
    if (count < 2)
        throw py::value_error("not enough values to unpack (expected 2, got " + std::to_string(count) + ")");
    return {items[0], items[1]};
}

py::object part_of(py::handle profile, py::handle point, int index) {
    py::object parts = profile.attr(HOST_NAME("split"))(point);
    return parts[py::int_(index)];
}

// A crossing count along the vertical through the point miscounts wherever the ring runs along
// that vertical (a boundary polyline with a point per layer, a vertical step in a profile) and for
// points on the ring itself, which must pass. Every vertical meets a layout in one interval, so a
// point lies inside exactly when ring points lie both below and above it and it is not on the ring.
void check_split_end_outside(py::handle own_boundary, py::handle point) {
    py::object point_y = point.attr(HOST_NAME("y"));
    py::list x_intersections = own_boundary.attr(HOST_NAME("intersections_with_x_location"))(point.attr(HOST_NAME("x")));
    bool below = false, above = false;
    for (py::handle hit : x_intersections) {
        py::object hit_y = hit.attr(HOST_NAME("y"));
        if (hit_y < point_y) below = true;
        else if (hit_y > point_y) above = true;
    }
    if (below && above && !on_line(own_boundary, point)) throw py::value_error(end_inside_message);
}

py::object split_into_top_and_bottom(py::object self, py::object polyline) {
    if (!pyclass::truthy(polyline.attr(HOST_NAME("is_monotonic_ascending_x"))(false))) throw py::value_error(not_monotonic_message);

    // Anticlockwise from the bottom-left corner; the corners appear twice, which the ring
    // operations below take as one point.
    py::list pieces;
    pieces.append(self.attr(HOST_NAME("bottom_profile")));
    pieces.append(self.attr(HOST_NAME("get_right_boundary_polyline"))());
    pieces.append(self.attr(HOST_NAME("top_profile")).attr(HOST_NAME("get_reversed_polyline"))());
    pieces.append(self.attr(HOST_NAME("get_left_boundary_polyline"))().attr(HOST_NAME("get_reversed_polyline"))());
    py::object own_boundary = global("functools").attr(HOST_NAME("reduce"))(global("Polyline").attr(HOST_NAME("_concatenate")), pieces);

    check_split_end_outside(own_boundary, polyline.attr(HOST_NAME("start_point")));
    check_split_end_outside(own_boundary, polyline.attr(HOST_NAME("end_point")));

    py::object intersections = polyline.attr(HOST_NAME("intersections_with_polyline"))(own_boundary);
    const std::size_t count = py::len(intersections);
    if (count < 2) {
        throw py::value_error("A SoilLayout2D can only be split by a polyline that has at least 2 intersections with "
                              "its boundary; " + std::to_string(count) + " intersections found.");
    }
    // Whatever lies outside the first and last meeting points is dropped; excursions in between
    // stay and are clipped against the layout's profiles below.
    py::object split_line =
        polyline.attr(HOST_NAME("get_polyline_between"))(intersections[py::int_(0)], intersections[py::int_(-1)], true);
    py::object top_extended = split_line;
    py::object bottom_extended = split_line;

    // Lengthen the cut along the layout's outline so that each part's new limit spans its width.
    py::object start = split_line.attr(HOST_NAME("start_point"));
    py::object end = split_line.attr(HOST_NAME("end_point"));
    py::object top = self.attr(HOST_NAME("top_profile"));
    py::object bottom = self.attr(HOST_NAME("bottom_profile"));
    py::object left_line, right_line;  // built only when a case condition asks for them
    auto on_left = [&](py::handle point) {
        if (!left_line) left_line = self.attr(HOST_NAME("get_left_boundary_polyline"))();
        return on_line(left_line, point);
    };
    auto on_right = [&](py::handle point) {
        if (!right_line) right_line = self.attr(HOST_NAME("get_right_boundary_polyline"))();
        return on_line(right_line, point);
    };
    // Strict comparisons: a cut that already ends on a vertical boundary is not lengthened there.
    auto after_left = [&] { return start.attr(HOST_NAME("x")) > self.attr(HOST_NAME("left_boundary")); };
    auto before_right = [&] { return end.attr(HOST_NAME("x")) < self.attr(HOST_NAME("right_boundary")); };

    if ((on_line(top, start) || on_left(start)) && (on_line(bottom, end) || on_right(end))) {
        // Falling cut: the bottom part keeps the surface left of the cut, the top part the base right of it.
        if (after_left()) top_extended = part_of(top, start, 0).attr(HOST_NAME("combine_with"))(split_line);
        if (before_right()) bottom_extended = split_line.attr(HOST_NAME("combine_with"))(part_of(bottom, end, 1));
    } else if ((on_line(top, end) || on_right(end)) && (on_line(bottom, start) || on_left(start))) {
        if (after_left()) bottom_extended = part_of(bottom, start, 0).attr(HOST_NAME("combine_with"))(split_line);
        if (before_right()) top_extended = split_line.attr(HOST_NAME("combine_with"))(part_of(top, end, 1));
    } else if (on_line(top, start) && on_line(top, end)) {
        py::object left_top = part_of(top, start, 0);
        py::object right_top = part_of(top, end, 1);
        top_extended = left_top.attr(HOST_NAME("combine_with"))(split_line).attr(HOST_NAME("combine_with"))(right_top);
    } else {
        py::object left_bottom = part_of(bottom, start, 0);
        py::object right_bottom = part_of(bottom, end, 1);
        bottom_extended = left_bottom.attr(HOST_NAME("combine_with"))(split_line).attr(HOST_NAME("combine_with"))(right_bottom);
    }

    // Each layer clipped to either side of the cut, and kept inside the layout where the cut runs
    // outside it. A layer left without thickness over a whole part is no layer of that part.
    py::object SoilLayer2D = global("SoilLayer2D");
    py::list top_layers, bottom_layers;
    py::object layers = self.attr(HOST_NAME("layers"));
    for (py::handle layer : layers) {
        py::object layer_bottom = layer.attr(HOST_NAME("bottom_profile"));
        py::object layer_top = layer.attr(HOST_NAME("top_profile"));
        py::object top_sl_bottom = envelope(envelope(layer_bottom, bottom_extended, false), top, true);
        py::object top_sl_top = envelope(envelope(layer_top, bottom_extended, false), top, true);
        py::object bottom_sl_bottom = envelope(envelope(layer_bottom, top_extended, true), bottom, false);
        py::object bottom_sl_top = envelope(envelope(layer_top, top_extended, true), bottom, false);
        if (!pyclass::truthy(bottom_sl_bottom.attr(HOST_NAME("is_equal_to"))(bottom_sl_top))) {
            bottom_layers.append(SoilLayer2D(layer.attr(HOST_NAME("soil")), bottom_sl_top, bottom_sl_bottom,
                                             layer.attr(HOST_NAME("properties")), layer.attr(HOST_NAME("piezo_line_top")),
                                             layer.attr(HOST_NAME("piezo_line_bottom"))));
        }
        if (!pyclass::truthy(top_sl_bottom.attr(HOST_NAME("is_equal_to"))(top_sl_top))) {
            top_layers.append(SoilLayer2D(layer.attr(HOST_NAME("soil")), top_sl_top, top_sl_bottom, layer.attr(HOST_NAME("properties")),
                                          layer.attr(HOST_NAME("piezo_line_top")), layer.attr(HOST_NAME("piezo_line_bottom"))));
        }
    }
    // The pieces are plain layouts whatever the class of the layout that was cut.
    py::object SoilLayout2D = global("SoilLayout2D");
    py::object bottom_layout = SoilLayout2D(bottom_layers);
    py::object top_layout = SoilLayout2D(top_layers);
    // A line along the left or right boundary leaves one piece of no width and the other with a
    // profile running up that boundary: it does not divide the layout.
    for (const py::object& piece : {bottom_layout, top_layout}) {
        if (isclose_host(piece.attr(HOST_NAME("left_boundary")), piece.attr(HOST_NAME("right_boundary"))))
            throw py::value_error(zero_width_message);
    }
    return py::make_tuple(bottom_layout, top_layout);
}

py::list split_layout(py::object self, py::args split_lines) {
    py::list soil_layouts;
    soil_layouts.append(self);
    py::list result;
    for (py::handle split_line : split_lines) {
        result = py::list();
        for (py::handle layout : soil_layouts) {
            std::pair<py::object, py::object> parts;
            try {
                parts = unpack_pair(layout.attr(HOST_NAME("_split_into_top_and_bottom"))(split_line));
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_ValueError)) throw;
                result.append(layout);  // a line that does not cut this piece passes it on unchanged
                continue;
            } catch (py::value_error&) {
                result.append(layout);
                continue;
            }
            result.append(parts.first);
            result.append(parts.second);
        }
        soil_layouts = result;
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// SoilLayout2D combine

py::object empty_polyline() { return global("Polyline")(py::list()); }

py::object first_overlap_of_connector(py::handle from, py::handle to, py::handle guide) {
    py::list points;
    points.append(from);
    points.append(to);
    py::object overlaps = global("Polyline")(points).attr(HOST_NAME("find_overlaps"))(guide);
    return overlaps[py::int_(0)];  // none found: IndexError, as indexing the empty list would
}

// The continuation of a layer towards the new left boundary: the other member's outline up to
// the seam start, then down or up the layer's own old boundary to where its profile begins.
py::tuple follow_left(py::object outline, py::object boundary, py::object layer, py::object seem) {
    py::object left_part = part_of(outline, seem.attr(HOST_NAME("start_point")), 0);
    py::object guide = boundary.attr(HOST_NAME("combine_with"))(seem);
    py::object pieces[2];
    const char* profiles[2] = {"bottom_profile", "top_profile"};
    for (int i = 0; i < 2; ++i) {
        py::object part_end = left_part.attr(HOST_NAME("end_point"));
        py::object profile_start = layer.attr(profiles[i]).attr(HOST_NAME("start_point"));
        pieces[i] = differs(part_end, profile_start)
                        ? left_part.attr(HOST_NAME("combine_with"))(first_overlap_of_connector(part_end, profile_start, guide))
                        : left_part;
    }
    return py::make_tuple(pieces[0], pieces[1]);
}

// Towards the new right boundary: from where the layer's profile ends along its old boundary to
// the seam end, then the other member's outline. `pieces` arrive empty.
py::tuple follow_right(py::object (&pieces)[2], py::object outline, py::object boundary, py::object layer,
                       py::object seem) {
    py::object right_part = part_of(outline, seem.attr(HOST_NAME("end_point")), 1);
    py::object guide = boundary.attr(HOST_NAME("combine_with"))(seem);
    const char* profiles[2] = {"bottom_profile", "top_profile"};
    for (int i = 0; i < 2; ++i) {
        py::object profile_end = layer.attr(profiles[i]).attr(HOST_NAME("end_point"));
        py::object part_start = right_part.attr(HOST_NAME("start_point"));
        if (differs(profile_end, part_start))
            pieces[i] = pieces[i].attr(HOST_NAME("combine_with"))(first_overlap_of_connector(profile_end, part_start, guide));
    }
    for (py::object& piece : pieces) piece = piece.attr(HOST_NAME("combine_with"))(right_part);
    return py::make_tuple(pieces[0], pieces[1]);
}

py::tuple follow_left_portion_of_top_profile(py::object bottom_left_boundary, py::object top_soil_layout,
                                             py::object layer, py::object seem) {
    py::object outline = top_soil_layout.attr(HOST_NAME("bottom_profile")).attr(HOST_NAME("combine_with"))(
        top_soil_layout.attr(HOST_NAME("get_right_boundary_polyline"))());
    return follow_left(outline, bottom_left_boundary, layer, seem);
}

py::tuple follow_right_portion_of_top_profile(py::object bottom_right_boundary, py::object top_soil_layout,
                                              py::object layer, py::object seem) {
    py::object pieces[2] = {empty_polyline(), empty_polyline()};
    py::object outline = top_soil_layout.attr(HOST_NAME("get_left_boundary_polyline"))()
                             .attr(HOST_NAME("get_reversed_polyline"))()
                             .attr(HOST_NAME("combine_with"))(top_soil_layout.attr(HOST_NAME("bottom_profile")));
    return follow_right(pieces, outline, bottom_right_boundary, layer, seem);
}

py::tuple follow_left_portion_of_bottom_profile(py::object top_left_boundary, py::object bottom_soil_layout,
                                                py::object layer, py::object seem) {
    py::object outline = bottom_soil_layout.attr(HOST_NAME("top_profile")).attr(HOST_NAME("combine_with"))(
        bottom_soil_layout.attr(HOST_NAME("get_right_boundary_polyline"))().attr(HOST_NAME("get_reversed_polyline"))());
    return follow_left(outline, top_left_boundary, layer, seem);
}

py::tuple follow_right_portion_of_bottom_profile(py::object top_right_boundary, py::object bottom_soil_layout,
                                                 py::object layer, py::object seem) {
    py::object pieces[2] = {empty_polyline(), empty_polyline()};
    py::object outline = bottom_soil_layout.attr(HOST_NAME("get_left_boundary_polyline"))().attr(HOST_NAME("combine_with"))(
        bottom_soil_layout.attr(HOST_NAME("top_profile")));
    return follow_right(pieces, outline, top_right_boundary, layer, seem);
}

// A layer's own profiles, each with its stretch along the seam when it has exactly one.
py::tuple follow_old_layer_profiles(py::object layer, py::object seem) {
    py::object result[2];
    const char* profiles[2] = {"bottom_profile", "top_profile"};
    for (int i = 0; i < 2; ++i) {
        py::object profile = layer.attr(profiles[i]);
        result[i] = profile;
        py::object overlaps = profile.attr(HOST_NAME("find_overlaps"))(seem);
        if (py::len(overlaps) == 1) result[i] = profile.attr(HOST_NAME("combine_with"))(overlaps[py::int_(0)]);
    }
    return py::make_tuple(result[0], result[1]);
}

// The layers of one member of a join, each continued with zero thickness along the other
// member's outline to the combined boundaries.
py::list loop_through_layout(py::object bottom_soil_layout, py::object top_soil_layout, py::object seem,
                             bool walk_bottom) {
    py::object bottom_left = bottom_soil_layout.attr(HOST_NAME("left_boundary"));
    py::object top_left = top_soil_layout.attr(HOST_NAME("left_boundary"));
    py::object left_boundary = bottom_left < top_left ? bottom_soil_layout.attr(HOST_NAME("left_boundary")) : top_left;
    py::object bottom_right = bottom_soil_layout.attr(HOST_NAME("right_boundary"));
    py::object top_right = top_soil_layout.attr(HOST_NAME("right_boundary"));
    py::object right_boundary = bottom_right > top_right ? bottom_soil_layout.attr(HOST_NAME("right_boundary")) : top_right;

    py::object own = walk_bottom ? bottom_soil_layout : top_soil_layout;
    py::object other = walk_bottom ? top_soil_layout : bottom_soil_layout;
    const char* left_function =
        walk_bottom ? "_follow_left_portion_of_top_profile" : "_follow_left_portion_of_bottom_profile";
    const char* right_function =
        walk_bottom ? "_follow_right_portion_of_top_profile" : "_follow_right_portion_of_bottom_profile";

    py::list layers;
    py::object own_layers = own.attr(HOST_NAME("layers"));
    for (py::handle layer : own_layers) {
        py::object new_bottom = empty_polyline();
        py::object new_top = empty_polyline();
        auto append = [&](py::handle pair) {
            auto [bottom_line, top_line] = unpack_pair(pair);
            new_bottom = new_bottom.attr(HOST_NAME("combine_with"))(bottom_line);
            new_top = new_top.attr(HOST_NAME("combine_with"))(top_line);
        };
        if (py::object(own.attr(HOST_NAME("left_boundary"))) > left_boundary)
            append(global(left_function)(own.attr(HOST_NAME("get_left_boundary_polyline"))(), other, layer, seem));
        append(global("_follow_old_layer_profiles")(layer, seem));
        if (py::object(own.attr(HOST_NAME("right_boundary"))) < right_boundary)
            append(global(right_function)(own.attr(HOST_NAME("get_right_boundary_polyline"))(), other, layer, seem));
        layers.append(global("SoilLayer2D")(layer.attr(HOST_NAME("soil")), new_top, new_bottom, layer.attr(HOST_NAME("properties")),
                                            layer.attr(HOST_NAME("piezo_line_top")), layer.attr(HOST_NAME("piezo_line_bottom"))));
    }
    return layers;
}

py::object combine_top_bottom_layouts(py::object cls, py::object top_soil_layout, py::object bottom_soil_layout) {
    // Both outlines run the same way along any stretch they share, so the seam starts where both
    // enter it: the continuations rely on that to tell its left from its right.
    py::object bottom_half_round = bottom_soil_layout.attr(HOST_NAME("get_left_boundary_polyline"))()
                                       .attr(HOST_NAME("combine_with"))(bottom_soil_layout.attr(HOST_NAME("top_profile")))
                                       .attr(HOST_NAME("combine_with"))(bottom_soil_layout.attr(HOST_NAME("get_right_boundary_polyline"))()
                                                                 .attr(HOST_NAME("get_reversed_polyline"))());
    py::object top_half_round = top_soil_layout.attr(HOST_NAME("get_left_boundary_polyline"))()
                                    .attr(HOST_NAME("get_reversed_polyline"))()
                                    .attr(HOST_NAME("combine_with"))(top_soil_layout.attr(HOST_NAME("bottom_profile")))
                                    .attr(HOST_NAME("combine_with"))(top_soil_layout.attr(HOST_NAME("get_right_boundary_polyline"))());
    py::object overlaps = bottom_half_round.attr(HOST_NAME("find_overlaps"))(top_half_round);
    if (py::len(overlaps) != 1) throw py::value_error("Two soil layouts to combine should have exactly one intersection.");
    py::object seem = overlaps[py::int_(0)];
    py::object layers = global("_loop_through_bottom_layout")(bottom_soil_layout, top_soil_layout, seem);
    layers.attr(HOST_NAME("extend"))(global("_loop_through_top_layout")(bottom_soil_layout, top_soil_layout, seem));
    return cls(layers);
}

py::object combine_soil_layouts_2d(py::object cls, py::args soil_layouts_2d) {
    if (py::len(soil_layouts_2d) < 2) throw py::value_error("Combine soil_layouts_2d needs at least 2 SoilLayout2D instances");
    py::object original = soil_layouts_2d[0];
    for (std::size_t i = 1; i < py::len(soil_layouts_2d); ++i) {
        py::object added = soil_layouts_2d[i];
        const char* join = "_combine_top_bottom_layouts";
        if (py::len(original.attr(HOST_NAME("top_profile")).attr(HOST_NAME("find_overlaps"))(added.attr(HOST_NAME("bottom_profile")))) == 1) {
            original = cls.attr(join)(added, original);
        } else if (py::len(original.attr(HOST_NAME("bottom_profile")).attr(HOST_NAME("find_overlaps"))(added.attr(HOST_NAME("top_profile")))) == 1) {
            original = cls.attr(join)(original, added);
        } else {
            if (!isclose_host(original.attr(HOST_NAME("right_boundary")), added.attr(HOST_NAME("left_boundary"))) &&
                !isclose_host(original.attr(HOST_NAME("left_boundary")), added.attr(HOST_NAME("right_boundary"))))
                throw py::value_error("Combined soil layout 2d's have no intersection");
            original = cls.attr(join)(added, original);  // side by side, the added layout plays the top member
        }
    }
    return original;
}

void register_split_combine(py::module_& m) {
    py::object cls = m.attr(HOST_NAME("SoilLayout2D"));
    pyclass::method(cls, "split", &split_layout,
        py::doc("split(self, *split_lines)\n--\n\n"
                "Splits the layout along one or more polylines whose x never decreases.\n\n"
                "Each line is applied, in the order given, to every piece made by the lines before it: a piece the "
                "line cuts is replaced at its place by its part below the line followed by its part above it; a "
                "piece the line does not cut (it misses the piece, its x decreases somewhere, or one of its end "
                "points lies inside the piece) is passed on unchanged. The layout itself is never changed.\n\n"
                "Args:\n    *split_lines: Polylines, each starting and ending outside the layout or on its "
                "boundary.\n\nReturns:\n    list of SoilLayout2D; an empty list when no line is given."));
    pyclass::method(cls, "_split_into_top_and_bottom", &split_into_top_and_bottom, "polyline"_a,
        py::doc("_split_into_top_and_bottom(self, polyline)\n--\n\n"
                "Cuts the layout in two along the polyline: returns (part below the line, part above it), both "
                "SoilLayout2D. Raises ValueError when the line's x decreases, when an end point lies inside the "
                "layout, when the line meets the layout's boundary fewer than 2 times, or when a part would have "
                "no width (a line along the left or right boundary)."));
    pyclass::classmethod(cls, "combine_soil_layouts_2d", &combine_soil_layouts_2d,
        py::doc("combine_soil_layouts_2d(cls, *soil_layouts_2d)\n--\n\n"
                "Joins layouts that touch into one layout of this class.\n\n"
                "Each layout is joined, in the order given, to the union of the ones before it: on top of it, "
                "below it, or beside it (a shared vertical boundary). Every layer of both members is continued "
                "with zero thickness along the other member's outline to the combined left and right boundaries; "
                "the layers of the lower member come first.\n\n"
                "Args:\n    *soil_layouts_2d: at least 2 SoilLayout2D.\n\nReturns:\n    the combined layout."));
    pyclass::classmethod(cls, "_combine_top_bottom_layouts", &combine_top_bottom_layouts, "cls"_a, "top_soil_layout"_a,
        "bottom_soil_layout"_a,
        py::doc("_combine_top_bottom_layouts(cls, top_soil_layout, bottom_soil_layout)\n--\n\n"
                "Joins two layouts whose outlines share exactly one stretch; the top member's lower outline rests "
                "on the bottom member's upper outline (for neighbours, the shared vertical boundary)."));
}

}  // namespace

void define_split_combine_functions(py::module_& m) {
    pyclass::function(m, "_loop_through_top_layout", [](py::object bottom, py::object top, py::object seem) {
        return loop_through_layout(bottom, top, seem, false);
    }, "bottom_soil_layout"_a, "top_soil_layout"_a, "seem"_a,
       py::doc("The top member's layers of a join, continued to the combined boundaries along the bottom member."));
    pyclass::function(m, "_loop_through_bottom_layout", [](py::object bottom, py::object top, py::object seem) {
        return loop_through_layout(bottom, top, seem, true);
    }, "bottom_soil_layout"_a, "top_soil_layout"_a, "seem"_a,
       py::doc("The bottom member's layers of a join, continued to the combined boundaries along the top member."));
    pyclass::function(m, "_follow_left_portion_of_top_profile", &follow_left_portion_of_top_profile,
        "bottom_left_boundary"_a, "top_soil_layout"_a, "layer"_a, "seem"_a,
        py::doc("(bottom piece, top piece) continuing a bottom-member layer to the left along the top member."));
    pyclass::function(m, "_follow_right_portion_of_top_profile", &follow_right_portion_of_top_profile,
        "bottom_right_boundary"_a, "top_soil_layout"_a, "layer"_a, "seem"_a,
        py::doc("(bottom piece, top piece) continuing a bottom-member layer to the right along the top member."));
    pyclass::function(m, "_follow_left_portion_of_bottom_profile", &follow_left_portion_of_bottom_profile,
        "top_left_boundary"_a, "bottom_soil_layout"_a, "layer"_a, "seem"_a,
        py::doc("(bottom piece, top piece) continuing a top-member layer to the left along the bottom member."));
    pyclass::function(m, "_follow_right_portion_of_bottom_profile", &follow_right_portion_of_bottom_profile,
        "top_right_boundary"_a, "bottom_soil_layout"_a, "layer"_a, "seem"_a,
        py::doc("(bottom piece, top piece) continuing a top-member layer to the right along the bottom member."));
    pyclass::function(m, "_follow_old_layer_profiles", &follow_old_layer_profiles, "layer"_a, "seem"_a,
        py::doc("(bottom profile, top profile) of the layer, each joined with its one stretch along the seam."));
}

void define_check_soil_layouts(py::module_& m) {
    pyclass::function(m, "_check_soil_layouts", &check_soil_layouts, "soil_layouts"_a,
        py::doc("Checks positional soil layouts for SoilLayout2D.from_positional_soil_layouts; raises ValueError."));
}

void register_soil2d(py::module_& m) {
    remember_host_geometry(m);
    register_piezo_line(m);
    register_soil_layer_2d(m);
    register_soil_layout_2d(m);
    register_split_combine(m);
}

}  // namespace geo
