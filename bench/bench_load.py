"""Editable (full) loading: a sheet of 10^6 cells (numbers, shared strings, dates, booleans and
formulas) loaded through the native engine into a CellStore, through the pure-Python loader,
and by python-calamine to Python values; then the memory the loaded sheet holds per cell
(tracemalloc and RSS, each load in a fresh process) and the time to touch every cell once
through the worksheet API. Ratios are printed, never asserted.

Usage: bench_load.py [ROWS]   (10 columns per row; default 100000 rows)
"""

import json
import os
import subprocess
import sys
import time

from timing import best_of, cached_workbook, calamine, xlsxgen


def workbook(rows, cols=10, numeric=False):
    if not numeric:
        return cached_workbook("bench_load_mixed_%d_%d" % (rows, cols), lambda: xlsxgen.mixed_sheet(rows, cols))

    def sheet():
        def rows_xml(strings):
            for r in range(1, rows + 1, 1000):
                yield "".join('<row r="%d">%s</row>' % (i, "".join(
                    '<c r="%s%d"><v>%r</v></c>' % (xlsxgen._column_letter(c), i, (i * c) / 7 if c % 2 else i * c)
                    for c in range(1, cols + 1))) for i in range(r, min(r + 1000, rows + 1)))
        return rows_xml, "A1:%s%d" % (xlsxgen._column_letter(cols), rows)
    return cached_workbook("bench_load_numeric_%d_%d" % (rows, cols), sheet)


def measure_child(path, pure):
    """Runs in a fresh interpreter: load time, memory held, touch time."""
    import gc
    import tracemalloc

    if pure:
        os.environ["QUILLFEN_PURE_PYTHON"] = "1"
    import quillfen

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    quillfen.load_workbook(path).close()  # imports, caches, first-use costs
    start = time.perf_counter()
    wb = quillfen.load_workbook(path)
    load = time.perf_counter() - start  # timed without tracemalloc, which slows Python code most
    del wb
    gc.collect()
    rss0 = rss()
    tracemalloc.start()
    wb = quillfen.load_workbook(path)
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    held_rss = rss() - rss0
    ws = wb.worksheets[0]
    cells = len(ws._cells)
    start = time.perf_counter()
    for row in ws.iter_rows():
        for cell in row:
            cell.value
    touch = time.perf_counter() - start
    print(json.dumps({"load": load, "traced": traced, "rss": held_rss, "cells": cells, "touch": touch,
                      "store": type(ws._cells).__name__}))


def child(path, pure):
    out = subprocess.check_output([sys.executable, __file__, "--child", path, "1" if pure else "0"])
    return json.loads(out)


def main(rows):
    path = workbook(rows)
    cells = rows * 10
    print("editable load of %d cells (%s)" % (cells, os.path.basename(path)))
    native = min((child(path, False) for _ in range(3)), key=lambda r: r["load"])
    assert native["store"] == "CellStore", native
    pure = child(path, True)
    cal = calamine()
    cal_time = best_of(lambda: cal.CalamineWorkbook.from_path(path).get_sheet_by_index(0).to_python(), 3)
    print("  load     native %.3fs   pure-Python %.3fs (%.1fx)   python-calamine %.3fs (%.2fx)"
          % (native["load"], pure["load"], pure["load"] / native["load"], cal_time, cal_time / native["load"]))
    for name, r in (("native", native), ("pure-Python", pure)):
        print("  held     %-12s tracemalloc %6.1f B/cell   RSS %6.1f B/cell"
              % (name, r["traced"] / r["cells"], r["rss"] / r["cells"]))
    print("  touch    every cell once via iter_rows: native %.3fs   pure-Python %.3fs"
          % (native["touch"], pure["touch"]))
    numeric = workbook(rows, numeric=True)
    num = min((child(numeric, False) for _ in range(2)), key=lambda r: r["rss"])
    num_pure = child(numeric, True)
    print("  numeric  %d numbers (half ints, half floats): native RSS %.1f B/cell (tracemalloc %.1f), "
          "pure-Python RSS %.1f B/cell; load %.3fs vs %.3fs"
          % (num["cells"], num["rss"] / num["cells"], num["traced"] / num["cells"], num_pure["rss"] / num_pure["cells"],
             num["load"], num_pure["load"]))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        measure_child(sys.argv[2], sys.argv[3] == "1")
    else:
        main(int(sys.argv[1]) if len(sys.argv) > 1 else 100000)
