"""Hostile and broken inputs: damaged containers, unreadable data, degenerate cubes and
out-of-range arguments each end in a ValueError that names the problem, before any work and
without leaving anything half-written."""
import json
import math
import os
import zipfile

import numpy as np
import pytest
import torch
import zarr

from pyqelm import decode
from pyqelm.decode import decode_container
from pyqelm.encoder import tcnn_compressor as tc
from pyqelm.format import read_chunk_bytes, read_container, write_chunk_bytes
from pyqelm.format.chunk_io import ChunkMeta
from pyqelm.utils.date_utils import normalize_time
from test_loaders import write_tif

T, H, W = 2, 4, 5
STAMPS = ["2021-01-01", "2021-01-02"]
NET = (8, 4, 2, 1.5, 2, 8, 2, 2, 1.5, 2, 1.0, 8, 1)
CHUNK = "chunks/time0.y0.x0.qelmc"


def trained(ref_compressor, vol=None, nodata=None, epochs=0):
    vol = np.random.default_rng(0).random((T, H, W, 1)).astype(np.float32) if vol is None else vol
    c = ref_compressor()
    c.volume = vol
    c.nodata_mask_vol = np.zeros(vol.shape[:3], bool) if nodata is None else nodata
    c.meta_info.update(height=H, width=W, n_bands=1, timestamps=STAMPS, t_norms=normalize_time(STAMPS))
    c.prepare_training_data_optimized()
    torch.manual_seed(0)
    c.build_qelm_model(*NET)
    return c, c.fit(epochs=epochs, batch_size=16)


@pytest.fixture(scope="module")
def good_container(tmp_path_factory):
    path = tmp_path_factory.mktemp("good") / "good.qelm"
    trained(lambda: tc.QELMCompressor._with_reference_backend(device="cpu", train_dtype="float32"))[0].save_qelm(
        str(path))
    return path


def rewrite(src, dst, meta=None, manifest=None, chunk=None, drop=(), chunk_compress=None):
    """Copy a container member by member; ``meta``/``manifest`` edit the parsed JSON in place (or
    return bytes to store instead), ``chunk`` maps the chunk blob to new bytes (the manifest's
    size follows)."""
    with zipfile.ZipFile(src) as zin:
        items = [(i, zin.read(i)) for i in zin.infolist() if i.filename not in drop]
        blob = (chunk or bytes)(zin.read(CHUNK))
    with zipfile.ZipFile(dst, "w") as zout:
        for info, data in items:
            if info.filename == CHUNK:
                data = blob
                info.compress_type = chunk_compress or info.compress_type
            elif info.filename in ("manifest.json", "meta.json"):
                d = json.loads(data)
                if info.filename == "manifest.json":
                    d["chunks"][0]["size_bytes"] = len(blob)
                edit = manifest if info.filename == "manifest.json" else meta
                d = (edit and edit(d)) or d
                data = d if isinstance(d, bytes) else json.dumps(d).encode()
            zout.writestr(info, data)
    return dst


def chunk_edit(meta=lambda d: None, mask=None):
    """A chunk blob edit that rewrites the chunk's metadata (in place) or its mask and keeps a
    valid checksum."""
    def apply(blob):
        cc = read_chunk_bytes(blob)
        d = cc.chunk_meta.to_dict()
        meta(d)
        return write_chunk_bytes(ChunkMeta.from_dict(d), cc.weights_bytes, mask or cc.mask_bytes, cc.residual_bytes)
    return apply


# ---- containers ---------------------------------------------------------------------------------

