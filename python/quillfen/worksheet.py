"""Worksheets of the model: what every sheet has, and the editable sheet that holds every cell.

A sheet exists without a file. The reader (`quillfen.reader`) fills one from a file and the
writer (`quillfen.writer`) saves it; the read-only and write-only sheets live with them.
"""

from .cell import Cell
from .constants import MAX_ROW, MAX_SHEET_COLUMN
from .utils.cells import coordinate_of, coordinate_to_tuple


class SheetBase:
    """A sheet's title, workbook and the worksheet settings read from a file."""

    def __init__(self, workbook, title):
        self.parent = workbook
        self._title = title
        self.sheet_state = "visible"
        self.merged_cells = []
        self.dimension_ref = None
        self._part = None     # the part it was read from, if it was
        self._kept = {}       # local name -> element read from the file and written back
        self._unsaved = []    # local names of elements read from the file that are not written

    @property
    def title(self):
        return self._title

    @title.setter
    def title(self, title):
        self.parent._check_title(title, self)
        self._title = title

    def __repr__(self):
        return "<%s %r>" % (type(self).__name__, self.title)

    @property
    def rows(self):
        """Every row as a tuple of cells (`iter_rows()` with no bounds)."""
        return self.iter_rows()

    @property
    def values(self):
        """Every row as a tuple of values."""
        return self.iter_rows(values_only=True)

    def prescan(self, want_rows=False, corners=()):
        """Facts about the sheet's part without loading its cells: the elements around the cell
        data, the formatted rows (with `want_rows`) and the style ids of the `corners` asked
        for, as (row, column) pairs. See `quillfen.reader.prescan`."""
        from .reader.worksheet import prescan_part
        return prescan_part(self, want_rows, corners)

    def facts(self):
        """The sheet's dimension, formatted rows, merged ranges and the style ids of the corner
        cells of those ranges, read with two prescans instead of a full load."""
        from .reader.worksheet import sheet_facts
        return sheet_facts(self)


def check_position(row, column):
    if not (isinstance(row, int) and isinstance(column, int)):
        raise TypeError("row and column are ints, not %s and %s" % (type(row).__name__, type(column).__name__))
    if row < 1 or column < 1:
        raise ValueError("Row or column values must be at least 1")
    if row > MAX_ROW or column > MAX_SHEET_COLUMN:
        raise ValueError("row %d, column %d is beyond the last cell of a sheet (row %d, column %d)"
                         % (row, column, MAX_ROW, MAX_SHEET_COLUMN))


class Worksheet(SheetBase):
    """An editable worksheet: every cell is kept, addressable by position.

    `_cells` maps (row, column) to `Cell`. A sheet loaded with the native engine holds a
    `CellStore`, which keeps loaded cells in compact form and makes each `Cell` when it is first
    accessed; otherwise it is a plain dict. Both behave the same for everything below.
    `row_dimensions` maps a row number to the attributes of its `row` element (name -> text).
    """

    def __init__(self, workbook, title):
        super().__init__(workbook, title)
        self._cells = {}
        self._hyperlinks = []
        self.row_dimensions = {}
        # The last row with cells, kept up to date as cells are added, or None when it must be
        # found again (at first, and after a deletion): finding it reads every key of a dict.
        self._last_row = None

    def cell(self, row, column, value=None):
        """The cell at (row, column), created empty when missing; `value` is assigned if given."""
        check_position(row, column)
        cell = self._cell(row, column)
        if value is not None:
            cell.value = value
        return cell

    def _cell(self, row, column):
        key = (row, column)
        cell = self._cells.get(key)
        if cell is None:
            cell = self._cells[key] = Cell(self, row, column)
            if self._last_row is not None and row > self._last_row:
                self._last_row = row
        return cell

    def __getitem__(self, coordinate):
        row, column = coordinate_to_tuple(coordinate)
        return self.cell(row, column)

    def __setitem__(self, coordinate, value):
        self[coordinate].value = value

    def __delitem__(self, coordinate):
        del self._cells[coordinate_to_tuple(coordinate)]
        self._last_row = None

    def _bounds(self):
        """(min_row, max_row, min_col, max_col) of the cells, or None when there are none."""
        bounds = getattr(self._cells, "_bounds", None)
        if bounds is not None and not self._cells._in_dict_mode():
            return bounds()
        if not self._cells:
            return None
        rows = [r for r, _ in self._cells]
        cols = [c for _, c in self._cells]
        return min(rows), max(rows), min(cols), max(cols)

    def _bound(self, index):
        bounds = self._bounds()
        return bounds[index] if bounds else 1

    @property
    def min_row(self):
        return self._bound(0)

    @property
    def max_row(self):
        return self._bound(1)

    @property
    def min_column(self):
        return self._bound(2)

    @property
    def max_column(self):
        return self._bound(3)

    def _cells_by_row(self, min_col, min_row, max_col, max_row, values_only=False):
        row_of = getattr(self._cells, "_row", None)
        for row in range(min_row, max_row + 1):
            if row_of is not None:
                yield row_of(row, min_col, max_col, values_only)[0]
                continue
            cells = tuple(self._cell(row, col) for col in range(min_col, max_col + 1))
            yield tuple(c.value for c in cells) if values_only else cells

    def iter_rows(self, min_row=None, max_row=None, min_col=None, max_col=None, values_only=False):
        """Rows of cells (or values) within the bounds; missing cells are created empty."""
        return self._cells_by_row(min_col or 1, min_row or 1, max_col or self.max_column,
                                  max_row or self.max_row, values_only)

    def append(self, iterable):
        """Adds a row of values (or of cells, whose value and style are copied) below the last
        row that has cells. Nothing is added when a value cannot be stored."""
        if self._last_row is None:
            self._last_row = self.max_row if self._cells else 0
        row = self._last_row + 1
        check_position(row, 1)
        cells = []
        for column, value in enumerate(iterable, 1):
            if isinstance(value, Cell):
                cell = Cell(self, row, column, value.value, value._style, value.data_type)
            else:
                cell = Cell(self, row, column)
                cell.value = value
            cells.append(cell)
        check_position(row, max(len(cells), 1))  # the row's last column
        for cell in cells:
            self._cells[(row, cell.column)] = cell
        if cells:
            self._last_row = row

    def cells(self):
        """Every cell present, in row and then column order."""
        return (self._cells[key] for key in sorted(self._cells))

    def dimensions(self):
        bounds = self._bounds()
        if bounds is None:
            return "A1:A1"
        return "%s:%s" % (coordinate_of(bounds[0], bounds[2]), coordinate_of(bounds[1], bounds[3]))
