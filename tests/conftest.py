import ctypes
import hashlib
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quorix._ufuncs

ROOT = Path(__file__).resolve().parent.parent


class Kernels:
    """The internal pricing kernels of one instruction-set target, compiled for the tests."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(str(path))

    def _map(self, name, *inputs, outputs=(np.float64,)):
        arrays = [np.ascontiguousarray(a, dtype=np.float64) for a in np.broadcast_arrays(*inputs)]
        results = [np.empty(arrays[0].size, dtype) for dtype in outputs]
        getattr(self.lib, name)(*[a.ctypes.data_as(ctypes.c_void_p) for a in arrays + results],
                                ctypes.c_size_t(arrays[0].size))
        return results[0] if len(results) == 1 else results

    def elementary(self, name, x):
        """exp, log, erfc, erfcx, cdf or inverse_cdf, element by element."""
        return self._map(f"{name}_many", x)

    def normalised_black(self, x, s):
        return self._map("normalised_black_many", x, s, outputs=(np.float64, np.float64))

    def normalised_iv(self, beta, x, theta):
        """Total volatilities, and the Black-function evaluations each one needed."""
        return self._map("normalised_iv_many", beta, x, theta, outputs=(np.float64, np.int_))

    def run_kernel(self, index, inputs, outputs, refuse_scratch=False):
        """Vector function number `index` over this target's block kernel (with refuse_scratch, as
        if the working arrays of the staged kernels could not be allocated)."""
        inputs = [np.ascontiguousarray(a) for a in inputs]
        results = [np.empty(inputs[0].size) for _ in range(outputs)]
        pointers = lambda arrays: (ctypes.c_void_p * len(arrays))(*[a.ctypes.data for a in arrays])  # noqa: E731
        self.lib.run_kernel(ctypes.c_int(index), pointers(inputs), pointers(results),
                            ctypes.c_size_t(inputs[0].size), ctypes.c_bool(refuse_scratch))
        return tuple(results)


# Instruction-set targets of the kernels, as targets.def declares them: the compiler flags, and
# whether this processor runs them (the library's own answer).
DECLARED = re.findall(r'^QUORIX_\w+_TARGET\((\w+), (?:"([^"]*)")?', (ROOT / "core/kernels/simd/targets.def").read_text(), re.M)
TARGETS = {name: (flags.split(), runs) for (name, flags), (_, _, runs, _) in zip(DECLARED, quorix._ufuncs.targets())}


KERNEL_CACHE = ROOT / "build" / "test-kernels"


def build_kernels(target):
    """Compiles the test entry points and one target's kernel table into a shared library, unless
    a run before this one built it from the same sources, compiler and flags (the suite runs on
    several interpreters in turn). Returns the library and the compilation still running, if any."""
    compiler = os.environ.get("CXX", "g++")
    flags = ["-std=c++20", "-O2", "-ffp-contract=off", "-fno-math-errno", "-fPIC", "-shared",
             "-DQUORIX_COUNT_BLACK_EVALUATIONS", "-DQUORIX_REFUSABLE_SCRATCH", f"-DQUORIX_TARGET={target}",
             *TARGETS[target][0], f"-I{ROOT / 'core'}"]
    sources = [ROOT / "tests" / "native" / "kernels.cpp", ROOT / "core" / "kernels" / "table" / "target_kernels.cpp"]
    digest = hashlib.sha256(subprocess.run([compiler, "--version"], capture_output=True).stdout)
    digest.update(repr(flags).encode())
    kernels = ROOT / "core" / "kernels"  # all that the kernel library includes
    for path in sorted([*kernels.rglob("*.?pp"), *kernels.rglob("*.def"), sources[0]]):
        digest.update(str(path.relative_to(ROOT)).encode() + path.read_bytes())
    library = KERNEL_CACHE / f"libkernels_{target}_{digest.hexdigest()[:16]}.so"
    if library.exists():
        return library, None
    KERNEL_CACHE.mkdir(parents=True, exist_ok=True)
    partial = library.with_name(f"{library.name}.{os.getpid()}")  # renamed into place when built
    return library, (partial, subprocess.Popen([compiler, *flags, *map(str, sources), "-o", str(partial)]))


@pytest.fixture(scope="session")
def target_kernels():
    """The kernels of every target this processor runs, compiled side by side."""
    builds = {target: build_kernels(target) for target, (_, runs) in TARGETS.items() if runs}
    for library, pending in builds.values():
        if pending:
            partial, process = pending
            assert process.wait() == 0
            os.replace(partial, library)
    return {target: Kernels(library) for target, (library, _) in builds.items()}


@pytest.fixture(scope="session")
def kernels(target_kernels):
    return target_kernels["portable"]


def run_python(code, env=None):
    """Runs code in a fresh interpreter, in `env` or else the current environment, and returns
    its standard output."""
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    return result.stdout
