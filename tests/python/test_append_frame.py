"""Frames written into sheets: the engine's rows (read from the frame's Arrow buffers) are the
very bytes the pure-Python path writes for the same values, on write-only and editable sheets;
python-calamine reads the values back; a frame that fails leaves the sheet as it was."""

import datetime
import io
import os
import sys
import zipfile

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quillfen

sys.path.insert(0, os.path.dirname(__file__))
import support  # noqa: E402

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
pd = pytest.importorskip("pandas")
calamine = pytest.importorskip("python_calamine")

# Text a file holds (what it cannot hold is refused alike: test_a_failing_frame_leaves_the_sheet_as_it_was).
_TEXT = st.text(st.characters(blacklist_categories=("Cs", "Cc"), blacklist_characters="\ufffe\uffff"),
                max_size=20) | st.sampled_from(["=A1", "a&<b>"])
_COLUMNS = {
    "int": (st.integers(-2**63, 2**63 - 1), pa.int64()),
    "int8": (st.integers(-128, 127), pa.int8()),
    "uint32": (st.integers(0, 2**32 - 1), pa.uint32()),
    "float": (st.floats(allow_nan=True, allow_infinity=True), pa.float64()),
    "float32": (st.floats(width=32, allow_nan=False), pa.float32()),
    "bool": (st.booleans(), pa.bool_()),
    "text": (_TEXT, pa.string()),
    "large": (_TEXT, pa.large_string()),
    "view": (_TEXT, pa.string_view()),
    "words": (st.sampled_from(["red", "green", "blue"]), "dictionary"),
    "ms": (st.datetimes(datetime.datetime(1900, 3, 1), datetime.datetime(9999, 1, 1)), pa.timestamp("ms")),
    "us": (st.datetimes(datetime.datetime(1900, 3, 1), datetime.datetime(9999, 1, 1)), pa.timestamp("us")),
    "day": (st.dates(datetime.date(1900, 3, 1)), pa.date32()),
}


@st.composite
def frames(draw):
    rows = draw(st.integers(0, 8))
    kinds = draw(st.lists(st.sampled_from(sorted(_COLUMNS)), min_size=1, max_size=5))
    data = {}
    for i, kind in enumerate(kinds):
        strategy, type_ = _COLUMNS[kind]
        values = draw(st.lists(st.none() | strategy, min_size=rows, max_size=rows))
        if type_ == "dictionary":
            data["%s%d" % (kind, i)] = pa.array(values, pa.string()).dictionary_encode()
        else:
            data["%s%d" % (kind, i)] = pa.array(values, type_)
    return pa.table(data)


def _sheet_xml(wb):
    out = io.BytesIO()
    wb.save(out)
    with zipfile.ZipFile(out) as z:
        return {name: z.read(name) for name in z.namelist() if name.startswith("xl/")}


def _loaded():
    """A loaded workbook, whose sheet keeps its cells in the engine's store: a cell in row 3
    that the frame's rows replace."""
    wb = quillfen.Workbook()
    wb.active["B3"] = "below"
    return quillfen.load_workbook(io.BytesIO(_save(wb)))


def _written(monkeypatch, pure, sheet, table, batch_rows):
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1" if pure else "0")
    wb = quillfen.Workbook(write_only=True) if sheet == "write-only" else _loaded() if sheet == "loaded" else \
        quillfen.Workbook()
    ws = wb.create_sheet("F") if sheet == "write-only" else wb.active
    if sheet == "loaded":
        ws._last_row = 1  # the frame goes over the cell in row 3
    elif sheet == "new":
        ws["B2"] = 1.5  # a cell made in memory, which the engine's store takes over with the frame
    ws.append_frame(pa.RecordBatchReader.from_batches(table.schema, table.to_batches(batch_rows)))
    ws.append_frame(table, header=False)
    if sheet != "write-only":  # the sheet goes on as any other
        ws.insert_rows(2)
        ws["A1"] = "=A3"
        ws.append(["after"])
        wb.copy_worksheet(ws)
    cells = [] if sheet == "write-only" else [(c.coordinate, c.value, c.data_type, c.number_format) for c in ws.cells()]
    return _sheet_xml(wb), cells


@given(table=frames(), batch_rows=st.integers(1, 5), sheet=st.sampled_from(["write-only", "new", "loaded"]))
def test_engine_rows_are_the_pure_paths(monkeypatch_module, table, batch_rows, sheet):
    native = _written(monkeypatch_module, False, sheet, table, batch_rows)
    assert native == _written(monkeypatch_module, True, sheet, table, batch_rows)
    out = io.BytesIO()
    out.write(b"")
    book = quillfen.Workbook(write_only=True)
    book.create_sheet("F").append_frame(table)
    book.save(out)
    out.seek(0)
    rows = calamine.CalamineWorkbook.from_filelike(out).get_sheet_by_name("F").to_python(skip_empty_area=False)
    assert rows[0][:table.num_columns] == table.column_names if rows else table.num_rows == 0


@pytest.fixture(scope="module")
def monkeypatch_module():
    with pytest.MonkeyPatch.context() as patch:
        yield patch


