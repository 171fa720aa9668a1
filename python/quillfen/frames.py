"""Sheets as pandas or polars DataFrames (`Worksheet.to_pandas`, `Worksheet.to_polars`).

The rows come from the sheet's own row reader (the engine's, for a read-only sheet) a batch at
a time; each batch is turned into columns and appended to one typed array per column (64-bit
ints, doubles, booleans), so a column of numbers holds eight bytes a cell and no Python object
per cell outlives its batch. Text, dates and mixed columns are kept as lists of their values.

A column takes the type of its values: ints stay ints, numbers mixing ints and floats become
floats, dates are datetimes; a column mixing other types keeps Python objects with pandas and
becomes text with polars. Empty cells are missing values (pandas' nullable types for ints and
booleans that have some). Rows without any value are left out, and so are the empty columns
before the first and after the last one with a value. With `header`, the first row gives the
column names.

pandas and polars are optional: quillfen imports them only here, when asked for a frame.
"""

from __future__ import annotations

import datetime
import operator
from array import array
from collections.abc import Iterator, Sequence
from itertools import islice, repeat, zip_longest
from typing import TYPE_CHECKING, Any

from .utils.datetime import value_text

if TYPE_CHECKING:
    import pandas
    import polars

    from .worksheet import SheetBase

__all__ = ["to_pandas", "to_polars"]

_BATCH = 4096  # rows turned into columns at a time
_NONE = type(None)
_INT, _FLOAT, _BOOL, _DATETIME, _TEXT, _OBJECT, _EMPTY = "int", "float", "bool", "datetime", "text", "object", "empty"
# The kind of a batch of values by the set of their types, None left out.
_KINDS = {frozenset((int,)): _INT, frozenset((float,)): _FLOAT, frozenset((int, float)): _FLOAT,
          frozenset((bool,)): _BOOL, frozenset((datetime.datetime,)): _DATETIME, frozenset((str,)): _TEXT,
          frozenset(): _EMPTY}


class _Column:
    """One column's values so far: a typed array (ints, floats, bools) or a list, and a byte
    per row marking the missing ones (allocated at the first missing value)."""

    __slots__ = ("kind", "data", "nulls", "length")

    def __init__(self, length: int) -> None:
        self.kind = _EMPTY
        self.data: Any = None  # array("q"), array("d"), bytearray or list, by kind
        self.nulls = bytearray(b"\x01") * length if length else None
        self.length = length

    def extend(self, values: Sequence[Any]) -> None:
        types = set(map(type, values))
        has_null = _NONE in types
        types.discard(_NONE)
        self._become(_KINDS.get(frozenset(types), _OBJECT))
        if self.data is not None:
            numbers = has_null and self.kind in (_INT, _FLOAT, _BOOL)
            before = len(self.data)
            try:
                self.data.extend([0 if value is None else value for value in values] if numbers else values)
            except OverflowError:  # an int beyond 64 bits
                del self.data[before:]
                self._become(_OBJECT)
                self.data.extend(values)
        if has_null or self.nulls is not None:
            if self.nulls is None:
                self.nulls = bytearray(self.length)
            self.nulls += bytearray(map(operator.is_, values, repeat(None)))
        self.length += len(values)

    def _become(self, kind: str) -> None:
        """Widens the column so that it can take values of `kind` as well."""
        old = self.kind
        if kind == _EMPTY or kind == old:
            return
        if old == _EMPTY:
            self.kind, self.data = kind, _new_data(kind)
            self.data.extend(repeat(0 if kind in (_INT, _FLOAT, _BOOL) else None, self.length))
        elif {old, kind} == {_INT, _FLOAT}:
            self.kind, self.data = _FLOAT, array("d", self.data)
        elif old != _OBJECT:
            self.kind, self.data = _OBJECT, self.objects()

    def objects(self) -> list[Any]:
        """The values as a list of Python objects, None where missing."""
        if self.kind == _EMPTY:
            return [None] * self.length
        values = [bool(v) for v in self.data] if self.kind == _BOOL else list(self.data)
        if self.nulls is not None and self.kind in (_INT, _FLOAT, _BOOL):
            for i in _null_positions(self.nulls):
                values[i] = None
        return values


def _new_data(kind: str) -> Any:
    if kind == _INT:
        return array("q")
    if kind == _FLOAT:
        return array("d")
    if kind == _BOOL:
        return bytearray()
    return []


def _null_positions(nulls: bytearray) -> Iterator[int]:
    start = nulls.find(1)
    while start >= 0:
        yield start
        start = nulls.find(1, start + 1)


