"""The command line end to end on tiny real files: NetCDF and Zarr in, containers, decoded Zarr
stores, the comparison table, and one-line errors for bad input."""
import io
import json
import os
import re
import subprocess
import sys
from contextlib import redirect_stderr, redirect_stdout

import numpy as np
import pytest

from pyqelm import cli, compare
from pyqelm.encoder.streaming_sources import decode_cf_times, encode_cf_times

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# A tiny network and short training: a few seconds per encode on two cores.
TINY = ["--preset", "tiny", "--xy-hash-size", "8", "--t-hash-size", "8", "--epochs", "1", "--batch-size", "64",
        "--backend", "reference", "--device", "cpu", "--precision", "float32", "-q"]
LAT = np.array([-60.5, -31.0, -9.75, 9.75, 31.0, 60.5])  # unevenly spaced, like a Gaussian grid
LON = np.arange(8) * 45.0
FILL = 1e20


def _field(T=4, H=6, W=8):
    t, y, x = np.meshgrid(np.arange(T), np.arange(H), np.arange(W), indexing="ij")
    return (280 + 10 * np.sin(x / 2.0) + 5 * np.cos(y / 3.0) + 2 * t).astype(np.float32)


@pytest.fixture(scope="module")
def nc_file(tmp_path_factory):
    netCDF4 = pytest.importorskip("netCDF4")
    path = str(tmp_path_factory.mktemp("nc") / "tas.nc")
    data = _field()
    data[1, 2, 3] = FILL  # no-data pixels
    data[3, 0, 0] = FILL
    with netCDF4.Dataset(path, "w", format="NETCDF3_CLASSIC") as ds:
        ds.title = "tiny test field"
        ds.createDimension("time", None)
        ds.createDimension("lat", 6)
        ds.createDimension("lon", 8)
        t = ds.createVariable("time", "f8", ("time",))
        t.units, t.calendar = "days since 2000-01-01 00:00:00", "proleptic_gregorian"
        t[:] = [15.5, 45.0, 74.5, 105.0]
        la = ds.createVariable("lat", "f8", ("lat",))
        la.units, la.standard_name = "degrees_north", "latitude"
        la[:] = LAT
        lo = ds.createVariable("lon", "f8", ("lon",))
        lo.units = "degrees_east"
        lo[:] = LON
        v = ds.createVariable("tas", "f4", ("time", "lat", "lon"), fill_value=FILL)
        v.units, v.long_name = "K", "Near-Surface Air Temperature"
        v.set_auto_maskandscale(False)
        v[:] = data
    return path


@pytest.fixture
def zarr_store(tmp_path):
    """A two-band (time, y, x, band) Zarr v2 store with regular projected coordinates."""
    zarr = pytest.importorskip("zarr")
    path = str(tmp_path / "refl.zarr")
    g = zarr.open_group(path, mode="w")
    T, H, W = 3, 5, 7
    base = _field(T, H, W)
    cube = np.stack([base / 300.0, base / 600.0], axis=-1).astype(np.float32)
    a = g.create_dataset("refl", data=cube, chunks=(1, H, W, 2), fill_value=-1.0)
    a.attrs.update(_ARRAY_DIMENSIONS=["time", "y", "x", "band"], units="1")
    t = g.create_dataset("time", data=np.array([0, 24, 48], dtype="i8"))
    t.attrs.update(_ARRAY_DIMENSIONS=["time"], units="hours since 2021-06-01", calendar="standard")
    y = g.create_dataset("y", data=5000.0 - 30.0 * (np.arange(H) + 0.5))
    y.attrs["_ARRAY_DIMENSIONS"] = ["y"]
    x = g.create_dataset("x", data=1000.0 + 30.0 * (np.arange(W) + 0.5))
    x.attrs["_ARRAY_DIMENSIONS"] = ["x"]
    b = g.create_dataset("band", data=np.array(["red", "nir"]))
    b.attrs["_ARRAY_DIMENSIONS"] = ["band"]
    return path, cube


