"""The public functions: NumPy ufuncs over the core's kernels, against the scalar twins bit for bit."""

import math
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest
from hypothesis import given, strategies as st

import quorix
import quorix._core as core
from catalogue import VECTOR, threshold
from conftest import ROOT
from inputs import make_inputs, same_bits
from test_properties import SETTINGS

WORDS = {"c": 1, "call": 1, "p": -1, "put": -1}
FLAG_FORMS = ["c", "Put", 1, -7, ["p", "CALL"], np.array(["P", "c"]), np.array([b"C", b"put"]),
              np.array(["call", "p"], dtype=object), np.array([-300, 300]), np.array([0, -1], dtype=np.int8)]


def flag_codes(flags):
    """Independent of the package: each word or integer to -1 (put) or 1 (call)."""
    def code(v):
        v = v.decode() if isinstance(v, bytes) else v
        return WORDS[v.lower()] if isinstance(v, str) else (-1 if v < 0 else 1)
    return np.vectorize(code, otypes=[np.int64])(np.asarray(flags, dtype=object))


def expected(name, params, args):
    """The scalar twin at every element of the broadcast arguments; NaN where an input is NaN, or
    t or sigma negative."""
    columns = np.broadcast_arrays(*[flag_codes(a) if p == "flag" else np.asarray(a, dtype=np.float64)
                                    for p, a in zip(params, args)])
    scalar, outputs = getattr(core, name + "_scalar"), 5 if name.endswith("_greeks") else 1
    rows = []
    for row in zip(*(c.ravel().tolist() for c in columns)):
        values = dict(zip(params, row))
        missing = values["t"] < 0 or values.get("sigma", 0.0) < 0 or any(
            math.isnan(v) for p, v in values.items() if p != "flag")
        rows.append([math.nan] * outputs if missing else np.atleast_1d(scalar(*row)))
    return np.array(rows, dtype=np.float64).reshape(columns[0].shape + (outputs,))


def results(result):
    """A public function's result as an array with the outputs on the last axis."""
    return np.stack([np.asarray(r) for r in result], axis=-1) if isinstance(result, tuple) else np.asarray(result)[..., None]


def number_form(rng, values, shape):
    """The values in one of the forms callers pass: numbers, lists, arrays of other dtypes or
    layouts (strided, reversed, broadcast)."""
    form = rng.integers(6)
    with np.errstate(all="ignore"):  # odd values (NaN, 1e300) cast to float32 or int as NumPy casts them
        if form == 2:
            return values.astype(np.float32)
        if form == 3:
            return np.round(values * 4).astype(np.int32)
    if form == 0:
        return float(values.flat[0]) if values.size else values
    if form == 1:
        return values.tolist()
    if form == 4 and values.ndim:
        return np.repeat(values, 2, axis=-1)[..., ::2]  # strided
    return np.flip(np.flip(values).copy())  # reversed: negative strides


@pytest.mark.parametrize("name, params", VECTOR)
def test_any_mix_of_forms_gives_the_scalar_twins_bits(name, params):
    @SETTINGS
    @given(st.integers(0, 2**32 - 1))
    def check(seed):
        rng = np.random.default_rng(seed)
        shape = tuple(rng.integers(1, 4, rng.integers(0, 3)))
        base = dict(zip(params, make_inputs(params, int(np.prod(shape)), seed=seed)))
        args = []
        for p in params:
            own = shape[rng.integers(len(shape) + 1):]  # a trailing part: broadcast against the rest
            size = int(np.prod(own))
            if p == "flag":
                args.append(FLAG_FORMS[rng.integers(4)] if not own else
                            np.array(["c", "P", "put", "Call"])[rng.integers(4, size=own)])
            else:
                args.append(number_form(rng, base[p][:size].reshape(own), own))
        want = expected(name, params, args)
        assert same_bits(results(getattr(quorix, name)(*args)), want)
    check()


