"""DataFrames both ways, against the peers in the same run, over the same files:

- reading 10^6 cells into a frame, from opening the file: `to_polars()` against
  `polars.read_excel` (its default engine), `to_pandas()` against
  `pandas.read_excel(engine="calamine")`, and `pyarrow.table(ws)` (the Arrow stream), on a typed
  table (a header row, then ints, floats, text, dates and booleans in their own columns) and on
  the mixed sheet of the report (mixed cells, formulas);
- the peak memory of an Arrow read (`pyarrow.table(ws.to_arrow())` of a read-only sheet) against
  the table's own size, in a fresh interpreter;
- writing a frame of 10^6 cells (mixed typed columns) to a file: `quillfen.write_frames` against
  pandas' `DataFrame.to_excel(engine="xlsxwriter")` and polars' `write_excel`, the file read back
  by python-calamine with the same values;
- many workbooks on Dask: 200 workbooks of 10^4 cells read by `quillfen.dask.read_excel` on a
  local cluster of one worker process, then of two.

Best of a few runs; ratios are printed and kept in bench/results.json ("frames"), from which
bench_report.py draws BENCHMARKS.md; never asserted.

Usage: bench_frames.py [ROWS]   (10 columns per row; default 100000 rows)
"""

import datetime
import json
import os
import subprocess
import sys
import tempfile
import time

from timing import ROOT, best_of, cached_workbook, mixed_workbook, peers

import quillfen  # noqa: E402

COLUMNS = ["id", "count", "ratio", "price", "name", "city", "day", "moment", "flag", "score"]
RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results.json")


def table_sheet(rows):
    def rows_xml(strings):
        yield '<row r="1">%s</row>' % "".join(
            '<c r="%s1" t="s"><v>%d</v></c>' % (chr(65 + i), strings.add(name)) for i, name in enumerate(COLUMNS))
        chunk = []
        for r in range(2, rows + 2):
            chunk.append(
                '<row r="{r}"><c r="A{r}"><v>{r}</v></c><c r="B{r}"><v>{b}</v></c><c r="C{r}"><v>{c!r}</v></c>'
                '<c r="D{r}"><v>{d!r}</v></c><c r="E{r}" t="s"><v>{e}</v></c><c r="F{r}" t="s"><v>{f}</v></c>'
                '<c r="G{r}" s="1"><v>{g}</v></c><c r="H{r}" s="1"><v>{h!r}</v></c><c r="I{r}" t="b"><v>{i}</v></c>'
                '<c r="J{r}"><v>{j!r}</v></c></row>'.format(
                    r=r, b=r * 7 % 1000, c=r / 3, d=r * 0.25 + 0.5, e=strings.add("name %d" % (r % 1000)),
                    f=strings.add("city %d" % (r % 50)), g=40000 + r % 5000, h=40000.25 + r % 3000, i=r % 2,
                    j=(r % 97) / 7))
            if len(chunk) >= 1000:
                yield "".join(chunk)
                chunk = []
        yield "".join(chunk)
    return rows_xml, "A1:J%d" % (rows + 1)


def quillfen_frame(path, kind, read_only=True):
    os.environ.pop("QUILLFEN_PURE_PYTHON", None)
    with quillfen.load_workbook(path, read_only=read_only, data_only=True) as wb:
        ws = wb.worksheets[0]
        if kind == "arrow":
            import pyarrow as pa
            return pa.table(ws)
        return ws.to_pandas() if kind == "pandas" else ws.to_polars()


def timed(fn, runs=3):
    result = []
    return best_of(lambda: result.append(fn()), runs), result[-1]


def reading(path, label):
    import pandas as pd
    import polars as pl

    q_pd_t, q_pd = timed(lambda: quillfen_frame(path, "pandas"))
    q_pl_t, q_pl = timed(lambda: quillfen_frame(path, "polars"))
    q_pa_t, _ = timed(lambda: quillfen_frame(path, "arrow"))
    q_loaded_t, _ = timed(lambda: quillfen_frame(path, "polars", read_only=False))
    pd_t, pd_frame = timed(lambda: pd.read_excel(path, engine="calamine"))
    pl_t, pl_frame = timed(lambda: pl.read_excel(path))
    assert q_pd.shape == pd_frame.shape == q_pl.shape == pl_frame.shape, (q_pd.shape, pd_frame.shape)
    cells = q_pd.shape[0] * q_pd.shape[1]
    print("DataFrames of the %s sheet, %d cells (%s)" % (label, cells, os.path.basename(path)))
    print("  quillfen to_pandas      %8.3f s   pandas.read_excel(calamine) %8.3f s   %.2fx" % (q_pd_t, pd_t, pd_t / q_pd_t))
    print("  quillfen to_polars      %8.3f s   polars.read_excel           %8.3f s   %.2fx" % (q_pl_t, pl_t, pl_t / q_pl_t))
    print("  quillfen pyarrow.table  %8.3f s   of a loaded workbook, to_polars with loading: %.3f s"
          % (q_pa_t, q_loaded_t))
    print("  quillfen dtypes: %s" % ", ".join(map(str, q_pl.dtypes)))
    print("  polars dtypes:   %s" % ", ".join(map(str, pl_frame.dtypes)))
    return {"cells": cells, "to_pandas": q_pd_t, "pandas.read_excel": pd_t, "to_polars": q_pl_t,
            "polars.read_excel": pl_t, "pyarrow.table": q_pa_t, "to_polars_loaded": q_loaded_t}