@pytest.fixture(scope="module")
def encoded(nc_file, tmp_path_factory):
    """nc_file encoded once with residuals at 0.005: (standard file, rectified file, encode output)."""
    folder = tmp_path_factory.mktemp("enc")
    out = folder / "tas.qelm"
    argv = ["encode", nc_file, out, "--max-error", "0.005", *TINY]
    text, err = io.StringIO(), io.StringIO()
    scratch = folder / "scratch"
    scratch.mkdir()
    old = os.environ.get("PYQELM_TMPDIR")
    os.environ["PYQELM_TMPDIR"] = str(scratch)
    try:
        with redirect_stdout(text), redirect_stderr(err):
            rc = cli.main([str(a) for a in argv])
    finally:
        if old is None:
            del os.environ["PYQELM_TMPDIR"]
        else:
            os.environ["PYQELM_TMPDIR"] = old
    assert rc == 0, err.getvalue()
    assert list(scratch.iterdir()) == []  # the temporary Zarr copy is gone
    return out, folder / "tas-rectified.qelm", text.getvalue()


def run(capsys, *argv):
    rc = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return rc, out, err


# ---- NetCDF in, container out, Zarr back --------------------------------------------------------

def test_netcdf_encode_decode_roundtrip_keeps_variable_coordinates_time_and_bound(nc_file, encoded, tmp_path, capsys):
    xr = pytest.importorskip("xarray")
    out, rect, text = encoded
    assert "raw size    768 bytes (T x H x W x C x 4 bytes of float32)" in text
    assert f"{rect}: {rect.stat().st_size:,} bytes" in text
    assert "every valid value, after residuals" in text and "holds" in text

    rc, _, err = run(capsys, "decode", rect, tmp_path / "dec.zarr")
    assert rc == 0, err
    ds = xr.open_zarr(str(tmp_path / "dec.zarr"))
    da = ds["tas"]
    assert da.dims == ("time", "lat", "lon")
    assert da.attrs["units"] == "K" and da.attrs["long_name"] == "Near-Surface Air Temperature"
    assert ds.attrs["title"] == "tiny test field"
    np.testing.assert_array_equal(ds["lat"].values, LAT)  # irregular axis: stored values
    np.testing.assert_allclose(ds["lon"].values, LON, atol=1e-9)  # regular axis: rebuilt from the transform
    assert ds["lat"].attrs["standard_name"] == "latitude"
    assert list(ds["time"].values.astype("datetime64[s]").astype(str)) == [
        "2000-01-16T12:00:00", "2000-02-15T00:00:00", "2000-03-15T12:00:00", "2000-04-15T00:00:00"]
    assert ds["time"].encoding["units"] == "days since 2000-01-01 00:00:00"
    assert ds["time"].encoding["calendar"] == "proleptic_gregorian"
    values = da.values
    truth = _field()
    nodata = np.zeros(truth.shape, bool)
    nodata[1, 2, 3] = nodata[3, 0, 0] = True
    assert np.isnan(values[nodata]).all() and np.isfinite(values[~nodata]).all()
    assert np.abs(values[~nodata] - truth[~nodata]).max() <= 0.005

    rc, text, err = run(capsys, "verify", nc_file, tmp_path / "dec.zarr", "--max-error", "0.005")
    assert rc == 0 and "every valid value within 0.005" in text, err
    # The network alone does not meet so tight a bound: the standard file fails it, loudly.
    rc, _, err = run(capsys, "verify", nc_file, out, "--max-error", "0.005")
    assert rc == cli.EXIT_BOUND and "VIOLATED" in err and len(err.strip().splitlines()) == 1

    rc, text, err = run(capsys, "inspect", rect)
    assert rc == 0, err
    assert "variable      tas (time, lat, lon) [K]" in text
    # The threshold is the bound less a float32 rounding allowance.
    assert re.search(r"residuals +[1-9][\d,]* values, threshold 0\.004[5-9]\d*,", text), text
    rc, text, _ = run(capsys, "inspect", rect, "--json")
    rec = json.loads(text)
    cm = rec["chunks"][0]["chunk_meta"]
    assert rec["meta"]["shape"] == [4, 6, 8, 1] and cm["has_residuals"]
    assert cm["extras"]["source"]["coords"]["lat"]["values"] == LAT.tolist()
    assert cm["extras"]["quality_metrics"]["source"] == "residual"
    assert cm["extras"]["quality_metrics"]["bands"][0]["max"] < 0.005


