"""The terrak command: classify folders of CPT files and build soil sections through them.

Exit status: 0 when every file was done, 1 when some failed (they are listed on standard error
and in the summary), 2 for a usage error (bad option, unreadable table, no input files).
"""

import argparse
import contextlib
import csv
import dataclasses
import json
import math
import pathlib
import sys

from terrak.geometry import Point, Polyline

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
CPT_SUFFIXES = (".gef", ".xml")
METHOD_NAMES = ("robertson", "table", "ic")

# Zone names only: the layers then carry the zone's name and colour and nothing else.
ROBERTSON_ZONES = [{"name": "Robertson zone unknown"}] + [{"name": f"Robertson zone {zone}"} for zone in range(1, 10)]
# The sand units of each method's soils, for sections (shell-style patterns, case-insensitive).
DEFAULT_SAND = {"robertson": ["Robertson zone [567]"], "table": ["*sand*"], "ic": ["*sand*"]}

SUMMARY_FIELDS = ["file", "status", "cpt", "layers_classified", "layers_cleaned", "output", "error"]


def _modules():
    """terrak.cpt and terrak.geo, imported when a command runs: ``--help`` and usage errors stay quick."""
    from terrak import cpt, geo
    return cpt, geo


class UsageError(Exception):
    """A mistake in the command line or in a file it names; exit status 2."""


# Inputs ---------------------------------------------------------------------------------------

def find_cpt_files(inputs):
    """The files named, and the CPT files (*.gef, *.xml) found under the folders named, in order.
    A named file that does not exist stays in the list: it fails as that file's result."""
    files = []
    for item in map(pathlib.Path, inputs):
        if item.is_dir():
            found = sorted(p for p in item.rglob("*") if p.is_file() and p.suffix.lower() in CPT_SUFFIXES)
            if not found:
                raise UsageError(f"no CPT files (*.gef, *.xml) in folder {item}")
            files.extend(found)
        else:
            files.append(item)
    if not files:
        raise UsageError("no CPT files given")
    return files


def _cell(key, text):
    """A CSV cell as the tables want it: names and colours as text, empty as '', numbers as numbers."""
    text = text.strip()
    if key in ("name", "color") or text == "":
        return text
    try:
        return float(text)
    except ValueError:
        return text


def load_table(path):
    """A table of rows (dicts) from a JSON file (a list of objects) or a CSV file with a header."""
    path = pathlib.Path(path)
    try:
        text = path.read_text(encoding="utf-8-sig")
    except OSError as error:
        raise UsageError(f"cannot read table {path}: {error.strerror or error}") from None
    if path.suffix.lower() == ".json":
        try:
            rows = json.loads(text)
        except ValueError as error:
            raise UsageError(f"table {path} is not valid JSON: {error}") from None
    else:
        reader = csv.DictReader(text.splitlines())
        if not reader.fieldnames or "name" not in reader.fieldnames:
            raise UsageError(f"table {path} needs a header row with a 'name' column")
        rows = [{key: _cell(key, value or "") for key, value in row.items() if key is not None} for row in reader]
    if not isinstance(rows, list) or not rows or not all(isinstance(row, dict) and "name" in row for row in rows):
        raise UsageError(f"table {path} must hold a non-empty list of rows, each with a 'name'")
    return rows


def make_method(name, table=None, ground_water_level=None, unit_weight=18.0, resolution=None):
    """The classification method ``name`` ("robertson", "table" or "ic") with its table."""
    _, geo = _modules()
    if name == "robertson":
        try:
            return geo.RobertsonMethod(table if table is not None else ROBERTSON_ZONES)
        except geo.GEFParsingError as error:
            raise UsageError(f"Robertson zones: {error}") from None
    if table is None:
        raise UsageError(f"the {name} method needs --table")
    if ground_water_level is None:
        raise UsageError(f"the {name} method needs --ground-water-level")
    if name == "table":
        return geo.TableMethod(table, ground_water_level)
    return geo.NormalizedSoilBehaviourTypeIndexMethod(table, ground_water_level, unit_weight, resolution)


