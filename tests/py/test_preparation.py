"""Training-data preparation: the three routes, the coordinate cache and block regrouping."""
import gc
import os
import subprocess
import sys
import types

import numpy as np
import pytest
import torch
import zarr

from conftest import IMPORT_ROOT


T, H, W = 3, 4, 5


def raw_cube(C=2, dtype=np.float32):
    vol = (np.random.default_rng(0).random((T, H, W, C)) * 40).astype(dtype)
    nodata = np.zeros((T, H, W), bool)
    nodata[0, 0, :2] = nodata[2, 3, 4] = True
    vol[0, 0, 0] = np.nan  # no-data rows may hold anything
    return vol, nodata


def attached(ref_compressor, vol, nodata, train_dtype="float32", **meta):
    c = ref_compressor(train_dtype)
    c.volume, c.nodata_mask_vol = vol, nodata
    c.meta_info.update(height=vol.shape[1], width=vol.shape[2], n_bands=vol.shape[3],
                       timestamps=["2020-01-01", "2020-01-02", "2020-01-04"][:len(vol)], t_norms=[0, 1 / 3, 1][:len(vol)], **meta)
    return c


def numpy_reference(vol, nodata, force_zero=False, use_log=False):
    """The raw-cube steps written with NumPy on a copy."""
    nd = nodata.reshape(-1)
    v = np.where(nd[:, None], vol.dtype.type(0), vol.reshape(-1, vol.shape[-1]))
    v = np.log1p(v) if use_log else v
    mask = np.ones(len(v), bool) if force_zero else ~nd
    seen = np.where(mask[:, None] & np.isfinite(v), v, np.nan).astype(np.float64)  # the range skips non-finite values
    lo, hi = np.nanmin(seen, 0), np.nanmax(seen, 0)
    v = (v - lo.astype(v.dtype)) / (hi - lo + 1e-6).astype(v.dtype)
    return np.where(mask[:, None], v, v.dtype.type(0)), mask, np.stack([lo, hi], 1).tolist()


OPTION_LINE = {False: " -> [Option] Disabled: NoData pixels are MASKED OUT (ignored during training).",
               True: " -> [Option] Enabled: NoData pixels are treated as 0.0 and INCLUDED in training."}


@pytest.mark.parametrize("force_zero,use_log", [(False, False), (True, True)])
def test_raw_cube_matches_numpy_in_place(ref_compressor, capsys, force_zero, use_log):
    vol, nodata = raw_cube(C=3)
    vol[1, 2, 2, 1] = np.inf  # valid pixel, non-finite value: kept, left out of the range
    expected, mask, ranges = numpy_reference(vol, nodata, force_zero, use_log)
    c = attached(ref_compressor, vol, nodata)
    c.prepare_training_data_optimized(use_log=use_log, force_zero_training=force_zero)
    got = c.cpu_values.numpy()
    tol = 1e-7 if use_log else 0  # log1p may differ from NumPy's in the last bit; without it the result is exact
    np.testing.assert_allclose(got, expected, rtol=2 * tol, atol=tol)
    assert got.dtype == np.float32 and np.shares_memory(got, vol), "the loader's cube must be reused, not copied"
    assert c.cpu_mask.dtype == torch.bool and c.cpu_mask.numpy().tolist() == mask.tolist()
    assert c.channel_ranges == ranges and c.meta_info["data_range"] is c.channel_ranges
    assert c.meta_info["use_log"] is use_log and "pixel_norm_params" in c.meta_info and c.volume is c.nodata_mask_vol is None
    out = capsys.readouterr().out.splitlines()
    assert out[2:8] == [
        f"[Optimized] Step 1: Converting to Tensor (Force Zero Training: {force_zero})...",
        OPTION_LINE[force_zero], " -> Numpy volume released.", "[Optimized] Step 2: Normalization (Channel-wise & Chunked)...",
        " -> Computing Min/Max per channel (C=3, ChunkSize=33554432)...",
        f"    Band 0: Range [{ranges[0][0]:.4f}, {ranges[0][1]:.4f}]",
    ]
    assert out[-2:] == [" -> Spatial Cache Created: Shape torch.Size([20, 2])", "Ready for Training."]


def test_float16_fortran_cube_and_integer_mask(ref_compressor):
    vol, nodata = raw_cube(dtype=np.float16)
    ref, _, _ = numpy_reference(vol.astype(np.float64), nodata)
    c = attached(ref_compressor, np.asfortranarray(vol), nodata.astype(np.uint8), "float16")
    c.prepare_training_data_optimized()
    assert c.cpu_values.dtype == torch.float16
    # one rounding of the result, plus the input's own float16 rounding through the span
    np.testing.assert_allclose(c.cpu_values.numpy().astype(np.float64), ref, atol=2 * 2.0 ** -11)


