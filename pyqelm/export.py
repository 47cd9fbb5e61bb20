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

When the source description names the role of every dimension ("axes", written by the Zarr
source since variables of any layout were accepted), the store is the source's own layout
instead: the variable in its stored dimension order (a 2-D variable stays 2-D, a singleton
dimension comes back), and every variable that travelled with it (``coords``: coordinates of
the dimensions, auxiliary coordinates such as 2-D latitude/longitude, bounds, the grid mapping)
restored exactly from its stored values, type, fill value and attributes; auxiliary coordinates
are listed in the variable's ``coordinates`` and the grid mapping in its ``grid_mapping``, so
xarray opens the store as it opens the source. Nothing is rebuilt that the source did not
have: no time axis for an undated variable, no band names for a band dimension without a
coordinate, no "spatial_ref".

The metadata is consolidated, so ``xarray.open_zarr`` opens it without warnings.
``cube_layout`` is that description on its own (the lazy xarray backend builds its dataset
from it too).
"""
import os
from dataclasses import dataclass
from typing import Optional

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


@dataclass
class Coordinate:
    name: str
    dims: list  # [] for the scalar grid-mapping variable
    values: np.ndarray
    attrs: dict
    fill: object = None  # the stored fill value of a variable restored from the source


@dataclass
class CubeLayout:
    """How a decoded cube is laid out as the source's variable: its name, dimensions,
    attributes and coordinates, and the store's global attributes."""
    name: str
    dims: list
    layout: Optional[str]  # "tyx", "tyxb" or "tbyx"; None when ``axes`` gives the roles
    attrs: dict
    coords: list  # of Coordinate
    global_attrs: dict
    axes: Optional[list] = None  # the role of every dimension, as the source described them

    @property
    def roles(self):
        if self.axes is not None:
            return list(self.axes)
        return {"tyx": ["time", "y", "x"], "tyxb": ["time", "y", "x", "band"],
                "tbyx": ["time", "band", "y", "x"]}[self.layout]

    def arrange(self, cube):
        """A (T, H, W, C) array (or any array indexed that way) in the variable's dimension order."""
        if self.axes is not None:
            return _stored_layout(cube, self.dims, self.axes)
        if self.layout == "tyx":
            return cube[..., 0]
        return cube.transpose(0, 3, 1, 2) if self.layout == "tbyx" else cube

    def shape(self, T, H, W, C):
        n = {"time": T, "y": H, "x": W, "band": C, "extra": 1}
        return tuple(n[r] for r in self.roles)


def _carried_axis(rec, dim, n):
    """The exact stored values of a 1-D coordinate the source carried for ``dim``, if it has
    ``n`` of them."""
    if rec.get("array") is None or rec.get("dims") != [dim]:
        return None
    from pyqelm.conventions import unpack_array

    values = unpack_array(rec["array"])
    return values if values.shape == (n,) else None


