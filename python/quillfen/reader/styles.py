"""Reading the styles part into a `Stylesheet`: the cell formats as style arrays, the number
formats, and the elements that the formats' ids point into, kept as read."""

import xml.etree.ElementTree as ET

from ..constants import MAIN_NS, MC_NS
from ..model.styles import STYLE_FIELDS, ElementList, StyleArray, Stylesheet
from ..package.errors import parse_xml

_M = "{%s}" % MAIN_NS
_ALTERNATE = "{%s}AlternateContent" % MC_NS
_FALLBACK = "{%s}Fallback/" % MC_NS
_CHOICE = "{%s}Choice/" % MC_NS
_ALIGNMENT = STYLE_FIELDS.index("alignmentId")
_PROTECTION = STYLE_FIELDS.index("protectionId")
# Kept whole and written back after the formats, in this order.
EXTRA_ELEMENTS = ("tableStyles", "colors", "extLst")


def read_stylesheet(data: bytes) -> Stylesheet:
    """The `Stylesheet` of a styles part's bytes (raises ET.ParseError on malformed XML, and
    DoctypeRefused for a document type declaration)."""
    root = parse_xml(data)
    formats: dict[int, str] = {}
    for fmt in root.iter(_M + "numFmt"):
        try:
            # No id: int(None) raises the TypeError passed over here.
            formats[int(fmt.get("numFmtId"))] = fmt.get("formatCode", "")  # type: ignore[arg-type]
        except (TypeError, ValueError):
            continue
    alignments, protections = ElementList((None,)), ElementList((None,))
    cell_styles = []
    for xf in _children(root, "cellXfs", "xf"):
        values = [_int_attr(xf, name) for name in STYLE_FIELDS]
        # A format's alignment and protection are child elements, numbered here in order of
        # appearance (0 is none).
        alignment, protection = xf.find(_M + "alignment"), xf.find(_M + "protection")
        values[_ALIGNMENT] = alignments.add(alignment) if alignment is not None else 0
        values[_PROTECTION] = protections.add(protection) if protection is not None else 0
        cell_styles.append(StyleArray(values))
    extra: dict[str, ET.Element] = {}
    for name in EXTRA_ELEMENTS:
        element = root.find(_M + name)
        if element is not None:
            extra[name] = element
    return Stylesheet(cell_styles, formats,
                      fonts=_children(root, "fonts", "font"),
                      fills=_children(root, "fills", "fill"),
                      borders=_children(root, "borders", "border"),
                      alignments=alignments, protections=protections,
                      style_xfs=_children(root, "cellStyleXfs", "xf"),
                      named_styles=_children(root, "cellStyles", "cellStyle"),
                      extra=extra, differential=_children(root, "dxfs", "dxf"))


def _children(root: ET.Element, parent: str, tag: str) -> list[ET.Element]:
    """The `tag` children of `parent`, in order: positions are ids. An item wrapped in
    compatibility markup counts as its fallback (or its first choice): leaving it out would
    shift the ids of all that follow."""
    found = root.find(_M + parent)
    items = []
    child: ET.Element | None
    for child in found if found is not None else ():
        if child.tag == _ALTERNATE:
            wrapped = child.find(_FALLBACK + _M + tag)
            child = wrapped if wrapped is not None else child.find(_CHOICE + _M + tag)
        if child is not None and child.tag == _M + tag:
            items.append(child)
    return items


def _int_attr(element: ET.Element, name: str) -> int:
    value = element.get(name)
    if value is None:
        return 0
    if value in ("true", "false"):
        return int(value == "true")
    try:
        number = int(value)
    except ValueError:
        return 0
    # An id that does not fit the array's 32-bit items names nothing: the default.
    return number if -2**31 <= number < 2**31 else 0
