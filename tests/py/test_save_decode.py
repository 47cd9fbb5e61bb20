"""Saving containers and chunk blobs, and decoding them back: bounds, metrics, masks, metadata."""
import os
import struct

import numpy as np
import pytest
import torch

from pyqelm.decode import decode_chunk, decode_container
from pyqelm.format import read_chunk_bytes, read_container
from pyqelm.utils.date_utils import normalize_time

T, H, W, C = 3, 10, 12, 3
STAMPS = ["2021-01-01", "2021-02-01", "2021-03-01"]


def compressor(ref_compressor, block=(1, 1), **meta):
    """An untrained network over three bands on different scales. No-data: a strip blank in every
    frame and one pixel blank in one frame only."""
    t, y, x = np.meshgrid(np.arange(T), np.arange(H), np.arange(W), indexing="ij")
    vol = np.stack([280 + 8 * np.sin(x / 3 + t), 0.5 * np.cos(y / 2) - 0.1 * t, x * y / 40.0], -1).astype(np.float32)
    nodata = np.zeros((T, H, W), bool)
    nodata[:, 0, :3] = nodata[1, 5, 5] = True
    c = ref_compressor(global_start_date="2021-01-01", global_end_date="2021-03-01")
    c.volume, c.nodata_mask_vol = vol.copy(), nodata.copy()
    c.meta_info.update(height=H, width=W, n_bands=C, timestamps=STAMPS, band_names=["tas", "u", "v"],
                       t_norms=normalize_time(STAMPS, "2021-01-01", "2021-03-01"), **meta)
    c.prepare_training_data_optimized(block_size=block)
    torch.manual_seed(0)
    c.build_qelm_model(10, 4, 4, 1.5, 2, 10, 2, 2, 1.5, 2, 1.0, 16, 1, block_size=block)
    c.fit(epochs=0, batch_size=256)
    return c, vol, nodata


def frame_scales(blob):
    """Per-frame value scales of a residual blob (frame count at byte 5, frame offsets from byte 25)."""
    n = struct.unpack_from("<i", blob, 5)[0]
    return np.array([struct.unpack_from("<f", blob, 25 + 8 * n + o)[0] for o in struct.unpack_from(f"<{n}Q", blob, 25)])


