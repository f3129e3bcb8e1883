"""Many threads calling every function at once, and failure paths repeated without leaking."""

import gc
import os
import random
import sys
import threading
import time

import numpy as np
import pytest

import quorix
import quorix._core as core
import quorix._ufuncs
from borrow_scenarios import can_borrow_for_writing, held_for_writing, registry
from catalogue import FUNCTIONS, VECTOR, threshold
from conftest import run_python
from inputs import as_results, make_inputs, odd, same_bits

BORROWED = "the array is borrowed for writing elsewhere and cannot be read"
# A free-threaded interpreter takes back freed blocks in batches: its count of them settles only
# after several hundred calls of a path.
WARM_UP = 50 if getattr(sys, "_is_gil_enabled", lambda: True)() else 1000
STRESS_SECONDS = float(os.environ.get("QUORIX_STRESS_SECONDS", "2"))


def jobs():
    """(function, arguments, expected results) for every function of both modules: vector calls
    below and above their pool threshold, scalar calls on a few rows; expectations from one thread."""
    out = []
    for name, params in VECTOR:
        vector, scalar = getattr(core, name), getattr(core, name + "_scalar")
        for n in (37, threshold(name) + 5):
            arrays = make_inputs(params, n, seed=n)
            out.append((vector, arrays, as_results(vector(*arrays))))
        for row in zip(*(a.tolist() for a in make_inputs(params, 3, seed=3))):
            out.append((scalar, row, scalar(*row)))
    for name, params, _, _ in quorix._ufuncs.kernels():  # the ufuncs, forward and reversed
        function = getattr(quorix, name)
        for n in (37, threshold(name) + 5):
            for arrays in (make_inputs(params.split(", "), n, seed=n),
                           [a[::-1] for a in make_inputs(params.split(", "), n, seed=n)]):
                out.append((function, arrays, as_results(function(*arrays))))
    return out


def borrowed_columns(work):
    """The arrays that other holders borrow for writing while the calls run: the large inputs of
    quorix._core's calls, which borrow them for reading."""
    return [a for function, args, _ in work if isinstance(args, list) and function.__module__ == "quorix._core"
            and len(args[0]) > 100 for a in args]


def test_sixteen_threads_mixing_scalar_and_vector_calls_of_every_function():
    """Sixteen callers, and two threads that take and release write borrows of the callers' inputs
    through the published registry: a call either gives the bits one thread gave, or is refused
    because its input was borrowed; afterwards nothing is left borrowed."""
    work, failures, calls, refused = jobs(), [], [0] * 16, [0]
    columns, stop = borrowed_columns(work), threading.Event()
    barrier = threading.Barrier(18)

    def run(index):
        pick = random.Random(index)
        barrier.wait()
        deadline = time.monotonic() + STRESS_SECONDS
        while True:  # at least one call per thread, however late it is scheduled
            function, args, expected = pick.choice(work)
            try:
                got = function(*args)
            except RuntimeError as error:
                refused[0] += 1
                ok = str(error) == BORROWED
            else:
                ok = (all(same_bits(g, e) for g, e in zip(as_results(got), expected))
                      if isinstance(args, list) else same_bits(got, expected))
            if not ok:
                failures.append(function.__name__)
            calls[index] += 1
            if time.monotonic() >= deadline:
                break

    def borrow(index):
        pick, record = random.Random(-index), registry()
        barrier.wait()
        while not stop.is_set():
            array = pick.choice(columns)
            if record.acquire_mut(record.registry, array) == 0:
                time.sleep(0.0001)
                record.release_mut(record.registry, array)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(16)]
    borrowers = [threading.Thread(target=borrow, args=(i,)) for i in range(2)]
    for thread in threads + borrowers:
        thread.start()
    for thread in threads:
        thread.join()
    stop.set()
    for thread in borrowers:
        thread.join()
    print(f"{sum(calls)} calls from 16 threads in {STRESS_SECONDS:g} s, {refused[0]} refused a borrowed input")
    assert not failures
    assert min(calls) > 0
    assert all(can_borrow_for_writing(a) for a in columns)


def failing_calls(name, params):
    """Calls of one function that must fail, each on a different path of the boundary, by what
    they get wrong."""
    function = getattr(core, name)
    if name.endswith("_scalar"):
        # Fresh floats, so that their reference counts are this test's alone; the flag is a
        # small int, which the interpreter shares, so its count is not checked.
        good = [1 if p == "flag" else float(f"1.{i}") for i, p in enumerate(params)]
        bad = {"flag": 1000, "s": "x", "k": odd(__float__=ArithmeticError), "target_price": None}
    else:
        good = make_inputs(params, 8)
        bad = {"flag": good[params.index("flag")].astype(np.float64) if "flag" in params else None,
               "k": good[params.index("k")][::2], "t": good[params.index("t")][:5],
               "sigma": np.ones(8, np.float32)}
    calls = {"extra": lambda: function(*good, 1.0), "missing": lambda: function(*good[:-1]),
             "twice": lambda: function(*good[:-1], **{params[0]: good[0]}),
             "unknown": lambda: function(*good[:-1], unknown=1.0)}
    if not name.endswith("_scalar"):
        calls["borrowed"] = lambda: borrowed_call(function, good)
    for param, value in bad.items():
        if param in params and value is not None:
            args = list(good)
            args[params.index(param)] = value
            calls[param] = lambda args=args: function(*args)
    return good, calls


