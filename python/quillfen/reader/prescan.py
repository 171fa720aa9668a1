"""Sheet prescan: facts about a worksheet part without loading its cells.

`prescan_sheet(source, want_rows, corners, helpers)` returns a dict with, in this order:

* ``"head"`` and ``"tail"``: the children of the worksheet element before and after
  ``sheetData``, as (exact bytes, namespaces in scope) pairs, ready for `parse_snippet`;
* ``"rows"``: with `want_rows`, (row number, [(key, value), ...]) for every row that carries
  a formatting attribute (one in no namespace besides ``r`` and ``spans``), all of its
  attributes in tag order;
* ``"corners"``: for each requested (row, column), the ``s`` attribute text of the last cell
  at that position, or None when there is no such cell or it has no ``s``.

The part is read with expat up to ``sheetData``; the content of ``sheetData`` is not parsed as
XML but scanned as bytes: only ``row`` and ``c`` start tags are looked at (rows only when rows
or corners are asked for, cells only for corners), and text and other elements go unchecked.
These are the native engine's rules, so both give the same facts or both fail, on every input.
Where the engine leaves a construct to this module (comments or processing instructions inside
``sheetData``, a prefixed ``sheetData``, namespace declarations on row and cell tags, other
encodings than UTF-8, coordinates and row numbers in unusual forms), this module decides.
Malformed bytes inside ``sheetData`` raise `xml.parsers.expat.ExpatError` with the engine's text
("eof in tag", "unbound prefix", ...). `prescan` picks the engine when it can and falls back here.
"""

import codecs
import re
import xml.etree.ElementTree as ET
import xml.parsers.expat as expat
from collections.abc import Callable, Iterable, Mapping
from contextlib import AbstractContextManager
from types import ModuleType
from typing import Any, cast

from .._native import native_or_pure
from ..constants import MAIN_NS
from ..utils.cells import coordinate_to_tuple
from ..package.errors import CONTENT_ERRORS, PrologCheck, refuse_doctype
from .sheet import Namespaces, in_scope, is_native_int, tag_end, to_int64
from .source import READ_CHUNK, Source, read_chunk

__all__ = ["prescan", "prescan_sheet", "prescan_arguments", "dimension_ref"]

XML_NS = "http://www.w3.org/XML/1998/namespace"
_SEP = "\x01"
_I64 = 2**63
_WS = b" \t\r\n"

# Opens the part afresh: a new binary file object at each call.
OpenPart = Callable[[], AbstractContextManager[Source]]
# The corners asked for: (row, column) -> the style id text found there, or None.
Corners = dict[tuple[int, int], str | None]


def prescan(open_part: OpenPart, want_rows: bool = False, corners: Iterable[tuple[int, int]] = (),
            helpers: dict[str, Any] | None = None) -> dict[str, Any]:
    """Prescan of the part that `open_part()` opens (a fresh binary file object per call):
    natively when the engine is available, else (or when it declines the input) in pure Python.
    """
    if helpers is None:
        from .helpers import reading_helpers
        helpers = reading_helpers()
    corners = list(corners)

    def run(scan: Callable[[Source, bool, Iterable[tuple[int, int]], dict[str, Any]], dict[str, Any]]
            ) -> dict[str, Any]:
        with open_part() as source:
            return scan(source, want_rows, corners, helpers)

    return native_or_pure(lambda engine: run(engine.prescan_sheet), lambda: run(prescan_sheet),
                          decline=CONTENT_ERRORS)


def dimension_ref(open_part: OpenPart) -> str | None:
    """The ref of the worksheet's dimension element (its first one, before the cell data ends),
    or None when it has none: the part is read only up to it."""
    def native(engine: ModuleType) -> str | None:
        with open_part() as source:
            found = engine.find_dimension(source)
        if found is None:
            return None
        from .helpers import parse_snippet
        return parse_snippet(*found).get("ref")

    def pure() -> str | None:
        with open_part() as source:
            return _find_dimension(source)

    return native_or_pure(native, pure, decline=CONTENT_ERRORS)


class _Chunks:
    """`source` for ElementTree, read as every reader reads a part (`read_chunk`), its
    document type declaration refused before ElementTree parses it."""

    def __init__(self, source: Source) -> None:
        self._read = source.read
        self._prolog = PrologCheck()

    def read(self, size: int = -1, /) -> bytes:
        chunk = read_chunk(self._read, size)
        self._prolog.feed(chunk, not chunk)
        return chunk


