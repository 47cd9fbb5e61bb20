"""The classical peers of the comparison: neutral no-data fill with a lossless mask, ZFP tuned to
the bound, and the quantise + Lorenzo + xz codec, each checked against its promise."""
import numpy as np
import pytest

from pyqelm import compare, peers


def _cube(T=5, H=9, W=11, C=2, seed=0):
    rng = np.random.default_rng(seed)
    t, y, x = np.meshgrid(np.arange(T), np.arange(H), np.arange(W), indexing="ij")
    base = 250 + 20 * np.sin(x / 3.0) * np.cos(y / 4.0) + 3 * t
    cube = np.stack([base + rng.normal(0, 0.5, base.shape), -base / 10], axis=-1)[..., :C]
    return cube.astype(np.float32)


def test_fill_and_mask_roundtrip_keep_no_data_exactly():
    cube = _cube()
    cube[1, 2:5, 3] = np.nan
    cube[:, 0, 0, 1] = np.nan
    filled, nodata = peers.fill_nodata(cube)
    assert np.isfinite(filled).all() and np.array_equal(nodata, np.isnan(cube))
    # Filled with the band's own mean of its valid values: no new extremes for a codec to pay for.
    for b in range(2):
        assert filled[..., b][nodata[..., b]] == pytest.approx(np.nanmean(cube[..., b].astype(np.float64)), rel=1e-6)
    blob = peers.encode_mask(nodata)
    assert 0 < len(blob) < nodata.size // 8 + 100
    assert np.array_equal(np.isnan(peers.restore_nodata(filled, blob)), nodata)
    assert peers.encode_mask(np.zeros((2, 3), bool)) == b"" and not peers.decode_mask(b"", (2, 3)).any()


@pytest.mark.parametrize("bound", [0.5, 0.01, 1e-4])
def test_quantise_lorenzo_xz_keeps_every_value_within_the_bound(bound):
    cube = _cube()
    blob = peers.qlx_compress(cube, bound)
    out, dims = peers.qlx_decompress(blob)
    assert out.dtype == np.float32 and out.shape == cube.shape and dims in (2, 3)
    err = np.abs(out.astype(np.float64) - cube.astype(np.float64)).max()
    assert err <= bound
    # The step is just under 2E: the largest error comes close to the bound where float32 allows.
    if bound >= 0.01:
        assert err > 0.5 * bound


def test_quantise_step_leaves_room_for_float32_rounding_and_refuses_what_float32_cannot_hold():
    step = peers.quantization_step(0.01, 300.0)
    assert step < 0.02 and 0.01 - step / 2 >= np.spacing(np.float32(300.0)) / 2
    assert peers.quantization_step(1e-6, 300.0) is None
    with pytest.raises(RuntimeError, match="resolution"):
        peers.qlx_compress(_cube(), 1e-6)
    with pytest.raises(ValueError, match="not a quantise"):
        peers.qlx_decompress(b"nonsense")


def test_zfp_tuned_tolerance_is_the_largest_that_keeps_the_bound():
    pytest.importorskip("zfpy")
    cube = _cube()
    valid = np.ones(cube.shape, bool)
    bound = 0.05
    tol, blob = peers.zfp_tuned_tolerance(cube, valid, bound)
    dec = peers.zfp_decompress(blob, cube.shape)
    assert tol >= bound and peers.max_valid_error(cube, dec, valid) <= bound
    # A slightly larger tolerance either breaks the bound or changes nothing: the search went as far as it could.
    above = peers.zfp_compress(cube, tol * 1.01)
    assert peers.max_valid_error(cube, peers.zfp_decompress(above, cube.shape), valid) > bound or above == blob
    assert len(blob) <= len(peers.zfp_compress(cube, bound))


def test_peer_rows_on_a_cube_with_no_data_keep_their_promises_and_pay_for_the_mask(tmp_path):
    pytest.importorskip("zfpy")
    cube = _cube(C=1)
    cube[0, :4, :4] = np.nan
    raw = cube.size * 4
    rows, decoded = compare.other_rows(cube, 0.2, raw, str(tmp_path), "v", log=lambda *a: None)
    names = [r.compressor for r in rows]
    assert names[:3] == ["ZFP fixed-accuracy", "ZFP tuned to the bound", "quantise 2E + Lorenzo + xz"]
    mask_file = tmp_path / "v.nodata.xz"
    for r in rows:
        assert r.ok, r
        assert r.mask_bytes == mask_file.stat().st_size > 0
        assert r.bytes == (tmp_path / r.file).stat().st_size + r.mask_bytes
        assert r.bits_per_value == pytest.approx(8 * r.bytes / cube.size)
        assert np.array_equal(np.isnan(decoded[r.compressor]), np.isnan(cube))
    assert {r.promise for r in rows if "lossless" in r.compressor or "Zstandard" in r.compressor} == {"lossless"}
    by = {r.compressor: r for r in rows}
    assert by["ZFP tuned to the bound"].bytes <= by["ZFP fixed-accuracy"].bytes


def test_rate_distortion_plot_and_sweep_bounds(tmp_path):
    cube = _cube()
    cube[0, 0, 0, 0] = np.nan
    span = float(np.nanmax(cube) - np.nanmin(cube))
    bounds = compare.sweep_bounds(cube)
    assert [f for f, _ in bounds] == list(compare.SWEEP_FRACTIONS)
    assert bounds[0][1] == pytest.approx(0.1 * span) and bounds[-1][1] == pytest.approx(1e-4 * span)
    rows = [compare.Row("A", "a", 10 * k, 1.0, 0.1 / k, 0.1 / k, 0.2 / k, "|err| <= 1", k != 2, 0, 0, 0,
                        bits_per_value=float(k), bound=1.0 / k) for k in (1, 2, 3)]
    rows.append(compare.Row("B", "b", 50, 1.0, 0, 0, 0, "lossless", True, 0, 0, 0, bits_per_value=5.0))
    png = tmp_path / "rd.png"
    compare.plot_rate_distortion(str(png), rows, title="t")
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
