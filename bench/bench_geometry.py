"""Polyline operations of terrak.geometry against shapely on the same inputs, in one run.

    .venv/bin/python bench/bench_geometry.py [--sizes 10,1000,100000,1000000]

Prints, per operation and profile size, the best time of ours and of shapely and their ratio
(ours / shapely, below 1 is faster), then how our time grows from 1,000 to 100,000 vertices
(100 means linear). Inputs are built outside the timed calls; results are converted to their
usual Python form inside them (our Point lists, shapely geometries).

Times are CPU time of this process: both sides run on one thread, and on a shared machine wall
time mostly measures the other processes.
"""

import argparse
import math
import time

import numpy as np
import shapely
from shapely.geometry import LineString
from shapely.geometry import Point as ShapelyPoint

from terrak.geometry import Point, Polyline


def best_time(fn, budget=0.3, most=7):
    """Smallest of several runs; at least one, more while within the time budget."""
    times = []
    start = time.perf_counter()
    while not times or (len(times) < most and time.perf_counter() - start < budget):
        t0 = time.process_time()
        fn()
        times.append(time.process_time() - t0)
    return min(times)


def profiles(n, seed=1):
    """Two ground-like profiles over the same x range that cross about every few vertices, and a
    third that shares every other pair of segments with the first."""
    rng = np.random.default_rng(seed)
    x = np.arange(n, dtype=float)
    a = np.cumsum(rng.normal(0, 1, n))
    b = a + rng.normal(0, 1, n)
    c = a.copy()
    c[2::4] += 1.0  # every fourth vertex moved: stretches around the others stay shared
    return x, a, b, c


def as_polyline(x, y):
    return Polyline([Point(float(u), float(v)) for u, v in zip(x, y)])


def cases(n):
    x, a, b, c = profiles(n)
    pa, pb, pc = as_polyline(x, a), as_polyline(x, b), as_polyline(x, c)
    # The same path as a with a vertex in the middle of every segment (as joined profiles have).
    xd = np.concatenate([x, (x[:-1] + x[1:]) / 2])
    order = np.argsort(xd, kind="stable")
    xd, ad = xd[order], np.interp(xd[order], x, a)
    pd, sd = as_polyline(xd, ad), LineString(np.column_stack([xd, ad]))
    sa, sb, sc = LineString(np.column_stack([x, a])), LineString(np.column_stack([x, b])), LineString(
        np.column_stack([x, c]))
    probe = Point(float(x[-1]) - 0.5, float(a[-1] + a[-2]) / 2)  # on the last segment: a full scan
    sprobe = ShapelyPoint(probe.x, probe.y)
    mid = float(x[n // 2])
    vertical = LineString([(mid, -1e9), (mid, 1e9)])
    return [
        ("intersections_with_polyline", lambda: pa.intersections_with_polyline(pb),
         lambda: shapely.intersection(sa, sb)),
        ("find_overlaps", lambda: pa.find_overlaps(pc), lambda: shapely.intersection(sa, sc)),
        ("point_is_on_polyline", lambda: pa.point_is_on_polyline(probe), lambda: shapely.dwithin(sa, sprobe, 1e-6)),
        ("intersections_with_x_location", lambda: pa.intersections_with_x_location(mid),
         lambda: shapely.intersection(sa, vertical)),
        ("is_equal_to", lambda: pa.is_equal_to(pd), lambda: shapely.equals(sa, sd)),
        ("get_lowest_or_highest_profile_x",
         lambda: Polyline.get_lowest_or_highest_profile_x(pa, pb, lowest=True), None),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10,1000,100000,1000000")
    sizes = [int(s) for s in parser.parse_args().sizes.split(",")]
    ours = {}
    print(f"shapely {shapely.__version__}, GEOS {shapely.geos_version_string}")
    print(f"{'operation':34} {'vertices':>9} {'ours ms':>10} {'shapely ms':>11} {'ratio':>7}")
    for n in sizes:
        for name, mine, theirs in cases(n):
            t_ours = best_time(mine)
            ours[name, n] = t_ours
            if theirs is None:
                print(f"{name:34} {n:>9} {t_ours * 1e3:>10.3f} {'-':>11} {'-':>7}")
                continue
            t_theirs = best_time(theirs)
            print(f"{name:34} {n:>9} {t_ours * 1e3:>10.3f} {t_theirs * 1e3:>11.3f} {t_ours / t_theirs:>7.2f}")
    if 1000 in sizes and 100000 in sizes:
        print("\nGrowth of our time from 1,000 to 100,000 vertices (100 = linear):")
        for name, _, _ in cases(10):
            growth = ours[name, 100000] / ours[name, 1000]
            print(f"  {name:34} x{growth:8.1f}  (exponent {math.log(growth, 100):.2f})")


if __name__ == "__main__":
    main()
