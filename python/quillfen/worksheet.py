"""Worksheets: the streaming read-only sheet and the editable sheet that holds every cell."""

import warnings
import xml.etree.ElementTree as ET

from ._native import NativeFallback, engine
from .cell import EMPTY_CELL, Cell, ReadOnlyCell
from .reader.helpers import parse_snippet
from .reader.sheet import ABSENT, MAIN_NS, ReaderSettings, WorksheetParser
from .utils.cells import coordinate_of, coordinate_to_tuple


class SheetReadOptions:
    """What the sheet readers (native and pure Python) are told about the workbook and mode."""

    def __init__(self, workbook, data_only, rich_text, formula_and_value=False):
        self.epoch = workbook.epoch
        self.shared_strings = workbook.shared_strings
        self.data_only = data_only
        self.rich_text = rich_text
        self.formula_and_value = formula_and_value
        self.date_formats = workbook.stylesheet.date_formats()
        self.timedelta_formats = workbook.stylesheet.timedelta_formats()
        self.row_dimensions = {}


class _Replayed:
    """How many rows, elements and warnings of a sheet the caller has already been given.

    When the native reader gives up part-way, the pure-Python reader starts the sheet again:
    these counts let it pass over what was already delivered, so that nothing is seen twice.
    Both readers deliver each kind in document order, so counting is enough (row numbers are
    not: they may repeat or go backwards)."""

    __slots__ = ("rows", "elements", "warnings")

    def __init__(self):
        self.rows = self.elements = self.warnings = 0


def replay_actions(worksheet, actions, seen=None, skip=None, stacklevel=3):
    """Applies what the readers handed back, in document order: elements and warnings.

    `seen` counts what is applied; actions still counted in `skip` are passed over instead."""
    for action in actions:
        kind = "elements" if action[0] == "element" else "warnings"
        if skip is not None and getattr(skip, kind):
            setattr(skip, kind, getattr(skip, kind) - 1)
            continue
        if seen is not None:
            setattr(seen, kind, getattr(seen, kind) + 1)
        if action[0] == "warn":
            message = action[1]
            if isinstance(message, Warning):
                warnings.warn(message, stacklevel=stacklevel)
            else:
                warnings.warn(str(message), UserWarning, stacklevel=stacklevel)
        elif action[0] == "element":
            worksheet._apply_element(action[1], action[2])
    actions.clear()


class _SheetBase:
    def __init__(self, workbook, title, part):
        self.parent = workbook
        self.title = title
        self._part = part
        self.merged_cells = []
        self.dimension_ref = None

    def __repr__(self):
        return "<%s %r>" % (type(self).__name__, self.title)

    def _apply_element(self, snippet, namespaces):
        element = parse_snippet(snippet, namespaces)
        if element.tag == "{%s}mergeCells" % MAIN_NS:
            self.merged_cells = [m.get("ref") for m in element.iter("{%s}mergeCell" % MAIN_NS) if m.get("ref")]
        elif element.tag == "{%s}dimension" % MAIN_NS:
            self.dimension_ref = element.get("ref")

    def _stream(self, options, helpers, skip=None, stacklevel=3):
        """Yields (row index, [CellRecord]) from the pure-Python reader, replaying its actions.

        With `skip`, the rows, elements and warnings it counts are read but not delivered.
        `stacklevel` is that of the warnings, counted from this generator."""
        actions = []
        with self.parent._package.open(self._part) as source:
            parser = WorksheetParser(source, ReaderSettings.from_parser(options), helpers, actions,
                                     options.row_dimensions)
            for item in parser:
                if item[0] == "element":
                    actions.append(item)
                replay_actions(self, actions, skip=skip, stacklevel=stacklevel)
                if item[0] == "row":
                    if skip is not None and skip.rows:
                        skip.rows -= 1
                        continue
                    yield item[1], item[2]
        replay_actions(self, actions, skip=skip, stacklevel=stacklevel)


