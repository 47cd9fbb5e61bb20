"""The Zarr source on tiny v2 stores written with zarr and v3 stores written by a helper here."""
import gzip
import itertools
import json
import os
from collections import Counter

import numcodecs
import numpy as np
import pytest
import zarr
import zstandard

from pyqelm.encoder import streaming_sources
from pyqelm.encoder.streaming_sources import ZarrStreamingSource, decode_cf_times

T, H, W = 5, 3, 4
WKT = 'GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563]]]'


def stored_cube(dtype="int16"):
    return (np.arange(T * H * W, dtype=np.int64).reshape(T, H, W) * 10).astype(dtype)


def write_v2(path, data, dims=("time", "y", "x"), chunks=(2, 2, 3), fill_value=-9999,
             attrs=None, time_units="days since 2000-01-01", calendar="standard",
             time_values=None, extra=None, name="ndvi"):
    g = zarr.open_group(str(path), mode="w")
    arr = g.create_dataset(name, data=data, chunks=chunks, fill_value=fill_value)
    arr.attrs.update({"_ARRAY_DIMENSIONS": list(dims), **(attrs or {})})
    n_t = data.shape[0]
    if time_units is not None:
        tv = np.arange(n_t) * 8 if time_values is None else time_values
        t = g.create_dataset(dims[0], data=np.asarray(tv), chunks=(n_t,))
        t.attrs.update({"_ARRAY_DIMENSIONS": [dims[0]], "units": time_units,
                        "calendar": calendar})
    sizes = dict(zip(dims, data.shape))
    coords = {"y": 50.0 - 0.5 * np.arange(sizes.get("y", 0)),
              "x": 10.0 + 0.25 * np.arange(sizes.get("x", 0))}
    for d in dims[1:]:
        if d in coords:
            c = g.create_dataset(d, data=coords[d])
            c.attrs["_ARRAY_DIMENSIONS"] = [d]
    for k, (v, v_dims) in (extra or {}).items():
        a = g.create_dataset(k, data=v)
        a.attrs["_ARRAY_DIMENSIONS"] = list(v_dims)
    return str(path)


def open_src(path, **kw):
    return ZarrStreamingSource(zarr_path=path, **kw)


def test_v2_values_mask_time_and_geometry(tmp_path):
    data = stored_cube()
    data[1, 0, 0] = -9999  # array fill value: missing under xarray's convention
    data[2, 1, 1] = -1     # declared missing_value
    attrs = {"scale_factor": 0.01, "add_offset": 1.0, "missing_value": -1, "units": "m",
             "long_name": "height", "grid_mapping": "spatial_ref"}
    path = write_v2(tmp_path / "s.zarr", data, attrs=attrs, time_units="hours since 2000-01-01",
                    time_values=np.array([0, 6, 12, 18, 24]))
    g = zarr.open_group(path, mode="a")
    sr = g.create_dataset("spatial_ref", data=np.int32(0), shape=())
    sr.attrs.update({"_ARRAY_DIMENSIONS": [], "crs_wkt": WKT})

    src = open_src(path, valid_range=(1.0, 3.0), global_start_date="2000-01-01",
                   global_end_date="2000-01-03")
    assert (src.n_timesteps, src.height, src.width, src.n_bands) == (T, H, W, 1)
    assert src.scale_factor == 0.01 and src.valid_range == (1.0, 3.0)
    out = src.read_timesteps(np.arange(T, dtype=np.int64))
    assert out.shape == (T, H, W, 1) and out.dtype == np.float32
    phys = data.astype(np.float64) * 0.01 + 1.0
    expected = (np.clip(phys, 1.0, 3.0) - 1.0) / 2.0
    expected[1, 0, 0] = expected[2, 1, 1] = np.nan
    np.testing.assert_allclose(out[..., 0], expected, rtol=1e-6)
    assert np.nanmin(out) >= 0 and np.nanmax(out) == 1.0  # clipped above 3.0

    meta = src.build_meta_info()
    assert meta["timestamps"] == ["2000-01-01T00:00:00", "2000-01-01T06:00:00",
                                  "2000-01-01T12:00:00", "2000-01-01T18:00:00",
                                  "2000-01-02T00:00:00"]
    np.testing.assert_allclose(meta["t_norms"], [0, 0.125, 0.25, 0.375, 0.5])
    assert meta["trans_matrix"] == [0.25, 0.0, 9.875, 0.0, -0.5, 50.25]
    assert meta["transform"] == meta["trans_matrix"]
    assert meta["crs"] == WKT
    assert meta["dtype"] == meta["src_dtype"] == "int16"
    assert (meta["scale_factor"], meta["add_offset"], meta["band_scales"]) == (0.01, 1.0, [0.01])
    assert meta["band_names"] == ["ndvi"] and meta["variable"] == "ndvi"
    assert meta["dims"] == ["time", "y", "x"] and meta["calendar"] == "standard"
    assert meta["units"] == "m" and meta["attrs"] == {"long_name": "height"}
    assert meta["missing_fill"] == -1 and meta["time_units"] == "hours since 2000-01-01"

    # Without a valid range values are physical; the scale argument overrides the attribute.
    raw = open_src(path, scale_factor=0.1).read_timesteps(np.array([3]))
    np.testing.assert_allclose(raw[0, ..., 0], data[3] * 0.1 + 1.0, rtol=1e-6)
    half = open_src(path, valid_range=(1.0, 3.0), dtype_np=np.float16).read_timesteps([0, 1])
    assert half.dtype == np.float16
    np.testing.assert_allclose(half.astype(np.float32), out[:2], rtol=1e-3)
    with pytest.raises(ValueError, match="overflow float16"):
        open_src(path, scale_factor=1e4, dtype_np=np.float16).read_timesteps([4])


