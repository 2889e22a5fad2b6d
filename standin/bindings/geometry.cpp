// terrak._geometry: the value types of terrak.geometry over the plane polyline kernel.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "geometry/polyline.hpp"

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

// The points are shared and never changed after construction, so a kernel running without the
// GIL keeps its own reference even if another thread drops the polyline meanwhile.
struct PolylineObj : TransformableObject {
    std::shared_ptr<const geometry::Points> pts = std::make_shared<const geometry::Points>();
    // Known once, as the points never change: profiles take the fast point-on-line lookup.
    bool x_ascending = true;
    PolylineObj() = default;
    explicit PolylineObj(geometry::Points p)
        : pts(std::make_shared<const geometry::Points>(std::move(p))), x_ascending(geometry::x_never_decreases(*pts)) {}
};

struct PolygonObj : TransformableObject {
    geometry::Points pts;
    py::object material = py::none();
};

}  // namespace

// An instance made by __new__ alone (a subclass whose __init__ failed before or without calling
// the base initialiser, copy protocols, a traceback keeping a half-made object) has no C++ value:
// pybind11 would hand the methods fresh uninitialised memory. Every argument and `self` of these
// types passes this check first, so such an object raises TypeError instead.
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

// The shared tolerances are read on every call, so changing terrak.core's values takes effect.
geometry::Tolerance tolerance() {
    py::module_ core = py::module_::import("terrak.core");
    return geometry::Tolerance{core.attr("ISCLOSE_RTOL").cast<double>(), core.attr("ISCLOSE_ATOL").cast<double>()};
}

std::string type_name(py::handle h) { return py::str(py::type::handle_of(h).attr("__name__")); }

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

// `self` of a method that needs the Python object itself (its type, for a subclass's name); called
// unbound with a foreign object it fails as a Python method descriptor would.
template <class T>
const T& self_as(py::handle self, const char* method, const char* cls) {
    if (!py::isinstance<T>(self))
        throw py::type_error(std::string("descriptor '") + method + "' requires a '" + cls + "' object but received a '" +
                             type_name(self) + "'");
    return self.cast<const T&>();
}

std::string float_repr(double v) { return py::repr(py::float_(v)); }

std::string point_repr(const geometry::Point& p) {
    return "Point(x=" + float_repr(p.x) + ", y=" + float_repr(p.y) + ", z=" + float_repr(p.z) + ")";
}

// Runs a kernel call without the GIL; the kernel touches no Python object.
template <class F>
auto unlocked(F&& f) {
    py::gil_scoped_release release;
    return f();
}

PolylineObj polyline(geometry::Points pts) { return PolylineObj(std::move(pts)); }

py::object classmethod(py::cpp_function fn) {
    return py::reinterpret_steal<py::object>(PyClassMethod_New(fn.ptr()));
}

}  // namespace

