"""Format library: records, chunk blobs, container files, affine parsing, time helpers."""
import json
import math
import os
import struct
import zipfile
from datetime import date, datetime, timedelta, timezone

import numpy as np
import pytest

from pyqelm.format import (AxisChunking, BandInfo, ChunkEntry, ChunkMeta, Manifest, Meta, QuantizationInfo,
                           ResidualInfo, TimeInfo, TrainTimeRange, coerce_affine, decode_chunk_filename,
                           encode_chunk_filename, read_chunk_bytes, read_container, write_bytes_atomic,
                           write_chunk_bytes, write_container)
from pyqelm.format import _records, container as container_mod
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
    args.update(kw)
    return Meta(**args)


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
    """to_dict -> strict JSON -> from_dict -> to_dict."""
    text = _records.dumps(record.to_dict())
    json.loads(text, parse_constant=lambda c: pytest.fail(f"non-standard JSON constant {c}"))
    back = type(record).from_dict(_records.loads(text, "test"))
    return back, text


def same(a, b):
    """Equality that treats NaN as equal to NaN."""
    return _records.dumps(a) == _records.dumps(b)


def one_chunk_container(path, meta=None, blob=None):
    meta = meta or make_meta()
    blob = blob if blob is not None else write_chunk_bytes(make_chunk_meta(), b"weights", b"mask", b"")
    name = encode_chunk_filename([0, 0, 0], ["time", "y", "x"])
    grid = {"time": AxisChunking(n=1, regular=True, size=meta.n_frames),
            "y": AxisChunking(n=1, regular=True, size=meta.height),
            "x": AxisChunking(n=1, regular=True, size=meta.width)}
    entry = ChunkEntry(id=[0, 0, 0], bounds={"time": [0, meta.n_frames], "y": [0, meta.height], "x": [0, meta.width]},
                       file=name, size_bytes=len(blob))
    manifest = Manifest(chunk_grid=grid, chunks=[entry])
    write_container(path, meta, manifest, [(name, blob)])
    return meta, manifest, name, blob


# ---- records ----------------------------------------------------------------------------------------

def test_records_round_trip_through_strict_json():
    meta = make_meta()
    back, _ = json_roundtrip(meta)
    assert same(back.to_dict(), meta.to_dict()) and math.isnan(back.missing_fill)
    cm = make_chunk_meta(residuals=True)
    back, _ = json_roundtrip(cm)
    d = back.to_dict()
    assert same(d, cm.to_dict())
    assert d["model_config"] == {"n_levels": 16, "block_size": [1, 1], "lr": 0.5}
    assert math.isinf(d["extras"]["quality_metrics"]["rmse"][1]) and math.isnan(d["extras"]["quality_metrics"]["psnr"])
    assert list(d["residual_info"]) == list(RESID_INFO) and d["residual_info"] == RESID_INFO
    assert d["quantization_info"] == RECIPE16 and list(d["quantization_info"]) == list(RECIPE16)
    man = Manifest(chunk_grid={"time": AxisChunking(n=2, regular=True, size=5)},
                   chunks=[ChunkEntry(id=[1], bounds={"time": [5, 9]}, file="chunks/time1.qelmc", size_bytes=7)])
    back, _ = json_roundtrip(man)
    assert back == man
    for rec in (TimeInfo(values=["2020-01-01Z"]), TrainTimeRange(start="a", end="b", n_frames=0),
                BandInfo(name="red"), QuantizationInfo.from_dict({"mode": "float16"})):
        assert json_roundtrip(rec)[0] == rec
    assert QuantizationInfo.from_dict({"mode": "float16"}).to_dict() == {"mode": "float16"}


