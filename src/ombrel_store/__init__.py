"""Ombrel Store: an embedded, single-file, transactional data store."""

from . import _native
from ._native import *  # noqa: F401,F403
from ._native import __version__

__all__ = [name for name in dir(_native) if not name.startswith("_")] + ["__version__"]
