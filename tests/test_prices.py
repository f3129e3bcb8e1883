import math
import random

import mpmath as mp
import pytest

import quorix._core as core
import reference as ref
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


def test_deep_out_of_the_money_keeps_its_digits():
    got = core.black76_price_scalar(CALL, math.exp(-20.0), 1.0, 1.0, 0.0, 1.0)
    expected = mp.sqrt(mp.exp(-20)) * ref.normalised_black(mp.log(mp.mpf(math.exp(-20.0))), 1)
    assert 1e-91 < got / math.exp(-10.0) < 1e-89  # b itself is about 1e-90
    assert ref.relative_error(got, expected) < 1e-13


def market_cases(count=120, seed=7):
    rng = random.Random(seed)
    cases = []
    for _ in range(count):
        s = 100.0
        k = s * math.exp(rng.uniform(-3, 3))
        t = 10 ** rng.uniform(-3, 1.3)
        r = rng.uniform(-0.05, 0.15)
        q = rng.uniform(-0.02, 0.1)
        sigma = 10 ** rng.uniform(-2.5, 0.5)
        cases.append((rng.choice([CALL, PUT]), s, k, t, r, q, sigma))
    return cases


@pytest.mark.parametrize("case", market_cases())
def test_bsm_price_against_mpmath(case):
    flag, *inputs = case
    price = lambda *a: ref.bsm_price(flag < 0, *a)  # noqa: E731
    expected = price(*inputs)
    if expected < 1e-300:
        pytest.skip("below the normal range")
    got = core.bsm_price_scalar(flag, *inputs)
    kappa = ref.condition(price, inputs)
    assert ref.relative_error(got, expected) <= 8 * EPS * (1 + kappa)


@pytest.mark.parametrize("case", market_cases(40, seed=11))
def test_black76_price_against_mpmath(case):
    flag, f, k, t, r, _, sigma = case
    price = lambda *a: ref.black76_price(flag < 0, *a)  # noqa: E731
    inputs = (f, k, t, r, sigma)
    expected = price(*inputs)
    if expected < 1e-300:
        pytest.skip("below the normal range")
    got = core.black76_price_scalar(flag, *inputs)
    assert ref.relative_error(got, expected) <= 8 * EPS * (1 + ref.condition(price, inputs))


@pytest.mark.parametrize("case", market_cases(200, seed=3))
def test_put_call_parity(case):
    _, s, k, t, r, q, sigma = case
    call = core.bsm_price_scalar(CALL, s, k, t, r, q, sigma)
    put = core.bsm_price_scalar(PUT, s, k, t, r, q, sigma)
    spot_discounted, strike_discounted = s * math.exp(-q * t), k * math.exp(-r * t)
    forward_value = spot_discounted - strike_discounted
    assert abs((call - put) - forward_value) <= 8 * EPS * (spot_discounted + strike_discounted)


@pytest.mark.parametrize("flag", [0, 1, 127])
def test_non_negative_flags_price_calls(flag):
    assert core.bsm_price_scalar(flag, 100.0, 90.0, 1.0, 0.05, 0.0, 0.2) == \
        core.bsm_price_scalar(1, 100.0, 90.0, 1.0, 0.05, 0.0, 0.2) > 10.0


@pytest.mark.parametrize("flag", [-1, -128])
def test_negative_flags_price_puts(flag):
    assert core.bsm_price_scalar(flag, 100.0, 110.0, 1.0, 0.05, 0.0, 0.2) == \
        core.bsm_price_scalar(-1, 100.0, 110.0, 1.0, 0.05, 0.0, 0.2) > 10.0


@pytest.mark.parametrize("flag, s, k, t, expected", [
    (CALL, 110.0, 100.0, 0.0, 10.0), (CALL, 90.0, 100.0, 0.0, 0.0),
    (PUT, 90.0, 100.0, -1.0, 10.0), (PUT, 110.0, 100.0, 0.0, 0.0),
])
def test_expired_is_undiscounted_intrinsic(flag, s, k, t, expected):
    got = core.bsm_price_scalar(flag, s, k, t, 0.3, 0.1, math.nan)
    assert got == expected and math.copysign(1, got) == 1


@pytest.mark.parametrize("flag, s, k, expected", [
    (CALL, 100.0, 90.0, 100.0 * math.exp(-0.02) - 90.0 * math.exp(-0.05)),
    (CALL, 90.0, 100.0, 0.0),
    (PUT, 90.0, 100.0, 100.0 * math.exp(-0.05) - 90.0 * math.exp(-0.02)),
])
def test_zero_volatility_is_discounted_intrinsic(flag, s, k, expected):
    assert core.bsm_price_scalar(flag, s, k, 1.0, 0.05, 0.02, 0.0) == pytest.approx(expected, rel=1e-15)


def test_at_the_money_forward_has_no_intrinsic_part():
    f = 100.0
    got = core.black76_price_scalar(CALL, f, f, 1.0, 0.03, 0.2)
    expected = mp.exp(-0.03) * f * ref.normalised_black(0, 0.2)
    assert ref.relative_error(got, expected) < 4 * EPS


@pytest.mark.parametrize("args, expected", [
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
])
def test_degenerate_inputs(args, expected):
    assert core.bsm_price_scalar(*args) == expected


def test_nan_volatility_prices_the_discounted_intrinsic_value():
    got = core.bsm_price_scalar(CALL, 120.0, 100.0, 1.0, 0.05, 0.0, math.nan)
    assert got == pytest.approx(math.exp(-0.05) * (120.0 * math.exp(0.05) - 100.0), rel=1e-14)


@pytest.mark.parametrize("r", [math.inf, -math.inf])
def test_black76_with_infinite_rate_is_zero(r):
    assert core.black76_price_scalar(CALL, 100.0, 90.0, 1.0, r, 0.2) == 0.0


def test_black76_is_bsm_with_q_equal_r():
    rng = random.Random(5)
    for _ in range(20000):
        flag = rng.choice([CALL, PUT])
        f, k, t = 100.0, 100.0 * math.exp(rng.uniform(-3, 3)), rng.uniform(-0.1, 5)
        r, sigma = rng.uniform(-0.1, 0.2), rng.uniform(-0.1, 1.5)
        assert core.black76_price_scalar(flag, f, k, t, r, sigma) == \
            core.bsm_price_scalar(flag, f, k, t, r, r, sigma)
