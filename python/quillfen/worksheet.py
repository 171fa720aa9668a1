"""Worksheets: the streaming read-only sheet and the editable sheet that holds every cell."""

import warnings
from array import array
from typing import NamedTuple

from ._native import NativeFallback, engine
from .cell import EMPTY_CELL, Cell, ReadOnlyCell
from .reader.helpers import parse_snippet
from .reader.prescan import prescan
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


class SheetFacts(NamedTuple):
    """What a prescan tells about a sheet without loading its cells."""

    dimension: object       # the `dimension` element's ref, or None
    formatted_rows: list    # numbers of the rows that carry formatting (height, style, hidden...)
    merged_cells: list      # merged range refs, in document order
    corner_styles: dict     # merged ref -> [(corner coordinate, style id text or None)]


def _corners_of(ref):
    """The distinct corner cells of a range ref ("A1:B2" or "A1") as (row, column), or []."""
    try:
        first, _, last = ref.partition(":")
        top, left = coordinate_to_tuple(first)
        bottom, right = coordinate_to_tuple(last) if last else (top, left)
    except ValueError:
        return []
    corners = []
    for corner in ((top, left), (top, right), (bottom, left), (bottom, right)):
        if corner not in corners:
            corners.append(corner)
    return corners


class _SheetBase:
    def __init__(self, workbook, title, part):
        self.parent = workbook
        self.title = title
        self._part = part
        self.merged_cells = []
        self.dimension_ref = None

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

    def _apply_element(self, snippet, namespaces):
        element = parse_snippet(snippet, namespaces)
        if element.tag == "{%s}mergeCells" % MAIN_NS:
            self.merged_cells = [m.get("ref") for m in element.iter("{%s}mergeCell" % MAIN_NS) if m.get("ref")]
        elif element.tag == "{%s}dimension" % MAIN_NS:
            self.dimension_ref = element.get("ref")

    def prescan(self, want_rows=False, corners=()):
        """Facts about the sheet's part without loading its cells: the elements around the cell
        data, the formatted rows (with `want_rows`) and the style ids of the `corners` asked
        for, as (row, column) pairs. See `quillfen.reader.prescan`."""
        package = self.parent._package
        return prescan(lambda: package.open(self._part), want_rows, corners, self.parent.helpers)

    def facts(self):
        """The sheet's dimension, formatted rows, merged ranges and the style ids of the corner
        cells of those ranges, read with two prescans instead of a full load."""
        found = self.prescan(want_rows=True)
        dimension, merged = None, []
        # As when a sheet is loaded: the last of each element counts.
        for snippet, namespaces in found["head"] + found["tail"]:
            element = parse_snippet(snippet, namespaces)
            if element.tag == "{%s}dimension" % MAIN_NS:
                dimension = element.get("ref")
            elif element.tag == "{%s}mergeCells" % MAIN_NS:
                merged = [m.get("ref") for m in element.iter("{%s}mergeCell" % MAIN_NS) if m.get("ref")]
        formatted = sorted({number for number, _attrs in found["rows"]})
        corners = {ref: _corners_of(ref) for ref in merged}
        wanted = [corner for cells in corners.values() for corner in cells]
        styles = self.prescan(corners=wanted)["corners"] if wanted else {}
        corner_styles = {ref: [(coordinate_of(*corner), styles[corner]) for corner in cells]
                         for ref, cells in corners.items()}
        return SheetFacts(dimension, formatted, merged, corner_styles)

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
                    # The reader keeps appending to this one list; most rows leave it empty.
                    actions = reader.actions
                    next_row = reader.next_row
                    while True:
                        got = next_row(self, min_col, max_col, values_only, ReadOnlyCell, filler)
                        if actions:
                            replay_actions(self, actions, seen)
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

    def cells(self):
        """Every cell present in the part, in row and then column order."""
        for row in self.iter_rows():
            for cell in row:
                if cell is not EMPTY_CELL:
                    yield cell


