import math
import random

import mpmath as mp
import numpy as np
import pytest

import quorix._core as core
import reference as ref
from inputs import market_options, same_bits
from reference import EPS

CALL, PUT = 1, -1
TINY = 1e-300


def inversion_condition(b, x, s):
    """b / (s v), the relative condition number of s as a function of b, with the normalised vega
    v = exp(-(x/s)^2/2 - s^2/8)/sqrt(2 pi) written out independently."""
    with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
        return b / (s * np.exp(-0.5 * (x / s) ** 2 - s * s / 8) / math.sqrt(2 * math.pi))


def check_round_trip(kernels, x, s, theta, slack=8.0):
    """Prices (x, s) for the option sign theta and inverts: the error stays within `slack` eps
    (1 + b/(s v)), the first-order effect of rounding b, while rounding b leaves the time value of
    an in-the-money option most of its digits; where the time value is within 1000 eps of b, or b
    within 1000 eps of its maximum, the result is checked by its price instead (backward error).
    Returns the Black-function evaluations of each inversion."""
    b, _ = kernels.normalised_black(theta * x, s)
    got, counts = kernels.normalised_iv(b, x, np.full_like(b, theta))
    priced = b > TINY
    time_value, _ = kernels.normalised_black(-np.abs(x), s)
    headroom = np.exp(theta * x / 2) - b
    linear = priced & (time_value > 1000 * EPS * b) & (headroom > 1000 * EPS * b)
    error = np.abs(got - s) / s
    with np.errstate(divide="ignore", invalid="ignore"):
        units = np.where(linear, error / (EPS * (1 + inversion_condition(b, x, s))), 0.0)
    # Where b itself is ill-conditioned (kappa of its inputs), its own rounding noise, within
    # 8 eps (1 + kappa), moves s by that much times b/(s v): recheck those points with kappa.
    for i in np.flatnonzero(~(units <= slack)):
        kappa = float(ref.black_condition(theta * x[i], s[i]))
        allowed = slack * EPS * (1 + inversion_condition(b[i], x[i], s[i]) * (1 + kappa))
        assert error[i] <= allowed, (x[i], s[i], got[i])
    repriced, _ = kernels.normalised_black(theta * x, got)
    repriced = np.where(np.isinf(got), np.exp(theta * x / 2), repriced)  # +inf: the maximum
    with np.errstate(invalid="ignore"):  # b = 0 where the price underflows
        residual = np.abs(repriced - b) / b
    bad = np.flatnonzero(priced & ~linear & ~(residual <= slack * EPS))
    assert bad.size == 0, list(zip(x[bad][:5], s[bad][:5], got[bad][:5]))
    print(f"worst {units.max():.2f} eps (1 + b/(s v))")
    return counts


def branch_points(kernels, xs):
    """Total volatilities s_c, s_l and s_u of every x: their prices are the branch boundaries."""
    x_hat = -np.abs(xs)
    s_c = np.sqrt(2 * np.abs(xs))
    b_c, v_c = kernels.normalised_black(x_hat, s_c)
    with np.errstate(divide="ignore", invalid="ignore"):
        s_l = s_c - b_c / v_c
        s_u = s_c + (np.exp(x_hat / 2) - b_c) / v_c
    return [(xs, a) for a in (s_c, s_l, s_u)]


# Black-function evaluations per inversion with a time value: two for the branch bounds and one
# per Householder step, so at most six; a first guess that got worse would still converge, in more
# steps, and show in the mean (4.84 for calls and 4.87 for puts on the grid below).
MAX_EVALUATIONS, MEAN_EVALUATIONS = 6, 4.9


@pytest.mark.parametrize("theta", [1.0, -1.0])
def test_normalised_round_trip(kernels, theta):
    xs = np.concatenate([np.linspace(-100, 100, 321), [-1e-8, -1e-3, 0.0, 1e-3, 0.1, 0.11]])
    # A geometric grid rounded correctly, so the same on every machine: NumPy's geomspace takes
    # the last bits from the processor's vector exp.
    ss = np.array([float(mp.mpf("1e-6") * mp.mpf("2e7") ** (mp.mpf(i) / 320)) for i in range(321)])
    x, s = (a.ravel() for a in np.meshgrid(xs, ss))
    evaluations = check_round_trip(kernels, x, s, theta)
    edges = np.concatenate([-np.geomspace(1e-6, 100, 400), np.geomspace(1e-6, 100, 400)])
    for x, s in branch_points(kernels, edges):
        keep = np.isfinite(s) & (s > 1e-6)
        for side in (1 - 1e-9, 1.0, 1 + 1e-9):  # each boundary, and either side of it
            check_round_trip(kernels, x[keep], s[keep] * side, theta)
    timed = evaluations[evaluations > 0]
    assert timed.max() <= MAX_EVALUATIONS and timed.mean() <= MEAN_EVALUATIONS


def mp_root(beta, x, start):
    """The s with b(x, s) = beta at 50 digits: Newton's method on ln b, kept inside a bracket."""
    beta, log_beta = mp.mpf(beta), mp.log(beta)
    low, high = mp.mpf(start) / 2, mp.mpf(start) * 2
    while ref.normalised_black(x, low) > beta:
        low /= 2
    while ref.normalised_black(x, high) < beta:
        high *= 2
    s = mp.mpf(start)
    for _ in range(200):
        b, v = ref.normalised_black(x, s), ref.normalised_vega(x, s)
        if b > beta:
            high = s
        else:
            low = s
        step = (mp.log(b) - log_beta) * b / v
        if abs(step) < s * mp.mpf(10) ** -40:
            return s - step
        s = s - step if low < s - step < high else (low + high) / 2
    raise AssertionError("no convergence")


