"""Cell styles as objects: what is assigned reads back equal after a save and a load, in either
path and from every kind of sheet, with one cell format per distinct combination; the formats of
loaded workbooks read alike in both paths and survive an untouched save; bad values are refused."""

import io
import os
import pickle
import warnings
import zipfile

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quillfen
from quillfen import WriteOnlyCell
from quillfen.reader.styles import read_stylesheet
from quillfen.utils.cells import coordinate_of
from quillfen.model.styles import (BORDER_STYLES, FILL_TYPES, HORIZONTAL_ALIGNMENTS, UNDERLINES, VERTICAL_ALIGNMENTS,
                             Alignment, Border, Color, Font, GradientFill, PatternFill, Protection, Side)

from conftest import CORPUS_DIR
from support import pure_path as path

KINDS = ("font", "fill", "border", "alignment", "protection", "number_format")


def load(source, **kw):
    if isinstance(source, io.BytesIO):
        source.seek(0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return quillfen.load_workbook(source, **kw)


def saved(wb):
    out = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        wb.save(out)
    return out


def looks(cell):
    return tuple(getattr(cell, kind) for kind in KINDS)


# ------------------------------------------------------------------ assigned, saved, loaded

rgb = st.from_regex(r"(?:[0-9A-Fa-f]{2})?[0-9A-Fa-f]{6}", fullmatch=True)
colors = st.one_of(st.none(), rgb, st.builds(Color, theme=st.integers(0, 11), tint=st.sampled_from([0, -0.25, 0.4])),
                   st.builds(Color, indexed=st.integers(0, 64)))
fonts = st.builds(Font, name=st.sampled_from([None, "Arial", "Noto Sans"]), size=st.sampled_from([None, 8, 10.5, 11]),
                  bold=st.booleans(), italic=st.booleans(), underline=st.sampled_from([None, *UNDERLINES]),
                  strike=st.booleans(), color=colors, vertAlign=st.sampled_from([None, "superscript"]),
                  scheme=st.sampled_from([None, "minor"]))
stops = st.lists(st.tuples(st.sampled_from([0, 0.5, 1]), rgb), max_size=3)
fills = st.one_of(st.builds(PatternFill, st.sampled_from([None, *FILL_TYPES]), colors, colors),
                  st.builds(GradientFill, type=st.sampled_from(["linear", "path"]),
                            degree=st.sampled_from([0, 45, 90.5]), left=st.sampled_from([0, 0.5]), stop=stops))
sides = st.builds(Side, st.sampled_from([None, *BORDER_STYLES]), colors)
borders = st.builds(Border, left=sides, right=sides, top=sides, bottom=sides, diagonal=sides,
                    diagonal_up=st.booleans(), diagonal_down=st.booleans(), vertical=sides, outline=st.booleans())
alignments = st.builds(Alignment, st.sampled_from([None, *HORIZONTAL_ALIGNMENTS]),
                       st.sampled_from([None, *VERTICAL_ALIGNMENTS]), wrap_text=st.booleans(),
                       shrink_to_fit=st.booleans(), indent=st.integers(0, 15),
                       text_rotation=st.sampled_from([0, 45, 90, 180, 255]), reading_order=st.integers(0, 2))
protections = st.builds(Protection, st.booleans(), st.booleans())
number_formats = st.sampled_from(["General", "0.00", "#,##0", "0%", "yyyy-mm-dd", "[h]:mm:ss", '"£"#,##0.00;[Red]-0'])
styles = st.fixed_dictionaries({}, optional={"font": fonts, "fill": fills, "border": borders, "alignment": alignments,
                                             "protection": protections, "number_format": number_formats})
# Several assignments may land on one cell: the last of each kind counts.
assignments = st.lists(st.tuples(st.integers(1, 4), st.integers(1, 3), styles), max_size=10)


def _base():
    wb = quillfen.Workbook()
    for _ in range(4):
        wb.active.append([1, "text", 2.5])
    return saved(wb)


BASE = _base()


@given(assignments, st.sampled_from(["new", "loaded", "write_only"]), st.booleans())
def test_styles_read_back_equal_with_one_format_per_combination(assignments, sheet, pure):
    with path(pure):
        if sheet == "write_only":
            wb = quillfen.Workbook(write_only=True)
            ws = wb.create_sheet()
        else:
            # A loaded sheet keeps its cells in the engine's store unless on the pure path.
            wb = load(BASE) if sheet == "loaded" else quillfen.Workbook()
            ws = wb.active
        placed = []
        for number, (row, column, style) in enumerate(assignments, 1):
            if sheet == "write_only":
                row, column = number, 1
                cell = WriteOnlyCell(ws, 1)
            else:
                cell = ws.cell(row, column, 1)
            for kind, value in style.items():
                setattr(cell, kind, value)
            if sheet == "write_only":
                ws.append([cell])
            placed.append((row, column, looks(cell)))
        out = saved(wb)
    want = {(row, column): look for row, column, look in placed}  # the last look of a cell
    default = looks(quillfen.Workbook().active["A1"])
    for pure_load in (False, True):
        with path(pure_load):
            back = load(out)
            got = {key: looks(back.worksheets[0].cell(*key)) for key in want}
            assert got == want
            assert len(back.stylesheet.cell_styles) == len(set(want.values()) | {default})
            title, streamed = back.worksheets[0].title, _streamed(load(out, read_only=True))
            assert {key: streamed[title, coordinate_of(*key)] for key in want} == want


def _streamed(wb):
    """The looks of every cell of a read-only workbook, by (sheet title, coordinate)."""
    return {(ws.title, cell.coordinate): looks(cell) for ws in wb for cell in ws.cells()}


def test_equal_styles_share_one_array_and_one_element():
    wb = quillfen.Workbook()
    ws = wb.active
    fonts = len(wb.stylesheet.fonts)
    for row in range(1, 101):
        cell = ws.cell(row, 1, row)
        cell.font = Font("Arial", 10, bold=True, color="336699")
        cell.fill = PatternFill("solid", fgColor="FFEEDD")
        cell.number_format = "0.0"
    first, last = ws["A1"], ws["A100"]
    assert first._style is last._style
    assert len(wb.stylesheet.fonts) == fonts + 1
    assert len(load(saved(wb)).stylesheet.cell_styles) == 2
    # Values, not objects: equal, hashable, immutable, copied with changes, pickled.
    font = first.font
    assert font == Font("Arial", 10, bold=True, color="FF336699") and hash(font) == hash(last.font)
    assert font.copy(bold=False) == Font("Arial", 10, color="336699")
    assert pickle.loads(pickle.dumps(font)) == font
    with pytest.raises(AttributeError):
        font.bold = False


# ------------------------------------------------------------------ formats of loaded workbooks

# Corpus workbooks whose cells use many formats: fonts, theme and indexed colours, fills,
# borders, alignments, custom number formats, formats wrapped in compatibility markup.
STYLED = ["cal-issue_174.xlsx", "cal-issues.xlsx", "exz-SharedStrings.xlsx", "poi-59746_NoRowNums.xlsx",
          "poi-style-alternate-content.xlsx", "pycal-base.xlsx", "sjs-DataTypesFormats.xlsx", "sjs-wps-fn.xlsx"]


def _styled_corpus():
    return [name for name in STYLED if os.path.exists(os.path.join(CORPUS_DIR, name))]


def _styles_part(out):
    with zipfile.ZipFile(out) as package:
        return package.read("xl/styles.xml")


def _looks_by_cell(wb):
    return {(ws.title, cell.coordinate): looks(cell) for ws in wb for cell in ws.cells()
            if cell._style is not None and any(cell._style)}


@pytest.mark.parametrize("name", _styled_corpus())
def test_corpus_formats_read_alike_in_both_paths_and_survive_a_save(name):
    source = os.path.join(CORPUS_DIR, name)
    found = {}
    for pure in (False, True):
        with path(pure):
            wb = load(source)
            found[pure] = _looks_by_cell(wb)
            streamed = _streamed(load(source, read_only=True))
            assert {key: streamed[key] for key in found[pure]} == found[pure]
            once = saved(wb)
            again = load(once)
            assert _looks_by_cell(again) == found[pure]
            # Untouched formats are written back as they were read: saving is a fixed point.
            assert _styles_part(saved(again)) == _styles_part(once)
    assert found[False] == found[True]
    assert found[False], "a corpus file chosen for its styles has styled cells"


def test_formats_read_from_a_file():
    # Its styles part, as written there: font 2, fill 2, border 1 and the format's alignment.
    cell = load(os.path.join(CORPUS_DIR, "exz-SharedStrings.xlsx"))["Sheet2"]["A1"]
    thin = Side("thin", "FF696969")
    assert looks(cell) == (Font("Tahoma", 9, bold=True, color="FFFFFFFF", family=2),
                           PatternFill("solid", "FF60759B", "FF60759B"), Border(thin, thin, thin, thin),
                           Alignment(vertical="top", wrap_text=True, reading_order=1), Protection(), "General")


# ------------------------------------------------------------------ refused

@pytest.mark.parametrize("make, error, words", [
    (lambda: Font(color="red"), ValueError, "'RRGGBB' or 'AARRGGBB'"),
    (lambda: Font(color="FF00000"), ValueError, "'RRGGBB' or 'AARRGGBB'"),
    (lambda: PatternFill("solid", fgColor="GG0000"), ValueError, "'RRGGBB' or 'AARRGGBB'"),
    (lambda: Side("thin", color=0xFF0000), ValueError, "'RRGGBB' or 'AARRGGBB'"),
    (lambda: Color(rgb="12345"), ValueError, "'RRGGBB' or 'AARRGGBB'"),
    (lambda: Color(theme=1, tint=2), ValueError, "tint"),
    (lambda: Font(size=0), ValueError, "font size"),
    (lambda: Font(size="11"), TypeError, "font size"),
    (lambda: Font(underline="wavy"), ValueError, "underline"),
    (lambda: PatternFill("polkadots"), ValueError, "fill type"),
    (lambda: Side("thinnest"), ValueError, "border style"),
    (lambda: Border(left="thin"), TypeError, "a Side"),
    (lambda: Alignment(horizontal="middle"), ValueError, "horizontal"),
    (lambda: Alignment(text_rotation=200), ValueError, "text rotation"),
    (lambda: Alignment(indent=-1), ValueError, "indent"),
    (lambda: GradientFill(degree=float("inf")), ValueError, "degree"),
    (lambda: GradientFill(stop=[(0, "FF0000"), (1, None)]), ValueError, "needs a colour"),
    (lambda: Font().copy(weight=700), TypeError, "no field weight"),
])
def test_bad_style_values_are_refused(make, error, words):
    with pytest.raises(error, match=words.replace("(", r"\(")):
        make()


def test_a_cell_takes_only_its_kind_of_style_object():
    cell = quillfen.Workbook().active["A1"]
    for kind, wrong in (("font", PatternFill()), ("fill", "solid"), ("border", Side()), ("alignment", None),
                        ("protection", True)):
        with pytest.raises(TypeError, match="quillfen.styles"):
            setattr(cell, kind, wrong)
    assert cell._style is None


def test_colors_read_back_with_alpha():
    assert Font(color="00ff7f").color == "FF00FF7F"
    assert PatternFill("solid", "8000ff7f").fgColor == "8000FF7F"
    assert Font(color=Color("abcdef")).color == "FFABCDEF"
    assert Font(color=Color(theme=4, tint=-0.5)).color == Color(theme=4, tint=-0.5)


def test_odd_format_elements_read_as_what_they_can_say():
    # Values a damaged or unusual file may hold: what the model cannot hold is left out, never
    # an error when a cell's format is read.
    part = b"""<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">
      <fonts><font><b val="0"/><i/><sz val="big"/><u/><color rgb="red" tint="0.5"/><name val="X"/>
        <family val="-3"/><scheme val="odd"/></font>
        <font><sz val="10.50"/><color theme="3" tint="-7"/><vertAlign val="superscript"/></font></fonts>
      <fills><fill><patternFill patternType="stripes"><fgColor rgb="FF00FF00"/></patternFill></fill>
        <fill><gradientFill degree="x"><stop position="2"><color rgb="FF000000"/></stop>
          <stop position="1"><color rgb="FFFFFFFF"/></stop></gradientFill></fill><fill/></fills>
      <borders><border diagonalUp="true"><left style="wavy"/><top style="thin"><color indexed="64"/></top></border></borders>
      <cellXfs><xf fontId="0" fillId="0" borderId="0"><alignment horizontal="middle" indent="2" textRotation="400"/>
        <protection locked="false" hidden="1"/></xf>
        <xf fontId="1" fillId="1" borderId="7"/><xf fontId="0" fillId="2"/></cellXfs></styleSheet>"""
    sheet = read_stylesheet(part)
    first, second, third = sheet.cell_styles
    look = {kind: [sheet.style_object(style, kind) for style in (first, second, third)]
            for kind in ("font", "fill", "border", "alignment", "protection")}
    assert look["font"][:2] == [Font("X", italic=True, underline="single", color=Color(tint=0.5)),
                                Font(size=10.5, color=Color(theme=3, tint=-1), vertAlign="superscript")]
    assert look["fill"] == [PatternFill(fgColor="FF00FF00"), GradientFill(stop=[(1, "FFFFFFFF")]), PatternFill()]
    # Border 7 does not exist: border 0 is written in its place, and read.
    assert look["border"] == [Border(top=Side("thin", Color(indexed=64)), diagonal_up=True)] * 3
    assert look["alignment"][0] == Alignment(indent=2) and look["protection"][0] == Protection(False, True)
