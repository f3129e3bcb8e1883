"""The threads a call may use, by hand or through threadpoolctl."""

from __future__ import annotations

from . import _core, _ufuncs


def set_num_threads(n: int) -> None:
    """Limits every later call, from any thread, to at most n threads (n >= 1).

    The worker pool is created once, with RAYON_NUM_THREADS (else the processor count) workers;
    the limit caps how many of them take part. With n = 1 a call runs on the calling thread.
    Results are the same bits at every limit.
    """
    _ufuncs.set_num_threads(n)


def get_num_threads() -> int:
    """The most threads a call may use: the limit, at most the pool's size."""
    return _ufuncs.get_num_threads()


def _register_with_threadpoolctl() -> None:
    """Makes `threadpoolctl.threadpool_limits` and `threadpool_info` see quorix's pool (user_api
    "quorix"), when threadpoolctl is installed."""
    try:
        import threadpoolctl
    except ImportError:
        return
    if not hasattr(threadpoolctl, "register"):  # before threadpoolctl 3
        return

    class QuorixController(threadpoolctl.LibController):  # type: ignore[misc]
        user_api = "quorix"
        internal_api = "quorix"
        filename_prefixes = ("libquorix_kernels",)
        check_symbols = ("quorix_get_num_threads", "quorix_set_num_threads")

        def get_num_threads(self) -> int:
            return int(self.dynlib.quorix_get_num_threads())

        def set_num_threads(self, num_threads: int) -> None:
            self.dynlib.quorix_set_num_threads(num_threads)

        def get_version(self) -> str:
            return str(_core.__version__)

    threadpoolctl.register(QuorixController)
