"""bind_cells: a worksheet loaded into a CellStore must give exactly the cells, values, data
types, style copies, formulas, warnings and element actions of the pure-Python loader, on
generated sheets and on every corpus workbook; and its failure table."""

import io
import os
import warnings

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quillfen
from quillfen.model.cell import Cell
from quillfen.reader.helpers import reading_helpers
from quillfen.reader.sheet import ReaderSettings, WorksheetParser
from quillfen.model.styles import StyleArray
from quillfen.reader.worksheet import style_array

from support import MAIN, SheetOptions
from conftest import CORPUS_DIR

CORPUS = CORPUS_DIR
STYLES = [StyleArray([i] * 9) for i in range(4)]


def bind_options(**kw):
    """The shared sheet options with style 1 a date and style 3 a duration."""
    return SheetOptions(**{"date_formats": {1}, "timedelta_formats": {3}, **kw})


def sheet(rows, before="", after=""):
    return ('<worksheet xmlns="%s">%s<sheetData>%s</sheetData>%s</worksheet>' % (MAIN, before, rows, after)).encode()


def bind(native, data, cell_styles=STYLES, store=None, **options):
    opts = bind_options(**options)
    store = native.CellStore() if store is None else store
    actions = []
    ws = object()
    native.bind_cells(io.BytesIO(data), opts, ws, store, cell_styles, Cell, reading_helpers(), actions)
    return store, actions, opts.row_dimensions, ws


def reference(data, cell_styles=STYLES, **options):
    """What the pure-Python loader makes: {key: (value, data_type, style)}, actions, row dims."""
    opts = bind_options(**options)
    actions, cells = [], {}
    parser = WorksheetParser(io.BytesIO(data), ReaderSettings.from_parser(opts), reading_helpers(), actions,
                             opts.row_dimensions)
    for item in parser:
        if item[0] == "element":
            actions.append(item)
        elif item[0] == "row":
            for rec in item[2]:
                style = style_array(cell_styles, rec.style_id)
                cells[(rec.row, rec.column)] = (rec.value, rec.data_type, style)
    return cells, actions, opts.row_dimensions


def assert_same(native, data, cell_styles=STYLES, **options):
    try:
        want = reference(data, cell_styles, **options)
    except Exception as exc:
        with pytest.raises((type(exc), native.NativeFallback)):
            bind(native, data, cell_styles, **options)
        return None
    try:
        store, actions, dims, ws = bind(native, data, cell_styles, **options)
    except native.NativeFallback:
        return None  # the loader redoes such sheets in pure Python
    cells, want_actions, want_dims = want
    assert list(store) == list(cells)
    for key, (value, data_type, style) in cells.items():
        cell = store[key]
        assert (cell.row, cell.column) == key and cell.parent is ws
        assert cell.value == value and type(cell.value) is type(value), key
        assert cell.data_type == data_type
        if style is None:
            assert cell._style is None
        else:
            assert cell._style == style and type(cell._style) is type(style) and cell._style is not style
    # Each kind in document order. (The pure parser reads ahead by whole chunks, so where its
    # warnings fall between elements depends on chunking; the replayed effect does not.)
    for kind in ("warn", "element"):
        assert [str(a[1:]) for a in actions if a[0] == kind] == [str(a[1:]) for a in want_actions if a[0] == kind]
    assert dims == want_dims
    return store


# -- generated sheets --