@pytest.mark.parametrize("kwargs,exc,words", [
    *[(dict(norm_mode=m), ValueError, "norm_mode must be 0") for m in (4, -1, 2.5, "3", None, True)],
    (dict(block_size=(0, 2)), ValueError, r"block_size must hold two positive integers, got \[0, 2\]"),
    (dict(block_size=(2, -1)), ValueError, "block_size must hold two positive integers"),
    (dict(nodata=np.zeros(7, bool)), ValueError, "nodata_mask_vol has 7 entries"),
    (dict(norm_mode=2), AttributeError, "trans_matrix"),  # planar coordinates need the grid's affine
])
def test_bad_arguments_are_refused(ref_compressor, kwargs, exc, words):
    vol, nodata = raw_cube()
    c = attached(ref_compressor, vol, kwargs.get("nodata", nodata))
    with pytest.raises(exc, match=words):
        c.prepare_training_data_optimized(**{k: v for k, v in kwargs.items() if k != "nodata"})
    assert exc is not ValueError or c.volume is not None, "refused before the cube is touched"


@pytest.mark.parametrize("mode,key", [(0, "local_xyz_params"), (1, "local_xyz_params"), (2, "local_planar_params")])
def test_coordinate_cache_matches_closed_form(ref_compressor, mode, key):
    affine = [0.25, 0.0, -20.0, 0.0, -0.25, 60.0]  # north-up quarter-degree grid
    c = attached(ref_compressor, *raw_cube(), trans_matrix=affine)
    c.trans_matrix = affine
    c.prepare_training_data_optimized(norm_mode=mode)
    j, i = np.meshgrid(np.arange(W), np.arange(H))
    x, y = (-20.0 + (j + 0.5) * 0.25).reshape(-1), (60.0 - (i + 0.5) * 0.25).reshape(-1)  # pixel centres
    lon, lat = np.radians(x), np.radians(y)
    xyz = np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], -1)
    span = lambda p: (p - p.min(0)) / (np.ptp(p, 0) + 1e-6)  # noqa: E731
    want = [(xyz + 1) * 0.5, span(xyz), span(np.stack([x, y], -1))][mode]
    # mode 1 divides float32 coordinates by local spans of a few hundredths
    np.testing.assert_allclose(c.xyz_cache.numpy(), want, atol=3e-5 if mode == 1 else 3e-6)
    assert c.xyz_cache.dtype == c.time_lut.dtype == torch.float32 and c.time_lut.tolist() == pytest.approx([0, 1 / 3, 1])
    assert key in c.meta_info and (mode != 0 or c.meta_info[key] is None)


def test_single_pixel_and_global_grids(tc):
    xyz, params = tc._coordinate_cache(1, 1, 1, [1, 0, 10, 0, -1, 20])
    assert xyz.tolist() == [[0.0, 0.0, 0.0]]
    assert all(params["local_xyz_params"][k] == pytest.approx(1e-6) for k in ("x_span", "y_span", "z_span"))
    xyz, _ = tc._coordinate_cache(0, 720, 1440, [0.25, 0, -180, 0, -0.25, 90])
    assert float(xyz.min()) >= 0 and float(xyz.max()) <= 1  # the poles stay in the unit cube
    assert float(xyz[:1440, 2].min()) > 0.9999 and float(xyz[-1440:, 2].max()) < 1e-4  # first and last rows


