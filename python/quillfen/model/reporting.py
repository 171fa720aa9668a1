"""What reports need on a sheet besides its cells: images, charts, tables, data validation,
conditional formats, outlines, protection and page setup. Every sheet (editable, read-only,
write-only) has them; a sheet read from a file has those it was read with.

Each feature's ranges are kept as ranges ("A1:D10", references such as "Sheet1!$B$2:$B$10"),
so that what moves cells can move them too (`_edit_report_ranges`).
"""

from __future__ import annotations

import copy
import os
import xml.etree.ElementTree as ET
from collections.abc import Callable
from itertools import count
from typing import IO, Any, Protocol

from ..constants import MAX_ROW, MAX_SHEET_COLUMN
from .anchors import CellMove, Span, moved_anchor, moved_cell
from .charts import Chart, KeptChart
from .features import ColumnDimensions, RowDimensions, cell_range
from .formatting import ConditionalFormat, Rule, check_rule
from .images import Image
from .objects import Feature, FeatureList, Placed, Reference, check_sqref
from .printing import PageMargins, PageSetup
from .protection import SheetProtection
from .tables import Table, Tables
from .tracking import mark
from .validation import Bound, DataValidation
from ..utils.cells import column_index, column_letter, coordinate_of, coordinate_to_tuple

__all__ = ["SheetReports", "MAX_OUTLINE_LEVEL"]

MAX_OUTLINE_LEVEL = 7


class CellEdit(CellMove, Protocol):
    """What an edit of a sheet's cells (`formula.shift`) answers, for the features to follow:
    besides where a cell or block of cells goes, where a range or ranges of the edited sheet
    go (None: gone), and a formula written without its "=" after the edit (`host_edited`:
    whether its unqualified references are to the edited sheet)."""

    def range_text(self, ref: str) -> str | None: ...

    def sqref(self, text: str) -> str | None: ...

    def reference(self, text: str, host_edited: bool = False) -> str: ...


def _image(value: Any) -> Image:
    if not isinstance(value, Image):
        raise TypeError("a sheet's image is an Image, not %s" % type(value).__name__)
    return value


def _chart(value: Any) -> Chart | KeptChart:
    if not isinstance(value, (Chart, KeptChart)):
        raise TypeError("a sheet's chart is a quillfen.charts.Chart, not %s" % type(value).__name__)
    return value


def _validation(value: Any) -> DataValidation:
    if not isinstance(value, DataValidation):
        raise TypeError("a sheet's validation is a DataValidation, not %s" % type(value).__name__)
    return value


_FORMAT_REF = check_sqref("conditional format range")


def _conditional_format(value: Any) -> ConditionalFormat:
    if not isinstance(value, tuple) or len(value) != 2:
        raise TypeError("a sheet's conditional format is a (ref, rule) pair, not %s" % type(value).__name__)
    return ConditionalFormat(_FORMAT_REF(value[0]), check_rule(value[1]))


def _overlap(a: tuple[int, int, int, int], b: tuple[int, int, int, int]) -> bool:
    return a[0] <= b[2] and b[0] <= a[2] and a[1] <= b[3] and b[1] <= a[3]


def _line(value: object, rows: bool) -> int:
    """A row number, or a column's letters or number."""
    what = "row" if rows else "column"
    if isinstance(value, str) and not rows:
        try:
            value = column_index(value)
        except ValueError:
            raise ValueError("%r is not a column: expected letters such as 'C'" % value) from None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("a %s is given by its number%s, not %s" % (what, "" if rows else " or letters",
                                                                   type(value).__name__))
    limit = MAX_ROW if rows else MAX_SHEET_COLUMN
    if not 1 <= value <= limit:
        raise ValueError("%s %d: a sheet has %ss 1 to %d" % (what, value, what, limit))
    return value


