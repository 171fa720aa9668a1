"""Write-only worksheets: rows are written out as they are appended, into a temporary file of
their own, and the part is put together around them when the workbook is saved. Memory use
does not grow with the number of rows."""

import datetime
import shutil
import tempfile
from collections.abc import Iterable, Mapping
from typing import IO, Any, NoReturn, cast

from ..model.cell import Cell, assign
from ..constants import MAX_ROW, MAX_SHEET_COLUMN
from ..model.features import Hyperlink
from ..model.guard import guarded
from ..utils.cells import coordinate_of
from ..model.worksheet import SheetBase, row_values
from .sheet_data import date_value_raw, sheet_writer
from .worksheet import head_and_tail, text_writer
from .xml import use_lxml

__all__ = ["WriteOnlyWorksheet"]

# The size from which a zip entry needs the large-entry extension (2 GiB), less what the rest
# of the part adds to the rows.
_LARGE = (1 << 31) - (1 << 20)
# Types of values that are never cells, told apart faster than by isinstance.
_PLAIN = frozenset((int, float, str, bool, type(None), datetime.datetime, datetime.date))


class WriteOnlyWorksheet(SheetBase):
    """A sheet of a write-only workbook: `append` adds rows; its cells cannot be read back."""

    def __init__(self, workbook: Any, title: str) -> None:
        super().__init__(workbook, title)
        # What the sheet writers read from any worksheet.
        self._cells: dict[tuple[int, int], Cell] = {}
        self._hyperlinks: list[Any] = []
        # A plain mapping: nothing sets rows of a write-only sheet apart.
        self.row_dimensions = {}  # type: ignore[assignment]
        self._rows: IO[bytes] | None = None  # the temporary file of the rows written so far
        self._writer: Any = None
        self._failed: str | None = None     # what stopped a row half-way: the sheet cannot be saved
        self._max_row = 0
        self._max_column = 0
        self._scratch: list[Cell] = []  # cells reused for the plain values of each row

    def append(self, iterable: Iterable[Any] | Mapping[str | int, Any]) -> None:
        """Writes a row of values or cells (`quillfen.WriteOnlyCell`) below the last one; a
        dict places its values by column letter or number. None, NaN and pandas' NaT and NA
        are empty cells. Nothing is written when a value cannot be stored. The row is one
        step: threads appending to one sheet each get whole rows of their own."""
        # Read before the guard is taken: an iterator may wait on another thread's appends.
        values = row_values(iterable)
        with self._guard:
            self._append_lock_held(values)

    def _append_lock_held(self, values: list[Any] | tuple[Any, ...]) -> None:
        wb = self.parent
        if wb._saved:
            raise ValueError("sheet %r belongs to a saved write-only workbook: no rows can be added" % self.title)
        if self._failed is not None:
            raise ValueError("sheet %r could not write a row: %s" % (self.title, self._failed))
        row = self._max_row + 1
        if row > MAX_ROW:
            raise ValueError("sheet %r is full: a sheet has at most %d rows" % (self.title, MAX_ROW))
        cells = self._cells_of(values, row)
        if self._writer is None:
            self._start()
        try:
            self._writer.write_row(cells, row)
        except BaseException as exc:
            self._failed = "%s: %s" % (type(exc).__name__, exc)
            raise
        self._max_row = row
        self._max_column = max(self._max_column, len(cells))

    @guarded
    def append_frame(self, data: Any, header: bool = True) -> None:
        """Writes the rows of a frame below the last row: a pandas DataFrame or anything with
        `__arrow_c_stream__` (polars, pyarrow, DuckDB), its column names first with `header`.
        The engine reads the frame's buffers and writes the cells itself; on any error nothing
        of the frame is written. The frame is one step: rows other threads append go below or
        above it whole. See `quillfen.frames`."""
        from .._native import NativeFallback, engine
        from ..frames import frame_rows, frame_source, text_cells

        if self.parent._saved:
            raise ValueError("sheet %r belongs to a saved write-only workbook: no rows can be added" % self.title)
        if self._failed is not None:
            raise ValueError("sheet %r could not write a row: %s" % (self.title, self._failed))
        source = frame_source(data)
        if self._writer is None:
            self._start()
        rows_file = cast(IO[bytes], self._rows)
        self._writer.flush()
        start, kept = rows_file.tell(), (self._max_row, self._max_column)
        try:
            module = engine()
            if source is not None and module is not None:
                try:
                    rows, width = self._writer.write_frame(source.__arrow_c_stream__(), self._max_row + 1, header,
                                                           self._date_style)
                    self._max_row += rows
                    self._max_column = max(self._max_column, width)
                    return
                except NativeFallback:
                    pass
            for row in frame_rows(data, source, header):
                self.append(text_cells(self, row))
        except BaseException:
            # What reached the rows' file is cut off again: the sheet is as it was.
            self._writer.flush()
            rows_file.seek(start)
            rows_file.truncate()
            self._max_row, self._max_column = kept
            self._failed = None
            raise

    def _date_style(self, kind: str) -> str:
        """The style id text of a frame's date-time ("datetime") or date ("date") cells: the
        style a cell of such a value takes, registered as a written cell's is."""
        cell = Cell(self, 1, 1)
        cell.value = datetime.datetime(2000, 1, 1) if kind == "datetime" else datetime.date(2000, 1, 1)
        styles: Any = self.parent._cell_styles
        return str(styles.add(cell._style))

    def _cells_of(self, values: list[Any] | tuple[Any, ...], row: int) -> list[Cell]:
        """The cells of row `row`, each value checked. Plain values go into cells kept from one
        row to the next (one per column): the writer is done with a row before `append`
        returns, and a million rows then make no million cells."""
        if len(values) > MAX_SHEET_COLUMN:
            raise ValueError("row %d of sheet %r has more than %d values" % (row, self.title, MAX_SHEET_COLUMN))
        scratch = self._scratch
        while len(scratch) < len(values):
            scratch.append(Cell(self, row, len(scratch) + 1))
        cells = scratch[:len(values)]
        for index, value in enumerate(values):
            if type(value) not in _PLAIN and isinstance(value, Cell):
                if value.parent is self and value.row != row:  # a WriteOnlyCell takes its place
                    value.row, value.column = row, index + 1
                    if value._hyperlink is not None:  # made before the cell had a place
                        value._hyperlink = Hyperlink.of(value._hyperlink, coordinate_of(row, index + 1))
                else:  # a cell placed elsewhere stays there: its value and style are copied
                    value = Cell(self, row, index + 1, value._value, value._style, value.data_type)
                cells[index] = value
                continue
            cell = cells[index]
            cell.row = row
            cell._style = None
            assign(cell, value, appended=True)
            if cell.data_type == "d":
                # PERF NOTE: the writer's own answer to how a date is written, asked for here:
                # a serial number is then written as a plain number, without a call back.
                is_text, written = date_value_raw(self, cell._value)
                if not is_text:
                    cell.data_type, cell._value = "n", written
        return cells

    def _start(self) -> None:
        wb = self.parent
        if wb._lxml is None:
            wb._lxml = use_lxml()
        self._rows = tempfile.TemporaryFile(prefix="quillfen-")
        self._writer = sheet_writer(self, text_writer(self._rows, wb._lxml), wb._lxml)

    def _refuse(self, *_args: Any, **_kwargs: Any) -> NoReturn:
        raise TypeError("sheet %r is write-only: its cells cannot be read or addressed; "
                        "add rows with append()" % self.title)

    # Everything that reads or addresses cells comes through these.
    cell = __getitem__ = __setitem__ = __delitem__ = iter_rows = _rect = _cell_at = _column_batches = _refuse

    def _bounds(self) -> tuple[int, int, int, int] | None:
        """The rows written so far, from column A to the longest row's last."""
        return (1, self._max_row, 1, max(self._max_column, 1)) if self._max_row else None

    _cell_bounds = _bounds

    def _large(self) -> bool:
        if self._rows is None:
            return False
        self._writer.flush()
        return self._rows.seek(0, 2) > _LARGE

    def _write_part(self, out: IO[bytes], selected: bool, lxml: bool, plan: Any = None) -> None:
        """Writes the whole part to the binary stream `out`: the rows written so far, with the
        elements around them (`plan`: its hyperlinks and comments, `writer.features`)."""
        if self._failed is not None:
            raise ValueError("sheet %r could not write a row (%s): its rows are incomplete"
                             % (self.title, self._failed))
        head, tail = head_and_tail(self, self.dimensions, selected, lxml, plan)
        out.write(head + b"<sheetData>")
        if self._rows is not None:
            self._writer.flush()
            self._rows.seek(0)
            shutil.copyfileobj(self._rows, out, 1 << 20)
        out.write(b"</sheetData>" + tail)

    def _release(self) -> None:
        if self._rows is not None:
            self._rows.close()
