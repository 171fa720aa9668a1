"""Writing the sheet features of `quillfen.features`: the worksheet's elements around its cell
data in schema order (the model's own and those kept as read), its relationships, and the
comments part with the drawing that shows the comments.

What a sheet's part points at is fixed before the part is written (`SheetPlan`), so that the
package's content types, written first, name every part.
"""

import re
import xml.etree.ElementTree as ET
from collections.abc import Callable, Set as AbstractSet
from typing import Any, cast

from ..model.comments import Comment
from ..constants import DOC_REL_NS, MAIN_NS, XML_NS
from ..model.features import Hyperlink
from ..model.styles import _color_attrs
from ..package import Package, Relationships
from ..utils.cells import column_index, coordinate_of
from ..utils.patterns import lazy
from ..utils.escapes import encode
from .drawings import ObjectPlan
from .reports import report_elements, sheet_format_outline, sheet_pr_outline
from .xml import element, plain_copy

__all__ = ["SheetPlan", "worksheet_children", "made_elements", "comments_element", "vml_drawing",
           "defined_names_element", "ORDER", "COMMENTS_TYPE", "VML_TYPE"]

_M = "{%s}" % MAIN_NS
_R_ID = "{%s}id" % DOC_REL_NS
HYPERLINK_REL = DOC_REL_NS + "/hyperlink"
COMMENTS_REL = DOC_REL_NS + "/comments"
VML_REL = DOC_REL_NS + "/vmlDrawing"
COMMENTS_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.comments+xml"
VML_TYPE = "application/vnd.openxmlformats-officedocument.vmlDrawing"

# The children of a worksheet in the order its schema gives them.
ORDER = (
    "sheetPr", "dimension", "sheetViews", "sheetFormatPr", "cols", "sheetData", "sheetCalcPr",
    "sheetProtection", "protectedRanges", "scenarios", "autoFilter", "sortState", "dataConsolidate",
    "customSheetViews", "mergeCells", "phoneticPr", "conditionalFormatting", "dataValidations",
    "hyperlinks", "printOptions", "pageMargins", "pageSetup", "headerFooter", "rowBreaks", "colBreaks",
    "customProperties", "cellWatches", "ignoredErrors", "smartTags", "drawing", "legacyDrawing",
    "legacyDrawingHF", "drawingHF", "picture", "oleObjects", "controls", "webPublishItems", "tableParts",
    "extLst")
# How an element kept as read is copied before it is changed and written.
Copy = Callable[[ET.Element], ET.Element]


def _live(ws: Any, registry: dict[tuple[int, int], Any], slot: str) -> list[tuple[tuple[int, int], Any]]:
    """((row, column), feature) of the registered hyperlinks or comments that are still on a
    cell of the sheet, by position."""
    cells = ws._cells
    found: list[tuple[tuple[int, int], Any]] = []
    for key, feature in sorted(registry.items()):
        cell = cells.get(key)
        if cell is not None and getattr(cell, slot, None) is feature:
            found.append((key, feature))
    return found


