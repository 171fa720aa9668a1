"""Tables of a sheet: a named range of cells with a header row of column names, filter
buttons, banded rows in a table style and an optional totals row (`ws.add_table`)."""

from __future__ import annotations

from collections.abc import Iterator, MutableMapping
from typing import Any

from .features import _check_name
from .objects import Feature, check_bool, check_range, check_text_field, text_of
from ..utils.cells import range_boundaries

__all__ = ["Table", "Tables", "check_table_name"]

MAX_COLUMN_NAME = 255
def check_table_name(value: Any) -> str:
    """A table's name: a defined name (which it is, in formulas), not one of the built-in."""
    name = _check_name(value)
    if name.startswith("_xlnm."):
        raise ValueError("%r is not a valid table name: the prefix _xlnm. is for built-in names" % name)
    return name


def _columns(value: Any) -> list[str]:
    if isinstance(value, str) or not hasattr(value, "__iter__"):
        raise TypeError("a table's columns are a list of names, not %s" % type(value).__name__)
    names = [text_of(name, "a table column's name", MAX_COLUMN_NAME) for name in value]
    seen: dict[str, str] = {}
    for name in names:
        if not name.strip():
            raise ValueError("a table column's name cannot be empty")
        other = seen.setdefault(name.casefold(), name)
        if other is not name:
            raise ValueError("table columns %r and %r have the same name" % (other, name))
    return names


class Table(Feature):
    """A table over the cells `ref` ("A1:D20"), named `name` (unique in the workbook), styled
    with the table style `style` (None for none). With `header`, its first row holds the
    column names; with `totals`, its last row is a totals row. `columns` are the column
    names, one per column of `ref`."""

    __slots__ = ("name", "ref", "style", "header", "totals", "columns")
    _FIELDS = __slots__
    _CHECKS = {"name": check_table_name, "ref": check_range("table range"),
               "style": check_text_field("a table style", 255), "header": check_bool("header"),
               "totals": check_bool("totals"), "columns": _columns}
    name: str
    ref: str
    style: str | None
    header: bool
    totals: bool
    columns: list[str]

    def __init__(self, name: str, ref: str, *, style: str | None = "TableStyleMedium9", header: bool = True,
                 totals: bool = False, columns: list[str] | None = None) -> None:
        self.name = name
        self.ref = ref
        self.style = style
        self.header = header
        self.totals = totals
        self.columns = ["Column%d" % n for n in range(1, self.width + 1)] if columns is None else columns

    @property
    def width(self) -> int:
        min_col, _min_row, max_col, _max_row = range_boundaries(self.ref)
        assert min_col is not None and max_col is not None
        return max_col - min_col + 1

    @property
    def bounds(self) -> tuple[int, int, int, int]:
        """(min_row, min_col, max_row, max_col) of `ref`."""
        min_col, min_row, max_col, max_row = range_boundaries(self.ref)
        assert min_col is not None and min_row is not None and max_col is not None and max_row is not None
        return min_row, min_col, max_row, max_col

    def check(self) -> None:
        """ValueError when the table's fields do not fit together: a column name for each
        column, and a row of data beside the header and totals rows."""
        if len(self.columns) != self.width:
            raise ValueError("table %r has %d column names for its range %s, %d columns wide"
                             % (self.name, len(self.columns), self.ref, self.width))
        min_row, _min_col, max_row, _max_col = self.bounds
        if max_row - min_row + 1 < 1 + self.header + self.totals:
            raise ValueError("table %r: its range %s has no row of data besides its header and totals rows"
                             % (self.name, self.ref))


class Tables(MutableMapping[str, Table]):
    """A sheet's tables by name (in any case), in the order they were added: `ws.add_table`
    adds one, `del ws.tables[name]` takes one away. A table renamed is found by its new name."""

    def __init__(self) -> None:
        self._items: list[Table] = []

    def _find(self, name: object) -> int:
        if isinstance(name, str):
            folded = name.casefold()
            for index, table in enumerate(self._items):
                if table.name.casefold() == folded:
                    return index
        raise KeyError(name)

    def __getitem__(self, name: str) -> Table:
        return self._items[self._find(name)]

    def __setitem__(self, name: str, table: Table) -> None:
        if not isinstance(table, Table):
            raise TypeError("a sheet's table is a Table, not %s" % type(table).__name__)
        if name != table.name:
            raise ValueError("table %r stored under another name, %r" % (table.name, name))
        try:
            self._items[self._find(name)] = table
        except KeyError:
            self._items.append(table)

    def __delitem__(self, name: str) -> None:
        del self._items[self._find(name)]

    def __iter__(self) -> Iterator[str]:
        return iter([table.name for table in self._items])

    def __len__(self) -> int:
        return len(self._items)

    def __repr__(self) -> str:
        return "Tables(%r)" % self._items
