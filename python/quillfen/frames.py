"""Sheets as pandas or polars DataFrames (`Worksheet.to_pandas`, `Worksheet.to_polars`).

The values come a batch at a time and are appended to one typed array per column (64-bit ints,
doubles, booleans, date-times as microseconds since 1970), so a column of numbers or dates holds
eight bytes a cell. A read-only sheet read by the engine comes as columns already typed, made
without a Python object per number or date; other sheets come as rows, whose values are typed
here. Text and mixed columns are kept as lists of their values.

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

    from .model.worksheet import SheetBase

__all__ = ["to_pandas", "to_polars"]

_BATCH = 4096  # rows turned into columns at a time
_BATCH_CELLS = 16384  # cells the engine turns into columns at a time
_NONE = type(None)
_EPOCH = datetime.datetime(1970, 1, 1)
_MICROSECOND = datetime.timedelta(microseconds=1)
_I64_MIN, _I64_MAX = -2**63, 2**63 - 1
_INT, _FLOAT, _BOOL, _DATETIME, _TEXT, _OBJECT, _EMPTY = "int", "float", "bool", "datetime", "text", "object", "empty"
_TYPED = (_INT, _FLOAT, _BOOL, _DATETIME)  # kinds kept in typed arrays
# The kind of a batch of values by the set of their types, None left out.
_KINDS = {frozenset((int,)): _INT, frozenset((float,)): _FLOAT, frozenset((int, float)): _FLOAT,
          frozenset((bool,)): _BOOL, frozenset((datetime.datetime,)): _DATETIME, frozenset((str,)): _TEXT,
          frozenset(): _EMPTY}


class _Column:
    """One column's values so far: a typed array (ints, floats, bools, date-times) or a list,
    and a byte per row marking the missing ones (allocated at the first missing value).

    A column of floats also marks the values that were ints (from the first int on) and keeps
    aside those a double cannot hold exactly: should the column turn out to mix in other types,
    every value comes back as it was read, however the values were batched."""

    __slots__ = ("kind", "data", "pending", "nulls", "ints", "exact", "length")

    def __init__(self, length: int) -> None:
        self.kind = _EMPTY
        self.data: Any = None  # array("q"), array("d"), bytearray or list, by kind
        self.pending: list[bytes] = []  # engine bytes not yet in `data`: appended at once, copied once
        self.nulls = bytearray(b"\x01") * length if length else None
        self.ints: bytearray | None = None
        self.exact: dict[int, int] = {}
        self.length = length

    def extend(self, values: Sequence[Any]) -> None:
        self.flush()
        types = set(map(type, values))
        has_null = _NONE in types
        types.discard(_NONE)
        kind = _KINDS.get(frozenset(types), _OBJECT)
        if int in types and _FLOAT in (kind, self.kind) and any(type(v) is int and not _I64_MIN <= v <= _I64_MAX
                                                                 for v in values):
            kind = _OBJECT  # an int beyond 64 bits makes a column of objects, among floats as among ints
        self._become(kind)
        if self.kind == _DATETIME:
            try:
                values = [None if value is None else (value - _EPOCH) // _MICROSECOND for value in values]
            except TypeError:  # a date-time with a time zone
                self._become(_OBJECT)
        if self.data is not None:
            numbers = has_null and self.kind in _TYPED
            before = len(self.data)
            try:
                self.data.extend([0 if value is None else value for value in values] if numbers else values)
            except OverflowError:  # an int beyond 64 bits
                del self.data[before:]
                self._become(_OBJECT)
                self.data.extend(values)
        if self.kind == _FLOAT and (int in types or self.ints is not None):
            marks = bytearray(type(value) is int for value in values)
            self.exact.update((self.length + i, value) for i, value in enumerate(values)
                              if marks[i] and float(value) != value)
            self._extend_ints(marks)
        self._extend_nulls(bytearray(map(operator.is_, values, repeat(None))) if has_null else None, len(values))

    def add_chunk(self, kind: str, data: Any, nulls: bytearray | None, ints: bytearray | None, height: int) -> None:
        """Appends `height` values as the engine gives a column of a batch (see
        `RowReader.next_columns`): typed bytes, or a list of text or of any values."""
        if kind == _OBJECT or self.kind not in (_EMPTY, kind) and {self.kind, kind} != {_INT, _FLOAT}:
            self.extend(data if kind == _OBJECT else _chunk_values(kind, data, nulls, ints, height))
            return
        if self.kind == _FLOAT and kind == _INT:  # ints among floats (all exact as doubles)
            self.pending.append(array("d", memoryview(data).cast("q").tolist()).tobytes())
            ints = bytearray(b"\x01") * height
        else:
            self._become(kind)
            if kind == _TEXT:
                self.data.extend(data)
            elif kind == _BOOL:
                self.data += data
            else:
                self.pending.append(data)
        if ints is not None or self.ints is not None:
            self._extend_ints(ints if ints is not None else bytes(height))
        self._extend_nulls(nulls, height)

    def extend_missing(self, count: int) -> None:
        """Appends `count` missing values."""
        self.extend((None,) * count)

    def _extend_ints(self, marks: bytes | bytearray) -> None:
        if self.ints is None:
            self.ints = bytearray(self.length)
        self.ints += marks

    def _extend_nulls(self, nulls: bytes | bytearray | None, count: int) -> None:
        if nulls is not None or self.nulls is not None:
            if self.nulls is None:
                self.nulls = bytearray(self.length)
            self.nulls += nulls if nulls is not None else bytes(count)
        self.length += count

    def flush(self) -> None:
        """Moves the pending engine bytes into `data`."""
        if self.pending:
            self.data.frombytes(b"".join(self.pending))
            self.pending.clear()

    def _become(self, kind: str) -> None:
        """Widens the column so that it can take values of `kind` as well."""
        old = self.kind
        if kind == _EMPTY or kind == old or old == _FLOAT and kind == _INT:
            return
        self.flush()
        if old == _EMPTY:
            self.kind, self.data = kind, _new_data(kind)
            self.data.extend(repeat(0 if kind in _TYPED else None, self.length))
        elif old == _INT and kind == _FLOAT:
            self.ints = bytearray(b"\x01") * self.length
            self.exact = {i: value for i, value in enumerate(self.data) if float(value) != value}
            self.kind, self.data = _FLOAT, array("d", self.data)
        elif old != _OBJECT:
            self.kind, self.data, self.ints, self.exact = _OBJECT, self.objects(), None, {}

    def objects(self) -> list[Any]:
        """The values as a list of Python objects, None where missing."""
        self.flush()
        if self.kind == _EMPTY:
            return [None] * self.length
        values: list[Any]
        if self.kind == _BOOL:
            values = [bool(v) for v in self.data]
        elif self.kind == _DATETIME:
            values = [_EPOCH + _MICROSECOND * v for v in self.data]
        else:
            values = list(self.data)
        if self.ints is not None:
            for i in _positions(self.ints):
                values[i] = self.exact.get(i, int(values[i]))
        if self.nulls is not None and self.kind in _TYPED:
            for i in _positions(self.nulls):
                values[i] = None
        return values


def _new_data(kind: str) -> Any:
    if kind in (_INT, _DATETIME):
        return array("q")
    if kind == _FLOAT:
        return array("d")
    if kind == _BOOL:
        return bytearray()
    return []


def _chunk_values(kind: str, data: Any, nulls: bytearray | None, ints: bytearray | None, height: int) -> list[Any]:
    """The Python values of an engine column chunk (see `_Column.add_chunk`)."""
    column = _Column(0)
    column.add_chunk(kind, data, nulls, ints, height)
    return column.objects()


def _positions(marks: bytearray) -> Iterator[int]:
    """The positions of the 1 bytes of `marks`."""
    start = marks.find(1)
    while start >= 0:
        yield start
        start = marks.find(1, start + 1)


def _columns(ws: SheetBase, header: bool) -> tuple[list[str], list[_Column]]:
    """(names, columns) of the sheet's values (see the module docstring)."""
    names: list[Any] | None = None if header else []
    columns: list[_Column] = []
    length = 0
    for batch in _batches(ws, header):
        if isinstance(batch, list):
            rows = [row for row in batch if row.count(None) != len(row)]
            if names is None and rows:
                names = list(rows.pop(0))
            chunks: list[Any] = [(_OBJECT, list(values), None, None) for values in zip_longest(*rows)]
            height = len(rows)
        else:
            height, chunks = batch
            if names is None and height:
                names, chunks = _split_first(chunks)
                height -= 1
        if not height:
            continue
        columns += [_Column(length) for _ in range(len(chunks) - len(columns))]
        for column, chunk in zip_longest(columns, chunks):
            if chunk is None:  # a column without values in this batch
                column.extend_missing(height)
            else:
                kind, data, nulls, ints = chunk
                column.add_chunk(kind, data, nulls, ints, height)
        length += height
    names = names or []
    width = max(len(columns), len(names))
    columns += [_Column(length) for _ in range(width - len(columns))]
    names += [None] * (width - len(names))
    used = [i for i in range(width) if columns[i].kind != _EMPTY or names[i] is not None]
    first, end = (used[0], used[-1] + 1) if used else (0, 0)
    for column in columns:
        column.flush()
    return _unique_names(names[first:end], first), columns[first:end]


