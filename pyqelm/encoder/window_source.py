"""A window of a Zarr variable as a data source of its own.

``WindowedSource`` serves frames [t0, t1), rows [y0, y1) and columns [x0, x1) of a
``ZarrStreamingSource`` with the same interface (``n_timesteps``, ``height``, ``width``,
``n_bands``, ``scale_factor``, ``valid_range``, ``variable``, ``read_timesteps``,
``build_meta_info``), so the engine trains on a tile exactly as it trains on a whole store.
Reads touch only the stored chunks that overlap the window. The metadata describes the window:
its timestamps and their normalised times, the affine transform moved to the window's corner
(``window_affine``, which decoders use as well), and the stored values of unevenly spaced y/x
coordinates cut to the window.
"""
import numpy as np

from pyqelm.format.affine import window_affine
from pyqelm.utils.date_utils import normalize_time


def _bounds(value, n, axis):
    lo, hi = (0, n) if value is None else (int(value[0]), int(value[1]))
    if not 0 <= lo < hi <= n:
        raise ValueError(f"{axis} window [{lo}, {hi}) is empty or outside the source's {n}")
    return lo, hi


class WindowedSource:
    """Frames ``time`` = (t0, t1), rows ``y`` and columns ``x`` (half-open pairs, None for the
    whole axis) of ``source``."""

    def __init__(self, source, time=None, y=None, x=None):
        self.source = source
        self.time = _bounds(time, source.n_timesteps, "time")
        self.y = _bounds(y, source.height, "y")
        self.x = _bounds(x, source.width, "x")
        self.n_timesteps = self.time[1] - self.time[0]
        self.height = self.y[1] - self.y[0]
        self.width = self.x[1] - self.x[0]
        self.n_bands = source.n_bands
        self.variable = source.variable
        self.dtype_np = source.dtype_np

    @property
    def scale_factor(self):
        return self.source.scale_factor

    @property
    def valid_range(self):
        return self.source.valid_range

    @property
    def cf_valid_range(self):
        return getattr(self.source, "cf_valid_range", None)

    @property
    def shape(self):
        """(T, H, W, C) of the window."""
        return (self.n_timesteps, self.height, self.width, self.n_bands)

    def read(self, lo, hi):
        """Frames [lo, hi) of the window: what a pass over the source a batch of frames at a time
        reads (the error measurement of a tile, a bound kept on it)."""
        return self.read_timesteps(np.arange(lo, hi, dtype=np.int64))

    def read_timesteps(self, indices):
        idx = np.asarray(indices)
        if idx.ndim != 1 or (idx.size and idx.dtype.kind not in "iu"):
            raise ValueError(f"indices must be one-dimensional integers, got {idx.dtype} {idx.shape}")
        idx = idx.astype(np.int64, copy=False)
        bad = (idx < 0) | (idx >= self.n_timesteps)
        if bad.any():
            raise IndexError(f"time index {int(idx[bad][0])} is out of range for {self.n_timesteps} time steps")
        return self.source.read_region(idx + self.time[0], y=slice(*self.y), x=slice(*self.x))

    def build_meta_info(self):
        meta = self.source.build_meta_info()
        (t0, t1), (y0, _), (x0, _) = self.time, self.y, self.x
        stamps = meta["timestamps"][t0:t1]
        meta.update(height=self.height, width=self.width, timestamps=stamps,
                    t_norms=normalize_time(stamps, self.source.global_start_date, self.source.global_end_date))
        if meta.get("transform") is not None:
            moved = window_affine(meta["transform"], y0, x0)
            meta["transform"], meta["trans_matrix"] = moved, list(moved)
        from pyqelm.windowed import window_source

        return window_source(meta, {"time": self.time, "y": self.y, "x": self.x})