def test_records_normalise_inputs_and_extras_stay_mutable():
    meta = Meta(shape=np.array([4, 8, 9, 1]), axes=("time", "y", "x", "band"), dtype="float32",
                bands=[{"name": "ndvi", "extra_key": 1, "scale_factor": None}], crs=None, transform=None, pixel_anchor="center",
                missing_fill=np.int16(-9999), use_log=np.bool_(True), time=None)
    assert meta.shape == [4, 8, 9, 1] and meta.missing_fill == -9999 and meta.use_log is True
    assert meta.bands[0] == BandInfo(name="ndvi", scale_factor=1.0, add_offset=0.0, valid_range=None)
    ri = ResidualInfo.from_dict({**RESID_INFO, "threshold": np.array([0.5, 0.25])})
    assert ri.threshold == [0.5, 0.25]
    assert ResidualInfo.from_dict({**RESID_INFO, "threshold": np.float64(0.5)}).threshold == 0.5
    cm = make_chunk_meta()
    cm.extras["added_later"] = {"x": 1}
    assert read_chunk_bytes(write_chunk_bytes(cm, b"w", b"", b"")).chunk_meta.extras["added_later"] == {"x": 1}

    class Crs:
        def to_string(self):
            return "EPSG:4326"
    assert make_meta(crs=Crs()).crs == "EPSG:4326"


@pytest.mark.parametrize("build", [
    lambda: make_meta(shape=[2, 3]),
    lambda: make_meta(shape=[2, -3, 5, 1]),
    lambda: make_meta(shape=[2, 3.5, 5, 1]),
    lambda: make_meta(axes=["time", "y", "x"]),
    lambda: make_meta(axes=["time", "y", "y", "band"]),
    lambda: make_meta(use_log="yes"),
    lambda: make_meta(transform=[1, 2, 3]),
    lambda: make_meta(crs=object()),
    lambda: make_meta(bands=[{"scale_factor": 1.0}]),
    lambda: BandInfo(name="b", valid_range=[0, 1, 2]),
    lambda: QuantizationInfo.from_dict({**RECIPE16, "sizes": [10]}),
    lambda: QuantizationInfo.from_dict({**RECIPE16, "scales": [0.0, 1.0]}),
    lambda: QuantizationInfo.from_dict({**RECIPE16, "mode": "int12_per_tensor_f16dec"}),
    lambda: QuantizationInfo.from_dict({"mode": "float16", "sizes": [1]}),
    lambda: QuantizationInfo.from_dict({k: v for k, v in RECIPE16.items() if k != "decoder_name"}),
    lambda: ResidualInfo.from_dict({**RESID_INFO, "band_scales": None}),
    lambda: ResidualInfo.from_dict({**RESID_INFO, "outlier_layout": "dense"}),
    lambda: ResidualInfo.from_dict({**RESID_INFO, "outlier_count": -1}),
    lambda: TrainTimeRange(start="a", end="b", n_frames=True),
    lambda: ChunkMeta(model_config={"f": object()}, quantization_info={"mode": "float16"}),
    lambda: ChunkMeta(model_config={}, quantization_info={"mode": "float16"}, has_residuals=True),
    lambda: ChunkMeta(model_config={}, quantization_info={"mode": "float16"}, train_data_range=[[0, 1, 2]]),
    lambda: Manifest(chunk_grid={"t": AxisChunking(n=1, size=2)},
                     chunks=[ChunkEntry(id=[1], bounds={"t": [0, 2]}, file="a", size_bytes=1)]),
    lambda: Manifest(chunk_grid={"t": AxisChunking(n=2, size=2)},
                     chunks=[ChunkEntry(id=[0], bounds={"t": [0, 2]}, file="a", size_bytes=1),
                             ChunkEntry(id=[1], bounds={"t": [2, 4]}, file="a", size_bytes=1)]),
    lambda: ChunkEntry(id=[0], bounds={"t": [3, 2]}, file="a", size_bytes=1),
    lambda: Manifest.from_dict({"chunk_grid": {}}),
])
def test_records_reject_invalid_fields(build):
    with pytest.raises(ValueError):
        build()


