"""Sheets as tables and frames (`Worksheet.to_arrow`, `to_pandas`, `to_polars`), and frames
written into sheets (`append_frame`, `write_frames`).

The values come a batch at a time and are appended to one typed array per column (64-bit ints,
doubles, booleans, date-times as microseconds since 1970), so a column of numbers or dates holds
eight bytes a cell. A read-only sheet read by the engine (or a loaded sheet's store) comes as
columns already typed, made without a Python object per number or date; other sheets come as
rows, whose values are typed here. Text and mixed columns are kept as lists of their values.

A column takes the type of its values: ints stay ints, numbers mixing ints and floats become
floats, dates are datetimes; a column mixing other types keeps Python objects with pandas and
becomes text (`value_text`) in Arrow tables and polars. Empty cells are missing values (pandas'
nullable types for ints and booleans that have some). The rows run from the first with a value
to the last: rows without values in between are rows of missing values unless
`skip_blank_rows`; the empty columns before the first and after the last one with a value are
left out unless `columns` picks them. With a header, its row gives the column names.

Arrow tables are made by the engine (`_quillfen.arrow_table`) or, on the pure-Python path, by
its ctypes twin (`quillfen._arrow`), from the same columns. pandas and polars are optional:
quillfen imports them only here, when asked for a frame.
"""

from __future__ import annotations

import datetime
import operator
from array import array
from collections.abc import Iterator, Mapping, Sequence
from itertools import islice, repeat, zip_longest
from typing import TYPE_CHECKING, Any, TypeVar

from . import _arrow, _native
from .constants import MAX_ROW
from .utils.cells import column_index
from .utils.datetime import value_text

if TYPE_CHECKING:
    import pandas
    import polars

    from ._arrow import ArrowTable
    from .model.worksheet import SheetBase

__all__ = ["FrameOptions", "frame_rows", "frame_source", "to_arrow", "to_pandas", "to_polars", "write_frames"]

