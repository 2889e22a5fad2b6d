// Plane polyline kernel: points, tolerances and every polyline operation the soil model uses.
// No Python in here; errors are std::invalid_argument carrying the final message text.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace geometry {

// One tolerance model for everything: two values are the same when
// |a - b| <= max(rtol * max(|a|, |b|), atol), the rule of math.isclose. A point lies on a
// segment when its distance to it is within max(atol, rtol * its largest coordinate).
struct Tolerance {
    double rtol = 1e-9;
    double atol = 1e-6;
};

struct Point {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

using Points = std::vector<Point>;

// Throws std::invalid_argument for NaN or infinite coordinates. Every finite coordinate is
// supported: no operation overflows, and none returns a non-finite number.
Point make_point(double x, double y, double z = 0.0);

// Inline: every operation compares coordinates in its inner loops.
inline bool is_close(double a, double b, const Tolerance& tol) {
    if (a == b) return true;
    return std::fabs(a - b) <= std::max(tol.rtol * std::max(std::fabs(a), std::fabs(b)), tol.atol);
}
// Same point in the plane (x and y); z is carried along but plays no part in the geometry.
inline bool same_xy(const Point& a, const Point& b, const Tolerance& tol) {
    return is_close(a.x, b.x, tol) && is_close(a.y, b.y, tol);
}
// Same point in space, the equality of Point values.
inline bool same_xyz(const Point& a, const Point& b, const Tolerance& tol) {
    return same_xy(a, b, tol) && is_close(a.z, b.z, tol);
}

// Every meeting point of `self` with `other` (crossings, touching points, end points lying on the
// other line, both ends of shared stretches), in order along `self`, each point once.
Points intersections(const Points& self, const Points& other, const Tolerance& tol);

// The points of `self` at `x`, in order along `self`. Each vertex at `x` is one hit (so a vertical
// segment gives both its ends); a closed ring's closing point counts once.
Points intersections_with_x(const Points& self, double x, const Tolerance& tol);

bool point_on_polyline(const Points& self, const Point& p, const Tolerance& tol);
// True when x never decreases along the line (exact comparison).
bool x_never_decreases(const Points& self);
// point_on_polyline for a line whose x never decreases: only the segments near p.x are tested,
// found by binary search, so a profile answers in logarithmic instead of linear time.
bool point_on_x_ascending_polyline(const Points& self, const Point& p, const Tolerance& tol);

// Every one of `points` lies on `line` (point_on_polyline for each); `line_x_ascending` as for
// polyline_between.
bool points_on_polyline(const Points& points, const Points& line, bool line_x_ascending, const Tolerance& tol);

// The part of `self` from p1 to p2, both on the line. When p2 only comes before p1, the part is
// walked backwards so that it still runs from p1 to p2. inclusive=false leaves p1 and p2 out.
// `x_ascending` (x_never_decreases(self), known to the caller) gives the same result in time
// logarithmic in the line's length plus the length of the part.
Points polyline_between(const Points& self, const Point& p1, const Point& p2, bool inclusive,
                        const Tolerance& tol, bool x_ascending = false);

// The outline of each stretch between consecutive meeting points of two non-empty profiles (and
// their ends): the top's part left to right, then the bottom's part back, leaving out each bottom
// point equal to the outline's first point or to its last point so far. Stretches of two points or fewer are left out;
// the others may still be of no area. The flags as for polyline_between.
std::vector<Points> stretch_outlines(const Points& top, const Points& bottom, const Tolerance& tol, bool top_x_ascending,
                                     bool bottom_x_ascending);

// strict: x grows at every step; otherwise x never decreases (vertical steps allowed).
bool is_monotonic_ascending_x(const Points& self, bool strict, const Tolerance& tol);

// Same path in the same direction: repeated points and vertices lying straight between their
// neighbours do not count.
bool is_equal(const Points& a, const Points& b, const Tolerance& tol);

// The two parts before and after `p` (which must lie on the line); both hold `p`.
// `x_ascending` as for polyline_between.
std::pair<Points, Points> split(const Points& self, const Point& p, const Tolerance& tol, bool x_ascending = false);

// `self` then `other`, joining partial continuations without doubling back; see the .cpp.
Points combine(const Points& self, const Points& other, const Tolerance& tol);

// The stretches of non-zero length shared by both lines, in the direction of `self`, merged
// across vertices, each holding the vertices of both lines that lie on it.
std::vector<Points> find_overlaps(const Points& self, const Points& other, const Tolerance& tol);

// Pointwise lower (lowest=true) or higher envelope of two profiles whose x never decreases,
// over the x range they share.
Points envelope(const Points& a, const Points& b, bool lowest, const Tolerance& tol);

// Polygon checks: at least three distinct points and a non-zero area, else std::invalid_argument.
void check_polygon(const Points& ring, const Tolerance& tol);
// The area-weighted centroid (the mean of the points for a ring of no area); finite for any
// finite coordinates.
Point polygon_centroid(const Points& ring);

}  // namespace geometry
