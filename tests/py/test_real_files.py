"""Files as climate and remote-sensing users have them: a corpus of tiny NetCDF files, each
encoded with an error bound and decoded to a store that xarray opens like the source."""
import io
import warnings
from contextlib import redirect_stderr, redirect_stdout

import netCDF4
import numpy as np
import pytest
import xarray as xr

from pyqelm import cli, open_dataset
from pyqelm.format import read_container

TINY = ["--preset", "tiny", "--xy-hash-size", "8", "--t-hash-size", "8", "--epochs", "1", "--batch-size", "64",
        "--backend", "reference", "--device", "cpu", "--precision", "float32", "-q"]
T, H, W = 4, 5, 6


def _smooth(shape, base=280.0):
    grids = np.meshgrid(*[np.arange(n, dtype=np.float64) for n in shape], indexing="ij")
    return base + sum((k + 1) * np.sin(g / (k + 2.0)) for k, g in enumerate(grids))


def _axis(n, lo, hi):
    return np.linspace(lo, hi, n)


def write_nc(path, dims, variables, fmt="NETCDF4"):
    """``variables``: name -> (dtype, dims, values or None, attrs); "_FillValue" in attrs is set at
    creation, NaN in the data of a variable with a fill value becomes that value."""
    with netCDF4.Dataset(path, "w", format=fmt) as ds:
        ds.history = "written by the test corpus"
        for name, n in dims.items():
            ds.createDimension(name, n)
        for name, (dtype, vdims, values, attrs) in variables.items():
            attrs = dict(attrs)
            fill = attrs.pop("_FillValue", None)
            v = ds.createVariable(name, dtype, vdims, fill_value=fill)
            v.setncatts(attrs)
            if values is not None:
                values = np.asarray(values)
                if fill is not None and values.dtype.kind == "f":
                    values = np.where(np.isnan(values), fill, values)
                v.set_auto_maskandscale(False)
                v[...] = values.astype(dtype)
    return path


def _with_gaps(values, *cells):
    out = np.array(values, dtype=np.float64)
    for c in cells:
        out[c] = np.nan
    return out


