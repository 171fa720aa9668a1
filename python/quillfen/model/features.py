"""Sheet features of the model beyond the cells: merged ranges, row and column dimensions,
frozen panes, the auto filter, sheet properties, hyperlinks and defined names (print titles
and print area among them).

Everything here is read from a loaded file (`quillfen.reader.features`) and written back by
`quillfen.writer.features`; what a file has that the model does not interpret is kept beside
it, so that an untouched feature is written as it was read.
"""

from __future__ import annotations

import math
import re
import xml.etree.ElementTree as ET
from collections.abc import Callable, Iterator, Mapping, MutableMapping
from typing import Any

from ..constants import MAIN_NS, MAX_ROW, MAX_SHEET_COLUMN
from .styles import Color, ColorLike, _color, _read_color
from .tracking import mark
from ..utils.cells import column_index, column_letter, coordinate_of, coordinate_to_tuple, range_boundaries

__all__ = ["RowDimension", "RowDimensions", "ColumnDimension", "ColumnDimensions", "AutoFilter",
           "SheetProperties", "Hyperlink", "DefinedName", "DefinedNames", "SheetFeatures",
           "cell_range"]

_M = "{%s}" % MAIN_NS
PRINT_TITLES = "_xlnm.Print_Titles"
PRINT_AREA = "_xlnm.Print_Area"
FILTER_DATABASE = "_xlnm._FilterDatabase"
# Elements of the worksheet's own vocabulary and of its extensions whose text is a formula.
_FORMULA_TAGS = frozenset(("formula", "formula1", "formula2", "f"))
MAX_ROW_HEIGHT = 409       # points, as spreadsheet programs allow
MAX_COLUMN_WIDTH = 255     # characters
_TRUE = ("1", "true")
# XML 1.0 refuses these in text (tab, line feed and carriage return are allowed).
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


# ------------------------------------------------------------------ checks

def cell_range(ref: object, what: str = "range") -> tuple[int, int, int, int]:
    """(min_row, min_col, max_row, max_col) of a range of cells ("A1:C2", or one cell "B3"),
    within a sheet's extent; ValueError naming `what` for anything else ("A0:B2", "A:C")."""
    if not isinstance(ref, str):
        raise TypeError("a %s is a str such as 'A1:C2', not %s" % (what, type(ref).__name__))
    try:
        min_col, min_row, max_col, max_row = range_boundaries(ref)
    except ValueError:
        raise ValueError("%r is not a valid %s: expected cells such as 'A1:C2'" % (ref, what)) from None
    if min_col is None or min_row is None or max_col is None or max_row is None:
        raise ValueError("%r is not a valid %s: whole rows or columns are not allowed" % (ref, what))
    if max_row > MAX_ROW or max_col > MAX_SHEET_COLUMN:
        raise ValueError("%r is not a valid %s: it goes beyond the last cell of a sheet" % (ref, what))
    return min_row, min_col, max_row, max_col


def _range_text(min_row: int, min_col: int, max_row: int, max_col: int) -> str:
    first = coordinate_of(min_row, min_col)
    if (min_row, min_col) == (max_row, max_col):
        return first
    return "%s:%s" % (first, coordinate_of(max_row, max_col))


def check_text(value: object, what: str) -> str:
    """`value` if it is text that XML can carry, else TypeError or ValueError naming `what`."""
    if not isinstance(value, str):
        raise TypeError("%s is a str, not %s" % (what, type(value).__name__))
    bad = _NOT_XML.search(value)
    if bad is not None:
        raise ValueError("%s cannot hold the character %r: XML cannot carry it" % (what, bad.group()))
    return value


