"""Spreadsheet serial dates and ISO 8601 text.

A serial date counts days from the workbook's epoch, with the time of day as the fraction.
Two epochs exist: the 1900 system (whose serials 1 to 59 count the non-existent 1900-02-29, so
its epoch is 1899-12-30) and the 1904 system. Times are resolved to the millisecond.
"""

import datetime as _dt
import re as _re
from typing import Any

__all__ = ["WINDOWS_EPOCH", "MAC_EPOCH", "CALENDAR_WINDOWS_1900", "CALENDAR_MAC_1904",
           "SECS_PER_DAY", "from_excel", "to_excel", "first_day", "is_leap_day_serial", "from_ISO8601",
           "to_ISO8601", "days_to_time", "iso_duration", "value_text"]

WINDOWS_EPOCH = _dt.datetime(1899, 12, 30)
MAC_EPOCH = _dt.datetime(1904, 1, 1)
CALENDAR_WINDOWS_1900 = WINDOWS_EPOCH
CALENDAR_MAC_1904 = MAC_EPOCH
SECS_PER_DAY = 86400


def days_to_time(value: _dt.timedelta) -> _dt.time:
    """The time of day of a timedelta shorter than a day."""
    mins, seconds = divmod(value.seconds, 60)
    hours, mins = divmod(mins, 60)
    return _dt.time(hours, mins, seconds, value.microseconds)


def from_excel(value: float | None, epoch: _dt.datetime = WINDOWS_EPOCH,
               timedelta: bool = False, shows_date: bool = False) -> _dt.datetime | _dt.time | _dt.timedelta | None:
    """Convert a serial number into a datetime, a time of day or (with timedelta) a duration.

    Serials in [0, 1) whose time does not round up to a full day become a ``datetime.time``,
    unless `shows_date` (the cell's format shows a date) and the epoch's day 0 exists: in the
    1904 system serial 0 is 1904-01-01, in the 1900 system it is the day before 1900-01-01.
    With the 1900 epoch, serials between 0 and 60 are shifted by one day for the leap day
    1900-02-29 that the 1900 system counts but that never existed.
    Raises OverflowError or ValueError when the result is not a representable date
    (non-finite serials, or dates before year 1 or after 9999). ``None`` gives ``None``.
    """
    if value is None:
        return None
    day, fraction = divmod(value, 1)
    diff = _dt.timedelta(milliseconds=round(fraction * SECS_PER_DAY * 1000))
    if timedelta:
        return _dt.timedelta(days=day) + diff
    if 0 <= value < 1 and diff.days == 0 and not (shows_date and epoch != WINDOWS_EPOCH):
        return days_to_time(diff)
    if 0 < value < 60 and epoch == WINDOWS_EPOCH:
        day += 1
    return epoch + _dt.timedelta(days=day) + diff


def first_day(epoch: _dt.datetime) -> _dt.datetime:
    """The first day a workbook with this epoch can show: 1900-01-01 in the 1900 system (its
    serial 0 is no day), the epoch itself in others."""
    return _dt.datetime(1900, 1, 1) if epoch == WINDOWS_EPOCH else epoch


def is_leap_day_serial(value: float, epoch: _dt.datetime) -> bool:
    """Whether a serial stands for 1900-02-29: the day the 1900 system counts (serial 60) but
    that did not exist, so that no date holds it."""
    return epoch == WINDOWS_EPOCH and 60 <= value < 61


def to_excel(dt: _dt.date | _dt.time | _dt.timedelta, epoch: _dt.datetime = WINDOWS_EPOCH) -> int | float:
    """The serial number of a datetime, date, time or timedelta (the inverse of from_excel).

    Whole days come out as ``int``, anything with a time of day as ``float``.
    """
    if isinstance(dt, _dt.datetime):
        if dt.tzinfo is not None:
            raise TypeError("quillfen cannot write dates and times with a time zone: "
                            "set the tzinfo of the datetime/time object to None.")
    elif isinstance(dt, _dt.date):
        dt = _dt.datetime(dt.year, dt.month, dt.day)
    elif isinstance(dt, _dt.time):
        return _time_fraction(dt.hour, dt.minute, dt.second, dt.microsecond)
    elif isinstance(dt, _dt.timedelta):
        days = dt.days + (dt.seconds * 1_000_000 + dt.microseconds) / (SECS_PER_DAY * 1_000_000)
        return days if dt.seconds or dt.microseconds else dt.days
    else:
        raise TypeError(f"cannot convert {type(dt).__name__} to a serial date")
    # Whole days since the epoch, rounded down, and the time left over: from_excel adds them
    # back to the epoch in that form, so the serial reads back as the same moment.
    delta = dt - epoch
    days = delta.days
    if 0 < days <= 60 and epoch == WINDOWS_EPOCH:
        days -= 1  # undo the 1900 leap-day shift (serial 60 stands for 1900-02-29)
    seconds, microseconds = delta.seconds, delta.microseconds
    if not (seconds or microseconds):
        return days
    # _time_fraction(0, 0, seconds, microseconds), inline: this runs for every date written.
    return days + (seconds + microseconds / 1_000_000) / SECS_PER_DAY


