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


def odd(protocol, result):
    """An object whose `protocol` method (__float__ or __index__) returns `result`, or raises
    Planted when `result` is Planted."""
    def method(self):
        if result is Planted:
            raise Planted(protocol)
        return result

    return type(f"Odd{protocol.strip('_').title()}", (), {protocol: method})()


class FloatSubclass(float):
    pass


@atheris.instrument_func
def number(fdp):
    choice = fdp.ConsumeIntInRange(0, 7)
    if choice == 0:
        return fdp.PickValueInList(SPECIAL)
    if choice == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 80))  # wider than any C integer at times
    if choice == 2:
        return fdp.ConsumeBool()
    if choice == 3:
        return FloatSubclass(fdp.ConsumeFloat())
    if choice == 4:
        return np.float64(fdp.ConsumeFloat()) if fdp.ConsumeBool() else np.int8(fdp.ConsumeIntInRange(-128, 127))
    return fdp.ConsumeFloat()


@atheris.instrument_func
def odd_object(fdp):
    results = [Planted, 1.5, 2, "text", None, FloatSubclass(0.5), 2**70, True]
    choice = fdp.ConsumeIntInRange(0, 5)
    if choice < 2:
        return odd("__float__" if choice == 0 else "__index__", fdp.PickValueInList(results))
    if choice == 2:
        return fdp.ConsumeUnicode(4)
    if choice == 3:
        return fdp.ConsumeBytes(3)
    if choice == 4:
        return None
    return [1.0, 2.0]


@atheris.instrument_func
def array(fdp):
    dtype = np.dtype(fdp.PickValueInList(DTYPES))
    shape = tuple(fdp.ConsumeIntInRange(0, 12) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    size = int(np.prod(shape)) if shape else 1
    width = size * dtype.itemsize
    raw = np.frombuffer(fdp.ConsumeBytes(width).ljust(width, b"\0"), dtype="u1")
    if dtype.kind == "O":
        values = np.array([float(b) for b in raw[:size]], dtype=object).reshape(shape)
    elif dtype.kind in "MU":
        values = np.zeros(shape, dtype=dtype)
    else:
        values = raw.view(dtype).reshape(shape).copy()
    if values.ndim >= 1 and fdp.ConsumeBool():
        values = values[:: fdp.ConsumeIntInRange(1, 3)]
    if fdp.ConsumeBool():
        values.flags.writeable = False
    return values


@atheris.instrument_func
def argument(fdp):
    choice = fdp.ConsumeIntInRange(0, 9)
    if choice < 4:
        return number(fdp)
    if choice < 6:
        return odd_object(fdp)
    return array(fdp)


@atheris.instrument_func
def well_formed(fdp, name, params):
    """Mostly valid arguments, a few replaced by odd ones, split between positions and keywords."""
    n = fdp.ConsumeIntInRange(0, 20)
    values = []
    for param in params:
        if fdp.ConsumeIntInRange(0, 7) == 0:
            values.append(argument(fdp))
        elif name.endswith("_scalar"):
            values.append(fdp.ConsumeIntInRange(-200, 200) if param == "flag" else number(fdp))
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
def check_result(name, result):
    if name.endswith("_scalar"):
        values = result if name.endswith("greeks_scalar") else (result,)
        assert all(type(v) is float for v in values), (name, result)
    else:
        arrays = result if name.endswith("_greeks") else (result,)
        assert all(type(a) is np.ndarray and a.dtype == np.float64 and a.ndim == 1 for a in arrays)


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    name, params = FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
    function = getattr(core, name)
    if fdp.ConsumeIntInRange(0, 3):
        positional, keywords = well_formed(fdp, name, params)
    else:
        positional = [argument(fdp) for _ in range(fdp.ConsumeIntInRange(0, len(params) + 2))]
        keywords = {keyword(fdp, params): argument(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))}
    try:
        result = function(*positional, **keywords)
    except (Planted, *EXPECTED):
        return
    check_result(name, result)


if __name__ == "__main__":
    warnings.simplefilter("ignore", DeprecationWarning)  # __float__ returning a float subclass
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
