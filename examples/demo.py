"""terrak demo: from CPT files to classified soil layouts, standard plots and a 2D soil section of a site.

For every CPT file (by default the samples bundled in data/ and the four CPTs of the site in
data/site/), through the batch module ``terrak.cpt`` and the code of the ``terrak classify``
command:
  1. parse it through the local job service,
  2. classify it with the Robertson chart, a qualification table and the Ic method,
  3. clean the layouts (thin layers absorbed, equal neighbours merged),
  4. write the standard GEF visualization (SVG) and the layouts (JSON), with a summary per method.
Then the site's CPTs are laid along the line through them and interpreted into three units (the
code of ``terrak section``): a 2D soil layout with chainage in m and the real ground levels, split
along an excavation, combined with an embankment and drawn (SVG and PNG). The qualification table
is drawn to PDF.

    python examples/demo.py [CPT files ...] [--site CPT files ...] [--output FOLDER] [--workers N]

Relative paths are taken from the current folder. The exit status is 1 when no file could be
processed.
"""

import argparse
import json
import pathlib
import sys

import matplotlib

matplotlib.use("Agg")

from terrak import cli, cpt  # noqa: E402
from terrak.core import Color  # noqa: E402
from terrak.geo import (NormalizedSoilBehaviourTypeIndexMethod, RobertsonMethod, Soil, SoilLayer2D,  # noqa: E402
                        SoilLayout2D, TableMethod)
from terrak.geometry import Point, Polyline  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
MIN_LAYER_THICKNESS = 500.0  # mm: thinner layers are absorbed by their neighbours
GROUND_WATER_LEVEL = -2.5  # m in the files' height system: 1 m below the ground of the site (-1.5 to -1.7 m)
PHREATIC_DEPTH = 1.0  # m below the original ground, in the section

# Robertson zones, each with the properties an application would attach to it.
ROBERTSON_ZONES = [{"name": "Robertson zone unknown"}] + [
    {"name": f"Robertson zone {zone}", "zone": zone, "drained": zone >= 5} for zone in range(1, 10)]

_BOUNDS = ["qc_min", "qc_max", "qc_norm_min", "qc_norm_max", "rf_min", "rf_max", "gamma_dry_min", "gamma_dry_max",
           "gamma_wet_min", "gamma_wet_max"]


def _row(name, color, phi, **bounds):
    return {"name": name, "color": color, **dict.fromkeys(_BOUNDS, ""), **bounds, "phi": phi}


# A qualification table in the style of the usual national tables (qc in MPa, Rf in %, unit weights
# in kN/m3). The rows tile the chart without overlapping, so every pair of qc >= 0 and Rf has a
# soil: friction number 2.5 % and up is clay (peat from 5 % at low qc), 1.5 to 2.5 % loam or
# clayey sand, 1 to 1.5 % silty sand, and below 1 % sand graded by qc. (On a shared bound the
# first row wins.)
QUALIFICATION_TABLE = [
    _row("Peat", "133,94,66", 15, qc_max=1.0, rf_min=5.0, gamma_dry_min=10, gamma_dry_max=12, gamma_wet_min=10,
         gamma_wet_max=12),
    _row("Clay, soft", "0,128,0", 17.5, qc_max=1.0, rf_min=2.5, rf_max=5.0, gamma_dry_min=14, gamma_dry_max=16,
         gamma_wet_min=14, gamma_wet_max=16),
    _row("Clay, firm", "34,139,34", 20, qc_min=1.0, rf_min=2.5, gamma_dry_min=17, gamma_dry_max=18,
         gamma_wet_min=17, gamma_wet_max=18),
    _row("Loam", "154,205,50", 25, qc_max=3.0, rf_min=1.5, rf_max=2.5, gamma_dry_min=18, gamma_dry_max=19,
         gamma_wet_min=18, gamma_wet_max=19),
    _row("Sand, clayey", "200,190,100", 27.5, qc_min=3.0, rf_min=1.5, rf_max=2.5, gamma_dry_min=17,
         gamma_dry_max=18, gamma_wet_min=19, gamma_wet_max=20),
    _row("Sand, silty", "240,230,140", 27.5, qc_min=0.0, rf_min=1.0, rf_max=1.5, gamma_dry_min=17, gamma_dry_max=18,
         gamma_wet_min=19, gamma_wet_max=20),
    _row("Sand, loose", "255,255,102", 30, qc_max=5.0, rf_max=1.0, gamma_dry_min=17, gamma_dry_max=18,
         gamma_wet_min=19, gamma_wet_max=20),
    _row("Sand, medium", "255,215,0", 32.5, qc_min=5.0, qc_max=15.0, rf_max=1.0, gamma_dry_min=18,
         gamma_dry_max=19, gamma_wet_min=20, gamma_wet_max=21),
    _row("Sand, dense", "218,165,32", 35, qc_min=15.0, rf_max=1.0, gamma_dry_min=19, gamma_dry_max=20,
         gamma_wet_min=21, gamma_wet_max=22),
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
    "robertson": RobertsonMethod(ROBERTSON_ZONES),
    "table": TableMethod(QUALIFICATION_TABLE, GROUND_WATER_LEVEL),
    "ic": NormalizedSoilBehaviourTypeIndexMethod(IC_TABLE, GROUND_WATER_LEVEL, 18.0, 0.25),
}