def _size(value: object, limit: int, what: str) -> str:
    """A row height or column width as the text it is written with."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("a %s is a number, not %s" % (what, type(value).__name__))
    if not (math.isfinite(value) and 0 <= value <= limit):
        raise ValueError("%s %r: it goes from 0 to %d" % (what, value, limit))
    text = repr(float(value))
    return text[:-2] if text.endswith(".0") else text


def _number(text: str | None) -> float | None:
    try:
        return float(text) if text is not None else None
    except ValueError:
        return None


def _row_number(row: object) -> int:
    if isinstance(row, bool) or not isinstance(row, int):
        raise TypeError("row dimensions are indexed by row number (an int), not %s" % type(row).__name__)
    if not 1 <= row <= MAX_ROW:
        raise ValueError("row %d: a sheet has rows 1 to %d" % (row, MAX_ROW))
    return row


# ------------------------------------------------------------------ row and column dimensions

class _Dimension(MutableMapping[str, str]):
    """The attributes of one `row` or `col` element (name -> text), of which `hidden` and the
    size are properties. A dimension got for a row or column that has none joins its sheet
    when a setting is first made, and leaves it when it has none left."""

    __slots__ = ("_attrs", "_owner", "_key")
    _SIZE = _CUSTOM = _WHAT = ""
    _LIMIT = 0

    def __init__(self, attrs: Mapping[str, str] | None = None) -> None:
        self._attrs: dict[str, str] = dict(attrs or {})
        self._owner: dict[Any, Any] | None = None
        self._key: object = None

    def __getitem__(self, name: str) -> str:
        return self._attrs[name]

    def __setitem__(self, name: str, text: str) -> None:
        self._set(check_text(name, "an attribute name"), check_text(text, "attribute %s" % name))

    def __delitem__(self, name: str) -> None:
        if name not in self._attrs:
            raise KeyError(name)
        self._set(name, None)

    def __iter__(self) -> Iterator[str]:
        return iter(self._attrs)

    def __len__(self) -> int:
        return len(self._attrs)

    def __repr__(self) -> str:
        return "%s(%r)" % (type(self).__name__, self._attrs)

    def _set(self, name: str, text: str | None) -> None:
        if text is None:
            self._attrs.pop(name, None)
        else:
            self._attrs[name] = text
        owner = self._owner
        if owner is not None:
            if self._attrs:
                dict.__setitem__(owner, self._key, self)
            elif dict.get(owner, self._key) is self:
                dict.__delitem__(owner, self._key)

    @property
    def hidden(self) -> bool:
        return self._attrs.get("hidden", "").lower() in _TRUE

    @hidden.setter
    def hidden(self, value: bool) -> None:
        self._set("hidden", "1" if value else None)

    @property
    def outline_level(self) -> int:
        """The outline level of the row or column (0 to 7): how deep in groups it is."""
        try:
            level = int(self._attrs.get("outlineLevel", "0"))
        except ValueError:
            return 0
        return level if 0 <= level <= 7 else 0

    @outline_level.setter
    def outline_level(self, level: int) -> None:
        if isinstance(level, bool) or not isinstance(level, int):
            raise TypeError("an outline level is an int, not %s" % type(level).__name__)
        if not 0 <= level <= 7:
            raise ValueError("outline level %d: it goes from 0 to 7" % level)
        self._set("outlineLevel", str(level) if level else None)

    @property
    def collapsed(self) -> bool:
        """Whether the group this row or column sums up is collapsed (shown by its button)."""
        return self._attrs.get("collapsed", "").lower() in _TRUE

    @collapsed.setter
    def collapsed(self, value: bool) -> None:
        if not isinstance(value, bool):
            raise TypeError("collapsed is True or False, not %s" % type(value).__name__)
        self._set("collapsed", "1" if value else None)

    def _get_size(self) -> float | None:
        return _number(self._attrs.get(self._SIZE))

    def _set_size(self, value: float | None) -> None:
        if value is None:
            self._set(self._CUSTOM, None)
            self._set(self._SIZE, None)
            return
        self._set(self._SIZE, _size(value, self._LIMIT, self._WHAT))
        self._set(self._CUSTOM, "1")


class RowDimension(_Dimension):
    """The settings of a row: `height` (points, None for the default) and `hidden`. As a
    mapping it gives the attributes of the row's `row` element, which the writers write."""

    __slots__ = ()
    _SIZE, _CUSTOM, _LIMIT, _WHAT = "ht", "customHeight", MAX_ROW_HEIGHT, "row height"
    height = property(_Dimension._get_size, _Dimension._set_size)


