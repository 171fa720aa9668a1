"""Tables for the Arrow PyCapsule protocol: the engine's and the pure-Python path's make the same
table from the same typed columns, every exported struct is released exactly once however a
consumer ends, and sheets give the frame their options ask for on both paths."""

import array
import datetime
import gc
import os
import sys

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import quillfen
from quillfen import _arrow
from quillfen.utils.datetime import value_text

pa = pytest.importorskip("pyarrow")
engine = pytest.importorskip("quillfen._quillfen")

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import xlsxgen  # noqa: E402

MAKERS = {"native": engine.arrow_table, "pure": _arrow.arrow_table}
# The values of a column that mixes types, which becomes text.
_OBJECTS = st.one_of(st.none(), st.integers(-2**70, 2**70), st.floats(allow_nan=False, allow_infinity=False),
                     st.booleans(), st.text(max_size=5), st.datetimes(), st.dates(), st.times(),
                     st.timedeltas(), st.sampled_from([1e16, 1e-5, 1e-4, 123456789012345.6, -0.0, 5e-324]))
_TEXT = st.one_of(st.none(), st.sampled_from(["", "a", "name one", "é\u20ac\U0001f600"]), st.text(max_size=30))
_KINDS = {
    "int": (st.integers(-2**63, 2**63 - 1), "q"), "float": (st.floats(allow_nan=False), "d"),
    "datetime": (st.integers(-2**62, 2**62), "q"), "bool": (st.booleans(), None),
}


@st.composite
def columns(draw):
    rows = draw(st.integers(0, 40))
    specs, expected = [], []
    for kind in draw(st.lists(st.sampled_from(["int", "float", "datetime", "bool", "text", "empty", "object"]),
                              min_size=1, max_size=6)):
        if kind == "object":
            values = draw(st.lists(_OBJECTS, min_size=rows, max_size=rows))
            specs.append(("object", values, None))
            expected.append([None if v is None else value_text(v) for v in values])
            continue
        if kind == "empty":
            specs.append(("empty", None, None))
            expected.append([None] * rows)
            continue
        if kind == "text":
            # Few distinct values make dictionary-encoded columns, many make plain ones.
            pool = draw(st.lists(_TEXT, min_size=1, max_size=4))
            values = draw(st.lists(st.sampled_from(pool) | _TEXT, min_size=rows, max_size=rows))
            specs.append(("text", values, None))
            expected.append(values)
            continue
        strategy, code = _KINDS[kind]
        values = draw(st.lists(strategy, min_size=rows, max_size=rows))
        nulls = draw(st.none() | st.lists(st.booleans(), min_size=rows, max_size=rows).map(bytearray))
        data = bytes(values) if code is None else array.array(code, values)
        specs.append((kind, data, nulls))
        expected.append([None if nulls and nulls[i] else values[i] for i in range(rows)])
    return rows, specs, expected


_SPARSE_TEXT = [None, None, "00000"] + [None] * 32  # missing items count no bytes of text


@given(table=columns(), batch_rows=st.integers(1, 50), dictionary=st.booleans())
@example(table=(35, [("text", _SPARSE_TEXT, None)], [_SPARSE_TEXT]), batch_rows=1, dictionary=True)
def test_both_paths_make_the_same_table(table, batch_rows, dictionary):
    rows, specs, expected = table
    names = ["c%d" % i for i in range(len(specs))]
    made = {path: pa.table(make(names, iter(specs), rows, batch_rows, dictionary, value_text))
            for path, make in MAKERS.items()}
    native, pure = made["native"], made["pure"]
    assert native.schema == pure.schema and native.equals(pure)
    assert [b.num_rows for b in native.to_batches()] == [b.num_rows for b in pure.to_batches()]
    assert all(b.num_rows <= batch_rows for b in native.to_batches())
    assert native.num_rows == rows
    for name, (kind, _data, _nulls), values in zip(names, specs, expected):
        column = native.column(name)
        if kind == "datetime":
            column = column.cast(pa.int64())
        elif kind in ("text", "object") and pa.types.is_dictionary(column.type):
            column = column.cast(pa.string())
        assert column.to_pylist() == [None if v is None else bool(v) if kind == "bool" else v for v in values]


@pytest.mark.parametrize("path", sorted(MAKERS))
def test_every_release_runs_once(path):
    table_type = engine.ArrowTable if path == "native" else _arrow.ArrowTable
    before = table_type._live()
    words = ["repeated text value"] * 50 + [None]
    made = MAKERS[path](["n", "t"], iter([("int", array.array("q", range(51)), None), ("text", words, None)]),
                        51, 10, True)
    made.__arrow_c_stream__()  # dropped unread
    made.__arrow_c_schema__()
    reader = pa.RecordBatchReader.from_stream(made)
    first = reader.read_next_batch()  # a batch kept, the reader dropped part-way
    del reader
    whole = pa.table(made)
    assert pa.types.is_dictionary(whole.schema.field("t").type)
    column = whole.column("t")  # a child outlives its batch
    del whole
    assert column.to_pylist() == words and first.num_rows == 10
    del column, first
    gc.collect()
    assert table_type._live() == before


