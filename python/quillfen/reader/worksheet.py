"""Reading worksheets: every cell of an editable sheet loaded into the model, the read-only sheet
that streams its rows, and the prescan facts of a sheet's part.

Each runs natively when it can, with the pure-Python reader behind it (`_native`).
"""

import contextlib
import os
import sys
import threading
import warnings
from array import array
from collections.abc import Iterable, Iterator, Sequence
from itertools import repeat
from types import ModuleType
from typing import TYPE_CHECKING, Any, cast

from .._native import NativeFallback, engine as native_engine, native_or_pure, stream_native_or_pure
from ..model.cell import EMPTY_CELL, Cell, ReadOnlyCell, ReadOnlyFormulaCell
from ..constants import MAIN_NS
from ..utils.cells import coordinate_of, coordinate_to_tuple, range_boundaries
from ..model.styles import StyleArray
from ..model.worksheet import Bounds, SheetBase, SheetFacts
from ..package import Package
from ..package.xmlparts import Child, Layout, child_of, root_start_tag
from ..package.errors import CONTENT_ERRORS, InvalidFileError, damaged
from .features import apply_element, row_dimensions
from .helpers import parse_snippet
from .sheet import ABSENT, CellRecord, ReaderSettings, WorksheetParser

if TYPE_CHECKING:
    from ..frames import FrameOptions
    from ..model.workbook import Workbook
    from .prescan import OpenPart

__all__ = ["SheetReadOptions", "SheetFacts", "SheetSource", "ReadOnlyWorksheet", "load_cells",
           "replay_actions", "prescan_part", "sheet_facts"]

_M = "{%s}" % MAIN_NS
# Warnings of a frame's read point at the first code outside this package.
_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep
# (rows kept, [column chunk or None, ...], first row, last row): see RowReader.next_columns.
ColumnBatch = tuple[int, list[Any], int, int]


class SheetReadOptions:
    """What the sheet readers (native and pure Python) are told about the workbook and mode."""

    def __init__(self, workbook: Workbook[Any], data_only: bool, rich_text: bool, formula_and_value: bool = False,
                 keep_cells: bool = False) -> None:
        self.epoch = workbook.epoch
        self.shared_strings = workbook.shared_strings
        self.data_only = data_only
        self.rich_text = rich_text
        self.formula_and_value = formula_and_value
        # Whether each cell keeps what it needs for being saved as it was read (`Cell._loaded`).
        self.keep_cells = keep_cells
        self.kept_styles = renamed_styles(workbook._cell_styles) if keep_cells else frozenset()
        self.date_formats = workbook.stylesheet.date_formats()
        self.timedelta_formats = workbook.stylesheet.timedelta_formats()
        self.time_formats = workbook.stylesheet.time_formats()
        self.row_dimensions: dict[str, dict[str, str]] = {}


class _Replayed:
    """How many rows, elements and warnings of a sheet the caller has already been given.

    When the native reader gives up part-way, the pure-Python reader starts the sheet again:
    these counts let it pass over what was already delivered, so that nothing is seen twice.
    Both readers deliver each kind in document order, so counting is enough (row numbers are
    not: they may repeat or go backwards)."""

    __slots__ = ("rows", "elements", "warnings")

    def __init__(self) -> None:
        self.rows = self.elements = self.warnings = 0


def replay_actions(worksheet: Any, actions: list[tuple[Any, ...]], seen: _Replayed | None = None,
                   skip: _Replayed | None = None, stacklevel: int | None = 3) -> None:
    """Applies what the readers handed back, in document order: elements and warnings.

    `seen` counts what is applied; actions still counted in `skip` are passed over instead.
    Warnings point `stacklevel` frames up, or with None at the first code outside quillfen."""
    where: dict[str, Any] = ({"stacklevel": stacklevel} if stacklevel is not None
                             else {"stacklevel": 2, "skip_file_prefixes": (_PACKAGE_DIR,)})
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
                warnings.warn(message, **where)
            else:
                warnings.warn(str(message), UserWarning, **where)
        elif action[0] == "element":
            apply_element(worksheet, parse_snippet(action[1], action[2]))
    actions.clear()


