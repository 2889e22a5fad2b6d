#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "geometry/polyline.hpp"

using geometry::Point;
using geometry::Points;
using geometry::Tolerance;

namespace {

const Tolerance tol{};

Points pl(std::initializer_list<std::pair<double, double>> xy) {
    Points out;
    for (auto [x, y] : xy) out.push_back(Point{x, y, 0.0});
    return out;
}

std::string show(const Points& pts) {
    std::string s = "[";
    for (const Point& p : pts) s += "(" + std::to_string(p.x) + ", " + std::to_string(p.y) + ")";
    return s + "]";
}

// Exact comparison: the kernel promises exact vertex and axis coordinates, not approximations.
void expect_points(const Points& got, const Points& want) {
    ASSERT_EQ(got.size(), want.size()) << show(got);
    for (std::size_t k = 0; k < got.size(); ++k) {
        EXPECT_EQ(got[k].x, want[k].x) << "point " << k << " of " << show(got);
        EXPECT_EQ(got[k].y, want[k].y) << "point " << k << " of " << show(got);
    }
}

}  // namespace

TEST(Point, RefusesNonFiniteCoordinates) {
    EXPECT_THROW(geometry::make_point(std::nan(""), 0), std::invalid_argument);
    EXPECT_THROW(geometry::make_point(0, 1.0 / 0.0), std::invalid_argument);
    EXPECT_THROW(geometry::make_point(0, 0, -1.0 / 0.0), std::invalid_argument);
    EXPECT_NO_THROW(geometry::make_point(1e300, -1e300, 0));
}

TEST(Point, EqualityUsesRelativeAndAbsoluteTolerance) {
    EXPECT_TRUE(geometry::same_xy({0, 0}, {5e-7, -5e-7}, tol));
    EXPECT_FALSE(geometry::same_xy({0, 0}, {2e-6, 0}, tol));
    EXPECT_TRUE(geometry::same_xy({1e6, 0}, {1e6 + 1e-4, 0}, tol));  // relative part
    EXPECT_FALSE(geometry::same_xyz({0, 0, 0}, {0, 0, 1}, tol));
}

struct IntersectCase {
    const char* name;
    Points a, b, want;
};

class Intersections : public ::testing::TestWithParam<IntersectCase> {};

