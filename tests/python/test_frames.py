"""Sheets as DataFrames: typed columns, missing values and names, the same frame from every
path (read-only or editable, native or pure Python) and the values of the sheet's rows."""

import datetime
import math
import os
import sys
import warnings

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import quillfen
from quillfen import frames

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import support  # noqa: E402
import xlsxgen  # noqa: E402
from conftest import CORPUS_DIR

CORPUS = CORPUS_DIR
FILES = ["cal-issue_261.xlsx", "cal-issues.xlsx", "cal-date.xlsx", "pycal-base.xlsx", "cal-errors.xlsx",
         "cal-issue_553.xlsx", "sjs-DataTypesFormats.xlsx", "poi-59746_NoRowNums.xlsx"]


@pytest.fixture(params=["native", "pure"])
def mode(request, monkeypatch):
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1" if request.param == "pure" else "0")
    # Small batches, so that columns change type and gain missing values across batches.
    monkeypatch.setattr(frames, "_BATCH", 3)
    monkeypatch.setattr(frames, "_BATCH_CELLS", 7)
    return request.param


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    path = tmp_path_factory.mktemp("frames") / "table.xlsx"

    def rows(strings):
        head = ["id", "ratio", "name", "day", "flag", "gappy", "mixed", "id"]
        yield '<row r="2">%s</row>' % "".join(
            '<c r="%s2" t="s"><v>%d</v></c>' % (chr(66 + i), strings.add(h)) for i, h in enumerate(head))
        for r in range(3, 11):
            gap = '<c r="G{r}"><v>{r}</v></c>' if r % 3 else ""
            mixed = '<c r="H{r}"><v>1</v></c>' if r < 8 else '<c r="H{r}" t="s"><v>%d</v></c>' % strings.add("x")
            yield ('<row r="{r}"><c r="B{r}"><v>{r}</v></c><c r="C{r}"><v>{f}</v></c>'
                   '<c r="D{r}" t="s"><v>{s}</v></c><c r="E{r}" s="1"><v>{d}</v></c><c r="F{r}" t="b"><v>{b}</v></c>'
                   + gap + mixed + '<c r="I{r}"><v>{r}</v></c></row>').format(
                r=r, f=r / 2 if r > 3 else r, s=strings.add("n%d" % r), d=40000 + r, b=r % 2)
        yield '<row r="12"/>'  # a row without values is left out

    xlsxgen.write_workbook(str(path), [("T", rows, "B2:I12", [])])
    return str(path)


@pytest.mark.parametrize("read_only", [True, False], ids=["read-only", "editable"])
def test_typed_columns(mode, table, read_only):
    with quillfen.load_workbook(table, read_only=read_only) as wb:
        df, pf = wb.active.to_pandas(), wb.active.to_polars()
    assert list(df.columns) == list(pf.columns) == ["id", "ratio", "name", "day", "flag", "gappy", "mixed", "id.1"]
    assert [str(t) for t in df.dtypes] == ["int64", "float64", "str", "datetime64[us]", "bool", "Int64", "object",
                                           "int64"]
    assert [str(t) for t in pf.dtypes] == ["Int64", "Float64", "String", "Datetime(time_unit='us', time_zone=None)",
                                           "Boolean", "Int64", "String", "Int64"]
    assert len(df) == len(pf) == 8
    assert df["id"].tolist() == pf["id"].to_list() == list(range(3, 11))
    assert df["day"][0] == pf["day"][0] == datetime.datetime(2009, 7, 9)
    assert df["gappy"].isna().tolist() == pf["gappy"].is_null().to_list() == [r % 3 == 0 for r in range(3, 11)]
    assert df["mixed"].tolist()[-4:] == [1, "x", "x", "x"] and pf["mixed"].to_list()[-4:] == ["1", "x", "x", "x"]
    unnamed = wb.active.to_pandas(header=False)
    assert list(unnamed.columns[:2]) == ["Unnamed: 1", "Unnamed: 2"] and len(unnamed) == 9


def _cells(value):
    if value is None or isinstance(value, float) and math.isnan(value) or value is pd.NaT or value is pd.NA:
        return None
    return value.to_pydatetime() if isinstance(value, pd.Timestamp) else value


