"""Cell objects: editable cells, the lighter cells of read-only sheets, and the empty filler.

A value is checked when it is assigned, so that a workbook never holds what a file cannot:
`TypeError` for a type that has no place in a cell, `ValueError` for a value out of what a cell
stores (text too long or with characters XML cannot carry, numbers beyond 64 bits or not
finite, dates with a time zone).
"""

import datetime
import decimal
import functools
import math
import re
from typing import Any, NoReturn, cast

from ..constants import MAX_TEXT
from .comments import Comment
from .features import Hyperlink
from ..formula import ArrayFormula, DataTableFormula
from .richtext import CellRichText
from .styles import NUM_FMT, STYLE_KINDS, Stylesheet, StyleArray, is_date_format, is_timedelta_format
from .tracking import CELLS
from ..utils.cells import coordinate_of

# The engine fills and reads cells through these slots, by name: this tuple is their one
# definition.
CELL_SLOTS = ("parent", "_style", "row", "column", "_value", "_hyperlink", "data_type", "_comment", "_loaded")

# What a loaded cell was read with beyond its value, style and data type, kept in its `_loaded`
# slot so that a cell the user does not change is saved as it was read:
#   None: nothing (a new cell, or one whose value was assigned since loading);
#   an int: the index of its text in the workbook's shared string table;
#   a tuple (attributes, shared string index or None, cached result or None, runs or None):
#     the attributes of its `c` element that the model does not hold ((name, value) pairs:
#     `cm` for a dynamic-array formula, `vm` for a value with metadata such as an image in the
#     cell, `ph` ...), the cached result of its formula as read, (its `t` or None, the text of
#     its `v`), and the formatted runs (CellRichText) of an inline string read as plain text;
#     the attribute ("s", id) is the style id the cell was read with, where the writer would
#     name its format otherwise (`reader.worksheet.renamed_styles`).
# Assigning a value makes it a new cell: its `_loaded` becomes None, but for that style id,
# which stays with the format (a check box stays one when it is ticked).
Loaded = int | tuple[tuple[tuple[str, str], ...], int | None, tuple[str | None, str] | None, Any] | None

# Characters that XML 1.0 cannot carry (tab, line feed and carriage return can), and lone
# surrogates, which no UTF-8 file can hold.
_ILLEGAL_TEXT = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")

# The number format a date, time or duration gets when its cell's format shows none.
DEFAULT_DATE_FORMATS = {
    datetime.datetime: "yyyy-mm-dd h:mm:ss",
    datetime.date: "yyyy-mm-dd",
    datetime.time: "h:mm:ss",
    datetime.timedelta: "[h]:mm:ss",
}
_DATE_TYPES = tuple(DEFAULT_DATE_FORMATS)


def _style_property(kind: str, doc: str) -> Any:
    cls = STYLE_KINDS[kind]

    def get(cell: "Cell") -> Any:
        return _stylesheet(cell).style_object(cell._style, kind)

    def set(cell: "Cell", value: Any) -> None:
        if not isinstance(value, cls):
            raise TypeError("a cell's %s is a quillfen.styles.%s, not %s" % (kind, cls.__name__, type(value).__name__))
        _changed(cell)
        cell._style = _stylesheet(cell).with_object(cell._style, kind, cast(Any, value))

    return property(get, set, doc=doc)


def _format_kept(loaded: Loaded) -> Loaded:
    """What a loaded cell keeps once a value is assigned: its style id, if it kept one."""
    if isinstance(loaded, tuple):
        for name, text in loaded[0]:
            if name == "s":
                return (((name, text),), None, None, None)
    return None


