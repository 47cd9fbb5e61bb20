"""Per-chunk metadata and the chunk blob that carries one trained model.

Chunk blob layout (little-endian, 40-byte header, no padding)::

    offset  size  field
       0      4   magic            b"QLMC"
       4      2   version          u16, 1
       6      2   flags            u16: bit 0 set = the metadata section is zlib-compressed;
                                   other bits 0 (blobs of earlier versions have 0: plain JSON)
       8      4   metadata length  u32, bytes of the metadata section as stored
      12      8   weights length   u64
      20      8   mask length      u64
      28      8   residual length  u64
      36      4   CRC-32           u32 (zlib) of every byte after the header
      40          metadata (the UTF-8 JSON of ChunkMeta.to_dict(), compressed where that is smaller),
                  then the weights, mask and residual sections, back to back

A compressed metadata section is inflated with a cap of the largest metadata document a reader
accepts: the inflated size is known to be within it before anything of that size is kept.

The lengths must add up to the blob's size exactly. ``residual length`` is 0 exactly when the
chunk metadata says ``has_residuals`` is false; the mask section may be empty (no mask).

``ChunkMeta.to_dict()`` is::

    {"model_config": {...}, "quantization_info": {...recipe...},
     "train_data_range": [[lo, hi], ...], "train_time_range": {"start", "end", "n_frames"} | null,
     "has_residuals": bool, "residual_info": {...} | null, "extras": {...}}

Chunk member names inside a container are ``chunks/<axis><index>.<axis><index>....qelmc``,
e.g. "chunks/time0.y0.x0.qelmc" (see :func:`encode_chunk_filename`).
"""
import re
import struct
import zlib
from dataclasses import dataclass, field
from typing import NamedTuple, Optional

import numpy as np

from . import _records as R

MAGIC = b"QLMC"
VERSION = 1
_HEADER = struct.Struct("<4sHHIQQQI")
FLAG_META_ZLIB = 0x1
_KNOWN_FLAGS = FLAG_META_ZLIB
HEADER_SIZE = _HEADER.size

CODES_LAYOUT = "bound_codes_v1"
WEIGHT_MODES = ("int8_per_tensor_f16dec", "int16_per_tensor_f16dec", "float16")
_QUANT_KEYS = ("scales", "sizes", "components", "decoder_size", "decoder_name")


@dataclass(kw_only=True)
class QuantizationInfo:
    """The weight recipe: how the weight payload was quantized (keys in stored order)."""
    mode: str
    scales: Optional[list] = None
    sizes: Optional[list] = None
    components: Optional[list] = None
    decoder_size: Optional[int] = None
    decoder_name: Optional[str] = None

    def __post_init__(self):
        self.mode = R.as_str(self.mode, "quantization mode", WEIGHT_MODES)
        if self.mode == "float16":
            present = [k for k in _QUANT_KEYS if getattr(self, k) is not None]
            if present:
                raise ValueError(f"float16 weights carry no per-component fields, got {present}")
            return
        missing = [k for k in _QUANT_KEYS if getattr(self, k) is None]
        if missing:
            raise ValueError(f"quantization mode {self.mode!r} needs {missing}")
        self.scales = [R.as_float(s, f"scales[{i}]", positive=True) for i, s in enumerate(R.as_list(self.scales, "scales"))]
        self.sizes = [R.as_int(s, f"sizes[{i}]", minimum=0) for i, s in enumerate(R.as_list(self.sizes, "sizes"))]
        self.components = [R.as_str(c, f"components[{i}]") for i, c in enumerate(R.as_list(self.components, "components"))]
        if not len(self.scales) == len(self.sizes) == len(self.components):
            raise ValueError(f"quantization lists differ in length: {len(self.scales)} scales, "
                             f"{len(self.sizes)} sizes, {len(self.components)} components")
        self.decoder_size = R.as_int(self.decoder_size, "decoder_size", minimum=0)
        self.decoder_name = R.as_str(self.decoder_name, "decoder_name")

    def to_dict(self):
        d = {"mode": self.mode}
        if self.mode != "float16":
            d.update(scales=list(self.scales), sizes=list(self.sizes), components=list(self.components),
                     decoder_size=self.decoder_size, decoder_name=self.decoder_name)
        return d

    @classmethod
    def from_dict(cls, d):
        R.mapping(d, "quantization info")
        return cls(mode=R.require(d, "mode", "quantization info"), **{k: d[k] for k in _QUANT_KEYS if k in d})