def _columns(ws: SheetBase, header: bool) -> tuple[list[str], list[_Column]]:
    """(names, columns) of the sheet's values (see the module docstring)."""
    rows = (row for row in ws.iter_rows(values_only=True) if row.count(None) != len(row))
    names: list[Any] = list(next(rows, ())) if header else []
    columns: list[_Column] = []
    length = 0
    while True:
        batch = list(islice(rows, _BATCH))
        if not batch:
            break
        for i, values in enumerate(zip_longest(*batch)):
            if i == len(columns):
                columns.append(_Column(length))
            columns[i].extend(values)
        for column in columns[i + 1:]:  # columns that this batch's rows do not reach
            column.extend((None,) * len(batch))
        length += len(batch)
    width = max(len(columns), len(names))
    columns += [_Column(length) for _ in range(width - len(columns))]
    names += [None] * (width - len(names))
    used = [i for i in range(width) if columns[i].kind != _EMPTY or names[i] is not None]
    first, end = (used[0], used[-1] + 1) if used else (0, 0)
    return _unique_names(names[first:end], first), columns[first:end]


def _unique_names(names: list[Any], first: int) -> list[str]:
    """Column names as text: a missing name is "Unnamed: <n>" (n counting from 0 at column A),
    a repeated one gets ".1", ".2", ... as pandas names them."""
    result, seen = [], set()
    for i, name in enumerate(names, first):
        if name is None:
            name = "Unnamed: %d" % i
        elif isinstance(name, (datetime.date, datetime.time)):
            name = name.isoformat()
        else:
            name = str(name)
        unique, n = name, 0
        while unique in seen:
            n += 1
            unique = "%s.%d" % (name, n)
        seen.add(unique)
        result.append(unique)
    return result


def to_pandas(ws: SheetBase, header: bool = True) -> pandas.DataFrame:
    """The sheet's values as a `pandas.DataFrame` (see the module docstring)."""
    import numpy as np
    import pandas as pd

    names, columns = _columns(ws, header)
    data: dict[str, Any] = {}
    for name, column in zip(names, columns):
        kind, nulls = column.kind, column.nulls
        mask = np.frombuffer(nulls, dtype=bool) if nulls is not None and nulls.find(1) >= 0 else None
        if kind == _INT:
            values = np.frombuffer(column.data, dtype=np.int64)
            data[name] = pd.arrays.IntegerArray(values, mask.copy()) if mask is not None else values
        elif kind == _FLOAT:
            values = np.frombuffer(column.data, dtype=np.float64)
            data[name] = np.where(mask, np.nan, values) if mask is not None else values
        elif kind == _BOOL:
            values = np.frombuffer(column.data, dtype=bool)
            data[name] = pd.arrays.BooleanArray(values, mask.copy()) if mask is not None else values
        elif kind == _DATETIME:
            data[name] = pd.Series(column.data)  # datetime64, NaT where missing (numpy is slower)
        elif kind == _TEXT:
            data[name] = pd.Series(column.data)  # pandas' own type for text
        else:
            data[name] = pd.Series(column.objects(), dtype=object)
    return pd.DataFrame(data, columns=names, copy=False)


def to_polars(ws: SheetBase, header: bool = True) -> polars.DataFrame:
    """The sheet's values as a `polars.DataFrame` (see the module docstring)."""
    import polars as pl

    names, columns = _columns(ws, header)
    series = []
    for name, column in zip(names, columns):
        kind = column.kind
        if kind in (_INT, _FLOAT, _BOOL):
            dtype = {_INT: pl.Int64, _FLOAT: pl.Float64, _BOOL: pl.Boolean}[kind]
            data = memoryview(column.data).cast("?") if kind == _BOOL else memoryview(column.data)
            values = pl.Series(name, data, dtype=dtype)
            if column.nulls is not None and column.nulls.find(1) >= 0:
                values = values.set(pl.Series(memoryview(column.nulls).cast("?")), None)
        elif kind == _DATETIME:
            values = pl.Series(name, column.data, dtype=pl.Datetime("us"))
        elif kind == _TEXT:
            values = pl.Series(name, column.data, dtype=pl.String)
        elif kind == _EMPTY:
            values = pl.Series(name, [None] * column.length, dtype=pl.Null)
        else:
            values = pl.Series(name, [None if v is None else value_text(v) for v in column.objects()], dtype=pl.String)
        series.append(values)
    return pl.DataFrame(series)