@pytest.mark.parametrize("layout", ["tyxb", "tbyx"])
def test_v2_band_layouts_agree(tmp_path, layout):
    C = 3
    cube = np.arange(T * H * W * C, dtype=np.float32).reshape(T, H, W, C)
    if layout == "tyxb":
        data, dims, chunks = cube, ("time", "lat", "lon", "band"), (2, 2, 2, 2)
    else:
        data, dims, chunks = cube.transpose(0, 3, 1, 2).copy(), ("time", "band", "lat", "lon"), \
            (3, 1, 2, 4)
    path = write_v2(tmp_path / "b.zarr", data, dims=dims, chunks=chunks, fill_value=np.nan)
    g = zarr.open_group(path, mode="a")
    b = g.create_dataset("band", data=np.array(["red", "nir", "swir"]))
    b.attrs["_ARRAY_DIMENSIONS"] = ["band"]
    src = open_src(path)
    assert (src.height, src.width, src.n_bands) == (H, W, C)
    idx = np.array([4, 0, 4, 2, 1], dtype=np.int64)
    np.testing.assert_array_equal(src.read_timesteps(idx), cube[idx])
    meta = src.build_meta_info()
    assert meta["band_names"] == ["red", "nir", "swir"] and meta["dims"] == list(dims)
    assert "trans_matrix" not in meta and "crs" not in meta  # no coordinates, no grid mapping
    # A grid-mapping variable alone supplies both (GDAL GeoTransform order: c a b f d e).
    sr = g.create_dataset("spatial_ref", data=np.int32(0), shape=())
    sr.attrs.update({"_ARRAY_DIMENSIONS": [], "GeoTransform": "10 0.25 0 50 0 -0.5",
                     "epsg": 4326})
    meta = open_src(path).build_meta_info()
    assert meta["trans_matrix"] == [0.25, 0.0, 10.0, 0.0, -0.5, 50.0]
    assert meta["crs"] == "EPSG:4326"


def test_read_timesteps_reads_each_chunk_once(tmp_path, monkeypatch):
    data = stored_cube("float32")
    path = write_v2(tmp_path / "c.zarr", data, chunks=(2, 2, 3), fill_value=np.nan)
    src = open_src(path, valid_range=(0, 1000))
    reads = Counter()
    original = zarr.storage.DirectoryStore.__getitem__

    def counting(self, key):
        if key.startswith("ndvi/") and not key.split("/")[-1].startswith("."):
            reads[key] += 1
        return original(self, key)

    monkeypatch.setattr(zarr.storage.DirectoryStore, "__getitem__", counting)
    idx = np.array([4, 1, 0, 1, 3, 0, 4], dtype=np.int64)
    out = src.read_timesteps(idx)
    full = (np.clip(data, 0, 1000) / 1000.0).astype(np.float32)
    np.testing.assert_allclose(out[..., 0], full[idx], rtol=1e-6)
    # Time chunks {0,1}, {2,3}, {4}; frame 2 is not asked for but shares chunk 1 with frame 3.
    assert set(reads.values()) == {1}
    assert len(reads) == 3 * 2 * 2  # 3 time chunks x 2 row chunks x 2 column chunks

    assert src.read_timesteps(np.array([], dtype=np.int64)).shape == (0, H, W, 1)
    with pytest.raises(IndexError, match="time index 5"):
        src.read_timesteps(np.array([0, 5]))
    with pytest.raises(IndexError, match="time index -1"):
        src.read_timesteps(np.array([-1]))
    with pytest.raises(ValueError, match="integers"):
        src.read_timesteps(np.array([0.5]))


