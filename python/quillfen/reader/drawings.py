"""Reading the parts a worksheet points at for its report features: the drawing with its
images and charts, and the tables.

What the model holds comes back as its objects (`Image`, `Chart`, `KeptChart`, `Table`), each
noting the part and drawing anchor it was read from; what it does not hold (shapes, text
boxes, controls, linked pictures, tables it cannot read) is kept in its place, to be written
back as it was.
"""

import xml.etree.ElementTree as ET
from collections.abc import Callable, Mapping
from typing import Any

from ..constants import CHART_NS, DOC_REL_NS, DRAWING_NS, MAIN_NS, STRICT_DOC_REL_NS, XDR_NS
from ..model.anchors import EMU_PER_PIXEL, Span, corner_value
from ..model.charts import KeptChart
from ..model.images import Image
from ..model.tables import Table
from ..package import Package, Relationship
from ..package.errors import damaged, parse_xml
from ..package.xmlparts import Layout
from ..utils.cells import coordinate_of
from .charts import chart_kind, read_chart

__all__ = ["read_sheet_objects"]

_M = "{%s}" % MAIN_NS
_X = "{%s}" % XDR_NS
_A = "{%s}" % DRAWING_NS
_R_IDS = ("{%s}id" % DOC_REL_NS, "{%s}id" % STRICT_DOC_REL_NS)
_R_EMBED = "{%s}embed" % DOC_REL_NS
_ANCHORS = (_X + "twoCellAnchor", _X + "oneCellAnchor")
Rels = Mapping[str | None, Relationship]


def _rel_id(element: ET.Element) -> str | None:
    return next((element.get(name) for name in _R_IDS if element.get(name)), None)


def _part(rels: Rels, rel_id: str | None, package: Package) -> Relationship | None:
    rel = rels.get(rel_id)
    return rel if rel is not None and not rel.external and rel.target in package else None


def _root(package: Package, part: str) -> ET.Element | None:
    """The root of a part, or None when it is not well-formed (a document type declaration is
    refused, as in every part)."""
    with damaged(part):
        try:
            return parse_xml(package.read(part))
        except ET.ParseError:
            return None


def read_sheet_objects(ws: Any, package: Package) -> set[str]:
    """Reads the drawing and tables of the loaded editable sheet `ws`. Returns the names of the
    parts taken into the model."""
    rels = {rel.id: rel for rel in package.relationships(ws._part)} if ws._part else {}
    taken = _read_drawing(ws, package, rels)
    taken |= _read_tables(ws, package, rels)
    return taken


# ------------------------------------------------------------------ the drawing

def _extent(anchor: ET.Element, shape: ET.Element) -> tuple[int, int] | None:
    """(width, height) in pixels that a one-cell anchor, or the shape itself, gives."""
    for ext in (anchor.find(_X + "ext"), shape.find("%sspPr/%sxfrm/%sext" % (_X, _A, _A))):
        if ext is not None:
            try:
                cx, cy = int(ext.get("cx", "0")), int(ext.get("cy", "0"))
            except ValueError:
                continue
            if cx > 0 and cy > 0:
                return max(1, round(cx / EMU_PER_PIXEL)), max(1, round(cy / EMU_PER_PIXEL))
    return None


def _measure(ws: Any, anchor: ET.Element) -> Span | None:
    """What measures an object anchored at two cells (it sizes with the rows and columns
    between them)."""
    start, end = anchor.find(_X + "from"), anchor.find(_X + "to")
    if anchor.tag != _X + "twoCellAnchor" or start is None or end is None:
        return None
    return Span(ws, start, end)


def _placed(item: Any, measure: Span | None, extent: tuple[int, int] | None) -> None:
    if measure is not None:
        object.__setattr__(item, "_size", None)
        object.__setattr__(item, "_measure", measure)
    elif extent is not None:
        item.width, item.height = extent


