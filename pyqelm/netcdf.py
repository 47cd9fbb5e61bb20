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


def _check_variable(name, var):
    # Which dimension is what is decided by the conventions once the copy is read; here only
    # what no reading can serve.
    if var.ndim < 2:
        raise ValueError(f"variable {name!r} has {var.ndim} dimension(s) {var.dimensions}; "
                         "a data variable has rows and columns (2 to 4 dimensions)")
    if 0 in var.shape:
        raise ValueError(f"variable {name!r} has shape {tuple(var.shape)} ({', '.join(var.dimensions)}): "
                         "there is no data to read")


def variable_layout(path, variable=None):
    """(name, shape, bytes per stored value, dimension names) of the data variable a conversion
    would copy, read from the file's header alone."""
    ds = _open(path)
    try:
        name = choose_variable(_describe(ds), variable, path)
        var = ds.variables[name]
        _check_variable(name, var)
        return name, tuple(int(n) for n in var.shape), _zarr_dtype(var).itemsize, tuple(var.dimensions)
    finally:
        ds.close()


def copy_bytes(path, variable=None):
    """Bytes a conversion writes: the data variable and every variable that travels with it."""
    ds = _open(path)
    try:
        described = _describe(ds)
        name = choose_variable(described, variable, path)
        related, _ = related_variables(described[name], described)
        total = 0
        for n in [name] + list(related):
            v = described[n]
            size = v.dtype.itemsize if v.dtype.kind != "O" else 8
            total += int(np.prod(v.shape, dtype=np.float64)) * size
        return total
    finally:
        ds.close()


def cube_shape(path, variable=None, band_dim=None):
    """(T, H, W, C) the data variable reads as, by the same conventions as the Zarr source,
    from the file's header alone."""
    from pyqelm.conventions import resolve_layout

    ds = _open(path)
    try:
        described = _describe(ds)
        name = choose_variable(described, variable, path)
        _check_variable(name, ds.variables[name])
        layout = resolve_layout(described[name], described, band_dim)
        shape = described[name].shape
        return tuple(1 if layout.index(r) is None else int(shape[layout.index(r)])
                     for r in ("time", "y", "x", "band"))
    finally:
        ds.close()


def convert(path, store, variable=None):
    """Copy one variable of a NetCDF file (with the variables that travel with it) into a new
    Zarr v2 store at ``store``; returns the variable's name."""
    import zarr

    ds = _open(path)
    try:
        described = _describe(ds)
        name = choose_variable(described, variable, path)
        var = ds.variables[name]
        _check_variable(name, var)
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
    name = variable_layout(path, variable)[0]
    need = int(copy_bytes(path, name) * 1.02) + (16 << 20)
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
