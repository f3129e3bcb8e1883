import ctypes
import functools
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

import quorix._core as core
from catalogue import BSM_FLAGGED, VECTOR, threshold
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
@pytest.mark.parametrize("offset", [-1, 0])
def test_vector_equals_scalar_at_the_threshold(name, params, offset):
    arrays = make_inputs(params, threshold(name) + offset, seed=len(name))
    got = as_results(getattr(core, name)(*arrays))
    for vector, scalar in zip(got, scalar_results(name, arrays)):
        assert vector.dtype == np.float64 and same_bits(vector, scalar)


@pytest.mark.parametrize("index, name, params", [(i, *row) for i, row in enumerate(VECTOR)],
                         ids=[name for name, _ in VECTOR])
def test_every_instruction_set_target_gives_the_same_bits(target_kernels, index, name, params):
    arrays = make_inputs(params, 4099, seed=index)  # a short last block of padded lanes
    expected = as_results(getattr(core, name)(*arrays))
    for target, kernels in target_kernels.items():
        got = kernels.run_kernel(index, arrays, len(expected))
        assert all(same_bits(g, e) for g, e in zip(got, expected)), target
    for result in expected:
        assert (result.view(np.uint64)[np.isnan(result)] == CANONICAL_NAN).all()


LARGE_RUN = """
import subprocess
import sys
sys.path.insert(0, {tests!r})
import numpy as np
import quorix._core as core
from catalogue import VECTOR, threshold
from inputs import CANONICAL_NAN, as_results, make_inputs, same_bits

n = 1_000_000
for name, params in VECTOR:
    arrays = make_inputs(params, n, seed=3)
    function = getattr(core, name)
    whole = as_results(function(*arrays))
    step = threshold(name) - 1  # chunks that run serially
    chunks = [as_results(function(*(a[i:i + step] for a in arrays))) for i in range(0, n, step)]
    for j, result in enumerate(whole):
        assert same_bits(result, np.concatenate([c[j] for c in chunks])), name
    scalar = getattr(core, name + "_scalar")
    for i in np.random.default_rng(1).integers(0, n, 300):
        expected = scalar(*(a[i].item() for a in arrays))
        expected = expected if isinstance(expected, tuple) else (expected,)
        assert same_bits([r[i] for r in whole], expected), (name, i)
print("ok")
"""


@pytest.mark.parametrize("threads", ["1", "2", "7"])
def test_large_vectors_are_bit_identical_for_any_pool_size(threads):
    out = run_python(LARGE_RUN.format(tests=TESTS), env={"RAYON_NUM_THREADS": threads})
    assert out.strip() == "ok"


