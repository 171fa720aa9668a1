"""Read-only worksheets through the native reader: every corpus workbook streams natively and
reads as the pure-Python path reads it; a damaged sheet falls back without losing or repeating
a row."""

import os
import sys
import warnings

import pytest

import quillfen
from quillfen.model.cell import EMPTY_CELL, ReadOnlyCell
from quillfen.reader.worksheet import SheetReadOptions

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(_ROOT, "scripts"))
import xlsxgen  # noqa: E402
from conftest import CORPUS_DIR

CORPUS = CORPUS_DIR
NOT_WORKBOOKS = {"pycal-empty_file.xlsx", "pycal-password.xlsx", "poi-clusterfuzz-6594557414080512.xlsx"}


def corpus_workbooks():
    if not os.path.isdir(CORPUS):
        return []
    names = sorted(n for n in os.listdir(CORPUS) if n.endswith(".xlsx") and n not in NOT_WORKBOOKS)
    return [n for n in names if _opens(os.path.join(CORPUS, n))]


def _opens(path):
    try:
        quillfen.load_workbook(path, read_only=True).close()
    except Exception:  # noqa: BLE001 - broken files are covered by the corpus facts
        return False
    return True


def _norm(v):
    return (type(v).__name__, repr(v))


def read_all(path, pure, data_only=False, values_only=False, monkeypatch=None):
    """Every row of every sheet as normalised tuples, the warnings, and the error if one ends it."""
    if pure:
        monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1")
    else:
        monkeypatch.delenv("QUILLFEN_PURE_PYTHON", raising=False)
    rows, error = [], None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            with quillfen.load_workbook(path, read_only=True, data_only=data_only) as wb:
                for ws in wb.worksheets:
                    # The rows as streamed: iter_rows adds only the gaps (some parts declare the
                    # whole sheet as their extent).
                    for _idx, row in ws._indexed_rows(None, None, None, None, values_only):
                        rows.append(tuple(_norm(c) if values_only else
                                          (c.coordinate, _norm(c.value), c.data_type, c.style_id) if c is not EMPTY_CELL
                                          else None for c in row))
                    rows.append(("sheet end", ws.title, ws.merged_cells, ws.dimension_ref))
        except Exception as exc:  # noqa: BLE001 - the error is part of what is compared
            error = (type(exc).__name__, str(exc))
    return rows, [str(w.message) for w in caught], error


@pytest.mark.parametrize("data_only", [False, True], ids=["formulas", "data-only"])
@pytest.mark.parametrize("name", corpus_workbooks())
def test_corpus_streams_natively_and_equally(native, monkeypatch, name, data_only):
    path = os.path.join(CORPUS, name)
    pure = read_all(path, True, data_only, False, monkeypatch)
    assert read_all(path, False, data_only, False, monkeypatch) == pure
    # Every worksheet that the pure-Python reader reads goes through the native reader to its
    # end, without falling back.
    with quillfen.load_workbook(path, read_only=True, data_only=data_only) as wb:
        for ws in wb.worksheets:
            options = SheetReadOptions(wb, data_only, False)
            with wb._package.open(ws._part) as source:
                reader = native.RowReader(source, options, wb.helpers)
                try:
                    while reader.next_row(ws, 1, None, False, ReadOnlyCell, EMPTY_CELL) is not None:
                        pass
                except native.NativeFallback as exc:
                    assert pure[2] is not None, exc


def _damaged_workbook(path, damage_row, rows=4000):
    def rows_xml(strings):
        for r in range(1, rows + 1):
            cells = "".join(xlsxgen.mixed_cell(r, c, strings) for c in range(1, 5))
            if r == damage_row:
                cells += '<c r="Z%d"><v>1</v></x>' % r  # a mismatched end tag
            yield '<row r="%d">%s</row>' % (r, cells)
    xlsxgen.write_workbook(path, [("Damaged", rows_xml, "A1:D%d" % rows, ["A1:B2"])])


