"""Validation and JSON helpers shared by the record classes of the format library.

Records are stored as strict JSON (RFC 8259). Non-finite floats, which strict JSON cannot
spell, are written as the one-key object ``{"$float": "nan" | "inf" | "-inf"}`` and read back
as floats, so every record round-trips exactly. Values from NumPy and PyTorch (scalars and
arrays), tuples, paths and dates are converted to their JSON forms when a record is built or
serialised; any other object is refused with a ValueError naming where it sits.

Python's JSON parser has no limits of its own: 64 MB of ``{},`` would become twenty million
dictionaries. :func:`loads` therefore measures a document before parsing it (size, number of
values, nesting depth; see :func:`check_limits`), and the writers refuse to produce what the
reader would refuse. :func:`seal` and :func:`unseal` add and verify a document's checksum.
"""
import datetime as _dt
import json
import math
import os
import re
import zlib
from collections.abc import Mapping

import numpy as np

_FLOAT_TAG = "$float"
_NONFINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


def plain(value, where):
    """Deep copy of ``value`` made of dict/list/str/int/float/bool/None only."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (int, float)):
        return value if type(value) in (int, float) else (int(value) if isinstance(value, int) else float(value))
    if isinstance(value, np.generic):
        return plain(value.item(), where)
    if isinstance(value, np.ndarray):
        return plain(value.tolist(), where)
    if type(value).__module__ == "torch" and hasattr(value, "tolist"):
        return plain(value.tolist(), where)
    if isinstance(value, Mapping):
        out = {}
        for k, v in value.items():
            if not isinstance(k, str):
                raise ValueError(f"{where}: mapping key {k!r} is not text")
            out[k] = plain(v, f"{where}.{k}")
        return out
    if isinstance(value, (list, tuple)):
        return [plain(v, f"{where}[{i}]") for i, v in enumerate(value)]
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    if isinstance(value, (_dt.datetime, _dt.date)):
        return value.isoformat()
    raise ValueError(f"{where}: {type(value).__name__} value {value!r} cannot be stored as JSON")


def _tag_nonfinite(value):
    if isinstance(value, float) and not math.isfinite(value):
        return {_FLOAT_TAG: "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if isinstance(value, dict):
        return {k: _tag_nonfinite(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_tag_nonfinite(v) for v in value]
    return value


def _untag(obj):
    if len(obj) == 1 and _FLOAT_TAG in obj:
        tag = obj[_FLOAT_TAG]
        # Only text can name a tag; a list or mapping here would not even be hashable.
        if not isinstance(tag, str) or tag not in _NONFINITE:
            raise ValueError(f"unknown non-finite float tag {tag!r}")
        return _NONFINITE[tag]
    return obj


def dumps(record_dict):
    """Strict JSON bytes (UTF-8) of a plain dictionary."""
    return json.dumps(_tag_nonfinite(record_dict), allow_nan=False, ensure_ascii=False,
                      separators=(",", ":")).encode("utf-8")


def _reject_constant(name):
    raise ValueError(f"non-standard JSON constant {name}")


# A \uD800-\uDFFF escape: valid JSON syntax, but alone it decodes to a lone surrogate.
_SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F]")


def _check_text(value, what):
    """Refuses strings that are not Unicode text (lone surrogates), keys included. Iterative:
    the parser accepts nesting as deep as the recursion limit allows."""
    stack = [value]
    while stack:
        v = stack.pop()
        if isinstance(v, str):
            try:
                v.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"{what} holds text with an unpaired surrogate escape") from None
        elif isinstance(v, dict):
            stack.extend(v.keys())
            stack.extend(v.values())
        elif isinstance(v, list):
            stack.extend(v)


# Limits of every JSON document the format library reads or writes. A metadata document of
# a real cube is a few kilobytes to a few megabytes (a million timestamps are about 24 MB of
# text, beyond any cube the engine trains); what these limits allow parses in well under a
# hundred megabytes.
JSON_MAX_BYTES = 16 << 20
JSON_MAX_VALUES = 1 << 20
JSON_MAX_DEPTH = 64

_QUOTED = re.compile(r'"[^"]*"')
_NOT_BRACKET = re.compile(r"[^\[\]{}]+")


def check_limits(text, what, max_bytes=None, max_values=None, max_depth=None):
    """Refuses JSON text (str) that is larger, holds more values or nests deeper than the
    limits (module defaults when None), without parsing it. Counts are upper bounds of what the
    parser would build before it could fail, so the parse that follows is bounded too."""
    max_bytes = JSON_MAX_BYTES if max_bytes is None else max_bytes
    max_values = JSON_MAX_VALUES if max_values is None else max_values
    max_depth = JSON_MAX_DEPTH if max_depth is None else max_depth
    if len(text) > max_bytes:
        raise ValueError(f"{what} holds {len(text):,} characters, more than the {max_bytes:,} a metadata "
                         "document may have")
    # Strings go first, so that their commas and brackets do not count. Within a string a
    # backslash escapes the next character: removing escaped backslashes, then escaped quotes,
    # left to right, pairs them exactly as the parser does and leaves plain quoted runs.
    bare = _QUOTED.sub("", text.replace("\\\\", "").replace('\\"', ""))
    values = (bare.count(",") + bare.count(":") + bare.count("[") + bare.count("{") + 1
              - bare.count("[]") - bare.count("{}"))
    if values > max_values:
        raise ValueError(f"{what} holds about {values:,} JSON values, more than the {max_values:,} a metadata "
                         "document may have")
    brackets = _NOT_BRACKET.sub("", bare).encode("ascii")
    if brackets:
        opens = np.frombuffer(brackets, np.uint8)
        depth = int(np.cumsum(np.where((opens == 0x5B) | (opens == 0x7B), 1, -1), dtype=np.int64).max())
        if depth > max_depth:
            raise ValueError(f"{what} is nested {depth} levels deep, more than the {max_depth} a metadata "
                             "document may have")


def loads(data, what, **limits):
    """Parse JSON bytes written by :func:`dumps`; ValueError naming ``what`` on any fault.
    ``limits`` (max_bytes, max_values, max_depth) override those of :func:`check_limits`."""
    data = memoryview(data)
    max_bytes = limits.get("max_bytes")
    max_bytes = JSON_MAX_BYTES if max_bytes is None else max_bytes
    if data.nbytes > max_bytes:
        raise ValueError(f"{what} holds {data.nbytes:,} bytes, more than the {max_bytes:,} a metadata "
                         "document may have")
    try:
        text = bytes(data).decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ValueError(f"{what} is not UTF-8 text: {exc}") from None
    check_limits(text, what, **limits)
    try:
        obj = json.loads(text, object_hook=_untag, parse_constant=_reject_constant)
    except RecursionError:
        raise ValueError(f"{what} is nested too deeply") from None
    except ValueError as exc:
        raise ValueError(f"{what} is not valid JSON: {exc}") from None
    # Such text could never be written back; only inputs that spell an escape need the walk.
    if _SURROGATE_ESCAPE.search(text):
        _check_text(obj, what)
    return obj


def dumps_checked(record_dict, what):
    """:func:`dumps`, refusing a document that :func:`loads` would refuse to read back."""
    data = dumps(record_dict)
    check_limits(data.decode("utf-8"), what)
    return data


# ---- checksums ----------------------------------------------------------------------------------

CHECKSUM_KEY = "checksum"
_CHECKSUM_RE = re.compile(r"crc32:[0-9a-f]{8}\Z")


def _crc_text(record_dict):
    return f"crc32:{zlib.crc32(dumps(record_dict)) & 0xFFFFFFFF:08x}"


def seal(record_dict, what):
    """JSON bytes of ``record_dict`` with a last key "checksum": the CRC-32 of the document's
    bytes as :func:`dumps` writes it without that key. A reader parses, removes the key and
    serialises again; the round trip is exact for everything :func:`dumps` writes."""
    if CHECKSUM_KEY in record_dict:
        raise ValueError(f"{what} already has a \"{CHECKSUM_KEY}\" key")
    return dumps_checked({**record_dict, CHECKSUM_KEY: _crc_text(record_dict)}, what)


def unseal(doc, what):
    """Removes and verifies the checksum of a parsed document (a dict, changed in place);
    returns True when it had one. Documents written before checksums existed have none."""
    if CHECKSUM_KEY not in doc:
        return False
    stored = doc.pop(CHECKSUM_KEY)
    if not isinstance(stored, str) or not _CHECKSUM_RE.match(stored):
        raise ValueError(f"{what} has a malformed checksum {str(stored)[:40]!r}")
    if _crc_text(doc) != stored:
        raise ValueError(f"{what} was changed or damaged after it was written (its checksum does not match)")
    return True


# ---- field validators: each returns the normalised value or raises ValueError ----------------

def mapping(value, where):
    if not isinstance(value, Mapping):
        raise ValueError(f"{where} must be a mapping, got {type(value).__name__}")
    return value


def as_int(value, where, minimum=None):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise ValueError(f"{where} must be an integer, got {value!r}")
    value = int(value)
    if minimum is not None and value < minimum:
        raise ValueError(f"{where} must be at least {minimum}, got {value}")
    return value


def as_number(value, where):
    """int or float (NaN allowed), NumPy scalars converted; bools refused."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise ValueError(f"{where} must be a number, got {value!r}")
    return int(value) if isinstance(value, (int, np.integer)) else float(value)


