"""Types of the public functions: numbers give a float, pandas Series a Series, other array-likes
an array of float64; the combined Greeks a Greeks of them."""

from collections.abc import Sequence
from typing import Any, Final, Generic, NamedTuple, Protocol, TypeAlias, TypeVar, overload

import numpy
import numpy.typing
import pandas

from ._core import (
    bsm_price_scalar as bsm_price_scalar,
    bsm_delta_scalar as bsm_delta_scalar,
    bsm_gamma_scalar as bsm_gamma_scalar,
    bsm_vega_scalar as bsm_vega_scalar,
    bsm_theta_scalar as bsm_theta_scalar,
    bsm_rho_scalar as bsm_rho_scalar,
    bsm_greeks_scalar as bsm_greeks_scalar,
    bsm_iv_scalar as bsm_iv_scalar,
    black76_price_scalar as black76_price_scalar,
    black76_delta_scalar as black76_delta_scalar,
    black76_gamma_scalar as black76_gamma_scalar,
    black76_vega_scalar as black76_vega_scalar,
    black76_theta_scalar as black76_theta_scalar,
    black76_rho_scalar as black76_rho_scalar,
    black76_greeks_scalar as black76_greeks_scalar,
    black76_iv_scalar as black76_iv_scalar
)

_T = TypeVar("_T")
_F64: TypeAlias = numpy.typing.NDArray[numpy.float64]

class _SupportsArray(Protocol):
    def __array__(self) -> numpy.ndarray[Any, Any]: ...

# Numbers, arrays (anything with __array__) and nested lists of them; not strings, which NumPy's
# own ArrayLike admits. A Series gives a Series; mixed with other array-likes it is one of them.
_Values: TypeAlias = float | _SupportsArray | Sequence[float] | Sequence[Sequence[float]]
_Flag: TypeAlias = int | str
_Flags: TypeAlias = int | str | _SupportsArray | Sequence[int | str] | Sequence[Sequence[int | str]]
_Series: TypeAlias = pandas.Series[Any]
_Out: TypeAlias = _F64 | tuple[_F64, ...] | None
_Where: TypeAlias = bool | numpy.typing.NDArray[numpy.bool_]

class Greeks(NamedTuple, Generic[_T]):
    delta: _T
    gamma: _T
    vega: _T
    theta: _T
    rho: _T
    def to_frame(self) -> pandas.DataFrame: ...

class SecondOrder(NamedTuple, Generic[_T]):
    vanna: _T
    volga: _T
    charm: _T
    speed: _T
    def to_frame(self) -> pandas.DataFrame: ...

__version__: Final[str]
__all__: list[str]