@dataclass(kw_only=True)
class ResidualInfo:
    """Description of a chunk's residual blob (keys in stored order).

    Two layouts. "chunked_v1", the engine's sparse track: values "native" (data numbers of an
    integer source) or "perframe_int16". "bound_codes_v1", a bounded chunk: value mode
    "bound_step", dtype "int32", one code per cell of the pixels the mask keeps, coded by
    ``pyqelm.residual_codec`` ("main_codec" and "outlier_vals_codec" "residual_codes"); it adds
    ``bound`` (the guaranteed largest absolute error per band, physical units) and ``steps``
    (the code step per band), and "outlier_count" counts the non-zero codes. The extra keys are
    written only for that layout, so a "chunked_v1" record reads and writes as before."""
    dtype: str = "int16"
    value_mode: str = "perframe_int16"
    band_scales: Optional[list] = None
    threshold: object = 0.0
    scale: float = 1.0
    main_codec: str = "zstd"
    outlier_layout: str = "chunked_v1"
    outlier_count: int = 0
    outlier_value_scale: float = 1.0
    outlier_vals_codec: str = "lzma"
    bound: Optional[list] = None
    steps: Optional[list] = None

    def __post_init__(self):
        self.outlier_layout = R.as_str(self.outlier_layout, "outlier_layout", ("chunked_v1", CODES_LAYOUT))
        codes = self.outlier_layout == CODES_LAYOUT
        self.dtype = R.as_str(self.dtype, "residual dtype", ("int32",) if codes else ("int8", "int16"))
        self.value_mode = R.as_str(self.value_mode, "residual value_mode",
                                   ("bound_step",) if codes else ("native", "perframe_int16"))
        if self.band_scales is not None:
            self.band_scales = [R.as_float(s, f"band_scales[{i}]", positive=True)
                                for i, s in enumerate(R.as_list(self.band_scales, "band_scales"))]
        if self.value_mode == "native" and not self.band_scales:
            raise ValueError("native residual values need band_scales")
        if isinstance(self.threshold, (list, tuple, np.ndarray)):
            self.threshold = [R.as_float(t, f"threshold[{i}]")
                              for i, t in enumerate(np.asarray(self.threshold, dtype=object).reshape(-1))]
        else:
            self.threshold = R.as_float(self.threshold, "threshold")
        self.scale = R.as_float(self.scale, "residual scale")
        codec = ("residual_codes",) if codes else None
        self.main_codec = R.as_str(self.main_codec, "main_codec", codec or ("zstd",))
        self.outlier_count = R.as_int(self.outlier_count, "outlier_count", minimum=0)
        self.outlier_value_scale = R.as_float(self.outlier_value_scale, "outlier_value_scale", positive=True)
        self.outlier_vals_codec = R.as_str(self.outlier_vals_codec, "outlier_vals_codec", codec or ("lzma",))
        if codes:
            for key in ("bound", "steps"):
                if getattr(self, key) is None:
                    raise ValueError(f'bound_codes_v1 residual info lacks "{key}"')
                values = R.as_list(getattr(self, key), key)
                if not values:
                    raise ValueError(f"bound_codes_v1 residual info needs one {key} entry per band")
                setattr(self, key, [R.as_float(v, f"{key}[{i}]", positive=True) for i, v in enumerate(values)])
            if len(self.bound) != len(self.steps):
                raise ValueError(f"{len(self.bound)} bounds for {len(self.steps)} steps")
            # A step of twice the bound or more cannot keep a value within the bound.
            if any(not s < 2 * b for s, b in zip(self.steps, self.bound)):
                raise ValueError(f"residual steps {self.steps} are not below twice the bound {self.bound}")
        elif self.bound is not None or self.steps is not None:
            raise ValueError("bound and steps belong to the bound_codes_v1 residual layout")

    _KEYS = ("dtype", "value_mode", "band_scales", "threshold", "scale", "main_codec", "outlier_layout",
             "outlier_count", "outlier_value_scale", "outlier_vals_codec")

    def to_dict(self):
        d = {k: getattr(self, k) for k in self._KEYS}
        d["band_scales"] = None if self.band_scales is None else list(self.band_scales)
        if isinstance(self.threshold, list):
            d["threshold"] = list(self.threshold)
        if self.outlier_layout == CODES_LAYOUT:
            d["bound"], d["steps"] = list(self.bound), list(self.steps)
        return d

    @classmethod
    def from_dict(cls, d):
        R.mapping(d, "residual info")
        return cls(**{k: d[k] for k in cls._KEYS + ("bound", "steps") if k in d})


@dataclass(kw_only=True)
class TrainTimeRange:
    start: str
    end: str
    n_frames: int

    def __post_init__(self):
        self.start = R.as_str(self.start, "train_time_range start")
        self.end = R.as_str(self.end, "train_time_range end")
        self.n_frames = R.as_int(self.n_frames, "train_time_range n_frames", minimum=0)

    def to_dict(self):
        return {"start": self.start, "end": self.end, "n_frames": self.n_frames}

    @classmethod
    def from_dict(cls, d):
        R.mapping(d, "train_time_range")
        return cls(start=R.require(d, "start", "train_time_range"), end=R.require(d, "end", "train_time_range"),
                   n_frames=R.require(d, "n_frames", "train_time_range"))


