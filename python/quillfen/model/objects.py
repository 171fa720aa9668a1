"""What the report features of a sheet are made of: objects whose every field is checked when it
is set, ranges and references to cells, and the lists and mappings a sheet keeps them in.

An object read from a file keeps what it was read from (`_source`) and its fields as read
(`_read`): while they are the same, the writer writes it as it was read, byte for byte, and
what quillfen does not interpret stays with it; once a field changes, it is written from the
model.
"""

from __future__ import annotations

import math
import re
from collections.abc import Callable, Iterable
from typing import Any, ClassVar, SupportsIndex

from ..constants import MAX_ROW, MAX_SHEET_COLUMN
from .features import cell_range, check_text
from .styles import _number_text, _parse_number
from ..utils.cells import column_letter, coordinate_of, coordinate_to_tuple

__all__ = ["Feature", "Placed", "FeatureList", "Reference", "text_of", "check_bool", "check_choice", "check_int", "check_number",
           "check_range", "check_sqref", "check_formula", "check_cell", "sqref_bounds", "range_text",
           "number_text", "parse_number"]

# A field's checker: the value to keep, or TypeError/ValueError naming what is wrong.
Check = Callable[[Any], Any]


class Feature:
    """An object of checked fields: `_FIELDS` names them and `_CHECKS` gives, by name, what
    each value goes through when it is set. Equal when the fields are; changeable, so not
    hashable."""

    __slots__ = ("_source", "_read", "__weakref__")
    _FIELDS: ClassVar[tuple[str, ...]] = ()
    _CHECKS: ClassVar[dict[str, Check]] = {}
    _source: Any                   # what it was read from, for one read from a file
    _read: tuple[Any, ...]         # its fields as read (`_state`)

    def __setattr__(self, name: str, value: Any) -> None:
        check = self._CHECKS.get(name)
        object.__setattr__(self, name, check(value) if check is not None else value)

    def _state(self) -> tuple[Any, ...]:
        """The fields as a tuple of plain values (nested features and lists too), to tell
        whether the object changed."""
        return tuple(_state(getattr(self, name)) for name in self._FIELDS)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._state() == other._state()

    __hash__ = None  # type: ignore[assignment]  # equal by content, and changeable

    def __repr__(self) -> str:
        shown = ", ".join("%s=%r" % (name, getattr(self, name)) for name in self._FIELDS
                          if not _unset(getattr(self, name)))
        return "%s(%s)" % (type(self).__name__, shown)

    def _keep(self, source: Any) -> None:
        """Notes the object as read from `source` (an element, or a part's bytes)."""
        object.__setattr__(self, "_source", source)
        object.__setattr__(self, "_read", self._state())

    def _changed(self, name: str) -> bool:
        """Whether the field `name` differs from its value as read (any field of an object
        that was not read)."""
        read = getattr(self, "_read", None)
        return read is None or read[self._FIELDS.index(name)] != _state(getattr(self, name))

    @property
    def _untouched(self) -> bool:
        """Whether it was read from a file and has not changed since."""
        return getattr(self, "_source", None) is not None and self._read == self._state()


class Placed(Feature):
    """A feature placed on a sheet by a drawing: `width` and `height` in pixels. One read from a
    file anchored at two cells sizes with the rows and columns between them, as spreadsheet
    programs size it: its size is measured from them (`_measure`) until it is set."""

    __slots__ = ("_size", "_measure")
    _size: tuple[int, int] | None
    _measure: Callable[[], tuple[int, int]] | None

    def _dimensions(self) -> tuple[int, int]:
        size = getattr(self, "_size", None)
        if size is None:
            measure = getattr(self, "_measure", None)
            size = measure() if measure is not None else (0, 0)
        return size

    def _resize(self, index: int, value: int) -> None:
        size = list(self._dimensions())
        size[index] = value
        object.__setattr__(self, "_size", (size[0], size[1]))

    @property
    def width(self) -> int:
        return self._dimensions()[0]

    @width.setter
    def width(self, value: int) -> None:
        self._resize(0, value)

    @property
    def height(self) -> int:
        return self._dimensions()[1]

    @height.setter
    def height(self, value: int) -> None:
        self._resize(1, value)

    def _content_changed(self) -> bool:
        """Whether a field other than its place and size changed since it was read."""
        return any(self._changed(name) for name in self._FIELDS if name not in ("anchor", "width", "height"))


def _unset(value: Any) -> bool:
    return value is None or value is False or isinstance(value, (list, tuple)) and not value


def _state(value: Any) -> Any:
    if isinstance(value, Feature):
        return (type(value).__name__, value._state())
    if isinstance(value, (list, tuple)):
        return tuple(_state(item) for item in value)
    if isinstance(value, dict):
        return tuple((key, _state(item)) for key, item in value.items())
    return value


