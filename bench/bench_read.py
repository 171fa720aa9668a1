"""Read-only streaming: a sheet of 10^6 cells (numbers, shared strings, dates, booleans and
formulas) read as values, through the native reader, the pure-Python reader and python-calamine,
all in this process over the same file. Best of a few runs; ratios are printed, never asserted.

Usage: bench_read.py [ROWS]   (10 columns per row; default 100000 rows)
"""

import os
import sys

from timing import best_of, calamine, mixed_workbook, read_only_value_count, use_pure

import quillfen  # noqa: E402,F401 - imported before anything is timed


def quillfen_values(path, pure):
    use_pure(pure)
    return read_only_value_count(path)


def calamine_values(path):
    count = 0
    wb = calamine().CalamineWorkbook.from_path(path)
    for row in wb.get_sheet_by_index(0).iter_rows():
        count += len(row)
    return count


def timed(fn, runs):
    """The best time of `runs` calls and the result of the last one."""
    result = []
    return best_of(lambda: result.append(fn()), runs), result[-1]


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    path = mixed_workbook("bench_read", rows, 10)
    calamine()
    native_t, native_n = timed(lambda: quillfen_values(path, False), 3)
    pure_t, pure_n = timed(lambda: quillfen_values(path, True), 1)
    cal_t, cal_n = timed(lambda: calamine_values(path), 3)
    assert native_n == pure_n == cal_n, (native_n, pure_n, cal_n)
    print("read-only values, %d cells (%s)" % (native_n, os.path.basename(path)))
    print("  native       %8.3f s  %6.2f Mcells/s" % (native_t, native_n / native_t / 1e6))
    print("  pure Python  %8.3f s  %6.2f Mcells/s" % (pure_t, pure_n / pure_t / 1e6))
    print("  calamine     %8.3f s  %6.2f Mcells/s" % (cal_t, cal_n / cal_t / 1e6))
    print("  native vs pure Python: %.1fx   native vs calamine: %.2fx" % (pure_t / native_t, cal_t / native_t))


if __name__ == "__main__":
    main()