@pytest.mark.parametrize("flag", FLAG_FORMS)
def test_flags_as_words_and_integers_in_any_container(flag):
    strikes = np.array([[90.0], [110.0]])
    got = quorix.bsm_greeks(flag, 100.0, strikes, 0.5, 0.03, 0.01, 0.2)
    assert same_bits(results(got), expected("bsm_greeks", VECTOR[6][1], (flag, 100.0, strikes, 0.5, 0.03, 0.01, 0.2)))


@pytest.mark.parametrize("flag, error, message", [
    ("x", ValueError, "flag must be 'c', 'call', 'p' or 'put' (any case), got 'x'"),
    (["c", "calls"], ValueError, "flag must be 'c', 'call', 'p' or 'put' (any case), got 'calls'"),
    (np.array(["c ", "p"]), ValueError, "flag must be 'c', 'call', 'p' or 'put' (any case), got 'c '"),
    (np.array(["c", None], dtype=object), ValueError, "flag must be 'c', 'call', 'p' or 'put' (any case), got None"),
    (1.0, TypeError, "flag must be integers or the words 'c'/'call'/'p'/'put', got dtype float64"),
    *[(flag, TypeError, "flag must be an integer (negative: put) or a word ('c', 'call', 'p', 'put'), not a bool: "
       "would True mean a call or a put?") for flag in (True, np.bool_(False), [True, False])],
])
def test_flags_that_are_not_flags_raise(flag, error, message):
    with pytest.raises(error) as raised:
        quorix.bsm_price(flag, 100.0, [90.0, 110.0], 0.5, 0.03, 0.01, 0.2)
    assert str(raised.value) == message


NAN = math.nan


@pytest.mark.parametrize("args, missing", [
    ((NAN, 100.0, 0.5, 0.03, 0.01, 0.2), True), ((100.0, NAN, 0.5, 0.03, 0.01, 0.2), True),
    ((100.0, 100.0, NAN, 0.03, 0.01, 0.2), True), ((100.0, 100.0, 0.5, NAN, 0.01, 0.2), True),
    ((100.0, 100.0, 0.5, 0.03, NAN, 0.2), True), ((100.0, 100.0, 0.5, 0.03, 0.01, NAN), True),
    ((100.0, 100.0, -0.5, 0.03, 0.01, 0.2), True), ((100.0, 100.0, 0.5, 0.03, 0.01, -0.2), True),
    ((100.0, 90.0, 0.0, 0.03, 0.01, 0.2), False), ((100.0, 90.0, 0.5, 0.03, 0.01, 0.0), False),
    ((100.0, 90.0, -0.0, 0.03, 0.01, -0.0), False),
])
@pytest.mark.parametrize("form", ["number", "array", "series"])
def test_missing_data_in_gives_nan_out_and_limits_stay(args, missing, form):
    if form == "series":
        pd = pytest.importorskip("pandas")
        args = (*args[:-1], pd.Series([args[-1]] * 3, dtype="Float64"))
    elif form == "array":
        args = (*args[:-1], np.full((2, 2), args[-1]))
    for name in ("bsm_price", "bsm_greeks", "black76_delta"):
        own = args if name.startswith("bsm") else (*args[:4], args[5])
        params = dict(VECTOR)[name]
        got = results(getattr(quorix, name)("p", *own))
        want = expected(name, params, ("p", *own))
        assert same_bits(got, want) and (np.isnan(got).all() == missing or name.startswith("black76"))


