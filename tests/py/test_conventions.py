"""Reading variables by their conventions: data-variable choice, dimension roles, time axes and
the arrays carried in metadata."""
import numpy as np
import pytest

from pyqelm.conventions import (Var, choose_variable, dated_axis, pack_array, parse_time_step, resolve_layout,
                                time_axis, unpack_array)
from pyqelm.utils.date_utils import normalize_time


def _vars(data_dims, shape=None, coords=(), data_attrs=None, name="v"):
    """A data variable over ``data_dims`` plus 1-D coordinate variables ``coords`` given as
    (name, attrs) along the dimension of the same name, or (name, dim, attrs)."""
    shape = shape or tuple(3 + i for i in range(len(data_dims)))
    sizes = dict(zip(data_dims, shape))
    out = {name: Var(name, tuple(data_dims), tuple(shape), np.dtype("f4"), dict(data_attrs or {}))}
    for c in coords:
        cname, dim, attrs = (c[0], c[0], c[1]) if len(c) == 2 else c
        out[cname] = Var(cname, (dim,), (sizes[dim],), np.dtype("f8"), dict(attrs))
    return out


@pytest.mark.parametrize("dims,coords,band_dim,shape,want", [
    # names, including ocean-model and rotated-pole ones
    (("time", "hlat", "hlon"), (), None, None, ["time", "y", "x"]),
    (("time", "nlat", "nlon"), (), None, None, ["time", "y", "x"]),
    (("t", "rlat", "rlon"), (), None, None, ["time", "y", "x"]),
    (("lat", "lon"), (), None, None, ["y", "x"]),
    (("band", "y", "x"), (), None, None, ["band", "y", "x"]),
    # conventions on the coordinate beat names; stored order is free
    (("d0", "d1", "d2"), (("d0", {"axis": "T"}), ("d1", {"axis": "X"}), ("d2", {"axis": "Y"})), None, None,
     ["time", "x", "y"]),
    (("p", "q", "m"), (("m", {"standard_name": "time"}), ("p", {"standard_name": "projection_y_coordinate"}),
                       ("q", {"standard_name": "grid_longitude"})), None, None, ["y", "x", "time"]),
    (("k", "a", "b"), (("k", {"units": "hours since 2000-01-01"}), ("a", {"units": "degrees_north"}),
                       ("b", {"units": "degree_east"})), None, None, ["time", "y", "x"]),
    (("k", "a", "b"), (("k", {"units": "Month"}),), None, None, ["time", "y", "x"]),
    # an unreferenced 1-D variable with coordinate attributes describes its dimension
    (("time", "latitude", "longitude"), (("lat", "latitude", {"units": "degrees_north"}),), None, None,
     ["time", "y", "x"]),
    # position: the last two are the grid, a leading one time, a fourth one bands
    (("a", "b", "c"), (), None, None, ["time", "y", "x"]),
    (("a", "b", "c", "d"), (), None, None, ["time", "band", "y", "x"]),
    # singletons stay singletons; a named band dimension is bands
    (("time", "height", "lat", "lon"), (("height", {"axis": "Z"}),), None, (4, 1, 3, 5), ["time", "extra", "y", "x"]),
    (("time", "lev", "lat", "lon"), (("lev", {"units": "hPa"}),), "lev", None, ["time", "band", "y", "x"]),
    (("member", "lat", "lon"), (), "member", None, ["band", "y", "x"]),
    # refusals name what to do
    (("time", "lev", "lat", "lon"), (("lev", {"units": "hPa"}),), None, None, "vertical dimension 'lev'.*--band-dim lev"),
    (("lev", "lat", "lon"), (("lev", {"positive": "down"}),), None, None, "--band-dim lev"),
    (("member", "lat", "lon"), (), None, None, "ensemble dimension 'member'.*--band-dim member"),
    (("time", "ncells"), (), None, None, "not a raster.*ncells"),
    (("z_t", "lat_t"), (("z_t", {"positive": "down"}),), None, None, "not a raster"),
    (("time", "lev", "member", "lat", "lon"), (("lev", {"units": "Pa"}),), "member", None, "select a single lev"),
    (("time", "lat", "lon"), (), "level", None, "'level' is not a dimension"),
    (("time", "valid_time", "lat", "lon"), (), None, None, "several time dimensions"),
])
def test_dimension_roles(dims, coords, band_dim, shape, want):
    variables = _vars(dims, shape, coords)
    if isinstance(want, str):
        with pytest.raises(ValueError, match=want):
            resolve_layout(variables["v"], variables, band_dim)
    else:
        assert resolve_layout(variables["v"], variables, band_dim).axes == want


