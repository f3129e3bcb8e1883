"""Times quorix against the libraries users would pick instead, on the same random option batches.

    python bench/run.py [--quick] [--rounds R] [--record]

Each contender runs in its own process (bench/worker.py); quorix twice, with one worker thread and
with one per processor. Figures are medians of repeated runs (with --rounds R, the vector
contenders are run R times in turn and each figure is the median over the rounds); the tables give
nanoseconds per option and the ratio to the NumPy closed form measured in the same run. --record
writes the tables with a machine description to bench/RESULTS.md and the raw figures to
bench/results.json.
"""

import argparse
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
import tracemalloc
from pathlib import Path

import numpy as np

import quorix

sys.path.insert(0, str(Path(__file__).resolve().parent))
import contenders  # noqa: E402

HERE = Path(__file__).resolve().parent
CORES = os.cpu_count() or 1
FULL = {"sizes": [10**3, 10**4, 10**5, 10**6], "repeats": [51, 21, 9, 5], "cap": 10**5}
QUICK = {"sizes": [10**3, 10**4, 10**5], "repeats": [21, 9, 5], "cap": 10**3}
PRICE_SAMPLE = 2000  # options priced by mpmath for the price-accuracy table
WELL_POSED = 1e-12  # quorix recovers the generating vol this closely: the IV is determined


def make_batch(n, rng):
    """Random realistic options: both flags, log-moneyness in [-3, 3], vols 0.05 to 1.5, t 0.01 to 5."""
    t = rng.uniform(0.01, 5.0, n)
    r, q = rng.uniform(0.0, 0.05, n), rng.uniform(0.0, 0.03, n)
    s = np.full(n, 100.0)
    k = s * np.exp((r - q) * t - rng.uniform(-3.0, 3.0, n))
    batch = {"flag": rng.choice([-1, 1], n).astype(np.int8), "s": s, "k": k, "t": t, "r": r, "q": q,
             "sigma": rng.uniform(0.05, 1.5, n)}
    batch["price"] = quorix.bsm_price(*(batch[p] for p in ("flag", "s", "k", "t", "r", "q", "sigma")))
    return batch


def runs(pvv_python):
    """(label, contender, interpreter, extra environment) for every measured configuration."""
    here = sys.executable
    return [
        ("quorix, 1 worker", "quorix", here, {"RAYON_NUM_THREADS": "1"}),
        ("quorix._core, 1 worker", "quorix_core", here, {"RAYON_NUM_THREADS": "1"}),
        (f"quorix, {CORES} workers", "quorix", here, {"RAYON_NUM_THREADS": str(CORES)}),
        ("NumPy + scipy ndtr", "numpy_closed_form", here, {}),
        ("py_vollib_vectorized", "py_vollib_vectorized", pvv_python or here, {}),
        ("vollib (per option)", "vollib", here, {}),
        ("QuantLib (per option)", "quantlib", here, {}),
    ]


def measure(config, batches, plan):
    _, contender, python, env = config
    prefix = str(batches / f"{contender}-{env.get('RAYON_NUM_THREADS', '')}")
    command = [python, str(HERE / "worker.py"), contender, "--batches", str(batches),
               "--sizes", *map(str, plan["sizes"]), "--repeats", *map(str, plan["repeats"]),
               "--per-option-cap", str(plan["cap"]), "--save-prefix", prefix]
    # One BLAS thread: NumPy's idle OpenBLAS workers would otherwise compete for the cores.
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", **env}
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        reason = (done.stderr.strip().splitlines() or ["no output"])[-1]
        return {"skipped": f"exited with {done.returncode}: {reason}"}
    result = json.loads(done.stdout.strip().splitlines()[-1])
    for name in result.get("saved", {}):
        result[name] = np.load(f"{prefix}-{name}.npy")
    return result


VECTOR_CONTENDERS = ("quorix", "quorix_core", "numpy_closed_form", "py_vollib_vectorized")


def median_of_rounds(measured):
    """The first round's results, with every timing the median of that timing over the rounds."""
    first = measured[0]
    for operation, row in first.get("timings", {}).items():
        for n in [n for n, seconds in row.items() if isinstance(seconds, float)]:
            row[n] = float(np.median([r["timings"][operation][n] for r in measured
                                      if isinstance(r.get("timings", {}).get(operation, {}).get(n), float)]))
    return first


