"""NetCDF input: one CF variable of a NetCDF file as a temporary Zarr v2 store.

The engine reads Zarr; a NetCDF file is copied into a Zarr v2 store the way xarray would write
it, so the Zarr source sees the same thing it sees in any other store:

* the data variable (chosen by ``pyqelm.conventions.choose_variable``) with its stored
  (packed) values, its attributes and ``_ARRAY_DIMENSIONS``; ``_FillValue`` becomes the
  array's fill value, ``scale_factor``, ``add_offset`` and ``missing_value`` stay attributes,
  so unpacking and no-data detection happen in one place;
* the variables that travel with it (``pyqelm.conventions.related_variables``): coordinate
  variables of its dimensions, auxiliary coordinates named in ``coordinates`` (2-D
  latitude/longitude of a curvilinear grid), bounds and the grid-mapping variable, each with
  its stored values, fill value and attributes; character arrays become text arrays without
  their string-length dimension, as xarray reads them;
* the file's global attributes as the group's attributes.

Frames are copied a few at a time, so a file larger than memory converts. ``netcdf_as_zarr`` is
a context manager whose store lives in a temporary folder removed on exit, also on error.
"""
import contextlib
import os
import shutil
import tempfile

import numpy as np

from pyqelm.conventions import Var, choose_variable, related_variables

_COPY_BYTES = 64 << 20

NETCDF_MAGIC = (b"CDF\x01", b"CDF\x02", b"CDF\x05", b"\x89HDF\r\n\x1a\n")


def is_netcdf(path):
    """True for a file that starts like a NetCDF-3 (classic, 64-bit) or NetCDF-4/HDF5 file."""
    try:
        with open(path, "rb") as f:
            head = f.read(8)
    except OSError:
        return False
    return any(head.startswith(m) for m in NETCDF_MAGIC)


def _plain(value):
    """A NetCDF attribute value as JSON-ready Python (lists for arrays, text for bytes)."""
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.ndarray):
        return [_plain(v) for v in value.tolist()] if value.ndim else _plain(value.item())
    if isinstance(value, np.generic):
        return _plain(value.item())
    if isinstance(value, float) and not np.isfinite(value):
        return None if np.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def _attrs(var, skip=()):
    return {k: _plain(var.getncattr(k)) for k in var.ncattrs() if k not in skip}


def _open(path):
    import netCDF4

    path = os.fspath(path)
    if not os.path.isfile(path):
        raise ValueError(f"NetCDF file not found: {path}")
    try:
        ds = netCDF4.Dataset(path, "r")
    except OSError as e:
        raise ValueError(f"cannot read {path} as NetCDF: {e}") from None
    ds.set_auto_maskandscale(False)
    return ds


def _describe(ds):
    out = {}
    for name, v in ds.variables.items():
        try:
            dtype = np.dtype(v.dtype)
        except TypeError:  # variable-length and compound types
            dtype = np.dtype("O")
        out[name] = Var(name=name, dims=tuple(v.dimensions), shape=tuple(v.shape), dtype=dtype, attrs=_attrs(v))
    return out


def _zarr_dtype(var):
    return np.dtype(var.dtype).newbyteorder("=")


def _fill_of(var):
    if "_FillValue" not in var.ncattrs():
        return None
    return np.asarray(var.getncattr("_FillValue"), dtype=_zarr_dtype(var)).item()


def _copy_array(group, name, var, dims, chunks=None, fill=None, attrs=None):
    kind = np.dtype(var.dtype).kind if var.dtype is not str else "U"
    if kind == "S":
        import netCDF4

        data = np.asarray(var[...])
        if data.dtype == np.dtype("S1") and data.ndim >= 1:
            # A character array: one byte string per row, the string-length dimension dropped.
            data, dims = np.asarray(netCDF4.chartostring(data, encoding="none")), tuple(dims)[:-1]
        arr = group.create_dataset(name, data=data, shape=data.shape, dtype=data.dtype, compressor=None,
                                   fill_value=None)
    elif kind in "OU":
        data = np.asarray([_plain(v) for v in np.asarray(var[...]).reshape(-1)], dtype=str).reshape(var.shape)
        arr = group.create_dataset(name, data=data, dtype=data.dtype, compressor=None, fill_value=None)
    else:
        dtype = _zarr_dtype(var)
        arr = group.create_dataset(name, shape=var.shape, dtype=dtype, chunks=chunks or var.shape or None,
                                   compressor=None, fill_value=fill)
        if var.ndim == 0:
            arr[...] = np.asarray(var.getValue(), dtype=dtype)
        elif var.ndim <= 2 or var.shape[0] == 0:
            arr[...] = np.asarray(var[...], dtype=dtype)
        else:
            frame = int(np.prod(var.shape[1:])) * dtype.itemsize
            step = max(1, _COPY_BYTES // max(frame, 1))
            for lo in range(0, var.shape[0], step):
                hi = min(var.shape[0], lo + step)
                arr[lo:hi] = np.asarray(var[lo:hi], dtype=dtype)
    arr.attrs.update(dict(attrs or {}, _ARRAY_DIMENSIONS=list(dims)))
    return arr


def convert(path, store, variable=None):
    """Copy one variable of a NetCDF file (with the variables that travel with it) into a new
    Zarr v2 store at ``store``; returns the variable's name."""
    import zarr

    ds = _open(path)
    try:
        described = _describe(ds)
        name = choose_variable(described, variable, path)
        var = ds.variables[name]
        group = zarr.open_group(store, mode="w")
        group.attrs.update({k: _plain(ds.getncattr(k)) for k in ds.ncattrs()})
        chunks = ((1,) if var.ndim >= 3 else (var.shape[0],)) + tuple(var.shape[1:])
        _copy_array(group, name, var, var.dimensions, chunks=chunks, fill=_fill_of(var),
                    attrs=_attrs(var, skip=("_FillValue",)))
        related, _ = related_variables(described[name], described)
        for other in related:
            v = ds.variables[other]
            if described[other].dtype.kind == "O" and v.dtype is not str:
                continue  # compound or variable-length: the source notes that it is not carried
            _copy_array(group, other, v, v.dimensions, fill=None if v.dtype is str else _fill_of(v),
                        attrs=_attrs(v, skip=("_FillValue",)))
        return name
    finally:
        ds.close()


@contextlib.contextmanager
def netcdf_as_zarr(path, variable=None, tmpdir=None):
    """Context manager: (store path, variable name) of a temporary Zarr v2 copy of ``path``."""
    folder = tempfile.mkdtemp(prefix="pyqelm-nc-", dir=tmpdir or os.environ.get("PYQELM_TMPDIR") or None)
    try:
        store = os.path.join(folder, "source.zarr")
        name = convert(path, store, variable)
        yield store, name
    finally:
        shutil.rmtree(folder, ignore_errors=True)
