"""The package as users get it: the sdist holds what the build needs, a wheel built from the
sdist alone (a release build, no developer options) installs into a fresh venv, and there the
engine loads, a workbook reads natively and the `quillfen` command runs.

Slow (it compiles the engine once more), so marked; CI runs it. The build starts in the
background as soon as the test is collected (`start_wheel_build`, called by conftest), one
compile at a time, so that it overlaps the rest of the suite instead of adding to it. It
builds without isolation, with this venv's scikit-build-core, cmake and ninja, so that it needs
no network: an isolated build differs only in fetching those same tools from PyPI.

Run as a script (`python test_packaging.py DIR`), the module is that background build."""

import atexit
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import venv

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

pytestmark = pytest.mark.slow

_build = None  # (process, folder) once started


def _user_env():
    """The environment without the suite's own settings, as a user's shell would have it."""
    return {k: v for k, v in os.environ.items() if not k.startswith("QUILLFEN_")}


def _run(*cmd, cwd=None):
    result = subprocess.run(cmd, cwd=cwd, env=_user_env(), capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    return result.stdout


def _build_and_install(folder):
    """sdist -> wheel built from the unpacked sdist -> fresh venv with the wheel installed."""
    sdist = _run(sys.executable, "-c", "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))",
                 folder, cwd=ROOT).strip().splitlines()[-1]
    with tarfile.open(os.path.join(folder, sdist)) as tar:
        tar.extractall(os.path.join(folder, "src"), filter="data")
    [source] = os.listdir(os.path.join(folder, "src"))
    _run(sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation", "-w",
         os.path.join(folder, "dist"), os.path.join(folder, "src", source))
    [wheel] = os.listdir(os.path.join(folder, "dist"))
    env_dir = os.path.join(folder, "env")
    venv.create(env_dir, with_pip=True)
    _run(os.path.join(env_dir, "bin", "python"), "-m", "pip", "install", "-q", "--no-index", "--no-deps",
         os.path.join(folder, "dist", wheel))


def start_wheel_build():
    """Start the build in a child process; the test waits for it."""
    global _build
    if _build is not None:
        return
    folder = tempfile.mkdtemp(prefix="quillfen-wheel-")
    env = _user_env()
    env["CMAKE_BUILD_PARALLEL_LEVEL"] = "1"
    log = open(os.path.join(folder, "build.log"), "w")
    process = subprocess.Popen([sys.executable, os.path.abspath(__file__), folder], env=env, stdout=log,
                               stderr=subprocess.STDOUT)
    log.close()
    _build = (process, folder)

    def _clean():
        if process.poll() is None:
            process.kill()
            process.wait()
        shutil.rmtree(folder, ignore_errors=True)
    atexit.register(_clean)


def test_wheel_from_sdist_installs_and_runs():
    start_wheel_build()
    process, folder = _build
    code = process.wait()
    with open(os.path.join(folder, "build.log")) as log:
        assert code == 0, log.read()[-6000:]

    [sdist] = [name for name in os.listdir(folder) if name.endswith(".tar.gz")]
    with tarfile.open(os.path.join(folder, sdist)) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "src/module.cpp", "python/quillfen/__init__.py",
            "python/quillfen/py.typed", "python/quillfen/_quillfen.pyi"} <= names
    assert not any(name.startswith((".venv/", "build/")) for name in names)

    env_dir = os.path.join(folder, "env")
    sample = os.path.join(ROOT, "scripts")
    out = _run(os.path.join(env_dir, "bin", "python"), "-c", (
        "import sys; sys.path.insert(0, %r); import xlsxgen, quillfen, quillfen._quillfen; "
        "xlsxgen.demo_workbook('demo.xlsx'); wb = quillfen.load_workbook('demo.xlsx', read_only=True); "
        "print(next(wb['Formulas'].iter_rows(values_only=True)))") % sample, cwd=folder)
    assert out.strip() == "(1, '=A1*10')"
    assert _run(os.path.join(env_dir, "bin", "quillfen"), "--version").strip().startswith("quillfen ")


if __name__ == "__main__":
    _build_and_install(sys.argv[1])