def scalar_overhead():
    """Nanoseconds per call of the scalar functions, beside a C builtin's float round trip."""
    import quorix._core as core
    calls = {
        "math.fabs(x) (float round trip)": lambda: math.fabs(0.25),
        "bsm_price_scalar": lambda: core.bsm_price_scalar(1, 100.0, 105.0, 0.5, 0.03, 0.01, 0.2),
        "bsm_greeks_scalar": lambda: core.bsm_greeks_scalar(1, 100.0, 105.0, 0.5, 0.03, 0.01, 0.2),
        "bsm_iv_scalar": lambda: core.bsm_iv_scalar(3.9, 1, 100.0, 105.0, 0.5, 0.03, 0.01),
        'quorix.bsm_price("c", ...) on floats': lambda: quorix.bsm_price("c", 100.0, 105.0, 0.5, 0.03, 0.01, 0.2),
        'quorix.bsm_greeks("c", ...) on floats': lambda: quorix.bsm_greeks("c", 100.0, 105.0, 0.5, 0.03, 0.01, 0.2),
        'quorix.bsm_iv(3.9, "c", ...) on floats': lambda: quorix.bsm_iv(3.9, "c", 100.0, 105.0, 0.5, 0.03, 0.01),
    }
    timer = timeit.Timer
    return {name: 1e9 * min(timer(call).repeat(5, 20000)) / 20000 for name, call in calls.items()}


def iv_accuracy(reference, sigma, peer):
    """IV differences from quorix where the IV is determined: worst, share off by more than 1e-9
    relative, and share of NaN or failure."""
    determined = np.abs(reference - sigma) <= WELL_POSED * sigma
    count = max(1, int(determined.sum()))
    good = determined & np.isfinite(peer)
    difference = np.abs(peer[good] - reference[good]) / reference[good]
    return {"worst": float(difference.max()) if difference.size else math.nan,
            "off": float((difference > 1e-9).sum() / count),
            "failed": float((determined & ~np.isfinite(peer)).sum() / count),
            "inputs": f"{int(determined.sum())} of {reference.size}"}


def reference_prices(batch, count):
    """The first `count` prices at 50 digits with mpmath, from the textbook formula."""
    import mpmath
    mpmath.mp.dps = 50
    out = []
    for i in range(count):
        flag, s, k, t, r, q, sigma = (mpmath.mpf(float(batch[p][i])) for p in ("flag", "s", "k", "t", "r", "q", "sigma"))
        forward, discount, root = s * mpmath.exp((r - q) * t), mpmath.exp(-r * t), sigma * mpmath.sqrt(t)
        d1 = mpmath.log(forward / k) / root + root / 2
        phi = -1 if flag < 0 else 1
        value = phi * discount * (forward * mpmath.ncdf(phi * d1) - k * mpmath.ncdf(phi * (d1 - root)))
        out.append(float(value))
    return np.array(out)


def price_accuracy(reference, peer):
    """Relative price errors against mpmath where the price is a normal double."""
    reference = reference[:peer.size]
    priced = reference > 1e-300
    error = np.abs(peer[priced] - reference[priced]) / reference[priced]
    error = np.where(np.isnan(error), np.inf, error)
    lost = (~(peer[priced] > 0)).sum()  # zero, negative or NaN where the true price is positive
    return {"worst": float(error.max()), "off": float((error > 1e-10).mean()),
            "failed": float(lost / priced.sum()), "inputs": str(priced.sum())}


