"""The Bachelier (normal) model against mpmath at 50 digits: prices and Greeks from their closed
forms, implied normal vols against the exact root of the rounded price."""
import math

import mpmath as mp
import numpy as np
import pytest

import quorix
from reference import EPS, condition, ncdf

mp.mp.dps = 50


def exact(put, f, k, t, r, sigma):
    """(price, delta, gamma, vega, theta, rho) of the closed forms."""
    f, k, t, r, sigma = map(mp.mpf, (f, k, t, r, sigma))
    v, sign, discount = sigma * mp.sqrt(t), -1 if put else 1, mp.exp(-r * t)
    d = (f - k) / v
    price = discount * (sign * (f - k) * mp.ncdf(sign * d) + v * mp.npdf(d))
    return (price, sign * discount * mp.ncdf(sign * d), discount * mp.npdf(d) / v, discount * mp.sqrt(t) * mp.npdf(d),
            r * price - discount * mp.npdf(d) * sigma / (2 * mp.sqrt(t)), -t * price)


def options(count, seed):
    """(put, f, k, t, r, sigma): forwards of either sign, 0 to 38 standard deviations from the
    money (where the price leaves the doubles' range), 4 days to 30 years."""
    rng = np.random.default_rng(seed)
    for _ in range(count):
        f, t, sigma = rng.uniform(-2, 5), 10 ** rng.uniform(-2, 1.5), 10 ** rng.uniform(-3, 0.5)
        d = rng.choice([-1, 1]) * rng.uniform(0, 38) ** rng.choice([0.5, 1])
        yield bool(rng.random() < 0.5), f, f - d * sigma * math.sqrt(t), t, rng.uniform(-0.02, 0.08), sigma


@pytest.mark.parametrize("put, f, k, t, r, sigma", list(options(60, seed=1)))
def test_prices_and_greeks_against_mpmath(put, f, k, t, r, sigma):
    flag = "p" if put else "c"
    price = quorix.bachelier_price(flag, f, k, t, r, sigma)
    greeks = quorix.bachelier_greeks(flag, f, k, t, r, sigma)
    expected = exact(put, f, k, t, r, sigma)
    if expected[0] < 1e-300:
        return
    cond = condition(lambda *a: exact(put, *a)[0], [mp.mpf(a) for a in (f, k, t, r, sigma)])
    assert abs(price - expected[0]) <= 4 * EPS * (1 + cond) * expected[0], (price, float(expected[0]), float(cond))
    u2 = ((f - k) / (sigma * math.sqrt(t))) ** 2  # the density's condition
    for name, g, e in zip(quorix.Greeks._fields, greeks, expected[1:]):
        assert abs(g - e) <= 8 * EPS * (1 + u2 + cond) * abs(e) + 1e-300, (name, g, float(e))
    assert tuple(greeks) == tuple(getattr(quorix, f"bachelier_{name}")(*((flag,) if name in ("delta", "theta", "rho")
                                  else ()), f, k, t, r, sigma) for name in quorix.Greeks._fields)


def exact_sigma(price, put, f, k, t, r):
    """The sigma whose exact price is the rounded price, by bisection in ln v on the time value,
    and d ln sigma / d ln price there."""
    price, f, k, t, r = map(mp.mpf, (price, f, k, t, r))
    a, time_value = abs(f - k), price * mp.exp(r * t) - max((k - f) if put else (f - k), 0)
    low, high = mp.log(mp.mpf("1e-300")), mp.log(mp.mpf("1e300"))
    for _ in range(400):
        middle = (low + high) / 2
        v = mp.exp(middle)
        low, high = (low, middle) if v * (mp.npdf(a / v) - a / v * ncdf(-a / v)) > time_value else (middle, high)
    v = mp.exp(low)
    return v / mp.sqrt(t), price / (mp.exp(-r * t) * v * mp.npdf(a / v))


@pytest.mark.parametrize("put, f, k, t, r, sigma", list(options(48, seed=2)))
def test_implied_normal_vol_is_the_root_of_the_rounded_price(put, f, k, t, r, sigma):
    flag = "p" if put else "c"
    price = quorix.bachelier_price(flag, f, k, t, r, sigma)
    if price < 1e-300:  # a subnormal price keeps too few bits to pin a root
        return
    root, cond = exact_sigma(price, put, f, k, t, r)
    if cond > 1e12:  # the time value is lost in the rounding of an in-the-money price
        return
    got = quorix.bachelier_iv(price, flag, f, k, t, r)
    assert abs(got - root) <= 4 * EPS * (1 + cond) * root, (got, float(root), float(cond))


def test_a_chain_to_fifty_standard_deviations_goes_round_trip():
    """Rates-style: a forward of 3 %, a normal vol of 100 bp, two years, strikes 50 standard
    deviations either side; prices that underflow to 0 give a vol of 0, which prices them again."""
    f, t, r, sigma = 0.03, 2.0, 0.03, 0.01
    strikes = f + np.linspace(-50, 50, 2001) * sigma * math.sqrt(t)
    for flag in ("c", "p"):
        prices = quorix.bachelier_price(flag, f, strikes, t, r, sigma)
        vols = quorix.bachelier_iv(prices, flag, f, strikes, t, r)
        again = quorix.bachelier_price(flag, f, strikes, t, r, vols)
        assert np.all(np.abs(again - prices) <= 1e-13 * prices)
        out_of_the_money = (strikes > f) if flag == "c" else (strikes < f)
        well_posed = out_of_the_money & (prices > 1e-300)
        assert np.all(np.abs(vols[well_posed] / sigma - 1) < 1e-13)
        assert np.all(vols[prices == 0] == 0)


@pytest.mark.parametrize("price, flag, f, k, t, expected", [
    (0.5, "c", 1.0, 0.0, 1.0, math.nan),                          # below the intrinsic value
    (-1e-3, "c", 0.0, 0.0, 1.0, math.nan), (math.inf, "c", 0.0, 0.0, 1.0, math.nan),
    (0.1, "c", 0.0, 0.0, 0.0, math.nan),                          # expired
    (0.1, "c", 0.0, 0.0, -1.0, math.nan),                         # missing data
    (0.0, "p", 0.0, -0.5, 1.0, 0.0),                              # out of the money, worth nothing
    (0.25 / math.sqrt(2 * math.pi), "p", -0.75, -0.75, 4.0, 0.125),  # at the money: T sqrt(2 pi) / sqrt(t)
])
def test_implied_normal_vol_edges(price, flag, f, k, t, expected):
    got = quorix.bachelier_iv(price, flag, f, k, t, 0.0)
    assert (math.isnan(got) and math.isnan(expected)) or got == pytest.approx(expected, rel=4 * EPS, abs=0)
