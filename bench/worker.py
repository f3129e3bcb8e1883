"""Times one contender on the batches the driver wrote; runs in its own process.

A separate process per contender keeps pool sizes (RAYON_NUM_THREADS is read once per process),
JIT caches and interpreters apart. Prints one JSON object: {operation: {n: median seconds}} and
the reason where the contender could not run; saves the prices and implied vols of the largest
batch it ran, for the driver's accuracy tables.
"""

import argparse
import json
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from contenders import CONTENDERS, PER_OPTION  # noqa: E402


def median_seconds(operation, repeats):
    operation()  # warm up: JIT compilation, pool start, first-touch of pages
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        operation()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("contender", choices=sorted(CONTENDERS))
    parser.add_argument("--batches", type=Path, required=True)
    parser.add_argument("--sizes", type=int, nargs="+", required=True)
    parser.add_argument("--repeats", type=int, nargs="+", required=True)
    parser.add_argument("--per-option-cap", type=int, required=True)
    parser.add_argument("--save-prefix", required=True)
    args = parser.parse_args()
    cap = args.per_option_cap if args.contender in PER_OPTION else max(args.sizes)
    timings, saved = {}, {}
    for n, repeats in zip(args.sizes, args.repeats):
        if n > cap:
            continue
        with np.load(args.batches / f"{n}.npz") as stored:
            batch = {name: stored[name] for name in stored.files}
        try:
            operations = CONTENDERS[args.contender](batch)
        except ImportError as error:
            print(json.dumps({"skipped": f"not installed ({error})"}))
            return
        for name, operation in operations.items():
            if "failed" in timings.get(name, {}):
                continue
            try:
                timings.setdefault(name, {})[n] = median_seconds(operation, repeats)
            except Exception as error:  # a peer that breaks on this platform is reported, not fatal
                timings[name] = {"failed": f"{type(error).__name__}: {str(error).splitlines()[0]}"}
        for name in ("price", "iv"):
            if isinstance(timings.get(name, {}).get(n), float):
                np.save(f"{args.save_prefix}-{name}.npy", np.asarray(operations[name](), dtype=float))
                saved[name] = n
    print(json.dumps({"timings": timings, "saved": saved}))


if __name__ == "__main__":
    main()
