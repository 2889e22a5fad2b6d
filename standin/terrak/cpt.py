"""CPTs of a whole site: read any CPT file, process many on any executor, and lay them along a section.

Reading
-------
``read_cpt(path)`` reads a CPT file, GEF or BRO-XML (the job service recognises the format by its
content), into ``GEFData``. The bytes are read as UTF-8 when they are valid UTF-8 and as ISO-8859-1
otherwise: registry files are UTF-8, most older GEF files ISO-8859-1.

Processing many
---------------
``process_cpts(paths, method, min_layer_thickness=500)`` parses each file, classifies it with
``method`` and cleans the layout (thin layers absorbed, equal neighbours merged). The results come
back in input order, one ``CPTResult`` per path; a file that cannot be read, parsed or classified
gives a result with its error text and never stops the others::

    results = process_cpts(paths, RobertsonMethod(zones), min_layer_thickness=500)
    layouts = {r.path: r.layout for r in results if r.ok}
    failed = [(r.path, r.error) for r in results if not r.ok]

The work runs on threads by default (parsing and classifying release the GIL). Any
``concurrent.futures.Executor`` runs it unchanged, for example a process pool or a Dask cluster::

    from distributed import Client
    with Client("tcp://scheduler:8786") as client:
        results = process_cpts(paths, method, executor=client.get_executor())

With another process's executor, the method goes to the workers and the results come back by
pickling. ``serialize=True`` returns plain dictionaries (``serialize()`` forms) instead of
objects, and ``keep_gef=False`` leaves the measurements behind, when only the layouts are wanted.
``iter_cpts`` yields the same results in input order as they become ready (for progress bars).

Sections
--------
``chainages(gefs)`` places CPTs along the straight line that fits their coordinates best, and
``section_from_cpts(gefs, layouts)`` interprets each classified layout into three units (cover
layer, first sand, deep layers) and builds a ``SoilLayout2D`` along that line: chainage in m,
ground from each CPT's level.
"""

import collections
import fnmatch
import itertools
import math
import os
from concurrent.futures import Executor, Future, ThreadPoolExecutor
from dataclasses import dataclass

from terrak import geo
from terrak.core import Color
from terrak.geometry import Point, Polyline

__all__ = [
    "DEFAULT_COLUMNS",
    "CPTResult",
    "read_cpt",
    "process_cpt",
    "process_cpts",
    "iter_cpts",
    "chainages",
    "section_from_cpts",
    "SECTION_UNITS",
]

# Columns beyond elevation, qc and Rf that classification and the standard plot use.
DEFAULT_COLUMNS = ("fs", "corrected_depth", "u2", "penetration_length")

# Chunks in flight at once on an executor: enough to keep a large cluster busy, few enough that
# a very long list of paths is not turned into futures all at once.
_MAX_PENDING_CHUNKS = 1024


def _read_text(path):
    with open(path, "rb") as handle:
        data = handle.read()
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return data.decode("ISO-8859-1")


def read_cpt(path, additional_columns=DEFAULT_COLUMNS):
    """Reads the CPT file at ``path`` (GEF or BRO-XML) into ``GEFData``.

    ``additional_columns`` are the measurement columns wanted besides elevation, qc and Rf; a
    column the file lacks is simply absent. Raises ``OSError`` when the file cannot be read and
    ``GEFParsingError`` when it is no CPT the job service can parse.
    """
    return geo.GEFFile(_read_text(path)).parse(additional_columns=list(additional_columns))


@dataclass
class CPTResult:
    """The outcome of one CPT file: its data and layouts, or the error that stopped it.

    ``path`` is the path as given (as text). ``gef`` is the parsed data, ``classified`` the layout
    as the classification returned it and ``layout`` the cleaned layout (the same object as
    ``classified`` when nothing was cleaned); ``gef`` and ``classified`` are ``None`` when the
    call did not keep them, and with ``serialize=True`` all three are ``serialize()``
    dictionaries. ``error`` is ``"<ExceptionType>: <message>"`` when the file failed, else
    ``None``.
    """

    path: str
    error: str | None = None
    gef: object = None
    classified: object = None
    layout: object = None

    @property
    def ok(self):
        """True when the file was processed."""
        return self.error is None

    @property
    def status(self):
        """"ok" or "failed"."""
        return "ok" if self.error is None else "failed"

    @property
    def name(self):
        """The file name without its folder."""
        return os.path.basename(self.path)


