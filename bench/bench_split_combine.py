"""Split and combine of 2D soil layouts, timed on layered layouts built from positional layouts.

    .venv/bin/python bench/bench_split_combine.py [--layers N] [--positions N ...] [--repeat N] [--reference DIR]

A layout of N layers is built from M positional layouts at x = 0, 1, ..., M - 1 (so every layer
profile has M vertices) under a wavy ground profile. It is split by a falling cut from above
its left end to below its right end and by a horizontal cut across it, and the two pieces of
the falling cut are combined again. Each figure is the best of the repeats, in CPU time. The
sizes in --positions double, so the last column shows how time grows with the vertex count
(2.0 is linear).

For a sense of scale the same run times shapely splitting every layer's polygon by the falling
cut: a lower bound for the geometry alone, without building layers or checking the layouts.
--reference DIR adds the times of another build of terrak, as in bench_soil2d.py.
"""

import argparse
import json
import math
import time

from terrak.core import Color
from timing import best_cpu_time as best
from terrak.geo import PositionalSoilLayout, Soil, SoilLayer, SoilLayout2D
from terrak.geometry import Point, Polyline
from bench_soil2d import layer_check_calls, reference_arguments, reference_times

try:
    import shapely
    from shapely.geometry import LineString, Polygon
    from shapely.ops import split as shapely_split
except ImportError:  # the peer figure is optional
    shapely = None


def build_layout(n_layers, n_positions):
    soils = [Soil(f"Soil {k}", Color(10 * k % 256, 100, 150)) for k in range(n_layers)]
    positional = []
    for i in range(n_positions):
        level = -60.0 + 3.0 * math.sin(i / 7.0)
        layers = []
        for k, soil in enumerate(soils):
            top = level + 1.5 + math.sin(i / 5.0 + k) * 0.5
            layers.append(SoilLayer(soil, top, level))
            level = top
        positional.append(PositionalSoilLayout(float(i), layers))
    ground = Polyline([Point(float(i), 2.0 + math.sin(i / 3.0)) for i in range(n_positions)])
    return SoilLayout2D.from_positional_soil_layouts(positional, ground)


def peer_split(layout, cut):
    pieces = 0
    for layer in layout.layers:
        ring = [(p.x, p.y) for p in layer.top_profile.points] + \
               [(p.x, p.y) for p in reversed(layer.bottom_profile.points)]
        polygon = Polygon(ring)
        if polygon.area > 0:
            pieces += len(shapely_split(polygon.buffer(0), cut).geoms)
    return pieces


def host_calls_of_split(layout, cut, pieces):
    """An estimate of the geometry calls a split must make: per layer four pairs of envelopes with
    the (extended) cut and the layout's outline and two is_equal_to, then the checks of every layer
    of the pieces (see bench_soil2d.layer_check_calls) and of the pieces' layouts."""
    envelope = Polyline.get_lowest_or_highest_profile_x
    top, bottom = layout.top_profile, layout.bottom_profile
    for layer in layout.layers:
        for profile in (layer.bottom_profile, layer.top_profile):
            envelope(envelope(profile, cut, lowest=False), top, lowest=True)
            envelope(envelope(profile, cut, lowest=True), bottom, lowest=False)
        layer.bottom_profile.is_equal_to(layer.top_profile)
        layer.bottom_profile.is_equal_to(layer.top_profile)
    for piece in pieces:
        for layer in piece.layers:
            layer_check_calls(layer.top_profile, layer.bottom_profile)
            layer.bottom_profile.is_equal_to(layer.top_profile)


def split_case(n_layers, n_positions):
    """The layout, the falling and the horizontal cut, and the two pieces of the falling cut."""
    layout = build_layout(n_layers, n_positions)
    right = float(n_positions - 1)
    falling = Polyline([Point(-1.0, 10.0), Point(right + 1.0, -80.0)])
    across = Polyline([Point(-1.0, -30.0), Point(right + 1.0, -30.0)])
    pieces = layout.split(falling)
    assert len(pieces) == 2 and len(layout.split(across)) == 2
    return layout, falling, across, pieces


def operation_times(n_layers, n_positions, repeat, case=None):
    """CPU ms of the falling split, the horizontal split and the combine of the pieces."""
    layout, falling, across, pieces = case or split_case(n_layers, n_positions)
    return {"falling": best(lambda: layout.split(falling), repeat) * 1e3,
            "horizontal": best(lambda: layout.split(across), repeat) * 1e3,
            "combine": best(lambda: SoilLayout2D.combine_soil_layouts_2d(*pieces), repeat) * 1e3}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--layers", type=int, default=30)
    parser.add_argument("--positions", type=int, nargs="+", default=[100, 200, 400, 800])
    parser.add_argument("--repeat", type=int, default=3)
    reference_arguments(parser)
    args = parser.parse_args()
    if args.operations_only:
        print(json.dumps(operation_times(args.layers, args.positions[0], args.repeat)))
        return

    print(f"{args.layers} layers; times in ms (CPU), best of {args.repeat}")
    print("'host' estimates the geometry calls the falling split must make (kernel and host objects), "
          "replayed from Python")
    header = f"{'positions':>10}{'falling':>10}{'host':>8}{'share':>7}{'horizontal':>12}{'combine':>10}{'growth':>8}"
    if shapely is not None:
        header += f"{'shapely':>10}"
    if args.reference:
        header += "".join(f"{'ref ' + k:>13}{'ratio':>7}" for k in ("falling", "horiz.", "combine"))
    print(header)
    previous = None
    for n in args.positions:
        layout, falling, across, pieces = split_case(args.layers, n)
        times = operation_times(args.layers, n, args.repeat, (layout, falling, across, pieces))
        t_falling, t_across, t_combine = (times[k] / 1e3 for k in ("falling", "horizontal", "combine"))
        right = float(n - 1)
        total = t_falling + t_across + t_combine
        growth = f"{total / previous:>8.2f}" if previous else f"{'':>8}"
        t_host = best(lambda: host_calls_of_split(layout, falling, pieces), args.repeat)
        line = (f"{n:>10}{t_falling * 1e3:>10.1f}{t_host * 1e3:>8.1f}{t_host / t_falling:>7.0%}"
                f"{t_across * 1e3:>12.1f}{t_combine * 1e3:>10.1f}{growth}")
        if shapely is not None:
            cut = LineString([(-1.0, 10.0), (right + 1.0, -80.0)])
            line += f"{best(lambda: peer_split(layout, cut), args.repeat) * 1e3:>10.1f}"
        if args.reference:
            ref = reference_times(args.reference, __file__, ["--layers", args.layers, "--positions", n, "--repeat", args.repeat])
            line += "".join(f"{ref[k]:>13.1f}{ref[k] / times[k]:>7.1f}" for k in ("falling", "horizontal", "combine"))
        print(line)
        previous = total


if __name__ == "__main__":
    main()