class SheetReports:
    """The report features of a sheet (see the module)."""

    title: str
    parent: Any
    row_dimensions: RowDimensions
    column_dimensions: ColumnDimensions
    merged_cells: list[str]
    sheet_properties: Any
    _cell_at: Callable[[int, int], Any]

    def _init_reports(self) -> None:
        self._images: FeatureList[Image] = FeatureList(_image)
        self._charts: FeatureList[Chart | KeptChart] = FeatureList(_chart)
        self._tables = Tables()
        self._validations: FeatureList[DataValidation] = FeatureList(_validation)
        self._conditional_formats: FeatureList[ConditionalFormat] = FeatureList(_conditional_format)
        self._protection = SheetProtection()
        self._page_setup = PageSetup()
        self._margins = PageMargins()
        # Parts of the drawing read with the sheet that are not images or charts quillfen
        # models (shapes, text boxes, controls...), kept in their place (`reader.drawings`).
        self._kept_anchors: list[tuple[int, bytes]] = []
        self._kept_tables: list[str | None] = []  # relationship ids of tables the model cannot hold
        self._tables_read: list[str] = []  # relationship ids of the tables read into the model
        self._drawing: dict[str, Any] | None = None  # the drawing part read with the sheet
        # The priorities of the conditional formats read, in their order, and for a read-only
        # sheet the elements read (`reader.reports`).
        self._format_priorities: list[int] = []
        self._formats_read: set[bytes] = set()

    # -------------------------------------------------------------- images and charts

    @property
    def images(self) -> FeatureList[Image]:
        """The sheet's images (`quillfen.drawing.Image`), in drawing order."""
        return self._images

    def add_image(self, source: str | os.PathLike[str] | bytes | IO[bytes] | Image, anchor: str = "A1", *,
                  width: int | None = None, height: int | None = None) -> Image:
        """Adds a PNG, JPEG, GIF or BMP image (a path, its bytes or a binary file object) with
        its top left corner at the cell `anchor`, `width` by `height` pixels: by default the
        image's own size, kept in proportion when only one of them is given. Returns it."""
        self.parent._check_changeable()
        if isinstance(source, Image):
            image = source
            image.anchor = anchor
            if width is not None:
                image.width = width
            if height is not None:
                image.height = height
        else:
            image = Image(source, anchor, width=width, height=height)
        mark(self, "drawing")
        self._images.append(image)
        return image

    @property
    def charts(self) -> FeatureList[Chart | KeptChart]:
        """The sheet's charts: `quillfen.charts.Chart`, or `KeptChart` for one of another kind
        read from a file."""
        return self._charts

    def add_chart(self, chart: Chart, anchor: str = "A1", *, width: int = 480, height: int = 288) -> Chart:
        """Places `chart` with its top left corner at the cell `anchor`, `width` by `height`
        pixels. Returns it."""
        self.parent._check_changeable()
        if not isinstance(chart, Chart):
            raise TypeError("add_chart() takes a quillfen.charts.Chart, not %s" % type(chart).__name__)
        if not chart.series:
            raise ValueError("a chart needs a series of values: chart.add_series('Sheet1!$B$2:$B$10')")
        chart.anchor, chart.width, chart.height = anchor, width, height
        mark(self, "drawing")
        self._charts.append(chart)
        return chart

    # -------------------------------------------------------------- tables

    @property
    def tables(self) -> Tables:
        """The sheet's tables by name (`quillfen.tables.Table`)."""
        return self._tables

    def add_table(self, name: str, ref: str, *, style: str | None = "TableStyleMedium9", header: bool = True,
                  totals: bool = False, columns: list[str] | None = None) -> Table:
        """Makes the cells `ref` a table named `name` (unique in the workbook, among tables and
        defined names). Its column names are `columns`, else those of the header row's cells
        (which are set to the names given). Returns it."""
        self.parent._check_changeable()
        table = Table(name, ref, style=style, header=header, totals=totals, columns=columns)
        self._check_table_name(table.name)
        bounds = table.bounds
        for other in self._tables.values():
            if _overlap(bounds, other.bounds):
                raise ValueError("table %r at %s overlaps table %r at %s" % (name, table.ref, other.name, other.ref))
        for merged in self.merged_cells:
            try:
                if _overlap(bounds, cell_range(merged)):
                    raise ValueError("table %r at %s overlaps the merged range %s" % (name, table.ref, merged))
            except TypeError:
                continue
        if header:
            table.columns = self._header_names(table, columns)
        table.check()
        self._write_header(table)
        mark(self, "tableParts")
        self._tables[table.name] = table
        return table

    def _write_header(self, table: Table) -> None:
        """The header cells hold the column names, as spreadsheet programs require."""
        if not table.header or self.parent.write_only:
            return
        min_row, min_col = table.bounds[:2]
        for offset, column in enumerate(table.columns):
            cell = self._cell_at(min_row, min_col + offset)
            if cell.value != column:
                cell.value = column

    def _check_table_name(self, name: str) -> None:
        folded = name.casefold()
        wb = self.parent
        for ws in wb._sheets:
            for scope in (getattr(ws, "_tables", {}), getattr(ws, "defined_names", {})):
                if any(other.casefold() == folded for other in scope):
                    raise ValueError("table name %r is taken in the workbook (by %r of sheet %r)"
                                     % (name, next(o for o in scope if o.casefold() == folded), ws.title))
        if any(other.casefold() == folded for other in wb.defined_names):
            raise ValueError("table name %r is taken by a defined name of the workbook" % name)

    def _header_names(self, table: Table, columns: list[str] | None) -> list[str]:
        """The column names of a new table with a header row: those given, or those the
        header cells hold (made unique, none empty)."""
        min_row, min_col, _max_row, max_col = table.bounds
        if columns is not None:
            return table.columns
        if self.parent.write_only:
            raise ValueError("table %r: a write-only sheet cannot read its header row: give the column names, "
                             "add_table(..., columns=[...])" % table.name)
        names: list[str] = []
        taken: set[str] = set()
        for offset in range(max_col - min_col + 1):
            value = self._cell_at(min_row, min_col + offset).value
            name = "" if value is None else str(value).strip() if not isinstance(value, str) else value
            if not name.strip():
                name = "Column%d" % (offset + 1)
            base, number = name, 2
            while name.casefold() in taken:
                name, number = "%s%d" % (base, number), number + 1
            taken.add(name.casefold())
            names.append(name)
        return names

    # -------------------------------------------------------------- validation and conditional formats

    @property
    def validations(self) -> FeatureList[DataValidation]:
        """The sheet's data validations (`quillfen.validation.DataValidation`)."""
        return self._validations

    def add_validation(self, ref: str, kind: str, *, values: list[Any] | None = None, formula: str | None = None,
                       operator: str | None = None, minimum: Bound = None, maximum: Bound = None,
                       allow_blank: bool = True, prompt: str | None = None, error: str | None = None,
                       error_style: str = "stop", prompt_title: str | None = None,
                       error_title: str | None = None) -> DataValidation:
        """Limits what the cells `ref` accept (see `DataValidation`). Returns the validation."""
        self.parent._check_changeable()
        validation = DataValidation(ref, kind, values=values, formula=formula, operator=operator, minimum=minimum,
                                    maximum=maximum, allow_blank=allow_blank, prompt=prompt, error=error,
                                    error_style=error_style, prompt_title=prompt_title, error_title=error_title)
        mark(self, "dataValidations")
        self._validations.append(validation)
        return validation

    @property
    def conditional_formats(self) -> FeatureList[ConditionalFormat]:
        """The sheet's conditional formats as (ref, rule) pairs, first the rule that wins."""
        return self._conditional_formats

    def add_conditional_format(self, ref: str, rule: Rule) -> ConditionalFormat:
        """Formats the cells `ref` by `rule` (a rule of `quillfen.formatting`), after the
        rules the sheet has. Returns the (ref, rule) pair."""
        self.parent._check_changeable()
        found = _conditional_format((ref, rule))
        mark(self, "conditionalFormatting")
        self._conditional_formats.append(found)
        return found

    # -------------------------------------------------------------- outlines

    def group_rows(self, first: int, last: int | None = None, *, hidden: bool = False) -> None:
        """Groups the rows `first` to `last` one outline level deeper (up to 7); with `hidden`
        the group is collapsed."""
        self.parent._check_changeable()
        if not isinstance(self.row_dimensions, RowDimensions):
            raise TypeError("sheet %r is write-only: its rows are written as they are appended" % self.title)
        self._group(self.row_dimensions, _line(first, True), _line(first if last is None else last, True),
                    hidden, bool(getattr(self.sheet_properties, "summary_below", True)), str)

    def group_columns(self, first: str | int, last: str | int | None = None, *, hidden: bool = False) -> None:
        """Groups the columns `first` to `last` ("B", "D", or their numbers) one outline level
        deeper (up to 7); with `hidden` the group is collapsed."""
        self.parent._check_changeable()
        self._group(self.column_dimensions, _line(first, False), _line(first if last is None else last, False),
                    hidden, bool(getattr(self.sheet_properties, "summary_right", True)), column_letter)

    def _group(self, dimensions: Any, first: int, last: int, hidden: bool, after: bool, key: Any) -> None:
        if not isinstance(hidden, bool):
            raise TypeError("hidden is True or False, not %s" % type(hidden).__name__)
        if first > last:
            raise ValueError("a group runs from its first line to its last: %d comes after %d" % (first, last))
        lines = range(first, last + 1)
        as_key = (lambda n: n) if key is str else key
        for line in lines:
            if dimensions[as_key(line)].outline_level >= MAX_OUTLINE_LEVEL:
                raise ValueError("line %s is at the deepest outline level, %d" % (as_key(line), MAX_OUTLINE_LEVEL))
        for line in lines:
            dims = dimensions[as_key(line)]
            dims.outline_level += 1
            if hidden:
                dims.hidden = True
        summary = last + 1 if after else first - 1
        if hidden and 1 <= summary <= (MAX_ROW if key is str else MAX_SHEET_COLUMN):
            dimensions[as_key(summary)].collapsed = True

    # -------------------------------------------------------------- protection and printing

    @property
    def protection(self) -> SheetProtection:
        """The sheet's protection (`quillfen.protection.SheetProtection`)."""
        return self._protection

    def protect(self, password: str | None = None, **allowed: bool) -> None:
        """Protects the sheet, with `password` if given: its locked cells cannot be changed.
        `allowed` says what its users may still do (format_cells=True, insert_rows=True,
        sort=True, autofilter=True, select_locked_cells=False...; see
        `quillfen.protection.SHEET_PERMISSIONS`)."""
        self.parent._check_changeable()
        self._set_protection(SheetProtection(True, password, **allowed))  # checked whole before anything changes

    def unprotect(self) -> None:
        """Takes the sheet's protection (its password and permissions) away."""
        self.parent._check_changeable()
        self._set_protection(SheetProtection())

    def _set_protection(self, fresh: SheetProtection) -> None:
        # In place: the protection read from a file keeps what it was read from.
        for name in fresh._FIELDS:
            setattr(self._protection, name, getattr(fresh, name))

    @property
    def protected(self) -> bool:
        return self._protection.enabled

    @property
    def page_setup(self) -> PageSetup:
        """How the sheet prints (`quillfen.printing.PageSetup`)."""
        return self._page_setup

    @page_setup.setter
    def page_setup(self, value: PageSetup) -> None:
        if not isinstance(value, PageSetup):
            raise TypeError("a sheet's page setup is a PageSetup, not %s" % type(value).__name__)
        _carry_source(self._page_setup, value)
        self._page_setup = value

    @property
    def margins(self) -> PageMargins:
        """The printed page's margins in inches (`quillfen.printing.PageMargins`)."""
        return self._margins

    @margins.setter
    def margins(self, value: PageMargins) -> None:
        if not isinstance(value, PageMargins):
            raise TypeError("a sheet's margins are PageMargins, not %s" % type(value).__name__)
        _carry_source(self._margins, value)
        self._margins = value

    @property
    def print_gridlines(self) -> bool:
        """Whether the gridlines are printed."""
        return self._page_setup.gridlines

    @print_gridlines.setter
    def print_gridlines(self, value: bool) -> None:
        self._page_setup.gridlines = value

    # -------------------------------------------------------------- ranges

    def _edit_report_ranges(self, edit: CellEdit, host: bool) -> None:
        """Makes the sheet's features follow an edit of the cells of a sheet (rows or columns
        inserted or deleted, a range moved): `host` says whether this sheet is the one edited.
        Charts' series and the formulas of validations and conditional formats may point into
        any sheet; anchors and ranges are of this sheet, and follow only when it is edited.
        A table, validation or format whose cells are all gone goes with them, and so do a
        series whose values are gone and a chart whose series are."""
        def formula(text: str) -> str:
            return edit.reference(text, host)
        self._charts[:] = [chart for chart in self._charts
                           if not isinstance(chart, Chart) or _follow_series(chart, edit)]
        self._edit_report_formulas(formula, charts=False)
        if not host:
            return
        moved = [_follow_anchor(item, edit) for item in [*self._images, *self._charts]]
        kept = [(index, moved_anchor(data, edit)) for index, data in self._kept_anchors]
        if any(moved) or kept != self._kept_anchors:
            self._kept_anchors = kept
            if self._drawing is not None:
                self._drawing["moved"] = True  # its anchors are no longer as read
        for table in list(self._tables.values()):
            names = table.columns
            if not _follow_table(table, edit):
                del self._tables[table.name]
            elif table.columns != names:
                self._write_header(table)
        self._validations[:] = [validation for validation in self._validations
                                if _follow_sqref(validation, edit)]
        formats = []
        for pair in self._conditional_formats:
            ref = edit.sqref(pair.ref)
            if ref is not None:
                formats.append(pair if ref == pair.ref else pair._replace(ref=ref))
        self._conditional_formats[:] = formats

    def _copy_reports(self, target: SheetReports) -> None:
        """Gives `target`, a copy of this sheet, copies of its features: their references to
        cells stay as they are, a table takes the first free name of its own followed by
        "_2", "_3"... Charts quillfen does not model are not copied."""
        for image in self._images:
            target._images.append(_placed_copy(image))
        for chart in self._charts:
            if isinstance(chart, Chart):
                target._charts.append(_placed_copy(chart))
        for table in self._tables.values():
            copied = copy.deepcopy(table)
            copied.name = self._free_table_name(table.name)
            target._tables[copied.name] = copied
        target._validations[:] = copy.deepcopy(list(self._validations))
        target._conditional_formats[:] = copy.deepcopy(list(self._conditional_formats))
        for name in ("_protection", "_page_setup", "_margins"):
            setattr(target, name, copy.deepcopy(getattr(self, name)))

    def _free_table_name(self, name: str) -> str:
        number = 2
        while True:
            candidate = "%s_%d" % (name[:255 - 12], number)
            try:
                self._check_table_name(candidate)
            except ValueError:
                number += 1
                continue
            return candidate

    def _edit_report_formulas(self, edit: Callable[[str], str], charts: bool = True) -> None:
        """Applies `edit` to the formulas and references of the sheet's features (a sheet
        renamed; without `charts`, to those of validations and conditional formats only). One
        read from a file and untouched stays so, the element it was read from following the
        edit (a chart's part follows it when it is saved as it was read)."""
        for chart in self._charts if charts else ():
            if isinstance(chart, Chart):
                _edited(chart, [(series, name) for series in chart.series for name in ("values", "categories", "name")
                                if isinstance(getattr(series, name), Reference)], edit)
        for validation in self._validations:
            _edited(validation, [(validation, name) for name in ("formula", "minimum", "maximum")
                                 if isinstance(getattr(validation, name), str)], edit)
        for _ref, rule in self._conditional_formats:
            _edited(rule, [(rule, name) for name in _RULE_FORMULAS
                           if isinstance(getattr(rule, name, None), (str, list))], edit)


