"""DataFrames: a table of 10^6 cells (a header row, then ints, floats, text, dates and booleans
in typed columns) read into pandas and polars by quillfen (`ws.to_pandas()`, `ws.to_polars()` of
a read-only sheet; `to_polars` of a loaded workbook too), by `pandas.read_excel(engine="calamine")`
and by `polars.read_excel`, all in this process over the same file, from opening it to the
frame. Best of a few runs; ratios are printed, never asserted.

Usage: bench_frames.py [ROWS]   (10 columns per row; default 100000 rows)
"""

import os
import sys

from timing import best_of, cached_workbook, peers

import quillfen  # noqa: E402

COLUMNS = ["id", "count", "ratio", "price", "name", "city", "day", "moment", "flag", "score"]


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
        return ws.to_pandas() if kind == "pandas" else ws.to_polars()


def timed(fn, runs=3):
    result = []
    return best_of(lambda: result.append(fn()), runs), result[-1]


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    path = cached_workbook("bench_frames_%d" % rows, lambda: table_sheet(rows))
    peers()
    import pandas as pd
    import polars as pl

    q_pd_t, q_pd = timed(lambda: quillfen_frame(path, "pandas"))
    q_pl_t, q_pl = timed(lambda: quillfen_frame(path, "polars"))
    q_loaded_t, _ = timed(lambda: quillfen_frame(path, "polars", read_only=False))
    pd_t, pd_frame = timed(lambda: pd.read_excel(path, engine="calamine"))
    pl_t, pl_frame = timed(lambda: pl.read_excel(path))
    assert q_pd.shape == pd_frame.shape == q_pl.shape == pl_frame.shape, (q_pd.shape, pd_frame.shape)
    assert list(q_pd.columns) == list(pd_frame.columns) == COLUMNS
    cells = q_pd.shape[0] * q_pd.shape[1]
    print("DataFrames, %d cells (%s)" % (cells, os.path.basename(path)))
    print("  quillfen to_pandas      %8.3f s   quillfen dtypes: %s" % (q_pd_t, ", ".join(map(str, q_pd.dtypes))))
    print("  pandas.read_excel       %8.3f s   its dtypes:      %s" % (pd_t, ", ".join(map(str, pd_frame.dtypes))))
    print("  quillfen to_polars      %8.3f s   quillfen dtypes: %s" % (q_pl_t, ", ".join(map(str, q_pl.dtypes))))
    print("  polars.read_excel       %8.3f s   its dtypes:      %s" % (pl_t, ", ".join(map(str, pl_frame.dtypes))))
    print("  quillfen to_polars of a loaded (editable) workbook, loading included: %.3f s (%.2fx polars)"
          % (q_loaded_t, pl_t / q_loaded_t))
    print("  to_pandas vs pandas.read_excel(calamine): %.2fx   to_polars vs polars.read_excel: %.2fx"
          % (pd_t / q_pd_t, pl_t / q_pl_t))


if __name__ == "__main__":
    main()