PYBIND11_MODULE(_geometry, m) {
    m.doc() = "Geometry value types over a C++ plane polyline kernel.";

    py::class_<TransformableObject> transformable_cls(m, "TransformableObject", py::dynamic_attr(),
                                                      "Base of the geometry objects that can be placed in a scene.");
    transformable_cls.def(py::init<>());
    // A Point, Line, Polyline or Polygon holds its value under its own type only, so pybind11's
    // constructor of this base, called on one of them (a cooperative super().__init__() chain, or
    // TransformableObject.__init__(point)), fails to find its slot and aborts the process. The
    // base carries no state: on such an object there is nothing to do.
    {
        py::object construct = transformable_cls.attr("__init__");
        py::detail::type_info* own = py::detail::get_type_info(typeid(TransformableObject));
        transformable_cls.attr("__init__") = py::cpp_function(
            [construct, own](py::handle self) {
                if (!PyObject_TypeCheck(self.ptr(), own->type))
                    throw py::type_error("__init__(self, ...) called with invalid or missing `self` argument");
                auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
                if (inst->get_value_and_holder(own, false).inst != nullptr) construct(self);
            },
            py::name("TransformableObject"), py::is_method(transformable_cls));
    }

    py::class_<PointObj, TransformableObject>(m, "Point", "A point in space; z is 0 for a point in the plane.")
        .def(py::init([](double x, double y, double z) { return PointObj(geometry::make_point(x, y, z)); }), "x"_a,
             "y"_a, "z"_a = 0.0)
        .def_property_readonly("x", [](const PointObj& s) { return s.p.x; })
        .def_property_readonly("y", [](const PointObj& s) { return s.p.y; })
        .def_property_readonly("z", [](const PointObj& s) { return s.p.z; })
        .def(
            "__eq__",
            [](const PointObj& a, const PointObj& b) { return geometry::same_xyz(a.p, b.p, tolerance()); },
            py::is_operator())
        .def(
            "__ne__",
            [](const PointObj& a, const PointObj& b) { return !geometry::same_xyz(a.p, b.p, tolerance()); },
            py::is_operator())
        .def("__iter__", [](const PointObj& s) { return py::iter(py::make_tuple(s.p.x, s.p.y, s.p.z)); })
        .def("__repr__", [](const PointObj& s) { return point_repr(s.p); })
        .def("__reduce__",
             [](py::object self) {
                 const auto& p = self_as<PointObj>(self, "__reduce__", "Point").p;
                 return py::make_tuple(py::type::of(self), py::make_tuple(p.x, p.y, p.z));
             })
        .attr("__hash__") = py::none();

    py::class_<LineObj, TransformableObject>(m, "Line", "A straight line from a start point to an end point.")
        .def(py::init([](const PointObj& a, const PointObj& b) { return LineObj(a.p, b.p); }), "start_point"_a,
             "end_point"_a)
        .def_property_readonly("start_point", [](const LineObj& s) { return PointObj(s.start); })
        .def_property_readonly("end_point", [](const LineObj& s) { return PointObj(s.end); })
        .def("__repr__",
             [](const LineObj& s) { return "Line(" + point_repr(s.start) + ", " + point_repr(s.end) + ")"; });

    py::class_<PolylineObj, TransformableObject> polyline_cls(m, "Polyline", py::dynamic_attr(),
                                                               "A chain of straight segments through its points.");
    polyline_cls.def(py::init([](py::handle points) { return polyline(to_points(points, "Polyline")); }),
                     "points"_a)
        .def_property_readonly(
            "points", [](const PolylineObj& s) { return to_list(*s.pts); }, "The points, in order (a new list).")
        .def_property_readonly(
            "start_point",
            [](const PolylineObj& s) {
                if (s.pts->empty()) throw py::index_error("An empty polyline has no start point");
                return PointObj(s.pts->front());
            })
        .def_property_readonly(
            "end_point",
            [](const PolylineObj& s) {
                if (s.pts->empty()) throw py::index_error("An empty polyline has no end point");
                return PointObj(s.pts->back());
            })
        .def(
            "serialize",
            [](const PolylineObj& s) {
                py::list pts(s.pts->size());
                for (std::size_t k = 0; k < s.pts->size(); ++k) {
                    const auto& p = (*s.pts)[k];
                    pts[k] = py::dict("x"_a = p.x, "y"_a = p.y, "z"_a = p.z);
                }
                return py::dict("points"_a = pts);
            },
            "The polyline as plain data: {'points': [{'x': .., 'y': .., 'z': ..}, ...]}.")
        .def(
            "intersections_with_polyline",
            [](const PolylineObj& s, const PolylineObj& other) {
                const auto tol = tolerance();
                auto a = s.pts, b = other.pts;
                return to_list(unlocked([&] { return geometry::intersections(*a, *b, tol); }));
            },
            "other"_a,
            "Every point where the two lines meet (crossings, touching points, ends of shared stretches), in "
            "order along this line, each once.")
        .def(
            "intersections_with_x_location",
            [](const PolylineObj& s, double x) {
                const auto tol = tolerance();
                auto a = s.pts;
                return to_list(unlocked([&] { return geometry::intersections_with_x(*a, x, tol); }));
            },
            "x"_a,
            "The points of this line at x, in order along it; a vertical segment at x gives both its ends.")
        .def(
            "get_polyline_between",
            [](const PolylineObj& s, const PointObj& p1, const PointObj& p2, bool inclusive) {
                const auto tol = tolerance();
                auto a = s.pts;
                return polyline(unlocked([&] { return geometry::polyline_between(*a, p1.p, p2.p, inclusive, tol); }));
            },
            "start_point"_a, "end_point"_a, "inclusive"_a = true,
            "The part of this line from start_point to end_point (both on the line, both included unless "
            "inclusive is false).")
        .def(
            "point_is_on_polyline",
            [](const PolylineObj& s, const PointObj& p) {
                const auto tol = tolerance();
                auto a = s.pts;
                if (s.x_ascending)
                    return unlocked([&] { return geometry::point_on_x_ascending_polyline(*a, p.p, tol); });
                return unlocked([&] { return geometry::point_on_polyline(*a, p.p, tol); });
            },
            "point"_a)
        .def(
            "is_monotonic_ascending_x",
            [](const PolylineObj& s, bool strict) {
                const auto tol = tolerance();
                auto a = s.pts;
                return unlocked([&] { return geometry::is_monotonic_ascending_x(*a, strict, tol); });
            },
            "strict"_a = true, "True when x grows along the line; with strict=False when x never decreases.")
        .def(
            "is_equal_to",
            [](const PolylineObj& s, const PolylineObj& other) {
                const auto tol = tolerance();
                auto a = s.pts, b = other.pts;
                return unlocked([&] { return geometry::is_equal(*a, *b, tol); });
            },
            "other"_a,
            "True for the same path in the same direction; repeated points and vertices lying straight between "
            "their neighbours do not count.")
        .def("get_reversed_polyline",
             [](const PolylineObj& s) { return polyline(geometry::Points(s.pts->rbegin(), s.pts->rend())); })
        .def(
            "split",
            [](const PolylineObj& s, const PointObj& p) {
                const auto tol = tolerance();
                auto a = s.pts;
                auto parts = unlocked([&] { return geometry::split(*a, p.p, tol); });
                return py::make_tuple(polyline(std::move(parts.first)), polyline(std::move(parts.second)));
            },
            "point"_a, "The two parts before and after point (which must lie on the line); both hold point.")
        .def(
            "combine_with",
            [](const PolylineObj& s, const PolylineObj& other) {
                const auto tol = tolerance();
                auto a = s.pts, b = other.pts;
                return polyline(unlocked([&] { return geometry::combine(*a, *b, tol); }));
            },
            "other"_a,
            "This line then other. An empty side gives the other; other lying on this line adds its vertices; "
            "other continuing from this line's end (possibly after running along it) is appended without "
            "doubling back; otherwise the two are joined straight.")
        .def(
            "find_overlaps",
            [](const PolylineObj& s, const PolylineObj& other) {
                const auto tol = tolerance();
                auto a = s.pts, b = other.pts;
                auto stretches = unlocked([&] { return geometry::find_overlaps(*a, *b, tol); });
                py::list out;
                for (auto& st : stretches) out.append(polyline(std::move(st)));
                return out;
            },
            "other"_a,
            "The stretches of non-zero length both lines share, in the direction of this line, each holding the "
            "vertices of both lines on it; touching points are left out.")
        .def_static(
            "get_lowest_or_highest_profile_x",
            [](const PolylineObj& a, const PolylineObj& b, bool lowest) {
                const auto tol = tolerance();
                auto pa = a.pts, pb = b.pts;
                return polyline(unlocked([&] { return geometry::envelope(*pa, *pb, lowest, tol); }));
            },
            "polyline_1"_a, "polyline_2"_a, "lowest"_a = true,
            "Over the x range both profiles share, the lower (lowest=True) or higher of the two at each x, with a "
            "vertex at every vertex of either profile and at every crossing.")
        .def_static(
            "_concatenate",
            [](const PolylineObj& a, const PolylineObj& b) {
                geometry::Points out(*a.pts);
                out.insert(out.end(), b.pts->begin(), b.pts->end());
                return polyline(std::move(out));
            },
            "polyline_1"_a, "polyline_2"_a, "The points of the first polyline followed by those of the second.")
        .def("__repr__", [](py::handle self) {
            const auto& pts = *self_as<PolylineObj>(self, "__repr__", "Polyline").pts;
            std::string s = type_name(self) + "([";
            for (std::size_t k = 0; k < pts.size(); ++k) {
                if (pts.size() > 8 && k == 3) {
                    s += "... " + std::to_string(pts.size() - 6) + " more ..., ";
                    k = pts.size() - 3;
                }
                s += point_repr(pts[k]) + (k + 1 < pts.size() ? ", " : "");
            }
            return s + "])";
        });
    polyline_cls.attr("_deserialize") = classmethod(py::cpp_function(
        [](py::object cls, py::object data) {
            py::list points;
            for (py::handle item : data["points"]) {
                py::object obj = py::reinterpret_borrow<py::object>(item);
                const double z = obj.attr("get")("z", 0.0).cast<double>();
                points.append(PointObj(geometry::make_point(obj["x"].cast<double>(), obj["y"].cast<double>(), z)));
            }
            return cls(points);
        },
        py::name("_deserialize"), "cls"_a, "data"_a,
        py::doc("Rebuilds a polyline from the result of serialize().")));

    py::class_<PolygonObj, TransformableObject>(m, "Polygon", "A closed outline with a material.")
        .def(py::init([](py::handle points, py::object material) {
                 PolygonObj out;
                 out.pts = to_points(points, "Polygon");
                 geometry::check_polygon(out.pts, tolerance());
                 out.material = std::move(material);
                 return out;
             }),
             "points"_a, "material"_a = py::none())
        .def_property_readonly("points", [](const PolygonObj& s) { return to_list(s.pts); })
        .def_property_readonly("centroid", [](const PolygonObj& s) { return PointObj(geometry::polygon_centroid(s.pts)); })
        .def_readwrite("material", &PolygonObj::material)
        .def("__repr__", [](const PolygonObj& s) {
            std::string out = "Polygon([";
            for (std::size_t k = 0; k < s.pts.size(); ++k) out += point_repr(s.pts[k]) + (k + 1 < s.pts.size() ? ", " : "");
            return out + "])";
        });
}
