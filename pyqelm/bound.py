"""The error bound: from a trained network's container content and its source, a chunk whose
decoded values all lie within E of the source.

``bounded_chunk(meta, chunk_meta, weights_bytes, source, bound)`` takes what a reader of a
network-only chunk sees (outer ``Meta``, ``ChunkMeta``, weight blob) and the source, and returns
a ``BoundedChunk``: the chunk blob with a no-data mask, the residual codes ("bound_codes_v1")
and quality metrics measured on exactly the values ``pyqelm.decode`` will produce. Whatever
device and precision trained the network, the measurement runs the decoder's own code
(``pyqelm.decode.Predictor``: the stored, quantized weights, the reference network, float32,
CPU) against the source at its own precision (``ZarrSource``: physical units after CF unpacking,
float64), a batch of frames at a time, so memory stays bounded by a few frames whatever the
length of the series.

Residual codes
    For a valid value v (float64) with decoded prediction p (float32), q = rint((v - p) / s),
    with one step s per band, and the decoder outputs d = float32(p + q x s) (formed in float64,
    ``pyqelm.decode.apply_codes``). The step is just under 2E:

        s = 2 (E - m),   m = 2^-24 (64 span + 4 M)

    where span is the band's training range (high - low) and M = max(|low|, |high|, largest
    |v| of the band) + E bounds |p| and |d|. Then on this machine |v - d| <= s/2 + 2^-24 |d|
    (the one rounding of d to float32; the float64 arithmetic before it adds about 1e-16
    relative), and on another machine whose network arithmetic returns p' = p + delta,
    |v - d'| <= s/2 + |delta| + 2^-24 |d'|. The network's output is a sum of float32 products
    whose order a BLAS library may change; m allows delta up to 64 units of 2^-24 of the
    span plus two roundings of |p|, and leaves a further 2^-24 M for the float64 steps. A
    bound with m >= E/2 is below what float32 resolves for the band's values and is refused.
    A network trained on log(1 + v) has its span taken in log units times (1 + M): the
    exponential stretches a change of the output by that much.

    Every value is then checked here with the decoder's arithmetic (|v - d| <= E in float64);
    one that is not (only possible at the float32 resolution limit) has its code moved by one
    step where that brings it within E, else the encode fails. After the codes are coded they
    are decoded again and compared frame by frame (CRC-32 of each frame's codes) with what was
    checked, so the stored bytes are the checked ones.

No-data
    A source value that is NaN (fill value, missing value, not finite) has no data, and so has
    one outside a ``RangePolicy`` whose ``nodata`` is set; outside a policy without it the
    value is data, carried by the codes. The mask ("static": pixels with no data in any band in
    every frame; "dynamic": per frame; "no": none; "auto": dynamic when the no-data pixels
    change between frames) keeps every pixel with data in some band; a band without data in a
    kept pixel is coded ``NODATA_CODE`` and decodes as NaN. So every mask mode keeps every
    value's status; the mode only changes the size.

Metrics
    Per band RMSE, MAE and largest error over every valid value, float64 sums: "decoded"
    (the decoded output against the source; stored as the chunk's "quality_metrics") and
    "model" (the network alone; "quality_metrics_pre_residual").
"""
import struct
import zlib
from dataclasses import dataclass
from typing import Optional

import numpy as np

from pyqelm.decode import CODES_LAYOUT, DEFAULT_BATCH, NODATA_CODE, Predictor, apply_codes

_HALF_ULP = 2.0 ** -24
_NETWORK_ULPS = 64
MAX_CODE = int(np.iinfo(np.int32).max)  # NODATA_CODE = -2^31 is taken, so |q| <= 2^31 - 1
MASK_MODES = ("auto", "static", "dynamic", "no")


# ---- sources: the values the bound is measured against -----------------------------------

class ArraySource:
    """An in-memory cube (T, H, W, C) in physical units, NaN for no-data."""

    def __init__(self, cube):
        self.cube = cube
        self.shape = tuple(int(s) for s in np.shape(cube))
        self.cf_valid_range = None

    def read(self, lo, hi):
        return np.array(self.cube[lo:hi], dtype=np.float64)


