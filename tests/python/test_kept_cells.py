"""Cells the user does not change are saved as they were read, on both paths and alike: their
extra attributes (cm, vm, ph), cached formula results, shared string indexes, inline runs and
empty formats; a cell the user assigns is a new cell (issue 19, issue 24 items 5 and 6)."""

import glob
import io
import os
import re
import sys
import warnings
import xml.etree.ElementTree as ET
import zipfile
from contextlib import contextmanager

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quillfen
from quillfen.styles import Font
from quillfen.utils.cells import coordinate_to_tuple

from conftest import CORPUS_DIR
from support import pure_path

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import xlsxgen  # noqa: E402

M = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
SST = [
    "plain", "",
    '<r><rPr><b/></rPr><t>bold</t></r><r><t xml:space="preserve"> tail</t></r>',
    '<t>kanji</t><rPh sb="0" eb="1"><t>k</t></rPh><phoneticPr fontId="0"/>',
]
INLINE = {"plain": "<is><t>inline</t></is>", "empty": "<is><t/></is>",
          "rich": '<is><r><rPr><i/><sz val="9"/></rPr><t>it</t></r><r><t>alic</t></r></is>'}
# (t attribute or None, <v> text) of formula results, and the extra attributes to keep.
RESULTS = [(None, "3"), ("str", "text"), ("str", ""), ("b", "1"), ("e", "#N/A"), ("n", "2.5")]
VALUES = st.one_of(
    st.tuples(st.just("num"), st.sampled_from(["1", "2.5", "-0", "1E+300", "1234567890123456789012345"])),
    st.tuples(st.just("sst"), st.integers(0, len(SST) - 1)),
    st.tuples(st.just("inline"), st.sampled_from(sorted(INLINE))),
    st.tuples(st.just("formula"), st.sampled_from(RESULTS)),
    st.tuples(st.just("array"), st.sampled_from(RESULTS)),
    st.tuples(st.just("inline_result"), st.just(None)),
    st.tuples(st.just("empty"), st.just(None)),
)
# Formats 4 and 5 repeat 0 and 3 (with what the model does not hold, as a check box): the
# writer would name them 0 (no id) and 3.
REPEATS = ('<xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"><extLst/></xf>'
           '<xf numFmtId="46" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>')
CELL = st.tuples(VALUES, st.lists(st.sampled_from(["cm", "vm", "ph"]), unique=True, max_size=2),
                 st.sampled_from([None, "0", "3", "4", "5"]))
EDITS = st.lists(st.tuples(st.sampled_from(["assign", "style", "read", "delete"]), st.integers(1, 4),
                           st.integers(1, 4), st.sampled_from([42, "new", "", "=A1*2", None])), max_size=6)


def cell_xml(ref, spec):
    (kind, arg), extra, style = spec
    attrs = "".join(' %s="1"' % name for name in extra) + (' s="%s"' % style if style else "")
    if kind == "num":
        return '<c r="%s"%s><v>%s</v></c>' % (ref, attrs, arg)
    if kind == "sst":
        return '<c r="%s"%s t="s"><v>%d</v></c>' % (ref, attrs, arg)
    if kind == "inline":
        return '<c r="%s"%s t="inlineStr">%s</c>' % (ref, attrs, INLINE[arg])
    if kind in ("formula", "array"):
        t, v = arg
        f = '<f t="array" ref="%s">B1+1</f>' % ref if kind == "array" else "<f>B1+1</f>"
        return '<c r="%s"%s%s>%s<v>%s</v></c>' % (ref, attrs, ' t="%s"' % t if t else "", f, v)
    if kind == "inline_result":
        return '<c r="%s"%s t="inlineStr"><f>"x"</f><is><t>x</t></is></c>' % (ref, attrs)
    return '<c r="%s"%s/>' % (ref, attrs)


def workbook(cells, row_styled, shared_group):
    """The .xlsx bytes of one sheet with `cells` ({(row, column): spec}); a shared formula in
    column E when `shared_group`."""
    strings = xlsxgen.SharedStrings()
    for item in SST:
        strings.add_item(item if item.startswith("<") else "<t>%s</t>" % item)

    def rows_xml(_strings):
        for row in range(1, 5):
            refs = ["%s%d" % ("ABCD"[col - 1], row) for col in range(1, 5)]
            body = "".join(cell_xml(ref, cells[(row, col)]) for col, ref in enumerate(refs, 1) if (row, col) in cells)
            if shared_group and row < 4:
                f = '<f t="shared" ref="E1:E3" si="0">A1+1</f>' if row == 1 else '<f t="shared" si="0"/>'
                body += '<c r="E%d">%s<v>%d</v></c>' % (row, f, row)
            yield '<row r="%d"%s>%s</row>' % (row, ' s="3" customFormat="1"' if row in row_styled else "", body)

    out = io.BytesIO()
    xlsxgen.write_workbook(out, [("Sheet1", rows_xml, None, [])], strings=strings, more_formats=REPEATS)
    return out.getvalue()


