"""The command line end to end on tiny real files: NetCDF and Zarr in, containers, decoded Zarr
stores, the comparison table, and one-line errors for bad input."""
import io
import json
import os
import re
import subprocess
import sys
from contextlib import redirect_stderr, redirect_stdout

import netCDF4
import numpy as np
import pytest
import rasterio
import xarray as xr
import zarr

from conftest import IMPORT_ROOT, INSTALLED
from pyqelm import cli, compare
from pyqelm.encoder.streaming_sources import decode_cf_times, encode_cf_times
from pyqelm.export import write_zarr
from pyqelm.format import Meta
from pyqelm.pipeline import (SourceOptions, check_integer_step, choose_mask_mode, detect_source, read_cube,
                             residual_threshold)
from pyqelm.presets import PRESETS, network_parameter_count, parameter_count, preset_sizes

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
    path, data = str(tmp_path_factory.mktemp("nc") / "tas.nc"), _field()
    data[1, 2, 3] = data[3, 0, 0] = FILL  # no-data pixels
    with netCDF4.Dataset(path, "w", format="NETCDF3_CLASSIC") as ds:
        ds.title = "tiny test field"
        for name, n, values, attrs in (
                ("time", None, [15.5, 45.0, 74.5, 105.0],
                 dict(units="days since 2000-01-01 00:00:00", calendar="proleptic_gregorian")),
                ("lat", 6, LAT, dict(units="degrees_north", standard_name="latitude")),
                ("lon", 8, LON, dict(units="degrees_east"))):
            ds.createDimension(name, n)
            ds.createVariable(name, "f8", (name,)).setncatts(attrs)
            ds[name][:] = values
        ds.createVariable("tas", "f4", ("time", "lat", "lon"), fill_value=FILL)[:] = data
        ds["tas"].setncatts(dict(units="K", long_name="Near-Surface Air Temperature"))
    return path


@pytest.fixture(scope="module")
def encoded(nc_file, tmp_path_factory):
    """nc_file encoded once with residuals at 0.005: (network-only file, bounded file, encode output)."""
    folder = tmp_path_factory.mktemp("enc")
    text, err, scratch = io.StringIO(), io.StringIO(), folder / "scratch"
    scratch.mkdir()
    with pytest.MonkeyPatch.context() as mp, redirect_stdout(text), redirect_stderr(err):
        mp.setenv("PYQELM_TMPDIR", str(scratch))
        rc = cli.main(["encode", nc_file, str(folder / "tas.qelm"), "--max-error", "0.005",
                       "--network-output", str(folder / "tas-network.qelm"), *TINY])
    assert rc == 0 and list(scratch.iterdir()) == [], err.getvalue()  # the temporary Zarr copy is gone
    assert sorted(p.name for p in folder.iterdir()) == ["scratch", "tas-network.qelm", "tas.qelm"]
    return folder / "tas-network.qelm", folder / "tas.qelm", text.getvalue()


def run(capsys, *argv, code=0):
    """One command: its exit status must be `code`; returns (stdout, stderr)."""
    rc = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert rc == code, (argv, rc, err)
    return out, err


def decode(capsys, container, store):
    run(capsys, "decode", container, store)
    return xr.open_zarr(str(store))


# ---- NetCDF in, container out, Zarr back --------------------------------------------------------

