"""Throughput of a whole batch: CPTs per second for the full pipeline on threads, processes and a
Dask cluster, with pygef's reader on the same files for scale.

    .venv/bin/python bench/bench_batch.py [--files N] [--repeat R] [--quick]

The pipeline per file is the one ``terrak classify`` runs: read the file, parse it, classify it
with the Robertson chart, absorb layers thinner than 0.5 m with merging, and serialize the layout
(in the worker, so only plain dictionaries travel back). The files are the bundled samples that
have friction data and the four site CPTs, copied to N files (default 1,000). Each setting runs
the whole batch R times and keeps the best wall time: parallel throughput is a wall-clock figure.
The machine may be shared, so the load average at the start is printed with the figures.

Settings: sequential (calling thread), 2 and 4 threads, a process pool of 2, a Dask LocalCluster
of 2 single-threaded worker processes (through its concurrent.futures executor). For scale: the
parse alone (ours and pygef's ``read_cpt``) on the same files, sequentially.
"""

import argparse
import multiprocessing
import os
import shutil
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

from terrak import cpt
from terrak.geo import RobertsonMethod

DATA = Path(__file__).resolve().parent.parent / "data"
SOURCES = [DATA / name for name in ("cpt.gef", "cpt2.gef", "cpt3.gef", "example.gef")] + sorted(
    (DATA / "site").glob("*.gef"))
ZONES = [{"name": "Robertson zone unknown"}] + [{"name": f"Robertson zone {zone}"} for zone in range(1, 10)]
CHUNKSIZE = 8  # files per task on processes and Dask


def replicate(folder, count):
    files = []
    for number in range(count):
        source = SOURCES[number % len(SOURCES)]
        target = folder / f"{number:05d}_{source.name}"
        shutil.copyfile(source, target)
        files.append(target)
    return files


def pipeline(files, **options):
    results = cpt.process_cpts(files, RobertsonMethod(ZONES), min_layer_thickness=500, merge=True, serialize=True,
                               keep_gef=False, keep_classified=False, **options)
    failed = [r for r in results if not r.ok]
    assert not failed, failed[0].error
    return results


def timed(function, repeat):
    """Best wall time and the CPU time of this process in that run (seconds)."""
    best = None
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        function()
        run = (time.perf_counter() - wall, time.process_time() - cpu)
        best = run if best is None or run[0] < best[0] else best
    return best


def time_in_job_handlers(files):
    """CPU time per file of the whole sequential pipeline and of the native job handlers in it.
    The handlers release the GIL for their kernels, so their share bounds what threads can
    overlap; the rest (the payload check, building and cleaning Python objects) holds the GIL."""
    from terrak import _jobs
    spent = {"handlers": 0.0}
    originals = dict(_jobs.HANDLERS)

    def timed_handler(handler):
        def run(data):
            start = time.process_time()
            try:
                return handler(data)
            finally:
                spent["handlers"] += time.process_time() - start
        return run

    _jobs.HANDLERS.update({path: timed_handler(handler) for path, handler in originals.items()})
    try:
        start = time.process_time()
        pipeline(files, workers=1)
        total = time.process_time() - start
    finally:
        _jobs.HANDLERS.update(originals)
    return total / len(files), spent["handlers"] / len(files)


def pygef_reader():
    try:
        import pygef
    except ImportError:
        return None
    return pygef.read_cpt


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="200 files, one run each")
    args = parser.parse_args()
    count, repeat = (200, 1) if args.quick else (args.files, args.repeat)

    folder = Path(tempfile.mkdtemp(prefix="terrak-bench-"))
    try:
        files = replicate(folder, count)
        print(f"{count} files ({len(SOURCES)} distinct CPTs), best of {repeat}; {os.cpu_count()} cores, "
              f"load average {os.getloadavg()[0]:.1f} at the start\n")
        rows = []

        def measure(name, function, workers):
            wall, cpu = timed(function, repeat)
            rows.append((name, workers, wall, cpu))
            print(f"  {name:34s} {count / wall:8.0f} CPTs/s   wall {wall:6.2f} s   cpu here {cpu:6.2f} s", flush=True)

        measure("parse only, ours (sequential)", lambda: [cpt.read_cpt(f) for f in files], 1)
        read = pygef_reader()
        if read is not None:
            measure("parse only, pygef read_cpt", lambda: [read(str(f)) for f in files], 1)
        measure("pipeline, sequential", lambda: pipeline(files, workers=1), 1)
        measure("pipeline, 2 threads", lambda: pipeline(files, workers=2), 2)
        measure("pipeline, 4 threads", lambda: pipeline(files, workers=4), 4)
        with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")) as pool:
            pipeline(files[:8], executor=pool)  # start the workers and import terrak in them first
            measure("pipeline, 2 processes", lambda: pipeline(files, executor=pool, chunksize=CHUNKSIZE), 2)
        try:
            from distributed import Client, LocalCluster
        except ImportError:
            print("  (Dask's distributed is not installed: no cluster figure)")
        else:
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                    Client(cluster) as client:
                executor = client.get_executor()
                pipeline(files[:8], executor=executor)
                measure("pipeline, Dask LocalCluster of 2",
                        lambda: pipeline(files, executor=executor, chunksize=CHUNKSIZE), 2)

        per_file, in_handlers = time_in_job_handlers(files[:200])
        share = in_handlers / per_file
        print(f"\nper file, sequential: {per_file * 1e3:.1f} ms CPU, of which {in_handlers * 1e3:.1f} ms "
              f"({share:.0%}) in the native job handlers (GIL released in their kernels); the rest holds the GIL.")
        print(f"  so threads can at most reach x{1 / (1 - share + share / 2):.2f} on 2 cores and "
              f"x{1 / (1 - share):.2f} on any number; processes and Dask workers are not bound by it.")

        sequential = next(wall for name, _, wall, _ in rows if name == "pipeline, sequential")
        print("\nspeed-up over sequential, and per worker:")
        for name, workers, wall, _ in rows:
            if name.startswith("pipeline") and workers > 1:
                print(f"  {name:34s} x{sequential / wall:5.2f}   per worker x{sequential / wall / workers:5.2f}")
        pygef_wall = next((wall for name, _, wall, _ in rows if "pygef" in name), None)
        if pygef_wall:
            ours = next(wall for name, _, wall, _ in rows if name.startswith("parse only, ours"))
            print(f"\nparse only: ours {pygef_wall / ours:.1f} times as fast as pygef read_cpt; the full pipeline "
                  f"sequentially {pygef_wall / sequential:.1f} times as fast as pygef's parse alone")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
