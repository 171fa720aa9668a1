"""What the benchmarks share: timing (the best of a few runs, in seconds), the generated
workbooks they read, and the peer reader they are compared with."""

import importlib
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

import xlsxgen  # noqa: E402

# QUILLFEN_ENGINE names an engine build to measure instead of the installed one (make profile
# builds one with symbols and frame pointers for perf).
if os.environ.get("QUILLFEN_ENGINE"):
    import importlib.util

    _spec = importlib.util.spec_from_file_location("quillfen._quillfen", os.environ["QUILLFEN_ENGINE"])
    _engine = importlib.util.module_from_spec(_spec)
    sys.modules["quillfen._quillfen"] = _engine
    _spec.loader.exec_module(_engine)


def use_pure(on):
    """Turns the engine off (QUILLFEN_PURE_PYTHON=1) or on for what runs next in this process."""
    if on:
        os.environ["QUILLFEN_PURE_PYTHON"] = "1"
    else:
        os.environ.pop("QUILLFEN_PURE_PYTHON", None)


def read_only_value_count(path):
    """Streams every value of the first sheet read-only; the number of values."""
    import quillfen

    count = 0
    with quillfen.load_workbook(path, read_only=True) as wb:
        for row in wb.worksheets[0].iter_rows(values_only=True):
            count += len(row)
    return count


def best_of(fn, repeat: int = 3, clock=time.perf_counter) -> float:
    """The shortest of `repeat` runs of `fn`; `clock=time.process_time` counts this process's
    CPU time only, which other work on a busy machine disturbs less."""
    best = float("inf")
    for _ in range(repeat):
        start = clock()
        fn()
        best = min(best, clock() - start)
    return best


def cached_workbook(name, sheet):
    """build/<name>.xlsx, written once with the one sheet that `sheet()` gives as
    (rows_xml, dimension ref); later runs reuse the file."""
    path = os.path.join(ROOT, "build", name + ".xlsx")
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        rows_xml, dim = sheet()
        # Written aside and renamed, so an interrupted run leaves no half-written file behind.
        xlsxgen.write_workbook(path + ".tmp", [("Sheet1", rows_xml, dim, [])])
        os.replace(path + ".tmp", path)
    return path


def mixed_workbook(name, rows, cols):
    """A cached workbook of `rows` x `cols` mixed cells (numbers, shared strings, dates,
    booleans and formulas)."""
    return cached_workbook("%s_%d_%d" % (name, rows, cols), lambda: xlsxgen.mixed_sheet(rows, cols))


def peers():
    """The benchmark-only packages (python-calamine, fastexcel, matplotlib, the fast inflate,
    XlsxWriter, rustpy-xlsxwriter), installed on first use from bench/requirements.txt; the peer
    modules by name."""
    names = ("python_calamine", "fastexcel", "matplotlib", "xlsxwriter", "rustpy_xlsxwriter")
    try:
        modules = {name: importlib.import_module(name) for name in names}
    except ImportError:
        subprocess.check_call([sys.executable, "-m", "pip", "install", "-q", "-r",
                               os.path.join(ROOT, "bench", "requirements.txt")])
        modules = {name: importlib.import_module(name) for name in names}
    return modules


def calamine():
    """python-calamine (see peers)."""
    return peers()["python_calamine"]