class SheetPlan:
    """The hyperlinks and comments of a sheet and the relationships and parts they take, in the
    package being saved. Those of an editable sheet are on its cells (`_links`, `_notes`); a
    write-only sheet's cells are gone by the time it is saved, and the sheet writers kept them.

    `rels` are the sheet's relationships in that package (those read with it, for a sheet read
    from a file): the links' and the comments' are made anew there when `links` and
    `comments` say so, and left as they are otherwise (its drawing and tables likewise, with
    `drawing` and `tables`). `number` numbers the sheet's block of drawing shape ids."""

    def __init__(self, ws: Any, number: int, rels: Relationships, package: Package,
                 links: bool = True, comments: bool = True, drawing: bool = True, tables: bool = True) -> None:
        self.number = number
        # The drawing and tables the sheet points at (`writer.drawings`), planned anew when
        # `drawing` and `tables` say so.
        self.objects = ObjectPlan(ws, rels, package, drawing, tables)
        self.links: list[Hyperlink]
        self.comments: list[tuple[str, Comment]]
        if hasattr(ws, "_links"):
            self.links = [link for _key, link in _live(ws, ws._links, "_hyperlink")]
            self.comments = [(coordinate_of(*key), note) for key, note in _live(ws, ws._notes, "_comment")]
        else:
            self.links = [link for link in ws._hyperlinks if isinstance(link, Hyperlink) and link.ref]
            self.comments = [(ref, note) for ref, note in getattr(ws, "_comments", None) or ()
                             if isinstance(note, Comment)]
        self.rels = rels
        self.link_ids: dict[int, str] = {}  # id(link) -> relationship id of its target
        if links:
            self._relate_links()
        self.comments_part: str | None = None
        self.vml_part: str | None = None
        self.vml_id: str | None = None
        self.vml_source: bytes | None = None  # the drawing read with the sheet, when it had one
        if comments:
            self._relate_comments(ws, package)

    def _relate_links(self) -> None:
        known: dict[str, str | None] = {}
        for rel in self.rels.of_kind("hyperlink"):
            known.setdefault(rel.target, rel.id)
            self.rels.remove(cast(str, rel.id))
        for link in self.links:
            if link.target is not None:
                rel_id = known.pop(link.target, None)
                self.link_ids[id(link)] = self.rels.add(HYPERLINK_REL, link.target, True, rel_id)

    def _relate_comments(self, ws: Any, package: Package) -> None:
        """The comments part, and the drawing that shows the comments: the sheet's own when it
        has one (the shapes in it that are not comments, form controls, stay), else a new one;
        none when there is nothing left to show."""
        old_comments = self.rels.of_kind("comments")
        for rel in old_comments:
            self.rels.remove(cast(str, rel.id))
        vml = self.rels.get(getattr(ws, "_vml_id", None))
        if vml is not None and vml.target in package:
            self.vml_source = package.read(vml.target)
        others = self.vml_source is not None and _other_shapes(self.vml_source)
        if self.comments:
            self.comments_part = old_comments[0].target if old_comments else package.free_name("xl/comments%d.xml")
            self.rels.add(COMMENTS_REL, self.comments_part, False, old_comments[0].id if old_comments else None)
        if vml is not None and (self.comments or others):
            self.vml_part, self.vml_id = vml.target, vml.id
        elif self.comments:
            self.vml_part = package.free_name("xl/drawings/vmlDrawing%d.vml")
            self.vml_id = self.rels.add(VML_REL, self.vml_part, False)
        elif vml is not None:
            self.rels.remove(cast(str, vml.id))


# ------------------------------------------------------------------ the worksheet's elements

def kept_copy(node: ET.Element) -> ET.Element | None:
    """A copy of an element kept as read, for writing back (`plain_copy`). Extensions that
    point at other parts (slicers, timelines...) are left out of an `extLst`: those parts are
    not written."""
    copy = plain_copy(node)
    if node.tag == _M + "extLst":
        for ext, original in zip(list(copy), list(node)):
            if any(key.startswith("{%s}" % DOC_REL_NS) for part in original.iter() for key in part.attrib):
                copy.remove(ext)
        if not len(copy):
            return None
    return copy


def _views(ws: Any, selected: bool, copy: Copy = plain_copy) -> ET.Element:
    kept = ws._kept.get("sheetViews")
    if kept is None:
        views = element(_M + "sheetViews", None, element(_M + "sheetView", {"workbookViewId": "0"}))
    else:
        views = copy(kept)
    # Only the active sheet's tab is selected: two selected tabs would group the sheets.
    for view in views.iter(_M + "sheetView"):
        view.attrib.pop("tabSelected", None)
        if selected:
            view.set("tabSelected", "1")
    return views


def _sheet_pr(ws: Any, copy: Copy = plain_copy) -> ET.Element | None:
    props = ws.sheet_properties
    node = copy(props._element) if props._element is not None else ET.Element(_M + "sheetPr")
    if props._tab_set:
        for tab in node.findall(_M + "tabColor"):
            node.remove(tab)
        if props.tabColor is not None:
            node.insert(0, ET.Element(_M + "tabColor", _color_attrs(props.tabColor)))
    sheet_pr_outline(ws, node)
    return node if len(node) or node.attrib else None


