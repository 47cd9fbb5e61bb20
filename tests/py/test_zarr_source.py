"""The Zarr source on tiny v2 stores written with zarr and v3 stores written by a helper here."""
import contextlib
import gzip
import itertools
import json
from collections import Counter
from pathlib import Path

import numcodecs
import numpy as np
import pytest
import zarr
import zstandard

from pyqelm.encoder.streaming_sources import ZarrStreamingSource, _V3Array, decode_cf_times

T, H, W = 5, 3, 4
WKT = 'GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563]]]'
CUBE = (np.arange(T * H * W).reshape(T, H, W) * 10).astype(np.int16)


def add_v2(g, name, data, dims, attrs=None, **kw):
    g.create_dataset(name, data=data, **kw).attrs.update({"_ARRAY_DIMENSIONS": list(dims), **(attrs or {})})


def write_v2(path, data, dims=("time", "y", "x"), chunks=(2, 2, 3), fill_value=-9999, attrs=None,
             time=(np.arange(T) * 8, "days since 2000-01-01"), calendar="standard", extra=()):
    g = zarr.open_group(str(path), mode="w")
    add_v2(g, "ndvi", data, dims, attrs, chunks=chunks, fill_value=fill_value)
    if time:
        add_v2(g, dims[0], time[0], [dims[0]], {"units": time[1], "calendar": calendar})
    coords = [(d, v, [d]) for d, v in (("y", 50.0 - 0.5 * np.arange(H)), ("x", 10.0 + 0.25 * np.arange(W))) if d in dims]
    for name, values, v_dims, *v_attrs in coords + list(extra):
        add_v2(g, name, values, v_dims, *v_attrs)
    return str(path)


def open_src(path, **kw):
    return ZarrStreamingSource(zarr_path=path, **kw)


def count_chunk_reads(monkeypatch, cls, method, counted):
    reads, original = Counter(), getattr(cls, method)

    def counting(self, key):
        if counted(self, key):
            reads[key] += 1
        return original(self, key)

    monkeypatch.setattr(cls, method, counting)
    return reads


def test_v2_values_mask_time_and_geometry(tmp_path):
    data = CUBE.copy()
    data[1, 0, 0] = -9999  # array fill value: missing under xarray's convention
    data[2, 1, 1] = -1     # declared missing_value
    attrs = {"scale_factor": 0.01, "add_offset": 1.0, "missing_value": -1, "units": "m",
             "long_name": "height", "grid_mapping": "spatial_ref"}
    path = write_v2(tmp_path / "s.zarr", data, attrs=attrs, time=([0, 6, 12, 18, 24], "hours since 2000-01-01"),
                    extra=[("spatial_ref", np.int32(0), [], {"crs_wkt": WKT})])

    src = open_src(path, valid_range=(1.0, 3.0), global_start_date="2000-01-01", global_end_date="2000-01-03")
    assert (src.n_timesteps, src.height, src.width, src.n_bands, src.scale_factor) == (T, H, W, 1, 0.01)
    out = src.read_timesteps(np.arange(T, dtype=np.int64))
    expected = (np.clip(data.astype(np.float64) * 0.01 + 1.0, 1.0, 3.0) - 1.0) / 2.0  # clipped above 3.0
    expected[1, 0, 0] = expected[2, 1, 1] = np.nan
    np.testing.assert_allclose(out, expected[..., None], rtol=1e-6)

    meta = src.build_meta_info()
    np.testing.assert_allclose(meta["t_norms"], [0, 0.125, 0.25, 0.375, 0.5])
    want = dict(timestamps=[f"2000-01-0{1 + h // 24}T{h % 24:02d}:00:00" for h in (0, 6, 12, 18, 24)],
                trans_matrix=[0.25, 0.0, 9.875, 0.0, -0.5, 50.25], crs=WKT, dtype="int16", src_dtype="int16",
                scale_factor=0.01, add_offset=1.0, band_scales=[0.01], band_names=["ndvi"], variable="ndvi",
                dims=["time", "y", "x"], calendar="standard", units="m", attrs={"long_name": "height"}, missing_fill=-1,
                time_units="hours since 2000-01-01")
    assert {k: meta[k] for k in want} == want and meta["transform"] == meta["trans_matrix"]

    # Without a valid range values are physical; the scale argument overrides the attribute.
    np.testing.assert_allclose(open_src(path, scale_factor=0.1).read_timesteps([3])[0, ..., 0], data[3] * 0.1 + 1.0, rtol=1e-6)
    half = open_src(path, valid_range=(1.0, 3.0), dtype_np=np.float16).read_timesteps([0, 1])
    assert out.dtype == np.float32 and half.dtype == np.float16
    np.testing.assert_allclose(half.astype(np.float32), out[:2], rtol=1e-3)
    with pytest.raises(ValueError, match="overflow float16"):
        open_src(path, scale_factor=1e4, dtype_np=np.float16).read_timesteps([4])