def test_zarr_chunk_blob_decodes_with_bands_and_projected_axes(zarr_store, tmp_path, capsys):
    xr = pytest.importorskip("xarray")
    path, cube = zarr_store
    out = tmp_path / "refl.qelmc"
    rc, text, err = run(capsys, "encode", path, out, "--chunk-blob", "--max-error", "0.01", *TINY)
    assert rc == 0, err
    assert out.is_file() and (tmp_path / "refl.qelmc.meta.json").is_file()
    assert "bare chunk blob" in text
    rc, _, err = run(capsys, "decode", out, tmp_path / "dec.zarr")
    assert rc == 0, err
    ds = xr.open_zarr(str(tmp_path / "dec.zarr"))
    da = ds["refl"]
    assert da.dims == ("time", "y", "x", "band")
    assert list(ds["band"].values) == ["red", "nir"]
    np.testing.assert_allclose(ds["x"].values, 1000.0 + 30.0 * (np.arange(7) + 0.5))
    np.testing.assert_allclose(ds["y"].values, 5000.0 - 30.0 * (np.arange(5) + 0.5))
    assert str(ds["time"].values[1].astype("datetime64[h]")) == "2021-06-02T00"
    assert np.abs(da.values - cube).max() <= 0.01
    rc, text, err = run(capsys, "inspect", out)
    assert rc == 0 and "bare chunk blob" in text and "band          nir" in text, err


def test_zarr_streaming_encode_decodes(zarr_store, tmp_path, capsys):
    xr = pytest.importorskip("xarray")
    path, _ = zarr_store
    rc, text, err = run(capsys, "encode", path, tmp_path / "s.qelm", "--streaming", *TINY)
    if "streaming source is not available in this build" in err:
        pytest.skip("this build of the engine cannot train from a streaming source")
    assert rc == 0, err
    assert "network only" in text
    rc, _, err = run(capsys, "decode", tmp_path / "s.qelm", tmp_path / "s.zarr")
    assert rc == 0, err
    assert xr.open_zarr(str(tmp_path / "s.zarr"))["refl"].shape == (3, 5, 7, 2)


def test_raster_folder_keeps_grid_crs_and_per_frame_nodata(tmp_path, capsys):
    rasterio = pytest.importorskip("rasterio")
    from rasterio.transform import from_origin

    xr = pytest.importorskip("xarray")
    folder = tmp_path / "tiles"
    folder.mkdir()
    field = (_field(3, 5, 6) * 10).astype(np.int16)  # stored x 0.1 = physical
    field[0, 1, 1] = field[2, 4, 5] = -999  # no-data in one frame each
    transform = from_origin(500000.0, 4200000.0, 30.0, 30.0)
    for t, day in enumerate(("20200101", "20200111", "20200121")):
        with rasterio.open(folder / f"ndvi_{day}.tif", "w", driver="GTiff", height=5, width=6, count=1,
                           dtype="int16", transform=transform, crs="EPSG:32633", nodata=-999) as dst:
            dst.write(field[t][None])
    out = tmp_path / "f.qelm"
    # Residuals of integers are whole data numbers (0.1 here): a bound under half of one is refused.
    rc, _, err = run(capsys, "encode", folder, out, "--scale-factor", "0.1", "--max-error", "0.02", *TINY)
    assert rc == 1 and "below half the step of the stored int16 values (0.05)" in err
    rc, text, err = run(capsys, "encode", folder, out, "--scale-factor", "0.1", "--max-error", "0.06", *TINY)
    assert rc == 0, err
    assert "stored as int16" in text and "(T x H x W x C x 2 bytes of int16)" in text
    best = tmp_path / "f-rectified.qelm"
    rc, _, err = run(capsys, "decode", best if best.exists() else out, tmp_path / "f.zarr")
    assert rc == 0, err
    ds = xr.open_zarr(str(tmp_path / "f.zarr"))
    da = ds["data"]
    assert da.dims == ("time", "y", "x")
    np.testing.assert_allclose(ds["x"].values, 500000.0 + 30.0 * (np.arange(6) + 0.5))
    np.testing.assert_allclose(ds["y"].values, 4200000.0 - 30.0 * (np.arange(5) + 0.5))
    assert "32633" in ds["spatial_ref"].attrs["crs_wkt"] and da.attrs["grid_mapping"] == "spatial_ref"
    values = da.values
    nodata = field == -999
    # No-data differs between frames, so the mask is kept per frame (a static mask would keep
    # only pixels missing in every frame and fill these two with predictions).
    assert np.isnan(values[nodata]).all() and np.isfinite(values[~nodata]).all()
    assert np.abs(values[~nodata] - field[~nodata] * np.float32(0.1)).max() <= 0.06


