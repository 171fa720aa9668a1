"""Writing a worksheet's `<sheetData>`: the pure-Python writer, and the entry points that use the
native engine's `SheetWriter` when it is available.

Two serialisation modes exist, chosen by the `lxml` flag: the standard library's ElementTree
(text is handed to `write` as `str`) and lxml's incremental writer producing an ASCII document
(text is handed to `write` as `bytes`). Every element here is made by those serialisers, so the
output is what they produce; the native writer reproduces it byte for byte, and hands every cell
it does not write itself to `write_cell` below, so that such cells are rendered only here.

What is read from the worksheet: `ws._cells` (a mapping of (row, column) to cells: a dict or a
`CellStore`), `ws.row_dimensions` (row number -> mapping of row attribute name -> str),
`ws._hyperlinks` (a list the cells' hyperlinks are appended to) and, from the workbook
`ws.parent`, `_cell_styles` (its `add(style)` gives a style's id), `epoch` and `iso_dates`.
Cells are read through their `_value`, `_style`, `_comment`, `data_type`, `row`, `column` and
`hyperlink` attributes.

Text handed to `write` is cut only where a row ends, once at least `FLUSH_SIZE` bytes are
pending, and at the end of the sheet (or at `flush()`).
"""

import datetime
import math
import operator
import re
import xml.etree.ElementTree as ET
from collections.abc import Callable, Iterable, Iterator
from decimal import Decimal
from functools import partial
from io import BytesIO
from types import ModuleType
from typing import Any

from quillfen._native import NativeFallback, engine, native_or_pure
from quillfen.constants import PLAIN_ATTRIBUTE
from quillfen.formula.objects import ArrayFormula, DataTableFormula
from quillfen.model.richtext import CellRichText, TextBlock
from quillfen.model.styles import StyleArray
from quillfen.utils.cells import column_letter
from quillfen.utils.datetime import to_excel
from quillfen.utils.escapes import encode

__all__ = ["FLUSH_SIZE", "sheet_writer", "write_sheet_data", "writing_helpers", "PureSheetWriter",
           "rows", "write_cell", "date_value", "date_value_raw", "add_comment", "safe_string",
           "number_text", "StyleArray"]

FLUSH_SIZE = 1 << 20

_SPACE = "{http://www.w3.org/XML/1998/namespace}space"
_PRESERVE = {_SPACE: "preserve"}

# What XML 1.0 cannot hold: C0 controls other than tab, line feed and carriage return, lone
# surrogates and the non-characters U+FFFE and U+FFFF. ElementTree would write them unchanged
# into a file no reader accepts; lxml refuses them. Both modes refuse them here, alike.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")

# Attribute names that are written (rows', and the kept ones of loaded cells): unprefixed ASCII
# names. A name in "{uri}local" form would need a namespace declaration that neither mode makes
# the same way.
_ATTR_NAME = re.compile(PLAIN_ATTRIBUTE)

# What a cell's `<c>` element is made of: its attributes and its body, None (an empty element)
# or ("v", text), ("f", attributes, text, cached result text or None), ("is", text),
# ("rich", runs).
Body = tuple[Any, ...] | None
Run = tuple[list[tuple[str, dict[str, str]]], str]

_DATES = (datetime.datetime, datetime.date, datetime.time, datetime.timedelta)
_NUMBERS = (int, float, Decimal)  # bool is an int

# Run properties in the order the rich-text schema lists them.
_RUN_PROPERTIES = ("rFont", "charset", "family", "b", "i", "strike", "outline", "shadow",
                   "condense", "extend", "color", "sz", "u", "vertAlign", "scheme")


# ------------------------------------------------------------------ text and numbers

def safe_string(value: Any, where: str = "text") -> str:
    """`value` as text that XML can hold: `str(value)`, unchanged. Raises ValueError, naming
    `where` ("cell A1"), for a character XML does not allow: a control character other than
    tab, line feed and carriage return, a lone surrogate, U+FFFE or U+FFFF."""
    text = value if isinstance(value, str) else str(value)
    bad = _NOT_XML.search(text)
    if bad is not None:
        raise ValueError(f"{where}: cannot write {bad.group()!r}, a character XML does not allow")
    return text