class ZarrSource:
    """One variable of a Zarr store in physical units as float64 (stored x scale + offset in
    float64), NaN for fill, missing and non-finite values. Values outside the variable's CF
    valid attributes are returned as they are (``cf_valid_range`` says where they lie), so a
    ``RangePolicy`` decides what they are."""

    def __init__(self, store, variable=None, scale_factor=None, source_options=None):
        from pyqelm.encoder.streaming_sources import ZarrStreamingSource

        # source_options: how the encoder was told to read the variable (band_dim, time_start,
        # time_step), so that the bound is kept against the same cube.
        self.source = ZarrStreamingSource(zarr_path=store, variable=variable, scale_factor=scale_factor,
                                          valid_range=None, dtype_np=np.float64, mask_invalid=False,
                                          **(source_options or {}))
        s = self.source
        self.shape = (s.n_timesteps, s.height, s.width, s.n_bands)
        self.cf_valid_range = s.cf_valid_range

    def read(self, lo, hi):
        return self.source.read_timesteps(np.arange(lo, hi, dtype=np.int64))


@dataclass
class RangePolicy:
    """Values outside [low, high] (physical units) are no-data (``nodata``) or data that the
    residual codes carry. ``label`` names the range for the user ("--valid-range [10, 11]"),
    ``hint`` says how to choose the other way."""
    low: float
    high: float
    nodata: bool
    label: str = "the valid range"
    hint: str = ""

    def outside(self, v):
        with np.errstate(invalid="ignore"):
            return (v < self.low) | (v > self.high)

    def line(self, count):
        what = ("they are no-data" if self.nodata
                else "they are data, carried by the residual codes, so the bound holds for them too")
        return f"pyqelm: {count:,} values lie outside {self.label}: {what}" + (f" ({self.hint})" if self.hint else "")


# ---- the pieces of a bounded chunk --------------------------------------------------------

def step_margins(bound, ranges, max_abs, use_log=False):
    """(steps, margins) per band for bounds ``bound``, training ranges [[low, high], ...] and the
    largest |value| of each band (see the module doc); ValueError for a bound float32 cannot
    keep. With ``use_log`` the ranges are of log(1 + v) and a change of the network's output
    moves the value (1 + |v|) times as far."""
    bound = np.asarray(bound, dtype=np.float64)
    ranges = np.asarray(ranges, dtype=np.float64).reshape(-1, 2)
    span = np.abs(ranges[:, 1] - ranges[:, 0])
    big = np.nan_to_num(np.asarray(max_abs, dtype=np.float64))
    if use_log:
        big = np.maximum(np.abs(np.expm1(ranges)).max(axis=1), big) + bound
        span = span * (1 + big)
    else:
        big = np.maximum(np.abs(ranges).max(axis=1), big) + bound
    margins = _HALF_ULP * (_NETWORK_ULPS * span + 4 * big)
    tight = ~(margins < bound / 2)
    if tight.any():
        b = int(np.flatnonzero(tight)[0])
        raise ValueError(f"--max-error {bound[b]:g} is below what float32 resolves for band {b + 1}, whose values "
                         f"reach {big[b] - bound[b]:.6g}: give at least {4 * margins[b]:.3g}")
    return 2 * (bound - margins), margins


class MaskWriter:
    """The no-data mask blob, frame by frame: u8 type (0 static, 1 dynamic) | i32 F, H, W | per
    frame u32 length + one Zstandard frame (level 3) of the frame's bits, row-major, first
    pixel in the most significant bit (1 = no data)."""

    def __init__(self, static, frames, H, W):
        import zstandard

        self._z = zstandard.ZstdCompressor(level=3)
        self.shape = (frames, H, W)
        self.header = struct.pack("<B3i", 0 if static else 1, frames, H, W)
        self.packed = []

    def add(self, nodata):
        packed = self._z.compress(np.packbits(np.asarray(nodata, dtype=bool).reshape(-1)).tobytes())
        self.packed.append(bytes(memoryview(packed)))  # zstandard's result keeps its worst-case buffer

    def nodata(self, k):
        """Frame k as written (bool (H, W), True = no data)."""
        import zstandard

        _, H, W = self.shape
        bits = np.unpackbits(np.frombuffer(zstandard.ZstdDecompressor().decompress(self.packed[k]), np.uint8))
        return bits[:H * W].reshape(H, W).astype(bool)

    def bytes(self):
        return self.header + b"".join(struct.pack("<I", len(p)) + p for p in self.packed)