def _find_dimension(source: Source) -> str | None:
    dimension, sheet_data = "{%s}dimension" % MAIN_NS, "{%s}sheetData" % MAIN_NS
    element: ET.Element
    for _event, element in ET.iterparse(_Chunks(source), events=("end",)):
        if element.tag == dimension:
            return element.get("ref")
        if element.tag == sheet_data:
            return None
        element.clear()  # the cells of a sheet without a dimension element are not kept
    return None


def prescan_sheet(source: Source, want_rows: bool, corners: Iterable[tuple[int, int]],
                  helpers: dict[str, Any]) -> dict[str, Any]:
    """The pure-Python prescan (see the module docstring)."""
    wanted, row_index = prescan_arguments(want_rows, corners, helpers)
    scan = _Prescan(want_rows, wanted, row_index, helpers)
    scan.run(source)
    return {"head": scan.head, "tail": scan.tail, "rows": scan.rows, "corners": wanted}


def prescan_arguments(want_rows: object, corners: Iterable[object],
                      helpers: object) -> tuple[Corners, Callable[[str], Any]]:
    """The arguments of `prescan_sheet` checked, as the engine checks them (TypeError and
    OverflowError): the corners asked for, as a dict, and the row_index helper."""
    if not isinstance(want_rows, bool):
        raise TypeError("prescan_sheet() argument 'want_rows' must be bool, not %s" % type(want_rows).__name__)
    if not isinstance(helpers, dict):
        raise TypeError("prescan_sheet() argument 'helpers' must be dict, not %s" % type(helpers).__name__)
    wanted: Corners = {}
    for item in corners:
        if not isinstance(item, tuple) or len(item) != 2:
            raise TypeError("prescan_sheet() argument 'corners' must hold (row, column) tuples, not %s"
                            % type(item).__name__)
        wanted.setdefault((to_int64(item[0]), to_int64(item[1])), None)
    try:
        row_index = dict.__getitem__(helpers, "row_index")
    except KeyError:
        raise TypeError("missing helper row_index") from None
    return wanted, row_index


def _malformed(text: str) -> expat.ExpatError:
    return expat.ExpatError(text)


# ---- the input, as UTF-8 --------------------------------------------------------------------

_DECL_ENCODING = re.compile(rb"""<\?xml\s[^>]*?encoding\s*=\s*["']([^"']*)["']""")
_ZERO_SNIFF = {b"\0\0\0<": "utf-32-be", b"<\0\0\0": "utf-32-le", b"\0<": "utf-16-be", b"<\0": "utf-16-le"}


class _Utf8Input:
    """The part's bytes, transcoded to UTF-8 when it is in another encoding: the raw scan of
    `sheetData` reads bytes as UTF-8. `transcoded` says whether expat must be told so."""

    def __init__(self, read: Callable[[int], Any]) -> None:
        self._read = read
        head, eof = b"", False
        # The declaration (or what says there is none) comes first; read until it is whole.
        while not eof and len(head) < 1024 and (len(head) < 6 or head.startswith(b"<?xml") and b"?>" not in head):
            chunk = read_chunk(read)
            head += chunk
            eof = not chunk
        codec = self._codec(head)
        self._decoder: codecs.IncrementalDecoder | None = codecs.getincrementaldecoder(codec)() if codec else None
        self.transcoded = codec is not None
        self._head = head  # read already, handed out first
        self._eof = eof

    @staticmethod
    def _codec(head: bytes) -> str | None:
        if head.startswith(b"\xef\xbb\xbf"):
            return None
        if head.startswith((b"\xfe\xff", b"\xff\xfe")):
            return "utf-32" if head.startswith(b"\xff\xfe\0\0") else "utf-16"
        for sniff, codec in _ZERO_SNIFF.items():
            if head.startswith(sniff):
                return codec
        found = _DECL_ENCODING.match(head)
        if not found or found.group(1).lower() in (b"utf-8", b"utf8"):
            return None
        name = found.group(1).decode("ascii", "replace")
        try:
            return codecs.lookup(name).name
        except LookupError:
            raise _malformed("unknown encoding: %s" % name) from None

    def read(self) -> bytes:
        """The next piece of the part as UTF-8; empty at the end."""
        while True:
            if self._head:
                chunk, self._head = self._head, b""
            else:
                chunk = b"" if self._eof else read_chunk(self._read)
            self._eof = self._eof or not chunk
            if self._decoder is None:
                return chunk
            try:
                text = self._decoder.decode(chunk, final=not chunk)
            except UnicodeDecodeError as exc:
                raise _malformed("not well-formed (invalid token): %s" % exc) from None
            # An empty piece would read as the end while the decoder still holds part of a character.
            if text or not chunk:
                return text.encode("utf-8")