def test_netcdf_encode_decode_roundtrip_keeps_variable_coordinates_time_and_bound(nc_file, encoded, tmp_path, capsys):
    out, rect, text = encoded
    assert "raw size    768 bytes (T x H x W x C x 4 bytes of float32)" in text
    assert "decoded and measured against the source: 190 valid values" in text and "within 0.005" in text
    assert f"{rect}: {rect.stat().st_size:,} bytes" in text
    assert "every valid value of the decoded output, against the source" in text

    ds = decode(capsys, rect, tmp_path / "dec.zarr")
    da = ds["tas"]
    assert da.dims == ("time", "lat", "lon") and ds.attrs["title"] == "tiny test field"
    assert (da.attrs["units"], da.attrs["long_name"]) == ("K", "Near-Surface Air Temperature")
    # An irregular axis keeps its stored values; a regular one is rebuilt from the transform.
    assert ds["lat"].values.tolist() == LAT.tolist() and ds["lat"].attrs["standard_name"] == "latitude"
    np.testing.assert_allclose(ds["lon"].values, LON, atol=1e-9)
    assert list(ds["time"].values.astype("datetime64[s]").astype(str)) == [
        "2000-01-16T12:00:00", "2000-02-15T00:00:00", "2000-03-15T12:00:00", "2000-04-15T00:00:00"]
    assert (ds["time"].encoding["units"], ds["time"].encoding["calendar"]) == (
        "days since 2000-01-01 00:00:00", "proleptic_gregorian")
    # NaN exactly at the two no-data pixels; an infinity anywhere else would fail the bound.
    assert np.argwhere(np.isnan(da.values)).tolist() == [[1, 2, 3], [3, 0, 0]]
    assert np.nanmax(np.abs(da.values - _field())) <= 0.005

    assert "every valid value within 0.005" in run(capsys, "verify", nc_file, tmp_path / "dec.zarr",
                                                   "--max-error", "0.005")[0]
    # The network alone, trained to the bound, may meet 0.005 on so small a cube; it cannot meet a
    # bound fifty times tighter, and the network-only file then fails it, loudly.
    _, err = run(capsys, "verify", nc_file, out, "--max-error", "0.0001", code=cli.EXIT_BOUND)
    assert "VIOLATED" in err and len(err.strip().splitlines()) == 1

    text = run(capsys, "inspect", rect)[0]
    assert "variable      tas (time, lat, lon) [K]" in text and "error bound   every valid value within 0.005" in text
    assert "error bound   none (no residual track" in run(capsys, "inspect", out)[0]
    # Codes of a step just under twice the bound.
    assert re.search(r"residuals +bound 0\.005 \(every valid value\): codes of step 0\.009\d*, [\d,]+ values "
                     r"corrected \(bound_codes_v1\)", text), text
    rec = json.loads(run(capsys, "inspect", rect, "--json")[0])
    assert rec["meta"]["shape"] == [4, 6, 8, 1] and rec["chunks"][0]["chunk_meta"]["has_residuals"]


def test_zarr_store_as_chunk_blob_and_streamed_decodes_with_bands_and_projected_axes(tmp_path, capsys):
    path, (T, H, W) = str(tmp_path / "refl.zarr"), (3, 5, 7)
    g = zarr.open_group(path, mode="w")
    cube = np.stack([_field(T, H, W) / 300.0, _field(T, H, W) / 600.0], axis=-1).astype(np.float32)
    g.create_dataset("refl", data=cube, chunks=(1, H, W, 2), fill_value=-1.0).attrs.update(
        _ARRAY_DIMENSIONS=["time", "y", "x", "band"], units="1")
    hours = dict(units="hours since 2021-06-01", calendar="standard")
    for name, values, attrs in (("time", np.arange(0, 72, 24), hours), ("band", np.array(["red", "nir"]), {}),
                                ("y", 5000.0 - 30.0 * (np.arange(H) + 0.5), {}),
                                ("x", 1000.0 + 30.0 * (np.arange(W) + 0.5), {})):
        g.create_dataset(name, data=values).attrs.update(_ARRAY_DIMENSIONS=[name], **attrs)
    out = tmp_path / "refl.qelmc"
    assert "bare chunk blob" in run(capsys, "encode", path, out, "--chunk-blob", "--max-error", "0.01", *TINY)[0]
    assert (tmp_path / "refl.qelmc.meta.json").is_file()
    ds = decode(capsys, out, tmp_path / "dec.zarr")
    assert ds["refl"].dims == ("time", "y", "x", "band") and list(ds["band"].values) == ["red", "nir"]
    np.testing.assert_allclose(np.r_[ds["x"].values, ds["y"].values], np.r_[g["x"][:], g["y"][:]])
    assert str(ds["time"].values[1].astype("datetime64[h]")) == "2021-06-02T00"
    assert np.abs(ds["refl"].values - cube).max() <= 0.01
    text = run(capsys, "inspect", out)[0]
    assert "bare chunk blob" in text and "band          nir" in text
    # Streamed from the store: the network alone, decoded to the same layout.
    assert "network only" in run(capsys, "encode", path, tmp_path / "s.qelm", "--streaming", *TINY)[0]
    assert decode(capsys, tmp_path / "s.qelm", tmp_path / "s.zarr")["refl"].shape == (3, 5, 7, 2)


