"""Training-data preparation: the three routes, the coordinate cache and block regrouping."""
import math
import os
import subprocess
import sys
import types

import numpy as np
import pytest
import torch

T, H, W = 3, 4, 5
STAMPS = ["2020-01-01", "2020-01-02", "2020-01-04"]


def raw_cube(C=2, dtype=np.float32, seed=0):
    rng = np.random.default_rng(seed)
    vol = (rng.random((T, H, W, C)) * 40 - 10).astype(dtype)
    nodata = np.zeros((T, H, W), bool)
    nodata[0, 0, :2] = True
    nodata[2, 3, 4] = True
    vol[0, 0, 0] = np.nan  # no-data rows may hold anything
    return vol, nodata


def attach_raw(c, vol, nodata, **meta):
    c.volume, c.nodata_mask_vol = vol, nodata
    c.meta_info.update(height=vol.shape[1], width=vol.shape[2], n_bands=vol.shape[3],
                       timestamps=STAMPS[: vol.shape[0]], t_norms=[0.0, 1 / 3, 1.0][: vol.shape[0]], **meta)


def numpy_reference(vol, nodata, force_zero=False, use_log=False):
    """The raw-cube steps written with NumPy on a copy."""
    v = vol.reshape(-1, vol.shape[-1]).copy()
    nd = nodata.reshape(-1)
    v[nd] = 0
    mask = np.ones(len(v), bool) if force_zero else ~nd
    if use_log:
        v = np.log1p(v)
    ranges = []
    for c in range(v.shape[1]):
        sel = v[mask, c]
        sel = sel[np.isfinite(sel)]
        lo, hi = (float(sel.min()), float(sel.max())) if sel.size else (0.0, 1.0)
        ranges.append([lo, hi])
        v[:, c] = (v[:, c] - v.dtype.type(lo)) / v.dtype.type(hi - lo + 1e-6)
    if not force_zero:
        v[~mask] = 0
    return v, mask, ranges


