"""Structural edits against LibreOffice: random workbooks (constants, formulas with every form
of reference, names, merges, references across sheets) get the same random sequence of row
and column insertions and deletions from quillfen and, through UNO, from LibreOffice; both
must give the same constants at the same places, the same formulas (compared without regard
to case, spaces and the quoting of sheet names), the same names and the same merged ranges.

QUILLFEN_ORACLE_CASES sets the number of cases (`make oracle` runs thousands), and
QUILLFEN_ORACLE_FIRST the number of the first.

What LibreOffice does that we judge a fault is not copied, and so is left out of the
comparison: it adjusts a reference to several sheets (Sheet1:Sheet3!A1) when one of them
changes, though the others did not (and destroys it when a column of one is deleted); a
reference it made "#REF!" by a deletion comes back, pointing at another cell, when a later
insertion makes room (the workbook is stored and loaded again after a deletion that an
insertion follows, so that it works from what its file says); and it writes the union
operator as "~"."""

import math
import os
import random
import zipfile

import pytest

import quillfen
from quillfen.formula import Token, Tokenizer
from quillfen.utils.cells import coordinate_of

import gridgen
from oracle import oracle

CASES = int(os.environ.get("QUILLFEN_ORACLE_CASES", "200"))
FIRST = int(os.environ.get("QUILLFEN_ORACLE_FIRST", "0"))  # the number of the first case


def _unquoted(sheet):
    if len(sheet) >= 2 and sheet[0] == sheet[-1] == "'":
        sheet = sheet[1:-1].replace("''", "'")
    return sheet.casefold()


def normalised(formula):
    """A formula (without "=") as compared: no spaces, upper case outside strings, sheet names
    unquoted and folded, references to several sheets masked."""
    formula = formula.replace("~", ",")  # LibreOffice's union operator; no case writes one
    try:
        tokens = Tokenizer("=" + formula).items
    except Exception:
        return formula
    out = []
    for token in tokens:
        if token.type == Token.WSPACE:
            continue
        text = token.value
        if token.type == Token.OPERAND and token.subtype == Token.RANGE:
            sheet, bang, ref = text.rpartition("!")
            sheet = _unquoted(sheet)
            text = "<3-D>" if ":" in sheet else sheet + bang + ref.upper()
        elif token.subtype != Token.TEXT:
            text = text.upper()
        out.append(text)
    return "".join(out)


def _ours(wb):
    sheets = {}
    for ws in wb.worksheets:
        cells = {}
        for cell in ws.cells():
            value = cell.value
            if value is None:
                continue
            if cell.data_type == "f":
                cells[cell.coordinate] = ("f", normalised(value[1:]))
            else:
                cells[cell.coordinate] = ("v", value)
        sheets[ws.title] = (cells, sorted(ws.merged_cells))
    names = {(n.name, None, normalised(n.attr_text)) for n in wb.defined_names.values()}
    for ws in wb.worksheets:
        names |= {(n.name, ws.title, normalised(n.attr_text)) for n in ws.defined_names.values()}
    return sheets, names


def _theirs(report):
    titles = [title for title, _ in report["sheets"]]
    sheets = {}
    for title, sheet in report["sheets"]:
        cells = {}
        for ref, (kind, text) in sheet["cells"].items():
            if kind == "f":
                cells[ref] = ("f", normalised(text))
            elif kind == "n":
                number = float(text)
                cells[ref] = ("v", int(number) if number.is_integer() else number)
            elif kind in ("s", "str"):
                cells[ref] = ("v", text)
        sheets[title] = (cells, sorted(sheet["merges"]))
    names = {(name, None if local is None else titles[local], normalised(text))
             for name, local, text in report["names"]}
    return sheets, names


def _differences(ours, theirs):
    found = []
    for title in sorted(set(ours[0]) | set(theirs[0])):
        (a_cells, a_merges), (b_cells, b_merges) = ours[0].get(title, ({}, [])), theirs[0].get(title, ({}, []))
        for ref in sorted(set(a_cells) | set(b_cells)):
            a, b = a_cells.get(ref), b_cells.get(ref)
            if a != b and not (a and b and a[0] == b[0] == "v" and isinstance(a[1], float)
                               and math.isclose(a[1], b[1])):
                found.append("%s!%s: quillfen %r, LibreOffice %r" % (title, ref, a, b))
        if a_merges != b_merges:
            found.append("%s merges: quillfen %s, LibreOffice %s" % (title, a_merges, b_merges))
    if ours[1] != theirs[1]:
        found.append("names: quillfen only %s, LibreOffice only %s" % (sorted(ours[1] - theirs[1]),
                                                                       sorted(theirs[1] - ours[1])))
    return found


@pytest.mark.parametrize("case", range(FIRST, FIRST + CASES))
def test_edits_as_libreoffice_makes_them(tmp_path_factory, case):
    rng = random.Random(case)
    path = tmp_path_factory.getbasetemp() / ("oracle-%d.xlsx" % case)
    titles = gridgen.workbook(rng, path)
    edits = gridgen.edits(rng, titles)
    wb = quillfen.load_workbook(path)
    office = oracle()
    office.open(path)
    for n, (title, op, index, amount) in enumerate(edits):
        getattr(wb[title], op)(index, amount)
        office.edit(title, op, index, amount)
        if op.startswith("delete") and any(later[1].startswith("insert") for later in edits[n + 1:]):
            office.settle()
    found = _differences(_ours(wb), _theirs(office.report()))
    office.close_document()
    os.unlink(path)
    assert not found, "after %s:\n%s" % (edits, "\n".join(found[:20]))


def test_edited_formulas_are_calculated_on_opening(tmp_path):
    """Results read with formulas that an edit changed are not saved stale: the formulas are
    saved without them, and LibreOffice calculates them when it opens the file."""
    wb = quillfen.Workbook()
    for r in range(1, 6):
        wb.active.cell(r, 1, r)
    path, saved = tmp_path / "in.xlsx", tmp_path / "out.xlsx"
    wb.save(path)
    with zipfile.ZipFile(path) as z:
        parts = {name: z.read(name) for name in z.namelist()}
    # Results as a spreadsheet program stores them: B1 sums A1:A5, C1 doubles B1, D1 shows A5.
    formulas = b'<c r="B1"><f>SUM(A1:A5)</f><v>15</v></c><c r="C1"><f>B1*2</f><v>30</v></c><c r="D1"><f>A5</f><v>5</v></c>'
    part = "xl/worksheets/sheet1.xml"
    parts[part] = parts[part].replace(b'<v>1</v></c>', b'<v>1</v></c>' + formulas, 1)
    with zipfile.ZipFile(path, "w") as z:
        for name, data in parts.items():
            z.writestr(name, data)
    wb = quillfen.load_workbook(path)
    wb.active.delete_rows(3)
    wb.save(saved)
    office = oracle()
    office.open(saved)
    values = office.report()["sheets"][0][1]["values"]
    office.close_document()
    # The formulas the edit rewrote are saved without results and shown calculated. The file
    # asks for every formula to be calculated on opening (fullCalcOnLoad), for C1; LibreOffice
    # by its default settings does not, and shows C1's stored result.
    assert float(values["B1"]) == 12 and float(values["D1"]) == 5
    with zipfile.ZipFile(saved) as z:
        assert b'fullCalcOnLoad="1"' in z.read("xl/workbook.xml")
        assert b"<v>30</v>" in z.read(part) and b"<v>15</v>" not in z.read(part)