def cell_xml(draw):
    kind = draw(st.sampled_from(["int", "float", "text", "sst", "bool", "err", "inline", "date", "formula",
                                 "shape", "shared", "odd", "empty", "weird_t", "duration"]))
    s = draw(st.sampled_from(["", ' s="0"', ' s="2"', ' s="-1"', ' s="1"']))
    if kind == "int":
        return s, "<v>%d</v>" % draw(st.sampled_from([0, 7, -5, 2**31 - 1, 2**31, -2**31, 10**17, 2**63 - 1]))
    if kind == "float":
        return s, "<v>%r</v>" % draw(st.floats(allow_nan=False, allow_infinity=False, width=64))
    if kind == "text":
        return ' t="str"' + s, "<v>%s</v>" % draw(st.sampled_from(["x", "same text", "a&amp;b", "\u00e9t\u00e9", ""]))
    if kind == "sst":
        return ' t="s"' + s, "<v>%d</v>" % draw(st.integers(0, 2))
    if kind == "bool":
        return ' t="b"' + s, "<v>%d</v>" % draw(st.integers(0, 2))
    if kind == "err":
        return ' t="e"' + s, "<v>#N/A</v>"
    if kind == "inline":
        return ' t="inlineStr"' + s, "<is><t>inline %d</t></is>" % draw(st.integers(0, 3))
    if kind == "date":
        return ' s="1"', "<v>%s</v>" % draw(st.sampled_from(["0", "45000", "45000.25", "3000000", "-1", "0.5"]))
    if kind == "duration":
        return ' s="3"', "<v>1.5</v>"
    if kind == "formula":
        return s, "<f>SUM(A1:B2)+%d</f><v>1</v>" % draw(st.integers(0, 2))
    if kind == "shape":
        return s, None  # =A<row>*2, filled in with the row: a formula shape that repeats
    if kind == "shared":
        return s, draw(st.sampled_from(['<f t="shared" si="0" ref="A1:Z99">B1+$C$1</f>', '<f t="shared" si="0"/>',
                                        '<f t="shared" si="1"/>']))
    if kind == "odd":
        return s, "<v>%s</v>" % draw(st.sampled_from(["+7", " 8", "1_000", "0x10", "1e400"]))
    if kind == "weird_t":
        return ' t="%s"' % draw(st.sampled_from(["x", "str", "y"])) + s, draw(st.sampled_from(["", "<v>v</v>"]))
    return s, ""


@st.composite
def sheets(draw):
    rows = []
    row_numbers = draw(st.lists(st.integers(1, 30), min_size=0, max_size=8))
    for r in row_numbers:
        cells = []
        for c in draw(st.lists(st.integers(1, 30), max_size=6)):
            attrs, body = cell_xml(draw)
            if body is None:
                body = "<f>A%d*2</f>" % r
            ref = ' r="%s%d"' % (chr(64 + c) if c <= 26 else "A" + chr(64 + c - 26), r) if draw(st.booleans()) else ""
            cells.append("<c%s%s>%s</c>" % (ref, attrs, body))
        rows.append('<row r="%d">%s</row>' % (r, "".join(cells)))
    return sheet("".join(rows), before='<cols><col min="1" max="2" width="3"/></cols>',
                 after='<mergeCells count="1"><mergeCell ref="A1:B2"/></mergeCells>')


@given(data=sheets(), fav=st.booleans(), data_only=st.booleans())
def test_generated_sheets_match_the_pure_loader(native, data, fav, data_only):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert_same(native, data, formula_and_value=fav, data_only=data_only)


def test_ordered_sheet_is_all_records_and_repeated_shapes_share_a_template(native):
    rows = "".join('<row r="%d"><c r="A%d"><v>%d</v></c><c r="B%d"><f>A%d*2+1</f></c></row>' % (r, r, r, r, r)
                   for r in range(1, 201))
    store = assert_same(native, sheet(rows))
    store, *_ = bind(native, sheet(rows))
    assert store._stats() == (400, 0, 1, len("=A1*2+1"))
    assert store[(150, 2)].value == "=A150*2+1"
    assert store.popitem()[0] == (200, 2)


def test_out_of_order_rows_and_repeated_cells(native):
    data = sheet('<row r="5"><c r="A5"><v>1</v></c><c r="C5"><v>2</v></c></row>'
                 '<row r="2"><c r="B2"><v>3</v></c></row>'
                 '<row r="5"><c r="A5"><v>4</v></c><c r="B5"><v>5</v></c></row>')
    store = assert_same(native, data)
    assert list(store) == [(5, 1), (5, 3), (2, 2), (5, 2)] and store[(5, 1)].value == 4


