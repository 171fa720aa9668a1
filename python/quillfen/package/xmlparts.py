"""XML parts changed element by element: the bytes of a part's root element and of each of its
children as they were read (`Layout`), put together again around the children that changed,
and elements serialised to sit inside such a part (`fragment`).

A part written this way keeps what quillfen does not interpret exactly as it was: the root's
attributes and namespace declarations (so the prefixes that `mc:Ignorable` names stay
declared), and every child it leaves alone, byte for byte. Parts are assembled in UTF-8; one
read in another encoding is converted.
"""

import codecs
import re
import xml.etree.ElementTree as ET
import xml.parsers.expat as expat
from collections.abc import Iterable, Mapping
from typing import IO, NamedTuple

from ..constants import KNOWN_PREFIXES, XML_NS
from ..utils.etree import copy_tree, to_text
from ..utils.patterns import lazy
from .errors import check_prolog

__all__ = ["Child", "Layout", "child_of", "extended", "fragment", "quote_attr", "renamed", "split_name",
           "root_start_tag", "DECLARATION"]

DECLARATION = b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
# A tag up to its ">", quoted values (which may hold ">") skipped.
_TAG = lazy(rb"""<(?:[^<>"']++|"[^"]*+"|'[^']*+')*+>""")
_TEXT_TAG = lazy(r"""<(?:[^<>"']++|"[^"]*+"|'[^']*+')*+>""")
_QNAME = lazy(rb"<([^\s/>]+)")
_ENCODING = lazy(rb"""^<\?xml[^>]*?encoding\s*=\s*["']([A-Za-z0-9._-]+)["']""")
_DECLARATION = lazy(rb"^(?:\xef\xbb\xbf)?<\?xml[^>]*\?>")


class Child(NamedTuple):
    """A child of the root element: its namespace, local name and exact bytes."""

    uri: str
    local: str
    data: bytes


def quote_attr(value: str) -> str:
    """An attribute value quoted and escaped as xml.sax.saxutils.quoteattr does it (double
    quotes unless the value holds one and no single quote). PERF NOTE: not that function, whose
    module imports urllib.request, and with it ssl and email: a tenth of a second for the first
    save of a workbook."""
    value = value.replace("&", "&amp;").replace(">", "&gt;").replace("<", "&lt;")
    value = value.replace("\n", "&#10;").replace("\r", "&#13;").replace("\t", "&#9;")
    if '"' not in value:
        return '"%s"' % value
    if "'" not in value:
        return "'%s'" % value
    return '"%s"' % value.replace('"', "&quot;")


def split_name(name: str) -> tuple[str, str]:
    """(namespace, local name) of an ElementTree name ("{uri}local" or "local")."""
    if name[:1] == "{":
        uri, _, local = name[1:].partition("}")
        return uri, local
    return "", name


def _quote(uri: str) -> str:
    return uri.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;")


def _encoding(data: bytes) -> str:
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return "utf-16"
    found = _ENCODING.match(data.removeprefix(codecs.BOM_UTF8))
    return found.group(1).decode("ascii").lower() if found else "utf-8"


def _utf8(data: bytes, encoding: str) -> bytes:
    """`data` (a whole document, or a piece of one) in UTF-8, without its XML declaration."""
    if encoding.replace("-", "").replace("_", "") != "utf8":
        text = data.decode(encoding)
        data = re.sub(r"^\ufeff?<\?xml[^>]*\?>", "", text).encode("utf-8")
    return _DECLARATION.sub(b"", data, count=1)


def _declared(attrs: Mapping[str, str]) -> dict[str, str]:
    """prefix -> namespace of the declarations among an element's attributes ("" the default)."""
    found = {}
    for name, value in attrs.items():
        if name == "xmlns":
            found[""] = value
        elif name.startswith("xmlns:"):
            found[name[6:]] = value
    return found


def _resolve(qname: str, scopes: Iterable[Mapping[str, str]]) -> tuple[str, str]:
    prefix, _, local = qname.rpartition(":")
    for scope in scopes:
        if prefix in scope:
            return scope[prefix], local
    return "", local


