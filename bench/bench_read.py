"""Read-only streaming: a sheet of 10^6 cells (numbers, shared strings, dates, booleans and
formulas) read as values, through the native reader, the pure-Python reader and python-calamine,
all in this process over the same file. Best of a few runs; ratios are printed, never asserted.

Usage: bench_read.py [ROWS]   (10 columns per row; default 100000 rows)
"""

import os
import subprocess
import sys
import time

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(_ROOT, "scripts"))

import xlsxgen  # noqa: E402

import quillfen  # noqa: E402


def calamine():
    """python-calamine, installed on first use from the benchmark requirements."""
    try:
        import python_calamine
    except ImportError:
        subprocess.check_call([sys.executable, "-m", "pip", "install", "-q", "-r",
                               os.path.join(_ROOT, "bench", "requirements.txt")])
        import python_calamine
    return python_calamine


def workbook(rows, cols=10):
    path = os.path.join(_ROOT, "build", "bench_read_%d_%d.xlsx" % (rows, cols))
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        rows_xml, dim = xlsxgen.mixed_sheet(rows, cols)
        xlsxgen.write_workbook(path + ".tmp", [("Sheet1", rows_xml, dim, [])])
        os.replace(path + ".tmp", path)
    return path


def quillfen_values(path, pure):
    if pure:
        os.environ["QUILLFEN_PURE_PYTHON"] = "1"
    else:
        os.environ.pop("QUILLFEN_PURE_PYTHON", None)
    count = 0
    with quillfen.load_workbook(path, read_only=True) as wb:
        for row in wb.worksheets[0].iter_rows(values_only=True):
            count += len(row)
    return count


def calamine_values(path):
    count = 0
    wb = calamine().CalamineWorkbook.from_path(path)
    for row in wb.get_sheet_by_index(0).iter_rows():
        count += len(row)
    return count


def best(fn, runs):
    times, result = [], None
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    path = workbook(rows)
    calamine()
    native_t, native_n = best(lambda: quillfen_values(path, False), 3)
    pure_t, pure_n = best(lambda: quillfen_values(path, True), 1)
    cal_t, cal_n = best(lambda: calamine_values(path), 3)
    assert native_n == pure_n == cal_n, (native_n, pure_n, cal_n)
    print("read-only values, %d cells (%s)" % (native_n, os.path.basename(path)))
    print("  native       %8.3f s  %6.2f Mcells/s" % (native_t, native_n / native_t / 1e6))
    print("  pure Python  %8.3f s  %6.2f Mcells/s" % (pure_t, pure_n / pure_t / 1e6))
    print("  calamine     %8.3f s  %6.2f Mcells/s" % (cal_t, cal_n / cal_t / 1e6))
    print("  native vs pure Python: %.1fx   native vs calamine: %.2fx" % (pure_t / native_t, cal_t / native_t))


if __name__ == "__main__":
    main()
