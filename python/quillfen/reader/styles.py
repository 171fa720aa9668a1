"""Reading the styles part into a `Stylesheet`: the cell formats as style arrays, the number
formats, and the elements that the formats' ids point into, kept as read.

A read-only workbook needs only the cell formats and number formats to give its values: its
stylesheet streams those from the part and reads the rest (fonts, fills, borders, ...) only when
a cell's style object is first asked for. A styles part may list a million fonts (issue 24).
"""

import xml.etree.ElementTree as ET
from collections.abc import Callable
from typing import Any, cast

from ..constants import MAIN_NS, MC_NS
from ..model.styles import STYLE_FIELDS, ElementList, StyleArray, Stylesheet
from ..package.errors import PrologCheck, parse_xml
from .source import READ_CHUNK, Source

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
        _add_format(formats, fmt)
    formats_of = _FormatsOf()
    for xf in _children(root, "cellXfs", "xf"):
        formats_of.add(xf)
    extra: dict[str, ET.Element] = {}
    for name in EXTRA_ELEMENTS:
        element = root.find(_M + name)
        if element is not None:
            extra[name] = element
    return Stylesheet(formats_of.cell_styles, formats,
                      fonts=_children(root, "fonts", "font"),
                      fills=_children(root, "fills", "fill"),
                      borders=_children(root, "borders", "border"),
                      alignments=formats_of.alignments, protections=formats_of.protections,
                      style_xfs=_children(root, "cellStyleXfs", "xf"),
                      named_styles=_children(root, "cellStyles", "cellStyle"),
                      extra=extra, differential=_children(root, "dxfs", "dxf"))


def _add_format(formats: dict[int, str], fmt: ET.Element) -> None:
    try:
        # No id: int(None) raises the TypeError passed over here.
        formats[int(fmt.get("numFmtId"))] = fmt.get("formatCode", "")  # type: ignore[arg-type]
    except (TypeError, ValueError):
        pass


class _FormatsOf:
    """The cell formats of `cellXfs`, added one `xf` at a time."""

    def __init__(self) -> None:
        self.alignments, self.protections = ElementList((None,)), ElementList((None,))
        self.cell_styles: list[StyleArray] = []

    def add(self, xf: ET.Element) -> None:
        values = [_int_attr(xf, name) for name in STYLE_FIELDS]
        # A format's alignment and protection are child elements, numbered here in order of
        # appearance (0 is none).
        alignment, protection = xf.find(_M + "alignment"), xf.find(_M + "protection")
        values[_ALIGNMENT] = self.alignments.add(alignment) if alignment is not None else 0
        values[_PROTECTION] = self.protections.add(protection) if protection is not None else 0
        self.cell_styles.append(StyleArray(values))


def read_formats(stream: Source, read_rest: Callable[[], bytes]) -> Stylesheet:
    """The stylesheet of a read-only workbook: the cell and number formats streamed from the
    styles part `stream`, as `read_stylesheet` reads them, in constant memory beyond them;
    everything else read from the bytes `read_rest()` gives, when first asked for. The same
    errors as `read_stylesheet`."""
    formats: dict[int, str] = {}
    formats_of = _FormatsOf()
    parser: ET.XMLPullParser[ET.Element] = ET.XMLPullParser(("start", "end"))
    prolog = PrologCheck()
    open_: list[ET.Element] = []
    xfs_depth = 0  # the depth of the root's first cellXfs (2) once met, the one read_stylesheet reads
    xfs_done = False

    def consume() -> None:
        nonlocal xfs_depth, xfs_done
        for found in parser.read_events():
            event, node = cast(tuple[str, ET.Element], found)  # start and end events give elements
            if event == "start":
                if node.tag == _M + "numFmt":
                    _add_format(formats, node)
                open_.append(node)
                if len(open_) == 2 and not xfs_done and not xfs_depth and node.tag == _M + "cellXfs":
                    xfs_depth = 2
                continue
            open_.pop()
            depth = len(open_) + 1
            if xfs_depth and depth == xfs_depth:
                xfs_depth, xfs_done = 0, True
            elif xfs_depth and depth == xfs_depth + 1:
                item = _item(node, "xf")
                if item is not None:
                    formats_of.add(item)
            elif xfs_depth and depth > xfs_depth:
                continue  # part of a format, read with it
            if open_:
                open_[-1].remove(node)  # read: let go

    while chunk := stream.read(READ_CHUNK):
        prolog.feed(chunk)
        parser.feed(chunk)
        consume()
    prolog.feed(b"", True)
    parser.close()
    consume()
    return _DeferredStylesheet(formats_of.cell_styles, formats, formats_of.alignments, formats_of.protections,
                               read_rest)


class _Deferred:
    """A collection of a read-only workbook's stylesheet, read when first asked for."""

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    def __get__(self, sheet: "_DeferredStylesheet | None", owner: type | None = None) -> Any:
        if sheet is None:
            return self
        sheet._read_rest()
        return sheet.__dict__[self.name]

    def __set__(self, sheet: "_DeferredStylesheet", value: Any) -> None:
        sheet.__dict__[self.name] = value


class _DeferredStylesheet(Stylesheet):
    """A read-only workbook's stylesheet: the formats given, the collections they point into
    read from the part when one is first asked for (by a cell's `font`, `fill`, ...)."""

    fonts = _Deferred()
    fills = _Deferred()
    borders = _Deferred()
    style_xfs = _Deferred()
    named_styles = _Deferred()
    extra = _Deferred()

    def __init__(self, cell_styles: list[StyleArray], formats: dict[int, str], alignments: ElementList,
                 protections: ElementList, read_rest: Callable[[], bytes]) -> None:
        self._rest: Callable[[], bytes] | None = read_rest
        super().__init__(cell_styles, formats, alignments=alignments, protections=protections)

    def _read_rest(self) -> None:
        if self._rest is None:
            return
        with self._guard:
            if self._rest is None:
                return
            whole = read_stylesheet(self._rest())
            for name in ("fonts", "fills", "borders", "style_xfs", "named_styles", "extra"):
                self.__dict__[name] = whole.__dict__[name]
            self._rest = None


def _children(root: ET.Element, parent: str, tag: str) -> list[ET.Element]:
    """The `tag` children of `parent`, in order: positions are ids."""
    found = root.find(_M + parent)
    items = (_item(child, tag) for child in (found if found is not None else ()))
    return [item for item in items if item is not None]


def _item(child: ET.Element, tag: str) -> ET.Element | None:
    """A child of a collection as the item `tag` it is, or None. An item wrapped in
    compatibility markup counts as its fallback (or its first choice): leaving it out would
    shift the ids of all that follow."""
    found: ET.Element | None = child
    if child.tag == _ALTERNATE:
        wrapped = child.find(_FALLBACK + _M + tag)
        found = wrapped if wrapped is not None else child.find(_CHOICE + _M + tag)
    return found if found is not None and found.tag == _M + tag else None


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