# ---- input and output without training ---------------------------------------------------------

def test_packed_netcdf_unpacks_and_several_variables_need_a_choice(tmp_path):
    netCDF4 = pytest.importorskip("netCDF4")
    from pyqelm.pipeline import SourceOptions, detect_source, read_cube

    path = str(tmp_path / "packed.nc")
    packed = np.arange(2 * 3 * 4, dtype=np.int16).reshape(2, 3, 4)
    packed[1, 2, 3] = -32767
    with netCDF4.Dataset(path, "w") as ds:  # NetCDF-4 (HDF5 underneath)
        for name, n in (("time", 2), ("y", 3), ("x", 4), ("lev", 2)):
            ds.createDimension(name, n)
        t = ds.createVariable("time", "i4", ("time",))
        t.units = "hours since 1990-01-01"
        t[:] = [0, 6]
        for name in ("u", "v"):
            v = ds.createVariable(name, "i2", ("time", "y", "x"), fill_value=-32767)
            v.scale_factor, v.add_offset = 0.01, 250.0
            v.set_auto_maskandscale(False)
            v[:] = packed
        ds.createVariable("w", "f4", ("time", "lev", "y", "x"))
    assert detect_source(path) == "netcdf"
    cube, info = read_cube(path, SourceOptions(variable="u"))
    expected = packed.astype(np.float64) * 0.01 + 250.0
    assert info["dtype"] == "int16" and cube.shape == (2, 3, 4, 1)
    assert np.isnan(cube[1, 2, 3, 0])
    ok = packed != -32767
    np.testing.assert_allclose(cube[..., 0][ok], expected[ok], rtol=0, atol=1e-4)
    with pytest.raises(ValueError, match=r"several data variables .*\['u', 'v', 'w'\].*--variable"):
        read_cube(path, SourceOptions())
    with pytest.raises(ValueError, match="dimensions"):  # a vertical level is not a band axis
        read_cube(path, SourceOptions(variable="w"))