@pytest.mark.parametrize("damage_row", [3, 400, 1500, None], ids=["early", "mid", "after-100KiB", "intact"])
@pytest.mark.parametrize("values_only", [False, True])
def test_fallback_delivers_every_row_once(tmp_path, monkeypatch, damage_row, values_only):
    path = str(tmp_path / "damaged.xlsx")
    _damaged_workbook(path, damage_row)
    native = read_all(path, False, False, values_only, monkeypatch)
    pure = read_all(path, True, False, values_only, monkeypatch)
    assert native == pure
    rows, _, error = native
    if damage_row is None:
        assert error is None and len(rows) == 4001
    else:
        # The pure-Python reader delivers the rows of the input chunks it parsed whole.
        assert error is not None and len(rows) < damage_row
        assert len(rows) > 0 or damage_row < 1000


def test_fallback_mid_sheet_with_warnings_and_elements(tmp_path, monkeypatch):
    # Rows before the damage carry date warnings; the merge element sits before sheetData here,
    # so it is delivered once by the native reader and passed over by the pure-Python rerun.
    path = str(tmp_path / "w.xlsx")

    def rows_xml(strings):
        for r in range(1, 2000):
            extra = '<c r="E%d" s="1"><v>99999999</v></c>' % r if r % 500 == 0 else ""
            yield '<row r="%d"><c r="A%d"><v>%d</v></c>%s</row>' % (r, r, r, extra)
        yield '<row r="2000"><c r="A2000"><v>1</v></c><bad>&undefined;</bad></row>'
    xlsxgen.write_workbook(path, [("S", rows_xml, "A1:E2000", [])])
    native = read_all(path, False, False, True, monkeypatch)
    pure = read_all(path, True, False, True, monkeypatch)
    assert native == pure
    assert len(native[1]) == 3 and native[2] is not None


def test_handover_deep_into_a_large_sheet(tmp_path, monkeypatch):
    # A 2.6 MB part whose row at about 1 MB holds what the engine leaves to the pure-Python reader
    # (a cell child with a non-ASCII name): thousands of rows are out by then, and the pure
    # reader, which passes over that child, must carry on from the next row, losing none and
    # repeating none, with every warning and the trailing element delivered once.
    monkeypatch.delenv("QUILLFEN_PURE_PYTHON", raising=False)
    rows, odd = 19000, 7500
    path = str(tmp_path / "large.xlsx")

    def rows_xml(strings):
        for r in range(1, rows + 1):
            odd_child = "<\u00e9/>" if r == odd else ""
            warn = '<c r="E%d" s="1"><v>99999999</v></c>' % r if r % 5000 == 0 else ""
            yield ('<row r="%d"><c r="A%d"><v>%d</v></c><c r="B%d">%s<v>%d.5</v></c><c r="C%d" t="inlineStr">'
                   '<is><t>row %d</t></is></c>%s</row>' % (r, r, r, r, odd_child, r, r, r, warn))
    xlsxgen.write_workbook(path, [("Large", rows_xml, "A1:E%d" % rows, ["A1:B2"])])

    with quillfen.load_workbook(path, read_only=True) as wb:
        ws = wb.worksheets[0]
        with wb._package.open(ws._part) as source:
            assert len(source.read()) > 2_500_000
        # The engine alone stops at the odd row, long after its first rows went out.
        options = SheetReadOptions(wb, False, False)
        with wb._package.open(ws._part) as source:
            reader = quillfen._native.engine().RowReader(source, options, wb.helpers)
            released = 0
            with pytest.raises(quillfen._native.NativeFallback, match="non-ascii name"):
                while reader.next_row(ws, 1, None, True, ReadOnlyCell, None) is not None:
                    released += 1
        assert 5000 < released < odd
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            got = list(ws.iter_rows(values_only=True))
        merged = ws.merged_cells
    assert got == [(r, r + 0.5, "row %d" % r) + ((None, "#VALUE!") if r % 5000 == 0 else (None, None))
                   for r in range(1, rows + 1)]
    assert len(caught) == rows // 5000 and merged == ["A1:B2"]
    # Both readers' warnings point at the code iterating.
    assert {w.filename for w in caught} == {__file__}


def _shaped(path, pure, monkeypatch, **window):
    """iter_rows over the first sheet, with the warnings it gave and the error that ended it."""
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1") if pure else monkeypatch.delenv("QUILLFEN_PURE_PYTHON",
                                                                                    raising=False)
    rows, error = [], None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            with quillfen.load_workbook(path, read_only=True) as wb:
                for row in wb.worksheets[0].iter_rows(**window):
                    rows.append(tuple(_norm(c) if window.get("values_only") else
                                      None if c is EMPTY_CELL else (c.coordinate, _norm(c.value)) for c in row))
        except Exception as exc:  # noqa: BLE001 - the error is part of what is compared
            error = (type(exc).__name__, str(exc))
    return rows, [str(w.message) for w in caught], error


