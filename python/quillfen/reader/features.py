"""Reading the sheet features of `quillfen.features` from a workbook: the worksheet elements
around the cell data, the sheets' hyperlinks and comments, and the defined names.

Worksheet elements that stand on their own (conditional formats, validations, protection, page
setup...) are kept as read (a save keeps every element of a sheet's part it does not make
anew, `quillfen.writer.worksheet`); those that point at other parts the model does not hold
(drawings, tables, controls...) are named for the warning of a workbook saved as a new one.
"""

import xml.etree.ElementTree as ET
from collections.abc import Mapping
from typing import Any, cast

from ..model.comments import Comment
from ..constants import DOC_REL_NS, MAIN_NS, STRICT_DOC_REL_NS
from ..model.features import (AutoFilter, ColumnDimension, DefinedName, Hyperlink, RowDimensions, SheetProperties)
from ..utils.cells import column_letter, coordinate_to_tuple, range_boundaries
from ..utils.escapes import decode
from ..utils.etree import tree_key
from ..package.errors import damaged, parse_xml
from ..package import Package, Relationship
from .reports import REPORT_ELEMENTS, read_report_element

__all__ = ["KEPT_ELEMENTS", "REPEATED_ELEMENTS", "apply_element", "row_dimensions", "read_cell_features",
           "read_defined_names"]

_M = "{%s}" % MAIN_NS
_R_IDS = ("{%s}id" % DOC_REL_NS, "{%s}id" % STRICT_DOC_REL_NS)
# Worksheet elements the writer writes back as they were read.
KEPT_ELEMENTS = frozenset((
    "sheetViews", "sheetFormatPr", "sheetCalcPr", "sheetProtection", "protectedRanges", "scenarios",
    "sortState", "dataConsolidate", "customSheetViews", "phoneticPr", "conditionalFormatting",
    "dataValidations", "pageSetup", "rowBreaks", "colBreaks", "cellWatches", "ignoredErrors", "smartTags",
    "webPublishItems", "extLst"))
# Of those, the ones a worksheet may have several of, all kept in document order.
REPEATED_ELEMENTS = frozenset(("conditionalFormatting",))
# Attributes of a row element that the model keeps: the number comes from the row itself and
# the span of its cells from its cells, so neither is kept.
_ROW_OWN = frozenset(("r", "spans"))


def apply_element(ws: Any, element: ET.Element) -> None:
    """Takes a worksheet element other than the cell data into the model: the features are
    read, the elements the writer writes back are kept, and the names of the others are noted
    for the warning when the sheet is saved. As when a sheet is loaded by any reader, the last
    of an element counts."""
    tag = element.tag
    local = tag.rpartition("}")[2]
    if tag.startswith(_M):
        if local == "mergeCells":
            ws.merged_cells = [m.get("ref") for m in element.iter(_M + "mergeCell") if m.get("ref")]
            return
        if local == "dimension":
            ws.dimension_ref = element.get("ref")
            return
        if local == "cols":
            _read_columns(ws, element)
            return
        if local == "sheetPr":
            ws.sheet_properties = SheetProperties(element)
            return
        if local == "autoFilter":
            ws.auto_filter = AutoFilter(element)
            return
        if local in ("hyperlinks", "legacyDrawing", "drawing", "tableParts"):
            # Tied to the cells and to the sheet's other parts: taken in once both are there.
            ws._pending[local] = element
            return
        if local in REPORT_ELEMENTS and read_report_element(ws, element, local):
            return
        if local in REPEATED_ELEMENTS:
            kept = ws._kept.setdefault(local, [])
            # A read-only sheet replays its elements each time its rows are read again.
            if not (ws.parent.read_only and any(tree_key(element) == tree_key(e) for e in kept)):
                kept.append(element)
            return
        if local in KEPT_ELEMENTS:
            ws._kept[local] = element
            return
    if local not in ws._unsaved:
        ws._unsaved.append(local)


def _read_columns(ws: Any, element: ET.Element) -> None:
    dims = ws.column_dimensions
    dims.clear()
    for col in element.iter(_M + "col"):
        try:
            low, high = int(col.get("min", "")), int(col.get("max", col.get("min", "")))
            letters = column_letter(low)
            column_letter(high)
        except ValueError:
            continue  # a column that names no columns is no setting of any
        if low > high or any(run.min <= high and low <= run.max for run in dims.values()):
            continue  # overlapping runs would make the saved file one programs repair
        dims[letters] = ColumnDimension(low, high, {k: v for k, v in col.attrib.items() if k not in ("min", "max")})


def row_dimensions(found: Mapping[str, Mapping[str, str]]) -> RowDimensions:
    """The row dimensions of the model from those the readers collect: keyed by row number,
    with the attributes that are the row's own settings (no number, span or attribute of
    another namespace)."""
    dims = RowDimensions()
    for row, attrs in found.items():
        own = {name: value for name, value in attrs.items() if name not in _ROW_OWN and not name.startswith("{")}
        if own:
            dims[int(row)] = own
    return dims


# ------------------------------------------------------------------ hyperlinks and comments

