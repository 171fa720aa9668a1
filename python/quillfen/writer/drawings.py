"""The parts a worksheet points at for its report features: its drawing (images and charts
anchored at cells, with their media and chart parts) and its tables, with their relationships
and content types (`ObjectPlan`).

A sheet read from a file keeps what did not change: its drawing part while no image or chart
on it changed, each chart, media and table part it still has, and in a drawing that changed,
every anchor quillfen does not model (shapes, text boxes, controls) as it was, in its place.
"""

import xml.etree.ElementTree as ET
from typing import Any
from weakref import WeakKeyDictionary

from ..constants import (CHART_NS, CHART_REL, CHART_TYPE, DOC_REL_NS, DRAWING_NS, DRAWING_REL, DRAWING_TYPE,
                         IMAGE_REL, MAIN_NS, TABLE_REL, TABLE_TYPE, XDR_NS)
from ..model.anchors import EMU_PER_PIXEL
from ..model.charts import Chart, KeptChart
from ..model.images import IMAGE_TYPES, Image
from ..package import Package, Relationships
from ..package.errors import parse_xml
from ..package.xmlparts import DECLARATION, Layout, fragment
from ..utils.cells import coordinate_of, coordinate_to_tuple
from ..utils.patterns import lazy
from .charts import chart_element
from .xml import element, to_bytes

__all__ = ["ObjectPlan", "check_reports"]

_M = "{%s}" % MAIN_NS
_X = "{%s}" % XDR_NS
_A = "{%s}" % DRAWING_NS
_R = "{%s}" % DOC_REL_NS
_DRAWING_ROOT = (b'<xdr:wsDr xmlns:xdr="%s" xmlns:a="%s">' % (XDR_NS.encode(), DRAWING_NS.encode()), b"</xdr:wsDr>")
_SHAPE_ID = lazy(rb"<(?:[\w.-]+:)?cNvPr\b[^>]*?\sid\s*=\s*[\"'](\d+)[\"']")
_TABLE_ID = lazy(rb"<(?:[\w.-]+:)?table\b[^>]*?\sid\s*=\s*[\"'](\d+)[\"']")

# What one save has put in its package already: the media parts by their bytes' digest, and
# the ids that table parts take.
_MEDIA: "WeakKeyDictionary[Package, dict[bytes, str]]" = WeakKeyDictionary()
_TABLE_IDS: "WeakKeyDictionary[Package, set[int]]" = WeakKeyDictionary()


def check_reports(wb: Any) -> None:
    """ValueError for report features whose fields do not fit together, before anything is
    written: table names unique in the workbook, each table's columns and rows, each
    validation's rule, each chart's series."""
    names: set[str] = {name.casefold() for scope in [wb.defined_names, *(ws.defined_names for ws in wb._sheets)]
                       for name in scope}
    for ws in wb.worksheets:
        for table in getattr(ws, "tables", {}).values():
            table.check()
            if table.name.casefold() in names:
                raise ValueError("table name %r is used twice in the workbook (by a table or a defined name)"
                                 % table.name)
            names.add(table.name.casefold())
        for validation in getattr(ws, "validations", ()):
            validation.rule(wb.epoch)
        for _ref, rule in getattr(ws, "conditional_formats", ()):
            check = getattr(rule, "check", None)
            if check is not None:
                check()
        for chart in getattr(ws, "charts", ()):
            if isinstance(chart, Chart) and not chart.series:
                raise ValueError("a chart of sheet %r has no series" % ws.title)


