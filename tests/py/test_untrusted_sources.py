"""Zarr stores from elsewhere never run code: an array whose element type or codecs would make
zarr rebuild Python objects (pickle, msgpack, vlen-*, object dtype) is refused by name on every
path that reads a store (encode, verify, compare), and the payload it carries never runs."""
import json
import os
import pickle

import numpy as np
import pytest

from conftest import v2_store
from pyqelm import cli
from pyqelm.encoder.streaming_sources import ZarrStreamingSource

T, H, W = 3, 4, 5


class Payload:
    """Unpickling this creates ``marker``: proof that the store's bytes were run."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return open, (self.marker, "w")


def poisoned(folder, array="v", dtype=None, compressor=None, filters=None):
    """A v2 store whose ``array`` has its metadata rewritten and every chunk replaced by a
    pickle payload that would create ``folder/MARKER``."""
    path = v2_store(folder / "s.zarr", np.arange(T * H * W, dtype="f4").reshape(T, H, W), chunks=(T, H, W))
    meta_path = os.path.join(path, array, ".zarray")
    meta = json.load(open(meta_path))
    meta.update(compressor=compressor, filters=filters)
    if dtype:
        meta["dtype"] = dtype
    json.dump(meta, open(meta_path, "w"))
    payload = pickle.dumps(Payload(str(folder / "MARKER")), protocol=4)
    for chunk in os.listdir(os.path.join(path, array)):
        if not chunk.startswith("."):
            open(os.path.join(path, array, chunk), "wb").write(payload)
    return path


PICKLE = {"id": "pickle", "protocol": 4}
CASES = {
    "pickle filter": (dict(filters=[PICKLE]), "uses the filter 'pickle'"),
    "pickle compressor": (dict(compressor=PICKLE), "uses the compressor 'pickle'"),
    "msgpack after zlib": (dict(compressor={"id": "zlib", "level": 1}, filters=[{"id": "msgpack2"}]),
                           "uses the filter 'msgpack2'"),
    "object dtype": (dict(dtype="|O", filters=[{"id": "vlen-utf8"}]), r"stores Python objects \(dtype '\|O'\)"),
    "object dtype behind astype": (dict(filters=[{"id": "astype", "encode_dtype": "|O", "decode_dtype": "<f4"}]),
                                   "decodes to Python objects"),
    "pickled time coordinate": (dict(array="time", filters=[PICKLE]), "array 'time' uses the filter 'pickle'"),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_store_with_object_codec_is_refused_and_its_payload_never_runs(tmp_path, case):
    edits, words = CASES[case]
    path = poisoned(tmp_path, **edits)
    with pytest.raises(ValueError, match=words):
        ZarrStreamingSource(zarr_path=path, variable="v", valid_range=(0, 100)).read_timesteps(np.arange(T))
    assert not (tmp_path / "MARKER").exists()


def test_every_command_that_reads_a_store_refuses_it_in_one_line(tmp_path, capsys):
    path = poisoned(tmp_path, filters=[PICKLE])
    out = tmp_path / "o.qelm"
    for argv in (["encode", path, out, "--preset", "tiny"], ["encode", path, out, "--streaming", "--preset", "tiny"],
                 ["verify", path, path, "--max-error", "1"], ["compare", path, "--max-error", "1"]):
        assert cli.main([str(a) for a in argv]) == cli.EXIT_FAILURE
        err = capsys.readouterr().err
        assert "array 'v' uses the filter 'pickle'" in err and len(err.strip().splitlines()) == 1, (argv, err)
    assert not (tmp_path / "MARKER").exists() and not out.exists()


def test_numeric_codecs_still_read_and_an_unused_object_coordinate_is_left_alone(tmp_path):
    import zarr
    from numcodecs import BZ2, LZMA, Delta, FixedScaleOffset, Shuffle, Zlib, Zstd

    data = (np.arange(T * H * W).reshape(T, H, W) / 7).astype("f8")
    path = str(tmp_path / "ok.zarr")
    g = zarr.open_group(path, mode="w")
    a = g.create_dataset("v", data=data, chunks=(1, H, W), fill_value=-1.0, compressor=Zstd(level=1),
                         filters=[FixedScaleOffset(offset=0, scale=1000, dtype="f8", astype="i4"), Delta(dtype="i4"),
                                  Shuffle(elementsize=4), Zlib(1), BZ2(1), LZMA()])
    a.attrs["_ARRAY_DIMENSIONS"] = ["time", "y", "x"]
    g.create_dataset("time", data=np.arange(T)).attrs.update(_ARRAY_DIMENSIONS=["time"], units="days since 2000-01-01")
    # Band names of a pandas index are written as objects; nothing here reads them.
    g.create_dataset("label", data=np.array(["a", "b"], dtype=object), object_codec=__import__("numcodecs").VLenUTF8())
    got = ZarrStreamingSource(zarr_path=path, variable="v").read_timesteps(np.arange(T))
    np.testing.assert_allclose(got[..., 0], np.round(data * 1000) / 1000, atol=1e-6)