def test_raster_folder_keeps_grid_crs_and_per_frame_nodata(tmp_path, capsys):
    folder = tmp_path / "tiles"
    folder.mkdir()
    field = (_field(3, 5, 6) * 10).astype(np.int16)  # stored x 0.1 = physical
    field[0, 1, 1] = field[2, 4, 5] = -999  # no-data in one frame each
    for t, day in enumerate(("20200101", "20200111", "20200121")):
        with rasterio.open(folder / f"ndvi_{day}.tif", "w", driver="GTiff", height=5, width=6, count=1, dtype="int16",
                           transform=rasterio.transform.from_origin(500000.0, 4200000.0, 30.0, 30.0),
                           crs="EPSG:32633", nodata=-999) as dst:
            dst.write(field[t][None])
    out = tmp_path / "f.qelm"
    # A bound under half a data number (0.1 here) holds too: codes are steps of the bound, not of the source.
    text = run(capsys, "encode", folder, out, "--scale-factor", "0.1", "--max-error", "0.02", *TINY)[0]
    assert "stored as int16" in text and "(T x H x W x C x 2 bytes of int16)" in text
    ds = decode(capsys, out, tmp_path / "f.zarr")
    da = ds["data"]
    assert da.dims == ("time", "y", "x") and da.attrs["grid_mapping"] == "spatial_ref"
    assert "32633" in ds["spatial_ref"].attrs["crs_wkt"]
    np.testing.assert_allclose(ds["x"].values, 500000.0 + 30.0 * (np.arange(6) + 0.5))
    np.testing.assert_allclose(ds["y"].values, 4200000.0 - 30.0 * (np.arange(5) + 0.5))
    # No-data differs between frames, so the mask is kept per frame (a static mask would keep
    # only pixels missing in every frame and fill these two with predictions).
    assert np.array_equal(np.isnan(da.values), field == -999)
    assert np.nanmax(np.abs(da.values - field * 0.1)) <= 0.02


# ---- input and output without training ---------------------------------------------------------

def test_packed_netcdf_unpacks_and_several_variables_need_a_choice(tmp_path):
    path, packed = str(tmp_path / "packed.nc"), np.arange(24, dtype=np.int16).reshape(2, 3, 4)
    packed[1, 2, 3] = -32767
    with netCDF4.Dataset(path, "w") as ds:  # NetCDF-4 (HDF5 underneath)
        for name, n in (("time", 2), ("y", 3), ("x", 4), ("lev", 2)):
            ds.createDimension(name, n)
        ds.createVariable("time", "i4", ("time",)).units = "hours since 1990-01-01"
        ds["time"][:] = [0, 6]
        for name in ("u", "v"):  # written as stored integers, then declared packed
            ds.createVariable(name, "i2", ("time", "y", "x"), fill_value=-32767)[:] = packed
            ds[name].setncatts(dict(scale_factor=0.01, add_offset=250.0))
        ds.createVariable("w", "f4", ("time", "lev", "y", "x"))
    assert detect_source(path) == "netcdf"
    cube, info = read_cube(path, SourceOptions(variable="u"))
    assert info["dtype"] == "int16" and cube.shape == (2, 3, 4, 1)
    np.testing.assert_allclose(cube[..., 0], np.where(packed == -32767, np.nan, packed * 0.01 + 250.0), atol=1e-4)
    with pytest.raises(ValueError, match=r"several data variables .*\['u', 'v', 'w'\].*--variable"):
        read_cube(path, SourceOptions())
    with pytest.raises(ValueError, match="vertical dimension 'lev'.*--band-dim lev"):  # bands only when asked
        read_cube(path, SourceOptions(variable="w"))
    assert read_cube(path, SourceOptions(variable="w", band_dim="lev"))[0].shape == (2, 3, 4, 2)