def number_text(value: bool | int | float | Decimal) -> str:
    """The text a number is written with: "1"/"0" for a bool, the exact decimal digits of an
    int, and for a float the fewest digits that read back as the same double (its repr without
    a trailing ".0", which -0.0 keeps: "-0" would read back as the integer 0); NaN and
    infinities have no text. Decimals keep their own digits."""
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        return int.__repr__(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            return ""
        text = float.__repr__(value)
        return text[:-2] if text.endswith(".0") and text != "-0.0" else text
    return Decimal.__str__(value) if value.is_finite() else ""


def _attr_text(value: Any, where: str) -> str:
    """An attribute value of a formula or font property as text."""
    if isinstance(value, _NUMBERS):
        return number_text(value)
    return safe_string(value, where)


def _type_name(obj: object) -> str:
    """The fully qualified name of the type of `obj`, as the engine's messages give it."""
    cls = type(obj)
    module = cls.__module__
    return cls.__qualname__ if module == "builtins" else f"{module}.{cls.__qualname__}"


# ------------------------------------------------------------------ helpers of the engine

def date_value_raw(ws: Any, value: Any) -> tuple[bool, Any]:
    """How a value of a date cell is written, as (is ISO text, value): dates and times become
    ISO 8601 text when the workbook writes ISO dates (`iso_dates`), else serial numbers from
    its epoch; durations are always serial numbers. Other values are given back as they are,
    text marked as such."""
    if not isinstance(value, _DATES):
        return isinstance(value, str), value
    workbook = ws.parent
    if workbook.iso_dates and not isinstance(value, datetime.timedelta):
        if getattr(value, "tzinfo", None) is not None:
            raise TypeError("dates with a time zone cannot be written: set tzinfo to None")
        return True, value.isoformat()
    return False, to_excel(value, workbook.epoch)


def date_value(ws: Any, cell: Any) -> tuple[bool, Any]:
    """`date_value_raw` of the cell's value."""
    return date_value_raw(ws, cell._value)


def add_comment(ws: Any, cell: Any) -> None:
    """Keeps a written cell's comment for the package writer: appends (coordinate, comment) to
    the worksheet's `_comments` list, made on first use."""
    comments = getattr(ws, "_comments", None)
    if comments is None:
        comments = ws._comments = []
    comments.append((_coordinate(cell), cell._comment))


def has_style(style: Iterable[int] | None) -> bool:
    """Whether a cell's style array gives it a style of its own (any id not 0)."""
    return style is not None and any(style)


def _coordinate(cell: Any) -> str:
    return column_letter(operator.index(cell.column)) + str(operator.index(cell.row))


def _space(text: str, lxml: bool) -> dict[str, str]:
    # The two serialisers' writers differ on text made only of whitespace: ElementTree's leaves
    # it without xml:space, lxml's marks it.
    stripped = text.strip()
    return _PRESERVE if stripped != text and (lxml or stripped) else {}


def _cell_parts(ws: Any, cell: Any, styled: bool) -> tuple[dict[str, str], Body]:
    """The attributes and body of a cell's `<c>` element. The body is None (an empty element),
    ("v", text), ("f", attributes, text, cached result text or None), ("is", text) or
    ("rich", runs)."""
    coordinate = _coordinate(cell)
    where = "cell " + coordinate
    attrs = {"r": coordinate}
    kept, shared, cached, runs = _loaded(cell)
    style_id = _kept_style(ws, cell, kept)
    if style_id is None and styled:
        style_id = ws.parent._cell_styles.add(cell._style)
    if style_id is not None:
        attrs["s"] = safe_string(style_id, where)
    data_type = cell.data_type
    if not isinstance(data_type, str):
        raise TypeError(f"{where}: the data type must be str, not {_type_name(data_type)}")
    value = cell._value
    t = None if data_type == "f" else "inlineStr" if data_type == "s" else data_type
    if data_type == "d":
        is_iso, value = date_value(ws, cell)
        t = "d" if is_iso else "n"
    elif isinstance(value, _DATES):
        is_iso, value = date_value_raw(ws, value)
        t = "d" if is_iso else "n"

    body: Body
    if value is None:
        body = None
    elif shared is not None and data_type == "s":
        # Unchanged since loading: its item of the shared string table, which the saved
        # workbook keeps as it was, with whatever formatting and phonetic runs it has.
        t = "s"
        body = ("v", number_text(operator.index(shared)))
    elif runs is not None and data_type == "s" and isinstance(value, str):
        t = "inlineStr"
        body = ("rich", [_run(run, where) for run in runs])
    elif isinstance(value, str):
        # Text is written with its escapes (`quillfen.utils.escapes`): a literal "_x000D_"
        # must not come back as a carriage return, and a loaded text that holds a character
        # XML cannot carry goes back the way it came.
        text = safe_string(encode(value) if data_type == "s" else value, where)
        if not text:
            # Empty text stays text: an empty cell would read back as None.
            body = ("is", text) if data_type == "s" else None
        elif data_type == "f":
            body = ("f", {}, text[1:], None)  # without its "="
        elif data_type == "s":
            body = ("is", text)
        else:
            body = ("v", text)
    elif isinstance(value, _NUMBERS):
        body = ("v", number_text(value))
        if data_type in ("f", "s"):
            t = "b" if isinstance(value, bool) else "n"  # a number stays a number
    elif isinstance(value, CellRichText):
        t = "inlineStr"
        body = ("rich", [_run(run, where) for run in value])
    elif isinstance(value, (ArrayFormula, DataTableFormula)):
        t = None
        text = getattr(value, "text", None) or ""
        body = ("f", {name: _attr_text(v, where) for name, v in value},
                safe_string(text[1:] if text.startswith("=") else text, where), None)
    else:
        raise TypeError(f"{where}: cannot write a value of type {_type_name(value)}")
    if body is None and data_type == "s":
        t = "s"  # a string cell without a value (as read): "inlineStr" would change its type
    if cached is not None and body is not None and body[0] == "f":
        # An unchanged formula keeps the result it was read with, and the type of that result.
        t = cached[0]
        body = body[:3] + (safe_string(cached[1], where),)
    if t is not None:
        attrs["t"] = safe_string(t, where)
    for name, text in kept:
        if name == "s":
            continue  # the style id, written above while the cell's format is the one it names
        if not isinstance(name, str) or _ATTR_NAME.match(name) is None or name in attrs:
            raise ValueError(f"{where}: cannot write the attribute name {name!r}")
        attrs[name] = safe_string(text, where)

    hyperlink = cell.hyperlink
    if hyperlink:
        ws._hyperlinks.append(hyperlink)
    return attrs, body


_NOTHING_LOADED: tuple[tuple[tuple[str, str], ...], None, None, None] = ((), None, None, None)


def _loaded(cell: Any) -> tuple[Any, Any, Any, Any]:
    """What a loaded cell keeps for being saved unchanged (`Cell._loaded`), as (attributes,
    shared string index, cached result, runs)."""
    loaded = getattr(cell, "_loaded", None)
    if loaded is None:
        return _NOTHING_LOADED
    if isinstance(loaded, tuple):
        return loaded
    return (), loaded, None, None


def _kept_style(ws: Any, cell: Any, kept: Any) -> str | None:
    """The style id a loaded cell was read with and keeps (an id its format would not be
    written with: see `renamed_styles`), while that id still names the cell's format."""
    for name, text in kept:
        if name == "s" and isinstance(text, str) and 0 < len(text) <= 10 and text.isascii() and text.isdigit():
            styles = ws.parent._cell_styles
            if int(text) < len(styles) and styles[int(text)] == cell._style:
                return text
    return None


def _run(run: str | TextBlock, where: str) -> Run:
    """(run properties as [(tag, attributes)], text) of a rich-text run."""
    if not isinstance(run, TextBlock):
        return [], safe_string(encode(str(run)), where)
    props: list[tuple[str, dict[str, str]]] = []
    font = run.font
    for name in _RUN_PROPERTIES if font is not None else ():
        value = getattr(font, name, None)
        if value is None:
            continue
        if name == "color":
            attrs = {key: _attr_text(v, where) for key, v in value.items()}
        else:
            attrs = {"val": _attr_text(value, where)}
        props.append((name, attrs))
    return props, safe_string(encode(str(run.text)), where)


# ------------------------------------------------------------------ the two serialisers

def _etree_cell(attrs: dict[str, str], body: Body) -> ET.Element:
    c = ET.Element("c", attrs)
    if body is None:
        return c
    kind = body[0]
    if kind == "v":
        ET.SubElement(c, "v").text = body[1]
    elif kind == "f":
        ET.SubElement(c, "f", body[1]).text = body[2]
        ET.SubElement(c, "v").text = body[3]
    elif kind == "is":
        ET.SubElement(ET.SubElement(c, "is"), "t", _space(body[1], False)).text = body[1]
    else:
        inline = ET.SubElement(c, "is")
        for props, text in body[1]:
            r = ET.SubElement(inline, "r")
            if props:
                rpr = ET.SubElement(r, "rPr")
                for tag, prop in props:
                    ET.SubElement(rpr, tag, prop)
            ET.SubElement(r, "t", _space(text, False)).text = text
    return c


def _etree_text(element: ET.Element, short_empty_elements: bool = True) -> str:
    # ElementTree leaves a carriage return in character data raw, and a parser reads it back as
    # a line feed; as a reference it survives (attributes already get one).
    text = ET.tostring(element, encoding="unicode", short_empty_elements=short_empty_elements)
    return text.replace("\r", "&#13;") if "\r" in text else text


def _etree_row(attrs: dict[str, str], cells: list[tuple[dict[str, str], Body]]) -> str:
    row = ET.Element("row", attrs)
    row.extend(_etree_cell(*parts) for parts in cells)
    # A row without cells still has its end tag.
    return _etree_text(row, short_empty_elements=bool(cells))


def _lxml_t(etree: ModuleType, text: str) -> Any:
    t = etree.Element("t", _space(text, True))
    t.text = text
    return t


def _lxml_cell(xf: Any, etree: ModuleType, attrs: dict[str, str], body: Body) -> None:
    # The incremental writer always writes start and end tags: `<c ...></c>`, `<v></v>`.
    with xf.element("c", attrs):
        if body is None:
            return
        kind = body[0]
        if kind == "v":
            with xf.element("v"):
                xf.write(body[1])
        elif kind == "f":
            with xf.element("f", body[1]):
                xf.write(body[2])
            with xf.element("v"):
                if body[3]:
                    xf.write(body[3])
        else:
            # Whole elements from here: the incremental writer would declare the xml prefix.
            with xf.element("is"):
                if kind == "is":
                    xf.write(_lxml_t(etree, body[1]))
                    return
                for props, text in body[1]:
                    r = etree.Element("r")
                    if props:
                        rpr = etree.SubElement(r, "rPr")
                        for tag, prop in props:
                            etree.SubElement(rpr, tag, prop)
                    r.append(_lxml_t(etree, text))
                    xf.write(r)


def _lxml_document(build: Callable[[Any, ModuleType], None]) -> bytes:
    from lxml import etree

    out = BytesIO()
    with etree.xmlfile(out, encoding="ascii") as xf:
        build(xf, etree)
    return out.getvalue()


def _lxml_row(attrs: dict[str, str], cells: list[tuple[dict[str, str], Body]]) -> bytes:
    def build(xf: Any, etree: ModuleType) -> None:
        with xf.element("row", attrs):
            for parts in cells:
                _lxml_cell(xf, etree, *parts)
    return _lxml_document(build)


def write_cell(ws: Any, cell: Any, styled: bool, lxml: bool = False) -> str | bytes:
    """The XML of one `<c>` element: `str` in ElementTree mode, `bytes` in lxml mode. Appends
    the cell's hyperlink to `ws._hyperlinks`. Raises ValueError for text that XML cannot hold
    and TypeError for a value that cannot be written, naming the cell."""
    parts = _cell_parts(ws, cell, styled)
    if lxml:
        return _lxml_document(lambda xf, etree: _lxml_cell(xf, etree, *parts))
    return _etree_text(_etree_cell(*parts))


_HELPERS: dict[bool, dict[str, Any]] = {}


def writing_helpers(lxml: bool) -> dict[str, Any]:
    """The helper dict the engine's `SheetWriter` is given for the mode."""
    lxml = bool(lxml)
    helpers = _HELPERS.get(lxml)
    if helpers is None:
        helpers = _HELPERS[lxml] = {
            "StyleArray": StyleArray,
            "add_comment": add_comment,
            "write_cell": partial(write_cell, lxml=lxml),
            "date_value": date_value,
            "date_value_raw": date_value_raw,
            "safe_string": safe_string,
        }
    return helpers


# ------------------------------------------------------------------ rows

def rows(ws: Any) -> Iterator[tuple[int, list[Any]]]:
    """(row number, cells) of every row that has cells or row dimensions, by row number; the
    cells of a row by column. This is the `rows_fallback` of the writers."""
    cells = ws._cells
    items = cells.items() if isinstance(cells, dict) else ((key, cells[key]) for key in cells)
    by_row: dict[int, list[tuple[int, Any]]] = {}
    for (row, column), cell in items:
        by_row.setdefault(row, []).append((column, cell))
    for row in ws.row_dimensions.keys():
        by_row.setdefault(row, [])
    for row in sorted(by_row):
        found = by_row[row]
        found.sort(key=operator.itemgetter(0))
        yield row, [cell for _column, cell in found]


def _row_attrs(row: int, dims: Any) -> dict[str, str]:
    """The attributes of a `<row>` start tag: "r" first, then the row dimensions (which may
    replace "r"). Names must be plain ASCII names and values text that XML can hold."""
    text = str(row)
    attrs = {"r": text}
    if dims is not None:
        attrs.update(dims)
    where = "row " + text
    for name, value in attrs.items():
        if not isinstance(name, str) or not isinstance(value, str):
            wrong = value if isinstance(name, str) else name
            raise TypeError(f"{where}: attribute names and values must be str, not {_type_name(wrong)}")
        if _ATTR_NAME.match(name) is None:
            raise ValueError(f"{where}: cannot write the attribute name {name!r}")
        safe_string(value, where)
    return attrs


def _row_index(row_idx: Any) -> int:
    row = operator.index(row_idx)
    if not -2**63 <= row < 2**63:
        raise OverflowError("row_idx out of range of a 64-bit integer")
    return row


class PureSheetWriter:
    """The pure-Python writer, with the interface of the engine's `SheetWriter`."""

    _render_row: Callable[[dict[str, str], list[tuple[dict[str, str], Body]]], str | bytes]

    def __init__(self, ws: Any, write: Callable[[Any], Any], lxml: bool) -> None:
        self._ws = ws
        self._write = write
        self._lxml = bool(lxml)
        self._render_row = _lxml_row if self._lxml else _etree_row
        self._pending: list[Any] = []
        self._size = 0  # bytes pending (UTF-8 in ElementTree mode)

    def write_sheet_data(self, rows_fallback: Callable[[], Iterable[tuple[int, Iterable[Any]]]]) -> None:
        """Writes the whole `<sheetData>` element from `rows_fallback()`, which gives (row
        number, cells) pairs in the order they are written."""
        self._add(b"<sheetData>" if self._lxml else "<sheetData>")
        dims = self._ws.row_dimensions
        for row, cells in rows_fallback():
            self._write_row(row, dims.get(row), cells)
        self._add(b"</sheetData>" if self._lxml else "</sheetData>")
        self.flush()

    def write_row(self, cells: Iterable[Any], row_idx: Any) -> None:
        """Writes one `<row>` of a write-only worksheet from an iterable of cells."""
        row = _row_index(row_idx)
        self._write_row(row, self._ws.row_dimensions.get(row), cells)

    def flush(self) -> None:
        """Hands whatever is pending to `write`."""
        if self._pending:
            self._write((b"" if self._lxml else "").join(self._pending))
            self._pending = []
            self._size = 0

    def _write_row(self, row: int, dims: Any, cells: Iterable[Any]) -> None:
        attrs = _row_attrs(row, dims)
        parts = []
        for cell in cells:
            found = self._cell(cell)
            if found is not None:
                parts.append(found)
        self._add(self._render_row(attrs, parts))
        if self._size >= FLUSH_SIZE:
            self.flush()

    def _cell(self, cell: Any) -> tuple[dict[str, str], Body] | None:
        ws = self._ws
        comment = cell._comment
        if comment is not None:
            add_comment(ws, cell)
        style = cell._style
        # A cell without a value is written when it has a format (a loaded one, even the
        # default, so that it does not take its row's or column's) or a comment.
        if cell._value is None and style is None and not comment and getattr(cell, "_loaded", None) is None:
            return None
        return _cell_parts(ws, cell, has_style(style))

    def _add(self, piece: Any) -> None:
        self._pending.append(piece)
        self._size += len(piece) if self._lxml or piece.isascii() else len(piece.encode("utf-8"))


# ------------------------------------------------------------------ entry points

def sheet_writer(ws: Any, write: Callable[[Any], Any], lxml: bool) -> Any:
    """A writer for the worksheet: the engine's `SheetWriter` when the engine is available,
    else a `PureSheetWriter`."""
    native = engine()
    if native is not None:
        return native.SheetWriter(ws, write, bool(lxml), writing_helpers(lxml))
    return PureSheetWriter(ws, write, lxml)


def write_sheet_data(ws: Any, write: Callable[[Any], Any], lxml: bool) -> None:
    """Writes the worksheet's whole `<sheetData>`: natively when the engine is available, and
    in pure Python when it is not or when it hands the sheet back before writing anything."""
    def native(module: ModuleType) -> None:
        started = False

        def write_native(text: Any) -> None:
            nonlocal started
            started = True
            write(text)

        try:
            module.SheetWriter(ws, write_native, bool(lxml), writing_helpers(lxml)).write_sheet_data(partial(rows, ws))
        except NativeFallback as exc:
            if started:  # never written twice: the text already handed over stays the only copy
                raise RuntimeError("the native writer gave the sheet back after writing part of it") from exc
            raise

    native_or_pure(native, lambda: PureSheetWriter(ws, write, lxml).write_sheet_data(partial(rows, ws)))