def test_zarr_writer_restores_band_first_layout_and_default_time_units(tmp_path):
    xr = pytest.importorskip("xarray")
    from pyqelm.export import write_zarr
    from pyqelm.format import Meta

    cube = np.arange(2 * 3 * 4 * 2, dtype=np.float32).reshape(2, 3, 4, 2)
    cube[0, 1, 1, :] = np.nan
    meta = Meta(shape=[2, 3, 4, 2], dtype="uint16", bands=[{"name": "lai"}, {"name": "fpar"}],
                transform=[10.0, 0.0, 0.0, 0.0, -10.0, 30.0], crs="EPSG:3857",
                time={"values": ["2020-01-01T00:00:00Z", "2020-01-09T00:00:00Z"], "calendar": "gregorian"})
    source = {"variable": "lai_fpar", "dims": ["time", "band", "y", "x"], "attrs": {"long_name": "leaf area"}}
    name = write_zarr(cube, meta, source, str(tmp_path / "o.zarr"))
    ds = xr.open_zarr(str(tmp_path / "o.zarr"))
    da = ds[name]
    assert name == "lai_fpar" and da.dims == ("time", "band", "y", "x")
    np.testing.assert_array_equal(da.transpose("time", "y", "x", "band").values, cube)  # NaN where NaN
    assert list(ds["band"].values) == ["lai", "fpar"] and list(ds["y"].values) == [25.0, 15.0, 5.0]
    assert ds["time"].encoding["units"] == "days since 1970-01-01 00:00:00"
    assert str(ds["time"].values[1])[:10] == "2020-01-09"
    with pytest.raises(ValueError, match="exists; pass --force"):
        write_zarr(cube, meta, source, str(tmp_path / "o.zarr"))
    # Without a source description: generic names, x/y from the transform, band last.
    name = write_zarr(cube, meta, None, str(tmp_path / "o.zarr"), force=True)
    assert name == "data" and xr.open_zarr(str(tmp_path / "o.zarr"))["data"].dims == ("time", "y", "x", "band")


def test_threshold_allowance_and_integer_steps():
    from pyqelm.pipeline import check_integer_step, choose_mask_mode, residual_threshold

    t = residual_threshold(0.1, [[200.0, 320.0]])
    assert 0.0995 < t < 0.1  # a few float32 roundings of values near 320 below the bound
    assert residual_threshold(0.1, [[0.0, 1.0]]) > t  # smaller values round less
    with pytest.raises(ValueError, match="below what float32 resolves"):
        residual_threshold(1e-5, [[1e4, 2e4]])
    ints = {"band_scales": [0.5, 0.1], "src_dtype": "uint16"}
    check_integer_step(0.26, ints, (1, 1))
    with pytest.raises(ValueError, match="half the step"):
        check_integer_step(0.2, ints, (1, 1))
    check_integer_step(0.2, dict(ints, src_dtype="float32"), (1, 1))  # float residuals are not stepped
    check_integer_step(0.2, ints, (2, 2))  # blocks store residuals per frame, not in steps
    logged = []
    assert choose_mask_mode("auto", True, logged.append) == "dynamic"
    assert choose_mask_mode("auto", False, logged.append) == "static" and not logged
    assert choose_mask_mode("static", True, logged.append) == "static" and "warning" in logged[0]


# ---- the comparison -----------------------------------------------------------------------------

def test_compare_checks_every_compressor_and_plots(nc_file, tmp_path, capsys):
    work = tmp_path / "work"
    png = tmp_path / "cmp.png"
    rc, text, err = run(capsys, "compare", nc_file, "--max-error", "0.005", "--workdir", work, "--json",
                        "--plot", png, "--frame", "1", *TINY)
    rep = json.loads(text)  # the JSON alone: progress and notes go to standard error
    rows = {r["compressor"]: r for r in rep["rows"]}
    assert set(rows) == {"pyqelm + residuals", "ZFP fixed-accuracy", "fpzip lossless", "Zstandard -19"}
    assert rep["raw_bytes"] == 4 * 6 * 8 * 4
    for r in rows.values():
        assert r["bytes"] == os.path.getsize(work / r["file"])  # sizes are files on disk
        assert r["ratio"] == pytest.approx(rep["raw_bytes"] / r["bytes"])
    for name in ("pyqelm + residuals", "fpzip lossless", "Zstandard -19"):
        assert rows[name]["ok"] and rows[name]["violations"] == 0, rows[name]
    assert rows["pyqelm + residuals"]["max_error"] <= 0.005 and rows["ZFP fixed-accuracy"]["max_error"] <= 0.005
    assert rows["fpzip lossless"]["max_error"] == 0 and rows["Zstandard -19"]["rmse"] == 0
    # ZFP keeps every valid value within the bound but turns the two NaN pixels into numbers:
    # a broken promise, reported (exit status 3) rather than hidden.
    zfp = rows["ZFP fixed-accuracy"]
    assert not zfp["ok"] and zfp["violations"] == 2 and "2 no-data values decoded as data" in zfp["note"]
    assert rc == cli.EXIT_BOUND and "ZFP fixed-accuracy (2 values)" in err
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_compare_reports_a_broken_promise(nc_file, encoded, capsys, monkeypatch):
    real = compare.zfp_roundtrip

    def off_by_a_lot(cube, bound, path):
        size, out, e, d = real(cube, bound, path)
        out = out.copy()
        out[0, 0, 0, 0] += 10 * bound
        return size, out, e, d

    monkeypatch.setattr(compare, "zfp_roundtrip", off_by_a_lot)
    rc, text, err = run(capsys, "compare", nc_file, "--max-error", "0.005", "--qelm", encoded[1])
    assert rc == cli.EXIT_BOUND
    assert "VIOLATED (3 values)" in text and "ZFP fixed-accuracy (3 values)" in err
    assert "1 valid values off by more than 0.005; 2 no-data values decoded as data" in text


