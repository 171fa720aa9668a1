"""The model without a file: sheets of a new workbook, their titles and order, the active sheet,
the values a cell refuses when they are assigned, and those it takes from data frames."""

import datetime
import decimal
import io
import warnings

import pytest

from quillfen import Workbook, load_workbook
from quillfen.formula import ArrayFormula
from quillfen.model.richtext import CellRichText


def test_new_workbook_and_its_sheets():
    wb = Workbook()
    assert wb.sheetnames == ["Sheet"] and wb.active is wb["Sheet"]
    first = wb.create_sheet()
    wb.create_sheet("Front", 0)
    assert wb.sheetnames == ["Front", "Sheet", "Sheet1"]
    wb.remove(first)
    assert wb.create_sheet().title == "Sheet1"  # the first free default title again
    wb.move_sheet("Front", 2)
    assert wb.sheetnames == ["Sheet", "Sheet1", "Front"]
    with pytest.raises(ValueError):
        wb.move_sheet("Front", 1)


def test_active_sheet_follows_the_sheet():
    wb = Workbook()
    a, b, c = wb.active, wb.create_sheet(), wb.create_sheet()
    wb.active = 2
    assert wb.active is c
    wb.move_sheet(c, -2)
    assert wb.active is c and wb.index(c) == 0
    wb.remove(c)
    assert wb.active is a  # the neighbour takes the removed sheet's place
    wb.active = b
    assert wb.active is b
    with pytest.raises(IndexError):
        wb.active = 5
    with pytest.raises(ValueError):
        wb.active = Workbook().active  # another workbook's sheet


@pytest.mark.parametrize("title, error", [
    ("", ValueError), ("x" * 32, ValueError), ("a/b", ValueError), ("[x]", ValueError),
    ("a:b", ValueError), ("a*", ValueError), ("a?", ValueError), ("a\\b", ValueError),
    ("sheet", ValueError),  # the default sheet, in another case
    (3, TypeError),
])
def test_titles_excel_refuses(title, error):
    wb = Workbook()
    other = wb.create_sheet("Other")
    with pytest.raises(error):
        other.title = title
    with pytest.raises(error):
        wb.create_sheet(title)
    assert wb.sheetnames == ["Sheet", "Other"]
    other.title = "x" * 31
    other.title = "OTHER"  # its own title in another case is no clash


@pytest.mark.parametrize("value, error, words", [
    ([1, 2], TypeError, "list"),
    (b"bytes", TypeError, "bytes"),
    ("a\x01b", ValueError, "'\\x01'"),
    ("\ud800", ValueError, "'\\ud800'"),
    ("x" * 32768, ValueError, "32768"),
    (2**63, ValueError, "64 bits"),
    (float("nan"), ValueError, "finite"),
    (float("-inf"), ValueError, "finite"),
    (decimal.Decimal("NaN"), ValueError, "double"),
    (decimal.Decimal("1e400"), ValueError, "double"),
    (datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc), ValueError, "time zone"),
])
def test_values_a_cell_refuses(value, error, words):
    wb = Workbook()
    ws = wb.active
    ws["B2"] = 7
    assigns = {"Sheet!B2": [lambda: setattr(ws["B2"], "value", value), lambda: ws.__setitem__("B2", value)],
               "Sheet!B3": [lambda: ws.append([1, value])]}
    if value != value and isinstance(value, float):
        del assigns["Sheet!B3"]  # a missing value of an appended row: an empty cell
    for where, calls in assigns.items():
        for assign in calls:
            with pytest.raises(error) as info:
                assign()
            assert where in str(info.value) and words in str(info.value)
    assert ws["B2"].value == 7 and ws.max_row == 2  # nothing changed, no half row appended


def test_values_a_cell_takes():
    ws = Workbook().active
    rich = CellRichText(["a", "b"])
    for value, data_type in [(None, "n"), (True, "b"), (-2**63, "n"), (1.5, "n"), ("x\ty\n", "s"),
                             ("=A1", "f"), ("=", "s"), (decimal.Decimal("1.10"), "n"), (rich, "s"),
                             (ArrayFormula("A1:A2", "=1"), "f"), ("x" * 32767, "s")]:
        ws["A1"] = value
        assert ws["A1"].value is value and ws["A1"].data_type == data_type


