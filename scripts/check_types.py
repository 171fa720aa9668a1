"""The typed public API, checked: mypy --strict over the package and over the Python examples
of the README (each block as it is written there), and stubtest of the engine's stub against
the built module. Exits non-zero when a check fails."""

import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def readme_examples(path):
    """The README's ```python blocks, one after the other, as one module."""
    with open(path, encoding="utf-8") as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), re.S)
    return "\n\n".join(blocks)


def main():
    out = os.path.join(ROOT, "build", "readme_examples.py")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    with open(out, "w", encoding="utf-8") as f:
        f.write(readme_examples(os.path.join(ROOT, "README.md")))
    mypy = [sys.executable, "-m", "mypy", "--config-file", os.path.join(ROOT, "pyproject.toml")]
    checks = [
        mypy + ["--strict", os.path.join(ROOT, "python", "quillfen")],
        mypy + ["--strict", out],
        [sys.executable, "-m", "mypy.stubtest", "quillfen._quillfen",
         "--allowlist", os.path.join(ROOT, "scripts", "stubtest-allowlist.txt")],
    ]
    failed = 0
    for cmd in checks:
        print("+", " ".join(os.path.relpath(a, ROOT) if a.startswith(ROOT) else a for a in cmd[1:]), flush=True)
        failed |= subprocess.run(cmd, cwd=ROOT).returncode
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
