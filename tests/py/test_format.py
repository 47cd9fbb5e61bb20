"""Format library: records, chunk blobs, container files, affine parsing, time helpers."""
import json
import math
import os
import struct
import zipfile
import zlib
from datetime import date, datetime, timedelta, timezone
from functools import partial

import numpy as np
import pytest

from pyqelm.format import (AxisChunking, BandInfo, ChunkEntry, ChunkMeta, Manifest, Meta, QuantizationInfo,
                           ResidualInfo, TimeInfo, TrainTimeRange, coerce_affine, decode_chunk_filename,
                           encode_chunk_filename, read_chunk_bytes, read_container, write_bytes_atomic,
                           write_chunk_bytes, write_container)
from pyqelm.format import _records
from pyqelm.utils.date_utils import normalize_time, parse_timestamp

RECIPE16 = {"mode": "int16_per_tensor_f16dec", "scales": [65534.0, 1.5], "sizes": [10, 4],
            "components": ["spatial", "phenology"], "decoder_size": 6, "decoder_name": "decoder"}
RESID_INFO = {"dtype": "int8", "value_mode": "native", "band_scales": [0.0001, 0.0001], "threshold": [0.5, 0.25],
              "scale": 0.0001, "main_codec": "zstd", "outlier_layout": "chunked_v1", "outlier_count": 3,
              "outlier_value_scale": 1e-6, "outlier_vals_codec": "lzma"}


def make_meta(T=2, H=3, W=5, C=2, **kw):
    args = dict(shape=[T, H, W, C], axes=["time", "y", "x", "band"], dtype="uint16",
                bands=[BandInfo(name=f"B{i + 1}", scale_factor=0.01, add_offset=0.0, valid_range=[0, 10000])
                       for i in range(C)],
                crs="EPSG:32631", transform=[10.0, 0.0, 500000.0, 0.0, -10.0, 4600000.0],
                pixel_anchor="upper_left", missing_fill=float("nan"), use_log=False,
                time=TimeInfo(values=["2020-01-01Z", "2020-01-11Z"], calendar="gregorian",
                              global_start="2020-01-01Z", global_end=None))
    return Meta(**{**args, **kw})


def make_chunk_meta(residuals=False):
    cm = ChunkMeta(model_config={"n_levels": np.int64(16), "block_size": (1, 1), "lr": np.float32(0.5)},
                   quantization_info=QuantizationInfo.from_dict(RECIPE16),
                   train_data_range=[[0, 10000], [0.0, 1.5]],
                   train_time_range=TrainTimeRange(start="2020-01-01Z", end="2020-12-31Z", n_frames=2),
                   has_residuals=residuals,
                   residual_info=ResidualInfo.from_dict(RESID_INFO) if residuals else None,
                   extras={"norm_mode": "minmax"})
    cm.extras["quality_metrics"] = {"rmse": [np.float64(0.25), float("inf")], "psnr": np.float32(float("nan"))}
    return cm


def json_roundtrip(record):
    """to_dict -> strict JSON (no NaN/Infinity constants) -> from_dict."""
    text = _records.dumps(record.to_dict())
    json.loads(text, parse_constant=lambda c: pytest.fail(f"non-standard JSON constant {c}"))
    return type(record).from_dict(_records.loads(text, "test"))


def same(a, b):
    """Equality that treats NaN as equal to NaN."""
    return _records.dumps(a) == _records.dumps(b)


def refused(call, cases, exc=ValueError, match=None):
    for case in cases:
        with pytest.raises(exc, match=match):
            call(case)


def one_chunk_container(path, meta=None):
    meta = meta or make_meta()
    blob = write_chunk_bytes(make_chunk_meta(), b"weights", b"mask", b"")
    name = encode_chunk_filename([0, 0, 0], ["time", "y", "x"])
    sizes = {"time": meta.n_frames, "y": meta.height, "x": meta.width}
    manifest = Manifest(chunk_grid={a: AxisChunking(n=1, regular=True, size=n) for a, n in sizes.items()},
                        chunks=[ChunkEntry(id=[0, 0, 0], bounds={a: [0, n] for a, n in sizes.items()},
                                           file=name, size_bytes=len(blob))])
    write_container(path, meta, manifest, [(name, blob)])
    return meta, manifest, name, blob


# ---- records ----------------------------------------------------------------------------------------