class Layout:
    """An XML part as its root's start and end tags and the exact bytes of each child of the
    root; text between the children (indentation) is not kept."""

    def __init__(self, root_start: bytes, root_end: bytes, children: list[Child],
                 declared: dict[str, str]) -> None:
        self.root_start = root_start
        self.root_end = root_end
        self.children = children
        self.declared = declared  # prefix -> namespace, as the root declares them

    @property
    def prefixes(self) -> dict[str, str]:
        """namespace -> prefix ("" for the default namespace) of the root's declarations."""
        found: dict[str, str] = {}
        for prefix, uri in self.declared.items():
            if uri and (uri not in found or prefix == ""):
                found[uri] = prefix
        return found

    @classmethod
    def of(cls, data: bytes) -> "Layout":
        """The layout of a whole part. Raises ExpatError for a part that is not well-formed,
        and DoctypeRefused for a document type declaration."""
        check_prolog(data)
        data = _utf8(data, _encoding(data))
        parser = expat.ParserCreate("utf-8")
        found = _Collector(parser, data)
        parser.StartElementHandler = found.start
        parser.EndElementHandler = found.end
        parser.Parse(data, True)
        return cls(found.root_start, found.root_end, found.children, found.declared)

    def assemble(self, children: Iterable[bytes]) -> bytes:
        """The part with these children (bytes) in the root element."""
        return DECLARATION + self.root_start + b"".join(children) + self.root_end

    def find(self, uri: str, local: str) -> Child | None:
        return next((child for child in self.children if (child.uri, child.local) == (uri, local)), None)

    def element(self, child: Child) -> ET.Element:
        """A child parsed, its prefixes resolved with the root's declarations."""
        declarations = "".join(' %s="%s"' % ("xmlns:" + prefix if prefix else "xmlns", _quote(uri))
                               for prefix, uri in self.declared.items() if prefix != "xml")
        parser = ET.XMLParser()
        parser.feed(("<_part%s>" % declarations).encode("utf-8"))
        parser.feed(child.data)
        parser.feed(b"</_part>")
        return parser.close()[0]

    def splice(self, uri: str, made: Mapping[str, bytes | None], order: tuple[str, ...]) -> list[Child]:
        """The children with those of `made` (local name in the namespace `uri` -> new bytes,
        or None for none) in their place: the first of a name is replaced and any others of it
        dropped; one the part did not have goes where `order` (the schema's order of the
        children) puts it among those it has. Every other child stays as it was, in its place."""
        out: list[Child] = []
        placed: set[str] = set()
        for child in self.children:
            if child.uri != uri or child.local not in made:
                out.append(child)
            elif child.local not in placed:
                placed.add(child.local)
                data = made[child.local]
                if data is not None:
                    out.append(Child(uri, child.local, data))
        for local, data in made.items():
            if local in placed or data is None:
                continue
            rank = order.index(local)
            at = next((i for i, child in enumerate(out) if child.uri == uri and child.local in order
                       and order.index(child.local) > rank), len(out))
            out.insert(at, Child(uri, local, data))
        return out


_COUNT = lazy(rb"""(\s)count\s*=\s*(?:"[^"]*"|'[^']*')""")


def extended(data: bytes, items: Iterable[bytes], count: int | None = None) -> bytes:
    """The element `data` (exact bytes) with `items` (elements' bytes) after its children and,
    with `count`, its count attribute set to it."""
    tag = _TAG.match(data)
    assert tag is not None
    start = tag.group()
    empty = start.endswith(b"/>")
    if empty:
        start = start[:-2].rstrip() + b">"
    if count is not None:
        if _COUNT.search(start):
            start = _COUNT.sub(rb'\1count="%d"' % count, start, count=1)
        else:
            start = start[:-1] + b' count="%d">' % count
    body = b"".join(items)
    if empty:
        name = _QNAME.match(start)
        assert name is not None
        return start + body + b"</%s>" % name.group(1)
    end = data.rindex(b"</")
    return start + data[tag.end():end] + body + data[end:]


def child_of(snippet: bytes, namespaces: Iterable[tuple[str, str]], encoding: str = "utf-8") -> Child:
    """The `Child` of an element captured with the (prefix, namespace) declarations in scope
    around it (the sheet readers' snippets), in UTF-8."""
    snippet = _utf8(snippet, encoding) if encoding != "utf-8" else snippet
    found = _QNAME.match(snippet)
    qname = found.group(1).decode("utf-8") if found else ""
    tag = _TAG.match(snippet)
    own = _declared(dict(re.findall(r"""(xmlns(?::[^\s=]+)?)\s*=\s*["']([^"']*)["']""",
                                    tag.group().decode("utf-8")))) if tag else {}
    uri, local = _resolve(qname, (own, dict(namespaces)))
    return Child(uri, local, snippet)