_T = TypeVar("_T")
_BATCH = 4096  # rows turned into columns at a time
_BATCH_CELLS = 16384  # cells the engine turns into columns at a time
# A column reserves room for at most this many times the rows of the batch that starts it: a
# sheet's declared extent is a hint a damaged or hostile part may inflate.
_RESERVE_BATCHES = 64
_NONE = type(None)
_EPOCH = datetime.datetime(1970, 1, 1)
_MICROSECOND = datetime.timedelta(microseconds=1)
_I64_MIN, _I64_MAX = -2**63, 2**63 - 1
_INT, _FLOAT, _BOOL, _DATETIME, _TEXT, _OBJECT, _EMPTY = "int", "float", "bool", "datetime", "text", "object", "empty"
# A column of several types as the engine gives it for Arrow tables: parts of (bits, classes,
# objects), made values only when wanted (see RowReader.next_columns).
_MIXED = "mixed"
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
    every value comes back as it was read, however the values were batched.

    A column that the engine's chunks start takes, at once, room for the rows the sheet is
    expected to hold (`reserve`): its values are then copied into place, and the heap is spared
    the holes that arrays growing side by side leave behind them. `spare` counts the reserved
    items past `length` (zeros, or None for text: missing values); every other use of `data`
    drops them first (`trim`)."""

    __slots__ = ("kind", "data", "nulls", "ints", "exact", "length", "reserve", "spare")

    def __init__(self, length: int, reserve: int = 0) -> None:
        self.kind = _EMPTY
        self.data: Any = None  # array("q"), array("d"), bytearray or list, by kind
        self.nulls = bytearray(b"\x01") * length if length else None
        self.ints: bytearray | None = None
        self.exact: dict[int, int] = {}
        self.length = length
        self.reserve = reserve
        self.spare = 0

    def extend(self, values: Sequence[Any]) -> None:
        self.trim()
        if self.kind == _MIXED:
            self._become(_OBJECT)
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
        `RowReader.next_columns`): typed bytes, a list of text or of any values, or the parts of
        a column of several types."""
        if kind == _MIXED:
            if self.kind in (_EMPTY, _MIXED):
                self._become(_MIXED)
                self.data.append(data)
                self.length += height
                return
            kind, data = _OBJECT, _mixed_values(data)
        elif self.kind == _MIXED:
            self._become(_OBJECT)
        if kind == _OBJECT or self.kind not in (_EMPTY, kind) and {self.kind, kind} != {_INT, _FLOAT}:
            self.extend(data if kind == _OBJECT else _chunk_values(kind, data, nulls, ints, height))
            return
        if self.kind == _FLOAT and kind == _INT:  # ints among floats (all exact as doubles)
            self.trim()
            self.data.extend(memoryview(data).cast("q").tolist())
            ints = bytearray(b"\x01") * height
        else:
            fresh = self.kind == _EMPTY
            self._become(kind)
            if fresh:
                self._reserve(height)
            # Each batch's values join the column at once and are dropped, so that the heap holds
            # no batches and a table is held about once.
            self._put(data, height)
        if ints is not None or self.ints is not None:
            self._extend_ints(ints if ints is not None else bytes(height))
        self._extend_nulls(nulls, height)

    def extend_missing(self, count: int) -> None:
        """Appends `count` missing values."""
        if self.kind == _MIXED:
            self.data.append(_missing_part(count))
            self.length += count
            return
        if count <= self.spare:  # zeros (None for text) in the reserved room, marked missing
            self.spare -= count
            if self.ints is not None:
                self._extend_ints(bytes(count))
            self._extend_nulls(bytearray(b"\x01") * count, count)
            return
        self.extend((None,) * count)

    def _reserve(self, height: int) -> None:
        """Makes room at once for the rows the column is expected to reach (a column just typed
        holds only missing values before its first chunk: zeros, or None for text)."""
        rows = min(self.reserve, self.length + _RESERVE_BATCHES * height)
        if rows <= self.length + height:
            return
        if self.kind == _TEXT:
            self.data = [None] * rows
        elif self.kind == _BOOL:
            self.data = bytearray(rows)
        else:
            self.data = array(self.data.typecode, [0]) * rows
        self.spare = rows - self.length

    def _put(self, data: Any, count: int) -> None:
        """Appends a chunk of `count` values (a list of text, a byte or eight native bytes a
        value), into the reserved room while it lasts."""
        if count > self.spare:
            self.trim()
            if self.kind == _TEXT:
                self.data.extend(data)
            elif self.kind == _BOOL:
                self.data += data
            else:
                self.data.frombytes(data)
            return
        at = len(self.data) - self.spare
        if self.kind in (_TEXT, _BOOL):
            self.data[at:at + count] = data
        else:
            with memoryview(self.data) as view, view.cast("B") as raw:
                raw[at * 8:at * 8 + len(data)] = data
        self.spare -= count

    def trim(self) -> None:
        """Gives back the reserved room not taken: `data` holds the column's values only."""
        if self.spare:
            del self.data[len(self.data) - self.spare:]
            self.spare = 0

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

    def _become(self, kind: str) -> None:
        """Widens the column so that it can take values of `kind` as well."""
        old = self.kind
        if kind == _EMPTY or kind == old or old == _FLOAT and kind == _INT:
            return
        self.trim()
        if kind == _MIXED:  # from empty only
            self.kind, self.data, self.nulls = _MIXED, [_missing_part(self.length)] if self.length else [], None
        elif old == _EMPTY:
            self.kind, self.data = kind, _new_data(kind)
            self.data.extend(repeat(0 if kind in _TYPED else None, self.length))
        elif old == _INT and kind == _FLOAT:
            self.ints = bytearray(b"\x01") * self.length
            self.exact = {i: value for i, value in enumerate(self.data) if float(value) != value}
            self.kind, self.data = _FLOAT, array("d", self.data)
        elif old != _OBJECT:
            self.kind, self.data, self.ints, self.exact = _OBJECT, self.objects(), None, {}

    def truncate(self, length: int) -> None:
        """Keeps the first `length` values."""
        self.trim()
        if self.kind == _MIXED:
            self._become(_OBJECT)
        if self.data is not None:
            del self.data[length:]
        for marks in (self.nulls, self.ints):
            if marks is not None:
                del marks[length:]
        self.exact = {i: value for i, value in self.exact.items() if i < length}
        self.length = length

    def cast(self, kind: str, name: str) -> _Column:
        """The column with its values as `kind` asks (a `dtypes` override): ints, floats, booleans,
        date-times or text; a value that does not convert exactly raises ValueError."""
        if kind == self.kind:
            return self
        convert = _CASTS[kind]
        values = []
        for row, value in enumerate(self.objects()):
            try:
                values.append(None if value is None else convert(value))
            except (TypeError, ValueError, OverflowError):
                raise ValueError("column %r, row %d: %r is not %s" % (name, row, value, _KIND_WORDS[kind])) from None
        column = _Column(0)
        column.extend(values)
        column._become(kind)  # a column without values takes the kind too
        return column

    def objects(self) -> list[Any]:
        """The values as a list of Python objects, None where missing."""
        self.trim()
        if self.kind == _EMPTY:
            return [None] * self.length
        if self.kind == _MIXED:
            return [value for part in self.data for value in _mixed_values(part)]
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