CONTAINER_CASES = {
    "meta missing": (dict(drop=("meta.json",)), "lacks 'meta.json'"),
    "manifest missing": (dict(drop=("manifest.json",)), "lacks 'manifest.json'"),
    "chunk missing": (dict(drop=(CHUNK,)), f"names '{CHUNK}', which the container lacks"),
    "meta not JSON": (dict(meta=lambda d: b"{"), "meta.json is not valid JSON"),
    "manifest not a mapping": (dict(manifest=lambda d: b"[1, 2]"), "manifest must be a mapping"),
    "format version unknown": (dict(meta=lambda d: d.update(format_version="1.0")),
                               "unsupported container format version '1.0'"),
    "meta shape is text": (dict(meta=lambda d: d.update(shape="big")), "shape must be a list"),
    "meta shape too short": (dict(meta=lambda d: d.update(shape=[2, 4])), "shape needs at least"),
    "manifest chunks not a list": (dict(manifest=lambda d: d.update(chunks={"a": 1})), "chunks must be a list"),
    "chunk size misstated": (dict(manifest=lambda d: d["chunks"][0].update(size_bytes=3)), "the manifest says 3"),
    "chunk file absent": (dict(manifest=lambda d: d["chunks"][0].update(file="chunks/time9.y0.x0.qelmc")),
                          "names 'chunks/time9.y0.x0.qelmc', which the container lacks"),
    "chunk bounds not pairs": (dict(manifest=lambda d: d["chunks"][0]["bounds"].update(x=[0, 1, 5])),
                               "two numbers"),
    "chunk bounds beyond the cube": (dict(manifest=lambda d: d["chunks"][0]["bounds"].update(x=[0, 6])),
                                     r"spans x \[0, 6\) beyond the cube's 5"),
    "chunk covers part of the cube": (dict(meta=lambda d: d.update(shape=[100000, 100000, 100000, 1])),
                                      r"the only chunk spans time \[0, 2\), the cube \[0, 100000\)"),
    "block size zero": (dict(chunk=chunk_edit(lambda d: d["model_config"].update(block_size=[0, 1]))),
                        r"block_size\[0\] must be at least 1"),
    "hash table beyond any network": (dict(chunk=chunk_edit(lambda d: d["model_config"].update(xy_hash_size=40))),
                                      "xy_hash_size must be between 1 and 30"),
    "hash tables larger than the weights": (dict(chunk=chunk_edit(lambda d: d["model_config"].update(
        xy_hash_size=24, xy_n_levels=16, xy_base_resolution=64, xy_per_level_scale=2.0))),
        "asks for .* hash-grid weights but the weight blob holds only"),
    "band ranges for another cube": (dict(chunk=chunk_edit(lambda d: d.update(train_data_range=[[0, 1]] * 3))),
                                     "train_data_range holds 3 bands"),
    "mask of another grid": (dict(chunk=chunk_edit(mask=tc._encode_mask_blob(np.zeros((1, H + 1, W), bool), True))),
                             r"mask of shape \(1, 5, 5\) does not fit"),
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
    opened = []
    real_open = zipfile.ZipFile.open
    monkeypatch.setattr(zipfile.ZipFile, "open", lambda self, name, *a, **k:
                        opened.append(getattr(name, "filename", name)) or real_open(self, name, *a, **k))
    with pytest.raises(ValueError, match=r"more than the 16:1 its content allows \(zip bomb\?\)"):
        read_container(bomb)
    assert CHUNK not in opened
    # A deflated chunk that holds what it claims is still read.
    plain = rewrite(good_container, tmp_path / "deflated.qelm", chunk_compress=zipfile.ZIP_DEFLATED)
    assert decode_container(str(plain))[0].shape == (T, H, W, 1)


# ---- source data --------------------------------------------------------------------------------

def raster_folder(tmp_path):
    folder = tmp_path / "rasters"
    folder.mkdir()
    for i in range(3):
        write_tif(folder / f"p_2020010{i + 1}.tif", np.full((H, W), i + 1))
    return str(folder)


def v2_store(path, data, chunks=(1, 2, 5), fill_value=None, dims=("time", "y", "x"), attrs=None):
    g = zarr.open_group(str(path), mode="w")
    a = g.create_dataset("v", shape=data.shape, chunks=chunks, dtype=data.dtype, fill_value=fill_value)
    a[...] = data
    a.attrs.update({"_ARRAY_DIMENSIONS": list(dims), **(attrs or {})})
    t = g.create_dataset("time", data=np.arange(data.shape[0] if dims[0] == "time" else 1), dtype="i8")
    t.attrs.update({"_ARRAY_DIMENSIONS": ["time"], "units": "days since 2020-01-01"})
    return str(path)


def cube3(dtype="float32"):
    return (np.arange(3 * H * W).reshape(3, H, W) + 1).astype(dtype)


def assert_nothing_loaded(c):
    assert all(getattr(c, a, None) is None for a in ("volume", "cpu_values", "streaming_source"))
    assert "timestamps" not in c.meta_info


def damaged(path, chunk, edit):
    """The store at ``path`` with one chunk file rewritten by ``edit`` (None removes it)."""
    f = os.path.join(path, "v", chunk)
    data = edit(open(f, "rb").read())
    os.remove(f) if data is None else open(f, "wb").write(data)
    return path


STORE_CASES = {
    "no frames": (lambda p: v2_store(p, np.zeros((0, H, W), "float32")),
                  r"has shape \(0, 4, 5\) \(time, y, x\): there is no data"),
    "no rows": (lambda p: v2_store(p, np.zeros((3, 0, W), "float32")), r"has shape \(3, 0, 5\)"),
    "time last": (lambda p: v2_store(p, cube3(), dims=("y", "x", "time")),
                  r"has dimensions \('y', 'x', 'time'\); supported layouts"),
    "bands without columns": (lambda p: v2_store(p, cube3(), dims=("time", "y", "band")), "supported layouts"),
    "scale_factor attribute of NaN": (lambda p: v2_store(p, cube3(), attrs={"scale_factor": math.nan}),
                                      "variable 'v': scale_factor must be a finite non-zero number, got nan"),
    "blosc chunk of garbage": (lambda p: damaged(v2_store(p, cube3(), fill_value=0.0), "2.0.0",
                                                 lambda raw: b"garbage garbage"), "blosc frame of 15 bytes is shorter"),
    "blosc chunk truncated": (lambda p: damaged(v2_store(p, cube3(), fill_value=0.0), "2.0.0",
                                                lambda raw: raw[:len(raw) // 2]), "blosc frame declares"),
    # no fill value and no NaN to stand in for the unstored cells
    "unstored chunk of integers": (lambda p: damaged(v2_store(p, cube3("int16")), "1.1.0", lambda raw: None),
                                   r"chunk 'v/1.1.0' is not stored and the array has no fill value"),
}


@pytest.mark.parametrize("case", sorted(STORE_CASES))
def test_unusable_zarr_store_is_refused_by_name(ref_compressor, tmp_path, capsys, case):
    build, words = STORE_CASES[case]
    c = ref_compressor()
    with pytest.raises(ValueError, match=words):
        c.load_dataset_zarr(build(tmp_path / "s.zarr"), valid_range=(0, 100))
    assert_nothing_loaded(c)


@pytest.mark.parametrize("fill", [np.nan, -9999.0, None])  # None: unstored cells are no data, not stray memory
def test_unstored_zarr_chunk_is_no_data(ref_compressor, tmp_path, capsys, fill):
    c = ref_compressor()
    c.load_dataset_zarr(damaged(v2_store(tmp_path / "s.zarr", cube3(), fill_value=fill), "1.1.0", lambda raw: None),
                        valid_range=(0, 100))
    v = c.cpu_values.numpy().reshape(3, H, W)  # frame 1, rows 2-3 were in the removed chunk
    assert np.isnan(v[1, 2:]).all() and np.isfinite(v[1, :2]).all() and np.isfinite(v[[0, 2]]).all()
    np.testing.assert_allclose(v[0] * 100, cube3()[0], rtol=1e-6)


def test_unopenable_raster_is_named_and_loads_nothing(ref_compressor, tmp_path):
    folder = raster_folder(tmp_path)
    open(os.path.join(folder, "p_20200102.tif"), "wb").close()
    c = ref_compressor()
    with pytest.raises(ValueError, match=r"cannot read raster.*p_20200102\.tif"):
        c.load_dataset_folder(folder)
    assert_nothing_loaded(c)


# ---- degenerate cubes through load, prepare, fit, save and decode ------------------------------

DEGENERATE = {
    "all NaN": lambda vol, nodata: vol.fill(np.nan),
    "all no-data": lambda vol, nodata: nodata.fill(True),
    "constant": lambda vol, nodata: vol.fill(7.25),
    "all infinite": lambda vol, nodata: vol.fill(np.inf),
    "some infinite": lambda vol, nodata: vol.put([0, 33], [np.inf, -np.inf]),
}


@pytest.mark.parametrize("kind", list(DEGENERATE))
def test_degenerate_cube_round_trip(ref_compressor, tmp_path, capsys, kind):
    vol = np.random.default_rng(3).random((T, H, W, 1)).astype(np.float32) * 10
    nodata = np.zeros((T, H, W), bool)
    DEGENERATE[kind](vol, nodata)
    c, fitted = trained(ref_compressor, vol.copy(), nodata.copy(), epochs=1)
    assert fitted is (kind != "all no-data")  # nothing to train on is reported, not hidden
    assert all(torch.isfinite(p).all() for p in c.model.parameters())
    # per-frame masks: a cell that is unusable in one frame only is blanked in that frame
    c.save_qelm(str(tmp_path / "d.qelm"), save_residuals=True, residual_threshold=0.01, mask_mode="dynamic")
    cube, _ = decode_container(str(tmp_path / "d.qelm"))
    unusable = nodata[..., None] | ~np.isfinite(vol)  # no-data, NaN and infinite cells come back as no data
    assert cube.shape == (T, H, W, 1) and np.isnan(cube[unusable]).all() and np.isfinite(cube[~unusable]).all()
    if kind == "constant":
        assert (cube == np.float32(7.25)).all()  # a zero span restores the constant exactly
    rect = tmp_path / "d-rectified.qelm"
    if rect.exists():
        fixed, _ = decode_container(str(rect))
        assert np.abs(fixed[~unusable] - vol[~unusable]).max() <= 0.01 * (1 + 1e-3)
    assert sorted(p.name for p in tmp_path.iterdir()) in (["d.qelm"], ["d-rectified.qelm", "d.qelm"])


# ---- method arguments ---------------------------------------------------------------------------

ZARR_ARGS = [
    (dict(valid_range=(5, 5)), "vmin < vmax"), (dict(valid_range=(0, math.nan)), "vmin < vmax"),
    (dict(valid_range=()), "vmin < vmax"), (dict(valid_range=(-math.inf, 0)), "valid_range must be finite"),
    (dict(valid_range=(0, 1), scale_factor=0), "scale_factor must be a finite non-zero number"),
    (dict(valid_range=(0, 1), scale_factor=math.nan), "scale_factor must be a finite non-zero number"),
]
ARG_CASES = [
    ("folder", "load_dataset_folder", dict(scale_factor=0.0), "scale_factor must be finite and non-zero"),
    ("folder", "load_dataset_folder", dict(scale_factor=math.nan), "scale_factor must be finite and non-zero"),
    ("folder", "load_dataset_folder", dict(valid_range=()), "valid_range must be one"),
    ("folder", "load_dataset_folder", dict(valid_range=(0, math.nan)), "min must not exceed max"),
    ("folder", "load_dataset_folder", dict(expected_bands=0), "expected_bands must be at least 1"),
] + [("zarr", ("load_dataset_zarr", "load_dataset_zarr_streaming")[i % 2], kw, words)
     for i, (kw, words) in enumerate(ZARR_ARGS)] + [
    ("fit", "fit", dict(lr=-0.01), "lr must be a finite non-negative number, got -0.01"),
    ("fit", "fit", dict(lr=math.nan), "lr must be a finite non-negative number, got nan"),
    ("fit", "fit", dict(early_stop=True, early_stop_patience=-1), "early_stop_patience must be non-negative, got -1"),
    ("fit", "fit", dict(early_stop=True, early_stop_min_delta_rel=-0.5), "early_stop_min_delta_rel must be"),
    ("fit", "fit", dict(early_stop=True, early_stop_ema_alpha=0), r"early_stop_ema_alpha must be in \(0, 1\], got 0"),
    ("fit", "fit", dict(importance_sampling=True, imp_warmup_frac=2), r"imp_warmup_frac must be in \[0, 1\]"),
    ("fit", "fit", dict(importance_sampling=True, imp_alpha=-1), "imp_alpha must be a finite non-negative number"),
    ("fit", "fit", dict(importance_sampling=True, imp_refresh_epochs=-1), "imp_refresh_epochs must be a finite"),
    ("fit", "fit", dict(batch_size=2 ** 70), "batch_size is out of range: 1180591620717411303424"),
    ("model", "compute_quality_metrics", dict(n_frames=-1), "n_frames must be non-negative, got -1"),
    ("model", "compute_quality_metrics", dict(batch_size=0), "batch_size must be a positive number"),
    ("model", "compute_residuals", dict(batch_size=-1), "batch_size must be a positive number"),
    ("model", "compute_residuals", dict(threshold=math.nan), "residual threshold must be a non-negative number"),
] + [("save", save, dict(save_residuals=True, residual_threshold=[0.1, math.nan]),
      "residual_threshold must be non-negative") for save in ("save_qelm", "save_chunk_blob")]


@pytest.mark.parametrize("kind,method,kwargs,words", ARG_CASES,
                         ids=[f"{m}-{'-'.join(f'{k}={v}' for k, v in kw.items())}" for _, m, kw, _ in ARG_CASES])
def test_arguments_out_of_range_are_refused_before_work(ref_compressor, tmp_path, capsys, kind, method, kwargs,
                                                        words):
    if kind in ("folder", "zarr"):
        c = ref_compressor()
        args = (raster_folder(tmp_path) if kind == "folder" else v2_store(tmp_path / "s.zarr", cube3()),)
    else:
        c = trained(ref_compressor)[0]
        args = (str(tmp_path / "x.qelm"),) if kind == "save" else ()
        kwargs = {"epochs": 2, "batch_size": 16, **kwargs} if kind == "fit" else kwargs
    before = [p.detach().clone() for p in (c.model.parameters() if c.model is not None else [])]
    files = sorted(os.listdir(tmp_path))
    capsys.readouterr()
    with pytest.raises(ValueError, match=words):
        getattr(c, method)(*args, **kwargs)
    out = capsys.readouterr()
    assert out.err == "" and "Training Start" not in out.out and (kind != "save" or out.out == "")
    assert sorted(os.listdir(tmp_path)) == files
    assert all(torch.equal(a, b) for a, b in zip(before, c.model.parameters() if before else []))  # untouched
    if kind in ("folder", "zarr"):
        assert_nothing_loaded(c)