def test_zarr_in_memory_and_streaming_routes(ref_compressor, tmp_path, capsys):
    path = str(tmp_path / "s.zarr")
    g = zarr.open_group(path, mode="w")  # scaled values 0.5 * element index
    g.create_dataset("tas", data=np.arange(48, dtype=np.float32).reshape(2, 3, 4, 2), fill_value=None).attrs.update(
        _ARRAY_DIMENSIONS=["time", "y", "x", "band"], scale_factor=0.5)
    g.create_dataset("time", data=np.arange(2)).attrs.update(_ARRAY_DIMENSIONS=["time"], units="days since 2020-01-01")
    c = ref_compressor("float16", global_start_date="2019-12-31")
    with pytest.raises(ValueError, match="requires input_valid_range"):
        c.load_dataset_zarr(path)
    assert "(variable=None)" in capsys.readouterr().out and c.cpu_values is None
    c.load_dataset_zarr(path, variable="tas", valid_range=[0, 100])
    assert c.cpu_values.dtype == torch.float16 and bool(c.cpu_mask.all()) and c.meta_info["scale_factor"] == 0.5
    np.testing.assert_allclose(c.cpu_values.numpy(), np.arange(48).reshape(24, 2) * 0.005, rtol=1e-3)
    assert c.meta_info["data_range"] is c.channel_ranges == [[0.0, 100.0]] * 2 and c.meta_info["use_log"] is False
    out = capsys.readouterr().out
    assert ">>> Using Zarr In-Memory Loader (variable='tas') <<<" in out
    assert "  Loading full volume into RAM: (2, 3, 4, 2) float16 ~0.0 GB, normalised to [0, 1] by valid_range" in out
    before = c.cpu_values.clone()
    c.prepare_training_data_optimized()
    out = capsys.readouterr().out
    # the values are normalised already: a second normalisation would corrupt them
    assert "[Optimized] Step 1+2 skipped (pre-normalised zarr volume)." in out and torch.equal(before, c.cpu_values)
    assert "    Band 1: Range [0.0000, 100.0000] (from input_valid_range)" in out
    assert c.meta_info["original_shape"] == [2, 3, 4, 2] and c.xyz_cache.shape == (12, 2)
    assert c.time_lut.tolist() == [0.5, 1.0]  # the compressor's start date reached the source
    with pytest.raises(NotImplementedError, match="zarr in-memory mode"):
        c.prepare_training_data_optimized(use_log=True)

    c = ref_compressor()
    c.load_dataset_zarr_streaming(path, variable="tas", valid_range=[0, 100])
    assert "  Streaming source: 2 timesteps, 3 x 4 grid, 2 channel(s)" in capsys.readouterr().out
    for kw, words in ((dict(block_size=(2, 2)), "block prediction"), (dict(use_log=True), "streaming mode")):
        with pytest.raises(NotImplementedError, match=words):
            c.prepare_training_data_optimized(**kw)
    c.prepare_training_data_optimized()
    assert c.cpu_values is None and c.channel_ranges == [[0.0, 100.0]] * 2 and c.xyz_cache.shape == (12, 2)
    c.streaming_source.valid_range = None
    with pytest.raises(ValueError, match="Streaming mode requires input_valid_range"):
        c.prepare_training_data_optimized()


def test_folder_loading_modes_keywords_and_errors(ref_compressor, capsys):
    loaders = ["load_folder", "load_folder_HiGLASS", "load_folder_HiGLASS_LAI_FPAR"]
    calls = {}  # the keywords each loader method got; each serves raw_cube()

    def fake(name):
        return lambda **kw: calls.update({name: kw}) or (*raw_cube(), dict(x=name, trans_matrix=[1, 0, 0, 0, -1, 0]))
    c = ref_compressor(global_end_date="2021-01-01")
    c.loader = types.SimpleNamespace(**{n: fake(n) for n in loaders})
    with pytest.raises(ValueError, match="requires 'tile_name'"):
        c.load_dataset_folder("d", mode="higlass_lai_fpar")
    assert calls == {} and not hasattr(c, "volume")
    vol, mask = c.load_dataset_folder("d", mode="HIGLASS", expected_bands=2)  # modes are case-sensitive
    assert list(calls) == ["load_folder"] and vol is c.volume and mask is c.nodata_mask_vol
    assert c.trans_matrix == [1, 0, 0, 0, -1, 0] and c.meta_info["scale_factor"] == 0.1  # the loader's grid is kept
    c.load_dataset_folder("d", mode="higlass", scale_factor=0.01)
    c.load_dataset_folder("d", mode="higlass_lai_fpar", tile_name="", year_range=(2001, 2002))
    assert list(calls) == loaders and c.meta_info["x"] == loaders[2] and c.meta_info["scale_factor"] == 0.1
    std, single, pair = calls.values()
    assert std["expected_bands"] == 2 and std["global_end_date"] == "2021-01-01" and "expected_bands" not in single
    assert pair["year_range"] == (2001, 2002) and pair["tile_name"] == ""
    out = capsys.readouterr().out
    assert ">>> Using HiGLASS Loader Mode <<<" in out and ">>> Using HiGLASS Pair Loader (LAI + FPAR) for Tile  <<<" in out


def blocked(ref_compressor, Tt, Hh, Ww, C=1, block=(2, 2), nodata=None):
    vol = np.arange(Tt * Hh * Ww * C, dtype=np.float32).reshape(Tt, Hh, Ww, C) % 97
    original = vol.copy()  # preparation works in place
    c = attached(ref_compressor, vol, np.zeros((Tt, Hh, Ww), bool) if nodata is None else nodata)
    c.prepare_training_data_optimized(block_size=list(block))
    return c, original


