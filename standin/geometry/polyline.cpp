#include "geometry/polyline.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <stdexcept>

namespace geometry {

Point make_point(double x, double y, double z) {
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z))
        throw std::invalid_argument("Point coordinates must be finite numbers (no NaN or infinity)");
    return Point{x, y, z};
}


namespace {

// Distance within which a point counts as lying on a line through it.
double reach(const Point& p, const Tolerance& tol) {
    return std::max(tol.atol, tol.rtol * std::max(std::fabs(p.x), std::fabs(p.y)));
}

// Products of coordinates overflow beyond about 1e154 (and differences beyond about 9e307). The
// computations that multiply coordinates run on the coordinates as they are; only when a result
// along the way is not finite do they run again on copies scaled by a power of two, which keeps
// every product finite. The scaling is exact, so the answer is the one the unscaled figure has;
// tolerances scale with the coordinates.
constexpr int kSafeExponent = 500;

// 1, or the power of two that brings the largest value to about 2^exponent.
double scale_for(std::initializer_list<double> values, int exponent = kSafeExponent) {
    double largest = 0.0;
    for (double v : values) largest = std::max(largest, std::fabs(v));
    if (largest <= std::ldexp(1.0, exponent)) return 1.0;
    return std::ldexp(1.0, exponent - std::ilogb(largest));
}

// The slow paths stay out of line, so that the fast ones keep their small frames.
[[gnu::noinline]] double interpolate_huge(double x0, double y0, double x1, double y1, double x) {
    const double s = scale_for({x0, y0, x1, y1, x});
    return (y0 * s + (y1 * s - y0 * s) * (x * s - x0 * s) / (x1 * s - x0 * s)) / s;
}

// y at x on the line through (x0, y0) and (x1, y1), x0 != x1.
double interpolate(double x0, double y0, double x1, double y1, double x) {
    const double dx = x1 - x0, rise = (y1 - y0) * (x - x0);
    if (!std::isfinite(dx + rise)) return interpolate_huge(x0, y0, x1, y1, x);
    return y0 + rise / dx;
}

// x where the differences a - b go from d0 at x0 to d1 at x1 through zero, for differences or
// products that overflow.
[[gnu::noinline]] double crossing_x_huge(double x0, double x1, double a0, double b0, double a1, double b1) {
    const double s = scale_for({x0, x1, a0, b0, a1, b1});
    const double d0 = a0 * s - b0 * s, d1 = a1 * s - b1 * s;
    return (x0 * s + (x1 * s - x0 * s) * d0 / (d0 - d1)) / s;
}

// Segments: segment k joins pts[k] and pts[k + 1]; a one-point polyline is one segment of zero
// length, so that a lone point still meets other lines.
std::size_t segment_count(const Points& pts) { return pts.size() < 2 ? pts.size() : pts.size() - 1; }
const Point& seg_start(const Points& pts, std::size_t k) { return pts[k]; }
const Point& seg_end(const Points& pts, std::size_t k) { return pts.size() == 1 ? pts[0] : pts[k + 1]; }

// The point of segment a-b nearest to p, with every coordinate times s: its parameter along the
// segment, and whether p lies within `limit` of it. The fast path below is this with s = 1.
std::optional<double> project_scaled(const Point& a, const Point& b, const Point& p, double s, double limit) {
    const double ax = a.x * s, ay = a.y * s, px = p.x * s, py = p.y * s;
    const double dx = b.x * s - ax, dy = b.y * s - ay;
    const double len2 = dx * dx + dy * dy;
    double t = 0.0;
    if (len2 > 0.0) t = std::clamp(((px - ax) * dx + (py - ay) * dy) / len2, 0.0, 1.0);
    const double qx = ax + t * dx, qy = ay + t * dy;
    if (std::hypot(px - qx, py - qy) <= limit * s) return t;
    return std::nullopt;
}

[[gnu::noinline]] std::optional<double> locate_on_huge_segment(const Point& a, const Point& b, const Point& p,
                                                               const Tolerance& tol) {
    return project_scaled(a, b, p, scale_for({a.x, a.y, b.x, b.y, p.x, p.y}), reach(p, tol));
}

// Where p lies on segment a-b as a parameter in [0, 1], if it lies on it within tolerance.
// A point that equals an end point gets exactly 0 or 1, so callers can snap it to the vertex.
std::optional<double> locate_on_segment(const Point& a, const Point& b, const Point& p, const Tolerance& tol) {
    // Cheap rejection first. Twice the reach also covers the vertex test, whose tolerance grows
    // with the vertex's own size (at most reach / (1 - rtol) here).
    const double margin = 2.0 * reach(p, tol);
    if (p.x < std::min(a.x, b.x) - margin || p.x > std::max(a.x, b.x) + margin ||
        p.y < std::min(a.y, b.y) - margin || p.y > std::max(a.y, b.y) + margin)
        return std::nullopt;
    if (same_xy(p, a, tol)) return 0.0;
    if (same_xy(p, b, tol)) return 1.0;
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double len2 = dx * dx + dy * dy;
    const double along = (p.x - a.x) * dx + (p.y - a.y) * dy;
    double t = 0.0;
    if (len2 > 0.0) t = std::clamp(along / len2, 0.0, 1.0);
    const double qx = a.x + t * dx, qy = a.y + t * dy;
    const double distance = std::hypot(p.x - qx, p.y - qy);
    if (!std::isfinite(len2 + along + distance)) return locate_on_huge_segment(a, b, p, tol);
    if (distance <= reach(p, tol)) return t;
    return std::nullopt;
}

struct Hit {
    double t;  // along the first segment
    Point p;
};

// Where segments a0-a1 and b0-b1 cross, if they do, computed with every coordinate times k. A
// vertical or horizontal segment gives its coordinate exactly; interpolating would put a cut on
// x = 10 at 9.999999999999998. The fast path below is this with k = 1.
std::optional<Hit> crossing_scaled(const Point& a0, const Point& a1, const Point& b0, const Point& b1, double k) {
    const double ax = a0.x * k, ay = a0.y * k;
    const double rx = a1.x * k - ax, ry = a1.y * k - ay, sx = b1.x * k - b0.x * k, sy = b1.y * k - b0.y * k;
    const double den = rx * sy - ry * sx;
    if (den == 0.0) return std::nullopt;
    const double qx = b0.x * k - ax, qy = b0.y * k - ay;
    const double t = (qx * sy - qy * sx) / den;
    const double u = (qx * ry - qy * rx) / den;
    if (!(t >= 0.0 && t <= 1.0 && u >= 0.0 && u <= 1.0)) return std::nullopt;
    Point p{(ax + t * rx) / k, (ay + t * ry) / k, 0.0};
    if (rx == 0.0) p.x = a0.x;
    else if (sx == 0.0) p.x = b0.x;
    if (ry == 0.0) p.y = a0.y;
    else if (sy == 0.0) p.y = b0.y;
    return Hit{t, p};
}

[[gnu::noinline]] std::optional<Hit> crossing_of_huge(const Point& a0, const Point& a1, const Point& b0,
                                                      const Point& b1) {
    return crossing_scaled(a0, a1, b0, b1, scale_for({a0.x, a0.y, a1.x, a1.y, b0.x, b0.y, b1.x, b1.y}));
}

// The meeting points of segments a0-a1 and b0-b1, ordered along a: end points lying on the other
// segment first (so a point near a vertex becomes that vertex, a's own vertices preferred), then
// a proper crossing when it is not one of those. Two hits mean the segments share a stretch.
int segment_hits(const Point& a0, const Point& a1, const Point& b0, const Point& b1, const Tolerance& tol,
                 Hit (&out)[5]) {
    int n = 0;
    auto add = [&](double t, const Point& p) {
        for (int k = 0; k < n; ++k)
            if (same_xy(out[k].p, p, tol)) return;
        out[n++] = Hit{t, p};
    };
    if (locate_on_segment(b0, b1, a0, tol)) add(0.0, a0);
    if (locate_on_segment(b0, b1, a1, tol)) add(1.0, a1);
    for (const Point* b : {&b0, &b1}) {
        if (auto t = locate_on_segment(a0, a1, *b, tol)) {
            add(*t, *t == 0.0 ? a0 : (*t == 1.0 ? a1 : *b));
        }
    }
    if (n < 2) {
        const double rx = a1.x - a0.x, ry = a1.y - a0.y, sx = b1.x - b0.x, sy = b1.y - b0.y;
        const double den = rx * sy - ry * sx;
        if (!std::isfinite(den)) {
            if (auto hit = crossing_of_huge(a0, a1, b0, b1)) add(hit->t, hit->p);
        } else if (den != 0.0) {
            const double qx = b0.x - a0.x, qy = b0.y - a0.y;
            const double tn = qx * sy - qy * sx, un = qx * ry - qy * rx;
            if (!std::isfinite(tn + un)) {
                if (auto hit = crossing_of_huge(a0, a1, b0, b1)) add(hit->t, hit->p);
            } else {
                const double t = tn / den, u = un / den;
                if (t >= 0.0 && t <= 1.0 && u >= 0.0 && u <= 1.0) {
                    Point p{a0.x + t * rx, a0.y + t * ry, 0.0};
                    if (rx == 0.0) p.x = a0.x;
                    else if (sx == 0.0) p.x = b0.x;
                    if (ry == 0.0) p.y = a0.y;
                    else if (sy == 0.0) p.y = b0.y;
                    add(t, p);
                }
            }
        }
    }
    std::sort(out, out + n, [](const Hit& l, const Hit& r) { return l.t < r.t; });
    return n;
}

struct Box {
    double xmin, xmax, ymin, ymax;
    std::size_t seg;
};

std::vector<Box> boxes(const Points& pts, const Tolerance& tol) {
    std::vector<Box> out;
    const std::size_t m = segment_count(pts);
    out.reserve(m);
    for (std::size_t k = 0; k < m; ++k) {
        const Point& a = seg_start(pts, k);
        const Point& b = seg_end(pts, k);
        const double e = 2.0 * std::max(reach(a, tol), reach(b, tol));
        out.push_back(Box{std::min(a.x, b.x) - e, std::max(a.x, b.x) + e, std::min(a.y, b.y) - e,
                          std::max(a.y, b.y) + e, k});
    }
    return out;
}

// Calls f(segment of a, segment of b) for every pair whose boxes overlap: a sweep over x, so
// profiles (x sorted, few segments alive at any x) cost time linear in their size.
template <class F>
void for_each_candidate_pair(const Points& a, const Points& b, const Tolerance& tol, F&& f) {
    std::vector<Box> ba = boxes(a, tol), bb = boxes(b, tol);
    auto by_xmin = [](const Box& l, const Box& r) { return l.xmin < r.xmin; };
    if (!std::is_sorted(ba.begin(), ba.end(), by_xmin)) std::sort(ba.begin(), ba.end(), by_xmin);
    if (!std::is_sorted(bb.begin(), bb.end(), by_xmin)) std::sort(bb.begin(), bb.end(), by_xmin);
    std::vector<const Box*> alive_a, alive_b;
    auto visit = [&](const Box& s, std::vector<const Box*>& others, bool s_in_a) {
        for (std::size_t k = 0; k < others.size();) {
            const Box* o = others[k];
            if (o->xmax < s.xmin) {
                others[k] = others.back();
                others.pop_back();
                continue;
            }
            if (o->ymin <= s.ymax && s.ymin <= o->ymax) {
                if (s_in_a) f(s.seg, o->seg);
                else f(o->seg, s.seg);
            }
            ++k;
        }
    };
    std::size_t i = 0, j = 0;
    while (i < ba.size() || j < bb.size()) {
        if (j >= bb.size() || (i < ba.size() && ba[i].xmin <= bb[j].xmin)) {
            visit(ba[i], alive_b, true);
            alive_a.push_back(&ba[i++]);
        } else {
            visit(bb[j], alive_a, false);
            alive_b.push_back(&bb[j++]);
        }
    }
}

// A position along a polyline: segment index and parameter; a vertex k is (k, 0), the last
// vertex included.
struct Pos {
    std::size_t seg;
    double t;
    bool operator<(const Pos& o) const { return seg < o.seg || (seg == o.seg && t < o.t); }
    bool operator==(const Pos& o) const { return seg == o.seg && t == o.t; }
};

Pos normalized(const Points& pts, std::size_t seg, double t) {
    if (t == 1.0 && seg + 1 < pts.size()) return Pos{seg + 1, 0.0};
    return Pos{seg, t};
}

// Segments whose x range, widened by `margin`, reaches x: on a line whose x never decreases they
// form one run, [first, last), found by binary search. Every other segment is turned away by the
// cheap rejection of locate_on_segment (the same margin, the same comparisons), so scanning only
// the run gives the full scan's answer.
std::pair<std::size_t, std::size_t> segments_near_x(const Points& pts, double x, double margin) {
    const auto first = std::partition_point(pts.begin() + 1, pts.end(),
                                            [&](const Point& end) { return x > end.x + margin; });
    const auto last = std::partition_point(pts.begin(), pts.end() - 1,
                                           [&](const Point& start) { return !(x < start.x - margin); });
    return {static_cast<std::size_t>(first - pts.begin()) - 1, static_cast<std::size_t>(last - pts.begin())};
}

// First position of p at or after `from`. `x_ascending` (x never decreases along the line) lets
// the scan skip the segments that cannot hold p.
std::optional<Pos> locate_from(const Points& pts, const Point& p, Pos from, const Tolerance& tol,
                               bool x_ascending = false) {
    if (pts.empty()) return std::nullopt;
    if (pts.size() == 1) {
        if (same_xy(pts[0], p, tol)) return Pos{0, 0.0};
        return std::nullopt;
    }
    std::size_t begin = from.seg, end = pts.size() - 1;
    if (x_ascending) {
        const auto [first, last] = segments_near_x(pts, p.x, 2.0 * reach(p, tol));
        begin = std::max(begin, first);
        end = std::min(end, last);
    }
    for (std::size_t i = begin; i < end; ++i) {
        auto t = locate_on_segment(pts[i], pts[i + 1], p, tol);
        if (!t) continue;
        Pos pos = normalized(pts, i, *t);
        if (!(pos < from)) return pos;
    }
    if (from.seg == pts.size() - 1 && same_xy(pts.back(), p, tol)) return Pos{from.seg, 0.0};
    return std::nullopt;
}

// Last position of p at or before `until`.
std::optional<Pos> locate_until(const Points& pts, const Point& p, Pos until, const Tolerance& tol,
                                bool x_ascending = false) {
    if (pts.size() < 2) return locate_from(pts, p, Pos{0, 0.0}, tol);
    if (until.seg == pts.size() - 1 && same_xy(pts.back(), p, tol)) return until;
    std::size_t begin = 0, end = std::min(until.seg, pts.size() - 2) + 1;
    if (x_ascending) {
        const auto [first, last] = segments_near_x(pts, p.x, 2.0 * reach(p, tol));
        begin = first;
        end = std::min(end, last);
    }
    for (std::size_t i = end; i-- > begin;) {
        auto t = locate_on_segment(pts[i], pts[i + 1], p, tol);
        if (!t) continue;
        Pos pos = normalized(pts, i, *t);
        if (!(until < pos)) return pos;
    }
    return std::nullopt;
}

// The path from position a (point pa) to position b (point pb), a before or at b. Points at a
// vertex become that vertex; points inside a segment keep the caller's coordinates.
Points walk(const Points& pts, Pos a, const Point& pa, Pos b, const Point& pb, const Tolerance& tol) {
    Points out{a.t == 0.0 ? pts[a.seg] : pa};
    if (!(a < b)) return out;
    // Vertices strictly after a and strictly before b.
    const std::size_t stop = b.seg + (b.t > 0.0 ? 1 : 0);
    for (std::size_t k = a.seg + 1; k < stop; ++k)
        if (!same_xy(out.back(), pts[k], tol)) out.push_back(pts[k]);
    const Point& end = b.t == 0.0 ? pts[b.seg] : pb;
    if (!same_xy(out.back(), end, tol)) out.push_back(end);
    return out;
}

// Meetings of the segments of `a` with `b`: per segment of a, the stretches (two or more hits)
// and single touching points, as parameter intervals along that segment.
struct Touch {
    double t0, t1;
    Point p0, p1;
    bool stretch;
};

struct Touches {
    std::vector<std::size_t> start;  // touches of segment k: items[start[k] .. start[k + 1])
    std::vector<Touch> items;
};

Touches collect_touches(const Points& a, const Points& b, const Tolerance& tol) {
    struct Found {
        std::size_t seg;
        Touch touch;
    };
    std::vector<Found> found;
    for_each_candidate_pair(a, b, tol, [&](std::size_t i, std::size_t j) {
        Hit hits[5];
        const int n = segment_hits(seg_start(a, i), seg_end(a, i), seg_start(b, j), seg_end(b, j), tol, hits);
        if (n == 0) return;
        found.push_back(Found{i, Touch{hits[0].t, hits[n - 1].t, hits[0].p, hits[n - 1].p, n >= 2}});
    });
    // Bucket by segment (counting sort keeps this linear), then order each bucket along it.
    const std::size_t m = segment_count(a);
    Touches out;
    out.start.assign(m + 1, 0);
    for (const Found& f : found) ++out.start[f.seg + 1];
    std::partial_sum(out.start.begin(), out.start.end(), out.start.begin());
    out.items.resize(found.size());
    std::vector<std::size_t> fill(out.start.begin(), out.start.end() - 1);
    for (const Found& f : found) out.items[fill[f.seg]++] = f.touch;
    for (std::size_t k = 0; k < m; ++k)
        std::sort(out.items.begin() + out.start[k], out.items.begin() + out.start[k + 1],
                  [](const Touch& l, const Touch& r) { return l.t0 < r.t0 || (l.t0 == r.t0 && l.t1 > r.t1); });
    return out;
}

double param_reach(const Point& a, const Point& b, const Tolerance& tol) {
    double s = 1.0, len = std::hypot(b.x - a.x, b.y - a.y);
    if (!std::isfinite(len)) {
        s = scale_for({a.x, a.y, b.x, b.y});
        len = std::hypot(b.x * s - a.x * s, b.y * s - a.y * s);
    }
    return len > 0.0 ? std::max(reach(a, tol), reach(b, tol)) * s / len : 1.0;
}

// Every point of `a` lies on `b`.
bool covered(const Points& a, const Points& b, const Tolerance& tol) {
    if (a.empty()) return true;
    if (b.empty()) return false;
    Touches touches = collect_touches(a, b, tol);
    for (std::size_t k = 0; k + 1 < touches.start.size(); ++k) {
        const std::size_t first = touches.start[k], stop = touches.start[k + 1];
        if (first == stop) return false;
        const Point& s0 = seg_start(a, k);
        const Point& s1 = seg_end(a, k);
        if (same_xy(s0, s1, tol)) continue;  // a zero-length segment touched at all is covered
        const double e = param_reach(s0, s1, tol);
        double reached = 0.0;
        for (std::size_t q = first; q < stop; ++q) {
            const Touch& t = touches.items[q];
            if (t.t0 > reached + e) return false;
            reached = std::max(reached, t.t1);
        }
        if (reached < 1.0 - e) return false;
    }
    return true;
}

bool straight_between(const Point& a, const Point& m, const Point& b, const Tolerance& tol) {
    if (same_xy(a, b, tol)) return false;
    auto t = locate_on_segment(a, b, m, tol);
    return t && *t > 0.0 && *t < 1.0;
}

Points simplified(const Points& pts, const Tolerance& tol) {
    Points s;
    for (const Point& p : pts) {
        if (!s.empty() && same_xy(s.back(), p, tol)) continue;
        while (s.size() >= 2 && straight_between(s[s.size() - 2], s.back(), p, tol)) s.pop_back();
        s.push_back(p);
    }
    return s;
}

// `self` with the vertices of `other` (which lies wholly on it) inserted where they fall.
Points with_vertices_of(const Points& self, const Points& other, const Tolerance& tol) {
    const std::size_t none = static_cast<std::size_t>(-1);
    std::vector<Pos> first(other.size(), Pos{none, 0.0});
    for_each_candidate_pair(other, self, tol, [&](std::size_t j, std::size_t i) {
        if (self.size() < 2) return;
        for (std::size_t v : {j, std::min(j + 1, other.size() - 1)}) {
            auto t = locate_on_segment(self[i], self[i + 1], other[v], tol);
            if (!t) continue;
            Pos pos = normalized(self, i, *t);
            if (first[v].seg == none || pos < first[v]) first[v] = pos;
        }
    });
    struct Insert {
        Pos pos;
        const Point* p;
    };
    std::vector<Insert> inserts;
    for (std::size_t v = 0; v < other.size(); ++v)
        if (first[v].seg != none && first[v].t > 0.0) inserts.push_back(Insert{first[v], &other[v]});
    std::sort(inserts.begin(), inserts.end(), [](const Insert& l, const Insert& r) { return l.pos < r.pos; });
    Points out;
    out.reserve(self.size() + inserts.size());
    std::size_t q = 0;
    for (std::size_t k = 0; k < self.size(); ++k) {
        out.push_back(self[k]);
        for (; q < inserts.size() && inserts[q].pos.seg == k; ++q)
            if (!same_xy(out.back(), *inserts[q].p, tol) &&
                (k + 1 >= self.size() || !same_xy(self[k + 1], *inserts[q].p, tol)))
                out.push_back(*inserts[q].p);
    }
    return out;
}

}  // namespace

