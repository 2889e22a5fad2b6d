"""terrak demo: from GEF files to classified soil layouts, standard plots and a 2D soil section.

For every GEF file (by default the samples bundled in data/):
  1. parse it through the local job service,
  2. classify it with the Robertson chart, a qualification table and the Ic method,
  3. clean the layouts (thin layers out, equal neighbours merged),
  4. write the standard GEF visualization (SVG) and the layouts (JSON).
Then the CPTs are interpreted into a few stratigraphic units, a 2D soil layout is built along a
section line through their positions, split along an excavation, combined with an embankment,
and drawn (SVG and PNG). The qualification table is drawn to PDF.

    python examples/demo.py [GEF files ...] [--output FOLDER]
"""

import argparse
import json
import math
import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Polygon as PolygonPatch  # noqa: E402

from terrak.core import Color  # noqa: E402
from terrak.errors import GEFClassificationError, GEFParsingError  # noqa: E402
from terrak.geo import (GEFFile, NormalizedSoilBehaviourTypeIndexMethod, PiezoLine, PositionalSoilLayout,  # noqa: E402
                        RobertsonMethod, Soil, SoilLayer, SoilLayer2D, SoilLayout2D, TableMethod,
                        gef_visualization)
from terrak.geometry import Point, Polyline  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
MIN_LAYER_THICKNESS = 500.0  # mm: thinner layers are absorbed by their neighbours
GROUND_WATER_LEVEL = -1.0  # m relative to the height system of the files

# Robertson zones, each with the properties an application would attach to it.
ROBERTSON_ZONES = [{"name": "Robertson zone unknown"}] + [
    {"name": f"Robertson zone {zone}", "zone": zone, "drained": zone >= 5} for zone in range(1, 10)]

_BOUNDS = ["qc_min", "qc_max", "qc_norm_min", "qc_norm_max", "rf_min", "rf_max", "gamma_dry_min", "gamma_dry_max",
           "gamma_wet_min", "gamma_wet_max"]


def _row(name, color, phi, **bounds):
    return {"name": name, "color": color, **dict.fromkeys(_BOUNDS, ""), **bounds, "phi": phi}


# A qualification table in the style of the usual national tables (qc in MPa, Rf in %, unit weights
# in kN/m3): first matching row wins.
QUALIFICATION_TABLE = [
    _row("Peat", "133,94,66", 15, qc_max=1.0, rf_min=5.0, gamma_dry_min=10, gamma_dry_max=12, gamma_wet_min=10,
         gamma_wet_max=12),
    _row("Clay, soft", "0,128,0", 17.5, qc_max=1.0, rf_min=2.5, rf_max=5.0, gamma_dry_min=14, gamma_dry_max=16,
         gamma_wet_min=14, gamma_wet_max=16),
    _row("Clay, firm", "34,139,34", 20, qc_min=1.0, qc_max=3.0, rf_min=2.5, rf_max=5.0, gamma_dry_min=17,
         gamma_dry_max=18, gamma_wet_min=17, gamma_wet_max=18),
    _row("Loam", "154,205,50", 25, qc_max=3.0, rf_min=1.5, rf_max=2.5, gamma_dry_min=18, gamma_dry_max=19,
         gamma_wet_min=18, gamma_wet_max=19),
    _row("Sand, silty", "240,230,140", 27.5, qc_max=5.0, rf_min=0.8, rf_max=1.5, gamma_dry_min=17, gamma_dry_max=18,
         gamma_wet_min=19, gamma_wet_max=20),
    _row("Sand, loose", "255,255,102", 30, qc_max=10.0, rf_max=0.8, qc_norm_max=12.0, gamma_dry_min=17,
         gamma_dry_max=18, gamma_wet_min=19, gamma_wet_max=20),
    _row("Sand, medium", "255,215,0", 32.5, qc_min=5.0, qc_max=15.0, rf_max=1.5, gamma_dry_min=18,
         gamma_dry_max=19, gamma_wet_min=20, gamma_wet_max=21),
    _row("Sand, dense", "218,165,32", 35, qc_min=15.0, rf_max=1.5, qc_norm_min=12.0, gamma_dry_min=19,
         gamma_dry_max=20, gamma_wet_min=21, gamma_wet_max=22),
]

