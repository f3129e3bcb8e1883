import gc
import json
import os
import subprocess
import sys
import threading
import time
import tracemalloc

import numpy as np
import pytest

import quorix
import quorix._core as core
from borrow_scenarios import can_borrow_for_writing, held_for_writing
from catalogue import BSM_FLAGGED, PUBLIC_ONLY, VECTOR, threshold
from conftest import run_python
from inputs import CANONICAL_NAN, as_results, make_inputs, same_bits

TESTS = os.path.dirname(os.path.abspath(__file__))


def scalar_results(name, arrays):
    """The scalar twin applied element by element, as arrays shaped like the vector result."""
    scalar = getattr(core, name + "_scalar")
    rows = [scalar(*row) for row in zip(*(a.tolist() for a in arrays))]
    if name.endswith("_greeks"):
        return tuple(np.array(column) for column in zip(*rows)) if rows else (np.empty(0),) * 5
    return (np.array(rows),)


@pytest.mark.parametrize("name, params", VECTOR)
@pytest.mark.parametrize("size", ["empty", "threshold - 1", "threshold"])
def test_vector_equals_scalar_at_the_threshold(name, params, size):
    n = {"empty": 0, "threshold - 1": threshold(name) - 1, "threshold": threshold(name)}[size]
    arrays = make_inputs(params, n, seed=len(name))
    result = getattr(core, name)(*arrays)
    assert isinstance(result, tuple) == name.endswith("_greeks")
    for vector, scalar in zip(as_results(result), scalar_results(name, arrays)):
        assert vector.dtype == np.float64 and vector.shape == (n,) and same_bits(vector, scalar)


@pytest.mark.parametrize("index, name, params", [(i, *row) for i, row in enumerate(VECTOR)],
                         ids=[name for name, _ in VECTOR])
def test_every_instruction_set_target_gives_the_same_bits(target_kernels, index, name, params):
    arrays = make_inputs(params, 4099, seed=index)  # a short last block of padded lanes
    expected = as_results(getattr(core, name)(*arrays))
    for target, kernels in target_kernels.items():
        for refused in (False, True):  # the staged kernels, or the plain lanes they fall back on
            got = kernels.run_kernel(index, arrays, len(expected), refused)
            assert all(same_bits(g, e) for g, e in zip(got, expected)), (target, refused)
        for i in range(0, 4099, 41):  # one element, as a scalar call runs it
            got = kernels.run_kernel(index, [a[i:i + 1] for a in arrays], len(expected))
            assert all(same_bits(g, e[i:i + 1]) for g, e in zip(got, expected)), (target, i)
    for result in expected:
        assert (result.view(np.uint64)[np.isnan(result)] == CANONICAL_NAN).all()


@pytest.mark.parametrize("index, name, params", PUBLIC_ONLY, ids=[name for _, name, _ in PUBLIC_ONLY])
def test_public_only_kernels_give_the_same_bits_on_every_target_and_the_pool(target_kernels, index, name, params):
    """Against the portable kernel: every target, one element at a time, and the public function
    on the pool (missing data aside, which it turns into NaN)."""
    arrays = make_inputs(params, 20_000, seed=index)
    outputs = getattr(quorix._ufuncs, name).nout
    expected = target_kernels["portable"].run_kernel(index, arrays, outputs)
    for target, kernels in target_kernels.items():
        assert all(same_bits(g, e) for g, e in zip(kernels.run_kernel(index, arrays, outputs), expected)), target
        for i in range(0, 20_000, 397):
            got = kernels.run_kernel(index, [a[i:i + 1] for a in arrays], outputs)
            assert all(same_bits(g, e[i:i + 1]) for g, e in zip(got, expected)), (target, i)
    numbers = [a for p, a in zip(params, arrays) if p != "flag"]
    missing = np.any([np.isnan(a) for a in numbers], axis=0)
    missing |= np.any([arrays[params.index(p)] < 0 for p in ("t", "sigma") if p in params], axis=0)
    public = as_results(tuple(getattr(quorix, name)(*arrays)) if outputs > 1 else getattr(quorix, name)(*arrays))
    assert all(same_bits(g, np.where(missing, np.nan, e)) for g, e in zip(public, expected))


LARGE_RUN = """
import os
import sys
sys.path.insert(0, {tests!r})
import numpy as np
import quorix._core as core
from catalogue import VECTOR, threshold
from inputs import as_results, make_inputs, same_bits

def tasks():  # the pool's workers, by name (a sanitizer may start a thread of its own)
    names = (open(f"/proc/self/task/{{task}}/comm").read().strip() for task in os.listdir("/proc/self/task"))
    return sum(name == "quorix-worker" for name in names)
before = tasks()
n = 1_000_000
for name, params in VECTOR:
    arrays = make_inputs(params, n, seed=3)
    function = getattr(core, name)
    step = threshold(name) - 1  # chunks that run serially, and do not start the pool
    chunks = [as_results(function(*(a[i:i + step] for a in arrays))) for i in range(0, n, step)]
    assert tasks() == before or name != "bsm_price"
    whole = as_results(function(*arrays))
    for j, result in enumerate(whole):
        assert same_bits(result, np.concatenate([c[j] for c in chunks])), name
    scalar = getattr(core, name + "_scalar")
    for i in np.random.default_rng(1).integers(0, n, 300):
        expected = scalar(*(a[i].item() for a in arrays))
        assert same_bits([r[i] for r in whole], expected if isinstance(expected, tuple) else (expected,)), (name, i)
print(tasks() - before)
"""