def test_series_are_aligned_on_their_index_and_give_a_series():
    pd = pytest.importorskip("pandas")
    strikes = pd.Series([90.0, 100.0, 110.0], index=["a", "b", "c"])
    vols = pd.Series([0.3, 0.2, 0.25], index=["c", "b", "a"])
    flags = pd.Series(["p", "c", "C"], index=["b", "c", "a"], dtype="category")
    price = quorix.bsm_price(flags, 100.0, strikes, 0.5, 0.03, 0.01, vols)
    assert isinstance(price, pd.Series) and list(price.index) == ["a", "b", "c"]
    want = [core.bsm_price_scalar(f, 100.0, k, 0.5, 0.03, 0.01, v) for f, k, v in [(1, 90, 0.25), (-1, 100, 0.2), (1, 110, 0.3)]]
    assert same_bits(price.to_numpy(), want)
    frame = quorix.bsm_greeks(flags.astype(str), 100.0, strikes, 0.5, 0.03, 0.01, vols).to_frame()
    assert list(frame.columns) == list(quorix.Greeks._fields) and list(frame.index) == ["a", "b", "c"]
    assert same_bits(frame.to_numpy(), np.array([core.bsm_greeks_scalar(f, 100.0, k, 0.5, 0.03, 0.01, v)
                                                  for f, k, v in [(1, 90, 0.25), (-1, 100, 0.2), (1, 110, 0.3)]]))
    with_na = quorix.bsm_vega(pd.Series([100.0, None], dtype="Float64"), 100.0, 0.5, 0.03, 0.01, 0.2)
    assert np.isnan(np.asarray(with_na, dtype=float)[1])
    for dtype in (object, "category", "string", str):  # Python strings, codes, Arrow buffers
        words = pd.Series(["p", "Call", "PUT", "cal"], dtype=dtype)
        with pytest.raises(ValueError, match="got 'cal'"):
            quorix.bsm_price(words, 100.0, 100.0, 0.5, 0.03, 0.01, 0.2)
        assert list(quorix.bsm_rho(words[:3], 100.0, 100.0, 0.5, 0.03, 0.01, 0.2) > 0) == [False, True, False]


@pytest.mark.parametrize("n", [7, 2 * 16384 + 3])
@pytest.mark.parametrize("name, params", VECTOR)
def test_out_and_where_write_into_the_callers_arrays(name, params, n):
    args = make_inputs(params, n, seed=n)
    args[params.index("k")] = args[params.index("k")][::-1]  # one reversed column
    outputs = 5 if name.endswith("_greeks") else 1
    out = tuple(np.full(n, -1.0) for _ in range(outputs))
    where = np.arange(n) % 3 != 0
    getattr(quorix, name)(*args, out=out, where=where)
    full = results(getattr(quorix, name)(*args))
    got = np.stack(out, axis=-1)
    assert same_bits(got[where], full[where]) and (got[~where] == -1.0).all()
    assert same_bits(full, expected(name, params, args)) if n < 10 else n >= threshold(name)


@pytest.mark.parametrize("name, params", VECTOR)
def test_long_calls_give_the_core_bits_on_valid_rows(name, params):
    n = threshold(name) * 2 + 5
    args = make_inputs(params, n, seed=3)
    valid = ~np.any([np.isnan(a) for p, a in zip(params, args) if p != "flag"], axis=0)
    valid &= args[params.index("t")] >= 0
    if "sigma" in params:
        valid &= args[params.index("sigma")] >= 0
    strided = [np.repeat(a, 2)[::2] for a in args]  # gathered chunk by chunk
    for got in (getattr(quorix, name)(*args), getattr(quorix, name)(*strided)):
        want = results(getattr(core, name)(*args))
        assert same_bits(results(got)[valid], want[valid]) and np.isnan(results(got)[~valid]).all()


def test_broadcast_numbers_are_not_expanded():
    k = np.linspace(50.0, 150.0, 1_000_000)
    tracemalloc.start()
    price = quorix.bsm_price("c", 100.0, k, 0.5, 0.03, 0.01, 0.2)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 1.1 * price.nbytes  # the result alone


