"""The libraries under test, each as a set of operations over one batch of options.

Every contender is a function that takes the batch (a dict of NumPy arrays: flag, s, k, t, r, q,
sigma and price) and returns {operation: callable}; each callable computes the operation over the
whole batch and returns its result. Operations: "price", "greeks" (all five) and "iv". A contender
raises ImportError when its library is not installed. This file also runs under older interpreters
(the py_vollib_vectorized environment), so it keeps to plain Python 3.8.
"""

import math

import numpy as np

PER_OPTION = {"vollib", "quantlib"}  # contenders that loop over options in Python


def quorix(batch, module=None):
    """The public functions (NumPy ufuncs), or with module, the same calls on quorix._core."""
    import quorix as qx
    qx = module or qx
    flag8 = batch["flag"].astype(np.int8)
    market = [batch[name] for name in ("s", "k", "t", "r", "q")]
    k, t, sigma = batch["k"], batch["t"], batch["sigma"]
    if module is None:  # numbers broadcast against the arrays, and the flags as words
        words = np.where(flag8 < 0, "p", "c")
        spot, rate, dividend = 100.0, 0.03, 0.01
        extra = {"price, flag words": lambda: qx.bsm_price(words, *market, sigma),
                 "second-order greeks": lambda: qx.bsm_second_order(flag8, *market, sigma)}
    else:  # the core takes only whole columns
        spot, rate, dividend = (np.full(k.size, value) for value in (100.0, 0.03, 0.01))
        extra = {}
    return dict({
        "price": lambda: qx.bsm_price(flag8, *market, sigma),
        "greeks": lambda: qx.bsm_greeks(flag8, *market, sigma),
        "iv": lambda: qx.bsm_iv(batch["price"], flag8, *market),
        "price, broadcast numbers": lambda: qx.bsm_price(flag8, spot, k, t, rate, dividend, sigma),
    }, **extra)


def quorix_core(batch):
    from quorix import _core
    return quorix(batch, _core)


def numpy_closed_form(batch):
    """The textbook formulas in NumPy with scipy.special.ndtr: how prices are usually vectorised."""
    from scipy.special import ndtr
    flag, s, k, t, r, q, sigma = (batch[n] for n in ("flag", "s", "k", "t", "r", "q", "sigma"))
    phi = np.where(flag < 0, -1.0, 1.0)

    def terms():
        root_t = np.sqrt(t)
        d1 = (np.log(s / k) + (r - q + 0.5 * sigma * sigma) * t) / (sigma * root_t)
        return root_t, d1, d1 - sigma * root_t, np.exp(-q * t), np.exp(-r * t)

    def price():
        _, d1, d2, dq, dr = terms()
        return phi * (s * dq * ndtr(phi * d1) - k * dr * ndtr(phi * d2))

    def greeks():
        root_t, d1, d2, dq, dr = terms()
        density = np.exp(-0.5 * d1 * d1) / math.sqrt(2 * math.pi)
        n1, n2 = ndtr(phi * d1), ndtr(phi * d2)
        delta = phi * dq * n1
        gamma = dq * density / (s * sigma * root_t)
        vega = s * dq * density * root_t
        theta = (-s * dq * density * sigma / (2 * root_t) + phi * (q * s * dq * n1 - r * k * dr * n2))
        rho = phi * k * t * dr * n2
        return delta, gamma, vega, theta, rho

    return {"price": price, "greeks": greeks}


def py_vollib_vectorized(batch):
    import py_vollib_vectorized as pvv
    letters = np.where(batch["flag"] < 0, "p", "c")
    s, k, t, r, q, sigma = (batch[n] for n in ("s", "k", "t", "r", "q", "sigma"))
    return {
        "price": lambda: pvv.vectorized_black_scholes_merton(
            letters, s, k, t, r, sigma, q, return_as="numpy"),
        "greeks": lambda: pvv.get_all_greeks(
            letters, s, k, t, r, sigma, q, model="black_scholes_merton", return_as="dict"),
        "iv": lambda: pvv.vectorized_implied_volatility(
            batch["price"], s, k, t, r, letters, q=q, model="black_scholes_merton",
            on_error="ignore", return_as="numpy"),
    }


def vollib(batch):
    """py_vollib's Let's Be Rational (now published as vollib), one option per call."""
    try:
        from vollib.black_scholes_merton import black_scholes_merton
        from vollib.black_scholes_merton.implied_volatility import implied_volatility
    except ImportError:
        from py_vollib.black_scholes_merton import black_scholes_merton
        from py_vollib.black_scholes_merton.implied_volatility import implied_volatility
    rows = _rows(batch)

    def iv():
        out = []
        for flag, s, k, t, r, q, _, price in rows:
            try:
                out.append(implied_volatility(price, s, k, t, r, q, "p" if flag < 0 else "c"))
            except Exception:  # below intrinsic or above maximum: vollib raises
                out.append(math.nan)
        return np.array(out)

    return {
        "price": lambda: np.array([black_scholes_merton("p" if f < 0 else "c", s, k, t, r, v, q)
                                   for f, s, k, t, r, q, v, _ in rows]),
        "iv": iv,
    }


def quantlib(batch):
    """QuantLib's Black formula and implied std-dev solver on forwards, one option per call."""
    import QuantLib as ql
    rows = [(ql.Option.Put if f < 0 else ql.Option.Call, k, s * math.exp((r - q) * t),
             math.exp(-r * t), t, v, p) for f, s, k, t, r, q, v, p in _rows(batch)]

    def iv():
        out = []
        for kind, k, forward, discount, t, _, price in rows:
            try:
                std = ql.blackFormulaImpliedStdDev(kind, k, forward, price, discount, 0.0,
                                                   ql.nullDouble(), 1e-12, 100)
                out.append(std / math.sqrt(t))
            except RuntimeError:  # QuantLib's solvers raise when they fail
                out.append(math.nan)
        return np.array(out)

    return {
        "price": lambda: np.array([ql.blackFormula(kind, k, fwd, v * math.sqrt(t), d)
                                   for kind, k, fwd, d, t, v, _ in rows]),
        "iv": iv,
    }


def _rows(batch):
    names = ("flag", "s", "k", "t", "r", "q", "sigma", "price")
    return list(zip(*(batch[n].tolist() for n in names)))


CONTENDERS = {
    "quorix": quorix, "quorix_core": quorix_core, "numpy_closed_form": numpy_closed_form,
    "py_vollib_vectorized": py_vollib_vectorized, "vollib": vollib, "quantlib": quantlib,
}
