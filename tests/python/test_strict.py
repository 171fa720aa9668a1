"""Workbooks in the Strict namespaces read as Transitional ones, on both paths; the renaming
changes namespace declarations and nothing else, however the part is cut into reads."""

import datetime
import os
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, strategies as st

import quillfen
from quillfen.constants import DOC_REL_NS, MAIN_NS, STRICT_DOC_REL_NS, STRICT_MAIN_NS
from quillfen.package.strict import TransitionalNames

from conftest import CORPUS_DIR
from support import Pieces

STRICT_BOOK = os.path.join(CORPUS_DIR, "poi-SimpleStrict.xlsx")


@pytest.mark.skipif(not os.path.exists(STRICT_BOOK), reason="shared corpus not present")
@pytest.mark.parametrize("pure", ["0", "1"])
@pytest.mark.parametrize("read_only", [True, False])
def test_strict_workbook_reads_its_cells(pure, read_only, monkeypatch):
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", pure)
    wb = quillfen.load_workbook(STRICT_BOOK, read_only=read_only)
    first, second = ([row for row in ws.iter_rows(values_only=True)] for ws in wb.worksheets)
    assert first[0] == ("test", None, 1) and first[5] == (None, None, 6)
    assert second[3][0] == datetime.datetime(1990, 1, 1)
    assert second[-1][:3] == ("=SUM(A3:D3)", None, "=C3")


_DECLS = [f'xmlns="{STRICT_MAIN_NS}"', f"xmlns:r='{STRICT_DOC_REL_NS}'", f'xmlns:x = "{STRICT_MAIN_NS}"',
          'xmlns:o="urn:other"', f'a="&gt;{STRICT_MAIN_NS}"', 'b=">"']
# Pieces of content where a declaration-like text must stay as it is.
_CONTENT = ["text", f' xmlns="{STRICT_MAIN_NS}" ', "<!-- <c xmlns='%s'> -->" % STRICT_MAIN_NS,
            "<![CDATA[<c xmlns='%s'>]]>" % STRICT_MAIN_NS, "<?pi xmlns='%s'?>" % STRICT_MAIN_NS,
            "&lt;c xmlns='%s'&gt;" % STRICT_MAIN_NS, "<x:v>1</x:v>", "<empty/>"]


@st.composite
def documents(draw):
    children = []
    for _ in range(draw(st.integers(0, 6))):
        attrs = " ".join(draw(st.lists(st.sampled_from(_DECLS[1:]), max_size=3, unique=True)))
        body = "".join(draw(st.lists(st.sampled_from(_CONTENT), max_size=4)))
        children.append(f"<x:c {attrs}>{body}</x:c>")
    root_attrs = f'{_DECLS[0]} xmlns:x="{STRICT_MAIN_NS}"'
    return f'<?xml version="1.0"?><root {root_attrs}>{"".join(children)}</root>'.encode()


def _renamed(tree):
    names = {STRICT_MAIN_NS: MAIN_NS, STRICT_DOC_REL_NS: DOC_REL_NS}
    for element in tree.iter():
        if not isinstance(element.tag, str):
            continue  # a comment or processing instruction
        uri, sep, local = element.tag[1:].partition("}")
        if sep and uri in names:
            element.tag = "{%s}%s" % (names[uri], local)
    return ET.tostring(tree)


def _tree(data):
    # Comments and processing instructions are kept: what they hold must not change either.
    parser = ET.XMLParser(target=ET.TreeBuilder(insert_comments=True, insert_pis=True))
    parser.feed(data)
    return parser.close()


@given(documents(), st.lists(st.integers(1, 40), min_size=1, max_size=5))
def test_renaming_touches_only_declarations(doc, sizes):
    renamed = TransitionalNames(Pieces(doc, sizes)).read()
    assert _renamed(_tree(doc)) == ET.tostring(_tree(renamed))
    # Only namespace names changed, byte for byte.
    back = renamed.replace(MAIN_NS.encode(), STRICT_MAIN_NS.encode())
    assert back.replace(DOC_REL_NS.encode(), STRICT_DOC_REL_NS.encode()) == doc
