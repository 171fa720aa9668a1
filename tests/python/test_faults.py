"""Every Python call that the reading entry points make into host objects (the source's read,
each helper, parser attributes, the cell class, cell_styles, shared strings) fails in turn, and
so does every allocation: no crash, no leaked reference, and the failure reaches the caller as
specified. (Style arrays are only type-checked and copied by array's own constructor: no call.)"""

import datetime
import io
import sys
import sysconfig
from decimal import Decimal

import pytest

from quillfen.model.cell import Cell, ReadOnlyCell
from quillfen.formula import Translator
from quillfen.reader.helpers import reading_helpers
from quillfen.model.styles import IndexedList, StyleArray
from quillfen.writer.sheet_data import writing_helpers

from faults import sweep
from support import MAIN, Book, Sheet, SheetOptions

# One cell per kind of helper call, two sheets' worth of rows, elements around the data.
SHEET = f"""<worksheet xmlns="{MAIN}"><sheetPr/><sheetData>
<row r="1" ht="20"><c r="A1"><v>+7</v></c><c r="B1"><v>1_0.5</v></c><c r="c1"><v>1</v></c>
<c r="D1" t="d"><v>2020-01-02T00:00:00</v></c><c r="E1" s="1"><v>99999999</v></c>
<c r="F1" s="2"><v>1.5</v></c><c r="G1"><f t="array" ref="G1">1+1</f><v>2</v></c>
<c r="H1"><f t="dataTable" ref="H1" dt2D="1"/><v>3</v></c>
<c r="I1" cm="1"><f t="shared" ref="I1:I2" si="0">ÄB1+A1</f><v>0</v></c><c r="J1" t="s" s="3"><v>1</v></c>
<c r="K1" t="inlineStr"><is><r><rPr><b/></rPr><t>x</t></r><r><t>y</t></r></is></c>
<c r="L1" t="inlineStr"><is><t>p</t><rPh><t>q</t></rPh></is></c></row>
<row r=" 2"><c r="I2" t="str"><f t="shared" si="0"/><v>x</v></c><c r="A2"><v>2</v></c><c r="B2" t="s" ph="1"><v>+2</v></c></row>
</sheetData><mergeCells><mergeCell ref="A1:B2"/></mergeCells></worksheet>""".encode()

# Formula errors end a sheet with the package's own exception, made by its helper.
TOKENIZER_ERROR = f"""<worksheet xmlns="{MAIN}"><sheetData><row r="1">
<c r="A1"><f t="shared" ref="A1:A2" si="0">"abc</f></c></row></sheetData></worksheet>""".encode()
TRANSLATOR_ERROR = f"""<worksheet xmlns="{MAIN}"><sheetData><row r="2">
<c r="A2"><f t="shared" ref="A1:A2" si="0">A1</f></c></row><row r="1"><c r="A1"><f t="shared" si="0"/></c></row>
</sheetData></worksheet>""".encode()

STRINGS = f"""<sst xmlns="{MAIN}"><si><t>plain</t></si><si><r><rPr><b/></rPr><t>rich</t></r></si>
<si><t>a</t><rPh><t>b</t></rPh></si><si><r><t>x</t></r><foo/></si></sst>""".encode()

STYLES = [StyleArray([i] * 9) for i in range(4)]
HELPER_NAMES = {"int", "float", "coordinate_to_tuple", "row_index", "from_excel", "from_ISO8601", "date_warning",
                "ArrayFormula", "DataTableFormula", "Translator", "Translator.translate_formula"}


class Keep:
    """The objects shared by every run of a sweep, whose reference counts must not move."""

    def __init__(self):
        self.helpers = reading_helpers()
        self.strings = ["zero", "one", "two"]
        self.options = SheetOptions(date_formats={1, 2}, timedelta_formats={2}, shared_strings=self.strings)
        self.ws = object()
        self.filler = object()

    def objects(self):
        return [self.helpers, self.strings, self.options, self.ws, self.filler, *self.helpers.values(), *STYLES]