def read_cell_features(ws: Any, package: Package) -> set[str]:
    """Gives the cells of the loaded editable sheet `ws` their hyperlinks and comments. Returns
    the names of the parts taken in (the comments, and the drawing that showed them)."""
    pending = ws._pending
    rels = {rel.id: rel for rel in package.relationships(ws._part)} if ws._part else {}
    links = pending.pop("hyperlinks", None)
    if links is not None:
        for link in links.iter(_M + "hyperlink"):
            _read_link(ws, link, rels)
    taken: set[str] = set()
    for rel in rels.values():
        if rel.kind == "comments" and not rel.external and rel.target in package:
            root = _parsed_or_none(package, rel.target)
            if root is None:
                continue  # left out, and so named in the warning
            _read_comments(ws, root)
            taken.add(rel.target)
    for rel in rels.values():
        if rel.kind == "drawing" and not rel.external and _empty_part(package, rel.target):
            # Some producers give every sheet with comments a drawing without shapes: leaving
            # it out loses nothing, and is no reason for a warning.
            taken.add(rel.target)
            if "drawing" in ws._unsaved:
                ws._unsaved.remove("drawing")
    drawing = pending.pop("legacyDrawing", None)
    if drawing is not None:
        ws._vml_id = _rel_id(drawing)  # the drawing the comments are shown in, among others
        target = rels.get(_rel_id(drawing))
        if taken and target is not None:
            taken.add(target.target)  # made again from the comments when saved
        elif "legacyDrawing" not in ws._unsaved:
            ws._unsaved.append("legacyDrawing")
    return taken


def _empty_part(package: Package, part: str) -> bool:
    if part not in package:
        return False
    root = _parsed_or_none(package, part)
    return root is not None and len(root) == 0


def _parsed_or_none(package: Package, part: str) -> ET.Element | None:
    """The root element of a part read leniently: None when the part is not well-formed. A
    document type declaration is refused (InvalidFileError), as in every part."""
    data = package.read(part)
    with damaged(part):
        try:
            return parse_xml(data)
        except ET.ParseError:
            return None


def _rel_id(element: ET.Element) -> str | None:
    return next((element.get(name) for name in _R_IDS if element.get(name)), None)


def _first_cell(ref: str | None) -> tuple[int, int] | None:
    try:
        min_col, min_row, _max_col, _max_row = range_boundaries(ref or "")
    except ValueError:
        return None
    return None if min_col is None or min_row is None else (min_row, min_col)


def _read_link(ws: Any, element: ET.Element, rels: Mapping[str | None, Relationship]) -> None:
    ref = element.get("ref")
    where = _first_cell(ref)
    if where is None:
        return
    rel = rels.get(_rel_id(element))
    target = rel.target if rel is not None and rel.external else None
    link = Hyperlink(ref, target, element.get("location"), element.get("tooltip"), element.get("display"))
    if link.target is None and link.location is None:
        return
    try:
        ws.cell(*where)._hyperlink = link
    except ValueError:
        return  # beyond the last cell of a sheet
    ws._links[where] = link


def _text_of(text: ET.Element) -> str:
    """The plain text of a comment's `text` element: its runs, without phonetic runs, with
    their `_xHHHH_` escapes undone as a cell's text has them."""
    parts: list[str] = []
    for child in text:
        if child.tag == _M + "t":
            parts.append(decode(child.text or ""))
        elif child.tag == _M + "r":
            parts.extend(decode(t.text or "") for t in child.iter(_M + "t"))
    return "".join(parts)


def _read_comments(ws: Any, root: ET.Element) -> None:
    authors = [author.text or None for author in root.iter(_M + "author")]  # "" for no author
    for note in root.iter(_M + "comment"):
        try:
            where = coordinate_to_tuple(note.get("ref", "").partition(":")[0])
        except ValueError:
            continue
        text = note.find(_M + "text")
        plain = _text_of(text) if text is not None else ""
        try:
            author_id = int(note.get("authorId", ""))
        except ValueError:
            author_id = -1
        try:
            comment = Comment(plain, authors[author_id] if 0 <= author_id < len(authors) else None)
        except ValueError:
            continue  # text XML cannot carry, from a damaged part
        if text is not None:
            comment._rich = (plain, text)
        try:
            ws.cell(*where)._comment = comment
        except ValueError:
            continue  # beyond the last cell of a sheet
        ws._notes[where] = comment


# ------------------------------------------------------------------ defined names

def read_defined_names(wb: Any, element: ET.Element, sheets: Mapping[int, Any]) -> bool:
    """Files the names of the workbook's `definedNames` element: those of one sheet's scope
    (`localSheetId`, a position in the workbook's sheet list) with that sheet in `sheets`
    (position -> sheet), the others with the workbook. Returns whether any was left out (a
    name of a sheet the workbook does not list, or one that is not valid); those are kept as
    read in `wb._unread_names`, written back when the names are."""
    left_out = False
    wb._unread_names = []
    for node in element:
        if not isinstance(node.tag, str) or node.tag.rpartition("}")[2] != "definedName":
            continue
        attrs = {k: v for k, v in node.attrib.items()
                 if k not in ("name", "localSheetId", "hidden") and k[:1] != "{"}
        try:
            defined = DefinedName(node.get("name", ""), node.text or "", False, **attrs)
            if "hidden" in node.attrib:
                # Kept as written, as the other attributes are (as the flag, "0" would hide it).
                defined.attrs["hidden"] = node.attrib["hidden"]
            scope = wb.defined_names
            if "localSheetId" in node.attrib:
                scope = sheets[int(cast(str, node.get("localSheetId")))].defined_names
            scope[defined.name] = defined
        except (KeyError, TypeError, ValueError):
            left_out = True
            wb._unread_names.append(node)
    return left_out
