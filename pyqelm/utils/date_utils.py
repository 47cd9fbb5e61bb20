"""Time-axis helpers.

``normalize_time`` maps a frame's timestamp to the network's time input: 0 at the start of
the axis and 1 at its end, linear in elapsed seconds. The start and end are the global bounds
when given (so tiles and runs sharing the bounds share one time axis), otherwise the first
and last timestamp. Values outside the bounds are not clipped. A degenerate axis (one frame,
or start equal to end) maps every frame to 0.0. A decoder rebuilds the time inputs from the
container's ISO-8601 timestamps and global bounds with this same function.
"""
from datetime import date, datetime, timezone

import numpy as np


def parse_timestamp(value):
    """ISO-8601 text, ``datetime``, ``date`` or ``numpy.datetime64`` -> aware UTC datetime."""
    if isinstance(value, np.datetime64):
        value = value.astype("datetime64[us]").item()
    if isinstance(value, bytes):
        value = value.decode()
    if isinstance(value, str):
        text = value.strip()
        if text.endswith("Z") or text.endswith("z"):
            text = text[:-1] + "+00:00"
        try:
            value = datetime.fromisoformat(text)
        except ValueError:
            raise ValueError(f"not an ISO-8601 timestamp: {value!r}") from None
    if isinstance(value, datetime):
        pass
    elif isinstance(value, date):
        value = datetime(value.year, value.month, value.day)
    else:
        raise TypeError(f"cannot read a timestamp from {type(value).__name__}: {value!r}")
    if value.tzinfo is None:
        value = value.replace(tzinfo=timezone.utc)
    return value.astimezone(timezone.utc)


def normalize_time(timestamps, global_start=None, global_end=None):
    """Timestamps -> list of floats, 0 at the start of the axis and 1 at its end."""
    stamps = [parse_timestamp(t) for t in timestamps]
    if not stamps:
        return []
    start = parse_timestamp(global_start) if global_start is not None else stamps[0]
    end = parse_timestamp(global_end) if global_end is not None else stamps[-1]
    span = (end - start).total_seconds()
    if span == 0:
        return [0.0] * len(stamps)
    return [float((t - start).total_seconds() / span) for t in stamps]
