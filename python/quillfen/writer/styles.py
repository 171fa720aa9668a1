"""The styles part: the workbook's cell formats and the collections their ids point into.

Written after the sheets, since writing a sheet adds the formats of its cells to the list.
Every format's ids are checked against the collections written: an id that points nowhere
(a damaged file, a hand-made style array) is written as the default, 0, so that no program
has to repair the file.

The styles part read from a file is kept as it was (`kept_stylesheet`): formats added since
are appended to it, so that every format it had keeps its id and its meaning (the sheets
saved unchanged refer to them), and what quillfen does not interpret stays.
"""

import xml.etree.ElementTree as ET
from collections.abc import Sequence
from typing import Any

from ..constants import MAIN_NS, MC_NS
from ..model.styles import BUILTIN_FORMATS, FIRST_CUSTOM_FORMAT, STYLE_FIELDS, Stylesheet
from ..package.xmlparts import Layout, extended, fragment
from .xml import element, plain_copy, to_bytes

_M = "{%s}" % MAIN_NS
# What each id of a style array points into, and the xf attribute that says it applies.
_POINTERS = {"fontId": ("fonts", "applyFont"), "fillId": ("fills", "applyFill"),
             "borderId": ("borders", "applyBorder")}
_EXTRA_ORDER = ("tableStyles", "colors", "extLst")


def _collection(name: str, items: Sequence[Any]) -> ET.Element:
    return element(_M + name, {"count": str(len(items))}, *(plain_copy(item) for item in items))


def _number_format(stylesheet: Stylesheet, num_fmt: int) -> int:
    # Ids below the first custom one are built-in, some of them known only to localised
    # programs; a custom id must be defined.
    return num_fmt if 0 <= num_fmt < FIRST_CUSTOM_FORMAT or num_fmt in stylesheet.number_formats else 0


def _xf(stylesheet: Stylesheet, style: Sequence[int]) -> ET.Element:
    ids = dict(zip(STYLE_FIELDS, style))
    attrs = {"numFmtId": str(_number_format(stylesheet, ids["numFmtId"]))}
    flags = {}
    for field, (collection, apply) in _POINTERS.items():
        value = ids[field]
        value = value if 0 <= value < len(getattr(stylesheet, collection)) else 0
        attrs[field] = str(value)
        if value:
            flags[apply] = "1"
    xf_id = ids["xfId"]
    attrs["xfId"] = str(xf_id if 0 <= xf_id < len(stylesheet.style_xfs) else 0)
    if attrs["numFmtId"] != "0":
        flags["applyNumberFormat"] = "1"
    children: list[ET.Element] = []
    for field, kept, apply in (("alignmentId", stylesheet.alignments, "applyAlignment"),
                               ("protectionId", stylesheet.protections, "applyProtection")):
        value = ids[field]
        node = kept[value] if 0 < value < len(kept) else None  # index 0 holds None: "none"
        if node is not None:
            children.append(plain_copy(node))
            flags[apply] = "1"
    if ids["pivotButton"]:
        flags["pivotButton"] = "1"
    if ids["quotePrefix"]:
        flags["quotePrefix"] = "1"
    attrs.update(flags)
    return element(_M + "xf", attrs, *children)


def stylesheet_element(stylesheet: Stylesheet) -> ET.Element:
    """The `styleSheet` element of a `Stylesheet`."""
    parts = []
    custom = sorted((num_fmt, code) for num_fmt, code in stylesheet.number_formats.items()
                    if num_fmt not in BUILTIN_FORMATS or BUILTIN_FORMATS[num_fmt] != code)
    if custom:
        parts.append(element(_M + "numFmts", {"count": str(len(custom))}, *(
            element(_M + "numFmt", {"numFmtId": str(num_fmt), "formatCode": code}) for num_fmt, code in custom)))
    parts += [_collection("fonts", stylesheet.fonts), _collection("fills", stylesheet.fills),
              _collection("borders", stylesheet.borders), _collection("cellStyleXfs", stylesheet.style_xfs)]
    formats = [_xf(stylesheet, style) for style in stylesheet.cell_styles]
    parts.append(element(_M + "cellXfs", {"count": str(len(formats))}, *formats))
    parts.append(_collection("cellStyles", stylesheet.named_styles))
    if stylesheet.differential:
        parts.append(_collection("dxfs", stylesheet.differential))
    parts += [plain_copy(stylesheet.extra[name]) for name in _EXTRA_ORDER if name in stylesheet.extra]
    return element(_M + "styleSheet", None, *parts)


# The collections a format added since reading can add to, with their items' tag, in the
# order they are appended in.
_ADDED = (("numFmts", "numFmt"), ("fonts", "font"), ("fills", "fill"), ("borders", "border"), ("cellXfs", "xf"),
          ("dxfs", "dxf"))
_ALTERNATE = "{%s}AlternateContent" % MC_NS
_MISSING = object()


def _only_added(now: dict[str, Any], then: dict[str, Any]) -> bool:
    """Whether the collections `now` are those of `then` with items added at their ends."""
    for name, items in then.items():
        if isinstance(items, dict):
            if any(now[name].get(key, _MISSING) != value for key, value in items.items()):
                return False
        elif now[name][:len(items)] != items:
            return False
    return all(len(now[name]) == len(then[name]) for name in ("cellStyleXfs", "cellStyles", "extra"))


def kept_stylesheet(stylesheet: Stylesheet, then: dict[str, Any], data: bytes, lxml: bool) -> bytes | None:
    """The styles part read as `data` when the stylesheet was `then` (`Stylesheet.snapshot`),
    with what was added since appended: None when nothing was. A stylesheet changed otherwise
    (by hand) is written whole."""
    now = stylesheet.snapshot()
    if now == then:
        return None
    whole = to_bytes(stylesheet_element(stylesheet), lxml)
    if not _only_added(now, then):
        return whole
    try:
        layout = Layout.of(data)
    except (ET.ParseError, ValueError, SyntaxError):
        return whole
    added = {
        "numFmts": [element(_M + "numFmt", {"numFmtId": str(num_fmt), "formatCode": code})
                    for num_fmt, code in sorted(now["numFmts"].items()) if num_fmt not in then["numFmts"]],
        "cellXfs": [_xf(stylesheet, style) for style in now["cellXfs"][len(then["cellXfs"]):]],
        **{name: [plain_copy(item) for item in now[name][len(then[name]):]]
           for name in ("fonts", "fills", "borders", "dxfs")},
    }
    made: dict[str, bytes | None] = {}
    for name, tag in _ADDED:
        if not added[name]:
            continue
        items = [fragment(node, layout.prefixes) for node in added[name]]
        child = layout.find(MAIN_NS, name)
        if child is None:
            if name not in ("numFmts", "dxfs") or then[name]:
                return whole  # ids pointing into a collection the part does not have
            made[name] = fragment(element(_M + name, {"count": str(len(items))}, *added[name]), layout.prefixes)
            continue
        present = [node for node in layout.element(child) if node.tag in (_M + tag, _ALTERNATE)]
        if name != "numFmts" and len(present) != len(then[name]):
            return whole  # the part's positions are not the ids
        made[name] = extended(child.data, items, len(present) + len(items))
    order = ("numFmts", "fonts", "fills", "borders", "cellStyleXfs", "cellXfs", "cellStyles", "dxfs",
             "tableStyles", "colors", "extLst")
    return layout.assemble(child.data for child in layout.splice(MAIN_NS, made, order))
