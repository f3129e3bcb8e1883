"""Random option inputs for the vector functions, and bit-level comparison of results."""

import math
import random

import numpy as np

import quorix._core as core

ODD_VALUES = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, -1.0, 1e-300, 1e300])


def make_inputs(params, n, seed=0):
    """Arrays for each parameter: realistic options with about 1% odd values mixed in."""
    rng = np.random.default_rng(seed)
    spot = 100.0 * np.exp(rng.uniform(-0.5, 0.5, n))
    columns = {
        "flag": rng.choice(np.array([-1, 1, 0, -128, 5], dtype=np.int8), n),
        "s": spot, "f": spot,
        "k": 100.0 * np.exp(rng.uniform(-3, 3, n)),
        "t": rng.uniform(-0.1, 5, n),
        "r": rng.uniform(-0.05, 0.15, n),
        "q": rng.uniform(-0.02, 0.1, n),
        "sigma": rng.uniform(-0.05, 1.5, n),
    }
    for name in ("s", "f", "k", "t", "r", "q", "sigma"):
        odd = rng.random(n) < 0.01
        columns[name][odd] = rng.choice(ODD_VALUES, odd.sum())
    if "target_price" in params:
        flag, s, k, t, r = (columns[p] for p in ("flag", "s", "k", "t", "r"))
        q = columns["q"] if "q" in params else r
        sigma = np.abs(columns["sigma"]) + 0.01
        price = core.bsm_price(flag, s, k, np.abs(t) + 0.01, r, q, sigma)
        columns["target_price"] = price * rng.choice([1.0, 1.0, 1.0, 0.5, 1.5], n)
    return [columns[p] for p in params]


def market_options(count, seed, log_t=(-3.0, 1.3), sigma=lambda rng, t: 10 ** rng.uniform(-2.5, 0.5)):
    """(flag, s, k, t, r, q, sigma) tuples of market-like options on a spot of 100, strikes e^-3
    to e^3 times it."""
    rng, options = random.Random(seed), []
    for _ in range(count):
        flag, k, t = rng.choice([1, -1]), 100.0 * math.exp(rng.uniform(-3, 3)), 10 ** rng.uniform(*log_t)
        options.append((flag, 100.0, k, t, rng.uniform(-0.05, 0.15), rng.uniform(-0.02, 0.1), sigma(rng, t)))
    return options


CANONICAL_NAN = np.uint64(0x7FF8000000000000)


def same_bits(a, b):
    """Equal bit for bit, NaN included: every NaN a kernel returns is the canonical quiet NaN."""
    a, b = (np.asarray(v, dtype=np.float64).view(np.uint64) for v in (a, b))
    return np.array_equal(a, b)


class Name(str):
    """A str subclass, as a keyword or a name may be."""


def odd(**methods):
    """An object whose protocol methods return the given values, or raise them (exception classes,
    raised with the method's name)."""
    def method(name, result):
        def call(self):
            if isinstance(result, type) and issubclass(result, BaseException):
                raise result(name)
            return result
        return call

    return type("Odd", (), {name: method(name, result) for name, result in methods.items()})()


GREEKS = ("delta", "gamma", "vega", "theta", "rho")


def single_greeks(model, args):
    """The five single Greeks of one option, args = (flag, *inputs); gamma and vega take no flag."""
    return [getattr(core, f"{model}_{name}_scalar")(*args[name in ("gamma", "vega"):]) for name in GREEKS]


def as_results(result):
    """A vector function's result as a tuple of arrays (one, or five for the Greeks)."""
    return result if isinstance(result, tuple) else (result,)
