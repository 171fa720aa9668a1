"""Prescan throughput: prescan_sheet of a 10^6-cell worksheet with no rows and no corners asked
for, against the pure-Python prescan of the same part and against a full read-only pass of the
workbook with the pure-Python reader. Also a prescan with rows and a few corners.

The part is read from memory; the best of a few runs counts.
Usage: bench_prescan.py [ROWS] (10 columns each; default 100000, i.e. 10^6 cells)
"""

import io
import os
import sys
import tempfile
import zipfile

from quillfen import _quillfen, load_workbook
from quillfen.reader.helpers import reading_helpers
from quillfen.reader.prescan import prescan_sheet as py_prescan

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import xlsxgen  # noqa: E402



from timing import best_of  # noqa: E402

def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    helpers = reading_helpers()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.xlsx")
        rows_xml, dim = xlsxgen.mixed_sheet(rows, 10)
        xlsxgen.write_workbook(path, [("Sheet1", rows_xml, dim, ["A1:B2"])])
        with zipfile.ZipFile(path) as z:
            data = z.read("xl/worksheets/sheet1.xml")
        mb = len(data) / 1e6

        def native():
            _quillfen.prescan_sheet(io.BytesIO(data), False, [], helpers)

        def native_asking():
            _quillfen.prescan_sheet(io.BytesIO(data), True, [(1, 1), (rows, 2)], helpers)

        def pure():
            py_prescan(io.BytesIO(data), False, [], helpers)

        def read_only():
            os.environ["QUILLFEN_PURE_PYTHON"] = "1"
            try:
                with load_workbook(path, read_only=True) as wb:
                    for _row in wb.active.iter_rows(values_only=True):
                        pass
            finally:
                del os.environ["QUILLFEN_PURE_PYTHON"]

        def read_bytes():
            source = io.BytesIO(data)
            while source.read(65536):
                pass

        assert _quillfen.prescan_sheet(io.BytesIO(data), False, [], helpers) == py_prescan(io.BytesIO(data), False, [], helpers)
        t_native = best_of(native, 5)
        t_asking = best_of(native_asking, 3)
        t_bytes = best_of(read_bytes, 5)
        t_pure = best_of(pure, 2)
        t_full = best_of(read_only, 1)
    print(f"part: {mb:.1f} MB, {rows * 10} cells")
    print(f"prescan (nothing asked):      {mb / t_native:8.1f} MB/s  {t_native * 1e3:8.1f} ms")
    print(f"prescan (rows + 2 corners):   {mb / t_asking:8.1f} MB/s  {t_asking * 1e3:8.1f} ms")
    print(f"reading the bytes (65536):    {mb / t_bytes:8.1f} MB/s")
    print(f"pure-Python prescan:          {mb / t_pure:8.1f} MB/s  {t_pure * 1e3:8.1f} ms")
    print(f"pure-Python read-only pass:   {mb / t_full:8.1f} MB/s  {t_full * 1e3:8.1f} ms")
    print(f"ratio: {t_pure / t_native:8.1f}x the pure-Python prescan")
    print(f"ratio: {t_full / t_native:8.1f}x the read-only pass")


if __name__ == "__main__":
    main()
