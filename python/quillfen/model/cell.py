"""Cell objects: editable cells, the lighter cells of read-only sheets, and the empty filler.

A value is checked when it is assigned, so that a workbook never holds what a file cannot:
`TypeError` for a type that has no place in a cell, `ValueError` for a value out of what a cell
stores (text too long or with characters XML cannot carry, numbers beyond 64 bits or not
finite, dates with a time zone, dates before the workbook's first day unless it saves ISO
dates, formulas that spreadsheet programs would remove: longer than 8,192 characters, or not
formulas at all).
"""

import contextlib
import datetime
import functools
import math
import os
import sys
import warnings
from typing import TYPE_CHECKING, Any, NoReturn, cast

from .._native import native_or_pure
from ..constants import MAX_FORMULA, MAX_TEXT
from .comments import Comment
from .features import Hyperlink
from ..formula import ArrayFormula, DataTableFormula, formula_problem
from .richtext import CellRichText
from .text import NOT_XML, check_text
from .styles import (NUM_FMT, STYLE_KINDS, Stylesheet, StyleArray, is_date_format, is_time_format,
                     is_timedelta_format)
from .tracking import CELLS
from ..utils.cells import coordinate_of
from ..utils.datetime import WINDOWS_EPOCH, first_day, from_excel, from_ISO8601, to_excel

if TYPE_CHECKING:
    from decimal import Decimal

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
        with _guard_of(cell):
            cell._style = _stylesheet(cell).with_object(cell._style, kind, cast(Any, value))

    return property(get, set, doc=doc)


def _format_kept(loaded: Loaded) -> Loaded:
    """What a loaded cell keeps once a value is assigned: its style id, if it kept one."""
    if isinstance(loaded, tuple):
        for name, text in loaded[0]:
            if name == "s":
                return (((name, text),), None, None, None)
    return None


def without_cached(loaded: Loaded) -> Loaded:
    """What a loaded cell keeps once an edit changed its formula's text (a structural edit, a
    sheet renamed): all but the result read with the old text."""
    if not isinstance(loaded, tuple) or loaded[2] is None:
        return loaded
    attrs, shared, _cached, runs = loaded
    return None if not attrs and shared is None and runs is None else (attrs, shared, None, runs)


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
        # The value, its data type and the date format it may bring change together, under the
        # guard of the sheet (`_guard_of`, inlined: every assignment comes here).
        with getattr(self.parent, "_guard", _UNGUARDED):
            assign(self, value)
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
        link = None if value is None else Hyperlink.of(value, _coordinate_or_none(self))
        with _guard_of(self):
            self._hyperlink = link
            _register(self, "_links", link)

    @property
    def comment(self) -> Comment | None:
        """The cell's `quillfen.comments.Comment`, or None."""
        return self._comment

    @comment.setter
    def comment(self, comment: Comment | None) -> None:
        if comment is not None and not isinstance(comment, Comment):
            raise TypeError("a cell's comment is a quillfen.comments.Comment, not %s" % type(comment).__name__)
        with _guard_of(self):
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
        check_text(code, "a number format")
        _changed(self)
        with _guard_of(self):
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


def cached_value(cell: Cell) -> Any:
    """The result a formula cell was read with (what the program that saved the file had
    calculated), typed as a reader types a value of its `t`; None when the cell kept none (its
    file had none, or a value was assigned since)."""
    loaded = cell._loaded
    cached = loaded[2] if isinstance(loaded, tuple) else None
    return typed_result(cached, cell.number_format, cell.parent.parent) if cached else None