def _mixed_values(part: tuple[bytes, bytes, list[Any]]) -> list[Any]:
    """The values of a part of a column of several types, made by the engine that gave it."""
    engine: Any = _native._engine
    values: list[Any] = engine.mixed_values(*part)
    return values


def _missing_part(count: int) -> tuple[bytes, bytes, list[Any]]:
    """`count` missing values as a part of a column of several types (class 1: none)."""
    return bytes(8 * count), b"\x01" * count, [None] * count


def _to_int(value: Any) -> int:
    if type(value) is float and value.is_integer() or type(value) in (int, bool):
        return int(value)
    raise ValueError(value)


def _to_float(value: Any) -> float:
    if type(value) in (int, float, bool):
        return float(value)
    raise ValueError(value)


def _to_bool(value: Any) -> bool:
    if type(value) is bool or type(value) in (int, float) and value in (0, 1):
        return bool(value)
    raise ValueError(value)


def _to_datetime(value: Any) -> datetime.datetime:
    if type(value) is datetime.datetime:
        return value
    if type(value) is datetime.date:
        return datetime.datetime(value.year, value.month, value.day)
    raise ValueError(value)


_CASTS = {_INT: _to_int, _FLOAT: _to_float, _BOOL: _to_bool, _DATETIME: _to_datetime, _TEXT: value_text}
_KIND_WORDS = {_INT: "an int", _FLOAT: "a float", _BOOL: "a boolean", _DATETIME: "a date-time", _TEXT: "text"}
# The `dtypes` a frame takes: the kinds by their names in Python, pandas, polars and pyarrow.
_DTYPE_NAMES = {
    _INT: ("int", "int64", "Int64", "i64"), _FLOAT: ("float", "float64", "Float64", "f64", "double"),
    _BOOL: ("bool", "boolean", "Boolean"),
    _DATETIME: ("datetime", "datetime64[us]", "Datetime", "timestamp[us]", "date"),
    _TEXT: ("str", "string", "String", "text", "utf8", "Utf8"),
}
_DTYPES = {name: kind for kind, names in _DTYPE_NAMES.items() for name in names}
_DTYPES_BY_TYPE = {int: _INT, float: _FLOAT, bool: _BOOL, datetime.datetime: _DATETIME, str: _TEXT}


def _dtype_kind(name: str, dtype: Any) -> str:
    """The kind a `dtypes` value names: a Python type (int, float, bool, str, datetime) or a name
    ("int64", "float64", "bool", "datetime", "str" and their pandas, polars and pyarrow forms)."""
    kind = _DTYPES_BY_TYPE.get(dtype) if isinstance(dtype, type) else _DTYPES.get(str(dtype))
    if kind is None:
        raise ValueError("dtypes: column %r cannot be %r (use int, float, bool, datetime or str)" % (name, dtype))
    return kind


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


class FrameOptions:
    """What a frame reads of a sheet (see `to_arrow`)."""

    __slots__ = ("header", "header_row", "min_row", "columns", "nrows", "dtypes", "formulas", "blank_rows", "mixed")

    def __init__(self, header: bool = True, columns: Any = None, *, header_row: int | None = None,
                 skip_rows: int = 0, nrows: int | None = None, dtypes: Mapping[str, Any] | None = None,
                 formulas: bool = False, skip_blank_rows: bool = False) -> None:
        for name, value in (("header_row", header_row), ("nrows", nrows)):
            if value is not None and (not isinstance(value, int) or isinstance(value, bool) or value < 0
                                      or name == "header_row" and value < 1):
                raise ValueError("%s must be %s int or None, not %r"
                                 % (name, "a positive" if name == "header_row" else "a non-negative", value))
        if not isinstance(skip_rows, int) or isinstance(skip_rows, bool) or skip_rows < 0:
            raise ValueError("skip_rows must be a non-negative int, not %r" % (skip_rows,))
        self.header = bool(header) or header_row is not None
        self.header_row = header_row
        self.min_row = header_row if header_row is not None else skip_rows + 1
        self.columns = columns
        self.nrows = nrows
        self.dtypes = {name: _dtype_kind(name, dtype) for name, dtype in (dtypes or {}).items()}
        self.formulas = bool(formulas)
        self.blank_rows = not skip_blank_rows
        self.mixed = False  # columns of several types as the engine's parts (Arrow tables make them text)


