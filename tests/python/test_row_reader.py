"""The native sheet reader against the pure-Python one: parsed items (fast and event paths),
RowReader rows and actions, the read-only host with its fallback, and RowReader's own rules."""

import gc
import io
import sys
import threading
import weakref

import pytest
from hypothesis import given, strategies as st

from quillfen.model.cell import EMPTY_CELL, ReadOnlyCell
from quillfen.reader.helpers import reading_helpers
from quillfen.reader.sheet import ABSENT, ReaderSettings, WorksheetParser
from quillfen.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

from support import MAIN, Pieces, SheetOptions


def norm(v):
    if v is ABSENT or v is Ellipsis:
        return "ABSENT"
    return (type(v).__name__, repr(v))


def outcome(fn):
    """("ok", result) or ("error", type name, message)."""
    try:
        return ("ok", fn())
    except Exception as exc:  # noqa: BLE001 - every failure is compared
        return ("error", type(exc).__name__, str(exc))


def sheet(rows, before="", after="", prefix=""):
    p = prefix + ":" if prefix else ""
    decl = ' xmlns%s="%s"' % (":" + prefix if prefix else "", MAIN)
    return ("<%sworksheet%s>%s<%ssheetData>%s</%ssheetData>%s</%sworksheet>"
            % (p, decl, before, p, rows, p, after, p)).encode()


def pure_items(data, opts, chunk=65536):
    actions = []
    out = []
    for item in WorksheetParser(Pieces(data, [chunk]), ReaderSettings.from_parser(opts), reading_helpers(),
                                actions, opts.row_dimensions):
        if item[0] == "row":
            out.append(("row", item[1], [(c.row, c.column, norm(c.value), c.data_type, norm(c.style_id),
                                          norm(c.formula), norm(c.cached), c.is_formula) for c in item[2]]))
        else:
            out.append(("element", item[1], item[2]))
    return out, [a for a in actions if a[0] == "warn"]


def native_items(testing, data, opts, fast, chunk=65536):
    actions = []
    items, fast_cells, event_cells = testing.sheet_items(Pieces(data, [chunk]), opts, reading_helpers(), actions, fast)
    out = []
    for item in items:
        if item[0] == "row":
            out.append(("row", item[1], [(r, c, norm(v), dt, norm(s), norm(f), norm(cv), isf)
                                         for r, c, v, dt, s, f, cv, isf in item[2]]))
        else:
            out.append(item)
    return (out, actions), fast_cells, event_cells


def raw_rows(native, data, opts, chunk=65536):
    reader = native.RowReader(Pieces(data, [chunk]), opts, reading_helpers())
    rows = []
    while (row := reader.next_raw()) is not None:
        rows.append((row[0], [(r, c, norm(v), dt, norm(s)) for r, c, v, dt, s in row[1]]))
    return rows, list(reader.actions)


# ---------------------------------------------------------------- generated worksheets

V_TEXTS = ["0", "1", "42", "-7", "007", "+7", "1.5", "1.", ".5", "1e3", "2E-2", "e5", "1e", " 3",
           "123456789012345678", "1234567890123456789", "99999999999999999999", "45000", "45000.25",
           "3000000", "-1", "3", "2", "1e400", "nan", "inf", "1_0", "2024-01-02T03:04:05", "#N/A",
           "a &amp; b", "x\ty", "\u00e9t\u00e9", "0.0000001"]


def pick(draw, common, rare, percent=2):
    """One of `common`, or (about `percent` in a hundred draws) one of `rare`: the forms that make
    the whole sheet fail are kept rare so most examples compare complete results."""
    return draw(st.sampled_from(rare if draw(st.integers(0, 99)) < percent else common))


NUMBERS = ["0", "1", "42", "-7", "007", "+7", "1.5", "1.", ".5", "1e3", "2E-2", "123456789012345678",
           "1234567890123456789", "99999999999999999999", "45000", "45000.25", "3000000", "-1", "1e400",
           "nan", "inf", "1_0", "0.0000001", "2958466", "-693594", "60", "59.5", "60.75", "0.5", "-0.0"]