class Cell:
    """A cell of an editable worksheet."""

    __slots__ = CELL_SLOTS

    def __init__(self, worksheet: Any, row: int, column: int, value: Any = None,
                 style_array: StyleArray | None = None, data_type: str = "n") -> None:
        self.parent = worksheet
        self.row = row
        self.column = column
        self._value = value
        self._style = style_array
        self._hyperlink: Hyperlink | None = None
        self._comment: Comment | None = None
        self.data_type = data_type
        self._loaded: Loaded = None

    @property
    def value(self) -> Any:
        return self._value

    @value.setter
    def value(self, value: Any) -> None:
        self.data_type = checked_data_type(self, value)
        self._value = value
        if self._loaded is not None:
            self._loaded = _format_kept(self._loaded)
        try:  # `_changed`, inline: every assigned value comes here
            self.parent._dirty.add(CELLS)
        except AttributeError:
            pass

    @property
    def coordinate(self) -> str:
        return coordinate_of(self.row, self.column)

    @property
    def hyperlink(self) -> Hyperlink | None:
        """The cell's `quillfen.features.Hyperlink`, or None. Settable to a URL or file name,
        to "#Sheet2!A1" for a place in the workbook, to a `Hyperlink`, or to None."""
        return self._hyperlink

    @hyperlink.setter
    def hyperlink(self, value: str | Hyperlink | None) -> None:
        self._hyperlink = None if value is None else Hyperlink.of(value, _coordinate_or_none(self))
        _register(self, "_links", self._hyperlink)

    @property
    def comment(self) -> Comment | None:
        """The cell's `quillfen.comments.Comment`, or None."""
        return self._comment

    @comment.setter
    def comment(self, comment: Comment | None) -> None:
        if comment is not None and not isinstance(comment, Comment):
            raise TypeError("a cell's comment is a quillfen.comments.Comment, not %s" % type(comment).__name__)
        self._comment = comment
        _register(self, "_notes", comment)

    @property
    def style_array(self) -> StyleArray | None:
        """A copy of the cell's style array (cells may share theirs), or None."""
        return None if self._style is None else StyleArray(self._style)

    @style_array.setter
    def style_array(self, style: Any) -> None:
        _changed(self)
        self._style = None if style is None else StyleArray(style)

    @property
    def number_format(self) -> str:
        """The format code that the cell's number is shown with ("General" by default)."""
        num_fmt = self._style[NUM_FMT] if self._style is not None else 0
        return _stylesheet(self).code(num_fmt) or "General"

    @number_format.setter
    def number_format(self, code: str) -> None:
        if not isinstance(code, str):
            raise TypeError("a number format is a str, not %s" % type(code).__name__)
        _changed(self)
        self._style = _stylesheet(self).formatted(self._style, code)

    font = _style_property("font", "The font of the cell's text (`quillfen.styles.Font`).")
    fill = _style_property("fill", "The cell's background (`quillfen.styles.PatternFill` or `GradientFill`).")
    border = _style_property("border", "The cell's edges (`quillfen.styles.Border`).")
    alignment = _style_property("alignment", "Where the text sits in the cell (`quillfen.styles.Alignment`).")
    protection = _style_property("protection", "Whether the cell is locked and its formula hidden once its sheet "
                                 "is protected (`quillfen.styles.Protection`).")

    @property
    def is_date(self) -> bool:
        return self.data_type == "d"

    def __repr__(self) -> str:
        title = getattr(self.parent, "title", "?")
        return "<Cell %r.%s>" % (title, self.coordinate)


def WriteOnlyCell(ws: Any, value: Any = None) -> Cell:
    """A cell to hand to a write-only worksheet's `append`, where it gets its position; set
    its style (`number_format`, `font`, `fill`, ...) before appending it."""
    cell = Cell(ws, None, None)  # type: ignore[arg-type]  # placed by append
    cell.value = value
    return cell


def _changed(cell: Cell) -> None:
    """Marks the cell's sheet changed (`quillfen.model.tracking`)."""
    try:
        cell.parent._dirty.add(CELLS)
    except AttributeError:
        pass  # a cell of no sheet, or of a stand-in for one


def _coordinate_or_none(cell: Cell) -> str | None:
    try:
        return coordinate_of(cell.row, cell.column)
    except (TypeError, ValueError):
        return None


