"""quorix: European option prices, Greeks and implied volatilities (BSM and Black-76)."""

from . import _core
from ._core import *  # noqa: F401,F403

__version__ = _core.__version__
__all__ = [name for name in _core.__all__ if not name.startswith("__")]
