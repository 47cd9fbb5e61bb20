"""The classical compressors pyqelm is measured against, each given a fair input.

A classical codec knows nothing of no-data: fed NaN it either keeps it (lossless codecs) or
smears it into its neighbours (ZFP), and a fill value such as 1e20 costs it dearly. So every
peer gets the cube with no-data filled by a neutral value (each band's mean of its valid
values) and the no-data mask stored losslessly beside it (bit-packed, xz); the mask's bytes
count in every peer's size and are stated with it. Decoding restores NaN from the mask.

Peers, each ``run(filled, path) -> (payload bytes, decoded cube, encode s, decode s, note)``:

* ZFP in fixed-accuracy mode with tolerance = the bound;
* ZFP with the tolerance tuned to the bound: the largest tolerance whose real max error on the
  valid values stays within the bound, found by doubling then bisection;
* quantise + Lorenzo + xz: values rounded to multiples of a step just under 2E (so every value
  is within E), the integer codes predicted from their neighbours (Lorenzo: the finite
  difference along each axis, over space, or over space and time, whichever is smaller) and the
  differences compressed with xz: the simplest error-bounded predictive codec;
* fpzip (lossless) and Zstandard level 19 on the raw float32 bytes.
"""
import ctypes
import ctypes.util
import lzma
import os
import struct
import time

import numpy as np

XZ_PRESET = 9 | lzma.PRESET_EXTREME


def _write(path, data):
    # Work files live in compare's marked work folder: staged, and replacing only its own files.
    from pyqelm.outputs import write_bytes

    write_bytes(path, data, "work", force=True)
    return os.path.getsize(path)


def _read(path):
    with open(path, "rb") as f:
        return f.read()


# ---- no-data: neutral fill and a lossless mask --------------------------------------------------

def fill_nodata(cube):
    """(float32 cube with every non-finite value replaced by its band's mean of valid values,
    bool no-data mask of the cube's shape). A band without a valid value is filled with 0."""
    cube = np.asarray(cube, dtype=np.float32)
    nodata = ~np.isfinite(cube)
    if not nodata.any():
        return cube, nodata
    filled = cube.copy()
    for b in range(cube.shape[-1]):
        band, bad = filled[..., b], nodata[..., b]
        good = band[~bad]
        band[bad] = np.float32(good.astype(np.float64).mean()) if good.size else np.float32(0)
    return filled, nodata


def encode_mask(nodata):
    """Lossless no-data mask: bit-packed and xz-compressed; empty when nothing is missing."""
    if not nodata.any():
        return b""
    return lzma.compress(np.packbits(nodata.reshape(-1)).tobytes(), format=lzma.FORMAT_XZ, preset=XZ_PRESET)


def decode_mask(blob, shape):
    n = int(np.prod(shape))
    if not blob:
        return np.zeros(shape, dtype=bool)
    bits = np.unpackbits(np.frombuffer(lzma.decompress(blob), dtype=np.uint8), count=n)
    return bits.astype(bool).reshape(shape)


def restore_nodata(decoded, mask_blob):
    out = np.array(decoded, dtype=np.float32, copy=True)
    out[decode_mask(mask_blob, out.shape)] = np.nan
    return out


# ---- ZFP ----------------------------------------------------------------------------------------

def _zfp_input(cube):
    return np.ascontiguousarray(cube[..., 0] if cube.shape[-1] == 1 else cube)


def zfp_compress(cube, tolerance):
    import zfpy

    return zfpy.compress_numpy(_zfp_input(cube), tolerance=float(tolerance))


def zfp_decompress(blob, shape):
    import zfpy

    return zfpy.decompress_numpy(bytes(blob)).reshape(shape)


def max_valid_error(original, decoded, valid):
    """Largest |decoded - original| over ``valid`` in float64; inf when a decoded value is not finite."""
    if not valid.any():
        return 0.0
    err = np.abs(decoded[valid].astype(np.float64) - original[valid].astype(np.float64))
    return float(np.max(np.where(np.isfinite(err), err, np.inf)))


def zfp_tuned_tolerance(filled, valid, bound, iterations=12):
    """(tolerance, blob): the largest ZFP tolerance found whose decoded max error on the valid
    values stays within ``bound``. Starts from the bound (halving while even that fails), doubles
    while it holds, then bisects (in the logarithm) between the last tolerance that held and the
    first that failed."""
    def attempt(tol):
        blob = zfp_compress(filled, tol)
        return max_valid_error(filled, zfp_decompress(blob, filled.shape), valid) <= bound, blob

    tol = float(bound)
    ok, blob = attempt(tol)
    for _ in range(60):
        if ok:
            break
        tol /= 2
        ok, blob = attempt(tol)
    if not ok:
        raise RuntimeError(f"ZFP cannot keep the bound {bound:g} at any tolerance tried")
    good, good_blob = tol, blob
    bad = None
    for _ in range(40):
        ok, blob = attempt(good * 2)
        if not ok:
            bad = good * 2
            break
        good, good_blob = good * 2, blob
    if bad is not None:
        for _ in range(iterations):
            mid = float(np.sqrt(good * bad))
            ok, blob = attempt(mid)
            if ok:
                good, good_blob = mid, blob
            else:
                bad = mid
    return good, good_blob