def typed_result(cached: tuple[str | None, str], code: str | None, workbook: Any) -> Any:
    """A kept formula result (its `t` or None, the text of its `v`) as the value a reader makes
    of it: a number (a date, time or duration where `code` shows one), text, a boolean, an
    error's text; None for an empty `v` and for text that is not what its `t` says."""
    t, text = cached
    if not text:
        return None
    try:
        if t is None or t == "n":
            number: Any = float(text) if "." in text or "e" in text or "E" in text else int(text)
            if type(number) is int and not _INT64_MIN <= number < _INT64_END:
                number = float(text)  # the nearest double, as a reader takes it
            return _result_date(number, code, workbook.epoch) if is_date_format(code) else number
        if t == "b":
            return bool(int(text))
        if t == "s":
            index = int(text)
            strings = workbook.shared_strings
            return strings[index] if 0 <= index < len(strings) else None
        if t == "d":
            return from_ISO8601(text)
    except (ValueError, OverflowError):
        return None
    return text  # "str", "e" and any other `t`: the text


def _result_date(number: float, code: str | None, epoch: datetime.datetime) -> Any:
    """A formula's numeric result in a cell whose format shows a date, time or duration; the
    number itself where no date is (the 1900 system's 1900-02-29), "#VALUE!" out of range."""
    try:
        return from_excel(number, epoch, timedelta=is_timedelta_format(code), shows_date=not is_time_format(code))
    except (OverflowError, ValueError):
        return "#VALUE!"


_UNGUARDED = contextlib.nullcontext()


def _guard_of(cell: Cell) -> Any:
    """The guard of the cell's sheet (`model.guard`), under which its setters run: a value and
    its data type change together, a style change starts from the style it replaces."""
    return getattr(cell.parent, "_guard", _UNGUARDED)


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
    if len(text) > MAX_TEXT or not text.isprintable():
        check_text(text, "cell " + _where(cell), MAX_TEXT)


def _check_formula(cell: Cell, text: str) -> None:
    """Refuses formula text (with its "=") that spreadsheet programs would remove from the file
    as damage. The engine's tokenizer decides when it can; the message comes from the package's
    own, which agrees."""
    if len(text) - 1 > MAX_FORMULA:
        _refuse(cell, ValueError, "a formula of %d characters (at most %d)" % (len(text) - 1, MAX_FORMULA))
    if not native_or_pure(lambda engine: engine.check_formula(text), lambda: formula_problem(text) is None):
        _refuse(cell, ValueError, "%r: not a formula (%s); to store text that begins with \"=\", assign it as "
                "CellRichText([text])" % (_shortened(text), formula_problem(text)))


def _shortened(text: str) -> str:
    return text if len(text) <= 60 else text[:57] + "..."


def data_type_of(value: Any) -> str:
    """The data type a value is stored with: "n" (numbers and None), "b", "s" (text and rich
    text), "f" (text starting with "=", and formula objects) or "d" (dates, times, durations)."""
    if isinstance(value, str):
        return "f" if value.startswith("=") and len(value) > 1 else "s"
    if value is None or (isinstance(value, (int, float)) or is_decimal(value)) and not isinstance(value, bool):
        return "n"
    if isinstance(value, bool):
        return "b"
    if isinstance(value, _DATE_TYPES):
        return "d"
    if isinstance(value, (ArrayFormula, DataTableFormula)):
        return "f"
    return "s"


_INT64_MIN, _INT64_END = -2**63, 2**63


def is_decimal(value: Any) -> bool:
    """Whether `value` is a Decimal. None is before the decimal module is imported, so that
    quillfen need not import it."""
    module = sys.modules.get("decimal")
    return module is not None and isinstance(value, module.Decimal)


def assign(cell: Cell, value: Any, appended: bool = False) -> None:
    """Stores `value` in `cell` (its `_value` and `data_type`) after checking that a file can
    hold it there (see the module docstring). What is stored for a numpy or pandas scalar is
    the Python value it stands for (None for their missing markers NaT and NA); in an appended
    row (`appended`) NaN is an empty cell too. A date, time or duration also gives the cell a
    number format that shows it as such, when its format does not already."""
    # PERF NOTE: every assigned and appended value comes here; the exact built-in types are
    # told apart first, by identity, and stored without building anything.
    kind = type(value)
    if kind is str:
        # Printable text has none of the characters refused; other text is searched for them.
        if len(value) > MAX_TEXT or not value.isprintable() and NOT_XML.search(value) is not None:
            _check_text(cell, value)
        if value.startswith("=") and len(value) > 1:
            _check_formula(cell, value)
            cell.data_type = "f"
        else:
            cell.data_type = "s"
    elif kind is int and _INT64_MIN <= value < _INT64_END or kind is float and math.isfinite(value) or value is None:
        cell.data_type = "n"
    elif kind is bool:
        cell.data_type = "b"
    elif kind in DEFAULT_DATE_FORMATS:
        _check_date(cell, value, kind)
        cell.data_type = "d"
    else:
        cell.data_type, value = _checked_other(cell, value, appended)
    cell._value = value


