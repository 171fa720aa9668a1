"""The native SheetWriter against the pure-Python writer: the same text handed to `write` in the
same pieces, the same errors and side effects, for generated worksheets in both modes; then
what only the native class has (borrows, style-id caching, errors of its callables, leaks)."""

import datetime as dt
import enum
import gc
import io
import sys
import threading
import time
import warnings
from decimal import Decimal
from functools import partial

import pytest
from hypothesis import given, settings, strategies as st

from quillfen.model.cell import Cell
from quillfen.formula import ArrayFormula, DataTableFormula
from quillfen.reader.helpers import reading_helpers
from quillfen.model.richtext import CellRichText, InlineFont, TextBlock
from quillfen.model.styles import IndexedList, StyleArray
from quillfen.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from quillfen.writer import sheet_data
from quillfen.writer.sheet_data import PureSheetWriter, rows, writing_helpers

from support import Book, Sheet, set_value
from test_bind_cells import bind_options, sheets

# Styles of every sheet here: 1 a date format, 3 a duration (as bind_options says), 2 plain.
STYLES = [StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0]), StyleArray([1] * 9), StyleArray([0, 0, 0, 46, 0, 0, 0, 0, 0])]


class Level(enum.IntEnum):
    HIGH = 3


class Ratio(float):
    pass


class Name(str):
    pass


class ShownCell(Cell):
    """A cell class whose data type is a property: read through getattr, not as a slot."""

    __slots__ = ("_shown",)

    @property
    def data_type(self):
        return self._shown

    @data_type.setter
    def data_type(self, value):
        self._shown = value


class OwnStyle(StyleArray):
    """A style array of another class: asked through any() and never cached by its ints."""

    __slots__ = ()


# -- generated cells --

XML_CHARS = st.characters(codec="utf-8", exclude_categories=("Cs", "Cc"), include_characters="\t\n\r")
TEXTS = st.one_of(
    st.text(XML_CHARS, max_size=12),
    st.sampled_from(["", " x", "x ", "\u3000 ", "  ", "a\tb\nc\rd", "=SUM(A1:B2)", "=", "=\u00e9", "<&>\"'",
                     "\U0001F600", "#N/A"]),
)
VALUES = st.one_of(
    st.none(), st.booleans(), TEXTS,
    st.integers(-(2**63), 2**63 - 1), st.sampled_from([2**63, -(2**70), Level.HIGH]),
    st.floats(), st.sampled_from([0.1 + 0.2, -0.0, 1e16, 1e-05, Ratio(2.5)]),
    st.datetimes(dt.datetime(1899, 12, 30), dt.datetime(9999, 12, 31)), st.times(), st.dates(),
    st.sampled_from([dt.timedelta(days=1, hours=6), Decimal("1.10"), Decimal("NaN"), Name("sub"),
                     ArrayFormula("A1:A2", "=B1*2"), DataTableFormula(ref="A1:B2", dt2D=True),
                     CellRichText(["a ", TextBlock(InlineFont(b=True), "b")])]),
)
# What the writers refuse, alike: text XML cannot hold, values that cannot be written.
BAD_VALUES = st.sampled_from(["x\x01", "\ufffe", "=A1&\"\uffff\"", "\ud800", [1]])
DATA_TYPES = st.sampled_from([None] * 6 + ["n", "s", "f", "b", "e", "d", "str", "inlineStr", ""])
STYLE_CHOICES = st.sampled_from([None, None, None, 0, 1, 2, 3, "own", "short"])


def style_of(choice):
    """A fresh style array for one sheet (the two sheets compared never share one)."""
    if choice is None:
        return None
    if choice == "own":
        return OwnStyle([0, 1, 0, 0, 0, 0, 0, 0, 0])
    if choice == "short":
        return StyleArray([0, 2, 0])
    return StyleArray(([StyleArray()] + STYLES)[choice])


cell_specs = st.tuples(VALUES, DATA_TYPES, STYLE_CHOICES, st.sampled_from([None, None, "note", ""]),
                       st.sampled_from([None, None, "http://a", ""]))
