"""Structural edits of a workbook: rows and columns inserted and deleted, a range of cells
moved, a sheet copied. The cells move, and everything that points at cells follows the edit
as in a spreadsheet program (see `quillfen.formula.shift` for the rules): the formulas of every
sheet, defined names (print titles and areas among them), merged ranges, the auto filter,
hyperlinks and comments, row and column settings, the conditional formats, validations and
other settings kept from a file, and the formulas of the parts saved as they were read
(charts' series, when the workbook is saved: `writer.formulas`).

The engine's cell store does its part in place (`CellStore._edit`), without making a cell
object for the bulk of a sheet; a plain dict of cells is rebuilt here.
"""

from __future__ import annotations

import array
import copy
import xml.etree.ElementTree as ET
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, cast

from ..constants import MAIN_NS, MAX_ROW, MAX_SHEET_COLUMN
from ..formula import ArrayFormula, DataTableFormula
from ..formula.sheets import renamed_sheet
from ..formula.shift import REF_ERROR, LineEdit, MoveEdit, OffsetEdit
from ..utils.cells import column_index, column_letter, coordinate_of
from .cell import Cell, without_cached
from .features import FILTER_DATABASE, AutoFilter, ColumnDimension, RowDimension, cell_range
from .styles import StyleArray
from .tracking import CELLS, mark

if TYPE_CHECKING:
    from .workbook import Workbook
    from .worksheet import Worksheet

__all__ = ["line_index", "edit_lines", "move_range", "copy_worksheet"]

Edit = LineEdit | MoveEdit
_M = "{%s}" % MAIN_NS
_XM = "{http://schemas.microsoft.com/office/excel/2006/main}"


def line_index(idx: object, rows: bool) -> int:
    """A row number, or a column number or letters, checked."""
    what = "row" if rows else "column"
    if isinstance(idx, str) and not rows:
        try:
            idx = column_index(idx)
        except ValueError:
            raise ValueError("%r is not a column: expected letters such as 'C' or a number" % idx) from None
    if isinstance(idx, bool) or not isinstance(idx, int):
        raise TypeError("a %s is given by its number%s, not %s"
                        % (what, "" if rows else " or letters", type(idx).__name__))
    limit = MAX_ROW if rows else MAX_SHEET_COLUMN
    if not 1 <= idx <= limit:
        raise ValueError("%s %d: a sheet has %ss 1 to %d" % (what, idx, what, limit))
    return idx


def _amount(amount: object) -> int:
    if isinstance(amount, bool) or not isinstance(amount, int):
        raise TypeError("amount is an int, not %s" % type(amount).__name__)
    if amount < 1:
        raise ValueError("amount %d: at least one line is inserted or deleted" % amount)
    return amount


def edit_lines(ws: Worksheet, idx: object, amount: object, rows: bool, deleted: bool) -> None:
    """`ws.insert_rows` and its kin: `amount` rows (or columns) inserted at `idx`, or deleted
    from there."""
    ws.parent._check_changeable()
    start, count = line_index(idx, rows), _amount(amount)
    limit = MAX_ROW if rows else MAX_SHEET_COLUMN
    if deleted:
        count = min(count, limit - start + 1)
    else:
        bounds = ws._bounds()
        last = (bounds[1] if rows else bounds[3]) if bounds else 0
        if last >= start and last + count > limit:
            what = "row" if rows else "column"
            raise ValueError("cannot insert %d %s%s at %s: cells would be pushed off the sheet (its last %s is %d)"
                             % (count, what, "s" if count > 1 else "", start if rows else column_letter(start),
                                what, limit))
    _apply(ws, LineEdit(ws.title, rows, start, count, deleted, _others(ws)))