def test_721_by_1440_in_2x2_blocks(ref_compressor, capsys):
    c, vol = blocked(ref_compressor, 1, 721, 1440)
    out = capsys.readouterr().out
    assert "[block reshape] block=[2, 2]: (1, 721, 1440, 1) -> (1, 361, 720, 4)  (pad: +1 rows, +0 cols)" in out
    assert "[block reshape] cpu_values (259920, 4), cpu_mask (259920,), valid blocks 259920/259920" in out
    assert [c.meta_info[k] for k in ("height", "width", "original_shape", "padded_shape", "block_size")] == [
        361, 720, [1, 721, 1440, 1], [1, 722, 1440, 1], [2, 2]]
    v = c.cpu_values.numpy().reshape(361, 720, 2, 2)
    np.testing.assert_allclose(v[12, 34], vol[0, 24:26, 68:70, 0] / (96 + 1e-6), rtol=1e-6)
    assert (v[-1, :, 1, :] == 0).all() and c.xyz_cache.shape == (259920, 2)  # the pad row of the last block row


def test_odd_width_partial_blocks_and_validity(ref_compressor, capsys):
    fill = np.ones((2, 3, 5), bool)
    fill[0, 0, 0] = False      # one valid pixel makes its block valid
    fill[1, 2, 4] = False      # the last column is padded: block (2, 2) of frame 1
    c, _ = blocked(ref_compressor, 2, 3, 5, block=(1, 2), nodata=fill.copy())  # negated in place into the mask
    assert "(pad: +0 rows, +1 cols)" in capsys.readouterr().out
    assert np.argwhere(c.cpu_mask.numpy().reshape(2, 3, 3)).tolist() == [[0, 0, 0], [1, 2, 2]]
    blocks = c.cpu_values.numpy().reshape(2, 3, 3, 2)
    assert blocks[1, 2, 2, 0] > 0 and blocks[1, 2, 2, 1] == 0  # valid pixel, then the pad column
    assert blocks[0, 0, 0, 1] == 0  # an invalid pixel of a valid block holds 0
    assert c._block_pixel_mask.numpy().tolist() == (~fill).reshape(-1).tolist()


def test_memmap_path_cleanup_and_no_space(ref_compressor, tc, monkeypatch, tmp_path, capsys):
    monkeypatch.setattr(tc, "_available_memory_bytes", lambda: 1024)
    monkeypatch.setenv("PYQELM_TMPDIR", str(tmp_path / "missing"))
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    c, vol = blocked(ref_compressor, 3, 6, 8, C=2)
    out = capsys.readouterr().out
    path = c._block_mmap_path
    assert "=> memmap output buffer" in out and "missing" not in out
    assert f"[block reshape]   candidate {tmp_path} free = " in out and "[block reshape] memmap path: " + path in out
    assert path.startswith(os.path.join(tmp_path, f"qelm_blk_{os.getpid()}_")) and os.path.getsize(path) == vol.nbytes
    blocks = c.cpu_values.numpy().reshape(3, 3, 4, 2, 2, 2)
    np.testing.assert_allclose(blocks[1, 2, 3, 1, 0], vol[1, 5, 6] / (96 + 1e-6), rtol=1e-6)
    del c, blocks
    gc.collect()
    assert not os.path.exists(path), "a discarded compressor must not leave its block file behind"
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path / "missing-too"))
    with pytest.raises(RuntimeError, match=r"No tmp dir found with 0\.0 GB free\. Set PYQELM_TMPDIR"):
        blocked(ref_compressor, 3, 6, 8, C=2)


def test_memmap_removed_at_exit(tmp_path):
    # the compressor stays alive until the interpreter exits: the exit hook must remove the file
    script = f"""
import os, sys; sys.path.insert(0, {IMPORT_ROOT!r}); os.environ["PYQELM_TMPDIR"] = {str(tmp_path)!r}
import numpy as np; from pyqelm.encoder import tcnn_compressor as tc; tc._available_memory_bytes = lambda: 0
c = tc.QELMCompressor._with_reference_backend(train_dtype="float32")
c.volume, c.nodata_mask_vol = np.ones((1, 4, 4, 1), np.float32), np.zeros(16, bool)
c.meta_info.update(height=4, width=4, n_bands=1, timestamps=["2020-01-01"], t_norms=[0.0])
c.prepare_training_data_optimized(block_size=(2, 2)); print(c._block_mmap_path)
"""
    res = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=os.getcwd())
    assert res.returncode == 0, res.stderr
    path = res.stdout.splitlines()[-1]
    assert os.path.dirname(path) == str(tmp_path) and not os.path.exists(path)