def _checked_other(cell: Cell, value: Any, appended: bool) -> tuple[str, Any]:
    """(data type, value to store) for `assign` of everything but the exact built-in types of
    its fast path."""
    plain = _plain(cell, value)
    if plain is not value:
        assign(cell, plain, appended)
        return cell.data_type, cell._value
    if isinstance(value, int):  # a subclass: exact bools took the fast path
        if not _INT64_MIN <= value < _INT64_END:
            _refuse(cell, ValueError, "an integer beyond 64 bits")
    elif isinstance(value, float):
        if appended and math.isnan(value):
            return "n", None  # a missing value of a data frame's row
        if not math.isfinite(value):
            _refuse(cell, ValueError, "%r: only finite numbers can be stored" % value)
    elif isinstance(value, str):
        _check_text(cell, value)
        if value.startswith("=") and len(value) > 1:
            _check_formula(cell, value)
    elif is_decimal(value):
        if not value.is_finite() or not math.isfinite(float(value)):
            _refuse(cell, ValueError, "%r: only numbers within a double's range can be stored" % value)
        _check_decimal_digits(value)
    elif isinstance(value, CellRichText):
        _check_text(cell, str(value))
    elif isinstance(value, (ArrayFormula, DataTableFormula)):
        text = getattr(value, "text", None)
        if text is not None:
            _check_text(cell, text)
            _check_formula(cell, text if text.startswith("=") else "=" + text)
    else:
        _refuse(cell, TypeError, "a value of type %s" % type(value).__name__)
    return data_type_of(value), value


def _plain(cell: Cell, value: Any) -> Any:
    """The built-in value a numpy or pandas scalar, or an instance of a subclass of a date
    type (pandas' Timestamp and Timedelta), stands for; None for the missing markers NaT and
    NA. Any other value is given back as it is."""
    module = type(value).__module__
    if module == "numpy" or module.startswith("numpy."):
        return _numpy_value(cell, value)
    if module.startswith("pandas") and type(value).__name__ in ("NaTType", "NAType"):
        return None
    if isinstance(value, datetime.datetime):
        return datetime.datetime(value.year, value.month, value.day, value.hour, value.minute, value.second,
                                 value.microsecond, value.tzinfo, fold=value.fold)
    if isinstance(value, datetime.date):
        return datetime.date(value.year, value.month, value.day)
    if isinstance(value, datetime.time):
        return datetime.time(value.hour, value.minute, value.second, value.microsecond, value.tzinfo, fold=value.fold)
    if isinstance(value, datetime.timedelta):
        return datetime.timedelta(value.days, value.seconds, value.microseconds)
    return value


def _numpy_value(cell: Cell, value: Any) -> Any:
    import numpy  # loaded already: `value` is one of its scalars

    if isinstance(value, (numpy.datetime64, numpy.timedelta64)):
        if numpy.isnat(value):
            return None
        if isinstance(value, numpy.timedelta64):
            found = value.astype("timedelta64[us]").item()
        elif numpy.datetime_data(value.dtype)[0] in ("Y", "M", "W", "D"):
            found = value.item()  # a date
        else:
            found = value.astype("datetime64[us]").item()
        if not isinstance(found, (datetime.date, datetime.timedelta)):  # an int: beyond Python's dates
            _refuse(cell, ValueError, "%r: beyond the dates and durations Python holds" % value)
        return found
    if isinstance(value, numpy.generic):
        return value.item()
    return value


