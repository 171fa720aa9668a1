"""Structural edits on the Excel-made corpus: a workbook with a row inserted at row 2 of its first
worksheet and a column deleted there, saved by quillfen, opens in LibreOffice with its charts'
series where LibreOffice puts them when it makes the same edits itself.

The column deleted is the first that no series reads from, left of those that some do (so that
they move), or else the one after them. A series that loses its data is no comparison: deleting
its column makes quillfen's reference "#REF!", while LibreOffice's own edit leaves the series
on the column that moved into the place of the deleted one, other data (which we judge a
fault, and do not copy).

A sample of the workbooks with charts runs in the suite; QUILLFEN_ORACLE_CORPUS=all (as `make
oracle` sets it) takes every workbook of the corpus."""

import os
import re
import warnings

import pytest

import quillfen
from quillfen.utils.cells import column_index

from conftest import EXCEL_DIR
from oracle import OracleError, oracle

# A cell of a range as LibreOffice writes it ($Sheet1.$B$1:$B$5), and a range of one cell.
_CELL = re.compile(r"[.:]\$?([A-Z]{1,3})\$?[0-9]+")
_ONE_CELL = re.compile(r"(\$?[A-Z]{1,3}\$?[0-9]+):\1\b")


def _workbooks():
    if not os.path.isdir(EXCEL_DIR):
        return []
    names = sorted(n for n in os.listdir(EXCEL_DIR) if n.endswith((".xlsx", ".xlsm")))
    if os.environ.get("QUILLFEN_ORACLE_CORPUS") == "all":
        return names
    return [n for n in names if n.startswith("chart")][::20]


pytestmark = pytest.mark.skipif(not _workbooks(), reason="the Excel-made corpus is not present")


def _deleted_column(series):
    read = set()
    for _sheet, _chart, ranges in series:
        for _role, text in ranges:
            for part in text.split(";"):
                columns = [column_index(letters) for letters in _CELL.findall(part)]
                if columns:
                    read.update(range(min(columns), max(columns) + 1))
    last = max(read, default=2)
    return next(column for column in range(1, last + 2) if column not in read)


def _series(office):
    """The series ranges LibreOffice shows, a range of one cell written as that cell (as it
    writes a label's after an edit of its own)."""
    return [[sheet, chart, [[role, _ONE_CELL.sub(r"\1", text)] for role, text in ranges]]
            for sheet, chart, ranges in office.series()]


@pytest.mark.parametrize("name", _workbooks())
def test_charts_follow_rows_and_columns(tmp_path, name):
    source = os.path.join(EXCEL_DIR, name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        wb = quillfen.load_workbook(source)
    if not wb.worksheets:
        pytest.skip("no worksheet")
    ws = wb.worksheets[0]
    office = oracle()
    office.open(source)
    before = _series(office)
    edits = [("insert_rows", 2), ("delete_cols", _deleted_column(before))]
    for op, index in edits:
        try:
            getattr(ws, op)(index)
        except ValueError as exc:
            refused: Exception | None = exc
        else:
            refused = None
        try:
            office.edit(ws.title, op, index, 1)
        except OracleError:
            if refused is None and "sheetProtection" in ws._kept:
                pytest.skip("LibreOffice does not edit a protected sheet (quillfen, a library, does)")
            # Refused by both: an array formula split, cells pushed off the sheet.
            assert refused is not None, "quillfen made the edit LibreOffice refused: %s %d" % (op, index)
            return
        if refused is not None and "pushed off" in str(refused):
            pytest.skip("quillfen refuses to push off the sheet a cell that LibreOffice drops (one "
                        "without a value: formatting, a comment)")
        assert refused is None, refused
    theirs = _series(office)
    saved = tmp_path / ("saved" + os.path.splitext(name)[1])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        wb.save(saved)
    office.open(saved)
    ours = _series(office)
    office.close_document()
    assert ours == theirs, "after %s; before the edits: %s" % (edits, before)