def test_affine_forms():
    six = [10.0, 0.0, 500000.0, 0.0, -10.0, 4600000.0]
    assert coerce_affine(tuple(six)) == six
    assert coerce_affine(np.array(six + [0, 0, 1]).reshape(3, 3)) == six
    assert coerce_affine(six + [0, 0, 1]) == six
    assert coerce_affine(np.array(six).reshape(2, 3)) == six
    assert coerce_affine(dict(zip("abcdef", six))) == six
    assert coerce_affine({"gdal": [500000.0, 10.0, 0.0, 4600000.0, 0.0, -10.0]}) == six

    class Obj:
        a, b, c, d, e, f = six
    assert coerce_affine(Obj()) == six
    affine = pytest.importorskip("affine")
    assert coerce_affine(affine.Affine(*six)) == six
    for bad in (None, "10,0,0,0,-10,0", [1, 2, 3, 4, 5], six + [0, 1, 1], [1, 0, 0, 0, 0, 0],
                [float("nan")] + six[1:], {"gdal": six, "geotransform": six}, {"a": 1}, object(), [[1, 2], [3]]):
        with pytest.raises(ValueError):
            coerce_affine(bad)


# ---- chunk blobs ------------------------------------------------------------------------------------

def test_chunk_blob_layout_and_round_trip():
    cm = make_chunk_meta(residuals=True)
    blob = write_chunk_bytes(cm, b"W" * 5, b"", b"R" * 3)
    magic, version, reserved, mlen, wlen, klen, rlen, _crc = struct.unpack_from("<4sHHIQQQI", blob)
    assert (magic, version, reserved, wlen, klen, rlen) == (b"QLMC", 1, 0, 5, 0, 3)
    assert len(blob) == 40 + mlen + 5 + 0 + 3
    meta, w, m, r = read_chunk_bytes(bytearray(blob))
    assert (w, m, r) == (b"W" * 5, b"", b"R" * 3)
    assert same(meta.to_dict(), cm.to_dict())
    assert encode_chunk_filename([0, 0, 0], ["time", "y", "x"]) == "chunks/time0.y0.x0.qelmc"
    assert decode_chunk_filename("chunks/time3.y12.x0.qelmc") == ([3, 12, 0], ["time", "y", "x"])
    for bad in (([0, -1], ["a", "b"]), ([0], ["a", "b"]), ([1], ["t1"]), ([], []), ([0], ["a.b"])):
        with pytest.raises(ValueError):
            encode_chunk_filename(*bad)
    for bad in ("chunks/time01.qelmc", "meta.json", "chunks/.qelmc", "chunks/time.qelmc"):
        with pytest.raises(ValueError):
            decode_chunk_filename(bad)


@pytest.mark.parametrize("residuals, weights, resid, words", [
    (False, b"w", b"r", "residual"), (True, b"w", b"", "residual"), (False, b"", b"", ""), (False, "w", b"", ""),
    (None, b"w", b"", "")])
def test_chunk_blob_writer_refuses_inconsistent_sections(residuals, weights, resid, words):
    meta = {"model_config": {}} if residuals is None else make_chunk_meta(residuals)
    with pytest.raises(ValueError, match=words):
        write_chunk_bytes(meta, weights, b"", resid)


def test_chunk_reader_rejects_every_truncation_and_damage():
    blob = write_chunk_bytes(make_chunk_meta(), b"weights", b"mask", b"")
    flipped = [blob[:i] + bytes([blob[i] ^ 0x41]) + blob[i + 1:] for i in range(len(blob))]
    for bad in [blob[:n] for n in range(len(blob))] + [blob + b"\0"] + flipped:
        with pytest.raises(ValueError):
            read_chunk_bytes(bad)
    # Lengths pointing past the end, with a checksum that would otherwise match.
    huge = bytearray(blob)
    struct.pack_into("<Q", huge, 12, 1 << 60)
    with pytest.raises(ValueError, match="declare"):
        read_chunk_bytes(bytes(huge))
    with pytest.raises(ValueError, match="version"):
        read_chunk_bytes(blob[:4] + b"\x02\x00" + blob[6:])


