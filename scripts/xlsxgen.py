"""Writes small and large .xlsx workbooks for the demo, the tests and the benchmarks.

Until quillfen writes workbooks itself, this is a plain generator of the parts: it knows
numbers, shared strings, booleans, date-styled serials and formulas (plain and shared).

    python scripts/xlsxgen.py OUT.xlsx [--rows N] [--cols N]
"""

import argparse
import zipfile

_CONTENT_TYPES = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">\
<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>\
<Default Extension="xml" ContentType="application/xml"/>\
<Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>\
{sheets}\
<Override PartName="/xl/styles.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"/>\
<Override PartName="/xl/sharedStrings.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/>\
</Types>"""
_SHEET_TYPE = ('<Override PartName="/xl/worksheets/sheet{n}.xml" '
               'ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>')
_ROOT_RELS = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">\
<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/>\
</Relationships>"""
_REL = '<Relationship Id="rId{id}" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/{kind}" Target="{target}"/>'
_WORKBOOK = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" \
xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">\
<workbookPr{date1904}/><sheets>{sheets}</sheets></workbook>"""
# Style 0: General; 1: a date (numFmt 14); 2: a custom date-time; 3: an elapsed time.
_STYLES = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">\
<numFmts count="1"><numFmt numFmtId="164" formatCode="yyyy-mm-dd hh:mm:ss"/></numFmts>\
<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>\
<fills count="1"><fill><patternFill patternType="none"/></fill></fills>\
<borders count="1"><border/></borders>\
<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>\
<cellXfs count="4"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>\
<xf numFmtId="14" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>\
<xf numFmtId="164" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/>\
<xf numFmtId="46" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/></cellXfs>\
</styleSheet>"""
_SHEET_HEAD = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
               '<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
               '{dim}<sheetData>')
_SHEET_TAIL = '</sheetData>{merge}</worksheet>'


def _esc(text):
    # Also quotes: sheet names go into attribute values.
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def _column_letter(column):
    letters = ""
    while column:
        column, rem = divmod(column - 1, 26)
        letters = chr(65 + rem) + letters
    return letters


class _Raw(str):
    """A shared string item's XML."""


class SharedStrings:
    def __init__(self):
        self.index = {}
        self.items = []

    def add(self, text):
        if text not in self.index:
            self.index[text] = len(self.items)
            self.items.append(text)
        return self.index[text]

    def add_item(self, content):
        """An item written as it is given: the XML inside its `si` (runs, phonetic runs)."""
        self.items.append(_Raw(content))
        return len(self.items) - 1

    def xml(self):
        body = "".join('<si>%s</si>' % t if isinstance(t, _Raw) else '<si><t xml:space="preserve">%s</t></si>' % _esc(t)
                       for t in self.items)
        return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                '<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
                'count="%d" uniqueCount="%d">%s</sst>' % (len(self.items), len(self.items), body))


def mixed_cell(row, col, strings):
    """The cell XML of the mixed pattern used by the demo and the benchmarks."""
    ref = "%s%d" % (_column_letter(col), row)
    kind = (row + col) % 6
    if kind == 0:
        return '<c r="%s"><v>%d</v></c>' % (ref, row * col)
    if kind == 1:
        return '<c r="%s"><v>%r</v></c>' % (ref, row / (col + 0.5))
    if kind == 2:
        return '<c r="%s" t="s"><v>%d</v></c>' % (ref, strings.add("text %d" % (row % 1000 + col)))
    if kind == 3:
        return '<c r="%s" s="1"><v>%d</v></c>' % (ref, 40000 + row % 5000)
    if kind == 4:
        return '<c r="%s" t="b"><v>%d</v></c>' % (ref, row % 2)
    if col > 1:
        return '<c r="%s"><f>%s%d*2</f><v>%d</v></c>' % (ref, _column_letter(col - 1), row, 0)
    return '<c r="%s" s="2"><v>%r</v></c>' % (ref, 40000.25 + row)