def test_actions_interleave_elements_and_warnings_in_document_order(native):
    data = sheet('<row r="1"><c r="A1" s="1"><v>3000000</v></c></row>',
                 before='<sheetPr/><cols><col min="1" max="1"/></cols>',
                 after='<mergeCells><mergeCell ref="A1:A2"/></mergeCells><conditionalFormatting sqref="A1"/>')
    store, actions, _, _ = bind(native, data)
    assert [a[0] for a in actions] == ["element", "element", "warn", "element", "element"]
    assert actions[0][1] == b"<sheetPr/>" and actions[0][2] == [("", MAIN)]
    assert store[(1, 1)].value == "#VALUE!" and store[(1, 1)].data_type == "e"
    assert_same(native, data)


def test_shared_formulas(native):
    data = sheet('<row r="1"><c r="A1"><f t="shared" si="0" ref="A1:A3">B1</f></c></row>'
                 '<row r="2"><c r="A2"><f t="shared" si="0"/></c></row>'
                 '<row r="3"><c><f t="shared" si="0"/></c></row>')
    store = assert_same(native, data)
    assert [store[(r, 1)].value for r in (1, 2, 3)] == ["=B1", "=B2", "=B1"]  # no r: untranslated


def test_styles(native):
    data = sheet('<row r="1"><c r="A1" s="-1"><v>1</v></c><c r="B1"><v>2</v></c></row>')
    store = assert_same(native, data)
    assert store[(1, 1)]._style == STYLES[-1] and store[(1, 2)]._style == STYLES[0]
    with pytest.raises(IndexError):
        bind(native, sheet('<row r="1"><c r="A1" s="99"><v>1</v></c></row>'))

    class Lenient(list):
        def __getitem__(self, i):
            return None if not isinstance(i, int) or i >= len(self) else list.__getitem__(self, i)

    for s, message in [("99", "style index"), ("", "unusual style id"), ("9" * 20, "unusual style id")]:
        with pytest.raises(native.NativeFallback, match="^%s$" % message):
            bind(native, sheet('<row r="1"><c r="A1" s="%s"><v>1</v></c></row>' % s), cell_styles=Lenient(STYLES))


def test_unusual_data_types(native):
    assert_same(native, sheet('<row r="1"><c r="A1" t="x"><v>1</v></c><c r="B1" t="x"/><c r="C1" t="y"/></row>'))
    many = "".join('<row r="%d"><c r="A%d" t="x%d"><v>v</v></c></row>' % (i, i, i) for i in range(1, 249))
    store, *_ = bind(native, sheet(many))
    assert store[(248, 1)].data_type == "x248"
    with pytest.raises(native.NativeFallback, match="^too many data types$"):
        bind(native, sheet(many + '<row r="300"><c r="A300" t="extra"><v>v</v></c></row>'))


def test_coordinates_out_of_range(native):
    with pytest.raises(native.NativeFallback, match="^coordinate out of range$"):
        bind(native, sheet('<row r="4294967296"><c><v>1</v></c></row>'))


def test_empty_sheet_and_reuse(native):
    store, actions, _, _ = bind(native, sheet(""))
    assert len(store) == 0 and actions == []
    store["x"] = 1
    store, *_ = bind(native, sheet('<row r="1"><c r="A1"><v>1</v></c></row>'), store=store)
    assert not store._in_dict_mode() and list(store) == [(1, 1)]


def test_argument_errors_and_a_busy_store(native):
    opts = bind_options()
    good = [io.BytesIO(sheet("")), opts, None, native.CellStore(), STYLES, Cell, reading_helpers(), []]
    for index, name, bad in [(3, "store", {}), (5, "cell_cls", 1), (6, "helpers", []), (7, "actions", ())]:
        args = list(good)
        args[index] = bad
        with pytest.raises(TypeError, match="'%s'" % name):
            native.bind_cells(*args)
    opts.row_dimensions = []
    with pytest.raises(TypeError, match="row_dimensions"):
        native.bind_cells(*good)

    store, *_ = bind(native, sheet('<row r="1"><c r="A1"><v>1</v></c></row>'))

    # A key whose int() loads the store while the store is being assigned to.
    errors = []

    class Key:
        def __int__(self):
            try:
                native.bind_cells(io.BytesIO(sheet("")), bind_options(), None, store, STYLES, Cell, reading_helpers(), [])
            except RuntimeError as exc:
                errors.append(str(exc))
            return 1

        def __eq__(self, other):
            return other == 1

        def __hash__(self):
            return 1

    store[(Key(), 1)] = "kept"
    assert errors == ["Already borrowed"] and store[(1, 1)] == "kept"


