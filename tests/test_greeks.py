import math

import mpmath as mp
import pytest

import quorix
import quorix._core as core
from inputs import GREEKS, market_options, same_bits, single_greeks
from reference import ncdf

CALL, PUT = 1, -1
NAN = math.nan
SPOT = 100.0


def textbook_price(put, s, k, t, r, q, sigma):
    """The closed form, evaluated at 50 digits; accurate for the moderate range used here."""
    sqrt_t = mp.sqrt(t)
    d1 = (mp.log(s / k) + (r - q + sigma**2 / 2) * t) / (sigma * sqrt_t)
    d2 = d1 - sigma * sqrt_t
    if put:
        return k * mp.exp(-r * t) * ncdf(-d2) - s * mp.exp(-q * t) * ncdf(-d1)
    return s * mp.exp(-q * t) * ncdf(d1) - k * mp.exp(-r * t) * ncdf(d2)


def reference_greeks(put, s, k, t, r, q, sigma):
    """(delta, gamma, vega, theta, rho) by mpmath differentiation of the closed form."""
    s, k, t, r, q, sigma = map(mp.mpf, (s, k, t, r, q, sigma))
    price = lambda s_, t_, r_, sigma_: textbook_price(put, s_, k, t_, r_, q, sigma_)  # noqa: E731
    return (mp.diff(lambda a: price(a, t, r, sigma), s),
            mp.diff(lambda a: price(a, t, r, sigma), s, 2),
            mp.diff(lambda a: price(s, t, r, a), sigma),
            -mp.diff(lambda a: price(s, a, r, sigma), t),
            mp.diff(lambda a: price(s, t, a, sigma), r))


def common_range(count, seed):
    """Market options of total volatility 0.01 to 3."""
    return market_options(count, seed, log_t=(-2, 1),
                          sigma=lambda rng, t: 10 ** rng.uniform(-2, math.log10(3)) / math.sqrt(t))


# Absolute floor per Greek, 1e-14 in units of the spot.
SCALES = (1.0 / SPOT, 1.0 / SPOT**2, 1.0, 1.0, 1.0)


@pytest.mark.parametrize("model, case", [("bsm", c) for c in common_range(160, seed=21)] +
                         [("black76", c) for c in common_range(40, seed=22)])
def test_greeks_against_mpmath(model, case):
    flag, s, k, t, r, q, sigma = case
    if model == "bsm":
        got = core.bsm_greeks_scalar(flag, s, k, t, r, q, sigma)
        expected = reference_greeks(flag < 0, s, k, t, r, q, sigma)
    else:  # BSM on the forward with q = r, except that the forward stays put as r moves
        got = core.black76_greeks_scalar(flag, s, k, t, r, sigma)
        expected = reference_greeks(flag < 0, s, k, t, r, r, sigma)[:4] + (mp.diff(
            lambda a: textbook_price(flag < 0, mp.mpf(s), mp.mpf(k), mp.mpf(t), a, a, mp.mpf(sigma)), mp.mpf(r)),)
    for name, g, e, scale in zip(GREEKS, got, expected, SCALES):
        assert abs(g - e) <= 1e-10 * abs(e) + 1e-14 * SPOT * scale, (name, g, float(e))
    assert same_bits(got, single_greeks(model, case[:5] + case[6:] if model == "black76" else case))


@pytest.mark.parametrize("model", ["bsm", "black76"])
@pytest.mark.parametrize("flag", [CALL, PUT])
@pytest.mark.parametrize("sigma", [1e150, 1e200, 1e300, math.inf])
def test_huge_volatility_reaches_the_limits(model, flag, sigma):
    """Where sigma^2 overflows, and at sigma = inf the limit: the whole discounted spot (call) or
    strike (put) as the price, a call's theta q s e^(-qt)."""
    at = min(sigma, 1e300)  # mpmath's value at 1e300 is the limit's to every digit
    s, k, t, r = SPOT, 100.0, 0.5, 0.03
    q = 0.01 if model == "bsm" else r
    price = textbook_price(flag < 0, *map(mp.mpf, (s, k, t, r, q, at)))
    expected = reference_greeks(flag < 0, s, k, t, r, q, at) + (price,)
    if model == "bsm":
        got = core.bsm_greeks_scalar(flag, s, k, t, r, q, sigma) + (core.bsm_price_scalar(flag, s, k, t, r, q, sigma),)
    else:  # the forward stays put as r moves: rho is -t times the price
        got = core.black76_greeks_scalar(flag, s, k, t, r, sigma) + (core.black76_price_scalar(flag, s, k, t, r, sigma),)
        expected = expected[:4] + (-t * price, price)
    for name, g, e, scale in zip(GREEKS + ("price",), got, expected, SCALES + (1.0,)):
        assert abs(g - e) <= 1e-15 * abs(e) + 1e-14 * SPOT * scale, (name, g, float(e))


