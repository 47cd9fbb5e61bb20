"""Decoding containers of many chunks, whole or by window.

A container cuts its cube into a grid of chunks over (time, y, x), each with its own network
(see ``pyqelm.format.manifest``). ``decode_window`` decodes a window of frames, rows and columns:
it reads only the chunks the window touches (``ContainerReader``) and, inside each, predicts
only the pixels of the window. A chunk is decoded against its own metadata, derived from the
container's by ``window_meta``: its frames' timestamps, the affine transform moved to its corner
(the same ``window_affine`` the encoder's window source uses), its shape. A one-chunk container
is the same thing with one chunk, so every container decodes here.

Windows are given per axis as a ``slice`` (unit step; negative ends count from the end, as in
NumPy), a half-open pair ``(start, stop)``, one index, or None for the whole axis.
"""
import os
import threading
from typing import NamedTuple

import numpy as np

from pyqelm.encoder.streaming_sources import _dim_kind
from pyqelm.format import ContainerReader, Meta, TimeInfo, read_chunk_bytes, window_affine

AXES = ("time", "y", "x")


# ---- windows -------------------------------------------------------------------------------------

def _axis_bounds(value, n, axis):
    if value is None:
        return 0, n
    if isinstance(value, slice):
        if value.step not in (None, 1):
            raise ValueError(f"{axis} window {value} must have unit step")
        lo, hi, _ = value.indices(n)
    elif isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        lo = int(value) + (n if value < 0 else 0)
        hi = lo + 1
    elif isinstance(value, (tuple, list)) and len(value) == 2:
        lo, hi, _ = slice(*value).indices(n)
    else:
        raise ValueError(f"{axis} window must be a slice, a (start, stop) pair or an index; got {value!r}")
    if not 0 <= lo < hi <= n:
        raise ValueError(f"{axis} window {value!r} selects nothing of the cube's {n} along {axis}")
    return int(lo), int(hi)


def window_bounds(meta, time=None, y=None, x=None):
    """{"time": (lo, hi), "y": ..., "x": ...} of a window of the cube ``meta`` describes."""
    return {axis: _axis_bounds(v, n, axis)
            for axis, v, n in zip(AXES, (time, y, x), (meta.n_frames, meta.height, meta.width))}


def parse_range(text, axis="axis"):
    """'a:b', 'a:', ':b' or 'a' (NumPy-style, negative counts from the end) -> slice or index."""
    text = text.strip()
    try:
        if ":" not in text:
            return int(text)
        lo, hi = text.split(":", 1)
        return slice(int(lo) if lo.strip() else None, int(hi) if hi.strip() else None)
    except ValueError:
        raise ValueError(f"{axis} range {text!r} must read START:STOP (integers, either may be left out)") from None


def window_meta(meta, bounds):
    """The Meta of a window (``bounds`` per axis as from ``window_bounds`` or a manifest entry):
    its shape, its frames' timestamps, the transform moved to its first pixel, the source
    record's unevenly spaced y/x coordinates cut to it. The container's seam record describes
    the whole cube and is left out."""
    (t0, t1), (y0, y1), (x0, x1) = (tuple(bounds[a]) for a in AXES)
    time = None
    if meta.time is not None:
        time = TimeInfo(values=list(meta.time.values[t0:t1]), calendar=meta.time.calendar,
                        global_start=meta.time.global_start, global_end=meta.time.global_end)
    extras = {k: v for k, v in meta.extras.items() if k != "seams"}
    if "source" in extras:
        extras["source"] = window_source(extras["source"], bounds)
    return Meta(shape=[t1 - t0, y1 - y0, x1 - x0] + list(meta.shape[3:]), axes=list(meta.axes), dtype=meta.dtype,
                bands=list(meta.bands), crs=meta.crs,
                transform=None if meta.transform is None else window_affine(meta.transform, y0, x0),
                pixel_anchor=meta.pixel_anchor, missing_fill=meta.missing_fill, use_log=meta.use_log, time=time,
                extras=extras)


