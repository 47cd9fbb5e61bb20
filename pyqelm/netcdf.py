"""NetCDF input: one CF variable of a NetCDF file as a temporary Zarr v2 store.

The engine reads Zarr; a NetCDF file is copied into a Zarr v2 store the way xarray would write
it, so the Zarr source sees the same thing it sees in any other store:

* the data variable with its stored (packed) values, its attributes and ``_ARRAY_DIMENSIONS``;
  ``_FillValue`` becomes the array's fill value, ``scale_factor``, ``add_offset`` and
  ``missing_value`` stay attributes, so unpacking and no-data detection happen in one place;
* the 1-D coordinate variables of its dimensions (time with its CF ``units`` and
  ``calendar``, latitude/longitude or y/x, band) and its grid-mapping variable;
* the file's global attributes as the group's attributes.

Frames are copied a few at a time, so a file larger than memory converts. ``netcdf_as_zarr`` is
a context manager whose store lives in a temporary folder removed on exit, also on error.
"""
import contextlib
import os
import shutil
import tempfile

import numpy as np

from pyqelm.encoder.streaming_sources import BAND_NAMES, TIME_NAMES, X_NAMES, Y_NAMES

_COORD_NAMES = set(TIME_NAMES + Y_NAMES + X_NAMES + BAND_NAMES)
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


def _choose_variable(ds, path, variable):
    names = list(ds.variables)
    if variable is not None:
        if variable not in ds.variables:
            raise ValueError(f"variable {variable!r} not found in {path}; variables: {sorted(names)}")
        return variable
    candidates = [n for n in names if ds.variables[n].ndim in (3, 4) and n.lower() not in _COORD_NAMES
                  and not n.lower().endswith(("_bnds", "_bounds"))]
    if not candidates:
        raise ValueError(f"no data variable (3 or 4 dimensions) in {path}; variables: {sorted(names)}")
    if len(candidates) > 1:
        raise ValueError(f"several data variables in {path}: {sorted(candidates)}; choose one with --variable")
    return candidates[0]


def _zarr_dtype(var):
    return np.dtype(var.dtype).newbyteorder("=")


def _copy_array(group, name, var, dims, chunks=None, fill=None, attrs=None):
    if var.dtype is str or np.dtype(var.dtype).kind in "OSU":
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


def _check_variable(name, var):
    if var.ndim not in (3, 4):
        raise ValueError(f"variable {name!r} has {var.ndim} dimension(s) {var.dimensions}; "
                         "a data variable has 3 (time, y, x) or 4 (with a band axis)")
    if 0 in var.shape:
        raise ValueError(f"variable {name!r} has shape {tuple(var.shape)} ({', '.join(var.dimensions)}): "
                         "there is no data to read")


def variable_layout(path, variable=None):
    """(name, shape, bytes per stored value, dimension names) of the data variable a conversion
    would copy, read from the file's header alone."""
    ds = _open(path)
    try:
        name = _choose_variable(ds, path, variable)
        var = ds.variables[name]
        _check_variable(name, var)
        return name, tuple(int(n) for n in var.shape), _zarr_dtype(var).itemsize, tuple(var.dimensions)
    finally:
        ds.close()


def convert(path, store, variable=None):
    """Copy one variable of a NetCDF file (with its coordinates) into a new Zarr v2 store at
    ``store``; returns the variable's name."""
    import zarr

    ds = _open(path)
    try:
        name = _choose_variable(ds, path, variable)
        var = ds.variables[name]
        _check_variable(name, var)
        group = zarr.open_group(store, mode="w")
        group.attrs.update({k: _plain(ds.getncattr(k)) for k in ds.ncattrs()})
        fill = var.getncattr("_FillValue") if "_FillValue" in var.ncattrs() else None
        fill = None if fill is None else np.asarray(fill, dtype=_zarr_dtype(var)).item()
        chunks = (1,) + tuple(var.shape[1:])
        _copy_array(group, name, var, var.dimensions, chunks=chunks, fill=fill,
                    attrs=_attrs(var, skip=("_FillValue",)))
        for dim in var.dimensions:
            coord = ds.variables.get(dim)
            if coord is not None and coord.ndim == 1 and coord.dimensions == (dim,):
                _copy_array(group, dim, coord, (dim,), attrs=_attrs(coord, skip=("_FillValue",)))
        gm = str(var.getncattr("grid_mapping")).split(":")[0].strip() if "grid_mapping" in var.ncattrs() else ""
        if gm and gm in ds.variables and gm not in group:
            _copy_array(group, gm, ds.variables[gm], ds.variables[gm].dimensions, attrs=_attrs(ds.variables[gm]))
        return name
    finally:
        ds.close()


# The copy is named by process id, so that what a run killed outright left behind is
# recognised and removed by the next one.
_TMP_PREFIX = "pyqelm-nc-"
_TMP_PATTERN = r"^pyqelm-nc-(?P<pid>\d+)-[A-Za-z0-9_]+$"


def temporary_folder(tmpdir=None):
    return tmpdir or os.environ.get("PYQELM_TMPDIR") or tempfile.gettempdir()


@contextlib.contextmanager
def netcdf_as_zarr(path, variable=None, tmpdir=None):
    """Context manager: (store path, variable name) of a temporary Zarr v2 copy of ``path``.
    Refused before anything is copied when the temporary folder lacks the room for it."""
    from pyqelm.outputs import sweep_pattern

    base = temporary_folder(tmpdir)
    if not os.path.isdir(base):
        raise ValueError(f"temporary folder {base} does not exist (set PYQELM_TMPDIR to a folder that does)")
    sweep_pattern(base, _TMP_PATTERN)
    name, shape, itemsize, _ = variable_layout(path, variable)
    need = int(np.prod(shape, dtype=np.float64) * itemsize * 1.02) + (16 << 20)
    free = shutil.disk_usage(base).free
    if need > free:
        raise ValueError(f"copying {name!r} out of {os.fspath(path)} needs {need / 2**30:.1f} GiB in the temporary "
                         f"folder {base}, which has {free / 2**30:.1f} GiB free; set PYQELM_TMPDIR to a folder "
                         "with room")
    folder = tempfile.mkdtemp(prefix=f"{_TMP_PREFIX}{os.getpid()}-", dir=base)
    try:
        store = os.path.join(folder, "source.zarr")
        name = convert(path, store, variable)
        yield store, name
    finally:
        shutil.rmtree(folder, ignore_errors=True)
