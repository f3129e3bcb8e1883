"""Fuzz target for the argument matcher and conversions, driven by atheris (libFuzzer).

    python tests/fuzz_boundary.py -max_total_time=30

Each input becomes one call of one of the 32 functions with a random mix of positional and
keyword arguments: numbers, odd keyword names (lone surrogates, str subclasses, duplicates),
objects whose __float__ or __index__ raises or returns the wrong type, and arrays of every dtype,
dimension, stride and byte order. A call may return or raise one of the boundary's own errors;
anything else (SystemError above all) or a crash is a finding.
"""

import sys
import warnings

import atheris
import numpy as np

import quorix._core as core
from catalogue import FUNCTIONS

EXPECTED = (TypeError, ValueError, OverflowError, RuntimeError)
DTYPES = ["f8", "i1", "f4", "i8", "u1", "?", "O", ">f8", "<f8", "c16", "f2", "M8[s]", "U3"]
SPECIAL = [0.0, -0.0, float("nan"), float("inf"), float("-inf"), 5e-324, 1.7976931348623157e308]


class Planted(Exception):
    """Raised by the odd objects below: the call must pass it through unchanged."""


class Name(str):
    pass


class FloatSubclass(float):
    pass


def odd(protocol, result):
    """An object whose `protocol` method returns `result`, or raises Planted."""
    def method(self):
        if result is Planted:
            raise Planted(protocol)
        return result

    return type("Odd", (), {protocol: method})()


@atheris.instrument_func
def argument(fdp):
    choice = fdp.ConsumeIntInRange(0, 13)
    if choice < 6:
        return [lambda: fdp.PickValueInList(SPECIAL), lambda: fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 80)),
                fdp.ConsumeBool, lambda: FloatSubclass(fdp.ConsumeFloat()), lambda: np.float64(fdp.ConsumeFloat()),
                lambda: np.int8(fdp.ConsumeIntInRange(-128, 127))][choice]()
    if choice < 8:
        results = [Planted, 1.5, 2, "text", None, FloatSubclass(0.5), 2**70, True]
        return odd("__float__" if choice == 6 else "__index__", fdp.PickValueInList(results))
    if choice < 10:
        return fdp.PickValueInList([fdp.ConsumeUnicode(4), fdp.ConsumeBytes(3), None, [1.0, 2.0]])
    if choice == 10:
        return fdp.ConsumeFloat()
    dtype = np.dtype(fdp.PickValueInList(DTYPES))
    shape = tuple(fdp.ConsumeIntInRange(0, 12) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    size = int(np.prod(shape)) if shape else 1
    raw = np.frombuffer(fdp.ConsumeBytes(size * dtype.itemsize).ljust(size * dtype.itemsize, b"\0"), "u1")
    if dtype.kind == "O":
        values = np.array([float(b) for b in raw[:size]], dtype=object).reshape(shape)
    else:
        values = np.zeros(shape, dtype) if dtype.kind in "MU" else raw.view(dtype).reshape(shape).copy()
    if values.ndim >= 1 and fdp.ConsumeBool():
        values = values[:: fdp.ConsumeIntInRange(1, 3)]
    values.flags.writeable = fdp.ConsumeBool()
    return values


@atheris.instrument_func
def well_formed(fdp, name, params):
    """Mostly valid arguments, a few replaced by odd ones, split between positions and keywords."""
    n = fdp.ConsumeIntInRange(0, 20)
    values = []
    for param in params:
        if fdp.ConsumeIntInRange(0, 7) == 0:
            values.append(argument(fdp))
        elif name.endswith("_scalar"):
            values.append(fdp.ConsumeIntInRange(-200, 200) if param == "flag" else fdp.ConsumeFloat())
        elif param == "flag":
            values.append(np.array([fdp.ConsumeIntInRange(-128, 127) for _ in range(n)], np.int8))
        else:
            values.append(np.array([fdp.ConsumeFloat() for _ in range(n)], np.float64))
    split = fdp.ConsumeIntInRange(0, len(params))
    rest = list(zip(params[split:], values[split:]))
    if fdp.ConsumeBool():
        rest.reverse()
    return values[:split], {(Name(p) if fdp.ConsumeBool() else p): v for p, v in rest}


@atheris.instrument_func
def keyword(fdp, params):
    choice = fdp.ConsumeIntInRange(0, 3)
    if choice == 0:
        return fdp.ConsumeUnicode(6)  # may hold lone surrogates
    name = fdp.PickValueInList(params)
    return Name(name) if choice == 1 else name


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    name, params = FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
    if fdp.ConsumeIntInRange(0, 3):
        positional, keywords = well_formed(fdp, name, params)
    else:
        positional = [argument(fdp) for _ in range(fdp.ConsumeIntInRange(0, len(params) + 2))]
        keywords = {keyword(fdp, params): argument(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))}
    try:
        result = getattr(core, name)(*positional, **keywords)
    except (Planted, *EXPECTED):
        return
    values = result if name.endswith(("_greeks", "greeks_scalar")) else (result,)
    if name.endswith("_scalar"):
        assert all(type(v) is float for v in values), (name, result)
    else:
        assert all(type(a) is np.ndarray and a.dtype == np.float64 and a.ndim == 1 for a in values)


if __name__ == "__main__":
    warnings.simplefilter("ignore", DeprecationWarning)  # __float__ returning a float subclass
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