def _corners_of(ref: str) -> list[tuple[int, int]]:
    """The distinct corner cells of a merged range ref ("A1:B2" or "A1") as (row, column).
    A ref that names no cells ("A0:B2") is refused: it has no corners to report."""
    first, colon, last = ref.partition(":")
    try:
        top, left = coordinate_to_tuple(first)
        bottom, right = coordinate_to_tuple(last) if colon else (top, left)
    except ValueError:
        raise ValueError("Invalid merged cell range %r" % ref) from None
    corners = []
    for corner in ((top, left), (top, right), (bottom, left), (bottom, right)):
        if corner not in corners:
            corners.append(corner)
    return corners


def _declared_extent(ws: Any) -> Bounds | None:
    """The extent that the part's dimension element declares, or None when it has none (or
    one that names no cells)."""
    from .prescan import dimension_ref  # loaded when first used: a load needs none of it

    with damaged(ws._part, ws.title):
        head = _Head(ws)
        try:
            ref = dimension_ref(head.open)
        except CONTENT_ERRORS:
            if not head.cut:
                raise
            ref = None  # cut short mid-element: the whole part says
        if ref is None and head.cut:
            ref = dimension_ref(_open_part(ws))
    try:
        min_col, min_row, max_col, max_row = range_boundaries(ref or "")
    except ValueError:
        return None
    if min_row is None or min_col is None:
        return None
    return cast(Bounds, (min_row, max_row, min_col, max_col))  # the max ends are known with the min ones


class _Head:
    """The first `HEAD_SIZE` bytes of the part of `ws`, inflated only as far as they are read
    (the engine's stream inflates a block of a quarter of a megabyte first, most of a small
    sheet); `cut`: the part may go on past them. The dimension element comes near the start."""

    HEAD_SIZE = 1 << 14

    def __init__(self, ws: Any) -> None:
        self._ws = ws
        self.cut = False

    @contextlib.contextmanager
    def open(self) -> Iterator[Any]:
        with self._ws.parent._package.open(self._ws._part, head=True) as stream:
            yield _HeadReader(stream, self)


class _HeadReader:
    def __init__(self, stream: Any, head: _Head) -> None:
        self._stream, self._head, self._left = stream, head, head.HEAD_SIZE

    def read(self, size: int = -1, /) -> bytes:
        want = self._left if size < 0 else min(size, self._left)
        chunk: bytes = self._stream.read(want) if want else b""
        self._left -= len(chunk)
        if not self._left:
            self._head.cut = True
        return chunk


class SheetSource:
    """The part a sheet was read from, as the reader attaches it to the sheet: the model asks
    it for the prescan and the facts, the writer for the part's layout."""

    def __init__(self, ws: Any, package: Package, part: str) -> None:
        self._ws = ws
        self._package = package
        self.part = part

    def open(self, head: bool = False) -> Any:
        """The part's stream; `head`: only its first few kilobytes will be read."""
        return self._package.open(self.part, head=head)

    def root(self) -> tuple[bytes, dict[str, str], str]:
        """The part's root start tag, its namespace declarations and the part's encoding."""
        with damaged(self.part, self._ws.title), self.open(head=True) as stream:
            return root_start_tag(stream)

    def prescan(self, want_rows: bool, corners: Iterable[tuple[int, int]]) -> dict[str, Any]:
        return prescan_part(self._ws, want_rows, corners)

    def facts(self) -> SheetFacts:
        return sheet_facts(self._ws)

    def layout(self) -> Layout:
        """The part as its root's tags and the exact bytes of the elements around its cell
        data, which stands as an empty `sheetData` child in their midst."""
        root, declared, encoding = self.root()
        if root.endswith(b"/>"):
            root = root[:-2].rstrip() + b">"
        found = prescan_part(self._ws)
        with damaged(self.part, self._ws.title):
            head = [child_of(snippet, namespaces, encoding) for snippet, namespaces in found["head"]]
            tail = [child_of(snippet, namespaces, encoding) for snippet, namespaces in found["tail"]]
        name = root[1:].split(None, 1)[0].rstrip(b"/>")
        cells = Child(MAIN_NS, "sheetData", b"")
        return Layout(root, b"</%s>" % name, [*head, cells, *tail], declared)