# Soil behaviour type index bands with cone factors for undrained strength.
IC_TABLE = [
    {"name": "Gravelly sand", "ic_min": 0.0, "ic_max": 1.31, "color": "205,133,63", "cone_factor": 20},
    {"name": "Clean sand", "ic_min": 1.31, "ic_max": 2.05, "color": "255,215,0", "cone_factor": 20},
    {"name": "Silty sand", "ic_min": 2.05, "ic_max": 2.6, "color": "240,230,140", "cone_factor": 17},
    {"name": "Clayey silt", "ic_min": 2.6, "ic_max": 2.95, "color": "154,205,50", "cone_factor": 15},
    {"name": "Clay", "ic_min": 2.95, "ic_max": 3.6, "color": "34,139,34", "cone_factor": 14},
    {"name": "Organic soil", "ic_min": 3.6, "ic_max": 10.0, "color": "133,94,66", "cone_factor": 12},
]

METHODS = {
    "robertson": lambda: RobertsonMethod(ROBERTSON_ZONES),
    "table": lambda: TableMethod(QUALIFICATION_TABLE, GROUND_WATER_LEVEL),
    "ic": lambda: NormalizedSoilBehaviourTypeIndexMethod(IC_TABLE, GROUND_WATER_LEVEL, 18.0, 0.25),
}

UNITS = {
    "Cover layer": Soil("Cover layer", Color(110, 160, 80), {"description": "Holocene clay and peat"}),
    "Sand": Soil("Sand", Color(235, 200, 90), {"description": "Pleistocene sand"}),
    "Deep layers": Soil("Deep layers", Color(150, 150, 170), {"description": "below the first sand"}),
}
EMBANKMENT = Soil("Embankment", Color(200, 120, 60), {"description": "compacted sand fill"})


def write(path, data, summary):
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(data, str):
        path.write_text(data, encoding="utf-8")
    else:
        path.write_bytes(data)
    summary.append(path)


def process_cpt(path, output, summary):
    """Parses, classifies, cleans and draws one CPT; returns (GEF data, cleaned table layout)."""
    gef = GEFFile.from_file(path).parse(additional_columns=["fs", "corrected_depth", "u2", "penetration_length"])
    folder = output / path.stem
    layouts = {}
    for kind, method in METHODS.items():
        original = gef.classify(method())
        cleaned = gef.classify(method()).filter_layers_on_thickness(MIN_LAYER_THICKNESS, True)
        cleaned.update_layers()
        layouts[kind] = cleaned
        write(folder / f"layout_{kind}.json", json.dumps(cleaned.serialize(), indent=1), summary)
        write(folder / f"gef_{kind}.svg", gef_visualization(gef, original, cleaned), summary)
        print(f"    {kind:9s} {original.number_of_layers:4d} layers, {cleaned.number_of_layers:3d} after cleaning")
    return gef, layouts["table"]


# Interpretation: every CPT gets the same units, from the ground down.

def _is_sand(layer):
    return "sand" in layer.soil.name.lower()


def unit_levels(gef, layout, base):
    """Levels (m) of the unit boundaries at one CPT: ground, top of the first thick sand, top of the
    first thick non-sand below it, and the common base."""
    ground = gef.ground_level_wrt_reference / 1000
    thick = [layer for layer in layout.layers if layer.thickness >= 1000.0]
    sand = next((layer for layer in thick if _is_sand(layer)), None)
    sand_top = min(sand.top_of_layer / 1000, ground) if sand else base
    below = next((layer for layer in thick if not _is_sand(layer) and sand and layer.top_of_layer <= sand.bottom_of_layer),
                 None)
    deep_top = below.top_of_layer / 1000 if below else base
    sand_top = max(sand_top, base)
    deep_top = min(max(deep_top, base), sand_top)
    return ground, sand_top, deep_top