class Kit:
    """The counted host objects of one sweep: their classes are made here, once per sweep (see
    faults.py); a run makes only instances."""

    def __init__(self, plan, keep):
        self.plan, self.keep = plan, keep
        self.helpers = {key: plan.iterable(value, key) if key.endswith("_dangerous") else plan.wrap(value, key)
                        for key, value in keep.helpers.items()}

        class CountedTranslator(Translator):
            def translate_formula(self, *args, **kwargs):
                plan.tick("Translator.translate_formula")
                return super().translate_formula(*args, **kwargs)
        self.helpers["Translator"] = plan.wrap(CountedTranslator, "Translator")

        class Strings(list):  # looked up through Python, not natively
            def __getitem__(self, i):
                plan.tick("shared_strings[]")
                return list.__getitem__(self, i)
        self.strings = Strings

        class Meta(type):
            def __getattribute__(cls, name):
                plan.tick("cell class." + name)
                return type.__getattribute__(cls, name)
        self.cell_cls = Meta("CountedCell", (Cell,), {"__slots__": ()})
        self.read_only_cell_cls = Meta("CountedReadOnlyCell", (ReadOnlyCell,), {"__slots__": ()})

        class CellStyles:
            def __len__(self):
                plan.tick("cell_styles.__len__")
                return len(STYLES)

            def __getitem__(self, i):
                plan.tick("cell_styles[]")
                return STYLES[i]
        self.styles = CellStyles()

    def parser(self, keep_cells=False):
        """Fresh parser options behind counted attribute reads; with `keep_cells` as a full load
        reads a sheet."""
        options = self.keep.options.fresh()
        options.shared_strings = self.strings(self.keep.strings)
        options.keep_cells = keep_cells
        if keep_cells:
            options.kept_styles = {3}  # J1's style id is kept
        return self.plan.attrs(options, "parser")


def unchanged(plan, exc):
    assert exc is plan.raised


def unchanged_or_wrapped(plan, exc):
    """RowReader: a fault while parsing asks for the pure-Python reader, one while converting
    a released row propagates as it is."""
    if exc is plan.raised:
        return
    assert type(exc).__name__ == "NativeFallback", repr(exc)
    assert exc.args == ("native reader error: Boom: %s" % plan.raised,)


def run_bind_cells(native, kit, data=SHEET):
    store, actions = native.CellStore(), []
    native.bind_cells(kit.plan.source(data), kit.parser(keep_cells=True), kit.keep.ws, store, kit.styles,
                      kit.cell_cls, kit.helpers, actions)
    cells = [(key, repr(store[key].value), store[key].data_type, repr(store[key]._loaded)) for key in list(store)]
    return cells, [a[0] for a in actions]


def run_store_columns(native, kit, data=SHEET):
    store = native.CellStore()
    native.bind_cells(kit.plan.source(data), kit.parser(), kit.keep.ws, store, kit.styles, kit.cell_cls,
                      kit.helpers, [])
    store[(1, 3)].value = "set after loading"  # a cell object among the records
    return repr(store._columns(1, 5))


def run_row_reader(native, kit, data=SHEET):
    reader = native.RowReader(kit.plan.source(data), kit.parser(), kit.helpers)
    rows, filler = [], kit.keep.filler
    while (row := reader.next_row(kit.keep.ws, 1, None, False, kit.read_only_cell_cls, filler)) is not None:
        rows.append((row[0], [repr(c.value) if c is not filler else None for c in row[1]]))
    while reader.next_raw() is not None:
        pass
    return rows, [a[0] for a in reader.actions]


def columns_of(reader):
    """Every batch of `RowReader.next_columns` (a few cells each), made comparable."""
    batches = []
    while (got := reader.next_columns(5)) is not None:
        batches.append(repr(got))
    return batches, [a[0] for a in reader.actions]