# ---- the raw scan of row and cell tags -----------------------------------------------------

# A name as XML takes it (the engine itself reads ASCII names only).
_NAME_START = ("A-Z_a-z\xc0-\xd6\xd8-\xf6\xf8-\u02ff\u0370-\u037d\u037f-\u1fff\u200c\u200d"
               "\u2070-\u218f\u2c00-\u2fef\u3001-\ud7ff\uf900-\ufdcf\ufdf0-\ufffd\U00010000-\U000effff")
_NCNAME = "[%s][%s.0-9\xb7\u0300-\u036f\u203f\u2040-]*" % (_NAME_START, _NAME_START)
_QNAME = re.compile(r"(?:(%s):)?(%s)\Z" % (_NCNAME, _NCNAME))
_CONTROL = re.compile(rb"[\x00-\x08\x0b\x0c\x0e-\x1f]")
_ATTR_SPACE = re.compile(r"\r\n|[\r\n\t]")
_REF = re.compile(r"&([^;]*);")
_NAMED_REFS = {"lt": "<", "gt": ">", "amp": "&", "quot": '"', "apos": "'"}
_DIGITS = frozenset("0123456789")
_HEX_DIGITS = frozenset("0123456789abcdefABCDEF")
_NATIVE_INT = re.compile(rb"-?[0-9]{1,18}\Z")
# A start tag up to its ">", quoted values (which may hold ">") skipped.
_TAG = re.compile(rb"""<(?:[^>"']++|"[^"]*+"|'[^']*+')*+>""")
_SECTIONS = ((b"<!--", b"-->"), (b"<![CDATA[", b"]]>"), (b"<?", b"?>"))
_FAST_COORD = re.compile(r"([A-Z]{1,3})([1-9][0-9]{0,8})\Z")


def _fast_coordinate(text: str) -> tuple[int, int] | None:
    """(row, column) of "B3" written plainly (capitals, no "$", no leading zero), or None."""
    found = _FAST_COORD.match(text)
    if found is None:
        return None
    col = 0
    for letter in found.group(1):
        col = col * 26 + ord(letter) - 64
    return (int(found.group(2)), col) if col <= 18278 else None


def _construct_end(buf: bytes | bytearray, i: int) -> int | None:
    """Index past the tag, comment, CDATA section or instruction starting at buf[i] ("<"), or
    None when it does not end within `buf`."""
    for opening, closing in _SECTIONS:
        if buf.startswith(opening, i):
            close = buf.find(closing, i + len(opening))
            return close + len(closing) if close >= 0 else None
        if len(buf) - i < len(opening) and opening.startswith(buf[i:]):
            return None  # which it is shows only with more input
    found = _TAG.match(buf, i)
    return found.end() if found else None


def _char(name: str) -> str:
    """The character of a reference body (the text between "&" and ";")."""
    if name in _NAMED_REFS:
        return _NAMED_REFS[name]
    if len(name) < 2 or name[0] != "#":
        raise _malformed("undefined entity")
    hexa = name[1] == "x"
    digits = name[2:] if hexa else name[1:]
    if not digits or len(digits) > 10 or not set(digits) <= (_HEX_DIGITS if hexa else _DIGITS):
        raise _malformed("bad char ref")
    cp = int(digits, 16 if hexa else 10)
    if cp > 0xFFFFFFFF:
        raise _malformed("bad char ref")
    if not (cp in (0x9, 0xA, 0xD) or 0x20 <= cp <= 0xD7FF or 0xE000 <= cp <= 0xFFFD or 0x10000 <= cp <= 0x10FFFF):
        raise _malformed("invalid char ref")
    return chr(cp)


