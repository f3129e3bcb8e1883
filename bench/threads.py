"""How far calls from two Python threads run in parallel: the same number of calls per thread on one
thread and on two, each the best of five runs.

    python bench/threads.py [--calls N]

The speed-up is twice the one-thread time over the two-thread time: near 2 where the calls run on
two cores at once (an interpreter without the GIL, and a machine with two idle cores), near 1 where
they take turns. Both threads pass the same argument objects, whose reference counts they then
share: the interpreter's own math.hypot on the same numbers shows what that costs.
"""

import argparse
import math
import sys
import threading
import time

import numpy as np

import quorix
import quorix._core as core

OPTION = (1, 100.0, 105.0, 0.5, 0.03, 0.01, 0.2)
CALLS = {  # small calls, each below its pool threshold: the calling thread does all the work
    "math.hypot of 7 numbers": (math.hypot, OPTION),  # the interpreter's own, for scale
    "_core scalar prices": (core.bsm_price_scalar, OPTION),
    "_core scalar implied vols": (core.bsm_iv_scalar, (5.0, 1, 100.0, 105.0, 0.5, 0.03, 0.01)),
    "public prices of 256 options": (quorix.bsm_price, ("call", 100.0, np.linspace(50, 150, 256), 0.5, 0.03, 0.01, 0.2)),
}


def wall_time(threads, function, args, calls):
    barrier = threading.Barrier(threads + 1)

    def run():
        barrier.wait()
        for _ in range(calls):
            function(*args)

    workers = [threading.Thread(target=run) for _ in range(threads)]
    for worker in workers:
        worker.start()
    barrier.wait()
    start = time.perf_counter()
    for worker in workers:
        worker.join()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=100000, help="calls per thread (default 100000)")
    calls = parser.parse_args().calls
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]}, GIL {'enabled' if gil else 'disabled'}, {calls} calls per thread")
    for label, (function, args) in CALLS.items():
        one, two = (min(wall_time(threads, function, args, calls) for _ in range(5)) for threads in (1, 2))
        print(f"  {label:30} 1 thread {one * 1e3:8.1f} ms, 2 threads {two * 1e3:8.1f} ms: speed-up {2 * one / two:.2f}")


if __name__ == "__main__":
    main()
