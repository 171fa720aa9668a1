"""The typed public API, checked: mypy --strict over the package and over the Python examples
of the README (each block as it is written there, in a function of its own), mypy finding the mistakes of `MISTAKES`
(each line marked "# error" must be reported, and nothing else), and stubtest of the engine's
stub against the built module. Exits non-zero when a check fails."""

import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def readme_examples(path):
    """The README's ```python blocks."""
    with open(path, encoding="utf-8") as f:
        return re.findall(r"```python\n(.*?)```", f.read(), re.S)


def examples_module(blocks):
    """One module of the blocks: the imports of all first, then each block as the body of a
    function of its own, since blocks reuse names for workbooks of other kinds."""
    imports, bodies = [], []
    for n, block in enumerate(blocks, 1):
        body = []
        for line in block.splitlines():
            if line.startswith(("import ", "from ")):
                if line not in imports:
                    imports.append(line)
            else:
                body.append("    " + line if line else "")
        bodies.append("def example_%d() -> None:\n%s\n" % (n, "\n".join(body)))
    return "\n".join(imports) + "\n\n\n" + "\n\n".join(bodies)


# Code that type checking must refuse: the sheets of each kind of workbook are typed.
MISTAKES = """\
from quillfen import Workbook, load_workbook

editable = load_workbook("book.xlsx")
rows: str = editable.active.max_row  # error
title: int = editable["Sheet"].title  # error
cell: str = editable.worksheets[0].cell(1, 1)  # error
read_only = load_workbook("book.xlsx", read_only=True)
height: str = read_only["Sheet"].max_row  # error
read_only.active.cell(1, 1)  # error: a read-only sheet has no cell()
new = Workbook()
new.active.append([1, 2])
new.active.merge_cells("A1:B1")
streamed = Workbook(write_only=True).create_sheet("Log")
streamed.append([1])
streamed.cells()  # error: a write-only sheet holds no cells
either = load_workbook("book.xlsx", read_only=bool(rows))
width: str = either.active.max_column  # error
"""


def check_mistakes(mypy):
    """Runs mypy over `MISTAKES`: 0 when it reports exactly the lines marked "# error"."""
    path = os.path.join(ROOT, "build", "typing_mistakes.py")
    with open(path, "w", encoding="utf-8") as f:
        f.write(MISTAKES)
    want = {n for n, line in enumerate(MISTAKES.splitlines(), 1) if "# error" in line}
    run = subprocess.run(mypy + ["--strict", path], cwd=ROOT, capture_output=True, text=True)
    got = {int(m.group(1)) for m in re.finditer(r"typing_mistakes\.py:(\d+): error", run.stdout)}
    if got == want:
        return 0
    print(run.stdout, "mistakes found on lines %s, marked on lines %s" % (sorted(got), sorted(want)))
    return 1


def main():
    out = os.path.join(ROOT, "build", "readme_examples.py")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    with open(out, "w", encoding="utf-8") as f:
        f.write(examples_module(readme_examples(os.path.join(ROOT, "README.md"))))
    mypy = [sys.executable, "-m", "mypy", "--config-file", os.path.join(ROOT, "pyproject.toml")]
    checks = [
        mypy + ["--strict", os.path.join(ROOT, "python", "quillfen")],
        mypy + ["--strict", out],
        [sys.executable, "-m", "mypy.stubtest", "quillfen._quillfen",
         "--allowlist", os.path.join(ROOT, "scripts", "stubtest-allowlist.txt")],
    ]
    print("+ mypy --strict build/typing_mistakes.py (each marked line an error)", flush=True)
    failed = check_mistakes(mypy)
    for cmd in checks:
        print("+", " ".join(os.path.relpath(a, ROOT) if a.startswith(ROOT) else a for a in cmd[1:]), flush=True)
        failed |= subprocess.run(cmd, cwd=ROOT).returncode
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