class TestRawCubeRoute:
    def test_matches_numpy_bit_for_bit_and_shares_memory(self, ref_compressor, capsys):
        c = ref_compressor()
        vol, nodata = raw_cube()
        expected, mask, ranges = numpy_reference(vol, nodata)
        attach_raw(c, vol, nodata)
        c.prepare_training_data_optimized()
        got = c.cpu_values.numpy()
        assert got.dtype == np.float32 and got.shape == (T * H * W, 2)
        np.testing.assert_array_equal(got, expected)
        assert np.shares_memory(got, vol), "the loader's cube must be reused, not copied"
        assert c.cpu_mask.dtype == torch.bool and c.cpu_mask.numpy().tolist() == mask.tolist()
        assert c.channel_ranges == ranges and c.meta_info["data_range"] is c.channel_ranges
        assert c.volume is None and c.nodata_mask_vol is None
        out = capsys.readouterr().out.splitlines()
        assert out[2:8] == [
            "[Optimized] Step 1: Converting to Tensor (Force Zero Training: False)...",
            " -> [Option] Disabled: NoData pixels are MASKED OUT (ignored during training).",
            " -> Numpy volume released.",
            "[Optimized] Step 2: Normalization (Channel-wise & Chunked)...",
            " -> Computing Min/Max per channel (C=2, ChunkSize=33554432)...",
            f"    Band 0: Range [{ranges[0][0]:.4f}, {ranges[0][1]:.4f}]",
        ]
        assert out[-2:] == [" -> Spatial Cache Created: Shape torch.Size([20, 2])", "Ready for Training."]

    def test_float16_within_rounding(self, ref_compressor):
        c = ref_compressor("float16")
        vol, nodata = raw_cube(dtype=np.float16)
        ref, _, _ = numpy_reference(vol.astype(np.float64), nodata)
        attach_raw(c, vol, nodata)
        c.prepare_training_data_optimized()
        got = c.cpu_values.numpy()
        assert got.dtype == np.float16
        # one rounding of the result, plus the input's own float16 rounding through the span
        np.testing.assert_allclose(got.astype(np.float64), ref, atol=2 * 2.0 ** -11)

    def test_force_zero_log_and_nonfinite_values(self, ref_compressor):
        c = ref_compressor()
        vol, nodata = raw_cube(C=3)
        vol = np.abs(vol)
        vol[1, 2, 2, 1] = np.inf        # valid pixel, non-finite value: kept, left out of the range
        expected, mask, ranges = numpy_reference(vol, nodata, force_zero=True, use_log=True)
        attach_raw(c, vol, nodata)
        c.prepare_training_data_optimized(use_log=True, force_zero_training=True)
        got = c.cpu_values.numpy()
        assert c.meta_info["use_log"] is True and bool(c.cpu_mask.all())
        np.testing.assert_allclose(got, expected, rtol=2e-7, atol=1e-7, equal_nan=True)
        nd_row = np.flatnonzero(nodata.reshape(-1))[0]
        # no-data rows take part as 0: normalised to -min/span, not to 0
        assert got[nd_row, 0] == pytest.approx(-ranges[0][0] / (ranges[0][1] - ranges[0][0] + 1e-6), rel=1e-6)
        assert np.isinf(got[(1 * H + 2) * W + 2, 1])

    def test_non_contiguous_and_integer_mask(self, ref_compressor):
        c = ref_compressor()
        vol, nodata = raw_cube()
        expected, _, _ = numpy_reference(vol, nodata)
        fortran = np.asfortranarray(vol)
        attach_raw(c, fortran, nodata.astype(np.uint8))
        c.prepare_training_data_optimized()
        np.testing.assert_array_equal(c.cpu_values.numpy(), expected)

    def test_second_call_reuses_normalised_values(self, ref_compressor, capsys):
        c = ref_compressor()
        attach_raw(c, *raw_cube())
        c.prepare_training_data_optimized()
        before = c.cpu_values.clone()
        capsys.readouterr()
        c.prepare_training_data_optimized()
        assert "[Optimized] Step 1+2 skipped (pre-normalised zarr volume)." in capsys.readouterr().out
        assert torch.equal(before, c.cpu_values)
        with pytest.raises(NotImplementedError, match="zarr in-memory mode"):
            c.prepare_training_data_optimized(use_log=True)


class TestArgumentChecks:
    @pytest.mark.parametrize("mode", [4, -1, 2.5, "3", None, True])
    def test_unknown_norm_mode_rejected_before_work(self, ref_compressor, mode):
        c = ref_compressor()
        attach_raw(c, *raw_cube())
        with pytest.raises(ValueError, match="norm_mode"):
            c.prepare_training_data_optimized(norm_mode=mode)
        assert c.volume is not None and "norm_mode" not in c.meta_info

    @pytest.mark.parametrize("block", [(0, 2), (2, -1)])
    def test_non_positive_block_rejected(self, ref_compressor, block):
        c = ref_compressor()
        attach_raw(c, *raw_cube())
        with pytest.raises(ValueError, match="block_size"):
            c.prepare_training_data_optimized(block_size=block)
        assert c.volume is not None

    def test_mask_of_wrong_length(self, ref_compressor):
        c = ref_compressor()
        vol, _ = raw_cube()
        attach_raw(c, vol, np.zeros(7, bool))
        with pytest.raises(ValueError, match="nodata_mask_vol has 7 entries"):
            c.prepare_training_data_optimized()

    def test_missing_affine_for_planar_mode(self, ref_compressor, capsys):
        c = ref_compressor()
        attach_raw(c, *raw_cube())
        with pytest.raises(AttributeError):
            c.prepare_training_data_optimized(norm_mode=2)
        assert capsys.readouterr().out.rstrip().endswith("(Mode=2)...")
        assert c.time_lut is not None