def _cols(ws: Any) -> ET.Element | None:
    runs = sorted((dims for dims in ws.column_dimensions.values() if dims), key=lambda dims: dims.min)
    if not runs:
        return None
    return element(_M + "cols", None, *(
        element(_M + "col", {"min": str(dims.min), "max": str(dims.max), **dims}) for dims in runs))


def _auto_filter(ws: Any, copy: Copy = plain_copy) -> ET.Element | None:
    auto = ws.auto_filter
    if auto.ref is None:
        return None
    kept = auto._element
    if kept is not None and kept.get("ref") == auto.ref:
        return copy(kept)
    return element(_M + "autoFilter", {"ref": auto.ref})


def _merged(ws: Any) -> ET.Element | None:
    if not ws.merged_cells:
        return None
    return element(_M + "mergeCells", {"count": str(len(ws.merged_cells))},
                   *(element(_M + "mergeCell", {"ref": ref}) for ref in ws.merged_cells))


def _hyperlinks(plan: SheetPlan) -> ET.Element | None:
    if not plan.links:
        return None
    return element(_M + "hyperlinks", None, *(
        element(_M + "hyperlink", {"ref": link.ref, _R_ID: plan.link_ids.get(id(link)), "location": link.location,
                                   "tooltip": link.tooltip, "display": link.display})
        for link in plan.links))


def _drawing(ws: Any, plan: SheetPlan | None, copy: Copy) -> ET.Element | None:
    drawing_id = plan.objects.drawing_id if plan is not None else None
    if drawing_id is not None:
        return element(_M + "drawing", {_R_ID: drawing_id})
    kept = ws._kept.get("drawing")  # one that points at no part: kept as it was read
    return copy(kept) if kept is not None and plan is not None and not plan.objects.fresh else None


def _table_parts(plan: SheetPlan | None) -> ET.Element | None:
    ids = plan.objects.table_ids if plan is not None else []
    if not ids:
        return None
    return element(_M + "tableParts", {"count": str(len(ids))},
                   *(element(_M + "tablePart", {_R_ID: rel_id}) for rel_id in ids))


Made = ET.Element | list[ET.Element] | None


def made_elements(ws: Any, dimension: str | None, selected: bool, plan: SheetPlan | None,
                  copy: Copy = plain_copy) -> dict[str, Made]:
    """The elements of the sheet that the model makes, by local name (None: the sheet has
    none; a list for an element the sheet may have several of); `sheetData` empty. `copy`
    copies the elements kept as read that they start from."""
    kept = ws._kept
    return {
        "sheetPr": _sheet_pr(ws, copy),
        "dimension": element(_M + "dimension", {"ref": dimension}),
        "sheetViews": _views(ws, selected, copy),
        "sheetFormatPr": sheet_format_outline(ws, copy(kept["sheetFormatPr"]) if "sheetFormatPr" in kept
                                              else element(_M + "sheetFormatPr", {"defaultRowHeight": "15"})),
        "cols": _cols(ws),
        "sheetData": element(_M + "sheetData"),
        "autoFilter": _auto_filter(ws, copy),
        "mergeCells": _merged(ws),
        "hyperlinks": _hyperlinks(plan) if plan is not None else None,
        **report_elements(ws, copy),
        "drawing": _drawing(ws, plan, copy),
        "legacyDrawing": element(_M + "legacyDrawing", {_R_ID: plan.vml_id})
        if plan is not None and plan.vml_id else None,
        "tableParts": _table_parts(plan),
    }


def worksheet_children(ws: Any, dimension: str | None, selected: bool, plan: SheetPlan | None) -> list[ET.Element]:
    """The children of the sheet's `worksheet` element in schema order, `sheetData` empty."""
    kept = ws._kept
    made = made_elements(ws, dimension, selected, plan)
    children: list[ET.Element] = []
    for name in ORDER:
        found: list[ET.Element | None]
        if name in made:
            one = made[name]
            found = one if isinstance(one, list) else [one]  # type: ignore[assignment]  # of elements
        else:
            read = kept.get(name, [])
            found = [kept_copy(node) for node in (read if isinstance(read, list) else [read])]
        children.extend(node for node in found if node is not None)
    return children


