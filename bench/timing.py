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


def best_cpu_times(functions, repeat, rounds=5):
    """The smallest CPU time of each function over `repeat` calls, in seconds, the calls made in
    `rounds` alternating rounds so that a slow spell of the machine weighs on every function
    alike rather than on whichever ran during it."""
    best = [float("inf")] * len(functions)
    per_round = max(1, repeat // rounds)
    for _ in range(rounds):
        for k, function in enumerate(functions):
            best[k] = min(best[k], best_cpu_time(function, per_round))
    return best