def section_positions(gefs):
    """Chainage (m) of each CPT along the polyline through their positions, west to east."""
    located = sorted(gefs, key=lambda gef: gef.x_y_coordinates[0])
    chainage, positions = 0.0, []
    for index, gef in enumerate(located):
        if index:
            (x0, y0), (x1, y1) = located[index - 1].x_y_coordinates, gef.x_y_coordinates
            chainage += math.hypot(x1 - x0, y1 - y0)
        positions.append((round(chainage, 1), gef))
    return positions


def build_section(cpts):
    positions = section_positions([gef for gef, _ in cpts])
    layouts = dict((id(gef), layout) for gef, layout in cpts)
    base = math.ceil(max(min(gef.elevation) for _, gef in positions) / 1000 * 2) / 2  # deepest level all reach
    positional, ground_points = [], []
    for x, gef in positions:
        ground, sand_top, deep_top = unit_levels(gef, layouts[id(gef)], base)
        ground_points.append(Point(x, ground))
        layers = [SoilLayer(UNITS["Deep layers"], deep_top, base), SoilLayer(UNITS["Sand"], sand_top, deep_top),
                  SoilLayer(UNITS["Cover layer"], ground, sand_top)]  # from the bottom up
        positional.append(PositionalSoilLayout(x, layers))
        print(f"    {gef.name:20s} at {x / 1000:7.2f} km: ground {ground:6.2f} m, sand from {sand_top:6.2f} m, "
              f"deep layers from {deep_top:6.2f} m")
    ground_profile = Polyline(ground_points)
    return SoilLayout2D.from_positional_soil_layouts(positional, ground_profile), positions


def ground_level_at(layout, x):
    return layout.top_profile.intersections_with_x_location(x)[0].y


def excavate(layout, start, width, depth):
    """Splits the layout along a trapezoidal excavation and keeps the soil under it."""
    top = max(p.y for p in layout.top_profile.points) + 2.0
    bottom = ground_level_at(layout, start + width / 2) - depth
    cut = Polyline([Point(start - 10, top), Point(start, bottom), Point(start + width, bottom),
                    Point(start + width + 10, top)])
    pieces = layout.split(cut)
    # The excavated wedge is the piece whose layers lie wholly above the cut's bottom.
    remaining = min(pieces, key=lambda piece: piece.bottom_profile.start_point.y)
    return remaining, cut, len(pieces)


def embankment_on(layout, start, width, height):
    """A layout of one embankment layer resting on the ground profile of `layout`."""
    ground = layout.top_profile
    left = ground.intersections_with_x_location(start)[0]
    right = ground.intersections_with_x_location(start + width)[0]
    base = ground.get_polyline_between(left, right, inclusive=True)
    crest = max(left.y, right.y) + height
    slope = 2.0 * height
    top = Polyline([left, Point(start + slope, crest), Point(start + width - slope, crest), right])
    return SoilLayout2D([SoilLayer2D(EMBANKMENT, top, base)])


