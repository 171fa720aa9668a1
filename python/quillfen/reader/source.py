"""Reading a part's bytes from a binary file object, as the native engine reads them."""

READ_CHUNK = 65536


def read_chunk(read, size=READ_CHUNK):
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
