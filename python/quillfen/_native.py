"""Access to the native engine, the switch that turns it off, and the one way the package
runs a piece of work natively with the pure-Python path behind it.

Every entry point that has a native path goes through `native_or_pure` (or, for work that
yields as it goes, `stream_native_or_pure`), which asks `engine()` each time it runs, so that
QUILLFEN_PURE_PYTHON can be flipped at run time (tests do), and reruns the work in pure Python
when the engine raises `NativeFallback`.
"""

import os
from collections.abc import Callable, Iterator
from types import ModuleType
from typing import TypeVar

_engine: ModuleType | None
try:
    from quillfen import _quillfen as _engine
except ImportError:  # a source checkout without a build: pure Python only
    _engine = None

T = TypeVar("T")


class _NeverRaised(Exception):
    """Stands in for NativeFallback when the engine is not built."""


NativeFallback: type[Exception] = _engine.NativeFallback if _engine is not None else _NeverRaised


def engine() -> ModuleType | None:
    """The native module, or None when it is missing or disabled by QUILLFEN_PURE_PYTHON=1."""
    if _engine is None or os.environ.get("QUILLFEN_PURE_PYTHON") == "1":
        return None
    return _engine


# Called with the exception when the native path failed with one of the errors that
# `native_or_pure` was told to decline, and the pure-Python path then succeeded: the two paths
# disagree about the input. Nobody listens in normal use; the file fuzzer does.
on_disagreement: Callable[[BaseException], object] | None = None


def native_or_pure(native: Callable[[ModuleType], T], pure: Callable[[], T],
                   decline: tuple[type[BaseException], ...] = ()) -> T:
    """`native(engine)` when the engine is on; `pure()` when it is off or declines the work.

    `native` must leave nothing half done when it raises NativeFallback: the pure-Python path
    redoes the whole of it. The exception types in `decline` are taken as NativeFallback too:
    readers pass the errors a damaged file causes, so that the pure-Python path, which knows
    the part and cell it was reading, reports them (and both paths report them alike)."""
    module = engine()
    declined: BaseException | None = None
    if module is not None:
        try:
            return native(module)
        except NativeFallback:
            pass
        except decline as exc:
            declined = exc
    result = pure()
    if declined is not None and on_disagreement is not None:
        on_disagreement(declined)
    return result


def stream_native_or_pure(native: Callable[[ModuleType], Iterator[T]],
                          pure: Callable[[], Iterator[T]]) -> Iterator[T]:
    """The items of the generator `native(engine)`, continued by those of `pure()` when the
    engine is off or declines part-way; `pure` is called only then, after the items already
    delivered, so it can pass over them."""
    module = engine()
    if module is not None:
        try:
            yield from native(module)
            return
        except NativeFallback:
            pass
    yield from pure()