def test_records_round_trip_through_strict_json_and_normalise_inputs():
    meta = make_meta()
    back = json_roundtrip(meta)
    assert same(back.to_dict(), meta.to_dict()) and math.isnan(back.missing_fill)
    cm = make_chunk_meta(residuals=True)
    d = json_roundtrip(cm).to_dict()
    assert same(d, cm.to_dict()) and d["model_config"] == {"n_levels": 16, "block_size": [1, 1], "lr": 0.5}
    assert math.isinf(d["extras"]["quality_metrics"]["rmse"][1]) and math.isnan(d["extras"]["quality_metrics"]["psnr"])
    # Key order is part of the stored text.
    assert list(d["residual_info"].items()) == list(RESID_INFO.items())
    assert list(d["quantization_info"].items()) == list(RECIPE16.items())
    man = Manifest(chunk_grid={"time": AxisChunking(n=2, regular=True, size=5)},
                   chunks=[ChunkEntry(id=[1], bounds={"time": [5, 9]}, file="chunks/time1.qelmc", size_bytes=7)])
    for rec in (man, TimeInfo(values=["2020-01-01Z"]), TrainTimeRange(start="a", end="b", n_frames=0),
                BandInfo(name="red"), QuantizationInfo.from_dict({"mode": "float16"})):
        assert json_roundtrip(rec) == rec
    assert QuantizationInfo.from_dict({"mode": "float16"}).to_dict() == {"mode": "float16"}
    # NumPy scalars and arrays and band mappings become plain values.
    meta = Meta(shape=np.array([4, 8, 9, 1]), axes=("time", "y", "x", "band"), dtype="float32",
                bands=[{"name": "ndvi", "extra_key": 1, "scale_factor": None}], crs=None, transform=None,
                pixel_anchor="center", missing_fill=np.int16(-9999), use_log=np.bool_(True), time=None)
    assert meta.shape == [4, 8, 9, 1] and meta.missing_fill == -9999 and meta.use_log is True
    assert meta.bands[0] == BandInfo(name="ndvi", scale_factor=1.0, add_offset=0.0, valid_range=None)
    thresholds = [R({**RESID_INFO, "threshold": t}).threshold for t in (np.array([0.5, 0.25]), np.float64(0.5))]
    assert thresholds == [[0.5, 0.25], 0.5] and type(thresholds[1]) is float


Q, R = QuantizationInfo.from_dict, ResidualInfo.from_dict
NO_MODEL = dict(model_config={}, quantization_info={"mode": "float16"})


@pytest.mark.parametrize("build", [
    partial(make_meta, shape=[2, -3, 5, 1]), partial(make_meta, shape=[2, 3.5, 5, 1]),
    partial(make_meta, axes=["time", "y", "x"]), partial(make_meta, axes=["time", "y", "y", "band"]),
    partial(make_meta, use_log="yes"), partial(make_meta, transform=[1, 2, 3]), partial(make_meta, crs=object()),
    partial(make_meta, bands=[{"scale_factor": 1.0}]), partial(BandInfo, name="b", valid_range=[0, 1, 2]),
    partial(Q, {**RECIPE16, "sizes": [10]}), partial(Q, {**RECIPE16, "scales": [0.0, 1.0]}),
    partial(Q, {**RECIPE16, "mode": "int12_per_tensor_f16dec"}), partial(Q, {"mode": "float16", "sizes": [1]}),
    partial(Q, {k: v for k, v in RECIPE16.items() if k != "decoder_name"}),
    partial(R, {**RESID_INFO, "band_scales": None}), partial(R, {**RESID_INFO, "outlier_layout": "dense"}),
    partial(R, {**RESID_INFO, "outlier_count": -1}), partial(TrainTimeRange, start="a", end="b", n_frames=True),
    partial(ChunkMeta, model_config={"f": object()}, quantization_info={"mode": "float16"}),
    partial(ChunkMeta, **NO_MODEL, has_residuals=True), partial(ChunkMeta, **NO_MODEL, train_data_range=[[0, 1, 2]]),
    lambda: Manifest(chunk_grid={"t": AxisChunking(n=1, size=2)},  # an id outside the grid
                     chunks=[ChunkEntry(id=[1], bounds={"t": [0, 2]}, file="a", size_bytes=1)]),
    lambda: Manifest(chunk_grid={"t": AxisChunking(n=2, size=2)},  # two chunks in one file
                     chunks=[ChunkEntry(id=[i], bounds={"t": [2 * i, 2 * i + 2]}, file="a", size_bytes=1)
                             for i in (0, 1)]),
    partial(ChunkEntry, id=[0], bounds={"t": [3, 2]}, file="a", size_bytes=1),
    partial(Manifest.from_dict, {"chunk_grid": {}}),
])
def test_records_reject_invalid_fields(build):
    with pytest.raises(ValueError):
        build()


