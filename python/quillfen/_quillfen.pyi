# Type stubs of the native engine (quillfen._quillfen). The engine is private to the package:
# the public API is quillfen.load_workbook and friends; these stubs serve type checkers and IDEs.

import datetime
from collections.abc import Buffer, Callable, Collection, Iterable, Iterator, Sequence
from typing import Any, BinaryIO, Protocol, Self, TypedDict, final

from typing_extensions import disjoint_base

class _Source(Protocol):
    def read(self, size: int, /) -> Buffer: ...

Namespaces = list[tuple[str, str]]

class SheetOptions(Protocol):
    """The parser object of the reading entry points: what they read of the workbook and mode."""

    epoch: datetime.datetime
    shared_strings: Sequence[Any]
    data_only: bool
    rich_text: bool
    formula_and_value: bool
    date_formats: Collection[int]
    timedelta_formats: Collection[int]
    time_formats: Collection[int]  # may be missing: no format is taken for a time of day alone
    row_dimensions: dict[str, dict[str, str]]
    # Full loads: each cell keeps what it needs for being saved as it was read (`Cell._loaded`).
    keep_cells: bool
    # With keep_cells: the style ids a cell keeps as it read them (the writer would name their
    # formats otherwise).
    kept_styles: Collection[int]

# The helper table of the reading entry points (`quillfen.reader.helpers.reading_helpers()`).
ReadingHelpers = TypedDict("ReadingHelpers", {
    "int": Callable[[str], int],
    "float": Callable[[str], float],
    "coordinate_to_tuple": Callable[[str], tuple[int, int]],
    "row_index": Callable[[str], int],
    "from_excel": Callable[..., Any],
    "from_ISO8601": Callable[[str], Any],
    "date_warning": Callable[..., Any],
    "ArrayFormula": type,
    "DataTableFormula": type,
    "Translator": type,
    "TokenizerError": type[Exception],
    "TranslatorError": type[Exception],
    "text_content": Callable[[bytes, Namespaces], str],
    "rich_inline": Callable[[bytes, Namespaces], Any],
    "kept_runs": Callable[[bytes, Namespaces], Any],
    "validate_rpr": Callable[..., Any],
    "text_dangerous": frozenset[str],
    "rich_dangerous": frozenset[str],
    "si_content": Callable[[bytes, Namespaces], str],
})

# The helper table of `SheetWriter` (`quillfen.writer.sheet_data.writing_helpers()`).
class WritingHelpers(TypedDict):
    StyleArray: type
    add_comment: Callable[..., Any]
    write_cell: Callable[..., Any]
    date_value: Callable[..., Any]
    date_value_raw: Callable[..., Any]
    safe_string: Callable[[str], str]

class NativeFallback(Exception):
    """The native engine cannot reproduce the pure-Python path's behaviour for this input; the pure Python implementation must be used."""

def read_string_table(source: _Source | BinaryIO, helpers: ReadingHelpers) -> list[Any]: ...
def bind_cells(
    source: _Source | BinaryIO,
    parser: SheetOptions,
    ws: Any,
    store: CellStore,
    cell_styles: Any,
    cell_cls: type,
    helpers: ReadingHelpers,
    actions: list[tuple[Any, ...]],
) -> None: ...
def find_dimension(source: _Source | BinaryIO) -> tuple[bytes, Namespaces] | None: ...
def check_formula(formula: str) -> bool: ...
def prescan_sheet(
    source: _Source | BinaryIO,
    want_rows: bool,
    corners: Iterable[tuple[int, int]],
    helpers: ReadingHelpers,
) -> dict[str, Any]: ...

# A column of a batch of rows: (kind, data, nulls, ints), see RowReader.next_columns.
_Chunk = tuple[str, Any, bytearray | None, bytearray | None]

@final
class RowReader:
    def __new__(cls, source: _Source | BinaryIO, parser: SheetOptions, helpers: ReadingHelpers) -> Self: ...
    @property
    def actions(self) -> list[tuple[Any, ...]]: ...
    def next_raw(self) -> tuple[int, list[tuple[int, int, Any, str, Any]]] | None: ...
    def next_row(
        self,
        ws: Any,
        min_col: int,
        max_col: int | None,
        values_only: bool,
        cell_cls: type,
        filler: Any,
        extra_none: Sequence[str] | None = None,
    ) -> tuple[int, tuple[Any, ...]] | None: ...
    def next_rows(
        self,
        ws: Any,
        min_col: int,
        max_col: int | None,
        values_only: bool,
        cell_cls: type,
        filler: Any,
        min_row: int,
        max_row: int | None,
        expected: int,
        blank: tuple[Any, ...],
        limit: int,
    ) -> tuple[list[tuple[Any, ...]], int, tuple[Any, ...] | None, int, int, bool]: ...
    def next_columns(
        self, cells: int, min_row: int = 1, blank_rows: bool = False, mixed: bool = False
    ) -> tuple[int, int, list[_Chunk | None], int, int] | None: ...

