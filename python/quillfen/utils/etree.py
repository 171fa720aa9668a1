"""ElementTree trees walked without recursion.

A part read from a file may nest its elements as deep as the file likes (expat reads any
depth), and everything that walks a tree by recursion (ElementTree's own serialiser among
them) fails past the interpreter's recursion limit: a workbook that loaded could then not be
saved, or not even loaded. These walk with a stack of their own.
"""

import xml.etree.ElementTree as ET
from collections.abc import Callable, Hashable, Iterator
from typing import Any

__all__ = ["walk", "copy_tree", "to_text", "tree_key"]


def walk(root: ET.Element) -> Iterator[tuple[bool, ET.Element]]:
    """(True, element) when an element starts and (False, element) when it ends, in document
    order."""
    yield True, root
    stack = [(root, iter(root))]
    while stack:
        node, children = stack[-1]
        child = next(children, None)
        if child is None:
            stack.pop()
            yield False, node
        else:
            yield True, child
            stack.append((child, iter(child)))


def copy_tree[T](root: ET.Element, make: Callable[[ET.Element, T | None], T]) -> T:
    """A copy of the tree: `make(node, parent copy or None)` makes each node's copy (and
    attaches it to the parent's, as it sees fit); returns the root's copy."""
    copies: list[T] = []
    for starts, node in walk(root):
        if starts:
            copies.append(make(node, copies[-1] if copies else None))
        elif len(copies) > 1:
            copies.pop()
    return copies[0]


def _escape_text(text: str) -> str:
    # A carriage return is written as a reference: raw, a parser would read it as a line feed.
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace("\r", "&#13;")


def _escape_attribute(text: str) -> str:
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")
            .replace("\r", "&#13;").replace("\n", "&#10;").replace("\t", "&#09;"))


def to_text(root: ET.Element) -> str:
    """`ET.tostring(root, encoding="unicode")` of a tree whose names are written as they are
    (no "{uri}local" names), but for carriage returns in character data, which are written
    as references."""
    out: list[str] = []
    write = out.append
    for starts, node in walk(root):
        tag: Any = node.tag
        if starts:
            if tag is ET.Comment:
                write("<!--%s-->" % node.text)
            elif tag is ET.ProcessingInstruction:
                write("<?%s?>" % node.text)
            else:
                write("<" + tag)
                for key, value in node.items():
                    write(' %s="%s"' % (key, _escape_attribute(value)))
                if node.text or len(node):
                    write(">")
                    if node.text:
                        write(_escape_text(node.text))
                else:
                    write(" />")
            continue
        if isinstance(tag, str) and (node.text or len(node)):
            write("</%s>" % tag)
        if node.tail:
            write(_escape_text(node.tail))
    return "".join(out)


def tree_key(root: ET.Element) -> Hashable:
    """What makes two trees the same, as their text would: tags, attributes, texts and tails
    (an empty one as none), in order."""
    return tuple((node.tag, tuple(node.items()), node.text or "", node.tail or "") if starts else None
                 for starts, node in walk(root))