def move_range(ws: Worksheet, ref: str, rows: int, cols: int, translate: bool) -> None:
    """`ws.move_range`: the cells of `ref` moved by `rows` and `cols`, replacing the cells
    there; references into the range follow it, and with `translate` the moved formulas' own
    relative references shift with them."""
    ws.parent._check_changeable()
    for name, value in (("rows", rows), ("cols", cols)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("%s is an int, not %s" % (name, type(value).__name__))
    min_row, min_col, max_row, max_col = cell_range(ref, "range to move")
    if not (1 <= min_row + rows and max_row + rows <= MAX_ROW and 1 <= min_col + cols
            and max_col + cols <= MAX_SHEET_COLUMN):
        raise ValueError("cannot move %s by %d rows and %d columns: it would leave the sheet" % (ref, rows, cols))
    if rows or cols:
        _apply(ws, MoveEdit(ws.title, (min_row, min_col, max_row, max_col), rows, cols, _others(ws)), translate)


def _others(ws: Worksheet) -> tuple[str, ...]:
    return tuple(sheet.title for sheet in ws.parent._sheets if sheet is not ws)


# ------------------------------------------------------------------ applying an edit

def _apply(ws: Worksheet, edit: Edit, translate: bool = False) -> None:
    """The edit made to every sheet of the workbook. What changes is marked for saving
    (`model.tracking`): the cells of the edited sheet and of every sheet whose formulas changed,
    and the settings kept from a file that changed; the snapshot taken at loading finds the
    rest (merges, filter, sizes, links, names)."""
    wb = ws.parent
    _check_arrays(ws, edit)
    _check_tables(ws, edit)
    for sheet in wb._sheets:
        # Names first: the filter's hidden name is then in step with the filter moved after.
        _edit_names(getattr(sheet, "defined_names", {}).values(), edit)
        if hasattr(sheet, "_cells"):  # not a chart sheet
            host = sheet is ws
            if _edit_cells(sheet, edit, host, translate) or host:
                mark(sheet, CELLS)
            for name in _edit_kept(sheet, edit, host):
                mark(sheet, name)
            sheet._edit_report_ranges(edit, host)
            sheet._edit_link_locations(lambda text: edit.reference(text, host))
            if host:
                _edit_features(sheet, edit)
    _edit_names(wb.defined_names.values(), edit)
    # The parts a save keeps as read (charts' series, tables' formulas) follow when saved.
    wb._formula_edits.append(edit.reference)
    ws._last_row = None
    ws.dimension_ref = None


def _check_arrays(ws: Worksheet, edit: Edit) -> None:
    """Refuses an edit that would change part of an array formula's cells, as spreadsheet
    programs do: lines inserted inside its range or deleted from part of it, a move of part
    of it or onto part of it."""
    cells = ws._cells
    native = getattr(cells, "_formula_objects", None)
    keys = native() if native is not None else NotImplemented
    if keys is NotImplemented:
        keys = [key for key in list(cells) if isinstance(cells[key]._value, ArrayFormula)]
    for key in keys:
        value = cells[key]._value
        bounds = _bounds(value.ref) if isinstance(value, ArrayFormula) and value.ref else None
        if bounds is not None and bounds[:2] != bounds[2:] and _splits(edit, bounds):
            raise ValueError("cannot change part of the array formula of %s in %s"
                             % (value.ref, coordinate_of(*key)))


def _check_tables(ws: Worksheet, edit: Edit) -> None:
    """Refuses a deletion of the header row of a table that keeps some of its rows of data
    (a table's columns are named by its header), and a move of a range that crosses a
    table's edge (it would take part of the table's cells out of it, or bring others in)."""
    if isinstance(edit, MoveEdit):
        for table in ws.tables.values():
            bounds = table.bounds
            if _overlaps_partly(edit.source, bounds) and _overlaps_partly(bounds, edit.source):
                raise ValueError("cannot move %s: it crosses the edge of table %r (%s); move the whole table "
                                 "or cells inside it" % (_ref_of(edit.source), table.name, table.ref))
        return
    if not (edit.rows and edit.deleted):
        return
    end = edit.start + edit.count - 1
    for table in ws.tables.values():
        min_row, _min_col, max_row, _max_col = table.bounds
        if table.header and edit.start <= min_row <= end < max_row:
            raise ValueError("cannot delete the header row of table %r (%s)" % (table.name, table.ref))


def _ref_of(bounds: tuple[int, int, int, int]) -> str:
    return "%s:%s" % (coordinate_of(bounds[0], bounds[1]), coordinate_of(bounds[2], bounds[3]))


def _splits(edit: Edit, bounds: tuple[int, int, int, int]) -> bool:
    min_row, min_col, max_row, max_col = bounds
    if isinstance(edit, MoveEdit):
        top, left, bottom, right = edit.source
        landing = (top + edit.rows, left + edit.cols, bottom + edit.rows, right + edit.cols)
        moved_whole = edit.inside(min_row, min_col) and edit.inside(max_row, max_col)
        return _overlaps_partly(edit.source, bounds) or not moved_whole and _overlaps_partly(landing, bounds)
    low, high = (min_row, max_row) if edit.rows else (min_col, max_col)
    if not edit.deleted:
        return low < edit.start <= high
    end = edit.start + edit.count - 1
    return edit.start <= high and low <= end and not (edit.start <= low and high <= end)


def _overlaps_partly(source: tuple[int, int, int, int], bounds: tuple[int, int, int, int]) -> bool:
    """Whether a moved rectangle takes some but not all of an array's cells."""
    top, left, bottom, right = source
    overlap = bounds[0] <= bottom and top <= bounds[2] and bounds[1] <= right and left <= bounds[3]
    inside = top <= bounds[0] and bounds[2] <= bottom and left <= bounds[1] and bounds[3] <= right
    return overlap and not inside


def _edit_cells(ws: Worksheet, edit: Edit, host: bool, translate: bool) -> bool:
    """Whether a cell of `ws` changed."""
    cells = ws._cells
    native = getattr(cells, "_edit", None)
    found = native(edit.spec(), host, translate) if native is not None else NotImplemented
    if found is NotImplemented:
        return _edit_mapping(ws, edit, host, translate)
    keys, changed = found
    for key in keys:
        moved = isinstance(edit, MoveEdit) and edit.inside(key[0] - edit.rows, key[1] - edit.cols)
        _edit_value(cells[key], _rule(edit, translate and moved), host)
    return bool(changed or keys)


def _rule(edit: Edit, translated: bool) -> LineEdit | MoveEdit | OffsetEdit:
    """What a formula follows: the edit, or for a formula moved and translated, its offset."""
    if translated and isinstance(edit, MoveEdit):
        return OffsetEdit(edit.rows, edit.cols)
    return edit


def _edit_mapping(ws: Worksheet, edit: Edit, host: bool, translate: bool) -> bool:
    """The cells of a plain mapping: each formula rewritten and, on the edited sheet, each cell
    moved; the mapping keeps its order (a moved range's cells coming last, as in the store).
    Whether a cell changed."""
    cells = ws._cells
    kept: list[tuple[tuple[int, int], Cell]] = []
    moved: list[tuple[tuple[int, int], Cell]] = []
    changed = False
    for key in list(cells):  # a dict, or a store in dict mode (which has no items())
        cell = cells[key]
        row, column = key
        to = edit.cell(row, column) if host else key
        if to is None or host and isinstance(edit, MoveEdit) and edit.overwritten(row, column):
            changed = True
            continue
        changed = _edit_value(cell, _rule(edit, translate and to != key), host) or changed
        if to != key:
            cell.row, cell.column = to
            changed = True
        (moved if isinstance(edit, MoveEdit) and to != key else kept).append((to, cell))
    if not host:
        return changed
    if type(cells) is dict:
        ws._cells = dict(kept + moved)
    else:
        cells.clear()
        for key, cell in kept + moved:
            cells[key] = cell
    return changed


def _edit_value(cell: Cell, rule: LineEdit | MoveEdit | OffsetEdit, host: bool) -> bool:
    """Rewrites the formula of a cell (text, array or data-table formula); whether it changed.
    A formula whose text changed loses the result it was read with (the saved file asks
    programs to calculate on opening)."""
    if cell.data_type != "f":
        return False
    value = cell._value
    if isinstance(value, str):
        new = rule.formula(value, host) if host or "!" in value else value
        if new == value:
            return False
        cell._value = new
    elif isinstance(value, (ArrayFormula, DataTableFormula)):
        before = (dict(value), getattr(value, "text", None))
        _edit_formula_object(value, rule, host)
        if (dict(value), getattr(value, "text", None)) == before:
            return False
    else:
        return False
    cell._loaded = without_cached(cell._loaded)
    return True


def _edit_formula_object(value: Any, rule: LineEdit | MoveEdit | OffsetEdit, host: bool) -> None:
    if isinstance(value, ArrayFormula):
        if value.text is not None:
            value.text = rule.formula(value.text, host)
        if host and value.ref is not None and not isinstance(rule, OffsetEdit):
            value.ref = rule.range_text(value.ref) or value.ref
    elif isinstance(value, DataTableFormula) and host and not isinstance(rule, OffsetEdit):
        for name in ("ref", "r1", "r2"):
            ref = getattr(value, name)
            if isinstance(ref, str):
                setattr(value, name, rule.range_text(ref) or "#REF!")


def _edit_names(names: Iterable[Any], edit: Edit) -> None:
    for defined in names:
        defined.attr_text = edit.reference(defined.attr_text)


# ------------------------------------------------------------------ the edited sheet's features

def _edit_features(ws: Worksheet, edit: Edit) -> None:
    merged = []
    for ref in ws.merged_cells:
        new = edit.range_text(ref)
        # A merge of one cell is none, and one whose first cell (the one shown) is deleted goes;
        # so does one where a moved range lands (merges may not overlap).
        if new is not None and ":" in new and _keeps_first(edit, ref) and not _landed_on(edit, ref, new):
            merged.append(new)
    ws.merged_cells = merged
    _edit_filter(ws, edit)
    ws._links = _rekeyed(ws._links, edit, _relink)
    ws._notes = _rekeyed(ws._notes, edit, None)
    if isinstance(edit, LineEdit):
        if edit.rows:
            _edit_rows(ws, edit)
        else:
            _edit_columns(ws, edit)


def _bounds(ref: str) -> tuple[int, int, int, int] | None:
    """(min_row, min_col, max_row, max_col) of a range read from a file, None for one that
    names no cells."""
    try:
        return cell_range(ref)
    except (TypeError, ValueError):
        return None


def _keeps_first(edit: Edit, ref: str) -> bool:
    bounds = _bounds(ref)
    return bounds is None or edit.cell(bounds[0], bounds[1]) is not None


def _landed_on(edit: Edit, ref: str, new: str) -> bool:
    """Whether a merge that stayed where it was is overlapped by the range a move put there."""
    bounds = _bounds(ref)
    if not isinstance(edit, MoveEdit) or new != ref or bounds is None:
        return False
    min_row, min_col, max_row, max_col = edit.source
    top, left, bottom, right = bounds
    return (top <= max_row + edit.rows and min_row + edit.rows <= bottom
            and left <= max_col + edit.cols and min_col + edit.cols <= right)


def _rekeyed(registry: dict[tuple[int, int], Any], edit: Edit,
             moved: Callable[[Any, tuple[int, int]], None] | None) -> dict[tuple[int, int], Any]:
    """A registry of hyperlinks or comments by cell, keyed by where the cells went."""
    found: dict[tuple[int, int], Any] = {}
    for (row, column), feature in registry.items():
        to = edit.cell(row, column)
        if to is None or isinstance(edit, MoveEdit) and edit.overwritten(row, column):
            continue
        if moved is not None and to != (row, column):
            moved(feature, to)
        found[to] = feature
    return found


def _relink(link: Any, to: tuple[int, int]) -> None:
    """A hyperlink's `ref` is its cell's coordinate (a range keeps its size)."""
    ref = link.ref or ""
    start, colon, end = ref.partition(":")
    first = coordinate_of(*to)
    if not colon:
        link.ref = first
        return
    try:
        height, width = _size(start, end)
    except ValueError:
        link.ref = first
        return
    link.ref = "%s:%s" % (first, coordinate_of(to[0] + height, to[1] + width))


def _size(start: str, end: str) -> tuple[int, int]:
    a, b = cell_range(start), cell_range(end)
    return b[0] - a[0], b[1] - a[1]


def _edit_filter(ws: Worksheet, edit: Edit) -> None:
    auto = ws.auto_filter
    ref = auto.ref
    old = _bounds(ref) if ref is not None else None
    if ref is None or old is None:
        return
    new_ref = edit.range_text(ref)
    element = auto._element
    if new_ref is None:
        names = ws.defined_names
        if FILTER_DATABASE in names and names[FILTER_DATABASE].attr_text == REF_ERROR:
            del names[FILTER_DATABASE]  # its range went with the filter's
    if element is not None and element.get("ref") == ref:
        if new_ref is None:
            auto._element = None
        else:
            element = copy.deepcopy(element)
            element.set("ref", new_ref)
            if isinstance(edit, LineEdit) and not edit.rows:
                _refilter_columns(element, edit, old[1], cell_range(new_ref)[1])
            auto._element = element
    auto._ref = new_ref


def _refilter_columns(element: ET.Element, edit: LineEdit, first: int, new_first: int) -> None:
    """Filter criteria are by column within the range (`colId`): they follow their column."""
    for column in list(element.findall(_M + "filterColumn")):
        try:
            col_id = int(column.get("colId", ""))
        except ValueError:
            continue
        to = edit.line(first + col_id)
        if to is None:
            element.remove(column)
        else:
            column.set("colId", str(to - new_first))


def _edit_rows(ws: Worksheet, edit: LineEdit) -> None:
    dims = ws.row_dimensions
    items = list(dict.items(dims))
    dict.clear(dims)
    for row, settings in items:
        to = edit.line(row)
        if to is not None:
            dict.__setitem__(dims, to, settings)
            settings._key = to
    if not edit.deleted:
        # Rows inserted inside an outline group join it, as a program keeps the group whole.
        above, below = dict.get(dims, edit.start - 1), dict.get(dims, edit.start + edit.count)
        level = min(_outline(above), _outline(below))
        for row in range(edit.start, edit.start + edit.count) if level else ():
            dims[row] = RowDimension({"outlineLevel": str(level)})


def _outline(settings: RowDimension | None) -> int:
    try:
        return int(settings.get("outlineLevel", "0")) if settings is not None else 0
    except ValueError:
        return 0


def _edit_columns(ws: Worksheet, edit: LineEdit) -> None:
    dims = ws.column_dimensions
    runs: list[ColumnDimension] = list(dict.values(dims))
    dict.clear(dims)
    for run in runs:
        found = edit.span(run.min, run.max)
        if found is not None:
            run.min, run.max = found
            dims[column_letter(run.min)] = run


# ------------------------------------------------------------------ settings kept from a file

# The settings kept from a file that hold references.
_REFERRING = ("conditionalFormatting", "dataValidations", "protectedRanges", "ignoredErrors", "rowBreaks",
              "colBreaks", "extLst")


def _edit_kept(ws: Worksheet, edit: Edit, host: bool) -> list[str]:
    """The settings read from a file and kept as elements: ranges (`sqref`) of the edited
    sheet, and formulas, which may point into it from any sheet. The names of those changed."""
    kept = ws._kept
    before = {name: _serialised(kept[name]) for name in _REFERRING if name in kept}
    _edit_referring(ws, edit, host)
    return [name for name, text in before.items() if _serialised(kept.get(name)) != text]


def _serialised(found: ET.Element | list[ET.Element] | None) -> list[bytes]:
    return [ET.tostring(node) for node in (found if isinstance(found, list) else [] if found is None else [found])]


def _edit_referring(ws: Worksheet, edit: Edit, host: bool) -> None:
    kept = ws._kept
    formats = kept.get("conditionalFormatting")
    if formats:
        kept["conditionalFormatting"] = [node for node in formats if _edit_ranged(node, edit, host, "formula")]
    validations = kept.get("dataValidations")
    if validations is not None:
        for node in list(validations):
            if not _edit_ranged(node, edit, host, "formula1", "formula2"):
                validations.remove(node)
        if len(validations):
            validations.set("count", str(len(validations)))
        else:
            del kept["dataValidations"]
    if host:
        for name, child in (("protectedRanges", "protectedRange"), ("ignoredErrors", "ignoredError")):
            node = kept.get(name)
            if node is not None:
                for item in list(node):
                    if not _edit_sqref(item, edit):
                        node.remove(item)
        _edit_breaks(ws, edit)
    extensions = kept.get("extLst")
    if extensions is not None:
        _edit_extensions(extensions, edit, host)


def _edit_ranged(node: ET.Element, edit: Edit, host: bool, *formulas: str) -> bool:
    """A conditional format or a validation: its ranges (on the edited sheet) and formulas.
    False when its ranges are all gone."""
    if host and not _edit_sqref(node, edit):
        return False
    for name in formulas:
        for formula in node.iter(_M + name):
            if formula.text:
                formula.text = edit.reference(formula.text, host)
    return True


def _edit_sqref(node: ET.Element, edit: Edit) -> bool:
    sqref = node.get("sqref")
    if sqref is None:
        return True
    new = edit.sqref(sqref)
    if new is None:
        return False
    node.set("sqref", new)
    return True


def _edit_breaks(ws: Worksheet, edit: Edit) -> None:
    """Manual page breaks follow their row or column."""
    if not isinstance(edit, LineEdit):
        return
    node = ws._kept.get("rowBreaks" if edit.rows else "colBreaks")
    if node is None:
        return
    for brk in list(node):
        try:
            to = edit.line(int(brk.get("id", "")))
        except ValueError:
            continue
        if to is None:
            node.remove(brk)
        else:
            brk.set("id", str(to))
    node.set("count", str(len(node)))
    if node.get("manualBreakCount") is not None:
        node.set("manualBreakCount", str(sum(brk.get("man") in ("1", "true") for brk in node)))


def _edit_extensions(node: ET.Element, edit: Edit, host: bool) -> None:
    """Newer conditional formats and validations live in the extension list: ranges in
    `xm:sqref`, formulas in `xm:f`. One whose ranges are all gone goes."""
    for parent in list(node.iter()) if host else ():
        for child in list(parent):
            sqref = child.find(_XM + "sqref")
            if sqref is not None and sqref.text:
                new = edit.sqref(sqref.text)
                if new is None:
                    parent.remove(child)
                else:
                    sqref.text = new
    for formula in node.iter(_XM + "f"):
        if formula.text:
            formula.text = edit.reference(formula.text, host)


# ------------------------------------------------------------------ copying a sheet

def copy_worksheet(wb: Workbook, ws: Worksheet, title: str | None) -> Worksheet:
    """`wb.copy_worksheet`: a new last sheet with the cells, styles, sizes, merges, features
    and settings of `ws`; names of its scope go along and point at the copy."""
    from .worksheet import Worksheet

    wb._check_changeable()
    wb.index(ws)
    if not isinstance(ws, Worksheet):
        raise TypeError("only an editable worksheet can be copied, not %s" % type(ws).__name__)
    if title is None:
        title = _copy_title(wb, ws.title)
    copy_: Worksheet = wb.create_sheet(title)
    copy_.sheet_state = "visible"
    _copy_cells(ws, copy_)
    copy_.merged_cells = list(ws.merged_cells)
    for row, settings in dict.items(ws.row_dimensions):
        copy_.row_dimensions[row] = RowDimension(settings)
    for letters, run in dict.items(ws.column_dimensions):
        copy_.column_dimensions[letters] = ColumnDimension(run.min, run.max, run)
    copy_.auto_filter = AutoFilter(copy.deepcopy(ws.auto_filter._element))
    copy_.auto_filter._ref = ws.auto_filter.ref
    copy_.sheet_properties = copy.deepcopy(ws.sheet_properties)
    copy_._kept = copy.deepcopy(ws._kept)
    views = copy_._kept.get("sheetViews")
    for view in views.iter(_M + "sheetView") if views is not None else ():
        view.attrib.pop("tabSelected", None)  # the copy is not the sheet shown
    for defined in ws.defined_names.values():
        new = copy.deepcopy(defined)
        new.attr_text = renamed_sheet(defined.attr_text, ws.title, copy_.title)
        copy_.defined_names.add(new)
    ws._copy_reports(copy_)
    return copy_


def _copy_title(wb: Workbook, title: str) -> str:
    """"Sales (2)", "Sales (3)"...: the first free title, within the length titles may have."""
    taken = {name.casefold() for name in wb.sheetnames}
    number = 2
    while True:
        suffix = " (%d)" % number
        candidate = title[:31 - len(suffix)] + suffix
        if candidate.casefold() not in taken:
            return candidate
        number += 1


def _copy_cells(ws: Worksheet, target: Worksheet) -> None:
    cells = ws._cells
    native = getattr(cells, "_copy", None)
    copied = native(target) if native is not None else NotImplemented
    if copied is not NotImplemented:
        target._cells = copied
    else:
        new: dict[tuple[int, int], Cell] = {}
        for key in list(cells):
            new[key] = _cell_copy(cells[key], target)
        target._cells = new
    for key, link in ws._links.items():
        cell = target._cells.get(key)
        if cell is not None:
            cell._hyperlink = copy.copy(link)
            target._links[key] = cell._hyperlink
    for key, note in ws._notes.items():
        cell = target._cells.get(key)
        if cell is not None:
            cell._comment = copy.copy(note)
            target._notes[key] = cell._comment


def _cell_copy(cell: Cell, target: Worksheet) -> Cell:
    value = cell._value
    if isinstance(value, (ArrayFormula, DataTableFormula)):
        value = copy.copy(value)
    style = cell._style
    if style is not None:
        style = cast(StyleArray, array.array.__new__(type(style), "i", style))  # its own copy, of its own class
    copied = Cell(target, cell.row, cell.column, value, style, cell.data_type)
    copied._loaded = cell._loaded  # what it was read with (immutable: shared)
    return copied
