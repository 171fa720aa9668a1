"""Saving a loaded workbook: one edited sheet of ten, against all ten edited.

A workbook of ten sheets of mixed cells (10 columns; 10^5 cells a sheet by default) is loaded
editable; one cell of the first sheet is changed and the workbook saved, against one cell of
every sheet changed and saved: the sheets that did not change are copied as they are stored,
compressed, so that the save costs about the edited sheet. An untouched save is timed too.
CPU time of this process, the best of a few runs, side by side in one process; the ratio is
printed and kept in bench/results.json for BENCHMARKS.md, never asserted.

Usage: bench_lossless.py [ROWS]   (rows of 10 cells per sheet; default 10000)
"""

import io
import json
import os
import sys
import time

from bench_report import RESULTS, machine, render, save_results
from timing import ROOT, peers, xlsxgen

import quillfen

SHEETS = 10
COLUMNS = 10


def ten_sheets(rows):
    """build/lossless_<rows>.xlsx: ten sheets of `rows` x 10 mixed cells, written once."""
    path = os.path.join(ROOT, "build", "lossless_%d.xlsx" % rows)
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        rows_xml, dim = xlsxgen.mixed_sheet(rows, COLUMNS)
        xlsxgen.write_workbook(path + ".tmp", [("Sheet%d" % n, rows_xml, dim, []) for n in range(1, SHEETS + 1)])
        os.replace(path + ".tmp", path)
    return path


def save_time(path, edited):
    """The best CPU time of saving the workbook at `path`, loaded, with one cell changed in
    each of its first `edited` sheets (loading not counted)."""
    def run():
        wb = quillfen.load_workbook(path)
        for n, ws in enumerate(wb.worksheets[:edited]):
            ws["A1"] = n
        start = time.process_time()
        wb.save(io.BytesIO())
        return time.process_time() - start

    return min(run() for _ in range(3))


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    path = ten_sheets(rows)
    untouched, one, every = save_time(path, 0), save_time(path, 1), save_time(path, SHEETS)
    cells = rows * COLUMNS
    print("ten sheets of %d cells, loaded and saved: untouched %.3f s, one sheet edited %.3f s, "
          "every sheet edited %.3f s" % (cells, untouched, one, every))
    print("one edited sheet of ten saves %.1fx faster than ten edited sheets" % (every / one))
    with open(RESULTS) as f:
        res = json.load(f)
    res["lossless"] = {"machine": machine(), "cells": cells, "untouched": untouched, "one": one, "every": every}
    save_results(res)
    peers()  # the report draws its plots again
    render(res)


if __name__ == "__main__":
    main()