def closed_form_xyz(mode, Hg, Wg, a, c0, e, f):
    j, i = np.meshgrid(np.arange(Wg), np.arange(Hg))
    if mode == 3:
        return np.stack([(j + 0.5) / Wg, (i + 0.5) / Hg], -1).reshape(-1, 2)
    xs, xe = c0 + 0.5 * a, c0 + (Wg - 0.5) * a
    ys, ye = f + 0.5 * e, f + (Hg - 0.5) * e
    if mode == 2:
        xmin, ymin = min(xs, xe), min(ys, ye)
        ls, ts = max(xs, xe) - xmin + 1e-6, max(ys, ye) - ymin + 1e-6
        x = (c0 + (j + 0.5) * a - xmin) / ls
        y = (f + (i + 0.5) * e - ymin) / ts
        return np.stack([x, y], -1).reshape(-1, 2)
    lon, lat = np.radians(c0 + (j + 0.5) * a), np.radians(f + (i + 0.5) * e)
    xyz = np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], -1).reshape(-1, 3)
    if mode == 0:
        return (xyz + 1) * 0.5
    lo = xyz.min(0)
    return (xyz - lo) / (xyz.max(0) - lo + 1e-6)


class TestCoordinates:
    AFFINE = [0.25, 0.0, -20.0, 0.0, -0.25, 60.0]  # north-up quarter-degree grid

    @pytest.mark.parametrize("mode", [0, 1, 2, 3])
    def test_cache_matches_closed_form(self, ref_compressor, mode, capsys):
        c = ref_compressor()
        vol, nodata = raw_cube()
        attach_raw(c, vol, nodata, trans_matrix=self.AFFINE)
        c.trans_matrix = self.AFFINE
        c.prepare_training_data_optimized(norm_mode=mode)
        a, _, c0, _, e, f = self.AFFINE
        want = closed_form_xyz(mode, H, W, a, c0, e, f)
        assert c.xyz_cache.dtype == torch.float32 and c.xyz_cache.shape == want.shape
        # mode 1 divides float32 coordinates by local spans of a few hundredths
        np.testing.assert_allclose(c.xyz_cache.numpy(), want, atol=3e-5 if mode == 1 else 3e-6)
        assert c.time_lut.dtype == torch.float32 and c.time_lut.tolist() == pytest.approx([0, 1 / 3, 1])
        assert {0: "local_xyz_params", 1: "local_xyz_params", 2: "local_planar_params",
                3: "pixel_norm_params"}[mode] in c.meta_info
        if mode == 2:  # north-up: first row near 1, last row 0; first column 0
            xy = c.xyz_cache.numpy().reshape(H, W, 2)
            assert xy[-1, :, 1].max() == 0 and xy[0, 0, 0] == 0 and 0.999 < xy[0, 0, 1] < 1
        if mode == 0:
            assert c.meta_info["local_xyz_params"] is None

    def test_small_grids(self, tc):
        xyz, params = tc._coordinate_cache(1, 1, 1, [1, 0, 10, 0, -1, 20])
        assert xyz.tolist() == [[0.0, 0.0, 0.0]]
        assert all(params["local_xyz_params"][k] == pytest.approx(1e-6) for k in ("x_span", "y_span", "z_span"))

    def test_global_grid_poles_stay_in_unit_cube(self, tc):
        xyz, _ = tc._coordinate_cache(0, 720, 1440, [0.25, 0, -180, 0, -0.25, 90])
        assert float(xyz.min()) >= 0 and float(xyz.max()) <= 1
        z = xyz[:, 2].reshape(720, 1440)
        assert float(z[0].min()) > 0.9999 and float(z[-1].max()) < 1e-4


def fake_source_module(T_=2, H_=3, W_=4, C_=2, valid_range=(0.0, 100.0), meta_extra=None):
    """A stand-in for the Zarr source: records its construction and serves a fixed cube."""
    calls = {}

    class Source:
        def __init__(self, **kw):
            calls["kwargs"] = kw
            self.n_timesteps, self.height, self.width, self.n_bands = T_, H_, W_, C_
            self.scale_factor = 0.5
            self.valid_range = kw["valid_range"]
            self.cube = np.random.default_rng(1).random((T_, H_, W_, C_)).astype(kw["dtype_np"])

        def read_timesteps(self, idx):
            calls["indices"] = np.asarray(idx)
            return self.cube[np.asarray(idx)]

        def build_meta_info(self):
            meta = {"height": H_, "width": W_, "n_bands": C_, "timestamps": STAMPS[:T_],
                    "t_norms": [0.0, 1.0][:T_], "trans_matrix": [1, 0, 0, 0, -1, 0]}
            meta.update(meta_extra or {})
            return meta

    return types.SimpleNamespace(ZarrStreamingSource=Source), calls


