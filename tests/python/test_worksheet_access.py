"""Everyday access to sheets: ranges, rows, columns and extents agree between read-only and
editable sheets, natively and in pure Python, on workbooks from other producers; read-only
reading stops where asked; read-only cells offer only what works; what load_workbook opens."""

import io
import os
import pathlib
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillfen
from quillfen.model.cell import EMPTY_CELL
from quillfen.utils.cells import column_letter, range_boundaries

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import xlsxgen  # noqa: E402
from support import count_part_reads  # noqa: E402
from conftest import CORPUS_DIR

CORPUS = CORPUS_DIR
# Varied producers: cells without r, rows that skip, no dimension element, strict, several
# sheets with a hidden one and an active tab other than the first.
FILES = ["cal-issue_261.xlsx", "poi-59746_NoRowNums.xlsx", "cal-whitespace_trim.xlsx", "cal-issues.xlsx",
         "poi-SimpleStrict.xlsx", "sjs-wtf_path.xlsx", "pycal-base.xlsx", "cal-issue_553.xlsx"]

pytestmark = pytest.mark.skipif(not os.path.isdir(CORPUS), reason="shared corpus not present")


@pytest.fixture(params=["native", "pure"])
def mode(request, monkeypatch):
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1" if request.param == "pure" else "0")
    return request.param


def _v(item):
    """Values of nested tuples of cells, comparable across modes."""
    if isinstance(item, tuple):
        return tuple(_v(i) for i in item)
    return repr(item.value)


def _views(ws):
    """Everything the access calls give, as values. Keys stay within the extent, except the
    last two: an editable sheet creates the cells of a range, which would widen its extent."""
    extent = (ws.dimensions, ws.min_row, ws.max_row, ws.min_column, ws.max_column)
    top, bottom, right = ws.min_row, ws.max_row, column_letter(ws.max_column)
    cols = [tuple(map(repr, c)) for c in ws.iter_cols(ws.min_column, ws.max_column, top, bottom, values_only=True)]
    return [extent, cols, _v(tuple(ws.columns)), _v(ws["A"]), _v(ws["A:" + right]), _v(ws[bottom]),
            _v(ws[top:bottom]), _v(ws["%d:%d" % (top, top)]), _v(ws["A1:C3"]), _v(ws["B2"])]


@pytest.mark.parametrize("name", FILES)
def test_read_only_and_editable_sheets_agree(mode, name):
    path = os.path.join(CORPUS, name)
    with quillfen.load_workbook(path, read_only=True) as ro, quillfen.load_workbook(path) as ed:
        assert ro.sheetnames == ed.sheetnames and ro.active.title == ed.active.title
        for ro_ws, ed_ws in zip(ro, ed):
            assert ro_ws.sheet_state == ed_ws.sheet_state
            # Read-only sheets know their extent before iterating: declared, or read through.
            assert ro_ws.calculate_dimension() == ed_ws.dimensions == ed_ws.calculate_dimension()
            if ro_ws.dimensions == ed_ws.dimensions:
                assert _views(ro_ws) == _views(ed_ws)
            else:  # a declared extent that the cells do not fill: the range views still agree
                assert _views(ro_ws)[-2:] == _views(ed_ws)[-2:]


def test_active_tab_and_visibility_as_stored(mode):
    with quillfen.load_workbook(os.path.join(CORPUS, "pycal-base.xlsx"), read_only=True) as wb:
        assert wb.sheetnames == ["Sheet1", "Sheet2", "Sheet3", "Merged Cells"] and wb.active.title == "Merged Cells"
    with quillfen.load_workbook(os.path.join(CORPUS, "sjs-wtf_path.xlsx")) as wb:
        assert [ws.sheet_state for ws in wb] == ["visible", "hidden"]


def test_keys():
    wb = quillfen.Workbook()
    ws = wb.active
    for row in range(1, 5):
        ws.append([row * 10 + col for col in range(1, 4)])
    assert _v(ws["B2:C3"]) == (("22", "23"), ("32", "33"))
    assert _v(ws["C"]) == ("13", "23", "33", "43") and _v(ws[2]) == ("21", "22", "23")
    assert _v(ws["$A$1"]) == "11" and _v(ws["a1:a1"]) == (("11",),) and _v(ws["c3:b2"]) == _v(ws["B2:C3"])
    assert _v(ws[3:4]) == _v(ws["3:4"]) == (("31", "32", "33"), ("41", "42", "43"))
    for bad in ("A0", "A1:B", "1:B", "", "A1:B2:C3", slice(1, None), slice(1, 3, 2)):
        with pytest.raises(IndexError):
            ws[bad]
    with pytest.raises(TypeError):
        ws[1.5]
    assert range_boundaries("ZZZ") == (18278, None, 18278, None)
    with pytest.raises(ValueError):
        range_boundaries("AAAA1")


