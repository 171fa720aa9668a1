"""Sheets as DataFrames: typed columns, missing values and names, the same frame from every
path (read-only or editable, native or pure Python) and the values of the sheet's rows."""

import datetime
import math
import os
import sys

import pytest

import quillfen
from quillfen import frames

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import xlsxgen  # noqa: E402

CORPUS = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "corpus", "files")
FILES = ["cal-issue_261.xlsx", "cal-issues.xlsx", "cal-date.xlsx", "pycal-base.xlsx", "cal-errors.xlsx",
         "cal-issue_553.xlsx", "sjs-DataTypesFormats.xlsx", "poi-59746_NoRowNums.xlsx"]


@pytest.fixture(params=["native", "pure"])
def mode(request, monkeypatch):
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1" if request.param == "pure" else "0")
    # Small batches, so that columns change type and gain missing values across batches.
    monkeypatch.setattr(frames, "_BATCH", 3)
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
        ws = wb.active
        rows = [row for row in ws.iter_rows(values_only=True) if any(v is not None for v in row)]
        df, pf = ws.to_pandas(header=False), ws.to_polars(header=False)
    with quillfen.load_workbook(path, data_only=True) as wb:
        assert wb.active.to_pandas(header=False).equals(df)
    used = [i for row in rows for i, v in enumerate(row) if v is not None]
    first, width = min(used, default=0), max(used, default=-1) + 1
    expected = [[row[i] if i < len(row) else None for i in range(first, width)] for row in rows]
    assert [[_cells(v) for v in row] for row in df.itertuples(index=False)] == expected
    assert pf.shape == df.shape
    for i, series in enumerate(pf.get_columns()):
        if series.dtype != pl.String:  # mixed columns become text in polars
            assert series.to_list() == [row[i] for row in expected]
