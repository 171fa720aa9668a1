"""Two threads reading two workbooks against one thread reading both, on the free-threaded
interpreter: read-only values streamed, and editable loads with every value read. Ideally the
two threads take half the time of one; a plain Python loop in the same two threads is the
control (on a busy machine it will not halve either). Then one workbook of four sheets loaded
editable with its sheets bound on two threads (QUILLFEN_THREADS=2) against one. Best of a few
runs; the ratios are printed, never asserted. Run by another interpreter, the script starts
itself again on the free-threaded one (.venv-ft, made by `make build-ft`) when it exists.

Usage: bench_threads.py [ROWS] [--json]   (10 columns per row; default 50000 rows per workbook,
the four sheets together as many)
"""

import json
import os
import sys
import sysconfig
import threading
import time

from timing import ROOT, best_of, cached_workbook, read_only_value_count, use_pure, xlsxgen

FT_PYTHON = os.path.join(ROOT, ".venv-ft", "bin", "python")


def editable_values(path):
    import quillfen

    count = 0
    wb = quillfen.load_workbook(path)
    for row in wb.worksheets[0].iter_rows(values_only=True):
        count += len(row)
    wb.close()
    return count


def spin(_path):
    """The control: Python code that shares nothing, to show what the machine allows."""
    total = 0
    for i in range(3_000_000):
        total += i
    return total


def one_thread(fn, paths):
    for path in paths:
        fn(path)


def two_threads(fn, paths):
    start = threading.Barrier(len(paths))

    def run(path):
        start.wait()
        fn(path)
    threads = [threading.Thread(target=run, args=(p,)) for p in paths]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def sheets_in_threads(path, runs=3):
    """Editable loads of the four-sheet workbook with its sheets on one thread and on two:
    (one, two) in seconds, best of `runs`, taken in turns."""
    import quillfen

    def load(threads):
        os.environ["QUILLFEN_THREADS"] = str(threads)
        quillfen.load_workbook(path).close()

    load(1)  # imports and first-use costs
    best = {1: float("inf"), 2: float("inf")}
    for _ in range(runs):
        for threads in best:
            start = time.perf_counter()
            load(threads)
            best[threads] = min(best[threads], time.perf_counter() - start)
    os.environ.pop("QUILLFEN_THREADS", None)
    return best[1], best[2]


def four_sheets(rows):
    name = "bench_threads_sheets_%d" % rows
    path = os.path.join(ROOT, "build", name + ".xlsx")
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        quarter = xlsxgen.mixed_sheet(rows // 4, 10)
        xlsxgen.write_workbook(path + ".tmp", [("Sheet%d" % k, quarter[0], quarter[1], []) for k in range(1, 5)])
        os.replace(path + ".tmp", path)
    return path


def main():
    if sysconfig.get_config_var("Py_GIL_DISABLED") != 1 and os.path.exists(FT_PYTHON):
        sys.stdout.flush()
        os.execv(FT_PYTHON, [FT_PYTHON, *sys.argv])
    args = [a for a in sys.argv[1:] if a != "--json"]
    rows = int(args[0]) if args else 50_000
    use_pure(False)
    gil = "off" if not getattr(sys, "_is_gil_enabled", lambda: True)() else "on"
    if "--json" in sys.argv:
        one, two = sheets_in_threads(four_sheets(rows))
        print(json.dumps({"one": one, "two": two, "gil": gil, "cells": rows * 10}))
        return
    # Two files of the same content: nothing is shared between the threads but the code.
    paths = [cached_workbook("bench_threads_%d_%d" % (rows, k), lambda: xlsxgen.mixed_sheet(rows, 10))
             for k in (1, 2)]
    print("two workbooks of %d cells, %s, GIL %s, %d CPUs" % (rows * 10, sys.version.split()[0], gil, os.cpu_count()))
    for name, fn in (("control: a Python loop", spin), ("read-only values", read_only_value_count),
                     ("editable load + values", editable_values)):
        fn(paths[0])  # imports and first-use costs
        one = best_of(lambda: one_thread(fn, paths), 3)
        two = best_of(lambda: two_threads(fn, paths), 3)
        one_cpu = best_of(lambda: one_thread(fn, paths), 3, time.process_time)
        two_cpu = best_of(lambda: two_threads(fn, paths), 3, time.process_time)
        print("  %-24s one thread %6.3f s   two threads %6.3f s   ratio %.2f (ideal 0.50)" % (name, one, two, two / one))
        # CPU time that grows with the second thread would be contention; CPU time over wall
        # time shows how many cores the machine gave the two threads.
        print("  %-24s CPU time: two threads / one %.2f; cores used by two threads %.1f"
              % ("", two_cpu / one_cpu, two_cpu / two))
    one, two = sheets_in_threads(four_sheets(rows))
    print("one workbook of four sheets, %d cells in all, loaded editable" % (rows * 10))
    print("  sheets on one thread %6.3f s   on two %6.3f s   %.2fx faster (goal 1.6x)" % (one, two, one / two))


if __name__ == "__main__":
    main()