def _open_part(ws: Any, ahead: bool = False) -> OpenPart:
    """Opens the part of `ws` afresh at each call; `ahead`: to be read to its end."""
    if ws._part is None or ws.parent._package is None:
        raise ValueError("sheet %r was not read from a file" % ws.title)
    package, part = ws.parent._package, ws._part
    return lambda: package.open(part, ahead=ahead)


def prescan_part(ws: Any, want_rows: bool = False, corners: Iterable[tuple[int, int]] = ()) -> dict[str, Any]:
    """The prescan of the part that `ws` was read from (see `SheetBase.prescan`)."""
    from .prescan import prescan, prescan_arguments

    open_part = _open_part(ws)
    corners = list(corners)
    prescan_arguments(want_rows, corners, ws.parent.helpers)  # the caller's errors stay theirs
    with damaged(ws._part, ws.title):
        return prescan(open_part, want_rows, corners, ws.parent.helpers)


def sheet_facts(ws: Any) -> SheetFacts:
    """The facts of `ws` (see `SheetBase.facts`)."""
    found = prescan_part(ws, want_rows=True)
    with damaged(ws._part, ws.title):
        return _facts(ws, found)


def _facts(ws: Any, found: dict[str, Any]) -> SheetFacts:
    dimension: str | None
    merged: list[str]
    dimension, merged = None, []
    # As when a sheet is loaded: the last of each element counts.
    for snippet, namespaces in found["head"] + found["tail"]:
        element = parse_snippet(snippet, namespaces)
        if element.tag == _M + "dimension":
            dimension = element.get("ref")
        elif element.tag == _M + "mergeCells":
            merged = cast("list[str]", [m.get("ref") for m in element.iter(_M + "mergeCell") if m.get("ref")])
    formatted = sorted({number for number, _attrs in found["rows"]})
    corners = {ref: _corners_of(ref) for ref in merged}
    wanted = [corner for cells in corners.values() for corner in cells]
    styles = prescan_part(ws, corners=wanted)["corners"] if wanted else {}
    corner_styles = {ref: [(coordinate_of(*corner), styles[corner]) for corner in cells]
                     for ref, cells in corners.items()}
    return SheetFacts(dimension, formatted, merged, corner_styles)


def stream_records(ws: Any, options: SheetReadOptions, helpers: dict[str, Any], skip: _Replayed | None = None,
                   stacklevel: int | None = 3) -> Iterator[tuple[int, list[CellRecord]]]:
    """Yields (row index, [CellRecord]) from the pure-Python reader, replaying its actions.

    With `skip`, the rows, elements and warnings it counts are read but not delivered.
    `stacklevel` is that of the warnings, counted from this generator. A damaged part raises
    `InvalidFileError` naming the sheet and the cell being read."""
    actions: list[tuple[Any, ...]] = []
    parser: WorksheetParser | None = None
    open_part = _open_part(ws)
    with damaged(ws._part, ws.title, lambda: parser.position() if parser is not None else None):
        with open_part() as source:
            parser = WorksheetParser(source, ReaderSettings.from_parser(options), helpers, actions,
                                     options.row_dimensions)
            for item in parser:
                if item[0] == "element":
                    actions.append(item)
                replay_actions(ws, actions, skip=skip, stacklevel=stacklevel)
                if item[0] == "row":
                    if skip is not None and skip.rows:
                        skip.rows -= 1
                        continue
                    yield item[1], item[2]
    replay_actions(ws, actions, skip=skip, stacklevel=stacklevel)


# The rows of a read-only sheet handed over by the engine at once, at most, and the values
# they hold at most. PERF NOTE: a batch is alive at once; kept this small, its numbers and rows
# come from (and go back to) the interpreter's free lists, which a batch of 256 rows ran dry.
ROW_BATCH = 32
ROW_BATCH_VALUES = 256


