"""A decoded cube measured against its source, value by value.

The source is read again in frame batches at float64 (physical units after unpacking, NaN for
no-data), so the measurement does not depend on how the encoder held the cube; the decoded cube
is what the decoder outputs (float32). A valid source value breaks a bound when the decoded
value is off by more than the bound or is not finite; a no-data value breaks it when it comes
back as data.
"""
import math
import os
from dataclasses import dataclass

import numpy as np


class BoundViolated(Exception):
    """A decoded cube breaks the error bound it was encoded for."""


@dataclass
class Measurement:
    n_valid: int = 0
    rmse: float = 0.0
    mae: float = 0.0
    max_error: float = 0.0
    over: int = 0  # valid values off by more than the bound (or decoded as non-finite)
    nodata_as_data: int = 0  # no-data values decoded as numbers
    bound: float = None

    @property
    def holds(self):
        return self.bound is None or (self.over == 0 and self.nodata_as_data == 0)

    def line(self):
        return (f"{self.n_valid:,} valid values, RMSE {self.rmse:.5g}, MAE {self.mae:.5g}, "
                f"max error {self.max_error:.5g}")

    def verdict(self):
        if self.bound is None:
            return self.line()
        if self.holds:
            return f"{self.line()}: every valid value within {self.bound:g}"
        parts = []
        if self.over:
            parts.append(f"{self.over:,} values off by more")
        if self.nodata_as_data:
            parts.append(f"{self.nodata_as_data:,} no-data values decoded as data")
        return f"{self.line()}: ERROR BOUND {self.bound:g} VIOLATED ({', '.join(parts)})"


def source_frames(path, source_opts, batch_bytes=256 << 20):
    """(first frame index, float64 frames (n, H, W, C)) of a source in batches: Zarr stores and
    NetCDF files a batch at a time, raster folders in one piece. No-data is what a bounded
    container promises about (``pyqelm.pipeline.range_policies``)."""
    from pyqelm.pipeline import _frame_count, open_source

    with open_source(path, source_opts) as (source, _):
        T = source.shape[0]
        step = max(1, _frame_count(source.shape, batch_bytes))
        for lo in range(0, T, step):
            yield lo, source.read(lo, min(T, lo + step))


def store_frames(store, variable, scale_factor=None, batch_bytes=256 << 20, source_opts=None):
    """Frame batches of a Zarr variable read as the encoder read it (``source_opts``: its band
    dimension and dates)."""
    from pyqelm.encoder.streaming_sources import ZarrStreamingSource
    from pyqelm.pipeline import source_options

    source = ZarrStreamingSource(zarr_path=store, variable=variable, scale_factor=scale_factor,
                                 dtype_np=np.float64, **source_options(source_opts))
    frame = max(1, source.height * source.width * source.n_bands * 8)
    step = max(1, batch_bytes // frame)
    for lo in range(0, source.n_timesteps, step):
        idx = np.arange(lo, min(source.n_timesteps, lo + step), dtype=np.int64)
        yield lo, source.read_timesteps(idx)


def measure(decoded, frames, bound=None):
    """Measure ``decoded`` (T, H, W, C) against the source batches ``frames`` (from
    ``source_frames``); -> Measurement. A shape mismatch is a ValueError."""
    m = Measurement(bound=bound)
    total = sq = 0.0
    seen = 0
    for lo, src in frames:
        hi = lo + src.shape[0]
        if hi > decoded.shape[0] or src.shape[1:] != decoded.shape[1:]:
            raise ValueError(f"the decoded cube has shape {tuple(decoded.shape)}, the source "
                             f"{(max(hi, decoded.shape[0]),) + tuple(src.shape[1:])}")
        dec = decoded[lo:hi]
        valid = np.isfinite(src)
        with np.errstate(invalid="ignore", over="ignore"):
            err = np.abs(dec[valid].astype(np.float64) - src[valid])
        err[~np.isfinite(err)] = np.inf
        m.n_valid += int(err.size)
        if err.size:
            m.max_error = max(m.max_error, float(err.max()))
            total += float(err.sum())
            sq += float(np.square(err).sum())
        if bound is not None:
            m.over += int(np.count_nonzero(~(err <= bound)))
            m.nodata_as_data += int(np.count_nonzero(np.isfinite(dec[~valid])))
        seen = max(seen, hi)
    if seen != decoded.shape[0]:
        raise ValueError(f"the decoded cube has {decoded.shape[0]} frames, the source {seen}")
    if m.n_valid:
        m.mae = total / m.n_valid
        m.rmse = math.sqrt(sq / m.n_valid) if math.isfinite(sq) else math.inf
    return m


def decode_file(path, meta_path=None):
    """The cube a container, or a chunk blob with its metadata file, decodes to."""
    from pyqelm.decode import decode_chunk, decode_container
    from pyqelm.pipeline import read_meta_sidecar

    path = os.fspath(path)
    if path.lower().endswith(".qelmc"):
        with open(path, "rb") as f:
            blob = f.read()
        return decode_chunk(blob, read_meta_sidecar(meta_path or path + ".meta.json", blob))
    return decode_container(path)[0]


# Keys under which a residual description may record the bound it was built for.
_BOUND_KEYS = ("error_bound", "bound", "max_error")


def stated_bound(chunk_meta):
    """(bound or None, one line) of what a chunk promises: with a residual track, every valid
    value within the bound it records (else within max(threshold, half a residual step));
    without one, no bound, only the errors measured when it was written."""
    ri = chunk_meta.residual_info if chunk_meta.has_residuals else None
    if ri is None:
        metrics = chunk_meta.extras.get("quality_metrics") or {}
        try:
            worst = max(float(b["max"]) for b in metrics.get("bands", []))
            measured = f"; largest error {worst:.6g} as measured when encoding"
        except (TypeError, ValueError, KeyError, AttributeError):
            measured = ""
        return None, f"none (no residual track: the network alone{measured})"
    bound = None
    for key in _BOUND_KEYS:
        value = getattr(ri, key, None)
        if isinstance(value, list) and value and all(isinstance(v, (int, float)) for v in value):
            value = max(value)  # one bound per band: the loosest is the promise for all
        if isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value):
            bound = float(value)
            break
    if bound is None:
        thresholds = ri.threshold if isinstance(ri.threshold, list) else [ri.threshold]
        step = ri.outlier_value_scale
        if ri.value_mode == "native" and ri.band_scales:
            step = max(ri.band_scales)
        bound = max(max(float(t) for t in thresholds), float(step) / 2)
    return bound, f"every valid value within {bound:.6g} of the source (residual track of {ri.outlier_count:,} values)"