def _batches(ws: SheetBase, header: bool) -> Iterator[list[tuple[Any, ...]] | tuple[int, list[Any]]]:
    """The sheet's values a batch at a time: engine columns of a read-only sheet (see
    `ReadOnlyWorksheet._column_batches`) or lists of value rows."""
    column_batches = getattr(ws, "_column_batches", None)
    if column_batches is not None:
        yield from column_batches(_BATCH_CELLS, header)
        return
    yield from row_batches(ws.iter_rows(values_only=True))


def row_batches(rows: Iterator[tuple[Any, ...]]) -> Iterator[list[tuple[Any, ...]]]:
    """`rows` in lists of a few thousand."""
    while batch := list(islice(rows, _BATCH)):
        yield batch


def _head(marks: bytearray | None) -> bytearray | None:
    return None if marks is None else marks[:1]


def _tail(marks: bytearray | None) -> bytearray | None:
    return None if marks is None else marks[1:]


def _split_first(chunks: list[Any]) -> tuple[list[Any], list[Any]]:
    """The values of the first row of engine column chunks, and the chunks of the other rows."""
    first: list[Any] = []
    rest: list[Any] = []
    for chunk in chunks:
        if chunk is None:
            first.append(None)
            rest.append(None)
            continue
        kind, data, nulls, ints = chunk
        size = 1 if kind in (_TEXT, _OBJECT, _BOOL) else 8
        head = _chunk_values(kind, data[:size], _head(nulls), _head(ints), 1)
        first.append(head[0])
        data, nulls, ints = data[size:], _tail(nulls), _tail(ints)
        # A column whose only value was the name has none left (as when typed from rows).
        empty = data.count(None) == len(data) if kind in (_TEXT, _OBJECT) else nulls is not None and 0 not in nulls
        rest.append(None if empty else (kind, data, nulls, ints))
    return first, rest


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
            values = np.frombuffer(column.data, dtype=np.int64).view("datetime64[us]")
            data[name] = np.where(mask, np.datetime64("NaT", "us"), values) if mask is not None else values
        elif kind == _TEXT:
            data[name] = pd.Series(column.data)  # pandas' own type for text
        else:
            data[name] = pd.Series(column.objects(), dtype=object)
    return pd.DataFrame(data, columns=names, copy=False)


