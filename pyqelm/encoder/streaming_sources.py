"""Out-of-core Zarr source: one variable of a Zarr v2 or v3 store, read frame by frame.

``ZarrStreamingSource`` (keyword arguments only) opens a local store, chooses one data variable
and serves frames with ``read_timesteps(indices)`` as a ``(len(indices), H, W, C)`` array of
``dtype_np``; ``read_region(indices, y=slice, x=slice)`` serves a window of rows and columns of
them, reading only the stored chunks that overlap it. It never holds more than one stored time
chunk of the variable at a time.

Stores
    Zarr v2 stores are read with the zarr library. Zarr v3 stores (``zarr.json``) are read by the
    small reader in this module: regular chunk grids, "default" and "v2" chunk-key encodings,
    the "bytes" codec (either endian), "transpose", and the "gzip", "zstd" and "blosc"
    compressors. Any other codec (sharding, checksums, ...) is refused with a ``ValueError``
    naming it. Chunks that are not stored read as the array's fill value (a floating-point
    v2 array without one reads them as NaN; other v2 arrays without one refuse them), and a
    blosc chunk shorter or longer than its frame header declares is refused as damaged. A
    variable with a dimension of length 0, an infinite ``valid_range`` end, or a scale factor
    that is 0 or not finite is refused when the source is opened. A v2 array is read only when
    its element type holds numbers and its compressor and filters are in ``SAFE_V2_CODECS``
    (checked on its ``.zarray`` before zarr builds a codec: pickle and the other object codecs
    are never run); another array of the store with such codecs is refused when chosen or read.

Variable and dimensions
    The data variable and the roles of its dimensions follow ``pyqelm.conventions``: a variable
    of two or more dimensions that nothing names as a coordinate, bounds or grid mapping (with
    several, ``variable`` must be given); dimension names from ``_ARRAY_DIMENSIONS`` (v2, as
    xarray writes it) or ``dimension_names`` (v3), each classified by its coordinate array's
    attributes (``axis``, ``standard_name``, ``units``), then its name, then its position. The
    variable is read as (time, rows, columns, bands) whatever the stored order: a variable
    without a time dimension is one frame, one without a band dimension one band, a dimension
    of length 1 is dropped, and a vertical or ensemble dimension becomes the band axis when
    named by ``band_dim``. A 2-D, 3-D or 4-D array without dimension names is taken as
    (y, x), (time, y, x) or (time, band, y, x).

Time
    The time axis follows ``pyqelm.conventions.time_axis``: CF dates in every CF calendar
    (timestamps as ISO-8601 text in that calendar, "calendar" its name; the Gregorian family
    as proleptic Gregorian counts, a standard-calendar reference date before 1582-10-15 read
    as Julian); datetime64 values directly; anything else kept in file order with calendar
    "none" and plain numbers as "timestamps", and a note for the user. ``time_start`` with
    ``time_step`` dates the frames instead (the stored time values are still carried).
    "t_norms" are always ``normalize_time(timestamps, global_start_date, global_end_date,
    calendar)``, and a reader rebuilds the network's time inputs from the same three; global
    dates on an axis without dates are refused.

Values
    physical = stored x scale_factor + add_offset. ``scale_factor`` is the argument, else the
    variable's attribute, else 1.0; ``add_offset`` is the attribute, else 0.0. Stored values
    equal to ``_FillValue`` or ``missing_value`` (and, for v2 arrays written with dimension
    names, the array's fill value, as xarray treats it), non-finite values and, unless
    ``mask_invalid`` is false, stored values outside the variable's CF ``valid_range`` /
    ``valid_min`` / ``valid_max`` attributes (CF: invalid data; compared in stored units) become
    NaN; ``cf_valid_range`` is that range in physical units (None without the attributes). With a
    ``valid_range`` (vmin, vmax) values are clipped to it and mapped to (v - vmin)/(vmax - vmin)
    in [0, 1]; without one they are returned in physical units. NaN stays NaN.

Metadata (``build_meta_info()``)
    "height", "width", "n_bands", "timestamps" (see Time), "t_norms", "dtype" and
    "src_dtype" (stored element type name), "scale_factor", "add_offset", "band_scales" (the
    scale per band), "band_names", "variable", "dims" (the stored dimension names), "axes"
    (the role of each: "time", "y", "x", "band" or "extra"), "calendar" and "time_units" (of
    the time coordinate), "valid_range", "zarr_format", "notes" (lines for the user: how time
    or a dimension was read, what is not carried), "attrs" (the
    variable's attributes except the encoding ones: _ARRAY_DIMENSIONS, _FillValue,
    missing_value, scale_factor, add_offset, units, coordinates, grid_mapping); and, when known,
    "units", "missing_fill" (the stored no-data value), "crs" (WKT or authority text, from
    ``crs_wkt``/``spatial_ref``/``crs``/``epsg`` attributes of the grid-mapping variable, the
    variable or the store), and "trans_matrix" with "transform" (the same six affine
    coefficients (a, b, c, d, e, f): a the column step, c the x of the outer corner, e the row
    step, f the y of the outer corner; from regular 1-D x/y coordinates, outer corner = first
    centre - half a step, else from a GDAL ``GeoTransform`` attribute), "coords" (every
    variable that travels with the data: coordinates of the dimensions, auxiliary coordinates
    such as curvilinear 2-D latitude/longitude, bounds and the grid mapping, each with its
    dimensions, role, attributes, fill value and exact stored values; see
    ``_coordinate_records``) and "global_attrs" (the store's attributes).

``encode_cf_times`` turns timestamps back into CF numbers for a writer.
"""
import gzip
import itertools
import json
import os
import re
from datetime import datetime, timedelta

import numpy as np

from pyqelm.conventions import (NO_CALENDAR, TimeAxis, Var, choose_variable, coordinate_kind, dated_axis,
                                dim_coordinate, grid_mapping_names, pack_array, related_variables,
                                resolve_layout, time_axis)
from pyqelm.utils.date_utils import normalize_time

TIME_NAMES = ("time", "t", "date", "valid_time")
Y_NAMES = ("y", "lat", "latitude")
X_NAMES = ("x", "lon", "longitude")
BAND_NAMES = ("band", "bands", "channel")
_ENCODING_ATTRS = {"_ARRAY_DIMENSIONS", "_FillValue", "missing_value", "scale_factor",
                   "add_offset", "units", "coordinates", "grid_mapping"}


# ---- Zarr v3 reader ---------------------------------------------------------------------

_V3_DTYPES = {
    "bool": "?", "int8": "i1", "int16": "i2", "int32": "i4", "int64": "i8",
    "uint8": "u1", "uint16": "u2", "uint32": "u4", "uint64": "u8",
    "float16": "f2", "float32": "f4", "float64": "f8",
}


def _v3_fill(value, dtype):
    if value is None:
        return None
    if isinstance(value, str):
        special = {"NaN": np.nan, "Infinity": np.inf, "-Infinity": -np.inf}
        if value in special:
            return dtype.type(special[value])
        if value.startswith("0x"):
            raw = int(value, 16).to_bytes(dtype.itemsize, "big")
            return np.frombuffer(raw, dtype=dtype.newbyteorder(">"))[0].astype(dtype)
        raise ValueError(f"unsupported fill value {value!r}")
    return dtype.type(value)