def corpus():
    lat, lon = _axis(H, -40.0, 40.0), _axis(W, 0.0, 300.0)
    data3 = _smooth((T, H, W))
    packed = _with_gaps(np.round((_smooth((T, H, W)) - 280.0) / 0.01), (1, 2, 2), (2, 0, 3))
    packed[3, 1, 1] = -32768  # the second of two missing values
    curv_lat = np.add.outer(_axis(H, 10.0, 50.0), _axis(W, 0.0, 5.0))
    curv_lon = np.add.outer(_axis(H, 0.0, 3.0), _axis(W, -60.0, 10.0))
    corners = np.stack([curv_lat - 1, curv_lat - 1, curv_lat + 1, curv_lat + 1], axis=-1)
    return {
        "days-since-standard-hlat-hlon": dict(
            var="fice", dims=dict(time=T, hlat=H, hlon=W), vars=dict(
                time=("f8", ("time",), [0, 31, 59, 90], dict(units="days since 1870-01-01 00:00:00", calendar="standard")),
                hlat=("f4", ("hlat",), lat, dict(units="degrees_north")),
                hlon=("f4", ("hlon",), lon, dict(units="degrees_east")),
                fice=("f4", ("time", "hlat", "hlon"), _with_gaps(data3, (0, 1, 1), (3, 4, 5)),
                      dict(_FillValue=1e36, missing_value=1e36, long_name="ice concentration")))),
        "hours-noleap-curvilinear-nlat-nlon": dict(
            var="sst", dims=dict(time=T, nlat=H, nlon=W, nv=4),
            meta_time=("noleap", "2001-02-27T00:00:00Z", "2001-03-02T00:00:00Z"), vars=dict(
                time=("f8", ("time",), [0, 24, 48, 72], dict(units="hours since 2001-02-27 00:00:00", calendar="noleap")),
                TLAT=("f8", ("nlat", "nlon"), curv_lat, dict(units="degrees_north", bounds="lat_bnds")),
                TLONG=("f8", ("nlat", "nlon"), curv_lon, dict(units="degrees_east")),
                lat_bnds=("f8", ("nlat", "nlon", "nv"), corners, {}),
                sst=("f4", ("time", "nlat", "nlon"), _with_gaps(data3, (slice(None), 0, 0)),
                     dict(_FillValue=9.96921e36, coordinates="TLONG TLAT", units="degC")))),
        "seconds-360day-rotated-packed-int16": dict(
            var="tas", dims=dict(time=T, rlat=H, rlon=W), bound=0.01,
            meta_time=("360_day", "2000-02-28T00:00:00Z", "2000-03-01T00:00:00Z"), vars=dict(
                time=("f8", ("time",), np.arange(T) * 86400.0,
                      dict(units="seconds since 2000-02-28 00:00:00", calendar="360_day", standard_name="time")),
                rlat=("f4", ("rlat",), _axis(H, -5.0, 5.0), dict(standard_name="grid_latitude", units="degrees")),
                rlon=("f4", ("rlon",), _axis(W, -6.0, 6.0), dict(standard_name="grid_longitude", units="degrees")),
                rotated_pole=("S1", (), None, dict(grid_mapping_name="rotated_latitude_longitude",
                                                   grid_north_pole_latitude=39.25, grid_north_pole_longitude=-162.0)),
                tas=("i2", ("time", "rlat", "rlon"), packed,
                     dict(_FillValue=np.int16(-32767), missing_value=np.array([-32767, -32768], np.int16),
                          scale_factor=0.01, add_offset=280.0, valid_range=np.array([-30000, 30000], np.int16),
                          grid_mapping="rotated_pole", units="K")))),
        "minutes-gregorian-axis-only-transposed": dict(
            var="v", dims=dict(tt1=T, bb=W, aa=H), vars=dict(
                tt1=("f8", ("tt1",), [0, 90, 180, 360], dict(axis="T", units="minutes since 1999-12-31 18:00",
                                                              calendar="gregorian")),
                aa=("f8", ("aa",), _axis(H, 0, 4000), dict(axis="Y")),
                bb=("f8", ("bb",), _axis(W, 0, 5000), dict(axis="X")),
                v=("f4", ("tt1", "bb", "aa"), data3.transpose(0, 2, 1), dict(units="1")))),
        "months-since-standard-name-only": dict(
            var="HGT", dims=dict(m=T, p=H, q=W), meta_time=("standard", "1958-01-01T00:00:00Z", "1960-02-01T00:00:00Z"),
            vars=dict(
                m=("i4", ("m",), [0, 1, 13, 25], dict(standard_name="time", units="months since 1958-1-1 00:00:00")),
                p=("f8", ("p",), _axis(H, 1e5, 2e5), dict(standard_name="projection_y_coordinate", units="m")),
                q=("f8", ("q",), _axis(W, 3e5, 4e5), dict(standard_name="projection_x_coordinate", units="m")),
                HGT=("f4", ("m", "p", "q"), data3 * 10, dict(units="gpm", _FillValue=-999.0)))),
        "years-since-360day-variable-named-t": dict(
            var="t", dims=dict(time=T, lat=H, lon=W), unrelated=["gw"], vars=dict(
                time=("f8", ("time",), [0, 1, 2, 3], dict(units="years since 2000-01-01", calendar="360_day")),
                lat=("f8", ("lat",), lat, dict(units="degrees_north")),
                lon=("f8", ("lon",), lon, dict(units="degrees_east")),
                gw=("f8", ("lat",), np.cos(np.radians(lat)), dict(long_name="gaussian weights")),
                t=("f4", ("time", "lat", "lon"), data3, dict(units="K")))),
        "month-units-not-cf": dict(
            var="sst", dims=dict(time=T, latitude=H, longitude=W), expect="are not CF dates",
            meta_time=("none", "1.0", "4.0"), vars=dict(
                time=("f4", ("time",), [1, 2, 3, 4], dict(units="Month", valid_range=np.array([1, 12], "f4"))),
                lat=("f4", ("latitude",), lat, dict(units="degrees_north")),
                lon=("f4", ("longitude",), lon, dict(units="degrees_east")),
                sst=("f4", ("time", "latitude", "longitude"), _with_gaps(data3 - 270, (0, 0, 0)),
                     dict(_FillValue=-999.0, valid_range=np.array([-1.8, 35.0], "f4"), units="deg_C")))),
        "days-without-date-unknown-names-dated-by-user": dict(
            var="field", dims=dict(a=T, b=H, c=W), args=["--time-start", "2001-01-15", "--time-step", "1 month"],
            expect="frames dated from 2001-01-15 every 1 month",
            meta_time=("standard", "2001-01-15T00:00:00Z", "2001-04-15T00:00:00Z"), vars=dict(
                a=("f4", ("a",), [0, 31, 59, 90], dict(units="days")),
                field=("f4", ("a", "b", "c"), data3, {}))),
        "no-time-variable": dict(
            var="z", dims=dict(frame=T, yy=H, xx=W), expect="by its position", meta_time=("none", "0", "3"), vars=dict(
                z=("f8", ("frame", "yy", "xx"), data3, {}))),
        "two-d-field-with-bounds": dict(
            var="orog", dims=dict(lat=H, lon=W, bnds=2), fmt="NETCDF3_CLASSIC",
            meta_time=("360_day", "2000-01-16T12:00:00Z", "2000-01-16T12:00:00Z"), vars=dict(
                time=("f8", (), 15.5, dict(units="days since 2000-01-01", calendar="360_day")),  # the field's date
                lat=("f8", ("lat",), lat, dict(axis="Y", bounds="lat_bnds", units="degrees_north")),
                lat_bnds=("f8", ("lat", "bnds"), np.stack([lat - 8, lat + 8], 1), {}),
                lon=("f8", ("lon",), lon, dict(axis="X", bounds="lon_bnds", units="degrees_east")),
                lon_bnds=("f8", ("lon", "bnds"), np.stack([lon - 30, lon + 30], 1), {}),
                orog=("f4", ("lat", "lon"), _with_gaps(data3[0] * 5, (2, 2)),
                      dict(_FillValue=1e20, missing_value=1e20, standard_name="surface_altitude", units="m",
                           coordinates="time")))),
        "vertical-level-as-bands": dict(
            var="ta", dims=dict(time=T, lev=3, lat=H, lon=W), args=["--band-dim", "lev"], vars=dict(
                time=("f8", ("time",), [0.5, 1.5, 2.5, 3.5], dict(units="days since 2001-01-01")),
                lev=("f8", ("lev",), [1000.0, 850.0, 500.0], dict(units="hPa", positive="down", axis="Z")),
                lat=("f8", ("lat",), lat, dict(units="degrees_north")),
                lon=("f8", ("lon",), lon, dict(units="degrees_east")),
                ta=("f4", ("time", "lev", "lat", "lon"), _smooth((T, 3, H, W)), dict(units="K")))),
    }