@disjoint_base
class CellStore:
    def __new__(cls, *_args: Any, **_kwargs: Any) -> Self: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...
    def __getitem__(self, key: tuple[int, int], /) -> Any: ...
    def __setitem__(self, key: tuple[int, int], value: Any, /) -> None: ...
    def __delitem__(self, key: tuple[int, int], /) -> None: ...
    def __iter__(self) -> Iterator[tuple[int, int]]: ...
    def __reversed__(self) -> Iterator[tuple[int, int]]: ...
    def get(self, key: tuple[int, int], default: Any = None) -> Any: ...
    def popitem(self) -> tuple[tuple[int, int], Any]: ...
    def clear(self) -> None: ...
    def _bounds(self) -> tuple[int, int, int, int] | None: ...
    def _in_dict_mode(self) -> bool: ...
    def _stats(self) -> tuple[int, int, int, int]: ...
    # The row's cells (or values), and whether any cell had to be created.
    def _row(self, row: int, min_col: int, max_col: int, values_only: bool) -> tuple[tuple[Any, ...], bool]: ...
    # The rows `_row` gives from min_row to max_row, each read under `guard` when asked for.
    def _rows(
        self, min_row: int, max_row: int, min_col: int, max_col: int, values_only: bool, guard: Any
    ) -> Iterator[tuple[Any, ...]]: ...
    # Formula cells give their text, or with `results` (date style ids, of_kept, of_cell) their
    # cached results, those the store does not type itself typed by of_kept or of_cell.
    def _columns(
        self, min_row: int, cells: int, blank_rows: bool = False, mixed: bool = False,
        results: tuple[Iterable[int], Callable[[Any, int | None], Any], Callable[[Any], Any]] | None = None,
    ) -> tuple[int, int, list[_Chunk | None], int, int]: ...
    # A structural edit (`spec()` of a quillfen.formula.shift edit): the keys of the cells whose
    # formula is left to Python and whether a formula changed, or NotImplemented in dict mode.
    def _edit(
        self, spec: tuple[Any, ...], host_edited: bool, translate: bool = False
    ) -> tuple[list[tuple[int, int]], bool]: ...
    # Appends a frame's rows (its names first with `header`) from a PyCapsule
    # "arrow_array_stream" as the cells appended rows of the same values make; the rows taken.
    # check(row, column, value) raises what appending an odd value raises; style_of("datetime" or
    # "date") gives the style id of dates. NativeFallback for what only Python reads.
    def _append_frame(
        self, stream: object, first_row: int, header: bool, check: Callable[[int, int, Any], object],
        style_of: Callable[[str], int], first_micros: int,
    ) -> int: ...
    # The keys of the cells whose formula is an object (array, data table), or NotImplemented.
    def _formula_objects(self) -> list[tuple[int, int]]: ...
    # Empties the store and makes it that of a worksheet made in memory, as a load without cells
    # leaves it: cells of `cell_cls`, styled from `cell_styles` (style id -> style array).
    def _start(self, ws: Any, cell_styles: Any, cell_cls: type) -> None: ...
    # A copy of the cells for another worksheet, or NotImplemented in dict mode.
    def _copy(self, ws: Any, /) -> CellStore: ...

@final
class SheetWriter:
    def __new__(cls, ws: Any, write: Callable[[Any], object], lxml: bool, helpers: WritingHelpers) -> Self: ...
    # Writes the whole <sheetData>; `rows_fallback()` gives (row index, cells) pairs for sheets
    # whose cells are not keyed by plain (row, column) ints.
    def write_sheet_data(self, rows_fallback: Callable[[], Iterable[tuple[Any, Iterable[Any]]]]) -> None: ...
    def write_row(self, cells: Iterable[Any], row_idx: int) -> None: ...
    def flush(self) -> None: ...
    # Writes a frame's rows from a PyCapsule "arrow_array_stream"; (rows written, columns).
    def write_frame(
        self, stream: object, first_row: int, header: bool, style_of: Callable[[str], str]
    ) -> tuple[int, int]: ...

# (kind, data, nulls) of a column handed to arrow_table.
_ArrowColumn = tuple[str, Any, Buffer | None]

def mixed_values(bits: bytes, classes: bytes, objects: list[Any]) -> list[Any]: ...
def arrow_table(
    names: list[str],
    columns: Iterable[_ArrowColumn],
    rows: int,
    batch_rows: int,
    dictionary: bool,
    text_of: Callable[[Any], str] | None = None,
) -> ArrowTable: ...
@final
class ArrowTable:
    @property
    def num_rows(self) -> int: ...
    @property
    def column_names(self) -> list[str]: ...
    @property
    def batch_rows(self) -> int: ...
    def __len__(self) -> int: ...
    def __arrow_c_stream__(self, requested_schema: object = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...
    @staticmethod
    def _live() -> int: ...

@final
class PartStream:
    def __new__(
        cls,
        fd: int,
        offset: int,
        compressed_size: int,
        size: int,
        crc: int,
        deflated: bool,
        name: str,
        bad_crc: type[BaseException],
        bad_data: type[BaseException],
    ) -> Self: ...
    def read(self, size: int | None = -1, /) -> bytes: ...
    def close(self) -> None: ...
    def readable(self) -> bool: ...
    def seekable(self) -> bool: ...
    # A callable for a thread of the caller's: it fills the part's blocks ahead of the reads.
    def producer(self) -> Callable[[], None]: ...
    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *_args: object) -> None: ...