def window_source(source, bounds):
    """A source record (``extras["source"]``, or a source's meta info) with its stored
    coordinates cut to the window: the values of unevenly spaced y/x axes, and where the record
    names each dimension's role ("axes"), every carried variable along the window's time, y and
    x dimensions (bounds and 2-D latitude/longitude included); everything else is shared by
    every window."""
    if not source:
        return source
    from pyqelm.conventions import pack_array, unpack_array

    out = dict(source)
    dims, axes = source.get("dims"), source.get("axes")
    cut = {}
    if isinstance(dims, list) and isinstance(axes, list) and len(dims) == len(axes):
        cut = {d: tuple(bounds[a]) for d, a in zip(dims, axes) if a in AXES}
    coords = {}
    for name, rec in (source.get("coords") or {}).items():
        kind = _dim_kind(name)
        if isinstance(rec, dict) and rec.get("array") is not None and isinstance(rec.get("dims"), list):
            if any(d in cut for d in rec["dims"]):
                values = unpack_array(rec["array"])
                region = tuple(slice(*cut[d]) if d in cut else slice(None) for d in rec["dims"])
                rec = dict(rec, array=pack_array(values[region]))
        elif kind in ("y", "x") and (rec or {}).get("values") is not None:
            lo, hi = bounds[kind]
            rec = dict(rec, values=list(rec["values"][lo:hi]))
        coords[name] = rec
    if "coords" in source:
        out["coords"] = coords
    return out


def source_record(meta, chunk_meta=None):
    """The source record of a cube: the container's own (a container of several chunks keeps
    it in its Meta), else its one chunk's."""
    rec = meta.extras.get("source")
    if rec is None and chunk_meta is not None:
        rec = chunk_meta.extras.get("source")
    return dict(rec or {})


# ---- the chunk grid -------------------------------------------------------------------------------

class ChunkGrid(NamedTuple):
    edges: dict  # axis -> chunk boundaries [0, ..., n]
    entries: dict  # (it, iy, ix) -> ChunkEntry

    def touching(self, bounds):
        """The entries whose chunks overlap ``bounds``, in grid order."""
        spans = []
        for axis in AXES:
            e, (lo, hi) = self.edges[axis], bounds[axis]
            first = int(np.searchsorted(e, lo, side="right")) - 1
            last = int(np.searchsorted(e, hi, side="left")) - 1
            spans.append(range(first, last + 1))
        return [self.entries[(i, j, k)] for i in spans[0] for j in spans[1] for k in spans[2]]


def chunk_grid(meta, manifest):
    """The manifest's chunks as a grid; ValueError unless they tile the cube exactly (each cell of
    the grid one chunk, the cells' boundaries shared along each axis, the whole cube covered)."""
    grid_axes = list(manifest.chunk_grid)
    if sorted(grid_axes) != sorted(AXES):
        raise ValueError(f"the chunk grid has axes {grid_axes}; a decodable container has {list(AXES)}")
    order = [grid_axes.index(a) for a in AXES]
    extent = {"time": meta.n_frames, "y": meta.height, "x": meta.width}
    if len(manifest.chunks) == 1:
        for axis in AXES:
            lo, hi = manifest.chunks[0].bounds[axis]
            if (lo, hi) != (0, extent[axis]):
                raise ValueError(f"the only chunk spans {axis} [{lo}, {hi}), the cube [0, {extent[axis]})")
    cuts = {a: {} for a in AXES}
    entries = {}
    for entry in manifest.chunks:
        key = tuple(entry.id[k] for k in order)
        entries[key] = entry
        for axis, i in zip(AXES, key):
            b = tuple(entry.bounds[axis])
            if cuts[axis].setdefault(i, b) != b:
                raise ValueError(f"chunks of {axis} index {i} have different bounds {cuts[axis][i]} and {b}")
    edges = {}
    for axis in AXES:
        spans = cuts[axis]
        n = len(spans)
        if sorted(spans) != list(range(n)):
            raise ValueError(f"the chunks' {axis} indices {sorted(spans)} leave gaps")
        e = [0]
        for i in range(n):
            lo, hi = spans[i]
            if lo != e[-1] or hi <= lo:
                raise ValueError(f"{axis} chunk {i} spans [{lo}, {hi}), expected to start at {e[-1]}")
            e.append(hi)
        if e[-1] != extent[axis]:
            raise ValueError(f"the chunks cover {axis} [0, {e[-1]}), the cube [0, {extent[axis]})")
        edges[axis] = e
    n_cells = int(np.prod([len(edges[a]) - 1 for a in AXES]))
    if len(entries) != n_cells:
        raise ValueError(f"the container holds {len(entries)} chunks for a grid of {n_cells} cells")
    return ChunkGrid(edges, entries)


# ---- decoding --------------------------------------------------------------------------------------

def _what(shape, window):
    T, H, W, C = shape
    t, h, w = window
    if (t, h, w) == (T, H, W):
        return f"this {T} x {H} x {W} x {C} cube"
    return f"a window of {t} x {h} x {w} x {C} values of this {T} x {H} x {W} x {C} cube"