class RowDimensions(dict[int, RowDimension]):
    """Row number -> `RowDimension`, for the rows that have settings. `ws.row_dimensions[3]`
    gives the row's settings, new ones for a row without."""

    def __missing__(self, row: int) -> RowDimension:
        dims = RowDimension()
        dims._owner, dims._key = self, _row_number(row)
        return dims

    def __setitem__(self, row: int, dims: Mapping[str, str]) -> None:
        if not isinstance(dims, RowDimension):
            dims = RowDimension(dims)
        dims._owner, dims._key = self, _row_number(row)
        super().__setitem__(row, dims)


class ColumnDimension(_Dimension):
    """The settings of a run of columns (`min` to `max`, one column unless read so from a
    file): `width` (characters, None for the default) and `hidden`. As a mapping it gives the
    attributes of its `col` element besides `min` and `max`."""

    __slots__ = ("min", "max")
    _SIZE, _CUSTOM, _LIMIT, _WHAT = "width", "customWidth", MAX_COLUMN_WIDTH, "column width"
    width = property(_Dimension._get_size, _Dimension._set_size)

    def __init__(self, min: int, max: int, attrs: Mapping[str, str] | None = None) -> None:
        super().__init__(attrs)
        self.min, self.max = min, max


class ColumnDimensions(dict[str, ColumnDimension]):
    """Column letters -> `ColumnDimension`. A run of columns read from a file is found under
    its first column; asking for a column inside a run splits it, each part keeping the run's
    settings, so that every column's own settings can change."""

    def __missing__(self, letters: str) -> ColumnDimension:
        if not isinstance(letters, str):
            raise TypeError("column dimensions are indexed by column letters, not %s" % type(letters).__name__)
        column = column_index(letters)
        if column > MAX_SHEET_COLUMN:
            raise ValueError("column %r is beyond the last column of a sheet" % letters)
        key = column_letter(column)
        found = dict.get(self, key)
        if found is not None:
            return found
        for run in list(self.values()):
            if run.min <= column <= run.max:
                return self._split(run, column)
        dims = ColumnDimension(column, column)
        dims._owner, dims._key = self, key
        return dims

    def __setitem__(self, letters: str, dims: ColumnDimension) -> None:
        if not isinstance(dims, ColumnDimension):
            raise TypeError("a column dimension is a ColumnDimension, not %s" % type(dims).__name__)
        dims._owner, dims._key = self, letters
        super().__setitem__(letters, dims)

    def _split(self, run: ColumnDimension, column: int) -> ColumnDimension:
        dict.__delitem__(self, column_letter(run.min))
        parts = [(run.min, column - 1), (column, column), (column + 1, run.max)]
        for low, high in parts:
            if low <= high:
                self[column_letter(low)] = ColumnDimension(low, high, run._attrs)
        return dict.__getitem__(self, column_letter(column))


# ------------------------------------------------------------------ filter and properties

class AutoFilter:
    """The sheet's filter buttons: `ref` is the filtered range ("A1:D20"), or None for none.
    The filter criteria read from a file are kept while the range stays the same; the sheet's
    hidden name for the range follows it."""

    __slots__ = ("_ref", "_element", "_sheet")

    def __init__(self, element: ET.Element | None = None) -> None:
        self._element = element
        self._ref = element.get("ref") if element is not None else None
        self._sheet: SheetFeatures | None = None  # the sheet it is the filter of

    @property
    def ref(self) -> str | None:
        return self._ref

    @ref.setter
    def ref(self, ref: str | None) -> None:
        if ref is not None:
            ref = _range_text(*cell_range(ref, "filter range"))
        self._ref = ref
        if self._sheet is not None and self._sheet.auto_filter is self:
            self._sheet._filter_name_in_step()


