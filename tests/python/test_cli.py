"""`python -m quillfen dump`: its stable line format, its modes, and clean failures."""

import io
import os
import subprocess
import sys
import zipfile

import pytest

from quillfen import __main__ as cli

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


# ---- info ----------------------------------------------------------------------------------

def info(*args, pure=False):
    env = dict(os.environ, QUILLFEN_PURE_PYTHON="1" if pure else "0")
    return subprocess.run([sys.executable, "-m", "quillfen", "info", *args], capture_output=True, text=True, env=env)


@pytest.fixture(scope="module")
def merged_book(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "merged.xlsx"

    def rows(strings):
        yield '<row r="1" spans="1:3" ht="30" customHeight="1"><c r="A1" s="2"><v>1</v></c><c r="C1" s="3"/></row>'
        yield '<row r="2"><c r="A2" s="1"/><c s="5"/><c/></row>'  # B2 and C2 are written without r
        yield '<row r="4" hidden="1"><c r="D4" s="7"/></row>'

    xlsxgen.write_workbook(str(path), [("Styled", rows, "A1:D4", ["A1:C2", "D4", "B3:B4"]),
                                       ("Plain", lambda strings: iter(()), "A1", [])])
    return str(path)


def test_info_lines(demo, merged_book):
    assert info(demo).stdout.splitlines() == [
        "Mixed\tdimension A1:F20\tformatted rows 0\tmerged 0",
        "Formulas\tdimension A1:B3\tformatted rows 1\tmerged 1",
        "\tA3:A4\tA3=- A4=-",
    ]
    assert info(merged_book).stdout.splitlines() == [
        "Styled\tdimension A1:D4\tformatted rows 2\tmerged 3",
        "\tA1:C2\tA1=2 C1=3 A2=1 C2=-",
        "\tD4\tD4=7",
        "\tB3:B4\tB3=- B4=-",
        "Plain\tdimension A1\tformatted rows 0\tmerged 0",
    ]
    assert info(merged_book, "--sheet", "Plain").stdout == "Plain\tdimension A1\tformatted rows 0\tmerged 0\n"


def test_info_is_the_same_in_pure_python(demo, merged_book):
    for book in (demo, merged_book):
        native = info(book)
        assert native.returncode == 0 and native.stdout == info(book, pure=True).stdout


def test_info_failures_are_one_line(tmp_path, demo):
    bad = tmp_path / "bad.xlsx"
    bad.write_bytes(b"")
    for result in (info(str(bad)), info(demo, "--sheet", "Nope")):
        assert result.returncode == 1 and result.stdout == "" and result.stderr.count("\n") == 1


@pytest.mark.parametrize("ref", ["A0:B2", "A1:B0", "A1:", "1:2", "A1:B2:C3"])
def test_a_merged_range_without_cells_is_refused(tmp_path, ref):
    path = tmp_path / "bad-merge.xlsx"
    xlsxgen.write_workbook(str(path), [("S", lambda strings: iter(['<row r="1"><c r="A1" s="1"/></row>']), "A1",
                                        ["A1:B1", ref])])
    for pure in (False, True):
        result = info(str(path), pure=pure)
        assert (result.returncode, result.stdout) == (1, "")
        assert result.stderr == ("quillfen: cannot read %s: InvalidFileError: S (xl/worksheets/sheet1.xml): "
                                 "Invalid merged cell range %r\n" % (path, ref))


def test_dump_and_info_write_to_the_current_stdout(demo):
    import contextlib
    import io

    from quillfen import __main__ as cli

    for command in (cli.dump, cli.info):
        with contextlib.redirect_stdout(io.StringIO()) as out:
            command(demo, sheet="Formulas")
        assert out.getvalue().startswith("Formulas")


def test_missing_file_is_reported_with_its_name(tmp_path):
    import quillfen

    missing = tmp_path / "missing.xlsx"
    with pytest.raises(FileNotFoundError) as info:
        quillfen.load_workbook(missing)
    assert info.value.filename == str(missing) and "No such file" in str(info.value)


def test_generated_sheet_names_are_escaped(tmp_path):
    import quillfen

    path = tmp_path / "names.xlsx"
    name = 'Say "hi" & <bye>'
    xlsxgen.write_workbook(str(path), [(name, lambda strings: iter(()), "A1", [])])
    assert quillfen.load_workbook(str(path)).sheetnames == [name]


# ---- what is no workbook quillfen reads -----------------------------------------------------

def _compound(entry):
    """An OLE compound file (the container of .xls files and of encrypted workbooks) whose first
    directory sector holds the root and one stream named `entry`."""
    directory = bytearray(512)
    for i, name in enumerate(["Root Entry", entry]):
        raw = (name + "\0").encode("utf-16-le")
        directory[i * 128:i * 128 + len(raw)] = raw
        directory[i * 128 + 64:i * 128 + 66] = len(raw).to_bytes(2, "little")
    return b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1".ljust(512, b"\0") + bytes(directory)


def _zip(parts):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name, text in parts.items():
            z.writestr(name, text)
    return out.getvalue()


_MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
NOT_READ = {
    "legacy.xls": (_compound("Workbook"), "older binary format (.xls)"),
    "encrypted.xlsx": (_compound("EncryptedPackage"), "password-protected"),
    "sheet.ods": (_zip({"mimetype": "application/vnd.oasis.opendocument.spreadsheet", "content.xml": "<x/>"}),
                  "an OpenDocument spreadsheet (.ods)"),
    "draft.xlsx": (_zip({"xl/workbook.xml": '<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/5'
                         '/main"><sheets><sheet name="S" r:id="rId1" xmlns:r="urn:r"/></sheets></workbook>'}),
                   "not the workbook of a SpreadsheetML namespace"),
    "no-sheets.xlsx": (_zip({"xl/workbook.xml": '<workbook xmlns="%s"><sheets/></workbook>' % _MAIN}),
                       "the workbook has no worksheets"),
}


@pytest.mark.parametrize("name", sorted(NOT_READ))
def test_what_is_not_read_says_what_it_is(tmp_path, capsys, name):
    # Issue 23: an .xls was reported as encrypted, an .ods as a container without a workbook
    # part; a workbook of a draft namespace loaded without sheets, and then csv ended in an
    # AttributeError and info printed nothing, with exit code 0.
    content, words = NOT_READ[name]
    path = tmp_path / name
    path.write_bytes(content)
    for command in ("dump", "info", "csv", "json"):
        assert cli.main([command, str(path)]) == 1
        out, err = capsys.readouterr()
        assert out == "" and err.count("\n") == 1 and words in err, (command, err)
