"""Peak memory of reading hostile workbooks (scripts/hostile.py), against what the caller keeps.

For each hostile workbook and each way of reading it (the engine and the pure-Python path,
read-only with every row streamed, editable with the workbook kept), a fresh interpreter reads
it and reports its peak resident memory above what it held before reading, the time taken and
the outcome. The CLI's csv and json exports read the sheet whose lone cell is the last of a
sheet. Printed as a table, never asserted; the goal is a peak of at most about twice what the
caller keeps (the one huge string for that workbook, next to nothing for the others) plus a
constant.

Usage: bench_hostile.py [--size MB] [--package DIR]

--package DIR measures the quillfen package found in DIR (a folder holding `quillfen/`, the
engine included) instead of the installed one: an older version, side by side.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from collections.abc import Callable
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

import hostile  # noqa: E402

SECONDS = 60
MEMORY_LIMIT = 12 << 30  # bytes of address space a reader may take before it is stopped

CHILD = r"""
import io, json, os, sys, time, warnings
package, path, how = sys.argv[1:4]
if package:
    sys.meta_path[:] = [f for f in sys.meta_path if "editable" not in type(f).__module__]
    sys.path.insert(0, package)
import quillfen
from quillfen.__main__ import main

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))

warnings.simplefilter("ignore")
quillfen.Workbook().save(io.BytesIO())  # what every reader loads first
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from here
before, start, kept = status("VmRSS:"), time.perf_counter(), None
try:
    if how in ("csv", "json"):
        outcome = "exit %d" % main([how, path, "-o", os.devnull])
    else:
        kept = quillfen.load_workbook(path, read_only=how == "read-only")
        cells = sum(len(row) for ws in kept for row in ws.iter_rows(values_only=True)) \
            if how == "read-only" else sum(1 for ws in kept for _ in ws.cells())
        outcome = "read (%d cells)" % cells
except Exception as exc:
    outcome = "%s: %s" % (type(exc).__name__, str(exc)[:70])
peak = status("VmHWM:")
print(json.dumps({"peak": peak - before, "seconds": time.perf_counter() - start, "outcome": outcome}))
"""

WAYS = {"far_cell": ("csv", "json")}
READERS = ("read-only", "editable")


def measure(package: str, path: str, how: str, pure: bool) -> dict[str, Any]:
    env = dict(os.environ, QUILLFEN_PURE_PYTHON="1" if pure else "0")
    limit = "import resource; resource.setrlimit(resource.RLIMIT_AS, (%d, %d)); " % (MEMORY_LIMIT, MEMORY_LIMIT)
    try:
        run = subprocess.run([sys.executable, "-c", limit + CHILD, package, path, how], env=env,
                             capture_output=True, text=True, timeout=SECONDS)
    except subprocess.TimeoutExpired:
        return {"peak": None, "seconds": SECONDS, "outcome": "stopped after %d s" % SECONDS}
    if run.returncode:
        return {"peak": None, "seconds": None, "outcome": "died: " + run.stderr.strip().splitlines()[-1][:70]}
    result: dict[str, Any] = json.loads(run.stdout.strip().splitlines()[-1])
    return result


def measure_all(size_mb: int, package: str = "", report: Callable[[dict[str, Any]], None] | None = None
                ) -> list[dict[str, Any]]:
    """One row per workbook, path and way of reading: its "peak" (MB, or None when it did not
    finish), "seconds" and "outcome", measured with hostile parts of `size_mb` MB."""
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for name, path in hostile.generate(folder, size_mb << 20).items():
            for how in WAYS.get(name, READERS):
                for pure in (False, True):
                    got = measure(package, path, how, pure)
                    row = {"workbook": name, "path": "pure" if pure else "engine", "read": how, **got,
                           "peak": None if got["peak"] is None else got["peak"] / 1e6}
                    rows.append(row)
                    if report is not None:
                        report(row)
    return rows


def line(row: dict[str, Any]) -> str:
    peak = "-" if row["peak"] is None else "%.0f" % row["peak"]
    seconds = "-" if row["seconds"] is None else "%.1f" % row["seconds"]
    return "%-16s %-7s %-10s %10s %8s  %s" % (row["workbook"], row["path"], row["read"], peak, seconds, row["outcome"])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=256, help="MB of each hostile part that has a size")
    parser.add_argument("--package", default="", help="a folder holding the quillfen package to measure")
    args = parser.parse_args()
    print("%-16s %-7s %-10s %10s %8s  %s" % ("workbook", "path", "read", "peak MB", "seconds", "outcome"))
    measure_all(args.size, args.package, lambda row: print(line(row), flush=True))


if __name__ == "__main__":
    main()