def test_variable_choice_and_store_errors(tmp_path):
    data = stored_cube()
    path = write_v2(tmp_path / "m.zarr", data,
                    extra={"lst": (data + 1, ("time", "y", "x")),
                           "time_bnds": (np.zeros((T, 2)), ("time", "nv"))})
    with pytest.raises(ValueError, match=r"several data variables.*\['lst', 'ndvi'\]"):
        open_src(path)
    assert open_src(path, variable="lst").read_timesteps(np.array([0]))[0, 0, 0, 0] == 1
    with pytest.raises(ValueError, match="'nope' not found"):
        open_src(path, variable="nope")
    with pytest.raises(ValueError, match="not found"):
        open_src(str(tmp_path / "absent.zarr"))
    (tmp_path / "plain").mkdir()
    with pytest.raises(ValueError, match="not a Zarr store"):
        open_src(str(tmp_path / "plain"))
    p = write_v2(tmp_path / "nt.zarr", data, time_units=None)
    with pytest.raises(ValueError, match="no time coordinate"):
        open_src(p)
    p = write_v2(tmp_path / "cal.zarr", data, calendar="noleap")
    with pytest.raises(ValueError, match="noleap"):
        open_src(p)


def test_cf_time_decoding():
    def iso(values, units, cal=None):
        return [d.isoformat() for d in decode_cf_times(np.asarray(values), units, cal)]

    assert iso([0, 1.5], "days since 1970-01-01") == ["1970-01-01T00:00:00",
                                                      "1970-01-02T12:00:00"]
    assert iso([90], "minutes since 2020-02-28 23:00:00") == ["2020-02-29T00:30:00"]
    # An explicit offset is converted to UTC.
    assert iso([0], "seconds since 2020-01-01T06:00:00+02:00") == ["2020-01-01T04:00:00"]
    assert iso([1], "hours since 2020-1-1 0:0:0", "proleptic_gregorian") == [
        "2020-01-01T01:00:00"]
    assert iso([1600000000], "seconds since 1970-01-01 00:00:00 UTC") == [
        "2020-09-13T12:26:40"]
    # Before 1582-10-15 the standard calendar is Julian: its 1500-01-01 is the proleptic
    # Gregorian 1500-01-10, and 1948-01-01 is 17067072 hours after its 0001-01-01.
    assert iso([0], "days since 1500-01-01", "proleptic_gregorian") == ["1500-01-01T00:00:00"]
    assert iso([0], "days since 1500-01-01") == ["1500-01-10T00:00:00"]
    assert iso([17067072], "hours since 1-1-1 00:00:0.0") == ["1948-01-01T00:00:00"]
    assert iso([1], "days since 1582-10-04", "gregorian") == ["1582-10-15T00:00:00"]
    with pytest.raises(ValueError, match="skips"):
        decode_cf_times(np.array([0]), "days since 1582-10-10")
    with pytest.raises(ValueError, match="invalid reference date"):
        decode_cf_times(np.array([0]), "days since 2001-02-29")
    assert iso([0], "days since 1500-02-29") == ["1500-03-10T00:00:00"]  # a Julian leap day
    with pytest.raises(ValueError, match="fortnights"):
        decode_cf_times(np.array([0]), "fortnights since 2000-01-01")
    with pytest.raises(ValueError, match="360_day"):
        decode_cf_times(np.array([0]), "days since 2000-01-01", "360_day")
    with pytest.raises(ValueError, match="since"):
        decode_cf_times(np.array([0]), "days")


# ---- Zarr v3 ------------------------------------------------------------------------------

V3_TYPES = {np.dtype(v).name: v for v in ("int16", "uint8", "float32", "float64", "int32")}