def test_zarr_writer_restores_band_first_layout_and_default_time_units(tmp_path):
    cube = np.arange(2 * 3 * 4 * 2, dtype=np.float32).reshape(2, 3, 4, 2)
    cube[0, 1, 1, :] = np.nan
    meta = Meta(shape=[2, 3, 4, 2], dtype="uint16", bands=[{"name": "lai"}, {"name": "fpar"}],
                transform=[10.0, 0.0, 0.0, 0.0, -10.0, 30.0], crs="EPSG:3857",
                time={"values": ["2020-01-01T00:00:00Z", "2020-01-09T00:00:00Z"], "calendar": "gregorian"})
    source = {"variable": "lai_fpar", "dims": ["time", "band", "y", "x"], "attrs": {"long_name": "leaf area"}}
    assert write_zarr(cube, meta, source, str(tmp_path / "o.zarr")) == "lai_fpar"
    ds = xr.open_zarr(str(tmp_path / "o.zarr"))
    assert ds["lai_fpar"].dims == ("time", "band", "y", "x")
    np.testing.assert_array_equal(ds["lai_fpar"].transpose("time", "y", "x", "band").values, cube)  # NaN where NaN
    assert list(ds["band"].values) == ["lai", "fpar"] and list(ds["y"].values) == [25.0, 15.0, 5.0]
    assert ds["time"].encoding["units"] == "days since 1970-01-01 00:00:00"
    assert str(ds["time"].values[1])[:10] == "2020-01-09"


def test_threshold_allowance_integer_step_exemptions_and_mask_choice():
    t = residual_threshold(0.1, [[200.0, 320.0]])
    # a few float32 roundings of values near 320 below the bound; smaller values round less
    assert 0.0995 < t < 0.1 and residual_threshold(0.1, [[0.0, 1.0]]) > t
    with pytest.raises(ValueError, match="below what float32 resolves"):
        residual_threshold(1e-5, [[1e4, 2e4]])
    ints = {"band_scales": [0.5, 0.1], "src_dtype": "uint16"}
    check_integer_step(0.2, dict(ints, src_dtype="float32"), (1, 1))  # float residuals are not stepped
    check_integer_step(0.2, ints, (2, 2))  # blocks store residuals per frame, not in steps
    logged = []
    assert choose_mask_mode("static", True, logged.append) == "static" and "warning" in logged[0]


def test_cf_time_encoding_inverts_decoding():
    for units, cal, values in [("days since 1850-01-01 00:00:00", "proleptic_gregorian", [0.0, 56993.5, 57023.0]),
                               ("hours since 2021-06-01T06:00:00Z", "standard", [-6.0, 0.0, 1.5]),
                               ("seconds since 1500-03-01", "standard", [0.0, 86400.0 * 400]),  # Julian reference
                               ("minutes since 2000-01-01 00:00:00+02:00", "gregorian", [0.0, 90.0])]:
        stamps = [d.isoformat() for d in decode_cf_times(np.array(values), units, cal)]
        np.testing.assert_allclose(encode_cf_times(stamps, units, cal), values, rtol=0, atol=1e-9)
    with pytest.raises(ValueError, match="calendar"):
        encode_cf_times(["2000-01-01"], "days since 2000-01-01", "noleap")


# ---- the comparison -----------------------------------------------------------------------------

