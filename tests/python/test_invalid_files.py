"""Damaged workbooks: whatever is wrong with the file, and whenever it is found (at load, while
a read-only sheet streams, in a prescan), reading raises InvalidFileError from the original
error, naming the part and, where known, the sheet and cell, alike on both paths."""

import io
import re
import zipfile

import pytest

import quillfen

from support import MAIN

REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
SHEET = "xl/worksheets/sheet1.xml"
DTD = '<!DOCTYPE x [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;">]>'


def sheet(rows, head=""):
    return f'<worksheet xmlns="{MAIN}">{head}<sheetData>{rows}</sheetData></worksheet>'


def book(rows="", strings=("zero", "one", "two"), stored=False, extra=(), **parts):
    """A workbook of one sheet, "Sheet1", as bytes; `parts` replace parts by name (with "/"
    written "_" and the dot dropped: xl_workbookxml); `extra` adds (part name, text) pairs."""
    files = {
        "[Content_Types].xml": '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>',
        "_rels/.rels": f'<Relationships xmlns="{PKG_REL}"><Relationship Id="rId1" '
                       f'Type="{REL}/officeDocument" Target="xl/workbook.xml"/></Relationships>',
        "xl/workbook.xml": f'<workbook xmlns="{MAIN}" xmlns:r="{REL}"><sheets>'
                           '<sheet name="Sheet1" sheetId="1" r:id="rId1"/></sheets></workbook>',
        "xl/_rels/workbook.xml.rels": f'<Relationships xmlns="{PKG_REL}">'
            f'<Relationship Id="rId1" Type="{REL}/worksheet" Target="worksheets/sheet1.xml"/>'
            f'<Relationship Id="rId2" Type="{REL}/sharedStrings" Target="sharedStrings.xml"/>'
            f'<Relationship Id="rId3" Type="{REL}/styles" Target="styles.xml"/></Relationships>',
        "xl/styles.xml": f'<styleSheet xmlns="{MAIN}"><cellXfs><xf/></cellXfs></styleSheet>',
        "xl/sharedStrings.xml": f'<sst xmlns="{MAIN}">%s</sst>' % "".join(f"<si><t>{s}</t></si>" for s in strings),
        SHEET: sheet(rows),
    }
    for key, text in parts.items():
        name = next(n for n in files if n.replace("/", "_").replace(".", "").replace("[", "").replace("]", "") == key)
        files[name] = text
    files.update(extra)
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED) as z:
        for name, text in files.items():
            z.writestr(name, text.encode() if isinstance(text, str) else text)
    return out.getvalue()


def corrupt_member(data, name):
    """`data` with one byte of the stored member `name` changed: its CRC no longer matches."""
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        info = z.getinfo(name)
    at = info.header_offset + 30 + len(info.filename) + len(info.extra) + info.file_size - 20
    return data[:at] + bytes([data[at] ^ 0x01]) + data[at + 1:]


def failure(data, read_only, facts=False):
    """The exception that reading `data` (every value of every sheet; with `facts`, the
    prescan facts of every sheet) raises, or None."""
    try:
        wb = quillfen.load_workbook(io.BytesIO(data), read_only=read_only)
        for ws in wb.worksheets:
            if facts:
                ws.facts()
            else:
                for _row in ws.iter_rows(values_only=True):
                    pass
    except Exception as exc:  # noqa: BLE001 - the failure is what is checked
        return exc
    return None