class FeatureList[T](list[T]):
    """A sheet's list of features of one kind: what goes in is checked by `check`."""

    def __init__(self, check: Callable[[Any], T], items: Iterable[T] = ()) -> None:
        self._check = check
        super().__init__(check(item) for item in items)

    def append(self, item: T) -> None:
        super().append(self._check(item))

    def insert(self, index: SupportsIndex, item: T) -> None:
        super().insert(index, self._check(item))

    def extend(self, items: Iterable[T]) -> None:
        super().extend([self._check(item) for item in items])

    def __setitem__(self, index: Any, item: Any) -> None:
        if isinstance(index, slice):
            super().__setitem__(index, [self._check(one) for one in item])
        else:
            super().__setitem__(index, self._check(item))

    def __iadd__(self, items: Iterable[T]) -> FeatureList[T]:  # type: ignore[override, misc]
        self.extend(items)
        return self


# ------------------------------------------------------------------ checks

def check_bool(what: str) -> Callable[[Any], bool]:
    def check(value: Any) -> bool:
        if not isinstance(value, bool):
            raise TypeError("%s is True or False, not %s" % (what, type(value).__name__))
        return value
    return check


def check_choice(what: str, choices: Iterable[str], optional: bool = False,
                 aliases: dict[str, str] | None = None) -> Callable[[Any], str | None]:
    """One of `choices` (or of the `aliases` that stand for them), or None when `optional`."""
    allowed = tuple(choices)

    def check(value: Any) -> str | None:
        if value is None and optional:
            return None
        if isinstance(value, str) and aliases and value in aliases:
            return aliases[value]
        if not isinstance(value, str):
            raise TypeError("%s is a str, not %s" % (what, type(value).__name__))
        if value not in allowed:
            raise ValueError("%s %r: one of %s" % (what, value, ", ".join(map(repr, allowed))))
        return value
    return check


def check_int(what: str, low: int, high: int, optional: bool = False) -> Callable[[Any], int | None]:
    def check(value: Any) -> int | None:
        if value is None and optional:
            return None
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("%s is an int, not %s" % (what, type(value).__name__))
        if not low <= value <= high:
            raise ValueError("%s %d: it goes from %d to %d" % (what, value, low, high))
        return value
    return check


def check_number(what: str, low: float = -math.inf, high: float = math.inf,
                 optional: bool = False) -> Callable[[Any], float | int | None]:
    def check(value: Any) -> float | int | None:
        if value is None and optional:
            return None
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError("%s is a number, not %s" % (what, type(value).__name__))
        if not (math.isfinite(value) and low <= value <= high):
            raise ValueError("%s %r: a finite number from %s to %s" % (what, value, low, high))
        return value
    return check


def text_of(value: Any, what: str, limit: int | None = None) -> str:
    """`value` if it is text a file can carry, of at most `limit` characters."""
    text = check_text(value, what)
    if limit is not None and len(text) > limit:
        raise ValueError("%s has %d characters: at most %d" % (what, len(text), limit))
    return text


def check_text_field(what: str, limit: int | None = None) -> Callable[[Any], str | None]:
    """Text (`text_of`), or None."""
    def check(value: Any) -> str | None:
        return None if value is None else text_of(value, what, limit)
    return check


def range_text(min_row: int, min_col: int, max_row: int, max_col: int) -> str:
    first = coordinate_of(min_row, min_col)
    return first if (min_row, min_col) == (max_row, max_col) else "%s:%s" % (first, coordinate_of(max_row, max_col))


def check_range(what: str) -> Callable[[Any], str]:
    """A range of cells ("A1:D10", or one cell), kept in its plain form."""
    def check(value: Any) -> str:
        return range_text(*cell_range(value, what))
    return check


def sqref_bounds(text: str, what: str = "range") -> list[tuple[int, int, int, int]]:
    """The ranges of a list of ranges ("A1:A10 C1:C10", or with commas), as cell_range gives
    them; ValueError naming `what` for an empty list."""
    parts = text.replace(",", " ").split()
    if not parts:
        raise ValueError("%r is not a valid %s: expected cells such as 'A1:C2'" % (text, what))
    return [cell_range(part, what) for part in parts]


def check_sqref(what: str) -> Callable[[Any], str]:
    """One range or several ("A1:A10 C1:C10"), kept space-separated in their plain form."""
    def check(value: Any) -> str:
        if not isinstance(value, str):
            raise TypeError("a %s is a str such as 'A1:C2', not %s" % (what, type(value).__name__))
        return " ".join(range_text(*bounds) for bounds in sqref_bounds(value, what))
    return check


def check_cell(what: str) -> Callable[[Any], str]:
    """One cell ("B2"), kept in its plain form."""
    def check(value: Any) -> str:
        if not isinstance(value, str):
            raise TypeError("%s is a cell such as 'B2', not %s" % (what, type(value).__name__))
        try:
            row, column = coordinate_to_tuple(value)
        except ValueError:
            raise ValueError("%r is not a valid %s: expected a cell such as 'B2'" % (value, what)) from None
        if row > MAX_ROW or column > MAX_SHEET_COLUMN:
            raise ValueError("%r is beyond the last cell of a sheet" % value)
        return coordinate_of(row, column)
    return check


