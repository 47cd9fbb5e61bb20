"""The JSON faults behind chunk blobs the fuzzer found mishandled (the raw inputs are kept in
fuzz/regressions/chunk and replayed by `make fuzz`): every damaged metadata text is a ValueError,
and whatever the reader accepts can be written back."""
import pytest

from pyqelm.format import _records as R
from pyqelm.format import read_chunk_bytes, write_chunk_bytes


@pytest.mark.parametrize("text, message", [
    (b'{"$float": []}', "unknown non-finite float tag"),
    (b'{"a": [{"$float": {"x": 1}}]}', "unknown non-finite float tag"),
    (b'{"a": "\\ud800"}', "unpaired surrogate"),
    (b'{"\\uDC00": 1}', "unpaired surrogate"),
    (b'[' * 60 + b'"\\udbff"' + b']' * 60, "unpaired surrogate"),
    (b'[' * 500 + b'"\\udbff"' + b']' * 500, "nested 500 levels deep"),
], ids=["tag-list", "tag-mapping", "lone-high", "lone-low-key", "deep", "too deep"])
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