@st.composite
def cells(draw):
    attrs = []
    r = pick(draw, [None, "auto", "auto"], ["", "b3", "$C$4", "A0"])
    if r == "auto":
        col = draw(st.integers(1, 30))
        attrs.append('r="%s%d"' % ("ABCDEFGHIJKLMNOPQRSTUVWXYZ"[(col - 1) % 26] * (1 + (col - 1) // 26),
                                   draw(st.integers(1, 6))))
    elif r is not None:
        attrs.append('r="%s"' % r)
    s = draw(st.sampled_from([None, None, "0", "1", "1", "2", "", "007", "9" * 20]))
    if s is not None:
        attrs.append('s="%s"' % s)
    t = pick(draw, [None, None, "n", "s", "b", "e", "str", "inlineStr", "f", "zz"], ["d"], 5)
    if t is not None:
        attrs.append('t="%s"' % t)
    children = []
    if draw(st.booleans()):
        kind = draw(st.sampled_from(["plain", "plain", "array", "dataTable", "shared", "shared", "shared_nosi",
                                     "empty_shared"]))
        text = draw(st.sampled_from(["", "A1+1", "SUM(B1:B3)", "$A$1*2", "A1&\"x\"", "\u00e9t\u00e9+A1",
                                     "Z1", "A1:B2"]))
        if kind == "plain":
            children.append("<f>%s</f>" % text.replace("&", "&amp;").replace('"', "&quot;"))
        elif kind == "array":
            children.append('<f t="array" ref="A1:A2">%s</f>' % text.replace("&", "&amp;"))
        elif kind == "dataTable":
            children.append('<f t="dataTable" ref="B1:C3" dt2D="1" r1="A1"/>')
        elif kind == "shared":
            si = draw(st.sampled_from(["0", "1"]))
            children.append('<f t="shared" si="%s">%s</f>' % (si, text.replace("&", "&amp;")) if draw(st.booleans())
                            else '<f t="shared" si="%s"/>' % si)
        elif kind == "shared_nosi":
            children.append('<f t="shared">%s</f>' % text.replace("&", "&amp;"))
        else:
            children.append('<f t="shared" si="0"></f>')
    if draw(st.booleans()):
        common = {None: NUMBERS, "n": NUMBERS, "s": ["0", "1", "2", "-1", "02"], "b": ["0", "1", "2", "-0"],
                  "d": ["2024-01-02T03:04:05"]}.get(t, V_TEXTS)
        v = pick(draw, common, V_TEXTS, 3)
        children.append("<v>%s</v>" % v if draw(st.integers(0, 9)) else "<v/>")
    if t == "inlineStr" or draw(st.integers(0, 5)) == 0:
        children.append(draw(st.sampled_from(["<is><t>hi</t></is>", "<is><r><t>a</t></r><r><t>b</t></r></is>",
                                              "<is><t xml:space=\"preserve\"> x_x005F_ </t></is>", "<is/>",
                                              "<is><t>a</t><rPh><t>k</t></rPh></is>"])))
    if draw(st.integers(0, 8)) == 0:
        children.insert(0, pick(draw, ["<v>9</v>", "<extra>t</extra>", "<o:v xmlns:o=\"urn:o\">1</o:v>"],
                                ["<mergeCells/>"], 2))
    name = "c" if draw(st.integers(0, 15)) else "x"
    if not children and draw(st.booleans()):
        return "<%s %s/>" % (name, " ".join(attrs)) if attrs else "<%s/>" % name
    return "<%s%s>%s</%s>" % (name, "".join(" " + a for a in attrs), "".join(children), name)


@st.composite
def rows(draw):
    attrs = []
    r = pick(draw, [None, None, "auto", "auto", "3.0", "2"], [""])
    if r == "auto":
        attrs.append('r="%d"' % draw(st.integers(1, 8)))
    elif r is not None:
        attrs.append('r="%s"' % r)
    if draw(st.integers(0, 3)) == 0:
        attrs.append(draw(st.sampled_from(['ht="20" customHeight="1"', 'spans="1:3"', 'hidden="1"'])))
    body = "".join(draw(st.lists(cells(), max_size=5)))
    if draw(st.integers(0, 200)) == 0:
        body += "<mergeCells/>"
    sep = draw(st.sampled_from(["", "\n  "]))
    if not body and draw(st.booleans()):
        return "<row%s/>" % "".join(" " + a for a in attrs)
    return "<row%s>%s%s</row>" % ("".join(" " + a for a in attrs), sep, body)


ELEMENTS = ["<sheetPr/>", '<dimension ref="A1:C3"/>', '<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>',
            '<x:ext xmlns:x="urn:x">t<x:y/></x:ext>', "<cols><col min=\"1\" max=\"2\"/></cols>"]

SETTINGS = st.fixed_dictionaries({
    "data_only": st.booleans(),
    "formula_and_value": st.booleans(),
    "rich_text": st.booleans(),
    "epoch": st.sampled_from([WINDOWS_EPOCH, MAC_EPOCH]),
    "date_formats": st.sampled_from([set(), {1, 2}, {1}]),
    "time_formats": st.sampled_from([set(), {1}]),
})


@st.composite
def worksheets(draw):
    body = "".join(draw(st.lists(rows(), max_size=6)))
    if draw(st.integers(0, 10)) == 0:
        body += "<foo/>"
    before = "".join(draw(st.lists(st.sampled_from(ELEMENTS), max_size=2)))
    after = "".join(draw(st.lists(st.sampled_from(ELEMENTS), max_size=2)))
    prefix = draw(st.sampled_from(["", "", "", "m"]))
    if prefix:
        body = body.replace("<", "<m:").replace("<m:/", "</m:").replace("</m:", "</m:")
        body = body.replace("<m:/m:", "</m:")
    return sheet(body, before, after, prefix)


def fallback_allowed(native_out):
    return native_out[0] == "error" and native_out[1] == "NativeFallback"


@given(worksheets(), SETTINGS, st.sampled_from([65536, 7, 1, 100]))
def test_parser_matches_pure_python(testing, data, settings, chunk):
    opts = SheetOptions(**settings)
    ref_opts, fast_opts, event_opts = opts.fresh(), opts.fresh(), opts.fresh()
    ref = outcome(lambda: pure_items(data, ref_opts))
    fast = outcome(lambda: native_items(testing, data, fast_opts, True, chunk)[0])
    event = outcome(lambda: native_items(testing, data, event_opts, False)[0])
    # The fast path reads exactly what the event path reads.
    assert fast == event
    if fallback_allowed(fast):
        return
    if ref[0] == "ok":
        assert fast[0] == "ok", fast
        ref_items, ref_warn = ref[1]
        native, actions = fast[1]
        assert native == ref_items
        assert [norm(a[1]) for a in actions] == [norm(a[1]) for a in ref_warn]
        assert fast_opts.row_dimensions == ref_opts.row_dimensions
    else:
        assert fast == ref


@given(worksheets(), SETTINGS, st.sampled_from([65536, 3]))
def test_row_reader_matches_pure_python(native, data, settings, chunk):
    opts = SheetOptions(**settings)
    ref = outcome(lambda: pure_items(data, opts.fresh()))
    got = outcome(lambda: raw_rows(native, data, opts.fresh(), chunk))
    if fallback_allowed(got) or ref[0] != "ok":
        # Every failure of parsing reaches the caller as NativeFallback.
        assert got[0] == "ok" or got[1] == "NativeFallback"
        return
    ref_items, ref_warn = ref[1]
    rows, actions = got[1]
    assert rows == [(idx, [c[:5] for c in cs]) for kind, idx, cs in ref_items if kind == "row"]
    assert [a for a in actions if a[0] == "element"] == [i for i in ref_items if i[0] == "element"]
    assert [norm(a[1]) for a in actions if a[0] == "warn"] == [norm(a[1]) for a in ref_warn]


def test_fast_path_is_taken_for_common_cells(testing):
    data = sheet('<row r="1"><c r="A1" s="1"><v>45000</v></c><c r="B1" t="s"><v>1</v></c>'
                 '<c r="C1"><f>A1+1</f><v>2</v></c><c r="D1"/></row>')
    (items, _), fast_cells, event_cells = native_items(testing, data, SheetOptions(), True)
    assert (fast_cells, event_cells) == (4, 0)
    (items2, _), fast_cells, event_cells = native_items(testing, data, SheetOptions(), False)
    assert (fast_cells, event_cells) == (0, 4) and items == items2


@pytest.mark.parametrize("rows, message", [
    ('<row><mergeCells/></row>', "unsupported: dispatch tag inside row"),
    ('<row><c><row/></c></row>', "unsupported: dispatch tag inside cell"),
    ('<row><c><v>1<col/></v></c></row>', "unsupported: nested element handled by dispatcher"),
])
def test_parser_refusals(testing, native, rows, message):
    with pytest.raises(native.NativeFallback, match="^%s$" % message):
        native_items(testing, sheet(rows), SheetOptions(), True)


def test_interpretation_cases(testing):
    data = sheet('<row r="2"><c r="B2"><v>42</v></c><c r="C5"/><c><v>1.</v></c><c t="str"><v>x</v></c>'
                 '<c t="str"/><c t="b"><v>2</v></c><c t="s"><v>+2</v></c><c s=""><v>1</v></c>'
                 '<c s="99999999999999999999"><v>1</v></c></row>'
                 '<row r="5"/><row><c r="A1"><f t="shared" si="0" ref="A1:A3">B1</f></c>'
                 '<c r="A2"><f t="shared" si="0"/></c><c r="A3"><f t="shared" si="0"/></c></row>')
    (items, _), _, _ = native_items(testing, data, SheetOptions(), True)
    cells = [c for i in items if i[0] == "row" for c in i[2]]
    got = [(r, c, v[1], dt, s[1]) for r, c, v, dt, s, *_ in cells]
    assert got == [
        (2, 2, "42", "n", "0"), (5, 3, "None", "n", "0"), (2, 4, "1.0", "n", "0"), (2, 5, "'x'", "s", "0"),
        (2, 6, "None", "str", "0"), (2, 7, "True", "b", "0"), (2, 8, "'two'", "s", "0"),
        (2, 9, "1", "n", "''"), (2, 10, "1", "n", "99999999999999999999"),
        (1, 1, "'=B1'", "f", "0"), (2, 1, "'=B2'", "f", "0"), (3, 1, "'=B3'", "f", "0")]
    assert [i[1] for i in items] == [2, 5, 6]


def test_out_of_range_dependent_raises_translator_error(testing):
    from quillfen.formula import TranslatorError
    data = sheet('<row r="2"><c r="A2"><f t="shared" si="0">A1</f></c></row>'
                 '<row r="1"><c r="A1"><f t="shared" si="0"/></c></row>')
    with pytest.raises(TranslatorError, match="Formula out of range"):
        native_items(testing, data, SheetOptions(), True)


def test_rendering_a_dependent_out_of_range_raises_translator_error(testing):
    # The render step has its own error path (loading checks the shift first): the package's
    # exception must come out of it, not a SystemError about a missing exception.
    from quillfen.formula import TranslatorError
    assert testing.shared_render("=A1+$B$2", 2, 1, 3, 2, reading_helpers()) == "=B2+$B$2"
    with pytest.raises(TranslatorError, match="Formula out of range"):
        testing.shared_render("=A1", 2, 1, 1, 1, reading_helpers())


def test_date_warning_only_outside_formula_cells(testing):
    data = sheet('<row><c r="A1" s="1"><v>99999999</v></c><c r="B1" s="1"><f>1</f><v>99999999</v></c></row>')
    (items, actions), _, _ = native_items(testing, data, SheetOptions(formula_and_value=True), True)
    row = items[0][2]
    assert [(c[2][1], c[3]) for c in row] == [("'#VALUE!'", "e"), ("'=1'", "f")]
    assert row[1][6] == ("str", "'#VALUE!'")
    assert len(actions) == 1 and actions[0][0] == "warn" and "Cell A1" in actions[0][1]


# ---------------------------------------------------------------- RowReader


def make_reader(native, rows, after="", **kw):
    return native.RowReader(io.BytesIO(sheet(rows, after=after)), SheetOptions(**kw), reading_helpers())


def test_next_row_shapes(native):
    filler = object()
    r = make_reader(native, '<row r="1"><c r="C1"><v>5</v></c></row><row r="4"/>')
    idx, row = r.next_row("ws", 1, None, False, ReadOnlyCell, filler)
    assert idx == 1 and row[:2] == (filler, filler)
    assert (row[2].parent, row[2].row, row[2].column, row[2].value, row[2].data_type, row[2].style_id) == \
        ("ws", 1, 3, 5, "n", 0)
    assert r.next_row("ws", 1, None, False, ReadOnlyCell, filler) == (4, ())
    assert r.next_row("ws", 1, None, False, ReadOnlyCell, filler) is None
    assert r.next_row("ws", 1, None, False, ReadOnlyCell, filler) is None

    opts = SheetOptions()
    r = native.RowReader(io.BytesIO(sheet('<row r="1"><c r="C1" t="s"><v>2</v></c></row><row r="4"/>')), opts,
                         reading_helpers())
    # Out of bounds the cell's value is never converted: its string is gone by now.
    opts.shared_strings.clear()
    assert r.next_row("ws", 2, 2, False, ReadOnlyCell, filler) == (1, (filler,))
    assert r.next_row("ws", 1, 2, True, ReadOnlyCell, None) == (4, (None, None))


def test_next_row_formula_and_value_and_extra_slots(native):
    class Cell:
        __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id", "formula", "cached_value",
                     "hyperlink")
    r = make_reader(native, '<row><c r="A1"><f>1+1</f><v>2</v></c><c r="B1"><v>3</v></c></row>',
                    formula_and_value=True)
    _, (a, b) = r.next_row(None, 1, None, False, Cell, None, ["hyperlink"])
    assert (a._value, a.formula, a.cached_value, a.hyperlink) == ("=1+1", "=1+1", 2, None)
    assert (b._value, b.formula, b.cached_value) == (3, None, 3)


