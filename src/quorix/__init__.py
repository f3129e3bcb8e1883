"""quorix: European option prices, Greeks (first and second order) and implied volatilities (BSM and
Black-76).

The functions are NumPy ufuncs: numbers, lists, arrays of any real dtype and shape, pandas Series,
xarray DataArrays and Dask collections broadcast together, with out= and where=; missing data in
gives NaN out. The strict zero-copy core is `quorix._core`, whose `_scalar` twins are exported here
as they are.
"""

from . import _core
from ._functions import FUNCTIONS as _FUNCTIONS
from ._functions import Greeks, SecondOrder
from ._threads import _register_with_threadpoolctl, get_num_threads, set_num_threads

_SCALARS = [name for name in _core.__all__ if name.endswith("_scalar")]
globals().update(_FUNCTIONS)
globals().update({name: getattr(_core, name) for name in _SCALARS})

__version__ = _core.__version__
__all__ = [*_FUNCTIONS, *_SCALARS, "Greeks", "SecondOrder", "get_num_threads", "set_num_threads"]
_register_with_threadpoolctl()