def closed_second_order(put, s, k, t, r, q, sigma):
    """(vanna, volga, charm, speed, dV/dq) from their closed forms at 50 digits: exact where
    differentiating prices numerically drowns values far out of the money in rounding noise."""
    s, k, t, r, q, sigma = map(mp.mpf, (s, k, t, r, q, sigma))
    v = sigma * mp.sqrt(t)
    d1 = (mp.log(s / k) + (r - q + sigma**2 / 2) * t) / v
    d2, eq, phi, sign = d1 - v, mp.exp(-q * t), mp.npdf(d1), -1 if put else 1
    return (-eq * phi * d2 / sigma,
            s * eq * phi * mp.sqrt(t) * d1 * d2 / sigma,
            sign * q * eq * ncdf(sign * d1) - eq * phi * (2 * (r - q) * t - d2 * v) / (2 * t * v),
            -eq * phi / (s**2 * v) * (d1 / v + 1),
            -sign * t * s * eq * ncdf(sign * d1))


def differentiated_second_order(put, s, k, t, r, q, sigma):
    """The same by mpmath differentiation of the price, which checks the closed forms."""
    s, k, t, r, q, sigma = map(mp.mpf, (s, k, t, r, q, sigma))
    price = lambda s_, t_, sigma_, q_=q: textbook_price(put, s_, k, t_, r, q_, sigma_)  # noqa: E731
    return (mp.diff(lambda a, b: price(a, t, b), (s, sigma), (1, 1)),
            mp.diff(lambda a: price(s, t, a), sigma, 2),
            -mp.diff(lambda a, b: price(a, b, sigma), (s, t), (1, 1)),
            mp.diff(lambda a: price(a, t, sigma), s, 3),
            mp.diff(lambda a: price(s, t, sigma, a), q))


SECOND_ORDER = ("vanna", "volga", "charm", "speed")
SECOND_SCALES = (1.0, SPOT, 1.0, 1.0 / SPOT**2, SPOT)  # absolute floors: 1e-13 of these


@pytest.mark.parametrize("model, case", [("bsm", c) for c in common_range(60, seed=23)] +
                         [("black76", c) for c in common_range(20, seed=24)])
def test_second_order_greeks_against_mpmath(model, case):
    """Black-76 is BSM on the forward with q = r: its closed forms are BSM's."""
    flag, s, k, t, r, q, sigma = case
    q = q if model == "bsm" else r
    args = case if model == "bsm" else case[:5] + case[6:]
    combined = getattr(quorix, model + "_second_order")(*args)
    singles = [getattr(quorix, f"{model}_{name}")(*(args if name == "charm" else args[1:])) for name in SECOND_ORDER]
    assert same_bits(combined, singles)
    got = tuple(combined) + ((quorix.bsm_dividend_rho(*args),) if model == "bsm" else ())
    expected = closed_second_order(flag < 0, s, k, t, r, q, sigma)
    differentiated = differentiated_second_order(flag < 0, s, k, t, r, q, sigma)
    for name, g, e, d, scale in zip(SECOND_ORDER + ("dividend_rho",), got, expected, differentiated, SECOND_SCALES):
        assert abs(d - e) <= 1e-12 * abs(e) + 1e-20 * scale, (name, float(d), float(e))
        # Where d2 (vanna, volga) or d1 + v (speed) is near 0, so is the value: a floor scaled by
        # the density; values below the doubles' range are 0.
        assert abs(g - e) <= 1e-12 * abs(e) + 1e-15 * scale * density(s, k, t, r, q, sigma) + 1e-300, (name, g, float(e))
        if abs(e) > 1e-290:  # never a wrong sign or a spurious zero far out of the money
            assert g != 0 and math.copysign(1, g) == mp.sign(e), (name, g, float(e))