def test_data_variable_choice_goes_by_references_not_names():
    f4 = np.dtype("f4")
    files = {
        "a variable named t is data": ({"t": ("time", "lat", "lon"), "time": ("time",), "lat": ("lat",)}, {}, "t"),
        "coordinates, bounds and grid mapping are not": (
            {"tos": ("time", "y", "x"), "lat": ("y", "x"), "lon": ("y", "x"), "lat_bnds": ("y", "x", "nv"),
             "time_bnds": ("time", "nb2"), "crs": ()},
            {"tos": {"coordinates": "lat lon", "grid_mapping": "crs"}, "lat": {"bounds": "lat_bnds"},
             "time": {"bounds": "time_bnds"}}, "tos"),
        "3-D data wins over a 2-D field": ({"tas": ("time", "lat", "lon"), "orog": ("lat", "lon")}, {}, "tas"),
        "cell measures are not data": ({"orog": ("lat", "lon"), "areacella": ("lat", "lon")},
                                       {"orog": {"cell_measures": "area: areacella"}}, "orog"),
        "a 2-D field alone": ({"orog": ("lat", "lon"), "lat": ("lat",)}, {}, "orog"),
        "2-D latitude by its units": ({"ps": ("lat", "lon"), "lat2d": ("lat", "lon")},
                                      {"lat2d": {"units": "degrees_north"}}, "ps"),
    }
    for why, (dims, attrs, want) in files.items():
        variables = {n: Var(n, d, tuple(3 for _ in d), f4, attrs.get(n, {})) for n, d in dims.items()}
        if "time" in dims or any("time" in d for d in dims.values()):
            variables.setdefault("time", Var("time", ("time",), (3,), f4, attrs.get("time", {})))
        assert choose_variable(variables, None, "f") == want, why
    two = {n: Var(n, ("y", "x"), (3, 3), f4, {}) for n in ("u", "v")}
    for requested, words in ((None, r"several data variables in f: \['u', 'v'\]; choose one with --variable"),
                             ("w", "'w' not found")):
        with pytest.raises(ValueError, match=words):
            choose_variable(two, requested, "f")


@pytest.mark.parametrize("values,attrs,want,calendar,note", [
    # every CF unit family and the calendars
    ([0, 1.5], {"units": "days since 2000-01-01"}, ["2000-01-01T00:00:00", "2000-01-02T12:00:00"], "standard", None),
    ([0, 90], {"units": "minutes since 1999-12-31 23:00", "calendar": "gregorian"},
     ["1999-12-31T23:00:00", "2000-01-01T00:30:00"], "gregorian", None),
    ([24, 48], {"units": "hours since 2001-02-27", "calendar": "noleap"},
     ["2001-02-28T00:00:00", "2001-03-01T00:00:00"], "noleap", None),
    ([0, 86400, 172800], {"units": "seconds since 2000-02-29", "calendar": "360_day"},
     ["2000-02-29T00:00:00", "2000-02-30T00:00:00", "2000-03-01T00:00:00"], "360_day", None),
    ([0, 1], {"units": "days since 2000-02-28", "calendar": "all_leap"},
     ["2000-02-28T00:00:00", "2000-02-29T00:00:00"], "all_leap", None),
    ([0, 1], {"units": "weeks since 1900-01-01", "calendar": "julian"},
     ["1900-01-01T00:00:00", "1900-01-08T00:00:00"], "julian", None),
    ([0, 1, 13], {"units": "months since 1958-1-1 00:00:00"},
     ["1958-01-01T00:00:00", "1958-02-01T00:00:00", "1959-02-01T00:00:00"], "standard", "calendar months"),
    ([0, 2], {"units": "years since 2000-01-01", "calendar": "360_day"},
     ["2000-01-01T00:00:00", "2002-01-01T00:00:00"], "360_day", "calendar years"),
    ([0.5, 1.5], {"units": "months since 2000-01-01", "calendar": "360_day"},
     ["2000-01-16T00:00:00", "2000-02-16T00:00:00"], "360_day", "fixed length of 30 days"),
    ([2, 1], {"units": "days since 2000-01-01"}, ["2000-01-03T00:00:00", "2000-01-02T00:00:00"], "standard", None),
    # dates as text or datetime64
    (np.array(["2001-06-01", "2001-06-02T12:00"]), {}, ["2001-06-01T00:00:00", "2001-06-02T12:00:00"],
     "proleptic_gregorian", None),
    (np.array(["2001-06-01", "2001-06-03"], "datetime64[D]"), {}, ["2001-06-01T00:00:00.000000",
                                                                    "2001-06-03T00:00:00.000000"],
     "proleptic_gregorian", None),
    # not CF dates: kept, spaced by value or by order, and said so
    ([1, 2, 4], {"units": "Month"}, ["1", "2", "4"], "none", "spaced by these values"),
    ([0.0, 31.0, 59.0], {"units": "days"}, ["0.0", "31.0", "59.0"], "none", "spaced by these values"),
    ([3, 1, 2], {}, ["0", "1", "2"], "none", "not strictly monotonic"),
    ([0, -999, 2], {"_FillValue": -999}, ["0", "1", "2"], "none", "missing some values"),
    ([0, 1], {"units": "days since 2000-01-01", "calendar": "egyptian"}, ["0", "1"], "none", "unknown calendar"),
    ([0, 1], {"units": "days since yesterday"}, ["0", "1"], "none", "reference date"),
    (np.array(["a", "b"]), {}, ["0", "1"], "none", "text, not dates"),
    (None, {}, ["0", "1", "2"], "none", "has no coordinate"),
    # refusals
    ([0, 1, 1], {"units": "days since 2000-01-01"}, "frame 2 .* repeats frame 1.*--time-start", None, None),
    ([0, 2, 1], {"units": "days since 2000-01-01", "calendar": "noleap"}, "breaks the order", None, None),
])
def test_time_axes(values, attrs, want, calendar, note):
    n = 3 if values is None else len(values)
    if isinstance(want, str):
        with pytest.raises(ValueError, match=want):
            time_axis(values, attrs, n, "coordinate 'time'")
        return
    axis = time_axis(values, attrs, n, "coordinate 'time'")
    assert (axis.stamps, axis.calendar) == (want, calendar)
    assert (note is None and axis.note is None) or note in axis.note


