"""Reference values from mpmath, written from the textbook formulas."""

import mpmath as mp

mp.mp.dps = 50
EPS = 2.0**-52


def adaptive(function, *args, digits=30):
    """Evaluates function at rising precision until two evaluations agree to `digits` digits,
    so that cancellation in the textbook formula cannot spoil the reference."""
    dps = 50
    with mp.workdps(dps):
        previous = function(*args)
    while dps < 3200:
        dps *= 2
        with mp.workdps(dps):
            value = function(*args)
        if value == previous or abs(value - previous) <= abs(value) * mp.mpf(10) ** -digits:
            return +value
        previous = value
    raise AssertionError("reference did not converge")


def _black(x, s):
    x, s = mp.mpf(x), mp.mpf(s)
    h, t = x / s, s / 2
    return mp.ncdf(h + t) * mp.exp(x / 2) - mp.ncdf(h - t) * mp.exp(-x / 2)


def normalised_black(x, s):
    """b(x, s) = Phi(x/s + s/2) e^(x/2) - Phi(x/s - s/2) e^(-x/2)."""
    return adaptive(_black, x, s)


def normalised_vega(x, s):
    """db/ds = exp(-(h^2 + t^2)/2) / sqrt(2 pi) with h = x/s, t = s/2."""
    h, t = mp.mpf(x) / s, mp.mpf(s) / 2
    return mp.exp(-(h * h + t * t) / 2) / mp.sqrt(2 * mp.pi)


def black_condition(x, s):
    """|x d ln b/dx| + |s d ln b/ds|, the relative condition number of b."""
    x, s = mp.mpf(x), mp.mpf(s)
    b = normalised_black(x, s)
    h, t = x / s, s / 2
    db_dx = (mp.ncdf(h + t) * mp.exp(x / 2) + mp.ncdf(h - t) * mp.exp(-x / 2)) / 2
    return abs(x * db_dx / b) + abs(s * normalised_vega(x, s) / b)


def bsm_price(put, s, k, t, r, q, sigma):
    """Black-Scholes-Merton price, through b so that deep out-of-the-money values keep their digits."""
    s, k, t, r, q, sigma = map(mp.mpf, (s, k, t, r, q, sigma))
    forward = s * mp.exp((r - q) * t)
    x = mp.log(forward / k)
    b = normalised_black(-x if put else x, sigma * mp.sqrt(t))
    return mp.exp(-r * t) * mp.sqrt(forward * k) * b


def black76_price(put, f, k, t, r, sigma):
    return bsm_price(put, f, k, t, r, r, sigma)


def condition(function, args, step=mp.mpf("1e-12")):
    """sum_i |a_i d ln f/d a_i| over the arguments, by central differences in ln a_i."""
    value = function(*args)
    total = mp.mpf(0)
    for i, a in enumerate(args):
        if a == 0:
            continue
        moved = [list(args), list(args)]
        moved[0][i] = mp.mpf(a) * (1 + step)
        moved[1][i] = mp.mpf(a) * (1 - step)
        total += abs((function(*moved[0]) - function(*moved[1])) / (2 * step * value))
    return total


def ncdf(x):
    """mpmath's normal cdf, 0 or 1 beyond |x| = 1e6 (off by less than e^-1e12)."""
    return mp.ncdf(x) if abs(x) < 1e6 else mp.mpf(x > 0)


def relative_error(got, expected):
    expected = mp.mpf(expected)
    if expected == 0:
        return abs(mp.mpf(got))
    return abs((mp.mpf(got) - expected) / expected)
