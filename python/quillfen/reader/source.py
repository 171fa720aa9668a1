"""Reading a part's bytes from a binary file object, as the native engine reads them."""

from collections.abc import Callable
from typing import Any, Protocol

READ_CHUNK = 65536


class Source(Protocol):
    """A part's binary file object as the readers use it: only `read(size)` is called, and what
    it returns is checked (`read_chunk`)."""

    def read(self, size: int, /) -> Any: ...


def read_chunk(read: Callable[[int], Any], size: int = READ_CHUNK) -> bytes:
    """`read(size)` as bytes. Any bytes-like result (bytearray, memoryview, array, ...) is
    taken, copied; anything else is a TypeError, worded as the engine words it."""
    chunk = read(size)
    if isinstance(chunk, bytes):
        return chunk
    try:
        view = memoryview(chunk)
    except TypeError:
        raise TypeError("read() returned a '%s' object, which is not a bytes-like object"
                        % type(chunk).__name__) from None
    with view:
        return view.tobytes()
