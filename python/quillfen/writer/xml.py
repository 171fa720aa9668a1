"""The two XML serialisers a workbook is saved with, and the choice between them.

ElementTree (standard library) is always there; lxml is used when it is installed, unless
the environment variable QUILLFEN_XML says otherwise ("etree" or "lxml"). Parts are built as
ElementTree elements with namespaced ("{uri}local") names, the form in which styles read from
a file are kept too, and serialised by `to_bytes` in either mode with the prefixes
spreadsheet programs write: the part's own namespace as the default, the usual prefixes for
the others. In lxml mode the parts are written here in the form lxml gives them, so that a
save imports lxml only for what the engine hands back to the pure-Python sheet writer.
"""

import importlib.util
import os
import xml.etree.ElementTree as ET
from collections.abc import Mapping

from ..constants import (CORE_PROPERTIES_NS, DC_NS, DCMITYPE_NS, DCTERMS_NS, DOC_PROPS_VTYPES_NS,
                         KNOWN_PREFIXES, XML_NS, XSI_NS)
from ..package.xmlparts import renamed, split_name
from ..utils.etree import copy_tree, to_text, walk
from ..utils.patterns import lazy

__all__ = ["use_lxml", "element", "plain_copy", "to_bytes", "DECLARATION"]

XML_ENV = "QUILLFEN_XML"
DECLARATION = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
_PREFIXES = {**KNOWN_PREFIXES, CORE_PROPERTIES_NS: "cp", DC_NS: "dc", DCTERMS_NS: "dcterms",
             DCMITYPE_NS: "dcmitype", XSI_NS: "xsi", DOC_PROPS_VTYPES_NS: "vt"}


def use_lxml() -> bool:
    """Whether to serialise with lxml: QUILLFEN_XML=lxml or etree decides, else lxml when it
    is installed (found, not imported). Raises ValueError for another value, ImportError when
    lxml is asked for and missing."""
    choice = os.environ.get(XML_ENV, "")
    if choice not in ("", "etree", "lxml"):
        raise ValueError("%s=%r: the XML serialiser is 'etree' or 'lxml'" % (XML_ENV, choice))
    if choice == "etree":
        return False
    if importlib.util.find_spec("lxml") is None:
        if choice == "lxml":
            raise ImportError("%s=lxml, but lxml is not installed (pip install quillfen[lxml])"
                              % XML_ENV)
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
    xml_attribute = "{%s}" % XML_NS

    def make(node: ET.Element, parent: ET.Element | None) -> ET.Element:
        attrib = {k: v for k, v in node.attrib.items() if k[:1] != "{" or k.startswith(xml_attribute)}
        copy = ET.Element(node.tag, attrib) if parent is None else ET.SubElement(parent, node.tag, attrib)
        copy.text, copy.tail = node.text, node.tail
        return copy

    return copy_tree(node, make)


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
            number = len(found)
            while prefix is None or prefix in found.values():
                # A made-up prefix that no other namespace has (it could repeat one before,
                # and the part then declared it twice).
                prefix, number = "ns%d" % number, number + 1
            found[uri] = prefix
    return found


# What lxml escapes, and how: in text "<", ">", "&" and carriage returns, in attribute values
# also quotes, tabs and line feeds. It refuses the characters XML cannot hold, as here.
_LXML_TEXT = str.maketrans({"<": "&lt;", ">": "&gt;", "&": "&amp;", "\r": "&#13;"})
_LXML_ATTR = str.maketrans({"<": "&lt;", ">": "&gt;", "&": "&amp;", '"': "&quot;", "\r": "&#13;",
                            "\n": "&#10;", "\t": "&#9;"})
_NOT_XML = lazy("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")
_LXML_REFUSAL = "All strings must be XML compatible: Unicode or ASCII, no NULL bytes or control characters"


def _lxml_escaped(text: str, table: dict[int, str]) -> str:
    if _NOT_XML.search(text):
        raise ValueError(_LXML_REFUSAL)
    return text.translate(table)


def _lxml_text(root: ET.Element, prefixes: dict[str, str]) -> str:
    """The element tree as lxml's tostring writes it when it is built with `prefixes` declared
    on the root: declarations first, then the attributes in their order; `<a/>` for an element
    without text or children, `<a></a>` for an empty text. Walked without recursion, as any
    depth that loads must save."""
    out: list[str] = []
    top = renamed(root, prefixes)
    declarations = "".join(' %s="%s"' % ("xmlns:" + prefix if prefix else "xmlns", _lxml_escaped(uri, _LXML_ATTR))
                           for uri, prefix in prefixes.items())
    for starts, node in walk(top):
        empty = node.text is None and not len(node)
        if starts:
            out.append("<" + node.tag + (declarations if node is top else ""))
            for name, value in node.attrib.items():
                out.append(' %s="%s"' % (name, _lxml_escaped(value, _LXML_ATTR)))
            out.append("/>" if empty else ">")
            if node.text:
                out.append(_lxml_escaped(node.text, _LXML_TEXT))
            continue
        if not empty:
            out.append("</" + node.tag + ">")
        if node.tail:
            out.append(_lxml_escaped(node.tail, _LXML_TEXT))
    return "".join(out)


def to_bytes(root: ET.Element, lxml: bool) -> bytes:
    """The UTF-8 document of an element tree, with its XML declaration. A tree that lxml
    cannot hold (a namespace name read from a file that is no URI, such as " 1") is written
    as ElementTree writes it: the part differs from the other parts only in how it escapes."""
    prefixes = _prefixes(root)
    if lxml:
        return (DECLARATION + _lxml_text(root, prefixes)).encode("utf-8")
    copy = renamed(root, prefixes)
    # Declarations first, in a fixed order, then the element's own attributes.
    declarations = {("xmlns:" + prefix if prefix else "xmlns"): uri for uri, prefix in prefixes.items()}
    copy.attrib = {**declarations, **copy.attrib}
    return (DECLARATION + to_text(copy)).encode("utf-8")
