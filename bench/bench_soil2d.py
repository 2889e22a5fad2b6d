"""Building 2D soil layouts from positional layouts, and cutting their layers into polygons.

    .venv/bin/python bench/bench_soil2d.py [--layers N] [--positions N ...] [--repeat N] [--reference DIR]

A layout of N layers (default 30) is built with SoilLayout2D.from_positional_soil_layouts from M
positional layouts (default 100, 200, 400) under a wavy ground profile that cuts through the upper
layers, so the envelopes and the checks of every layer do real work. Then polygons() runs on all
its layers. Each figure is the best of the repeats in CPU time; the growth column is the ratio to
the previous size (the sizes double, so 2.0 is linear). As a yardstick the same run times a plain
Python loop that builds the same layer boundaries as lists of (x, y) tuples by interpolation.

--reference DIR times the same operations, size by size in the same run, with another build of
terrak installed in DIR (for example `pip install --no-build-isolation --no-deps --target DIR
<source of an older commit>`), in a fresh interpreter; the 'ref' columns show its times and the
ratio to this build's.
"""

import argparse
import json
import math
import os
import subprocess
import sys
from array import array

from terrak.core import Color
from timing import best_cpu_time as best
from terrak.geo import PositionalSoilLayout, Soil, SoilLayer, SoilLayout2D
from terrak.geometry import Point, Polygon, Polyline


def positional_layouts(layers, positions):
    soils = [Soil(f"soil {k}", Color(10 * k % 256, 100, 150)) for k in range(layers)]
    result = []
    for m in range(positions):
        x = float(m)
        levels = [-layers - 1 + k + 0.3 * math.sin(0.1 * m + k) for k in range(layers + 1)]
        # Listed from the bottom up, each layer from its level to the next one.
        result.append(PositionalSoilLayout(x, [SoilLayer(soils[k], levels[k + 1], levels[k]) for k in range(layers)]))
    return result


def ground_profile(layers, positions):
    return Polyline([Point(float(m), -3.0 + 2.0 * math.sin(0.05 * m)) for m in range(positions)])


def plain_python_boundaries(layouts):
    """The yardstick: every layer's top and bottom points, as Python tuples."""
    reference = layouts[0].layers
    boundaries = []
    for i in range(len(reference)):
        boundaries.append(([(p.x, p.layers[i].top_of_layer) for p in layouts],
                           [(p.x, p.layers[i].bottom_of_layer) for p in layouts]))
    return boundaries


def layer_check_calls(top, bottom):
    """The host calls SoilLayer2D's checks make: both ends of both profiles, the upper envelope, and
    whether every point of it lies on the top (one call for the host's own Polylines)."""
    for profile in (top, bottom):
        profile.start_point.x, profile.end_point.x
    upper = Polyline.get_lowest_or_highest_profile_x(top, bottom, lowest=False)
    upper._all_points_on(top)


def boundary_coordinates(layouts):
    """Per layer boundary, bottom first, its points' x, y, z as from_positional_soil_layouts hands
    them to the host."""
    count = len(layouts[0].layers)
    levels = [[p.layers[0].bottom_of_layer for p in layouts]]
    levels += [[p.layers[i].top_of_layer for p in layouts] for i in range(count)]
    return [array("d", [v for p, y in zip(layouts, row) for v in (p.x, y, 0.0)]).tobytes() for row in levels]


def host_calls_of_build(coordinates, ground, built):
    """Replays the geometry calls from_positional_soil_layouts cannot do without: a Polyline made
    from the numbers of each boundary (twice for the inner ones, as the top of one layer and the
    bottom of the next) and its envelope with the ground, then the layer checks and the comparison
    of neighbouring profiles. The kernel and the host's calls; no layout logic."""
    for data in coordinates[:-1] + coordinates[1:-1]:
        Polyline.get_lowest_or_highest_profile_x(Polyline._from_coordinates(data), ground, lowest=True)
    for layer in built.layers:
        layer_check_calls(layer.top_profile, layer.bottom_profile)
        layer.bottom_profile.is_equal_to(layer.top_profile)


