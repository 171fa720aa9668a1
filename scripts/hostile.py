"""Hostile workbooks, for the tests (small) and for measuring what reading them costs (large).

    python scripts/hostile.py OUT_DIR [--size BYTES]

Each is a small valid workbook with one part made hostile: a part that inflates past the size
its zip entry declares, one huge shared string, a million fonts, a long whitespace tail after
the cell data, a sheet of whitespace, a lone cell in the last row and column, styles nested
ten thousand deep, a kept worksheet element nested 900 deep, a namespace name that is no URI.
`size` scales those that have a size. Parts are streamed into the zip: nothing large is held.
"""

import argparse
import itertools
import os
import struct
import zipfile
from collections.abc import Callable, Iterable, Iterator

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
_HEAD = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
_CONTENT_TYPES = (_HEAD + '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
                  '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
                  '<Default Extension="xml" ContentType="application/xml"/>'
                  '<Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.'
                  'spreadsheetml.sheet.main+xml"/></Types>')
_RELS = (_HEAD + '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
         '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
         'officeDocument" Target="xl/workbook.xml"/></Relationships>')
_WORKBOOK = (_HEAD + '<workbook xmlns="%s" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/'
             'relationships"><sheets><sheet name="S" sheetId="1" r:id="rId1"/></sheets></workbook>' % MAIN)
_REL = ('<Relationship Id="rId%d" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/%s" '
        'Target="%s"/>')
_STYLES_TAIL = ('<cellXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/></cellXfs>'
                '</styleSheet>')
CHUNK = 1 << 20
SHEET = "xl/worksheets/sheet1.xml"


def _styles(fonts: int = 1, extra: str = "", declarations: str = "") -> str:
    font = '<font><sz val="11"/><name val="Calibri"/></font>'
    return (_HEAD + '<styleSheet xmlns="%s"%s>%s<fonts count="%d">%s</fonts>'
            '<fills count="1"><fill><patternFill patternType="none"/></fill></fills>'
            '<borders count="1"><border/></borders>' % (MAIN, declarations, extra, fonts, font * fonts) + _STYLES_TAIL)


_ROW = '<row r="1"><c r="A1"><v>1</v></c></row>'


def _sheet(rows: str = _ROW, tail: str = "") -> str:
    return _HEAD + '<worksheet xmlns="%s"><sheetData>%s</sheetData>%s</worksheet>' % (MAIN, rows, tail)


def _sheet_around(gap: Iterable[str], in_rows: bool) -> Iterator[str]:
    """A sheet's chunks with `gap` (chunks) among its rows, or after its cell data."""
    yield _HEAD + '<worksheet xmlns="%s"><sheetData>%s' % (MAIN, _ROW) + ("" if in_rows else "</sheetData>")
    yield from gap
    yield "</sheetData></worksheet>" if in_rows else "</worksheet>"


# A part: its text, or its chunks of text (streamed into the zip, never held whole).
type Part = str | Iterable[str]


def write(path: str, parts: dict[str, Part]) -> None:
    """A workbook of one sheet "S" (xl/worksheets/sheet1.xml) with `parts` (name -> text, or
    an iterable of text chunks streamed) in place of the plain ones."""
    parts = {SHEET: _sheet(), "xl/styles.xml": _styles(), **parts}
    rels = [_REL % (1, "worksheet", "worksheets/sheet1.xml"), _REL % (2, "styles", "styles.xml")]
    if "xl/sharedStrings.xml" in parts:
        rels.append(_REL % (3, "sharedStrings", "sharedStrings.xml"))
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", _CONTENT_TYPES)
        z.writestr("_rels/.rels", _RELS)
        z.writestr("xl/workbook.xml", _WORKBOOK)
        z.writestr("xl/_rels/workbook.xml.rels", _HEAD + '<Relationships xmlns="http://schemas.openxmlformats.org/'
                   'package/2006/relationships">%s</Relationships>' % "".join(rels))
        for name, content in parts.items():
            with z.open(name, "w") as f:
                for chunk in [content] if isinstance(content, str) else content:
                    f.write(chunk.encode())


