"""Time gef_visualization against the same figure drawn by a plain matplotlib script.

    .venv/bin/python bench/bench_plots.py [GEF file] [--repeat N] [--png OUT.png]

The default file is the largest sample, data/cpt3.gef. The file is parsed and classified by the
local job service. Both sides
draw the same four plots with the same calls and save the same SVG; the difference of the medians
is what terrak adds above matplotlib's own work. --png also writes the picture for a look by eye.
"""

import argparse
import copy
import os
import statistics
import sys
import time

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from terrak.core import File  # noqa: E402
from terrak.geo import GEFFile, RobertsonMethod, TableMethod, gef_visualization  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


ROBERTSON_ZONES = ["Robertson zone unknown"] + [f"Robertson zone {number}" for number in range(1, 10)]


def inputs(path):
    """The GEF data of a file, read by the local job service, and two layouts: the one classified
    from it (Robertson) and a cleaned copy as a user would make it (layers under 1 m absorbed)."""
    gef_data = GEFFile.from_file(path).parse(additional_columns=["u2", "corrected_depth", "fs"])
    if hasattr(gef_data, "corrected_depth") and hasattr(gef_data, "fs"):
        original = gef_data.classify(RobertsonMethod([{"name": name} for name in ROBERTSON_ZONES]))
    else:
        original = gef_data.classify(TableMethod(QUALIFICATION_TABLE, -1000.0))
    user = copy.deepcopy(original).filter_layers_on_thickness(1000.0, merge_adjacent_same_soil_layers=True)
    return gef_data, original, user


def bounds(name, color, qc, rf):
    row = {"name": name, "color": color, "qc_min": qc[0], "qc_max": qc[1], "qc_norm_min": None, "qc_norm_max": None,
           "rf_min": rf[0], "rf_max": rf[1]}
    row.update({"gamma_dry_min": 17, "gamma_dry_max": 19, "gamma_wet_min": 19, "gamma_wet_max": 21})
    return row


# For files without the columns Robertson needs.
QUALIFICATION_TABLE = [
    bounds("Zand", "230,200,60", (5, None), (None, 1.5)),
    bounds("Leem", "170,170,120", (1.5, 5), (1.5, 2.5)),
    bounds("Klei", "0,160,0", (None, 1.5), (2.5, 5)),
    bounds("Veen", "150,90,40", (None, 1.5), (5, None)),
]


