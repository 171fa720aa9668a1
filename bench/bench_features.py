"""What report features cost a save: a write-only workbook of 10^6 mixed cells (10^5 rows of 10)
made and saved plain, and the same with a table over all its rows, a chart of two of its
columns and 20 conditional formats; side by side in one process, CPU time, best of a few runs taken in turns.
The ratio is printed, never asserted (the target: within 1.1x of the plain one).

Usage: bench_features.py [ROWS]   (10 columns per row; default 100000 rows)
"""

import os
import sys
import tempfile
import time

from timing import best_of

import quillfen
from quillfen.charts import Chart
from quillfen.formatting import CellRule, ColorScale, DataBar, FormulaRule, IconSet, TopRule
from quillfen.styles import Font, PatternFill

from bench_write import COLUMNS, row_values

HEADER = ["c%d" % n for n in range(1, COLUMNS + 1)]


def twenty_rules(rows):
    """20 conditional formats over the sheet's columns, of every kind."""
    last = rows + 1
    fills = [PatternFill("solid", fgColor=color) for color in ("FFC7CE", "C6EFCE", "FFEB9C", "BDD7EE")]
    rules = []
    for n in range(20):
        column = "ABCDEFGHIJ"[n % COLUMNS]
        ref = "%s2:%s%d" % (column, column, last)
        kind = n % 6
        rule = (CellRule(">", n * 100, fill=fills[n % 4]),
                FormulaRule("MOD(ROW(),%d)=0" % (n + 2), font=Font(bold=True)),
                ColorScale("F8696B", "63BE7B", "FFEB84"), DataBar("638EC6"), IconSet("3Arrows"),
                TopRule(10, fill=fills[n % 4]))[kind]
        rules.append((ref, rule))
    return rules


def save(path, rows, features):
    wb = quillfen.Workbook(write_only=True)
    ws = wb.create_sheet("Data")
    ws.append(HEADER)
    for i in range(rows):
        ws.append(row_values(i))
    if features:
        ws.add_table("Numbers", "A1:J%d" % (rows + 1), columns=HEADER)
        chart = Chart("line", title="First columns")
        chart.add_series("Data!$A$2:$A$%d" % (rows + 1), name="Data!$A$1")
        chart.add_series("Data!$B$2:$B$%d" % (rows + 1), name="Data!$B$1")
        ws.add_chart(chart, "L2")
        for ref, rule in twenty_rules(rows):
            ws.add_conditional_format(ref, rule)
    wb.save(path)


def measure(rows, runs=5):
    """(plain seconds, with features seconds) of making and saving the workbook: the best of
    `runs`, the two taking turns (a busy machine then disturbs both alike)."""
    plain = with_features = float("inf")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "features.xlsx")
        for _ in range(runs):
            plain = min(plain, best_of(lambda: save(path, rows, False), 1, time.process_time))
            with_features = min(with_features, best_of(lambda: save(path, rows, True), 1, time.process_time))
    return plain, with_features


def main(rows):
    plain, with_features = measure(rows)
    print("write-only workbook of %d cells, made and saved: plain %.3f s, with a table, a chart and 20 "
          "conditional formats %.3f s: %.3fx" % (rows * COLUMNS, plain, with_features, with_features / plain))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100000)
