"""Two threads reading two workbooks against one thread reading both, on the free-threaded
interpreter: read-only values streamed, and editable loads with every value read. Ideally the
two threads take half the time of one; a plain Python loop in the same two threads is the
control (on a busy machine it will not halve either). Best of a few runs; the ratio is printed,
never asserted. Run by another interpreter, the script starts itself again on the free-threaded one
(.venv-ft, made by `make build-ft`) when it exists.

Usage: bench_threads.py [ROWS]   (10 columns per row; default 50000 rows per workbook)
"""

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


def main():
    if sysconfig.get_config_var("Py_GIL_DISABLED") != 1 and os.path.exists(FT_PYTHON):
        sys.stdout.flush()
        os.execv(FT_PYTHON, [FT_PYTHON, *sys.argv])
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 50_000
    use_pure(False)
    # Two files of the same content: nothing is shared between the threads but the code.
    paths = [cached_workbook("bench_threads_%d_%d" % (rows, k), lambda: xlsxgen.mixed_sheet(rows, 10))
             for k in (1, 2)]
    gil = "off" if not getattr(sys, "_is_gil_enabled", lambda: True)() else "on"
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


if __name__ == "__main__":
    main()