def _check_memory(need, max_memory, what):
    from pyqelm.decode import _size_text, default_max_memory

    cap = default_max_memory() if max_memory is None else int(max_memory)
    if need > cap:
        raise ValueError(f"decoding {what} needs about {_size_text(need)} of memory, more than the "
                         f"{_size_text(cap)} allowed; raise the limit with max_memory (--max-memory) if this "
                         "machine has it")


class ChunkDecoder:
    """One chunk blob whose cube ``meta`` describes, ready to decode windows of.

    The chunk is read through ``pyqelm.decode.FrameDecoder``: its claims checked, then the
    memory of decoding ``window`` (default: the whole chunk) plus ``reserved`` bytes the caller
    already holds against ``max_memory`` (default: half of physical memory), before anything of
    the chunk's size exists. A window is cut from the frame batches that hold its frames, the
    same batches the whole decode and the encoder's bound pass predict, so it decodes to the bits
    of the same pixels of the whole."""

    def __init__(self, blob, meta, batch=None, max_memory=None, window=None, reserved=0):
        from pyqelm import decode as D

        self.meta = meta
        shape = tuple(int(n) for n in meta.shape) if len(meta.shape) == 4 else None
        bounds = self._bounds(window, shape) if shape else None
        size = tuple(hi - lo for lo, hi in bounds) if bounds else None
        whole = shape is not None and size == shape[:3] and not reserved
        self.frames = D.FrameDecoder(blob, meta, batch=batch or D.DEFAULT_BATCH, max_memory=max_memory, whole=whole,
                                     extra=0 if whole else reserved + 4 * int(np.prod(size)) * shape[3],
                                     what=_what(shape, size) if shape else None)
        self.chunk_meta = self.frames.chunk_meta
        self.T, self.H, self.W, self.C = self.frames.shape
        self.nodata = self.frames.nodata

    @staticmethod
    def _bounds(window, shape):
        window = window or {}
        return [_axis_bounds(window.get(a), n, a) for a, n in zip(AXES, shape[:3])]

    def decode(self, window=None, fill=None):
        """Pixels ``window`` ({axis: (start, stop)} inside the chunk; a missing axis is whole) as
        float32 (t, h, w, C); no-data is NaN, or ``fill``."""
        (t0, t1), (y0, y1), (x0, x1) = self._bounds(window, self.frames.shape)
        out = np.empty((t1 - t0, y1 - y0, x1 - x0, self.C), dtype=np.float32)
        for k, (a, b) in enumerate(self.frames._batches):
            if b > t0 and a < t1:
                lo, hi = max(a, t0), min(b, t1)
                out[lo - t0:hi - t0] = self.frames._batch(k)[lo - a:hi - a, y0:y1, x0:x1]
        if fill is not None and self.nodata is not None:
            m = self.nodata[:, y0:y1, x0:x1]
            m = m if m.shape[0] == 1 else m[t0:t1]
            out[np.broadcast_to(m, out.shape[:3])] = fill
        return out


def decode_chunk_window(blob, meta, window=None, fill=None, batch=None, max_memory=None):
    """``ChunkDecoder(blob, meta).decode(window)``: pixels ``window`` of one chunk blob."""
    return ChunkDecoder(blob, meta, batch, max_memory, window).decode(window, fill)


def _open(source):
    return (source, False) if isinstance(source, ContainerReader) else (ContainerReader(source), True)