@pytest.mark.parametrize("variable, threads", [("RAYON_NUM_THREADS", "1"), ("RAYON_NUM_THREADS", "2"),
                                               ("RAYON_RS_NUM_CPUS", "7")])
def test_large_vectors_are_bit_identical_for_any_pool_size(variable, threads):
    """Against serial chunks and the scalar twins; the pool starts with the first parallel call,
    with the size the environment asks for (its parsing rules: the C++ tests)."""
    env = {key: os.environ[key] for key in os.environ if not key.startswith("RAYON_")}
    assert int(run_python(LARGE_RUN.format(tests=TESTS), env={**env, variable: threads})) == int(threads)


SMALL_STACK = """
import sys, threading
sys.path.insert(0, {tests!r})
import quorix._core as core
from catalogue import VECTOR, threshold
from inputs import make_inputs

calls = [(getattr(core, name), make_inputs(params, threshold(name) - 1, seed=5)) for name, params in VECTOR]
done = []
threading.stack_size(64 * 1024)
thread = threading.Thread(target=lambda: done.extend(function(*arrays) for function, arrays in calls))
thread.start()
thread.join()
print(len(done))
"""


def test_serial_calls_run_on_small_thread_stacks():
    """A call below the threshold runs on the calling thread, whose stack may be small (musl gives
    threads 128 kB)."""
    assert int(run_python(SMALL_STACK.format(tests=TESTS))) == len(VECTOR)


def ones(n, dtype=np.float64):
    return np.ones(n, dtype=dtype)


def price_args(n=3, **replace):
    """Arguments of bsm_price in parameter order, each replaceable by name."""
    args = {"flag": ones(n, np.int8)}
    args.update({p: ones(n) for p in BSM_FLAGGED[1:]})
    args.update(replace)
    return [args[p] for p in BSM_FLAGGED]


BORROWED = "the array is borrowed for writing elsewhere and cannot be read"
HELD = ones(3)  # borrowed for writing elsewhere during each call below
NOT_AN_ARRAY = "'ndarray' object is not an instance of 'ndarray'"
MISALIGNED = np.zeros(8 * 3 + 1, dtype=np.uint8)[1:].view(np.float64)
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


@pytest.mark.parametrize("replace, exception, message, note", [
    *[({param: value}, TypeError, message or NOT_AN_ARRAY, param) for param, value, message in [
        ("flag", np.ones(3, dtype=np.int64), None), ("flag", np.ones(3, dtype=np.bool_), None),
        ("flag", np.ones(3, dtype=np.uint8), None), ("s", np.ones(3, dtype=np.float32), None),
        ("s", np.ones(3, dtype=">f8"), None), ("k", np.ones((3, 1)), None),
        ("k", np.float64(1.0), "'float64' object is not an instance of 'ndarray'"),
        ("s", [1.0, 1.0, 1.0], "'list' object is not an instance of 'ndarray'"),
        ("s", None, "'None' is not an instance of 'ndarray'"),
        ("sigma", 0.2, "'float' object is not an instance of 'ndarray'")]],
    (dict(k=[1.0], s=[2.0], t=None), TypeError, "'list' object is not an instance of 'ndarray'", "s"),
    # contiguity is checked before lengths, and without a note
    (dict(s=ones(6)[::2], k=ones(5)), TypeError, NOT_CONTIGUOUS, None),
    (dict(s=ones(6)[::-1][:3], k=ones(5)), TypeError, NOT_CONTIGUOUS, None),
    (dict(t=MISALIGNED), TypeError, NOT_CONTIGUOUS, None),
    (dict(k=ones(2)), ValueError, "input arrays have mismatched lengths: [3, 3, 2, 3, 3, 3, 3]", None),
    (dict(t=HELD), RuntimeError, BORROWED, "t"),
])
def test_rejected_arrays(replace, exception, message, note):
    with held_for_writing(HELD), pytest.raises(exception) as info:
        core.bsm_price(*price_args(**replace))
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


WITHOUT_NUMPY = """
import glob, importlib.util, sys, types
path = glob.glob({package!r} + "/_core*.so")[0]
sys.modules["numpy"] = None  # NumPy cannot be imported
spec = importlib.util.spec_from_file_location("quorix._core", path)
core = importlib.util.module_from_spec(spec)
spec.loader.exec_module(core)
print(core.bsm_price_scalar(1, 100.0, 100.0, 1.0, 0.0, 0.0, 0.2) > 0)
def call():
    try:
        core.bsm_price(*[[1.0]] * 7)
    except Exception as error:
        print(type(error).__name__, error, getattr(error, "__notes__", None))
call()
del sys.modules["numpy"]
import numpy.lib
version = numpy.lib.NumpyVersion
for major in ["2", 2**70, 300]:  # a NumPy whose version the module cannot read
    numpy.lib.NumpyVersion = lambda _: types.SimpleNamespace(major=major)
    call()
numpy.lib.NumpyVersion = version
print(core.bsm_price(numpy.ones(1, "i1"), *[numpy.ones(1)] * 6).shape)  # a failed load is not kept
"""


