"""The module's functions and their parameters, as callers see them."""

import quorix._ufuncs

BSM_FLAGGED = ["flag", "s", "k", "t", "r", "q", "sigma"]
BSM_PLAIN = ["s", "k", "t", "r", "q", "sigma"]
BSM_IV = ["target_price", "flag", "s", "k", "t", "r", "q"]
B76_FLAGGED = ["flag", "f", "k", "t", "r", "sigma"]
B76_PLAIN = ["f", "k", "t", "r", "sigma"]
B76_IV = ["target_price", "flag", "f", "k", "t", "r"]

FUNCTIONS = [
    ("bsm_price", BSM_FLAGGED), ("bsm_delta", BSM_FLAGGED), ("bsm_gamma", BSM_PLAIN),
    ("bsm_vega", BSM_PLAIN), ("bsm_theta", BSM_FLAGGED), ("bsm_rho", BSM_FLAGGED),
    ("bsm_greeks", BSM_FLAGGED), ("bsm_iv", BSM_IV),
    ("black76_price", B76_FLAGGED), ("black76_delta", B76_FLAGGED), ("black76_gamma", B76_PLAIN),
    ("black76_vega", B76_PLAIN), ("black76_theta", B76_FLAGGED), ("black76_rho", B76_FLAGGED),
    ("black76_greeks", B76_FLAGGED), ("black76_iv", B76_IV),
]
VECTOR = list(FUNCTIONS)
FUNCTIONS += [(name + "_scalar", params) for name, params in FUNCTIONS]


THRESHOLDS = {name: threshold for name, _, _, threshold in quorix._ufuncs.kernels()}
# The kernel table's rows that only the public package has: (index, name, parameters).
PUBLIC_ONLY = [(i, name, params.split(", ")) for i, (name, params, _, _) in enumerate(quorix._ufuncs.kernels())
               if name not in dict(VECTOR)]


def threshold(name):
    """The smallest length at which a vector function runs on the worker pool, as the kernel table
    states it."""
    return THRESHOLDS[name]