@dataclass(kw_only=True)
class ChunkMeta:
    """Metadata of one chunk's model. ``extras`` is a plain dict that callers may extend."""
    model_config: dict
    quantization_info: QuantizationInfo
    train_data_range: list = field(default_factory=list)
    train_time_range: Optional[TrainTimeRange] = None
    has_residuals: bool = False
    residual_info: Optional[ResidualInfo] = None
    extras: dict = field(default_factory=dict)

    def __post_init__(self):
        self.model_config = R.plain(R.mapping(self.model_config, "model_config"), "model_config")
        if not isinstance(self.quantization_info, QuantizationInfo):
            self.quantization_info = QuantizationInfo.from_dict(self.quantization_info)
        self.train_data_range = [R.as_range(p, f"train_data_range[{i}]")
                                 for i, p in enumerate(R.as_list(self.train_data_range, "train_data_range"))]
        if self.train_time_range is not None and not isinstance(self.train_time_range, TrainTimeRange):
            self.train_time_range = TrainTimeRange.from_dict(self.train_time_range)
        self.has_residuals = R.as_bool(self.has_residuals, "has_residuals")
        if self.residual_info is not None and not isinstance(self.residual_info, ResidualInfo):
            self.residual_info = ResidualInfo.from_dict(self.residual_info)
        if self.has_residuals and self.residual_info is None:
            raise ValueError("a chunk with residuals needs residual_info")
        # Checked now so a bad value fails at construction, not at save time; kept as given,
        # since callers extend it in place.
        R.plain(R.mapping(self.extras, "extras"), "extras")

    def to_dict(self):
        return {"model_config": R.plain(self.model_config, "model_config"),
                "quantization_info": self.quantization_info.to_dict(),
                "train_data_range": [list(p) for p in self.train_data_range],
                "train_time_range": None if self.train_time_range is None else self.train_time_range.to_dict(),
                "has_residuals": self.has_residuals,
                "residual_info": None if self.residual_info is None else self.residual_info.to_dict(),
                "extras": R.plain(R.mapping(self.extras, "extras"), "extras")}

    @classmethod
    def from_dict(cls, d):
        R.mapping(d, "chunk metadata")
        ttr, ri = d.get("train_time_range"), d.get("residual_info")
        return cls(model_config=R.require(d, "model_config", "chunk metadata"),
                   quantization_info=QuantizationInfo.from_dict(R.require(d, "quantization_info", "chunk metadata")),
                   train_data_range=d.get("train_data_range", []),
                   train_time_range=None if ttr is None else TrainTimeRange.from_dict(ttr),
                   has_residuals=d.get("has_residuals", False),
                   residual_info=None if ri is None else ResidualInfo.from_dict(ri),
                   extras=dict(R.mapping(d.get("extras", {}), "extras")))


class ChunkContents(NamedTuple):
    chunk_meta: ChunkMeta
    weights_bytes: bytes
    mask_bytes: bytes
    residual_bytes: bytes


def _as_bytes(value, what):
    if isinstance(value, str) or not isinstance(value, (bytes, bytearray, memoryview)):
        raise ValueError(f"{what} must be bytes, got {type(value).__name__}")
    return bytes(value)


def _inflate_meta(data, cap=None):
    """The metadata JSON of a compressed section, refused once it would exceed ``cap`` bytes
    (the largest metadata document a reader accepts), so a small section that claims to inflate
    to gigabytes is stopped at the cap."""
    cap = R.JSON_MAX_BYTES if cap is None else cap
    d = zlib.decompressobj()
    try:
        out = d.decompress(data, cap + 1)
    except zlib.error as exc:
        raise ValueError(f"chunk metadata is not valid compressed data: {exc}") from None
    if len(out) > cap or d.unconsumed_tail:
        raise ValueError(f"chunk metadata inflates to more than the {cap:,} bytes a metadata document may have")
    if not d.eof or d.unused_data:
        raise ValueError("chunk metadata's compressed data is truncated or followed by other bytes")
    return out