def load_polyline(path):
    """Points (x, y) from a JSON list of pairs, or from a text file with one "x, y" (or "x y")
    per line; a first line that is not numbers is taken as a header."""
    path = pathlib.Path(path)
    try:
        text = path.read_text(encoding="utf-8-sig")
    except OSError as error:
        raise UsageError(f"cannot read polyline {path}: {error.strerror or error}") from None
    try:
        if path.suffix.lower() == ".json":
            pairs = json.loads(text)
        else:
            lines = [line.replace(",", " ").replace(";", " ").split() for line in text.splitlines() if line.strip()]
            if lines and not _numeric(lines[0]):
                lines = lines[1:]
            pairs = lines
        points = [Point(float(x), float(y)) for x, y in pairs]
    except (ValueError, TypeError) as error:
        raise UsageError(f"polyline {path}: expected pairs of numbers x, y ({error})") from None
    if len(points) < 2 or not all(math.isfinite(p.x) and math.isfinite(p.y) for p in points):
        raise UsageError(f"polyline {path} needs at least two points with finite coordinates")
    return Polyline(points)


def _numeric(fields):
    try:
        [float(f) for f in fields]
    except ValueError:
        return False
    return True


# Classify -------------------------------------------------------------------------------------

def output_folders(files):
    """A folder name per file: its stem, made unique with "-2", "-3", ... where stems repeat."""
    seen, names = {}, []
    for path in files:
        stem = pathlib.Path(path).stem
        count = seen[stem] = seen.get(stem, 0) + 1
        names.append(stem if count == 1 else f"{stem}-{count}")
    taken = set()
    for i, name in enumerate(names):  # "a-2" given as a file name must not meet the second "a"
        while name in taken:
            name += "-x"
        taken.add(name)
        names[i] = name
    return names


def progress_bar(total, enabled, description):
    """A tqdm bar on standard error when it is a terminal, else a silent stand-in."""
    from tqdm import tqdm
    return tqdm(total=total, unit="CPT", desc=description, file=sys.stderr, disable=not enabled, leave=False)


def write_cpt_outputs(result, folder, method_name, draw=True):
    """Writes the cleaned layout's JSON and the standard SVG of one processed CPT."""
    _, geo = _modules()
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"layout_{method_name}.json").write_text(json.dumps(result.layout.serialize(), indent=1),
                                                       encoding="utf-8")
    if draw:
        svg = geo.gef_visualization(result.gef, result.classified, result.layout)
        (folder / f"gef_{method_name}.svg").write_text(svg, encoding="utf-8")


def _summary_row(result, folder_name):
    layers = (lambda layout: layout.number_of_layers if layout is not None else "")
    return {"file": result.path, "status": result.status, "cpt": getattr(result.gef, "name", "") if result.ok else "",
            "layers_classified": layers(result.classified) if result.ok else "",
            "layers_cleaned": layers(result.layout) if result.ok else "",
            "output": folder_name if result.ok else "", "error": result.error or ""}


def classify_files(files, method_name, method, output, *, min_layer_thickness=500.0, merge=True, draw=True,
                   workers=None, executor=None, progress=False):
    """Classifies and cleans the files, writes per CPT ``<output>/<name>/layout_<method>.json`` and
    ``gef_<method>.svg`` and the summary ``<output>/summary_<method>.csv``. Returns the results
    (a file whose outputs could not be made is failed, with that error) and the summary path."""
    cpt, _ = _modules()
    output = pathlib.Path(output)
    output.mkdir(parents=True, exist_ok=True)
    folders = output_folders(files)
    results, rows = [], []
    processed = cpt.iter_cpts(files, method, min_layer_thickness=min_layer_thickness, merge=merge,
                              executor=executor, workers=workers)
    with progress_bar(len(files), progress, method_name) as bar:
        for result, folder_name in zip(processed, folders):
            if result.ok:
                try:
                    write_cpt_outputs(result, output / folder_name, method_name, draw)
                except Exception as error:  # one file's drawing or writing fails that file only
                    import matplotlib.pyplot as plt
                    plt.close("all")  # a drawing that failed leaves its figure open
                    result = dataclasses.replace(result, error=f"{type(error).__name__}: {error}")
            results.append(result)
            rows.append(_summary_row(result, folder_name))
            bar.update()
    summary = output / f"summary_{method_name}.csv"
    with open(summary, "w", newline="", encoding="utf-8") as handle:
        writer = csv.DictWriter(handle, SUMMARY_FIELDS)
        writer.writeheader()
        writer.writerows(rows)
    return results, summary


