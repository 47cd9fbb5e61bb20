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

from conftest import tiny_compressor, v2_store
from pyqelm import decode
from pyqelm.encoder import tcnn_compressor as tc
from pyqelm.format import ChunkMeta, read_chunk_bytes, read_container, write_chunk_bytes
from pyqelm.format import _records as R
from test_loaders import write_tif

T, H, W = 2, 4, 5
CHUNK = "chunks/time0.y0.x0.qelmc"


def trained(vol=None, nodata=None, epochs=0):
    vol = np.random.default_rng(0).random((T, H, W, 1)).astype(np.float32) if vol is None else vol
    c = tiny_compressor(vol, np.zeros(vol.shape[:3], bool) if nodata is None else nodata)
    return c, c.fit(epochs=epochs, batch_size=16)


@pytest.fixture(scope="module")
def good_container(tmp_path_factory):
    path = tmp_path_factory.mktemp("good") / "good.qelm"
    trained()[0].save_qelm(str(path))
    return path


def rewrite(src, dst, meta=None, manifest=None, chunk=bytes, chunk_meta=None, mask=None, drop=(),
            chunk_compress=None):
    """Copy a container; ``meta``/``manifest`` edit the parsed JSON in place (or return bytes to store),
    ``chunk`` maps the chunk blob to new bytes (the manifest's size follows), ``chunk_meta``/``mask``
    edit the chunk's metadata or mask behind a valid checksum."""
    with zipfile.ZipFile(src) as zin:
        items = [(i, zin.read(i)) for i in zin.infolist() if i.filename not in drop]
        blob = chunk(zin.read(CHUNK))
    if chunk_meta or mask:
        cc = read_chunk_bytes(blob)
        d = cc.chunk_meta.to_dict()
        chunk_meta and chunk_meta(d)
        blob = write_chunk_bytes(ChunkMeta.from_dict(d), cc.weights_bytes, mask or cc.mask_bytes, cc.residual_bytes)
    with zipfile.ZipFile(dst, "w") as zout:
        for info, data in items:
            if info.filename == CHUNK:
                data = blob
                info.compress_type = chunk_compress or info.compress_type
            elif info.filename in ("manifest.json", "meta.json"):
                d = json.loads(data)
                d.pop(R.CHECKSUM_KEY, None)
                if info.filename == "manifest.json":
                    d["chunks"][0]["size_bytes"] = len(blob)
                edit = manifest if info.filename == "manifest.json" else meta
                d = (edit and edit(d)) or d
                # sealed again, so that the reader's own checks are what refuses the edit
                data = d if isinstance(d, bytes) else R.seal(d, info.filename)
            zout.writestr(info, data)
    return dst


# ---- containers ---------------------------------------------------------------------------------

meta = lambda **kw: dict(meta=lambda d: d.update(kw))  # noqa: E731
x_bounds = lambda x: dict(manifest=lambda d: d["chunks"][0]["bounds"].update(x=x))  # noqa: E731
config = lambda **kw: dict(chunk_meta=lambda d: d["model_config"].update(kw))  # noqa: E731
CONTAINER_CASES = {
    "manifest missing": (dict(drop=("manifest.json",)), "lacks 'manifest.json'"),
    "chunk missing": (dict(drop=(CHUNK,)), f"names '{CHUNK}', which the container lacks"),
    "meta not JSON": (dict(meta=lambda d: b"{"), "meta.json is not valid JSON"),
    "manifest not a mapping": (dict(manifest=lambda d: b"[1, 2]"), "manifest.json must be a mapping"),
    "format version unknown": (meta(format_version="1.0"), "unsupported container format version '1.0'"),
    "meta shape is text": (meta(shape="big"), "shape must be a list"),
    "meta shape too short": (meta(shape=[2, 4]), "shape needs at least"),
    "manifest chunks not a list": (dict(manifest=lambda d: d.update(chunks={"a": 1})), "chunks must be a list"),
    "chunk size misstated": (dict(manifest=lambda d: d["chunks"][0].update(size_bytes=3)), "the manifest says 3"),
    "chunk bounds not pairs": (x_bounds([0, 1, 5]), "two numbers"),
    "chunk bounds beyond the cube": (x_bounds([0, 6]), r"spans x \[0, 6\) beyond the cube's 5"),
    "chunk covers part of the cube": (meta(shape=[100000, 100000, 100000, 1]),
                                      r"the only chunk spans time \[0, 2\), the cube \[0, 100000\)"),
    "block size zero": (config(block_size=[0, 1]), r"block_size\[0\] must be at least 1"),
    "hash table beyond any network": (config(xy_hash_size=40), "xy_hash_size must be between 1 and 30"),
    "hash tables larger than the weights": (config(xy_hash_size=24, xy_n_levels=16, xy_base_resolution=64),
                                            "the model configuration asks for .* the weight recipe stores"),
    "band ranges for another cube": (dict(chunk_meta=lambda d: d.update(train_data_range=[[0, 1]] * 3)),
                                     "train_data_range holds 3 bands"),
    "mask of another grid": (dict(mask=tc._encode_mask_blob(np.zeros((1, H + 1, W), bool), True)),
                             r"mask of shape \(1, 5, 5\) does not fit"),
}


