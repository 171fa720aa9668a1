"""The `_xHHHH_` escapes of cell and comment text: a file's escapes read as the characters they
stand for (as spreadsheet programs show them), and every text comes back from a save unchanged,
through both serialisers, written and read on either path."""

import io

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import quillfen
from quillfen.comments import Comment
from quillfen.utils.escapes import decode, encode

from support import pure_path, environment, set_value

# Texts made of what matters here: underscores, escapes whole and cut short, surrogate halves,
# characters XML cannot hold, a carriage return.
PIECES = st.sampled_from(["_", "x", "_x", "005F", "000D", "D83D", "de00", "_x000D_", "_x005F_", "_xD83D_",
                          "_xDE00_", "_x0041_", "\x01", "\r", "\ufffe", "a", "\u00e9", "\U0001F600"])
TEXTS = st.lists(PIECES, max_size=8).map("".join)


@pytest.mark.parametrize("stored, shown", [
    ("ABC_x000D_DEF", "ABC\rDEF"),
    ("_x005F_x000D_", "_x000D_"),
    ("_x00e9__x0009_", "\u00e9\t"),
    ("_xD83D__xDE00_", "\U0001F600"),
    ("_xD83D_x_xDE00_", "_xD83D_x_xDE00_"),  # lone surrogates stay as written
    ("_x0041_x0042_", "Ax0042_"),  # left to right: the "_" that ends one escape starts no other
    ("_x12G4_", "_x12G4_"),
])
def test_escapes_read_as_shown(stored, shown):
    assert decode(stored) == shown


@given(TEXTS)
def test_every_text_survives_its_escapes(text):
    assert decode(encode(text)) == text


def _saved(texts, lxml):
    wb = quillfen.Workbook()
    for row, text in enumerate(texts, 1):
        set_value(wb.active.cell(row, 1), text)  # a control character only as a loaded text holds it
    out = io.BytesIO()
    with environment(QUILLFEN_XML="lxml" if lxml else "etree"):
        wb.save(out)
    return out.getvalue()


def _texts(data, read_only):
    wb = quillfen.load_workbook(io.BytesIO(data), read_only=read_only)
    return [row[0] for row in wb.active.iter_rows(max_col=1, values_only=True)]


@settings(max_examples=20)
@given(st.lists(TEXTS.filter(bool), min_size=1, max_size=4), st.booleans())
def test_every_text_survives_a_save(texts, lxml):
    for write_pure in (False, True):
        with pure_path(write_pure):
            data = _saved(texts, lxml)
            again = io.BytesIO()  # loaded and saved again: the engine keeps it in its store
            quillfen.load_workbook(io.BytesIO(data)).save(again)
        for read_pure in (False, True):
            with pure_path(read_pure):
                for found in (data, again.getvalue()):
                    assert _texts(found, False) == texts
                    assert _texts(found, True) == texts


@settings(max_examples=20)
@given(TEXTS.filter(bool), st.booleans())
def test_comment_text_survives_a_save(text, lxml):
    try:
        note = Comment(text, "Ann")
    except ValueError:
        assume(False)  # a character no comment may hold
    wb = quillfen.Workbook()
    wb.active["A1"].comment = note
    out = io.BytesIO()
    with environment(QUILLFEN_XML="lxml" if lxml else "etree"):
        wb.save(out)
    for read_pure in (False, True):
        with pure_path(read_pure):
            assert quillfen.load_workbook(io.BytesIO(out.getvalue())).active["A1"].comment.text == text
