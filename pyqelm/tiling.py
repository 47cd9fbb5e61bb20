"""Tiles: a cube cut into a grid over (time, y, x), one network per tile.

``plan_tiles`` lays the grid out from tile sizes (the container's chunk grid: every tile as
large as asked, the last along an axis possibly shorter). ``encode_tile`` is the one call a
worker makes for a tile: it reads the tile's window from the source (only the stored chunks
that overlap it), trains a compressor on it and returns its chunk blob with the tile's own
metadata. It then decodes the blob it wrote, a few frames at a time, with the decoder's own
arithmetic and measures it against the source: the largest error per band, and what the seams
need, the values on the tile's faces that border another tile and the error of the steps
between neighbouring pixels inside the tile. ``seam_record`` pairs the faces of neighbouring
tiles: the error of the step across a border, |(decoded_b - decoded_a) - (source_b - source_a)|,
next to the source's own step there and to the same error inside tiles. With an error bound E
every value is within E, so a step across a border is off by at most 2 E.

A tile whose window holds no valid value gets the smallest network, is not trained, and its
mask marks every pixel no-data.
"""
import contextlib
import gc
import os
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from typing import Optional

import numpy as np

from pyqelm.format import AxisChunking, ChunkEntry, Manifest, Meta, TimeInfo, encode_chunk_filename

AXES = ("time", "y", "x")
# A tile is scanned and checked a few frames at a time: about a thirty-second of the tile (at
# most 8 MiB) per pass; a pass holds several float64 copies of what it reads, and a worker must
# stay within a small multiple of its tile.
_PASS_BYTES = 8 << 20
_PASS_FRACTION = 32
# The network of a tile without data: it predicts nothing anyone reads.
EMPTY_TILE_SIZES = dict(xy_hash_size=4, xy_base_resolution=2, xy_n_levels=1, xy_per_level_scale=1.5,
                        xy_features_per_level=1, t_hash_size=4, t_base_resolution=2, t_n_levels=1,
                        t_per_level_scale=1.5, t_features_per_level=1, spatial_scale=1.0, decoder_hidden=1,
                        n_hidden_layers=1)


# ---- the grid ---------------------------------------------------------------------------------------

def parse_tiles(text):
    """"T,Y,X" tile sizes -> (t, y, x), each a positive integer or None (the whole axis); an empty or
    missing entry is the whole axis: ",48,96" tiles space only, "6" time only."""
    parts = [p.strip() for p in str(text).split(",")]
    if len(parts) > 3:
        raise ValueError(f"--tiles takes up to three sizes T,Y,X; got {text!r}")
    sizes = []
    for axis, p in zip(AXES, parts + [""] * (3 - len(parts))):
        if not p:
            sizes.append(None)
            continue
        try:
            n = int(p)
        except ValueError:
            raise ValueError(f"--tiles {axis} size {p!r} is not an integer "
                             "(leave it empty for the whole axis)") from None
        if n < 1:
            raise ValueError(f"--tiles {axis} size must be at least 1, got {n} (leave it empty for the whole axis)")
        sizes.append(n)
    return tuple(sizes)


@dataclass(frozen=True)
class Tile:
    id: tuple  # (it, iy, ix)
    bounds: dict  # axis -> (start, stop)

    @property
    def name(self):
        """Member name of the tile's chunk in the container."""
        return encode_chunk_filename(list(self.id), list(AXES))

    @property
    def stem(self):
        return self.name[len("chunks/"):-len(".qelmc")]

    def label(self):
        return f"{self.stem} (" + ", ".join(f"{a} {lo}:{hi}" for a, (lo, hi) in self.bounds.items()) + ")"