@pytest.mark.parametrize("case", sorted(CONTAINER_CASES))
def test_damaged_container_is_refused_by_name_before_predicting(good_container, tmp_path, monkeypatch, case):
    edits, words = CONTAINER_CASES[case]
    bad = rewrite(good_container, tmp_path / "bad.qelm", **edits)
    monkeypatch.setattr(decode, "_predict", lambda *a, **k: pytest.fail("predicted from a damaged container"))
    with pytest.raises(ValueError, match=words):
        decode.decode_container(str(bad))


def test_chunk_member_inflating_far_beyond_its_content_is_refused_unread(good_container, tmp_path, monkeypatch):
    # 4 MiB of zeros deflate to about 4 KiB: within what deflate can do, far beyond what a chunk
    # of compressed sections can.
    bomb = rewrite(good_container, tmp_path / "bomb.qelm", chunk=lambda b: bytes(4 << 20),
                   chunk_compress=zipfile.ZIP_DEFLATED)
    real_open = zipfile.ZipFile.open
    monkeypatch.setattr(zipfile.ZipFile, "open", lambda self, name, *a, **k: pytest.fail("bomb inflated")
                        if getattr(name, "filename", name) == CHUNK else real_open(self, name, *a, **k))
    with pytest.raises(ValueError, match=r"more than the 16:1 its content allows \(zip bomb\?\)"):
        read_container(bomb)
    monkeypatch.undo()
    # A deflated chunk that holds what it claims is still read.
    plain = rewrite(good_container, tmp_path / "deflated.qelm", chunk_compress=zipfile.ZIP_DEFLATED)
    assert decode.decode_container(str(plain))[0].shape == (T, H, W, 1)


# ---- source data --------------------------------------------------------------------------------

def raster_folder(tmp_path, unreadable=()):
    folder = tmp_path / "rasters"
    folder.mkdir()
    for i in range(3):
        path = folder / f"p_2020010{i + 1}.tif"
        path.write_bytes(b"") if i in unreadable else write_tif(path, np.full((H, W), i + 1))
    return str(folder)


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