# The fields of conditional format rules that may hold formulas (text values: "$B$1", '"done"').
_RULE_FORMULAS = ("value", "value2", "formula", "start_value", "mid_value", "end_value", "min_value", "max_value",
                  "values")
# Elements whose text is a formula, in the elements features are read from.
_FORMULA_TAGS = frozenset(("formula", "formula1", "formula2"))


def _edited_value(value: Any, edit: Callable[[str], str]) -> Any:
    """A field's value after `edit`: a formula's text, a reference, or a list of values."""
    if isinstance(value, Reference):
        new = edit(str(value))
        return value if new == str(value) else Reference.parse(new)
    if isinstance(value, list):
        return [_edited_value(item, edit) for item in value]
    return edit(value) if isinstance(value, str) else value


def _edited(owner: Feature, fields: list[tuple[Any, str]], edit: Callable[[str], str]) -> None:
    untouched = owner._untouched
    changed = False
    for holder, name in fields:
        value = getattr(holder, name)
        new = _edited_value(value, edit)
        if new != value:
            setattr(holder, name, new)
            changed = True
    if not (changed and untouched):
        return
    source = owner._source
    if isinstance(source, ET.Element):
        for node in source.iter():
            if not isinstance(node.tag, str):
                continue
            tag = node.tag.rpartition("}")[2]
            if node.text and tag in _FORMULA_TAGS:
                node.text = edit(node.text)
            elif tag == "cfvo" and node.get("val"):  # a threshold of a colour scale, data bar or icon set
                node.set("val", edit(node.get("val", "")))
    object.__setattr__(owner, "_read", owner._state())