# Section --------------------------------------------------------------------------------------

def phreatic_line(original_ground, surface, depth):
    """The phreatic line ``depth`` m below the original ground, kept at or below the final
    surface, so that it never runs through an empty excavation."""
    _, geo = _modules()
    water = Polyline([Point(p.x, p.y - depth) for p in original_ground.points])
    clipped = Polyline.get_lowest_or_highest_profile_x(water, surface, lowest=True)
    return geo.PiezoLine(clipped.points, phreatic=True)


def excavate(section, cut):
    """Splits along ``cut`` and keeps the soil below it (the piece with the lowest bottom)."""
    pieces = section.split(cut)
    return min(pieces, key=lambda piece: min(p.y for p in piece.bottom_profile.points)), len(pieces)


def _polygon_area(points):
    return abs(sum(a.x * b.y - b.x * a.y for a, b in zip(points, points[1:] + points[:1]))) / 2


def _label_cpt(axes, gef, chainage, fraction):
    """The CPT's name just above the ground, inside the frame also at its edges."""
    align, shift = ("left", 3) if fraction < 0.08 else ("right", -3) if fraction > 0.92 else ("center", 0)
    axes.annotate(gef.name, (chainage, gef.ground_level_wrt_reference / 1000), xytext=(shift, 6),
                  textcoords="offset points", ha=align, va="bottom", fontsize=8,
                  bbox=dict(boxstyle="round,pad=0.2", facecolor="white", edgecolor="none", alpha=0.8))


def draw_section(layouts, positions, paths, *, cut=None, cut_label="cut line", title="Soil section", detail=None):
    """Draws layouts (a section, or its pieces) with the CPTs and writes it to each path (its
    suffix gives the format). The legend lists only what is drawn; CPT names stand above the
    ground inside the frame; ``detail`` = (x0, x1) adds a zoomed panel below."""
    import matplotlib
    if matplotlib.get_backend().lower() not in ("agg", "pdf", "svg", "cairo"):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Polygon as PolygonPatch

    panels = 2 if detail else 1
    with plt.style.context("default"):
        figure, axes_list = plt.subplots(panels, 1, figsize=(12, 4.8 * panels), squeeze=False)
        axes_list = [row[0] for row in axes_list]
        tops = [p.y for layout in layouts for p in layout.top_profile.points]
        bottoms = [p.y for layout in layouts for p in layout.bottom_profile.points]
        left = min(layout.left_boundary for layout in layouts)
        right = max(layout.right_boundary for layout in layouts)
        legend = {}
        for axes in axes_list:
            for layout in layouts:
                for layer in layout.layers:
                    for polygon in layer.polygons():
                        points = [(p.x, p.y) for p in polygon.points]
                        if _polygon_area(polygon.points) < 1e-9:
                            continue  # a layer of no thickness here: nothing to see, nothing to list
                        patch = PolygonPatch(points, closed=True, facecolor=layer.soil.color.hex, edgecolor="black",
                                             linewidth=0.3)
                        axes.add_patch(patch)
                        legend.setdefault(layer.soil.name, patch)
                for line in layout.piezo_lines:
                    label = "phreatic line" if line.phreatic else "piezometric line"
                    (handle,) = axes.plot([p.x for p in line.points], [p.y for p in line.points], color="#1f5fbf",
                                          linewidth=1.4, linestyle="--")
                    legend.setdefault(label, handle)
            if cut is not None:
                (handle,) = axes.plot([p.x for p in cut.points], [p.y for p in cut.points], color="red",
                                      linewidth=1.0, linestyle=":")
                legend.setdefault(cut_label, handle)
            for chainage, _, gef in positions:
                ground = gef.ground_level_wrt_reference / 1000
                (handle,) = axes.plot([chainage, chainage], [ground, min(gef.elevation) / 1000], color="#303030",
                                      linewidth=1.2)
                legend.setdefault("CPT (to its final depth)", handle)
            axes.set_ylabel("level [m]")
            axes.set_xlabel("chainage [m]")
        margin = max(1.0, 0.08 * (max(tops) - min(bottoms)))
        frames = [(axes_list[0], (left, right), min(bottoms) - 0.5)]
        if detail:
            grounds = [p.y for layout in layouts for p in layout.top_profile.points if detail[0] <= p.x <= detail[1]]
            frames.append((axes_list[1], detail, max(min(bottoms) - 0.5, min(grounds or tops) - 10.0)))
        for axes, (x0, x1), y0 in frames:
            axes.set_xlim(x0, x1)
            visible_tops = [p.y for layout in layouts for p in layout.top_profile.points if x0 <= p.x <= x1] or tops
            axes.set_ylim(y0, max(visible_tops) + (2.5 * margin if axes is axes_list[0] else 3.0))
            for chainage, _, gef in positions:
                if x0 <= chainage <= x1:
                    _label_cpt(axes, gef, chainage, (chainage - x0) / (x1 - x0))
        axes_list[0].set_title(title)
        if detail:
            axes_list[1].set_title(f"detail: chainage {detail[0]:.0f} to {detail[1]:.0f} m")
        figure.legend(list(legend.values()), list(legend.keys()), loc="outside right upper", fontsize=8)
        figure.set_layout_engine("constrained")
        for path in paths:
            figure.savefig(path, format=pathlib.Path(path).suffix[1:], dpi=120)
        plt.close(figure)


