"""Shared test fixtures that are plain code: chunked sources and sheet-reader options."""

import contextlib
import datetime
import io
import os
import random
import shutil
import subprocess
import xml.etree.ElementTree as ET

from quillfen.utils.cells import coordinate_of
from quillfen.utils.datetime import WINDOWS_EPOCH

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


@contextlib.contextmanager
def environment(**variables):
    """The environment variables set (None: unset) for the block, restored afterwards."""
    def put(values):
        for name, value in values.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value

    saved = {name: os.environ.get(name) for name in variables}
    try:
        put(variables)
        yield
    finally:
        put(saved)


class Pieces(io.RawIOBase):
    """A binary file object that ignores the requested size and returns the next of `sizes`
    bytes per read (cycling): tokens, references and captures then straddle reads."""

    def __init__(self, data: bytes, sizes=(65536,)):
        self.data, self.at, self.sizes, self.calls = data, 0, list(sizes), 0

    def readable(self):
        return True

    def read(self, n=-1):
        size = self.sizes[self.calls % len(self.sizes)]
        self.calls += 1
        chunk = self.data[self.at:self.at + size]
        self.at += len(chunk)
        return chunk


def cuts(data: bytes, whole_reads=True):
    """The same document as one read, one byte per read, random small pieces and (with
    `whole_reads`) 65536-byte reads."""
    rng = random.Random(len(data))
    sources = [io.BytesIO(data), Pieces(data, [1]), Pieces(data, [rng.randint(1, 17) for _ in range(50)])]
    if whole_reads:
        sources.append(Pieces(data, [65536]))
    return sources


class SheetOptions:
    """The parser object the sheet readers are given (style 1 is a date, style 2 a duration)."""

    def __init__(self, **kw):
        self.epoch = WINDOWS_EPOCH
        self.shared_strings = ["zero", "one", "two"]
        self.data_only = False
        self.rich_text = False
        self.formula_and_value = False
        self.date_formats = {1, 2}
        self.timedelta_formats = {2}
        self.row_dimensions = {}
        self.__dict__.update(kw)

    def fresh(self):
        return SheetOptions(**{k: v for k, v in self.__dict__.items() if k != "row_dimensions"})


_DATES = (datetime.datetime, datetime.date, datetime.time, datetime.timedelta)


def set_value(cell, value):
    """`cell.value = value`. The writers must cope with values the model refuses on assignment,
    as a loaded or otherwise odd cell may hold one: such a value is stored as a loader would."""
    try:
        cell.value = value
    except (TypeError, ValueError):
        cell._value = value
        cell.data_type = "d" if isinstance(value, _DATES) else "s" if isinstance(value, str) else "n"


class Book:
    """The workbook attributes the sheet writers read."""

    def __init__(self, styles=(), epoch=WINDOWS_EPOCH, iso_dates=False):
        from quillfen.model.styles import IndexedList, StyleArray

        self._cell_styles = IndexedList([StyleArray(), *styles])
        self.epoch = epoch
        self.iso_dates = iso_dates


class Sheet:
    """The worksheet attributes the sheet writers read, around a cell mapping."""

    def __init__(self, cells=None, row_dimensions=None, book=None):
        self.parent = Book() if book is None else book
        self.title = "Sheet"
        self._cells = {} if cells is None else cells
        self.row_dimensions = {} if row_dimensions is None else row_dimensions
        self._hyperlinks = []

    def put(self, row, column, value=None, style=None, data_type=None):
        """A cell assigned like `cell.value = value`, optionally with a style array and an
        explicit data type, stored under its key."""
        from quillfen.model.cell import Cell

        cell = Cell(self, row, column)
        set_value(cell, value)
        if data_type is not None:
            cell.data_type = data_type
        cell._style = style
        self._cells[(row, column)] = cell
        return cell


def pure_path(pure):
    """The pure-Python path (`pure`), or the engine's, for what runs inside."""
    return environment(QUILLFEN_PURE_PYTHON="1" if pure else "0")


def count_part_reads(monkeypatch):
    """Counts the bytes read from worksheet parts from now on: a list of read sizes."""
    import quillfen.reader.worksheet as reader

    opened = reader._open_part
    sizes = []

    def counting(ws):
        open_part = opened(ws)

        def open_counted():
            source = open_part()
            read = source.read
            source.read = lambda n=-1: sizes.append(len(chunk := read(n))) or chunk
            return source
        return open_counted

    monkeypatch.setattr(reader, "_open_part", counting)
    return sizes