def test_chunk_reader_checks_content_behind_a_valid_checksum():
    def forge(meta_json, weights=b"w", resid=b""):
        body = meta_json + weights + resid
        import zlib
        head = struct.pack("<4sHHIQQQI", b"QLMC", 1, 0, len(meta_json), len(weights), 0, len(resid), zlib.crc32(body))
        return head + body
    good = _records.dumps(make_chunk_meta().to_dict())
    assert read_chunk_bytes(forge(good)).weights_bytes == b"w"
    for meta_json, kw in [(b"[1, 2]", {}), (b"{", {}), (b"\xff\xfe", {}), (b"[" * 100000, {}),
                          (b'{"model_config": {}}', {}), (good.replace(b'"has_residuals":false', b'"has_residuals":1'), {}),
                          (good, {"resid": b"r"}), (good, {"weights": b""})]:
        with pytest.raises(ValueError):
            read_chunk_bytes(forge(meta_json, **kw))


# ---- containers --------------------------------------------------------------------------------------

def test_container_round_trip(tmp_path):
    path = tmp_path / "out.qelm"
    meta, manifest, name, blob = one_chunk_container(path)
    with zipfile.ZipFile(path) as zf:
        assert sorted(zf.namelist()) == sorted(["meta.json", "manifest.json", name])
        stored = json.loads(zf.read("meta.json"))
        assert stored["format_version"] == "0.9"
        assert zf.getinfo(name).compress_type == zipfile.ZIP_STORED
    got = read_container(str(path))
    assert got.format_version == "0.9"
    assert same(got.meta.to_dict(), meta.to_dict())
    assert got.manifest == manifest
    assert got.chunks == {name: blob}
    assert read_chunk_bytes(got.chunks[name]).weights_bytes == b"weights"
    first = path.read_bytes()
    one_chunk_container(path)
    assert path.read_bytes() == first  # deterministic
    with open(path, "rb") as f:
        assert read_container(f).chunks == {name: blob}


def test_container_writer_validates_its_inputs(tmp_path):
    meta, manifest, name, blob = one_chunk_container(tmp_path / "ok.qelm")
    target = tmp_path / "bad.qelm"
    damaged = bytearray(blob)
    damaged[-1] ^= 1
    bad_calls = [
        (meta, manifest, []),
        (meta, manifest, [(name, blob), (name, blob)]),
        (meta, manifest, [(name, blob), ("chunks/extra.qelmc", blob)]),
        (meta, manifest, [(name, blob + b"x")]),
        (meta, manifest, [(name, bytes(damaged))]),
        (meta, manifest, [(name, "text")]),
        (make_meta(T=1), manifest, [(name, blob)]),
        (meta.to_dict(), manifest, [(name, blob)]),
    ]
    for args in bad_calls:
        with pytest.raises(ValueError):
            write_container(target, *args)
    assert not target.exists() and sorted(os.listdir(tmp_path)) == ["ok.qelm"]