@contextmanager
def engine(pure):
    with pure_path(pure), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def edited_and_saved(data, edits):
    """The saved bytes after the edits, which positions the user changed or removed, and
    which ones lost the format they were read with (given another, or removed)."""
    wb = quillfen.load_workbook(io.BytesIO(data))
    ws = wb.active
    state, reformatted = {}, set()
    for op, row, col, value in edits:
        if op == "delete":
            if (row, col) in ws._cells:
                del ws[ws.cell(row, col).coordinate]
            state[(row, col)] = "gone"
            reformatted.add((row, col))
            continue
        cell = ws.cell(row, col)
        if op == "assign":
            cell.value = value
        elif op == "style":
            cell.font = Font(bold=True)
            reformatted.add((row, col))
        else:
            cell.value  # noqa: B018 - read: the engine makes the cell object
        if op == "assign" or state.get((row, col)) == "gone":
            state[(row, col)] = "changed"
    out = io.BytesIO()
    wb.save(out)
    return out.getvalue(), state, reformatted


def sheet_cells(data):
    root = ET.fromstring(zipfile.ZipFile(io.BytesIO(data)).read("xl/worksheets/sheet1.xml"))
    return {c.get("r"): c for c in root.iter(M + "c")}


def values(data, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ws = quillfen.load_workbook(io.BytesIO(data), **kw).active
    return {cell.coordinate: (cell.value, cell.data_type) for cell in ws.cells()}


def kept_parts(c):
    """What an unchanged cell keeps of its element: extra attributes, the `t` and `<v>` of a
    shared string or a formula's result, the formatting of an inline string's runs."""
    extra = {k: v for k, v in c.attrib.items() if k not in ("r", "s", "t")}
    f, v = c.find(M + "f"), c.find(M + "v")
    result = None
    if f is not None and c.get("t") == "inlineStr":
        result = ("str", "".join(c.find(M + "is").itertext()))  # kept as the string result it is
    elif f is not None or c.get("t") == "s":
        result = (c.get("t"), v.text or "" if v is not None else None)
    runs = [[p.tag for p in rpr] for rpr in c.iter(M + "rPr")]
    return extra, result, runs


@given(cells=st.dictionaries(st.tuples(st.integers(1, 4), st.integers(1, 4)), CELL, max_size=10),
       row_styled=st.sets(st.integers(1, 4), max_size=2), shared_group=st.booleans(), edits=EDITS,
       lxml=st.booleans())
def test_unchanged_cells_are_saved_as_read_on_both_paths(cells, row_styled, shared_group, edits, lxml):
    data = workbook(cells, row_styled, shared_group)
    os.environ["QUILLFEN_XML"] = "lxml" if lxml else "etree"
    try:
        with engine(pure=False):
            saved, state, reformatted = edited_and_saved(data, edits)
        with engine(pure=True):
            pure_saved, _, _ = edited_and_saved(data, edits)
    finally:
        del os.environ["QUILLFEN_XML"]
    assert zipfile.ZipFile(io.BytesIO(saved)).read("xl/worksheets/sheet1.xml") == \
        zipfile.ZipFile(io.BytesIO(pure_saved)).read("xl/worksheets/sheet1.xml")

    source, out = sheet_cells(data), sheet_cells(saved)
    before, after = values(data), values(saved)
    cached_before, cached_after = values(data, data_only=True), values(saved, data_only=True)
    for ref, c in source.items():
        row, col = coordinate_to_tuple(ref)
        fate = state.get((row, col), "kept")
        if fate == "gone":
            assert ref not in out
            continue
        if (row, col) not in reformatted:
            # The format stays, named as it was read (a new value does not change it).
            assert (out[ref].get("s") or "0") == (c.get("s") or "0"), ref
        if fate == "kept":
            # Every cell read stays (an empty one too: it must not take its row's format), as
            # it was read, with its value and its formula's result.
            assert kept_parts(out[ref]) == kept_parts(c), ref
            assert after.get(ref) == before.get(ref) and cached_after.get(ref) == cached_before.get(ref), ref
        else:
            extra, result, _runs = kept_parts(out[ref]) if ref in out else ({}, None, [])
            assert not extra and (result is None or result[1] in (None, "")), ref


def test_assignment_makes_a_new_cell_and_style_keeps_what_was_read():
    data = workbook({(1, 1): (("formula", ("str", "text")), ["cm"], None),
                     (1, 2): (("sst", 2), ["ph"], None)}, set(), False)
    for pure in (False, True):
        with engine(pure):
            ws = quillfen.load_workbook(io.BytesIO(data)).active
            a1, b1 = ws["A1"], ws["B1"]
            assert a1._loaded == ((("cm", "1"),), None, ("str", "text"), None)
            assert b1._loaded == ((("ph", "1"),), 2, None, None)
            b1.number_format = "0.0"
            assert b1._loaded == ((("ph", "1"),), 2, None, None)
            a1.value = a1.value
            assert a1._loaded is None


def _corpus_with_kept_cells():
    """Corpus workbooks whose sheets have formulas or cells with attributes the model does not
    hold."""
    found = []
    paths = glob.glob(os.path.join(CORPUS_DIR, "*.xlsx")) + glob.glob(os.path.join(CORPUS_DIR, "..", "excel", "*.xls[xm]"))
    for path in sorted(paths):
        try:
            with zipfile.ZipFile(path) as z:
                sheets = [z.read(n) for n in z.namelist() if re.match(r"xl/worksheets/[^/]+\.xml$", n)]
        except (zipfile.BadZipFile, OSError, RuntimeError):
            continue
        if any(re.search(rb"<(?:\w+:)?f[ />]|<(?:\w+:)?c [^>]*\b(?:cm|vm|ph)=", s) for s in sheets):
            found.append(path)
    return found


@pytest.mark.parametrize("path", _corpus_with_kept_cells(), ids=os.path.basename)
def test_corpus_cached_results_and_attributes_survive_an_edit(path):
    """One cell added below the first sheet's cells: its part is written anew, and every other
    cell keeps its attributes and its formula's result (read back with data_only=True)."""
    saved = {}
    for pure in (False, True):
        with engine(pure):
            try:
                wb = quillfen.load_workbook(path)
            except quillfen.InvalidFileError:
                pytest.skip("not a workbook quillfen reads")
            if not wb.worksheets:
                pytest.skip("no worksheet")
            ws = wb.worksheets[0]
            ws.cell(ws.max_row + 1, 1, "added")
            out = io.BytesIO()
            wb.save(out)
            saved[pure] = out.getvalue()
    parts = [zipfile.ZipFile(io.BytesIO(data)) for data in saved.values()]
    for name in parts[0].namelist():
        if name.startswith("xl/worksheets/"):
            assert parts[0].read(name) == parts[1].read(name), name
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        before = quillfen.load_workbook(path, data_only=True)
        after = quillfen.load_workbook(io.BytesIO(saved[False]), data_only=True)
    with zipfile.ZipFile(path) as source:
        for a, b in zip(before.worksheets, after.worksheets):
            assert {c.coordinate: c.value for c in a.cells()} == \
                {c.coordinate: c.value for c in b.cells() if c.value != "added"}
            assert kept_attributes(parts[0].read(b._part)) == kept_attributes(source.read(a._part))


def kept_attributes(sheet):
    """(coordinate, cm/vm/ph attributes) of the cells that have any."""
    found = []
    for tag in re.findall(rb"<(?:\w+:)?c\s[^>]*>", sheet):
        attrs = dict(re.findall(rb'(\w+)="([^"]*)"', tag))
        extra = {k: v for k, v in attrs.items() if k in (b"cm", b"vm", b"ph")}
        if extra:
            found.append((attrs.get(b"r"), extra))
    return found


def test_cells_read_again_out_of_order_keep_what_the_last_one_was_read_with():
    """A cell repeated after later ones (in its row, or in a row given again) stands as its last
    reading, with that reading's formula result, through a save and through an edit that moves it."""
    rows = ['<row r="1"><c r="A1"><v>1</v></c><c r="B1"><f>1+1</f><v>2</v></c>'
            '<c r="A1" t="str"><f>"a"</f><v>a</v></c></row>',
            '<row r="2"><c r="A2"><f>3+3</f><v>6</v></c><c r="C2"><f>4+4</f><v>8</v></c></row>',
            '<row r="1"><c r="D1" t="b"><f>TRUE()</f><v>1</v></c></row>',
            '<row r="2"><c r="B2" t="e"><f>1/0</f><v>#DIV/0!</v></c><c r="A2"><v>5</v></c></row>']
    out = io.BytesIO()
    xlsxgen.write_workbook(out, [("Sheet1", lambda _s: iter(rows), None, [])])
    saved = {}
    for pure in (False, True):
        with engine(pure):
            wb = quillfen.load_workbook(io.BytesIO(out.getvalue()))
            ws = wb.active
            unchanged = io.BytesIO()
            wb.save(unchanged)
            ws.insert_rows(1)
            ws.insert_cols(1)
            moved = io.BytesIO()
            wb.save(moved)
            saved[pure] = [zipfile.ZipFile(b).read("xl/worksheets/sheet1.xml") for b in (unchanged, moved)]
            assert values(moved.getvalue(), data_only=True) == {
                "B2": ("a", "s"), "C2": (2, "n"), "E2": (True, "b"), "B3": (5, "n"), "C3": ("#DIV/0!", "e"),
                "D3": (8, "n")}
    assert saved[False] == saved[True]