Points intersections(const Points& self, const Points& other, const Tolerance& tol) {
    struct Found {
        std::size_t seg;
        double t;
        Point p;
    };
    std::vector<Found> found;
    for_each_candidate_pair(self, other, tol, [&](std::size_t i, std::size_t j) {
        Hit hits[5];
        const int n =
            segment_hits(seg_start(self, i), seg_end(self, i), seg_start(other, j), seg_end(other, j), tol, hits);
        for (int k = 0; k < n; ++k) found.push_back(Found{i, hits[k].t, hits[k].p});
    });
    std::sort(found.begin(), found.end(),
              [](const Found& l, const Found& r) { return l.seg < r.seg || (l.seg == r.seg && l.t < r.t); });
    // Each point once, kept where the line first reaches it. Candidates are compared in x order so
    // that only near neighbours are tested.
    std::vector<std::size_t> by_x(found.size());
    std::iota(by_x.begin(), by_x.end(), 0);
    std::sort(by_x.begin(), by_x.end(), [&](std::size_t l, std::size_t r) { return found[l].p.x < found[r].p.x; });
    std::vector<char> dropped(found.size(), 0);
    for (std::size_t a = 0; a < by_x.size(); ++a) {
        const std::size_t ia = by_x[a];
        if (dropped[ia]) continue;
        for (std::size_t b = a + 1; b < by_x.size(); ++b) {
            const std::size_t ib = by_x[b];
            if (!is_close(found[ia].p.x, found[ib].p.x, tol)) break;
            if (dropped[ib] || !same_xy(found[ia].p, found[ib].p, tol)) continue;
            if (ib > ia) {
                dropped[ib] = 1;
            } else {
                dropped[ia] = 1;
                break;
            }
        }
    }
    Points out;
    for (std::size_t k = 0; k < found.size(); ++k)
        if (!dropped[k]) out.push_back(found[k].p);
    return out;
}