@dataclass(frozen=True)
class _Job:
    """What to do with every file; sent once per chunk to the worker that runs it."""

    method: object
    min_layer_thickness: float | None
    merge: bool
    additional_columns: tuple
    serialize: bool
    keep_gef: bool
    keep_classified: bool


def _describe(error):
    return f"{type(error).__name__}: {error}"


def _clean(classified, job):
    if job.min_layer_thickness is None and not job.merge:
        return classified
    # Cleaning works in place: a copy only when the classified layout is kept beside it.
    layout = type(classified).from_dict(classified.serialize()) if job.keep_classified else classified
    if job.min_layer_thickness is not None:
        layout.filter_layers_on_thickness(job.min_layer_thickness, job.merge)
    if job.merge:
        layout.update_layers()  # merges and closes the gaps that filtering may leave
    return layout


def _run(path, job):
    try:
        gef = read_cpt(path, job.additional_columns)
        classified = gef.classify(job.method)
        layout = _clean(classified, job)
        kept = (gef if job.keep_gef else None, classified if job.keep_classified else None, layout)
        if job.serialize:
            kept = tuple(value.serialize() if value is not None else None for value in kept)
    except Exception as error:  # one file's failure is that file's result
        return CPTResult(path, error=_describe(error))
    return CPTResult(path, None, *kept)


def _run_chunk(paths, job):
    """The worker function: module-level, so process pools and clusters can pickle it."""
    return [_run(path, job) for path in paths]


def _make_job(method, min_layer_thickness, merge, additional_columns, serialize, keep_gef, keep_classified):
    if min_layer_thickness is not None and not min_layer_thickness > 0:
        raise ValueError(f"min_layer_thickness must be a positive number or None, not {min_layer_thickness!r}")
    if isinstance(additional_columns, str):
        raise TypeError("additional_columns must be a list of column names, not a str")
    return _Job(method, min_layer_thickness, bool(merge), tuple(additional_columns), bool(serialize), bool(keep_gef),
                bool(keep_classified))


def process_cpt(path, method, *, min_layer_thickness=None, merge=True, additional_columns=DEFAULT_COLUMNS,
                serialize=False, keep_gef=True, keep_classified=True):
    """Reads, classifies and cleans one CPT file in the calling thread; returns its ``CPTResult``.

    Errors of the file (unreadable, not a CPT, not classifiable) come back in the result.
    ``min_layer_thickness`` (mm, as the layout's levels) absorbs thinner layers into their
    neighbours; ``merge`` joins adjacent layers of one soil. ``None`` and ``False`` leave the
    classified layout as it is.
    """
    job = _make_job(method, min_layer_thickness, merge, additional_columns, serialize, keep_gef, keep_classified)
    return _run(os.fspath(path), job)


def _chunks(paths, size):
    iterator = iter(paths)
    while chunk := [os.fspath(path) for path in itertools.islice(iterator, size)]:
        yield chunk


def _failed_chunk(chunk, error):
    return [CPTResult(path, error=f"worker failed: {_describe(error)}") for path in chunk]


def _submit(executor, chunk, job):
    try:
        return executor.submit(_run_chunk, chunk, job)
    except Exception as error:  # a broken pool refuses new work: those files fail, the caller learns why
        future = Future()
        future.set_exception(error)
        return future


def _collect(chunk, future):
    try:
        return future.result()
    except Exception as error:  # the worker died or the work could not be sent or returned
        return _failed_chunk(chunk, error)


def _on_executor(executor, chunks, job):
    pending = collections.deque()
    for chunk in itertools.islice(chunks, _MAX_PENDING_CHUNKS):
        pending.append((chunk, _submit(executor, chunk, job)))
    try:
        while pending:
            chunk, future = pending.popleft()
            for next_chunk in itertools.islice(chunks, 1):
                pending.append((next_chunk, _submit(executor, next_chunk, job)))
            yield from _collect(chunk, future)
    finally:
        for _, future in pending:  # a caller that stops early leaves no work queued
            future.cancel()