def _repeat(text: str, size: int) -> Iterator[str]:
    """`size` bytes of `text` repeated, a chunk at a time."""
    whole, rest = divmod(size, CHUNK)
    return (text * (CHUNK // len(text)) if i < whole else text * (rest // len(text)) for i in range(whole + 1))


def understate(path: str, part: str, declared: int) -> None:
    """Makes the zip entry of `part` declare `declared` bytes inflated (its data unchanged), in
    its local header and in the central directory."""
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(part)
    with open(path, "r+b") as f:
        data = bytearray(f.read())
    struct.pack_into("<I", data, info.header_offset + 22, declared)
    central = data.find(b"PK\x01\x02")
    while struct.unpack_from("<I", data, central + 42)[0] != info.header_offset:
        central = data.find(b"PK\x01\x02", central + 4)
    struct.pack_into("<I", data, central + 24, declared)
    with open(path, "wb") as f:
        f.write(data)


def _nested(tag: str, depth: int) -> str:
    return "<%s>" % tag * depth + "</%s>" % tag * depth


def _parts(size: int) -> dict[str, Callable[[], dict[str, Part]]]:
    """Name -> the parts of that hostile workbook, made when called."""
    string_table = _HEAD + '<sst xmlns="%s" count="1" uniqueCount="1"><si><t>' % MAIN
    deep_font = _nested("b", 10_000) + "<sz "
    return {
        "bomb": lambda: {SHEET: _sheet_around(_repeat("<!--  -->", size), True)},
        "huge_string": lambda: {"xl/sharedStrings.xml": itertools.chain([string_table], _repeat("a", size),
                                                                        ["</t></si></sst>"]),
                                SHEET: _sheet('<row r="1"><c r="A1" t="s"><v>0</v></c></row>')},
        "fonts": lambda: {"xl/styles.xml": _styles(fonts=max(size // 256, 1))},  # 10^6 for 256 MB
        "whitespace_tail": lambda: {SHEET: _sheet_around(_repeat(" ", size), False)},
        "whitespace_sheet": lambda: {SHEET: _sheet_around(_repeat("\n", size), True)},
        "far_cell": lambda: {SHEET: _sheet('<row r="1048576"><c r="XFD1048576"><v>1</v></c></row>')},
        "deep_styles": lambda: {"xl/styles.xml": _styles(
            extra="<dxfs><dxf>%s</dxf></dxfs>" % _nested("font", 10_000)).replace("<sz ", deep_font)},
        "deep_kept": lambda: {SHEET: _sheet(tail="<extLst><ext uri='x'>%s</ext></extLst>" % _nested("a", 900))},
        "namespace_name": lambda: {"xl/styles.xml": _styles(declarations=' xmlns:x14=" 1"').replace(
            "</styleSheet>", '<extLst><ext uri="x"><x14:a x14:b="1"/></ext></extLst></styleSheet>')},
    }


def generate(folder: str, size: int = 1 << 16, only: list[str] | None = None) -> dict[str, str]:
    """Writes every hostile workbook (or those named in `only`) into `folder`; returns name ->
    path."""
    os.makedirs(folder, exist_ok=True)
    made: dict[str, str] = {}
    for name, parts in _parts(size).items():
        if only is not None and name not in only:
            continue
        made[name] = path = os.path.join(folder, name + ".xlsx")
        write(path, parts())
        if name == "bomb":
            understate(path, SHEET, 1000)
    return made


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--size", type=int, default=1 << 16, help="bytes of the hostile parts that have a size")
    args = parser.parse_args()
    for name, path in generate(args.folder, args.size).items():
        print(name, os.path.getsize(path), path)


if __name__ == "__main__":
    main()