def run_row_columns(native, kit, data=SHEET):
    return columns_of(native.RowReader(kit.plan.source(data), kit.parser(), kit.helpers))


def run_string_table(native, kit):
    return native.read_string_table(kit.plan.source(STRINGS, 16), kit.helpers)


def run_prescan_and_dimension(native, kit):
    # Corners would have the cell tags scanned, and "c1" is the pure-Python path's.
    found = native.prescan_sheet(kit.plan.source(SHEET), True, kit.plan.iterable([], "corners"), kit.helpers)
    return found, native.find_dimension(kit.plan.source(SHEET, 7))


# Each entry point: its run, what a fault must become, and calls its clean run must make.
ENTRIES = {
    "bind_cells": (run_bind_cells, unchanged,
                   HELPER_NAMES | {"read", "parser.epoch", "parser.keep_cells", "parser.kept_styles", "cell_styles[]", "shared_strings[]",
                                   "cell class.parent", "kept_runs"}),
    "CellStore columns": (run_store_columns, unchanged,
                          HELPER_NAMES | {"read", "parser.epoch", "cell_styles[]", "shared_strings[]"}),
    "RowReader": (run_row_reader, unchanged_or_wrapped,
                  HELPER_NAMES | {"read", "parser.row_dimensions", "cell class.parent"}),
    "RowReader columns": (run_row_columns, unchanged_or_wrapped, HELPER_NAMES | {"read", "parser.row_dimensions"}),
    "read_string_table": (run_string_table, unchanged, {"read", "si_content", "text_dangerous", "rich_dangerous"}),
    "prescan_sheet": (run_prescan_and_dimension, unchanged, {"read", "row_index", "corners"}),
}


@pytest.fixture
def keep():
    return Keep()


def sweep_entry(native, keep, entry, *data):
    run, expect, _ = ENTRIES[entry]

    def setup(plan):
        kit = Kit(plan, keep)
        return lambda: run(native, kit, *data)
    return set(sweep(setup, expect, keep.objects()))


@pytest.mark.parametrize("entry", sorted(ENTRIES))
def test_every_host_call_fails_in_turn(native, keep, entry):
    assert sweep_entry(native, keep, entry) >= ENTRIES[entry][2]


@pytest.mark.parametrize("entry", ["bind_cells", "RowReader", "RowReader columns"])
def test_formula_errors_made_by_their_helpers(native, keep, entry):
    for data, helper in ((TOKENIZER_ERROR, "TokenizerError"), (TRANSLATOR_ERROR, "TranslatorError")):
        assert helper in sweep_entry(native, keep, entry, data)


# ---- allocation failures --------------------------------------------------------------------

def plain_runs(native):
    """Each reading entry point on plain host objects: as little Python code as may be runs
    while an allocation fails, since the interpreter's own failure paths are not all sound
    (dict.items() on a failed tuple allocation frees an iterator it never tracked)."""
    helpers = reading_helpers()

    def options(**kw):
        return SheetOptions(date_formats={1, 2}, timedelta_formats={2}, **kw)

    def bind():
        store, actions = native.CellStore(), []
        native.bind_cells(io.BytesIO(SHEET), options(keep_cells=True, kept_styles={3}), None, store, STYLES, Cell, helpers, actions)
        return [(key, repr(store[key].value), repr(store[key]._loaded)) for key in list(store)], len(actions)

    def store_columns():
        store = native.CellStore()
        native.bind_cells(io.BytesIO(SHEET), options(), None, store, STYLES, Cell, helpers, [])
        return repr(store._columns(1, 5))

    def row_reader():
        reader = native.RowReader(io.BytesIO(SHEET), options(), helpers)
        rows = []
        while (row := reader.next_row(None, 1, None, False, ReadOnlyCell, None)) is not None:
            rows.append(repr([c and c.value for c in row[1]]))
        return rows, len(reader.actions)

    return {
        "bind_cells": bind,
        "RowReader": row_reader,
        "CellStore columns": store_columns,
        "RowReader columns": lambda: columns_of(native.RowReader(io.BytesIO(SHEET), options(), helpers)),
        "read_string_table": lambda: native.read_string_table(io.BytesIO(STRINGS), helpers),
        "prescan_sheet": lambda: (native.prescan_sheet(io.BytesIO(SHEET), True, [], helpers),
                                  native.find_dimension(io.BytesIO(SHEET))),
    }