class _CellStyles:
    """The workbook's style arrays as the engine indexes them, by int style id.

    A style id outside the list (some producers write ids their styles part does not list) or
    not an int (an empty `s` attribute) is answered with None rather than an error, so that the
    engine hands such a sheet to the pure-Python loader, which gives those cells no style of
    their own (`_style_of`)."""

    __slots__ = ("_styles",)

    def __init__(self, styles):
        self._styles = styles

    def __len__(self):
        return len(self._styles)

    def __getitem__(self, style_id):
        return _style_array(self._styles, style_id)


def _style_array(styles, style_id):
    """The style array of a style id, with Python's negative indexing, or None."""
    if isinstance(style_id, int) and -len(styles) <= style_id < len(styles):
        return styles[style_id]
    return None


class Worksheet(_SheetBase):
    """An editable worksheet: every cell is loaded and kept, addressable by position.

    `_cells` maps (row, column) to `Cell`. With the native engine it is a `CellStore`, which
    keeps loaded cells in compact form and makes each `Cell` when it is first accessed; the
    pure-Python loader fills a plain dict. Both behave the same for everything below.
    """

    def __init__(self, workbook, title, part):
        super().__init__(workbook, title, part)
        self._cells = {}
        self._hyperlinks = []
        self.row_dimensions = {}

    def _load(self):
        styles = self.parent._cell_styles
        helpers = self.parent.helpers
        native = engine()
        if native is not None:
            options = SheetReadOptions(self.parent, self.parent.data_only, self.parent.rich_text)
            store = native.CellStore()
            actions = []
            try:
                with self.parent._package.open(self._part) as source:
                    native.bind_cells(source, options, self, store, _CellStyles(styles), Cell, helpers, actions)
            except NativeFallback:
                pass  # nothing was applied yet: the pure-Python loader redoes the whole sheet
            else:
                self._cells = store
                self.row_dimensions = options.row_dimensions
                replay_actions(self, actions)
                return
        self._load_python(styles, helpers)

    def _load_python(self, styles, helpers):
        """The reference loader: one `Cell` per cell, each with its own copy of its style array."""
        options = SheetReadOptions(self.parent, self.parent.data_only, self.parent.rich_text)
        cells = {}
        for _idx, records in self._stream(options, helpers):
            for rec in records:
                style = _style_array(styles, rec.style_id)
                if style is not None:
                    # A copy of the same class (array.__copy__ would give a plain array).
                    style = array.__new__(type(style), "i", style)
                cells[(rec.row, rec.column)] = Cell(self, rec.row, rec.column, rec.value, style, rec.data_type)
        self._cells = cells
        self.row_dimensions = options.row_dimensions

    def cell(self, row, column, value=None):
        """The cell at (row, column), created empty when missing; `value` is assigned if given."""
        if row < 1 or column < 1:
            raise ValueError("Row or column values must be at least 1")
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

    def __setitem__(self, coordinate, value):
        self[coordinate].value = value

    def __delitem__(self, coordinate):
        del self._cells[coordinate_to_tuple(coordinate)]

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
            cells = tuple(self.cell(row, col) for col in range(min_col, max_col + 1))
            yield tuple(c.value for c in cells) if values_only else cells

    def iter_rows(self, min_row=None, max_row=None, min_col=None, max_col=None, values_only=False):
        """Rows of cells (or values) within the bounds; missing cells are created empty."""
        return self._cells_by_row(min_col or 1, min_row or 1, max_col or self.max_column,
                                  max_row or self.max_row, values_only)

    def append(self, iterable):
        """Adds a row of values below the last row that has cells."""
        row = self.max_row + 1 if self._cells else 1
        for column, value in enumerate(iterable, 1):
            if isinstance(value, Cell):
                cell = Cell(self, row, column, value.value, value._style, value.data_type)
            else:
                cell = Cell(self, row, column)
                cell.value = value
            self._cells[(row, column)] = cell

    def cells(self):
        """Every cell present, in row and then column order."""
        return (self._cells[key] for key in sorted(self._cells))

    def dimensions(self):
        bounds = self._bounds()
        if bounds is None:
            return "A1:A1"
        return "%s:%s" % (coordinate_of(bounds[0], bounds[2]), coordinate_of(bounds[1], bounds[3]))