class SheetProperties:
    """The sheet's properties: `tabColor`, the colour of its tab, as colours of
    `quillfen.styles` are ("RRGGBB" or "AARRGGBB", read back as "AARRGGBB"; a `Color` for a
    theme or palette colour), or None; and where the rows and columns that sum up a group of
    the outline are: below it (`summary_below`) and right of it (`summary_right`), or before."""

    __slots__ = ("_element", "_tab", "_tab_set", "_summary", "_summary_read")

    def __init__(self, element: ET.Element | None = None) -> None:
        self._element = element
        self._tab_set = False
        self._tab = _read_color(element.find(_M + "tabColor")) if element is not None else None
        outline = element.find(_M + "outlinePr") if element is not None else None
        self._summary_read = tuple(outline is None or outline.get(name, "1").lower() not in ("0", "false")
                                   for name in ("summaryBelow", "summaryRight"))
        self._summary = list(self._summary_read)

    @property
    def tabColor(self) -> str | Color | None:
        return self._tab

    @tabColor.setter
    def tabColor(self, value: ColorLike) -> None:
        self._tab = _color(value, "tab colour")
        self._tab_set = True

    @property
    def summary_below(self) -> bool:
        return self._summary[0]

    @summary_below.setter
    def summary_below(self, value: bool) -> None:
        self._set_summary(0, value)

    @property
    def summary_right(self) -> bool:
        return self._summary[1]

    @summary_right.setter
    def summary_right(self, value: bool) -> None:
        self._set_summary(1, value)

    def _set_summary(self, index: int, value: bool) -> None:
        if not isinstance(value, bool):
            raise TypeError("%s is True or False, not %s" % (("summary_below", "summary_right")[index],
                                                             type(value).__name__))
        self._summary[index] = value


# ------------------------------------------------------------------ hyperlinks

class Hyperlink:
    """A cell's link: to `target`, a URL or file outside the workbook, or to `location`, a
    place inside it ("Sheet2!A1"). `ref` is the cell, or the range, it is on."""

    __slots__ = ("ref", "target", "location", "tooltip", "display")

    def __init__(self, ref: str | None = None, target: str | None = None, location: str | None = None,
                 tooltip: str | None = None, display: str | None = None) -> None:
        self.ref = ref
        self.target = target
        self.location = location
        self.tooltip = tooltip
        self.display = display

    def _fields(self) -> tuple[str | None, ...]:
        return (self.ref, self.target, self.location, self.tooltip, self.display)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Hyperlink) and self._fields() == other._fields()

    __hash__ = None  # type: ignore[assignment]  # equal by content, and changeable

    def __repr__(self) -> str:
        return "Hyperlink(%s)" % ", ".join("%s=%r" % (name, value) for name, value
                                          in zip(self.__slots__, self._fields()) if value is not None)

    @classmethod
    def of(cls, value: object, coordinate: str | None) -> Hyperlink:
        """The link a cell at `coordinate` gets for `value`: text starting with "#" is a place
        in the workbook, other text a target; a `Hyperlink` is copied onto the cell."""
        if isinstance(value, Hyperlink):
            if value.target is None and value.location is None:
                raise ValueError("a hyperlink needs a target or a location")
            return cls(coordinate, value.target, value.location, value.tooltip, value.display)
        value = check_text(value, "a hyperlink")
        if value.startswith("#"):
            if len(value) == 1:
                raise ValueError("hyperlink '#' names no place in the workbook")
            return cls(coordinate, location=value[1:])
        if not value:
            raise ValueError("a hyperlink cannot be empty: assign None to remove it")
        return cls(coordinate, target=value)


# ------------------------------------------------------------------ defined names

# Names a formula could read as a cell reference ("A1", "R1C1", "R", "C") are not allowed.
_NAME = re.compile(r"[^\W\d][\w.]*\Z|\\[\w.\\]*\Z")
_LOOKS_LIKE_CELL = re.compile(r"(?i)(?:([A-Z]{1,3})[0-9]+|R[0-9]*C[0-9]*|R|C)\Z")


def _looks_like_cell(name: str) -> bool:
    match = _LOOKS_LIKE_CELL.match(name)
    # Letters past the last column of a sheet ("ZZZ1") name no cell.
    return match is not None and (match.group(1) is None or column_index(match.group(1)) <= MAX_SHEET_COLUMN)


def _check_name(name: object) -> str:
    name = check_text(name, "a defined name")
    if name.startswith("_xlnm."):
        return name  # the built-in names: print titles, print area, filter database...
    if len(name) > 255 or _NAME.match(name) is None or _looks_like_cell(name):
        raise ValueError("%r is not a valid defined name: a name starts with a letter, '_' or '\\', "
                         "has letters, digits, '_' and '.', and cannot look like a cell" % name)
    return name