def soffice_convert(folder, fmt, out, *paths):
    """Converts `paths` with headless LibreOffice to `fmt` into the folder `out`, with a profile
    of its own under `folder`; skips the test when LibreOffice is not installed. A sanitizer
    preloaded into the tests' interpreter is not handed on: LibreOffice would run under it."""
    import pytest

    soffice = shutil.which("soffice")
    if soffice is None:
        pytest.skip("LibreOffice is not installed (scripts/bootstrap.sh installs it)")
    env = {key: value for key, value in os.environ.items()
           if key != "LD_PRELOAD" and not key.startswith(("ASAN_", "UBSAN_", "LSAN_"))}
    env.update(LC_ALL="C.UTF-8", LANG="C.UTF-8", HOME=str(folder))
    subprocess.run([soffice, "-env:UserInstallation=file://%s" % (folder / "profile"), "--headless", "--norestore",
                    "--convert-to", fmt, "--outdir", str(out), *map(str, paths)],
                   check=True, capture_output=True, env=env, timeout=300)


# Namespaces of the flat OpenDocument files LibreOffice converts workbooks to, and their names.
ODF_NS = {"table": "urn:oasis:names:tc:opendocument:xmlns:table:1.0",
          "office": "urn:oasis:names:tc:opendocument:xmlns:office:1.0",
          "text": "urn:oasis:names:tc:opendocument:xmlns:text:1.0"}


def odf(prefix, name):
    return "{%s}%s" % (ODF_NS[prefix], name)


def _paragraph(p):
    """The text of a paragraph, with its runs of spaces, tabs and line breaks."""
    parts = [p.text or ""]
    for child in p:
        if child.tag == odf("text", "s"):
            parts.append(" " * int(child.get(odf("text", "c"), "1")))
        elif child.tag == odf("text", "tab"):
            parts.append("\t")
        elif child.tag == odf("text", "line-break"):
            parts.append("\n")
        else:
            parts.append(_paragraph(child))
        parts.append(child.tail or "")
    return "".join(parts)


_ROW_GROUPS = ("table-header-rows", "table-rows", "table-row-group")


def _rows(node):
    """The rows of a sheet's table, in order, through the groups that hold them (charts and
    other objects drawn on the sheet hold tables of their own, which are not its rows)."""
    for child in node:
        if child.tag == odf("table", "table-row"):
            yield child
        elif child.tag in [odf("table", group) for group in _ROW_GROUPS]:
            yield from _rows(child)


def fods_cells(path, formulas=True):
    """{sheet: {coordinate: (value type, value, shown text)}} of a flat OpenDocument file
    LibreOffice wrote; without `formulas`, the cells that hold a formula are left out."""
    sheets = {}
    root = ET.parse(path).getroot()
    body = root.find("%s/%s" % (odf("office", "body"), odf("office", "spreadsheet")))
    for table in body.findall(odf("table", "table")) if body is not None else ():
        cells = sheets[table.get(odf("table", "name"))] = {}
        row = 0
        for row_el in _rows(table):
            rows = int(row_el.get(odf("table", "number-rows-repeated"), "1"))
            column = 0
            for cell in row_el:
                repeat = int(cell.get(odf("table", "number-columns-repeated"), "1"))
                kind = cell.get(odf("office", "value-type"))
                if kind is not None and (formulas or cell.get(odf("table", "formula")) is None):
                    value = {"float": cell.get(odf("office", "value")),
                             "percentage": cell.get(odf("office", "value")),
                             "currency": cell.get(odf("office", "value")),
                             "date": cell.get(odf("office", "date-value")),
                             "time": cell.get(odf("office", "time-value")),
                             "boolean": cell.get(odf("office", "boolean-value")),
                             }.get(kind)
                    shown = "\n".join(_paragraph(p) for p in cell.findall(odf("text", "p")))
                    if kind == "string":
                        value = shown
                    elif kind in ("float", "percentage", "currency"):
                        value = float(value)
                    elif kind == "boolean":
                        value = value == "true"
                    # Alike cells side by side (or rows alike) are written once, repeated.
                    for extra_row in range(rows):
                        for extra in range(repeat):
                            cells[coordinate_of(row + extra_row + 1, column + extra + 1)] = (kind, value, shown)
                column += repeat
            row += rows
    return sheets
