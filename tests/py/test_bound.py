"""The error bound on every path: bounded containers decoded and measured in float64 against the
source with NumPy alone (netCDF4's own unpacking and CF masking, or the stored Zarr values)."""
import io
import tracemalloc
from contextlib import redirect_stderr, redirect_stdout

import netCDF4
import numpy as np
import pytest
import torch
import zarr

from conftest import reference_compressor, v2_store
from pyqelm import bound, cli, compare
from pyqelm.decode import NODATA_CODE, apply_codes, decode_container
from pyqelm.format import ResidualInfo
from pyqelm.pipeline import SourceOptions, read_cube, stored_metrics

TINY = ["--preset", "tiny", "--xy-hash-size", "8", "--t-hash-size", "8", "--epochs", "1", "--batch-size", "64",
        "--backend", "reference", "--device", "cpu", "-q"]
REAL = "/usr/share/ncarg/data/nug/tas_rectilinear_grid_2D.nc"


def _nc(path, data, dtype="f4", fill=None, **attrs):
    with netCDF4.Dataset(path, "w") as ds:
        for name, n in zip(("time", "lat", "lon"), data.shape):
            ds.createDimension(name, n)
            ds.createVariable(name, "f8", (name,))[:] = np.arange(n) * (30.0 if name == "time" else 1.0)
        ds["time"].units = "days since 2000-01-01"
        v = ds.createVariable("v", dtype, ("time", "lat", "lon"), fill_value=fill)
        v.set_auto_maskandscale(False)
        v.setncatts(attrs)
        v[:] = data
    return path


def _reference(path):
    """The source as netCDF4 reads it: unpacked in float64, fill and CF-invalid values masked."""
    with netCDF4.Dataset(path) as ds:
        return np.ma.filled(np.ma.asarray(ds["v"][:], dtype=np.float64), np.nan)[..., None]


def _smooth(T, H, W, lo=270.0, hi=300.0):
    t, y, x = np.meshgrid(np.arange(T), np.arange(H), np.arange(W), indexing="ij")
    f = np.sin(x / 3.0) * np.cos(y / 4.0) + 0.2 * t + 0.05 * np.random.default_rng(0).standard_normal((T, H, W))
    return lo + (hi - lo) * (f - f.min()) / (f.max() - f.min())


def _real(tmp):
    with netCDF4.Dataset(REAL) as ds:
        data = np.asarray(ds["tas"][:4, 20:52, 40:88], dtype=np.float32)
    return _nc(tmp / "real.nc", data, fill=np.float32(1e20)), []


def _packed(tmp):
    # Stored near +30000 with spikes at -30000: residuals of some 60000 data numbers.
    stored = np.round(30000 - 2000 * _smooth(3, 10, 12, 0, 1)).astype(np.int16)
    stored[0, 2, 3] = stored[2, 7, 7] = -30000
    stored[1, 0, 0] = -32767
    return _nc(tmp / "packed.nc", stored, "i2", fill=np.int16(-32767), scale_factor=np.float64(0.01),
               add_offset=np.float64(280.0)), []


def _fills_outside_attribute(tmp):
    data = _smooth(3, 10, 12).astype(np.float32)
    data[0, 1, 1] = data[2, 4, 5] = np.float32(1e20)  # no _FillValue: only the valid range marks them
    return _nc(tmp / "attr.nc", data, valid_range=np.array([200.0, 350.0], np.float32)), []


def _narrow(extra):
    def make(tmp):
        return _nc(tmp / "narrow.nc", _smooth(3, 10, 12).astype(np.float32)), ["--valid-range", "280", "285", *extra]
    return make


@pytest.mark.parametrize("make, bound_, extra, nodata_outside, line", [
    (_real, 0.05, ["--precision", "float16"], None, None),
    (_packed, 1.0, ["--precision", "float32"], None, None),
    (_fills_outside_attribute, 0.05, ["--precision", "float32"], None, "2 values lie outside the variable's valid "
                                                                       "range attributes [200, 350]: they are no-data"),
    (_narrow([]), 0.05, ["--precision", "float32"], None, "lie outside --valid-range [280, 285]: they are data"),
    (_narrow(["--out-of-range", "nodata"]), 0.05, ["--precision", "float32"], (280.0, 285.0), "they are no-data"),
], ids=["float16-real-field", "packed-int16-spikes", "fills-outside-valid-range-attribute", "valid-range-carried",
        "valid-range-no-data"])