@pytest.mark.parametrize("start,step,n,calendar,want", [
    ("2005-01-01", "1 month", 3, None, ["2005-01-01T00:00:00", "2005-02-01T00:00:00", "2005-03-01T00:00:00"]),
    ("2000-02-28", "1 day", 3, "360_day", ["2000-02-28T00:00:00", "2000-02-29T00:00:00", "2000-02-30T00:00:00"]),
    ("2001-02-28T18:00Z", "6h", 2, "noleap", ["2001-02-28T18:00:00", "2001-03-01T00:00:00"]),
    ("1990-01-15", "2 years", 2, "standard", ["1990-01-15T00:00:00", "1992-01-15T00:00:00"]),
    ("2000-01-01", None, 1, None, ["2000-01-01T00:00:00"]),
    ("2005-01-31", "1 month", 2, None, "day 31 does not exist in every month"),
    ("2005-01-01", "3 m", 2, None, "ambiguous"), ("2005-01-01", "1 fortnight", 2, None, "unknown unit"),
    ("2005-01-01", "0.5 month", 2, None, "whole"), ("2005-01-01", None, 2, None, "needs --time-step"),
    ("2001-02-30", "1 day", 2, None, "not a date of the standard calendar"), ("soon", "1 day", 2, None, "ISO-8601"),
])
def test_dates_given_by_the_user(start, step, n, calendar, want):
    if isinstance(want, str):
        with pytest.raises(ValueError, match=want):
            dated_axis(start, step, n, calendar)
    else:
        assert dated_axis(start, step, n, calendar).stamps == want
    assert parse_time_step("90min") == (5400.0, "seconds")


@pytest.mark.parametrize("stamps,calendar,bounds,want", [
    (["2000-02-28T00:00:00", "2000-02-30T00:00:00", "2000-03-01T00:00:00"], "360_day", (None, None), [0, 2 / 3, 1]),
    (["2001-02-28", "2001-03-01"], "noleap", ("2001-02-27", "2001-03-02"), [1 / 3, 2 / 3]),
    (["2000-02-28", "2000-03-01"], "noleap", (None, None), [0, 1]),
    (["2000-02-28", "2000-02-29", "2000-03-01"], "proleptic_gregorian", (None, None), [0, 0.5, 1]),
    (["1", "2", "4"], "none", (None, None), [0, 1 / 3, 1]),
    (["5"], "none", (None, None), [0]),
])
def test_time_inputs_follow_the_calendar(stamps, calendar, bounds, want):
    np.testing.assert_allclose(normalize_time(stamps, *bounds, calendar=calendar), want, rtol=1e-12)


def test_arrays_in_metadata_round_trip_exactly_and_refuse_inconsistent_records():
    for a in (np.array([1.5, np.nan, -1e300]), np.arange(6, dtype=">i2").reshape(2, 3), np.float32(3.25),
              np.array(["a", "bé"]), np.array([b"ab", b"c"]), np.array(["2001-01-01"], "datetime64[s]"),
              np.array([True, False])):
        back = unpack_array(pack_array(a))
        assert back.shape == np.shape(a) and back.dtype == np.asarray(a).dtype.newbyteorder("=")
        assert np.array_equal(back, np.asarray(a), equal_nan=back.dtype.kind == "f")
    good = pack_array(np.arange(4, dtype="<f8"))
    for bad, words in ((dict(good, shape=[5]), "bytes for shape"), (dict(good, shape=[-4]), "bad shape"),
                       (dict(good, dtype="|O"), "unsupported"), (dict(good, dtype=">f8"), "unsupported"),
                       (dict(good, base64="@@@"), "invalid base64"), (dict(good, dtype="x9"), "unknown type"),
                       ({"dtype": "str", "shape": [2], "values": ["a"]}, "count of texts"), ([], "shape")):
        with pytest.raises(ValueError, match=words):
            unpack_array(bad)