CORPUS = corpus()


def _open(opener, path):
    """xarray's view with CF time decoding, or without it where xarray cannot decode the units
    (it refuses "months since" outside 360_day), both sides alike."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            ds = opener(path)
            ds.load()
            return ds, True
        except ValueError:
            return opener(path, decode_times=False).load(), False


def _plain(attrs):
    return {k: np.asarray(v).tolist() for k, v in attrs.items()}


def _same_values(a, b):
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype.kind in "fc" and b.dtype.kind in "fc":
        return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)
    return a.shape == b.shape and bool(np.all(a == b))


@pytest.mark.parametrize("case", list(CORPUS))
def test_corpus_encodes_within_bound_and_decodes_like_the_source(case, tmp_path):
    spec = CORPUS[case]
    nc = write_nc(str(tmp_path / f"{case}.nc"), spec["dims"], spec["vars"], spec.get("fmt", "NETCDF4"))
    bound, name, args = spec.get("bound", 0.05), spec["var"], spec.get("args", [])
    if "--band-dim" in args:  # without it, the extra dimension is refused with the option to pass
        err = io.StringIO()
        with redirect_stdout(io.StringIO()), redirect_stderr(err):
            assert cli.main(["encode", nc, str(tmp_path / "x.qelm"), *TINY]) == 1
        assert "--band-dim lev" in err.getvalue() and len(err.getvalue().strip().splitlines()) == 1
    out, err = io.StringIO(), io.StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        rc = cli.main(["encode", nc, str(tmp_path / "o.qelm"), "--max-error", str(bound), *args, *TINY])
        assert rc == 0, err.getvalue()
        rect = tmp_path / "o-rectified.qelm"
        best = rect if rect.exists() else tmp_path / "o.qelm"
        assert cli.main(["decode", str(best), str(tmp_path / "d.zarr")]) == 0, err.getvalue()
        assert cli.main(["verify", nc, str(tmp_path / "d.zarr"), "--max-error", str(bound), *args]) == 0, \
            err.getvalue()
    assert spec.get("expect", "") in out.getvalue()
    if "meta_time" in spec:  # the container's own time axis: dates in the file's calendar, or the values kept
        t = read_container(str(best)).meta.time
        assert (t.calendar, t.values[0], t.values[-1]) == spec["meta_time"]

    src, _ = _open(xr.open_dataset, nc)
    dec, _ = _open(xr.open_zarr, str(tmp_path / "d.zarr"))
    a, b = src[name], dec[name]
    assert b.dims == a.dims and dict(dec.sizes).items() <= dict(src.sizes).items()
    # the variable, its coordinates, bounds and grid mapping come back; unrelated data does not
    assert set(dec.variables) == set(src.variables) - set(spec.get("unrelated", ()))
    assert set(b.coords) == set(a.coords) and _plain(b.attrs) == _plain(a.attrs)
    for v in dec.variables:
        if v == name:
            continue
        assert dec[v].dims == src[v].dims and _same_values(dec[v].values, src[v].values), v
        assert _plain(dec[v].attrs) == _plain(src[v].attrs), v
        for key in ("units", "calendar"):
            assert dec[v].encoding.get(key) == src[v].encoding.get(key), (v, key)
    valid = np.isfinite(a.values)
    assert np.array_equal(np.isfinite(b.values), valid)
    assert np.abs(b.values[valid] - a.values[valid]).max() <= bound

    # A window of rows and columns is that part of the whole: values, coordinates, layout.
    cut = {d: slice(1, 4) if dec.sizes[d] == H else slice(2, 5) for d in b.dims if dec.sizes[d] in (H, W)}
    with redirect_stdout(io.StringIO()), redirect_stderr(err):
        assert cli.main(["decode", str(best), str(tmp_path / "w.zarr"), "--y", "1:4", "--x", "2:5"]) == 0, \
            err.getvalue()
    win, _ = _open(xr.open_zarr, str(tmp_path / "w.zarr"))
    part = dec.isel(cut)
    assert set(win.variables) == set(part.variables)
    for v in win.variables:
        assert win[v].dims == part[v].dims and _same_values(win[v].values, part[v].values), v

    # The lazy xarray view of the container is the decoded store, and a selection decodes that part.
    view, _ = _open(open_dataset, str(best))
    assert set(view.variables) == set(dec.variables)
    for v in dec.variables:
        assert view[v].dims == dec[v].dims and _same_values(view[v].values, dec[v].values), v
    lazy = open_dataset(str(best), decode_times=False)[name].isel(cut)
    assert _same_values(lazy.values, part[name].values)


def test_zarr_store_written_by_xarray_comes_back_identical_through_the_writer(tmp_path, monkeypatch):
    """The Zarr route alone (no training): curvilinear coordinates, a noleap time axis and
    dimensions named j/i, read by their conventions and written back from the description."""
    import cftime

    from pyqelm.encoder.streaming_sources import ZarrStreamingSource
    from pyqelm.export import write_zarr
    from pyqelm.format import Meta

    lat = np.add.outer(np.linspace(10, 50, H), np.linspace(0, 5, W))
    ds = xr.Dataset({"sst": (("time", "j", "i"), _with_gaps(_smooth((T, H, W)), (0, 1, 2)).astype("f4"),
                             {"units": "K", "standard_name": "sea_surface_temperature"})},
                    coords={"time": [cftime.DatetimeNoLeap(2001, 2, 27 + d // 2, 12 * (d % 2)) for d in range(T)],
                            "lat": (("j", "i"), lat, {"units": "degrees_north"}),
                            "lon": (("j", "i"), lat.T.copy().reshape(H, W) * 2, {"units": "degrees_east"})},
                    attrs={"title": "curvilinear"})
    ds.to_zarr(str(tmp_path / "in.zarr"), consolidated=True)
    src = ZarrStreamingSource(zarr_path=str(tmp_path / "in.zarr"))
    meta = src.build_meta_info()
    assert (meta["axes"], meta["calendar"], meta["timestamps"][2]) == (["time", "y", "x"], "noleap",
                                                                        "2001-02-28T00:00:00")
    assert {k: v["role"] for k, v in meta["coords"].items()} == {"time": "dim", "lat": "aux", "lon": "aux"}
    source = {k: meta[k] for k in ("variable", "dims", "axes", "units", "time_units", "attrs", "coords",
                                   "global_attrs") if k in meta}
    cube = src.read_timesteps(np.arange(T))
    time = {"values": meta["timestamps"], "calendar": meta["calendar"]}
    write_zarr(cube, Meta(shape=[T, H, W, 1], dtype="float32", time=time), source, str(tmp_path / "out.zarr"))
    xr.testing.assert_identical(xr.open_zarr(str(tmp_path / "out.zarr")).load(),
                                xr.open_zarr(str(tmp_path / "in.zarr")).load())

    # Coordinates past the metadata budget stay behind, and the notes say which.
    import pyqelm.encoder.streaming_sources as ss

    # the time axis and one of the 2-D coordinates
    monkeypatch.setattr(ss, "_CARRY_CHARS", ss._json_chars(np.zeros(T)) + ss._json_chars(lat))
    small = ZarrStreamingSource(zarr_path=str(tmp_path / "in.zarr")).build_meta_info()
    left = ({"lat", "lon"} - set(small["coords"])).pop()
    assert len(small["coords"]) == 2 and any(f"'{left}' is not carried" in n for n in small["notes"])

    # A description that does not fit its cube, or names that are no array names, is refused.
    for change, words in ((dict(axes=["time", "y", "y"]), "unusable dimensions"),
                          (dict(dims=["time", "j", "../i"]), "unusable dimensions"),
                          (dict(coords={"../lat": meta["coords"]["lat"]}), "unusable variable '../lat'"),
                          (dict(coords={"lat": dict(meta["coords"]["lat"], dims=["i", "j"])}), "values along 'i'"),
                          (dict(axes=["extra", "y", "x"]), "does not fit")):
        with pytest.raises(ValueError, match=words):
            write_zarr(cube, Meta(shape=[T, H, W, 1], time=time), dict(source, **change), str(tmp_path / "bad.zarr"))


def test_carried_coordinates_fit_the_metadata_document_a_reader_accepts(tmp_path):
    """Curvilinear coordinates near the carry budget: what is carried must still make a chunk
    metadata document under the readers' size and value limits, and what is not is named."""
    import zarr

    from pyqelm.encoder.streaming_sources import ZarrStreamingSource
    from pyqelm.format import _records as R

    n = 750  # two float64 750 x 750 grids: each fits alone, not both
    g = zarr.open_group(str(tmp_path / "big.zarr"), mode="w")
    g.create_dataset("v", data=np.zeros((1, n, n), "f4"), chunks=(1, n, n)).attrs.update(
        _ARRAY_DIMENSIONS=["time", "j", "i"], coordinates="lat lon")
    for name, units in (("lat", "degrees_north"), ("lon", "degrees_east")):
        g.create_dataset(name, data=np.random.default_rng(0).random((n, n))).attrs.update(
            _ARRAY_DIMENSIONS=["j", "i"], units=units)
    meta = ZarrStreamingSource(zarr_path=str(tmp_path / "big.zarr")).build_meta_info()
    assert len(meta["coords"]) == 1 and sum("is not carried" in x for x in meta["notes"]) == 1
    text = R.dumps_checked({"extras": {"source": {k: meta[k] for k in ("coords", "attrs", "dims")}},
                            "timestamps": ["2000-01-01T00:00:00"] * 20000}, "chunk metadata")
    R.loads(text.encode() if isinstance(text, str) else text, "chunk metadata")