def test_decoded_values_keep_the_bound_against_the_source(tmp_path, capsys, make, bound_, extra, nodata_outside,
                                                          line):
    src, source_args = make(tmp_path)
    out = tmp_path / "o.qelm"
    argv = ["encode", src, out, "--max-error", bound_, *source_args, *TINY, *extra]
    assert cli.main([str(a) for a in argv]) == 0, capsys.readouterr().err
    text = capsys.readouterr().out
    rect = out  # the bounded container
    decoded = decode_container(str(rect))[0].astype(np.float64)
    ref = _reference(src)
    if nodata_outside:
        ref[(ref < nodata_outside[0]) | (ref > nodata_outside[1])] = np.nan
    assert np.array_equal(np.isnan(decoded), np.isnan(ref))
    valid = ~np.isnan(ref)
    err = np.abs(decoded - ref)[valid]
    assert err.max() <= bound_, err.max()
    assert line is None or line in text, text
    # The stored metrics are the decoded values' against the source; verify's agree to float32.
    record, cm = stored_metrics(str(rect))
    assert record["source"] == "decoded" and cm.residual_info.outlier_layout == "bound_codes_v1"
    band = record["bands"][0]
    assert band["n_valid"] == valid.sum() and band["max"] == pytest.approx(err.max(), rel=1e-9, abs=1e-12)
    assert band["rmse"] == pytest.approx(np.sqrt(np.mean(err ** 2)), rel=1e-9)
    opts = SourceOptions(valid_range=tuple(map(float, source_args[1:3])) if source_args else "auto",
                         out_of_range=source_args[4] if len(source_args) > 3 else None)
    rmse, mae, mx, n = compare.error_stats(read_cube(src, opts)[0], decoded.astype(np.float32))
    scale = np.nanmax(np.abs(ref)) * np.finfo(np.float32).eps
    assert n == band["n_valid"] and abs(mx - band["max"]) <= scale and abs(rmse - band["rmse"]) <= scale
    verify = ["verify", src, rect, "--max-error", bound_, *source_args]
    assert cli.main([str(a) for a in verify]) == 0, capsys.readouterr().err


def test_streamed_encode_is_bounded_in_memory_below_the_cube(tmp_path, capsys, monkeypatch):
    """The bound pass holds a few frame batches (here of one frame, 4096 network rows) besides
    its output, whatever the series' length."""
    T, H, W = 96, 48, 64
    t, y, x = np.meshgrid(np.arange(T), np.arange(H), np.arange(W), indexing="ij")
    data = (280 + 10 * np.sin(x / 9.0) * np.cos(y / 7.0) + 0.2 * t).astype(np.float32)
    data[5, :10, :10] = np.nan
    store = v2_store(tmp_path / "s.zarr", data, chunks=(1, H, W), fill_value=np.nan)
    peaks = []
    inner = bound.bounded_chunk

    def measured(*a, **k):
        tracemalloc.start()
        try:
            out = inner(*a, **dict(k, batch=4096))
            peaks.append((tracemalloc.get_traced_memory()[1], len(out.blob)))
            return out
        finally:
            tracemalloc.stop()

    monkeypatch.setattr(bound, "bounded_chunk", measured)
    argv = ["encode", store, tmp_path / "s.qelm", "--streaming", "--max-error", 0.05, *TINY, "--batch-size", 512]
    assert cli.main([str(a) for a in argv]) == 0
    decoded = decode_container(str(tmp_path / "s.qelm"))[0][..., 0].astype(np.float64)
    ref = zarr.open(store)["v"][:].astype(np.float64)
    assert np.array_equal(np.isnan(decoded), np.isnan(ref))
    assert np.nanmax(np.abs(decoded - ref)) <= 0.05
    (peak, out), cube = peaks[0], data.nbytes
    with capsys.disabled():
        print(f"\n  streamed bound pass: peak {peak / 2**20:.2f} MiB of NumPy and Python memory, the chunk it "
              f"returns {out / 2**20:.2f} MiB, the cube {cube / 2**20:.2f} MiB (float32, {T} x {H} x {W})")
    # The output exists twice while the chunk is assembled.
    assert peak < cube and peak - 2 * out < cube / 2


def test_every_mask_mode_keeps_each_values_status():
    """Bands without data in pixels that hold some, pixels empty in one frame only, and pixels
    empty throughout: whatever the mask stores, each decodes as NaN exactly where the source is."""
    T, H, W, C = 3, 6, 7, 2
    rng = np.random.default_rng(1)
    cube = np.stack([_smooth(T, H, W), _smooth(T, H, W, -1, 1)], -1) + 0.01 * rng.standard_normal((T, H, W, C))
    cube[:, 0, 0, :] = np.nan  # empty throughout
    cube[1, 2, 2, :] = np.nan  # empty in one frame
    cube[2, 3, 4, 1] = np.nan  # one band only
    for mode in ("static", "dynamic", "no", "auto"):
        got = _bounded(cube, mode)
        assert np.array_equal(np.isnan(got), np.isnan(cube)), mode
        assert np.nanmax(np.abs(got - cube)) <= 0.01, mode


