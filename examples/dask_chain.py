"""Price a few million options on a local Dask cluster of worker processes, invert them back to
implied vols, and check the result against one local call.

    python examples/dask_chain.py [OPTIONS]
"""

import sys
import time
from typing import Any

import numpy as np
import numpy.typing as npt
from dask.distributed import Client, LocalCluster

import dask.array as da
import quorix


def main(n: int) -> None:
    rng = np.random.default_rng(7)
    strikes = 100.0 * np.exp(rng.uniform(-0.5, 0.5, n))
    expiries = rng.uniform(0.05, 2.0, n)
    vols = rng.uniform(0.1, 0.6, n)
    flags = np.where(strikes < 100.0, "p", "c")
    chunk = max(n // 8, 1)
    # Loopback only: the workers are processes on this machine.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster):
        k, t, v = (da.from_array(a, chunks=chunk) for a in (strikes, expiries, vols))
        start = time.perf_counter()
        # Dask arrays are untyped: the results are lazy Dask arrays, typed Any.
        prices: Any = quorix.bsm_price(flags, 100.0, k, t, 0.03, 0.01, v)
        implied: Any = quorix.bsm_iv(prices, flags, 100.0, k, t, 0.03, 0.01)
        remote: npt.NDArray[np.float64] = implied.compute()
        elapsed = time.perf_counter() - start
    local = quorix.bsm_iv(quorix.bsm_price(flags, 100.0, strikes, expiries, 0.03, 0.01, vols),
                          flags, 100.0, strikes, expiries, 0.03, 0.01)
    same = np.array_equal(remote.view(np.uint64), local.view(np.uint64))
    worst = float(np.max(np.abs(remote - vols) / vols))
    print(f"{n} options priced and inverted on 2 worker processes in {elapsed:.2f} s; "
          f"worst relative vol error {worst:.1e}; "
          f"{'equal to the local call bit for bit' if same else 'DIFFERENT from the local call'}")
    if not same:
        sys.exit(1)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 4_000_000)