def _frame(ws: SheetBase, options: FrameOptions) -> tuple[list[str], list[_Column], int]:
    """(names, columns, rows) of the sheet's values as `options` asks (see the module docstring)."""
    names: list[Any] | None = None if options.header else []
    columns: list[_Column] = []
    length = 0
    last = 0  # the last sheet row with values taken
    reserve = _rows_expected(ws, options)
    for batch in ws._column_batches(_BATCH_CELLS, options):
        if isinstance(batch, list):
            rows: list[tuple[Any, ...]] = []
            for idx, row in batch:
                if idx < options.min_row or row.count(None) == len(row):
                    continue
                if names is None:
                    names = [] if options.header_row not in (None, idx) else list(row)
                    if names:
                        last = idx
                        continue
                rows.extend(repeat((), _gap(options, last, idx)))
                rows.append(row)
                last = idx
            chunks: list[Any] = [(_OBJECT, list(values), None, None) for values in zip_longest(*rows)]
            height = len(rows)
        else:
            height, chunks, first, batch_last = batch
            if not height:
                continue
            if names is None:
                names = [] if options.header_row not in (None, first) else None
                if names is None:
                    names, chunks = _split_first(chunks)
                    height -= 1
            gap = _gap(options, last, first) if height else 0
            if gap:
                for column in columns:
                    column.extend_missing(gap)
                length += gap
            last = batch_last
        if not height:
            continue
        columns += [_Column(length, reserve) for _ in range(len(chunks) - len(columns))]
        for column, chunk in zip_longest(columns, chunks):
            if chunk is None:  # a column without values in this batch
                column.extend_missing(height)
            else:
                kind, data, nulls, ints = chunk
                column.add_chunk(kind, data, nulls, ints, height)
        length += height
        if options.nrows is not None and length >= options.nrows:
            break  # the reader stops here (its generator is closed)
    for column in columns:
        column.trim()
    if options.nrows is not None and length > options.nrows:
        length = options.nrows
        for column in columns:
            column.truncate(length)
    names = names or []
    width = max(len(columns), len(names))
    columns += [_Column(length) for _ in range(width - len(columns))]
    names += [None] * (width - len(names))
    if options.columns is None:
        used = [i for i in range(width) if columns[i].kind != _EMPTY or names[i] is not None]
        picked = list(range(used[0], used[-1] + 1)) if used else []
    else:
        picked = _picked(options.columns, _unique_names(names, 0))
        columns += [_Column(length) for _ in range(max(picked, default=-1) + 1 - width)]
        names += [None] * (len(columns) - width)
    unique = _unique_names(names, 0)
    names_out = [unique[i] for i in picked]
    columns_out = [columns[i] for i in picked]
    for name, kind in options.dtypes.items():
        if name not in names_out:
            raise ValueError("dtypes names no column %r (the columns: %s)" % (name, ", ".join(map(repr, names_out))))
        at = names_out.index(name)
        columns_out[at] = columns_out[at].cast(kind, name)
    return names_out, columns_out, length


def _rows_expected(ws: SheetBase, options: FrameOptions) -> int:
    """The rows a frame of the sheet is expected to hold, by its extent (a read-only sheet's as
    its part declares it), 0 when unknown: what its columns reserve."""
    last = ws._last_row_hint()
    if not last or last > MAX_ROW:
        return 0
    rows = max(last - options.min_row + 1, 0)
    return rows if options.nrows is None else min(rows, options.nrows)


def _gap(options: FrameOptions, last: int, row: int) -> int:
    """The blank rows kept between the last row taken and `row` (none past a sheet's last row:
    a damaged part's huge row number must not make billions of rows)."""
    if not options.blank_rows or not last or row <= last + 1 or row > MAX_ROW:
        return 0
    return row - last - 1


