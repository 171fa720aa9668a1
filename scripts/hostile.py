"""Hostile workbooks, for the tests (small) and for measuring what reading them costs (large).

    python scripts/hostile.py OUT_DIR [--size BYTES]

Each is a small valid workbook with one part made hostile: a part that inflates past the size
its zip entry declares, one huge shared string, a million fonts, a long whitespace tail after
the cell data, a sheet of whitespace, a lone cell in the last row and column, styles nested
ten thousand deep, a kept worksheet element nested 900 deep, a namespace name that is no URI.
`size` scales those that have a size. Parts are streamed into the zip: nothing large is held.
"""

import argparse
import os
import struct
import zipfile

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


def _styles(fonts: int = 1, extra: str = "", declarations: str = "") -> str:
    font = '<font><sz val="11"/><name val="Calibri"/></font>'
    return (_HEAD + '<styleSheet xmlns="%s"%s>%s<fonts count="%d">%s</fonts>'
            '<fills count="1"><fill><patternFill patternType="none"/></fill></fills>'
            '<borders count="1"><border/></borders>' % (MAIN, declarations, extra, fonts, font * fonts) + _STYLES_TAIL)


_ROW = '<row r="1"><c r="A1"><v>1</v></c></row>'


def _sheet(rows: str = _ROW, tail: str = "") -> str:
    return _HEAD + '<worksheet xmlns="%s"><sheetData>%s</sheetData>%s</worksheet>' % (MAIN, rows, tail)


def _sheet_around(gap: object, in_rows: bool) -> list[object]:
    """A sheet's chunks with `gap` (chunks) among its rows, or after its cell data."""
    head = _HEAD + '<worksheet xmlns="%s"><sheetData>%s' % (MAIN, _ROW)
    if in_rows:
        return [head, *gap, "</sheetData></worksheet>"]  # type: ignore[misc]
    return [head + "</sheetData>", *gap, "</worksheet>"]  # type: ignore[misc]


def write(path: str, parts: dict[str, object]) -> None:
    """A workbook of one sheet "S" (xl/worksheets/sheet1.xml) with `parts` (name -> text, or
    an iterable of text chunks streamed) in place of the plain ones."""
    parts = {"xl/worksheets/sheet1.xml": _sheet(), "xl/styles.xml": _styles(), **parts}
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
                for chunk in [content] if isinstance(content, str) else content:  # type: ignore[attr-defined]
                    f.write(chunk.encode())


def _repeat(text: str, size: int) -> list[str] | object:
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


def generate(folder: str, size: int = 1 << 16, only: list[str] | None = None) -> dict[str, str]:
    """Writes every hostile workbook (or those named in `only`) into `folder`; returns name ->
    path."""
    os.makedirs(folder, exist_ok=True)
    made: dict[str, str] = {}

    def make(name: str, parts: dict[str, object]) -> str:
        made[name] = path = os.path.join(folder, name + ".xlsx")
        if only is None or name in only:
            write(path, parts)
        return path

    bomb = make("bomb", {"xl/worksheets/sheet1.xml": _sheet_around(_repeat("<!--  -->", size), True)})
    if only is None or "bomb" in only:
        understate(bomb, "xl/worksheets/sheet1.xml", 1000)
    make("huge_string", {"xl/sharedStrings.xml": [_HEAD + '<sst xmlns="%s" count="1" uniqueCount="1"><si><t>' % MAIN,
                                                  *_repeat("a", size), "</t></si></sst>"],
                         "xl/worksheets/sheet1.xml": _sheet('<row r="1"><c r="A1" t="s"><v>0</v></c></row>')})
    make("fonts", {"xl/styles.xml": _styles(fonts=max(size // 256, 1))})  # 10^6 for 256 MB
    make("whitespace_tail", {"xl/worksheets/sheet1.xml": _sheet_around(_repeat(" ", size), False)})
    make("whitespace_sheet", {"xl/worksheets/sheet1.xml": _sheet_around(_repeat("\n", size), True)})
    make("far_cell", {"xl/worksheets/sheet1.xml": _sheet('<row r="1048576"><c r="XFD1048576"><v>1</v></c></row>')})
    make("deep_styles", {"xl/styles.xml": _styles(extra="<dxfs><dxf>%s</dxf></dxfs>" % _nested("font", 10_000))
                         .replace("<sz ", _nested("b", 10_000) + "<sz ")})
    make("deep_kept", {"xl/worksheets/sheet1.xml": _sheet(tail="<extLst><ext uri='x'>%s</ext></extLst>"
                                                               % _nested("a", 900))})
    make("namespace_name", {"xl/styles.xml": _styles(declarations=' xmlns:x14=" 1"').replace(
        "</styleSheet>", '<extLst><ext uri="x"><x14:a x14:b="1"/></ext></extLst></styleSheet>')})
    return {name: path for name, path in made.items() if only is None or name in only}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--size", type=int, default=1 << 16, help="bytes of the hostile parts that have a size")
    args = parser.parse_args()
    for name, path in generate(args.folder, args.size).items():
        print(name, os.path.getsize(path), path)


if __name__ == "__main__":
    main()