def tables(results, plan):
    sizes, base = plan["sizes"], results["NumPy + scipy ndtr"].get("timings", {})
    lines = []
    for operation, title in (("price", "Prices"), ("greeks", "All five Greeks"), ("iv", "Implied vols")):
        unit = "price" if operation == "iv" else operation
        lines += ["", f"### {title}: ns per option (ratio to NumPy closed-form {unit} time)", "",
                  "| library | " + " | ".join(f"n = {n:.0e}" for n in sizes) + " |",
                  "|---|" + "---:|" * len(sizes)]
        for label, result in results.items():
            row = result.get("timings", {}).get(operation)
            if row is None:
                continue
            if "failed" in row:
                lines.append(f"| {label} | failed: {row['failed']} |" + " |" * (len(sizes) - 1))
                continue
            cells = []
            for n in sizes:
                seconds, numpy_seconds = row.get(str(n)), base.get(unit, {}).get(str(n))
                if seconds is None:
                    cells.append("not run")
                    continue
                ratio = f" ({seconds / numpy_seconds:.3g})" if numpy_seconds else ""
                cells.append(f"{1e9 * seconds / n:.4g}{ratio}")
            lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return lines


def accuracy_table(title, note, columns, rows):
    lines = ["", f"### {title}", "", note, "", f"| library | {columns} | inputs |", "|---|---:|---:|---:|---:|"]
    for label, row in rows.items():
        lines.append(f"| {label} | {row['worst']:.2e} | {100 * row['off']:.2f}% | {100 * row['failed']:.2f}% | "
                     f"{row['inputs']} |")
    return lines


def summary(results, prices, accuracy, overhead, plan):
    lines = tables(results, plan)
    lines += accuracy_table(
        "Price accuracy against mpmath (50 digits)",
        f"The first {PRICE_SAMPLE} options (fewer for loops stopped earlier), where the true price exceeds 1e-300.",
        "worst relative error | off by > 1e-10 | zero, negative or NaN", prices)
    lines += accuracy_table(
        "Implied-vol accuracy against quorix",
        f"Inputs whose vol quorix recovers within {WELL_POSED:g} relative of the generating vol.",
        "worst relative difference | off by > 1e-9 | NaN or failed", accuracy)
    lines += ["", "### Scalar call overhead", "", "| call | ns per call |", "|---|---:|"]
    lines += [f"| `{name}` | {ns:.0f} |" for name, ns in overhead.items()]
    for label, result in results.items():
        if "skipped" in result:
            lines.append(f"\nskipped {label}: {result['skipped']}")
    return lines


def paired_ratio(slow, fast, repeats):
    """Median over pairs of slow's time over fast's, the two run back to back in alternating order,
    so that load on the machine falls on both of a pair."""
    slow(), fast()
    ratios = []
    for i in range(repeats):
        first, second = (slow, fast) if i % 2 == 0 else (fast, slow)
        start = time.perf_counter()
        first()
        middle = time.perf_counter()
        second()
        end = time.perf_counter()
        a, b = middle - start, end - middle
        ratios.append(a / b if first is slow else b / a)
    return statistics.median(ratios)


def public_against_core(batch, plan):
    """The public ufuncs' time over quorix._core's for the same calls, on the calling thread alone,
    timed in pairs in this process; numbers broadcast against arrays (the core takes whole columns),
    and flag words against int8 flags."""
    sizes = plan["sizes"]
    lines = ["", "### The public ufuncs against quorix._core, 1 thread: time ratio (median of pairs)", "",
             "| call | " + " | ".join(f"n = {n:.0e}" for n in sizes) + " |", "|---|" + "---:|" * len(sizes)]
    labels = {"price": "`price`", "greeks": "`greeks`", "iv": "`iv`",
              "price, broadcast numbers": "`price, broadcast numbers`",
              "price, flag words": "`price`, flag words against int8 flags"}
    cells = {label: [] for label in labels}
    previous = quorix.get_num_threads()
    quorix.set_num_threads(1)
    for n, repeats in zip(sizes, plan["repeats"]):
        part = {name: values[:n] for name, values in batch.items()}
        public, core = contenders.quorix(part), contenders.quorix_core(part)
        for op in labels:
            fast = public["price"] if op == "price, flag words" else core[op]
            cells[op].append(f"{paired_ratio(public[op], fast, 4 * repeats + 1):.3f}")
    quorix.set_num_threads(previous)
    lines += [f"| {label} | " + " | ".join(cells[op]) + " |" for op, label in labels.items()]
    n = max(sizes)
    k = np.linspace(50.0, 150.0, n)
    tracemalloc.start()
    quorix.bsm_price("c", 100.0, k, 0.5, 0.03, 0.01, 0.2)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    lines.append(f"\nNumbers broadcast against an array of {n:.0e}: traced peak {peak / (8 * n):.3f} times the result's bytes.")
    return lines