class ObjectPlan:
    """The drawing and tables of a sheet in the package being saved: `drawing_id` and
    `table_ids` are the relationships the sheet's `drawing` and `tableParts` elements point
    at; `lost` names what a new package cannot carry over from the one read."""

    def __init__(self, ws: Any, rels: Relationships, package: Package, drawing: bool = True,
                 tables: bool = True) -> None:
        # A package made anew has none of the parts the sheet was read with.
        self.fresh = package.archive is None
        self._ws, self._rels, self._package = ws, rels, package
        self.lost: list[str] = []
        self._sources_seen: set[int] = set()
        read = None if self.fresh else ws._drawing
        self.drawing_id: str | None = read["rel"] if read is not None else None
        self.table_ids: list[str] = []
        if drawing:
            self.drawing_id = self._plan_drawing(read)
        if tables:
            self.table_ids = self._plan_tables()

    # -------------------------------------------------------------- the drawing

    def _source(self, item: Any, owner: str | None) -> dict[str, Any] | None:
        """What `item` was read from, when it was read from `owner` (this sheet's drawing or
        part) and is not there once already: else it is written as a new one."""
        source: dict[str, Any] | None = None if self.fresh else getattr(item, "_source", None)
        if source is None or source.get("owner") != owner or id(source) in self._sources_seen:
            return None
        self._sources_seen.add(id(source))
        return source

    def _plan_drawing(self, read: dict[str, Any] | None) -> str | None:
        ws = self._ws
        items = [*ws.images, *ws.charts]
        kept = [] if self.fresh else list(ws._kept_anchors)
        if self.fresh:
            self.lost += ["a %s chart" % item.kind for item in items if isinstance(item, KeptChart)]
            self.lost += ["shapes of the drawing"] * bool(ws._kept_anchors)
            items = [item for item in items if not isinstance(item, KeptChart)]
        if not items and not kept:
            if read is not None:
                self._rels.remove(read["rel"])
            return None
        owner = read["part"] if read is not None else None
        sources = [self._source(item, owner) for item in items]
        if read is not None and read["layout"] is None:
            if any(source is None for source in sources):
                raise ValueError("sheet %r: its drawing could not be read, so no image or chart can be added to it"
                                 % ws.title)
            return str(read["rel"])
        if read is not None and all(source is not None and item._untouched for item, source in zip(items, sources)) \
                and len(items) == read["items"] and not read.get("moved"):
            return str(read["rel"])  # nothing in it changed: kept as it is
        part = read["part"] if read is not None else self._package.free_name("xl/drawings/drawing%d.xml")
        rel_id = read["rel"] if read is not None else self._rels.add(DRAWING_REL, part)
        drawing_rels = self._package.relationships(part)
        layout: Layout | None = read["layout"] if read is not None else None
        prefixes = layout.prefixes if layout is not None else {XDR_NS: "xdr", DRAWING_NS: "a"}
        anchors: list[tuple[float, bytes]] = [(index, data) for index, data in kept]
        shape_id = max([1, *(int(n) for child in (layout.children if layout is not None else ())
                              for n in _SHAPE_ID.findall(child.data))])
        used: set[str] = set()
        for order, (item, source) in enumerate(zip(items, sources)):
            if source is not None and item._untouched:
                anchors.append((source["index"], source["anchor"]))
                used.add(source["rel"])
                continue
            shape_id += 1
            if isinstance(item, Image):
                target = source["rel"] if source is not None else self._media(item, drawing_rels)
            else:
                target = self._chart(item, source, drawing_rels)
            used.add(target)
            position = source["index"] if source is not None else 1e9 + order
            anchors.append((position, fragment(_anchor(item, target, shape_id), prefixes)))
        for owned in read["owned"] if read is not None else ():
            if owned not in used and not any(b'"%s"' % owned.encode() in data for _i, data in kept):
                drawing_rels.remove(owned)
        anchors.sort(key=lambda pair: pair[0])
        start, end = (layout.root_start, layout.root_end) if layout is not None else _DRAWING_ROOT
        self._package.put(part, DECLARATION + start + b"".join(data for _i, data in anchors) + end,
                          content_type=DRAWING_TYPE)
        return str(rel_id)

    def _media(self, image: Image, drawing_rels: Relationships) -> str:
        """The relationship of the drawing to the media part of the image's bytes: one part
        for each distinct image of the save (those read with the workbook included)."""
        import hashlib  # here: a save without images need not load the hash functions

        media = _MEDIA.get(self._package)
        if media is None:
            media = _MEDIA[self._package] = {} if self.fresh else {
                hashlib.sha256(read.data).digest(): read._source["part"] for sheet in self._ws.parent.worksheets
                for read in getattr(sheet, "images", ()) if getattr(read, "_source", None) is not None
                and read._source["part"] in self._package}
        digest = hashlib.sha256(image.data).digest()
        part = media.get(digest)
        if part is None:
            extension = image.format if image.format != "jpeg" else "jpeg"
            part = media[digest] = self._package.free_name("xl/media/image%d." + extension)
            types = self._package.content_types
            if types.default(part) is None:
                types.set_default(extension, IMAGE_TYPES[image.format])
            self._package.put(part, image.data, content_type=IMAGE_TYPES[image.format])
        found = next((rel.id for rel in drawing_rels if rel.target == part and rel.kind == "image"), None)
        return found or drawing_rels.add(IMAGE_REL, part)

    def _chart(self, chart: Chart, source: dict[str, Any] | None, drawing_rels: Relationships) -> str:
        """The relationship of the drawing to the chart's part: written anew unless only the
        chart's place or size changed."""
        if source is not None:
            part, rel_id = source["part"], str(source["rel"])
            if not chart._content_changed():
                return rel_id
        else:
            part = self._package.free_name("xl/charts/chart%d.xml")
            rel_id = drawing_rels.add(CHART_REL, part)
        self._package.put(part, to_bytes(chart_element(chart), False), content_type=CHART_TYPE)
        return rel_id

    # -------------------------------------------------------------- tables

    def _plan_tables(self) -> list[str]:
        ws = self._ws
        ids = [] if self.fresh else [rel_id for rel_id in ws._kept_tables if rel_id is not None]
        if self.fresh and ws._kept_tables:
            self.lost.append("%d table(s) that could not be read" % len(ws._kept_tables))
        for table in ws.tables.values():
            source = self._source(table, ws._part)
            if source is not None and table._untouched:
                ids.append(str(source["rel"]))
                continue
            if source is not None:
                part, rel_id = source["part"], str(source["rel"])
                root = _edited_table(parse_xml(self._package.read(part)), table)
            else:
                part = self._package.free_name("xl/tables/table%d.xml")
                rel_id = self._rels.add(TABLE_REL, part)
                root = _edited_table(element(_M + "table", {"id": str(self._table_id())}), table)
            self._package.put(part, to_bytes(root, False), content_type=TABLE_TYPE)
            ids.append(rel_id)
        for owned in [] if self.fresh else ws._tables_read:
            if owned not in ids:
                self._rels.remove(owned)
        return ids

    def _table_id(self) -> int:
        """An id no table part of the package has."""
        taken = _TABLE_IDS.get(self._package)
        if taken is None:
            taken = _TABLE_IDS[self._package] = set()
            for name in self._package.part_names():
                if self._package.content_type(name) == TABLE_TYPE:
                    try:
                        found = _TABLE_ID.search(self._package.read(name))
                    except KeyError:
                        continue
                    if found is not None:
                        taken.add(int(found.group(1)))
        number = max([0, *taken]) + 1
        taken.add(number)
        return number


