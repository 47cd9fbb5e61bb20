"""Chunk blobs the fuzzer found mishandled (kept in fuzz/regressions/chunk), and the JSON faults
behind them: every damaged metadata text is a ValueError, and whatever the reader accepts can be
written back."""
import importlib.util
import os

import pytest

from pyqelm.format import _records as R
from pyqelm.format import read_chunk_bytes, write_chunk_bytes

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
REGRESSIONS = os.path.join(ROOT, "fuzz", "regressions", "chunk")


def fuzz_driver():
    spec = importlib.util.spec_from_file_location("fuzz_chunk", os.path.join(ROOT, "fuzz", "fuzz_chunk.py"))
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


@pytest.mark.parametrize("name", sorted(os.listdir(REGRESSIONS)))
def test_kept_inputs_keep_the_reader_contract(name):
    with open(os.path.join(REGRESSIONS, name), "rb") as f:
        blob = f.read()
    fuzz_driver().check(blob)  # raises Finding on anything but ValueError or a faithful round trip


@pytest.mark.parametrize("text, message", [
    (b'{"$float": []}', "unknown non-finite float tag"),
    (b'{"a": [{"$float": {"x": 1}}]}', "unknown non-finite float tag"),
    (b'{"a": "\\ud800"}', "unpaired surrogate"),
    (b'{"\\uDC00": 1}', "unpaired surrogate"),
    (b'[' * 500 + b'"\\udbff"' + b']' * 500, "unpaired surrogate"),
], ids=["tag-list", "tag-mapping", "lone-high", "lone-low-key", "deep"])
def test_damaged_metadata_text_is_a_value_error(text, message):
    with pytest.raises(ValueError, match=message):
        R.loads(text, "chunk metadata")


def test_paired_surrogates_and_escaped_backslashes_are_text():
    assert R.loads(b'["\\ud83d\\ude00", "\\\\ud800", {"$float": "nan", "k": 1}]', "x")[:2] == ["\U0001F600",
                                                                                               "\\ud800"]


def test_accepted_text_round_trips_through_a_chunk():
    from pyqelm.format import ChunkMeta

    meta = ChunkMeta(model_config={"name": "\U0001F600 \\ud800"}, quantization_info={"mode": "float16"})
    got = read_chunk_bytes(write_chunk_bytes(meta, b"w", b"", b""))
    assert got.chunk_meta.model_config == {"name": "\U0001F600 \\ud800"}