def bachelier(plan):
    """Bachelier prices and implied normal vols, one thread, against QuantLib's formulas (one
    option per call, so timed on fewer options) on the same rates-like options."""
    n = max(plan["sizes"])
    rng = np.random.default_rng(7)
    f = rng.uniform(0.0, 0.05, n)
    k, t, sigma = f + rng.normal(0.0, 0.01, n), rng.uniform(0.25, 10.0, n), rng.uniform(0.003, 0.015, n)
    flags, r = np.where(rng.random(n) < 0.5, -1, 1).astype(np.int8), 0.03

    def best(call, repeats=5):
        times = []
        for _ in range(repeats):
            start = time.perf_counter()
            call()
            times.append(time.perf_counter() - start)
        return min(times)

    previous = quorix.get_num_threads()
    quorix.set_num_threads(1)
    prices = quorix.bachelier_price(flags, f, k, t, r, sigma)
    ours = {"price": best(lambda: quorix.bachelier_price(flags, f, k, t, r, sigma)) / n,
            "iv": best(lambda: quorix.bachelier_iv(prices, flags, f, k, t, r)) / n}
    quorix.set_num_threads(previous)
    lines = ["", "### Bachelier: ns per option, 1 thread", "", "| library | price | implied normal vol | vol / price |",
             "|---|---:|---:|---:|",
             f"| quorix (n = {n:.0e}) | {1e9 * ours['price']:.1f} | {1e9 * ours['iv']:.1f} | {ours['iv'] / ours['price']:.2f} |"]
    try:
        import QuantLib as ql
    except ImportError:
        return lines + ["", "QuantLib not installed."]
    m = min(n, 10**4)
    kinds = [ql.Option.Put if flag < 0 else ql.Option.Call for flag in flags[:m]]
    discounts = np.exp(-r * t[:m])
    rows = list(zip(kinds, k[:m].tolist(), f[:m].tolist(), t[:m].tolist(), sigma[:m].tolist(), discounts.tolist(),
                    prices[:m].tolist()))
    theirs = {"price": best(lambda: [ql.bachelierBlackFormula(kind, kk, ff, s * math.sqrt(tt), d)
                                     for kind, kk, ff, tt, s, d, _ in rows], 3) / m,
              "iv": best(lambda: [ql.bachelierBlackFormulaImpliedVol(kind, kk, ff, tt, p, d)
                                  for kind, kk, ff, tt, _, d, p in rows], 3) / m}
    lines.append(f"| QuantLib (n = {m:.0e}, a Python call per option) | {1e9 * theirs['price']:.1f} | "
                 f"{1e9 * theirs['iv']:.1f} | {theirs['iv'] / theirs['price']:.2f} |")
    recovered = np.array([ql.bachelierBlackFormulaImpliedVol(kind, kk, ff, tt, p, d) for kind, kk, ff, tt, _, d, p in rows])
    ours_recovered = quorix.bachelier_iv(prices[:m], flags[:m], f[:m], k[:m], t[:m], r)
    otm = np.where(flags[:m] < 0, k[:m] < f[:m], k[:m] > f[:m])  # in the money the intrinsic value swamps the vol
    lines.append(f"\nWorst relative difference from the generating vols on the {otm.sum()} options of these {m} out of "
                 f"the money: quorix {np.max(np.abs(ours_recovered[otm] / sigma[:m][otm] - 1)):.1e}, "
                 f"QuantLib {np.max(np.abs(recovered[otm] / sigma[:m][otm] - 1)):.1e}.")
    return lines


