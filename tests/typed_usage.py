"""Calls of the typed API, checked by mypy --strict and pyright --strict in the tests (never
imported by pytest)."""

import numpy as np
import numpy.typing as npt
import pandas as pd

import quorix

price: float = quorix.bsm_price("c", 100.0, 110.0, 0.5, 0.03, 0.01, 0.2)
chain: npt.NDArray[np.float64] = quorix.bsm_price("p", 100.0, [90.0, 110.0], 0.5, 0.03, 0.01, 0.2)
vol: npt.NDArray[np.float64] = quorix.black76_iv(chain, -1, 100.0, np.array([90.0, 110.0]), 0.5, 0.03)
into = np.empty(2)
written: npt.NDArray[np.float64] = quorix.bsm_vega(100.0, chain, 0.5, 0.03, 0.01, 0.2, out=into, where=chain > 1)
strikes = pd.Series([90.0, 110.0], index=["a", "b"])
labelled: "pd.Series[float]" = quorix.bsm_delta("c", 100.0, strikes, 0.5, 0.03, 0.01, 0.2)
greeks: quorix.Greeks[float] = quorix.bsm_greeks(1, 100.0, 110.0, 0.5, 0.03, 0.01, 0.2)
surface: quorix.Greeks[npt.NDArray[np.float64]] = quorix.black76_greeks("c", 100.0, chain, 0.5, 0.03, 0.2)
frame: pd.DataFrame = quorix.bsm_greeks("p", 100.0, strikes, 0.5, 0.03, 0.01, 0.2).to_frame()
twin: float = quorix.bsm_vega_scalar(100.0, 110.0, 0.5, 0.03, 0.01, 0.2)