def test_dask_arrays_and_dataframe_columns_give_lazy_results_with_the_eager_bits():
    da = pytest.importorskip("dask.array")
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    strikes = np.linspace(50.0, 150.0, 1001)
    flags = np.where(strikes < 100, "p", "c")
    eager = quorix.bsm_greeks(flags, 100.0, strikes, 0.5, 0.03, 0.01, 0.2)
    lazy = quorix.bsm_greeks(da.from_array(flags, chunks=250), 100.0, da.from_array(strikes, chunks=250), 0.5, 0.03, 0.01, 0.2)
    assert isinstance(lazy.vega, da.Array)
    assert same_bits(np.stack([g.compute(scheduler="threads") for g in lazy]), np.stack(eager))
    frame = dd.from_pandas(pd.DataFrame({"flag": flags, "strike": strikes}), npartitions=3)
    price = quorix.bsm_price(frame.flag, 100.0, frame.strike, 0.5, 0.03, 0.01, 0.2)
    greeks = quorix.bsm_greeks(frame.flag, 100.0, frame.strike, 0.5, 0.03, 0.01, 0.2)
    assert isinstance(price, dd.Series) and isinstance(greeks.rho, dd.Series)
    assert same_bits(price.compute(scheduler="threads").to_numpy(), quorix.bsm_price(flags, 100.0, strikes, 0.5, 0.03, 0.01, 0.2))
    assert same_bits(greeks.rho.compute(scheduler="threads").to_numpy(), eager.rho)


def test_xarray_keeps_coordinates():
    xr = pytest.importorskip("xarray")
    strikes = xr.DataArray([90.0, 100.0], dims="strike", coords={"strike": [90, 100]})
    vols = xr.DataArray([0.2, 0.3, 0.25], dims="expiry", coords={"expiry": [0.25, 0.5, 1.0]})
    greeks = quorix.black76_greeks("c", 100.0, strikes, vols.expiry, 0.02, vols)
    assert greeks.vega.dims == ("strike", "expiry") and list(greeks.vega.strike) == [90, 100]
    want = [[core.black76_vega_scalar(100.0, k, t, 0.02, v) for t, v in zip((0.25, 0.5, 1.0), (0.2, 0.3, 0.25))]
            for k in (90.0, 100.0)]
    assert same_bits(greeks.vega.values, want)


def test_the_dask_example_runs_on_a_two_process_cluster():
    pytest.importorskip("dask.distributed")
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "dask_chain.py"), "200000"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "equal to the local call bit for bit" in run.stdout


@pytest.mark.parametrize("name, params", VECTOR)
def test_every_public_function_documents_its_parameters(name, params):
    doc = getattr(quorix, name).__doc__
    assert all(f"\n{p} : " in doc for p in params) and "NaN" in doc and ">>> quorix." + name in doc


WRONG = """
import quorix
quorix.bsm_price("c", "100", 110.0, 0.5, 0.03, 0.01, 0.2)
"""
CHECKERS = {
    "mypy": ["-m", "mypy", "--strict", "--no-incremental", "--config-file", str(ROOT / "pyproject.toml")],
    "pyright": ["-m", "pyright", "--level", "error", "--pythonpath", sys.executable],
}


@pytest.mark.parametrize("checker", CHECKERS)
def test_the_typed_api_passes_strict_checkers_and_a_wrong_call_does_not(checker, tmp_path):
    pytest.importorskip(checker)
    files = [ROOT / "examples" / "price_chain.py", ROOT / "tests" / "typed_usage.py"]
    if checker == "mypy":  # pyright's strict mode would check Dask's own untyped API
        files.append(ROOT / "examples" / "dask_chain.py")
    command = [sys.executable, *CHECKERS[checker]]
    if checker == "pyright":
        (tmp_path / "pyrightconfig.json").write_text('{"typeCheckingMode": "strict", "reportMissingTypeStubs": false}')
    good = subprocess.run(command + [str(f) for f in files], capture_output=True, text=True, cwd=tmp_path)
    assert good.returncode == 0, good.stdout
    (tmp_path / "wrong.py").write_text(WRONG)
    bad = subprocess.run(command + ["wrong.py"], capture_output=True, text=True, cwd=tmp_path)
    assert bad.returncode == 1 and '"bsm_price"' in bad.stdout