@pytest.mark.parametrize("dims,chunks,n_chunks", [(("time", "lat", "lon", "band"), (2, 2, 2, 2), 3 * 2 * 2 * 2),
                                                  (("time", "band", "lat", "lon"), (3, 1, 2, 4), 2 * 3 * 2 * 1)])
def test_v2_band_layouts_read_each_chunk_once(tmp_path, monkeypatch, dims, chunks, n_chunks):
    cube = np.arange(T * H * W * 3, dtype=np.float32).reshape(T, H, W, 3)
    path = write_v2(tmp_path / "b.zarr", np.moveaxis(cube, 3, dims.index("band")).copy(), dims=dims, chunks=chunks,
                    fill_value=np.nan, extra=[("band", np.array(["red", "nir", "swir"]), ["band"])])
    src = open_src(path)
    assert (src.height, src.width, src.n_bands) == (H, W, 3)
    reads = count_chunk_reads(monkeypatch, zarr.storage.DirectoryStore, "__getitem__",
                              lambda store, key: key.startswith("ndvi/") and not key.split("/")[-1].startswith("."))
    idx = np.array([4, 1, 0, 1, 3, 0, 4], dtype=np.int64)  # frame 2 is not asked for but shares a chunk
    np.testing.assert_array_equal(src.read_timesteps(idx), cube[idx])
    assert set(reads.values()) == {1} and len(reads) == n_chunks
    meta = src.build_meta_info()
    assert meta["band_names"] == ["red", "nir", "swir"] and meta["dims"] == list(dims)
    assert "trans_matrix" not in meta and "crs" not in meta  # no coordinates, no grid mapping
    # A grid-mapping variable alone supplies both (GDAL GeoTransform order: c a b f d e).
    add_v2(zarr.open_group(path, mode="a"), "spatial_ref", np.int32(0), [], {"GeoTransform": "10 0.25 0 50 0 -0.5", "epsg": 4326})
    meta = open_src(path).build_meta_info()
    assert meta["trans_matrix"] == [0.25, 0.0, 10.0, 0.0, -0.5, 50.0] and meta["crs"] == "EPSG:4326"


def test_variable_choice_and_store_errors(tmp_path):
    path = write_v2(tmp_path / "m.zarr", CUBE,
                    extra=[("lst", CUBE + 1, ("time", "y", "x")), ("time_bnds", np.zeros((T, 2)), ("time", "nv"))])
    with pytest.raises(ValueError, match=r"several data variables.*\['lst', 'ndvi'\]"):
        open_src(path)
    lst = open_src(path, variable="lst")
    assert lst.read_timesteps(np.array([0]))[0, 0, 0, 0] == 1 and lst.read_timesteps(np.array([], np.int64)).shape == (0, H, W, 1)
    for bad, exc, words in (([0, 5], IndexError, "time index 5"), ([-1], IndexError, "time index -1"),
                            ([0.5], ValueError, "integers")):
        with pytest.raises(exc, match=words):
            lst.read_timesteps(np.array(bad))
    for where, kw, words in ((path, dict(variable="nope"), "'nope' not found"), (str(tmp_path / "absent.zarr"), {}, "not found"),
                             (str(tmp_path), {}, "not a Zarr store"),  # a folder of stores is not one
                             (write_v2(tmp_path / "dup.zarr", CUBE, time=([0, 1, 1, 2, 3], "days since 2000-01-01")),
                              {}, "frame 2 .* repeats frame 1"),
                             # an undated axis has no global bounds to take
                             (write_v2(tmp_path / "nt.zarr", CUBE, time=None), dict(global_start_date="2000-01-01"),
                              "--time-start"),
                             (path, dict(variable="lst", band_dim="lev"), "'lev' is not a dimension")):
        with pytest.raises(ValueError, match=words):
            open_src(where, **kw)


