"""Lazy xarray access to a container: ``xarray.open_dataset(path, engine="qelm")``.

The dataset holds the source's variable under its name and dimensions, with its coordinates,
CF-decoded time and attributes: the same description ``decode`` writes to Zarr
(``pyqelm.export.described_layout`` for a source that named the role of every dimension, the
source's own layout with every variable that travelled with it; ``cube_layout`` otherwise).
Nothing is decoded when it opens: only the container's metadata and manifest are read.
Indexing the variable decodes the chunks the selection touches and, in them, only the selected
pixels (``pyqelm.windowed``). The variable's encoding names the
container's chunks as its "preferred_chunks", so ``chunks={}`` gives a dask array with one dask
chunk per container chunk; ``pyqelm.open_dataset`` opens it that way.

The engine is registered under the entry point group "xarray.backends" as
``qelm = pyqelm.xarray_backend:QELMBackendEntrypoint``; without the package installed, pass the
class itself: ``xarray.open_dataset(path, engine=QELMBackendEntrypoint)``.
"""
import os

import numpy as np
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from pyqelm.export import cube_layout, described_layout
from pyqelm.format import ContainerReader, read_chunk_bytes
from pyqelm.windowed import AXES, chunk_grid, decode_window, file_identity, shared_reader, source_record

class QELMBackendArray(BackendArray):
    """The decoded cube of a container, in the variable's dimension order, decoded on access."""

    def __init__(self, path, identity, layout, T, H, W, C):
        self.path, self.identity, self.layout = path, tuple(identity), layout
        self.roles = layout.roles
        self.shape = layout.shape(T, H, W, C)
        self.dtype = np.dtype(np.float32)

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC, self._getitem)

    def _getitem(self, key):
        picks, spans = [], {}
        for p, (role, k, n) in enumerate(zip(self.roles, key, self.shape)):
            idx = np.arange(n)[k]
            if role in AXES:
                if idx.size == 0:
                    return np.empty(tuple(np.arange(m)[kk].size for m, kk in zip(self.shape, key)
                                          if not isinstance(kk, (int, np.integer))), dtype=self.dtype)
                lo, hi = int(np.min(idx)), int(np.max(idx)) + 1
                spans[role] = (lo, hi)
                idx = idx - lo
            picks.append((p, idx))
        cube, _ = decode_window(shared_reader(self.path, self.identity), **spans)
        data = self.layout.arrange(cube)
        # The decoded block spans each selection's first to last index; take the selection from it.
        for p, idx in sorted(picks, key=lambda pick: pick[0], reverse=True):
            data = np.take(data, idx, axis=p)
        return data


def open_qelm_dataset(path, drop_variables=None, mask_and_scale=True, decode_times=True, decode_coords=True,
                      use_cftime=None, decode_timedelta=None):
    """The container at ``path`` as a lazily decoded ``xarray.Dataset`` (module doc)."""
    import xarray as xr

    path = os.path.abspath(os.fspath(path))
    identity = file_identity(path)
    with ContainerReader(path) as reader:
        meta, manifest = reader.meta, reader.manifest
        grid = chunk_grid(meta, manifest)
        chunk_meta = None
        if "source" not in meta.extras and manifest.chunks:
            chunk_meta = read_chunk_bytes(reader.read_chunk(manifest.chunks[0])).chunk_meta
    T, H, W = meta.n_frames, meta.height, meta.width
    C = int(meta.shape[3]) if len(meta.shape) > 3 else 1
    source = source_record(meta, chunk_meta)
    lay = described_layout(meta, source, C) if source.get("axes") is not None else cube_layout(meta, source, C)
    sizes = {a: tuple(int(b - a_) for a_, b in zip(grid.edges[a][:-1], grid.edges[a][1:])) for a in AXES}
    sizes.update(band=(C,), extra=(1,))
    preferred = {d: sizes[r] for d, r in zip(lay.dims, lay.roles)}
    array = QELMBackendArray(path, identity, lay, T, H, W, C)
    variables = {lay.name: xr.Variable(lay.dims, indexing.LazilyIndexedArray(array), attrs=lay.attrs,
                                       encoding={"preferred_chunks": preferred, "dtype": np.dtype(np.float32)})}
    for c in lay.coords:
        attrs = dict(c.attrs) if c.fill is None else dict(c.attrs, _FillValue=c.fill)  # as a store holds it
        variables[c.name] = xr.Variable(c.dims, np.asarray(c.values), attrs=attrs)
    variables, attrs, coord_names = xr.conventions.decode_cf_variables(
        variables, dict(lay.global_attrs), mask_and_scale=mask_and_scale, decode_times=decode_times,
        decode_coords=decode_coords, drop_variables=drop_variables, use_cftime=use_cftime,
        decode_timedelta=decode_timedelta)
    ds = xr.Dataset(variables, attrs=attrs)
    ds = ds.set_coords([n for n in coord_names if n in ds.variables])
    ds.encoding["source"] = path
    return ds


class QELMBackendEntrypoint(BackendEntrypoint):
    description = "Open pyqelm .qelm containers, decoded lazily chunk by chunk"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "mask_and_scale", "decode_times",
                               "decode_coords", "use_cftime", "decode_timedelta")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, mask_and_scale=True, decode_times=True,
                     decode_coords=True, use_cftime=None, decode_timedelta=None):
        if hasattr(filename_or_obj, "read"):
            raise ValueError("the qelm engine opens containers by path")
        return open_qelm_dataset(filename_or_obj, drop_variables=drop_variables, mask_and_scale=mask_and_scale,
                                 decode_times=decode_times, decode_coords=decode_coords, use_cftime=use_cftime,
                                 decode_timedelta=decode_timedelta)

    def guess_can_open(self, filename_or_obj):
        try:
            return os.fspath(filename_or_obj).lower().endswith(".qelm")
        except TypeError:
            return False


def open_dataset(path, chunks=None, **kwargs):
    """The container at ``path`` as an ``xarray.Dataset`` whose variable is a dask array with one
    dask chunk per container chunk (give ``chunks`` to cut it otherwise), decoded on demand."""
    import xarray as xr

    return xr.open_dataset(os.fspath(path), engine=QELMBackendEntrypoint, chunks={} if chunks is None else chunks,
                           **kwargs)
