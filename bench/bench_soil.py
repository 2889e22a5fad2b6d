"""The soil model of terrak.geo against the same steps written in plain Python (bench/plain_soil.py).

    .venv/bin/python bench/bench_soil.py [--sizes 1000,10000] [--repeat N]

Both sides get the same data: layers 2 cm to 1 m thick of four soils in runs, with a numeric and a
text property as a classification gives them, so that filtering finds thin groups of either kind
and merging finds neighbours of one soil. Per operation and size: the best CPU time of each side
(the operations change the layout, so every run gets a fresh one, built outside the timing), the
ratio plain Python / terrak (above 1: terrak is faster), and terrak's time per layer, whose growth
from the first to the last size shows whether the time grows linearly (1.0 = linear).

The plain-Python filter follows the documented steps, which find each group's place with
list.index: it grows quadratically, so its ratio rises with the size.
"""

import argparse
import gc
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import plain_soil  # noqa: E402
import terrak.geo as geo  # noqa: E402
from terrak.core import Color  # noqa: E402

SOIL_NAMES = ("Sand", "Clay", "Peat", "Silt")
THICKNESSES = (0.02, 0.04, 0.06, 0.2, 0.4, 0.6, 1.0)


def layer_rows(count, seed=1):
    """(soil index, top, bottom, properties) per layer, top down, continuous."""
    rng = random.Random(seed)
    rows, top, soil = [], 0.0, 0
    for _ in range(count):
        if rng.random() < 0.4:
            soil = rng.randrange(len(SOIL_NAMES))
        thickness = rng.choice(THICKNESSES)
        rows.append((soil, top, top - thickness, {"qc": rng.uniform(0.5, 20.0), "class": SOIL_NAMES[soil]}))
        top -= thickness
    return rows


def builder(model):
    soils = [model.Soil(name, Color(40 * i, 100, 200), {"gamma": 18.0 + i}) for i, name in enumerate(SOIL_NAMES)]

    def build(rows):
        return model.SoilLayout([model.SoilLayer(soils[s], top, bottom, properties)
                                 for s, top, bottom, properties in rows])
    return build


def cases(model):
    """Operation name -> (prepare(rows) giving the argument, the timed operation on it)."""
    build = builder(model)
    return {
        "build a SoilLayout": (lambda rows: rows, build),
        "filter_layers_on_thickness(0.5, True)": (build, lambda layout: layout.filter_layers_on_thickness(0.5, True)),
        "update_layers()": (build, lambda layout: layout.update_layers()),
        "serialize()": (build, lambda layout: layout.serialize()),
        "SoilLayout.from_dict": (lambda rows: build(rows).serialize(), model.SoilLayout.from_dict),
    }


def best_time(prepare, operation, rows, repeat):
    best = float("inf")
    for _ in range(repeat):
        argument = prepare(rows)
        gc.collect()
        gc.disable()  # as timeit does: a collection over the fresh objects is not the operation's cost
        try:
            start = time.process_time()
            operation(argument)
            best = min(best, time.process_time() - start)
        finally:
            gc.enable()
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,10000")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    ours, plain = cases(geo), cases(plain_soil)
    print(f"CPU ms, best of {args.repeat}; ratio = plain Python / terrak")
    header = f"{'operation':40}{'layers':>8}{'terrak ms':>11}{'plain ms':>10}{'ratio':>8}{'terrak us/layer':>17}"
    print(header)
    print("-" * len(header))
    per_layer = {}
    for name in ours:
        for count in sizes:
            rows = layer_rows(count)
            t_ours = best_time(*ours[name], rows, args.repeat)
            t_plain = best_time(*plain[name], rows, max(2, args.repeat // 2) if count > 5000 else args.repeat)
            per_layer[name, count] = t_ours / count
            print(f"{name:40}{count:>8}{t_ours * 1e3:>11.2f}{t_plain * 1e3:>10.2f}{t_plain / t_ours:>8.1f}"
                  f"{t_ours / count * 1e6:>17.3f}")
    # from_dict must call the host's Color once per layer (every layer gets a soil of its own);
    # that call costs both sides the same.
    print(f"\nThe host's Color(*rgb) calls inside SoilLayout.from_dict (both sides make them):")
    for count in sizes:
        colors = [layer["soil"]["color"] for layer in builder(geo)(layer_rows(count)).serialize()["layers"]]
        t_color = best_time(lambda rows: rows, lambda rgbs: [Color(*rgb) for rgb in rgbs], colors, args.repeat)
        t_ours = per_layer["SoilLayout.from_dict", count] * count
        print(f"  {count:>8} layers: {t_color * 1e3:8.2f} ms, {t_color / t_ours:.0%} of terrak's from_dict time")
    if len(sizes) > 1:
        print(f"\nGrowth of terrak's time per layer from {sizes[0]:,} to {sizes[-1]:,} layers (1.0 = linear):")
        for name in ours:
            print(f"  {name:40}{per_layer[name, sizes[-1]] / per_layer[name, sizes[0]]:6.2f}")


if __name__ == "__main__":
    main()