Points intersections_with_x(const Points& self, double x, const Tolerance& tol) {
    if (!std::isfinite(x)) throw std::invalid_argument("x must be a finite number (no NaN or infinity)");
    Points out;
    const std::size_t n = self.size();
    const bool ring = n >= 4 && same_xy(self.front(), self.back(), tol);
    for (std::size_t i = 0; i < n; ++i) {
        const Point& v = self[i];
        const bool at = is_close(v.x, x, tol);
        const bool repeat = i > 0 && is_close(self[i - 1].x, x, tol) && same_xy(self[i - 1], v, tol);
        if (at && !repeat && !(ring && i == n - 1)) out.push_back(v);
        if (i + 1 < n) {
            const Point& w = self[i + 1];
            if (!at && !is_close(w.x, x, tol) && ((v.x < x && x < w.x) || (w.x < x && x < v.x))) {
                const double y = v.y == w.y ? v.y : interpolate(v.x, v.y, w.x, w.y, x);
                out.push_back(Point{x, y, 0.0});
            }
        }
    }
    return out;
}

bool point_on_polyline(const Points& self, const Point& p, const Tolerance& tol) {
    return locate_from(self, p, Pos{0, 0.0}, tol).has_value();
}

bool points_on_polyline(const Points& points, const Points& line, bool line_x_ascending, const Tolerance& tol) {
    return std::all_of(points.begin(), points.end(), [&](const Point& p) {
        return line_x_ascending ? point_on_x_ascending_polyline(line, p, tol) : point_on_polyline(line, p, tol);
    });
}