@pytest.mark.skipif(not os.path.isdir(CORPUS), reason="shared corpus not present")
@pytest.mark.parametrize("name", FILES)
def test_frames_hold_the_sheet_values(mode, name):
    path = os.path.join(CORPUS, name)
    with quillfen.load_workbook(path, read_only=True, data_only=True) as wb:
        df, pf = wb.active.to_pandas(header=False), wb.active.to_polars(header=False)
    with quillfen.load_workbook(path, data_only=True) as wb:
        assert wb.active.to_pandas(header=False).equals(df)
        # Every row from the first to the last with a value, those without any included.
        rows = list(wb.active.iter_rows(values_only=True))
    valued = [i for i, row in enumerate(rows) if any(v is not None for v in row)]
    rows = rows[valued[0]:valued[-1] + 1] if valued else []
    used = [i for row in rows for i, v in enumerate(row) if v is not None]
    first, width = min(used, default=0), max(used, default=-1) + 1
    expected = [[row[i] if i < len(row) else None for i in range(first, width)] for row in rows]
    assert [[_cells(v) for v in row] for row in df.itertuples(index=False)] == expected
    assert pf.shape == df.shape
    for i, series in enumerate(pf.get_columns()):
        if series.dtype != pl.String:  # mixed columns become text in polars
            assert series.to_list() == [row[i] for row in expected]


def _cell_xml(ref, kind, value, strings):
    """A cell of each shape the engine types itself or hands over as an object."""
    if kind == "int":
        return '<c r="%s"><v>%d</v></c>' % (ref, value)
    if kind == "float":
        return '<c r="%s"><v>%r</v></c>' % (ref, value)
    if kind == "bool":
        return '<c r="%s" t="b"><v>%d</v></c>' % (ref, value)
    if kind == "shared":
        return '<c r="%s" t="s"><v>%d</v></c>' % (ref, strings.add(value))
    if kind == "inline":
        return '<c r="%s" t="inlineStr"><is><t>%s</t></is></c>' % (ref, value)
    if kind == "error":
        return '<c r="%s" t="e"><v>#N/A</v></c>' % ref
    if kind in ("date", "moment"):  # whole serials (0: midnight, a time) and fractions (below 1: times)
        return '<c r="%s" s="%d"><v>%r</v></c>' % (ref, 1 if kind == "date" else 2, value)
    if kind == "formula":
        return '<c r="%s"%s><f>A1*2</f>%s</c>' % (ref, *_RESULTS[value])
    return '<c r="%s" s="1"/>' % ref  # styled, without a value


# A formula's cached results: (attributes, the `v`) of each kind a reader types.
_RESULTS = [("", "<v>7</v>"), ("", "<v>3.5</v>"), (' t="n"', "<v>1E3</v>"), (' t="str"', "<v>ab</v>"),
            (' t="str"', "<v></v>"), (' t="b"', "<v>1</v>"), (' t="e"', "<v>#DIV/0!</v>"), (' s="1"', "<v>40000</v>"),
            (' s="2"', "<v>0.25</v>"), (' s="3"', "<v>1.5</v>"), ("", ""), (' t="s"', "<v>0</v>"),
            ("", "<v>99999999999999999999</v>"), (' t="b"', "<v>2</v>")]
_VALUES = {
    "int": st.integers(-2**70, 2**70), "float": st.floats(-1e9, 1e9, allow_nan=False), "bool": st.integers(0, 1),
    "shared": st.sampled_from(["a", "b", "c d"]), "inline": st.sampled_from(["x", "y"]), "error": st.none(),
    "date": st.integers(-5, 3000000), "moment": st.floats(-2, 70000), "formula": st.integers(0, len(_RESULTS) - 1),
    "empty": st.none(),
}
_CELL = st.sampled_from(sorted(_VALUES)).flatmap(lambda kind: st.tuples(st.just(kind), _VALUES[kind]))
# Rows of (column, cell); columns may repeat or go backwards, as in damaged parts.
_ROWS = st.lists(st.lists(st.tuples(st.integers(1, 5), _CELL), max_size=5), min_size=1, max_size=12)


@given(rows=_ROWS, batch=st.integers(1, 40), data_only=st.booleans(), header=st.booleans(), read_only=st.booleans(),
       formulas=st.booleans(), dimension=st.sampled_from([None, "A1:E12", "A1:E4", "B2:C1048576"]))
