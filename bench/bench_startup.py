"""What a short-lived process pays before it does any work: `import quillfen` against
`import json`, `quillfen --version`, and the first save of a one-sheet workbook against the
second in the same process. Each figure is the best of a few fresh interpreters, run in turns
so that a busy machine disturbs them alike, with their bytecode cached as an installed package
has it. Ratios are printed, never asserted.

Usage: bench_startup.py [RUNS]   (default 15)
"""

import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# An import timed inside the child, from before the statement to after it.
IMPORT = "import time; t = time.perf_counter(); %s; print(time.perf_counter() - t)"
# The first and the second save of a small one-sheet workbook, in one child.
SAVES = """
import os, sys, tempfile, time
from quillfen import Workbook
folder = tempfile.mkdtemp()
times = []
for n in range(2):
    wb = Workbook()
    for r in range(20):
        wb.active.append([r, "row %d" % r, r / 7])
    start = time.perf_counter()
    wb.save(os.path.join(folder, "book%d.xlsx" % n))
    times.append(time.perf_counter() - start)
print(times[0], times[1], "lxml" in sys.modules)
"""


def child_env():
    """The environment of the children: bytecode written and read from a cache of its own,
    as an installed package has its modules compiled."""
    env = dict(os.environ)
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    env["PYTHONPYCACHEPREFIX"] = os.path.join(ROOT, "build", "pycache")
    return env


def run(cmd, env):
    """Wall time of a command and its output."""
    start = time.perf_counter()
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return time.perf_counter() - start, out


def version_command():
    script = os.path.join(os.path.dirname(sys.executable), "quillfen")
    return [script, "--version"] if os.path.exists(script) else [sys.executable, "-m", "quillfen", "--version"]


def measure(runs=15):
    """Best times in seconds: imports (in the child), whole processes, and the two saves."""
    env = child_env()
    py = sys.executable
    probes = {
        "import json": [py, "-c", IMPORT % "import json"],
        "import quillfen": [py, "-c", IMPORT % "import quillfen"],
        "from quillfen import Workbook": [py, "-c", IMPORT % "from quillfen import Workbook"],
        "from quillfen import load_workbook": [py, "-c", IMPORT % "from quillfen import load_workbook"],
    }
    processes = {"python -c pass": [py, "-c", "pass"], "quillfen --version": version_command()}
    for cmd in [*probes.values(), *processes.values(), [py, "-c", SAVES]]:
        run(cmd, env)  # compiles and caches the bytecode
    best = {name: float("inf") for name in [*probes, *processes, "first save", "second save"]}
    lxml = False
    for _ in range(runs):
        for name, cmd in probes.items():
            best[name] = min(best[name], float(run(cmd, env)[1]))
        for name, cmd in processes.items():
            best[name] = min(best[name], run(cmd, env)[0])
        first, second, imported = run([py, "-c", SAVES], env)[1].split()
        best["first save"] = min(best["first save"], float(first))
        best["second save"] = min(best["second save"], float(second))
        lxml = lxml or imported == "True"
    try:
        import lxml as _lxml  # noqa: F401
        installed = True
    except ImportError:
        installed = False
    return {"seconds": best, "lxml_installed": installed, "lxml_imported_by_save": lxml, "runs": runs}


def main():
    res = measure(int(sys.argv[1]) if len(sys.argv) > 1 else 15)
    t = res["seconds"]
    ms = {name: 1000 * value for name, value in t.items()}
    print("start-up, best of %d fresh interpreters (lxml %s)" % (res["runs"], "installed" if res["lxml_installed"] else "not installed"))
    for name, value in ms.items():
        print("  %-36s %7.1f ms" % (name, value))
    goal = 2 * ms["import json"] + 20
    print("  import quillfen %.1f ms: goal at most 2 x import json + 20 ms = %.1f ms (%.2fx json)"
          % (ms["import quillfen"], goal, ms["import quillfen"] / ms["import json"]))
    print("  quillfen --version %.1f ms (goal under 100 ms; the interpreter alone %.1f ms)"
          % (ms["quillfen --version"], ms["python -c pass"]))
    print("  first save %.1f ms, second %.1f ms: %.1f ms more (goal at most 20 ms); lxml imported by the save: %s"
          % (ms["first save"], ms["second save"], ms["first save"] - ms["second save"], res["lxml_imported_by_save"]))
    return res


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[2] == "--json":
        print(json.dumps(measure(int(sys.argv[1]))))
    else:
        main()
