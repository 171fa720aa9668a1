"""Pure-Python worksheet parser: the reference that the native sheet reader reproduces.

`WorksheetParser` walks a worksheet part with expat, streaming, and yields one item at a time:

* ``("row", idx, cells)``: the cells of one ``row`` of ``sheetData``, as `CellRecord`s;
* ``("element", snippet, namespaces)``: any other top-level element, as its exact source bytes
  and the namespace declarations in scope around it (prefix, URI) pairs, for the caller to
  replay in document order.

Date warnings go to the ``actions`` list as ``("warn", message)`` when the cell is read, and row
dimensions into the ``row_dims`` dict. Every decision that depends on the package's own
conversions is made by the callables of the reading helper table, exactly as the native reader
makes it, so both paths agree value for value.
"""

import datetime
import operator
import re
import xml.parsers.expat as expat
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any, NamedTuple, SupportsIndex, cast

from ..constants import MAIN_NS, PLAIN_ATTRIBUTE
from ..model.cell import Loaded
from ..package.errors import refuse_doctype, sheet_location
from .source import READ_CHUNK, Source, read_chunk

PARSE_BLOCK = 16384
_SEP = "\x01"

# An item of `WorksheetParser`: ("row", idx, cells) or ("element", snippet, namespaces).
Item = tuple[Any, ...]
Namespaces = list[tuple[str, str]]

# Elements the worksheet dispatcher handles itself, wherever they occur.
DISPATCH_TAGS = frozenset((
    "col", "row", "extLst", "sheetPr", "rowBreaks", "colBreaks", "pageSetup", "scenarios",
    "autoFilter", "sheetViews", "tableParts", "hyperlinks", "mergeCells", "pageMargins",
    "printOptions", "headerFooter", "legacyDrawing", "sheetFormatPr", "sheetProtection",
    "dataValidations", "customSheetViews", "conditionalFormatting",
))

_NATIVE_INT = re.compile(r"-?[0-9]{1,18}\Z")
_PLAIN_ATTRIBUTE = re.compile(PLAIN_ATTRIBUTE)


def is_native_int(text: str) -> bool:
    """Whether the engine reads `text` as an integer itself: "-"? and 1 to 18 ASCII digits."""
    return _NATIVE_INT.match(text) is not None


ABSENT = object()
"""Marks a `CellRecord.formula` or `.cached` that the cell does not have."""


class CellRecord(NamedTuple):
    row: int
    column: int
    value: object
    data_type: str
    style_id: int | str  # "" for an empty s attribute
    formula: object = ABSENT
    cached: object = ABSENT
    is_formula: bool = False
    loaded: Loaded = None  # with `keep_cells`: what the cell keeps for being saved unchanged (`Cell._loaded`)


class ReaderSettings(NamedTuple):
    """The parser options that reading needs, read once from the parser object."""

    epoch: datetime.datetime
    formula_and_value: bool
    shared_strings: Sequence[Any]
    data_only: bool
    rich_text: bool
    date_formats: frozenset[int]
    timedelta_formats: frozenset[int]
    time_formats: frozenset[int]
    keep_cells: bool = False
    kept_styles: frozenset[int] = frozenset()

    @classmethod
    def from_parser(cls, parser: Any) -> ReaderSettings:
        return cls(
            epoch=parser.epoch,
            formula_and_value=bool(getattr(parser, "formula_and_value", False)),
            shared_strings=parser.shared_strings,
            data_only=bool(parser.data_only),
            rich_text=bool(parser.rich_text),
            date_formats=frozenset(_int_ids(parser.date_formats)),
            timedelta_formats=frozenset(_int_ids(parser.timedelta_formats)),
            time_formats=frozenset(_int_ids(getattr(parser, "time_formats", ()))),
            keep_cells=(keep := bool(getattr(parser, "keep_cells", False))),
            kept_styles=frozenset(_int_ids(getattr(parser, "kept_styles", ()))) if keep else frozenset(),
        )


def _int_ids(ids: Iterable[object]) -> Iterator[int]:
    return (i for i in ids if isinstance(i, int) and not isinstance(i, bool) and -2**63 <= i < 2**63)


def _split(name: str) -> tuple[str, str]:
    uri, sep, local = name.rpartition(_SEP)
    return (uri if sep else ""), local


def _attr_key(name: str) -> str:
    uri, local = _split(name)
    return "{%s}%s" % (uri, local) if uri else local