def independent_cases():
    """(x, s), or (x, None) for half the maximum price e^(x/2)/2."""
    rng = random.Random(17)
    cases = []
    while len(cases) < 120:
        x, s = rng.uniform(-40, 0), 10 ** rng.uniform(-3, 1.2)
        if abs(x / s) < 36:  # keeps b above 1e-300
            cases.append((x, s))
    cases += [(-20.0, 1.0), (0.0, 1e-5), (0.0, 0.25), (0.0, 1.35), (0.0, 3.0), (-1e-3, 0.05), (-5.0, 12.0)]
    return cases + [(x, None) for x in (-50.0, -8.0, -1.0, -1e-2, 0.0)]


@pytest.mark.parametrize("x, s", independent_cases())
def test_inverts_mpmath_prices_to_the_mpmath_root(kernels, x, s):
    beta = math.exp(x / 2) / 2 if s is None else float(ref.normalised_black(x, s))
    root = mp_root(beta, x, 2 * math.sqrt(2 * abs(x)) + 1 if s is None else s)
    got, _ = kernels.normalised_iv([beta], [x], [1.0])
    condition = ref.normalised_black(x, root) / (root * ref.normalised_vega(x, root))
    assert ref.relative_error(got[0], root) <= 8 * EPS * (1 + condition)


@pytest.mark.parametrize("case", market_options(60, 6, log_t=(-2, 1), sigma=lambda rng, t: rng.uniform(0.05, 1.5)))
def test_market_inversion_of_mpmath_prices(case):
    flag, s, k, t, r, q, sigma = case
    price = float(ref.bsm_price(flag < 0, s, k, t, r, q, sigma))
    if price < TINY:
        pytest.skip("below the normal range")
    got = core.bsm_iv_scalar(price, flag, s, k, t, r, q)
    # The mpmath root of the same equation: total volatility of the rounded price, over sqrt t.
    forward = mp.mpf(s) * mp.exp((mp.mpf(r) - q) * t)
    x = mp.log(forward / k) * (1 if flag >= 0 else -1)
    beta = whole = mp.mpf(price) * mp.exp(mp.mpf(r) * t) / mp.sqrt(forward * k)
    if x > 0:  # an in-the-money option inverts through its time value, so take the put twin
        time_value = beta - (mp.exp(x / 2) - mp.exp(-x / 2))
        if time_value < 1000 * EPS * beta:
            pytest.skip("the rounded price keeps too few digits of its time value")
        beta, x = time_value, -x
    total = mp_root(beta, x, sigma * math.sqrt(t))
    root = total / mp.sqrt(t)
    # The inversion's condition b/(s v) (the vega is even in x), and the price's on its inputs.
    inversion = whole / (total * ref.normalised_vega(x, total))
    kappa = ref.condition(lambda *a: ref.bsm_price(flag < 0, *a), (s, k, t, r, q, float(root)))
    assert ref.relative_error(got, root) <= 8 * EPS * (1 + inversion * (1 + kappa))


S, K, T, R, Q = 100.0, 100.0, 1.0, 0.05, 0.02
SD, KD = S * math.exp(-Q * T), K * math.exp(-R * T)


INVALID = {0: [math.nan, math.inf, -1e-300], 2: [math.nan, math.inf, 0.0], 3: [math.nan, -math.inf, 0.0, -1.0],
           4: [math.nan, math.inf, 0.0, -1.0], 5: [math.nan, -math.inf], 6: [math.nan, math.inf]}
NAN_CASES = [(10.0, CALL, S, K, T, R, Q)[:i] + (v,) + (10.0, CALL, S, K, T, R, Q)[i + 1:]
             for i, values in INVALID.items() for v in values] + [
    (-math.inf, PUT, S, K, T, R, Q), (10.0, PUT, -1.0, K, T, R, Q),
    (SD + 2e-12, CALL, S, K, T, R, Q), (KD + 2e-12, PUT, S, K, T, R, Q),
    (SD, CALL, S, K, T, R, Q),                                   # at the maximum
    (SD + 0.5e-12, CALL, S, K, T, R, Q),                         # within the slack, at the maximum
    (0.0, CALL, 150.0, K, T, R, Q),                              # in the money, no time value
    (150.0 * math.exp(-Q) - KD - 2e-12, CALL, 150.0, K, T, R, Q),  # below intrinsic
]
ZERO_CASES = [
    (0.0, CALL, 90.0), (-0.0, CALL, 80.0), (0.0, PUT, 120.0),             # no time value
    (150.0 * math.exp(-Q) - KD, CALL, 150.0),                             # exactly intrinsic
    (150.0 * math.exp(-Q) - KD - 0.5e-12, CALL, 150.0),                   # within the slack below
    (KD - 50.0 * math.exp(-Q) - 0.5e-12, PUT, 50.0),
]


@pytest.mark.parametrize("args, expected", [(case, math.nan) for case in NAN_CASES] +
                         [((*case, K, T, R, Q), 0.0) for case in ZERO_CASES] +
                         [((SD * (1 - 1e-9), CALL, S, K, T, R, Q), "finite")])
def test_edge_prices(args, expected):
    got = core.bsm_iv_scalar(*args)
    assert math.isfinite(got) if expected == "finite" else same_bits([got], [expected])


@pytest.mark.parametrize("beta, x, theta, expected", [
    (1.0, 0.0, 1.0, math.inf), (2.0, -1.0, 1.0, math.inf), (0.0, -1.0, 1.0, 0.0), (-1.0, 0.0, 1.0, 0.0),
    (2 * math.sinh(0.5), 1.0, 1.0, 0.0),      # in the money at exactly its intrinsic value
])
def test_normalised_special_results(kernels, beta, x, theta, expected):
    got, _ = kernels.normalised_iv([beta], [x], [theta])
    assert got[0] == expected