class DefinedName:
    """A name for a formula or range, `attr_text` being what it stands for ("Sheet1!$A$1:$B$4").
    Other attributes read from a file (comment, hidden...) are kept in `attrs` (name -> text)."""

    __slots__ = ("name", "attr_text", "attrs")

    def __init__(self, name: str, attr_text: str, hidden: bool = False, **attrs: str) -> None:
        self.name = _check_name(name)
        self.attr_text = check_text(attr_text, "the text of a defined name")
        self.attrs = {key: check_text(value, "a defined name's " + key) for key, value in attrs.items()}
        if hidden:
            self.attrs["hidden"] = "1"

    @property
    def hidden(self) -> bool:
        return self.attrs.get("hidden", "").lower() in _TRUE

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, DefinedName) and (self.name, self.attr_text, self.attrs)
                == (other.name, other.attr_text, other.attrs))

    __hash__ = None  # type: ignore[assignment]  # equal by content, and changeable

    def __repr__(self) -> str:
        return "DefinedName(%r, %r)" % (self.name, self.attr_text)


class DefinedNames(dict[str, DefinedName]):
    """Name -> `DefinedName`, of a workbook or of one sheet. Names are unique without regard
    to case."""

    def __setitem__(self, name: str, defined: DefinedName) -> None:
        if not isinstance(defined, DefinedName):
            raise TypeError("a defined name is a DefinedName, not %s" % type(defined).__name__)
        if name != defined.name:
            raise ValueError("defined name %r stored under another name, %r" % (defined.name, name))
        folded = name.casefold()
        for other in self:
            if other != name and other.casefold() == folded:
                raise ValueError("defined name %r: %r is the same name" % (name, other))
        super().__setitem__(name, defined)

    def add(self, defined: DefinedName) -> None:
        self[defined.name] = defined


def _quoted_title(title: str) -> str:
    return "'%s'" % title.replace("'", "''")


def _without_sheet(part: str) -> str:
    return part.rpartition("!")[2].replace("$", "")


_ROWS = re.compile(r"\$?([0-9]+):\$?([0-9]+)\Z")


def _rows_of(text: str) -> tuple[int, int]:
    match = _ROWS.match(text)
    if match is None:
        raise ValueError(text)
    first, last = int(match.group(1)), int(match.group(2))
    if not 1 <= first <= last <= MAX_ROW:
        raise ValueError
    return first, last


# ------------------------------------------------------------------ on every sheet

