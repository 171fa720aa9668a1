"""Regular expressions compiled when first used.

Modules on the way of a short-lived process (a first save, a CLI call) hold patterns that most
runs never use, and compiling them all at import costs more than the work itself. `lazy`
returns a stand-in that compiles its pattern on the first method or attribute it is asked for
and keeps that attribute, so later uses go straight to the compiled pattern's bound methods.
"""

import re
from typing import Any, AnyStr, cast

__all__ = ["lazy"]


class _Lazy:
    """A pattern compiled on first use. Two threads meeting there compile it twice, alike."""

    def __init__(self, pattern: str | bytes, flags: int) -> None:
        self._source: tuple[Any, int] = (pattern, flags)

    def __getattr__(self, name: str) -> Any:
        pattern, flags = self._source
        value = getattr(re.compile(pattern, flags), name)
        setattr(self, name, value)
        return value


def lazy(pattern: AnyStr, flags: int = 0) -> re.Pattern[AnyStr]:
    """`re.compile(pattern, flags)`, done when the pattern is first used. Only its methods and
    attributes may be used: the stand-in is not a `re.Pattern` to `re` functions or isinstance."""
    return cast(re.Pattern[AnyStr], _Lazy(pattern, flags))