def _register(cell: Cell, registry: str, feature: Any) -> None:
    """Notes a cell's hyperlink or comment in its sheet's registry, by which the sheet is saved
    with them (a cell without value or style is not written, its link still is)."""
    found = getattr(cell.parent, registry, None)
    if found is None or cell.row is None:
        return
    if feature is None:
        found.pop((cell.row, cell.column), None)
    else:
        found[(cell.row, cell.column)] = feature


def _stylesheet(cell: "Cell | ReadOnlyCell") -> Stylesheet:
    stylesheet: Stylesheet = cell.parent.parent.stylesheet
    return stylesheet


def _where(cell: Cell) -> str:
    title = getattr(cell.parent, "title", "?")
    try:
        return "%s!%s" % (title, coordinate_of(cell.row, cell.column))
    except (TypeError, ValueError):
        return "%s (not placed yet)" % title


def _refuse(cell: Cell, error: type[Exception], what: str) -> NoReturn:
    raise error("cell %s cannot hold %s" % (_where(cell), what))


def _check_text(cell: Cell, text: str) -> None:
    if len(text) > MAX_TEXT:
        _refuse(cell, ValueError, "text of %d characters (at most %d)" % (len(text), MAX_TEXT))
    bad = _ILLEGAL_TEXT.search(text)
    if bad is not None:
        _refuse(cell, ValueError, "the character %r at index %d: XML cannot carry it"
                % (bad.group(), bad.start()))


def data_type_of(value: Any) -> str:
    """The data type a value is stored with: "n" (numbers and None), "b", "s" (text and rich
    text), "f" (text starting with "=", and formula objects) or "d" (dates, times, durations)."""
    if isinstance(value, str):
        return "f" if value.startswith("=") and len(value) > 1 else "s"
    if value is None or isinstance(value, (int, float, decimal.Decimal)) and not isinstance(value, bool):
        return "n"
    if isinstance(value, bool):
        return "b"
    if isinstance(value, _DATE_TYPES):
        return "d"
    if isinstance(value, (ArrayFormula, DataTableFormula)):
        return "f"
    return "s"


_INT64_MIN, _INT64_END = -2**63, 2**63


def checked_data_type(cell: Cell, value: Any) -> str:
    """The data type of `value` (`data_type_of`), after checking that a file can hold it in
    `cell` (see the module docstring). A date, time or duration also gives the cell a number
    format that shows it as such, when its format does not already."""
    # PERF NOTE: every assigned and appended value comes here; the exact built-in types are
    # told apart first, by identity.
    kind = type(value)
    if kind is str:
        # Printable text has none of the characters refused; other text is searched for them.
        if len(value) > MAX_TEXT or not value.isprintable() and _ILLEGAL_TEXT.search(value) is not None:
            _check_text(cell, value)
        return "f" if value.startswith("=") and len(value) > 1 else "s"
    if kind is int:
        if _INT64_MIN <= value < _INT64_END:
            return "n"
    elif kind is float:
        if math.isfinite(value):
            return "n"
    elif value is None:
        return "n"
    elif kind is bool:
        return "b"
    elif kind in DEFAULT_DATE_FORMATS:
        _check_date(cell, value, kind)
        return "d"
    return _checked_other(cell, value)


def _checked_other(cell: Cell, value: Any) -> str:
    """`checked_data_type` of everything but the exact built-in types of its fast path."""
    if isinstance(value, int):  # a subclass: exact bools took the fast path
        if not _INT64_MIN <= value < _INT64_END:
            _refuse(cell, ValueError, "an integer beyond 64 bits")
    elif isinstance(value, float):
        if not math.isfinite(value):
            _refuse(cell, ValueError, "%r: only finite numbers can be stored" % value)
    elif isinstance(value, str):
        _check_text(cell, value)
    elif isinstance(value, _DATE_TYPES):
        _check_date(cell, value, next(cls for cls in DEFAULT_DATE_FORMATS if isinstance(value, cls)))
    elif isinstance(value, decimal.Decimal):
        if not value.is_finite() or not math.isfinite(float(value)):
            _refuse(cell, ValueError, "%r: only numbers within a double's range can be stored" % value)
    elif isinstance(value, CellRichText):
        _check_text(cell, str(value))
    elif isinstance(value, (ArrayFormula, DataTableFormula)):
        text = getattr(value, "text", None)
        if text is not None:
            _check_text(cell, text)
    else:
        _refuse(cell, TypeError, "a value of type %s" % type(value).__name__)
    return data_type_of(value)


