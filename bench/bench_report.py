"""The benchmark report: throughput of reading (read-only values, editable load, then every value
of the loaded sheet) for quillfen's native engine, its pure-Python path, python-calamine and
fastexcel, by sheet size (10^4 to 10^7 mixed cells: numbers, shared strings, dates, booleans and
formulas); the memory an editable load holds per cell; the peak memory of a read-only pass.

Writes bench/results.json and draws BENCHMARKS.md with its plots (bench/plots/*.png). Timings run
side by side in one process, best of a few runs; memory is measured in fresh interpreters. The
pure-Python path is skipped above 10^6 cells (minutes per run). Ratios are reported, never asserted.

Writing: a workbook of the same mix of cells saved to a file, write-only, against XlsxWriter
(constant_memory), rustpy-xlsxwriter and the pure-Python path (bench_write.py has the details).
Saving a loaded workbook with one sheet of ten changed: bench_lossless.py keeps its figures here.

Report features: the same write-only workbook of 10^6 cells saved plain and with a table, a chart
and 20 conditional formats (bench_features.py).

Usage: bench_report.py [--max-cells N] [--render-only] [--writer-only] [--features-only]
"""

import argparse
import gc
import json
import os
import platform
import subprocess
import sys
import time

from timing import ROOT, best_of, cached_workbook, mixed_workbook, peers, use_pure, xlsxgen

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results.json")
PLOTS = os.path.join(HERE, "plots")
REPORT = os.path.join(ROOT, "BENCHMARKS.md")
COLS = 10
SIZES = [10 ** 4, 10 ** 5, 10 ** 6, 10 ** 7]
PURE_LIMIT = 10 ** 6
WRITE_LIMIT = 10 ** 6  # XlsxWriter takes about a minute for 10^7 cells
WRITE_PURE_LIMIT = 10 ** 5


def numeric_workbook(cells, small):
    """Half ints, half floats (or small ints only), 10 to a row."""
    rows = cells // COLS

    def sheet():
        def rows_xml(strings):
            for start in range(1, rows + 1, 1000):
                yield "".join('<row r="%d">%s</row>' % (r, "".join(
                    '<c r="%s%d"><v>%r</v></c>' % (xlsxgen._column_letter(c), r, value(r, c))
                    for c in range(1, COLS + 1))) for r in range(start, min(start + 1000, rows + 1)))
        return rows_xml, "A1:%s%d" % (xlsxgen._column_letter(COLS), rows)

    def value(r, c):
        if small:
            return (r * c) % 200
        return (r * c) / 7 if c % 2 else r * c
    return cached_workbook("report_%s_%d" % ("smallints" if small else "numeric", cells), sheet)


# ---------------------------------------------------------------- measures in this process

def quillfen_read_only(path, pure):
    import quillfen
    use_pure(pure)
    try:
        with quillfen.load_workbook(path, read_only=True) as wb:
            for _row in wb.worksheets[0].iter_rows(values_only=True):
                pass
    finally:
        use_pure(False)


def quillfen_load(path, pure):
    import quillfen
    use_pure(pure)
    try:
        return quillfen.load_workbook(path)
    finally:
        use_pure(False)


def calamine_read_only(path):
    cal = peers()["python_calamine"]
    for _row in cal.CalamineWorkbook.from_path(path).get_sheet_by_index(0).iter_rows():
        pass


def calamine_load(path):
    cal = peers()["python_calamine"]
    return cal.CalamineWorkbook.from_path(path).get_sheet_by_index(0).to_python()


def fastexcel_load(path):
    fastexcel = peers()["fastexcel"]
    return fastexcel.read_excel(path).load_sheet(0, header_row=None, dtypes="string").to_arrow()


def timed_runs(cells):
    return 5 if cells <= 10 ** 5 else 3 if cells <= 10 ** 6 else 2


def timed(fn, cells):
    return best_of(fn, timed_runs(cells))