def cube_layout(meta, source, C=None):
    """The ``CubeLayout`` of a cube described by ``meta`` (outer Meta, or a window's) and
    ``source`` (the source record: ``extras["source"]`` of the chunk or of the Meta, may be
    empty). Coordinates as listed in the module doc; the time coordinate holds CF numbers with
    their ``units`` and ``calendar`` attributes."""
    T, H, W = meta.n_frames, meta.height, meta.width
    C = int(meta.shape[3]) if C is None else C
    source = dict(source or {})
    band_names = [b.name for b in meta.bands] if meta.bands else [f"B{i + 1}" for i in range(C)]
    name = source.get("variable") or "data"
    dims = list(source.get("dims") or [])
    layout = _layout(dims, C) if dims else None
    if layout is None:
        dims = ["time", "y", "x"] if C == 1 else ["time", "y", "x", "band"]
        layout = "tyx" if C == 1 else "tyxb"
    coords_rec = source.get("coords") or {}
    attrs = dict(_jsonable(source.get("attrs") or {}))
    if source.get("units") is not None:
        attrs["units"] = source["units"]
    coords = []

    tdim = dims[0]
    stamps = list(meta.time.values) if meta.time is not None else []
    if len(stamps) == T and T:
        units = source.get("time_units") or DEFAULT_TIME_UNITS
        calendar = (meta.time.calendar or "proleptic_gregorian") if source.get("time_units") else "proleptic_gregorian"
        tattrs = {k: v for k, v in (coords_rec.get(tdim, {}).get("attrs") or {}).items() if k != "bounds"}
        tattrs.update(units=units, calendar=calendar)
        coords.append(Coordinate(tdim, [tdim], encode_cf_times(stamps, units, calendar), _jsonable(tattrs)))

    t = list(meta.transform) if meta.transform is not None else None
    rotated = t is not None and (t[1] != 0 or t[3] != 0)
    for dim in dims[1:]:
        kind = _dim_kind(dim)
        rec = coords_rec.get(dim) or {}
        cattrs = _jsonable({k: v for k, v in (rec.get("attrs") or {}).items() if k != "bounds"})
        if kind in ("y", "x"):
            n = H if kind == "y" else W
            carried = _carried_axis(rec, dim, n)
            if carried is not None:
                values = carried
            elif rec.get("values") is not None and len(rec["values"]) == n:
                values = np.asarray(rec["values"], dtype=np.float64)
            elif t is not None and not rotated:
                values = _axis_values(n, t[5], t[4]) if kind == "y" else _axis_values(n, t[2], t[0])
            else:
                continue
            coords.append(Coordinate(dim, [dim], values, cattrs))
        elif kind == "band":
            names = band_names if len(band_names) == C else [f"B{i + 1}" for i in range(C)]
            coords.append(Coordinate(dim, [dim], np.asarray(names, dtype=str), cattrs))

    if meta.crs is not None:
        gattrs = {"crs_wkt": meta.crs if isinstance(meta.crs, str) else str(meta.crs)}
        if t is not None:
            gattrs["GeoTransform"] = " ".join(repr(float(v)) for v in (t[2], t[0], t[1], t[5], t[3], t[4]))
        coords.append(Coordinate("spatial_ref", [], np.int32(0), gattrs))
        attrs["grid_mapping"] = "spatial_ref"
        attrs["coordinates"] = "spatial_ref"
    return CubeLayout(name, dims, layout, attrs, coords, _jsonable(source.get("global_attrs") or {}))


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
    if source.get("axes") is not None:
        return _write_described(cube, described_layout(meta, source, C), path)
    lay = cube_layout(meta, source, C)
    data = lay.arrange(cube)

    group = zarr.open_group(path, mode="w")
    group.attrs.update(lay.global_attrs)
    frame_bytes = max(1, data[0].nbytes if T else 1)
    chunks = (max(1, min(T, _FRAME_CHUNK_BYTES // frame_bytes)),) + data.shape[1:]
    arr = group.create_dataset(lay.name, data=np.ascontiguousarray(data, dtype=np.float32), chunks=chunks,
                               fill_value=np.nan)
    for c in lay.coords:
        values = np.asarray(c.values)
        kw = {"dtype": values.dtype} if values.dtype.kind != "U" else {}
        carr = group.create_dataset(c.name, data=values, shape=values.shape, fill_value=None, **kw)
        carr.attrs.update(dict(c.attrs, _ARRAY_DIMENSIONS=list(c.dims)))
    arr.attrs.update(dict(lay.attrs, _ARRAY_DIMENSIONS=lay.dims))
    zarr.consolidate_metadata(path)
    return lay.name


_ROLES = ("time", "y", "x", "band", "extra")


def _safe_name(name):
    return (isinstance(name, str) and name not in ("", ".", "..") and not name.startswith(".")
            and not any(c in name for c in "/\\\0"))


def _check_roles(dims, axes, shape):
    """``dims`` and their roles ``axes`` usable, and fitting a (T, H, W, C) cube of ``shape``."""
    if (not isinstance(dims, list) or not isinstance(axes, list) or len(dims) != len(axes)
            or len(set(map(str, dims))) != len(dims) or not all(_safe_name(d) for d in dims)
            or not all(a in _ROLES for a in axes)
            or any(axes.count(r) != (1 if r in ("y", "x") else axes.count(r)) for r in _ROLES)
            or axes.count("time") > 1 or axes.count("band") > 1):
        raise ValueError(f"the container's source description has unusable dimensions {dims!r} / roles {axes!r}")
    T, H, W, C = shape
    if ("time" not in axes and T != 1) or ("band" not in axes and C != 1):
        raise ValueError(f"the container's source description {dims!r} does not fit its {T} x {H} x {W} x {C} cube")


def _stored_layout(cube, dims, axes):
    """The (T, H, W, C) cube in the stored order of ``dims`` whose roles are ``axes``."""
    T, H, W, C = cube.shape
    _check_roles(dims, axes, cube.shape)
    data, roles = cube, ["time", "y", "x", "band"]
    if "band" not in axes:
        data, roles = data[..., 0], roles[:3]
    if "time" not in axes:
        data, roles = data[0], roles[1:]
    where = [axes.index(r) for r in roles]
    for i, a in enumerate(axes):
        if a == "extra":
            data = data[..., None]
            where.append(i)
    return data.transpose([where.index(i) for i in range(len(axes))])


def described_layout(meta, source, C=None):
    """The ``CubeLayout`` of a cube whose source description names the role of every dimension
    ("axes"): the variable in its stored order, and every variable that travelled with it
    restored from its stored values, type, fill value and attributes (module doc)."""
    from pyqelm.conventions import unpack_array

    C = int(meta.shape[3]) if C is None else C
    dims, axes = source.get("dims"), source.get("axes")
    _check_roles(dims, axes, (meta.n_frames, meta.height, meta.width, C))
    name = source.get("variable") or "data"
    if not _safe_name(name):
        raise ValueError(f"the container names its variable {name!r}, which cannot be a Zarr array name")
    n = {"time": meta.n_frames, "y": meta.height, "x": meta.width, "band": C, "extra": 1}
    sizes = {d: n[a] for d, a in zip(dims, axes)}
    attrs = dict(_jsonable(source.get("attrs") or {}))
    if source.get("units") is not None:
        attrs["units"] = source["units"]
    coords, aux, mapping = [], [], None
    for cname, rec in (source.get("coords") or {}).items():
        if not isinstance(rec, dict) or rec.get("array") is None:
            continue
        values = unpack_array(rec["array"])
        cdims = rec.get("dims")
        if (cname == name or not _safe_name(cname) or not isinstance(cdims, list)
                or len(cdims) != values.ndim or not all(_safe_name(d) for d in cdims)):
            raise ValueError(f"the container's source description holds an unusable variable {cname!r}")
        for d, m in zip(cdims, values.shape):
            if sizes.setdefault(d, m) != m:
                raise ValueError(f"variable {cname!r} has {m} values along {d!r}, which has {sizes[d]}")
        fill = rec.get("fill_value")
        if values.dtype.kind not in "biuf" or not isinstance(fill, (int, float)) or isinstance(fill, bool):
            fill = None
        cattrs = _jsonable({k: v for k, v in (rec.get("attrs") or {}).items() if k != "_FillValue"})
        coords.append(Coordinate(cname, list(cdims), values, cattrs, fill))
        if rec.get("role") == "aux":
            aux.append(cname)
        elif rec.get("role") == "grid_mapping":
            mapping = rec.get("referenced_as") if isinstance(rec.get("referenced_as"), str) else cname
    if aux:
        attrs["coordinates"] = " ".join(aux)
    if mapping:
        attrs["grid_mapping"] = mapping
    return CubeLayout(name, list(dims), None, attrs, coords, _jsonable(source.get("global_attrs") or {}),
                      axes=list(axes))


def _write_described(cube, lay, path):
    import zarr

    data = lay.arrange(cube)
    group = zarr.open_group(path, mode="w")
    group.attrs.update(lay.global_attrs)
    tdim = lay.dims[lay.axes.index("time")] if "time" in lay.axes else None
    sizes = dict(zip(lay.dims, data.shape))
    frame_bytes = max(1, data.nbytes // max(1, sizes.get(tdim, 1)))
    chunks = tuple(max(1, min(n, _FRAME_CHUNK_BYTES // frame_bytes)) if d == tdim else n
                   for d, n in zip(lay.dims, data.shape))
    arr = group.create_dataset(lay.name, data=np.ascontiguousarray(data, dtype=np.float32), chunks=chunks,
                               fill_value=np.nan)
    for c in lay.coords:
        carr = group.create_dataset(c.name, data=c.values, shape=c.values.shape, dtype=c.values.dtype,
                                    chunks=c.values.shape or None, fill_value=c.fill)
        carr.attrs.update(dict(c.attrs, _ARRAY_DIMENSIONS=list(c.dims)))
    arr.attrs.update(dict(lay.attrs, _ARRAY_DIMENSIONS=list(lay.dims)))
    zarr.consolidate_metadata(path)
    return lay.name
