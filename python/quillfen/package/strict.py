"""Workbooks in the Strict namespaces, read as Transitional ones.

A Strict workbook uses other namespace names for the same SpreadsheetML vocabulary (and other
relationship type names, which the reader tells apart by their last segment only). Both readers,
native and pure Python, compare namespace names with the Transitional ones, so the parts of a
Strict workbook are presented to them with the namespace declarations rewritten to the
Transitional names: `TransitionalNames` wraps a part's stream and rewrites, byte for byte, the
value of every `xmlns` or `xmlns:prefix` attribute that names a Strict namespace, in start tags
only. Text, attribute values of other attributes, comments, CDATA sections and processing
instructions pass unchanged, so no cell value can be altered: a cell whose text happens to be
a namespace declaration keeps it.
"""

import io
import re
from collections.abc import Buffer
from typing import Protocol, cast

from ..constants import DOC_REL_NS, MAIN_NS, STRICT_DOC_REL_NS, STRICT_MAIN_NS
from ..utils.patterns import lazy

__all__ = ["TransitionalNames", "TRANSITIONAL"]

TRANSITIONAL = {
    STRICT_MAIN_NS.encode(): MAIN_NS.encode(),
    STRICT_DOC_REL_NS.encode(): DOC_REL_NS.encode(),
}

# What the forward scan stops at: sections whose content is not markup, and declarations.
_SCAN = lazy(rb"<!--|<!\[CDATA\[|<\?|xmlns")
_SECTION_END = {b"<!--": b"-->", b"<![CDATA[": b"]]>", b"<?": b"?>"}
# A tag up to its ">", quoted values (which may hold ">") skipped.
_TAG = lazy(rb"""<(?:[^<>"']++|"[^"<]*+"|'[^'<]*+')*+>""")
_DECL = lazy(rb"""(\sxmlns(?::[^\s=<>/"']+)?\s*=\s*)(["'])(%s)\2"""
                   % b"|".join(re.escape(uri) for uri in TRANSITIONAL))


def _rename(match: re.Match[bytes]) -> bytes:
    return match.group(1) + match.group(2) + TRANSITIONAL[match.group(3)] + match.group(2)


def rewrite(buf: bytes, final: bool) -> tuple[bytes, bytes]:
    """(rewritten bytes, bytes held back) for `buf`, which starts at a token boundary; what
    may belong to a tag or section that continues past `buf` is held back unless `final`."""
    limit = len(buf) if final else buf.rfind(b"<")
    if limit <= 0:
        return (buf, b"") if final else (b"", buf)
    out: list[bytes] = []
    done = 0      # bytes of buf already in out
    safe = 0      # no tag starts before this offset that the scan has not passed
    pos = 0
    while True:
        hit = _SCAN.search(buf, pos, limit)
        if hit is None:
            break
        token = hit.group()
        if token != b"xmlns":
            end = buf.find(_SECTION_END[token], hit.end(), limit)
            if end < 0:  # the section goes on past what can be processed now
                if final:
                    break
                out.append(buf[done:hit.start()])
                return b"".join(out), buf[hit.start():]
            pos = safe = end + len(_SECTION_END[token])
            continue
        lt = buf.rfind(b"<", safe, hit.start())
        tag = _TAG.match(buf, lt) if lt >= 0 else None
        if tag is None or tag.end() <= hit.start() or buf.startswith((b"<!", b"<?", b"</"), lt):
            pos = hit.end()  # text, or not a start tag: left as it is
            continue
        out.append(buf[done:lt])
        out.append(_DECL.sub(_rename, tag.group()))
        done = pos = safe = tag.end()
    out.append(buf[done:limit])
    return b"".join(out), buf[limit:]


class _Raw(Protocol):
    def read(self, size: int, /) -> bytes: ...

    def close(self) -> None: ...


class TransitionalNames(io.RawIOBase):
    """A part's binary stream with its Strict namespace declarations renamed (see above)."""

    def __init__(self, raw: _Raw) -> None:
        super().__init__()
        self._raw = raw
        self._held = b""
        self._ready = b""
        self._eof = False

    def readable(self) -> bool:
        return True

    def close(self) -> None:
        if not self.closed:
            self._raw.close()
        super().close()

    def read(self, n: int | None = -1) -> bytes:
        if n is None or n < 0:
            return b"".join(iter(lambda: self.read(1 << 16), b""))
        while not self._ready and not self._eof:
            chunk = self._raw.read(1 << 16)
            self._eof = not chunk
            self._ready, self._held = rewrite(self._held + chunk, self._eof)
        data, self._ready = self._ready[:n], self._ready[n:]
        return data

    def readinto(self, b: Buffer) -> int:
        buffer = cast("bytearray | memoryview", b)  # a writable buffer of bytes, as the io classes pass
        data = self.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)