class _RowShape:
    """How `iter_rows` shapes the rows of the part: each as wide as `blank`, and the rows the
    part leaves out from `expected` on as `blank` rows. The width is taken from the sheet's
    extent once the part has given its first row: a damaged part fails as the rows stream, as
    it would without the extent."""

    __slots__ = ("min_col", "max_col", "values_only", "width", "blank", "expected")

    def __init__(self, min_row: int, min_col: int, max_col: int | None, values_only: bool) -> None:
        self.min_col, self.max_col, self.values_only = min_col, max_col, values_only
        self.width = -1
        self.blank: tuple[Any, ...] = ()
        self.expected = min_row

    def _measure(self, ws: ReadOnlyWorksheet) -> None:
        if self.width < 0:
            self.width = max((self.max_col or ws.max_column) - self.min_col + 1, 0)
            self.blank = (None if self.values_only else EMPTY_CELL,) * self.width

    def place(self, ws: ReadOnlyWorksheet, idx: int, row: tuple[Any, ...]) -> Iterator[tuple[Any, ...]]:
        """The rows given for the part's row `idx`: the missing ones before it, then itself."""
        self._measure(ws)
        if idx >= self.expected:
            if idx > self.expected:
                yield from repeat(self.blank, idx - self.expected)
            self.expected = idx + 1
        yield row if len(row) >= self.width else row + self.blank[len(row):]

    def tail(self, ws: ReadOnlyWorksheet, max_row: int | None) -> Iterator[tuple[Any, ...]]:
        """The missing rows after the part's last, to `max_row` (the sheet's `max_row`)."""
        self._measure(ws)
        last_row = max_row or ws.max_row
        if last_row >= self.expected:
            yield from repeat(self.blank, last_row + 1 - self.expected)


