"""Worksheets of the model: what every sheet has, and the editable sheet that holds every cell.

A sheet exists without a file. The reader (`quillfen.reader`) fills one from a file and the
writer (`quillfen.writer`) saves it; the read-only and write-only sheets live with them.
"""

from __future__ import annotations

import datetime
import operator
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from itertools import groupby
from operator import itemgetter
from typing import TYPE_CHECKING, Any, NamedTuple, Protocol, SupportsIndex, cast

from .cell import DEFAULT_DATE_FORMATS, Cell, assign, cached_value, typed_result, without_cached
from ..formula import ArrayFormula, DataTableFormula
from ..constants import MAX_ROW, MAX_SHEET_COLUMN
from .features import SheetFeatures
from .guard import book_guarded, guarded, new_guard
from .structure import edit_lines, move_range
from .reporting import SheetReports
from .tracking import CELLS, mutating
from ..utils.cells import column_index, column_letter, coordinate_of, coordinate_to_tuple, range_boundaries
from ..utils.datetime import first_day

if TYPE_CHECKING:
    import pandas
    import polars

    from .._arrow import ArrowTable
    from ..frames import FrameOptions
    from .workbook import Workbook

_UNIX_EPOCH = datetime.datetime(1970, 1, 1)
# (min_row, max_row, min_col, max_col)
Bounds = tuple[int, int, int, int]
# The columns a frame picks: letters ("A:C,E"), or names, letters and 0-based indices.
FrameColumns = str | Sequence[str | int] | None


class SheetFacts(NamedTuple):
    """What a prescan tells about a sheet without loading its cells."""

    dimension: str | None        # the `dimension` element's ref, or None
    formatted_rows: list[int]    # numbers of the rows that carry formatting (height, style, hidden...)
    merged_cells: list[str]      # merged range refs, in document order
    corner_styles: dict[str, list[tuple[str, str | None]]]  # merged ref -> [(corner coordinate, style id text or None)]


class SheetSource(Protocol):
    """The part a sheet was read from, as the reader attaches it to the sheet."""

    part: str

    def prescan(self, want_rows: bool, corners: Iterable[tuple[int, int]]) -> dict[str, Any]: ...

    def facts(self) -> SheetFacts: ...


class NamedSheet:
    """What every sheet has, with cells or without: its workbook, title and state, and the part
    it was read from."""

    kind = "worksheet"  # beside chart, dialog and macro sheets (`quillfen.model.sheets`)

    def __init__(self, workbook: Workbook[Any], title: str) -> None:
        # Taken by every mutating call (`model.guard`); first, for everything below may need it.
        self._guard = new_guard()
        self.parent = workbook
        self._title = title
        self.sheet_state = "visible"
        self._source: SheetSource | None = None  # the part it was read from, if it was

    @property
    def title(self) -> str:
        return self._title

    @title.setter
    def title(self, title: str) -> None:
        # Under the workbook's guard: no other sheet can take the title meanwhile, and the
        # references to the sheet are renamed with it.
        with self.parent._guard:
            self.parent._check_title(title, self)
            if title != self._title:
                self.parent._check_rename(self._title, title)
            old, self._title = self._title, title
            if old != title:
                self.parent._sheet_renamed(old, title)

    @property
    def _part(self) -> str | None:
        """The name of the part the sheet was read from, if it was."""
        return self._source.part if self._source is not None else None

    def __repr__(self) -> str:
        return "<%s %r>" % (type(self).__name__, self.title)