def host_calls_of_polygons(built):
    """The geometry call polygons() makes: every stretch's outline and Polygon in one host call."""
    for layer in built.layers:
        Polygon._between_profiles(layer.top_profile, layer.bottom_profile)


def reference_times(directory, script, args):
    """The operations `script` times for one size, with the terrak installed in `directory` first
    on the path: {operation: CPU ms}."""
    path = os.pathsep.join(filter(None, [os.path.abspath(directory), os.environ.get("PYTHONPATH")]))
    run = subprocess.run([sys.executable, os.path.abspath(script), *map(str, args), "--operations-only"],
                         env=dict(os.environ, PYTHONPATH=path), capture_output=True, text=True,
                         cwd=os.path.dirname(os.path.abspath(script)))
    if run.returncode != 0:
        raise SystemExit(f"the reference build failed:\n{run.stderr}")
    return json.loads(run.stdout)


def reference_arguments(parser):
    parser.add_argument("--reference", metavar="DIR", help="also time a build of terrak installed in DIR")
    parser.add_argument("--operations-only", action="store_true", help=argparse.SUPPRESS)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--layers", type=int, default=30)
    parser.add_argument("--positions", type=int, nargs="+", default=[100, 200, 400])
    parser.add_argument("--repeat", type=int, default=3)
    reference_arguments(parser)
    args = parser.parse_args()
    if args.operations_only:
        layouts = positional_layouts(args.layers, args.positions[0])
        ground = ground_profile(args.layers, args.positions[0])
        built = SoilLayout2D.from_positional_soil_layouts(layouts, ground)
        print(json.dumps({
            "build": best(lambda: SoilLayout2D.from_positional_soil_layouts(layouts, ground), args.repeat) * 1000,
            "polygons": best(lambda: [layer.polygons() for layer in built.layers], args.repeat) * 1000}))
        return
    print(f"{args.layers} layers; CPU ms, best of {args.repeat}; 'host' is the time of the geometry calls each "
          "operation must make (kernel and host objects), replayed from Python")
    header = (f"{'positions':>9} {'build':>9} {'growth':>7} {'host':>7} {'share':>6} {'polygons':>9} {'growth':>7} "
              f"{'host':>7} {'share':>6} {'python loop':>12} {'build/loop':>10}")
    if args.reference:
        header += f" {'ref build':>9} {'ratio':>6} {'ref polygons':>12} {'ratio':>6}"
    print(header)
    previous = None
    for positions in args.positions:
        layouts = positional_layouts(args.layers, positions)
        ground = ground_profile(args.layers, positions)
        built = SoilLayout2D.from_positional_soil_layouts(layouts, ground)
        build = best(lambda: SoilLayout2D.from_positional_soil_layouts(layouts, ground), args.repeat) * 1000
        cut = best(lambda: [layer.polygons() for layer in built.layers], args.repeat) * 1000
        loop = best(lambda: plain_python_boundaries(layouts), args.repeat) * 1000
        coordinates = boundary_coordinates(layouts)
        host_build = best(lambda: host_calls_of_build(coordinates, ground, built), args.repeat) * 1000
        host_cut = best(lambda: host_calls_of_polygons(built), args.repeat) * 1000
        growth = ("", "") if previous is None else (f"{build / previous[0]:.2f}", f"{cut / previous[1]:.2f}")
        line = (f"{positions:>9} {build:>9.1f} {growth[0]:>7} {host_build:>7.1f} {host_build / build:>6.0%} "
                f"{cut:>9.1f} {growth[1]:>7} {host_cut:>7.1f} {host_cut / cut:>6.0%} {loop:>12.2f} "
                f"{build / loop:>10.1f}")
        if args.reference:
            ref = reference_times(args.reference, __file__,
                                  ["--layers", args.layers, "--positions", positions, "--repeat", args.repeat])
            line += (f" {ref['build']:>9.1f} {ref['build'] / build:>6.1f} {ref['polygons']:>12.1f} "
                     f"{ref['polygons'] / cut:>6.1f}")
        print(line)
        previous = (build, cut)


if __name__ == "__main__":
    main()