@pytest.mark.parametrize("values,units,calendar,want", [
    ([0, 1.5], "days since 1970-01-01", None, ["1970-01-01T00:00:00", "1970-01-02T12:00:00"]),
    ([0], "seconds since 2020-01-01T06:00:00+02:00", None, ["2020-01-01T04:00:00"]),  # an offset becomes UTC
    ([1600000000], "seconds since 1970-01-01 00:00:00 UTC", None, ["2020-09-13T12:26:40"]),
    # Before 1582-10-15 the standard calendar is Julian: its 1500-01-01 is the proleptic
    # Gregorian 1500-01-10, and 1948-01-01 is 17067072 hours after its 0001-01-01.
    ([0], "days since 1500-01-01", "proleptic_gregorian", ["1500-01-01T00:00:00"]),
    ([0], "days since 1500-01-01", None, ["1500-01-10T00:00:00"]),
    ([17067072], "hours since 1-1-1 00:00:0.0", None, ["1948-01-01T00:00:00"]),
    ([1], "days since 1582-10-04", "gregorian", ["1582-10-15T00:00:00"]),
    ([0], "days since 1500-02-29", None, ["1500-03-10T00:00:00"]),  # a Julian leap day
    ([0], "days since 1582-10-10", None, "skips"), ([0], "days since 2001-02-29", None, "invalid reference date"),
    ([0], "fortnights since 2000-01-01", None, "fortnights"), ([0], "days since 2000-01-01", "360_day", "360_day"),
    ([0], "days", None, "since"),
])
def test_cf_time_decoding(values, units, calendar, want):
    with pytest.raises(ValueError, match=want) if isinstance(want, str) else contextlib.nullcontext():
        assert [d.isoformat() for d in decode_cf_times(np.asarray(values), units, calendar)] == want


# ---- Zarr v3 ------------------------------------------------------------------------------

def codec(name, **conf):
    return {"name": name, "configuration": conf}


LE = [codec("bytes", endian="little")]
ENCODE = {"gzip": gzip.compress, "zstd": numcodecs.Zstd(level=3).encode,
          "blosc": numcodecs.Blosc(cname="lz4", shuffle=numcodecs.Blosc.SHUFFLE).encode}
STREAMED = dict(ENCODE, zstd=zstandard.ZstdCompressor(write_content_size=False).compress)  # frames without a content size
CODEC_CHAINS = {
    "transpose+big-endian+gzip": [codec("transpose", order=[2, 0, 1]), codec("bytes", endian="big"), codec("gzip", level=5)],
    "zstd": LE + [codec("zstd", level=3, checksum=False)],
    "blosc+gzip": LE + [codec("blosc", cname="lz4", clevel=5, shuffle="shuffle", typesize=2), codec("gzip", level=1)],
}
CODEC_CHAINS["zstd-streamed"] = CODEC_CHAINS["zstd"]


def encode_v3_chunk(chunk, codecs, encode):
    raw = b""
    for name, conf in ((c["name"], c.get("configuration", {})) for c in codecs):
        if name == "transpose":
            chunk = np.transpose(chunk, conf["order"])
        elif name == "bytes":
            raw = np.ascontiguousarray(chunk, chunk.dtype.newbyteorder(">" if conf["endian"] == "big" else "<")).tobytes()
        elif name in encode:  # codecs the source must refuse are left out
            raw = encode[name](raw)
    return raw


