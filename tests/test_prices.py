import math
import random

import mpmath as mp
import pytest

import quorix._core as core
import reference as ref
from inputs import market_options
from reference import EPS

TAU = 0.2102528541151713
CALL, PUT = 1, -1


def black_grid():
    """(x, s) pairs over x in [-50, 50] and s in [1e-4, 10], with both sides of each region edge."""
    xs = [i * 2.5 for i in range(-20, 21)] + [-20.0, -1.0, -0.3, -1e-3, 1e-3, 0.1, 0.11]
    ss = [10 ** (e / 4) for e in range(-16, 5)] + [2 * TAU, 0.42, 0.43, 2.0, 2.5, 10.0]
    points = [(x, s) for x in xs for s in ss]
    for delta in (-1e-9, 1e-9):
        points += [(-10.0 + delta, 1.0),                    # x < -10 s
                   (-21.579494291769656 + delta, 2.0),      # x + s^2/2 < (eta + tau) s
                   (-1.0, 2 * TAU + delta),                 # t < tau
                   (-0.3 + delta, 2.0), (-1.95 + delta, 3.0)]  # h + t > 0.85
    points += [(-30.0, 2.0), (-21.0, 2.0), (-0.5, 2.0), (-0.5, 2.5), (-20.0, 1.0)]
    return points


@pytest.mark.parametrize("flag", [CALL, PUT])
def test_normalised_black_through_prices(flag):
    """With r = 0, t = 1 and k = 1 the price is sqrt(F) b(x, s) with x = ln F exactly."""
    worst = 0.0
    for x, s in black_grid():
        f = math.exp(x)
        x_exact = mp.log(mp.mpf(f))
        signed_x = x_exact if flag == CALL else -x_exact
        expected = mp.sqrt(mp.mpf(f)) * ref.normalised_black(signed_x, s)
        if expected < 1e-300:
            continue
        got = core.black76_price_scalar(flag, f, 1.0, 1.0, 0.0, s)
        units = ref.relative_error(got, expected) / (EPS * (1 + ref.black_condition(signed_x, s)))
        worst = max(worst, float(units))
        assert units <= 8, (x, s, got, float(expected))
    print(f"worst error {worst:.3f} eps (1 + kappa)")


@pytest.mark.parametrize("model, case", [("bsm", c) for c in market_options(120, seed=7)] +
                         [("black76", c) for c in market_options(40, seed=11)])
def test_prices_against_mpmath(model, case):
    flag, *inputs = case
    if model == "black76":
        del inputs[4]  # no dividend yield
    price = lambda *a: getattr(ref, f"{model}_price")(flag < 0, *a)  # noqa: E731
    expected = price(*inputs)
    if expected < 1e-300:
        pytest.skip("below the normal range")
    got = getattr(core, f"{model}_price_scalar")(flag, *inputs)
    assert ref.relative_error(got, expected) <= 8 * EPS * (1 + ref.condition(price, inputs))


def long_dated_in_the_money(count, seed):
    """(flag, s, k, t, r, q, sigma): 5 to 60 years at rates to 60 %, strikes 1.5 to 40 times in
    the money, where a price is mostly its discounted intrinsic value."""
    rng, options = random.Random(seed), []
    for _ in range(count):
        flag, t, r, q = rng.choice([CALL, PUT]), rng.uniform(5, 60), rng.uniform(0.05, 0.6), rng.uniform(0, 0.1)
        moneyness = rng.uniform(1.5, 40) ** -flag
        options.append((flag, 1.0, math.exp((r - q) * t) * moneyness, t, r, q, rng.uniform(0.01, 0.3)))
    return options


@pytest.mark.parametrize("case", long_dated_in_the_money(24, seed=3))
def test_long_dated_prices_keep_the_rounding_of_r_t(case):
    """The discount and growth factors carry the rounding errors of r t and r - q: without them a
    price would lose |r t| / 2 ulps, although it is well conditioned in s, k and sigma."""
    flag, *inputs = case
    expected = ref.bsm_price(flag < 0, *inputs)
    assert ref.relative_error(core.bsm_price_scalar(flag, *inputs), expected) <= 4 * EPS