# ------------------------------------------------------------------ relationships and comments

def _comment_text(comment: Comment) -> ET.Element:
    rich = comment._rich
    if rich is not None and rich[0] == comment.text:
        return plain_copy(rich[1])
    text = comment.text
    space = {"{%s}space" % XML_NS: "preserve"} if text != text.strip() else None
    return element(_M + "text", None, element(_M + "t", space, text=encode(text)))


def comments_element(comments: list[tuple[str, Comment]]) -> ET.Element:
    """The comments part of [(coordinate, Comment)]."""
    authors = list(dict.fromkeys(comment.author or "" for _ref, comment in comments))
    return element(_M + "comments", None,
                   element(_M + "authors", None, *(element(_M + "author", text=name) for name in authors)),
                   element(_M + "commentList", None, *(
                       element(_M + "comment", {"ref": ref, "authorId": str(authors.index(comment.author or ""))},
                               _comment_text(comment))
                       for ref, comment in comments)))


_VML_ROOT = """<xml xmlns:v="urn:schemas-microsoft-com:vml" xmlns:o="urn:schemas-microsoft-com:office:office" \
xmlns:x="urn:schemas-microsoft-com:office:excel">
 <o:shapelayout v:ext="edit"><o:idmap v:ext="edit" data="%d"/></o:shapelayout>
"""
_NOTE_SHAPETYPE = """ <v:shapetype id="_x0000_t202" coordsize="21600,21600" o:spt="202" path="m,l,21600r21600,l21600,xe">
  <v:stroke joinstyle="miter"/><v:path gradientshapeok="t" o:connecttype="rect"/>
 </v:shapetype>
"""
_VML_SHAPE = """ <v:shape id="_x0000_s%d" type="#_x0000_t202" style="position:absolute;margin-left:59.25pt;\
margin-top:1.5pt;width:%spt;height:%spt;z-index:%d;visibility:hidden" fillcolor="#ffffe1" o:insetmode="auto">
  <v:fill color2="#ffffe1"/><v:shadow on="t" color="black" obscured="t"/><v:path o:connecttype="none"/>
  <v:textbox style="mso-direction-alt:auto"><div style="text-align:left"></div></v:textbox>
  <x:ClientData ObjectType="Note"><x:MoveWithCells/><x:SizeWithCells/>\
<x:Anchor>%d, 15, %d, 10, %d, 15, %d, 4</x:Anchor><x:AutoFill>False</x:AutoFill>\
<x:Row>%d</x:Row><x:Column>%d</x:Column></x:ClientData>
 </v:shape>
"""


def _points(value: Any) -> str:
    try:
        value = float(value)
    except (TypeError, ValueError):
        return "108"
    return "%g" % value if 0 < value < 10000 else "108"


def _note_position(ref: str) -> tuple[int, int]:
    """(row, column), counted from 0 as a note's anchor gives them, of a cell reference."""
    letters = ref.rstrip("0123456789")
    return int(ref[len(letters):]) - 1, column_index(letters) - 1


def _note_shapes(plan: SheetPlan, first_id: int, skip: AbstractSet[tuple[int, int]] = frozenset()) -> list[str]:
    """Note shapes for the plan's comments but those at the positions `skip`."""
    shapes: list[str] = []
    for index, (ref, comment) in enumerate(plan.comments):
        row, column = _note_position(ref)
        if (row, column) in skip:
            continue
        shapes.append(_VML_SHAPE % (first_id + len(shapes), _points(comment.width), _points(comment.height),
                                    index + 1, column + 1, max(row - 1, 0), column + 3, max(row - 1, 0) + 4,
                                    row, column))
    return shapes