def test_bound_and_lossless_checks_count_every_kind_of_fault():
    orig = np.array([1.0, 2.0, np.nan, 4.0], dtype=np.float32)
    assert compare.check_bound(orig, orig + np.float32(0.04), 0.05) == 0
    assert compare.check_bound(orig, np.array([1.0, 2.2, np.nan, 4.0], np.float32), 0.1) == 1  # too far
    assert compare.check_bound(orig, np.array([1.0, np.nan, np.nan, 4.0], np.float32), 0.1) == 1  # data lost
    assert compare.check_bound(orig, np.array([1.0, 2.0, 3.0, 4.0], np.float32), 0.1) == 1  # no-data filled
    assert compare.check_lossless(orig, orig.copy()) == 0
    assert compare.check_lossless(orig, np.nextafter(orig, np.float32(10))) == 3  # one ulp is not lossless
    rmse, mae, mx, n = compare.error_stats(orig, np.array([1.0, 2.0, 0.0, np.nan], np.float32))
    assert n == 3 and mx == np.inf


def test_fpzip_is_bit_exact_with_nan_and_bands():
    rng = np.random.default_rng(1)
    cube = rng.normal(size=(3, 5, 6, 2)).astype(np.float32)
    cube[1, 2, 3, 0] = np.nan
    cube[2, 0, 0, 1] = -0.0
    try:
        blob = compare.fpzip_compress(cube)
    except RuntimeError as e:
        pytest.skip(str(e))
    out = compare.fpzip_decompress(blob)
    assert out.shape == cube.shape and compare.check_lossless(cube, out) == 0


def test_cf_time_encoding_inverts_decoding():
    cases = [("days since 1850-01-01 00:00:00", "proleptic_gregorian", [0.0, 56993.5, 57023.0]),
             ("hours since 2021-06-01T06:00:00Z", "standard", [-6.0, 0.0, 1.5]),
             ("seconds since 1500-03-01", "standard", [0.0, 86400.0 * 400]),  # Julian reference date
             ("minutes since 2000-01-01 00:00:00+02:00", "gregorian", [0.0, 90.0])]
    for units, cal, values in cases:
        stamps = [d.isoformat() for d in decode_cf_times(np.array(values), units, cal)]
        np.testing.assert_allclose(encode_cf_times(stamps, units, cal), values, rtol=0, atol=1e-9)
    assert encode_cf_times(["2000-01-02T00:00:00Z"], "days since 2000-01-01", None)[0] == 1.0
    with pytest.raises(ValueError, match="calendar"):
        encode_cf_times(["2000-01-01"], "days since 2000-01-01", "noleap")


# ---- bad input: one line, non-zero exit --------------------------------------------------------