class _Sums:
    """Float64 per-band error sums."""

    def __init__(self, C):
        self.sse, self.sae, self.max, self.n = (np.zeros(C) for _ in range(4))

    def add(self, err, valid):
        """``err``: |error| (float64, overwritten: 0 where not ``valid``)."""
        err[~valid] = 0.0
        e = err.reshape(-1, err.shape[-1])
        self.sse += np.einsum("ij,ij->j", e, e)
        self.sae += e.sum(0)
        if e.size:
            self.max = np.maximum(self.max, e.max(0))
        self.n += valid.reshape(-1, err.shape[-1]).sum(0)

    def record(self, source):
        if not (self.n > 0).any():
            return None
        bands = []
        for sse, sae, mx, n in zip(self.sse, self.sae, self.max, self.n):
            bands.append({"rmse": float(np.sqrt(sse / n)) if n > 0 else 0.0, "mae": float(sae / n) if n > 0 else 0.0,
                          "max": float(mx), "n_valid": int(n)})
        return {"unit": "physical", "source": source, "n_valid": int(self.n.sum()), "bands": bands}


@dataclass
class BoundedChunk:
    blob: bytes  # the chunk blob: weights, mask, residual codes, metadata
    chunk_meta: object  # its ChunkMeta
    mask_bytes: bytes
    metrics: Optional[dict]  # decoded output against the source
    model_metrics: Optional[dict]  # the network alone against the source
    bound: list  # per band
    steps: list  # per band
    corrected: int  # valid values with a non-zero code
    mask_mode: str
    outside: list  # [(RangePolicy, count)]


def _abs_error(a, v):
    """|a - v| in float64 (a new array)."""
    e = np.array(a, dtype=np.float64)
    e -= v
    return np.abs(e, out=e)


def _fix_codes(v, p, codes, steps, bound, over):
    """Move the code of each value in ``over`` by one step where that brings its decoded value
    within the bound; returns the cells still out of bound."""
    band = np.nonzero(over)[-1]
    vv, pp, s, e = v[over], p[over], steps[band], bound[band]
    best = codes[over].astype(np.int64)
    best_err = np.abs(apply_codes(pp, best, s).astype(np.float64) - vv)
    for delta in (-1, 1):
        cand = best + delta
        ok = np.abs(cand) <= MAX_CODE
        err = np.abs(apply_codes(pp, np.clip(cand, -MAX_CODE, MAX_CODE), s).astype(np.float64) - vv)
        better = ok & (err < best_err)
        best, best_err = np.where(better, cand, best), np.where(better, err, best_err)
    codes[over] = best.astype(np.int32)
    still = np.zeros_like(over)
    still[over] = best_err > e
    return still


