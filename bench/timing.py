"""The benchmarks' one timer: the best of a few wall-clock runs of a call, in seconds (the
least disturbed by whatever else the machine is doing)."""
import time


def best(call, repeats=3):
    out = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        out = min(out, time.perf_counter() - start)
    return out