class TestZarrRoutes:
    def test_in_memory_load_then_prepare(self, ref_compressor, monkeypatch, capsys):
        mod, calls = fake_source_module()
        monkeypatch.setitem(sys.modules, "pyqelm.encoder.streaming_sources", mod)
        c = ref_compressor("float16", global_start_date="2019-12-31")
        c.load_dataset_zarr("store.zarr", variable="tas", valid_range=[0, 100])
        assert calls["kwargs"]["global_start_date"] == "2019-12-31" and calls["kwargs"]["dtype_np"] is np.float16
        assert calls["indices"].dtype == np.int64 and calls["indices"].tolist() == [0, 1]
        assert c.cpu_values.shape == (24, 2) and c.cpu_values.dtype == torch.float16 and bool(c.cpu_mask.all())
        assert c.channel_ranges == [[0.0, 100.0], [0.0, 100.0]] and c.meta_info["data_range"] is c.channel_ranges
        assert c.meta_info["scale_factor"] == 0.5 and c.meta_info["use_log"] is False and c.trans_matrix == [1, 0, 0, 0, -1, 0]
        out = capsys.readouterr().out
        assert ">>> Using Zarr In-Memory Loader (variable='tas') <<<" in out
        assert "  Loading full volume into RAM: (2, 3, 4, 2) float16 ~0.0 GB, normalised to [0, 1] by valid_range" in out
        c.prepare_training_data_optimized()
        out = capsys.readouterr().out
        assert "    Band 1: Range [0.0000, 100.0000] (from input_valid_range)" in out
        assert c.meta_info["original_shape"] == [2, 3, 4, 2] and c.xyz_cache.shape == (12, 2)

    def test_in_memory_requires_valid_range(self, ref_compressor, monkeypatch, capsys):
        mod, calls = fake_source_module()
        monkeypatch.setitem(sys.modules, "pyqelm.encoder.streaming_sources", mod)
        c = ref_compressor()
        with pytest.raises(ValueError, match="requires input_valid_range"):
            c.load_dataset_zarr("s.zarr")
        assert "kwargs" not in calls and "(variable=None)" in capsys.readouterr().out

    def test_streaming_route(self, ref_compressor, monkeypatch, capsys):
        mod, _ = fake_source_module(T_=24, H_=721, W_=1440, C_=1, meta_extra={"t_norms": [0.0] * 24})
        monkeypatch.setitem(sys.modules, "pyqelm.encoder.streaming_sources", mod)
        c = ref_compressor()
        c.load_dataset_zarr_streaming("s.zarr", valid_range=[0, 100])
        assert "  Streaming source: 24 timesteps, 721 x 1440 grid, 1 channel(s)" in capsys.readouterr().out
        with pytest.raises(NotImplementedError, match="block prediction"):
            c.prepare_training_data_optimized(block_size=(2, 2))
        with pytest.raises(NotImplementedError, match="streaming mode"):
            c.prepare_training_data_optimized(use_log=True)
        c.prepare_training_data_optimized()
        assert c.cpu_values is None and c.channel_ranges == [[0.0, 100.0]]
        c.streaming_source.valid_range = None
        with pytest.raises(ValueError, match="Streaming mode requires input_valid_range"):
            c.prepare_training_data_optimized()


class FakeLoader:
    """Records which load_folder* method was called with what; serves raw_cube()."""

    def __init__(self, result=None):
        self.calls, self.result = [], result

    def __getattr__(self, name):
        if not name.startswith("load_folder"):
            raise AttributeError(name)

        def load(**kw):
            self.calls.append((name, kw))
            if self.result is not None:
                return self.result
            vol, nodata = raw_cube()
            return vol, nodata, {"height": H, "width": W, "n_bands": 2, "trans_matrix": [1, 0, 0, 0, -1, 0], "x": name}
        return load