def bounded_chunk(meta, chunk_meta, weights_bytes, source, bound, *, policies=(), mask_mode="auto",
                  batch=DEFAULT_BATCH, log=print):
    """The bounded chunk of a trained network (see the module doc).

    ``meta``, ``chunk_meta``, ``weights_bytes``: the outer ``Meta``, the network-only
    ``ChunkMeta`` and the weight blob; ``source``: ``ZarrSource``, ``ArraySource`` or any object
    with ``shape`` (T, H, W, C) and ``read(lo, hi)`` -> float64 physical values, NaN for no-data;
    ``bound``: E in physical units, one number or one per band; ``policies``: ``RangePolicy``
    list; ``mask_mode``: see ``MASK_MODES``. Prints one line per policy that finds values
    outside its range. ValueError when the bound cannot be kept."""
    from pyqelm import residual_codec
    from pyqelm.format import ChunkMeta, ResidualInfo, write_chunk_bytes
    from tqdm import tqdm

    if mask_mode not in MASK_MODES:
        raise ValueError(f"unknown mask mode {mask_mode!r}; modes: {', '.join(MASK_MODES)}")
    T, H, W, C = (int(s) for s in meta.shape)
    if tuple(source.shape) != (T, H, W, C):
        raise ValueError(f"the source holds a {tuple(source.shape)} cube, the container {(T, H, W, C)}")
    E = np.broadcast_to(np.asarray(bound, dtype=np.float64).reshape(-1), (C,)).copy()
    if not (np.isfinite(E).all() and (E > 0).all()):
        raise ValueError(f"the error bound must be positive and finite, got {bound}")
    predictor = Predictor.from_chunk(meta, chunk_meta, weights_bytes, batch)
    batches = predictor.batches()

    def read(lo, hi, counts=None):
        v = np.asarray(source.read(lo, hi), dtype=np.float64)
        for k, policy in enumerate(policies):
            out = policy.outside(v)
            if counts is not None:
                counts[k] += int(np.count_nonzero(out))
            if policy.nodata:
                v[out] = np.nan
        return v

    # First pass, the source alone: where the no-data is, whether it moves, how large values get.
    counts = [0] * len(policies)
    empty_always, varies, first = np.ones((H, W), dtype=bool), False, None
    max_abs = np.zeros(C)
    for t0, t1 in batches:
        v = read(t0, t1, counts)
        finite = np.isfinite(v)
        held = finite.any(-1)
        empty_always &= ~held.any(0)
        first = held[0] if first is None else first
        varies = varies or bool((held != first).any())
        max_abs = np.maximum(max_abs, np.where(finite, np.abs(v), 0.0).reshape(-1, C).max(0))
    for policy, n in zip(policies, counts):
        if n:
            log(policy.line(n))
    mode = ("dynamic" if varies else "static") if mask_mode == "auto" else mask_mode
    ranges = chunk_meta.train_data_range
    steps, _ = step_margins(E, ranges if len(ranges) == C else [ranges[0]] * C, max_abs, bool(meta.use_log))

    # Second pass: prediction, codes, the check, metrics, the mask.
    writer = residual_codec.CodeWriter(H, W, C)
    mask = None if mode == "no" else MaskWriter(mode == "static", 1 if mode == "static" else T, H, W)
    if mode == "static":
        mask.add(empty_always)
    model, decoded = _Sums(C), _Sums(C)
    crcs, corrected = [], 0
    for t0, t1 in tqdm(batches, desc="Bound pass", leave=False):
        v = read(t0, t1)
        p = predictor.frames(t0, t1)
        finite = np.isfinite(v)
        if mode == "dynamic":
            keep = finite.any(-1)
        else:
            keep = np.broadcast_to(~empty_always if mode == "static" else np.ones((H, W), bool), finite.shape[:3])
        if not np.isfinite(p[finite]).all():
            raise ValueError("the network's prediction is not finite at some valid values; the model cannot be "
                             "bounded (train again, or with --precision float32)")
        q = v - p
        q[~finite] = 0.0
        q /= steps
        np.rint(q, out=q)
        far = (q > MAX_CODE) | (q < -MAX_CODE)
        if far.any():
            i = np.flatnonzero(far)[0]
            raise ValueError(f"a value of {v.reshape(-1)[i]:.6g} lies {abs(v.reshape(-1)[i] - p.reshape(-1)[i]):.6g} "
                             f"from the network's prediction: more than residual codes hold at this bound (is it a "
                             f"fill value? --valid-range with --out-of-range nodata makes such values no-data)")
        codes = q.astype(np.int32)
        del q
        err = _abs_error(apply_codes(p, codes, steps), v)
        with np.errstate(invalid="ignore"):
            over = finite & ~(err <= E)
        if over.any():
            still = _fix_codes(v, p, codes, steps, E, over)
            if still.any():
                i = np.flatnonzero(still)[0]
                raise ValueError(f"{int(still.sum()):,} values cannot be decoded within the bound in float32 "
                                 f"(value {v.reshape(-1)[i]:.9g}); give a larger --max-error")
            err = _abs_error(apply_codes(p, codes, steps), v)
        codes[keep[..., None] & ~finite] = NODATA_CODE
        writer.add(codes, np.ascontiguousarray(keep))
        if mode == "dynamic":
            for k in range(t1 - t0):
                mask.add(~keep[k])
        cells = np.broadcast_to(keep[..., None], codes.shape)
        crcs += [zlib.crc32(codes[k][cells[k]].tobytes()) for k in range(t1 - t0)]
        decoded.add(err, finite)
        del err
        model.add(_abs_error(p, v), finite)
        corrected += int(np.count_nonzero(codes[finite]))
    residual_bytes = writer.finish()
    del writer  # the codes are the output's bulk: keep one copy besides the chunk blob
    mask_bytes = b"" if mask is None else mask.bytes()

    # What was stored is what was checked: decode the codes again and compare every frame.
    _check_stored(residual_bytes, mask, (T, H, W, C), batches, crcs)

    metrics, model_metrics = decoded.record("decoded"), model.record("model")
    extras = dict(chunk_meta.extras)
    extras.pop("quality_metrics", None)
    extras.pop("quality_metrics_pre_residual", None)
    if metrics is not None:
        extras["quality_metrics"] = metrics
    if model_metrics is not None:
        extras["quality_metrics_pre_residual"] = model_metrics
    bound_list, step_list = [float(x) for x in E], [float(x) for x in steps]
    info = ResidualInfo(dtype="int32", value_mode="bound_step", threshold=bound_list if C > 1 else bound_list[0],
                        main_codec="residual_codes", outlier_layout=CODES_LAYOUT, outlier_count=corrected,
                        outlier_value_scale=max(step_list), outlier_vals_codec="residual_codes", bound=bound_list,
                        steps=step_list)
    cm = ChunkMeta(model_config=chunk_meta.model_config, quantization_info=chunk_meta.quantization_info,
                   train_data_range=chunk_meta.train_data_range, train_time_range=chunk_meta.train_time_range,
                   has_residuals=True, residual_info=info, extras=extras)
    blob = write_chunk_bytes(cm, weights_bytes, mask_bytes, residual_bytes)
    return BoundedChunk(blob=blob, chunk_meta=cm, mask_bytes=mask_bytes, metrics=metrics,
                        model_metrics=model_metrics, bound=bound_list, steps=step_list, corrected=corrected,
                        mask_mode=mode, outside=list(zip(policies, counts)))