odd_specs = st.one_of(cell_specs, cell_specs, cell_specs,
                      st.tuples(BAD_VALUES, DATA_TYPES, STYLE_CHOICES, st.none(), st.none()),
                      st.tuples(VALUES, st.sampled_from(["x\x02", 5]), st.none(), st.none(), st.none()))


def place(ws, row, column, spec, key=None, cls=Cell):
    value, data_type, style, comment, link = spec
    cell = cls(ws, row, column)
    set_value(cell, value)
    if data_type is not None:
        cell.data_type = data_type
    cell._style = style_of(style)
    cell._comment = comment
    cell._hyperlink = link
    ws._cells[(row, column) if key is None else key] = cell
    return cell


GOOD_DIMS = st.sampled_from([{}, {"ht": "20", "customHeight": "1"}, {"r": "7", "spans": "1:3"}, {"x": "\u00e9\t<"}])
ROW_DIMS = st.dictionaries(st.integers(0, 12), GOOD_DIMS, max_size=3)
BAD_DIMS = st.sampled_from([{"hidden": "1\x03"}, {"{urn:x}dy": "1"}, {"ht": 20}])


# Cells at odd places: coordinates the engine hands to write_cell, and keys it does not take.
ODD_PLACES = st.sampled_from([(1, 1, None), (0, 1, None), (5, 18278, None), (5, 18279, None), (2**40, 2, None),
                              (3, 2, (3.0, 2)), (4, 1, (True, 1))])


@st.composite
def plans(draw):
    """What a worksheet is made of; made twice, once for each writer."""
    return {
        "cells": draw(st.dictionaries(st.tuples(st.integers(1, 12), st.integers(1, 8)), cell_specs, max_size=14)),
        "odd": draw(st.lists(st.tuples(ODD_PLACES, odd_specs), max_size=1)),
        "dims": {**draw(ROW_DIMS), **draw(st.dictionaries(st.integers(0, 12), BAD_DIMS, max_size=1))}
        if draw(st.integers(0, 9)) == 0 else draw(ROW_DIMS),
        # Text enough to cross the hand-off threshold once or twice.
        "bulk": draw(st.sampled_from([0, 0, 0, 0, 3, 6])),
        "epoch": draw(st.sampled_from([WINDOWS_EPOCH, MAC_EPOCH])),
        "iso": draw(st.booleans()),
    }


def dict_sheet(plan):
    ws = Sheet(row_dimensions=dict(plan["dims"]), book=Book(STYLES, plan["epoch"], plan["iso"]))
    for (row, column), spec in plan["cells"].items():
        place(ws, row, column, spec, cls=ShownCell if (row + column) % 5 == 0 else Cell)
    for (row, column, key), spec in plan["odd"]:
        place(ws, row, column, spec, key)
    for i in range(plan["bulk"]):
        place(ws, 100 + i, 1, ("y" * 400_000, None, None, None, None))
    return ws


EDITS = st.lists(st.one_of(
    st.tuples(st.just("set"), st.integers(1, 30), st.integers(1, 30), cell_specs),
    st.tuples(st.just("del"), st.integers(1, 30), st.integers(1, 30)),
    st.tuples(st.just("get"), st.integers(1, 30), st.integers(1, 30)),
    st.tuples(st.just("row"), st.integers(1, 30), st.booleans()),
    st.tuples(st.just("odd"), cell_specs),
    st.tuples(st.just("set"), st.integers(1, 30), st.integers(1, 30), odd_specs),
), max_size=6)


def loaded_sheet(data, edits, plan, **options):
    """A worksheet whose cells were loaded into a CellStore, then edited."""
    from quillfen import _quillfen as native

    ws = Sheet(row_dimensions=dict(plan["dims"]), book=Book(STYLES, plan["epoch"], plan["iso"]))
    store = native.CellStore()
    native.bind_cells(io.BytesIO(data), bind_options(**options), ws, store, ws.parent._cell_styles, Cell,
                      reading_helpers(), [])
    ws._cells = store
    for edit in edits:
        kind = edit[0]
        if kind == "set":
            place(ws, edit[1], edit[2], edit[3])
        elif kind == "del" and (edit[1], edit[2]) in store:
            del store[(edit[1], edit[2])]
        elif kind == "get":
            store.get((edit[1], edit[2]))
        elif kind == "row":
            store._row(edit[1], 1, 4, edit[2])
        elif kind == "odd":
            place(ws, -1, 1, edit[1])  # a key the store cannot keep compact: dict mode
    return ws


