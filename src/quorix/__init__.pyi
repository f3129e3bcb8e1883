"""Types of the broadcasting functions: numbers give a float, array-likes an array of float64."""

from collections.abc import Sequence
from typing import Any, Final, Generic, NamedTuple, Protocol, TypeAlias, TypeVar, overload

import numpy
import numpy.typing

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
    black76_iv_scalar as black76_iv_scalar,
)

_T = TypeVar("_T")
_F64: TypeAlias = numpy.typing.NDArray[numpy.float64]
_Number: TypeAlias = float

class _SupportsArray(Protocol):
    def __array__(self) -> numpy.ndarray[Any, Any]: ...

# Numbers, arrays (and anything with __array__, as a pandas Series) and nested lists of them;
# not strings, which NumPy's own ArrayLike admits.
_Values: TypeAlias = float | _SupportsArray | Sequence[float] | Sequence[Sequence[float]]
_Flag: TypeAlias = int | str
_Flags: TypeAlias = int | str | _SupportsArray | Sequence[int | str] | Sequence[Sequence[int | str]]

class Greeks(NamedTuple, Generic[_T]):
    delta: _T
    gamma: _T
    vega: _T
    theta: _T
    rho: _T

__version__: Final[str]
__all__: list[str]

@overload
def bsm_price(flag: _Flag, s: _Number, k: _Number, t: _Number, r: _Number, q: _Number, sigma: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_price(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values) -> _F64: ...
@overload
def bsm_delta(flag: _Flag, s: _Number, k: _Number, t: _Number, r: _Number, q: _Number, sigma: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_delta(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values) -> _F64: ...
@overload
def bsm_gamma(s: _Number, k: _Number, t: _Number, r: _Number, q: _Number, sigma: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_gamma(s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values) -> _F64: ...
@overload
def bsm_vega(s: _Number, k: _Number, t: _Number, r: _Number, q: _Number, sigma: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_vega(s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values) -> _F64: ...
@overload
def bsm_theta(flag: _Flag, s: _Number, k: _Number, t: _Number, r: _Number, q: _Number, sigma: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_theta(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values) -> _F64: ...
@overload
def bsm_rho(flag: _Flag, s: _Number, k: _Number, t: _Number, r: _Number, q: _Number, sigma: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_rho(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values) -> _F64: ...
@overload
def bsm_greeks(flag: _Flag, s: _Number, k: _Number, t: _Number, r: _Number, q: _Number, sigma: _Number) -> Greeks[float]: ...  # type: ignore[overload-overlap]
@overload
def bsm_greeks(flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values, sigma: _Values) -> Greeks[_F64]: ...
@overload
def bsm_iv(target_price: _Number, flag: _Flag, s: _Number, k: _Number, t: _Number, r: _Number, q: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def bsm_iv(target_price: _Values, flag: _Flags, s: _Values, k: _Values, t: _Values, r: _Values, q: _Values) -> _F64: ...
@overload
def black76_price(flag: _Flag, f: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_price(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values) -> _F64: ...
@overload
def black76_delta(flag: _Flag, f: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_delta(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values) -> _F64: ...
@overload
def black76_gamma(f: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_gamma(f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values) -> _F64: ...
@overload
def black76_vega(f: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_vega(f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values) -> _F64: ...
@overload
def black76_theta(flag: _Flag, f: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_theta(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values) -> _F64: ...
@overload
def black76_rho(flag: _Flag, f: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_rho(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values) -> _F64: ...
@overload
def black76_greeks(flag: _Flag, f: _Number, k: _Number, t: _Number, r: _Number, sigma: _Number) -> Greeks[float]: ...  # type: ignore[overload-overlap]
@overload
def black76_greeks(flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values, sigma: _Values) -> Greeks[_F64]: ...
@overload
def black76_iv(target_price: _Number, flag: _Flag, f: _Number, k: _Number, t: _Number, r: _Number) -> float: ...  # type: ignore[overload-overlap]
@overload
def black76_iv(target_price: _Values, flag: _Flags, f: _Values, k: _Values, t: _Values, r: _Values) -> _F64: ...