bool x_never_decreases(const Points& self) {
    for (std::size_t i = 1; i < self.size(); ++i)
        if (self[i].x < self[i - 1].x) return false;
    return true;
}

bool point_on_x_ascending_polyline(const Points& self, const Point& p, const Tolerance& tol) {
    if (self.size() < 2) return point_on_polyline(self, p, tol);
    // The same margin and the same comparisons as the cheap rejection of locate_on_segment, so
    // exactly the segments it could accept are tested and the answer equals the full scan's.
    const double margin = 2.0 * reach(p, tol);
    const auto first = std::partition_point(self.begin() + 1, self.end(),
                                            [&](const Point& end) { return p.x > end.x + margin; });
    for (std::size_t i = static_cast<std::size_t>(first - self.begin()) - 1; i + 1 < self.size(); ++i) {
        if (p.x < self[i].x - margin) break;
        if (locate_on_segment(self[i], self[i + 1], p, tol)) return true;
    }
    return false;
}

Points polyline_between(const Points& self, const Point& p1, const Point& p2, bool inclusive, const Tolerance& tol,
                        bool x_ascending) {
    auto pos1 = locate_from(self, p1, Pos{0, 0.0}, tol, x_ascending);
    if (!pos1) throw std::invalid_argument("Start point does not lie on the polyline");
    Points out;
    if (auto pos2 = locate_from(self, p2, *pos1, tol, x_ascending)) {
        out = walk(self, *pos1, p1, *pos2, p2, tol);
    } else if (auto back = locate_until(self, p2, *pos1, tol, x_ascending)) {
        out = walk(self, *back, p2, *pos1, p1, tol);
        std::reverse(out.begin(), out.end());
    } else {
        throw std::invalid_argument("End point does not lie on the polyline");
    }
    if (!inclusive) {
        if (out.size() <= 2) return {};
        out.erase(out.end() - 1);
        out.erase(out.begin());
    }
    return out;
}

