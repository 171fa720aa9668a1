"""Trees walked without recursion (issue 24): the text is ElementTree's, the copies and keys
are those of the recursive walks, at any depth."""

import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, settings, strategies as st

from quillfen.constants import MAIN_NS as MAIN

from quillfen.utils.etree import copy_tree, to_text, tree_key
from quillfen.writer.xml import plain_copy, to_bytes

_TEXT = st.none() | st.text(st.sampled_from('ab &<>"\t\n\u00e9'), max_size=4)


@st.composite
def trees(draw, depth=0):
    node = ET.Element(draw(st.sampled_from(["a", "b", "x:c"])),
                      draw(st.dictionaries(st.sampled_from(["k", "x:l", "m"]), st.text(max_size=3).filter(
                          lambda t: "\r" not in t), max_size=2)))
    node.text, node.tail = draw(_TEXT), draw(_TEXT)
    if depth < 3:
        node.extend(draw(st.lists(trees(depth + 1), max_size=2)))
    return node


@settings(max_examples=100)
@given(trees(), trees())
def test_text_and_keys_are_those_of_the_recursive_walks(tree, other):
    assert to_text(tree) == ET.tostring(tree, encoding="unicode")
    assert (tree_key(tree) == tree_key(other)) == (ET.tostring(tree) == ET.tostring(other))
    copy = copy_tree(tree, lambda node, parent: ET.SubElement(parent, node.tag, node.attrib) if parent is not None
                     else ET.Element(node.tag, node.attrib))
    assert [node.tag for node in copy.iter()] == [node.tag for node in tree.iter()]


@pytest.mark.parametrize("lxml", [False, True], ids=["etree", "lxml"])
def test_any_depth(lxml):
    if lxml:
        pytest.importorskip("lxml")
    root = node = ET.Element("{%s}a" % MAIN)
    for _ in range(20_000):
        node = ET.SubElement(node, "{%s}b" % MAIN, {"{http://www.w3.org/XML/1998/namespace}space": "preserve",
                                                     "{urn:other}x": "1"})
    node.text = "end\r"
    copy = plain_copy(root)
    assert tree_key(copy) != tree_key(root) and len(list(copy.iter())) == 20_001
    back = ET.fromstring(to_bytes(copy, lxml))
    assert tree_key(back) == tree_key(copy)