def _bounded(cube, mode):
    """``cube`` through a two-band tiny network and bounded_chunk with ``mask_mode``; decoded."""
    from pyqelm.bound import ArraySource, bounded_chunk
    from pyqelm.decode import decode_chunk

    from pyqelm.utils.date_utils import normalize_time

    T, H, W, C = cube.shape
    c = reference_compressor()
    stamps = [f"2021-01-{d + 1:02d}" for d in range(T)]
    c.volume, c.nodata_mask_vol = np.nan_to_num(cube).astype(np.float32), np.isnan(cube).all(-1)
    c.meta_info.update(height=H, width=W, n_bands=C, timestamps=stamps, t_norms=normalize_time(stamps))
    c.prepare_training_data_optimized()
    torch.manual_seed(0)
    c.build_qelm_model(8, 4, 2, 1.5, 2, 8, 2, 2, 1.5, 2, 1.0, 8, 1)
    art = c._build_v09_artifacts(16, "no", False, 0.0, "int16")
    with redirect_stdout(io.StringIO()), redirect_stderr(io.StringIO()):
        b = bounded_chunk(art["meta"], art["chunk_meta_std"], art["weights_bytes"], ArraySource(cube), 0.01,
                          mask_mode=mode)
    assert (b.mask_bytes == b"") == (mode == "no")
    return decode_chunk(b.blob, art["meta"]).astype(np.float64)


def test_steps_codes_and_the_layout_record():
    # Steps just under twice the bound; a bound float32 cannot resolve at these magnitudes fails.
    for E, rng, big in [(0.05, [270.0, 300.0], 0.0), (1.0, [-5.0, 655.0], 655.0), (1e-3, [0.0, 1.0], 10.0)]:
        steps, margins = bound.step_margins([E], [rng], [big])
        assert 2 * E * (1 - 1e-2) < steps[0] < 2 * E and margins[0] > max(abs(rng[0]), abs(rng[1]), big) * 2 ** -24
    with pytest.raises(ValueError, match="below what float32 resolves"):
        bound.step_margins([1e-3], [[0.0, 1.0]], [1e20])
    # The decoder's arithmetic: one float32 rounding of p + q*s, and the no-data code.
    p = np.float32([280.0, 1.0, 2.0])
    d = apply_codes(p, np.int32([3, -1, NODATA_CODE]), np.float64([0.1, 0.5, 0.5]))
    assert d.dtype == np.float32 and d[0] == np.float32(280.3) and d[1] == 0.5 and np.isnan(d[2])
    # A code one step off is moved back; one no code can save is reported.
    v, pp = np.array([[1.04], [1e9 + 40]]), np.float32([[1.0], [1e9]])  # float32 steps by 64 near 1e9
    codes = np.int32([[1], [444]])
    still = bound._fix_codes(v, pp, codes, np.array([0.09]), np.array([0.05]), np.array([[True], [True]]))
    assert codes[0, 0] == 0 and still.ravel().tolist() == [False, True]
    # The layout's record: steps below twice the bound, one per band, or refused.
    good = dict(dtype="int32", value_mode="bound_step", main_codec="residual_codes", outlier_layout="bound_codes_v1",
                outlier_vals_codec="residual_codes", bound=[0.1, 0.2], steps=[0.19, 0.39])
    assert ResidualInfo.from_dict(ResidualInfo.from_dict(good).to_dict()).to_dict() == ResidualInfo.from_dict(good).to_dict()
    assert "steps" not in ResidualInfo().to_dict()  # the sparse layout's record is unchanged
    for bad in ({"steps": [0.2, 0.39]}, {"steps": [0.19]}, {"steps": None}, {"dtype": "int16"},
                {"outlier_layout": "chunked_v1"}):
        with pytest.raises(ValueError):
            ResidualInfo.from_dict({**good, **bad})


def test_codes_read_back_with_a_window_of_changing_validity():
    from pyqelm import residual_codec

    rng = np.random.default_rng(3)
    T, H, W = 40, 5, 6
    codes = rng.integers(-3, 4, (T, H, W, 1)).astype(np.int32)
    valid = rng.random((T, H, W)) > 0.3
    blob = residual_codec.encode(codes, valid)
    whole = residual_codec.decode(blob, valid, codes.shape)
    key = residual_codec.describe(blob)["key_interval"]
    t0, t1 = key + 3, key + 7
    window = residual_codec.decode(blob, valid[key:t1], codes.shape, frames=(t0, t1), valid_from=key)
    assert np.array_equal(window, whole[t0:t1]) and np.array_equal(whole[valid], codes[valid])
    for first, part in ((key + 1, valid[key + 1:t1]), (key, valid[key:t1 - 1])):  # frames missing: refused
        with pytest.raises(ValueError):
            residual_codec.decode(blob, part, codes.shape, frames=(t0, t1), valid_from=first)