def check_formula(what: str, optional: bool = True) -> Callable[[Any], str | None]:
    """A formula, kept without its leading "=" as files hold them."""
    def check(value: Any) -> str | None:
        if value is None and optional:
            return None
        text = check_text(value, what)
        text = text[1:] if text.startswith("=") else text
        if not text.strip():
            raise ValueError("%s is empty" % what)
        if len(text) > 8192:
            raise ValueError("%s has %d characters: a formula has at most 8192" % (what, len(text)))
        return text
    return check


# Numbers as files write them (ints without a point, floats in their shortest form), and as
# read from them (an int when whole; None for text that is no number).
number_text = _number_text
parse_number = _parse_number


# ------------------------------------------------------------------ references to cells

# "Sheet1!$B$2:$B$10", "'My sheet'!B2": a sheet title (quoted when it must be) and a range.
_CELL = r"\$?[A-Za-z]{1,3}\$?[0-9]+"
_REFERENCE = re.compile(r"(?:'((?:[^']|'')+)'|([^'!:\s()]+))!(%s(?::%s)?)\Z" % (_CELL, _CELL))
_PLAIN_TITLE = re.compile(r"[^\W\d][\w.]*\Z")
_CELL_LIKE = re.compile(r"(?i)(?:[A-Z]{1,3}[0-9]+|R[0-9]*C?[0-9]*|C[0-9]*|TRUE|FALSE)\Z")


class Reference:
    """Cells of a sheet, by its title: "Sheet1!$B$2:$B$10". Equal to a reference to the same
    cells (titles compare without regard to case), and to the text of one."""

    __slots__ = ("sheet", "min_row", "min_col", "max_row", "max_col")
    sheet: str
    min_row: int
    min_col: int
    max_row: int
    max_col: int

    def __init__(self, sheet: str, min_row: int, min_col: int, max_row: int | None = None,
                 max_col: int | None = None) -> None:
        check_text(sheet, "a reference's sheet title")
        if not sheet:
            raise ValueError("a reference names a sheet")
        bounds = (min_row, min_col, min_row if max_row is None else max_row, min_col if max_col is None else max_col)
        for value in bounds:
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError("a reference's rows and columns are ints, not %s" % type(value).__name__)
        if not (1 <= bounds[0] <= bounds[2] <= MAX_ROW and 1 <= bounds[1] <= bounds[3] <= MAX_SHEET_COLUMN):
            raise ValueError("rows %d to %d, columns %d to %d are not cells of a sheet" % (
                bounds[0], bounds[2], bounds[1], bounds[3]))
        for name, field in zip(self.__slots__, (sheet, *bounds)):
            object.__setattr__(self, name, field)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("a Reference cannot be changed: make a new one")

    @classmethod
    def parse(cls, text: object, what: str = "reference") -> Reference:
        """The reference of a text such as "Sheet1!$B$2:$B$10" (a leading "=" allowed)."""
        if isinstance(text, Reference):
            return text
        if not isinstance(text, str):
            raise TypeError("a %s is a str such as 'Sheet1!$B$2:$B$10', not %s" % (what, type(text).__name__))
        match = _REFERENCE.match(text[1:] if text.startswith("=") else text)
        if match is None:
            raise ValueError("%r is not a valid %s: expected a sheet and its cells, such as "
                             "'Sheet1!$B$2:$B$10'" % (text, what))
        sheet = match.group(1).replace("''", "'") if match.group(1) is not None else match.group(2)
        min_row, min_col, max_row, max_col = cell_range(match.group(3).replace("$", ""), what)
        return cls(sheet, min_row, min_col, max_row, max_col)

    @property
    def bounds(self) -> tuple[int, int, int, int]:
        """(min_row, min_col, max_row, max_col)."""
        return self.min_row, self.min_col, self.max_row, self.max_col

    @property
    def range(self) -> str:
        """The cells without the sheet, as a plain range ("B2:B10")."""
        return range_text(*self.bounds)

    def __str__(self) -> str:
        title = self.sheet
        if not _PLAIN_TITLE.match(title) or _CELL_LIKE.match(title):
            title = "'%s'" % title.replace("'", "''")
        first = "$%s$%d" % (column_letter(self.min_col), self.min_row)
        if (self.min_row, self.min_col) == (self.max_row, self.max_col):
            return "%s!%s" % (title, first)
        return "%s!%s:$%s$%d" % (title, first, column_letter(self.max_col), self.max_row)

    def __repr__(self) -> str:
        return "Reference(%r)" % str(self)

    def _key(self) -> tuple[str, int, int, int, int]:
        return (self.sheet.casefold(), *self.bounds)

    def __eq__(self, other: object) -> bool:
        found: object = other
        if isinstance(other, str):
            try:
                found = Reference.parse(other)
            except ValueError:
                return False
        if not isinstance(found, Reference):
            return NotImplemented
        return self._key() == found._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __reduce__(self) -> tuple[Any, ...]:
        return Reference, (self.sheet, *self.bounds)