def decode_window(source, time=None, y=None, x=None, fill=None, batch=None, chunk_metas=None, max_memory=None):
    """Decode a window of a container (path, file object or open ``ContainerReader``); returns
    (float32 (t, h, w, C) in physical units, Meta of the window). No-data is NaN, or ``fill``.
    Only the chunks the window touches are read and decoded; their ChunkMeta records are
    appended to ``chunk_metas`` when a list is given. The window and each chunk's decode are
    held to ``max_memory`` bytes (default: half of physical memory), each chunk's claims
    checked before the window's array is allocated."""
    reader, own = _open(source)
    try:
        meta = reader.meta
        if len(meta.shape) != 4:
            raise ValueError(f"the cube's shape {list(meta.shape)} is not (frames, rows, columns, bands)")
        grid = chunk_grid(meta, reader.manifest)
        bounds = window_bounds(meta, time, y, x)
        size = tuple(hi - lo for lo, hi in (bounds[a] for a in AXES))
        C = int(meta.shape[3])
        entries = grid.touching(bounds)
        # One chunk covering the window hands its own array back; several fill one array.
        out_bytes = 0 if len(entries) == 1 else 4 * int(np.prod(size)) * C
        what = _what(tuple(int(n) for n in meta.shape), size)
        _check_memory(out_bytes, max_memory, what)
        out = None
        for entry in entries:
            eb = {a: tuple(entry.bounds[a]) for a in AXES}
            part = {a: (max(bounds[a][0], eb[a][0]), min(bounds[a][1], eb[a][1])) for a in AXES}
            local = {a: (part[a][0] - eb[a][0], part[a][1] - eb[a][0]) for a in AXES}
            dst = tuple(slice(part[a][0] - bounds[a][0], part[a][1] - bounds[a][0]) for a in AXES)
            decoder = ChunkDecoder(reader.read_chunk(entry), window_meta(meta, eb), batch, max_memory, local,
                                   reserved=out_bytes)
            if out_bytes == 0:
                out = decoder.decode(local, fill)
            else:
                if out is None:  # after the first chunk's claims are checked
                    out = np.empty(size + (C,), dtype=np.float32)
                out[dst] = decoder.decode(local, fill)
            if chunk_metas is not None:
                chunk_metas.append(decoder.chunk_meta)
            del decoder
        return out, window_meta(meta, bounds)
    finally:
        if own:
            reader.close()


# ---- shared readers for lazy access ----------------------------------------------------------------

def file_identity(path):
    """(device, inode, size, modification time) of a file: a container rewritten in place, or
    replaced, gets another identity."""
    st = os.stat(path)
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


_readers = {}
_readers_lock = threading.Lock()
_MAX_OPEN_READERS = 8


def shared_reader(path, identity):
    """An open ``ContainerReader`` of ``path`` shared within this process, refused when the file
    is no longer the one ``identity`` (from ``file_identity``) describes."""
    path = os.path.abspath(os.fspath(path))
    if file_identity(path) != tuple(identity):
        raise ValueError(f"{path} has changed since it was opened; open it again")
    key = (path, tuple(identity))
    with _readers_lock:
        reader = _readers.get(key)
        if reader is None:
            while len(_readers) >= _MAX_OPEN_READERS:
                _readers.pop(next(iter(_readers))).close()
            reader = _readers[key] = ContainerReader(path)
        return reader


# ---- files -----------------------------------------------------------------------------------------

def decode_file(path, meta_path=None, time=None, y=None, x=None, fill=None, check=None, max_memory=None):
    """Decode a window (the whole cube by default) of a ``.qelm`` container, or of a ``.qelmc`` chunk
    blob with its outer metadata (``meta_path``, default ``path + ".meta.json"``, which must be the
    blob's own). ``check(meta)`` may refuse the cube before anything is decoded. Returns
    (float32 (t, h, w, C), Meta of the window, source record of the window, ChunkMeta of each
    chunk decoded)."""
    from pyqelm.pipeline import read_meta_sidecar

    path = os.fspath(path)
    if not os.path.isfile(path):
        raise ValueError(f"no such file: {path}")
    if path.lower().endswith(".qelmc"):
        meta_path = meta_path or path + ".meta.json"
        if not os.path.isfile(meta_path):
            raise ValueError(f"a chunk blob carries no outer metadata; expected it in {meta_path} (or pass --meta)")
        with open(path, "rb") as f:
            blob = f.read()
        meta = read_meta_sidecar(meta_path, blob)
        if check is not None:
            check(meta)
        bounds = window_bounds(meta, time, y, x)
        decoder = ChunkDecoder(blob, meta, max_memory=max_memory, window=bounds)
        return (decoder.decode(bounds, fill), window_meta(meta, bounds),
                window_source(source_record(meta, decoder.chunk_meta), bounds), [decoder.chunk_meta])
    with ContainerReader(path) as reader:
        meta, chunk_meta = reader.meta, None
        if check is not None:
            check(meta)
        if "source" not in meta.extras and reader.manifest.chunks:
            chunk_meta = read_chunk_bytes(reader.read_chunk(reader.manifest.chunks[0])).chunk_meta
        chunk_metas = []
        cube, wmeta = decode_window(reader, time, y, x, fill, chunk_metas=chunk_metas, max_memory=max_memory)
        bounds = window_bounds(meta, time, y, x)
        return cube, wmeta, window_source(source_record(meta, chunk_meta or chunk_metas[0]), bounds), chunk_metas
