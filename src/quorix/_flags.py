"""Option flags as the kernels take them (int8: negative for a put) from what callers write."""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _ufuncs

# NumPy scalars: a Python int among Python numbers would be taken as int64, which the loops
# (int8 flags) do not take.
_CALL, _PUT = np.int8(1), np.int8(-1)
_WORDS = {"c": _CALL, "call": _CALL, "p": _PUT, "put": _PUT}
_BOOL = ("flag must be an integer (negative: put) or a word ('c', 'call', 'p', 'put'), not a bool: "
         "would True mean a call or a put?")


def as_flags(flag: Any) -> Any:
    """The flags of `flag`, keeping its kind: a number for a number or word, a Series on its index
    for a Series, a lazy collection for a Dask one, a DataArray for a DataArray."""
    kind = type(flag)
    if kind is int:
        return _PUT if flag < 0 else _CALL
    if kind is str:
        try:
            return _WORDS[flag.lower()]
        except KeyError:
            raise ValueError(f"flag must be 'c', 'call', 'p' or 'put' (any case), got {flag!r}") from None
    library = kind.__module__.partition(".")[0]
    if library == "pandas" and hasattr(flag, "index"):
        return _series_flags(flag)
    if library == "dask":
        if hasattr(flag, "map_blocks"):
            return flag.map_blocks(_array_flags, dtype=np.int8)
        return flag.map_partitions(_series_flags, meta=(flag.name, "int8"))
    if library == "xarray":
        return flag.copy(data=as_flags(flag.data))
    return _array_flags(np.asarray(flag))


def _array_flags(array: np.ndarray) -> np.ndarray:
    kind = array.dtype.kind
    if kind == "b":
        raise TypeError(_BOOL)
    if kind in "iu":
        # The kernels read the sign of an int8; wider integers are reduced to it.
        return array if array.dtype == np.int8 else -(array < 0).view(np.int8)
    if kind in "USO":
        return _ufuncs.flag_codes(array)
    raise TypeError(f"flag must be integers or the words 'c'/'call'/'p'/'put', got dtype {array.dtype}")


def _series_flags(series: Any) -> Any:
    if series.dtype.name == "category":  # the words once per category in use
        codes = series.cat.codes.to_numpy()
        if codes.size and codes.min() < 0:
            raise ValueError("flag must be 'c', 'call', 'p' or 'put' (any case), got a missing value")
        categories = np.asarray(series.cat.categories, dtype=object)
        used = np.bincount(codes, minlength=categories.size) > 0
        table = np.zeros(categories.size, dtype=np.int8)
        table[used] = _array_flags(categories[used])
        values = table[codes]
    else:
        arrow = _arrow_flags(series.array)
        values = _array_flags(series.to_numpy()) if arrow is None else arrow
    return type(series)(values, index=series.index, name=series.name, copy=False)


def _arrow_flags(values: Any) -> Any:
    """The flags of an Arrow-backed column of strings, read from its buffers (making its Python
    strings would cost more than pricing), or None for other columns."""
    if not hasattr(values, "__arrow_array__"):
        return None
    import pyarrow as pa

    column = pa.chunked_array(values.__arrow_array__())
    large = pa.types.is_large_string(column.type)
    if not (large or pa.types.is_string(column.type)):
        return None
    parts = [np.empty(0, dtype=np.int8)]
    for chunk in column.chunks:
        if chunk.null_count:
            raise ValueError("flag must be 'c', 'call', 'p' or 'put' (any case), got a missing value")
        _, offsets, data = chunk.buffers()
        offsets = np.frombuffer(offsets, dtype=np.int64 if large else np.int32)[chunk.offset:chunk.offset + len(chunk) + 1]
        data = np.frombuffer(data, dtype=np.uint8) if data is not None else np.empty(0, dtype=np.uint8)
        parts.append(_ufuncs.utf8_flag_codes(offsets, data))
    return np.concatenate(parts)