@dataclass(frozen=True)
class TilePlan:
    shape: tuple  # (T, H, W)
    sizes: tuple  # tile size per axis, clamped to the axis

    @property
    def counts(self):
        return tuple(-(-n // s) for n, s in zip(self.shape, self.sizes))

    def tiles(self):
        out = []
        for it in range(self.counts[0]):
            for iy in range(self.counts[1]):
                for ix in range(self.counts[2]):
                    idx = (it, iy, ix)
                    out.append(Tile(idx, {a: (i * s, min(n, (i + 1) * s))
                                          for a, i, s, n in zip(AXES, idx, self.sizes, self.shape)}))
        return out

    def chunk_grid(self):
        return {a: AxisChunking(n=n, regular=True, size=s) for a, n, s in zip(AXES, self.counts, self.sizes)}

    def manifest(self, sizes_bytes):
        """The container's manifest; ``sizes_bytes`` maps member names to blob sizes."""
        return Manifest(chunk_grid=self.chunk_grid(),
                        chunks=[ChunkEntry(id=list(t.id), bounds={a: list(b) for a, b in t.bounds.items()},
                                           file=t.name, size_bytes=sizes_bytes[t.name]) for t in self.tiles()])

    def describe(self):
        return (f"{' x '.join(map(str, self.counts))} grid of {' x '.join(map(str, self.sizes))} "
                "(time x y x x)")


def plan_tiles(shape, sizes):
    """The grid over a cube of ``shape`` (T, H, W) with tile ``sizes`` (None: whole axis)."""
    shape = tuple(int(n) for n in shape[:3])
    return TilePlan(shape, tuple(n if s is None else min(int(s), n) for n, s in zip(shape, sizes)))


# ---- one tile -------------------------------------------------------------------------------------

@dataclass
class TileTask:
    """What a worker needs for one tile (picklable)."""
    store: str  # Zarr store, absolute path
    variable: str
    tile: Tile
    extent: tuple  # (T, H, W) of the whole cube: a face on the cube's edge borders nothing
    opts: object  # pipeline.EncodeOptions
    threads: object = None  # torch threads: an int, or {worker host: int}


@dataclass
class TileResult:
    tile: Tile
    blob: bytes
    meta: dict  # the tile's own Meta, as a dictionary
    valid_range: Optional[tuple]
    threshold: Optional[float]
    outliers: int
    trained: bool  # False for a tile without valid values
    errors: dict  # per band lists: "n_valid", "sum_abs", "sum_sq", "max", "over" (valid values off by more than
    # the bound, or decoded as no-data), "nodata_as_data" (no-data values decoded as numbers)
    interior: dict  # axis -> per band [max, sum of squares, count] of the step errors inside the tile
    faces: Optional[dict] = None  # "y_lo", "x_hi", ...: (source, decoded) float32 arrays; None once kept on disk
    seconds: float = 0.0
    worker: str = ""
    rss_start: int = 0  # bytes when the task began
    rss_peak: int = 0  # the worker process's peak so far


@dataclass
class TileFailure:
    """A tile whose data or settings cannot be encoded: retrying would fail again."""
    tile: Tile
    message: str


def _rss():
    import psutil

    return int(psutil.Process().memory_info().rss)


def _peak_rss():
    import resource

    return int(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss) * 1024


def _worker_name():
    try:
        from distributed import get_worker

        return get_worker().address
    except (ImportError, ValueError):
        return f"pid {os.getpid()}"


def _threads(spec):
    if spec is None or isinstance(spec, int):
        return spec
    from urllib.parse import urlparse

    return spec.get(urlparse(_worker_name()).hostname)


def encode_tile(task):
    """Encode one tile: -> TileResult, or TileFailure when its data or settings are at fault (any
    other error propagates, so the scheduler may retry it elsewhere)."""
    import torch

    # What every tile needs is loaded before the memory baseline is taken.
    import pyqelm.encoder.streaming_sources  # noqa: F401
    import pyqelm.windowed  # noqa: F401
    from pyqelm.encoder import tcnn_compressor  # noqa: F401

    started = time.perf_counter()
    rss_start = _rss()
    threads = _threads(task.threads)
    if threads:
        torch.set_num_threads(int(threads))
    try:
        result = _encode_tile(task)
    except (ValueError, NotImplementedError) as exc:
        return TileFailure(task.tile, " ".join((str(exc) or type(exc).__name__).split()))
    result.seconds = time.perf_counter() - started
    result.worker = _worker_name()
    result.rss_start, result.rss_peak = rss_start, _peak_rss()
    return result


_silence_lock = threading.Lock()
_silence = {"depth": 0, "saved": None}


@contextlib.contextmanager
def _silenced():
    """The engine's output discarded while any task of this process runs: a worker that runs
    tasks on several threads must not have one task restore the streams another still silences."""
    with _silence_lock:
        if _silence["depth"] == 0:
            _silence["saved"] = (sys.stdout, sys.stderr)
            sys.stdout = sys.stderr = open(os.devnull, "w")
        _silence["depth"] += 1
    try:
        yield
    finally:
        with _silence_lock:
            _silence["depth"] -= 1
            if _silence["depth"] == 0:
                sink = sys.stdout
                sys.stdout, sys.stderr = _silence["saved"]
                sink.close()


def _source(task, valid_range=None, dtype_np=np.float64):
    from pyqelm import pipeline as P
    from pyqelm.encoder.streaming_sources import ZarrStreamingSource
    from pyqelm.encoder.window_source import WindowedSource

    o = task.opts
    base = ZarrStreamingSource(zarr_path=task.store, variable=task.variable, global_start_date=o.start_date,
                               global_end_date=o.end_date, scale_factor=o.source.scale_factor,
                               valid_range=valid_range, dtype_np=dtype_np, **P.source_options(o.source))
    return WindowedSource(base, **task.tile.bounds)


def _encode_tile(task):
    from pyqelm import pipeline as P

    opts = task.opts
    backend, device = P.choose_backend(opts.backend, opts.device, lambda *a: None)
    precision = P._precision(opts.precision, device)
    physical = _source(task)
    with _silenced():
        vr, varies = opts.source.valid_range, None
        if vr in (None, "auto"):
            try:
                lo, hi, varies = P.scan_source(physical, _pass_bytes(physical))
                vr = (lo, hi)
            except ValueError as exc:
                if "holds no valid value" not in str(exc):
                    raise
                vr = None
        _trim()  # each step starts from what the last one freed, not on top of it
        c = P.new_compressor(backend, device, precision, opts)
        threshold, mask_mode = None, "static"
        if vr is None:
            c.load_dataset_source(_source(task, (0.0, 1.0), c.dtype_np), valid_range=(0.0, 1.0))
        else:
            c.load_dataset_source(_source(task, vr, c.dtype_np), valid_range=tuple(vr), streaming=opts.streaming)
        trained = vr is not None and (opts.streaming or _any_finite(c.cpu_values))
        _trim()
        if not trained:
            _build_empty(c)
        else:
            P.prepare_and_build(c, opts)
            if not P.train(c, opts):
                raise ValueError("the tile holds no valid value to train on")
            if opts.max_error is None:
                varies_now = P.nodata_varies(c)
                mask_mode = P.choose_mask_mode(opts.mask_mode, varies if varies_now is None else varies_now,
                                               lambda *a: None)
        blob, meta, chunk_meta, outliers = _save_tile(c, task, mask_mode, bounded=trained)
    del c
    _trim()
    errors, interior, faces = _check(task, blob, meta, _bound_source(task)[2])
    return TileResult(tile=task.tile, blob=blob, meta=meta.to_dict(),
                      valid_range=None if vr is None else (float(vr[0]), float(vr[1])),
                      threshold=threshold, outliers=int(outliers), trained=trained, errors=errors,
                      interior=interior, faces=faces)


def _bound_source(task):
    """(source, range policies, the source with their no-data applied) of the tile: its window of
    the store in physical units (float64), the values a bound is kept and measured against, read
    a batch of frames at a time."""
    from pyqelm import pipeline as P
    from pyqelm.bound import ZarrSource
    from pyqelm.encoder.window_source import WindowedSource

    opts = task.opts
    store = ZarrSource(task.store, task.variable, opts.source.scale_factor, P.source_options(opts.source))
    source = WindowedSource(store.source, **task.tile.bounds)
    policies = P.range_policies(opts.source, "zarr", store.cf_valid_range)
    return source, policies, P._Policed(source, policies)


def _save_tile(c, task, mask_mode, bounded):
    """(chunk blob, Meta, ChunkMeta, corrected values) of a tile. With ``--max-error`` and a
    trained network the tile goes through the bound layer exactly as an untiled encode does
    (``pyqelm.bound.bounded_chunk`` on the tile's own window of the source, with the source's
    range policies); otherwise its network and mask alone (a tile without valid values is all
    no-data, which needs no residuals)."""
    from pyqelm.bound import bounded_chunk, network_artifacts

    opts = task.opts
    if bounded and opts.max_error is not None:
        meta, cm, weights = network_artifacts(c, opts.quantization_bits or 16)
        _release_training_data(c)  # the bound pass streams the source: the tile need not stay
        source, policies, _ = _bound_source(task)
        chunk = bounded_chunk(meta, cm, weights, source, opts.max_error, policies=policies, mask_mode=opts.mask_mode,
                              log=lambda *a: None)
        return chunk.blob, meta, chunk.chunk_meta, int(chunk.corrected)
    with tempfile.TemporaryDirectory(prefix="pyqelm-tile-", dir=os.environ.get("PYQELM_TMPDIR") or None) as tmp:
        path = os.path.join(tmp, "tile.qelmc")
        meta, chunk_meta, _ = c.save_chunk_blob(path, quantization_bit=opts.quantization_bits or 16,
                                                mask_mode=mask_mode, save_residuals=False)
        with open(path, "rb") as f:
            return f.read(), meta, chunk_meta, 0


def _any_finite(values, rows=1 << 20):
    """Whether a (N, C) tensor holds a finite value, a slice at a time (a whole-tensor
    ``isfinite`` holds several tile-sized temporaries)."""
    return any(bool(values[i:i + rows].isfinite().any()) for i in range(0, values.shape[0], rows))


def _release_training_data(c):
    """Drop the compressor's copy of the tile and hand freed memory back to the system, so the
    next step of the task (or the next task) starts from the worker's baseline."""
    for name in ("cpu_values", "cpu_mask", "xyz_cache"):
        if getattr(c, name, None) is not None:
            setattr(c, name, None)
    _trim()


def _trim():
    gc.collect()
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):  # not glibc: its allocator keeps its own counsel
        pass


def _pass_bytes(source):
    tile = int(np.prod(source.shape)) * 4
    return max(1, min(_PASS_BYTES, tile // _PASS_FRACTION))


def _build_empty(c):
    c.prepare_training_data_optimized(norm_mode=3)
    s = EMPTY_TILE_SIZES
    c.build_qelm_model(*[s[k] for k in (
        "xy_hash_size", "xy_base_resolution", "xy_n_levels", "xy_per_level_scale", "xy_features_per_level",
        "t_hash_size", "t_base_resolution", "t_n_levels", "t_per_level_scale", "t_features_per_level",
        "spatial_scale", "decoder_hidden", "n_hidden_layers")], disable_temporal=True)


class _StepStats:
    """Per band: largest absolute value, sum of squares and count of the finite entries."""

    def __init__(self, C):
        self.max = np.zeros(C)
        self.sum_sq = np.zeros(C)
        self.count = np.zeros(C, dtype=np.int64)

    def add(self, d):
        d = d.reshape(-1, d.shape[-1])
        ok = np.isfinite(d)
        a = np.where(ok, np.abs(d), 0.0)
        self.max = np.maximum(self.max, a.max(axis=0, initial=0.0))
        self.sum_sq += (a.astype(np.float64) ** 2).sum(axis=0)
        self.count += ok.sum(axis=0)

    def to_list(self):
        return [[float(m), float(s), int(n)] for m, s, n in zip(self.max, self.sum_sq, self.count)]


def _check(task, blob, meta, physical):
    """Decode the tile's blob against its source a few frames at a time: error per band, the
    step errors inside the tile, the values on faces that border other tiles."""
    from pyqelm.windowed import ChunkDecoder

    decoder = ChunkDecoder(blob, meta)
    T, H, W, C = (int(n) for n in meta.shape)
    step = max(1, min(T, _pass_bytes(physical) // max(1, H * W * C * 8)))
    bound = task.opts.max_error
    n_valid, over, as_data = (np.zeros(C, dtype=np.int64) for _ in range(3))
    worst, sum_abs, sum_sq = np.zeros(C), np.zeros(C), np.zeros(C)
    interior = {a: _StepStats(C) for a in AXES}
    borders = {a: (task.tile.bounds[a][0] > 0, task.tile.bounds[a][1] < task.extent[i]) for i, a in enumerate(AXES)}
    faces = {}  # name -> ([source parts], [decoded parts])
    last_err = None
    for lo in range(0, T, step):
        hi = min(T, lo + step)
        src = physical.read(lo, hi)  # float64, as verification reads it
        dec = decoder.decode({"time": (lo, hi)})
        valid = np.isfinite(src)
        err = dec - src  # NaN where either side has no value
        n_valid += valid.reshape(-1, C).sum(axis=0)
        a = np.where(valid, np.abs(err), 0.0)
        a[valid & ~np.isfinite(dec)] = np.inf  # a valid value decoded as no-data is off by everything
        a = a.reshape(-1, C)
        worst = np.maximum(worst, a.max(axis=0, initial=0.0))
        sum_abs += a.sum(axis=0)
        sum_sq += (a ** 2).sum(axis=0)
        if bound is not None:
            over += (a > bound).sum(axis=0)
        as_data += (~valid & np.isfinite(dec)).reshape(-1, C).sum(axis=0)
        if H > 1:
            interior["y"].add(err[:, 1:] - err[:, :-1])
        if W > 1:
            interior["x"].add(err[:, :, 1:] - err[:, :, :-1])
        seq = err if last_err is None else np.concatenate([last_err, err])
        if len(seq) > 1:
            interior["time"].add(seq[1:] - seq[:-1])
        last_err = err[-1:].copy()
        for axis, k in (("y", 1), ("x", 2)):
            for side, index in (("lo", 0), ("hi", -1)):
                if borders[axis][0 if side == "lo" else 1]:
                    parts = faces.setdefault(f"{axis}_{side}", ([], []))
                    parts[0].append(np.take(src, index, axis=k))
                    parts[1].append(np.take(dec, index, axis=k))
        if lo == 0 and borders["time"][0]:
            faces["time_lo"] = ([src[0].copy()], [dec[0].copy()])
        if hi == T and borders["time"][1]:
            faces["time_hi"] = ([src[-1].copy()], [dec[-1].copy()])
        del src, dec, err, valid, a
    errors = {"n_valid": n_valid.tolist(), "sum_abs": sum_abs.tolist(), "sum_sq": sum_sq.tolist(),
              "max": worst.tolist(), "over": over.tolist(), "nodata_as_data": as_data.tolist()}
    faces = {k: tuple(np.ascontiguousarray(np.concatenate(p) if len(p) > 1 else p[0], dtype=np.float32)
                      for p in parts) for k, parts in faces.items()}
    return errors, {a: s.to_list() for a, s in interior.items()}, faces


# ---- the whole cube -------------------------------------------------------------------------------

def compose_meta(plan, results, source_record=None):
    """The container's Meta from its tiles' own: the first tile's description over the whole cube,
    its frames' timestamps gathered from the tiles along time, each band's valid range the union of
    the tiles' ranges. Every tile's Meta must be what a decoder derives from it for that tile."""
    from pyqelm.windowed import window_meta

    by_id = {r.tile.id: r for r in results}
    first = Meta.from_dict(by_id[(0, 0, 0)].meta)
    values = []
    for it in range(plan.counts[0]):
        m = by_id[(it, 0, 0)].meta.get("time")
        values += (m or {}).get("values") or []
    time = None
    if first.time is not None:
        time = TimeInfo(values=values, calendar=first.time.calendar, global_start=first.time.global_start,
                        global_end=first.time.global_end)
    bands = [b for b in first.bands]
    for i, b in enumerate(bands):
        ranges = [Meta.from_dict(r.meta).bands[i].valid_range for r in results if r.trained]
        ranges = [r for r in ranges if r is not None]
        if ranges:
            b.valid_range = [min(r[0] for r in ranges), max(r[1] for r in ranges)]
    extras = {}
    if source_record:
        extras["source"] = source_record
    meta = Meta(shape=list(plan.shape) + list(first.shape[3:]), axes=first.axes, dtype=first.dtype, bands=bands,
                crs=first.crs, transform=first.transform, pixel_anchor=first.pixel_anchor,
                missing_fill=first.missing_fill, use_log=first.use_log, time=time, extras=extras)
    for r in results:
        own, derived = Meta.from_dict(r.meta), window_meta(meta, r.tile.bounds)
        for key in ("shape", "transform", "time", "use_log", "crs", "dtype"):
            a, b = getattr(own, key), getattr(derived, key)
            a, b = (a.to_dict(), b.to_dict()) if key == "time" and a is not None and b is not None else (a, b)
            if a != b:
                raise ValueError(f"tile {r.tile.label()}: its {key} ({a}) is not the cube's part ({b})")
    return meta


def seam_record(plan, results, band_names, bound=None, faces=None):
    """The error across tile borders (module doc), per band, or None for a single tile. ``faces(tile)``
    gives a tile's faces when the results no longer hold them."""
    by_id = {r.tile.id: r for r in results}
    faces = faces or (lambda tile: by_id[tile.id].faces)
    axes = [a for a, n in zip(AXES, plan.counts) if n > 1]
    if not axes:
        return None
    C = len(band_names)
    seam, own = _StepStats(C), _StepStats(C)
    inside = _StepStats(C)
    for r in results:
        own_faces = None
        for axis in axes:
            m, s, n = (np.asarray(v) for v in zip(*r.interior[axis]))
            inside.max = np.maximum(inside.max, m)
            inside.sum_sq += s
            inside.count += n.astype(np.int64)
            k = AXES.index(axis)
            nid = list(r.tile.id)
            nid[k] += 1
            b = by_id.get(tuple(nid))
            if b is None:
                continue
            own_faces = own_faces or faces(r.tile)
            sa, da = own_faces[f"{axis}_hi"]
            sb, db = faces(b.tile)[f"{axis}_lo"]
            seam.add((db - sb) - (da - sa))
            step = sb - sa
            own.add(np.where(np.isfinite(da) & np.isfinite(db), step, np.nan))
    bands = []
    for i, name in enumerate(band_names):
        n, ni = int(seam.count[i]), int(inside.count[i])
        bands.append({"name": name, "pairs": n,
                      "max": float(seam.max[i]), "rmse": float(np.sqrt(seam.sum_sq[i] / n)) if n else None,
                      "source_max_step": float(own.max[i]),
                      "source_rms_step": float(np.sqrt(own.sum_sq[i] / own.count[i])) if own.count[i] else None,
                      "interior_max": float(inside.max[i]),
                      "interior_rmse": float(np.sqrt(inside.sum_sq[i] / ni)) if ni else None})
    return {"axes": axes, "bound": bound, "bands": bands}


def source_description(meta_info):
    """The source record a chunk keeps under ``extras["source"]``, from a source's metadata."""
    return {k: meta_info[k] for k in ("variable", "dims", "axes", "units", "time_units", "attrs", "coords",
                                      "global_attrs")
            if meta_info.get(k) is not None}