def test_iter_rows_in_batches_as_the_pure_path(tmp_path, monkeypatch):
    # The engine hands rows over a batch at a time, padded, with the missing rows filled in:
    # batches of every size cut across gaps, rows that go back, rows that bring warnings and
    # the trailing element, in every window; and (damaged) a hand-over to the pure-Python
    # reader deep in the part.
    import random
    from quillfen.reader import worksheet as sheet_module

    rng = random.Random(23)
    numbers = sorted(rng.sample(range(1, 60), 30)) + [7, 3]  # two rows that come again or go back
    sparse = str(tmp_path / "sparse.xlsx")

    def rows_xml(strings):
        for r in numbers:
            cols = sorted(rng.sample(range(1, 7), rng.randint(0, 3)))
            yield '<row r="%d">%s</row>' % (r, "".join('<c r="%s%d"%s><v>%d</v></c>' % (
                "ABCDEF"[c - 1], r, ' s="1"' if c == 6 else "", 99999999 if c == 6 else r * 10 + c) for c in cols))
    xlsxgen.write_workbook(sparse, [("Sparse", rows_xml, None, ["A1:B2"])])
    damaged = str(tmp_path / "damaged.xlsx")
    _damaged_workbook(damaged, 1500)
    windows = [{}, {"values_only": True}, {"min_row": 5, "max_row": 40, "min_col": 2, "values_only": True},
               {"min_row": 20, "max_col": 3}, {"max_row": 70, "values_only": True}]
    first = {}
    for path, batches, windows in ((sparse, (1, 2, 5, 256), windows), (damaged, (3, 256), windows[:2])):
        for batch in batches:
            monkeypatch.setattr(sheet_module, "ROW_BATCH", batch)
            for n, window in enumerate(windows):
                rows, warned, error = got = _shaped(path, False, monkeypatch, **window)
                pure_rows, pure_warned, pure_error = _shaped(path, True, monkeypatch, **window)
                assert (rows, error) == (pure_rows, pure_error), (batch, window)
                # The pure-Python reader also warns of the rows it parses past `max_row`.
                assert "max_row" in window or warned == pure_warned, (batch, window)
                assert first.setdefault((path, n), got) == got, (batch, window)
    assert error is not None and 1000 < len(rows) < 1500


@pytest.mark.parametrize("pure", [False, True], ids=["native", "pure"])
def test_declared_extent_wherever_the_dimension_lies(tmp_path, monkeypatch, pure):
    # The dimension is looked for in the part's head first: before it, across its end, past it,
    # and absent (the cells say).
    import zipfile
    from quillfen.reader.worksheet import _Head

    source = str(tmp_path / "source.xlsx")
    xlsxgen.write_workbook(source, [("S", xlsxgen.mixed_sheet(30, 5)[0], "A1:G40", [])])
    with zipfile.ZipFile(source) as z:
        parts = {name: z.read(name) for name in z.namelist()}
    sheet = parts["xl/worksheets/sheet1.xml"]
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1" if pure else "0")
    at = sheet.index(b"<dimension")
    straddling = _Head.HEAD_SIZE - at - len(b"<!---->") - 10  # the element begins 10 bytes before the cut
    for pad in (0, straddling, _Head.HEAD_SIZE, 3 * _Head.HEAD_SIZE, None):
        xml = (sheet[:at] + b"<!--" + b"x" * pad + b"-->" + sheet[at:] if pad is not None
               else sheet.replace(b'<dimension ref="A1:G40"/>', b""))
        path = str(tmp_path / ("%s.xlsx" % pad))
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in parts.items():
                z.writestr(name, xml if name == "xl/worksheets/sheet1.xml" else data)
        with quillfen.load_workbook(path, read_only=True) as wb:
            ws = wb.worksheets[0]
            assert (ws.max_row, ws.max_column) == ((40, 7) if pad is not None else (30, 5)), pad