def test_dates_get_a_format_that_shows_them():
    wb = Workbook()
    ws = wb.active
    ws["A1"] = datetime.datetime(2020, 1, 2, 3, 4, 5)
    ws["A2"] = datetime.date(2020, 1, 2)
    ws["A3"] = datetime.time(1, 2)
    ws["A4"] = datetime.timedelta(hours=30)
    assert [ws["A%d" % r].number_format for r in range(1, 5)] == \
        ["yyyy-mm-dd h:mm:ss", "yyyy-mm-dd", "h:mm:ss", "[h]:mm:ss"]
    ws["A5"].number_format = "d mmm yyyy"
    ws["A5"] = datetime.datetime(2020, 1, 1)
    assert ws["A5"].number_format == "d mmm yyyy"  # a date format is kept
    ws["A5"] = datetime.timedelta(1)
    assert ws["A5"].number_format == "[h]:mm:ss"  # a duration needs an elapsed-time format
    assert ws["A5"].data_type == "d" and ws["A6"].number_format == "General"


def test_positions_beyond_a_sheet():
    ws = Workbook().active
    for row, column in ((0, 1), (1, 0), (1048577, 1), (1, 16385)):
        with pytest.raises(ValueError):
            ws.cell(row, column)
    with pytest.raises(ValueError):
        ws["XFE1"]
    ws.cell(1048576, 16384, "last")
    with pytest.raises(ValueError):
        ws.append([1])  # no row after the last one



def test_append_goes_below_the_last_row():
    ws = Workbook().active
    ws.append([1])
    ws["B5"] = 2
    ws.append([3])
    assert ws["A6"].value == 3
    del ws["B5"]
    del ws["A6"]
    ws.append([4])
    assert ws["A2"].value == 4 and ws.max_row == 2
    ws.append([])  # gh-19: the row after an empty one went over it
    ws.append([5])
    assert ws["A4"].value == 5 and ws["A3"].value is None


@pytest.mark.parametrize("write_only", [False, True])
def test_rows_of_data_frames(write_only):
    # Issue 23: NaN raised and NaT was written as an empty <v>; numpy scalars were refused;
    # a dict row wrote its keys.
    np = pytest.importorskip("numpy")
    pd = pytest.importorskip("pandas")
    wb = Workbook(write_only=write_only)
    ws = wb.create_sheet("S", 0)
    rows = [
        ([np.int64(5), np.float32(0.5), np.bool_(True), np.str_("x"), np.datetime64("2020-01-02"),
          np.datetime64("2020-01-02T03:04:05.123456789"), np.timedelta64(90, "s"), pd.Timestamp("2021-05-06 07:08")],
         [5, 0.5, True, "x", datetime.datetime(2020, 1, 2), datetime.datetime(2020, 1, 2, 3, 4, 5, 123000),
          datetime.timedelta(seconds=90), datetime.datetime(2021, 5, 6, 7, 8)]),
        ([np.nan, float("nan"), np.float64("nan"), pd.NaT, pd.NA, None, np.datetime64("NaT", "s"), 1], [None] * 7 + [1]),
        ({"B": 2, 4: "four", "c": np.int8(3)}, [None, 2, 3, "four"]),
    ]
    for row, _ in rows:
        ws.append(row)
    for bad, error in [({"A": 1, 1: 2}, ValueError), ({"XFE": 1}, ValueError), ({1.5: 1}, TypeError),
                       ([np.datetime64("12000-01-01", "D")], ValueError), ([np.float64("inf")], ValueError)]:
        with pytest.raises(error):
            ws.append(bad)
    with pytest.raises(ValueError, match="nan"):
        Workbook().active["A1"] = np.float64("nan")  # a single value is no missing one
    out = io.BytesIO()
    wb.save(out)
    back = load_workbook(out).worksheets[0]
    got = [list(row) for row in back.iter_rows(values_only=True)]
    assert [row[:len(want)] for row, (_, want) in zip(got, rows)] == [want for _, want in rows]
    assert [type(v) for v in got[0]] == [int, float, bool, str, datetime.datetime, datetime.datetime,
                                         datetime.timedelta, datetime.datetime]


def test_decimals_beyond_a_double_warn_once_per_place():
    ws = Workbook().active
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")
        for _ in range(3):
            ws.append([decimal.Decimal("0.12345678901234567890"), decimal.Decimal("0.1"), decimal.Decimal(2**70)])
    assert [(str(w.message), w.filename) for w in caught] == [
        ("a Decimal with more digits than a double holds is saved as it is, but reads back as the nearest float",
         __file__)]