class _V3Array:
    """One Zarr v3 array, read chunk by chunk straight from its directory."""

    zarr_format = 3

    def __init__(self, name, path, meta):
        self.name, self.path = name, path
        try:
            self.shape = tuple(int(n) for n in meta["shape"])
            dt = meta["data_type"]
        except (KeyError, TypeError) as e:
            raise ValueError(f"array {name!r}: malformed zarr.json ({e})") from None
        self._dtype_error = None
        if isinstance(dt, str) and dt in _V3_DTYPES:
            self.dtype = np.dtype(_V3_DTYPES[dt])
        else:
            # Kept so a store with, say, a string coordinate still opens; reading it fails.
            self.dtype = np.dtype("O")
            self._dtype_error = f"array {name!r}: unsupported data type {dt!r}"
        self.attrs = dict(meta.get("attributes") or {})
        names = meta.get("dimension_names")
        self.dims = tuple(names) if isinstance(names, list) and len(names) == len(self.shape) and \
            all(isinstance(n, str) for n in names) else None
        self.fill_value = None if self._dtype_error else _v3_fill(meta.get("fill_value"),
                                                                   self.dtype)
        grid = meta.get("chunk_grid") or {}
        self._grid_error = None
        if grid.get("name") != "regular":
            self._grid_error = f"array {name!r}: unsupported chunk grid {grid.get('name')!r}"
            self.chunks = self.shape
        else:
            chunks = (grid.get("configuration") or {}).get("chunk_shape")
            if not (isinstance(chunks, list) and len(chunks) == len(self.shape)
                    and all(isinstance(n, int) and not isinstance(n, bool) and n >= 1 for n in chunks)):
                raise ValueError(f"array {name!r}: chunk shape {chunks!r:.60} must hold one positive "
                                 f"integer per dimension of {list(self.shape)}")
            self.chunks = tuple(chunks)
        enc = meta.get("chunk_key_encoding") or {"name": "default"}
        enc_name = enc.get("name")
        sep = (enc.get("configuration") or {}).get("separator")
        if enc_name == "default":
            self._key_prefix, self._sep = ["c"], sep or "/"
        elif enc_name == "v2":
            self._key_prefix, self._sep = [], sep or "."
        else:
            self._key_prefix, self._sep = None, None
            self._grid_error = f"array {name!r}: unsupported chunk key encoding {enc_name!r}"
        self._codecs = list(meta.get("codecs") or [])
        if meta.get("storage_transformers"):
            self._grid_error = f"array {name!r}: storage transformers are not supported"
        self._pipeline = None

    def _build_pipeline(self):
        """Validates the codec chain once: (transposes, byte order, bytes-to-bytes decoders)."""
        if self._dtype_error:
            raise ValueError(self._dtype_error)
        if self._grid_error:
            raise ValueError(self._grid_error)
        transposes, order, decoders, stage = [], None, [], 0
        for codec in self._codecs:
            if isinstance(codec, str):
                codec = {"name": codec}
            name = codec.get("name")
            conf = codec.get("configuration") or {}
            if name == "transpose" and stage == 0:
                perm = conf.get("order")
                ndim = len(self.shape)
                if perm == "C":
                    perm = list(range(ndim))
                elif perm == "F":
                    perm = list(range(ndim))[::-1]
                if sorted(perm or []) != list(range(ndim)):
                    raise ValueError(f"array {self.name!r}: bad transpose order {perm!r}")
                transposes.append(tuple(int(p) for p in perm))
            elif name in ("bytes", "endian") and stage == 0:
                endian = conf.get("endian", "little")
                if endian not in ("little", "big"):
                    raise ValueError(f"array {self.name!r}: bad endian {endian!r}")
                order = "<" if endian == "little" else ">"
                stage = 1
            elif name in ("gzip", "zstd", "blosc") and stage == 1:
                decoders.append((name, _bytes_decoder(name)))
            else:
                raise ValueError(
                    f"array {self.name!r}: unsupported Zarr v3 codec {name!r} "
                    "(supported: transpose, bytes, gzip, zstd, blosc)")
        if stage == 0:
            raise ValueError(f"array {self.name!r}: codec chain has no 'bytes' codec")
        self._pipeline = (transposes, order, decoders)

    def _chunk_key(self, coords):
        parts = self._key_prefix + [str(c) for c in coords]
        if not parts:
            parts = ["0"]
        return self._sep.join(parts)

    def _load_chunk_bytes(self, key):
        """The stored bytes of one chunk, or None when the chunk was never written."""
        path = os.path.join(self.path, *key.split("/"))
        try:
            with open(path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def _decode_chunk(self, raw, key):
        transposes, order, decoders = self._pipeline
        data = raw
        for name, decode in reversed(decoders):
            try:
                data = decode(data)
            except Exception as e:
                raise ValueError(f"array {self.name!r}, chunk {key!r}: {name} "
                                 f"decompression failed ({e})") from e
        shape = list(self.chunks)
        for perm in transposes:
            shape = [shape[p] for p in perm]
        expected = int(np.prod(shape)) * self.dtype.itemsize
        size = memoryview(data).nbytes
        if size != expected:
            raise ValueError(f"array {self.name!r}, chunk {key!r}: {size} bytes decoded, "
                             f"{expected} expected")
        arr = np.frombuffer(data, dtype=self.dtype.newbyteorder(order)).reshape(shape)
        for perm in reversed(transposes):
            arr = arr.transpose(np.argsort(perm))
        return arr

    def read(self, region):
        """Values of a region (tuple of unit-step slices) in native byte order; each chunk
        that overlaps the region is loaded and decoded exactly once."""
        if self._pipeline is None:
            self._build_pipeline()
        starts = [s.start for s in region]
        stops = [s.stop for s in region]
        out = np.empty([b - a for a, b in zip(starts, stops)], dtype=self.dtype)
        if out.size == 0:
            return out
        ranges = [range(a // c, (b - 1) // c + 1) for a, b, c in zip(starts, stops, self.chunks)]
        for coords in itertools.product(*ranges):
            src, dst = [], []
            for k, (ci, c) in enumerate(zip(coords, self.chunks)):
                lo, hi = max(starts[k], ci * c), min(stops[k], (ci + 1) * c)
                src.append(slice(lo - ci * c, hi - ci * c))
                dst.append(slice(lo - starts[k], hi - starts[k]))
            key = self._chunk_key(coords)
            raw = self._load_chunk_bytes(key)
            if raw is None:
                out[tuple(dst)] = 0 if self.fill_value is None else self.fill_value
            else:
                out[tuple(dst)] = self._decode_chunk(raw, key)[tuple(src)]
        return out


_BLOSC_HEADER = 16


def _check_blosc_frame(data, where):
    """A blosc frame must hold exactly the bytes its header declares: the blosc decoder trusts
    the header and, given a truncated frame, returns whatever memory follows it as values."""
    buf = memoryview(data).cast("B")
    if buf.nbytes < _BLOSC_HEADER:
        raise ValueError(f"{where}: blosc frame of {buf.nbytes} bytes is shorter than its "
                         f"{_BLOSC_HEADER}-byte header (truncated chunk)")
    declared = int.from_bytes(buf[12:16], "little")
    if declared != buf.nbytes:
        raise ValueError(f"{where}: blosc frame declares {declared} bytes but holds {buf.nbytes} "
                         "(truncated or damaged chunk)")


def _bytes_decoder(name):
    if name == "gzip":
        return gzip.decompress
    if name == "blosc":
        import numcodecs

        codec = numcodecs.Blosc()

        def blosc_decode(data):
            _check_blosc_frame(data, "blosc chunk")
            return codec.decode(data)

        return blosc_decode
    import zstandard

    def zstd_decode(data):
        # A decompression context is not safe to share between threads; one per chunk is
        # cheap next to the chunk itself.
        try:
            return zstandard.ZstdDecompressor().decompress(data)
        except zstandard.ZstdError:
            # Frames written by a streaming compressor carry no content size, which the
            # one-shot decoder needs; the streaming decoder does not.
            return zstandard.ZstdDecompressor().decompressobj().decompress(data)

    return zstd_decode


class _V2Array:
    """One Zarr v2 array through the zarr library."""

    zarr_format = 2

    def __init__(self, name, array):
        self.name, self._a = name, array
        self.shape = tuple(array.shape)
        self.dtype = array.dtype
        self.chunks = tuple(array.chunks)
        self.attrs = dict(array.attrs.asdict())
        dims = self.attrs.get("_ARRAY_DIMENSIONS")
        self.dims = tuple(dims) if isinstance(dims, list) and all(isinstance(n, str) for n in dims) else None
        self.fill_value = array.fill_value

    def read(self, region):
        try:
            out = self._a[region]
        except (OSError, MemoryError, ValueError):
            raise
        except Exception as e:  # codec errors surface as RuntimeError, TypeError and the like
            span = ", ".join(f"{r.start}:{r.stop}" for r in region)
            raise ValueError(f"array {self.name!r}: cannot decode the chunks of [{span}] "
                             f"({type(e).__name__}: {e})") from e
        if self.fill_value is None:
            self._blank_missing_chunks(region, out)
        if not out.dtype.isnative:
            out = out.astype(out.dtype.newbyteorder("="))
        return out

    def _blank_missing_chunks(self, region, out):
        """Without a fill value the zarr library leaves the cells of an unstored chunk as
        uninitialised memory. Floating-point cells become NaN (no data); other types have no
        value that could stand for a missing chunk, so they are refused."""
        starts = [s.start for s in region]
        stops = [s.stop for s in region]
        if out.size == 0:
            return
        ranges = [range(a // c, (b - 1) // c + 1) for a, b, c in zip(starts, stops, self.chunks)]
        store = self._a.chunk_store
        for coords in itertools.product(*ranges):
            key = self._a._chunk_key(coords or (0,))  # zarr keeps a 0-D array's one chunk as "0"
            if key in store:
                continue
            if out.dtype.kind != "f":
                raise ValueError(f"array {self.name!r}: chunk {key!r} is not stored and the array "
                                 "has no fill value to stand for it")
            dst = tuple(slice(max(a, ci * c) - a, min(b, (ci + 1) * c) - a)
                        for ci, c, a, b in zip(coords, self.chunks, starts, stops))
            out[dst] = np.nan


def _open_store(path):
    """-> (zarr format, {name: array}, root attributes)."""
    if path is None:
        raise ValueError("zarr_path is required")
    path = os.fspath(path)
    if not os.path.isdir(path):
        raise ValueError(f"Zarr store not found: {path}")
    if os.path.isfile(os.path.join(path, "zarr.json")):
        return _open_v3(path)
    if any(os.path.isfile(os.path.join(path, n)) for n in (".zgroup", ".zarray", ".zmetadata")):
        return _open_v2(path)
    raise ValueError(f"not a Zarr store (no zarr.json, .zgroup or .zarray): {path}")


def _read_json(path):
    try:
        with open(path, "r", encoding="utf-8") as f:
            return json.load(f)
    except RecursionError:
        raise ValueError(f"cannot read Zarr metadata {path}: nested too deeply") from None
    except (OSError, ValueError) as e:
        raise ValueError(f"cannot read Zarr metadata {path}: {e}") from e


def _open_v3(path):
    root = _read_json(os.path.join(path, "zarr.json"))
    if root.get("zarr_format") != 3:
        raise ValueError(f"{path}/zarr.json: zarr_format is {root.get('zarr_format')!r}, not 3")
    if root.get("node_type") == "array":
        name = os.path.basename(os.path.normpath(path))
        return 3, {name: _V3Array(name, path, root)}, {}
    arrays = {}
    for entry in sorted(os.listdir(path)):
        sub = os.path.join(path, entry)
        meta_path = os.path.join(sub, "zarr.json")
        if os.path.isfile(meta_path):
            meta = _read_json(meta_path)
            if meta.get("node_type") == "array":
                arrays[entry] = _V3Array(entry, sub, meta)
    return 3, arrays, dict(root.get("attributes") or {})


def _checked_directory_store(path):
    """A read-only directory store that checks blosc chunk frames as they are fetched (see
    ``_check_blosc_frame``), so a truncated chunk fails instead of reading stray memory."""
    from zarr.storage import DirectoryStore

    class CheckedDirectoryStore(DirectoryStore):
        def __init__(self, root):
            super().__init__(root)
            self._blosc_arrays = {}

        def _is_blosc_chunk(self, key):
            leaf = key.rsplit("/", 1)[-1]
            if leaf.startswith("."):
                return False
            prefix = key.rsplit("/", 1)[0] if "/" in key else ""
            start = prefix
            while True:
                if prefix in self._blosc_arrays:
                    found = self._blosc_arrays[prefix]
                    break
                meta_key = f"{prefix}/.zarray" if prefix else ".zarray"
                if super().__contains__(meta_key):
                    try:
                        meta = json.loads(bytes(super().__getitem__(meta_key)))
                        found = ((meta.get("compressor") or {}).get("id") == "blosc")
                    except (ValueError, AttributeError):
                        found = False
                    self._blosc_arrays[prefix] = found
                    break
                if not prefix:
                    found = False
                    break
                prefix = prefix.rsplit("/", 1)[0] if "/" in prefix else ""
            self._blosc_arrays[start] = found
            return found

        def __getitem__(self, key):
            data = super().__getitem__(key)
            leaf = key.rsplit("/", 1)[-1]
            if leaf == ".zarray":
                # Checked on the very bytes zarr is about to parse, before it builds a codec.
                name = key.rsplit("/", 1)[0] if "/" in key else os.path.basename(os.path.normpath(path))
                check_v2_array_metadata(data, name, os.path.join(path, key))
            elif leaf == ".zattrs":
                _parse_json(data, os.path.join(path, key))
            elif self._is_blosc_chunk(key):
                _check_blosc_frame(data, f"chunk {key!r}")
            return data

    return CheckedDirectoryStore(path)


def _open_v2(path):
    import zarr

    store = _checked_directory_store(path)
    try:
        node = zarr.open(store, mode="r")
    except ValueError:
        raise
    except Exception as e:
        raise ValueError(f"cannot open Zarr v2 store {path}: {e}") from e
    if isinstance(node, zarr.Array):
        name = os.path.basename(os.path.normpath(path))
        return 2, {name: _V2Array(name, node)}, {}
    arrays = {}
    for name in node.array_keys():
        try:
            arrays[name] = _V2Array(name, node[name])
        except UnsafeSourceError as e:
            # Kept as a stand-in so that choosing or reading it names the refusal, while a store
            # whose unused coordinate holds, say, strings still opens.
            arrays[name] = _RefusedArray(name, path, str(e))
        except ValueError:
            raise
        except Exception as e:
            raise ValueError(f"cannot open array {name!r} of Zarr store {path}: {e}") from e
    return 2, arrays, dict(node.attrs.asdict())


# ---- what a Zarr v2 array may ask zarr to run ---------------------------------------------------

# Codecs that only turn stored bytes into numbers (compressors, numeric filters, checksums).
# Object codecs (pickle, msgpack, json, vlen-*) rebuild Python objects from the bytes, and
# pickle runs whatever code the bytes name; anything not listed here is refused.
SAFE_V2_CODECS = frozenset({
    "blosc", "zstd", "gzip", "zlib", "lz4", "bz2", "lzma",
    "delta", "fixedscaleoffset", "quantize", "bitround", "shuffle", "packbits", "astype",
    "categorize", "crc32", "adler32", "fletcher32", "jenkins_lookup3",
})


class UnsafeSourceError(ValueError):
    """A Zarr array whose decoding would build Python objects or run code."""


def _parse_json(data, where):
    try:
        return json.loads(bytes(data).decode("utf-8"))
    except RecursionError:
        raise ValueError(f"cannot read Zarr metadata {where}: nested too deeply") from None
    except (UnicodeDecodeError, ValueError) as e:
        raise ValueError(f"cannot read Zarr metadata {where}: {e}") from None


def _holds_objects(descr):
    """Whether a Zarr v2 dtype description stands for (or contains) Python objects."""
    if isinstance(descr, list):
        return any(_holds_objects(f[1]) for f in descr if isinstance(f, (list, tuple)) and len(f) >= 2)
    if not isinstance(descr, str):
        return False
    try:
        return np.dtype(descr).hasobject
    except TypeError:
        return "O" in descr


def check_v2_array_metadata(data, name, where):
    """Refuse the ``.zarray`` JSON ``data`` of array ``name`` unless its element type holds
    numbers and its compressor and every filter is in ``SAFE_V2_CODECS``; also refuses a
    malformed shape or chunk shape. Returns the parsed metadata."""
    meta = _parse_json(data, where)
    if not isinstance(meta, dict):
        raise ValueError(f"cannot read Zarr metadata {where}: not a JSON object")
    dtype = meta.get("dtype")
    if _holds_objects(dtype):
        raise UnsafeSourceError(f"array {name!r} stores Python objects (dtype {dtype!r}), which are not "
                                "read: convert it to numbers")
    filters = meta.get("filters")
    if filters is not None and not isinstance(filters, list):
        raise ValueError(f"cannot read Zarr metadata {where}: filters must be a list")
    for role, conf in [("compressor", meta.get("compressor"))] + [("filter", f) for f in filters or []]:
        if conf is None and role == "compressor":
            continue
        cid = conf.get("id") if isinstance(conf, dict) else None
        if not isinstance(cid, str):
            raise ValueError(f"cannot read Zarr metadata {where}: {role} {conf!r:.60} has no codec id")
        if cid not in SAFE_V2_CODECS:
            raise UnsafeSourceError(f"array {name!r} uses the {role} {cid[:60]!r}, which is not read (it could run "
                                    "code or build Python objects); recompress it with blosc, zstd or zlib")
        for key, value in conf.items():
            if "dtype" in key or key == "astype":
                if _holds_objects(value):
                    raise UnsafeSourceError(f"array {name!r}: {role} {cid!r} decodes to Python objects "
                                            f"({key} {value!r:.40}), which are not read")
    shape, chunks = meta.get("shape"), meta.get("chunks")
    ints = lambda v, lo: isinstance(v, list) and all(  # noqa: E731
        isinstance(n, int) and not isinstance(n, bool) and n >= lo for n in v)
    if not ints(shape, 0):
        raise ValueError(f"array {name!r}: shape {shape!r:.60} must be a list of non-negative integers ({where})")
    if not ints(chunks, 1) or len(chunks) != len(shape):
        raise ValueError(f"array {name!r}: chunk shape {chunks!r:.60} must hold one positive integer per "
                         f"dimension of {shape} ({where})")
    return meta


class _RefusedArray:
    """An array of a Zarr v2 store that is not read (see ``check_v2_array_metadata``): its
    shape and names are known from its metadata, reading it raises the refusal."""

    zarr_format = 2

    def __init__(self, name, store_path, refusal):
        self.name, self.refusal = name, refusal
        self.dtype = np.dtype("O")
        self.fill_value = None
        meta_path = os.path.join(store_path, name, ".zarray")
        try:
            with open(meta_path, "rb") as f:
                shape = json.loads(f.read(1 << 20)).get("shape")
            self.shape = tuple(int(n) for n in shape)
        except (OSError, ValueError, TypeError, AttributeError, RecursionError):
            self.shape = ()
        self.chunks = self.shape
        try:
            with open(os.path.join(store_path, name, ".zattrs"), "rb") as f:
                self.attrs = dict(json.loads(f.read(1 << 20)))
        except (OSError, ValueError, TypeError, RecursionError):
            self.attrs = {}
        dims = self.attrs.get("_ARRAY_DIMENSIONS")
        self.dims = tuple(dims) if isinstance(dims, list) and all(isinstance(n, str) for n in dims) else None

    def read(self, region):
        raise UnsafeSourceError(self.refusal)


# ---- CF time ------------------------------------------------------------------------------

_UNIT_US = {}
for _names, _us in (
        (("weeks", "week"), 7 * 86400 * 10**6),
        (("days", "day", "d"), 86400 * 10**6),
        (("hours", "hour", "hrs", "hr", "h"), 3600 * 10**6),
        (("minutes", "minute", "mins", "min"), 60 * 10**6),
        (("seconds", "second", "secs", "sec", "s"), 10**6),
        (("milliseconds", "millisecond", "msecs", "msec", "ms"), 10**3),
        (("microseconds", "microsecond", "usecs", "usec", "us"), 1)):
    for _n in _names:
        _UNIT_US[_n] = _us

_REF_RE = re.compile(
    r"^\s*(\d{1,4})-(\d{1,2})-(\d{1,2})"
    r"(?:[ T]+(\d{1,2}):(\d{1,2})(?::(\d{1,2})(\.\d*)?)?)?"
    r"\s*(Z|UTC|GMT|[+-]\d{1,2}(?::?\d{2})?)?\s*$", re.IGNORECASE)
_DAY_US = 86400 * 10**6
_JDN_OF_ORDINAL_0 = 1721425  # Julian day number of the day before 0001-01-01 (Gregorian)


def _day_number(y, m, d, julian):
    """Julian day number of a calendar date (Julian or proleptic Gregorian rules)."""
    a = (14 - m) // 12
    y2, m2 = y + 4800 - a, m + 12 * a - 3
    n = d + (153 * m2 + 2) // 5 + 365 * y2 + y2 // 4
    return n - 32083 if julian else n - y2 // 100 + y2 // 400 - 32045


def _reference(text, calendar):
    """Reference date of CF units -> (proleptic Gregorian ordinal, microseconds into that day).
    The ordinal may be below 1 (year 0 and before), which only the sum with the offsets must
    leave."""
    m = _REF_RE.match(text)
    if not m:
        raise ValueError(f"cannot read the reference date of time units {text!r}")
    y, mo, d, hh, mi, ss, frac, tz = m.groups()
    y, mo, d = int(y), int(mo), int(d)
    # The standard calendar is Julian up to 1582-10-04 and Gregorian from 1582-10-15.
    julian = calendar in ("standard", "gregorian") and (y, mo, d) < (1582, 10, 15)
    if julian and (y, mo, d) > (1582, 10, 4):
        raise ValueError(f"reference date {text!r} falls in the days the standard calendar "
                         "skips (1582-10-05 to 1582-10-14)")
    month_days = [31, 29 if (y % 4 == 0 if julian else
                             y % 4 == 0 and (y % 100 != 0 or y % 400 == 0)) else 28,
                  31, 30, 31, 30, 31, 31, 30, 31, 30, 31]
    if not (1 <= mo <= 12 and 1 <= d <= month_days[mo - 1]):
        raise ValueError(f"invalid reference date in time units {text!r}")
    ordinal = _day_number(y, mo, d, julian) - _JDN_OF_ORDINAL_0
    tod = ((int(hh or 0) * 60 + int(mi or 0)) * 60 + int(ss or 0)) * 10**6
    if frac and len(frac) > 1:
        tod += int(round(float(frac) * 1e6))
    if tz and tz.upper() not in ("Z", "UTC", "GMT"):
        sign = -1 if tz[0] == "-" else 1
        digits = tz[1:].replace(":", "")
        hours, minutes = (int(digits[:-2]), int(digits[-2:])) if len(digits) > 2 \
            else (int(digits), 0)
        tod -= sign * (hours * 60 + minutes) * 60 * 10**6
    return ordinal, tod


def _cf_units(units, calendar):
    """CF ``units`` and ``calendar`` -> (microseconds per unit, reference ordinal, reference
    time of day in microseconds)."""
    cal = (calendar or "standard").strip().lower()
    if cal not in ("standard", "gregorian", "proleptic_gregorian"):
        raise ValueError(f"unsupported time calendar {calendar!r} "
                         "(supported: standard, gregorian, proleptic_gregorian)")
    if not isinstance(units, str) or " since " not in units:
        raise ValueError(f"time units must read '<unit> since <date>', got {units!r}")
    unit, ref_text = units.split(" since ", 1)
    unit_us = _UNIT_US.get(unit.strip().lower())
    if unit_us is None:
        raise ValueError(f"unsupported time unit {unit.strip()!r} in {units!r}")
    return (unit_us, *_reference(ref_text, cal))


def decode_cf_times(values, units, calendar=None):
    """CF-encoded numbers -> list of naive UTC datetimes (proleptic Gregorian, as ISO-8601
    counts). Under the standard calendar a reference date before 1582-10-15 is a Julian date."""
    unit_us, ordinal, tod = _cf_units(units, calendar)
    values = np.asarray(values)
    if values.dtype.kind not in "iuf":
        raise ValueError(f"time values must be numbers, got {values.dtype}")
    if values.dtype.kind == "f" and not np.isfinite(values).all():
        raise ValueError("time coordinate holds non-finite values")
    out = []
    for v in values.tolist():
        offset = v * unit_us if isinstance(v, int) else int(round(v * unit_us))
        days, rest = divmod(tod + offset, _DAY_US)
        try:
            out.append(datetime.fromordinal(ordinal + days) + timedelta(microseconds=rest))
        except (ValueError, OverflowError):
            raise ValueError(f"time value {v} {units} is outside years 1-9999") from None
    return out


def encode_cf_times(stamps, units, calendar=None):
    """The inverse of :func:`decode_cf_times`: ISO-8601 timestamps (UTC when they carry no
    offset) -> float64 numbers in CF ``units`` ("<unit> since <date>") under ``calendar``."""
    unit_us, ordinal, tod = _cf_units(units, calendar)
    out = np.empty(len(stamps), dtype=np.float64)
    for i, text in enumerate(stamps):
        t = _parse_stamp(text)
        us = ((t.toordinal() - ordinal) * _DAY_US
              + ((t.hour * 60 + t.minute) * 60 + t.second) * 10**6 + t.microsecond - tod)
        out[i] = us / unit_us
    return out


def _parse_stamp(text):
    """ISO-8601 text -> naive UTC datetime."""
    s = str(text).strip()
    if s.endswith(("Z", "z")):
        s = s[:-1]
    try:
        t = datetime.fromisoformat(s)
    except ValueError:
        raise ValueError(f"not an ISO-8601 timestamp: {text!r}") from None
    if t.tzinfo is not None:
        t = (t - t.utcoffset()).replace(tzinfo=None)
    return t


# ---- the source ---------------------------------------------------------------------------

def _dim_kind(name):
    n = str(name).lower()
    if n in TIME_NAMES:
        return "time"
    if n in Y_NAMES:
        return "y"
    if n in X_NAMES:
        return "x"
    if n in BAND_NAMES:
        return "band"
    return None


def _scalar_attr(attrs, key, default):
    if key not in attrs or attrs[key] is None:
        return default
    arr = np.asarray(attrs[key], dtype=np.float64).reshape(-1)
    if arr.size != 1:
        raise ValueError(f"attribute {key!r} must be one number, got {attrs[key]!r}")
    return float(arr[0])


def _regular_step(v, dtype):
    """The constant step of evenly spaced coordinates (within rounding of their type), or None."""
    if len(v) < 2:
        return None
    step = (v[-1] - v[0]) / (len(v) - 1)
    eps = np.finfo(dtype).eps if dtype.kind == "f" else 0.0
    tol = max(1e-6 * abs(step), 8 * eps * float(np.abs(v).max()))
    if step == 0 or np.abs(np.diff(v) - step).max() > tol:
        return None
    return float(step)


def _window_slice(s, n, axis):
    if s is None:
        return slice(0, n)
    if not isinstance(s, slice) or s.step not in (None, 1):
        raise ValueError(f"{axis} window must be a slice of unit step, got {s!r}")
    lo = 0 if s.start is None else int(s.start)
    hi = n if s.stop is None else int(s.stop)
    if not 0 <= lo < hi <= n:
        raise ValueError(f"{axis} window [{lo}, {hi}) is empty or outside the grid's {n}")
    return slice(lo, hi)


def _json_number(v, dtype):
    v = np.asarray(v).item()
    if isinstance(v, float) and not np.isfinite(v):
        return None
    return int(v) if dtype.kind in "iub" else float(v)


# Coordinate arrays travel inside the chunk's metadata, a JSON document a reader refuses past
# 16 MiB or a million values (format._records); the carried arrays get at most this many
# characters of it and this many text values, which leaves room for everything else the
# document holds. What does not fit stays behind with a note.
_CARRY_CHARS = 10 << 20
_CARRY_TEXT_VALUES = 1 << 18


def _json_chars(a):
    """Characters the packed record of ``a`` takes at most: base64 of the bytes, or for text a
    quoted string of its longest length per element, every character escaped."""
    n = int(np.prod(a.shape, dtype=np.int64))
    if a.dtype.kind in "UO":
        per = max(1, a.dtype.itemsize // 4) if a.dtype.kind == "U" else 64
        return n * (6 * per + 3)
    return (n * a.dtype.itemsize + 2) // 3 * 4


def _describe(name, a):
    """The conventions' view of one array; a 1-D array without dimension names is the
    coordinate of the dimension named like it."""
    dims = a.dims
    if dims is None and len(a.shape) == 1:
        dims = (name,)
    dtype = a.dtype
    if getattr(a, "refusal", None) and len(a.shape) >= 2:
        # An array that is not read stays a candidate for the data, so that choosing it
        # tells the user why it is refused rather than that there is no data at all.
        dtype = np.dtype("f4")
    return Var(name=name, dims=None if dims is None else tuple(dims), shape=tuple(a.shape), dtype=dtype,
               attrs=a.attrs)


def _unnamed_dims(ndim):
    return {2: ["y", "x"], 3: ["time", "y", "x"], 4: ["time", "band", "y", "x"]}.get(ndim)


class ZarrStreamingSource:
    """One variable of a Zarr store, served frame by frame (see the module doc)."""

    def __init__(self, *, zarr_path, variable=None, global_start_date=None, global_end_date=None,
                 scale_factor=None, valid_range=None, dtype_np=np.float32, mask_invalid=True, band_dim=None,
                 time_start=None, time_step=None):
        self.zarr_path = os.fspath(zarr_path) if zarr_path is not None else None
        self.dtype_np = np.dtype(dtype_np)
        if self.dtype_np.kind != "f":
            raise ValueError(f"dtype_np must be a floating type, got {self.dtype_np}")
        self.global_start_date, self.global_end_date = global_start_date, global_end_date
        if valid_range is not None:
            vr = tuple(float(v) for v in valid_range)
            if len(vr) != 2 or not vr[0] < vr[1]:
                raise ValueError(f"valid_range must be (vmin, vmax) with vmin < vmax, "
                                 f"got {valid_range!r}")
            if not np.isfinite(vr).all():
                # An infinite end would map every value to 0 (or NaN) and could not be undone.
                raise ValueError(f"valid_range must be finite, got {valid_range!r}")
            valid_range = vr
        self.valid_range = valid_range

        self.zarr_format, self._arrays, self._root_attrs = _open_store(self.zarr_path)
        self._vars = {n: _describe(n, a) for n, a in self._arrays.items()}
        self.variable = choose_variable(self._vars, variable, self.zarr_path)
        arr = self._array = self._arrays[self.variable]
        if getattr(arr, "refusal", None):
            raise UnsafeSourceError(f"{arr.refusal} (store {self.zarr_path})")
        if arr.dtype.kind not in "biuf":
            raise ValueError(f"variable {self.variable!r} has unsupported element type "
                             f"{arr.dtype}")
        self._var = self._data_var(arr)
        layout = resolve_layout(self._var, self._vars, band_dim)
        self.dims, self._axes = list(layout.dims), list(layout.axes)
        self._notes = list(layout.notes)
        shape = arr.shape
        if 0 in shape:
            raise ValueError(f"variable {self.variable!r} has shape {tuple(shape)} "
                             f"({', '.join(map(str, self.dims))}): there is no data to read")
        self._ti, self._yi, self._xi, self._bi = (layout.index(r) for r in ("time", "y", "x", "band"))
        self.n_timesteps = 1 if self._ti is None else int(shape[self._ti])
        self.height, self.width = int(shape[self._yi]), int(shape[self._xi])
        self.n_bands = 1 if self._bi is None else int(shape[self._bi])
        self._time_chunk = 1 if self._ti is None else max(1, int(arr.chunks[self._ti]))
        # Stored order -> (time, y, x, band, singletons): a transpose, then a reshape that drops
        # the singletons and adds the time or band axis a variable lacks.
        self._order = [i for i in (self._ti, self._yi, self._xi, self._bi) if i is not None] + \
            [i for i, a in enumerate(self._axes) if a == "extra"]

        attrs = arr.attrs
        self.scale_factor = float(scale_factor) if scale_factor is not None else \
            _scalar_attr(attrs, "scale_factor", 1.0)
        self.add_offset = _scalar_attr(attrs, "add_offset", 0.0)
        if not (np.isfinite(self.scale_factor) and self.scale_factor != 0.0):
            raise ValueError(f"variable {self.variable!r}: scale_factor must be a finite non-zero "
                             f"number, got {self.scale_factor!r}")
        if not np.isfinite(self.add_offset):
            raise ValueError(f"variable {self.variable!r}: add_offset must be finite, "
                             f"got {self.add_offset!r}")
        self._missing = self._missing_values(arr)
        self.mask_invalid = bool(mask_invalid)
        self._invalid_limits = self._valid_attrs(attrs)
        self.cf_valid_range = None
        if self._invalid_limits is not None:
            ends = [v * self.scale_factor + self.add_offset for v in self._invalid_limits]
            self.cf_valid_range = (min(ends), max(ends))
        wide = arr.dtype.itemsize > 4 or (arr.dtype.kind in "iu" and arr.dtype.itemsize == 4)
        self._work = np.float64 if wide or self.dtype_np == np.float64 else np.float32

        self._timestamps, self._calendar, self._time_units = self._read_time(time_start, time_step)

    # ---- discovery ----------------------------------------------------------------------

    def _data_var(self, arr):
        v = self._vars[self.variable]
        if arr.dims is not None:
            if len(arr.dims) != len(arr.shape):
                raise ValueError(f"variable {self.variable!r}: {len(arr.dims)} dimension names "
                                 f"for {len(arr.shape)} dimensions")
            return v
        dims = _unnamed_dims(len(arr.shape))
        if dims is None:
            raise ValueError(f"variable {self.variable!r} has {len(arr.shape)} dimensions without names; "
                             "cannot tell what they are")
        return Var(name=v.name, dims=tuple(dims), shape=v.shape, dtype=v.dtype, attrs=v.attrs)

    def _coord(self, dim_index):
        """The 1-D coordinate array of a dimension, or None."""
        c = dim_coordinate(self.dims[dim_index], self._var, self._vars)
        if c is None:
            return None
        a = self._arrays[c.name]
        if a.shape[0] != self._array.shape[dim_index]:
            raise ValueError(f"coordinate {c.name!r} has {a.shape[0]} values for a dimension of "
                             f"{self._array.shape[dim_index]}")
        return a

    def _missing_values(self, arr):
        values = []
        for key in ("_FillValue", "missing_value"):
            v = arr.attrs.get(key)
            if v is not None:
                values.extend(np.asarray(v).reshape(-1).tolist())
        # xarray's convention for v2: the array's fill value marks missing data. Stores written
        # without dimension names are raw zarr, whose fill value (0 by default) is only the value
        # of unwritten chunks.
        if arr.zarr_format == 2 and arr.dims is not None and arr.fill_value is not None:
            values.append(np.asarray(arr.fill_value).item())
        return values

    def _valid_attrs(self, attrs):
        """(low, high) in stored units from the CF ``valid_range``, ``valid_min`` and ``valid_max``
        attributes (an absent end is infinite), or None without them."""
        lo, hi = -np.inf, np.inf
        vr = attrs.get("valid_range")
        if vr is not None:
            ends = np.asarray(vr, dtype=np.float64).reshape(-1)
            if ends.size != 2 or not ends[0] <= ends[1]:
                raise ValueError(f"variable {self.variable!r}: valid_range attribute must be [min, max], got {vr!r}")
            lo, hi = float(ends[0]), float(ends[1])
        else:
            lo = _scalar_attr(attrs, "valid_min", lo)
            hi = _scalar_attr(attrs, "valid_max", hi)
        if (lo, hi) == (-np.inf, np.inf):
            return None
        if np.isnan(lo) or np.isnan(hi) or not lo <= hi:
            raise ValueError(f"variable {self.variable!r}: valid_min/valid_max attributes give an empty range "
                             f"[{lo}, {hi}]")
        return lo, hi

    def _time_coordinate(self):
        """(values, attributes, name) of the time coordinate; for a variable without a time
        dimension, of a one-value time coordinate it names, if any."""
        if self._ti is not None:
            a = self._coord(self._ti)
            if a is None:
                return None, {}, f"dimension {self.dims[self._ti]!r}"
            attrs = dict(a.attrs)
            if a.zarr_format == 2 and a.dims is not None and a.fill_value is not None:
                attrs.setdefault("_FillValue", a.fill_value)  # xarray's convention, as for the data
            return a.read((slice(0, a.shape[0]),)), attrs, f"coordinate {a.name!r}"
        for name in str(self._array.attrs.get("coordinates") or "").split():
            v = self._vars.get(name)
            if v is not None and int(np.prod(v.shape)) == 1 and coordinate_kind(v) == "T":
                a = self._arrays[name]
                return a.read(tuple(slice(0, n) for n in a.shape)).reshape(-1), a.attrs, f"coordinate {name!r}"
        return None, {}, None

    def _read_time(self, time_start, time_step):
        T = self.n_timesteps
        values, attrs, what = self._time_coordinate()
        if time_start is not None:
            axis = dated_axis(time_start, time_step, T, attrs.get("calendar"))
            self._notes.append(f"time: frames dated from {time_start}" + (f" every {time_step}" if T > 1 else "")
                               + f" ({axis.calendar} calendar); the source's time values are kept as they are")
        elif time_step is not None:
            raise ValueError("--time-step needs --time-start")
        elif what is None:
            axis = TimeAxis(["0"], NO_CALENDAR)
        else:
            axis = time_axis(values, attrs, T, what)
            if axis.note:
                self._notes.append(axis.note)
        if axis.calendar == NO_CALENDAR and (self.global_start_date or self.global_end_date):
            raise ValueError("--start-date/--end-date bound a dated time axis, and the time axis of "
                             f"{self.variable!r} has no dates; date its frames with --time-start and --time-step")
        return axis.stamps, axis.calendar, attrs.get("units") if what else None

    def _transform(self):
        coords = []
        for k in (self._xi, self._yi):
            a = self._coord(k)
            if a is None or a.shape[0] < 2:
                coords = None
                break
            try:
                v = a.read((slice(0, a.shape[0]),))
            except ValueError:
                coords = None
                break
            if v.dtype.kind not in "iuf":
                coords = None
                break
            coords.append((v.astype(np.float64) * _scalar_attr(a.attrs, "scale_factor", 1.0)
                           + _scalar_attr(a.attrs, "add_offset", 0.0), v.dtype))
        if coords is not None:
            steps = [_regular_step(v, dt) for v, dt in coords]
            if all(s is not None for s in steps):
                (x, _), (y, _) = coords
                dx, dy = steps
                return [float(dx), 0.0, float(x[0] - dx / 2), 0.0, float(dy), float(y[0] - dy / 2)]
        gt = self._grid_attr("GeoTransform")
        if gt is not None:
            vals = [float(v) for v in (gt.split() if isinstance(gt, str) else gt)]
            if len(vals) == 6:  # GDAL order: c, a, b, f, d, e
                c, a_, b, f, d, e = vals
                return [a_, b, c, d, e, f]
        return None

    def _grid_mapping(self):
        names = grid_mapping_names(self._array.attrs.get("grid_mapping"))
        for n in names + ["spatial_ref", "crs"]:
            if n in self._arrays and n != self.variable:
                return self._arrays[n]
        return None

    def _grid_attr(self, key):
        gm = self._grid_mapping()
        for attrs in ([gm.attrs] if gm is not None else []) + [self._array.attrs,
                                                             self._root_attrs]:
            if attrs.get(key) is not None:
                return attrs[key]
        return None

    def _crs(self):
        gm = self._grid_mapping()
        for attrs in ([gm.attrs] if gm is not None else []) + [self._array.attrs,
                                                             self._root_attrs]:
            for key in ("crs_wkt", "spatial_ref", "crs"):
                if isinstance(attrs.get(key), str) and attrs[key].strip():
                    return attrs[key]
            epsg = attrs.get("epsg") or attrs.get("EPSG")
            if isinstance(epsg, (int, str)) and str(epsg).strip().isdigit():
                return f"EPSG:{int(epsg)}"
        return None

    def _band_names(self):
        if self._bi is None:
            return [self.variable]
        a = self._coord(self._bi)
        if a is not None:
            try:
                vals = a.read((slice(0, a.shape[0]),))
                return [v.decode() if isinstance(v, bytes) else str(v) for v in vals.tolist()]
            except ValueError:
                pass
        names = self._array.attrs.get("band_names")
        if isinstance(names, list) and len(names) == self.n_bands:
            return [str(n) for n in names]
        return [f"B{i + 1}" for i in range(self.n_bands)]

    # ---- reading ----------------------------------------------------------------------

    def _read_frames(self, lo, hi, ys=None, xs=None):
        """Frames lo..hi-1 as (hi - lo, H, W, C) in the working float type, converted; rows
        ``ys`` and columns ``xs`` (unit-step slices) only, when given."""
        arr = self._array
        region = [slice(lo, hi) if i == self._ti else slice(0, n) for i, n in enumerate(arr.shape)]
        region[self._yi] = ys or region[self._yi]
        region[self._xi] = xs or region[self._xi]
        h, w = (len(range(*region[i].indices(arr.shape[i]))) for i in (self._yi, self._xi))
        raw = arr.read(tuple(region)).transpose(self._order).reshape(hi - lo, h, w, self.n_bands)
        # Missing values are found on the stored numbers, before anything is rewritten.
        bad = None
        for mv in self._missing:
            if isinstance(mv, float) and np.isnan(mv):
                continue  # NaN needs no marking: it stays NaN through the arithmetic
            hit = raw == mv
            bad = hit if bad is None else bad | hit
        if self.mask_invalid and self._invalid_limits is not None:
            lo, hi = self._invalid_limits
            with np.errstate(invalid="ignore"):
                hit = (raw < lo) | (raw > hi)
            bad = hit if bad is None else bad | hit
        if raw.dtype.kind == "f":
            inf = np.isinf(raw)
            if inf.any():
                bad = inf if bad is None else bad | inf
        # A fresh contiguous float block of the working type is converted in place.
        fresh = raw.dtype == self._work and raw.flags.writeable and raw.flags.c_contiguous
        v = raw if fresh else raw.astype(self._work)
        # One multiply-add: physical = stored * scale + offset, and with a valid range
        # (physical - vmin) / (vmax - vmin) folded into the same coefficients; clipping the
        # mapped value to [0, 1] equals clipping the physical one to the valid range.
        scale, offset = self.scale_factor, self.add_offset
        if self.valid_range is not None:
            vmin, vmax = self.valid_range
            scale, offset = scale / (vmax - vmin), (offset - vmin) / (vmax - vmin)
        if scale != 1.0:
            v *= self._work(scale)
        if offset != 0.0:
            v += self._work(offset)
        if self.valid_range is not None:
            np.minimum(v, 1.0, out=v)  # minimum/maximum keep NaN
            np.maximum(v, 0.0, out=v)
        if bad is not None:
            v[bad] = np.nan
        if self.valid_range is None and self.dtype_np.itemsize < v.dtype.itemsize:
            # Unbounded physical values can exceed a narrow output type; say so rather than
            # hand back infinities that look like data.
            with np.errstate(invalid="ignore"):
                too_big = np.abs(v) > np.finfo(self.dtype_np).max
            if too_big.any():
                raise ValueError(
                    f"variable {self.variable!r}: values up to {np.abs(v[too_big]).max():g} "
                    f"overflow {self.dtype_np}; give a valid_range or use a wider dtype_np")
        return v

    def read_timesteps(self, indices):
        """Frames ``indices`` (1-D integers, any order, repeats allowed) as an array
        (len(indices), H, W, C) of ``dtype_np``; frame i of the result is frame indices[i].
        Indices are grouped by stored time chunk, so every chunk is read once per call."""
        return self.read_region(indices)

    def read_region(self, indices, y=None, x=None):
        """``read_timesteps`` of rows ``y`` and columns ``x`` only (slices of unit step within
        the grid; None for all): only the stored chunks that overlap the window are read."""
        ys, xs = _window_slice(y, self.height, "y"), _window_slice(x, self.width, "x")
        idx = np.asarray(indices)
        if idx.ndim != 1:
            raise ValueError(f"indices must be one-dimensional, got shape {idx.shape}")
        if idx.size == 0:
            idx = idx.astype(np.int64)
        elif idx.dtype.kind not in "iu":
            raise ValueError(f"indices must be integers, got {idx.dtype}")
        idx = idx.astype(np.int64, copy=False)
        T = self.n_timesteps
        out_of_range = (idx < 0) | (idx >= T)
        if out_of_range.any():
            raise IndexError(f"time index {int(idx[out_of_range][0])} is out of range for "
                             f"{T} time steps")
        out = np.empty((idx.size, ys.stop - ys.start, xs.stop - xs.start, self.n_bands), dtype=self.dtype_np)
        if idx.size == 0:
            return out
        order = np.argsort(idx, kind="stable")
        sidx = idx[order]
        chunk = sidx // self._time_chunk
        cuts = np.flatnonzero(np.diff(chunk)) + 1
        for g0, g1 in zip(np.r_[0, cuts], np.r_[cuts, sidx.size]):
            lo, hi = int(sidx[g0]), int(sidx[g1 - 1]) + 1
            block = self._read_frames(lo, hi, ys, xs)
            # Frame by frame: the copy converts to dtype_np without a gathered temporary.
            for k in range(g0, g1):
                out[order[k]] = block[sidx[k] - lo]
        return out

    # ---- metadata -----------------------------------------------------------------------

    def build_meta_info(self):
        """Metadata for the compressor and for a decoder writing the variable back."""
        attrs = self._array.attrs
        dtype = np.dtype(self._array.dtype).newbyteorder("=")
        meta = {
            "height": self.height,
            "width": self.width,
            "n_bands": self.n_bands,
            "timestamps": list(self._timestamps),
            "t_norms": normalize_time(self._timestamps, self.global_start_date,
                                      self.global_end_date, calendar=self._calendar),
            "dtype": dtype.name,
            "src_dtype": dtype.name,
            "scale_factor": self.scale_factor,
            "add_offset": self.add_offset,
            "band_scales": [self.scale_factor] * self.n_bands,
            "band_names": self._band_names(),
            "variable": self.variable,
            "dims": [str(d) for d in self.dims],
            "axes": list(self._axes),
            "calendar": self._calendar,
            "time_units": self._time_units,
            "valid_range": None if self.valid_range is None else list(self.valid_range),
            "zarr_format": self.zarr_format,
            "attrs": {k: v for k, v in attrs.items() if k not in _ENCODING_ATTRS},
        }
        if attrs.get("units") is not None:
            meta["units"] = attrs["units"]
        for mv in self._missing:
            fill = _json_number(mv, dtype)
            if fill is not None:
                meta["missing_fill"] = fill
                break
        crs = self._crs()
        if crs is not None:
            meta["crs"] = crs
        transform = self._transform()
        if transform is not None:
            meta["trans_matrix"] = transform
            meta["transform"] = list(transform)
        notes = list(self._notes)
        coords = self._coordinate_records(notes)
        if coords:
            meta["coords"] = coords
        if self._root_attrs:
            meta["global_attrs"] = dict(self._root_attrs)
        meta["notes"] = notes
        return meta

    def _coordinate_records(self, notes):
        """{name: record} of the variables that travel with the data (conventions'
        ``related_variables``): "dims", "role", "attrs" (all but _ARRAY_DIMENSIONS and
        _FillValue), "fill_value" when the array has one, and "array", the stored values exactly
        (``pack_array``); a grid mapping also "referenced_as", the variable's ``grid_mapping``
        text. Together they take at most ``_CARRY_CHARS`` characters (and ``_CARRY_TEXT_VALUES``
        strings), taken in the order of ``related_variables`` (coordinates of the dimensions
        first). What cannot be carried is
        named in ``notes``."""
        related, missing = related_variables(self._var, self._vars)
        notes.extend(missing)
        records, chars, texts = {}, _CARRY_CHARS, _CARRY_TEXT_VALUES
        for name, role in related.items():
            a, v = self._arrays[name], self._vars[name]
            why, size = None, _json_chars(a)
            n_text = int(np.prod(a.shape, dtype=np.int64)) if a.dtype.kind in "UO" else 0
            if v.dims is None:
                why = "its dimensions have no names"
            elif a.dtype.kind not in "biufMmSUO":
                why = f"its element type {a.dtype} cannot be stored"
            elif size > chars or n_text > texts:
                why = (f"its values would take the coordinates kept in the container's metadata past "
                       f"{_CARRY_CHARS >> 20} MiB of text" + (f" or {_CARRY_TEXT_VALUES:,} strings" if n_text else ""))
            else:
                chars -= size
                texts -= n_text
            if why is None:
                try:
                    values = a.read(tuple(slice(0, n) for n in a.shape))
                    if values.dtype.kind == "O":
                        values = np.array(values.tolist(), dtype=str)
                    packed = pack_array(values)
                except (ValueError, TypeError) as e:
                    why = str(e)
            if why is not None:
                notes.append(f"{role} variable {name!r} is not carried: {why}")
                continue
            rec = {"dims": [str(d) for d in v.dims], "role": role, "array": packed,
                   "attrs": {k: val for k, val in a.attrs.items() if k not in ("_ARRAY_DIMENSIONS", "_FillValue")}}
            if role == "grid_mapping":
                rec["referenced_as"] = str(self._array.attrs.get("grid_mapping"))
            fill = a.attrs.get("_FillValue")
            if fill is None and a.zarr_format == 2 and a.dims is not None:
                fill = a.fill_value
            if fill is not None and a.dtype.kind in "biuf":
                fill = np.asarray(fill).item()
                rec["fill_value"] = float(fill) if a.dtype.kind == "f" else int(fill)
            records[name] = rec
        return records