def test_malformed_sheet_falls_back(native):
    with pytest.raises(native.NativeFallback):
        bind(native, b'<worksheet xmlns="%s"><sheetData><row>' % MAIN.encode())


# -- whole workbooks through the host --

def load_cells(path, pure, monkeypatch):
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1" if pure else "0")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            wb = quillfen.load_workbook(path)
        except Exception as exc:
            return type(exc)
    out = []
    for ws in wb.worksheets:
        cells = [(key, repr(c.value), type(c.value), c.data_type, c._style, type(c._style))
                 for key, c in ((k, ws._cells[k]) for k in list(ws._cells))]
        out.append((ws.title, cells, ws.merged_cells, ws.dimension_ref, ws.row_dimensions))
    wb.close()
    return out, [str(w.message) for w in caught]


@pytest.mark.skipif(not os.path.isdir(CORPUS), reason="shared corpus not present")
def test_every_corpus_workbook_loads_as_the_pure_loader_does(monkeypatch):
    names = sorted(n for n in os.listdir(CORPUS) if n.endswith(".xlsx"))
    for name in names:
        path = os.path.join(CORPUS, name)
        assert load_cells(path, False, monkeypatch) == load_cells(path, True, monkeypatch), name


def demo_path(tmp_path):
    """The demo workbook of scripts/xlsxgen.py, written in `tmp_path`."""
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
    import xlsxgen

    path = str(tmp_path / "demo.xlsx")
    xlsxgen.demo_workbook(path)
    return path


def test_editable_worksheet_api(tmp_path, monkeypatch):
    path = demo_path(tmp_path)
    results = []
    for pure in (True, False):
        monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1" if pure else "0")
        wb = quillfen.load_workbook(path)
        ws = wb["Formulas"]
        assert type(ws._cells).__name__ == ("dict" if pure else "CellStore")
        out = [ws.dimensions, ws.max_row, ws.max_column, ws["B2"].value, ws.cell(2, 1).value]
        out.append(list(ws.iter_rows(min_row=1, max_row=4, max_col=3, values_only=True)))
        ws["C1"] = 5
        ws.cell(6, 2, value="=A1")
        del ws["A2"]
        ws.append([1, None, "x"])
        out.append([(c.coordinate, c.value, c.data_type) for c in ws.cells()])
        out.append([[c.coordinate for c in row] for row in ws.iter_rows(min_row=6)])
        out.append((ws.dimensions, len(ws._cells), ws.parent.iso_dates, ws._hyperlinks))
        assert ws.parent._cell_styles.add(ws.parent._cell_styles[0]) == 0
        results.append(out)
        wb.close()
    assert results[0] == results[1]


def test_loaded_workbooks_are_collected(tmp_path, monkeypatch):
    import gc
    import weakref

    path = demo_path(tmp_path)
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "0")

    def load_and_use():
        wb = quillfen.load_workbook(path)
        ws = wb.worksheets[0]
        list(ws.iter_rows(values_only=False))
        ws["A1"] = 5
        del ws["B2"]
        wb.close()
        return weakref.ref(ws), weakref.ref(wb)

    refs = [load_and_use() for _ in range(3)]
    gc.collect()
    assert all(r() is None for pair in refs for r in pair)


def test_values_see_edits_made_between_rows(tmp_path, monkeypatch):
    path = demo_path(tmp_path)

    def read(pure):
        monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1" if pure else "0")
        ws = quillfen.load_workbook(path).worksheets[0]
        rows = ws.values
        out = [next(rows), next(rows)]
        ws.insert_rows(4)
        ws["B6"] = "new"
        ws.delete_rows(8)
        return out + list(rows) + [ws.max_row, ws.max_column, list(ws.values)[-1]]

    assert read(True) == read(False)