# A column of floats and ints with room reserved, missing from a batch, then made text.
@example(rows=[[(1, ("int", 1))], [(1, ("float", 1.5))], [(2, ("int", 5))], [(2, ("int", 6))], [(1, ("int", 2))],
               [(1, ("float", 2.5))], [(1, ("shared", "a"))]],
         batch=2, data_only=True, header=False, read_only=True, formulas=False, dimension="A1:E12")
def test_engine_columns_match_pure_rows(tmp_path_factory, rows, batch, data_only, header, read_only, formulas,
                                        dimension):
    """The engine's typed columns (from the part, or from a loaded sheet's store) give the very
    frames that typing the pure-Python path's rows gives; formulas give their cached results,
    typed as their `t` and format say, or their text. A declared extent (room reserved for the
    rows to come) changes nothing, whether it is true, short of the rows or far past them."""
    path = str(tmp_path_factory.mktemp("prop") / "p.xlsx")

    def sheet(strings):
        strings.add("shared")  # what a result of type "s" names
        for r, cells in enumerate(rows, 1):
            yield '<row r="%d">%s</row>' % (r, "".join(
                _cell_xml("%s%d" % (chr(64 + col), r), kind, value, strings) for col, (kind, value) in cells))

    xlsxgen.write_workbook(path, [("P", sheet, dimension, [])])
    frames_of = {}
    for pure in ("0", "1"):
        os.environ["QUILLFEN_PURE_PYTHON"] = pure
        try:
            frames._BATCH_CELLS, frames._BATCH = batch, max(1, batch // 3)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # serials beyond the dates' range
                with quillfen.load_workbook(path, read_only=read_only, data_only=data_only) as wb:
                    ws = wb.active
                    frames_of[pure] = (ws.to_pandas(header=header, formulas=formulas),
                                       ws.to_polars(header=header, formulas=formulas),
                                       pa.table(ws.to_arrow(header=header, batch_rows=batch, formulas=formulas)))
        finally:
            os.environ.pop("QUILLFEN_PURE_PYTHON")
            frames._BATCH_CELLS, frames._BATCH = 16384, 4096
    (native_pd, native_pl, native_pa), (pure_pd, pure_pl, pure_pa) = frames_of["0"], frames_of["1"]
    assert native_pa.schema == pure_pa.schema and native_pa.equals(pure_pa)
    assert list(native_pd.dtypes) == list(pure_pd.dtypes) and native_pd.equals(pure_pd)
    assert native_pl.equals(pure_pl) and native_pl.schema == pure_pl.schema, (native_pl, pure_pl)


def test_engine_columns_hand_over_mid_sheet(tmp_path, monkeypatch):
    # What the engine leaves to the pure-Python path (a cell child with a non-ASCII name) deep in
    # the part: the columns it made go out, the pure-Python rows continue from the next row.
    path = str(tmp_path / "handover.xlsx")
    odd = 2500

    def rows_xml(strings):
        for r in range(1, 3001):
            child = "<\u00e9/>" if r == odd else ""
            yield ('<row r="%d"><c r="A%d"><v>%d</v></c><c r="B%d">%s<v>%d.5</v></c><c r="C%d" s="1"><v>%d</v></c>'
                   '</row>' % (r, r, r, r, child, r, r, 40000 + r))
    xlsxgen.write_workbook(path, [("H", rows_xml, None, [])])
    monkeypatch.delenv("QUILLFEN_PURE_PYTHON", raising=False)
    with quillfen.load_workbook(path, read_only=True) as wb:
        kinds = [type(batch) for batch in wb.active._column_batches(1000, frames.FrameOptions())]
        native = wb.active.to_pandas()
    assert kinds[0] is tuple and kinds[-1] is list  # engine columns, then pure-Python rows
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1")
    with quillfen.load_workbook(path, read_only=True) as wb:
        assert native.equals(wb.active.to_pandas()) and len(native) == 2999


def test_loaded_store_columns_follow_changes(table, monkeypatch):
    # Cells set after loading (entries in the engine's store), then the store turned into a dict
    # by an odd key: the columns still hold what the sheet's rows hold.
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "0")
    with quillfen.load_workbook(table) as wb:
        ws = wb.active
        ws["C5"], ws["D6"], ws["B7"], ws["E8"], ws["J3"] = "text now", datetime.time(6), 2**60, None, 1.5
        native = ws.to_pandas()
        ws._cells[(-1, 1)] = "odd"
        in_dict_mode = ws.to_pandas()
        monkeypatch.setattr(type(ws), "_column_batches",
                            lambda self, cells, options: frames.row_batches(enumerate(self.iter_rows(values_only=True), 1)))
        from_rows = ws.to_pandas()
    assert ws._cells._in_dict_mode()
    assert native.equals(from_rows) and in_dict_mode.equals(from_rows)
    # An int among floats stays an int when text turns the column into objects.
    assert list(native["ratio"][:3]) == [3, 2.0, "text now"] and type(native["ratio"][0]) is int
    assert native["id"][4] == 2**60 and native["name"][3] == datetime.time(6) and native["day"].isna()[5]


