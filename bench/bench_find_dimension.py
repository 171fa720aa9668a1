"""Tokenizer throughput: find_dimension over a large worksheet part with no `dimension` element
(so the whole part is read) against expat parsing the same bytes with no handlers.

Both read from an in-memory file object in the same process; the best of a few runs counts.
Usage: bench_find_dimension.py [MEGABYTES]
"""

import io
import sys
import xml.parsers.expat

from quillfen import _quillfen

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
COLS = "ABCDEFGHIJ"


from timing import best_of  # noqa: E402

def worksheet(megabytes: float) -> bytes:
    """A part in the shape producers write: shared strings, numbers, a few formulas."""
    rows = []
    size = 0
    r = 0
    while size < megabytes * 1_000_000:
        r += 1
        cells = []
        for i, col in enumerate(COLS):
            ref = f"{col}{r}"
            if i == 0:
                cells.append(f'<c r="{ref}" t="s"><v>{r % 997}</v></c>')
            elif i == 9:
                cells.append(f'<c r="{ref}" s="2"><f>SUM(B{r}:I{r})</f><v>{r * 8.5}</v></c>')
            else:
                cells.append(f'<c r="{ref}" s="1"><v>{(r * 37 + i) % 100000 / 7:.6g}</v></c>')
        row = f'<row r="{r}" spans="1:10">{"".join(cells)}</row>'
        rows.append(row)
        size += len(row)
    return (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        f'<worksheet xmlns="{MAIN}" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
        '<sheetViews><sheetView workbookViewId="0"/></sheetViews><sheetFormatPr defaultRowHeight="15"/>'
        f'<sheetData>{"".join(rows)}</sheetData></worksheet>'
    ).encode()



def main() -> None:
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 64
    data = worksheet(megabytes)
    mb = len(data) / 1e6

    def native():
        assert _quillfen.find_dimension(io.BytesIO(data)) is None

    def expat():
        parser = xml.parsers.expat.ParserCreate()
        source = io.BytesIO(data)
        while chunk := source.read(65536):
            parser.Parse(chunk, False)
        parser.Parse(b"", True)

    native()  # warm-up, and a check that the part is accepted
    t_native = best_of(native, 3)
    t_expat = best_of(expat, 3)
    print(f"part: {mb:.1f} MB")
    print(f"find_dimension: {mb / t_native:8.1f} MB/s")
    print(f"expat:          {mb / t_expat:8.1f} MB/s")
    print(f"ratio:          {t_expat / t_native:8.2f}x expat")


if __name__ == "__main__":
    main()