std::vector<Points> stretch_outlines(const Points& top, const Points& bottom, const Tolerance& tol, bool top_x_ascending,
                                     bool bottom_x_ascending) {
    const Points meets = intersections(bottom, top, tol);
    std::vector<Points> outlines;
    for (std::size_t i = 0; i <= meets.size(); ++i) {
        auto between = [&](const Points& profile, bool ascending) {
            const Point& start = i == 0 ? profile.front() : meets[i - 1];
            const Point& end = i == meets.size() ? profile.back() : meets[i];
            return polyline_between(profile, start, end, true, tol, ascending);
        };
        Points outline = between(top, top_x_ascending);
        const Points back = between(bottom, bottom_x_ascending);
        const Point first = outline.front();
        for (auto p = back.rbegin(); p != back.rend(); ++p)
            if (!same_xyz(*p, first, tol) && !same_xyz(*p, outline.back(), tol)) outline.push_back(*p);
        if (outline.size() > 2) outlines.push_back(std::move(outline));
    }
    return outlines;
}

bool is_monotonic_ascending_x(const Points& self, bool strict, const Tolerance& tol) {
    for (std::size_t i = 0; i + 1 < self.size(); ++i) {
        const double a = self[i].x, b = self[i + 1].x;
        const bool same = is_close(a, b, tol);
        if (strict ? (same || b < a) : (!same && b < a)) return false;
    }
    return true;
}