def _picked(spec: Any, names: list[str]) -> list[int]:
    """The 0-based sheet columns (A is 0) that `columns` picks: column letters ("B", "A:C",
    "A,C:E"), or a sequence of names, letters and 0-based indices, in the order given."""
    items: list[Any] = spec.split(",") if isinstance(spec, str) else list(spec)
    picked: list[int] = []
    for item in items:
        if isinstance(item, int) and not isinstance(item, bool):
            if item < 0:
                raise ValueError("column index %d is negative (A is 0)" % item)
            found = [item]
        elif isinstance(item, str) and not isinstance(spec, str) and item in names:
            found = [names.index(item)]
        elif isinstance(item, str):
            found = _letters(item.strip(), names)
        else:
            raise TypeError("columns are picked by name, letters or index, not %s" % type(item).__name__)
        picked += [i for i in found if i not in picked]
    return picked


def _letters(text: str, names: list[str]) -> list[int]:
    first, colon, last = text.partition(":")
    try:
        low = column_index(first.upper()) - 1
        high = column_index(last.upper()) - 1 if colon else low
    except ValueError:
        raise ValueError("no column named %r (the columns: %s)" % (text, ", ".join(map(repr, names)))) from None
    return list(range(min(low, high), max(low, high) + 1))


def row_batches(rows: Iterator[_T]) -> Iterator[list[_T]]:
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


def to_arrow(ws: SheetBase, options: FrameOptions, batch_rows: int = 65536, dictionary: bool = True) -> ArrowTable:
    """The sheet's values as a table for the Arrow PyCapsule protocol (see `Worksheet.to_arrow`):
    made by the engine, or by the pure-Python path's ctypes twin, from the same typed columns."""
    if not isinstance(batch_rows, int) or isinstance(batch_rows, bool) or batch_rows < 1:
        raise ValueError("batch_rows must be a positive int, not %r" % (batch_rows,))
    options.mixed = True
    names, columns, rows = _frame(ws, options)
    module = _native.engine()
    make: Any = module.arrow_table if module is not None else _arrow.arrow_table
    table: ArrowTable = make(names, _arrow_columns(columns), rows, batch_rows, dictionary, value_text)
    return table


def _arrow_columns(columns: list[_Column]) -> Iterator[tuple[str, Any, bytearray | None]]:
    """(kind, data, nulls) of each column for `arrow_table`, a column's own values dropped as soon
    as the table holds them (the table is held about once while it changes hands). A column
    that mixes types becomes text, as polars takes it."""
    columns.reverse()
    while columns:
        column = columns.pop()
        kind = column.kind
        if kind in _TYPED:
            # The column's own buffer, copied once by the table.
            yield kind, column.data, column.nulls
        elif kind == _TEXT:
            yield kind, column.data, None
        elif kind == _EMPTY:
            yield kind, None, None
        elif kind == _MIXED:
            yield kind, column.data, None
        else:
            yield _OBJECT, column.objects(), None
        del column


def to_pandas(ws: SheetBase, options: FrameOptions) -> pandas.DataFrame:
    """The sheet's values as a `pandas.DataFrame` (see the module docstring)."""
    import numpy as np
    import pandas as pd

    names, columns, _rows = _frame(ws, options)
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


def to_polars(ws: SheetBase, options: FrameOptions) -> polars.DataFrame:
    """The sheet's values as a `polars.DataFrame`, taken over from the Arrow table in one batch
    (polars keeps its buffers; more batches would be copied into one)."""
    import polars as pl

    table = to_arrow(ws, options, batch_rows=2**62, dictionary=False)
    return pl.DataFrame(table) if table.column_names else pl.DataFrame()


# ---------------------------------------------------------------- writing frames

def frame_source(data: Any) -> Any:
    """What `append_frame` reads a frame from: an object with `__arrow_c_stream__` (polars and
    pyarrow tables, record batch readers, DuckDB results), or a pandas DataFrame, turned into a
    table here (pandas' own export needs pyarrow); None for a pandas frame with a column of
    mixed objects, which is appended value by value (`frame_rows`)."""
    if _is_pandas(data):
        table = _pandas_table(data)
        return None if table is None else _OneExport(table)
    if not hasattr(data, "__arrow_c_stream__"):
        raise TypeError("a frame is a pandas DataFrame or an object with __arrow_c_stream__ (polars, pyarrow, "
                        "DuckDB), not %s" % type(data).__name__)
    return _OneExport(data)