class SheetBase(NamedSheet, SheetFeatures, SheetReports):
    """A sheet's title, workbook and the worksheet settings read from a file (its features:
    `quillfen.features`, and those of reports: `quillfen.model.reporting`)."""

    def __init__(self, workbook: Workbook, title: str) -> None:
        super().__init__(workbook, title)
        self._init_features()
        self._init_reports()
        self.dimension_ref: str | None = None
        self._kept: dict[str, Any] = {}  # local name -> element (or list of them) read from the file and written back
        # Local names of elements read from the file that a workbook saved from nothing (one
        # read in the Strict namespaces) leaves out.
        self._unsaved: list[str] = []
        # What changed since the sheet was read (`quillfen.model.tracking`): marks, and the
        # snapshot taken when it was read (None for a sheet that was not).
        self._dirty: set[str] = set()
        self._baseline: dict[str, Any] | None = None

    @property
    def rows(self) -> Iterator[tuple[Any, ...]]:
        """Every row as a tuple of cells (`iter_rows()` with no bounds)."""
        return self.iter_rows()

    @property
    def values(self) -> Iterator[tuple[Any, ...]]:
        """Every row as a tuple of values."""
        return self.iter_rows(values_only=True)

    # ------------------------------------------------------------ ranges, rows and columns

    def iter_rows(self, min_row: int | None = None, max_row: int | None = None, min_col: int | None = None,
                  max_col: int | None = None, values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        raise NotImplementedError

    def _rect(self, min_row: int, max_row: int, min_col: int, max_col: int,
              values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        """Every row of the rectangle, each as wide as it."""
        raise NotImplementedError

    def _cell_at(self, row: int, column: int) -> Any:
        raise NotImplementedError

    def _column_batches(self, cells: int, options: FrameOptions) -> Iterator[Any]:
        """The sheet's values for the DataFrame builders, a batch at a time (`quillfen.frames`)."""
        raise NotImplementedError

    def _bounds(self) -> Bounds | None:
        """The extent: the sheet's cells, or for a read-only sheet the one its part declares."""
        raise NotImplementedError

    def _last_row_hint(self) -> int | None:
        """The last row the sheet is expected to reach, when known without reading its rows (the
        frame builders reserve room for the rows to come by it); a hint, never trusted."""
        return None

    def _cell_bounds(self) -> Bounds | None:
        raise NotImplementedError

    def __getitem__(self, key: str | int | slice) -> Any:
        """`ws["B3"]` is a cell; `ws["A1:C3"]` the rows of a range (a tuple of row tuples);
        `ws["B"]` a column and `ws["A:C"]` a tuple of columns, from row 1 to `max_row`;
        `ws[3]` (or `ws["3"]`) a row and `ws[2:5]` a tuple of rows, from column 1 to
        `max_column`. Ranges and slices include both ends."""
        min_col, min_row, max_col, max_row = _key_bounds(key)
        # A range has both ends of its rows, or neither, and the same for its columns.
        if min_row is None or max_row is None:
            columns = tuple(self.iter_cols(min_col, max_col, 1, self.max_row))
            return columns[0] if min_col == max_col else columns
        if min_col is None or max_col is None:
            rows = tuple(self._rect(min_row, max_row, 1, self.max_column))
            return rows[0] if min_row == max_row else rows
        if isinstance(key, str) and ":" not in key:
            return self._cell_at(min_row, min_col)
        return tuple(self._rect(min_row, max_row, min_col, max_col))

    def iter_cols(self, min_col: int | None = None, max_col: int | None = None, min_row: int | None = None,
                  max_row: int | None = None, values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        """Columns of cells (or values) within the bounds, each a tuple from `min_row` to
        `max_row` (by default row 1 to `max_row`, column 1 to `max_column`). The range's rows
        are read first and handed out column by column."""
        rows = tuple(self._rect(min_row or 1, max_row or self.max_row, min_col or 1,
                                max_col or self.max_column, values_only))
        return iter(zip(*rows)) if rows else iter(())

    @property
    def columns(self) -> Iterator[tuple[Any, ...]]:
        """Every column as a tuple of cells (`iter_cols()` with no bounds)."""
        return self.iter_cols()

    @property
    def min_row(self) -> int:
        """The first row of the sheet's extent (1 for a sheet without cells)."""
        return self._bound(0)

    @property
    def max_row(self) -> int:
        return self._bound(1)

    @property
    def min_column(self) -> int:
        return self._bound(2)

    @property
    def max_column(self) -> int:
        return self._bound(3)

    def _bound(self, index: int) -> int:
        bounds = self._bounds()
        return bounds[index] if bounds else 1

    @property
    def dimensions(self) -> str:
        """The sheet's extent as a range ("A1:F20"; "A1:A1" without cells)."""
        return _extent_ref(self._bounds())

    def calculate_dimension(self) -> str:
        """The extent of the cells the sheet holds, as a range (see `dimensions`)."""
        return _extent_ref(self._cell_bounds())

    def to_arrow(self, header: bool = True, columns: FrameColumns = None, batch_rows: int = 65536, *,
                 header_row: int | None = None, skip_rows: int = 0, nrows: int | None = None,
                 dtypes: Mapping[str, Any] | None = None, formulas: bool = False, skip_blank_rows: bool = False,
                 dictionary: bool = True) -> ArrowTable:
        """The sheet's values as a table that pyarrow, polars, DuckDB and pandas read through the
        Arrow PyCapsule protocol (`__arrow_c_stream__`), one typed column per sheet column, in
        record batches of at most `batch_rows` rows. See `quillfen.frames` for the types.

        The names come from the first row with a value (`header`), or from row `header_row`;
        `skip_rows` rows at the top are passed over; `columns` picks columns by letters ("B",
        "A:C", "A,C:E"), or a list of names, letters and 0-based indices (A is 0); `nrows` limits
        the rows; `dtypes` maps names to the type a column must have (int, float, bool,
        datetime, str, or their names such as "int64"). Formulas give their cached results
        (their text with `formulas`); rows without values between rows with values are rows of
        missing values unless `skip_blank_rows`. Text columns are dictionary-encoded where that
        takes at most half the bytes, unless `dictionary` is false."""
        from ..frames import FrameOptions, to_arrow
        options = FrameOptions(header, columns, header_row=header_row, skip_rows=skip_rows, nrows=nrows,
                               dtypes=dtypes, formulas=formulas, skip_blank_rows=skip_blank_rows)
        return to_arrow(self, options, batch_rows, dictionary)

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """The sheet's values as an Arrow C stream (a PyCapsule): `to_arrow()` with its defaults."""
        return self.to_arrow().__arrow_c_stream__(requested_schema)

    def __arrow_c_schema__(self) -> object:
        """The schema of `to_arrow()` as an Arrow C schema (a PyCapsule); reads the sheet."""
        return self.to_arrow().__arrow_c_schema__()

    def to_pandas(self, header: bool = True, columns: FrameColumns = None, *, header_row: int | None = None,
                  skip_rows: int = 0, nrows: int | None = None, dtypes: Mapping[str, Any] | None = None,
                  formulas: bool = False, skip_blank_rows: bool = False) -> pandas.DataFrame:
        """The sheet's values as a `pandas.DataFrame`, one typed column per sheet column (the
        options as for `to_arrow`). A column that mixes types keeps each value as it was read."""
        from ..frames import FrameOptions, to_pandas
        return to_pandas(self, FrameOptions(header, columns, header_row=header_row, skip_rows=skip_rows, nrows=nrows,
                                            dtypes=dtypes, formulas=formulas, skip_blank_rows=skip_blank_rows))

    def to_polars(self, header: bool = True, columns: FrameColumns = None, *, header_row: int | None = None,
                  skip_rows: int = 0, nrows: int | None = None, dtypes: Mapping[str, Any] | None = None,
                  formulas: bool = False, skip_blank_rows: bool = False) -> polars.DataFrame:
        """The sheet's values as a `polars.DataFrame`, through `to_arrow` (the options as there).
        A column that mixes types becomes text."""
        from ..frames import FrameOptions, to_polars
        frame: polars.DataFrame = to_polars(
            self, FrameOptions(header, columns, header_row=header_row, skip_rows=skip_rows, nrows=nrows,
                               dtypes=dtypes, formulas=formulas, skip_blank_rows=skip_blank_rows))
        return frame

    def prescan(self, want_rows: bool = False, corners: Iterable[tuple[int, int]] = ()) -> dict[str, Any]:
        """Facts about the sheet's part without loading its cells: the elements around the cell
        data, the formatted rows (with `want_rows`) and the style ids of the `corners` asked
        for, as (row, column) pairs. See `quillfen.reader.prescan`."""
        return self._read_source().prescan(want_rows, corners)

    def facts(self) -> SheetFacts:
        """The sheet's dimension, formatted rows, merged ranges and the style ids of the corner
        cells of those ranges, read with two prescans instead of a full load."""
        return self._read_source().facts()

    def _read_source(self) -> SheetSource:
        if self._source is None:
            raise ValueError("sheet %r was not read from a file" % self.title)
        return self._source


def _key_bounds(key: object) -> tuple[int | None, int | None, int | None, int | None]:
    """(min_col, min_row, max_col, max_row) of a `__getitem__` key."""
    if isinstance(key, slice):
        if key.step is not None or key.start is None or key.stop is None:
            raise IndexError("%r is not a valid coordinate or range" % (key,))
        key = "%s:%s" % (_index(key.start, _ROW_TYPE), _index(key.stop, _ROW_TYPE))
    elif not isinstance(key, str):
        key = str(_index(key, "a sheet is indexed by a coordinate, a range, a row number or a slice "
                              "of rows, not %s"))
    try:
        return range_boundaries(key)
    except ValueError:
        raise IndexError("%r is not a valid coordinate or range" % (key,)) from None


def _extent_ref(bounds: Bounds | None) -> str:
    if bounds is None:
        return "A1:A1"
    min_row, max_row, min_col, max_col = bounds
    return "%s:%s" % (coordinate_of(min_row, min_col), coordinate_of(max_row, max_col))


_ROW_TYPE = "a row number is an int, not %s"


def _index(value: object, refusal: str) -> int:
    """`value` as an int: an int, or an integer of another kind (numpy's) through __index__;
    never a bool, which would write row "True". TypeError `refusal` % the type's name else."""
    if type(value) is int:
        return value
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(refusal % type(value).__name__)
    return operator.index(cast(SupportsIndex, value))


def check_position(row: object, column: object) -> tuple[int, int]:
    """(row, column) as ints, when they are the position of a cell of a sheet."""
    if type(row) is not int or type(column) is not int:
        row, column = _index(row, _ROW_TYPE), _index(column, "a column number is an int, not %s")
    if row < 1 or column < 1:
        raise ValueError("Row or column values must be at least 1")
    if row > MAX_ROW or column > MAX_SHEET_COLUMN:
        raise ValueError("row %d, column %d is beyond the last cell of a sheet (row %d, column %d)"
                         % (row, column, MAX_ROW, MAX_SHEET_COLUMN))
    return row, column


class Worksheet(SheetBase):
    """An editable worksheet: every cell is kept, addressable by position.

    `_cells` maps (row, column) to `Cell`. A sheet loaded with the native engine holds a
    `CellStore`, which keeps loaded cells in compact form and makes each `Cell` when it is first
    accessed, as does a sheet made in memory once the engine appended a frame to it; otherwise
    it is a plain dict. Both behave the same for everything below.
    `row_dimensions` maps a row number to the settings of its `row` element, a mapping of
    attribute name -> text. `_links` and `_notes` map (row, column) to the hyperlink and the
    comment of cells that have one.
    """

    def __init__(self, workbook: Workbook[Any], title: str) -> None:
        super().__init__(workbook, title)
        # A dict, or the engine's CellStore, which behaves as one.
        self._cells: Any = {}
        self._hyperlinks: list[Any] = []
        self._links: dict[tuple[int, int], Any] = {}
        self._notes: dict[tuple[int, int], Any] = {}
        self._vml_id: str | None = None  # the relationship of the drawing that shows the comments
        # The last row with cells, kept up to date as cells are added, or None when it must be
        # found again (at first, and after a deletion): finding it reads every key of a dict.
        self._last_row: int | None = None

    def cell(self, row: int, column: int, value: Any = None) -> Cell:
        """The cell at (row, column), created empty when missing; `value` is assigned if given."""
        row, column = check_position(row, column)
        if value is None:
            return self._cell(row, column)
        with self._guard:
            cell = self._cell(row, column)
            cell.value = value
        return cell

    def _cell(self, row: int, column: int) -> Cell:
        """The cell at (row, column), made when missing: under the guard, so that threads
        asking for the same cell get the same one (and a cell there is found without it)."""
        key = (row, column)
        cell: Cell | None = self._cells.get(key)
        if cell is not None:
            return cell
        with self._guard:
            cell = self._cells.get(key)
            if cell is None:
                cell = self._cells[key] = Cell(self, row, column)
                if self._last_row is not None and row > self._last_row:
                    self._last_row = row
        return cell

    def _cell_at(self, row: int, column: int) -> Cell:
        return self.cell(row, column)

    def _rect(self, min_row: int, max_row: int, min_col: int, max_col: int,
              values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        return self._cells_by_row(min_col, min_row, max_col, max_row, values_only)

    def __setitem__(self, coordinate: str, value: Any) -> None:
        """`ws["B3"] = value` assigns the value of one cell."""
        row, column = check_position(*_one_cell(coordinate))
        with self._guard:  # not into a cell that another thread deletes meanwhile
            self._cell(row, column).value = value

    @mutating(CELLS)
    @guarded
    def __delitem__(self, coordinate: str) -> None:
        key = _one_cell(coordinate)
        del self._cells[key]
        self._links.pop(key, None)
        self._notes.pop(key, None)
        self._last_row = None

    def _last_row_hint(self) -> int | None:
        if getattr(self._cells, "_bounds", None) is None or self._cells._in_dict_mode():
            return None  # the extent is known only by walking every cell
        bounds = self._bounds()
        return bounds[1] if bounds else None

    @guarded
    def _bounds(self) -> Bounds | None:
        """(min_row, max_row, min_col, max_col) of the cells, or None when there are none."""
        bounds = getattr(self._cells, "_bounds", None)
        if bounds is not None:
            found: Bounds | None = bounds()
            if found is not None or not self._cells._in_dict_mode():
                return found
        if not self._cells:
            return None
        rows = [r for r, _ in self._cells]
        cols = [c for _, c in self._cells]
        return min(rows), max(rows), min(cols), max(cols)

    _cell_bounds = _bounds

    def _cells_by_row(self, min_col: int, min_row: int, max_col: int, max_row: int,
                      values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        rows_of = getattr(self._cells, "_rows", None)
        if rows_of is not None:
            try:
                rows: Iterator[tuple[Any, ...]] = rows_of(min_row, max_row, min_col, max_col, values_only, self._guard)
                return rows
            except (TypeError, OverflowError):
                pass  # bounds that are no machine integers fail as the rows are read, below
        return self._rows_one_by_one(min_col, min_row, max_col, max_row, values_only)

    def _rows_one_by_one(self, min_col: int, min_row: int, max_col: int, max_row: int,
                         values_only: bool) -> Iterator[tuple[Any, ...]]:
        row_of = getattr(self._cells, "_row", None)
        for row in range(min_row, max_row + 1):
            # A row at a time, never across the yield: the caller may change the sheet.
            with self._guard:
                if row_of is not None:
                    found = row_of(row, min_col, max_col, values_only)[0]
                else:
                    cells = tuple(self._cell(row, col) for col in range(min_col, max_col + 1))
                    found = tuple(c.value for c in cells) if values_only else cells
            yield found

    def _column_batches(self, cells: int, options: FrameOptions) -> Iterator[tuple[int, list[Any], int, int]
                                                                             | list[tuple[int, tuple[Any, ...]]]]:
        """The sheet's values for the DataFrame builders (`quillfen.frames`), a batch at a time,
        as `iter_rows(values_only=True)` holds them but read from the cells there are: a
        far-away cell costs no walk through (or creation of) the empty positions before it.

        The engine's store gives columns: (rows kept, [chunk or None per column from A], first
        and last row kept) as `RowReader.next_columns` makes them, about `cells` cells a batch,
        formula cells giving their cached results unless `options.formulas`; with a header, the
        first row with a value comes alone (the names must not take part in typing the values).
        Without the engine, or once cells were set after loading: lists of
        (row number, value row), each row ending at its last cell."""
        row = options.min_row
        columns_of = getattr(self._cells, "_columns", None)
        named = not options.header
        results = None if options.formulas else (self.parent.stylesheet.date_formats(), self._cached_result,
                                                 cached_value)
        while columns_of is not None and row:
            with self._guard:  # a batch at a time, as iter_rows takes a row
                got = columns_of(row, cells if named else 1, options.blank_rows, options.mixed, results)
            if got is NotImplemented:
                break
            row, height, columns, first, last = got
            named = named or height > 0
            yield height, columns, first, last
        if row:
            from ..frames import row_batches

            yield from row_batches(self._value_rows(row, options.formulas))

    def _value_rows(self, min_row: int, formulas: bool) -> Iterator[tuple[int, tuple[Any, ...]]]:
        """(row number, values) of the rows from `min_row` on that have cells, each up to its
        last cell: formula cells give their cached results unless `formulas`. The engine's
        store answers a row without making cell objects of its records (it fills the gaps
        within the row, as `iter_rows` does); only its formula cells are made, for their results."""
        with self._guard:
            positions = sorted(key for key in self._cells if _is_position(key) and key[0] >= min_row)
        row_of = getattr(self._cells, "_row", None)
        for row, group in groupby(positions, key=itemgetter(0)):
            keys = list(group)
            values: list[Any]
            if row_of is not None:
                values = list(row_of(row, 1, keys[-1][1], True)[0])
                for at, value in enumerate(values):
                    if not formulas and (type(value) is str and value[:1] == "=" or _is_formula_object(value)):
                        cell = self._cells.get((row, at + 1))
                        if cell is not None and cell.data_type == "f":
                            values[at] = cached_value(cell)
                yield row, tuple(values)
                continue
            values = [None] * keys[-1][1]
            for key in keys:
                cell = self._cells.get(key)  # gone since, if another thread deleted it
                if cell is not None:
                    values[key[1] - 1] = cell.value if formulas or cell.data_type != "f" else cached_value(cell)
            yield row, tuple(values)

    def _cached_result(self, loaded: Any, style: int | None) -> Any:
        """For the engine's store: the cached result of a formula cell kept as `loaded` (see
        `Cell._loaded`) in a cell of style id `style` (None: no style)."""
        cached = loaded[2] if isinstance(loaded, tuple) else None
        if not cached:
            return None
        return typed_result(cached, None if style is None else self.parent.stylesheet.format_code(style), self.parent)

    def iter_rows(self, min_row: int | None = None, max_row: int | None = None, min_col: int | None = None,
                  max_col: int | None = None, values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        """Rows of cells (or values) within the bounds; missing cells are created empty."""
        if not (max_col and max_row):
            bounds = self._bounds()  # once for both
            max_col = max_col or (bounds[3] if bounds else 1)
            max_row = max_row or (bounds[1] if bounds else 1)
        return self._cells_by_row(min_col or 1, min_row or 1, max_col, max_row, values_only)

    @mutating(CELLS)
    def append(self, iterable: Iterable[Any] | Mapping[str | int, Any]) -> None:
        """Adds a row of values (or of cells, whose value and style are copied) below the last
        row appended or with cells; an empty row is a row too. A dict places its values by
        column letter or number ({"A": 1, 3: 2}). None, NaN and pandas' NaT and NA are empty
        cells. Nothing is added when a value cannot be stored. The row is one step: threads
        appending to one sheet each get whole rows of their own."""
        # Read before the guard is taken: an iterator may wait on another thread's appends.
        values = row_values(iterable)
        with self._guard:
            self._append_lock_held(values)

    def _append_lock_held(self, values: list[Any] | tuple[Any, ...]) -> None:
        if self._last_row is None:
            self._last_row = self.max_row if self._cells else 0
        row = self._last_row + 1
        check_position(row, 1)
        cells = []
        for column, value in enumerate(values, 1):
            if isinstance(value, Cell):
                cell = Cell(self, row, column, value.value, value._style, value.data_type)
            else:
                # Not seen by other threads until stored: its value is set without the guard
                # that the value's setter takes.
                cell = Cell(self, row, column)
                assign(cell, value, appended=True)
            cells.append(cell)
        check_position(row, max(len(cells), 1))  # the row's last column
        for cell in cells:
            self._cells[(row, cell.column)] = cell
        # gh-19: an empty row takes its place too, as in a write-only sheet: the next row goes
        # below it.
        self._last_row = row

    @mutating(CELLS)
    @guarded
    def append_frame(self, data: Any, header: bool = True) -> None:
        """Adds the rows of a frame below the last row that has cells: a pandas DataFrame or
        anything with `__arrow_c_stream__` (polars, pyarrow, DuckDB), its column names first with
        `header`; missing values leave gaps, text stays text. On any error nothing of the frame
        is added. The frame is one step: rows other threads append go below or above it whole."""
        from ..frames import frame_rows, frame_source, text_cells

        source = frame_source(data)
        if self._last_row is None:
            self._last_row = self.max_row if self._cells else 0
        last = self._last_row
        try:
            if source is not None and self._append_natively(source, last, header):
                return
            for row in frame_rows(data, source, header):
                self.append(text_cells(self, row))
        except BaseException:
            self._drop_rows_below(last)
            raise

    def _append_natively(self, source: Any, last: int, header: bool) -> bool:
        """Whether the engine appended the frame `source` below row `last`. Cells kept in a
        plain dict (a sheet made in memory) go over to a new store of the engine's first, which
        the sheet keeps from then on as a loaded sheet does; the dict is left as it was when
        the engine declines the frame or fails."""
        from .._native import NativeFallback

        store = self._new_store() if type(self._cells) is dict else self._cells
        append_of = getattr(store, "_append_frame", None)
        if append_of is None:
            return False
        try:
            rows = append_of(source.__arrow_c_stream__(), last + 1, header, self._check_appended, self._date_style,
                             self._first_micros())
        except NativeFallback:
            self._drop_rows_below(last)
            return False
        self._cells = store
        self._last_row = last + rows
        return True

    def _new_store(self) -> Any:
        """The engine's store holding the cells of the sheet's dict (the same cell objects), or
        None without the engine."""
        from .._native import engine

        module = engine()
        if module is None:
            return None
        store = module.CellStore()
        store._start(self, self.parent._cell_styles, Cell)
        for key, cell in self._cells.items():
            store[key] = cell  # a key that is no pair of ints leaves the store a dict, which frames decline
        return store

    def _drop_rows_below(self, last: int) -> None:
        """Removes the cells below row `last` (a frame that failed), as appending left it."""
        for key in [key for key in self._cells if _is_position(key) and key[0] > last]:
            del self._cells[key]
        self._last_row = last

    def _check_appended(self, row: int, column: int, value: Any) -> None:
        """For the engine's frames: raises what appending `value` at (row, column) raises."""
        check_position(row, column)
        assign(Cell(self, row, column), value, appended=True)

    def _date_style(self, kind: str) -> int:
        """For the engine's frames: the style id that "datetime" or "date" values get."""
        wb = self.parent
        code = DEFAULT_DATE_FORMATS[datetime.datetime if kind == "datetime" else datetime.date]
        return wb.stylesheet.cell_styles.add(wb.stylesheet.formatted(None, code))

    def _first_micros(self) -> int:
        """For the engine's frames: the first moment the workbook's dates hold, in microseconds
        since 1970 (the least int64 when dates before it are saved as text)."""
        wb = self.parent
        if getattr(wb, "iso_dates", False) or not isinstance(wb.epoch, datetime.datetime):
            return -2**63
        return (first_day(wb.epoch) - _UNIX_EPOCH) // datetime.timedelta(microseconds=1)

    def cells(self) -> Iterator[Cell]:
        """Every cell present, in row and then column order (those present when it started
        and still there when their turn comes)."""
        with self._guard:
            keys = sorted(self._cells)
        for key in keys:
            cell = self._cells.get(key)
            if cell is not None:
                yield cell

    # ------------------------------------------------------------ structural edits

    @book_guarded
    def insert_rows(self, idx: int, amount: int = 1) -> None:
        """Inserts `amount` empty rows before row `idx`. The rows from `idx` on move down, and
        what refers to cells follows, in every sheet of the workbook: formulas, defined names,
        merged ranges, the auto filter, hyperlinks, comments, row settings, conditional formats
        and validations. ValueError when cells would be pushed off the sheet."""
        edit_lines(self, idx, amount, rows=True, deleted=False)

    @book_guarded
    def delete_rows(self, idx: int, amount: int = 1) -> None:
        """Deletes `amount` rows from row `idx` on; the rows below move up. References to the
        deleted cells become "#REF!", ranges that lose some of their rows shrink (see
        `insert_rows` for what follows)."""
        edit_lines(self, idx, amount, rows=True, deleted=True)

    @book_guarded
    def insert_cols(self, idx: int | str, amount: int = 1) -> None:
        """Inserts `amount` empty columns before column `idx` (a number or letters such as
        "C"); see `insert_rows`."""
        edit_lines(self, idx, amount, rows=False, deleted=False)

    @book_guarded
    def delete_cols(self, idx: int | str, amount: int = 1) -> None:
        """Deletes `amount` columns from column `idx` (a number or letters) on; see
        `delete_rows`."""
        edit_lines(self, idx, amount, rows=False, deleted=True)

    @book_guarded
    def move_range(self, cell_range: str, rows: int = 0, cols: int = 0, translate: bool = False) -> None:
        """Moves the cells of `cell_range` ("A1:C3") `rows` down and `cols` right (negative:
        up and left), replacing the cells where they land. References to cells of the range
        follow it, from every sheet, as when cells are dragged in a spreadsheet program; with
        `translate`, the moved formulas' own relative references shift by the same offset
        (those shifted off the sheet become "#REF!")."""
        move_range(self, cell_range, rows, cols, translate)

    @guarded
    def _edit_formulas(self, edit: Callable[[str], str]) -> None:
        """Applies `edit` to the text of every formula of the sheet: its cells' (found by value,
        without making cell objects of the others), its hyperlinks' places in the workbook,
        those of the elements kept as read and those of its report features (charts, data
        validations, conditional formats); what changes is marked changed."""
        cells = self._cells
        row_of = getattr(cells, "_row", None)
        positions = sorted(key for key in cells if _is_position(key))
        for row, group in groupby(positions, key=itemgetter(0)):
            keys = list(group)
            found = row_of(row, 1, keys[-1][1], True)[0] if row_of is not None else None
            for key in keys:
                value = found[key[1] - 1] if found is not None else cells[key].value
                if isinstance(value, str) and value.startswith("=") or isinstance(value, ArrayFormula):
                    _edit_cell_formula(cells[key], edit)
        self._edit_link_locations(edit)
        self._edit_kept_formulas(edit)
        self._edit_report_formulas(edit)

    def _edit_link_locations(self, edit: Callable[[str], str]) -> None:
        """A hyperlink to a place in the workbook ("Sheet2!A1") follows its sheet and cells."""
        for link in self._links.values():
            location = link.location
            if location:
                new = edit(location)
                if new != location:
                    link.location = new


def _one_cell(coordinate: object) -> tuple[int, int]:
    """(row, column) of the coordinate of one cell ("B3"), for assigning or deleting it."""
    if not isinstance(coordinate, str):
        raise TypeError("a cell is assigned or deleted by its coordinate, such as 'B3', not %s"
                        % type(coordinate).__name__)
    try:
        return coordinate_to_tuple(coordinate)
    except ValueError:
        raise ValueError("%r is not the coordinate of one cell, such as 'B3'" % (coordinate,)) from None


def _edit_cell_formula(cell: Cell, edit: Callable[[str], str]) -> None:
    """A formula rewritten by `edit` is assigned anew; of what the cell was read with, only
    the result of the old text goes (as when a structural edit rewrites it)."""
    if cell.data_type != "f":
        return  # text that starts with "="
    value, loaded = cell.value, cell._loaded
    if isinstance(value, ArrayFormula):
        text = edit(value.text or "")
        if text == (value.text or ""):
            return
        cell.value = ArrayFormula(value.ref, text)
    elif isinstance(value, str):
        text = edit(value)
        if text == value:
            return
        cell.value = text
    else:
        return
    cell._loaded = without_cached(loaded)


def row_values(values: Iterable[Any] | Mapping[str | int, Any]) -> list[Any] | tuple[Any, ...]:
    """The values of an appended row in column order, read whole (a list or tuple is given
    back as it is): a mapping's placed by its keys, column letters ("B", case aside) or numbers
    (2), with None in the columns it leaves out."""
    kind = type(values)
    if kind is list or kind is tuple:
        return cast("list[Any] | tuple[Any, ...]", values)
    if not isinstance(values, Mapping):  # PERF NOTE: the ABC check is slow: exact lists and tuples skip it
        return list(values)
    placed: dict[int, Any] = {}
    for key, value in values.items():
        if isinstance(key, str):
            column = column_index(key)
        elif isinstance(key, int) and not isinstance(key, bool):
            column = key
        else:
            raise TypeError("an appended row's keys are column letters or numbers, not %s" % type(key).__name__)
        if not 1 <= column <= MAX_SHEET_COLUMN:
            raise ValueError("an appended row has no column %r (A to XFD, 1 to %d)" % (key, MAX_SHEET_COLUMN))
        if column in placed:
            raise ValueError("an appended row gives column %s twice" % column_letter(column))
        placed[column] = value
    row = [None] * max(placed, default=0)
    for column, value in placed.items():
        row[column - 1] = value
    return row


def _is_formula_object(value: Any) -> bool:
    return isinstance(value, (ArrayFormula, DataTableFormula))


def _is_position(key: object) -> bool:
    """Whether a key of a sheet's cells is a (row, column) that rows from 1 and A can show."""
    return (type(key) is tuple and len(key) == 2 and type(key[0]) is int and type(key[1]) is int
            and key[0] >= 1 and key[1] >= 1)
