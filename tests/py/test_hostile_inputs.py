"""Hostile and broken inputs: damaged containers, unreadable data, degenerate cubes and
out-of-range arguments each end in a ValueError that names the problem, before any work and
without leaving anything half-written."""
import json
import math
import os
import re
import shutil
import zipfile

import numpy as np
import pytest
import torch
import zarr

from pyqelm import cli, decode
from pyqelm.decode import decode_container
from pyqelm.format import read_chunk_bytes, read_container, write_chunk_bytes
from pyqelm.format.chunk_io import ChunkMeta
from pyqelm.utils.date_utils import normalize_time
from test_loaders import write_tif

T, H, W = 2, 4, 5
STAMPS = ["2021-01-01", "2021-01-02"]
NET = (8, 4, 2, 1.5, 2, 8, 2, 2, 1.5, 2, 1.0, 8, 1)


def loaded(ref_compressor, vol, nodata=None):
    """A compressor holding a raw cube, as the folder loader leaves it."""
    c = ref_compressor()
    c.volume = vol
    c.nodata_mask_vol = np.zeros(vol.shape[:3], bool) if nodata is None else nodata
    c.meta_info.update(height=vol.shape[1], width=vol.shape[2], n_bands=vol.shape[3], timestamps=STAMPS,
                       t_norms=normalize_time(STAMPS))
    return c


def trained(ref_compressor, vol=None, nodata=None, epochs=0):
    vol = np.random.default_rng(0).random((T, H, W, 1)).astype(np.float32) if vol is None else vol
    c = loaded(ref_compressor, vol, nodata)
    c.prepare_training_data_optimized()
    torch.manual_seed(0)
    c.build_qelm_model(*NET)
    fitted = c.fit(epochs=epochs, batch_size=16)
    return c, fitted


@pytest.fixture(scope="module")
def good_container(tmp_path_factory):
    from pyqelm.encoder import tcnn_compressor as tc

    path = tmp_path_factory.mktemp("good") / "good.qelm"
    c, _ = trained(lambda: tc.QELMCompressor._with_reference_backend(device="cpu", train_dtype="float32"))
    c.save_qelm(str(path))
    return path


def rewrite(src, dst, meta=None, manifest=None, chunk=None, drop=(), chunk_compress=None):
    """Copy a container member by member; ``meta``/``manifest`` edit the parsed JSON in place,
    ``chunk`` maps the chunk blob to new bytes (the manifest's size follows)."""
    with zipfile.ZipFile(src) as zin:
        items = [(i, zin.read(i)) for i in zin.infolist()]
    names = {i.filename for i, _ in items}
    chunk_name = next(n for n in names if n.startswith("chunks/"))
    blob = dict((i.filename, d) for i, d in items)[chunk_name]
    if chunk is not None:
        blob = chunk(blob)
    with zipfile.ZipFile(dst, "w") as zout:
        for info, data in items:
            if info.filename in drop:
                continue
            if info.filename == chunk_name:
                data = blob
                if chunk_compress is not None:
                    info.compress_type = chunk_compress
            elif info.filename == "manifest.json":
                d = json.loads(data)
                d["chunks"][0]["size_bytes"] = len(blob)
                if manifest:
                    manifest(d)
                data = json.dumps(d).encode()
            elif info.filename == "meta.json" and meta:
                d = json.loads(data)
                meta(d)
                data = json.dumps(d).encode()
            zout.writestr(info, data)
    return dst


def with_chunk_meta(edit):
    """A chunk blob edit that rewrites the chunk's metadata and keeps a valid checksum."""
    def apply(blob):
        cc = read_chunk_bytes(blob)
        d = cc.chunk_meta.to_dict()
        edit(d)
        return write_chunk_bytes(ChunkMeta.from_dict(d), cc.weights_bytes, cc.mask_bytes, cc.residual_bytes)
    return apply


def other_mask(blob):
    from pyqelm.encoder import tcnn_compressor as tc

    cc = read_chunk_bytes(blob)
    mask = tc._encode_mask_blob(np.zeros((1, H + 1, W), bool), True)
    return write_chunk_bytes(cc.chunk_meta, cc.weights_bytes, mask, cc.residual_bytes)


# ---- containers ---------------------------------------------------------------------------------

