"""Borrow-registry scenarios, run in a fresh process: `python borrow_scenarios.py quorix` lets
quorix publish the registry; `stand-in` first publishes a registry written here, which tests
overlap by the exact sets of bytes covered. Prints one JSON object: scenario -> outcome."""
import contextlib
import ctypes
import functools
import json
import sys

import numpy as np

import quorix._core as core

NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"
OPERATION = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Record(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("registry", ctypes.c_void_p),
                ("acquire", OPERATION), ("acquire_mut", OPERATION),
                ("release", RELEASE), ("release_mut", RELEASE)]


def multiarray():
    return sys.modules["numpy.core.multiarray" if np.__version__ < "2" else "numpy._core.multiarray"]


def covered(array):
    """The owner (first non-array down the base chain, else the last array) and the bytes."""
    owner = array
    while isinstance(owner, np.ndarray) and owner.base is not None:
        owner = owner.base
    start = array.__array_interface__["data"][0]
    bytes_ = set()
    for index in np.ndindex(array.shape):
        first = start + sum(i * s for i, s in zip(index, array.strides))
        bytes_.update(range(first, first + array.itemsize))
    return id(owner), frozenset(bytes_)


def publish_stand_in():
    held = []  # (exclusive, owner, bytes)

    def acquire(exclusive):
        def operation(_, array):
            if exclusive and not array.flags.writeable:
                return -2
            owner, bytes_ = covered(array)
            if any((exclusive or mine) and o == owner and b & bytes_ for mine, o, b in held):
                return -1
            held.append((exclusive, owner, bytes_))
            return 0
        return OPERATION(operation)

    def release(exclusive):
        def operation(_, array):
            try:  # runs Python code that raises and handles an error, as a registry may
                held.remove((exclusive, *covered(array)))
            except ValueError:
                pass
        return RELEASE(operation)

    record = Record(1, None, acquire(False), acquire(True), release(False), release(True))
    new = ctypes.pythonapi.PyCapsule_New
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    setattr(multiarray(), NAME.decode(), new(ctypes.addressof(record), NAME, None))
    return record


def published():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return Record.from_address(get(getattr(multiarray(), NAME.decode()), NAME))


@functools.cache
def registry():
    """The record another extension module sees in this process: quorix publishes it."""
    call(np.ones(1))
    record = published()
    assert record.version == 1
    return record


@contextlib.contextmanager
def held_for_writing(array):
    """Another holder's write borrow of `array`, for the duration of the block."""
    record = registry()
    assert record.acquire_mut(record.registry, array) == 0
    try:
        yield
    finally:
        record.release_mut(record.registry, array)


def can_borrow_for_writing(array):
    record = registry()
    if record.acquire_mut(record.registry, array) != 0:
        return False
    record.release_mut(record.registry, array)
    return True


def call(array):
    """A quorix call reading `array`: 0 when it took its borrow, -1 when it was refused."""
    try:
        core.bsm_vega(array, *(np.ones(len(array)),) * 5)
    except RuntimeError:
        return -1
    except TypeError:  # not contiguous: refused only after its borrow was taken and released
        pass
    return 0


def scenarios():
    base, buffer = np.zeros(12), bytearray(96)
    words = base.view(np.int32)
    frozen = np.ones(3)
    frozen.flags.writeable = False
    on_buffer = lambda: np.ndarray((12,), np.float64, buffer=buffer)  # noqa: E731
    return {  # held exclusively (or shared, for aliases), then tried
        "two arrays on one buffer": ("shared", on_buffer(), "exclusive", on_buffer()),
        "a word inside a one-element slice": ("exclusive", words[1:2], "call", base[0:1]),
        "a stride-0 broadcast of a held element": ("exclusive", base[3:4], "call",
                                                   np.broadcast_to(base[3:4], (5,))),
        "disjoint slices": ("exclusive", base[:5], "call", base[6:8]),
        "overlapping slices": ("exclusive", base[:5], "call", base[2:4]),
        "interleaved halves": ("exclusive", base[0::2], "shared", base[1::2]),
        "interleaved, reversed": ("exclusive", base[::-2], "exclusive", base[0::2]),
        "every fourth inside every second": ("exclusive", base[0::2], "call", base[4::4]),
        "words straddling elements": ("exclusive", words[1::4], "shared", base[0::2]),
        "words between elements": ("exclusive", words[2::4], "shared", base[0::2]),
        "a read-only array": (None, None, "exclusive", frozen),
        "items of no bytes in a held array": ("exclusive", base, "shared",
                                              np.ndarray((3,), np.dtype([]), buffer=base, strides=(8,))),
    }


def run():
    record = publish_stand_in() if sys.argv[1] == "stand-in" else None  # noqa: F841 (kept alive)
    call(np.ones(1))  # quorix loads the registry, publishing its own when there is none
    registry = published()
    take = {"shared": registry.acquire, "exclusive": registry.acquire_mut}
    give = {"shared": registry.release, "exclusive": registry.release_mut}
    outcome = {}
    for name, (held_kind, held, tried_kind, tried) in scenarios().items():
        if held is not None:
            assert take[held_kind](registry.registry, held) == 0
        code = call(tried) if tried_kind == "call" else take[tried_kind](registry.registry, tried)
        if code == 0 and tried_kind != "call":
            give[tried_kind](registry.registry, tried)
        if held is not None:
            give[held_kind](registry.registry, held)
        outcome[name] = code
    # Releasing quorix's borrow of an array leaves another holder's borrow of its tail alone.
    base = np.ones(10)
    registry.acquire(registry.registry, base[5:])
    call(base)
    outcome["after a call, the tail still held"] = [
        registry.acquire_mut(registry.registry, part) for part in (base[:5], base[5:])]
    # An error raised by a call survives the releases that follow it.
    try:
        core.bsm_vega(*[np.ones(3)] * 5, np.ones(4))
    except Exception as error:  # noqa: BLE001
        outcome["error after releases"] = f"{type(error).__name__}: {error}"
    print(json.dumps(outcome))


if __name__ == "__main__":
    run()
