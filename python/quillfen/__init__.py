"""quillfen: read and write .xlsx spreadsheets.

The package is pure Python; its native engine `quillfen._quillfen` takes over the hot paths
when it is available. Setting the environment variable QUILLFEN_PURE_PYTHON=1 makes every
entry point use the pure-Python path.

    >>> from quillfen import Workbook, load_workbook
    >>> wb = Workbook()
    >>> wb.active.append(["name", "amount"])
    >>> wb.save("book.xlsx")
    >>> wb = load_workbook("book.xlsx", read_only=True)
    >>> for row in wb["Sheet"].iter_rows(values_only=True):
    ...     print(row)
"""

__version__ = "0.1.0"

from .model.cell import WriteOnlyCell
from .package.errors import InvalidFileError
from .reader.workbook import load_workbook
from .model.workbook import Workbook
from .frames import write_frames
from .writer.excel import save_workbook as _save_workbook
from .writer.write_only import WriteOnlyWorksheet as _WriteOnlyWorksheet

# The model asks neither the reader nor the writer for anything: saving, and the sheets of
# write-only workbooks, are handed to it here.
Workbook._save_workbook = _save_workbook
Workbook._write_only_sheet = _WriteOnlyWorksheet

__all__ = ["InvalidFileError", "Workbook", "WriteOnlyCell", "load_workbook", "write_frames", "__version__"]