def test_elements_and_warnings_in_document_order(native):
    r = make_reader(native, '<row><c r="A1" s="1"><v>99999999</v></c></row>',
                    after='<mergeCells><mergeCell ref="A1:B1"/></mergeCells>')
    r.next_raw()
    assert r.next_raw() is None
    kinds = [a[0] for a in r.actions]
    assert kinds == ["warn", "element"]
    assert r.actions[1][1].startswith(b"<mergeCells>") and r.actions[1][2] == [("", MAIN)]


def test_argument_errors(native):
    with pytest.raises(TypeError):
        native.RowReader(io.BytesIO(b""), SheetOptions(), [])
    with pytest.raises(TypeError):
        native.RowReader(io.BytesIO(b""), SheetOptions(row_dimensions=[]), reading_helpers())
    r = make_reader(native, "<row/>")
    with pytest.raises(TypeError):
        r.next_row(None, 1, None, 1, ReadOnlyCell, None)
    with pytest.raises(TypeError):
        r.next_row(None, 1, None, False, ReadOnlyCell, None, "formula")
    with pytest.raises(TypeError):
        r.next_row(None, "1", None, False, ReadOnlyCell, None)
    assert native.RowReader.__doc__ == "RowReader(source, parser, helpers)\n--\n\nStreaming row reader used by ReadOnlyWorksheet." \
        or native.RowReader.__text_signature__ == "(source, parser, helpers)"