CONTAINER_CASES = {
    "meta shape is text": (dict(meta=lambda d: d.update(shape="big")),
                       "shape must be a list"),
    "meta shape too short": (dict(meta=lambda d: d.update(shape=[2, 4])), "shape"),
    "manifest chunks not a list": (dict(manifest=lambda d: d.update(chunks={"a": 1})), "chunks must be a list"),
    "chunk bounds not pairs": (dict(manifest=lambda d: d["chunks"][0]["bounds"].update(x=[0, 1, 5])),
                               "two numbers"),
    "chunk covers part of the cube": (dict(meta=lambda d: d.update(shape=[100000, 100000, 100000, 1])),
                                      re.escape("the only chunk spans time [0, 2), the cube [0, 100000)")),
    "block size zero": (dict(chunk=with_chunk_meta(lambda d: d["model_config"].update(block_size=[0, 1]))),
                        r"block_size\[0\] must be at least 1"),
    "hash table beyond any network": (dict(chunk=with_chunk_meta(lambda d: d["model_config"].update(xy_hash_size=40))),
                                      "xy_hash_size must be between 1 and 30"),
    "hash tables larger than the weights": (dict(chunk=with_chunk_meta(lambda d: d["model_config"].update(
        xy_hash_size=24, xy_n_levels=16, xy_base_resolution=64, xy_per_level_scale=2.0))),
        "asks for .* hash-grid weights but the weight blob holds only"),
    "band ranges for another cube": (dict(chunk=with_chunk_meta(lambda d: d.update(train_data_range=[[0, 1]] * 3))),
                                     "train_data_range holds 3 bands"),
    "mask of another grid": (dict(chunk=other_mask), r"mask of shape \(1, 5, 5\) does not fit"),
}


@pytest.mark.parametrize("case", sorted(CONTAINER_CASES))
def test_damaged_container_is_refused_by_name_before_predicting(good_container, tmp_path, monkeypatch, case):
    edits, words = CONTAINER_CASES[case]
    bad = rewrite(good_container, tmp_path / "bad.qelm", **edits)
    predicted = []
    monkeypatch.setattr(decode, "_predict", lambda *a, **k: predicted.append(1))
    with pytest.raises(ValueError, match=words):
        decode_container(str(bad))
    assert predicted == []


def test_chunk_member_inflating_far_beyond_its_content_is_refused_unread(good_container, tmp_path, monkeypatch):
    # 4 MiB of zeros deflate to about 4 KiB: within what deflate can do, far beyond what a chunk
    # of compressed sections can.
    bomb = rewrite(good_container, tmp_path / "bomb.qelm", chunk=lambda b: bytes(4 << 20),
                   chunk_compress=zipfile.ZIP_DEFLATED)
    with zipfile.ZipFile(bomb) as zf:
        info = zf.getinfo("chunks/time0.y0.x0.qelmc")
        assert info.file_size == 4 << 20 and info.compress_size < 8 << 10
    opened = []
    real_open = zipfile.ZipFile.open
    monkeypatch.setattr(zipfile.ZipFile, "open",
                        lambda self, name, *a, **k: opened.append(getattr(name, "filename", name))
                        or real_open(self, name, *a, **k))
    with pytest.raises(ValueError, match=r"more than the 16:1 its content allows \(zip bomb\?\)"):
        read_container(bomb)
    assert "chunks/time0.y0.x0.qelmc" not in opened
    # A deflated chunk that holds what it claims is still read.
    plain = rewrite(good_container, tmp_path / "deflated.qelm", chunk_compress=zipfile.ZIP_DEFLATED)
    assert decode_container(str(plain))[0].shape == (T, H, W, 1)


@pytest.mark.parametrize("command", ["decode", "inspect"])
@pytest.mark.parametrize("kind,words", [
    ("missing member", "lacks 'manifest.json'"),
    ("wrong JSON", "manifest must be a mapping"),
])
def test_command_line_reports_a_hostile_container_in_one_line(good_container, tmp_path, capsys, command, kind, words):
    bad = tmp_path / "bad.qelm"
    if kind == "missing member":
        rewrite(good_container, bad, drop=("manifest.json",))
    else:
        with zipfile.ZipFile(good_container) as zin, zipfile.ZipFile(bad, "w") as zout:
            for info in zin.infolist():
                zout.writestr(info, b"[1, 2]" if info.filename == "manifest.json" else zin.read(info))
    out_dir = tmp_path / "out.zarr"
    argv = [command, str(bad)] + ([str(out_dir)] if command == "decode" else [])
    assert cli.main(argv) == 1
    err = capsys.readouterr().err
    assert words in err and len(err.strip().splitlines()) == 1 and "Traceback" not in err
    assert not out_dir.exists()


# ---- rasters ------------------------------------------------------------------------------------

