"""Properties over the whole double range: NaN, infinities, subnormals, signed zeros, extremes."""

import math
import os
import warnings

import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import quorix._core as core
from catalogue import FUNCTIONS, VECTOR
from inputs import Name, as_results, odd, same_bits, single_greeks

ANY = st.floats()  # every double: NaN, both infinities, subnormals, -0.0, huge and tiny
FLAG = st.integers(-128, 127)
POSITIVE = st.floats(min_value=5e-324, max_value=1.7e308)
# Derandomized, so that every run tries the same cases; QUORIX_HYPOTHESIS_EXAMPLES widens a
# search by hand.
SETTINGS = settings(max_examples=int(os.environ.get("QUORIX_HYPOTHESIS_EXAMPLES", "400")),
                    deadline=None, derandomize="QUORIX_HYPOTHESIS_EXAMPLES" not in os.environ)


# Results that cannot be negative: a price, and gamma and vega unless a spot or strike is negative.
NONNEGATIVE = {"price": [0], "gamma": [0], "vega": [0], "greeks": [1, 2]}


def arguments(params):
    return st.tuples(*(FLAG if p == "flag" else ANY for p in params))


@pytest.mark.parametrize("name, params", VECTOR)
def test_any_doubles_give_floats_and_the_vector_form_gives_the_scalar_bits(name, params):
    vector, scalar = getattr(core, name), getattr(core, name + "_scalar")

    @SETTINGS
    @given(st.lists(arguments(params), min_size=1, max_size=8))
    def check(rows):
        expected = [scalar(*row) for row in rows]
        for args, result in zip(rows, expected):
            values = as_results(result)
            assert all(type(v) is float for v in values)
            named = dict(zip(params, args))
            if name.endswith("_price") or named.get("s", named.get("f")) >= 0 and named["k"] >= 0:
                assert not any(values[i] < 0 for i in NONNEGATIVE.get(name.split("_")[1], ()))
            if len(values) == 5:
                assert same_bits(values, single_greeks(name.split("_")[0], args))
        arrays = [np.array(column, dtype=np.int8 if p == "flag" else np.float64)
                  for p, column in zip(params, zip(*rows))]
        for got, want in zip(as_results(vector(*arrays)), zip(*expected) if name.endswith("_greeks") else [expected]):
            assert same_bits(got, np.array(want))

    check()


@SETTINGS
@given(FLAG, POSITIVE, POSITIVE, POSITIVE, ANY, ANY, POSITIVE)
def test_prices_stay_within_no_arbitrage_bounds(flag, s, k, t, r, q, sigma):
    """Between the discounted intrinsic value and the discounted asset (call) or strike (put),
    within the rounding of the two discounted legs."""
    price = core.bsm_price_scalar(flag, s, k, t, r, q, sigma)
    with np.errstate(all="ignore"):
        asset, strike = s * np.exp(-q * t), k * np.exp(-r * t)
        slack = 1e-12 * (asset + strike)
    assume(np.isfinite(slack))
    high, low = (strike, asset) if flag < 0 else (asset, strike)
    assert not price < 0
    if math.isfinite(price):
        assert max(high - low, 0.0) - slack <= price <= high + slack


class Planted(Exception):
    """Raised by the odd objects below: a call must pass it through unchanged."""


def recast(values, dtype, step, writeable):
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        values = values.astype(dtype)
    values = values[::step] if values.ndim else values
    values.flags.writeable = writeable
    return values


CHARACTERS = st.characters(exclude_categories=())  # lone surrogates included
DTYPES = ["f8", "i1", "f4", "i8", "u1", "?", "O", ">f8", "c16", "f2", "M8[s]", "U3"]
ODD = st.one_of(
    st.floats(), st.integers(), st.booleans(), st.none(), st.binary(max_size=3), st.lists(st.floats(), max_size=3),
    st.text(CHARACTERS, max_size=4), st.floats().map(np.float64),
    st.integers(-128, 127).map(np.int8), st.builds(Name, st.text(max_size=2)),
    st.builds(lambda protocol, result: odd(**{protocol: result}), st.sampled_from(["__float__", "__index__"]),
              st.sampled_from([Planted, 1.5, 2, "text", None, np.float64(0.5), 2**70, True])),
    st.builds(recast, hnp.arrays(np.float64, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0)),
              st.sampled_from(DTYPES), st.integers(1, 3), st.booleans()))


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # __float__ returning a float subclass
@settings(SETTINGS, max_examples=5 * SETTINGS.max_examples)
@given(st.data())
def test_the_call_boundary_raises_only_its_own_errors(data):
    """A fuzz of the argument matcher and the conversions: mostly valid arguments with odd ones
    mixed in, split between positions and keywords, or anything at all. A call returns the
    result's types or raises one of the boundary's errors (the planted one unchanged); anything
    else, SystemError above all, or a crash is a fault."""
    name, params = data.draw(st.sampled_from(FUNCTIONS))
    n, scalar = data.draw(st.integers(0, 20)), name.endswith("_scalar")

    def valid(param):
        if scalar:
            return st.integers(-200, 200) if param == "flag" else st.floats()
        return hnp.arrays(np.int8 if param == "flag" else np.float64, n)

    if data.draw(st.integers(0, 3)):
        values = [data.draw(valid(p) if data.draw(st.integers(0, 7)) else ODD) for p in params]
        split = data.draw(st.integers(0, len(params)))
        named = [(data.draw(st.sampled_from([p, Name(p)])), v) for p, v in zip(params[split:], values[split:])]
        positional, keywords = values[:split], dict(named[::data.draw(st.sampled_from([1, -1]))])
    else:
        positional = data.draw(st.lists(ODD, max_size=len(params) + 2))
        names = st.one_of(st.text(CHARACTERS, max_size=6), st.sampled_from(params),
                          st.sampled_from(params).map(Name))
        keywords = data.draw(st.dictionaries(names, ODD, max_size=3))
    try:
        result = getattr(core, name)(*positional, **keywords)
    except (Planted, TypeError, ValueError, OverflowError, RuntimeError):
        return
    values = result if name.endswith(("_greeks", "greeks_scalar")) else (result,)
    if scalar:
        assert all(type(v) is float for v in values), (name, result)
    else:
        assert all(type(a) is np.ndarray and a.dtype == np.float64 and a.ndim == 1 for a in values)
