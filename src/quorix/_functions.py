"""The public functions: each a NumPy ufunc of the native engine behind the flag conversion."""

from __future__ import annotations

import inspect
from typing import Any, Callable, NamedTuple

from . import _ufuncs
from ._docs import docstring
from ._flags import as_flags


def _to_frame(greeks: Any) -> Any:
    """A pandas DataFrame with one column per Greek (on the index of Series Greeks)."""
    import numpy as np
    import pandas as pd

    series = isinstance(greeks[0], pd.Series)
    return pd.DataFrame({name: value if series else np.ravel(value) for name, value in greeks._asdict().items()})


class Greeks(NamedTuple):
    """The five Greeks of the combined functions, each shaped like the broadcast inputs."""

    delta: Any
    gamma: Any
    vega: Any
    theta: Any
    rho: Any

    to_frame = _to_frame


class SecondOrder(NamedTuple):
    """The second-order Greeks of the combined functions, each shaped like the broadcast inputs."""

    vanna: Any
    volga: Any
    charm: Any
    speed: Any

    to_frame = _to_frame


# The named tuple of each combined function, by its number of outputs.
_COMBINED = {5: Greeks, 4: SecondOrder}


def _dask_call(ufunc: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    """Dask inputs: Dask's ufunc dispatch takes arrays for one output; several outputs and
    dataframe columns are mapped block by block (partition by partition) here."""
    combined = _COMBINED.get(ufunc.nout)
    if not any(hasattr(a, "map_partitions") and not hasattr(a, "map_blocks") for a in args):
        if combined is None:
            return ufunc(*args, **kwargs)
        import dask.array as da

        signature = ",".join(["()"] * ufunc.nin) + "->" + ",".join(["()"] * ufunc.nout)
        return combined(*da.apply_gufunc(ufunc, signature, *args, output_dtypes=[float] * ufunc.nout, **kwargs))
    import dask.dataframe as dd
    import pandas as pd

    if combined is None:
        return dd.map_partitions(ufunc, *args, meta=pd.Series(dtype=float), **kwargs)
    meta = pd.DataFrame({name: pd.Series(dtype=float) for name in combined._fields})
    frame = dd.map_partitions(lambda *parts: combined(*ufunc(*parts, **kwargs)).to_frame(), *args, meta=meta)
    return combined(*(frame[name] for name in combined._fields))


# Keywords of a ufunc call, passed on as they are; any other keyword names a parameter.
_UFUNC_KEYWORDS = frozenset({"out", "where", "casting", "order", "dtype", "subok", "signature"})


def _public(name: str, parameters: list[str]) -> Callable[..., Any]:
    ufunc = getattr(_ufuncs, name)
    signature = inspect.Signature(
        [inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in parameters]
        + [inspect.Parameter("kwargs", inspect.Parameter.VAR_KEYWORD)])
    flag = parameters.index("flag") if "flag" in parameters else -1
    combined = _COMBINED.get(ufunc.nout)
    direct = getattr(_ufuncs, name + "_direct")

    def finish(value: Any) -> Any:
        return value if combined is None else combined(*value)

    def function(*args: Any, **kwargs: Any) -> Any:
        if kwargs and not kwargs.keys() <= _UFUNC_KEYWORDS or len(args) != len(parameters):
            bound = signature.bind(*args, **kwargs)
            args, kwargs = tuple(bound.arguments[p] for p in parameters), bound.arguments.get("kwargs", {})
        # Python numbers, or arrays already in the core's form (flag words once made int8 flags):
        # the same loop without the ufunc machinery's cost per call.
        value = NotImplemented if kwargs else direct(*args)
        if flag >= 0 and value is NotImplemented:
            flags = as_flags(args[flag])
            if flags is not args[flag]:
                args = (*args[:flag], flags, *args[flag + 1:])
                if not kwargs:
                    value = direct(*args)
        if value is not NotImplemented:
            return finish(value)
        if any(type(a).__module__.startswith("dask") for a in args):
            return _dask_call(ufunc, args, kwargs)
        return finish(ufunc(*args, **kwargs))

    function.__name__ = function.__qualname__ = name
    function.__module__ = "quorix"
    function.__doc__ = docstring(name, parameters)
    function.__signature__ = signature  # type: ignore[attr-defined]
    function.ufunc = ufunc  # type: ignore[attr-defined]
    return function


# One public function per row of the kernel table.
FUNCTIONS = {name: _public(name, parameters.split(", ")) for name, parameters, _, _ in _ufuncs.kernels()}
