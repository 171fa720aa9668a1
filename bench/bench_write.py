"""Writing worksheets.

1. `<sheetData>` alone: 10^6 mixed cells (ints, floats, strings, dates, booleans and formulas) of
   an editable worksheet, written by the native SheetWriter and by the pure-Python writer to an
   in-memory sink, in both serialisation modes. Two kinds of sheet: a CellStore loaded from a
   generated workbook (the store's records are read in place), and a plain dict of assigned
   cells.
2. Whole workbooks saved to a file: the same mix of 10^6 cells in a write-only workbook, in an
   editable one (cells assigned, then saved) and in a loaded one saved again, against XlsxWriter
   (constant_memory) and rustpy-xlsxwriter, and the pure-Python path.
3. Styled cells: the same editable workbook with every tenth cell in one of 20 styles (fonts,
   fills, borders, alignments, number formats), saved against the unstyled one, fresh and loaded
   again (the store's cells); what styling the cells costs.
4. Where a save's time goes (the XML text, or deflate at each level), and the peak memory of
   write-only workbooks of 10^4 and 10^6 rows, each saved in a process of its own.

Times are CPU time of this process, side by side in one process (the best of a few runs; one
run on the pure-Python path); ratios are printed, never asserted.

Usage: bench_write.py [ROWS]   (10 columns per row; default 100000 rows)
       bench_write.py --peak ROWS   (one write-only save of ROWS rows of 4 cells; prints the
                                     peak RSS of the process in KiB; Linux)
       bench_write.py --styled ROWS (part 3 alone)
"""

import copy
import datetime as dt
import io
import os
import subprocess
import sys
import tempfile
import time
import warnings
import zipfile
import zlib
from functools import partial

from timing import best_of, mixed_workbook, peers, use_pure

import quillfen
from quillfen import _quillfen as native
from quillfen.styles import Alignment, Border, Font, PatternFill, Side
from quillfen.writer import excel
from quillfen.writer.sheet_data import PureSheetWriter, rows, writing_helpers

COLUMNS = 10
TEXTS = ["text %d" % i for i in range(1000)]
BASE = dt.datetime(2020, 1, 1)


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


def sheet_data_figures(nrows, cols=10):
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




# ---------------------------------------------------------------- whole workbooks

def row_values(i):
    """Row `i` (0-based) of the saved sheets: two of each kind but booleans and formulas."""
    return [i, i * 0.25, TEXTS[i % 1000], BASE + dt.timedelta(minutes=i), i % 3 == 0,
            "=A%d*2" % (i + 1), -i, i / 7, TEXTS[i * 7 % 1000], BASE.date() + dt.timedelta(days=i % 3650)]


def write_only(path, nrows):
    wb = quillfen.Workbook(write_only=True)
    ws = wb.create_sheet()
    for i in range(nrows):
        ws.append(row_values(i))
    wb.save(path)


def editable(nrows):
    wb = quillfen.Workbook()
    ws = wb.active
    for i in range(nrows):
        ws.append(row_values(i))
    return wb