class ReadOnlyWorksheet(SheetBase):
    """A worksheet read row by row as it is iterated; nothing is kept between iterations.

    Its extent (`dimensions`, `max_row`, ...) is known before iterating: the one the part
    declares in its dimension element or, when there is none, that of its cells."""

    def __init__(self, workbook: Workbook[Any], title: str) -> None:
        super().__init__(workbook, title)
        self._extent: Bounds | tuple[()] | None = None   # (min_row, max_row, min_col, max_col), or () for no cells
        self._arrow: Any = None  # the table read for a schema, kept for the stream that follows

    def iter_rows(self, min_row: int | None = None, max_row: int | None = None, min_col: int | None = None,
                  max_col: int | None = None, values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        """Rows of cells (or of values) as an editable sheet gives them: every row from
        `min_row` (1) to `max_row` (the sheet's `max_row`), each from `min_col` (1) to `max_col`
        (the sheet's `max_column`). Cells and rows missing from the part are `EMPTY_CELL` (None
        with `values_only`), made as the rows stream past; the part is read a few rows ahead at
        most. Reading stops at the first row past `max_row`.

        Nothing in the part is left out for an extent it does not declare truly: without
        `max_row` the rows go on to the last in the part, and without `max_col` a row goes on to
        its last cell. Rows of a damaged part that come again or go back come as they stand."""
        # PERF NOTE: the generator of _rows itself, shaping as it goes: a dense sheet's rows pass
        # through no other one.
        min_row = min_row or 1
        min_col = min_col or 1
        shape = _RowShape(min_row, min_col, max_col, values_only)
        rows: Iterator[tuple[Any, ...]] = self._rows(min_row, max_row, min_col, max_col, values_only, False, shape)
        return rows

    def _indexed_rows(self, min_row: int | None, max_row: int | None, min_col: int | None, max_col: int | None,
                      values_only: bool) -> Iterator[tuple[int, tuple[Any, ...]]]:
        """(row number, row) of the rows that `iter_rows` gives."""
        rows: Iterator[tuple[int, tuple[Any, ...]]] = self._rows(min_row, max_row, min_col, max_col, values_only, True)
        return rows

    def _rows(self, min_row: int | None, max_row: int | None, min_col: int | None, max_col: int | None,
              values_only: bool, indexed: bool, shape: _RowShape | None = None) -> Iterator[Any]:
        """The rows of `iter_rows`, with their numbers when `indexed`, or with `shape` as
        `iter_rows` gives them. One generator runs the engine's reader and, when it declines
        part-way, the pure-Python one after it: a read-only pass spends a good part of its time
        resuming generators, so no other one wraps it."""
        min_col = min_col or 1
        filler = None if values_only else EMPTY_CELL
        options = SheetReadOptions(self.parent, self.parent.data_only, self.parent.rich_text)
        helpers = cast("dict[str, Any]", self.parent.helpers)  # set when the workbook was read
        seen = _Replayed()
        cell_cls = ReadOnlyFormulaCell if options.formula_and_value else ReadOnlyCell

        def pure() -> Iterator[Any]:
            # The pure-Python reader takes over after what the native one delivered.
            for idx, cells in stream_records(self, options, helpers, skip=seen, stacklevel=None):
                if max_row is not None and idx > max_row:
                    return
                if min_row is None or idx >= min_row:
                    row = self._shape_row(cells, min_col, max_col, values_only, filler, options)
                    if shape is not None:
                        yield from shape.place(self, idx, row)
                    else:
                        yield (idx, row) if indexed else row

        engine = native_engine()
        native_done = False
        if engine is not None:
            try:
                with _open_part(self, ahead=True)() as source:
                    reader = engine.RowReader(source, options, helpers)
                    # The reader keeps appending to this one list; most rows leave it empty.
                    actions = reader.actions
                    next_row = reader.next_row
                    # Row by row until a shape has its width, then a batch of rows at a time.
                    while shape is None or shape.width < 0:
                        got = next_row(self, min_col, max_col, values_only, cell_cls, filler)
                        if actions:
                            # Warnings point at the first code outside quillfen: the code iterating.
                            replay_actions(self, actions, seen, stacklevel=None)
                        if got is None or max_row is not None and got[0] > max_row:
                            break
                        seen.rows += 1
                        if min_row is None or got[0] >= min_row:
                            if shape is not None:
                                yield from shape.place(self, *got)
                            else:
                                yield got if indexed else got[1]
                    else:
                        limit = max(1, min(ROW_BATCH, ROW_BATCH_VALUES // max(shape.width, 1)))
                        next_rows = reader.next_rows
                        while True:
                            rows, gap, last, read, shape.expected, done = next_rows(
                                self, min_col, max_col, values_only, cell_cls, filler, min_row, max_row,
                                shape.expected, shape.blank, limit)
                            seen.rows += read
                            yield from rows
                            if actions:
                                replay_actions(self, actions, seen, stacklevel=None)
                            if gap:
                                yield from repeat(shape.blank, gap)
                            if last is not None:
                                yield last
                            if done:
                                break
                native_done = True
            except NativeFallback:
                pass
        if not native_done:
            yield from pure()
        if shape is not None:
            yield from shape.tail(self, max_row)

    def __arrow_c_schema__(self) -> object:
        """The schema of `to_arrow()` as an Arrow C schema (a PyCapsule). DuckDB asks for it
        (twice) before the stream: the table read for it is kept for the next stream, and the
        part, which does not change while the workbook is open, is read once."""
        if self._arrow is None:
            self._arrow = self.to_arrow()
        return self._arrow.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """The sheet's values as an Arrow C stream (a PyCapsule): `to_arrow()` with its defaults."""
        table, self._arrow = self._arrow, None
        return (table if table is not None else self.to_arrow()).__arrow_c_stream__(requested_schema)

    def _column_batches(self, cells: int, options: FrameOptions) -> Iterator[ColumnBatch | list[tuple[int, tuple[Any, ...]]]]:
        """The sheet's values for the DataFrame builders (`quillfen.frames`), a batch at a time,
        cached formula results unless `options.formulas`.

        The engine gives columns: (rows kept, [chunk or None per column from A], first and last
        row kept) as `RowReader.next_columns` makes them, about `cells` cells a batch; with a
        header, the first row with a value comes alone (the names must not take part in typing
        the values). The pure-Python path gives lists of (row number, value row) as
        `iter_rows(values_only=True)` gives the rows."""
        data_only = self.parent.data_only or not options.formulas
        read = SheetReadOptions(self.parent, data_only, self.parent.rich_text)
        helpers = cast("dict[str, Any]", self.parent.helpers)
        seen = _Replayed()

        def native(engine: ModuleType) -> Iterator[ColumnBatch | list[tuple[int, tuple[Any, ...]]]]:
            with _open_part(self, ahead=True)() as source:
                reader = engine.RowReader(source, read, helpers)
                actions = reader.actions
                named = not options.header
                while (got := reader.next_columns(cells if named else 1, options.min_row, options.blank_rows,
                                                  options.mixed)) is not None:
                    if actions:
                        replay_actions(self, actions, seen, stacklevel=None)
                    read_rows, height, columns, first, last = got
                    seen.rows += read_rows
                    named = named or height > 0
                    yield height, columns, first, last
                if actions:
                    replay_actions(self, actions, seen, stacklevel=None)

        def pure() -> Iterator[ColumnBatch | list[tuple[int, tuple[Any, ...]]]]:
            from ..frames import row_batches

            records = stream_records(self, read, helpers, skip=seen, stacklevel=None)
            yield from row_batches((idx, self._shape_row(row, 1, None, True, None, read)) for idx, row in records)

        return stream_native_or_pure(native, pure)

    def _rect(self, min_row: int, max_row: int, min_col: int, max_col: int,
              values_only: bool = False) -> Iterator[tuple[Any, ...]]:
        """Every row from `min_row` to `max_row`, those missing from the part as empty rows:
        a rectangle. A row number that comes again (or goes back) in a damaged part is passed
        over: the rectangle keeps its first row of each number."""
        blank = (None if values_only else EMPTY_CELL,) * max(max_col - min_col + 1, 0)
        expected = min_row
        for idx, row in self._indexed_rows(min_row, max_row, min_col, max_col, values_only):
            if idx < expected:
                continue
            yield from (blank for _ in range(expected, idx))
            yield row
            expected = idx + 1
        yield from (blank for _ in range(expected, max_row + 1))

    def _cell_at(self, row: int, column: int) -> Any:
        return next(self._rect(row, row, column, column))[0]

    def _bounds(self) -> Bounds | None:
        if self._extent is None:
            self._extent = _declared_extent(self) or self._cell_bounds() or ()
        return self._extent or None

    def _last_row_hint(self) -> int | None:
        try:
            extent = self._extent or _declared_extent(self)
        except InvalidFileError:
            return None  # a damaged part: reading the rows says how, not a hint
        return extent[1] if extent else None

    def _cell_bounds(self) -> Bounds | None:
        """(min_row, max_row, min_col, max_col) of the cells in the part, read through, or None."""
        bounds: Bounds | None = None
        for idx, row in self._indexed_rows(None, None, None, None, False):
            columns = [cell.column for cell in row if cell is not EMPTY_CELL]
            if not columns:
                continue
            if bounds is None:
                bounds = (idx, idx, columns[0], columns[-1])
            else:
                bounds = (min(bounds[0], idx), max(bounds[1], idx),
                          min(bounds[2], columns[0]), max(bounds[3], columns[-1]))
        return bounds

    def _shape_row(self, cells: list[CellRecord], min_col: int, max_col: int | None, values_only: bool,
                   filler: Any, options: SheetReadOptions) -> tuple[Any, ...]:
        if not cells and not max_col:
            return ()
        upper = max_col or cells[-1].column
        row = [filler] * max(upper - min_col + 1, 0)
        for rec in cells:
            if min_col <= rec.column <= upper:
                row[rec.column - min_col] = rec.value if values_only else self._make_cell(rec, options)
        return tuple(row)

    def _make_cell(self, rec: CellRecord, options: SheetReadOptions) -> ReadOnlyCell:
        cell_cls = ReadOnlyFormulaCell if options.formula_and_value else ReadOnlyCell
        cell = cell_cls.__new__(cell_cls)
        cell.parent = self
        cell.row = rec.row
        cell.column = rec.column
        cell._value = rec.value
        cell.data_type = rec.data_type
        cell._style_id = rec.style_id
        if options.formula_and_value:
            both = cast(ReadOnlyFormulaCell, cell)
            if rec.is_formula:
                both.formula = rec.value
            else:
                both.formula = None if rec.formula is ABSENT else rec.formula
            both.cached_value = rec.value if rec.cached is ABSENT else rec.cached
        return cell

    def cells(self) -> Iterator[ReadOnlyCell]:
        """Every cell present in the part, in row and then column order."""
        for _idx, row in self._indexed_rows(None, None, None, None, False):
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

    def __init__(self, styles: Sequence[StyleArray]) -> None:
        self._styles = styles

    def __len__(self) -> int:
        return len(self._styles)

    def __getitem__(self, style_id: object) -> StyleArray | None:
        return style_array(self._styles, style_id)


def renamed_styles(styles: Sequence[StyleArray]) -> frozenset[int]:
    """The style ids a saved cell would not get back from its format: the writer names a format
    by the first id listing it, and the default one by none. The file's styles part may hold
    such repeats (formats that differ in what the model does not hold, as a cell's check box):
    a loaded cell with one of these ids keeps it (`Cell._loaded`) while its format stays."""
    first: dict[StyleArray, int] = {}
    return frozenset(i for i, style in enumerate(styles)
                     if first.setdefault(style, i) != i or (i and not any(style)))


def style_array(styles: Sequence[StyleArray], style_id: object) -> StyleArray | None:
    """The style array of a style id, with Python's negative indexing, or None."""
    if isinstance(style_id, int) and -len(styles) <= style_id < len(styles):
        return styles[style_id]
    return None


class BoundCells:
    """The cells of an editable sheet, bound by the engine on a thread of `bind_in_threads` and
    waiting to be taken, in sheet order, by `load_cells`: the store and the actions to replay,
    or what the binding raised."""

    __slots__ = ("ws", "options", "store", "actions", "error")

    def __init__(self, ws: Any) -> None:
        wb = ws.parent
        self.ws = ws
        self.options = SheetReadOptions(wb, wb.data_only, wb.rich_text, keep_cells=True)
        self.store: Any = None
        self.actions: list[tuple[Any, ...]] = []
        self.error: BaseException | None = None

    def bind(self, engine: ModuleType) -> None:
        try:
            self.store = _bind_cells(engine, self.ws, self.options, self.actions, ahead=False)
        except BaseException as exc:  # raised again by load_cells, in its place among the sheets
            self.error = exc


def _bind_cells(engine: ModuleType, ws: Any, options: SheetReadOptions, actions: list[tuple[Any, ...]],
                ahead: bool) -> Any:
    """The engine's store of the cells of `ws`; its elements and warnings go to `actions`."""
    store = engine.CellStore()
    with _open_part(ws, ahead=ahead)() as source:
        engine.bind_cells(source, options, ws, store, _CellStyles(ws.parent._cell_styles), Cell, ws.parent.helpers,
                          actions)
    return store


THREADS_ENV = "QUILLFEN_THREADS"


def sheet_threads(sheets: int) -> int:
    """How many threads load the cells of a workbook's `sheets` sheets: QUILLFEN_THREADS when
    it is set, else on a free-threaded interpreter (GIL off) as many as the process has CPUs,
    and with the GIL one (the threads would take turns)."""
    setting = os.environ.get(THREADS_ENV, "")
    if setting:
        threads = int(setting) if setting.isdigit() else 0
        if threads < 1:
            raise ValueError("%s=%r: the number of threads that load a workbook's sheets, 1 or more"
                             % (THREADS_ENV, setting))
    elif getattr(sys, "_is_gil_enabled", lambda: True)():
        return 1
    else:
        threads = (os.process_cpu_count() if hasattr(os, "process_cpu_count") else os.cpu_count()) or 1
    return max(1, min(threads, sheets))


# A sheet whose part is smaller than this (compressed, some 50,000 cells) is bound in less time
# than a thread takes to start and join.
THREAD_MIN_SIZE = 1 << 17


def _part_size(ws: Any) -> int:
    """The compressed size of the part of `ws` (0 when it has none in the container)."""
    part = ws.parent._package.part(ws._part) if ws._part is not None and ws.parent._package is not None else None
    member = getattr(part, "member", None)
    return member.compress_size if member is not None else 0


def bind_in_threads(sheets: list[Any]) -> list[BoundCells | None]:
    """The cells of the editable `sheets` bound by the engine on `sheet_threads` threads at
    once (the calling one among them), for the sheets large enough to be worth it; one entry
    per sheet, None for a sheet left to `load_cells` alone (all of them when the engine is off
    or one thread would do). Nothing is applied to a sheet here: `load_cells` takes each result
    in sheet order, replays its warnings and elements, and falls back as it would."""
    engine = native_engine()
    sizes = [_part_size(ws) for ws in sheets]
    threads = sheet_threads(sum(size >= THREAD_MIN_SIZE for size in sizes))
    if engine is None or threads < 2:
        return [None] * len(sheets)
    bound = [BoundCells(ws) if size >= THREAD_MIN_SIZE else None for ws, size in zip(sheets, sizes)]
    # Largest first: the last sheet to start is a small one, and the threads end together.
    order = sorted(range(len(sheets)), key=lambda k: -sizes[k])
    jobs = iter([bound[k] for k in order if bound[k] is not None])
    lock = threading.Lock()

    def work() -> None:
        while True:
            with lock:
                job = next(jobs, None)
            if job is None:
                return
            job.bind(engine)

    workers = [threading.Thread(target=work, name="quillfen-load") for _ in range(threads - 1)]
    for worker in workers:
        worker.start()
    try:
        work()
    finally:
        for worker in workers:
            worker.join()
    return bound


def load_cells(ws: Any, bound: BoundCells | None = None) -> None:
    """Loads every cell of the editable sheet `ws` from its part: into a `CellStore` with the
    engine, else into a dict of `Cell`s. Warnings point at the caller of `load_workbook`.
    `bound`: the engine's work on the sheet, done already by `bind_in_threads`."""
    wb = ws.parent
    styles, helpers = wb._cell_styles, wb.helpers
    options = bound.options if bound is not None else SheetReadOptions(wb, wb.data_only, wb.rich_text,
                                                                       keep_cells=True)

    def native(engine: ModuleType) -> dict[str, dict[str, str]]:
        if bound is None:
            actions: list[tuple[Any, ...]] = []
            store = _bind_cells(engine, ws, options, actions, ahead=True)
        elif bound.error is not None:
            raise bound.error
        else:
            store, actions = bound.store, bound.actions
        # Nothing was applied before this point: on NativeFallback the pure-Python loader
        # redoes the whole sheet.
        ws._cells = store
        replay_actions(ws, actions, stacklevel=7)
        return options.row_dimensions

    def pure() -> dict[str, dict[str, str]]:
        options.row_dimensions.clear()
        cells: dict[tuple[int, int], Cell] = {}
        for _idx, records in stream_records(ws, options, helpers, stacklevel=8):
            for rec in records:
                style = style_array(styles, rec.style_id)
                if style is not None:
                    # Each cell has its own copy of the same class (array.__copy__ would give
                    # a plain array).
                    style = array.__new__(type(style), "i", style)  # type: ignore[assignment]  # a StyleArray
                cell = cells[(rec.row, rec.column)] = Cell(ws, rec.row, rec.column, rec.value, style, rec.data_type)
                cell._loaded = rec.loaded
        ws._cells = cells
        return options.row_dimensions

    # A damaged part can make the engine raise (an index out of range, a number too large):
    # the pure-Python loader then reports it, with the cell.
    ws.row_dimensions = row_dimensions(native_or_pure(native, pure, decline=CONTENT_ERRORS))
