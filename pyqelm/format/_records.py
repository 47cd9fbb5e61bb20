"""Validation and JSON helpers shared by the record classes of the format library.

Records are stored as strict JSON (RFC 8259). Non-finite floats, which strict JSON cannot
spell, are written as the one-key object ``{"$float": "nan" | "inf" | "-inf"}`` and read back
as floats, so every record round-trips exactly. Values from NumPy and PyTorch (scalars and
arrays), tuples, paths and dates are converted to their JSON forms when a record is built or
serialised; any other object is refused with a ValueError naming where it sits.
"""
import datetime as _dt
import json
import math
import os
import re
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


def loads(data, what):
    """Parse JSON bytes written by :func:`dumps`; ValueError naming ``what`` on any fault."""
    try:
        text = bytes(data).decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ValueError(f"{what} is not UTF-8 text: {exc}") from None
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


def require(d, key, where):
    if key not in d:
        raise ValueError(f"{where} lacks \"{key}\"")
    return d[key]