# ---- quantise with step 2E, Lorenzo prediction, xz ------------------------------------------------

_QLZ_MAGIC = b"QLZ1"
_INT_TYPES = (np.int8, np.int16, np.int32, np.int64)


def quantization_step(bound, max_abs):
    """A step just under 2E: half a step plus the float32 rounding of the decoded value (half
    an ulp of the largest decoded magnitude, ``max_abs``) stays below E. None when E is below
    float32's resolution there."""
    ulp = float(np.spacing(np.float32(max(max_abs, np.finfo(np.float32).tiny))))
    step = 2.0 * (float(bound) - ulp)
    return step if step > 0 else None


def _lorenzo(codes, axes):
    d = codes
    for ax in axes:
        d = np.diff(d, axis=ax, prepend=0)
    return d


def _unlorenzo(diffs, axes):
    c = diffs
    for ax in reversed(axes):
        c = np.cumsum(c, axis=ax, dtype=np.int64)
    return c


def qlx_compress(filled, bound):
    """The quantise + Lorenzo + xz stream of a filled float32 (T, H, W, C) cube."""
    T, H, W, C = filled.shape
    step = quantization_step(bound, (float(np.max(np.abs(filled))) if filled.size else 0.0) + float(bound))
    if step is None:
        raise RuntimeError(f"bound {bound:g} is below float32's resolution of these values")
    codes = np.rint(filled.astype(np.float64) / step).astype(np.int64)
    best = None
    for axes in ((1, 2), (0, 1, 2)):  # over space, or over space and time
        d = np.moveaxis(_lorenzo(codes, axes), -1, 0)  # bands outermost
        lo, hi = (int(d.min()), int(d.max())) if d.size else (0, 0)
        kind = next(k for k, t in enumerate(_INT_TYPES) if np.iinfo(t).min <= lo and hi <= np.iinfo(t).max)
        payload = lzma.compress(np.ascontiguousarray(d, dtype=_INT_TYPES[kind]).astype("<" + np.dtype(
            _INT_TYPES[kind]).str[1:]).tobytes(), format=lzma.FORMAT_XZ, preset=XZ_PRESET)
        if best is None or len(payload) < len(best[2]):
            best = (len(axes), kind, payload)
    dims, kind, payload = best
    return _QLZ_MAGIC + struct.pack("<4qdBB", T, H, W, C, step, dims, kind) + payload


def qlx_decompress(blob):
    head = struct.calcsize("<4qdBB")
    if blob[:4] != _QLZ_MAGIC or len(blob) < 4 + head:
        raise ValueError("not a quantise + Lorenzo + xz stream")
    T, H, W, C, step, dims, kind = struct.unpack("<4qdBB", blob[4:4 + head])
    axes = (1, 2) if dims == 2 else (0, 1, 2)
    dt = np.dtype(_INT_TYPES[kind]).newbyteorder("<")
    d = np.frombuffer(lzma.decompress(blob[4 + head:]), dtype=dt).reshape(C, T, H, W)
    codes = _unlorenzo(np.moveaxis(d.astype(np.int64), 0, -1), axes)
    return (codes.astype(np.float64) * step).astype(np.float32), dims


# ---- fpzip ----------------------------------------------------------------------------------------

class _FPZ(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("prec", ctypes.c_int), ("nx", ctypes.c_int), ("ny", ctypes.c_int),
                ("nz", ctypes.c_int), ("nf", ctypes.c_int)]


_FPZIP = None


def _fpzip():
    global _FPZIP
    if _FPZIP is None:
        name = ctypes.util.find_library("fpzip") or "libfpzip.so.1"
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            raise RuntimeError("libfpzip is not installed (Debian package libfpzip-dev)") from None
        P = ctypes.POINTER(_FPZ)
        lib.fpzip_write_to_buffer.restype, lib.fpzip_write_to_buffer.argtypes = P, [ctypes.c_void_p, ctypes.c_size_t]
        lib.fpzip_read_from_buffer.restype, lib.fpzip_read_from_buffer.argtypes = P, [ctypes.c_void_p]
        for fn in ("fpzip_write_header", "fpzip_read_header"):
            getattr(lib, fn).restype, getattr(lib, fn).argtypes = ctypes.c_int, [P]
        lib.fpzip_write.restype, lib.fpzip_write.argtypes = ctypes.c_size_t, [P, ctypes.c_void_p]
        lib.fpzip_read.restype, lib.fpzip_read.argtypes = ctypes.c_size_t, [P, ctypes.c_void_p]
        lib.fpzip_write_close.restype, lib.fpzip_write_close.argtypes = None, [P]
        lib.fpzip_read_close.restype, lib.fpzip_read_close.argtypes = None, [P]
        _FPZIP = lib
    return _FPZIP