def encoder_truth(c, block=(1, 1)):
    """Physical values exactly as the encoder compares against them (float32 denormalisation),
    block rows put back on the pixel grid."""
    (bh, bw), Hb, Wb = block, -(-H // block[0]), -(-W // block[1])
    v = c.cpu_values.numpy().reshape(T, Hb, Wb, bh, bw, C).transpose(0, 1, 3, 2, 4, 5).reshape(T, Hb * bh, Wb * bw, C)
    lo, span = np.float32([(r[0], r[1] - r[0]) for r in c.channel_ranges]).T
    return (v[:, :H, :W] * span + lo).astype(np.float64)


def first_chunk(path):
    return read_chunk_bytes(next(iter(read_container(str(path)).chunks.values())))


@pytest.mark.parametrize("block, threshold", [((1, 1), 0.05), ((1, 1), [0.2, 0.01, 0.05]), ((2, 2), 0.05),
                                              ((1, 5), 0.05), ((3, 4), [0.2, 0.01, 0.05])])
def test_rectified_container_meets_the_bound(ref_compressor, tmp_path, capsys, block, threshold):
    """Blocks that pad the grid, too: the decoded cube is cropped back, no-data pixels inside
    valid blocks stay blank, and the residual track addresses pixels, so the bound holds."""
    c, vol, nodata = compressor(ref_compressor, block=block)
    rect_path = str(tmp_path / "out-rectified.qelm")
    c.save_qelm(str(tmp_path / "out.qelm"), save_residuals=True, residual_threshold=threshold, mask_mode="dynamic")
    assert "=== Saving Rectified Version: " + rect_path + " ===" in capsys.readouterr().out
    blob = first_chunk(rect_path)
    cm = blob.chunk_meta
    assert cm.has_residuals and cm.residual_info.outlier_count > 0 and cm.residual_info.value_mode == "perframe_int16"
    assert cm.model_config["block_size"] == list(block)
    metrics = cm.extras["quality_metrics"]
    assert metrics["source"] == "residual" and metrics["n_valid"] == int((~nodata).sum()) * C
    decoded, meta = decode_container(rect_path)
    assert decoded.dtype == np.float32 and decoded.shape == (T, H, W, C) and list(meta.shape) == [T, H, W, C]
    assert np.array_equal(np.isnan(decoded).any(-1), nodata)  # dynamic mask: exactly the no-data layout
    # each frame's bound: the threshold, or half its residual quantisation step where that is coarser
    thr = np.broadcast_to(np.asarray(threshold, np.float64), (C,))
    bound = np.maximum(thr, frame_scales(blob.residual_bytes)[:, None, None, None] / 2) * (1 + 1e-5) + 1e-5
    err = np.abs(decoded.astype(np.float64) - encoder_truth(c, block))
    assert (err <= bound)[~nodata].all(), (err[~nodata].max(0), bound.ravel())
    # the original physical values, too, within the bound plus the normalisation rounding
    assert np.nanmax(np.abs(decoded - vol)[~nodata] - thr) < 1e-3


@pytest.mark.parametrize("train_dtype, spikes", [("float16", False), ("float32", True)])
def test_library_residuals_are_measured_as_a_reader_decodes_them(ref_compressor, tmp_path, capsys, train_dtype,
                                                                 spikes):
    """Trained with mixed precision, or holding native residuals beyond int16 data numbers: the
    rectified file's stored metrics are what its decoded values show against the held cube, and
    its bound holds (the spiky track is stored per frame rather than clipped)."""
    from conftest import tiny_compressor

    t, y, x = np.meshgrid(np.arange(3), np.arange(8), np.arange(10), indexing="ij")
    vol = (0.5 + 0.4 * np.sin(x / 2 + t) * np.cos(y / 3)).astype(np.float32)[..., None]
    if spikes:
        vol[0, 2, 3, 0], vol[2, 5, 5, 0] = 500.0, -500.0
    c = tiny_compressor(vol, np.zeros(vol.shape[:3], bool), make=lambda: ref_compressor(train_dtype=train_dtype))
    c.meta_info.update(band_scales=[0.01], src_dtype="int16")
    c.fit(epochs=1, batch_size=64)
    c.save_qelm(str(tmp_path / "l.qelm"), save_residuals=True, residual_threshold=0.05)
    out = capsys.readouterr().out
    blob = first_chunk(tmp_path / "l-rectified.qelm")
    assert blob.chunk_meta.residual_info.value_mode == ("perframe_int16" if spikes else "native")
    assert ("do not fit int16; storing them per frame" in out) == spikes
    lo, hi = c.channel_ranges[0]
    held = (c.cpu_values.float().numpy() * np.float32(hi - lo) + np.float32(lo)).reshape(vol.shape).astype(np.float64)
    err = np.abs(decode_container(str(tmp_path / "l-rectified.qelm"))[0] - held)
    step = frame_scales(blob.residual_bytes).max() / 2 if spikes else 0.005
    assert err.max() <= max(0.05, step) + 1e-4
    stored = blob.chunk_meta.extras["quality_metrics"]["bands"][0]
    slack = 4 * np.finfo(np.float32).eps * np.abs(held).max()
    assert abs(stored["max"] - err.max()) <= slack and abs(stored["rmse"] - np.sqrt((err ** 2).mean())) <= slack


def test_standard_and_native_containers_file_names_and_chunk_blobs(ref_compressor, tmp_path, capsys):
    with pytest.raises(ValueError, match="no model"):
        ref_compressor().save_qelm(str(tmp_path / "x.qelm"))
    c, _, nodata = compressor(ref_compressor, band_scales=[0.01, 0.001, 0.01], src_dtype="int16")
    before = [p.detach().clone() for p in c.model.parameters()]
    c.save_qelm(str(tmp_path / "s.qelm"), mask_mode="static")
    # saving evaluates the stored weights but leaves the trained ones in place
    assert all(torch.equal(a, b) for a, b in zip(before, c.model.parameters()))
    decoded, _ = decode_container(str(tmp_path / "s.qelm"))
    metrics = first_chunk(tmp_path / "s.qelm").chunk_meta.extras["quality_metrics"]
    assert metrics["source"] == "sampled(3f)" and metrics["unit"] == "physical"
    err = [e[~nodata] for e in np.moveaxis(decoded.astype(np.float64) - encoder_truth(c), -1, 0)]
    np.testing.assert_allclose([[r[k] for k in ("n_valid", "rmse", "mae", "max")] for r in metrics["bands"]],
                               [[e.size, np.sqrt((e ** 2).mean()), np.abs(e).mean(), np.abs(e).max()] for e in err],
                               rtol=1e-6, atol=1e-7)
    # static mask: only the pixels blank in every frame
    assert np.isnan(decoded[:, 0, :3]).all() and not np.isnan(decoded[1, 5, 5]).any()

    c.save_qelm(str(tmp_path / "out.QELM"), quantization_bit=8, save_residuals=True, residual_threshold=0.02)
    out = capsys.readouterr().out
    assert "native DN (per-band scale=[0.01, 0.001, 0.01])" in out and "(int8_per_tensor_f16dec)" in out
    # native residuals are whole data numbers: within half a step of each band's scale
    err = np.abs(decode_container(str(tmp_path / "out-rectified.qelm"))[0] - encoder_truth(c))[~nodata]
    assert (err <= np.maximum(0.02, np.array([0.005, 0.0005, 0.005])) + 1e-4).all()
    c.save_qelm(str(tmp_path / "out.bin"), save_residuals=True, residual_threshold=0.0)
    c.save_qelm(str(tmp_path / "s.qelm"), save_residuals=True, residual_threshold=1e6)
    assert "=== 0 outliers: skipping rectified version (residuals correct nothing) ===" in capsys.readouterr().out
    assert sorted(os.listdir(tmp_path)) == ["out-rectified.qelm", "out.QELM", "out.bin", "out.bin-rectified.qelm",
                                            "s.qelm"]  # and no rectified file where residuals correct nothing
    path = tmp_path / "deep" / "dir" / "tile.qelmc"
    meta, chunk_meta, n = c.save_chunk_blob(str(path), save_residuals=True, residual_threshold=1e6)
    out = capsys.readouterr().out
    assert " -> 0 outliers: saved as no-residual chunk (has_residuals=False)" in out
    assert f" -> chunk blob written: {path}  (" in out and n == os.path.getsize(path) and not chunk_meta.has_residuals
    np.testing.assert_array_equal(decode_chunk(path.read_bytes(), meta), decoded)


def test_outer_and_chunk_meta_rules(ref_compressor):
    # Scale factors and ranges fill in per band, names default, absent time and grid stay absent.
    c = ref_compressor(global_start_date="2020-01-01")
    c.config = {"block_size": [1, 1]}
    c.meta_info.update(scale_factor=[0.01, 0.02], data_range=[0, 10000], transform=[], n_bands=3)
    meta = c._build_outer_meta([0, 4, 5, 3])
    assert [b.scale_factor for b in meta.bands] == [0.01, 0.02, 1.0]
    assert [(b.valid_range, b.name) for b in meta.bands] == [([0, 10000], f"B{i}") for i in (1, 2, 3)]
    assert meta.time is None and meta.transform is None and (meta.n_frames, meta.height, meta.width) == (0, 4, 5)
    cm = c._build_chunk_meta({"mode": "float16"})
    assert cm.train_time_range is None and cm.train_data_range == [[0, 10000]] * 3
    c.meta_info.update(timestamps=["2020-01-01"], norm_mode=None, data_range=[[0, 1], [0, 2]])
    c.global_end_date = "2020-02-01 12:00:00+02:00"  # ISO 8601 with its offset kept; UTC without one
    cm = c._build_chunk_meta({"mode": "float16"})
    assert cm.train_time_range.end == "2020-02-01T12:00:00+02:00" and cm.train_time_range.n_frames == 1
    assert "norm_mode" not in cm.extras and cm.train_data_range == [[0, 1], [0, 2]]
    assert c._build_outer_meta([1, 4, 5, 2]).time.global_start == "2020-01-01Z"
    with pytest.raises(IndexError):  # per-band ranges are not padded to the band count
        c._build_outer_meta([1, 4, 5, 3])