IN_SHEET = "Sheet1 (xl/worksheets/sheet1.xml)"
# (case, workbook, expected message as a regular expression, type of the original error)
CASES = [
    ("string index", book('<row r="7"><c r="B7" t="s"><v>7</v></c></row>'),
     r"Sheet1!B7 \(xl/worksheets/sheet1\.xml\): shared string index 7 out of range \(3 strings\)", IndexError),
    ("negative string index", book('<row r="2"><c r="C2" t="s"><v>-1</v></c></row>'),
     r"Sheet1!C2 \(xl/worksheets/sheet1\.xml\): shared string index -1 out of range \(3 strings\)", IndexError),
    ("bad coordinate", book('<row r="1"><c r="A0"><v>1</v></c></row>'),
     r"Sheet1!1:1 \(xl/worksheets/sheet1\.xml\): Invalid cell coordinates \(A0\)", ValueError),
    ("bad number", book('<row r="3"><c r="D3"><v>abc</v></c></row>'),
     r"Sheet1!D3 \(xl/worksheets/sheet1\.xml\): invalid literal for int\(\) .*'abc'", ValueError),
    ("bad date", book('<row r="1"><c r="A1" t="d"><v>2020-13-45</v></c></row>'),
     r"Sheet1!A1 \(xl/worksheets/sheet1\.xml\): month must be in 1\.\.12, not 13", ValueError),
    ("huge row number", book('<row r="1"><c><v>1</v></c></row><row r="99999999999999999999"><c><v>1</v></c></row>'),
     re.escape(IN_SHEET) + r": Python int too large to convert to C long", OverflowError),
    ("shared formula moved off the sheet",
     book('<row r="2"><c r="A2"><f t="shared" ref="A1:A2" si="0">A1</f></c></row>'
          '<row r="1"><c r="A1"><f t="shared" si="0"/></c></row>'),
     r"Sheet1!A1 \(xl/worksheets/sheet1\.xml\): Formula out of range", "TranslatorError"),
    ("malformed sheet", book('<row r="1"><c r="A1"><v>1</v></c></row><row></c>'),
     re.escape(IN_SHEET) + r": mismatched tag: line 1, column \d+", "ExpatError"),
    ("sheet dtd", book(**{"xl_worksheets_sheet1xml": DTD + sheet("")}),
     re.escape(IN_SHEET) + ": document type declarations are not allowed", "DoctypeRefused"),
    ("sheet crc", corrupt_member(book('<row r="1"><c r="A1"><v>12345</v></c></row>' * 30, stored=True), SHEET),
     re.escape(IN_SHEET) + r": Bad CRC-32 for file 'xl/worksheets/sheet1\.xml'", "BadZipFile"),
    ("strings dtd", book(xl_sharedStringsxml=DTD + f'<sst xmlns="{MAIN}"><si><t>&b;</t></si></sst>'),
     r"xl/sharedStrings\.xml: document type declarations are not allowed", "DoctypeRefused"),
    ("malformed strings", book(xl_sharedStringsxml=f'<sst xmlns="{MAIN}"><si><t>a</si></sst>'),
     r"xl/sharedStrings\.xml: mismatched tag: line 1, column \d+", "ParseError"),
    ("styles dtd", book(xl_stylesxml=DTD + f'<styleSheet xmlns="{MAIN}"/>'),
     r"xl/styles\.xml: document type declarations are not allowed", "DoctypeRefused"),
    ("workbook dtd", book(xl_workbookxml=DTD + f'<workbook xmlns="{MAIN}"/>'),
     r"xl/workbook\.xml: document type declarations are not allowed", "DoctypeRefused"),
    ("workbook encoding", book(xl_workbookxml=f'<?xml version="1.0" encoding="x-no-such"?><workbook xmlns="{MAIN}"/>'),
     r"xl/workbook\.xml: .*x-no-such", None),
    ("relationships dtd", book(xl__rels_workbookxmlrels=DTD + f'<Relationships xmlns="{PKG_REL}"/>'),
     r"xl/_rels/workbook\.xml\.rels: document type declarations are not allowed", "DoctypeRefused"),
    ("content types dtd", book(Content_Typesxml=DTD + "<Types/>"),
     r"\[Content_Types\]\.xml: document type declarations are not allowed", "DoctypeRefused"),
    ("encrypted", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(504 + 128) + "EncryptedPackage\0".encode("utf-16-le").ljust(64, b"\0")
     + b"\x22\0", r"the workbook is password-protected \(encrypted\).*", "BadZipFile"),
    ("compound", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(504),
     r"the file is an OLE compound document, not a workbook quillfen reads.*", "BadZipFile"),
    ("not a zip", b"PK\x03\x04 but nothing more", r"not a zip container: .*", "BadZipFile"),
]


def _name(kind):
    return kind if isinstance(kind, str) else kind.__name__


@pytest.mark.parametrize("name, data, message, cause", CASES, ids=[c[0] for c in CASES])
def test_damage_is_reported_alike_on_both_paths(name, data, message, cause, monkeypatch):
    seen = []
    for pure in ("0", "1"):
        monkeypatch.setenv("QUILLFEN_PURE_PYTHON", pure)
        for read_only in (True, False):
            exc = failure(data, read_only)
            assert isinstance(exc, quillfen.InvalidFileError), (pure, read_only, exc)
            assert re.fullmatch(message, str(exc)), (pure, read_only, str(exc))
            if cause is not None:
                assert _name(type(exc.__cause__)) == _name(cause), (pure, read_only)
            seen.append(str(exc))
    assert len(set(seen)) == 1


def test_comments_part_with_a_dtd(monkeypatch):
    # Comments are read in editable mode only, and refused there like every other part.
    comments = "xl/comments1.xml"
    data = book(extra=[
        ("xl/worksheets/_rels/sheet1.xml.rels", f'<Relationships xmlns="{PKG_REL}"><Relationship Id="rId1" '
                                                f'Type="{REL}/comments" Target="../comments1.xml"/></Relationships>'),
        (comments, DTD + f'<comments xmlns="{MAIN}"><commentList/></comments>')])
    for pure in ("0", "1"):
        monkeypatch.setenv("QUILLFEN_PURE_PYTHON", pure)
        exc = failure(data, read_only=False)
        assert isinstance(exc, quillfen.InvalidFileError)
        assert str(exc) == comments + ": document type declarations are not allowed"
        assert failure(data, read_only=True) is None