def as_float(value, where, positive=False, finite=False):
    value = float(as_number(value, where))
    if (finite or positive) and not math.isfinite(value):
        raise ValueError(f"{where} must be finite, got {value!r}")
    if positive and not value > 0:
        raise ValueError(f"{where} must be positive, got {value!r}")
    return value


def as_str(value, where, choices=None):
    if not isinstance(value, str):
        raise ValueError(f"{where} must be text, got {value!r}")
    if choices is not None and value not in choices:
        raise ValueError(f"{where} must be one of {', '.join(map(repr, choices))}; got {value!r}")
    return value


def as_opt_str(value, where):
    return None if value is None else as_str(value, where)


def as_bool(value, where):
    if not isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{where} must be true or false, got {value!r}")
    return bool(value)


def as_list(value, where):
    if isinstance(value, np.ndarray):
        value = value.tolist()
    if not isinstance(value, (list, tuple)):
        raise ValueError(f"{where} must be a list, got {type(value).__name__}")
    return list(value)


def as_pair(value, where):
    items = as_list(value, where)
    if len(items) != 2:
        raise ValueError(f"{where} must hold two numbers, got {len(items)} entries")
    return [as_number(v, f"{where}[{i}]") for i, v in enumerate(items)]


FLOAT32_MAX = float(np.finfo(np.float32).max)


def as_range(value, where):
    """A [low, high] pair of finite numbers, low <= high, that float32 arithmetic can restore
    with: both ends and the span within float32 (a decoder computes x * (high - low) + low)."""
    lo, hi = as_pair(value, where)
    if not (math.isfinite(lo) and math.isfinite(hi)):
        raise ValueError(f"{where} must hold finite numbers, got [{lo!r}, {hi!r}]")
    if lo > hi:
        raise ValueError(f"{where} runs backwards: [{lo!r}, {hi!r}]")
    if max(abs(lo), abs(hi), float(hi) - float(lo)) > FLOAT32_MAX:
        raise ValueError(f"{where} [{lo!r}, {hi!r}] lies beyond what float32 values can hold")
    return [lo, hi]


def require(d, key, where):
    if key not in d:
        raise ValueError(f"{where} lacks \"{key}\"")
    return d[key]