bool is_equal(const Points& a, const Points& b, const Tolerance& tol) {
    if (a.empty() || b.empty()) return a.empty() && b.empty();
    // Simplifying keeps both end points, so they decide at once; equal lists need no simplifying.
    if (!same_xy(a.front(), b.front(), tol) || !same_xy(a.back(), b.back(), tol)) return false;
    if (a.size() == b.size() &&
        std::equal(a.begin(), a.end(), b.begin(), [&](const Point& p, const Point& q) { return same_xy(p, q, tol); }))
        return true;
    const Points sa = simplified(a, tol), sb = simplified(b, tol);
    if (sa.size() != sb.size()) return false;
    for (std::size_t k = 0; k < sa.size(); ++k)
        if (!same_xy(sa[k], sb[k], tol)) return false;
    return true;
}

std::pair<Points, Points> split(const Points& self, const Point& p, const Tolerance& tol, bool x_ascending) {
    auto pos = locate_from(self, p, Pos{0, 0.0}, tol, x_ascending);
    if (!pos) throw std::invalid_argument("Split point does not lie on the polyline");
    if (pos->t == 0.0) {
        return {Points(self.begin(), self.begin() + pos->seg + 1), Points(self.begin() + pos->seg, self.end())};
    }
    Points first(self.begin(), self.begin() + pos->seg + 1);
    first.push_back(p);
    Points second{p};
    second.insert(second.end(), self.begin() + pos->seg + 1, self.end());
    return {std::move(first), std::move(second)};
}

// In order: an empty side gives the other; `other` lying wholly on `self` gives `self` with
// other's vertices added; `self` ending on `other`, with `other` up to there lying on `self`,
// gives `self` followed by the rest of `other` (an end-to-start join keeps the shared point once,
// and a partial continuation does not double back); anything else is a straight join.
Points combine(const Points& self, const Points& other, const Tolerance& tol) {
    if (self.empty()) return other;
    if (other.empty()) return self;
    if (covered(other, self, tol)) return with_vertices_of(self, other, tol);
    const Point& end = self.back();
    std::optional<Pos> previous;
    for (std::size_t j = 0; j < segment_count(other); ++j) {
        auto t = locate_on_segment(seg_start(other, j), seg_end(other, j), end, tol);
        if (!t) continue;
        const Pos pos = normalized(other, j, other.size() == 1 ? 0.0 : *t);
        if (previous && *previous == pos) continue;
        previous = pos;
        Points prefix(other.begin(), other.begin() + pos.seg + 1);
        if (pos.t > 0.0) prefix.push_back(end);
        if (!covered(prefix, self, tol)) continue;
        Points out = self;
        for (std::size_t k = pos.seg + 1; k < other.size(); ++k)
            if (!same_xy(out.back(), other[k], tol)) out.push_back(other[k]);
        return out;
    }
    Points out = self;
    out.insert(out.end(), other.begin(), other.end());
    return out;
}