def outcome(ws, lxml, native):
    """Everything a whole-sheet write leaves behind."""
    out = []
    try:
        if native:
            writer = native.SheetWriter(ws, out.append, lxml, writing_helpers(lxml))
        else:
            writer = PureSheetWriter(ws, out.append, lxml)
        writer.write_sheet_data(partial(rows, ws))
        error = None
    except Exception as exc:  # noqa: BLE001 - the two writers must fail alike
        error = (type(exc), str(exc))
    return out, error, ws._hyperlinks, getattr(ws, "_comments", None), list(ws.parent._cell_styles)


def assert_same(native, make, lxml):
    try:
        got = outcome(make(), lxml, native)
    except native.NativeFallback:
        return
    if got[1] is not None and got[1][0] is native.NativeFallback:
        assert got[0] == [], "a fallback after text was handed over"
        return
    want = outcome(make(), lxml, None)
    assert got[1] == want[1]
    assert got[0] == want[0]
    assert got[2:] == want[2:]


@given(plan=plans(), lxml=st.booleans())
def test_dict_sheets(native, plan, lxml):
    assert_same(native, lambda: dict_sheet(plan), lxml)


@given(data=sheets(), edits=EDITS, plan=plans(), lxml=st.booleans())
def test_loaded_and_edited_stores(native, data, edits, plan, lxml):
    plan = dict(plan, bulk=0)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            loaded_sheet(data, [], plan)
    except Exception:  # noqa: BLE001 - sheets the store does not take are not written from one
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert_same(native, lambda: loaded_sheet(data, edits, plan), lxml)


@given(rows_=st.lists(st.tuples(st.integers(-3, 2**40), st.lists(cell_specs, max_size=4)), max_size=5),
       dims=ROW_DIMS, lxml=st.booleans(), big=st.booleans())
@settings(max_examples=100)
def test_write_only_rows(native, rows_, dims, lxml, big):
    def run(writer_cls):
        ws = Sheet(row_dimensions=dict(dims), book=Book(STYLES))
        out = []
        writer = writer_cls(ws, out.append, lxml)
        try:
            for row, specs in rows_:
                cells = [place(ws, row, column, spec) for column, spec in enumerate(specs, 1)]
                if big:
                    cells.append(place(ws, row, 9, ("z" * 700_000, None, None, None, None)))
                writer.write_row(cells, row)
            writer.flush()
            error = None
        except Exception as exc:  # noqa: BLE001
            error = (type(exc), str(exc))
        return out, error, ws._hyperlinks, getattr(ws, "_comments", None)

    assert run(lambda ws, write, lx: native.SheetWriter(ws, write, lx, writing_helpers(lx))) == run(PureSheetWriter)


# -- the entry points --

def test_entry_points_fall_back_and_honour_the_switch(native, monkeypatch):
    data = b'<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>' \
           b'<row r="1"><c r="A1"><v>1</v></c></row></sheetData></worksheet>'
    plan = {"dims": {2**64: {"ht": "3"}}, "epoch": WINDOWS_EPOCH, "iso": False}
    ws = loaded_sheet(data, [], plan)
    with pytest.raises(native.NativeFallback, match="^row dimension keys$"):
        native.SheetWriter(ws, [].append, False, writing_helpers(False)).write_sheet_data(partial(rows, ws))
    out = []
    sheet_data.write_sheet_data(ws, out.append, False)  # handed to the pure-Python writer
    assert out == ['<sheetData><row r="1"><c r="A1" t="n"><v>1</v></c></row>'
                   '<row r="18446744073709551616" ht="3"></row></sheetData>']
    assert isinstance(sheet_data.sheet_writer(ws, out.append, True), native.SheetWriter)
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1")
    assert isinstance(sheet_data.sheet_writer(ws, out.append, True), PureSheetWriter)


