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

__all__ = ["InvalidFileError", "Workbook", "WriteOnlyCell", "load_workbook", "write_frames", "__version__"]

# Set by type checkers only: importing typing would cost more than the rest of this module.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from .frames import write_frames
    from .model.cell import WriteOnlyCell
    from .model.workbook import Workbook
    from .package.errors import InvalidFileError
    from .reader.workbook import load_workbook

# Each public name is imported when it is first used, so that `import quillfen` (a command
# line, a web handler that writes one report) pays only for what the call needs: making a
# workbook does not load the reader, nor reading one the writer.
_LAZY = {
    "InvalidFileError": "package.errors",
    "Workbook": "model.workbook",
    "WriteOnlyCell": "model.cell",
    "load_workbook": "reader.workbook",
    "write_frames": "frames",
}


def _save_workbook(wb: "Workbook", filename: "Any") -> None:
    from .writer.excel import save_workbook

    save_workbook(wb, filename)


def _write_only_sheet(wb: "Workbook", title: str) -> "Any":
    from .writer.write_only import WriteOnlyWorksheet

    return WriteOnlyWorksheet(wb, title)


def __getattr__(name: str) -> "Any":
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError("module 'quillfen' has no attribute %r" % name)
    import importlib

    from .model.workbook import Workbook

    # The model asks neither the reader nor the writer for anything: saving, and the sheets of
    # write-only workbooks, are handed to it here, before any workbook can be made through
    # this face (the writer itself is imported by the first save).
    Workbook._save_workbook = _save_workbook
    Workbook._write_only_sheet = _write_only_sheet
    value = getattr(importlib.import_module("." + module, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
