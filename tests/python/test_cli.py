"""`python -m quillfen dump`: its stable line format, its modes, and clean failures."""

import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import xlsxgen  # noqa: E402


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "demo.xlsx"
    xlsxgen.demo_workbook(str(path))
    return str(path)


def dump(*args, pure=False):
    env = dict(os.environ, QUILLFEN_PURE_PYTHON="1" if pure else "0")
    return subprocess.run([sys.executable, "-m", "quillfen", "dump", *args], capture_output=True, text=True, env=env)


def test_dump_lines(demo):
    out = dump(demo, "--sheet", "Formulas").stdout.splitlines()
    assert out == [
        "Formulas!A1\tn\t1", "Formulas!B1\tf\t'=A1*10'",
        "Formulas!A2\tn\t2", "Formulas!B2\tf\t'=A2*10'",
        "Formulas!A3\ts\t'merged & bold'", "Formulas!B3\tf\t'=A3*10'",
    ]
    cached = dump(demo, "--sheet", "Formulas", "--data-only").stdout.splitlines()
    assert cached[1] == "Formulas!B1\tn\t10"


def test_dump_is_the_same_in_every_mode(demo):
    reference = dump(demo, pure=True)
    assert reference.returncode == 0 and reference.stdout.count("\n") == 20 * 6 + 6
    assert "Mixed!B1\td\tdatetime.datetime(2009, 7, 7, 0, 0)\n" in reference.stdout
    for args in ([], ["--read-only"]):
        for pure in (False, True):
            assert dump(demo, *args, pure=pure).stdout == reference.stdout


@pytest.mark.parametrize("content", [b"", b"PK\x03\x04 not really a zip"])
def test_unreadable_file_is_one_line_on_stderr(tmp_path, content):
    bad = tmp_path / "bad.xlsx"
    bad.write_bytes(content)
    result = dump(str(bad))
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("quillfen: cannot read ")


def test_missing_file_and_unknown_sheet(tmp_path, demo):
    assert dump(str(tmp_path / "absent.xlsx")).returncode == 1
    result = dump(demo, "--sheet", "Nope")
    assert result.returncode == 1 and "Nope" in result.stderr
