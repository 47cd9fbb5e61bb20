"""Outer metadata of a container: the data cube's shape, bands, grid and time axis.

``Meta`` is stored as the container's "meta.json" (with "format_version" beside its fields)::

    {"shape": [T, H, W, C], "axes": ["time", "y", "x", "band"], "dtype": "uint16",
     "bands": [{"name": ..., "scale_factor": ..., "add_offset": ..., "valid_range": [lo, hi] | null}],
     "crs": text | object | null, "transform": [a, b, c, d, e, f] | null,
     "pixel_anchor": "upper_left", "missing_fill": number | null, "use_log": false,
     "time": {"values": [ISO-8601 text], "calendar": "gregorian",
              "global_start": text | null, "global_end": text | null} | null}

Records are built with keywords, validate their fields on construction (ValueError naming
the field), and round-trip exactly through ``to_dict`` / ``from_dict``. ``from_dict`` ignores
keys it does not know, so a newer writer may add fields.
"""
import math
from dataclasses import dataclass, field
from typing import Optional

from . import _records as R
from .affine import coerce_affine


@dataclass(kw_only=True)
class BandInfo:
    name: str
    scale_factor: float = 1.0
    add_offset: float = 0.0
    valid_range: Optional[list] = None

    def __post_init__(self):
        self.name = R.as_str(self.name, "band name")
        self.scale_factor = R.as_float(self.scale_factor, f"band {self.name!r} scale_factor", finite=True)
        self.add_offset = R.as_float(self.add_offset, f"band {self.name!r} add_offset", finite=True)
        if self.valid_range is not None:
            self.valid_range = R.as_pair(self.valid_range, f"band {self.name!r} valid_range")
            if any(math.isnan(v) for v in self.valid_range):
                raise ValueError(f"band {self.name!r} valid_range holds NaN: {self.valid_range}")

    def to_dict(self):
        return {"name": self.name, "scale_factor": self.scale_factor, "add_offset": self.add_offset,
                "valid_range": None if self.valid_range is None else list(self.valid_range)}

    @classmethod
    def from_dict(cls, d):
        R.mapping(d, "band")
        # Band descriptions from data sources may carry null for an absent scale or offset.
        scale, offset = d.get("scale_factor"), d.get("add_offset")
        return cls(name=R.require(d, "name", "band"), scale_factor=1.0 if scale is None else scale,
                   add_offset=0.0 if offset is None else offset, valid_range=d.get("valid_range"))


@dataclass(kw_only=True)
class TimeInfo:
    values: list
    calendar: str = "gregorian"
    global_start: Optional[str] = None
    global_end: Optional[str] = None

    def __post_init__(self):
        self.values = [R.as_str(v, f"time value {i}") for i, v in enumerate(R.as_list(self.values, "time values"))]
        self.calendar = R.as_str(self.calendar, "calendar")
        self.global_start = R.as_opt_str(self.global_start, "global_start")
        self.global_end = R.as_opt_str(self.global_end, "global_end")

    def to_dict(self):
        return {"values": list(self.values), "calendar": self.calendar,
                "global_start": self.global_start, "global_end": self.global_end}

    @classmethod
    def from_dict(cls, d):
        R.mapping(d, "time")
        return cls(values=R.require(d, "values", "time"), calendar=d.get("calendar", "gregorian"),
                   global_start=d.get("global_start"), global_end=d.get("global_end"))


def _crs(value):
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, dict):
        return R.plain(value, "crs")
    # CRS objects (rasterio, pyproj): their shortest faithful text form.
    for method in ("to_string", "to_wkt"):
        fn = getattr(value, method, None)
        if callable(fn):
            text = fn()
            if isinstance(text, str) and text:
                return text
    raise ValueError(f"crs must be text, a mapping or a CRS object; got {type(value).__name__}")


@dataclass(kw_only=True)
class Meta:
    shape: list
    axes: list = field(default_factory=lambda: ["time", "y", "x", "band"])
    dtype: str = "uint8"
    bands: list = field(default_factory=list)
    crs: object = None
    transform: Optional[list] = None
    pixel_anchor: str = "upper_left"
    missing_fill: object = None
    use_log: bool = False
    time: Optional[TimeInfo] = None

    def __post_init__(self):
        shape = R.as_list(self.shape, "shape")
        if len(shape) < 3:
            raise ValueError(f"shape needs at least (frames, rows, columns), got {shape}")
        self.shape = [R.as_int(v, f"shape[{i}]", minimum=0) for i, v in enumerate(shape)]
        self.axes = [R.as_str(a, f"axes[{i}]") for i, a in enumerate(R.as_list(self.axes, "axes"))]
        if len(self.axes) != len(self.shape) or len(set(self.axes)) != len(self.axes):
            raise ValueError(f"axes {self.axes} must name each of the {len(self.shape)} dimensions once")
        self.dtype = R.as_str(self.dtype, "dtype")
        self.bands = [b if isinstance(b, BandInfo) else BandInfo.from_dict(b)
                      for b in R.as_list(self.bands, "bands")]
        self.crs = _crs(self.crs)
        if self.transform is not None:
            self.transform = coerce_affine(self.transform)
        self.pixel_anchor = R.as_str(self.pixel_anchor, "pixel_anchor")
        if self.missing_fill is not None:
            self.missing_fill = R.as_number(self.missing_fill, "missing_fill")
        self.use_log = R.as_bool(self.use_log, "use_log")
        if self.time is not None and not isinstance(self.time, TimeInfo):
            self.time = TimeInfo.from_dict(self.time)

    @property
    def n_frames(self):
        return int(self.shape[0])

    @property
    def height(self):
        return int(self.shape[1])

    @property
    def width(self):
        return int(self.shape[2])

    def to_dict(self):
        return {"shape": list(self.shape), "axes": list(self.axes), "dtype": self.dtype,
                "bands": [b.to_dict() for b in self.bands], "crs": R.plain(self.crs, "crs"),
                "transform": None if self.transform is None else list(self.transform),
                "pixel_anchor": self.pixel_anchor, "missing_fill": self.missing_fill,
                "use_log": self.use_log, "time": None if self.time is None else self.time.to_dict()}

    @classmethod
    def from_dict(cls, d):
        R.mapping(d, "meta")
        kw = {k: d[k] for k in ("axes", "dtype", "crs", "transform", "pixel_anchor", "missing_fill", "use_log")
              if k in d}
        bands = [BandInfo.from_dict(b) for b in R.as_list(d.get("bands", []), "bands")]
        time = d.get("time")
        return cls(shape=R.require(d, "shape", "meta"), bands=bands,
                   time=None if time is None else TimeInfo.from_dict(time), **kw)