class ReadOnlyWorksheet(_SheetBase):
    """A worksheet read row by row as it is iterated; nothing is kept between iterations."""

    def iter_rows(self, min_row=None, max_row=None, min_col=None, max_col=None, values_only=False):
        """Rows as tuples of cells (or of values), from `min_col` to `max_col`.

        Without `max_col` a row ends at its last cell. Cells missing inside the bounds are
        `EMPTY_CELL` (None with `values_only`). Rows missing from the part are not produced.
        """
        min_col = min_col or 1
        filler = None if values_only else EMPTY_CELL
        options = SheetReadOptions(self.parent, self.parent.data_only, self.parent.rich_text)
        helpers = self.parent.helpers
        seen = _Replayed()
        native = engine()
        if native is not None:
            try:
                with self.parent._package.open(self._part) as source:
                    reader = native.RowReader(source, options, helpers)
                    while True:
                        got = reader.next_row(self, min_col, max_col, values_only, ReadOnlyCell, filler)
                        replay_actions(self, reader.actions, seen)
                        if got is None:
                            return
                        seen.rows += 1
                        idx, row = got
                        if (min_row is None or idx >= min_row) and (max_row is None or idx <= max_row):
                            yield row
            except NativeFallback:
                pass  # the pure-Python reader takes over after what was delivered
        # Warnings point at the code iterating, as they do from the native loop above.
        for idx, cells in self._stream(options, helpers, skip=seen, stacklevel=4):
            if min_row is not None and idx < min_row:
                continue
            if max_row is not None and idx > max_row:
                continue
            yield self._shape_row(cells, min_col, max_col, values_only, filler, options)

    def _shape_row(self, cells, min_col, max_col, values_only, filler, options):
        if not cells and not max_col:
            return ()
        upper = max_col or cells[-1].column
        row = [filler] * max(upper - min_col + 1, 0)
        for rec in cells:
            if min_col <= rec.column <= upper:
                row[rec.column - min_col] = rec.value if values_only else self._make_cell(rec, options)
        return tuple(row)

    def _make_cell(self, rec, options):
        cell = ReadOnlyCell.__new__(ReadOnlyCell)
        cell.parent = self
        cell.row = rec.row
        cell.column = rec.column
        cell._value = rec.value
        cell.data_type = rec.data_type
        cell._style_id = rec.style_id
        if options.formula_and_value:
            if rec.is_formula:
                cell.formula = rec.value
            else:
                cell.formula = None if rec.formula is ABSENT else rec.formula
            cell.cached_value = rec.value if rec.cached is ABSENT else rec.cached
        return cell

    @property
    def rows(self):
        return self.iter_rows()

    @property
    def values(self):
        return self.iter_rows(values_only=True)

    def cells(self):
        """Every cell present in the part, in row and then column order."""
        for row in self.iter_rows():
            for cell in row:
                if cell is not EMPTY_CELL:
                    yield cell


class Worksheet(_SheetBase):
    """An editable worksheet: every cell is loaded and kept, addressable by position."""

    def __init__(self, workbook, title, part):
        super().__init__(workbook, title, part)
        self._cells = {}
        self.row_dimensions = {}

    def _load(self):
        options = SheetReadOptions(self.parent, self.parent.data_only, self.parent.rich_text)
        styles = self.parent.stylesheet.cell_styles
        for _idx, records in self._stream(options, self.parent.helpers):
            for rec in records:
                style = rec.style_id
                style_array = styles[style] if isinstance(style, int) and 0 <= style < len(styles) else None
                cell = Cell(self, rec.row, rec.column, rec.value,
                            style_array.__copy__() if style_array is not None else None, rec.data_type)
                self._cells[(rec.row, rec.column)] = cell
        self.row_dimensions = options.row_dimensions

    def cell(self, row, column, value=None):
        key = (row, column)
        cell = self._cells.get(key)
        if cell is None:
            cell = self._cells[key] = Cell(self, row, column)
        if value is not None:
            cell.value = value
        return cell

    def __getitem__(self, coordinate):
        row, column = coordinate_to_tuple(coordinate)
        return self.cell(row, column)

    @property
    def max_row(self):
        return max((r for r, _ in self._cells), default=1)

    @property
    def max_column(self):
        return max((c for _, c in self._cells), default=1)

    def iter_rows(self, min_row=None, max_row=None, min_col=None, max_col=None, values_only=False):
        for row in range(min_row or 1, (max_row or self.max_row) + 1):
            cells = tuple(self.cell(row, col) for col in range(min_col or 1, (max_col or self.max_column) + 1))
            yield tuple(c.value for c in cells) if values_only else cells

    def cells(self):
        """Every cell present, in row and then column order."""
        return (self._cells[key] for key in sorted(self._cells))

    def dimensions(self):
        if not self._cells:
            return "A1:A1"
        rows = [r for r, _ in self._cells]
        cols = [c for _, c in self._cells]
        return "%s:%s" % (coordinate_of(min(rows), min(cols)), coordinate_of(max(rows), max(cols)))
