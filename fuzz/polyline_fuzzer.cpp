// libFuzzer harness of the polyline kernel: two polylines and a point decoded from the input, then
// every operation. Coordinates are mostly small multiples of 1/4 (so that touching points, shared
// stretches and vertical steps are common) and sometimes any finite double; an operation may
// refuse its input with std::invalid_argument, nothing else. Built and run by fuzz/run.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "geometry/polyline.hpp"

namespace {

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;

    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    double coordinate(bool raw) {
        if (raw && pos + 8 <= size) {
            double v;
            std::memcpy(&v, data + pos, 8);
            pos += 8;
            return std::isfinite(v) ? v : 0.0;
        }
        const auto hi = byte(), lo = byte();
        return static_cast<std::int16_t>((hi << 8) | lo) / 4.0;
    }
};

geometry::Points polyline(Reader& in, bool raw) {
    const std::size_t n = in.byte() % 48;
    geometry::Points pts;
    for (std::size_t k = 0; k < n; ++k) {
        const double x = in.coordinate(raw), y = in.coordinate(raw);
        pts.push_back(geometry::make_point(x, y));
    }
    return pts;
}

// The kernel never answers with a non-finite coordinate, whatever finite input it is given.
void expect_finite(const geometry::Points& pts) {
    for (const geometry::Point& p : pts)
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) __builtin_trap();
}

void expect_finite(const std::vector<geometry::Points>& parts) {
    for (const auto& part : parts) expect_finite(part);
}

void expect_finite(const std::pair<geometry::Points, geometry::Points>& parts) {
    expect_finite(parts.first);
    expect_finite(parts.second);
}

template <class F>
void attempt(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    const std::uint8_t flags = in.byte();
    const bool raw = flags & 1;
    const geometry::Tolerance tol{(flags & 2) ? 1e-3 : 1e-9, (flags & 4) ? 0.5 : 1e-6};
    const geometry::Points a = polyline(in, raw);
    const geometry::Points b = polyline(in, raw);
    // The point: a vertex of either line, a point between two vertices, or free coordinates.
    geometry::Point p;
    try {
    const auto choice = in.byte();
    const auto& from = (choice & 1) ? b : a;
    if (!from.empty() && (choice & 6) == 0) {
        p = from[in.byte() % from.size()];
    } else if (from.size() > 1 && (choice & 6) == 2) {
        const auto k = in.byte() % (from.size() - 1);
        const double t = in.byte() / 255.0;
        p = geometry::make_point(from[k].x + t * (from[k + 1].x - from[k].x), from[k].y + t * (from[k + 1].y - from[k].y));
    } else {
        const double x = in.coordinate(raw), y = in.coordinate(raw);
        p = geometry::make_point(x, y);
    }
    } catch (const std::invalid_argument&) {  // a point between two far vertices may overflow
        return 0;
    }
    const geometry::Point q = a.empty() ? p : a[in.byte() % a.size()];

    attempt([&] { expect_finite(geometry::intersections(a, b, tol)); });
    attempt([&] { expect_finite(geometry::intersections_with_x(a, p.x, tol)); });
    attempt([&] { (void)geometry::point_on_polyline(a, p, tol); });
    attempt([&] { expect_finite(geometry::polyline_between(a, p, q, true, tol)); });
    attempt([&] { expect_finite(geometry::polyline_between(a, q, p, false, tol)); });
    attempt([&] { (void)geometry::is_monotonic_ascending_x(a, true, tol); });
    attempt([&] { (void)geometry::is_monotonic_ascending_x(a, false, tol); });
    attempt([&] { (void)geometry::is_equal(a, b, tol); });
    attempt([&] { expect_finite(geometry::split(a, p, tol)); });
    attempt([&] { expect_finite(geometry::combine(a, b, tol)); });
    attempt([&] { expect_finite(geometry::find_overlaps(a, b, tol)); });
    attempt([&] { expect_finite(geometry::envelope(a, b, true, tol)); });
    attempt([&] { expect_finite(geometry::envelope(a, b, false, tol)); });
    attempt([&] {
        geometry::check_polygon(a, tol);
        expect_finite({geometry::polygon_centroid(a)});
    });
    return 0;
}