@pytest.mark.parametrize("path", sorted(MAKERS))
def test_bad_columns_are_refused(path):
    make = MAKERS[path]
    with pytest.raises(ValueError):
        make(["a"], iter([("int", b"\0" * 7, None)]), 1, 1, False)
    with pytest.raises(ValueError):
        make(["a", "b"], iter([("empty", None, None)]), 1, 1, False)
    with pytest.raises(TypeError):
        make(["a"], iter([("text", [1], None)]), 1, 1, False)
    with pytest.raises(ValueError):
        make(["a"], iter([("int", b"\0" * 8, b"\0\0")]), 1, 1, False)


@pytest.fixture(scope="module")
def sheet(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("arrow") / "options.xlsx")

    def rows(strings):
        yield '<row r="1"><c r="A1" t="s"><v>%d</v></c></row>' % strings.add("a title above the table")
        yield '<row r="3">%s</row>' % "".join('<c r="%s3" t="s"><v>%d</v></c>' % (c, strings.add(n))
                                              for c, n in zip("BCDE", ["id", "when", "total", "note"]))
        for r in (4, 5, 7, 8):  # row 6 blank
            yield ('<row r="{r}"><c r="B{r}"><v>{r}</v></c><c r="C{r}" s="1"><v>{d}</v></c>'
                   '<c r="D{r}"><f>B{r}*2</f><v>{t}</v></c><c r="E{r}" t="s"><v>{n}</v></c></row>').format(
                       r=r, d=40000 + r, t=r * 2, n=strings.add("n%d" % (r % 2)))

    xlsxgen.write_workbook(path, [("S", rows, None, [])])
    return path


@pytest.mark.parametrize("pure", ["0", "1"], ids=["native", "pure"])
@pytest.mark.parametrize("read_only", [True, False], ids=["read-only", "editable"])
def test_frame_options(sheet, monkeypatch, pure, read_only):
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", pure)
    with quillfen.load_workbook(sheet, read_only=read_only, data_only=not read_only) as wb:
        ws = wb.active
        table = pa.table(ws.to_arrow(header_row=3, batch_rows=2))
        assert table.column_names == ["Unnamed: 0", "id", "when", "total", "note"][1:]
        assert table.column("id").to_pylist() == [4, 5, None, 7, 8]  # the blank row kept
        assert table.column("when").type == pa.timestamp("us")
        assert table.column("total").to_pylist() == [8, 10, None, 14, 16]  # cached results
        picked = pa.table(ws.to_arrow(header_row=3, columns=["note", "B", 2], nrows=2, skip_blank_rows=True,
                                      dtypes={"id": float, "note": "str"}, dictionary=False))
        assert picked.column_names == ["note", "id", "when"]
        assert picked.column("id").to_pylist() == [4.0, 5.0] and picked.column("note").to_pylist() == ["n0", "n1"]
        assert pa.table(ws.to_arrow(skip_rows=2, columns="D:E", skip_blank_rows=True)).num_rows == 4
        assert pa.table(ws).num_rows == 7  # the title row names the columns, row 2 is left out
        with pytest.raises(ValueError, match="no column named 'nope'"):
            ws.to_arrow(header_row=3, columns=["nope"])
        with pytest.raises(ValueError, match="row 0"):
            ws.to_arrow(header_row=3, dtypes={"note": int})
    if read_only:
        with quillfen.load_workbook(sheet, read_only=True) as wb:
            formulas = pa.table(wb.active.to_arrow(header_row=3, formulas=True)).column("total").to_pylist()
        assert formulas[0] == "=B4*2"


def test_duckdb_and_polars_read_the_sheet(sheet, monkeypatch):
    duckdb = pytest.importorskip("duckdb")
    pl = pytest.importorskip("polars")
    with quillfen.load_workbook(sheet, read_only=True) as wb:
        ws = wb.active
        reads = []
        to_arrow = type(ws).to_arrow
        monkeypatch.setattr(type(ws), "to_arrow", lambda self, *a, **k: reads.append(1) or to_arrow(self, *a, **k))
        assert duckdb.sql("select count(*) from ws").fetchall() == [(7,)]
        assert len(reads) == 1  # DuckDB's schema and stream come from one read of the part
        assert pl.DataFrame(ws).columns == [name for name in pa.table(ws).column_names]