def write_chunk_bytes(chunk_meta, weights_bytes, mask_bytes, residual_bytes):
    """Serialise one chunk (metadata and its three sections) into a chunk blob."""
    if not isinstance(chunk_meta, ChunkMeta):
        raise ValueError(f"chunk_meta must be a ChunkMeta, got {type(chunk_meta).__name__}")
    weights = _as_bytes(weights_bytes, "weights_bytes")
    mask = _as_bytes(mask_bytes, "mask_bytes")
    resid = _as_bytes(residual_bytes, "residual_bytes")
    if not weights:
        raise ValueError("a chunk needs its weights; weights_bytes is empty")
    if chunk_meta.has_residuals != bool(resid):
        raise ValueError("residual_bytes must be given exactly when chunk_meta.has_residuals is true "
                         f"(has_residuals={chunk_meta.has_residuals}, {len(resid)} residual bytes)")
    meta_json = R.dumps_checked(chunk_meta.to_dict(), "chunk metadata")
    flags, packed = 0, zlib.compress(meta_json, 9)
    if len(packed) < len(meta_json):
        flags, meta_json = FLAG_META_ZLIB, packed
    body = [meta_json, weights, mask, resid]
    crc = 0
    for part in body:
        crc = zlib.crc32(part, crc)
    header = _HEADER.pack(MAGIC, VERSION, flags, len(meta_json), len(weights), len(mask), len(resid),
                          crc & 0xFFFFFFFF)
    return b"".join([header] + body)


def read_chunk_bytes(blob):
    """Parse and verify a chunk blob -> ChunkContents(chunk_meta, weights, mask, residuals).

    Raises ValueError for anything but a complete, intact blob of a known version.
    """
    blob = _as_bytes(blob, "chunk blob")
    if len(blob) < HEADER_SIZE:
        raise ValueError(f"chunk blob truncated: {len(blob)} bytes, the header alone has {HEADER_SIZE}")
    magic, version, flags, meta_len, w_len, m_len, r_len, crc = _HEADER.unpack_from(blob)
    if magic != MAGIC:
        raise ValueError(f"not a chunk blob: magic {magic!r}, expected {MAGIC!r}")
    if version != VERSION:
        raise ValueError(f"unsupported chunk blob version {version} (this reader knows {VERSION})")
    if flags & ~_KNOWN_FLAGS:
        raise ValueError(f"chunk blob flags are {flags:#x}; this reader knows only {_KNOWN_FLAGS:#x}")
    declared = HEADER_SIZE + meta_len + w_len + m_len + r_len
    if declared != len(blob):
        raise ValueError(f"chunk blob sections declare {declared} bytes in all, the blob has {len(blob)}")
    if zlib.crc32(memoryview(blob)[HEADER_SIZE:]) & 0xFFFFFFFF != crc:
        raise ValueError("chunk blob checksum mismatch: data corrupted")
    pos = HEADER_SIZE
    sections = []
    for n in (meta_len, w_len, m_len, r_len):
        sections.append(blob[pos:pos + n])
        pos += n
    meta_json = _inflate_meta(sections[0]) if flags & FLAG_META_ZLIB else sections[0]
    meta = ChunkMeta.from_dict(R.loads(meta_json, "chunk metadata"))
    if not sections[1]:
        raise ValueError("chunk blob has no weights")
    if meta.has_residuals != bool(sections[3]):
        raise ValueError(f"chunk metadata says has_residuals={meta.has_residuals} "
                         f"but the blob holds {len(sections[3])} residual bytes")
    return ChunkContents(meta, sections[1], sections[2], sections[3])


_AXIS_RE = re.compile(r"[A-Za-z][A-Za-z_]*\Z")
_PART_RE = re.compile(r"([A-Za-z][A-Za-z_]*)(0|[1-9][0-9]*)\Z")


def encode_chunk_filename(chunk_id, axes):
    """Member name of a chunk: ``encode_chunk_filename([0, 0, 0], ["time", "y", "x"])`` ->
    "chunks/time0.y0.x0.qelmc". Axis names are letters and underscores, indices >= 0."""
    ids = R.as_list(chunk_id, "chunk id")
    names = R.as_list(axes, "chunk axes")
    if len(ids) != len(names) or not ids:
        raise ValueError(f"chunk id {ids} and axes {names} must be non-empty and of equal length")
    parts = []
    for i, (idx, ax) in enumerate(zip(ids, names)):
        idx = R.as_int(idx, f"chunk id[{i}]", minimum=0)
        if not isinstance(ax, str) or not _AXIS_RE.match(ax):
            raise ValueError(f"axis name {ax!r} must be letters and underscores")
        parts.append(f"{ax}{idx}")
    return "chunks/" + ".".join(parts) + ".qelmc"


def decode_chunk_filename(name):
    """Inverse of :func:`encode_chunk_filename` -> (ids, axes)."""
    if not isinstance(name, str) or not name.startswith("chunks/") or not name.endswith(".qelmc"):
        raise ValueError(f"not a chunk member name: {name!r}")
    ids, axes = [], []
    for part in name[len("chunks/"):-len(".qelmc")].split("."):
        m = _PART_RE.match(part)
        if not m:
            raise ValueError(f"not a chunk member name: {name!r}")
        axes.append(m.group(1))
        ids.append(int(m.group(2)))
    return ids, axes