def iter_cpts(paths, method, *, min_layer_thickness=None, merge=True, additional_columns=DEFAULT_COLUMNS,
              serialize=False, keep_gef=True, keep_classified=True, executor=None, workers=None, chunksize=None):
    """Like ``process_cpts``, but yields each ``CPTResult`` in input order as soon as it is ready."""
    job = _make_job(method, min_layer_thickness, merge, additional_columns, serialize, keep_gef, keep_classified)
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise ValueError(f"workers must be a positive integer, not {workers!r}")
    if chunksize is not None and (isinstance(chunksize, bool) or not isinstance(chunksize, int) or chunksize < 1):
        raise ValueError(f"chunksize must be a positive integer, not {chunksize!r}")
    if executor is not None and not isinstance(executor, Executor) and not hasattr(executor, "submit"):
        raise TypeError(f"executor must be a concurrent.futures.Executor, not {type(executor).__name__}")
    return _iterate(paths, job, executor, workers, chunksize)


def _iterate(paths, job, executor, workers, chunksize):
    if executor is None:
        workers = workers or min(32, os.cpu_count() or 1)
        if workers == 1:
            for path in paths:
                yield _run(os.fspath(path), job)
            return
        with ThreadPoolExecutor(workers, thread_name_prefix="terrak-cpt") as pool:
            yield from _on_executor(pool, _chunks(paths, chunksize or 1), job)
        return
    if chunksize is None:
        # Each task to another process costs pickling and a round trip: send several files.
        chunksize = 1 if isinstance(executor, ThreadPoolExecutor) else 4
    yield from _on_executor(executor, _chunks(paths, chunksize), job)


def process_cpts(paths, method, *, min_layer_thickness=None, merge=True, additional_columns=DEFAULT_COLUMNS,
                 serialize=False, keep_gef=True, keep_classified=True, executor=None, workers=None, chunksize=None):
    """Reads, classifies and cleans many CPT files; returns their ``CPTResult``s in input order.

    - ``method``: a classification method (``RobertsonMethod``, ``TableMethod``, ...).
    - ``min_layer_thickness``: mm; thinner layers are absorbed by their neighbours (``None``: no
      filtering). ``merge``: join adjacent layers of the same soil afterwards.
    - ``additional_columns``: measurement columns to keep besides elevation, qc and Rf.
    - ``serialize``: results hold ``serialize()`` dictionaries instead of objects.
    - ``keep_gef`` / ``keep_classified``: keep the measurements / the uncleaned layout.
    - ``executor``: any ``concurrent.futures.Executor`` (a process pool, a Dask client's
      ``get_executor()``); by default a thread pool of ``workers`` threads (all cores), and
      ``workers=1`` runs in the calling thread.
    - ``chunksize``: files per task (default 1 on threads, 4 on other executors).

    A file that fails gives a result with ``error`` set; so do the files of a task whose worker
    died. Nothing of one file's failure reaches the others.
    """
    return list(iter_cpts(paths, method, min_layer_thickness=min_layer_thickness, merge=merge,
                          additional_columns=additional_columns, serialize=serialize, keep_gef=keep_gef,
                          keep_classified=keep_classified, executor=executor, workers=workers, chunksize=chunksize))


# Sections ------------------------------------------------------------------------------------

def chainages(gefs):
    """Chainage and offset (m) of each CPT along the straight line that fits their positions best.

    The line is the principal axis of the coordinates (``x_y_coordinates``, m); chainage runs
    from the CPT at its start (chainage 0) towards the last CPT given, and the offset is the
    distance of each CPT from the line (positive to the left). Returns ``[(chainage, offset)]``
    in the order given. Raises ``ValueError`` for fewer than two CPTs, a CPT without
    coordinates, or CPTs that all stand at one point.
    """
    gefs = list(gefs)
    if len(gefs) < 2:
        raise ValueError("a section needs at least two CPTs")
    points = []
    for gef in gefs:
        xy = getattr(gef, "x_y_coordinates", None)
        if xy is None or len(xy) < 2:
            raise ValueError(f"CPT {getattr(gef, 'name', '?')} has no coordinates")
        points.append((float(xy[0]), float(xy[1])))
    mean_x = sum(p[0] for p in points) / len(points)
    mean_y = sum(p[1] for p in points) / len(points)
    sxx = sum((p[0] - mean_x) ** 2 for p in points)
    syy = sum((p[1] - mean_y) ** 2 for p in points)
    sxy = sum((p[0] - mean_x) * (p[1] - mean_y) for p in points)
    if sxx + syy == 0.0:
        raise ValueError("the CPTs of a section must not all stand at one point")
    angle = 0.5 * math.atan2(2.0 * sxy, sxx - syy)
    dx, dy = math.cos(angle), math.sin(angle)
    along = [(x - mean_x) * dx + (y - mean_y) * dy for x, y in points]
    across = [-(x - mean_x) * dy + (y - mean_y) * dx for x, y in points]
    if along[-1] < along[0]:
        along = [-a for a in along]
        across = [-a for a in across]
    start = min(along)
    return [(a - start, c) for a, c in zip(along, across)]


