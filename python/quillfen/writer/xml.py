"""The two XML serialisers a workbook is saved with, and the choice between them.

ElementTree (standard library) is always there; lxml is used when it can be imported, unless
the environment variable QUILLFEN_XML says otherwise ("etree" or "lxml"). Parts are built as
ElementTree elements with namespaced ("{uri}local") names, the form in which styles read from
a file are kept too, and serialised by `to_bytes` in either mode with the prefixes
spreadsheet programs write: the part's own namespace as the default, the usual prefixes for
the others.
"""

import os
import xml.etree.ElementTree as ET
from collections.abc import Mapping
from types import ModuleType
from typing import Any

from ..constants import (CORE_PROPERTIES_NS, DC_NS, DCMITYPE_NS, DCTERMS_NS, DOC_PROPS_VTYPES_NS,
                         KNOWN_PREFIXES, XML_NS, XSI_NS)
from ..package.xmlparts import renamed, split_name

__all__ = ["use_lxml", "element", "plain_copy", "to_bytes", "DECLARATION"]

XML_ENV = "QUILLFEN_XML"
DECLARATION = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
_PREFIXES = {**KNOWN_PREFIXES, CORE_PROPERTIES_NS: "cp", DC_NS: "dc", DCTERMS_NS: "dcterms",
             DCMITYPE_NS: "dcmitype", XSI_NS: "xsi", DOC_PROPS_VTYPES_NS: "vt"}


def use_lxml() -> bool:
    """Whether to serialise with lxml: QUILLFEN_XML=lxml or etree decides, else lxml when it
    can be imported. Raises ValueError for another value, ImportError when lxml is asked for
    and missing."""
    choice = os.environ.get(XML_ENV, "")
    if choice not in ("", "etree", "lxml"):
        raise ValueError("%s=%r: the XML serialiser is 'etree' or 'lxml'" % (XML_ENV, choice))
    if choice == "etree":
        return False
    try:
        import lxml.etree  # noqa: F401
    except ImportError:
        if choice == "lxml":
            raise ImportError("%s=lxml, but lxml is not installed (pip install quillfen[lxml])"
                              % XML_ENV) from None
        return False
    return True


def element(tag: str, attrib: Mapping[str, str | None] | None = None, *children: ET.Element,
            text: str | None = None) -> ET.Element:
    """An element with its attributes (None values left out), children and text."""
    node = ET.Element(tag, {k: v for k, v in (attrib or {}).items() if v is not None})
    node.extend(children)
    node.text = text
    return node


def plain_copy(node: ET.Element) -> ET.Element:
    """A copy of an element read from a file, without attributes of other vocabularies (such
    as x14ac:dyDescent): written without the compatibility markup that declares them ignorable,
    they would make older readers refuse the part. Only attributes without a namespace and
    those of the xml namespace stay."""
    attrib = {k: v for k, v in node.attrib.items() if k[:1] != "{" or k.startswith("{%s}" % XML_NS)}
    copy = ET.Element(node.tag, attrib)
    copy.text, copy.tail = node.text, node.tail
    copy.extend(plain_copy(child) for child in node)
    return copy


def _prefixes(root: ET.Element) -> dict[str, str]:
    """Prefix of every namespace the tree uses: "" for the root's own, whose elements then take
    no prefix. An attribute in a namespace always needs a prefix, even in the root's."""
    default = split_name(root.tag)[0]
    found = {default: ""} if default else {}
    for node in root.iter():
        for name, is_tag in [(node.tag, True), *((key, False) for key in node.attrib)]:
            uri = split_name(name)[0]
            if not uri or uri == XML_NS or uri in found and (found[uri] or is_tag):
                continue
            prefix = _PREFIXES.get(uri)
            if prefix is None or prefix in found.values():
                prefix = "ns%d" % len(found)
            found[uri] = prefix
    return found


def _lxml_copy(etree: ModuleType, node: ET.Element, parent: Any = None, nsmap: dict[str | None, str] | None = None) -> Any:
    if parent is None:
        copy = etree.Element(node.tag, node.attrib, nsmap=nsmap)
    else:
        copy = etree.SubElement(parent, node.tag, node.attrib)
    copy.text, copy.tail = node.text, node.tail
    for child in node:
        _lxml_copy(etree, child, copy)
    return copy


def to_bytes(root: ET.Element, lxml: bool) -> bytes:
    """The UTF-8 document of an element tree, with its XML declaration."""
    prefixes = _prefixes(root)
    if lxml:
        from lxml import etree

        nsmap = {prefix or None: uri for uri, prefix in prefixes.items()}
        body: bytes = etree.tostring(_lxml_copy(etree, root, nsmap=nsmap), encoding="UTF-8",
                              xml_declaration=False)
        return DECLARATION.encode() + body
    copy = renamed(root, prefixes)
    # Declarations first, in a fixed order, then the element's own attributes.
    declarations = {("xmlns:" + prefix if prefix else "xmlns"): uri for uri, prefix in prefixes.items()}
    copy.attrib = {**declarations, **copy.attrib}
    return (DECLARATION + ET.tostring(copy, encoding="unicode")).encode("utf-8")