def raster_folder(tmp_path):
    folder = tmp_path / "rasters"
    folder.mkdir()
    for i in range(3):
        write_tif(folder / f"p_2020010{i + 1}.tif", np.full((H, W), i + 1))
    return folder


def test_unopenable_raster_is_named_and_loads_nothing(ref_compressor, tmp_path, capsys):
    folder = raster_folder(tmp_path)
    (folder / "p_20200102.tif").write_bytes(b"")
    c = ref_compressor()
    with pytest.raises(ValueError, match=r"cannot read raster.*p_20200102\.tif"):
        c.load_dataset_folder(str(folder))
    assert getattr(c, "volume", None) is None and "timestamps" not in c.meta_info


@pytest.mark.parametrize("kwargs,words", [
    (dict(scale_factor=0.0), "scale_factor must be finite and non-zero"),
    (dict(scale_factor=math.nan), "scale_factor must be finite and non-zero"),
    (dict(scale_factor=math.inf), "scale_factor must be finite and non-zero"),
    (dict(valid_range=()), "valid_range must be one"),
    (dict(valid_range=(0, math.nan)), "min must not exceed max"),
    (dict(expected_bands=0), "expected_bands must be at least 1"),
])
def test_folder_arguments_out_of_range(ref_compressor, tmp_path, capsys, kwargs, words):
    folder = raster_folder(tmp_path)
    c = ref_compressor()
    with pytest.raises(ValueError, match=words):
        c.load_dataset_folder(str(folder), **kwargs)
    assert getattr(c, "volume", None) is None


# ---- Zarr stores --------------------------------------------------------------------------------

def v2_store(path, data, chunks=(1, 2, 5), fill_value=None, dims=("time", "y", "x"), attrs=None):
    shutil.rmtree(path, ignore_errors=True)
    g = zarr.open_group(str(path), mode="w")
    a = g.create_dataset("v", shape=data.shape, chunks=chunks, dtype=data.dtype, fill_value=fill_value)
    a[...] = data
    a.attrs.update({"_ARRAY_DIMENSIONS": list(dims), **(attrs or {})})
    t = g.create_dataset("time", data=np.arange(data.shape[0] if dims[0] == "time" else 1), dtype="i8")
    t.attrs.update({"_ARRAY_DIMENSIONS": ["time"], "units": "days since 2020-01-01"})
    return str(path)


def cube3(dtype="float32"):
    return (np.arange(3 * H * W).reshape(3, H, W) + 1).astype(dtype)


@pytest.mark.parametrize("fill,dtype,expect", [
    (np.nan, "float32", "nan"),
    (-9999.0, "float32", "nan"),      # the fill value is the no-data value
    (None, "float32", "nan"),         # no fill value: unstored cells are no data, not stray memory
    (None, "int16", ValueError),      # no fill value and no NaN to stand in
])
def test_missing_zarr_chunk(ref_compressor, tmp_path, capsys, fill, dtype, expect):
    path = v2_store(tmp_path / "s.zarr", cube3(dtype), fill_value=fill)
    os.remove(os.path.join(path, "v", "1.1.0"))  # frame 1, rows 2-3
    c = ref_compressor()
    if expect is ValueError:
        with pytest.raises(ValueError, match=r"chunk 'v/1.1.0' is not stored and the array has no fill value"):
            c.load_dataset_zarr(path, valid_range=(0, 100))
        assert getattr(c, "cpu_values", None) is None
        return
    c.load_dataset_zarr(path, valid_range=(0, 100))
    v = c.cpu_values.numpy().reshape(3, H, W)
    assert np.isnan(v[1, 2:]).all()
    assert np.isfinite(v[1, :2]).all() and np.isfinite(v[[0, 2]]).all()
    np.testing.assert_allclose(v[0] * 100, cube3()[0], rtol=1e-6)