_SERIES_REFERENCES = ("values", "categories", "name")


def _follow_series(chart: Chart, edit: CellEdit) -> bool:
    """A chart's series references after an edit: a series whose values are gone goes, a
    category or name reference that is gone is dropped. False when the chart had series and
    has none left."""
    had = bool(chart.series)
    fields = [(series, name) for series in chart.series for name in _SERIES_REFERENCES
              if isinstance(getattr(series, name), Reference)]
    gone = [(series, name) for series, name in fields if not _still_cells(edit.reference(str(getattr(series, name))))]
    lost = {(id(series), name) for series, name in gone}
    _edited(chart, [(series, name) for series, name in fields if (id(series), name) not in lost], edit.reference)
    for series, name in gone:
        if name != "values":
            setattr(series, name, None)
    if any(name == "values" for _series, name in gone):
        dropped = {id(series) for series, name in gone if name == "values"}
        chart.series[:] = [series for series in chart.series if id(series) not in dropped]
    return bool(chart.series) or not had


def _still_cells(text: str) -> bool:
    try:
        Reference.parse(text)
    except ValueError:
        return False
    return True


def _placed_copy[P: (Image, Chart)](item: P) -> P:
    """A copy of an image or chart, at the size it has now."""
    if isinstance(item, Image):
        return Image(item.data, item.anchor, width=item.width, height=item.height)
    copied = copy.deepcopy(item)
    object.__setattr__(copied, "_size", item._dimensions())
    return copied


