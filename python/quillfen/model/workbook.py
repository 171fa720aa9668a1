"""The workbook of the model: its sheets in order, the active sheet, its cell formats and its
date system. `Workbook()` makes a new one; `quillfen.load_workbook` reads one from a file
(`quillfen.reader`), `Workbook.save` writes one (`quillfen.writer`, which the package's face
hands the model: the model itself asks neither for anything)."""

import contextlib
import functools
import os
import re
from collections.abc import Callable, Hashable, Iterator
from typing import IO, TYPE_CHECKING, Any, ClassVar, Literal, cast, overload

from ..constants import MAX_FORMULA
from .features import DefinedNames
from .protection import WorkbookProtection
from ..formula import renamed_sheet
from .guard import guarded, new_guard
from .styles import Stylesheet
from .text import check_text
from ..utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from .worksheet import NamedSheet, SheetBase, Worksheet

if TYPE_CHECKING:
    from ..writer.write_only import WriteOnlyWorksheet
    from .sheets import KeptSheet

__all__ = ["Workbook"]

MAX_TITLE = 31
_TITLE_FORBIDDEN = re.compile(r"[\[\]:*?/\\]")


class Workbook[Sheet: SheetBase = Worksheet]:
    """A workbook: `Workbook()` has one empty sheet named "Sheet".

    With `write_only=True` it starts without sheets; each sheet from `create_sheet()` takes
    rows through `append` only and writes them out as they come, and the workbook can be saved
    once. `epoch` is the date system (`quillfen.utils.datetime.WINDOWS_EPOCH`, the default, or
    `MAC_EPOCH`); with `iso_dates` set, dates are saved as ISO 8601 text instead of serial
    numbers.

    The type of its sheets is its parameter: `Worksheet` (editable), `WriteOnlyWorksheet`
    (write-only) or, for a workbook loaded with `read_only=True`, `ReadOnlyWorksheet`. A
    workbook read from a file may also hold chart, dialog and macro sheets (`KeptSheet`, each
    with its `kind`), which `wb[title]` and `wb.active` can give too: the parameter leaves them
    out, as the worksheets are what is used nearly always.
    """

    # Set by the package's face: the writer's save, and the write-only sheet class.
    _save_workbook: ClassVar[Callable[["Workbook[Any]", Any], None] | None] = None
    _write_only_sheet: ClassVar[Callable[["Workbook[Any]", str], Any] | None] = None

    @overload
    def __init__(self: "Workbook[Worksheet]", write_only: Literal[False] = False) -> None: ...
    @overload
    def __init__(self: "Workbook[WriteOnlyWorksheet]", write_only: Literal[True]) -> None: ...
    @overload
    def __init__(self: "Workbook[Worksheet | WriteOnlyWorksheet]", write_only: bool = False) -> None: ...

    def __init__(self, write_only: bool = False) -> None:
        self._setup(write_only=write_only)
        if not write_only:
            self.create_sheet("Sheet")

    def _setup(self, read_only: bool = False, write_only: bool = False, data_only: bool = False,
               rich_text: bool = False) -> None:
        self._guard = new_guard()  # of the list of sheets and their titles (`model.guard`)
        self.read_only = read_only
        self.write_only = write_only
        self.data_only = data_only
        self.rich_text = rich_text
        self.epoch = WINDOWS_EPOCH
        self.iso_dates = False
        self.stylesheet = Stylesheet()
        self.shared_strings: list[Any] = []
        self.helpers: dict[str, Any] | None = None       # the reading helpers, for a workbook read from a file
        self.core_properties: list[Any] = []  # elements of the document properties read from a file
        self.defined_names = DefinedNames()  # names of the workbook's scope; sheets have their own
        self._unread_names: list[Any] = []   # defined name elements read from a file that name nothing valid
        self._protection = WorkbookProtection()
        # The edits made to the workbook's formula text, in order (a sheet renamed: a function
        # of a formula each). The model's own formulas follow them at once; a save applies them
        # to the formulas of the parts it keeps as read (charts, tables, pivot caches).
        self._formula_edits: list[Callable[[str], str]] = []
        # Every sheet, worksheets and the others (`KeptSheet`, which the type leaves out), in order.
        self._sheets: list[Sheet] = []
        self._active: Sheet | None = None
        # The package it was read from (`quillfen.package`), kept open: read-only sheets stream
        # from it, and a save copies from it what did not change.
        self._package: Any = None
        # Snapshots taken when it was read (`model.tracking`): of the workbook part, of the
        # styles and of the document properties.
        self._baseline: Any = None
        self._loaded: Any = None       # what a save as a new workbook would leave out (`quillfen.reader`)
        self._styles_baseline: Any = None
        self._core_baseline: list[Hashable] | None = None
        self._saved = False
        self._lxml: bool | None = None         # the serialiser of a write-only workbook, fixed by its first row

    @classmethod
    def _blank(cls, **modes: bool) -> "Workbook[Any]":
        """A workbook without sheets, for the reader to fill."""
        wb = cls.__new__(cls)
        wb._setup(**modes)
        return wb

    @property
    def _cell_styles(self) -> list[Any]:
        return self.stylesheet.cell_styles

    @property
    def date1904(self) -> bool:
        return self.epoch == MAC_EPOCH

    # -------------------------------------------------------------- sheets

    @property
    def sheetnames(self) -> list[str]:
        """The title of every sheet, in order: worksheets and chart, dialog and macro sheets
        (each sheet's `kind` says which)."""
        return [ws.title for ws in self._sheets]

    @property
    def worksheets(self) -> list[Sheet]:
        """The worksheets, in order (the sheets with cells)."""
        return [ws for ws in self._sheets if ws.kind == "worksheet"]

    @property
    def chartsheets(self) -> list["KeptSheet"]:
        """The chart sheets read from a file, in order: kept as they are, in their place."""
        return [cast("KeptSheet", ws) for ws in self._sheets if ws.kind == "chartsheet"]

    def __getitem__(self, name: str) -> Sheet:
        for ws in self._sheets:
            if ws.title == name:
                return ws
        raise KeyError("Worksheet %r does not exist." % (name,))

    def __delitem__(self, name: str) -> None:
        self.remove(self[name])

    def __contains__(self, name: object) -> bool:
        return name in self.sheetnames

    def __iter__(self) -> Iterator[Sheet]:
        """The worksheets, in order."""
        return iter(self.worksheets)

    def __len__(self) -> int:
        return len(self.worksheets)

    def index(self, ws: Sheet) -> int:
        """The position of a sheet of this workbook."""
        for i, sheet in enumerate(self._sheets):
            if sheet is ws:
                return i
        raise ValueError("%r is not a sheet of this workbook" % (ws,))

    @guarded
    def create_sheet(self, title: str | None = None, index: int | None = None) -> Sheet:
        """Adds a sheet named `title` (by default the first free "Sheet1", "Sheet2", ...) at
        position `index` (by default last) and returns it."""
        self._check_changeable()
        if title is None:
            title = self._free_title()
        else:
            self._check_title(title)
        ws: Sheet
        if self.write_only:
            assert Workbook._write_only_sheet is not None, "the package's face sets the write-only sheet class"
            ws = Workbook._write_only_sheet(self, title)
        else:
            ws = cast(Sheet, Worksheet(self, title))
        if index is None:
            self._sheets.append(ws)
        else:
            self._sheets.insert(index, ws)
        return ws

    @guarded
    def copy_worksheet(self, ws: Sheet, title: str | None = None) -> Sheet:
        """Adds a copy of the editable sheet `ws` as the last sheet, titled `title` (by default
        "<title> (2)", or the next free number): its cells and styles, row and column sizes,
        merged ranges, hyperlinks, comments, filter, print settings, report features (tables
        under a free name) and the settings kept from a file. Names of the sheet's own scope
        are copied to the copy's, pointing at it."""
        from .structure import copy_worksheet
        return cast(Sheet, copy_worksheet(cast(Any, self), cast(Any, ws), title))

    @guarded
    def remove(self, ws: Sheet) -> None:
        """Removes a sheet; the active sheet stays, or its place passes to its neighbour."""
        self._check_changeable()
        position = self.index(ws)
        active = self.active
        del self._sheets[position]
        if ws is active:
            self._active = self._sheets[min(position, len(self._sheets) - 1)] if self._sheets else None

    @guarded
    def move_sheet(self, sheet: Sheet | str, offset: int = 0) -> None:
        """Moves a sheet (or the sheet of that title) `offset` places, negative towards the
        first; the active sheet stays the same sheet."""
        if isinstance(sheet, str):
            sheet = self[sheet]
        position = self.index(sheet)
        target = position + offset
        if not 0 <= target < len(self._sheets):
            raise ValueError("cannot move sheet %r from position %d by %d: there are %d sheets"
                             % (sheet.title, position, offset, len(self._sheets)))
        del self._sheets[position]
        self._sheets.insert(target, sheet)

    @property
    def active(self) -> Sheet:
        """The sheet shown when the file is opened (the first, unless set): settable to a sheet
        of this workbook or to its index. None for a workbook without sheets (a new write-only
        one), which its type does not show: a sheet is there to use in every other case."""
        if self._active is not None and any(ws is self._active for ws in self._sheets):
            return self._active
        return self._sheets[0] if self._sheets else None  # type: ignore[return-value]  # see above

    @active.setter
    @guarded
    def active(self, value: Sheet | int) -> None:
        if isinstance(value, bool) or not isinstance(value, int) and not hasattr(value, "title"):
            raise TypeError("the active sheet is a sheet or an index, not %s" % type(value).__name__)
        if isinstance(value, int):
            if not 0 <= value < len(self._sheets):
                raise IndexError("no sheet at index %d: the workbook has %d" % (value, len(self._sheets)))
            value = self._sheets[value]
        self.index(value)
        self._active = value

    def _free_title(self) -> str:
        taken = {title.casefold() for title in self.sheetnames}
        number = 1
        while "sheet%d" % number in taken:
            number += 1
        return "Sheet%d" % number

    def _check_title(self, title: object, sheet: NamedSheet | None = None) -> None:
        """Sheet titles as spreadsheet programs accept them: 1 to 31 characters that a file
        can carry, none of []:*?/\\, no apostrophe at either end, not "History", and no other
        sheet of the workbook with the same title in any case."""
        title = check_text(title, "a sheet title")
        if not 1 <= len(title) <= MAX_TITLE:
            raise ValueError("sheet title %r: a title has 1 to %d characters" % (title, MAX_TITLE))
        bad = _TITLE_FORBIDDEN.search(title)
        if bad is not None:
            raise ValueError("sheet title %r: a title cannot contain %r" % (title, bad.group()))
        if title[0] == "'" or title[-1] == "'":
            raise ValueError("sheet title %r: a title cannot begin or end with an apostrophe" % title)
        if title.casefold() == "history":
            raise ValueError("sheet title %r: spreadsheet programs keep the title History for "
                             "their own sheet" % title)
        folded = title.casefold()
        for ws in self._sheets:
            if ws is not sheet and ws.title.casefold() == folded:
                raise ValueError("sheet title %r: the workbook already has a sheet %r" % (title, ws.title))

    def _check_rename(self, old: str, new: str) -> None:
        """Refuses, before anything changes, a rename that would make a formula longer than a
        formula may be: the rename walks the formulas with a check that changes none."""
        if self.read_only or self.write_only:
            return
        edit = functools.partial(renamed_sheet, old=old, new=new)

        def check(text: str) -> str:
            renamed = edit(text)
            length = len(renamed) - renamed.startswith("=")
            if renamed != text and length > MAX_FORMULA:
                raise ValueError("cannot rename sheet %r to %r: a formula referring to it would have %d characters "
                                 "(at most %d)" % (old, new, length, MAX_FORMULA))
            return text

        self._edit_all_formulas(check)

    def _sheet_renamed(self, old: str, new: str) -> None:
        """References to the sheet titled `old` name it `new`: in every formula of the
        workbook, its defined names and the parts saved as they were read."""
        if self.read_only or self.write_only:
            return  # nothing is saved, or the rows are written already
        edit = functools.partial(renamed_sheet, old=old, new=new)
        self._formula_edits.append(edit)
        self._edit_all_formulas(edit)

    def _edit_all_formulas(self, edit: Callable[[str], str]) -> None:
        for ws in cast(list[Worksheet], self.worksheets):  # an editable workbook's
            ws._edit_formulas(edit)
        for names in [self.defined_names, *(ws.defined_names for ws in self._sheets)]:
            for defined in names.values():
                defined.attr_text = edit(defined.attr_text)

    def _check_changeable(self) -> None:
        if self.read_only:
            raise ValueError("a read-only workbook cannot be changed; load it without read_only=True")
        if self._saved:
            raise ValueError("this write-only workbook has been saved: it cannot be changed any more")

    # -------------------------------------------------------------- protection

    @property
    def protection(self) -> WorkbookProtection:
        """The workbook's protection (`quillfen.protection.WorkbookProtection`)."""
        return self._protection

    def protect(self, password: str | None = None, structure: bool = True, windows: bool = False) -> None:
        """Protects the workbook's `structure` (its sheets cannot be added, removed, moved,
        renamed, hidden or shown) and its `windows`, with `password` if given."""
        self._check_changeable()
        fresh = WorkbookProtection(structure, windows, password)  # checked whole before anything changes
        for name in fresh._FIELDS:
            setattr(self._protection, name, getattr(fresh, name))

    def unprotect(self) -> None:
        """Takes the workbook's protection (and its password) away."""
        self._check_changeable()
        self.protect(None, False, False)

    @property
    def protected(self) -> bool:
        return self._protection.enabled

    # -------------------------------------------------------------- files

    def save(self, filename: "str | os.PathLike[str] | IO[bytes]") -> None:
        """Writes the workbook to `filename`, a path or a binary file object.

        A path is written through a temporary file beside it, synced and renamed into place
        at the end (`quillfen.writer.destination`): a save that fails leaves an existing file
        as it was and nothing else behind; a FIFO or a character device is written directly.
        What was read from a file and is not written yet is named in one `UserWarning`.

        The file holds the workbook as it was at one moment: the save holds the guards of the
        workbook and of every sheet (`model.guard`), other threads' changes wait for it."""
        assert Workbook._save_workbook is not None, "the package's face sets the writer's save"
        with self._guard, contextlib.ExitStack() as held:
            for ws in self._sheets:
                held.enter_context(ws._guard)
            Workbook._save_workbook(self, filename)

    def close(self) -> None:
        """Releases the file it was read from (read-only sheets cannot be iterated afterwards;
        an editable workbook opens it again when it is saved, or keeps its compressed bytes in
        memory when the file at its path is another one by now) and the rows a write-only
        workbook holds for saving."""
        if self._package is not None:
            if self.read_only:
                self._package.close()
            else:
                self._package.archive.release()
        for ws in self._sheets:
            release = getattr(ws, "_release", None)
            if release is not None:
                release()

    def __enter__(self) -> "Workbook[Sheet]":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