def test_failures_become_native_fallback(native):
    helpers = reading_helpers()

    def bad_int(text):
        raise ValueError("no")
    helpers["int"] = bad_int
    r = native.RowReader(io.BytesIO(sheet('<row><c><v>+1</v></c></row>')), SheetOptions(), helpers)
    with pytest.raises(native.NativeFallback, match="^native reader error: ValueError: no$"):
        r.next_raw()
    r = make_reader(native, '<row><c><v>1</v></c></row><row><c><v>1</v></c><bad></row>')
    with pytest.raises(native.NativeFallback, match="^malformed: "):
        r.next_raw()


def test_rows_held_back_until_their_block_is_left(native):
    good = "".join('<row r="%d"><c r="A%d"><v>%d</v></c></row>' % (i, i, i) for i in range(1, 3000))
    data = sheet(good + "<row><c><v>1</v></c><oops></row>")
    r = native.RowReader(io.BytesIO(data), SheetOptions(), reading_helpers())
    released = 0
    with pytest.raises(native.NativeFallback):
        while r.next_raw() is not None:
            released += 1
    damage = data.index(b"<oops>")
    # Only rows of blocks wholly before the one holding the damage came out.
    assert 0 < released and len(sheet(good[:0])) + len(good) - damage < 16384 * 2
    last = '<row r="%d">' % released
    assert data.index(last.encode()) < (damage // 16384) * 16384


def test_borrow_errors_from_a_helper(native):
    holder = {}

    def reenter(text):
        reader = holder["r"]
        with pytest.raises(RuntimeError, match="Already borrowed"):
            reader.next_raw()
        with pytest.raises(RuntimeError, match="Already mutably borrowed"):
            reader.actions
        return int(text)
    helpers = reading_helpers()
    helpers["int"] = reenter
    holder["r"] = native.RowReader(io.BytesIO(sheet('<row><c><v>+1</v></c></row>')), SheetOptions(), helpers)
    assert holder["r"].next_raw()[1][0][2] == 1


def test_reference_counts_and_collection(native):
    data = sheet('<row><c r="A1" t="s"><v>1</v></c><c r="B1"><v>2</v></c></row>',
                 after="<mergeCells/>")
    opts = SheetOptions()
    strings = opts.shared_strings
    before = sys.getrefcount(strings)
    for _ in range(50):
        r = native.RowReader(io.BytesIO(data), opts, reading_helpers())
        while r.next_row(None, 1, None, False, ReadOnlyCell, EMPTY_CELL) is not None:
            pass
        del r
    gc.collect()
    assert sys.getrefcount(strings) == before
    # A cycle through the reader's own actions list is collected.
    r = native.RowReader(io.BytesIO(data), opts, reading_helpers())
    r.actions.append(r)
    del r
    assert gc.collect() >= 1


def test_collector_sees_queued_values(native):
    # A date value made by a helper for a row still queued, referring back to the reader: the
    # cycle runs through the queue and must be collected with it.
    class Made:
        pass
    made = []

    def from_iso(text):
        made.append(Made())
        return made[-1]
    helpers = reading_helpers()
    helpers["from_ISO8601"] = from_iso
    rows = "".join('<row r="%d"><c r="A%d" t="d"><v>2020-01-0%d</v></c></row>' % (i, i, i) for i in (1, 2))
    r = native.RowReader(io.BytesIO(sheet(rows)), SheetOptions(), helpers)
    assert r.next_raw()[1][0][2] is made[0]
    queued = weakref.ref(made[1])
    made[1].reader = r
    del r, made[:]
    gc.collect()
    assert queued() is None


def test_threads_take_turns(native):
    # Every row once, to one thread or another; reading actions meanwhile waits, never fails.
    data = sheet("".join('<row><c><v>%d</v></c></row>' % i for i in range(2000)))
    r = native.RowReader(io.BytesIO(data), SheetOptions(), reading_helpers())
    errors, got = [], []

    def work():
        try:
            while (row := r.next_raw()) is not None:
                got.append(row[1][0][2])
                r.actions
        except Exception as exc:  # noqa: BLE001
            errors.append(exc)
    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and sorted(got) == list(range(2000))