def arrow_peak(path):
    """(peak RSS growth, table bytes) of an Arrow read in a fresh interpreter."""
    out = subprocess.check_output([sys.executable, __file__, "--peak", path], cwd=os.path.dirname(__file__))
    peak, size = json.loads(out)
    return peak, size


def child_peak(path):
    import pyarrow as pa

    def status(key):
        with open("/proc/self/status") as f:
            return int(next(line.split()[1] for line in f if line.startswith(key))) * 1024

    with quillfen.load_workbook(path, read_only=True, data_only=True) as wb:
        ws = wb.worksheets[0]
        pa.table(ws.to_arrow(nrows=10))  # the code paths warmed up, their memory counted in the base
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the peak to the current size
        base = status("VmRSS:")
        table = pa.table(ws.to_arrow())
        peak = status("VmHWM:") - base
    print(json.dumps([peak, table.nbytes]))


def frame_to_write(rows):
    import polars as pl

    start = datetime.datetime(2020, 1, 1)
    return pl.DataFrame({
        "id": range(rows), "count": [i * 7 % 1000 for i in range(rows)], "ratio": [i / 3 for i in range(rows)],
        "price": [i * 0.25 + 0.5 for i in range(rows)], "name": ["name %d" % (i % 1000) for i in range(rows)],
        "city": ["city %d" % (i % 50) for i in range(rows)],
        "day": [(start + datetime.timedelta(days=i % 5000)).date() for i in range(rows)],
        "moment": [start + datetime.timedelta(minutes=i) for i in range(rows)], "flag": [i % 2 == 0 for i in range(rows)],
        "score": [None if i % 11 == 0 else (i % 97) / 7 for i in range(rows)]})


def writing(rows):
    calamine = peers()["python_calamine"]
    frame = frame_to_write(rows)
    pandas_frame = frame.to_pandas()
    folder = tempfile.mkdtemp(prefix="quillfen-bench-")
    paths = {name: os.path.join(folder, name + ".xlsx") for name in ("quillfen", "pandas", "polars")}
    q_t = best_of(lambda: quillfen.write_frames({"Sheet1": frame}, paths["quillfen"]), 3)
    pd_t = best_of(lambda: pandas_frame.to_excel(paths["pandas"], engine="xlsxwriter", index=False), 1)
    pl_t = best_of(lambda: frame.write_excel(paths["polars"]), 1)
    with open(paths["quillfen"], "rb") as f:
        back = calamine.CalamineWorkbook.from_filelike(f).get_sheet_by_name("Sheet1").to_python()
    assert back[0] == frame.columns and len(back) == rows + 1
    assert back[5][:6] == [4, 28, 4 / 3, 1.5, "name 4", "city 4"], back[5]
    cells = rows * len(frame.columns)
    print("Writing a frame of %d cells to a file" % cells)
    print("  quillfen.write_frames    %8.3f s" % q_t)
    print("  pandas to_excel(xlsxwriter) %8.3f s  (%.1fx)" % (pd_t, pd_t / q_t))
    print("  polars write_excel       %8.3f s  (%.1fx)" % (pl_t, pl_t / q_t))
    return {"cells": cells, "quillfen.write_frames": q_t, "pandas.to_excel": pd_t, "polars.write_excel": pl_t}


def dask_workbooks(count=200, rows=1000):
    """200 workbooks of 10^4 cells, read on one worker process and on two."""
    import distributed

    from quillfen import dask as qdask

    folder = os.path.join(ROOT, "build", "bench_dask_%d_%d" % (count, rows))
    if not os.path.isdir(folder):
        os.makedirs(folder + ".tmp", exist_ok=True)
        frame = frame_to_write(rows)
        for i in range(count):
            quillfen.write_frames({"Sheet1": frame}, os.path.join(folder + ".tmp", "book%03d.xlsx" % i))
        os.replace(folder + ".tmp", folder)
    times = {}
    for workers in (1, 2):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None, silence_logs=40) as cluster, distributed.Client(cluster):
            frame = qdask.read_excel(os.path.join(folder, "*.xlsx"))
            frame.compute()  # the workers warmed up
            best = float("inf")
            for _ in range(2):
                start = time.perf_counter()
                result = frame.compute()
                best = min(best, time.perf_counter() - start)
            assert len(result) == count * rows
            times[workers] = best
    print("Dask: %d workbooks of %d cells: one worker %.2f s, two workers %.2f s (%.2fx)"
          % (count, rows * 10, times[1], times[2], times[1] / times[2]))
    return {"workbooks": count, "cells": rows * 10, "one_worker": times[1], "two_workers": times[2]}


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    peers()
    typed = cached_workbook("bench_frames_%d" % rows, lambda: table_sheet(rows))
    mixed = mixed_workbook("report", rows, 10)
    results = {"date": time.strftime("%Y-%m-%d"), "load_average": os.getloadavg()[0],
               "typed": reading(typed, "typed"), "mixed": reading(mixed, "mixed")}
    peak, size = arrow_peak(typed)
    print("Peak memory of an Arrow read of the typed sheet: %.1f MB for a table of %.1f MB (%.2fx)"
          % (peak / 1e6, size / 1e6, peak / size))
    results["arrow_peak"] = {"peak_bytes": peak, "table_bytes": size}
    results["writing"] = writing(rows)
    results["dask"] = dask_workbooks()
    store = {}
    if os.path.exists(RESULTS):
        with open(RESULTS) as f:
            store = json.load(f)
    store["frames"] = results
    with open(RESULTS, "w") as f:
        json.dump(store, f, indent=1)


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--peak":
        child_peak(sys.argv[2])
    else:
        main()