def _big_book(tmp_path, rows):
    path = tmp_path / "rows.xlsx"
    xlsxgen.write_workbook(str(path), [("Rows", lambda strings: (
        '<row r="%d"><c r="A%d"><v>%d</v></c></row>' % (r, r, r) for r in range(1, rows + 1)), "A1:A%d" % rows, [])])
    return path


def test_read_only_stops_past_max_row(mode, tmp_path, monkeypatch):
    path = _big_book(tmp_path, 50_000)
    read = count_part_reads(monkeypatch)
    with quillfen.load_workbook(path, read_only=True) as wb:
        ws = wb.active
        assert [r for r in ws.iter_rows(min_row=3, max_row=5, values_only=True)] == [(3,), (4,), (5,)]
        assert sum(read) < 200_000  # of a part of about 2 MB
        read.clear()
        assert ws["A7"].value == 7 and ws.max_row == 50_000 and sum(read) < 200_000


def test_read_only_rectangle_fills_missing_rows(mode, tmp_path):
    path = tmp_path / "gaps.xlsx"
    xlsxgen.write_workbook(str(path), [("Gaps", lambda strings: iter((
        '<row r="2"><c r="B2"><v>1</v></c></row>', '<row r="5"><c r="A5"><v>2</v></c></row>',
        '<row r="3"><c r="A3"><v>9</v></c></row>')), None, [])])
    with quillfen.load_workbook(path, read_only=True) as wb:
        ws = wb.active
        assert ws.dimensions == "A2:B5"  # no dimension element: read through
        # Iteration gives every row from 1, as wide as the sheet; a row number that goes back
        # (damage) comes as it stands, where it stands.
        assert list(ws.values) == [(None, None), (None, 1), (None, None), (None, None), (2, None), (9, None)]
        # It is passed over in a rectangle, which holds one row each.
        assert _v(ws["A1:B5"]) == (("None", "None"), ("None", "1"), ("None", "None"), ("None", "None"), ("2", "None"))


def test_read_only_cells_offer_only_what_works(mode):
    with quillfen.load_workbook(os.path.join(CORPUS, "cal-issues.xlsx"), read_only=True) as wb:
        cells = [c for ws in wb for row in ws.iter_rows(max_col=ws.max_column + 1) for c in row]
    assert EMPTY_CELL in cells
    for cell in {type(c): c for c in cells}.values():
        for name in dir(cell):
            if not name.startswith("__"):
                getattr(cell, name)


@pytest.mark.parametrize("opener", ["str", "path", "bytes", "file", "bytesio", "pipe"])
def test_load_workbook_sources(opener, tmp_path):
    path = os.path.join(CORPUS, "cal-issues.xlsx")
    data = pathlib.Path(path).read_bytes()

    class Pipe(io.RawIOBase):  # readable, not seekable
        def __init__(self):
            self._data = io.BytesIO(data)

        def readable(self):
            return True

        def readinto(self, b):
            return self._data.readinto(b)

    source = {"str": lambda: path, "path": lambda: pathlib.Path(path), "bytes": lambda: os.fsencode(path),
              "file": lambda: open(path, "rb"), "bytesio": lambda: io.BytesIO(data), "pipe": Pipe}[opener]()
    with quillfen.load_workbook(source, read_only=True) as wb:
        assert wb.sheetnames[0] == "datatypes"


def test_load_workbook_refuses_text_and_non_files():
    with open(os.path.join(CORPUS, "cal-issues.xlsx"), encoding="latin-1") as text:
        with pytest.raises(TypeError, match="binary mode"):
            quillfen.load_workbook(text)
    with pytest.raises(TypeError, match="not int"):
        quillfen.load_workbook(3)


_BOUND = st.one_of(st.none(), st.integers(1, 7))


@settings(max_examples=60, suppress_health_check=[HealthCheck.function_scoped_fixture])  # `mode` holds
@given(cells=st.dictionaries(st.tuples(st.integers(1, 6), st.integers(1, 5)), st.integers(0, 9), max_size=8),
       bounds=st.tuples(_BOUND, _BOUND, _BOUND, _BOUND), values_only=st.booleans())
def test_read_only_rows_are_the_editable_rows(mode, cells, bounds, values_only):
    # Issue 23: read-only iteration left out the rows missing from the part and ended each row
    # at its last cell.
    wb = quillfen.Workbook()
    for (row, column), value in cells.items():
        wb.active.cell(row, column, value)
    out = io.BytesIO()
    wb.save(out)
    min_row, max_row, min_col, max_col = bounds

    def rows(read_only):
        ws = quillfen.load_workbook(out, read_only=read_only).active
        got = ws.iter_rows(min_row, max_row, min_col, max_col, values_only)
        return [tuple(v if values_only else v.value for v in row) for row in got]
    assert rows(True) == rows(False)
