"""Pictures on a sheet: PNG, JPEG, GIF and BMP images anchored at a cell, their type and size
read from the image's own header (no imaging library is needed)."""

from __future__ import annotations

import os
import struct
from typing import IO, Any

from .objects import Placed, check_cell, check_int

__all__ = ["Image", "image_size", "IMAGE_TYPES"]

# Content types of the image formats, by the extension their parts take.
IMAGE_TYPES = {"png": "image/png", "jpeg": "image/jpeg", "gif": "image/gif", "bmp": "image/bmp"}
MAX_PIXELS = 1 << 20  # a side of a picture larger than any sheet would show
# JPEG markers that start a frame and give its size (not DHT, JPG, DAC).
_JPEG_FRAMES = frozenset(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}


def _jpeg_size(data: bytes) -> tuple[int, int] | None:
    at = 2
    while at + 9 < len(data):
        if data[at] != 0xFF:
            return None
        marker = data[at + 1]
        if marker == 0xFF:  # padding before a marker
            at += 1
            continue
        if marker in (0x01, *range(0xD0, 0xD8)):  # markers without a length
            at += 2
            continue
        length = struct.unpack_from(">H", data, at + 2)[0]
        if marker in _JPEG_FRAMES:
            height, width = struct.unpack_from(">HH", data, at + 5)
            return width, height
        at += 2 + length
    return None


def _bmp_size(data: bytes) -> tuple[int, int] | None:
    if len(data) < 26:
        return None
    header = struct.unpack_from("<I", data, 14)[0]
    if header == 12:  # the oldest header, with 16-bit sizes
        width, height = struct.unpack_from("<HH", data, 18)
        return width, height
    width, height = struct.unpack_from("<ii", data, 18)
    return width, abs(height)  # a negative height: rows stored from the top


def image_size(data: bytes) -> tuple[str, int, int] | None:
    """(format, width, height in pixels) of an image's bytes, or None when they are not a PNG,
    JPEG, GIF or BMP image that says its size."""
    found: tuple[int, int] | None = None
    kind = ""
    try:
        if data.startswith(b"\x89PNG\r\n\x1a\n") and data[12:16] == b"IHDR":
            kind, found = "png", struct.unpack_from(">II", data, 16)
        elif data.startswith(b"\xff\xd8"):
            kind, found = "jpeg", _jpeg_size(data)
        elif data[:6] in (b"GIF87a", b"GIF89a"):
            kind, found = "gif", struct.unpack_from("<HH", data, 6)
        elif data.startswith(b"BM"):
            kind, found = "bmp", _bmp_size(data)
    except struct.error:  # cut short
        return None
    if found is None or not all(0 < side <= MAX_PIXELS for side in found):
        return None
    return kind, found[0], found[1]


def _image_bytes(source: object) -> bytes:
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source)
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            return f.read()
    read = getattr(source, "read", None)
    if callable(read):
        data = read()
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError("an image's file object is binary: its read() gave %s" % type(data).__name__)
        return bytes(data)
    raise TypeError("an image is a path, bytes or a binary file object, not %s" % type(source).__name__)


class Image(Placed):
    """A picture anchored at a cell (`anchor`, its top left corner), `width` by `height`
    pixels. `format` ("png", "jpeg", "gif" or "bmp") and `data` are the image file's."""

    __slots__ = ("data", "format", "anchor")
    _FIELDS = ("anchor", "width", "height", "format", "data")
    _CHECKS = {"anchor": check_cell("an image's anchor"),
               "width": check_int("an image's width", 1, MAX_PIXELS),
               "height": check_int("an image's height", 1, MAX_PIXELS)}
    data: bytes
    format: str
    anchor: str

    def __init__(self, source: str | os.PathLike[str] | bytes | IO[bytes], anchor: str = "A1", *,
                 width: int | None = None, height: int | None = None) -> None:
        data = _image_bytes(source)
        found = image_size(data)
        if found is None:
            raise ValueError("not a PNG, JPEG, GIF or BMP image whose header gives its size")
        kind, own_width, own_height = found
        object.__setattr__(self, "data", data)
        object.__setattr__(self, "format", kind)
        self.anchor = anchor
        self.width = own_width if width is None else width
        self.height = own_height if height is None else height
        if width is not None and height is None:  # in proportion
            self.height = max(1, min(MAX_PIXELS, round(own_height * self.width / own_width)))
        elif height is not None and width is None:
            self.width = max(1, min(MAX_PIXELS, round(own_width * self.height / own_height)))

    def __setattr__(self, name: str, value: Any) -> None:
        if name in ("data", "format"):
            raise AttributeError("an image's %s is that of its file: make a new Image" % name)
        super().__setattr__(name, value)

    def __repr__(self) -> str:
        return "Image(%s %dx%d at %s)" % (self.format, self.width, self.height, self.anchor)
