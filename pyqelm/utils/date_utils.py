"""Time-axis helpers.

``normalize_time`` maps a frame's timestamp to the network's time input: 0 at the start of
the axis and 1 at its end, linear in elapsed seconds. The start and end are the global bounds
when given (so tiles and runs sharing the bounds share one time axis), otherwise the first
and last timestamp. Values outside the bounds are not clipped. A degenerate axis (start equal
to end, as for a single frame without global bounds) maps every frame to 0.0. A decoder rebuilds the time inputs from the
container's ISO-8601 timestamps and global bounds with this same function.

The calendar says how to read the timestamps: the Gregorian family (standard, gregorian,
proleptic_gregorian, or none given) as proleptic Gregorian dates; the other CF calendars
(julian, noleap, 365_day, all_leap, 366_day, 360_day) as dates of that calendar, elapsed time
counted by its rules through cftime (2000-02-30 exists under 360_day); calendar "none" marks an
axis without dates whose "timestamps" are plain numbers as text, normalised linearly by value.
"""
import re
from datetime import date, datetime, timedelta, timezone

import numpy as np


# ISO-8601 as written by this package and by common tools: a calendar date, optionally a time
# ("T" or a space before it; seconds and any number of fraction digits optional) and an offset
# (Z, +HH, +HHMM or +HH:MM), also after a bare date. Parsed here rather than with
# datetime.fromisoformat, whose accepted forms differ between Python versions.
_ISO_RE = re.compile(
    r"(?P<y>\d{4})-(?P<mo>\d{2})-(?P<d>\d{2})"
    r"(?:[T ](?P<h>\d{2})(?::(?P<mi>\d{2})(?::(?P<s>\d{2})(?:[.,](?P<f>\d+))?)?)?)?"
    r"(?P<tz>[Zz]|[+-]\d{2}(?::?\d{2})?)?\Z")


def _parse_iso(text):
    m = _ISO_RE.match(text)
    if not m:
        raise ValueError(f"not an ISO-8601 timestamp: {text!r}")
    g = m.groupdict()
    frac = (g["f"] or "")[:6].ljust(6, "0")
    tz = timezone.utc
    if g["tz"] and g["tz"] not in "Zz":
        sign = -1 if g["tz"][0] == "-" else 1
        digits = g["tz"][1:].replace(":", "")
        tz = timezone(sign * timedelta(hours=int(digits[:2]), minutes=int(digits[2:4] or 0)))
    try:
        return datetime(int(g["y"]), int(g["mo"]), int(g["d"]), int(g["h"] or 0), int(g["mi"] or 0),
                        int(g["s"] or 0), int(frac), tzinfo=tz)
    except ValueError as exc:
        raise ValueError(f"not a valid timestamp: {text!r} ({exc})") from None


def parse_timestamp(value):
    """ISO-8601 text, ``datetime``, ``date`` or ``numpy.datetime64`` -> aware UTC datetime.

    Text and naive datetimes without an offset are taken as UTC."""
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError("timestamp is NaT")
        value = value.astype("datetime64[us]").item()
    if isinstance(value, bytes):
        value = value.decode()
    if isinstance(value, str):
        value = _parse_iso(value.strip())
    if isinstance(value, datetime):
        pass
    elif isinstance(value, date):
        value = datetime(value.year, value.month, value.day)
    else:
        raise TypeError(f"cannot read a timestamp from {type(value).__name__}: {value!r}")
    if value.tzinfo is None:
        value = value.replace(tzinfo=timezone.utc)
    return value.astimezone(timezone.utc)


def parse_date_fields(text):
    """ISO-8601 text -> (year, month, day, hour, minute, second, microsecond) with no calendar
    check (for dates of any CF calendar); a UTC designator is allowed, other offsets are not."""
    m = _ISO_RE.match(str(text).strip())
    if not m:
        raise ValueError(f"not an ISO-8601 timestamp: {text!r}")
    g = m.groupdict()
    if g["tz"] and g["tz"] not in "Zz" and g["tz"].replace(":", "").lstrip("+-").strip("0"):
        raise ValueError(f"timestamp {text!r} carries an offset; give it in UTC")
    return (int(g["y"]), int(g["mo"]), int(g["d"]), int(g["h"] or 0), int(g["mi"] or 0), int(g["s"] or 0),
            int((g["f"] or "")[:6].ljust(6, "0")))


_GREGORIAN = (None, "", "standard", "gregorian", "proleptic_gregorian")


def _number(value):
    text = value.decode() if isinstance(value, bytes) else str(value)
    try:
        v = float(text.strip())
    except ValueError:
        raise ValueError(f"a time axis without dates holds numbers, got {value!r}") from None
    if v != v or v in (float("inf"), float("-inf")):
        raise ValueError(f"a time axis without dates holds finite numbers, got {value!r}")
    return v


def _calendar_date(value, calendar):
    import cftime

    y, mo, d, h, mi, s, us = parse_date_fields(value.decode() if isinstance(value, bytes) else value)
    try:
        return cftime.datetime(y, mo, d, h, mi, s, us, calendar=calendar,
                               has_year_zero=calendar not in ("julian",))
    except ValueError as exc:
        raise ValueError(f"{value!r} is not a date of the {calendar} calendar ({exc})") from None


def time_points(timestamps, calendar=None):
    """Timestamps as values that compare and subtract in their calendar: aware datetimes for
    the Gregorian family, cftime dates for the other CF calendars, floats for calendar "none"."""
    cal = calendar.strip().lower() if isinstance(calendar, str) else calendar
    if cal in _GREGORIAN:
        return [parse_timestamp(t) for t in timestamps]
    if cal == "none":
        return [_number(t) for t in timestamps]
    return [_calendar_date(t, cal) for t in timestamps]


def normalize_time(timestamps, global_start=None, global_end=None, calendar=None):
    """Timestamps -> list of floats, 0 at the start of the axis and 1 at its end."""
    cal = calendar.strip().lower() if isinstance(calendar, str) else calendar
    if cal not in _GREGORIAN:
        if cal == "none":
            read = _number
        else:
            def read(v):
                return _calendar_date(v, cal)
        stamps = [read(t) for t in timestamps]
        if not stamps:
            return []
        start = read(global_start) if global_start is not None else stamps[0]
        end = read(global_end) if global_end is not None else stamps[-1]
        elapsed = (lambda a, b: a - b) if cal == "none" else (lambda a, b: (a - b).total_seconds())
        span = elapsed(end, start)
        if span == 0:
            return [0.0] * len(stamps)
        return [float(elapsed(t, start) / span) for t in stamps]
    stamps = [parse_timestamp(t) for t in timestamps]
    if not stamps:
        return []
    start = parse_timestamp(global_start) if global_start is not None else stamps[0]
    end = parse_timestamp(global_end) if global_end is not None else stamps[-1]
    span = (end - start).total_seconds()
    if span == 0:
        return [0.0] * len(stamps)
    return [float((t - start).total_seconds() / span) for t in stamps]
