"""Time gef_visualization against the same figure drawn by a plain matplotlib script.

    .venv/bin/python bench/bench_plots.py [GEF file] [--repeat N] [--png OUT.png]

The default file is the largest sample, data/gef/cpt3.gef (relative to the repository). Both sides
draw the same four plots with the same calls and save the same SVG; the difference of the medians
is what terrak adds above matplotlib's own work. --png also writes the picture for a look by eye.
"""

import argparse
import os
import statistics
import sys
import time

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from terrak.core import Color, File  # noqa: E402
from terrak.geo import GEFData, Soil, SoilLayer, SoilLayout, gef_visualization  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def read_gef(path):
    """A GEF dictionary of a CPT file, enough for the plots (read here so that the benchmark does
    not depend on the job service): elevation in mm below the height reference, qc in MPa, Rf as a
    fraction, u2 when measured."""
    with open(path, encoding="ISO-8859-1") as handle:
        text = handle.read()
    head, _, body = text.partition("#EOH")
    body = body.split("\n", 1)[1] if "\n" in body else ""
    columns, voids, level, name, column_sep, record_sep = {}, {}, 0.0, os.path.basename(path), None, None
    for line in head.splitlines():
        key, _, value = line.partition("=")
        key, values = key.strip().upper(), [v.strip() for v in value.split(",")]
        if key == "#COLUMNINFO":
            columns[int(values[3])] = int(values[0]) - 1
        elif key == "#COLUMNVOID":
            voids[int(values[0]) - 1] = float(values[1])
        elif key == "#ZID":
            level = float(values[1])
        elif key == "#TESTID":
            name = value.strip()
        elif key == "#COLUMNSEPARATOR":
            column_sep = value.strip()
        elif key == "#RECORDSEPARATOR":
            record_sep = value.strip()
    records = body.split(record_sep) if record_sep else body.splitlines()
    rows = []
    for record in records:
        fields = [f for f in (record.split(column_sep) if column_sep else record.split()) if f.strip()]
        if len(fields) < len(columns):
            continue
        row = [float(f) for f in fields]
        if any(row[i] == voids.get(i) for i in columns.values()):
            continue
        rows.append(row)
    depth_column = columns.get(11, columns[1])
    data = {"elevation": [round((level - abs(r[depth_column])) * 1000.0, 3) for r in rows],
            "qc": [r[columns[2]] for r in rows]}
    if 4 in columns:
        data["Rf"] = [r[columns[4]] / 100.0 for r in rows]
    else:
        data["Rf"] = [r[columns[3]] / r[columns[2]] if r[columns[2]] > 0 else 0.0 for r in rows]
    if 6 in columns:
        data["u2"] = [r[columns[6]] for r in rows]
    headers = {"name": name, "ground_level_wrt_reference": level * 1000.0, "height_system": "NAP",
               "max_measurement_depth_wrt_reference": min(data["elevation"])}
    return {"headers": headers, "measurement_data": data}


SOILS = [("Klei", (0, 160, 0)), ("Veen", (150, 90, 40)), ("Zand", (230, 200, 60)), ("Leem", (170, 170, 120))]


def layouts(gef):
    """Two layouts over the depth of the test: one layer per two metres, and a coarser one."""
    top, bottom = gef["headers"]["ground_level_wrt_reference"], gef["headers"]["max_measurement_depth_wrt_reference"]
    soils = [Soil(name, Color(*rgb)) for name, rgb in SOILS]

    def layout(step):
        levels = list(np.arange(top, bottom, -step)) + [bottom]
        return SoilLayout([SoilLayer(soils[i % len(soils)], float(a), float(b))
                           for i, (a, b) in enumerate(zip(levels, levels[1:]))])

    return layout(2000.0), layout(5000.0)


def plain_matplotlib(gef, original, user):
    """The standard visualization written directly against matplotlib."""
    fig = plt.figure(figsize=(8.27, 11.69))
    plt.style.use("seaborn-v0_8-whitegrid")
    plt.rcParams.update({"font.size": 11})
    headers = gef["headers"]
    df = pd.DataFrame(gef["measurement_data"])
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
    parser.add_argument("gef", nargs="?", default=os.path.join(ROOT, "data", "gef", "cpt3.gef"))
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--png", help="also write the standard visualization of the file as PNG")
    args = parser.parse_args(argv)

    gef = read_gef(args.gef)
    gef_data = GEFData(gef)
    original, user = layouts(gef)
    ours_svg = gef_visualization(gef_data, original, user)
    plain_svg = plain_matplotlib(gef, original, user)
    rows = len(gef["measurement_data"]["elevation"])
    print(f"{os.path.basename(args.gef)}: {rows} measurement rows; SVG {len(ours_svg)} characters "
          f"(plain script: {len(plain_svg)})")

    # Interleaved rounds so that machine load hits both sides alike.
    ours, plain = [], []
    for _ in range(args.repeat):
        ours.append(timed(lambda: gef_visualization(gef_data, original, user), 1)[0])
        plain.append(timed(lambda: plain_matplotlib(gef, original, user), 1)[0])
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