def save_quietly(wb, path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        wb.save(path)


def xlsxwriter_constant_memory(path, nrows):
    wb = peers()["xlsxwriter"].Workbook(path, {"constant_memory": True,
                                                "default_date_format": "yyyy-mm-dd h:mm:ss"})
    ws = wb.add_worksheet()
    for i in range(nrows):
        ws.write_row(i, 0, row_values(i))
    wb.close()


def rustpy(path, nrows):
    names = [chr(65 + c) for c in range(COLUMNS)]
    # Its rows are records (a header row comes first), and it writes formulas as text.
    peers()["rustpy_xlsxwriter"].FastExcel(path).sheet(
        "Sheet1", (dict(zip(names, row_values(i))) for i in range(nrows))).save()


def timed(label, fn, cells, reference=None, runs=3):
    seconds = best_of(fn, runs, time.process_time)
    ratio = "" if reference is None else "   %5.2fx XlsxWriter" % (reference / seconds)
    print("  %-36s %7.3f s  %5.2f M cells/s%s" % (label, seconds, cells / seconds / 1e6, ratio))
    return seconds


def save_figures(nrows, folder):
    cells = nrows * COLUMNS
    path = os.path.join(folder, "saved.xlsx")
    print("workbooks of %d cells saved to a file (%d rows of %d)" % (cells, nrows, COLUMNS))
    use_pure(False)
    xw = timed("XlsxWriter constant_memory", lambda: xlsxwriter_constant_memory(path, nrows), cells, runs=1)
    timed("rustpy-xlsxwriter", lambda: rustpy(path, nrows), cells, xw)
    timed("quillfen write-only", lambda: write_only(path, nrows), cells, xw)
    for pure, runs, label in ((False, 3, ""), (True, 1, ", pure Python")):
        use_pure(pure)
        if pure:
            timed("quillfen write-only" + label, lambda: write_only(path, nrows), cells, xw, runs)
        books = []
        timed("quillfen editable: assign" + label, lambda: books.append(editable(nrows)), cells, runs=runs)
        timed("quillfen editable: save" + label, lambda: save_quietly(books[-1], path), cells, xw, runs)
        books.clear()
        loaded = []
        timed("quillfen load" + label, lambda: loaded.append(quillfen.load_workbook(path)), cells, runs=runs)
        timed("quillfen loaded: save" + label, lambda: save_quietly(loaded[-1], path), cells, xw, runs)
        loaded.clear()
    use_pure(False)


def twenty_styles():
    """20 distinct combinations of font, fill, border, alignment and number format."""
    colors = ["1F4E79", "C00000", "00B050", "7030A0", "FFC000"]
    formats = ["0.00", "#,##0", "0%", "yyyy-mm-dd"]
    return [{"font": Font("Arial", 9 + i % 4, bold=i % 2 == 0, italic=i % 3 == 0, color=colors[i % 5]),
             "fill": PatternFill("solid", fgColor=colors[(i + 2) % 5]),
             "border": Border(bottom=Side("thin" if i % 2 else "medium", colors[i % 5])),
             "alignment": Alignment(horizontal=("left", "center", "right")[i % 3], wrap_text=i % 4 == 0),
             "number_format": formats[i % 4]}
            for i in range(20)]


def style_cells(wb):
    """Gives every tenth cell of the first sheet one of `twenty_styles`, in turn."""
    styles = twenty_styles()
    for n, cell in enumerate(wb.active.cells()):
        if n % 10 == 0:
            for kind, value in styles[n // 10 % 20].items():
                setattr(cell, kind, value)


def styled_figures(nrows, folder):
    cells = nrows * COLUMNS
    path = os.path.join(folder, "styled.xlsx")
    print("editable workbooks of %d cells, unstyled and with every tenth cell in one of 20 styles" % cells)
    plain = editable(nrows)
    styled = editable(nrows)
    seconds = best_of(lambda: style_cells(styled), 1, time.process_time)
    print("  styling %d cells (5 properties each): %.3f s, %.2f us a property"
          % (cells // 10, seconds, seconds / (cells // 10 * 5) * 1e6))
    for label, books in (("new", (plain, styled)), ("loaded", None)):
        if books is None:  # the same sheets loaded again: the cells are the store's records
            save_quietly(plain, path)
            loaded_plain = quillfen.load_workbook(path)
            save_quietly(styled, path)
            books = (loaded_plain, quillfen.load_workbook(path))
        unstyled = best_of(lambda: save_quietly(books[0], path), 3, time.process_time)
        with_styles = best_of(lambda: save_quietly(books[1], path), 3, time.process_time)
        print("  %-6s save: unstyled %.3f s, styled %.3f s: %.2fx" % (label, unstyled, with_styles,
                                                                     with_styles / unstyled))


def deflate_levels(nrows, folder):
    """Level 0 stores the parts, so its time is that of the XML text; each level's time over it
    is deflate's. Then the same with the optional fast deflate (isal), when it is installed."""
    path = os.path.join(folder, "levels.xlsx")
    wb = editable(nrows)
    saved = excel.COMPRESSION, excel.COMPRESSION_LEVEL, excel._fast_zlib
    print("saving the editable workbook by deflate level (zlib %s)" % zlib.ZLIB_RUNTIME_VERSION)
    try:
        for fast, levels in ((None, (0, 1, 3, 6, 9)), (saved[2], (1,) if saved[2] else ())):
            excel._fast_zlib = fast
            for level in levels:
                excel.COMPRESSION = zipfile.ZIP_STORED if level == 0 else zipfile.ZIP_DEFLATED
                excel.COMPRESSION_LEVEL = level
                seconds = best_of(lambda: save_quietly(wb, path), 3, time.process_time)
                print("  %-5s level %d  %6.3f s  %6.1f MB" % ("isal" if fast else "zlib", level, seconds,
                                                           os.path.getsize(path) / 1e6))
    finally:
        excel.COMPRESSION, excel.COMPRESSION_LEVEL, excel._fast_zlib = saved


def peak(nrows):
    """One write-only save of `nrows` rows of 4 cells in this process; prints its peak RSS."""
    with tempfile.TemporaryDirectory() as folder:
        wb = quillfen.Workbook(write_only=True)
        ws = wb.create_sheet()
        for i in range(nrows):
            ws.append([i, i * 0.5, TEXTS[i % 1000], i % 2 == 0])
        wb.save(os.path.join(folder, "peak.xlsx"))
    # The peak of this program: the rusage maximum would count the parent's pages that a
    # forked child held before it ran this.
    with open("/proc/self/status") as status:
        print(next(line.split()[1] for line in status if line.startswith("VmHWM:")))


def peaks():
    print("write-only peak memory (rows of 4 cells, each saved in a process of its own)")
    for nrows in (10_000, 1_000_000):
        start = time.perf_counter()
        out = subprocess.run([sys.executable, __file__, "--peak", str(nrows)], check=True,
                             capture_output=True, text=True).stdout
        print("  %9d rows  peak RSS %6.1f MB  (%.1f s)" % (nrows, int(out) / 1024, time.perf_counter() - start))


def main(nrows):
    sheet_data_figures(nrows)
    with tempfile.TemporaryDirectory() as folder:
        save_figures(nrows, folder)
        styled_figures(nrows, folder)
        deflate_levels(nrows, folder)
    peaks()


if __name__ == "__main__":
    if sys.argv[1:2] == ["--peak"]:
        peak(int(sys.argv[2]))
    elif sys.argv[1:2] == ["--styled"]:
        with tempfile.TemporaryDirectory() as folder:
            styled_figures(int(sys.argv[2]), folder)
    else:
        main(int(sys.argv[1]) if len(sys.argv) > 1 else 100000)