def test_verify_reads_decoded_values_past_a_valid_range_end_as_data(tmp_path):
    """A decoded value within the bound but just outside the source's valid_range (which travels
    with it) is data to measure, not no-data: verify must not report it as lost."""
    lat, lon = _axis(H, -10, 10), _axis(W, 0, 50)
    rh = np.linspace(0, 1, T * H * W).reshape(T, H, W).astype("f4")
    nc = write_nc(str(tmp_path / "rh.nc"), dict(time=T, lat=H, lon=W), dict(
        time=("f8", ("time",), np.arange(T), dict(units="days since 2000-01-01")),
        lat=("f4", ("lat",), lat, dict(units="degrees_north")), lon=("f4", ("lon",), lon, dict(units="degrees_east")),
        rh=("f4", ("time", "lat", "lon"), rh, dict(valid_range=np.array([0, 1], "f4")))))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ds = xr.open_dataset(nc).load()
    ds["rh"].values[-1, -1, -1] = 1.0 + 4e-4
    ds["rh"].values[0, 0, 0] = -4e-4
    ds.to_zarr(str(tmp_path / "d.zarr"))
    err = io.StringIO()
    with redirect_stdout(io.StringIO()), redirect_stderr(err):
        assert cli.main(["verify", nc, str(tmp_path / "d.zarr"), "--max-error", "0.001"]) == 0, err.getvalue()
        assert cli.main(["verify", nc, str(tmp_path / "d.zarr"), "--max-error", "0.0003"]) == cli.EXIT_BOUND