def write_v3(root, name, data, chunks, dims, codecs=LE, fill_value=0, attrs=None, skip=(), v2_keys=False, encode=ENCODE):
    """Writes one array of a v3 group; chunk coordinates in ``skip`` are left unwritten."""
    keys = codec("v2", separator=".") if v2_keys else codec("default", separator="/")
    meta = {"zarr_format": 3, "node_type": "array", "shape": list(data.shape), "data_type": data.dtype.name,
            "fill_value": fill_value, "chunk_grid": codec("regular", chunk_shape=list(chunks)), "chunk_key_encoding": keys,
            "codecs": codecs, "dimension_names": list(dims), "attributes": attrs or {}}
    Path(root, name).mkdir(parents=True)
    Path(root, name, "zarr.json").write_text(json.dumps(meta))
    for coords in set(itertools.product(*(range(-(-n // c)) for n, c in zip(data.shape, chunks)))) - set(skip):
        part = data[tuple(slice(i * c, (i + 1) * c) for i, c in zip(coords, chunks))]
        chunk = np.full(chunks, fill_value, data.dtype)  # edge chunks are stored whole
        chunk[tuple(map(slice, part.shape))] = part
        out = Path(root, name, *([".".join(map(str, coords))] if v2_keys else ["c", *map(str, coords)]))
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_bytes(encode_v3_chunk(chunk, codecs, encode))


def write_v3_store(root, data, dims=("time", "y", "x"), chunks=(2, 2, 3), **kw):
    write_v3(root, "var", data, chunks, dims, **kw)
    Path(root, "zarr.json").write_text(json.dumps({"zarr_format": 3, "node_type": "group", "attributes": {}}))
    write_v3(root, "time", np.arange(data.shape[0], dtype=np.int32), (data.shape[0],), ["time"],
             attrs={"units": "days since 2021-06-01", "calendar": "gregorian"})
    write_v3(root, "y", 50.0 - 0.5 * np.arange(H), (H,), ["y"])
    write_v3(root, "x", 10.0 + 0.25 * np.arange(W), (W,), ["x"])
    return str(root)


@pytest.mark.parametrize("chain,declared_fill", [(c, False) for c in CODEC_CHAINS] + [("zstd", True)])
def test_v3_codec_chains_round_trip(tmp_path, chain, declared_fill):
    attrs = {"scale_factor": 0.5, **({"_FillValue": 7} if declared_fill else {})}
    path = write_v3_store(tmp_path / "v3.zarr", CUBE, codecs=CODEC_CHAINS[chain], attrs=attrs, fill_value=7, skip={(1, 0, 0)},
                          encode=STREAMED if chain == "zstd-streamed" else ENCODE)
    src = open_src(path)
    idx = np.array([3, 0, 4, 3], dtype=np.int64)
    expected = CUBE[idx] * 0.5
    # an unwritten chunk reads as the fill value; declared as _FillValue it marks no data
    expected[[0, 3], :2, :3] = np.nan if declared_fill else 3.5
    np.testing.assert_array_equal(src.read_timesteps(idx)[..., 0], expected)
    meta = src.build_meta_info()
    assert (meta["timestamps"][1], meta["zarr_format"], meta["dtype"], meta["trans_matrix"]) == (
        "2021-06-02T00:00:00", 3, "int16", [0.25, 0.0, 9.875, 0.0, -0.5, 50.25])


def test_v3_band_layout_with_v2_key_encoding_reads_each_chunk_once(tmp_path, monkeypatch):
    cube = np.arange(T * H * W * 2, dtype=np.uint8).reshape(T, H, W, 2)
    path = write_v3_store(tmp_path / "c.zarr", cube.transpose(0, 3, 1, 2).copy(), dims=("time", "band", "y", "x"),
                          chunks=(2, 1, 3, 4), v2_keys=True)
    src = open_src(path)
    loads = count_chunk_reads(monkeypatch, _V3Array, "_load_chunk_bytes", lambda array, key: array.name == "var")
    np.testing.assert_array_equal(src.read_timesteps(np.array([1, 0, 1, 4])), cube[[1, 0, 1, 4]])
    assert loads == Counter({f"{t}.{b}.0.0": 1 for t in (0, 2) for b in (0, 1)})
    assert src.build_meta_info()["band_names"] == ["B1", "B2"]


@pytest.mark.parametrize("codecs,damaged_key,damage,words", [
    (LE + [codec("crc32c")], None, None, "crc32c"),  # refused by name before any chunk is decoded
    ([codec("sharding_indexed")], None, None, "sharding_indexed"),
    (LE, "c/0/0/1", lambda f: f.truncate(5), "'c/0/0/1': 5 bytes decoded"),
    (LE + [codec("zstd", level=3)], "c/0/0/0", lambda f: f.write(b"not zstd"), "zstd decompression failed"),
])
def test_v3_unsupported_codecs_and_damaged_chunks_are_named(tmp_path, codecs, damaged_key, damage, words):
    path = write_v3_store(tmp_path / "a.zarr", CUBE, codecs=codecs)
    if damage:
        with open(Path(path, "var", *damaged_key.split("/")), "r+b") as f:
            damage(f)
        np.testing.assert_array_equal(open_src(path).read_timesteps([4])[0, ..., 0], CUBE[4])  # other chunks
    with pytest.raises(ValueError, match=words):
        open_src(path).read_timesteps([0])
