"""The command line's csv and json exports, standard input, streaming, the progress bar, exit
codes and the installed `quillfen` command."""

import contextlib
import csv
import datetime
import io
import json
import os
import subprocess
import sys

import pytest

import quillfen
from quillfen import __main__ as cli
from quillfen.utils.datetime import iso_duration

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import xlsxgen  # noqa: E402
from support import count_part_reads  # noqa: E402
from conftest import CORPUS_DIR

CORPUS = CORPUS_DIR
FILES = ["cal-issue_261.xlsx", "cal-issues.xlsx", "cal-date_1904.xlsx", "pycal-base.xlsx", "cal-errors.xlsx",
         "poi-59746_NoRowNums.xlsx", "cal-richtext-namespaced.xlsx"]


@pytest.fixture(params=["native", "pure"])
def mode(request, monkeypatch):
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1" if request.param == "pure" else "0")
    return request.param


def run(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "quillfen", *args], input=stdin, capture_output=True)


def _json_of(value):
    """What the JSON export must say for a value read by an editable load."""
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        return iso_duration(value)
    if value is None or isinstance(value, (int, float, str)):
        return value
    return str(value)


def _export(kind, path, **kw):
    out = io.StringIO(newline="")
    cli.export(kind, path, out=out, **kw)
    return out.getvalue()


@pytest.mark.skipif(not os.path.isdir(CORPUS), reason="shared corpus not present")
@pytest.mark.parametrize("name", FILES)
def test_exports_hold_the_values_of_an_editable_load(mode, name):
    path = os.path.join(CORPUS, name)
    with quillfen.load_workbook(path, data_only=True) as wb:
        ws = wb.active
        rows = [[_json_of(v) for v in row] for row in ws.iter_rows(min_row=1, min_col=1, values_only=True)]
    # The rectangle ends at the last row and column with a value.
    while rows and all(v is None for v in rows[-1]):
        rows.pop()
    width = max((i + 1 for row in rows for i, v in enumerate(row) if v is not None), default=0)
    rows = [row[:width] for row in rows]
    assert json.loads(_export("json", path)) == rows
    records = list(csv.reader(io.StringIO(_export("csv", path), newline="")))
    assert records == [["" if v is None else {True: "TRUE", False: "FALSE"}.get(v, str(v)) if isinstance(v, bool)
                        else str(v) for v in row] for row in rows]


def test_durations_are_iso_8601():
    delta = datetime.timedelta
    assert [iso_duration(d) for d in (delta(days=10, hours=15, minutes=10, seconds=10),
                                           -delta(hours=1, milliseconds=500), delta(0))] == \
        ["P10DT15H10M10S", "-P0DT1H0M0.5S", "P0DT0H0M0S"]


def test_csv_is_rfc_4180(tmp_path):
    path = tmp_path / "text.xlsx"
    texts = ["a,b", 'say "hi"', "two\nlines", "plain", "é ✓"]

    def rows(strings):
        yield '<row r="1">%s</row>' % "".join('<c r="%s1" t="s"><v>%d</v></c>' % ("ABCDE"[i], strings.add(t))
                                             for i, t in enumerate(texts))
        yield '<row r="3"><c r="B3"><v>1.5</v></c><c r="C3" t="b"><v>1</v></c></row>'

    xlsxgen.write_workbook(str(path), [("T", rows, "A1:E3", [])])
    assert _export("csv", str(path)) == '"a,b","say ""hi""","two\nlines",plain,é ✓\r\n,,,,\r\n,1.5,TRUE,,\r\n'
    result = run("csv", str(path))  # standard output gets UTF-8 whatever the locale
    assert result.returncode == 0 and result.stdout.decode("utf-8") == _export("csv", str(path))


def test_every_sheet_and_standard_input(tmp_path):
    demo = tmp_path / "demo.xlsx"
    xlsxgen.demo_workbook(str(demo))
    both = json.loads(run("json", "--all", "-", stdin=demo.read_bytes()).stdout)
    assert list(both) == ["Mixed", "Formulas"] and both["Formulas"][0] == [1, 10]
    assert json.loads(_export("json", str(demo), formulas=True, sheet="Formulas"))[0] == [1, "=A1*10"]
    result = run("csv", "--all", str(demo), "-o", str(tmp_path / "out"))
    assert result.returncode == 0 and sorted(os.listdir(tmp_path / "out")) == ["Formulas.csv", "Mixed.csv"]
    with open(tmp_path / "out" / "Formulas.csv", newline="") as f:
        assert f.read() == _export("csv", str(demo), sheet="Formulas")
    dumped = run("dump", "-", "--read-only", stdin=demo.read_bytes())
    assert dumped.returncode == 0 and dumped.stdout == run("dump", str(demo)).stdout


def test_failures_and_exit_codes(tmp_path):
    demo = tmp_path / "demo.xlsx"
    xlsxgen.demo_workbook(str(demo))
    unknown = run("csv", str(demo), "--sheet", "Nope")
    assert unknown.returncode == 1 and unknown.stderr.count(b"\n") == 1
    assert b"'Nope'" in unknown.stderr and b"'Mixed', 'Formulas'" in unknown.stderr
    assert run("json", "-", stdin=b"not a zip").returncode == 1
    assert run("csv", "--all", str(demo)).returncode == 2  # one file per sheet needs a folder
    assert run("csv", str(demo), "--all", "--sheet", "Mixed").returncode == 2
    assert run("frobnicate").returncode == 2
    version = run("--version")
    assert version.returncode == 0 and version.stdout.decode().strip() == "quillfen " + quillfen.__version__


def test_read_only_dump_streams(tmp_path, monkeypatch):
    path = tmp_path / "big.xlsx"
    xlsxgen.write_workbook(str(path), [("Big", lambda strings: (
        '<row r="%d"><c r="A%d"><v>%d</v></c></row>' % (r, r, r) for r in range(1, 50_001)), "A1:A50000", [])])
    read = count_part_reads(monkeypatch)

    class Stop(Exception):
        pass

    class FirstLine(io.StringIO):
        def write(self, text):
            raise Stop(text)

    with pytest.raises(Stop, match="Big!A1"):
        cli.dump(str(path), read_only=True, out=FirstLine())
    assert 0 < sum(read) < 200_000  # the first line comes long before the part's 2 MB are read


def test_progress_bar_only_on_a_terminal():
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    for stream, total, shown in ((Terminal(), 50_000, True), (io.StringIO(), 50_000, False), (Terminal(), 10, False)):
        progress = cli.Progress("S", total, stream)
        progress.update(25_000)
        progress.close()
        assert ("25000/50000 rows" in stream.getvalue()) is shown


def test_installed_command():
    from importlib.metadata import entry_points

    [script] = entry_points(group="console_scripts", name="quillfen")
    assert script.load() is cli.main
    with contextlib.redirect_stdout(io.StringIO()), pytest.raises(SystemExit) as done:
        cli.main(["--version"])
    assert done.value.code == 0