def _time_fraction(hour: int, minute: int, second: int, microsecond: int) -> float:
    return ((hour * 60 + minute) * 60 + second + microsecond / 1_000_000) / SECS_PER_DAY


# YYYY-MM-DD, optionally followed by Thh:mm:ss[.fff], or the time alone; "Z" is accepted.
_ISO_REGEX = _re.compile(r"""
    ^(?:(?P<year>\d{4})-(?P<month>\d{2})-(?P<day>\d{2}))?
    T?
    (?:(?P<hour>\d{2}):(?P<minute>\d{2})(?::(?P<second>\d{2})(?:\.(?P<microsecond>\d{1,6})\d*)?)?)?
    Z?$""", _re.VERBOSE)
_ISO_DURATION = _re.compile(r"^(?P<sign>-?)P(?:(?P<days>\d+(?:\.\d+)?)D)?"
                            r"(?:T(?:(?P<hours>\d+(?:\.\d+)?)H)?(?:(?P<minutes>\d+(?:\.\d+)?)M)?"
                            r"(?:(?P<seconds>\d+(?:\.\d+)?)S)?)?$")


def from_ISO8601(formatted_string: str) -> _dt.datetime | _dt.time | _dt.timedelta | None:
    """Parse ISO 8601 text: a date, a date and time, a time, or a duration ("P1DT2H").

    Raises ValueError for text that is none of these.
    """
    if not formatted_string:
        return None
    match = _ISO_REGEX.match(formatted_string)
    if match and any(match.groupdict().values()):
        parts = {k: v for k, v in match.groupdict().items() if v}
        date_parts = ("year", "month", "day")
        time_parts = ("hour", "minute", "second", "microsecond")
        if "microsecond" in parts:
            parts["microsecond"] = parts["microsecond"].ljust(6, "0")
        values: dict[str, Any] = {k: int(v) for k, v in parts.items()}
        if all(k in values for k in date_parts):
            if not any(k in values for k in time_parts):
                return _dt.datetime(values["year"], values["month"], values["day"])
            return _dt.datetime(**values)
        if "hour" in values and not any(k in values for k in date_parts):
            return _dt.time(**values)
    match = _ISO_DURATION.match(formatted_string)
    if match and any(v for k, v in match.groupdict().items() if k != "sign"):
        amounts = {k: float(v) for k, v in match.groupdict().items() if v and k != "sign"}
        delta = _dt.timedelta(**amounts)
        return -delta if match.group("sign") else delta
    raise ValueError(f"Invalid datetime value {formatted_string!r}")


def to_ISO8601(dt: _dt.date | _dt.time) -> str:
    """ISO 8601 text of a datetime, as written into cells of type "d"."""
    return dt.isoformat()


def iso_duration(delta: _dt.timedelta) -> str:
    """ISO 8601 text of a duration: "P1DT2H3M4.5S", with "-" before the P when negative."""
    sign, delta = ("-", -delta) if delta < _dt.timedelta(0) else ("", delta)
    hours, rest = divmod(delta.seconds, 3600)
    minutes, seconds = divmod(rest, 60)
    fraction = ("%.6f" % (delta.microseconds / 1e6))[1:].rstrip("0").rstrip(".")
    return "%sP%dDT%dH%dM%d%sS" % (sign, delta.days, hours, minutes, seconds, fraction)


def value_text(value: object) -> str:
    """A cell value as text for exports: "" for none, ISO 8601 for dates, times and durations,
    TRUE and FALSE for booleans, the shortest text that reads back as the same float, the
    text of rich text and array formulas."""
    if value is None:
        return ""
    if isinstance(value, str):
        return str(value)
    kind = type(value)
    if kind is bool:
        return "TRUE" if value else "FALSE"
    if kind is float:
        return repr(value)
    if isinstance(value, (_dt.date, _dt.time)):
        return value.isoformat()
    if isinstance(value, _dt.timedelta):
        return iso_duration(value)
    return str(getattr(value, "text", None) or value)
