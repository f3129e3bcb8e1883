import ctypes
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent


class Kernels:
    """The internal pricing kernels, compiled from core/pricing for the tests."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(str(path))

    def _map(self, name, *inputs, outputs=1):
        arrays = [np.ascontiguousarray(a, dtype=np.float64) for a in np.broadcast_arrays(*inputs)]
        n = arrays[0].size
        results = [np.empty(n) for _ in range(outputs)]
        pointers = [a.ctypes.data_as(ctypes.c_void_p) for a in arrays + results]
        getattr(self.lib, name)(*pointers, ctypes.c_size_t(n))
        return results[0] if outputs == 1 else results

    def erfcx(self, z):
        return self._map("erfcx_many", z)

    def cdf(self, y):
        return self._map("cdf_many", y)

    def inverse_cdf(self, p):
        return self._map("inverse_cdf_many", p)

    def normalised_black(self, x, s):
        return self._map("normalised_black_many", x, s, outputs=2)

    def normalised_iv(self, beta, x, theta):
        """Total volatilities and the most Black-function evaluations any one needed."""
        arrays = [np.ascontiguousarray(a, dtype=np.float64) for a in np.broadcast_arrays(beta, x, theta)]
        out = np.empty(arrays[0].size)
        most = ctypes.c_long(0)
        self.lib.normalised_iv_many(
            *[a.ctypes.data_as(ctypes.c_void_p) for a in arrays + [out]],
            ctypes.c_size_t(out.size),
            ctypes.byref(most),
        )
        return out, most.value


@pytest.fixture(scope="session")
def kernels(tmp_path_factory):
    library = tmp_path_factory.mktemp("kernels") / "libkernels.so"
    compiler = os.environ.get("CXX", "g++")
    subprocess.run(
        [compiler, "-std=c++20", "-O2", "-ffp-contract=off", "-fno-math-errno", "-fPIC", "-shared",
         "-DQUORIX_COUNT_BLACK_EVALUATIONS", f"-I{ROOT / 'core'}",
         str(ROOT / "tests" / "native" / "kernels.cpp"), "-o", str(library)],
        check=True,
    )
    return Kernels(library)


def run_python(code, env=None, whole_env=None):
    """Runs code in a fresh interpreter and returns its standard output. `env` adds to the
    current environment; `whole_env` replaces it."""
    full_env = dict(os.environ) if whole_env is None else dict(whole_env)
    full_env.update(env or {})
    result = subprocess.run([sys.executable, "-c", code], env=full_env, capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    return result.stdout