E02, E05 = math.exp(-0.02), math.exp(-0.05)


@pytest.mark.parametrize("args, expected", [
    ((CALL, 110.0, 100.0, 0.0, 0.3, 0.1, math.nan), 10.0),           # expired: undiscounted intrinsic
    ((CALL, 90.0, 100.0, 0.0, 0.3, 0.1, math.nan), 0.0),
    ((PUT, 90.0, 100.0, -1.0, 0.3, 0.1, math.nan), 10.0),
    ((PUT, 110.0, 100.0, 0.0, 0.3, 0.1, math.nan), 0.0),
    ((CALL, 100.0, 90.0, 1.0, 0.05, 0.02, 0.0), 100.0 * E02 - 90.0 * E05),  # no volatility
    ((CALL, 90.0, 100.0, 1.0, 0.05, 0.02, 0.0), 0.0),
    ((PUT, 90.0, 100.0, 1.0, 0.05, 0.02, 0.0), 100.0 * E05 - 90.0 * E02),
    ((CALL, 120.0, 100.0, 1.0, 0.05, 0.0, math.nan), E05 * (120.0 / E05 - 100.0)),
    ((CALL, 100.0, 100.0, math.nan, 0.05, 0.0, 0.2), 0.0),
    ((CALL, math.nan, 100.0, 1.0, 0.05, 0.0, 0.2), 0.0),
    ((PUT, 100.0, math.nan, 1.0, 0.05, 0.0, 0.2), 0.0),
    ((CALL, 100.0, 100.0, 1.0, math.nan, 0.0, 0.2), 0.0),
    ((CALL, 100.0, 100.0, 1.0, 0.05, math.nan, 0.2), 0.0),
    ((CALL, 100.0, 100.0, 1.0, 0.0, 0.0, math.nan), 0.0),           # at the money: no intrinsic
    ((CALL, 100.0, 0.0, 1.0, 0.0, 0.1, 0.2), 100.0 * math.exp(-0.1)),  # k = 0
    ((PUT, 100.0, 0.0, 1.0, 0.0, 0.1, 0.2), 0.0),
    ((CALL, 100.0, -5.0, 1.0, 0.0, 0.0, 0.2), 105.0),                # negative k: x is NaN
    ((PUT, 100.0, -5.0, 1.0, 0.0, 0.0, 0.2), 0.0),
    ((CALL, 100.0, 100.0, 1.0, 800.0, 0.0, 0.2), 100.0),             # forward overflows
    ((CALL, -1.0, 0.0, 1.0, 0.0, 0.0, math.inf), 0.0),               # infinite sigma, negative spot
    ((CALL, 100.0, 90.0, 1.0, math.inf, math.inf, 0.2), 0.0),        # Black-76 with an infinite rate
    ((CALL, 100.0, 90.0, 1.0, -math.inf, -math.inf, 0.2), 0.0),
    ((127, 100.0, 90.0, 1.0, 0.05, 0.0, 0.2), (1, 100.0, 90.0, 1.0, 0.05, 0.0, 0.2)),  # flags >= 0: calls
    ((0, 100.0, 90.0, 1.0, 0.05, 0.0, 0.2), (1, 100.0, 90.0, 1.0, 0.05, 0.0, 0.2)),
    ((-128, 100.0, 110.0, 1.0, 0.05, 0.0, 0.2), (-1, 100.0, 110.0, 1.0, 0.05, 0.0, 0.2)),
])
def test_degenerate_inputs_and_flags(args, expected):
    got = core.bsm_price_scalar(*args)
    if isinstance(expected, tuple):
        assert got == core.bsm_price_scalar(*expected) > 10.0
    else:
        assert got == pytest.approx(expected, rel=1e-15, abs=0) and math.copysign(1, got) == 1
