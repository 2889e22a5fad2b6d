"""Times the layout clean-up of terrak.geo on long layouts, per layer.

A classified CPT at 2 cm resolution has thousands of layers, so `filter_layers_on_thickness(..., True)`
and `update_layers()` must cost the same per layer whatever the length of the layout. The yardstick
is a plain-Python loop over the same layers that reads each layer's thickness and compares its soil
with the one above: the least any Python implementation of these operations would do per layer.
Times are the process's CPU time (best of several runs), which a busy shared machine disturbs less
than wall-clock time.

Run: .venv/bin/python bench/bench_soil.py
"""

import gc
import random
import time

from terrak.core import Color
from terrak.geo import Soil, SoilLayer, SoilLayout

SIZES = (1_000, 10_000, 100_000)
MIN_LAYER_THICKNESS = 0.1


def make_layout(count, seed=1):
    """Layers 2 to 40 cm thick, of four soils in runs, so that filtering finds thin groups of either kind
    and merging finds neighbours of one soil; numeric and text properties as a classification gives."""
    rng = random.Random(seed)
    soils = [Soil(name, Color(40 * i, 100, 200)) for i, name in enumerate(("Sand", "Clay", "Peat", "Silt"))]
    layers, top, soil = [], 0.0, 0
    for _ in range(count):
        if rng.random() < 0.4:
            soil = rng.randrange(len(soils))
        thickness = rng.choice((0.02, 0.04, 0.06, 0.2, 0.4))
        layers.append(SoilLayer(soils[soil], top, top - thickness,
                                {"qc": rng.uniform(0.5, 20.0), "class": soils[soil].name}))
        top -= thickness
    return SoilLayout(layers)


def yardstick(layout):
    above = None
    for layer in layout.layers:
        layer.thickness < MIN_LAYER_THICKNESS
        if above is not None:
            above.soil == layer.soil
        above = layer


OPERATIONS = {
    "filter_layers_on_thickness(0.1, True)": lambda layout: layout.filter_layers_on_thickness(MIN_LAYER_THICKNESS, True),
    "update_layers()": lambda layout: layout.update_layers(),
    "plain-Python loop (yardstick)": yardstick,
}


def best_time(operation, count, repeats):
    best = float("inf")
    for _ in range(repeats):
        layout = make_layout(count)  # the operations change the layout: a fresh one each time, not timed
        gc.collect()
        gc.disable()  # as timeit does: a collection pass over the fresh layout is not the operation's cost
        try:
            start = time.process_time()
            operation(layout)
            best = min(best, time.process_time() - start)
        finally:
            gc.enable()
    return best


def main():
    per_layer = {name: {} for name in OPERATIONS}
    for count in SIZES:
        repeats = {1_000: 15, 10_000: 5}.get(count, 3)
        for name, operation in OPERATIONS.items():
            per_layer[name][count] = best_time(operation, count, repeats) / count * 1e6
    header = f"{'operation':40}" + "".join(f"{n:>12,}" for n in SIZES) + f"{'100k/1k':>10}"
    print("CPU microseconds per layer (best of runs)")
    print(header)
    print("-" * len(header))
    for name, times in per_layer.items():
        growth = times[SIZES[-1]] / times[SIZES[0]]
        print(f"{name:40}" + "".join(f"{times[n]:12.2f}" for n in SIZES) + f"{growth:10.2f}")
    yard = per_layer["plain-Python loop (yardstick)"]
    print()
    print("ratio to the yardstick")
    for name in list(OPERATIONS)[:2]:
        print(f"{name:40}" + "".join(f"{per_layer[name][n] / yard[n]:12.2f}" for n in SIZES))


if __name__ == "__main__":
    main()