def test_compare_checks_every_compressor_and_plots(nc_file, encoded, tmp_path, capsys):
    work, png = tmp_path / "work", tmp_path / "cmp.png"
    text, err = run(capsys, "compare", nc_file, "--max-error", "0.005", "--qelm", encoded[1], "--workdir", work,
                    "--json", "--plot", png, "--frame", "1")
    rep = json.loads(text)  # the JSON alone: progress and notes go to standard error
    rows = {r["compressor"]: r for r in rep["rows"]}
    assert list(rows) == ["pyqelm + residuals", "ZFP fixed-accuracy", "ZFP tuned to the bound",
                          "quantise 2E + Lorenzo + xz", "fpzip lossless", "Zstandard -19"]
    assert rep["raw_bytes"] == 4 * 6 * 8 * 4
    sizes = {f.name: f.stat().st_size for f in [*work.iterdir(), encoded[1]]}
    # The two no-data pixels: the peers get them filled and pay for the lossless mask beside them.
    mask = sizes["tas.nodata.xz"]
    for name, r in rows.items():  # sizes are files on disk; a row is ok exactly when nothing broke the bound
        assert r["mask_bytes"] == (0 if name.startswith("pyqelm") else mask)
        assert r["bytes"] == sizes[r["file"]] + r["mask_bytes"] and r["ratio"] == pytest.approx(rep["raw_bytes"] / r["bytes"])
        assert r["ok"] and r["violations"] == 0, r
    assert all(rows[n]["max_error"] <= 0.005 for n in list(rows)[:4])
    assert rows["fpzip lossless"]["max_error"] == 0 and rows["Zstandard -19"]["rmse"] == 0
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_compare_sweep_draws_rate_distortion_curves_and_judges_pyqelm_alone(nc_file, tmp_path, capsys,
                                                                            monkeypatch):
    fast = ["--preset", "tiny", "--xy-hash-size", "8", "--t-hash-size", "8", "--steps", "20", "--backend",
            "reference", "--device", "cpu", "--precision", "float32", "-q"]
    png = tmp_path / "rd.png"
    rep = json.loads(run(capsys, "compare", nc_file, "--sweep", "--plot", png, "--json", *fast)[0])
    assert [p["fraction"] for p in rep["points"]] == [0.1, 0.03, 0.01, 0.003, 0.001, 0.0003, 0.0001]
    for p in rep["points"]:
        assert p["bound"] == pytest.approx(p["fraction"] * rep["range"])
        assert len(p["rows"]) == 6 and p["rows"][0]["ok"] and p["rows"][0]["max_error"] <= p["bound"]
    assert json.loads((tmp_path / "rd.json").read_text()) == rep
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # A broken peer promise is reported but does not fail the command; a broken pyqelm container does.
    import zfpy
    from pyqelm import decode, peers

    monkeypatch.setattr(peers, "zfp_compress", lambda cube, tol: zfpy.compress_numpy(
        peers._zfp_input(cube) + np.float32(1), tolerance=float(tol)))
    text = run(capsys, "compare", nc_file, "--max-error", "0.5", *fast)[0]
    assert re.search(r"ZFP fixed-accuracy .* VIOLATED \(190 values\)", text), text
    real = decode.decode_container
    monkeypatch.setattr(decode, "decode_container", lambda path: (real(path)[0] + np.float32(1), None))
    err = run(capsys, "compare", nc_file, "--max-error", "0.5", *fast, code=cli.EXIT_BOUND)[1]
    assert "pyqelm broke its bound" in err and len(err.strip().splitlines()) == 1


def test_bound_and_lossless_checks_count_every_kind_of_fault():
    orig = np.array([1.0, 2.0, np.nan, 4.0], dtype=np.float32)
    for dec, n in ((orig + np.float32(0.04), 0), ([1.0, 2.2, np.nan, 4.0], 1),  # within; too far
                   ([1.0, np.nan, np.nan, 4.0], 1), ([1.0, 2.0, 3.0, 4.0], 1)):  # data lost; no-data filled
        assert compare.check_bound(orig, np.asarray(dec, np.float32), 0.05) == n, dec
    assert compare.check_lossless(orig, np.nextafter(orig, np.float32(10))) == 3  # one ulp is not lossless
    rmse, mae, mx, n = compare.error_stats(orig, np.array([1.0, 2.0, 0.0, np.nan], np.float32))
    assert n == 3 and mx == np.inf


# ---- bad input: one line, non-zero exit --------------------------------------------------------

