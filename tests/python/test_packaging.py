"""The package as users get it: the sdist holds what the build needs, a wheel built from the
sdist alone (a release build, no developer options) installs into a fresh venv, and there the
engine loads, a workbook reads natively and the `quillfen` command runs.

Slow (it compiles the engine once more), so marked; CI runs it. It builds without isolation,
with this venv's scikit-build-core, cmake and ninja, so that it needs no network: an isolated
build differs only in fetching those same tools from PyPI."""

import os
import subprocess
import sys
import tarfile
import venv

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

pytestmark = pytest.mark.slow


def _run(*cmd, cwd=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUILLFEN_")}
    result = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    return result.stdout


def test_wheel_from_sdist_installs_and_runs(tmp_path):
    sdist = _run(sys.executable, "-c", "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))",
                 str(tmp_path), cwd=ROOT).strip().splitlines()[-1]
    with tarfile.open(tmp_path / sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
        tar.extractall(tmp_path / "src", filter="data")
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "src/module.cpp", "python/quillfen/__init__.py",
            "python/quillfen/py.typed", "python/quillfen/_quillfen.pyi"} <= names
    assert not any(name.startswith((".venv/", "build/")) for name in names)

    [source] = (tmp_path / "src").iterdir()
    _run(sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation", "-w", str(tmp_path / "dist"),
         str(source))
    [wheel] = (tmp_path / "dist").iterdir()

    env_dir = tmp_path / "env"
    venv.create(env_dir, with_pip=True)
    python = str(env_dir / "bin" / "python")
    _run(python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel))
    sample = os.path.join(ROOT, "scripts")
    out = _run(python, "-c", (
        "import sys; sys.path.insert(0, %r); import xlsxgen, quillfen, quillfen._quillfen; "
        "xlsxgen.demo_workbook('demo.xlsx'); wb = quillfen.load_workbook('demo.xlsx', read_only=True); "
        "print(next(wb['Formulas'].iter_rows(values_only=True)))") % sample, cwd=tmp_path)
    assert out.strip() == "(1, '=A1*10')"
    assert _run(str(env_dir / "bin" / "quillfen"), "--version").strip().startswith("quillfen ")
