"""quorix: European option prices, Greeks and implied volatilities (BSM and Black-76).

The functions take any mix of numbers and array-likes (lists, NumPy arrays of any real dtype and
shape, pandas Series, Dask arrays) and broadcast them together; the strict zero-copy core is
`quorix._core`, whose `_scalar` twins are exported here as they are.
"""

from . import _core
from ._broadcast import FUNCTIONS as _FUNCTIONS
from ._broadcast import Greeks

_SCALARS = [name for name in _core.__all__ if name.endswith("_scalar")]
globals().update(_FUNCTIONS)
globals().update({name: getattr(_core, name) for name in _SCALARS})

__version__ = _core.__version__
__all__ = [*_FUNCTIONS, *_SCALARS, "Greeks"]