def values_time(path, cells):
    """ws.values over a fresh editable load (the load not timed), best of a few."""
    best = float("inf")
    for _ in range(3 if cells <= 10 ** 6 else 1):
        wb = quillfen_load(path, False)
        start = time.perf_counter()
        for _row in wb.worksheets[0].values:
            pass
        best = min(best, time.perf_counter() - start)
        wb.close()
    return best


def calamine_values_time(path, cells):
    """to_python() of a freshly opened sheet (a second call on the same sheet may answer from
    what the first built), best of a few."""
    cal = peers()["python_calamine"]
    best = float("inf")
    for _ in range(3 if cells <= 10 ** 6 else 1):
        sheet = cal.CalamineWorkbook.from_path(path).get_sheet_by_index(0)
        start = time.perf_counter()
        sheet.to_python()
        best = min(best, time.perf_counter() - start)
    return best


def writer_times(sizes):
    """Seconds to make and save a workbook of n mixed cells, by writer and size."""
    import tempfile

    import bench_write as bw
    times = {}
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "written.xlsx")
        for n in (n for n in sizes if n <= WRITE_LIMIT):
            rows = n // bw.COLUMNS
            print("writing %d cells" % n, flush=True)

            def put(writer, fn, runs=None):
                times.setdefault(writer, {})[str(n)] = best_of(fn, runs or timed_runs(n))

            put("XlsxWriter", lambda: bw.xlsxwriter_constant_memory(path, rows), 1 if n > 10 ** 5 else None)
            put("rustpy-xlsxwriter", lambda: bw.rustpy(path, rows))
            put("quillfen", lambda: bw.write_only(path, rows))
            if n <= WRITE_PURE_LIMIT:
                use_pure(True)
                try:
                    put("pure-Python", lambda: bw.write_only(path, rows), 1)
                finally:
                    use_pure(False)
    return times


# ---------------------------------------------------------------- measures in fresh interpreters

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def child_held(path, pure):
    """Bytes held per cell after an editable load (RSS), in this fresh interpreter. A small sheet
    is loaded first for imports and first-use costs (the same sheet would leave freed memory
    behind for the measured load to reuse)."""
    import quillfen
    use_pure(pure)
    quillfen.load_workbook(numeric_workbook(10 ** 4, True)).close()
    gc.collect()
    before = rss()
    wb = quillfen.load_workbook(path)
    gc.collect()
    cells = len(wb.worksheets[0]._cells)
    return (rss() - before) / cells


def child_peak(path):
    """Peak RSS (MB) of this fresh interpreter after a read-only pass: the high-water mark of
    its own memory (the rusage maximum would count the parent's pages that the forked child
    held before it ran this)."""
    quillfen_read_only(path, False)
    with open("/proc/self/status") as status:
        return int(next(line.split()[1] for line in status if line.startswith("VmHWM:"))) / 1024


def in_child(kind, path, pure=False):
    out = subprocess.check_output([sys.executable, __file__, "--child", kind, path, "1" if pure else "0"], cwd=HERE)
    return json.loads(out)


# ---------------------------------------------------------------- the run

def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    except OSError:
        pass
    try:
        import isal  # noqa: F401
        fast = True
    except ImportError:
        fast = False
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_gb": round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2 ** 30, 1),
        "system": platform.platform(),
        "python": sys.version.split()[0] + " (" + platform.python_implementation() + ")",
        "fast_inflate": fast,
        "load_average": os.getloadavg()[0],
        "date": time.strftime("%Y-%m-%d"),
    }