@pytest.mark.parametrize("loaded", [False, True], ids=["new", "loaded"])
def test_a_far_away_cell_costs_no_walk_to_it(mode, tmp_path, loaded):
    # The frame reads the cells there are: a million empty rows above the last cell are neither
    # walked through nor created (they were, one by one).
    wb = quillfen.Workbook()
    ws = wb.active
    ws["A1"], ws["A2"], ws["B1048576"] = "n", 1, 2.5
    if loaded:
        wb.save(tmp_path / "far.xlsx")
        ws = quillfen.load_workbook(tmp_path / "far.xlsx").active
    df = ws.to_pandas(skip_blank_rows=True)
    assert df.shape == (2, 2) and df["n"].isna().tolist() == [False, True] and df["Unnamed: 1"].tolist()[1] == 2.5
    assert ws.to_arrow().num_rows == 1048575  # the blank rows between kept as rows of missing values
    assert len(list(ws._cells)) == 3


def test_warnings_of_a_frame_point_at_its_caller(mode, tmp_path):
    path = str(tmp_path / "w.xlsx")

    def rows(strings):
        yield '<row r="1"><c r="A1"><v>1</v></c></row><row r="2"><c r="A2" s="1"><v>99999999</v></c></row>'
    xlsxgen.write_workbook(path, [("W", rows, None, [])])
    with quillfen.load_workbook(path, read_only=True) as wb, pytest.warns(UserWarning) as caught:
        wb.active.to_polars()
    assert [w.filename for w in caught] == [__file__]


@pytest.mark.parametrize("formulas", [False, True], ids=["results", "formulas"])
def test_loaded_formulas_give_what_read_only_gives(tmp_path, formulas):
    """A loaded sheet's frame holds its formulas' cached results (or, with `formulas`, their
    text) as the read-only sheet's does, on both paths: from the store's records, from cells made
    since loading, and once a cell was set (the store then read cell by cell)."""
    path = str(tmp_path / "results.xlsx")

    def sheet(strings):
        strings.add("shared")
        yield '<row r="1"><c r="A1"><v>1</v></c><c r="B1"><f>A1</f><v>1</v></c></row>'
        for r, (attrs, v) in enumerate(_RESULTS, 2):
            yield '<row r="%d"><c r="A%d"><v>%d</v></c><c r="B%d"%s><f>A%d*2</f>%s</c></row>' % (
                r, r, r, r, attrs, r, v)
    xlsxgen.write_workbook(path, [("R", sheet, None, [])])
    tables = {}
    for pure in ("0", "1"):
        with support.environment(QUILLFEN_PURE_PYTHON=pure), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with quillfen.load_workbook(path, read_only=True) as wb:
                tables["read-only", pure] = pa.table(wb.active.to_arrow(header=False, formulas=formulas))
            ws = quillfen.load_workbook(path).active
            tables["loaded", pure] = pa.table(ws.to_arrow(header=False, formulas=formulas))
            ws["B3"].value  # a cell object made: read through it
            tables["made", pure] = pa.table(ws.to_arrow(header=False, formulas=formulas))
            ws["A2"] = 2  # a cell set as it was
            tables["set", pure] = pa.table(ws.to_arrow(header=False, formulas=formulas))
    expected = tables["read-only", "1"]
    for key, table in tables.items():
        assert table.equals(expected), (key, table, expected)
    results = expected.column(1).to_pylist()
    if formulas:
        assert results[:2] == ["=A1", "=A2*2"]
    else:
        assert results[:5] == ["1", "7", "3.5", "1000.0", "ab"]  # a column of several types is text
        assert results[-4:-1] == [None, "shared", "1e+20"]