# -- what only the native writer has --

def writer_for(native, ws, write=None, lxml=False, **helpers):
    return native.SheetWriter(ws, write or [].append, lxml, {**writing_helpers(lxml), **helpers})


def test_arguments_and_construction_errors(native):
    ws = Sheet()
    with pytest.raises(TypeError, match="'lxml'"):
        native.SheetWriter(ws, print, 1, writing_helpers(False))
    with pytest.raises(TypeError, match="'helpers'"):
        native.SheetWriter(ws, print, False, list(writing_helpers(False).items()))
    helpers = dict(writing_helpers(False))
    del helpers["safe_string"]
    with pytest.raises(TypeError, match="^missing helper safe_string$"):
        native.SheetWriter(ws, print, False, helpers)
    del ws._hyperlinks
    with pytest.raises(AttributeError):
        native.SheetWriter(ws, print, False, writing_helpers(False))
    with pytest.raises(OverflowError, match="row_idx"):
        writer_for(native, Sheet()).write_row([], 2**63)


def test_re_entry_is_refused_and_other_threads_wait(native):
    ws = Sheet()
    place(ws, 1, 1, (1, None, None, None, None))
    seen = []

    def write(text):
        seen.append(text)
        for call in (writer.flush, lambda: writer.write_row([], 1)):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                call()
        if not other.is_alive():
            other.start()
            time.sleep(0.05)
        seen.append("written")

    # The other thread's call waits for the running one to end, then succeeds.
    other = threading.Thread(target=lambda: (writer.write_row([], 7), writer.flush()))
    writer = writer_for(native, ws, write)
    writer.write_sheet_data(partial(rows, ws))
    other.join()
    assert seen[1:] == ["written", '<row r="7"></row>', "written"]


def test_the_store_may_be_used_by_callbacks(native):
    data = b'<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>' \
           b'<row r="1"><c r="A1" s="2"><v>1</v></c><c r="B1" t="s"><v>0</v></c><c r="C1"><v>3</v></c></row>' \
           b'<row r="2"><c r="A2"><v>4</v></c></row></sheetData></worksheet>'
    # A shared string with a character XML cannot hold: written by write_cell.
    ws = loaded_sheet(data, [], {"dims": {}, "epoch": WINDOWS_EPOCH, "iso": False}, shared_strings=["x\x01"])
    store = ws._cells

    def write_cell(ws_, cell, styled):
        # The store is free while the writer's callbacks run: they may even remove a cell
        # not yet written.
        assert cell.value == "x\x01" and store[(1, 3)].value == 3
        del store[(2, 1)]
        return '<c r="B1">odd</c>'
    out = []
    writer_for(native, ws, out.append, write_cell=write_cell).write_sheet_data(partial(rows, ws))
    assert out == ['<sheetData><row r="1"><c r="A1" s="2" t="n"><v>1</v></c><c r="B1">odd</c>'
                   '<c r="C1" t="n"><v>3</v></c></row></sheetData>']


def test_style_ids_are_asked_once_per_style(native):
    class Counting(IndexedList):
        calls = 0

        def add(self, value):
            Counting.calls += 1
            return super().add(value)
    ws = Sheet()
    ws.parent._cell_styles = Counting([StyleArray()])
    for column in range(1, 5):
        place(ws, 1, column, (column, None, 2, None, None))
    place(ws, 2, 1, (1, None, "own", None, None))
    place(ws, 2, 2, (1, None, "own", None, None))
    out = []
    writer_for(native, ws, out.append).write_sheet_data(partial(rows, ws))
    assert Counting.calls == 3  # the cached style once, the uncached class per cell
    assert out[0].count(' s="1"') == 4 and out[0].count(' s="2"') == 2