def _buffer_of(column: _Column) -> Any:
    """A typed column's values for polars: a numpy array over them when numpy is installed
    (polars takes it over without a copy), else a memoryview (which polars reads one by one)."""
    try:
        import numpy as np
    except ImportError:
        return memoryview(column.data).cast("?") if column.kind == _BOOL else memoryview(column.data)
    dtype = {_INT: np.int64, _FLOAT: np.float64, _BOOL: np.bool_, _DATETIME: np.int64}[column.kind]
    return np.frombuffer(column.data, dtype=dtype)


def to_polars(ws: SheetBase, header: bool = True) -> polars.DataFrame:
    """The sheet's values as a `polars.DataFrame` (see the module docstring)."""
    import polars as pl

    names, columns = _columns(ws, header)
    series = []
    for name, column in zip(names, columns):
        kind = column.kind
        if kind in _TYPED:
            dtype = {_INT: pl.Int64, _FLOAT: pl.Float64, _BOOL: pl.Boolean, _DATETIME: pl.Int64}[kind]
            values = pl.Series(name, _buffer_of(column), dtype=dtype)
            if kind == _DATETIME:
                values = values.cast(pl.Datetime("us"))
            if column.nulls is not None and column.nulls.find(1) >= 0:
                values = values.set(pl.Series(memoryview(column.nulls).cast("?")), None)
        elif kind == _TEXT:
            values = pl.Series(name, column.data, dtype=pl.String)
        elif kind == _EMPTY:
            values = pl.Series(name, [None] * column.length, dtype=pl.Null)
        else:
            values = pl.Series(name, [None if v is None else value_text(v) for v in column.objects()], dtype=pl.String)
        series.append(values)
    return pl.DataFrame(series)

