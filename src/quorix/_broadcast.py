"""The functions users call: any mix of numbers and array-likes, broadcast together, on top of
the strict core (equal-length 1-D float64 arrays and int8 flags)."""

from __future__ import annotations

import inspect
import sys
from typing import Any, Callable, NamedTuple

import numpy as np

from . import _core

_FLAG_WORDS = {"c": 1, "call": 1, "p": -1, "put": -1}


class Greeks(NamedTuple):
    """The five Greeks of the combined functions, each shaped like the broadcast inputs."""

    delta: Any
    gamma: Any
    vega: Any
    theta: Any
    rho: Any


def _flag_word(word: str) -> int:
    try:
        return _FLAG_WORDS[word.lower()]
    except KeyError:
        raise ValueError(f"flag must be 'c', 'call', 'p' or 'put' (any case), got {word!r}") from None


def _as_flags(value: Any) -> np.ndarray:
    if isinstance(value, str):
        return np.array(_flag_word(value), dtype=np.int8)
    array = np.asarray(value)
    if array.dtype.kind in "USO" and array.size and all(isinstance(v, str) for v in array.flat):
        return np.vectorize(_flag_word, otypes=[np.int8])(array)
    if array.dtype.kind not in "biu":
        raise TypeError(f"flag must be integers or the words 'c'/'call'/'p'/'put', got dtype {array.dtype}")
    if array.size and (array.min() < -128 or array.max() > 127):
        raise ValueError("flag must lie in -128..127")
    return array.astype(np.int8, copy=False)


def _as_numbers(name: str, value: Any) -> np.ndarray:
    array = np.asarray(value)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be real numbers, got dtype {array.dtype}")
    return array.astype(np.float64, copy=False)


def _module_of(value: Any) -> str:
    return type(value).__module__.partition(".")[0]


def _broadcast_call(core: Callable[..., Any], params: tuple[str, ...], args: tuple[Any, ...]) -> Any:
    if any(_module_of(a) == "dask" for a in args):
        return _dask_call(core, params, args)
    index = next((a.index for a in args if _module_of(a) == "pandas" and hasattr(a, "index")), None)
    arrays = [_as_flags(a) if name == "flag" else _as_numbers(name, a) for name, a in zip(params, args)]
    try:
        shape = np.broadcast_shapes(*(a.shape for a in arrays))
    except ValueError:
        shapes = ", ".join(f"{name} {a.shape}" for name, a in zip(params, arrays))
        raise ValueError(f"shapes do not broadcast: {shapes}") from None
    # Contiguous and aligned (a block that crossed a process boundary may not be): a copy only
    # where a value is repeated by broadcasting or the layout differs.
    flat = [np.require(np.broadcast_to(a, shape), requirements="CA").reshape(-1) for a in arrays]
    result = core(*flat)
    outputs = result if isinstance(result, tuple) else (result,)
    if not shape and index is None:
        shaped: list[Any] = [float(out[0]) for out in outputs]
    elif index is not None:
        pandas = sys.modules["pandas"]
        shaped = [pandas.Series(out.reshape(shape), index=index) for out in outputs]
    else:
        shaped = [out.reshape(shape) for out in outputs]
    return Greeks(*shaped) if isinstance(result, tuple) else shaped[0]


def _dask_call(core: Callable[..., Any], params: tuple[str, ...], args: tuple[Any, ...]) -> Any:
    """A lazy Dask array computed block by block with the same function."""
    import dask.array as da

    arrays = da.broadcast_arrays(*(da.asarray(_as_flags(a) if name == "flag" and _module_of(a) != "dask" else a)
                                   for name, a in zip(params, args)))
    chunks = next(b.chunks for a, b in zip(args, arrays) if _module_of(a) == "dask")
    arrays = [a.rechunk(chunks) for a in arrays]
    if core not in (_core.bsm_greeks, _core.black76_greeks):
        return da.map_blocks(lambda *blocks: _broadcast_call(core, params, blocks), *arrays, dtype=np.float64)
    stacked = da.map_blocks(lambda *blocks: np.stack(_broadcast_call(core, params, blocks)), *arrays,
                            dtype=np.float64, new_axis=0, chunks=((5,), *chunks))
    return Greeks(*(stacked[i] for i in range(5)))


def _make(name: str) -> Callable[..., Any]:
    core = getattr(_core, name)
    params = tuple(core.__text_signature__.strip("()").split(", "))

    def function(*args: Any, **kwargs: Any) -> Any:
        if not kwargs and len(args) == len(params) and type(args[0]) is type(args[-1]) is np.ndarray:
            # The core checks the arguments itself, faster than Python could: what it refuses
            # (another dtype or shape, a length to broadcast, a strided or misaligned array)
            # takes the converting path. A number first or last goes there directly.
            try:
                result = core(*args)  # the zero-copy path: nothing to convert
            except (TypeError, ValueError):
                pass
            else:
                return Greeks(*result) if isinstance(result, tuple) else result
        return _broadcast_call(core, params, _bind(name, params, args, kwargs))

    function.__name__ = function.__qualname__ = name
    function.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
        [inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in params])
    function.__doc__ = (f"{name}({', '.join(params)})\n\nBroadcasting form of quorix._core.{name}: "
                        "numbers, lists, arrays of any real dtype and shape, pandas Series or Dask arrays.")
    return function


def _bind(name: str, params: tuple[str, ...], args: tuple[Any, ...], kwargs: dict[str, Any]) -> tuple[Any, ...]:
    if len(args) > len(params):
        raise TypeError(f"{name}() takes {len(params)} arguments but {len(args)} were given")
    values = dict(zip(params, args))
    for key, value in kwargs.items():
        if key not in params:
            raise TypeError(f"{name}() got an unexpected keyword argument '{key}'")
        if key in values:
            raise TypeError(f"{name}() got multiple values for argument '{key}'")
        values[key] = value
    missing = [p for p in params if p not in values]
    if missing:
        raise TypeError(f"{name}() missing required arguments: {', '.join(missing)}")
    return tuple(values[p] for p in params)


VECTOR_NAMES = [name for name in _core.__all__ if not name.startswith("__") and not name.endswith("_scalar")]
FUNCTIONS = {name: _make(name) for name in VECTOR_NAMES}