def test_errors_of_the_callables_propagate(native):
    ws = Sheet()
    place(ws, 1, 1, (Decimal(1), "n", None, None, None))
    failures = iter([OSError("disk full")])

    def write(text):
        exc = next(failures, None)
        if exc:
            raise exc
        out.append(text)
    out = []
    writer = writer_for(native, ws, write)
    with pytest.raises(OSError, match="disk full"):
        writer.write_sheet_data(partial(rows, ws))
    writer.flush()  # the text stays until `write` takes it
    assert out == ['<sheetData><row r="1"><c r="A1" t="n"><v>1</v></c></row></sheetData>']
    for helpers, error in [({"write_cell": lambda *a: b"<c/>"}, TypeError),
                           ({"write_cell": lambda *a: 1 / 0}, ZeroDivisionError),
                           ({"date_value": lambda *a: 5}, TypeError)]:
        ws = Sheet()
        place(ws, 1, 1, (dt.date(2020, 1, 1), None, None, None, None))
        place(ws, 1, 2, ([], "n", None, None, None))
        with pytest.raises(error):
            writer_for(native, ws, **helpers).write_sheet_data(partial(rows, ws))
    ws = Sheet()
    place(ws, 1, 1, (Decimal(1), "n", None, None, None))
    with pytest.raises(TypeError, match="^write_cell\\(\\) must return bytes, not str$"):
        writer_for(native, ws, lxml=True, write_cell=lambda *a: "<c/>").write_row([ws._cells[(1, 1)]], 1)


def test_no_references_leak(native):
    data = b'<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>' \
           b'<row r="1"><c r="A1" s="1"><v>45000.5</v></c><c r="B1" t="s"><v>1</v></c><c r="C1"><f>A1</f></c>' \
           b'<c r="D1" t="s"><v>0</v></c></row></sheetData></worksheet>'
    plan = {"dims": {1: {"ht": "2"}}, "epoch": WINDOWS_EPOCH, "iso": False}
    stored = loaded_sheet(data, [], plan, shared_strings=["x\x01", "one"])
    plain = dict_sheet({"cells": {(1, c): (v, None, 2, "n", "http://a") for c, v in
                                  enumerate([1, 2.5, "t", True, None, dt.datetime(2020, 1, 1), Decimal(2)], 1)},
                        "odd": [], "dims": {1: {"ht": "2"}}, "bulk": 0, "epoch": WINDOWS_EPOCH, "iso": False})
    bad = Sheet()
    place(bad, 1, 1, ("\x01", None, None, None, None))
    sink = []
    watched = [stored, plain, bad, sink.append, stored._cells, plain._cells[(1, 3)], writing_helpers(False)["write_cell"]]

    def rounds():
        for ws in (stored, plain, bad):
            for lxml in (False, True):
                try:
                    writer = writer_for(native, ws, sink.append, lxml)
                    writer.write_sheet_data(partial(rows, ws))
                    writer.write_row(list(plain._cells.values()), 3)
                    writer.flush()
                except ValueError:
                    pass
        sink.clear()
        del stored._hyperlinks[:], plain._hyperlinks[:]
        plain._comments = stored._comments = None

    rounds()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(20):
        rounds()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_a_writer_in_a_cycle_is_collected(native):
    import weakref

    class Owner:
        pass
    owner = Owner()
    ws = Sheet()
    owner.writer = writer_for(native, ws, lambda text: owner)
    ws.owner = owner
    ref = weakref.ref(owner)
    del owner, ws
    gc.collect()
    assert ref() is None


def test_row_dimension_objects_and_values(native):
    class Dims(dict):
        def get(self, row, default=None):
            return {"ht": "%d" % row} if row == 2 else None
    ws = Sheet(row_dimensions=Dims({2: None}))
    place(ws, 1, 1, (1, None, None, None, None))
    out = []
    writer_for(native, ws, out.append).write_sheet_data(partial(rows, ws))
    assert out == ['<sheetData><row r="1"><c r="A1" t="n"><v>1</v></c></row><row r="2" ht="2"></row></sheetData>']
    for lxml in (False, True):
        ws = Sheet(row_dimensions={1: {"ht": 20}})
        with pytest.raises(TypeError, match="^row 1: attribute names and values must be str, not int$"):
            writer_for(native, ws, lxml=lxml).write_row([], 1)