@overload
def bsm_price(flag: _Flag, s: float, k: float, t: float, r: float, q: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_price(flag: _Flag | _Series, s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_price(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bsm_delta(flag: _Flag, s: float, k: float, t: float, r: float, q: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_delta(flag: _Flag | _Series, s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_delta(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bsm_gamma(s: float, k: float, t: float, r: float, q: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_gamma(s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_gamma(s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bsm_vega(s: float, k: float, t: float, r: float, q: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_vega(s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_vega(s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bsm_theta(flag: _Flag, s: float, k: float, t: float, r: float, q: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_theta(flag: _Flag | _Series, s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_theta(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bsm_rho(flag: _Flag, s: float, k: float, t: float, r: float, q: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_rho(flag: _Flag | _Series, s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_rho(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bsm_greeks(flag: _Flag, s: float, k: float, t: float, r: float, q: float, sigma: float) -> Greeks[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_greeks(flag: _Flag | _Series, s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> Greeks[pandas.Series[float]]: ...  # type: ignore[overload-overlap]
@overload
def bsm_greeks(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> Greeks[_F64]: ...
@overload
def bsm_iv(target_price: float, flag: _Flag, s: float, k: float, t: float, r: float, q: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_iv(target_price: float | _Series, flag: _Flag | _Series, s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_iv(target_price: _Values, flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def black76_price(flag: _Flag, f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_price(flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_price(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def black76_delta(flag: _Flag, f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_delta(flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_delta(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def black76_gamma(f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_gamma(f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_gamma(f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def black76_vega(f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_vega(f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_vega(f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def black76_theta(flag: _Flag, f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_theta(flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_theta(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def black76_rho(flag: _Flag, f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_rho(flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_rho(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def black76_greeks(flag: _Flag, f: float, k: float, t: float, r: float, sigma: float) -> Greeks[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_greeks(flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> Greeks[pandas.Series[float]]: ...  # type: ignore[overload-overlap]
@overload
def black76_greeks(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> Greeks[_F64]: ...
@overload
def black76_iv(target_price: float, flag: _Flag, f: float, k: float, t: float, r: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_iv(target_price: float | _Series, flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_iv(target_price: _Values, flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...

@overload
def bsm_vanna(s: float, k: float, t: float, r: float, q: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_vanna(s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_vanna(s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bsm_volga(s: float, k: float, t: float, r: float, q: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_volga(s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_volga(s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bsm_charm(flag: _Flag, s: float, k: float, t: float, r: float, q: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_charm(flag: _Flag | _Series, s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_charm(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bsm_speed(s: float, k: float, t: float, r: float, q: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_speed(s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_speed(s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bsm_dividend_rho(flag: _Flag, s: float, k: float, t: float, r: float, q: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_dividend_rho(flag: _Flag | _Series, s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_dividend_rho(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bsm_second_order(flag: _Flag, s: float, k: float, t: float, r: float, q: float, sigma: float) -> SecondOrder[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_second_order(flag: _Flag | _Series, s: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, q: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> SecondOrder[pandas.Series[float]]: ...  # type: ignore[overload-overlap]
@overload
def bsm_second_order(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> SecondOrder[_F64]: ...
@overload
def black76_vanna(f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_vanna(f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_vanna(f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def black76_volga(f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_volga(f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_volga(f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def black76_charm(flag: _Flag, f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_charm(flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_charm(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def black76_speed(f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_speed(f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_speed(f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def black76_second_order(flag: _Flag, f: float, k: float, t: float, r: float, sigma: float) -> SecondOrder[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_second_order(flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> SecondOrder[pandas.Series[float]]: ...  # type: ignore[overload-overlap]
@overload
def black76_second_order(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> SecondOrder[_F64]: ...

@overload
def bachelier_price(flag: _Flag, f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bachelier_price(flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bachelier_price(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bachelier_delta(flag: _Flag, f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bachelier_delta(flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bachelier_delta(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bachelier_gamma(f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bachelier_gamma(f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bachelier_gamma(f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bachelier_vega(f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bachelier_vega(f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bachelier_vega(f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bachelier_theta(flag: _Flag, f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bachelier_theta(flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bachelier_theta(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bachelier_rho(flag: _Flag, f: float, k: float, t: float, r: float, sigma: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def bachelier_rho(flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> pandas.Series[float]: ...  # type: ignore[overload-overlap]
@overload
def bachelier_rho(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> _F64: ...
@overload
def bachelier_greeks(flag: _Flag, f: float, k: float, t: float, r: float, sigma: float) -> Greeks[float]: ...  # type: ignore[overload-overlap]
@overload
def bachelier_greeks(flag: _Flag | _Series, f: float | _Series, k: float | _Series, t: float | _Series, r: float | _Series, sigma: float | _Series, *, out: _Out = None, where: _Where = True) -> Greeks[pandas.Series[float]]: ...  # type: ignore[overload-overlap]
@overload
def bachelier_greeks(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values, *, out: _Out = None, where: _Where = True) -> Greeks[_F64]: ...

def set_num_threads(n: int) -> None: ...
def get_num_threads() -> int: ...