def write_v3(root, name, data, chunks, dims, codecs=None, fill_value=0, attrs=None,
             skip=(), key_encoding=None, zstd_streamed=False):
    """Writes one array of a v3 group; chunk coordinates in ``skip`` are left unwritten.
    ``zstd_streamed`` writes zstd frames without a content size, as streaming writers do."""
    codecs = codecs or [{"name": "bytes", "configuration": {"endian": "little"}}]
    os.makedirs(root, exist_ok=True)
    if not os.path.exists(os.path.join(root, "zarr.json")):
        with open(os.path.join(root, "zarr.json"), "w") as f:
            json.dump({"zarr_format": 3, "node_type": "group", "attributes": {}}, f)
    adir = os.path.join(root, name)
    os.makedirs(adir)
    key_encoding = key_encoding or {"name": "default", "configuration": {"separator": "/"}}
    fv = "NaN" if isinstance(fill_value, float) and np.isnan(fill_value) else fill_value
    meta = {"zarr_format": 3, "node_type": "array", "shape": list(data.shape),
            "data_type": data.dtype.name, "fill_value": fv,
            "chunk_grid": {"name": "regular", "configuration": {"chunk_shape": list(chunks)}},
            "chunk_key_encoding": key_encoding, "codecs": codecs,
            "dimension_names": list(dims), "attributes": attrs or {}}
    with open(os.path.join(adir, "zarr.json"), "w") as f:
        json.dump(meta, f)
    grid = [range(-(-n // c)) for n, c in zip(data.shape, chunks)]
    for coords in itertools.product(*grid):
        if coords in skip:
            continue
        chunk = np.full(chunks, fill_value, dtype=data.dtype)
        sel = tuple(slice(i * c, min((i + 1) * c, n)) for i, c, n in zip(coords, chunks, data.shape))
        chunk[tuple(slice(0, s.stop - s.start) for s in sel)] = data[sel]
        raw = None
        for codec in codecs:
            conf = codec.get("configuration", {})
            if codec["name"] == "transpose":
                chunk = np.transpose(chunk, conf["order"])
            elif codec["name"] == "bytes":
                order = ">" if conf.get("endian") == "big" else "<"
                raw = np.ascontiguousarray(chunk).astype(chunk.dtype.newbyteorder(order)).tobytes()
            elif codec["name"] == "gzip":
                raw = gzip.compress(raw)
            elif codec["name"] == "zstd" and zstd_streamed:
                cobj = zstandard.ZstdCompressor(level=3).compressobj()
                raw = cobj.compress(raw) + cobj.flush()
            elif codec["name"] == "zstd":
                raw = numcodecs.Zstd(level=3).encode(raw)
            elif codec["name"] == "blosc":
                raw = numcodecs.Blosc(cname="lz4", shuffle=numcodecs.Blosc.SHUFFLE).encode(raw)
        if key_encoding["name"] == "default":
            key = "c/" + "/".join(map(str, coords))
        else:
            key = key_encoding["configuration"]["separator"].join(map(str, coords))
        cpath = os.path.join(adir, *key.split("/"))
        os.makedirs(os.path.dirname(cpath), exist_ok=True)
        with open(cpath, "wb") as f:
            f.write(raw if raw is not None else b"")
    return adir


def write_v3_store(root, data, dims=("time", "y", "x"), chunks=(2, 2, 3), **kw):
    write_v3(root, "var", data, chunks, dims, **kw)
    le = [{"name": "bytes", "configuration": {"endian": "little"}}]
    write_v3(root, "time", np.arange(data.shape[0], dtype=np.int32), (data.shape[0],), ["time"],
             codecs=le, attrs={"units": "days since 2021-06-01", "calendar": "gregorian"})
    n_y, n_x = (data.shape[2], data.shape[3]) if dims[1] == "band" else data.shape[1:3]
    write_v3(root, "y", 50.0 - 0.5 * np.arange(n_y), (n_y,), ["y"], codecs=le)
    write_v3(root, "x", 10.0 + 0.25 * np.arange(n_x), (n_x,), ["x"], codecs=le)
    return str(root)


CODEC_CHAINS = {
    "bytes-le": [{"name": "bytes", "configuration": {"endian": "little"}}],
    "bytes-be": [{"name": "bytes", "configuration": {"endian": "big"}}],
    "transpose+gzip": [{"name": "transpose", "configuration": {"order": [2, 0, 1]}},
                       {"name": "bytes", "configuration": {"endian": "big"}},
                       {"name": "gzip", "configuration": {"level": 5}}],
    "zstd": [{"name": "bytes", "configuration": {"endian": "little"}},
             {"name": "zstd", "configuration": {"level": 3, "checksum": False}}],
    "blosc+gzip": [{"name": "bytes", "configuration": {"endian": "little"}},
                   {"name": "blosc", "configuration": {"cname": "lz4", "clevel": 5,
                                                       "shuffle": "shuffle", "typesize": 2}},
                   {"name": "gzip", "configuration": {"level": 1}}],
}


@pytest.mark.parametrize("chain", sorted(CODEC_CHAINS) + ["zstd-streamed"])
def test_v3_codec_chains_round_trip(tmp_path, chain):
    data = stored_cube()
    streamed = chain == "zstd-streamed"
    path = write_v3_store(tmp_path / "v3.zarr", data,
                          codecs=CODEC_CHAINS["zstd" if streamed else chain],
                          attrs={"scale_factor": 0.5}, zstd_streamed=streamed)
    src = open_src(path)
    idx = np.array([3, 0, 4, 3], dtype=np.int64)
    np.testing.assert_array_equal(src.read_timesteps(idx)[..., 0], data[idx] * 0.5)
    meta = src.build_meta_info()
    assert meta["timestamps"][:2] == ["2021-06-01T00:00:00", "2021-06-02T00:00:00"]
    assert meta["trans_matrix"] == [0.25, 0.0, 9.875, 0.0, -0.5, 50.25]
    assert meta["zarr_format"] == 3 and meta["dtype"] == "int16"


def test_v3_missing_chunks_layouts_and_key_encoding(tmp_path, monkeypatch):
    # An unwritten chunk reads as the fill value; a fill value declared as _FillValue is NaN.
    data = stored_cube("float32")
    path = write_v3_store(tmp_path / "a.zarr", data, fill_value=7.0, skip={(1, 0, 0)})
    out = open_src(path).read_timesteps(np.array([2, 3]))[..., 0]
    expected = data[[2, 3]].copy()
    expected[:, :2, :3] = 7.0
    np.testing.assert_array_equal(out, expected)
    path = write_v3_store(tmp_path / "b.zarr", data, fill_value=7.0, skip={(1, 0, 0)},
                          attrs={"_FillValue": 7.0})
    out = open_src(path).read_timesteps(np.array([2]))[0, ..., 0]
    assert np.isnan(out[:2, :3]).all() and not np.isnan(out[2]).any()

    # (time, band, y, x) with the v2 chunk-key encoding, counting chunk loads.
    C = 2
    cube = np.arange(T * H * W * C, dtype=np.uint8).reshape(T, H, W, C)
    path = write_v3_store(tmp_path / "c.zarr", cube.transpose(0, 3, 1, 2).copy(),
                          dims=("time", "band", "y", "x"), chunks=(2, 1, 3, 4),
                          key_encoding={"name": "v2", "configuration": {"separator": "."}})
    assert os.path.isfile(os.path.join(path, "var", "0.1.0.0"))
    src = open_src(path)
    loads = Counter()
    original = streaming_sources._V3Array._load_chunk_bytes

    def counting(self, key):
        if self.name == "var":
            loads[key] += 1
        return original(self, key)

    monkeypatch.setattr(streaming_sources._V3Array, "_load_chunk_bytes", counting)
    idx = np.array([1, 0, 1, 4], dtype=np.int64)
    np.testing.assert_array_equal(src.read_timesteps(idx), cube[idx])
    assert loads == Counter({f"{t}.{b}.0.0": 1 for t in (0, 2) for b in (0, 1)})
    assert src.build_meta_info()["band_names"] == ["B1", "B2"]


def test_v3_unsupported_codecs_are_named(tmp_path):
    data = stored_cube()
    crc = CODEC_CHAINS["bytes-le"] + [{"name": "crc32c"}]
    path = write_v3_store(tmp_path / "a.zarr", data, codecs=[crc[0]])
    # Rewrite the metadata only: the codec is refused before any chunk is decoded.
    meta_path = os.path.join(path, "var", "zarr.json")
    with open(meta_path) as f:
        meta = json.load(f)
    for codecs, name in ((crc, "crc32c"), ([{"name": "sharding_indexed", "configuration": {}}], "sharding_indexed")):
        with open(meta_path, "w") as f:
            json.dump(dict(meta, codecs=codecs), f)
        with pytest.raises(ValueError, match=name):
            open_src(path).read_timesteps(np.array([0]))


def test_v3_damaged_chunks_are_reported(tmp_path):
    data = stored_cube()
    path = write_v3_store(tmp_path / "a.zarr", data, codecs=CODEC_CHAINS["bytes-le"])
    chunk = os.path.join(path, "var", "c", "1", "0", "1")
    with open(chunk, "r+b") as f:
        f.truncate(5)
    src = open_src(path)
    np.testing.assert_array_equal(src.read_timesteps([0])[0, ..., 0], data[0])  # other chunks
    with pytest.raises(ValueError, match="'c/1/0/1': 5 bytes decoded"):
        src.read_timesteps([2])
    path = write_v3_store(tmp_path / "b.zarr", data, codecs=CODEC_CHAINS["zstd"])
    with open(os.path.join(path, "var", "c", "0", "0", "0"), "wb") as f:
        f.write(b"not zstd")
    with pytest.raises(ValueError, match="zstd decompression failed"):
        open_src(path).read_timesteps([0])