def build_section(results, *, sand, min_unit_thickness=2000.0, cut=None, excavate_cut=False, phreatic_depth=None):
    """The section through processed CPTs (``CPTResult``s with data and layout): returns
    (layouts, positions), ``layouts`` holding the section or its pieces after ``cut``."""
    cpt, _ = _modules()
    section, positions = cpt.section_from_cpts([r.gef for r in results], [r.layout for r in results], sand=sand,
                                               min_unit_thickness=min_unit_thickness)
    layouts = [section]
    if cut is not None:
        if excavate_cut:
            layouts = [excavate(section, cut)[0]]
        else:
            layouts = section.split(cut)
    if phreatic_depth is not None:
        layouts = [type(layout)(layout.layers, [phreatic_line(section.top_profile, layout.top_profile,
                                                              phreatic_depth)]) for layout in layouts]
    return layouts, positions


# Commands -------------------------------------------------------------------------------------

def _method_from(args):
    table = load_table(args.table) if args.table else None
    return make_method(args.method, table, args.ground_water_level, args.unit_weight, args.resolution)


def _thickness_mm(args):
    return args.min_thickness * 1000.0 if args.min_thickness > 0 else None


def _report_failures(results):
    failed = [r for r in results if not r.ok]
    for result in failed:
        print(f"failed: {result.path}: {result.error}", file=sys.stderr)
    return failed


@contextlib.contextmanager
def _executor(args):
    """A process pool for --processes (None: the batch's own threads)."""
    if not args.processes:
        yield None
        return
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor
    # forkserver: a fork of this process, which may run threads, could deadlock.
    with ProcessPoolExecutor(args.workers, mp_context=multiprocessing.get_context("forkserver")) as pool:
        yield pool


def command_classify(args):
    files = find_cpt_files(args.inputs)
    method = _method_from(args)
    progress = sys.stderr.isatty()
    with _executor(args) as executor:
        results, summary = classify_files(files, args.method, method, args.output,
                                          min_layer_thickness=_thickness_mm(args), merge=not args.no_merge,
                                          draw=not args.no_svg, workers=args.workers, executor=executor,
                                          progress=progress)
    failed = _report_failures(results)
    if progress:
        print(f"{len(results) - len(failed)} of {len(results)} CPTs classified; summary in {summary}", file=sys.stderr)
    return EXIT_FAILED if failed else EXIT_OK


