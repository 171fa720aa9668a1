"""Many workbooks as one Dask DataFrame: `read_excel(paths_or_glob, ...)`.

Each partition is one sheet of one workbook (or `rows_per_partition` rows of it), read on a
worker through the sheet's Arrow stream (`Worksheet.to_arrow`) into a pandas frame of Arrow-backed
columns, so that a column keeps its type whether a partition has missing values or not. The
schema comes from the first partition, or from `meta`; a partition whose columns do not match it
fails naming its file and sheet (columns that only lack values, or ints where the schema has
floats, are converted).

The same call serves a cluster: the workers need quillfen installed, and the paths may be any
URL fsspec opens (`s3://bucket/*.xlsx` with `storage_options`), read by the worker that runs the
partition. Needs the extra: `pip install "quillfen[dask]"`.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

__all__ = ["read_excel"]


class _Part:
    """What a partition reads: a file (an fsspec OpenFile), a sheet, and which of its rows."""

    __slots__ = ("file", "sheet", "index", "rows")

    def __init__(self, file: Any, sheet: str, index: int, rows: int | None) -> None:
        self.file, self.sheet, self.index, self.rows = file, sheet, index, rows

    def where(self) -> str:
        return "%s, sheet %r" % (self.file.path, self.sheet)


def read_excel(paths: str | Sequence[str], sheet: str | int | None = None, header: bool = True, *,
               meta: Any = None, rows_per_partition: int | None = None,
               storage_options: Mapping[str, Any] | None = None, **options: Any) -> dask.dataframe.DataFrame:
    """The sheets of many workbooks as one `dask.dataframe.DataFrame`.

    `paths` is a path, a glob ("data/*.xlsx") or a list of them, local or any fsspec URL.
    `sheet` names the sheet (or gives its 0-based index) to read in every workbook; None reads
    every worksheet. `rows_per_partition` splits a sheet into partitions of that many rows.
    `header` and the other options (`header_row`, `skip_rows`, `columns`, `nrows`, `dtypes`,
    `formulas`, `skip_blank_rows`) are those of `Worksheet.to_arrow`. `meta` (a pandas frame or
    an Arrow schema) gives the schema instead of the first partition."""
    import dask.dataframe as dd
    import fsspec
    import pyarrow as pa

    files = fsspec.open_files(paths, mode="rb", **dict(storage_options or {}))
    if not files:
        raise FileNotFoundError("no workbook matches %r" % (paths,))
    if rows_per_partition is not None and (not isinstance(rows_per_partition, int) or rows_per_partition < 1):
        raise ValueError("rows_per_partition must be a positive int, not %r" % (rows_per_partition,))
    options = dict(options, header=header)
    parts = [part for file in files for part in _parts(file, sheet, rows_per_partition, options)]
    if meta is None:
        schema = _read(parts[0], None, options).schema
    else:
        schema = meta if isinstance(meta, pa.Schema) else pa.Schema.from_pandas(meta, preserve_index=False)
    empty = _to_pandas(schema.empty_table())
    frame: dask.dataframe.DataFrame = dd.from_map(  # type: ignore[no-untyped-call]
        _Reader(schema, options), parts, meta=empty, label="read-excel", enforce_metadata=False)
    return frame


class _Reader:
    """The partition function: a pandas frame of one part, in the schema's columns."""

    def __init__(self, schema: Any, options: dict[str, Any]) -> None:
        self.schema, self.options = schema, options

    def __call__(self, part: _Part) -> pandas.DataFrame:
        return _to_pandas(_read(part, self.schema, self.options))


def _parts(file: Any, sheet: str | int | None, rows: int | None, options: dict[str, Any]) -> list[_Part]:
    """The partitions of one workbook: its sheets, each split by `rows` rows when asked."""
    from . import load_workbook

    with file as f, load_workbook(f, read_only=True) as wb:
        if sheet is None:
            titles = [ws.title for ws in wb.worksheets]
        elif isinstance(sheet, int):
            titles = [wb.worksheets[sheet].title]
        else:
            titles = [wb[sheet].title]
        extents = {title: wb[title].max_row for title in titles} if rows else {}
    if not rows:
        return [_Part(file, title, 0, None) for title in titles]
    # The sheet's declared extent tells how many partitions it makes; those past its data are empty.
    return [_Part(file, title, i, rows) for title in titles for i in range(max(1, math.ceil(extents[title] / rows)))]


def _read(part: _Part, schema: Any, options: dict[str, Any]) -> Any:
    """The part's rows as a pyarrow Table, in `schema` when given."""
    import pyarrow as pa

    from . import load_workbook

    options = dict(options)
    if part.rows is not None:
        # Rows before the part are read again and passed over: a part stops reading at its end.
        wanted = part.rows * (part.index + 1)
        options["nrows"] = wanted if options.get("nrows") is None else min(options["nrows"], wanted)
    with part.file as f, load_workbook(f, read_only=True) as wb:
        table = pa.table(wb[part.sheet].to_arrow(dictionary=False, **options))
    if part.rows is not None:
        table = table.slice(part.rows * part.index)
    if schema is None or table.schema == schema:
        return table
    if table.column_names != schema.names:
        raise ValueError("%s: columns %s do not match the first partition's %s"
                         % (part.where(), table.column_names, schema.names))
    try:
        return table.cast(schema)
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as exc:
        raise ValueError("%s: column types %s do not match the first partition's %s (%s)"
                         % (part.where(), table.schema.types, schema.types, exc)) from None


def _to_pandas(table: Any) -> pandas.DataFrame:
    import pandas as pd

    frame: pandas.DataFrame = table.to_pandas(types_mapper=pd.ArrowDtype)
    return frame
