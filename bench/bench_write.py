"""Writing a worksheet's <sheetData>: 10^6 mixed cells (ints, floats, strings, dates, booleans
and formulas) of an editable worksheet, written by the native SheetWriter and by the pure-Python
writer to an in-memory sink, in both serialisation modes, in one process. Two kinds of sheet: a
CellStore loaded from a generated workbook (the store's records are read in place), and a plain
dict of assigned cells. Times are CPU time of this process (the best of five native runs, one
pure-Python run); ratios are printed, never asserted.

Usage: bench_write.py [ROWS]   (10 columns per row; default 100000 rows)
"""

import copy
import datetime as dt
import io
import sys
import time
from functools import partial

from timing import best_of, mixed_workbook

import quillfen
from quillfen import _quillfen as native
from quillfen.writer.sheet_data import PureSheetWriter, rows, writing_helpers


def assigned(ws, nrows, cols):
    """A copy of `ws` whose cells are a dict of assigned values in the mixed pattern."""
    sheet = copy.copy(ws)
    sheet._cells = {}
    for r in range(1, nrows + 1):
        for c in range(1, cols + 1):
            kind = (r + c) % 6
            value = (r * c, r / (c + 0.5), "text %d" % (r % 1000 + c), dt.datetime(2020, 1, 1) + dt.timedelta(days=r % 5000),
                     bool(r % 2), "=A%d*2" % r)[kind]
            sheet.cell(r, c, value)
    return sheet


def sink(lxml):
    out = io.BytesIO() if lxml else io.StringIO()
    return out.write


def native_write(ws, lxml):
    native.SheetWriter(ws, sink(lxml), lxml, writing_helpers(lxml)).write_sheet_data(partial(rows, ws))


def pure_write(ws, lxml):
    PureSheetWriter(ws, sink(lxml), lxml).write_sheet_data(partial(rows, ws))


def main(nrows, cols=10):
    path = mixed_workbook("bench_write", nrows, cols)
    cells = nrows * cols
    print("<sheetData> of %d cells, written to memory" % cells)
    wb = quillfen.load_workbook(path)
    dict_sheet = assigned(wb.worksheets[0], nrows, cols)
    for lxml in (False, True):
        mode = "lxml" if lxml else "ElementTree"
        # The store first: the pure writer makes every cell an object, which the native writer
        # would then read as such. A fresh load for each mode.
        store_sheet = quillfen.load_workbook(path).worksheets[0]
        assert type(store_sheet._cells).__name__ == "CellStore"
        for kind, ws in (("CellStore", store_sheet), ("dict", dict_sheet)):
            fast = best_of(lambda: native_write(ws, lxml), 5, time.process_time)
            slow = best_of(lambda: pure_write(ws, lxml), 1, time.process_time)
            print("  %-11s %-9s native %.3fs (%.2f M cells/s)   pure-Python %.2fs   %.1fx"
                  % (mode, kind, fast, cells / fast / 1e6, slow, slow / fast))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100000)