def test_affine_forms():
    six = [10.0, 0.0, 500000.0, 0.0, -10.0, 4600000.0]
    for form in (tuple(six), np.array(six + [0, 0, 1]).reshape(3, 3), six + [0, 0, 1], np.array(six).reshape(2, 3),
                 dict(zip("abcdef", six)), {"gdal": [500000.0, 10.0, 0.0, 4600000.0, 0.0, -10.0]},
                 type("Obj", (), dict(zip("abcdef", six)))()):
        assert coerce_affine(form) == six
    affine = pytest.importorskip("affine")
    assert coerce_affine(affine.Affine(*six)) == six
    refused(coerce_affine, [None, "10,0,0,0,-10,0", [1, 2, 3, 4, 5], six + [0, 1, 1], [1, 0, 0, 0, 0, 0], object(),
                            [float("nan")] + six[1:], {"gdal": six, "geotransform": six}, {"a": 1}, [[1, 2], [3]]])


# ---- chunk blobs ------------------------------------------------------------------------------------

def forge(meta_json, weights=b"w", mask=b"", resid=b"", version=1, wlen=None, flags=0):
    """A chunk blob by hand: the 40-byte little-endian header, then the sections under one CRC-32."""
    body = meta_json + weights + mask + resid
    wlen = len(weights) if wlen is None else wlen
    return struct.pack("<4sHHIQQQI", b"QLMC", version, flags, len(meta_json), wlen, len(mask), len(resid),
                       zlib.crc32(body)) + body


def test_chunk_blob_layout_round_trip_and_refusals():
    cm = make_chunk_meta(residuals=True)
    blob = write_chunk_bytes(cm, b"W" * 5, b"M", b"R" * 3)
    plain = _records.dumps(cm.to_dict())
    # The metadata is stored compressed (flag 1); blobs of earlier writers, plain JSON, still read.
    assert blob == forge(zlib.compress(plain, 9), b"W" * 5, b"M", b"R" * 3, flags=1)
    assert len(zlib.compress(plain, 9)) < len(plain)
    for b in (blob, forge(plain, b"W" * 5, b"M", b"R" * 3)):
        meta, w, m, r = read_chunk_bytes(bytearray(b))
        assert (w, m, r) == (b"W" * 5, b"M", b"R" * 3) and same(meta.to_dict(), cm.to_dict())
    # Compressed metadata: the inflated size is capped as plain metadata is; damage is refused.
    bomb = zlib.compress(b" " * (_records.JSON_MAX_BYTES + 1), 9)
    refused(read_chunk_bytes, [forge(bomb, flags=1)], match="inflates to more")
    packed = zlib.compress(plain, 9)
    refused(read_chunk_bytes, [forge(packed[:-5], flags=1), forge(packed + b"x", flags=1),
                               forge(b"not zlib", flags=1)], match="compressed")
    refused(read_chunk_bytes, [forge(plain, flags=2), forge(packed, flags=3)], match="flags")
    refused(lambda a: write_chunk_bytes(*a), [(make_chunk_meta(False), b"w", b"", b"r"),
                                              (make_chunk_meta(True), b"w", b"", b"")], match="residual")
    refused(lambda a: write_chunk_bytes(*a), [(make_chunk_meta(), b"", b"", b""), (make_chunk_meta(), "w", b"", b""),
                                              ({"model_config": {}}, b"w", b"", b"")])
    # The reader checks the header, and the content behind a valid checksum.
    good = _records.dumps(make_chunk_meta().to_dict())
    refused(read_chunk_bytes, [forge(good, wlen=1 << 60)], match="declare")  # lengths far past the end
    refused(read_chunk_bytes, [forge(good, version=2)], match="version")
    refused(read_chunk_bytes, [forge(good, resid=b"r"), forge(good, weights=b""), *map(forge, [
        b"[1, 2]", b"{", b"\xff\xfe", b"[" * 100000, b'{"model_config": {}}',
        good.replace(b'"has_residuals":false', b'"has_residuals":1')])])


def test_chunk_member_names():
    assert encode_chunk_filename([0, 0, 0], ["time", "y", "x"]) == "chunks/time0.y0.x0.qelmc"
    assert decode_chunk_filename("chunks/time3.y12.x0.qelmc") == ([3, 12, 0], ["time", "y", "x"])
    refused(lambda a: encode_chunk_filename(*a), [([0, -1], ["a", "b"]), ([0], ["a", "b"]), ([1], ["t1"]), ([], []),
                                                  ([0], ["a.b"])])
    refused(decode_chunk_filename, ["chunks/time01.qelmc", "meta.json", "chunks/.qelmc", "chunks/time.qelmc"])