def _checked_value(raw: bytes) -> str:
    """The text of a raw attribute value, after the checks the engine makes on it."""
    if b"<" in raw:
        raise _malformed("< in attribute")
    if _CONTROL.search(raw):
        raise _malformed("invalid character")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise _malformed("invalid utf-8") from None
    if "\ufffe" in text or "\uffff" in text:
        raise _malformed("invalid character")
    at = text.find("&")
    while at >= 0:
        semi = text.find(";", at + 1)
        if semi < 0:
            raise _malformed("bad reference")
        _char(text[at + 1:semi])
        at = text.find("&", semi + 1)
    return text


def _decoded(text: str) -> str:
    """Attribute value normalisation: line ends and tabs become spaces, references characters."""
    text = _ATTR_SPACE.sub(" ", text)
    return _REF.sub(lambda ref: _char(ref.group(1)), text) if "&" in text else text


class _Attr:
    __slots__ = ("prefix", "local", "value")

    def __init__(self, prefix: str, local: str, value: str) -> None:
        self.prefix, self.local, self.value = prefix, local, value


def _scan_attrs(body: bytes) -> tuple[list[_Attr], dict[str, str]]:
    """The attributes of a row or cell tag, `body` being the bytes after the element name up
    to the closing ">" (a final "/" excluded): (attributes, namespace declarations)."""
    attrs: list[_Attr] = []
    decls: dict[str, str] = {}
    n, i = len(body), 0
    while True:
        start = i
        while i < n and body[i] in _WS:
            i += 1
        if i == n:
            return attrs, decls
        if i == start:
            raise _malformed("missing whitespace")
        start = i
        while i < n and body[i] not in _WS and body[i] != 0x3D:
            i += 1
        if i == n:
            raise _malformed("expected =")
        try:
            name = _QNAME.match(body[start:i].decode("utf-8"))
        except UnicodeDecodeError:
            name = None
        if name is None:
            raise _malformed("not well-formed (invalid token)")
        while i < n and body[i] in _WS:
            i += 1
        if i == n or body[i] != 0x3D:
            raise _malformed("expected =")
        i += 1
        while i < n and body[i] in _WS:
            i += 1
        if i == n or body[i] not in (0x22, 0x27):
            raise _malformed("expected quote")
        close = body.find(body[i:i + 1], i + 1)
        if close < 0:
            raise _malformed("unterminated value")
        value = _checked_value(body[i + 1:close])
        i = close + 1
        prefix, local = name.group(1) or "", name.group(2)
        if (prefix, local) == ("", "xmlns") or prefix == "xmlns":
            decls[local if prefix else ""] = _decoded(value)
        else:
            attrs.append(_Attr(prefix, local, value))