def test_bad_input_gives_one_line_and_nonzero_exit(nc_file, encoded, tmp_path, capsys, monkeypatch):
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setenv("PYQELM_TMPDIR", str(scratch))
    good, bad = encoded[0], tmp_path / "bad.qelm"
    blob = good.read_bytes()
    bad.write_bytes(blob[:len(blob) // 2] + bytes([blob[len(blob) // 2] ^ 0xFF]) + blob[len(blob) // 2 + 1:])
    notes, o, none = tmp_path / "notes.txt", tmp_path / "o.qelm", tmp_path / "missing.nc"
    notes.write_text("not data")
    for argv, code, words in [
            (("encode", none, o), 1, "no such file or folder"), (("encode", notes, o), 1, "neither a Zarr store"),
            (("encode", nc_file, o, "--variable", "pr", *TINY), 1, "variable 'pr' not found"),
            (("encode", nc_file, good, *TINY), 1, "exists; pass --force"),
            (("encode", nc_file, tmp_path / "o.txt", *TINY), 1, "must end in .qelm"),
            (("encode", nc_file, o, "--residual-dtype", "int8", "--max-error", "1"), 1, "--residual-dtype is not used"),
            (("encode", nc_file, o, "--valid-range", "300", "200"), 1, "MIN < MAX"),
            (("encode", nc_file, o, "--norm-mode", "2", *TINY), 1, "affine transform"),
            (("encode", nc_file, o, "--batch-size", "-4"), 2, "--batch-size: must be >= 1"),
            (("encode", nc_file, o, "--max-error", "nan"), 2, "finite"),
            (("encode", nc_file, o, "--preset", "huge"), 2, "invalid choice: 'huge'"),
            (("compare", nc_file), 2, "--max-error"), (("inspect", notes), 1, "not a ZIP container"),
            (("compare", nc_file, "--sweep", "--qelm", good), 1, "cannot reuse --qelm"),
            (("decode", bad, tmp_path / "d.zarr"), 1, "corrupted"), (("inspect", bad), 1, "corrupted"),
            (("decode", good, notes), 1, "exists; pass --force"),
            (("decode", tmp_path / "x.qelmc", tmp_path / "d.zarr"), 1, "no such file")]:
        err = run(capsys, *argv, code=code)[1]
        assert words in err and len(err.strip().splitlines()) == 1 and "Traceback" not in err, (argv, err)
    assert list(scratch.iterdir()) == []  # removed even when the run failed after converting


@pytest.mark.parametrize("launcher,prog", [((sys.executable, "-m", "pyqelm"), "python3 -m pyqelm"),
                                           ((os.path.join(os.path.dirname(sys.executable), "pyqelm"),), "pyqelm")],
                         ids=["module", "console-script"])
def test_entry_points_run_from_any_folder_and_keep_errors_to_one_line(tmp_path, launcher, prog):
    if prog == "pyqelm" and not INSTALLED:
        pytest.skip("the console script exists once the package is installed")
    env = dict(os.environ, PYTHONPATH=IMPORT_ROOT)
    bad, usage = (subprocess.run([*launcher, *argv], capture_output=True, text=True, env=env, cwd=tmp_path)
                  for argv in (["inspect", str(tmp_path / "none.qelm")], ["encode", "--help"]))
    assert bad.returncode == 1 and bad.stderr.strip().count("\n") == 0 and "no such file" in bad.stderr
    assert usage.returncode == 0 and "--max-error" in usage.stdout and "model presets" in usage.stdout
    assert usage.stdout.startswith(f"usage: {prog} encode "), usage.stdout[:80]


def test_presets_table_in_readme_matches_the_networks():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        rows = {line.split("|")[1].strip(): line for line in f if line.startswith("| `")}
    for name in PRESETS:
        assert f"| {parameter_count(preset_sizes(name)):,} |" in rows[f"`{name}`"], name
    for name in ("tiny", "small", "medium"):  # the fast count is the built network's
        assert parameter_count(preset_sizes(name), n_bands=3) == network_parameter_count(preset_sizes(name), 3)