@pytest.mark.parametrize("entry", sorted(ENTRIES))
def test_a_failed_allocation_is_never_taken_for_the_input(native, entry, monkeypatch):
    # Each allocation in turn fails, until a long run of calls no longer meets the failure.
    # Out of memory is no property of the input: it must not become "unsupported" or
    # "malformed" (only RowReader hands every error to the pure-Python reader, as such).
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        # Its PyList_New leaves the new list's item pointer unset when allocating the items
        # fails, and then frees the list through it.
        pytest.skip("the free-threaded interpreter 3.14 crashes on a failed list allocation")
    testcapi = pytest.importorskip("_testcapi")
    # Failures met while freeing go to the interpreter's own report, not to pytest's hook,
    # whose Python code would run under the failing allocator.
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    call = plain_runs(native)[entry]
    want = call()
    clean, n = 0, 0
    while clean < 300:
        assert n < 100_000
        testcapi.set_nomemory(n, n + 1)
        try:
            got = call()
        except Exception as exc:  # noqa: BLE001 - the outcome is what is checked
            got = exc
        finally:
            testcapi.remove_mem_hooks()
        clean = clean + 1 if not isinstance(got, Exception) else 0
        if isinstance(got, native.NativeFallback):
            assert entry.startswith("RowReader") and got.args[0].startswith("native reader error: "), got
        elif not isinstance(got, Exception):
            assert got == want
        n += 1


# ---- the writer -----------------------------------------------------------------------------

# A loaded sheet for the writer's store path: a date, a shared string, a formula, styled cells.
STORED = f"""<worksheet xmlns="{MAIN}"><sheetData><row r="1"><c r="A1" s="1"><v>45000.5</v></c>
<c r="B1" t="s"><v>1</v></c><c r="C1"><f>A1*2</f><v>2</v></c><c r="D1" s="2"><v>3</v></c>
<c r="E1" t="str" vm="1"><f>"x"</f><v>x</v></c><c r="F1" s="0"/></row>
<row r="3"><c r="A3" t="b"><v>1</v></c><c r="B3" t="d"><v>2020-01-02T03:04:05</v></c></row>
</sheetData></worksheet>""".encode()


