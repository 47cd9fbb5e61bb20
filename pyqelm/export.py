"""A decoded cube written back as a Zarr v2 store that xarray opens as the source's variable.

What the store holds, from the container:

* the variable under its source name and dimension names (``extras["source"]`` of the chunk;
  "data" with (time, y, x[, band]) when the cube came from rasters), float32 physical values,
  NaN for no-data (the array's fill value, which xarray reads as ``_FillValue``), with the
  source's attributes and units;
* the time coordinate as CF numbers in the source's time units and calendar (when the source
  had none, "days since 1970-01-01 00:00:00", proleptic Gregorian);
* the y/x (or lat/lon) coordinates: the stored values of an unevenly spaced axis, otherwise
  pixel centres rebuilt from the affine transform (outer corner + (i + 0.5) x step); none when
  the container has neither;
* a band coordinate with the band names when the cube has several bands;
* the grid mapping ("spatial_ref", with "crs_wkt" and a GDAL "GeoTransform") when the
  container has a CRS; the store's global attributes.

The metadata is consolidated, so ``xarray.open_zarr`` opens it without warnings.
"""
import os

import numpy as np

from pyqelm.encoder.streaming_sources import _dim_kind, encode_cf_times

DEFAULT_TIME_UNITS = "days since 1970-01-01 00:00:00"
_FRAME_CHUNK_BYTES = 16 << 20


def _layout(dims, C):
    kinds = [_dim_kind(d) for d in dims]
    if kinds == ["time", "y", "x"] and C == 1:
        return "tyx"
    if kinds == ["time", "y", "x", "band"]:
        return "tyxb"
    if kinds == ["time", "band", "y", "x"]:
        return "tbyx"
    return None


def _axis_values(n, origin, step):
    return origin + (np.arange(n, dtype=np.float64) + 0.5) * step


def _jsonable(value):
    """Attribute values as zarr can store them (NaN and infinities as None: strict JSON)."""
    if isinstance(value, float) and not np.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    return value


def write_zarr(cube, meta, source, path, force=False, protect=()):
    """Write ``cube`` (float32 (T, H, W, C)) with the container's ``meta`` (outer Meta) and
    ``source`` (the chunk's ``extras["source"]``, may be empty) as a Zarr v2 store at ``path``.
    Returns the variable name.

    The store is written under a staging name beside ``path`` and moved into place only when
    complete; with ``force`` it replaces an existing Zarr store (nothing else), which stays as
    it was if writing fails. ``protect`` lists paths the output must not be or contain (the
    inputs). See ``pyqelm.outputs``."""
    from pyqelm.outputs import Commit, check_output

    check_output(path, "store", inputs=protect, force=force)
    with Commit(force=force) as commit:
        name = _write_store(cube, meta, source, commit.store(path))
        commit.commit()
    return name


def _write_store(cube, meta, source, path):
    import zarr

    path = os.fspath(path)
    T, H, W, C = cube.shape
    source = dict(source or {})
    band_names = [b.name for b in meta.bands] if meta.bands else [f"B{i + 1}" for i in range(C)]
    name = source.get("variable") or "data"
    dims = list(source.get("dims") or [])
    layout = _layout(dims, C) if dims else None
    if layout is None:
        dims = ["time", "y", "x"] if C == 1 else ["time", "y", "x", "band"]
        layout = "tyx" if C == 1 else "tyxb"
    data = cube[..., 0] if layout == "tyx" else (cube.transpose(0, 3, 1, 2) if layout == "tbyx" else cube)
    coords = source.get("coords") or {}

    group = zarr.open_group(path, mode="w")
    group.attrs.update(_jsonable(source.get("global_attrs") or {}))
    frame_bytes = max(1, data[0].nbytes if T else 1)
    chunks = (max(1, min(T, _FRAME_CHUNK_BYTES // frame_bytes)),) + data.shape[1:]
    arr = group.create_dataset(name, data=np.ascontiguousarray(data, dtype=np.float32), chunks=chunks,
                               fill_value=np.nan)
    attrs = dict(_jsonable(source.get("attrs") or {}))
    if source.get("units") is not None:
        attrs["units"] = source["units"]
    coord_names = []

    # time
    tdim = dims[0]
    stamps = list(meta.time.values) if meta.time is not None else []
    if len(stamps) == T and T:
        units = source.get("time_units") or DEFAULT_TIME_UNITS
        calendar = (meta.time.calendar or "proleptic_gregorian") if source.get("time_units") else "proleptic_gregorian"
        values = encode_cf_times(stamps, units, calendar)
        tattrs = {k: v for k, v in (coords.get(tdim, {}).get("attrs") or {}).items() if k != "bounds"}
        tattrs.update(units=units, calendar=calendar)
        tarr = group.create_dataset(tdim, data=values, dtype=np.float64, fill_value=None)
        tarr.attrs.update(dict(_jsonable(tattrs), _ARRAY_DIMENSIONS=[tdim]))

    # y and x
    t = list(meta.transform) if meta.transform is not None else None
    rotated = t is not None and (t[1] != 0 or t[3] != 0)
    for dim in dims[1:]:
        kind = _dim_kind(dim)
        rec = coords.get(dim) or {}
        cattrs = {k: v for k, v in (rec.get("attrs") or {}).items() if k != "bounds"}
        if kind in ("y", "x"):
            n = H if kind == "y" else W
            if rec.get("values") is not None and len(rec["values"]) == n:
                values = np.asarray(rec["values"], dtype=np.float64)
            elif t is not None and not rotated:
                values = _axis_values(n, t[5], t[4]) if kind == "y" else _axis_values(n, t[2], t[0])
            else:
                continue
            carr = group.create_dataset(dim, data=values, dtype=np.float64, fill_value=None)
            carr.attrs.update(dict(_jsonable(cattrs), _ARRAY_DIMENSIONS=[dim]))
        elif kind == "band":
            names = band_names if len(band_names) == C else [f"B{i + 1}" for i in range(C)]
            carr = group.create_dataset(dim, data=np.asarray(names, dtype=str), fill_value=None)
            carr.attrs.update(dict(_jsonable(cattrs), _ARRAY_DIMENSIONS=[dim]))

    if meta.crs is not None:
        gm = group.create_dataset("spatial_ref", data=np.int32(0), shape=(), dtype=np.int32, fill_value=None)
        gattrs = {"crs_wkt": meta.crs if isinstance(meta.crs, str) else str(meta.crs)}
        if t is not None:
            gattrs["GeoTransform"] = " ".join(repr(float(v)) for v in (t[2], t[0], t[1], t[5], t[3], t[4]))
        gm.attrs.update(dict(gattrs, _ARRAY_DIMENSIONS=[]))
        attrs["grid_mapping"] = "spatial_ref"
        coord_names.append("spatial_ref")
    if coord_names:
        attrs["coordinates"] = " ".join(coord_names)
    arr.attrs.update(dict(attrs, _ARRAY_DIMENSIONS=dims))
    zarr.consolidate_metadata(path)
    return name