def vml_drawing(plan: SheetPlan) -> bytes:
    """The legacy drawing that spreadsheet programs need to show the comments: one hidden
    note box per comment, numbered within the sheet's own block of shape ids. With the drawing
    the sheet was read with, its shapes that are not comments stay as they were, and the notes
    take new ids after theirs."""
    if plan.vml_source is not None:
        merged = _merged_vml(plan.vml_source, plan)
        if merged is not None:
            return merged
    shapes = _note_shapes(plan, 1024 * plan.number + 1)
    return ((_VML_ROOT % plan.number) + _NOTE_SHAPETYPE + "".join(shapes) + "</xml>").encode("ascii")


# A shape of a legacy drawing (shapes do not nest; groups hold theirs in v:group), and the
# kind of object it is.
_SHAPE = lazy(rb"<v:shape\b(?:[^>\"']|\"[^\"]*\"|'[^']*')*?(?:/>|>.*?</v:shape>)\s*", re.S)
_OBJECT_TYPE = lazy(rb"ObjectType\s*=\s*[\"']([^\"']*)[\"']")
_SHAPE_ID = lazy(rb"_x0000_s(\d+)")
_ROW = lazy(rb"<x:Row>\s*(\d+)\s*</x:Row>")
_COLUMN = lazy(rb"<x:Column>\s*(\d+)\s*</x:Column>")
_NOTE_TYPE = lazy(rb"<v:shapetype\b[^>]*\bid\s*=\s*[\"']_x0000_t202[\"']")


def _is_note(shape: bytes) -> bool:
    kind = _OBJECT_TYPE.search(shape)
    return kind is not None and kind.group(1) == b"Note"


def _other_shapes(vml: bytes) -> bool:
    """Whether a legacy drawing holds shapes other than the comments' notes."""
    return any(not _is_note(match.group()) for match in _SHAPE.finditer(vml))


def _merged_vml(vml: bytes, plan: SheetPlan) -> bytes | None:
    """The drawing `vml` with notes for the plan's comments: those it has for cells that still
    have a comment stay as they are, the others go, and new ones (with ids after those taken)
    are added. None when it is not a drawing of the usual shape (prefixes v, o, x)."""
    end = vml.rfind(b"</xml>")
    if end < 0 or b'xmlns:v="urn:schemas-microsoft-com:vml"' not in vml or b"xmlns:x=" not in vml:
        return None
    wanted = {_note_position(ref) for ref, _comment in plan.comments}
    kept: set[tuple[int, int]] = set()

    def keep(match: re.Match[bytes]) -> bytes:
        shape = match.group()
        if not _is_note(shape):
            return shape
        row, column = _ROW.search(shape), _COLUMN.search(shape)
        where = (int(row.group(1)), int(column.group(1))) if row and column else (-1, -1)
        if where in wanted and where not in kept:
            kept.add(where)
            return shape
        return b""

    body = _SHAPE.sub(keep, vml[:end])
    taken = [int(number) for number in _SHAPE_ID.findall(vml)]
    shapes = "".join(_note_shapes(plan, max([1024 * plan.number, *taken]) + 1, kept)).encode("ascii")
    if shapes and _NOTE_TYPE.search(body) is None:
        shapes = _NOTE_SHAPETYPE.encode("ascii") + shapes
    return body + shapes + vml[end:]


# ------------------------------------------------------------------ defined names

def _defined_name(defined: Any, local_id: str | None = None) -> ET.Element:
    attrs = {"name": defined.name, **defined.attrs, "localSheetId": local_id}
    return element(_M + "definedName", attrs, text=defined.attr_text)


def defined_names_element(wb: Any, sheets: list[Any]) -> ET.Element | None:
    """The workbook's `definedNames`: its own names, then those of each of the `sheets` (the
    sheets the workbook part lists, in order), or None without any."""
    names = [_defined_name(defined) for defined in wb.defined_names.values()]
    for index, ws in enumerate(sheets):
        names += [_defined_name(defined, str(index)) for defined in ws.defined_names.values()]
    return element(_M + "definedNames", None, *names) if names else None