def test_without_a_working_numpy_the_vector_functions_raise_until_it_loads():
    out = run_python(WITHOUT_NUMPY.format(package=os.path.dirname(core.__file__))).splitlines()
    assert [line.split(" ")[0] for line in out] == [
        "True", "ModuleNotFoundError", "TypeError", "OverflowError", "OverflowError", "(1,)"]
    assert out[4] == "OverflowError out of range integral type conversion attempted None"
    assert all(line.endswith(" None") for line in out[1:5]), out  # no notes added


class Sub(np.ndarray):
    pass


READ_ONLY = ones(3)
READ_ONLY.flags.writeable = False


@pytest.mark.parametrize("n, replace", [
    (3, dict(s=ones(3).view(Sub))), (3, dict(flag=np.array([1, -1, 0], dtype=np.int8))),
    (3, {p: READ_ONLY for p in BSM_FLAGGED[1:]}),  # read-only, and one array in several places
    (1, dict(s=ones(2)[::2])), (0, dict(k=ones(4)[::2][:0])),  # one element or none: any stride
])
def test_accepted_arrays(n, replace):
    assert core.bsm_price(*price_args(n, **replace)).shape == (n,)


@pytest.mark.parametrize("name, n, kept", [("bsm_price", 100_000, 0), ("bsm_greeks", 100_000, 0),
                                           ("bsm_greeks", 1_000_000, 40_000_000)])
def test_results_own_their_buffer_through_one_base_until_the_last_view_dies(name, n, kept):
    """The columns of a result share one buffer; it is freed with the last view, except that the
    last freed block of 32 MiB or more is kept for the next call of its size."""
    args = price_args(n)
    gc.collect()  # a free-threaded interpreter keeps the blocks of its collector's stack for reuse
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        results = as_results(getattr(core, name)(*args))
        for result in results:
            assert result.dtype == np.float64 and result.ndim == 1 and result.strides == (8,)
            assert result.flags.writeable and result.flags.c_contiguous and not result.flags.owndata
            assert result.base is results[0].base and not any(
                np.shares_memory(result, other) for other in results if other is not result)
        assert (type(result.base).__name__, type(result.base).__module__) == ("PySliceContainer", "builtins")
        assert sys.getsizeof(result.base) < 100  # the owner's own size, as memory profilers see it
        view, values, outputs = result[10:20], result[10:20].tolist(), len(results)
        del result, results
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - start >= 8 * n * outputs and view.tolist() == values
        del view
        getattr(core, name)(*args)  # takes the kept block, if any, and gives it back
        gc.collect()
        assert kept <= tracemalloc.get_traced_memory()[0] - start < kept + 10_000
    finally:
        tracemalloc.stop()


def test_borrows_conflict_exactly_when_their_bytes_meet():
    """Peers see the same outcomes of the scenarios whichever module publishes the registry:
    quorix, or a stand-in that compares the exact sets of bytes covered."""
    outcomes = []
    for publisher in ("quorix", "stand-in"):
        out = subprocess.run([sys.executable, os.path.join(TESTS, "borrow_scenarios.py"), publisher],
                             capture_output=True, text=True)
        assert out.returncode == 0 and out.stderr == "", out.stderr
        outcomes.append(json.loads(out.stdout))
    assert outcomes[0] == outcomes[1] and {-2, -1, 0} <= {v for v in outcomes[0].values() if type(v) is int}
    assert outcomes[0]["after a call, the tail still held"] == [0, -1]
    assert outcomes[0]["error after releases"] == "ValueError: input arrays have mismatched lengths: [3, 3, 3, 3, 3, 4]"


def test_a_borrow_held_during_a_call_blocks_writers():
    """While a large call runs on the pool its inputs are borrowed (a writer that wins the race
    makes the call fail cleanly instead); afterwards they are free."""
    args, seen, done = price_args(2_000_000), [], threading.Event()
    thread = threading.Thread(target=lambda: [  # the pause lets the caller take its borrow in between
        (seen.append(can_borrow_for_writing(args[1])), time.sleep(0.001)) for _ in iter(done.is_set, True)])
    thread.start()
    deadline = time.monotonic() + 60
    while False not in seen and time.monotonic() < deadline:
        try:
            assert core.bsm_price(*args).shape == (2_000_000,)
        except RuntimeError as error:
            assert str(error) == BORROWED
    done.set()
    thread.join()
    assert False in seen and can_borrow_for_writing(args[1])


def test_rss_stays_flat_over_large_calls():
    def rss():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    args = price_args(200_000)
    # Enough warm-up to fill AddressSanitizer's quarantine of freed memory (256 MiB) too.
    for _ in range(60):
        core.bsm_greeks(*args)
    before = rss()
    for _ in range(300):
        core.bsm_greeks(*args)
    assert rss() - before < 20 * 2**20