def test_prescan_damage(monkeypatch):
    data = book(rows='<row r="1"><c r="A1" s="1"><v>1</v></c></row>',
                xl_worksheets_sheet1xml=f'<worksheet xmlns="{MAIN}"><dimension ref="A1"><sheetData/></worksheet>')
    messages = set()
    for pure in ("0", "1"):
        monkeypatch.setenv("QUILLFEN_PURE_PYTHON", pure)
        exc = failure(data, True, facts=True)
        assert isinstance(exc, quillfen.InvalidFileError) and exc.__cause__ is not None
        messages.add(str(exc))
    assert len(messages) == 1 and messages.pop().startswith(IN_SHEET + ": ")


def test_caller_errors_are_not_the_files(tmp_path):
    with pytest.raises(TypeError):
        quillfen.load_workbook(io.StringIO("text"))
    path = tmp_path / "book.xlsx"
    path.write_bytes(book())
    wb = quillfen.load_workbook(path, read_only=True)
    with pytest.raises(TypeError):
        wb["Sheet1"].prescan(want_rows="yes")
    assert quillfen.load_workbook(bytes(path)).sheetnames == ["Sheet1"]

    class BytesPath:
        def __fspath__(self):
            return bytes(path)

    assert quillfen.load_workbook(BytesPath()).sheetnames == ["Sheet1"]


@pytest.mark.parametrize("read_only", [False, True], ids=["editable", "read-only"])
def test_a_sheet_without_a_name_gets_a_free_one(read_only, tmp_path):
    # Titled None, it could not be saved, and adding or renaming another sheet raised.
    nameless = book(xl_workbookxml=f'<workbook xmlns="{MAIN}" xmlns:r="{REL}"><sheets>'
                                   '<sheet sheetId="1" r:id="rId1"/></sheets></workbook>')
    with pytest.warns(UserWarning, match="xl/workbook.xml: a sheet without a name, read as 'Sheet1'"):
        wb = quillfen.load_workbook(io.BytesIO(nameless), read_only=read_only)
    assert wb.sheetnames == ["Sheet1"]
    if not read_only:
        wb.create_sheet()
        wb.save(tmp_path / "named.xlsx")
        assert quillfen.load_workbook(tmp_path / "named.xlsx").sheetnames == ["Sheet1", "Sheet2"]


def _listed(target="worksheets/sheet1.xml", rel_type="worksheet", rel_id="rId1", sheets=1, root=None, mode=""):
    """A workbook whose `sheets` sheets all point at relationship `rel_id`, of `rel_type`, to
    `target`; `root` replaces the sheet part's root element."""
    entries = "".join(f'<sheet name="S{n}" sheetId="{n}" r:id="{rel_id}"/>' for n in range(1, sheets + 1))
    rels = (f'<Relationships xmlns="{PKG_REL}"><Relationship Id="rId1" Type="{REL}/{rel_type}" '
            f'Target="{target}"{mode}/></Relationships>')
    parts = {"xl_workbookxml": f'<workbook xmlns="{MAIN}" xmlns:r="{REL}"><sheets>{entries}</sheets></workbook>',
             "xl__rels_workbookxmlrels": rels}
    if root is not None:
        parts["xl_worksheets_sheet1xml"] = root
    return book(**parts)


@pytest.mark.parametrize("data, part, message", [
    (_listed(target="worksheets/sheet9.xml"), "xl/worksheets/sheet9.xml", "the sheet's part is missing"),
    (_listed(rel_id="rId7"), "xl/_rels/workbook.xml.rels", "relationship 'rId7' is not among"),
    (_listed(target="../../../etc/passwd"), "xl/_rels/workbook.xml.rels", "outside the workbook"),
    (_listed(target="http://example.com/a.xml", mode=' TargetMode="External"'), "xl/_rels/workbook.xml.rels",
     "outside the workbook"),
    (_listed(rel_type="styles"), "xl/_rels/workbook.xml.rels", "not of a sheet"),
    (_listed(root='<worksheet xmlns="urn:other"><sheetData/></worksheet>'), SHEET, "not a worksheet"),
    (_listed(sheets=2), SHEET, "also that of the sheet 'S1'"),
], ids=["missing", "unknown id", "outside", "external", "wrong type", "namespace", "claimed twice"])
@pytest.mark.parametrize("read_only", [False, True], ids=["editable", "read-only"])
def test_issue24_a_listed_sheet_that_cannot_be_read(data, part, message, read_only):
    # It vanished or loaded empty (saving in place then wrote it out empty).
    exc = failure(data, read_only)
    assert isinstance(exc, quillfen.InvalidFileError) and exc.part == part and exc.sheet in ("S1", "S2")
    assert message in str(exc)
