"""Shared string table: read_string_table against the pure-Python reader on one generated table
(mostly plain items, some rich ones with a few run-property variants, a few phonetic ones).

Both read from an in-memory file object in the same process; the best of a few runs counts.
Usage: bench_strings.py [ITEMS]
"""

import io
import sys
import time

from quillfen import _quillfen
from quillfen.reader.helpers import reading_helpers
from quillfen.reader.strings import read_string_table

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
RPR = ['<rPr><b/><sz val="11"/><color theme="1"/><rFont val="Calibri"/><family val="2"/><scheme val="minor"/></rPr>',
       '<rPr><i/><sz val="11"/><color rgb="FFFF0000"/><rFont val="Calibri"/><family val="2"/></rPr>',
       '<rPr><sz val="9"/><rFont val="Tahoma"/></rPr>']


def item(i: int) -> str:
    if i % 50 == 7:  # rich: two runs with run properties
        return (f'<si><r>{RPR[i % 3]}<t xml:space="preserve">Total {i} </t></r>'
                f'<r>{RPR[(i + 1) % 3]}<t>units</t></r></si>')
    if i % 1000 == 3:  # phonetic: handed to the package
        return f'<si><t>\u6771\u4eac{i}</t><rPh sb="0" eb="2"><t>\u30c8\u30a6\u30ad\u30e7\u30a6</t></rPh></si>'
    if i % 10 == 1:
        return f'<si><t xml:space="preserve"> Item &amp; {i} \u00e9 </t></si>'
    return f"<si><t>Customer name {i % 7919} row {i}</t></si>"


def table(n: int) -> bytes:
    body = "".join(item(i) for i in range(n))
    return (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            f'<sst xmlns="{MAIN}" count="{n}" uniqueCount="{n}">{body}</sst>').encode()


def best_of(fn, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    data = table(n)
    helpers = reading_helpers()
    native_result = _quillfen.read_string_table(io.BytesIO(data), helpers)
    assert native_result == read_string_table(io.BytesIO(data)), "native and pure-Python tables differ"
    del native_result
    t_native = best_of(lambda: _quillfen.read_string_table(io.BytesIO(data), helpers), 3)
    t_pure = best_of(lambda: read_string_table(io.BytesIO(data)), 2)
    print(f"read_string_table: {n} items, {len(data) / 1e6:.1f} MB")
    print(f"  native       {t_native:8.3f} s  ({n / t_native / 1e6:6.2f} M items/s)")
    print(f"  pure Python  {t_pure:8.3f} s  ({n / t_pure / 1e6:6.2f} M items/s)")
    print(f"  ratio        {t_pure / t_native:8.1f}x")


if __name__ == "__main__":
    main()
