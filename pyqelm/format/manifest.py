"""The container's manifest: how the cube is cut into chunks and which member holds each.

Stored as the container's "manifest.json"::

    {"chunk_grid": {"time": {"n": 1, "regular": true, "size": T}, "y": {...}, "x": {...}},
     "chunks": [{"id": [0, 0, 0], "bounds": {"time": [0, T], "y": [0, H], "x": [0, W]},
                 "file": "chunks/time0.y0.x0.qelmc", "size_bytes": 12345}]}

The grid's key order is the order of the entries of every chunk ``id``. ``bounds`` are
half-open pixel ranges [start, end) per grid axis. A manifest checks its own consistency
(ids inside the grid, one entry per id and per member name, bounds for every axis).
"""
from dataclasses import dataclass, field

from . import _records as R


@dataclass(kw_only=True)
class AxisChunking:
    """Chunking of one axis: ``n`` chunks; with ``regular`` each spans ``size`` pixels (the last
    may be shorter)."""
    n: int
    regular: bool = True
    size: int = 0

    def __post_init__(self):
        self.n = R.as_int(self.n, "axis chunk count", minimum=0)
        self.regular = R.as_bool(self.regular, "axis regular")
        self.size = R.as_int(self.size, "axis chunk size", minimum=0)

    def to_dict(self):
        return {"n": self.n, "regular": self.regular, "size": self.size}

    @classmethod
    def from_dict(cls, d):
        R.mapping(d, "axis chunking")
        return cls(n=R.require(d, "n", "axis chunking"), regular=d.get("regular", True), size=d.get("size", 0))


@dataclass(kw_only=True)
class ChunkEntry:
    id: list
    bounds: dict
    file: str
    size_bytes: int

    def __post_init__(self):
        self.id = [R.as_int(v, f"chunk id[{i}]", minimum=0) for i, v in enumerate(R.as_list(self.id, "chunk id"))]
        bounds = {}
        for axis, b in R.mapping(self.bounds, "chunk bounds").items():
            lo, hi = R.as_pair(b, f"chunk bounds[{axis!r}]")
            lo = R.as_int(lo, f"chunk bounds[{axis!r}] start", minimum=0)
            hi = R.as_int(hi, f"chunk bounds[{axis!r}] end", minimum=lo)
            bounds[R.as_str(axis, "bounds axis")] = [lo, hi]
        self.bounds = bounds
        self.file = R.as_str(self.file, "chunk file")
        self.size_bytes = R.as_int(self.size_bytes, "chunk size_bytes", minimum=0)

    def to_dict(self):
        return {"id": list(self.id), "bounds": {k: list(v) for k, v in self.bounds.items()},
                "file": self.file, "size_bytes": self.size_bytes}

    @classmethod
    def from_dict(cls, d):
        R.mapping(d, "chunk entry")
        return cls(**{k: R.require(d, k, "chunk entry") for k in ("id", "bounds", "file", "size_bytes")})


@dataclass(kw_only=True)
class Manifest:
    chunk_grid: dict
    chunks: list = field(default_factory=list)

    def __post_init__(self):
        grid = {}
        for axis, ac in R.mapping(self.chunk_grid, "chunk_grid").items():
            grid[R.as_str(axis, "grid axis")] = ac if isinstance(ac, AxisChunking) else AxisChunking.from_dict(ac)
        self.chunk_grid = grid
        self.chunks = [c if isinstance(c, ChunkEntry) else ChunkEntry.from_dict(c)
                       for c in R.as_list(self.chunks, "chunks")]
        axes = list(grid)
        seen_ids, seen_files = set(), set()
        for c in self.chunks:
            if len(c.id) != len(axes):
                raise ValueError(f"chunk id {c.id} does not match the grid axes {axes}")
            for i, axis in zip(c.id, axes):
                if i >= grid[axis].n:
                    raise ValueError(f"chunk id {c.id} lies outside the grid ({axis} has {grid[axis].n} chunks)")
            if sorted(c.bounds) != sorted(axes):
                raise ValueError(f"chunk {c.id} bounds name {sorted(c.bounds)}, the grid has {axes}")
            if tuple(c.id) in seen_ids:
                raise ValueError(f"chunk id {c.id} is listed twice")
            if c.file in seen_files:
                raise ValueError(f"chunk member {c.file!r} is listed twice")
            seen_ids.add(tuple(c.id))
            seen_files.add(c.file)

    def to_dict(self):
        return {"chunk_grid": {k: v.to_dict() for k, v in self.chunk_grid.items()},
                "chunks": [c.to_dict() for c in self.chunks]}

    @classmethod
    def from_dict(cls, d):
        R.mapping(d, "manifest")
        return cls(chunk_grid=R.require(d, "chunk_grid", "manifest"), chunks=R.require(d, "chunks", "manifest"))