def _cell_from(anchor_cell: str) -> ET.Element:
    row, column = coordinate_to_tuple(anchor_cell)
    return element(_X + "from", None, element(_X + "col", text=str(column - 1)), element(_X + "colOff", text="0"),
                   element(_X + "row", text=str(row - 1)), element(_X + "rowOff", text="0"))


def _anchor(item: Image | Chart, rel_id: str, shape_id: int) -> ET.Element:
    """A one-cell anchor placing an image or chart at its cell, at its size."""
    size = {"cx": str(item.width * EMU_PER_PIXEL), "cy": str(item.height * EMU_PER_PIXEL)}
    if isinstance(item, Image):
        name = element(_X + "cNvPr", {"id": str(shape_id), "name": "Picture %d" % (shape_id - 1)})
        shape = element(_X + "pic", None,
                        element(_X + "nvPicPr", None, name, element(_X + "cNvPicPr", None, element(
                            _A + "picLocks", {"noChangeAspect": "1"}))),
                        element(_X + "blipFill", None, element(_A + "blip", {_R + "embed": rel_id}),
                                element(_A + "stretch", None, element(_A + "fillRect"))),
                        element(_X + "spPr", None,
                                element(_A + "xfrm", None, element(_A + "off", {"x": "0", "y": "0"}),
                                        element(_A + "ext", size)),
                                element(_A + "prstGeom", {"prst": "rect"}, element(_A + "avLst"))))
    else:
        name = element(_X + "cNvPr", {"id": str(shape_id), "name": "Chart %d" % (shape_id - 1)})
        shape = element(_X + "graphicFrame", {"macro": ""},
                        element(_X + "nvGraphicFramePr", None, name, element(_X + "cNvGraphicFramePr")),
                        element(_X + "xfrm", None, element(_A + "off", {"x": "0", "y": "0"}),
                                element(_A + "ext", {"cx": "0", "cy": "0"})),
                        element(_A + "graphic", None, element(_A + "graphicData", {"uri": CHART_NS}, element(
                            "{%s}chart" % CHART_NS, {_R + "id": rel_id}))))
    return element(_X + "oneCellAnchor", None, _cell_from(item.anchor), element(_X + "ext", size), shape,
                   element(_X + "clientData"))