class _Element:
    __slots__ = ("uri", "local", "start", "empty", "bindings")

    def __init__(self, uri: str, local: str, start: int, empty: bool, bindings: Namespaces) -> None:
        self.uri = uri
        self.local = local
        self.start = start
        self.empty = empty
        self.bindings = bindings


class _Cell:
    """What one cell element has collected by the time its end tag arrives."""

    __slots__ = ("attrs", "extra", "v", "f", "f_attrs", "f_text", "inline", "runs", "seen_v", "seen_f", "seen_is")

    def __init__(self, attrs: dict[str, str], extra: tuple[tuple[str, str], ...]) -> None:
        self.attrs = attrs
        self.extra = extra  # the other attributes kept (`keep_cells`)
        self.runs: Any = None
        self.v: list[str] | None = None
        self.f: dict[str, str] | None = None
        self.f_attrs: dict[str, str] | None = None
        self.f_text: list[str] | None = None
        self.inline: object = ABSENT
        self.seen_v = self.seen_f = self.seen_is = False


class WorksheetParser:
    """Streams the items of one worksheet part (see the module docstring)."""

    def __init__(self, source: Source, settings: ReaderSettings, helpers: Mapping[str, Any],
                 actions: list[tuple[Any, ...]], row_dims: dict[str, dict[str, str]]) -> None:
        self._source = source
        self._s = settings
        self._h = helpers
        self._actions = actions
        self._row_dims = row_dims
        self._row_counter = 0
        self._col_counter = 0
        self._masters: list[Any] = []   # the shared formulas' translators
        self._anon_master: int | None = None
        self._masters_by_si: dict[str, int] = {}
        # (row, column) being read; column None before a cell's own
        self._at: tuple[int | None, int | None] = (None, None)
        self._sst_index: int | None = None  # the shared string index of the cell being read

    def position(self) -> str | None:
        """Where the parser is: the coordinate of the cell being read ("B7"), the row ("7:7")
        before a cell's coordinate is known, or None before the first row."""
        return sheet_location(*self._at)

    # -------------------------------------------------------------- streaming machinery

    def __iter__(self) -> Iterator[Item]:
        parser = refuse_doctype(expat.ParserCreate(namespace_separator=_SEP))
        parser.ordered_attributes = True
        parser.buffer_text = True
        parser.StartNamespaceDeclHandler = self._on_ns
        parser.StartElementHandler = self._on_start
        parser.EndElementHandler = self._on_end
        parser.CharacterDataHandler = self._on_text
        self._parser = parser
        self._buf = bytearray()
        self._base = 0            # absolute offset of self._buf[0]
        self._keep = 0            # earliest absolute offset still needed
        self._stack: list[_Element] = []  # open elements
        self._pending_ns: Namespaces = []
        self._items: list[Item] = []
        self._in_sheet_data = False
        # (element depth, consumer) while an element is being captured
        self._capture: tuple[int, Callable[[bytes, Namespaces], object]] | None = None
        self._row: tuple[int, list[CellRecord]] | None = None  # (row index, cells) while inside a row
        self._cell: _Cell | None = None  # while inside a cell
        self._text_target: tuple[int, list[str]] | None = None  # (depth, list) collecting the text of v or f
        read = self._source.read
        fed = 0
        while True:
            chunk = read_chunk(read)
            self._buf += chunk
            if not chunk:
                parser.Parse(b"", True)
                yield from self._drain()
                return
            # Items are handed out per block of PARSE_BLOCK bytes: damage found in a block
            # loses only the items of that block, the same items that the native reader holds
            # back until it has read past their block.
            start = 0
            while start < len(chunk):
                # Blocks are counted from the start of the part, whatever the source's chunks.
                stop = min(len(chunk), start + PARSE_BLOCK - (fed + start) % PARSE_BLOCK)
                parser.Parse(chunk[start:stop], False)
                start = stop
                yield from self._drain()
            fed += len(chunk)
            self._trim()

    def _drain(self) -> list[Item]:
        items, self._items = self._items, []
        return items

    def _trim(self) -> None:
        keep = self._keep if self._capture is None else min(self._keep, self._capture_start)
        drop = keep - self._base
        if drop > READ_CHUNK:
            del self._buf[:drop]
            self._base = keep

    def _bytes(self, start: int, end: int) -> bytes:
        return bytes(self._buf[start - self._base:end - self._base])

    def _tag_end(self, start: int) -> int:
        return tag_end(self._buf, self._base, start)

    def _namespaces(self) -> Namespaces:
        return in_scope(binding for element in self._stack for binding in element.bindings)

    # -------------------------------------------------------------- expat callbacks

    def _on_ns(self, prefix: str | None, uri: str | None) -> None:
        self._pending_ns.append((prefix or "", uri or ""))

    def _on_start(self, name: str, attrs: list[str]) -> None:
        start = self._parser.CurrentByteIndex
        self._keep = start
        end = self._tag_end(start)
        empty = self._buf[end - self._base - 2] == 0x2F
        uri, local = _split(name)
        element = _Element(uri, local, start, empty, self._pending_ns)
        self._pending_ns = []
        self._stack.append(element)
        depth = len(self._stack)
        self._text_target = None
        if self._capture is not None:
            return
        if self._cell is not None:
            self._cell_child(element, depth, attrs)
        elif self._row is not None:
            # Every child of a row is a cell, whatever its name, except the worksheet-level
            # elements that only a damaged part puts there: those are passed over.
            if depth == 4 and not (uri == MAIN_NS and local in DISPATCH_TAGS):
                self._start_cell(attrs)
        elif depth == 2 and not self._in_sheet_data:
            if uri == MAIN_NS and local == "sheetData":
                self._in_sheet_data = True
            else:
                self._start_capture(depth, self._emit_element)
        elif depth == 3 and self._in_sheet_data:
            if uri == MAIN_NS and local == "row":
                self._start_row(attrs)
            else:
                self._start_capture(depth, self._emit_element)

    def _on_end(self, name: str) -> None:
        index = self._parser.CurrentByteIndex
        self._keep = index
        depth = len(self._stack)
        element = self._stack[-1]
        self._text_target = None
        if self._capture is not None and self._capture[0] == depth:
            end = index if element.empty else self._tag_end(index)
            snippet = self._bytes(element.start, end)
            self._stack.pop()
            consumer = self._capture[1]
            self._capture = None
            consumer(snippet, self._namespaces())
            return
        self._stack.pop()
        if self._capture is not None:
            return
        if self._cell is not None and depth == 4:
            self._end_cell()
        elif self._row is not None and depth == 3:
            idx, cells = self._row
            self._row = None
            self._items.append(("row", idx, cells))
        elif self._in_sheet_data and depth == 2:
            self._in_sheet_data = False

    def _on_text(self, data: str) -> None:
        if self._text_target is not None and self._text_target[0] == len(self._stack):
            self._text_target[1].append(data)

    def _start_capture(self, depth: int, consumer: Callable[[bytes, Namespaces], object]) -> None:
        self._capture = (depth, consumer)
        self._capture_start = self._stack[-1].start

    def _emit_element(self, snippet: bytes, namespaces: Namespaces) -> None:
        self._items.append(("element", snippet, namespaces))

    # -------------------------------------------------------------- rows and cells

    def _start_row(self, attrs: list[str]) -> None:
        self._at = (None, None)
        r = None
        has_dims = False
        for i in range(0, len(attrs), 2):
            uri, local = _split(attrs[i])
            if uri:
                continue
            if local == "r":
                r = attrs[i + 1]
            elif local != "spans":
                has_dims = True
        if r is None:
            self._row_counter += 1
            if self._row_counter >= 2**63:
                raise OverflowError("row index out of range")
        elif is_native_int(r):
            self._row_counter = int(r)
        else:
            self._row_counter = to_int64(self._h["row_index"](r))
        self._col_counter = 0
        self._at = (self._row_counter, None)
        if has_dims:
            self._row_dims[str(self._row_counter)] = {
                _attr_key(attrs[i]): attrs[i + 1] for i in range(0, len(attrs), 2)}
        self._row = (self._row_counter, [])

    def _start_cell(self, attrs: list[str]) -> None:
        own = {}
        extra = []
        for i in range(0, len(attrs), 2):
            uri, local = _split(attrs[i])
            if uri:
                continue
            if local in ("r", "s", "t"):
                own[local] = attrs[i + 1]
            elif self._s.keep_cells and _PLAIN_ATTRIBUTE.match(local):
                extra.append((local, attrs[i + 1]))
        self._cell = _Cell(own, tuple(extra))
        self._at = (self._row_counter, None)
        self._cell_style = self._style_of(own.get("s"))

    def _cell_child(self, element: _Element, depth: int, attrs: list[str]) -> None:
        cell: _Cell = self._cell  # type: ignore[assignment]  # called inside a cell only
        if depth != 5:
            return
        if element.uri == MAIN_NS and element.local == "v" and not cell.seen_v:
            cell.seen_v = True
            cell.v = []
            self._text_target = (depth, cell.v)
        elif element.uri == MAIN_NS and element.local == "f" and not cell.seen_f:
            cell.seen_f = True
            cell.f = {}
            for i in range(0, len(attrs), 2):
                uri, local = _split(attrs[i])
                if not uri and local in ("t", "ref", "si"):
                    cell.f[local] = attrs[i + 1]
            if cell.f.get("t") == "dataTable" and not self._s.data_only:
                cell.f_attrs = {_attr_key(attrs[i]): attrs[i + 1] for i in range(0, len(attrs), 2)}
            cell.f_text = []
            self._text_target = (depth, cell.f_text)
        elif (element.uri == MAIN_NS and element.local == "is" and not cell.seen_is
              and cell.attrs.get("t") == "inlineStr"):
            cell.seen_is = True
            self._start_capture(depth, lambda snippet, ns: self._inline(cell, snippet, ns))

    def _inline(self, cell: _Cell, snippet: bytes, namespaces: Namespaces) -> None:
        if self._s.rich_text:
            cell.inline = self._h["rich_inline"](snippet, namespaces)
            return
        cell.inline = self._h["text_content"](snippet, namespaces)
        if self._s.keep_cells:
            # The text is plain for the user; its formatted runs are kept for saving it unchanged.
            cell.runs = self._h["kept_runs"](snippet, namespaces)

    def _end_cell(self) -> None:
        cell, self._cell = self._cell, None
        # Called at the end of a cell inside a row only.
        self._row[1].append(self._interpret(cell, self._cell_style))  # type: ignore[index, arg-type]

    # -------------------------------------------------------------- cell interpretation

    def _style_of(self, s: str | None) -> Any:
        if s is None:
            return 0
        if s == "":
            return ""
        return self._h["int"](s)

    def _coordinate(self, r: str) -> tuple[int, int]:
        row, col = self._h["coordinate_to_tuple"](r)
        return to_int64(row), to_int64(col)

    def _interpret(self, cell: _Cell, style: Any) -> CellRecord:
        s = self._s
        attrs = cell.attrs
        dtype = attrs.get("t", "n")
        r = attrs.get("r")
        text = None
        if dtype != "inlineStr" and cell.v:
            text = "".join(cell.v) or None
        if r:
            row, col = self._coordinate(r)
            self._col_counter = col
        else:
            self._col_counter += 1
            if self._col_counter >= 2**63:
                raise OverflowError("column index out of range")
            row, col = self._row_counter, self._col_counter
        self._at = (row, col)
        has_f = cell.f is not None
        is_formula = has_f and not s.data_only
        formula = ABSENT
        if has_f and (not s.data_only or s.formula_and_value):
            formula = self._formula(cell, row, col, r)
        self._sst_index = None
        if is_formula and not s.formula_and_value:
            value, vtype = None, "f"
        else:
            value, vtype = self._typed(text, dtype, style, cell.inline, r, is_formula)
        loaded = self._loaded(cell, has_f, style) if s.keep_cells else None
        if is_formula:
            cached = value if s.formula_and_value else ABSENT
            return CellRecord(row, col, formula, "f", style, ABSENT, cached, True, loaded)
        return CellRecord(row, col, value, vtype, style, formula, ABSENT, False, loaded)

    def _loaded(self, cell: _Cell, has_f: bool, style: Any) -> Loaded:
        """What the cell keeps for being saved unchanged (see `Cell._loaded`)."""
        attrs = cell.extra
        cached: tuple[str | None, str] | None = None
        if has_f and self._s.data_only:
            attrs = ()  # the cell loses its formula: what belonged to it does not stay
        elif has_f:
            t = cell.attrs.get("t")
            v = "".join(cell.v or ())
            if t == "inlineStr" and isinstance(cell.inline, str):
                cached = ("str", cell.inline)  # an inline result is the string result it is
            elif v or t is not None:
                cached = (t, v)
        if type(style) is int and style in self._s.kept_styles:
            # A format the writer would name by another id (or none): the cell keeps its own.
            attrs += (("s", str(style)),)
        if not attrs and cached is None and cell.runs is None:
            return self._sst_index
        return (attrs, self._sst_index, cached, cell.runs)

    def _typed(self, text: str | None, dtype: str, style: Any, inline: object, r: str | None,
               is_formula: bool) -> tuple[Any, str]:
        if text is None:
            if dtype == "inlineStr":
                return (inline, "s") if inline is not ABSENT else (None, "inlineStr")
            return None, dtype
        h = self._h
        if dtype == "n":
            if "." in text or "e" in text or "E" in text:
                number = h["float"](text)
            else:
                number = h["int"](text)
                if isinstance(number, int) and not -2**63 <= number < 2**63:
                    # Beyond 64 bits a number is what spreadsheet programs read: the nearest
                    # double (an int that long could not be assigned back to a cell).
                    number = h["float"](text)
            s = self._s
            if (s.date_formats and isinstance(style, int) and not isinstance(style, bool)
                    and -2**63 <= style < 2**63 and style in s.date_formats):
                return self._date(number, style, r, is_formula)
            return number, "n"
        if dtype == "s":
            index = h["int"](text)
            value = shared_string(self._s.shared_strings, index)
            self._sst_index = index
            return value, "s"
        if dtype == "b":
            return bool(h["int"](text)), "b"
        if dtype == "d":
            return h["from_ISO8601"](text), "d"
        if dtype in ("e", "f"):
            return text, dtype
        if dtype == "str":
            return text, "s"
        return text, dtype

    def _date(self, number: float, style: int, r: str | None, is_formula: bool) -> tuple[Any, str]:
        s = self._s
        try:
            value = self._h["from_excel"](number, s.epoch, timedelta=style in s.timedelta_formats,
                                          shows_date=style not in s.time_formats)
            if isinstance(value, (int, float)):
                # The 1900 system's 1900-02-29, which no date holds: the number stays.
                if not is_formula:
                    self._actions.append(("warn", self._h["date_warning"](r, number, True)))
                return number, "n"
            return value, "d"
        except (OverflowError, ValueError):
            message = self._h["date_warning"](r, number)
            if not is_formula:
                self._actions.append(("warn", message))
            return "#VALUE!", "e"

    def _formula(self, cell: _Cell, row: int, col: int, r: str | None) -> Any:
        h = self._h
        text = "=" + "".join(cell.f_text or ())
        f = cast("dict[str, str]", cell.f)  # called for a cell with a formula only
        kind = f.get("t")
        if kind == "array":
            return h["ArrayFormula"](ref=f.get("ref"), text=text)
        if kind == "dataTable":
            return h["DataTableFormula"](**(cell.f_attrs or {}))
        if kind != "shared":
            return text
        si = f.get("si")
        index = self._masters_by_si.get(si) if si is not None else self._anon_master
        if index is not None:
            # An empty r names no cell: the formula is rendered unshifted, as without r.
            return self._masters[index].translate_formula(r or None)
        if text == "=":
            return text
        master = h["Translator"](text, r)
        self._masters.append(master)
        if si is not None:
            self._masters_by_si[si] = len(self._masters) - 1
        else:
            self._anon_master = len(self._masters) - 1
        return text