@functools.lru_cache(maxsize=1024)
def _shows(code: str | None) -> str | None:
    """What a format code shows a number as: "date" (a date or time), "duration" or None."""
    if not is_date_format(code):
        return None
    return "duration" if is_timedelta_format(code) else "date"


def _check_date(cell: Cell, value: Any, kind: type) -> None:
    """Refuses a time zone; gives the cell a format that shows `value` (of date type `kind`)
    as what it is, unless it has one."""
    if kind is not datetime.date and kind is not datetime.timedelta and value.tzinfo is not None:
        _refuse(cell, ValueError, "%r: dates and times with a time zone cannot be stored" % value)
    stylesheet = getattr(getattr(cell.parent, "parent", None), "stylesheet", None)
    if stylesheet is None:
        return
    want = "duration" if kind is datetime.timedelta else "date"
    style = cell._style
    if style is not None and _shows(stylesheet.code(style[NUM_FMT])) == want:
        return
    cell._style = stylesheet.formatted(style, DEFAULT_DATE_FORMATS[kind])


class ReadOnlyCell:
    """A cell streamed from a read-only worksheet; its attributes are fixed once read."""

    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id")
    # Filled by the readers (the engine through the slots, by name).
    parent: Any
    row: int
    column: int
    _value: Any
    data_type: str
    _style_id: int | str | None  # as read: "" for an empty s attribute

    @property
    def value(self) -> Any:
        return self._value

    @property
    def style_id(self) -> int | str | None:
        return self._style_id

    @property
    def number_format(self) -> str:
        style = _read_only_style(self)
        return _stylesheet(self).code(style[NUM_FMT] if style is not None else 0) or "General"

    font = property(lambda self: _stylesheet(self).style_object(_read_only_style(self), "font"))
    fill = property(lambda self: _stylesheet(self).style_object(_read_only_style(self), "fill"))
    border = property(lambda self: _stylesheet(self).style_object(_read_only_style(self), "border"))
    alignment = property(lambda self: _stylesheet(self).style_object(_read_only_style(self), "alignment"))
    protection = property(lambda self: _stylesheet(self).style_object(_read_only_style(self), "protection"))

    @property
    def coordinate(self) -> str:
        return coordinate_of(self.row, self.column)

    @property
    def is_date(self) -> bool:
        return self.data_type == "d"

    def __repr__(self) -> str:
        title = getattr(self.parent, "title", "?")
        return "<ReadOnlyCell %r.%s>" % (title, self.coordinate)


def _read_only_style(cell: ReadOnlyCell) -> StyleArray | None:
    styles = _stylesheet(cell).cell_styles
    style_id = cell._style_id
    return styles[style_id] if isinstance(style_id, int) and -len(styles) <= style_id < len(styles) else None


class ReadOnlyFormulaCell(ReadOnlyCell):
    """A read-only cell that keeps both a formula and its cached result: the readers fill
    these slots only when asked for both (`formula_and_value`); a plain `ReadOnlyCell` has no
    such attributes rather than ones that raise."""

    __slots__ = ("formula", "cached_value")
    formula: Any
    cached_value: Any


class _EmptyCell:
    """Fills the gaps of read-only rows."""

    __slots__ = ()
    value = None
    data_type = "n"
    is_date = False

    def __repr__(self) -> str:
        return "<EmptyCell>"


EMPTY_CELL = _EmptyCell()