# The units a section shows, from the ground down.
SECTION_UNITS = {
    "cover": geo.Soil("Cover layer", Color(110, 160, 80), {"description": "soils above the first thick sand"}),
    "sand": geo.Soil("Sand", Color(235, 200, 90), {"description": "the first thick sand"}),
    "deep": geo.Soil("Deep layers", Color(150, 150, 170), {"description": "below the first thick sand"}),
}


def _matches(soil_name, patterns):
    name = soil_name.lower()
    return any(fnmatch.fnmatchcase(name, pattern.lower()) for pattern in patterns)


def _runs(layout, sand_patterns):
    """Runs of consecutive layers that are all sand or all not: (is_sand, top, bottom), mm."""
    runs = []
    for layer in layout.layers:
        is_sand = _matches(layer.soil.name, sand_patterns)
        if runs and runs[-1][0] == is_sand:
            runs[-1][2] = layer.bottom_of_layer
        else:
            runs.append([is_sand, layer.top_of_layer, layer.bottom_of_layer])
    return runs


def _unit_levels(gef, layout, base, sand_patterns, min_unit_thickness):
    """Levels (m) at one CPT: ground, top of the first sand at least ``min_unit_thickness`` thick
    (counting consecutive sand layers together), and top of the first such non-sand below it;
    each clipped to [base, ground]."""
    ground = gef.ground_level_wrt_reference / 1000
    thick = [run for run in _runs(layout, sand_patterns) if run[1] - run[2] >= min_unit_thickness]
    sand = next((run for run in thick if run[0]), None)
    if sand is None:
        return ground, base, base
    sand_top = max(min(sand[1] / 1000, ground), base)
    below = next((run for run in thick if not run[0] and run[1] <= sand[2]), None)
    deep_top = below[1] / 1000 if below else base
    return ground, sand_top, min(max(deep_top, base), sand_top)


def section_from_cpts(gefs, layouts, *, sand=("*sand*",), min_unit_thickness=2000.0, piezo_lines=None):
    """A ``SoilLayout2D`` along the line through the CPTs, in three units.

    ``gefs`` are the CPTs' ``GEFData`` and ``layouts`` their classified (best: cleaned) layouts,
    in the same order. At each CPT consecutive layers whose soil names match one of the ``sand``
    patterns (shell-style, case-insensitive) count as one sand; the first sand at least
    ``min_unit_thickness`` (mm) thick starts the sand unit (a thin sandy crust or lens does not),
    and the first as thick run of other soils below it the deep layers; above the sand lies the
    cover layer. Chainage (x, m) is that of ``chainages``, the ground
    runs through the CPTs' ground levels (m) and the section reaches down to the deepest level
    that every CPT reaches. Returns ``(layout, positions)`` with ``positions`` the
    ``(chainage, offset, gef)`` of each CPT from the start of the line.
    """
    gefs, layouts = list(gefs), list(layouts)
    if len(gefs) != len(layouts):
        raise ValueError("section_from_cpts needs one layout per CPT")
    if isinstance(sand, str):
        sand = (sand,)
    placed = sorted(((c, o, g, lay) for (c, o), g, lay in zip(chainages(gefs), gefs, layouts)), key=lambda t: t[0])
    base = math.ceil(max(min(gef.elevation) for gef in gefs) / 1000 * 2) / 2
    positional, ground_points = [], []
    for chainage, _, gef, layout in placed:
        ground, sand_top, deep_top = _unit_levels(gef, layout, base, sand, min_unit_thickness)
        if ground <= base:
            raise ValueError(f"CPT {gef.name} starts below the section's base at {base} m")
        ground_points.append(Point(chainage, ground))
        layers = [geo.SoilLayer(SECTION_UNITS["deep"], deep_top, base),
                  geo.SoilLayer(SECTION_UNITS["sand"], sand_top, deep_top),
                  geo.SoilLayer(SECTION_UNITS["cover"], ground, sand_top)]  # from the bottom up
        positional.append(geo.PositionalSoilLayout(chainage, layers))
    section = geo.SoilLayout2D.from_positional_soil_layouts(positional, Polyline(ground_points), piezo_lines)
    return section, [(chainage, offset, gef) for chainage, offset, gef, _ in placed]