def borrowed_call(function, args):
    """A call while another holder has its last input borrowed for writing."""
    with held_for_writing(args[-1]):
        function(*args)


def drift(call, rounds=300):
    """References (on a debug interpreter) and allocated blocks gained per call, after warm-up:
    the smaller of two windows, since a leak grows in each and a cache or free list fills once."""
    def run(count):
        for _ in range(count):
            try:
                call()
            except (TypeError, ValueError, OverflowError, ArithmeticError, RuntimeError):
                pass

    total = getattr(sys, "gettotalrefcount", lambda: 0)
    run(WARM_UP)
    windows = []
    gc.freeze()  # the collections between windows then scan only what the calls made
    try:
        for _ in range(2):
            gc.collect()
            refs, blocks = total(), sys.getallocatedblocks()
            run(rounds)
            gc.collect()
            windows.append(((total() - refs) / rounds, (sys.getallocatedblocks() - blocks) / rounds))
    finally:
        gc.unfreeze()
    return min(w[0] for w in windows), min(w[1] for w in windows)


@pytest.mark.parametrize("name, params", FUNCTIONS)
def test_every_path_leaves_references_and_memory_flat(name, params):
    """Each path, the successful call and every failure, repeated: the inputs' reference counts and
    borrows, the allocated blocks and, on a debug interpreter, the total of references stay put. A NumPy
    built without reference debugging moves that total by about one per object it makes and frees
    (an array, a dtype to compare); the unit is measured on a plain NumPy call and allowed per
    such object, and one reference leaked per call still shows."""
    good, calls = failing_calls(name, params)
    checked = [a for a in good if type(a) is not int]
    counts = [sys.getrefcount(a) for a in checked]
    x = np.ones(8)
    unit = drift(lambda: np.add(x, x))[0]
    function = getattr(core, name)
    vector = not name.endswith("_scalar")
    numpy_objects = {"ok": (5 if name.endswith("_greeks") else 1) * vector, "flag": vector, "sigma": vector}
    for path, call in {"ok": lambda: function(*good), **calls}.items():
        refs, blocks = drift(call)
        assert refs < numpy_objects.get(path, 0) * unit + 0.5 and blocks < 0.5, (path, refs, blocks, unit)
    assert [sys.getrefcount(a) for a in checked] == counts
    assert all(can_borrow_for_writing(a) for a in checked if isinstance(a, np.ndarray))  # every borrow given back

NO_MEMORY = """
import importlib.util, sys, tracemalloc
sys.path.insert(0, {tests!r})
import _testcapi
import quorix._core as core
from catalogue import FUNCTIONS
from inputs import make_inputs

def starved(action, budget, fresh=lambda: None):
    # Allocation number `start` and every one after it fail; only MemoryError may come out, and
    # what a failed attempt allocated is freed (a result buffer is 160 kB).
    action(fresh())  # one-time set-up (the NumPy interface) outside the starvation
    outcomes, kept = set(), 0
    for start in range(budget):
        made = fresh()
        before = tracemalloc.get_traced_memory()[0]
        _testcapi.set_nomemory(start, 0)
        try:
            action(made)
            outcomes.add("ok")
        except MemoryError:
            outcomes.add("MemoryError")
        finally:
            _testcapi.remove_mem_hooks()
            kept = max(kept, tracemalloc.get_traced_memory()[0] - before)
            made = None
    return sorted(outcomes) + ["leaks"] * (kept > 80_000)

def drained():
    # Holds the free lists of floats and 5-tuples empty, so that results need fresh memory.
    return [i + 0.5 for i in range(200)], [(i, 0, 0, 0, 0) for i in range(3000)]

spec = importlib.util.find_spec("quorix._core")
print("import", starved(spec.loader.exec_module, 300, lambda: importlib.util.module_from_spec(spec)))
tracemalloc.start()
for name, params in FUNCTIONS:
    args = make_inputs(params, 20_000)
    args = [a[0].item() for a in args] if name.endswith("_scalar") else args
    print(name, starved(lambda _: getattr(core, name)(*args), 80, drained))
"""


def test_allocation_failures_raise_memory_error():
    """Each allocation of the module's execution and of every function's call fails in turn:
    the attempt succeeds or raises MemoryError, never another error, never a crash or a leak."""
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("no allocation fault injection in this interpreter")
    out = run_python(NO_MEMORY.format(tests=os.path.dirname(os.path.abspath(__file__))))
    outcomes = dict(line.split(" ", 1) for line in out.splitlines())
    assert len(outcomes) == 33 and set(outcomes.values()) == {"['MemoryError', 'ok']"}, out