def _fpzip_error(lib, what):
    try:
        code = ctypes.c_int.in_dll(lib, "fpzip_errno").value
    except ValueError:
        code = -1
    return RuntimeError(f"fpzip {what} failed (error {code})")


def fpzip_compress(cube):
    """Lossless fpzip of a float32 (T, H, W, C) cube, with header; bands as fields."""
    lib = _fpzip()
    T, H, W, C = cube.shape
    if max(T, H, W, C) > np.iinfo(np.int32).max:
        raise ValueError("cube too large for fpzip's 32-bit dimensions")
    data = np.ascontiguousarray(np.moveaxis(cube, -1, 0), dtype=np.float32)  # (C, T, H, W): x fastest
    cap = data.nbytes + data.nbytes // 8 + 4096
    buf = ctypes.create_string_buffer(cap)
    fpz = lib.fpzip_write_to_buffer(buf, cap)
    if not fpz:
        raise _fpzip_error(lib, "stream set-up")
    fpz.contents.type, fpz.contents.prec = 0, 0
    fpz.contents.nx, fpz.contents.ny, fpz.contents.nz, fpz.contents.nf = W, H, T, C
    try:
        if not lib.fpzip_write_header(fpz):
            raise _fpzip_error(lib, "header write")
        n = lib.fpzip_write(fpz, data.ctypes.data)
        if n == 0:
            raise _fpzip_error(lib, "compression")
    finally:
        lib.fpzip_write_close(fpz)
    return buf.raw[:n]


def fpzip_decompress(blob):
    lib = _fpzip()
    src = ctypes.create_string_buffer(bytes(blob), len(blob))
    fpz = lib.fpzip_read_from_buffer(src)
    if not fpz:
        raise _fpzip_error(lib, "stream set-up")
    try:
        if not lib.fpzip_read_header(fpz):
            raise _fpzip_error(lib, "header read")
        f = fpz.contents
        if f.type != 0:
            raise ValueError("fpzip stream does not hold float32 values")
        out = np.empty((f.nf, f.nz, f.ny, f.nx), dtype=np.float32)
        if lib.fpzip_read(fpz, out.ctypes.data) == 0:
            raise _fpzip_error(lib, "decompression")
    finally:
        lib.fpzip_read_close(fpz)
    return np.moveaxis(out, 0, -1)


# ---- the runs -------------------------------------------------------------------------------------

def _timed(path, compress, decompress):
    t0 = time.perf_counter()
    size = _write(path, compress())
    t1 = time.perf_counter()
    out = decompress(_read(path))
    t2 = time.perf_counter()
    return size, out, t1 - t0, t2 - t1


def zfp_run(filled, bound, path):
    size, out, e, d = _timed(path, lambda: zfp_compress(filled, bound), lambda b: zfp_decompress(b, filled.shape))
    return size, out, e, d, ""


def zfp_tuned_run(filled, nodata, bound, path):
    t0 = time.perf_counter()
    tol, blob = zfp_tuned_tolerance(filled, ~nodata, bound)
    size = _write(path, blob)
    t1 = time.perf_counter()
    out = zfp_decompress(_read(path), filled.shape)
    return size, out, t1 - t0, time.perf_counter() - t1, f"tolerance {tol:.6g} ({tol / bound:.3g} x the bound)"


def qlx_run(filled, bound, path):
    dims = []

    def decompress(b):
        out, d = qlx_decompress(b)
        dims.append(d)
        return out

    size, out, e, d = _timed(path, lambda: qlx_compress(filled, bound), decompress)
    return size, out, e, d, "Lorenzo over " + ("space" if dims[0] == 2 else "space and time")


def fpzip_run(filled, path):
    size, out, e, d = _timed(path, lambda: fpzip_compress(filled), fpzip_decompress)
    return size, out, e, d, ""


def zstd_run(filled, path, level=19):
    import zstandard

    raw = np.ascontiguousarray(filled, dtype=np.float32).tobytes()
    size, out, e, d = _timed(path, lambda: zstandard.ZstdCompressor(level=level).compress(raw),
                             lambda b: np.frombuffer(zstandard.ZstdDecompressor().decompress(b),
                                                     dtype=np.float32).reshape(filled.shape))
    return size, out, e, d, ""


# (name, file suffix, lossy: promise is the bound, runner(filled, nodata, bound, path))
PEERS = (
    ("ZFP fixed-accuracy", "zfp", True, lambda f, m, b, p: zfp_run(f, b, p)),
    ("ZFP tuned to the bound", "tuned.zfp", True, zfp_tuned_run),
    ("quantise 2E + Lorenzo + xz", "qlx", True, lambda f, m, b, p: qlx_run(f, b, p)),
    ("fpzip lossless", "fpz", False, lambda f, m, b, p: fpzip_run(f, p)),
    ("Zstandard -19", "f32.zst", False, lambda f, m, b, p: zstd_run(f, p)),
)
