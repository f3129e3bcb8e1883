"""Properties over the whole double range: NaN, infinities, subnormals, signed zeros, extremes."""

import math
import os

import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st

import quorix._core as core
from catalogue import VECTOR
from inputs import as_results, same_bits

ANY = st.floats()  # every double: NaN, both infinities, subnormals, -0.0, huge and tiny
FLAG = st.integers(-128, 127)
POSITIVE = st.floats(min_value=5e-324, max_value=1.7e308)
# Derandomized, so that every run tries the same cases; QUORIX_HYPOTHESIS_EXAMPLES widens a
# search by hand.
SETTINGS = settings(max_examples=int(os.environ.get("QUORIX_HYPOTHESIS_EXAMPLES", "400")),
                    deadline=None, derandomize="QUORIX_HYPOTHESIS_EXAMPLES" not in os.environ)
EPS = 2.0**-52


def arguments(params):
    return st.tuples(*(FLAG if p == "flag" else ANY for p in params))


def no_arbitrage_bounds(put, s, k, t, r, q):
    """The price lies between the discounted intrinsic value and the discounted asset (call) or
    strike (put); `slack` is the rounding of the two discounted legs."""
    asset, strike = s * math.exp(-q * t), k * math.exp(-r * t)
    lower = max(strike - asset, 0.0) if put else max(asset - strike, 0.0)
    return lower, (strike if put else asset), 1e-12 * (asset + strike)


@pytest.mark.parametrize("name, params", [(n + "_scalar", p) for n, p in VECTOR])
def test_scalar_functions_never_raise_for_numbers(name, params):
    function = getattr(core, name)

    @SETTINGS
    @given(arguments(params))
    def check(args):
        result = function(*args)
        values = result if isinstance(result, tuple) else (result,)
        assert all(type(v) is float for v in values)
        if name.endswith("price_scalar"):
            assert not values[0] < 0
        named = dict(zip(params, args))
        if named.get("s", named.get("f")) >= 0 and named["k"] >= 0:  # a negative spot flips them
            if name.endswith(("gamma_scalar", "vega_scalar")):
                assert not values[0] < 0
            if name.endswith("_greeks_scalar"):
                assert not values[1] < 0 and not values[2] < 0  # gamma, vega

    check()


@pytest.mark.parametrize("name, params", VECTOR)
def test_vector_and_scalar_agree_bit_for_bit_on_any_doubles(name, params):
    vector, scalar = getattr(core, name), getattr(core, name + "_scalar")

    @SETTINGS
    @given(st.lists(arguments(params), min_size=1, max_size=8))
    def check(rows):
        arrays = [np.array(column, dtype=np.int8 if p == "flag" else np.float64)
                  for p, column in zip(params, zip(*rows))]
        expected = [scalar(*row) for row in rows]
        expected = list(zip(*expected)) if name.endswith("_greeks") else [expected]
        for got, want in zip(as_results(vector(*arrays)), expected):
            assert same_bits(got, np.array(want))

    check()


@SETTINGS
@given(FLAG, POSITIVE, POSITIVE, POSITIVE, ANY, ANY, POSITIVE)
def test_prices_stay_within_no_arbitrage_bounds(flag, s, k, t, r, q, sigma):
    price = core.bsm_price_scalar(flag, s, k, t, r, q, sigma)
    with np.errstate(all="ignore"):
        try:
            lower, upper, slack = no_arbitrage_bounds(flag < 0, s, k, t, r, q)
        except OverflowError:
            return
    assume(all(math.isfinite(v) for v in (lower, upper, slack)))
    assert not price < 0
    if math.isfinite(price):
        assert lower - slack <= price <= upper + slack