POOL_SIZE = """
import os
import numpy as np
import quorix._core as core
before = len(os.listdir("/proc/self/task"))
a = np.ones(20000)
core.bsm_price(np.ones(20000, dtype=np.int8), a, a, a, a * 0.05, a * 0, a * 0.2)
print(len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.parametrize("threads, cpus, expected", [
    ("4", None, 4), ("+4", None, 4), ("0", "3", "cpus"), ("-4", "3", 3), ("4 ", "3", 3),
    ("four", "3", 3), ("", "3", 3), (None, "3", 3), (None, None, "cpus"), ("1", None, 1),
])
def test_pool_size_follows_the_environment(threads, cpus, expected):
    env = {key: os.environ[key] for key in os.environ if not key.startswith("RAYON_")}
    if threads is not None:
        env["RAYON_NUM_THREADS"] = threads
    if cpus is not None:
        env["RAYON_RS_NUM_CPUS"] = cpus
    result = run_python(POOL_SIZE, whole_env=env)
    assert int(result) == (os.cpu_count() if expected == "cpus" else expected)


def test_serial_calls_do_not_start_the_pool():
    code = POOL_SIZE.replace("20000", "100")
    assert int(run_python(code, env={"RAYON_NUM_THREADS": "3"})) == 0


def ones(n, dtype=np.float64):
    return np.ones(n, dtype=dtype)


def price_args(n=3, **replace):
    """Arguments of bsm_price in parameter order, each replaceable by name."""
    args = {"flag": ones(n, np.int8)}
    args.update({p: ones(n) for p in BSM_FLAGGED[1:]})
    args.update(replace)
    return [args[p] for p in BSM_FLAGGED]


def raises_with(exception, message, args, note=None):
    with pytest.raises(exception) as info:
        core.bsm_price(*args)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)


@pytest.mark.parametrize("param, value, message", [
    ("flag", np.ones(3, dtype=np.int64), "'ndarray' object is not an instance of 'ndarray'"),
    ("flag", np.ones(3, dtype=np.bool_), "'ndarray' object is not an instance of 'ndarray'"),
    ("flag", np.ones(3, dtype=np.uint8), "'ndarray' object is not an instance of 'ndarray'"),
    ("s", np.ones(3, dtype=np.float32), "'ndarray' object is not an instance of 'ndarray'"),
    ("s", np.ones(3, dtype=">f8"), "'ndarray' object is not an instance of 'ndarray'"),
    ("k", np.ones((3, 1)), "'ndarray' object is not an instance of 'ndarray'"),
    ("k", np.float64(1.0), "'float64' object is not an instance of 'ndarray'"),
    ("s", [1.0, 1.0, 1.0], "'list' object is not an instance of 'ndarray'"),
    ("s", None, "'None' is not an instance of 'ndarray'"),
    ("sigma", 0.2, "'float' object is not an instance of 'ndarray'"),
])
def test_rejected_arrays(param, value, message):
    raises_with(TypeError, message, price_args(**{param: value}), f"while processing '{param}'")


def test_first_rejected_array_in_parameter_order_wins():
    raises_with(TypeError, "'list' object is not an instance of 'ndarray'",
                price_args(k=[1.0], s=[2.0], t=None), "while processing 's'")


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize("param, value", [
    ("s", ones(3).view(Sub)), ("k", ones(3)), ("flag", np.array([1, -1, 0], dtype=np.int8)),
])
def test_accepted_arrays(param, value):
    assert core.bsm_price(*price_args(**{param: value})).shape == (3,)


def test_read_only_and_shared_inputs_are_accepted():
    shared = ones(3)
    shared.flags.writeable = False
    result = core.bsm_price(ones(3, np.int8), shared, shared, shared, shared * 0.05, shared * 0, shared)
    assert np.all(result > 0)


@pytest.mark.parametrize("s", [ones(6)[::2], ones(6)[::-1][:3]])
def test_strided_inputs_fail_without_a_note(s):
    raises_with(TypeError, "The given array is not contiguous or is misaligned.",
                price_args(s=s, k=ones(5)))  # contiguity is tested before lengths


def test_one_element_and_empty_views_pass_whatever_their_stride():
    assert core.bsm_price(*price_args(1, s=ones(2)[::2])).shape == (1,)
    assert core.bsm_price(*price_args(0, k=ones(4)[::2][:0])).shape == (0,)


def test_misaligned_input_fails():
    raw = np.zeros(8 * 3 + 1, dtype=np.uint8)
    misaligned = raw[1:].view(np.float64)
    assert not misaligned.flags.aligned
    raises_with(TypeError, "The given array is not contiguous or is misaligned.",
                price_args(t=misaligned))


def test_mismatched_lengths_lists_every_count():
    raises_with(ValueError, "input arrays have mismatched lengths: [3, 3, 2, 3, 3, 3, 3]",
                price_args(k=ones(2)))
    with pytest.raises(ValueError, match=r"^input arrays have mismatched lengths: \[4, 5, 4, 4, 4\]$"):
        core.black76_gamma(ones(4), ones(5), ones(4), ones(4), ones(4))


@pytest.mark.parametrize("name, params", VECTOR)
def test_empty_inputs_give_empty_results(name, params):
    result = getattr(core, name)(*make_inputs(params, 0))
    for array in as_results(result):
        assert array.shape == (0,) and array.dtype == np.float64
    assert isinstance(result, tuple) == name.endswith("_greeks")


@pytest.mark.parametrize("n", [5, 20000])
def test_result_array_owns_its_buffer_through_its_base(n):
    result = core.bsm_price(*price_args(n))
    assert result.dtype == np.float64 and result.ndim == 1 and result.strides == (8,)
    assert result.flags.writeable and result.flags.c_contiguous and not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"
    assert type(result.base).__module__ == "builtins"
    result[:] = 7.0
    assert np.all(result == 7.0)


def test_result_buffers_are_freed_when_the_array_and_its_views_die():
    args = price_args(100_000)
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        result = core.bsm_price(*args)
        view = result[10:20]
        del result
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - start >= 800_000
        assert np.all(view > 0)
        del view
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - start < 10_000
    finally:
        tracemalloc.stop()


def test_the_borrow_registry_is_published_on_multiarray():
    core.bsm_price(*price_args())
    capsule = getattr(multiarray(), "_RUST_NUMPY_BORROW_CHECKING_API")
    assert type(capsule).__name__ == "PyCapsule"
    assert registry().version == 1


def multiarray():
    major = int(np.__version__.split(".")[0])
    return sys.modules["numpy.core.multiarray" if major < 2 else "numpy._core.multiarray"]


class Record(ctypes.Structure):
    """The registry record, as a second extension module would see it."""
    _operation = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
    _release = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
    _fields_ = [("version", ctypes.c_uint64), ("registry", ctypes.c_void_p),
                ("acquire", _operation), ("acquire_mut", _operation),
                ("release", _release), ("release_mut", _release)]


@functools.cache
def registry():
    """The process-wide registry record (it lives as long as NumPy's multiarray module)."""
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    core.bsm_price(*price_args())  # makes sure the registry exists
    capsule = getattr(multiarray(), "_RUST_NUMPY_BORROW_CHECKING_API")
    return Record.from_address(get_pointer(capsule, b"_RUST_NUMPY_BORROW_CHECKING_API"))


def can_borrow_for_writing(array):
    record = registry()
    if record.acquire_mut(record.registry, array) != 0:
        return False
    record.release_mut(record.registry, array)
    return True


FAILURES = [
    ("contiguity", dict(k=ones(6)[::2])),
    ("length", dict(q=ones(4))),
    ("dtype", dict(sigma=ones(3, np.float32))),
]


@pytest.mark.parametrize("kind, replace", FAILURES + [("success", {})])
def test_inputs_are_released_on_every_path(kind, replace):
    args = price_args(**replace)
    counts = [sys.getrefcount(a) for a in args]
    for _ in range(100):
        try:
            core.bsm_price(*args)
        except (TypeError, ValueError):
            assert kind != "success"
    assert [sys.getrefcount(a) for a in args] == counts
    assert all(can_borrow_for_writing(a) for a in args if a.flags.writeable and a.flags.c_contiguous)


def test_an_array_borrowed_for_writing_is_refused_and_nothing_is_kept():
    args = price_args()
    record = registry()
    assert record.acquire_mut(record.registry, args[3]) == 0
    try:
        counts = [sys.getrefcount(a) for a in args]
        with pytest.raises(RuntimeError) as info:
            core.bsm_price(*args)
        assert str(info.value) == "the array is borrowed for writing elsewhere and cannot be read"
        assert info.value.__notes__ == ["while processing 't'"]
        assert [sys.getrefcount(a) for a in args] == counts
        assert can_borrow_for_writing(args[0]) and can_borrow_for_writing(args[2])
    finally:
        record.release_mut(record.registry, args[3])
    assert core.bsm_price(*args).shape == (3,)


REGISTRY_OUTCOMES = {  # 0 borrowed, -1 refused, -2 not writeable
    "two arrays on one buffer": -1, "a word inside a one-element slice": -1,
    "a stride-0 broadcast of a held element": -1, "disjoint slices": 0, "overlapping slices": -1,
    "interleaved halves": 0, "interleaved, reversed": 0, "every fourth inside every second": -1,
    "words straddling elements": -1, "words between elements": 0, "a read-only array": -2,
    "after a call, the tail still held": [0, -1],
    "error after releases": "ValueError: input arrays have mismatched lengths: [3, 3, 3, 3, 3, 4]",
}


@pytest.mark.parametrize("publisher", ["quorix", "stand-in"])
def test_borrows_conflict_exactly_when_their_bytes_meet(publisher):
    """Whichever module publishes the registry, peers see the same outcomes; the stand-in
    compares the exact sets of bytes covered."""
    script = os.path.join(TESTS, "borrow_scenarios.py")
    out = subprocess.run([sys.executable, script, publisher], capture_output=True, text=True)
    assert out.returncode == 0 and out.stderr == "", out.stderr
    assert json.loads(out.stdout) == REGISTRY_OUTCOMES


def test_a_borrow_held_during_a_call_blocks_writers():
    """While a large call runs on the pool its inputs are borrowed; afterwards they are free.
    A writer that wins the race makes the call fail cleanly instead."""
    args = price_args(2_000_000)
    seen = []
    done = threading.Event()

    def writer():
        while not done.is_set():
            seen.append(can_borrow_for_writing(args[1]))
            time.sleep(0.001)  # lets the caller take its borrow between attempts

    thread = threading.Thread(target=writer)
    thread.start()
    deadline = time.monotonic() + 60
    try:
        while time.monotonic() < deadline:  # until the writer has run during a call at least once
            try:
                assert core.bsm_price(*args).shape == (2_000_000,)
            except RuntimeError as error:
                assert str(error).startswith("the array is borrowed for writing elsewhere")
            if False in seen:
                break
    finally:
        done.set()
        thread.join()
    assert False in seen and can_borrow_for_writing(args[1])


def test_eight_threads_get_their_own_correct_results():
    jobs = []
    for j in range(8):
        arrays = make_inputs(BSM_FLAGGED, 300_000, seed=100 + j)
        jobs.append((arrays, core.bsm_price(*(a[:8191] for a in arrays))))
    results = [None] * 8
    barrier = threading.Barrier(8)

    def work(j):
        barrier.wait()
        for _ in range(5):
            results[j] = (core.bsm_price(*jobs[j][0]), core.bsm_greeks(*jobs[j][0]))

    threads = [threading.Thread(target=work, args=(j,)) for j in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for j, (arrays, head) in enumerate(jobs):
        prices, greeks = results[j]
        assert same_bits(prices[:8191], head)
        assert same_bits(greeks[2], core.bsm_vega(*arrays[1:]))


def test_repeated_small_and_large_calls_do_not_deadlock_or_leak():
    small, large = price_args(10), price_args(40_000)
    core.bsm_price(*large)
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for i in range(1000):
            core.bsm_price(*(large if i % 2 else small))
            core.bsm_iv(ones(10) * 5, *small[:-1])
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - start < 50_000
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("name, params", VECTOR)
def test_ten_thousand_calls_leave_memory_flat(name, params):
    function = getattr(core, name)
    arrays = make_inputs(params, 16)
    for _ in range(100):
        function(*arrays)
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(10_000):
            function(*arrays)
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - start < 20_000
    finally:
        tracemalloc.stop()


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