def _edited_table(root: ET.Element, table: Any) -> ET.Element:
    """The table element `root` (as read, or new) with the table's fields: what the model does
    not hold (column formulas, totals functions, extensions) stays with its column."""
    min_row, min_col, max_row, max_col = table.bounds
    root.set("name", table.name)
    root.set("displayName", table.name)
    root.set("ref", table.ref)
    for attr, value in (("headerRowCount", None if table.header else "0"),
                        ("totalsRowCount", "1" if table.totals else None),
                        ("totalsRowShown", None if table.totals else "0")):
        if value is None:
            root.attrib.pop(attr, None)
        else:
            root.set(attr, value)
    for child in root.findall(_M + "autoFilter"):
        root.remove(child)
    if table.header:
        last = max_row - 1 if table.totals else max_row
        root.insert(0, element(_M + "autoFilter", {"ref": "%s:%s" % (coordinate_of(min_row, min_col),
                                                                      coordinate_of(last, max_col))}))
    columns = root.find(_M + "tableColumns")
    old = list(columns) if columns is not None else []
    if columns is None:
        columns = element(_M + "tableColumns")
        root.insert(1 if table.header else 0, columns)
    ids = [int(node.get("id", "0")) for node in old if node.get("id", "").isdigit()]
    for node in old:
        columns.remove(node)
    # A column keeps its element (formulas, totals) by its name; one renamed, by its place.
    by_name = {node.get("name", "").casefold(): node for node in old}
    wanted = {name.casefold() for name in table.columns}
    used: set[int] = set()
    for index, name in enumerate(table.columns):
        found = by_name.get(name.casefold())
        if found is None and index < len(old) and old[index].get("name", "").casefold() not in wanted:
            found = old[index]
        if found is not None and id(found) not in used:
            node = found
        else:
            ids.append(max([0, *ids]) + 1)
            node = element(_M + "tableColumn", {"id": str(ids[-1]), "name": name})
        used.add(id(node))
        node.set("name", name)
        columns.append(node)
    columns.set("count", str(len(table.columns)))
    style = root.find(_M + "tableStyleInfo")
    if style is None:
        style = element(_M + "tableStyleInfo", {"showFirstColumn": "0", "showLastColumn": "0", "showRowStripes": "1",
                                                "showColumnStripes": "0"})
        at = list(root).index(columns) + 1
        root.insert(at, style)
    if table.style is None:
        style.attrib.pop("name", None)
    else:
        style.attrib = {"name": table.style, **{k: v for k, v in style.attrib.items() if k != "name"}}
    return root

