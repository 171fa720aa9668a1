"""Structural edits of a loaded sheet of 10^6 cells (the mixed pattern of bench_load: numbers,
shared strings, dates, booleans and a formula in every sixth cell, each pointing at the cell to
its left; and numbers with a shared formula in every tenth cell, groups of a thousand, each
with an absolute reference that the edits move): a row inserted at the top, a row deleted
there, a column inserted at the left, each against the time it takes to load the workbook,
measured side by side (CPU time, the best of a few runs). The engine's store shifts its records
in place and rewrites the formulas natively; the pure-Python path, which moves a dict of cell
objects, is measured on a tenth of the cells. Ratios are printed, never asserted.

Usage: bench_structure.py [ROWS]   (10 columns per row; default 100000 rows)
"""

import sys
import time

from timing import best_of, cached_workbook, use_pure, xlsxgen


def workbook(rows, cols=10):
    return cached_workbook("bench_load_mixed_%d_%d" % (rows, cols), lambda: xlsxgen.mixed_sheet(rows, cols))


def shared_workbook(rows):
    def sheet():
        def rows_xml(strings):
            for first in range(1, rows + 1, 1000):
                last = min(first + 999, rows)
                chunk = []
                for r in range(first, last + 1):
                    numbers = "".join('<c r="%s%d"><v>%d</v></c>' % (xlsxgen._column_letter(c), r, r * c)
                                      for c in range(1, 10))
                    if r == first:
                        formula = '<f t="shared" ref="J%d:J%d" si="%d">A%d*2+$B$1</f>' % (r, last, r // 1000, r)
                    else:
                        formula = '<f t="shared" si="%d"/>' % (first // 1000)
                    chunk.append('<row r="%d">%s<c r="J%d">%s<v>0</v></c></row>' % (r, numbers, r, formula))
                yield "".join(chunk)
        return rows_xml, "A1:J%d" % rows
    return cached_workbook("bench_structure_shared_%d" % rows, sheet)


def measure(path, edits, repeat=3):
    """(load seconds, {edit: seconds}) on freshly loaded workbooks."""
    import quillfen

    load = best_of(lambda: quillfen.load_workbook(path), repeat, time.process_time)
    found = {}
    for name, edit in edits:
        best = float("inf")
        for _ in range(repeat):
            ws = quillfen.load_workbook(path).worksheets[0]
            start = time.process_time()
            edit(ws)
            best = min(best, time.process_time() - start)
        found[name] = best
    return load, found


EDITS = [
    ("insert a row at the top", lambda ws: ws.insert_rows(1)),
    ("delete the first row", lambda ws: ws.delete_rows(1)),
    ("insert a column at the left", lambda ws: ws.insert_cols(1)),
]


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    for label, n, pure in (("engine", rows, False), ("pure-Python", max(rows // 10, 1), True)):
        use_pure(pure)
        for kind, make in (("mixed", workbook), ("shared formulas", shared_workbook)):
            load, found = measure(make(n), EDITS, repeat=3 if not pure else 1)
            print("%s, %s, %d cells: load %.3f s" % (label, kind, n * 10, load))
            for name, seconds in found.items():
                print("  %-28s %.4f s  (%.3fx the load)" % (name, seconds, seconds / load))
    use_pure(False)


if __name__ == "__main__":
    main()