class SheetFeatures:
    """What every sheet (editable, read-only, write-only) has besides its cells."""

    title: str
    _kept: dict[str, Any]

    def _init_features(self) -> None:
        self.merged_cells: list[str] = []
        self.row_dimensions = RowDimensions()
        self.column_dimensions = ColumnDimensions()
        self._auto_filter = AutoFilter()
        self._auto_filter._sheet = self
        self.sheet_properties = SheetProperties()
        self.defined_names = DefinedNames()
        self._pending: dict[str, ET.Element] = {}  # local name -> element read that waits for the cells (reader.features)

    @property
    def auto_filter(self) -> AutoFilter:
        """The sheet's filter (`AutoFilter`): `ws.auto_filter.ref = "A1:C20"`."""
        return self._auto_filter

    @auto_filter.setter
    def auto_filter(self, auto: AutoFilter) -> None:
        if not isinstance(auto, AutoFilter):
            raise TypeError("a sheet's filter is an AutoFilter, not %s" % type(auto).__name__)
        self._auto_filter = auto
        auto._sheet = self

    # -------------------------------------------------------------- merged cells

    def merge_cells(self, range_string: str | None = None, start_row: int | None = None,
                    start_column: int | None = None, end_row: int | None = None,
                    end_column: int | None = None) -> None:
        """Merges a range of cells: `merge_cells("A1:C2")`, or by its first and last row and
        column. The cells keep their values; programs show the first cell's across the range."""
        range_string = _range_string(range_string, start_row, start_column, end_row, end_column)
        bounds = cell_range(range_string, "merged cell range")
        if bounds[:2] == bounds[2:]:
            raise ValueError("%r is one cell: a merged range spans two cells or more" % range_string)
        for ref in self.merged_cells:
            other = _bounds_or_none(ref)
            if other is not None and _overlap(bounds, other):
                raise ValueError("%r overlaps the merged range %s" % (range_string, ref))
        self.merged_cells.append(_range_text(*bounds))

    def unmerge_cells(self, range_string: str | None = None, start_row: int | None = None,
                      start_column: int | None = None, end_row: int | None = None,
                      end_column: int | None = None) -> None:
        """Undoes `merge_cells` of exactly that range."""
        range_string = _range_string(range_string, start_row, start_column, end_row, end_column)
        bounds = cell_range(range_string, "merged cell range")
        for index, ref in enumerate(self.merged_cells):
            if _bounds_or_none(ref) == bounds:
                del self.merged_cells[index]
                return
        raise ValueError("Cell range %s is not merged" % range_string)

    # -------------------------------------------------------------- frozen panes

    @property
    def freeze_panes(self) -> str | None:
        """The first cell not frozen ("B2": row 1 and column A stay in view), or None."""
        pane = self._pane()
        if pane is None or pane.get("state") not in ("frozen", "frozenSplit"):
            return None
        top_left = pane.get("topLeftCell")
        if top_left:
            return top_left
        rows, cols = _number(pane.get("ySplit")) or 0, _number(pane.get("xSplit")) or 0
        return coordinate_of(int(rows) + 1, int(cols) + 1)

    @freeze_panes.setter
    def freeze_panes(self, cell: Any) -> None:
        if cell is not None and not isinstance(cell, str):
            cell = getattr(cell, "coordinate", cell)
        if cell is not None:
            if not isinstance(cell, str):
                raise TypeError("freeze_panes takes a coordinate such as 'B2', not %s" % type(cell).__name__)
            try:
                row, column = coordinate_to_tuple(cell)
            except ValueError:
                raise ValueError("%r is not a valid cell for freeze_panes: expected a coordinate such "
                                 "as 'B2'" % cell) from None
            if row > MAX_ROW or column > MAX_SHEET_COLUMN:
                raise ValueError("%r is beyond the last cell of a sheet" % cell)
            cell = coordinate_of(row, column)
        view = self._first_view()
        for child in list(view):
            if child.tag in (_M + "pane", _M + "selection"):
                view.remove(child)
        if cell is None or cell == "A1":
            return
        x_split, y_split = column - 1, row - 1
        pane = "bottomRight" if x_split and y_split else "topRight" if x_split else "bottomLeft"
        attrs = {"xSplit": str(x_split) if x_split else None, "ySplit": str(y_split) if y_split else None,
                 "topLeftCell": cell, "activePane": pane, "state": "frozen"}
        children = [ET.Element(_M + "pane", {k: v for k, v in attrs.items() if v is not None})]
        if pane == "bottomRight":
            children += [ET.Element(_M + "selection", {"pane": "topRight"}),
                         ET.Element(_M + "selection", {"pane": "bottomLeft"})]
        children.append(ET.Element(_M + "selection", {"pane": pane, "activeCell": cell, "sqref": cell}))
        for index, child in enumerate(children):
            view.insert(index, child)

    def _first_view(self) -> ET.Element:
        views = self._kept.get("sheetViews")
        if views is None:
            views = self._kept["sheetViews"] = ET.Element(_M + "sheetViews")
        view = views.find(_M + "sheetView")
        if view is None:
            view = ET.SubElement(views, _M + "sheetView", {"workbookViewId": "0"})
        return view

    def _pane(self) -> ET.Element | None:
        views = self._kept.get("sheetViews")
        view = views.find(_M + "sheetView") if views is not None else None
        return view.find(_M + "pane") if view is not None else None

    # -------------------------------------------------------------- print titles and area

    @property
    def print_title_rows(self) -> str | None:
        """The rows printed atop every page ("1:2"), or None."""
        defined = self.defined_names.get(PRINT_TITLES)
        for part in _parts(defined):
            bare = _without_sheet(part)
            if _ROWS.match(bare):
                return bare
        return None

    @print_title_rows.setter
    def print_title_rows(self, rows: str | None) -> None:
        if rows is not None:
            if not isinstance(rows, str):
                raise TypeError("print_title_rows is a str such as '1:2', not %s" % type(rows).__name__)
            try:
                first, last = _rows_of(rows)
            except (AttributeError, ValueError):
                raise ValueError("%r is not a valid range of rows: expected rows such as '1:2'" % rows) from None
            rows = "%s!$%d:$%d" % (_quoted_title(self.title), first, last)
        # Columns printed at the left of every page are kept.
        others = [part for part in _parts(self.defined_names.get(PRINT_TITLES))
                  if not _ROWS.match(_without_sheet(part))]
        self._set_print_name(PRINT_TITLES, others + ([rows] if rows else []))

    @property
    def print_area(self) -> str | None:
        """The range printed ("A1:F40"; ranges joined with "," when there are several), or None."""
        parts = _parts(self.defined_names.get(PRINT_AREA))
        return ",".join(_without_sheet(part) for part in parts) if parts else None

    @print_area.setter
    def print_area(self, area: str | None) -> None:
        parts = []
        if area is not None:
            if not isinstance(area, str):
                raise TypeError("print_area is a str such as 'A1:F40', not %s" % type(area).__name__)
            for ref in area.split(","):
                min_row, min_col, max_row, max_col = cell_range(ref.strip(), "print area")
                parts.append("%s!$%s$%d:$%s$%d" % (_quoted_title(self.title), column_letter(min_col), min_row,
                                                   column_letter(max_col), max_row))
        self._set_print_name(PRINT_AREA, parts)

    def _edit_kept_formulas(self, edit: Callable[[str], str]) -> None:
        """Applies `edit` to the formulas of the elements kept as read (validations, conditional
        formats, their extensions), marking the elements that change."""
        for name, nodes in self._kept.items():
            changed = False
            for node in nodes if isinstance(nodes, list) else [nodes]:
                for child in node.iter():
                    if child.text and isinstance(child.tag, str) and child.tag.rpartition("}")[2] in _FORMULA_TAGS:
                        text = edit(child.text)
                        if text != child.text:
                            child.text, changed = text, True
            if changed:
                mark(self, name)

    def _filter_name_in_step(self) -> None:
        """Gives the sheet the hidden name that spreadsheet programs give its filtered range
        beside the filter (without it LibreOffice shows no filter), in step with
        `auto_filter.ref`: set, moved with the range, and taken away with a filter read from a
        file and removed (the name also serves filters of other kinds, left alone)."""
        ref, names = self.auto_filter.ref, self.defined_names
        found = names.get(FILTER_DATABASE)
        if ref is None:
            if found is not None and self.auto_filter._element is not None:
                del names[FILTER_DATABASE]
            return
        if found is not None and [_without_sheet(part) for part in _parts(found)] == [ref.replace("$", "")]:
            return
        min_row, min_col, max_row, max_col = cell_range(ref, "filter range")
        text = "%s!$%s$%d:$%s$%d" % (_quoted_title(self.title), column_letter(min_col), min_row,
                                     column_letter(max_col), max_row)
        defined = DefinedName(FILTER_DATABASE, text, True)
        if found is not None:
            defined.attrs = dict(found.attrs)  # hidden or not, as read
        names[FILTER_DATABASE] = defined

    def _set_print_name(self, name: str, parts: list[str]) -> None:
        if parts:
            self.defined_names[name] = DefinedName(name, ",".join(parts))
        else:
            self.defined_names.pop(name, None)


# One range of a list of ranges: a comma inside a quoted sheet title does not end it.
_PART = re.compile(r"(?:'(?:[^']|'')*'|[^',])+")


def _range_string(range_string: str | None, start_row: int | None, start_column: int | None,
                  end_row: int | None, end_column: int | None) -> str:
    if range_string is not None:
        return range_string
    if start_row is None or start_column is None or end_row is None or end_column is None:
        raise TypeError("a range is given as a str such as 'A1:C2', or by all four of start_row, "
                        "start_column, end_row and end_column")
    return "%s:%s" % (coordinate_of(start_row, start_column), coordinate_of(end_row, end_column))


def _parts(defined: DefinedName | None) -> list[str]:
    return _PART.findall(defined.attr_text) if defined is not None else []


def _bounds_or_none(ref: str) -> tuple[int, int, int, int] | None:
    try:
        return cell_range(ref)
    except (TypeError, ValueError):
        return None


def _overlap(a: tuple[int, int, int, int], b: tuple[int, int, int, int]) -> bool:
    return a[0] <= b[2] and b[0] <= a[2] and a[1] <= b[3] and b[1] <= a[3]