def test_atomic_writes_leave_old_file_and_no_temp(tmp_path, monkeypatch):
    path = tmp_path / "out.qelm"
    one_chunk_container(path)
    before = path.read_bytes()
    calls = []
    real = zipfile.ZipFile.writestr

    def failing(self, info, data, *a, **k):
        calls.append(info)
        if len(calls) == 3:  # after meta.json and manifest.json went out
            raise OSError(28, "No space left on device")
        return real(self, info, data, *a, **k)
    monkeypatch.setattr(zipfile.ZipFile, "writestr", failing)
    with pytest.raises(OSError):
        one_chunk_container(path, meta=make_meta(missing_fill=0))
    monkeypatch.undo()
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["out.qelm"]

    blob_path = tmp_path / "c.qelmc"
    write_bytes_atomic(blob_path, b"first")
    monkeypatch.setattr(os, "replace", lambda *a: (_ for _ in ()).throw(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        write_bytes_atomic(blob_path, b"second")
    monkeypatch.undo()
    assert blob_path.read_bytes() == b"first"
    assert sorted(os.listdir(tmp_path)) == ["c.qelmc", "out.qelm"]
    assert write_bytes_atomic(blob_path, memoryview(b"third")) == str(blob_path)
    assert blob_path.read_bytes() == b"third"
    with pytest.raises(IsADirectoryError):
        write_bytes_atomic(tmp_path, b"x")
    with pytest.raises(ValueError):
        write_bytes_atomic(blob_path, "text")
    assert sorted(os.listdir(tmp_path)) == ["c.qelmc", "out.qelm"]


def _rewrite_zip(src, dst, edit):
    """Copy a container, letting ``edit(name, data)`` return new data or None to drop a member."""
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w") as zout:
        for info in zin.infolist():
            data = edit(info.filename, zin.read(info.filename))
            if data is not None:
                zout.writestr(info, data)


def test_container_reader_refuses_malformed_archives(tmp_path):
    path = tmp_path / "ok.qelm"
    meta, manifest, name, blob = one_chunk_container(path)
    bad = tmp_path / "bad.qelm"
    cases = {
        "no meta": lambda n, d: None if n == "meta.json" else d,
        "no manifest": lambda n, d: None if n == "manifest.json" else d,
        "no chunk": lambda n, d: None if n == name else d,
        "version": lambda n, d: d.replace(b'"0.9"', b'"1.0"') if n == "meta.json" else d,
        "meta not json": lambda n, d: b"{" if n == "meta.json" else d,
        "meta shape": lambda n, d: d.replace(b'"shape":[2,3,5,2]', b'"shape":[2]') if n == "meta.json" else d,
        "manifest size": lambda n, d: d.replace(f'"size_bytes":{len(blob)}'.encode(), b'"size_bytes":3')
        if n == "manifest.json" else d,
        "manifest names absent": lambda n, d: d.replace(name.encode(), b"chunks/time9.y0.x0.qelmc")
        if n == "manifest.json" else d,
        "bounds beyond cube": lambda n, d: d.replace(b'"x":[0,5]', b'"x":[0,6]') if n == "manifest.json" else d,
    }
    for label, edit in cases.items():
        _rewrite_zip(path, bad, edit)
        with pytest.raises(ValueError):
            read_container(bad)
            pytest.fail(label)
    bad.write_bytes(b"PK\x03\x04 not really a zip")
    with pytest.raises(ValueError, match="ZIP"):
        read_container(bad)
    bad.write_bytes(blob)
    with pytest.raises(ValueError):
        read_container(bad)
    with pytest.raises(FileNotFoundError):
        read_container(tmp_path / "missing.qelm")
    with pytest.raises(ValueError, match="limit"):
        read_container(path, max_chunk_bytes=len(blob) - 1)


def test_zip_bomb_refused_before_inflating(tmp_path, monkeypatch):
    path = tmp_path / "ok.qelm"
    one_chunk_container(path)
    raw = bytearray(path.read_bytes())
    # Declare 10 GiB for the deflated meta.json in the central directory.
    cd = raw.rfind(b"PK\x01\x02", 0, raw.rfind(b"PK\x01\x02", 0, raw.rfind(b"PK\x01\x02")))
    assert raw[cd + 46:cd + 46 + 9] == b"meta.json"
    # ZIP64 would be needed for the real size; the 32-bit field alone already lies by far.
    struct.pack_into("<I", raw, cd + 24, 0xFFFFFFF0)
    bomb = tmp_path / "bomb.qelm"
    bomb.write_bytes(bytes(raw))
    opened = []
    real_open = zipfile.ZipFile.open
    monkeypatch.setattr(zipfile.ZipFile, "open", lambda self, *a, **k: opened.append(a) or real_open(self, *a, **k))
    with pytest.raises(ValueError, match="zip bomb|declares"):
        read_container(bomb)
    assert opened == []


# ---- time axis --------------------------------------------------------------------------------------

def test_normalize_time():
    assert normalize_time(["2020-01-01", "2020-01-02", "2020-01-05"]) == [0.0, 0.25, 1.0]
    assert normalize_time(["2020-06-01"]) == [0.0]
    assert normalize_time([]) == []
    # Global bounds place frames on the shared axis, without clipping.
    assert normalize_time(["2020-01-03", "2020-01-06"], "2020-01-01", "2020-01-05") == [0.5, 1.25]
    assert normalize_time(["2020-01-03"], "2020-01-01", "2020-01-05") == [0.5]
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
    for bad in ("2020-13-01", "2020/01/01", "", "2020-01-01T12:00:00+2", "yesterday"):
        with pytest.raises(ValueError):
            parse_timestamp(bad)
    with pytest.raises(TypeError):
        parse_timestamp(3.5)