def plain_matplotlib(gef_data, original, user):
    """The standard visualization written directly against matplotlib."""
    fig = plt.figure(figsize=(8.27, 11.69))
    plt.style.use("seaborn-v0_8-whitegrid")
    plt.rcParams.update({"font.size": 11})
    headers = gef_data.classification_data["headers"]
    df = pd.DataFrame(gef_data.classification_data["measurement_data"])
    y_min = headers["max_measurement_depth_wrt_reference"] / 1000
    y_max = headers["ground_level_wrt_reference"] / 1000 + 0.25

    def depth_ticks(lo, hi):
        return np.arange(np.round(lo), np.round(hi + 1), 1.0)

    cone = plt.axes([0.1, 0.1, 0.4, 0.9])
    cone.plot(df["qc"], df["elevation"] / 1000, color="#005DAB")
    cone.set_xlabel("Qc [MPa] (Conusweerstand)")
    cone.set_ylabel(f"Diepte [m] tov {headers['height_system']}")
    if "u2" in df:
        twin = cone.twiny()
        twin.plot(df["u2"], df["elevation"] / 1000, color="#008017")
        twin.set_xlim([0, 0.3])
        twin.set_xlabel("u2 [MPa] (Waterspanning)")
        twin.set_xticks(np.arange(0, 0.31, 0.05))
        twin.set_ylim([y_min, y_max])
        twin.spines["top"].set_color("#008017")
        twin.xaxis.label.set_color("#008017")
        twin.tick_params(axis="x", labelcolor="#008017")
    cone.set_ylim(y_min, y_max)
    cone.set_yticks(depth_ticks(y_min, y_max))
    cone.set_xlim(0, 30.0)
    cone.set_xticks(np.arange(np.round(0), np.round(30.0), 5.0))
    cone.spines["bottom"].set_color("#005DAB")
    cone.xaxis.label.set_color("#005DAB")
    cone.tick_params(axis="x", labelcolor="#005DAB")
    cone.spines["right"].set_linewidth(2.5)

    friction = plt.axes([0.5, 0.1, 0.2, 0.9])
    friction.plot(df["Rf"] * 100, df["elevation"] / 1000, color="#DE1D1F")
    friction.set_xlabel("Rf [%] \n (Wrijvingsgetal)", color="#DE1D1F")
    friction.spines["bottom"].set_color("#DE1D1F")
    friction.xaxis.label.set_color("#DE1D1F")
    friction.set_xlim(0, 10)
    friction.set_xticks(np.arange(np.round(0), np.round(10 + 1), 5.0))
    friction.set_ylim(y_min, y_max)
    friction.set_yticks(depth_ticks(y_min, y_max))
    plt.setp(friction.get_yticklabels(), visible=False)
    friction.tick_params(axis="x", labelcolor="#DE1D1F")
    friction.invert_xaxis()

    columns = [plt.axes([0.7, 0.1, 0.1, 0.9]), plt.axes([0.9, 0.1, 0.1, 0.9])]
    for axes, layout in zip(columns, (original, user)):
        layers = layout.layers
        lo, hi = layers[-1].bottom_of_layer / 1000, layers[0].top_of_layer / 1000 + 0.25
        for layer in layers:
            axes.bar(0.5, layer.thickness / 1000, width=1, bottom=layer.bottom_of_layer / 1000,
                     color=layer.soil.color.hex, label=layer.soil.name, edgecolor="none")
        axes.set_xticklabels([])
        axes.set_xlim(0, 1)
        axes.set_xticks([0, 1])
        axes.set_xlabel("Soil Layout")
        axes.set_ylim(lo, hi)
        axes.set_yticks(depth_ticks(lo, hi))
        axes.yaxis.tick_right()
    columns[0].set_xlabel("Originele \n bodemopbouw")
    columns[1].set_xlabel("Geinterpreteerde \n bodemopbouw")
    plt.setp(columns[1].get_yticklabels(), visible=False)
    handles, labels = [], []
    for axes in columns:
        h, l = axes.get_legend_handles_labels()
        handles += h
        labels += l
    chosen = {}
    for handle, label in zip(handles, labels):
        chosen.setdefault(label, handle)
    names = sorted(chosen)
    columns[1].legend([chosen[n] for n in names], names, bbox_to_anchor=(1.5, 0.5), borderaxespad=0.0)
    all_axes = [cone, friction] + columns
    top = max(a.get_ylim()[1] for a in all_axes)
    bottom = min(a.get_ylim()[0] for a in all_axes)
    for axes in all_axes:
        axes.set_ylim(bottom, top)
        axes.set_yticks(depth_ticks(bottom, top))
    file = File()
    with file.open_binary() as stream:
        fig.savefig(stream, format="svg", bbox_inches="tight", pad_inches=0.8)
    plt.close()
    return file.getvalue()


def timed(function, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times), times


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("gef", nargs="?", default=os.path.join(ROOT, "data", "cpt3.gef"))
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--png", help="also write the standard visualization of the file as PNG")
    args = parser.parse_args(argv)

    gef_data, original, user = inputs(args.gef)
    ours_svg = gef_visualization(gef_data, original, user)
    plain_svg = plain_matplotlib(gef_data, original, user)
    print(f"{os.path.basename(args.gef)}: {gef_data.num_of_measurements} measurement rows, layouts of "
          f"{len(original.layers)} and {len(user.layers)} layers; SVG {len(ours_svg)} characters "
          f"(plain script: {len(plain_svg)})")

    # Interleaved rounds so that machine load hits both sides alike.
    ours, plain = [], []
    for _ in range(args.repeat):
        ours.append(timed(lambda: gef_visualization(gef_data, original, user), 1)[0])
        plain.append(timed(lambda: plain_matplotlib(gef_data, original, user), 1)[0])
    ours_median, plain_median = statistics.median(ours), statistics.median(plain)
    print(f"gef_visualization  median {ours_median * 1000:8.1f} ms  (min {min(ours) * 1000:.1f})")
    print(f"plain matplotlib   median {plain_median * 1000:8.1f} ms  (min {min(plain) * 1000:.1f})")
    print(f"overhead           {(ours_median - plain_median) * 1000:+8.1f} ms  "
          f"ratio {ours_median / plain_median:.3f}")

    if args.png:
        # The same figure as PNG: terrak.geo reads plt from its namespace at call time, so a pyplot
        # whose close() first saves the current figure catches the finished picture.
        import terrak.geo

        class SavingPyplot:
            def __getattr__(self, name):
                return getattr(plt, name)

            def close(self, *figures):
                plt.gcf().savefig(args.png, format="png", bbox_inches="tight", pad_inches=0.8)
                plt.close(*figures)

        terrak.geo.plt = SavingPyplot()
        try:
            gef_visualization(gef_data, original, user)
        finally:
            terrak.geo.plt = plt
        print(f"wrote {args.png}")


if __name__ == "__main__":
    main(sys.argv[1:])