class TestFolderLoading:
    def test_modes_keywords_and_metadata(self, ref_compressor, capsys):
        c = ref_compressor(global_end_date="2021-01-01")
        c.loader = FakeLoader()
        vol, mask = c.load_dataset_folder("d", mode="HIGLASS", expected_bands=2)
        name, kw = c.loader.calls[-1]
        assert name == "load_folder" and kw["expected_bands"] == 2 and kw["global_end_date"] == "2021-01-01"
        assert vol is c.volume and mask is c.nodata_mask_vol and c.meta_info["scale_factor"] == 0.1
        c.meta_info["only_first"] = 1
        c.load_dataset_folder("d", mode="higlass", scale_factor=0.01)
        assert c.loader.calls[-1][0] == "load_folder_HiGLASS" and "expected_bands" not in c.loader.calls[-1][1]
        c.load_dataset_folder("d", mode="higlass_lai_fpar", tile_name="", year_range=(2001, 2002))
        name, kw = c.loader.calls[-1]
        assert name == "load_folder_HiGLASS_LAI_FPAR" and kw["year_range"] == (2001, 2002) and kw["tile_name"] == ""
        assert c.meta_info["only_first"] == 1 and c.meta_info["x"] == name and c.meta_info["scale_factor"] == 0.1
        out = capsys.readouterr().out
        assert ">>> Using HiGLASS Loader Mode <<<" in out
        assert ">>> Using HiGLASS Pair Loader (LAI + FPAR) for Tile  <<<" in out

    def test_errors_leave_object_unchanged(self, ref_compressor):
        c = ref_compressor()
        c.loader = FakeLoader()
        with pytest.raises(ValueError, match="requires 'tile_name'"):
            c.load_dataset_folder("d", mode="higlass_lai_fpar")
        assert c.loader.calls == []
        c.loader = FakeLoader(result=(1, 2))
        with pytest.raises(ValueError, match="not enough values to unpack"):
            c.load_dataset_folder("d")
        assert not hasattr(c, "volume") and c.meta_info == {}