TEST_P(Intersections, InOrderAlongSelfEachOnce) {
    const auto& c = GetParam();
    expect_points(geometry::intersections(c.a, c.b, tol), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Polyline, Intersections,
    ::testing::Values(
        IntersectCase{"crossing", pl({{0, 0}, {10, 10}}), pl({{0, 10}, {10, 0}}), pl({{5, 5}})},
        IntersectCase{"none", pl({{0, 0}, {10, 0}}), pl({{0, 1}, {10, 1}}), {}},
        IntersectCase{"touch_at_vertex", pl({{0, 0}, {5, 5}, {10, 0}}), pl({{0, 5}, {10, 5}}), pl({{5, 5}})},
        IntersectCase{"end_on_other", pl({{0, 0}, {5, 0}}), pl({{5, -1}, {5, 1}}), pl({{5, 0}})},
        IntersectCase{"shared_stretch_both_ends", pl({{0, 0}, {10, 0}}), pl({{2, 1}, {3, 0}, {7, 0}, {8, 1}}),
                      pl({{3, 0}, {7, 0}})},
        IntersectCase{"order_follows_self_not_other", pl({{10, 0}, {0, 0}}), pl({{2, -1}, {2, 1}, {8, 1}, {8, -1}}),
                      pl({{8, 0}, {2, 0}})},
        IntersectCase{"vertical_segment_x_exact", pl({{0, 0}, {3, 0.1}, {9.3, 7.7}}), pl({{7, -10}, {7, 10}}),
                      pl({{7, 0.1 + (7 - 3) * (7.6 / 6.3)}})},
        IntersectCase{"near_vertex_snaps_to_vertex", pl({{0, 0}, {10, 0}}), pl({{4.0000001, -1}, {4.0000001, 0}}),
                      pl({{4.0000001, 0}})},
        IntersectCase{"one_point_line", pl({{3, 0}}), pl({{0, 0}, {10, 0}}), pl({{3, 0}})},
        IntersectCase{"empty", {}, pl({{0, 0}, {10, 0}}), {}},
        IntersectCase{"through_vertex_of_both", pl({{0, 0}, {5, 5}, {10, 0}}), pl({{0, 10}, {5, 5}, {10, 10}}),
                      pl({{5, 5}})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Polyline, CrossingWithVerticalCutKeepsItsXExactly) {
    // Interpolating along this line would put the crossing at x = 10.000000000000002.
    const Points line = pl({{1.8, -0.9}, {16.1, -3.4}});
    const Points cut = pl({{10, 20}, {10, -20}});
    const Points hit = geometry::intersections(line, cut, tol);
    ASSERT_EQ(hit.size(), 1u);
    EXPECT_EQ(hit[0].x, 10.0);
}

TEST(Polyline, IntersectionsWithXLocation) {
    expect_points(geometry::intersections_with_x(pl({{0, 0}, {10, 10}}), 2.5, tol), pl({{2.5, 2.5}}));
    // A vertical step gives both ends, in order along the line.
    expect_points(geometry::intersections_with_x(pl({{0, 0}, {5, 0}, {5, 3}, {10, 3}}), 5, tol),
                  pl({{5, 0}, {5, 3}}));
    expect_points(geometry::intersections_with_x(pl({{0, 0}, {5, 0}, {5, 3}, {10, 3}}), 11, tol), {});
    // A repeated vertex is one hit.
    expect_points(geometry::intersections_with_x(pl({{0, 0}, {5, 1}, {5, 1}, {10, 3}}), 5, tol), pl({{5, 1}}));
    EXPECT_THROW(geometry::intersections_with_x(pl({{0, 0}, {10, 10}}), std::nan(""), tol), std::invalid_argument);
}

TEST(Polyline, IntersectionsWithXOnRingCountsClosingPointOnce) {
    // Closed ring around a square: the vertical line through the left side meets the ring at
    // its start (= closing point) and the top-left corner.
    const Points ring = pl({{0, 0}, {10, 0}, {10, 5}, {0, 5}, {0, 0}});
    expect_points(geometry::intersections_with_x(ring, 0, tol), pl({{0, 0}, {0, 5}}));
    expect_points(geometry::intersections_with_x(ring, 4, tol), pl({{4, 0}, {4, 5}}));
    // A line that comes back to a point reports it again.
    const Points back = pl({{0, 0}, {5, 5}, {10, 0}, {5, 5}, {0, 10}});
    expect_points(geometry::intersections_with_x(back, 5, tol), pl({{5, 5}, {5, 5}}));
}

TEST(Polyline, PolylineBetween) {
    const Points line = pl({{0, 0}, {2, 2}, {4, 0}, {6, 2}});
    expect_points(geometry::polyline_between(line, {1, 1}, {5, 1}, true, tol), pl({{1, 1}, {2, 2}, {4, 0}, {5, 1}}));
    expect_points(geometry::polyline_between(line, {2, 2}, {4, 0}, true, tol), pl({{2, 2}, {4, 0}}));
    expect_points(geometry::polyline_between(line, {1, 1}, {5, 1}, false, tol), pl({{2, 2}, {4, 0}}));
    // Within tolerance of a vertex means that vertex.
    expect_points(geometry::polyline_between(line, {2.0000001, 2}, {4, 0}, true, tol), pl({{2, 2}, {4, 0}}));
    // p2 before p1: still from p1 to p2.
    expect_points(geometry::polyline_between(line, {5, 1}, {1, 1}, true, tol), pl({{5, 1}, {4, 0}, {2, 2}, {1, 1}}));
    expect_points(geometry::polyline_between(line, {3, 1}, {3, 1}, true, tol), pl({{3, 1}}));
    EXPECT_THROW(geometry::polyline_between(line, {1, 5}, {5, 1}, true, tol), std::invalid_argument);
    EXPECT_THROW(geometry::polyline_between(line, {1, 1}, {5, 5}, true, tol), std::invalid_argument);
    EXPECT_THROW(geometry::polyline_between({}, {1, 1}, {5, 5}, true, tol), std::invalid_argument);
}

TEST(Polyline, PointIsOnPolyline) {
    const Points line = pl({{0, 0}, {10, 0}, {10, 10}});
    EXPECT_TRUE(geometry::point_on_polyline(line, {5, 0}, tol));
    EXPECT_TRUE(geometry::point_on_polyline(line, {10, 7}, tol));
    EXPECT_TRUE(geometry::point_on_polyline(line, {5, 5e-7}, tol));
    EXPECT_FALSE(geometry::point_on_polyline(line, {5, 1e-5}, tol));
    EXPECT_FALSE(geometry::point_on_polyline(line, {11, 0}, tol));
    EXPECT_TRUE(geometry::point_on_polyline(pl({{1, 1}}), {1, 1}, tol));
    EXPECT_FALSE(geometry::point_on_polyline({}, {1, 1}, tol));
}

TEST(Polyline, MonotonicAscendingX) {
    const Points step = pl({{0, 0}, {5, 0}, {5, 3}, {10, 3}});
    EXPECT_FALSE(geometry::is_monotonic_ascending_x(step, true, tol));
    EXPECT_TRUE(geometry::is_monotonic_ascending_x(step, false, tol));
    EXPECT_TRUE(geometry::is_monotonic_ascending_x(pl({{0, 0}, {10, 0}}), true, tol));
    EXPECT_FALSE(geometry::is_monotonic_ascending_x(pl({{0, 0}, {10, 0}, {9, 0}}), false, tol));
    // Rounding noise on a vertical step is not a decrease.
    EXPECT_TRUE(geometry::is_monotonic_ascending_x(pl({{0, 0}, {10, 0}, {9.999999999999998, 3}}), false, tol));
    EXPECT_TRUE(geometry::is_monotonic_ascending_x({}, true, tol));
}

TEST(Polyline, IsEqualComparesThePath) {
    const Points a = pl({{0, 0}, {5, 5}, {10, 0}});
    EXPECT_TRUE(geometry::is_equal(a, pl({{0, 0}, {2, 2}, {5, 5}, {5, 5}, {10, 0}}), tol));
    EXPECT_TRUE(geometry::is_equal(a, pl({{0, 0}, {5, 5.0000001}, {10, 0}}), tol));
    EXPECT_FALSE(geometry::is_equal(a, pl({{10, 0}, {5, 5}, {0, 0}}), tol));  // direction counts
    EXPECT_FALSE(geometry::is_equal(a, pl({{0, 0}, {5, 5}, {10, 0}, {11, -1}}), tol));
    // Going back along itself is not a straight vertex.
    EXPECT_FALSE(geometry::is_equal(pl({{0, 0}, {10, 0}, {5, 0}}), pl({{0, 0}, {5, 0}}), tol));
    EXPECT_TRUE(geometry::is_equal({}, {}, tol));
    EXPECT_FALSE(geometry::is_equal({}, pl({{0, 0}}), tol));
}

TEST(Polyline, SplitGivesBothPartsHoldingThePoint) {
    const Points line = pl({{0, 0}, {4, 0}, {8, 4}});
    auto [a, b] = geometry::split(line, {2, 0}, tol);
    expect_points(a, pl({{0, 0}, {2, 0}}));
    expect_points(b, pl({{2, 0}, {4, 0}, {8, 4}}));
    auto [c, d] = geometry::split(line, {4, 0}, tol);
    expect_points(c, pl({{0, 0}, {4, 0}}));
    expect_points(d, pl({{4, 0}, {8, 4}}));
    auto [e, f] = geometry::split(line, {0, 0}, tol);
    expect_points(e, pl({{0, 0}}));
    expect_points(f, line);
    EXPECT_THROW(geometry::split(line, {2, 1}, tol), std::invalid_argument);
}

struct CombineCase {
    const char* name;
    Points a, b, want;
};

class Combine : public ::testing::TestWithParam<CombineCase> {};

TEST_P(Combine, Joins) {
    const auto& c = GetParam();
    expect_points(geometry::combine(c.a, c.b, tol), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Polyline, Combine,
    ::testing::Values(
        CombineCase{"empty_self", {}, pl({{0, 0}, {1, 1}}), pl({{0, 0}, {1, 1}})},
        CombineCase{"empty_other", pl({{0, 0}, {1, 1}}), {}, pl({{0, 0}, {1, 1}})},
        CombineCase{"end_to_start", pl({{0, 0}, {1, 1}}), pl({{1, 1}, {2, 0}}), pl({{0, 0}, {1, 1}, {2, 0}})},
        CombineCase{"straight_join", pl({{0, 0}, {1, 1}}), pl({{3, 3}, {4, 0}}),
                    pl({{0, 0}, {1, 1}, {3, 3}, {4, 0}})},
        // other starts inside self, runs along it to self's end, then continues
        CombineCase{"partial_continuation", pl({{0, 0}, {10, 0}}), pl({{6, 0}, {10, 0}, {10, 5}}),
                    pl({{0, 0}, {10, 0}, {10, 5}})},
        // other lies on self (even running backwards): self with other's vertices added
        CombineCase{"other_on_self", pl({{0, 0}, {0, 10}}), pl({{0, 10}, {0, 7}, {0, 3}}),
                    pl({{0, 0}, {0, 3}, {0, 7}, {0, 10}})},
        CombineCase{"other_on_self_across_vertex", pl({{0, 0}, {4, 0}, {4, 4}}), pl({{2, 0}, {4, 0}, {4, 2}}),
                    pl({{0, 0}, {2, 0}, {4, 0}, {4, 2}, {4, 4}})},
        CombineCase{"one_point_self", pl({{1, 1}}), pl({{1, 1}, {2, 2}}), pl({{1, 1}, {2, 2}})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Polyline, FindOverlapsMergedInSelfDirectionWithVerticesOfBoth) {
    const Points self = pl({{0, 0}, {4, 0}, {8, 0}, {8, 4}});
    const Points other = pl({{10, 2}, {8, 2}, {8, 0}, {6, 0}, {2, 0}, {2, -3}});
    const auto got = geometry::find_overlaps(self, other, tol);
    ASSERT_EQ(got.size(), 1u);
    expect_points(got[0], pl({{2, 0}, {4, 0}, {6, 0}, {8, 0}, {8, 2}}));
}

TEST(Polyline, FindOverlapsExcludesTouchingPointsAndKeepsSeparateStretches) {
    const Points self = pl({{0, 0}, {10, 0}});
    EXPECT_TRUE(geometry::find_overlaps(self, pl({{5, 0}, {5, 5}}), tol).empty());
    EXPECT_TRUE(geometry::find_overlaps(self, pl({{0, 5}, {5, 0}, {10, 5}}), tol).empty());
    const auto two = geometry::find_overlaps(self, pl({{1, 0}, {3, 0}, {3, 2}, {6, 2}, {6, 0}, {9, 0}}), tol);
    ASSERT_EQ(two.size(), 2u);
    expect_points(two[0], pl({{1, 0}, {3, 0}}));
    expect_points(two[1], pl({{6, 0}, {9, 0}}));
    EXPECT_TRUE(geometry::find_overlaps(self, {}, tol).empty());
}

TEST(Polyline, FindOverlapsFollowsSelfOverRepeatedVertex) {
    const auto got = geometry::find_overlaps(pl({{0, 0}, {5, 0}, {5, 0}, {10, 0}}), pl({{10, 0}, {0, 0}}), tol);
    ASSERT_EQ(got.size(), 1u);
    expect_points(got[0], pl({{0, 0}, {5, 0}, {10, 0}}));
}

struct EnvelopeCase {
    const char* name;
    Points a, b;
    bool lowest;
    Points want;
};

class Envelope : public ::testing::TestWithParam<EnvelopeCase> {};

TEST_P(Envelope, PointwiseLowerOrHigher) {
    const auto& c = GetParam();
    expect_points(geometry::envelope(c.a, c.b, c.lowest, tol), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Polyline, Envelope,
    ::testing::Values(
        EnvelopeCase{"crossing_inserted", pl({{0, 0}, {10, 10}}), pl({{0, 10}, {10, 0}}), true,
                     pl({{0, 0}, {5, 5}, {10, 0}})},
        EnvelopeCase{"common_range_only", pl({{-5, 1}, {15, 1}}), pl({{0, 3}, {10, 3}}), true, pl({{0, 1}, {10, 1}})},
        // The straight bottom is sampled at the top's vertices, so a walk over the points sees
        // the top dipping below it.
        EnvelopeCase{"keeps_samples_of_other_profile", pl({{0, 5}, {5, -1}, {10, 5}}), pl({{0, 0}, {10, 0}}), false,
                     pl({{0, 5}, {25.0 / 6.0, 0}, {5, 0}, {35.0 / 6.0, 0}, {10, 5}})},
        EnvelopeCase{"vertical_step_lowest", pl({{0, 5}, {5, 5}, {5, 0}, {10, 0}}), pl({{0, 3}, {10, 3}}), true,
                     pl({{0, 3}, {5, 3}, {5, 0}, {10, 0}})},
        EnvelopeCase{"vertical_step_highest", pl({{0, 5}, {5, 5}, {5, 0}, {10, 0}}), pl({{0, 3}, {10, 3}}), false,
                     pl({{0, 5}, {5, 5}, {5, 3}, {10, 3}})},
        EnvelopeCase{"equal_profiles", pl({{0, 0}, {5, 1}, {10, 0}}), pl({{0, 0}, {10, 0}}), true,
                     pl({{0, 0}, {5, 0}, {10, 0}})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Polyline, EnvelopeRefusesDisjointOrNonMonotonicProfiles) {
    EXPECT_THROW(geometry::envelope(pl({{0, 0}, {1, 0}}), pl({{2, 0}, {3, 0}}), true, tol), std::invalid_argument);
    EXPECT_THROW(geometry::envelope(pl({{0, 0}, {5, 0}, {4, 1}}), pl({{0, 0}, {5, 0}}), true, tol),
                 std::invalid_argument);
    EXPECT_THROW(geometry::envelope({}, pl({{0, 0}, {5, 0}}), true, tol), std::invalid_argument);
}

TEST(Polygon, RefusesDegenerateOutlines) {
    EXPECT_THROW(geometry::check_polygon(pl({{0, 0}, {1, 1}, {0, 0}, {1, 1}}), tol), std::invalid_argument);
    EXPECT_THROW(geometry::check_polygon(pl({{0, 0}, {5, 0}, {10, 0}}), tol), std::invalid_argument);
    EXPECT_THROW(geometry::check_polygon(pl({{0, 0}, {5, 1e-8}, {10, 0}}), tol), std::invalid_argument);
    EXPECT_NO_THROW(geometry::check_polygon(pl({{0, 0}, {5, 1e-3}, {10, 0}}), tol));
}

TEST(Polygon, CentroidIsAreaWeighted) {
    // An L shape: a 2x1 and a 1x1 square.
    const Point c = geometry::polygon_centroid(pl({{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}}));
    EXPECT_DOUBLE_EQ(c.x, 5.0 / 6.0);
    EXPECT_DOUBLE_EQ(c.y, 5.0 / 6.0);
    const Point far = geometry::polygon_centroid(pl({{1e8, 1e8}, {1e8 + 2, 1e8}, {1e8 + 2, 1e8 + 2}, {1e8, 1e8 + 2}}));
    EXPECT_DOUBLE_EQ(far.x, 1e8 + 1);
}

TEST(Polyline, PointOnAscendingLineAgreesWithTheFullScan) {
    // Profiles with vertical steps, repeated x and tiny segments; points on vertices, inside
    // segments, just within and just outside the tolerance, and far away.
    const std::vector<Points> lines = {
        {{0, 0}, {1, 1}, {1, 3}, {2, 3}, {2, 3}, {5, -1}, {5, -1.0000005}, {9, 0}},
        {{-3, 0}, {-3, 0}, {0, 0}},
        {{0, 0}, {1e-7, 1}, {1, 1}, {1000, 2}, {1e6, 5}},
    };
    for (const auto& line : lines) {
        ASSERT_TRUE(geometry::x_never_decreases(line));
        for (double x = -4; x <= 10; x += 0.125) {
            for (double y : {-1.0, -0.5, 0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 3.0000009, 3.000002}) {
                const Point p{x, y};
                EXPECT_EQ(geometry::point_on_x_ascending_polyline(line, p, tol), geometry::point_on_polyline(line, p, tol))
                    << x << ", " << y;
            }
        }
        for (std::size_t i = 0; i + 1 < line.size(); ++i) {
            const Point middle{(line[i].x + line[i + 1].x) / 2, (line[i].y + line[i + 1].y) / 2};
            EXPECT_TRUE(geometry::point_on_x_ascending_polyline(line, middle, tol));
            EXPECT_TRUE(geometry::point_on_x_ascending_polyline(line, line[i], tol));
        }
    }
    EXPECT_FALSE(geometry::x_never_decreases({{0, 0}, {1, 0}, {0.5, 1}}));
}

// The profile shortcuts of polyline_between and split must give the full scans' parts and errors,
// also where a point lies on a vertical step, on a repeated vertex, or before the start point.
TEST(Polyline, PartsOfAscendingLinesAgreeWithTheFullScan) {
    const std::vector<Points> lines = {
        {{0, 0}, {1, 1}, {1, 3}, {2, 3}, {2, 3}, {5, -1}, {5, -1.0000005}, {9, 0}},
        {{-3, 0}, {-3, 0}, {0, 0}},
        {{0, 0}, {1, 0}, {1, 2}, {1, 1}, {3, 1}},  // a vertical step that doubles back
    };
    // The coordinates of the part, or the error's text.
    auto outcome = [](auto&& f) -> std::pair<std::vector<std::array<double, 3>>, std::string> {
        try {
            std::vector<std::array<double, 3>> out;
            for (const Point& p : f()) out.push_back({p.x, p.y, p.z});
            return {out, ""};
        } catch (const std::invalid_argument& e) {
            return {{}, e.what()};
        }
    };
    for (const auto& line : lines) {
        ASSERT_TRUE(geometry::x_never_decreases(line));
        Points probes(line);
        for (std::size_t i = 0; i + 1 < line.size(); ++i)
            probes.push_back({(line[i].x + line[i + 1].x) / 2, (line[i].y + line[i + 1].y) / 2});
        probes.push_back({0.5, 7});  // on no line
        for (const Point& a : probes) {
            EXPECT_EQ(outcome([&] { return geometry::split(line, a, tol, true).first; }),
                      outcome([&] { return geometry::split(line, a, tol).first; }));
            EXPECT_EQ(outcome([&] { return geometry::split(line, a, tol, true).second; }),
                      outcome([&] { return geometry::split(line, a, tol).second; }));
            for (const Point& b : probes) {
                for (bool inclusive : {true, false}) {
                    EXPECT_EQ(outcome([&] { return geometry::polyline_between(line, a, b, inclusive, tol, true); }),
                              outcome([&] { return geometry::polyline_between(line, a, b, inclusive, tol); }))
                        << a.x << "," << a.y << " -> " << b.x << "," << b.y;
                }
            }
        }
        EXPECT_TRUE(geometry::points_on_polyline(line, line, true, tol));
        EXPECT_FALSE(geometry::points_on_polyline(probes, line, true, tol));
        EXPECT_FALSE(geometry::points_on_polyline(probes, line, false, tol));
    }
}

// Coordinates far beyond 1e154, where products of coordinates overflow: every answer is the one
// the same figure gives at ordinary size, scaled, and every coordinate stays finite.
TEST(ExtremeMagnitudes, CrossingAtTheLargestCoordinatesIsFound) {
    expect_points(geometry::intersections(pl({{0, 1e200}, {2e200, 1e200}}), pl({{1e200, 0}, {1e200, 2e200}}), tol),
                  pl({{1e200, 1e200}}));
    expect_points(geometry::intersections(pl({{-1e308, -1e308}, {1e308, 1e308}}), pl({{-1e308, 1e308}, {1e308, -1e308}}), tol),
                  pl({{0, 0}}));
    EXPECT_TRUE(geometry::point_on_polyline(pl({{-1e308, -1e308}, {1e308, 1e308}}), Point{5e307, 5e307}, tol));
    EXPECT_FALSE(geometry::point_on_polyline(pl({{-1e308, -1e308}, {1e308, 1e308}}), Point{5e307, -5e307}, tol));
}

TEST(ExtremeMagnitudes, InterpolationStaysFinite) {
    expect_points(geometry::intersections_with_x(pl({{0, -1e308}, {1, 1e308}}), 0.5, tol), pl({{0.5, 0}}));
    expect_points(geometry::intersections_with_x(pl({{-1e308, 0}, {1e308, 1e300}}), 0, tol), pl({{0, 5e299}}));
    const Points low = geometry::envelope(pl({{-1e308, -1e308}, {1e308, 1e308}}), pl({{-1e308, 1e308}, {1e308, -1e308}}),
                                          true, tol);
    expect_points(low, pl({{-1e308, -1e308}, {0, 0}, {1e308, -1e308}}));
}

TEST(ExtremeMagnitudes, PolygonOfHugeSideHasItsCentroidAndArea) {
    const Points square = pl({{0, 0}, {1e155, 0}, {1e155, 1e155}, {0, 1e155}});
    EXPECT_NO_THROW(geometry::check_polygon(square, tol));
    const Point c = geometry::polygon_centroid(square);
    EXPECT_DOUBLE_EQ(c.x, 5e154);
    EXPECT_DOUBLE_EQ(c.y, 5e154);
    const Point far = geometry::polygon_centroid(pl({{-1e308, -1e308}, {1e308, -1e308}, {1e308, 1e308}, {-1e308, 1e308}}));
    EXPECT_EQ(far.x, 0.0);
    EXPECT_EQ(far.y, 0.0);
    EXPECT_THROW(geometry::check_polygon(pl({{-1e308, 0}, {0, 1e-300}, {1e308, 0}}), tol), std::invalid_argument);
}

TEST(ExtremeMagnitudes, ScaledFiguresGiveScaledAnswers) {
    // A power of two scales exactly, so the answers must match bit for bit.
    const Points a = pl({{0, 0}, {3, 4}, {7, -2}, {10, 1}}), b = pl({{-1, 1}, {4, 1}, {6, -3}, {11, 2}});
    for (int e : {0, 480, 600, 1000}) {
        const double k = std::ldexp(1.0, e);
        Points sa, sb;
        for (const Point& p : a) sa.push_back(Point{p.x * k, p.y * k});
        for (const Point& p : b) sb.push_back(Point{p.x * k, p.y * k});
        Points want;
        for (const Point& p : geometry::intersections(a, b, tol)) want.push_back(Point{p.x * k, p.y * k});
        expect_points(geometry::intersections(sa, sb, tol), want);
        Points low;
        for (const Point& p : geometry::envelope(a, b, true, tol)) low.push_back(Point{p.x * k, p.y * k});
        expect_points(geometry::envelope(sa, sb, true, tol), low);
    }
}