class _Collector:
    """Collects a layout from expat's events: the byte offsets of the root's tags and of its
    children (expat reports an element's end after an empty-element tag, else at its end tag)."""

    def __init__(self, parser: expat.XMLParserType, data: bytes) -> None:
        self._parser, self._data = parser, data
        self._depth = 0
        self._start = self._tag_end = 0
        self._name = ""
        self._scope: dict[str, str] = {}
        self.declared: dict[str, str] = {}
        self.children: list[Child] = []
        self.root_start = self.root_end = b""

    def start(self, name: str, attrs: dict[str, str]) -> None:
        at = self._parser.CurrentByteIndex
        tag = _TAG.match(self._data, at)
        assert tag is not None  # expat has read the whole tag
        if self._depth == 0:
            self.declared = _declared(attrs)
            self.root_start = tag.group()
        elif self._depth == 1:
            self._start, self._tag_end, self._name, self._scope = at, tag.end(), name, _declared(attrs)
        self._depth += 1

    def end(self, name: str) -> None:
        self._depth -= 1
        at, data = self._parser.CurrentByteIndex, self._data
        if self._depth == 1:
            empty = data[self._tag_end - 2:self._tag_end] == b"/>"
            stop = self._tag_end if empty else data.index(b">", at) + 1
            uri, local = _resolve(self._name, (self._scope, self.declared))
            self.children.append(Child(uri, local, data[self._start:stop]))
        elif self._depth == 0:
            if self.root_start.endswith(b"/>"):
                self.root_start = self.root_start[:-2].rstrip() + b">"
                self.root_end = b"</%s>" % name.encode("utf-8")
            else:
                self.root_end = data[at:data.index(b">", at) + 1]


class _Seen(Exception):
    """Stops the parser at the root's start tag."""


def root_start_tag(stream: IO[bytes]) -> tuple[bytes, dict[str, str], str]:
    """The start tag of the root element of the part `stream` reads (read only that far), in
    UTF-8: (tag, its namespace declarations as prefix -> namespace, the part's encoding)."""
    buf = b""
    parser = expat.ParserCreate()
    found: list[tuple[int, dict[str, str]]] = []

    def start(_name: str, attrs: dict[str, str]) -> None:
        found.append((parser.CurrentByteIndex, attrs))
        raise _Seen

    parser.StartElementHandler = start
    size = 4096  # the root is near the start: read more only when it is not there
    while True:
        chunk = stream.read(size)
        size = 65536
        buf += chunk
        try:
            parser.Parse(chunk, not chunk)
        except _Seen:
            break
        if not chunk:
            raise expat.ExpatError("no root element")
    at, attrs = found[0]
    encoding = _encoding(buf)
    if encoding.replace("-", "").replace("_", "") == "utf8":
        tag = _TAG.match(buf, at)
        assert tag is not None
        return tag.group(), _declared(attrs), "utf-8"
    text = buf.decode(encoding, errors="ignore")
    text_tag = _TEXT_TAG.search(text, text.find("<", text.find("?>") + 2 if text.lstrip("\ufeff").startswith("<?") else 0))
    assert text_tag is not None
    return text_tag.group().encode("utf-8"), _declared(attrs), encoding


def renamed(node: ET.Element, prefixes: Mapping[str, str]) -> ET.Element:
    """A copy of `node` whose names carry the prefixes of `prefixes` (namespace -> prefix, ""
    for the default namespace, which attributes cannot use) instead of "{uri}" names, for
    ElementTree to write as they are."""
    def name(qualified: str, is_tag: bool) -> str:
        uri, local = split_name(qualified)
        if not uri:
            return local
        if uri == XML_NS:
            return "xml:" + local
        prefix = prefixes[uri]
        return "%s:%s" % (prefix, local) if prefix or not is_tag else local

    def make(original: ET.Element, parent: ET.Element | None) -> ET.Element:
        attrib = {name(k, False): v for k, v in original.attrib.items()}
        tag = name(original.tag, True)
        copy = ET.Element(tag, attrib) if parent is None else ET.SubElement(parent, tag, attrib)
        copy.text, copy.tail = original.text, original.tail
        return copy

    return copy_tree(node, make)


def fragment(node: ET.Element, in_scope: Mapping[str, str]) -> bytes:
    """`node` in UTF-8, to be placed in a part whose root declares `in_scope` (namespace ->
    prefix, "" for the default): those prefixes are used, and the namespaces the part does not
    declare are declared on `node` itself."""
    prefixes = dict(in_scope)
    taken = set(prefixes.values())
    extra: dict[str, str] = {}
    for element in node.iter():
        for qualified, is_tag in [(element.tag, True), *((key, False) for key in element.attrib)]:
            uri = split_name(qualified)[0]
            if not uri or uri == XML_NS or (uri in prefixes and (prefixes[uri] or is_tag)):
                continue
            prefix = KNOWN_PREFIXES.get(uri, "")
            if not prefix or prefix in taken:
                number = 0
                while "ns%d" % number in taken:
                    number += 1
                prefix = "ns%d" % number
            prefixes[uri] = extra[uri] = prefix
            taken.add(prefix)
    copy = renamed(node, prefixes)
    copy.tail = None
    copy.attrib = {**{"xmlns:" + prefix: uri for uri, prefix in extra.items()}, **copy.attrib}
    return to_text(copy).encode("utf-8")