std::vector<Points> find_overlaps(const Points& self, const Points& other, const Tolerance& tol) {
    std::vector<Points> result;
    if (self.size() < 2 || other.size() < 2) return result;
    const Touches touches = collect_touches(self, other, tol);
    Points open;
    auto close = [&]() {
        if (open.size() >= 2) {
            const Point& first = open.front();
            if (std::any_of(open.begin() + 1, open.end(), [&](const Point& p) { return !same_xy(first, p, tol); }))
                result.push_back(std::move(open));
        }
        open.clear();
    };
    struct Mark {
        double t;
        Point p;
    };
    std::vector<Mark> marks;
    for (std::size_t k = 0; k + 1 < self.size(); ++k) {
        const Point& s0 = self[k];
        const Point& s1 = self[k + 1];
        if (same_xy(s0, s1, tol)) continue;  // a repeated vertex does not break a stretch
        const double e = param_reach(s0, s1, tol);
        bool reaches_end = false;
        std::size_t q = touches.start[k];
        const std::size_t stop = touches.start[k + 1];
        bool first_interval = true;
        while (q < stop) {
            if (!touches.items[q].stretch) {
                ++q;
                continue;
            }
            // One merged interval: stretches that overlap or meet along this segment.
            marks.clear();
            double hi = touches.items[q].t1;
            const double lo = touches.items[q].t0;
            for (; q < stop; ++q) {
                const Touch& t = touches.items[q];
                if (!t.stretch) continue;
                if (t.t0 > hi + e) break;
                hi = std::max(hi, t.t1);
                marks.push_back(Mark{t.t0, t.p0});
                marks.push_back(Mark{t.t1, t.p1});
            }
            std::sort(marks.begin(), marks.end(), [](const Mark& l, const Mark& r) { return l.t < r.t; });
            const bool from_start = lo <= e && same_xy(marks.front().p, s0, tol);
            const bool continues = first_interval && from_start && !open.empty() && same_xy(open.back(), s0, tol);
            if (!continues) {
                close();
            }
            for (const Mark& m : marks) {
                Point p = same_xy(m.p, s0, tol) ? s0 : (same_xy(m.p, s1, tol) ? s1 : m.p);
                if (open.empty() || !same_xy(open.back(), p, tol)) open.push_back(p);
            }
            reaches_end = same_xy(open.back(), s1, tol);
            first_interval = false;
        }
        if (first_interval || !reaches_end) close();
    }
    close();
    return result;
}

namespace {

struct Column {
    double x, arrive, leave;
};

std::vector<Column> columns(const Points& pts, const Tolerance& tol) {
    std::vector<Column> cols;
    for (const Point& p : pts) {
        if (!cols.empty() && is_close(cols.back().x, p.x, tol)) cols.back().leave = p.y;
        else cols.push_back(Column{p.x, p.y, p.y});
    }
    return cols;
}

struct Sample {
    double arrive, leave;
    bool vertex;
};

Sample sample(const std::vector<Column>& cols, std::size_t next, double x) {
    // `next` is the first column to the right of x; x lies strictly between two columns.
    if (next == 0) return Sample{cols.front().arrive, cols.front().arrive, false};
    if (next >= cols.size()) return Sample{cols.back().leave, cols.back().leave, false};
    const Column& c0 = cols[next - 1];
    const Column& c1 = cols[next];
    const double y = c0.leave == c1.arrive ? c0.leave : interpolate(c0.x, c0.leave, c1.x, c1.arrive, x);
    return Sample{y, y, false};
}

}  // namespace

// A vertex goes at every x where either profile has one and at every crossing, so the result
// can be walked point by point (a dip of one profile between two vertices of the other is not
// lost). At a vertical step the result arrives at the chosen arriving value and leaves at the
// chosen leaving value.
Points envelope(const Points& a, const Points& b, bool lowest, const Tolerance& tol) {
    if (a.empty() || b.empty()) throw std::invalid_argument("Cannot take the envelope of an empty polyline");
    if (!is_monotonic_ascending_x(a, false, tol) || !is_monotonic_ascending_x(b, false, tol))
        throw std::invalid_argument("Envelope profiles must be monotonic ascending in x");
    const std::vector<Column> ca = columns(a, tol), cb = columns(b, tol);
    const double lo = std::max(ca.front().x, cb.front().x);
    const double hi = std::min(ca.back().x, cb.back().x);
    if (hi < lo && !is_close(hi, lo, tol)) throw std::invalid_argument("The profiles have no x range in common");

    struct Break {
        double x;
        Sample sa, sb;
    };
    std::vector<Break> breaks;
    auto before_lo = [&](double x) { return x < lo && !is_close(x, lo, tol); };
    auto within_hi = [&](double x) { return x <= hi || is_close(x, hi, tol); };
    std::size_t i = 0, j = 0;
    while (i < ca.size() && before_lo(ca[i].x)) ++i;
    while (j < cb.size() && before_lo(cb[j].x)) ++j;
    for (;;) {
        const bool ua = i < ca.size() && within_hi(ca[i].x);
        const bool ub = j < cb.size() && within_hi(cb[j].x);
        if (!ua && !ub) break;
        if (ua && ub && is_close(ca[i].x, cb[j].x, tol)) {
            breaks.push_back(Break{ca[i].x, {ca[i].arrive, ca[i].leave, true}, {cb[j].arrive, cb[j].leave, true}});
            ++i;
            ++j;
        } else if (ua && (!ub || ca[i].x < cb[j].x)) {
            breaks.push_back(Break{ca[i].x, {ca[i].arrive, ca[i].leave, true}, sample(cb, j, ca[i].x)});
            ++i;
        } else {
            breaks.push_back(Break{cb[j].x, sample(ca, i, cb[j].x), {cb[j].arrive, cb[j].leave, true}});
            ++j;
        }
    }

    // True when profile a is the one to take; on a tie the exact vertex wins, then a.
    auto take_a = [&](double ya, bool va, double yb, bool vb) {
        if (is_close(ya, yb, tol)) return va || !vb;
        return lowest ? ya < yb : ya > yb;
    };
    Points out;
    auto emit = [&](double x, double y) {
        const Point p{x, y, 0.0};
        if (out.empty() || !same_xy(out.back(), p, tol)) out.push_back(p);
    };
    for (std::size_t k = 0; k < breaks.size(); ++k) {
        const Break& cur = breaks[k];
        if (k > 0) {
            const Break& prev = breaks[k - 1];
            const double a0 = prev.sa.leave, b0 = prev.sb.leave, a1 = cur.sa.arrive, b1 = cur.sb.arrive;
            // A difference that overflows keeps its sign, so only the crossing's x may need the
            // slow path.
            const double d0 = a0 - b0, d1 = a1 - b1;
            if (!is_close(a0, b0, tol) && !is_close(a1, b1, tol) && ((d0 < 0) != (d1 < 0))) {
                const double shift = (cur.x - prev.x) * d0, gap = d0 - d1;
                const double x = std::isfinite(shift + gap) ? prev.x + shift / gap
                                                            : crossing_x_huge(prev.x, cur.x, a0, b0, a1, b1);
                double y;
                if (a0 == a1) y = a0;
                else if (b0 == b1) y = b0;
                else y = interpolate(prev.x, a0, cur.x, a1, x);
                if (!is_close(x, prev.x, tol) && !is_close(x, cur.x, tol)) emit(x, y);
            }
        }
        const bool arrive_a = take_a(cur.sa.arrive, cur.sa.vertex, cur.sb.arrive, cur.sb.vertex);
        const bool leave_a = take_a(cur.sa.leave, cur.sa.vertex, cur.sb.leave, cur.sb.vertex);
        emit(cur.x, arrive_a ? cur.sa.arrive : cur.sb.arrive);
        emit(cur.x, leave_a ? cur.sa.leave : cur.sb.leave);
    }
    return out;
}