class TestBlockReshape:
    def prepared(self, ref_compressor, Hh, Ww, C=1, Tt=1, block=(2, 2), fill=None):
        c = ref_compressor()
        vol = np.arange(Tt * Hh * Ww * C, dtype=np.float32).reshape(Tt, Hh, Ww, C) % 97
        nodata = np.zeros((Tt, Hh, Ww), bool) if fill is None else fill
        original = vol.copy()  # preparation works in place
        c.volume, c.nodata_mask_vol = vol, nodata
        c.meta_info.update(height=Hh, width=Ww, n_bands=C, timestamps=["2020-01-01"] * Tt, t_norms=[0.0] * Tt)
        c.prepare_training_data_optimized(block_size=list(block))
        return c, original

    def test_721_by_1440_in_2x2_blocks(self, ref_compressor, capsys):
        c, vol = self.prepared(ref_compressor, 721, 1440)
        out = capsys.readouterr().out
        assert "[block reshape] block=[2, 2]: (1, 721, 1440, 1) -> (1, 361, 720, 4)  (pad: +1 rows, +0 cols)" in out
        assert "[block reshape] cpu_values (259920, 4), cpu_mask (259920,), valid blocks 259920/259920" in out
        mi = c.meta_info
        assert (mi["height"], mi["width"], mi["original_shape"], mi["padded_shape"], mi["block_size"]) == (
            361, 720, [1, 721, 1440, 1], [1, 722, 1440, 1], [2, 2])
        v = c.cpu_values.numpy().reshape(361, 720, 2, 2)
        norm = (vol[0, :, :, 0] - 0) / (96 + 1e-6)
        np.testing.assert_allclose(v[12, 34], norm[24:26, 68:70], rtol=1e-6)
        assert (v[-1, :, 1, :] == 0).all()  # the pad row of the last block row
        assert c.xyz_cache.shape == (259920, 2)

    def test_odd_width_partial_blocks_and_validity(self, ref_compressor, capsys):
        fill = np.ones((2, 3, 5), bool)
        fill[0, 0, 0] = False      # one valid pixel makes its block valid
        fill[1, 2, 4] = False      # the last column is padded: block (2, 2) of frame 1
        valid = ~fill  # (the no-data array itself is negated in place into the training mask)
        c, _ = self.prepared(ref_compressor, 3, 5, Tt=2, block=(1, 2), fill=fill)
        assert "(pad: +0 rows, +1 cols)" in capsys.readouterr().out
        m = c.cpu_mask.numpy().reshape(2, 3, 3)
        assert m.sum() == 2 and m[0, 0, 0] and m[1, 2, 2]
        blocks = c.cpu_values.numpy().reshape(2, 3, 3, 2)
        assert blocks[1, 2, 2, 0] > 0 and blocks[1, 2, 2, 1] == 0  # valid pixel, then the pad column
        assert blocks[0, 0, 0, 1] == 0  # an invalid pixel of a valid block holds 0
        assert c._block_pixel_mask.numpy().tolist() == valid.reshape(-1).tolist()

    def test_memmap_path_and_cleanup(self, ref_compressor, tc, monkeypatch, tmp_path, capsys):
        monkeypatch.setattr(tc, "_available_memory_bytes", lambda: 1024)
        monkeypatch.setenv("PYQELM_TMPDIR", str(tmp_path / "missing"))
        monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
        c, vol = self.prepared(ref_compressor, 6, 8, C=2, Tt=3)
        out = capsys.readouterr().out
        path = c._block_mmap_path
        assert "=> memmap output buffer" in out and "missing" not in out
        assert f"[block reshape]   candidate {tmp_path} free = " in out and "[block reshape] memmap path: " + path in out
        assert os.path.dirname(path) == str(tmp_path) and os.path.basename(path).startswith(f"qelm_blk_{os.getpid()}_")
        assert os.path.getsize(path) == vol.nbytes
        blocks = c.cpu_values.numpy().reshape(3, 3, 4, 2, 2, 2)
        np.testing.assert_allclose(blocks[1, 2, 3, 1, 0], vol[1, 5, 6] / (96 + 1e-6), rtol=1e-6)
        del c, blocks
        import gc

        gc.collect()
        assert not os.path.exists(path), "a discarded compressor must not leave its block file behind"

    def test_memmap_removed_at_exit(self, tmp_path):
        script = f"""
import os, numpy as np, sys
sys.path.insert(0, {repr(os.getcwd())})
import pyqelm
from pyqelm.encoder import tcnn_compressor as tc
tc._available_memory_bytes = lambda: 0
os.environ["PYQELM_TMPDIR"] = {repr(str(tmp_path))}
c = tc.QELMCompressor._with_reference_backend(train_dtype="float32")
c.volume = np.ones((1, 4, 4, 1), np.float32); c.nodata_mask_vol = np.zeros(16, bool)
c.meta_info.update(height=4, width=4, n_bands=1, timestamps=["2020-01-01"], t_norms=[0.0])
c.prepare_training_data_optimized(block_size=(2, 2))
print("PATH", c._block_mmap_path)
keep = c  # alive until exit: the exit hook removes the file
"""
        res = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=os.getcwd())
        assert res.returncode == 0, res.stderr
        path = [l for l in res.stdout.splitlines() if l.startswith("PATH ")][0][5:]
        assert os.path.dirname(path) == str(tmp_path) and not os.path.exists(path)

    def test_no_directory_with_space(self, ref_compressor, tc, monkeypatch):
        monkeypatch.setattr(tc, "_available_memory_bytes", lambda: 0)
        monkeypatch.setenv("PYQELM_TMPDIR", "/nonexistent/dir")
        monkeypatch.setattr("tempfile.tempdir", "/nonexistent/either")
        with pytest.raises(RuntimeError, match=r"No tmp dir found with 0\.0 GB free\. Set PYQELM_TMPDIR"):
            self.prepared(ref_compressor, 4, 4)
