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


def round_trip_tolerance(price, spot_delta, vol_vega):
    """A few ulps of the price in each input it is sensitive to: the vol (vega times vol), and
    the spot and strike (delta times spot, and price minus that by homogeneity), which the solver
    rounds into its forward and log-moneyness differently from the price."""
    return 16 * EPS * (price + abs(vol_vega) + abs(spot_delta) + abs(price - spot_delta))


MARKET = dict(
    flag=FLAG,
    s=st.floats(1e-2, 1e4),
    moneyness=st.floats(-4.0, 4.0),
    t=st.floats(1e-3, 30.0),
    r=st.floats(-0.1, 0.3),
    q=st.floats(-0.1, 0.3),
    sigma=st.floats(1e-3, 4.0),
)


def contract(model, s, moneyness, t, r, q):
    """The model's arguments after the flag, for a strike at `moneyness` from the forward, and the
    dividend yield that its discounted asset carries."""
    if model == "bsm":
        return (s, s * math.exp((r - q) * t + moneyness), t, r, q), q
    return (s, s * math.exp(moneyness), t, r), r


@pytest.mark.parametrize("model", ["bsm", "black76"])
def test_implied_volatility_of_a_valid_price_round_trips(model):
    price_of, iv_of, delta_of, vega_of = (
        getattr(core, f"{model}_{quantity}_scalar") for quantity in ("price", "iv", "delta", "vega"))

    @SETTINGS
    @given(**MARKET)
    def check(flag, s, moneyness, t, r, q, sigma):
        market, dividend = contract(model, s, moneyness, t, r, q)
        price = price_of(flag, *market, sigma)
        lower, upper, _ = no_arbitrage_bounds(flag < 0, s, market[1], t, r, dividend)
        assume(price > 1e-300 and price - lower > 1e-9 * price and price < upper * (1 - 1e-9))
        vol = iv_of(price, flag, *market)
        repriced = price_of(flag, *market, vol)
        delta, vega = delta_of(flag, *market, sigma), vega_of(*market, sigma)
        tolerance = round_trip_tolerance(price, delta * s, vega * sigma)
        assert abs(repriced - price) <= tolerance
        if tolerance < 1e-3 * vega * sigma:  # the price pins the vol down: the error is linear in it
            assert abs(vol - sigma) * vega <= tolerance

    check()