class _Prescan:
    def __init__(self, want_rows: bool, corners: Corners, row_index: Callable[[str], Any],
                 helpers: Mapping[str, Any]) -> None:
        self.want_rows = want_rows
        self.corners = corners
        self.corner_rows = {row for row, _ in corners}
        self.row_index = row_index
        self.coordinate_to_tuple = helpers.get("coordinate_to_tuple", coordinate_to_tuple)
        self.head: list[tuple[bytes, Namespaces]] = []
        self.tail: list[tuple[bytes, Namespaces]] = []
        self.rows: list[tuple[int, list[tuple[str, str]]]] = []
        self.row = 0      # last row number seen
        self.col = 0      # column of the last cell of the current row
        self.depth = 0
        self.sheet_data_seen = False
        self.capture_start: int | None = None  # absolute offset of the element being captured (depth 2)
        self.capture_empty_end: int | None = None  # offset past its "/>" when it is self-closing
        self.root_bindings: Namespaces = []
        self.pending_ns: Namespaces = []
        self.raw_from: int | None = None  # where the raw scan of sheetData starts, once it is due
        self.scan_bindings: dict[str, str] = {}  # prefixes in scope inside sheetData
        self.prefix = b""           # sheetData's own prefix ("x:"), which its rows and cells share
        self.sheet_data_scanning = False

    # -- reading and feeding -------------------------------------------------------------

    def run(self, source: Source) -> None:
        self.input = _Utf8Input(source.read)
        parser = refuse_doctype(expat.ParserCreate("utf-8" if self.input.transcoded else None,
                                                   namespace_separator=_SEP))
        parser.namespace_prefixes = True
        parser.ordered_attributes = True
        # Every complete tag is reported as soon as it is fed: the feeding below relies on it.
        parser.SetReparseDeferralEnabled(False)
        parser.StartNamespaceDeclHandler = self._on_ns
        parser.StartElementHandler = self._on_start
        parser.EndElementHandler = self._on_end
        self.parser = parser
        self.buf = bytearray()
        self.base = 0        # absolute offset of buf[0]
        self.fed = 0         # absolute offset up to which expat has been fed
        self.skipped = 0     # bytes of sheetData content expat never saw
        self.keep = 0        # during the raw scan: the first byte still needed
        self.eof = False
        while True:
            if self.raw_from is not None:
                self._raw_scan()
                continue
            end = self._feed_end()
            if end is not None:
                self._feed(end)
            elif self.eof:
                self._feed(self.base + len(self.buf))
                parser.Parse(b"", True)
                return
            else:
                self._more()

    def _more(self) -> None:
        if self.sheet_data_scanning:
            keep = self.keep
        else:
            keep = min(self.fed, max(self.parser.CurrentByteIndex, 0) + self.skipped)
            if self.capture_start is not None:
                keep = min(keep, self.capture_start)
        drop = keep - self.base
        if drop > READ_CHUNK:
            del self.buf[:drop]
            self.base = keep
        chunk = self.input.read()
        self.buf += chunk
        self.eof = not chunk

    def _feed(self, end: int) -> None:
        data = self.buf[self.fed - self.base:end - self.base]
        self.fed = end
        self.parser.Parse(data, False)

    def _feed_end(self) -> int | None:
        """Where the next piece to feed expat ends (absolute), or None when more input is needed.

        Until sheetData's start tag has been met, every tag, comment or instruction is fed on
        its own, so that expat stops right after that start tag and the raw scan takes over."""
        start, end = self.fed - self.base, len(self.buf)
        if start >= end:
            return None
        if self.sheet_data_seen:
            return self.base + end
        if self.buf[start] != 0x3C:
            lt = self.buf.find(b"<", start)
            return self.base + (lt if lt >= 0 else end)
        close = _construct_end(self.buf, start)
        return None if close is None else self.base + close

    # -- expat callbacks -----------------------------------------------------------------

    def _on_ns(self, prefix: str | None, uri: str | None) -> None:
        self.pending_ns.append((prefix or "", uri or ""))

    def _on_start(self, name: str, attrs: list[str]) -> None:
        self.depth += 1
        depth = self.depth
        if depth == 1:
            self.root_bindings = self.pending_ns
        own_ns, self.pending_ns = self.pending_ns, []
        if depth != 2:
            return
        start = self.parser.CurrentByteIndex + self.skipped
        end = tag_end(self.buf, self.base, start)
        empty = self.buf[end - self.base - 2] == 0x2F
        uri, local, prefix = _split(name)
        if not self.sheet_data_seen and uri == MAIN_NS and local == "sheetData":
            self.sheet_data_seen = True
            if not empty:
                self.raw_from = end
                self.prefix = (prefix + ":").encode() if prefix else b""
                self.scan_bindings = dict(self.root_bindings + own_ns)
            return
        self.capture_start = start
        self.capture_empty_end = end if empty else None

    def _on_end(self, name: str) -> None:
        depth = self.depth
        self.depth -= 1
        if depth != 2 or self.capture_start is None:
            return
        start, self.capture_start = self.capture_start, None
        end = self.capture_empty_end or tag_end(self.buf, self.base, self.parser.CurrentByteIndex + self.skipped)
        snippet = bytes(self.buf[start - self.base:end - self.base])
        # Around a child of the root only the root's own declarations are in scope.
        (self.tail if self.sheet_data_seen else self.head).append((snippet, in_scope(self.root_bindings)))

    # -- the raw scan --------------------------------------------------------------------

    def _raw_scan(self) -> None:
        """Scans sheetData's content from `raw_from` to its end tag, where expat resumes."""
        prefix = re.escape(self.prefix)
        wanted = [rb"(?P<end>/%ssheetData)[ \t\r\n>]" % prefix, rb"(?P<markup>[!?])"]
        if self.want_rows or self.corners:
            wanted.append(rb"(?P<row>%srow)[ \t\r\n/>]" % prefix)
        if self.corners:
            wanted.append(rb"(?P<cell>%sc)[ \t\r\n/>]" % prefix)
        pattern = re.compile(b"<(?:" + b"|".join(wanted) + b")")
        pos, self.raw_from = cast(int, self.raw_from), None  # called once it is due
        self.sheet_data_scanning = True
        while True:
            self.keep = pos
            found = pattern.search(self.buf, pos - self.base)
            if found is None:
                if self.eof:
                    raise _malformed("eof in element")
                # What is left may begin a tag whose name is still to come.
                pos = max(pos, self.base + len(self.buf) - 12 - len(self.prefix))
                self.keep = pos
                self._more()
                continue
            at = self.base + found.start()
            kind: str = found.lastgroup  # type: ignore[assignment]  # every alternative is a named group
            if kind == "end":
                self.sheet_data_scanning = False
                self.skipped += at - self.fed
                self.fed = at
                return
            self.keep = at
            end = _construct_end(self.buf, at - self.base)
            if end is None:
                if self.eof:
                    raise _malformed("eof in tag" if kind != "markup" else "eof in element")
                self._more()
                continue
            end += self.base
            # Comments, CDATA sections and instructions (which the engine leaves to this module)
            # are passed over, as expat would.
            if kind != "markup":
                tag = bytes(self.buf[at - self.base:end - self.base])
                body = tag[len(found.group(kind)) + 1:-1]
                (self._row_tag if kind == "row" else self._cell_tag)(tag, body[:-1] if body.endswith(b"/") else body)
            pos = end

    def _row_tag(self, tag: bytes, body: bytes) -> None:
        fast = b"<%srow r=\"" % self.prefix
        if not self.want_rows and tag.startswith(fast):
            quote = tag.find(b'"', len(fast))
            if quote >= 0 and _NATIVE_INT.match(tag, len(fast), quote):
                self.row, self.col = int(tag[len(fast):quote]), 0
                return
        attrs, decls = _scan_attrs(body)
        r = _find(attrs, "r")
        if r is None:
            if self.row + 1 >= _I64:
                raise OverflowError("row index out of range")
            number = self.row + 1
        else:
            text = _decoded(r.value)
            number = int(text) if is_native_int(text) else to_int64(int(self.row_index(text)))
        self.row, self.col = number, 0
        if not self.want_rows:
            return
        # Formatted rows are those the full reader records dimensions for: an attribute beyond
        # `r` and `spans` in no namespace. Prefixed ones (x14ac:dyDescent on every row) do not count.
        if any(not a.prefix and a.local not in ("r", "spans") for a in attrs):
            self.rows.append((number, [(self._key(a, decls), _decoded(a.value)) for a in attrs]))

    def _cell_tag(self, tag: bytes, body: bytes) -> None:
        fast = b"<%sc r=\"" % self.prefix
        if tag.startswith(fast):
            quote = tag.find(b'"', len(fast))
            at = _fast_coordinate(tag[len(fast):quote].decode("latin-1")) if quote >= 0 else None
            if at is not None and at[0] not in self.corner_rows:
                self.col = at[1]
                return
        attrs, _ = _scan_attrs(body)
        r = _find(attrs, "r")
        text = _decoded(r.value) if r is not None else ""
        if text:
            row, col = _fast_coordinate(text) or self.coordinate_to_tuple(text)
            row, col = to_int64(row), to_int64(col)
            self.col = col
        else:
            if self.col + 1 >= _I64:
                raise OverflowError("column index out of range")
            self.col += 1
            row, col = self.row, self.col
        # The last cell at a coordinate wins, as it does in an editable sheet's cell mapping; a
        # cell without `s` there resets the corner to none.
        if (row, col) in self.corners:
            s = _find(attrs, "s")
            self.corners[(row, col)] = None if s is None else _decoded(s.value)

    def _key(self, attr: _Attr, decls: Mapping[str, str]) -> str:
        if not attr.prefix:
            return attr.local
        uri = decls.get(attr.prefix) or self.scan_bindings.get(attr.prefix)
        if attr.prefix == "xml":
            uri = XML_NS
        if not uri:
            raise _malformed("unbound prefix")
        return "{%s}%s" % (uri, attr.local)


def _find(attrs: list[_Attr], local: str) -> _Attr | None:
    for attr in attrs:
        if not attr.prefix and attr.local == local:
            return attr
    return None


def _split(name: str) -> tuple[str, str, str]:
    """expat's "uri SEP local [SEP prefix]" as (uri, local, prefix)."""
    parts = name.split(_SEP)
    if len(parts) == 1:
        return "", parts[0], ""
    return parts[0], parts[1], parts[2] if len(parts) == 3 else ""
