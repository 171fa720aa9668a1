"""Write-only workbooks: rows go out as they are appended, memory stays flat, misuse is refused."""

import datetime as dt
import io
import tracemalloc

import pytest

import quillfen
from quillfen import WriteOnlyCell


def test_rows_and_cells_read_back():
    wb = quillfen.Workbook(write_only=True)
    assert wb.worksheets == []
    ws = wb.create_sheet("Data")
    wb.create_sheet()
    ws.append(["a", 1, None, dt.date(2020, 1, 2)])
    price = WriteOnlyCell(ws, 12.5)
    price.number_format = "0.00"
    ws.append([price, "=B1*2"])
    ws.append([])
    assert ws.dimensions == "A1:D3"
    ws.append(iter([True]))
    out = io.BytesIO()
    wb.save(out)
    back = quillfen.load_workbook(out)
    assert back.sheetnames == ["Data", "Sheet1"]
    data = back["Data"]
    assert [[c.value for c in row] for row in data.iter_rows(max_col=4)] == [
        ["a", 1, None, dt.datetime(2020, 1, 2)], [12.5, "=B1*2", None, None],
        [None] * 4, [True, None, None, None]]
    assert data["A2"].number_format == "0.00" and data["D1"].number_format == "yyyy-mm-dd"
    assert data.dimensions == "A1:D4"


def test_misuse_is_refused():
    wb = quillfen.Workbook(write_only=True)
    ws = wb.create_sheet()
    for touch in (lambda: ws.cell(1, 1), lambda: ws["A1"], lambda: ws.iter_rows(), lambda: ws.rows,
                  lambda: ws.__setitem__("A1", 1), lambda: list(ws.iter_cols()), lambda: ws["A1:B2"]):
        with pytest.raises(TypeError, match="write-only"):
            touch()
    ws.append([1])
    with pytest.raises(TypeError, match="Sheet1!B2"):
        ws.append([1, [2]])  # nothing of the row is written
    ws.append([2])
    wb.save(io.BytesIO())
    for again in (lambda: wb.save(io.BytesIO()), lambda: ws.append([3]), lambda: wb.create_sheet()):
        with pytest.raises(ValueError, match="saved"):
            again()


def _peak(rows):
    wb = quillfen.Workbook(write_only=True)
    ws = wb.create_sheet()
    tracemalloc.start()
    try:
        for r in range(rows):
            ws.append([r, r * 0.5, "text %d" % r, r % 2 == 0])
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
        wb.close()


def test_memory_does_not_grow_with_rows():
    small, large = _peak(2_000), _peak(40_000)
    assert large < small * 2 + (2 << 20), (small, large)