def _read_anchor(ws: Any, package: Package, rels: Rels, anchor: ET.Element) -> Any:
    """The image or chart an anchor places, or None when the model does not hold it."""
    if anchor.tag not in _ANCHORS:
        return None
    start = anchor.find(_X + "from")
    shapes = [child for child in anchor if child.tag in (_X + "pic", _X + "graphicFrame")]
    if start is None or len(shapes) != 1:
        return None
    shape = shapes[0]
    cell = coordinate_of(corner_value(start, "row") + 1, corner_value(start, "col") + 1)
    measure, extent = _measure(ws, anchor), _extent(anchor, shape)
    if measure is None and extent is None:
        return None
    if shape.tag == _X + "pic":
        blip = shape.find("%sblipFill/%sblip" % (_X, _A))
        rel = _part(rels, blip.get(_R_EMBED) if blip is not None else None, package)
        if rel is None:
            return None
        image = Image(package.read(rel.target), cell)
        _placed(image, measure, extent)
        return image, rel
    frame = shape.find("%sgraphic/%sgraphicData/{%s}chart" % (_A, _A, CHART_NS))
    rel = _part(rels, _rel_id(frame) if frame is not None else None, package)
    root = _root(package, rel.target) if rel is not None else None
    if rel is None or root is None:
        return None
    try:
        chart: Any = read_chart(root)
        chart.anchor = cell
        _placed(chart, measure, extent)
    except (TypeError, ValueError):
        fixed = extent or (1, 1)
        chart = KeptChart(chart_kind(root) or "chart", cell, measure or (lambda: fixed))
    return chart, rel


def _read_drawing(ws: Any, package: Package, sheet_rels: Rels) -> set[str]:
    element = ws._pending.pop("drawing", None)
    if element is None:
        return set()
    rel = _part(sheet_rels, _rel_id(element), package)
    if rel is None:
        ws._kept["drawing"] = element  # pointing nowhere: kept as it is
        return set()
    # The drawing as read: its part, the relationship to it, its layout (None when it could
    # not be read), and the images and charts in it with the relationships they own.
    ws._drawing = {"rel": rel.id, "part": rel.target, "layout": None, "items": 0, "owned": set()}
    with damaged(rel.target):
        try:
            layout = Layout.of(package.read(rel.target))
        except (ET.ParseError, ValueError, SyntaxError):
            return set()  # kept whole; nothing can be added to it
    ws._drawing["layout"] = layout
    rels = {item.id: item for item in package.relationships(rel.target)}
    taken = {rel.target}
    for index, child in enumerate(layout.children):
        try:
            found = _read_anchor(ws, package, rels, layout.element(child))
        except (ET.ParseError, TypeError, ValueError):
            found = None
        if found is None:
            ws._kept_anchors.append((index, child.data))
            continue
        item, item_rel = found
        item._source = {"owner": rel.target, "index": index, "anchor": child.data, "rel": item_rel.id,
                        "part": item_rel.target}
        if isinstance(item, Image):
            item._keep(item._source)
            ws.images.append(item)
        else:
            if not isinstance(item, KeptChart):
                item._keep(item._source)
            ws.charts.append(item)
        ws._drawing["items"] += 1
        ws._drawing["owned"].add(item_rel.id)
        taken.add(item_rel.target)
    return taken


# ------------------------------------------------------------------ tables

def _read_table(root: ET.Element) -> Table:
    columns = [node.get("name", "") for node in root.iter(_M + "tableColumn")]
    style = root.find(_M + "tableStyleInfo")
    try:
        totals = int(root.get("totalsRowCount", "0")) > 0
        header = int(root.get("headerRowCount", "1")) > 0
    except ValueError:
        raise ValueError("row counts that are not numbers") from None
    table = Table(root.get("displayName") or root.get("name") or "", root.get("ref") or "",
                  style=style.get("name") if style is not None else None, header=header, totals=totals,
                  columns=columns)
    table.check()
    return table


def _read_tables(ws: Any, package: Package, sheet_rels: Rels) -> set[str]:
    element = ws._pending.pop("tableParts", None)
    taken: set[str] = set()
    for index, node in enumerate(element.findall(_M + "tablePart") if element is not None else ()):
        rel = _part(sheet_rels, _rel_id(node), package)
        root = _root(package, rel.target) if rel is not None else None
        try:
            if rel is None or root is None:
                raise ValueError("a table part that cannot be read")
            table = _read_table(root)
        except (TypeError, ValueError):
            ws._kept_tables.append(_rel_id(node))
            continue
        table._keep({"owner": ws._part, "index": index, "rel": rel.id, "part": rel.target})
        ws.tables[table.name] = table
        ws._tables_read.append(rel.id)
        taken.add(rel.target)
    return taken