@pytest.mark.parametrize("pure", ["0", "1"], ids=["native", "pure"])
@pytest.mark.parametrize("write_only", [True, False], ids=["write-only", "editable"])
def test_values_read_back(monkeypatch, tmp_path, pure, write_only):
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", pure)
    moment = datetime.datetime(2024, 2, 29, 13, 45, 30, 250000)
    frame = pl.DataFrame({"id": [1, None, 3], "ratio": [0.1, float("nan"), 2.5], "name": ["a", None, "=x&y"],
                          "ok": [True, False, None], "when": [moment, None, moment], "day": [moment.date()] * 3})
    path = tmp_path / "frame.xlsx"
    if write_only:
        quillfen.write_frames({"F": frame, "P": frame.to_pandas()}, path)
    else:
        wb = quillfen.Workbook()
        wb.active.title = "F"
        wb.active.append(["above"])
        wb.active.append_frame(frame, header=True)
        assert isinstance(wb.active._cells, dict) == (pure == "1")  # the engine placed the cells
        wb.save(path)
    got = [row for row in quillfen.load_workbook(path)["F"].values if row[0] != "above"]
    expected = [("id", "ratio", "name", "ok", "when", "day"),
                (1, 0.1, "a", True, moment, datetime.datetime(2024, 2, 29)),
                (None, None, None, False, None, datetime.datetime(2024, 2, 29)),
                (3, 2.5, "=x&y", None, moment, datetime.datetime(2024, 2, 29))]
    assert got == expected
    with open(path, "rb") as f:
        sheet = calamine.CalamineWorkbook.from_filelike(f).get_sheet_by_name("F").to_python()
    assert sheet[-1][:3] == [3, 2.5, "=x&y"]


@pytest.mark.parametrize("pure", ["0", "1"], ids=["native", "pure"])
@pytest.mark.parametrize("sheet", ["write-only", "new", "loaded"])
def test_a_failing_frame_leaves_the_sheet_as_it_was(monkeypatch, pure, sheet):
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", pure)
    good = pa.table({"n": list(range(3000))})
    # Longer than a cell holds; a character XML cannot carry.
    wb = quillfen.Workbook(write_only=True) if sheet == "write-only" else _loaded() if sheet == "loaded" else \
        quillfen.Workbook()
    ws = wb.create_sheet("F") if sheet == "write-only" else wb.active
    if sheet == "loaded":
        del ws["B3"]
    ws.append([1, 2])
    reader = pa.RecordBatchReader.from_batches(good.schema, good.to_batches(1000))
    ws.append_frame(reader)
    for bad in ("x" * 40000, "\ufffe"):
        with pytest.raises(ValueError):
            ws.append_frame(pa.concat_tables([pa.table({"n": [str(i) for i in range(3000)]}), pa.table({"n": [bad]})]))
    # A stream read once, failing in its second batch: an error, not a frame silently lost.
    big = pa.table({"n": pa.array([1, 2**63 + 5], pa.uint64())})
    with pytest.raises(ValueError, match="64 bits|beyond what a cell holds"):
        ws.append_frame(pa.RecordBatchReader.from_batches(big.schema, big.to_batches(1)))
    with pytest.raises(TypeError, match="__arrow_c_stream__"):
        ws.append_frame([[1, 2]])
    ws.append(["after"])
    values = list(quillfen.load_workbook(io.BytesIO(_save(wb))).active.values)
    assert len(values) == 3003 and values[-1][0] == "after" and values[2] == (0, None)


def _save(wb):
    out = io.BytesIO()
    wb.save(out)
    return out.getvalue()


def test_libreoffice_reads_the_values_written(tmp_path):
    # The client users open frames with: its cells hold the frame's values, whichever sheet
    # (write-only or editable) and path (native or pure) wrote them.
    moment = datetime.datetime(2024, 2, 29, 13, 45, 30)
    frame = pa.table({"id": [1, None, -10**14 - 7], "ratio": [0.1, float("nan"), -1.5e300], "ok": [True, None, False],
                      "name": ["a & <b>", None, "=x\u00e9"], "when": pa.array([moment, None, moment], pa.timestamp("us")),
                      "day": pa.array([moment.date(), None, datetime.date(1900, 3, 1)], pa.date32())})
    paths = []
    for pure in ("0", "1"):
        with support.environment(QUILLFEN_PURE_PYTHON=pure):
            paths.append(tmp_path / ("written%s.xlsx" % pure))
            quillfen.write_frames({"F": frame}, paths[-1])
            wb = quillfen.Workbook()
            wb.active.title = "F"
            wb.active.append_frame(frame)
            paths.append(tmp_path / ("appended%s.xlsx" % pure))
            wb.save(paths[-1])
    support.soffice_convert(tmp_path, "fods", tmp_path / "flat", *paths)
    expected = {
        "A1": ("string", "id"), "B1": ("string", "ratio"), "C1": ("string", "ok"), "D1": ("string", "name"),
        "E1": ("string", "when"), "F1": ("string", "day"),
        "A2": ("float", 1.0), "B2": ("float", 0.1), "C2": ("float", 1.0, "TRUE"), "D2": ("string", "a & <b>"),
        "E2": ("date", "2024-02-29T13:45:30"), "F2": ("date", "2024-02-29"),
        "A4": ("float", -10.0**14 - 7), "B4": ("float", -1.5e300), "C4": ("float", 0.0, "FALSE"),
        "D4": ("string", "=x\u00e9"), "E4": ("date", "2024-02-29T13:45:30"), "F4": ("date", "1900-03-01"),
    }
    for path in paths:
        cells = support.fods_cells(tmp_path / "flat" / (path.stem + ".fods"))["F"]
        # Booleans are numbers shown as TRUE and FALSE there.
        got = {ref: (kind, value, shown) if ref[0] == "C" and ref != "C1" else (kind, value)
               for ref, (kind, value, shown) in cells.items()}
        assert got == expected, path.name
