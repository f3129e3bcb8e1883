"""The public functions: each a NumPy ufunc of the native engine behind the flag conversion."""

from __future__ import annotations

import inspect
from typing import Any, Callable, NamedTuple

from . import _ufuncs
from ._docs import docstring
from ._flags import as_flags


class Greeks(NamedTuple):
    """The five Greeks of the combined functions, each shaped like the broadcast inputs."""

    delta: Any
    gamma: Any
    vega: Any
    theta: Any
    rho: Any

    def to_frame(self) -> Any:
        """A pandas DataFrame with one column per Greek (on the index of Series Greeks)."""
        import numpy as np
        import pandas as pd

        series = isinstance(self.delta, pd.Series)
        return pd.DataFrame({name: value if series else np.ravel(value) for name, value in self._asdict().items()})


def _dask_call(ufunc: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    """Dask inputs: Dask's ufunc dispatch takes arrays for one output; five outputs and dataframe
    columns are mapped block by block (partition by partition) here."""
    combined = ufunc.nout == 5
    if not any(hasattr(a, "map_partitions") and not hasattr(a, "map_blocks") for a in args):
        if not combined:
            return ufunc(*args, **kwargs)
        import dask.array as da

        signature = ",".join(["()"] * ufunc.nin) + "->" + ",".join(["()"] * 5)
        return Greeks(*da.apply_gufunc(ufunc, signature, *args, output_dtypes=[float] * 5, **kwargs))
    import dask.dataframe as dd
    import pandas as pd

    if not combined:
        return dd.map_partitions(ufunc, *args, meta=pd.Series(dtype=float), **kwargs)
    meta = pd.DataFrame({name: pd.Series(dtype=float) for name in Greeks._fields})
    frame = dd.map_partitions(lambda *parts: Greeks(*ufunc(*parts, **kwargs)).to_frame(), *args, meta=meta)
    return Greeks(*(frame[name] for name in Greeks._fields))


# Keywords of a ufunc call, passed on as they are; any other keyword names a parameter.
_UFUNC_KEYWORDS = frozenset({"out", "where", "casting", "order", "dtype", "subok", "signature"})


def _public(name: str, parameters: list[str]) -> Callable[..., Any]:
    ufunc = getattr(_ufuncs, name)
    signature = inspect.Signature(
        [inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in parameters]
        + [inspect.Parameter("kwargs", inspect.Parameter.VAR_KEYWORD)])
    flag = parameters.index("flag") if "flag" in parameters else -1
    combined = ufunc.nout == 5
    one_option = getattr(_ufuncs, name + "_one")

    def function(*args: Any, **kwargs: Any) -> Any:
        if kwargs and not kwargs.keys() <= _UFUNC_KEYWORDS or len(args) != len(parameters):
            bound = signature.bind(*args, **kwargs)
            args, kwargs = tuple(bound.arguments[p] for p in parameters), bound.arguments.get("kwargs", {})
        if not kwargs:
            # Python numbers, or arrays already in the core's form: the same loop without the ufunc
            # machinery's cost per call.
            value = one_option(*args)
            if value is not NotImplemented:
                return Greeks(*value) if combined else value
        if flag >= 0:
            args = (*args[:flag], as_flags(args[flag]), *args[flag + 1:])
        if any(type(a).__module__.startswith("dask") for a in args):
            return _dask_call(ufunc, args, kwargs)
        return Greeks(*ufunc(*args, **kwargs)) if combined else ufunc(*args, **kwargs)

    function.__name__ = function.__qualname__ = name
    function.__module__ = "quorix"
    function.__doc__ = docstring(name, parameters)
    function.__signature__ = signature  # type: ignore[attr-defined]
    function.ufunc = ufunc  # type: ignore[attr-defined]
    return function


# One public function per row of the kernel table.
FUNCTIONS = {name: _public(name, parameters.split(", ")) for name, parameters, _, _ in _ufuncs.kernels()}