# ---- containers --------------------------------------------------------------------------------------

def test_container_round_trip_and_writer_refusals(tmp_path):
    path = tmp_path / "out.qelm"
    meta, manifest, name, blob = one_chunk_container(path)
    with zipfile.ZipFile(path) as zf:
        assert sorted(zf.namelist()) == sorted(["meta.json", "manifest.json", name])
        assert zf.getinfo(name).compress_type == zipfile.ZIP_STORED
    got = read_container(str(path))
    assert got.format_version == "0.9" and same(got.meta.to_dict(), meta.to_dict())
    assert got.manifest == manifest and got.chunks == {name: blob}
    first = path.read_bytes()
    one_chunk_container(path)
    assert path.read_bytes() == first  # deterministic
    with open(path, "rb") as f:
        assert read_container(f).chunks == {name: blob}
    with pytest.raises(ValueError, match="limit"):
        read_container(path, max_chunk_bytes=len(blob) - 1)
    damaged = blob[:-1] + bytes([blob[-1] ^ 1])
    refused(lambda a: write_container(tmp_path / "bad.qelm", *a), [
        (meta, manifest, []), (meta, manifest, [(name, blob), (name, blob)]), (meta, manifest, [(name, damaged)]),
        (meta, manifest, [(name, blob), ("chunks/extra.qelmc", blob)]), (meta, manifest, [(name, blob + b"x")]),
        (meta, manifest, [(name, "text")]), (make_meta(T=1), manifest, [(name, blob)]),
        (meta.to_dict(), manifest, [(name, blob)])])
    assert os.listdir(tmp_path) == ["out.qelm"]


def test_atomic_write_interrupted_before_rename_keeps_the_old_file(tmp_path, monkeypatch):
    path = tmp_path / "c.qelmc"
    write_bytes_atomic(path, b"first")
    monkeypatch.setattr(os, "replace", lambda *a: (_ for _ in ()).throw(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        write_bytes_atomic(path, b"second")
    monkeypatch.undo()
    assert path.read_bytes() == b"first" and os.listdir(tmp_path) == ["c.qelmc"]
    assert write_bytes_atomic(path, memoryview(b"third")) == str(path) and path.read_bytes() == b"third"
    refused(lambda p: write_bytes_atomic(p, "text"), [path])
    refused(lambda p: write_bytes_atomic(p, b"x"), [tmp_path], IsADirectoryError)
    assert os.listdir(tmp_path) == ["c.qelmc"]


# ---- time axis --------------------------------------------------------------------------------------

def test_normalize_time():
    assert normalize_time(["2020-01-01", "2020-01-02", "2020-01-05"]) == [0.0, 0.25, 1.0]
    assert normalize_time(["2020-06-01"]) == [0.0] and normalize_time([]) == []
    # Global bounds place frames on the shared axis, without clipping.
    assert normalize_time(["2020-01-03", "2020-01-06"], "2020-01-01", "2020-01-05") == [0.5, 1.25]
    # Writer forms: date with Z, space-separated time, explicit offsets, nanoseconds.
    assert normalize_time(["2020-01-01Z", "2020-01-01 12:00:00Z", "2020-01-02T00:00:00+00:00"]) == [0.0, 0.5, 1.0]
    assert normalize_time(["2020-01-01T02:00:00+02:00", "2020-01-01T01:00:00Z", "2020-01-01T00:00:00-02:00"]) \
        == [0.0, 0.5, 1.0]
    assert parse_timestamp("2020-01-01+05:00") == datetime(2019, 12, 31, 19, tzinfo=timezone.utc)
    assert parse_timestamp("2020-01-01T12:00:00.123456789Z").microsecond == 123456
    assert parse_timestamp("2020-01-01T12:30+0130") == datetime(2020, 1, 1, 11, tzinfo=timezone.utc)
    ts = [datetime(2020, 1, 1), date(2020, 1, 2), np.datetime64("2020-01-03T00:00"),
          datetime(2020, 1, 4, 1, tzinfo=timezone(timedelta(hours=1)))]
    assert normalize_time(ts) == [0.0, 1 / 3, 2 / 3, 1.0]
    refused(parse_timestamp, ["2020-13-01", "2020/01/01", "", "2020-01-01T12:00:00+2", "yesterday"])
    refused(parse_timestamp, [3.5], TypeError)