class _OneExport:
    """A frame's stream, exported once and handed to whichever reader asks: the engine's, and
    the pure-Python path's when the engine declines the frame. A producer whose stream can be
    read once (a record batch reader, a query's result) would give a second export no rows."""

    __slots__ = ("_frame", "_capsule")

    def __init__(self, frame: Any) -> None:
        self._frame = frame
        self._capsule: Any = None

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        if self._capsule is None:
            self._capsule = self._frame.__arrow_c_stream__()
        return self._capsule


def _is_pandas(data: Any) -> bool:
    return any(cls.__module__.startswith("pandas") and cls.__name__ == "DataFrame" for cls in type(data).__mro__)


def _pandas_table(df: Any) -> Any:
    """A pandas DataFrame as an Arrow table (see `arrow_table`), or None when a column holds
    objects of several types."""
    import numpy as np

    columns: list[tuple[str, Any, Any]] = []
    for _name, series in df.items():
        values = series.array
        mask = np.asarray(series.isna())
        nulls = bytearray(mask.tobytes()) if mask.any() else None
        dtype = series.dtype
        kind = getattr(dtype, "kind", "O")
        if kind in "iu" and getattr(dtype, "itemsize", 8) <= 8 and not (kind == "u" and dtype.itemsize == 8):
            data = np.asarray(values.to_numpy(dtype="int64", na_value=0), dtype=np.int64)
            columns.append((_INT, data.tobytes(), nulls))
        elif kind == "f":
            data = np.asarray(values.to_numpy(dtype="float64", na_value=np.nan), dtype=np.float64)
            columns.append((_FLOAT, data.tobytes(), nulls))
        elif kind == "b":
            data = np.asarray(values.to_numpy(dtype=bool, na_value=False), dtype=bool)
            columns.append((_BOOL, data.tobytes(), nulls))
        elif kind == "M" and getattr(dtype, "tz", None) is None:
            data = np.asarray(series.to_numpy(dtype="datetime64[us]")).view(np.int64)
            columns.append((_DATETIME, np.where(mask, 0, data).tobytes(), nulls))
        else:
            objects = [None if missing else value for value, missing in zip(series.tolist(), mask.tolist())]
            if not all(value is None or type(value) is str for value in objects):
                return None
            columns.append((_TEXT, objects, None))
    names = [str(name) for name in df.columns]
    module = _native.engine()
    make: Any = module.arrow_table if module is not None else _arrow.arrow_table
    return make(names, iter(columns), len(df), 65536, False)


def frame_rows(data: Any, source: Any, header: bool) -> Iterator[list[Any]]:
    """The rows of a frame as Python values, its names first with `header`: read from `source`
    (see `frame_source`) with the pure-Python stream reader, or from a pandas frame's values."""
    if source is None:
        if header:
            yield [str(name) for name in data.columns]
        mask = data.isna().to_numpy()
        for row, missing in zip(data.itertuples(index=False, name=None), mask):
            yield [None if gap else _plain(value) for value, gap in zip(row, missing)]
        return
    names, batches = _arrow.read_stream(source)
    if header:
        yield list(names)
    for columns in batches:
        yield from map(list, zip(*columns)) if columns else ()


def _plain(value: Any) -> Any:
    """A pandas value as the Python value a cell takes."""
    to_python = getattr(value, "to_pydatetime", None)
    if to_python is not None:
        return to_python()
    item = getattr(value, "item", None)  # numpy scalars
    return item() if item is not None and type(value).__module__ == "numpy" else value


def text_cells(ws: Any, row: list[Any]) -> list[Any]:
    """A frame's row for `append`: text that starts with "=" stays text (a frame holds no
    formulas), in a cell of data type "s" that the sheet copies."""
    from .model.cell import Cell

    return [Cell(ws, 1, 1, value, None, "s") if type(value) is str and value[:1] == "=" and len(value) > 1 else value
            for value in row]


def write_frames(frames: Mapping[str, Any], path: Any, header: bool = True) -> None:
    """Saves a workbook of one sheet per frame, {title: frame}, in that order, to `path` (see
    `append_frame`)."""
    from .model.workbook import Workbook

    wb = Workbook(write_only=True)
    for title, frame in frames.items():
        wb.create_sheet(title).append_frame(frame, header)
    wb.save(path)
