"""The broadcasting functions of the package, against the strict core element by element."""

import subprocess
import sys
import tracemalloc

import numpy as np
import pytest

import quorix
import quorix._core as core
from catalogue import VECTOR
from conftest import ROOT
from inputs import same_bits

CHAIN = ("c", 100.0, [[90.0], [100.0], [110.0]], 0.5, 0.03, 0.01, [0.2, 0.25])


def expected_by_scalars(name, args):
    """The scalar twin at every element of the broadcast arguments."""
    flags = {"c": 1, "call": 1, "p": -1, "put": -1}
    args = [np.vectorize(lambda w: flags[w.lower()], otypes=[np.int64])(a) if np.asarray(a).dtype.kind == "U"
            else np.asarray(a) for a in args]
    columns = [a.astype(np.float64).ravel() if a.dtype.kind == "f" else a.ravel() for a in np.broadcast_arrays(*args)]
    rows = [getattr(core, name + "_scalar")(*(c[i].item() for c in columns)) for i in range(columns[0].size)]
    return np.array(rows).reshape(np.broadcast_shapes(*(a.shape for a in args)) + np.shape(rows[0]))


@pytest.mark.parametrize("name, args", [
    ("bsm_price", CHAIN),
    ("bsm_greeks", CHAIN),
    ("black76_vega", ([100.0, 105.0], np.arange(80, 130, 10, dtype=np.int32)[:, None], 1, 0.0, np.float32(0.3))),
    ("bsm_iv", (np.array([5.0, 12.0, 1.0])[::-1], ["P", "call", "Put"], 100, 100.0, 0.5, 0.02, 0.0)),
    ("black76_delta", (np.array([1, -1, 0, 5], dtype=np.int64), 100.0, np.linspace(80, 120, 8)[::2], 2.0, 0.01, 0.4)),
    ("bsm_vega", (np.full(3, 100.0), np.array([90.0, 100.0, 110.0]), np.ones(1), *np.full((3, 1), 0.2))),  # lengths 1
    *[(name, tuple({"flag": "put", "target_price": 4.0}.get(p, 0.5) for p in params)) for name, params in VECTOR],
])
def test_broadcast_values_equal_the_core_bit_for_bit(name, args):
    result = getattr(quorix, name)(*args)
    expected = expected_by_scalars(name, args)
    if not any(np.ndim(a) for a in args):  # all scalars: Python floats
        assert all(type(v) is float for v in (result if name.endswith("_greeks") else (result,)))
    if name.endswith("_greeks"):
        assert isinstance(result, quorix.Greeks)
        result = np.stack(result, axis=-1)
    assert np.shape(result) == expected.shape and same_bits(result, expected)


def test_core_form_inputs_are_not_copied():
    flag, s = np.ones(1_000_000, dtype=np.int8), np.full(1_000_000, 100.0)
    tracemalloc.start()
    price = quorix.bsm_price(flag, s, s, s, s, s, s)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 1.2 * price.nbytes  # the result buffer alone
    assert same_bits(price, core.bsm_price(flag, s, s, s, s, s, s))


def test_a_series_gives_a_series_on_its_index():
    pandas = pytest.importorskip("pandas")
    strikes = pandas.Series([90.0, 100.0, 110.0], index=["a", "b", "c"])
    price = quorix.bsm_price("c", 100.0, strikes, 0.5, 0.03, 0.01, 0.2)
    assert isinstance(price, pandas.Series) and list(price.index) == ["a", "b", "c"]
    assert same_bits(price.to_numpy(), quorix.bsm_price("c", 100.0, strikes.to_numpy(), 0.5, 0.03, 0.01, 0.2))
    greeks = quorix.bsm_greeks("c", 100.0, strikes, 0.5, 0.03, 0.01, 0.2)
    assert all(isinstance(g, pandas.Series) and g.index.equals(strikes.index) for g in greeks)


@pytest.mark.parametrize("args, error, message", [
    (("x", 1, 1, 1, 1, 1, 1), ValueError, "flag must be 'c', 'call', 'p' or 'put' (any case), got 'x'"),
    ((["c", "q"], 1, 1, 1, 1, 1, 1), ValueError, "flag must be 'c', 'call', 'p' or 'put' (any case), got 'q'"),
    ((1.0, 1, 1, 1, 1, 1, 1), TypeError, "flag must be integers or the words 'c'/'call'/'p'/'put', got dtype float64"),
    ((300, 1, 1, 1, 1, 1, 1), ValueError, "flag must lie in -128..127"),
    ((1, "a", 1, 1, 1, 1, 1), TypeError, "s must be real numbers, got dtype <U1"),
    ((1, 1, 1j, 1, 1, 1, 1), TypeError, "k must be real numbers, got dtype complex128"),
    ((1, [1, 2], [1, 2, 3], 1, 1, 1, 1), ValueError,
     "shapes do not broadcast: flag (), s (2,), k (3,), t (), r (), q (), sigma ()"),
    ((1, 1, 1), TypeError, "bsm_price() missing required arguments: t, r, q, sigma"),
])
def test_errors_name_the_parameter(args, error, message):
    with pytest.raises(error) as raised:
        quorix.bsm_price(*args)
    assert str(raised.value) == message


def test_dask_arrays_give_lazy_arrays_with_the_eager_bits():
    da = pytest.importorskip("dask.array")
    strikes = np.linspace(50.0, 150.0, 1001)
    lazy = quorix.bsm_greeks("p", 100.0, da.from_array(strikes, chunks=250), 0.5, 0.03, 0.01, 0.2)
    assert isinstance(lazy.vega, da.Array)
    computed = np.stack([g.compute(scheduler="threads") for g in lazy])
    assert same_bits(computed, np.stack(quorix.bsm_greeks("p", 100.0, strikes, 0.5, 0.03, 0.01, 0.2)))


def test_the_dask_example_runs_on_a_two_process_cluster():
    pytest.importorskip("dask.distributed")
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "dask_chain.py"), "200000"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "equal to the local call bit for bit" in run.stdout


MYPY_WRONG = """
import quorix
quorix.bsm_price("c", "100", 110.0, 0.5, 0.03, 0.01, 0.2)
"""


def test_the_typed_api_passes_mypy_strict_and_a_wrong_call_does_not(tmp_path):
    pytest.importorskip("mypy")
    files = [ROOT / "examples" / "price_chain.py", ROOT / "examples" / "dask_chain.py", ROOT / "tests" / "typed_usage.py"]
    mypy = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--config-file", str(ROOT / "pyproject.toml")]
    good = subprocess.run(mypy + [str(f) for f in files], capture_output=True, text=True, cwd=tmp_path)
    assert good.returncode == 0, good.stdout
    (tmp_path / "wrong.py").write_text(MYPY_WRONG)
    bad = subprocess.run(mypy + ["wrong.py"], capture_output=True, text=True, cwd=tmp_path)
    assert bad.returncode == 1 and 'Argument 2 to "bsm_price" has incompatible type "str"' in bad.stdout
