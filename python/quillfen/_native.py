"""Access to the native engine, and the switch that turns it off.

Every entry point that has a native path asks `engine()` each time it runs, so that
QUILLFEN_PURE_PYTHON can be flipped at run time (tests do), and catches `NativeFallback`
to rerun the same work in pure Python.
"""

import os

try:
    from quillfen import _quillfen as _engine
except ImportError:  # a source checkout without a build: pure Python only
    _engine = None


class _NeverRaised(Exception):
    """Stands in for NativeFallback when the engine is not built."""


NativeFallback = _engine.NativeFallback if _engine is not None else _NeverRaised


def engine():
    """The native module, or None when it is missing or disabled by QUILLFEN_PURE_PYTHON=1."""
    if _engine is None or os.environ.get("QUILLFEN_PURE_PYTHON") == "1":
        return None
    return _engine