def _follow_anchor(item: Image | Chart | KeptChart, edit: CellEdit) -> bool:
    """An image or chart follows its top left cell (one whose cell is deleted goes to the first
    cell after the deletion). One read from a file anchored at two cells has both follow, and
    sizes with the rows and columns between them, as in a spreadsheet program; another keeps
    its size in pixels. Whether the anchor it was read with moved."""
    row, column = coordinate_to_tuple(item.anchor)
    to = moved_cell(edit, row, column)
    source = getattr(item, "_source", None)
    untouched = item._untouched
    read = source.get("anchor") if isinstance(source, dict) else None
    moved = moved_anchor(read, edit) if isinstance(read, bytes) else read
    span = getattr(item, "_measure" if isinstance(item, Placed) else "_size", None)
    if isinstance(span, Span) and moved != read:
        span.move(edit)
    elif to != (row, column) and isinstance(item, Placed):
        object.__setattr__(item, "_size", item._dimensions())  # no longer measured from its cells
    if to != (row, column):
        item.anchor = coordinate_of(*to)
    if moved == read:
        return False
    assert isinstance(source, dict)
    source["anchor"] = moved
    if untouched and isinstance(item, Placed):
        object.__setattr__(item, "_read", item._state())  # written as read, where it now is
    return True


def _follow_table(table: Table, edit: CellEdit) -> bool:
    """A table's range after an edit, its columns' names following their columns (one
    inserted inside it is named as a new one is); False when it is gone, or has no row of data
    left."""
    ref = edit.range_text(table.ref)
    if ref is None:
        return False
    if ref == table.ref:
        return True
    min_row, min_col, _max_row, max_col = table.bounds
    names = table.columns
    table.ref = ref
    if table.width != len(names):
        first = table.bounds[1]
        placed: dict[int, str] = {}
        for column, name in zip(range(min_col, max_col + 1), names):
            to = edit.cell(min_row, column)
            if to is not None:
                placed[to[1] - first] = name
        taken = {name.casefold() for name in placed.values()}
        fresh = (name for name in ("Column%d" % n for n in count(1)) if name.casefold() not in taken)
        table.columns = [placed[index] if index in placed else next(fresh) for index in range(table.width)]
    try:
        table.check()
    except ValueError:
        return False
    return True


def _follow_sqref(validation: DataValidation, edit: CellEdit) -> bool:
    ref = edit.sqref(validation.ref)
    if ref is not None and ref != validation.ref:
        validation.ref = ref
    return ref is not None


def _carry_source(old: Feature, new: Feature) -> None:
    """A replacement of an object read from a file keeps what that was read from, so that what
    the model does not hold of it stays."""
    source = getattr(old, "_source", None)
    if source is not None and getattr(new, "_source", None) is None:
        object.__setattr__(new, "_source", source)
        object.__setattr__(new, "_read", old._read)