def test_bad_input_gives_one_line_and_nonzero_exit(nc_file, encoded, tmp_path, capsys, monkeypatch):
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setenv("PYQELM_TMPDIR", str(scratch))
    good = encoded[0]
    blob = bytearray(good.read_bytes())
    blob[len(blob) // 2] ^= 0xFF
    bad = tmp_path / "bad.qelm"
    bad.write_bytes(bytes(blob))
    (tmp_path / "notes.txt").write_text("not data")
    cases = [
        (("encode", tmp_path / "missing.nc", tmp_path / "o.qelm"), 1, "no such file or folder"),
        (("encode", nc_file, tmp_path / "o.qelm", "--variable", "pr", *TINY), 1, "variable 'pr' not found"),
        (("encode", tmp_path / "notes.txt", tmp_path / "o.qelm"), 1, "neither a Zarr store"),
        (("encode", nc_file, tmp_path / "o.txt", *TINY), 1, "must end in .qelm"),
        (("encode", nc_file, good, *TINY), 1, "exists; pass --force"),
        (("encode", nc_file, tmp_path / "o.qelm", "--streaming", "--max-error", "1"), 1, "drop --streaming"),
        (("encode", nc_file, tmp_path / "o.qelm", "--valid-range", "300", "200"), 1, "MIN < MAX"),
        (("encode", nc_file, tmp_path / "o.qelm", "--batch-size", "-4"), 2, "--batch-size: must be >= 1"),
        (("encode", nc_file, tmp_path / "o.qelm", "--max-error", "nan"), 2, "finite"),
        (("encode", nc_file, tmp_path / "o.qelm", "--preset", "huge"), 2, "invalid choice: 'huge'"),
        (("encode", nc_file, tmp_path / "o.qelm", "--norm-mode", "2", *TINY), 1, "affine transform"),
        (("decode", bad, tmp_path / "d.zarr"), 1, "corrupted"),
        (("inspect", bad), 1, "corrupted"),
        (("inspect", tmp_path / "notes.txt"), 1, "not a ZIP container"),
        (("decode", good, tmp_path / "notes.txt"), 1, "exists; pass --force"),
        (("decode", tmp_path / "x.qelmc", tmp_path / "d.zarr"), 1, "no such file"),
        (("compare", nc_file), 2, "--max-error"),
    ]
    for argv, code, words in cases:
        rc, out, err = run(capsys, *argv)
        assert rc == code, (argv, rc, err)
        assert words in err, (argv, err)
        assert len(err.strip().splitlines()) == 1 and "Traceback" not in err, (argv, err)
    assert list(scratch.iterdir()) == []  # removed even when the run failed after converting


def test_module_entry_point_runs_and_keeps_errors_to_one_line(tmp_path):
    env = dict(os.environ, PYTHONPATH=ROOT)
    r = subprocess.run([sys.executable, "-m", "pyqelm", "inspect", str(tmp_path / "none.qelm")],
                       capture_output=True, text=True, env=env, timeout=120)
    assert r.returncode == 1 and r.stderr.strip().count("\n") == 0 and "no such file" in r.stderr
    r = subprocess.run([sys.executable, "-m", "pyqelm", "encode", "--help"], capture_output=True, text=True,
                       env=env, timeout=120)
    assert r.returncode == 0 and "--max-error" in r.stdout and "model presets" in r.stdout


def test_presets_table_in_readme_matches_the_networks():
    from pyqelm.presets import PRESETS, network_parameter_count, parameter_count, preset_sizes

    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        rows = {line.split("|")[1].strip(): line for line in f if line.startswith("| `")}
    for name in PRESETS:
        count = parameter_count(preset_sizes(name))
        assert f"| {count:,} |" in rows[f"`{name}`"], (name, count)
    for name in ("tiny", "small", "medium"):  # the fast count is the built network's
        assert parameter_count(preset_sizes(name), n_bands=3) == network_parameter_count(preset_sizes(name), 3)