namespace {

// The polygon sums are of cubes of coordinates (the centroid) over every vertex, so a ring is
// scaled from a lower bound than single segments are.
constexpr int kRingExponent = 300;

double ring_scale(const Points& ring) {
    double largest = 0.0;
    for (const Point& p : ring) largest = std::max({largest, std::fabs(p.x), std::fabs(p.y)});
    return scale_for({largest}, kRingExponent);
}

// Twice the signed area of the ring scaled by s (so times s squared). Taken relative to the first
// point: large coordinates would otherwise cancel away the area.
double twice_scaled_area(const Points& ring, double s) {
    if (ring.size() < 3) return 0.0;
    const double ox = ring.front().x * s, oy = ring.front().y * s;
    double twice = 0.0;
    for (std::size_t k = 0; k < ring.size(); ++k) {
        const Point& p = ring[k];
        const Point& q = ring[(k + 1) % ring.size()];
        twice += (p.x * s - ox) * (q.y * s - oy) - (q.x * s - ox) * (p.y * s - oy);
    }
    return twice;
}

}  // namespace

void check_polygon(const Points& ring, const Tolerance& tol) {
    Points distinct;
    for (const Point& p : ring) {
        if (std::none_of(distinct.begin(), distinct.end(), [&](const Point& d) { return same_xy(d, p, tol); }))
            distinct.push_back(p);
        if (distinct.size() == 3) break;
    }
    if (distinct.size() < 3) throw std::invalid_argument("A polygon needs at least 3 distinct points");
    const double s = ring_scale(ring);
    double perimeter = 0.0, scale = 0.0;
    for (std::size_t k = 0; k < ring.size(); ++k) {
        const Point& p = ring[k];
        const Point& q = ring[(k + 1) % ring.size()];
        perimeter += std::hypot(q.x * s - p.x * s, q.y * s - p.y * s);
        scale = std::max({scale, std::fabs(p.x), std::fabs(p.y)});
    }
    // Zero area: the outline is nowhere wider than the tolerance (a sliver of length L and
    // width w has area about L * w and perimeter about 2 L).
    const double width = std::max(tol.atol, tol.rtol * scale) * s;
    if (std::fabs(twice_scaled_area(ring, s) / 2.0) <= width * perimeter / 4.0)
        throw std::invalid_argument("A polygon needs a non-zero area");
}

Point polygon_centroid(const Points& ring) {
    const double s = ring_scale(ring);
    const double area = twice_scaled_area(ring, s) / 2.0;
    const Point& o = ring.front();
    if (area == 0.0) {
        double sx = 0.0, sy = 0.0;
        for (const Point& p : ring) {
            sx += p.x * s;
            sy += p.y * s;
        }
        return Point{sx / ring.size() / s, sy / ring.size() / s, 0.0};
    }
    const double ox = o.x * s, oy = o.y * s;
    double cx = 0.0, cy = 0.0;
    for (std::size_t k = 0; k < ring.size(); ++k) {
        const Point& p = ring[k];
        const Point& q = ring[(k + 1) % ring.size()];
        const double px = p.x * s - ox, py = p.y * s - oy, qx = q.x * s - ox, qy = q.y * s - oy;
        const double c = px * qy - qx * py;
        cx += (px + qx) * c;
        cy += (py + qy) * c;
    }
    return Point{o.x + cx / (6.0 * area) / s, o.y + cy / (6.0 * area) / s, 0.0};
}

}  // namespace geometry