def draw_section(layout, positions, cut, title, path_svg, path_png, detail, summary):
    figure, (whole, zoom) = plt.subplots(2, 1, figsize=(12, 9), gridspec_kw={"height_ratios": [1, 1.3]})
    for axes in (whole, zoom):
        for layer in layout.layers:
            for polygon in layer.polygons():
                axes.add_patch(PolygonPatch([(p.x, p.y) for p in polygon.points], closed=True,
                                            facecolor=layer.soil.color.hex, edgecolor="black", linewidth=0.3,
                                            label=layer.soil.name))
        for line in layout.piezo_lines:
            axes.plot([p.x for p in line.points], [p.y for p in line.points], color="#1f5fbf", linewidth=1.2,
                      linestyle="--", label="phreatic line" if line.phreatic else "piezometric line")
        axes.plot([p.x for p in cut.points], [p.y for p in cut.points], color="red", linewidth=0.8, linestyle=":",
                  label="excavation line")
        axes.set_ylabel("level [m]")
    for x, gef in positions:
        whole.axvline(x, color="grey", linewidth=0.5)
        whole.text(x, max(p.y for p in layout.top_profile.points) + 1, gef.name,
                   rotation=90, fontsize=7, ha="center", va="bottom")
    whole.set_xlim(layout.left_boundary, layout.right_boundary)
    whole.set_ylim(min(p.y for p in layout.bottom_profile.points) - 1, max(p.y for p in layout.top_profile.points) + 6)
    whole.set_title(title)
    zoom.set_xlim(*detail)
    levels = [p.y for p in layout.top_profile.points if detail[0] <= p.x <= detail[1]]
    zoom.set_ylim(min(levels) - 12, max(levels) + 4)
    zoom.set_xlabel("chainage [m]")
    zoom.set_title("detail: excavation and embankment")
    handles, labels = zoom.get_legend_handles_labels()
    unique = dict(zip(labels, handles))
    zoom.legend(unique.values(), unique.keys(), loc="lower right", fontsize=8)
    figure.tight_layout()
    for path, fmt in ((path_svg, "svg"), (path_png, "png")):
        figure.savefig(path, format=fmt, dpi=120)
        summary.append(path)
    plt.close(figure)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("gef_files", nargs="*", type=pathlib.Path, help="GEF files (default: data/*.gef)")
    parser.add_argument("--output", type=pathlib.Path, default=ROOT / "out", help="output folder (default: out/)")
    args = parser.parse_args(argv)
    files = args.gef_files or sorted((ROOT / "data").glob("*.gef"))
    output = args.output
    output.mkdir(parents=True, exist_ok=True)
    summary, cpts, skipped = [], [], []

    for number, path in enumerate(files, 1):
        print(f"[{number}/{len(files)}] {path.name}")
        try:
            cpts.append(process_cpt(path, output, summary))
        except (GEFParsingError, GEFClassificationError, NotImplementedError, OSError) as error:
            skipped.append((path.name, error))
            print(f"    skipped: {type(error).__name__}: {error}")

    write(output / "qualification_table.pdf", TableMethod(QUALIFICATION_TABLE, GROUND_WATER_LEVEL)
          .get_qualification_table_plot("pdf").getvalue(), summary)

    if len(cpts) >= 2:
        print(f"2D section through {len(cpts)} CPTs")
        section, positions = build_section(cpts)
        # Next to a CPT that has a neighbour on its right, so the works lie inside the section.
        middle_x = positions[(len(positions) - 1) // 2][0]
        remaining, cut, count = excavate(section, middle_x + 20, 40, 3.0)
        print(f"    excavation 40 m wide and 3 m deep at {middle_x + 20:.0f} m: split into {count} pieces")
        embankment = embankment_on(remaining, middle_x + 100, 60, 2.5)
        combined = SoilLayout2D.combine_soil_layouts_2d(remaining, embankment)
        phreatic = PiezoLine([Point(p.x, p.y - 1.0) for p in section.top_profile.points], phreatic=True)
        final = SoilLayout2D(combined.layers, [phreatic])
        print(f"    embankment 2.5 m high on {middle_x + 100:.0f}-{middle_x + 160:.0f} m: "
              f"{len(final.layers)} layers in the combined section")
        write(output / "section.json", json.dumps(final.serialize()), summary)
        draw_section(final, positions, cut, "Soil section through the CPTs", output / "section.svg",
                     output / "section.png", (middle_x - 40, middle_x + 200), summary)
    else:
        print("2D section skipped: it needs at least two CPTs")

    print(f"\nDone: {len(cpts)} CPTs processed, {len(skipped)} skipped; {len(summary)} files written under "
          f"{output}:")
    for path in summary:
        print(f"    {path.relative_to(output)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
