"""Timing shared by the benchmarks that measure CPU time (on a shared machine wall time mostly
measures the other processes)."""

import time


def best_cpu_time(function, repeat):
    """The smallest CPU time of `repeat` calls, in seconds."""
    times = []
    for _ in range(repeat):
        start = time.process_time()
        function()
        times.append(time.process_time() - start)
    return min(times)