EMBANKMENT = Soil("Embankment", Color(200, 120, 60), {"description": "compacted sand fill"})


def classify_all(files, output, workers):
    """Runs the classify command's code once per method; returns {method: results}."""
    by_method = {}
    for kind, method in METHODS.items():
        results, _ = cli.classify_files(files, kind, method, output, min_layer_thickness=MIN_LAYER_THICKNESS,
                                        workers=workers)
        by_method[kind] = results
    return by_method


def report(files, by_method):
    """Prints what happened to each file; returns the number processed and skipped."""
    processed = 0
    for number, path in enumerate(files):
        print(f"[{number + 1}/{len(files)}] {path.name}")
        outcomes = {kind: results[number] for kind, results in by_method.items()}
        failed = next((r for r in outcomes.values() if not r.ok), None)
        if failed:
            print(f"    skipped: {failed.error}")
            continue
        processed += 1
        for kind, result in outcomes.items():
            print(f"    {kind:9s} {result.classified.number_of_layers:4d} layers, "
                  f"{result.layout.number_of_layers:3d} after cleaning")
    return processed, len(files) - processed


def _same_file(a, b):
    return pathlib.Path(a).resolve() == pathlib.Path(b).resolve()


def site_results(site_files, files, table_results, workers):
    """The table-method results of the site's CPTs: reused when they were classified already."""
    known = [next((r for f, r in zip(files, table_results) if _same_file(f, site)), None) for site in site_files]
    if all(r is not None for r in known):
        return known
    return cpt.process_cpts(site_files, METHODS["table"], min_layer_thickness=MIN_LAYER_THICKNESS, workers=workers)