E03 = math.exp(-0.03)


@pytest.mark.parametrize("flag, k, t, sigma, charm, dividend_rho", [
    (CALL, 90.0, 1.0, 0.0, 0.03 * E03, -100.0 * E03), (CALL, 110.0, 1.0, 0.0, 0.0, -0.0),
    (PUT, 110.0, 1.0, 0.0, -0.03 * E03, 100.0 * E03), (PUT, 90.0, 1.0, 0.0, -0.0, 0.0),
    (CALL, 90.0, 0.0, 0.2, 0.0, 0.0), (PUT, 110.0, 1.0, math.inf, 0.0, 0.0),
])  # a forward of about 102; no volatility: delta's step; expired: 0; infinite volatility: 0
def test_second_order_limits(flag, k, t, sigma, charm, dividend_rho):
    args = (flag, 100.0, k, t, 0.05, 0.03, sigma)
    got = quorix.bsm_second_order(*args)
    assert got[:2] + got[3:] == (0.0, 0.0, 0.0) and got.charm == pytest.approx(charm, rel=1e-15, abs=0)
    if sigma != math.inf:
        assert quorix.bsm_dividend_rho(*args) == pytest.approx(dividend_rho, rel=1e-15, abs=0)


def density(s, k, t, r, q, sigma):
    """e^(-d1^2/2), the size of the density the second-order Greeks carry."""
    v = sigma * math.sqrt(t)
    d1 = (math.log(s / k) + (r - q + sigma**2 / 2) * t) / v
    return math.exp(-d1 * d1 / 2)


EXPIRED = [(CALL, 110.0, 1.0), (CALL, 100.0, 0.0), (CALL, 90.0, 0.0), (PUT, 90.0, -1.0), (PUT, 100.0, 0.0),
           (PUT, 110.0, 0.0)]  # (flag, spot, delta) at a strike of 100
ZERO_VOL = [(CALL, 90.0, math.exp(-0.03)), (CALL, 110.0, 0.0), (PUT, 110.0, -math.exp(-0.03)),
            (PUT, 90.0, 0.0)]  # (flag, strike, delta) on a forward of about 102


@pytest.mark.parametrize("name, args, expected", [
    *[("bsm_greeks", [flag, s, 100.0, t, 0.05, 0.03, 0.2], [delta] + [0.0] * 4)
      for flag, s, delta in EXPIRED for t in (0.0, -1.0)],
    *[("black76_rho", [flag, s, 100.0, t, 0.05, 0.2], [-t * abs(s - 100.0) * (delta != 0)])
      for flag, s, delta in EXPIRED for t in (0.0, -1.0)],
    *[("bsm_greeks", [flag, 100.0, k, 1.0, 0.05, 0.03, sigma], [delta] + [0.0] * 4)
      for flag, k, delta in ZERO_VOL for sigma in (0.0, -0.1)],
    *[("bsm_greeks", [CALL] + [NAN if i == j else v for j, v in enumerate([100.0, 100.0, 1.0, 0.05, 0.02, 0.2])],
       [NAN] * 5) for i in range(6)],
    *[("black76_rho", [CALL] + [NAN if i == j else v for j, v in enumerate([100.0, 100.0, 1.0, 0.05, 0.2])],
       [rho]) for i, rho in [(0, -0.0), (1, -0.0), (3, -0.0), (2, NAN)]],  # rho follows the price
    ("bsm_delta", [CALL, 0.0, 100.0, 1.0, 0.05, 0.02, 0.2], [0.0]),
    ("bsm_delta", [CALL, 100.0, 0.0, 1.0, 0.05, 0.02, 0.2], [math.exp(-0.02)]),
    ("bsm_vega", [0.0, 100.0, 1.0, 0.05, 0.02, 0.2], [0.0]),
    ("bsm_vega", [100.0, 0.0, 1.0, 0.05, 0.02, 0.2], [0.0]),
    ("bsm_gamma", [0.0, 100.0, 1.0, 0.05, 0.02, 0.2], [NAN]),
    ("bsm_gamma", [100.0, 0.0, 1.0, 0.05, 0.02, 0.2], [0.0]),
])
def test_degenerate_greeks(name, args, expected):
    got = getattr(core, name + "_scalar")(*args)
    assert same_bits(got if isinstance(got, tuple) else [got], expected)