class WriterKit:
    """The counted host objects the writer calls: `write`, each helper it calls (safe_string it
    is given but never calls), the style-array class,
    the workbook's style list, the hyperlink list, row dimensions, the worksheet's and the
    workbook's attributes, and a cell class whose data type is a property."""

    def __init__(self, plan):
        self.plan = plan
        self.helpers = {key: plan.wrap(value, key) for key, value in writing_helpers(False).items()
                        if key != "StyleArray"}

        class Copied(type):  # the writer copies style arrays by calling their class
            def __call__(cls, *args):
                plan.tick("StyleArray")
                return super().__call__(*args)
        self.helpers["StyleArray"] = style_cls = Copied("CountedStyleArray", (StyleArray,), {"__slots__": ()})

        class Styles(IndexedList):
            def add(self, value):
                plan.tick("cell_styles.add")
                return super().add(value)

        class Links(list):
            def append(self, value):
                plan.tick("_hyperlinks.append")
                super().append(value)

        class Dims(dict):
            def get(self, *args):
                plan.tick("row_dimensions.get")
                return super().get(*args)

            def keys(self):
                plan.tick("row_dimensions.keys")
                return super().keys()

        def counted_attrs(cls, names, prefix):
            def __getattribute__(self, name):
                if name in names:
                    plan.tick(prefix + name)
                return object.__getattribute__(self, name)
            return type("Counted" + cls.__name__, (cls,), {"__getattribute__": __getattribute__})

        class ShownCell(Cell):
            __slots__ = ("_shown",)

            @property
            def data_type(self):
                plan.tick("cell.data_type")
                return self._shown

            @data_type.setter
            def data_type(self, value):
                self._shown = value

        self.styles = [style_cls([0, 0, 0, 14, 0, 0, 0, 0, 0]), style_cls([1] * 9)]
        self.book = counted_attrs(Book, {"_cell_styles", "epoch", "iso_dates"}, "book.")()
        self.book._cell_styles = Styles([StyleArray(), *self.styles])
        self.sheet_cls = counted_attrs(Sheet, {"parent", "_cells", "_hyperlinks", "row_dimensions"}, "ws.")
        self.links, self.dims, self.shown_cell = Links, Dims, ShownCell
        self.cells = None

    def sheet(self, native, stored):
        """A fresh worksheet: its loaded store, or cells of each kind the writer treats apart."""
        ws = self.sheet_cls(book=self.book, row_dimensions=self.dims({1: {"ht": "20"}, 2: {}}))
        ws._hyperlinks = self.links()
        if stored:
            ws._cells = native.CellStore()
            native.bind_cells(io.BytesIO(STORED), SheetOptions(date_formats={1}, keep_cells=True), ws, ws._cells,
                              self.book._cell_styles, Cell, reading_helpers(), [])
            return ws
        specs = [(7, None, None, None), (2.5, self.styles[1], None, None), ("text", None, None, "http://a"),
                 (True, None, "note", None), (datetime.datetime(2020, 1, 2), self.styles[0], None, None),
                 (Decimal("1.5"), None, None, None), ("=A1", None, None, None)]
        for column, (value, style, comment, link) in enumerate(specs, 1):
            cell = (self.shown_cell if column == 7 else Cell)(ws, 1, column, value)
            cell._style, cell._comment, cell._hyperlink = style, comment, link
            ws._cells[(1, column)] = cell
        return ws


def run_sheet_writer(native, kit, stored, fallback=False):
    ws = kit.sheet(native, stored)
    if fallback:
        ws._cells["odd"] = ws._cells.pop((1, 4))  # a key no row and column: rows_fallback decides
    out = []
    writer = native.SheetWriter(ws, kit.plan.wrap(out.append, "write"), False, kit.helpers)
    writer.write_sheet_data(kit.plan.wrap(lambda: rows_of(ws), "rows_fallback"))
    writer.write_row(kit.plan.iterable([ws._cells[key] for key in list(ws._cells)[:3]], "cells"), 40)
    writer.flush()
    return out, len(ws._hyperlinks), getattr(ws, "_comments", None)


def rows_of(ws):
    yield 1, [cell for key, cell in ws._cells.items() if key != "odd"]
    yield 2, [ws._cells["odd"]]


WRITERS = {
    "cells": (dict(stored=False), {"write", "write_cell", "add_comment",
                                   "cell_styles.add", "_hyperlinks.append", "row_dimensions.get",
                                   "row_dimensions.keys", "cell.data_type", "ws.parent", "book.epoch", "cells"}),
    "store": (dict(stored=True), {"write", "StyleArray", "cell_styles.add", "row_dimensions.get", "ws._cells",
                                  "date_value", "date_value_raw"}),
    "fallback": (dict(stored=False, fallback=True), {"rows_fallback", "write_cell"}),
}


@pytest.mark.parametrize("entry", sorted(WRITERS))
def test_every_writer_call_fails_in_turn(native, entry):
    options, expected = WRITERS[entry]
    keep = [*writing_helpers(False).values()]

    def setup(plan):
        kit = WriterKit(plan)
        plan.reset(0)  # what making the kit called does not count
        return lambda: run_sheet_writer(native, kit, **options)
    assert set(sweep(setup, unchanged, keep)) >= expected