def works_positions(chainages):
    """Excavation and embankment (start, width) placed between CPTs, so that no CPT stands in them:
    the excavation in the middle gap, the embankment in the next one (both in one gap for two CPTs)."""
    gaps = list(zip(chainages, chainages[1:]))
    if len(gaps) == 1:
        (a, b), = gaps
        return (a + 0.2 * (b - a), 0.25 * (b - a)), (a + 0.55 * (b - a), 0.35 * (b - a))
    a, b = gaps[(len(gaps) - 1) // 2]
    c, d = gaps[(len(gaps) - 1) // 2 + 1]
    return (a + 0.2 * (b - a), 0.6 * (b - a)), (c + 0.15 * (d - c), 0.7 * (d - c))


def excavation_line(layout, start, width, depth):
    """A trapezoidal excavation ``depth`` m below the ground in its middle, slopes 1:2."""
    middle = layout.top_profile.intersections_with_x_location(start + width / 2)[0].y
    bottom = middle - depth
    top = max(p.y for p in layout.top_profile.points) + 1.0
    run = 2.0 * (top - bottom)
    return Polyline([Point(start - run, top), Point(start, bottom), Point(start + width, bottom),
                     Point(start + width + run, top)])


def embankment_on(layout, start, width, height):
    """A layout of one embankment layer resting on the ground profile of `layout`, slopes 1:2."""
    ground = layout.top_profile
    left = ground.intersections_with_x_location(start)[0]
    right = ground.intersections_with_x_location(start + width)[0]
    base = ground.get_polyline_between(left, right, inclusive=True)
    crest = max(left.y, right.y) + height
    top = Polyline([left, Point(start + 2.0 * (crest - left.y), crest),
                    Point(start + width - 2.0 * (crest - right.y), crest), right])
    return SoilLayout2D([SoilLayer2D(EMBANKMENT, top, base)])


def build_site_section(results, output):
    """The section through the site's CPTs, excavated and with an embankment; returns the files written."""
    section, positions = cpt.section_from_cpts([r.gef for r in results], [r.layout for r in results],
                                               sand=cli.DEFAULT_SAND["table"])
    for chainage, offset, gef in positions:
        levels = [(layer.soil.name, layer.top_profile.intersections_with_x_location(chainage)[0].y)
                  for layer in reversed(section.layers)]
        print(f"    {gef.name:16s} at {chainage:6.1f} m ({offset:+.1f} m off the line): "
              + ", ".join(f"{name} from {level:.2f} m" for name, level in levels))
    (dig_start, dig_width), (bank_start, bank_width) = works_positions([c for c, _, _ in positions])
    cut = excavation_line(section, dig_start, dig_width, 3.0)
    remaining, count = cli.excavate(section, cut)
    print(f"    excavation {dig_width:.0f} m wide and 3 m deep from {dig_start:.0f} m: split into {count} pieces")
    combined = SoilLayout2D.combine_soil_layouts_2d(remaining, embankment_on(remaining, bank_start, bank_width, 2.5))
    final = SoilLayout2D(combined.layers, [cli.phreatic_line(section.top_profile, combined.top_profile,
                                                             PHREATIC_DEPTH)])
    print(f"    embankment 2.5 m high on {bank_start:.0f}-{bank_start + bank_width:.0f} m: "
          f"{len(final.layers)} layers in the combined section")
    (output / "section.json").write_text(json.dumps(final.serialize()), encoding="utf-8")
    paths = [output / "section.svg", output / "section.png"]
    cli.draw_section([final], positions, paths, cut=cut, cut_label="excavation line",
                     title=f"Soil section through {len(positions)} CPTs of the site (qualification table)",
                     detail=(dig_start - 25, bank_start + bank_width + 10))
    return [output / "section.json", *paths]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("cpt_files", nargs="*", type=pathlib.Path,
                        help="CPT files to classify (default: data/*.gef and data/site/*.gef)")
    parser.add_argument("--site", nargs="+", type=pathlib.Path, metavar="CPT",
                        help="CPTs of one site for the section (default: data/site/*.gef)")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("out"),
                        help="output folder (default: out/ in the current folder)")
    parser.add_argument("--workers", type=int, default=None, help="threads (default: one per core)")
    args = parser.parse_args(argv)
    site = args.site or sorted((ROOT / "data" / "site").glob("*.gef"))
    files = args.cpt_files or sorted((ROOT / "data").glob("*.gef")) + site
    output = args.output
    output.mkdir(parents=True, exist_ok=True)

    by_method = classify_all(files, output, args.workers)
    processed, skipped = report(files, by_method)
    written = [output / f"summary_{kind}.csv" for kind in METHODS]
    folders = cli.output_folders(files)
    for kind, results in by_method.items():
        written += [output / folder / name for folder, result in zip(folders, results) if result.ok
                    for name in (f"layout_{kind}.json", f"gef_{kind}.svg")]

    table_pdf = output / "qualification_table.pdf"
    table_pdf.write_bytes(METHODS["table"].get_qualification_table_plot("pdf").getvalue())
    written.append(table_pdf)

    site_cpts = [r for r in site_results(site, files, by_method["table"], args.workers) if r.ok]
    if len(site_cpts) >= 2:
        print(f"2D section through the {len(site_cpts)} CPTs of the site")
        written += build_site_section(site_cpts, output)
    else:
        print("2D section skipped: it needs at least two CPTs of the site")

    print(f"\nDone: {processed} CPTs processed, {skipped} skipped; {len(written)} files written under {output}:")
    for path in written:
        print(f"    {path.relative_to(output)}")
    return 0 if processed else 1


if __name__ == "__main__":
    sys.exit(main())