# Decimals are written with their own digits, but read back as doubles (floats): the one
# warning says so the first time at each place of the caller's code (Python's warning filter
# keeps it from repeating there).
_DECIMAL_DIGITS = ("a Decimal with more digits than a double holds is saved as it is, but reads back as the "
                   "nearest float")
_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep


def _check_decimal_digits(value: Decimal) -> None:
    from decimal import Decimal  # imported already: `value` is one

    text = str(value)
    if not any(c in text for c in ".eE"):
        return  # an integer's digits read back as that integer
    if Decimal(repr(float(text))) != value:
        warnings.warn(_DECIMAL_DIGITS, UserWarning, skip_file_prefixes=(_PACKAGE_DIR,))


@functools.lru_cache(maxsize=1024)
def _shows(code: str | None) -> str | None:
    """What a format code shows a number as: "date" (a date or time), "duration" or None."""
    if not is_date_format(code):
        return None
    return "duration" if is_timedelta_format(code) else "date"


def _check_date(cell: Cell, value: Any, kind: type) -> None:
    """Refuses a time zone, and a date before the workbook's first day when it is saved as a
    serial; gives the cell a format that shows `value` (of date type `kind`) as what it is,
    unless it has one."""
    if kind is not datetime.date and kind is not datetime.timedelta and value.tzinfo is not None:
        _refuse(cell, ValueError, "%r: dates and times with a time zone cannot be stored" % value)
    workbook = getattr(cell.parent, "parent", None)
    if kind is datetime.date or kind is datetime.datetime:
        _check_first_day(cell, value, workbook)
    # Only these can round beyond what a serial number reads back as (cheap tests first).
    if kind is datetime.datetime and value.year == 9999 or kind is datetime.timedelta and abs(value.days) > _DAYS_SAFE:
        _check_serial(cell, value, kind)
    stylesheet = getattr(workbook, "stylesheet", None)
    if stylesheet is None:
        return
    want = "duration" if kind is datetime.timedelta else "date"
    style = cell._style
    if style is not None and _shows(stylesheet.code(style[NUM_FMT])) == want:
        return
    cell._style = stylesheet.formatted(style, DEFAULT_DATE_FORMATS[kind])


def _check_first_day(cell: Cell, value: datetime.date, workbook: Any) -> None:
    """A date before the first day of the workbook's date system has no serial that shows it
    (1899-12-31 and 1899-12-30 would both be 0, earlier ones negative): refused, unless the
    workbook saves dates as ISO text."""
    epoch = getattr(workbook, "epoch", None)
    if not isinstance(epoch, datetime.datetime) or getattr(workbook, "iso_dates", False):
        return
    first = first_day(epoch)
    when = value if isinstance(value, datetime.datetime) else datetime.datetime(value.year, value.month, value.day)
    if when < first:
        _refuse(cell, ValueError, "%r: the workbook's dates start on %s (set iso_dates to save earlier "
                "dates as text)" % (value, first.date().isoformat()))


# Durations of fewer days read back whole: timedelta holds up to 999999999 days.
_DAYS_SAFE = 10**8


def _check_serial(cell: Cell, value: Any, kind: type) -> None:
    """Refuses a date-time or duration whose serial number reads back as no value (the reader
    would make it an error cell): one that rounds past 9999-12-31 23:59:59.999, or beyond the
    longest duration. A date-time written as ISO text (`iso_dates`) comes back whole."""
    workbook = getattr(cell.parent, "parent", None)
    duration = kind is datetime.timedelta
    if not duration and getattr(workbook, "iso_dates", False):
        return
    epoch = getattr(workbook, "epoch", WINDOWS_EPOCH)
    try:
        from_excel(to_excel(value, epoch), epoch, duration)
    except (OverflowError, ValueError):
        _refuse(cell, ValueError, "%r: written as a serial number, it would read back as no %s"
                % (value, "duration" if duration else "date"))


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