SOURCE_CASES = {
    "no frames": (lambda p: v2_store(p, np.zeros((0, H, W), "float32")),
                  r"has shape \(0, 4, 5\) \(time, y, x\): there is no data"),
    # time last is a layout like any other, but this store's time coordinate does not fit it
    "time last": (lambda p: v2_store(p, cube3(), dims=("y", "x", "time")),
                  r"coordinate 'time' has 1 values for a dimension of 5"),
    "scale_factor attribute of NaN": (lambda p: v2_store(p, cube3(), attrs={"scale_factor": math.nan}),
                                      "variable 'v': scale_factor must be a finite non-zero number, got nan"),
    "blosc chunk of garbage": (lambda p: damaged(v2_store(p, cube3(), fill_value=0.0), "2.0.0",
                                                 lambda raw: b"garbage garbage"), "blosc frame of 15 bytes is shorter"),
    "blosc chunk truncated": (lambda p: damaged(v2_store(p, cube3(), fill_value=0.0), "2.0.0",
                                                lambda raw: raw[:len(raw) // 2]), "blosc frame declares"),
    # no fill value and no NaN to stand in for the unstored cells
    "unstored chunk of integers": (lambda p: damaged(v2_store(p, cube3("int16")), "1.1.0", lambda raw: None),
                                   r"chunk 'v/1.1.0' is not stored and the array has no fill value"),
    "unopenable raster": (lambda p: raster_folder(p.parent, unreadable=(1,)), r"cannot read raster.*p_20200102\.tif"),
}


@pytest.mark.parametrize("case", sorted(SOURCE_CASES))
def test_unusable_source_is_refused_by_name_and_loads_nothing(ref_compressor, tmp_path, capsys, case):
    build, words = SOURCE_CASES[case]
    c = ref_compressor()
    path = build(tmp_path / "s.zarr")
    with pytest.raises(ValueError, match=words):
        (c.load_dataset_zarr if path.endswith(".zarr") else c.load_dataset_folder)(path, valid_range=(0, 100))
    assert_nothing_loaded(c)


@pytest.mark.parametrize("fill", [np.nan, -9999.0, None])  # None: unstored cells are no data, not stray memory
def test_unstored_zarr_chunk_is_no_data(ref_compressor, tmp_path, capsys, fill):
    c = ref_compressor()
    c.load_dataset_zarr(damaged(v2_store(tmp_path / "s.zarr", cube3(), fill_value=fill), "1.1.0", lambda raw: None),
                        valid_range=(0, 100))
    v = c.cpu_values.numpy().reshape(3, H, W)  # frame 1, rows 2-3 were in the removed chunk
    assert np.isnan(v[1, 2:]).all() and np.isfinite(v[1, :2]).all() and np.isfinite(v[[0, 2]]).all()
    np.testing.assert_allclose(v[0] * 100, cube3()[0], rtol=1e-6)


# ---- degenerate cubes through load, prepare, fit, save and decode ------------------------------

DEGENERATE = {
    "all NaN": lambda vol, nodata: vol.fill(np.nan),
    "all no-data": lambda vol, nodata: nodata.fill(True),
    "constant": lambda vol, nodata: vol.fill(7.25),
    "all infinite": lambda vol, nodata: vol.fill(np.inf),
    "some infinite": lambda vol, nodata: vol.put([0, 33], [np.inf, -np.inf]),
}


@pytest.mark.parametrize("kind", list(DEGENERATE))
def test_degenerate_cube_round_trip(tmp_path, capsys, kind):
    vol = np.random.default_rng(3).random((T, H, W, 1)).astype(np.float32) * 10
    nodata = np.zeros((T, H, W), bool)
    DEGENERATE[kind](vol, nodata)
    c, fitted = trained(vol.copy(), nodata.copy(), epochs=1)
    assert fitted is (kind != "all no-data")  # nothing to train on is reported, not hidden
    assert all(torch.isfinite(p).all() for p in c.model.parameters())
    # per-frame masks: a cell that is unusable in one frame only is blanked in that frame
    c.save_qelm(str(tmp_path / "d.qelm"), save_residuals=True, residual_threshold=0.01, mask_mode="dynamic")
    cube, _ = decode.decode_container(str(tmp_path / "d.qelm"))
    unusable = nodata[..., None] | ~np.isfinite(vol)  # no-data, NaN and infinite cells come back as no data
    assert cube.shape == (T, H, W, 1) and np.isnan(cube[unusable]).all() and np.isfinite(cube[~unusable]).all()
    if kind == "constant":
        assert (cube == np.float32(7.25)).all()  # a zero span restores the constant exactly
    rect = tmp_path / "d-rectified.qelm"
    if rect.exists():
        fixed, _ = decode.decode_container(str(rect))
        assert np.abs(fixed[~unusable] - vol[~unusable]).max() <= 0.01 * (1 + 1e-3)
    assert sorted(p.name for p in tmp_path.iterdir()) in (["d.qelm"], ["d-rectified.qelm", "d.qelm"])


# ---- method arguments ---------------------------------------------------------------------------

FOLDER, ZARR, STREAM = "load_dataset_folder", "load_dataset_zarr", "load_dataset_zarr_streaming"
ARG_CASES = [
    *[(FOLDER, dict(scale_factor=s), "scale_factor must be finite and non-zero") for s in (0.0, math.nan)],
    (FOLDER, dict(valid_range=()), "valid_range must be one"),
    (FOLDER, dict(valid_range=(0, math.nan)), "min must not exceed max"),
    (FOLDER, dict(expected_bands=0), "expected_bands must be at least 1"),
    *[(m, dict(valid_range=v), "vmin < vmax") for m, v in ((ZARR, (5, 5)), (STREAM, (0, math.nan)), (ZARR, ()))],
    (STREAM, dict(valid_range=(-math.inf, 0)), "valid_range must be finite"),
    *[(m, dict(valid_range=(0, 1), scale_factor=s), "scale_factor must be a finite non-zero number")
      for m, s in ((ZARR, 0), (STREAM, math.nan))],
    *[("fit", dict(lr=v), f"lr must be a finite non-negative number, got {v}") for v in (-0.01, math.nan)],
    ("fit", dict(early_stop=True, early_stop_patience=-1), "early_stop_patience must be non-negative, got -1"),
    ("fit", dict(early_stop=True, early_stop_min_delta_rel=-0.5), "early_stop_min_delta_rel must be"),
    ("fit", dict(early_stop=True, early_stop_ema_alpha=0), r"early_stop_ema_alpha must be in \(0, 1\], got 0"),
    ("fit", dict(importance_sampling=True, imp_warmup_frac=2), r"imp_warmup_frac must be in \[0, 1\]"),
    ("fit", dict(importance_sampling=True, imp_alpha=-1), "imp_alpha must be a finite non-negative number"),
    ("fit", dict(importance_sampling=True, imp_refresh_epochs=-1), "imp_refresh_epochs must be a finite"),
    ("fit", dict(batch_size=2 ** 70), "batch_size is out of range: 1180591620717411303424"),
    ("compute_quality_metrics", dict(n_frames=-1), "n_frames must be non-negative, got -1"),
    ("compute_quality_metrics", dict(batch_size=0), "batch_size must be a positive number"),
    ("compute_residuals", dict(batch_size=-1), "batch_size must be a positive number"),
    ("compute_residuals", dict(threshold=math.nan), "residual threshold must be a non-negative number"),
    *[(save, dict(save_residuals=True, residual_threshold=[0.1, math.nan]), "residual_threshold must be non-negative")
      for save in ("save_qelm", "save_chunk_blob")],
]


@pytest.mark.parametrize("method,kwargs,words", ARG_CASES,
                         ids=[f"{m}-{'-'.join(f'{k}={v}' for k, v in kw.items())}" for m, kw, _ in ARG_CASES])
def test_arguments_out_of_range_are_refused_before_work(ref_compressor, tmp_path, capsys, method, kwargs, words):
    loading, saving = method.startswith("load"), method.startswith("save")
    if loading:
        c = ref_compressor()
        args = (raster_folder(tmp_path) if method == FOLDER else v2_store(tmp_path / "s.zarr", cube3()),)
    else:
        c = trained()[0]
        args = (str(tmp_path / "x.qelm"),) if saving else ()
        kwargs = {"epochs": 2, "batch_size": 16, **kwargs} if method == "fit" else kwargs
    before = [p.detach().clone() for p in (c.model.parameters() if c.model is not None else [])]
    files = sorted(os.listdir(tmp_path))
    capsys.readouterr()
    with pytest.raises(ValueError, match=words):
        getattr(c, method)(*args, **kwargs)
    out = capsys.readouterr()
    assert out.err == "" and "Training Start" not in out.out and (not saving or out.out == "")
    assert sorted(os.listdir(tmp_path)) == files
    assert all(torch.equal(a, b) for a, b in zip(before, c.model.parameters() if before else []))  # untouched
    if loading:
        assert_nothing_loaded(c)