def network_artifacts(c, quantization_bit=16):
    """(Meta, network-only ChunkMeta, weight blob) of a trained ``QELMCompressor``, as its save
    builds them; after this the compressor's training data is no longer needed."""
    art = c._build_v09_artifacts(quantization_bit, "no", False, 0.0, "int16", quality_metrics=False)
    return art["meta"], art["chunk_meta_std"], art["weights_bytes"]


def bound_compressor(c, source, bound, *, policies=(), mask_mode="auto", quantization_bit=16, log=print):
    """A trained ``QELMCompressor``'s network bounded on ``source``: its container content built
    as its save builds it (``_build_v09_artifacts``), then ``bounded_chunk``. Returns (Meta,
    network-only ChunkMeta, weight blob, BoundedChunk); the network-only ChunkMeta carries the
    metrics of the network alone measured by the bound pass (every valid value, against the
    source)."""
    meta, cm, weights = network_artifacts(c, quantization_bit)
    bounded = bounded_chunk(meta, cm, weights, source, bound, policies=policies, mask_mode=mask_mode, log=log)
    cm.extras.pop("quality_metrics", None)
    if bounded.model_metrics is not None:
        cm.extras["quality_metrics"] = bounded.model_metrics
    return meta, cm, weights, bounded


def _check_stored(residual_bytes, mask, shape, batches, crcs):
    """Decode the codes a frame batch at a time and compare each frame's CRC-32 with the one of
    the codes checked. A dynamic mask is handed over as a window of frames (from the batch's key
    frame on), so a long series is never held whole."""
    from pyqelm import residual_codec

    T, H, W, C = shape
    key = int(residual_codec.describe(residual_bytes)["key_interval"])
    dynamic = mask is not None and mask.shape[0] > 1
    static = np.ones((1, H, W), dtype=bool) if mask is None else ~mask.nodata(0)[None]
    for t0, t1 in batches:
        first = t0 // key * key
        if dynamic:
            valid = ~np.stack([mask.nodata(t) for t in range(first, t1)])
            codes = residual_codec.decode(residual_bytes, valid, shape, frames=(t0, t1), valid_from=first)
        else:
            valid = static
            codes = residual_codec.decode(residual_bytes, valid, shape, frames=(t0, t1))
        for k in range(t1 - t0):
            cells = np.broadcast_to(valid[t0 + k - first if dynamic else 0][..., None], (H, W, C))
            if zlib.crc32(np.ascontiguousarray(codes[k], dtype=np.int32)[cells].tobytes()) != crcs[t0 + k]:
                raise RuntimeError(f"the residual codes of frame {t0 + k} read back differ from those written")


def write_container(path, meta, chunk_blob):
    """A one-chunk ``.qelm`` container holding ``chunk_blob`` for the cube ``meta`` describes."""
    from pyqelm.format import AxisChunking, ChunkEntry, Manifest, encode_chunk_filename
    from pyqelm.format import write_container as write

    T, H, W = meta.n_frames, meta.height, meta.width
    name = encode_chunk_filename([0, 0, 0], ["time", "y", "x"])
    grid = {axis: AxisChunking(n=1, regular=True, size=n) for axis, n in (("time", T), ("y", H), ("x", W))}
    entry = ChunkEntry(id=[0, 0, 0], bounds={"time": [0, T], "y": [0, H], "x": [0, W]}, file=name,
                       size_bytes=len(chunk_blob))
    write(path, meta, Manifest(chunk_grid=grid, chunks=[entry]), [(name, chunk_blob)])