def targets(results, plan):
    def seconds(label, operation, n):
        return results.get(label, {}).get("timings", {}).get(operation, {}).get(str(n))

    one, many, big = "quorix, 1 worker", f"quorix, {CORES} workers", max(plan["sizes"])
    checks = [("quorix prices vs NumPy closed form, 1 worker", seconds("NumPy + scipy ndtr", "price", big),
               seconds(one, "price", big), big),
              ("quorix implied vols vs py_vollib_vectorized, 1 worker",
               seconds("py_vollib_vectorized", "iv", 10**5), seconds(one, "iv", 10**5), 10**5)]
    lines = ["", "### Speed-ups", ""]
    for text, slow, fast, n in checks:
        lines.append(f"- {text} at n = {n:.0e}: " + (f"{slow / fast:.1f}x" if slow and fast else "not measured"))
    second, first = seconds(one, "second-order greeks", big), seconds(one, "greeks", big)
    if second and first:
        lines.append(f"- the four second-order Greeks against the five first-order ones, 1 worker at n = {big:.0e}: "
                     f"{second / first:.2f} times the time")
    for operation in ("price", "greeks", "iv"):
        slow, fast = seconds(one, operation, big), seconds(many, operation, big)
        if slow and fast:
            lines.append(f"- {operation}: {CORES} workers vs 1 at n = {big:.0e}: {slow / fast:.2f}x")
    return lines


def machine():
    model = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                  if line.startswith("model name")), platform.processor())
    return (f"{model}, {CORES} logical processors, {platform.system()} {platform.release()}; "
            f"CPython {platform.python_version()}, NumPy {np.__version__}, quorix {quorix.__version__}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="sizes up to 1e5, fewer repeats")
    parser.add_argument("--record", action="store_true", help="write bench/RESULTS.md and results.json")
    parser.add_argument("--rounds", type=int, default=1,
                        help="time the vector contenders this many times in turn; report medians")
    default_pvv = HERE.parent / ".venv/bench-pvv/bin/python"
    parser.add_argument("--pvv-python", default=str(default_pvv) if default_pvv.exists() else None,
                        help="interpreter with py_vollib_vectorized (it needs an old numba)")
    args = parser.parse_args()
    plan = QUICK if args.quick else FULL
    # Smaller batches are prefixes of the largest, so every result can be compared option by option.
    batch = make_batch(max(plan["sizes"]), np.random.default_rng(20261206))
    with tempfile.TemporaryDirectory() as scratch:
        batches = Path(scratch)
        for n in plan["sizes"]:
            np.savez(batches / f"{n}.npz", **{name: values[:n] for name, values in batch.items()})
        # The vector contenders run round after round, in turn, so that a burst of load on this
        # shared machine falls on one round of each rather than on all of one contender's runs.
        rounds = {}
        for round_number in range(args.rounds):
            for config in runs(args.pvv_python):
                if round_number == 0 or config[1] in VECTOR_CONTENDERS:
                    print(f"timing {config[0]} (round {round_number + 1}) ...", file=sys.stderr, flush=True)
                    rounds.setdefault(config[0], []).append(measure(config, batches, plan))
        results = {label: median_of_rounds(measured) for label, measured in rounds.items()}
    reference = results["quorix, 1 worker"]["iv"]
    accuracy = {label: iv_accuracy(reference[:result["iv"].size], batch["sigma"][:result["iv"].size], result["iv"])
                for label, result in results.items() if "iv" in result and not label.startswith("quorix")}
    truth = reference_prices(batch, PRICE_SAMPLE)
    prices = {label: price_accuracy(truth, result["price"][:PRICE_SAMPLE])
              for label, result in results.items() if "price" in result and label != f"quorix, {CORES} workers"}
    lines = summary(results, prices, accuracy, scalar_overhead(), plan) + public_against_core(batch, plan)
    lines += targets(results, plan) + bachelier(plan)
    print("\n".join(lines))
    if args.record:
        raw = {label: {k: v for k, v in result.items() if k not in ("iv", "price")}
               for label, result in results.items()}
        (HERE / "results.json").write_text(json.dumps({"machine": machine(), "results": raw}, indent=1))
        header = ["# Benchmark results", "", f"Machine: {machine()}.", "",
                  f"Command: `python bench/run.py{' --quick' if args.quick else ''} --rounds {args.rounds} --record`; "
                  "`python bench/plot.py` draws the timings below.", "",
                  "![ns per option against options per call](time_per_option.png)"]
        (HERE / "RESULTS.md").write_text("\n".join(header + lines) + "\n")


if __name__ == "__main__":
    main()
