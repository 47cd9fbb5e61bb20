"""Saving containers and chunk blobs, and decoding them back: bounds, metrics, masks, metadata."""
import os
import struct

import numpy as np
import pytest
import torch

from pyqelm.decode import decode_chunk, decode_container
from pyqelm.format import read_chunk_bytes, read_container

T, H, W, C = 3, 10, 12, 3
STAMPS = ["2021-01-01", "2021-02-01", "2021-03-01"]


def cube():
    t = np.arange(T)[:, None, None]
    y = np.arange(H)[None, :, None]
    x = np.arange(W)[None, None, :]
    z = np.zeros((T, H, W))
    bands = [z + 280 + 8 * np.sin(x / 3 + t), z + 0.5 * np.cos(y / 2) - 0.1 * t, z + (x * y) / 40.0]
    vol = np.stack(bands, -1).astype(np.float32)
    nodata = np.zeros((T, H, W), bool)
    nodata[:, 0, :3] = True        # blank in every frame
    nodata[1, 5, 5] = True         # blank in one frame only
    return vol, nodata


def compressor(ref_compressor, epochs=0, block=(1, 1), **meta):
    c = ref_compressor(global_start_date="2021-01-01", global_end_date="2021-03-01")
    vol, nodata = cube()
    c.volume, c.nodata_mask_vol = vol.copy(), nodata.copy()
    from pyqelm.utils.date_utils import normalize_time

    c.meta_info.update(height=H, width=W, n_bands=C, timestamps=STAMPS, band_names=["tas", "u", "v"],
                       t_norms=normalize_time(STAMPS, "2021-01-01", "2021-03-01"), **meta)
    c.prepare_training_data_optimized(block_size=block)
    torch.manual_seed(0)
    c.build_qelm_model(10, 4, 4, 1.5, 2, 10, 2, 2, 1.5, 2, 1.0, 16, 1, block_size=block)
    c.fit(epochs=epochs, batch_size=256)
    return c, vol, nodata


def frame_scales(residual_bytes):
    """Per-frame value scales of a residual blob, read from its documented layout."""
    if len(residual_bytes) <= 5:
        return [1.0] * T
    t_ = struct.unpack_from("<i", residual_bytes, 5)[0]
    offsets = struct.unpack_from(f"<{t_}Q", residual_bytes, 5 + 16 + 4)
    area = 5 + 16 + 4 + 8 * t_
    return [struct.unpack_from("<f", residual_bytes, area + o)[0] for o in offsets]