@pytest.mark.parametrize("damage,words", [
    ("garbage", "blosc frame of 15 bytes is shorter"),
    ("truncated", "blosc frame declares"),
    ("zlib garbage", r"array 'v': cannot decode the chunks of \[0:1, 0:4, 0:5\] \(error: Error -3"),
])
def test_damaged_zarr_chunk_is_refused(ref_compressor, tmp_path, capsys, damage, words):
    path = v2_store(tmp_path / "s.zarr", cube3(), fill_value=0.0)
    if damage == "zlib garbage":
        meta_path = os.path.join(path, "v", ".zarray")
        meta = json.load(open(meta_path))
        meta["compressor"] = {"id": "zlib", "level": 1}
        json.dump(meta, open(meta_path, "w"))
    chunk = os.path.join(path, "v", "2.0.0")
    if damage == "truncated":
        raw = open(chunk, "rb").read()
        open(chunk, "wb").write(raw[:len(raw) // 2])
    else:
        open(chunk, "wb").write(b"garbage garbage")
    c = ref_compressor()
    with pytest.raises(ValueError, match=words):
        c.load_dataset_zarr(path, valid_range=(0, 100))
    assert getattr(c, "cpu_values", None) is None and "timestamps" not in c.meta_info


@pytest.mark.parametrize("shape,dims,words", [
    ((0, H, W), ("time", "y", "x"), r"has shape \(0, 4, 5\) \(time, y, x\): there is no data"),
    ((3, 0, W), ("time", "y", "x"), r"has shape \(3, 0, 5\)"),
    ((3, H, W), ("y", "x", "time"), r"has dimensions \('y', 'x', 'time'\); supported layouts"),
    ((3, H, W), ("time", "y", "band"), "supported layouts"),
])
def test_zarr_variable_without_usable_frames(ref_compressor, tmp_path, capsys, shape, dims, words):
    path = v2_store(tmp_path / "s.zarr", np.zeros(shape, "float32"), chunks=(1, 2, 5), dims=dims)
    for load in ("load_dataset_zarr", "load_dataset_zarr_streaming"):
        c = ref_compressor()
        with pytest.raises(ValueError, match=words):
            getattr(c, load)(path, valid_range=(0, 1))
        assert getattr(c, "streaming_source", None) is None and getattr(c, "cpu_values", None) is None


@pytest.mark.parametrize("kwargs,words", [
    (dict(valid_range=(100, 0)), "vmin < vmax"),
    (dict(valid_range=(5, 5)), "vmin < vmax"),
    (dict(valid_range=()), "vmin < vmax"),
    (dict(valid_range=(0, math.nan)), "vmin < vmax"),
    (dict(valid_range=(0, math.inf)), "valid_range must be finite"),
    (dict(valid_range=(-math.inf, 0)), "valid_range must be finite"),
    (dict(valid_range=(0, 1), scale_factor=0), "scale_factor must be a finite non-zero number"),
    (dict(valid_range=(0, 1), scale_factor=math.nan), "scale_factor must be a finite non-zero number"),
])
def test_zarr_load_arguments_out_of_range(ref_compressor, tmp_path, capsys, kwargs, words):
    path = v2_store(tmp_path / "s.zarr", cube3())
    for load in ("load_dataset_zarr", "load_dataset_zarr_streaming"):
        c = ref_compressor()
        with pytest.raises(ValueError, match=words):
            getattr(c, load)(path, **kwargs)
        assert getattr(c, "cpu_values", None) is None and getattr(c, "streaming_source", None) is None


def test_zarr_scale_factor_attribute_of_nan_is_refused(tmp_path):
    from pyqelm.encoder.streaming_sources import ZarrStreamingSource

    path = v2_store(tmp_path / "s.zarr", cube3(), attrs={"scale_factor": float("nan")})
    with pytest.raises(ValueError, match="variable 'v': scale_factor must be a finite non-zero number, got nan"):
        ZarrStreamingSource(zarr_path=path)


# ---- degenerate cubes through load, prepare, fit, save and decode ------------------------------

def degenerate(kind):
    vol = np.random.default_rng(3).random((T, H, W, 1)).astype(np.float32) * 10
    nodata = np.zeros((T, H, W), bool)
    if kind == "all NaN":
        vol[:] = np.nan
    elif kind == "all no-data":
        nodata[:] = True
    elif kind == "constant":
        vol[:] = 7.25
    elif kind == "all infinite":
        vol[:] = np.inf
    elif kind == "some infinite":
        vol[0, 0, 0] = np.inf
        vol[1, 2, 3] = -np.inf
    return vol, nodata


@pytest.mark.parametrize("kind", ["all NaN", "all no-data", "constant", "all infinite", "some infinite"])
def test_degenerate_cube_round_trip(ref_compressor, tmp_path, capsys, kind):
    vol, nodata = degenerate(kind)
    truth = vol.copy()
    c, fitted = trained(ref_compressor, vol.copy(), nodata.copy(), epochs=1)
    assert fitted is (kind != "all no-data")  # nothing to train on is reported, not hidden
    assert all(torch.isfinite(p).all() for p in c.model.parameters())
    path = tmp_path / "d.qelm"
    # per-frame masks: a cell that is unusable in one frame only is blanked in that frame
    c.save_qelm(str(path), save_residuals=True, residual_threshold=0.01, mask_mode="dynamic")
    cube, _ = decode_container(str(path))
    assert cube.shape == (T, H, W, 1)
    unusable = nodata[..., None] | ~np.isfinite(truth)
    assert np.isnan(cube[unusable]).all()   # no-data, NaN and infinite cells come back as no data
    assert np.isfinite(cube[~unusable]).all()
    if kind == "constant":
        assert (cube == np.float32(7.25)).all()  # a zero span restores the constant exactly
    rect = tmp_path / "d-rectified.qelm"
    if rect.exists():
        fixed, _ = decode_container(str(rect))
        err = np.abs(fixed[~unusable] - truth[~unusable])
        assert err.max() <= 0.01 * (1 + 1e-3)
    assert sorted(p.name for p in tmp_path.iterdir()) in (["d.qelm"], ["d-rectified.qelm", "d.qelm"])


# ---- method arguments ---------------------------------------------------------------------------

FIT_CASES = [
    (dict(lr=-0.01), "lr must be a finite non-negative number, got -0.01"),
    (dict(lr=math.nan), "lr must be a finite non-negative number, got nan"),
    (dict(lr_hash=math.inf), "lr_hash must be a finite non-negative number, got inf"),
    (dict(early_stop=True, early_stop_patience=-1), "early_stop_patience must be non-negative, got -1"),
    (dict(early_stop=True, early_stop_min_delta_rel=-0.5), "early_stop_min_delta_rel must be"),
    (dict(early_stop=True, early_stop_warmup_epochs=-2), "early_stop_warmup_epochs must be non-negative"),
    (dict(early_stop=True, early_stop_ema_alpha=0), r"early_stop_ema_alpha must be in \(0, 1\], got 0"),
    (dict(early_stop=True, early_stop_ema_alpha=1.5), r"early_stop_ema_alpha must be in \(0, 1\]"),
    (dict(importance_sampling=True, imp_warmup_frac=-0.5), r"imp_warmup_frac must be in \[0, 1\]"),
    (dict(importance_sampling=True, imp_warmup_frac=2), r"imp_warmup_frac must be in \[0, 1\]"),
    (dict(importance_sampling=True, imp_alpha=-1), "imp_alpha must be a finite non-negative number"),
    (dict(importance_sampling=True, imp_refresh_epochs=-1), "imp_refresh_epochs must be a finite non-negative number"),
    (dict(batch_size=2 ** 70), "batch_size is out of range: 1180591620717411303424"),
]


@pytest.mark.parametrize("kwargs,words", FIT_CASES,
                         ids=[f"{list(k)[-1]}={list(k.values())[-1]}" for k, _ in FIT_CASES])
def test_fit_arguments_out_of_range_are_refused_before_work(ref_compressor, capsys, kwargs, words):
    c, _ = trained(ref_compressor)
    before = [p.detach().clone() for p in c.model.parameters()]
    capsys.readouterr()
    with pytest.raises(ValueError, match=words):
        c.fit(**{"epochs": 2, "batch_size": 16, **kwargs})
    out = capsys.readouterr()
    assert "Training Start" not in out.out and out.err == ""
    assert all(torch.equal(a, b) for a, b in zip(before, c.model.parameters()))


@pytest.mark.parametrize("method,kwargs,words", [
    ("compute_quality_metrics", dict(n_frames=-1), "n_frames must be non-negative, got -1"),
    ("compute_quality_metrics", dict(batch_size=0), "batch_size must be a positive number"),
    ("compute_residuals", dict(batch_size=-1), "batch_size must be a positive number"),
    ("compute_residuals", dict(threshold=math.nan), "residual threshold must be a non-negative number"),
])
def test_other_numeric_arguments_at_their_edges(ref_compressor, capsys, method, kwargs, words):
    c, _ = trained(ref_compressor)
    capsys.readouterr()
    with pytest.raises(ValueError, match=words):
        getattr(c, method)(**kwargs)
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("method", ["save_qelm", "save_chunk_blob"])
def test_save_threshold_with_nan_writes_nothing(ref_compressor, tmp_path, capsys, method):
    c, _ = trained(ref_compressor)
    capsys.readouterr()
    with pytest.raises(ValueError, match="residual_threshold must be non-negative"):
        getattr(c, method)(str(tmp_path / "x.qelm"), save_residuals=True, residual_threshold=[0.1, math.nan])
    assert capsys.readouterr().out == "" and list(tmp_path.iterdir()) == []
