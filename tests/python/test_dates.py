"""Serial dates: the native conversion against the package's from_excel, and from_excel against
plain datetime arithmetic, so that the reference is not wrong in the same way; what a
workbook's cells take and give back."""

import datetime as dt
import io
import math
import os
import random
import struct
import warnings

import pytest
from hypothesis import example, given, strategies as st

import quillfen
from quillfen.model.styles import is_time_format
from quillfen.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH, from_excel, from_ISO8601, to_excel

from support import pure_path

ODD_EPOCH = dt.datetime(1900, 3, 1, 17, 45, 30, 123456)  # an epoch with a time of day
EPOCHS = [WINDOWS_EPOCH, MAC_EPOCH, ODD_EPOCH]
DAY_US = 86_400_000_000


def host(value, epoch):
    """from_excel, with out-of-range as None (what the engine reports)."""
    try:
        return from_excel(value, epoch)
    except (OverflowError, ValueError):
        return None


def oracle(x, epoch):
    """Epoch plus whole days plus milliseconds, by ordinal arithmetic."""
    if isinstance(x, float) and not math.isfinite(x):
        return None
    whole = math.floor(x)
    ms = round((x - whole) * 86400 * 1000)
    if 0 <= x < 1 and ms < 86_400_000:
        return dt.time(ms // 3_600_000, ms // 60_000 % 60, ms // 1000 % 60, ms % 1000 * 1000)
    if 0 < x < 60 and epoch == WINDOWS_EPOCH:
        whole += 1
    first = epoch.toordinal() + whole  # the whole days are added (and range-checked) first
    if not 1 <= first <= dt.date.max.toordinal():
        return None
    tod = ((epoch.hour * 60 + epoch.minute) * 60 + epoch.second) * 1_000_000 + epoch.microsecond
    extra, us = divmod(tod + ms * 1000, DAY_US)
    ordinal = first + extra
    if not 1 <= ordinal <= dt.date.max.toordinal():
        return None
    return dt.datetime.combine(dt.date.fromordinal(ordinal), dt.time()) + dt.timedelta(microseconds=us)


def native(testing, x, epoch):
    if isinstance(x, int):
        return testing.from_excel_int(epoch, x)
    return testing.from_excel_float(epoch, x)


def same(a, b):
    return a == b and type(a) is type(b)


# (serial, epoch, expected); None is out of range
EDGES = [
    (1, WINDOWS_EPOCH, dt.datetime(1900, 1, 1)),
    (59, WINDOWS_EPOCH, dt.datetime(1900, 2, 28)),
    (60, WINDOWS_EPOCH, dt.datetime(1900, 2, 28)),
    (61, WINDOWS_EPOCH, dt.datetime(1900, 3, 1)),
    (1, MAC_EPOCH, dt.datetime(1904, 1, 2)),
    (0, WINDOWS_EPOCH, dt.time(0, 0)),
    (0.0, WINDOWS_EPOCH, dt.time(0, 0)),
    (-0.0, WINDOWS_EPOCH, dt.time(0, 0)),
    (0.5, WINDOWS_EPOCH, dt.time(12, 0)),
    (1 - 2**-40, WINDOWS_EPOCH, dt.datetime(1900, 1, 1)),  # rounds to a full day: not a time
    (59.5, WINDOWS_EPOCH, dt.datetime(1900, 2, 28, 12)),
    (60.5, WINDOWS_EPOCH, dt.datetime(1900, 2, 28, 12)),
    (-0.5, WINDOWS_EPOCH, dt.datetime(1899, 12, 29, 12)),
    (2958465, WINDOWS_EPOCH, dt.datetime(9999, 12, 31)),
    (2958465.999999, WINDOWS_EPOCH, dt.datetime(9999, 12, 31, 23, 59, 59, 914000)),
    (2958466, WINDOWS_EPOCH, None),
    (-693594, WINDOWS_EPOCH, None),
    (-693593, WINDOWS_EPOCH, dt.datetime(1, 1, 1)),
    (-693593.5, WINDOWS_EPOCH, None),
    (10**9, WINDOWS_EPOCH, None),
    (2**63 - 1, WINDOWS_EPOCH, None),
    (-(2**63), WINDOWS_EPOCH, None),
    (1e300, WINDOWS_EPOCH, None),
    (math.nan, WINDOWS_EPOCH, None),
    (math.inf, WINDOWS_EPOCH, None),
    (-math.inf, MAC_EPOCH, None),
    (0.5 / 86_400_000, WINDOWS_EPOCH, dt.time(0, 0)),         # half a millisecond: to even (0)
    (1.5 / 86_400_000, WINDOWS_EPOCH, dt.time(0, 0, 0, 2000)),  # one and a half: to even (2)
    (1, ODD_EPOCH, dt.datetime(1900, 3, 2, 17, 45, 30, 123456)),
]


@pytest.mark.parametrize("serial, epoch, expected", EDGES)
def test_edge_serials(testing, serial, epoch, expected):
    got_native = native(testing, serial, epoch)
    got_host = host(serial, epoch)
    if expected is not None and serial in (0.5 / 86_400_000, 1.5 / 86_400_000):
        # Products are rounded in double precision, so compare both paths with each other and the
        # oracle rather than with the exact tie.
        assert same(got_native, got_host) and same(got_host, oracle(serial, epoch))
        return
    assert same(got_native, expected) and same(got_host, expected)
    assert same(oracle(serial, epoch), expected)


def test_epoch_fields(testing):
    assert testing.epoch_fields(WINDOWS_EPOCH) == (693593, 0, True)
    assert testing.epoch_fields(MAC_EPOCH) == (695055, 0, False)
    assert testing.epoch_fields(dt.datetime(1, 1, 1)) == (0, 0, False)
    assert testing.epoch_fields(dt.datetime(9999, 12, 31, 23, 59, 59, 999999)) == (3652058, DAY_US - 1, False)
    assert testing.epoch_fields(ODD_EPOCH)[1] == ((17 * 60 + 45) * 60 + 30) * 1_000_000 + 123456


class _Sub(dt.datetime):
    pass


@pytest.mark.parametrize("epoch", [_Sub(1899, 12, 30), dt.datetime(1899, 12, 30, tzinfo=dt.UTC),
                                   dt.date(1899, 12, 30), "1899-12-30", None])
def test_no_native_epoch(testing, epoch):
    assert testing.epoch_fields(epoch) is None


def test_finish_checks_each_addition(testing):
    # The whole days alone leave the calendar though the milliseconds would bring it back.
    assert testing.date_finish(WINDOWS_EPOCH, 3652058 - 693593 + 1, -86_400_000) is None
    assert testing.date_finish(WINDOWS_EPOCH, 3652058 - 693593, 0) == dt.datetime(9999, 12, 31)
    assert testing.date_finish(WINDOWS_EPOCH, 0, 2**62) is None  # millis * 1000 overflows
    assert testing.date_finish(WINDOWS_EPOCH, 2**63 - 1, 0) is None


# Serials worth drawing: the special ones, the neighbourhood of the 1900 leap day, fractions
# next to whole days and to half milliseconds, the calendar's limits and arbitrary doubles.
_SPECIAL = st.sampled_from([0.0, -0.0, 1.0, 59.0, 60.0, 61.0, 0.5, -0.5, 59.5, 60.5, 1 - 2**-53,
                            -2**-1074, 2**-1074, 2958465.0, 2958466.0, -693593.0, -693594.0,
                            math.nan, math.inf, -math.inf, 1e16, -1e16, 999999999.0, 1e9])
_HALF_MS = st.builds(lambda d, k, s: d + (k + 0.5) / 86_400_000 + s,
                     st.integers(-3_000_000, 3_000_000), st.integers(0, 86_399_999),
                     st.sampled_from([0.0, 2**-40, -2**-40]))
_FLOATS = st.one_of(_SPECIAL, _HALF_MS, st.floats(-3e6, 3e6), st.floats(allow_nan=True, allow_infinity=True),
                    st.floats(-100, 100))
_INTS = st.one_of(st.integers(-10, 100), st.integers(-3_000_000, 3_000_000),
                  st.integers(-(2**63), 2**63 - 1))
_EPOCHS = st.sampled_from(EPOCHS)


@given(_EPOCHS, st.one_of(_INTS, _FLOATS))
@example(WINDOWS_EPOCH, 60)
@example(MAC_EPOCH, -0.0)
def test_native_matches_host(testing, epoch, serial):
    assert same(native(testing, serial, epoch), host(serial, epoch))


@given(_EPOCHS, st.one_of(_INTS, _FLOATS))
def test_host_matches_plain_arithmetic(epoch, serial):
    assert same(host(serial, epoch), oracle(serial, epoch))


def _draws(rng, n):
    """Mixed serials for the long loop: ints, floats of every size, raw bit patterns, ties."""
    for _ in range(n):
        kind = rng.random()
        if kind < 0.2:
            yield rng.randint(-3_100_000, 3_100_000)
        elif kind < 0.25:
            yield rng.randint(-(2**63), 2**63 - 1)
        elif kind < 0.55:
            yield rng.uniform(-3_100_000, 3_100_000)
        elif kind < 0.65:
            yield rng.uniform(-2, 100)
        elif kind < 0.8:
            yield rng.randint(-2_000_000, 3_000_000) + (rng.randrange(86_400_000) + 0.5) / 86_400_000
        elif kind < 0.9:
            yield struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        else:
            yield rng.randint(-3_000_000, 3_000_000) + rng.choice([1, -1]) * rng.random() * 2**-30


@pytest.mark.parametrize("epoch", EPOCHS, ids=["1900", "1904", "time-of-day"])
def test_draw_loop(testing, epoch):
    """QUILLFEN_DATE_DRAWS=1000000 for the long run; CI draws fewer."""
    n = int(os.environ.get("QUILLFEN_DATE_DRAWS", "20000"))
    rng = random.Random(f"dates-{epoch.isoformat()}")
    for serial in _draws(rng, n):
        expected = host(serial, epoch)
        assert same(native(testing, serial, epoch), expected), serial
        assert same(oracle(serial, epoch), expected), serial


def test_from_excel_more():
    assert from_excel(None) is None
    assert from_excel(1.5, timedelta=True) == dt.timedelta(days=1, hours=12)
    assert from_excel(-0.25, timedelta=True) == dt.timedelta(hours=-6)
    with pytest.raises(OverflowError):
        from_excel(2**70)
    with pytest.raises(ValueError):
        from_excel(math.nan)


@pytest.mark.parametrize("value, epoch", [
    (dt.datetime(1900, 1, 1), WINDOWS_EPOCH), (dt.datetime(1900, 2, 28, 12), WINDOWS_EPOCH),
    (dt.datetime(1900, 3, 1), WINDOWS_EPOCH), (dt.datetime(2024, 5, 17, 8, 30), WINDOWS_EPOCH),
    (dt.datetime(1904, 1, 2), MAC_EPOCH), (dt.datetime(1850, 6, 1, 6), WINDOWS_EPOCH),
    (dt.date(2000, 1, 1), WINDOWS_EPOCH), (dt.time(18, 0), WINDOWS_EPOCH),
    (dt.timedelta(days=1, hours=6), WINDOWS_EPOCH),
])
def test_to_excel_inverts_from_excel(value, epoch):
    serial = to_excel(value, epoch)
    back = from_excel(serial, epoch, timedelta=isinstance(value, dt.timedelta))
    if isinstance(value, dt.date) and not isinstance(value, dt.datetime):
        back = back.date()
    assert back == value
    assert isinstance(serial, int) == (not isinstance(value, dt.time) and serial == int(serial))


def test_to_excel_counts_whole_days_from_the_epoch():
    # The time of the epoch's own day is not a day since the epoch, and the 1900 leap-day
    # shift starts at the first whole day.
    assert to_excel(dt.datetime(1899, 12, 30, 12), WINDOWS_EPOCH) == 0.5
    noon = dt.datetime(2000, 1, 1, 12)
    assert to_excel(dt.datetime(2000, 1, 2, 12), noon) == 1
    assert from_excel(to_excel(dt.datetime(2000, 1, 3), noon), noon) == dt.datetime(2000, 1, 3)


def test_to_excel_refuses_time_zones():
    with pytest.raises(TypeError):
        to_excel(dt.datetime(2020, 1, 1, tzinfo=dt.UTC))


@pytest.mark.parametrize("text, value", [
    ("2011-06-30", dt.datetime(2011, 6, 30)),
    ("2011-06-30T13:05:09", dt.datetime(2011, 6, 30, 13, 5, 9)),
    ("2011-06-30T13:05:09.5Z", dt.datetime(2011, 6, 30, 13, 5, 9, 500000)),
    ("13:05", dt.time(13, 5)),
    ("P1DT2H", dt.timedelta(days=1, hours=2)),
    ("-PT30M", dt.timedelta(minutes=-30)),
])
def test_from_iso8601(text, value):
    assert from_ISO8601(text) == value


@pytest.mark.parametrize("text", ["2011-13-01", "yesterday", "P", "2011-06"])
def test_from_iso8601_rejects(text):
    with pytest.raises(ValueError):
        from_ISO8601(text)


# ---- dates as a workbook holds them (issue 23) -----------------------------------------------

@pytest.mark.parametrize("epoch, first", [(WINDOWS_EPOCH, dt.date(1900, 1, 1)), (MAC_EPOCH, dt.date(1904, 1, 1))])
@pytest.mark.parametrize("write_only", [False, True])
def test_dates_before_the_first_day_are_refused(epoch, first, write_only):
    # 1899-12-30 and 1899-12-31 were both written as serial 0 (a time of day when read back),
    # earlier dates as negative serials that spreadsheet programs show as ####.
    wb = quillfen.Workbook(write_only=write_only)
    wb.epoch = epoch
    ws = wb.create_sheet("S", 0)
    day_before = first - dt.timedelta(days=1)
    for value in (day_before, dt.datetime.combine(day_before, dt.time(23, 59)), dt.date(1800, 1, 1)):
        with pytest.raises(ValueError, match=r"cell S!A1 cannot hold .*dates start on %s" % first):
            ws.append([value])
    ws.append([first, dt.datetime.combine(first, dt.time(6)), dt.time(0, 0)])
    wb.iso_dates = True
    ws.append([dt.date(1800, 1, 1)])  # ISO text holds any date
    out = io.BytesIO()
    wb.save(out)
    back = quillfen.load_workbook(out).worksheets[0]
    assert [[c.value for c in row] for row in back.iter_rows()] == [
        [dt.datetime.combine(first, dt.time()), dt.datetime.combine(first, dt.time(6)), dt.time(0, 0)],
        [dt.datetime(1800, 1, 1), None, None]]


@pytest.mark.parametrize("pure", [False, True])
def test_serials_read_as_shown(pure):
    # Serial 0 of the 1904 system is 1904-01-01 in a cell that shows a date, a time in one that
    # shows a time; the 1900 system's serial 60 is 1900-02-29, which no date holds: the number
    # stays, with a warning.
    cells = [(0, "yyyy-mm-dd"), (0.25, "yyyy-mm-dd hh:mm"), (0.25, "h:mm"), (60, "d-mmm-yy"), (60.5, "yyyy-mm-dd hh:mm"),
             (59, "yyyy-mm-dd"), (61, "yyyy-mm-dd"), (0, "[h]:mm")]
    shown = {
        WINDOWS_EPOCH: [dt.time(0), dt.time(6), dt.time(6), 60, 60.5, dt.datetime(1900, 2, 28), dt.datetime(1900, 3, 1),
                        dt.timedelta(0)],
        MAC_EPOCH: [dt.datetime(1904, 1, 1), dt.datetime(1904, 1, 1, 6), dt.time(6), dt.datetime(1904, 3, 1),
                    dt.datetime(1904, 3, 1, 12), dt.datetime(1904, 2, 29), dt.datetime(1904, 3, 2), dt.timedelta(0)]}
    for epoch, want in shown.items():
        wb = quillfen.Workbook()
        wb.epoch = epoch
        for row, (serial, code) in enumerate(cells, 1):
            wb.active.cell(row, 1, serial).number_format = code
        out = io.BytesIO()
        wb.save(out)
        with pure_path(pure):
            for read_only in (False, True):
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    ws = quillfen.load_workbook(out, read_only=read_only).active
                    got = [row[0] for row in ws.iter_rows(values_only=True)]
                assert got == want and [type(v) for v in got] == [type(v) for v in want]
                leap = [str(w.message) for w in caught if "1900-02-29" in str(w.message)]
                assert len(leap) == (2 if epoch == WINDOWS_EPOCH else 0), leap


@pytest.mark.parametrize("code, time_only", [
    ("h:mm", True), ("mm:ss", True), ("h:mm AM/PM", True), ("[$-409]h:mm:ss", True), ("mmss.0", True),
    ('"at" hh:mm', True), ("yyyy-mm-dd", False), ("m/d/yy h:mm", False), ("mmm", False), ("[h]:mm", False),
    ("0.00", False), ("General", False),
])
def test_time_formats(code, time_only):
    assert is_time_format(code) is time_only
