"""What a part's file object may return from read(), the same on every reading path, native and
pure-Python: bytes or any other bytes-like object, read alike; anything else, one TypeError."""

import array
import io

import pytest

from quillfen.model.cell import Cell, ReadOnlyCell
from quillfen.reader.helpers import reading_helpers
from quillfen.reader.prescan import _find_dimension, prescan_sheet
from quillfen.reader.sheet import ReaderSettings, WorksheetParser
from quillfen.reader.strings import read_string_table
from quillfen.model.styles import StyleArray

from support import MAIN, SheetOptions

SHEET = (f'<worksheet xmlns="{MAIN}"><dimension ref="A1:B2"/><sheetData><row r="1" ht="3">'
         '<c r="A1" s="1"><v>1.5</v></c><c r="B1" t="inlineStr"><is><t>caf\u00e9</t></is></c></row>'
         '</sheetData><mergeCells><mergeCell ref="A1:B1"/></mergeCells></worksheet>').encode()
STRINGS = f'<sst xmlns="{MAIN}"><si><t>a\u00e9</t></si><si><r><t>b</t></r></si></sst>'.encode()
HELPERS = reading_helpers()
STYLES = [StyleArray([0] * 9), StyleArray([1] * 9)]

KINDS = {
    "bytearray": bytearray,
    "memoryview": memoryview,
    "strided memoryview": lambda b: memoryview(bytes(x for c in b for x in (c, 0)))[::2],
    "array": lambda b: array.array("B", b),
    "bytes subclass": type("Bytes", (bytes,), {}),
}


class Source:
    """Serves `data` in small reads, each result made by `kind` from the bytes."""

    def __init__(self, data, kind):
        self.data, self.kind, self.at = data, kind, 0

    def read(self, n=-1):
        chunk = self.data[self.at:self.at + 7]
        self.at += len(chunk)
        return self.kind(chunk)


def paths(native):
    """Each reading entry point, as a function of a source factory, giving a comparable result."""
    def bind(source):
        store, actions = native.CellStore(), []
        native.bind_cells(source(SHEET), SheetOptions(), None, store, STYLES, Cell, HELPERS, actions)
        return [(key, store[key].value) for key in store], actions

    def row_reader(source):
        reader = native.RowReader(source(SHEET), SheetOptions(), HELPERS)
        rows = []
        while (row := reader.next_row(None, 1, None, True, ReadOnlyCell, None)) is not None:
            rows.append(row)
        return rows, reader.actions

    def pure_sheet(source):
        opts = SheetOptions()
        return list(WorksheetParser(source(SHEET), ReaderSettings.from_parser(opts), HELPERS, [], {}))

    return {
        "native strings": lambda source: native.read_string_table(source(STRINGS), HELPERS),
        "native dimension": lambda source: native.find_dimension(source(SHEET)),
        "native prescan": lambda source: native.prescan_sheet(source(SHEET), True, [(1, 1)], HELPERS),
        "native bind": bind,
        "native rows": row_reader,
        "pure strings": lambda source: read_string_table(source(STRINGS)),
        "pure prescan": lambda source: prescan_sheet(source(SHEET), True, [(1, 1)], HELPERS),
        "pure dimension": lambda source: _find_dimension(source(SHEET)),
        "pure sheet": pure_sheet,
    }


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_bytes_like_reads_alike(native, kind):
    for name, run in paths(native).items():
        assert run(lambda data: Source(data, KINDS[kind])) == run(io.BytesIO), name


@pytest.mark.parametrize("result, type_name", [("<a/>", "str"), (None, "NoneType"), ([60], "list")])
def test_anything_else_is_one_type_error(native, result, type_name):
    message = "read() returned a '%s' object, which is not a bytes-like object" % type_name
    for name, run in paths(native).items():
        try:
            run(lambda data: Source(data, lambda chunk: result))
        except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
            if name == "native rows":  # a read-only sheet hands every failure to the pure reader
                assert str(exc) == "native reader error: TypeError: " + message, name
            else:
                assert (type(exc), str(exc)) == (TypeError, message), name
        else:
            pytest.fail(name)