def run(max_cells):
    peers()
    sizes = [n for n in SIZES if n <= max_cells]
    res = {"machine": machine(), "sizes": sizes, "read_only": {}, "editable_load": {}, "values": {},
           "held": {"numeric": {}, "small_ints": {}, "numeric_pure": {}}, "read_only_peak_mb": {},
           "writer": None}

    def put(table, reader, n, seconds):
        res[table].setdefault(reader, {})[str(n)] = seconds

    for n in sizes:
        path = mixed_workbook("report", n // COLS, COLS)
        print("%d cells" % n, flush=True)
        put("read_only", "quillfen", n, timed(lambda: quillfen_read_only(path, False), n))
        put("read_only", "python-calamine", n, timed(lambda: calamine_read_only(path), n))
        put("editable_load", "quillfen", n, timed(lambda: quillfen_load(path, False).close(), n))
        put("editable_load", "python-calamine", n, timed(lambda: calamine_load(path), n))
        try:
            put("editable_load", "fastexcel", n, timed(lambda: fastexcel_load(path), n))
        except Exception as exc:  # noqa: BLE001 - a peer that cannot read the sheet is noted, not fatal
            print("  fastexcel: %s" % exc)
        put("values", "quillfen", n, values_time(path, n))
        put("values", "python-calamine", n, calamine_values_time(path, n))
        if n <= PURE_LIMIT:
            put("read_only", "pure-Python", n, best_of(lambda: quillfen_read_only(path, True), 1))
            put("editable_load", "pure-Python", n, best_of(lambda: quillfen_load(path, True).close(), 1))
        res["held"]["numeric"][str(n)] = in_child("held", numeric_workbook(n, False))
        res["held"]["small_ints"][str(n)] = in_child("held", numeric_workbook(n, True))
        if n <= PURE_LIMIT // 10:
            res["held"]["numeric_pure"][str(n)] = in_child("held", numeric_workbook(n, False), pure=True)
        res["read_only_peak_mb"][str(n)] = in_child("peak", path)
        for table in ("read_only", "editable_load", "values"):
            print("  %-14s %s" % (table, "  ".join("%s %.3fs" % (k, v[str(n)]) for k, v in res[table].items()
                                                    if str(n) in v)), flush=True)
    res["writer"] = writer_times(sizes)
    res["writer_machine"] = res["machine"]
    res["features"] = features_times()
    if os.path.exists(RESULTS):  # the figures bench_frames and bench_lossless keep here are theirs: kept
        with open(RESULTS) as f:
            kept = json.load(f)
        res.update({key: kept[key] for key in ("frames", "lossless") if key in kept})
    save_results(res)
    return res


def features_times():
    """Seconds to make and save a write-only workbook of 10^6 cells, plain and with features."""
    import bench_features

    plain, with_features = bench_features.measure(10 ** 5)
    return {"plain": plain, "features": with_features, "machine": machine()}


def save_results(res):
    with open(RESULTS, "w") as f:
        json.dump(res, f, indent=1)


# ---------------------------------------------------------------- the report

READERS = ["quillfen", "pure-Python", "python-calamine", "fastexcel"]
WRITERS = ["quillfen", "pure-Python", "XlsxWriter", "rustpy-xlsxwriter"]


def plot(res, table, title, name, names=READERS):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    for reader in names:
        series = res[table].get(reader)
        if not series:
            continue
        xs = [n for n in res["sizes"] if str(n) in series]
        ax.plot(xs, [n / series[str(n)] for n in xs], marker="o", label=reader)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("cells in the sheet")
    ax.set_ylabel("cells per second")
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    os.makedirs(PLOTS, exist_ok=True)
    fig.tight_layout()
    fig.savefig(os.path.join(PLOTS, name), dpi=110)
    plt.close(fig)
    return "bench/plots/" + name


def plot_memory(res, name):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    labels = {"numeric": "quillfen, half ints, half floats", "small_ints": "quillfen, small ints",
              "numeric_pure": "pure-Python, half ints, half floats"}
    for key, label in labels.items():
        series = res["held"][key]
        xs = [n for n in res["sizes"] if str(n) in series]
        if xs:
            ax.plot(xs, [series[str(n)] for n in xs], marker="o", label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("cells in the sheet")
    ax.set_ylabel("bytes held per cell (RSS)")
    ax.set_title("Memory held after an editable load")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(os.path.join(PLOTS, name), dpi=110)
    plt.close(fig)
    return "bench/plots/" + name


def power(n):
    return "10^%d" % round(__import__("math").log10(n))


def table(res, key, names=READERS, base_name="python-calamine", heading="reader"):
    sizes = [n for n in res["sizes"] if any(str(n) in series for series in res[key].values())]
    head = "| %s | " % heading + " | ".join(power(n) + " cells" for n in sizes) + " |"
    rows = [head, "|---" * (len(sizes) + 1) + "|"]
    base = res[key].get(base_name, {})
    for reader in names:
        series = res[key].get(reader)
        if not series:
            continue
        cells = []
        for n in sizes:
            t = series.get(str(n))
            if t is None:
                cells.append("skipped")
            elif reader != base_name and str(n) in base:
                cells.append("%.3g s (%.2gx)" % (t, base[str(n)] / t))
            else:
                cells.append("%.3g s" % t)
        rows.append("| %s | %s |" % (reader, " | ".join(cells)))
    return "\n".join(rows)


def writing(res):
    if not res.get("writer"):
        return ""
    m = res.get("writer_machine", res["machine"])
    return """## Writing

A write-only workbook of the same mix of cells (`Workbook(write_only=True)`, `append` of each
row, `save`), against XlsxWriter (`constant_memory`, `write_row`, `close`) and
rustpy-xlsxwriter (rows as records), to a file. Ratios to XlsxWriter in brackets; the pure-Python
path is skipped above 10^5 cells. quillfen deflates at level 1, with isal when the fast extra is
installed (see the README for the split between making the XML and deflating it). Measured on
{date} with the fast extra {fast}; load average at the start: {load:.1f}.

![writing throughput]({plot})

{table}
""".format(date=m["date"], fast="installed" if m["fast_inflate"] else "not installed", load=m["load_average"],
           plot=plot(res, "writer", "Saving a write-only workbook", "writing.png", WRITERS),
           table=table(res, "writer", WRITERS, "XlsxWriter", "writer"))


def features_section(res):
    found = res.get("features")
    if not found:
        return ""
    return """
## Report features

A write-only workbook of 10^6 mixed cells made and saved (`append` of 10^5 rows, `save`), plain
and with a table over every row, a line chart of two columns and 20 conditional formats (cell,
formula, top, colour scale, data bar and icon set rules): {plain:.3f} s and {features:.3f} s of CPU
time, {ratio:.3f}x (the target: within 1.1x). Measured on {date}; load average at the start: {load:.1f}.
""".format(plain=found["plain"], features=found["features"], ratio=found["features"] / found["plain"],
           date=found["machine"]["date"], load=found["machine"]["load_average"])


def frames(res):
    """The DataFrames section, from bench_frames.py's figures."""
    fr = res.get("frames")
    if not fr:
        return ""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    bars = [("to_polars vs\npolars.read_excel\n(typed)", fr["typed"]["polars.read_excel"] / fr["typed"]["to_polars"]),
            ("to_polars vs\npolars.read_excel\n(mixed)", fr["mixed"]["polars.read_excel"] / fr["mixed"]["to_polars"]),
            ("to_pandas vs\npandas.read_excel\n(typed)", fr["typed"]["pandas.read_excel"] / fr["typed"]["to_pandas"]),
            ("to_pandas vs\npandas.read_excel\n(mixed)", fr["mixed"]["pandas.read_excel"] / fr["mixed"]["to_pandas"]),
            ("write_frames vs\npandas to_excel", fr["writing"]["pandas.to_excel"] / fr["writing"]["quillfen.write_frames"]),
            ("write_frames vs\npolars write_excel",
             fr["writing"]["polars.write_excel"] / fr["writing"]["quillfen.write_frames"])]
    fig, ax = plt.subplots(figsize=(7.4, 4.2))
    ax.bar(range(len(bars)), [b[1] for b in bars])
    ax.set_xticks(range(len(bars)), [b[0] for b in bars], fontsize=7)
    ax.set_ylabel("times faster than the peer")
    ax.set_title("DataFrames, 10^6 cells")
    ax.grid(True, axis="y", alpha=0.3)
    fig.tight_layout()
    os.makedirs(PLOTS, exist_ok=True)
    fig.savefig(os.path.join(PLOTS, "frames.png"), dpi=110)
    plt.close(fig)
    rows = ["| sheet | quillfen to_polars | polars.read_excel | quillfen to_pandas | pandas.read_excel(calamine) "
            "| pyarrow.table(ws) |", "|---|---|---|---|---|---|"]
    for key in ("typed", "mixed"):
        t = fr[key]
        rows.append("| %s | %.3g s (%.2gx) | %.3g s | %.3g s (%.2gx) | %.3g s | %.3g s |" % (
            key, t["to_polars"], t["polars.read_excel"] / t["to_polars"], t["polars.read_excel"], t["to_pandas"],
            t["pandas.read_excel"] / t["to_pandas"], t["pandas.read_excel"], t["pyarrow.table"]))
    w, peak, d = fr["writing"], fr["arrow_peak"], fr["dask"]
    return """## DataFrames

`bench/bench_frames.py`, measured on {date} (load average at the start: {load:.1f}). Reading
10^6 cells into a frame, from opening the file, read-only: the typed table (ints, floats, text,
dates and booleans in columns of their own) and the mixed sheet above. Ratios to the peer in
brackets (higher is faster).

![DataFrames](bench/plots/frames.png)

{table}

Writing a frame of {wcells:,} cells (mixed typed columns, polars) to a file: `quillfen.write_frames`
{q:.3g} s, pandas' `to_excel(engine="xlsxwriter")` {p:.3g} s ({pr:.2g}x), polars' `write_excel`
{l:.3g} s ({lr:.2g}x); python-calamine reads the file back with the same values.

Peak memory of an Arrow read of the typed sheet in a fresh interpreter: {peak:.1f} MB above the
interpreter's for a table of {size:.1f} MB ({ratio:.2f}x).

Dask: {books} workbooks of {dcells:,} cells read by `quillfen.dask.read_excel` on a local cluster:
one worker process {one:.2f} s, two {two:.2f} s ({dr:.2f}x on the 2-core machine).
""".format(date=fr["date"], load=fr["load_average"], table="\n".join(rows), wcells=w["cells"],
           q=w["quillfen.write_frames"], p=w["pandas.to_excel"], pr=w["pandas.to_excel"] / w["quillfen.write_frames"],
           l=w["polars.write_excel"], lr=w["polars.write_excel"] / w["quillfen.write_frames"],
           peak=peak["peak_bytes"] / 1e6, size=peak["table_bytes"] / 1e6,
           ratio=peak["peak_bytes"] / peak["table_bytes"], books=d["workbooks"], dcells=d["cells"],
           one=d["one_worker"], two=d["two_workers"], dr=d["one_worker"] / d["two_workers"])


def saving_loaded(res):
    found = res.get("lossless")
    if not found:
        return ""
    m = found["machine"]
    return """## Saving a loaded workbook

A workbook of ten sheets of {cells:,} mixed cells each, loaded editable, saved with one cell
changed in one sheet against one cell changed in every sheet (`bench/bench_lossless.py`): the
sheets that did not change are copied as they are stored, compressed. CPU time of the save,
loading not counted; measured on {date}, load average at the start: {load:.1f}.

| save | time |
|---|---|
| untouched | {untouched:.3g} s |
| one sheet of ten edited | {one:.3g} s ({ratio:.1f}x faster than every sheet edited) |
| every sheet edited | {every:.3g} s |
""".format(cells=found["cells"], date=m["date"], load=m["load_average"], untouched=found["untouched"],
           one=found["one"], every=found["every"], ratio=found["every"] / found["one"])


def render(res):
    m = res["machine"]
    sizes = res["sizes"]
    held = res["held"]
    mem_rows = ["| sheet | " + " | ".join(power(n) + " cells" for n in sizes) + " |", "|---" * (len(sizes) + 1) + "|"]
    for key, label in (("numeric", "quillfen, half ints, half floats"), ("small_ints", "quillfen, small ints"),
                       ("numeric_pure", "pure-Python, half ints, half floats")):
        mem_rows.append("| %s | %s |" % (label, " | ".join(
            "%.1f B" % held[key][str(n)] if str(n) in held[key] else "-" for n in sizes)))
    peak = ", ".join("%s cells: %.1f MB" % (power(n), res["read_only_peak_mb"][str(n)]) for n in sizes)
    text = """# Benchmarks

Generated by `make bench` (`bench/bench_report.py`) from `bench/results.json`; do not edit by hand.

Machine: {cpu}, {cores} cores, {ram} GiB; {system}; Python {python}; optional fast inflate
(`quillfen[fast]`): {fast}; load average at the start: {load:.1f} (a shared machine: every time is
the best of a few runs).

The sheet: 10 columns of mixed cells (integers, floats, shared strings, dates, booleans and
formulas) in one workbook per size. Times in seconds, with the ratio to python-calamine in
brackets (higher is faster). The pure-Python path is skipped above 10^6 cells (minutes per run).

## Read-only: every value, streamed

`load_workbook(path, read_only=True)` and `iter_rows(values_only=True)` against python-calamine's
`iter_rows()`, from opening the file to the last row.

![read-only throughput]({p1})

{t1}

## Editable load

`load_workbook(path)` (every cell kept, compact) against python-calamine's `to_python()` of the
sheet and fastexcel's `load_sheet(...).to_arrow()` (strings), from opening the file.

![editable load throughput]({p2})

{t2}

## Every value of a loaded sheet

`ws.values` over a sheet already loaded, against python-calamine's `to_python()` of a sheet
already opened.

![values throughput]({p3})

{t3}

## Memory

Memory held after an editable load, per cell, by RSS in a fresh interpreter (numeric sheets):

![memory held]({p4})

{mem}

Peak RSS of a fresh interpreter that streamed the mixed sheet read-only (the interpreter and
quillfen included): {peak}.

{writing}{saving}{features}
{frames}""".format(cpu=m["cpu"], cores=m["cores"], ram=m["memory_gb"], system=m["system"], python=m["python"],
           fast="installed" if m["fast_inflate"] else "not installed", load=m["load_average"],
           p1=plot(res, "read_only", "Read-only values", "read_only.png"), t1=table(res, "read_only"),
           p2=plot(res, "editable_load", "Editable load", "editable_load.png"), t2=table(res, "editable_load"),
           p3=plot(res, "values", "Every value of a loaded sheet", "values.png"), t3=table(res, "values"),
           p4=plot_memory(res, "memory.png"), mem="\n".join(mem_rows), peak=peak, writing=writing(res),
           saving=saving_loaded(res), features=features_section(res), frames=frames(res))
    with open(REPORT, "w") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-cells", type=int, default=SIZES[-1])
    parser.add_argument("--render-only", action="store_true", help="redraw BENCHMARKS.md from results.json")
    parser.add_argument("--writer-only", action="store_true",
                        help="measure the writers only, keeping the other figures of results.json")
    parser.add_argument("--features-only", action="store_true",
                        help="measure the report features only, keeping the other figures of results.json")
    args = parser.parse_args()
    if args.render_only or args.writer_only or args.features_only:
        with open(RESULTS) as f:
            res = json.load(f)
        if args.writer_only:
            res["writer_machine"] = machine()
            res["writer"] = writer_times([n for n in SIZES if n <= args.max_cells])
        if args.features_only:
            peers()  # matplotlib draws the report
            res["features"] = features_times()
        if args.writer_only or args.features_only:
            save_results(res)
    else:
        res = run(args.max_cells)
    render(res)
    print("wrote %s and %s" % (os.path.relpath(RESULTS, ROOT), os.path.relpath(REPORT, ROOT)))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        kind, path, pure = sys.argv[2], sys.argv[3], sys.argv[4] == "1"
        print(json.dumps(child_held(path, pure) if kind == "held" else child_peak(path)))
    else:
        main()