def write_workbook(path, sheets, date1904=False, strings=None, more_formats=""):
    """`sheets`: list of (name, function of the shared strings giving the sheet-data XML
    chunks, dimension ref or None, merges); `strings` the table to start from; `more_formats`
    `xf` elements listed after the four cell formats."""
    strings = strings if strings is not None else SharedStrings()
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        entries, rels = [], []
        for n, (name, rows_xml, dim, merges) in enumerate(sheets, 1):
            merge = ""
            if merges:
                merge = '<mergeCells count="%d">%s</mergeCells>' % (
                    len(merges), "".join('<mergeCell ref="%s"/>' % m for m in merges))
            with z.open("xl/worksheets/sheet%d.xml" % n, "w", force_zip64=True) as f:
                # A dimension of None leaves the element out, as some producers do.
                f.write(_SHEET_HEAD.format(dim='<dimension ref="%s"/>' % dim if dim else "").encode())
                for chunk in rows_xml(strings):
                    f.write(chunk.encode())
                f.write(_SHEET_TAIL.format(merge=merge).encode())
            entries.append('<sheet name="%s" sheetId="%d" r:id="rId%d"/>' % (_esc(name), n, n))
            rels.append(_REL.format(id=n, kind="worksheet", target="worksheets/sheet%d.xml" % n))
        count = len(sheets)
        rels.append(_REL.format(id=count + 1, kind="styles", target="styles.xml"))
        rels.append(_REL.format(id=count + 2, kind="sharedStrings", target="sharedStrings.xml"))
        z.writestr("[Content_Types].xml", _CONTENT_TYPES.format(
            sheets="".join(_SHEET_TYPE.format(n=n) for n in range(1, count + 1))))
        z.writestr("_rels/.rels", _ROOT_RELS)
        z.writestr("xl/workbook.xml", _WORKBOOK.format(
            date1904=' date1904="1"' if date1904 else "", sheets="".join(entries)))
        z.writestr("xl/_rels/workbook.xml.rels",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                   '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                   + "".join(rels) + "</Relationships>")
        count = 4 + more_formats.count("<xf ")
        z.writestr("xl/styles.xml", _STYLES.replace('<cellXfs count="4">', '<cellXfs count="%d">' % count)
                   .replace("</cellXfs>", more_formats + "</cellXfs>"))
        z.writestr("xl/sharedStrings.xml", strings.xml())


def mixed_sheet(rows, cols):
    """A sheet of `rows` x `cols` cells in the mixed pattern, streamed in chunks of rows."""
    def rows_xml(strings):
        chunk = []
        for r in range(1, rows + 1):
            chunk.append('<row r="%d">%s</row>' % (r, "".join(mixed_cell(r, c, strings) for c in range(1, cols + 1))))
            if len(chunk) >= 1000:
                yield "".join(chunk)
                chunk = []
        yield "".join(chunk)
    return rows_xml, "A1:%s%d" % (_column_letter(cols), rows)


def demo_workbook(path):
    """The sample workbook of the main job: a mixed sheet, a small sheet with a shared formula."""
    mixed, dim = mixed_sheet(20, 6)

    def shared(strings):
        yield '<row r="1"><c r="A1"><v>1</v></c><c r="B1"><f t="shared" ref="B1:B3" si="0">A1*10</f><v>10</v></c></row>'
        yield '<row r="2"><c r="A2"><v>2</v></c><c r="B2"><f t="shared" si="0"/><v>20</v></c></row>'
        yield ('<row r="3" ht="30" customHeight="1"><c r="A3" t="s"><v>%d</v></c>'
               '<c r="B3"><f t="shared" si="0"/><v>30</v></c></row>' % strings.add("merged & bold"))
    write_workbook(path, [("Mixed", mixed, dim, []), ("Formulas", shared, "A1:B3", ["A3:A4"])])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--rows", type=int, help="one mixed sheet of this many rows (default: the demo workbook)")
    parser.add_argument("--cols", type=int, default=10)
    args = parser.parse_args(argv)
    if args.rows:
        rows_xml, dim = mixed_sheet(args.rows, args.cols)
        write_workbook(args.out, [("Sheet1", rows_xml, dim, [])])
    else:
        demo_workbook(args.out)


if __name__ == "__main__":
    main()