def encoder_truth(c, block=(1, 1)):
    """Physical values exactly as the encoder compares against them (float32 denormalisation),
    block rows put back on the pixel grid."""
    bh, bw = block
    Hb, Wb = -(-H // bh), -(-W // bw)
    v = c.cpu_values.numpy().reshape(T, Hb, Wb, bh, bw, C).transpose(0, 1, 3, 2, 4, 5).reshape(T, Hb * bh, Wb * bw, C)
    lo = np.array([r[0] for r in c.channel_ranges], np.float32)
    span = np.array([r[1] - r[0] for r in c.channel_ranges], np.float32)
    return (v[:, :H, :W] * span + lo).astype(np.float64)


class TestRoundTrip:
    @pytest.mark.parametrize("block, threshold", [((1, 1), 0.05), ((1, 1), [0.2, 0.01, 0.05]), ((2, 2), 0.05),
                                                  ((1, 5), 0.05), ((3, 4), [0.2, 0.01, 0.05])])
    def test_rectified_container_meets_the_bound(self, ref_compressor, tmp_path, capsys, block, threshold):
        """Blocks that pad the grid, too: the decoded cube is cropped back, no-data pixels inside
        valid blocks stay blank, and the residual track addresses pixels, so the bound holds."""
        c, vol, nodata = compressor(ref_compressor, block=block)
        assert c.cpu_values.shape[1] == block[0] * block[1] * C
        rect_path = str(tmp_path / "out-rectified.qelm")
        c.save_qelm(str(tmp_path / "out.qelm"), save_residuals=True, residual_threshold=threshold, mask_mode="dynamic")
        assert "=== Saving Rectified Version: " + rect_path + " ===" in capsys.readouterr().out
        blob = read_chunk_bytes(next(iter(read_container(rect_path).chunks.values())))
        cm = blob.chunk_meta
        assert cm.has_residuals and cm.residual_info.outlier_count > 0 and cm.residual_info.value_mode == "perframe_int16"
        assert cm.model_config["block_size"] == list(block)
        metrics = cm.extras["quality_metrics"]
        assert metrics["source"] == "residual" and metrics["n_valid"] == int((~nodata).sum()) * C
        decoded, meta = decode_container(rect_path)
        assert decoded.dtype == np.float32 and decoded.shape == (T, H, W, C) and list(meta.shape) == [T, H, W, C]
        # dynamic mask: exactly the no-data layout
        assert np.array_equal(np.isnan(decoded).any(-1), nodata)
        thr = np.broadcast_to(np.asarray(threshold, np.float64), (C,))
        scales = frame_scales(blob.residual_bytes)
        err = np.abs(decoded.astype(np.float64) - encoder_truth(c, block))
        for t in range(T):
            bound = np.maximum(thr, scales[t] / 2) * (1 + 1e-5) + 1e-5
            assert (err[t][~nodata[t]] <= bound).all(), (t, err[t][~nodata[t]].max(axis=0), bound)
        # the original physical values, too, within the bound plus the normalisation rounding
        assert np.nanmax(np.abs(decoded - vol)[~nodata] - thr) < 1e-3

    def test_standard_container_reports_its_own_errors(self, ref_compressor, tmp_path):
        c, vol, nodata = compressor(ref_compressor)
        before = [p.detach().clone() for p in c.model.parameters()]
        c.save_qelm(str(tmp_path / "s.qelm"), mask_mode="static")
        # saving evaluates the stored weights but leaves the trained ones in place
        assert all(torch.equal(a, b) for a, b in zip(before, c.model.parameters()))
        decoded, _ = decode_container(str(tmp_path / "s.qelm"))
        metrics = read_chunk_bytes(next(iter(read_container(str(tmp_path / "s.qelm")).chunks.values()))
                                   ).chunk_meta.extras["quality_metrics"]
        assert metrics["source"] == "sampled(3f)" and metrics["unit"] == "physical"
        err = (decoded.astype(np.float64) - encoder_truth(c))
        valid = ~nodata
        for b, rec in enumerate(metrics["bands"]):
            e = err[..., b][valid]
            assert rec["n_valid"] == e.size
            assert rec["rmse"] == pytest.approx(np.sqrt((e ** 2).mean()), rel=1e-6)
            assert rec["mae"] == pytest.approx(np.abs(e).mean(), rel=1e-6)
            assert rec["max"] == pytest.approx(np.abs(e).max(), rel=1e-6, abs=1e-6)
        # static mask: only the pixels blank in every frame
        assert np.isnan(decoded[:, 0, :3]).all() and not np.isnan(decoded[1, 5, 5]).any()

    def test_chunk_blob_and_zero_outliers(self, ref_compressor, tmp_path, capsys):
        c, _, _ = compressor(ref_compressor)
        path = tmp_path / "deep" / "dir" / "tile.qelmc"
        meta, chunk_meta, n = c.save_chunk_blob(str(path), save_residuals=True, residual_threshold=1e6)
        out = capsys.readouterr().out
        assert " -> 0 outliers: saved as no-residual chunk (has_residuals=False)" in out
        assert n == os.path.getsize(path) and not chunk_meta.has_residuals
        assert f" -> chunk blob written: {path}  (" in out
        decoded = decode_chunk(path.read_bytes(), meta)
        assert decoded.shape == (T, H, W, C)
        c.save_qelm(str(tmp_path / "z.QELM"), save_residuals=True, residual_threshold=1e6)
        out = capsys.readouterr().out
        assert "=== 0 outliers: skipping rectified version (residuals correct nothing) ===" in out
        assert sorted(os.listdir(tmp_path)) == ["deep", "z.QELM"]

    def test_save_arguments_are_checked_before_work(self, ref_compressor, tmp_path):
        c = ref_compressor()
        with pytest.raises(ValueError, match="no model"):
            c.save_qelm(str(tmp_path / "x.qelm"))
        c, _, _ = compressor(ref_compressor)
        with pytest.raises(ValueError, match="residual_threshold must be non-negative"):
            c.save_qelm(str(tmp_path / "x.qelm"), save_residuals=True, residual_threshold=-0.1)
        assert os.listdir(tmp_path) == []

    def test_quantization_modes_and_native_residuals(self, ref_compressor, tmp_path, capsys):
        c, vol, nodata = compressor(ref_compressor, band_scales=[0.01, 0.001, 0.01], src_dtype="int16")
        c.save_qelm(str(tmp_path / "n.qelm"), quantization_bit=8, save_residuals=True, residual_threshold=0.02)
        out = capsys.readouterr().out
        assert " -> Residual value mode: native DN (per-band scale=[0.01, 0.001, 0.01])" in out
        assert "(int8_per_tensor_f16dec)" in out
        decoded, _ = decode_container(str(tmp_path / "n-rectified.qelm"))
        err = np.abs(decoded - encoder_truth(c))[~nodata]
        # native residuals are whole data numbers: within half a step of each band's scale
        assert (err <= np.maximum(0.02, np.array([0.005, 0.0005, 0.005])) + 1e-4).all()
        c.save_qelm(str(tmp_path / "f.qelm"), quantization_bit=12)
        assert " -> Weights Ready: " in capsys.readouterr().out
        decoded16, _ = decode_container(str(tmp_path / "f.qelm"))
        assert np.isfinite(decoded16[~nodata]).all()


class TestMetadata:
    @pytest.mark.parametrize("value,want", [
        ("2020-01-01", "2020-01-01Z"), ("2020-01-01 12:00:00", "2020-01-01T12:00:00Z"),
        ("2020-01-01T00:00:00+02:00", "2020-01-01T00:00:00+02:00"), ("2020-01-01T00:00:00-05:00", "2020-01-01T00:00:00-05:00"),
        ("2020-01-01T00:00:00Z", "2020-01-01T00:00:00Z")])
    def test_isoize(self, tc, value, want):
        assert tc._isoize(value) == want

    def test_outer_and_chunk_meta_rules(self, ref_compressor):
        c = ref_compressor(global_start_date="2020-01-01")
        c.config = {"block_size": [1, 1]}
        c.meta_info.update(scale_factor=[0.01, 0.02], data_range=[0, 10000], transform=[], n_bands=3)
        meta = c._build_outer_meta([0, 4, 5, 3])
        assert [b.scale_factor for b in meta.bands] == [0.01, 0.02, 1.0]
        assert [b.valid_range for b in meta.bands] == [[0, 10000]] * 3 and [b.name for b in meta.bands] == ["B1", "B2", "B3"]
        assert meta.time is None and meta.transform is None and (meta.n_frames, meta.height, meta.width) == (0, 4, 5)
        cm = c._build_chunk_meta({"mode": "float16"})
        assert cm.train_time_range is None and cm.train_data_range == [[0, 10000]] * 3
        c.meta_info.update(timestamps=["2020-01-01"], norm_mode=None, data_range=[[0, 1], [0, 2]])
        c.global_end_date = "2020-02-01 00:00:00"
        cm = c._build_chunk_meta({"mode": "float16"})
        assert cm.train_time_range.end == "2020-02-01T00:00:00Z" and cm.train_time_range.n_frames == 1
        assert "norm_mode" not in cm.extras and cm.train_data_range == [[0, 1], [0, 2]]
        assert c._build_outer_meta([1, 4, 5, 2]).time.global_start == "2020-01-01Z"
        with pytest.raises(IndexError):  # per-band ranges are not padded to the band count
            c._build_outer_meta([1, 4, 5, 3])


def test_rectified_sibling_names(ref_compressor, tmp_path):
    c, _, _ = compressor(ref_compressor)
    c.save_qelm(str(tmp_path / "out.QELM"), save_residuals=True, residual_threshold=0.0)
    c.save_qelm(str(tmp_path / "out.bin"), save_residuals=True, residual_threshold=0.0)
    assert sorted(os.listdir(tmp_path)) == ["out-rectified.qelm", "out.QELM", "out.bin", "out.bin-rectified.qelm"]


def test_corrupted_containers_decode_or_raise_value_error(ref_compressor, tmp_path):
    c, _, _ = compressor(ref_compressor)
    good = tmp_path / "good.qelm"
    c.save_qelm(str(good), save_residuals=True, residual_threshold=0.0, mask_mode="dynamic")
    data = (tmp_path / "good-rectified.qelm").read_bytes()
    bad = tmp_path / "bad.qelm"
    # every byte of the first and last 512 (local headers, central directory), a stride elsewhere
    positions = sorted(set(range(min(512, len(data)))) | set(range(max(0, len(data) - 512), len(data)))
                       | set(range(0, len(data), 97)))
    rejected = 0
    for pos in positions:
        bad.write_bytes(data[:pos])
        with pytest.raises(ValueError):
            decode_container(str(bad))
        bad.write_bytes(data[:pos] + bytes([data[pos] ^ 0x5A]) + data[pos + 1:])
        try:
            decode_container(str(bad))
        except ValueError:
            rejected += 1
    assert rejected > len(positions) / 2