def command_section(args):
    cpt, _ = _modules()
    files = find_cpt_files(args.inputs)
    method = _method_from(args)
    cut = load_polyline(args.cut) if args.cut else None
    if args.excavate and cut is None:
        raise UsageError("--excavate needs --cut")
    progress = sys.stderr.isatty()
    with progress_bar(len(files), progress, "section") as bar, _executor(args) as executor:
        results = []
        for result in cpt.iter_cpts(files, method, min_layer_thickness=_thickness_mm(args), merge=not args.no_merge,
                                    workers=args.workers, executor=executor, keep_classified=False):
            results.append(result)
            bar.update()
    failed = _report_failures(results)
    good = [r for r in results if r.ok]
    if len(good) < 2:
        print(f"terrak section: a section needs at least two CPTs, {len(good)} could be processed", file=sys.stderr)
        return EXIT_FAILED
    sand = args.sand or DEFAULT_SAND[args.method]
    try:
        layouts, positions = build_section(good, sand=sand, min_unit_thickness=args.unit_thickness * 1000.0, cut=cut,
                                           excavate_cut=args.excavate, phreatic_depth=args.phreatic_depth)
    except ValueError as error:
        print(f"terrak section: {error}", file=sys.stderr)
        return EXIT_FAILED
    output = pathlib.Path(args.output)
    output.mkdir(parents=True, exist_ok=True)
    if len(layouts) == 1:
        (output / "section.json").write_text(json.dumps(layouts[0].serialize()), encoding="utf-8")
    else:
        for number, piece in enumerate(layouts, 1):
            (output / f"section_part_{number}.json").write_text(json.dumps(piece.serialize()), encoding="utf-8")
    with open(output / "section_cpts.csv", "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        writer.writerow(["cpt", "file", "chainage_m", "offset_m", "ground_level_m"])
        by_gef = {id(r.gef): r.path for r in good}
        for chainage, offset, gef in positions:
            writer.writerow([gef.name, by_gef[id(gef)], f"{chainage:.2f}", f"{offset:.2f}",
                             f"{gef.ground_level_wrt_reference / 1000:.3f}"])
    paths = [output / f"section.{fmt}" for fmt in args.format]
    draw_section(layouts, positions, paths, cut=cut, cut_label="excavation" if args.excavate else "cut line",
                 title=f"Soil section through {len(positions)} CPTs ({args.method} classification)")
    if progress:
        print(f"section through {len(positions)} CPTs written to {output}", file=sys.stderr)
    return EXIT_FAILED if failed else EXIT_OK


# Parser ---------------------------------------------------------------------------------------

def _positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {text}")
    return value


def _non_negative(text):
    value = float(text)
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a number of at least 0, not {text}")
    return value


def _formats(text):
    formats = [f.strip().lower() for f in text.split(",") if f.strip()]
    unknown = sorted(set(formats) - {"svg", "png", "pdf"})
    if unknown or not formats:
        raise argparse.ArgumentTypeError(f"formats are svg, png and pdf, not {text!r}")
    return formats


def _add_common(parser):
    parser.add_argument("inputs", nargs="+", metavar="PATH",
                        help="CPT files (GEF or BRO-XML), or folders searched for *.gef and *.xml")
    parser.add_argument("-m", "--method", choices=METHOD_NAMES, default="robertson",
                        help="classification: Robertson chart, qualification table, or Ic bands (default: robertson)")
    parser.add_argument("-t", "--table", metavar="FILE",
                        help="the method's table, JSON (a list of rows) or CSV with a header: Robertson zones, "
                             "qualification table rows or Ic bands (robertson: all ten zones by default)")
    parser.add_argument("--ground-water-level", type=float, metavar="M",
                        help="ground water level in m of the files' height system (table and ic methods)")
    parser.add_argument("--unit-weight", type=float, default=18.0, metavar="KN_M3",
                        help="unit weight of the soil for the ic method (default: 18)")
    parser.add_argument("--resolution", type=float, metavar="M",
                        help="ic method: classify windows of this height (default: every measurement)")
    parser.add_argument("--min-thickness", type=_non_negative, default=0.5, metavar="M",
                        help="absorb layers thinner than this into their neighbours (default: 0.5 m; 0: keep all)")
    parser.add_argument("--no-merge", action="store_true", help="keep adjacent layers of one soil apart")
    parser.add_argument("-o", "--output", default="out", metavar="FOLDER", help="output folder (default: ./out)")
    parser.add_argument("-w", "--workers", type=_positive_int, metavar="N",
                        help="threads (or processes) that parse and classify (default: one per core; 1: no threads)")
    parser.add_argument("--processes", action="store_true",
                        help="work in separate processes instead of threads: faster on many cores, since much "
                             "of each file's work holds Python's global lock")


def make_parser():
    parser = argparse.ArgumentParser(
        prog="terrak", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Classify CPT files (GEF, BRO-XML) into soil layouts and build soil sections through them.",
        epilog="examples:\n"
               "  terrak classify data/ -o out\n"
               "  terrak classify site/*.gef -m table -t table.csv --ground-water-level -1.0 --workers 4\n"
               "  terrak section site/*.gef -m table -t table.json --ground-water-level -1.0 \\\n"
               "         --cut excavation.csv --excavate --phreatic-depth 1.0 -o section\n\n"
               "exit status: 0 all files done, 1 some files failed (listed), 2 usage error")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    classify = commands.add_parser(
        "classify", help="classify and clean CPTs; write layouts, standard plots and a summary",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Classify each CPT, clean its layout and write, per CPT, FOLDER/<name>/layout_<method>.json\n"
                    "(the cleaned layout) and FOLDER/<name>/gef_<method>.svg (cone resistance, friction number,\n"
                    "soil columns before and after cleaning), and FOLDER/summary_<method>.csv with every file's\n"
                    "status. A file that fails is listed and the others go on.")
    _add_common(classify)
    classify.add_argument("--no-svg", action="store_true", help="write the layouts only, no plots")
    classify.set_defaults(run=command_classify)

    section = commands.add_parser(
        "section", help="build a 2D soil section along the line through the CPTs",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Classify the CPTs, interpret each into three units (cover layer, first thick sand, deep\n"
                    "layers) and build a 2D section along the straight line that fits their positions best:\n"
                    "chainage in m from the first CPT on that line, ground through their ground levels. Writes\n"
                    "FOLDER/section.json (or section_part_<n>.json after a cut), FOLDER/section.<format> and\n"
                    "FOLDER/section_cpts.csv (chainage and offset of each CPT).")
    _add_common(section)
    section.add_argument("--sand", action="append", metavar="PATTERN",
                         help="soil names of the sand unit, shell-style and case-insensitive; repeatable "
                              "(default: '*sand*', for robertson 'Robertson zone [567]')")
    section.add_argument("--unit-thickness", type=_non_negative, default=2.0, metavar="M",
                         help="a unit starts only where its soils are at least this thick together "
                              "(default: 2.0 m)")
    section.add_argument("--cut", metavar="FILE",
                         help="split the section along this polyline: chainage and level pairs, one 'x, y' per line "
                              "or a JSON list of [x, y]")
    section.add_argument("--excavate", action="store_true", help="the cut is an excavation: remove the soil above it")
    section.add_argument("--phreatic-depth", type=_non_negative, metavar="M",
                         help="draw a phreatic line this far below the original ground (kept below the final surface)")
    section.add_argument("--format", type=_formats, default=["svg", "png"], metavar="LIST",
                         help="picture formats, comma separated: svg, png, pdf (default: svg,png)")
    section.set_defaults(run=command_section)
    return parser


def main(argv=None):
    parser = make_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except UsageError as error:
        parser.exit(EXIT_USAGE, f"terrak {args.command}: error: {error}\n")
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