def shared_string(strings: Sequence[Any], index: int) -> Any:
    """Item `index` of the shared string table. A negative index is out of range like any
    other: it counts from the start of the table, not (as Python would) from its end."""
    if isinstance(index, int) and index < 0:
        raise IndexError("shared string index %s out of range (%d strings)" % (index, len(strings)))
    try:
        return strings[index]
    except IndexError:
        raise IndexError("shared string index %s out of range (%d strings)" % (index, len(strings))) from None


def to_int64(value: SupportsIndex) -> int:
    """`value` as a signed 64-bit integer, converted as the engine converts it (`__index__`)."""
    value = operator.index(value)
    if not -2**63 <= value < 2**63:
        raise OverflowError("Python int too large to convert to C long")
    return value


def tag_end(buf: bytes | bytearray, base: int, start: int) -> int:
    """Absolute offset just past the '>' of the tag at absolute offset `start` in `buf`, which
    holds the input from absolute offset `base` (quoted values may hold '>')."""
    i, quote = start - base, None
    while True:
        c = buf[i]
        if quote is not None:
            if c == quote:
                quote = None
        elif c in (0x22, 0x27):
            quote = c
        elif c == 0x3E:
            return i + 1 + base
        i += 1


def in_scope(bindings: Iterable[tuple[str, str]]) -> Namespaces:
    """Namespace declarations in scope from (prefix, URI) bindings, outermost first: each prefix
    once, at the place of its outermost declaration, with the URI of its innermost one."""
    result: Namespaces = []
    where: dict[str, int] = {}
    for prefix, uri in bindings:
        if prefix in where:
            result[where[prefix]] = (prefix, uri)
        else:
            where[prefix] = len(result)
            result.append((prefix, uri))
    return result
